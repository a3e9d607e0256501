// USB camera driver.
//
// Only every second buffer is used (the camera runs at twice the rate the
// illuminator is switched at). The exposure controls are the camera's
// absolute exposure control; brightness and the automatic-exposure menu are
// other controls and leave the exposure as it was.
#include "sensor/sensor_uvc.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

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
#include "sensor/sensor_vld_ae.h"
#include "sensor/v4l2_capture.h"
#include "worker.h"

namespace {

constexpr uint32 kRegExposure = 0x10001050;
constexpr uint32 kRegExposureLit = 0x1000105c;
constexpr uint32 kRegAutoExposure = 0x100010d8;

constexpr int kVldChip = 0;
constexpr int kTriggerChip = 1;
constexpr uint32 kTriggerDutyNs = 1000000;
constexpr int kWaitMs = 800;
constexpr int kDequeuePauseMs = 30;
constexpr int kTriggerPauseMs = 500;
constexpr int kVldDelayMs = 40;
constexpr uint32 kFirstGain = 1025;
constexpr uint32 kFirstExposure = 35000;

// Trigger and illuminator; both bound their duty cycles by its period.
SensorPwmCamera s_cam{kTriggerChip, kVldChip};
std::atomic<uint32> s_buffers{0};
std::atomic<int> g_set_exposure_flags{0};
VldAeState g_vld{VLD_AE_ON, 0, -1, -1}; // worker 511's capture thread only
SensorFpsCounter s_fps;

const VldAeConfig kAe = {kRegExposureLit, 35000.0f, kRegExposure, 11000.0f, kTriggerChip, kVldChip, 1};

int set_ctrl(iodev_t* pdev, uint32 id, int32_t value) { return pdev ? sensor_set_ctrl(pdev->fd, id, value) : -1; }


void fill_ops(V4L2SensorInfo* o)
{
    o->width = o->outWidth = 1920;
    o->height = o->outHeight = 1080;
    o->format = V4L2_PIX_FMT_MJPEG;
    o->memType = V4L2_MEMORY_MMAP;
    o->set_integration_f0 = sensor_uvc_vld_set_integration;
    o->set_integration_f1 = sensor_uvc_set_exposure;
    o->set_gain = sensor_uvc_set_gain;
    o->set_vfilp = sensor_uvc_set_vfilp;
    o->set_hfilp = sensor_uvc_set_hfilp;
    o->vld_enable = sensor_uvc_vld_enable;
    o->start_stop_stream = sensor_uvc_start_stop_stream;
    o->custom_read_reg = Custom_RegRead;
    o->custom_write_reg = Custom_RegWrite;
}

} // namespace

// ---- Set-up and illuminator ----

int sensor_uvc_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node("/dev/media3", "Webcam gadget: UVC Camera", node) != 0) return -1;
    int fd = plat_open(node, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "usb sensor open.");
        return -1;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "fd:%d", fd);
    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_GVSP, type, fd, -1);
    if (!dev) return -1;
    fill_ops(static_cast<V4L2SensorInfo*>(dev->priv_data));
    dev->callback = sensor_uvc_capture_mjpeg;
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor device %d taken", (int)type);
        sensor_uninit(dev);
        return -1;
    }
    if (sensor_init_device(dev) != 0) {
        sensor_uninit(dev);
        return -1;
    }
    sensor_pwm_export(kTriggerChip);
    sensor_pwm_export(kVldChip);
    log_info(g_logger, __FUNCTION__, __LINE__, "uvc_init success");
    *ppdev = dev;
    return 0;
}

void sensor_uvc_delay(void)
{
    sensor_pwm_enable(kVldChip, 1);
    log_info(g_logger, __FUNCTION__, __LINE__, "sensor_uvc_delay");
}

int sensor_uvc_auto_exposure(iodev_t* pdev, ImageInfo* image, uint32_t imageSize)
{
    if (!pdev || !image) return 0;
    return sensor_vld_auto_exposure(static_cast<epcore_t*>(pdev->cbpara), &g_vld, &kAe, image->imageData, imageSize,
                                    (int)image->width, (int)image->height);
}

// ---- Operations ----

uint32_t sensor_uvc_period(void) { return s_cam.period.load(); }

int sensor_uvc_set_fps(iodev_t*, uint32_t fps)
{
    sensor_pwmcam_set_fps(&s_cam, fps);
    return 0;
}

int sensor_uvc_vld_set_fps(iodev_t*, uint32_t fps)
{
    sensor_pwmcam_vld_set_fps(&s_cam, fps);
    return 0;
}

int sensor_uvc_vld_set_integration(iodev_t*, uint32_t time) { return sensor_pwmcam_vld_set_integration(&s_cam, time); }

int sensor_uvc_set_integration(iodev_t*, uint32_t time) { return sensor_pwmcam_set_integration(&s_cam, time); }

