#include "setfiles/Crc16.h"

#include <array>

namespace {

constexpr std::array<unsigned short, 256> MakeTable() {
  std::array<unsigned short, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    unsigned short crc = static_cast<unsigned short>(value);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<unsigned short>((crc >> 1) ^ 0xA001)
                      : static_cast<unsigned short>(crc >> 1);
    table[value] = crc;
  }
  return table;
}

constexpr std::array<unsigned short, 256> kTable = MakeTable();

}  // namespace

unsigned short Crc16Step(unsigned short crc, unsigned char byte) {
  return static_cast<unsigned short>(kTable[(byte ^ crc) & 0xFF] ^ (crc >> 8));
}

unsigned short Crc16Update(unsigned short crc, const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) crc = Crc16Step(crc, bytes[i]);
  return crc;
}
