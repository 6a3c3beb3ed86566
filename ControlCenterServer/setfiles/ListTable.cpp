#include "setfiles/ListTable.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "setfiles/ConfigurationContext.h"
#include "setfiles/Crc16.h"
#include "Win32/ErrorText.h"

namespace {

// Lists are copied into a per-board file through a fixed buffer, in pieces
// large enough that the C library reads them straight from the file.
constexpr size_t kListCopyChunk = 64 * 1024;

// How CopyList finds a list: the names in the tables are fixed-width fields
// and file-name-like, so only 12 characters count, a stem of more than 8
// characters is cut to 8, and surrounding spaces are dropped.
std::string NormaliseListName(const char* name) {
  std::string normal(name, strnlen(name, kMaxWrittenListName));
  const size_t dot = normal.find('.');
  const size_t stem = dot == std::string::npos ? normal.size() : dot;
  if (stem > 8) normal.resize(8);
  const size_t first = normal.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  normal.erase(0, first);
  normal.erase(normal.find_last_not_of(' ') + 1);
  return normal;
}

}  // namespace

void ListDirectory::Add(const LIST_DEF& entry, unsigned long long offset) {
  nodes_.push_back(ListNode{entry, offset});
  index_[LowerCaseListName(ListName(entry))] = nodes_.size() - 1;
}

void ListDirectory::AddName(const char* name) { Add(MakeListDef(name, 0), 0); }

bool ListDirectory::FindListOffset(const char* name, unsigned long long* offset,
                                   LIST_DEF* entry) const {
  const auto found = index_.find(LowerCaseListName(name ? name : ""));
  if (found == index_.end()) return false;
  const ListNode& node = nodes_[found->second];
  if (offset) *offset = node.offset;
  if (entry) *entry = node.entry;
  return true;
}

ListTable::~ListTable() { FreeTable(*this); }

