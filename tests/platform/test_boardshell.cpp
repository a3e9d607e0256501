// The simulated board's shell: nothing runs on the host; harmless file
// effects land inside the root; board actions are journalled.
#include "platform/boardroot.h"
#include "simzip.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <string.h>
#include <sys/stat.h>
#include <thread>
#include <utime.h>

namespace {

sim_journal_t last_entry()
{
    sim_journal_t e;
    memset(&e, 0, sizeof(e));
    size_t n = sim_journal_count();
    if (n) sim_journal_get(n - 1, &e);
    return e;
}

void put_file(const BoardRoot& b, const std::string& board_path, const std::string& data)
{
    std::filesystem::create_directories(std::filesystem::path(b.host(board_path)).parent_path());
    write_host_file(b.host(board_path), data);
}

void set_mtime(const BoardRoot& b, const std::string& board_path, time_t t)
{
    struct utimbuf u = {t, t};
    ASSERT_EQ(utime(b.host(board_path).c_str(), &u), 0);
}

// An archive made elsewhere: a directory entry and a deflated file
// ("route route ... route\n" four times), as Python's zipfile writes them.
const char kDeflated[] =
    "\x50\x4b\x03\x04\x14\x00\x00\x00\x00\x00\x00\x60\xa1\x58\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x05\x00\x00\x00\x6d\x61\x70\x73\x2f\x50\x4b\x03\x04\x14\x00\x00\x00\x08\x00\x00\x60\xa1"
    "\x58\x50\x96\xd0\xa2\x10\x00\x00\x00\xa8\x00\x00\x00\x0e\x00\x00\x00\x6d\x61\x70\x73\x2f\x72\x6f"
    "\x75\x74\x65\x2e\x74\x78\x74\x2b\xca\x2f\x2d\x49\x55\x28\x22\x4c\x72\x11\xa1\x86\x86\x2a\x01\x50"
    "\x4b\x01\x02\x14\x03\x14\x00\x00\x00\x00\x00\x00\x60\xa1\x58\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x10\x00\xed\x41\x00\x00\x00\x00\x6d\x61\x70"
    "\x73\x2f\x50\x4b\x01\x02\x14\x03\x14\x00\x00\x00\x08\x00\x00\x60\xa1\x58\x50\x96\xd0\xa2\x10\x00"
    "\x00\x00\xa8\x00\x00\x00\x0e\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xa4\x81\x23\x00\x00\x00"
    "\x6d\x61\x70\x73\x2f\x72\x6f\x75\x74\x65\x2e\x74\x78\x74\x50\x4b\x05\x06\x00\x00\x00\x00\x02\x00"
    "\x02\x00\x6f\x00\x00\x00\x5f\x00\x00\x00\x00\x00";
constexpr size_t kDeflatedCrcAt = 146 + 16; // the file's CRC in its central record

} // namespace

TEST(BoardShell, BoardActionsAreJournalledNotRun)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(plat_board_simulated(), 1); // never let these reach a real shell
    const struct { const char* cmd; const char* event; } cases[] = {
        {"reboot", "reboot"}, {"killall -9 korvid", "process"}, {"sudo ip addr flush dev eth0", "network"},
        {"tar -czf /tmp/logs.tar.gz /logs", "archive"}, {"sync", "sync"},
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
        "touch " + probe, "sh -c 'echo x > " + probe + "'", "/bin/sh -c true", "echo $(id) > " + probe,
        "echo `id` > " + probe, "python3 -c 'open(\"" + probe + "\",\"w\")'", "sleep 100 &",
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
}

