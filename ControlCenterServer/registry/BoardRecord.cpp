#include "registry/BoardRecord.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "Win32/ErrorText.h"

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
  // Optional: only the operators' tools show it, and no record may fail
  // for the lack of it.
  char type[2] = {};
  DWORD kind = 0, size = sizeof type;
  if (RegQueryValueExA(key, "Type", nullptr, &kind, reinterpret_cast<BYTE*>(type), &size) ==
          ERROR_SUCCESS &&
      kind == REG_SZ)
    record.boardType = type[0];
  return record;
}

}  // namespace

BoardRecord::BoardRecord(const BoardRecord& other)
    : crc(other.crc),
      boardNumber(other.boardNumber),
      boardType(other.boardType),
      path(CopyText(other.path)),
      size(other.size) {
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
    boardType = other.boardType;
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
      KORVANE_ASSERT_AS(board.BoardNum() != kUnsetBoardField,
                        "boardList[i].BoardNum() != (unsigned short)-1", kCorrupt);
      KORVANE_ASSERT_AS(board.BoardNum() < table.GetCount(),
                        "boardList[i].BoardNum() < boardList.GetSize()", kCorrupt);
    }
  } catch (...) {
    table.RemoveAll();
    throw;
  }
}

void LoadBoardList() { LoadBoardList(boardList, HKEY_LOCAL_MACHINE, kBoardsKeyPath); }
