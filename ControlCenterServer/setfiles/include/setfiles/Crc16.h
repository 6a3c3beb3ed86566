// CRC-16/MODBUS: the checksum of set files, complete.cfg, the per-board list
// files and the code files. Reflected polynomial 0x8005 (table form 0xA001),
// start value 0xFFFF, no final XOR.
#pragma once

#include <cstddef>

constexpr unsigned short kCrc16Start = 0xFFFF;

// One table step: the byte is folded into crc.
unsigned short Crc16Step(unsigned short crc, unsigned char byte);

// Folds size bytes of data into crc. Every byte of a set passes through here
// (the set, complete.cfg, each list file), so it takes eight bytes per step
// with eight tables; the result is that of Crc16UpdateBytewise.
unsigned short Crc16Update(unsigned short crc, const void* data, size_t size);

// The same, one table step per byte: the plain form, kept as the reference
// the fast one is checked against.
unsigned short Crc16UpdateBytewise(unsigned short crc, const void* data, size_t size);
