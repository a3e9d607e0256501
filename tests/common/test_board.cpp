// Board identification on the simulated board: the CPU type from the OTP
// chip name, the board version from the device-tree model and code lines,
// vendor storage items, the CPU serial, the hardware check over media
// graphs and I2C buses, and FPGA image choice and programming.
#include "common/board.h"

#include "algo/algotest.h"
#include "common/custom.h"
#include "media-ctl/mediafixture.h"
#include "platform/boardroot.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using algotest::LogCapture;
using algotest::Registers;

constexpr const char* kOtp = "/sys/bus/nvmem/devices/rockchip-otp0/nvmem";

// A simulated board with a register block and the logger captured.
struct Board {
    LogCapture log;
    BoardRoot  root;
    Registers  regs;
    explicit Board(const char* profile = "rk3568-imx570") : root(profile) {}

    std::string host(const std::string& path) const { return root.host(path); }
    bool put(const std::string& path, const std::string& data) { return write_host_file(host(path), data); }
};

// ---- CPU type ----

TEST(CpuType, ChipNameInTheOtpGivesTheType)
{
    const struct {
        std::string otp;  // "-": no OTP file
        int         cpu;
        const char* chipLog;
    } rows[] = {
        {std::string("RK\x35\x88\x91\xfe\x21\x41", 8), 0, "chipId:RK3588"},
        {std::string("RK\x35\x68\x91\xfe\x21\x41", 8), 1, "chipId:RK3568"},
        {std::string("RK\x35\x76\0\0\0\0", 8), 2, "chipId:RK3576"},
        {std::string("RK\x33\x99\0\0\0\0", 8), 0, "chipId:RK3399"},
        {"RK\x35", 0, "chipId:"},  // too short to name a chip
        {"-", 0, "chipId:"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.chipLog);
        Board b;
        ASSERT_TRUE(r.otp == "-" ? unlink(b.host(kOtp).c_str()) == 0 : b.put(kOtp, r.otp));
        EXPECT_EQ(get_cpu_id(), r.cpu);
        EXPECT_TRUE(b.log.has(r.chipLog));
        EXPECT_TRUE(b.log.has("cpuType:" + std::to_string(r.cpu)));
    }
}

// ---- Board version ----

TEST(BoardVersion, ModelNameAndCodeLinesTogetherGiveTheVersion)
{
    struct Row {
        std::string model;
        int         lines[4];  // 42, 43, 38, 40
        int         version;
    };
    const Row rows[] = {
        {"Vornak Camera Tavo Boa", {0, 0, 0, 0}, 1},
        {"Vornak Camera Tavo Boa", {0, 0, 0, 1}, 0},
        {"Vornak Camera TavoV2.3", {0, 0, 0, 1}, 2},
        {"Vornak Camera TavoV2.3", {0, 0, 0, 0}, 0},
        {"Vornak Camera Tavo Boa Plus", {0, 0, 0, 0}, 1},  // cut after the name
        {"Vornak Camera Tavo Bo", {0, 0, 0, 0}, 0},         // one short
        {"Short model", {0, 0, 0, 1}, 0},
        {"", {0, 0, 0, 0}, 0},
        {std::string(300, 'x'), {0, 0, 0, 0}, 0},  // no terminator in the first 100 bytes
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.model);
        Board b;
        ASSERT_TRUE(b.put("/proc/device-tree/model", r.model + '\0'));
        const int lines[4] = {42, 43, 38, 40};
        for (int i = 0; i < 4; ++i) ASSERT_EQ(sim_gpio_set_input(lines[i], r.lines[i]), 0);
        EXPECT_EQ(compare_hardware_version(), r.version);
        EXPECT_EQ(b.log.has("board model info error:"), r.version == 0);
        // A model too short for a name is logged whole, with the code.
        EXPECT_EQ(b.log.has("board model info error:1,Short model"), r.model == "Short model");
    }
}

// ---- Vendor storage ----

