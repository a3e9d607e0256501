// Gpixel 0503 ToF sensor driver: worker 500 opens the sensor, configures it
// from the ToF register page and captures raw frames for depth processing.
#ifndef KORVID_SENSOR_SENSOR_RAW_H
#define KORVID_SENSOR_SENSOR_RAW_H

// Body of worker 500 (E_WORKER_ID_TOF_SENSOR); `arg` is the worker_t.
void* sensor_tof_task(void* arg);

#endif
