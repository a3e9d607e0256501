// Built-in register block and the start-up corrections that depend on the
// detected hardware: the colour and ToF sensor kinds, the CPU type and the
// board version.
#ifndef KORVID_COMMON_CUSTOM_DEFAULT_H
#define KORVID_COMMON_CUSTOM_DEFAULT_H

#include "common/common.h"
#include "common/custom.h"

// What detection found; the corrections read nothing else of the board.
typedef struct HardwareFacts {
    uint32 rgbKind;       // colour sensorType
    uint32 tofKind;       // ToF sensorType
    uint32 hwCheck;       // hardware-check word
    uint32 cpuType;       // CPUType
    uint32 boardVersion;  // BoardVersion (taken on RK3568 only)
} HardwareFacts;

// Fills `cfg` with the built-in block used when no saved block exists.
void custom_default_cfg(deviceCFG* cfg, uint32 rgbKind, uint32 tofKind, uint32 cpuType);

// Applies to a loaded block, in order: the detected kinds and hardware word,
// the CPU-type rules, the derived 3D frequency mode, the run-time values set
// at start and the defaults of fields left zero. Touches no device.
void custom_fix_cfg(deviceCFG* cfg, deviceRegMemAddr* run, const HardwareFacts* hw);

#endif
