// Gpixel 0503 ToF driver (sensor kind 100).
//
// The sensor's registers are 16-bit addresses holding bytes, reached through
// the private sub-device requests; every multi-register update is bracketed
// by the hold register (16 = 1 ... 16 = 0) so the sensor takes it at one
// frame boundary. Worker 500 sets the sensor up and captures through the
// shared capture core; worker 521 re-programs the integration lengths
// between the two exposures of the dual-exposure mode.
#include "sensor/sensor_raw.h"

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "common/board.h"
#include "common/common.h"
#include "common/custom.h"
#include "common/stream_ctrl.h"
#include "epcore.h"
#include "hashtab.h"
#include "iodev.h"
#include "log/logger.h"
#include "media-ctl/libmediactl.h"
#include "media-ctl/libv4l2subdev.h"
#include "memory.h"
#include "peripheral/apd.h"
#include "peripheral/led.h"
#include "platform.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "worker.h"

namespace {

// ---- Register space addresses the driver reads ----

constexpr uint32 kRegMasterSlave = 0x10000054;
constexpr uint32 kRegMultiMachine = 0x10000074;
constexpr uint32 kRegRgbSensorType = 0x10001000;
constexpr uint32 kRegRgbFps = 0x1000102C;
constexpr uint32 kRegDdistaneZ = 0x10001080;
constexpr uint32 kRegFps = 0x1000202C;
constexpr uint32 kRegHfilp = 0x1000203C;
constexpr uint32 kRegVfilp = 0x10002040;
constexpr uint32 kRegGain = 0x10002044;
constexpr uint32 kRegFreqMode = 0x10002068;
constexpr uint32 kRegGroupA = 0x1000206C;
constexpr uint32 kRegGroupB = 0x10002070;
constexpr uint32 kRegInteA = 0x1000209C;
constexpr uint32 kRegInteB = 0x100020A0;
constexpr uint32 kRegPulseH = 0x100020A4;
constexpr uint32 kRegPulseL = 0x100020A8;
constexpr uint32 kRegVldTemp = 0x100020E8;
constexpr uint32 kRegLdTemperature = 0x10002038;
constexpr uint32 kRegCameraType = 0x10007000;
constexpr uint32 kRegCpuId = 0x10007024;

// ---- Sensor registers ----

constexpr uint16 kHold = 16;
constexpr uint16 kReadout = 18; // bit 5 horizontal, bit 6 vertical flip
constexpr uint16 kGainCode = 35;
constexpr uint16 kLaser = 513;
constexpr uint16 kLenF0Lo = 526, kLenF0Hi = 527, kLenF1Lo = 528, kLenF1Hi = 529;
constexpr uint16 kPulseF0Lo = 537, kPulseF0Hi = 538, kPulseF1Lo = 541, kPulseF1Hi = 542;
constexpr uint16 kDivI = 557, kDivNLo = 558, kDivNHi = 559, kDivB = 560, kOptF0 = 567, kOptF1 = 568;

constexpr uint32 kMaxLength = 4095;
constexpr uint32 kMaxPulses = 2047;
constexpr uint32 kCameraCalvoUltra = 22;
constexpr uint32 kPixelMono12 = 0x01100005;
constexpr int kSetupAttempts = 5;
constexpr int kSetupRetryMs = 300;
constexpr int kRestartPauseMs = 200;
constexpr int kLoopWaitMs = 800;
constexpr int kExposureWaitMs = 200;
constexpr int kDequeuePauseMs = 30;
constexpr int kIntegrationWaitMs = 5000;
// Dual-exposure frames dropped after every start while the sensor settles.
constexpr uint32 kDualSettleFrames = 2;

// ---- Process-wide driver state ----

// Last frame rate written to the sensor; 0 at every task start.
std::atomic<uint32> g_lastFps{0};
// Integration lengths written back at every restart (raised once, at the
// first restart).
std::atomic<uint32> integLenH{0};
std::atomic<uint32> integLenL{0};
std::atomic<bool> s_restarted{false};
// Dual-exposure frames since the task started, and the driver's own counter.
std::atomic<uint32> s_dualSeen{0};
std::atomic<uint64> s_dualIndex{0};
SensorFpsCounter s_dualFps;

// The integration task uses the sensor device and its sub-device from its
// own thread; the capture task's teardown waits for a burst in progress.
std::mutex s_deviceMu;

constexpr auto& reg = sensor_reg;
constexpr auto& reg_write = sensor_reg_put;

constexpr auto& subdev_of = sensor_subdev_of;
constexpr auto& info_of = sensor_info_of;

constexpr auto& sreg_write = sensor_subdev_write;
constexpr auto& sreg_read = sensor_subdev_read;

constexpr auto& sreg = sensor_subdev_byte;

void hold(int fd) { sreg_write(fd, kHold, 1); }
void release(int fd) { sreg_write(fd, kHold, 0); }

void write_pair(int fd, uint16 lo, uint16 hi, uint32 value)
{
    hold(fd);
    sreg_write(fd, hi, (uint8)(value >> 8));
    sreg_write(fd, lo, (uint8)value);
    release(fd);
}

uint32 clamp(uint32 v, uint32 lo, uint32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

bool dual_freq(uint32 mode) { return mode == 1 || mode == 3; }
uint64 frame_k(uint32 mode) { return dual_freq(mode) ? 15840 : 7920; }

// The clock the integration arithmetic counts in for the option register
// `optReg`: 24 x N / divider / option.
uint32 integ_clock(int fd, uint16 optReg)
{
    static constexpr uint32 kBase[4] = {6, 4, 3, 2};
    uint32 divider = kBase[sreg(fd, kDivI) & 3] << (sreg(fd, kDivB) & 3);
    uint32 n = sreg(fd, kDivNLo) | (uint32)sreg(fd, kDivNHi) << 8;
    uint32 opt = (sreg(fd, optReg) & 7) + 3;
    return n * 24 / divider / opt;
}

int set_integration(iodev_t* dev, uint32 t, uint16 optReg, uint16 pLo, uint16 pHi, uint16 lo, uint16 hi)
{
    int fd = subdev_of(dev);
    uint64 c = integ_clock(fd, optReg);
    uint64 p = sreg(fd, pLo) | (uint32)sreg(fd, pHi) << 8;
    if (p == 0) p = 1; // pulse counts are never below 1 on the sensor
    uint64 x = c * t * 3;
    uint64 len = x < p ? 1 : x / p;
    write_pair(fd, lo, hi, (uint32)(len > kMaxLength ? kMaxLength : len));
    return 0;
}

int get_integration(iodev_t* dev, uint32* t, uint16 optReg, uint16 pLo, uint16 pHi, uint16 lo, uint16 hi)
{
    if (!t) return -1;
    int fd = subdev_of(dev);
    uint64 c = integ_clock(fd, optReg);
    uint64 p = sreg(fd, pLo) | (uint32)sreg(fd, pHi) << 8;
    uint64 len = sreg(fd, lo) | (uint32)sreg(fd, hi) << 8;
    *t = c ? (uint32)(len * p / 3 / c) : 0;
    return 0;
}

const FreqInfo* find_freq(V4L2SensorInfo* info, uint32 f1, bool matchF2, uint32 f2)
{
    if (!info || !info->freq) return nullptr;
    for (void* it = lt_first(info->freq); it; it = lt_get_next(it)) {
        auto* f = static_cast<const FreqInfo*>(it);
        if (f->f1 == f1 && (!matchF2 || f->f2 == f2)) return f;
    }
    return nullptr;
}

void write_freq(int fd, const FreqInfo* f, uint16 opt0, uint16 opt1)
{
    hold(fd);
    sreg_write(fd, kDivI, (uint8)f->div_i);
    sreg_write(fd, kDivB, (uint8)f->div_b);
    sreg_write(fd, kDivNLo, (uint8)f->div_n);
    sreg_write(fd, kDivNHi, (uint8)(f->div_n >> 8));
    sreg_write(fd, kOptF0, (uint8)opt0);
    sreg_write(fd, kOptF1, (uint8)opt1);
    release(fd);
}

void fill_ops(V4L2SensorInfo* o)
{
    o->set_fps = sensor_tof_set_fps;
    o->get_fps = sensor_tof_get_fps;
    o->set_first_freq = sensor_tof_set_First_Frequcncy;
    o->set_second_freq = sensor_tof_set_Second_Frequcncy;
    o->set_integration_f0 = sensor_tof_set_integration_time_F0;
    o->set_integration_f1 = sensor_tof_set_integration_time_F1;
    o->get_integration_f0 = sensor_tof_get_integration_time_F0;
    o->get_integration_f1 = sensor_tof_get_integration_time_F1;
    o->set_gain = sensor_tof_set_pga_gain;
    o->set_vfilp = sensor_tof_set_vfilp;
    o->get_vfilp = sensor_tof_get_vfilp;
    o->set_hfilp = sensor_tof_set_hfilp;
    o->get_hfilp = sensor_tof_get_hfilp;
    o->read_reg = sensor_tof_read_reg;
    o->write_reg = sensor_tof_write_reg;
    o->switch_mode = sensor_tof_switch_mode;
    o->vld_enable = sensor_tof_vld_enable;
    o->start_stop_stream = sensor_tof_start_stop_stream;
    o->set_n_inte_length_f0 = sensor_tof_set_inte_length_F0;
    o->set_n_inte_length_f1 = sensor_tof_set_inte_length_F1;
    o->set_n_pulse_f0 = sensor_tof_set_n_pulse_F0;
    o->set_n_pulse_f1 = sensor_tof_set_n_pulse_F1;
    o->custom_read_reg = Custom_RegRead;
    // Its writes are the rates it lowers to: the sensors' state, not a host's.
    o->custom_write_reg = Custom_DriverRegWrite;
}

void signal_integration(epcore_t* core, int exposure)
{
    sensor_worker_signal(core, E_WORKER_ID_TOF_INTEGRATION, exposure);
}

void pulse_trigger_line()
{
    LED_Control(GPIO_TOF_TRIGGER, 1);
    LED_Control(GPIO_TOF_TRIGGER, 0);
    wait_ms(100);
    LED_Control(GPIO_TOF_TRIGGER, 1);
}

// ---- The raw-frame road of the single-frequency and single-exposure modes ----

struct Road {
    bool dropFirst;     // the first frame after a task start is dropped
    bool countFrames;   // frame counter and rate log
    bool requeueFirst;  // buffer back before the frame is handed on
};

int raw_road(epcore_t* core, iodev_t* dev, const Road& road)
{
    V4L2SensorInfo* info = info_of(dev);
    SensorCapture cap;
    if (sensor_dequeue(dev, &cap) != 0) {
        sensor_capture_pause(kDequeuePauseMs);
        return 0;
    }
    if (!core->streamon.load()) {
        // Nobody takes frames, but a raw-frame download still gets this one.
        sensor_raw_serve(cap.data, cap.bytes);
        sensor_requeue(dev, &cap);
        return 0;
    }
    if (road.dropFirst && g_lost_raw.exchange(1) == 0) {
        sensor_requeue(dev, &cap);
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
    sensor_capture_stamp(img, cap.stampNs);
    memcpy(img->imageData, cap.data, cap.bytes);
    if (road.countFrames) {
        img->frameIndex = g_tof_frameIndex.fetch_add(1);
        sensor_capture_count("fps:%d");
    }
    sensor_raw_serve(img->imageData, img->imageSize);
    if (road.requeueFirst) sensor_requeue(dev, &cap);
    if (core->streamon.load()) {
        get_local_time(&img->timeStampH, &img->timeStampL);
        sensor_handover_drop_new(core, E_WORKER_ID_ALGO, img);
    } else {
        free_image(core, img);
    }
    if (!road.requeueFirst) sensor_requeue(dev, &cap);
    return 0;
}

// ---- The capture task ----

void configure_trigger(epcore_t* core, iodev_t* dev, uint32 mode, uint32 rgbKind)
{
    int fd = subdev_of(dev);
    uint32 cpu = reg(kRegCpuId);
    if (cpu != E_CPU_RK3568) {
        sreg_write(fd, 0, 1);
        sreg_write(fd, 1, 1);
        return;
    }
    // The colour task may tear its record down meanwhile: the colour device
    // is reached only under the sensor-operations lock.
    auto colourMasterSlave = [core, rgbKind](uint32 param) {
        if (rgbKind != E_SMARTSENS_SC230AI) return;
        sensor_with_device(core, E_DEVICE_RGB, [param](V4L2SensorInfo* rgb, iodev_t* rgbDev) {
            if (rgb->set_other_params) rgb->set_other_params(rgbDev, param, kRegMasterSlave);
        });
    };
    if (reg(kRegMultiMachine) == 0) {
        epcore_worker_stop(core, E_WORKER_ID_APD);
        hold(fd);
        sreg_write(fd, 32, dual_freq(mode) ? 42 : 85);
        sreg_write(fd, 31, dual_freq(mode) ? 170 : 85);
        release(fd);
        sreg_write(fd, 0, 1);
        sreg_write(fd, 1, 1);
        colourMasterSlave(1);
        return;
    }
    if (get_fileSize("/userdata/const/GainList.csv") > 0 || get_fileSize("/userdata/const/GainList_simp.csv") > 0)
        worker_create(core, E_WORKER_ID_APD, apd_task);
    hold(fd);
    sreg_write(fd, 32, 0);
    sreg_write(fd, 31, 1);
    release(fd);
    sreg_write(fd, 0, 0);
    sreg_write(fd, 1, 0);
    colourMasterSlave(0);
}

void configure(epcore_t* core, iodev_t* dev, uint32 mode, uint32 groupA, uint32 groupB)
{
    V4L2SensorInfo* info = info_of(dev);
    int fd = subdev_of(dev);
    if (mode == 0 || mode == 2) {
        if (groupA == 0) groupA = 100;
        log_info(g_logger, __FUNCTION__, __LINE__, "groupAFreq:%d", (int)groupA);
        info->set_first_freq(dev, groupA);
    } else if (dual_freq(mode)) {
        if (groupA == 0) {
            groupA = 112;
            reg_write(kRegGroupA, groupA);
        }
        if (groupB == 0) groupB = 64;
        log_info(g_logger, __FUNCTION__, __LINE__, "groupAFreq:%d groupBFreq:%d", (int)groupA, (int)groupB);
        info->set_second_freq(dev, groupB);
    }
    if (reg(kRegDdistaneZ) != 0) {
        hold(fd);
        sreg_write(fd, 547, 32);
        sreg_write(fd, 551, 33);
        release(fd);
    }
    info->set_gain(dev, reg(kRegGain));
    info->set_vfilp(dev, reg(kRegVfilp));
    info->set_hfilp(dev, reg(kRegHfilp));
    info->set_fps(dev, reg(kRegFps));
    info->vld_enable(dev, reg(kRegVldTemp) == 0 ? 1 : 0);
    if (reg(kRegCpuId) == E_CPU_RK3568) pulse_trigger_line();
    (void)core;
}

// The driver's own write of a register: the write rules apply, the limits
// on what hosts set do not.
void driver_write(uint32 address, uint32 value)
{
    uint32 v = value;
    Custom_DriverRegWrite(address, &v);
}

// After the failure limit: the integration lengths go up once, and the task
// comes back while the stream is still on. The raised lengths are the
// driver's, beyond what a host may set near the top of the range.
void restart(epcore_t* core)
{
    wait_ms(kRestartPauseMs);
    if (!s_restarted.exchange(true)) {
        integLenH.store(reg(kRegInteA) + SENSOR_TOF_RESTART_RAISE);
        integLenL.store(reg(kRegInteB) + SENSOR_TOF_RESTART_RAISE);
    }
    driver_write(kRegInteA, integLenH.load());
    driver_write(kRegInteB, integLenL.load());
    if (core->streamon.load()) {
        log_info(g_logger, __FUNCTION__, __LINE__, "cterate work by self");
        stream_ctrl_restart_worker(core, E_WORKER_ID_TOF_SENSOR, sensor_tof_task);
    }
}

// ---- Integration-time control ----

void integration_apply(epcore_t* core, int e, uint32 cpu)
{
    uint32 a = reg(kRegGroupA), b = reg(kRegGroupB);
    // A frequency of 0 has no ratio: the second length follows the first.
    float ratio = (a && b) ? (float)a / (float)b : 1.0f;
    bool multi = reg(kRegMultiMachine) != 0;
    uint32 fps = reg(kRegFps);
    uint32 len, pulses;
    if (e == 1) {
        len = reg(kRegInteA);
        pulses = reg(kRegPulseH);
        if (len > 4094) len = 4095;
        if (len < 2) len = 1;
        sensor_tof_integ_filter(&len);
        uint32 rate = fps;
        if (multi) {
            if (len > 1000) len = 1000;
            rate = 24;
        }
        // Under the sensor-operations lock: either capture task may tear
        // its record down meanwhile.
        for (uint64_t id : {(uint64_t)E_DEVICE_RGB, (uint64_t)E_DEVICE_TOF})
            sensor_with_device(core, id, [rate](V4L2SensorInfo* ops, iodev_t* dev) {
                if (ops->set_fps) ops->set_fps(dev, rate);
            });
    } else {
        len = reg(kRegInteB);
        pulses = reg(kRegPulseL);
        if (multi && len > 500) len = 500;
    }
    uint32 len2 = (uint32)((float)len / ratio);
    int fd = g_ctrlFd.load();
    if (cpu == E_CPU_RK3588) {
        if (fd < 1) return;
        wait_ms(fps > 10 ? 15 : 25);
        sreg_write(fd, kHold, 1);
        sreg_write(fd, kLenF0Hi, (uint8)(len >> 8));
        sreg_write(fd, kLenF0Lo, (uint8)len);
        sreg_write(fd, kPulseF0Hi, (uint8)(pulses >> 8));
        sreg_write(fd, kPulseF0Lo, (uint8)pulses);
        sreg_write(fd, kLenF1Hi, (uint8)(len2 >> 8));
        sreg_write(fd, kLenF1Lo, (uint8)len2);
        sreg_write(fd, kPulseF1Hi, (uint8)(pulses >> 8));
        sreg_write(fd, kPulseF1Lo, (uint8)pulses);
        sreg_write(fd, kHold, 0);
    } else if (cpu == E_CPU_RK3568) {
        if (fd < 1) return;
        wait_ms(fps > 10 ? 2 : 25);
        uint8_t block[8];
        const uint32 words[4] = {len, pulses, len2, pulses};
        for (int i = 0; i < 4; i++) {
            block[i * 2] = (uint8_t)(words[i] >> 8);
            block[i * 2 + 1] = (uint8_t)words[i];
        }
        sensor_xioctl(fd, (int)SENSOR_IOC_INTEG_BLOCK, block);
    }
}

} // namespace

// ---- Tables ----

void sensor_tof_integ_filter(uint32_t* value)
{
    static constexpr uint32_t kFilter[][2] = {
        {1468, 1467}, {1485, 1484}, {1612, 1611}, {1756, 1755}, {1900, 1899}, {1930, 1929}, {1931, 1929},
        {1935, 1934}, {1936, 1934}, {2044, 2043}, {2188, 2187}, {2332, 2331}, {2380, 2379}, {2381, 2379},
        {2476, 2475}, {2620, 2619}, {2764, 2763}, {2831, 2829}, {2832, 2829}, {2908, 2907}, {3052, 3051},
        {3196, 3195}, {3276, 3275}, {3277, 3275}, {3340, 3339}, {3484, 3483},
    };
    if (!value) return;
    for (const auto& row : kFilter)
        if (row[0] == *value) {
            *value = row[1];
            return;
        }
}

uint32_t sensor_tof_fps_limit(uint32_t freqMode, uint32_t L)
{
    if (L < 500) return 30;
    int64_t l = L;
    int64_t x = freqMode == 3 ? 30000 - 6 * l : (l <= 2000 ? (5000 - l) * 3 : (5000 - l) * 2);
    // Long integrations leave no rate at all; the sensor still runs at 1.
    if (x <= 0) return 1;
    int64_t q = x / 1000 + (x % 1000 >= 500 ? 1 : 0);
    q &= ~(int64_t)1;
    return q < 1 ? 1 : (uint32_t)q;
}

int sensor_tof_fail_limit(uint32_t cameraType) { return cameraType == kCameraCalvoUltra ? 12 : 3; }

void sensor_tof_reset(void)
{
    g_lastFps.store(0);
    integLenH.store(0);
    integLenL.store(0);
    s_restarted.store(false);
    s_dualSeen.store(0);
    s_dualIndex.store(0);
}

// ---- Operations ----

int sensor_tof_set_fps(iodev_t* dev, uint32_t fps)
{
    if (fps == 0) return 0;
    uint32 mode = reg(kRegFreqMode);
    uint32 len = reg(kRegInteA);
    uint32 rate = fps;
    if (reg(kRegMultiMachine) == 0) {
        uint32 limit = sensor_tof_fps_limit(mode, len);
        if (limit < rate) rate = limit;
    }
    // Kept before anything is written: the colour rate register written
    // below calls back here, and finding the same rate ends that round.
    if (g_lastFps.exchange(rate) == rate) return 0;
    log_debug(g_logger, __FUNCTION__, __LINE__, "fps:%d", (int)rate);
    uint64 f = 1000000000ull / ((uint64)rate * frame_k(mode));
    int fd = subdev_of(dev);
    hold(fd);
    sreg_write(fd, 30, (uint8)(f >> 16));
    sreg_write(fd, 29, (uint8)(f >> 8));
    sreg_write(fd, 28, (uint8)f);
    release(fd);
    V4L2SensorInfo* info = info_of(dev);
    uint32 v = rate;
    if (info && info->custom_write_reg) info->custom_write_reg(kRegRgbFps, &v);
    return 0;
}

int sensor_tof_get_fps(iodev_t* dev, uint32_t* fps)
{
    if (!fps) return -1;
    int fd = subdev_of(dev);
    uint64 f = (uint64)sreg(fd, 30) << 16 | (uint64)sreg(fd, 29) << 8 | sreg(fd, 28);
    log_info(g_logger, __FUNCTION__, __LINE__, "min_sfrm_len:%x", (unsigned)f);
    uint64 product = f * frame_k(reg(kRegFreqMode));
    *fps = product ? (uint32_t)(1000000000ull / product) : 0;
    log_info(g_logger, __FUNCTION__, __LINE__, "*fps:%x", *fps);
    return 0;
}

int sensor_tof_set_First_Frequcncy(iodev_t* dev, uint32_t freq)
{
    uint32 mode = reg(kRegFreqMode);
    if (mode != 0 && mode != 2) return 0;
    const FreqInfo* f = find_freq(info_of(dev), freq, false, 0);
    if (!f) return 0;
    log_info(g_logger, __FUNCTION__, __LINE__, "freq:%d", (int)freq);
    write_freq(subdev_of(dev), f, f->freq0_opt, f->freq0_opt);
    return 0;
}

int sensor_tof_set_Second_Frequcncy(iodev_t* dev, uint32_t freq)
{
    if (!dual_freq(reg(kRegFreqMode))) return 0;
    uint32 groupA = reg(kRegGroupA);
    const FreqInfo* f = find_freq(info_of(dev), groupA, true, freq);
    if (!f) return 0;
    log_info(g_logger, __FUNCTION__, __LINE__, "groupAFreq:%d freq:%d", (int)groupA, (int)freq);
    write_freq(subdev_of(dev), f, f->freq0_opt, f->freq1_opt);
    return 0;
}

int sensor_tof_set_integration_time_F0(iodev_t* dev, uint32_t time)
{
    return set_integration(dev, time, kOptF0, kPulseF0Lo, kPulseF0Hi, kLenF0Lo, kLenF0Hi);
}

int sensor_tof_set_integration_time_F1(iodev_t* dev, uint32_t time)
{
    return set_integration(dev, time, kOptF1, kPulseF1Lo, kPulseF1Hi, kLenF1Lo, kLenF1Hi);
}

int sensor_tof_get_integration_time_F0(iodev_t* dev, uint32_t* time)
{
    return get_integration(dev, time, kOptF0, kPulseF0Lo, kPulseF0Hi, kLenF0Lo, kLenF0Hi);
}

int sensor_tof_get_integration_time_F1(iodev_t* dev, uint32_t* time)
{
    return get_integration(dev, time, kOptF1, kPulseF1Lo, kPulseF1Hi, kLenF1Lo, kLenF1Hi);
}

int sensor_tof_set_pga_gain(iodev_t* dev, uint32_t gain)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "gain:%d", (int)gain);
    uint32 code = 0;
    if (gain == 32) code = 0x17;
    else if (gain >= 11 && gain <= 41) code = gain - 10;
    log_info(g_logger, __FUNCTION__, __LINE__, "regval:%x", code);
    sreg_write(subdev_of(dev), kGainCode, (uint8)code);
    return 0;
}

