// Supervision and device-action tasks on the simulated board: temperature
// readings into the ToF page (failed readings left out of the mean), link
// speed from the PHY into the bootstrap block, the status LED, pings logged
// and the actions that end in a board command. Tests that need the kernel's
// network run in a forked child inside a network namespace of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "GigE/bootstrap.h"
#include "common/regtest.h"
#include "main/task.h"
#include "main/task_internal.h"

namespace {

using regtest::RegSpace;
using regtest::wait_until;
using namespace supervision;

constexpr uint32_t kLdTemperature = 0x10002038;

// A register space with the bootstrap block, and the task workers it starts.
struct Board : RegSpace {
    explicit Board(const char* profile = "rk3588-gpixel") : RegSpace(profile) { Bootstrap_RegInit(); }
    ~Board()
    {
        stop();
        Bootstrap_RegDeInit();
    }
    uint32_t boot(uint32_t address)
    {
        uint32_t v = 0xDEADBEEF;
        Bootstrap_ReadReg(address, &v, 4);
        return v;
    }
    void put_boot(uint32_t address, uint32_t value) { Bootstrap_WriteReg(address, &value, 4); }
    float ld_temperature()
    {
        float f = 0;
        hex2float(read(kLdTemperature), &f);
        return f;
    }
    bool running(uint64_t id) { return epcore_worker_find(core, id) != nullptr; }
    // Tells every worker to quit and waits until all have gone.
    bool stop()
    {
        core->quit.store(1);
        return wait_until([&] {
            EnterCriticalSection(&core->workerlistCS);
            int n = arr_num(core->worker_list);
            LeaveCriticalSection(&core->workerlistCS);
            return n == 0;
        });
    }
};

// ---- Temperature ----

TEST(Temperature, RawWordsConvertInSixteenthsWithNegativeValues)
{
    const struct { uint16_t raw; float degrees; } cases[] = {
        {0x0C80, 25.0f}, {0x0C87, 25.0f}, // bits 2..0 carry nothing
        {0xFFF8, -0.0625f}, {0x0008, 0.0625f}, {0x0000, 0.0f},
        {0x7FF8, 255.9375f}, {0x8000, -256.0f}, {0xF380, -25.0f}, {0xE700, -50.0f},
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(temperature_from_raw(c.raw), c.degrees) << std::hex << c.raw;
}

TEST(Temperature, MeanLeavesFailedReadingsOutAndIsMinus1000OnlyWhenAllFail)
{
    BoardRoot board;
    sim_i2c_set_temperature(6, 0x48, 25.0);
    int fd = plat_open("/dev/i2c-6", O_RDWR);
    ASSERT_GE(fd, 0);
    const struct { const char* what; unsigned failNth; bool absent; float mean; } cases[] = {
        {"all good", 0, false, 25.0f},
        {"fifth reading fails", 5, false, 25.0f}, // not (9 x 25 - 1000) / 10
        {"first reading fails", 1, false, 25.0f},
        {"sensor absent", 0, true, kNoTemperature},
    };
    for (const auto& c : cases) {
        if (c.failNth) sim_fail_nth("/dev/i2c-6", SIM_REQ_IOCTL, c.failNth, EIO);
        sim_i2c_set_absent(6, 0x48, c.absent);
        EXPECT_FLOAT_EQ(temperature_mean(fd), c.mean) << c.what;
        sim_faults_clear();
    }
    // The readers: degrees and 0, or -1000 and -1; apdTemp is never written.
    for (bool absent : {false, true}) {
        sim_i2c_set_absent(6, 0x48, absent);
        float t = 0, u = 0, apd = 7.0f;
        EXPECT_EQ(sensor_tof_get_sensor_temperature(fd, &t), absent ? -1 : 0);
        EXPECT_EQ(sensor_tof_get_ld_temperature(fd, &u, &apd), absent ? -1 : 0);
        EXPECT_FLOAT_EQ(t, absent ? kNoTemperature : 25.0f);
        EXPECT_FLOAT_EQ(u, t);
        EXPECT_FLOAT_EQ(apd, 7.0f);
    }
    plat_close(fd);
}

TEST(TemperatureTask, EachCpuTypeReadsItsBusIntoTheToFPage)
{
    const struct { const char* profile; uint32_t cpu; int bus; } boards[] = {
        {"rk3588-gpixel", E_CPU_RK3588, 6},
        {"rk3568-imx570", E_CPU_RK3568, 2},
        {"rk3576-sc2210", E_CPU_RK3576, 4},
    };
    for (const auto& b : boards) {
        Board r(b.profile);
        r.run.cpuId = b.cpu;
        sim_i2c_set_temperature(b.bus, 0x48, 30.5);
        ASSERT_EQ(worker_create(r.core, E_WORKER_ID_TEMP, temp_task), 0);
        EXPECT_TRUE(wait_until([&] { return r.ld_temperature() == 30.5f; })) << b.profile;
        EXPECT_TRUE(r.stop());
        EXPECT_TRUE(r.log.has("end temp task")) << b.profile;
    }
}

TEST(TemperatureTask, AbsentSensorReadsMinus1000AndAMissingBusEndsTheTask)
{
    {
        Board r;
        sim_i2c_set_absent(6, 0x48, 1);
        r.cfg.sensor[DEV_CFG_SENSOR_TOF].info.LD_temperature = 40.0f;
        ASSERT_EQ(worker_create(r.core, E_WORKER_ID_TEMP, temp_task), 0);
        EXPECT_TRUE(wait_until([&] { return r.ld_temperature() == kNoTemperature; }));
        // The sensor comes back: the next cycle stores its temperature.
        sim_i2c_set_temperature(6, 0x48, 22.0);
        sim_i2c_set_absent(6, 0x48, 0);
        EXPECT_TRUE(wait_until([&] { return r.ld_temperature() == 22.0f; }));
    }
    Board r;
    sim_set_absent("/dev/i2c-6", 1);
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_TEMP, temp_task), 0);
    EXPECT_TRUE(wait_until([&] { return !r.running(E_WORKER_ID_TEMP); }));
    EXPECT_TRUE(r.log.has("can not open /dev/i2c-6"));
    EXPECT_EQ(r.ld_temperature(), kNoTemperature);
}

