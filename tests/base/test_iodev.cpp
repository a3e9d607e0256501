// I/O devices: binding rules (select, given, all,
// current), watched directions, socket option fields and the linger close of
// accepted connections, driven on pump records without threads.
#include "bpool.h"
#include "epcore.h"
#include "evpump.h"
#include "iodev.h"
#include "ioevent.h"
#include "iotimer.h"

#include <gtest/gtest.h>

#include "base/corefixture.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

using IodevTest = CoreFixture;

TEST_F(IodevTest, SelectWaitsWithoutPumpAndGivenBindsThere)
{
    iodev_t* w = make_dev();
    EXPECT_EQ(iodev_bind_evpump(w, BIND_SELECT, nullptr), 0);
    EXPECT_NE(arr_search(core->glbiodev_list, w, nullptr), nullptr);
    iodev_t* s = make_dev();
    EXPECT_EQ(iodev_bind_evpump(s, BIND_SELECT_SILENT, nullptr), 0);

    evpump_t* p = make_pump(11);
    iodev_t* g = make_dev();
    EXPECT_EQ(iodev_bind_evpump(g, BIND_GIVEN, p), 1);
    EXPECT_EQ(g->bindtype, (unsigned)BIND_GIVEN);
    EXPECT_EQ(evpump_iodev_find(p, g->fd), g);
    iodev_t* q = make_dev();
    EXPECT_EQ(iodev_bind_evpump(q, BIND_GIVEN, nullptr), 1) << "no pump given: selected";
    EXPECT_EQ(q->bindtype, (unsigned)BIND_SELECT);
    iodev_t* t = make_dev();
    EXPECT_EQ(iodev_bind_evpump(t, BIND_SELECT_SILENT, nullptr), 0) << "silent even when bound";
    EXPECT_EQ(t->evpump, p);
    EXPECT_EQ(iodev_bind_evpump(t, BIND_NONE, nullptr), 0);

    EXPECT_EQ(iodev_unbind_evpump(g), 0);
    EXPECT_EQ(evpump_iodev_find(p, g->fd), nullptr);
    EXPECT_EQ(g->evpump, nullptr);
    EXPECT_EQ(iodev_set_poll(g), -100);
    for (iodev_t* d : {w, s, g, q, t}) iodev_close(d);
    EXPECT_EQ(arr_search(core->glbiodev_list, w, nullptr), nullptr)
        << "a closed waiting device leaves the list";
}

TEST_F(IodevTest, BindCurrentFollowsTheEventBeingHandled)
{
    evpump_t* self = make_pump(get_threadid());
    evpump_t* other = make_pump(77);
    ioevent_t cur = {};
    iodev_t* d = make_dev();

    /* No current event: the given pump. */
    EXPECT_EQ(iodev_bind_evpump(d, BIND_CURRENT, other), 1);
    EXPECT_EQ(d->evpump, other);
    iodev_unbind_evpump(d);

    self->curioe = &cur;
    cur.evpumpid = 77; /* produced by the other pump */
    EXPECT_EQ(iodev_bind_evpump(d, BIND_CURRENT, self), 1);
    EXPECT_EQ(d->evpump, other);
    EXPECT_EQ(d->bindtype, (unsigned)BIND_CURRENT);
    iodev_unbind_evpump(d);

    cur.evpumpid = 0; /* no producer: the given pump */
    EXPECT_EQ(iodev_bind_evpump(d, BIND_CURRENT, self), 1);
    EXPECT_EQ(d->evpump, self);
    iodev_unbind_evpump(d);

    cur.evpumpid = 99; /* a pump that is gone: one is selected */
    EXPECT_EQ(iodev_bind_evpump(d, BIND_CURRENT, nullptr), 1);
    EXPECT_NE(d->evpump, nullptr);
    self->curioe = nullptr;
    iodev_close(d);
}

TEST_F(IodevTest, BindAllJoinsEveryPumpAndStaysWaiting)
{
    evpump_t* a = make_pump(21);
    evpump_t* b = make_pump(22);
    iodev_t* d = make_dev();
    EXPECT_EQ(iodev_bind_evpump(d, BIND_ALL, nullptr), 1);
    EXPECT_EQ(d->evpump, nullptr);
    EXPECT_TRUE(iodev_tree_has(a, d));
    EXPECT_TRUE(iodev_tree_has(b, d));
    EXPECT_NE(arr_search(core->glbiodev_list, d, nullptr), nullptr);
    EXPECT_EQ(iodev_clear_poll(d), 0);
    EXPECT_FALSE(iodev_tree_has(a, d));
    EXPECT_EQ(iodev_set_poll(d), 0);
    EXPECT_TRUE(iodev_tree_has(b, d));
    iodev_close(d);
    EXPECT_FALSE(iodev_tree_has(a, d));
    EXPECT_EQ(arr_search(core->glbiodev_list, d, nullptr), nullptr);
}