static int set_flip(iodev_t* dev, uint32_t on, uint8 bit)
{
    int fd = subdev_of(dev);
    uint8 v = sreg(fd, kReadout);
    v = on == 1 ? (uint8)(v | bit) : (uint8)(v & ~bit);
    hold(fd);
    sreg_write(fd, kReadout, v);
    release(fd);
    return 0;
}

int sensor_tof_set_vfilp(iodev_t* dev, uint32_t on)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "vfilp:%d", (int)on);
    return set_flip(dev, on, 0x40);
}

int sensor_tof_get_vfilp(iodev_t* dev, uint32_t* on)
{
    if (!on) return -1;
    *on = (sreg(subdev_of(dev), kReadout) >> 6) & 1;
    return 0;
}

int sensor_tof_set_hfilp(iodev_t* dev, uint32_t on) { return set_flip(dev, on, 0x20); }

int sensor_tof_get_hfilp(iodev_t* dev, uint32_t* on)
{
    if (!on) return -1;
    *on = (sreg(subdev_of(dev), kReadout) >> 5) & 1;
    return 0;
}

int sensor_tof_read_reg(iodev_t* dev, uint32_t address, uint16_t* value)
{
    if (!value) return -1;
    int fd = subdev_of(dev);
    if (!sensor_reg_is_laser(address)) return sreg_read(fd, (uint16)address, value);
    uint32 index = sensor_laser_index(address);
    if (index > 2) {
        log_error(g_logger, __FUNCTION__, __LINE__, "invalid index");
        return -1;
    }
    return sensor_laser_read(fd, index, sensor_laser_reg(address), value);
}