// ---- Network namespace children ----

// Failures found in the child, handed back to the test as text.
std::string g_errs;
#define CHILD_CHECK(cond)                                                   \
    do {                                                                    \
        if (!(cond)) g_errs += std::to_string(__LINE__) + ": " #cond "\n"; \
    } while (0)

// Sets a link up or down, or renames it (when `to` is given).
bool link_ctl(const char* name, bool up, const char* to = nullptr)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    bool ok = s >= 0;
    if (to) {
        strncpy(ifr.ifr_newname, to, IFNAMSIZ - 1);
        ok = ok && ioctl(s, SIOCSIFNAME, &ifr) == 0;
    } else {
        ok = ok && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
        ifr.ifr_flags = up ? (ifr.ifr_flags | IFF_UP) : (ifr.ifr_flags & ~IFF_UP);
        ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (s >= 0) close(s);
    return ok;
}

// Runs body in a forked child inside a fresh network namespace whose only
// link is the loopback, named `link` and up. The fork comes first, so the
// child is free to start threads. Returns the child's failures; "skip:"
// when no namespace could be made.
std::string in_netns(const char* link, const std::function<void()>& body)
{
    int p[2];
    if (pipe(p) != 0) return "pipe failed";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        if (unshare(CLONE_NEWNET) != 0) g_errs = std::string("skip: unshare: ") + strerror(errno);
        else if (strcmp(link, "lo") != 0 && !link_ctl("lo", true, link)) g_errs = "loopback could not be renamed";
        else if (!link_ctl(link, true)) g_errs = "loopback could not be brought up";
        else body();
        _exit(write(p[1], g_errs.data(), g_errs.size()) == (ssize_t)g_errs.size() ? 0 : 1);
    }
    close(p[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) out += "child ended abnormally\n";
    return out;
}

#define RUN_IN_NETNS(link, ...)                            \
    do {                                                   \
        std::string r_ = in_netns(link, __VA_ARGS__);      \
        if (r_.rfind("skip:", 0) == 0) GTEST_SKIP() << r_; \
        EXPECT_EQ(r_, "");                                 \
    } while (0)

