// CRC-32C (Castagnoli) checksum, used by the GigE Vision bootstrap block.
#ifndef KORVID_COMMON_CRC_H
#define KORVID_COMMON_CRC_H

#include <stdint.h>

// Reflected polynomial 0x82F63B78, initial value 0xFFFFFFFF, result inverted;
// length 0 (or no data) gives 0.
uint32_t calculate_CRC32(void* pStart, uint32_t uSize);

#endif
