// JSON routines over nlohmann-json (ordered objects, so members keep their
// order). Every routine catches its own JSON errors: none escapes to a caller.
#include "common/json_parse.h"

#include <stdio.h>
#include <string.h>

#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "common/common.h"
#include "log/logger.h"

namespace {

constexpr const char* kAppAlgoConfig = "/userdata/app_algo_config.json";
constexpr uint64 kMinFreeMiB = 100;

using ojson = nlohmann::ordered_json;

} // namespace

int json_format(char* json_in, char* json_out)
{
    uint64 freeMiB = 0;
    get_deviceFreeSpace("/", &freeMiB);
    if (freeMiB <= kMinFreeMiB) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no space in device, can not write file.");
        return 0;
    }
    if (!json_in || !json_out) return 0;
    try {
        std::string compact = ojson::parse(json_in).dump();
        if (compact.size() <= JSON_FORMAT_MAX) {
            memcpy(json_out, compact.data(), compact.size());
            return 0;
        }
        log_error(g_logger, __FUNCTION__, __LINE__, "json format too big");
        put_fileContext(kAppAlgoConfig, compact.data(), compact.size());
        return (int)compact.size();
    } catch (const std::exception& e) {
        printf("ocured error,%s:parse error\n", e.what());
        log_error(g_logger, __FUNCTION__, __LINE__, "/userdata/app_algo_config.json parse error:%s", e.what());
    } catch (...) {
        printf("parse error\n");
        log_error(g_logger, __FUNCTION__, __LINE__, "/userdata/app_algo_config.json parse error");
    }
    return 0;
}

void get_avoid_zone_index2(char* avoidJson, int* zoneIndex)
{
    if (!avoidJson || !zoneIndex) return;
    try {
        ojson doc = ojson::parse(avoidJson);
        // at() throws for a missing member, as a read of an absent number does.
        int value = doc.at("ZoneIndex").get<int>();
        *zoneIndex = value;
        log_info(g_logger, __FUNCTION__, __LINE__, "*zoneIndex:%d", value);
    } catch (const std::exception& e) {
        printf("ocured error,%s:parse error\n", e.what());
        log_error(g_logger, __FUNCTION__, __LINE__, "%s parse error:%s", avoidJson, e.what());
    } catch (...) {
        printf("parse error\n");
        log_error(g_logger, __FUNCTION__, __LINE__, "%s parse error", avoidJson);
    }
}

// The capability and tuning-file routines: not available yet; they leave
// every file as it is.
void modify_capability(uint32_t, uint32_t, uint32_t) {}
void modify_feature_capability(uint32_t, uint32_t, uint32_t) {}
void get_feature_capability(const char*, int* value)
{
    if (value) *value = -1000;
}
int modify_exporse_mode(uint32_t, int) { return 0; }
void get_exporse_mode(uint32_t*, int) {}
