#include "setfiles/Crc16.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

using Table = std::array<unsigned short, 256>;

constexpr Table MakeTable() {
  Table table{};
  for (unsigned value = 0; value < 256; ++value) {
    unsigned short crc = static_cast<unsigned short>(value);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<unsigned short>((crc >> 1) ^ 0xA001)
                      : static_cast<unsigned short>(crc >> 1);
    table[value] = crc;
  }
  return table;
}

// kSlices[k][b]: the CRC of byte b followed by k zero bytes, so that eight
// bytes fold in with eight independent look-ups.
constexpr std::array<Table, 8> MakeSlices() {
  std::array<Table, 8> slices{};
  slices[0] = MakeTable();
  for (size_t k = 1; k < 8; ++k)
    for (unsigned value = 0; value < 256; ++value) {
      const unsigned short previous = slices[k - 1][value];
      slices[k][value] = static_cast<unsigned short>((previous >> 8) ^ slices[0][previous & 0xFF]);
    }
  return slices;
}

constexpr std::array<Table, 8> kSlices = MakeSlices();
constexpr const Table& kTable = kSlices[0];

}  // namespace

unsigned short Crc16Step(unsigned short crc, unsigned char byte) {
  return static_cast<unsigned short>(kTable[(byte ^ crc) & 0xFF] ^ (crc >> 8));
}

unsigned short Crc16UpdateBytewise(unsigned short crc, const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) crc = Crc16Step(crc, bytes[i]);
  return crc;
}

unsigned short Crc16Update(unsigned short crc, const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (; size >= 8; size -= 8, bytes += 8) {
    // The word holds the bytes in file order from its low end (x86 is
    // little-endian); the CRC's two bytes fold into the first two.
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    word ^= crc;
    crc = static_cast<unsigned short>(
        kSlices[7][word & 0xFF] ^ kSlices[6][(word >> 8) & 0xFF] ^ kSlices[5][(word >> 16) & 0xFF] ^
        kSlices[4][(word >> 24) & 0xFF] ^ kSlices[3][(word >> 32) & 0xFF] ^
        kSlices[2][(word >> 40) & 0xFF] ^ kSlices[1][(word >> 48) & 0xFF] ^ kSlices[0][word >> 56]);
  }
  for (size_t i = 0; i < size; ++i) crc = Crc16Step(crc, bytes[i]);
  return crc;
}
