// GigE Vision stream sender: worker 511 turns the frames queued on its data
// list into stream blocks and sends them to the connected hosts.
#ifndef KORVID_GIGE_GVSP_H
#define KORVID_GIGE_GVSP_H

// Body of worker 511 (E_WORKER_ID_GVSP); `arg` is the worker_t.
void* GVSP_Task(void* arg);

#endif
