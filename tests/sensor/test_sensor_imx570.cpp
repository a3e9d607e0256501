// The IMX570 driver on the simulated rk3568-imx570 board: table counting
// and the frequency join, the CPLD word sequences of each mode and trigger,
// embedded-row decoding, group order and the exposure checks of the capture
// variants, integration times, node formats, frame timing guards, the
// software trigger, output-line control and the integration-time task.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <future>
#include <initializer_list>

#include "GigE/gvcp.h"
#include "common/regtest.h"
#include "sensor/capturerig.h"
#include "common/stream_ctrl.h"
#include "platform.h"
#include "sensor/sensor_imx570.h"
#include "sensor/sensor_integration.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "platform/camera.h"
#include "simboard.h"

namespace {

using pumptest::wait_until;

constexpr const char* kVideo = "/dev/video0";
constexpr const char* kSensor = "m01_b_imx570 3-0010";
constexpr uint32_t kPhase = 640 * 480 * 2;
constexpr uint32_t kBlock = 640 * 483 * 2;

uint32_t word(uint32_t v, uint32_t c) { return v << 8 | c; }

struct Rig {
    regtest::RegSpace r{"rk3568-imx570"};
    std::vector<worker_t*> fakes;
    iodev_t* dev = nullptr;
    int epfd = -1;
    int ctl = -1; // the test's own descriptor on the sensor sub-device

