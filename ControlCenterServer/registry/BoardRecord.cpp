#include "registry/BoardRecord.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "registry/RegistryBackup.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

JArray<BoardRecord> boardList(0, 10, false);

namespace {

constexpr const char* kCorrupt = "The current configuration appears to be corrupt";

char* CopyText(const char* text) {
  if (!text) return nullptr;
  size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  return copy;
}

template <size_t N>
void CopyCut(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  if (text) std::strncpy(field, text, N - 1);
}

// The record keys are named by the writer with "%02X" six times; either
// case is read. Anything else is no board of ours.
bool ParseHardwareAddress(const char* name, unsigned char (&address)[6]) {
  if (std::strlen(name) != 12) return false;
  for (int i = 0; i < 12; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  for (int i = 0; i < 6; ++i) {
    unsigned int byte = 0;
    std::sscanf(name + 2 * i, "%2x", &byte);
    address[i] = static_cast<unsigned char>(byte);
  }
  return true;
}

BoardRecord ReadBoardRecord(HKEY boardsKey, const char* keyName) {
  UniqueKey boardKey = OpenKey(boardsKey, keyName);
  BoardRecord record;
  if (!boardKey || !ParseHardwareAddress(keyName, record.hardwareAddress))
    RaiseFormatted("Could not get information for board %s.", keyName);
  HKEY key = boardKey.get();
  // Each text is copied before the next read replaces the getter's buffer.
  record.SetName(GetStringValueText(key, "Name").c_str());
  record.SetIpAddress(GetStringValueText(key, "Address").c_str());
  record.crc = static_cast<unsigned short>(GetDwordValue(key, "CRC"));
  record.boardNumber = static_cast<unsigned short>(GetDwordValue(key, "Number"));
  record.SetPath(GetStringValueText(key, "Path").c_str());
  record.size = GetDwordValue(key, "Size");
  return record;
}

}  // namespace

BoardRecord::BoardRecord(const BoardRecord& other)
    : crc(other.crc), boardNumber(other.boardNumber), path(CopyText(other.path)), size(other.size) {
  std::memcpy(hardwareAddress, other.hardwareAddress, sizeof hardwareAddress);
  std::memcpy(name, other.name, sizeof name);
  std::memcpy(ipAddress, other.ipAddress, sizeof ipAddress);
}

BoardRecord& BoardRecord::operator=(const BoardRecord& other) {
  if (this != &other) {
    SetPath(other.path);
    std::memcpy(hardwareAddress, other.hardwareAddress, sizeof hardwareAddress);
    std::memcpy(name, other.name, sizeof name);
    std::memcpy(ipAddress, other.ipAddress, sizeof ipAddress);
    crc = other.crc;
    boardNumber = other.boardNumber;
    size = other.size;
  }
  return *this;
}

BoardRecord::~BoardRecord() { delete[] path; }

void BoardRecord::SetPath(const char* text) {
  char* copy = CopyText(text);
  delete[] path;
  path = copy;
}

void BoardRecord::SetName(const char* text) { CopyCut(name, text); }

void BoardRecord::SetIpAddress(const char* text) { CopyCut(ipAddress, text); }

void LoadBoardList(JArray<BoardRecord>& table, HKEY parent, const char* path) {
  table.RemoveAll();
  std::vector<BoardRecord> records;
  try {
    UniqueKey boardsKey = OpenKey(parent, path);
    if (!boardsKey) return;
    // Key names are at most 255 characters, so this buffer ends the
    // enumeration only at its true end.
    char keyName[256];
    for (DWORD index = 0;; ++index) {
      DWORD length = sizeof keyName;
      if (RegEnumKeyExA(boardsKey.get(), index, keyName, &length, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS)
        break;
      records.push_back(ReadBoardRecord(boardsKey.get(), keyName));
    }
  } catch (...) {
    table.RemoveAll();
    throw;
  }
  FillBoardList(table, records);
}

void FillBoardList(JArray<BoardRecord>& table, const std::vector<BoardRecord>& records) {
  table.RemoveAll();
  try {
    for (const BoardRecord& record : records) table.ElementAt(record.BoardNum()) = record;

    // Every place up to the highest number must hold a board: the numbers
    // run from 0 without gaps.
    for (uint32_t i = 0; i < table.GetCount(); ++i) {
      const BoardRecord& board = table.ElementAt(i);
      if (board.BoardNum() == kUnsetBoardField)
        AssertFailed(KorvaneBaseName(__FILE__), __LINE__,
                     "boardList[i].BoardNum() != (unsigned short)-1", kCorrupt, __TIMESTAMP__);
      if (board.BoardNum() >= table.GetCount())
        AssertFailed(KorvaneBaseName(__FILE__), __LINE__,
                     "boardList[i].BoardNum() < boardList.GetSize()", kCorrupt, __TIMESTAMP__);
    }
  } catch (...) {
    table.RemoveAll();
    throw;
  }
}

void LoadBoardList() { LoadBoardList(boardList, HKEY_LOCAL_MACHINE, kBoardsKeyPath); }

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A value as the import stores it: SetValueFromText's two forms.
struct ImportedValue {
  DWORD type = REG_NONE;
  std::string text;
  DWORD dword = 0;
};

bool ImportValue(const std::string& data, ImportedValue* value) {
  if (!data.empty() && data[0] == '"') {
    const size_t close = data.rfind('"');
    if (close == 0) return false;
    std::string text;
    for (size_t p = 1; p < close; ++p) {
      if (data[p] == '\\' && ++p == close) break;
      text += data[p];
    }
    value->type = REG_SZ;
    value->text = text.c_str();  // read back up to its first NUL
    return true;
  }
  if (!data.empty() && data[0] == 'd') {
    unsigned long number = 0;
    const size_t colon = data.find(':');
    if (colon != std::string::npos && std::sscanf(data.c_str() + colon + 1, "%lx", &number) != 1)
      number = 0;
    value->type = REG_DWORD;
    value->dword = static_cast<DWORD>(number);
    return true;
  }
  return false;
}

bool ReadExportFile(const std::string& path, std::string* text) {
  UniqueFile file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::vector<char> buffer(64 * 1024);
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
    text->append(buffer.data(), got);
  return !std::ferror(file.get());
}

struct ImportedKey {
  std::string name;  // as first spelt: the registry keeps that spelling
  std::map<std::string, ImportedValue> values;  // by lower-case name
};

}  // namespace

bool BoardRecordsFromExport(const std::string& filePath, const std::string& subtree,
                            std::vector<BoardRecord>* records) {
  records->clear();
  std::string text;
  // The import reads names and data as C texts: a NUL in the file would
  // cut them where this reading does not.
  if (!ReadExportFile(filePath, &text) || text.find('\0') != std::string::npos) return false;
  const std::string boards = Lower(subtree + "\\" + kActiveSetKeyName + "\\Boards\\");
  std::map<std::string, ImportedKey> keys;  // by lower-case name
  ImportedKey* current = nullptr;
  bool inKey = false;
  size_t at = text.find('\n');  // the first line ("REGEDIT4") is not read
  at = at == std::string::npos ? text.size() : at + 1;
  try {
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const RegistryFileLine line = ParseRegistryLine(text.substr(at, end - at));
      at = end + 1;
      if (line.kind == RegistryFileLine::Key) {
        // Paths the registry would read otherwise than as written.
        if (line.path.find("\\\\") != std::string::npos ||
            (!line.path.empty() && line.path.back() == '\\'))
          return false;
        const std::string path = Lower(line.path);
        // The subtree's ancestors are named but never created.
        const std::string root = Lower(subtree);
        inKey = !(path.empty() || (path.size() < root.size() && root[path.size()] == '\\' &&
                                   root.compare(0, path.size(), path) == 0));
        current = nullptr;
        if (path.size() > boards.size() && path.compare(0, boards.size(), boards) == 0) {
          const std::string name = line.path.substr(boards.size());
          if (name.find('\\') != std::string::npos) return false;
          ImportedKey& key = keys[Lower(name)];
          if (key.name.empty()) key.name = name;
          current = &key;
        }
      } else if (line.kind == RegistryFileLine::Value) {
        if (!inKey) return false;  // the import refuses it
        ImportedValue value;
        if (!ImportValue(line.data, &value)) return false;
        if (current) current->values[Lower(line.name)] = value;
      }
    }
  } catch (char*) {
    return false;
  }