// A process killed while it exports a line or a channel leaves it whole or
// not exported at all, as the kernel does, so the next export makes it.
// With no room for a byte of any file, the child dies on the first byte it
// writes.
TEST(BoardShell, AnExportKilledHalfwayLeavesNothingHalfMade)
{
    BoardRoot b("rk3576-sc2210");
    ASSERT_EQ(b.rc, 0);
    const struct { const char* cmd; const char* node; const char* file; const char* write; } cases[] = {
        {"echo 0 > /sys/class/pwm/pwmchip0/export", "/sys/class/pwm/pwmchip0/pwm0", "polarity",
         "echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable"},
        {"echo 138 > /sys/class/gpio/export", "/sys/class/gpio/gpio138", "edge",
         "echo out > /sys/class/gpio/gpio138/direction"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        pid_t pid = fork();
        if (pid == 0) {
            struct rlimit none = {0, 0};
            setrlimit(RLIMIT_FSIZE, &none);
            plat_shell(c.cmd);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;
        EXPECT_NE(plat_access(c.node, F_OK), 0) << "left half made";
        EXPECT_EQ(plat_shell(c.cmd), 0);
        EXPECT_EQ(plat_access((std::string(c.node) + "/" + c.file).c_str(), F_OK), 0);
        EXPECT_EQ(plat_shell(c.write), 0);
    }
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

    ASSERT_TRUE(write_host_file(b.host("/userdata/const/default_config.bin"), "DEFAULT"));
    EXPECT_EQ(plat_shell("cp /userdata/const/default_config.bin /userdata/config.bin"), 0);
    EXPECT_EQ(read_host_file(b.host("/userdata/config.bin")), "DEFAULT");
    EXPECT_EQ(plat_shell("cp /userdata/const/missing.bin /userdata/config.bin"), 1 << 8);
    // The parameter export's merge: binary parts, zero bytes kept, in order.
    const std::string type("\x2c\x01\0\0", 4);
    ASSERT_TRUE(write_host_file(b.host("/userdata/cameraType.bin"), type));
    ASSERT_TRUE(write_host_file(b.host("/userdata/const/config0.bin"), std::string(3072, '\0')));
    ASSERT_TRUE(write_host_file(b.host("/userdata/const/filterJson0.bin"), "{}"));
    EXPECT_EQ(plat_shell("cat /userdata/cameraType.bin /userdata/const/config0.bin /userdata/const/filterJson0.bin "
                         "> /userdata/mergeConfig.bin"),
              0);
    EXPECT_EQ(read_host_file(b.host("/userdata/mergeConfig.bin")), type + std::string(3072, '\0') + "{}");

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
    EXPECT_NE(plat_access("/userdata/const/config1.bin", F_OK), 0);
    EXPECT_EQ(plat_access("/userdata/const/configs.json", F_OK), 0);

    // Directories need -r; a missing file without -f fails.
    EXPECT_NE(plat_shell("rm /userdata/const"), 0);
    EXPECT_NE(plat_shell("rm /userdata/nothing"), 0);

    // A link out of the root is removed as a link; its target stays, also
    // inside a removed tree and when a path runs through the link.
    TempDir outside;
    write_host_file(outside.path + "/precious", "p");
    put_file(b, "/userdata/tree/sub/f", "f");
    ASSERT_EQ(symlink(outside.path.c_str(), b.host("/userdata/tree/sub/out").c_str()), 0);
    ASSERT_EQ(symlink(outside.path.c_str(), b.host("/userdata/out").c_str()), 0);
    EXPECT_EQ(plat_shell("rm -rf /userdata/out/precious"), 0);
    EXPECT_EQ(plat_shell("rm -rf /userdata/tree"), 0);
    EXPECT_FALSE(std::filesystem::exists(b.host("/userdata/tree")));
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

TEST(BoardShell, JournalMemoryKeepsTheNewestEntriesUnderItsCapWithIndexesUnchanged)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    sim_journal_clear();
    const size_t total = 2 * SIM_JOURNAL_KEPT + 7;
    for (size_t i = 0; i < total; i++) plat_shell(("sync # " + std::to_string(i)).c_str());

    EXPECT_EQ(sim_journal_count(), total);
    size_t kept = 0;
    sim_journal_t e;
    for (size_t i = 0; i < total; i++) kept += sim_journal_get(i, &e) == 0;
    EXPECT_LE(kept, (size_t)SIM_JOURNAL_KEPT);
    EXPECT_GE(kept, (size_t)SIM_JOURNAL_KEPT / 2);
    EXPECT_EQ(sim_journal_get(0, &e), -1) << "the oldest entry was let go";
    // An entry keeps the index it was given, and a search from an index let
    // go starts at the oldest entry kept.
    ASSERT_EQ(sim_journal_get(total - 1, &e), 0);
    EXPECT_STREQ(e.cmd, ("sync # " + std::to_string(total - 1)).c_str());
    EXPECT_EQ(sim_journal_find(("# " + std::to_string(total - 3)).c_str(), 0), (long)(total - 3));
    EXPECT_EQ(sim_journal_find("sync", 0), (long)(total - kept));
    EXPECT_EQ(sim_journal_wait("reboot", total - 1, 0), -1);

    // The file under the root still has every line.
    std::string file = read_host_file(sim_journal_file());
    EXPECT_NE(file.find(" sync # 0\n"), std::string::npos);
    EXPECT_NE(file.find(" sync # " + std::to_string(total - 1) + "\n"), std::string::npos);
}

TEST(BoardShell, ZipThenUnzipRestoresTheTree)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    const std::string binary("\0\x01\xffPK\x05\x06", 7);
    put_file(b, "/etc/visloc_config/map.yaml", "origin: 0\n");
    put_file(b, "/etc/visloc_config/tiles/t0.bin", binary);
    put_file(b, "/etc/visloc_config/tiles/.index", "");
    std::filesystem::create_directories(b.host("/etc/visloc_config/empty"));

    // The map download's line: relative names from inside the directory, and
    // the shell back where it was for what follows on the line.
    const char* pack = "cd /etc/visloc_config && zip -r -u /current_maps.zip * && cd - && echo done > done.txt";
    EXPECT_EQ(plat_shell(pack), 0);
    EXPECT_EQ(read_host_file(b.host("/done.txt")), "done\n");
    EXPECT_EQ(plat_shell("unzip -o /current_maps.zip -d /userdata/restore/"), 0);
    EXPECT_EQ(read_host_file(b.host("/userdata/restore/map.yaml")), "origin: 0\n");
    EXPECT_EQ(read_host_file(b.host("/userdata/restore/tiles/t0.bin")), binary);
    EXPECT_EQ(read_host_file(b.host("/userdata/restore/tiles/.index")), "");
    EXPECT_TRUE(std::filesystem::is_directory(b.host("/userdata/restore/empty")));
}

TEST(BoardShell, ZipUpdateReplacesOnlyNewerFilesAndKeepsTheRest)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    const time_t t0 = 1714564800; // 2024-05-01
    put_file(b, "/logs/a.log", "a1");
    put_file(b, "/logs/b.log", "b1");
    set_mtime(b, "/logs/a.log", t0);
    set_mtime(b, "/logs/b.log", t0);
    ASSERT_EQ(plat_shell("zip -r -u /userdata/applation_log.zip /logs/"), 0); // stored as "logs/..."

    put_file(b, "/logs/a.log", "a2"); // newer: replaced
    set_mtime(b, "/logs/a.log", t0 + 60);
    put_file(b, "/logs/b.log", "b2"); // same stamp: -u keeps the archived one
    set_mtime(b, "/logs/b.log", t0);
    ASSERT_EQ(plat_shell("zip -r -u /userdata/applation_log.zip /logs/a.log /logs/b.log"), 0);
    put_file(b, "/var/log/camera.log", "c"); // a new name joins the others
    ASSERT_EQ(plat_shell("zip -r -u /userdata/applation_log.zip /var/log/camera* /var/log/data_process.*"), 0);

    EXPECT_EQ(plat_shell("unzip -o /userdata/applation_log.zip -d /u"), 0);
    EXPECT_EQ(read_host_file(b.host("/u/logs/a.log")), "a2");
    EXPECT_EQ(read_host_file(b.host("/u/logs/b.log")), "b1");
    EXPECT_EQ(read_host_file(b.host("/u/var/log/camera.log")), "c");

    // Without -o what is there stays; nothing to add is zip's "nothing to do".
    put_file(b, "/u/logs/a.log", "mine");
    EXPECT_EQ(plat_shell("unzip /userdata/applation_log.zip -d /u"), 0);
    EXPECT_EQ(read_host_file(b.host("/u/logs/a.log")), "mine");
    EXPECT_EQ(plat_shell("zip -r -u /userdata/none.zip /var/log/syslog*"), 12 << 8);
    EXPECT_NE(plat_access("/userdata/none.zip", F_OK), 0);
    // A failed cd leaves the rest of the line undone.
    EXPECT_NE(plat_shell("cd /etc/none && zip -r -u /none.zip * && cd -"), 0);
    EXPECT_NE(plat_access("/none.zip", F_OK), 0);
}

