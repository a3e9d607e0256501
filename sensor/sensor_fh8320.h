// FH8320 camera driver (ToF kind 900): a 1920 x 1080 UYVY camera triggered by
// one PWM output and lit by an illuminator on a second one. Its pictures are
// not processed for depth: worker 500 captures them for the encoder.
#ifndef KORVID_SENSOR_SENSOR_FH8320_H
#define KORVID_SENSOR_SENSOR_FH8320_H

#include <stdint.h>

#include "eptype.h"

// GigE Vision pixel format of its pictures (YUV 4:2:2 8-bit, UYVY order).
#define FH8320_PIXEL_UYVY 0x0210001F

// Body of worker 500 (camera capture); `vwker` is the worker_t.
void* sensor_fh8320_task(void* vwker);
// One capture: the dequeued picture goes to the encoder (worker 516).
int sensor_fh8320_capture_raw(void* vpcore, void* vobj, int event, int fdtype);
// The illuminator timer's action: enables the illuminator PWM.
void sensor_fh8320_delay(void);

// Operations (see the sensor table).
int sensor_fh8320_vld_set_integration(iodev_t* pdev, uint32_t time);
int sensor_fh8320_set_integration(iodev_t* pdev, uint32_t time);
int sensor_fh8320_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value);
int sensor_fh8320_write_reg(iodev_t* pdev, uint32_t address, uint16_t value);
int sensor_fh8320_vld_enable(iodev_t* pdev, uint32_t enable);
// Trigger (pwmchip0) and illuminator (pwmchip1) periods; both share one period.
int sensor_fh8320_set_fps(iodev_t* pdev, uint32_t fps);
int sensor_fh8320_vld_set_fps(iodev_t* pdev, uint32_t fps);
// The shared period in ns, 0 until a rate is set.
uint32_t sensor_fh8320_period(void);

#endif