std::string vendor_item(unsigned id)
{
    char buf[PLAT_VENDOR_DATA_MAX];
    int n = sim_vendor_get(id, buf, sizeof(buf));
    return n < 0 ? "<missing>" : std::string(buf, (size_t)n);
}

TEST(VendorStorage, ItemsRoundTripWithinTheCallersRoom)
{
    Board b;
    const std::string code = "FA31511499990000";
    EXPECT_EQ(rkvendor_write(PLAT_VENDOR_BOARD_CODE, code.data(), (int)code.size()), 0);
    EXPECT_EQ(vendor_item(PLAT_VENDOR_BOARD_CODE), code);

    // Exactly the item's length fits; one byte less is refused, untouched.
    char buf[17];
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(rkvendor_read(PLAT_VENDOR_BOARD_CODE, buf, 15), -1);
    EXPECT_EQ(std::string(buf, 17), std::string(17, '#'));
    EXPECT_TRUE(b.log.has("param size is lower then read size 16"));
    EXPECT_EQ(rkvendor_read(PLAT_VENDOR_BOARD_CODE, buf, 16), 0);
    EXPECT_EQ(std::string(buf, 17), code + "#");

    // 1024 bytes go through whole; more, or nonsense lengths, are refused.
    std::string big(PLAT_VENDOR_DATA_MAX + 1, 'z');
    EXPECT_EQ(rkvendor_write(PLAT_VENDOR_SERIAL, big.data(), (int)big.size()), -1);
    EXPECT_EQ(rkvendor_write(PLAT_VENDOR_SERIAL, "x", -1), -1);
    EXPECT_EQ(rkvendor_read(PLAT_VENDOR_SERIAL, buf, -1), -1);
    EXPECT_EQ(vendor_item(PLAT_VENDOR_SERIAL), "CU2511040007");
    EXPECT_EQ(rkvendor_write(40, big.data(), PLAT_VENDOR_DATA_MAX), 0);
    EXPECT_EQ(vendor_item(40), big.substr(1));
    EXPECT_EQ(rkvendor_read(77, buf, 16), -1);  // no such item

    // The text variants: a terminated copy, logged as text or hexadecimal.
    char text[] = "AB1";
    EXPECT_EQ(vendor_storage_write(41, text, 1), 0);
    EXPECT_TRUE(b.log.has("vendor write 41:414231"));
    char out[PLAT_VENDOR_DATA_MAX + 1];
    memset(out, '#', sizeof(out));
    EXPECT_EQ(vendor_storage_read(41, 0, out), 0);
    EXPECT_STREQ(out, "AB1");
    EXPECT_EQ(vendor_storage_read(40, 0, out), 0);  // a full-size item ends inside
    EXPECT_EQ(std::string(out), big.substr(1));
    EXPECT_EQ(vendor_storage_write(42, big.data(), 0), -1);
}

TEST(VendorStorage, DeviceFailuresAreReported)
{
    const int faults[] = {SIM_REQ_OPEN, SIM_REQ_IOCTL, -1};  // -1: the device is absent
    Board b;
    for (int fault : faults) {
        for (int write = 0; write < 2; ++write) {
            SCOPED_TRACE(std::to_string(fault) + (write ? " write" : " read"));
            ASSERT_EQ(fault < 0 ? sim_set_absent("/dev/vendor_storage", 1)
                                : sim_fail_nth("/dev/vendor_storage", fault, 1, EIO),
                      0);
            char buf[64];
            EXPECT_EQ(write ? rkvendor_write(PLAT_VENDOR_SERIAL, "NEW", 3) : rkvendor_read(PLAT_VENDOR_SERIAL, buf, 64),
                      -1);
            sim_faults_clear();
        }
    }
    EXPECT_EQ(vendor_item(PLAT_VENDOR_SERIAL), "CU2511040007");
}

// ---- CPU serial ----

