// The single passes the supervision tasks repeat, apart from their loops, so
// each can be driven one step at a time.
#ifndef KORVID_MAIN_TASK_INTERNAL_H
#define KORVID_MAIN_TASK_INTERNAL_H

#include <stddef.h>

#include "common/common.h"

namespace supervision {

// What a temperature that could not be read reads as.
constexpr float kNoTemperature = -1000.0f;
// The board temperature sensor and its temperature register.
constexpr uint16 kTempSensorAddr = 0x48;
constexpr uint16 kTempSensorReg = 0;
// Readings averaged into one stored temperature, and their spacing.
constexpr int kTempReadings = 10;
constexpr unsigned kTempReadingGapMs = 10;

// Degrees Celsius of a raw sensor word: 1/16 degree steps in bits 15..3,
// two's complement.
float temperature_from_raw(uint16 raw);
// One reading from the sensor on bus `fd`: 0 with the degrees in *temp, or
// -1 with kNoTemperature.
int read_temperature(int fd, float* temp);
// kTempReadings readings kTempReadingGapMs apart: the mean of those that
// succeeded, kNoTemperature when none did.
float temperature_mean(int fd);
// The I2C bus of the temperature sensor for a CPU type (`cpuId`).
const char* temperature_bus(uint32 cpuId);

// Link speed in Mbit/s from the PHY's status register 26 (bits 4..5).
uint32 link_speed_of(uint16 phyStatus);
// One pass of the link-speed loop over datagram socket `sock`: stores the
// speed of a running "eth0" in the bootstrap block and answers how long to
// sleep before the next pass (ms).
unsigned netcard_step(int sock);

// Whether an IPv4 packet read from a raw ICMP socket is an echo request.
bool is_echo_request(const uint8* packet, size_t length);
// Waits up to waitMs for one packet on the raw ICMP socket and logs it when
// it is an echo request: 1 logged, 0 nothing (none came, or another kind),
// -1 receive error.
int ping_receive(int sock, int waitMs);

// The watchdog's decision on the kernel log text `dmesgText`: a paging
// fault of the kernel leaves the watchdog unfed (its timeout cut to 1 s the
// first time, remembered in *shortened) so the board resets; otherwise it is
// fed. 1 fed, 0 not fed, -1 no device.
int watchdog_check(iodev_t* pdev, const char* dmesgText, bool* shortened);

// Whether the worker and its core are still to run.
bool running(worker_t* wk);
// Sleeps up to ms, ending early when the worker or its core is told to
// quit: true when the whole time passed.
bool nap(worker_t* wk, unsigned ms);

} // namespace supervision

#endif