    explicit Rig(int rawPhases = 18, int units = 3)
    {
        epcore_t* c = r.core;
        c->raw = algotest::make_pool((int)sizeof(ImageInfo) + rawPhases * (int)kPhase, units);
        c->rgb = algotest::make_pool((int)sizeof(ImageInfo) + 64, 2);
        c->depth = algotest::make_pool(algotest::FrameCore::kDepthUnit, 2);
        c->applation_algo = algotest::make_pool((int)sizeof(ImageInfo) + 64, 2);
        c->applation_algo_result = algotest::make_pool(204, 4);
        r.run.cpuId = E_CPU_RK3568;
        r.run.devBoardVersion = E_BOARD_VERSION_V1_1;
        r.run.devLogic = 0;
        r.tof().sensorType = E_IMX570;
        r.rgb().sensorType = E_SENSOR_NONE;
        r.tof().nInteA = 800;
        r.tof().nInteB = 400;
        r.tof().fps = 15;
        r.tof().groupAFreq = 120;
        r.tof().groupBFreq = 20;
        r.tof().groupCFreq = 48;
        r.common().bindingRatio = 80;
        r.common().highthr = 2000;
        g_permit_conn_user_count = 1;
        stream_ctrl_reset();
        sim_camera_set_mode(kVideo, SIM_CAMERA_STEPPED);
        sim_sensor_log_clear(kSensor);
        frequencyAllInfoDeinit(getFrequencyAllInfo());
    }
    ~Rig()
    {
        if (ctl >= 0) plat_close(ctl);
        close_sensor();
        epcore_t* c = r.core;
        c->quit.store(1);
        EXPECT_TRUE(wait_until([&] { return workers() == (int)fakes.size(); }));
        for (worker_t* wk : fakes) worker_thread_del(c, wk), worker_free(wk);
        for (bpool_t** p : {&c->raw, &c->rgb, &c->depth, &c->applation_algo, &c->applation_algo_result})
            bpool_clean(*p), *p = nullptr;
        frequencyAllInfoDeinit(getFrequencyAllInfo());
        for (int g = 0; g < 3; g++) sim_sensor_group_index(kSensor, g, -1);
        stream_ctrl_reset();
        sim_faults_clear();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    int workers() { return capturerig::worker_count(r.core); }
    worker_t* fake_worker(uint64_t id)
    {
        fakes.push_back(capturerig::stand_in(r.core, id));
        return fakes.back();
    }

    // The sensor streaming as the task's configuration leaves it.
    bool open_sensor()
    {
        if (sensor_imx570_init(r.core, E_DEVICE_TOF, &dev) != 0) return false;
        run_tof_sensor();
        epfd = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        epoll_ctl(epfd, EPOLL_CTL_ADD, dev->fd, &ev);
        sensor_imx570_gpio_control(dev->subdevFd, 0, nullptr);
        sim_sensor_log_clear(kSensor);
        return sensor_start_capturing(dev) == 0;
    }
    void close_sensor()
    {
        if (epfd >= 0) close(epfd), epfd = -1;
        if (!dev) return;
        sensor_stop_capturing(dev);
        g_ctrlFd = -1;
        sensor_uninit(dev);
        dev = nullptr;
    }
    V4L2SensorInfo* info() { return static_cast<V4L2SensorInfo*>(dev->priv_data); }
    int frame()
    {
        sim_camera_step(kVideo, 1);
        return dev->callback(r.core, dev, EVT_READ, dev->fdtype);
    }
    // A sensor draws each picture of a new setting (length, exposure) the
    // first time, which can take a loaded sanitizer build longer than a
    // capture waits for its exposure: every picture a test will step while
    // the capture waits is drawn and given back beforehand, one per CPLD
    // word that sets it, and the words leave no trace in the log.
    void warm(std::initializer_list<uint32_t> settings = {})
    {
        auto draw = [&] {
            ASSERT_EQ(sim_camera_step(kVideo, 1), 1);
            SensorCapture cap;
            ASSERT_EQ(sensor_dequeue(dev, &cap), 0);
            sensor_requeue(dev, &cap);
        };
        draw();
        for (uint32_t w : settings) {
            board_word(w);
            draw();
        }
        sim_sensor_log_clear(kSensor);
    }
    // The capture callback on its own thread, as it waits on the sensor.
    std::future<int> callback_async()
    {
        return std::async(std::launch::async, [this] { return dev->callback(r.core, dev, epfd, 0); });
    }
    // One more sensor frame, then until CPLD word `w` has gone out `n` times.
    bool step_until(uint32_t w, int n)
    {
        sim_camera_step(kVideo, 1);
        return wait_until([&] { return count_word(w) == n; });
    }
    // Sends a CPLD word as if the board had changed its mind.
    void board_word(uint32_t w)
    {
        if (ctl < 0) {
            sim_sensor_state_t st;
            sim_sensor_state(kSensor, &st);
            ctl = plat_open(st.subdev, O_RDWR);
        }
        ASSERT_EQ(plat_ioctl(ctl, SENSOR_IOC_CPLD_WORD, &w), 0);
    }

    unsigned sreg(unsigned addr)
    {
        unsigned v = 0;
        sim_sensor_get_reg(kSensor, addr, &v);
        return v;
    }
    uint32_t sreg32(unsigned addr)
    {
        return sreg(addr) << 24 | sreg(addr + 1) << 16 | sreg(addr + 2) << 8 | sreg(addr + 3);
    }
    std::vector<sim_sensor_write_t> log_of(int kind)
    {
        std::vector<sim_sensor_write_t> out;
        for (size_t i = 0, n = sim_sensor_log_count(kSensor); i < n; i++) {
            sim_sensor_write_t w;
            if (sim_sensor_log_get(kSensor, i, &w) == 0 && w.kind == kind) out.push_back(w);
        }
        return out;
    }
    // CPLD words; `lines` keeps the output-line words too.
    std::vector<uint32_t> words(bool lines = false)
    {
        std::vector<uint32_t> out;
        for (auto& w : log_of(SIM_SENSOR_CPLD_WORD))
            if (lines || (w.value & 0xFF) != 0x02) out.push_back(w.value);
        return out;
    }
    int count_word(uint32_t w)
    {
        auto all = words(true);
        return (int)std::count(all.begin(), all.end(), w);
    }
    int reg_writes(unsigned addr)
    {
        int n = 0;
        for (auto& w : log_of(SIM_SENSOR_REG)) n += w.addr == addr;
        return n;
    }
    void put_file(const char* path, const std::string& text) { ASSERT_TRUE(write_host_file(r.board.host(path), text)); }
};

TEST(Imx570Tables, CountsAreRowsReadLessOneAndAnyEmptyTableReleasesAll)
{
    struct Case {
        const char* what;
        std::string freq, imxck, phase;
        bool loaded;
        int freqNum, ckNum, phaseNum;
        const char* message;
    } cases[] = {
        {"two rows each", "100,120,100,1\n99,120,99,1\n", "120,6,300\n96,4,240\n", "1,0,16\n1,64,16\n", true, 1, 1, 1,
         "get freq .csv line num:1 1 1"},
        {"a one-row clock file", "100,120,100,1\n99,120,99,1\n", "120,6,300\n", "1,0,16\n1,64,16\n", false, 0, 0, 0,
         "get .csv contex error"},
        {"a short line", "100,120,100\n99,120,99,1\n", "120,6,300\n96,4,240\n", "1,0,16\n1,64,16\n", false, 0, 0, 0,
         "error csv line"},
        {"a missing file", "", "120,6,300\n96,4,240\n", "1,0,16\n1,64,16\n", false, 0, 0, 0, ".csv file empty"},
    };
    for (const Case& c : cases) {
        Rig rig;
        unlink(rig.r.board.host(IMX570_FREQ_FILE_4PH).c_str());
        if (!c.freq.empty()) rig.put_file(IMX570_FREQ_FILE_4PH, c.freq);
        rig.put_file(IMX570_IMXCK_FILE, c.imxck);
        rig.put_file(IMX570_PHASE_FILE_4PH, c.phase);
        frequencyAllInfoDeinit(getFrequencyAllInfo());
        freqAllInfo* t = getFrequencyAllInfo();
        EXPECT_EQ(t != nullptr, c.loaded) << c.what;
        EXPECT_TRUE(rig.r.log.has(c.message)) << c.what;
        if (t) {
            EXPECT_EQ(t->getFreqNum, c.freqNum) << c.what;
            EXPECT_EQ(t->getImxckNum, c.ckNum) << c.what;
            EXPECT_EQ(t->getPhaseNum, c.phaseNum) << c.what;
        }
    }
}

TEST(Imx570Tables, ConsecutiveRowsOfOneFrequencyFormAGroupAndLimitsHold)
{
    Rig rig;
    rig.put_file(IMX570_FREQ_FILE_4PH, "150,120,150,1\n150,96,150,2\n149,96,149,1\n150,120,150,1\n");
    freqAllInfo* t = getFrequencyAllInfo();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->freqGroup[0].groupIndex, 0);
    EXPECT_EQ(t->freqGroup[0].num, 2);
    EXPECT_EQ(t->freqGroup[1].groupIndex, 2);
    EXPECT_EQ(t->freqGroup[1].num, 1);
    // The same frequency after another one starts a group of its own.
    EXPECT_EQ(t->freqGroup[2].groupIndex, 3);
    frequencyAllInfoDeinit(t);

    std::string many;
    for (int f = 300; f > 150; f--) many += std::to_string(f) + ",120," + std::to_string(f) + ",1\n";
    rig.put_file(IMX570_FREQ_FILE_4PH, many);
    EXPECT_EQ(getFrequencyAllInfo(), nullptr);
    EXPECT_TRUE(rig.r.log.has(".csv freq too much:149"));

