// Software stand-in for the algorithm server through which the application
// algorithms (pallet location 0x8003, second-generation avoidance 0x8005)
// take their parameters and commands and report their versions. Each
// application keeps a JSON parameter object; commands are JSON objects.
#ifndef KORVID_ALGO_ALGO_SERVER_H
#define KORVID_ALGO_ALGO_SERVER_H

#include <stddef.h>
#include <stdint.h>

#define ALGO_APP_PALLET 0x8003u
#define ALGO_APP_AVOID2 0x8005u

// Longest parameter text an application keeps, in characters.
#define ALGO_SERVER_PARAM_MAX 65536
// Highest avoidance zone index.
#define ALGO_SERVER_ZONE_MAX 19

// Server results.
enum {
    ALGO_SERVER_OK = 0,
    ALGO_SERVER_NO_APP = -1,  // no such application
    ALGO_SERVER_REFUSED = -2, // not a JSON object, too long, or a bad command
    ALGO_SERVER_ARG = -3,     // null argument
};

// Copies the application's parameter text, terminated and cut to size - 1
// characters; returns its whole length (as snprintf), or a result < 0.
int algo_server_get_params(uint32_t app, char* out, size_t size);
// Replaces the parameters with a JSON object text of `length` bytes.
int algo_server_set_params(uint32_t app, const char* text, size_t length);
// Copies the version text (terminated, cut) and returns its length, or < 0.
int algo_server_get_version(uint32_t app, char* out, size_t size);
// Runs a command text: avoidance {"SetZoneIndex": n} selects zone n (0..19);
// the pallet application accepts any object with a "cmd" member.
int algo_server_command(uint32_t app, const char* text);
// The application-algorithm mode changed (enableApplationAlgo).
void     algo_server_status_change(uint32_t mode);
uint32_t algo_server_status(void);

// Back to the state at process start (tests).
void algo_server_reset(void);

#endif
