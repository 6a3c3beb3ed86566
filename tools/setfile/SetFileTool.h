// The commands of korvane-setfile, callable in-process so that tests can
// run them without starting the program.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// What scripts can rely on.
enum SetFileToolExit {
  kExitOk = 0,        // done; for dump and check: the set is sound
  kExitInvalid = 1,   // the set (or the folder of lists) is not sound
  kExitUsage = 2,     // unknown command, missing or malformed arguments
  kExitIo = 3,        // the tool could not read or write its own files
};

// args excludes the program name. Reports go to out, usage and I/O errors
// to err.
int RunSetFileTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

extern const char kSetFileToolUsage[];

// Dotted IPv4 text from and to a host-order address.
// Removes the folder and everything in it; what cannot be removed stays.
void RemoveTree(const std::string& path);
std::string DottedAddressText(unsigned long address);
bool ParseDottedAddress(const std::string& text, unsigned long& address);
