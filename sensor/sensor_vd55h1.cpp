// ST VD55H1 ToF driver (sensor kind 200).
//
// The sensor's registers are 16-bit addresses holding bytes, reached through
// the private sub-device requests. It keeps its settings in two register
// banks: every multi-byte value is written least significant byte first,
// once into each bank. Worker 500 sets the sensor up, configures it from the
// ToF register page and captures through the shared capture core; its frames
// go to the depth intake worker 512 through a one-slot mailbox that drops
// the new frame while the slot is full.
#include "sensor/sensor_vd55h1.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "algo/algo_tavo.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "hashtab.h"
#include "iodev.h"
#include "log/logger.h"
#include "media-ctl/libmediactl.h"
#include "memory.h"
#include "platform.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "worker.h"

namespace {

// ---- Register space addresses the driver reads ----

constexpr uint32 kRegFps = 0x1000202C;
constexpr uint32 kRegHfilp = 0x1000203C;
constexpr uint32 kRegVfilp = 0x10002040;
constexpr uint32 kRegGain = 0x10002044;
constexpr uint32 kRegGroupA = 0x1000206C;
constexpr uint32 kRegGroupB = 0x10002070;
constexpr uint32 kRegInteA = 0x1000209C;
constexpr uint32 kRegInteB = 0x100020A0;
constexpr uint32 kRegCpuId = 0x10007024;

// ---- Sensor registers: first byte of each value, per bank ----

constexpr uint16 kPeriod[2] = {1600, 1648};    // 16 bits
constexpr uint16 kLengthF0[2] = {1604, 1652};  // 32 bits
constexpr uint16 kLengthF1[2] = {1608, 1656};  // 32 bits
constexpr uint16 kFirstFreq = 1612;            // 32 bits, Hz
constexpr uint16 kSecondFreq = 1660;           // 32 bits, Hz
constexpr uint16 kOrientation = 1290;          // 1 horizontal flip, 2 vertical flip
// Laser-driver registers set to 6 at start, on all three drivers.
constexpr uint32 kLaserRegs[2] = {0x38, 0x68};
constexpr uint16 kLaserSetting = 6;

constexpr uint32 kWidth = 1344, kHeight = 9656;
constexpr uint32 kOutWidth = 672, kOutHeight = 804;
constexpr uint32 kPixelMono12 = 0x01100005;
constexpr int kCpuCore = 2;
constexpr int kLoopWaitMs = 200;
constexpr int kDequeuePauseMs = 30;

constexpr auto& reg = sensor_reg;

constexpr auto& subdev_of = sensor_subdev_of;
constexpr auto& info_of = sensor_info_of;

constexpr auto& sreg_write = sensor_subdev_write;

// `bytes` bytes of `value`, least significant first, from register `first` on.
void write_le(int fd, uint16 first, uint32 value, int bytes)
{
    for (int i = 0; i < bytes; i++) sreg_write(fd, (uint16)(first + i), (uint8)(value >> (8 * i)));
}

void write_banks(int fd, const uint16 (&first)[2], uint32 value, int bytes)
{
    for (uint16 f : first) write_le(fd, f, value, bytes);
}

void fill_ops(V4L2SensorInfo* o)
{
    o->set_fps = sensor_vd55h1_set_fps;
    o->set_first_freq = sensor_vd55h1_set_First_Frequcncy;
    o->set_second_freq = sensor_vd55h1_set_Second_Frequcncy;
    o->set_gain = sensor_vd55h1_set_pga_gain;
    o->set_vfilp = sensor_vd55h1_set_vfilp;
    o->set_hfilp = sensor_vd55h1_set_hfilp;
    o->read_reg = sensor_vd55h1_read_reg;
    o->write_reg = sensor_vd55h1_write_reg;
    o->switch_mode = sensor_vd55h1_switch_mode;
    o->vld_enable = sensor_vd55h1_vld_enable;
    o->set_n_inte_length_f0 = sensor_vd55h1_set_inte_length_F0;
    o->set_n_inte_length_f1 = sensor_vd55h1_set_inte_length_F1;
    o->set_n_pulse_f0 = sensor_vd55h1_set_n_pulse_F0;
    o->set_n_pulse_f1 = sensor_vd55h1_set_n_pulse_F1;
    o->custom_read_reg = Custom_RegRead;
    o->custom_write_reg = Custom_RegWrite;
}

// The media node of the ToF graph by CPU type, as for the Gpixel; NULL for a
// type without one.
const char* tof_graph(uint32 cpu)
{
    switch (cpu) {
    case E_CPU_RK3588: return "/dev/media1";
    case E_CPU_RK3568: return "/dev/media0";
    default: return nullptr;
    }
}

void configure(iodev_t* dev)
{
    V4L2SensorInfo* info = info_of(dev);
    info->set_first_freq(dev, reg(kRegGroupA));
    info->set_second_freq(dev, reg(kRegGroupB));
    info->set_gain(dev, reg(kRegGain));
    info->set_vfilp(dev, reg(kRegVfilp));
    info->set_hfilp(dev, reg(kRegHfilp));
    info->set_fps(dev, reg(kRegFps));
    info->set_n_inte_length_f0(dev, reg(kRegInteA));
    info->set_n_inte_length_f1(dev, reg(kRegInteB));
    for (uint32 r : kLaserRegs) info->write_reg(dev, sensor_laser_address(0, r), kLaserSetting);
}

void stop_apd(epcore_t* core) { epcore_worker_stop(core, E_WORKER_ID_APD); }

} // namespace

