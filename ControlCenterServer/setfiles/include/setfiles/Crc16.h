// CRC-16/MODBUS: the checksum of set files, complete.cfg, the per-board list
// files and the code files. Reflected polynomial 0x8005 (table form 0xA001),
// start value 0xFFFF, no final XOR.
#pragma once

#include <cstddef>

constexpr unsigned short kCrc16Start = 0xFFFF;

// One table step: the byte is folded into crc.
unsigned short Crc16Step(unsigned short crc, unsigned char byte);

// Folds size bytes of data into crc, one table step per byte.
unsigned short Crc16Update(unsigned short crc, const void* data, size_t size);
