// A stand-in board asking for its boot information: sends one boot request
// from the loopback address and shows the reply, field by field.
#pragma once

#include <ostream>
#include <string>

struct BootOptions {
  unsigned short port = 0;          // where the bootp component listens
  unsigned char hardware[6] = {};   // the board's hardware address
  unsigned long xid = 0x4B560001;   // the transaction id
  unsigned long seconds = 5;        // how long to wait for the reply
};

// Reads twelve hex digits (as active.ini keys are written, colons allowed
// between the bytes) into hardware; false for anything else.
bool ParseHardwareAddress(const std::string& text, unsigned char hardware[6]);

// Sends the request to 127.0.0.1:port and prints both datagrams. Returns 0
// when a reply for this request came, 1 when none came in time, 3 when the
// socket could not be used.
int AskForBoot(const BootOptions& options, std::ostream& out, std::ostream& err);
