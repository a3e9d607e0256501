// Application algorithms: the first-generation avoidance detector (absent
// in this system), the second-generation avoidance and pallet applications
// behind the algorithm server, and the result records for the field buses
// and the UDP command sender.
#include "algo/algo_app.h"

#include <endian.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "algo/algo.h"
#include "algo/algo_server.h"
#include "bpool.h"
#include "common/json_parse.h"
#include "epcore.h"
#include "log/logger.h"
#include "memory.h"
#include "worker.h"

namespace {

// The first-generation detector lives in a library that an initialisation
// routine could open by name; no start-up path calls it, so both stay null
// and every first-generation call reports the missing library or detector.
void* const g_avDLhandle = nullptr;
void* const g_detector = nullptr;

// Rolling counter carried by UDP avoidance records with an extra code.
std::atomic<uint8_t> s_socketCounter{0};

// Parameter text of an application, fetched whole into a heap block the
// caller frees; its length in *len. NULL when it cannot be had.
char* fetch_params(uint32_t app, int* len)
{
    char* buf = static_cast<char*>(kalloc(ALGO_SERVER_PARAM_MAX + 1));
    if (!buf) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        return nullptr;
    }
    int n = algo_server_get_params(app, buf, ALGO_SERVER_PARAM_MAX + 1);
    if (n < 0 || n > ALGO_SERVER_PARAM_MAX) {
        log_error(g_logger, __FUNCTION__, __LINE__, "get params of 0x%x fail:%d", app, n);
        kfree(buf);
        return nullptr;
    }
    *len = n;
    return buf;
}

int get_version(uint32_t app, uint8* buffer)
{
    if (!buffer) return -1;
    char* out = reinterpret_cast<char*>(buffer);
    int n = algo_server_get_version(app, out, ALGO_VERSION_MAX);
    if (n < 0) {
        out[0] = '\0';
        return -1;
    }
    return n < ALGO_VERSION_MAX ? n : ALGO_VERSION_MAX - 1;
}

int set_params(uint32_t app, uint8* text, uint32 length)
{
    if (!text) return ALGO_SERVER_ARG;
    int rc = algo_server_set_params(app, reinterpret_cast<const char*>(text), length);
    if (rc != ALGO_SERVER_OK) log_error(g_logger, __FUNCTION__, __LINE__, "set params of 0x%x fail:%d", app, rc);
    return rc;
}

int run_command(uint32_t app, uint8* text)
{
    if (!text) return ALGO_SERVER_ARG;
    log_info(g_logger, __FUNCTION__, __LINE__, "cmd:%s", LogPeerText(reinterpret_cast<const char*>(text)).c_str());
    return algo_server_command(app, reinterpret_cast<const char*>(text));
}

// A fresh application-result unit with its header filled; NULL ("no mem")
// when the pool has none.
ImageInfo* result_unit(epcore_t* core, uint32 imageType, uint32 size)
{
    bpool_t* pool = core ? core->applation_algo_result : nullptr;
    void* unit = pool && pool->unitsize >= (int)(sizeof(ImageInfo) + size) ? bpool_fetch(pool) : nullptr;
    if (!unit) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        return nullptr;
    }
    ImageInfo* img = static_cast<ImageInfo*>(unit);
    memset(img, 0, sizeof(ImageInfo) + size);
    img->memType = E_MEMTYPE_APPLATION_RESULT;
    img->imageType = imageType;
    img->imageSize = size;
    img->frameIndex = g_frameIndex.load();
    get_local_time(&img->timeStampH, &img->timeStampL);
    return img;
}

// Fetches a result unit, has `fill` write its record and queues it one deep
// on the worker's list (a record waiting there is released). 0 queued; -1
// no unit; -2 no such worker (the unit is released, nothing was filled).
template <typename Fill>
int post_record(epcore_t* core, uint64_t workerId, uint32 imageType, uint32 size, Fill fill)
{
    ImageInfo* img = result_unit(core, imageType, size);
    if (!img) return -1;
    if (!epcore_worker_find(core, workerId)) {
        free_image(core, img);
        return -2;
    }
    fill(img->imageData);
    // The worker may have ended since: then the unit goes back.
    return frame_post_latest_to(core, workerId, img) ? 0 : -2;
}

int post_rs485(void* vpcore, uint32 imageType, const RS485Info& info)
{
    return post_record(static_cast<epcore_t*>(vpcore), E_WORKER_ID_RS485, imageType, sizeof(RS485Info),
                       [&](uint8* rec) { memcpy(rec, &info, sizeof(info)); });
}

int avoid_rs485(void* vpcore, uint32 imageType, int32 result, int32 extraCode)
{
    RS485Info info{};
    info.header[0] = 0xAC;
    info.header[1] = 0xED;
    info.length = RS485_LENGTH_AVOID;
    info.cmd = RS485_CMD_AVOID;
    uint32_t value = (uint32_t)result;
    if (extraCode >= 0) value |= ((uint32_t)extraCode & 0xFFu) << 24;
    uint32_t be = htobe32(value);
    memcpy(&info.result, &be, sizeof(be));
    return post_rs485(vpcore, imageType, info);
}

// AC ED 04 10 and the big-endian value; the counter advances with every
// record queued.
void socket_record(uint8* rec, int32 result, int32 extraCode)
{
    uint8_t counter = s_socketCounter.fetch_add(1);
    uint32_t value = (uint32_t)result;
    if (extraCode >= 0) value = ((uint32_t)extraCode & 0xFFu) << 24 | (uint32_t)counter << 16 | (value & 0xFFFFu);
    const uint8_t head[4] = {0xAC, 0xED, 0x04, 0x10};
    uint32_t be = htobe32(value);
    memcpy(rec, head, sizeof(head));
    memcpy(rec + 4, &be, sizeof(be));
}

} // namespace

