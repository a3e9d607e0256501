// Colour capture of the colour-channel camera (colour kind 0).
//
// The sensor's frame timing lives in its registers (line length 0x320C/D,
// frame length 0x320E/F, both in two-line units on this sensor); exposure,
// gain, flips and the test pattern are sub-device controls. Worker 501 owns
// the capture node; register writes reach the operations from other threads
// and use only the sub-device. Every frame replaces the one still waiting at
// worker 513, so colour processing always finds the newest picture.
#include "sensor/sensor_rgb.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "algo/algo_tavo.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "platform.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "worker.h"

namespace {

// ---- Register space addresses ----

constexpr uint32 kRegFps = 0x1000102C;
constexpr uint32 kRegHfilp = 0x1000103C;
constexpr uint32 kRegVfilp = 0x10001040;
constexpr uint32 kRegGain = 0x10001044;
constexpr uint32 kRegExposure = 0x10001050;
constexpr uint32 kRegAutoExposure = 0x100010D8;
constexpr uint32 kRegTargetLevel = 0x100010DC;
constexpr uint32 kRegTofKind = 0x10002000;
constexpr uint32 kRegFreqMode = 0x10002068;
constexpr uint32 kRegRgbWorker = 0x10007010;
constexpr uint32 kRegCpuId = 0x10007024;

// ---- Sensor registers and controls ----

constexpr uint16 kLineLenHi = 0x320C, kLineLenLo = 0x320D;
constexpr uint16 kFrameLenHi = 0x320E, kFrameLenLo = 0x320F;
constexpr uint16 kModeA = 0x3234, kModeB = 0x3228;

constexpr uint32 kCtrlExposure = 0x00980911;
constexpr uint32 kCtrlHflip = 0x00980914;
constexpr uint32 kCtrlVflip = 0x00980915;
constexpr uint32 kCtrlGain = 0x009E0903;
constexpr uint32 kCtrlTestPattern = 0x009F0903;

constexpr uint32 kWidth = 1280;
constexpr uint32 kHeight = 960;
constexpr uint32 kPixelMono10 = 0x01100003;
constexpr uint32 kFreqModeTwoExposures = 3;
constexpr uint32 kTofKindImx570 = 300;

constexpr int kInitAttempts = 2;
constexpr int kInitRetryMs = 200;
constexpr int kWaitMs = 200;
constexpr int kHdrWaitMs = 500;
constexpr int kIdlePauseMs = 1;
constexpr int kDequeuePauseMs = 30;
// An empty colour pool fills again only as the consumers release frames.
constexpr int kNoMemPauseMs = 30;
// Automatic exposure runs once more than this many buffers were taken.
constexpr uint32 kAeBuffers = 4;
constexpr uint32 kDefaultTargetLevel = 80;

// ---- Per capture variant: buffers since the last automatic exposure,
// frames in the current second and the tick of the last report ----

std::atomic<uint32> s_aeCount{0};
std::atomic<uint32> s_aeCountHdr{0};
SensorFpsCounter s_fps;

constexpr auto& info_of = sensor_info_of;
constexpr auto& subdev_of = sensor_subdev_of;

constexpr auto& reg = sensor_reg;
constexpr auto& reg_write = sensor_reg_put;


constexpr auto& sreg_write = sensor_subdev_write;

uint32 sreg_pair(int fd, uint16 hi, uint16 lo)
{
    uint32 v = 0;
    sensor_subdev_pair(fd, hi, lo, &v);
    return v;
}

int set_ctrl(iodev_t* dev, uint32 id, int32_t value) { return sensor_set_ctrl(subdev_of(dev), id, value); }

int get_ctrl(iodev_t* dev, uint32 id, uint32_t* value, bool logValue)
{
    if (sensor_get_ctrl(subdev_of(dev), id, value) != 0) return -1;
    if (logValue) log_info(g_logger, __FUNCTION__, __LINE__, "ctrl.value:%d", (int)*value);
    return 0;
}

bool doubled(iodev_t* dev)
{
    V4L2SensorInfo* info = info_of(dev);
    return !info || info->sensorType == 0;
}

uint32 line_register(iodev_t* dev) { return sreg_pair(subdev_of(dev), kLineLenHi, kLineLenLo); }

void fill_ops(V4L2SensorInfo* o)
{
    o->set_fps = sensor_rgb_set_fps;
    o->get_fps = sensor_rgb_get_fps;
    o->set_integration_f0 = sensor_rgb_set_integration;
    o->get_integration_f0 = sensor_rgb_get_integration;
    o->set_gain = sensor_rgb_set_gain;
    o->get_gain = sensor_rgb_get_gain;
    o->set_vfilp = sensor_rgb_set_vfilp;
    o->get_vfilp = sensor_rgb_get_vfilp;
    o->set_hfilp = sensor_rgb_set_hfilp;
    o->get_hfilp = sensor_rgb_get_hfilp;
    o->read_reg = sensor_rgb_read_reg;
    o->write_reg = sensor_rgb_write_reg;
    o->switch_mode = sensor_rgb_switch_mode;
    o->custom_read_reg = Custom_RegRead;
    o->custom_write_reg = Custom_RegWrite;
}

void write_mode(int fd, uint8 a, uint8 b, uint8 frameHi)
{
    sreg_write(fd, kModeA, a);
    sreg_write(fd, kModeB, b);
    sreg_write(fd, kFrameLenHi, frameHi);
}

// ---- Capture ----

// Copies one dequeued buffer to `offset` bytes into the frame when it fits
// the pool unit there; false otherwise (the frame is then to be dropped).
bool copy_in(epcore_t* core, ImageInfo* img, uint32 offset, const SensorCapture& cap)
{
    const uint64 room = sensor_frame_room(core->rgb);
    if ((uint64)offset + cap.bytes > room) {
        log_error(g_logger, __FUNCTION__, __LINE__, "frame of %u bytes at %u exceeds the colour unit", cap.bytes,
                  offset);
        return false;
    }
    memcpy(img->imageData + offset, cap.data, cap.bytes);
    return true;
}

void fill_header(ImageInfo* img, const V4L2SensorInfo* info, uint32 imageSize)
{
    img->memType = E_MEMTYPE_RGB;
    img->sensorIndex = 0;
    img->imageType = E_IMAGE_TYPE_RGB;
    img->width = info->width;
    img->height = info->height;
    img->pixelFormat = kPixelMono10;
    img->imageSize = imageSize;
    get_local_time(&img->timeStampH, &img->timeStampL);
}

bool auto_exposure_on() { return reg(kRegAutoExposure) != 0; }

// Outcome of taking one buffer.
enum Take { kTaken, kNothing, kStopped };

// Waits up to `ms` for the node and dequeues one buffer.
Take take_buffer(iodev_t* dev, int epfd, int ms, bool hdr, SensorCapture* cap)
{
    int w = sensor_wait_readable(epfd, ms);
    if (w == -2) return kStopped;
    if (w == 0) {
        if (hdr) log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait timeout");
        else sensor_capture_pause(kIdlePauseMs);
        return kNothing;
    }
    // A node stuck in error answers at once: without these pauses the
    // worker would spin on it.
    if (w < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, hdr ? "epoll_wait error" : "epoll_wait error.");
        sensor_capture_pause(kIdlePauseMs);
        return kNothing;
    }
    if (sensor_dequeue(dev, cap) != 0) {
        sensor_capture_pause(kDequeuePauseMs);
        return kNothing;
    }
    return kTaken;
}

