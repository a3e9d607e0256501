// The simulated board's shell: nothing runs on the host; harmless file
// effects land inside the root; board actions are journalled.
#include "platform/boardroot.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <filesystem>
#include <string.h>
#include <thread>

namespace {

sim_journal_t last_entry()
{
    sim_journal_t e;
    memset(&e, 0, sizeof(e));
    size_t n = sim_journal_count();
    if (n) sim_journal_get(n - 1, &e);
    return e;
}

} // namespace

TEST(BoardShell, BoardActionsAreJournalledNotRun)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(plat_board_simulated(), 1); // never let these reach a real shell
    const struct {
        const char* cmd;
        const char* event;
    } cases[] = {
        {"reboot", "reboot"},
        {"killall -9 korvid", "process"},
        {"sudo ip addr flush dev eth0", "network"},
        {"cd /etc && zip -r -u /current_maps.zip * && cd -", "archive"},
        {"/usr/bin/update ota /userdata/update.img", "update"},
        {"dmesg | grep \"handle kernel paging request\" ", "log"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plat_shell(c.cmd), 0) << c.cmd;
        sim_journal_t e = last_entry();
        EXPECT_STREQ(e.cmd, c.cmd);
        EXPECT_EQ(e.kind, SIM_SHELL_EVENT) << c.cmd;
        EXPECT_STREQ(e.event, c.event) << c.cmd;
    }
    EXPECT_EQ(sim_journal_count(), sizeof(cases) / sizeof(cases[0]));
    EXPECT_EQ(sim_journal_find("killall -9 korvid", 0), 1);

    // The same lines are in the journal file under the root, for harnesses
    // watching a korvid process from outside.
    std::string file = read_host_file(b.host("/.board/journal"));
    EXPECT_NE(file.find("1 event:reboot 0 reboot\n"), std::string::npos) << file;
    EXPECT_NE(file.find("event:network 0 sudo ip addr flush dev eth0"), std::string::npos);
}

TEST(BoardShell, NothingIsExecutedOnTheHost)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    TempDir host;
    std::string probe = host.path + "/probe";
    const std::string cmds[] = {
        "touch " + probe,
        "sh -c 'echo x > " + probe + "'",
        "/bin/sh -c true",
        "echo $(id) > " + probe,
        "echo `id` > " + probe,
        "python3 -c 'open(\"" + probe + "\",\"w\")'",
        "sleep 100 &",
        "cat /etc/passwd | tee " + probe,
    };
    for (const auto& c : cmds) {
        EXPECT_EQ(plat_shell(c.c_str()), 127 << 8) << c;
        EXPECT_EQ(last_entry().kind, SIM_SHELL_REFUSED) << c;
    }
    EXPECT_NE(access(probe.c_str(), F_OK), 0);

    // A redirection to a host path writes the board's file of that name instead.
    EXPECT_EQ(plat_shell(("echo hello > " + probe).c_str()), 1 << 8); // no such directory on the board
    EXPECT_NE(access(probe.c_str(), F_OK), 0);
    EXPECT_EQ(plat_shell("echo hello > /tmp/greeting"), 0);
    EXPECT_EQ(read_host_file(b.host("/tmp/greeting")), "hello\n");
}

