// Stream start/stop against the host limit and the work mode, the queues a
// close empties, the capture tasks a start creates, the image sizes per
// register setting and the sensor operation behind each register write.
#include <gtest/gtest.h>

#include <string.h>

#include <thread>
#include <vector>

#include "GigE/gvcp.h"
#include "GigE/gvsp.h"
#include "algo/algo.h"
#include "common/regtest.h"
#include "common/stream_ctrl.h"

namespace {

using regtest::calls;
using regtest::RegSpace;
using regtest::wait_until;
using Calls = std::vector<std::string>;

// ---- Sensor operations that record "op:device:value" ----

void rec(const std::string& op, iodev_t* d, uint32_t v)
{
    calls().add(op + ":" + (d && d->id == E_DEVICE_TOF ? "tof" : "rgb") + ":" + std::to_string(v));
}
#define REC(name)                              \
    [](iodev_t* d, uint32_t v) {               \
        rec(#name, d, v);                      \
        return 0;                              \
    }

std::atomic<int> s_allFreqResult{1};
std::atomic<uint32_t> s_allFreqFirst{0};  // non-zero: the driver settles on this first frequency

void fill_ops(V4L2SensorInfo& o)
{
    o = V4L2SensorInfo{};
#define SET(name) o.name = REC(name);
    SET(set_fps) SET(set_first_freq) SET(set_second_freq) SET(set_background_amp) SET(set_integration_f0)
    SET(set_integration_f1) SET(set_gain) SET(set_vfilp) SET(set_hfilp) SET(exposure_mode) SET(vld_enable)
    SET(start_stop_stream) SET(set_n_inte_length_f0) SET(set_n_inte_length_f1) SET(set_n_inte_length_f2)
#undef SET
    o.set_other_params = [](iodev_t* d, uint32_t v, uint32_t a) {
        rec("set_other_params:" + std::to_string(a), d, v);
        return 0;
    };
    o.set_all_freq = [](iodev_t* d, uint32_t* f) {
        rec("set_all_freq:" + std::to_string(f[0]) + "," + std::to_string(f[1]), d, f[2]);
        if (s_allFreqFirst.load()) f[0] = s_allFreqFirst.load();
        return s_allFreqResult.load();
    };
    o.get_hfilp = [](iodev_t*, uint32_t* v) { return *v = 7, 0; };
    o.get_vfilp = [](iodev_t*, uint32_t* v) { return *v = 8, 0; };
}
#undef REC

Calls take_calls()
{
    std::lock_guard<std::mutex> l(calls().m);
    Calls out;
    out.swap(calls().calls);
    return out;
}

// ---- A register space with frame pools and stand-in queue workers ----

struct Stream {
    RegSpace r;
    std::vector<worker_t*> fakes;  // registered, without a thread

    Stream()
    {
        stream_ctrl_reset();
        g_permit_conn_user_count = 1;
        s_allFreqResult = 1;
        s_allFreqFirst = 0;
        for (bpool_t** p : pools()) *p = algotest::make_pool((int)sizeof(ImageInfo) + 64, 4);
        fill_ops(r.tofOps);
        fill_ops(r.rgbOps);
        // The Gpixel ToF sensor with the colour camera on an RK3588.
        r.tof().sensorType = E_GPIXEL_0503;
    }
    ~Stream()
    {
        r.core->quit.store(1);
        EXPECT_TRUE(wait_until([&] { return workers_under(0) == (int)fakes.size(); }));
        for (worker_t* wk : fakes) worker_thread_del(r.core, wk), worker_free(wk);
        for (bpool_t** p : pools()) bpool_clean(*p), *p = nullptr;
        stream_ctrl_reset();
        g_permit_conn_user_count = 1;
    }

    std::vector<bpool_t**> pools()
    {
        epcore_t* c = r.core;
        return {&c->raw, &c->rgb, &c->depth, &c->applation_algo, &c->applation_algo_result};
    }
    int fetched()
    {
        int n = 0;
        for (bpool_t** p : pools()) n += bpool_fetched_num(*p);
        return n;
    }
    // Registered workers under the key (0: all of them).
    int workers_under(uint64_t id)
    {
        int n = 0;
        EnterCriticalSection(&r.core->workerlistCS);
        for (int i = 0; i < arr_num(r.core->worker_list); i++)
            n += !id || static_cast<worker_t*>(arr_value(r.core->worker_list, i))->workerid == id;
        LeaveCriticalSection(&r.core->workerlistCS);
        return n;
    }
    bool running(uint64_t id) { return epcore_worker_find(r.core, id) != nullptr; }
    worker_t* fake_worker(uint64_t id)
    {
        worker_t* wk = worker_new(r.core);
        wk->workerid = wk->threadid = id;
        worker_set_datafree(wk, frame_datafree);
        worker_thread_add(r.core, wk);
        fakes.push_back(wk);
        return wk;
    }
    ImageInfo* frame(bpool_t* pool, uint32 memType)
    {
        auto* img = static_cast<ImageInfo*>(bpool_fetch(pool));
        memset(img, 0, sizeof(ImageInfo));
        img->memType = memType;
        return img;
    }
    static void queue(CRITICAL_SECTION* cs, dlist_t* list, ImageInfo* img)
    {
        EnterCriticalSection(cs), lt_append(list, img), LeaveCriticalSection(cs);
    }
    static int listed(CRITICAL_SECTION* cs, dlist_t* list)
    {
        EnterCriticalSection(cs);
        int n = lt_num(list);
        LeaveCriticalSection(cs);
        return n;
    }
    bool on() { return r.core->streamon.load() == 1; }
};

// ---- Start and stop ----

// The register write of acquisitionStartStop as far as the stream goes,
// without the gap a start keeps after the request before it.
int direct(uint32, uint32* value) { return Custom_StartOrStopStream(*value); }

StreamRequester host(char name) { return stream_ctrl_host(0x0A000001, (uint16)(3000 + name)); }

TEST(StreamStartStop, EachRequesterCountsOnceUpToTheHostLimitAndWorkModeKeepsTheStreamOn)
{
    // Two-character steps: a host ('a'..'c') or the board ('*'), then '+'
    // start, '-' stop, '~' the host leaves, '!' it leaves as the last host;
    // "=0"/"=1" force the stream-on flag (start-up turns the stream on in
    // work mode without a request).
    struct Step {
        const char* op;
        uint32 count;
        bool on;
    };
    struct Scenario {
        const char* name;
        uint32 limit, workMode;
        std::vector<Step> steps;
        const char* log;
    } scenarios[] = {
        {"one host allowed: one start, whoever's, and any stop", 1, 0,
         {{"a+", 1, true}, {"a+", 1, true}, {"*+", 1, true}, {"a-", 0, false}, {"*+", 1, true}, {"b-", 0, false}},
         "close stream success"},
        {"a host's second start adds nothing", 2, 0, {{"a+", 1, true}, {"a+", 1, true}, {"a-", 0, false}},
         "close stream success"},
        {"a host's repeated stop leaves another's start", 3, 0,
         {{"a+", 1, true}, {"b+", 2, true}, {"a-", 1, true}, {"a-", 1, true}, {"c-", 1, true}, {"b-", 0, false}},
         "startCnt:1"},
        {"a host stops what the board started", 3, 0,
         {{"*+", 1, true}, {"a+", 2, true}, {"a-", 1, true}, {"a-", 0, false}}, "close stream success"},
        {"the board's stop takes its own start only", 2, 0,
         {{"a+", 1, true}, {"*-", 1, true}, {"*+", 2, true}, {"*-", 1, true}, {"*-", 1, true}, {"a-", 0, false}},
         "startCnt:1"},
        {"the count is capped, every start still wanted", 2, 0,
         {{"a+", 1, true}, {"b+", 2, true}, {"*+", 2, true}, {"a-", 2, true}, {"b-", 1, true}, {"c-", 0, false}},
         "close stream success"},
        {"a host leaving takes its start with it", 3, 0,
         {{"a+", 1, true}, {"b+", 2, true}, {"c~", 2, true}, {"a~", 1, true}, {"a-", 1, true}, {"b~", 0, false}},
         "close stream success"},
        {"the last host leaving takes the board's start too", 3, 0,
         {{"*+", 1, true}, {"a+", 2, true}, {"a!", 0, false}}, "close stream success"},
        {"stop while off", 2, 0,
         {{"*-", 0, false}, {"a+", 1, true}, {"b+", 2, true}, {"=0", 2, false}, {"a-", 2, false}, {"=1", 2, true},
          {"a-", 1, true}, {"b-", 0, false}},
         "startCnt:1"},
        {"work mode", 2, 1,
         {{"a+", 1, true}, {"a-", 0, true}, {"a-", 0, true}, {"b~", 0, true}, {"a+", 1, true}, {"a~", 0, true}},
         "do not stop stream"},
        {"uncounted", 1, 0, {{"=1", 0, true}, {"*-", 0, false}, {"*+", 1, true}}, "close stream success"},
    };
    for (const Scenario& sc : scenarios) {
        Stream s;
        g_permit_conn_user_count = sc.limit;
        s.r.common().workMode = sc.workMode;
        int i = 0;
        for (const Step& st : sc.steps) {
            char who = st.op[0], op = st.op[1];
            if (who == '=') s.r.core->streamon.store(op == '1');
            else if (op == '~' || op == '!') stream_ctrl_host_left(direct, host(who), op == '!', 1);
            else if (who == '*') EXPECT_EQ(Custom_StartOrStopStream(op == '+' ? 1 : 0), 0);
            else EXPECT_EQ(stream_ctrl_host_write(direct, host(who), 0x10000000, op == '+' ? 1 : 0), 0);
            stream_ctrl_settle();
            EXPECT_EQ(stream_start_count(), st.count) << sc.name << " step " << i << " " << st.op;
            EXPECT_EQ(s.on(), st.on) << sc.name << " step " << i++ << " " << st.op;
        }
        EXPECT_EQ(s.workers_under(E_WORKER_ID_TOF_SENSOR), s.on() ? 1 : 0) << sc.name;
        EXPECT_TRUE(s.r.log.has(sc.log)) << sc.name;
        EXPECT_EQ(s.r.log.has("work mode 1"), sc.workMode == 1) << sc.name;
    }
}

// A workMode write's start or stop is the writing host's: it counts once
// beside the others', and its open or close runs on the closer thread.
TEST(StreamStartStop, AWorkModeWriteStartsAndStopsAsTheWritingHost)
{
    Stream s;
    g_permit_conn_user_count = 2;
    EXPECT_EQ(stream_ctrl_host_write(nullptr, host('a'), 0x10000068, 1), 0);
    stream_ctrl_settle();
    EXPECT_TRUE(s.on());
    EXPECT_EQ(stream_start_count(), 1u);
    EXPECT_EQ(stream_ctrl_host_write(direct, host('b'), 0x10000000, 1), 0);
    EXPECT_EQ(stream_start_count(), 2u);
    {
        regtest::ChangeHold hold(0);
        // workMode 0 from the host: its own start goes, the other's stays.
        EXPECT_EQ(stream_ctrl_host_write(nullptr, host('a'), 0x10000068, 0), 0);
        EXPECT_EQ(stream_start_count(), 1u);
        EXPECT_EQ(stream_ctrl_host_write(direct, host('b'), 0x10000000, 0), 0);
        // The close waits on the closer thread, not on the writer.
        ASSERT_TRUE(wait_until([] { return regtest::ChangeHold::begun.load() == 1; }));
        EXPECT_EQ(stream_ctrl_host_write(nullptr, host('a'), 0x10000068, 1), 0);
        EXPECT_EQ(stream_ctrl_host_write(nullptr, host('a'), 0x10000068, 0), 0);
        EXPECT_FALSE(regtest::ChangeHold::ended.load()) << "a workMode write waited for the close";
    }
    EXPECT_FALSE(s.on());
    EXPECT_EQ(stream_start_count(), 0u);
    EXPECT_EQ(s.r.read(0x10000068), 0u);
}

// Once korvid is stopping nothing opens, but a stop counted then still
// closes the capture: the sensor must not be left streaming.
TEST(StreamStartStop, WhileKorvidStopsAStopStillClosesTheCaptureAndAStartOpensNothing)
{
    Stream s;
    EXPECT_EQ(Custom_StartOrStopStream(1), 0);
    ASSERT_TRUE(s.on());
    s.r.core->quit.store(1);
    stream_ctrl_stop_all();
    EXPECT_FALSE(s.on());
    EXPECT_TRUE(s.r.log.has("close stream success"));
    EXPECT_EQ(Custom_StartOrStopStream(1), 0);
    EXPECT_FALSE(s.on());
}

std::atomic<int> s_restarts{0};

void* ends_at_once(void* arg)
{
    s_restarts++;
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}

// The capture's own restart after its time-outs is refused only where a
// stop has asked the stream to close: starts still being brought about
// while the stream stays on never hold it up (a refused restart leaves the
// stream on with no frames).
TEST(StreamStartStop, ACaptureRestartIsTakenWhileStartsKeepTheStreamOn)
{
    constexpr uint64_t kTask = 900;
    Stream s;
    EXPECT_EQ(Custom_StartOrStopStream(1), 0);
    ASSERT_TRUE(s.on());
    std::atomic<bool> done{false};
    std::vector<std::thread> starters;
    for (int i = 0; i < 3; i++)
        starters.emplace_back([&] {
            while (!done.load()) Custom_StartOrStopStream(1);
        });
    s_restarts = 0;
    int refused = 0;
    for (int i = 0; i < 100; i++) {
        if (!wait_until([&] { return !s.running(kTask); })) break;
        refused += stream_ctrl_restart_worker(s.r.core, kTask, ends_at_once) == 0;
    }
    done = true;
    for (auto& t : starters) t.join();
    EXPECT_EQ(refused, 0) << "restarts refused while starts kept the stream on";
    EXPECT_TRUE(wait_until([] { return s_restarts.load() == 100; }));
}

// Capture workers a start created, by id; counted as they are made, since a
// capture task without its device on a loaded machine may end before the
// test looks.
std::atomic<int> s_createdTof{0};
std::atomic<int> s_createdRgb{0};

TEST(StreamStartStop, ConcurrentStartsCreateEachCaptureWorkerOnce)
{
    constexpr int kHosts = 8;
    // In place as the board's, counted once; handed over as hosts', one each.
    for (bool hosts : {false, true}) {
        SCOPED_TRACE(hosts);
        Stream s;
        g_permit_conn_user_count = kHosts;
        auto all = [hosts](uint32 value) {
            std::vector<std::thread> threads;
            for (int i = 0; i < kHosts; i++)
                threads.emplace_back([=] {
                    if (hosts) stream_ctrl_host_write(direct, host((char)('a' + i)), 0x10000000, value);
                    else Custom_StartOrStopStream(value);
                });
            for (auto& t : threads) t.join();
            stream_ctrl_settle();
        };
        s_createdTof = s_createdRgb = 0;
        stream_ctrl_set_create_hook([](epcore_t*, uint64_t id) {
            if (id == E_WORKER_ID_TOF_SENSOR) s_createdTof++;
            if (id == E_WORKER_ID_RGB_SENSOR) s_createdRgb++;
        });
        all(1);
        stream_ctrl_set_create_hook(nullptr);
        EXPECT_EQ(stream_start_count(), hosts ? (uint32)kHosts : 1u);
        EXPECT_EQ(s_createdTof.load(), 1);
        EXPECT_EQ(s_createdRgb.load(), 1);
        all(0);
        EXPECT_FALSE(s.on());
        EXPECT_EQ(s.workers_under(0), 0);
    }
}

TEST(StreamStartStop, TheBoardAndSensorKindsChooseTheCaptureTasks)
{
    struct Case {
        uint32 cpu, rgbKind, tofKind, enc;
        const char* tofTask;  // nullptr: no worker 500
        const char* rgbTask;  // nullptr: no worker 501
    } cases[] = {
        {E_CPU_RK3588, E_SMARTSENS_SC130GS, E_GPIXEL_0503, 0, "sensor_tof_task[", "sensor_rgb_task["},
        {E_CPU_RK3588, E_SMARTSENS_SC2210, E_VD55H1, 1, "sensor_vd55h1_task[", nullptr},
        // The SC2210 task logs nothing of its own until its set-up ends.
        {E_CPU_RK3576, E_SMARTSENS_SC2210, E_IMX570, 2, "sensor_imx570_task[", "sensor_sc2210_"},
        {E_CPU_RK3568, E_SMARTSENS_SC2210, E_FH8320, 3, "sensor_fh8320_task[", nullptr},
        {E_CPU_RK3576, E_SMARTSENS_SC130GS, E_SENSOR_NONE, 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        Stream s;
        s.fake_worker(E_WORKER_ID_GVSP); // the encoder hands its pictures to the sender
        s.r.run.cpuId = c.cpu;
        s.r.rgb().sensorType = c.rgbKind;
        s.r.tof().sensorType = c.tofKind;
        s.r.common().cameraRgbEncType = c.enc;
        Custom_StartOrStopStream(1);
        std::string what = "cpu " + std::to_string(c.cpu) + " tof " + std::to_string(c.tofKind);
        EXPECT_TRUE(s.on()) << what;
        // A ToF task whose set-up fails here ends at once, after its last log line.
        bool tof = s.running(E_WORKER_ID_TOF_SENSOR) || (c.tofTask && s.r.log.has(c.tofTask));
        EXPECT_EQ(std::vector<bool>({tof, s.running(E_WORKER_ID_RGB_SENSOR), s.running(E_WORKER_ID_ENC)}),
                  std::vector<bool>({c.tofTask != nullptr, c.rgbTask != nullptr, c.enc != 0}))
            << what;
        for (const char* task : {c.tofTask, c.rgbTask, c.enc ? "sensor_enc_init[" : nullptr})
            EXPECT_TRUE(!task || wait_until([&] { return s.r.log.has(task); })) << what << " " << task;
        Custom_StartOrStopStream(0);
        EXPECT_EQ(s.workers_under(0), (int)s.fakes.size()) << what;
    }
}

// ---- What a close leaves behind ----

// The sender's cache and block numbering are its own thread's (test_gvsp).
TEST(StreamClose, EveryQueuedFrameGoesBackToItsPool)
{
    Stream s;
    s.r.common().cameraRgbEncType = E_CAMERA_RGB_ENC_H264;
    epcore_t* core = s.r.core;
    worker_t* gvsp = s.fake_worker(E_WORKER_ID_GVSP);
    worker_t* algo = s.fake_worker(E_WORKER_ID_ALGO);
    worker_t* algo2 = s.fake_worker(E_WORKER_ID_ALGO2);

    Custom_StartOrStopStream(1);
    g_frameIndex = 9;
    s.queue(&gvsp->datalistCS, gvsp->data_list, s.frame(core->depth, E_MEMTYPE_DEPTH));
    s.queue(&gvsp->datalistCS, gvsp->data_list, s.frame(core->applation_algo_result, E_MEMTYPE_APPLATION_RESULT));
    for (worker_t* wk : {algo, algo2}) {
        s.queue(&wk->datalistCS, wk->data_list, s.frame(core->raw, E_MEMTYPE_RAW));
        s.queue(&wk->ioeventlistCS, wk->ioevent_list, s.frame(core->depth, E_MEMTYPE_DEPTH));
    }
    // The running encoder's queue holds camera frames.
    ImageInfo* picture = s.frame(core->rgb, E_MEMTYPE_RGB);
    EnterCriticalSection(&core->workerlistCS);
    uint64_t encKey = E_WORKER_ID_ENC;
    auto* enc = static_cast<worker_t*>(ht_get(core->worker_tab, &encKey));
    ASSERT_NE(enc, nullptr);
    s.queue(&enc->datalistCS, enc->data_list, picture);
    LeaveCriticalSection(&core->workerlistCS);
    // The encoder may have taken its picture already: not one it encodes, so
    // back in the pool.
    ASSERT_GE(s.fetched(), 6);

    Custom_StartOrStopStream(0);
    EXPECT_FALSE(s.on());
    EXPECT_EQ(s.fetched(), 0);
    for (worker_t* wk : {gvsp, algo, algo2}) {
        EXPECT_EQ(Stream::listed(&wk->datalistCS, wk->data_list), 0);
        EXPECT_EQ(Stream::listed(&wk->ioeventlistCS, wk->ioevent_list), 0);
    }
    EXPECT_EQ(g_frameIndex.load(), 0u);
    EXPECT_FALSE(s.running(E_WORKER_ID_ENC));
}

// An encoder still there at the close is stopped even though the encoding
// was switched off meanwhile; one that does not end in time has its camera
// frames taken back.
TEST(StreamClose, AnEncoderThatDoesNotEndHasItsFramesTakenBack)
{
    Stream s;
    worker_t* enc = s.fake_worker(E_WORKER_ID_ENC);
    Custom_StartOrStopStream(1);
    s.queue(&enc->datalistCS, enc->data_list, s.frame(s.r.core->rgb, E_MEMTYPE_RGB));
    s.queue(&enc->datalistCS, enc->data_list, s.frame(s.r.core->raw, E_MEMTYPE_RAW));
    Custom_StartOrStopStream(0);
    EXPECT_FALSE(s.on());
    EXPECT_EQ(enc->quit.load(), 1);
    EXPECT_EQ(Stream::listed(&enc->datalistCS, enc->data_list), 0);
    EXPECT_EQ(s.fetched(), 0);
    EXPECT_TRUE(s.r.log.has("enc worker still running, 2 frames released"));
}

// ---- Image sizes ----

TEST(ImageSizes, FollowTheDepthLibraryCalibrationModeSensorAndBoard)
{
    constexpr uint32 K = 111, L = 222;  // sizes a rule leaves alone
    constexpr uint32 G = E_GPIXEL_0503, V = E_VD55H1, I = E_IMX570, SC = E_SMARTSENS_SC2210;
    struct Case {
        bool init;
        uint32 calib, freqMode, tofKind, cameraType, cpu, rgbKind, feature;
        uint32 tofW, tofH, rgbW, rgbH;
    } cases[] = {
        // Without depth calibration the library decides.
        {false, 0, 3, G, 6002, 0, 0, 0, 640, 480, 1280, 960},
        {false, 0, 3, V, 6002, 0, 0, 0, 672, 804, 1280, 960},
        {true, 0, 1, I, 23, 0, 0, 0, 320, 240, 1280, 960},
        // With it, the frequency mode; the start-up form differs in 1 and 3.
        {false, 1, 1, G, 6002, 0, 0, 0, 640, 960, 1280, 960},
        {true, 1, 1, G, 6002, 0, 0, 0, 1280, 960, 1280, 960},
        {true, 1, 1, G, 22, 0, 0, 0, 640, 480, 1280, 960},
        {false, 1, 2, G, 6002, 0, 0, 0, 1280, 480, 1280, 960},
        {false, 1, 3, G, 22, 0, 0, 0, 640, 480, 1280, 960},
        {true, 1, 3, G, 22, 0, 0, 0, 1280, 960, 1280, 960},
        {false, 1, 4, G, 6002, 0, 0, 0, K, L, 1280, 960},
        {false, 1, 2, V, 6002, 0, 0, 0, 1344, 1608, 1280, 960},
        // The IMX570 multiplies its base size per mode.
        {false, 1, 1, I, 6002, 0, 0, 0, 640, 960, 1280, 960},
        {false, 1, 5, I, 6002, 0, 0, 0, 640, 1440, 1280, 960},
        {true, 1, 6, I, 6002, 0, 0, 0, 1280, 1440, 1280, 960},
        {false, 1, 6, I, 2005, 0, 0, 0, 640, 720, 1280, 960},
        // Colour size per board.
        {false, 0, 0, G, 6002, 0, SC, 0x30, 640, 480, 1920, 1080},
        {false, 0, 0, G, 6002, 0, SC, 0x70, 640, 480, 1280, 960},
        {false, 0, 0, G, 6002, 0, E_SMARTSENS_SC230AI, 0xF0, 640, 480, 1920, 1080},
        {false, 0, 0, G, 6002, 2, SC, 0, 640, 480, 1920, 1080},
        {false, 0, 0, G, 6002, 7, SC, 0, 640, 480, K, L},
    };
    for (const Case& c : cases) {
        Stream s;
        s.r.run.enableDepthCalib = c.calib;
        s.r.run.cameraType = c.cameraType;
        s.r.run.cpuId = c.cpu;
        s.r.tof().freqMode = c.freqMode;
        s.r.tof().sensorType = c.tofKind;
        s.r.rgb().sensorType = c.rgbKind;
        s.r.common().configFeatureCapability = c.feature;
        for (SensorInfo* p : {&s.r.tof(), &s.r.rgb()}) p->width = K, p->heigth = L;
        c.init ? Custom_AdaptWidthHeigthInit() : Custom_AdaptWidthHeigth();
        EXPECT_EQ(std::vector<uint32>({s.r.tof().width, s.r.tof().heigth, s.r.rgb().width, s.r.rgb().heigth}),
                  std::vector<uint32>({c.tofW, c.tofH, c.rgbW, c.rgbH}))
            << "case " << (&c - cases);
    }
}

// ---- Sensor operations behind register writes ----

TEST(SensorControl, EachRegisterReachesItsOperationPerSensorKind)
{
    constexpr uint32 G = E_GPIXEL_0503, V = E_VD55H1, I = E_IMX570;
    struct Case {
        bool tof;
        uint32 kind, address;
        Calls calls;
    } cases[] = {
        {false, G, 0x1000102C, {"set_fps:rgb:9"}},
        {false, G, 0x1000103C, {"set_hfilp:rgb:9"}},
        {false, G, 0x10001050, {"set_integration_f0:rgb:9"}},
        {false, G, 0x100010D8, {"exposure_mode:rgb:9"}},
        {false, G, 0x100010E0, {"vld_enable:rgb:9"}},
        {false, G, 0x10001048, {}},
        {true, G, 0x1000202C, {"set_fps:tof:9"}},
        {true, G, 0x1000203C, {"set_hfilp:tof:9"}},
        {true, G, 0x100020E0, {"vld_enable:tof:9"}},
        {true, G, 0x100020E4, {"start_stop_stream:tof:9"}},
        {true, G, 0x1000206C, {"set_first_freq:tof:9"}},
        {true, I, 0x1000209C, {"set_n_inte_length_f0:tof:9"}},
        {true, V, 0x1000209C, {"set_n_inte_length_f0:tof:9"}},
        {true, G, 0x1000209C, {}},
        {true, I, 0x100020A0, {"set_n_inte_length_f2:tof:9"}},
        {true, V, 0x100020A0, {"set_n_inte_length_f1:tof:9"}},
        {true, G, 0x100020A0, {}},
        {true, G, 0x10002048, {}},
        {true, G, 0x1000102C, {}},
    };
    Stream s;
    s.r.add_sensors();
    for (const Case& c : cases) {
        s.r.tof().sensorType = c.kind;
        s.r.tof().nInteA = 0;
        uint32 v = 9;
        EXPECT_EQ(c.tof ? Custom_TofControl(c.address, &v) : Custom_RgbControl(c.address, &v), 0);
        EXPECT_EQ(take_calls(), c.calls) << c.kind << " 0x" << std::hex << c.address;
        // Only the IMX570 keeps nInteA itself; the fps is remembered.
        EXPECT_EQ(s.r.tof().nInteA, c.kind == I && c.address == 0x1000209C ? 9u : 0u) << std::hex << c.address;
        EXPECT_TRUE(!c.tof || c.address != 0x1000202C || g_tof_fps.load() == 9u);
    }
    uint32 got[3] = {0, 0, 42};
    for (int i = 0; i < 3; i++) Custom_getTofStatus(0x1000203C + 4 * i, &got[i]);
    EXPECT_EQ(std::vector<uint32>(got, got + 3), std::vector<uint32>({7, 8, 42}));
}

TEST(SensorControl, NothingHappensWithoutTheDeviceItsTableOrTheOperation)
{
    for (int setup = 0; setup < 3; setup++) {
        Stream s;
        s.r.tof().sensorType = E_IMX570;
        if (setup == 1) {
            s.r.add_device(E_DEVICE_TOF, nullptr);
            s.r.add_device(E_DEVICE_RGB, nullptr);
        } else if (setup == 2) {
            s.r.tofOps = s.r.rgbOps = V4L2SensorInfo{};
            s.r.add_sensors();
        }
        g_tof_fps = 0;
        take_calls();
        for (uint32 a : {0x1000202Cu, 0x1000203Cu, 0x1000206Cu, 0x10002050u, 0x1000209Cu, 0x10007044u}) {
            uint32 v = 1234;
            EXPECT_EQ(Custom_TofControl(a, &v), 0) << std::hex << a;
        }
        uint32 v = 1, flip = 42;
        EXPECT_EQ(Custom_RgbControl(0x1000102C, &v), 0);
        EXPECT_EQ(Custom_getTofStatus(0x1000203C, &flip), 0);
        EXPECT_EQ(flip, 42u);
        EXPECT_EQ(take_calls().size(), 0u) << "setup " << setup;
        EXPECT_EQ(g_tof_fps.load() + s.r.tof().nInteA, 0u) << "setup " << setup;
    }
}

TEST(SensorControl, TheThirdFrequencyProgramsAllThreeAndWritesTheDriversChoiceBack)
{
    struct Case {
        uint32 a, b, c, value;
        int result;
        uint32 driverFirst;
        const char* call;
        int rc;
        uint32 aAfter, cAfter;
    } cases[] = {
        {80, 60, 0, 40, 1, 0, "set_all_freq:80,60:tof:40", 0, 80, 40},
        {80, 60, 30, 0, 1, 0, "set_all_freq:80,60:tof:30", 0, 80, 30},  // 0 re-applies the stored third
        {80, 60, 30, 40, 1, 99, "set_all_freq:80,60:tof:40", 0, 99, 40},
        // A refusal (low half zero) leaves the registers and answers 2.
        {80, 60, 30, 40, 0x10000, 99, "set_all_freq:80,60:tof:40", 2, 80, 30},
    };
    for (const Case& c : cases) {
        Stream s;
        s.r.add_sensors();
        s.r.tof().groupAFreq = c.a, s.r.tof().groupBFreq = c.b, s.r.tof().groupCFreq = c.c;
        s_allFreqResult = c.result;
        s_allFreqFirst = c.driverFirst;
        uint32 v = c.value;
        EXPECT_EQ(Custom_TofControl(0x10002050, &v), c.rc) << c.call;
        EXPECT_EQ(take_calls(), Calls{c.call});
        EXPECT_EQ(std::vector<uint32>({s.r.tof().groupAFreq, s.r.tof().groupBFreq, s.r.tof().groupCFreq}),
                  std::vector<uint32>({c.aAfter, 60, c.cAfter}))
            << c.call;
    }
}

// The IMX570 has no per-frequency operation: a later first frequency
// reaches the sensor through the third's write and is not reverted by it.
TEST(SensorControl, ALaterFirstFrequencyIsNotRevertedByTheThird)
{
    Stream s;
    s.r.tofOps.set_first_freq = nullptr;
    s.r.add_sensors();
    s.r.tof().groupAFreq = 80;
    s.r.tof().groupBFreq = 60;
    uint32 c = 40, a = 90;
    Custom_TofControl(0x10002050, &c);
    Custom_TofControl(0x1000206C, &a);
    s.r.tof().groupAFreq = a;  // the register write stores the word
    take_calls();
    Custom_TofControl(0x10002050, &c);
    EXPECT_EQ(take_calls(), Calls{"set_all_freq:90,60:tof:40"});
    EXPECT_EQ(s.r.tof().groupAFreq, 90u);
}

} // namespace