TEST(BoardShell, UnzipReadsDeflatedArchivesAndRejectsDamagedOnes)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    const std::string good(kDeflated, sizeof(kDeflated) - 1);
    std::string route;
    for (int i = 0; i < 4; i++) route += "route route route route route route route\n";
    put_file(b, "/userdata/maps.zip", good);
    EXPECT_EQ(plat_shell("unzip -o /userdata/maps.zip -d /etc/visloc_config"), 0);
    EXPECT_EQ(read_host_file(b.host("/etc/visloc_config/maps/route.txt")), route);

    std::string bad_crc = good;
    bad_crc[kDeflatedCrcAt] ^= 1;
    const struct { const char* what; std::string bytes; int status; } cases[] = {
        {"bad CRC", bad_crc, 2},
        {"truncated", good.substr(0, good.size() - 30), 9},
        {"central directory past the end", good.substr(0, 100) + good.substr(good.size() - 22), 9},
        {"not an archive", "PK\x05\x06 but nothing else", 9},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(b.host("/out"));
        put_file(b, "/userdata/maps.zip", c.bytes);
        EXPECT_EQ(plat_shell("unzip -o /userdata/maps.zip -d /out"), c.status << 8) << c.what;
        EXPECT_EQ(last_entry().kind, SIM_SHELL_FAILED) << c.what;
        EXPECT_EQ(read_host_file(b.host("/out/maps/route.txt")), "<missing>") << c.what;
    }
    EXPECT_EQ(plat_shell("unzip -o /userdata/missing.zip -d /out"), 9 << 8);
    // Forms the board never uses are refused, not guessed at.
    for (const char* cmd : {"unzip -l /userdata/maps.zip", "unzip -o /userdata/maps.zip maps/route.txt", "zip",
                            "zip -x /a.zip /etc"}) {
        EXPECT_EQ(plat_shell(cmd), 127 << 8) << cmd;
        EXPECT_EQ(last_entry().kind, SIM_SHELL_REFUSED) << cmd;
    }
}

