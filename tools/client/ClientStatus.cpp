// korvane-client status: what the server answers about the sets, and the
// active set's boards and code files as the last set change recorded them
// in the registry.
#include <cstdio>
#include <cstring>

#include "Win32/JsonText.h"
#include "ControlCenterClient.h"
#include "Win32/JContainer.h"
#include "Win32/HexText.h"
#include "registry/BoardRecord.h"
#include "registry/CodeRecord.h"
#include "registry/Registry.h"

namespace {

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

int ControlCenterClient::Status(const ClientRequest& request) {
  // What only the server knows.
  using ExistsQuery = HRESULT (STDMETHODCALLTYPE IControlCenterComponent::*)(BYTE*);
  using NameQuery = HRESULT (STDMETHODCALLTYPE IControlCenterComponent::*)(unsigned short*, char**);
  struct SetName {
    const char* existsMethod;
    const char* nameMethod;
    ExistsQuery exists;
    NameQuery name;
    bool present = false;
    std::string text;
  };
  SetName sets[] = {
      {"ActiveSetExists", "GetActiveSetName", &IControlCenterComponent::ActiveSetExists,
       &IControlCenterComponent::GetActiveSetName, false, ""},
      {"BackupExists", "GetBackupSetName", &IControlCenterComponent::BackupExists,
       &IControlCenterComponent::GetBackupSetName, false, ""},
  };
  for (SetName& set : sets) {
    BYTE exists = 0;
    HRESULT hr = (component_.get()->*set.exists)(&exists);
    if (FAILED(hr)) return Failure(set.existsMethod, hr);
    if (!exists) continue;
    unsigned short size = 0;
    CoTaskMemHolder<char> name;
    hr = (component_.get()->*set.name)(&size, name.put());
    if (FAILED(hr)) return Failure(set.nameMethod, hr);
    set.present = true;
    set.text = name.get() ? std::string(name.get(), strnlen(name.get(), size)) : std::string();
  }
  unsigned char changing = 0;
  HRESULT hr = component_->IsSetChanging(&changing);
  if (FAILED(hr)) return Failure("IsSetChanging", hr);

  // What the last set change recorded. While a change runs the records are
  // being rewritten: what cannot be read then is said, not fatal.
  JArray<BoardRecord> boards(0, 10, false);
  std::vector<CodeFileRecord> code;
  std::string recordsProblem;
  try {
    LoadBoardList(boards, HKEY_LOCAL_MACHINE, kBoardsKeyPath);
    code = LoadCodeRecords(HKEY_LOCAL_MACHINE,
                           (std::string(kKorvaneKeyPath) + "\\" + kCodeKeyName).c_str());
  } catch (char* text) {
    recordsProblem = text ? OneLine(text) : "unknown failure";
  }

  if (request.json) {
    std::string line = "{\"activeSet\":" + (sets[0].present ? JsonText(sets[0].text) : "null") +
                       ",\"backupSet\":" + (sets[1].present ? JsonText(sets[1].text) : "null") +
                       ",\"changing\":" + (changing ? "true" : "false") + ",\"boards\":[";
    for (uint32_t i = 0; i < boards.GetCount(); ++i) {
      const BoardRecord& board = boards.ElementAt(i);
      const std::string path = board.Path() ? board.Path() : "";
      line += std::string(i ? "," : "") + "{\"number\":" + std::to_string(board.BoardNum()) +
              ",\"name\":" + JsonText(board.name) +
              ",\"type\":" + JsonText(board.boardType ? std::string(1, board.boardType) : "") +
              ",\"ip\":" + JsonText(board.ipAddress) +
              ",\"hardware\":" + JsonText(HardwareAddressText(board.hardwareAddress)) +
              ",\"listFile\":" + (path == "NOPATH" || path.empty() ? "null" : JsonText(path)) +
              ",\"crc\":" + (path == "NOPATH" ? "null" : JsonText(Hex4Text(board.crc))) + "}";
    }
    line += "],\"code\":[";
    for (size_t i = 0; i < code.size(); ++i)
      line += std::string(i ? "," : "") + "{\"file\":" + JsonText(code[i].file) +
              ",\"size\":" + std::to_string(code[i].size) + ",\"crc\":" + JsonText(Hex4Text(code[i].crc)) +
              ",\"time\":" + JsonText(code[i].readableTime) + "}";
    line += "],\"recordsError\":" + (recordsProblem.empty() ? "null" : JsonText(recordsProblem)) + "}";
    PrintLine(line);
  } else {
    PrintLine("Active set:         " + (sets[0].present ? sets[0].text : "none"));
    PrintLine("Backup set:         " + (sets[1].present ? sets[1].text : "none"));
    PrintLine(std::string("Set change running: ") + (changing ? "yes" : "no"));
    PrintLine("Boards: " + std::to_string(boards.GetCount()));
    if (boards.GetCount()) {
      PrintLine("  number  name       type  IP address       hardware      CRC   list file");
      for (uint32_t i = 0; i < boards.GetCount(); ++i) {
        const BoardRecord& board = boards.ElementAt(i);
        const std::string path = board.Path() ? board.Path() : "";
        const bool hasFile = !path.empty() && path != "NOPATH";
        PrintLine("  " + Padded(std::to_string(board.BoardNum()), 8) + Padded(board.name, 11) +
                  Padded(board.boardType ? std::string(1, board.boardType) : "?", 6) +
                  Padded(board.ipAddress, 17) + Padded(HardwareAddressText(board.hardwareAddress), 14) +
                  Padded(hasFile ? Hex4Text(board.crc) : "-", 6) + (hasFile ? path : "-"));
      }
    }
    PrintLine("Code files: " + std::to_string(code.size()));
    if (!code.empty()) {
      PrintLine("  " + Padded("file", 18) + "      size  CRC   time");
      for (const CodeFileRecord& file : code) {
        char line[96];
        std::snprintf(line, sizeof line, "%10lu  %04X  ", file.size, static_cast<unsigned>(file.crc));
        PrintLine("  " + Padded(file.file, 18) + line + file.readableTime);
      }
    }
  }
  if (!recordsProblem.empty()) {
    PrintErrorLine("Error: The records of the active set could not be read" +
                   std::string(changing ? " while a set change runs: " : ": ") + recordsProblem);
    return kExitFailed;
  }
  return kExitSuccess;
}
