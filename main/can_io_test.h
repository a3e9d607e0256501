// CAN and IO production test (worker 535).
#ifndef KORVID_MAIN_CAN_IO_TEST_H
#define KORVID_MAIN_CAN_IO_TEST_H

// Worker body; `arg` is the worker_t.
void* dev_can_io_test_task(void* arg);

#endif
