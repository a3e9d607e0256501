// SC2210 colour driver.
//
// The sensor is reached like the colour-port camera (sub-device registers
// and controls); what differs is the trigger and illuminator PWM, the use
// of every second buffer, and the automatic exposure that switches the
// illuminator. Frames leave as NV12 with a neutral chroma, so the encoder
// never reads bytes this capture did not write.
#include "sensor/sensor_sc2210.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/epoll.h>

#include <atomic>

#include <linux/videodev2.h>

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
#include "sensor/sensor_rgb.h"
#include "sensor/sensor_vld_ae.h"
#include "sensor/v4l2_capture.h"
#include "worker.h"

namespace {

constexpr uint32 kRegCpuType = 0x10007024;
constexpr uint32 kRegRgbWorker = 0x10007010;
constexpr uint32 kRegExposure = 0x10001050;
constexpr uint32 kRegExposureLit = 0x1000105c;
constexpr uint32 kRegAutoExposure = 0x100010d8;
constexpr uint32 kRegStartDelay = 0x10007068;

constexpr int kTriggerChip = 0;
constexpr int kVldChip = 1;
constexpr uint32 kTriggerPeriodNs = 50050052;
constexpr uint32 kTriggerDutyNs = 1000000;
constexpr uint32 kVldFps = 33000;
constexpr uint32 kStartExposure = 10000;
constexpr uint32 kStartGain = 4000;
constexpr int kDefaultDelayMs = 50;
constexpr int kWaitMs = 200;
constexpr int kDequeuePauseMs = 30;
constexpr int kSetupAttempts = 2;
constexpr int kSetupRetryMs = 200;
constexpr uint32 kWidth = 1920;
constexpr uint32 kHeight = 1080;
constexpr uint32 kGreyBytes = kWidth * kHeight;

constexpr uint32 kCidVblank = 0x009E0901;

// Trigger and illuminator; both bound their duty cycles by its period.
SensorPwmCamera s_cam{kTriggerChip, kVldChip};
std::atomic<uint32> s_buffers{0};
SensorFpsCounter s_fps;
VldAeState s_vld{VLD_AE_ON, 0, -1, -1}; // worker 501's thread only

const VldAeConfig kAe = {kRegExposure, 10.0f, kRegExposureLit, 30000.0f, kTriggerChip, kVldChip, 0};


void fill_ops(V4L2SensorInfo* o)
{
    o->width = o->outWidth = kWidth;
    o->height = o->outHeight = kHeight;
    o->format = V4L2_PIX_FMT_GREY;
    o->memType = V4L2_MEMORY_MMAP;
    o->set_fps = sensor_sc2210_set_fps;
    o->get_fps = sensor_sc2210_get_fps;
    o->set_integration_f0 = sensor_sc2210_vld_set_integration;
    o->set_integration_f1 = sensor_sc2210_set_integration;
    o->set_gain = sensor_sc2210_set_gain;
    o->get_gain = sensor_sc2210_get_gain;
    o->set_vfilp = sensor_sc2210_set_vfilp;
    o->get_vfilp = sensor_sc2210_get_vfilp;
    o->set_hfilp = sensor_sc2210_set_hfilp;
    o->get_hfilp = sensor_sc2210_get_hfilp;
    o->read_reg = sensor_sc2210_read_reg;
    o->write_reg = sensor_sc2210_write_reg;
    o->switch_mode = sensor_sc2210_switch_mode;
    o->vld_enable = sensor_sc2210_vld_enable;
    o->custom_read_reg = Custom_RegRead;
    o->custom_write_reg = Custom_RegWrite;
}

} // namespace

// ---- Illuminator ----

void sensor_sc2210_delay(void)
{
    sensor_pwm_enable(kVldChip, 1);
    log_info(g_logger, __FUNCTION__, __LINE__, "sensor_sc2210_delay");
}

int sensor_sc2210_auto_exposure(iodev_t* pdev, ImageInfo* image)
{
    if (!pdev || !image) return 0;
    return sensor_vld_auto_exposure(static_cast<epcore_t*>(pdev->cbpara), &s_vld, &kAe, image->imageData, kGreyBytes,
                                    (int)kWidth, (int)kHeight);
}

// ---- Operations ----

