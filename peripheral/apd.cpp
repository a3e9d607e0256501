// APD bias tasks. The regulation and calibration procedures belong to the
// peripherals work that follows; these tasks keep the lifecycle their
// starters rely on: 530 and 534 run until stopped (worker_stop or the core's
// quit), 531 does its one pass and ends.
#include "peripheral/apd.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "epcore.h"
#include "log/logger.h"
#include "platform.h"
#include "worker.h"

namespace {

constexpr int kPollMs = 20;
// Longest line a calibration file may have.
constexpr size_t kLineMax = 1024;

// Number of comma-separated numbers on the line, -1 when a field is not a
// finite number, 0 for a blank line.
int count_numbers(char* line)
{
    char* p = line;
    while (isspace((unsigned char)*p)) p++;
    if (*p == '\0') return 0;
    int n = 0;
    for (;;) {
        errno = 0;
        char* end = nullptr;
        double v = strtod(p, &end);
        if (end == p || errno == ERANGE || !isfinite(v)) return -1;
        n++;
        p = end;
        while (*p == ' ' || *p == '\t') p++;
        if (*p == ',') {
            p++;
            continue;
        }
        while (isspace((unsigned char)*p)) p++;
        return *p == '\0' ? n : -1;
    }
}

// The tasks' common life: 530 and 534 wait until stopped, 531 ends at once.
void* apd_worker(void* arg, const char* name, const char* what, bool untilStopped)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name(name);
    log_info(g_logger, __FUNCTION__, __LINE__, "start %s", what);
    while (untilStopped && !wk->quit.load() && !wk->epcore->quit.load()) event_wait(wk->ioevent, kPollMs);
    log_info(g_logger, __FUNCTION__, __LINE__, "end %s", what);
    worker_destory(wk);
    return nullptr;
}

} // namespace

void* apd_task(void* arg) { return apd_worker(arg, "apd", "apd task", true); }
void* apd_auto_calib_task(void* arg) { return apd_worker(arg, "apd calib", "apd auto calib", false); }
void* apd_get_bias_task(void* arg) { return apd_worker(arg, "apd bias", "apd bias task", true); }

int check_pd_calib_data(uint8* path)
{
    if (!path) return -2;
    FILE* f = plat_fopen(reinterpret_cast<const char*>(path), "r");
    if (!f) return -2;
    char line[kLineMax];
    int fields = 0;  // per data line, once known
    int data = 0;
    bool first = true;
    int rc = 1;
    while (fgets(line, sizeof(line), f)) {
        if (!strchr(line, '\n') && !feof(f)) {
            rc = -1;  // over-long line
            break;
        }
        int n = count_numbers(line);
        if (n == 0) continue;
        if (n < 0 && first) {
            first = false;  // column names
            continue;
        }
        first = false;
        if (n < 2 || (fields && n != fields)) {
            rc = -1;
            break;
        }
        fields = n;
        data++;
    }
    if (rc == 1 && ferror(f)) rc = -2;
    fclose(f);
    if (rc == 1 && data == 0) rc = -1;
    return rc;
}
