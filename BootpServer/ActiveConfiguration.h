// The boards the bootp server serves, as a set change leaves them in
// active.ini: section [CONFIG], one record per board, keyed by the board's
// hardware address (twelve hex digits):
//   <ip> <list path> <crc> <blocks> <name> <number> <type>   a board with a list file
//   <ip> NOPATH FFFF 0000 <name> <number> <type>             a board without one
#pragma once

#include <string>
#include <vector>

struct BootpBoard {
  unsigned char hardwareAddress[6] = {};
  std::string hardwareText;  // the key as written
  std::string ipAddress;     // dotted
  std::string listPath;      // empty for a board without a list file
  unsigned listCrc = 0;
  unsigned listBlocks = 0;   // 512-byte blocks
  std::string name;
  int number = 0;
  char type = 0;
  int line = 0;              // where the record stands in the file
};

// Reads and checks the whole file. Raises a char* text naming the file (and
// the line, when one record is at fault) when it cannot be read or any
// record is malformed: a bootp server serves all of a configuration or none
// of it.
std::vector<BootpBoard> ReadActiveConfiguration(const std::string& path);

// The same for text already read; path only names the file in texts.
std::vector<BootpBoard> ParseActiveConfiguration(const std::string& content,
                                                 const std::string& path);

// The boards whose list file is not on disk.
std::vector<const BootpBoard*> BoardsWithoutListFile(const std::vector<BootpBoard>& boards);

// Four decimal numbers up to 255, with dots between: how the system writes
// IPv4 addresses.
bool IsDottedAddress(const std::string& text);
