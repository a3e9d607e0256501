// Stream control: starting and stopping the capture workers and emptying
// the processing and sender queues on a close; the ToF and colour image
// sizes after a register change; and the sensor operation behind each
// register write of the ToF and colour pages.
#include "common/stream_ctrl.h"

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "GigE/gvcp.h"
#include "GigE/gvsp.h"
#include "algo/algo.h"
#include "common/custom.h"
#include "common/custom_internal.h"
#include "bpool.h"
#include "dlist.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "main/main.h"
#include "sensor/sensor.h"
#include "sensor/sensor_enc.h"
#include "sensor/sensor_fh8320.h"
#include "sensor/sensor_imx570.h"
#include "sensor/sensor_raw.h"
#include "sensor/sensor_rgb.h"
#include "sensor/sensor_sc2210.h"
#include "sensor/sensor_vd55h1.h"
#include "worker.h"

using namespace regspace;

namespace {

// Poll period while a stopped worker winds down.
constexpr int kStopPollMs = 1;
// A capture worker is given this long to end on a close; one that does not
// is logged and left to end by itself (its quit flag is set), and no second
// worker is started under its id meanwhile.
constexpr int kWorkerStopWaitMs = 3000;
// Longest wait for the stream to reach the latest request: a close, bounded
// by its waits, then an open.
constexpr int kSettleWaitMs = 3 * kWorkerStopWaitMs + 2000;
constexpr uint32 kAcquisitionStartStop = 0x10000000u;
// The encoder is given this long to end before its queue is emptied from
// here; nothing feeds it once both capture workers are gone.
constexpr int kEncStopWaitMs = 1000;
// Processing is given this long to finish the raw frames the capture left.
constexpr int kRawBackWaitMs = 1000;

// Opening and closing, by whichever thread brings the stream to its
// target, and the restart of a capture worker: one at a time, so two opens
// cannot both create the capture workers.
std::mutex s_streamMutex;
std::atomic<uint32> s_startCnt{0};

// Frequencies handed to set_all_freq: first, second, third.
std::atomic<uint32> s_freqTempList[3];

// ---- Registers (zero before the register space exists) ----

uint32 cpu_type() { return records_ready() ? get(run().cpuId) : 0; }
uint32 tof_kind() { return records_ready() ? get(tof().sensorType) : 0; }
uint32 rgb_kind() { return records_ready() ? get(rgb().sensorType) : 0; }
uint32 enc_type() { return records_ready() ? get(common().cameraRgbEncType) : 0; }
uint32 work_mode() { return records_ready() ? get(common().workMode) : 0; }

// ---- Workers ----

std::atomic<void (*)(epcore_t*, uint64_t)> s_createHook{nullptr};

void create_worker(epcore_t* core, uint64_t id, void* (*fn)(void*))
{
    if (auto hook = s_createHook.load()) hook(core, id);
    if (epcore_worker_find(core, id)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "worker %d still running, not started again", (int)id);
        return;
    }
    if (worker_create(core, id, fn) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "create worker %d fail.", (int)id);
}

// Polls `done` every kStopPollMs for up to `ms`; its last answer.
template <typename Done>
bool poll_until(int ms, Done done)
{
    for (int waited = 0; waited < ms; waited += kStopPollMs) {
        if (done()) return true;
        wait_ms(kStopPollMs);
    }
    return done();
}

bool wait_gone_bounded(epcore_t* core, uint64_t id, int ms)
{
    return poll_until(ms, [&] { return epcore_worker_find(core, id) == nullptr; });
}

// Moves every item of `list` onto `out` under `cs`.
void take_all(CRITICAL_SECTION* cs, dlist_t* list, dlist_t* out)
{
    if (!list) return;
    EnterCriticalSection(cs);
    lt_tail_combine_nodel(out, list);
    LeaveCriticalSection(cs);
}

// The queues of a processing worker: data list, then event list.
void clean_worker_queues(epcore_t* core, uint64_t id)
{
    dlist_t frames{};
    epcore_with_worker(core, id, [&](worker_t* wk) {
        take_all(&wk->datalistCS, wk->data_list, &frames);
        take_all(&wk->ioeventlistCS, wk->ioevent_list, &frames);
    });
    frames_release(core, &frames);
}

