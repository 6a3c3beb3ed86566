// The code files of the active configuration as a set change records them
// under "Code": one subkey per file of the active directory, named after
// the file, with its time, size, CRC and a readable time.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct CodeFileRecord {
  std::string file;
  unsigned long time = 0;  // seconds since 1970, cut to 32 bits
  unsigned long size = 0;
  unsigned short crc = 0;
  std::string readableTime;
};

// The records under parent\path in the registry's order of the subkeys.
// A missing key gives none. Raises the getters' texts for a missing or
// mistyped value.
std::vector<CodeFileRecord> LoadCodeRecords(HKEY parent, const char* path);
