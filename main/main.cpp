// Process start-up of korvid: the fixed start-up order (signals, logging,
// user files, single-instance lock, register space, FPGA, event core and
// frame pools, listeners, workers, pumps), signal handling on a thread of
// its own, the orderly teardown, the two loggers set up from the board's
// logging configuration, and the TCP 9999 service through which a host
// changes the main logger's level.
#include "main/main.h"

#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>
#include <thread>


#include "GigE/bootstrap.h"
#include "GigE/gvsp.h"
#include "algo/algo.h"
#include "common/board.h"
#include "common/custom.h"
#include "common/persist.h"
#include "common/stream_ctrl.h"
#include "confile.h"
#include "epcore.h"
#include "epdns.h"
#include "eptcp.h"
#include "epwakeup.h"
#include "evpump.h"
#include "imu/imu.h"
#include "iodev.h"
#include "log/logger.h"
#include "main/task.h"
#include "modbus/modbus_task.h"
#include "platform.h"
#include "rich/rich_radar.h"
#include "server/udp_server.h"
#include "sensor/sensor_imx570.h"
#include "sensor/sensor_integration.h"
#include "sensor/sensor_isp.h"
#include "sensor/sensor_raw.h"
#include "server/tcp_server.h"
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

// Board path of the main logger's file as spdlog_init chose it; start-up
// opens it for the stack of a fatal signal.
char s_mainLogFile[PATH_MAX] = "";

void remember_main_log(const char* boardPath) { snprintf(s_mainLogFile, sizeof(s_mainLogFile), "%s", boardPath); }

} // namespace

epcore_t* gpcore = nullptr;

// Set once by start-up and read from every thread.
epcore_t* get_pcore(void) { return __atomic_load_n(&gpcore, __ATOMIC_ACQUIRE); }

