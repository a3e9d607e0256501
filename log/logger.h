// Logging wrapper: printf-style calls that build a timed, located message and
// hand it to one of the two asynchronous spdlog loggers ("camera" and
// "camera_runtime"), each writing its own rotating files.
#ifndef KORVID_LOG_LOGGER_H
#define KORVID_LOG_LOGGER_H

#include <stddef.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Opaque handle: the address of the library's logger object. The library's
// registry keeps the owning reference, so the handle lives for the process.
typedef void* LoggerPtr;

// Main logger "camera" and run-time logger "camera_runtime"; null until
// spdlog_init has run.
extern LoggerPtr g_logger;
extern LoggerPtr g_runtime_logger;

// Library level numbers.
enum {
    LOG_LEVEL_TRACE = 0,
    LOG_LEVEL_DEBUG = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_WARN = 3,
    LOG_LEVEL_ERR = 4,
    LOG_LEVEL_CRITICAL = 5,
    LOG_LEVEL_OFF = 6,
};

// Longest formatted text of one call; longer output is cut.
#define LOG_TEXT_MAX 2047

LoggerPtr cameralog_init(const char* filename, int level, int print_screen, int fileSize, int fileNum);
LoggerPtr cameralog_runtime_init(const char* filename, int fileSize, int fileNum);

void log_info(LoggerPtr logger, const char* func, long line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void log_debug(LoggerPtr logger, const char* func, long line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void log_trace(LoggerPtr logger, const char* func, long line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void log_error(LoggerPtr logger, const char* func, long line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void log_set_level(int level);

// Bytes a peer sent, fit to stand inside one log line: printable ASCII as it
// is, a backslash doubled, \n \r \t as those two characters and any other
// byte as \xNN, so a host can neither break a line nor forge one in the
// log's own format. Cut at a whole escape when longer than a log line takes.
class LogPeerText {
public:
    LogPeerText(const void* data, size_t len);
    explicit LogPeerText(const char* text); // up to its terminator
    const char* c_str() const { return text_; }

private:
    char text_[LOG_TEXT_MAX + 1];
};

// Flushes the main logger and waits, up to `ms`, until every one of `texts`
// is in the file open on `fd` beyond offset `from`; true once they all are.
// For last words before an end without exit handlers: the pool threads write
// lines in no fixed order, so the last line there says nothing of the others.
bool log_settle(int fd, off_t from, const std::vector<std::string>& texts, int ms);

// Local time of day as HH:MM:SS.mmm.
std::string getcurrentTimeStr();

LoggerPtr create_logger(const char* logger_name, const char* filename);
void release_logger(LoggerPtr logger);

#endif
