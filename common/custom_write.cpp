// Register writes: the page rules, the validation of a value against the
// other registers, the device actions of the common page, the store and the
// effects that follow it. The stages run in that order, and some effects
// happen before a later refusal (the frequency moves, the avoidance IO
// close, the exposure-mode file, the IMU writes, the relay port's store).
#include <stdio.h>
#include <string.h>

#include <utility>
#include <vector>

#include "algo/algo.h"
#include "algo/algo_tavo.h"
#include "common/board.h"
#include "common/common.h"
#include "common/custom.h"
#include "common/custom_internal.h"
#include "common/freq_check.h"
#include "common/json_parse.h"
#include "common/persist.h"
#include "common/sensor_limits.h"
#include "common/stream_ctrl.h"
#include "GigE/gvcp.h"
#include "epcore.h"
#include "imu/imu.h"
#include "iodev.h"
#include "log/logger.h"
#include "main/can_io_test.h"
#include "main/main.h"
#include "main/task.h"
#include "peripheral/apd.h"
#include "peripheral/led.h"
#include "platform.h"
#include "rich/rich_radar.h"
#include "sensor/sensor_imx570.h"
#include "sensor/sensor_raw.h"
#include "server/udp_server.h"
#include "worker.h"

using namespace regspace;

namespace {

// Result of a validation rule: go on, or answer now.
constexpr int kGoOn = -1;

constexpr uint32_t kStartGapMs = 500;
constexpr uint64_t kSaveFreeMiB = 101;
constexpr int kFpgaAttempts = 3;
constexpr uint8_t kImuAccRange = 0x41;
constexpr uint8_t kImuGyrRange = 0x43;
constexpr uint8_t kCpldOutputIoReg = 59;
constexpr uint32_t kApdStatusAddr = MEM_ADDR_USER_BIN + 1;

// Time of the last start/stop request through 0x10000000.
std::atomic<uint32_t> s_lastStartStop{0};

// Set while a sensor driver writes a register of its own accord.
thread_local bool t_driverWrite = false;

uint32_t tof_kind() { return get(tof().sensorType); }
uint32_t rgb_kind() { return get(rgb().sensorType); }
uint32_t cpu() { return get(run().cpuId); }
uint32_t work_mode() { return get(common().workMode); }
bool avoid_algo(uint32_t algo) { return algo == 1 || algo == 4; }
bool one_of(uint32_t v, std::initializer_list<uint32_t> set)
{
    for (uint32_t s : set)
        if (v == s) return true;
    return false;
}

int refuse(const char* msg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "%s", msg);
    return REG_REFUSED;
}

int not_now(const char* msg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "%s", msg);
    return REG_NOT_IMPLEMENTED;
}

const char* const kWorkModeFreq = "workMode:1 can not set freqMode";
const char* const kNoGroupB = "can not set freqmode, groupBfreq is 0";
const char* const kNoGroupC = "can not set freqmode, groupCfreq is 0";
const char* const kMultiFreq = "enableMultiMachine can not set other freqMode";

// ---- Stage 1: page rules ----

int imu_write(uint32_t address, uint32_t v)
{
    switch (address) {
    case REG_ADDR_IMU_UDP_PORT:
        log_info(g_logger, __FUNCTION__, __LINE__, "imu udp port %d", (int)v);
        imuUdpPort.store(v);
        return REG_OK;
    case REG_ADDR_IMU_STREAM_ENABLE:
        log_info(g_logger, __FUNCTION__, __LINE__, "imu stream %s", v ? "start" : "stop");
        imuStreamEnable.store(v);
        return REG_OK;
    case REG_ADDR_IMU_RANGE: {
        epcore_t* core = get_pcore();
        iodev_t* dev = core ? epcore_iodev_find(core, E_DEVICE_IMU_DATA_SEND) : nullptr;
        auto* priv = dev ? static_cast<UDPServerPrivData*>(dev->priv_data) : nullptr;
        if (!priv || !priv->write_dev_reg) {
            log_error(g_logger, __FUNCTION__, __LINE__, "can't find E_DEVICE_IMU_DATA_SEND device");
            return REG_REFUSED;
        }
        uint8_t acc = (uint8_t)(v & 0xFF);
        uint8_t gyr = (uint8_t)((v >> 16) & 0xFF);
        log_info(g_logger, __FUNCTION__, __LINE__, "imu acc_range %d", acc);
        priv->write_dev_reg(kImuAccRange, &acc, 1);
        log_info(g_logger, __FUNCTION__, __LINE__, "imu gyr_range %d", gyr);
        priv->write_dev_reg(kImuGyrRange, &gyr, 1);
        return REG_OK;
    }
    default:
        return not_implemented();
    }
}

int page_rules(uint32_t address, uint32_t v)
{
    uint32_t page = page_of(address);
    if (page == REG_PAGE_IMU) return imu_write(address, v);
    if (!word_at(address) || !records_ready()) return not_implemented();
    if (address == 0x10000058) {
        if (rgb_kind() == E_SMARTSENS_SC230AI) return REG_NOT_IMPLEMENTED;
        if (rgb_kind() == E_SMARTSENS_SC130GS && v >= 1 && v <= 3) {
            log_error(g_logger, __FUNCTION__, __LINE__, "can not set enc code:%d", (int)v);
            return REG_REFUSED;
        }
    }
    if (page == REG_PAGE_RGB && rgb_kind() == E_SMARTSENS_SC230AI) {
        if (address == 0x100010DC) return REG_NOT_IMPLEMENTED;
        if (address == 0x100010D8) modify_exporse_mode(v, (int)cpu());
    }
    return kGoOn;
}

