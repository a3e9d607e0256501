// Depth processing workers and the stream gate.
//
// Raw ToF frames arrive on worker 512's list (capture keeps it one deep);
// 512 hands the newest to worker 514, which computes depth and amplitude
// images into depth-pool frames and passes everything to algo_sendImage.
// Colour frames arrive on worker 513's list and go to the gate as they are.
// The gate queues a frame for the GVSP sender (worker 511) only while its
// stream register is set and the sender's list holds fewer frames than
// there are open streams.
#include "algo/algo.h"

#include <string.h>

#include "GigE/gvcp.h"
#include "algo/algo_server.h"
#include "bpool.h"
#include "common/custom.h"
#include "epcore.h"
#include "log/logger.h"
#include "worker.h"

std::atomic<uint64> g_frameIndex{0};

namespace {

// Longest sleep of a worker with nothing to do; producers that know the
// worker wake it earlier through its event object.
constexpr int kIdleWaitMs = 5;

// Depth computation constants: depth in millimetres is kDepthBaseMm plus
// kDepthMmPerCount per count of phase difference.
constexpr int32_t kDepthBaseMm = 2000;
constexpr int32_t kDepthMmPerCount = 1;
constexpr uint32_t kMaxPhases = 4;

// The stream registers the gate reads.
struct Streams {
    uint32 raw, amp, depth, rgb, app;
    int open() const { return (raw != 0) + (amp != 0) + (depth != 0) + (rgb != 0) + (app != 0); }
};

Streams read_streams()
{
    Streams s{};
    if (g_regMemAddr) s.raw = reg_load(g_regMemAddr->enableRaw);
    if (g_dev_cfg) {
        s.amp = reg_load(g_dev_cfg->common.enableAmp);
        s.depth = reg_load(g_dev_cfg->common.enableDepth);
        s.rgb = reg_load(g_dev_cfg->common.enableRgb);
        s.app = reg_load(g_dev_cfg->common.enableApplationAlgo);
    }
    return s;
}

bool passes(const Streams& s, uint32 imageType)
{
    switch (imageType) {
    case E_IMAGE_TYPE_RAW:   return s.raw != 0;
    case E_IMAGE_TYPE_DEPTH: return s.depth != 0;
    case E_IMAGE_TYPE_AMP:   return s.amp != 0;
    case E_IMAGE_TYPE_RGB:
    case E_IMAGE_TYPE_JPEG:
    case E_IMAGE_TYPE_H264:
    case E_IMAGE_TYPE_H265:  return s.rgb != 0;
    case E_IMAGE_TYPE_AVOID:
    case E_IMAGE_TYPE_PALLET:
    case E_IMAGE_TYPE_AVOID2: return true;
    default:                  return false;
    }
}

// Release of frames left on a worker's lists.
void release_frame(epcore_t* core, void* item) { free_image(core, static_cast<ImageInfo*>(item)); }

ImageInfo* take_frame(worker_t* wk)
{
    EnterCriticalSection(&wk->datalistCS);
    void* item = lt_rm_head(wk->data_list);
    LeaveCriticalSection(&wk->datalistCS);
    return static_cast<ImageInfo*>(item);
}

// Gives worker 514 the newest frame: one waiting there is released.
void hand_to_depth(epcore_t* core, ImageInfo* frame)
{
    worker_t* wk = epcore_worker_find(core, E_WORKER_ID_ALGO2);
    if (!wk) {
        free_image(core, frame);
        return;
    }
    EnterCriticalSection(&wk->datalistCS);
    ImageInfo* older = static_cast<ImageInfo*>(lt_rm_head(wk->data_list));
    lt_append(wk->data_list, frame);
    LeaveCriticalSection(&wk->datalistCS);
    event_signal(wk->ioevent, 1);
    free_image(core, older);
}

// Valid 16-bit samples of a raw frame, bounded by its pool unit.
size_t raw_samples(epcore_t* core, const ImageInfo* raw)
{
    size_t bytes = raw->imageSize;
    if (raw->memType == E_MEMTYPE_RAW && core->raw) {
        size_t room = core->raw->unitsize > (int)sizeof(ImageInfo) ? core->raw->unitsize - sizeof(ImageInfo) : 0;
        if (bytes > room) bytes = room;
    }
    return bytes / 2;
}

uint16_t sample(const uint8_t* data, size_t n, size_t index)
{
    if (index >= n) return 0;
    uint16_t v;
    memcpy(&v, data + index * 2, 2);
    return v;
}

// The raw frame holds up to four phase planes of width x height 16-bit
// samples, one after the other (fewer samples than one plane: the missing
// pixels read 0). Per pixel i over the P planes present:
//   amplitude = mean of the P samples
//   depth     = kDepthBaseMm + kDepthMmPerCount * (s0 - s[P/2]), clamped to
//               0..65535 (the phase difference between the first plane and
//               the one half a period later; 0 with a single plane).
void compute(const uint8_t* data, size_t n, uint32 width, uint32 height, uint16_t* depth, uint16_t* amp)
{
    size_t plane = (size_t)width * height;
    size_t phases = plane ? n / plane : 0;
    if (phases < 1) phases = 1;
    if (phases > kMaxPhases) phases = kMaxPhases;
    size_t half = phases / 2;
    for (size_t i = 0; i < plane; i++) {
        uint32_t sum = 0;
        for (size_t k = 0; k < phases; k++) sum += sample(data, n, k * plane + i);
        if (amp) amp[i] = (uint16_t)(sum / phases);
        if (depth) {
            int32_t diff = half ? (int32_t)sample(data, n, i) - (int32_t)sample(data, n, half * plane + i) : 0;
            int32_t d = kDepthBaseMm + kDepthMmPerCount * diff;
            depth[i] = (uint16_t)(d < 0 ? 0 : (d > 65535 ? 65535 : d));
        }
    }
}

ImageInfo* output_frame(epcore_t* core, const ImageInfo* raw, uint32 imageType, uint32 width, uint32 height,
                        uint64 index)
{
    ImageInfo* img = static_cast<ImageInfo*>(bpool_fetch(core->depth));
    if (!img) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        return nullptr;
    }
    memset(img, 0, sizeof(ImageInfo));
    img->memType = E_MEMTYPE_DEPTH;
    img->sensorIndex = raw->sensorIndex;
    img->imageType = imageType;
    img->width = img->outWidth = width;
    img->height = img->outHeight = height;
    img->pixelFormat = ALGO_PIXEL_MONO16;
    img->timeStampH = raw->timeStampH;
    img->timeStampL = raw->timeStampL;
    img->lTimeStampH = raw->lTimeStampH;
    img->lTimeStampL = raw->lTimeStampL;
    img->frameIndex = index;
    img->PDFlags = raw->PDFlags;
    img->imageSize = width * height * 2;
    return img;
}

} // namespace

