// The configuration set file format, shared by complete.cfg and (without the
// header) by the per-board list files:
//
//   "CNFG", CRC-16/MODBUS little-endian over everything from offset 6 up to
//   and including the end-of-directory entry, then list records: an 18-byte
//   LIST_DEF (14-byte NUL-padded name, big-endian 32-bit length), the data,
//   one 0xFF pad byte after odd-length data. The directory ends with a
//   LIST_DEF whose first name byte is 0.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kSetHeaderSize = 6;
constexpr size_t kListNameSize = 14;
constexpr size_t kListDefSize = 18;
constexpr size_t kNetworkRecordSize = 18;
// Names this system writes are at most 12 characters; the field holds 13 and
// a NUL.
constexpr size_t kMaxWrittenListName = 12;
constexpr unsigned char kPadByte = 0xFF;
extern const char kSetMagic[4];  // "CNFG", no NUL

struct LIST_DEF {
  char name[kListNameSize];
  unsigned char length[4];  // big-endian
};
static_assert(sizeof(LIST_DEF) == kListDefSize, "LIST_DEF is the 18-byte directory entry");

// One board of the network description table ("networkd"). A board's number
// is its index in that table.
struct NetworkRecord {
  unsigned char link[2];  // signed, big-endian like every number in a set
  char name[8];           // space-padded, not necessarily NUL-terminated
  unsigned char hardwareAddress[6];
  char boardType;         // selects the board's lists; 'X': no list file
  char boardFlag;         // 'R': the board's name gets an "R"
};
static_assert(sizeof(NetworkRecord) == kNetworkRecordSize, "NetworkRecord is 18 bytes");

unsigned long ReadBigEndian32(const unsigned char* bytes);
unsigned short ReadBigEndian16(const unsigned char* bytes);
void WriteBigEndian32(unsigned char* bytes, unsigned long value);
void WriteBigEndian16(unsigned char* bytes, unsigned short value);

unsigned long ListLength(const LIST_DEF& entry);
// The entry's name: up to 14 characters, ending at the first NUL.
std::string ListName(const LIST_DEF& entry);
// An entry with the name (at most 13 characters kept) and the length; a
// length of -1 gives 0xFFFFFFFF.
LIST_DEF MakeListDef(const char* name, long long length);

short NetworkLink(const NetworkRecord& record);
// The 8 name bytes, up to the first NUL (spaces kept).
std::string NetworkName(const NetworkRecord& record);
// The board's IPv4 address as stored for an 'X' board (bytes 12..15 of the
// record, network order) in dotted form.
std::string StoredAddress(const NetworkRecord& record);

// ASCII comparison without regard to letter case, as list lookups use.
bool SameListName(const std::string& a, const std::string& b);
// The name with the letters SameListName ignores the case of in lower case:
// two names are the same list name exactly when these are equal.
std::string LowerCaseListName(std::string name);

// --- Whole set files, for the set file tool and the tests ---

struct NamedList {
  std::string name;
  std::string data;
};

// The bytes of a set file holding the lists in this order, with a correct
// CRC. A name that is empty or longer than 13 characters raises.
std::string ComposeSetFile(const std::vector<NamedList>& lists);

struct SetFileEntry {
  std::string name;
  unsigned long length = 0;
  unsigned long long offset = 0;  // absolute offset of the first data byte
};

// What a set file's bytes say about themselves. When the layout is broken
// (no magic, a list that runs past the end, no end-of-directory entry)
// problem says what and where, and entries holds the lists before it.
struct SetFileLayout {
  std::vector<SetFileEntry> entries;
  unsigned short storedCrc = 0;
  unsigned short computedCrc = 0;
  bool endFound = false;
  std::string problem;

  bool CrcHolds() const { return problem.empty() && storedCrc == computedCrc; }
};

SetFileLayout ParseSetFile(const std::string& bytes);
// The same for a per-board list file, which has no header: computedCrc is
// the CRC of the whole file (the one the board records hold), and storedCrc
// is set equal to it.
SetFileLayout ParseListFileLayout(const std::string& bytes);

// Reads or writes a whole file as bytes; raises a clear text on failure.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
