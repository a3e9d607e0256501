// Gpixel 0503 ToF driver (sensor kind 100): set-up of the sensor and its
// capture node, the operations table, the capture callbacks of the three
// frequency modes, the capture task of worker 500 and the integration-time
// task of worker 521.
#ifndef KORVID_SENSOR_SENSOR_RAW_H
#define KORVID_SENSOR_SENSOR_RAW_H

#include <stdint.h>

#include "eptype.h"
#include "sensor/sensor.h"

// Frequency table of the sensor.
#define SENSOR_TOF_FREQ_FILE "/userdata/const/support_freq.csv"

// Body of worker 500 (ToF capture); `vwker` is the worker_t.
void* sensor_tof_task(void* vwker);
// Body of worker 521 (integration-time control); `vwker` is the worker_t.
void* sensor_tof_integration_task(void* vwker);

// Offered for a worker of the caller's choice (no path starts them): each
// programs the CPLD image of its frame rate ("/etc/fpga_update_NNfps.bin"),
// pulses the trigger line and ends its worker.
void* update_cpld_24fps_task(void* vwker);
void* update_cpld_22fps_task(void* vwker);
void* update_cpld_20fps_task(void* vwker);
void* update_cpld_18fps_task(void* vwker);
void* update_cpld_16fps_task(void* vwker);
void* update_cpld_14fps_task(void* vwker);

// Set-up: opens the capture node and sensor sub-device of the board's ToF
// graph, registers the device under `type` (10000) and prepares the node.
// 0 with the device in *ppdev, or -1 with everything released.
int  sensor_tof_init(void* vpcore, uint64_t type, iodev_t** ppdev);
// Reads the frequency table into info->freq (a missing file leaves it
// empty). 0, or -1 when an entry cannot be allocated.
int  sensor_support_freq(V4L2SensorInfo* info);
// The (f1, f2) pairs of the table file, in file order, at most `max` of
// them; their count (0 without the file).
int  sensor_tof_freq_pairs(uint16_t (*pairs)[2], int max);
int  sensor_tof_start_capturing(iodev_t* dev);
int  sensor_tof_stop_capturing(iodev_t* dev);

// Capture callbacks (IOHandler form; the dual-exposure one waits by itself
// and takes the capture loop's epoll descriptor in `event`).
int sensor_capture_raw(void* vpcore, void* vobj, int event, int fdtype);
int sensor_capture_raw_signle_hdr(void* vpcore, void* vobj, int event, int fdtype);
int sensor_capture_raw_dual_hdr(void* vpcore, void* vobj, int event, int fdtype);

// Moves integration lengths the sensor must not use to a neighbour.
void sensor_tof_integ_filter(uint32_t* value);
// Frame-rate ceiling for integration length L in frequency mode `freqMode`
// outside multi-camera mode; at least 1.
uint32_t sensor_tof_fps_limit(uint32_t freqMode, uint32_t L);
// What the capture's first restart after time-outs adds to each
// integration length (nInteA, nInteB); it writes the raised lengths itself.
#define SENSOR_TOF_RESTART_RAISE 10
// Back to the state at process start (tests): the lengths not yet raised,
// no frame rate written, no dual-exposure frame seen or numbered.
void sensor_tof_reset(void);
// Consecutive capture failures that restart the task on camera type
// `cameraType`.
int sensor_tof_fail_limit(uint32_t cameraType);

// Operations of the table.
int sensor_tof_set_fps(iodev_t* dev, uint32_t fps);
int sensor_tof_get_fps(iodev_t* dev, uint32_t* fps);
int sensor_tof_set_First_Frequcncy(iodev_t* dev, uint32_t freq);
int sensor_tof_set_Second_Frequcncy(iodev_t* dev, uint32_t freq);
int sensor_tof_set_integration_time_F0(iodev_t* dev, uint32_t time);
int sensor_tof_set_integration_time_F1(iodev_t* dev, uint32_t time);
int sensor_tof_get_integration_time_F0(iodev_t* dev, uint32_t* time);
int sensor_tof_get_integration_time_F1(iodev_t* dev, uint32_t* time);
int sensor_tof_set_pga_gain(iodev_t* dev, uint32_t gain);
int sensor_tof_set_vfilp(iodev_t* dev, uint32_t on);
int sensor_tof_get_vfilp(iodev_t* dev, uint32_t* on);
int sensor_tof_set_hfilp(iodev_t* dev, uint32_t on);
int sensor_tof_get_hfilp(iodev_t* dev, uint32_t* on);
int sensor_tof_read_reg(iodev_t* dev, uint32_t address, uint16_t* value);
int sensor_tof_write_reg(iodev_t* dev, uint32_t address, uint16_t value);
int sensor_tof_switch_mode(iodev_t* dev, uint32_t mode);
int sensor_tof_vld_enable(iodev_t* dev, uint32_t enable);
int sensor_tof_start_stop_stream(iodev_t* dev, uint32_t enable);
int sensor_tof_set_inte_length_F0(iodev_t* dev, uint32_t length);
int sensor_tof_set_inte_length_F1(iodev_t* dev, uint32_t length);
int sensor_tof_set_n_pulse_F0(iodev_t* dev, uint32_t pulses);
int sensor_tof_set_n_pulse_F1(iodev_t* dev, uint32_t pulses);

// Offered routines that no path starts.
int   sensor_tof_get_temperature(iodev_t* dev, float* temperature);
float sensor_tof_get_3018_temp(float* temperature);

#endif