// ---- Stage 2: validation ----

// The frequency mode a write of the 3D mode leaves: the HDR switch picks
// the HDR form.
uint32_t mode_after_3d(uint32_t v, uint32_t mode)
{
    bool triple = get(common().tripleFreqHdr) != 0;
    switch (v) {
    case 0: return triple ? 2u : 0u;
    case 1: return triple ? 3u : 1u;
    case 2: return triple ? 6u : 5u;
    default: return mode;
    }
}

// The frequency mode a write of the HDR switch leaves: single and HDR forms
// swap (the three-frequency ones on the IMX570 only).
uint32_t mode_after_hdr(uint32_t v, uint32_t mode, bool imx)
{
    static constexpr uint32_t kOn[7] = {2, 3, 2, 3, 4, 6, 6}, kOff[7] = {0, 1, 0, 1, 4, 5, 5};
    if (mode > 6 || (!imx && mode >= 5)) return mode;
    return v == 1 ? kOn[mode] : kOff[mode];
}

// The frequency rules come in two parts: what they refuse, judged before
// the limits and the frequencies are, and what they move once the write is
// taken.

// 0x100000E8: the 3D frequency mode picks the ToF freqMode.
int refuse_3d_freq_mode(uint32_t v, uint32_t kind)
{
    if (work_mode() == 1) return not_now(kWorkModeFreq);
    if (get(common().enableMultiMachine) && v != 1 && kind == E_IMX570) return refuse(kMultiFreq);
    if (v == 1 && !get(tof().groupBFreq)) return refuse(kNoGroupB);
    if (v == 2 && !get(tof().groupCFreq)) return refuse(kNoGroupC);
    return kGoOn;
}

void set_3d_freq_mode(uint32_t v)
{
    if (v <= 2) set(tof().freqMode, mode_after_3d(v, get(tof().freqMode)));
}

// 0x10002068: the ToF freqMode keeps the 3D mode and the HDR switch in step.
int refuse_freq_mode(uint32_t v, uint32_t kind)
{
    if (work_mode() == 1) return not_now(kWorkModeFreq);
    if (v == 4) return not_now("not support E_TRIPLE_FREQ");
    if (kind == E_IMX570) {
        if (get(common().enableMultiMachine) && !one_of(v, {1, 3, 6})) return refuse(kMultiFreq);
        if (one_of(v, {5, 6}) && !get(tof().groupCFreq)) return refuse(kNoGroupC);
        if (one_of(v, {1, 3}) && !get(tof().groupBFreq)) return refuse(kNoGroupB);
    } else if (kind == E_GPIXEL_0503) {
        if (one_of(v, {5, 6})) return refuse("not support freqmode");
        if (one_of(v, {1, 3}) && !get(tof().groupBFreq)) return refuse(kNoGroupB);
    }
    return kGoOn;
}

void set_freq_mode(uint32_t v, uint32_t kind)
{
    if (kind == E_IMX570) {
        if (one_of(v, {5, 6})) set(common()._3DFreqMode, 2u);
        else if (one_of(v, {1, 3})) set(common()._3DFreqMode, 1u);
        else if (one_of(v, {0, 2})) set(common()._3DFreqMode, 0u);
        set(common().tripleFreqHdr, one_of(v, {2, 3, 6}) ? 1u : 0u);
    } else if (kind == E_GPIXEL_0503) {
        set(common().tripleFreqHdr, one_of(v, {2, 3}) ? 1u : 0u);
    }
}

// Integration lengths under multi-machine operation on an IMX570.
int rule_integration(uint32_t v)
{
    if (!get(common().enableMultiMachine) || tof_kind() != E_IMX570) return kGoOn;
    uint32_t limit = 1500;
    if (get(run().devBoardVersion) == E_BOARD_VERSION_V2_3) limit = get(common().phaseOptions) == 0 ? 2500 : 3000;
    return v > limit ? REG_REFUSED : kGoOn;
}

// The ROI corners by binning 0 / 1 / 2; other binning values bound nothing.
bool roi_fits(uint32_t address, uint32_t v, uint32_t binning)
{
    static constexpr uint32_t kBound[4][3] = {
        {639, 319, 159}, {479, 239, 119}, {640, 320, 160}, {480, 240, 120}};
    return binning > 2 || v <= kBound[(address - 0x10002014) / 4][binning];
}

int rule_roi(uint32_t address, uint32_t v)
{
    return roi_fits(address, v, get(tof().binningMode)) ? kGoOn : REG_REFUSED;
}

// Values of the frequency mode and the ToF or colour rate that no write of
// a host is let through, whatever the other registers hold.
bool freq_mode_possible(uint32_t v, uint32_t kind)
{
    // Modes 0..6 are the ones the sensors know; 4 is refused everywhere.
    if (v > 6 || v == 4) return false;
    return !(kind == E_GPIXEL_0503 && one_of(v, {5, 6}));
}

bool fps_possible(uint32_t v, uint32_t kind) { return !(kind == E_IMX570 && v >= 31 && v <= 99); }

