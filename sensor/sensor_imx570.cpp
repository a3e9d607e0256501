// IMX570 ToF driver (sensor kind 300).
//
// The sensor sits behind a board CPLD that makes its trigger and laser
// timing. Sensor registers are 16-bit addresses holding bytes, reached
// through the private sub-device requests and bracketed by the update hold
// register (258) when several change together; the CPLD takes 32-bit control
// words (command in the low byte, value above it) through one more request,
// and on boards of version 2 some of its registers are written over I2C.
// Worker 500 sets the sensor up from the register space and captures through
// the shared capture core; each capture variant turns one or more buffers of
// 640 x 483 phase blocks (480 image rows, 3 embedded rows) into one raw frame
// for worker 512, after checking the group order and, in the exposure-
// alternating modes, the integration time the sensor reports.
#include "sensor/sensor_imx570.h"

#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>

#include "common/board.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "hashtab.h"
#include "iodev.h"
#include "log/logger.h"
#include "media-ctl/libmediactl.h"
#include "media-ctl/libv4l2subdev.h"
#include "memory.h"
#include "peripheral/apd.h"
#include "peripheral/led.h"
#include "platform.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "worker.h"

std::atomic<uint32_t> g_phaseOptions{0};
std::atomic<uint32_t> g_trigtimestampH{0};
std::atomic<uint32_t> g_trigtimestampL{0};