  std::set<unsigned short> numbers;
  for (const auto& entry : keys) {
    const ImportedKey& key = entry.second;
    BoardRecord record;
    if (!ParseHardwareAddress(key.name.c_str(), record.hardwareAddress)) return false;
    auto get = [&](const char* name, DWORD type) -> const ImportedValue* {
      const auto found = key.values.find(Lower(name));
      return found != key.values.end() && found->second.type == type ? &found->second : nullptr;
    };
    const ImportedValue* name = get("Name", REG_SZ);
    const ImportedValue* address = get("Address", REG_SZ);
    const ImportedValue* crc = get("CRC", REG_DWORD);
    const ImportedValue* number = get("Number", REG_DWORD);
    const ImportedValue* path = get("Path", REG_SZ);
    const ImportedValue* size = get("Size", REG_DWORD);
    if (!name || !address || !crc || !number || !path || !size) return false;
    record.SetName(name->text.c_str());
    record.SetIpAddress(address->text.c_str());
    record.crc = static_cast<unsigned short>(crc->dword);
    record.boardNumber = static_cast<unsigned short>(number->dword);
    record.SetPath(path->text.c_str());
    record.size = size->dword;
    if (!numbers.insert(record.boardNumber).second) return false;
    records->push_back(record);
  }
  return true;
}
