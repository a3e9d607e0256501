// ST VD55H1 ToF sensor driver: worker 500 sets the sensor up and captures
// raw frames for depth processing.
#ifndef KORVID_SENSOR_SENSOR_VD55H1_H
#define KORVID_SENSOR_SENSOR_VD55H1_H

// Body of worker 500 (E_WORKER_ID_TOF_SENSOR); `arg` is the worker_t.
void* sensor_vd55h1_task(void* arg);

#endif
