// Supervision tasks (temperature, link speed, status LED, reachability) and
// the device-action tasks started through registers: reboot (workers 518 and
// 519) and process restart (worker 50000000).
#ifndef KORVID_MAIN_TASK_H
#define KORVID_MAIN_TASK_H

#include "common/common.h"

#define E_WORKER_ID_REINIT_PROCESS 50000000

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

// Temperature readers (degrees Celsius; -1000.0 when the read fails).
int  sensor_tof_get_sensor_temperature(int fd, float* temp);
int  sensor_tof_get_ld_temperature(int fd, float* temp, float* apdTemp);
void cpld_heartbeats(uint32 delayMs);
int  watchdog_init(void);
int  feed_watchdog(void);
int  close_watchdog(void);

#endif
