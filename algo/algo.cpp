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

#include <initializer_list>

#include "GigE/gvcp.h"
#include "algo/algo_app.h"
#include "algo/algo_server.h"
#include "bpool.h"
#include "common/custom.h"
#include "epcore.h"
#include "log/logger.h"
#include "sensor/sensor_imx570.h"
#include "worker.h"

std::atomic<uint64> g_frameIndex{0};

namespace {

// Longest sleep of a worker with nothing to do; producers that know the
// worker wake it earlier through its event object.
constexpr int kIdleWaitMs = 5;

// Continuous-wave ToF: one turn of phase spans c / (2 f) of distance, so a
// single frequency cannot tell d from d + c / (2 f); frames of two or three
// frequencies resolve that (see unwrap below).
constexpr double kLightMmPerS = 299792458000.0;
constexpr double kDefaultFreqMHz = 100.0;
constexpr int kMaxGroups = 3;

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

// Gives worker 514 the newest frame: one waiting there is released, and so
// is this one when 514 does not run.
void hand_to_depth(epcore_t* core, ImageInfo* frame) { frame_post_latest_to(core, E_WORKER_ID_ALGO2, frame); }

void depth_process(epcore_t* core, ImageInfo* raw) { algo_depth_process(core, raw); }
void send_image(epcore_t* core, ImageInfo* image) { algo_sendImage(core, image); }

// Most frames one raw frame yields for the sender: depth, amplitude, raw.
constexpr int kMaxBatch = 3;

// The gate for up to kMaxBatch frames (null entries skipped), judged on one
// reading of the stream registers under one hold of the sender's list lock.
void send_frames(epcore_t* core, const Streams& s, ImageInfo* const* frames, int n)
{
    ImageInfo* released[kMaxBatch];
    int nrel = 0;
    // Offered while the sender cannot end under us; one that has ended or
    // is ending takes nothing.
    bool found = core && epcore_with_worker(core, E_WORKER_ID_GVSP, [&](worker_t* wk) {
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
    });
    if (!found) {
        for (int i = 0; i < n; i++) {
            if (!frames[i]) continue;
            log_error(g_logger, __FUNCTION__, __LINE__, "not find gvsp worker.");
            released[nrel++] = frames[i];
        }
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

// How a raw frame's phases are to be read: the phase planes per frequency
// group and, per group, its first plane and modulation frequency.
struct PhaseGroup {
    uint32_t plane;
    uint32_t mhz;
};
struct PhaseSetup {
    uint32_t   phases = 4;  // 3 or 4
    int        groups = 1;
    PhaseGroup group[kMaxGroups]{};
};

// The frequencies each sensor's frame carries, in the order its driver
// puts the groups. A register of 0 leaves the sensor at the frequency its
// driver then chooses.
PhaseSetup phase_setup()
{
    PhaseSetup p;
    p.group[0] = {0, (uint32_t)kDefaultFreqMHz};
    if (!g_dev_cfg) return p;
    const SensorInfo& tof = g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info;
    uint32_t a = reg_load(tof.groupAFreq), b = reg_load(tof.groupBFreq), c = reg_load(tof.groupCFreq);
    uint32_t mode = reg_load(tof.freqMode);
    auto set = [&](std::initializer_list<uint32_t> mhz, uint32_t stride) {
        p.groups = 0;
        for (uint32_t f : mhz) {
            if (!f) break; // a group without its frequency carries no usable phase
            p.group[p.groups] = {p.groups * stride, f};
            p.groups++;
        }
        if (!p.groups) p.groups = 1;
    };
    switch (reg_load(tof.sensorType)) {
    case E_IMX570:
        // Three phases per group as the running capture was set up: in the
        // 3-phase settings and in mode 6, whose frame starts with group 0 of
        // its three exposures, each at its own frequency. A phase setting
        // written meanwhile reaches the sensor (and the FPGA image) only at
        // the capture's next set-up.
        if (g_phaseOptions.load() != 0) p.phases = 3;
        if (!a) a = (uint32_t)kDefaultFreqMHz;
        if (mode == 0) set({a}, p.phases);
        else if (mode == 4 || mode == 5 || mode == 6) set({a, b, c}, p.phases);
        else set({a, b}, p.phases);
        break;
    case E_VD55H1:
        // Two groups of twelve planes: four phases at each length, four of
        // ambient light.
        set({a ? a : (uint32_t)kDefaultFreqMHz, b}, 12);
        break;
    default:
        // Gpixel: per group four phases at each length and one ambient
        // plane; the dual modes carry the second frequency.
        if (mode == 1 || mode == 3) set({a ? a : 112u, b ? b : 64u}, 9);
        else set({a ? a : (uint32_t)kDefaultFreqMHz}, 9);
        break;
    }
    return p;
}

uint32_t gcd(uint32_t a, uint32_t b)
{
    while (b) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// Millimetres of one full turn of phase at a frequency.
double turn_mm(uint32_t mhz) { return kLightMmPerS / (2.0 * mhz * 1e6); }

// The difference a - b taken to the nearest turn: -r/2 .. r/2.
double wrapped(double a, double b, double r) { return a - b - r * nearbyint((a - b) / r); }

// Per-pixel phase of the groups: their distances within one turn, and which
// of them saw modulated light.
struct Reading {
    double mm[kMaxGroups];
    bool   lit[kMaxGroups];
};

// Groups that add a distinct frequency, the lowest and highest of them, and
// the distance where all of them repeat together (the reach of the frame).
struct Unwrap {
    int    n = 0;
    int    use[kMaxGroups]{};
    double turn[kMaxGroups]{};
    int    low = 0, high = 0;
    double reach = 0;
};

Unwrap unwrap_plan(const PhaseSetup& ps)
{
    Unwrap u;
    uint32_t common = 0;
    for (int g = 0; g < ps.groups; g++) {
        bool seen = false;
        for (int k = 0; k < u.n; k++) seen = seen || ps.group[u.use[k]].mhz == ps.group[g].mhz;
        if (seen) continue;
        u.use[u.n] = g;
        u.turn[u.n] = turn_mm(ps.group[g].mhz);
        if (u.turn[u.n] > u.turn[u.low]) u.low = u.n;
        if (u.turn[u.n] < u.turn[u.high]) u.high = u.n;
        common = gcd(common, ps.group[g].mhz);
        u.n++;
    }
    u.reach = common ? turn_mm(common) : 0;
    if (u.reach > 65535.0) u.reach = 65535.0;
    return u;
}

// The distance all groups agree on best: each turn of the lowest frequency
// within the reach is a candidate, scored by how far the other groups'
// phases lie from it; the winner is then taken at the precision of the
// highest frequency. Groups without light at this pixel do not vote.
double unwrap(const Unwrap& u, const Reading& r)
{
    int lo = u.use[u.low], hi = u.use[u.high];
    if (u.n < 2 || !r.lit[lo]) return r.mm[u.use[0]];
    double best = r.mm[lo], bestCost = -1;
    for (double d = r.mm[lo]; d < u.reach; d += u.turn[u.low]) {
        double cost = 0;
        for (int k = 0; k < u.n; k++) {
            int g = u.use[k];
            if (k == u.low || !r.lit[g]) continue;
            double e = wrapped(d, r.mm[g], u.turn[k]);
            cost += e * e;
        }
        if (bestCost < 0 || cost < bestCost) best = d, bestCost = cost;
    }
    if (!r.lit[hi]) return best;
    return r.mm[hi] + u.turn[u.high] * nearbyint((best - r.mm[hi]) / u.turn[u.high]);
}

// Each group of the raw frame holds its phase planes, width x height 16-bit
// samples each, plane k taken at phase offset 2 pi k / N (fewer samples
// than that: the missing pixels read 0). Per pixel and group, with
// I = sum s_k cos(2 pi k / N) and Q = sum s_k sin(2 pi k / N), the phase
// atan2(Q, I) in 0..2 pi gives the distance within one turn; there is no
// modulated light where I = Q = 0 (depth 0). Then:
//   depth     = the groups' distances unwrapped together (one group: its own)
//   amplitude = 2 / N x sqrt(I^2 + Q^2) of the first group
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
    // A group the frame is too short for would read as darkness; only the
    // first is kept whatever the length.
    PhaseSetup use = ps;
    while (use.groups > 1 && (size_t)(use.group[use.groups - 1].plane + use.phases) * plane > n) use.groups--;
    Unwrap u = unwrap_plan(use);
    double groupTurn[kMaxGroups]{};
    for (int g = 0; g < use.groups; g++) groupTurn[g] = turn_mm(use.group[g].mhz);
    for (size_t i = 0; i < plane; i++) {
        Reading r{};
        for (int g = 0; g < use.groups; g++) {
            if (g > 0 && !depth) break;
            double re = 0, im = 0;
            size_t base = (size_t)use.group[g].plane * plane + i;
            for (uint32_t k = 0; k < use.phases; k++) {
                double v = sample(data, n, base + k * plane);
                re += v * cs[k];
                im += v * sn[k];
            }
            if (g == 0 && amp) {
                double a = 2.0 / use.phases * sqrt(re * re + im * im);
                amp[i] = (uint16_t)(a > 65535.0 ? 65535 : lround(a));
            }
            r.lit[g] = re != 0 || im != 0;
            double phi = r.lit[g] ? atan2(im, re) : 0;
            if (phi < 0) phi += 2.0 * M_PI;
            r.mm[g] = phi / (2.0 * M_PI) * groupTurn[g];
        }
        if (depth) {
            double d = r.lit[0] ? unwrap(u, r) : 0;
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
