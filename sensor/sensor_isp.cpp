// Colour capture through the image signal processor (worker 528).
//
// The ISP's main path delivers YUV frames that the 3A library has already
// exposed and white-balanced; this driver starts the library for the sensor
// bound to the ISP, drives its exposure attribute record when hosts switch
// between automatic and manual exposure, programs the sensor's frame length
// and synchronisation, and hands the frames to the colour-processing worker
// 513. The first four frames after every start and every master/slave change
// are dropped while the sensor and the library settle.
#include "sensor/sensor_isp.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "aiq.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "platform.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "worker.h"

std::atomic<int> g_lost_rgb{0};

namespace {

// ---- Register space addresses ----

constexpr uint32 kRegMasterSlave = 0x10000054;
constexpr uint32 kRegMultiMachine = 0x10000074;
constexpr uint32 kRegRgbKind = 0x10001000;
constexpr uint32 kRegRgbFps = 0x1000102C;
constexpr uint32 kRegHfilp = 0x1000103C;
constexpr uint32 kRegVfilp = 0x10001040;
constexpr uint32 kRegGain = 0x10001044;
constexpr uint32 kRegExposure = 0x10001050;
constexpr uint32 kRegAutoExposure = 0x100010D8;
constexpr uint32 kRegTofKind = 0x10002000;
constexpr uint32 kRegTofFps = 0x1000202C;
constexpr uint32 kRegFreqMode = 0x10002068;
constexpr uint32 kRegRgbWorker = 0x10007010;
constexpr uint32 kRegCpuId = 0x10007024;

// ---- Sensor registers ----

constexpr uint16 kLineLenHi = 0x320C, kLineLenLo = 0x320D;
constexpr uint16 kFrameLenHi = 0x320E, kFrameLenLo = 0x320F;
constexpr uint16 kMode3228 = 0x3228, kMode3234 = 0x3234;
constexpr uint16 kSync3222 = 0x3222, kSync3614 = 0x3614;
constexpr uint16 kStreaming = 0x0100;

constexpr uint32 kCidHflip = 0x00980914;
constexpr uint32 kCidVflip = 0x00980915;

constexpr uint32 kPixelMono10 = 0x01100003;

// Frame length = pixel clock / (line length x rate) on the SC230AI.
constexpr uint64 kSc230aiClock = 74250000;
constexpr uint64 kSc230aiLine = 2200;

// 3A library settings.
constexpr const char* kIqDir = "/etc/iqfiles/";
constexpr float kAdvancedAuto[4] = {0.001f, 1.04f, 1.0f, 100.0f};

constexpr int kSingleWaitMs = 200;
constexpr int kHdrWaitMs = 500;
constexpr int kDequeuePauseMs = 30;
constexpr int kEmptyPoolPauseMs = 30;
constexpr int kSettleFrames = 3; // frames dropped while g_lost_rgb is at most this
constexpr int kSettled = 5;

// Frame counter and rate report of the capture callbacks.
std::atomic<uint64> s_frameIndex{0};
SensorFpsCounter s_fps;

constexpr auto& reg = sensor_reg;

void reg_write(uint32 address, uint32 value)
{
    uint32 v = value;
    Custom_RegWrite(address, &v);
}

constexpr auto& info_of = sensor_info_of;
plat_aiq_ctx_t* ctx_of(iodev_t* dev)
{
    V4L2SensorInfo* info = info_of(dev);
    return info ? static_cast<plat_aiq_ctx_t*>(info->aiq_ctx) : nullptr;
}

constexpr auto& subdev_of = sensor_subdev_of;

int set_ctrl(iodev_t* dev, uint32 id, uint32 value) { return dev ? sensor_set_ctrl(dev->subdevFd, id, (int32_t)value) : -1; }

// Manual time and gain in the record: exposure register microseconds and
// gain register hundredths.
void set_manual(plat_aiq_exp_attr_t* attr, uint32 exposureUs, uint32 gain)
{
    attr->AecOpType = PLAT_AIQ_OP_MANUAL;
    plat_aiq_linear_manual_t& m = attr->stManual.LinearAE;
    m.ManualTimeEn = 1;
    m.ManualGainEn = 1;
    m.TimeValue = (float)exposureUs / 2000000.0f;
    m.GainValue = (float)gain / 100.0f;
}

// Reads the record, lets `change` edit it and writes it back whole, so the
// library's own fields keep their values. Without a running library nothing
// is written.
template <typename Fn>
void change_exposure(iodev_t* dev, Fn change)
{
    plat_aiq_ctx_t* ctx = ctx_of(dev);
    if (!ctx) return;
    plat_aiq_exp_attr_t attr{};
    if (plat_aiq_get_exp_attr(ctx, &attr) != 0) return; // nothing read: writing would replace the library's record
    change(&attr);
    plat_aiq_set_exp_attr(ctx, &attr);
}

void fill_ops(V4L2SensorInfo* o)
{
    o->set_fps = sensor_isp_set_fps;
    o->set_other_params = sensor_isp_other_params;
    o->set_integration_f0 = sensor_isp_set_integration;
    o->set_gain = sensor_isp_set_gain;
    o->set_vfilp = sensor_isp_set_vfilp;
    o->set_hfilp = sensor_isp_set_hfilp;
    o->read_reg = sensor_isp_read_reg;
    o->write_reg = sensor_isp_write_reg;
    o->exposure_mode = sensor_isp_set_exposure_mode;
    o->custom_read_reg = Custom_RegRead;
    o->custom_write_reg = Custom_RegWrite;
}

// ---- Capture ----

struct Variant {
    int  waitMs;
    bool alwaysTwo;   // two buffers per frame whatever the ToF mode
    bool pauseOnFail; // the single-exposure pauses after a failed wait or dequeue
    bool convert;     // NV12 rewritten as planar on CPU type 0
};

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits for and dequeues one buffer. 1 with *cap filled, 0 nothing (the
// frame is to be dropped).
int next_buffer(iodev_t* dev, int epfd, const Variant& v, SensorCapture* cap)
{
    int w = sensor_wait_readable(epfd, v.waitMs);
    if (w == -2) return 0; // stopped
    if (w == 0) {
        if (v.pauseOnFail) sensor_capture_pause(1);
        else log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait timeout");
        return 0;
    }
    if (w < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, v.pauseOnFail ? "epoll_wait error." : "epoll_wait error");
        if (v.pauseOnFail) sensor_capture_pause(1);
        return 0;
    }
    if (sensor_dequeue(dev, cap) != 0) {
        if (v.pauseOnFail) sensor_capture_pause(kDequeuePauseMs);
        return 0;
    }
    return 1;
}

// The frame goes to worker 513 once the settling frames are gone; a frame
// still waiting there is replaced by the newer one.
void hand_over(epcore_t* core, ImageInfo* img)
{
    int lost = g_lost_rgb.load();
    if (lost <= kSettleFrames) {
        g_lost_rgb.store(lost + 1);
        free_image(core, img);
        return;
    }
    g_lost_rgb.store(kSettled);
    sensor_handover_replace_old(core, E_WORKER_ID_ALGO_RGB, img);
}

void count_frame() { sensor_fps_count(&s_fps, "capture rgb fps:%d"); }

int capture(void* vpcore, void* vobj, int epfd, const Variant& v)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    ImageInfo* img = sensor_frame_before_wait(core, E_MEMTYPE_RGB, kEmptyPoolPauseMs);
    if (!img) return -1;
    const uint32 room = sensor_frame_room(core->rgb);
    const bool two = v.alwaysTwo || reg(kRegFreqMode) == 3;
    const bool planar = v.convert && reg(kRegCpuId) == E_CPU_RK3588;
    const uint64 picture = (uint64)info->width * info->height * 3 / 2;
    uint32 bytes = 0;
    bool fits = true;
    SensorPair pair;
    for (int n = 0; n < (two ? 2 : 1); n++) {
        SensorCapture cap;
        if (!next_buffer(dev, epfd, v, &cap)) {
            free_image(core, img);
            return 0;
        }
        if (two && n == 0) {
            // The first buffer goes behind the second.
            sensor_pair_copy(&pair, img->imageData, room, 0, cap);
            bytes = cap.bytes;
            fits = pair.ok;
        } else if (two && !planar) {
            sensor_pair_copy(&pair, img->imageData, room, 1, cap);
            fits = pair.ok;
        } else {
            // A converted second picture must match the first as a copied one does.
            fits = (!two || (pair.ok && cap.bytes == pair.first));
            bytes = cap.bytes;
            fits = fits && bytes > 0 && bytes <= room && (!planar || bytes >= picture);
            if (fits && planar) {
                int64_t t0 = now_ms();
                sensor_isp_nv12_to_yuv420(cap.data, img->imageData, info->width, info->height);
                memcpy(img->imageData + picture, cap.data + picture, bytes - picture);
                log_debug(g_logger, __FUNCTION__, __LINE__, "nv12 to yuv420 cost time:%ld", (long)(now_ms() - t0));
            } else if (fits) {
                memcpy(img->imageData, cap.data, bytes);
            }
        }
        sensor_requeue(dev, &cap);
    }
    if (!core->streamon.load()) {
        free_image(core, img);
        return 0;
    }
    if (!fits) {
        log_error(g_logger, __FUNCTION__, __LINE__, "frame of %u bytes does not fit the colour unit", bytes);
        free_image(core, img);
        return 0;
    }
    img->memType = E_MEMTYPE_RGB;
    img->sensorIndex = 0;
    img->imageType = E_IMAGE_TYPE_RGB;
    img->width = info->width;
    img->height = info->height;
    img->pixelFormat = kPixelMono10;
    // Both pictures of a two-buffer frame are its data.
    img->imageSize = two ? bytes * 2 : bytes;
    img->frameIndex = s_frameIndex.fetch_add(1);
    get_local_time(&img->timeStampH, &img->timeStampL);
    hand_over(core, img);
    count_frame();
    return 0;
}

