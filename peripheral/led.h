// Output and input lines through sysfs GPIO: status and illuminator LEDs,
// the RS-485 direction line, the ToF trigger line, board code lines and the
// obstacle-avoidance selection inputs.
#ifndef KORVID_PERIPHERAL_LED_H
#define KORVID_PERIPHERAL_LED_H

#include "common/common.h"

// Lines the device drives.
#define GPIO_CAN_RS485_SWITCH 4
#define GPIO_TOF_TRIGGER      56   // GPIO1_D0
#define GPIO_STATUS_LED       60
#define GPIO_WATCHDOG_LED     92
#define GPIO_USB_CAM_SUPPLY   105
#define GPIO_ILLUMINATOR      138  // also the RS-485 transceiver direction

// Drives line `gpio` as an output: exported when missing, direction out,
// then 1 when value is 1, else 0. Each step is a shell command. Returns 0.
int LED_Control(uint32 gpio, uint32 value);
// The same for any line: 1 for a non-zero level, else 0. Returns 0.
int GPIO_Control(uint32 gpio, uint32 level);
// Reads line `gpio` as an input into *value (0 or 1; 0 when unreadable).
// Returns 0.
int LED_GetStatus(uint32 gpio, uint32* value);
// setup non-zero: prepares GPIO 56 as an input (1; -1 when the export
// fails). setup 0: 1 when the line reads 1, 0 otherwise, -1 when its value
// file cannot be opened.
int LED_FastGetStatus_GPIO1_D0(uint32 setup);
// The avoidance zone chosen on the selection input lines: 3 minus the lines
// read, so 0 means no selection (also when the lines cannot be read).
int LED_AvoidIOSettingGet(void);

#endif
