// A stand-in board for the demo: receives board command messages on the
// loopback address and shows what arrived, byte by byte and decoded.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// The bytes as two-digit upper-case hex, space-separated, 24 to a line,
// each line starting with indent.
std::string HexLines(const std::string& bytes, const std::string& indent);

// What a board command message says: "command REBOOT to 2 boards:
// 00:40:9D:21:07:11, ..." for a well-formed one (six letters, 6-byte hardware
// addresses, six zero bytes), else what is wrong with it.
std::string DescribeBoardCommand(const std::string& bytes);

struct ListenOptions {
  unsigned short port = 0;
  unsigned long count = 1;    // datagrams to wait for
  unsigned long seconds = 30;  // at most this long in all
};

// Binds UDP 127.0.0.1:port, prints one line "listening on 127.0.0.1:PORT"
// (a script waits for it before sending), then each datagram as it
// arrives. Returns 0 when count datagrams arrived, 1 when time ran out
// first, 3 when the port could not be bound.
int ListenForBoardCommands(const ListenOptions& options, std::ostream& out, std::ostream& err);
