// Hardware encoder: the task of worker 516, which compresses the camera
// pictures queued on its list.
#ifndef KORVID_SENSOR_SENSOR_ENC_H
#define KORVID_SENSOR_SENSOR_ENC_H

// Body of worker 516 (encoder); `vwker` is the worker_t.
void* sensor_enc_task(void* vwker);

#endif