void spdlog_init(void)
{
    char host[PATH_MAX];
    ConfMgmt* conf = plat_path(SPDLOG_CONF_FILE, host, sizeof(host)) ? conf_mgmt_init(host) : nullptr;
    if (!conf) {
        remember_main_log(kMainFile);
        cameralog_init(kMainFile, 1, 0, kDefaultSizeMiB << 20, kDefaultFiles);
        cameralog_runtime_init(kRuntimeFile, kDefaultSizeMiB << 20, kDefaultFiles);
        return;
    }

    char notes[6][160];
    int nnotes = 0;
    LogFileConf mc = read_section(conf, "SPDLOG", kMainFile, notes, &nnotes);
    printf("filename:%s, fileSize:%d, fileNum:%d\n", mc.name, mc.sizeMiB << 20, mc.files);
    remember_main_log(mc.name);
    if (!cameralog_init(mc.name, 1, 0, mc.sizeMiB << 20, mc.files) && mc.name != kMainFile) {
        // The configured file cannot be written: keep logging to the built-in one.
        if (nnotes < 6)
            snprintf(notes[nnotes++], sizeof(notes[0]), "SPDLOG FILE_NAME: cannot log to \"%s\", built-in file used",
                     mc.name);
        remember_main_log(kMainFile);
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

void tcp_accept_all(epcore_t* core, iodev_t* listener, IOHandler* cb, void* vpcore,
                    void (*prepare)(epcore_t* core, iodev_t* conn))
{
    // The event is handled on the pump that saw it: the listener's pump.
    evpump_t* lpump = evpump_thread_self(core);
    unsigned long lpumpid = lpump ? (unsigned long)lpump->threadid : 0;
    worker_t* wk = worker_thread_self(core);
    unsigned long wkid = wk ? (unsigned long)wk->workerid : 0;
    for (;;) {
        int ret = 0;
        iodev_t* ndev = eptcp_accept(core, listener, nullptr, &ret, cb, vpcore, BIND_NONE);
        if (!ndev) {
            if (ret == -200) continue; // that connection was closed for want of a record
            break;
        }
        if (prepare) prepare(core, ndev);
        evpump_t* npump = evpump_thread_select(core);
        unsigned long npumpid = npump ? (unsigned long)npump->threadid : 0;
        // Logged before binding: once bound, the connection may be served (a
        // log-level code may even hide this line) on another pump.
        log_info(g_logger, __func__, __LINE__,
                 "\nThreadID=%lu, ListenFD=%d EvPumpID=%lu WorkerID=%lu  ==> Accept NewFD=%d EvPumpID=%lu\n",
                 get_threadid(), iodev_fd(listener), lpumpid, wkid, iodev_fd(ndev), npumpid);
        if (npump) iodev_bind_evpump(ndev, BIND_GIVEN, npump);
        else iodev_bind_evpump(ndev, BIND_SELECT, nullptr);
    }
}

int tcp_log_level(void* vpcore, void* vobj, int event, int fdtype)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    iodev_t* dev = static_cast<iodev_t*>(vobj);

    switch (event) {
    case EVT_ACCEPT:
        if (fdtype != IODEV_TCP_LISTEN) return -1;
        if (!core || !dev) return -1;
        tcp_accept_all(core, dev, tcp_log_level, vpcore, nullptr);
        return 0;
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

/* ------------------------------------------------------------------ */
/* Start-up, signals and shutdown                                      */

namespace {

// Frame pools hung on the core: unit size (ImageInfo header plus the
// largest data of the kind) and batch.
struct FramePool {
    bpool_t* epcore_t::*slot;
    int unitsize;
    int batch;
};
constexpr FramePool kFramePools[] = {
    {&epcore_t::raw, 33177704, 8},
    {&epcore_t::rgb, 6220904, 8},
    {&epcore_t::depth, 4322408, 16},
    {&epcore_t::applation_algo, 41064, 16},
    {&epcore_t::applation_algo_result, 204, 16},
};

constexpr int kBacktraceMax = 4096;
constexpr int kFpgaAttempts = 3;
// How long the teardown waits for pumps and workers to leave: event workers
// are woken by the stop, task workers look at the quit flags at least every
// few seconds.
constexpr int kTeardownWaitMs = 6000;
// How long a fatal signal waits for its last words to reach the file.
constexpr int kLogSettleMs = 3000;

// The main log file opened for appending, for the stack of a fatal signal
// (written there without the logger, whose locks the faulting thread may
// hold). -1 while none.
std::atomic<int> s_logFd{-1};

std::atomic<void (*)(epcore_t*)> s_teardownObserver{nullptr};

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Decimal text of v into buf (no allocation); its length.
size_t utoa_safe(unsigned v, char* buf)
{
    char tmp[16];
    size_t n = 0;
    do {
        tmp[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v && n < sizeof(tmp));
    for (size_t i = 0; i < n; i++) buf[i] = tmp[n - 1 - i];
    return n;
}

void write_all(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= (size_t)w;
    }
}

// SIGTERM on the signal thread: the stack logged line by line, then the end
// of the process without teardown.
[[noreturn]] void terminate_with_backtrace()
{
    // What outside tools reach the board through goes first: nothing of
    // this process may be left for another to answer.
    plat_board_withdraw();
    // From here only the last words count: info lines of other threads must
    // not push them out of the loggers' queue.
    log_set_level(LOG_LEVEL_ERR);
    int fd = s_logFd.load();
    struct stat st;
    off_t from = (fd >= 0 && fstat(fd, &st) == 0) ? st.st_size : 0;

    static void* addrs[kBacktraceMax];
    int n = backtrace(addrs, kBacktraceMax);
    log_error(g_logger, __FUNCTION__, __LINE__, "backtrace() returned %d addresses\n", n);
    std::vector<std::string> lines{"backtrace() returned " + std::to_string(n) + " addresses"};
    char** syms = backtrace_symbols(addrs, n);
    if (!syms) {
        log_error(g_logger, __FUNCTION__, __LINE__, "backtrace_symbols");
        lines.emplace_back("backtrace_symbols");
        log_settle(fd, from, lines, kLogSettleMs);
        _exit(1);
    }
    char line[LOG_TEXT_MAX + 1] = "";
    for (int i = 0; i < n; i++) {
        log_error(g_logger, __FUNCTION__, __LINE__, "[%02d] %s", i, syms[i]);
        snprintf(line, sizeof(line), "[%02d] %s", i, syms[i]); // as the log call cuts it
        lines.emplace_back(line);
    }
    free(syms);
    log_settle(fd, from, lines, kLogSettleMs);
    _exit(255); // status -1
}

// SIGSEGV inside the handler: only async-signal-safe calls (backtrace was
// primed at start, so it does not load its library here).
[[noreturn]] void crash_with_backtrace()
{
    plat_board_withdraw();
    static void* addrs[kBacktraceMax];
    int n = backtrace(addrs, kBacktraceMax);
    int fd = s_logFd.load();
    if (fd >= 0) {
        char line[64];
        static const char head[] = "backtrace() returned ";
        static const char tail[] = " addresses\n";
        size_t len = 0;
        memcpy(line, head, sizeof(head) - 1);
        len = sizeof(head) - 1;
        len += utoa_safe((unsigned)n, line + len);
        memcpy(line + len, tail, sizeof(tail) - 1);
        len += sizeof(tail) - 1;
        write_all(fd, line, len);
        backtrace_symbols_fd(addrs, n, fd);
    }
    _exit(255); // status -1
}

// SIGHUP and SIGTERM are blocked in every thread of the process (start-up
// blocks them before it makes the first thread) and taken here through a
// signalfd, so the handler runs as ordinary code: it may log and allocate.
// The thread starts once logging is set up; a signal that comes earlier
// waits, pending, until then.
class SignalThread {
public:
    bool block()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGHUP);
        sigaddset(&set_, SIGTERM);
        masked_ = pthread_sigmask(SIG_BLOCK, &set_, &old_) == 0;
        return masked_;
    }
    bool start()
    {
        if (!masked_) return false;
        sfd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
        stopfd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (sfd_ < 0 || stopfd_ < 0) return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }
    ~SignalThread()
    {
        if (thread_.joinable()) {
            uint64_t one = 1;
            ssize_t w = write(stopfd_, &one, sizeof(one));
            (void)w;
            thread_.join();
        }
        if (sfd_ >= 0) close(sfd_);
        if (stopfd_ >= 0) close(stopfd_);
        if (masked_) pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }

private:
    void run()
    {
        set_task_name("signal");
        for (;;) {
            struct pollfd pfd[2] = {{sfd_, POLLIN, 0}, {stopfd_, POLLIN, 0}};
            if (poll(pfd, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (pfd[1].revents) return;
            struct signalfd_siginfo si;
            while (read(sfd_, &si, sizeof(si)) == (ssize_t)sizeof(si)) signal_handler((int)si.ssi_signo);
        }
    }

    sigset_t set_;
    sigset_t old_;
    bool masked_ = false;
    int sfd_ = -1;
    int stopfd_ = -1;
    std::thread thread_;
};

uint32_t reg_read(uint32_t address)
{
    uint32_t v = 0;
    Custom_RegRead(address, &v);
    return v;
}

// When the board path is missing, the dd command makes it.
void ensure_user_file(const char* path, const char* cmd)
{
    if (plat_access(path, F_OK) != 0) plat_shell(cmd);
}

int config_init_(void)
{
    if (Custom_RegInit() != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Custom_RegInit fail.");
        return -1;
    }
    if (Bootstrap_RegInit() != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Bootstrap_RegInit fail.");
        Custom_RegDeInit();
        return -1;
    }
    return 0;
}

void config_deinit(void)
{
    Bootstrap_RegDeInit();
    Custom_RegDeInit();
}

// What was published goes before the lock: after it, the links may already
// be the next instance's.
void unlock_close(int fd)
{
    plat_board_withdraw();
    flock(fd, LOCK_UN);
    close(fd);
}

bool threads_gone(epcore_t* core)
{
    if (core->threadnum.load() > 0) return false;
    EnterCriticalSection(&core->evpumplistCS);
    bool empty = arr_num(core->evpump_list) == 0;
    LeaveCriticalSection(&core->evpumplistCS);
    if (empty) {
        EnterCriticalSection(&core->workerlistCS);
        empty = arr_num(core->worker_list) == 0;
        LeaveCriticalSection(&core->workerlistCS);
    }
    // A leaving worker counts itself in before it unregisters.
    return empty && core->threadnum.load() == 0;
}

// Stops every pump and worker and waits, bounded, until all have gone:
// workers may hold frames until they leave, and give them back on the way
// out, so the pools must outlive them.
bool stop_and_wait(epcore_t* core)
{
    epcore_stop_evpump(core);
    epcore_stop_worker(core);
    auto start = std::chrono::steady_clock::now();
    for (int round = 1; !threads_gone(core); round++) {
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kTeardownWaitMs)) return false;
        // Workers registered after the first stop (started by a leaving
        // task) need one of their own.
        if (round % 50 == 0) {
            epcore_wakeup_send(core);
            epcore_stop_worker(core);
        }
        sleep_ms(1);
    }
    return true;
}

void start_worker(epcore_t* core, uint64_t id, void* (*fn)(void*))
{
    // A missing worker shows only as its missing service.
    worker_create(core, id, fn);
}

} // namespace

void main_set_teardown_observer(void (*observer)(epcore_t* core)) { s_teardownObserver.store(observer); }

void signal_handler(int sig)
{
    switch (sig) {
    case SIGHUP:
        log_info(g_logger, __FUNCTION__, __LINE__, "hangup signal catched\n");
        break;
    case SIGINT:
    case SIGKILL: {
        log_info(g_logger, __FUNCTION__, __LINE__, "terminate signal catched, now exiting...\n");
        epcore_t* core = get_pcore();
        if (core) {
            if (core->streamon.load()) stream_ctrl_stop_all();
            epcore_stop_evpump(core);
            epcore_stop_worker(core);
        }
        usleep(1000);
        break;
    }
    case SIGSEGV:
        crash_with_backtrace();
    case SIGTERM:
        terminate_with_backtrace();
    default:
        break;
    }
}

int korvid_main(int argc, char** argv)
{
    (void)argc;
    (void)argv;

    // 1. Signal dispositions. SIGHUP and SIGTERM go to the signal thread.
    signal(SIGCHLD, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    {
        // Loads backtrace's unwinder now, not inside a fatal signal.
        void* probe[1];
        backtrace(probe, 1);
    }
    struct LogFdClose {
        ~LogFdClose()
        {
            int fd = s_logFd.exchange(-1);
            if (fd >= 0) close(fd);
        }
    } logFdClose;
    SignalThread signals;
    if (!signals.block()) fprintf(stderr, "korvid: SIGHUP and SIGTERM not blocked\n");

    // 2. Logging, then the thread that takes the signals logs through it.
    spdlog_init();
    char host[PATH_MAX];
    if (s_mainLogFile[0] && plat_path(s_mainLogFile, host, sizeof(host)))
        s_logFd.store(open(host, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!signals.start()) log_error(g_logger, __FUNCTION__, __LINE__, "signal thread not started.");
    log_info(g_logger, __FUNCTION__, __LINE__, "=======================begin====================");
    log_info(g_logger, __FUNCTION__, __LINE__, "===============pid:%d=========", (int)getpid());

    // 3. The user files, before the lock.
    ensure_user_file(USER_BIN_FILE, "dd if=/dev/zero of=/userdata/const/user.bin bs=128K count=1");
    ensure_user_file(USER_CUSTOM_BIN_FILE, "dd if=/dev/zero of=/userdata/const/user_custom.bin bs=128K count=1");

    // 4. The single-instance lock.
    int lockfd = plat_path(KORVID_LOCK_FILE, host, sizeof(host))
                     ? open(host, O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                     : -1;
    if (lockfd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "open /tmp/korvid.lock fail.");
        return 0;
    }
    if (flock(lockfd, LOCK_EX | LOCK_NB) != 0) {
        log_info(g_logger, __FUNCTION__, __LINE__, "Another instance is already running.");
        printf("Another instance is already running.\n");
        fflush(stdout);
        close(lockfd);
        return 0;
    }
    // The board root is this instance's: its serial lines may be reached.
    if (plat_board_publish() != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "board not published: %s", strerror(errno));

    // 5. Register space and bootstrap block.
    if (config_init_() != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "config_init fail.");
        unlock_close(lockfd);
        return -1;
    }

    // 6. What the board is.
    uint32_t cpuId = reg_read(0x10007024);
    uint32_t tofKind = reg_read(REG_PAGE_TOF);
    uint32_t cameraType = reg_read(REG_PAGE_RUNTIME);
    uint32_t boardVersion = reg_read(0x10007060);
    (void)cameraType;

    // 7. FPGA image on CPU type 1 boards of version 1.
    if (cpuId == 1 && boardVersion == 1) {
        for (int i = 0; i < kFpgaAttempts; i++) {
            if (fpga_upgrade() == 0) {
                log_info(g_logger, __FUNCTION__, __LINE__, "fpga update success.");
                break;
            }
            log_error(g_logger, __FUNCTION__, __LINE__, "fpga update fail.");
        }
    }

    // 8. Event core and frame pools. The resolver reads the board's
    // "/etc/resolv.conf".
    dns_set_path_map(plat_path);
    epcore_t* core = epcore_new(65536, 1);
    if (!core) {
        log_error(g_logger, __FUNCTION__, __LINE__, "epcore_new fail.");
        dns_set_path_map(nullptr);
        config_deinit();
        unlock_close(lockfd);
        return -1;
    }
    for (const FramePool& fp : kFramePools) {
        if (core->*fp.slot) continue;
        bpool_t* pool = bpool_init(nullptr);
        if (!pool) continue;
        bpool_set_unitsize(pool, fp.unitsize);
        bpool_set_allocnum(pool, fp.batch);
        core->*fp.slot = pool;
    }
    // Published with the pools in place: whoever finds the core finds them.
    __atomic_store_n(&gpcore, core, __ATOMIC_RELEASE);

    // 9. Listeners on all local addresses.
    if (!eptcp_mlisten(core, nullptr, FILE_TRANSFER_PORT, nullptr, tcp_pump, core))
        log_error(g_logger, __FUNCTION__, __LINE__, "listen on port %d fail.", FILE_TRANSFER_PORT);
    if (!eptcp_mlisten(core, nullptr, LOG_LEVEL_PORT, nullptr, tcp_log_level, core))
        log_error(g_logger, __FUNCTION__, __LINE__, "listen on port %d fail.", LOG_LEVEL_PORT);

    // 10. Workers; they read the registers loaded in step 5.
    start_worker(core, E_WORKER_ID_LED, led_task);
    start_worker(core, E_WORKER_ID_NETCARD, netcard_task);
    sleep_ms(500);
    start_worker(core, E_WORKER_ID_GVSP, GVSP_Task);
    start_worker(core, E_WORKER_ID_ALGO, algo_task);
    start_worker(core, E_WORKER_ID_ALGO_RGB, algo_rgb_task);
    start_worker(core, E_WORKER_ID_TEMP, temp_task);
    start_worker(core, E_WORKER_ID_IMU_TASK, imu_task);
    start_worker(core, E_WORKER_ID_PING, ping_task);
    start_worker(core, E_WORKER_ID_RICH_SEND_TASK, rich_send_task);
    start_worker(core, E_WORKER_ID_TOF_INTEGRATION,
                 tofKind == E_IMX570 ? sensor_imx570_integration_task : sensor_tof_integration_task);
    start_worker(core, E_WORKER_ID_UDP_RECV, udp_server_recv_task);
    if (cpuId == 0) start_worker(core, E_WORKER_ID_RS485, modbus_task);

    // 11. Capture, when the stream is enabled at boot: the workers a host's
    // start creates, so a board streams after a restart as before it.
    uint32_t workMode = reg_read(0x10000068);
    uint32_t colourKind = reg_read(REG_PAGE_RGB);
    if (workMode) stream_ctrl_start_at_boot(core);

    // 12. ISP colour path.
    if (cpuId == 1 || colourKind == 3) start_worker(core, E_WORKER_ID_ISP, sensor_isp_task);

    // 13. Pumps: one event worker, one pump thread, and this thread.
    epcore_start_worker(core, 1);
    epcore_start_evpump(core, 1);
    evpump_main_start(core, 0);

    // 14. Teardown, once everything that may hold a frame has gone.
    if (stop_and_wait(core)) {
        if (auto observer = s_teardownObserver.load()) observer(core);
        for (const FramePool& fp : kFramePools) {
            bpool_clean(core->*fp.slot);
            core->*fp.slot = nullptr;
        }
        __atomic_store_n(&gpcore, nullptr, __ATOMIC_RELEASE);
        epcore_clean(core);
        dns_set_path_map(nullptr);
        config_deinit();
        if (tofKind == E_IMX570) frequencyAllInfoDeinit(getFrequencyAllInfo());
    } else {
        // Freeing now would pull pools, tables and registers out from under
        // running threads; leaving them is the lesser harm.
        log_error(g_logger, __FUNCTION__, __LINE__,
                  "pumps or workers still running after %d ms: frame pools, core and registers left in place",
                  kTeardownWaitMs);
    }
    unlock_close(lockfd);
    return 0;
}