namespace {

// ---- Register space addresses ----

constexpr uint32 kRegMasterSlave = 0x10000054;
constexpr uint32 kRegMultiMachine = 0x10000074;
constexpr uint32 kRegHwFilterTime = 0x10000078;
constexpr uint32 kRegTrigPeriod = 0x1000007C;
constexpr uint32 kRegBindingRatio = 0x10000080;
constexpr uint32 kRegHighthr = 0x1000009C;
constexpr uint32 kRegTrigFrame = 0x100000A8;
constexpr uint32 kRegOutputControlMode = 0x100000AC;
constexpr uint32 kRegOutputSet = 0x100000B0;
constexpr uint32 kRegTrigDelay = 0x100000CC;
constexpr uint32 kRegMicroFrameSpan = 0x100000E0;
constexpr uint32 kRegPhaseOptions = 0x100000EC;
constexpr uint32 kRegBindingRatio2 = 0x100000F4;
constexpr uint32 kRegTofDelayClose = 0x100000F8;
constexpr uint32 kRegApdCalibCount = 0x1000010C;
constexpr uint32 kRegRgbDelayTime = 0x10000110;
constexpr uint32 kRegRgbSensorType = 0x10001000;
constexpr uint32 kRegFps = 0x1000202C;
constexpr uint32 kRegHfilp = 0x1000203C;
constexpr uint32 kRegVfilp = 0x10002040;
constexpr uint32 kRegGroupC = 0x10002050;
constexpr uint32 kRegFreqMode = 0x10002068;
constexpr uint32 kRegGroupA = 0x1000206C;
constexpr uint32 kRegGroupB = 0x10002070;
constexpr uint32 kRegInteA = 0x1000209C;
constexpr uint32 kRegInteB = 0x100020A0;
constexpr uint32 kRegAutoExposure = 0x100020D8;
constexpr uint32 kRegVldTemp = 0x100020E8;
constexpr uint32 kRegBackgroundAmp = 0x10007020;
constexpr uint32 kRegCpuId = 0x10007024;
constexpr uint32 kRegApdCalib = 0x1000702C;
constexpr uint32 kRegSoftTrig = 0x10007044;
constexpr uint32 kRegDevLogic = 0x10007050;
constexpr uint32 kRegBoardVersion = 0x10007060;

// ---- Sensor registers ----

constexpr uint16 kHold = 258;
constexpr uint16 kStreaming = 4097;
constexpr uint16 kVflip = 2064, kHflip = 2065;
constexpr uint16 kIntegF0 = 8484, kIntegF1 = 8488, kIntegF2 = 8492;
constexpr uint16 kTrigSync = 12401;

// ---- CPLD words (command in the low byte) ----

constexpr uint32 kWordLenA = 8, kWordLenB = 16, kWordLenTripleA = 20, kWordLenTripleB = 21;
constexpr uint32 kWordTrigLen = 128, kWordTrigOne = 384;
constexpr uint32 kWordRate = 32;

// ---- CPLD I2C registers (board version 2) ----

constexpr uint8 kCpldMode = 19, kCpldPhases = 23, kCpldTrigDelay = 31, kCpldCount = 32, kCpldApdCount = 43;
constexpr uint8 kCpldCapture = 51, kCpldOutputReg = 59, kCpldLenA = 64, kCpldLenB = 68, kCpldRgbDelay = 36;

// ---- Frame layout ----

constexpr uint32 kWidth = 640;
constexpr uint32 kImageRows = 480;
constexpr uint32 kBlockRows = 483;
constexpr uint32 kRowBytes = kWidth * 2;
constexpr uint32 kPhaseBytes = kImageRows * kRowBytes;   // 614,400
constexpr uint32 kBlockBytes = kBlockRows * kRowBytes;   // 618,240
constexpr uint32 kPixelMono12 = 0x01100005;
constexpr int kEbdSamples = 84;
constexpr int kTempReadings = 5;

constexpr int kSetupAttempts = 5;
constexpr int kSetupRetryMs = 300;
constexpr int kLoopWaitMs = 500;
constexpr int kExposureWaitMs = 500;
constexpr int kSinglePauseMs = 30;
constexpr int kMultiPauseMs = 5;
constexpr uint64_t kTrigTimerDevice = 10024;
constexpr uint32 kMinTrigUs = 1000;

// ---- Process-wide state ----

std::atomic<int> s_ctrlFd{-1};               // the remembered CPLD control descriptor
std::mutex s_tablesMu;
// The tables of the 4-phase and of the 3-phase settings, each loaded on
// first use: a mode that changes the phase setting must look its
// frequencies up in its own (under s_tablesMu while loading/releasing).
freqAllInfo* s_tables[2] = {nullptr, nullptr};
std::atomic<uint32> s_lenH{0}, s_lenL{0};    // last lengths sent for the two exposures
std::atomic<uint32> s_retry{0};              // mismatching exposures in a row
std::atomic<uint32> s_storedF0{UINT32_MAX};  // last F0 time (auto-exposure short-cut)
std::atomic<int> s_lastOutputMode{-1};
std::atomic<int> s_trigFrames{0};
std::mutex s_tempMu;
double s_tempSum = 0;
int s_tempCount = 0;

enum Variant { V_1FREQ, V_2FREQ, V_2HDR, V_MULTI, V_TRIG, V_TRIPLE, V_3FREQ, V_COUNT };
SensorFpsCounter s_fps[V_COUNT];

constexpr auto& reg = sensor_reg;

uint32 phases() { return g_phaseOptions.load() != 0 ? 3 : 4; }
bool dual_freq(uint32 mode) { return mode == 1 || mode == 3; }
uint32 board() { return reg(kRegBoardVersion); }

constexpr auto& subdev_of = sensor_subdev_of;
constexpr auto& info_of = sensor_info_of;

union LaserReq {
    struct phx3d3018 p;
    uint8_t raw[8];
};

constexpr auto& sreg_write = sensor_subdev_write;
constexpr auto& sreg_read = sensor_subdev_read;

constexpr auto& sreg = sensor_subdev_byte;
constexpr auto& sreg_be32 = sensor_subdev_be32;
constexpr auto& sreg_write_be32 = sensor_subdev_write_be32;

void hold(int fd) { sreg_write(fd, kHold, 1); }
void release(int fd) { sreg_write(fd, kHold, 0); }

// Sends one CPLD control word; the lengths of the two exposures are kept
// so the capture checks can compare them with what the sensor reports.
int cpld_word(int fd, uint32 word)
{
    uint32 c = word & 0xFF, v = word >> 8;
    if (c == kWordLenA) s_lenH.store(v);
    else if (c == kWordLenB) s_lenL.store(v);
    uint32 w = word;
    return sensor_xioctl(fd, (int)SENSOR_IOC_CPLD_WORD, &w);
}

void cpld_i2c(uint8 r, uint8 v) { i2c_cpld_rw(r, nullptr, v, 1); }

uint32 clamp(uint32 v, uint32 lo, uint32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The colour device's set_fps, when there is one.
void colour_set_fps(epcore_t* core, uint32 rate)
{
    sensor_with_device(core, E_DEVICE_RGB, [rate](V4L2SensorInfo* rgb, iodev_t* rgbDev) {
        if (rgb->set_fps) rgb->set_fps(rgbDev, rate);
    });
}

const char* phase_name(uint32 p)
{
    switch (p) {
    case E_4_PHASE_18_FPS: return "E_4_PHASE_18_FPS";
    case E_3_PHASE_24_FPS: return "E_3_PHASE_24_FPS";
    default: return "E_3_PHASE_23_8_FPS";
    }
}

// ---- Tables ----

// Reads rows of `cols` decimal numbers into `rows` (room for `room` rows,
// of which room - 1 are kept). The count is the rows read minus one; 0 on
// a missing file or a short line.
template <typename T, size_t N>
int read_rows(const char* path, T (*rows)[N], int cols, int room, freqAllInfo* groupsOf)
{
    FILE* fp = plat_fopen(path, "r");
    if (!fp) {
        log_error(g_logger, __FUNCTION__, __LINE__, ".csv file empty\n");
        return 0;
    }
    char line[50];
    int n = 0, groups = 0;
    bool ok = true;
    while (fgets(line, sizeof(line), fp)) {
        size_t len = strlen(line);
        // A line longer than the buffer: the rest is skipped.
        if (len == sizeof(line) - 1 && line[len - 1] != '\n') {
            int ch;
            while ((ch = fgetc(fp)) != EOF && ch != '\n') {}
        }
        if (line[0] == '\n' || line[0] == '\r' || line[0] == '\0') continue;
        if (n >= room - 1) {
            log_error(g_logger, __FUNCTION__, __LINE__, ".csv line more than %d\n", room - 1);
            break;
        }
        long v[4] = {0, 0, 0, 0};
        int got = 0;
        char* p = line;
        while (got < cols) {
            char* end;
            long x = strtol(p, &end, 10);
            if (end == p) break;
            v[got++] = x;
            p = end;
            while (*p == ' ' || *p == '\t') p++;
            if (*p != ',') break;
            p++;
        }
        if (got < cols) {
            log_error(g_logger, __FUNCTION__, __LINE__, "error csv line\n");
            ok = false;
            break;
        }
        for (int c = 0; c < cols; c++) rows[n][c] = (T)v[c];
        if (groupsOf) {
            freqGroupNode* last = groups ? &groupsOf->freqGroup[groups - 1] : nullptr;
            if (last && groupsOf->freqContext[last->groupIndex][0] == rows[n][0] && last->num < UINT8_MAX) {
                last->num++;
            } else {
                if (groups >= 148) {
                    log_error(g_logger, __FUNCTION__, __LINE__, ".csv freq too much:%d\n", groups + 1);
                    ok = false;
                    break;
                }
                groupsOf->freqGroup[groups].groupIndex = (uint16)n;
                groupsOf->freqGroup[groups].num = 1;
                groups++;
            }
        }
        n++;
    }
    fclose(fp);
    if (!ok) return 0;
    return n > 0 ? n - 1 : 0;
}

freqAllInfo* load_tables()
{
    auto* t = static_cast<freqAllInfo*>(kzalloc(sizeof(freqAllInfo)));
    if (!t) return nullptr;
    bool three = g_phaseOptions.load() != 0;
    t->getFreqNum = read_rows(three ? IMX570_FREQ_FILE_3PH : IMX570_FREQ_FILE_4PH, t->freqContext, 4, 850, t);
    t->getImxckNum = read_rows(IMX570_IMXCK_FILE, t->imxckAllInfo, 3, 300, nullptr);
    t->getPhaseNum = read_rows(three ? IMX570_PHASE_FILE_3PH : IMX570_PHASE_FILE_4PH, t->phaseAllInfo, 3, 50, nullptr);
    if (!t->getFreqNum || !t->getImxckNum || !t->getPhaseNum) {
        log_error(g_logger, __FUNCTION__, __LINE__, "get .csv contex error");
        kfree(t);
        return nullptr;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "get freq .csv line num:%d %d %d", t->getFreqNum, t->getImxckNum,
             t->getPhaseNum);
    return t;
}

freqAllInfo* tables()
{
    std::lock_guard<std::mutex> lk(s_tablesMu);
    return s_tables[phases() == 3];
}

// The rows of frequency f's group: group number limit - f, which must have
// been loaded and lie inside the counted rows.
const freqGroupNode* group_of(const freqAllInfo* t, int limit, uint32 f)
{
    int g = limit - (int)f;
    if (g < 0 || g >= 150) return nullptr;
    const freqGroupNode* node = &t->freqGroup[g];
    if (node->num == 0 || node->groupIndex + node->num - 1 > t->getFreqNum) return nullptr;
    return node;
}

const uint16_t* row_with_clock(const freqAllInfo* t, const freqGroupNode* g, uint16_t clock)
{
    for (int i = 0; i < g->num; i++) {
        const uint16_t* r = t->freqContext[g->groupIndex + i];
        if (r[1] == clock) return r;
    }
    return nullptr;
}

// The P phase rows of key `ctrl`: the first row with it and the rows after,
// all inside the counted rows and the table.
bool phase_rows(const freqAllInfo* t, uint16_t ctrl, uint32 p, const uint8_t* out[4])
{
    int first = -1;
    for (int i = 0; i <= t->getPhaseNum && i < 50; i++)
        if (t->phaseAllInfo[i][0] == ctrl) {
            first = i;
            break;
        }
    if (first < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "find phase error");
        return false;
    }
    for (uint32 k = 0; k < p; k++) {
        int i = first + (int)k;
        if (i >= 50 || i > t->getPhaseNum || t->phaseAllInfo[i][0] != ctrl) {
            log_error(g_logger, __FUNCTION__, __LINE__, "find phase error,can't find CTRLPH_LSR:%d", (int)ctrl);
            return false;
        }
        out[k] = t->phaseAllInfo[i];
    }
    return true;
}

// ---- Frame rate ----

int64_t ceil_div(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : a / b; }

// ---- Embedded rows ----

uint16_t sample_at(const uint8_t* p, size_t i)
{
    uint16_t v;
    memcpy(&v, p + i * 2, 2);
    return v;
}

// The first 84 samples of one embedded row as 126 bytes.
void unpack_row(const uint8_t* row, uint8_t out[126])
{
    for (int i = 0; i < kEbdSamples / 2; i++) {
        uint16_t a = sample_at(row, (size_t)i * 2), b = sample_at(row, (size_t)i * 2 + 1);
        out[i * 3] = (uint8_t)(a >> 4);
        out[i * 3 + 1] = (uint8_t)(b >> 4);
        out[i * 3 + 2] = (uint8_t)(((a & 15) << 4) | (b & 15));
    }
}

void note_temperature(int8_t t)
{
    std::lock_guard<std::mutex> lk(s_tempMu);
    s_tempSum += t;
    if (++s_tempCount < kTempReadings) return;
    float mean = (float)(s_tempSum / s_tempCount);
    s_tempSum = 0;
    s_tempCount = 0;
    if (g_dev_cfg) reg_store(g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info.temperature, mean);
}

// ebd points at embedded row 0 of a group's first block; the following
// group's first block is phasenum blocks later.
void ebd_parse(const uint8_t* ebd, uint32 phasenum, bool triple, uint16_t out[3])
{
    uint8_t r0[126], r1[126], next[126];
    unpack_row(ebd, r0);
    unpack_row(ebd + kRowBytes, r1);
    unpack_row(ebd + (size_t)phasenum * kBlockBytes + kRowBytes, next);
    out[0] = r1[48];
    out[1] = next[48];
    if (triple) {
        uint8_t r2[126];
        unpack_row(ebd + 2 * kRowBytes, r2);
        out[2] = r2[9];
    } else {
        uint32 count = (uint32)r1[87] << 24 | (uint32)r1[90] << 16 | (uint32)r1[93] << 8 | r1[96];
        out[2] = (uint16_t)(count / 120);
    }
    note_temperature((int8_t)r0[111]);
}

// The same on a dequeued buffer: group `g` and the one after it must both
// lie inside the bytes delivered.
bool parse_group(const SensorCapture& cap, uint32 g, uint32 p, bool triple, uint16_t out[3])
{
    size_t first = (size_t)g * p * kBlockBytes;
    size_t end = first + (size_t)p * kBlockBytes + kImageRows * kRowBytes + 2 * kRowBytes;
    if (end > cap.bytes) {
        log_error(g_logger, __FUNCTION__, __LINE__, "short frame:%u", cap.bytes);
        return false;
    }
    ebd_parse(cap.data + first + kPhaseBytes, p, triple, out);
    return true;
}

// ---- Frames ----

void fill_header(ImageInfo* img, const V4L2SensorInfo* info, uint32 nphases)
{
    img->memType = E_MEMTYPE_RAW;
    img->sensorIndex = 1;
    img->imageType = E_IMAGE_TYPE_RAW;
    img->width = kWidth;
    img->height = kImageRows * nphases;
    img->outWidth = info->outWidth;
    img->outHeight = info->outHeight;
    img->pixelFormat = kPixelMono12;
    img->imageSize = kPhaseBytes * nphases;
}

// Copies the image rows of group `g` (p blocks) of a buffer to phase slot
// `slot` of the frame.
void copy_group(ImageInfo* img, const SensorCapture& cap, uint32 g, uint32 p, uint32 slot)
{
    for (uint32 k = 0; k < p; k++) {
        const uint8_t* src = cap.data + ((size_t)g * p + k) * kBlockBytes;
        memcpy(img->imageData + (size_t)(slot + k) * kPhaseBytes, src, kPhaseBytes);
    }
}

// Group positions in ascending order of their embedded index.
void order_groups(const uint16_t* idx, uint32 n, uint32* order)
{
    for (uint32 i = 0; i < n; i++) order[i] = i;
    std::stable_sort(order, order + n, [&](uint32 a, uint32 b) { return idx[a] < idx[b]; });
}

bool fits(epcore_t* core, uint32 nphases)
{
    return (uint64)nphases * kPhaseBytes <= sensor_frame_room(core->raw);
}

void stamp_trigger(iodev_t* dev, ImageInfo* img)
{
    uint32 m = reg(kRegMasterSlave);
    if (m == 2) {
        uint32 s = 0, ns = 0;
        sensor_xioctl(subdev_of(dev), (int)SENSOR_IOC_TRIG_SEC, &s);
        sensor_xioctl(subdev_of(dev), (int)SENSOR_IOC_TRIG_NSEC, &ns);
        img->timeStampH = s;
        img->timeStampL = ns;
    } else if (m == 1) {
        img->timeStampH = g_trigtimestampH.load();
        img->timeStampL = g_trigtimestampL.load();
    } else {
        get_local_time(&img->timeStampH, &img->timeStampL);
    }
}

void deliver(epcore_t* core, ImageInfo* img, Variant v)
{
    sensor_raw_serve(img->imageData, img->imageSize);
    sensor_handover_replace_old(core, E_WORKER_ID_ALGO, img);
    sensor_fps_count(&s_fps[v], "capture tof fps:%d");
}

// One buffer of `groups` groups into one frame, groups in index order
// (single-buffer variants).
int capture_single(epcore_t* core, iodev_t* dev, uint32 groups, Variant v)
{
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    SensorCapture cap;
    if (sensor_dequeue(dev, &cap) != 0) {
        sensor_capture_pause(kSinglePauseMs);
        return 0;
    }
    const uint32 p = phases();
    ImageInfo* img = sensor_frame_fetch(core->raw, E_MEMTYPE_RAW);
    if (!img) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        sensor_requeue(dev, &cap);
        return -1;
    }
    uint16_t idx[3] = {0, 0, 0};
    uint32 order[3] = {0, 1, 2};
    bool ok = fits(core, p * groups) && (size_t)groups * p * kBlockBytes <= cap.bytes;
    if (!ok) log_error(g_logger, __FUNCTION__, __LINE__, "short frame:%u", cap.bytes);
    if (ok && groups == 2) {
        uint16_t r[3] = {0, 0, 0};
        ok = parse_group(cap, 0, p, false, r);
        idx[0] = r[0], idx[1] = r[1];
        if (ok && (idx[0] >= 2 || idx[1] >= 2)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "imageDataIdx error:%d,%d", idx[0], idx[1]);
            ok = false;
        }
    } else if (ok && groups == 3) {
        uint16_t a[3] = {0, 0, 0}, b[3] = {0, 0, 0};
        ok = parse_group(cap, 0, p, false, a) && parse_group(cap, 1, p, false, b);
        idx[0] = a[0], idx[1] = a[1], idx[2] = b[1];
        if (ok && (idx[0] >= 3 || idx[1] >= 3 || idx[2] >= 3)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "imageDataIdx error:%d,%d,%d", idx[0], idx[1], idx[2]);
            ok = false;
        }
    }
    if (!ok) {
        free_image(core, img);
        sensor_requeue(dev, &cap);
        return 0;
    }
    order_groups(idx, groups, order);
    fill_header(img, info, p * groups);
    for (uint32 k = 0; k < groups; k++) copy_group(img, cap, order[k], p, k * p);
    sensor_requeue(dev, &cap);
    stamp_trigger(dev, img);
    deliver(core, img, v);
    return 0;
}

