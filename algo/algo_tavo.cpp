// The algo_TavoPlus_* wrappers: register space in, library calls out,
// library failures logged. The library itself is algo/tavo_lib.
#include "algo/algo_tavo.h"

#include <string.h>

#include "algo/tavo_lib.h"
#include "log/logger.h"

namespace {

// Library parameters from the registers; zeros before the register space
// exists.
TavoLibParams lib_params()
{
    TavoLibParams p{};
    if (g_dev_cfg) {
        p.tofKind = reg_load(g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info.sensorType);
        p.rgbKind = reg_load(g_dev_cfg->sensor[DEV_CFG_SENSOR_RGB].info.sensorType);
        p.freqMode = reg_load(g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info.freqMode);
    }
    if (g_regMemAddr) {
        p.cpuType = reg_load(g_regMemAddr->cpuId);
        p.cameraType = reg_load(g_regMemAddr->cameraType);
    }
    return p;
}

TavoAeArgs ae_args(float current_exposure, float current_gain, float kp, float target_bright_level,
                   float max_exposure, float min_exposure, float max_gain, float min_gain, int target_level)
{
    return TavoAeArgs{current_exposure, current_gain, kp,       target_bright_level, max_exposure,
                      min_exposure,     max_gain,     min_gain, target_level};
}

void keep_current(float current_exposure, float current_gain, float* new_exposure, float* new_gain)
{
    if (new_exposure) *new_exposure = current_exposure;
    if (new_gain) *new_gain = current_gain;
}

void get_size(uint32* width, uint32* height, int which)
{
    TavoLibParams p = lib_params();
    uint32_t w = 0, h = 0;
    int rc = tavolib_get_size(&p, which, &w, &h);
    if (rc != TAVO_OK) {
        log_error(g_logger, __FUNCTION__, __LINE__, "GetSize error.%d", rc);
        return;
    }
    if (width) *width = w;
    if (height) *height = h;
}

} // namespace

void algo_TavoPlus_AutoExposure(uint8* data, int width, int height, float current_exposure, float current_gain,
                                float kp, float target_bright_level, float max_exposure, float min_exposure,
                                float max_gain, float min_gain, float* new_exposure, float* new_gain,
                                int target_level)
{
    TavoAeArgs a = ae_args(current_exposure, current_gain, kp, target_bright_level, max_exposure, min_exposure,
                           max_gain, min_gain, target_level);
    size_t count = width > 0 && height > 0 ? (size_t)width * (size_t)height : 0;
    int rc = tavolib_auto_exposure(data, count, &a, new_exposure, new_gain);
    if (rc != TAVO_OK) {
        log_error(g_logger, __FUNCTION__, __LINE__, "AutoExposure error.%d", rc);
        keep_current(current_exposure, current_gain, new_exposure, new_gain);
    }
}

void algo_TavoPlus_AutoExposureMjpeg(uint8* data, int jpg_data_len, float current_exposure, float current_gain,
                                     float kp, float target_bright_level, float max_exposure, float min_exposure,
                                     float max_gain, float min_gain, float* new_exposure, float* new_gain,
                                     int target_level)
{
    TavoAeArgs a = ae_args(current_exposure, current_gain, kp, target_bright_level, max_exposure, min_exposure,
                           max_gain, min_gain, target_level);
    size_t len = jpg_data_len > 0 ? (size_t)jpg_data_len : 0;
    int rc = tavolib_auto_exposure_jpeg(data, len, &a, new_exposure, new_gain);
    if (rc != TAVO_OK) {
        log_error(g_logger, __FUNCTION__, __LINE__, "AutoExposure error.%d", rc);
        keep_current(current_exposure, current_gain, new_exposure, new_gain);
    }
}

void algo_TavoPlus_ParseRawData(void* raw, int size, int mode)
{
    TavoLibParams p = lib_params();
    int rc = tavolib_parse_raw(&p, raw, size, mode);
    if (rc != TAVO_OK) log_error(g_logger, __FUNCTION__, __LINE__, "ParseRawData error.%d", rc);
}

void algo_TavoPlus_GetSize(uint32* width, uint32* height, int which) { get_size(width, height, which); }

// The stand-in library needs no calibration file: its initialised sizes are
// its plain sizes.
void algo_TavoPlus_GetSizeInit(uint32* width, uint32* height, int which) { get_size(width, height, which); }

void algo_TavoPlus_GetFilterString(uint8* buffer, int* length)
{
    if (!buffer || !length) return;
    int rc = tavolib_get_filter(reinterpret_cast<char*>(buffer), ALGO_FILTER_TEXT_MAX, length);
    if (rc != TAVO_OK) {
        log_error(g_logger, __FUNCTION__, __LINE__, "GetFilterString error.%d", rc);
        buffer[0] = '\0';
        *length = 0;
    }
}

int algo_TavoPlus_SetFilterString(uint8* text)
{
    int rc = tavolib_set_filter(reinterpret_cast<const char*>(text));
    if (rc != TAVO_OK) log_error(g_logger, __FUNCTION__, __LINE__, "SetFilterString error.%d", rc);
    return rc;
}

void algo_TavoPlus_SaveFilterFile(void)
{
    int rc = tavolib_save_filter();
    if (rc != TAVO_OK) log_error(g_logger, __FUNCTION__, __LINE__, "SaveFilterFile error.%d", rc);
}

const char* algo_TavoPlus_GetLibVersion(void) { return tavolib_version(); }

void algo_TavoPlus_GetMCIlevel(int* level)
{
    if (level) *level = tavolib_get_mci_level();
}

int algo_TavoPlus_SetMCIlevel(int level) { return tavolib_set_mci_level(level); }

void algo_TavoPlus_getTOFCamParam(CameraParam* param)
{
    TavoLibParams p = lib_params();
    int rc = tavolib_cam_param(&p, 0, param);
    if (rc != TAVO_OK) log_error(g_logger, __FUNCTION__, __LINE__, "getTOFCamParam error.%d", rc);
}

void algo_TavoPlus_getRGBCamParam(CameraParam* param)
{
    TavoLibParams p = lib_params();
    int rc = tavolib_cam_param(&p, 1, param);
    if (rc != TAVO_OK) log_error(g_logger, __FUNCTION__, __LINE__, "getRGBCamParam error.%d", rc);
}

void algo_TavoPlus_getExtrinParam(CameraExtrinParam* param)
{
    int rc = tavolib_extrin_param(param);
    if (rc != TAVO_OK) log_error(g_logger, __FUNCTION__, __LINE__, "getExtrinParam error.%d", rc);
}

void algo_TavoPlus_getCameraOriginalInfo(CameraOriginalInfo* info)
{
    if (!info) return;
    TavoLibParams p = lib_params();
    *info = CameraOriginalInfo{};
    uint32_t w = 0, h = 0;
    if (tavolib_get_size(&p, 0, &w, &h) == TAVO_OK) info->tofWidth = w, info->tofHeight = h;
    if (tavolib_get_size(&p, 1, &w, &h) == TAVO_OK) info->rgbWidth = w, info->rgbHeight = h;
    tavolib_cam_param(&p, 0, &info->tofCameraParm);
    tavolib_cam_param(&p, 1, &info->rgbCameraParm);
    tavolib_extrin_param(&info->cameraExtrinParam);
}

void algo_TavoPlus_getTimeStampNS(int* sec, int* nsec) { tavolib_time_ns(sec, nsec); }

void algo_TavoPlus_init(void) {}
