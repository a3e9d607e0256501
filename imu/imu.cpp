// IMU sample stream over UDP.
//
// The task probes the IMU, powers its accelerometer and gyroscope, creates
// device 10026 (a UDP socket on port 20001 carrying UDPServerPrivData) and
// then, while the stream switch is on, reads one sample every 10 ms and
// sends it to every host in the core's user list, under the list's lock.
#include "imu/imu.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "GigE/gvcp.h"
#include "common/custom.h"
#include "epcore.h"
#include "epudp.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "platform.h"
#include "server/udp_server.h"
#include "worker.h"

std::atomic<uint32> imuUdpPort{0};
std::atomic<uint32> imuStreamEnable{0};

namespace {

constexpr int kIdleMs = 50;
constexpr float kGravity = 9.80665f;
constexpr uint8 kPowerAccGyrTemp = 0x0E;

// The bus descriptor; register writes from the register space and the
// task's reads take turns on it.
CRITICAL_SECTION s_imuCS = PTHREAD_MUTEX_INITIALIZER;
int s_imuFd = -1;
std::atomic<uint8> s_accRange{0};
std::atomic<uint8> s_gyrRange{0};

struct ImuLock {
    ImuLock() { EnterCriticalSection(&s_imuCS); }
    ~ImuLock() { LeaveCriticalSection(&s_imuCS); }
    ImuLock(const ImuLock&) = delete;
    ImuLock& operator=(const ImuLock&) = delete;
};

// Reads n consecutive registers from reg; the caller holds s_imuCS.
bool read_regs(uint8 reg, uint8* out, size_t n)
{
    if (s_imuFd < 0 || plat_ioctl(s_imuFd, I2C_SLAVE, (unsigned long)IMU_I2C_ADDR) < 0) return false;
    if (plat_write(s_imuFd, &reg, 1) != 1) return false;
    return plat_read(s_imuFd, out, n) == (ssize_t)n;
}

bool write_reg(uint8 reg, uint8 value)
{
    if (s_imuFd < 0 || plat_ioctl(s_imuFd, I2C_SLAVE, (unsigned long)IMU_I2C_ADDR) < 0) return false;
    uint8 buf[2] = {reg, value};
    return plat_write(s_imuFd, buf, 2) == 2;
}

void note_range(uint8 reg, uint8 value)
{
    if (reg == IMU_REG_ACC_RANGE) s_accRange.store(value & 0x03);
    if (reg == IMU_REG_GYR_RANGE) s_gyrRange.store(value & 0x07);
}

// Opens the bus, checks the chip id and powers the sensors.
bool imu_open()
{
    int fd = plat_open(IMU_I2C_DEV, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "open %s fail", IMU_I2C_DEV);
        return false;
    }
    ImuLock lock;
    s_imuFd = fd;
    uint8 id = 0, ranges[3] = {};
    if (!read_regs(IMU_REG_CHIP_ID, &id, 1) || id != IMU_CHIP_ID) {
        log_error(g_logger, __FUNCTION__, __LINE__, "imu chip id error:0x%x", id);
        plat_close(fd);
        s_imuFd = -1;
        return false;
    }
    write_reg(IMU_REG_PWR_CTRL, kPowerAccGyrTemp);
    if (read_regs(IMU_REG_ACC_RANGE, ranges, 3)) {
        note_range(IMU_REG_ACC_RANGE, ranges[0]);
        note_range(IMU_REG_GYR_RANGE, ranges[2]);
    }
    return true;
}

void imu_close()
{
    ImuLock lock;
    if (s_imuFd >= 0) plat_close(s_imuFd);
    s_imuFd = -1;
}

int16 le16(const uint8* p) { return (int16)(uint16)(p[0] | p[1] << 8); }

