#include "common/crc.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// Bit-at-a-time reference, independent of the table.
uint32_t crc32c_bitwise(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1)));
    }
    return ~crc;
}

} // namespace

TEST(Crc32c, CheckValueAndEmptyInput)
{
    char check[] = "123456789";
    EXPECT_EQ(calculate_CRC32(check, 9), 0xE3069283u);
    EXPECT_EQ(calculate_CRC32(check, 0), 0u);
}

TEST(Crc32c, MatchesBitwiseReferenceOnRandomData)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        std::vector<uint8_t> data(rng() % 3000 + 1);
        for (auto& b : data) b = (uint8_t)rng();
        ASSERT_EQ(calculate_CRC32(data.data(), (uint32_t)data.size()), crc32c_bitwise(data.data(), data.size()));
    }
}