int algo_sendImage(void* vpcore, ImageInfo* image)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    if (!image) return 0;
    worker_t* wk = core ? epcore_worker_find(core, E_WORKER_ID_GVSP) : nullptr;
    if (!wk) {
        log_error(g_logger, __FUNCTION__, __LINE__, "not find gvsp worker.");
        free_image(core, image);
        return 0;
    }
    Streams s = read_streams();
    int open = s.open();
    bool release = true;
    EnterCriticalSection(&wk->datalistCS);
    log_debug(g_logger, __FUNCTION__, __LINE__, "openStreamNum:%d", open);
    if (lt_num(wk->data_list) >= open) {
        log_debug(g_logger, __FUNCTION__, __LINE__, "drop image type:%d", image->imageType);
    } else if (passes(s, image->imageType)) {
        lt_append(wk->data_list, image);
        release = false;
    }
    LeaveCriticalSection(&wk->datalistCS);
    if (release) free_image(core, image);
    return 0;
}

int algo_depth_process(void* vpcore, ImageInfo* raw)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    if (!core || !raw) {
        free_image(core, raw);
        return 0;
    }
    uint64 index = g_frameIndex.fetch_add(1);
    uint32 width = 0, height = 0;
    algo_TavoPlus_GetSize(&width, &height, 0);
    Streams s = read_streams();
    int computed = 0;
    if (width && height && (s.depth || s.amp)) {
        size_t need = sizeof(ImageInfo) + (size_t)width * height * 2;
        if (!core->depth || core->depth->unitsize < 0 || (size_t)core->depth->unitsize < need) {
            log_error(g_logger, __FUNCTION__, __LINE__, "depth unit too small for %ux%u", width, height);
        } else {
            ImageInfo* depth = s.depth ? output_frame(core, raw, E_IMAGE_TYPE_DEPTH, width, height, index) : nullptr;
            ImageInfo* amp = s.amp ? output_frame(core, raw, E_IMAGE_TYPE_AMP, width, height, index) : nullptr;
            if (depth || amp) {
                compute(raw->imageData, raw_samples(core, raw), width, height,
                        depth ? reinterpret_cast<uint16_t*>(depth->imageData) : nullptr,
                        amp ? reinterpret_cast<uint16_t*>(amp->imageData) : nullptr);
            }
            if (depth) computed++, algo_sendImage(core, depth);
            if (amp) computed++, algo_sendImage(core, amp);
        }
    }
    raw->frameIndex = index;
    algo_sendImage(core, raw);
    return computed;
}

void* algo_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, release_frame);
    set_task_name("algo");
    algo_TavoPlus_init();
    // The control channel starts only once depth intake runs.
    if (worker_create(core, E_WORKER_ID_GVCP, GVCP_Task) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "create gvcp worker fail.");
    if (worker_create(core, E_WORKER_ID_ALGO2, algo_depth_task) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "create algo2 worker fail.");
    while (!core->quit.load() && !wk->quit.load()) {
        ImageInfo* frame = take_frame(wk);
        if (!frame) {
            event_wait(wk->ioevent, kIdleWaitMs);
            continue;
        }
        hand_to_depth(core, frame);
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end algo task");
    worker_destory(wk);
    return nullptr;
}

void* algo_depth_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, release_frame);
    set_task_name("algo2");
    while (!core->quit.load() && !wk->quit.load()) {
        ImageInfo* frame = take_frame(wk);
        if (!frame) {
            event_wait(wk->ioevent, kIdleWaitMs);
            continue;
        }
        algo_depth_process(core, frame);
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end algo2 task");
    worker_destory(wk);
    return nullptr;
}

void* algo_rgb_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, release_frame);
    set_task_name("algo rgb");
    while (!core->quit.load() && !wk->quit.load()) {
        ImageInfo* frame = take_frame(wk);
        if (!frame) {
            event_wait(wk->ioevent, kIdleWaitMs);
            continue;
        }
        algo_sendImage(core, frame);
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end algo rgb task");
    worker_destory(wk);
    return nullptr;
}

void algo_status_notity(uint32 status)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "status:%d", status);
    algo_server_status_change(status);
}
