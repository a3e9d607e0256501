// Sensor operations table: a caller finds the sensor device's table in the
// core (or learns there is none); laser-driver register addresses round-trip.
// The slot order itself is pinned by the header's static_asserts.
#include "sensor/sensor.h"

#include "base/corefixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

int fake_set_fps(iodev_t*, uint32_t fps) { return (int)fps; }

struct SensorTable : CoreFixture {
    std::vector<iodev_t*> devs;
    void TearDown() override
    {
        for (iodev_t* d : devs) {
            d->priv_data = nullptr;
            iodev_close(d);
        }
        CoreFixture::TearDown();
    }
    iodev_t* add_device(uint64_t id, void* priv)
    {
        iodev_t* d = iodev_new(core);
        d->id = id;
        d->priv_data = priv;
        EXPECT_EQ(epcore_iodev_add(core, d), 0);
        devs.push_back(d);
        return d;
    }
};

TEST_F(SensorTable, TableIsFoundOnlyOnARegisteredDeviceThatCarriesOne)
{
    iodev_t* dev = reinterpret_cast<iodev_t*>(1);
    EXPECT_EQ(sensor_info_find(core, E_DEVICE_TOF, &dev), nullptr);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(sensor_info_find(nullptr, E_DEVICE_TOF, nullptr), nullptr);

    V4L2SensorInfo info{};
    info.set_fps = fake_set_fps;
    iodev_t* tof = add_device(E_DEVICE_TOF, &info);
    add_device(E_DEVICE_RGB, nullptr);

    V4L2SensorInfo* ops = sensor_info_find(core, E_DEVICE_TOF, &dev);
    ASSERT_EQ(ops, &info);
    EXPECT_EQ(dev, tof);
    EXPECT_EQ(ops->set_fps(dev, 24), 24);
    EXPECT_EQ(ops->get_fps, nullptr); // an empty slot, for the caller to skip
    EXPECT_EQ(sensor_info_find(core, E_DEVICE_RGB, &dev), nullptr);
    EXPECT_EQ(dev, nullptr);

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
}

} // namespace
