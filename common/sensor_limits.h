// The values each ToF sensor kind runs at, for the settings of the ToF and
// colour pages that reach the sensors. A value outside them leaves a sensor
// silent or its frames without usable depth, so a host write of one is
// refused and a loaded block holding one takes the default instead. One
// table per kind serves both.
#ifndef KORVID_COMMON_SENSOR_LIMITS_H
#define KORVID_COMMON_SENSOR_LIMITS_H

#include <stddef.h>
#include <stdint.h>

typedef struct tagSettingLimit {
    uint32_t    address;
    const char* name;
    uint32_t    lo, hi;       // the values the sensor runs at
    int         zeroDefault;  // 0 also: the driver takes its own default then
} SettingLimit;

// The limits of ToF kind `tofKind` (count in *n); none for other kinds.
const SettingLimit* sensor_limits(uint32_t tofKind, size_t* n);

// The limit of `address` under ToF kind `tofKind`; null when it has none.
const SettingLimit* sensor_limit(uint32_t tofKind, uint32_t address);

// The limits colour sensor kind `rgbKind` adds on the rate registers (count
// in *n), judged beside those of the ToF kind; none for kinds whose rate no
// value of these registers sets.
const SettingLimit* colour_limits(uint32_t rgbKind, size_t* n);

// The limit of `address` under colour kind `rgbKind`; null when it has none.
const SettingLimit* colour_limit(uint32_t rgbKind, uint32_t address);

// Whether `v` is a value the limit allows.
int sensor_limit_holds(const SettingLimit* limit, uint32_t v);

#endif