    std::string phases;
    for (int i = 0; i < 60; i++) phases += "1,0,16\n";
    rig.put_file(IMX570_FREQ_FILE_4PH, "100,120,100,1\n99,120,99,1\n");
    rig.put_file(IMX570_PHASE_FILE_4PH, phases);
    t = getFrequencyAllInfo();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(rig.r.log.has(".csv line more than 49"));
    EXPECT_EQ(t->getPhaseNum, 48);
}

TEST(Imx570Frequencies, TheJoinTakesTheFirstRowWhoseClockEveryFrequencyHas)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    // 4-phase: group number 150 - f. Frequency 150 has rows on clocks 96
    // and 120, 149 only on 120, 148 only on 96.
    rig.put_file(IMX570_FREQ_FILE_4PH, "150,96,11,1\n150,120,12,2\n149,120,21,2\n148,96,31,1\n147,77,41,1\n");
    rig.put_file(IMX570_IMXCK_FILE, "96,4,240\n120,6,300\n130,7,310\n");
    rig.put_file(IMX570_PHASE_FILE_4PH,
                 "1,10,16\n1,11,16\n1,12,16\n1,13,16\n2,20,26\n2,21,26\n2,22,26\n2,23,26\n3,0,0\n");
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    struct Case {
        uint32_t mode, f1, f2, f3;
        int rc;
        const char* message;
        std::vector<unsigned> regs; // 8524, 8525, 8580, 8584, 4169
    } cases[] = {
        {1, 150, 149, 0, 1, "freq1:150 120 12 2", {12, 21, 26, 20, 300 & 255}},
        {1, 150, 148, 0, 1, "freq1:150 96 11 1", {11, 31, 16, 10, 240}},
        {1, 149, 148, 0, 0, "error:IMCLK is diff 149 148", {0, 0, 0, 0, 0}},
        {0, 2, 0, 0, 0, "freq1 error:2", {0, 0, 0, 0, 0}},
        {1, 150, 2, 0, 0, "freq2 error:2", {0, 0, 0, 0, 0}},
        // Frequencies whose group was never loaded.
        {0, 10, 0, 0, 0, "freq1 error:10", {0, 0, 0, 0, 0}},
        {2, 150, 160, 0, 0, "freq2 error:160", {0, 0, 0, 0, 0}},
        // Clock 77 is not in the clock table.
        {0, 147, 0, 0, 0, "unknown error", {0, 0, 0, 0, 0}},
    };
    const unsigned addrs[] = {8524, 8525, 8580, 8584, 4169};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.f1) + "," + std::to_string(c.f2));
        rig.r.tof().freqMode = c.mode;
        for (unsigned a : addrs) sim_sensor_set_reg(kSensor, a, 0);
        uint32_t f[3] = {c.f1, c.f2, c.f3};
        EXPECT_EQ(o->set_all_freq(rig.dev, f), c.rc);
        EXPECT_TRUE(rig.r.log.has(c.message));
        std::vector<unsigned> got;
        for (unsigned a : addrs) got.push_back(rig.sreg(a));
        EXPECT_EQ(got, c.regs);
    }
    uint32_t again[3] = {150, 149, 0};
    rig.r.tof().freqMode = 1;
    EXPECT_EQ(o->set_all_freq(rig.dev, again), 1);
    EXPECT_EQ(rig.sreg(4168), 1u); // clock 120's third column, 300 >> 8
    EXPECT_EQ(rig.sreg(4170), 6u);
}

TEST(Imx570Frequencies, PhaseRowsStayInsideTheTable)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    // Key 2 has only two rows, and key 3 starts on the table's last row.
    std::string phase = "1,10,16\n1,11,16\n1,12,16\n1,13,16\n2,20,26\n2,21,26\n";
    for (int i = 6; i < 48; i++) phase += "9,0,0\n";
    phase += "3,30,36\n";
    rig.put_file(IMX570_FREQ_FILE_4PH, "150,120,11,2\n149,120,12,3\n148,120,13,1\n");
    rig.put_file(IMX570_PHASE_FILE_4PH, phase);
    ASSERT_TRUE(rig.open_sensor());
    rig.r.tof().freqMode = 0;
    for (uint32_t f : {150u, 149u}) {
        uint32_t list[3] = {f, 0, 0};
        EXPECT_EQ(rig.info()->set_all_freq(rig.dev, list), 0) << f;
    }
    EXPECT_TRUE(rig.r.log.has("find phase error,can't find CTRLPH_LSR:2"));
    EXPECT_TRUE(rig.r.log.has("find phase error,can't find CTRLPH_LSR:3"));
    uint32_t ok[3] = {148, 0, 0};
    EXPECT_EQ(rig.info()->set_all_freq(rig.dev, ok), 1);
    EXPECT_EQ(rig.sreg(8587), 13u);
}