int sensor_tof_write_reg(iodev_t* dev, uint32_t address, uint16_t value)
{
    int fd = subdev_of(dev);
    if (!sensor_reg_is_laser(address)) return sreg_write(fd, (uint16)address, (uint8)value);
    return sensor_laser_write_all(fd, sensor_laser_reg(address), (uint8)value);
}

int sensor_tof_switch_mode(iodev_t* dev, uint32_t mode)
{
    int fd = subdev_of(dev);
    if (mode == 1) {
        hold(fd);
        sreg_write(fd, 32, 0);
        sreg_write(fd, 31, 1);
        release(fd);
        sreg_write(fd, 0, 0);
        return 0;
    }
    bool dual = dual_freq(reg(kRegFreqMode));
    hold(fd);
    sreg_write(fd, 32, dual ? 42 : 85);
    sreg_write(fd, 31, dual ? 170 : 84);
    release(fd);
    sreg_write(fd, 0, 1);
    int sync = 0;
    int rc = sensor_xioctl(fd, (int)RKMODULE_SET_SYNC_MODE, &sync);
    if (rc != 0) log_error(g_logger, __FUNCTION__, __LINE__, "RKMODULE_SET_SYNC_MODE fail.");
    return rc;
}

int sensor_tof_vld_enable(iodev_t* dev, uint32_t enable)
{
    int fd = subdev_of(dev);
    sreg_write(fd, kLaser, enable ? 3 : 2);
    uint32 v = enable;
    sensor_xioctl(fd, (int)SENSOR_IOC_VLD_ENABLE, &v);
    return 0;
}

