// Wrappers over the depth and image processing library: sizes, raw parsing,
// automatic exposure, filter configuration, camera parameters, the
// multi-camera interference level and the library clock. They build the
// library's parameters from the register space and log its failures.
#ifndef KORVID_ALGO_ALGO_TAVO_H
#define KORVID_ALGO_ALGO_TAVO_H

#include "common/common.h"
#include "common/custom.h"

// Room a caller gives algo_TavoPlus_GetFilterString, terminator included.
#define ALGO_FILTER_TEXT_MAX 16384

// Proposes exposure and gain for a grey or colour picture; the level is
// measured on the first width x height bytes (the grey or luminance plane).
// On a library failure ("AutoExposure error.%d") the outputs hold the
// current values.
void algo_TavoPlus_AutoExposure(uint8* data, int width, int height, float current_exposure, float current_gain,
                                float kp, float target_bright_level, float max_exposure, float min_exposure,
                                float max_gain, float min_gain, float* new_exposure, float* new_gain,
                                int target_level);
// The same for a JPEG picture of jpg_data_len bytes.
void algo_TavoPlus_AutoExposureMjpeg(uint8* data, int jpg_data_len, float current_exposure, float current_gain,
                                     float kp, float target_bright_level, float max_exposure, float min_exposure,
                                     float max_gain, float min_gain, float* new_exposure, float* new_gain,
                                     int target_level);

// Parses a raw ToF buffer of `size` bytes in place.
void algo_TavoPlus_ParseRawData(void* raw, int size, int mode);

// Output size of the ToF (which 0) or colour (which 1) image; on failure
// "GetSize error.%d" and the outputs keep their values.
void algo_TavoPlus_GetSize(uint32* width, uint32* height, int which);
// The same after the library's initialisation from the calibration file.
void algo_TavoPlus_GetSizeInit(uint32* width, uint32* height, int which);

// Copies the filter configuration text, terminated, into buffer (at least
// ALGO_FILTER_TEXT_MAX bytes) and its length into *length.
void algo_TavoPlus_GetFilterString(uint8* buffer, int* length);
// Hands a JSON filter configuration text to the library; NULL restores the
// saved configuration. 0, or the library's code when it refused the text
// (its configuration then stays as it was).
int  algo_TavoPlus_SetFilterString(uint8* text);
void algo_TavoPlus_SaveFilterFile(void);

const char* algo_TavoPlus_GetLibVersion(void);
void algo_TavoPlus_GetMCIlevel(int* level);
int  algo_TavoPlus_SetMCIlevel(int level);

void algo_TavoPlus_getTOFCamParam(CameraParam* param);
void algo_TavoPlus_getRGBCamParam(CameraParam* param);
void algo_TavoPlus_getExtrinParam(CameraExtrinParam* param);
void algo_TavoPlus_getCameraOriginalInfo(CameraOriginalInfo* info);

// The library's current time stamp: seconds and nanoseconds.
void algo_TavoPlus_getTimeStampNS(int* sec, int* nsec);

// Initialisation hook; nothing to do.
void algo_TavoPlus_init(void);

#endif