// ---- Operations ----

uint32_t sensor_vd55h1_period(uint32_t fps)
{
    // ceil(10^6 / (fps x 7.04)) in whole numbers: 10^8 / (fps x 704).
    const uint64 rate = fps ? fps : 1;
    const uint64 step = rate * 704;
    const uint64 period = (100000000ull + step - 1) / step;
    // Rates below what 16 bits can count run at the slowest the sensor holds
    // instead of wrapping to a fast one.
    return period > 0xFFFF ? 0xFFFF : (uint32_t)period;
}

int sensor_vd55h1_set_fps(iodev_t* dev, uint32_t fps)
{
    uint32 period = sensor_vd55h1_period(fps);
    log_info(g_logger, __FUNCTION__, __LINE__, "value:0x%x", period & 0xFFFF);
    write_banks(subdev_of(dev), kPeriod, period, 2);
    return 0;
}

int sensor_vd55h1_set_First_Frequcncy(iodev_t* dev, uint32_t freq)
{
    write_le(subdev_of(dev), kFirstFreq, freq * 1000000u, 4);
    return 0;
}

int sensor_vd55h1_set_Second_Frequcncy(iodev_t* dev, uint32_t freq)
{
    write_le(subdev_of(dev), kSecondFreq, freq * 1000000u, 4);
    return 0;
}

int sensor_vd55h1_set_pga_gain(iodev_t* dev, uint32_t gain)
{
    (void)dev;
    (void)gain;
    return 0;
}

// The orientation register holds one flip at a time: each setter writes it
// whole, so the last one set wins.
int sensor_vd55h1_set_vfilp(iodev_t* dev, uint32_t on)
{
    sreg_write(subdev_of(dev), kOrientation, on ? 2 : 0);
    return 0;
}

int sensor_vd55h1_set_hfilp(iodev_t* dev, uint32_t on)
{
    sreg_write(subdev_of(dev), kOrientation, on ? 1 : 0);
    return 0;
}

int sensor_vd55h1_read_reg(iodev_t* dev, uint32_t address, uint16_t* value)
{
    if (!value) return -1;
    int fd = subdev_of(dev);
    if (sensor_reg_is_laser(address)) {
        return sensor_laser_read(fd, 0, sensor_laser_reg(address), value);
    }
    return sensor_subdev_read(fd, (uint16)address, value);
}

int sensor_vd55h1_write_reg(iodev_t* dev, uint32_t address, uint16_t value)
{
    int fd = subdev_of(dev);
    if (!sensor_reg_is_laser(address)) return sreg_write(fd, (uint16)address, (uint8)value);
    return sensor_laser_write_all(fd, sensor_laser_reg(address), (uint8)value);
}

int sensor_vd55h1_switch_mode(iodev_t* dev, uint32_t mode)
{
    (void)dev;
    (void)mode;
    return 0;
}

int sensor_vd55h1_vld_enable(iodev_t* dev, uint32_t enable)
{
    uint32 v = enable;
    sensor_xioctl(subdev_of(dev), (int)SENSOR_IOC_VLD_ENABLE, &v);
    return 0;
}

