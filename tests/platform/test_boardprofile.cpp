// Board profiles lay out a root from nothing, per chip, and keep what a
// board keeps across restarts.
#include "platform/boardroot.h"

#include "confile.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <dirent.h>
#include <string.h>

namespace {

// The chip name as start-up reads it: 8 bytes formatted "%c%c%x%x".
std::string chip_of_board()
{
    std::string id = read_host_file(std::string(plat_board_root()) + "/sys/bus/nvmem/devices/rockchip-otp0/nvmem");
    if (id == "<missing>" || id.size() < 8) return "<none>";
    char text[32];
    snprintf(text, sizeof(text), "%c%c%x%x", id[0], id[1], (uint8_t)id[2], (uint8_t)id[3]);
    return text;
}

} // namespace

TEST(BoardProfile, EachChipLaysOutWhatStartUpReads)
{
    const struct {
        const char* profile;
        const char* chip;
        const char* model; // the device-tree model, NUL included
        bool        rtc;
        int         temp_bus;
    } chips[] = {
        {"rk3588-gpixel", "RK3588", "Vornak Camera Tavo Plus", true, 6},
        {"rk3568-imx570", "RK3568", "Vornak Camera Tavo Boa", true, 2},
        {"rk3568-v23", "RK3568", "Vornak Camera TavoV2.3", true, 2},
        {"rk3588-vd55h1", "RK3588", nullptr, false, 6},
        {"rk3576-sc2210", "RK3576", nullptr, false, 4},
    };
    for (const auto& c : chips) {
        SCOPED_TRACE(c.profile);
        BoardRoot b(c.profile);
        ASSERT_EQ(b.rc, 0);
        EXPECT_EQ(chip_of_board(), c.chip);
        if (c.model) {
            EXPECT_EQ(read_host_file(b.host("/proc/device-tree/model")), std::string(c.model) + '\0');
        }
        EXPECT_EQ(plat_access("/dev/rtc0", F_OK) == 0, c.rtc);
        unsigned v = 0;
        EXPECT_EQ(sim_i2c_get_reg(c.temp_bus, 0x48, 0, &v), 0); // the temperature task's sensor
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
    EXPECT_EQ(conf_set_string(net, "IPCONFIG", "NETMASK", "255.255.255.0"), 0);
    EXPECT_EQ(conf_set_string(net, "IPCONFIG", "GATEWAY", "10.0.0.1"), 0);
    conf_mgmt_cleanup(net);

    EXPECT_EQ(plat_access("/etc/spdlog.conf", R_OK), 0);

    // /userdata/const holds nothing but the network settings and the
    // IMX570's tables.
    DIR* d = opendir(plat_path("/userdata/const", path, sizeof(path)));
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"3freq.csv", "3phase.csv", "freq.csv", "imxck.csv", "net_config",
                                               "phase.csv"}));

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
    ASSERT_TRUE(write_host_file(root + "/proc/device-tree/model", "scribbled"));
    plat_board_close();

    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3588-gpixel"), 0);
    EXPECT_EQ(read_host_file(root + "/userdata/const/net_config"), "[IPCONFIG]\nIPADDRESS=10.1.2.3\n");
    EXPECT_EQ(read_host_file(root + "/proc/device-tree/model"), std::string("Vornak Camera Tavo Plus") + '\0');
    plat_board_close();

    // The same root brought up as another board takes that board's facts.
    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3576-sc2210"), 0);
    EXPECT_NE(plat_access("/dev/rtc0", F_OK), 0);
    EXPECT_EQ(chip_of_board(), "RK3576");
    plat_board_close();
}

TEST(BoardProfile, ProfilesCanBeFilesOfTheirOwn)
{
    TempDir dir;
    std::string ini = dir.path + "/bench-board.ini";
    ASSERT_TRUE(write_host_file(ini, "[BOARD]\nCHIP=RK3399\nLINK_SPEED=10\nFREE_MIB=50\n"
                                     "[I2C]\nDEVICES=temp@7:0x4a bogus cpld@3:0x11\n"));
    std::string root = dir.path + "/root";
    ASSERT_EQ(plat_board_open(root.c_str(), ini.c_str()), 0);
    EXPECT_STREQ(sim_profile()->name, "bench-board");
    EXPECT_EQ(sim_profile()->i2c_count, 2); // the word that is no device is passed over
    EXPECT_EQ(plat_access("/dev/i2c-7", F_OK), 0);
    struct statvfs st;
    ASSERT_EQ(plat_statvfs("/userdata", &st), 0);
    EXPECT_EQ(st.f_bavail * st.f_frsize, 50ull << 20);
    EXPECT_EQ(chip_of_board(), "RK3399");
    plat_board_close();

    // A chip text that is not a chip name leaves no OTP, as on a board without one.
    ASSERT_TRUE(write_host_file(ini, "[BOARD]\nCHIP=RK33g9\n"));
    ASSERT_EQ(plat_board_open(root.c_str(), ini.c_str()), 0);
    EXPECT_EQ(chip_of_board(), "<none>");
    plat_board_close();
}