// ---- Link speed ----

TEST(LinkSpeed, EachPassStoresTheSpeedOfARunningLinkOrWaits)
{
    RUN_IN_NETNS("eth0", [] {
        Board r;
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        const struct {
            int phy;       // what the PHY reports; 0 it does not answer
            bool up;       // eth0 up
            unsigned nap;  // ms before the next pass
            uint32_t reg;  // 0x0670 afterwards
        } passes[] = {
            {1000, true, 1000, 1000}, {100, true, 1000, 100}, {10, true, 1000, 10},
            {0, true, 1, 10},        // the PHY query fails: retried soon, nothing stored
            {1000, false, 500, 10},  // link not running
            {100, true, 1000, 100},
        };
        for (const auto& p : passes) {
            sim_set_link_speed(p.phy);
            CHILD_CHECK(link_ctl("eth0", p.up));
            CHILD_CHECK(netcard_step(s) == p.nap);
            CHILD_CHECK(r.boot(REG_LINK_SPEED) == p.reg);
        }
        // No such interface: retried soon.
        CHILD_CHECK(link_ctl("eth0", false) && link_ctl("eth0", false, "lo"));
        CHILD_CHECK(netcard_step(s) == 1);
        close(s);
    });
}

TEST(LinkSpeed, TheTaskKeepsRegister0670CurrentAndEndsOnQuit)
{
    RUN_IN_NETNS("eth0", [] {
        Board r;
        sim_set_link_speed(100);
        CHILD_CHECK(worker_create(r.core, E_WORKER_ID_NETCARD, netcard_task) == 0);
        CHILD_CHECK(wait_until([&] { return r.boot(REG_LINK_SPEED) == 100; }));
        sim_set_link_speed(1000); // seen one period later
        CHILD_CHECK(wait_until([&] { return r.boot(REG_LINK_SPEED) == 1000; }));
        CHILD_CHECK(r.stop());
        CHILD_CHECK(r.log.has("end network task"));
    });
}

// ---- Pings ----