TEST(CpuSerial, SixteenCharactersOfTheSerialLine)
{
    const std::string none(16, '\0');
    const struct {
        const char* cpuinfo;  // nullptr: no file
        std::string serial;   // the 16 bytes
    } rows[] = {
        {"processor\t: 0\nSerial\t\t: 0123456789abcdef7777\nRevision\t: 0\n", "0123456789abcdef"},
        {"Serial\t\t: abc", "abc" + none.substr(3)},
        {"processor\t: 0\nHardware\t: Rockchip\n", none},
        {nullptr, none},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.cpuinfo ? r.cpuinfo : "<none>");
        Board b;
        ASSERT_TRUE(r.cpuinfo ? b.put("/proc/cpuinfo", r.cpuinfo) : unlink(b.host("/proc/cpuinfo").c_str()) == 0);
        char buf[20];
        memset(buf, '#', sizeof(buf));
        get_cpuSerial(buf);
        EXPECT_EQ(std::string(buf, 20), r.serial + "####");  // nothing past the 16 bytes
    }
}

// ---- FPGA programming ----

struct Fpga : Board {
    using Board::Board;
    void set(uint32_t tofKind, uint32_t mode, uint32_t devLogic, uint32_t phase)
    {
        regs.tof().sensorType = tofKind;
        regs.cfg.common.masterSlaveMode = mode;
        regs.run.devLogic = devLogic;
        regs.cfg.common.phaseOptions = phase;
    }
    // Makes `mode` the last programmed IMX570 mode, whatever came before.
    void last_mode(uint32_t mode)
    {
        set(E_IMX570, mode, 0, 0);
        ASSERT_EQ(fpga_upgrade(), 0);
    }
    std::string programmed() const
    {
        long n = sim_cpld_image(nullptr, 0);
        if (n < 0) return "<none>";
        std::string img((size_t)n, '\0');
        sim_cpld_image(img.data(), img.size());
        return img;
    }
    std::string image(const std::string& path) { return read_host_file(host(path)); }
};

TEST(FpgaImage, ChoiceFollowsSensorModeLogicAndPhase)
{
    enum Form { Upgrade, Sipm, Named };
    struct Row {
        Form        form;
        uint32_t    tofKind, mode, devLogic, phase;
        const char* file;
    };
    const Row rows[] = {
        {Upgrade, E_GPIXEL_0503, 0, 0, 0, "/etc/fpga_update.bin"},
        {Upgrade, E_VD55H1, 1, 1, 1, "/etc/fpga_update.bin"},
        {Upgrade, E_IMX570, 1, 0, 0, "/etc/fpga_update_B.bin"},
        {Upgrade, E_IMX570, 0, 1, 0, "/etc/fpga_update_A.bin"},
        {Upgrade, E_IMX570, 0, 1, 1, "/etc/fpga_update_A3ph.bin"},
        {Upgrade, E_IMX570, 0, 1, 2, "/etc/fpga_update_A3ph_23fps8.bin"},
        {Upgrade, E_IMX570, 0, 7, 9, "/etc/fpga_update_A3ph_23fps8.bin"},
        {Upgrade, E_IMX570, 0, 0, 0, "/etc/fpga_update_C.bin"},
        {Upgrade, E_IMX570, 0, 0, 2, "/etc/fpga_update_C3ph_23fps8.bin"},
        {Sipm, E_IMX570, 0, 0, 0, "/etc/fpga_update_sipm_4Ph.bin"},
        {Sipm, E_IMX570, 0, 0, 1, "/etc/fpga_update_sipm.bin"},
        {Named, E_GPIXEL_0503, 0, 0, 0, "/etc/fpga_update_C.bin"},
    };
    Fpga f;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        if (r.form == Upgrade && r.tofKind == E_IMX570) f.last_mode(r.mode == 0 ? 1 : 0);
        f.set(r.tofKind, r.mode, r.devLogic, r.phase);
        unsigned long before = sim_cpld_programs();
        int rc = r.form == Upgrade ? fpga_upgrade() : r.form == Sipm ? fpga_upgrade_sipm() : fpga_upgrade_name(r.file);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(sim_cpld_programs(), before + 1);
        std::string want = f.image(r.file);
        ASSERT_GT(want.size(), 0u);
        EXPECT_TRUE(f.programmed() == want);
    }
    EXPECT_TRUE(f.log.has("sipm calib program is:/etc/fpga_update_sipm.bin,1"));
}