static int set_length(iodev_t* dev, const uint16 (&first)[2], uint32_t length)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "dd:%x cc:%x bb:%x aa:%x", length >> 24, (length >> 16) & 0xFF,
             (length >> 8) & 0xFF, length & 0xFF);
    write_banks(subdev_of(dev), first, length, 4);
    return 0;
}

int sensor_vd55h1_set_inte_length_F0(iodev_t* dev, uint32_t length) { return set_length(dev, kLengthF0, length); }
int sensor_vd55h1_set_inte_length_F1(iodev_t* dev, uint32_t length) { return set_length(dev, kLengthF1, length); }

int sensor_vd55h1_set_n_pulse_F0(iodev_t* dev, uint32_t pulses)
{
    (void)dev;
    (void)pulses;
    return 0;
}

int sensor_vd55h1_set_n_pulse_F1(iodev_t* dev, uint32_t pulses)
{
    (void)dev;
    (void)pulses;
    return 0;
}

// ---- Set-up ----

int sensor_vd55h1_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node(tof_graph(reg(kRegCpuId)), "stream_cif_mipi_id0", node) != 0) return -1;
    int fd = -1, subfd = -1;
    if (sensor_open_node(node, "tof sensor open.", "tof sensor subdev open.", &fd, &subfd) != 0) return -1;
    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_ALGO, type, fd, subfd);
    if (!dev) return -1;
    auto* info = static_cast<V4L2SensorInfo*>(dev->priv_data);
    fill_ops(info);
    info->width = kWidth;
    info->height = kHeight;
    info->outWidth = kOutWidth;
    info->outHeight = kOutHeight;
    info->format = V4L2_PIX_FMT_Y12;
    info->memType = V4L2_MEMORY_MMAP;
    dev->callback = sensor_vd55h1_capture_raw;
    // From here sensor_uninit releases everything, registered or not.
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof device %d taken", (int)type);
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

// ---- Capture callback ----

int sensor_vd55h1_capture_raw(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)event;
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    SensorCapture cap;
    if (sensor_dequeue(dev, &cap) != 0) {
        sensor_capture_pause(kDequeuePauseMs);
        return 0;
    }
    int rc = 0;
    ImageInfo* img = sensor_frame_for(core, dev, E_MEMTYPE_RAW, &cap, &rc);
    if (!img) return rc;
    img->memType = E_MEMTYPE_RAW;
    img->sensorIndex = 1;
    img->imageType = E_IMAGE_TYPE_RAW;
    img->width = info->width;
    img->height = info->height;
    img->outWidth = info->outWidth;
    img->outHeight = info->outHeight;
    img->pixelFormat = kPixelMono12;
    img->imageSize = cap.bytes;
    get_local_time(&img->timeStampH, &img->timeStampL);
    // Parsed in the mapping first, so the frame handed on is the parsed one.
    algo_TavoPlus_ParseRawData(info->buffer[cap.buf.index].start, (int)cap.bytes, 0);
    memcpy(img->imageData, cap.data, cap.bytes);
    sensor_raw_serve(img->imageData, img->imageSize);
    sensor_requeue(dev, &cap);
    sensor_handover_drop_new(core, E_WORKER_ID_ALGO, img);
    return 0;
}

// ---- Task ----

void* sensor_vd55h1_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("tofsensor");
    if (bind_cpu_core(kCpuCore) != 0) log_error(g_logger, __FUNCTION__, __LINE__, "bind cpu core %d fail.", kCpuCore);
    sensor_capture_bind(wk);

    iodev_t* dev = nullptr;
    bool streaming = false;
    if (sensor_vd55h1_init(core, E_DEVICE_TOF, &dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor tof init fail.");
        dev = nullptr;
    } else if (sensor_start_capturing(dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor start capturing fail.");
    } else {
        streaming = true;
    }
    if (streaming) {
        configure(dev);
        // Time-outs are only logged: the loop never gives up on the sensor.
        SensorLoop loop{kLoopWaitMs, INT_MAX, false};
        sensor_capture_loop(wk, dev, &loop);
        stop_apd(core);
        sensor_stop_capturing(dev);
    }
    if (dev) sensor_uninit(dev);
    sensor_capture_bind(nullptr);
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end task");
    worker_destory(wk);
    return nullptr;
}
