// Bit array: shifts, combinations and growth checked against std::vector<bool>,
// the clear-storage rule, the printed layout and the byte-class map.
#include "bitarr.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
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
            if (op == 0) {
                int i = rng() % (size + 70);
                ASSERT_EQ(bitarr_set(b, i), 0);
                if (i >= size) m.resize(i + 1, false);
                m[i] = true;
            } else if (op == 1) {
                int i = rng() % (size + 70);
                ASSERT_EQ(bitarr_unset(b, i), 0);
                if (i >= size) m.resize(i + 1, false);
                m[i] = false;
            } else if (op == 2) {
                int i = rng() % (size + 70);
                bool want = i < size ? (bool)m[i] : false;
                ASSERT_EQ(bitarr_get(b, i), want ? 1 : 0);
                if (i >= size) m.resize(i + 1, false); // a read past the end grows too
            } else if (op == 3 || op == 4) {
                int choices[] = {0, 1, 63, 64, 65, 128, size - 1, size, size + 5, (int)(rng() % (size + 1))};
                int n = choices[rng() % 10];
                if (n < 0) n = 0;
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
                size_t both = std::min(sm.size(), m.size());
                for (size_t i = 0; i < both; i++) {
                    if (op == 6) m[i] = m[i] && sm[i];
                    if (op == 7) m[i] = m[i] || sm[i];
                    if (op == 8) m[i] = m[i] != sm[i];
                }
                int r = op == 6 ? bitarr_and(b, s) : op == 7 ? bitarr_or(b, s) : bitarr_xor(b, s);
                ASSERT_EQ(r, 0);
                expect_matches(s, sm, "source untouched");
                bitarr_free(s);
            }
            expect_matches(b, m, "after op");
            if (HasFatalFailure()) {
                bitarr_free(b);
                return;
            }
            bool all = true;
            for (bool x : m) all = all && x;
            ASSERT_EQ(bitarr_filled(b), all ? 1 : 0);
        }
        bitarr_free(b);
    }
}

TEST(Bitarr, ShrinkThenGrowDoesNotBringOldBitsBack)
{
    bitarr_t* b = bitarr_alloc(100);
    for (int i = 0; i < 100; i++) bitarr_set(b, i);
    ASSERT_EQ(bitarr_resize(b, 30), b);
    EXPECT_EQ(bitarr_filled(b), 1);
    ASSERT_EQ(bitarr_resize(b, 100), b);
    for (int i = 30; i < 100; i++) ASSERT_EQ(bitarr_get(b, i), 0) << i;
    // Shifting left after a shrink pushes nothing into the spare storage.
    bitarr_resize(b, 30);
    bitarr_left(b, 5);
    EXPECT_EQ(b->bitarr[1], 0u);
    EXPECT_EQ(b->bitarr[0] >> 30, 0u);
    bitarr_free(b);
}

TEST(Bitarr, EmptyArrayIsFilledAndNegativeIndexesAreRefused)
{
    bitarr_t* empty = bitarr_alloc(0);
    EXPECT_EQ(bitarr_filled(empty), 1);
    EXPECT_EQ(bitarr_left(empty, 3), 0);
    EXPECT_EQ(bitarr_get(empty, -1), -2);
    EXPECT_EQ(bitarr_set(empty, -1), -2);
    EXPECT_EQ(bitarr_left(empty, -1), -2);
    bitarr_free(empty);
    EXPECT_EQ(bitarr_alloc(-1), nullptr);
}

TEST(Bitarr, CallerHeaderAndResizeFromNull)
{
    bitarr_t local;
    ASSERT_EQ(bitarr_init(&local, 70), 0);
    EXPECT_EQ(local.alloc, 0u);
    EXPECT_EQ(local.unitnum, 2);
    EXPECT_EQ(bitarr_get(&local, 69), 0);
    bitarr_free(&local); // words only: the header is ours
    EXPECT_EQ(local.bitarr, nullptr);

    bitarr_t* b = bitarr_resize(nullptr, 5);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->alloc, 1u);
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

TEST(Bitarr, PrintShowsRulerAndRowsOf32)
{
    bitarr_t* b = bitarr_alloc(40);
    bitarr_set(b, 1);
    bitarr_set(b, 33);
    testing::internal::CaptureStdout();
    bitarr_print(b);
    std::string out = testing::internal::GetCapturedStdout();
    std::string ruler = "----|";
    for (int c = 0; c < 32; c++) ruler += c % 8 == 0 ? (c < 10 ? std::to_string(c) + " " : std::to_string(c)) : "--";
    std::string row0 = " 0  |";
    for (int i = 0; i < 32; i++) row0 += i == 1 ? "1 " : "0 ";
    std::string row1 = " 1  |";
    for (int i = 32; i < 40; i++) row1 += i == 33 ? "1 " : "0 ";
    EXPECT_EQ(out, "bitarr: bitnum=40  unitnum=1\n" + ruler + "\n" + row0 + "\n" + row1 + "\n");
    bitarr_free(b);
}

TEST(Bitarr, ByteClassMap)
{
    uint32_t map[8] = {};
    bit_mask_set(map, 'a');
    bit_mask_set(map, 255);
    EXPECT_NE(bit_mask_get(map, 'a'), 0u);
    EXPECT_EQ(bit_mask_get(map, 'b'), 0u);
    EXPECT_EQ(bit_mask_get(map, 255), UINT32_C(1) << 31); // the raw word bit
    EXPECT_NE(bit_mask_get(map, (char)0xFF), 0u);         // a signed char names the same byte
    bit_mask_unset(map, 'a');
    EXPECT_EQ(bit_mask_get(map, 'a'), 0u);
}
