// Board profiles lay out a root from nothing, per chip, and keep what a
// board keeps across restarts.
#include "platform/boardroot.h"

#include "confile.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <string.h>
#include <time.h>

namespace {

// The chip name as start-up reads it: 8 bytes formatted "%c%c%x%x".
std::string chip_of_root(const BoardRoot& b)
{
    FILE* f = plat_fopen("/sys/bus/nvmem/devices/rockchip-otp0/nvmem", "rb");
    if (!f) return "<none>";
    unsigned char id[8] = {};
    size_t n = fread(id, 1, sizeof(id), f);
    fclose(f);
    (void)b;
    if (n != 8) return "<short>";
    char text[32];
    snprintf(text, sizeof(text), "%c%c%x%x", id[0], id[1], id[2], id[3]);
    return text;
}

std::string model_from(size_t at, size_t len)
{
    FILE* f = plat_fopen("/proc/device-tree/model", "rb");
    if (!f) return "<none>";
    char buf[101] = {};
    size_t n = fread(buf, 1, 100, f);
    fclose(f);
    std::string s(buf, strnlen(buf, n));
    return s.size() < at + len ? "<short>" : s.substr(at, len);
}

struct ChipCase {
    const char* profile;
    const char* chip;
    const char* board_name; // characters 14.. of the model, "" when not checked
    bool        rtc;
    int         temp_bus;
};

const ChipCase kChips[] = {
    {"rk3588-gpixel", "RK3588", "", true, 6},
    {"rk3568-imx570", "RK3568", "Tavo Boa", true, 2},
    {"rk3568-v23", "RK3568", "TavoV2.3", true, 2},
    {"rk3576-vd55h1", "RK3576", "", false, 4},
};

} // namespace

TEST(BoardProfile, EachChipLaysOutWhatStartUpReads)
{
    for (const auto& c : kChips) {
        SCOPED_TRACE(c.profile);
        BoardRoot b(c.profile);
        ASSERT_EQ(b.rc, 0);
        EXPECT_STREQ(sim_profile()->name, c.profile);
        EXPECT_EQ(chip_of_root(b), c.chip);
        if (*c.board_name) {
            EXPECT_EQ(model_from(14, strlen(c.board_name)), c.board_name);
        }
        EXPECT_EQ(plat_access("/dev/rtc0", F_OK) == 0, c.rtc);
        // Temperature sensor of the temperature task's bus answers.
        unsigned v = 0;
        EXPECT_EQ(sim_i2c_get_reg(c.temp_bus, 0x48, 0, &v), 0);
        EXPECT_NE(v, 0u);
        EXPECT_EQ(sim_i2c_get_reg(3, 0x11, 0, &v), 0); // board CPLD
        EXPECT_EQ(sim_i2c_get_reg(3, 0x69, 0, &v), 0); // IMU
        EXPECT_EQ(v, 0x24u);
    }
}

TEST(BoardProfile, FreshBoardFilesHoldTheKeysTheirReadersExpect)
{
    BoardRoot b("rk3568-imx570");
    ASSERT_EQ(b.rc, 0);
    char path[PATH_MAX];
    ConfMgmt* net = conf_mgmt_init(plat_path("/userdata/const/net_config", path, sizeof(path)));
    ASSERT_NE(net, nullptr);
    EXPECT_STREQ(conf_get_string(net, "IPCONFIG", "IPADDRESS"), "192.168.100.82");
    // The setters change existing keys only, so the keys must be there.
    EXPECT_EQ(conf_set_string(net, "IPCONFIG", "GATEWAY", "10.0.0.1"), 0);
    conf_mgmt_cleanup(net);

    ConfMgmt* log = conf_mgmt_init(plat_path("/etc/spdlog.conf", path, sizeof(path)));
    ASSERT_NE(log, nullptr);
    EXPECT_STREQ(conf_get_string(log, "SPDLOG", "FILE_NAME"), "/var/log/camera.log");
    EXPECT_EQ(conf_get_int(log, "SPDLOG", "FILE_SIZE"), 20);
    EXPECT_STREQ(conf_get_string(log, "SPDLOG_RUNTIME", "FILE_NAME"), "/var/log/camera_runtime.log");
    conf_mgmt_cleanup(log);

    // /userdata/const holds nothing but the network settings.
    DIR* d = opendir(plat_path("/userdata/const", path, sizeof(path)));
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    EXPECT_EQ(names, std::vector<std::string>{"net_config"});

    // The kernel build time parses as the firmware time does.
    FILE* f = plat_fopen("/proc/version", "r");
    ASSERT_NE(f, nullptr);
    char text[1024] = {};
    EXPECT_GT(fread(text, 1, sizeof(text) - 1, f), 0u);
    fclose(f);
    const char* smp = strstr(text, "SMP");
    ASSERT_NE(smp, nullptr);
    struct tm tm = {};
    ASSERT_NE(strptime(smp + 4, "%a %b %d %H:%M:%S CST %Y", &tm), nullptr);
    EXPECT_EQ(tm.tm_year + 1900, 2025);
    EXPECT_EQ(tm.tm_mon + 1, 11);

    // The FPGA images it may choose are there, each its own.
    EXPECT_EQ(plat_access("/etc/fpga_update_C3ph_23fps8.bin", R_OK), 0);
    EXPECT_NE(read_host_file(b.host("/etc/fpga_update_A.bin")), read_host_file(b.host("/etc/fpga_update_B.bin")));
}

