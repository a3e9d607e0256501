// IMU samples streamed to the connected hosts over loopback UDP.
#include <gtest/gtest.h>

#include <math.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include "GigE/gvcp.h"
#include "algo/algotest.h"
#include "imu/imu.h"
#include "iodev.h"
#include "memory.h"
#include "platform/boardroot.h"
#include "server/udp_server.h"

using namespace algotest;

namespace {

struct ImuStream : ::testing::Test {
    LogCapture log;
    BoardRoot board;
    FrameCore fc;
    int port = 0;
    testfs::Fd rx{pumptest::loopback_socket(SOCK_DGRAM, &port)};
    UserInfo* user = static_cast<UserInfo*>(kzalloc(sizeof(UserInfo)));
    ImuStream()
    {
        strcpy(user->user_ip, "127.0.0.1");
        EnterCriticalSection(&fc.core->userCS);
        lt_append(fc.core->user_info, user);
        LeaveCriticalSection(&fc.core->userCS);
        imuUdpPort = (uint32)port;
        imuStreamEnable = 0;
    }
    ~ImuStream() override
    {
        fc.stop_tasks();
        EnterCriticalSection(&fc.core->userCS);
        lt_delete_ptr(fc.core->user_info, user);
        LeaveCriticalSection(&fc.core->userCS);
        kfree(user);
        imuUdpPort = 0;
        imuStreamEnable = 0;
    }
    ssize_t recv(ImuPacket* pkt, int ms = pumptest::kEventWaitMs)
    {
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return -1;
        return ::recv(rx, pkt, sizeof(*pkt) + 1, 0);
    }
};

TEST_F(ImuStream, SamplesReachTheHostsWhileSwitchedOnScaledByTheWrittenRanges)
{
    ASSERT_EQ(board.rc, 0);
    // accelerometer x = 0x4000 (half the range), gyroscope z = -2
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_DATA + 1, 0x40);
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_DATA + 10, 0xFE);
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_DATA + 11, 0xFF);
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_TIME, 0x21);
    fc.start(E_WORKER_ID_IMU_TASK, imu_task);
    ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND) != nullptr; }));
    unsigned v = 0;
    sim_i2c_get_reg(3, IMU_I2C_ADDR, IMU_REG_PWR_CTRL, &v);
    EXPECT_EQ(v, 0x0Eu);

    ImuPacket pkt{};
    EXPECT_EQ(recv(&pkt, 100), -1); // switched off
    imuStreamEnable = 1;
    ASSERT_EQ(recv(&pkt), (ssize_t)sizeof(ImuPacket));
    EXPECT_EQ(memcmp(pkt.magic, "IMU0", 4), 0);
    EXPECT_EQ(pkt.rawAcc[0], 0x4000);
    EXPECT_EQ(pkt.rawGyr[2], -2);
    EXPECT_FLOAT_EQ(pkt.acc[0], 0.5f * 2 * 9.80665f);
    EXPECT_EQ(pkt.sensorTime, 0x21u);

    // The register space writes the range through the device's private data.
    auto* priv = static_cast<UDPServerPrivData*>(epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND)->priv_data);
    uint8 acc = 3;
    EXPECT_EQ(priv->write_dev_reg(IMU_REG_ACC_RANGE, &acc, 1), 0);
    sim_i2c_get_reg(3, IMU_I2C_ADDR, IMU_REG_ACC_RANGE, &v);
    EXPECT_EQ(v, 3u);
    ASSERT_TRUE(wait_until([&] { return recv(&pkt) > 0 && fabsf(pkt.acc[0] - 0.5f * 16 * 9.80665f) < 1e-3f; }));

    fc.stop_tasks();
    EXPECT_EQ(epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND), nullptr);
    EXPECT_EQ(imu_write_dev_reg(IMU_REG_ACC_RANGE, &acc, 1), -1); // closed with the task
}

TEST_F(ImuStream, WithoutTheImuTheTaskEndsWithoutADevice)
{
    ASSERT_EQ(board.rc, 0);
    sim_i2c_set_absent(3, IMU_I2C_ADDR, 1);
    fc.start(E_WORKER_ID_IMU_TASK, imu_task);
    EXPECT_TRUE(fc.gone(E_WORKER_ID_IMU_TASK));
    EXPECT_EQ(epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND), nullptr);
    EXPECT_TRUE(log.has("imu chip id error"));
}

} // namespace
