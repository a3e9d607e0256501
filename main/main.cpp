// Process start-up of korvid: the two loggers set up from the board's
// logging configuration, and the TCP 9999 service through which a host
// changes the main logger's level.
#include "main/main.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "confile.h"
#include "epcore.h"
#include "eptcp.h"
#include "evpump.h"
#include "iodev.h"
#include "log/logger.h"
#include "platform.h"
#include "tsock.h"
#include "worker.h"

namespace {

// Built-in values, used for a missing file and for each unusable key.
constexpr const char* kMainFile = "/var/log/camera.log";
constexpr const char* kRuntimeFile = "/var/log/camera_runtime.log";
constexpr int kDefaultSizeMiB = 20;
constexpr int kDefaultFiles = 10;
// The size in bytes must stay a positive 32-bit value; the rotating sink
// refuses more than 200000 files.
constexpr int kMaxSizeMiB = (INT_MAX >> 20);
constexpr int kMaxFiles = 200000;

// Decimal or "0x" hexadecimal, the whole text; false for anything else.
bool parse_int(const char* text, long* out)
{
    if (!text || !*text) return false;
    int base = 10;
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!*p) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(p, &end, base);
    if (errno || !end || *end) return false;
    *out = v;
    return true;
}

struct LogFileConf {
    const char* name;
    int sizeMiB;
    int files;
};

// One section's settings, each key checked on its own.
LogFileConf read_section(ConfMgmt* conf, const char* sect, const char* defName, char (*notes)[160], int* nnotes)
{
    LogFileConf c{defName, kDefaultSizeMiB, kDefaultFiles};
    auto note = [&](const char* key, const char* value) {
        if (*nnotes < 6)
            snprintf(notes[(*nnotes)++], sizeof(notes[0]), "%s %s: unusable value \"%s\", built-in value used", sect,
                     key, value ? value : "(missing)");
    };

    const char* name = conf_get_string(conf, sect, "FILE_NAME");
    if (name && *name) c.name = name;
    else note("FILE_NAME", name);

    const char* sz = conf_get_string(conf, sect, "FILE_SIZE");
    long v;
    if (parse_int(sz, &v) && v >= 1 && v <= kMaxSizeMiB) c.sizeMiB = (int)v;
    else note("FILE_SIZE", sz);

    const char* num = conf_get_string(conf, sect, "ROTATE_NUM");
    if (parse_int(num, &v) && v >= 0 && v <= kMaxFiles) c.files = (int)v;
    else note("ROTATE_NUM", num);
    return c;
}

// Little-endian 32-bit code from four received bytes.
int32_t code_of(const uint8_t b[4])
{
    uint32_t u = (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
    int32_t v;
    memcpy(&v, &u, sizeof v);
    return v;
}

void apply_level_code(int32_t code)
{
    log_info(g_logger, __func__, __LINE__, "log_level:%d", code);
    switch (code) {
    case LOG_CODE_DEBUG: log_set_level(LOG_LEVEL_DEBUG); break;
    case LOG_CODE_INFO: log_set_level(LOG_LEVEL_INFO); break;
    case LOG_CODE_ERROR: log_set_level(LOG_LEVEL_ERR); break;
    case 80:
    case 100:
    case 120: break;
    default: log_error(g_logger, __func__, __LINE__, "not match log level:%d", code); break;
    }
}

// Bytes of an unfinished code, kept between reads in the connection's `para`
// as a value (count in the low byte, the bytes above it) rather than a heap
// record: nothing to release when the device closes, whoever closes it.
static_assert(sizeof(uintptr_t) >= 4, "three bytes and a count must fit a pointer");

void pending_load(iodev_t* dev, uint8_t code[4], int* have)
{
    uintptr_t v = (uintptr_t)iodev_para(dev);
    *have = (int)(v & 0xFF);
    if (*have > 3) *have = 0;
    for (int i = 0; i < *have; i++) code[i] = (uint8_t)(v >> (8 * (i + 1)));
}

void pending_store(iodev_t* dev, const uint8_t code[4], int have)
{
    uintptr_t v = (uintptr_t)have;
    for (int i = 0; i < have; i++) v |= (uintptr_t)code[i] << (8 * (i + 1));
    iodev_para_set(dev, (void*)v);
}

} // namespace

epcore_t* gpcore = nullptr;

epcore_t* get_pcore(void) { return gpcore; }

