// CRC-32C (Castagnoli), table-driven, one byte per step.
#include "common/crc.h"

#include <array>

namespace {

constexpr uint32_t kPoly = 0x82F63B78u; // reflected Castagnoli polynomial

constexpr std::array<uint32_t, 256> make_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> kTable = make_table();
static_assert(kTable[1] == 0xF26B8303u);
static_assert(kTable[128] == 0x82F63B78u);

} // namespace

uint32_t calculate_CRC32(void* pStart, uint32_t uSize)
{
    if (!pStart || uSize == 0) return 0;
    const auto* p = static_cast<const uint8_t*>(pStart);
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < uSize; i++) crc = kTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
