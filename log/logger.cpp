// Logging wrapper: printf-style calls that build a timed, located message and
// hand it to one of the two asynchronous spdlog loggers ("camera" and
// "camera_runtime"), each writing its own rotating files on the board.
#include "log/logger.h"

#include <limits.h>
#include <unistd.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "mthread.h"
#include "platform.h"

LoggerPtr g_logger = nullptr;
LoggerPtr g_runtime_logger = nullptr;

namespace {

constexpr const char* kPattern = "[%Y-%m-%d %H:%M:%S.%f] %^[%l]%$ [%t] %v";
constexpr size_t kQueueSize = 8292;
constexpr size_t kPoolThreads = 8;
constexpr const char* kMainName = "camera";
constexpr const char* kRuntimeName = "camera_runtime";

// Guards the pools and the kept loggers; logger creation is rare.
CRITICAL_SECTION s_initCS = PTHREAD_MUTEX_INITIALIZER;

// Handles are raw addresses that callers keep; every logger made here is
// also held here, so one replaced or dropped from the registry stays alive
// and a late call through an old handle never reaches freed memory.
std::vector<std::shared_ptr<spdlog::logger>> s_kept;

// One pool per initialisation routine, kept for the life of the process.
// Declared after s_kept so that at exit the pools are joined before the
// loggers their threads were writing through go away.
std::shared_ptr<spdlog::details::thread_pool> s_mainPool;
std::shared_ptr<spdlog::details::thread_pool> s_runtimePool;

struct InitLock {
    InitLock() { EnterCriticalSection(&s_initCS); }
    ~InitLock() { LeaveCriticalSection(&s_initCS); }
    InitLock(const InitLock&) = delete;
    InitLock& operator=(const InitLock&) = delete;
};

// Host path of a board path; false when no board is open or it is too long.
bool host_path(const char* filename, std::string& out)
{
    if (!filename || !*filename) return false;
    char buf[PATH_MAX];
    if (!plat_path(filename, buf, sizeof(buf))) return false;
    out = buf;
    return true;
}

// Drops `name` from the registry; s_kept keeps the object alive.
void retire(const std::string& name)
{
    std::shared_ptr<spdlog::logger> old = spdlog::get(name);
    if (!old) return;
    spdlog::drop(name);
    old->flush();
}

std::shared_ptr<spdlog::details::thread_pool>& pool_for(bool runtime)
{
    auto& pool = runtime ? s_runtimePool : s_mainPool;
    if (!pool) pool = std::make_shared<spdlog::details::thread_pool>(kQueueSize, kPoolThreads);
    return pool;
}

LoggerPtr make_async(const char* name, bool runtime, const char* filename, int fileSize, int fileNum,
                     bool print_screen, spdlog::level::level_enum level, spdlog::level::level_enum flush)
{
    std::string host;
    if (!host_path(filename, host)) {
        fprintf(stderr, "logger %s: no board path for %s\n", name, filename ? filename : "(null)");
        return nullptr;
    }
    try {
        InitLock lock;
        // Open the sink first: a refused size or file leaves the old logger in place.
        std::vector<spdlog::sink_ptr> sinks;
        sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            host, static_cast<size_t>(fileSize < 0 ? 0 : fileSize), static_cast<size_t>(fileNum < 0 ? SIZE_MAX : fileNum),
            false));
        if (print_screen) sinks.push_back(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
        auto logger = std::make_shared<spdlog::async_logger>(name, sinks.begin(), sinks.end(), pool_for(runtime),
                                                             spdlog::async_overflow_policy::overrun_oldest);
        logger->set_pattern(kPattern);
        logger->set_level(level);
        logger->flush_on(flush);
        s_kept.push_back(logger);
        retire(name);
        spdlog::register_logger(logger);
        LoggerPtr handle = logger.get();
        (runtime ? g_runtime_logger : g_logger) = handle;
        return handle;
    } catch (const std::exception& e) {
        fprintf(stderr, "logger %s on %s: %s\n", name, filename, e.what());
    } catch (...) {
        fprintf(stderr, "logger %s on %s: failed\n", name, filename);
    }
    return nullptr;
}

// HH:MM:SS.mmm of local time; localtime_r since every thread logs.
void time_of_day(char* buf, size_t size)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    if (!localtime_r(&ts.tv_sec, &tmv)) memset(&tmv, 0, sizeof(tmv));
    size_t n = strftime(buf, size, "%T", &tmv);
    snprintf(buf + n, size - n, ".%03ld", (ts.tv_nsec / 1000000) % 1000);
}

// Formats the text (cut at LOG_TEXT_MAX characters), prefixes time, function
// and line, and hands it to the logger. Nothing escapes to the caller.
void emit(LoggerPtr handle, spdlog::level::level_enum level, const char* func, long line, const char* format,
          va_list ap)
{
    if (!handle || !format) return;
    auto* logger = static_cast<spdlog::logger*>(handle);
    if (!logger->should_log(level)) return;
    char text[LOG_TEXT_MAX + 1];
    int n = vsnprintf(text, sizeof(text), format, ap);
    if (n < 0) text[0] = '\0';

    char stamp[32];
    time_of_day(stamp, sizeof(stamp));

    try {
        fmt::memory_buffer msg;
        fmt::format_to(std::back_inserter(msg), "[{}] {}[{}] {}", stamp, func ? func : "", line, text);
        logger->log(level, spdlog::string_view_t(msg.data(), msg.size()));
    } catch (...) {
        // A log call never fails its caller.
    }
}

}  // namespace