// Polls the worker table until no worker runs under the key, bounded.
void wait_gone(epcore_t* core, uint64_t id)
{
    if (!wait_gone_bounded(core, id, kWorkerStopWaitMs))
        log_error(g_logger, __FUNCTION__, __LINE__, "worker %d not ended in %d ms", (int)id, kWorkerStopWaitMs);
}

// Waits, bounded, until every raw frame is back in its pool.
bool wait_raw_back(epcore_t* core, int ms)
{
    return !core->raw || poll_until(ms, [&] { return bpool_fetched_num(core->raw) <= 0; });
}

// The sender's queue is emptied here; its resend cache and requests go on
// its own thread before it sends anything queued later, so nothing is
// waited for under the stream lock.
void clean_sender(epcore_t* core) { GVSP_StreamFlush(core, 0); }

// ---- Start and stop ----

// The capture workers of the board's sensor kinds, for a host's start and
// for a stream kept on at boot alike.
void start_capture(epcore_t* core)
{
    uint32 cpu = cpu_type();
    uint32 rgbKind = rgb_kind();
    // The encoder first: the SC2210 and FH8320 tasks look it up as they set
    // up, and a worker is registered as it is created, so they find it
    // however their threads are scheduled.
    if (enc_type() != 0) create_worker(core, E_WORKER_ID_ENC, sensor_enc_task);
    if (cpu == E_CPU_RK3588) {
        if (rgbKind == E_SMARTSENS_SC130GS) create_worker(core, E_WORKER_ID_RGB_SENSOR, sensor_rgb_task);
    } else if (rgbKind == E_SMARTSENS_SC2210 && cpu == E_CPU_RK3576) {
        create_worker(core, E_WORKER_ID_RGB_SENSOR, sensor_sc2210_task);
    }
    void* (*tofTask)(void*) = nullptr;
    switch (tof_kind()) {
    case E_GPIXEL_0503: tofTask = sensor_tof_task; break;
    case E_VD55H1:      tofTask = sensor_vd55h1_task; break;
    case E_IMX570:      tofTask = sensor_imx570_task; break;
    case E_FH8320:      tofTask = sensor_fh8320_task; break;
    default:            break;
    }
    if (tofTask) create_worker(core, E_WORKER_ID_TOF_SENSOR, tofTask);
}

std::atomic<void (*)(epcore_t*, int)> s_changeHook{nullptr};

void open_stream(epcore_t* core)
{
    if (auto hook = s_changeHook.load()) hook(core, 1);
    log_info(g_logger, __FUNCTION__, __LINE__, "open stream");
    start_capture(core);
    core->streamon.store(1);
}

void close_stream(epcore_t* core)
{
    if (auto hook = s_changeHook.load()) hook(core, 0);
    g_frameIndex.store(0);
    log_info(g_logger, __FUNCTION__, __LINE__, "close stream");
    GVSP_StreamCloseBegin(core);
    worker_halt(E_WORKER_ID_RGB_SENSOR);
    wait_ms(1);
    worker_halt(E_WORKER_ID_TOF_SENSOR);
    wait_ms(1);
    // Stopped whenever it runs: an encoder left behind because the encoding
    // register changed meanwhile would be doubled by the next start.
    bool encoder = epcore_worker_find(core, E_WORKER_ID_ENC) != nullptr;
    if (encoder) worker_halt(E_WORKER_ID_ENC);

    log_info(g_logger, __FUNCTION__, __LINE__, "stop rgb stream");
    wait_gone(core, E_WORKER_ID_RGB_SENSOR);
    log_info(g_logger, __FUNCTION__, __LINE__, "stop tof stream");
    wait_gone(core, E_WORKER_ID_TOF_SENSOR);
    // The encoder's queue holds pool frames: it releases them as it ends;
    // one that does not end in time has them taken back here.
    if (encoder && !wait_gone_bounded(core, E_WORKER_ID_ENC, kEncStopWaitMs)) {
        dlist_t frames{};
        epcore_with_worker(core, E_WORKER_ID_ENC,
                           [&](worker_t* wk) { take_all(&wk->datalistCS, wk->data_list, &frames); });
        int n = frames_release(core, &frames);
        log_error(g_logger, __FUNCTION__, __LINE__, "enc worker still running, %d frames released", n);
    }

    log_info(g_logger, __FUNCTION__, __LINE__, "clean cache");
    clean_worker_queues(core, E_WORKER_ID_ALGO);
    clean_worker_queues(core, E_WORKER_ID_ALGO2);
    clean_sender(core);
    // A raw frame a processing worker was still working on comes out as
    // frames for the sender, which drops them while silent; the next open
    // must not end that silence before they came.
    if (!wait_raw_back(core, kRawBackWaitMs))
        log_error(g_logger, __FUNCTION__, __LINE__, "raw frames still in use %d ms after the capture ended",
                  kRawBackWaitMs);
    core->streamon.store(0);
    log_info(g_logger, __FUNCTION__, __LINE__, "close stream success");
}

