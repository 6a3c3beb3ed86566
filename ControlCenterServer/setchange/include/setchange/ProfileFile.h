// A sectioned key=value text file of the kind the system keeps its small
// records in: "korvane.ini" (the code CRC cache) and "active.ini" (the
// active boards, read by the bootp server).
//
//   [SECTION]
//   key=value
//
// We read and write these ourselves rather than through the platform's
// profile calls: those cache files by name, and a set change moves
// active.ini away and writes a new one under the same name within the same
// second, which such a cache may not notice. Lines we do not understand
// (comments, other sections) are kept as they are.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class ProfileFile {
 public:
  // The longest value Get hands out, as the system's readers take them.
  static constexpr size_t kMaxValueLength = 127;

  // Reads the file when it exists; a missing file is an empty profile.
  explicit ProfileFile(std::string path);

  const std::string& Path() const { return path_; }

  // The value of key in section (both without regard to letter case, spaces
  // around them ignored), at most kMaxValueLength characters; empty when
  // absent.
  std::string Get(const std::string& section, const std::string& key) const;
  // Replaces the key's value, or adds the key at the end of its section,
  // or the section at the end of the file. Only in memory until Save.
  // Setting many keys costs time in proportion to their number (active.ini
  // gets one key per board): the sections and keys are indexed.
  void Set(const std::string& section, const std::string& key, const std::string& value);
  // Writes the whole file (CR LF line ends). Raises "Could not write <path>".
  void Save() const;

  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  // Index of the section's header line, or npos.
  size_t FindSection(const std::string& section) const;
  // Index of the key's line within the section starting after header, or
  // npos; end receives the index one past the section's last line.
  size_t FindKey(size_t header, const std::string& key, size_t* end) const;

  // Fills the index from the lines.
  void BuildIndex();
  // Takes the line just appended at the end of the last section into the
  // index, or drops the index when the line starts a section itself.
  void IndexAppendedLine();

  std::string path_;
  std::vector<std::string> lines_;

  // What FindSection and FindKey would find, by lower-case name: each
  // section's first header line, and within the section of each such header
  // each key's first line. Valid while indexed_.
  bool indexed_ = false;
  std::unordered_map<std::string, size_t> sections_;
  std::map<std::pair<size_t, std::string>, size_t> keys_;
  size_t lastHeader_ = 0;     // the last header line of the file, when hasHeader_
  bool hasHeader_ = false;
};
