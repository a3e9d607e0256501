// IMU samples streamed to the connected hosts over loopback UDP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "GigE/gvcp.h"
#include "algo/algotest.h"
#include "imu/imu.h"
#include "iodev.h"
#include "memory.h"
#include "platform/boardroot.h"
#include "server/udp_server.h"

using namespace algotest;

namespace {

struct Receiver {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    Receiver()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Receiver() { close(fd); }
    ssize_t recv(ImuPacket* pkt, int ms = 5000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return -1;
        return ::recv(fd, pkt, sizeof(*pkt) + 1, 0);
    }
};

struct ImuStream : ::testing::Test {
    LogCapture log;
    BoardRoot board;
    FrameCore fc;
    Receiver rx;
    UserInfo* user = static_cast<UserInfo*>(kzalloc(sizeof(UserInfo)));
    ImuStream()
    {
        strcpy(user->user_ip, "127.0.0.1");
        EnterCriticalSection(&fc.core->userCS);
        lt_append(fc.core->user_info, user);
        LeaveCriticalSection(&fc.core->userCS);
        imuUdpPort = rx.port;
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
};

TEST_F(ImuStream, SamplesReachEveryHostOnlyWhileSwitchedOn)
{
    ASSERT_EQ(board.rc, 0);
    // accelerometer x = 0x4000 (half the +-2 g range), gyroscope z = -2
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_DATA + 1, 0x40);
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_DATA + 10, 0xFE);
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_DATA + 11, 0xFF);
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_TIME, 0x21);
    fc.start(E_WORKER_ID_IMU_TASK, imu_task);
    ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND) != nullptr; }));

    ImuPacket pkt{};
    EXPECT_EQ(rx.recv(&pkt, 100), -1);  // switched off
    imuStreamEnable = 1;
    ASSERT_EQ(rx.recv(&pkt), (ssize_t)sizeof(ImuPacket));
    EXPECT_EQ(memcmp(pkt.magic, "IMU0", 4), 0);
    EXPECT_EQ(pkt.rawAcc[0], 0x4000);
    EXPECT_EQ(pkt.rawGyr[2], -2);
    EXPECT_FLOAT_EQ(pkt.acc[0], 0.5f * 2 * 9.80665f);
    EXPECT_EQ(pkt.sensorTime, 0x21u);
    unsigned pwr = 0;
    sim_i2c_get_reg(3, IMU_I2C_ADDR, IMU_REG_PWR_CTRL, &pwr);
    EXPECT_EQ(pwr, 0x0Eu);
}

TEST_F(ImuStream, RangeWritesGoToTheImuAndRescaleSamples)
{
    ASSERT_EQ(board.rc, 0);
    sim_i2c_set_reg(3, IMU_I2C_ADDR, IMU_REG_DATA + 1, 0x40);
    fc.start(E_WORKER_ID_IMU_TASK, imu_task);
    ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND) != nullptr; }));
    iodev_t* dev = epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND);
    auto* priv = static_cast<UDPServerPrivData*>(dev->priv_data);
    ASSERT_NE(priv->write_dev_reg, nullptr);
    uint8 acc = 3, gyr = 4;
    EXPECT_EQ(priv->write_dev_reg(IMU_REG_ACC_RANGE, &acc, 1), 0);
    EXPECT_EQ(priv->write_dev_reg(IMU_REG_GYR_RANGE, &gyr, 1), 0);
    unsigned v = 0;
    sim_i2c_get_reg(3, IMU_I2C_ADDR, IMU_REG_ACC_RANGE, &v);
    EXPECT_EQ(v, 3u);
    sim_i2c_get_reg(3, IMU_I2C_ADDR, IMU_REG_GYR_RANGE, &v);
    EXPECT_EQ(v, 4u);

    imuStreamEnable = 1;
    ImuPacket pkt{};
    ASSERT_EQ(rx.recv(&pkt), (ssize_t)sizeof(ImuPacket));
    EXPECT_FLOAT_EQ(pkt.acc[0], 0.5f * 16 * 9.80665f);

    fc.stop_tasks();
    EXPECT_EQ(epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND), nullptr);
    EXPECT_EQ(imu_write_dev_reg(IMU_REG_ACC_RANGE, &acc, 1), -1);  // closed with the task
}

TEST(ImuAbsent, TaskEndsWithoutADevice)
{
    LogCapture log;
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    sim_i2c_set_absent(3, IMU_I2C_ADDR, 1);
    FrameCore fc;
    fc.start(E_WORKER_ID_IMU_TASK, imu_task);
    EXPECT_TRUE(fc.gone(E_WORKER_ID_IMU_TASK));
    EXPECT_EQ(epcore_iodev_find(fc.core, E_DEVICE_IMU_DATA_SEND), nullptr);
    EXPECT_TRUE(log.has("imu chip id error"));
}

} // namespace