TEST(Imx570Frequencies, EachSetUpReadsTheTablesOfItsOwnPhaseSetting)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    // One row per frequency from the limit down, so group limit - f is f's;
    // its third column (the frequency register) is f itself.
    auto freq_file = [](int limit, int lowest) {
        std::string t;
        for (int f = limit; f >= lowest; f--) t += std::to_string(f) + ",120," + std::to_string(f) + ",1\n";
        return t + "0,0,0,0\n";
    };
    rig.put_file(IMX570_FREQ_FILE_4PH, freq_file(150, 60));
    rig.put_file(IMX570_FREQ_FILE_3PH, freq_file(100, 20));
    rig.put_file(IMX570_PHASE_FILE_4PH, "1,0,16\n1,64,16\n1,128,16\n1,192,16\n9,0,0\n");
    rig.put_file(IMX570_PHASE_FILE_3PH, "1,0,16\n1,85,16\n1,170,16\n9,0,0\n");
    rig.put_file(IMX570_IMXCK_FILE, "120,6,300\n0,0,0\n");
    rig.r.tof().freqMode = 0;
    // Set-ups one after the other in one process, the phase setting changed
    // between them: each writes its own frequency and phase registers.
    struct Step { uint32_t phaseOptions, freq; std::vector<unsigned> phases; } steps[] = {
        {0, 80, {0, 64, 128, 192}},
        {1, 30, {0, 85, 170}},
        {0, 120, {0, 64, 128, 192}},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE("phaseOptions " + std::to_string(st.phaseOptions) + ", " + std::to_string(st.freq) + " MHz");
        rig.r.common().phaseOptions = st.phaseOptions;
        ASSERT_TRUE(rig.open_sensor());
        for (unsigned a = 8584; a < 8588; a++) sim_sensor_set_reg(kSensor, a, 7);
        uint32_t f[3] = {st.freq, 0, 0};
        EXPECT_EQ(rig.info()->set_all_freq(rig.dev, f), 1);
        EXPECT_EQ(rig.sreg(8524), st.freq);
        std::vector<unsigned> got;
        for (unsigned k = 0; k < st.phases.size(); k++) got.push_back(rig.sreg(8584 + k));
        EXPECT_EQ(got, st.phases);
        rig.close_sensor();
    }
}

TEST(Imx570Task, EachModeAndTriggerSendsItsCpldWords)
{
    const uint32_t lenA = word(800, 8), lenB = word(400, 16), ratio = word(80, 64), ratio2 = word(100, 19);
    const uint32_t rate = word(15, 32);
    struct Case {
        const char* what;
        uint32_t mode, M, E;
        std::vector<uint32_t> golden;
    } cases[] = {
        {"single, free run", 0, 0, 0, {6, 266, 4, 521, ratio2}},
        {"dual hdr, free run", 3, 0, 0, {6, 266, 4, 384, 521, rate, ratio, ratio2, rate, lenB, lenA}},
        {"dual hdr, software trigger", 3, 1, 0,
         {6, 266, 257, 4, lenB, lenA, 128, rate, ratio, ratio2, rate, lenB, 128, lenA, 128}},
        {"single, hardware trigger", 0, 2, 0, {6, 266, 257, ratio2, word(5, 3), word(2, 5)}},
        {"dual hdr, multi-camera", 3, 0, 1,
         {262, 266, 4, lenB, lenA, 777, 7, word(24, 32), ratio, ratio2, word(24, 32), lenA}},
        {"three exposures", 6, 0, 0,
         {6, 266, 4, 521, 12, 13, 14, ratio, ratio2, word(800, 20), word(400, 21), word(400, 21), word(800, 20), 15,
          17}},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.fake_worker(E_WORKER_ID_ALGO);
        rig.r.tof().freqMode = c.mode;
        rig.r.common().masterSlaveMode = c.M;
        rig.r.common().enableMultiMachine = c.E;
        rig.r.common().trigDelay = 5;
        rig.r.common().trigFrame = 2;
        rig.r.common().hardwareFilterTime = 7;
        rig.r.common().trigPeriod = 9;
        Custom_StartOrStopStream(1);
        ASSERT_TRUE(wait_until([&] { return rig.r.log.has("before epoll wait"); })) << c.what;
        ASSERT_TRUE(wait_until([&] { return rig.words().size() >= c.golden.size(); })) << c.what;
        auto w = rig.words();
        w.resize(c.golden.size());
        EXPECT_EQ(w, c.golden) << c.what;
        auto trig = rig.log_of(SIM_SENSOR_TRIGGER);
        EXPECT_EQ(trig.size(), c.M == 2 ? 2u : 0u) << c.what;
        Custom_StartOrStopStream(0);
        EXPECT_TRUE(rig.r.log.has("end tof task")) << c.what;
    }
}

TEST(Imx570Task, LineRequestsRacingRepeatedTeardownsAreSafe)
{
    // The CAN/IO test drives and reads the output lines from its own thread
    // while the capture task starts and ends, closing the sub-device the
    // line requests go through.
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    rig.r.tof().freqMode = 0;
    struct Lines {
        std::atomic<bool> done{false};
        std::thread t;
        Lines()
            : t([this] {
                  while (!done.load()) {
                      for (uint32_t k = 0; k < 4; k++) {
                          uint32_t out = k, in = 0;
                          gpio_control(-1, 0, &out);
                          gpio_control(-1, 1, &in);
                      }
                      std::this_thread::sleep_for(std::chrono::microseconds(500));
                  }
              })
        {
        }
        ~Lines()
        {
            done = true;
            t.join();
        }
    };
    {
        Lines lines;
        for (int cycle = 0; cycle < 8; cycle++) {
            Custom_StartOrStopStream(1);
            ASSERT_TRUE(wait_until([&] { return rig.r.log.has("before epoll wait"); })) << cycle;
            sim_sensor_log_clear(kSensor);
            // Line requests reach the live sub-device before it goes.
            ASSERT_TRUE(wait_until([&] { return rig.count_word(0x102) >= 3; })) << cycle;
            Custom_StartOrStopStream(0);
            EXPECT_EQ(epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_SENSOR), nullptr) << cycle;
        }
    }
    uint32_t v = 0;
    EXPECT_EQ(gpio_control(-1, 1, &v), 0u) << "no descriptor once the task has ended";
    EXPECT_TRUE(rig.r.log.has("subdevFd error"));
}

