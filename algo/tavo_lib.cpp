// Stand-in processing library: plain rules in place of the closed library's
// calibrated processing, enough for the device to size, stream and expose.
#include "algo/tavo_lib.h"

#include <string.h>
#include <time.h>

#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "common/common.h"
#include "common/json_depth.h"
#include "mthread.h"

namespace {

constexpr const char* kVersion = "tavolib-1.0.0";
constexpr const char* kDefaultFilter =
    "{\"median_filter\":{\"enable\":1,\"radius\":1},\"fly_pixel\":{\"enable\":1,\"k\":0.5},"
    "\"min_amp\":{\"enable\":0,\"value\":10}}";
// Raw samples carry 12 significant bits.
constexpr uint16_t kRawMask = 0x0FFF;
// Exposure is never scaled by more than this per call either way, so one
// dark or saturated picture cannot swing it to a limit at once.
constexpr float kMaxStep = 2.0f;

CRITICAL_SECTION s_libCS = PTHREAD_MUTEX_INITIALIZER;
std::string      s_filter = kDefaultFilter;
int              s_mciLevel = 0;

struct Lock {
    Lock() { EnterCriticalSection(&s_libCS); }
    ~Lock() { LeaveCriticalSection(&s_libCS); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

bool is_json_object(const std::string& text)
{
    try {
        return json_parse_bounded<nlohmann::json>(text).is_object();
    } catch (...) {
        return false;
    }
}

float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Scales exposure by `factor`; what the exposure limits cut off goes to the
// gain, within its own limits.
void apply_factor(const TavoAeArgs* a, float factor, float* new_exposure, float* new_gain)
{
    float wanted = a->current_exposure * factor;
    float exposure = clampf(wanted, a->min_exposure, a->max_exposure);
    float rest = exposure > 0.0f ? wanted / exposure : 1.0f;
    *new_exposure = exposure;
    *new_gain = clampf(a->current_gain * rest, a->min_gain, a->max_gain);
}

bool ae_args_ok(const TavoAeArgs* a)
{
    return a && a->target_bright_level > 0.0f && a->min_exposure <= a->max_exposure &&
           a->min_gain <= a->max_gain && a->current_exposure >= 0.0f && a->current_gain >= 0.0f;
}

} // namespace

int tavolib_get_size(const TavoLibParams* p, int which, uint32_t* width, uint32_t* height)
{
    if (!p || !width || !height) return TAVO_ERR_ARG;
    uint32_t w, h;
    if (which == 0) {
        if (p->tofKind == E_VD55H1) {
            w = 672, h = 804;
        } else if (p->tofKind == E_IMX570 &&
                   (p->cameraType == E_CAMERA_CalvoUltraIMX570 || p->cameraType == E_CAMERA_CalvoUltraV1_1)) {
            w = 320, h = 240;
        } else {
            w = 640, h = 480;
        }
    } else if (which == 1) {
        if (p->rgbKind == E_SMARTSENS_SC230AI || p->rgbKind == E_SMARTSENS_SC2210 || p->rgbKind == E_FH8323) {
            w = 1920, h = 1080;
        } else {
            w = 1280, h = 960;
        }
    } else {
        return TAVO_ERR_ARG;
    }
    *width = w;
    *height = h;
    return TAVO_OK;
}

int tavolib_parse_raw(const TavoLibParams* p, void* raw, int size, int mode)
{
    (void)mode;
    if (!p || !raw || size < 2) return TAVO_ERR_ARG;
    // Sensor words carry flag bits above the 12-bit sample: clear them so
    // later stages see plain sample values.
    uint8_t* b = static_cast<uint8_t*>(raw);
    for (int i = 0; i + 1 < size; i += 2) {
        uint16_t v;
        memcpy(&v, b + i, 2);
        v &= kRawMask;
        memcpy(b + i, &v, 2);
    }
    return TAVO_OK;
}

int tavolib_auto_exposure(const uint8_t* luma, size_t count, const TavoAeArgs* a, float* new_exposure,
                          float* new_gain)
{
    if (!luma || count == 0 || !new_exposure || !new_gain) return TAVO_ERR_ARG;
    if (!ae_args_ok(a)) return TAVO_ERR_ARG;
    uint64_t sum = 0;
    for (size_t i = 0; i < count; i++) sum += luma[i];
    float mean = (float)sum / (float)count;
    float error = a->target_bright_level - mean;
    if (error <= (float)a->target_level && -error <= (float)a->target_level) {
        *new_exposure = a->current_exposure;
        *new_gain = a->current_gain;
        return TAVO_OK;
    }
    // Proportional step: the relative brightness error times kp.
    float factor = clampf(1.0f + a->kp * error / a->target_bright_level, 1.0f / kMaxStep, kMaxStep);
    apply_factor(a, factor, new_exposure, new_gain);
    return TAVO_OK;
}

int tavolib_auto_exposure_jpeg(const uint8_t* jpg, size_t len, const TavoAeArgs* a, float* new_exposure,
                               float* new_gain)
{
    if (!jpg || len < 4 || !new_exposure || !new_gain || !ae_args_ok(a)) return TAVO_ERR_ARG;
    if (jpg[0] != 0xFF || jpg[1] != 0xD8) return TAVO_ERR_DATA;
    // Without decoding there is no level to steer by: keep the settings,
    // brought within the limits.
    apply_factor(a, 1.0f, new_exposure, new_gain);
    return TAVO_OK;
}

int tavolib_get_filter(char* buffer, size_t size, int* length)
{
    if (!buffer || !length || size == 0) return TAVO_ERR_ARG;
    Lock lock;
    if (s_filter.size() + 1 > size) return TAVO_ERR_DATA;
    memcpy(buffer, s_filter.c_str(), s_filter.size() + 1);
    *length = (int)s_filter.size();
    return TAVO_OK;
}

int tavolib_set_filter(const char* text)
{
    std::string next;
    if (text) {
        next.assign(text, strnlen(text, TAVO_FILTER_MAX));
        if (next.size() >= TAVO_FILTER_MAX || !is_json_object(next)) return TAVO_ERR_DATA;
    } else {
        next = kDefaultFilter;
        uint8_t buf[TAVO_FILTER_MAX];
        std::string saved(reinterpret_cast<char*>(buf), get_fileContext(TAVO_FILTER_FILE, buf, sizeof(buf) - 1));
        if (is_json_object(saved)) next = saved;
    }
    Lock lock;
    s_filter = next;
    return TAVO_OK;
}

int tavolib_save_filter(void)
{
    std::string text;
    {
        Lock lock;
        text = s_filter;
    }
    return put_fileContext(TAVO_FILTER_FILE, text.data(), text.size()) == 0 ? TAVO_OK : TAVO_ERR_FILE;
}

const char* tavolib_version(void) { return kVersion; }

int tavolib_get_mci_level(void)
{
    Lock lock;
    return s_mciLevel;
}

int tavolib_set_mci_level(int level)
{
    if (level < 0 || level > TAVO_MCI_LEVEL_MAX) return TAVO_ERR_ARG;
    Lock lock;
    s_mciLevel = level;
    return TAVO_OK;
}

int tavolib_cam_param(const TavoLibParams* p, int which, CameraParam* out)
{
    uint32_t w, h;
    if (!out) return TAVO_ERR_ARG;
    int rc = tavolib_get_size(p, which, &w, &h);
    if (rc != TAVO_OK) return rc;
    // Nominal pinhole model: focal length in pixels equal to the width (about
    // a 53 degree horizontal field), principal point at the centre, no
    // distortion.
    *out = CameraParam{};
    out->fx = out->fy = (double)w;
    out->cx = (w - 1) / 2.0;
    out->cy = (h - 1) / 2.0;
    return TAVO_OK;
}

int tavolib_extrin_param(CameraExtrinParam* out)
{
    if (!out) return TAVO_ERR_ARG;
    // The colour camera sits beside the ToF camera with parallel axes, 25 mm
    // along x.
    *out = CameraExtrinParam{};
    out->r00 = out->r11 = out->r22 = 1.0;
    out->Tx = 25.0;
    return TAVO_OK;
}

void tavolib_time_ns(int* sec, int* nsec)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (sec) *sec = (int)ts.tv_sec;
    if (nsec) *nsec = (int)ts.tv_nsec;
}

void tavolib_reset(void)
{
    Lock lock;
    s_filter = kDefaultFilter;
    s_mciLevel = 0;
}
