// IMX570 ToF driver (sensor kind 300): the capture task (worker 500), its
// frequency tables, the operations table, the seven capture variants with
// their embedded-row checks, frame timing, the software trigger, and the
// board-line control behind the sensor's CPLD, which other parts call
// directly (output lines, input lines, trigger line mode).
#ifndef KORVID_SENSOR_SENSOR_IMX570_H
#define KORVID_SENSOR_SENSOR_IMX570_H

#include <stdint.h>

#include <atomic>

#include "eptype.h"

// theSubdevFd other than -1 is remembered as the control descriptor (0).
// With -1: gpioRw 0 sets the output lines to *gpioRwValue, 1 reads the input
// lines into *gpioRwValue, 2 selects trigger-line output (*gpioRwValue
// non-zero) or plain output; these return 1. A null gpioRwValue reads as 0.
// Without a remembered descriptor: "subdevFd error", 0.
uint32_t sensor_imx570_gpio_control(int theSubdevFd, uint32_t gpioRw, uint32_t* gpioRwValue);

// One group of consecutive frequency rows sharing their first value.
typedef struct freqGroupNode {
    uint16_t groupIndex; // row of the group's first line
    uint8_t  num;        // rows in the group
} freqGroupNode;

// The frequency, phase and clock tables of the sensor (one process-wide
// instance).
typedef struct freqAllInfo {
    uint16_t      freqContext[850][4];
    freqGroupNode freqGroup[150];
    uint8_t       phaseAllInfo[50][3];
    uint16_t      imxckAllInfo[300][3];
    int           getPhaseNum;
    int           getImxckNum;
    int           getFreqNum;
} freqAllInfo;

#define IMX570_FREQ_FILE_4PH  "/userdata/const/freq.csv"
#define IMX570_FREQ_FILE_3PH  "/userdata/const/3freq.csv"
#define IMX570_PHASE_FILE_4PH "/userdata/const/phase.csv"
#define IMX570_PHASE_FILE_3PH "/userdata/const/3phase.csv"
#define IMX570_IMXCK_FILE     "/userdata/const/imxck.csv"
#define IMX570_REG_LIST_FILE  "/userdata/const/sensor_reg_list.csv"

// The tables of the present phase setting, loaded from its files on the
// first call in that setting; null when they cannot be loaded (a later call
// tries again).
freqAllInfo* getFrequencyAllInfo(void);
// Releases the tables of both phase settings (the process-wide ones, so the
// next getFrequencyAllInfo loads them again), or `info` alone when it is
// none of them.
void frequencyAllInfoDeinit(freqAllInfo* info);

// Phase setting of the sensor.
typedef enum _PhaseFps {
    E_4_PHASE_18_FPS   = 0,
    E_3_PHASE_24_FPS   = 1,
    E_3_PHASE_23_8_FPS = 2,
} PhaseFps;
// Loaded from phaseOptions at each set-up; 3 in the three-exposure mode.
// 0 means four phases per frequency group, anything else three.
extern std::atomic<uint32_t> g_phaseOptions;
// Last hardware or software trigger time.
extern std::atomic<uint32_t> g_trigtimestampH;
extern std::atomic<uint32_t> g_trigtimestampL;

// Body of worker 500 (E_WORKER_ID_TOF_SENSOR) for the IMX570; `arg` is the
// worker_t.
void* sensor_imx570_task(void* arg);

// Set-up of the sensor device (id `type`); 0 with the device in *ppdev, or
// -1 with everything released.
int sensor_imx570_init(void* vpcore, uint64_t type, iodev_t** ppdev);

// ---- Operations of the table ----
int sensor_imx570_set_fps(iodev_t* pdev, uint32_t fps);
int sensor_imx570_driver_set_fps(iodev_t* pdev, uint32_t fps);
// 1 when the frequencies were written, 0 when the tables cannot satisfy them.
int sensor_imx570_set_all_frequcncy(iodev_t* pdev, uint32_t* freq);
int sensor_imx570_pre_set_frequcncy(iodev_t* pdev, uint32_t* freq);
int sensor_imx570_set_background_amp(iodev_t* pdev, uint32_t on);
int sensor_imx570_other_params(iodev_t* pdev, uint32_t param, uint32_t type);
int sensor_imx570_set_vfilp(iodev_t* pdev, uint32_t on);
int sensor_imx570_set_hfilp(iodev_t* pdev, uint32_t on);
int sensor_imx570_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value);
int sensor_imx570_write_reg(iodev_t* pdev, uint32_t address, uint16_t value);
int sensor_imx570_vld_enable(iodev_t* pdev, uint32_t enable);
int sensor_imx570_start_stop_stream(iodev_t* pdev, uint32_t enable);
int sensor_imx570_set_integration_time_f0(iodev_t* pdev, uint32_t time);
int sensor_imx570_set_integration_time_f1(iodev_t* pdev, uint32_t time);
int sensor_imx570_set_integration_time_f2(iodev_t* pdev, uint32_t time);

// The same two routines under their short names.
uint32_t gpio_control(int theSubdevFd, uint32_t gpioRw, uint32_t* gpioRwValue);
int set_integration_time_f1(iodev_t* pdev, uint32_t time);

// Register addresses of read_reg/write_reg with bit 17 reach the CPLD.
#define IMX570_REG_CPLD_FLAG 0x20000u

// Frame-rate ceiling for integration length L in frequency mode `freqMode`
// on CPU type `cpuId`; at least 1.
uint32_t sensor_imx570_fps_limit(uint32_t freqMode, uint32_t L, uint32_t cpuId);

// ---- Capture callbacks (IOHandler form; the two- and three-exposure ones
// wait by themselves and take the capture loop's epoll descriptor in `event`)
int sensor_imx570_capture_1freq_raw(void* vpcore, void* vobj, int event, int fdtype);
int sensor_imx570_capture_2freq_raw(void* vpcore, void* vobj, int event, int fdtype);
int sensor_imx570_capture_2freq_hdr(void* vpcore, void* vobj, int event, int fdtype);
int sensor_imx570_capture_2freq_multiple_hdr(void* vpcore, void* vobj, int event, int fdtype);
int sensor_imx570_capture_2freq_trig_hdr(void* vpcore, void* vobj, int event, int fdtype);
int sensor_imx570_capture_mul_triple_hdr(void* vpcore, void* vobj, int event, int fdtype);
int sensor_imx570_capture_3freq_raw(void* vpcore, void* vobj, int event, int fdtype);

// Embedded rows: ebdRaw12 points at embedded row 0 of a group's first phase
// block, and the following group (phasenum blocks later) must be there too.
// index[0] on entry 11 asks for the exposure number. Out: index[0] this
// group's index, index[1] the following group's, index[2] the integration
// time (microseconds) or the exposure number.
void sensor_imx570_ebd_parse(uint16_t* ebdRaw12, uint16_t phasenum, uint16_t* index);

// Software trigger timer (device 10024).
int  trig_timer_handler(void* cbpara, void* obj, int event, int fdtype);
// Arms `timerfd` (microseconds; 0 disarms): 0, or -1 ("timerfd_settime error").
int  startTimerParams(int timerfd, uint32_t timeout, uint32_t interval);

#endif
