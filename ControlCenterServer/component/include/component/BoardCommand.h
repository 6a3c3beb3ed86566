// The board command message: one of six fixed commands and the hardware
// addresses of the boards it is for, as the board socket sends it.
//
//   offset 0          6 bytes  command name, ASCII, no terminator
//   offset 6*(i+1)    6 bytes  hardware address of the i-th board named
//   offset 6*(n+1)    6 bytes  zeros, the end mark
//
// (n + 2) * 6 bytes in all, a 16-bit length.
#pragma once

#include <vector>

#include "registry/BoardRecord.h"

// The name a command value is sent as, or null for a value that is no
// command (each command is one bit; 0, negatives and combinations are
// none).
const char* BoardCommandName(long command);

// The most boards one message can name: its length must fit 16 bits.
constexpr unsigned kMostBoardsPerCommand = 65535 / 6 - 2;

// Builds the message for the boards boardnums[0..numboards-1] of table,
// in the order given (a board named twice is named twice). Checks
// everything before anything is sent: raises "Invalid board command" for
// an unknown command, the count assertion when numboards is 0 or more than
// the table holds, a text of its own above kMostBoardsPerCommand, and
// "Invalid board number" for a number the table does not carry.
std::vector<unsigned char> BuildBoardCommand(long command, unsigned short numboards,
                                             const unsigned short* boardnums,
                                             JArray<BoardRecord>& table);
