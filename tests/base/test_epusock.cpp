// Unix-domain stream devices: an echo exchange through a pump, the accept
// loop over a refused peer, a connect left waiting by a full listener, and
// the failure results.
#include "epusock.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/pumptest.h"
#include "base/tmpdir.h"
#include "tsock.h"
#include "usock.h"

using pumptest::Core;
using pumptest::ManualPump;
using testfs::TempDir;

namespace {

/* Both ends: the listener accepts until nothing is pending; accepted
 * connections echo; the client collects what it reads. */
struct Peers {
    epcore_t* core = nullptr;
    std::vector<iodev_t*> accepted;
    int last_retval = 1, accept_events = 0, client_reads = 0;
    std::string got;

    static int cb(void* cbpara, void* obj, int event, int fdtype)
    {
        auto* s = static_cast<Peers*>(cbpara);
        auto* dev = static_cast<iodev_t*>(obj);
        char buf[64];
        ssize_t n;
        if (event == EVT_ACCEPT && fdtype == IODEV_USOCK_LISTEN) {
            s->accept_events++;
            while (iodev_t* a = epusock_accept(s->core, dev, nullptr, &s->last_retval, cb, s, BIND_SELECT))
                s->accepted.push_back(a);
        } else if (event == EVT_READ && fdtype == IODEV_USOCK_ACCEPTED) {
            while ((n = read(iodev_fd(dev), buf, sizeof buf)) > 0)
                if (write(iodev_fd(dev), buf, (size_t)n) != n) break;
        } else if (event == EVT_READ && fdtype == IODEV_USOCK_CONNECTED) {
            s->client_reads++;
            while ((n = read(iodev_fd(dev), buf, sizeof buf)) > 0) s->got.append(buf, (size_t)n);
        }
        return 0;
    }
};

TEST(EpUsock, StreamEchoThroughThePump)
{
    TempDir dir;
    Peers peers;
    Core c;
    peers.core = c.core;
    ManualPump mp(c.core);
    std::string path = dir / "svc.sock";

    int rv = 1;
    iodev_t* lis = epusock_listen(c.core, path.c_str(), nullptr, &rv, Peers::cb, &peers);
    ASSERT_NE(lis, nullptr);
    EXPECT_EQ(rv, 0);
    EXPECT_EQ(lis->bindtype, (unsigned)BIND_ALL);
    EXPECT_EQ(sock_nonblock_get(iodev_fd(lis)), 1);

    iodev_t* con = epusock_connect(c.core, path.c_str(), nullptr, &rv, Peers::cb, &peers);
    ASSERT_NE(con, nullptr);
    EXPECT_EQ(rv, 0) << "a listener with room connects at once";
    EXPECT_EQ(con->iostate, IOSTATE_READY);
    EXPECT_EQ(iodev_evpump(con), mp.pump);

    mp.pass();
    ASSERT_EQ(peers.accepted.size(), 1u);
    EXPECT_EQ(peers.last_retval, -100) << "the loop ends when nothing is pending";
    iodev_t* acc = peers.accepted[0];
    EXPECT_EQ(iodev_workerid(acc), (uint64_t)get_threadid()) << "dispmode 1 ties it to the accepting thread";
    EXPECT_EQ(sock_nonblock_get(iodev_fd(acc)), 1);

    ASSERT_EQ(write(iodev_fd(con), "ping", 4), 4);
    for (int i = 0; i < 4 && peers.got.size() < 4; i++) mp.pass(100);
    EXPECT_EQ(peers.got, "ping");

    /* The peer's end of stream reaches the client as a read. */
    int reads = peers.client_reads;
    iodev_close(acc);
    mp.pass(100);
    EXPECT_EQ(peers.client_reads, reads + 1);
    iodev_close(con);
    iodev_close(lis);
}

TEST(EpUsock, AcceptLoopSkipsAPeerWhoseSocketFileIsGone)
{
    TempDir dir;
    Peers peers;
    Core c;
    peers.core = c.core;
    ManualPump mp(c.core);
    std::string path = dir / "svc.sock";
    ASSERT_NE(epusock_listen(c.core, path.c_str(), nullptr, nullptr, Peers::cb, &peers), nullptr);

    /* A peer bound to a path that it removes before it is accepted, then
     * an unnamed one: one edge-triggered accept event covers both. */
    int gone = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un own{}, to{};
    own.sun_family = to.sun_family = AF_UNIX;
    snprintf(own.sun_path, sizeof own.sun_path, "%s", (dir / "peer.sock").c_str());
    snprintf(to.sun_path, sizeof to.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(gone, (sockaddr*)&own, sizeof own), 0);
    ASSERT_EQ(connect(gone, (sockaddr*)&to, sizeof to), 0);
    unlink(own.sun_path);
    int good = usock_connect(path.c_str());
    ASSERT_GE(good, 0);

    mp.pass();
    EXPECT_EQ(peers.accept_events, 1);
    ASSERT_EQ(peers.accepted.size(), 1u) << "the connection behind the refused peer is accepted too";
    char b;
    EXPECT_EQ(recv(gone, &b, 1, MSG_DONTWAIT), 0) << "the refused peer was closed";
    ASSERT_EQ(write(good, "x", 1), 1);
    EXPECT_EQ(recv(iodev_fd(peers.accepted[0]), &b, 1, MSG_DONTWAIT), 1);
    close(gone);
    close(good);
}

TEST(EpUsock, FailuresAndAConnectLeftWaiting)
{
    TempDir dir;
    Core c;
    int rv = 1;
    std::string longpath = dir.path + "/" + std::string(200, 'p');
    EXPECT_EQ(epusock_listen(c.core, longpath.c_str(), nullptr, &rv, nullptr, nullptr), nullptr);
    EXPECT_EQ(rv, -200);
    int before = ht_num(c.core->device_table);
    EXPECT_EQ(epusock_connect(c.core, (dir / "nobody.sock").c_str(), nullptr, &rv, nullptr, nullptr), nullptr);
    EXPECT_EQ(rv, -30);
    EXPECT_EQ(ht_num(c.core->device_table), before) << "a failed connect leaves no device";

    std::string path = dir / "svc.sock";
    iodev_t* lis = epusock_listen(c.core, path.c_str(), nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(lis, nullptr);
    EXPECT_EQ(epusock_accept(c.core, lis, nullptr, &rv, nullptr, nullptr, BIND_SELECT), nullptr);
    EXPECT_EQ(rv, -100) << "nothing pending";

    /* A listener whose queue is full makes the next connect wait. */
    std::vector<iodev_t*> cons;
    for (rv = 0; rv == 0 && cons.size() < 300;) {
        cons.push_back(epusock_connect(c.core, path.c_str(), nullptr, &rv, nullptr, nullptr));
        ASSERT_NE(cons.back(), nullptr);
    }
    ASSERT_EQ(rv, -100);
    EXPECT_EQ(cons.back()->iostate, IOSTATE_CONNECTING);
    EXPECT_EQ(iodev_rwflag(cons.back()), WATCH_READ | WATCH_WRITE);
    for (iodev_t* d : cons) iodev_close(d);
    iodev_close(lis);
}

} // namespace
