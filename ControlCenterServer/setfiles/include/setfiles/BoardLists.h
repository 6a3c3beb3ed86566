// Which lists each board gets. Every copier reads its description tables
// from the context's source file (complete.cfg), walks the records that
// belong to the board (its own number or its partner's) and copies the named
// lists into the context's open per-board file; CopyList writes a list at
// most once per file. A copier returns true on success and false on a
// failure it detects itself; the errors of LoadTable and CopyList (such as
// "Could not find list %s" for a required list) are raised straight through.
#pragma once

#include <string>
#include <vector>

#include "setfiles/ConfigurationContext.h"
#include "setfiles/SetFile.h"

// Another board with the same 8-byte name, searched from index 0 up to the
// first record with a negative link; the board itself when there is none.
unsigned short FindPartnerBoard(const NetworkRecord* table, unsigned short count,
                                unsigned short board);
// FindPartnerBoard of every board of the table at once, in one pass rather
// than one search per board.
std::vector<unsigned short> FindPartnerBoards(const NetworkRecord* table, unsigned short count);

// Every copier: board is an index of table, which has count records.
using ListCopier = bool(ConfigurationContext& context, unsigned short board,
                        const NetworkRecord* table, unsigned short count);

// The "brdlists" lists of the board's type; every board but 'X' gets them.
ListCopier CopyBoardLists;
// The type-specific copiers; BoardTypeGets says which board types run each.
ListCopier CopyMpkLists;
ListCopier CopyTcs2Lists;
ListCopier CopyPartyLineLists;
ListCopier CopyRemoteLists;
ListCopier CopyVgaLists;
ListCopier CopyProtoLists;
ListCopier CopyControlPanelLists;
ListCopier CopyPellixLists;

// Whether WriteBoardListFile runs copier for a board of type.
bool BoardTypeGets(char type, ListCopier* copier);
// Of the boards that get Pellix lists, the types that also get the machine
// file of each of their systems.
constexpr char kMachineFileTypes[] = "IJH";

// The name of a board's list file without ".cfg": the last three bytes of
// its hardware address as six upper-case hex digits.
std::string BoardListName(const NetworkRecord& record);
// The board's name as the board records show it: trailing spaces removed,
// "R" appended when its flag is 'R'.
std::string BoardDisplayName(const NetworkRecord& record);
// How many boards a set change activates: the records before the first one
// with an empty name.
unsigned short ActiveBoardCount(const ListTable& networkTable);

struct BoardListFile {
  unsigned short crc = 0;          // CRC-16/MODBUS of every byte of the file
  unsigned long long size = 0;     // bytes
  unsigned long blocks = 0;        // 512-byte blocks, rounded up
};

// Writes the whole list file of board number `board` (not of type 'X') of
// context.networkTable at path: "IP", "COMMPORT", the "brdlists" lists, the
// lists of its type's copiers in their fixed order, the end entry. Each step
// that reports failure raises the set change's text for it ("Could not copy
// MPK lists" ...). context.protomap must already be loaded. A file that
// fails is closed and left where it is.
BoardListFile WriteBoardListFile(ConfigurationContext& context, unsigned short board,
                                 const char* path);