// Two buffers of one frame: the first goes behind the second.
void take_second(epcore_t* core, ImageInfo* img, SensorPair* p, int index, const SensorCapture& cap)
{
    const bool wasOk = p->ok;
    sensor_pair_copy(p, img->imageData, sensor_frame_room(core->rgb), index, cap);
    if (p->ok || !wasOk) return;
    if (index == 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "frame of %u bytes at %u exceeds the colour unit", cap.bytes,
                  cap.bytes);
    else
        log_error(g_logger, __FUNCTION__, __LINE__, "exposures of %u and %u bytes differ", p->first, cap.bytes);
}

void count_frame() { sensor_fps_count(&s_fps, "capture rgb fps:%d"); }

ImageInfo* fetch_frame(epcore_t* core) { return sensor_frame_before_wait(core, E_MEMTYPE_RGB, kNoMemPauseMs); }

} // namespace

// ---- Operations ----

int sensor_rgb_set_fps(iodev_t* dev, uint32_t fps)
{
    int fd = subdev_of(dev);
    uint32 v = sensor_colour_frame_length(line_register(dev), fps, doubled(dev));
    log_debug(g_logger, __FUNCTION__, __LINE__, "fps:%d vts:%d", (int)fps, (int)v);
    int rc = sreg_write(fd, kFrameLenHi, (uint8)(v >> 8));
    int rc2 = sreg_write(fd, kFrameLenLo, (uint8)v);
    return rc ? rc : rc2;
}

int sensor_rgb_get_fps(iodev_t* dev, uint32_t* fps)
{
    if (!fps) return -1;
    *fps = sensor_colour_rate(sreg_pair(subdev_of(dev), kFrameLenHi, kFrameLenLo), line_register(dev));
    return 0;
}

int sensor_rgb_set_integration(iodev_t* dev, uint32_t us)
{
    return set_ctrl(dev, kCtrlExposure, (int32_t)sensor_colour_exposure_lines(us, line_register(dev), doubled(dev)));
}

