// Process start-up of korvid: the fixed start-up order, signal handling,
// the orderly teardown, logging set-up from the board's configuration and
// the TCP 9999 log-level service.
#ifndef KORVID_MAIN_MAIN_H
#define KORVID_MAIN_MAIN_H

#include "eptype.h"

// The process-wide event core made by start-up; null before. Every
// subsystem reaches it through get_pcore().
extern epcore_t* gpcore;
epcore_t* get_pcore(void);

// Board paths of the single-instance lock and of the two user files made at
// start when missing.
#define KORVID_LOCK_FILE     "/tmp/korvid.lock"
#define USER_BIN_FILE        "/userdata/const/user.bin"
#define USER_CUSTOM_BIN_FILE "/userdata/const/user_custom.bin"

// The process: brings the device up, runs the main thread as the second
// event pump until the core's quit flag is set, and tears down. Arguments
// are not used (the board options are taken before). 0 for a normal end, a
// second instance or a lock file that cannot be opened; -1 when the register
// space or the bootstrap block cannot be set up. SIGHUP and SIGTERM are
// taken by a thread of its own while it runs.
int korvid_main(int argc, char** argv);

// What the process does on a signal: SIGHUP is logged; SIGINT and SIGKILL
// stop the pumps and workers so korvid_main tears down; SIGTERM logs the
// stack and ends the process with status 255 (-1); SIGSEGV, reached only
// through a caller that installs it, writes the stack to the log file with
// async-signal-safe calls and ends the same way. Other signals: nothing.
void signal_handler(int sig);

// Called once during the orderly teardown, after every pump and worker has
// gone and before the frame pools are cleaned (tests look at the pools).
void main_set_teardown_observer(void (*observer)(epcore_t* core));

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

// Accepts every connection waiting on a listener of the TCP services (the
// pumps are edge-triggered), each served by cb with vpcore. `prepare` (may be
// null) sets up a connection's own state; the connection is logged and then
// bound to a pump, from which moment it may be served there at any time.
void tcp_accept_all(epcore_t* core, iodev_t* listener, IOHandler* cb, void* vpcore,
                    void (*prepare)(epcore_t* core, iodev_t* conn));

// Reads the level codes waiting on a log-level connection and applies each
// complete one. A receive failure closes the device: -100; otherwise 0.
int modidy_log_level(void* vpcore, void* vobj);

#endif
