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

TEST_F(Tavo, SizesFollowTheSensorKinds)
{
    uint32 w = 0, h = 0;
    regs.tof().sensorType = E_VD55H1;
    algo_TavoPlus_GetSize(&w, &h, 0);
    EXPECT_EQ(w, 672u);
    EXPECT_EQ(h, 804u);
    regs.tof().sensorType = E_IMX570;
    regs.run.cameraType = E_CAMERA_CalvoUltraIMX570;
    algo_TavoPlus_GetSizeInit(&w, &h, 0);
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 240u);
    regs.cfg.sensor[DEV_CFG_SENSOR_RGB].info.sensorType = E_SMARTSENS_SC230AI;
    algo_TavoPlus_GetSize(&w, &h, 1);
    EXPECT_EQ(w, 1920u);
    EXPECT_EQ(h, 1080u);
}

TEST_F(Tavo, UnknownImageLeavesTheSizeAndLogs)
{
    uint32 w = 11, h = 22;
    algo_TavoPlus_GetSize(&w, &h, 2);
    EXPECT_EQ(w, 11u);
    EXPECT_EQ(h, 22u);
    EXPECT_TRUE(log.has("GetSize error.-1"));
}

TEST_F(Tavo, AutoExposureStepsTowardsTheTarget)
{
    std::vector<uint8> dark(64 * 48, 20), bright(64 * 48, 240), ok(64 * 48, 80);
    float e = 0, g = 0;
    algo_TavoPlus_AutoExposure(dark.data(), 64, 48, 1000, 100, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_FLOAT_EQ(e, 1000 * (1 + 0.5f * 60 / 80));  // proportional to the relative error
    EXPECT_FLOAT_EQ(g, 100);
    algo_TavoPlus_AutoExposure(bright.data(), 64, 48, 1000, 100, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_LT(e, 1000);
    algo_TavoPlus_AutoExposure(ok.data(), 64, 48, 1000, 100, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_FLOAT_EQ(e, 1000);

    // At the exposure limit the rest of the step goes to the gain.
    algo_TavoPlus_AutoExposure(dark.data(), 64, 48, 10000, 100, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_FLOAT_EQ(e, 11000);
    EXPECT_FLOAT_EQ(g, 100 * 13750.0f / 11000);
    // Within the dead band nothing changes.
    std::vector<uint8> near(64 * 48, 75);
    algo_TavoPlus_AutoExposure(near.data(), 64, 48, 1000, 100, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 5);
    EXPECT_FLOAT_EQ(e, 1000);
}

TEST_F(Tavo, FailedAutoExposureKeepsTheCurrentSettings)
{
    float e = -1, g = -1;
    algo_TavoPlus_AutoExposure(nullptr, 64, 48, 900, 150, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_FLOAT_EQ(e, 900);
    EXPECT_FLOAT_EQ(g, 150);
    EXPECT_TRUE(log.has("AutoExposure error.-1"));

    uint8 notJpeg[16] = {1, 2, 3};
    e = g = -1;
    algo_TavoPlus_AutoExposureMjpeg(notJpeg, sizeof(notJpeg), 900, 150, 0.5f, 80, 11000, 1, 600, 100, &e, &g, 0);
    EXPECT_FLOAT_EQ(e, 900);
    EXPECT_TRUE(log.has("AutoExposure error.-2"));
}

TEST_F(Tavo, RawParsingClearsTheFlagBits)
{
    uint16_t raw[4] = {0xF123, 0x0FFF, 0x1000, 0x0001};
    algo_TavoPlus_ParseRawData(raw, sizeof(raw), 0);
    EXPECT_EQ(raw[0], 0x0123);
    EXPECT_EQ(raw[1], 0x0FFF);
    EXPECT_EQ(raw[2], 0x0000);
    algo_TavoPlus_ParseRawData(nullptr, 8, 0);
    EXPECT_TRUE(log.has("ParseRawData error.-1"));
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
