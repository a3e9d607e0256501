// Built-in block per sensor kinds and CPU type, and the start-up corrections
// per CPU type: the IMX570's algorithm, capability and frequency rules, the
// other ToF kinds' rules, and the fields every start derives or defaults.
#include <gtest/gtest.h>

#include "algo/algotest.h"
#include "common/custom_default.h"
#include "platform/boardroot.h"

namespace {

struct DefaultCase {
    uint32_t rgb, tof, cpu;
    uint32_t rgbWidth, rgbHeigth, rgbFps, rgbFlip;
    uint32_t tofMaxWidth, tofMaxHeigth, tofFps, freqMode, groupA, groupB, groupC, tofAe;
};

TEST(CustomDefault, BuiltInBlockFollowsKindsAndCpuType)
{
    algotest::LogCapture log;
    BoardRoot board;
    const DefaultCase cases[] = {
        // rgb tof cpu | rgb w h fps flip | tof maxW maxH fps freq A B C ae
        {0, 100, 0, 1280, 960, 0, 1, 1920, 5760, 24, 3, 96, 60, 0, 0},
        {3, 300, 0, 1920, 1080, 24, 0, 640, 7680, 24, 3, 100, 15, 48, 1},
        {3, 300, 1, 1920, 1080, 24, 0, 640, 5760, 15, 5, 120, 20, 48, 1},
        {3, 100, 1, 1920, 1080, 24, 0, 1920, 5760, 24, 3, 96, 60, 0, 0},
        {4, 200, 2, 1280, 960, 0, 1, 640, 5760, 30, 3, 120, 20, 48, 1},
    };
    for (const DefaultCase& c : cases) {
        deviceCFG cfg;
        custom_default_cfg(&cfg, c.rgb, c.tof, c.cpu);
        const SensorInfo& rgb = cfg.sensor[DEV_CFG_SENSOR_RGB].info;
        const SensorInfo& tof = cfg.sensor[DEV_CFG_SENSOR_TOF].info;
        std::string at = std::to_string(c.rgb) + "/" + std::to_string(c.tof) + "/" + std::to_string(c.cpu);
        EXPECT_EQ(rgb.sensorType, c.rgb) << at;
        EXPECT_EQ(rgb.width, c.rgbWidth) << at;
        EXPECT_EQ(rgb.maxHeigth, c.rgbHeigth) << at;
        EXPECT_EQ(rgb.fps, c.rgbFps) << at;
        EXPECT_EQ(rgb.hfilp, c.rgbFlip) << at;
        EXPECT_EQ(tof.sensorType, c.tof) << at;
        EXPECT_EQ(tof.maxWidth, c.tofMaxWidth) << at;
        EXPECT_EQ(tof.maxHeigth, c.tofMaxHeigth) << at;
        EXPECT_EQ(tof.fps, c.tofFps) << at;
        EXPECT_EQ(tof.freqMode, c.freqMode) << at;
        EXPECT_EQ(tof.groupAFreq, c.groupA) << at;
        EXPECT_EQ(tof.groupBFreq, c.groupB) << at;
        EXPECT_EQ(tof.groupCFreq, c.groupC) << at;
        EXPECT_EQ(tof.enableAutoExposure, c.tofAe) << at;
        EXPECT_EQ(cfg.common.canBaudrate, 250000u) << at;
        EXPECT_EQ(cfg.common.cameraRgbEncType, 4u) << at;
        EXPECT_EQ(cfg.common.highthr, c.tof == E_IMX570 ? 2000u : 0u) << at;
        EXPECT_EQ(tof.maximum_depth, 5000u) << at;
    }
}

struct ImxCase {
    const char* what;
    uint32_t cpu, masterSlave, algo, capability, freqMode, multi, span;
    uint32_t wantAlgo, wantCapability, wantTriple, wantMulti, wantSpan;
};

TEST(CustomDefault, Imx570RulesPerCpuType)
{
    const ImxCase cases[] = {
        // RK3588
        {"3588 avoidance 1 becomes 4, no capabilities", 0, 0, 1, 0x70, 3, 1, 6600, 4, 0, 1, 1, 6600},
        {"3588 pallet clears capabilities", 0, 1, 2, 0x80, 1, 1, 7001, 2, 0, 0, 1, 6940},
        {"3588 no algorithm keeps capability bits", 0, 0, 0, 0x10, 0, 1, 6499, 0, 0x70, 0, 0, 6940},
        {"3588 slave mode 2 drops the algorithm", 0, 2, 4, 0x20, 6, 1, 7000, 0, 0x70, 1, 1, 7000},
        {"3588 freqMode 2 ends multi-machine", 0, 0, 0, 0, 2, 1, 6940, 0, 0, 1, 0, 6940},
        // RK3568
        {"3568 freqMode 2 ends multi-machine", 1, 0, 0, 0, 2, 1, 6940, 0, 0x70, 1, 0, 6940},
        {"3568 avoidance: exactly the feature bits", 1, 0, 1, 0x1F0, 5, 1, 6940, 4, 0x70, 0, 0, 6940},
        {"3568 avoidance: bits 7 and above 8 kept", 1, 1, 4, 0x2F0, 1, 1, 6940, 4, 0x2F0, 0, 1, 6940},
        {"3568 pallet adds the feature bits", 1, 0, 2, 0x101, 3, 1, 6940, 2, 0x170, 1, 1, 6940},
        {"3568 slave mode 2 drops the algorithm", 1, 2, 1, 0x0, 0, 0, 6940, 0, 0x70, 0, 0, 6940},
        // RK3576: none of it
        {"3576 keeps everything", 2, 0, 1, 0x81, 2, 1, 100, 1, 0x80, 0, 1, 100},
    };
    for (const ImxCase& c : cases) {
        deviceCFG cfg{};
        deviceRegMemAddr run{};
        cfg.common.masterSlaveMode = c.masterSlave;
        cfg.common.enableApplationAlgo = c.algo;
        cfg.common.configFeatureCapability = c.capability;
        cfg.common.enableMultiMachine = c.multi;
        cfg.common.microFrameSpan = c.span;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.freqMode = c.freqMode;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.enableAutoExposure = 1;
        HardwareFacts hw{E_SMARTSENS_SC230AI, E_IMX570, 0, c.cpu, E_BOARD_VERSION_V2_3};
        custom_fix_cfg(&cfg, &run, &hw);
        EXPECT_EQ(cfg.common.enableApplationAlgo, c.wantAlgo) << c.what;
        EXPECT_EQ(cfg.common.configFeatureCapability, c.wantCapability) << c.what;
        EXPECT_EQ(cfg.common.tripleFreqHdr, c.wantTriple) << c.what;
        EXPECT_EQ(cfg.common.enableMultiMachine, c.wantMulti) << c.what;
        EXPECT_EQ(cfg.common.microFrameSpan, c.wantSpan) << c.what;
        EXPECT_EQ(run.avoidTmpParam, c.cpu == 2 ? 0u : 0xFFFFu) << c.what;
        EXPECT_EQ(run.devBoardVersion, c.cpu == 1 ? (uint32_t)E_BOARD_VERSION_V2_3 : 0u) << c.what;
        EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.enableAutoExposure, 1u) << c.what;
    }
}

