// PWM outputs and the one-shot illuminator timer of the triggered cameras.
#include "sensor/sensor_pwm.h"

#include <stdio.h>
#include <unistd.h>

#include <mutex>

#include "common/common.h"
#include "epcore.h"
#include "eptimerfd.h"
#include "iodev.h"
#include "log/logger.h"
#include "platform.h"

void sensor_pwm_cmd(const char* cmd)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "cmdBuf:%s", cmd);
    plat_shell(cmd);
}

namespace {

void chip_cmd(const char* fmt, int chip)
{
    char cmd[128];
    snprintf(cmd, sizeof(cmd), fmt, chip);
    sensor_pwm_cmd(cmd);
}

void chip_value_cmd(const char* fmt, uint32_t value, int chip)
{
    char cmd[128];
    snprintf(cmd, sizeof(cmd), fmt, (int)value, chip);
    sensor_pwm_cmd(cmd);
}

} // namespace

void sensor_pwm_export(int chip)
{
    char polarity[64];
    snprintf(polarity, sizeof(polarity), "/sys/class/pwm/pwmchip%d/pwm0/polarity", chip);
    if (plat_access(polarity, F_OK) == 0) return;
    chip_cmd("echo 0 > /sys/class/pwm/pwmchip%d/export", chip);
}

void sensor_pwm_unexport(int chip) { chip_cmd("echo 0 > /sys/class/pwm/pwmchip%d/unexport", chip); }

void sensor_pwm_enable(int chip, int on)
{
    chip_cmd(on ? "echo 1 > /sys/class/pwm/pwmchip%d/pwm0/enable" : "echo 0 > /sys/class/pwm/pwmchip%d/pwm0/enable",
             chip);
}

uint32_t sensor_pwm_period_ns(uint32_t fps)
{
    if (fps == 0) fps = 1;
    // The narrowing to float is what the trigger timing was measured with.
    return (uint32_t)(float)(1.0 / fps * 1000000000.0);
}

void sensor_pwm_set_period(int chip, uint32_t periodNs)
{
    chip_value_cmd("echo %d > /sys/class/pwm/pwmchip%d/pwm0/period", periodNs, chip);
    chip_cmd("echo normal > /sys/class/pwm/pwmchip%d/pwm0/polarity", chip);
}

uint32_t sensor_pwm_set_rate(int chip, uint32_t fps)
{
    uint32_t period = sensor_pwm_period_ns(fps);
    sensor_pwm_set_period(chip, period);
    return period;
}

uint32_t sensor_pwm_duty_bound(uint32_t want, uint32_t periodNs)
{
    if (periodNs == 0) return 0;
    uint32_t limit = periodNs - SENSOR_PWM_DUTY_MARGIN; // wraps below the margin
    return want < limit ? want : limit;
}

int sensor_pwm_set_duty(int chip, uint32_t want, uint32_t periodNs)
{
    if (periodNs == 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "pwmchip%d: no period set, duty cycle not written", chip);
        return -1;
    }
    chip_value_cmd("echo %d > /sys/class/pwm/pwmchip%d/pwm0/duty_cycle", sensor_pwm_duty_bound(want, periodNs), chip);
    return 0;
}

int sensor_pwm_set_duty_us(int chip, uint32_t timeUs, uint32_t periodNs)
{
    uint32_t ns = timeUs > UINT32_MAX / 1000 ? UINT32_MAX : timeUs * 1000;
    return sensor_pwm_set_duty(chip, ns, periodNs);
}

// ---- A PWM-triggered camera ----

void sensor_pwmcam_set_fps(SensorPwmCamera* cam, uint32_t fps)
{
    cam->period.store(sensor_pwm_set_rate(cam->trigChip, fps));
}

void sensor_pwmcam_vld_set_fps(SensorPwmCamera* cam, uint32_t fps)
{
    cam->period.store(sensor_pwm_set_rate(cam->vldChip, fps));
}

int sensor_pwmcam_set_integration(SensorPwmCamera* cam, uint32_t timeUs)
{
    return sensor_pwm_set_duty_us(cam->trigChip, timeUs, cam->period.load());
}

int sensor_pwmcam_vld_set_integration(SensorPwmCamera* cam, uint32_t timeUs)
{
    return sensor_pwm_set_duty_us(cam->vldChip, timeUs, cam->period.load());
}

// ---- One-shot timer ----

namespace {

std::mutex s_delayMu;
iodev_t*   s_delay = nullptr;       // the armed timer's device
void (*s_action)(void) = nullptr;

// Under s_delayMu.
void close_delay()
{
    if (!s_delay) return;
    stopTimer(s_delay->fd);
    iodev_close(s_delay); // closes the timerfd too
    s_delay = nullptr;
    s_action = nullptr;
}

int on_delay(void* cbpara, void* obj, int event, int fdtype)
{
    (void)cbpara;
    (void)event;
    (void)fdtype;
    std::lock_guard<std::mutex> lk(s_delayMu);
    // An expiry of a timer already cancelled or replaced does nothing.
    if (!s_delay || s_delay != obj) return 0;
    if (s_action) s_action();
    close_delay();
    return 0;
}

} // namespace

int sensor_delay_start(epcore_t* core, int ms, void (*action)(void))
{
    if (!core) return -1;
    std::lock_guard<std::mutex> lk(s_delayMu);
    close_delay();
    int fd = timerCreate();
    if (fd < 0) return -1;
    log_info(g_logger, __FUNCTION__, __LINE__, "delayTime:%d", ms);
    if (startTimer(fd, ms) != 0) {
        close(fd);
        return -1;
    }
    iodev_t* dev = eptimerfd_bind(core, fd, SENSOR_DELAY_DEVICE_ID, nullptr, on_delay, core);
    if (!dev) {
        log_error(g_logger, __FUNCTION__, __LINE__, "timer device %d taken", SENSOR_DELAY_DEVICE_ID);
        close(fd);
        return -1;
    }
    s_delay = dev;
    s_action = action;
    return 0;
}

void sensor_delay_cancel(void)
{
    std::lock_guard<std::mutex> lk(s_delayMu);
    close_delay();
}

void sensor_pwm_release(int trigChip, int vldChip)
{
    sensor_delay_cancel();
    sensor_pwm_enable(trigChip, 0);
    sensor_pwm_unexport(trigChip);
    sensor_pwm_enable(vldChip, 0);
    sensor_pwm_unexport(vldChip);
}
