// Shared by the set file tests: a private installation root on disk, set
// files composed from lists, description table records, and a reader for
// per-board list files.
#pragma once

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "setfiles/BoardLists.h"
#include "setfiles/ConfigurationContext.h"
#include "setfiles/Crc16.h"
#include "setfiles/SetFile.h"
#include "Win32/Holders.h"  // windows.h

namespace setfile_test {

inline void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA found;
  UniqueFind find(FindFirstFileA((path + "\\*").c_str(), &found));
  for (bool more = static_cast<bool>(find); more; more = FindNextFileA(find.get(), &found)) {
    const std::string name = found.cFileName, child = path + "\\" + name;
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      RemoveTree(child);
    else
      DeleteFileA(child.c_str());
  }
  RemoveDirectoryA(path.c_str());
}

inline bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder under the temporary directory, removed with everything in
// it when the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const char* tag) {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    static int serial = 0;
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "%skorvane-%s-%lu-%d", base, tag,
                  static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
    path_ = name;
    RemoveTree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~ScratchFolder() { RemoveTree(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

inline void MakeFolder(const std::string& path) { CreateDirectoryA(path.c_str(), nullptr); }
inline void WriteFile(const std::string& path, const std::string& bytes) { WriteWholeFile(path, bytes); }
inline std::string ReadFile(const std::string& path) { return ReadWholeFile(path); }

// The folders of an installation that a set change reads (Comp, config\common
// with its brdlists and an empty protomap), and any further ones.
inline void MakeInstallationFolders(const std::string& root, const std::string& brdlists,
                                    std::initializer_list<const char*> more = {}) {
  for (const char* sub : {"Comp", "config", "config\\common"}) MakeFolder(root + "\\" + sub);
  for (const char* sub : more) MakeFolder(root + "\\" + sub);
  WriteFile(root + "\\config\\common\\brdlists", brdlists);
  WriteFile(root + "\\config\\common\\protomap", "");
}

// Comp\<name>.cfg holding the lists, with Comp\<name>.zip when an archive is
// given; returns the set file's path.
inline std::string WriteSetFile(const std::string& root, const std::string& name,
                                const std::vector<NamedList>& lists,
                                const std::string* archive = nullptr) {
  const std::string path = root + "\\Comp\\" + name + ".cfg";
  WriteFile(path, ComposeSetFile(lists));
  if (archive) WriteFile(root + "\\Comp\\" + name + ".zip", *archive);
  return path;
}

// A network description record.
inline NetworkRecord Board(const char* name, char type, unsigned char lastAddressByte = 0,
                           short link = 0, char flag = ' ') {
  NetworkRecord record;
  std::memset(&record, 0, sizeof record);
  WriteBigEndian16(record.link, static_cast<unsigned short>(link));
  std::memset(record.name, ' ', sizeof record.name);
  std::memcpy(record.name, name, strnlen(name, sizeof record.name));
  const unsigned char address[6] = {0x00, 0x40, 0x9D, 0x12, 0x34, lastAddressByte};
  std::memcpy(record.hardwareAddress, address, sizeof address);
  record.boardType = type;
  record.boardFlag = flag;
  return record;
}

// An 'X' board: its address is stored in the last four hardware bytes.
inline NetworkRecord XBoard(const char* name, unsigned char a, unsigned char b, unsigned char c,
                            unsigned char d) {
  NetworkRecord record = Board(name, 'X');
  const unsigned char address[4] = {a, b, c, d};
  std::memcpy(record.hardwareAddress + 2, address, sizeof address);
  return record;
}

inline std::string Networkd(const std::vector<NetworkRecord>& boards) {
  return std::string(reinterpret_cast<const char*>(boards.data()),
                     boards.size() * sizeof(NetworkRecord));
}

// A description table record of the given size, filled in field by field.
class Rec {
 public:
  explicit Rec(size_t size) : bytes_(size, '\0') {}
  Rec& Num(size_t offset, unsigned short value) {
    WriteBigEndian16(reinterpret_cast<unsigned char*>(&bytes_[offset]), value);
    return *this;
  }
  Rec& Byte(size_t offset, unsigned char value) {
    bytes_[offset] = static_cast<char>(value);
    return *this;
  }
  // A space-padded name field.
  Rec& Name(size_t offset, const std::string& name, size_t width = 8) {
    for (size_t i = 0; i < width; ++i) bytes_[offset + i] = i < name.size() ? name[i] : ' ';
    return *this;
  }
  operator std::string() const { return bytes_; }

 private:
  std::string bytes_;
};

inline std::string Table(const std::vector<std::string>& records) {
  std::string table;
  for (const std::string& record : records) table += record;
  return table;
}

// The lists of a per-board list file, in file order.
struct ListFileContents {
  std::vector<NamedList> lists;
  bool ended = false;
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const NamedList& list : lists) names.push_back(list.name);
    return names;
  }
  const NamedList* Find(const std::string& name) const {
    for (const NamedList& list : lists)
      if (list.name == name) return &list;
    return nullptr;
  }
  bool Has(const std::string& name) const { return Find(name) != nullptr; }
  std::string Data(const std::string& name) const { return Find(name) ? Find(name)->data : "<absent>"; }
};