// ---- Self-waiting variants ----

// Waits for the node and dequeues one exposure. 1 with cap filled; 0 the
// call ends (time-out, error, stop or a failed dequeue).
int take_exposure(int epfd, iodev_t* dev, SensorCapture* cap, bool quietTimeout)
{
    int w = sensor_wait_readable(epfd, kExposureWaitMs);
    if (w != 1) {
        if (w == 0 && !quietTimeout) log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait timeout");
        if (w == -1) log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait error");
        return 0;
    }
    if (sensor_dequeue(dev, cap) != 0) {
        sensor_capture_pause(kMultiPauseMs);
        return 0;
    }
    return 1;
}

ImageInfo* fetch_frame(epcore_t* core, const V4L2SensorInfo* info, uint32 nphases)
{
    if (!fits(core, nphases)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "frame of %u phases exceeds the raw unit", nphases);
        sensor_capture_pause(kSinglePauseMs);
        return nullptr;
    }
    ImageInfo* img = sensor_frame_before_wait(core, E_MEMTYPE_RAW, kSinglePauseMs);
    if (!img) return nullptr;
    fill_header(img, info, nphases);
    return img;
}

// Group indices of a two-group exposure buffer (false: drop the frame).
// Both groups are copied whole, so the buffer must hold both, not only the
// embedded rows the indices come from.
bool two_groups(const SensorCapture& cap, uint32 p, bool triple, uint16_t r[3])
{
    if ((size_t)2 * p * kBlockBytes > cap.bytes) {
        log_error(g_logger, __FUNCTION__, __LINE__, "short frame:%u", cap.bytes);
        return false;
    }
    if (!parse_group(cap, 0, p, triple, r)) return false;
    if (r[0] >= 2 || r[1] >= 2) {
        log_error(g_logger, __FUNCTION__, __LINE__, "imageDataIdx error:%d,%d", r[0], r[1]);
        return false;
    }
    return true;
}

void copy_two(ImageInfo* img, const SensorCapture& cap, uint32 p, const uint16_t r[3], uint32 slot)
{
    uint32 order[2];
    order_groups(r, 2, order);
    copy_group(img, cap, order[0], p, slot);
    copy_group(img, cap, order[1], p, slot + p);
}

// The exposure-alternating modes with a length check: `trig` sends the
// second exposure's trigger itself and ends quietly on a time-out.
int capture_2freq_checked(epcore_t* core, iodev_t* dev, int epfd, bool trig)
{
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    const uint32 p = phases();
    ImageInfo* img = fetch_frame(core, info, 4 * p);
    if (!img) return -1;
    const int fd = subdev_of(dev);
    const bool syncLine = !trig && reg(kRegRgbSensorType) == E_SMARTSENS_SC130GS && reg(kRegCpuId) == E_CPU_RK3588;
    for (int e = 0; e < 2; e++) {
        const bool first = e == 0;
        auto send_length = [&](bool again) {
            uint32 len = reg(first ? kRegInteA : kRegInteB);
            if (trig && first) return; // its trigger came from the task, the timer or the line
            if (!again && syncLine) sreg_write(fd, kTrigSync, first ? 0 : 3);
            cpld_word(fd, first ? (len << 8 | kWordLenA) : (len << 8 | kWordLenB));
            if (trig) cpld_word(fd, kWordTrigLen);
        };
        send_length(false);
        for (;;) {
            SensorCapture cap;
            if (!take_exposure(epfd, dev, &cap, trig)) {
                free_image(core, img);
                return 0;
            }
            uint16_t r[3];
            if (!two_groups(cap, p, false, r)) {
                sensor_requeue(dev, &cap);
                free_image(core, img);
                return 0;
            }
            uint32 set = first ? s_lenH.load() : s_lenL.load();
            if (r[2] != set && s_retry.load() == 0) {
                log_error(g_logger, __FUNCTION__, __LINE__,
                          first ? "drop image H,%d!=set(%d)" : "drop image L,%d!=set(%d)", (int)r[2], (int)set);
                s_retry.store(1);
                sensor_requeue(dev, &cap);
                if (trig && first) cpld_word(fd, reg(kRegInteA) << 8 | kWordLenA), cpld_word(fd, kWordTrigLen);
                else send_length(true);
                continue;
            }
            // A second mismatch in a row is taken as it is.
            s_retry.store(0);
            // The second exposure goes first in the frame.
            copy_two(img, cap, p, r, first ? 2 * p : 0);
            sensor_requeue(dev, &cap);
            break;
        }
    }
    if (trig) stamp_trigger(dev, img);
    else get_local_time(&img->timeStampH, &img->timeStampL);
    deliver(core, img, trig ? V_TRIG : V_2HDR);
    return 0;
}

} // namespace

// ---- Board-line control ----

uint32_t sensor_imx570_gpio_control(int theSubdevFd, uint32_t gpioRw, uint32_t* gpioRwValue)
{
    // The capture task closes the remembered descriptor at its end under
    // this lock; callers on other threads use it only while they hold it.
    SensorOpsGuard guard;
    if (theSubdevFd != -1) {
        s_ctrlFd.store(theSubdevFd);
        return 0;
    }
    int fd = s_ctrlFd.load();
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "subdevFd error");
        return 0;
    }
    uint32_t value = gpioRwValue ? *gpioRwValue : 0;
    uint32_t word;
    if (gpioRw == 2) {
        word = value ? 0x10302u : 0x302u;
    } else if (gpioRw == 1) {
        word = 0x102u;
    } else if (gpioRw == 0 && board() == E_BOARD_VERSION_V2_3) {
        // CPLD register 59 takes the lines inverted; curGPOStatus reports
        // them with the two bits exchanged.
        static constexpr uint8 kCpldLevel[4] = {3, 1, 2, 0};
        static constexpr uint32_t kGpoStatus[4] = {0, 2, 1, 3};
        uint8 level = value < 4 ? kCpldLevel[value] : 3;
        if (g_dev_cfg && reg_load(g_dev_cfg->common.outputIoMode)) level += 12;
        cpld_i2c(kCpldOutputReg, level);
        if (g_regMemAddr) reg_store(g_regMemAddr->curGPOStatus, value < 4 ? kGpoStatus[value] : 0u);
        return 1;
    } else if (gpioRw == 0) {
        word = (value << 16) | 0x202u;
    } else {
        return 1;
    }
    sensor_xioctl(fd, (int)SENSOR_IOC_CPLD_WORD, &word);
    if (gpioRwValue) *gpioRwValue = word;
    return 1;
}

uint32_t gpio_control(int theSubdevFd, uint32_t gpioRw, uint32_t* gpioRwValue)
{
    return sensor_imx570_gpio_control(theSubdevFd, gpioRw, gpioRwValue);
}

// ---- Tables ----

freqAllInfo* getFrequencyAllInfo(void)
{
    std::lock_guard<std::mutex> lk(s_tablesMu);
    freqAllInfo*& t = s_tables[phases() == 3];
    if (!t) t = load_tables();
    return t;
}

void frequencyAllInfoDeinit(freqAllInfo* info)
{
    std::lock_guard<std::mutex> lk(s_tablesMu);
    // Releasing the tables (even when the current setting's never loaded)
    // releases those of the other phase setting too.
    if (info && info != s_tables[0] && info != s_tables[1]) {
        kfree(info);
        return;
    }
    for (freqAllInfo*& t : s_tables) {
        if (t) kfree(t);
        t = nullptr;
    }
}

