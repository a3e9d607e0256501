// Per ToF sensor kind, the values its settings may take (its frequencies
// are judged in common/freq_check). Frame rates above what the sensors
// clock leave a frame length of a few lines, at which a sensor delivers
// nothing; the colour rate drives the ToF rate too. An integration length
// beyond what the sensor counts slows its frame rate limit below one frame
// per capture wait, and the capture restarts before any frame comes.
//
// Frame rates have a floor as well: a capture that waits for each frame, or
// for each exposure of a frame, a bounded time gets none once the frame
// period is longer. Where three such time-outs in a row restart the capture
// (Gpixel), or a frame needs two exposures each within the wait, no depth
// comes at all. The floor is the lowest whole rate whose period is shorter
// than such a wait. The colour rate drives the ToF rate, so both registers
// share the ToF kind's floor.
#include "common/sensor_limits.h"

#include "common/custom.h"

namespace {

constexpr uint32_t kTofFps = 0x1000202C;
constexpr uint32_t kColourFps = 0x1000102C;
constexpr uint32_t kInteA = 0x1000209C;
constexpr uint32_t kInteB = 0x100020A0;

// Frame rates the sensors and their colour companions clock.
constexpr uint32_t kMaxFps = 120;

// Gpixel 0503: its dual-exposure capture (frequency mode 3, the default)
// waits 200 ms for each exposure, one per frame period, and restarts after
// three misses; a rate of 5 leaves no room (200 ms), 6 leaves a period of
// 167 ms. Its other modes wait 800 ms per frame; the colour two-exposure
// capture waits 500 ms. A rate of 0 leaves the sensor at the rate it has.
constexpr uint32_t kGpixelMinFps = 6;

// IMX570: frequency modes 3 and 6 wait 500 ms for each of several
// exposures; 2 leaves exactly 500 ms, 3 leaves 333. Its drivers run a rate
// of 0 at 1, so 0 is not the driver's default here.
constexpr uint32_t kImx570MinFps = 3;

// VD55H1: its capture and the colour one beside it wait 200 ms at a time
// without ever giving up, so every rate delivers.
constexpr uint32_t kVd55h1MinFps = 1;

// Gpixel 0503: integration lengths count in 12 bits (its frequencies go by
// the table file, common/freq_check). The first length also caps the frame rate, in
// dual exposure at 30 - 0.006 x length, rounded and then made even: from 4084 on
// that is 4, below the rate floor.
constexpr SettingLimit kGpixel[] = {
    {kInteA, "nInteA", 1, 4083, 1},
    {kInteB, "nInteB", 1, 4095, 1},
    {kTofFps, "tof fps", kGpixelMinFps, kMaxFps, 1},
    {kColourFps, "rgb fps", kGpixelMinFps, kMaxFps, 1},
};

// IMX570: it integrates for up to 4000 microseconds (its frequencies go by
// phase setting and mode, common/freq_check). Its driver bounds the ToF rate further.
constexpr SettingLimit kImx570[] = {
    {kInteA, "nInteA", 1, 4000, 1},
    {kInteB, "nInteB", 1, 4000, 1},
    {kTofFps, "tof fps", kImx570MinFps, kMaxFps, 0},
    {kColourFps, "rgb fps", kImx570MinFps, kMaxFps, 0},
};

// VD55H1: its frequencies are judged in common/freq_check.
constexpr SettingLimit kVd55h1[] = {
    {kTofFps, "tof fps", kVd55h1MinFps, kMaxFps, 1},
    {kColourFps, "rgb fps", kVd55h1MinFps, kMaxFps, 1},
};

// Colour sensor kinds, by what their drivers do with the rate registers on
// these boards; the ToF kind's limits apply beside them.
//
// SC230AI (behind the ISP): its driver takes a rate above 30 in hundredths
// of a frame a second and runs 0 at 1. In frequency mode 3 its capture takes
// two exposures a frame and waits 200 ms for each: below 6 no colour block
// comes. The colour rate drives the ToF rate in whole frames a second, so
// only 6 to 30 mean the same to both sensors. The ToF rate reaches it too:
// the ToF drivers hand it the rate they run at (30 at most), and its
// capture, as a slave, takes the ToF rate itself while no ToF device is
// there, 0 included.
//
// SC130GS: triggered by the ToF sensor, it runs at the ToF's rate whatever
// frame length its own rate gives; its two-exposure capture waits 500 ms,
// which every rate the ToF floors allow leaves room for. SC2210 and the
// FH8320 camera: their trigger period follows neither rate register.
constexpr SettingLimit kSc230ai[] = {
    {kTofFps, "tof fps", 6, kMaxFps, 0},
    {kColourFps, "rgb fps", 6, 30, 0},
};

template <size_t N>
const SettingLimit* table(const SettingLimit (&t)[N], size_t* n)
{
    *n = N;
    return t;
}

const SettingLimit* find(const SettingLimit* t, size_t n, uint32_t address)
{
    for (size_t i = 0; i < n; i++)
        if (t[i].address == address) return &t[i];
    return nullptr;
}

} // namespace

const SettingLimit* sensor_limits(uint32_t tofKind, size_t* n)
{
    size_t none = 0;
    if (!n) n = &none;
    switch (tofKind) {
    case E_GPIXEL_0503: return table(kGpixel, n);
    case E_IMX570: return table(kImx570, n);
    case E_VD55H1: return table(kVd55h1, n);
    default: *n = 0; return nullptr;
    }
}

const SettingLimit* sensor_limit(uint32_t tofKind, uint32_t address)
{
    size_t n = 0;
    const SettingLimit* t = sensor_limits(tofKind, &n);
    return find(t, n, address);
}

const SettingLimit* colour_limits(uint32_t rgbKind, size_t* n)
{
    size_t none = 0;
    if (!n) n = &none;
    if (rgbKind == E_SMARTSENS_SC230AI) return table(kSc230ai, n);
    *n = 0;
    return nullptr;
}

const SettingLimit* colour_limit(uint32_t rgbKind, uint32_t address)
{
    size_t n = 0;
    const SettingLimit* t = colour_limits(rgbKind, &n);
    return find(t, n, address);
}

int sensor_limit_holds(const SettingLimit* limit, uint32_t v)
{
    if (!limit) return 1;
    if (v == 0 && limit->zeroDefault) return 1;
    return v >= limit->lo && v <= limit->hi;
}
