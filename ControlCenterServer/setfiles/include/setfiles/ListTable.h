// The lists of a configuration set, reached by name: the directory of the
// open source file, the lists already written into a per-board file, and
// whole lists loaded as arrays of fixed-size records.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "setfiles/SetFile.h"

struct ListNode {
  LIST_DEF entry;
  unsigned long long offset;  // absolute offset of the list's first data byte
};

// Lookups find the most recently added node, so a later list shadows an
// earlier one of the same name (the generated "IP" and "COMMPORT" lists
// shadow any the set carries). A set change looks up tens of names per board
// in a directory of thousands of lists, so the names are indexed (in lower
// case) as they are added.
class ListDirectory {
 public:
  void Add(const LIST_DEF& entry, unsigned long long offset);
  // A name only (length and offset 0): the written-lists bookkeeping.
  void AddName(const char* name);
  // FindListOffset: the newest node whose name equals name without regard
  // to letter case; false when there is none.
  bool FindListOffset(const char* name, unsigned long long* offset, LIST_DEF* entry) const;
  void Clear() {
    nodes_.clear();
    index_.clear();
  }
  bool Empty() const { return nodes_.empty(); }
  size_t Size() const { return nodes_.size(); }
  // Oldest first.
  const std::vector<ListNode>& Nodes() const { return nodes_; }

 private:
  std::vector<ListNode> nodes_;
  // Lower-case name -> the newest node of that name.
  std::unordered_map<std::string, size_t> index_;
};

// A whole list in one movable global block, as an array of records. Empty:
// null pointer, null handle, count 0. It owns the block: FreeTable releases
// it early, the destructor at the latest.
class ListTable {
 public:
  ListTable() = default;
  ~ListTable();
  ListTable(ListTable&& other) noexcept;
  ListTable& operator=(ListTable&& other) noexcept;
  ListTable(const ListTable&) = delete;
  ListTable& operator=(const ListTable&) = delete;

  // Record index; raises an assertion failure past the end.
  const unsigned char* Record(size_t index) const;
  template <class T>
  const T* As() const { return static_cast<const T*>(data); }

  void* data = nullptr;
  HGLOBAL handle = nullptr;
  unsigned short count = 0;
  size_t recordSize = 0;
};

// Releases the block in place. The count is left as it was.
void FreeTable(ListTable& table);