// ---- Set-up ----

// Stops and releases the 3A instance of `dev`; no operation uses it meanwhile.
void aiq_release(iodev_t* dev)
{
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* info = info_of(dev);
    if (!info || !info->aiq_ctx) return;
    auto* ctx = static_cast<plat_aiq_ctx_t*>(info->aiq_ctx);
    info->aiq_ctx = nullptr;
    plat_aiq_stop(ctx, 0);
    plat_aiq_deinit(ctx);
}

} // namespace

// ---- Conversion ----

void sensor_isp_nv12_to_yuv420(const uint8_t* nv12, uint8_t* out, uint32_t width, uint32_t height)
{
    if (!nv12 || !out) return;
    const size_t luma = (size_t)width * height;
    const size_t quarter = luma / 4;
    memcpy(out, nv12, luma);
    const uint8_t* uv = nv12 + luma;
    uint8_t* u = out + luma;
    uint8_t* v = u + quarter;
    for (size_t i = 0; i < quarter; i++) {
        u[i] = uv[i * 2];
        v[i] = uv[i * 2 + 1];
    }
}

// ---- Operations ----

int sensor_isp_set_fps(iodev_t* pdev, uint32_t fps)
{
    // A rate of 0 would leave a frame length of 0 and stop the sensor: the
    // slowest rate stands in for it.
    if (fps == 0) fps = 1;
    if (reg(kRegRgbKind) == E_SMARTSENS_SC230AI) {
        // Above 30 the rate is in hundredths of a frame per second.
        uint64 d = fps > 30 ? (uint64)fps * (kSc230aiLine / 100) : (uint64)fps * kSc230aiLine;
        uint32 len = (uint32)(kSc230aiClock / d);
        uint8 hi = (uint8)((len >> 8) & 0xFF), lo = (uint8)(len & 0xFF);
        if (reg(kRegCpuId) == E_CPU_RK3568) {
            log_debug(g_logger, __FUNCTION__, __LINE__, "set rgb fps:%d", (int)fps);
            sensor_subdev_write(subdev_of(pdev), kFrameLenHi, hi);
            sensor_subdev_write(subdev_of(pdev), kFrameLenLo, lo);
        } else {
            char cmd[96];
            snprintf(cmd, sizeof(cmd), "i2ctransfer -f -y 4 w4@0x30 0x32 0x0e 0x%x 0x%x", hi, lo);
            plat_shell(cmd);
        }
        return 0;
    }
    const uint32 f = fps <= 100 ? fps : fps / 100;
    V4L2SensorInfo* info = info_of(pdev);
    uint32 line = 0;
    sensor_subdev_pair(subdev_of(pdev), kLineLenHi, kLineLenLo, &line);
    const uint32 len = sensor_colour_frame_length(line, f, info && info->sensorType == 0);
    sensor_subdev_write(subdev_of(pdev), kFrameLenHi, (uint8)(len >> 8));
    sensor_subdev_write(subdev_of(pdev), kFrameLenLo, (uint8)len);
    return 0;
}

