// The PWM-triggered cameras on the simulated rk3576-fh8320 and rk3576-sc2210
// boards: PWM arithmetic and commands, the FH8320's I2C messages and its
// capture task, the USB camera's capture and controls, the SC2210's capture
// for the encoder, and the illuminator-switching automatic exposure.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include "common/regtest.h"
#include "sensor/capturerig.h"
#include "common/custom_internal.h"
#include "common/stream_ctrl.h"
#include "sensor/sensor_fh8320.h"
#include "sensor/sensor_pwm.h"
#include "sensor/sensor_sc2210.h"
#include "sensor/sensor_uvc.h"
#include "sensor/sensor_vld_ae.h"
#include "sensor/v4l2_capture.h"
#include "simboard.h"

namespace {

using pumptest::wait_until;

constexpr const char* kFhVideo = "/dev/video0";
constexpr const char* kUvcSensor = "UVC Camera";
constexpr int kPicture = 1920 * 1080 * 2;

// Commands the shell runner saw since `from`, those containing `text` only.
std::vector<std::string> journal(const char* text = "", size_t from = 0)
{
    std::vector<std::string> out;
    for (size_t i = from, n = sim_journal_count(); i < n; i++) {
        sim_journal_t j;
        if (sim_journal_get(i, &j) == 0 && strstr(j.cmd, text)) out.push_back(j.cmd);
    }
    return out;
}

struct CamRig {
    regtest::RegSpace r;
    std::vector<worker_t*> fakes;