// ---- Frequencies ----

int sensor_imx570_set_all_frequcncy(iodev_t* pdev, uint32_t* freq)
{
    const freqAllInfo* t = tables();
    if (!t || !freq) {
        log_error(g_logger, __FUNCTION__, __LINE__, "freq info NULL");
        return 0;
    }
    const uint32 p = phases();
    const int limit = p == 3 ? 100 : 150;
    const uint32 mode = reg(kRegFreqMode);
    log_info(g_logger, __FUNCTION__, __LINE__, "set freq list:%d,%d,%d,thePhase:%d,theFreqLimt:%d", (int)freq[0],
             (int)freq[1], (int)freq[2], (int)p, limit);
    auto in_range = [&](uint32 f) { return f >= 3 && (int)f <= limit; };
    int n = 1;
    bool checkRest = false;
    if (dual_freq(mode)) n = 2, checkRest = true;
    else if (mode == 2) n = 2;
    else if (mode == 4 || mode == 5) n = 3, checkRest = true;
    const freqGroupNode* g[3] = {nullptr, nullptr, nullptr};
    static const char* const kFreqError[3] = {"freq1 error:%d", "freq2 error:%d", "freq3 error:%d"};
    for (int i = 0; i < n; i++) {
        if ((i == 0 || checkRest) && !in_range(freq[i])) {
            log_error(g_logger, __FUNCTION__, __LINE__, kFreqError[i], (int)freq[i]);
            return 0;
        }
        // The group a frequency names must have been loaded.
        g[i] = group_of(t, limit, freq[i]);
        if (!g[i]) {
            log_error(g_logger, __FUNCTION__, __LINE__, kFreqError[i], (int)freq[i]);
            return 0;
        }
    }
    const uint16_t* row[3] = {nullptr, nullptr, nullptr};
    if (n == 1) {
        row[0] = t->freqContext[g[0]->groupIndex];
    } else {
        for (int i = 0; i < g[0]->num && !row[0]; i++) {
            const uint16_t* r0 = t->freqContext[g[0]->groupIndex + i];
            const uint16_t* r1 = row_with_clock(t, g[1], r0[1]);
            const uint16_t* r2 = n == 3 ? row_with_clock(t, g[2], r0[1]) : nullptr;
            if (r1 && (n == 2 || r2)) row[0] = r0, row[1] = r1, row[2] = r2;
        }
        if (!row[0]) {
            log_error(g_logger, __FUNCTION__, __LINE__, "error:IMCLK is diff %d %d", (int)freq[0], (int)freq[1]);
            return 0;
        }
    }
    static const char* const kFreqRow[3] = {"freq1:%d %d %d %d", "freq2:%d %d %d %d", "freq3:%d %d %d %d"};
    for (int i = 0; i < n; i++)
        log_info(g_logger, __FUNCTION__, __LINE__, kFreqRow[i], row[i][0], row[i][1], row[i][2], row[i][3]);

    const uint16_t* ck = nullptr;
    for (int i = 0; i <= t->getImxckNum && i < 300; i++) {
        const uint16_t* r = t->imxckAllInfo[i];
        if (r[0] == row[0][1]) {
            ck = r;
            break;
        }
        if (r[0] == 0 && r[1] == 0 && r[2] == 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "find IMCLK error");
            return 0;
        }
    }
    if (!ck) {
        log_error(g_logger, __FUNCTION__, __LINE__, "unknown error");
        return 0;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "imxck:%d %d %d", ck[0], ck[1], ck[2]);
    const uint8_t* ph[3][4] = {};
    for (int i = 0; i < n; i++)
        if (!phase_rows(t, row[i][3], p, ph[i])) return 0;

    int fd = subdev_of(pdev);
    hold(fd);
    sreg_write(fd, 4168, (uint8)((ck[2] >> 8) & 7));
    sreg_write(fd, 4169, (uint8)ck[2]);
    sreg_write(fd, 4170, (uint8)ck[1]);
    static constexpr uint16 kFreqReg[3] = {8524, 8525, 8526};
    static constexpr uint16 kCtrlReg[3] = {8572, 8573, 8574};
    static constexpr uint16 kPhaseReg[3] = {8584, 8592, 8600};
    for (int i = 0; i < n; i++) {
        sreg_write(fd, kFreqReg[i], (uint8)row[i][2]);
        sreg_write(fd, kCtrlReg[i], (uint8)row[i][3]);
        if (i == 0) sreg_write(fd, 8580, ph[0][0][2]);
        for (uint32 k = 0; k < p; k++) sreg_write(fd, (uint16)(kPhaseReg[i] + k), ph[i][k][1]);
    }
    release(fd);
    return 1;
}

int sensor_imx570_pre_set_frequcncy(iodev_t* pdev, uint32_t* freq)
{
    if (!freq) return 1;
    static constexpr uint32 kAfter[3] = {12, 13, 14};
    for (int i = 0; i < 3; i++) {
        uint32_t one[3] = {freq[i], 0, 0};
        sensor_imx570_set_all_frequcncy(pdev, one);
        cpld_word(subdev_of(pdev), kAfter[i]);
    }
    return 1;
}

// ---- Frame timing ----

uint32_t sensor_imx570_fps_limit(uint32_t freqMode, uint32_t L, uint32_t cpuId)
{
    int64_t l = L, x;
    int64_t rem = -1; // remainder deciding the rounding, -1: that of x
    switch (freqMode) {
    case 6: return 30;
    case 5:
        if (L <= 499) return 20;
        x = (5000 - l) * 4;
        break;
    case 3:
        if (cpuId != E_CPU_RK3588) {
            if (L < 200) return 30;
            x = 30000 - 6 * l;
        } else {
            if (L < 500) return 30;
            x = 35000 - 7 * l;
        }
        break;
    default:
        if (L <= 499) return 30;
        if (L <= 2999) {
            x = 25000 - 5 * l;
        } else {
            x = (5000 - l) * 4;
            rem = (25000 - 5 * l) % 1000;
        }
        break;
    }
    // Long integrations leave no rate at all; the sensor still runs at 1.
    if (x <= 0) return 1;
    if (rem < 0) rem = x % 1000;
    int64_t q = x / 1000 + (rem >= 500 ? 1 : 0);
    return q < 1 ? 1 : (uint32_t)q;
}

int sensor_imx570_set_fps(iodev_t* pdev, uint32_t fps)
{
    const uint32 mode = reg(kRegFreqMode);
    uint32 rate = std::min(fps, sensor_imx570_fps_limit(mode, reg(kRegInteA), reg(kRegCpuId)));
    if (mode == 1 && rate < 6) rate = 6;
    if (rate < 1) rate = 1;
    log_info(g_logger, __FUNCTION__, __LINE__, "set fps:%d", (int)rate);
    const int fd = subdev_of(pdev);
    const int64_t H = (int64_t)((sreg(fd, 8456) << 8 | sreg(fd, 8457)) & 0x3FFF);
    const int64_t n = ((sreg(fd, 8448) >> 6) & 3) + 1;
    int64_t p = sreg(fd, 8540) & 15;
    if (p != (int64_t)phases()) {
        log_error(g_logger, __FUNCTION__, __LINE__, "set phase error,read:%d,current:%d", (int)p, (int)phases());
    }
    if (H == 0) {
        // Nothing to count the frame in: the frame length stays as it is.
        log_error(g_logger, __FUNCTION__, __LINE__, "line length 0");
    } else {
        int64_t I[3] = {sreg_be32(fd, kIntegF0), sreg_be32(fd, kIntegF1), sreg_be32(fd, kIntegF2)};
        int64_t y1 = (int64_t)((sreg(fd, 2058) & 3) << 8 | sreg(fd, 2059));
        int64_t y0 = (int64_t)((sreg(fd, 2056) & 3) << 8 | sreg(fd, 2057));
        int64_t xr = (int64_t)((sreg(fd, 2048) & 63) << 8 | sreg(fd, 2049));
        int64_t R = (((y1 - y0) * 100 + 2300) * xr + 1200) / H;
        if (R < 0) R = 0;
        int64_t B = (int64_t)((sreg(fd, 16405) & 15) << 8 | sreg(fd, 16406)) + ceil_div(R, 100);
        auto slot = [&](int64_t i) {
            int64_t E = (7600 + i * 100) / H;
            return (ceil_div(E + 100, 100) + B) * H / 120 * p;
        };
        int64_t T = ceil_div(10000000 / rate, 10);
        int64_t span = n == 1 ? T : n == 2 ? std::max(T - slot(I[0]), slot(I[1]))
                                           : std::max(T - slot(I[0]) - slot(I[1]), slot(I[2]));
        int64_t V = span * 1200 / H;
        if (V < 0) V = 0;
        V = ceil_div(V, 10) * 10;
        uint32 word = (uint32)(V / 10);
        hold(fd);
        if (n == 1) {
            sreg_write_be32(fd, 8460, word);
        } else if (n == 2) {
            sreg_write_be32(fd, 8460, 0);
            sreg_write_be32(fd, 8464, word);
        } else {
            sreg_write_be32(fd, 8460, 0);
            sreg_write_be32(fd, 8464, 0);
            sreg_write_be32(fd, 8468, word);
        }
        release(fd);
    }
    colour_set_fps(pdev ? pdev->epcore : nullptr, rate);
    return 0;
}

