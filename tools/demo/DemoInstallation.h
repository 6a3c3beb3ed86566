// The demonstration installation: configuration sets whose description
// tables agree with their boards, the common description files that go with
// them, and the few other files an installation holds. The run script builds
// the demo from these; the set change benchmark builds its large set from
// the same generator, so that both exercise every kind of board the server
// knows how to serve.
#pragma once

#include <string>
#include <vector>

#include "setfiles/SetFile.h"

// One board of a set's network description table.
struct BoardPlan {
  std::string name;                   // at most 8 characters
  char type = 'S';                    // the letter that selects the board's lists
  char flag = ' ';                    // 'R': the board's name gets an "R"
  unsigned char hardwareAddress[6] = {};  // for 'X': bytes 2..5 hold its IPv4 address
};

// A board of type 'X': no list file; its IPv4 address (host order) is kept
// in the last four bytes of its hardware address.
BoardPlan GatewayBoard(const std::string& name, unsigned long address);

struct SetPlan {
  std::string name;  // the set's name, i.e. its file name without ".cfg"
  std::vector<BoardPlan> boards;
  // Bytes of each board's own lists (its input set, its Pellix program, the
  // port and protocol files of a mapped port), in total per board.
  size_t boardDataBytes = 96;
  // Lists the boards need that the set leaves out on purpose: a set change
  // of such a set fails with "Could not find list <name>".
  std::vector<std::string> leftOut;
};

// Every list of the set: the network description table, the description
// tables its board types read, the shared lists and each board's own lists,
// in name order (as the set file tool builds a folder).
std::vector<NamedList> BuildSetLists(const SetPlan& plan);

// The installation's common description files ("config\common").
const char* DemoBrdlists();
const char* DemoProtomap();

// The sets of the demonstration: a plant of six boards of five types, a
// smaller second set, and a set whose valve board lacks its required
// "v25_mpk_" list.
std::vector<SetPlan> DemoSetPlans();

// A set of `boards` boards of mixed types whose lists add up to about
// `totalBytes`, for measuring set changes.
SetPlan BenchSetPlan(unsigned boards, unsigned long long totalBytes);

// --- Writing to disk (Windows paths; folders are made as needed) ---

// One file per list, named after the list, in folder.
void WriteListFolder(const std::string& folder, const std::vector<NamedList>& lists);

// The parts of an installation below root that are not set files:
// "config\common\brdlists" and "protomap", the "bin" folder of the code CRC
// cache, the "Comp" folder with a companion archive for every set named in
// archives, and two code files in "active". Raises a char* text on failure.
void WriteInstallationFiles(const std::string& root, const std::vector<std::string>& archives);

// Makes folder and its missing parents; raises a char* text on failure.
void MakeFolders(const std::string& folder);
