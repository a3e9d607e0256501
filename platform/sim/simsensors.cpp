/* Sensor models of the simulated board: the ToF sensors (Gpixel 0503,
 * IMX570, VD55H1), the colour sensors (SC130GS, SC230AI, SC2210), the
 * FH8320 camera and a USB camera.
 *
 * Each keeps the registers it was written, derives its frame size from the
 * pad format and its rate from the registers the drivers program, and logs
 * every write for tests. The ToF models synthesise what a continuous-wave
 * sensor delivers for a fixed scene (phase samples at the modulation
 * frequency the registers select, brighter with longer integration, up to
 * saturation); they take frames only once their start sequence ran, and in
 * their trigger modes one per trigger. The colour models draw a test chart. */
#include "simcam.h"
#include "sensor_ioctl.h"

#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr double kLight = 299792458.0;
constexpr size_t kLogMax = 1u << 16;

uint32_t be32(const Sensor* s, uint32_t a)
{
    return (uint32_t)s->reg(a) << 24 | (uint32_t)s->reg(a + 1) << 16 | (uint32_t)s->reg(a + 2) << 8 | s->reg(a + 3);
}

uint32_t le32(const Sensor* s, uint32_t a)
{
    return (uint32_t)s->reg(a) | (uint32_t)s->reg(a + 1) << 8 | (uint32_t)s->reg(a + 2) << 16 |
           (uint32_t)s->reg(a + 3) << 24;
}

void put16(uint8_t* p, uint16_t v) { memcpy(p, &v, 2); }

/* Phase images of the scene: `n` planes of w x h 12-bit samples in 16-bit
 * words, plane k taken at phase offset 2 pi k / n, at `stride` samples from
 * one plane to the next. `gain` scales the amplitude (integration length). */
void tof_planes(uint8_t* dst, uint32_t w, uint32_t h, int n, size_t stride, double f_hz, double gain)
{
    // cos(phi - t_k) = cos phi cos t_k + sin phi sin t_k: one cos and sin a pixel.
    double ct[8], st[8];
    n = n > 8 ? 8 : n;
    for (int k = 0; k < n; k++) {
        ct[k] = cos(2.0 * M_PI * k / n);
        st[k] = sin(2.0 * M_PI * k / n);
    }
    for (uint32_t y = 0; y < h; y++) {
        for (uint32_t x = 0; x < w; x++) {
            double mm, refl;
            scene_at(x, y, w, h, &mm, &refl);
            double a = 1600.0 * refl * (700.0 / mm) * (700.0 / mm);
            a = a < 60 ? 60 : (a > 1800 ? 1800 : a);
            a *= gain;
            double b = 1100.0 + 0.5 * a;
            double phi = 4.0 * M_PI * f_hz * (mm / 1000.0) / kLight;
            double c = a * cos(phi), s = a * sin(phi);
            for (int k = 0; k < n; k++) {
                double v = b + c * ct[k] + s * st[k];
                // Saturation: the sample cannot exceed its 12 bits.
                long q = v <= 0 ? 0 : (v >= 4095 ? 4095 : (long)(v + 0.5));
                put16(dst + ((size_t)k * stride + (size_t)y * w + x) * 2, (uint16_t)q);
            }
        }
    }
}

/* A plane of the ambient level only (no modulated light). */
void ambient_plane(uint8_t* dst, uint32_t w, uint32_t h)
{
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) put16(dst + ((size_t)y * w + x) * 2, (uint16_t)(200 + (x + y) % 16));
}

/* Sets `tag` bits in every sample of a plane of w x h 16-bit words. */
void tag_plane(uint8_t* dst, uint32_t w, uint32_t h, uint16_t tag)
{
    for (size_t i = 0; i < (size_t)w * h; i++) {
        uint16_t v;
        memcpy(&v, dst + i * 2, 2);
        put16(dst + i * 2, (uint16_t)(v | tag));
    }
}

/* ---- Colour test chart ---- */

struct Bar {
    uint8_t y, u, v;
};
/* 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black. */
constexpr Bar kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

Bar chart_at(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t seq)
{
    if (y < h * 3 / 4) return kBars[(size_t)x * 8 / w];
    // Bottom quarter: a grey ramp that moves one step per frame.
    return Bar{(uint8_t)(16 + ((x + seq) % w) * 219 / w), 128, 128};
}

void draw_chart(std::vector<uint8_t>& out, uint32_t fourcc, uint32_t w, uint32_t h, uint32_t seq);

/* Baseline JPEG of grey blocks (each 8 x 8 block its mean, so only DC
 * coefficients): small, valid, and enough for an MJPEG path. */