TEST(BoardShell, SysfsLinesAndChannelsAppearWhenExported)
{
    BoardRoot b("rk3568-v23");
    ASSERT_EQ(b.rc, 0);
    // A board code line reads its wired level once exported as an input, and
    // refuses values as the kernel does; exporting it twice finds it busy.
    EXPECT_EQ(plat_shell("echo 40 > /sys/class/gpio/export"), 0);
    EXPECT_EQ(read_host_file(b.host("/sys/class/gpio/gpio40/value")), "1\n");
    EXPECT_NE(plat_shell("echo 0 > /sys/class/gpio/gpio40/value"), 0);
    EXPECT_NE(plat_shell("echo 40 > /sys/class/gpio/export"), 0);
    EXPECT_EQ(plat_shell("echo 40 > /sys/class/gpio/unexport"), 0);
    EXPECT_NE(plat_access("/sys/class/gpio/gpio40", F_OK), 0);
    // Sysfs has only the files the kernel made.
    EXPECT_NE(plat_shell("echo 1 > /sys/class/gpio/newfile"), 0);
    EXPECT_NE(plat_access("/sys/class/gpio/newfile", F_OK), 0);

    // PWM channels likewise.
    EXPECT_EQ(plat_shell("echo 0 > /sys/class/pwm/pwmchip0/export"), 0);
    EXPECT_EQ(plat_shell("echo 66666668 > /sys/class/pwm/pwmchip0/pwm0/period"), 0);
    EXPECT_EQ(read_host_file(b.host("/sys/class/pwm/pwmchip0/pwm0/period")), "66666668\n");
}

TEST(BoardShell, FileCommandsWorkInsideTheRoot)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    // dd of zeros, as start-up makes the user files; nothing else, nothing huge.
    EXPECT_EQ(plat_shell("dd if=/dev/zero of=/userdata/const/user.bin bs=128K count=1"), 0);
    EXPECT_EQ(read_host_file(b.host("/userdata/const/user.bin")), std::string(131072, '\0'));
    EXPECT_EQ(plat_shell("dd if=/dev/urandom of=/userdata/x bs=1 count=1"), 127 << 8);
    EXPECT_EQ(plat_shell("dd if=/dev/zero of=/userdata/x bs=1G count=100"), 127 << 8);

    // cp, and a cat that merges files.
    ASSERT_TRUE(write_host_file(b.host("/userdata/const/default_config.bin"), "DEFAULT"));
    EXPECT_EQ(plat_shell("cp /userdata/const/default_config.bin /userdata/config.bin"), 0);
    EXPECT_EQ(read_host_file(b.host("/userdata/config.bin")), "DEFAULT");
    EXPECT_EQ(plat_shell("cp /userdata/const/missing.bin /userdata/config.bin"), 1 << 8);
    EXPECT_EQ(last_entry().kind, SIM_SHELL_FAILED);
    EXPECT_EQ(plat_shell("cat /userdata/config.bin /userdata/const/default_config.bin > /userdata/merged.bin"), 0);
    EXPECT_EQ(read_host_file(b.host("/userdata/merged.bin")), "DEFAULTDEFAULT");

    // Output is handed back when asked for.
    char out[256];
    EXPECT_EQ(plat_shell_output("cat /proc/device-tree/model", out, sizeof(out)), 24);
    EXPECT_STREQ(out, "Vornak Camera Tavo Plus");

    // &&, || and ; follow the statuses.
    EXPECT_EQ(plat_shell("cat /missing || echo a > /tmp/f; cat /missing && echo no > /tmp/f; echo b >> /tmp/f"), 0);
    EXPECT_EQ(read_host_file(b.host("/tmp/f")), "a\nb\n");
    EXPECT_NE(plat_shell("cat /missing && echo no > /tmp/f"), 0);
}

