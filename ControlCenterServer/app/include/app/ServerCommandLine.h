// The server's command line: switches separated by '-' or '/'.
#pragma once

#include <vector>

enum class ServerSwitch { RegServer, UnregServer, Embedding };

// The recognised switches in command-line order. Only '-' and '/' separate
// pieces (spaces stay part of a piece); each piece is compared whole,
// ignoring case; other pieces are ignored. Nothing after "Embedding" is
// looked at.
std::vector<ServerSwitch> ReadServerSwitches(const char* commandLine);