// The rules' refusals on the registers the limits and the frequencies judge
// as well, none of their effects yet. Where a rule refuses, its answer
// stands: hosts read 0x8001 at once as "not implemented", 0xFFFF only
// after their time-out.
int rule_refusal(uint32_t address, uint32_t v, uint32_t kind)
{
    switch (address) {
    case 0x100000E8: return refuse_3d_freq_mode(v, kind);
    case 0x10002068: return refuse_freq_mode(v, kind);
    case 0x10000084: return work_mode() == 1 ? not_now(kWorkModeFreq) : kGoOn;
    case 0x1000209C:
    case 0x100020A0: return rule_integration(v);
    case 0x1000202C:
    case 0x1000102C: return fps_possible(v, kind) ? kGoOn : REG_NOT_IMPLEMENTED;
    default: return kGoOn;
    }
}

void rgb_vld_enable(uint32_t v)
{
    iodev_t* dev = nullptr;
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* ops = sensor(E_DEVICE_RGB, &dev);
    if (ops && ops->vld_enable) ops->vld_enable(dev, v);
}

// A value the present ToF sensor kind cannot run at.
int outside_limits(uint32_t address, uint32_t v, uint32_t kind)
{
    const SettingLimit* limit = sensor_limit(kind, address);
    if (sensor_limit_holds(limit, v)) return kGoOn;
    log_error(g_logger, __FUNCTION__, __LINE__, "can not set %s:%u, the sensor runs at %u..%u", limit->name,
              (unsigned)v, (unsigned)limit->lo, (unsigned)limit->hi);
    return REG_REFUSED;
}

// The frequency registers and the settings that change what they may hold.
constexpr uint32_t kRegFreqA = 0x1000206C, kRegFreqB = 0x10002070, kRegFreqC = 0x10002050;
constexpr uint32_t kRegFreqMode = 0x10002068, kRegPhase = 0x100000EC, kReg3DMode = 0x100000E8,
                   kRegHdr = 0x10000084;

FreqState freq_state()
{
    uint32_t running = 0;
    if (tof_kind() == E_IMX570) {
        iodev_t* dev = nullptr;
        SensorOpsGuard sensorGuard;
        if (sensor(E_DEVICE_TOF, &dev)) running = g_phaseOptions.load();
    }
    return FreqState{get(tof().freqMode), get(common().phaseOptions), get(tof().groupAFreq), get(tof().groupBFreq),
                     get(tof().groupCFreq), running};
}

// A host write that would leave the ToF sensor on frequencies other than those
// the registers, and so depth processing, hold is refused, and so is one
// that changes what the frequencies may be (frequency or phase setting)
// while they would then be refused (the VD55H1 programs its two whatever
// the mode, the Gpixel ignores the phase setting). A new Gpixel first
// frequency takes the second of its row along when the stored one is not in
// a row with it, so that a host reaches every row with two writes: first,
// then second.
int frequency_rule(uint32_t address, uint32_t v, uint32_t kind, uint32_t* carriedB)
{
    if (t_driverWrite || (kind != E_GPIXEL_0503 && kind != E_IMX570 && kind != E_VD55H1)) return kGoOn;
    bool frequency = address == kRegFreqA || address == kRegFreqB || address == kRegFreqC;
    if (!frequency && (kind == E_VD55H1 || (address == kRegPhase && kind != E_IMX570))) return kGoOn;
    const FreqState now = freq_state();
    FreqState s = now;
    const char* name = nullptr;
    switch (address) {
    case kRegFreqA: s.a = v, name = "groupAFreq"; break;
    case kRegFreqB: s.b = v, name = "groupBFreq"; break;
    case kRegFreqC:
        if (kind != E_IMX570) return kGoOn;
        s.c = v, name = "groupCFreq";
        break;
    case kRegFreqMode: s.freqMode = v, name = "freqMode"; break;
    case kRegPhase: s.phaseOptions = v, name = "phaseOptions"; break;
    case kReg3DMode:
    case kRegHdr:
        s.freqMode = address == kReg3DMode ? mode_after_3d(v, s.freqMode)
                                         : mode_after_hdr(v, s.freqMode, kind == E_IMX570);
        name = address == kReg3DMode ? "_3DFreqMode" : "tripleFreqHdr";
        break;
    default: return kGoOn;
    }
    // A setting that leaves the frequency mode and phase setting as they
    // are leaves the frequencies to the rules of its own.
    if (!frequency && s.freqMode == now.freqMode && s.phaseOptions == now.phaseOptions) return kGoOn;
    if (address == kRegFreqA && kind == E_GPIXEL_0503 && v != 0) {
        FreqState paired = s;
        paired.b = freq_gpixel_partner(v);
        if (!freq_state_runs(kind, &s, nullptr, 0) && paired.b && freq_state_runs(kind, &paired, nullptr, 0)) {
            *carriedB = paired.b;
            return kGoOn;
        }
    }
    char takes[256];
    // No driver takes a frequency of 0 from a write as its default; one the
    // mode leaves unused may be 0, and the mode rules refuse the modes that
    // would use it while it is.
    int index = address == kRegFreqA ? 0 : (address == kRegFreqB ? 1 : 2);
    if (frequency && v == 0 && index < freq_mode_uses(kind, s.freqMode))
        snprintf(takes, sizeof takes, "no frequency of 0");
    else if (freq_state_runs(kind, &s, takes, sizeof takes)) return kGoOn;
    log_error(g_logger, __FUNCTION__, __LINE__,
              "can not set %s:%u, the sensor takes %s (freqMode %u, phaseOptions %u, frequencies %u/%u/%u)", name,
              (unsigned)v, takes, (unsigned)s.freqMode, (unsigned)s.phaseOptions, (unsigned)s.a, (unsigned)s.b,
              (unsigned)s.c);
    return REG_REFUSED;
}