TEST(Imx570Task, BoardVersionTwoDrivesTheCpldOverI2c)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    rig.r.run.devBoardVersion = E_BOARD_VERSION_V2_3;
    rig.r.tof().freqMode = 0;
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("before epoll wait"); }));
    unsigned mode = 0, capture = 0;
    EXPECT_TRUE(wait_until([&] {
        sim_i2c_get_reg(3, 0x11, 51, &capture);
        return capture == 1;
    }));
    sim_i2c_get_reg(3, 0x11, 19, &mode);
    EXPECT_EQ(mode, 4u);
    EXPECT_TRUE(rig.r.log.has("cplddev in stream mode"));
    Custom_StartOrStopStream(0);
    sim_i2c_get_reg(3, 0x11, 51, &capture);
    EXPECT_EQ(capture, 0u);
}

TEST(Imx570Task, FiveFailedSetUpsAskForAReboot)
{
    Rig rig; // no worker 512: every set-up fails
    size_t before = sim_journal_count();
    Custom_StartOrStopStream(1);
    EXPECT_GE(sim_journal_wait("reboot", before, 10000), 0);
    EXPECT_TRUE(rig.r.log.has("need reboot"));
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_SENSOR) == nullptr; }));
    Custom_StartOrStopStream(0);
}

TEST(Imx570Setup, TheNodeFormatFollowsModeAndPhases)
{
    struct Case { uint32_t mode, phaseOptions, height, phases; } cases[] = {
        {0, 1, 1449, 3}, {0, 0, 1932, 4}, {6, 0, 2898, 3}, {5, 0, 5796, 4}, {1, 2, 2898, 3}, {3, 0, 3864, 4},
    };
    for (const Case& c : cases) {
        std::string what = "mode " + std::to_string(c.mode) + " phases " + std::to_string(c.phaseOptions);
        Rig rig;
        rig.fake_worker(E_WORKER_ID_ALGO);
        rig.r.tof().freqMode = c.mode;
        rig.r.common().phaseOptions = c.phaseOptions;
        ASSERT_TRUE(rig.open_sensor()) << what;
        EXPECT_EQ(rig.info()->height, c.height) << what;
        sim_sensor_state_t st;
        sim_sensor_state(kSensor, &st);
        EXPECT_EQ(st.height, c.height) << what;
        EXPECT_EQ(g_phaseOptions.load() != 0 ? 3u : 4u, c.phases) << what;
    }
}

// Packs 126 bytes into 84 12-bit samples as the sensor does.
void pack_row(uint16_t* row, const uint8_t* bytes)
{
    for (int i = 0; i < 42; i++) {
        const uint8_t* b = bytes + i * 3;
        row[i * 2] = (uint16_t)(b[0] << 4 | b[2] >> 4);
        row[i * 2 + 1] = (uint16_t)(b[1] << 4 | (b[2] & 15));
    }
}

TEST(Imx570Embedded, RowsUnpackToIndexIntegrationExposureAndTemperature)
{
    algotest::Registers regs;
    for (uint16_t p : {3, 4}) {
        std::vector<uint16_t> buf((size_t)2 * p * kBlock / 2, 0);
        auto ebd = [&](int block, int row) { return buf.data() + ((size_t)block * kBlock + kPhase) / 2 + row * 640; };
        uint8_t r0[126] = {}, r1[126] = {}, r2[126] = {}, next[126] = {};
        r1[48] = 1;
        uint32_t count = 1234 * 120 + 7;
        r1[87] = (uint8_t)(count >> 24), r1[90] = (uint8_t)(count >> 16), r1[93] = (uint8_t)(count >> 8),
        r1[96] = (uint8_t)count;
        r2[9] = 3;
        next[48] = 0;
        pack_row(ebd(0, 1), r1);
        pack_row(ebd(0, 2), r2);
        pack_row(ebd(p, 1), next);
        for (int8_t t : {40, 41, -2, 43, 44}) {
            r0[111] = (uint8_t)t;
            pack_row(ebd(0, 0), r0);
            uint16_t out[3] = {0, 0, 0};
            sensor_imx570_ebd_parse(ebd(0, 0), p, out);
            EXPECT_EQ(out[0], 1) << p;
            EXPECT_EQ(out[1], 0) << p;
            EXPECT_EQ(out[2], 1234) << p;
        }
        EXPECT_FLOAT_EQ(regs.tof().temperature, 33.2f) << p;
        uint16_t triple[3] = {11, 0, 0};
        sensor_imx570_ebd_parse(ebd(0, 0), p, triple);
        EXPECT_EQ(triple[2], 3) << p;
    }
}

