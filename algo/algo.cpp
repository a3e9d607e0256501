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

#include <math.h>
#include <string.h>

#include "GigE/gvcp.h"
#include "algo/algo_app.h"
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

// Continuous-wave ToF: a frequency of 0 in the register means the sensor's
// default, and depth is the phase of the first frequency group.
constexpr double kLightMmPerS = 299792458000.0;
constexpr double kDefaultFreqMHz = 100.0;

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
    case E_IMAGE_TYPE_H265:
    // The encoder's MJPEG pictures are colour pictures like the others;
    // stopping them here would leave the MJPEG setting with no stream.
    case E_IMAGE_TYPE_MJPEG: return s.rgb != 0;
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
        bool queued = false;
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
                queued = true;
            } else {
                released[nrel++] = image;
            }
        }
        // The sender sleeps until a frame comes.
        if (queued) event_signal(wk->ioevent, 1);
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

// How a raw frame's phases are to be read.
struct PhaseSetup {
    uint32_t phases;     // phase planes of the first frequency group: 3 or 4
    double   mm_per_rad; // distance per radian of phase at its frequency
};

PhaseSetup phase_setup()
{
    PhaseSetup p{4, 0.0};
    double mhz = kDefaultFreqMHz;
    if (g_dev_cfg) {
        const SensorInfo& tof = g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info;
        uint32_t f = reg_load(tof.groupAFreq);
        if (f) mhz = f;
        // The IMX570 takes three phases per frequency in its 3-phase settings.
        if (reg_load(tof.sensorType) == E_IMX570 && reg_load(g_dev_cfg->common.phaseOptions) != 0) p.phases = 3;
    }
    // The light goes out and back: one full turn of phase is c / (2 f).
    p.mm_per_rad = kLightMmPerS / (2.0 * mhz * 1e6) / (2.0 * M_PI);
    return p;
}

// The raw frame starts with the phase planes of the first frequency group,
// width x height 16-bit samples each, plane k taken at phase offset
// 2 pi k / N (fewer samples than that: the missing pixels read 0). Per pixel,
// with I = sum s_k cos(2 pi k / N) and Q = sum s_k sin(2 pi k / N):
//   depth     = atan2(Q, I) in 0..2 pi times the millimetres per radian,
//               0 where there is no modulated light (I = Q = 0)
//   amplitude = 2 / N x sqrt(I^2 + Q^2)
// both clamped to 0..65535.
void compute(const uint8_t* data, size_t n, uint32 width, uint32 height, const PhaseSetup& ps, uint16_t* depth,
             uint16_t* amp)
{
    size_t plane = (size_t)width * height;
    double cs[4], sn[4];
    for (uint32_t k = 0; k < ps.phases; k++) {
        cs[k] = cos(2.0 * M_PI * k / ps.phases);
        sn[k] = sin(2.0 * M_PI * k / ps.phases);
    }
    for (size_t i = 0; i < plane; i++) {
        double re = 0, im = 0;
        for (uint32_t k = 0; k < ps.phases; k++) {
            double v = sample(data, n, k * plane + i);
            re += v * cs[k];
            im += v * sn[k];
        }
        if (amp) {
            double a = 2.0 / ps.phases * sqrt(re * re + im * im);
            amp[i] = (uint16_t)(a > 65535.0 ? 65535 : lround(a));
        }
        if (depth) {
            double phi = (re == 0 && im == 0) ? 0 : atan2(im, re);
            if (phi < 0) phi += 2.0 * M_PI;
            double d = phi * ps.mm_per_rad;
            depth[i] = (uint16_t)(d > 65535.0 ? 65535 : lround(d));
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
                compute(raw->imageData, raw_samples(core, raw), width, height, phase_setup(),
                        depth ? reinterpret_cast<uint16_t*>(depth->imageData) : nullptr,
                        amp ? reinterpret_cast<uint16_t*>(amp->imageData) : nullptr);
            }
        }
    }
    raw->frameIndex = index;
    // The application's result waits before the frame leaves: a host that
    // has the frame can ask for it.
    algo_app_frame_result(core, s.app);
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
