// Persistence of the register block: loading it at start (saved block,
// default block or built-in values) with the hardware corrections, the
// parameter groups, the firmware time text, the camera-model file and the
// factory reset task.
#ifndef KORVID_COMMON_PERSIST_H
#define KORVID_COMMON_PERSIST_H

#include "common/common.h"
#include "common/custom.h"

#define CONFIG_FILE         "/userdata/config.bin"
#define DEFAULT_CONFIG_FILE "/userdata/const/default_config.bin"
#define PARAM_GROUP_FILE    "/userdata/const/config%d.bin"
#define PARAM_FILTER_FILE   "/userdata/const/filterJson%d.bin"
#define CAMERA_TYPE_FILE    "/etc/cameraType.txt"
#define FIRMWARE_TIME_SIZE  64

// Parameter groups 0..PARAM_GROUP_MAX; a group value with PARAM_GROUP_LOAD
// set loads the group, one without it saves the block as that group.
#define PARAM_GROUP_MAX    4
#define PARAM_GROUP_LOAD   0x10000u
// Longest filter text a group file holds.
#define PARAM_FILTER_MAX   4096

// Firmware build time text, "%d-%02d-%02d %02d:%02d:%02d", empty when unknown.
extern char g_firmwareTime[FIRMWARE_TIME_SIZE];

// The hardware check's results (colour kind, ToF kind, hardware-check word,
// common/board.h) are written into the block after every load.
#include "common/board.h"

// Allocates and loads the register block and the run-time record, applies
// the hardware corrections and writes the capability and camera-model
// files. Runs once on the main thread before any worker: 0, or -1 (no
// memory, or a block file that exists but cannot be read).
int   Custom_RegInit(void);
// Called before anything replaces CONFIG_FILE. When start-up found the file
// but could not read it, it is first renamed to CONFIG_FILE ".unread-N", a
// name no other file has (an error line names it), so the settings it may
// still hold are not lost. 0 when the replacement may go ahead, -1 when the
// file could not be kept aside and must stay.
int   Custom_KeepUnreadConfig(void);
// Frees the block and the run-time record; both pointers become null.
void  Custom_RegDeInit(void);

// Makes a block read from a file the live block: values no write allows
// take their defaults, the detected sensor kinds and the hardware-check
// word are kept, and the swap happens under the block lock. No register
// effect runs.
void  Custom_BlockReplace(deviceCFG* block);

// value >= 0x10000: load group value & 0xFFFF; below: save the block as
// group value. Groups 0..4 only. 0 or -1; a save skipped for want of space
// answers 0.
int   Custom_ParamGroup(uint32 value);
// Builds g_firmwareTime from the kernel's build time.
void  get_firmwareTime(void);
// Rewrites CAMERA_TYPE_FILE with the model name of the camera type.
void  write_cameraType2File(uint32 cameraType);
// Model name of a camera type, "unknow" for any other.
const char* camera_type_name(uint32 cameraType);
// Body of worker 520 (factory reset); `arg` is the worker_t.
void* RECOVERY_Task(void* arg);

#endif
