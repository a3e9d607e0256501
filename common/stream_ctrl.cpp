// Stream control: starting and stopping the capture workers and emptying
// the processing and sender queues on a close; the ToF and colour image
// sizes after a register change; and the sensor operation behind each
// register write of the ToF and colour pages.
#include "common/stream_ctrl.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "GigE/gvcp.h"
#include "GigE/gvsp.h"
#include "algo/algo.h"
#include "common/custom.h"
#include "common/custom_internal.h"
#include "dlist.h"
#include "epcore.h"
#include "hashtab.h"
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
// Longest wait of a start or stop for the stops handed over before it; each
// of those is bounded by the waits of a close.
constexpr int kSettleWaitMs = 3 * kWorkerStopWaitMs + 2000;
constexpr uint32 kAcquisitionStartStop = 0x10000000u;
// The encoder is given this long to end before its queue is emptied from
// here; nothing feeds it once both capture workers are gone.
constexpr int kEncStopWaitMs = 1000;

// Start and stop come from the GVCP, UDP and Modbus workers without
// serialisation; one at a time, so two starts cannot both create the
// capture workers.
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

bool wait_gone_bounded(epcore_t* core, uint64_t id, int ms)
{
    for (int waited = 0; waited < ms; waited += kStopPollMs) {
        if (!epcore_worker_find(core, id)) return true;
        wait_ms(kStopPollMs);
    }
    return epcore_worker_find(core, id) == nullptr;
}

// Moves every item of `list` onto `out` under `cs`.
void take_all(CRITICAL_SECTION* cs, dlist_t* list, dlist_t* out)
{
    if (!list) return;
    EnterCriticalSection(cs);
    lt_tail_combine_nodel(out, list);
    LeaveCriticalSection(cs);
}

// Runs `fn` on the worker registered under `id`, holding the registry lock
// so that a worker ending meanwhile cannot free its record under us.
template <typename Fn>
void with_worker(epcore_t* core, uint64_t id, Fn fn)
{
    EnterCriticalSection(&core->workerlistCS);
    if (auto* wk = static_cast<worker_t*>(ht_get(core->worker_tab, &id))) fn(wk);
    LeaveCriticalSection(&core->workerlistCS);
}

// The queues of a processing worker: data list, then event list.
void clean_worker_queues(epcore_t* core, uint64_t id)
{
    dlist_t frames{};
    with_worker(core, id, [&](worker_t* wk) {
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

void open_stream(epcore_t* core)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "open stream");
    // The sender has dropped every frame since the last close; this
    // stream's frames go out.
    GVSP_StreamCloseCancel(core);
    start_capture(core);
    core->streamon.store(1);
}

void close_stream(epcore_t* core)
{
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
        with_worker(core, E_WORKER_ID_ENC,
                    [&](worker_t* wk) { take_all(&wk->datalistCS, wk->data_list, &frames); });
        int n = frames_release(core, &frames);
        log_error(g_logger, __FUNCTION__, __LINE__, "enc worker still running, %d frames released", n);
    }

    log_info(g_logger, __FUNCTION__, __LINE__, "clean cache");
    clean_worker_queues(core, E_WORKER_ID_ALGO);
    clean_worker_queues(core, E_WORKER_ID_ALGO2);
    clean_sender(core);
    core->streamon.store(0);
    log_info(g_logger, __FUNCTION__, __LINE__, "close stream success");
}

void start_stream(epcore_t* core)
{
    if (!core->streamon.load()) open_stream(core);
    uint32 limit = g_permit_conn_user_count.load();
    uint32 next = s_startCnt.load() + 1;
    s_startCnt.store(next < limit ? next : limit);
}

// The start count after `stops` stops. It stops at 0: a stream started at
// boot (workMode) was never counted, and its first stop must not wrap the
// count round.
uint32 count_after(uint32 count, uint32 stops) { return count > stops ? count - stops : 0; }

