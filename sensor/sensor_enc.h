// Hardware video encoder: worker 516 compresses colour frames and hands
// them to the stream path.
#ifndef KORVID_SENSOR_SENSOR_ENC_H
#define KORVID_SENSOR_SENSOR_ENC_H

// Body of worker 516 (E_WORKER_ID_ENC); `arg` is the worker_t.
void* sensor_enc_task(void* arg);

#endif