LogPeerText::LogPeerText(const void* data, size_t len)
{
    static const char kHex[] = "0123456789abcdef";
    const auto* in = static_cast<const unsigned char*>(data);
    size_t out = 0;
    for (size_t i = 0; in && i < len; i++) {
        unsigned char c = in[i];
        char esc[4] = {'\\', 0, 0, 0};
        size_t n = 2;
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            esc[0] = (char)c;
            n = 1;
        } else if (c == '\\') {
            esc[1] = '\\';
        } else if (c == '\n') {
            esc[1] = 'n';
        } else if (c == '\r') {
            esc[1] = 'r';
        } else if (c == '\t') {
            esc[1] = 't';
        } else {
            esc[1] = 'x';
            esc[2] = kHex[c >> 4];
            esc[3] = kHex[c & 0xF];
            n = 4;
        }
        if (out + n > LOG_TEXT_MAX) break;
        memcpy(text_ + out, esc, n);
        out += n;
    }
    text_[out] = '\0';
}

LogPeerText::LogPeerText(const char* text) : LogPeerText(text, text ? strlen(text) : 0) {}

std::string getcurrentTimeStr()
{
    char buf[32];
    time_of_day(buf, sizeof(buf));
    return buf;
}

LoggerPtr cameralog_init(const char* filename, int level, int print_screen, int fileSize, int fileNum)
{
    static constexpr spdlog::level::level_enum kLevels[3] = {spdlog::level::debug, spdlog::level::info,
                                                             spdlog::level::err};
    int idx = level < 0 ? 0 : (level > 2 ? 2 : level);
    return make_async(kMainName, false, filename, fileSize, fileNum, print_screen != 0, kLevels[idx],
                      spdlog::level::info);
}

LoggerPtr cameralog_runtime_init(const char* filename, int fileSize, int fileNum)
{
    return make_async(kRuntimeName, true, filename, fileSize, fileNum, false, spdlog::level::trace,
                      spdlog::level::trace);
}

void log_info(LoggerPtr logger, const char* func, long line, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(logger, spdlog::level::info, func, line, format, ap);
    va_end(ap);
}

void log_debug(LoggerPtr logger, const char* func, long line, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(logger, spdlog::level::debug, func, line, format, ap);
    va_end(ap);
}

void log_trace(LoggerPtr logger, const char* func, long line, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(logger, spdlog::level::trace, func, line, format, ap);
    va_end(ap);
}

void log_error(LoggerPtr logger, const char* func, long line, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(logger, spdlog::level::err, func, line, format, ap);
    va_end(ap);
}

void log_set_level(int level)
{
    if (!g_logger || level < spdlog::level::trace || level > spdlog::level::off) return;
    static_cast<spdlog::logger*>(g_logger)->set_level(static_cast<spdlog::level::level_enum>(level));
}

LoggerPtr create_logger(const char* logger_name, const char* filename)
{
    std::string host;
    if (!logger_name || !*logger_name || !host_path(filename, host)) return nullptr;
    try {
        InitLock lock;
        auto logger = spdlog::basic_logger_mt(logger_name, host, false);
        s_kept.push_back(logger);
        return logger.get();
    } catch (const std::exception& e) {
        fprintf(stderr, "logger %s on %s: %s\n", logger_name, filename, e.what());
    } catch (...) {
    }
    return nullptr;
}

void release_logger(LoggerPtr logger)
{
    if (!logger) return;
    try {
        InitLock lock;
        const std::string name = static_cast<spdlog::logger*>(logger)->name();
        std::shared_ptr<spdlog::logger> reg = spdlog::get(name);
        if (reg && reg.get() == logger) spdlog::drop(name);
    } catch (...) {
    }
}

bool log_settle(int fd, off_t from, const std::vector<std::string>& texts, int ms)
{
    if (fd < 0) return texts.empty();
    std::vector<bool> seen(texts.size(), false);
    size_t missing = texts.size();
    std::string written; // the file beyond `from`
    size_t searched = 0; // how much of it every missing text was looked for in
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (g_logger) {
            try {
                static_cast<spdlog::logger*>(g_logger)->flush();
            } catch (...) {
            }
        }
        char buf[4096];
        ssize_t n;
        while ((n = pread(fd, buf, sizeof(buf), from + (off_t)written.size())) > 0) written.append(buf, (size_t)n);
        for (size_t i = 0; i < texts.size(); i++) {
            if (seen[i]) continue;
            // A text may straddle what was searched and what came since.
            size_t start = searched > texts[i].size() ? searched - texts[i].size() : 0;
            if (written.find(texts[i], start) != std::string::npos) {
                seen[i] = true;
                missing--;
            }
        }
        searched = written.size();
        if (missing == 0) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
