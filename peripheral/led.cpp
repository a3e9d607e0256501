// Sysfs GPIO lines driven through shell commands, as on the board, and read
// through their value files.
#include "peripheral/led.h"

#include <stdio.h>
#include <unistd.h>

#include "log/logger.h"
#include "platform.h"
#include "sensor/sensor_imx570.h"

namespace {

void gpio_path(char* buf, size_t size, uint32 gpio, const char* file)
{
    if (file) snprintf(buf, size, "/sys/class/gpio/gpio%u/%s", gpio, file);
    else snprintf(buf, size, "/sys/class/gpio/gpio%u", gpio);
}

int run(const char* fmt, uint32 gpio)
{
    char cmd[128];
    snprintf(cmd, sizeof(cmd), fmt, gpio);
    return plat_shell(cmd);
}

// Exports the line when its directory is missing: the shell's result, or 0
// when nothing was needed.
int export_line(uint32 gpio)
{
    char path[64];
    gpio_path(path, sizeof(path), gpio, nullptr);
    if (plat_access(path, F_OK) == 0) return 0;
    return run("echo %u > /sys/class/gpio/export", gpio);
}

void drive(uint32 gpio, bool high)
{
    export_line(gpio);
    run("echo out > /sys/class/gpio/gpio%u/direction", gpio);
    run(high ? "echo 1 > /sys/class/gpio/gpio%u/value" : "echo 0 > /sys/class/gpio/gpio%u/value", gpio);
}

// First character of the line's value file; -1 when it cannot be opened,
// 0 when it is empty.
int read_value_char(uint32 gpio)
{
    char path[64];
    gpio_path(path, sizeof(path), gpio, "value");
    FILE* f = plat_fopen(path, "r");
    if (!f) return -1;
    int c = fgetc(f);
    fclose(f);
    return c == EOF ? 0 : c;
}

} // namespace

int LED_Control(uint32 gpio, uint32 value)
{
    drive(gpio, value == 1);
    return 0;
}

int GPIO_Control(uint32 gpio, uint32 level)
{
    drive(gpio, level != 0);
    return 0;
}

int LED_GetStatus(uint32 gpio, uint32* value)
{
    export_line(gpio);
    run("echo in > /sys/class/gpio/gpio%u/direction", gpio);
    int c = read_value_char(gpio);
    uint32 v = c >= '0' && c <= '9' ? (uint32)(c - '0') : 0;
    if (value) *value = v;
    return 0;
}

int LED_FastGetStatus_GPIO1_D0(uint32 setup)
{
    if (setup) {
        if (export_line(GPIO_TOF_TRIGGER) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "export gpio %d fail", GPIO_TOF_TRIGGER);
            return -1;
        }
        run("echo in > /sys/class/gpio/gpio%u/direction", GPIO_TOF_TRIGGER);
        return 1;
    }
    int c = read_value_char(GPIO_TOF_TRIGGER);
    if (c < 0) return -1;
    return c == '1' ? 1 : 0;
}

int LED_AvoidIOSettingGet(void)
{
    uint32 lines = 0;
    // Without the line control nothing was read: no selection, rather than
    // the zone that all-low lines would mean.
    if (sensor_imx570_gpio_control(-1, 1, &lines) == 0) return 0;
    return 3 - (int)(lines & 3u);
}