int sensor_rgb_get_integration(iodev_t* dev, uint32_t* value) { return get_ctrl(dev, kCtrlExposure, value, false); }

int sensor_rgb_set_gain(iodev_t* dev, uint32_t gain) { return set_ctrl(dev, kCtrlGain, (int32_t)gain); }

int sensor_rgb_get_gain(iodev_t* dev, uint32_t* gain) { return get_ctrl(dev, kCtrlGain, gain, false); }

int sensor_rgb_set_vfilp(iodev_t* dev, uint32_t on) { return set_ctrl(dev, kCtrlVflip, (int32_t)on); }

int sensor_rgb_get_vfilp(iodev_t* dev, uint32_t* on) { return get_ctrl(dev, kCtrlVflip, on, true); }

int sensor_rgb_set_hfilp(iodev_t* dev, uint32_t on) { return set_ctrl(dev, kCtrlHflip, (int32_t)on); }

int sensor_rgb_get_hfilp(iodev_t* dev, uint32_t* on) { return get_ctrl(dev, kCtrlHflip, on, true); }

int sensor_rgb_enable_testpattern(iodev_t* pdev, uint32_t enable)
{
    return set_ctrl(pdev, kCtrlTestPattern, (int32_t)enable);
}

int sensor_rgb_read_reg(iodev_t* dev, uint32_t address, uint16_t* value)
{
    if (!value) return -1;
    return sensor_subdev_read(subdev_of(dev), (uint16)address, value);
}

int sensor_rgb_write_reg(iodev_t* dev, uint32_t address, uint16_t value)
{
    return sreg_write(subdev_of(dev), (uint16)address, (uint8)value);
}

int sensor_rgb_switch_mode(iodev_t* dev, uint32_t mode)
{
    int fd = subdev_of(dev);
    if (mode == 1) {
        write_mode(fd, 0xB0, 0x60, 0x3F);
        return 0;
    }
    write_mode(fd, 0x30, 0x40, 0x02);
    int sync = 0;
    int rc = sensor_xioctl(fd, (int)RKMODULE_SET_SYNC_MODE, &sync);
    if (rc != 0) log_error(g_logger, __FUNCTION__, __LINE__, "RKMODULE_SET_SYNC_MODE fail.");
    return rc;
}

// ---- Set-up ----

int sensor_rgb_start_capturing(iodev_t* pdev) { return sensor_start_capturing(pdev); }

int sensor_rgb_stop_capturing(iodev_t* pdev) { return sensor_stop_capturing(pdev); }

int sensor_rgb_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    uint32 cpu = reg(kRegCpuId);
    const char* graph = cpu == E_CPU_RK3588 ? "/dev/media0" : cpu == E_CPU_RK3568 ? "/dev/media1" : nullptr;
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node(graph, "stream_cif_mipi_id0", node) != 0) return -1;
    int fd = -1, subfd = -1;
    if (sensor_open_node(node, "rgb sensor open.", "rgb sensor subdev open.", &fd, &subfd) != 0) return -1;

    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_ALGO_RGB, type, fd, subfd);
    if (!dev) return -1;
    auto* info = static_cast<V4L2SensorInfo*>(dev->priv_data);
    fill_ops(info);
    info->sensorType = 0;
    info->width = kWidth;
    info->height = kHeight;
    info->format = V4L2_PIX_FMT_Y10;
    info->memType = V4L2_MEMORY_MMAP;
    const bool twoExposures = reg(kRegFreqMode) == kFreqModeTwoExposures && reg(kRegTofKind) != kTofKindImx570;
    dev->callback = twoExposures ? sensor_rgb_capture_hdr : sensor_rgb_capture;
    // From here sensor_uninit releases everything, registered or not.
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "rgb device %d taken", (int)type);
        sensor_uninit(dev);
        return -1;
    }
    if (sensor_init_device(dev) != 0) {
        sensor_uninit(dev);
        return -1;
    }
    *ppdev = dev;
    log_info(g_logger, __FUNCTION__, __LINE__, "rgb_init success");
    return 0;
}

// ---- Automatic exposure ----

void sensor_rgb_auto_exposure(iodev_t* pdev, ImageInfo* image)
{
    V4L2SensorInfo* info = info_of(pdev);
    if (!info || !image || !info->custom_read_reg || !info->custom_write_reg) return;
    uint32 exposure = 0, gain = 0, target = 0;
    info->custom_read_reg(kRegExposure, &exposure);
    info->custom_read_reg(kRegGain, &gain);
    if (info->custom_read_reg(kRegTargetLevel, &target) != 0) target = kDefaultTargetLevel;
    float newExposure = (float)exposure, newGain = (float)gain;
    algo_TavoPlus_AutoExposure(image->imageData, (int)image->width, (int)image->height, (float)exposure, (float)gain,
                               0.2f, (float)target, 11000.0f, 1.0f, 600.0f, 100.0f, &newExposure, &newGain, 0);
    uint32 e = newExposure > 0 ? (uint32)newExposure : 0;
    uint32 g = newGain > 0 ? (uint32)newGain : 0;
    info->custom_write_reg(kRegExposure, &e);
    info->custom_write_reg(kRegGain, &g);
}

