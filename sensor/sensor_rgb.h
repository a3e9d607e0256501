// Colour capture of the colour-channel camera (colour kind 0, a 10-bit grey
// SC130GS behind the camera interface): set-up of its capture node and
// sub-device, its operations table, the single- and two-exposure capture
// callbacks with automatic exposure, and the task of worker 501, which hands
// every frame to the colour-processing worker 513.
#ifndef KORVID_SENSOR_SENSOR_RGB_H
#define KORVID_SENSOR_SENSOR_RGB_H

#include <stdint.h>

#include "common/common.h"
#include "eptype.h"
#include "sensor/sensor.h"

// Body of worker 501 (colour capture); `vwker` is the worker_t.
void* sensor_rgb_task(void* vwker);

// Set-up: opens the capture node of the colour camera interface and the
// sensor's sub-device, registers the device under `type` (10001) and
// prepares the node. 0 with the device in *ppdev, or -1 with everything
// released.
int sensor_rgb_init(void* vpcore, uint64_t type, iodev_t** ppdev);
int sensor_rgb_start_capturing(iodev_t* pdev);
int sensor_rgb_stop_capturing(iodev_t* pdev);

// Capture callbacks (IOHandler form). Both wait for the node by themselves:
// `event` is the caller's epoll descriptor watching the capture node. The
// two-exposure one takes two buffers into one frame.
int sensor_rgb_capture(void* vpcore, void* vobj, int event, int fdtype);
int sensor_rgb_capture_hdr(void* vpcore, void* vobj, int event, int fdtype);

// Proposes exposure and gain for `image` and writes them back through the
// register space, which applies them to the sensor.
void sensor_rgb_auto_exposure(iodev_t* pdev, ImageInfo* image);

// Operations of the table.
int sensor_rgb_set_fps(iodev_t* dev, uint32_t fps);
int sensor_rgb_get_fps(iodev_t* dev, uint32_t* fps);
int sensor_rgb_set_integration(iodev_t* dev, uint32_t us);
int sensor_rgb_get_integration(iodev_t* dev, uint32_t* value);
int sensor_rgb_set_gain(iodev_t* dev, uint32_t gain);
int sensor_rgb_get_gain(iodev_t* dev, uint32_t* gain);
int sensor_rgb_set_vfilp(iodev_t* dev, uint32_t on);
int sensor_rgb_get_vfilp(iodev_t* dev, uint32_t* on);
int sensor_rgb_set_hfilp(iodev_t* dev, uint32_t on);
int sensor_rgb_get_hfilp(iodev_t* dev, uint32_t* on);
int sensor_rgb_read_reg(iodev_t* dev, uint32_t address, uint16_t* value);
int sensor_rgb_write_reg(iodev_t* dev, uint32_t address, uint16_t value);
int sensor_rgb_switch_mode(iodev_t* dev, uint32_t mode);
// Offered, not in the table.
int sensor_rgb_enable_testpattern(iodev_t* pdev, uint32_t enable);

#endif
