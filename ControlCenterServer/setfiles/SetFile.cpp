#include "setfiles/SetFile.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "setfiles/ConfigurationContext.h"
#include "setfiles/Crc16.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

const char kSetMagic[4] = {'C', 'N', 'F', 'G'};

namespace {

// Set data is copied through a fixed buffer, never held whole; pieces this
// large go between the file and the buffer without the C library's own.
constexpr size_t kCopyChunk = 256 * 1024;

}  // namespace

unsigned long ReadBigEndian32(const unsigned char* bytes) {
  return (static_cast<unsigned long>(bytes[0]) << 24) | (static_cast<unsigned long>(bytes[1]) << 16) |
         (static_cast<unsigned long>(bytes[2]) << 8) | bytes[3];
}

unsigned short ReadBigEndian16(const unsigned char* bytes) {
  return static_cast<unsigned short>((bytes[0] << 8) | bytes[1]);
}

void WriteBigEndian32(unsigned char* bytes, unsigned long value) {
  bytes[0] = static_cast<unsigned char>(value >> 24);
  bytes[1] = static_cast<unsigned char>(value >> 16);
  bytes[2] = static_cast<unsigned char>(value >> 8);
  bytes[3] = static_cast<unsigned char>(value);
}

void WriteBigEndian16(unsigned char* bytes, unsigned short value) {
  bytes[0] = static_cast<unsigned char>(value >> 8);
  bytes[1] = static_cast<unsigned char>(value);
}

unsigned long ListLength(const LIST_DEF& entry) { return ReadBigEndian32(entry.length); }

std::string ListName(const LIST_DEF& entry) {
  return std::string(entry.name, strnlen(entry.name, kListNameSize));
}

LIST_DEF MakeListDef(const char* name, long long length) {
  LIST_DEF entry;
  std::memset(&entry, 0, sizeof entry);
  if (name) std::memcpy(entry.name, name, strnlen(name, kListNameSize - 1));
  WriteBigEndian32(entry.length, static_cast<unsigned long>(length));
  return entry;
}

short NetworkLink(const NetworkRecord& record) {
  return static_cast<short>(ReadBigEndian16(record.link));
}

std::string NetworkName(const NetworkRecord& record) {
  return std::string(record.name, strnlen(record.name, sizeof record.name));
}

std::string StoredAddress(const NetworkRecord& record) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", record.hardwareAddress[2],
                record.hardwareAddress[3], record.hardwareAddress[4], record.hardwareAddress[5]);
  return text;
}

bool SameListName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string LowerCaseListName(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string ComposeSetFile(const std::vector<NamedList>& lists) {
  std::string body;
  for (const NamedList& list : lists) {
    if (list.name.empty() || list.name.size() > kListNameSize - 1 ||
        list.name.find('\0') != std::string::npos)
      RaiseFormatted("The list name \"%s\" is not 1 to %d characters long.", list.name.c_str(),
                     static_cast<int>(kListNameSize - 1));
    if (list.data.size() > 0xFFFFFFFEull)
      RaiseFormatted("The list %s is too long for a configuration set.", list.name.c_str());
    LIST_DEF entry = MakeListDef(list.name.c_str(), static_cast<long long>(list.data.size()));
    body.append(reinterpret_cast<const char*>(&entry), sizeof entry);
    body += list.data;
    if (list.data.size() & 1) body += static_cast<char>(kPadByte);
  }
  LIST_DEF end = MakeListDef("", -1);
  body.append(reinterpret_cast<const char*>(&end), sizeof end);
  unsigned short crc = Crc16Update(kCrc16Start, body.data(), body.size());
  std::string file(kSetMagic, sizeof kSetMagic);
  file += static_cast<char>(crc & 0xFF);
  file += static_cast<char>(crc >> 8);
  return file + body;
}

namespace {

// Walks the list records from offset up to the end-of-directory entry into
// layout; the CRC is computed over the bytes from crcFrom to the end entry
// inclusive.
void WalkDirectory(const std::string& bytes, unsigned long long offset, SetFileLayout& layout) {
  const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned long long size = bytes.size();
  const unsigned long long start = offset;
  char text[200];
  while (true) {
    if (size - offset < kListDefSize) {
      std::snprintf(text, sizeof text,
                    "The directory ends at offset %llu without an end-of-directory entry.", offset);
      layout.problem = text;
      return;
    }
    LIST_DEF entry;
    std::memcpy(&entry, data + offset, sizeof entry);
    if (entry.name[0] == 0) {
      offset += kListDefSize;
      break;
    }
    SetFileEntry list;
    list.name = ListName(entry);
    list.length = ListLength(entry);
    list.offset = offset + kListDefSize;
    unsigned long long stored = list.length + (list.length & 1ull);
    if (size - list.offset < stored) {
      std::snprintf(text, sizeof text,
                    "The list %s at offset %llu says it holds %lu bytes, past the end of the file.",
                    list.name.c_str(), list.offset, list.length);
      layout.problem = text;
      return;
    }
    layout.entries.push_back(list);
    offset = list.offset + stored;
  }
  layout.endFound = true;
  layout.computedCrc = Crc16Update(kCrc16Start, data + start, static_cast<size_t>(offset - start));
}

}  // namespace

SetFileLayout ParseSetFile(const std::string& bytes) {
  SetFileLayout layout;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < kSetHeaderSize) {
    layout.problem = "The file is shorter than the 6-byte header.";
    return layout;
  }
  if (std::memcmp(data, kSetMagic, sizeof kSetMagic) != 0) {
    layout.problem = "The file does not begin with \"CNFG\".";
    return layout;
  }
  layout.storedCrc = static_cast<unsigned short>(data[4] | (data[5] << 8));
  WalkDirectory(bytes, kSetHeaderSize, layout);
  return layout;
}

