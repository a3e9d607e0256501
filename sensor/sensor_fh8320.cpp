// FH8320 camera driver (ToF kind 900).
//
// The camera sits on I2C bus 5 at 0x20 and speaks framed messages: a write
// is 0x20 0x30 0x02 reg(2) value(2), a read sends 0x21 0x30 0x02 reg(2) and
// reads 5 bytes whose fourth is the value. Trigger and illuminator run on
// pwmchip0 and pwmchip1; the illuminator PWM is switched on by a one-shot
// timer a moment after the trigger starts.
#include "sensor/sensor_fh8320.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <atomic>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "peripheral/led.h"
#include "platform.h"
#include "sensor/sensor.h"
#include "sensor/sensor_pwm.h"
#include "sensor/v4l2_capture.h"
#include "worker.h"

namespace {

constexpr uint32 kRegCpuType = 0x10007024;
constexpr uint32 kRegExposure = 0x10001050;
constexpr uint32 kRegStartDelay = 0x10007068;

constexpr int kTriggerChip = 0;
constexpr int kVldChip = 1;
constexpr uint32 kDefaultFps = 15;
constexpr uint32 kTriggerDutyNs = 1000000;
constexpr int kDefaultDelayMs = 40;
constexpr int kWaitMs = 200;
constexpr int kDequeuePauseMs = 30;

constexpr uint16 kI2cAddr = 0x20;
constexpr uint32 kWidth = 1920;
constexpr uint32 kHeight = 1080;

// Trigger and illuminator; both bound their duty cycles by its period.
SensorPwmCamera s_cam{kTriggerChip, kVldChip};

int transfer(int fd, struct i2c_msg* msgs, unsigned n)
{
    struct i2c_rdwr_ioctl_data data{};
    data.msgs = msgs;
    data.nmsgs = n;
    return plat_ioctl(fd, I2C_RDWR, &data) < 0 ? -1 : 0;
}


void fill_ops(V4L2SensorInfo* o)
{
    o->width = o->outWidth = kWidth;
    o->height = o->outHeight = kHeight;
    o->format = V4L2_PIX_FMT_UYVY;
    o->memType = V4L2_MEMORY_MMAP;
    o->set_integration_f0 = sensor_fh8320_vld_set_integration;
    o->set_integration_f1 = sensor_fh8320_set_integration;
    o->read_reg = sensor_fh8320_read_reg;
    o->write_reg = sensor_fh8320_write_reg;
    o->vld_enable = sensor_fh8320_vld_enable;
    o->custom_read_reg = Custom_RegRead;
    o->custom_write_reg = Custom_RegWrite;
}

int init(epcore_t* core, iodev_t** ppdev)
{
    uint32 cpu = sensor_reg(kRegCpuType);
    const char* graph = cpu == E_CPU_RK3588 ? "/dev/media1" : (cpu <= E_CPU_RK3576 ? "/dev/media0" : nullptr);
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node(graph, "stream_cif_mipi_id0", node) != 0) return -1;
    int fd = plat_open(node, O_RDWR | O_NONBLOCK);
    if (fd < 1) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof sensor open.");
        if (fd >= 0) plat_close(fd);
        return -1;
    }
    char subNode[SENSOR_NODE_NAME_MAX] = "";
    char sensorName[SENSOR_NODE_NAME_MAX] = "";
    if (sensor_find_subdev(node, subNode, sensorName) == 0)
        log_info(g_logger, __FUNCTION__, __LINE__, "subDev:%s", subNode);
    // The camera is reached over I2C, not through its sub-device.
    int i2c = plat_open("/dev/i2c-5", O_RDWR);
    if (i2c < 1) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof sensor subdev open.");
        if (i2c >= 0) plat_close(i2c);
        plat_close(fd);
        return -1;
    }
    plat_ioctl(i2c, I2C_TIMEOUT, 2);
    plat_ioctl(i2c, I2C_RETRIES, 1);
    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_ENC, E_DEVICE_RGB, fd, i2c);
    if (!dev) return -1;
    fill_ops(static_cast<V4L2SensorInfo*>(dev->priv_data));
    dev->callback = sensor_fh8320_capture_raw;
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor device %d taken", E_DEVICE_RGB);
        sensor_uninit(dev);
        return -1;
    }
    if (sensor_init_device(dev) != 0) {
        sensor_uninit(dev);
        return -1;
    }
    *ppdev = dev;
    return 0;
}

} // namespace

// ---- Illuminator ----

void sensor_fh8320_delay(void)
{
    sensor_pwm_enable(kVldChip, 1);
    log_info(g_logger, __FUNCTION__, __LINE__, "sensor_uvc_delay");
}

// ---- Operations ----

uint32_t sensor_fh8320_period(void) { return s_cam.period.load(); }

int sensor_fh8320_set_fps(iodev_t*, uint32_t fps)
{
    sensor_pwmcam_set_fps(&s_cam, fps);
    return 0;
}

int sensor_fh8320_vld_set_fps(iodev_t*, uint32_t fps)
{
    sensor_pwmcam_vld_set_fps(&s_cam, fps);
    return 0;
}