TEST(FpgaImage, Imx570ProgramsOnlyWhenTheModeChanges)
{
    Fpga f;
    f.last_mode(0);
    unsigned long start = sim_cpld_programs();

    f.set(E_IMX570, 1, 0, 1);
    EXPECT_EQ(fpga_upgrade(), 0);
    EXPECT_EQ(fpga_upgrade(), 0);
    EXPECT_EQ(sim_cpld_programs(), start + 1);
    EXPECT_TRUE(f.log.has("same mode,cpld updated:/etc/fpga_update_B.bin,1,imx570 now in E_3_PHASE_24_FPS"));

    // The phase setting alone does not re-program; the mode does.
    f.set(E_IMX570, 1, 0, 7);
    EXPECT_EQ(fpga_upgrade(), 0);
    EXPECT_TRUE(f.log.has("imx570 now in E_3_PHASE_23_8_FPS"));
    f.set(E_IMX570, 0, 0, 0);
    EXPECT_EQ(fpga_upgrade(), 0);
    EXPECT_EQ(sim_cpld_programs(), start + 2);
    EXPECT_TRUE(f.programmed() == f.image("/etc/fpga_update_C.bin"));

    // Other sensors program every time.
    f.set(E_GPIXEL_0503, 0, 0, 0);
    EXPECT_EQ(fpga_upgrade(), 0);
    EXPECT_EQ(fpga_upgrade(), 0);
    EXPECT_EQ(sim_cpld_programs(), start + 4);
}

