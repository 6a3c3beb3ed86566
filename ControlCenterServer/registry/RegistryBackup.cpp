#include "registry/RegistryBackup.h"

#include <io.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Win32/ErrorText.h"

namespace {

constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
constexpr const char* kCorrupted = "The Korvane Registry is corrupted.";
constexpr const char* kInvalidType = "Invalid value type in the Korvane registry.";

void WriteLine(FILE* file, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), file);
  std::fwrite("\r\n", 1, 2, file);
}

std::string Quoted(const char* text, size_t length) {
  std::string quoted = "\"";
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\\' || text[i] == '"') quoted += '\\';
    quoted += text[i];
  }
  return quoted + "\"";
}

std::string DataPart(DWORD type, const std::vector<BYTE>& data, DWORD size) {
  if (type == REG_SZ) {
    // The stored size counts the terminating NUL; a value stored without one
    // (or with text after an embedded NUL) is written up to its first NUL.
    const char* text = reinterpret_cast<const char*>(data.data());
    return Quoted(text, strnlen(text, size));
  }
  if (type == REG_DWORD) {
    DWORD value = 0;
    std::memcpy(&value, data.data(), size < sizeof value ? size : sizeof value);
    char digits[16];
    std::snprintf(digits, sizeof digits, "dword:%08lx", static_cast<unsigned long>(value));
    return digits;
  }
  return "?";
}

// The subtree's ancestors, which the file names in headers but the reader
// must neither create nor give values: "SOFTWARE", "SOFTWARE\Brenlow".
bool IsAncestorOf(const std::string& path, const std::string& subtree) {
  if (path.empty()) return true;
  return path.size() < subtree.size() && subtree[path.size()] == '\\' &&
         _strnicmp(path.c_str(), subtree.c_str(), path.size()) == 0;
}

std::string Stripped(std::string line) {
  size_t lineEnd = line.find_first_of("\r\n");
  if (lineEnd != std::string::npos) line.resize(lineEnd);
  size_t end = line.find_last_not_of(" \t");
  if (end == std::string::npos) return std::string();
  size_t start = line.find_first_not_of(" \t");
  return line.substr(start, end + 1 - start);
}

// One line of any length, without its LF; false at the end of the file.
bool ReadLine(FILE* file, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(file)) != EOF) {
    if (c == '\n') return true;
    line += static_cast<char>(c);
  }
  return !line.empty();
}

}  // namespace

void WriteKeySection(FILE* file, HKEY key, const std::string& prefix) {
  if (!key) return;

  // Buffers sized from the key's own largest name and data, and grown when a
  // value changes while we enumerate, so that every value is written.
  DWORD maxName = 0, maxData = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                   &maxData, nullptr, nullptr);
  std::vector<char> name(maxName + 1 > 64 ? maxName + 1 : 64);
  std::vector<BYTE> data(maxData + 1 > 256 ? maxData + 1 : 256);
  // A value that keeps asking for more room (it grows while we read) is
  // given up on after a few tries rather than followed forever.
  constexpr DWORD kMaxRetries = 8;
  for (DWORD index = 0, retries = 0;;) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    LONG result =
        RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
    if (result == ERROR_MORE_DATA && ++retries <= kMaxRetries) {
      name.resize(name.size() * 2);
      data.resize(dataSize + 1 > data.size() * 2 ? dataSize + 1 : data.size() * 2);
      continue;
    }
    if (result != ERROR_SUCCESS) break;
    std::string line = nameLength ? "\"" + std::string(name.data(), nameLength) + "\"=" : "@=";
    WriteLine(file, line + DataPart(type, data, dataSize));
    ++index;
    retries = 0;
  }

  std::vector<char> subkey(256);
  for (DWORD index = 0, retries = 0;;) {
    DWORD length = static_cast<DWORD>(subkey.size());
    LONG result =
        RegEnumKeyExA(key, index, subkey.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_MORE_DATA && ++retries <= kMaxRetries) {
      subkey.resize(subkey.size() * 2);
      continue;
    }
    if (result != ERROR_SUCCESS) break;
    std::string subName(subkey.data(), length);
    UniqueKey child = OpenKey(key, subName.c_str());
    WriteLine(file, "");
    WriteLine(file, "[" + prefix + subName + "]");
    WriteKeySection(file, child.get(), prefix + subName + "\\");
    ++index;
    retries = 0;
  }
}

