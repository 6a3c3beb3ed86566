// The hexadecimal texts the system shows and records: a board's hardware
// address as twelve upper-case digits, a CRC-16 (or any 16-bit number) as
// four.
#pragma once

#include <cstdio>
#include <string>

inline std::string HardwareAddressText(const unsigned char* address) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", address[0], address[1], address[2],
                address[3], address[4], address[5]);
  return text;
}

inline std::string Hex4Text(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
  return text;
}
