/* The base library's trace log: appends formatted diagnostic lines to a plain
 * text file and dumps byte arrays in hex. */
#include "trace.h"

#include <stdarg.h>
#include <string.h>
#include <time.h>

#include "fileop.h"
#include "memory.h"

trlog_t* g_trace_log = nullptr;

trlog_t* trlog_init(const char* logfile, int calcline)
{
    if (!logfile) logfile = "log.txt";
    trlog_t* log = (trlog_t*)kzalloc(sizeof(trlog_t));
    if (!log) return nullptr;
    if (!g_trace_log) g_trace_log = log;
    snprintf(log->logfile, sizeof(log->logfile), "%s", logfile);
    log->logline = calcline ? (int)file_lines(log->logfile) : 0;
    InitializeCriticalSection(&log->logCS);
    log->logfp = fopen(log->logfile, "a+e");
    return log;
}

void trlog_clean(trlog_t* log)
{
    if (!log) log = g_trace_log;
    if (!log) return;
    DeleteCriticalSection(&log->logCS);
    if (log->logfp) {
        fflush(log->logfp);
        fclose(log->logfp);
    }
    if (log == g_trace_log) g_trace_log = nullptr;
    kfree(log);
}

int trlog_line(trlog_t* log) { return log ? log->logline : 0; }

int trlog_rollover(trlog_t* log, int line)
{
    if (!log) return -1;
    EnterCriticalSection(&log->logCS);
    if (log->logfp) {
        fclose(log->logfp);
        log->logfp = nullptr;
    }
    int rc = file_rollover(log->logfile, line);
    if (rc == 0) {
        log->logline -= line;
        if (log->logline < 0) log->logline = 0;
    }
    log->logfp = fopen(log->logfile, "a+e");
    LeaveCriticalSection(&log->logCS);
    return rc;
}

void trlogfile(trlog_t* log, int rectime, const char* file, int line, const char* fmt, ...)
{
    if (!log || !fmt) return;
    EnterCriticalSection(&log->logCS);
    if (log->logfp) {
        if (rectime) {
            time_t now = time(nullptr);
            struct tm tm;
            localtime_r(&now, &tm);
            fprintf(log->logfp, "%04d-%02d-%02d %02d:%02d:%02d ", tm.tm_year + 1900, tm.tm_mon + 1,
                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            if (file) fprintf(log->logfp, "%s:%d ", file, line);
        }
        va_list ap;
        va_start(ap, fmt);
        vfprintf(log->logfp, fmt, ap);
        va_end(ap);
        log->logline++;
        fflush(log->logfp);
    }
    LeaveCriticalSection(&log->logCS);
}

void printOctet(FILE* fp, const void* data, int start, int count, int margin)
{
    if (!fp) return;
    if (data && count >= 1) {
        if (start < 0) start = 0;
        if (margin < 0) margin = 0;
        if (margin > 20) margin = 20;
        char prefix[21];
        memset(prefix, ' ', (size_t)margin);
        prefix[margin] = 0;
        const unsigned char* p = (const unsigned char*)data + start;
        static const char hex[] = "0123456789ABCDEF";
        for (int line = 0; line * 16 < count; line++) {
            /* 16 hex columns, four blanks, 16 printable columns, newline. */
            char body[16 * 3 + 4 + 16 + 2];
            char* o = body;
            int base = line * 16;
            for (int i = 0; i < 16; i++) {
                if (base + i < count) {
                    *o++ = hex[p[base + i] >> 4];
                    *o++ = hex[p[base + i] & 15];
                } else {
                    *o++ = ' ';
                    *o++ = ' ';
                }
                *o++ = ' ';
            }
            memcpy(o, "    ", 4);
            o += 4;
            for (int i = 0; i < 16; i++) {
                if (base + i < count) {
                    unsigned char c = p[base + i];
                    *o++ = (c >= 32 && c <= 126) ? (char)c : '.';
                } else {
                    *o++ = ' ';
                }
            }
            *o++ = '\n';
            *o = 0;
            fprintf(fp, "%s0x%04X   %s", prefix, (unsigned)line, body);
        }
    }
    fflush(fp);
}