    explicit CamRig(const char* profile = "rk3576-fh8320") : r(profile)
    {
        epcore_t* c = r.core;
        c->raw = algotest::make_pool((int)sizeof(ImageInfo) + kPicture, 3);
        c->rgb = algotest::make_pool((int)sizeof(ImageInfo) + kPicture, 3);
        r.run.cpuId = E_CPU_RK3576;
        r.tof().sensorType = E_FH8320;
        r.rgb().sensorType = E_SENSOR_NONE;
        r.common().cameraRgbEncType = 0; // the test stands in for the encoder
        stream_ctrl_reset();
        sim_camera_set_mode(kFhVideo, SIM_CAMERA_STEPPED);
        sim_journal_clear();
        // The illuminator timer fires on a pump.
        EXPECT_TRUE(pumptest::start_pumps(r.core, 1));
    }
    ~CamRig()
    {
        r.core->quit.store(1);
        EXPECT_TRUE(wait_until([&] { return workers() == (int)fakes.size(); }));
        epcore_stop_evpump(r.core);
        for (worker_t* wk : fakes) {
            while (ImageInfo* img = frame_take(wk)) free_image(r.core, img);
            worker_thread_del(r.core, wk), worker_free(wk);
        }
        EXPECT_EQ(bpool_fetched_num(r.core->raw) + bpool_fetched_num(r.core->rgb), 0);
        bpool_clean(r.core->raw), r.core->raw = nullptr;
        bpool_clean(r.core->rgb), r.core->rgb = nullptr;
        stream_ctrl_reset();
        sim_faults_clear();
    }
    int workers() { return capturerig::worker_count(r.core); }
    worker_t* fake_worker(uint64_t id)
    {
        fakes.push_back(capturerig::stand_in(r.core, id));
        return fakes.back();
    }
    int listed(worker_t* wk) { return capturerig::listed(wk); }
};

// ---- PWM ----

TEST(TriggerPwm, PeriodsAndDutyBoundsFollowTheirArithmetic)
{
    EXPECT_EQ(sensor_pwm_period_ns(15), 66666668u); // single-precision rounding kept
    EXPECT_EQ(sensor_pwm_period_ns(33000), 30303u);
    EXPECT_EQ(sensor_pwm_period_ns(0), 1000000000u) << "a rate of 0 counts as 1";
    // 70 ms of exposure at 15 fps stops 100 us short of the period.
    EXPECT_EQ(sensor_pwm_duty_bound(70000u * 1000, 66666668), 66566668u);
    EXPECT_EQ(sensor_pwm_duty_bound(1000000, 66666668), 1000000u);
    // Below the margin the subtraction wraps and the wanted value stands.
    EXPECT_EQ(sensor_pwm_duty_bound(1000000, 30303), 1000000u);
    EXPECT_EQ(sensor_pwm_duty_bound(1000000, 0), 0u);
}

TEST(TriggerPwm, CommandsAreTheSysfsWritesAndNoDutyWithoutAPeriod)
{
    regtest::RegSpace r{"rk3576-fh8320"};
    sim_journal_clear();
    sensor_pwm_export(0);
    sensor_pwm_export(0); // exported: the polarity file is there now
    sensor_pwm_set_period(0, 66666668);
    EXPECT_EQ(sensor_pwm_set_duty(0, 1000000, 66666668), 0);
    EXPECT_EQ(sensor_pwm_set_duty(1, 1000000, 0), -1);
    sensor_pwm_enable(0, 1);
    sensor_pwm_unexport(0);
    EXPECT_EQ(journal(), (std::vector<std::string>{
                             "echo 0 > /sys/class/pwm/pwmchip0/export",
                             "echo 66666668 > /sys/class/pwm/pwmchip0/pwm0/period",
                             "echo normal > /sys/class/pwm/pwmchip0/pwm0/polarity",
                             "echo 1000000 > /sys/class/pwm/pwmchip0/pwm0/duty_cycle",
                             "echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable",
                             "echo 0 > /sys/class/pwm/pwmchip0/unexport",
                         }));
    EXPECT_TRUE(r.log.has("cmdBuf:echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable"));
    EXPECT_TRUE(r.log.has("no period set"));
}

// ---- FH8320 ----

TEST(Fh8320, RegistersTravelAsFramedI2cMessages)
{
    regtest::RegSpace r{"rk3576-fh8320"};
    iodev_t dev{};
    dev.subdevFd = plat_open("/dev/i2c-5", O_RDWR);
    ASSERT_GE(dev.subdevFd, 0);
    EXPECT_EQ(sensor_fh8320_write_reg(&dev, 0x3e01, 0x12ab), 0);
    unsigned held = 0;
    ASSERT_EQ(sim_i2c_get_reg(5, 0x20, 0x3e01, &held), 0);
    EXPECT_EQ(held, 0x12abu);
    uint16_t v = 0;
    EXPECT_EQ(sensor_fh8320_read_reg(&dev, 0x3e01, &v), 0);
    EXPECT_EQ(v, 0xabu) << "one byte of the answer carries the value";
    sim_i2c_set_absent(5, 0x20, 1);
    EXPECT_EQ(sensor_fh8320_read_reg(&dev, 0x3e01, &v), -1);
    EXPECT_TRUE(r.log.has("read ioctlerr"));
    plat_close(dev.subdevFd);
}

TEST(Fh8320, TaskTriggersLightsAndHandsPicturesToTheEncoderDroppingTheNewer)
{
    CamRig rig;
    worker_t* enc = rig.fake_worker(E_WORKER_ID_ENC);
    rig.r.rgb().groupCFreq = 70000; // illuminator exposure, us
    rig.r.run.H4LightMode = 0;      // start delay: the default 40 ms
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return sim_journal_find("pwmchip1/pwm0/enable", 0) >= 0 &&
                                        rig.r.log.has("sensor_uvc_delay"); }, 5000));
    EXPECT_TRUE(rig.r.log.has("delayTime:40"));
    std::vector<std::string> setup = journal("pwm");
    std::vector<std::string> want = {
        "echo 0 > /sys/class/pwm/pwmchip0/export",
        "echo 0 > /sys/class/pwm/pwmchip1/export",
        "echo 66666668 > /sys/class/pwm/pwmchip0/pwm0/period",
        "echo normal > /sys/class/pwm/pwmchip0/pwm0/polarity",
        "echo 66666668 > /sys/class/pwm/pwmchip1/pwm0/period",
        "echo normal > /sys/class/pwm/pwmchip1/pwm0/polarity",
        "echo 1000000 > /sys/class/pwm/pwmchip0/pwm0/duty_cycle",
        "echo 66566668 > /sys/class/pwm/pwmchip1/pwm0/duty_cycle",
        "echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable",
        "echo 1 > /sys/class/pwm/pwmchip1/pwm0/enable",
    };
    EXPECT_EQ(setup, want);

    // The encoder has not taken the first picture: the second is dropped.
    ASSERT_TRUE(wait_until([&] {
        sim_camera_step(kFhVideo, 1);
        return rig.listed(enc) == 1;
    }));
    sim_camera_step(kFhVideo, 1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("==========full==========="); }));
    EXPECT_EQ(rig.listed(enc), 1);
    {
        EnterCriticalSection(&enc->datalistCS);
        auto* img = static_cast<ImageInfo*>(lt_first(enc->data_list));
        EXPECT_EQ(img->pixelFormat, (uint32_t)FH8320_PIXEL_UYVY);
        EXPECT_EQ(img->imageSize, (uint32_t)kPicture);
        EXPECT_EQ(img->width, 1920u);
        EXPECT_EQ(img->memType, (uint32_t)E_MEMTYPE_RAW);
        LeaveCriticalSection(&enc->datalistCS);
    }

    size_t mark = sim_journal_count();
    Custom_StartOrStopStream(0);
    EXPECT_EQ(journal("pwm", mark), (std::vector<std::string>{
                                        "echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable",
                                        "echo 0 > /sys/class/pwm/pwmchip0/unexport",
                                        "echo 0 > /sys/class/pwm/pwmchip1/pwm0/enable",
                                        "echo 0 > /sys/class/pwm/pwmchip1/unexport",
                                    }));
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_RGB), nullptr);
}

