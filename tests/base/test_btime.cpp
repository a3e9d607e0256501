// Time stamps: carries, borrows and the sign of differences.
#include "btime.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

TEST(BTime, AddCarriesMillisecondsIntoSeconds)
{
    btime_t t = {5, 700};
    btime_add_ms(&t, 2500);
    EXPECT_EQ(t.s, 8);
    EXPECT_EQ(t.ms, 200);

    btime_t a = {1, 999};
    btime_t b = {2, 2};
    btime_add(&a, &b);
    EXPECT_EQ(a.s, 4);
    EXPECT_EQ(a.ms, 1);
}

TEST(BTime, DiffBorrowsAndCanBeNegative)
{
    btime_t a = {10, 900};
    btime_t b = {12, 100};
    btime_t d = btime_diff(&a, &b);
    EXPECT_EQ(d.s, 1);
    EXPECT_EQ(d.ms, 200);
    EXPECT_EQ(btime_diff_ms(&a, &b), 1200);
    EXPECT_EQ(btime_diff_ms(&b, &a), -1200);
}

TEST(BTime, NowMatchesWallClock)
{
    btime_t t;
    struct timeval before;
    gettimeofday(&before, nullptr);
    int64_t us = btime(&t);
    EXPECT_GE(us, (int64_t)before.tv_sec * 1000000 + before.tv_usec);
    EXPECT_EQ(t.s, us / 1000000);
    EXPECT_EQ(t.ms, (us % 1000000) / 1000);

    btime_t later;
    btime_now_add(&later, 1500);
    int64_t ahead = btime_diff_ms(&t, &later);
    EXPECT_GE(ahead, 1500);
    EXPECT_LT(ahead, 1500 + 5000);
    EXPECT_GE(later.ms, 0);
    EXPECT_LT(later.ms, 1000);
}

TEST(BTime, TimezoneFollowsTZ)
{
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(current_timezone(), 0);
    setenv("TZ", "CST-8", 1); // POSIX sign: UTC+8, no DST
    tzset();
    EXPECT_EQ(current_timezone(), 8);
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}
