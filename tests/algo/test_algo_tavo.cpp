// The processing-library wrappers over the stand-in library.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "algo/algo.h"
#include "algo/algotest.h"
#include "algo/tavo_lib.h"
#include "platform/boardroot.h"

using namespace algotest;

namespace {

struct Tavo : ::testing::Test {
    LogCapture log;
    Registers regs;
    Tavo() { tavolib_reset(); }
    ~Tavo() override { tavolib_reset(); }
};

TEST_F(Tavo, SizesFollowTheSensorKindsAndFailuresLeaveThem)
{
    uint32 w = 0, h = 0;
    regs.tof().sensorType = E_IMX570;
    regs.run.cameraType = E_CAMERA_CalvoUltraIMX570;
    algo_TavoPlus_GetSizeInit(&w, &h, 0);
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 240u);
    algo_TavoPlus_GetSize(&w, &h, 2); // no such image
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 240u);
    EXPECT_TRUE(log.has("GetSize error.-1"));
}

TEST_F(Tavo, AutoExposureStepsTowardsTheTargetOrKeepsTheSettingsOnFailure)
{
    float e = 0, g = 0;
    // A flat picture of `level` at exposure `exp`, gain 100, target 80.
    auto ae = [&](uint8 level, float exp, int band) {
        std::vector<uint8> px(64 * 48, level);
        algo_TavoPlus_AutoExposure(px.data(), 64, 48, exp, 100, 0.5f, 80, 11000, 1, 600, 100, &e, &g, band);
    };
    ae(20, 1000, 0);
    EXPECT_FLOAT_EQ(e, 1000 * (1 + 0.5f * 60 / 80)); // proportional to the relative error
    EXPECT_FLOAT_EQ(g, 100);
    ae(240, 1000, 0);
    EXPECT_LT(e, 1000);
    ae(75, 1000, 5); // within the dead band nothing changes
    EXPECT_FLOAT_EQ(e, 1000);
    ae(20, 10000, 0); // at the exposure limit the rest of the step goes to the gain
    EXPECT_FLOAT_EQ(e, 11000);
    EXPECT_FLOAT_EQ(g, 100 * 13750.0f / 11000);

    e = g = -1;
    algo_TavoPlus_AutoExposure(nullptr, 64, 48, 900, 150, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_FLOAT_EQ(e, 900);
    EXPECT_FLOAT_EQ(g, 150);
    EXPECT_TRUE(log.has("AutoExposure error.-1"));
    uint8 notJpeg[16] = {1, 2, 3};
    e = -1;
    algo_TavoPlus_AutoExposureMjpeg(notJpeg, sizeof(notJpeg), 900, 150, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_FLOAT_EQ(e, 900);
    EXPECT_TRUE(log.has("AutoExposure error.-2"));
}

TEST_F(Tavo, FilterTextSurvivesASaveAndARestart)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    std::vector<uint8> buf(ALGO_FILTER_TEXT_MAX);
    int len = 0;
    uint8 text[] = "{\"median_filter\":{\"enable\":0}}";
    algo_TavoPlus_SetFilterString(text);
    algo_TavoPlus_GetFilterString(buf.data(), &len);
    EXPECT_STREQ(reinterpret_cast<char*>(buf.data()), reinterpret_cast<char*>(text));
    EXPECT_EQ(len, (int)strlen(reinterpret_cast<char*>(text)));

    uint8 junk[] = "median=0";
    algo_TavoPlus_SetFilterString(junk);
    EXPECT_TRUE(log.has("SetFilterString error.-2"));
    algo_TavoPlus_GetFilterString(buf.data(), &len);
    EXPECT_STREQ(reinterpret_cast<char*>(buf.data()), reinterpret_cast<char*>(text));

    algo_TavoPlus_SaveFilterFile();
    tavolib_reset();  // as after a restart
    algo_TavoPlus_SetFilterString(nullptr);
    algo_TavoPlus_GetFilterString(buf.data(), &len);
    EXPECT_STREQ(reinterpret_cast<char*>(buf.data()), reinterpret_cast<char*>(text));
}

} // namespace
