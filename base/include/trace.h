/* The base library's own diagnostic log: a plain text file that library code
 * appends formatted lines to, plus a hex dump of byte arrays.
 *
 * Library code writes through the process-wide log g_trace_log; while nobody
 * has opened one, those calls return at once and write nothing. */
#ifndef KORVID_TRACE_H
#define KORVID_TRACE_H

#include <stdio.h>

#include "mthread.h"

typedef struct trlog_s {
    char             logfile[128];
    FILE*            logfp;   /* opened "a+"; NULL when the open failed */
    int              logline; /* lines written (or counted at open) */
    CRITICAL_SECTION logCS;
} trlog_t;

/* Set by the first trlog_init, cleared when that log is cleaned. */
extern trlog_t* g_trace_log;

trlog_t* trlog_init(const char* logfile, int calcline); /* NULL name: "log.txt" */
void     trlog_clean(trlog_t* log);                     /* NULL: g_trace_log */
int      trlog_line(trlog_t* log);
int      trlog_rollover(trlog_t* log, int line);        /* file_rollover's result; -1 NULL */

/* Appends one entry; with rectime, the local time and (when file is given)
 * "file:line " come first. The format supplies any line end. */
void trlogfile(trlog_t* log, int rectime, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

/* Hex dump of count bytes from data + start, 16 per line, margin spaces (0..20)
 * before each line; flushes the stream. */
void printOctet(FILE* fp, const void* data, int start, int count, int margin);

#endif