int sensor_uvc_set_exposure(iodev_t* pdev, uint32_t time)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "time:%d", (int)time);
    return set_ctrl(pdev, V4L2_CID_EXPOSURE_ABSOLUTE, (int32_t)time);
}

int sensor_uvc_get_exposure(iodev_t* pdev, uint32_t* time)
{
    if (!pdev || !time) return -1;
    return sensor_get_ctrl(pdev->fd, V4L2_CID_EXPOSURE_ABSOLUTE, time);
}

int sensor_uvc_set_gain(iodev_t* pdev, uint32_t gain)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "gain:%d", (int)gain);
    return set_ctrl(pdev, V4L2_CID_GAIN, (int32_t)gain);
}

int sensor_uvc_set_vfilp(iodev_t* pdev, uint32_t on) { return set_ctrl(pdev, V4L2_CID_VFLIP, (int32_t)on); }
int sensor_uvc_set_hfilp(iodev_t* pdev, uint32_t on) { return set_ctrl(pdev, V4L2_CID_HFLIP, (int32_t)on); }

int sensor_uvc_vld_enable(iodev_t* pdev, uint32_t enable)
{
    (void)pdev;
    return LED_Control(GPIO_USB_CAM_SUPPLY, enable ? 1 : 0);
}

int sensor_uvc_start_stop_stream(iodev_t* pdev, uint32_t start)
{
    if (!pdev) return -1;
    if (!start) {
        sensor_pwm_enable(kVldChip, 0);
        return 0;
    }
    sensor_pwm_enable(kTriggerChip, 0);
    wait_ms(kTriggerPauseMs);
    sensor_delay_start(static_cast<epcore_t*>(pdev->cbpara), kVldDelayMs, sensor_uvc_delay);
    sensor_pwm_enable(kTriggerChip, 1);
    return 0;
}

// ---- Capture ----

int sensor_uvc_capture_mjpeg(void* vpcore, void* vobj, int event, int fdtype)
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
    if (s_buffers.fetch_add(1) % 2 == 0) { // the first, third, fifth ... go straight back
        sensor_requeue(dev, &cap);
        return 0;
    }
    // An empty picture is no picture.
    if (cap.bytes == 0) {
        sensor_requeue(dev, &cap);
        return 0;
    }
    int rc = 0;
    ImageInfo* img = sensor_frame_for(core, dev, E_MEMTYPE_RGB, &cap, &rc);
    if (!img) return rc;
    img->sensorIndex = 1;
    img->imageType = 5;
    img->width = img->outWidth = info->width;
    img->height = img->outHeight = info->height;
    img->pixelFormat = UVC_PIXEL_JPEG;
    img->imageSize = cap.bytes;
    get_local_time(&img->timeStampH, &img->timeStampL);
    memcpy(img->imageData, cap.data, cap.bytes);
    sensor_requeue(dev, &cap);
    if (sensor_reg(kRegAutoExposure)) sensor_uvc_auto_exposure(dev, img, img->imageSize);
    sensor_handover_drop_new(core, E_WORKER_ID_GVSP, img);
    if (!g_set_exposure_flags.load()) {
        sensor_uvc_set_gain(dev, kFirstGain);
        sensor_uvc_set_exposure(dev, kFirstExposure);
        g_set_exposure_flags.store(1);
    }
    sensor_fps_count(&s_fps, "uvc capture rgb fps:%d");
    return 0;
}

// ---- Task ----

void* sensor_uvc_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("uvcsensor");
    sensor_capture_bind(wk);
    s_buffers.store(0);
    g_set_exposure_flags.store(0);
    sensor_vld_ae_reset(&g_vld);
    sensor_fps_start(&s_fps);

    iodev_t* dev = nullptr;
    if (sensor_uvc_init(core, E_DEVICE_RGB, &dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor uvc init fail.");
        sensor_capture_bind(nullptr);
        worker_destory(wk);
        return nullptr;
    }
    sensor_uvc_vld_enable(dev, 1);
    sensor_pwm_set_duty(kTriggerChip, kTriggerDutyNs, s_cam.period.load());
    sensor_uvc_vld_set_integration(dev, sensor_reg(kRegExposure));
    sensor_pwm_enable(kTriggerChip, 1);
    if (sensor_start_capturing(dev) == 0) {
        SensorLoop loop{kWaitMs, INT32_MAX, false};
        sensor_capture_loop(wk, dev, &loop);
        sensor_stop_capturing(dev);
    } else {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor start capturing fail.");
    }
    sensor_pwm_release(kTriggerChip, kVldChip);
    sensor_uvc_vld_enable(dev, 0);
    {
        SensorOpsGuard ops;
        sensor_uninit(dev);
    }
    sensor_capture_bind(nullptr);
    log_info(g_logger, __FUNCTION__, __LINE__, "end task");
    worker_destory(wk);
    return nullptr;
}
