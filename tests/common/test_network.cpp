// Network configuration: settings stored in net_config and applied by the
// network task through journalled commands, refusal of malformed stored
// settings, and the interface data read from a network namespace the test
// makes (never the machine's own).
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "common/network.h"
#include "common/regtest.h"

namespace {

using regtest::RegSpace;
using regtest::wait_until;

const std::string kConfig = "[IPCONFIG]\n; static settings\nIPADDRESS=192.168.100.82\nNETMASK=255.255.0.0\n"
                            "GATEWAY=192.168.100.1\n";

struct Net : RegSpace {
    explicit Net(const char* profile = "rk3588-gpixel") : RegSpace(profile)
    {
        Bootstrap_RegInit();
        g_discover = 0;
        g_flags = 1;
        sim_journal_clear();
    }
    ~Net()
    {
        // The task ends by itself; wait for it before the block goes.
        wait_until([&] { return !epcore_worker_find(core, E_WORKER_ID_IP); });
        Bootstrap_RegDeInit();
    }
    std::string file(const std::string& path) { return read_host_file(board.host(path)); }
    void config(const std::string& text) { write_host_file(board.host(NET_CONFIG_FILE), text); }
    size_t lines(const std::string& text)
    {
        size_t count = 0;
        for (const auto& line : log.sink->last_formatted()) count += line.find(text) != std::string::npos;
        return count;
    }
    bool task_running() { return epcore_worker_find(core, E_WORKER_ID_IP) != nullptr; }
    bool task_ends() { return wait_until([&] { return !task_running(); }); }
    void run_task()
    {
        ASSERT_EQ(worker_create(core, E_WORKER_ID_IP, IP_Task), 0);
        ASSERT_TRUE(task_ends());
    }
    uint32_t boot(uint32_t address)
    {
        uint32_t v = 0xDEADBEEF;
        Bootstrap_ReadReg(address, &v, 4);
        return v;
    }
};

// Every command line the board's shell saw, in order.
std::vector<std::string> journal()
{
    std::vector<std::string> cmds;
    for (size_t i = 0; i < sim_journal_count(); i++) {
        sim_journal_t e{};
        if (sim_journal_get(i, &e) == 0) cmds.push_back(e.cmd);
    }
    return cmds;
}

const std::vector<std::string> kIfupdown = {"sudo ip addr flush dev eth0", "systemctl restart networking",
                                            "systemctl restart networking"};

std::string interfaces(const std::string& ip, const std::string& mask, const std::string& gw)
{
    return "# interfaces(5) file used by ifup(8) and ifdown(8)\n# Include files from /etc/network/interfaces.d:\n"
           "source-directory /etc/network/interfaces.d\n# The loopback network interface\nauto lo\n"
           "iface lo inet loopback\n\nauto eth0\niface eth0 inet static\naddress " +
           ip + "\nnetmask " + mask + "\ngateway " + gw + "\n";
}

TEST(NetworkStore, StoredSettingsRoundTripThroughTheFileIntoTheAppliedCommands)
{
    Net n("rk3568-imx570");  // applies through the init script's tools
    n.config(kConfig);
    modifyIp(0x0A000105);    // 10.0.1.5
    modifyMask(0xFFFFFF00);
    EXPECT_FALSE(n.task_running());
    modifyGateway(0x0A0001FE);
    EXPECT_TRUE(n.task_running());
    ASSERT_TRUE(n.task_ends());
    EXPECT_EQ(n.file(NET_CONFIG_FILE), "[IPCONFIG]\n; static settings\nIPADDRESS=10.0.1.5\nNETMASK=255.255.255.0\n"
                                       "GATEWAY=10.0.1.254\n");
    EXPECT_EQ(journal(), (std::vector<std::string>{"ifconfig eth0 10.0.1.5 netmask 255.255.255.0",
                                                   "route add default gw 10.0.1.254"}));
}

// Changes stored while the network task runs are folded into it: one task
// (one thread) at a time however fast they come (each used to make a task
// of its own), and the values applied last are the latest stored.
TEST(NetworkStore, ChangesStoredWhileTheTaskRunsFoldIntoIt)
{
    Net n("rk3568-imx570");
    n.config(kConfig);
    auto tasks = [&] {
        int count = 0;
        EnterCriticalSection(&n.core->workerlistCS);
        for (int i = 0; i < arr_num(n.core->worker_list); i++)
            count += static_cast<worker_t*>(arr_value(n.core->worker_list, i))->workerid == E_WORKER_ID_IP;
        LeaveCriticalSection(&n.core->workerlistCS);
        return count;
    };
    int most = 0;
    for (uint32_t i = 1; i <= 40; i++) {
        modifyIp(0x0A000100 + i);  // 10.0.1.i
        modifyGateway(0x0A0001FE);
        most = std::max(most, tasks());
    }
    ASSERT_TRUE(n.task_ends());
    EXPECT_EQ(most, 1);
    std::vector<std::string> cmds = journal();
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[cmds.size() - 2], "ifconfig eth0 10.0.1.40 netmask 255.255.0.0");
    EXPECT_EQ(g_discover.load(), 0u);
    // A change after the task ended starts a task of its own.
    modifyGateway(0x0A0001FE);
    EXPECT_TRUE(n.task_running());
    ASSERT_TRUE(n.task_ends());
}

