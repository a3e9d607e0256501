// Colour capture through the image signal processor and its 3A library:
// worker 528 starts the library for the sensor behind the ISP, switches its
// exposure between automatic and manual, and hands the processed YUV frames
// to the colour-processing worker 513.
#ifndef KORVID_SENSOR_SENSOR_ISP_H
#define KORVID_SENSOR_SENSOR_ISP_H

#include <stdint.h>

#include <atomic>

#include "eptype.h"

// Frames still to be dropped after a (re)start: the capture drops frames
// while it is 3 or less, counting it up, then holds it at 5. Setting it to 0
// drops the next four frames.
extern std::atomic<int> g_lost_rgb;

// Body of worker 528 (E_WORKER_ID_ISP); `arg` is the worker_t.
void* sensor_isp_task(void* arg);

// Set-up: opens the ISP main-path node and the sensor sub-device, registers
// the device under `type` (10001), prepares the node and starts the 3A
// library. 0 with the device in *ppdev, or -1 with everything released.
int sensor_isp_init(void* vpcore, uint64_t type, iodev_t** ppdev);

// Capture callbacks (IOHandler form; they wait by themselves and take the
// capture loop's epoll descriptor in `event`). The two-exposure variant is
// installed by no path.
int sensor_isp_capture(void* vpcore, void* vobj, int event, int fdtype);
int sensor_isp_capture_hdr(void* vpcore, void* vobj, int event, int fdtype);

// Rewrites a width x height NV12 picture (luma, then interleaved U/V) as
// planar 4:2:0 (luma, U plane, V plane) into `out`, which must not overlap.
void sensor_isp_nv12_to_yuv420(const uint8_t* nv12, uint8_t* out, uint32_t width, uint32_t height);

// Operations of the table.
int sensor_isp_set_fps(iodev_t* pdev, uint32_t fps);
int sensor_isp_other_params(iodev_t* pdev, uint32_t param, uint32_t type);
int sensor_isp_set_integration(iodev_t* pdev, uint32_t time);
int sensor_isp_set_gain(iodev_t* pdev, uint32_t gain);
int sensor_isp_set_vfilp(iodev_t* pdev, uint32_t on);
int sensor_isp_set_hfilp(iodev_t* pdev, uint32_t on);
int sensor_isp_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value);
int sensor_isp_write_reg(iodev_t* pdev, uint32_t address, uint16_t value);
int sensor_isp_set_exposure_mode(iodev_t* pdev, uint32_t expMode);

#endif
