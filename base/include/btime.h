/* Seconds-plus-milliseconds wall-clock time stamps. */
#ifndef KORVID_BTIME_H
#define KORVID_BTIME_H

#include <stdint.h>

typedef struct BTime_ {
    int64_t s;  /* seconds since the epoch */
    int64_t ms; /* 0..999 after every operation when inputs are non-negative */
} btime_t;

/* Fills `tp` (when given) from the wall clock; returns microseconds since the epoch. */
int64_t btime(btime_t* tp);
void    btime_add(btime_t* tp, const btime_t* tv);
void    btime_add_ms(btime_t* tp, int64_t ms);
void    btime_now_add(btime_t* tp, int64_t ms);
/* tp1 - tp0 */
btime_t btime_diff(const btime_t* tp0, const btime_t* tp1);
int64_t btime_diff_ms(const btime_t* tp0, const btime_t* tp1);
/* Local offset from UTC in whole hours. */
int     current_timezone(void);

#endif
