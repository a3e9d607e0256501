// Parameter-text compaction and the avoidance zone index.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "algo/algotest.h"
#include "common/json_parse.h"
#include "platform/boardroot.h"

namespace {

TEST(ZoneIndex, AnythingButAnIntegerMemberLeavesTheIndex)
{
    algotest::LogCapture log;
    char other[] = "{\"zone\": 3}", text[] = "{\"ZoneIndex\": \"3\"}", broken[] = "{\"ZoneIndex\": ";
    for (char* s : {other, text, broken}) {
        int zone = -5;
        get_avoid_zone_index2(s, &zone);
        EXPECT_EQ(zone, -5) << s;
        EXPECT_TRUE(log.has(std::string(s) + " parse error:")) << s;
    }
}

TEST(JsonFormat, NothingIsDoneWithoutSpaceOrOnAParseError)
{
    algotest::LogCapture log;
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    char out[JSON_FORMAT_MAX] = "untouched";
    char broken[] = "{\"a\": [1, 2";
    EXPECT_EQ(json_format(broken, out), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_TRUE(log.has("/userdata/app_algo_config.json parse error:"));

    char small[] = "{ \"a\" : 1 }";
    ASSERT_EQ(sim_set_free_space("/", 100ull << 20), 0);
    EXPECT_EQ(json_format(small, out), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_TRUE(log.has("no space in device, can not write file."));

    ASSERT_EQ(sim_set_free_space("/", 101ull << 20), 0);
    EXPECT_EQ(json_format(small, out), 0);
    EXPECT_EQ(memcmp(out, "{\"a\":1}", 7), 0);
}

} // namespace