int sensor_imx570_driver_set_fps(iodev_t* pdev, uint32_t fps)
{
    const uint32 m = reg(kRegFreqMode), E = reg(kRegMultiMachine), B = board();
    uint32 L = reg(kRegInteA);
    const uint32 phaseOpt = g_phaseOptions.load();
    const bool three = phaseOpt != 0;
    uint32 rate;
    uint32 colour;
    if (dual_freq(m) && E && B == E_BOARD_VERSION_V2_3) {
        uint32 count, span;
        if (L <= 1500) {
            if (phaseOpt == 0) {
                log_info(g_logger, __FUNCTION__, __LINE__, "in 4 phase 18 fps");
                count = 187500, rate = 19;
            } else if (phaseOpt == 1) {
                log_info(g_logger, __FUNCTION__, __LINE__, "in 3 phase 24 fps");
                count = 140625, rate = 25;
            } else {
                log_info(g_logger, __FUNCTION__, __LINE__, "in 3 phase 23.8 fps");
                count = 141806, rate = 2480;
            }
            span = 6940;
        } else {
            uint32 target;
            if (three) L = std::min(L, 3000u), count = 210937, rate = 17, target = 16;
            else L = std::min(L, 2500u), count = 281250, rate = 13, target = 12;
            span = target == 16 ? 999800 / (three ? 96 : 128) : 1000000 / (phases() * target * 2);
        }
        cpld_i2c(kCpldCount, 0);
        cpld_i2c(kCpldCount + 1, (uint8)(count >> 16));
        cpld_i2c(kCpldCount + 2, (uint8)(count >> 8));
        cpld_i2c(kCpldCount + 3, (uint8)count);
        V4L2SensorInfo* info = info_of(pdev);
        uint32 v = span;
        if (info && info->custom_write_reg) info->custom_write_reg(kRegMicroFrameSpan, &v);
        // The colour camera follows in hundredths where its table says so.
        static constexpr uint32 kLow[7] = {260, 401, 501, 602, 701, 802, 903};
        if (rate > 99) colour = rate - 92;
        else if (rate >= 4 && rate <= 10) colour = kLow[rate - 4];
        else if (rate < 4) colour = rate * 100 - 94;
        else if (rate == 17) colour = 1600;
        else if (rate == 25) colour = 2402;
        else colour = rate * 100 - 92;
    } else if (dual_freq(m) && E) {
        rate = phaseOpt == 1 ? 26 : 24;
        colour = three ? 2410 : 1810;
    } else {
        rate = std::max(1u, std::min(fps, sensor_imx570_fps_limit(m, L, reg(kRegCpuId))));
        colour = rate;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "set fps:%d", (int)rate);
    cpld_word(subdev_of(pdev), rate << 8 | kWordRate);
    colour_set_fps(pdev ? pdev->epcore : nullptr, colour);
    return 0;
}

// ---- Integration times ----

int sensor_imx570_set_integration_time_f0(iodev_t* pdev, uint32_t time)
{
    uint32 t = clamp(time, 6, 4000);
    if (reg(kRegAutoExposure) && s_storedF0.load() == t) return 0;
    s_storedF0.store(t);
    const uint32 m = reg(kRegFreqMode), E = reg(kRegMultiMachine), B = board();
    const int fd = subdev_of(pdev);
    auto cpld_len = [&](uint32 v) {
        cpld_i2c(kCpldLenA, 0);
        cpld_i2c(kCpldLenA + 1, 0);
        cpld_i2c(kCpldLenA + 2, (uint8)(v >> 8));
        cpld_i2c(kCpldLenA + 3, (uint8)v);
    };
    if (m == 3 && E && B == E_BOARD_VERSION_V2_3) {
        cpld_len(std::min(t, 3000u));
        return 0;
    }
    if (m == 6) {
        cpld_word(fd, t << 8 | kWordLenTripleA);
    } else {
        const bool multiDual = m == 1 && E;
        if (multiDual) {
            t = std::min(t, 3000u);
            if (B == E_BOARD_VERSION_V2_3) cpld_len(t);
        }
        hold(fd);
        sreg_write_be32(fd, kIntegF0, t * 120);
        release(fd);
        V4L2SensorInfo* info = info_of(pdev);
        if (m != 2 && info && info->set_n_inte_length_f1) info->set_n_inte_length_f1(pdev, t);
        if (multiDual && B == E_BOARD_VERSION_V2_3) return 0;
    }
    V4L2SensorInfo* info = info_of(pdev);
    if (info && info->set_fps) info->set_fps(pdev, reg(kRegFps));
    return 0;
}

int sensor_imx570_set_integration_time_f1(iodev_t* pdev, uint32_t time)
{
    uint32 t = clamp(time, 6, 4000);
    uint32 ratio = reg(kRegBindingRatio);
    uint64 v = (uint64)t * 120;
    if (ratio >= 1 && ratio <= 100) v = v * ratio / 100;
    const int fd = subdev_of(pdev);
    hold(fd);
    sreg_write_be32(fd, kIntegF1, (uint32)v);
    release(fd);
    return 0;
}

int set_integration_time_f1(iodev_t* pdev, uint32_t time) { return sensor_imx570_set_integration_time_f1(pdev, time); }

int sensor_imx570_set_integration_time_f2(iodev_t* pdev, uint32_t time)
{
    uint32 t = clamp(time, 6, 4000);
    const uint32 m = reg(kRegFreqMode);
    const int fd = subdev_of(pdev);
    if (m == 1) return 0;
    if (m == 6) {
        cpld_word(fd, t << 8 | kWordLenTripleB);
        return 0;
    }
    if (m == 3 && reg(kRegMultiMachine)) {
        t = std::min(t, 1500u);
        if (board() == E_BOARD_VERSION_V2_3) {
            cpld_i2c(kCpldLenB, 0);
            cpld_i2c(kCpldLenB + 1, 0);
            cpld_i2c(kCpldLenB + 2, (uint8)(t >> 8));
            cpld_i2c(kCpldLenB + 3, (uint8)t);
        }
    }
    hold(fd);
    sreg_write_be32(fd, m == 2 ? kIntegF1 : kIntegF2, t * 120);
    release(fd);
    return 0;
}

// ---- Other operations ----

int sensor_imx570_set_background_amp(iodev_t* pdev, uint32_t on)
{
    const int fd = subdev_of(pdev);
    hold(fd);
    for (uint16 r : {2092, 2093, 2096, 2097, 2100, 2101}) sreg_write(fd, r, on ? 34 : 0);
    release(fd);
    return 0;
}

int sensor_imx570_set_vfilp(iodev_t* pdev, uint32_t on)
{
    const int fd = subdev_of(pdev);
    hold(fd);
    sreg_write(fd, kVflip, (uint8)on);
    release(fd);
    return 0;
}

int sensor_imx570_set_hfilp(iodev_t* pdev, uint32_t on)
{
    const int fd = subdev_of(pdev);
    hold(fd);
    sreg_write(fd, kHflip, (uint8)on);
    release(fd);
    return 0;
}

int sensor_imx570_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value)
{
    if (!value) return -1;
    const int fd = subdev_of(pdev);
    if (sensor_reg_is_laser(address)) {
        uint32 index = sensor_laser_index(address);
        if (index > 2) {
            log_error(g_logger, __FUNCTION__, __LINE__, "invalid index");
            return -1;
        }
        return sensor_laser_read(fd, index, sensor_laser_reg(address), value);
    }
    if (address & IMX570_REG_CPLD_FLAG) {
        LaserReq q{};
        q.p.reg = (uint8)address;
        int rc = sensor_xioctl(fd, (int)SENSOR_IOC_CPLD_READ, &q);
        *value = q.p.val;
        log_info(g_logger, __FUNCTION__, __LINE__, "tips get cpld value:%x", q.p.val);
        return rc;
    }
    return sreg_read(fd, (uint16)address, value);
}

int sensor_imx570_write_reg(iodev_t* pdev, uint32_t address, uint16_t value)
{
    const int fd = subdev_of(pdev);
    if (sensor_reg_is_laser(address)) {
        return sensor_laser_write_all(fd, sensor_laser_reg(address), (uint8)value);
    }
    if (address & IMX570_REG_CPLD_FLAG) {
        LaserReq q{};
        q.p.reg = (uint8)address;
        q.p.val = (uint8)value;
        return sensor_xioctl(fd, (int)SENSOR_IOC_CPLD_WRITE, &q);
    }
    return sreg_write(fd, (uint16)address, (uint8)value);
}

int sensor_imx570_vld_enable(iodev_t* pdev, uint32_t enable)
{
    uint32 v = enable;
    return sensor_xioctl(subdev_of(pdev), (int)SENSOR_IOC_VLD_ENABLE, &v);
}

int sensor_imx570_start_stop_stream(iodev_t* pdev, uint32_t enable)
{
    if (board() == E_BOARD_VERSION_V2_3) {
        log_info(g_logger, __FUNCTION__, __LINE__, "cpld trig delay");
        cpld_i2c(kCpldTrigDelay, 1);
        return 0;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "start or stop stream %d", (int)enable);
    const int fd = subdev_of(pdev);
    if (!enable) {
        sreg_write(fd, kStreaming, 0);
        return 0;
    }
    sreg_write(fd, kStreaming, 1);
    LED_Control(GPIO_TOF_TRIGGER, 1);
    LED_Control(GPIO_TOF_TRIGGER, 0);
    return LED_FastGetStatus_GPIO1_D0(1);
}