TEST(BoardShell, RmAndCpNeverReachLinkTargetsOutsideTheRoot)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    for (const char* f : {"config0.bin", "config1.bin", "configs.json"})
        write_host_file(b.host(std::string("/userdata/const/") + f), "c");
    EXPECT_EQ(plat_shell("rm -rf /userdata/const/config*.bin"), 0);
    EXPECT_EQ(plat_shell("rm -rf /userdata/const/newconfig*.cfg"), 0); // no match, -f
    EXPECT_NE(plat_access("/userdata/const/config0.bin", F_OK), 0);
    EXPECT_NE(plat_access("/userdata/const/config1.bin", F_OK), 0);
    EXPECT_EQ(plat_access("/userdata/const/configs.json", F_OK), 0);

    // Directories need -r; a missing file without -f fails.
    EXPECT_NE(plat_shell("rm /userdata/const"), 0);
    EXPECT_NE(plat_shell("rm /userdata/nothing"), 0);

    // A link out of the root is removed as a link; its target stays.
    TempDir outside;
    write_host_file(outside.path + "/precious", "p");
    ASSERT_EQ(symlink(outside.path.c_str(), b.host("/userdata/out").c_str()), 0);
    EXPECT_EQ(plat_shell("rm -rf /userdata/out"), 0);
    EXPECT_EQ(read_host_file(outside.path + "/precious"), "p");

    // cp into a directory resolves the joined name inside the root too: a
    // link there named as the file lands the copy on the board, not outside.
    ASSERT_EQ(symlink((outside.path + "/precious").c_str(), b.host("/userdata/default_config.bin").c_str()), 0);
    write_host_file(b.host("/tmp/default_config.bin"), "NEW");
    EXPECT_NE(plat_shell("cp /tmp/default_config.bin /userdata"), 0); // no such directory on the board
    EXPECT_EQ(read_host_file(outside.path + "/precious"), "p");
    std::filesystem::create_directories(b.host(outside.path));
    EXPECT_EQ(plat_shell("cp /tmp/default_config.bin /userdata"), 0);
    EXPECT_EQ(read_host_file(outside.path + "/precious"), "p");
    EXPECT_EQ(read_host_file(b.host(outside.path + "/precious")), "NEW");

    // The root is not a file of the board.
    EXPECT_NE(plat_shell("rm -rf /"), 0);
    EXPECT_NE(plat_shell("rm -rf /.."), 0);
    EXPECT_EQ(access(b.host("/etc/spdlog.conf").c_str(), F_OK), 0);
}

TEST(BoardShell, I2ctransferReachesTheBusModel)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    const char* cmd = "i2ctransfer -f -y 4 w4@0x30 0x32 0x0e 0x12 0x34";
    EXPECT_EQ(plat_shell(cmd), 1 << 8); // nothing answers at 0x30 on bus 4
    EXPECT_STREQ(last_entry().event, "i2c");
    ASSERT_EQ(sim_i2c_add(4, 0x30, SIM_I2C_REG16), 0);
    EXPECT_EQ(plat_shell(cmd), 0);
    unsigned v = 0;
    ASSERT_EQ(sim_i2c_get_reg(4, 0x30, 0x320e, &v), 0);
    EXPECT_EQ(v, 0x1234u);
    char out[64];
    EXPECT_GT(plat_shell_output("i2ctransfer -y 4 w2@0x30 0x32 0x0e r2", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "0x12 0x34\n");
    EXPECT_EQ(plat_shell("i2ctransfer -y 4 w1@0x30"), 1 << 8); // a byte short
}

TEST(BoardShell, InjectedFailureSkipsTheCommand)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(sim_fail_nth(nullptr, SIM_REQ_SHELL, 2, EIO), 0);
    EXPECT_EQ(plat_shell("echo 1 > /tmp/one"), 0);
    EXPECT_EQ(plat_shell("echo 2 > /tmp/two"), 1 << 8);
    EXPECT_EQ(last_entry().kind, SIM_SHELL_FAILED);
    EXPECT_EQ(plat_shell("echo 3 > /tmp/three"), 0);
    EXPECT_EQ(read_host_file(b.host("/tmp/two")), "<missing>");
    EXPECT_EQ(read_host_file(b.host("/tmp/three")), "3\n");
}

TEST(BoardShell, WaitingForAJournalEntryNeedsNoSleep)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(sim_journal_wait("reboot", 0, 0), -1);
    size_t from = sim_journal_count();
    std::thread t([] {
        plat_shell("sync");
        plat_shell("reboot");
    });
    long at = sim_journal_wait("reboot", from, 10000);
    t.join();
    EXPECT_EQ(at, (long)from + 1);
}
