#include "common/freq_check.h"

#include <stdio.h>

#include "common/custom.h"
#include "sensor/sensor_raw.h"

namespace {

// Rows the Gpixel driver reads from its table file, and more than any
// factory table holds.
constexpr int kMaxRows = 256;

// Frequencies the IMX570 tables span: from 3 MHz up to 150, or 100 in the
// 3-phase settings and in the three-exposure mode (6), whose driver takes
// the 3-phase tables: those stored and those of the running capture.
constexpr uint32_t kImx570Lo = 3;
uint32_t imx570_hi(const FreqState& s)
{
    return s.phaseOptions != 0 || s.freqMode == 6 || s.runningPhase != 0 ? 100 : 150;
}

// The VD55H1 driver programs any frequency its 32-bit hertz registers hold
// (4294 MHz; 0 as 0 Hz), but depth processing finds the higher frequency's
// turn from the lower one and from the pair's difference, as little as
// 1 MHz. From 12-bit samples each phase holds to about 1/2000 of a turn, so
// the difference's reading misses by up to 1/1000 of its turn, which has to
// stay within half a turn of the higher frequency: up to 500 times the
// difference. Above 500 MHz pairs unwrap to distances off the scene.
constexpr uint32_t kVd55h1Lo = 3;
constexpr uint32_t kVd55h1Hi = 500;

struct Table {
    uint16_t pair[kMaxRows][2];
    int n = 0;
    Table() { n = sensor_tof_freq_pairs(pair, kMaxRows); }
    bool holds(uint32_t a, bool withB, uint32_t b) const
    {
        for (int i = 0; i < n; i++)
            if (pair[i][0] == a && (!withB || pair[i][1] == b)) return true;
        return false;
    }
    // The rows, or the first frequencies alone, as text.
    void list(bool pairs, char* out, size_t size) const
    {
        size_t used = 0;
        out[0] = '\0';
        for (int i = 0; i < n && used < size; i++) {
            int w = pairs ? snprintf(out + used, size - used, "%s%u/%u", i ? " " : "", pair[i][0], pair[i][1])
                          : snprintf(out + used, size - used, "%s%u", i ? " " : "", pair[i][0]);
            if (w > 0) used += (size_t)w;
        }
        if (!n) snprintf(out, size, "no frequency table");
    }
};

int gpixel_runs(const FreqState& s, char* takes, size_t size)
{
    Table t;
    bool dual = s.freqMode == 1 || s.freqMode == 3;
    if (s.freqMode > 3) {
        snprintf(takes, size, "frequency modes 0..3");
        return 0;
    }
    // The second frequency goes with the first in every mode, so that a
    // change to a dual mode finds a row.
    if (t.holds(s.a, true, s.b)) return 1;
    if (!dual && t.holds(s.a, false, 0) && s.b == 0) return 1;
    t.list(true, takes, size);
    return 0;
}

int range_runs(const char* what, const uint32_t* f, int used, int n, uint32_t lo, uint32_t hi, char* takes,
               size_t size)
{
    for (int i = 0; i < n; i++) {
        // A frequency the mode leaves unused still has to be one some
        // setting takes, for the mode that would use it; 0 there is left to
        // the modes' own rules, which refuse a mode that needs it.
        if (i >= used && f[i] == 0) continue;
        uint32_t top = i < used ? hi : (hi > 150 ? hi : 150);
        if (f[i] < lo || f[i] > top) {
            snprintf(takes, size, "%u..%u%s", (unsigned)lo, (unsigned)top, i < used ? what : "");
            return 0;
        }
    }
    return 1;
}

} // namespace

int freq_state_runs(uint32_t tofKind, const FreqState* s, char* takes, size_t size)
{
    char none[1];
    if (!takes || !size) takes = none, size = sizeof none;
    takes[0] = '\0';
    if (!s) return 1;
    switch (tofKind) {
    case E_GPIXEL_0503: return gpixel_runs(*s, takes, size);
    case E_IMX570: {
        uint32_t f[3] = {s->a, s->b, s->c};
        return range_runs(" in this phase setting and frequency mode", f, freq_mode_uses(tofKind, s->freqMode), 3,
                          kImx570Lo, imx570_hi(*s), takes, size);
    }
    case E_VD55H1: {
        uint32_t f[2] = {s->a, s->b};
        return range_runs("", f, 2, 2, kVd55h1Lo, kVd55h1Hi, takes, size);
    }
    default: return 1;
    }
}

int freq_mode_uses(uint32_t tofKind, uint32_t freqMode)
{
    switch (tofKind) {
    case E_GPIXEL_0503: return freqMode == 1 || freqMode == 3 ? 2 : 1;
    case E_IMX570: return freqMode == 0 ? 1 : (freqMode <= 3 ? 2 : 3);
    default: return 2;  // the VD55H1 programs both whatever the mode
    }
}

uint32_t freq_gpixel_partner(uint32_t a)
{
    Table t;
    for (int i = 0; i < t.n; i++)
        if (t.pair[i][0] == a) return t.pair[i][1];
    return 0;
}