bool read_sample(ImuPacket* pkt)
{
    uint8 data[12], time[3];
    {
        ImuLock lock;
        if (!read_regs(IMU_REG_DATA, data, sizeof(data)) || !read_regs(IMU_REG_TIME, time, sizeof(time)))
            return false;
    }
    static constexpr float kAccG[4] = {2.0f, 4.0f, 8.0f, 16.0f};
    static constexpr float kGyrDps[8] = {2000.0f, 1000.0f, 500.0f, 250.0f, 125.0f, 125.0f, 125.0f, 125.0f};
    float accScale = kAccG[s_accRange.load() & 3] * kGravity / 32768.0f;
    float gyrScale = kGyrDps[s_gyrRange.load() & 7] / 32768.0f;
    for (int i = 0; i < 3; i++) {
        pkt->rawAcc[i] = le16(data + 2 * i);
        pkt->rawGyr[i] = le16(data + 6 + 2 * i);
        pkt->acc[i] = pkt->rawAcc[i] * accScale;
        pkt->gyr[i] = pkt->rawGyr[i] * gyrScale;
    }
    pkt->sensorTime = (uint32)time[0] | (uint32)time[1] << 8 | (uint32)time[2] << 16;
    get_local_time(&pkt->timeStampH, &pkt->timeStampL);
    return true;
}

iodev_t* device_create(epcore_t* core)
{
    int fd = epudp_socket_create("0.0.0.0", IMU_SRC_PORT);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "imu socket create fail.");
        return nullptr;
    }
    iodev_t* dev = iodev_new(core);
    auto* priv = static_cast<UDPServerPrivData*>(kzalloc(sizeof(UDPServerPrivData)));
    if (!dev || !priv) {
        log_error(g_logger, __FUNCTION__, __LINE__, "imu iodev new fail.");
        if (dev) iodev_discard(dev);
        kfree(priv);
        close(fd);
        return nullptr;
    }
    dev->fd = fd;
    dev->id = E_DEVICE_IMU_DATA_SEND;
    dev->subdevFd = -1;
    dev->fdtype = IODEV_FILE;
    dev->iostate = IOSTATE_READY;
    dev->cbpara = core;
    priv->read_reg = Custom_RegRead;
    priv->write_reg = Custom_RegWrite;
    priv->read_mem = Custom_MemRead;
    priv->write_mem = Custom_MemWrite;
    priv->send_to = epudp_send_to;
    priv->recv_from = epudp_recv;
    priv->write_dev_reg = imu_write_dev_reg;
    dev->priv_data = priv;
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "imu iodev add fail.");
        kfree(priv);
        dev->priv_data = nullptr;
        iodev_discard(dev);
        close(fd);
        return nullptr;
    }
    return dev;
}

void device_close(iodev_t* dev)
{
    void* priv = dev->priv_data;
    iodev_close(dev);
    kfree(priv);
}

// Sends one datagram to every connected host.
void send_to_users(epcore_t* core, iodev_t* dev, const ImuPacket* pkt)
{
    auto* priv = static_cast<UDPServerPrivData*>(dev->priv_data);
    uint32 port = imuUdpPort.load();
    dev->remote_port = (uint16)(port ? port : IMU_DST_PORT);
    EnterCriticalSection(&core->userCS);
    for (void* item = lt_first(core->user_info); item; item = lt_get_next(item)) {
        const UserInfo* user = static_cast<const UserInfo*>(item);
        snprintf(dev->remote_ip, sizeof(dev->remote_ip), "%s", user->user_ip);
        priv->send_to(dev, pkt, sizeof(*pkt));
    }
    LeaveCriticalSection(&core->userCS);
}

} // namespace

int imu_write_dev_reg(uint8 reg, uint8* data, uint32 length)
{
    if (!data) return -1;
    ImuLock lock;
    for (uint32 i = 0; i < length; i++) {
        uint8 r = (uint8)(reg + i);
        if (!write_reg(r, data[i])) return -1;
        note_range(r, data[i]);
    }
    return 0;
}

void* imu_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    set_task_name("imu");
    iodev_t* dev = nullptr;
    if (imu_open()) {
        dev = device_create(core);
        if (!dev) imu_close();
    }
    if (dev) {
        log_info(g_logger, __FUNCTION__, __LINE__, "imu fd:%d", dev->fd);
        ImuPacket pkt{};
        memcpy(pkt.magic, "IMU0", 4);
        while (!core->quit.load() && !wk->quit.load()) {
            if (!imuStreamEnable.load()) {
                event_wait(wk->ioevent, kIdleMs);
                continue;
            }
            if (read_sample(&pkt)) {
                send_to_users(core, dev, &pkt);
                pkt.seq++;
            }
            event_wait(wk->ioevent, IMU_PERIOD_MS);
        }
        device_close(dev);
        imu_close();
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end imu task");
    worker_destory(wk);
    return nullptr;
}
