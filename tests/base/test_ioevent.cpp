// Queued events on a pump driven by hand: delivery to device, user command
// and default handlers; events of closed devices are dropped (those of
// stopped timers: test_iotimer); hooks run when the queue is empty; the pool
// stays balanced.
#include "bpool.h"
#include "epcore.h"
#include "evpump.h"
#include "iodev.h"
#include "ioevent.h"

#include <gtest/gtest.h>

#include "base/corefixture.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

namespace {

struct Calls {
    int n = 0;
    void* cbpara = nullptr;
    void* obj = nullptr;
    int event = 0;
    int fdtype = 0;
};

int record(void* cbpara, void* obj, int event, int fdtype)
{
    Calls* c = static_cast<Calls*>(cbpara);
    c->n++;
    c->cbpara = cbpara;
    c->obj = obj;
    c->event = event;
    c->fdtype = fdtype;
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

TEST_F(IoeventTest, DeviceEventReachesItsHandlerOnce)
{
    Calls calls;
    iodev_t* d = make_dev(&calls, pump);
    d->iostate = IOSTATE_CONNECTING;
    EXPECT_EQ(ioevent_push(pump, EVT_CONNECTED, d, nullptr, nullptr), 0);
    EXPECT_EQ(ioevent_handle(pump), 1);
    EXPECT_EQ(calls.n, 1);
    EXPECT_EQ(calls.obj, d);
    EXPECT_EQ(calls.event, EVT_CONNECTED);
    EXPECT_EQ(calls.fdtype, IODEV_FILE);
    EXPECT_EQ(d->iostate, IOSTATE_READY);
    EXPECT_EQ(ioevent_handle(pump), 0);
    EXPECT_EQ(core->acc_event_num, 1u);
    iodev_close(d);
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
    EXPECT_EQ(ioevent_remove(pump, nullptr), 0);
    iodev_close(d);
    iodev_close(e);
    EXPECT_EQ(ioevent_handle(pump), 1) << "only e's stray event was still queued";
    EXPECT_EQ(calls.n, 0);
}

TEST_F(IoeventTest, EventForAnUnregisteredDeviceIsDropped)
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
    iodev_close(dup);
    iodev_close(holder);
}

TEST_F(IoeventTest, RefusedEventsGoBackToThePool)
{
    EXPECT_EQ(ioevent_push(pump, EVT_TIMEOUT, nullptr, nullptr, nullptr), -101);
    EXPECT_EQ(ioevent_push(pump, EVT_DNS, nullptr, nullptr, nullptr), -101);
    EXPECT_EQ(ioevent_push(pump, EVT_READ, nullptr, nullptr, nullptr), -100);
    iodev_t* closed = iodev_new(core);
    EXPECT_EQ(ioevent_push(pump, EVT_ACCEPT, closed, nullptr, nullptr), -100);
    iodev_close(closed);
}

TEST_F(IoeventTest, UserCommandsUseTheEventCallbackOrTheDefault)
{
    Calls own, dflt;
    int cmd = 0;
    epcore_set_callback(core, record, &dflt);
    ioevent_push(pump, EVT_USER + 7, &cmd, record, &own);
    ioevent_push(pump, 42, &cmd, nullptr, nullptr);
    EXPECT_EQ(ioevent_handle(pump), 2);
    EXPECT_EQ(own.n, 1);
    EXPECT_EQ(own.event, EVT_USER + 7);
    EXPECT_EQ(own.fdtype, IODEV_USER_CMD);
    EXPECT_EQ(dflt.n, 1);
    EXPECT_EQ(dflt.obj, &cmd);
    EXPECT_EQ(dflt.event, 42);

    /* A device without handler also goes to the default handler. */
    iodev_t* d = make_dev(nullptr, pump);
    d->callback = nullptr;
    ioevent_push(pump, EVT_INVALID, d, nullptr, nullptr);
    ioevent_handle(pump);
    EXPECT_EQ(dflt.n, 2);
    EXPECT_EQ(dflt.obj, d);
    EXPECT_EQ(dflt.event, EVT_INVALID);
    iodev_close(d);
}

struct Hook {
    int ready = -1; /* result the ignitor gives once, then -1 */
    int fired = 0;
    int result = 0;
};

int hook_ignitor(void* igpara, int /*type*/)
{
    Hook* h = static_cast<Hook*>(igpara);
    int r = h->ready;
    h->ready = -1;
    return r;
}

int hook_callback(void* cbpara, int result)
{
    Hook* h = static_cast<Hook*>(cbpara);
    h->fired++;
    h->result = result;
    return 0;
}

TEST_F(IoeventTest, HooksRunOnlyWhenTheQueueIsEmpty)
{
    Hook a, b;
    ASSERT_EQ(evpump_hook_register(pump, hook_ignitor, &a, hook_callback, &a), 0);
    ASSERT_EQ(evpump_hook_register(pump, hook_ignitor, &b, hook_callback, &b), 0);
    int hooks_base = bpool_fetched_num(core->event_pool);
    b.ready = 5;
    Calls calls;
    int cmd = 0;
    ioevent_push(pump, EVT_USER + 1, &cmd, record, &calls);
    ioevent_t* user = ioevent_pop(pump);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->type, EVT_USER + 1) << "queued events come first";
    ioevent_t* hk = ioevent_pop(pump);
    ASSERT_NE(hk, nullptr);
    EXPECT_EQ(hk->ignresult, 5);
    EXPECT_EQ(ioevent_pop(pump), nullptr);

    a.ready = 0;
    b.ready = 3;
    EXPECT_EQ(ioevent_handle(pump), 2);
    EXPECT_EQ(a.fired, 1);
    EXPECT_EQ(b.fired, 1);
    EXPECT_EQ(b.result, 3);
    /* The hooks and the user event still held here. */
    EXPECT_EQ(bpool_fetched_num(core->event_pool), hooks_base + 1) << "hooks stay registered";
    EXPECT_EQ(evpump_hook_remove(pump, hook_ignitor, &a, hook_callback, &a), 1);
    EXPECT_EQ(evpump_hook_remove(pump, hook_ignitor, &b, hook_callback, &b), 1);
    /* The user event popped by hand above goes back by hand. */
    EXPECT_EQ(bpool_fetched_num(core->event_pool), base + 1);
    ioevent_recycle(core, user);
}

} // namespace