int sensor_tof_start_stop_stream(iodev_t* dev, uint32_t enable)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "start or stop stream %d", (int)enable);
    if (enable) {
        LED_Control(GPIO_TOF_TRIGGER, 1);
        LED_Control(GPIO_TOF_TRIGGER, 0);
    }
    int fd = subdev_of(dev);
    hold(fd);
    sreg_write(fd, 31, 0);
    sreg_write(fd, 32, enable ? 1 : 0);
    release(fd);
    return 0;
}

int sensor_tof_set_inte_length_F0(iodev_t* dev, uint32_t length)
{
    uint32 len = clamp(length, 1, kMaxLength);
    // Long integrations need a slower colour rate, which drives the ToF rate.
    static constexpr struct {
        uint32 lo, hi, fps;
    } kBands[] = {{1401, 1699, 22}, {1700, 1999, 20}, {2000, 2399, 18}, {2400, 2899, 16}, {2900, 3599, 14}};
    V4L2SensorInfo* info = info_of(dev);
    for (const auto& band : kBands) {
        if (len < band.lo || len > band.hi) continue;
        uint32 v = band.fps;
        if (info && info->custom_write_reg) info->custom_write_reg(kRegRgbFps, &v);
        break;
    }
    if (len == 1900) len = 1899;
    else if (len == 1930) len = 1929;
    else if (len == 1935 || len == 1936) len = 1934;
    write_pair(subdev_of(dev), kLenF0Lo, kLenF0Hi, len);
    return 0;
}