// A rate the present colour sensor kind cannot run at.
int outside_colour_limits(uint32_t address, uint32_t v)
{
    const SettingLimit* limit = colour_limit(rgb_kind(), address);
    if (sensor_limit_holds(limit, v)) return kGoOn;
    log_error(g_logger, __FUNCTION__, __LINE__, "can not set %s:%u, the colour sensor runs at %u..%u", limit->name,
              (unsigned)v, (unsigned)limit->lo, (unsigned)limit->hi);
    return REG_REFUSED;
}

// The limits judge what hosts set. A driver's own write (a rate it lowers
// to what its sensor runs at) is the sensors' state, not a setting to refuse.
int host_limits(uint32_t address, uint32_t v, uint32_t kind)
{
    if (t_driverWrite) return kGoOn;
    int rc = outside_limits(address, v, kind);
    return rc != kGoOn ? rc : outside_colour_limits(address, v);
}

// The validation table; may adjust *value in place (0x10000088).
int validate(uint32_t address, uint32_t* value)
{
    uint32_t v = *value;
    uint32_t kind = tof_kind();
    uint32_t algo = get(common().enableApplationAlgo);
    int rc = rule_refusal(address, v, kind);
    if (rc != kGoOn) return rc;
    rc = host_limits(address, v, kind);
    if (rc != kGoOn) return rc;
    uint32_t carriedB = 0;
    rc = frequency_rule(address, v, kind, &carriedB);
    if (rc != kGoOn) return rc;
    if (carriedB) {
        log_info(g_logger, __FUNCTION__, __LINE__, "groupBFreq:%u goes with groupAFreq:%u", (unsigned)carriedB,
                 (unsigned)v);
        set(tof().groupBFreq, carriedB);
    }
    // The sensor kinds are what start-up detected: the rules, and the next
    // stream start, go by them.
    if ((address == 0x10001000 || address == 0x10002000) && v != get(*word_at(address))) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not set sensorType:%u, the sensor is %u", (unsigned)v,
                  (unsigned)get(*word_at(address)));
        return REG_REFUSED;
    }
    switch (address) {
    case 0x100000E8: set_3d_freq_mode(v); return kGoOn;
    case 0x10002068: set_freq_mode(v, kind); return kGoOn;
    case 0x10000074:
        if (work_mode() == 1) return not_now(kWorkModeFreq);
        if (v && kind == E_IMX570 && !one_of(get(tof().freqMode), {1, 3, 6}))
            return refuse("current freqMode not dual,can not enableMultiMachine");
        return kGoOn;
    case 0x10000084:
        // The HDR switch moves the ToF freqMode between its single and HDR forms.
        set(tof().freqMode, mode_after_hdr(v, get(tof().freqMode), kind == E_IMX570));
        return kGoOn;
    case 0x10000054:
        if (kind != E_IMX570) return kGoOn;
        if (v && avoid_algo(algo))
            return refuse("If camera is't stream mode, obstacle avoidance algorithm must be disabled");
        if (work_mode() == 1) return not_now("workMode:1 can not change mode");
        return kGoOn;
    case 0x1000005C:
        if (v == 3) return refuse("can not set location algo");
        if (kind == E_IMX570 && avoid_algo(v)) {
            if (get(common().masterSlaveMode)) return refuse("can not open avoid algo,because trigger is enabled");
            log_info(g_logger, __FUNCTION__, __LINE__, "close user/trig control io,because avoid algo is enabled");
            uint32_t plain = 0;
            sensor_imx570_gpio_control(-1, 2, &plain);
            set(common().outputControlMode, 0u);
        }
        return kGoOn;
    case 0x100000AC:
        if (kind == E_IMX570 && v && avoid_algo(algo))
            return refuse("can not open user/trig control io,because avoid algo is enabled");
        return kGoOn;
    case 0x100000B0:
        return get(common().outputControlMode) == 1 && v <= 3 ? kGoOn : REG_REFUSED;
    case 0x1000102C: {
        // The colour rate drives the ToF rate.
        set(tof().fps, v);
        g_tof_fps.store(v);
        iodev_t* dev = nullptr;
        SensorOpsGuard sensorGuard;
        V4L2SensorInfo* ops = sensor(E_DEVICE_TOF, &dev);
        if (ops && ops->set_fps) ops->set_fps(dev, v);
        return kGoOn;
    }
    case 0x10000088: {
        uint32_t c = cpu();
        if (c == E_CPU_RK3568 || (c == E_CPU_RK3588 && (v & 0xF0u))) v |= 0x70u;
        *value = v & ~1u;
        return kGoOn;
    }
    case 0x10001030:
        if (work_mode() == 1) {
            log_error(g_logger, __FUNCTION__, __LINE__, "workMode:%d can not set rgb binning", (int)work_mode());
            return REG_NOT_IMPLEMENTED;
        }
        return kGoOn;
    case 0x10002094:
        if (work_mode() == 1) {
            log_error(g_logger, __FUNCTION__, __LINE__, "workMode:%d can not set depth calib", (int)work_mode());
            return REG_NOT_IMPLEMENTED;
        }
        if (algo) {
            log_error(g_logger, __FUNCTION__, __LINE__, "can not set calib enableApplationAlgo:%d", (int)algo);
            return REG_NOT_IMPLEMENTED;
        }
        return kGoOn;
    case 0x100020DC: return get(tof().enableAutoExposure) ? kGoOn : REG_REFUSED;
    case 0x100020D8: return kind == E_GPIXEL_0503 && get(tof().freqMode) > 2 ? REG_REFUSED : kGoOn;
    case 0x100010DC: return get(rgb().enableAutoExposure) ? kGoOn : REG_REFUSED;
    case 0x10002014:
    case 0x10002018:
    case 0x1000201C:
    case 0x10002020: return rule_roi(address, v);
    case 0x100020E0:
        // The ToF page's VLD switch drives the colour sensor's VLD line.
        set(tof().vldTemp, v == 0 ? 1u : 0u);
        rgb_vld_enable(v);
        set(tof().vldEnable, v);
        return REG_OK;
    default: return kGoOn;
    }
}

