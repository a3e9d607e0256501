// Bit array: shifts, combinations, growth and shrinking checked against
// std::vector<bool> (with the rule that storage above the size stays clear),
// out-of-memory and the byte-class map.
#include "bitarr.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using Model = std::vector<bool>;

// Every bit agrees with the model and no storage bit above the size is set.
void expect_matches(const bitarr_t* bar, const Model& m, const char* what)
{
    ASSERT_EQ((size_t)bar->bitnum, m.size()) << what;
    ASSERT_GE((long)bar->unitnum * 64, (long)m.size()) << what;
    for (long i = 0; i < (long)bar->unitnum * 64; i++) {
        bool bit = (bar->bitarr[i / 64] >> (i % 64)) & 1;
        bool want = i < (long)m.size() ? m[i] : false;
        ASSERT_EQ(bit, want) << what << " at bit " << i;
    }
}

bitarr_t* random_array(std::mt19937& rng, Model& m, int bits)
{
    bitarr_t* b = bitarr_alloc(bits);
    m.assign(bits, false);
    for (int i = 0; i < bits; i++)
        if (rng() % 2) {
            bitarr_set(b, i);
            m[i] = true;
        }
    return b;
}

} // namespace

TEST(Bitarr, RandomOperationsMatchVectorOfBool)
{
    std::mt19937 rng(7);
    const int sizes[] = {0, 1, 31, 63, 64, 65, 127, 128, 129, 200, 300};
    for (int round = 0; round < 40; round++) {
        Model m;
        bitarr_t* b = random_array(rng, m, sizes[rng() % 11]);
        for (int step = 0; step < 150; step++) {
            int op = rng() % 9;
            int size = (int)m.size();
            if (op <= 2) { // set, unset, get; an index past the end grows the array first
                int i = rng() % (size + 70);
                bool was = i < size && m[i];
                if (i >= size) m.resize(i + 1, false);
                if (op == 2) ASSERT_EQ(bitarr_get(b, i), was ? 1 : 0);
                else ASSERT_EQ(op == 0 ? bitarr_set(b, i) : bitarr_unset(b, i), 0);
                if (op < 2) m[i] = op == 0;
            } else if (op == 3 || op == 4) {
                int choices[] = {0, 1, 63, 64, 65, 128, size - 1, size, size + 5, (int)(rng() % (size + 1))};
                int n = std::max(choices[rng() % 10], 0);
                Model next(size, false);
                for (int i = 0; i < size; i++) {
                    int to = op == 3 ? i + n : i - n;
                    if (to >= 0 && to < size) next[to] = m[i];
                }
                ASSERT_EQ(op == 3 ? bitarr_left(b, n) : bitarr_right(b, n), 0);
                m = next;
            } else if (op == 5) {
                int to = rng() % 260;
                ASSERT_EQ(bitarr_resize(b, to), b);
                m.resize(to, false); // bits beyond the new size are gone for good
            } else {
                Model sm;
                bitarr_t* s = random_array(rng, sm, sizes[rng() % 11]);
                for (size_t i = 0; i < std::min(sm.size(), m.size()); i++)
                    m[i] = op == 6 ? m[i] && sm[i] : op == 7 ? m[i] || sm[i] : m[i] != sm[i];
                ASSERT_EQ(op == 6 ? bitarr_and(b, s) : op == 7 ? bitarr_or(b, s) : bitarr_xor(b, s), 0);
                expect_matches(s, sm, "source untouched");
                bitarr_free(s);
            }
            expect_matches(b, m, "after op");
            if (HasFatalFailure()) return bitarr_free(b);
            ASSERT_EQ(bitarr_filled(b), std::find(m.begin(), m.end(), false) == m.end() ? 1 : 0);
        }
        bitarr_free(b);
    }
}

TEST(Bitarr, CallerHeaderResizeFromNullAndNegativeIndexes)
{
    bitarr_t local;
    ASSERT_EQ(bitarr_init(&local, 70), 0);
    EXPECT_EQ(local.unitnum, 2);
    EXPECT_EQ(bitarr_get(&local, -1), -2);
    EXPECT_EQ(bitarr_left(&local, -1), -2);
    bitarr_free(&local); // words only: releasing our header would be an ASan report
    bitarr_t* b = bitarr_resize(nullptr, 5); // a new header that bitarr_free releases (LSan)
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->bitnum, 5u);
    bitarr_free(b);
}

TEST(Bitarr, FailedGrowthLeavesArrayIntact)
{
    bitarr_t* b = bitarr_alloc(64);
    bitarr_set(b, 5);
    kmem_fail_after(0);
    EXPECT_EQ(bitarr_set(b, 1000), -100);
    EXPECT_EQ(bitarr_resize(b, 1000), nullptr);
    kmem_fail_after(-1);
    EXPECT_EQ(b->bitnum, 64u);
    EXPECT_EQ(b->unitnum, 1);
    EXPECT_EQ(bitarr_get(b, 5), 1);
    bitarr_free(b);
}

TEST(Bitarr, ByteClassMap)
{
    uint32_t map[8] = {};
    bit_mask_set(map, 'a');
    bit_mask_set(map, 255);
    EXPECT_NE(bit_mask_get(map, 'a'), 0u);
    EXPECT_EQ(bit_mask_get(map, 255), UINT32_C(1) << 31); // the raw word bit
    EXPECT_NE(bit_mask_get(map, (char)0xFF), 0u);         // a signed char names the same byte
    bit_mask_unset(map, 'a');
    EXPECT_EQ(bit_mask_get(map, 'a'), 0u);
}
