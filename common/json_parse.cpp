// JSON routines over nlohmann-json (ordered objects, so members keep their
// order). Every routine catches its own JSON errors: none escapes to a caller.
// Files are replaced whole through a synced temporary file, so a crash or a
// full disk leaves either the old file or the new one, never a torn one.
#include "common/json_parse.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/common.h"
#include "common/custom.h"
#include "common/json_depth.h"
#include "log/logger.h"
#include "platform.h"

namespace {

constexpr const char* kCapability = "/etc/capability.json";
constexpr const char* kFeatureCapability = "/etc/feature_capability.json";
constexpr const char* kAppAlgoConfig = "/userdata/app_algo_config.json";
constexpr const char* kNoSpace = "no space in device, can not write file.";
constexpr const char* kAuto = "RK_AIQ_OP_MODE_AUTO";
constexpr const char* kManual = "RK_AIQ_OP_MODE_MANUAL";
constexpr uint64 kMinFreeMiB = 100;
constexpr int kFeatureMissing = -1000;
using ojson = nlohmann::ordered_json;

// Camera types and ToF kinds the capability rules name.
constexpr uint32_t kCamTavo = 4, kCamTavoPlus = 5, kCamTavoGrand = 6, kCamCalvoUltraGpixel0503 = 22,
                   kCamCalvoUltraIMX570 = 23, kCamTavoV1 = 1006, kCamTavoPlusV1_1 = 1007,
                   kCamCalvoUltraV1_1 = 2005;
constexpr uint32_t kTofGpixel = 100, kTofVD55H1 = 200, kTofIMX570 = 300;

// The sc230ai tuning file of each CPU type and the scene object holding its
// exposure switch.
struct TuningFile {
    const char* path;
    const char* scene;
};
constexpr TuningFile kTuning[] = {
    {"/etc/iqfiles/sc230ai_CMK-OT1980-PX1_SHG102.json", "scene_isp30"},
    {"/etc/iqfiles/sc230ai_CMK-OT1980-PX1_LS6116.json", "scene_isp21"},
};

const TuningFile* tuning_file(int cpuType)
{
    if (cpuType < 0 || cpuType >= (int)(sizeof(kTuning) / sizeof(kTuning[0]))) return nullptr;
    return &kTuning[cpuType];
}

bool enough_space()
{
    uint64 freeMiB = 0;
    get_deviceFreeSpace("/", &freeMiB);
    if (freeMiB > kMinFreeMiB) return true;
    log_error(g_logger, __FUNCTION__, __LINE__, "%s", kNoSpace);
    return false;
}

bool file_exists(const char* path) { return plat_access(path, F_OK) == 0; }

uint32_t board_version() { return g_regMemAddr ? reg_load(g_regMemAddr->devBoardVersion) : 0; }

// Parses a text or file, refusing nesting deeper than JSON_DEPTH_MAX.
template <typename Input>
ojson parse(Input&& in)
{
    return json_parse_bounded<ojson>(std::forward<Input>(in));
}

ojson parse_file(const char* path)
{
    FILE* f = plat_fopen(path, "rb");
    if (!f) throw std::runtime_error(std::string("cannot open ") + path);
    struct Closer {
        FILE* f;
        ~Closer() { fclose(f); }
    } closer{f};
    return parse(f);
}

// The integer of a JSON number. A value outside int (1e300, 2^40) is refused
// as a type error instead of being cast, which would be undefined.
int to_int(const ojson& v)
{
    if (v.is_number_integer() || v.is_number_unsigned()) {
        if (v.is_number_unsigned()) {
            auto u = v.get<uint64_t>();
            if (u <= (uint64_t)std::numeric_limits<int>::max()) return (int)u;
        } else {
            auto i = v.get<int64_t>();
            if (i >= std::numeric_limits<int>::min() && i <= std::numeric_limits<int>::max()) return (int)i;
        }
        throw std::out_of_range("number out of int range");
    }
    if (v.is_number_float()) {
        double d = std::trunc(v.get<double>());
        if (std::isfinite(d) && d >= (double)std::numeric_limits<int>::min() &&
            d <= (double)std::numeric_limits<int>::max())
            return (int)d;
        throw std::out_of_range("number out of int range");
    }
    return v.get<int>(); // throws the library's type error
}

// Replaces the board file `path` with `text`; the old file stays as it was
// when this fails.
int replace_file(const char* path, const std::string& text)
{
    return put_fileAtomic(path, text.data(), text.size());
}

// Reports a caught exception the way every routine here does: on standard
// output and in the error log, with the exception text when it has one.
void report(const char* func, const char* what, const char* subject)
{
    if (what) {
        printf("ocured error,%s:parse error\n", what);
        // The parser quotes the text it met, and the subject may be the
        // text itself: either may be a host's.
        log_error(g_logger, func, __LINE__, "%s parse error:%s", LogPeerText(subject).c_str(),
                  LogPeerText(what).c_str());
    } else {
        printf("parse error\n");
        log_error(g_logger, func, __LINE__, "%s parse error", LogPeerText(subject).c_str());
    }
}

// Runs `body`, reporting any exception it raises against `subject`; true when
// it ran through.
template <typename Body>
bool guarded(const char* func, const char* subject, Body&& body)
{
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        report(func, e.what(), subject);
    } catch (...) {
        report(func, nullptr, subject);
    }
    return false;
}