TEST(Ping, OnlyEchoRequestsCountWhereverTheIpHeaderEnds)
{
    auto packet = [](uint8_t vihl, uint8_t proto, size_t len, size_t typeAt, uint8_t type) {
        std::vector<uint8_t> p(len, 0);
        p[0] = vihl;
        if (len > 9) p[9] = proto;
        if (typeAt < len) p[typeAt] = type;
        return p;
    };
    const struct { const char* what; std::vector<uint8_t> p; bool echo; } cases[] = {
        {"echo request", packet(0x45, 1, 28, 20, 8), true},
        {"echo reply", packet(0x45, 1, 28, 20, 0), false},
        {"not ICMP", packet(0x45, 17, 28, 20, 8), false},
        {"options: type after 24 bytes", packet(0x46, 1, 32, 24, 8), true},
        {"options: 8 in the options only", packet(0x46, 1, 32, 20, 8), false},
        {"header only", packet(0x45, 1, 20, 20, 8), false},
        {"short", packet(0x45, 1, 12, 20, 8), false},
        {"header length below 20", packet(0x44, 1, 28, 16, 8), false},
        {"IPv6", packet(0x65, 1, 28, 20, 8), false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_echo_request(c.p.data(), c.p.size()), c.echo) << c.what;
    EXPECT_FALSE(is_echo_request(nullptr, 28));
}

// Sends an ICMP message of the type to the loopback, checksummed.
bool send_icmp(int s, uint8_t type)
{
    uint8_t m[20] = {type, 0, 0, 0, 0x12, 0x34, 0, 1};
    uint32_t sum = 0;
    for (size_t i = 0; i < sizeof m; i += 2) sum += (uint32_t)(m[i] << 8 | m[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    uint16_t c = (uint16_t)~sum;
    m[2] = (uint8_t)(c >> 8);
    m[3] = (uint8_t)c;
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(s, m, sizeof m, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to) == (ssize_t)sizeof m;
}

TEST(Ping, EchoRequestsAreLoggedWithTheSenderAndTheTaskEndsOnQuit)
{
    RUN_IN_NETNS("lo", [] {
        Board r;
        CHILD_CHECK(worker_create(r.core, E_WORKER_ID_PING, ping_task) == 0);
        CHILD_CHECK(wait_until([&] { return r.log.has("Listening for ICMP packets..."); }));
        int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        CHILD_CHECK(s >= 0);
        CHILD_CHECK(send_icmp(s, 13)); // timestamp request: not logged
        CHILD_CHECK(send_icmp(s, 8));
        CHILD_CHECK(wait_until([&] { return r.log.has("Received ICMP ECHO request from 127.0.0.1"); }));
        close(s);
        CHILD_CHECK(r.stop());
        // The kernel's replies and the timestamp request were not logged.
        size_t n = 0;
        for (const auto& line : r.log.sink->last_formatted()) n += line.find("Received ICMP ECHO request") != std::string::npos;
        CHILD_CHECK(n == 1);
    });
}

// ---- Status LED ----

// Index of the journal entry driving `gpio` to `level`, at or after `from`.
long led_at(int gpio, int level, size_t from, int ms = pumptest::kEventWaitMs)
{
    std::string cmd = "echo " + std::to_string(level) + " > /sys/class/gpio/gpio" + std::to_string(gpio) + "/value";
    return sim_journal_wait(cmd.c_str(), from, ms);
}

TEST(StatusLed, LineSixtyBlinksStreamingAndIdleAndStopsOnQuit)
{
    Board r;
    r.core->streamon.store(1);
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_LED, led_task), 0);
    for (int streaming : {1, 0}) { // idle: the blinking goes on at the slower pace
        r.core->streamon.store(streaming);
        long on = led_at(60, 1, sim_journal_count());
        ASSERT_GE(on, 0) << streaming;
        EXPECT_GE(led_at(60, 0, (size_t)on), 0) << streaming;
    }
    EXPECT_TRUE(r.stop());
}

// ---- Device actions ----

TEST(DeviceActions, RebootAndUpgradeReleaseTheHostFirstAndRestartKillsTheProcess)
{
    const struct { uint32_t address; const char* cmd; bool released; } actions[] = {
        {0x10000008, "reboot", true},
        {0x1000000C, "reboot", true},
        {0x100000F0, "killall -9 korvid", false},
    };
    for (const auto& a : actions) {
        Board r;
        r.put_boot(REG_CONTROL_CHANNEL_PRIVILEGE, 2);
        r.put_boot(REG_PRIMARY_APPLICATION_PORT, 50000);
        r.put_boot(REG_PRIMARY_APPLICATION_IP_ADDRESS, 0xC0A86405);
        size_t from = sim_journal_count();
        EXPECT_EQ(r.write(a.address, 1), 0);
        long at = sim_journal_wait(a.cmd, from, 5000);
        ASSERT_GE(at, 0) << a.cmd;
        sim_journal_t e;
        ASSERT_EQ(sim_journal_get((size_t)at, &e), 0);
        EXPECT_EQ(e.kind, SIM_SHELL_EVENT);
        const uint32_t kept[] = {2, 50000, 0xC0A86405};
        const uint32_t regs[] = {REG_CONTROL_CHANNEL_PRIVILEGE, REG_PRIMARY_APPLICATION_PORT,
                                 REG_PRIMARY_APPLICATION_IP_ADDRESS};
        for (int i = 0; i < 3; i++) EXPECT_EQ(r.boot(regs[i]), a.released ? 0u : kept[i]) << a.cmd;
        EXPECT_TRUE(r.stop());
        EXPECT_EQ(sim_journal_count(), (size_t)at + 1) << a.cmd; // the board command is the last act
    }
}

TEST(DeviceActions, UpdateAndClockTasksRunTheirCommandsOnce)
{
    Board r;
    size_t from = sim_journal_count();
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_UPDATE, UPDATE_Task), 0);
    EXPECT_GE(sim_journal_wait("/usr/bin/update ota /userdata/update.img", from, 5000), 0);

    snprintf(g_timeCmd, sizeof g_timeCmd, "date -s \"2025-06-01 08:00:00\"");
    from = sim_journal_count();
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_TIMESTAMP, TimeStamp_Task), 0);
    long clock = sim_journal_wait("hwclock -w", from, 5000);
    long date = sim_journal_find("date -s \"2025-06-01 08:00:00\"", from);
    EXPECT_GE(date, 0);
    EXPECT_LT(date, clock);
    EXPECT_TRUE(wait_until([&] { return !r.running(E_WORKER_ID_TIMESTAMP) && !r.running(E_WORKER_ID_UPDATE); }));
    EXPECT_TRUE(r.log.has("set time:date -s \"2025-06-01 08:00:00\""));
    EXPECT_EQ(g_timeCmd[0], '\0');
}

