// The two text files of the common configuration directory that decide
// which lists a board gets besides those its set's tables name:
//   "brdlists": "<list> <required> <type letters>" per line;
//   "protomap": "<protocol> <replacement> <type letter> <list>" per line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

constexpr size_t kMaxDescriptionLine = 255;

enum class TextLine {
  Line,          // a complete line (its line end removed)
  Unterminated,  // the file's last line has no line end: it is not used
  End,           // nothing more
  TooLong,       // more than kMaxDescriptionLine characters before the line end
};

// Reads one line of a description file opened for text reading.
TextLine ReadDescriptionLine(FILE* file, std::string& line);

struct BrdlistsEntry {
  std::string listName;
  bool required = false;
  std::string boardTypes;

  bool AppliesTo(char boardType) const;
};

// Hands out the used lines of "brdlists" one at a time, so that a copier
// stops at the first list it cannot copy before later lines matter. The
// used lines run up to the end of the file or the first line shorter than
// 12 characters. A used line without its three fields, with a required flag
// that is not a decimal number, or longer than 255 characters raises a text
// naming the line.
class BrdlistsReader {
 public:
  explicit BrdlistsReader(FILE* file) : file_(file) {}
  // False once the used lines are over.
  bool Next(BrdlistsEntry& entry);

 private:
  FILE* file_;
  int lineNumber_ = 0;
  bool ended_ = false;
};

// The whole of "brdlists" as BrdlistsReader hands it out, read at once so
// that a set change reads the file once rather than once per board. The
// reader's failures are kept, not raised: whoever replays the lines raises
// them where the reader would have, once every entry before the bad line was
// used.
struct BrdlistsLines {
  bool opened = false;                 // false: the file could not be opened
  std::vector<BrdlistsEntry> entries;  // the used lines before any bad one
  bool broken = false;                 // a bad line ended them
  std::string problem;                 // what the reader raised for it
};

// Reads the file at path; never raises.
BrdlistsLines ReadBrdlistsLines(const std::string& path);

struct ProtomapRecord {
  unsigned char protocol = 0;
  unsigned char replacement = 0;
  char boardType = 0;
  char listName[9] = {};

  bool Matches(unsigned char protocolId, char type) const {
    return protocol == protocolId && boardType == type;
  }
};

// One "protomap" line (no line end, neither empty nor a '#' comment) into a
// record; raises a text naming lineNumber when the line is malformed.
ProtomapRecord ParseProtomapLine(const std::string& line, int lineNumber);

// Reads "protomap": lines starting with '#' are skipped, the first empty
// line ends it.
std::vector<ProtomapRecord> ReadProtomap(FILE* file);

// The first record in file order that matches, or null.
const ProtomapRecord* FindProtomapRecord(const std::vector<ProtomapRecord>& records,
                                         unsigned char protocolId, char boardType);
