// Sensor models of the simulated board: frame size and rate per mode as
// the drivers set them, the private sub-device requests and their log, the
// embedded rows of the IMX570 and the pictures of the colour cameras.
#include "platform/boardroot.h"
#include "platform/camera.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <functional>
#include <iterator>
#include <linux/v4l2-subdev.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "sensor_ioctl.h"

namespace {

int subdev_of(const char* sensor)
{
    sim_sensor_state_t st;
    if (sim_sensor_state(sensor, &st) != 0) return -1;
    return plat_open(st.subdev, O_RDWR);
}

int write_reg(int fd, uint16_t addr, uint8_t val)
{
    regval r{addr, val};
    return plat_ioctl(fd, SENSOR_IOC_WRITE_REG, &r);
}

int set_pad(int fd, uint32_t w, uint32_t h)
{
    v4l2_subdev_format f{};
    f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    f.format.width = w;
    f.format.height = h;
    f.format.code = MEDIA_BUS_FMT_Y12_1X12;
    return plat_ioctl(fd, VIDIOC_SUBDEV_S_FMT, &f);
}

double interval_fps(int fd)
{
    v4l2_subdev_frame_interval fi{};
    if (plat_ioctl(fd, VIDIOC_SUBDEV_G_FRAME_INTERVAL, &fi) != 0 || !fi.interval.numerator) return -1;
    return (double)fi.interval.denominator / fi.interval.numerator;
}

std::string write_profile(const TempDir& dir, const char* body)
{
    std::string p = dir.path + "/custom.ini";
    write_host_file(p, body);
    return p;
}

struct Mode {
    const char* name;
    const char* profile;      // name, or "" for the custom profile below
    const char* sensor;
    const char* node;         // capture node the sensor feeds
    uint32_t    pad_w, pad_h; // 0: the sensor's own format
    uint32_t    pixfmt;       // of the capture node
    uint32_t    vid_w, vid_h;
    size_t      bytes;        // of one frame, 0: a JPEG picture
    double      fps;
    std::function<void(int subdev)> rate; // what the driver writes for the rate
};

// A RK3568 board with the FH8320 camera on the ToF port and a USB camera.
constexpr const char* kCustom = "[BOARD]\nCHIP=RK3568\nMODEL=Vornak Camera Tavo Boa\nTOF_SENSOR=fh8323\n"
                                "USB_CAMERA=yes\nRTC=yes\n";

} // namespace

