// IMX570 ToF driver: the board-line control behind the sensor's CPLD, which
// other parts call directly (output lines, input lines, trigger line mode),
// and the capture task.
#ifndef KORVID_SENSOR_SENSOR_IMX570_H
#define KORVID_SENSOR_SENSOR_IMX570_H

#include <stdint.h>

// theSubdevFd other than -1 is remembered as the control descriptor (0).
// With -1: gpioRw 0 sets the output lines to *gpioRwValue, 1 reads the input
// lines into *gpioRwValue, 2 selects trigger-line output (*gpioRwValue
// non-zero) or plain output; these return 1. Without a remembered
// descriptor: "subdevFd error", 0.
uint32_t sensor_imx570_gpio_control(int theSubdevFd, uint32_t gpioRw, uint32_t* gpioRwValue);

// Body of worker 500 (ToF capture) for sensor kind 300; `vwker` is the
// worker_t.
void* sensor_imx570_task(void* vwker);

#endif