int sensor_tof_set_inte_length_F1(iodev_t* dev, uint32_t length)
{
    write_pair(subdev_of(dev), kLenF1Lo, kLenF1Hi, clamp(length, 1, kMaxLength));
    return 0;
}

int sensor_tof_set_n_pulse_F0(iodev_t* dev, uint32_t pulses)
{
    write_pair(subdev_of(dev), kPulseF0Lo, kPulseF0Hi, clamp(pulses, 1, kMaxPulses));
    return 0;
}

int sensor_tof_set_n_pulse_F1(iodev_t* dev, uint32_t pulses)
{
    write_pair(subdev_of(dev), kPulseF1Lo, kPulseF1Hi, clamp(pulses, 1, kMaxPulses));
    return 0;
}

int sensor_tof_get_temperature(iodev_t* dev, float* temperature)
{
    if (!temperature) return -1;
    int fd = subdev_of(dev);
    uint32 raw = (uint32)sreg(fd, 452) << 8 | sreg(fd, 451);
    *temperature = (float)(raw * 0.1298 - 323.87);
    return 0;
}

float sensor_tof_get_3018_temp(float* temperature)
{
    int fd = g_ctrlFd.load();
    if (fd < 0) {
        if (temperature) *temperature = -1000.0f;
        return -1000.0f;
    }
    double sum = 0;
    int n = 0;
    for (int i = 0; i < 10; i++) {
        struct sensor_ld_temp t{};
        uint8_t raw[8] = {};
        if (sensor_xioctl(fd, (int)SENSOR_IOC_LASER_TEMP, raw) != 0) continue;
        memcpy(&t, raw, sizeof(t));
        double a = t.first < 65535 ? 25.0 + (t.first - 296) * 0.185 : 0;
        double b = t.second < 65535 ? 25.0 + (t.second - 296) * 0.185 : 0;
        int valid = (t.first < 65535) + (t.second < 65535);
        if (!valid) continue;
        sum += (a + b) / valid;
        n++;
    }
    float mean = n ? (float)(sum / n) : -1000.0f;
    uint32 word;
    float2hex(mean, &word);
    reg_write(kRegLdTemperature, word);
    if (temperature) *temperature = mean;
    return mean;
}

