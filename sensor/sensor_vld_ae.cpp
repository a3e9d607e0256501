// Automatic exposure with illuminator switching.
#include "sensor/sensor_vld_ae.h"

#include <math.h>
#include <stdio.h>
#include <stdint.h>

#include "algo/algo_tavo.h"
#include "common/common.h"
#include "common/custom.h"
#include "log/logger.h"
#include "sensor/sensor_pwm.h"
#include "sensor/v4l2_capture.h"

namespace {

constexpr uint32 kRegGain = 0x10001044;
constexpr uint32 kRegTargetBright = 0x100010dc;
constexpr uint32 kRegTargetLevel = 0x100010c8;
constexpr int kSwitchPictures = 5;
constexpr int kTriggerPauseMs = 50;
constexpr int kVldDelayMs = 40;

void vld_chip0_on() { sensor_pwm_enable(0, 1); }
void vld_chip1_on() { sensor_pwm_enable(1, 1); }

void write_exposure(uint32 address, uint32 value)
{
    uint32 v = value;
    Custom_RegWrite(address, &v);
}

} // namespace

void sensor_vld_ae_reset(VldAeState* st)
{
    if (!st) return;
    st->mode = VLD_AE_ON;
    st->count = 0;
    st->firstOn = -1;
    st->firstOff = -1;
}

int sensor_vld_auto_exposure(epcore_t* core, VldAeState* st, const VldAeConfig* cfg, uint8_t* data, uint32_t size,
                             int width, int height)
{
    if (!st || !cfg || !data) return 0;
    const bool off = st->mode == VLD_AE_OFF;
    const uint32 expReg = off ? cfg->offReg : cfg->onReg;
    const float maxExp = off ? cfg->offMax : cfg->onMax;
    const float cur = (float)sensor_reg(expReg);
    (void)sensor_reg(kRegGain);
    uint32 bright = 0;
    if (Custom_RegRead(kRegTargetBright, &bright) != 0) bright = 80;
    const int level = (int)sensor_reg(kRegTargetLevel);
    printf("before shutter_cur:%f maxexpourse:%f\n", cur, maxExp);
    float next = cur, gain = 100.0f;
    if (cfg->mjpeg)
        algo_TavoPlus_AutoExposureMjpeg(data, (int)size, cur, 100.0f, 0.5f, (float)bright, maxExp, 1.0f, 600.0f,
                                        100.0f, &next, &gain, level);
    else
        algo_TavoPlus_AutoExposure(data, width, height, cur, 100.0f, 0.5f, (float)bright, maxExp, 1.0f, 600.0f,
                                   100.0f, &next, &gain, level);
    const float up = ceilf(next);
    const uint32 exposure = up <= 0 ? 0 : (up >= 4294967040.0f ? UINT32_MAX : (uint32)up);
    printf("expourseFloat:%f,expourse:%d shutter_new:%f\n", next, (int)exposure, up);

    if (off) {
        if (up >= maxExp) {
            if (++st->count >= kSwitchPictures) {
                st->mode = VLD_AE_ON;
                st->count = 0;
                (void)sensor_reg(cfg->onReg);
                sensor_pwm_enable(cfg->trigChip, 0);
                wait_ms(kTriggerPauseMs);
                sensor_delay_start(core, kVldDelayMs, cfg->vldChip == 0 ? vld_chip0_on : vld_chip1_on);
                sensor_pwm_enable(cfg->trigChip, 1);
                printf("====open vld===============\n");
                st->firstOn = 1;
                return 1;
            }
        } else {
            st->count = 0;
        }
        if (st->firstOff == 1) st->firstOff = -1;
        else write_exposure(cfg->offReg, exposure);
        return 0;
    }
    if (up <= VLD_AE_FLOOR) {
        // Dark enough without light: count, and leave the exposure alone.
        if (++st->count < kSwitchPictures) return 0;
        sensor_pwm_enable(cfg->vldChip, 0);
        st->mode = VLD_AE_OFF;
        st->count = 0;
        printf("====close vld===============\n");
        st->firstOff = 1;
        return 1;
    }
    st->count = 0;
    if (st->firstOn == 1) st->firstOn = -1;
    else write_exposure(cfg->onReg, exposure);
    return 0;
}
