// Built-in block per sensor kinds and CPU type, and the start-up corrections
// per CPU type and ToF kind.
#include <gtest/gtest.h>

#include "algo/algotest.h"
#include "common/custom_default.h"
#include "platform/boardroot.h"

namespace {

TEST(CustomDefault, BuiltInBlockFollowsKindsAndCpuType)
{
    algotest::LogCapture log;
    BoardRoot board;
    struct Case {
        uint32_t rgb, tof, cpu, rgbWidth, maxHeigth, fps, freqMode, groupA, groupB, groupC, ae;
    } cases[] = {
        {0, 100, 0, 1280, 5760, 24, 3, 96, 60, 0, 0},   {3, 300, 0, 1920, 7680, 24, 3, 100, 15, 48, 1},
        {3, 300, 1, 1920, 5760, 15, 5, 120, 20, 48, 1}, {4, 200, 2, 1280, 5760, 30, 3, 120, 20, 48, 1},
    };
    for (const Case& c : cases) {
        deviceCFG cfg;
        custom_default_cfg(&cfg, c.rgb, c.tof, c.cpu);
        const SensorInfo& tof = cfg.sensor[DEV_CFG_SENSOR_TOF].info;
        uint32_t got[] = {cfg.sensor[DEV_CFG_SENSOR_RGB].info.width, tof.maxHeigth, tof.fps, tof.freqMode,
                          tof.groupAFreq, tof.groupBFreq, tof.groupCFreq, tof.enableAutoExposure};
        uint32_t want[] = {c.rgbWidth, c.maxHeigth, c.fps, c.freqMode, c.groupA, c.groupB, c.groupC, c.ae};
        for (size_t i = 0; i < sizeof(got) / sizeof(got[0]); i++)
            EXPECT_EQ(got[i], want[i]) << c.rgb << "/" << c.tof << "/" << c.cpu << " field " << i;
    }
}

TEST(CustomDefault, CorrectionsPerCpuTypeAndToFKind)
{
    struct Case {
        const char* what;
        uint32_t cpu, tof, masterSlave, algo, capability, freqMode, multi, span;
        uint32_t wantAlgo, wantCapability, wantTriple, wantMulti, wantSpan, wantAe;
    } cases[] = {
        {"3588 imx: avoidance 1 becomes 4, no capabilities", 0, 300, 0, 1, 0x70, 3, 1, 6600, 4, 0, 1, 1, 6600, 1},
        {"3588 imx: pallet clears capabilities", 0, 300, 1, 2, 0x80, 1, 1, 7001, 2, 0, 0, 1, 6940, 1},
        {"3588 imx: slave mode 2 drops the algorithm", 0, 300, 2, 4, 0x20, 6, 1, 7000, 0, 0x70, 1, 1, 7000, 1},
        {"3568 imx: freqMode 2 ends multi-machine", 1, 300, 0, 0, 0, 2, 1, 6940, 0, 0x70, 1, 0, 6940, 1},
        {"3568 imx: avoidance gets exactly 0x70", 1, 300, 0, 1, 0x1F0, 5, 1, 6940, 4, 0x70, 0, 0, 6940, 1},
        {"3568 imx: bit 7 and bits above 8 kept", 1, 300, 1, 4, 0x2F0, 1, 1, 6940, 4, 0x2F0, 0, 1, 6940, 1},
        {"3568 imx: pallet adds 0x70", 1, 300, 0, 2, 0x101, 3, 1, 6940, 2, 0x170, 1, 1, 6940, 1},
        {"3588 gpixel: HDR from freqMode 2", 0, 100, 0, 1, 0x10, 2, 1, 1, 1, 0x70, 1, 1, 1, 0},
        {"3568 gpixel: freqMode 6 is no HDR", 1, 100, 0, 0, 0, 6, 0, 1, 0, 0x70, 0, 0, 1, 0},
        {"3576: none of it", 2, 300, 0, 1, 0x81, 2, 1, 100, 1, 0x80, 7, 1, 100, 1},
    };
    for (const Case& c : cases) {
        deviceCFG cfg{};
        deviceRegMemAddr run{};
        CommonCfg& k = cfg.common;
        SensorInfo& tof = cfg.sensor[DEV_CFG_SENSOR_TOF].info;
        k.masterSlaveMode = c.masterSlave;
        k.enableApplationAlgo = c.algo;
        k.configFeatureCapability = c.capability;
        k.enableMultiMachine = c.multi;
        k.microFrameSpan = c.span;
        k.tripleFreqHdr = 7;
        tof.freqMode = c.freqMode;
        tof.enableAutoExposure = 1;
        tof.sensorType = 900;  // a file from another camera
        HardwareFacts hw{E_SMARTSENS_SC230AI, c.tof, 0x42, c.cpu, E_BOARD_VERSION_V2_3};
        custom_fix_cfg(&cfg, &run, &hw);
        uint32_t got[] = {k.enableApplationAlgo, k.configFeatureCapability, k.tripleFreqHdr, k.enableMultiMachine,
                          k.microFrameSpan, tof.enableAutoExposure};
        uint32_t want[] = {c.wantAlgo, c.wantCapability, c.wantTriple, c.wantMulti, c.wantSpan, c.wantAe};
        for (size_t i = 0; i < sizeof(got) / sizeof(got[0]); i++) EXPECT_EQ(got[i], want[i]) << c.what << " #" << i;
        EXPECT_EQ(run.avoidTmpParam, c.cpu != 2 && c.tof == 300 ? 0xFFFFu : 0u) << c.what;
        EXPECT_EQ(run.devBoardVersion, c.cpu == 1 ? 2u : 0u) << c.what;
        EXPECT_EQ(tof.sensorType, c.tof) << c.what;
        EXPECT_EQ(k.hardWareCheck, 0x42u) << c.what;
        EXPECT_EQ(k.phaseOptions, c.tof == 100 ? 2u : 0u) << c.what;
        EXPECT_EQ(run.cameraType, (uint32_t)E_CAMERA_DelvoPlus) << c.what;
    }
}

TEST(CustomDefault, ThreeDModeFollowsFreqMode)
{
    const uint32_t freqTo3D[][2] = {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {5, 2}, {6, 2}};
    for (auto [freq, mode3d] : freqTo3D) {
        deviceCFG cfg{};
        deviceRegMemAddr run{};
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.freqMode = freq;
        HardwareFacts hw{0, E_VD55H1, 0, E_CPU_RK3576, 0};
        custom_fix_cfg(&cfg, &run, &hw);
        EXPECT_EQ(cfg.common._3DFreqMode, mode3d) << freq;
    }
}

TEST(CustomDefault, PayloadSizeCoversTheLargestRawBlockOfTheSensorFound)
{
    const struct { uint32_t tof, stored, want; } cases[] = {
        {E_VD55H1, 22118400, 1344u * 9656 * 2},  // a block saved before holds the old size
        {E_VD55H1, 30000000, 30000000},           // a larger one stays
        {E_GPIXEL_0503, 22118400, 22118400},      // two 1920 x 2880 exposures fill it exactly
        {E_IMX570, 22118400, 22118400},
        {E_IMX570, 0, 640u * 480 * 2 * 12},
    };
    for (const auto& c : cases) {
        deviceCFG cfg{};
        deviceRegMemAddr run{};
        custom_default_cfg(&cfg, E_SMARTSENS_SC2210, c.tof, E_CPU_RK3588);
        cfg.common.payloadSize = c.stored;
        HardwareFacts hw{E_SMARTSENS_SC2210, c.tof, 0, E_CPU_RK3588, 0};
        custom_fix_cfg(&cfg, &run, &hw);
        EXPECT_EQ(cfg.common.payloadSize, c.want) << c.tof << " " << c.stored;
    }
}

} // namespace
