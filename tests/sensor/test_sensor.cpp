// Sensor operations table: a caller finds the sensor device's table in the
// core (or learns there is none); laser-driver register addresses round-trip.
// The slot order itself is pinned by the header's static_asserts. A capture
// node leads to its sensor sub-device and to its media node.
#include "sensor/sensor.h"

#include "base/corefixture.h"
#include "media-ctl/mediafixture.h"

#include <fcntl.h>

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

TEST(SensorLookup, SubdevIsTheSensorOfTheGraphHoldingTheCaptureNode)
{
    mediafx::Graph g;
    ASSERT_NO_FATAL_FAILURE(g.install());
    char sub_node[SENSOR_NODE_NAME_MAX] = "";
    char name[SENSOR_NODE_NAME_MAX] = "";
    ASSERT_EQ(sensor_find_subdev("/dev/video40", sub_node, name), 0);
    EXPECT_STREQ(sub_node, "/dev/v4l-subdev40");
    EXPECT_STREQ(name, "m00_b_imx570 4-0010");
    // No graph holds the node: every node up to /dev/media63 is tried.
    EXPECT_EQ(sensor_find_subdev("/dev/video49", sub_node, name), -1);
}

TEST(SensorLookup, AGraphWithoutSensorGivesNoSubdev)
{
    mediafx::Graph g;
    g.media.entities.erase(g.media.entities.begin());  // the sensor
    g.media.links.erase(g.media.links.begin());
    ASSERT_NO_FATAL_FAILURE(g.install());
    char sub_node[SENSOR_NODE_NAME_MAX] = "";
    char name[SENSOR_NODE_NAME_MAX] = "";
    EXPECT_EQ(sensor_find_subdev("/dev/video40", sub_node, name), -1);
}

TEST(SensorLookup, MediaNodeComesFromTheCaptureNodesSysfsDevice)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    // Any character device serves: its number leads into the board's sysfs.
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    std::string dir = board.host("/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                 std::to_string(minor(st.st_rdev)) + "/device");
    char media[SENSOR_NODE_NAME_MAX] = "";
    EXPECT_EQ(sensor_find_media_device(fd, media), -1);  // no sysfs device yet

    std::filesystem::create_directories(dir + "/mediactl");
    std::filesystem::create_directories(dir + "/media1-with-a-name-far-too-long-for-the-caller");
    EXPECT_EQ(sensor_find_media_device(fd, media), -1);  // neither is an answer
    EXPECT_STREQ(media, "");

    std::filesystem::create_directories(dir + "/media7");
    EXPECT_EQ(sensor_find_media_device(fd, media), 0);
    EXPECT_STREQ(media, "/dev/media7");
    close(fd);
    EXPECT_EQ(sensor_find_media_device(-1, media), -1);
}

// Every board profile's capture node leads to its own sensor, and an open
// capture node names its media device.
TEST(SensorLookup, EachBoardProfileFindsItsSensorsBehindItsCaptureNodes)
{
    struct Case {
        const char* profile;
        const char* video;
        const char* sensor;
        const char* media;
    };
    static const Case kCases[] = {
        {"rk3588-gpixel", "/dev/video4", "m01_b_Gpixel0503 5-0010", "/dev/media1"},
        {"rk3588-gpixel", "/dev/video0", "m00_b_sc130gs 4-0030", "/dev/media0"},
        {"rk3568-imx570", "/dev/video0", "m01_b_imx570 3-0010", "/dev/media0"},
        {"rk3568-v23", "/dev/video0", "m01_b_Gpixel0503 3-0010", "/dev/media0"},
        {"rk3588-vd55h1", "/dev/video4", "m01_b_VD55H1 5-0010", "/dev/media1"},
        {"rk3588-vd55h1", "/dev/video0", "m00_b_sc2210 4-0030", "/dev/media0"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.profile) + " " + c.video);
        BoardRoot board(c.profile);
        ASSERT_EQ(board.rc, 0);
        char sub_node[SENSOR_NODE_NAME_MAX] = "", name[SENSOR_NODE_NAME_MAX] = "";
        ASSERT_EQ(sensor_find_subdev(c.video, sub_node, name), 0);
        EXPECT_STREQ(name, c.sensor);
        EXPECT_EQ(strncmp(sub_node, "/dev/v4l-subdev", 15), 0) << sub_node;

        int fd = plat_open(c.video, O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        char media[SENSOR_NODE_NAME_MAX] = "";
        EXPECT_EQ(sensor_find_media_device(fd, media), 0);
        EXPECT_STREQ(media, c.media);
        plat_close(fd);
    }
}

} // namespace
