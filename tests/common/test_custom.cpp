// Register words shared between threads: the header's static_asserts pin
// the layout; what is left to prove is that single words move whole.
#include "common/custom.h"

#include <gtest/gtest.h>

#include <thread>

// A temperature task stores a float word while a protocol worker reads it:
// every value read is one that was stored, never a mix, and the sanitizer
// sees no race.
TEST(CustomRegisterSpace, WordsMoveWholeBetweenThreads)
{
    deviceCFG cfg{};
    float& ld = cfg.sensor[DEV_CFG_SENSOR_TOF].info.LD_temperature;
    const float values[2] = {25.5f, -1.0e-3f};
    reg_store(ld, values[0]);

    std::thread writer([&] {
        for (int i = 0; i < 20000; i++) reg_store(ld, values[i & 1]);
    });
    for (int i = 0; i < 20000; i++) {
        float v = reg_load(ld);
        ASSERT_TRUE(v == values[0] || v == values[1]) << v;
    }
    writer.join();
    EXPECT_EQ(reg_load(ld), values[1]);
}

// ---------------------------------------------------------------------------
// Reads through the register space
// ---------------------------------------------------------------------------

#include "common/regtest.h"
#include "sensor/linetest.h"

using regtest::RegSpace;

namespace {

struct ReadCase {
    const char* what;
    uint32_t address;
    int code;
    uint32_t value;
};

// Stored words: each case's setup below puts known values in place.
void fill(RegSpace& r)
{
    r.common().acquisitionMod = 7;
    r.common().enableGray = 1;            // stored word; reads answer enableRaw
    r.run.enableRaw = 5;
    r.common().configFeatureCapability = 0x11;
    r.common().customParamGroup = 0x10003;
    r.common().masterSlaveMode = 2;
    r.rgb().fps = 24;
    r.tof().fps = 15;
    r.tof().depthCalib = 9;
    r.run.enableDepthCalib = 4;
    r.run.richRadarPort = 2368;
    r.cfg.commonArea[0x3FC] = 0;
}

TEST(RegisterRead, EachPageAnswersItsWordsAndRefusesWhatLiesOutsideItsRecord)
{
    RegSpace r;
    fill(r);
    const ReadCase cases[] = {
        {"common word", 0x10000004, 0, 7},
        {"enableGray answers the run-time enableRaw", 0x1000001C, 0, 5},
        {"capability while no algorithm runs", 0x10000088, 0, 0x11},
        {"parameter group without the load bit", 0x10000094, 0, 3},
        {"masterSlaveMode", 0x10000054, 0, 2},
        {"common padding", 0x100003FC, 0, 0},
        {"common page past its area", 0x10000400, 0x8001, 0},
        {"common page end", 0x10000FFC, 0x8001, 0},
        {"colour fps", 0x1000102C, 0, 24},
        {"colour padding", 0x100013FC, 0, 0},
        {"colour page past its area", 0x10001400, 0x8001, 0},
        {"ToF fps", 0x1000202C, 0, 15},
        {"ToF depthCalib answers the run-time mirror", 0x10002094, 0, 4},
        {"ToF padding", 0x100023FC, 0, 0},
        {"ToF page past its area", 0x10002400, 0x8001, 0},
        {"run-time last word", 0x10007078, 0, 2368},
        {"run-time past its record", 0x1000707C, 0x8001, 0},
        {"IMU page is write-only", 0x10003238, 0x8001, 0},
        {"IMU range", 0x10003100, 0x8001, 0},
        {"unmapped page", 0x10004000, 0x8001, 0},
        {"below the register space", 0x00000A00, 0x8001, 0},
    };
    for (const ReadCase& c : cases) {
        uint32_t v = 0xDEADBEEF;
        EXPECT_EQ(Custom_RegRead(c.address, &v), c.code) << c.what;
        EXPECT_EQ(v, c.value) << c.what;
    }
    EXPECT_TRUE(r.log.has("reg address not implemented!."));
}

TEST(RegisterRead, SubstitutionsFollowTheRunningState)
{
    RegSpace r;
    fill(r);
    struct {
        uint32_t cpu, algo, cameraType;
        uint32_t capability, masterSlave;
    } cases[] = {
        {E_CPU_RK3568, 4, E_CAMERA_DelvoPlus, 0x70, 2},
        {E_CPU_RK3588, 4, E_CAMERA_DelvoPlus, 0, 2},
        {E_CPU_RK3568, 0, E_CAMERA_Tavo, 0x11, 0},
    };
    for (auto& c : cases) {
        r.run.cpuId = c.cpu;
        r.common().enableApplationAlgo = c.algo;
        r.run.cameraType = c.cameraType;
        EXPECT_EQ(r.read(0x10000088), c.capability);
        EXPECT_EQ(r.read(0x10000054), c.masterSlave);
    }
}

TEST(RegisterRead, WithoutTheRecordsEveryReadIsRefusedAsZero)
{
    uint32_t v = 1;
    EXPECT_EQ(Custom_RegRead(0x10000004, &v), 0x8001);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(Custom_RegRead(0x10007024, &v), 0x8001);
    EXPECT_EQ(Custom_RegWrite(0x10000004, &v), 0x8001);
    EXPECT_EQ(get_device_cfg(), nullptr);
}

TEST(RegisterRead, InputLinesAnswerWithZeroAndThreeExchanged)
{
    RegSpace r;
    linetest::LineControl model;
    const uint32_t lines[][2] = {{0, 3}, {3, 0}, {1, 1}, {2, 2}};
    for (auto& l : lines) {
        model.lines = l[0];
        EXPECT_EQ(r.read(0x10007070), l[1]) << l[0];
    }

    // Opening an avoidance algorithm on an IMX570 switches the trigger line
    // back to a plain output (a zero word, not a missing one).
    r.tof().sensorType = E_IMX570;
    r.common().outputControlMode = 2;
    EXPECT_EQ(r.write(0x1000005C, 4), 0);
    EXPECT_EQ(model.lastWord.load(), 0x302u);
    EXPECT_EQ(r.common().outputControlMode, 0u);
}

TEST(RegisterPassThrough, ReachesTheSelectedSensorOrRegisterAndNeverItself)
{
    RegSpace r;
    r.common().addressValue = 77;
    r.common().sensorAddress = 0x3100;
    // No sensor device yet: a read keeps the stored word.
    EXPECT_EQ(r.read(0x10000050), 77u);
    r.add_sensors();

    r.common().whichSensorSelect = 0;
    EXPECT_EQ(r.read(0x10000050), 0x3101u);
    EXPECT_EQ(r.write(0x10000050, 0x12345), 0);
    EXPECT_TRUE(regtest::calls().has("write_reg:tof:12544:9029"));  // 0x3100, 0x2345
    r.common().whichSensorSelect = 1;
    EXPECT_EQ(r.write(0x10000050, 5), 0);
    EXPECT_TRUE(regtest::calls().has("write_reg:rgb:12544:5"));

    r.common().whichSensorSelect = 2;
    r.common().sensorAddress = 0x10000004;
    EXPECT_EQ(r.write(0x10000050, 42), 0);
    EXPECT_EQ(r.common().acquisitionMod, 42u);
    EXPECT_EQ(r.read(0x10000050), 42u);

    // Onto itself: refused, nothing stored, and a read keeps the word.
    r.common().sensorAddress = 0x10000050;
    r.common().addressValue = 8;
    EXPECT_EQ(r.write(0x10000050, 9), 0xFFFF);
    EXPECT_EQ(r.common().addressValue, 8u);
    EXPECT_EQ(r.read(0x10000050), 8u);
}

// A group load replaces the whole block while hosts read and write words:
// each word read is one of the two images, and the sanitizer sees no race.
TEST(RegisterBlock, WholeBlockLoadsAndWordAccessShareTheBlockWithoutARace)
{
    RegSpace r;
    deviceCFG a{}, b{};
    for (uint32_t i = 0; i < DEV_CFG_SIZE / 4; i++) {
        reinterpret_cast<uint32_t*>(&a)[i] = 0x1111u;
        reinterpret_cast<uint32_t*>(&b)[i] = 0x2222u;
    }
    std::atomic<bool> done{false};
    std::thread loader([&] {
        for (int i = 0; i < 300; i++) {
            RegBlockLock lock;
            reg_block_copy_in(i & 1 ? &b : &a, sizeof(a));
        }
        done = true;
    });
    int reads = 0;
    while (!done.load() || reads < 100) {
        uint32_t v = r.read(0x10000004 + (uint32_t)(reads % 64) * 4);
        ASSERT_TRUE(v == 0x1111u || v == 0x2222u || v == 0) << std::hex << v;
        uint32_t w = 0x1111u;
        Custom_RegWrite(0x10000120, &w);
        reads++;
    }
    loader.join();
    deviceCFG out;
    {
        RegBlockLock lock;
        reg_block_copy_out(&out);
    }
    EXPECT_EQ(memcmp(&out, &b, 0x120), 0);

    // A short image leaves the rest of the block zero.
    uint8_t head[6] = {1, 2, 3, 4, 5, 6};
    reg_block_copy_in(head, sizeof(head));
    EXPECT_EQ(r.read(0x10000000), 0x04030201u);
    EXPECT_EQ(r.read(0x10000004), 0x0605u);
    EXPECT_EQ(r.read(0x10000008), 0u);
}

} // namespace