// ---- Stage 3: device actions, apply and store ----

bool enough_space()
{
    uint64 freeMiB = 0;
    get_deviceFreeSpace("/userdata", &freeMiB);
    if (freeMiB >= kSaveFreeMiB) return true;
    log_error(g_logger, __FUNCTION__, __LINE__, "no space in device, can not write file.");
    return false;
}

// Rewrites a block file with the block as it stands (the triggering
// register still holds its previous value). 0, or -1 when not written.
int save_block(const char* path)
{
    RegBlockLock lock;
    deviceCFG copy;
    reg_block_copy_out(&copy);
    if (put_fileAtomic(path, &copy, sizeof(copy)) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", path);
        return -1;
    }
    return 0;
}

void start_stop(uint32_t v)
{
    uint32_t now = now_ms();
    uint32_t since = now - s_lastStartStop.load();
    if (v != 0 && since < kStartGapMs) {
        // Capture needs the gap between a start and the request before it;
        // a host's start handed to the closer thread is answered at once
        // and waits there.
        log_info(g_logger, __FUNCTION__, __LINE__, "need wait %dms", (int)(kStartGapMs - since));
        if (stream_ctrl_handing_over()) stream_ctrl_hold_open(kStartGapMs - since);
        else sleep_ms(kStartGapMs - since);
        g_sdk_start_flags.store(1);
    } else {
        g_sdk_start_flags.store(v != 0 ? 1 : 0);
    }
    s_lastStartStop.store(now);
    Custom_StartOrStopStream(v);
}

void start_task(uint64_t id, void* (*fn)(void*))
{
    if (worker_start(id, fn) != 0) log_error(g_logger, __FUNCTION__, __LINE__, "create worker %llu fail.",
                                             (unsigned long long)id);
}

void apply_can_baudrate(uint32_t* value)
{
    plat_shell("ip link set can0 down");
    if (*value == 0) *value = 250000;
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "ip link set can0 type can bitrate %d", (int)*value);
    plat_shell(cmd);
    log_info(g_logger, __FUNCTION__, __LINE__, "cmdBuf:%s", cmd);
    plat_shell("ip link set can0 up");
}

int apply_and_store(uint32_t address, uint32_t* value, uint32_t* word)
{
    uint32_t page = page_of(address);
    if (page == REG_PAGE_COMMON) {
        if (Custom_DeviceControl(address, value) != 0) return REG_REFUSED;
        uint32_t v = *value;
        if (address == 0x1000005C) {
            // The first-generation detector is not part of this system.
            if (v == 1 || v == 3) {
                log_error(g_logger, __FUNCTION__, __LINE__, "can not set avoid 1");
                return REG_REFUSED;
            }
            store(word, v);
            if (v == 0) set(run().avoidResult, 1000u);
            algo_status_notity(v);
            Custom_AdaptWidthHeigth();
            return REG_OK;
        }
        if (address == 0x1000008C && cpu() == E_CPU_RK3568) {
            apply_can_baudrate(value);
            store(word, *value);
            return REG_OK;
        }
    } else if (page == REG_PAGE_RGB) {
        Custom_RgbControl(address, value);
    } else if (page == REG_PAGE_TOF) {
        Custom_TofControl(address, value);
    }
    store(word, *value);
    return kGoOn;
}

// ---- Stage 4: effects after the store ----

void tof_other_params(uint32_t address, uint32_t v)
{
    iodev_t* dev = nullptr;
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* ops = sensor(E_DEVICE_TOF, &dev);
    if (ops && ops->set_other_params) ops->set_other_params(dev, v, address);
}

void fpga_step()
{
    if (tof_kind() != E_IMX570 || get(run().devLogic) != 1 || get(run().devBoardVersion) != E_BOARD_VERSION_V1_1)
        return;
    for (int i = 0; i < kFpgaAttempts; i++) {
        if (fpga_upgrade() == 0) {
            log_info(g_logger, __FUNCTION__, __LINE__, "fpga update success.");
            return;
        }
        log_error(g_logger, __FUNCTION__, __LINE__, "fpga update fail.");
    }
}

void output_io_mode(uint32_t v)
{
    uint8_t reg = 0;
    i2c_cpld_rw(kCpldOutputIoReg, &reg, 0, 0);
    reg &= 3;
    if (v) reg += 12;
    i2c_cpld_rw(kCpldOutputIoReg, nullptr, reg, 1);
    log_info(g_logger, __FUNCTION__, __LINE__, "set outputIoMode:%d", reg);
}

void log_level(int32_t v)
{
    int level = v < 21 ? LOG_LEVEL_DEBUG : (v <= 40 ? LOG_LEVEL_INFO : LOG_LEVEL_ERR);
    log_set_level(level);
}

void can_io_test(uint32_t v)
{
    if (v != 1000) return;
    if (worker_running(E_WORKER_ID_DEV_CAN_IO_TEST)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "error can't recreat dev_can_io_test_task");
        return;
    }
    start_task(E_WORKER_ID_DEV_CAN_IO_TEST, dev_can_io_test_task);
    log_info(g_logger, __FUNCTION__, __LINE__, "creat dev_can_io_test_task");
}

