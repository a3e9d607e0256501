// USB camera driver: an MJPEG camera on "/dev/media3", triggered and lit
// through the two PWM outputs (pwmchip1 triggers, pwmchip0 lights) and GPIO
// 105. Its pictures go to the GVSP sender undecoded. No start-up path runs
// it: `sensor_uvc_task` is offered for a worker slot of the caller's choice.
#ifndef KORVID_SENSOR_SENSOR_UVC_H
#define KORVID_SENSOR_SENSOR_UVC_H

#include <stdint.h>

#include "common/common.h"
#include "eptype.h"

// GigE Vision pixel format the JPEG pictures travel under.
#define UVC_PIXEL_JPEG 0x01100003

void* sensor_uvc_task(void* vwker);
int   sensor_uvc_capture_mjpeg(void* vpcore, void* vobj, int event, int fdtype);
// Set-up of the camera device (id `type`): 0 with it in *ppdev, or -1.
int   sensor_uvc_init(void* vpcore, uint64_t type, iodev_t** ppdev);
// The illuminator timer's action: enables the illuminator PWM.
void  sensor_uvc_delay(void);
// Automatic exposure with illuminator switching on one JPEG picture of
// `imageSize` bytes; 1 when it switched the illuminator.
int   sensor_uvc_auto_exposure(iodev_t* pdev, ImageInfo* image, uint32_t imageSize);

int sensor_uvc_vld_set_integration(iodev_t* pdev, uint32_t time);
int sensor_uvc_set_integration(iodev_t* pdev, uint32_t time);
int sensor_uvc_set_exposure(iodev_t* pdev, uint32_t time);
int sensor_uvc_get_exposure(iodev_t* pdev, uint32_t* time);
int sensor_uvc_set_gain(iodev_t* pdev, uint32_t gain);
int sensor_uvc_set_vfilp(iodev_t* pdev, uint32_t on);
int sensor_uvc_set_hfilp(iodev_t* pdev, uint32_t on);
int sensor_uvc_vld_enable(iodev_t* pdev, uint32_t enable);
int sensor_uvc_start_stop_stream(iodev_t* pdev, uint32_t start);
int sensor_uvc_set_fps(iodev_t* pdev, uint32_t fps);
int sensor_uvc_vld_set_fps(iodev_t* pdev, uint32_t fps);
// The common period in ns (0 until a rate is set).
uint32_t sensor_uvc_period(void);

#endif
