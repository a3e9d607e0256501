// Modbus tasks: the RTU slave on the RS-485 line (worker 526) that selects
// the avoidance zone and answers algorithm results.
#ifndef KORVID_MODBUS_MODBUS_TASK_H
#define KORVID_MODBUS_MODBUS_TASK_H

// Body of worker 526 (E_WORKER_ID_RS485); `arg` is the worker_t.
void* modbus_task(void* arg);

#endif