// A stop closes the stream when no start is still counted after it and no
// work mode keeps the stream on.
bool stop_closes(uint32 countAfter, uint32 mode) { return countAfter == 0 && mode == 0; }

// ---- Image sizes ----

struct Size {
    uint32 w, h;
};

void adapt_sizes(bool init)
{
    if (!records_ready()) return;
    Size tofLib{0, 0};
    Size rgbLib{1280, 960};
    if (init) algo_TavoPlus_GetSizeInit(&tofLib.w, &tofLib.h, 0);
    else algo_TavoPlus_GetSize(&tofLib.w, &tofLib.h, 0);
    algo_TavoPlus_GetSize(&rgbLib.w, &rgbLib.h, 1);

    SensorInfo& t = tof();
    SensorInfo& c = rgb();
    Size tofSize{get(t.width), get(t.heigth)};
    uint32 cameraType = get(run().cameraType);
    if (get(run().enableDepthCalib) == 0) {
        tofSize = tofLib;
    } else {
        uint32 mode = get(t.freqMode);
        switch (mode) {
        case 0: tofSize = {640, 480}; break;
        case 1:
            if (init) tofSize = cameraType == E_CAMERA_CalvoUltraGpixel0503 ? Size{640, 480} : Size{1280, 960};
            else tofSize = {640, 960};
            break;
        case 2: tofSize = {1280, 480}; break;
        case 3:
            if (!init && cameraType == E_CAMERA_CalvoUltraGpixel0503) tofSize = {640, 480};
            else tofSize = {1280, 960};
            break;
        default: break;
        }
        uint32 kind = get(t.sensorType);
        if (kind == E_VD55H1) {
            tofSize = {1344, 1608};
        } else if (kind == E_IMX570) {
            bool small = cameraType == E_CAMERA_CalvoUltraIMX570 || cameraType == E_CAMERA_CalvoUltraV1_1;
            tofSize = small ? Size{320, 240} : Size{640, 480};
            switch (mode) {
            case 1: tofSize.h *= 2; break;
            case 2: tofSize.w *= 2; break;
            case 3: tofSize.w *= 2, tofSize.h *= 2; break;
            case 5: tofSize.h *= 3; break;
            case 6: tofSize.w *= 2, tofSize.h *= 3; break;
            default: break;
            }
        }
    }

    Size rgbSize{get(c.width), get(c.heigth)};
    // The ISP colour path (RK3568, or feature bits 4..6 on an RK3588) is sized
    // by colour kind rather than by the library.
    Size byKind = get(c.sensorType) == E_SMARTSENS_SC230AI ? Size{1920, 1080} : Size{1280, 960};
    switch (cpu_type()) {
    case E_CPU_RK3588:
        rgbSize = rgbLib;
        if ((get(common().configFeatureCapability) & 0x70u) == 0x70u) rgbSize = byKind;
        break;
    case E_CPU_RK3576: rgbSize = rgbLib; break;
    case E_CPU_RK3568: rgbSize = byKind; break;
    default: break;
    }

    set(t.width, tofSize.w);
    set(t.heigth, tofSize.h);
    set(c.width, rgbSize.w);
    set(c.heigth, rgbSize.h);
    log_info(g_logger, __FUNCTION__, __LINE__,
             "tofsensorInfo->width:%d tofsensorInfo->heigth:%d rgbsensorInfo->width:%d rgbsensorInfo->heigth:%d",
             (int)tofSize.w, (int)tofSize.h, (int)rgbSize.w, (int)rgbSize.h);
}

// ---- Sensor operations ----

using Setter = int (*V4L2SensorInfo::*)(iodev_t*, uint32_t);

struct SetterRow {
    uint32 address;
    Setter op;
};