TEST(BoardSensors, FrameSizeAndRatePerMode)
{
    auto gpixel_rate = [](double fps, uint32_t k) {
        return [=](int fd) {
            uint32_t f = (uint32_t)(1e9 / (fps * k));
            write_reg(fd, 16, 1);
            write_reg(fd, 30, (uint8_t)(f >> 16));
            write_reg(fd, 29, (uint8_t)(f >> 8));
            write_reg(fd, 28, (uint8_t)f);
            write_reg(fd, 16, 0);
        };
    };
    auto cpld_rate = [](uint32_t fps) {
        return [=](int fd) {
            uint32_t word = fps << 8 | 32;
            plat_ioctl(fd, SENSOR_IOC_CPLD_WORD, &word);
        };
    };
    auto none = [](int) {};
    auto frame_length = [](uint16_t v) {
        return [=](int fd) {
            write_reg(fd, 0x320E, (uint8_t)(v >> 8));
            write_reg(fd, 0x320F, (uint8_t)v);
        };
    };
    auto pwm = [](const char* chip, long period) {
        return [=](int) {
            char cmd[128];
            snprintf(cmd, sizeof(cmd), "echo 0 > /sys/class/pwm/%s/export", chip);
            plat_shell(cmd);
            snprintf(cmd, sizeof(cmd), "echo %ld > /sys/class/pwm/%s/pwm0/period", period, chip);
            plat_shell(cmd);
            snprintf(cmd, sizeof(cmd), "echo 1 > /sys/class/pwm/%s/pwm0/enable", chip);
            plat_shell(cmd);
        };
    };
    const Mode modes[] = {
        {"Gpixel single", "rk3588-gpixel", "m01_b_Gpixel0503 5-0010", "/dev/video4", 1920, 1440, V4L2_PIX_FMT_Y12,
         1920, 1440, 1920u * 1440 * 2, 30.0, gpixel_rate(30, 7920)},
        {"Gpixel dual", "rk3588-gpixel", "m01_b_Gpixel0503 5-0010", "/dev/video4", 1920, 2880, V4L2_PIX_FMT_Y12,
         1920, 2880, 1920u * 2880 * 2, 15.0, gpixel_rate(15, 15840)},
        {"IMX570 single 4-phase", "rk3568-imx570", "m01_b_imx570 3-0010", "/dev/video0", 640, 1932,
         V4L2_PIX_FMT_Y12, 640, 1932, 640u * 1932 * 2, 18.0, cpld_rate(18)},
        {"IMX570 single 3-phase", "rk3568-imx570", "m01_b_imx570 3-0010", "/dev/video0", 640, 1449,
         V4L2_PIX_FMT_Y12, 640, 1449, 640u * 1449 * 2, 24.0, cpld_rate(24)},
        {"IMX570 dual", "rk3568-imx570", "m01_b_imx570 3-0010", "/dev/video0", 640, 3864, V4L2_PIX_FMT_Y12, 640,
         3864, 640u * 3864 * 2, 30.0, none},
        {"IMX570 triple", "rk3568-imx570", "m01_b_imx570 3-0010", "/dev/video0", 640, 5796, V4L2_PIX_FMT_Y12, 640,
         5796, 640u * 5796 * 2, 30.0, none},
        {"VD55H1", "rk3588-vd55h1", "m01_b_VD55H1 5-0010", "/dev/video4", 0, 0, V4L2_PIX_FMT_Y12, 1344, 9656,
         1344u * 9656 * 2, 30.0,
         [](int fd) {
             write_reg(fd, 1600, 0x7F); // period 4735, as set_fps(30) writes it
             write_reg(fd, 1601, 0x12);
         }},
        {"SC130GS", "rk3588-gpixel", "m00_b_sc130gs 4-0030", "/dev/video0", 0, 0, V4L2_PIX_FMT_Y10, 1280, 960,
         1280u * 960 * 2, 15.0, frame_length(1500)},
        {"SC230AI through the ISP", "rk3568-imx570", "m00_b_sc230ai 4-0030", "/dev/video4", 0, 0,
         V4L2_PIX_FMT_YUV420, 1920, 1080, 1920u * 1080 * 3 / 2, 30.0, none},
        {"FH8320 at the trigger's rate", "", "m01_b_fh8323 3-0010", "/dev/video0", 0, 0, V4L2_PIX_FMT_UYVY, 1920,
         1080, 1920u * 1080 * 2, 15.0, pwm("pwmchip0", 66666668)},
        {"USB camera", "", "UVC Camera", "/dev/video8", 0, 0, V4L2_PIX_FMT_MJPEG, 1920, 1080, 0, 30.0, none},
    };
    TempDir dir;
    std::string custom = write_profile(dir, kCustom);
    for (const auto& m : modes) {
        SCOPED_TRACE(m.name);
        BoardRoot b(m.profile[0] ? m.profile : custom.c_str());
        ASSERT_EQ(b.rc, 0);
        sim_sensor_state_t st;
        ASSERT_EQ(sim_sensor_state(m.sensor, &st), 0);
        int sd = st.subdev[0] ? plat_open(st.subdev, O_RDWR) : -1;
        if (m.pad_w) {
            ASSERT_EQ(set_pad(sd, m.pad_w, m.pad_h), 0);
        }
        m.rate(sd);
        ASSERT_EQ(sim_sensor_state(m.sensor, &st), 0);
        EXPECT_NEAR(st.fps, m.fps, 0.05);
        if (sd >= 0) {
            EXPECT_NEAR(interval_fps(sd), m.fps, 0.05); // the sub-device reports the same
        }

        run_tof_sensor();

        Capture c(m.node);
        ASSERT_EQ(c.set_format(m.vid_w, m.vid_h, m.pixfmt), 0);
        v4l2_format f = c.format();
        EXPECT_EQ(c.mplane() ? f.fmt.pix_mp.pixelformat : f.fmt.pix.pixelformat, m.pixfmt);
        ASSERT_EQ(c.start(4), 4);
        std::vector<uint8_t> frame = c.grab();
        if (m.bytes) {
            EXPECT_EQ(frame.size(), m.bytes);
        } else {
            ASSERT_GT(frame.size(), 4u);
            EXPECT_EQ(frame[0], 0xFF);
            EXPECT_EQ(frame[1], 0xD8);
            EXPECT_EQ(frame[frame.size() - 2], 0xFF);
            EXPECT_EQ(frame.back(), 0xD9);
        }
        if (sd >= 0) plat_close(sd);
    }
}