// entry[param][field] := value, only when the entry lists the parameter.
void set_cap(ojson& entry, const char* param, const char* field, int value)
{
    if (entry.contains(param)) entry[param][field] = value;
}

// entry[feature] := value, only when the entry lists the feature.
void set_feature(ojson& entry, const char* feature, int value)
{
    if (entry.contains(feature)) entry[feature] = value;
}

// Calls `apply` on every entry of "capability_list" (an array's elements or an
// object's member values). A document that is not an object is refused.
template <typename Apply>
void for_each_entry(ojson& doc, Apply&& apply)
{
    if (!doc.is_object()) throw std::domain_error("capability document is not an object");
    auto list = doc.find("capability_list");
    if (list == doc.end()) return;
    for (auto& entry : *list) apply(entry);
}

void apply_capability(ojson& e, uint32_t rgbType, uint32_t tofType, uint32_t cameraType, uint32_t boardVersion)
{
    if (rgbType == 3) {
        set_cap(e, "rgb_exposure", "max", 50000);
        set_cap(e, "rgb_width", "max", 1920);
        set_cap(e, "rgb_height", "max", 1080);
    } else if (rgbType == 0) {
        set_cap(e, "rgb_exposure", "max", 20000);
        set_cap(e, "rgb_width", "max", 1280);
        set_cap(e, "rgb_height", "max", 960);
    }

    if (tofType == kTofIMX570) {
        set_cap(e, "tof_gain", "support", 0);
        bool simpleIo = cameraType == kCamCalvoUltraV1_1 || cameraType == kCamTavoV1;
        set_cap(e, "io_out_mode", "support", simpleIo ? 0 : 1);
        set_cap(e, "trigger_mode", "max", simpleIo ? 1 : 2);
        set_cap(e, "io_out_hardware_mode", "support", boardVersion == 2 ? 1 : 0);
        set_cap(e, "io_out_mode", "min", cameraType == kCamTavoGrand && boardVersion == 2 ? 1 : 0);
    }

    bool smallTof = cameraType == kCamCalvoUltraV1_1 || cameraType == kCamCalvoUltraGpixel0503 ||
                    cameraType == kCamCalvoUltraIMX570;
    set_cap(e, "tof_width", "max", smallTof ? 320 : 640);
    set_cap(e, "tof_height", "max", smallTof ? 240 : 480);

    if (cameraType == kCamTavoPlusV1_1 && tofType == kTofIMX570) {
        for (const char* p : {"first_exposure", "second_exposure", "3d_exposure_level", "max_3d_auto_exposure",
                              "min_3d_auto_exposure"})
            set_cap(e, p, "max", 4000);
        return;
    }

    if (tofType == kTofGpixel) {
        set_cap(e, "io_out_userctrl_mode", "support", 0);
        set_cap(e, "io_out_mode", "support", 0);
        set_cap(e, "3d_freq_mode", "support", 2);
        set_cap(e, "pyramid_binning_level", "support", 1);
        if (cameraType == kCamTavoPlus) {
            set_cap(e, "tof_freqmode", "max", 3);
        } else if (cameraType == kCamTavo || cameraType == kCamCalvoUltraGpixel0503) {
            set_cap(e, "first_exposure", "max", 3000);
            set_cap(e, "second_exposure", "max", 3000);
            set_cap(e, "tof_freqmode", "max", 3);
            set_cap(e, "tof_fps", "max", 30);
            set_cap(e, "tof_fps", "min", 6);
            set_cap(e, "rgb_fps", "max", 30);
            set_cap(e, "rgb_fps", "min", 6);
        }
        for (const char* p : {"trigger_mode", "hard_trigger_filter_time", "hard_trigger_min_period",
                              "hard_trigger_time", "hard_trigger_frame_num"})
            set_cap(e, p, "support", 0);
    } else if (tofType == kTofVD55H1) {
        set_cap(e, "first_exposure", "max", 60000000);
        set_cap(e, "second_exposure", "max", 60000000);
        set_cap(e, "tof_width", "max", 672);
        set_cap(e, "tof_height", "max", 804);
    }
}

void apply_feature(ojson& e, uint32_t tofType, uint32_t cameraType, uint32_t boardVersion)
{
    if (tofType == kTofGpixel) {
        set_feature(e, "enable_3d_auto_exposure", 0);
        set_feature(e, "cmd_soft_trigger", 0);
        set_feature(e, "enable_multi_freqhdr", 2);
    }
    if (tofType == kTofIMX570) set_feature(e, "enable_term_resistor", boardVersion == 2 ? 1 : 0);
    if (cameraType == kCamCalvoUltraV1_1 || cameraType == kCamCalvoUltraIMX570) set_feature(e, "cmd_soft_trigger", 0);
}