SetFileLayout ParseListFileLayout(const std::string& bytes) {
  SetFileLayout layout;
  WalkDirectory(bytes, 0, layout);
  // A list file carries no CRC of its own: it is known from outside.
  layout.storedCrc = layout.computedCrc;
  return layout;
}

std::string ReadWholeFile(const std::string& path) {
  UniqueFile file(std::fopen(path.c_str(), "rb"));
  if (!file) RaiseFormatted("Could not open %s for reading.", path.c_str());
  std::string bytes;
  std::vector<char> buffer(kCopyChunk);
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
    bytes.append(buffer.data(), got);
  if (std::ferror(file.get())) RaiseFormatted("Error reading %s.", path.c_str());
  return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  UniqueFile file(std::fopen(path.c_str(), "wb"));
  if (!file) RaiseFormatted("Could not create %s.", path.c_str());
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  written = std::fclose(file.release()) == 0 && written;
  if (!written) {
    DeleteFileA(path.c_str());
    RaiseFormatted("Error writing %s.", path.c_str());
  }
}

bool ConfigurationContext::CheckConfiguration(const char* setPath) {
  KORVANE_ASSERT_ARG(setPath);
  ForgetTables();
  listDirectory.Clear();
  FreeTable(networkTable);
  networkTable.count = 0;
  sourceFile.reset();

  std::string completePath;
  UniqueFile complete;
  try {
    sourceFile.reset(std::fopen(setPath, "rb"));
    if (!sourceFile)
      RaiseFormatted("Could not open %s in ControlCenterComponent::CheckConfiguration().", setPath);
    std::setvbuf(sourceFile.get(), nullptr, _IOFBF, kCopyChunk);
    unsigned char header[kSetHeaderSize];
    if (std::fread(header, 1, sizeof header, sourceFile.get()) != sizeof header)
      RaiseFormatted("Error reading %s in ControlCenterComponent::CheckConfiguration().", setPath);
    if (std::memcmp(header, kSetMagic, sizeof kSetMagic) != 0)
      RaiseFormatted("%s is not a valid configuration set.", setPath);

    std::string active = ActiveDirectory();
    active.pop_back();
    if (GetFileAttributesA(active.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryA(active.c_str(), nullptr))
      RaiseFormatted("Could not create the ACTIVE directory.");

    completePath = active + "\\complete.cfg";
    complete.reset(std::fopen(completePath.c_str(), "w+b"));
    if (!complete)
      RaiseFormatted("Could not open %s in ControlCenterComponent::CheckConfiguration().",
                     completePath.c_str());
    // Thousands of 18-byte directory entries go between the lists' data.
    std::setvbuf(complete.get(), nullptr, _IOFBF, kCopyChunk);
    if (std::fwrite(header, 1, sizeof header, complete.get()) != sizeof header)
      RaiseFormatted("Error writing complete.cfg");

    listCrc = kCrc16Start;
    unsigned long long offset = kSetHeaderSize;
    unsigned short crcBeforeEnd = listCrc;
    unsigned long long endOffset = offset;
    std::vector<unsigned char> chunk(kCopyChunk);
    for (;;) {
      crcBeforeEnd = listCrc;
      endOffset = offset;
      LIST_DEF entry;
      if (CrcRead(&entry, sizeof entry, 1) != 1)
        RaiseFormatted("Error reading %s in ControlCenterComponent::CheckConfiguration().", setPath);
      if (entry.name[0] == 0) break;
      if (std::fwrite(&entry, sizeof entry, 1, complete.get()) != 1)
        RaiseFormatted("Error writing complete.cfg");
      offset += kListDefSize;
      listDirectory.Add(entry, offset);
      // 64-bit: a length near 0xFFFFFFFF must not wrap when rounded up.
      const unsigned long long stored = ListLength(entry) + (ListLength(entry) & 1ull);
      for (unsigned long long left = stored; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<unsigned long long>(left, kCopyChunk));
        const size_t got = CrcRead(chunk.data(), 1, want);
        if (got != want || std::fwrite(chunk.data(), 1, got, complete.get()) != got)
          RaiseFormatted("Error reading %s in ControlCenterComponent::CheckConfiguration().",
                         setPath);
        left -= want;
      }
      offset += stored;
    }

    const unsigned short storedCrc = static_cast<unsigned short>(header[4] | (header[5] << 8));
    if (listCrc != storedCrc) RaiseFormatted("CRC failed for %s", setPath);

    networkTable = LoadTable("networkd", kNetworkRecordSize, true);
    if (networkTable.count == 0)
      RaiseFormatted("The network description table was missing or empty.  Can't create the set.");

    // complete.cfg does not hold the set's end entry: its CRC continues from
    // just before it.
    listCrc = crcBeforeEnd;
    auto append = [&](const void* data, size_t size) {
      if (std::fwrite(data, 1, size, complete.get()) != size)
        RaiseFormatted("Error writing complete.cfg.");
      listCrc = Crc16Update(listCrc, data, size);
    };

    const unsigned short boards = networkTable.count;
    LIST_DEF ipEntry = MakeListDef("IP", 4ll * boards);
    append(&ipEntry, sizeof ipEntry);
    listDirectory.Add(ipEntry, endOffset + kListDefSize);
    unsigned long nextAddress = baseIpAddress_;
    const NetworkRecord* records = networkTable.As<NetworkRecord>();
    for (unsigned short i = 0; i < boards; ++i) {
      unsigned char address[4];
      if (records[i].boardType == 'X') {
        std::memcpy(address, records[i].hardwareAddress + 2, sizeof address);
      } else {
        WriteBigEndian32(address, nextAddress++);
      }
      append(address, sizeof address);
    }
    const unsigned long long commOffset = endOffset + kListDefSize + 4ull * boards;
    LIST_DEF commEntry = MakeListDef("COMMPORT", 6);
    append(&commEntry, sizeof commEntry);
    listDirectory.Add(commEntry, commOffset + kListDefSize);
    unsigned char comm[6] = {'C', 'O', 'M', 'M', 0, 0};
    WriteBigEndian16(comm + 4, communicationPort_);
    append(comm, sizeof comm);
    LIST_DEF endEntry = MakeListDef("", -1);
    append(&endEntry, sizeof endEntry);

    header[4] = static_cast<unsigned char>(listCrc & 0xFF);
    header[5] = static_cast<unsigned char>(listCrc >> 8);
    if (_fseeki64(complete.get(), 0, SEEK_SET) != 0 ||
        std::fwrite(header, 1, sizeof header, complete.get()) != sizeof header ||
        std::fflush(complete.get()) != 0)
      RaiseFormatted("Error writing complete.cfg.");
    if (std::fclose(complete.release()) != 0) {
      DeleteFileA(completePath.c_str());
      RaiseFormatted("Error writing complete.cfg.");
    }
    sourceFile.reset();

    sourceFile.reset(std::fopen(completePath.c_str(), "rb"));
    if (!sourceFile)
      RaiseFormatted("Could not open %s in ControlCenterComponent::CheckConfiguration().",
                     completePath.c_str());
    return true;
  } catch (...) {
    if (complete) {
      complete.reset();
      DeleteFileA(completePath.c_str());
    }
    sourceFile.reset();
    throw;
  }
}