void spdlog_init(void)
{
    char host[PATH_MAX];
    ConfMgmt* conf = plat_path(SPDLOG_CONF_FILE, host, sizeof(host)) ? conf_mgmt_init(host) : nullptr;
    if (!conf) {
        cameralog_init(kMainFile, 1, 0, kDefaultSizeMiB << 20, kDefaultFiles);
        cameralog_runtime_init(kRuntimeFile, kDefaultSizeMiB << 20, kDefaultFiles);
        return;
    }

    char notes[6][160];
    int nnotes = 0;
    LogFileConf mc = read_section(conf, "SPDLOG", kMainFile, notes, &nnotes);
    printf("filename:%s, fileSize:%d, fileNum:%d\n", mc.name, mc.sizeMiB << 20, mc.files);
    if (!cameralog_init(mc.name, 1, 0, mc.sizeMiB << 20, mc.files) && mc.name != kMainFile) {
        // The configured file cannot be written: keep logging to the built-in one.
        if (nnotes < 6)
            snprintf(notes[nnotes++], sizeof(notes[0]), "SPDLOG FILE_NAME: cannot log to \"%s\", built-in file used",
                     mc.name);
        cameralog_init(kMainFile, 1, 0, mc.sizeMiB << 20, mc.files);
    }

    LogFileConf rc = read_section(conf, "SPDLOG_RUNTIME", kRuntimeFile, notes, &nnotes);
    printf("filename:%s, fileSize:%d, fileNum:%d\n", rc.name, rc.sizeMiB << 20, rc.files);
    if (!cameralog_runtime_init(rc.name, rc.sizeMiB << 20, rc.files) && rc.name != kRuntimeFile) {
        if (nnotes < 6)
            snprintf(notes[nnotes++], sizeof(notes[0]),
                     "SPDLOG_RUNTIME FILE_NAME: cannot log to \"%s\", built-in file used", rc.name);
        cameralog_runtime_init(kRuntimeFile, rc.sizeMiB << 20, rc.files);
    }
    conf_mgmt_cleanup(conf);

    for (int i = 0; i < nnotes; i++) log_error(g_logger, __func__, __LINE__, "%s", notes[i]);
}

int modidy_log_level(void* vpcore, void* vobj)
{
    (void)vpcore;
    iodev_t* dev = static_cast<iodev_t*>(vobj);
    if (!dev) return -1;

    uint8_t code[4];
    int have;
    pending_load(dev, code, &have);

    // Reads are edge-triggered: take everything waiting, so codes sent back
    // to back are all applied now and a code split across sends is completed
    // by a later read.
    uint8_t buf[256];
    for (;;) {
        int got = 0;
        int ret = tcp_nb_recv(iodev_fd(dev), buf, sizeof(buf), &got);
        for (int i = 0; i < got; i++) {
            code[have++] = buf[i];
            if (have == 4) {
                apply_level_code(code_of(code));
                have = 0;
            }
        }
        if (ret < 0) {
            iodev_close(dev);
            return -100;
        }
        if (ret == 0) break;
    }
    pending_store(dev, code, have);
    return 0;
}

int tcp_log_level(void* vpcore, void* vobj, int event, int fdtype)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    iodev_t* dev = static_cast<iodev_t*>(vobj);

    switch (event) {
    case EVT_ACCEPT: {
        if (fdtype != IODEV_TCP_LISTEN) return -1;
        if (!core || !dev) return -1;
        // The event is handled on the pump that saw it: the listener's pump.
        evpump_t* lpump = evpump_thread_self(core);
        unsigned long lpumpid = lpump ? (unsigned long)lpump->threadid : 0;
        worker_t* wk = worker_thread_self(core);
        unsigned long wkid = wk ? (unsigned long)wk->workerid : 0;
        for (;;) {
            int ret = 0;
            // Bound only after its details are taken: once on a pump, the
            // connection may be served and closed there at any moment.
            iodev_t* ndev = eptcp_accept(core, dev, nullptr, &ret, tcp_log_level, vpcore, BIND_NONE);
            if (!ndev) {
                if (ret == -200) continue; // that connection was closed for want of a record
                break;
            }
            int nfd = iodev_fd(ndev);
            evpump_t* npump = evpump_thread_select(core);
            unsigned long npumpid = npump ? (unsigned long)npump->threadid : 0;
            // Logged before binding: once bound, the connection's first codes
            // may change the level before this line would be written.
            log_info(g_logger, __func__, __LINE__,
                     "\nThreadID=%lu, ListenFD=%d EvPumpID=%lu WorkerID=%lu  ==> Accept NewFD=%d EvPumpID=%lu\n",
                     get_threadid(), iodev_fd(dev), lpumpid, wkid, nfd, npumpid);
            if (npump) iodev_bind_evpump(ndev, BIND_GIVEN, npump);
            else iodev_bind_evpump(ndev, BIND_SELECT, nullptr);
        }
        return 0;
    }
    case EVT_READ:
        if (fdtype == IODEV_TCP_ACCEPTED && dev) modidy_log_level(vpcore, vobj);
        return 0;
    case EVT_INVALID:
        // Error or hang-up without readable data: nothing more will come.
        if (fdtype == IODEV_TCP_ACCEPTED && dev) iodev_close(dev);
        return 0;
    default:
        return 0;
    }
}