TEST(NetworkTask, IfupdownBoardGetsItsInterfacesFileThenAFlushAndTwoRestarts)
{
    Net n("rk3588-gpixel");
    ASSERT_NE(plat_access(NET_S40NETWORK_FILE, F_OK), 0);
    n.config(kConfig);
    ASSERT_EQ(sim_set_free_space("/", 101ull << 20), 0);  // just enough
    // A controlling host holds the device; the task releases it.
    for (auto [reg, v] : {std::pair{REG_CONTROL_CHANNEL_PRIVILEGE, 2u}, std::pair{REG_PRIMARY_APPLICATION_PORT, 50000u},
                          std::pair{REG_PRIMARY_APPLICATION_IP_ADDRESS, 0xC0A86405u}})
        ASSERT_EQ(Bootstrap_WriteReg(reg, &v, 4), BOOTSTRAP_OK);
    g_discover = 7;
    n.run_task();
    EXPECT_TRUE(n.log.has("freeSpace:101"));
    EXPECT_EQ(n.file(NET_INTERFACES_FILE), interfaces("192.168.100.82", "255.255.0.0", "192.168.100.1"));
    EXPECT_EQ(journal(), kIfupdown);
    EXPECT_EQ((std::vector<uint32_t>{n.boot(REG_CONTROL_CHANNEL_PRIVILEGE), n.boot(REG_PRIMARY_APPLICATION_PORT),
                                     n.boot(REG_PRIMARY_APPLICATION_IP_ADDRESS)}),
              (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(g_discover.load(), 0u);  // discovery answers resume
    EXPECT_EQ(g_flags.load(), 0u);     // and reload the interface data
}

TEST(NetworkTask, AMissingPrerequisiteStopsEverythingBeforeAnyCommandAndDiscoveryResumes)
{
    struct Case {
        const char* log;
        bool taskStarted;  // by storing the gateway
        std::function<void(Net&)> breakIt;
    } cases[] = {
        {"file not exist /userdata/const/net_config", false,
         [](Net& n) { unlink(n.board.host(NET_CONFIG_FILE).c_str()); }},
        {"GATEWAY:10.0.1.254 not stored", false,
         [](Net& n) { n.config("[IPCONFIG]\nIPADDRESS=192.168.100.82\nNETMASK=255.255.0.0\n"); }},
        {"no space in device, can not write file.", true, [](Net&) { sim_set_free_space("/", 100ull << 20); }},
        {"Open network file error", true,
         [](Net& n) {
             unlink(n.board.host(NET_INTERFACES_FILE).c_str());
             rmdir(n.board.host("/etc/network").c_str());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        Net n;
        n.config(kConfig);
        c.breakIt(n);
        std::string config = n.file(NET_CONFIG_FILE), before = n.file(NET_INTERFACES_FILE);
        g_discover = 7;
        modifyGateway(0x0A0001FE);
        EXPECT_EQ(n.task_running(), c.taskStarted);
        if (!c.taskStarted) { EXPECT_EQ(n.file(NET_CONFIG_FILE), config); }
        else ASSERT_TRUE(n.task_ends());
        EXPECT_TRUE(n.log.has(c.log));
        EXPECT_TRUE(journal().empty());
        EXPECT_EQ(n.file(NET_INTERFACES_FILE), before);
        if (c.taskStarted) { EXPECT_EQ(g_discover.load(), 0u); EXPECT_EQ(g_flags.load(), 0u); }
    }
}

struct StoredValue {
    const char* value;
    const char* applied;  // as the commands carry it; null: refused
};

// Puts `v` under `key` (the other two settings well-formed), runs the task
// and checks what reached the board.
void apply_one(Net& n, const char* key, const StoredValue& v)
{
    SCOPED_TRACE(std::string(key) + "=" + std::string(v.value).substr(0, 40));
    std::string set[3] = {"10.0.0.2", "255.255.255.0", "10.0.0.1"};
    std::string& slot = set[std::string(key) == "IPADDRESS" ? 0 : std::string(key) == "NETMASK" ? 1 : 2];
    slot = v.value;
    n.config("[IPCONFIG]\nIPADDRESS=" + set[0] + "\nNETMASK=" + set[1] + "\nGATEWAY=" + set[2] + "\n");
    std::string before = n.file(NET_INTERFACES_FILE);
    size_t refusals = n.lines(std::string("invalid ") + key);
    sim_journal_clear();
    g_discover = 7;
    n.run_task();
    EXPECT_EQ(g_discover.load(), 0u);
    if (!v.applied) {
        EXPECT_EQ(n.lines(std::string("invalid ") + key), refusals + 1);
        EXPECT_TRUE(journal().empty());
        EXPECT_EQ(n.file(NET_INTERFACES_FILE), before);
        return;
    }
    slot = v.applied;
    if (plat_access(NET_S40NETWORK_FILE, F_OK) == 0) {
        EXPECT_EQ(journal(), (std::vector<std::string>{"ifconfig eth0 " + set[0] + " netmask " + set[1],
                                                       "route add default gw " + set[2]}));
    } else {
        EXPECT_EQ(journal(), kIfupdown);
        EXPECT_EQ(n.file(NET_INTERFACES_FILE), interfaces(set[0], set[1], set[2]));
    }
}

// A net_config can arrive in an uploaded archive: whatever it holds, only
// well-formed dotted quads, re-written from their numbers, reach a command
// line or the interfaces file.
TEST(NetworkTask, OnlyWellFormedDottedQuadsFromTheFileReachCommandsOrInterfaces)
{
    const std::string overlong = "1.2.3.4" + std::string(400, '0');
    const StoredValue values[] = {
        {"1.2.3.4; reboot", nullptr},   {"1.2.3.4 && rm -rf /", nullptr}, {"1.2.3.4|reboot", nullptr},
        {"$(reboot)", nullptr},         {"1.2.3.4 netmask 0.0.0.0", nullptr}, {"256.1.1.1", nullptr},
        {"1.2.3", nullptr},             {"1.2.3.4.5", nullptr},           {"1..2.3", nullptr},
        {"-1.2.3.4", nullptr},          {"0x1.2.3.4", nullptr},           {"0001.2.3.4", nullptr},
        {"", nullptr} /* no value */,   {overlong.c_str(), nullptr},      {"192.168.001.050", "192.168.1.50"},
        {"0.0.0.0", "0.0.0.0"},
    };
    const char* keys[] = {"IPADDRESS", "NETMASK", "GATEWAY"};
    // Values alternate between the two kinds of network set-up and rotate
    // through the three keys.
    for (size_t kind = 0; kind < 2; kind++) {
        Net n(kind == 0 ? "rk3568-imx570" : "rk3588-gpixel");
        for (size_t i = kind; i < std::size(values); i += 2) apply_one(n, keys[i % 3], values[i]);
    }
    // The refused text is logged escaped: control bytes reach no terminal.
    Net n;
    apply_one(n, "GATEWAY", {"1.2.3.4\x1b[2J", nullptr});
    EXPECT_EQ(n.lines("invalid GATEWAY \"1.2.3.4\\x1b[2J\""), 1u);
}

// ---- Interface data, read inside a network namespace of the test's own ----

// Inode of the network namespace the calling thread is in.
ino_t netns_inode()
{
    struct stat st {};
    return stat("/proc/thread-self/ns/net", &st) == 0 ? st.st_ino : 0;
}

const char* ip_tool()
{
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

// `ip -batch -` in the calling thread's network namespace; true when all succeeded.
bool ip_batch(const std::string& commands)
{
    FILE* f = ip_tool() ? popen((std::string(ip_tool()) + " -batch -").c_str(), "we") : nullptr;
    if (!f) return false;
    bool wrote = fwrite(commands.data(), 1, commands.size(), f) == commands.size();
    int status = pclose(f);
    return wrote && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs `body` on a thread of its own that first moves into a fresh network
// namespace and sets it up with `setup` (ip batch commands). The namespace
// goes with the thread. Returns why it could not be made, "" when body ran.
std::string in_netns(const std::string& setup, const std::function<void()>& body)
{
    if (!ip_tool()) return "no ip tool";
    std::string why;
    std::thread t([&] {
        ino_t host = netns_inode();
        // Never configure anything unless this thread really left the host's namespace.
        if (host == 0 || unshare(CLONE_NEWNET) != 0 || netns_inode() == host)
            why = "namespace not entered";
        else if (!setup.empty() && !ip_batch(setup))
            why = "namespace set-up failed";
        else
            body();
    });
    t.join();
    return why;
}

const std::string kEth0 = "link add eth0 type veth peer name eth0p\n"
                          "link set eth0 address 00:11:22:33:44:55\n"
                          "link set eth0p address 66:77:88:99:aa:bb\n"
                          "addr add 10.1.2.3/24 dev eth0\n"
                          "addr add 10.9.9.9/16 dev eth0p\n"
                          "link set eth0 up\n"
                          "link set eth0p up\n";

// Without an addressed eth0 the outputs keep what they held and the call succeeds.
TEST(NetworkInterface, AddressMaskAndMacOfEth0ComeFromTheKernelOrStay)
{
    struct Case {
        std::string setup;
        std::vector<uint32> want;  // ip, mask, macH, macL
    } cases[] = {
        {kEth0, {0x0A010203u, 0xFFFFFF00u, 0x0011u, 0x22334455u}},
        {"", {1, 2, 3, 4}},  // nothing but a loopback that is down
        {"link add eth0 type veth peer name eth0p\nlink set eth0 up\n", {1, 2, 3, 4}},  // no address
        {"link add eth00 type veth peer name eth0\naddr add 10.4.4.4/24 dev eth00\n", {1, 2, 3, 4}},  // longer name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setup);
        std::vector<uint32> got = {1, 2, 3, 4};
        int rc = 1;
        std::string why = in_netns(c.setup, [&] { rc = GetLocalInfo(&got[0], &got[1], &got[2], &got[3]); });
        if (!why.empty()) GTEST_SKIP() << why;
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(got, c.want);
    }
}

TEST(NetworkInterface, DefaultGatewayIsTheMainTablesDefaultRoute)
{
    // Many routes make the dump span several datagrams, well past 8 KiB.
    std::string many;
    for (int i = 0; i < 600; i++)
        many += "route add 10." + std::to_string(100 + i / 250) + "." + std::to_string(i % 250) +
                ".0/24 via 10.1.2.1\n";
    struct Case {
        std::string routes;
        uint32 gateway;
    } cases[] = {
        {"", 0},
        {"route add default via 10.1.2.1\n", 0x0A010201},
        // Neither another table's default route nor a half of the address space is the default.
        {"route add default via 10.1.2.99 table 100\nroute add 0.0.0.0/1 via 10.1.2.77\n", 0},
        {"route add default via 10.1.2.99 table 100\nroute add 0.0.0.0/1 via 10.1.2.77\n"
         "route add default via 10.1.2.1\n",
         0x0A010201},
        {many + "route add default via 10.1.2.254\n", 0x0A0102FE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routes.substr(0, 80));
        uint32 gw = 0xDEADBEEF;
        int rc = 1;
        std::string why = in_netns(kEth0 + c.routes, [&] { rc = GetDefaultGateway(&gw); });
        if (!why.empty()) GTEST_SKIP() << why;
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(gw, c.gateway);
    }
}

}  // namespace