uint32_t sensor_sc2210_period(void) { return s_cam.period.load(); }

int sensor_sc2210_set_fps(iodev_t* pdev, uint32_t fps)
{
    (void)pdev;
    (void)fps; // the trigger runs at one fixed period whatever is asked
    s_cam.period.store(kTriggerPeriodNs);
    sensor_pwm_set_period(kTriggerChip, kTriggerPeriodNs);
    return 0;
}

int sensor_sc2210_get_fps(iodev_t* pdev, uint32_t* fps) { return sensor_rgb_get_fps(pdev, fps); }

int sensor_sc2210_vld_set_fps(iodev_t*, uint32_t fps)
{
    sensor_pwmcam_vld_set_fps(&s_cam, fps);
    return 0;
}

int sensor_sc2210_vld_set_integration(iodev_t*, uint32_t time) { return sensor_pwmcam_vld_set_integration(&s_cam, time); }

int sensor_sc2210_set_integration(iodev_t* pdev, uint32_t time)
{
    if (!pdev) return -1;
    struct v4l2_control vblank{};
    vblank.id = kCidVblank;
    vblank.value = 10000000;
    if (sensor_xioctl(pdev->subdevFd, VIDIOC_S_CTRL, &vblank) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "ioctl failed");
        return -1;
    }
    float lines = (float)time / 1000000.0f * 75000000.0f / 2200.0f;
    if (sensor_set_ctrl(pdev->subdevFd, V4L2_CID_EXPOSURE, (int32_t)((uint32)lines & 0xFFFF)) != 0) return -1;
    sensor_pwm_set_duty(kTriggerChip, kTriggerDutyNs, s_cam.period.load());
    return 0;
}

int sensor_sc2210_set_gain(iodev_t* pdev, uint32_t gain) { return sensor_rgb_set_gain(pdev, gain); }
int sensor_sc2210_get_gain(iodev_t* pdev, uint32_t* gain) { return sensor_rgb_get_gain(pdev, gain); }
int sensor_sc2210_set_vfilp(iodev_t* pdev, uint32_t on) { return sensor_rgb_set_vfilp(pdev, on); }
int sensor_sc2210_get_vfilp(iodev_t* pdev, uint32_t* on) { return sensor_rgb_get_vfilp(pdev, on); }
int sensor_sc2210_set_hfilp(iodev_t* pdev, uint32_t on) { return sensor_rgb_set_hfilp(pdev, on); }
int sensor_sc2210_get_hfilp(iodev_t* pdev, uint32_t* on) { return sensor_rgb_get_hfilp(pdev, on); }
int sensor_sc2210_read_reg(iodev_t* pdev, uint32_t a, uint16_t* v) { return sensor_rgb_read_reg(pdev, a, v); }
int sensor_sc2210_write_reg(iodev_t* pdev, uint32_t a, uint16_t v) { return sensor_rgb_write_reg(pdev, a, v); }
int sensor_sc2210_switch_mode(iodev_t* pdev, uint32_t mode) { return sensor_rgb_switch_mode(pdev, mode); }

int sensor_sc2210_vld_enable(iodev_t* pdev, uint32_t enable)
{
    (void)pdev;
    return LED_Control(GPIO_ILLUMINATOR, enable ? 1 : 0);
}

void mono8_to_nv12(const uint8_t* mono8_data, uint8_t* nv12_data, int width, int height)
{
    if (!mono8_data || !nv12_data || width <= 0 || height <= 0) return;
    const size_t luma = (size_t)width * (size_t)height;
    memcpy(nv12_data, mono8_data, luma);
    memset(nv12_data + luma, 0x80, luma / 2);
}

// ---- Set-up ----

int sensor_sc2210_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    uint32 cpu = sensor_reg(kRegCpuType);
    const char* graph = cpu == E_CPU_RK3568 ? "/dev/media1" : (cpu <= E_CPU_RK3576 ? "/dev/media0" : nullptr);
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node(graph, "stream_cif_mipi_id0", node) != 0) return -1;
    int fd = -1, subfd = -1;
    if (sensor_open_node(node, "rgb sensor open.", "rgb sensor subdev open.", &fd, &subfd) != 0) return -1;
    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_ENC, type, fd, subfd);
    if (!dev) return -1;
    auto* info = static_cast<V4L2SensorInfo*>(dev->priv_data);
    fill_ops(info);
    dev->callback = sensor_sc2210_capture;
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor device %d taken", (int)type);
        sensor_uninit(dev);
        return -1;
    }
    if (sensor_init_device(dev) != 0) {
        sensor_uninit(dev);
        return -1;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "rgb_init success");
    *ppdev = dev;
    return 0;
}

