// Colour capture of the colour-channel camera (colour kind 0): the task of
// worker 501.
#ifndef KORVID_SENSOR_SENSOR_RGB_H
#define KORVID_SENSOR_SENSOR_RGB_H

// Body of worker 501 (colour capture); `vwker` is the worker_t.
void* sensor_rgb_task(void* vwker);

#endif