// Rewrites a capability file compactly after `change` has walked its
// entries; on any error the file keeps its content.
template <typename Change>
void rewrite_capability(const char* func, const char* path, Change&& change)
{
    if (!file_exists(path)) {
        log_info(g_logger, func, __LINE__, "file not exist\n");
        return;
    }
    if (!enough_space()) return;
    std::string text;
    if (!guarded(func, path, [&] {
            ojson doc = parse_file(path);
            for_each_entry(doc, change);
            text = doc.dump();
        }))
        return;
    replace_file(path, text);
}

// The "AecOpType" member along the tuning file's switch path. Every step
// must exist: a file without the path is refused rather than given one.
ojson& exposure_switch(ojson& doc, const char* scene)
{
    return doc.at("main_scene").at(0).at("sub_scene").at(0).at(scene).at("ae_calib").at("CommCtrl");
}

} // namespace

void modify_capability(uint32_t rgbType, uint32_t tofType, uint32_t cameraType)
{
    uint32_t boardVersion = board_version();
    rewrite_capability(__FUNCTION__, kCapability, [&](ojson& entry) {
        apply_capability(entry, rgbType, tofType, cameraType, boardVersion);
    });
}

void modify_feature_capability(uint32_t rgbType, uint32_t tofType, uint32_t cameraType)
{
    (void)rgbType;
    uint32_t boardVersion = board_version();
    rewrite_capability(__FUNCTION__, kFeatureCapability, [&](ojson& entry) {
        apply_feature(entry, tofType, cameraType, boardVersion);
    });
}

void get_feature_capability(const char* feature, int* value)
{
    if (!value) return;
    *value = kFeatureMissing;
    if (!feature) return;
    if (!file_exists(kFeatureCapability)) {
        log_info(g_logger, __FUNCTION__, __LINE__, "/etc/feature_capability.json not exist\n");
        return;
    }
    int found = kFeatureMissing;
    if (guarded(__FUNCTION__, kFeatureCapability, [&] {
            ojson doc = parse_file(kFeatureCapability);
            bool done = false;
            for_each_entry(doc, [&](ojson& entry) {
                if (!done && entry.contains(feature)) {
                    found = to_int(entry[feature]);
                    done = true;
                }
            });
        }))
        *value = found;
}

int modify_exporse_mode(uint32_t mode, int cpuType)
{
    if (!enough_space()) return 0;
    const TuningFile* tf = tuning_file(cpuType);
    if (!tf) return 0;
    if (!file_exists(tf->path)) {
        log_info(g_logger, __FUNCTION__, __LINE__, "file not exist\n");
        return 0;
    }
    std::string text;
    if (!guarded(__FUNCTION__, tf->path, [&] {
            ojson doc = parse_file(tf->path);
            exposure_switch(doc, tf->scene)["AecOpType"] = mode ? kAuto : kManual;
            // The 3A library's own layout: 4-space indent, UTF-8 kept as it is.
            text = doc.dump(4, ' ', false);
        }))
        return 0;
    replace_file(tf->path, text);
    return 0;
}

void get_exporse_mode(uint32_t* mode, int cpuType)
{
    const TuningFile* tf = tuning_file(cpuType);
    if (!tf || !mode) return;
    if (!file_exists(tf->path)) {
        log_info(g_logger, __FUNCTION__, __LINE__, "file not exist\n");
        return;
    }
    std::string op;
    if (guarded(__FUNCTION__, tf->path, [&] {
            ojson doc = parse_file(tf->path);
            op = exposure_switch(doc, tf->scene).at("AecOpType").get<std::string>();
        }))
        *mode = op == kAuto ? 1 : 0;
}

int json_format(char* json_in, char* json_out)
{
    if (!enough_space()) return -1;
    if (!json_in || !json_out) return -1;
    std::string compact;
    if (!guarded(__FUNCTION__, kAppAlgoConfig, [&] { compact = parse(json_in).dump(); })) return -1;
    if (compact.size() <= JSON_FORMAT_MAX) {
        memcpy(json_out, compact.data(), compact.size());
        json_out[compact.size()] = '\0';
        return 0;
    }
    log_error(g_logger, __FUNCTION__, __LINE__, "json format too big");
    replace_file(kAppAlgoConfig, compact);
    return (int)compact.size();
}

void get_avoid_zone_index2(char* avoidJson, int* zoneIndex)
{
    if (!avoidJson || !zoneIndex) return;
    int value = 0;
    // at() throws for a missing member, as a read of an absent number does.
    if (!guarded(__FUNCTION__, avoidJson, [&] { value = to_int(parse(avoidJson).at("ZoneIndex")); })) return;
    *zoneIndex = value;
    log_info(g_logger, __FUNCTION__, __LINE__, "*zoneIndex:%d", value);
}