TEST(Imx570Capture, GroupsAreStoredInIndexOrderAndABadIndexDropsTheFrame)
{
    struct Case { uint32_t mode; int groups; } cases[] = {{1, 2}, {5, 3}};
    for (const Case& c : cases) {
        std::string what = "mode " + std::to_string(c.mode);
        Rig rig(12, 3);
        worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
        rig.r.tof().freqMode = c.mode;
        ASSERT_TRUE(rig.open_sensor()) << what;
        sim_sensor_set_reg(kSensor, 8524, 100);
        sim_sensor_set_reg(kSensor, 8525, 50);
        sim_sensor_set_reg(kSensor, 8526, 30);
        ASSERT_EQ(rig.frame(), 0) << what;
        ImageInfo* a = frame_take(algo);
        ASSERT_NE(a, nullptr) << what;
        EXPECT_EQ(a->imageSize, kPhase * 4 * c.groups) << what;
        EXPECT_EQ(a->height, 480u * 4 * c.groups) << what;
        EXPECT_EQ(a->pixelFormat, 0x01100005u) << what;
        // The sensor delivers its groups in reverse: the frame is the same.
        for (int g = 0; g < c.groups; g++) sim_sensor_group_index(kSensor, g, c.groups - 1 - g);
        ASSERT_EQ(rig.frame(), 0) << what;
        ImageInfo* b = frame_take(algo);
        ASSERT_NE(b, nullptr) << what;
        EXPECT_EQ(memcmp(a->imageData, b->imageData, a->imageSize), 0) << what;
        EXPECT_NE(memcmp(a->imageData, a->imageData + 4 * kPhase, kPhase), 0) << what << ": groups differ";
        free_image(rig.r.core, a);
        free_image(rig.r.core, b);
        // An index out of range drops the frame.
        sim_sensor_group_index(kSensor, 0, 0);
        sim_sensor_group_index(kSensor, 1, c.groups == 2 ? 2 : 1);
        sim_sensor_group_index(kSensor, 2, 3);
        ASSERT_EQ(rig.frame(), 0) << what;
        EXPECT_EQ(frame_take(algo), nullptr) << what;
        EXPECT_TRUE(rig.r.log.has(c.groups == 2 ? "imageDataIdx error:0,2" : "imageDataIdx error:0,1,3")) << what;
        EXPECT_EQ(bpool_fetched_num(rig.r.core->raw), 0) << what;
    }
}

TEST(Imx570Capture, AMismatchingExposureIsRetakenExactlyOnce)
{
    for (bool secondMismatch : {false, true}) {
        std::string what = secondMismatch ? "two mismatches" : "one mismatch";
        Rig rig(16, 3);
        worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
        rig.r.tof().freqMode = 3;
        ASSERT_TRUE(rig.open_sensor()) << what;
        const uint32_t lenA = word(800, 8), lenB = word(400, 16);
        rig.warm({word(999, 8), lenA, lenB});
        auto call = rig.callback_async();
        ASSERT_TRUE(wait_until([&] { return rig.count_word(lenA) == 1; })) << what;
        rig.board_word(word(999, 8)); // the sensor takes the next exposure with another length
        ASSERT_TRUE(rig.step_until(lenA, 2)) << what;
        if (secondMismatch) rig.board_word(word(999, 8));
        ASSERT_TRUE(rig.step_until(lenB, 1)) << what;
        sim_camera_step(kVideo, 1);
        EXPECT_EQ(call.get(), 0) << what;
        EXPECT_EQ(rig.count_word(lenA), 2) << what << ": the length word is sent again once";
        EXPECT_TRUE(rig.r.log.has("drop image H,999!=set(800)")) << what;
        ImageInfo* img = frame_take(algo);
        ASSERT_NE(img, nullptr) << what;
        EXPECT_EQ(img->imageSize, kPhase * 16) << what;
        free_image(rig.r.core, img);
    }
}

TEST(Imx570Capture, ExposureBuffersShortOfBothGroupsAreDroppedUnread)
{
    // Buffers filled to three quarters hold the embedded rows the group
    // indices come from, but not the whole second group.
    struct Case { uint32_t mode, firstWord, secondWord; } cases[] = {
        {3, word(800, 8), word(400, 16)},
        {6, 17, 18},
    };
    for (const Case& c : cases) {
        std::string what = "mode " + std::to_string(c.mode);
        Rig rig(18, 3);
        worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
        rig.r.tof().freqMode = c.mode;
        ASSERT_TRUE(rig.open_sensor()) << what;
        rig.warm({c.firstWord});
        sim_camera_set_faults(kVideo, SIM_CAMERA_SHORT_BUFFERS);
        auto call = rig.callback_async();
        ASSERT_TRUE(rig.step_until(c.firstWord, 1)) << what;
        sim_camera_step(kVideo, 1);
        EXPECT_EQ(call.get(), 0) << what;
        EXPECT_TRUE(rig.r.log.has("short frame:")) << what;
        EXPECT_EQ(rig.count_word(c.secondWord), 0) << what << ": the call ends with the short buffer";
        EXPECT_EQ(frame_take(algo), nullptr) << what;
        EXPECT_EQ(bpool_fetched_num(rig.r.core->raw), 0) << what;
    }
}

TEST(Imx570Capture, ASingleGroupBufferShortOfItsBlocksIsDropped)
{
    // One group has no embedded rows to check: only the byte count tells.
    Rig rig(4, 3);
    worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
    rig.r.tof().freqMode = 0;
    ASSERT_TRUE(rig.open_sensor());
    ASSERT_EQ(rig.frame(), 0);
    ImageInfo* whole = frame_take(algo);
    ASSERT_NE(whole, nullptr) << "a whole buffer is delivered";
    free_image(rig.r.core, whole);
    sim_camera_set_faults(kVideo, SIM_CAMERA_SHORT);
    ASSERT_EQ(rig.frame(), 0);
    EXPECT_TRUE(rig.r.log.has("short frame:"));
    EXPECT_EQ(frame_take(algo), nullptr);
    EXPECT_EQ(bpool_fetched_num(rig.r.core->raw), 0);
}

