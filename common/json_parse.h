// JSON configuration files: compaction of application-algorithm parameter
// texts, the avoidance zone index, the capability files and the ISP tuning
// files' exposure switch.
#ifndef KORVID_COMMON_JSON_PARSE_H
#define KORVID_COMMON_JSON_PARSE_H

#include <stdint.h>

// The rewriting routines replace a file whole, and only while "/" has more
// than 100 MiB free; an error before the write leaves the file as it was.

// Rewrites "/etc/capability.json" for the detected colour kind, ToF kind and
// camera type.
void modify_capability(uint32_t rgbType, uint32_t tofType, uint32_t cameraType);
// Rewrites "/etc/feature_capability.json" (rgbType is not used).
void modify_feature_capability(uint32_t rgbType, uint32_t tofType, uint32_t cameraType);
// *value := the integer member `feature` of the first entry that has it; -1000
// when the file is missing or unreadable or no entry has it.
void get_feature_capability(const char* feature, int* value);
// Stores the automatic (mode non-zero) or manual exposure switch in the ISP
// tuning file of the CPU type. A file without the switch's path is left as it
// is. Always 0.
int modify_exporse_mode(uint32_t mode, int cpuType);
// *mode := 1 when the tuning file of the CPU type selects automatic exposure,
// 0 otherwise; left unwritten when there is no such file or it cannot be read.
void get_exporse_mode(uint32_t* mode, int cpuType);

// Longest compact parameter text handed back in memory.
#define JSON_FORMAT_MAX 3072

// Compacts the zero-terminated JSON text json_in.
//   0: the compact text (at most JSON_FORMAT_MAX characters) is in json_out,
//      terminated; json_out must hold JSON_FORMAT_MAX + 1 bytes.
//   > 0: the compact length, longer than JSON_FORMAT_MAX; the text went to
//      "/userdata/app_algo_config.json" and json_out is untouched.
//   -1: nothing could be done (100 MiB or less free, parse error, null
//      argument); json_out is untouched.
int json_format(char* json_in, char* json_out);

// *zoneIndex := the integer member "ZoneIndex" of the text; left unwritten
// when the text does not parse or has no such integer.
void get_avoid_zone_index2(char* avoidJson, int* zoneIndex);

#endif