namespace {

void trigger_one(int fd, uint32 mode)
{
    uint32 s = 0, ns = 0;
    get_local_time(&s, &ns);
    g_trigtimestampH.store(s);
    g_trigtimestampL.store(ns);
    if (mode == 3) {
        cpld_word(fd, reg(kRegInteA) << 8 | kWordLenA);
        cpld_word(fd, kWordTrigLen);
    } else {
        cpld_word(fd, kWordTrigOne);
    }
}

// The trigger timer of the core (device 10024), made on first use.
int trigger_timer(epcore_t* core)
{
    if (!core) return -1;
    if (iodev_t* dev = epcore_iodev_find(core, kTrigTimerDevice)) return dev->fd;
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) return -1;
    iodev_t* dev = iodev_new(core);
    if (!dev) {
        close(fd);
        return -1;
    }
    dev->id = kTrigTimerDevice;
    dev->fd = fd;
    dev->fdtype = IODEV_FILE;
    dev->callback = trig_timer_handler;
    dev->cbpara = core;
    dev->iostate = IOSTATE_READY;
    iodev_rwflag_set(dev, WATCH_READ);
    if (epcore_iodev_add(core, dev) != 0) {
        iodev_discard(dev);
        close(fd);
        return -1;
    }
    s_trigFrames.store(0);
    iodev_bind_evpump(dev, BIND_SELECT, nullptr);
    return fd;
}

int software_trigger(iodev_t* pdev)
{
    if (reg(kRegMasterSlave) != 1) return 0;
    int tfd = trigger_timer(pdev ? pdev->epcore : nullptr);
    if (tfd < 0) return -1;
    itimerspec cur{};
    if (timerfd_gettime(tfd, &cur) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "timer_gettime error");
        return -1;
    }
    int left = s_trigFrames.load();
    if (cur.it_value.tv_sec || cur.it_value.tv_nsec || left > 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "timer running:%ld,%ld,trigFrame:%d", (long)cur.it_value.tv_sec,
                  (long)cur.it_value.tv_nsec, left);
        return -1;
    }
    int frames = (int)std::min<uint32>(reg(kRegTrigFrame), INT_MAX);
    if (frames == 0) frames = 1;
    uint32 period = std::max(reg(kRegTrigPeriod), kMinTrigUs);
    uint32 delay = reg(kRegTrigDelay);
    if (delay < kMinTrigUs) {
        trigger_one(subdev_of(pdev), reg(kRegFreqMode));
        frames--;
        s_trigFrames.store(frames);
        if (frames > 0) startTimerParams(tfd, period, period);
    } else {
        s_trigFrames.store(frames);
        startTimerParams(tfd, delay, period);
    }
    return 0;
}

} // namespace

int sensor_imx570_other_params(iodev_t* pdev, uint32_t param, uint32_t type)
{
    const int fd = subdev_of(pdev);
    const uint32 B = board();
    const bool hwTrigger = reg(kRegMasterSlave) == 2;
    switch (type) {
    case kRegOutputSet: {
        uint32 lines = B == E_BOARD_VERSION_V2_3 ? param : 3 - std::min(param, 3u);
        sensor_imx570_gpio_control(-1, 0, &lines);
        break;
    }
    case kRegOutputControlMode: {
        uint32 v = 0;
        if (param == 0) {
            sensor_imx570_gpio_control(-1, 2, &v);
            if (s_lastOutputMode.exchange(0) != 0) {
                uint32 lines = B == E_BOARD_VERSION_V2_3 ? 3 : 0;
                sensor_imx570_gpio_control(-1, 0, &lines);
            }
            log_info(g_logger, __FUNCTION__, __LINE__, "OUT:E_ALGO_CONTROL");
        } else if (param == 1) {
            s_lastOutputMode.store(1);
            sensor_imx570_gpio_control(-1, 2, &v);
            uint32 lines = reg(kRegOutputSet);
            sensor_imx570_gpio_control(-1, 0, &lines);
            log_info(g_logger, __FUNCTION__, __LINE__, "OUT:E_USER_CONTROL");
        } else if (param == 2) {
            s_lastOutputMode.store(2);
            v = 1;
            sensor_imx570_gpio_control(-1, 2, &v);
            log_info(g_logger, __FUNCTION__, __LINE__, "OUT:E_TRIG_CONTROL");
        }
        break;
    }
    case kRegApdCalibCount:
        cpld_i2c(kCpldApdCount, (uint8)param);
        cpld_i2c(kCpldPhases, phases() == 3 ? 6 : 8);
        break;
    case kRegMicroFrameSpan:
        cpld_word(fd, param << 8 | 7);
        if (B != E_BOARD_VERSION_V2_3) {
            V4L2SensorInfo* info = info_of(pdev);
            if (info && info->set_fps) info->set_fps(pdev, reg(kRegFps));
        }
        break;
    case kRegBindingRatio2:
        cpld_word(fd, (param >= 1 && param <= 100 ? param : 100) << 8 | 19);
        break;
    case kRegTrigDelay:
        if (hwTrigger) cpld_word(fd, param << 8 | 3);
        break;
    case kRegRgbDelayTime: {
        uint32 t = (uint32)((uint64)param * 1000 / 37);
        for (int i = 0; i < 4; i++) cpld_i2c((uint8)(kCpldRgbDelay + i), (uint8)(t >> (24 - 8 * i)));
        break;
    }
    case kRegSoftTrig: return software_trigger(pdev);
    case kRegBindingRatio: {
        uint32 r = param == 0 || param > 100 ? 100 : param;
        uint32 m = reg(kRegFreqMode);
        if (m == 3 || m == 6) {
            cpld_word(fd, r << 8 | 64);
        } else if (m != 2) {
            V4L2SensorInfo* info = info_of(pdev);
            if (info && info->set_n_inte_length_f1) info->set_n_inte_length_f1(pdev, reg(kRegInteA));
        }
        break;
    }
    case kRegHwFilterTime:
        if (hwTrigger) {
            uint32 v = param;
            sensor_xioctl(fd, (int)SENSOR_IOC_TRIG_FILTER, &v);
        }
        break;
    case kRegTrigPeriod:
        if (hwTrigger) {
            uint32 v = param;
            sensor_xioctl(fd, (int)SENSOR_IOC_TRIG_PERIOD, &v);
        }
        break;
    case kRegMasterSlave:
        if (reg(kRegCpuId) != E_CPU_RK3588 && B != E_BOARD_VERSION_V2_3) {
            for (int attempt = 0; attempt < 3; attempt++) {
                if (fpga_upgrade() == 0) {
                    log_info(g_logger, __FUNCTION__, __LINE__, "fpga update success.");
                    break;
                }
                log_error(g_logger, __FUNCTION__, __LINE__, "fpga update fail.");
            }
        }
        break;
    case kRegTrigFrame:
        if (hwTrigger) cpld_word(fd, param << 8 | 5);
        break;
    case kRegHighthr: {
        uint32 v = param < 1000 || param > 2047 ? 1600 : param;
        hold(fd);
        for (uint16 r : {5180, 5182, 5184}) sreg_write(fd, r, (uint8)((v >> 8) & 7));
        for (uint16 r : {5181, 5183, 5185}) sreg_write(fd, r, (uint8)v);
        release(fd);
        break;
    }
    default: break;
    }
    return 0;
}

int startTimerParams(int timerfd, uint32_t timeout, uint32_t interval)
{
    itimerspec its{};
    its.it_value.tv_sec = timeout / 1000000;
    its.it_value.tv_nsec = (long)(timeout % 1000000) * 1000;
    its.it_interval.tv_sec = interval / 1000000;
    its.it_interval.tv_nsec = (long)(interval % 1000000) * 1000;
    if (timerfd_settime(timerfd, 0, &its, nullptr) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "timerfd_settime error");
        return -1;
    }
    return 0;
}

int trig_timer_handler(void* cbpara, void* obj, int event, int fdtype)
{
    (void)event;
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(cbpara);
    auto* tdev = static_cast<iodev_t*>(obj);
    if (!core || !tdev) return 0;
    const int tfd = tdev->fd;
    uint64_t expiries = 0;
    if (read(tfd, &expiries, sizeof(expiries)) < 0) expiries = 0;
    SensorOpsGuard guard;
    iodev_t* dev = epcore_iodev_find(core, E_DEVICE_TOF);
    if (!dev) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof pdev is NULL");
        s_trigFrames.store(0);
        startTimerParams(tfd, 0, 0);
        return 0;
    }
    if (!dev->priv_data) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof pdev->priv_data is NULL");
        s_trigFrames.store(0);
        startTimerParams(tfd, 0, 0);
        return 0;
    }
    trigger_one(dev->subdevFd, reg(kRegFreqMode));
    if (s_trigFrames.fetch_sub(1) <= 1) {
        s_trigFrames.store(0);
        startTimerParams(tfd, 0, 0);
    }
    return 0;
}

// ---- Embedded rows ----

void sensor_imx570_ebd_parse(uint16_t* ebdRaw12, uint16_t phasenum, uint16_t* index)
{
    if (!ebdRaw12 || !index) return;
    ebd_parse(reinterpret_cast<const uint8_t*>(ebdRaw12), phasenum, index[0] == 11, index);
}

// ---- Capture callbacks ----

int sensor_imx570_capture_1freq_raw(void* vpcore, void* vobj, int, int)
{
    return capture_single(static_cast<epcore_t*>(vpcore), static_cast<iodev_t*>(vobj), 1, V_1FREQ);
}

int sensor_imx570_capture_2freq_raw(void* vpcore, void* vobj, int, int)
{
    return capture_single(static_cast<epcore_t*>(vpcore), static_cast<iodev_t*>(vobj), 2, V_2FREQ);
}

int sensor_imx570_capture_3freq_raw(void* vpcore, void* vobj, int, int)
{
    return capture_single(static_cast<epcore_t*>(vpcore), static_cast<iodev_t*>(vobj), 3, V_3FREQ);
}

int sensor_imx570_capture_2freq_hdr(void* vpcore, void* vobj, int event, int)
{
    return capture_2freq_checked(static_cast<epcore_t*>(vpcore), static_cast<iodev_t*>(vobj), event, false);
}

