#include "setchange/CodeCrcCache.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "registry/Registry.h"
#include "setchange/ConfigurationWorker.h"
#include "setfiles/Crc16.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

constexpr size_t kTimeAndSizeLength = 17;  // "TTTTTTTT SSSSSSSS"

// The three numbers of an entry; false when it does not hold them.
bool ParseEntry(const std::string& entry, CodeFileEntry* parsed) {
  unsigned long time = 0, size = 0, crc = 0;
  if (std::sscanf(entry.c_str(), "%08lX %08lX %04lX", &time, &size, &crc) != 3) return false;
  parsed->time = time;
  parsed->size = size;
  parsed->crc = static_cast<unsigned short>(crc);
  return true;
}

std::string ReadableTime(long long time) {
  const __time64_t value = time;
  const char* text = _ctime64(&value);
  if (!text) return std::string();
  std::string readable = text;
  const size_t lineEnd = readable.find('\n');
  if (lineEnd != std::string::npos) readable.resize(lineEnd);
  return readable;
}

}  // namespace

std::string CodeTimeAndSize(long long modificationTime, unsigned long long size) {
  char text[32];
  // Both fields are 32 bits wide on disk; later times and sizes wrap.
  std::snprintf(text, sizeof text, "%08lX %08lX",
                static_cast<unsigned long>(modificationTime & 0xFFFFFFFF),
                static_cast<unsigned long>(size & 0xFFFFFFFF));
  return text;
}

CodeCrcCache::CodeCrcCache(const std::string& iniPath, ConfigurationContext& crcContext)
    : ini(iniPath), context(crcContext) {}

CodeFileEntry CodeCrcCache::Refresh(const std::string& path, const std::string& fileName) {
  struct _stat64 status;
  if (_stat64(path.c_str(), &status) != 0)
    RaiseFormatted("Could not open code file %s.  Could not crc the file.", path.c_str());
  const std::string timeAndSize = CodeTimeAndSize(status.st_mtime, status.st_size);

  std::string entry = ini.Get(kCodeCrcSection, fileName);
  CodeFileEntry parsed;
  // A damaged entry whose time and size happen to match is recomputed too:
  // a CRC we cannot read is no CRC.
  const bool current = entry.size() >= kTimeAndSizeLength &&
                       _strnicmp(entry.c_str(), timeAndSize.c_str(), kTimeAndSizeLength) == 0 &&
                       ParseEntry(entry, &parsed);
  if (!current) {
    context.listCrc = kCrc16Start;
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file)
      RaiseFormatted("Could not open code file %s.  Could not crc the file.", path.c_str());
    context.StreamCrc(file.get(), static_cast<unsigned long long>(status.st_size));
    file.reset();
    char crc[8];
    std::snprintf(crc, sizeof crc, " %04X", static_cast<unsigned>(context.listCrc));
    ini.Set(kCodeCrcSection, fileName, timeAndSize + crc);
    changed = true;
    entry = ini.Get(kCodeCrcSection, fileName);
    ParseEntry(entry, &parsed);
  }
  parsed.fullTime = status.st_mtime;
  return parsed;
}

void CodeCrcCache::Save(const std::function<void(const char*)>& logError) {
  if (!changed) return;
  try {
    ini.Save();
    changed = false;
  } catch (const char* text) {
    // An installation without a "bin" folder, a read-only cache, a full
    // disk: the CRCs in hand are right, only the next change will have to
    // read the code files again.
    const std::string logged = std::string(text ? text : "") +
                               ": the code file CRCs were computed and recorded, but could not "
                               "be cached for the next set change.";
    if (logError) logError(logged.c_str());
  }
}

void RecordCodeFiles(const std::string& activeDirectory, const std::string& iniPath,
                     HKEY codeKey, ConfigurationContext& context,
                     const std::function<void(const char*)>& logError) {
  CodeCrcCache cache(iniPath, context);
  for (const std::string& name : MatchingFiles(activeDirectory, "*.*")) {
    const CodeFileEntry entry = cache.Refresh(activeDirectory + name, name);
    UniqueKey fileKey = CreateKey(codeKey, name.c_str());
    SetDwordValue(fileKey.get(), "time", entry.time);
    SetDwordValue(fileKey.get(), "size", entry.size);
    SetDwordValue(fileKey.get(), "crc", entry.crc);
    SetStringValue(fileKey.get(), "readable time", ReadableTime(entry.fullTime));
  }
  cache.Save(logError);
}
