// Allocation wrappers: the size-0 and failed-realloc rules callers rely on.
#include "memory.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(Memory, ZallocIsZeroedAndReallocKeepsContentOrReleasesAtSizeZero)
{
    EXPECT_EQ(kalloc(0), nullptr);
    EXPECT_EQ(kzalloc(0), nullptr);
    auto* p = static_cast<unsigned char*>(kzalloc(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0);
    memset(p, 0xAB, 64);
    p = static_cast<unsigned char*>(krealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++) ASSERT_EQ(p[i], 0xAB);
    EXPECT_EQ(krealloc(p, 0), nullptr); // LeakSanitizer would report the block otherwise
}

TEST(Memory, FailedReallocReleasesTheOldBlockAndTheSeamCountsDown)
{
    void* p = kalloc(32);
    ASSERT_NE(p, nullptr);
    kmem_fail_after(1);
    void* a = kzalloc(8);
    EXPECT_EQ(krealloc(p, 64), nullptr); // p is gone: a leak would be reported at exit
    EXPECT_EQ(kalloc(8), nullptr);
    kmem_fail_after(-1);
    EXPECT_NE(a, nullptr);
    kfree(a);
}
