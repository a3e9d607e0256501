// IMX570 ToF driver: the capture task (worker 500), its frequency tables,
// and the board-line control behind the sensor's CPLD, which other parts call
// directly (output lines, input lines, trigger line mode).
#ifndef KORVID_SENSOR_SENSOR_IMX570_H
#define KORVID_SENSOR_SENSOR_IMX570_H

#include <stdint.h>

// theSubdevFd other than -1 is remembered as the control descriptor (0).
// With -1: gpioRw 0 sets the output lines to *gpioRwValue, 1 reads the input
// lines into *gpioRwValue, 2 selects trigger-line output (*gpioRwValue
// non-zero) or plain output; these return 1. Without a remembered
// descriptor: "subdevFd error", 0.
uint32_t sensor_imx570_gpio_control(int theSubdevFd, uint32_t gpioRw, uint32_t* gpioRwValue);

// One group of consecutive frequency rows sharing their first value.
typedef struct freqGroupNode {
    uint16_t groupIndex; // row of the group's first line
    uint8_t  num;        // rows in the group
} freqGroupNode;

// The frequency, phase and clock tables of the sensor (one process-wide
// instance).
typedef struct freqAllInfo {
    uint16_t      freqContext[850][4];
    freqGroupNode freqGroup[150];
    uint8_t       phaseAllInfo[50][3];
    uint16_t      imxckAllInfo[300][3];
    int           getPhaseNum;
    int           getImxckNum;
    int           getFreqNum;
} freqAllInfo;

// The tables, loaded on the first call; null when they cannot be loaded.
freqAllInfo* getFrequencyAllInfo(void);
// Releases the tables; null is ignored.
void frequencyAllInfoDeinit(freqAllInfo* info);

// Body of worker 500 (E_WORKER_ID_TOF_SENSOR) for the IMX570; `arg` is the
// worker_t.
void* sensor_imx570_task(void* arg);

#endif