// A stop closes the stream when no start is still counted after it and no
// work mode keeps the stream on.
bool stop_closes(uint32 countAfter, uint32 mode) { return countAfter == 0 && mode == 0; }

void stop_stream(epcore_t* core)
{
    if (!core->streamon.load()) return;
    uint32 count = count_after(s_startCnt.load(), 1);
    s_startCnt.store(count);
    uint32 mode = work_mode();
    if (stop_closes(count, mode)) {
        close_stream(core);
    } else if (mode != 0) {
        log_info(g_logger, __FUNCTION__, __LINE__, "work mode %d", (int)mode);
        log_info(g_logger, __FUNCTION__, __LINE__, "do not stop stream");
    } else {
        log_info(g_logger, __FUNCTION__, __LINE__, "startCnt:%d", (int)count);
    }
}

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

int Custom_StartOrStopStream(uint32 value)
{
    epcore_t* core = get_pcore();
    if (!core) return 0;
    stream_ctrl_settle();
    bool closing = false;
    {
        std::lock_guard<std::mutex> hold(s_streamMutex);
        if (value == 1) {
            start_stream(core);
        } else {
            closing = core->streamon.load();
            stop_stream(core);
            closing = closing && !core->streamon.load();
        }
    }
    // The sender's part of a close, waited for outside the stream lock.
    if (closing) GVSP_StreamFlushWait(core, GVSP_FLUSH_WAIT_MS);
    return 0;
}

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

void stream_ctrl_start_at_boot(epcore_t* core)
{
    if (!core) return;
    std::lock_guard<std::mutex> hold(s_streamMutex);
    if (!core->streamon.load()) open_stream(core);
}

int stream_ctrl_restart_worker(epcore_t* core, uint64_t id, void* (*fn)(void*))
{
    if (!core || !fn) return 0;
    std::lock_guard<std::mutex> hold(s_streamMutex);
    if (!core->streamon.load() || core->quit.load() || epcore_worker_find(core, id)) return 0;
    return worker_create(core, id, fn) == 0 ? 1 : 0;
}

uint32 stream_start_count(void) { return s_startCnt.load(); }

void stream_ctrl_set_create_hook(void (*hook)(epcore_t* core, uint64_t id)) { s_createHook.store(hook); }

// ---- Stops handed over ----

