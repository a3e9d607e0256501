// Modbus tasks. The RTU slave (worker 526) lets a controller on the RS-485
// line select the avoidance zone, switch the application on or off and read
// the latest avoidance or pallet result; every request it takes consumes the
// result record waiting on its data list. The Modbus TCP server (worker 533)
// serves the local result service's answers; nothing starts it.
#ifndef KORVID_MODBUS_MODBUS_TASK_H
#define KORVID_MODBUS_MODBUS_TASK_H

#include "common/common.h"

// Serial line of the slave: 9600 baud, no parity, 8 data bits, 1 stop bit.
#define MODBUS_RTU_DEVICE "/dev/ttyS3"
#define MODBUS_RTU_BAUD   9600
// modbusAddress 0 means this address; above the highest the slave refuses to run.
#define MODBUS_SLAVE_DEFAULT 23
#define MODBUS_SLAVE_MAX     247
// RS-485 transceiver direction: 0 receive, 1 transmit.
#define MODBUS_DIR_GPIO 138
// Room for one RTU frame.
#define MODBUS_RTU_FRAME_MAX 256
// Registers a single read may ask for; other counts get exception 3.
#define MODBUS_READ_COUNT_MAX 125

// Registers of the slave (as sent on the wire).
#define MODBUS_REG_ZONE          0x006A // function 6: avoidance zone index
#define MODBUS_REG_APPLICATION   0x0078 // function 6: application on (non-zero) or off
#define MODBUS_REG_AVOID_RESULT  0x006C // function 4: `result`, while enableApplicationAlgo is 4
#define MODBUS_REG_PALLET_RESULT 0x007A // function 4: x, y, yaw, result, height, while it is 2

// Modbus TCP server.
#define MODBUS_TCP_PORT             15020
#define TCP_BITS_ADDRESS            0x130
#define TCP_BITS_NB                 37
#define TCP_INPUT_BITS_ADDRESS      0x1C4
#define TCP_INPUT_BITS_NB           22
#define TCP_REGISTERS_ADDRESS       0x3000
#define TCP_REGISTERS_NB_MAX        16
#define TCP_INPUT_REGISTERS_ADDRESS 0x2000
#define TCP_INPUT_REGISTERS_NB      16

extern const uint8  TCP_INPUT_BITS_TAB[3];
extern const uint16 TCP_INPUT_REGISTERS_TAB[TCP_INPUT_REGISTERS_NB];

// The local result service's answer.
typedef struct _SSResult {
    int8  ret_code;
    uint8 count;
    uint8 index[16];
    uint8 res[16];
} SSResult;

static_assert(sizeof(SSResult) == 34, "SSResult is the service's 34-byte answer");

// Worker bodies; `arg` is the worker_t.
void* modbus_task(void* arg);     // 526, started on CPU type 0
void* modbus_tcp_task(void* arg); // 533

// Where the slave's answers go: `send` takes one answer without its CRC,
// slave address first, and returns what the line's send returned.
typedef struct _ModbusRtuSink {
    int (*send)(void* ctx, const uint8* answer, int length);
    void* ctx;
} ModbusRtuSink;

// Handles one request frame of `length` bytes as the line delivered it
// (slave address first; what follows the six request bytes, the CRC, is not
// read) with the result record that waited (NULL: none). Writes are carried
// out; at most one answer goes to `sink`, never one to a broadcast. Returns
// the answer's length, 0 when none was sent.
int modbus_rtu_handle(const uint8* frame, int length, const ImageInfo* record, const ModbusRtuSink* sink);

// Address and port the TCP server listens on (tests); NULL and 0 restore
// the interface's address and MODBUS_TCP_PORT.
void modbus_tcp_set_endpoint(const char* ip, int port);

#endif