TEST(BoardShell, UnzipNeverWritesOutsideItsDirectory)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    TempDir outside;
    write_host_file(outside.path + "/precious", "p");
    std::filesystem::create_directories(b.host("/userdata/m"));
    // Links already in the target: one to a host directory, one to a host
    // file, one to elsewhere on the board.
    ASSERT_EQ(symlink(outside.path.c_str(), b.host("/userdata/m/hostdir").c_str()), 0);
    ASSERT_EQ(symlink((outside.path + "/precious").c_str(), b.host("/userdata/m/hostfile").c_str()), 0);
    ASSERT_EQ(symlink("/etc", b.host("/userdata/m/etc").c_str()), 0);

    auto entry = [](const std::string& name, const std::string& data, mode_t mode = S_IFREG | 0644) {
        sim::ZipEntry e = sim::zip_stored(name, data, 0644, 1714564800);
        e.external = (uint32_t)mode << 16;
        return e;
    };
    std::vector<sim::ZipEntry> entries = {
        entry("../x", "X"), entry("a/../../y", "Y"), entry("/abs", "A"), entry("..\\win", "W"),
        entry("link", outside.path, S_IFLNK | 0777),   // a link entry: never made
        entry("link/evil", "E"),                        // so this is a plain directory here
        entry("hostdir/evil", "E"),                     // through a link: not inside m
        entry("etc/spdlog.conf", "E"),                  // through a link to the board's /etc
        entry("hostfile", "replaced"),                  // the link itself is replaced
        entry("ok.txt", "fine"),
    };
    std::string bytes;
    ASSERT_TRUE(sim::zip_write(entries, &bytes));
    put_file(b, "/userdata/obstracle.zip", bytes);
    const std::string spdlog = read_host_file(b.host("/etc/spdlog.conf"));

    EXPECT_EQ(plat_shell("unzip -o /userdata/obstracle.zip -d /userdata/m"), 1 << 8); // warnings: skipped entries
    EXPECT_EQ(last_entry().kind, SIM_SHELL_FAILED);
    EXPECT_EQ(read_host_file(b.host("/userdata/m/ok.txt")), "fine");
    EXPECT_EQ(read_host_file(b.host("/userdata/m/link/evil")), "E");
    EXPECT_EQ(read_host_file(b.host("/userdata/m/hostfile")), "replaced");
    struct stat st;
    ASSERT_EQ(lstat(b.host("/userdata/m/hostfile").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    for (const char* p : {"/userdata/x", "/x", "/y", "/userdata/y", "/abs", "/userdata/m/abs"})
        EXPECT_EQ(read_host_file(b.host(p)), "<missing>") << p;
    EXPECT_EQ(read_host_file(b.host("/etc/spdlog.conf")), spdlog);
    EXPECT_EQ(read_host_file(outside.path + "/precious"), "p");
    EXPECT_FALSE(std::filesystem::exists(outside.path + "/evil"));
    EXPECT_FALSE(std::filesystem::exists(b.host(outside.path + "/evil")));
}
