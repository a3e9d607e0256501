// Register block layout: fields written through the records land at the byte
// offsets hosts address, a saved byte image loads back into the right
// fields, and single words move whole between threads.
#include "common/custom.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <thread>
#include <vector>

namespace {

uint32_t word_at(const uint8_t* image, size_t off)
{
    return uint32_t(image[off]) | uint32_t(image[off + 1]) << 8 | uint32_t(image[off + 2]) << 16 |
           uint32_t(image[off + 3]) << 24;
}

void put_word(uint8_t* image, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++) image[off + i] = uint8_t(v >> (8 * i));
}

// Byte position inside the 3072-byte block of a register on one of its pages.
size_t block_offset(uint32_t address)
{
    uint32_t page = address & REG_PAGE_MASK;
    size_t area = page == REG_PAGE_COMMON ? 0 : page == REG_PAGE_RGB ? 1024 : 2048;
    return area + (address & REG_OFFSET_MASK);
}

}  // namespace

TEST(CustomLayout, FieldsWrittenThroughTheBlockLandAtTheirRegisterAddresses)
{
    deviceCFG cfg{};
    SensorInfo& rgb = cfg.sensor[DEV_CFG_SENSOR_RGB].info;
    SensorInfo& tof = cfg.sensor[DEV_CFG_SENSOR_TOF].info;
    cfg.common.acquisitionStartStop = 0x11;
    cfg.common.enableGray = 0x12;
    cfg.common.enableDepth = 0x13;
    cfg.common.enableApplationAlgo = 4;
    cfg.common.reserved[5] = 0x14;
    cfg.common.photodiodeBias = 1.5f;
    cfg.common.glareLevel = 0x15;
    rgb.sensorType = E_SMARTSENS_SC230AI;
    rgb.width = 1920;
    rgb.groupCFreq = 13000;
    tof.sensorType = E_IMX570;
    tof.LD_temperature = -12.25f;
    tof.globalOffset = -7;
    tof.freqMode = 5;
    tof.tofDataMode = 0x16;

    uint8_t image[DEV_CFG_SIZE];
    std::memcpy(image, &cfg, sizeof image);

    struct { uint32_t address; uint32_t value; } expect[] = {
        {0x10000000, 0x11},
        {0x1000001C, 0x12},
        {0x10000024, 0x13},
        {0x1000005C, 4},
        {0x100000C8, 0x14},
        {0x100000E4, std::bit_cast<uint32_t>(1.5f)},
        {0x1000011C, 0x15},
        {0x10001000, 3},
        {0x10001004, 1920},
        {0x10001050, 13000},
        {0x10002000, 300},
        {0x10002038, std::bit_cast<uint32_t>(-12.25f)},
        {0x10002090, uint32_t(-7)},
        {0x10002068, 5},
        {0x100020EC, 0x16},
    };
    for (auto& e : expect) {
        EXPECT_EQ(word_at(image, block_offset(e.address)), e.value) << std::hex << e.address;
    }
    EXPECT_EQ(word_at(image, 0x24), 0x13u) << "enableDepth at byte 0x24";
    EXPECT_EQ(word_at(image, 2048), 300u) << "ToF kind at byte 2048";

    // The padding of every area stays zero.
    for (size_t off = 288; off < 1024; off++) ASSERT_EQ(image[off], 0) << off;
    for (size_t off = 1024 + 240; off < 2048; off++) ASSERT_EQ(image[off], 0) << off;
    for (size_t off = 2048 + 240; off < 3072; off++) ASSERT_EQ(image[off], 0) << off;
}

TEST(CustomLayout, SavedImageLoadsIntoTheNamedFields)
{
    std::vector<uint8_t> file(DEV_CFG_SIZE, 0);
    put_word(file.data(), block_offset(0x10000020), 1);            // enableAmp
    put_word(file.data(), block_offset(0x10000028), 1);            // enableRgb
    put_word(file.data(), block_offset(0x10000034), 640);          // width
    put_word(file.data(), block_offset(0x10000094), 0x10003);      // customParamGroup
    put_word(file.data(), block_offset(0x10001008), 960);          // colour heigth
    put_word(file.data(), block_offset(0x100010D8), 1);            // colour enableAutoExposure
    put_word(file.data(), block_offset(0x10002004), 640);          // ToF width
    put_word(file.data(), block_offset(0x10002008), 480);          // ToF heigth
    put_word(file.data(), block_offset(0x100020C4), std::bit_cast<uint32_t>(0.75f));  // RmFlyPixelK0

    deviceCFG cfg;
    ASSERT_EQ(file.size(), sizeof cfg);
    std::memcpy(&cfg, file.data(), file.size());
    EXPECT_EQ(cfg.common.enableAmp, 1u);
    EXPECT_EQ(cfg.common.enableRgb, 1u);
    EXPECT_EQ(cfg.common.width, 640u);
    EXPECT_EQ(cfg.common.customParamGroup, 0x10003u);
    EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_RGB].info.heigth, 960u);
    EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_RGB].info.enableAutoExposure, 1u);
    EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.width, 640u);
    EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.heigth, 480u);
    EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.RmFlyPixelK0, 0.75f);
    EXPECT_EQ(cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType, 0u);

    // The block is also read as an array of words by page offset.
    const uint32_t* words = reinterpret_cast<const uint32_t*>(&cfg);
    EXPECT_EQ(words[block_offset(0x10002008) / 4], 480u);
}

TEST(CustomLayout, RuntimeRecordHoldsItsWordsAtPageOffsets)
{
    deviceRegMemAddr rt{};
    rt.cameraType = E_CAMERA_DelvoPlus;
    rt.enableRaw = 1;
    rt.cpuId = E_CPU_RK3568;
    rt.apdVoltage = 42.5f;
    rt.MCILevel = -2;
    rt.devBoardVersion = E_BOARD_VERSION_V2_3;
    rt.richRadarPort = 2368;

    uint8_t image[REG_MEM_ADDR_SIZE];
    std::memcpy(image, &rt, sizeof image);
    EXPECT_EQ(word_at(image, 0x10007000 - REG_PAGE_RUNTIME), 6002u);
    EXPECT_EQ(word_at(image, 0x10007018 - REG_PAGE_RUNTIME), 1u);
    EXPECT_EQ(word_at(image, 0x10007024 - REG_PAGE_RUNTIME), 1u);
    EXPECT_EQ(word_at(image, 0x10007034 - REG_PAGE_RUNTIME), std::bit_cast<uint32_t>(42.5f));
    EXPECT_EQ(word_at(image, 0x10007058 - REG_PAGE_RUNTIME), uint32_t(-2));
    EXPECT_EQ(word_at(image, 0x10007060 - REG_PAGE_RUNTIME), 2u);
    EXPECT_EQ(word_at(image, 0x10007078 - REG_PAGE_RUNTIME), 2368u);
}

TEST(CustomRegisterSpace, StartsUninitialised)
{
    EXPECT_EQ(g_dev_cfg, nullptr);
    EXPECT_EQ(g_regMemAddr, nullptr);
}

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