TEST(CustomDefault, OtherToFKindsTakeTheHdrSwitchFromFreqModeAndLoseAutoExposure)
{
    struct Case {
        uint32_t cpu, capability, freqMode;
        uint32_t wantCapability, wantTriple, wantAe;
    } cases[] = {
        {0, 0x10, 2, 0x70, 1, 0}, {0, 0x0, 3, 0x0, 1, 0}, {0, 0x0, 6, 0x0, 0, 0},
        {1, 0x0, 1, 0x70, 0, 0},  {1, 0x0, 3, 0x70, 1, 0}, {2, 0x10, 2, 0x10, 7, 1},
    };
    for (const Case& c : cases) {
        deviceCFG cfg{};
        deviceRegMemAddr run{};
        cfg.common.configFeatureCapability = c.capability;
        cfg.common.tripleFreqHdr = 7;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.freqMode = c.freqMode;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.enableAutoExposure = 1;
        HardwareFacts hw{E_SMARTSENS_SC130GS, E_VD55H1, 0, c.cpu, E_BOARD_VERSION_V1_1};
        custom_fix_cfg(&cfg, &run, &hw);
        std::string at = "cpu " + std::to_string(c.cpu) + " freqMode " + std::to_string(c.freqMode);
        EXPECT_EQ(cfg.common.configFeatureCapability, c.wantCapability) << at;
        EXPECT_EQ(cfg.common.tripleFreqHdr, c.wantTriple) << at;
        EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.enableAutoExposure, c.wantAe) << at;
        EXPECT_EQ(run.avoidTmpParam, 0u) << at;
    }
}

TEST(CustomDefault, EveryStartDerivesDefaultsAndPresentsOneModel)
{
    const uint32_t freqTo3D[][2] = {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {5, 2}, {6, 2}};
    for (auto [freq, mode3d] : freqTo3D) {
        deviceCFG cfg{};
        deviceRegMemAddr run{};
        cfg.common.configFeatureCapability = 0x3;
        cfg.common.canNodeid = 0;
        cfg.common.modbusAddress = 9;
        cfg.common.phaseOptions = 0;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.freqMode = freq;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.targetBrightLevel = 0;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType = E_IMX570;  // a file from another camera
        HardwareFacts hw{E_SMARTSENS_SC2210, E_GPIXEL_0503, 0x42, E_CPU_RK3576, 0};
        custom_fix_cfg(&cfg, &run, &hw);
        EXPECT_EQ(cfg.common._3DFreqMode, mode3d) << freq;
        EXPECT_EQ(cfg.common.configFeatureCapability, 0x2u);
        EXPECT_EQ(cfg.common.canNodeid, 18u);
        EXPECT_EQ(cfg.common.canBaudrate, 250000u);
        EXPECT_EQ(cfg.common.modbusAddress, 9u);
        EXPECT_EQ(cfg.common.tofAutoExposureMax, 2000u);
        EXPECT_EQ(cfg.common.tofAutoExposureMin, 10u);
        EXPECT_EQ(cfg.common.phaseOptions, 2u);
        EXPECT_EQ(cfg.common.hardWareCheck, 0x42u);
        EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType, (uint32_t)E_GPIXEL_0503);
        EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_RGB].info.sensorType, (uint32_t)E_SMARTSENS_SC2210);
        EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.targetBrightLevel, 500u);
        EXPECT_EQ(run.cameraType, (uint32_t)E_CAMERA_DelvoPlus);
        EXPECT_EQ(run.cameraRgbEncType, 4u);
        EXPECT_EQ(run.avoidResult, 1000u);
    }
}

} // namespace
