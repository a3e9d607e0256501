// Sensor operations table: a driver fills some slots, a caller finds the
// sensor device in the core and reaches the operations through the table,
// skipping empty slots; laser-driver register addresses round-trip.
#include "sensor/sensor.h"

#include "epcore.h"
#include "iodev.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A pretend driver: remembers what it was told.
struct FakeSensor {
    uint32_t fps = 0;
    uint32_t gain = 0;
    uint16_t regs[256] = {};
};
FakeSensor g_fake;
uint32_t g_reg_value = 0;

int fake_set_fps(iodev_t*, uint32_t fps) { g_fake.fps = fps; return 0; }
int fake_get_fps(iodev_t*, uint32_t* fps) { *fps = g_fake.fps; return 0; }
int fake_set_gain(iodev_t*, uint32_t gain) { g_fake.gain = gain; return 0; }
int fake_write_reg(iodev_t*, uint32_t a, uint16_t v) { g_fake.regs[a & 0xFF] = v & 0xFF; return 0; }
int fake_read_reg(iodev_t*, uint32_t a, uint16_t* v) { *v = g_fake.regs[a & 0xFF]; return 0; }
int fake_custom_read(uint32_t, uint32_t* v) { *v = g_reg_value; return 0; }
int fake_custom_write(uint32_t, uint32_t* v) { g_reg_value = *v; return 0; }

class SensorTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        core = epcore_new(0, 1);
        ASSERT_NE(core, nullptr);
        g_fake = FakeSensor{};
        g_reg_value = 0;
    }
    void TearDown() override
    {
        for (iodev_t* d : devs) {
            d->priv_data = nullptr;
            iodev_close(d);
        }
        epcore_clean(core);
    }
    iodev_t* add_device(uint64_t id, void* priv)
    {
        iodev_t* d = iodev_new(core);
        EXPECT_NE(d, nullptr);
        d->id = id;
        d->priv_data = priv;
        EXPECT_EQ(epcore_iodev_add(core, d), 0);
        devs.push_back(d);
        return d;
    }
    epcore_t* core = nullptr;
    std::vector<iodev_t*> devs;
};

}  // namespace

TEST_F(SensorTable, CallerReachesTheDriverThroughTheTableAndSkipsEmptySlots)
{
    V4L2SensorInfo info{};
    info.set_fps = fake_set_fps;
    info.get_fps = fake_get_fps;
    info.set_gain = fake_set_gain;
    info.read_reg = fake_read_reg;
    info.write_reg = fake_write_reg;
    info.custom_read_reg = fake_custom_read;
    info.custom_write_reg = fake_custom_write;
    iodev_t* tof = add_device(E_DEVICE_TOF, &info);

    iodev_t* dev = nullptr;
    V4L2SensorInfo* ops = sensor_info_find(core, E_DEVICE_TOF, &dev);
    ASSERT_EQ(ops, &info);
    EXPECT_EQ(dev, tof);

    ASSERT_NE(ops->set_fps, nullptr);
    EXPECT_EQ(ops->set_fps(dev, 24), 0);
    uint32_t fps = 0;
    EXPECT_EQ(ops->get_fps(dev, &fps), 0);
    EXPECT_EQ(fps, 24u);
    EXPECT_EQ(ops->set_gain(dev, 10), 0);
    EXPECT_EQ(g_fake.gain, 10u);

    // Only the low byte of a register write reaches the sensor.
    EXPECT_EQ(ops->write_reg(dev, 0x3030, 0x1234), 0);
    uint16_t v = 0;
    EXPECT_EQ(ops->read_reg(dev, 0x3030, &v), 0);
    EXPECT_EQ(v, 0x34);

    // A driver reads its settings through the register-space slots.
    uint32_t word = 15;
    EXPECT_EQ(ops->custom_write_reg(0x1000202C, &word), 0);
    word = 0;
    EXPECT_EQ(ops->custom_read_reg(0x1000202C, &word), 0);
    EXPECT_EQ(word, 15u);

    // Slots the driver did not fill are empty and a caller skips them.
    EXPECT_EQ(ops->set_all_freq, nullptr);
    EXPECT_EQ(ops->get_n_pulse_f1, nullptr);
    EXPECT_EQ(ops->custom_read_mem, nullptr);
    EXPECT_EQ(ops->custom_write_mem, nullptr);
}

TEST_F(SensorTable, MissingSensorOrTableIsNotFound)
{
    iodev_t* dev = reinterpret_cast<iodev_t*>(1);
    EXPECT_EQ(sensor_info_find(core, E_DEVICE_RGB, &dev), nullptr);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(sensor_info_find(nullptr, E_DEVICE_TOF, nullptr), nullptr);

    add_device(E_DEVICE_RGB, nullptr);
    EXPECT_EQ(sensor_info_find(core, E_DEVICE_RGB, &dev), nullptr);
    EXPECT_EQ(dev, nullptr);

    V4L2SensorInfo tof{};
    add_device(E_DEVICE_TOF, &tof);
    EXPECT_EQ(sensor_info_find(core, E_DEVICE_TOF, nullptr), &tof);
    EXPECT_EQ(sensor_info_find(core, E_DEVICE_RGB, nullptr), nullptr)
        << "the colour device still has no table";
}

TEST(SensorRegAddress, LaserDriverAddressesRoundTrip)
{
    for (uint32_t index = 0; index <= 2; index++) {
        for (uint32_t reg = 0; reg <= 0xFF; reg++) {
            uint32_t a = sensor_laser_address(index, reg);
            ASSERT_TRUE(sensor_reg_is_laser(a));
            ASSERT_EQ(sensor_laser_index(a), index);
            ASSERT_EQ(sensor_laser_reg(a), reg);
        }
    }
    EXPECT_EQ(sensor_laser_address(2, 0x11), 0x50011u);
    // Without bit 16 the address is a plain 16-bit sensor register.
    EXPECT_FALSE(sensor_reg_is_laser(0xFFFF));
    EXPECT_FALSE(sensor_reg_is_laser(0x3030));
    EXPECT_TRUE(sensor_reg_is_laser(0x10000));
}
