// ST VD55H1 ToF driver (sensor kind 200): set-up of the sensor and its
// capture node, the operations table, the capture callback and the capture
// task of worker 500.
#ifndef KORVID_SENSOR_SENSOR_VD55H1_H
#define KORVID_SENSOR_SENSOR_VD55H1_H

#include <stdint.h>

#include "eptype.h"
#include "sensor/sensor.h"

// Body of worker 500 (ToF capture); `vwker` is the worker_t.
void* sensor_vd55h1_task(void* vwker);

// Set-up: opens the capture node and sensor sub-device of the board's ToF
// graph, registers the device under `type` (10000) and prepares the node.
// 0 with the device in *ppdev, or -1 with everything released.
int sensor_vd55h1_init(void* vpcore, uint64_t type, iodev_t** ppdev);

// Capture callback (IOHandler form).
int sensor_vd55h1_capture_raw(void* vpcore, void* vobj, int event, int fdtype);

// Frame period the sensor counts for `fps` frames per second (a rate of 0
// is taken as 1; the period saturates at its 16 bits).
uint32_t sensor_vd55h1_period(uint32_t fps);

// Operations of the table.
int sensor_vd55h1_set_fps(iodev_t* dev, uint32_t fps);
int sensor_vd55h1_set_First_Frequcncy(iodev_t* dev, uint32_t freq);
int sensor_vd55h1_set_Second_Frequcncy(iodev_t* dev, uint32_t freq);
int sensor_vd55h1_set_pga_gain(iodev_t* dev, uint32_t gain);
int sensor_vd55h1_set_vfilp(iodev_t* dev, uint32_t on);
int sensor_vd55h1_set_hfilp(iodev_t* dev, uint32_t on);
int sensor_vd55h1_read_reg(iodev_t* dev, uint32_t address, uint16_t* value);
int sensor_vd55h1_write_reg(iodev_t* dev, uint32_t address, uint16_t value);
int sensor_vd55h1_switch_mode(iodev_t* dev, uint32_t mode);
int sensor_vd55h1_vld_enable(iodev_t* dev, uint32_t enable);
int sensor_vd55h1_set_inte_length_F0(iodev_t* dev, uint32_t length);
int sensor_vd55h1_set_inte_length_F1(iodev_t* dev, uint32_t length);
int sensor_vd55h1_set_n_pulse_F0(iodev_t* dev, uint32_t pulses);
int sensor_vd55h1_set_n_pulse_F1(iodev_t* dev, uint32_t pulses);

#endif