TEST(FpgaProgramming, FailuresAreReportedPerForm)
{
    enum Form { Upgrade, V23, Sipm, Named };
    enum Break { Missing, Empty, NoDevice, WriteFails, CloseFails };
    const struct {
        const char* what;
        Form        form;
        Break       brk;
        int         rc;
        const char* message;
    } rows[] = {
        {"missing image", Upgrade, Missing, -1, "can't open /etc/fpga_update.bin"},
        {"missing V23 image", V23, Missing, -1, "can't open /etc/fpga_update_V23.bin"},
        {"missing SiPM image", Sipm, Missing, 0, "can't open /etc/fpga_update_sipm_4Ph.bin"},
        {"missing named image", Named, Missing, 0, "can't open /etc/fpga_update.bin"},
        {"empty image", Upgrade, Empty, -1, "/etc/fpga_update.bin size is error"},
        {"empty named image", Named, Empty, -1, "size is error"},
        {"no device", Upgrade, NoDevice, -1, "can not open /dev/dev_cpld."},
        {"failed write", Upgrade, WriteFails, -1, "write /etc/fpga_update.bin fail:-1 of 8192"},
        {"failed close", Upgrade, CloseFails, -1, "update fpga:/etc/fpga_update.bin"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Fpga f;
        f.set(E_GPIXEL_0503, 0, 0, 0);
        const char* file = r.form == V23    ? "/etc/fpga_update_V23.bin"
                           : r.form == Sipm ? "/etc/fpga_update_sipm_4Ph.bin"
                                            : "/etc/fpga_update.bin";
        switch (r.brk) {
        case Missing: unlink(f.host(file).c_str()); break;
        case Empty: ASSERT_TRUE(f.put(file, "")); break;
        case NoDevice: ASSERT_EQ(sim_set_absent("/dev/dev_cpld", 1), 0); break;
        case WriteFails: ASSERT_EQ(sim_fail_nth("/dev/dev_cpld", SIM_REQ_WRITE, 1, EIO), 0); break;
        case CloseFails: ASSERT_EQ(sim_fail_nth("/dev/dev_cpld", SIM_REQ_CLOSE, 1, EIO), 0); break;
        }
        int rc = r.form == Upgrade ? fpga_upgrade()
                 : r.form == V23   ? fpga_upgrade_V23()
                 : r.form == Sipm  ? fpga_upgrade_sipm()
                                   : fpga_upgrade_name(file);
        EXPECT_EQ(rc, r.rc);
        EXPECT_TRUE(f.log.has(r.message)) << r.message;
        EXPECT_EQ(sim_cpld_programs(), 0u);
    }
}

TEST(FpgaProgramming, FailedImx570WriteIsNotTakenForTheProgrammedMode)
{
    Fpga f;
    f.last_mode(0);
    unsigned long start = sim_cpld_programs();
    f.set(E_IMX570, 1, 0, 0);
    ASSERT_EQ(sim_fail_nth("/dev/dev_cpld", SIM_REQ_WRITE, 1, EIO), 0);
    EXPECT_EQ(fpga_upgrade(), -1);
    EXPECT_EQ(sim_cpld_programs(), start);
    // The caller's retry programs the image instead of finding the mode set.
    EXPECT_EQ(fpga_upgrade(), 0);
    EXPECT_EQ(sim_cpld_programs(), start + 1);
    EXPECT_FALSE(f.log.has("same mode,cpld updated:/etc/fpga_update_B.bin"));
    EXPECT_TRUE(f.programmed() == f.image("/etc/fpga_update_B.bin"));
}

// ---- Hardware check ----

// One media node: a capture entity and, optionally, the sensor feeding it.
// Node numbers from 40 + `n`, clear of the board's own.
struct MediaNode {
    mediafx::Media media;

    MediaNode(int n, const char* capture, const char* sensor, bool captureNode = true)
    {
        std::string num = std::to_string(40 + n);
        bool subdevCapture = strcmp(capture, "rkisp-isp-subdev") == 0;
        media.entities.push_back({2, capture, subdevCapture ? 0x20000u : 0x10001u, 0, {MEDIA_PAD_FL_SINK},
                                  captureNode ? (subdevCapture ? "/dev/v4l-subdev" : "/dev/video") + num : ""});
        if (sensor) {
            std::string node = "/dev/v4l-subdev" + std::to_string(50 + n);
            media.entities.push_back({1, sensor, 0x20001, 0, {MEDIA_PAD_FL_SOURCE}, node});
            media.links = {{1, 0, 2, 0, 3}};
        }
    }

    // Puts the node at `path` with its entity nodes and their sysfs names.
    void install(const BoardRoot& root, const char* path)
    {
        ASSERT_EQ(sim_device_add(path, &mediafx::kMediaOps, &media), 0) << "the board already has " << path;
        std::string dir = root.host("/sys/dev/char");
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        ASSERT_FALSE(ec);
        for (const mediafx::Entity& e : media.entities) {
            if (e.node.empty()) continue;
            ASSERT_EQ(sim_device_add(e.node.c_str(), &mediafx::kPlainOps, nullptr), 0);
            dev_t rdev = sim_device_rdev(e.node.c_str());
            std::string link = dir + "/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
            std::string target = "../../devices/platform/media/" + e.node.substr(e.node.rfind('/') + 1);
            ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        }
    }
};

// A board profile of one chip with its buses' chips and no sensors of its
// own: the test places the media graphs.
std::string write_profile(const TempDir& dir, const char* chip)
{
    std::string devices = strcmp(chip, "RK3588") == 0   ? "temp@6:0x48 temp@6:0x49 temp@5:0x48 imu@3:0x69"
                          : strcmp(chip, "RK3568") == 0 ? "temp@2:0x48 temp@2:0x49 temp@3:0x48 imu@3:0x69"
                                                        : "imu@3:0x69";
    std::string path = dir / (std::string("hw-") + chip + ".ini");
    write_host_file(path, std::string("[BOARD]\nCHIP=") + chip +
                              "\nMODEL=Vornak Camera Test\nTOF_SENSOR=\nCOLOUR_SENSOR=\nRTC=yes\nFPGA_IMAGES=\n\n"
                              "[I2C]\nDEVICES=" + devices + "\n");
    return path;
}

// Chips the probes may find silent, by hardware-check bit.
struct Silent {
    uint32_t bit;
    int      bus3588, bus3568, addr;
};
constexpr Silent kSilent[] = {
    {HW_CHECK_LD_TEMP_LEFT, 6, 2, 0x48},
    {HW_CHECK_LD_TEMP_RIGHT, 6, 2, 0x49},
    {HW_CHECK_SENSOR_TEMP, 5, 3, 0x48},
    {HW_CHECK_IMU, 3, 3, 0x69},
};

struct HwBoard {
    const char* chip;
    // Media models outlive the board that answers through them.
    MediaNode  tof, rgb;
    TempDir    dir{"korvid-hw"};
    std::string profile;
    LogCapture log;
    std::unique_ptr<BoardRoot> root;
    Registers  regs;
    HwBoard(const char* chip, const char* tofSensor, const char* rgbSensor, bool tofCaptureNode = true)
        : chip(chip), tof(0, "stream_cif_mipi_id0", tofSensor, tofCaptureNode),
          rgb(1, strcmp(chip, "RK3568") == 0 ? "rkisp-isp-subdev" : "stream_cif_mipi_id0", rgbSensor),
          profile(write_profile(dir, chip)), root(std::make_unique<BoardRoot>(profile.c_str()))
    {
        g_tofSensorType = 7;
        g_rgbSensorType = 8;
        g_hardWireCheck = 9;
    }
    // Places the graphs where this chip's board looks for them.
    void install(bool withTof = true, bool withRgb = true)
    {
        ASSERT_EQ(root->rc, 0);
        bool rk3588 = strcmp(chip, "RK3588") == 0;
        if (withTof) { ASSERT_NO_FATAL_FAILURE(tof.install(*root, rk3588 ? "/dev/media1" : "/dev/media0")); }
        if (withRgb && strcmp(chip, "RK3576") != 0) {
            ASSERT_NO_FATAL_FAILURE(rgb.install(*root, rk3588 ? "/dev/media0" : "/dev/media1"));
        }
    }
};

TEST(HardwareCheck, SensorsAndSilentChipsMakeTheWordAndKinds)
{
    struct Row {
        const char* chip;
        const char* tofSensor;  // entity name, nullptr: no sensor
        const char* rgbSensor;  // nullptr: no sensor; RK3576 shares the ToF graph
        uint32_t    silent;     // bits 2..6 of chips made silent
        uint32_t    word, tofKind, rgbKind;
    };
    const Row rows[] = {
        {"RK3588", "m00_b_Gpixel0503 4-0010", "m01_f_sc130gs 5-0030", 0, 0, E_GPIXEL_0503, E_SMARTSENS_SC130GS},
        {"RK3588", "m00_b_imx570 4-0010", nullptr, 0, HW_CHECK_NO_RGB, E_IMX570, E_SMARTSENS_SC130GS},
        {"RK3588", nullptr, "m01_f_sc2210 5-0030", 0, HW_CHECK_NO_TOF, E_SENSOR_NONE, E_SMARTSENS_SC2210},
        {"RK3588", "m00_b_VD55H1 4-0010", "m01_f_fh8323 5-0030", 0x7C, 0x7C, E_VD55H1, E_FH8323},
        {"RK3588", "imx", "m01", 0, 0, E_SENSOR_NONE, E_SMARTSENS_SC130GS},  // names too short for the prefix
        {"RK3568", "m00_b_VD55H1 4-0010", "m01_f_sc230ai 3-0030", HW_CHECK_LD_TEMP_LEFT, HW_CHECK_LD_TEMP_LEFT,
         E_VD55H1, E_SMARTSENS_SC230AI},
        {"RK3568", "m00_b_imx570 4-0010", "m01_f_sc2210 3-0030", HW_CHECK_SENSOR_TEMP | HW_CHECK_IMU,
         HW_CHECK_SENSOR_TEMP | HW_CHECK_IMU, E_IMX570, E_SMARTSENS_SC2210},
        {"RK3576", "m00_b_fh8323 4-0010", nullptr, HW_CHECK_RTC | HW_CHECK_IMU, HW_CHECK_RTC | HW_CHECK_IMU, E_FH8320,
         E_FH8323},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.chip) + " " + (r.tofSensor ? r.tofSensor : "-") + " " +
                     (r.rgbSensor ? r.rgbSensor : "-"));
        HwBoard b(r.chip, r.tofSensor, r.rgbSensor);
        ASSERT_NO_FATAL_FAILURE(b.install());
        bool rk3576 = strcmp(r.chip, "RK3576") == 0;
        bool rk3588 = strcmp(r.chip, "RK3588") == 0;
        for (const Silent& s : kSilent) {
            if (!(r.silent & s.bit)) continue;
            if (rk3576 && s.bit != HW_CHECK_IMU) continue;  // not on that board
            ASSERT_EQ(sim_i2c_set_absent(rk3588 ? s.bus3588 : s.bus3568, s.addr, 1), 0);
        }
        if (r.silent & HW_CHECK_RTC) { ASSERT_EQ(sim_set_absent("/dev/rtc0", 1), 0); }

        hardware_check();
        EXPECT_EQ(g_hardWireCheck, r.word);
        EXPECT_EQ(g_tofSensorType, r.tofKind);
        EXPECT_EQ(g_rgbSensorType, r.rgbKind);
        char hw[32];
        snprintf(hw, sizeof(hw), "hardware:0x%x", r.word);
        EXPECT_TRUE(b.log.has(hw)) << hw;
        EXPECT_EQ(b.log.has("not find tof sensor"), (r.word & HW_CHECK_NO_TOF) != 0);
        EXPECT_EQ(b.log.has("not find rgb sensor"), (r.word & HW_CHECK_NO_RGB) != 0);
        if (r.rgbKind == E_SMARTSENS_SC230AI) {
            EXPECT_EQ(b.regs.cfg.common.cameraRgbEncType, 4u);
        }
    }
}

