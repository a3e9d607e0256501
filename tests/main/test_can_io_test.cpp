// The CAN and IO production test against the simulated fixture: a pass only
// after 50 frames, the failures without a fixture or with wrong answers, the
// restoring of the taken-over registers and the CANopen node on every way
// out, and the frame parser's bounds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/can.h>
#include <string.h>

#include "canopen/canopen.h"
#include "common/regtest.h"
#include "main/can_io_test.h"
#include "sensor/sensor_imx570.h"

using regtest::RegSpace;
using regtest::wait_until;

namespace {

constexpr uint32_t kNodeId = 5; // frames go out as 0x185, answers come as 0x205

// An IMX570 board whose line control is set up, as the capture task leaves
// it, with the registers the test takes over holding other values.
struct Bench {
    RegSpace r{"rk3568-imx570"};
    int subdev = -1;

    Bench()
    {
        r.tof().sensorType = E_IMX570;
        r.core->streamon = 1;
        r.common().canNodeid = kNodeId;
        r.common().enableApplationAlgo = 2;
        r.common().outputControlMode = 2;
        sim_sensor_state_t st;
        EXPECT_EQ(sim_sensor_state("m01_b_imx570 3-0010", &st), 0);
        subdev = plat_open(st.subdev, O_RDWR);
        EXPECT_GE(subdev, 0);
        sensor_imx570_gpio_control(subdev, 0, nullptr);
    }
    ~Bench() { plat_close(subdev); }

