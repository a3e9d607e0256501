// CANopen node: the node task (worker 536) and, on boards whose CPU type is
// not 0, its PDO output task under worker id 526, which takes the result
// records that depth processing posts there.
#ifndef KORVID_CANOPEN_CANOPEN_H
#define KORVID_CANOPEN_CANOPEN_H

// Worker bodies; `arg` is the worker_t.
void* std_canopen_task(void* arg);       // 536
void* std_canopen_tpdo_parse(void* arg); // 526 on CPU type != 0

#endif