TEST(BoardSensors, PrivateRequestsAnswerAndAreLogged)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    const char* tof = "m01_b_Gpixel0503 5-0010";
    int fd = subdev_of(tof);
    ASSERT_GE(fd, 0);
    sim_sensor_log_clear(tof);

    ASSERT_EQ(write_reg(fd, 18, 0x60), 0);
    uint8_t rv[4] = {18, 0, 0xAA, 0xBB};
    ASSERT_EQ(plat_ioctl(fd, SENSOR_IOC_READ_REG, rv), 0);
    EXPECT_EQ(rv[2], 0x60);
    EXPECT_EQ(rv[3], 0); // read as 16 bits, the upper byte is 0

    for (uint8_t i = 0; i < 3; i++) {
        phx3d3018 p{i, 0x38, 6};
        ASSERT_EQ(plat_ioctl(fd, SENSOR_IOC_LASER_WRITE, &p), 0);
    }
    phx3d3018 bad{3, 0x38, 6};
    EXPECT_EQ(plat_ioctl(fd, SENSOR_IOC_LASER_WRITE, &bad), -1);
    phx3d3018 back{2, 0x38, 0};
    ASSERT_EQ(plat_ioctl(fd, SENSOR_IOC_LASER_READ, &back), 0);
    EXPECT_EQ(back.val, 6);
    uint32_t on = 1;
    ASSERT_EQ(plat_ioctl(fd, SENSOR_IOC_VLD_ENABLE, &on), 0);
    int sync = 0;
    ASSERT_EQ(plat_ioctl(fd, RKMODULE_SET_SYNC_MODE, &sync), 0);
    uint8_t block[8] = {0x03, 0xE8, 0x00, 0x64, 0x01, 0xF4, 0x00, 0x64};
    ASSERT_EQ(plat_ioctl(fd, SENSOR_IOC_INTEG_BLOCK, block), 0);

    const sim_sensor_write_t want[] = {
        {1, SIM_SENSOR_REG, 18, 0x60},      {2, SIM_SENSOR_LASER, 0x038, 6},  {3, SIM_SENSOR_LASER, 0x138, 6},
        {4, SIM_SENSOR_LASER, 0x238, 6},    {5, SIM_SENSOR_VLD, 0, 1},        {6, SIM_SENSOR_SYNC, 0, 0},
        {7, SIM_SENSOR_BLOCK, 0, 1000},     {8, SIM_SENSOR_BLOCK, 1, 100},    {9, SIM_SENSOR_BLOCK, 2, 500},
        {10, SIM_SENSOR_BLOCK, 3, 100},
    };
    ASSERT_EQ(sim_sensor_log_count(tof), std::size(want));
    for (size_t i = 0; i < std::size(want); i++) {
        sim_sensor_write_t got;
        ASSERT_EQ(sim_sensor_log_get(tof, i, &got), 0);
        EXPECT_EQ(got.kind, want[i].kind) << i;
        EXPECT_EQ(got.addr, want[i].addr) << i;
        EXPECT_EQ(got.value, want[i].value) << i;
    }
    EXPECT_EQ(sim_sensor_log_find(tof, SIM_SENSOR_LASER, 0x138, 0), 2);

    // Laser-driver temperatures read back as the board's temperature.
    sensor_ld_temp t{};
    ASSERT_EQ(plat_ioctl(fd, SENSOR_IOC_LASER_TEMP, &t), 0);
    EXPECT_NEAR(25.0 + (t.first - 296) * 0.185, 36.5, 0.1);

    // Sensors offer the older crop requests, not selections.
    v4l2_subdev_selection sel{};
    EXPECT_EQ(plat_ioctl(fd, VIDIOC_SUBDEV_G_SELECTION, &sel), -1);
    EXPECT_EQ(errno, ENOTTY);
    v4l2_subdev_crop crop{};
    crop.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    crop.rect = {0, 0, 640, 480};
    ASSERT_EQ(plat_ioctl(fd, VIDIOC_SUBDEV_S_CROP, &crop), 0);
    crop.rect = {};
    ASSERT_EQ(plat_ioctl(fd, VIDIOC_SUBDEV_G_CROP, &crop), 0);
    EXPECT_EQ(crop.rect.width, 640u);
    plat_close(fd);

    // A colour sensor has controls and no laser driver.
    const char* col = "m00_b_sc130gs 4-0030";
    int cfd = subdev_of(col);
    ASSERT_GE(cfd, 0);
    EXPECT_EQ(plat_ioctl(cfd, SENSOR_IOC_LASER_READ, &back), -1);
    EXPECT_EQ(errno, ENOTTY);
    v4l2_control ctl{V4L2_CID_EXPOSURE, 700};
    ASSERT_EQ(plat_ioctl(cfd, VIDIOC_S_CTRL, &ctl), 0);
    ctl.value = 0;
    ASSERT_EQ(plat_ioctl(cfd, VIDIOC_G_CTRL, &ctl), 0);
    EXPECT_EQ(ctl.value, 700);
    EXPECT_GE(sim_sensor_log_find(col, SIM_SENSOR_CTRL, V4L2_CID_EXPOSURE, 0), 0);
    ctl.id = 0x00981234;
    EXPECT_EQ(plat_ioctl(cfd, VIDIOC_S_CTRL, &ctl), -1);
    plat_close(cfd);
}