TEST(Fh8320, WithoutTheEncoderTheTaskEndsAfterItsSetUp)
{
    CamRig rig;
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("end task") || rig.r.log.has("sensor tof init fail."); }));
    EXPECT_TRUE(rig.r.log.has("epcore_worker_find fail."));
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_SENSOR) == nullptr; }));
    EXPECT_EQ(journal("pwm").size(), 0u) << "no PWM is touched before the camera is set up";
    Custom_StartOrStopStream(0);
}

// ---- USB camera ----

TEST(UsbCamera, EverySecondPictureReachesTheSenderAndTheFirstSetsExposure)
{
    CamRig rig;
    worker_t* gvsp = rig.fake_worker(E_WORKER_ID_GVSP);
    sim_camera_set_mode("/dev/video4", SIM_CAMERA_STEPPED);
    ASSERT_EQ(worker_create(rig.r.core, 600, sensor_uvc_task), 0);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("uvc_init success"); }));
    // No rate was ever set: the trigger duty has no period to be bound by.
    EXPECT_TRUE(wait_until([&] { return rig.r.log.has("no period set"); }));
    EXPECT_TRUE(journal("pwmchip1/pwm0/duty_cycle").empty());

    sim_sensor_log_clear(kUvcSensor);
    ASSERT_TRUE(wait_until([&] {
        sim_camera_step("/dev/video4", 1);
        return rig.listed(gvsp) == 1;
    }));
    EXPECT_GE(sim_camera_frames("/dev/video4"), 2) << "the first picture is requeued unused";
    {
        EnterCriticalSection(&gvsp->datalistCS);
        auto* img = static_cast<ImageInfo*>(lt_first(gvsp->data_list));
        EXPECT_EQ(img->pixelFormat, (uint32_t)UVC_PIXEL_JPEG);
        EXPECT_EQ(img->imageType, 5u);
        EXPECT_EQ(img->memType, (uint32_t)E_MEMTYPE_RGB);
        ASSERT_GT(img->imageSize, 4u);
        EXPECT_EQ(img->imageData[0], 0xFF);
        EXPECT_EQ(img->imageData[1], 0xD8);
        LeaveCriticalSection(&gvsp->datalistCS);
    }
    // Gain 1025 and an exposure of 35000 on the exposure control, not on
    // brightness.
    EXPECT_TRUE(wait_until([&] { return sim_sensor_log_find(kUvcSensor, SIM_SENSOR_CTRL, 0x009A0902, 0) >= 0; }));
    EXPECT_GE(sim_sensor_log_find(kUvcSensor, SIM_SENSOR_CTRL, 0x00980913, 0), 0);
    EXPECT_LT(sim_sensor_log_find(kUvcSensor, SIM_SENSOR_CTRL, 0x00980900, 0), 0);
    EXPECT_TRUE(rig.r.log.has("gain:1025"));
    EXPECT_TRUE(rig.r.log.has("time:35000"));

    sim_camera_step("/dev/video4", 2); // a picture while one waits: dropped
    EXPECT_TRUE(wait_until([&] { return rig.r.log.has("==========full==========="); }));
    EXPECT_EQ(rig.listed(gvsp), 1);
    regspace::worker_halt(600);
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, 600) == nullptr; }));
    EXPECT_GE(sim_journal_find("echo 0 > /sys/class/pwm/pwmchip0/unexport", 0), 0);
}

