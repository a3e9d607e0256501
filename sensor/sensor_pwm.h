// PWM outputs of the triggered cameras (camera trigger and illuminator),
// driven through the sysfs shell commands, and the one-shot timer that
// switches the illuminator on a moment after the trigger starts.
#ifndef KORVID_SENSOR_SENSOR_PWM_H
#define KORVID_SENSOR_SENSOR_PWM_H

#include <stdint.h>

#include <atomic>

#include "eptype.h"

// Device id under which the one-shot illuminator timer is registered.
#define SENSOR_DELAY_DEVICE_ID 500000000

// Margin a duty cycle keeps below its period, in nanoseconds.
#define SENSOR_PWM_DUTY_MARGIN 100000u

// Runs one PWM shell command, logged as "cmdBuf:%s"; its result is ignored.
void sensor_pwm_cmd(const char* cmd);
// Channel 0 of pwmchip`chip`: exported only when its polarity file is missing.
void sensor_pwm_export(int chip);
void sensor_pwm_unexport(int chip);
void sensor_pwm_enable(int chip, int on);
// Period of `fps` frames per second in ns: computed in double precision,
// narrowed to single precision and truncated (15 gives 66,666,668). A rate
// of 0 counts as 1.
uint32_t sensor_pwm_period_ns(uint32_t fps);
// Writes the period, then the polarity "normal".
void sensor_pwm_set_period(int chip, uint32_t periodNs);
// The period of `fps` written to the chip; returns it.
uint32_t sensor_pwm_set_rate(int chip, uint32_t fps);
// min(want, period - margin) with the subtraction in unsigned 32 bits, so a
// period below the margin leaves `want`. A period of 0 means no rate was
// ever set: there is no bound, and the result is 0 (nothing to write).
uint32_t sensor_pwm_duty_bound(uint32_t want, uint32_t periodNs);
// Writes the duty cycle bounded by the period; -1 without writing when the
// period is 0.
int sensor_pwm_set_duty(int chip, uint32_t want, uint32_t periodNs);
// The same for a time in microseconds (saturating when turned into ns).
int sensor_pwm_set_duty_us(int chip, uint32_t timeUs, uint32_t periodNs);
// Ends a triggered camera's PWM use: the pending illuminator timer is
// cancelled, then trigger and illuminator are each disabled and unexported.
void sensor_pwm_release(int trigChip, int vldChip);

// A camera triggered by one PWM output and lit by another, with the one
// period both duty cycles are bounded by (ns, 0 until a rate is set).
typedef struct tagSensorPwmCamera {
    int trigChip;
    int vldChip;
    std::atomic<uint32_t> period{0};
} SensorPwmCamera;
// Trigger or illuminator rate: the chip's period, which becomes the shared one.
void sensor_pwmcam_set_fps(SensorPwmCamera* cam, uint32_t fps);
void sensor_pwmcam_vld_set_fps(SensorPwmCamera* cam, uint32_t fps);
// Trigger or illuminator duty cycle for `timeUs` microseconds, bounded by
// the shared period.
int sensor_pwmcam_set_integration(SensorPwmCamera* cam, uint32_t timeUs);
int sensor_pwmcam_vld_set_integration(SensorPwmCamera* cam, uint32_t timeUs);

// Starts the one-shot timer: `ms` after now, `action` runs once on a pump
// thread and the timer closes itself. Logs "delayTime:%d". One timer at a
// time (it has a fixed id). 0, or -1 when no timer can be had.
int  sensor_delay_start(epcore_t* core, int ms, void (*action)(void));
// Closes the timer when it has not fired yet, so a task that ends early
// leaves no action behind.
void sensor_delay_cancel(void);

#endif