TEST(BoardSensors, Imx570EmbeddedRowsCarryGroupAndIntegration)
{
    BoardRoot b("rk3568-imx570");
    ASSERT_EQ(b.rc, 0);
    int fd = subdev_of("m01_b_imx570 3-0010");
    ASSERT_EQ(set_pad(fd, 640, 3864), 0);
    uint32_t word = 750u << 8 | 8; // the first exposure's length
    ASSERT_EQ(plat_ioctl(fd, SENSOR_IOC_CPLD_WORD, &word), 0);
    run_tof_sensor();
    Capture c("/dev/video0");
    ASSERT_EQ(c.set_format(640, 3864, V4L2_PIX_FMT_Y12), 0);
    ASSERT_EQ(c.start(), 4);
    std::vector<uint8_t> f = c.grab();
    ASSERT_EQ(f.size(), 640u * 3864 * 2);
    // Embedded byte j of a row: bytes come three to two 12-bit samples.
    auto ebd = [&](size_t block, int row, int j) {
        const uint8_t* r = f.data() + (block * 483 + 480 + (size_t)row) * 640 * 2;
        uint16_t a, bb;
        memcpy(&a, r + (j / 3) * 4, 2);
        memcpy(&bb, r + (j / 3) * 4 + 2, 2);
        int k = j % 3;
        return k == 0 ? a >> 4 : k == 1 ? bb >> 4 : ((a & 15) << 4) | (bb & 15);
    };
    for (size_t block : {0u, 3u, 4u, 7u}) {
        EXPECT_EQ(ebd(block, 1, 48), block < 4 ? 0 : 1) << block; // group index
        uint32_t count = (uint32_t)ebd(block, 1, 87) << 24 | ebd(block, 1, 90) << 16 | ebd(block, 1, 93) << 8 |
                         ebd(block, 1, 96);
        EXPECT_EQ(count / 120, 750u) << block;
        EXPECT_EQ((int8_t)ebd(block, 0, 111), 41); // the board's temperature
    }
    plat_close(fd);
}

TEST(BoardSensors, UsbCameraControlsLiveOnItsVideoNode)
{
    TempDir dir;
    BoardRoot b(write_profile(dir, kCustom).c_str());
    ASSERT_EQ(b.rc, 0);
    run_tof_sensor();
    Capture c("/dev/video8");
    EXPECT_FALSE(c.mplane());
    v4l2_control gain{0x00980913, 1025};
    ASSERT_EQ(plat_ioctl(c.fd, VIDIOC_S_CTRL, &gain), 0);
    EXPECT_GE(sim_sensor_log_find("UVC Camera", SIM_SENSOR_CTRL, 0x00980913, 0), 0);
    gain.id = V4L2_CID_EXPOSURE; // not one of its controls
    EXPECT_EQ(plat_ioctl(c.fd, VIDIOC_S_CTRL, &gain), -1);
}

