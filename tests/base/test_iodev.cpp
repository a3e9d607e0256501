// I/O devices: binding rules (select, given, current), watched directions,
// socket option fields and the linger close of accepted connections, driven
// on pump records without threads.
#include "epcore.h"
#include "evpump.h"
#include "iodev.h"
#include "ioevent.h"
#include "iotimer.h"

#include <gtest/gtest.h>

#include "base/corefixture.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using IodevTest = CoreFixture;

TEST_F(IodevTest, SilentSelectReportsNothingAndGivenWithoutPumpSelects)
{
    iodev_t* w = make_dev();
    EXPECT_EQ(iodev_bind_evpump(w, BIND_SELECT_SILENT, nullptr), 0);
    EXPECT_NE(arr_search(core->glbiodev_list, w, nullptr), nullptr) << "no pump: it waits";
    evpump_t* p = make_pump(11);
    iodev_t* q = make_dev();
    EXPECT_EQ(iodev_bind_evpump(q, BIND_GIVEN, nullptr), 1);
    EXPECT_EQ(q->bindtype, (unsigned)BIND_SELECT);
    iodev_t* t = make_dev();
    EXPECT_EQ(iodev_bind_evpump(t, BIND_SELECT_SILENT, nullptr), 0) << "silent even when bound";
    EXPECT_EQ(t->evpump, p);
    EXPECT_EQ(iodev_unbind_evpump(t), 0);
    EXPECT_EQ(evpump_iodev_find(p, t->fd), nullptr);
    EXPECT_EQ(iodev_set_poll(t), -100);
    for (iodev_t* d : {w, q, t}) iodev_close(d);
    EXPECT_EQ(arr_search(core->glbiodev_list, w, nullptr), nullptr) << "a closed waiting device leaves the list";
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
    struct Case { uint64_t producer; evpump_t* given; evpump_t* want; } cases[] = {
        {77, self, other},  /* produced by the other pump */
        {0, self, self},    /* no producer: the given pump */
        {99, nullptr, nullptr}, /* a pump that is gone: one is selected */
    };
    for (const Case& c : cases) {
        cur.evpumpid = c.producer;
        EXPECT_EQ(iodev_bind_evpump(d, BIND_CURRENT, c.given), 1);
        EXPECT_EQ(d->evpump, c.want ? c.want : d->evpump);
        EXPECT_NE(d->evpump, nullptr);
        iodev_unbind_evpump(d);
    }
    self->curioe = nullptr;
    iodev_close(d);
}

TEST_F(IodevTest, NodelayAndNopushFollowTheSocketCall)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    iodev_t* t = iodev_new_from_fd(core, socket(AF_INET, SOCK_STREAM, 0), IODEV_TCP_CONNECTED, nullptr,
                                   nullptr, nullptr);
    iodev_t* u = iodev_new_from_fd(core, sv[0], IODEV_FILE, nullptr, nullptr, nullptr);
    EXPECT_EQ(iodev_tcp_nodelay_set(t, 2), 2) << "other values change nothing";
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
    g_reads += event == EVT_READ;
    g_read_fdtype = fdtype;
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
    EXPECT_EQ(fcntl(sv[0], F_GETFD), -1);
    EXPECT_EQ(ht_num(core->timer_table), 0);
    close(sv[1]);

    /* Anything but an accepted connection closes at once. */
    iodev_t* f = make_dev();
    uint64_t fid = f->id;
    EXPECT_EQ(iodev_linger_close(f), 0);
    EXPECT_EQ(epcore_iodev_find(core, fid), nullptr);
}

} // namespace
