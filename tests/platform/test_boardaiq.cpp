// The simulated board's 3A library: the sensor bound to an ISP node, the
// order its instances must follow, and a fresh journal on every board.
#include <gtest/gtest.h>

#include <errno.h>

#include <string>

#include "aiq.h"
#include "boardroot.h"

namespace {

std::string text_of(size_t index)
{
    sim_aiq_call_t c;
    return sim_aiq_get(index, &c) == 0 ? std::string(c.text) + (c.status ? " (refused)" : "") : "<none>";
}

TEST(BoardAiq, OnlyTheIspNodesNameTheirSensor)
{
    BoardRoot b("rk3568-v23");
    ASSERT_EQ(b.rc, 0);
    const char* name = plat_aiq_bound_sensor("/dev/video4"); // rkisp_mainpath
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "m00_b_sc230ai 4-0030");
    EXPECT_EQ(plat_aiq_bound_sensor("/dev/video0"), nullptr); // the camera interface's
    EXPECT_EQ(text_of(1), "bound_sensor /dev/video0 (refused)");
    EXPECT_EQ(plat_aiq_init("m01_b_nothing 3-0010", "/etc/iqfiles/"), nullptr);
}

TEST(BoardAiq, InstancesFollowTheLibraryOrderAndAreGoneAfterDeinit)
{
    BoardRoot b("rk3568-v23");
    ASSERT_EQ(b.rc, 0);
    plat_aiq_ctx_t* ctx = plat_aiq_init("m00_b_sc230ai 4-0030", "/etc/iqfiles/");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(plat_aiq_start(ctx), -1) << "not prepared";
    EXPECT_EQ(plat_aiq_stop(ctx, 0), -1) << "not started";
    EXPECT_EQ(plat_aiq_prepare(ctx, 1920, 1080, PLAT_AIQ_WORKING_MODE_NORMAL), 0);
    EXPECT_EQ(plat_aiq_start(ctx), 0);
    int running = 0;
    EXPECT_EQ(sim_aiq_instances(&running), 1);
    EXPECT_EQ(running, 1);
    plat_aiq_exp_attr_t a{};
    EXPECT_EQ(plat_aiq_get_exp_attr(ctx, &a), 0);
    EXPECT_EQ(a.AecOpType, (uint32_t)PLAT_AIQ_OP_AUTO);
    EXPECT_EQ(plat_aiq_stop(ctx, 0), 0);
    EXPECT_EQ(plat_aiq_deinit(ctx), 0);
    EXPECT_EQ(sim_aiq_instances(nullptr), 0);
    EXPECT_EQ(plat_aiq_get_exp_attr(ctx, &a), -1);
    EXPECT_EQ(plat_aiq_deinit(ctx), -1);
}

TEST(BoardAiq, EachBoardStartsAFreshJournalAndNoBoardHasNoLibrary)
{
    {
        BoardRoot b("rk3568-v23");
        plat_aiq_bound_sensor("/dev/video4");
        EXPECT_EQ(sim_aiq_count(), 1u);
    }
    {
        BoardRoot b("rk3568-v23");
        EXPECT_EQ(sim_aiq_count(), 0u);
    }
    errno = 0;
    EXPECT_EQ(plat_aiq_init("m00_b_sc230ai 4-0030", "/etc/iqfiles/"), nullptr);
    EXPECT_EQ(errno, ENOSYS);
}

} // namespace
