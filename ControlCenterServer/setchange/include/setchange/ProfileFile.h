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

#include <string>
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

  std::string path_;
  std::vector<std::string> lines_;
};