// Colour-page registers whose write is one setter call with the value.
constexpr SetterRow kRgbSetters[] = {
    {0x1000102C, &V4L2SensorInfo::set_fps},
    {0x1000103C, &V4L2SensorInfo::set_hfilp},
    {0x10001040, &V4L2SensorInfo::set_vfilp},
    {0x10001044, &V4L2SensorInfo::set_gain},
    {0x10001050, &V4L2SensorInfo::set_integration_f0},
    {0x1000105C, &V4L2SensorInfo::set_integration_f1},
    {0x100010D8, &V4L2SensorInfo::exposure_mode},
    {0x100010E0, &V4L2SensorInfo::vld_enable},
};

// ToF-page registers of the same kind.
constexpr SetterRow kTofSetters[] = {
    {0x1000203C, &V4L2SensorInfo::set_hfilp},
    {0x10002040, &V4L2SensorInfo::set_vfilp},
    {0x10002044, &V4L2SensorInfo::set_gain},
    {0x100020E0, &V4L2SensorInfo::vld_enable},
    {0x100020E4, &V4L2SensorInfo::start_stop_stream},
};

template <size_t N>
bool call_setter(const SetterRow (&table)[N], V4L2SensorInfo* ops, iodev_t* dev, uint32 address, uint32 value)
{
    for (const SetterRow& row : table) {
        if (row.address != address) continue;
        if (auto fn = ops->*row.op) fn(dev, value);
        return true;
    }
    return false;
}

// The three frequencies of the multi-frequency modes. The first and second
// follow the ToF registers, which hold every completed write: the IMX570
// fills no per-frequency operation, and parameter groups change the
// registers directly, so a remembered entry could revert them.
int set_all_freq(V4L2SensorInfo* ops, iodev_t* dev, uint32 value)
{
    if (!ops->set_all_freq) return 0;
    SensorInfo& t = tof();
    uint32_t list[3] = {get(t.groupAFreq), get(t.groupBFreq), value != 0 ? value : get(t.groupCFreq)};
    for (int i = 0; i < 3; i++) s_freqTempList[i].store(list[i]);
    int rc = ops->set_all_freq(dev, list);
    if ((rc & 0xFFFF) == 0) return 2;
    set(t.groupCFreq, list[2]);
    set(t.groupAFreq, list[0]);
    set(t.groupBFreq, list[1]);
    return 0;
}

} // namespace

void Custom_AdaptWidthHeigth(void) { adapt_sizes(false); }

void Custom_AdaptWidthHeigthInit(void) { adapt_sizes(true); }

int Custom_RgbControl(uint32 address, uint32* value)
{
    iodev_t* dev = nullptr;
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* ops = value ? sensor(E_DEVICE_RGB, &dev) : nullptr;
    if (!ops) return 0;
    call_setter(kRgbSetters, ops, dev, address, *value);
    return 0;
}

int Custom_TofControl(uint32 address, uint32* value)
{
    iodev_t* dev = nullptr;
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* ops = value ? sensor(E_DEVICE_TOF, &dev) : nullptr;
    if (!ops) return 0;
    uint32 v = *value;
    if (call_setter(kTofSetters, ops, dev, address, v)) return 0;
    uint32 kind = tof_kind();
    switch (address) {
    case 0x1000202C:
        if (ops->set_fps) {
            g_tof_fps.store(v);
            ops->set_fps(dev, v);
        }
        break;
    case 0x1000206C:
        if (ops->set_first_freq) {
            ops->set_first_freq(dev, v);
            s_freqTempList[0].store(v);
            log_info(g_logger, __FUNCTION__, __LINE__, "freqTempList[0]:%d", (int)v);
        }
        break;
    case 0x10002070:
        if (ops->set_second_freq) {
            ops->set_second_freq(dev, v);
            s_freqTempList[1].store(v);
        }
        break;
    case 0x10002050:
        return records_ready() ? set_all_freq(ops, dev, v) : 0;
    case 0x1000209C:
        if (!ops->set_n_inte_length_f0) break;
        if (kind == E_IMX570) {
            set(tof().nInteA, v);
            ops->set_n_inte_length_f0(dev, v);
        } else if (kind == E_VD55H1) {
            ops->set_n_inte_length_f0(dev, v);
        }
        break;
    case 0x100020A0:
        if (kind == E_IMX570 && ops->set_n_inte_length_f2) ops->set_n_inte_length_f2(dev, v);
        else if (kind == E_VD55H1 && ops->set_n_inte_length_f1) ops->set_n_inte_length_f1(dev, v);
        break;
    default: break;
    }
    return 0;
}

