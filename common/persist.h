// Persistence of the register block: parameter groups, the firmware time
// text and the factory reset task.
#ifndef KORVID_COMMON_PERSIST_H
#define KORVID_COMMON_PERSIST_H

#include "common/common.h"

#define CONFIG_FILE         "/userdata/config.bin"
#define DEFAULT_CONFIG_FILE "/userdata/const/default_config.bin"
#define FIRMWARE_TIME_SIZE  64

// Firmware build time text, "%d-%02d-%02d %02d:%02d:%02d", empty when unknown.
extern char g_firmwareTime[FIRMWARE_TIME_SIZE];

// value >= 0x10000: load group value & 0xFFFF; below: save the block as
// group value. 0 or -1.
int   Custom_ParamGroup(uint32 value);
// Builds g_firmwareTime.
void  get_firmwareTime(void);
// Body of worker 520 (factory reset); `arg` is the worker_t.
void* RECOVERY_Task(void* arg);

#endif
