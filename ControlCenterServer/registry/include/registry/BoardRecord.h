// The boards of the active set as the registry records them under
// "Active Set\Boards", one subkey per board named by its hardware address,
// and the process-wide table of them that the board commands and the
// component's queries read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "registry/Registry.h"
#include "Win32/JContainer.h"

// The value that marks the CRC and the board number as unset.
constexpr unsigned short kUnsetBoardField = 0xFFFF;

// One board of the active set. A new record is unset: address, name and IP
// address all zero bytes, CRC and number 0xFFFF, no path, size 0. Copies own
// their own path.
class BoardRecord {
 public:
  BoardRecord() = default;
  BoardRecord(const BoardRecord& other);
  BoardRecord& operator=(const BoardRecord& other);
  ~BoardRecord();

  unsigned short BoardNum() const { return boardNumber; }
  // Null when unset.
  const char* Path() const { return path; }
  // Keeps a copy; null unsets it.
  void SetPath(const char* text);
  // Copy the text into the fixed fields, cut to what they hold (8 and 15
  // characters).
  void SetName(const char* text);
  void SetIpAddress(const char* text);

  unsigned char hardwareAddress[6] = {};
  char name[9] = {};
  char ipAddress[16] = {};
  unsigned short crc = kUnsetBoardField;
  unsigned short boardNumber = kUnsetBoardField;
  // The board's type letter ("Type"); 0 when the record has none, as the
  // records of older installations do not.
  char boardType = 0;

 private:
  char* path = nullptr;

 public:
  uint32_t size = 0;
};

// The boards of the active set, indexed by board number; unlocked (its users
// keep each other away, see LoadBoardList). Reading an element past the end
// grows the table with unset records.
extern JArray<BoardRecord> boardList;

// Rebuilds the table from the board records under parent\path (the active
// set's "Boards" key). A missing key is no error: the table stays empty.
// Raises "Could not get information for board <name>." for a record key that
// cannot be opened or whose name is not a 12-digit hardware address, the
// getters' texts for a missing or mistyped value, and "The current
// configuration appears to be corrupt" when the board numbers do not run
// from 0 without gaps. After any failure the table is empty.
//
// Takes no lock: callers keep every other user of the table away while it
// runs (the component's busy state, its first-instance set-up).
void LoadBoardList(JArray<BoardRecord>& table, HKEY parent, const char* path);

// The same for the process-wide boardList and the system's own records.
void LoadBoardList();

// What LoadBoardList makes of the records, given as they are (one per board
// key, in any order) rather than read from the registry: a writer that has
// just written the keys fills the table from what it wrote. Raises and
// empties the table as LoadBoardList does when the numbers have gaps.
void FillBoardList(JArray<BoardRecord>& table, const std::vector<BoardRecord>& records);