void SaveRegistry(const char* filePath, const char* subtree) {
  UniqueFile fp(std::fopen(filePath, "wb"));
  KORVANE_ASSERT(fp, "Could not open a file to save the Korvane registry");
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, subtree);

  const std::string root = std::string(kRootName) + "\\" + subtree;
  WriteLine(fp.get(), "REGEDIT4");
  size_t parentEnd = root.rfind('\\');
  if (parentEnd > std::strlen(kRootName)) {
    WriteLine(fp.get(), "");
    WriteLine(fp.get(), "[" + root.substr(0, parentEnd) + "]");
  }
  WriteLine(fp.get(), "");
  WriteLine(fp.get(), "[" + root + "]");
  WriteKeySection(fp.get(), key.get(), root + "\\");

  // The set change deletes the keys this file saves right after it: the
  // file must be whole and on the disk first, so every write error counts
  // (a full disk, a failed flush or close), not only the open.
  bool written = !std::ferror(fp.get()) && std::fflush(fp.get()) == 0;
  int error = written ? 0 : errno;
  DWORD flushError = ERROR_SUCCESS;
  if (written) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp.get())));
    if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
      flushError = GetLastError();
      written = false;
    }
  }
  if (std::fclose(fp.release()) != 0 && written) {
    error = errno;
    written = false;
  }
  if (!written)
    RaiseFormatted("Could not write the Korvane registry backup %s: %s", filePath,
                   flushError != ERROR_SUCCESS ? SystemErrorText(flushError).c_str()
                   : error != 0                ? std::strerror(error)
                                               : "a write failed");
}

RegistryFileLine ParseRegistryLine(std::string text) {
  RegistryFileLine parsed;
  const std::string line = Stripped(std::move(text));
  if (line.empty()) return parsed;

  switch (line[0]) {
    case '"': {
      // The writer does not escape names, so the name ends at the first
      // quote that is followed by "=": names holding "=" still read back.
      size_t close = line.find("\"=", 1);
      KORVANE_ASSERT(close != std::string::npos, kCorrupted);
      parsed.kind = RegistryFileLine::Value;
      parsed.name = line.substr(1, close - 1);
      parsed.data = line.substr(close + 2);
      return parsed;
    }
    case '@':
      KORVANE_ASSERT(line.size() >= 2 && line[1] == '=', kCorrupted);
      parsed.kind = RegistryFileLine::Value;
      parsed.data = line.substr(2);
      return parsed;
    case '[': {
      // Up to the last "]": a key name may itself hold "]".
      size_t close = line.rfind(']');
      KORVANE_ASSERT(close != std::string::npos, kCorrupted);
      const std::string keyPath = line.substr(1, close - 1);
      const char* sptr = keyPath.c_str();
      KORVANE_ASSERT(strstr(sptr,"HKEY_LOCAL_MACHINE"), nullptr);
      const char* relative = std::strstr(sptr, kRootName) + std::strlen(kRootName);
      if (*relative == '\\') ++relative;
      parsed.kind = RegistryFileLine::Key;
      parsed.path = relative;
      return parsed;
    }
    default:
      KORVANE_ASSERT(0, kCorrupted);
  }
  return parsed;
}

void SetValueFromText(HKEY key, const char* name, const char* data) {
  if (data[0] == '"') {
    const char* close = std::strrchr(data, '"');
    KORVANE_ASSERT(close != data, kCorrupted);
    std::string text;
    for (const char* p = data + 1; p < close; ++p) {
      if (*p == '\\') {
        if (++p == close) break;
      }
      text += *p;
    }
    CreateValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    return;
  }
  if (data[0] == 'd') {
    unsigned long value = 0;
    if (const char* colon = std::strchr(data, ':'))
      if (std::sscanf(colon + 1, "%lx", &value) != 1) value = 0;
    DWORD dword = static_cast<DWORD>(value);
    CreateValue(key, name, REG_DWORD, &dword, sizeof dword);
    return;
  }
  KORVANE_ASSERT(0, kInvalidType);
}

void RestoreRegistry(const char* filePath, const char* subtree) {
  // Opened before anything is deleted: a missing backup file costs nothing.
  UniqueFile fp(std::fopen(filePath, "rb"));
  KORVANE_ASSERT(fp, "Could not open a file to restore the Korvane registry");

  const std::string root = subtree;
  DeleteKey(HKEY_LOCAL_MACHINE, (root + "\\" + kCodeKeyName).c_str());
  DeleteKey(HKEY_LOCAL_MACHINE, (root + "\\" + kActiveSetKeyName).c_str());

  std::string line;
  ReadLine(fp.get(), line);  // "REGEDIT4", or whatever the first line holds
  UniqueKey currentKey;
  while (ReadLine(fp.get(), line)) {
    RegistryFileLine parsed = ParseRegistryLine(std::move(line));
    switch (parsed.kind) {
      case RegistryFileLine::Blank:
        break;
      case RegistryFileLine::Value:
        KORVANE_ASSERT(currentKey, nullptr);
        SetValueFromText(currentKey.get(), parsed.name.c_str(), parsed.data.c_str());
        break;
      case RegistryFileLine::Key:
        CloseKey(currentKey);
        if (!IsAncestorOf(parsed.path, root))
          currentKey = CreateKey(HKEY_LOCAL_MACHINE, parsed.path.c_str());
        break;
    }
  }
}