// ---- Capture callbacks ----

int sensor_rgb_capture(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    ImageInfo* img = fetch_frame(core);
    if (!img) return -1;
    // In the ToF's two-exposure mode one frame holds two buffers.
    const bool two = reg(kRegFreqMode) == kFreqModeTwoExposures;
    SensorPair pair;
    uint32 imageSize = 0;
    for (int index = 0; index < (two ? 2 : 1); index++) {
        SensorCapture cap;
        if (take_buffer(dev, event, kWaitMs, false, &cap) != kTaken) {
            free_image(core, img);
            return 0;
        }
        s_aeCount.fetch_add(1);
        if (two) {
            take_second(core, img, &pair, index, cap);
            imageSize = pair.first * 2;
        } else {
            pair.ok = copy_in(core, img, 0, cap);
            imageSize = cap.bytes;
        }
        sensor_requeue(dev, &cap);
    }
    if (!pair.ok || !core->streamon.load()) {
        free_image(core, img);
        return 0;
    }
    fill_header(img, info, imageSize);
    if (auto_exposure_on() && s_aeCount.load() > kAeBuffers) {
        sensor_rgb_auto_exposure(dev, img);
        s_aeCount.store(0);
    }
    sensor_handover_replace_old(core, E_WORKER_ID_ALGO_RGB, img);
    count_frame();
    return 0;
}

int sensor_rgb_capture_hdr(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    ImageInfo* img = fetch_frame(core);
    if (!img) return -1;
    SensorPair pair;
    for (int index = 0; index < 2; index++) {
        SensorCapture cap;
        if (take_buffer(dev, event, kHdrWaitMs, true, &cap) != kTaken) {
            free_image(core, img);
            return 0;
        }
        s_aeCountHdr.fetch_add(1);
        take_second(core, img, &pair, index, cap);
        sensor_requeue(dev, &cap);
    }
    if (!pair.ok) {
        free_image(core, img);
        return 0;
    }
    // The frame carries both pictures.
    fill_header(img, info, pair.first * 2);
    if (auto_exposure_on() && s_aeCountHdr.load() > kAeBuffers) {
        sensor_rgb_auto_exposure(dev, img);
        s_aeCountHdr.store(0);
    }
    if (!core->streamon.load()) {
        free_image(core, img);
        return 0;
    }
    sensor_handover_replace_old(core, E_WORKER_ID_ALGO_RGB, img);
    return 0;
}

// ---- The capture task ----

void* sensor_rgb_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("rgbsensor");
    sensor_capture_bind(wk);
    sensor_fps_start(&s_fps);

    iodev_t* dev = nullptr;
    for (int attempt = 0; attempt < kInitAttempts && !sensor_capture_stopped(); attempt++) {
        if (sensor_rgb_init(core, E_DEVICE_RGB, &dev) == 0) break;
        dev = nullptr;
        sensor_capture_pause(kInitRetryMs);
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor_rgb_init fail.");
    }
    if (!dev) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor rgb init fail.");
        reg_write(kRegRgbWorker, 1);
        sensor_capture_bind(nullptr);
        log_info(g_logger, __FUNCTION__, __LINE__, "end task");
        worker_destory(wk);
        return nullptr;
    }
    reg_write(kRegRgbWorker, 0);
    // A node that did not start streaming answers every wait with an error
    // or nothing; the captures pause on either, so the worker keeps waiting
    // for it without spinning.
    if (sensor_rgb_start_capturing(dev) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor start capturing fail.");
    {
        // Register writes may reach the same operations meanwhile.
        SensorOpsGuard sensorGuard;
        V4L2SensorInfo* info = info_of(dev);
        info->set_gain(dev, reg(kRegGain));
        info->set_integration_f0(dev, reg(kRegExposure));
        info->set_vfilp(dev, reg(kRegVfilp));
        info->set_hfilp(dev, reg(kRegHfilp));
        info->set_fps(dev, reg(kRegFps));
        write_mode(subdev_of(dev), 0xB0, 0x60, 0x3F);
    }

    // The callbacks wait for the node themselves and never ask for a restart.
    SensorLoop loop{kWaitMs, INT_MAX, true};
    sensor_capture_loop(wk, dev, &loop);

    sensor_rgb_stop_capturing(dev);
    sensor_uninit(dev);
    sensor_capture_bind(nullptr);
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end task");
    worker_destory(wk);
    return nullptr;
}