int sensor_isp_other_params(iodev_t* pdev, uint32_t param, uint32_t type)
{
    if (type != kRegMasterSlave || reg(kRegRgbKind) != E_SMARTSENS_SC230AI) return 0;
    V4L2SensorInfo* info = info_of(pdev);
    if (!info) return 0;
    if (param) {
        sensor_subdev_write(subdev_of(pdev), kSync3614, 0);
        sensor_subdev_write(subdev_of(pdev), kSync3222, 0);
        sensor_subdev_write(subdev_of(pdev), kStreaming, 0);
        sensor_subdev_write(subdev_of(pdev), kStreaming, 1);
        uint32 fps = reg(kRegRgbFps);
        if (info->set_fps) info->set_fps(pdev, fps);
        log_info(g_logger, __FUNCTION__, __LINE__, "rgb in master mode,set fps:%d", (int)fps);
    } else {
        sensor_subdev_write(subdev_of(pdev), kSync3614, 1);
        sensor_subdev_write(subdev_of(pdev), kSync3222, 1);
        uint32 fps = reg(kRegTofFps);
        bool viaTof = sensor_with_device(static_cast<epcore_t*>(pdev->cbpara), E_DEVICE_TOF,
                                         [fps](V4L2SensorInfo* tof, iodev_t* tofDev) {
                                             if (tof->set_fps) tof->set_fps(tofDev, fps);
                                         });
        if (!viaTof && info->set_fps) info->set_fps(pdev, fps);
        log_info(g_logger, __FUNCTION__, __LINE__, "rgb in slave mode,set fps:%d", (int)fps);
    }
    g_lost_rgb.store(0);
    return 0;
}