void rich_radar(uint32_t v)
{
    if (v == 0) {
        worker_halt(E_WORKER_ID_RICH_RECV_TASK);
        log_info(g_logger, __FUNCTION__, __LINE__, "close rich radar");
        return;
    }
    if (worker_running(E_WORKER_ID_RICH_RECV_TASK)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "error can't recreat rich_recv_task");
        // The old receiver holds the relay's socket: the new one may start
        // only once it has gone.
        if (!worker_halt_wait(E_WORKER_ID_RICH_RECV_TASK)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "rich_recv_task did not end");
            return;
        }
    }
    start_task(E_WORKER_ID_RICH_RECV_TASK, rich_recv_task);
    log_info(g_logger, __FUNCTION__, __LINE__, "creat rich_recv_task");
}

int rich_radar_port(uint32_t v)
{
    epcore_t* core = get_pcore();
    iodev_t* gvcp = core ? epcore_iodev_find(core, E_DEVICE_GVCP) : nullptr;
    // The relay takes the destination under its own lock: its sender reads
    // it for every packet.
    if (!gvcp || rich_set_destination(core, gvcp->remote_ip, (uint16_t)v, gvcp->remote_port) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can't find device");
        return REG_REFUSED;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "rich radar udp send to:%s:%d,%d", gvcp->remote_ip, (int)(uint16_t)v,
             gvcp->remote_port);
    return REG_OK;
}

void start_once(uint64_t id, void* (*fn)(void*), const char* name)
{
    if (worker_running(id)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "error can't recreat %s", name);
        return;
    }
    start_task(id, fn);
    log_info(g_logger, __FUNCTION__, __LINE__, "creat %s", name);
}

int apd_calib(uint32_t v)
{
    if (v == 1) {
        start_once(E_WORKER_ID_APD_AUTO_CALIB, apd_auto_calib_task, "apd_auto_calib_task");
        return REG_OK;
    }
    uint8_t status = 0;
    int rc = check_pd_calib_data(reinterpret_cast<uint8*>(const_cast<char*>(APD_CALIB_FILE)));
    if (rc == -1) {
        status = 2;
        log_error(g_logger, __FUNCTION__, __LINE__, "apd calib file data error");
    } else if (rc == 1) {
        status = 1;
        log_info(g_logger, __FUNCTION__, __LINE__, "apd calib file ok");
    } else if (rc == -2) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can't open apd calib file");
    }
    start_once(E_WORKER_ID_APD, apd_task, "apd_task");
    Custom_MemWrite(kApdStatusAddr, &status, 1);
    return status == 1 ? REG_OK : REG_REFUSED;
}

bool resizes(uint32_t address)
{
    return one_of(address, {0x1000003C, 0x10000084, 0x10000088, 0x100000E8, 0x10001030, 0x10002014, 0x10002018,
                            0x1000201C, 0x10002020, 0x10002030, 0x10002068});
}

bool tof_params(uint32_t address)
{
    return one_of(address, {0x10000078, 0x1000007C, 0x10000080, 0x1000009C, 0x100000A8, 0x100000AC, 0x100000B0,
                            0x100000CC, 0x100000E0, 0x100000F4, 0x1000010C, 0x10000110, 0x10007044});
}

bool depth_hook(uint32_t address)
{
    return one_of(address, {0x100000EC, 0x10001030, 0x10001098, 0x10002014, 0x10002018, 0x1000201C, 0x10002020,
                            0x10002030, 0x10002050, 0x10002068, 0x1000206C, 0x10002070, 0x10002084, 0x10002088,
                            0x10002098});
}

// After a frequency write the sensor runs at the stored frequencies: the
// Gpixel programs a pair only on its second frequency, and the IMX570 all
// of its frequencies at once, from the registers.
void frequencies_to_sensor(uint32_t address)
{
    uint32_t kind = tof_kind();
    if (kind == E_IMX570) {
        uint32_t fromRegisters = 0;
        Custom_TofControl(kRegFreqC, &fromRegisters);
        return;
    }
    uint32_t mode = get(tof().freqMode);
    if (kind != E_GPIXEL_0503 || address != kRegFreqA || (mode != 1 && mode != 3)) return;
    iodev_t* dev = nullptr;
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* ops = sensor(E_DEVICE_TOF, &dev);
    if (ops && ops->set_second_freq) ops->set_second_freq(dev, get(tof().groupBFreq));
}

