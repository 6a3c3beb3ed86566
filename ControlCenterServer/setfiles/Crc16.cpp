#include "setfiles/Crc16.h"

#include <array>

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
    // The CRC's two bytes fold into the first two of the eight.
    const unsigned first = (bytes[0] | (bytes[1] << 8)) ^ crc;
    crc = static_cast<unsigned short>(kSlices[7][first & 0xFF] ^ kSlices[6][first >> 8] ^
                                      kSlices[5][bytes[2]] ^ kSlices[4][bytes[3]] ^
                                      kSlices[3][bytes[4]] ^ kSlices[2][bytes[5]] ^
                                      kSlices[1][bytes[6]] ^ kSlices[0][bytes[7]]);
  }
  for (size_t i = 0; i < size; ++i) crc = Crc16Step(crc, bytes[i]);
  return crc;
}