int sensor_isp_set_integration(iodev_t* pdev, uint32_t time)
{
    if (reg(kRegAutoExposure) == 1) {
        log_info(g_logger, __FUNCTION__, __LINE__, "auto exp mode, cat not set time");
        return 0;
    }
    uint32 gain = reg(kRegGain);
    change_exposure(pdev, [&](plat_aiq_exp_attr_t* a) { set_manual(a, time, gain); });
    return 0;
}

int sensor_isp_set_gain(iodev_t* pdev, uint32_t gain)
{
    if (reg(kRegAutoExposure) == 1) {
        log_info(g_logger, __FUNCTION__, __LINE__, "auto exp mode, cat not set gain");
        return 0;
    }
    uint32 exposure = reg(kRegExposure);
    change_exposure(pdev, [&](plat_aiq_exp_attr_t* a) { set_manual(a, exposure, gain); });
    return 0;
}

int sensor_isp_set_exposure_mode(iodev_t* pdev, uint32_t expMode)
{
    uint32 exposure = reg(kRegExposure);
    uint32 gain = reg(kRegGain);
    change_exposure(pdev, [&](plat_aiq_exp_attr_t* a) {
        a->Enable = 1;
        if (expMode) {
            a->AecOpType = PLAT_AIQ_OP_AUTO;
            a->stAdvanced.Enable = 1;
            for (int i = 0; i < 4; i++) a->stAdvanced.Value[i] = kAdvancedAuto[i];
        } else {
            set_manual(a, exposure, gain);
        }
    });
    return 0;
}

int sensor_isp_set_vfilp(iodev_t* pdev, uint32_t on) { return set_ctrl(pdev, kCidVflip, on); }

int sensor_isp_set_hfilp(iodev_t* pdev, uint32_t on) { return set_ctrl(pdev, kCidHflip, on); }

int sensor_isp_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value)
{
    if (!value) return -1;
    *value = 0;
    return pdev ? sensor_subdev_read(pdev->subdevFd, (uint16)address, value) : -1;
}

int sensor_isp_write_reg(iodev_t* pdev, uint32_t address, uint16_t value)
{
    return pdev ? sensor_subdev_write(pdev->subdevFd, (uint16)address, (uint8)value) : -1;
}

// ---- Capture callbacks ----

int sensor_isp_capture(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)fdtype;
    return capture(vpcore, vobj, event, Variant{kSingleWaitMs, false, true, true});
}

int sensor_isp_capture_hdr(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)fdtype;
    return capture(vpcore, vobj, event, Variant{kHdrWaitMs, true, false, false});
}

// ---- Set-up ----

