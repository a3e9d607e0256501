// GigE Vision bootstrap registers: the register file below 0x10000000 that
// holds the device's identity, network settings, control privilege,
// heartbeat and stream-channel settings. The control channel reads and writes
// it for the hosts, the stream sender takes its destination from it and the
// network tasks refresh its address registers.
#ifndef KORVID_GIGE_BOOTSTRAP_H
#define KORVID_GIGE_BOOTSTRAP_H

#include "common/common.h"

// Size of the block; every address below it is a byte of the block.
#define BOOTSTRAP_REG_SIZE 40964u

// Register addresses. Numeric registers are 32-bit words in host order
// (converted to big-endian on the wire); text registers are NUL-padded.
typedef enum tagBootstrapRegAddress {
    REG_GIGE_VERSION                   = 0x0000,
    REG_DEVICE_MODE                    = 0x0004,
    REG_MAC_ADDRESS_HIGH               = 0x0008,
    REG_MAC_ADDRESS_LOW                = 0x000C,
    REG_NETWORK_INTERFACE_CAPABILITY   = 0x0010,
    REG_NETWORK_INTERFACE_CONFIG       = 0x0014,
    REG_CURRENT_IP_ADDRESS             = 0x0024,
    REG_CURRENT_NETMASK                = 0x0034,
    REG_CURRENT_GATEWAY                = 0x0044,
    REG_MANUFACTURER_NAME              = 0x0048,  // text, 32 bytes
    REG_MODEL_NAME                     = 0x0068,  // text, 32 bytes
    REG_DEVICE_VERSION                 = 0x0088,  // text, 32 bytes
    REG_MANUFACTURER_INFO              = 0x00A8,  // text, 48 bytes: the board code
    REG_SERIAL_NUMBER                  = 0x00D8,  // text, 16 bytes
    REG_USER_DEFINED                   = 0x00E8,  // text, 16 bytes
    REG_FIRST_URL                      = 0x0200,  // text, 512 bytes
    REG_SENCOND_URL                    = 0x0400,  // text, 512 bytes
    REG_NETWORK_INTERFACE_NUM          = 0x0600,
    REG_PERSISTENT_IP_ADDRESS          = 0x064C,
    REG_PERSISTENT_NETMASK             = 0x065C,
    REG_PERSISTENT_GATEWAY             = 0x066C,
    REG_LINK_SPEED                     = 0x0670,
    REG_MESSAGE_CHANNEL_NUM            = 0x0900,
    REG_STREAM_CHANNEL_NUM             = 0x0904,
    REG_ACTION_SIGNAL                  = 0x0908,
    REG_ACTION_DEVICE_KEY              = 0x090C,
    REG_GVSP_CAPABILITY                = 0x092C,
    REG_MESSAGE_CHANNEL_CAPABILITY     = 0x0930,
    REG_GVCP_CAPABILITY                = 0x0934,
    REG_HEARTBEAT_TIMEOUT              = 0x0938,  // ms
    REG_TIMESTAMP_TICK_FREQUENCY_HIGH  = 0x093C,
    REG_TIMESTAMP_TICK_FREQUENCY_LOW   = 0x0940,
    REG_TIMESTAMP_CONTROL              = 0x0944,
    REG_TIMESTAMP_VALUE_HIGH           = 0x0948,
    REG_TIMESTAMP_VALUE_LOW            = 0x094C,
    REG_DISCOVER_ACK_DELAY             = 0x0950,
    REG_GVCP_CONFIGURATION             = 0x0954,
    REG_GVSP_CONFIGURATION             = 0x0960,
    REG_CONTROL_CHANNEL_PRIVILEGE      = 0x0A00,
    REG_PRIMARY_APPLICATION_PORT       = 0x0A04,
    REG_PRIMARY_APPLICATION_IP_ADDRESS = 0x0A14,
    REG_MESSAGE_CHANNEL_PORT           = 0x0B00,
    REG_MESSAGE_CHANNEL_DEST_ADDRESS   = 0x0B10,
    REG_MESSAGE_CHANNEL_TIMEOUT        = 0x0B14,
    REG_MESSAGE_CHANNEL_RETRY_COUNT    = 0x0B18,
    REG_MESSAGE_CHANNEL_SRC_PORT       = 0x0B1C,
    REG_STREAM_CHANNEL_PORT            = 0x0D00,
    REG_STREAM_CHANNEL_PACKET_SIZE     = 0x0D04,  // low 16 bits
    REG_STREAM_CHANNEL_PACKET_DELAY    = 0x0D08,
    REG_STREAM_CHANNEL_DEST_ADDRESS    = 0x0D18,
    REG_STREAM_CHANNEL_SRC_PORT        = 0x0D1C,
    REG_STREAM_CHANNEL_CAPABILITY      = 0x0D20,
    REG_STREAM_CHANNEL_CONFIGURATION   = 0x0D24,
} BootstrapRegAddress;

// Hardware variant of the run-time register devLogic, decided by the year
// and month characters of the board code.
typedef enum _DevLogic {
    E_2024_06_BEFOR  = 0,
    E_2024_06_BEHIND = 1,
} DevLogic;

// Result codes of the access functions (the values the control channel
// passes to the host as the status of a request).
#define BOOTSTRAP_OK              0x0000
#define BOOTSTRAP_NOT_IMPLEMENTED 0x8001  // the access runs past the block, or there is no block
#define BOOTSTRAP_REFUSED         0xFFFF  // persistent address refused, or no buffer

// The block; null before Bootstrap_RegInit and after Bootstrap_RegDeInit.
// Other threads use it only through Bootstrap_ReadReg and Bootstrap_WriteReg,
// which keep every access whole and inside the block.
extern uint8* g_bootstarpReg;

// Builds the block with its defaults: 0, or -1 when it cannot be allocated.
int  Bootstrap_RegInit(void);
void Bootstrap_RegDeInit(void);

// Copy `length` bytes out of or into the block at `address`. Callable from
// any thread; each call's copy is atomic with respect to the others. An
// access that does not fit in the block copies nothing (a read fills
// `buffer` with zeros) and answers BOOTSTRAP_NOT_IMPLEMENTED.
// A write stores the bytes first and then applies the effect of the
// register at `address` (persistent network settings, packet size); a
// refused persistent IP address stays stored and answers BOOTSTRAP_REFUSED.
int Bootstrap_ReadReg(uint32 address, void* buffer, uint32 length);
int Bootstrap_WriteReg(uint32 address, const void* buffer, uint32 length);

// The heartbeat timeout in ms as the control channel applies it: the word at
// REG_HEARTBEAT_TIMEOUT, with 0 and values above 999999 taken as 5000.
uint32 Bootstrap_HeartbeatTimeout(void);

#endif
