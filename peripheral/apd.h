// APD (avalanche photodiode) bias: the regulation task, the calibration
// table task, the bias measurement task and the check of a calibration file.
#ifndef KORVID_PERIPHERAL_APD_H
#define KORVID_PERIPHERAL_APD_H

#include "common/common.h"

// Calibration table the register space checks.
#define APD_CALIB_FILE "/userdata/const/Auto_Calib_GainList.csv"

// Worker bodies; `arg` is the worker_t.
void* apd_task(void* arg);            // 530: bias regulation, until stopped
void* apd_auto_calib_task(void* arg); // 531: builds the calibration table, then ends
void* apd_get_bias_task(void* arg);   // 534: bias measurement, until stopped

// Validates an APD calibration CSV file: 1 valid, -1 wrong data, -2 cannot
// be read. Valid: an optional first line of column names, then at least one
// line of two or more numbers, every data line with the same count; blank
// lines are skipped.
int check_pd_calib_data(uint8* path);

#endif
