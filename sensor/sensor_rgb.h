// Colour capture of the camera interface's MIPI stream (colour kind 0):
// worker 501 hands each frame to the colour-processing worker 513.
#ifndef KORVID_SENSOR_SENSOR_RGB_H
#define KORVID_SENSOR_SENSOR_RGB_H

// Body of worker 501 (E_WORKER_ID_RGB_SENSOR); `arg` is the worker_t.
void* sensor_rgb_task(void* arg);

#endif
