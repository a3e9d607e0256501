/* A core per test with pump records that have no thread of their own: the
 * test drives them by hand and they are released with the core. */
#ifndef KORVID_TEST_COREFIXTURE_H
#define KORVID_TEST_COREFIXTURE_H

#include <gtest/gtest.h>

#include <sys/eventfd.h>

#include <vector>

#include "epcore.h"
#include "evpump.h"
#include "iodev.h"

class CoreFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        core = epcore_new(0, 1);
        ASSERT_NE(core, nullptr);
    }
    void TearDown() override
    {
        for (evpump_t* p : pumps) {
            evpump_thread_del(core, p);
            evpump_recycle(p);
        }
        epcore_clean(core);
    }

    evpump_t* make_pump(uint64_t tid, bool registered = true)
    {
        evpump_t* p = evpump_new(core);
        EXPECT_NE(p, nullptr);
        p->threadid = tid;
        if (registered) evpump_thread_add(core, p);
        pumps.push_back(p);
        return p;
    }

    /* A registered, unbound device on a fresh eventfd. */
    iodev_t* make_dev(IOHandler* cb = nullptr, void* cbpara = nullptr)
    {
        return iodev_new_from_fd(core, eventfd(0, EFD_NONBLOCK), IODEV_FILE, nullptr, cb, cbpara);
    }

    epcore_t* core = nullptr;
    std::vector<evpump_t*> pumps;
};

#endif
