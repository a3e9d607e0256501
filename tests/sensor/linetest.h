// A stand-in for the IMX570's line control behind its sub-device, for tests
// that need the input lines to read a given way: it keeps the last word
// written and answers a read of the input lines with `lines`.
#ifndef KORVID_TESTS_LINETEST_H
#define KORVID_TESTS_LINETEST_H

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "sensor/sensor_imx570.h"
#include "sensor_ioctl.h"
#include "simboard.h"

namespace linetest {

constexpr uint32_t kReadInputs = 0x102;

struct LineControl {
    std::atomic<uint32_t> lines{0};
    std::atomic<uint32_t> lastWord{0};
    int fd = -1;

    // On the current board, as the sensor's line control until the end of
    // the scope.
    LineControl()
    {
        static const sim_devops_t ops = {nullptr, nullptr, answer, nullptr, nullptr, nullptr, nullptr};
        EXPECT_EQ(sim_device_add("/dev/v4l-subdev-lines", &ops, this), 0);
        fd = plat_open("/dev/v4l-subdev-lines", O_RDWR);
        EXPECT_GE(fd, 0);
        sensor_imx570_gpio_control(fd, 0, nullptr);
    }
    ~LineControl() { plat_close(fd); }
    LineControl(const LineControl&) = delete;
    LineControl& operator=(const LineControl&) = delete;

    static int answer(void* model, sim_node_t*, unsigned long request, void* arg)
    {
        auto* m = static_cast<LineControl*>(model);
        if (request != SENSOR_IOC_CPLD_WORD) return -ENOTTY;
        uint32_t* word = static_cast<uint32_t*>(arg);
        m->lastWord = *word;
        if (*word == kReadInputs) *word = m->lines.load();
        return 0;
    }
};

} // namespace linetest

#endif