// ---- Set-up ----

namespace {

// One entry of the frequency table file: its seven columns, or false for a
// line that is not an entry.
bool freq_line(char* line, uint16 col[7])
{
    int n = 0;
    char* p = line;
    while (n < 7) {
        char* end;
        unsigned long v = strtoul(p, &end, 10);
        if (end == p) break;
        col[n++] = (uint16)v;
        p = end;
        while (*p == ' ' || *p == '\t') p++;
        if (*p != ',') break;
        p++;
    }
    return n == 7;
}

// Calls `entry` with each entry of the table file; -1 without the file,
// else what the last call returned (a negative one stops the reading).
template <typename F>
int each_freq_entry(F entry)
{
    FILE* fp = plat_fopen(SENSOR_TOF_FREQ_FILE, "r");
    if (!fp) return -1;
    char line[512];
    bool header = true;
    int rc = 0;
    while (rc >= 0 && fgets(line, sizeof(line), fp)) {
        uint16 col[7];
        if (header) header = false;
        else if (freq_line(line, col)) rc = entry(col);
    }
    fclose(fp);
    return rc;
}

} // namespace

int sensor_support_freq(V4L2SensorInfo* info)
{
    if (!info || !info->freq) return -1;
    int rc = each_freq_entry([info](const uint16* col) {
        auto* f = static_cast<FreqInfo*>(kzalloc(sizeof(FreqInfo)));
        if (!f) {
            log_error(g_logger, __FUNCTION__, __LINE__, "no mem for freqinfo");
            return -2;
        }
        f->f1 = col[0];
        f->f2 = col[1];
        f->div_i = col[2];
        f->div_b = col[3];
        f->div_n = col[4];
        f->freq0_opt = col[5];
        f->freq1_opt = col[6];
        lt_append(info->freq, f);
        return 0;
    });
    if (rc == -1) {
        log_error(g_logger, __FUNCTION__, __LINE__, "not found %s file.", SENSOR_TOF_FREQ_FILE);
        return 0;
    }
    return rc < 0 ? -1 : 0;
}

