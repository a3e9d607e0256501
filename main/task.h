// Supervision tasks (temperature, link speed, status LED, incoming pings) and
// the device-action tasks started through registers: reboot (workers 518 and
// 519) and process restart (worker 50000000). The hardware watchdog, clock
// setting and update tasks are here too, though nothing starts them.
#ifndef KORVID_MAIN_TASK_H
#define KORVID_MAIN_TASK_H

#include "common/common.h"

#define E_WORKER_ID_REINIT_PROCESS 50000000
// Device id under which the watchdog task registers "/dev/watchdog".
#define E_DEVICE_WATCHDOG 10020

// Worker bodies; `arg` is the worker_t.
void* REBOOT_Task(void* arg);
void* ReinitProcess_Task(void* arg);
void* temp_task(void* arg);      // 515
void* netcard_task(void* arg);   // 523
void* led_task(void* arg);       // 532
void* ping_task(void* arg);      // 538
void* watchdog_task(void* arg);  // 522, started by nothing
void* TimeStamp_Task(void* arg); // 527, started by nothing
void* UPDATE_Task(void* arg);    // 519, started by nothing

// Shell command the clock-setting task runs before "hwclock -w"; set it
// before starting the task, which clears it.
extern char g_timeCmd[64];

// Temperature readers on an open I2C bus: 0 with degrees Celsius in *temp,
// or -1 with -1000.0 when the read fails. apdTemp is not written.
int  sensor_tof_get_sensor_temperature(int fd, float* temp);
int  sensor_tof_get_ld_temperature(int fd, float* temp, float* apdTemp);
// Sleeps delayMs x 100 ms.
void cpld_heartbeats(uint32 delayMs);

// Opens "/dev/watchdog" with a 40 s timeout and registers it in the core
// (vpcore) as device `type`: 0 with the device in *ppdev, or -1.
int watchdog_init(void* vpcore, uint32 type, iodev_t** ppdev);
// One keep-alive: 0, or -1.
int feed_watchdog(iodev_t* pdev);
// Stops the watchdog (magic close) and closes the device: 0, or -1.
int close_watchdog(iodev_t* pdev);

#endif