// ---- Illuminator switching ----

TEST(VldAutoExposure, FivePicturesAtTheLimitSwitchAndTheNextWriteIsSkipped)
{
    CamRig rig;
    regtest::RegSpace& r = rig.r;
    const VldAeConfig cfg = {0x10001050, 10.0f, 0x1000105c, 30000.0f, 0, 1, 0};
    std::vector<uint8_t> dark(64 * 64, 0), bright(64 * 64, 255);
    auto exposure = [](uint32_t a) { return sensor_reg(a); };
    auto put = [](uint32_t a, uint32_t v) { Custom_RegWrite(a, &v); };
    VldAeState st;
    sensor_vld_ae_reset(&st);
    r.rgb().targetBrightLevel = 80;

    // Lit and too bright: four pictures at the floor, then one above it.
    put(0x1000105c, 8);
    for (int i = 0; i < 4; i++) EXPECT_EQ(sensor_vld_auto_exposure(r.core, &st, &cfg, bright.data(), 4096, 64, 64), 0);
    put(0x1000105c, 20000);
    EXPECT_EQ(sensor_vld_auto_exposure(r.core, &st, &cfg, dark.data(), 4096, 64, 64), 0);
    EXPECT_EQ(st.mode, VLD_AE_ON) << "four at the floor and one above do not switch";

    sim_journal_clear();
    put(0x1000105c, 8);
    for (int i = 0; i < 4; i++) sensor_vld_auto_exposure(r.core, &st, &cfg, bright.data(), 4096, 64, 64);
    EXPECT_EQ(sensor_vld_auto_exposure(r.core, &st, &cfg, bright.data(), 4096, 64, 64), 1);
    EXPECT_EQ(st.mode, VLD_AE_OFF);
    EXPECT_EQ(journal(), (std::vector<std::string>{"echo 0 > /sys/class/pwm/pwmchip1/pwm0/enable"}));

    // Unlit: the first picture after the switch writes nothing, the next does.
    put(0x10001050, 5);
    sensor_vld_auto_exposure(r.core, &st, &cfg, dark.data(), 4096, 64, 64);
    EXPECT_EQ(exposure(0x10001050), 5u);
    sensor_vld_auto_exposure(r.core, &st, &cfg, dark.data(), 4096, 64, 64);
    EXPECT_EQ(exposure(0x10001050), 8u) << "dark pictures climb, a step of at most 1.5 rounded up";

    put(0x10001050, 10);
    // Five at the unlit maximum switch the illuminator back on after a pause.
    sim_journal_clear();
    for (int i = 0; i < 4; i++) EXPECT_EQ(sensor_vld_auto_exposure(r.core, &st, &cfg, dark.data(), 4096, 64, 64), 0);
    EXPECT_EQ(sensor_vld_auto_exposure(r.core, &st, &cfg, dark.data(), 4096, 64, 64), 1);
    EXPECT_EQ(st.mode, VLD_AE_ON);
    EXPECT_TRUE(r.log.has("delayTime:40"));
    ASSERT_GE(sim_journal_wait("echo 1 > /sys/class/pwm/pwmchip1/pwm0/enable", 0, 5000), 0);
    EXPECT_EQ(journal("pwmchip0"), (std::vector<std::string>{"echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable",
                                                             "echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable"}));
    put(0x1000105c, 100);
    sensor_vld_auto_exposure(r.core, &st, &cfg, dark.data(), 4096, 64, 64);
    EXPECT_EQ(exposure(0x1000105c), 100u) << "the first lit picture writes nothing";
    sensor_delay_cancel();
}