int sensor_tof_freq_pairs(uint16_t (*pairs)[2], int max)
{
    int n = 0;
    int rc = each_freq_entry([&](const uint16* col) {
        if (n < max) {
            pairs[n][0] = col[0];
            pairs[n][1] = col[1];
        }
        n++;
        return 0;
    });
    return rc < 0 ? 0 : (n < max ? n : max);
}

int sensor_tof_start_capturing(iodev_t* dev) { return sensor_start_capturing(dev); }
int sensor_tof_stop_capturing(iodev_t* dev) { return sensor_stop_capturing(dev); }

int sensor_tof_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    uint32 cpu = reg(kRegCpuId);
    const char* graph = cpu == E_CPU_RK3588 ? "/dev/media1" : cpu == E_CPU_RK3568 ? "/dev/media0" : nullptr;
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node(graph, "stream_cif_mipi_id0", node) != 0) return -1;

    int fd = -1, subfd = -1;
    if (sensor_open_node(node, "tof sensor open.", "tof sensor subdev open.", &fd, &subfd) != 0) return -1;
    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_ALGO, type, fd, subfd);
    if (!dev) return -1;
    auto* info = static_cast<V4L2SensorInfo*>(dev->priv_data);
    fill_ops(info);
    uint32 mode = reg(kRegFreqMode);
    log_info(g_logger, __FUNCTION__, __LINE__, "freqMode:%d", (int)mode);
    if (mode == 2) {
        log_info(g_logger, __FUNCTION__, __LINE__, "signle hdr");
        dev->callback = sensor_capture_raw_signle_hdr;
    } else if (mode == 3) {
        log_info(g_logger, __FUNCTION__, __LINE__, "dual hdr");
        dev->callback = sensor_capture_raw_dual_hdr;
    } else {
        log_info(g_logger, __FUNCTION__, __LINE__, "not hdr");
        dev->callback = sensor_capture_raw;
    }
    // From here sensor_uninit releases everything, registered or not.
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof device %d taken", (int)type);
        sensor_uninit(dev);
        return -1;
    }
    char mediaDev[SENSOR_NODE_NAME_MAX];
    if (sensor_find_media_device(fd, mediaDev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor_find_media_device fail.");
        sensor_uninit(dev);
        return -1;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "mediaDevice:%s", mediaDev);
    const char* bus = cpu == E_CPU_RK3588 ? "5-0010" : "3-0010";
    char formats[128];
    snprintf(formats, sizeof(formats), "\"m01_b_Gpixel0503 %s\":0[fmt:Y12_1X12/1920x%d]", bus,
             mode ? 2880 : 1440);
    log_info(g_logger, __FUNCTION__, __LINE__, mode ? "dual" : "single");
    sensor_set_pad_format(mediaDev, formats);
    info->width = 1920;
    info->height = mode ? 2880 : 1440;
    info->outWidth = 640;
    info->outHeight = 480;
    info->format = V4L2_PIX_FMT_Y12;
    info->memType = V4L2_MEMORY_MMAP;
    info->freq = lt_new();
    if (!info->freq || sensor_support_freq(info) != 0 || sensor_init_device(dev) != 0) {
        sensor_uninit(dev);
        return -1;
    }
    *ppdev = dev;
    g_ctrlFd.store(subfd);
    // A new sensor starts from its own rate and settles again.
    g_lastFps.store(0);
    s_dualSeen.store(0);
    return 0;
}

// ---- Capture callbacks ----

int sensor_capture_raw(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)event;
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    uint32 len = reg(kRegInteA);
    uint32 pulses = reg(kRegPulseH);
    uint32 rate = 30;
    if (reg(kRegMultiMachine)) {
        rate = 24;
        if (len > 500) len = 500;
    }
    info->set_fps(dev, rate);
    info->set_n_inte_length_f0(dev, len);
    info->set_n_inte_length_f1(dev, len);
    info->set_n_pulse_f0(dev, pulses);
    info->set_n_pulse_f1(dev, pulses);
    return raw_road(core, dev, Road{true, true, false});
}

int sensor_capture_raw_signle_hdr(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)event;
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    info->set_n_inte_length_f0(dev, reg(kRegInteA));
    info->set_n_pulse_f0(dev, reg(kRegPulseH));
    info->set_n_inte_length_f1(dev, reg(kRegInteB));
    info->set_n_pulse_f1(dev, reg(kRegPulseL));
    return raw_road(core, dev, Road{false, false, true});
}

