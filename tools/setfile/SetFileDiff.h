// korvane-setfile diff: two configurations compared board by board. A side
// is a set file, activated into a scratch folder with the same code a set
// change runs, or the installation's active configuration as the server
// recorded it (the board records in the registry, the boards' list files,
// active\complete.cfg).
#pragma once

#include <ostream>
#include <string>
#include <vector>

struct ListSummary {
  std::string name;
  unsigned long size = 0;
  unsigned short crc = 0;  // CRC-16 of the list's bytes
  std::string bytes;
};

struct BoardSummary {
  std::string hardware;  // 12 hex digits: what identifies a board on both sides
  unsigned number = 0;
  std::string name;
  std::string type;
  std::string ip;
  std::string partner;   // the partner board's name; empty when it has none
  std::string listFile;  // empty for a board without one (type X)
  std::vector<ListSummary> lists;
};

struct ConfigurationSummary {
  std::string source;  // what was read, for the report
  std::vector<BoardSummary> boards;
  std::vector<ListSummary> setLists;  // the lists of complete.cfg
  bool boardListsKnown = false;       // false: the boards' lists were not made
};

// How a set file is activated: the common configuration folder ("brdlists",
// "protomap"; empty: the boards' list files are not made), base IP address
// and communication port.
struct DiffSettings {
  std::string common;
  unsigned long baseIp = 0x0A000001;
  unsigned short port = 0;
};

// Both raise a char* text when the input cannot be read or is not sound.
ConfigurationSummary SummarizeSetFile(const std::string& path, const DiffSettings& settings);
// Fills settings from the installation's registry values on the way.
ConfigurationSummary SummarizeActiveConfiguration(DiffSettings& settings);

struct ListDifference {
  std::string name;
  const ListSummary* a = nullptr;  // null: absent on that side
  const ListSummary* b = nullptr;
};

struct FieldDifference {
  std::string field, a, b;
};

struct BoardDifference {
  const BoardSummary* a = nullptr;
  const BoardSummary* b = nullptr;
  std::vector<FieldDifference> fields;
  std::vector<ListDifference> lists;
};

struct ConfigurationDiff {
  std::vector<const BoardSummary*> added;    // only in B
  std::vector<const BoardSummary*> removed;  // only in A
  std::vector<BoardDifference> changed;
  std::vector<ListDifference> setLists;
  bool Equal() const {
    return added.empty() && removed.empty() && changed.empty() && setLists.empty();
  }
};

// Pointers into a and b, which must outlive the result. Lists of the same
// name (letter case aside) are compared, the later one where a side holds
// two, as lookups find it.
ConfigurationDiff CompareConfigurations(const ConfigurationSummary& a,
                                        const ConfigurationSummary& b);

void PrintDiff(const ConfigurationSummary& a, const ConfigurationSummary& b,
               const ConfigurationDiff& diff, std::ostream& out);
void PrintDiffJson(const ConfigurationSummary& a, const ConfigurationSummary& b,
                   const ConfigurationDiff& diff, std::ostream& out);

// args: everything after "diff". Exit 0 equal, 1 different, 2 bad input or
// usage (the reason on err).
int RunSetFileDiff(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
