// IMU sample stream: worker 537 reads the BMI270 on the board's I2C bus and
// sends each sample as a UDP datagram to every connected GigE Vision host.
// The register space sets the destination port and the stream switch, and
// writes the range registers through the IMU device's write_dev_reg.
#ifndef KORVID_IMU_IMU_H
#define KORVID_IMU_IMU_H

#include <atomic>

#include "common/common.h"

#define E_DEVICE_IMU_DATA_SEND 10026

#define IMU_I2C_DEV    "/dev/i2c-3"
#define IMU_I2C_ADDR   0x69
#define IMU_CHIP_ID    0x24
#define IMU_SRC_PORT   20001   // datagrams leave from this port
#define IMU_DST_PORT   20001   // destination while imuUdpPort is 0
#define IMU_PERIOD_MS  10      // one sample every 10 ms

// Registers
#define IMU_REG_CHIP_ID   0x00
#define IMU_REG_DATA      0x0C  // accelerometer x, y, z then gyroscope x, y, z: int16, LSB first
#define IMU_REG_TIME      0x18  // 24-bit sensor time, LSB first
#define IMU_REG_ACC_RANGE 0x41
#define IMU_REG_GYR_RANGE 0x43
#define IMU_REG_PWR_CTRL  0x7D

// Destination UDP port of the datagrams (0: IMU_DST_PORT) and the stream
// switch (0 stop, other start); written by the register space.
extern std::atomic<uint32> imuUdpPort;
extern std::atomic<uint32> imuStreamEnable;

// One sample datagram, 56 bytes, in the processor's (little-endian) order.
typedef struct _ImuPacket {
    uint8  magic[4];       // "IMU0"
    uint32 seq;            // datagram number since the task started
    uint32 timeStampH;     // seconds, on the depth library's clock
    uint32 timeStampL;     // nanoseconds
    float  acc[3];         // m/s^2
    float  gyr[3];         // degrees/s
    int16  rawAcc[3];      // register values
    int16  rawGyr[3];
    uint32 sensorTime;     // 24-bit sensor time, 39.0625 us steps
} ImuPacket;

static_assert(sizeof(ImuPacket) == 56, "IMU datagrams are 56 bytes");

// Body of worker 537; `arg` is the worker_t.
void* imu_task(void* arg);

// The IMU device's write_dev_reg: writes `length` bytes to consecutive IMU
// registers from `reg`. 0, or -1 when the IMU is not open or a write fails.
int imu_write_dev_reg(uint8 reg, uint8* data, uint32 length);

#endif
