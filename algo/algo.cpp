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

// Gives worker 514 the newest frame: one waiting there is released.
void hand_to_depth(epcore_t* core, ImageInfo* frame)
{
    worker_t* wk = epcore_worker_find(core, E_WORKER_ID_ALGO2);
    if (wk) frame_post_latest(core, wk, frame);
    else free_image(core, frame);
}

void depth_process(epcore_t* core, ImageInfo* raw) { algo_depth_process(core, raw); }
void send_image(epcore_t* core, ImageInfo* image) { algo_sendImage(core, image); }

// Most frames one raw frame yields for the sender: depth, amplitude, raw.
constexpr int kMaxBatch = 3;

// The gate for up to kMaxBatch frames (null entries skipped), judged on one
// reading of the stream registers under one hold of the sender's list lock.
void send_frames(epcore_t* core, const Streams& s, ImageInfo* const* frames, int n)
{
    worker_t* wk = core ? epcore_worker_find(core, E_WORKER_ID_GVSP) : nullptr;
    ImageInfo* released[kMaxBatch];
    int nrel = 0;
    if (!wk) {
        for (int i = 0; i < n; i++) {
            if (!frames[i]) continue;
            log_error(g_logger, __FUNCTION__, __LINE__, "not find gvsp worker.");
            released[nrel++] = frames[i];
        }
    } else {
        int open = s.open();
        EnterCriticalSection(&wk->datalistCS);
        log_debug(g_logger, __FUNCTION__, __LINE__, "openStreamNum:%d", open);
        for (int i = 0; i < n; i++) {
            ImageInfo* image = frames[i];
            if (!image) continue;
            if (lt_num(wk->data_list) >= open) {
                log_debug(g_logger, __FUNCTION__, __LINE__, "drop image type:%d", image->imageType);
                released[nrel++] = image;
            } else if (passes(s, image->imageType)) {
                lt_append(wk->data_list, image);
            } else {
                released[nrel++] = image;
            }
        }
        LeaveCriticalSection(&wk->datalistCS);
    }
    for (int i = 0; i < nrel; i++) free_image(core, released[i]);
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
        // One pass over the planes gives the sum and both samples the phase
        // difference needs (with one plane, half is 0 and the difference 0).
        uint32_t sum = 0;
        int32_t first = 0, opposite = 0;
        for (size_t k = 0; k < phases; k++) {
            uint16_t v = sample(data, n, k * plane + i);
            sum += v;
            if (k == 0) first = v;
            if (k == half) opposite = v;
        }
        if (amp) amp[i] = (uint16_t)(sum / phases);
        if (depth) {
            int32_t d = kDepthBaseMm + kDepthMmPerCount * (first - opposite);
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
    if (image) send_frames(static_cast<epcore_t*>(vpcore), read_streams(), &image, 1);
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
    ImageInfo* depth = nullptr;
    ImageInfo* amp = nullptr;
    if (width && height && (s.depth || s.amp)) {
        size_t need = sizeof(ImageInfo) + (size_t)width * height * 2;
        if (!core->depth || core->depth->unitsize < 0 || (size_t)core->depth->unitsize < need) {
            log_error(g_logger, __FUNCTION__, __LINE__, "depth unit too small for %ux%u", width, height);
        } else {
            depth = s.depth ? output_frame(core, raw, E_IMAGE_TYPE_DEPTH, width, height, index) : nullptr;
            amp = s.amp ? output_frame(core, raw, E_IMAGE_TYPE_AMP, width, height, index) : nullptr;
            if (depth || amp) {
                compute(raw->imageData, raw_samples(core, raw), width, height,
                        depth ? reinterpret_cast<uint16_t*>(depth->imageData) : nullptr,
                        amp ? reinterpret_cast<uint16_t*>(amp->imageData) : nullptr);
            }
        }
    }
    raw->frameIndex = index;
    ImageInfo* const frames[kMaxBatch] = {depth, amp, raw};
    send_frames(core, s, frames, kMaxBatch);
    return (depth != nullptr) + (amp != nullptr);
}

// The three frame workers share one loop; their frames' release on exit is
// free_image.
static void* frame_task(void* arg, const char* name, void (*use)(epcore_t*, ImageInfo*), bool startsDepth)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name(name);
    if (startsDepth) {
        algo_TavoPlus_init();
        // The control channel starts only once depth intake runs.
        if (worker_create(core, E_WORKER_ID_GVCP, GVCP_Task) != 0)
            log_error(g_logger, __FUNCTION__, __LINE__, "create gvcp worker fail.");
        if (worker_create(core, E_WORKER_ID_ALGO2, algo_depth_task) != 0)
            log_error(g_logger, __FUNCTION__, __LINE__, "create algo2 worker fail.");
    }
    frame_serve(wk, use, kIdleWaitMs);
    log_info(g_logger, __FUNCTION__, __LINE__, "end %s task", name);
    worker_destory(wk);
    return nullptr;
}

void* algo_task(void* arg) { return frame_task(arg, "algo", hand_to_depth, true); }
void* algo_depth_task(void* arg) { return frame_task(arg, "algo2", depth_process, false); }
void* algo_rgb_task(void* arg) { return frame_task(arg, "algo rgb", send_image, false); }

void algo_status_notity(uint32 status)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "status:%d", status);
    algo_server_status_change(status);
}