TEST(BoardProfile, RestartKeepsBoardStateAndRewritesHardwareFacts)
{
    TempDir dir;
    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3588-gpixel"), 0);
    std::string root = plat_board_root();
    ASSERT_TRUE(write_host_file(root + "/userdata/const/net_config", "[IPCONFIG]\nIPADDRESS=10.1.2.3\n"));
    ASSERT_TRUE(write_host_file(root + "/userdata/config.bin", "saved"));
    ASSERT_TRUE(write_host_file(root + "/proc/device-tree/model", "scribbled"));
    plat_board_close();

    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3588-gpixel"), 0);
    EXPECT_EQ(read_host_file(root + "/userdata/const/net_config"), "[IPCONFIG]\nIPADDRESS=10.1.2.3\n");
    EXPECT_EQ(read_host_file(root + "/userdata/config.bin"), "saved");
    EXPECT_EQ(read_host_file(root + "/proc/device-tree/model"), std::string("Vornak Camera Tavo Plus") + '\0');
    plat_board_close();

    // The same root brought up as another board takes that board's facts.
    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3576-vd55h1"), 0);
    EXPECT_NE(plat_access("/dev/rtc0", F_OK), 0);
    EXPECT_EQ(read_host_file(root + "/.board/profile"), "rk3576-vd55h1\n");
    plat_board_close();
}

TEST(BoardProfile, ProfilesCanBeFilesOfTheirOwn)
{
    TempDir dir;
    std::string ini = dir.path + "/bench-board.ini";
    ASSERT_TRUE(write_host_file(ini, "[BOARD]\nCHIP=RK3399\nMODEL=Bench\nLINK_SPEED=10\nRTC=no\n"
                                     "FREE_MIB=50\n[I2C]\nDEVICES=temp@7:0x4a bogus cpld@3:0x11\n"));
    sim_profile_t p;
    ASSERT_EQ(sim_profile_load(ini.c_str(), &p), 0);
    EXPECT_STREQ(p.name, "bench-board");
    EXPECT_EQ(p.i2c_count, 2);
    EXPECT_EQ(p.link_speed, 10);

    std::string root = dir.path + "/root";
    ASSERT_EQ(plat_board_open(root.c_str(), ini.c_str()), 0);
    EXPECT_EQ(plat_access("/dev/i2c-7", F_OK), 0);
    struct statvfs st;
    ASSERT_EQ(plat_statvfs("/userdata", &st), 0);
    EXPECT_EQ(st.f_bavail * st.f_frsize, 50ull << 20);
    FILE* f = plat_fopen("/sys/bus/nvmem/devices/rockchip-otp0/nvmem", "rb");
    ASSERT_NE(f, nullptr);
    unsigned char id[4];
    ASSERT_EQ(fread(id, 1, 4, f), 4u);
    fclose(f);
    EXPECT_EQ(id[2], 0x33);
    EXPECT_EQ(id[3], 0x99);
    plat_board_close();

    // A chip text that is not a chip name leaves no OTP, as on a board without one.
    ASSERT_TRUE(write_host_file(ini, "[BOARD]\nCHIP=unknown\n"));
    ASSERT_EQ(plat_board_open(root.c_str(), ini.c_str()), 0);
    EXPECT_NE(plat_access("/sys/bus/nvmem/devices/rockchip-otp0/nvmem", F_OK), 0);
    plat_board_close();
}