TEST(HardwareCheck, ProbesUseAShortTimeoutAndOneRetry)
{
    HwBoard b("RK3568", "m00_b_imx570 4-0010", "m01_f_sc230ai 3-0030");
    ASSERT_NO_FATAL_FAILURE(b.install());
    // One lost arbitration is retried; two make the chip silent.
    ASSERT_EQ(sim_i2c_set_busy(2, 0x48, 1), 0);
    ASSERT_EQ(sim_i2c_set_busy(2, 0x49, 2), 0);
    hardware_check();
    EXPECT_EQ(g_hardWireCheck, HW_CHECK_LD_TEMP_RIGHT);
    int timeout = 0, retries = 0;
    ASSERT_EQ(sim_i2c_bus_settings(2, &timeout, &retries), 0);
    EXPECT_EQ(timeout, 2);
    EXPECT_EQ(retries, 1);
}

TEST(HardwareCheck, UnusableGraphEndsTheCheckLeavingEarlierResults)
{
    enum Break { NoTofGraph, TofCaptureWithoutNode, NoRgbGraph };
    const struct {
        Break       brk;
        const char* message;
        uint32_t    tofKind;  // 7: left as it was
    } rows[] = {
        {NoTofGraph, "media_get_entity_by_name fail.", 7},
        {TofCaptureWithoutNode, "media_entity_get_devname fail.", 7},
        {NoRgbGraph, "media_get_entity_by_name fail.", E_IMX570},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.message);
        HwBoard b("RK3588", "m00_b_imx570 4-0010", "m01_f_sc2210 5-0030", r.brk != TofCaptureWithoutNode);
        ASSERT_NO_FATAL_FAILURE(b.install(r.brk != NoTofGraph, r.brk != NoRgbGraph));
        hardware_check();
        EXPECT_TRUE(b.log.has(r.message));
        EXPECT_FALSE(b.log.has("hardware:"));
        EXPECT_EQ(g_tofSensorType, r.tofKind);
        EXPECT_EQ(g_rgbSensorType, 8u);
        EXPECT_EQ(g_hardWireCheck, 9u);
    }
}

} // namespace
