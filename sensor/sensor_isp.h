// Colour capture through the image signal processor and its 3A library:
// worker 528 hands the processed frames to the colour-processing worker 513.
#ifndef KORVID_SENSOR_SENSOR_ISP_H
#define KORVID_SENSOR_SENSOR_ISP_H

// Body of worker 528 (E_WORKER_ID_ISP); `arg` is the worker_t.
void* sensor_isp_task(void* arg);

#endif