int sensor_fh8320_vld_set_integration(iodev_t*, uint32_t time) { return sensor_pwmcam_vld_set_integration(&s_cam, time); }

int sensor_fh8320_set_integration(iodev_t*, uint32_t time) { return sensor_pwmcam_set_integration(&s_cam, time); }

int sensor_fh8320_write_reg(iodev_t* pdev, uint32_t address, uint16_t value)
{
    if (!pdev) return -1;
    uint8 buf[7] = {0x20, 0x30, 0x02, (uint8)(address >> 8), (uint8)address, (uint8)(value >> 8), (uint8)value};
    struct i2c_msg msg{};
    msg.addr = kI2cAddr;
    msg.len = sizeof(buf);
    msg.buf = buf;
    if (transfer(pdev->subdevFd, &msg, 1) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "read ioctlerr %s", strerror(errno));
        return -1;
    }
    return 0;
}

int sensor_fh8320_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value)
{
    if (!pdev || !value) return -1;
    uint8 out[5] = {0x21, 0x30, 0x02, (uint8)(address >> 8), (uint8)address};
    uint8 in[5] = {};
    struct i2c_msg msgs[2]{};
    msgs[0].addr = kI2cAddr;
    msgs[0].len = sizeof(out);
    msgs[0].buf = out;
    msgs[1].addr = kI2cAddr;
    msgs[1].flags = I2C_M_RD;
    msgs[1].len = sizeof(in);
    msgs[1].buf = in;
    if (transfer(pdev->subdevFd, msgs, 2) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "read ioctlerr %s", strerror(errno));
        return -1;
    }
    *value = in[3];
    return 0;
}

int sensor_fh8320_vld_enable(iodev_t* pdev, uint32_t enable)
{
    (void)pdev;
    return LED_Control(GPIO_ILLUMINATOR, enable ? 1 : 0);
}

// ---- Capture ----

int sensor_fh8320_capture_raw(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)event;
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = sensor_info_of(dev);
    if (!core || !info) return 0;
    SensorCapture cap;
    if (sensor_dequeue(dev, &cap) != 0) {
        sensor_capture_pause(kDequeuePauseMs);
        return 0;
    }
    // An empty picture is no picture.
    if (cap.bytes == 0) {
        sensor_requeue(dev, &cap);
        return 0;
    }
    int rc = 0;
    ImageInfo* img = sensor_frame_for(core, dev, E_MEMTYPE_RAW, &cap, &rc);
    if (!img) return rc;
    img->sensorIndex = 1;
    img->imageType = E_IMAGE_TYPE_RAW;
    img->width = info->width;
    img->height = info->height;
    img->outWidth = info->outWidth;
    img->outHeight = info->outHeight;
    img->pixelFormat = FH8320_PIXEL_UYVY;
    img->imageSize = cap.bytes;
    get_local_time(&img->timeStampH, &img->timeStampL);
    memcpy(img->imageData, cap.data, cap.bytes);
    sensor_raw_serve(cap.data, cap.bytes);
    sensor_requeue(dev, &cap);
    sensor_handover_drop_new(core, E_WORKER_ID_ENC, img);
    return 0;
}

// ---- Task ----

void* sensor_fh8320_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("tofsensor");
    bind_cpu_core(2);
    log_info(g_logger, __FUNCTION__, __LINE__, "===================");
    sensor_capture_bind(wk);

    iodev_t* dev = nullptr;
    if (init(core, &dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor tof init fail.");
        sensor_capture_bind(nullptr);
        worker_destory(wk);
        return nullptr;
    }
    if (sensor_start_capturing(dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor start capturing fail.");
        sensor_uninit(dev);
        sensor_capture_bind(nullptr);
        worker_destory(wk);
        return nullptr;
    }

    sensor_fh8320_vld_enable(dev, 1);
    sensor_pwm_export(kTriggerChip);
    sensor_pwm_export(kVldChip);
    sensor_fh8320_set_fps(dev, kDefaultFps);
    sensor_fh8320_vld_set_fps(dev, kDefaultFps);
    sensor_pwm_set_duty(kTriggerChip, kTriggerDutyNs, s_cam.period.load());
    sensor_fh8320_vld_set_integration(dev, sensor_reg(kRegExposure));

    int delay = (int)sensor_reg(kRegStartDelay);
    if (delay == 0) delay = kDefaultDelayMs;
    sensor_delay_start(core, delay, sensor_fh8320_delay);
    sensor_pwm_enable(kTriggerChip, 1);

    // Time-outs are only logged: the trigger may be paused for a while.
    SensorLoop loop{kWaitMs, INT32_MAX, false};
    sensor_capture_loop(wk, dev, &loop);

    sensor_stop_capturing(dev);
    sensor_pwm_release(kTriggerChip, kVldChip);
    {
        SensorOpsGuard ops;
        sensor_uninit(dev);
    }
    sensor_capture_bind(nullptr);
    log_info(g_logger, __FUNCTION__, __LINE__, "end task");
    worker_destory(wk);
    return nullptr;
}