TEST(Imx570Capture, TheThreeExposureModeChecksEachExposureNumber)
{
    Rig rig(18, 2);
    worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
    rig.r.tof().freqMode = 6;
    ASSERT_TRUE(rig.open_sensor());
    rig.warm({17, 18, 15});
    auto call = rig.callback_async();
    ASSERT_TRUE(wait_until([&] { return rig.count_word(17) == 1; }));
    ASSERT_TRUE(rig.step_until(18, 1));
    rig.board_word(15); // the sensor runs the third exposure instead
    ASSERT_TRUE(rig.step_until(18, 2));
    ASSERT_TRUE(rig.step_until(15, 2));
    sim_camera_step(kVideo, 1);
    EXPECT_EQ(call.get(), 0);
    EXPECT_TRUE(rig.r.log.has("drop image,3!=set(2)"));
    ImageInfo* img = frame_take(algo);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->imageSize, 11059200u);
    free_image(rig.r.core, img);
}

// Each of the three exposures runs at the frequency stored for it, so the
// frame's three first groups carry three frequencies; its three phases take
// their frequencies from the 3-phase tables even after a 4-phase mode had
// the 4-phase ones loaded.
TEST(Imx570Capture, TheThreeExposureModeRunsEachExposureAtItsStoredFrequency)
{
    Rig rig(18, 2);
    rig.fake_worker(E_WORKER_ID_ALGO);
    g_phaseOptions.store(0);
    ASSERT_NE(getFrequencyAllInfo(), nullptr);
    rig.r.tof().freqMode = 6;
    rig.r.tof().groupAFreq = 100;
    ASSERT_TRUE(rig.open_sensor());
    uint32_t freqs[3] = {100, 20, 48};
    rig.info()->set_all_freq(rig.dev, freqs);
    for (auto [word, mhz] : {std::pair<uint32_t, double>{17, 100}, {18, 20}, {15, 48}}) {
        rig.board_word(word);
        sim_sensor_state_t st;
        ASSERT_EQ(sim_sensor_state(kSensor, &st), 0);
        EXPECT_EQ(st.mod_mhz[0], mhz) << word;
        EXPECT_EQ(st.mod_mhz[1], mhz) << word;
    }
}

TEST(Imx570Registers, IntegrationTimesScaleAndGoWhereTheModeSays)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    struct F1 { uint32_t t, ratio, count; } f1[] = {
        {5, 0, 720}, {100, 80, 9600}, {5000, 100, 480000}, {100, 150, 12000}};
    for (const F1& c : f1) {
        rig.r.common().bindingRatio = c.ratio;
        o->set_n_inte_length_f1(rig.dev, c.t);
        EXPECT_EQ(rig.sreg32(8488), c.count) << c.t << " ratio " << c.ratio;
    }
    // Three-exposure mode: lengths are CPLD words.
    rig.r.tof().freqMode = 6;
    sim_sensor_log_clear(kSensor);
    o->set_n_inte_length_f0(rig.dev, 700);
    o->set_n_inte_length_f2(rig.dev, 3);
    EXPECT_EQ(rig.words(), (std::vector<uint32_t>{word(700, 20), word(6, 21)}));
    // Single HDR: the second length lands in F1, and F0 leaves F1 alone.
    rig.r.tof().freqMode = 2;
    o->set_n_inte_length_f2(rig.dev, 300);
    EXPECT_EQ(rig.sreg32(8488), 300u * 120);
    o->set_n_inte_length_f0(rig.dev, 500);
    EXPECT_EQ(rig.sreg32(8484), 500u * 120);
    EXPECT_EQ(rig.sreg32(8488), 300u * 120);
    // With auto exposure the same length twice writes nothing the second time.
    rig.r.tof().enableAutoExposure = 1;
    rig.r.tof().freqMode = 0;
    o->set_n_inte_length_f0(rig.dev, 600);
    sim_sensor_log_clear(kSensor);
    o->set_n_inte_length_f0(rig.dev, 600);
    EXPECT_EQ(rig.reg_writes(8484), 0);
}

TEST(Imx570Registers, FrameRateLimitsAndDivisorsAreGuarded)
{
    struct Limit { uint32_t mode, L, cpu, limit; } limits[] = {
        {0, 400, 1, 30}, {0, 1000, 1, 20}, {0, 3000, 1, 8}, {0, 3100, 1, 8}, {0, 4800, 1, 1}, {3, 100, 1, 30},
        {3, 1000, 1, 24}, {3, 1000, 0, 28}, {3, 6000, 0, 1}, {5, 400, 1, 20}, {5, 1000, 1, 16}, {6, 4000, 1, 30},
    };
    for (const Limit& l : limits)
        EXPECT_EQ(sensor_imx570_fps_limit(l.mode, l.L, l.cpu), l.limit) << l.mode << " " << l.L << " " << l.cpu;

    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    rig.r.tof().freqMode = 0;
    o->set_fps(rig.dev, 15);
    // T = 66667 us; V = T x 1200 / 3200 rounded up to tens, over 10.
    EXPECT_EQ(rig.sreg32(8460), 2500u);
    rig.r.tof().nInteA = 4800; // no rate left: 1
    o->set_fps(rig.dev, 15);
    EXPECT_TRUE(rig.r.log.has("set fps:1"));
    EXPECT_EQ(rig.sreg32(8460), 37500u); // T = 1 s
    sim_sensor_set_reg(kSensor, 8456, 0);
    sim_sensor_set_reg(kSensor, 8457, 0);
    sim_sensor_log_clear(kSensor);
    o->set_fps(rig.dev, 15);
    EXPECT_TRUE(rig.r.log.has("line length 0"));
    EXPECT_EQ(rig.reg_writes(8463), 0);
}