int Custom_getTofStatus(uint32 address, uint32* value)
{
    iodev_t* dev = nullptr;
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* ops = value ? sensor(E_DEVICE_TOF, &dev) : nullptr;
    if (!ops) return 0;
    if (address == 0x1000203C && ops->get_hfilp) ops->get_hfilp(dev, value);
    else if (address == 0x10002040 && ops->get_vfilp) ops->get_vfilp(dev, value);
    return 0;
}

uint32 stream_start_count(void) { return s_startCnt.load(); }

void stream_ctrl_set_create_hook(void (*hook)(epcore_t* core, uint64_t id)) { s_createHook.store(hook); }

void stream_ctrl_set_change_hook(void (*hook)(epcore_t* core, int opening)) { s_changeHook.store(hook); }

// ---- Requests and the stream brought to them ----
//
// A start or stop is counted at once against the state the stream is
// headed for (the target), in the order requests arrive; opening and
// closing the capture then only bring the stream to the target. So a burst
// of requests leaves nothing behind it but the latest: at most one close
// and one open are ever outstanding, whatever the rate.

namespace {

enum class Op { None, Opening, Closing };

std::mutex s_reqMutex;             // the target, the wanting list and the marks
std::condition_variable s_reqCv;   // the target changed, or a bringer is done
bool s_target = false;             // the stream is to be on
int s_bringers = 0;                // threads bringing the stream to the target
Op s_op = Op::None;                // what the bringer under the stream lock does
// A stop counted against a stream that was fully on: that stream closes
// even if a start follows before the close begins, so a host that takes
// over, or restarts the capture to apply a setting, gets a fresh stream.
bool s_closeOwed = false;
std::chrono::steady_clock::time_point s_openNotBefore{};
thread_local bool t_onCloser = false;

// The requesters whose start is counted, each once: the hosts holding
// control and the board, so a handful at most.
std::vector<StreamRequester> s_wanting;

// Whose this thread's starts and stops are; `leaving`: the stop of a host
// that left, whose start went as it left.
struct Requester {
    StreamRequester who = STREAM_BOARD;
    bool leaving = false;
    bool everyone = false;  // the orderly stop: every start goes
};
thread_local Requester t_requester;

// This thread's requests are `r`'s for the scope.
struct AsRequester {
    Requester outer = t_requester;
    explicit AsRequester(Requester r) { t_requester = r; }
    ~AsRequester() { t_requester = outer; }
    AsRequester(const AsRequester&) = delete;
    AsRequester& operator=(const AsRequester&) = delete;
};

// A host's request whose close waits on the closer thread instead of the
// caller; `marked`: the request silenced the sender.
struct Handover {
    bool marked = false;
};
thread_local Handover* t_handover = nullptr;

uint32 host_limit()
{
    uint32 limit = g_permit_conn_user_count.load();
    return limit ? limit : 1;
}

// Under s_reqMutex, as the rest below.
bool wants(StreamRequester who) { return std::find(s_wanting.begin(), s_wanting.end(), who) != s_wanting.end(); }

bool withdraw(StreamRequester who) { return std::erase(s_wanting, who) != 0; }

uint32 publish_count()
{
    uint32 limit = host_limit();
    uint32 n = (uint32)s_wanting.size();
    s_startCnt.store(n < limit ? n : limit);
    return s_startCnt.load();
}

// Counts `t_requester`'s start.
void count_start()
{
    StreamRequester who = t_requester.who;
    // One host at a time: the one start is whoever made it.
    if (host_limit() <= 1) s_wanting.clear();
    if (!wants(who)) s_wanting.push_back(who);
    publish_count();
}

// Takes away what `t_requester`'s stop takes: its own start, else the
// board's (a host may stop a stream the board started), else nothing. The
// count after it.
uint32 count_stop()
{
    const Requester& r = t_requester;
    if (r.everyone || host_limit() <= 1) s_wanting.clear();
    else if (!r.leaving && !withdraw(r.who)) withdraw(STREAM_BOARD);
    return publish_count();
}

// Counts one request; under s_reqMutex. True when it is a stop that closes
// the stream: the sender is silenced here, so nothing of the stream goes
// out after the stop is answered, however long the close takes to begin.
bool count_request(epcore_t* core, uint32 value)
{
    // Nothing under way: the stream is what the target is.
    if (s_bringers == 0) {
        s_target = core->streamon.load() != 0;
        s_closeOwed = false;
    }
    if (value == 1) {
        count_start();
        if (!s_target) {
            s_target = true;
            // A stop's silence is undone where the stream stays on after all;
            // a close already begun, or owed, is followed by an open, which
            // undoes it.
            if (!s_closeOwed && (s_op == Op::Opening || (s_op == Op::None && core->streamon.load())))
                GVSP_StreamCloseCancel(core);
            s_reqCv.notify_all();
        }
        return false;
    }
    if (!s_target) return false;
    uint32 count = count_stop();
    uint32 mode = work_mode();
    if (stop_closes(count, mode)) {
        if (s_op == Op::None && core->streamon.load()) s_closeOwed = true;
        s_target = false;
        GVSP_StreamCloseBegin(core);
        s_reqCv.notify_all();
        return true;
    }
    if (mode != 0) {
        log_info(g_logger, __FUNCTION__, __LINE__, "work mode %d", (int)mode);
        log_info(g_logger, __FUNCTION__, __LINE__, "do not stop stream");
    } else {
        log_info(g_logger, __FUNCTION__, __LINE__, "startCnt:%d", (int)count);
    }
    return false;
}

// Opens or closes until the stream is at the target; with s_streamMutex
// held and this thread counted in s_bringers, which it leaves in the same
// hold of s_reqMutex that finds the target met, so a request that finds a
// bringer never goes unserved.
void bring_to_target(epcore_t* core)
{
    std::unique_lock<std::mutex> req(s_reqMutex);
    for (;;) {
        bool on = core->streamon.load() != 0;
        if (!on) s_closeOwed = false;
        // Nothing opens once the core is stopping.
        if ((s_target == on && !s_closeOwed) || (s_target && !on && core->quit.load())) break;
        if (s_target && !on) {
            // Capture needs its gap after the request before a start; a stop
            // meanwhile leaves nothing to open.
            while (s_target && std::chrono::steady_clock::now() < s_openNotBefore)
                s_reqCv.wait_until(req, s_openNotBefore);
            if (!s_target) continue;
            s_op = Op::Opening;
            // The sender has dropped every frame since the last close; this
            // stream's frames go out.
            GVSP_StreamCloseCancel(core);
            req.unlock();
            open_stream(core);
            req.lock();
        } else {
            s_op = Op::Closing;
            s_closeOwed = false;
            req.unlock();
            close_stream(core);
            req.lock();
        }
        s_op = Op::None;
    }
    s_bringers--;
    s_reqCv.notify_all();
}

void bring_here(epcore_t* core)
{
    std::lock_guard<std::mutex> stream(s_streamMutex);
    bring_to_target(core);
}

void* closer_main(void* arg)
{
    auto* core = static_cast<epcore_t*>(arg);
    set_task_name("closer");
    t_onCloser = true;
    bring_here(core);
    epcore_thread_leave(core);
    return nullptr;
}

// Starts the closer when the stream is off its target and no thread is
// already bringing it there; under s_reqMutex. False when no thread could
// be made: the caller brings the stream itself, counted in.
bool start_closer(epcore_t* core)
{
    if (s_bringers != 0 || (s_target == (core->streamon.load() != 0) && !s_closeOwed)) return true;
    s_bringers++;
    epcore_thread_enter(core);
    if (thread_start_detached(closer_main, core) == 0) return true;
    epcore_thread_leave(core);
    return false;
}

} // namespace

