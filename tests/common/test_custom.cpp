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