inline ListFileContents ParseListFile(const std::string& bytes) {
  ListFileContents contents;
  size_t at = 0;
  while (at + kListDefSize <= bytes.size()) {
    LIST_DEF entry;
    std::memcpy(&entry, bytes.data() + at, sizeof entry);
    at += kListDefSize;
    if (entry.name[0] == 0) {
      contents.ended = ListLength(entry) == 0xFFFFFFFFul && at == bytes.size();
      break;
    }
    const size_t length = ListLength(entry);
    if (at + length > bytes.size()) break;
    contents.lists.push_back(NamedList{ListName(entry), bytes.substr(at, length)});
    at += length + (length & 1);
  }
  return contents;
}

// An installation root with "Comp", "active" and "config\common" folders,
// and a context on it.
class Installation {
 public:
  explicit Installation(const char* tag, unsigned long baseIp = 0x0A000001,
                        unsigned short port = 0x1234)
      : folder_(tag), context(folder_.path(), baseIp, port) {
    MakeInstallationFolders(folder_.path(), "");
    // Warnings are recorded, not shown in a box that waits for OK.
    context.warningShower = [this](const char* text) { warnings.push_back(text); };
  }

  std::string Root() const { return folder_.path(); }
  std::string Path(const std::string& relative) const { return folder_ / relative; }
  std::string CompletePath() const { return folder_ / "active\\complete.cfg"; }
  void SetBrdlists(const std::string& text) { WriteFile(folder_ / "config\\common\\brdlists", text); }
  void SetProtomap(const std::string& text) { WriteFile(folder_ / "config\\common\\protomap", text); }
  std::string WriteSet(const std::vector<NamedList>& lists, const char* name = "test") {
    return WriteSetFile(folder_.path(), name, lists);
  }

  // Validates the set and loads the protomap, as a set change does before
  // its board loop.
  void Activate(const std::vector<NamedList>& lists) {
    context.CheckConfiguration(WriteSet(lists).c_str());
    context.LoadProtomap();
  }

  // Runs one copier for the board into a fresh list file and returns what
  // the file holds (IP and COMMPORT first, as a set change writes them).
  template <class Copier>
  ListFileContents RunCopier(Copier copier, unsigned short board, bool* result = nullptr) {
    const std::string path = folder_ / "active\\board.cfg";
    context.BeginListFile(path.c_str());
    const bool copied = copier(context, board, context.networkTable.As<NetworkRecord>(),
                               context.networkTable.count);
    if (result) *result = copied;
    context.FinishListFile();
    return ParseListFile(ReadFile(path));
  }

  ListFileContents WriteBoard(unsigned short board) {
    const std::string path = folder_ / "active\\board.cfg";
    WriteBoardListFile(context, board, path.c_str());
    return ParseListFile(ReadFile(path));
  }

 private:
  ScratchFolder folder_;

 public:
  ConfigurationContext context;
  std::vector<std::string> warnings;
};

// What a call raised, or "<nothing raised>".
template <class Body>
std::string RaisedBy(Body body) {
  try { body(); } catch (char* text) { return text; }
  return "<nothing raised>";
}

}  // namespace setfile_test