// ---- SC2210 ----

TEST(Sc2210, TriggerRunsAtItsFixedPeriodWhateverRateIsAsked)
{
    CamRig rig("rk3576-sc2210");
    sensor_sc2210_set_fps(nullptr, 30);
    EXPECT_EQ(sensor_sc2210_period(), 50050052u);
    EXPECT_EQ(journal("period"), (std::vector<std::string>{"echo 50050052 > /sys/class/pwm/pwmchip0/pwm0/period"}));
    uint8_t grey[8] = {1, 2, 3, 4, 5, 6, 7, 8}, nv12[12] = {};
    mono8_to_nv12(grey, nv12, 4, 2);
    EXPECT_EQ(std::vector<uint8_t>(nv12, nv12 + 12),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0x80, 0x80, 0x80, 0x80}));
}

TEST(Sc2210, EverySecondPictureGoesToTheEncoderWithANeutralChroma)
{
    CamRig rig("rk3576-sc2210");
    rig.r.rgb().sensorType = E_SMARTSENS_SC2210;
    rig.r.tof().sensorType = E_SENSOR_NONE;
    rig.r.rgb().enableAutoExposure = 0;
    rig.r.rgb().groupCFreq = 1234;
    sim_camera_set_mode(kFhVideo, SIM_CAMERA_STEPPED);
    worker_t* enc = rig.fake_worker(E_WORKER_ID_ENC);
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("rgb_init success"); }));
    ASSERT_TRUE(wait_until([&] { return sim_journal_find("echo 1 > /sys/class/pwm/pwmchip1/pwm0/enable", 0) >= 0; }));
    EXPECT_TRUE(rig.r.log.has("delayTime:50"));
    // The timer's action logs after its command ran.
    EXPECT_TRUE(wait_until([&] { return rig.r.log.has("sensor_sc2210_delay"); }));
    EXPECT_EQ(rig.r.run.rgbWorker, 0u);
    EXPECT_EQ(journal("pwm"), (std::vector<std::string>{
                                  "echo 0 > /sys/class/pwm/pwmchip0/export",
                                  "echo 0 > /sys/class/pwm/pwmchip1/export",
                                  "echo 50050052 > /sys/class/pwm/pwmchip0/pwm0/period",
                                  "echo normal > /sys/class/pwm/pwmchip0/pwm0/polarity",
                                  "echo 30303 > /sys/class/pwm/pwmchip1/pwm0/period",
                                  "echo normal > /sys/class/pwm/pwmchip1/pwm0/polarity",
                                  // Bound by the 30,303 ns illuminator period: the subtraction wraps.
                                  "echo 1000000 > /sys/class/pwm/pwmchip0/pwm0/duty_cycle",
                                  "echo 10000 > /sys/class/pwm/pwmchip1/pwm0/duty_cycle",
                                  "echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable",
                                  "echo 1 > /sys/class/pwm/pwmchip1/pwm0/enable",
                              }));

    ASSERT_TRUE(wait_until([&] {
        sim_camera_step(kFhVideo, 1);
        return rig.listed(enc) == 1;
    }));
    EXPECT_GE(sim_camera_frames(kFhVideo), 2) << "the first picture is requeued unused";
    {
        EnterCriticalSection(&enc->datalistCS);
        auto* img = static_cast<ImageInfo*>(lt_first(enc->data_list));
        EXPECT_EQ(img->pixelFormat, (uint32_t)SC2210_PIXEL_MONO8);
        EXPECT_EQ(img->imageSize, 1920u * 1080 * 3 / 2);
        EXPECT_EQ(img->memType, (uint32_t)E_MEMTYPE_RGB);
        const uint8_t* chroma = img->imageData + 1920 * 1080;
        EXPECT_TRUE(std::all_of(chroma, chroma + 1920 * 540, [](uint8_t b) { return b == 0x80; }));
        LeaveCriticalSection(&enc->datalistCS);
    }
    // A newer picture replaces the one still waiting; exposure untouched
    // with automatic exposure off.
    long before = sim_camera_frames(kFhVideo);
    ASSERT_TRUE(wait_until([&] {
        sim_camera_step(kFhVideo, 1);
        return sim_camera_frames(kFhVideo) >= before + 4;
    }));
    EXPECT_EQ(rig.listed(enc), 1);
    EXPECT_EQ(rig.r.rgb().groupCFreq, 1234u);
    Custom_StartOrStopStream(0);
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_RGB), nullptr);
}

