// Allocation wrappers: the size-0 and failed-realloc rules callers rely on.
#include "memory.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(Memory, ZallocIsZeroedAndReallocKeepsContent)
{
    auto* p = static_cast<unsigned char*>(kzalloc(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0);
    memset(p, 0xAB, 64);
    p = static_cast<unsigned char*>(krealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++) ASSERT_EQ(p[i], 0xAB);
    kfree(p);
}

TEST(Memory, SizeZeroGivesNullAndReallocToZeroReleasesTheBlock)
{
    EXPECT_EQ(kalloc(0), nullptr);
    EXPECT_EQ(kzalloc(0), nullptr);
    void* p = kalloc(32);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(krealloc(p, 0), nullptr); // LeakSanitizer would report the block otherwise
    void* q = kosmalloc(16);
    EXPECT_EQ(kosrealloc(q, 0), nullptr);
}

TEST(Memory, FailedReallocReleasesTheOldBlock)
{
    void* p = kalloc(32);
    ASSERT_NE(p, nullptr);
    kmem_fail_after(0);
    EXPECT_EQ(krealloc(p, 64), nullptr); // p is gone: a leak would be reported at exit
    EXPECT_EQ(kalloc(8), nullptr);
    EXPECT_EQ(kzalloc(8), nullptr);
    kmem_fail_after(-1);
    void* q = kalloc(8);
    EXPECT_NE(q, nullptr);
    kfree(q);
}

TEST(Memory, FailureSeamCountsDownSuccessfulAllocations)
{
    kmem_fail_after(2);
    void* a = kalloc(8);
    void* b = kzalloc(8);
    void* c = kalloc(8);
    kmem_fail_after(-1);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    kfree(a);
    kfree(b);
}