struct BitWriter {
    std::vector<uint8_t>& out;
    uint32_t acc = 0;
    int      n = 0;
    void put(uint32_t bits, int len)
    {
        for (int i = len - 1; i >= 0; i--) {
            acc = acc << 1 | ((bits >> i) & 1);
            if (++n == 8) {
                out.push_back((uint8_t)acc);
                if ((uint8_t)acc == 0xFF) out.push_back(0);
                acc = 0;
                n = 0;
            }
        }
    }
    void flush()
    {
        while (n) put(1, 1);
    }
};

void jpeg_chart(std::vector<uint8_t>& out, uint32_t w, uint32_t h, uint32_t seq)
{
    out.clear();
    auto seg = [&](uint8_t marker, std::initializer_list<uint8_t> body) {
        out.push_back(0xFF);
        out.push_back(marker);
        size_t len = body.size() + 2;
        out.push_back((uint8_t)(len >> 8));
        out.push_back((uint8_t)len);
        out.insert(out.end(), body);
    };
    out.push_back(0xFF);
    out.push_back(0xD8);
    std::vector<uint8_t> dqt(65, 1);
    dqt[0] = 0;
    out.insert(out.end(), {0xFF, 0xDB, 0, 67});
    out.insert(out.end(), dqt.begin(), dqt.end());
    seg(0xC0, {8, (uint8_t)(h >> 8), (uint8_t)h, (uint8_t)(w >> 8), (uint8_t)w, 1, 1, 0x11, 0});
    seg(0xC4, {0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    seg(0xC4, {0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00});
    seg(0xDA, {1, 1, 0x00, 0, 63, 0});
    static const uint16_t kCode[12] = {0x0, 0x2, 0x3, 0x4, 0x5, 0x6, 0xE, 0x1E, 0x3E, 0x7E, 0xFE, 0x1FE};
    static const uint8_t  kLen[12] = {2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
    BitWriter bw{out};
    int prev = 0;
    for (uint32_t by = 0; by < (h + 7) / 8; by++) {
        for (uint32_t bx = 0; bx < (w + 7) / 8; bx++) {
            int level = chart_at(bx * 8 + 4 < w ? bx * 8 + 4 : w - 1, by * 8 + 4 < h ? by * 8 + 4 : h - 1, w, h, seq).y;
            int dc = 8 * (level - 128);
            int diff = dc - prev;
            prev = dc;
            int mag = diff < 0 ? -diff : diff, cat = 0;
            while (mag >> cat) cat++;
            bw.put(kCode[cat], kLen[cat]);
            if (cat) bw.put((uint32_t)(diff < 0 ? diff + (1 << cat) - 1 : diff), cat);
            bw.put(0, 1); // end of block
        }
    }
    bw.flush();
    out.push_back(0xFF);
    out.push_back(0xD9);
}

/* Rows [y0, y1) of the chart of frame `seq` into `out`, sized for the format. */
void draw_rows(std::vector<uint8_t>& out, uint32_t fourcc, uint32_t w, uint32_t h, uint32_t seq, uint32_t y0,
               uint32_t y1)
{
    uint8_t* p = out.data();
    for (uint32_t y = y0; y < y1; y++) {
        for (uint32_t x = 0; x < w; x++) {
            Bar c = chart_at(x, y, w, h, seq);
            size_t i = (size_t)y * w + x;
            switch (fourcc) {
            case V4L2_PIX_FMT_Y10:
            case V4L2_PIX_FMT_Y12:
            case V4L2_PIX_FMT_Y16:
            case V4L2_PIX_FMT_SBGGR10: {
                int shift = fourcc == V4L2_PIX_FMT_Y12 ? 4 : fourcc == V4L2_PIX_FMT_Y16 ? 8 : 2;
                put16(p + i * 2, (uint16_t)(c.y << shift));
                break;
            }
            case V4L2_PIX_FMT_UYVY:
                p[i * 2] = (x & 1) ? c.v : c.u;
                p[i * 2 + 1] = c.y;
                break;
            case V4L2_PIX_FMT_NV12:
            case V4L2_PIX_FMT_YUV420:
                p[i] = c.y;
                if (!(x & 1) && !(y & 1)) {
                    size_t plane = (size_t)w * h, ci = (size_t)(y / 2) * (w / 2) + x / 2;
                    if (fourcc == V4L2_PIX_FMT_NV12) {
                        p[plane + ci * 2] = c.u;
                        p[plane + ci * 2 + 1] = c.v;
                    } else {
                        p[plane + ci] = c.u;
                        p[plane + plane / 4 + ci] = c.v;
                    }
                }
                break;
            default: p[i] = c.y; break; // GREY
            }
        }
    }
}

void draw_chart(std::vector<uint8_t>& out, uint32_t fourcc, uint32_t w, uint32_t h, uint32_t seq)
{
    if (fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG) {
        jpeg_chart(out, w, h, seq);
        return;
    }
    uint32_t bpl, size;
    plane_size(fourcc, w, h, &bpl, &size);
    out.assign(size, 0);
    draw_rows(out, fourcc, w, h, seq, 0, h);
}

/* Moves the ramp of a chart drawn by draw_chart to frame `seq`: only the
 * ramp depends on the frame, and its rows are all alike (its colour
 * difference is constant), so one row is drawn and copied. */
void move_ramp(std::vector<uint8_t>& out, uint32_t fourcc, uint32_t w, uint32_t h, uint32_t seq)
{
    uint32_t y0 = h * 3 / 4;
    if (y0 >= h) return;
    draw_rows(out, fourcc, w, h, seq, y0, y0 + 1);
    bool wide = fourcc == V4L2_PIX_FMT_Y10 || fourcc == V4L2_PIX_FMT_Y12 || fourcc == V4L2_PIX_FMT_Y16 ||
                fourcc == V4L2_PIX_FMT_SBGGR10 || fourcc == V4L2_PIX_FMT_UYVY;
    size_t row = (size_t)w * (wide ? 2 : 1);
    for (uint32_t y = y0 + 1; y < h; y++) memcpy(out.data() + (size_t)y * row, out.data() + (size_t)y0 * row, row);
}

/* The rate of a camera triggered by a PWM output: 1e9 / period while the
 * channel is enabled; 0 when it is not running. */
double pwm_rate(const std::string& chip_host)
{
    auto num = [](const std::string& f) -> long {
        FILE* fp = fopen(f.c_str(), "r");
        if (!fp) return -1;
        long v = -1;
        if (fscanf(fp, "%ld", &v) != 1) v = -1;
        fclose(fp);
        return v;
    };
    if (chip_host.empty() || num(chip_host + "/pwm0/enable") != 1) return 0;
    long period = num(chip_host + "/pwm0/period");
    return period > 0 ? 1e9 / (double)period : 0;
}

/* ---- ToF models ---- */

/* Amplitude gain of an integration length: the lengths the drivers start
 * with (800) give the scene's nominal brightness; a sample saturates at 4095. */
constexpr double kNominalLength = 800.0;
double length_gain(uint32_t length, uint32_t reset)
{
    return (length ? length : reset) / kNominalLength;
}

/* Pictures kept per sensor: exposures of two settings may alternate. */
constexpr size_t kPictures = 3;

struct Gpixel : Sensor {
    bool tof() const override { return true; }
    /* Trigger and stream mode 1 and 0 (31, 32): frames on the trigger line
     * only. Otherwise run control 0 starts and stops the sensor. */
    bool trigger_mode() const override { return reg(31) == 1 && reg(32) == 0; }
    bool free_running() const override { return !trigger_mode() && (reg(0) & 1); }
    /* Integration lengths F0 (526/527) and F1 (528/529). */
    uint32_t length(int f) const { return reg(f ? 528 : 526) | (uint32_t)reg(f ? 529 : 527) << 8; }
    std::vector<std::pair<uint32_t, uint32_t>> sizes() const override { return {{1920, 1440}, {1920, 2880}}; }
    uint32_t code() const override { return MEDIA_BUS_FMT_Y12_1X12; }
    uint32_t fourcc() const override { return V4L2_PIX_FMT_Y12; }
    bool     dual() const { return fmt.height == 2880; }
    uint32_t k() const { return dual() ? 15840 : 7920; }
    double fps() const override
    {
        uint32_t f = (uint32_t)reg(30) << 16 | (uint32_t)reg(29) << 8 | reg(28);
        return f ? 1e9 / ((double)f * k()) : 30.0;
    }
    void set_fps(double rate) override
    {
        if (rate <= 0) return;
        uint32_t f = (uint32_t)(1e9 / (rate * k()));
        write_reg(16, 1);
        write_reg(30, (uint8_t)(f >> 16));
        write_reg(29, (uint8_t)(f >> 8));
        write_reg(28, (uint8_t)f);
        write_reg(16, 0);
    }
    /* 24 MHz x N / divider / option, the clock the integration arithmetic
     * of the driver counts in. */
    double mod_hz(int g) const override
    {
        static const int kBase[4] = {6, 4, 3, 2};
        uint32_t n = reg(558) | (uint32_t)reg(559) << 8;
        if (!n) return g == 0 ? 100e6 : 64e6;
        double divider = kBase[reg(557) & 3] * (double)(1u << (reg(560) & 3));
        double opt = (reg(g == 0 ? 567 : 568) & 7) + 3;
        return 24e6 * n / divider / opt;
    }
    const std::vector<uint8_t>& frame(uint32_t, uint32_t, uint32_t, uint32_t) override
    {
        // Per frequency group nine 640 x 480 planes: four phases at the F0
        // length, four at the F1 length, one of ambient light.
        int groups = dual() ? 2 : 1;
        double g0 = length_gain(length(0), 800), g1 = length_gain(length(1), 400);
        char key[96];
        snprintf(key, sizeof(key), "%u %.0f %.0f %.4f %.4f", fmt.height, mod_hz(0), groups > 1 ? mod_hz(1) : 0.0, g0,
                 g1);
        return picture(key, [&](std::vector<uint8_t>& out) {
            const uint32_t w = 640, h = 480;
            const size_t plane = (size_t)w * h * 2;
            out.assign((size_t)fmt.width * fmt.height * 2, 0);
            for (int g = 0; g < groups && (size_t)(g * 9 + 9) * plane <= out.size(); g++) {
                uint8_t* base = out.data() + (size_t)g * 9 * plane;
                tof_planes(base, w, h, 4, (size_t)w * h, mod_hz(g), g0);
                tof_planes(base + 4 * plane, w, h, 4, (size_t)w * h, mod_hz(g), g1);
                ambient_plane(base + 8 * plane, w, h);
            }
        });
    }
};

struct Imx570 : Sensor {
    static constexpr uint32_t kRows = 483; // 480 image rows and 3 embedded rows
    bool tof() const override { return true; }
    /* Streaming (4097) starts and stops the sensor; the CPLD generates its
     * triggers: on its own in stream mode (words 521, 777), or one per
     * trigger word (128, 384) or pulse on the line after word 257. */
    bool trig = false;
    bool streaming() const { return reg(4097) & 1; }
    bool trigger_mode() const override { return streaming() && trig; }
    bool free_running() const override { return streaming() && !trig; }
    std::vector<std::pair<uint32_t, uint32_t>> sizes() const override
    {
        return {{640, 1932}, {640, 1449}, {640, 3864}, {640, 2898}, {640, 5796}, {640, 4347}};
    }
    uint32_t code() const override { return MEDIA_BUS_FMT_Y12_1X12; }
    uint32_t fourcc() const override { return V4L2_PIX_FMT_Y12; }
    int phases() const
    {
        int p = reg(8540) & 15;
        if (p == 3 || p == 4) return p;
        return (fmt.height / kRows) % 4 == 0 ? 4 : 3;
    }
    int groups() const { return (int)(fmt.height / kRows) / phases(); }
    double fps() const override
    {
        if (cpld_rate) return cpld_rate > 100 ? cpld_rate / 100.0 : (double)cpld_rate;
        uint32_t hl = ((uint32_t)reg(8456) << 8 | reg(8457)) & 0x3FFF;
        int n = ((reg(8448) >> 6) & 3) + 1;
        uint32_t v = be32(this, n == 1 ? 8460 : n == 2 ? 8464 : 8468) * 10;
        if (!hl || !v) return 30.0;
        double t_us = (double)v * hl / 1200.0;
        return 1e6 / t_us;
    }
    void set_fps(double rate) override { cpld_rate = rate > 0 ? (uint32_t)lround(rate) : 0; }
    /* The group's frequency row value in register 8524 + g, read as MHz.
     * In the three-exposure mode every group of an exposure runs at the
     * frequency stored for that exposure (CPLD words 12, 13, 14 store the
     * one in 8524 at the time). */
    double mod_hz(int g) const override
    {
        uint8_t f = presets_live ? preset[exposure] : reg(8524 + (uint32_t)g);
        return f ? f * 1e6 : 100e6;
    }
    uint8_t preset[3] = {0, 0, 0};
    bool    presets_live = false;
    /* A frequency written afresh holds until stored as a preset. */
    void wrote(uint32_t a) override
    {
        if (a == 8524) presets_live = false;
    }
    void cpld_word(uint32_t word) override
    {
        uint32_t c = word & 0xFF;
        if (c >= 12 && c <= 14) {
            preset[c - 12] = reg(8524);
            presets_live = true;
        }
        if (word == 257) trig = true;
        else if (word == 521 || word == 777) trig = false;
        else if (c == 128) trigger();
    }
    uint32_t integration_us() const { return last_len ? last_len : be32(this, 8484) / 120; }
    int      temp_c() const { return (int)lround(temperature); }
    /* The group delivered at position g (a test may reorder them). */
    int      logical(int g) const { return g < 3 && group_index[g] >= 0 ? group_index[g] : g; }
    /* The sensor's mode follows the pad format: phases per group (8540)
     * and groups less one (8448 bits 6-7), as its driver programs them. */
    void format_set() override
    {
        uint32_t blocks = fmt.height / kRows;
        uint32_t p = blocks % 3 == 0 && blocks != 12 ? 3 : 4;
        uint32_t n = blocks / p;
        regs[8540] = (uint8_t)((reg(8540) & 0xF0) | p);
        regs[8448] = (uint8_t)((reg(8448) & 0x3F) | ((n ? n - 1 : 0) & 3) << 6);
    }

    const std::vector<uint8_t>& frame(uint32_t, uint32_t, uint32_t, uint32_t) override
    {
        int p = phases(), ng = groups();
        double gain = length_gain(integration_us(), (uint32_t)kNominalLength);
        char key[128];
        snprintf(key, sizeof(key), "%u %d %.0f %.0f %.0f %d %d %d %.4f", fmt.height, p, mod_hz(0), mod_hz(1),
                 mod_hz(2), group_index[0], group_index[1], group_index[2], gain);
        const size_t row = 640 * 2, block = kRows * row;
        std::vector<uint8_t>& out = picture(key, [&](std::vector<uint8_t>& pic) {
            pic.assign((size_t)fmt.width * fmt.height * 2, 0);
            for (int g = 0; g < ng; g++) {
                int l = logical(g);
                tof_planes(pic.data() + (size_t)g * p * block, 640, 480, p, block / 2, mod_hz(l < 3 ? l : g), gain);
            }
        });
        // Embedded rows after each phase image: group index, integration
        // time, exposure number and temperature, as 12-bit packed bytes.
        uint32_t count = integration_us() * 120;
        for (int g = 0; g < ng; g++) {
            for (int k = 0; k < p; k++) {
                uint8_t bytes[3][126] = {};
                bytes[0][111] = (uint8_t)(int8_t)temp_c();
                bytes[1][48] = (uint8_t)logical(g);
                bytes[1][87] = (uint8_t)(count >> 24);
                bytes[1][90] = (uint8_t)(count >> 16);
                bytes[1][93] = (uint8_t)(count >> 8);
                bytes[1][96] = (uint8_t)count;
                bytes[2][9] = (uint8_t)(exposure + 1);
                uint8_t* rows = out.data() + ((size_t)(g * p + k)) * block + 480 * row;
                for (int r = 0; r < 3; r++) {
                    for (int t = 0; t < 42; t++) {
                        const uint8_t* b = &bytes[r][t * 3];
                        put16(rows + r * row + (size_t)t * 4, (uint16_t)(b[0] << 4 | b[2] >> 4));
                        put16(rows + r * row + (size_t)t * 4 + 2, (uint16_t)(b[1] << 4 | (b[2] & 15)));
                    }
                }
            }
        }
        return out;
    }
};

struct Vd55h1 : Sensor {
    bool tof() const override { return true; }
    /* It runs once its driver programmed a frame period. */
    bool free_running() const override { return (reg(1600) | reg(1601)) != 0; }
    std::vector<std::pair<uint32_t, uint32_t>> sizes() const override { return {{1344, 9656}}; }
    uint32_t code() const override { return MEDIA_BUS_FMT_Y12_1X12; }
    uint32_t fourcc() const override { return V4L2_PIX_FMT_Y12; }
    double fps() const override
    {
        uint32_t period = reg(1600) | (uint32_t)reg(1601) << 8;
        return period ? 1e6 / (period * 7.04) : 30.0;
    }
    void set_fps(double rate) override
    {
        if (rate <= 0) return;
        uint32_t period = (uint32_t)ceil(1e6 / (rate * 7.04));
        write_reg(1600, (uint8_t)period);
        write_reg(1601, (uint8_t)(period >> 8));
        write_reg(1648, (uint8_t)period);
        write_reg(1649, (uint8_t)(period >> 8));
    }
    double mod_hz(int g) const override
    {
        uint32_t f = le32(this, g == 0 ? 1612 : 1660);
        return f ? (double)f : (g == 0 ? 100e6 : 64e6);
    }
    const std::vector<uint8_t>& frame(uint32_t, uint32_t, uint32_t, uint32_t) override
    {
        // Two frequency groups of twelve 672 x 804 planes (four phases at
        // each integration length, four of ambient light), then 8 rows of
        // frame data. Each phase sample carries its phase number (1..4) in
        // the four bits above its 12-bit value, which the raw parse clears:
        // a frame that skipped the parse gives wrong distances.
        // Integration lengths F0 (1604-1607) and F1 (1608-1611).
        double g0 = length_gain(le32(this, 1604), 800), g1 = length_gain(le32(this, 1608), 400);
        char key[96];
        snprintf(key, sizeof(key), "%.0f %.0f %.4f %.4f", mod_hz(0), mod_hz(1), g0, g1);
        const uint32_t w = 672, h = 804;
        const size_t plane = (size_t)w * h * 2;
        return picture(key, [&](std::vector<uint8_t>& out) {
            out.assign((size_t)1344 * 9656 * 2, 0);
            for (int g = 0; g < 2; g++) {
                uint8_t* base = out.data() + (size_t)g * 12 * plane;
                tof_planes(base, w, h, 4, (size_t)w * h, mod_hz(g), g0);
                tof_planes(base + 4 * plane, w, h, 4, (size_t)w * h, mod_hz(g), g1);
                for (int k = 0; k < 8; k++) tag_plane(base + k * plane, w, h, (uint16_t)((k % 4 + 1) << 12));
                for (int k = 8; k < 12; k++) ambient_plane(base + k * plane, w, h);
            }
        });
    }
};

/* ---- Colour and other cameras ---- */

struct Colour : Sensor {
    uint32_t w = 1280, h = 960, mcode = MEDIA_BUS_FMT_Y10_1X10, fcc = V4L2_PIX_FMT_Y10;
    double   pclk = 148.5e6;
    bool     doubled = true; /* frame and line lengths count in two-line units */
    std::string pwm;         /* host path of the trigger PWM chip, "" free run */
    double   free_fps = 30.0;
    uint32_t chart_seq = 0;  /* frame whose ramp the cached chart shows */

    std::vector<std::pair<uint32_t, uint32_t>> sizes() const override { return {{w, h}}; }
    uint32_t code() const override { return mcode; }
    uint32_t fourcc() const override { return fcc; }
    double fps() const override
    {
        double trig = pwm_rate(pwm);
        if (trig > 0) return trig;
        if (!pwm.empty()) return free_fps; // a triggered camera without its trigger: 0, no frames
        // Triggered mode (bit 7 of 0x3234): one frame per frame of the sync source.
        if (sync_source && (reg(0x3234) & 0x80)) return sync_source->free_running() ? sync_source->fps() : 0;
        uint32_t v = (uint32_t)reg(0x320E) << 8 | reg(0x320F), l = (uint32_t)reg(0x320C) << 8 | reg(0x320D);
        double d = doubled ? ((v & 0x7FFF) * 2.0) * ((l & 0x7FFF) * 2.0) : (double)v * l;
        return d > 0 ? pclk / d : 0;
    }
    void set_fps(double rate) override
    {
        if (rate <= 0) return;
        uint32_t l = (uint32_t)reg(0x320C) << 8 | reg(0x320D);
        if (!l) return;
        uint32_t v = doubled ? (uint32_t)(pclk / ((l & 0x7FFF) * 2.0 * rate) / 2.0) : (uint32_t)(pclk / (l * rate));
        write_reg(0x320E, (uint8_t)(v >> 8));
        write_reg(0x320F, (uint8_t)v);
    }
    const std::vector<uint8_t>& frame(uint32_t fourcc, uint32_t fw, uint32_t fh, uint32_t seq) override
    {
        uint32_t f = fourcc ? fourcc : fcc, cw = fw ? fw : w, ch = fh ? fh : h;
        char key[48];
        snprintf(key, sizeof(key), "chart %u %u %u", f, cw, ch);
        // Drawn once per format; later frames only move the ramp, so a
        // frame costs little more than its copy.
        if (f == V4L2_PIX_FMT_MJPEG || f == V4L2_PIX_FMT_JPEG || cache_key != key || cache.empty()) {
            draw_chart(cache, f, cw, ch, seq);
            cache_key = key;
        } else if (seq != chart_seq) {
            move_ramp(cache, f, cw, ch, seq);
        }
        chart_seq = seq;
        return cache;
    }
};

void set16(Sensor* s, uint32_t a, uint32_t v)
{
    s->regs[a] = (uint8_t)(v >> 8);
    s->regs[a + 1] = (uint8_t)v;
}

} // namespace

/* ---- Common ---- */

uint8_t Sensor::reg(uint32_t a) const
{
    auto it = regs.find(a);
    return it == regs.end() ? 0 : it->second;
}

Sensor::~Sensor()
{
    if (out_fd >= 0) close(out_fd);
}

namespace {

void out_line(const Sensor* s, const char* event, uint32_t addr, uint64_t value)
{
    if (s->out_fd < 0) return;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[160];
    int n = snprintf(line, sizeof(line), "%lld %s %s %u %llu\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec,
                     s->kind.c_str(), event, addr, (unsigned long long)value);
    if (n <= 0 || (size_t)n >= sizeof(line)) return;
    // One append per line keeps lines whole when several sensors share the
    // file; a failed append only costs the outside view that line.
    ssize_t done = write(s->out_fd, line, (size_t)n);
    (void)done;
}

} // namespace

void Sensor::note(int kind, uint32_t addr, uint32_t value)
{
    if (log.size() >= kLogMax) log.erase(log.begin(), log.begin() + kLogMax / 2);
    log.push_back(sim_sensor_write_t{++seq, kind, addr, value});
    static const char* const kEvents[] = {"reg", "laser", "cpld", "cpld_word", "block", "vld", "sync", "ctrl", "trigger"};
    out_line(this, kind >= 0 && kind < (int)(sizeof(kEvents) / sizeof(kEvents[0])) ? kEvents[kind] : "other", addr, value);
}

void Sensor::note_frame(uint32_t frame_seq, size_t bytes) { out_line(this, "frame", frame_seq, bytes); }

void Sensor::trigger()
{
    // A burst beyond what any buffer queue holds is not kept.
    if (!trigger_mode() || pending >= 64) return;
    pending++;
    videos_wake_locked();
}

std::vector<uint8_t>& Sensor::picture(const std::string& key, const std::function<void(std::vector<uint8_t>&)>& build)
{
    for (auto& p : pictures)
        if (p.first == key) return p.second;
    if (pictures.size() >= kPictures) pictures.pop_front();
    pictures.emplace_back(key, std::vector<uint8_t>());
    build(pictures.back().second);
    return pictures.back().second;
}

void Sensor::write_reg(uint32_t a, uint8_t v, bool logged)
{
    regs[a] = v;
    if (logged) note(SIM_SENSOR_REG, a, v);
    wrote(a);
}

void Sensor::adjust(v4l2_mbus_framefmt* f) const
{
    auto all = sizes();
    auto best = all.front();
    uint64_t bestd = UINT64_MAX;
    for (const auto& s : all) {
        int64_t dw = (int64_t)s.first - f->width, dh = (int64_t)s.second - f->height;
        uint64_t d = (uint64_t)(dw * dw + dh * dh);
        if (d < bestd) {
            bestd = d;
            best = s;
        }
    }
    f->width = best.first;
    f->height = best.second;
    f->code = code();
    f->field = V4L2_FIELD_NONE;
    f->colorspace = tof() ? V4L2_COLORSPACE_RAW : V4L2_COLORSPACE_SRGB;
}

int Sensor::private_ioctl(unsigned long request, void* arg)
{
    if (!arg) return -EFAULT;
    timespec now;
    switch (request) {
    case SENSOR_IOC_READ_REG: {
        auto* r = static_cast<uint8_t*>(arg); // regval: addr, val, then a zero byte
        uint16_t addr;
        memcpy(&addr, r, 2);
        r[2] = reg(addr);
        r[3] = 0;
        return 0;
    }
    case SENSOR_IOC_WRITE_REG: {
        auto* r = static_cast<regval*>(arg);
        write_reg(r->addr, r->val);
        return 0;
    }
    case RKMODULE_SET_SYNC_MODE:
        sync_mode = *static_cast<int*>(arg);
        note(SIM_SENSOR_SYNC, 0, (uint32_t)sync_mode);
        return 0;
    default: break;
    }
    if (!tof()) return -ENOTTY;
    switch (request) {
    case SENSOR_IOC_INTEG_BLOCK: {
        const uint8_t* p = static_cast<const uint8_t*>(arg);
        for (uint32_t i = 0; i < 4; i++) note(SIM_SENSOR_BLOCK, i, (uint32_t)p[i * 2] << 8 | p[i * 2 + 1]);
        return 0;
    }
    case SENSOR_IOC_CPLD_WORD: {
        uint32_t word = *static_cast<uint32_t*>(arg), c = word & 0xFF, v = word >> 8;
        note(SIM_SENSOR_CPLD_WORD, c, word);
        can_fixture_lines(static_cast<uint32_t*>(arg));
        if (c == 32) cpld_rate = v;
        else if (c == 17) exposure = 0;
        else if (c == 18) exposure = 1;
        else if (c == 15) exposure = 2;
        // A length word says which exposure the next frame is taken with.
        if (c == 8 || c == 16 || c == 20 || c == 21) last_len = v;
        cpld_word(word);
        if (c == 128 || word == 384) { // one frame triggered
            clock_gettime(CLOCK_REALTIME, &now);
            trigger_ns = (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
        }
        return 0;
    }
    case SENSOR_IOC_VLD_ENABLE:
        vld = *static_cast<uint32_t*>(arg);
        note(SIM_SENSOR_VLD, 0, vld);
        return 0;
    case SENSOR_IOC_LASER_READ:
    case SENSOR_IOC_LASER_WRITE: {
        auto* p = static_cast<phx3d3018*>(arg);
        if (p->index > 2) return -EINVAL;
        if (request == SENSOR_IOC_LASER_READ) {
            p->val = laser[p->index][p->reg];
        } else {
            laser[p->index][p->reg] = p->val;
            note(SIM_SENSOR_LASER, (uint32_t)p->index << 8 | p->reg, p->val);
        }
        return 0;
    }
    case SENSOR_IOC_LASER_TEMP: {
        // Raw readings the driver turns back into degrees: 25 + (r - 296) x 0.185.
        auto* t = static_cast<sensor_ld_temp*>(arg);
        long r = lround(296 + (temperature - 25.0) / 0.185);
        t->first = t->second = (uint16_t)(r < 0 ? 0 : (r > 65534 ? 65534 : r));
        t->unused = 0;
        return 0;
    }
    case SENSOR_IOC_TRIG_FILTER:
    case SENSOR_IOC_TRIG_PERIOD:
        note(SIM_SENSOR_TRIGGER, _IOC_NR(request), *static_cast<uint32_t*>(arg));
        return 0;
    case SENSOR_IOC_TRIG_SEC:
        *static_cast<uint32_t*>(arg) = (uint32_t)(trigger_ns / 1000000000);
        return 0;
    case SENSOR_IOC_TRIG_NSEC:
        *static_cast<uint32_t*>(arg) = (uint32_t)(trigger_ns % 1000000000);
        return 0;
    case SENSOR_IOC_CPLD_READ:
    case SENSOR_IOC_CPLD_WRITE: {
        auto* p = static_cast<phx3d3018*>(arg);
        if (request == SENSOR_IOC_CPLD_READ) {
            p->val = cpld[p->reg];
        } else {
            cpld[p->reg] = p->val;
            note(SIM_SENSOR_CPLD, p->reg, p->val);
        }
        return 0;
    }
    default: return -ENOTTY;
    }
}

Sensor* make_sensor(const std::string& kind, const std::string& root)
{
    Sensor* s = nullptr;
    if (kind == "Gpixel0503") {
        s = new Gpixel();
    } else if (kind == "imx570") {
        s = new Imx570();
        set16(s, 8456, 3200); // line length out of reset
    } else if (kind == "VD55H1") {
        s = new Vd55h1();
    } else if (kind == "sc130gs") {
        auto* c = new Colour();
        set16(c, 0x320C, 1650); // 30 frames per second out of reset
        set16(c, 0x320E, 750);
        s = c;
    } else if (kind == "sc230ai") {
        auto* c = new Colour();
        c->w = 1920, c->h = 1080, c->mcode = MEDIA_BUS_FMT_SBGGR10_1X10, c->fcc = V4L2_PIX_FMT_SBGGR10;
        c->pclk = 74.25e6, c->doubled = false;
        set16(c, 0x320C, 2200);
        set16(c, 0x320E, 1125);
        s = c;
    } else if (kind == "sc2210" || kind == "fh8323" || kind == "uvc") {
        auto* c = new Colour();
        c->w = 1920, c->h = 1080;
        if (kind == "sc2210") {
            c->mcode = MEDIA_BUS_FMT_Y8_1X8, c->fcc = V4L2_PIX_FMT_GREY, c->pwm = root + "/sys/class/pwm/pwmchip0";
            c->free_fps = 0;
        } else if (kind == "fh8323") {
            c->mcode = MEDIA_BUS_FMT_UYVY8_2X8, c->fcc = V4L2_PIX_FMT_UYVY, c->pwm = root + "/sys/class/pwm/pwmchip0";
            c->free_fps = 0;
        } else {
            c->mcode = MEDIA_BUS_FMT_JPEG_1X8, c->fcc = V4L2_PIX_FMT_MJPEG, c->pwm = root + "/sys/class/pwm/pwmchip1";
            c->free_fps = 30.0;
        }
        set16(c, 0x320C, 2200);
        set16(c, 0x320E, 563);
        s = c;
    }
    if (!s) return nullptr;
    s->kind = kind;
    const char* outside = getenv(SIM_SENSOR_LOG_ENV);
    if (outside && *outside)
        s->out_fd = open((root + "/.board/sensors.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    auto first = s->sizes().front();
    s->fmt.width = first.first;
    s->fmt.height = first.second;
    s->adjust(&s->fmt);
    s->try_fmt = s->fmt;
    s->crop = v4l2_rect{0, 0, s->fmt.width, s->fmt.height};
    s->format_set();
    return s;
}

void scene_at(double x, double y, double w, double h, double* mm, double* refl)
{
    double u = (x + 0.5) / w, v = (y + 0.5) / h;
    // Back wall, its reflectivity rising from left to right; within the
    // reach of one frequency of up to 120 MHz.
    *mm = 1200.0;
    *refl = 0.35 + 0.5 * u;
    // A box face in the left half.
    if (u >= 0.12 && u <= 0.42 && v >= 0.35 && v <= 0.85) {
        *mm = 900.0;
        *refl = 0.8;
    }
    // A sphere on the right, 600 mm away at its nearest point.
    double dx = (u - 0.70) * w / h, dy = v - 0.5, r = sqrt(dx * dx + dy * dy) / 0.2;
    if (r < 1.0) {
        *mm = 600.0 + 150.0 * (1.0 - sqrt(1.0 - r * r));
        *refl = 0.55 * (1.0 - 0.3 * r * r);
    }
}

} // namespace sim

double sim_scene_distance_mm(int x, int y, int w, int h)
{
    double mm, refl;
    sim::scene_at(x, y, w, h, &mm, &refl);
    return mm;
}

int sim_chart_luma(int x, int y, int w, int h, unsigned seq)
{
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x >= w || y >= h) return 0;
    return sim::chart_at((uint32_t)x, (uint32_t)y, (uint32_t)w, (uint32_t)h, seq).y;
}

double sim_scene_reflectivity(int x, int y, int w, int h)
{
    double mm, refl;
    sim::scene_at(x, y, w, h, &mm, &refl);
    return refl;
}
