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

using algotest::make_pool;
using regtest::calls;
using regtest::RegSpace;
using regtest::wait_until;

// ---- Sensor operations that record their calls ----

std::string tag(iodev_t* d) { return d && d->id == E_DEVICE_TOF ? "tof" : "rgb"; }

#define RECORDING_SETTER(name)                                                  \
    int rec_##name(iodev_t* d, uint32_t v)                                     \
    {                                                                          \
        calls().add(#name ":" + tag(d) + ":" + std::to_string(v));             \
        return 0;                                                              \
    }
RECORDING_SETTER(set_fps)
RECORDING_SETTER(set_first_freq)
RECORDING_SETTER(set_second_freq)
RECORDING_SETTER(set_background_amp)
RECORDING_SETTER(set_integration_f0)
RECORDING_SETTER(set_integration_f1)
RECORDING_SETTER(set_gain)
RECORDING_SETTER(set_vfilp)
RECORDING_SETTER(set_hfilp)
RECORDING_SETTER(exposure_mode)
RECORDING_SETTER(vld_enable)
RECORDING_SETTER(start_stop_stream)
RECORDING_SETTER(set_n_inte_length_f0)
RECORDING_SETTER(set_n_inte_length_f1)
RECORDING_SETTER(set_n_inte_length_f2)
#undef RECORDING_SETTER

int rec_other(iodev_t* d, uint32_t v, uint32_t address)
{
    calls().add("set_other_params:" + tag(d) + ":" + std::to_string(v) + ":" + std::to_string(address));
    return 0;
}

std::atomic<int> s_allFreqResult{1};
std::atomic<uint32_t> s_allFreqFirst{0};  // non-zero: the driver settles on this first frequency
int rec_all_freq(iodev_t* d, uint32_t* f)
{
    calls().add("set_all_freq:" + tag(d) + ":" + std::to_string(f[0]) + "," + std::to_string(f[1]) + "," +
                std::to_string(f[2]));
    if (s_allFreqFirst.load()) f[0] = s_allFreqFirst.load();
    return s_allFreqResult.load();
}
int rec_get_hfilp(iodev_t*, uint32_t* v)
{
    *v = 7;
    return 0;
}
int rec_get_vfilp(iodev_t*, uint32_t* v)
{
    *v = 8;
    return 0;
}

void fill_ops(V4L2SensorInfo& ops)
{
    ops = V4L2SensorInfo{};
    ops.set_fps = rec_set_fps;
    ops.set_first_freq = rec_set_first_freq;
    ops.set_second_freq = rec_set_second_freq;
    ops.set_all_freq = rec_all_freq;
    ops.set_background_amp = rec_set_background_amp;
    ops.set_other_params = rec_other;
    ops.set_integration_f0 = rec_set_integration_f0;
    ops.set_integration_f1 = rec_set_integration_f1;
    ops.set_gain = rec_set_gain;
    ops.set_vfilp = rec_set_vfilp;
    ops.get_vfilp = rec_get_vfilp;
    ops.set_hfilp = rec_set_hfilp;
    ops.get_hfilp = rec_get_hfilp;
    ops.exposure_mode = rec_exposure_mode;
    ops.vld_enable = rec_vld_enable;
    ops.start_stop_stream = rec_start_stop_stream;
    ops.set_n_inte_length_f0 = rec_set_n_inte_length_f0;
    ops.set_n_inte_length_f1 = rec_set_n_inte_length_f1;
    ops.set_n_inte_length_f2 = rec_set_n_inte_length_f2;
}

std::vector<std::string> take_calls()
{
    std::lock_guard<std::mutex> l(calls().m);
    std::vector<std::string> out;
    out.swap(calls().calls);
    return out;
}

// ---- A register space with frame pools and stand-in queue workers ----

struct Stream {
    RegSpace r;
    std::vector<worker_t*> fakes;
    iodev_t senderDev{};
    GVSPPrivData sender{};

    Stream()
    {
        stream_ctrl_reset();
        g_permit_conn_user_count = 1;
        s_allFreqResult = 1;
        s_allFreqFirst = 0;
        epcore_t* core = r.core;
        core->raw = make_pool((int)sizeof(ImageInfo) + 64, 4);
        core->rgb = make_pool((int)sizeof(ImageInfo) + 64, 4);
        core->depth = make_pool((int)sizeof(ImageInfo) + 64, 4);
        core->applation_algo = make_pool((int)sizeof(ImageInfo) + 64, 4);
        core->applation_algo_result = make_pool((int)sizeof(ImageInfo) + 64, 4);
        sender.resend_list = lt_new();
        sender.cache_list = lt_new();
        senderDev.id = E_DEVICE_GVSP;
        senderDev.priv_data = &sender;
    }
    ~Stream()
    {
        epcore_t* core = r.core;
        core->quit.store(1);
        // Capture tasks end on the quit flag; the stand-ins have no thread.
        EXPECT_TRUE(wait_until([&] { return registered() == (int)fakes.size(); }));
        for (worker_t* wk : fakes) {
            worker_thread_del(core, wk);
            worker_free(wk);
        }
        while (void* f = lt_rm_head(sender.cache_list)) free_image(core, static_cast<ImageInfo*>(f));
        lt_free(sender.cache_list);
        lt_free(sender.resend_list);
        for (bpool_t** p : pools()) {
            bpool_clean(*p);
            *p = nullptr;
        }
        stream_ctrl_reset();
        g_permit_conn_user_count = 1;
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

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
    int registered()
    {
        EnterCriticalSection(&r.core->workerlistCS);
        int n = arr_num(r.core->worker_list);
        LeaveCriticalSection(&r.core->workerlistCS);
        return n;
    }
    int workers_under(uint64_t id)
    {
        int n = 0;
        EnterCriticalSection(&r.core->workerlistCS);
        for (int i = 0; i < arr_num(r.core->worker_list); i++)
            n += static_cast<worker_t*>(arr_value(r.core->worker_list, i))->workerid == id;
        LeaveCriticalSection(&r.core->workerlistCS);
        return n;
    }
    bool running(uint64_t id) { return epcore_worker_find(r.core, id) != nullptr; }

    // A registered worker without a thread: only its lists are used.
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
    void queue(worker_t* wk, ImageInfo* img, bool eventList = false)
    {
        CRITICAL_SECTION* cs = eventList ? &wk->ioeventlistCS : &wk->datalistCS;
        EnterCriticalSection(cs);
        lt_append(eventList ? wk->ioevent_list : wk->data_list, img);
        LeaveCriticalSection(cs);
    }
    int listed(worker_t* wk, bool eventList = false)
    {
        CRITICAL_SECTION* cs = eventList ? &wk->ioeventlistCS : &wk->datalistCS;
        EnterCriticalSection(cs);
        int n = lt_num(eventList ? wk->ioevent_list : wk->data_list);
        LeaveCriticalSection(cs);
        return n;
    }
    // The Gpixel ToF sensor with the colour camera on an RK3588.
    void gpixel_board()
    {
        r.tof().sensorType = E_GPIXEL_0503;
        r.rgb().sensorType = E_SMARTSENS_SC130GS;
        r.run.cpuId = E_CPU_RK3588;
    }
    void start() { EXPECT_EQ(Custom_StartOrStopStream(1), 0); }
    void stop() { EXPECT_EQ(Custom_StartOrStopStream(0), 0); }
    bool on() { return r.core->streamon.load() == 1; }
};

// ---- Start and stop ----

TEST(StreamStartStop, TwoStartsWithAHostLimitOfOneCountOnceAndOneStopCloses)
{
    Stream s;
    s.gpixel_board();
    s.start();
    s.start();
    EXPECT_EQ(stream_start_count(), 1u);
    EXPECT_TRUE(s.on());
    EXPECT_EQ(s.workers_under(E_WORKER_ID_TOF_SENSOR), 1);
    EXPECT_EQ(s.workers_under(E_WORKER_ID_RGB_SENSOR), 1);

    s.stop();
    EXPECT_FALSE(s.on());
    EXPECT_EQ(stream_start_count(), 0u);
    EXPECT_FALSE(s.running(E_WORKER_ID_TOF_SENSOR));
    EXPECT_FALSE(s.running(E_WORKER_ID_RGB_SENSOR));
    for (const char* line : {"open stream", "close stream", "stop rgb stream", "stop tof stream", "clean cache",
                             "close stream success"})
        EXPECT_TRUE(s.r.log.has(line)) << line;
}

TEST(StreamStartStop, EveryHostUnderTheLimitMustStopBeforeTheStreamCloses)
{
    Stream s;
    s.gpixel_board();
    g_permit_conn_user_count = 3;
    for (int i = 0; i < 4; i++) s.start();
    EXPECT_EQ(stream_start_count(), 3u);
    EXPECT_EQ(s.workers_under(E_WORKER_ID_TOF_SENSOR), 1);

    s.stop();
    EXPECT_TRUE(s.r.log.has("startCnt:2"));
    s.stop();
    EXPECT_TRUE(s.r.log.has("startCnt:1"));
    EXPECT_TRUE(s.on());
    EXPECT_TRUE(s.running(E_WORKER_ID_TOF_SENSOR));
    EXPECT_FALSE(s.r.log.has("close stream"));
    s.stop();
    EXPECT_FALSE(s.on());
    EXPECT_FALSE(s.running(E_WORKER_ID_TOF_SENSOR));
}

TEST(StreamStartStop, AStopWhileTheStreamIsOffChangesNothing)
{
    Stream s;
    s.gpixel_board();
    g_permit_conn_user_count = 2;
    s.stop();
    EXPECT_EQ(stream_start_count(), 0u);
    EXPECT_FALSE(s.r.log.has("close stream"));

    s.start();
    s.start();
    s.r.core->streamon.store(0);
    s.stop();
    EXPECT_EQ(stream_start_count(), 2u);
    EXPECT_TRUE(s.running(E_WORKER_ID_TOF_SENSOR));
    s.r.core->streamon.store(1);
    s.stop();
    s.stop();
    EXPECT_FALSE(s.on());
}

TEST(StreamStartStop, WorkModeKeepsTheStreamOnThroughEveryStop)
{
    Stream s;
    s.gpixel_board();
    s.r.common().workMode = 1;
    s.start();
    for (int i = 0; i < 3; i++) s.stop();
    EXPECT_TRUE(s.on());
    EXPECT_EQ(stream_start_count(), 0u);
    EXPECT_TRUE(s.running(E_WORKER_ID_TOF_SENSOR));
    EXPECT_TRUE(s.r.log.has("work mode 1"));
    EXPECT_TRUE(s.r.log.has("do not stop stream"));
    EXPECT_FALSE(s.r.log.has("close stream"));
}

// Start-up turns the stream on in work mode without counting a start; the
// count must not wrap round when that stream is stopped.
TEST(StreamStartStop, AnUncountedStreamClosesOnItsFirstStopWithoutWrappingTheCount)
{
    Stream s;
    s.r.core->streamon.store(1);
    s.stop();
    EXPECT_EQ(stream_start_count(), 0u);
    EXPECT_FALSE(s.on());
    EXPECT_TRUE(s.r.log.has("close stream success"));
    EXPECT_FALSE(s.r.log.has("startCnt:"));
    s.start();
    EXPECT_EQ(stream_start_count(), 1u);
}

TEST(StreamStartStop, ConcurrentStartsCreateEachCaptureWorkerOnce)
{
    Stream s;
    s.gpixel_board();
    constexpr int kHosts = 8;
    g_permit_conn_user_count = kHosts;
    auto all = [](uint32 value) {
        std::vector<std::thread> threads;
        for (int i = 0; i < kHosts; i++) threads.emplace_back([value] { Custom_StartOrStopStream(value); });
        for (auto& t : threads) t.join();
    };
    all(1);
    EXPECT_EQ(stream_start_count(), (uint32)kHosts);
    EXPECT_EQ(s.workers_under(E_WORKER_ID_TOF_SENSOR), 1);
    EXPECT_EQ(s.workers_under(E_WORKER_ID_RGB_SENSOR), 1);
    all(0);
    EXPECT_FALSE(s.on());
    EXPECT_EQ(stream_start_count(), 0u);
    EXPECT_EQ(s.workers_under(E_WORKER_ID_TOF_SENSOR), 0);
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
        {E_CPU_RK3576, E_SMARTSENS_SC2210, E_IMX570, 2, "sensor_imx570_task[", "sensor_sc2210_task["},
        {E_CPU_RK3568, E_SMARTSENS_SC2210, E_FH8320, 3, "sensor_fh8320_task[", nullptr},
        {E_CPU_RK3576, E_SMARTSENS_SC130GS, E_SENSOR_NONE, 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        Stream s;
        s.r.run.cpuId = c.cpu;
        s.r.rgb().sensorType = c.rgbKind;
        s.r.tof().sensorType = c.tofKind;
        s.r.common().cameraRgbEncType = c.enc;
        s.start();
        std::string what = "cpu " + std::to_string(c.cpu) + " tof " + std::to_string(c.tofKind);
        EXPECT_TRUE(s.on()) << what;
        EXPECT_EQ(s.running(E_WORKER_ID_TOF_SENSOR), c.tofTask != nullptr) << what;
        EXPECT_EQ(s.running(E_WORKER_ID_RGB_SENSOR), c.rgbTask != nullptr) << what;
        EXPECT_EQ(s.running(E_WORKER_ID_ENC), c.enc != 0) << what;
        for (const char* task : {c.tofTask, c.rgbTask, c.enc ? "sensor_enc_task[" : nullptr}) {
            if (task) {
                EXPECT_TRUE(wait_until([&] { return s.r.log.has(task); })) << what << " " << task;
            }
        }
        s.stop();
        EXPECT_EQ(s.registered(), 0) << what;
    }
}

// ---- What a close leaves behind ----

TEST(StreamClose, EveryQueuedFrameGoesBackToItsPoolAndTheNextBlockIsOne)
{
    Stream s;
    s.gpixel_board();
    s.r.common().cameraRgbEncType = E_CAMERA_RGB_ENC_H264;
    epcore_t* core = s.r.core;
    worker_t* gvsp = s.fake_worker(E_WORKER_ID_GVSP);
    worker_t* algo = s.fake_worker(E_WORKER_ID_ALGO);
    worker_t* algo2 = s.fake_worker(E_WORKER_ID_ALGO2);
    gvsp->pdev = &s.senderDev;
    s.sender.blockId = 57;

    s.start();
    ASSERT_TRUE(s.running(E_WORKER_ID_ENC));
    g_frameIndex = 9;
    s.queue(gvsp, s.frame(core->depth, E_MEMTYPE_DEPTH));
    s.queue(gvsp, s.frame(core->applation_algo_result, E_MEMTYPE_APPLATION_RESULT));
    lt_append(s.sender.cache_list, s.frame(core->depth, E_MEMTYPE_DEPTH));
    s.queue(algo, s.frame(core->raw, E_MEMTYPE_RAW));
    s.queue(algo, s.frame(core->raw, E_MEMTYPE_RAW), true);
    s.queue(algo2, s.frame(core->raw, E_MEMTYPE_RAW));
    s.queue(algo2, s.frame(core->depth, E_MEMTYPE_DEPTH), true);
    // The encoder's queue holds camera frames.
    ImageInfo* picture = s.frame(core->rgb, E_MEMTYPE_RGB);
    EnterCriticalSection(&core->workerlistCS);
    uint64_t enc = E_WORKER_ID_ENC;
    s.queue(static_cast<worker_t*>(ht_get(core->worker_tab, &enc)), picture);
    LeaveCriticalSection(&core->workerlistCS);
    ASSERT_EQ(s.fetched(), 8);

    s.stop();
    EXPECT_FALSE(s.on());
    EXPECT_EQ(s.fetched(), 0);
    for (worker_t* wk : {gvsp, algo, algo2}) {
        EXPECT_EQ(s.listed(wk), 0);
        EXPECT_EQ(s.listed(wk, true), 0);
    }
    EXPECT_EQ(lt_num(s.sender.cache_list), 0);
    EXPECT_EQ(s.sender.blockId, 1u);
    EXPECT_EQ(g_frameIndex.load(), 0u);
    EXPECT_FALSE(s.running(E_WORKER_ID_ENC));
}

// An encoder that is still there when the stream closes is stopped even
// though the encoding was switched off meanwhile; one that does not end in
// time has its camera frames taken back.
TEST(StreamClose, AnEncoderThatDoesNotEndHasItsFramesTakenBack)
{
    Stream s;
    s.gpixel_board();
    worker_t* enc = s.fake_worker(E_WORKER_ID_ENC);
    s.start();
    s.queue(enc, s.frame(s.r.core->rgb, E_MEMTYPE_RGB));
    s.queue(enc, s.frame(s.r.core->raw, E_MEMTYPE_RAW));
    s.stop();
    EXPECT_FALSE(s.on());
    EXPECT_EQ(enc->quit.load(), 1);
    EXPECT_EQ(s.listed(enc), 0);
    EXPECT_EQ(s.fetched(), 0);
    EXPECT_TRUE(s.r.log.has("enc worker still running, 2 frames released"));
}

// ---- Image sizes ----

TEST(ImageSizes, FollowTheDepthLibraryCalibrationModeSensorAndBoard)
{
    constexpr uint32 K = 111, L = 222;  // sizes a rule leaves alone
    struct Case {
        bool init;
        uint32 calib, freqMode, tofKind, cameraType, cpu, rgbKind, feature;
        uint32 tofW, tofH, rgbW, rgbH;
    } cases[] = {
        // Without depth calibration the library decides.
        {false, 0, 3, E_GPIXEL_0503, 6002, 0, 0, 0, 640, 480, 1280, 960},
        {false, 0, 3, E_VD55H1, 6002, 0, 0, 0, 672, 804, 1280, 960},
        {true, 0, 1, E_IMX570, E_CAMERA_CalvoUltraIMX570, 0, 0, 0, 320, 240, 1280, 960},
        // With it, the frequency mode.
        {false, 1, 0, E_GPIXEL_0503, 6002, 0, 0, 0, 640, 480, 1280, 960},
        {false, 1, 1, E_GPIXEL_0503, 6002, 0, 0, 0, 640, 960, 1280, 960},
        {true, 1, 1, E_GPIXEL_0503, 6002, 0, 0, 0, 1280, 960, 1280, 960},
        {true, 1, 1, E_GPIXEL_0503, 22, 0, 0, 0, 640, 480, 1280, 960},
        {false, 1, 2, E_GPIXEL_0503, 6002, 0, 0, 0, 1280, 480, 1280, 960},
        {false, 1, 3, E_GPIXEL_0503, 6002, 0, 0, 0, 1280, 960, 1280, 960},
        {false, 1, 3, E_GPIXEL_0503, 22, 0, 0, 0, 640, 480, 1280, 960},
        {true, 1, 3, E_GPIXEL_0503, 22, 0, 0, 0, 1280, 960, 1280, 960},
        {false, 1, 4, E_GPIXEL_0503, 6002, 0, 0, 0, K, L, 1280, 960},
        {false, 1, 2, E_VD55H1, 6002, 0, 0, 0, 1344, 1608, 1280, 960},
        // The IMX570 multiplies its base size per mode.
        {false, 1, 0, E_IMX570, 6002, 0, 0, 0, 640, 480, 1280, 960},
        {false, 1, 1, E_IMX570, 6002, 0, 0, 0, 640, 960, 1280, 960},
        {false, 1, 2, E_IMX570, 6002, 0, 0, 0, 1280, 480, 1280, 960},
        {false, 1, 3, E_IMX570, 6002, 0, 0, 0, 1280, 960, 1280, 960},
        {false, 1, 5, E_IMX570, 6002, 0, 0, 0, 640, 1440, 1280, 960},
        {false, 1, 6, E_IMX570, 6002, 0, 0, 0, 1280, 1440, 1280, 960},
        {true, 1, 6, E_IMX570, 6002, 0, 0, 0, 1280, 1440, 1280, 960},
        {false, 1, 3, E_IMX570, E_CAMERA_CalvoUltraIMX570, 0, 0, 0, 640, 480, 1280, 960},
        {false, 1, 6, E_IMX570, E_CAMERA_CalvoUltraV1_1, 0, 0, 0, 640, 720, 1280, 960},
        // Colour size per board.
        {false, 0, 0, E_GPIXEL_0503, 6002, 0, E_SMARTSENS_SC2210, 0x30, 640, 480, 1920, 1080},
        {false, 0, 0, E_GPIXEL_0503, 6002, 0, E_SMARTSENS_SC2210, 0x70, 640, 480, 1280, 960},
        {false, 0, 0, E_GPIXEL_0503, 6002, 0, E_SMARTSENS_SC230AI, 0xF0, 640, 480, 1920, 1080},
        {false, 0, 0, E_GPIXEL_0503, 6002, 1, E_SMARTSENS_SC230AI, 0, 640, 480, 1920, 1080},
        {false, 0, 0, E_GPIXEL_0503, 6002, 1, E_SMARTSENS_SC2210, 0, 640, 480, 1280, 960},
        {false, 0, 0, E_GPIXEL_0503, 6002, 2, E_SMARTSENS_SC2210, 0, 640, 480, 1920, 1080},
        {false, 0, 0, E_GPIXEL_0503, 6002, 7, E_SMARTSENS_SC2210, 0, 640, 480, K, L},
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
        if (c.init) Custom_AdaptWidthHeigthInit();
        else Custom_AdaptWidthHeigth();
        std::string what = std::string(c.init ? "init" : "plain") + " calib " + std::to_string(c.calib) +
                           " mode " + std::to_string(c.freqMode) + " tof " + std::to_string(c.tofKind) + " camera " +
                           std::to_string(c.cameraType) + " cpu " + std::to_string(c.cpu) + " rgb " +
                           std::to_string(c.rgbKind);
        EXPECT_EQ(s.r.tof().width, c.tofW) << what;
        EXPECT_EQ(s.r.tof().heigth, c.tofH) << what;
        EXPECT_EQ(s.r.rgb().width, c.rgbW) << what;
        EXPECT_EQ(s.r.rgb().heigth, c.rgbH) << what;
        EXPECT_TRUE(s.r.log.has("tofsensorInfo->width:")) << what;
    }
}

// ---- Sensor operations behind register writes ----

TEST(SensorControl, ColourRegistersReachTheirOperation)
{
    const std::string other = "set_other_params:rgb:5:" + std::to_string(0x10000054);
    struct Case {
        uint32 address;
        std::string call;  // empty: no operation
    } cases[] = {
        {0x1000102C, "set_fps:rgb:5"},
        {0x1000103C, "set_hfilp:rgb:5"},
        {0x10001040, "set_vfilp:rgb:5"},
        {0x10001044, "set_gain:rgb:5"},
        {0x10001050, "set_integration_f0:rgb:5"},
        {0x1000105C, "set_integration_f1:rgb:5"},
        {0x100010D8, "exposure_mode:rgb:5"},
        {0x100010E0, "vld_enable:rgb:5"},
        {0x10000054, other},
        {0x10001048, ""},
        {0x1000202C, ""},
    };
    Stream s;
    fill_ops(s.r.rgbOps);
    fill_ops(s.r.tofOps);
    s.r.add_sensors();
    for (const Case& c : cases) {
        take_calls();
        uint32 v = 5;
        EXPECT_EQ(Custom_RgbControl(c.address, &v), 0);
        auto got = take_calls();
        std::vector<std::string> want;
        if (!c.call.empty()) want.push_back(c.call);
        EXPECT_EQ(got, want) << std::hex << c.address;
    }
}

TEST(SensorControl, ToFRegistersReachTheirOperationPerSensorKind)
{
    struct Case {
        uint32 kind, address;
        std::vector<std::string> calls;
        uint32 nInteA;  // the ToF nInteA word afterwards
    } cases[] = {
        {E_GPIXEL_0503, 0x1000203C, {"set_hfilp:tof:9"}, 0},
        {E_GPIXEL_0503, 0x10002040, {"set_vfilp:tof:9"}, 0},
        {E_GPIXEL_0503, 0x10002044, {"set_gain:tof:9"}, 0},
        {E_GPIXEL_0503, 0x100020E0, {"vld_enable:tof:9"}, 0},
        {E_GPIXEL_0503, 0x100020E4, {"start_stop_stream:tof:9"}, 0},
        {E_GPIXEL_0503, 0x1000206C, {"set_first_freq:tof:9"}, 0},
        {E_GPIXEL_0503, 0x10002070, {"set_second_freq:tof:9"}, 0},
        {E_IMX570, 0x1000209C, {"set_n_inte_length_f0:tof:9"}, 9},
        {E_VD55H1, 0x1000209C, {"set_n_inte_length_f0:tof:9"}, 0},
        {E_GPIXEL_0503, 0x1000209C, {}, 0},
        {E_IMX570, 0x100020A0, {"set_n_inte_length_f2:tof:9"}, 0},
        {E_VD55H1, 0x100020A0, {"set_n_inte_length_f1:tof:9"}, 0},
        {E_GPIXEL_0503, 0x100020A0, {}, 0},
        {E_IMX570, 0x10007020, {"set_background_amp:tof:9"}, 0},
        {E_GPIXEL_0503, 0x10007020, {}, 0},
        {E_GPIXEL_0503, 0x10002048, {}, 0},
        {E_GPIXEL_0503, 0x1000102C, {}, 0},
    };
    Stream s;
    fill_ops(s.r.tofOps);
    fill_ops(s.r.rgbOps);
    s.r.add_sensors();
    for (const Case& c : cases) {
        s.r.tof().sensorType = c.kind;
        s.r.tof().nInteA = 0;
        take_calls();
        uint32 v = 9;
        EXPECT_EQ(Custom_TofControl(c.address, &v), 0);
        EXPECT_EQ(take_calls(), c.calls) << c.kind << " 0x" << std::hex << c.address;
        EXPECT_EQ(s.r.tof().nInteA, c.nInteA) << c.kind << " 0x" << std::hex << c.address;
    }
    // The frame rate is remembered as the one handed to the sensor.
    uint32 fps = 25;
    Custom_TofControl(0x1000202C, &fps);
    EXPECT_EQ(take_calls(), std::vector<std::string>{"set_fps:tof:25"});
    EXPECT_EQ(g_tof_fps.load(), 25u);
    // Registers of other pages handed over with their address.
    for (uint32 a : {0x10007044u, 0x10000078u, 0x1000007Cu, 0x10000080u, 0x1000009Cu, 0x100000A8u, 0x100000ACu,
                     0x100000B0u, 0x100000CCu, 0x100000E0u, 0x100000F4u, 0x1000010Cu, 0x10000110u}) {
        uint32 v = 3;
        Custom_TofControl(a, &v);
        EXPECT_EQ(take_calls(), std::vector<std::string>{"set_other_params:tof:3:" + std::to_string(a)})
            << std::hex << a;
    }
    // Flips read back from the driver.
    uint32 h = 0, vf = 0, none = 42;
    EXPECT_EQ(Custom_getTofStatus(0x1000203C, &h), 0);
    EXPECT_EQ(Custom_getTofStatus(0x10002040, &vf), 0);
    EXPECT_EQ(Custom_getTofStatus(0x10002044, &none), 0);
    EXPECT_EQ(h, 7u);
    EXPECT_EQ(vf, 8u);
    EXPECT_EQ(none, 42u);
}

TEST(SensorControl, NothingHappensWithoutTheDeviceItsTableOrTheOperation)
{
    const uint32 tofAddresses[] = {0x1000202C, 0x1000203C, 0x1000206C, 0x10002050, 0x1000209C, 0x10007044};
    for (int setup = 0; setup < 3; setup++) {
        Stream s;
        s.r.tof().sensorType = E_IMX570;
        if (setup == 1) {
            s.r.add_device(E_DEVICE_TOF, nullptr);
            s.r.add_device(E_DEVICE_RGB, nullptr);
        } else if (setup == 2) {
            s.r.tofOps = V4L2SensorInfo{};
            s.r.rgbOps = V4L2SensorInfo{};
            s.r.add_sensors();
        }
        g_tof_fps = 0;
        take_calls();
        for (uint32 a : tofAddresses) {
            uint32 v = 1234;
            EXPECT_EQ(Custom_TofControl(a, &v), 0) << std::hex << a;
        }
        uint32 v = 1;
        EXPECT_EQ(Custom_RgbControl(0x1000102C, &v), 0);
        uint32 flip = 42;
        EXPECT_EQ(Custom_getTofStatus(0x1000203C, &flip), 0);
        EXPECT_EQ(flip, 42u);
        EXPECT_EQ(take_calls().size(), 0u) << "setup " << setup;
        EXPECT_EQ(g_tof_fps.load(), 0u) << "setup " << setup;
        EXPECT_EQ(s.r.tof().nInteA, 0u) << "setup " << setup;
    }
}

TEST(SensorControl, TheThirdFrequencyProgramsAllThreeAndWritesTheDriversChoiceBack)
{
    struct Case {
        uint32 a, b, c, value;
        int result;
        uint32 driverFirst;
        std::string call;
        int rc;
        uint32 aAfter, bAfter, cAfter;
    } cases[] = {
        {80, 60, 0, 40, 1, 0, "set_all_freq:tof:80,60,40", 0, 80, 60, 40},
        // 0 re-applies the stored third frequency.
        {80, 60, 30, 0, 1, 0, "set_all_freq:tof:80,60,30", 0, 80, 60, 30},
        {80, 60, 30, 40, 1, 99, "set_all_freq:tof:80,60,40", 0, 99, 60, 40},
        // A refusal (low half zero) leaves the registers and answers 2.
        {80, 60, 30, 40, 0x10000, 99, "set_all_freq:tof:80,60,40", 2, 80, 60, 30},
    };
    for (const Case& c : cases) {
        Stream s;
        fill_ops(s.r.tofOps);
        s.r.add_sensors();
        s.r.tof().sensorType = E_IMX570;
        s.r.tof().groupAFreq = c.a;
        s.r.tof().groupBFreq = c.b;
        s.r.tof().groupCFreq = c.c;
        s_allFreqResult = c.result;
        s_allFreqFirst = c.driverFirst;
        take_calls();
        uint32 v = c.value;
        EXPECT_EQ(Custom_TofControl(0x10002050, &v), c.rc) << c.call;
        EXPECT_EQ(take_calls(), std::vector<std::string>{c.call});
        EXPECT_EQ(s.r.tof().groupAFreq, c.aAfter) << c.call;
        EXPECT_EQ(s.r.tof().groupBFreq, c.bAfter) << c.call;
        EXPECT_EQ(s.r.tof().groupCFreq, c.cAfter) << c.call;
    }
}

// The IMX570 has no per-frequency operation, so a later first or second
// frequency must reach the sensor through the third's write and not be
// reverted by an earlier one.
TEST(SensorControl, ALaterFirstFrequencyIsNotRevertedByTheThird)
{
    Stream s;
    fill_ops(s.r.tofOps);
    s.r.tofOps.set_first_freq = nullptr;
    s.r.tofOps.set_second_freq = nullptr;
    s.r.add_sensors();
    s.r.tof().sensorType = E_IMX570;
    s.r.tof().groupAFreq = 80;
    s.r.tof().groupBFreq = 60;
    uint32 c = 40;
    Custom_TofControl(0x10002050, &c);
    // A host writes the first frequency: nothing to call, the word is stored.
    uint32 a = 90;
    Custom_TofControl(0x1000206C, &a);
    s.r.tof().groupAFreq = a;
    take_calls();
    Custom_TofControl(0x10002050, &c);
    EXPECT_EQ(take_calls(), std::vector<std::string>{"set_all_freq:tof:90,60,40"});
    EXPECT_EQ(s.r.tof().groupAFreq, 90u);
}

} // namespace
