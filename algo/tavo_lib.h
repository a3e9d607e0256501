// Software stand-in for the closed depth and image processing library that
// the algo_TavoPlus_* wrappers drive on the board. It answers the same
// questions with simple, documented rules: output sizes from the sensor
// kinds, nominal camera parameters, a proportional automatic exposure, a
// filter configuration text kept in memory (and in one file when saved),
// the multi-camera interference level and a wall-clock time stamp.
#ifndef KORVID_ALGO_TAVO_LIB_H
#define KORVID_ALGO_TAVO_LIB_H

#include <stddef.h>
#include <stdint.h>

#include "common/custom.h"

// Longest filter configuration text the library keeps, terminator included.
#define TAVO_FILTER_MAX 16384
// Board file the library saves its filter configuration to.
#define TAVO_FILTER_FILE "/userdata/const/tavo_filter.json"
// Highest multi-camera interference level.
#define TAVO_MCI_LEVEL_MAX 10

// Library results.
enum {
    TAVO_OK = 0,
    TAVO_ERR_ARG = -1,     // null or out-of-range argument
    TAVO_ERR_DATA = -2,    // input data it cannot use
    TAVO_ERR_FILE = -3,    // file could not be read or written
};

// Parameters the wrappers build from the register space.
typedef struct TavoLibParams {
    uint32_t tofKind;    // ToF sensorType (100, 200, 300, ...)
    uint32_t rgbKind;    // colour sensorType
    uint32_t cpuType;
    uint32_t cameraType;
    uint32_t freqMode;   // ToF freqMode
} TavoLibParams;

// Automatic exposure request.
typedef struct TavoAeArgs {
    float current_exposure;
    float current_gain;
    float kp;                   // proportional factor
    float target_bright_level;  // wanted mean level, 0..255
    float max_exposure, min_exposure;
    float max_gain, min_gain;
    int   target_level;         // dead band around the target, in levels
} TavoAeArgs;

// which 0: ToF output, 1: colour output.
int tavolib_get_size(const TavoLibParams* p, int which, uint32_t* width, uint32_t* height);
// Works on the raw buffer in place (size bytes of 16-bit samples).
int tavolib_parse_raw(const TavoLibParams* p, void* raw, int size, int mode);
// Proposes exposure and gain from count 8-bit luminance samples.
int tavolib_auto_exposure(const uint8_t* luma, size_t count, const TavoAeArgs* a, float* new_exposure,
                          float* new_gain);
// The same for a JPEG picture (compressed data carry no usable level here).
int tavolib_auto_exposure_jpeg(const uint8_t* jpg, size_t len, const TavoAeArgs* a, float* new_exposure,
                               float* new_gain);

// Copies the filter text (terminated) into buffer of size bytes; its length
// in *length. TAVO_ERR_DATA when it does not fit.
int tavolib_get_filter(char* buffer, size_t size, int* length);
// text NULL: the saved file, or the built-in configuration when none. A text
// must be a JSON object shorter than TAVO_FILTER_MAX.
int tavolib_set_filter(const char* text);
int tavolib_save_filter(void);

const char* tavolib_version(void);
int  tavolib_get_mci_level(void);
int  tavolib_set_mci_level(int level);

int  tavolib_cam_param(const TavoLibParams* p, int which, CameraParam* out);
int  tavolib_extrin_param(CameraExtrinParam* out);
void tavolib_time_ns(int* sec, int* nsec);

// Back to the state at process start (tests).
void tavolib_reset(void);

#endif
