// The CRCs of the code files in the active directory (the files a set
// change does not write: board firmware and the like). Computing a CRC means
// reading the whole file, so each one is cached in "<root>\bin\korvane.ini",
// section "CODE", keyed by the bare file name:
//
//   <name>=TTTTTTTT SSSSSSSS CCCC
//
// modification time (seconds, as the C library reports it) and size in
// bytes, 8 upper-case hex digits each, then the CRC-16/MODBUS of the file's
// bytes. An entry whose time and size still match the file is trusted; any
// other is recomputed. A set change records every code file under the
// registry key "Code" from these entries.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "setchange/ProfileFile.h"
#include "setfiles/ConfigurationContext.h"

constexpr const char* kCodeCrcSection = "CODE";

// "%08lX %08lX": the first 17 characters of an entry, the part that says
// whether the cached CRC still belongs to the file.
std::string CodeTimeAndSize(long long modificationTime, unsigned long long size);

struct CodeFileEntry {
  unsigned long time = 0;  // the low 32 bits of the modification time
  unsigned long size = 0;  // the low 32 bits of the size
  unsigned short crc = 0;
  long long fullTime = 0;  // the modification time as the file has it
};

class CodeCrcCache {
 public:
  // iniPath: "<root>\bin\korvane.ini". context supplies the running CRC.
  CodeCrcCache(const std::string& iniPath, ConfigurationContext& context);

  // The entry of the code file at path (named fileName in the cache): the
  // cached one when its time and size match the file (letter case
  // ignored), else one with a fresh CRC, which the cache keeps until Save.
  // Raises "Could not open code file %s.  Could not crc the file." when the
  // file cannot be read.
  CodeFileEntry Refresh(const std::string& path, const std::string& fileName);

  // Writes the cache back when Refresh changed it. A cache that cannot be
  // written costs only time at the next change (the CRCs are computed
  // again), so that is no failure: the text ("Could not write <ini path>"
  // and what it means) goes to logError and the change goes on.
  void Save(const std::function<void(const char*)>& logError);

 private:
  ProfileFile ini;
  ConfigurationContext& context;
  bool changed = false;
};

// The whole code step of a set change: for every file (not directory) in
// activeDirectory (ending with a backslash), refreshes its cache entry and
// creates codeKey's subkey named after it with "time", "size", "crc" and
// "readable time" (ctime form without its newline). The cache is written
// back once, at the end; see CodeCrcCache::Save for what logError hears.
void RecordCodeFiles(const std::string& activeDirectory, const std::string& iniPath,
                     HKEY codeKey, ConfigurationContext& context,
                     const std::function<void(const char*)>& logError);
