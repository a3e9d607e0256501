// Time stamps: carries, borrows and the sign of differences.
#include "btime.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <string>
#include <utility>

namespace {
using Stamp = std::pair<int64_t, int64_t>;
Stamp st(const btime_t& t) { return {t.s, t.ms}; }
} // namespace

TEST(BTime, AddCarriesAndDiffBorrows)
{
    btime_t t = {5, 700}, a = {1, 999}, two = {2, 2};
    btime_add_ms(&t, 2500);
    EXPECT_EQ(st(t), Stamp(8, 200));
    btime_add(&a, &two);
    EXPECT_EQ(st(a), Stamp(4, 1));

    btime_t x = {10, 900}, y = {12, 100};
    EXPECT_EQ(st(btime_diff(&x, &y)), Stamp(1, 200));
    EXPECT_EQ(btime_diff_ms(&x, &y), 1200);
    EXPECT_EQ(btime_diff_ms(&y, &x), -1200);
}

TEST(BTime, NowMatchesItsMicrosecondsAndNowAddLiesAhead)
{
    btime_t t, later;
    int64_t us = btime(&t);
    EXPECT_EQ(st(t), Stamp(us / 1000000, (us % 1000000) / 1000));
    btime_now_add(&later, 1500);
    int64_t ahead = btime_diff_ms(&t, &later);
    EXPECT_GE(ahead, 1500);
    EXPECT_LT(ahead, 1500 + 5000);
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