int sensor_imx570_capture_2freq_trig_hdr(void* vpcore, void* vobj, int event, int)
{
    return capture_2freq_checked(static_cast<epcore_t*>(vpcore), static_cast<iodev_t*>(vobj), event, true);
}

int sensor_imx570_capture_2freq_multiple_hdr(void* vpcore, void* vobj, int event, int)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    const uint32 p = phases();
    ImageInfo* img = fetch_frame(core, info, 4 * p);
    if (!img) return -1;
    bool pd = false;
    for (int e = 0; e < 2; e++) {
        sensor_worker_signal(core, E_WORKER_ID_TOF_INTEGRATION, e);
        if (LED_FastGetStatus_GPIO1_D0(0) != 1) pd = true;
        SensorCapture cap;
        if (!take_exposure(event, dev, &cap, false)) {
            free_image(core, img);
            return 0;
        }
        uint16_t r[3];
        if (!two_groups(cap, p, false, r)) {
            sensor_requeue(dev, &cap);
            free_image(core, img);
            return 0;
        }
        uint32 set = reg(e == 0 ? kRegInteA : kRegInteB);
        if (r[2] != set) log_error(g_logger, __FUNCTION__, __LINE__, "imageDataInte error:%d!=%d", (int)r[2], (int)set);
        copy_two(img, cap, p, r, e == 0 ? 0 : 2 * p);
        sensor_requeue(dev, &cap);
    }
    img->PDFlags = pd ? 1 : 0;
    get_local_time(&img->timeStampH, &img->timeStampL);
    deliver(core, img, V_MULTI);
    return 0;
}

int sensor_imx570_capture_mul_triple_hdr(void* vpcore, void* vobj, int event, int)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    V4L2SensorInfo* info = info_of(dev);
    if (!core || !info) return 0;
    constexpr uint32 p = 3, kPhasesOut = 18;
    ImageInfo* img = fetch_frame(core, info, kPhasesOut);
    if (!img) return -1;
    static constexpr uint32 kWord[3] = {17, 18, 15};
    const int fd = subdev_of(dev);
    for (uint32 k = 0; k < 3; k++) {
        cpld_word(fd, kWord[k]);
        for (;;) {
            SensorCapture cap;
            if (!take_exposure(event, dev, &cap, false)) {
                free_image(core, img);
                return 0;
            }
            uint16_t r[3];
            if (!two_groups(cap, p, true, r)) {
                sensor_requeue(dev, &cap);
                free_image(core, img);
                return 0;
            }
            if (r[2] != k + 1) {
                log_error(g_logger, __FUNCTION__, __LINE__, "drop image,%d!=set(%d)", (int)r[2], (int)(k + 1));
                cpld_word(fd, kWord[k]);
                sensor_requeue(dev, &cap);
                continue;
            }
            uint32 order[2];
            order_groups(r, 2, order);
            copy_group(img, cap, order[0], p, 3 * k);
            copy_group(img, cap, order[1], p, 9 + 3 * k);
            sensor_requeue(dev, &cap);
            break;
        }
    }
    get_local_time(&img->timeStampH, &img->timeStampL);
    deliver(core, img, V_TRIPLE);
    return 0;
}

// ---- Set-up and the task ----

namespace {

void fill_ops(V4L2SensorInfo* o, uint32 mode, uint32 E)
{
    o->set_fps = (mode == 3 || (mode == 1 && E)) ? sensor_imx570_driver_set_fps : sensor_imx570_set_fps;
    o->set_all_freq = mode == 6 ? sensor_imx570_pre_set_frequcncy : sensor_imx570_set_all_frequcncy;
    o->set_background_amp = sensor_imx570_set_background_amp;
    o->set_other_params = sensor_imx570_other_params;
    o->set_vfilp = sensor_imx570_set_vfilp;
    o->set_hfilp = sensor_imx570_set_hfilp;
    o->read_reg = sensor_imx570_read_reg;
    o->write_reg = sensor_imx570_write_reg;
    o->vld_enable = sensor_imx570_vld_enable;
    o->start_stop_stream = sensor_imx570_start_stop_stream;
    o->set_n_inte_length_f0 = sensor_imx570_set_integration_time_f0;
    o->set_n_inte_length_f1 = sensor_imx570_set_integration_time_f1;
    o->set_n_inte_length_f2 = sensor_imx570_set_integration_time_f2;
    o->custom_read_reg = Custom_RegRead;
    o->custom_write_reg = Custom_RegWrite;
}

struct ModeRow {
    const char* log;
    uint32 height4, height3;
    IOHandler* callback;
};

ModeRow mode_row(uint32 mode, uint32 cpu, uint32 E)
{
    switch (mode) {
    case 0: return {"freqmode:single", 1932, 1449, sensor_imx570_capture_1freq_raw};
    case 2: return {"freqmode:single hdr", 3864, 2898, sensor_imx570_capture_2freq_raw};
    case 1: return {"freqmode:dual", 3864, 2898, sensor_imx570_capture_2freq_raw};
    case 3: {
        IOHandler* cb = sensor_imx570_capture_2freq_hdr;
        if (cpu == E_CPU_RK3568 && E) cb = sensor_imx570_capture_2freq_multiple_hdr;
        uint32 m = reg(kRegMasterSlave);
        if (m == 1 || m == 2) cb = sensor_imx570_capture_2freq_trig_hdr;
        return {"freqmode:dual hdr", 3864, 2898, cb};
    }
    case 6: return {"freqmode:multi triple hdr", 2898, 2898, sensor_imx570_capture_mul_triple_hdr};
    default: return {"freqmode:triple", 5796, 4347, sensor_imx570_capture_3freq_raw};
    }
}

void write_reg_list(iodev_t* dev)
{
    FILE* fp = plat_fopen(IMX570_REG_LIST_FILE, "r");
    if (!fp) {
        log_error(g_logger, __FUNCTION__, __LINE__, "not found %s file.", IMX570_REG_LIST_FILE);
        return;
    }
    char line[128];
    V4L2SensorInfo* info = info_of(dev);
    while (fgets(line, sizeof(line), fp)) {
        unsigned a = 0, v = 0;
        if (sscanf(line, "%x , %x", &a, &v) != 2 && sscanf(line, "%x,%x", &a, &v) != 2) continue;
        log_info(g_logger, __FUNCTION__, __LINE__, "regAddress:0x%x, regValue:0x%x", a, v);
        if (info && info->write_reg) info->write_reg(dev, a, (uint16)v);
    }
    fclose(fp);
}

void trigger_registers(int fd)
{
    hold(fd);
    sreg_write(fd, 325, 0);
    sreg_write(fd, 328, 1);
    sreg_write(fd, 8224, 0);
    sreg_write(fd, kTrigSync, 3);
    sreg_write(fd, 12037, 7);
    sreg_write(fd, 12038, 0);
    sreg_write(fd, 12039, 0);
    sreg_write(fd, 8193, 1);
    release(fd);
}

void free_run_registers(int fd)
{
    hold(fd);
    sreg_write(fd, 325, 0);
    sreg_write(fd, 328, 0);
    sreg_write(fd, 8224, 1);
    sreg_write(fd, kTrigSync, 0);
    sreg_write(fd, 12037, 1);
    sreg_write(fd, 12038, 0);
    sreg_write(fd, 12039, 0);
    sreg_write(fd, 8193, 1);
    release(fd);
}

// Configures the sensor and the CPLD from the register space (after
// streaming started). Returns true when worker 530 is to keep running.
bool configure(epcore_t* core, iodev_t* dev)
{
    V4L2SensorInfo* info = info_of(dev);
    const int fd = subdev_of(dev);
    const uint32 mode = reg(kRegFreqMode);
    uint32 M = reg(kRegMasterSlave);
    uint32 E = reg(kRegMultiMachine);
    const uint32 devLogic = reg(kRegDevLogic);
    const uint32 rgbKind = reg(kRegRgbSensorType);
    const uint32 cpu = reg(kRegCpuId);
    const uint32 B = board();
    const uint32 apdCalib = reg(kRegApdCalib);
    const bool D = dual_freq(mode);
    const uint32 inteA = reg(kRegInteA), inteB = reg(kRegInteB);

    cpld_word(fd, D && M == 0 ? (E << 8 | 6) : 6);
    info->set_other_params(dev, reg(kRegHighthr), kRegHighthr);
    if (devLogic != 1) cpld_word(fd, 266);
    info->set_other_params(dev, E, kRegMasterSlave);
    if (rgbKind == E_SMARTSENS_SC230AI)
        sensor_with_device(core, E_DEVICE_RGB, [M](V4L2SensorInfo* rgb, iodev_t* rgbDev) {
            if (rgb->set_other_params) rgb->set_other_params(rgbDev, M, kRegMasterSlave);
        });

    if (B == E_BOARD_VERSION_V2_3) {
        if (apdCalib) {
            M = 0, E = 0;
            log_info(g_logger, __FUNCTION__, __LINE__, "cplddev keep on sipm calib mode");
        } else if (M == 1 || M == 2) {
            cpld_i2c(kCpldMode, 3);
            log_info(g_logger, __FUNCTION__, __LINE__, "cplddev in trig mode");
        } else if (E && D && cpu == E_CPU_RK3568) {
            cpld_i2c(kCpldMode, 2);
            log_info(g_logger, __FUNCTION__, __LINE__, "cplddev in multi-machine mode");
        } else {
            cpld_i2c(kCpldMode, 4);
            log_info(g_logger, __FUNCTION__, __LINE__, "cplddev in stream mode");
        }
    }

    bool keepApd = false;
    if (M == 1 || M == 2) {
        trigger_registers(fd);
        cpld_word(fd, 257);
        if (M == 1) {
            cpld_word(fd, 4);
            log_info(g_logger, __FUNCTION__, __LINE__, "stream mode:software trig");
        } else {
            log_info(g_logger, __FUNCTION__, __LINE__, "stream mode:hardware trig");
        }
        if (mode == 3) {
            dev->callback = sensor_imx570_capture_2freq_trig_hdr;
            cpld_word(fd, inteB << 8 | kWordLenB);
            cpld_word(fd, inteA << 8 | kWordLenA);
            cpld_word(fd, kWordTrigLen);
        }
    } else {
        cpld_word(fd, 4);
        if (E && D && cpu == E_CPU_RK3568) {
            trigger_registers(fd);
            if (mode == 3) {
                cpld_word(fd, inteB << 8 | kWordLenB);
                cpld_word(fd, inteA << 8 | kWordLenA);
            }
            cpld_word(fd, 777);
            log_info(g_logger, __FUNCTION__, __LINE__, "stream mode:multiple machine open");
            keepApd = true;
            if ((get_fileSize("/userdata/const/GainList.csv") > 0 ||
                 get_fileSize("/userdata/const/GainList_simp.csv") > 0) &&
                !epcore_worker_find(core, E_WORKER_ID_APD))
                worker_create(core, E_WORKER_ID_APD, apd_task);
        } else {
            free_run_registers(fd);
            if (mode == 3) cpld_word(fd, kWordTrigOne);
            cpld_word(fd, 521);
            log_info(g_logger, __FUNCTION__, __LINE__,
                     E && D && cpu == E_CPU_RK3588 ? "stream mode:fake multiple machine"
                                                    : "stream mode:multiple machine close");
        }
    }
    if (!keepApd) epcore_worker_stop(core, E_WORKER_ID_APD);

    if (E && D && M == 0 && B != E_BOARD_VERSION_V2_3)
        info->set_other_params(dev, reg(kRegMicroFrameSpan), kRegMicroFrameSpan);
    else
        info->set_fps(dev, reg(kRegFps));

    uint32_t freqs[3] = {reg(kRegGroupA), reg(kRegGroupB), reg(kRegGroupC)};
    info->set_all_freq(dev, freqs);
    info->set_other_params(dev, reg(kRegBindingRatio), kRegBindingRatio);
    info->set_other_params(dev, reg(kRegBindingRatio2), kRegBindingRatio2);
    info->set_n_inte_length_f0(dev, inteA);
    info->set_n_inte_length_f2(dev, inteB);
    info->set_vfilp(dev, reg(kRegVfilp));
    info->set_hfilp(dev, reg(kRegHfilp));
    info->set_background_amp(dev, reg(kRegBackgroundAmp));
    for (uint32 a : {kRegTrigDelay, kRegHwFilterTime, kRegTrigPeriod, kRegTrigFrame})
        info->set_other_params(dev, reg(a), a);
    uint32 outMode = reg(kRegOutputControlMode);
    info->custom_write_reg(kRegOutputControlMode, &outMode);
    if (B == E_BOARD_VERSION_V2_3) {
        info->set_other_params(dev, reg(kRegRgbDelayTime), kRegRgbDelayTime);
        info->set_other_params(dev, reg(kRegApdCalibCount), kRegApdCalibCount);
    }

    hold(fd);
    sreg_write(fd, 8772, 0);
    if (reg(kRegTofDelayClose) == 0) {
        sreg_write(fd, 8775, 24);
        sreg_write(fd, 8777, D ? 0 : 3);
    } else {
        sreg_write(fd, 8775, 0);
    }
    release(fd);

    if (mode == 3) {
        if (M != 0) {
            cpld_word(fd, inteB << 8 | kWordLenB);
            cpld_word(fd, kWordTrigLen);
            cpld_word(fd, inteA << 8 | kWordLenA);
            cpld_word(fd, kWordTrigLen);
        } else if (E) {
            cpld_word(fd, inteA << 8 | kWordLenA);
        } else {
            cpld_word(fd, inteB << 8 | kWordLenB);
        }
    } else if (mode == 6) {
        cpld_word(fd, inteB << 8 | kWordLenTripleB);
        cpld_word(fd, inteA << 8 | kWordLenTripleA);
        cpld_word(fd, 15);
    }
    write_reg_list(dev);
    info->vld_enable(dev, reg(kRegVldTemp) == 0 ? 1 : 0);
    sreg_write(fd, kStreaming, 1);
    if (E && D && M == 0) {
        LED_Control(GPIO_TOF_TRIGGER, 1);
        LED_Control(GPIO_TOF_TRIGGER, 0);
        LED_FastGetStatus_GPIO1_D0(1);
    }
    if (B == E_BOARD_VERSION_V2_3) {
        wait_ms(5);
        cpld_i2c(kCpldCapture, 1);
    }
    return keepApd;
}

} // namespace