// ---- Watchdog ----

TEST(Watchdog, InitFeedCheckAndMagicClose)
{
    Board r;
    iodev_t* dev = nullptr;
    ASSERT_EQ(watchdog_init(r.core, E_DEVICE_WATCHDOG, &dev), 0);
    ASSERT_EQ(epcore_iodev_find(r.core, E_DEVICE_WATCHDOG), dev);
    sim_watchdog_t w{};
    ASSERT_EQ(sim_watchdog_state(&w), 0);
    EXPECT_TRUE(w.open && w.armed);
    EXPECT_EQ(w.timeout, 40);
    unsigned long feeds = w.feeds;

    EXPECT_EQ(feed_watchdog(dev), 0);
    bool shortened = false;
    EXPECT_EQ(watchdog_check(dev, "", &shortened), 1);
    sim_watchdog_state(&w);
    EXPECT_EQ(w.feeds, feeds + 2);
    // A kernel paging fault: no more feeding, and the board resets within 1 s.
    const char* fault = "[  12.5] Unable to handle kernel paging request at virtual address 0000000000000008\n";
    EXPECT_EQ(watchdog_check(dev, fault, &shortened), 0);
    EXPECT_TRUE(shortened);
    EXPECT_TRUE(r.log.has("kernel coredump do not need feed watchdog"));
    sim_watchdog_state(&w);
    EXPECT_EQ(w.timeout, 1);
    EXPECT_EQ(w.feeds, feeds + 2);

    EXPECT_EQ(close_watchdog(dev), 0);
    sim_watchdog_state(&w);
    EXPECT_FALSE(w.open || w.armed); // magic close: the board does not reset
    EXPECT_EQ(epcore_iodev_find(r.core, E_DEVICE_WATCHDOG), nullptr);
}

TEST(Watchdog, InitFailuresLeaveNoRunningWatchdog)
{
    Board r;
    iodev_t* dev = nullptr;
    sim_set_absent("/dev/watchdog", 1);
    EXPECT_EQ(watchdog_init(r.core, E_DEVICE_WATCHDOG, &dev), -1);
    EXPECT_TRUE(r.log.has("not support watchdog."));
    sim_set_absent("/dev/watchdog", 0);

    // The id is taken: the opened watchdog is stopped again, not left armed.
    iodev_t* other = r.add_device(E_DEVICE_WATCHDOG, nullptr);
    EXPECT_EQ(watchdog_init(r.core, E_DEVICE_WATCHDOG, &dev), -1);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(epcore_iodev_find(r.core, E_DEVICE_WATCHDOG), other);
    sim_watchdog_t w{};
    sim_watchdog_state(&w);
    EXPECT_FALSE(w.open || w.armed);
}

TEST(Watchdog, TheTaskFeedsAndBlinksLine92UntilQuitThenStopsTheWatchdog)
{
    Board r;
    size_t from = sim_journal_count();
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_WATCHDOG, watchdog_task), 0);
    EXPECT_GE(sim_journal_wait("dmesg | grep \"handle kernel paging request at virtual\"", from, 5000), 0);
    EXPECT_TRUE(wait_until([] {
        sim_watchdog_t w{};
        return sim_watchdog_state(&w) == 0 && w.feeds >= 1;
    }));
    long on = led_at(92, 1, from);
    EXPECT_GE(on, 0);
    EXPECT_GE(led_at(92, 0, (size_t)on), 0);
    EXPECT_TRUE(r.stop());
    EXPECT_TRUE(r.log.has("end watchdog task"));
    sim_watchdog_t w{};
    sim_watchdog_state(&w);
    EXPECT_FALSE(w.open || w.armed || w.expired);
}

} // namespace
