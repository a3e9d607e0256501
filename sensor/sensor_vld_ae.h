// Automatic exposure of the triggered colour cameras that also switch their
// illuminator: with the illuminator off the exposure may climb to one limit,
// with it on to another; five pictures in a row at the limit switch it on,
// five at the floor switch it off, and the first picture after a switch
// writes no exposure.
#ifndef KORVID_SENSOR_SENSOR_VLD_AE_H
#define KORVID_SENSOR_SENSOR_VLD_AE_H

#include <stdint.h>

#include "eptype.h"

// Illuminator modes.
enum { VLD_AE_ON = 0, VLD_AE_OFF = 1 };

typedef struct tagVldAeConfig {
    uint32_t offReg;   // exposure register while the illuminator is off
    float    offMax;   // its maximum: reaching it counts towards switching on
    uint32_t onReg;    // exposure register while it is on
    float    onMax;
    int      trigChip; // PWM chips of the trigger and the illuminator
    int      vldChip;
    int      mjpeg;    // pictures are JPEG data rather than grey bytes
} VldAeConfig;

typedef struct tagVldAeState {
    int mode;       // VLD_AE_ON at start
    int count;      // consecutive pictures at the switching threshold
    int firstOn;    // 1 until the first picture after switching on, else -1
    int firstOff;   // the same after switching off
} VldAeState;

// Exposure at or below which a lit picture counts towards switching off.
#define VLD_AE_FLOOR 10.0f

void sensor_vld_ae_reset(VldAeState* st);
// One picture (`size` bytes; width x height grey bytes unless mjpeg).
// Returns 1 when it switched the illuminator, else 0.
int sensor_vld_auto_exposure(epcore_t* core, VldAeState* st, const VldAeConfig* cfg, uint8_t* data, uint32_t size,
                             int width, int height);

#endif
