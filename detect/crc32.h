// The standard reflected CRC-32 (polynomial 0xEDB88320, as in PKZIP and Ethernet).
#ifndef VORLAX_DETECT_CRC32_H
#define VORLAX_DETECT_CRC32_H

#include <stdint.h>

uint32_t Crc32(const void* data, uint32_t length);
// The CRC-32 of the bytes whose CRC-32 is previous followed by these: a file read in pieces has
// the CRC of Crc32Continue over its pieces in turn, starting from 0.
uint32_t Crc32Continue(uint32_t previous, const void* data, uint32_t length);

#endif
