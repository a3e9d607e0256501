// Unix-domain stream devices: listener, accepted and connected devices with
// their fields, an echo exchange through a pump, the accept loop over a
// refused peer, and the failure results.
#include "epusock.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/pumptest.h"
#include "base/tmpdir.h"
#include "hashtab.h"
#include "tsock.h"
#include "usock.h"

using pumptest::Core;
using pumptest::ManualPump;
using testfs::TempDir;

namespace {

/* The server side: accepts until nothing is pending and echoes reads. */
struct Server {
    epcore_t* core = nullptr;
    std::vector<iodev_t*> accepted;
    int last_retval = 1;
    int accept_events = 0;

    static int cb(void* cbpara, void* obj, int event, int fdtype)
    {
        auto* s = static_cast<Server*>(cbpara);
        auto* dev = static_cast<iodev_t*>(obj);
        if (event == EVT_ACCEPT && fdtype == IODEV_USOCK_LISTEN) {
            s->accept_events++;
            while (iodev_t* a = epusock_accept(s->core, dev, nullptr, &s->last_retval, cb, s, BIND_SELECT))
                s->accepted.push_back(a);
        } else if (event == EVT_READ && fdtype == IODEV_USOCK_ACCEPTED) {
            char buf[64];
            ssize_t n;
            while ((n = read(iodev_fd(dev), buf, sizeof buf)) > 0)
                if (write(iodev_fd(dev), buf, (size_t)n) != n) break;
        }
        return 0;
    }
};

struct Client {
    std::vector<int> events;
    std::string got;
    static int cb(void* cbpara, void* obj, int event, int)
    {
        auto* c = static_cast<Client*>(cbpara);
        c->events.push_back(event);
        char buf[64];
        ssize_t n;
        while ((n = read(iodev_fd(static_cast<iodev_t*>(obj)), buf, sizeof buf)) > 0) c->got.append(buf, (size_t)n);
        return 0;
    }
};

int device_count(epcore_t* core)
{
    EnterCriticalSection(&core->devicetableCS);
    int n = ht_num(core->device_table);
    LeaveCriticalSection(&core->devicetableCS);
    return n;
}

TEST(EpUsock, StreamEchoThroughThePump)
{
    TempDir dir;
    Server srv;
    Client cli;
    Core c;
    srv.core = c.core;
    ManualPump mp(c.core);
    std::string path = dir / "svc.sock";

    int rv = 1;
    iodev_t* lis = epusock_listen(c.core, path.c_str(), nullptr, &rv, Server::cb, &srv);
    ASSERT_NE(lis, nullptr);
    EXPECT_EQ(rv, 0);
    EXPECT_EQ(iodev_fdtype(lis), IODEV_USOCK_LISTEN);
    EXPECT_EQ(lis->iostate, IOSTATE_LISTENING);
    EXPECT_EQ(iodev_rwflag(lis), WATCH_READ);
    EXPECT_EQ(lis->bindtype, (unsigned)BIND_ALL);
    EXPECT_EQ(sock_nonblock_get(iodev_fd(lis)), 1);

    int cv = 1;
    iodev_t* con = epusock_connect(c.core, path.c_str(), nullptr, &cv, Client::cb, &cli);
    ASSERT_NE(con, nullptr);
    EXPECT_EQ(cv, 0) << "a listener with room connects at once";
    EXPECT_EQ(iodev_fdtype(con), IODEV_USOCK_CONNECTED);
    EXPECT_EQ(con->iostate, IOSTATE_READY);
    EXPECT_EQ(iodev_rwflag(con), WATCH_READ);
    EXPECT_EQ(con->bindtype, (unsigned)BIND_CURRENT);
    EXPECT_EQ(iodev_evpump(con), mp.pump);

    mp.pass();
    ASSERT_EQ(srv.accepted.size(), 1u);
    EXPECT_EQ(srv.last_retval, -100) << "the loop ends when nothing is pending";
    iodev_t* acc = srv.accepted[0];
    EXPECT_EQ(iodev_fdtype(acc), IODEV_USOCK_ACCEPTED);
    EXPECT_EQ(acc->iostate, IOSTATE_READY);
    EXPECT_EQ(iodev_rwflag(acc), WATCH_READ);
    EXPECT_EQ(iodev_workerid(acc), (uint64_t)get_threadid()) << "dispmode 1 ties it to the accepting thread";
    EXPECT_EQ(sock_nonblock_get(iodev_fd(acc)), 1);
    EXPECT_EQ(iodev_evpump(acc), mp.pump);

    ASSERT_EQ(write(iodev_fd(con), "ping", 4), 4);
    for (int i = 0; i < 4 && cli.got.size() < 4; i++) mp.pass(100);
    EXPECT_EQ(cli.got, "ping");

    /* The peer's end of stream reaches the client as a read. */
    iodev_close(acc);
    cli.events.clear();
    mp.pass(100);
    EXPECT_EQ(cli.events, std::vector<int>{EVT_READ});
    iodev_close(con);
    iodev_close(lis);
}

TEST(EpUsock, AcceptLoopSkipsAPeerWhoseSocketFileIsGone)
{
    TempDir dir;
    Server srv;
    Core c;
    srv.core = c.core;
    ManualPump mp(c.core);
    std::string path = dir / "svc.sock";
    iodev_t* lis = epusock_listen(c.core, path.c_str(), nullptr, nullptr, Server::cb, &srv);
    ASSERT_NE(lis, nullptr);

    /* A peer bound to a path that it removes before it is accepted, then
     * an unnamed one: one edge-triggered accept event covers both. */
    int gone = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un own{};
    own.sun_family = AF_UNIX;
    std::string ownpath = dir / "peer.sock";
    snprintf(own.sun_path, sizeof own.sun_path, "%s", ownpath.c_str());
    ASSERT_EQ(bind(gone, (sockaddr*)&own, sizeof own), 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s", path.c_str());
    ASSERT_EQ(connect(gone, (sockaddr*)&to, sizeof to), 0);
    unlink(ownpath.c_str());
    int good = usock_connect(path.c_str());
    ASSERT_GE(good, 0);

    mp.pass();
    EXPECT_EQ(srv.accept_events, 1);
    ASSERT_EQ(srv.accepted.size(), 1u) << "the connection behind the refused peer is accepted too";
    EXPECT_EQ(srv.last_retval, -100);
    char b;
    EXPECT_EQ(recv(gone, &b, 1, MSG_DONTWAIT), 0) << "the refused peer was closed";
    ASSERT_EQ(write(good, "x", 1), 1);
    EXPECT_EQ(recv(iodev_fd(srv.accepted[0]), &b, 1, MSG_DONTWAIT), 1);
    close(gone);
    close(good);
}

TEST(EpUsock, FailuresAndAConnectUnderWay)
{
    TempDir dir;
    Core c;
    int rv = 1;
    EXPECT_EQ(epusock_listen(nullptr, "x", nullptr, &rv, nullptr, nullptr), nullptr);
    EXPECT_EQ(rv, -1);
    std::string longpath = dir.path + "/" + std::string(200, 'p');
    struct {
        const char* path;
        int want;
    } listens[] = {{longpath.c_str(), -200}, {"/nonexistent-dir/svc.sock", -200}, {"", -200}};
    for (auto& k : listens) {
        rv = 1;
        EXPECT_EQ(epusock_listen(c.core, k.path, nullptr, &rv, nullptr, nullptr), nullptr);
        EXPECT_EQ(rv, k.want) << k.path;
    }

    int before = device_count(c.core);
    std::string nopath = dir / "nobody.sock";
    rv = 1;
    EXPECT_EQ(epusock_connect(c.core, nopath.c_str(), nullptr, &rv, nullptr, nullptr), nullptr);
    EXPECT_EQ(rv, -30);
    EXPECT_EQ(device_count(c.core), before) << "a failed connect leaves no device";
    EXPECT_EQ(epusock_connect(c.core, nullptr, nullptr, &rv, nullptr, nullptr), nullptr);
    EXPECT_EQ(rv, -1);

    std::string path = dir / "svc.sock";
    iodev_t* lis = epusock_listen(c.core, path.c_str(), nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(lis, nullptr);
    EXPECT_EQ(epusock_accept(c.core, lis, nullptr, &rv, nullptr, nullptr, BIND_SELECT), nullptr);
    EXPECT_EQ(rv, -100) << "nothing pending";
    EXPECT_EQ(epusock_accept(c.core, nullptr, nullptr, &rv, nullptr, nullptr, BIND_SELECT), nullptr);
    EXPECT_EQ(rv, -1);

    /* A listener whose queue is full makes the next connect wait. */
    std::vector<iodev_t*> cons;
    iodev_t* waiting = nullptr;
    for (int i = 0; i < 300 && !waiting; i++) {
        iodev_t* d = epusock_connect(c.core, path.c_str(), nullptr, &rv, nullptr, nullptr);
        ASSERT_NE(d, nullptr);
        cons.push_back(d);
        if (rv == -100) waiting = d;
        else ASSERT_EQ(rv, 0);
    }
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(waiting->iostate, IOSTATE_CONNECTING);
    EXPECT_EQ(iodev_rwflag(waiting), WATCH_READ | WATCH_WRITE);
    for (iodev_t* d : cons) iodev_close(d);
    iodev_close(lis);
}

} // namespace