namespace {

// Stop writes waiting for the closer thread (and host starts queued behind
// them), and how many are queued or running; the closer exists only while
// there is work.
struct HandedStop {
    RegWriteFunc write;
    uint32 value;  // the value written: 1 for a start, else a stop
    bool marked;   // the sender was marked closing when it was handed over
};
std::mutex s_handoffMutex;
std::condition_variable s_handoffCv;
std::deque<HandedStop> s_handoffQueue;
int s_handoffBusy = 0;
int s_handoffStarts = 0;  // of those, the starts
bool s_closerRunning = false;
thread_local bool t_onCloser = false;

// Whether a stop handed over behind `ahead` others will close the stream;
// starts wait for handed stops, so the answer holds unless a start was
// already under way.
bool stop_would_close(epcore_t* core, int ahead)
{
    return core->streamon.load() && stop_closes(count_after(s_startCnt.load(), (uint32)ahead + 1), work_mode());
}

void run_stop(epcore_t* core, const HandedStop& stop)
{
    uint32 v = stop.value;
    stop.write(kAcquisitionStartStop, &v);
    if (!stop.marked || !core) return;
    // The stop left the stream on after all: its frames flow again. Under
    // the stream lock, so no close under way has its own mark undone.
    std::lock_guard<std::mutex> hold(s_streamMutex);
    if (core->streamon.load()) GVSP_StreamCloseCancel(core);
}

void* closer_main(void* arg)
{
    auto* core = static_cast<epcore_t*>(arg);
    set_task_name("closer");
    t_onCloser = true;
    for (;;) {
        HandedStop stop{};
        {
            std::lock_guard<std::mutex> hold(s_handoffMutex);
            if (s_handoffQueue.empty()) {
                s_closerRunning = false;
                break;
            }
            stop = s_handoffQueue.front();
            s_handoffQueue.pop_front();
        }
        run_stop(core, stop);
        {
            std::lock_guard<std::mutex> hold(s_handoffMutex);
            s_handoffBusy--;
            if (stop.value == 1) s_handoffStarts--;
        }
        s_handoffCv.notify_all();
    }
    epcore_thread_leave(core);
    return nullptr;
}

// Hands a stop (`value`, never 1) to the closer thread; true when it marked
// the sender closing (the stream will close).
bool hand_over_stop(RegWriteFunc write, uint32 value)
{
    epcore_t* core = get_pcore();
    if (!write) write = Custom_RegWrite;
    if (!core) {
        run_stop(nullptr, {write, value, false});  // no event core, no pump to keep going
        return false;
    }
    // Read back and saved as written from now on, as a stop done in place.
    if (records_ready()) set(common().acquisitionStartStop, value);
    HandedStop stop{write, value, false};
    {
        std::lock_guard<std::mutex> hold(s_handoffMutex);
        // The sender stops sending now, not when the closer gets to run:
        // control is already free, and a host that takes it and sets its
        // destination meanwhile must not be sent the old stream's frames.
        // With a start queued ahead the close marks the sender itself.
        stop.marked = s_handoffStarts == 0 && stop_would_close(core, s_handoffBusy);
        if (stop.marked) GVSP_StreamCloseBegin(core);
        s_handoffQueue.push_back(stop);
        s_handoffBusy++;
        if (s_closerRunning) return stop.marked;
        s_closerRunning = true;
        epcore_thread_enter(core);
        if (thread_start_detached(closer_main, core) == 0) return stop.marked;
        s_closerRunning = false;
        s_handoffQueue.pop_back();
        s_handoffBusy--;
        epcore_thread_leave(core);
    }
    s_handoffCv.notify_all();
    // Without a thread the stop still has to happen: here, late rather than
    // never.
    log_error(g_logger, __FUNCTION__, __LINE__, "no closer thread, stream stopped here");
    run_stop(core, stop);
    return false;
}

} // namespace

void stream_ctrl_stop_handoff(RegWriteFunc write) { (void)hand_over_stop(write, 0); }

int stream_ctrl_host_start_stop(RegWriteFunc write, uint32 value)
{
    epcore_t* core = get_pcore();
    if (value != 1) {
        // No packet of the stopped stream follows the answer, as after a
        // close in place: the sender ends the block it is sending first.
        if (hand_over_stop(write, value)) GVSP_StreamFlush(core, GVSP_FLUSH_WAIT_MS);
        return 1;
    }
    if (!core) return 0;
    std::lock_guard<std::mutex> hold(s_handoffMutex);
    // The closer takes what is queued while it runs: nothing ahead, the
    // start is made in place.
    if (s_handoffBusy == 0 || !s_closerRunning) return 0;
    if (records_ready()) set(common().acquisitionStartStop, 1u);
    s_handoffQueue.push_back({write ? write : Custom_RegWrite, 1u, false});
    s_handoffBusy++;
    s_handoffStarts++;
    return 1;
}

void stream_ctrl_settle(void)
{
    if (t_onCloser) return;
    std::unique_lock<std::mutex> hold(s_handoffMutex);
    if (!s_handoffCv.wait_for(hold, std::chrono::milliseconds(kSettleWaitMs), [] { return s_handoffBusy == 0; }))
        log_error(g_logger, __FUNCTION__, __LINE__, "handed-over stream stops not done in %d ms", kSettleWaitMs);
}

void stream_ctrl_reset(void)
{
    std::lock_guard<std::mutex> hold(s_streamMutex);
    s_startCnt.store(0);
    for (auto& f : s_freqTempList) f.store(0);
}