/* ---- First-generation avoidance ---- */

int algo_avoid_get_params(char** text)
{
    if (text) *text = nullptr;
    if (!g_detector) log_error(g_logger, __FUNCTION__, __LINE__, "g_detector is null");
    return -1;
}

int algo_avoid_set_params(uint8* text, uint32 length)
{
    (void)text;
    (void)length;
    if (!g_avDLhandle) log_error(g_logger, __FUNCTION__, __LINE__, "g_avDLhandle is null");
    return -1;
}

const char* algo_avoid_get_version(void)
{
    if (!g_detector) log_error(g_logger, __FUNCTION__, __LINE__, "g_detector is null");
    return nullptr;
}

int algo_avoid_get_zone_index(void)
{
    if (!g_detector) log_error(g_logger, __FUNCTION__, __LINE__, "g_detector is null");
    return -1;
}

int algo_avoid_set_zone_index(int index)
{
    (void)index;
    if (!g_detector) log_error(g_logger, __FUNCTION__, __LINE__, "g_detector is null");
    return -1;
}

/* ---- Second-generation avoidance ---- */

int algo_avoid_get_params2(char* out)
{
    if (!out) return -1;
    int len = 0;
    char* text = fetch_params(ALGO_APP_AVOID2, &len);
    if (!text) return -1;
    log_info(g_logger, __FUNCTION__, __LINE__, "output_parameter:%s", LogPeerText(text).c_str());
    log_info(g_logger, __FUNCTION__, __LINE__, "output_len:%d", len);
    int rc = 0;
    if (len >= JSON_FORMAT_MAX) {
        log_info(g_logger, __FUNCTION__, __LINE__, "json need format");
        // A failed compaction leaves out as it was: start from an empty text.
        memset(out, 0, ALGO_PARAM_TEXT_MAX);
        int ret = json_format(text, out);
        if (ret != 0) {
            // A negative result was logged by json_format itself.
            if (ret > 0) log_error(g_logger, __FUNCTION__, __LINE__, "param too long %d", ret);
            rc = -1;
        }
    } else {
        memcpy(out, text, (size_t)len + 1);
    }
    kfree(text);
    return rc;
}

int algo_avoid_set_params2(uint8* text, uint32 length) { return set_params(ALGO_APP_AVOID2, text, length); }

int algo_avoid_get_version2(uint8* buffer) { return get_version(ALGO_APP_AVOID2, buffer); }

int algo_avoid_set_cmd2(uint8* text) { return run_command(ALGO_APP_AVOID2, text); }

int algo_avoid_get_zone_index2(void)
{
    int len = 0;
    char* text = fetch_params(ALGO_APP_AVOID2, &len);
    if (!text) return 0;
    int zone = 0;
    get_avoid_zone_index2(text, &zone);
    kfree(text);
    return zone;
}

int algo_avoid_set_zone_index2(int index)
{
    char cmd[64];
    snprintf(cmd, sizeof(cmd), "{\"SetZoneIndex\": %d}", index);
    log_info(g_logger, __FUNCTION__, __LINE__, "%s", cmd);
    return algo_server_command(ALGO_APP_AVOID2, cmd);
}

/* ---- Pallet location ---- */

int algo_pallet_get_params(uint8* buffer)
{
    if (!buffer) return -1;
    buffer[0] = '\0';
    int len = 0;
    char* text = fetch_params(ALGO_APP_PALLET, &len);
    if (!text) return -1;
    int rc = len;
    if (len < ALGO_PARAM_TEXT_MAX) {
        memcpy(buffer, text, (size_t)len + 1);
    } else {
        // A cut JSON text would be worse than none.
        log_error(g_logger, __FUNCTION__, __LINE__, "param too long %d", len);
        rc = -1;
    }
    kfree(text);
    return rc;
}

int algo_pallet_set_params(uint8* text, uint32 length) { return set_params(ALGO_APP_PALLET, text, length); }

int algo_pallet_get_version(uint8* buffer) { return get_version(ALGO_APP_PALLET, buffer); }

int algo_pallet_set_cmd(uint8* text) { return run_command(ALGO_APP_PALLET, text); }

/* ---- Result records ---- */

int algo_avoid_rs485(void* vpcore, int32 result, int32 extraCode)
{
    return avoid_rs485(vpcore, E_IMAGE_TYPE_AVOID, result, extraCode);
}

int algo_avoid_rs485_2(void* vpcore, int32 result, int32 extraCode)
{
    return avoid_rs485(vpcore, E_IMAGE_TYPE_AVOID2, result, extraCode);
}

int algo_pallet_rs485(void* vpcore, const RS485Info* res)
{
    RS485Info info{};
    if (res) info = *res;
    info.header[0] = 0xAC;
    info.header[1] = 0xED;
    info.length = RS485_LENGTH_PALLET;
    info.cmd = RS485_CMD_PALLET;
    return post_rs485(vpcore, E_IMAGE_TYPE_PALLET, info);
}

void algo_app_frame_result(void* vpcore, uint32 mode)
{
    constexpr uint32 kModePallet = 2, kModeAvoid2 = 4; // enableApplicationAlgo
    if (mode == kModePallet) algo_pallet_rs485(vpcore, nullptr);
    else if (mode == kModeAvoid2) algo_avoid_rs485_2(vpcore, 0, ALGO_NO_EXTRA_CODE);
}

int algo_avoid_socket(void* vpcore, int32 result, int32 extraCode)
{
    return post_record(static_cast<epcore_t*>(vpcore), E_WORKER_ID_UDP_SEND, E_IMAGE_TYPE_AVOID,
                       ALGO_SOCKET_RECORD_SIZE, [&](uint8* rec) { socket_record(rec, result, extraCode); });
}