ListTable::ListTable(ListTable&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      handle(std::exchange(other.handle, nullptr)),
      count(std::exchange(other.count, 0)),
      recordSize(std::exchange(other.recordSize, 0)) {}

ListTable& ListTable::operator=(ListTable&& other) noexcept {
  if (this != &other) {
    FreeTable(*this);
    data = std::exchange(other.data, nullptr);
    handle = std::exchange(other.handle, nullptr);
    count = std::exchange(other.count, 0);
    recordSize = std::exchange(other.recordSize, 0);
  }
  return *this;
}

const unsigned char* ListTable::Record(size_t index) const {
  KORVANE_ASSERT(data && index < count, "A list record past the end of its table was asked for");
  return static_cast<const unsigned char*>(data) + index * recordSize;
}

void FreeTable(ListTable& table) {
  if (!table.handle) return;
  if (table.data) {
    GlobalUnlock(table.handle);
    table.data = nullptr;
  }
  GlobalFree(table.handle);
  table.handle = nullptr;
}

size_t ConfigurationContext::CrcRead(void* buffer, size_t itemSize, size_t count) {
  KORVANE_ASSERT(sourceFile, "No list source is open");
  if (itemSize == 0 || count == 0) return 0;
  // Byte-wise, so that a partial last item is folded in as well.
  const size_t got = std::fread(buffer, 1, itemSize * count, sourceFile.get());
  listCrc = Crc16Update(listCrc, buffer, got);
  return got / itemSize;
}

size_t ConfigurationContext::CrcWrite(const void* buffer, size_t itemSize, size_t count) {
  KORVANE_ASSERT(targetFile, "No list file is open for writing");
  if (itemSize == 0 || count == 0) return 0;
  const size_t put = std::fwrite(buffer, 1, itemSize * count, targetFile.get());
  listCrc = Crc16Update(listCrc, buffer, put);
  return put / itemSize;
}

bool ConfigurationContext::StreamCrc(FILE* file, unsigned long long byteCount) {
  KORVANE_ASSERT_ARG(file);
  unsigned char buffer[4096];
  while (byteCount > 0) {
    const size_t want = static_cast<size_t>(std::min<unsigned long long>(byteCount, sizeof buffer));
    const size_t got = std::fread(buffer, 1, want, file);
    listCrc = Crc16Update(listCrc, buffer, got);
    if (got != want) return false;
    byteCount -= got;
  }
  return true;
}

long long ConfigurationContext::CompositeFind(const char* name, bool required) {
  KORVANE_ASSERT_ARG(name);
  unsigned long long offset = 0;
  LIST_DEF entry;
  if (!listDirectory.FindListOffset(name, &offset, &entry)) {
    if (required) RaiseFormatted("Could not find list %s", name);
    return -1;
  }
  if (!sourceFile || _fseeki64(sourceFile.get(), static_cast<long long>(offset), SEEK_SET) != 0)
    RaiseFormatted("Error seeking to list %s in ControlCenterComponent::CompositeFind", name);
  return static_cast<long long>(ListLength(entry));
}

ListTable ConfigurationContext::LoadTable(const char* name, size_t recordSize, bool required) {
  KORVANE_ASSERT(recordSize > 0, "A list table needs a record size");
  ListTable table;
  const long long length = CompositeFind(name, required);
  if (length < 0) return table;
  const unsigned short count = static_cast<unsigned short>(static_cast<unsigned long long>(length) / recordSize);
  if (count == 0) return table;

  table.handle = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(length));
  if (!table.handle)
    RaiseFormatted("Could not allocate memory for list %s in ControlCenterComponent::LoadTable.", name);
  table.data = GlobalLock(table.handle);
  if (!table.data) {
    FreeTable(table);
    RaiseFormatted("Could not lock memory for list %s in ControlCenterComponent::LoadTable.", name);
  }
  if (std::fread(table.data, recordSize, count, sourceFile.get()) != count) {
    FreeTable(table);
    RaiseFormatted("Error loading list %s in ControlCenterComponent::LoadTable", name);
  }
  table.count = count;
  table.recordSize = recordSize;
  return table;
}

bool ConfigurationContext::WriteListDef(const char* name, long long length) {
  LIST_DEF entry = MakeListDef(name, length);
  if (CrcWrite(&entry, sizeof entry, 1) != 1)
    RaiseFormatted("Error writing LIST_DEF for list %s", name ? name : "");
  return true;
}

bool ConfigurationContext::CopyList(const char* name, bool required, const char* outputName) {
  KORVANE_ASSERT_ARG(name);
  const std::string normal = NormaliseListName(name);
  const long long length = CompositeFind(normal.c_str(), required);
  if (length < 0) return false;

  const std::string key = outputName ? std::string(outputName) : normal;
  if (writtenLists.FindListOffset(key.c_str(), nullptr, nullptr)) return true;
  WriteListDef(key.c_str(), length);

  std::vector<unsigned char>& buffer = copyBuffer_;
  if (buffer.size() < kListCopyChunk) buffer.resize(kListCopyChunk);
  for (unsigned long long left = static_cast<unsigned long long>(length); left > 0;) {
    const size_t want = static_cast<size_t>(std::min<unsigned long long>(left, kListCopyChunk));
    if (std::fread(buffer.data(), 1, want, sourceFile.get()) != want)
      RaiseFormatted("Unexpected EOF copying list %s in ControlCenterComponent::CopyList",
                     normal.c_str());
    if (CrcWrite(buffer.data(), 1, want) != want)
      RaiseFormatted("Error writing list file %s in ControlCenterComponent::CopyList", normal.c_str());
    left -= want;
  }
  if (length & 1) {
    if (CrcWrite(&kPadByte, 1, 1) != 1)
      RaiseFormatted("Error writing list file %s in ControlCenterComponent::CopyList", normal.c_str());
  }
  writtenLists.AddName(key.c_str());
  return true;
}