TEST_F(IodevTest, NotifyChangesDirectionsAndPoll)
{
    evpump_t* p = make_pump(31);
    iodev_t* d = make_dev();
    iodev_bind_evpump(d, BIND_GIVEN, p);
    EXPECT_EQ(iodev_add_notify(d, WATCH_WRITE), 0);
    EXPECT_EQ(iodev_rwflag(d), WATCH_READ | WATCH_WRITE);
    EXPECT_EQ(iodev_del_notify(d, WATCH_WRITE), 0);
    EXPECT_EQ(iodev_rwflag(d), WATCH_READ);
    EXPECT_EQ(iodev_del_notify(d, WATCH_WRITE), 0) << "nothing to drop";
    EXPECT_EQ(iodev_rwflag_set(d, 0), 0);
    EXPECT_EQ(iodev_rwflag(d), 0);

    /* A device without descriptor is closed instead. */
    iodev_t* gone = iodev_new(core);
    epcore_iodev_add(core, gone);
    uint64_t id = gone->id;
    EXPECT_EQ(iodev_add_notify(gone, WATCH_READ), -2);
    EXPECT_EQ(iodev_rwflag_set(gone, WATCH_READ), 0);
    EXPECT_EQ(epcore_iodev_find(core, id), nullptr);
    iodev_close(d);
}

TEST_F(IodevTest, NodelayAndNopushFollowTheSocketCall)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int tcp = socket(AF_INET, SOCK_STREAM, 0);
    iodev_t* t = iodev_new_from_fd(core, tcp, IODEV_TCP_CONNECTED, nullptr, nullptr, nullptr);
    iodev_t* u = iodev_new_from_fd(core, sv[0], IODEV_FILE, nullptr, nullptr, nullptr);
    EXPECT_EQ(iodev_tcp_nodelay_set(t, 2), 2) << "other values change nothing";
    EXPECT_EQ(iodev_tcp_nodelay_set(t, 1), 1);
    EXPECT_EQ(iodev_tcp_nodelay_set(t, 1), 1);
    EXPECT_EQ(iodev_tcp_nodelay_set(t, 0), 0);
    EXPECT_EQ(iodev_tcp_nopush_set(t, 1), 1);
    EXPECT_EQ(iodev_tcp_nodelay_set(u, 1), 2) << "a failing socket call keeps the state";
    iodev_close(t);
    iodev_close(u);
    close(sv[1]);
}

int g_reads = 0;
int g_read_fdtype = 0;
int read_handler(void*, void*, int event, int fdtype)
{
    if (event == EVT_READ) {
        g_reads++;
        g_read_fdtype = fdtype;
    }
    return 0;
}

TEST_F(IodevTest, LingerCloseShutsSendingThenClosesOnItsTimer)
{
    evpump_t* p = make_pump(get_threadid()); /* this thread is the pump */
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    iodev_t* d = iodev_new_from_fd(core, sv[0], IODEV_TCP_ACCEPTED, nullptr, read_handler, nullptr);
    iodev_bind_evpump(d, BIND_GIVEN, p);
    uint64_t id = d->id;
    ASSERT_EQ(iodev_linger_close(d), 0);
    EXPECT_EQ(d->fdtype, IODEV_TCP_LINGER);
    ASSERT_NE(d->iot, nullptr);
    EXPECT_EQ(d->iot->evpump, p);
    char c;
    EXPECT_EQ(recv(sv[1], &c, 1, MSG_DONTWAIT), 0) << "the peer sees the end of stream";

    /* Reads still arrive, with the linger type. */
    g_reads = 0;
    ioevent_push(p, EVT_READ, d, nullptr, nullptr);
    EXPECT_EQ(ioevent_handle(p), 1);
    EXPECT_EQ(g_reads, 1);
    EXPECT_EQ(g_read_fdtype, IODEV_TCP_LINGER);

    /* Make the 2000 ms timer due now instead of waiting for it. */
    btime(&d->iot->bintime);
    btime_t remaining;
    int count = 0;
    iotimer_check_timeout(p, &remaining, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ioevent_handle(p), 1);
    EXPECT_EQ(epcore_iodev_find(core, id), nullptr);
    EXPECT_FALSE(fd_open(sv[0]));
    EXPECT_EQ(ht_num(core->timer_table), 0);
    close(sv[1]);

    /* Anything but an accepted connection closes at once. */
    iodev_t* f = make_dev();
    uint64_t fid = f->id;
    EXPECT_EQ(iodev_linger_close(f), 0);
    EXPECT_EQ(epcore_iodev_find(core, fid), nullptr);
}

} // namespace
