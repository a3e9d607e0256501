// JSON configuration files: compaction of application-algorithm parameter
// texts and the avoidance zone index. The capability and ISP tuning file
// routines join this module later.
#ifndef KORVID_COMMON_JSON_PARSE_H
#define KORVID_COMMON_JSON_PARSE_H

// Longest compact parameter text handed back in memory.
#define JSON_FORMAT_MAX 3072

// Compacts the zero-terminated JSON text json_in. 0: the compact text (at
// most JSON_FORMAT_MAX characters, no terminating zero) is in json_out, or
// nothing could be done (no free space, parse error; json_out untouched).
// Otherwise the compact length, the text having gone to
// "/userdata/app_algo_config.json". json_out holds at least JSON_FORMAT_MAX bytes.
int json_format(char* json_in, char* json_out);

// *zoneIndex := the integer member "ZoneIndex" of the text; left unwritten
// when the text does not parse or has no such integer.
void get_avoid_zone_index2(char* avoidJson, int* zoneIndex);

#endif