TEST(BoardSensors, GpixelFrequencyTableRowsGiveTheirFrequencies)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    const char* tof = "m01_b_Gpixel0503 5-0010";
    int fd = subdev_of(tof);
    ASSERT_GE(fd, 0);
    std::string table = read_host_file(b.host("/userdata/const/support_freq.csv"));
    ASSERT_NE(table, "<missing>");
    size_t rows = 0;
    size_t at = table.find('\n') + 1; // past the header
    while (at < table.size()) {
        unsigned f1, f2, div_i, div_b, div_n, opt0, opt1;
        ASSERT_EQ(sscanf(table.c_str() + at, "%u,%u,%u,%u,%u,%u,%u", &f1, &f2, &div_i, &div_b, &div_n, &opt0, &opt1), 7);
        // What the driver's set_second_freq writes for the row.
        for (auto [addr, val] : {std::pair<uint16_t, unsigned>{557, div_i}, {560, div_b}, {558, div_n & 255},
                                 {559, div_n >> 8}, {567, opt0}, {568, opt1}})
            ASSERT_EQ(write_reg(fd, addr, (uint8_t)val), 0);
        sim_sensor_state_t st;
        ASSERT_EQ(sim_sensor_state(tof, &st), 0);
        EXPECT_DOUBLE_EQ(st.mod_mhz[0], f1) << "row " << rows;
        EXPECT_DOUBLE_EQ(st.mod_mhz[1], f2) << "row " << rows;
        rows++;
        at = table.find('\n', at) + 1;
    }
    EXPECT_GE(rows, 1u);
    // The profile's default pair is in it.
    EXPECT_NE(table.find("\n96,60,"), std::string::npos);
    plat_close(fd);
}

TEST(BoardSensors, OutsideViewAppendsWritesAndFramesWhenAsked)
{
    ASSERT_EQ(setenv(SIM_SENSOR_LOG_ENV, "1", 1), 0);
    std::string lines;
    {
        BoardRoot b;
        unsetenv(SIM_SENSOR_LOG_ENV); // read at board open
        ASSERT_EQ(b.rc, 0);
        int fd = subdev_of("m01_b_Gpixel0503 5-0010");
        ASSERT_EQ(write_reg(fd, 527, 3), 0);
        ASSERT_EQ(write_reg(fd, 526, 0xE8), 0);
        plat_close(fd);
        run_tof_sensor();
        Capture c("/dev/video4");
        ASSERT_EQ(c.set_format(1920, 1440, V4L2_PIX_FMT_Y12), 0);
        ASSERT_EQ(c.start(), 4);
        ASSERT_EQ(c.grab().size(), 1920u * 1440 * 2);
        lines = read_host_file(b.host("/.board/sensors.log"));
    }
    // "<ns> <kind> <event> <addr> <value>", in order, time never going back.
    std::vector<std::string> got;
    long long last = 0;
    for (size_t at = 0; at < lines.size();) {
        size_t end = lines.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "every line whole";
        long long ns;
        char rest[96];
        ASSERT_EQ(sscanf(lines.substr(at, end - at).c_str(), "%lld %95[^\n]", &ns, rest), 2);
        EXPECT_GE(ns, last);
        last = ns;
        got.push_back(rest);
        at = end + 1;
    }
    const std::vector<std::string> want = {"Gpixel0503 reg 527 3", "Gpixel0503 reg 526 232",
                                           "Gpixel0503 frame 0 5529600"};
    EXPECT_EQ(got, want);

    // Without the variable nothing is written.
    BoardRoot quiet;
    ASSERT_EQ(quiet.rc, 0);
    int fd = subdev_of("m01_b_Gpixel0503 5-0010");
    ASSERT_EQ(write_reg(fd, 527, 3), 0);
    plat_close(fd);
    EXPECT_EQ(read_host_file(quiet.host("/.board/sensors.log")), "<missing>");
}