int sensor_capture_raw_dual_hdr(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    const int epfd = event;
    if (!core || !info) return 0;
    ImageInfo* img = sensor_frame_before_wait(core, E_MEMTYPE_RAW, kDequeuePauseMs);
    if (!img) return -1;
    img->memType = E_MEMTYPE_RAW;
    img->sensorIndex = 1;
    img->imageType = E_IMAGE_TYPE_RAW;
    img->width = info->width;
    img->height = info->height * 2;
    img->outWidth = info->outWidth;
    img->outHeight = info->outHeight;
    img->pixelFormat = kPixelMono12;
    img->imageSize = info->width * info->height * 4;

    const uint32 room = sensor_frame_room(core->raw);
    const bool watchPd = reg(kRegCameraType) == kCameraCalvoUltra;
    bool pd[2] = {false, false};
    SensorPair pair;
    for (int exposure = 0; exposure < 2; exposure++) {
        if (watchPd) pd[exposure] = LED_FastGetStatus_GPIO1_D0(0) == 0;
        int w = sensor_wait_readable(epfd, kExposureWaitMs);
        if (w != 1) {
            if (w == 0) log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait timeout");
            if (w == -1) log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait error");
            free_image(core, img);
            return w == 0 ? 2 : 0;
        }
        SensorCapture cap;
        if (sensor_dequeue(dev, &cap) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "wwwwwwwwwwww");
            free_image(core, img);
            sensor_capture_pause(kDequeuePauseMs);
            return 2;
        }
        sensor_capture_stamp(img, cap.stampNs);
        signal_integration(core, exposure);
        // The second exposure goes first in the frame, the first after it.
        sensor_pair_copy(&pair, img->imageData, room, exposure, cap);
        sensor_requeue(dev, &cap);
    }
    if (watchPd && (pd[0] || pd[1]))
        log_info(g_logger, __FUNCTION__, __LINE__, "=========g_pdFlagsH:%d g_pdFlagsL:%d===========", (int)pd[0],
                 (int)pd[1]);
    img->PDFlags = (pd[0] || pd[1]) ? 1 : 0;
    if (s_dualSeen.fetch_add(1) < kDualSettleFrames) {
        free_image(core, img);
        return 0;
    }
    if (!pair.ok) {
        log_error(g_logger, __FUNCTION__, __LINE__, "exposures of %u bytes do not fit the raw unit", pair.first);
        free_image(core, img);
        return 0;
    }
    img->imageSize = pair.first * 2;
    sensor_raw_serve(img->imageData, img->imageSize);
    if (!core->streamon.load()) {
        free_image(core, img);
        return 0;
    }
    get_local_time(&img->timeStampH, &img->timeStampL);
    img->frameIndex = s_dualIndex.fetch_add(1);
    sensor_handover_replace_old(core, E_WORKER_ID_ALGO, img);
    sensor_fps_count(&s_dualFps, "capture raw fps:%d");
    return 0;
}

// ---- Tasks ----

void* sensor_tof_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("tofsensor");
    sensor_capture_bind(wk);
    sensor_capture_clock_start();
    g_lastFps.store(0);
    sensor_fps_start(&s_dualFps);

    iodev_t* dev = nullptr;
    for (int attempt = 0; attempt < kSetupAttempts && !sensor_capture_stopped(); attempt++) {
        if (sensor_tof_init(core, E_DEVICE_TOF, &dev) == 0) break;
        dev = nullptr;
        sensor_capture_pause(kSetupRetryMs);
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor_tof_init fail.");
    }
    if (!dev) {
        sensor_capture_bind(nullptr);
        log_info(g_logger, __FUNCTION__, __LINE__, "end task");
        worker_destory(wk);
        return nullptr;
    }

    uint32 mode = reg(kRegFreqMode);
    uint32 groupA = reg(kRegGroupA);
    uint32 groupB = reg(kRegGroupB);
    uint32 rgbKind = reg(kRegRgbSensorType);
    sensor_tof_start_capturing(dev);
    configure_trigger(core, dev, mode, rgbKind);
    configure(core, dev, mode, groupA, groupB);

    const uint32 cameraType = reg(kRegCameraType);
    SensorLoop loop{kLoopWaitMs, sensor_tof_fail_limit(cameraType), mode == 3};
    int rc = sensor_capture_loop(wk, dev, &loop);

    g_lost_raw.store(0);
    epcore_worker_stop(core, E_WORKER_ID_APD);
    sensor_tof_stop_capturing(dev);
    LED_Control(GPIO_TOF_TRIGGER, 1);
    {
        // Not while the integration task is in the middle of a burst.
        std::lock_guard<std::mutex> lk(s_deviceMu);
        g_ctrlFd.store(-1);
        sensor_uninit(dev);
    }
    sensor_capture_bind(nullptr);
    const bool restarting = rc == 1;
    // The restart below still uses the core: counted in so teardown waits.
    if (restarting) epcore_thread_enter(core);
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end task");
    worker_destory(wk);
    if (restarting) {
        restart(core);
        epcore_thread_leave(core);
    }
    return nullptr;
}

void* sensor_tof_integration_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    set_task_name("tof_integration");
    if (plat_sched_setscheduler(SCHED_RR, 99) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "pthread_setschedparam");
        // Ends like any task, so its record does not stay registered.
        worker_destory(wk);
        return nullptr;
    }
    const uint32 cpu = reg(kRegCpuId);
    while (!core->quit.load() && !wk->quit.load()) {
        int e = event_wait(wk->ioevent, kIntegrationWaitMs);
        if (e == -1 || core->quit.load() || wk->quit.load()) continue;
        std::lock_guard<std::mutex> lk(s_deviceMu);
        integration_apply(core, e, cpu);
    }
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end tof integration task");
    worker_destory(wk);
    return nullptr;
}

// ---- CPLD images per frame rate ----

namespace {

void* update_cpld_task(void* vwker, const char* image)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    if (fpga_upgrade_name(image) != 0) log_error(g_logger, __FUNCTION__, __LINE__, "update %s fail.", image);
    pulse_trigger_line();
    worker_destory(wk);
    return nullptr;
}

} // namespace

void* update_cpld_24fps_task(void* vwker) { return update_cpld_task(vwker, "/etc/fpga_update_24fps.bin"); }
void* update_cpld_22fps_task(void* vwker) { return update_cpld_task(vwker, "/etc/fpga_update_22fps.bin"); }
void* update_cpld_20fps_task(void* vwker) { return update_cpld_task(vwker, "/etc/fpga_update_20fps.bin"); }
void* update_cpld_18fps_task(void* vwker) { return update_cpld_task(vwker, "/etc/fpga_update_18fps.bin"); }
void* update_cpld_16fps_task(void* vwker) { return update_cpld_task(vwker, "/etc/fpga_update_16fps.bin"); }
void* update_cpld_14fps_task(void* vwker) { return update_cpld_task(vwker, "/etc/fpga_update_14fps.bin"); }