int sensor_imx570_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    uint32 phaseOpt = reg(kRegPhaseOptions);
    g_phaseOptions.store(phaseOpt);
    log_info(g_logger, __FUNCTION__, __LINE__, "imx570 now in %s,%d", phase_name(phaseOpt), (int)phaseOpt);
    uint32 cpu = reg(kRegCpuId);
    const char* graph = cpu == E_CPU_RK3588 ? "/dev/media1" : cpu == E_CPU_RK3568 ? "/dev/media0" : nullptr;
    char node[SENSOR_NODE_NAME_MAX];
    if (sensor_find_node(graph, "stream_cif_mipi_id0", node) != 0) return -1;
    int fd = -1, subfd = -1;
    if (sensor_open_node(node, "tof sensor open.", "tof sensor subdev open.", &fd, &subfd) != 0) return -1;
    iodev_t* dev = sensor_device_new(core, E_WORKER_ID_ALGO, type, fd, subfd);
    if (!dev) return -1;
    auto* info = static_cast<V4L2SensorInfo*>(dev->priv_data);
    const uint32 mode = reg(kRegFreqMode);
    const uint32 E = reg(kRegMultiMachine);
    if (mode == 6) g_phaseOptions.store(3);
    fill_ops(info, mode, E);
    ModeRow row = mode_row(mode, cpu, E);
    dev->callback = row.callback;
    // From here sensor_uninit releases everything, registered or not.
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof device %d taken", (int)type);
        sensor_uninit(dev);
        return -1;
    }
    char mediaDev[SENSOR_NODE_NAME_MAX];
    if (sensor_find_media_device(fd, mediaDev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor_find_media_device fail.");
        sensor_uninit(dev);
        return -1;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "mediaDevice:%s", mediaDev);
    log_info(g_logger, __FUNCTION__, __LINE__, "%s", row.log);
    const uint32 height = phases() == 3 ? row.height3 : row.height4;
    if (cpu == E_CPU_RK3588 || cpu == E_CPU_RK3568) {
        char formats[128];
        snprintf(formats, sizeof(formats), "\"m01_b_imx570 %s\":0[fmt:Y12_1X12/640x%u]",
                 cpu == E_CPU_RK3588 ? "5-0010" : "3-0010", height);
        sensor_set_pad_format(mediaDev, formats);
    }
    info->width = kWidth;
    info->height = height;
    info->outWidth = 640;
    info->outHeight = 480;
    info->format = V4L2_PIX_FMT_Y12;
    info->memType = V4L2_MEMORY_MMAP;
    if (sensor_init_device(dev) != 0) {
        sensor_uninit(dev);
        return -1;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "tof_init success");
    {
        // Read again at every set-up: the phase setting, and with it the
        // files, may have changed since the last. Operations reached by
        // register writes hold the same lock while they use the tables.
        SensorOpsGuard guard;
        frequencyAllInfoDeinit(tables());
        if (!getFrequencyAllInfo()) log_error(g_logger, __FUNCTION__, __LINE__, "get freq info error");
    }
    *ppdev = dev;
    g_ctrlFd.store(subfd);
    return 0;
}

void* sensor_imx570_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("imx570sensor");
    sensor_capture_bind(wk);
    sensor_capture_clock_start();
    s_storedF0.store(UINT32_MAX);
    s_retry.store(0);

    iodev_t* dev = nullptr;
    for (int attempt = 0; attempt < kSetupAttempts && !sensor_capture_stopped(); attempt++) {
        if (sensor_imx570_init(core, E_DEVICE_TOF, &dev) == 0) break;
        dev = nullptr;
        sensor_capture_pause(kSetupRetryMs);
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor_imx570_init fail.");
        if (attempt == kSetupAttempts - 1) {
            log_error(g_logger, __FUNCTION__, __LINE__, "need reboot");
            plat_shell("reboot");
        }
    }
    if (!dev) {
        sensor_capture_bind(nullptr);
        log_info(g_logger, __FUNCTION__, __LINE__, "end tof task");
        worker_destory(wk);
        return nullptr;
    }

    log_info(g_logger, __FUNCTION__, __LINE__, "imx570 start");
    sensor_start_capturing(dev);
    sreg_write(dev->subdevFd, kStreaming, 0);
    sensor_imx570_gpio_control(dev->subdevFd, 0, nullptr);
    configure(core, dev);

    const uint32 mode = reg(kRegFreqMode);
    SensorLoop loop{kLoopWaitMs, INT_MAX, mode == 3 || mode == 6, true};
    sensor_capture_loop(wk, dev, &loop);

    if (board() == E_BOARD_VERSION_V2_3) cpld_i2c(kCpldCapture, 0);
    sensor_stop_capturing(dev);
    LED_Control(GPIO_TOF_TRIGGER, 1);
    {
        SensorOpsGuard guard;
        s_ctrlFd.store(-1);
        g_ctrlFd.store(-1);
        sensor_uninit(dev);
    }
    sensor_capture_bind(nullptr);
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end tof task");
    worker_destory(wk);
    return nullptr;
}