TEST(BoardSensors, ColourChartRampMovesOneStepPerFrameInEveryFormat)
{
    // Luma of pixel i as each format carries it.
    struct Case { const char* profile; const char* node; uint32_t pixfmt; int (*luma)(const uint8_t*, size_t); } cases[] = {
        {"rk3588-gpixel", "/dev/video0", V4L2_PIX_FMT_Y10, [](const uint8_t* p, size_t i) { return (p[i * 2] | p[i * 2 + 1] << 8) >> 2; }},
        {"rk3588-gpixel", "/dev/video0", V4L2_PIX_FMT_Y12, [](const uint8_t* p, size_t i) { return (p[i * 2] | p[i * 2 + 1] << 8) >> 4; }},
        {"rk3588-gpixel", "/dev/video0", V4L2_PIX_FMT_GREY, [](const uint8_t* p, size_t i) { return (int)p[i]; }},
        {"rk3588-gpixel", "/dev/video0", V4L2_PIX_FMT_UYVY, [](const uint8_t* p, size_t i) { return (int)p[i * 2 + 1]; }},
        {"rk3568-imx570", "/dev/video4", V4L2_PIX_FMT_NV12, [](const uint8_t* p, size_t i) { return (int)p[i]; }},
    };
    for (const Case& k : cases) {
        BoardRoot b(k.profile);
        ASSERT_EQ(b.rc, 0);
        run_tof_sensor();
        Capture c(k.node);
        v4l2_format f = c.format();
        uint32_t w = c.mplane() ? f.fmt.pix_mp.width : f.fmt.pix.width;
        uint32_t h = c.mplane() ? f.fmt.pix_mp.height : f.fmt.pix.height;
        ASSERT_EQ(c.set_format(w, h, k.pixfmt), 0);
        ASSERT_GT(c.start(), 0);
        for (unsigned seq = 0; seq < 3; seq++) {
            std::vector<uint8_t> frame = c.grab();
            ASSERT_FALSE(frame.empty());
            int wrong = 0;
            for (size_t i = 0; i < (size_t)w * h; i++)
                wrong += k.luma(frame.data(), i) != sim_chart_luma((int)(i % w), (int)(i / w), (int)w, (int)h, seq);
            EXPECT_EQ(wrong, 0) << k.node << " " << std::hex << k.pixfmt << std::dec << " frame " << seq;
        }
    }
}

// ---- What the ToF models take frames by ----

namespace {

struct TofBoard {
    const char* profile;
    const char* sensor;
    const char* node;
};
const TofBoard kTofBoards[] = {
    {"rk3588-gpixel", "m01_b_Gpixel0503 5-0010", "/dev/video4"},
    {"rk3568-imx570", "m01_b_imx570 3-0010", "/dev/video0"},
    {"rk3588-vd55h1", "m01_b_VD55H1 5-0010", "/dev/video4"},
};

int cpld_word(int fd, uint32_t word) { return plat_ioctl(fd, SENSOR_IOC_CPLD_WORD, &word); }

// Frames a stepped node delivers for `steps` frame times.
int frames_in(Capture& c, int steps)
{
    int n = 0;
    for (int i = 0; i < steps; i++) {
        n += sim_camera_step(c.path.c_str(), 1);
        int b;
        while ((b = c.dequeue()) >= 0) c.queue((uint32_t)b);
    }
    return n;
}

// Amplitude at a wall pixel of the first four phase planes (w x h each,
// `stride` samples apart) and the brightest sample among them.
std::pair<double, int> amplitude(const std::vector<uint8_t>& f, size_t stride, uint32_t w, uint32_t x, uint32_t y)
{
    double re = 0, im = 0;
    int top = 0;
    for (int k = 0; k < 4; k++) {
        uint16_t v;
        memcpy(&v, f.data() + ((size_t)k * stride + (size_t)y * w + x) * 2, 2);
        v &= 0x0FFF;
        top = std::max(top, (int)v);
        re += v * cos(M_PI / 2 * k);
        im += v * sin(M_PI / 2 * k);
    }
    return {sqrt(re * re + im * im) / 2, top};
}

} // namespace

