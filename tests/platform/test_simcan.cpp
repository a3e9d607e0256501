// The simulated CAN bus and its fixture: sockets that are nodes on the bus,
// what the bus carries to whom and the fixture's answers. (The fixture's
// loop-back of the lines is proved by the production test's own tests.)
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <string.h>

#include "platform/boardroot.h"

namespace {

int can_socket(bool bound)
{
    int s = plat_socket(PF_CAN, SOCK_RAW, CAN_RAW);
    EXPECT_GE(s, 0);
    if (bound) {
        struct sockaddr_can a{};
        a.can_family = AF_CAN;
        a.can_ifindex = SIM_CAN_IFINDEX;
        EXPECT_EQ(plat_bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)), 0);
    }
    return s;
}

struct can_frame frame(uint32_t id, uint8_t first)
{
    struct can_frame f{};
    f.can_id = id;
    f.len = 8;
    f.data[0] = first;
    f.data[7] = 7;
    return f;
}

TEST(SimCan, SocketsAreBusNodesAndHostSocketsStayTheHosts)
{
    BoardRoot board("rk3568-imx570");
    int udp = plat_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    int one = 1;
    EXPECT_EQ(plat_setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)), 0);
    plat_close(udp);
    errno = 0;
    EXPECT_EQ(plat_socket(PF_CAN, SOCK_DGRAM, CAN_BCM), -1);
    EXPECT_EQ(errno, EPROTONOSUPPORT);

    int s = can_socket(false);
    struct ifreq ifr{};
    strcpy(ifr.ifr_name, "can1");
    EXPECT_EQ(plat_ioctl(s, SIOCGIFINDEX, &ifr), -1);
    strcpy(ifr.ifr_name, "can0");
    ASSERT_EQ(plat_ioctl(s, SIOCGIFINDEX, &ifr), 0);
    EXPECT_EQ(ifr.ifr_ifindex, SIM_CAN_IFINDEX);
    struct can_frame f = frame(0x181, 1);
    errno = 0;
    EXPECT_EQ(plat_write(s, &f, sizeof(f)), -1); // not bound to an interface
    EXPECT_EQ(errno, ENXIO);
    plat_close(s);
}

TEST(SimCan, BusCarriesFramesToOtherSocketsAndTheFixtureAnswers)
{
    BoardRoot board("rk3568-imx570");
    int a = can_socket(true), b = can_socket(true);
    struct can_frame f = frame(0x181, 9), got{};
    ASSERT_EQ(plat_write(a, &f, sizeof(f)), (ssize_t)sizeof(f));
    ASSERT_EQ(plat_read(b, &got, sizeof(got)), (ssize_t)sizeof(got));
    EXPECT_EQ(got.can_id, 0x181u);
    errno = 0;
    EXPECT_EQ(plat_read(a, &got, sizeof(got)), -1); // no own frames, and no waiting
    EXPECT_EQ(errno, EAGAIN);

    // With loopback off nothing reaches b; the fixture answers both, with
    // the identifier 0x80 above and the rest of the frame kept.
    int off = 0;
    ASSERT_EQ(plat_setsockopt(a, SOL_CAN_RAW, CAN_RAW_LOOPBACK, &off, sizeof(off)), 0);
    sim_can_fixture_t fx{};
    fx.answers = 1;
    fx.first_byte = 0x40;
    ASSERT_EQ(sim_can_set_fixture(&fx), 0);
    ASSERT_EQ(plat_write(a, &f, sizeof(f)), (ssize_t)sizeof(f));
    for (int s : {a, b}) {
        ASSERT_EQ(plat_read(s, &got, sizeof(got)), (ssize_t)sizeof(got));
        EXPECT_EQ(got.can_id, 0x201u);
        EXPECT_EQ(got.data[0], 0x40);
        EXPECT_EQ(got.data[7], 7);
        EXPECT_EQ(plat_read(s, &got, sizeof(got)), -1);
    }
    sim_can_state_t st;
    ASSERT_EQ(sim_can_state(&st), 0);
    EXPECT_EQ(st.sockets, 2);
    EXPECT_EQ(st.sent, 2u);
    EXPECT_EQ(st.answered, 1u);
    plat_close(a);
    plat_close(b);
    ASSERT_EQ(sim_can_state(&st), 0);
    EXPECT_EQ(st.sockets, 0);
}

} // namespace
