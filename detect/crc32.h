// The standard reflected CRC-32 (polynomial 0xEDB88320, as in PKZIP and Ethernet).
#ifndef VORLAX_DETECT_CRC32_H
#define VORLAX_DETECT_CRC32_H

#include <stdint.h>

uint32_t Crc32(const void* data, uint32_t length);

#endif