TEST(BoardSensors, ToFSensorsTakeFramesOnlyBetweenTheirStartAndStopSequences)
{
    for (const TofBoard& t : kTofBoards) {
        SCOPED_TRACE(t.profile);
        BoardRoot b(t.profile);
        ASSERT_EQ(b.rc, 0);
        int sd = subdev_of(t.sensor);
        ASSERT_GE(sd, 0);
        Capture c(t.node);
        ASSERT_EQ(c.start(), 4);
        EXPECT_EQ(frames_in(c, 3), 0) << "the node streams, the sensor does not yet";
        std::string kind = t.sensor;
        if (kind.find("Gpixel") != std::string::npos) {
            ASSERT_EQ(write_reg(sd, 0, 1), 0);
            ASSERT_EQ(write_reg(sd, 1, 1), 0);
        } else if (kind.find("imx570") != std::string::npos) {
            ASSERT_EQ(write_reg(sd, 4097, 1), 0);
        } else {
            ASSERT_EQ(write_reg(sd, 1600, 0x7F), 0); // its frame period
            ASSERT_EQ(write_reg(sd, 1601, 0x12), 0);
        }
        EXPECT_EQ(frames_in(c, 3), 3);
        if (kind.find("Gpixel") != std::string::npos) {
            ASSERT_EQ(write_reg(sd, 0, 0), 0);
            EXPECT_EQ(frames_in(c, 3), 0) << "run control off";
        } else if (kind.find("imx570") != std::string::npos) {
            ASSERT_EQ(write_reg(sd, 4097, 0), 0);
            EXPECT_EQ(frames_in(c, 3), 0) << "streaming off";
        }
        plat_close(sd);
    }
}

TEST(BoardSensors, InTriggerModeEachTriggerTakesExactlyOneFrame)
{
    // Gpixel: trigger mode from its trigger and stream registers, triggers on its line.
    {
        BoardRoot b("rk3588-gpixel");
        ASSERT_EQ(b.rc, 0);
        const char* sensor = "m01_b_Gpixel0503 5-0010";
        int sd = subdev_of(sensor);
        for (auto [addr, val] : {std::pair<uint16_t, uint8_t>{16, 1}, {32, 0}, {31, 1}, {16, 0}, {0, 0}})
            ASSERT_EQ(write_reg(sd, addr, val), 0);
        Capture c("/dev/video4");
        ASSERT_EQ(c.start(), 4);
        EXPECT_EQ(frames_in(c, 5), 0) << "no trigger, no frame";
        for (int i = 0; i < 3; i++) ASSERT_EQ(sim_sensor_trigger(sensor), 0);
        EXPECT_EQ(frames_in(c, 5), 3);
        // Back in free run the line means nothing.
        for (auto [addr, val] : {std::pair<uint16_t, uint8_t>{16, 1}, {32, 85}, {31, 84}, {16, 0}, {0, 1}})
            ASSERT_EQ(write_reg(sd, addr, val), 0);
        ASSERT_EQ(sim_sensor_trigger(sensor), 0);
        EXPECT_EQ(frames_in(c, 2), 2);
        plat_close(sd);
    }
    // IMX570: the CPLD's trigger mode, software trigger words and the line,
    // here on a paced node, where a trigger's frame comes at once.
    {
        BoardRoot b("rk3568-imx570");
        ASSERT_EQ(b.rc, 0);
        const char* sensor = "m01_b_imx570 3-0010";
        int sd = subdev_of(sensor);
        ASSERT_EQ(cpld_word(sd, 257), 0); // trigger mode
        ASSERT_EQ(write_reg(sd, 4097, 1), 0);
        Capture c("/dev/video0");
        ASSERT_EQ(sim_camera_set_mode("/dev/video0", SIM_CAMERA_PACED), 0);
        ASSERT_EQ(c.start(4), 4);
        int got = 0;
        auto take = [&](int want) {
            // Waits for the frames wanted, then a while for any extra one.
            while (got < want && c.readable(10000))
                for (int i; (i = c.dequeue()) >= 0; got++) c.queue((uint32_t)i);
            while (c.readable(300))
                for (int i; (i = c.dequeue()) >= 0; got++) c.queue((uint32_t)i);
            return got;
        };
        EXPECT_EQ(take(0), 0) << "no trigger, no frame";
        ASSERT_EQ(cpld_word(sd, 384), 0); // one frame
        EXPECT_EQ(take(1), 1);
        ASSERT_EQ(cpld_word(sd, 800 << 8 | 8), 0); // a length word triggers nothing
        ASSERT_EQ(cpld_word(sd, 128), 0);          // one frame after a length word
        ASSERT_EQ(sim_sensor_trigger(sensor), 0);  // the hardware line
        EXPECT_EQ(take(3), 3);
        EXPECT_EQ(sim_camera_frames("/dev/video0"), 3);
        plat_close(sd);
    }
}

