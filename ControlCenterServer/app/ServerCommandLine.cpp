#include "app/ServerCommandLine.h"

#include <windows.h>

#include <string>

std::vector<ServerSwitch> ReadServerSwitches(const char* commandLine) {
  std::vector<ServerSwitch> switches;
  std::string text = commandLine ? commandLine : "";
  size_t start = 0;
  for (;;) {
    size_t end = text.find_first_of("-/", start);
    std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (lstrcmpiA(piece.c_str(), "UnregServer") == 0) {
      switches.push_back(ServerSwitch::UnregServer);
    } else if (lstrcmpiA(piece.c_str(), "RegServer") == 0) {
      switches.push_back(ServerSwitch::RegServer);
    } else if (lstrcmpiA(piece.c_str(), "Embedding") == 0) {
      switches.push_back(ServerSwitch::Embedding);
      break;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return switches;
}