TEST(Imx570Registers, OtherParametersMapToSensorAndCpld)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    o->set_other_params(rig.dev, 500, 0x1000009C);
    for (unsigned a : {5180u, 5182u, 5184u}) EXPECT_EQ(rig.sreg(a), 6u) << a;
    for (unsigned a : {5181u, 5183u, 5185u}) EXPECT_EQ(rig.sreg(a), 0x40u) << a;
    sim_sensor_log_clear(kSensor);
    o->set_other_params(rig.dev, 1, 0x100000B0);
    rig.r.tof().freqMode = 3;
    o->set_other_params(rig.dev, 0, 0x10000080);
    o->set_other_params(rig.dev, 0, 0x100000F4);
    EXPECT_EQ(rig.words(true), (std::vector<uint32_t>{2u << 16 | 0x202, word(100, 64), word(100, 19)}));
    // A null value pointer reads as 0.
    sim_sensor_log_clear(kSensor);
    EXPECT_EQ(sensor_imx570_gpio_control(-1, 0, nullptr), 1u);
    EXPECT_EQ(sensor_imx570_gpio_control(-1, 2, nullptr), 1u);
    EXPECT_EQ(rig.words(true), (std::vector<uint32_t>{0x202, 0x302}));
}

TEST(Imx570Trigger, TheTimerArmsAtOneMillisecondAtLeastAndRefusesWhileArmed)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    rig.r.common().masterSlaveMode = 1;
    rig.r.common().trigPeriod = 10;
    rig.r.common().trigFrame = 3;
    EXPECT_EQ(o->set_other_params(rig.dev, 1, 0x10007044), 0);
    iodev_t* timer = epcore_iodev_find(rig.r.core, 10024);
    ASSERT_NE(timer, nullptr);
    auto timer_state = [&] { itimerspec t{}; EXPECT_EQ(timerfd_gettime(timer->fd, &t), 0); return t; };
    itimerspec its = timer_state();
    EXPECT_EQ(its.it_interval.tv_sec, 0);
    EXPECT_EQ(its.it_interval.tv_nsec, 1000000);
    EXPECT_EQ(rig.count_word(384), 1);
    EXPECT_EQ(o->set_other_params(rig.dev, 1, 0x10007044), -1);
    EXPECT_TRUE(rig.r.log.has("timer running"));
    for (int i = 0; i < 2; i++) trig_timer_handler(rig.r.core, timer, EVT_READ, IODEV_FILE);
    EXPECT_EQ(rig.count_word(384), 3);
    its = timer_state();
    EXPECT_EQ(its.it_value.tv_sec | its.it_value.tv_nsec, 0) << "disarmed after the last frame";
    // Dual HDR triggers a length word and 128; a long delay only arms.
    rig.r.tof().freqMode = 3;
    rig.r.common().trigFrame = 1;
    EXPECT_EQ(o->set_other_params(rig.dev, 1, 0x10007044), 0);
    EXPECT_EQ(rig.count_word(128), 1);
    rig.r.common().trigDelay = 50000;
    EXPECT_EQ(o->set_other_params(rig.dev, 1, 0x10007044), 0);
    EXPECT_GT(timer_state().it_value.tv_nsec, 0);
    EXPECT_EQ(rig.count_word(128), 1);
    // Without the sensor the timer stops itself.
    rig.close_sensor();
    trig_timer_handler(rig.r.core, timer, EVT_READ, IODEV_FILE);
    EXPECT_TRUE(rig.r.log.has("tof pdev is NULL"));
    its = timer_state();
    EXPECT_EQ(its.it_value.tv_sec | its.it_value.tv_nsec, 0);
}

std::atomic<int> s_fpsCalls{0};
std::atomic<uint32_t> s_fpsLast{0};
int record_fps(iodev_t*, uint32_t fps)
{
    s_fpsCalls++;
    s_fpsLast = fps;
    return 0;
}

TEST(Imx570Integration, EachExposureGetsItsWordAndTheRateIsSetOnce)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    rig.r.common().phaseOptions = 1;
    rig.r.run.devBoardVersion = E_BOARD_VERSION_V2_3;
    rig.r.tof().nInteA = 2000;
    rig.r.tof().nInteB = 300;
    ASSERT_TRUE(rig.open_sensor());
    rig.info()->set_fps = record_fps;
    s_fpsCalls = 0;
    unsigned long granted = sim_sched_granted(nullptr, nullptr);
    ASSERT_EQ(worker_create(rig.r.core, E_WORKER_ID_TOF_INTEGRATION, sensor_imx570_integration_task), 0);
    ASSERT_TRUE(wait_until([&] { return sim_sched_granted(nullptr, nullptr) > granted; }));
    worker_t* wk = epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_INTEGRATION);
    // A signal made while the task is not waiting is lost: sent again until seen.
    auto signal_until = [&](int e, const std::function<bool()>& seen) {
        int polls = 0;
        return wait_until([&] {
            if (polls++ % 200 == 0) event_signal(wk->ioevent, e);
            return seen();
        });
    };
    // 3-phase: 2000 stays (limit 3000).
    EXPECT_TRUE(signal_until(0, [&] { return rig.count_word(word(2000, 8)) >= 2; }));
    EXPECT_TRUE(signal_until(1, [&] { return rig.count_word(word(300, 16)) >= 1; }));
    EXPECT_EQ(s_fpsCalls.load(), 1);
    EXPECT_EQ(s_fpsLast.load(), 16u);
    rig.r.core->quit = 1;
    event_signal(wk->ioevent, -1);
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_INTEGRATION) == nullptr; }));
}

} // namespace