    bool running(uint64_t id) { return epcore_worker_find(r.core, id) != nullptr; }
    void start() { EXPECT_EQ(r.write(0x10007064, 1000), 0); }
    void finish()
    {
        EXPECT_TRUE(wait_until([&] { return !running(E_WORKER_ID_DEV_CAN_IO_TEST); }, 20000));
        EXPECT_TRUE(r.log.has("============end==========="));
    }
    void run()
    {
        start();
        finish();
    }
    size_t lines(const std::string& text)
    {
        size_t n = 0;
        for (const auto& l : r.log.sink->last_formatted()) n += l.find(text) != std::string::npos;
        return n;
    }
    void expect_restored()
    {
        EXPECT_EQ(r.common().enableApplationAlgo, 2u);
        EXPECT_EQ(r.common().outputControlMode, 2u);
        EXPECT_EQ(r.common().outputIoMode, 0u);
        EXPECT_EQ(r.common().canRsSw, 0u);
        EXPECT_TRUE(running(E_WORKER_ID_STD_CANOPEN));
        sim_can_state_t st;
        ASSERT_EQ(sim_can_state(&st), 0);
        EXPECT_EQ(st.sockets, 0);
    }
};

sim_can_fixture_t fixture(uint32_t answerId = 0, uint8_t firstByte = 0x40)
{
    sim_can_fixture_t f{};
    f.answers = 1;
    f.answer_id = answerId;
    f.first_byte = firstByte;
    f.loopback = 1;
    return f;
}

TEST(CanIoTest, FixturePassesBothOnlyAfterFiftyFrames)
{
    Bench b;
    b.r.common().canBaudrate = 500000;
    ASSERT_EQ(worker_create(b.r.core, E_WORKER_ID_STD_CANOPEN, std_canopen_task), 0);
    sim_can_fixture_t f = fixture();
    ASSERT_EQ(sim_can_set_fixture(&f), 0);
    b.run();

    EXPECT_EQ(b.r.run.devCanIoTest, 3u);
    EXPECT_TRUE(b.r.log.has("test done,result:3"));
    EXPECT_TRUE(b.r.log.has("closed canopen_task"));
    for (const char* l : {"output:0,read:3,OK", "output:1,read:2,OK", "output:2,read:1,OK", "output:3,read:0,OK"})
        EXPECT_TRUE(b.r.log.has(l)) << l;
    EXPECT_FALSE(b.r.log.has("open stream"));
    EXPECT_GE(sim_journal_find("ip link set can0 type can bitrate 500000", 0), 0);
    EXPECT_GE(sim_journal_find("ip link set can0 up", 0), 0);

    // Every frame was answered, yet the pass came only after 50 of them.
    sim_can_state_t st;
    ASSERT_EQ(sim_can_state(&st), 0);
    EXPECT_EQ(st.sent, 50u);
    EXPECT_EQ(b.lines("recv right!!!!"), 50u);
    EXPECT_TRUE(b.r.log.has("recv_frame.data[i]:40 recv_frame.data[i]:1 recv_frame.data[i]:1 "));
    EXPECT_EQ(st.bound, SIM_CAN_IFINDEX);
    EXPECT_EQ(st.fd_frames, 1);
    EXPECT_EQ(st.loopback, 0);
    EXPECT_EQ(st.recv_own, 0);
    EXPECT_EQ(st.timestamping, 1);
    for (uint32_t n : {1u, 50u}) {
        sim_can_frame_t fr;
        ASSERT_EQ(sim_can_sent_frame(n - 1, &fr), 0);
        EXPECT_EQ(fr.id, 0x185u);
        EXPECT_EQ(fr.len, 8u);
        const uint8_t want[8] = {(uint8_t)n, (uint8_t)n, (uint8_t)n, 0, (uint8_t)n, 0, (uint8_t)n, 0};
        EXPECT_EQ(memcmp(fr.data, want, 8), 0) << n;
    }
    b.expect_restored();
}

TEST(CanIoTest, WithoutFixtureFailsAfter101Frames)
{
    Bench b;
    b.r.core->streamon = 0;
    b.run();

    EXPECT_EQ(b.r.run.devCanIoTest, 0u);
    EXPECT_TRUE(b.r.log.has("open stream"));
    EXPECT_TRUE(b.r.log.has("output:1,read:0,ERROR"));
    EXPECT_TRUE(b.r.log.has("CAN can't recv any message,ERROR"));
    EXPECT_GE(sim_journal_find("ip link set can0 type can bitrate 250000", 0), 0);
    sim_can_state_t st;
    ASSERT_EQ(sim_can_state(&st), 0);
    EXPECT_EQ(st.sent, 101u);
    EXPECT_FALSE(b.r.log.has("can read")); // an empty socket is no read error
    b.expect_restored();
}

TEST(CanIoTest, AnswerNeedsTheReceiveIdentifierAndItsFirstByte)
{
    struct Case {
        const char* what;
        uint32_t id;
        uint8_t first;
        bool logged; // data bytes logged for the receive identifier
    } cases[] = {
        {"another node's identifier", 0x206, 0x40, false},
        {"the receive identifier as an extended frame", 0x205 | CAN_EFF_FLAG, 0x40, false},
        {"a first byte other than 0x40", 0x205, 0x41, true},
    };
    for (const Case& c : cases) {
        Bench b;
        sim_can_fixture_t f = fixture(c.id, c.first);
        ASSERT_EQ(sim_can_set_fixture(&f), 0);
        b.run();
        EXPECT_EQ(b.r.run.devCanIoTest, 2u) << c.what; // the lines still pass
        EXPECT_FALSE(b.r.log.has("recv right!!!!")) << c.what;
        EXPECT_EQ(b.r.log.has("recv_frame.data[i]:41 "), c.logged) << c.what;
    }
}

TEST(CanIoTest, FailedCanSetUpRestoresRegistersAndNode)
{
    struct Case {
        int kind;
        unsigned nth;
        const char* message;
    } cases[] = {
        {SIM_REQ_OPEN, 1, " can socket error."},
        {SIM_REQ_IOCTL, 1, "can ioctl"},
        {SIM_REQ_IOCTL, 2, "can bind"},
        {SIM_REQ_IOCTL, 3, "switch the socket into CAN FD mode fail."},
        {SIM_REQ_IOCTL, 5, "switch off loopback fail."},
        {SIM_REQ_IOCTL, 6, "setsockopt SO_TIMESTAMPING is not supported by your Linux kernel"},
    };
    for (const Case& c : cases) {
        Bench b;
        sim_can_fixture_t f = fixture();
        ASSERT_EQ(sim_can_set_fixture(&f), 0);
        ASSERT_EQ(sim_fail_nth(SIM_CAN_BUS, c.kind, c.nth, EIO), 0);
        b.run();
        EXPECT_TRUE(b.r.log.has(c.message)) << c.message;
        EXPECT_TRUE(b.r.log.has("canopen_init fail.")) << c.message;
        EXPECT_FALSE(b.r.log.has("test done")) << c.message;
        EXPECT_EQ(b.r.run.devCanIoTest, 1000u) << c.message; // not run to its end
        b.expect_restored();
    }
}

TEST(CanIoTest, SecondStartWhileRunningIsRefused)
{
    Bench b;
    b.start();
    ASSERT_TRUE(wait_until([&] { return b.r.log.has("testing..."); }));
    EXPECT_EQ(b.r.write(0x10007064, 1000), 0);
    EXPECT_TRUE(b.r.log.has("error can't recreat dev_can_io_test_task"));
    b.finish();
    EXPECT_EQ(b.lines("============test task==========="), 1u);
}

TEST(CanIoFrame, ParserTakesOnlyWholeFramesWithinTheirLength)
{
    struct can_frame cf{};
    cf.can_id = 0x205;
    cf.len = 8;
    cf.data[0] = 0x40;
    CanIoFrame f;
    ASSERT_EQ(can_io_frame_parse(&cf, sizeof(cf), &f), 0);
    EXPECT_EQ(can_io_frame_answers(&f, 0x205), 1);
    EXPECT_EQ(can_io_frame_answers(&f, 0x206), 0);
    EXPECT_EQ(can_io_frame_parse(&cf, sizeof(cf) - 1, &f), -1);
    cf.len = 9;
    EXPECT_EQ(can_io_frame_parse(&cf, sizeof(cf), &f), -1);
    cf.len = 0;
    ASSERT_EQ(can_io_frame_parse(&cf, sizeof(cf), &f), 0);
    EXPECT_EQ(can_io_frame_answers(&f, 0x205), 0); // no data byte at all

    struct canfd_frame ff{};
    ff.can_id = 0x205;
    ff.len = 64;
    ff.data[0] = 0x40;
    ASSERT_EQ(can_io_frame_parse(&ff, sizeof(ff), &f), 0);
    EXPECT_EQ(f.len, 64u);
    EXPECT_EQ(can_io_frame_answers(&f, 0x205), 1);
    ff.len = 65;
    EXPECT_EQ(can_io_frame_parse(&ff, sizeof(ff), &f), -1);
    ff.len = 1;
    ff.can_id = 0x205 | CAN_RTR_FLAG;
    ASSERT_EQ(can_io_frame_parse(&ff, sizeof(ff), &f), 0);
    EXPECT_EQ(can_io_frame_answers(&f, 0x205 | CAN_RTR_FLAG), 0); // a request carries no answer
}

} // namespace