// ---- Capture ----

int sensor_sc2210_capture(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = sensor_info_of(dev);
    if (!core || !info) return 0;
    ImageInfo* img = sensor_frame_before_wait(core, E_MEMTYPE_RGB, 1);
    if (!img) return -1;
    int w = sensor_wait_readable(event, kWaitMs);
    if (w != 1) {
        if (w == -1) log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait error.");
        free_image(core, img);
        sensor_capture_pause(1);
        return 0;
    }
    SensorCapture cap;
    if (sensor_dequeue(dev, &cap) != 0) {
        free_image(core, img);
        sensor_capture_pause(kDequeuePauseMs);
        return 0;
    }
    if (s_buffers.fetch_add(1) % 2 == 0) { // the first, third, fifth ... go straight back
        sensor_requeue(dev, &cap);
        free_image(core, img);
        return 0;
    }
    // The encoder takes 4:2:0 input: the grey picture and a neutral chroma,
    // which must fit the unit whole.
    if (cap.bytes < kGreyBytes || (uint64)kGreyBytes * 3 / 2 > sensor_frame_room(core->rgb)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "picture of %u bytes dropped", cap.bytes);
        sensor_requeue(dev, &cap);
        free_image(core, img);
        return 0;
    }
    mono8_to_nv12(cap.data, img->imageData, (int)kWidth, (int)kHeight);
    sensor_requeue(dev, &cap);
    if (!core->streamon.load()) {
        free_image(core, img);
        return 0;
    }
    img->sensorIndex = 0;
    img->imageType = E_IMAGE_TYPE_RAW;
    img->pixelFormat = SC2210_PIXEL_MONO8;
    img->imageSize = kGreyBytes * 3 / 2;
    img->width = img->outWidth = info->width;
    img->height = img->outHeight = info->height;
    if (sensor_reg(kRegAutoExposure)) sensor_sc2210_auto_exposure(dev, img);
    get_local_time(&img->timeStampH, &img->timeStampL);
    sensor_handover_replace_old(core, E_WORKER_ID_ENC, img);
    sensor_fps_count(&s_fps, "capture rgb fps:%d");
    return 0;
}

// ---- Task ----

void* sensor_sc2210_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("rgbsensor");
    sensor_capture_bind(wk);
    s_buffers.store(0);
    sensor_vld_ae_reset(&s_vld);
    sensor_fps_start(&s_fps);

    iodev_t* dev = nullptr;
    for (int attempt = 0; attempt < kSetupAttempts && !dev; attempt++) {
        if (sensor_sc2210_init(core, E_DEVICE_RGB, &dev) == 0) break;
        dev = nullptr;
        sensor_capture_pause(kSetupRetryMs);
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor_sc2210_init fail.");
    }
    if (!dev) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor rgb init fail.");
        sensor_reg_put(kRegRgbWorker, 1);
        sensor_capture_bind(nullptr);
        worker_destory(wk);
        return nullptr;
    }
    sensor_reg_put(kRegRgbWorker, 0);
    sensor_start_capturing(dev);
    sensor_sc2210_set_gain(dev, kStartGain);
    sensor_sc2210_vld_enable(dev, 1);
    sensor_pwm_export(kTriggerChip);
    sensor_pwm_export(kVldChip);
    sensor_sc2210_set_fps(dev, 0);
    sensor_sc2210_vld_set_fps(dev, kVldFps);
    sensor_sc2210_set_integration(dev, kStartExposure);
    sensor_pwm_set_duty(kVldChip, kStartExposure, s_cam.period.load());

    int delay = (int)sensor_reg(kRegStartDelay);
    if (delay == 0) delay = kDefaultDelayMs;
    sensor_delay_start(core, delay, sensor_sc2210_delay);
    sensor_pwm_enable(kTriggerChip, 1);

    SensorLoop loop{kWaitMs, INT32_MAX, true};
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
