// Process start-up of korvid: logging set-up from the board's
// configuration and the TCP 9999 log-level service.
#ifndef KORVID_MAIN_MAIN_H
#define KORVID_MAIN_MAIN_H

#include "eptype.h"

// The process-wide event core made by start-up; null before. Every
// subsystem reaches it through get_pcore().
extern epcore_t* gpcore;
epcore_t* get_pcore(void);

// Board path of the logging configuration.
#define SPDLOG_CONF_FILE "/etc/spdlog.conf"
// Port of the log-level service.
#define LOG_LEVEL_PORT 9999

// Level codes a host sends to the log-level service.
enum {
    LOG_CODE_DEBUG = 20,
    LOG_CODE_INFO = 40,
    LOG_CODE_ERROR = 60,
};

// Creates the main and run-time loggers from SPDLOG_CONF_FILE (built-in
// values for a missing file and for each missing or unusable key).
void spdlog_init(void);

// IOHandler of the log-level listener and of the connections it accepts;
// vpcore is the event core.
int tcp_log_level(void* vpcore, void* vobj, int event, int fdtype);

// Reads the level codes waiting on a log-level connection and applies each
// complete one. A receive failure closes the device: -100; otherwise 0.
int modidy_log_level(void* vpcore, void* vobj);

#endif
