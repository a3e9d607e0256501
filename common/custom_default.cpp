// Built-in register block by sensor kinds and CPU type, and the corrections
// every start applies to whatever block was loaded.
#include "common/custom_default.h"

#include <string.h>

#include <initializer_list>

#include "common/json_parse.h"

namespace {

constexpr uint32 kFeatureBits = 0x70;  // the feature capability bits an algorithm-capable board offers
constexpr uint32 kMicroSpanMin = 6500, kMicroSpanMax = 7000, kMicroSpanDefault = 6940;

bool in(uint32 v, std::initializer_list<uint32> set)
{
    for (uint32 s : set)
        if (v == s) return true;
    return false;
}

void default_common(CommonCfg& c, uint32 tofKind)
{
    c.ipConfigStatus = 0;
    c.enableAmp = 1;
    c.enableDepth = 1;
    c.enableRgb = 1;
    c.pixelFormat = 0x01100005;
    c.payloadSize = 22118400;
    c.width = 640;
    c.heigth = 480;
    c.rgb2depth = 0;
    c.cameraRgbEncType = E_CAMERA_RGB_ENC_JPEG;
    c.modbusAddress = 23;
    c.bindingRatio = 80;
    c.canBaudrate = 250000;
    c.tofAutoExposureMax = 2000;
    c.tofAutoExposureMin = 10;
    c.canNodeid = 18;
    if (tofKind == E_IMX570) {
        c.highthr = 2000;
        c.microFrameSpan = kMicroSpanDefault;
    }
    if (tofKind == E_GPIXEL_0503) c.phaseOptions = 2;
}

// Colour page: the ISP sensor (kind 3) has its own size and rate; every
// other colour sensor starts from the monochrome sensor's values.
void default_rgb(SensorInfo& s, uint32 kind, uint32 cpuType)
{
    bool isp = kind == E_SMARTSENS_SC230AI;
    s.sensorType = kind;
    s.width = s.maxWidth = isp ? 1920 : 1280;
    s.heigth = s.maxHeigth = isp ? 1080 : 960;
    s.pixelFormat = 0x01100003;
    s.fps = isp ? 24 : 0;
    s.binningMode = E_BINNING_NONE;
    s.hfilp = s.vfilp = isp ? 0 : 1;
    s.a_gain = 100;
    s.groupCFreq = 13000;
    s.exposureTimeMax0 = 1452603;
    s.exposureTimeMin0 = 0;
    s.enableUndistort = 0;
    s.enableDdistaneZ = 0;
    if (isp) {
        uint32 mode = 0;
        get_exporse_mode(&mode, (int)cpuType);
        s.enableAutoExposure = mode;
    }
}

// ToF page: the VD55H1 (200) and IMX570 (300) have their own columns; every
// other kind starts from the Gpixel sensor's values.
void default_tof(SensorInfo& s, uint32 kind, uint32 cpuType)
{
    bool imx = kind == E_IMX570, vd = kind == E_VD55H1, rk3588 = cpuType == E_CPU_RK3588;
    s.sensorType = kind;
    s.width = 640;
    s.heigth = 480;
    s.maxWidth = imx || vd ? 640 : 1920;
    s.maxHeigth = imx && rk3588 ? 7680 : 5760;
    s.pixelFormat = 0x01100005;
    s.HDRMode = 0;
    s.fps = vd ? 30 : (imx && !rk3588 ? 15 : 24);
    s.binningMode = E_BINNING_NONE;
    s.vfilp = 1;
    s.a_gain = 10;
    s.groupCFreq = kind == E_GPIXEL_0503 ? 0 : 48;
    s.exposureTimeMax0 = 200000;
    s.exposureTimeMin0 = 1;
    s.exposureTime1 = 120;
    s.nInteC = 200;
    s.exposureTimeMin1 = 1;
    s.freqMode = imx && !rk3588 ? 5 : 3;
    s.groupAFreq = imx ? (rk3588 ? 100 : 120) : (vd ? 120 : 96);
    s.groupBFreq = imx ? (rk3588 ? 15 : 20) : (vd ? 20 : 60);
    s.min_amp = 50;
    s.max_amp = 1600;
    s.nInteA = 800;
    s.nInteB = 400;
    s.nPulseH = 600;
    s.nPulseL = 180;
    s.maximum_depth = 5000;
    s.enableAutoExposure = imx || cpuType == E_CPU_RK3576 ? 1 : 0;
}

// HDR switch and multi-machine operation of the IMX570 follow its frequency
// mode; its micro-frame span must stay inside what the FPGA timing allows.
void imx570_frequency(CommonCfg& c, const SensorInfo& tof)
{
    uint32 fm = tof.freqMode;
    if (in(fm, {2, 3, 6})) {
        c.tripleFreqHdr = 1;
        if (!in(fm, {3, 6})) c.enableMultiMachine = 0;
    } else {
        c.tripleFreqHdr = 0;
        if (fm != 1) c.enableMultiMachine = 0;
    }
    if (c.microFrameSpan < kMicroSpanMin || c.microFrameSpan > kMicroSpanMax) c.microFrameSpan = kMicroSpanDefault;
}

// The largest raw block a ToF sensor kind sends: the VD55H1 frame of 1344 x
// 9656 samples, the IMX570 three groups of four 640 x 480 phases, the Gpixel
// two exposures of 1920 x 2880 (the stored default).
uint32 largest_raw_block(uint32 tofKind)
{
    switch (tofKind) {
    case E_VD55H1: return 1344u * 9656u * 2u;
    case E_IMX570: return 640u * 480u * 2u * 12u;
    default:       return 1920u * 2880u * 4u;
    }
}

void other_tof_frequency(CommonCfg& c, SensorInfo& tof)
{
    c.tripleFreqHdr = in(tof.freqMode, {2, 3}) ? 1 : 0;
    tof.enableAutoExposure = 0;
}

void rk3588_rules(CommonCfg& c, SensorInfo& tof, deviceRegMemAddr& run)
{
    if (c.configFeatureCapability & 0xF0) c.configFeatureCapability |= kFeatureBits;
    if (tof.sensorType != E_IMX570) {
        other_tof_frequency(c, tof);
        return;
    }
    run.avoidTmpParam = 0xFFFF;
    if (c.masterSlaveMode != 2) {
        // Only the second-generation avoidance runs on this board, and it
        // leaves no room for the feature capabilities.
        if (c.enableApplationAlgo == 1) c.enableApplationAlgo = 4;
        if (c.enableApplationAlgo != 0) c.configFeatureCapability = 0;
    } else {
        c.enableApplationAlgo = 0;
    }
    imx570_frequency(c, tof);
}

void rk3568_rules(CommonCfg& c, SensorInfo& tof, deviceRegMemAddr& run, uint32 boardVersion)
{
    if (tof.sensorType != E_IMX570) {
        c.configFeatureCapability |= kFeatureBits;
        other_tof_frequency(c, tof);
    } else {
        run.avoidTmpParam = 0xFFFF;
        if (c.masterSlaveMode != 2) {
            if (c.enableApplationAlgo == 1) c.enableApplationAlgo = 4;
            if (c.enableApplationAlgo == 4) {
                // With avoidance on, the capability word holds exactly the
                // feature bits (bit 7 and bits above 8 are kept).
                if ((c.configFeatureCapability & 0x17F) != kFeatureBits) c.configFeatureCapability = kFeatureBits;
                else c.configFeatureCapability |= kFeatureBits;
            } else {
                c.configFeatureCapability |= kFeatureBits;
            }
        } else {
            c.configFeatureCapability |= kFeatureBits;
            c.enableApplationAlgo = 0;
        }
        imx570_frequency(c, tof);
    }
    run.devBoardVersion = boardVersion;
}

} // namespace

