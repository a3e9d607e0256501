// Device-action tasks started through registers: reboot (workers 518 and
// 519) and process restart (worker 50000000).
#ifndef KORVID_MAIN_TASK_H
#define KORVID_MAIN_TASK_H

#define E_WORKER_ID_REINIT_PROCESS 50000000

// Worker bodies; `arg` is the worker_t.
void* REBOOT_Task(void* arg);
void* ReinitProcess_Task(void* arg);

#endif