int effects(uint32_t address, uint32_t v)
{
    if (tof_params(address)) tof_other_params(address, v);
    if (address == kRegFreqA || address == kRegFreqB) frequencies_to_sensor(address);
    if (depth_hook(address)) algo_TavoPlus_init();
    int rc = REG_OK;
    switch (address) {
    case 0x10002094:
        set(run().enableDepthCalib, v);
        break;
    case 0x1000001C: set(run().enableRaw, v); break;
    case 0x10000068:
        if (!g_sdk_start_flags.load()) Custom_StartOrStopStream(v ? 1 : 0);
        break;
    case 0x10000054: {
        iodev_t* dev = nullptr;
        SensorOpsGuard sensorGuard;
        V4L2SensorInfo* ops = sensor(E_DEVICE_RGB, &dev);
        if (ops && ops->set_other_params) ops->set_other_params(dev, v, address);
        if (cpu() == E_CPU_RK3568) fpga_step();
        break;
    }
    case 0x10007020:
        if (tof_kind() == E_IMX570) {
            iodev_t* dev = nullptr;
            SensorOpsGuard sensorGuard;
            V4L2SensorInfo* ops = sensor(E_DEVICE_TOF, &dev);
            if (ops && ops->set_background_amp) ops->set_background_amp(dev, v);
        }
        break;
    case 0x100000E4: {
        float f;
        memcpy(&f, &v, sizeof(f));
        log_info(g_logger, __FUNCTION__, __LINE__, "photodiode bias:%f", (double)f);
        break;
    }
    case 0x10000118:
        LED_Control(GPIO_CAN_RS485_SWITCH, v != 0 ? 1 : 0);
        log_info(g_logger, __FUNCTION__, __LINE__, "set canRsSw:%d", (int)v);
        break;
    case 0x10000114: output_io_mode(v); break;
    case 0x10007058:
        algo_TavoPlus_SetMCIlevel((int)v);
        log_info(g_logger, __FUNCTION__, __LINE__, "algo_TavoPlus_SetMCIlevel:%d", (int)v);
        break;
    case 0x1000705C: log_level((int32_t)v); break;
    case 0x10007064: can_io_test(v); break;
    case 0x10007074: rich_radar(v); break;
    case 0x10007078: rc = rich_radar_port(v); break;
    case 0x1000702C:
        if (cpu() == E_CPU_RK3568) rc = apd_calib(v);
        break;
    case 0x10007054:
        if (cpu() != E_CPU_RK3568) break;
        if (v == 1) start_once(E_WORKER_ID_APD_CURRENT_CALIB, apd_get_bias_task, "apd_get_bias_task");
        else worker_halt(E_WORKER_ID_APD_CURRENT_CALIB);
        break;
    default: break;
    }
    if (resizes(address) || address == 0x10002094) Custom_AdaptWidthHeigth();
    return rc;
}

// One field of a loaded block judged by its write rule.
struct LoadCheck {
    const char* name;
    uint32_t address;
    bool (*possible)(const deviceCFG& cfg, uint32_t v, uint32_t tofKind);
};

uint32_t* field(deviceCFG& cfg, uint32_t address) { return block_word(&cfg, address); }

uint32_t field(const deviceCFG& cfg, uint32_t address) { return *block_word(const_cast<deviceCFG*>(&cfg), address); }

bool roi_possible(const deviceCFG& cfg, uint32_t address, uint32_t v)
{
    return roi_fits(address, v, cfg.sensor[DEV_CFG_SENSOR_TOF].info.binningMode);
}

// Only what no sequence of host writes could leave behind counts as damage:
// a rule that depends on a register a later write may change judges
// nothing here. The start-up corrections see to the derived fields.
constexpr LoadCheck kLoadChecks[] = {
    {"freqMode", 0x10002068, [](const deviceCFG&, uint32_t v, uint32_t k) { return freq_mode_possible(v, k); }},
    {"tof fps", 0x1000202C, [](const deviceCFG&, uint32_t v, uint32_t k) { return fps_possible(v, k); }},
    {"rgb fps", 0x1000102C, [](const deviceCFG&, uint32_t v, uint32_t k) { return fps_possible(v, k); }},
    {"enableApplationAlgo", 0x1000005C, [](const deviceCFG&, uint32_t v, uint32_t) { return v != 3; }},
    {"outputSet", 0x100000B0, [](const deviceCFG&, uint32_t v, uint32_t) { return v <= 3; }},
    // The avoidance algorithm closes the output IO and keeps it closed.
    {"outputControlMode", 0x100000AC,
     [](const deviceCFG& c, uint32_t v, uint32_t k) {
         return !(k == E_IMX570 && v && avoid_algo(c.common.enableApplationAlgo));
     }},
    // ROI corners are bound by the binning they were written under; the
    // binning itself has no rule, so it judges them as it stands.
    {"roi_lt_x", 0x10002014, [](const deviceCFG& c, uint32_t v, uint32_t) { return roi_possible(c, 0x10002014, v); }},
    {"roi_lt_y", 0x10002018, [](const deviceCFG& c, uint32_t v, uint32_t) { return roi_possible(c, 0x10002018, v); }},
    {"roi_br_x", 0x1000201C, [](const deviceCFG& c, uint32_t v, uint32_t) { return roi_possible(c, 0x1000201C, v); }},
    {"roi_br_y", 0x10002020, [](const deviceCFG& c, uint32_t v, uint32_t) { return roi_possible(c, 0x10002020, v); }},
};

// The rate the Gpixel's driver lowers to for the block's mode and first
// length, which it writes to the rate registers itself: what host writes of
// those leave behind, not damage.
bool driver_rate(const deviceCFG& cfg, uint32_t address, uint32_t v, uint32_t tofKind)
{
    const SensorInfo& tof = cfg.sensor[DEV_CFG_SENSOR_TOF].info;
    return (address == 0x1000202C || address == 0x1000102C) && tofKind == E_GPIXEL_0503 &&
           !cfg.common.enableMultiMachine && v == sensor_tof_fps_limit(tof.freqMode, tof.nInteA);
}

// The integration lengths the Gpixel's capture raises itself at a restart
// after time-outs, up to the raise over the longest a host may set: its own
// write, which a save keeps.
bool driver_length(uint32_t address, uint32_t v, uint32_t tofKind)
{
    const SettingLimit* limit = sensor_limit(tofKind, address);
    return tofKind == E_GPIXEL_0503 && limit && (address == 0x1000209C || address == 0x100020A0) &&
           v > limit->hi && v - limit->hi <= SENSOR_TOF_RESTART_RAISE;
}

} // namespace

