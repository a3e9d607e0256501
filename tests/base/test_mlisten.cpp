// Multi-pump listeners: registered before the pumps (each starting pump adds
// its own SO_REUSEPORT socket) or while they run, on every pump, and closed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

#include "base/pumptest.h"
#include "epdns.h"
#include "epudp.h"

using namespace pumptest;

namespace {

/* Every running pump watches every socket of the record. */
bool opened_everywhere(epcore_t* core, mlisten_t* ml, int pumps)
{
    bool ok = pump_count(core) == pumps;
    EnterCriticalSection(&core->glbmlistenlistCS);
    int n = arr_num(ml->devlist);
    ok = ok && n >= 1;
    for (int p = 0; ok && p < pumps; p++) {
        evpump_t* pump = pump_at(core, p);
        for (int i = 0; ok && i < n; i++) {
            auto* dev = static_cast<iodev_t*>(arr_value(ml->devlist, i));
            ok = evpump_iodev_find(pump, iodev_fd(dev)) == dev;
        }
    }
    LeaveCriticalSection(&core->glbmlistenlistCS);
    return ok;
}

int devcount(epcore_t* core, mlisten_t* ml)
{
    EnterCriticalSection(&core->glbmlistenlistCS);
    int n = arr_num(ml->devlist);
    LeaveCriticalSection(&core->glbmlistenlistCS);
    return n;
}

/* Ids of the record's listening devices. */
std::vector<uint64_t> device_ids(epcore_t* core, mlisten_t* ml)
{
    std::vector<uint64_t> ids;
    EnterCriticalSection(&core->glbmlistenlistCS);
    for (int i = 0; i < arr_num(ml->devlist); i++) ids.push_back(iodev_id(static_cast<iodev_t*>(arr_value(ml->devlist, i))));
    LeaveCriticalSection(&core->glbmlistenlistCS);
    return ids;
}

/* Devices on the pump besides the resolver's client sockets. */
int own_devices(epcore_t* core, evpump_t* pump)
{
    auto* dns = static_cast<dns_mgmt_t*>(core->dnsmgmt);
    int n = evpump_objnum(pump, 1);
    for (int i = 0; dns && i < dns->cli_dev_num; i++)
        if (dns->cli_dev[i] && dns->cli_dev[i]->evpump == pump) n--;
    return n;
}

} // namespace

TEST(MListen, RegisteredBeforeThePumpsEachStartingPumpOpensItsOwnSocket)
{
    EchoServer a;
    Core c;
    a.core = c.core;
    mlisten_t* ml = eptcp_mlisten(c.core, "127.0.0.1", 0, nullptr, EchoServer::cb, &a);
    ASSERT_NE(ml, nullptr);
    EXPECT_EQ(devcount(c.core, ml), 0); /* no pump yet: nothing opened, no port chosen */
    EXPECT_EQ(mlisten_port(ml), 0);
    EXPECT_STREQ(mlisten_lip(ml), "127.0.0.1");

    ASSERT_TRUE(start_pumps(c.core, 2));
    /* SO_REUSEPORT: one socket per pump, each watched by both, all on the
     * port the first pump was given. */
    ASSERT_TRUE(wait_until([&] { return devcount(c.core, ml) == 2 && opened_everywhere(c.core, ml, 2); }));
    EXPECT_EQ(ml->reuseport, 1);
    int port = mlisten_port(ml);
    ASSERT_NE(port, 0);
    for (int i = 0; i < 2; i++) EXPECT_EQ(iodev_lport(static_cast<iodev_t*>(arr_value(ml->devlist, i))), port);

    std::vector<int> clients;
    for (int i = 0; i < 40; i++) clients.push_back(tcp_client(port));
    EXPECT_TRUE(a.accepted.wait_for(40));
    for (int fd : clients) close(fd);
}

TEST(MListen, RegisteredWhilePumpsRunItOpensOnAllOfThemAndClosesFromAll)
{
    EchoServer a;
    Core c;
    ASSERT_TRUE(start_pumps(c.core, 2));
    a.core = c.core;
    mlisten_t* ml = eptcp_mlisten(c.core, "127.0.0.1", 0, nullptr, EchoServer::cb, &a);
    ASSERT_NE(ml, nullptr);
    EXPECT_TRUE(opened_everywhere(c.core, ml, 2));
    EXPECT_EQ(devcount(c.core, ml), 2);
    int port = mlisten_port(ml);
    ASSERT_NE(port, 0);
    /* The same port and address again: the same record, no new sockets;
     * port 0 again: a record of its own. */
    EXPECT_EQ(eptcp_mlisten(c.core, "127.0.0.1", port, nullptr, EchoServer::cb, &a), ml);
    EXPECT_EQ(devcount(c.core, ml), 2);
    mlisten_t* other = eptcp_mlisten(c.core, "127.0.0.1", 0, nullptr, EchoServer::cb, &a);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, ml);
    EXPECT_NE(mlisten_port(other), port);
    EXPECT_EQ(mlisten_close(other), 1);

    int fd = tcp_client(port);
    EXPECT_TRUE(a.accepted.wait_for(1));
    close(fd);
    std::vector<uint64_t> ids = device_ids(c.core, ml);
    EXPECT_EQ(mlisten_close(ml), 1);
    EXPECT_EQ(epcore_mlisten_get(c.core, "127.0.0.1", port), nullptr);
    for (uint64_t id : ids) EXPECT_EQ(epcore_iodev_find(c.core, id), nullptr); /* closed, not just unwatched */

    /* UDP the same way. */
    ml = epudp_mlisten(c.core, "127.0.0.1", 0, nullptr, EchoServer::cb, &a);
    ASSERT_NE(ml, nullptr);
    EXPECT_TRUE(opened_everywhere(c.core, ml, 2));
    EXPECT_NE(mlisten_port(ml), 0);
    ids = device_ids(c.core, ml);
    EXPECT_EQ(mlisten_close(ml), 1);
    for (uint64_t id : ids) EXPECT_EQ(epcore_iodev_find(c.core, id), nullptr);
    /* Only the two wake-up devices stay once the connection is gone. */
    EXPECT_TRUE(wait_until([&] {
        return own_devices(c.core, pump_at(c.core, 0)) == 2 && own_devices(c.core, pump_at(c.core, 1)) == 2;
    }));
}