int Custom_StartOrStopStream(uint32 value)
{
    epcore_t* core = get_pcore();
    if (!core) return 0;
    bool marked = false;
    {
        std::lock_guard<std::mutex> req(s_reqMutex);
        marked = count_request(core, value);
        if (Handover* h = t_handover) {
            h->marked = h->marked || marked;
            if (start_closer(core)) return 0;
            // Without a thread the request still has to happen: here, late
            // rather than never.
            log_error(g_logger, __FUNCTION__, __LINE__, "no closer thread, stream brought here");
        } else {
            s_bringers++;
        }
    }
    bring_here(core);
    // The sender's part of a close, waited for outside the stream lock.
    if (marked && !t_handover) GVSP_StreamFlushWait(core, GVSP_FLUSH_WAIT_MS);
    return 0;
}

void stream_ctrl_start_at_boot(epcore_t* core)
{
    if (!core) return;
    {
        std::lock_guard<std::mutex> req(s_reqMutex);
        // The board's start, which a host's stop may take away once workMode
        // no longer keeps the stream on.
        if (!wants(STREAM_BOARD)) s_wanting.push_back(STREAM_BOARD);
        publish_count();
        s_target = true;
        s_bringers++;
    }
    bring_here(core);
}

int stream_ctrl_restart_worker(epcore_t* core, uint64_t id, void* (*fn)(void*))
{
    if (!core || !fn) return 0;
    std::lock_guard<std::mutex> hold(s_streamMutex);
    {
        // Not for a stream a stop has already asked to close.
        std::lock_guard<std::mutex> req(s_reqMutex);
        if (s_bringers != 0 && !s_target) return 0;
    }
    if (!core->streamon.load() || core->quit.load() || epcore_worker_find(core, id)) return 0;
    return worker_create(core, id, fn) == 0 ? 1 : 0;
}