int sensor_isp_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    const uint32 cpu = reg(kRegCpuId);
    const uint32 rgbKind = reg(kRegRgbKind);
    const char* graph = cpu == E_CPU_RK3588 ? "/dev/media2" : cpu == E_CPU_RK3568 ? "/dev/media1" : nullptr;
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node(graph, "rkisp_mainpath", node) != 0) return -1;
    // The library names the sensor it tunes; without one it has nothing to run.
    const char* bound = plat_aiq_bound_sensor(node);
    if (!bound) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sns_entity_name not found");
        return -1;
    }
    char sensorEntity[64];
    snprintf(sensorEntity, sizeof(sensorEntity), "%s", bound);
    log_info(g_logger, __FUNCTION__, __LINE__, "sns_entity_name:%s", sensorEntity);
    // The sub-device is the one feeding the ISP node itself: on RK3588
    // "/dev/video0" belongs to the camera interface, whose sensor is not the
    // ISP's.
    int fd = -1, subfd = -1;
    if (sensor_open_node(node, "rgb sensor open.", "rgb sensor subdev open.", &fd, &subfd) != 0) return -1;

    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_ALGO_RGB, type, fd, subfd);
    if (!dev) return -1;
    auto* info = static_cast<V4L2SensorInfo*>(dev->priv_data);
    fill_ops(info);
    info->memType = V4L2_MEMORY_MMAP;
    info->format = cpu == E_CPU_RK3588 ? V4L2_PIX_FMT_NV12 : V4L2_PIX_FMT_YUV420;
    info->width = rgbKind == E_SMARTSENS_SC230AI ? 1920 : 1280;
    info->height = rgbKind == E_SMARTSENS_SC230AI ? 1080 : 960;
    dev->callback = sensor_isp_capture;
    if (sensor_init_device(dev) != 0) {
        sensor_uninit(dev);
        return -1;
    }
    // From here sensor_uninit releases everything, registered or not.
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "rgb device %d taken", (int)type);
        sensor_uninit(dev);
        return -1;
    }
    *ppdev = dev;
    plat_aiq_preinit_scene(sensorEntity, "normal", "day");
    plat_aiq_ctx_t* ctx = plat_aiq_init(sensorEntity, kIqDir);
    plat_aiq_prepare(ctx, info->width, info->height, PLAT_AIQ_WORKING_MODE_NORMAL);
    plat_aiq_start(ctx);
    {
        SensorOpsGuard sensorGuard;
        info->aiq_ctx = ctx;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "isp_init success");
    return 0;
}

// ---- The capture task ----

void* sensor_isp_task(void* arg)
{
    auto* wk = static_cast<worker_t*>(arg);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    const uint32 cpu = reg(kRegCpuId);
    const uint32 rgbKind = reg(kRegRgbKind);
    const uint32 tofKind = reg(kRegTofKind);
    set_task_name("isp sensor");
    sensor_capture_bind(wk);
    sensor_fps_start(&s_fps);

    iodev_t* dev = nullptr;
    if (sensor_isp_init(core, E_DEVICE_RGB, &dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor rgb init fail.");
        reg_write(kRegRgbWorker, 1);
        sensor_capture_bind(nullptr);
        worker_destory(wk);
        return nullptr;
    }
    reg_write(kRegRgbWorker, 0);
    sensor_start_capturing(dev);
    V4L2SensorInfo* info = info_of(dev);
    {
        // Register writes from hosts reach the same operations meanwhile.
        SensorOpsGuard sensorGuard;
        if (rgbKind != 0) {
            info->set_other_params(dev, reg(kRegMasterSlave), kRegMasterSlave);
        } else {
            sensor_subdev_write(subdev_of(dev), kMode3234, 0xB0);
            sensor_subdev_write(subdev_of(dev), kMode3228, 0x60);
            sensor_subdev_write(subdev_of(dev), kFrameLenHi, 0x3F);
        }
        info->set_vfilp(dev, reg(kRegVfilp));
        info->set_hfilp(dev, reg(kRegHfilp));
        if (tofKind != E_IMX570 && cpu == E_CPU_RK3568) {
            uint8 sync = reg(kRegMultiMachine) ? 1 : 0;
            sensor_subdev_write(subdev_of(dev), kSync3614, sync);
            sensor_subdev_write(subdev_of(dev), kSync3222, sync);
        }
        info->exposure_mode(dev, reg(kRegAutoExposure));
    }

    SensorLoop loop{kSingleWaitMs, INT32_MAX, true};
    sensor_capture_loop(wk, dev, &loop);

    g_lost_rgb.store(0);
    sensor_stop_capturing(dev);
    aiq_release(dev);
    sensor_uninit(dev);
    sensor_capture_bind(nullptr);
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end task");
    worker_destory(wk);
    return nullptr;
}
