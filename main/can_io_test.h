// CAN and IO production test (worker 535): takes the output lines and the
// CAN bus over from the running services, checks both against a factory
// fixture and reports the result in its register.
#ifndef KORVID_MAIN_CAN_IO_TEST_H
#define KORVID_MAIN_CAN_IO_TEST_H

#include <stddef.h>
#include <stdint.h>

#include "eptype.h"

// Device id of the test's CAN socket.
#define E_DEVICE_CAN 10022

// Worker body; `arg` is the worker_t.
void* dev_can_io_test_task(void* arg);

// Brings "can0" up at the configured bit rate and registers a raw CAN socket
// as device `etype` of the core (vpcore): 0 with the device in *ppdev, or -1.
int canopen_init(void* vpcore, uint32_t etype, iodev_t** ppdev);

// One frame as read from the CAN socket.
typedef struct CanIoFrame {
    uint32_t id; // identifier with its flag bits
    uint8_t  len;
    uint8_t  data[64];
} CanIoFrame;

// The bytes of one read: 0 for a whole classic frame (16 bytes, length up
// to 8) or FD frame (72 bytes, length up to 64), else -1.
int can_io_frame_parse(const void* bytes, size_t size, CanIoFrame* out);
// 1 when the frame answers the test: a data frame carrying exactly `rxid`
// whose first data byte is 0x40; else 0.
int can_io_frame_answers(const CanIoFrame* frame, uint32_t rxid);

#endif
