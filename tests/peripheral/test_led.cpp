// GPIO lines through the simulated board's shell and sysfs files.
#include <gtest/gtest.h>

#include <string>

#include "algo/algotest.h"
#include "peripheral/led.h"
#include "platform/boardroot.h"

namespace {

struct Lines : ::testing::Test {
    algotest::LogCapture log;
    BoardRoot board{"rk3568-imx570"};
    std::string value(int gpio)
    {
        return read_host_file(board.host("/sys/class/gpio/gpio" + std::to_string(gpio) + "/value"));
    }
    std::string cmd(size_t i)
    {
        sim_journal_t e{};
        sim_journal_get(i, &e);
        return e.cmd;
    }
};

TEST_F(Lines, ControlExportsOnceThenDrivesTheLine)
{
    ASSERT_EQ(board.rc, 0);
    sim_journal_clear();
    EXPECT_EQ(LED_Control(60, 1), 0);
    ASSERT_EQ(sim_journal_count(), 3u);
    EXPECT_EQ(cmd(0), "echo 60 > /sys/class/gpio/export");
    EXPECT_EQ(cmd(1), "echo out > /sys/class/gpio/gpio60/direction");
    EXPECT_EQ(cmd(2), "echo 1 > /sys/class/gpio/gpio60/value");
    EXPECT_EQ(value(60), "1\n");

    EXPECT_EQ(LED_Control(60, 2), 0);  // only 1 lights the line
    ASSERT_EQ(sim_journal_count(), 5u);
    EXPECT_EQ(cmd(3), "echo out > /sys/class/gpio/gpio60/direction");
    EXPECT_EQ(cmd(4), "echo 0 > /sys/class/gpio/gpio60/value");
    EXPECT_EQ(value(60), "0\n");

    EXPECT_EQ(GPIO_Control(138, 2), 0); // any non-zero level lights it
    EXPECT_EQ(value(138), "1\n");
}

TEST_F(Lines, InputsReadTheirLevel)
{
    ASSERT_EQ(board.rc, 0);
    sim_gpio_set_input(42, 1);
    uint32 v = 7;
    EXPECT_EQ(LED_GetStatus(42, &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_GE(sim_journal_find("echo in > /sys/class/gpio/gpio42/direction", 0), 0);

    // The trigger line's fast path: set up once, then read the file only.
    EXPECT_EQ(LED_FastGetStatus_GPIO1_D0(0), -1); // not exported yet
    sim_gpio_set_input(56, 1);
    EXPECT_EQ(LED_FastGetStatus_GPIO1_D0(1), 1);
    EXPECT_EQ(LED_FastGetStatus_GPIO1_D0(0), 1);
    ASSERT_TRUE(write_host_file(board.host("/sys/class/gpio/gpio56/value"), "0\n"));
    EXPECT_EQ(LED_FastGetStatus_GPIO1_D0(0), 0);
    ASSERT_EQ(plat_shell("echo 56 > /sys/class/gpio/unexport"), 0);
    sim_fail_nth("", SIM_REQ_SHELL, 1, EIO);
    EXPECT_EQ(LED_FastGetStatus_GPIO1_D0(1), -1);
}

TEST_F(Lines, AvoidanceSelectionWithoutLineControlIsNone)
{
    EXPECT_EQ(LED_AvoidIOSettingGet(), 0);
    EXPECT_TRUE(log.has("subdevFd error"));
}

} // namespace