void custom_default_cfg(deviceCFG* cfg, uint32 rgbKind, uint32 tofKind, uint32 cpuType)
{
    if (!cfg) return;
    memset(cfg, 0, sizeof(*cfg));
    default_common(cfg->common, tofKind);
    default_rgb(cfg->sensor[DEV_CFG_SENSOR_RGB].info, rgbKind, cpuType);
    default_tof(cfg->sensor[DEV_CFG_SENSOR_TOF].info, tofKind, cpuType);
}

void custom_fix_cfg(deviceCFG* cfg, deviceRegMemAddr* run, const HardwareFacts* hw)
{
    if (!cfg || !run || !hw) return;
    CommonCfg& c = cfg->common;
    SensorInfo& rgb = cfg->sensor[DEV_CFG_SENSOR_RGB].info;
    SensorInfo& tof = cfg->sensor[DEV_CFG_SENSOR_TOF].info;

    rgb.sensorType = hw->rgbKind;
    c.hardWareCheck = hw->hwCheck;
    tof.sensorType = hw->tofKind;

    if (hw->cpuType == E_CPU_RK3588) rk3588_rules(c, tof, *run);
    else if (hw->cpuType == E_CPU_RK3568) rk3568_rules(c, tof, *run, hw->boardVersion);

    uint32 fm = tof.freqMode;
    c._3DFreqMode = in(fm, {0, 2}) ? 0 : (in(fm, {1, 3}) ? 1 : 2);
    c.configFeatureCapability &= ~1u;

    run->cameraRgbEncType = E_CAMERA_RGB_ENC_JPEG;
    run->avoidResult = 1000;

    if (!c.tofAutoExposureMax) c.tofAutoExposureMax = 2000;
    if (!c.tofAutoExposureMin) c.tofAutoExposureMin = 10;
    if (!tof.targetBrightLevel) tof.targetBrightLevel = 500;
    if (!c.canBaudrate) c.canBaudrate = 250000;
    if (!c.canNodeid) c.canNodeid = 18;
    if (!c.modbusAddress) c.modbusAddress = 23;
    if (hw->tofKind == E_GPIXEL_0503) c.phaseOptions = 2;
    // Hosts size their frame buffers by it: a block larger than it is cut.
    if (c.payloadSize < largest_raw_block(hw->tofKind)) c.payloadSize = largest_raw_block(hw->tofKind);

    // Every start presents the device as one model, whatever the sensors.
    run->cameraType = E_CAMERA_DelvoPlus;
}