int stream_ctrl_handing_over(void) { return t_handover != nullptr; }

void stream_ctrl_hold_open(uint32 ms)
{
    std::lock_guard<std::mutex> req(s_reqMutex);
    auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (at > s_openNotBefore) s_openNotBefore = at;
}

namespace {

// The write of `address` := `value` through `write`, its open or close left
// to the closer thread; true when it silenced the sender.
bool write_handed_over(RegWriteFunc write, uint32 address, uint32 value, int* rc)
{
    Handover h;
    Handover* outer = t_handover;
    t_handover = &h;
    uint32 v = value;
    int r = (write ? write : Custom_RegWrite)(address, &v);
    t_handover = outer;
    if (rc) *rc = r;
    return h.marked;
}

} // namespace

StreamRequester stream_ctrl_host(uint32 addr, uint16 port)
{
    // Bit 48 set: never the board's 0, whatever the address and port.
    return (StreamRequester)1 << 48 | (StreamRequester)addr << 16 | port;
}

int stream_ctrl_host_write(RegWriteFunc write, StreamRequester who, uint32 address, uint32 value)
{
    AsRequester as({who});
    int rc = 0;
    // No packet of the stopped stream follows the answer, as after a close
    // in place: the sender ends the block it is sending first.
    if (write_handed_over(write, address, value, &rc)) GVSP_StreamFlush(get_pcore(), GVSP_FLUSH_WAIT_MS);
    return rc;
}

void stream_ctrl_host_left(RegWriteFunc write, StreamRequester who, int last, int wait)
{
    bool stop = false;
    {
        std::lock_guard<std::mutex> req(s_reqMutex);
        bool had = withdraw(who);
        if (last) s_wanting.clear();
        publish_count();
        // Written as a stop only where it stops the stream, so the register
        // reads back what a host still streaming set. The last host's leave
        // stops as ever.
        stop = last || (had && s_wanting.empty() && work_mode() == 0);
    }
    if (!stop) return;
    AsRequester as({who, true});
    if (write_handed_over(write, kAcquisitionStartStop, 0, nullptr) && wait)
        GVSP_StreamFlush(get_pcore(), GVSP_FLUSH_WAIT_MS);
}

void stream_ctrl_stop_all(void)
{
    AsRequester as({STREAM_BOARD, false, true});
    Custom_StartOrStopStream(0);
}

void stream_ctrl_settle(void)
{
    if (t_onCloser) return;
    std::unique_lock<std::mutex> req(s_reqMutex);
    if (!s_reqCv.wait_for(req, std::chrono::milliseconds(kSettleWaitMs), [] { return s_bringers == 0; }))
        log_error(g_logger, __FUNCTION__, __LINE__, "stream not brought to its last request in %d ms", kSettleWaitMs);
}

void stream_ctrl_reset(void)
{
    std::lock_guard<std::mutex> hold(s_streamMutex);
    std::lock_guard<std::mutex> req(s_reqMutex);
    s_startCnt.store(0);
    s_wanting.clear();
    s_target = false;
    s_openNotBefore = {};
    for (auto& f : s_freqTempList) f.store(0);
}