// The board as a process left it that was killed while it exported the
// trigger: with no room for a byte of any file, the child dies on the first
// byte it writes. The child's wait status.
int killed_exporting(const char* cmd)
{
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_FSIZE, &none);
        plat_shell(cmd);
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

TEST(Sc2210, StreamsAfterAProcessWasKilledExportingTheTrigger)
{
    CamRig rig("rk3576-sc2210");
    int status = killed_exporting("echo 0 > /sys/class/pwm/pwmchip0/export");
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;
    rig.r.rgb().sensorType = E_SMARTSENS_SC2210;
    rig.r.tof().sensorType = E_SENSOR_NONE;
    rig.r.rgb().enableAutoExposure = 0;
    sim_camera_set_mode(kFhVideo, SIM_CAMERA_PACED); // pictures only on the trigger
    worker_t* enc = rig.fake_worker(E_WORKER_ID_ENC);
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("rgb_init success"); }));
    EXPECT_TRUE(wait_until([&] { return rig.listed(enc) == 1; })) << "no picture reached the encoder";
    char on[4] = {};
    FILE* f = plat_fopen("/sys/class/pwm/pwmchip0/pwm0/enable", "r");
    ASSERT_NE(f, nullptr) << "the trigger channel is not whole";
    EXPECT_EQ(fgets(on, sizeof(on), f), on);
    fclose(f);
    EXPECT_STREQ(on, "1\n");
    Custom_StartOrStopStream(0);
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_RGB), nullptr);
}

// A slow board: the encoder's registration comes late. The camera, which
// looks the encoder up as it sets up, must still find it.
CamRig* s_lateRig = nullptr;

void hold_encoder_back(epcore_t* core, uint64_t id)
{
    // A camera already setting up is let finish before the encoder registers.
    if (id != E_WORKER_ID_ENC || !epcore_worker_find(core, E_WORKER_ID_RGB_SENSOR)) return;
    wait_until([] {
        return s_lateRig->r.log.has("rgb_init success") || s_lateRig->r.log.has("sensor_sc2210_init fail.");
    });
}

TEST(Sc2210, FindsTheEncoderHoweverLateItIsRegistered)
{
    CamRig rig("rk3576-sc2210");
    rig.r.rgb().sensorType = E_SMARTSENS_SC2210;
    rig.r.tof().sensorType = E_SENSOR_NONE;
    rig.r.common().cameraRgbEncType = E_CAMERA_RGB_ENC_MJPEG;
    rig.fake_worker(E_WORKER_ID_GVSP);  // where the encoder's packets go
    s_lateRig = &rig;
    stream_ctrl_set_create_hook(hold_encoder_back);
    Custom_StartOrStopStream(1);
    stream_ctrl_set_create_hook(nullptr);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("rgb_init success"); }));
    EXPECT_FALSE(rig.r.log.has("epcore_worker_find fail."));
    EXPECT_FALSE(rig.r.log.has("init fail."));
    Custom_StartOrStopStream(0);
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_RGB), nullptr);
}

} // namespace