TEST(BoardSensors, ATriggerOutsideTriggerModeIsLostThenAndLater)
{
    // The Gpixel triggered on its line, the IMX570 by the CPLD's trigger word.
    struct Case {
        const TofBoard& t;
        std::function<int(int sd)> run, triggered, trigger; // free run; trigger mode from free run
    } cases[] = {
        {kTofBoards[0], [](int sd) { return write_reg(sd, 0, 1); },
         [](int sd) { return write_reg(sd, 32, 0) | write_reg(sd, 31, 1); },
         [](int) { return sim_sensor_trigger(kTofBoards[0].sensor); }},
        {kTofBoards[1], [](int sd) { return write_reg(sd, 4097, 1); }, [](int sd) { return cpld_word(sd, 257); },
         [](int sd) { return cpld_word(sd, 128); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.t.profile);
        BoardRoot b(c.t.profile);
        ASSERT_EQ(b.rc, 0);
        int sd = subdev_of(c.t.sensor);
        ASSERT_GE(sd, 0);
        Capture cap(c.t.node);
        ASSERT_EQ(cap.start(), 4);
        ASSERT_EQ(c.trigger(sd), 0);
        EXPECT_EQ(frames_in(cap, 2), 0) << "stopped";
        ASSERT_EQ(c.run(sd), 0);
        ASSERT_EQ(c.trigger(sd), 0);
        ASSERT_EQ(c.triggered(sd), 0);
        EXPECT_EQ(frames_in(cap, 2), 0) << "a trigger in free run is not kept for trigger mode";
        ASSERT_EQ(c.trigger(sd), 0);
        EXPECT_EQ(frames_in(cap, 2), 1) << "in trigger mode the same trigger takes a frame";
        plat_close(sd);
    }
}

TEST(BoardSensors, AmplitudeFollowsTheIntegrationLengthUntilSamplesSaturate)
{
    BoardRoot b("rk3588-gpixel");
    ASSERT_EQ(b.rc, 0);
    int sd = subdev_of("m01_b_Gpixel0503 5-0010");
    ASSERT_EQ(write_reg(sd, 0, 1), 0);
    Capture c("/dev/video4");
    ASSERT_EQ(c.start(), 4);
    auto at_length = [&](uint16_t len) {
        for (auto [addr, val] : {std::pair<uint16_t, uint8_t>{16, 1}, {527, (uint8_t)(len >> 8)}, {526, (uint8_t)len},
                                 {16, 0}})
            EXPECT_EQ(write_reg(sd, addr, val), 0);
        std::vector<uint8_t> f = c.grab();
        EXPECT_FALSE(f.empty());
        return f.empty() ? std::pair<double, int>{0, 0} : amplitude(f, 640 * 480, 640, 600, 40);
    };
    auto [a400, top400] = at_length(400);
    auto [a800, top800] = at_length(800);
    auto [a4095, top4095] = at_length(4095);
    EXPECT_NEAR(a800 / a400, 2.0, 0.02);
    EXPECT_LT(top800, 4095);
    EXPECT_EQ(top4095, 4095) << "the longest integration saturates the wall";
    EXPECT_LT(a4095, a800 * 4095 / 800 * 0.95) << "a saturated pixel loses amplitude";
    plat_close(sd);
}

TEST(BoardSensors, AColourCameraOnTheToFFrameSyncRunsOnlyWhileTheToFSensorDoes)
{
    BoardRoot b("rk3588-gpixel");
    ASSERT_EQ(b.rc, 0);
    int tof = subdev_of("m01_b_Gpixel0503 5-0010");
    int col = subdev_of("m00_b_sc130gs 4-0030");
    ASSERT_GE(tof, 0);
    ASSERT_GE(col, 0);
    ASSERT_EQ(write_reg(col, 0x3234, 0x80), 0); // triggered by the frame sync
    EXPECT_EQ(interval_fps(col), 0.0);
    ASSERT_EQ(write_reg(tof, 0, 1), 0);
    EXPECT_NEAR(interval_fps(col), interval_fps(tof), 0.01);
    EXPECT_GT(interval_fps(col), 0.0);
    plat_close(tof);
    plat_close(col);
}
