// Queued events on a pump driven by hand: delivery to device, user command
// and default handlers; events of closed devices are dropped (those of
// stopped timers: test_iotimer); hooks run when the queue is empty; the
// event pool stays balanced.
#include "bpool.h"
#include "epcore.h"
#include "evpump.h"
#include "iodev.h"
#include "ioevent.h"

#include <gtest/gtest.h>

#include "base/corefixture.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

namespace {

struct Calls {
    int n = 0;
    void* obj = nullptr;
    int event = 0;
    int fdtype = 0;
};

int record(void* cbpara, void* obj, int event, int fdtype)
{
    Calls* c = static_cast<Calls*>(cbpara);
    *c = {c->n + 1, obj, event, fdtype};
    return 0;
}

class IoeventTest : public CoreFixture {
protected:
    void SetUp() override
    {
        CoreFixture::SetUp();
        pump = make_pump(get_threadid());
        base = bpool_fetched_num(core->event_pool);
    }
    void TearDown() override
    {
        EXPECT_EQ(bpool_fetched_num(core->event_pool), base) << "event records leaked";
        CoreFixture::TearDown();
    }
    /* A device recording its events in calls, bound to the given pump. */
    iodev_t* make_dev(Calls* calls, evpump_t* on)
    {
        iodev_t* d = CoreFixture::make_dev(record, calls);
        iodev_bind_evpump(d, BIND_GIVEN, on);
        return d;
    }
    evpump_t* pump = nullptr;
    int base = 0;
};

TEST_F(IoeventTest, EventsReachTheirHandlerOrTheDefault)
{
    Calls own, dflt, cmdcalls;
    epcore_set_callback(core, record, &dflt);
    iodev_t* d = make_dev(&own, pump);
    d->iostate = IOSTATE_CONNECTING;
    iodev_t* bare = make_dev(nullptr, pump);
    bare->callback = nullptr;
    int cmd = 0;
    EXPECT_EQ(ioevent_push(pump, EVT_CONNECTED, d, nullptr, nullptr), 0);
    ioevent_push(pump, EVT_USER + 7, &cmd, record, &cmdcalls);
    ioevent_push(pump, 42, &cmd, nullptr, nullptr);
    ioevent_push(pump, EVT_INVALID, bare, nullptr, nullptr);
    EXPECT_EQ(ioevent_handle(pump), 4);
    EXPECT_EQ(ioevent_handle(pump), 0);
    EXPECT_EQ(core->acc_event_num, 4u);

    EXPECT_EQ(own.n, 1);
    EXPECT_EQ(own.event, EVT_CONNECTED);
    EXPECT_EQ(own.fdtype, IODEV_FILE);
    EXPECT_EQ(d->iostate, IOSTATE_READY);
    EXPECT_EQ(cmdcalls.n, 1);
    EXPECT_EQ(cmdcalls.fdtype, IODEV_USER_CMD);
    EXPECT_EQ(dflt.n, 2); /* the command without callback, the device without handler */
    EXPECT_EQ(dflt.obj, bare);
    EXPECT_EQ(dflt.event, EVT_INVALID);
    iodev_close(d);
    iodev_close(bare);
}

TEST_F(IoeventTest, ClosingADeviceWithAQueuedEventSkipsItsHandler)
{
    Calls calls;
    evpump_t* other = make_pump(4242);
    iodev_t* d = make_dev(&calls, pump);
    iodev_t* e = make_dev(&calls, other);
    EXPECT_EQ(ioevent_push(pump, EVT_READ, d, nullptr, nullptr), 0);
    EXPECT_EQ(ioevent_push(pump, EVT_WRITE, d, nullptr, nullptr), 0);
    /* An event of e queued on a pump that is not e's own. */
    EXPECT_EQ(ioevent_push(pump, EVT_READ, e, nullptr, nullptr), 0);
    iodev_close(d);
    iodev_close(e);
    EXPECT_EQ(ioevent_handle(pump), 1) << "only e's stray event was still queued";
    EXPECT_EQ(calls.n, 0);
}

TEST_F(IoeventTest, EventForADeviceWhoseIdIsHeldByAnotherIsDropped)
{
    Calls calls;
    iodev_t* holder = make_dev(nullptr, pump);
    iodev_t* dup = iodev_new(core);
    dup->fd = eventfd(0, EFD_NONBLOCK);
    dup->id = holder->id;
    dup->callback = record;
    dup->cbpara = &calls;
    EXPECT_EQ(epcore_iodev_add(core, dup), -100);
    ioevent_push(pump, EVT_READ, dup, nullptr, nullptr);
    ioevent_handle(pump);
    EXPECT_EQ(calls.n, 0);
    close(dup->fd);
    iodev_discard(dup);
    iodev_close(holder);
}

struct Hook {
    int ready = -1; /* result the ignitor gives once, then -1 */
    int fired = 0, result = 0;
    static int ignitor(void* igpara, int type)
    {
        EXPECT_GE(type, EVT_USER);
        return std::exchange(static_cast<Hook*>(igpara)->ready, -1);
    }
    static int callback(void* cbpara, int result)
    {
        static_cast<Hook*>(cbpara)->fired++;
        static_cast<Hook*>(cbpara)->result = result;
        return 0;
    }
};

TEST_F(IoeventTest, HooksRunOnlyWhenTheQueueIsEmptyAndStayUntilRemoved)
{
    Hook a, b;
    ASSERT_EQ(evpump_hook_register(pump, Hook::ignitor, &a, Hook::callback, &a), 0);
    ASSERT_EQ(evpump_hook_register(pump, Hook::ignitor, &a, Hook::callback, &a), 0); /* once only */
    ASSERT_EQ(evpump_hook_register(pump, Hook::ignitor, &b, Hook::callback, &b), 0);
    ASSERT_EQ(arr_num(pump->exteventlist), 2);
    a.ready = 0;
    b.ready = 5;
    Calls calls;
    int cmd = 0;
    ioevent_push(pump, EVT_USER + 1, &cmd, record, &calls);
    ioevent_t* first = ioevent_pop(pump);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->type, EVT_USER + 1) << "queued events come first";
    ioevent_recycle(core, first);
    EXPECT_EQ(ioevent_handle(pump), 2);
    EXPECT_EQ(a.fired + b.fired, 2);
    EXPECT_EQ(b.result, 5);
    EXPECT_EQ(evpump_hook_remove(pump, Hook::ignitor, &a, Hook::callback, &a), 1);
    EXPECT_EQ(evpump_hook_remove(pump, Hook::ignitor, &a, Hook::callback, &a), 0);
    a.ready = 1;
    EXPECT_EQ(ioevent_handle(pump), 0);
    EXPECT_EQ(evpump_hook_remove(pump, Hook::ignitor, &b, Hook::callback, &b), 1);
}

} // namespace
