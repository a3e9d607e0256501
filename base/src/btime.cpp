/* Seconds-plus-milliseconds time stamps. Divisions truncate toward zero. */
#include "btime.h"

#include <sys/time.h>
#include <time.h>

int64_t btime(btime_t* tp)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (tp) {
        tp->s = tv.tv_sec;
        tp->ms = tv.tv_usec / 1000;
    }
    return (int64_t)tv.tv_sec * 1000000 + tv.tv_usec;
}

void btime_add(btime_t* tp, const btime_t* tv)
{
    if (!tp || !tv) return;
    int64_t m = tp->ms + tv->ms;
    tp->s += tv->s + m / 1000;
    tp->ms = m % 1000;
}

void btime_add_ms(btime_t* tp, int64_t ms)
{
    if (!tp) return;
    int64_t m = tp->ms + ms;
    tp->s += m / 1000;
    tp->ms = m % 1000;
}

void btime_now_add(btime_t* tp, int64_t ms)
{
    if (!tp) return;
    struct timeval now;
    gettimeofday(&now, nullptr);
    int64_t m = ms + now.tv_usec / 1000;
    tp->s = now.tv_sec + m / 1000;
    tp->ms = m % 1000;
}

btime_t btime_diff(const btime_t* tp0, const btime_t* tp1)
{
    btime_t d = {0, 0};
    if (!tp0 || !tp1) return d;
    if (tp1->ms >= tp0->ms) {
        d.s = tp1->s - tp0->s;
        d.ms = tp1->ms - tp0->ms;
    } else {
        d.s = tp1->s - tp0->s - 1;
        d.ms = tp1->ms - tp0->ms + 1000;
    }
    return d;
}

int64_t btime_diff_ms(const btime_t* tp0, const btime_t* tp1)
{
    if (!tp0 || !tp1) return 0;
    return (tp1->s - tp0->s) * 1000 + (tp1->ms - tp0->ms);
}

int current_timezone(void)
{
    time_t t = time(nullptr);
    struct tm utc;
    gmtime_r(&t, &utc);
    time_t back = mktime(&utc);
    return (int)((t - back) / 3600);
}
