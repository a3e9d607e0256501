// SC2210 colour driver (colour kind 4, sub-mode 2): a 1920 x 1080 grey camera
// triggered by a PWM output and lit by an illuminator on a second one. Worker
// 501 captures every second picture for the encoder and switches the
// illuminator by its own automatic exposure.
#ifndef KORVID_SENSOR_SENSOR_SC2210_H
#define KORVID_SENSOR_SENSOR_SC2210_H

#include <stdint.h>

#include "common/common.h"
#include "eptype.h"

// GigE Vision pixel format of its pictures (Mono8).
#define SC2210_PIXEL_MONO8 0x01080001

// Body of worker 501 (colour capture); `vwker` is the worker_t.
void* sensor_sc2210_task(void* vwker);
int   sensor_sc2210_init(void* vpcore, uint64_t type, iodev_t** ppdev);
// One capture; `event` is the caller's epoll descriptor on the node.
int   sensor_sc2210_capture(void* vpcore, void* vobj, int event, int fdtype);
// The illuminator timer's action: enables the illuminator PWM.
void  sensor_sc2210_delay(void);
// Automatic exposure with illuminator switching on one grey picture; 1 when
// it switched the illuminator.
int   sensor_sc2210_auto_exposure(iodev_t* pdev, ImageInfo* image);

int sensor_sc2210_set_fps(iodev_t* pdev, uint32_t fps);
int sensor_sc2210_get_fps(iodev_t* pdev, uint32_t* fps);
int sensor_sc2210_vld_set_fps(iodev_t* pdev, uint32_t fps);
int sensor_sc2210_vld_set_integration(iodev_t* pdev, uint32_t time);
int sensor_sc2210_set_integration(iodev_t* pdev, uint32_t time);
int sensor_sc2210_set_gain(iodev_t* pdev, uint32_t gain);
int sensor_sc2210_get_gain(iodev_t* pdev, uint32_t* gain);
int sensor_sc2210_set_vfilp(iodev_t* pdev, uint32_t on);
int sensor_sc2210_get_vfilp(iodev_t* pdev, uint32_t* on);
int sensor_sc2210_set_hfilp(iodev_t* pdev, uint32_t on);
int sensor_sc2210_get_hfilp(iodev_t* pdev, uint32_t* on);
int sensor_sc2210_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value);
int sensor_sc2210_write_reg(iodev_t* pdev, uint32_t address, uint16_t value);
int sensor_sc2210_switch_mode(iodev_t* pdev, uint32_t mode);
int sensor_sc2210_vld_enable(iodev_t* pdev, uint32_t enable);
// The common PWM period in ns (0 until a rate is set).
uint32_t sensor_sc2210_period(void);

// Copies width x height grey bytes and fills the following width x height / 2
// bytes (the chroma of 4:2:0) with 0x80, a neutral colour.
void mono8_to_nv12(const uint8_t* mono8_data, uint8_t* nv12_data, int width, int height);

#endif