int custom_check_cfg(deviceCFG* cfg, const deviceCFG* defaults, uint32_t tofKind, uint32_t rgbKind, char* names,
                     size_t size)
{
    if (names && size) names[0] = '\0';
    if (!cfg || !defaults) return 0;
    // Judged on the block as loaded: a replacement does not change the
    // verdict on the fields after it.
    const deviceCFG loaded = *cfg;
    int replaced = 0;
    size_t used = 0;
    auto replace = [&](uint32_t address, const char* name) {
        *field(*cfg, address) = field(*defaults, address);
        replaced++;
        if (names && used < size) {
            int n = snprintf(names + used, size - used, "%s%s", replaced > 1 ? ", " : "", name);
            if (n > 0) used += (size_t)n;
        }
    };
    for (const LoadCheck& c : kLoadChecks)
        if (!c.possible(loaded, field(loaded, c.address), tofKind)) replace(c.address, c.name);
    // Values the sensor cannot run at, by the same limits as a host write.
    size_t count = 0;
    const SettingLimit* limits = sensor_limits(tofKind, &count);
    for (size_t i = 0; i < count; i++)
        if (!sensor_limit_holds(&limits[i], field(loaded, limits[i].address)) &&
            !driver_rate(*cfg, limits[i].address, field(loaded, limits[i].address), tofKind) &&
            !driver_length(limits[i].address, field(loaded, limits[i].address), tofKind))
            replace(limits[i].address, limits[i].name);
    // Frequencies the sensor would not run at take the defaults, and so does
    // the setting that refuses those too. Without a frequency table the
    // defaults run no better, and the block stays as it is.
    // A frequency the block's mode leaves unused may be 0, as a host's write
    // leaves it.
    auto freq_ok = [&](const deviceCFG& c) {
        FreqState s{field(c, kRegFreqMode), field(c, kRegPhase), field(c, kRegFreqA), field(c, kRegFreqB),
                    field(c, kRegFreqC), 0};
        const uint32_t f[3] = {s.a, s.b, s.c};
        for (int i = 0; i < freq_mode_uses(tofKind, s.freqMode) && i < 3; i++)
            if (!f[i]) return false;
        return freq_state_runs(tofKind, &s, nullptr, 0) != 0;
    };
    const bool judged = freq_ok(*defaults);
    auto to_defaults = [&](std::initializer_list<std::pair<uint32_t, const char*>> fields) {
        if (!judged || freq_ok(*cfg)) return;
        for (const auto& f : fields)
            if (*field(*cfg, f.first) != field(*defaults, f.first)) replace(f.first, f.second);
    };
    to_defaults({{kRegFreqA, "groupAFreq"}, {kRegFreqB, "groupBFreq"}, {kRegFreqC, "groupCFreq"}});
    to_defaults({{kRegFreqMode, "freqMode"}, {kRegPhase, "phaseOptions"}});
    // And by the colour kind's, on the fields the rules above left as loaded.
    limits = colour_limits(rgbKind, &count);
    for (size_t i = 0; i < count; i++) {
        uint32_t v = field(loaded, limits[i].address);
        if (*field(*cfg, limits[i].address) == v && !sensor_limit_holds(&limits[i], v) &&
            !driver_rate(*cfg, limits[i].address, v, tofKind))
            replace(limits[i].address, limits[i].name);
    }
    return replaced;
}

int Custom_DeviceControl(uint32_t address, uint32_t* value)
{
    if (!value) return -1;
    switch (address) {
    case 0x10000000: start_stop(*value); return 0;
    case 0x10000008: start_task(E_WORKER_ID_REBOOT, REBOOT_Task); return 0;
    case 0x1000000C: start_task(E_WORKER_ID_UPDATE, REBOOT_Task); return 0;
    case 0x10000010: start_task(E_WORKER_ID_RECOVERY, RECOVERY_Task); return 0;
    case 0x10000014:
    case 0x10000018:
        // A save declined for want of space is a failed save.
        if (!enough_space() || Custom_KeepUnreadConfig() != 0) return -1;
        if (save_block(CONFIG_FILE) != 0) return -1;
        Custom_ParamGroup(0);
        return 0;
    case 0x10000040:
        if (!enough_space()) return -1;
        if (save_block(DEFAULT_CONFIG_FILE) != 0) return -1;
        algo_TavoPlus_SaveFilterFile();
        return 0;
    case 0x10000050: return Custom_SensorRegReadWrite(address, value, 1) == REG_OK ? 0 : -1;
    case 0x10000094: return Custom_ParamGroup(*value);
    case 0x100000F0: start_task(E_WORKER_ID_REINIT_PROCESS, ReinitProcess_Task); return 0;
    default: return 0;
    }
}

int Custom_DriverRegWrite(uint32_t address, uint32_t* value)
{
    bool outer = t_driverWrite;
    t_driverWrite = true;
    int rc = Custom_RegWrite(address, value);
    t_driverWrite = outer;
    return rc;
}

int Custom_RegWrite(uint32_t address, uint32_t* value)
{
    if (!value) return REG_REFUSED;
    // The rules name whole words; a write inside one would slip past them.
    if (address & 3u) return misaligned(address);
    int rc = page_rules(address, *value);
    if (rc != kGoOn) return rc;
    uint32_t* word = word_at(address);
    rc = validate(address, value);
    if (rc != kGoOn) return rc;
    rc = apply_and_store(address, value, word);
    if (rc != kGoOn) return rc;
    return effects(address, *value);
}
