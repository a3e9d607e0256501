// Application algorithms as depth processing offers them to the register
// space, the protocols and the field buses: obstacle avoidance (first and
// second generation), pallet location, and the result records posted to the
// Modbus/CANopen output (worker 526) and the UDP command sender (worker 525).
#ifndef KORVID_ALGO_ALGO_APP_H
#define KORVID_ALGO_ALGO_APP_H

#include <stddef.h>

#include "common/common.h"

// Application result record behind the ImageInfo header of a result frame.
// The Modbus slave and the CANopen output copy its bytes as they are.
typedef struct _RS485Info {
    uint8 header[2];      // 0xAC 0xED
    uint8 length;         // 4 avoidance, 16 pallet
    uint8 cmd;            // 16 avoidance, 32 pallet
    int32 result;         // avoidance: big-endian; pallet: processor order
    float x;
    float y;
    float yaw;
    int32 height;
    int32 leftHoleWidth;
    int32 rightHoleWidth;
    int32 middleLegWidth;
} RS485Info;

static_assert(sizeof(RS485Info) == 36, "RS485Info is 36 bytes");
static_assert(offsetof(RS485Info, length) == 2);
static_assert(offsetof(RS485Info, cmd) == 3);
static_assert(offsetof(RS485Info, result) == 4);
static_assert(offsetof(RS485Info, x) == 8);
static_assert(offsetof(RS485Info, y) == 12);
static_assert(offsetof(RS485Info, yaw) == 16);
static_assert(offsetof(RS485Info, height) == 20);
static_assert(offsetof(RS485Info, leftHoleWidth) == 24);
static_assert(offsetof(RS485Info, rightHoleWidth) == 28);
static_assert(offsetof(RS485Info, middleLegWidth) == 32);

#define RS485_LENGTH_AVOID 4
#define RS485_LENGTH_PALLET 16
#define RS485_CMD_AVOID 16
#define RS485_CMD_PALLET 32

// Size of the UDP result record (SocketInfo) the avoidance posts to worker 525.
#define ALGO_SOCKET_RECORD_SIZE 8

// extraCode value for "no extra code".
#define ALGO_NO_EXTRA_CODE (-1)

// Room for a version text, terminator included.
#define ALGO_VERSION_MAX 64
// Room for a parameter text handed back in memory: 3072 characters and a
// terminator.
#define ALGO_PARAM_TEXT_MAX 3073

/* ---- First-generation avoidance ----
 * Its detector library is never loaded in this system: every call logs why
 * and fails. */
int         algo_avoid_get_params(char** text);     // -1, *text = NULL
int         algo_avoid_set_params(uint8* text, uint32 length); // 1 accepted, else -1
const char* algo_avoid_get_version(void);           // NULL
int         algo_avoid_get_zone_index(void);        // -1
int         algo_avoid_set_zone_index(int index);   // -1

/* ---- Second-generation avoidance (application 0x8005) ---- */

// Parameter text into out (at least ALGO_PARAM_TEXT_MAX bytes): texts of
// 3072 characters or more are compacted first. 0, or -1 when it does not fit
// or cannot be fetched.
int algo_avoid_get_params2(char* out);
int algo_avoid_set_params2(uint8* text, uint32 length); // 0 accepted
// Version text into buffer (at least ALGO_VERSION_MAX bytes); its length, or -1.
int algo_avoid_get_version2(uint8* buffer);
int algo_avoid_set_cmd2(uint8* text);                     // the server's result
// "ZoneIndex" of the parameters; 0 when missing or unreadable.
int algo_avoid_get_zone_index2(void);
int algo_avoid_set_zone_index2(int index);                // the server's result

/* ---- Pallet location (application 0x8003) ---- */

// Parameter text into buffer (at least ALGO_PARAM_TEXT_MAX bytes); its
// length, or -1 (buffer emptied) when it cannot be fetched or does not fit.
int algo_pallet_get_params(uint8* buffer);
int algo_pallet_set_params(uint8* text, uint32 length);   // 0 accepted
int algo_pallet_get_version(uint8* buffer);               // as algo_avoid_get_version2
int algo_pallet_set_cmd(uint8* text);                     // the server's result

/* ---- Result records ----
 * Each fetches an application-result unit from the core (vpcore) and queues
 * it one deep: a record already waiting is released. 0 queued; -1 no pool
 * unit ("no mem"); -2 no receiving worker (the unit is released). */

// Avoidance zone state to worker 526, image type 8 (first generation) or 11
// (second); with an extra code (>= 0) its low byte is ORed into the top byte
// of the big-endian result.
int algo_avoid_rs485(void* vpcore, int32 result, int32 extraCode);
int algo_avoid_rs485_2(void* vpcore, int32 result, int32 extraCode);
// Pallet result to worker 526, image type 9: result, x, y, yaw, height and
// the widths are taken from `res` as they are; header, length and cmd are set.
int algo_pallet_rs485(void* vpcore, const RS485Info* res);
// Avoidance result to worker 525 as AC ED 04 10 and a big-endian value; with
// an extra code the value is code << 24 | counter << 16 | (result & 0xFFFF),
// the counter rolling 0..255 with every queued record.
int algo_avoid_socket(void* vpcore, int32 result, int32 extraCode);
// The running application's result for one depth frame, queued as above:
// mode (enableApplationAlgo) 2 a pallet record, 4 a second-generation
// avoidance record, any other nothing. The stand-in applications locate
// nothing: every result field is 0.
void algo_app_frame_result(void* vpcore, uint32 mode);

#endif
