// Small helpers shared by the device code: clocks, thread naming, file and
// free-space queries, timer descriptors, hexadecimal conversion, I2C and the
// board CPLD, 12-bit pixel packing, and the release and hand-over of frames.
#include "common/common.h"

#include "algo/algo_tavo.h"
#include "bpool.h"
#include "epcore.h"
#include "memory.h"
#include "log/logger.h"
#include "platform.h"
#include "strutil.h"
#include "worker.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/input.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <mutex>

/* ---- Frames ---- */

void free_image(void* vpcore, ImageInfo* imageInfo)
{
    if (!imageInfo) return;
    auto* core = static_cast<epcore_t*>(vpcore);
    bpool_t* pool = nullptr;
    switch (imageInfo->memType) {
    case E_MEMTYPE_RAW:              pool = core ? core->raw : nullptr; break;
    case E_MEMTYPE_RGB:              pool = core ? core->rgb : nullptr; break;
    case E_MEMTYPE_DEPTH:            pool = core ? core->depth : nullptr; break;
    case E_MEMTYPE_APPLATION:        pool = core ? core->applation_algo : nullptr; break;
    case E_MEMTYPE_APPLATION_RESULT: pool = core ? core->applation_algo_result : nullptr; break;
    default:
        kfree(imageInfo);
        return;
    }
    // A pool unit is never handed to the heap: without its pool it is left alone.
    if (!pool) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no pool for memType:%u", imageInfo->memType);
        return;
    }
    if (bpool_recycle(pool, imageInfo) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "frame refused by pool, memType:%u", imageInfo->memType);
}

int frames_release(void* vpcore, dlist_t* frames)
{
    int n = 0;
    for (; void* item = lt_rm_head(frames); n++) free_image(vpcore, static_cast<ImageInfo*>(item));
    return n;
}

ImageInfo* frame_take(worker_t* wk)
{
    EnterCriticalSection(&wk->datalistCS);
    void* item = lt_rm_head(wk->data_list);
    LeaveCriticalSection(&wk->datalistCS);
    return static_cast<ImageInfo*>(item);
}

bool frame_post_latest_to(void* vpcore, uint64_t id, ImageInfo* image)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    dlist_t stale{};
    bool taken = core && epcore_with_worker(core, id, [&](worker_t* wk) {
        EnterCriticalSection(&wk->datalistCS);
        lt_tail_combine_nodel(&stale, wk->data_list);
        lt_append(wk->data_list, image);
        LeaveCriticalSection(&wk->datalistCS);
        event_signal(wk->ioevent, 1);
    });
    if (!taken) free_image(vpcore, image);
    frames_release(vpcore, &stale);
    return taken;
}

void frame_serve(worker_t* wk, void (*use)(epcore_t* core, ImageInfo* image), int idleMs)
{
    epcore_t* core = wk->epcore;
    while (!core->quit.load() && !wk->quit.load()) {
        if (ImageInfo* image = frame_take(wk)) use(core, image);
        else event_wait(wk->ioevent, idleMs);
    }
}

void frame_datafree(epcore_t* core, void* item) { free_image(core, static_cast<ImageInfo*>(item)); }

/* ---- Time ---- */

uint32 get_tickcount(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32)((uint64)ts.tv_sec * 1000u + (uint64)ts.tv_nsec / 1000000u);
}

uint64 getTimestamp(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64)ts.tv_sec * 1000u + (uint64)ts.tv_nsec / 1000000u;
}

void wait_ms(unsigned long a)
{
    if (a == 0) return;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += (time_t)(a / 1000);
    ts.tv_nsec += (long)(a % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    // An absolute deadline, so signals do not stretch the sleep.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void get_local_time(uint32* psec, uint32* pnsec)
{
    int sec = 0, nsec = 0;
    algo_TavoPlus_getTimeStampNS(&sec, &nsec);
    if (psec) *psec = (uint32)sec;
    if (pnsec) *pnsec = (uint32)nsec;
}

/* ---- Threads and files ---- */

void set_task_name(const char* name)
{
    if (name) prctl(PR_SET_NAME, (unsigned long)name, 0, 0, 0);
}

int bind_cpu_core(int cpuIndex) { return plat_sched_setaffinity(cpuIndex) == 0 ? 0 : -1; }

uint32 get_fileSize(const char* path)
{
    if (!path) return 0;
    FILE* f = plat_fopen(path, "rb");
    if (!f) return 0;
    struct stat st;
    uint32 size = 0;
    if (fstat(fileno(f), &st) == 0 && st.st_size > 0) size = (uint32)st.st_size;
    fclose(f);
    return size;
}

uint32 get_fileContext(const char* fileName, uint8* fileBuf, uint32 bufSize)
{
    if (!fileName || !fileBuf) return 0;
    FILE* f = plat_fopen(fileName, "rb");
    if (!f) return 0;
    size_t n = fread(fileBuf, 1, bufSize, f);
    fclose(f);
    return (uint32)n;
}

int put_fileContext(const char* fileName, const void* data, size_t size)
{
    FILE* f = fileName && (data || size == 0) ? plat_fopen(fileName, "wb") : nullptr;
    if (!f) return -1;
    bool ok = fwrite(data, 1, size, f) == size;
    ok = fflush(f) == 0 && ok;
    plat_fsync(fileno(f));
    ok = fclose(f) == 0 && ok;
    return ok ? 0 : -1;
}

namespace {

constexpr size_t kTmpTail = 6;
constexpr int kTmpAttempts = 64;
std::atomic<uint32> s_tmpCount{0};

const char kTmpChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";

// Directories whose files are replaced through temporary files.
const char* const kSaveDirs[] = {"/userdata", "/userdata/const", "/etc", "/etc/network"};

bool is_save_tmp(const char* name)
{
    const char* mark = strstr(name, SAVE_TMP_MARK);
    if (!mark || mark == name) return false;
    // The last mark counts: a target's own name may hold one.
    for (const char* next; (next = strstr(mark + 1, SAVE_TMP_MARK));) mark = next;
    const char* tail = mark + strlen(SAVE_TMP_MARK);
    if (strlen(tail) != kTmpTail) return false;
    for (const char* c = tail; *c; c++)
        if (!strchr(kTmpChars, *c)) return false;
    return true;
}

}  // namespace

int save_tmp_open(const char* fileName, char* tmp, size_t size)
{
    if (!fileName || !tmp || size == 0) return -1;
    struct stat st;
    mode_t mode = plat_stat(fileName, &st) == 0 ? (st.st_mode & 07777) : 0644;
    uint32 seed = ((uint32)getpid() << 12) ^ get_tickcount();
    for (int attempt = 0; attempt < kTmpAttempts; attempt++) {
        uint32 v = seed + s_tmpCount.fetch_add(1) * 2654435761u;
        char tail[kTmpTail + 1];
        for (size_t i = 0; i < kTmpTail; i++, v /= 36) tail[i] = kTmpChars[v % 36];
        tail[kTmpTail] = '\0';
        if (snprintf(tmp, size, "%s" SAVE_TMP_MARK "%s", fileName, tail) >= (int)size) return -1;
        int fd = plat_open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fchmod(fd, mode);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

int save_tmp_rename(const char* tmp, const char* fileName)
{
    if (!tmp || !fileName || plat_rename(tmp, fileName) != 0) return -1;
    // The rename itself lasts only once the directory is synced.
    std::string dir(fileName);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int dfd = plat_open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        plat_fsync(dfd);
        plat_close(dfd);
    }
    return 0;
}

int put_fileAtomic(const char* fileName, const void* data, size_t size)
{
    if (!fileName || (!data && size)) return -1;
    char tmp[PATH_MAX];
    int fd = save_tmp_open(fileName, tmp, sizeof(tmp));
    if (fd < 0) return -1;
    const uint8* p = static_cast<const uint8*>(data);
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
        ssize_t n = plat_write(fd, p + done, size - done);
        if (n > 0) done += (size_t)n;
        else ok = n < 0 && errno == EINTR;
    }
    // Synced before the rename: after it the name must find whole data.
    ok = ok && plat_fsync(fd) == 0;
    ok = plat_close(fd) == 0 && ok;
    ok = ok && save_tmp_rename(tmp, fileName) == 0;
    if (!ok) {
        char host[PATH_MAX];
        if (plat_path(tmp, host, sizeof(host))) unlink(host);
        return -1;
    }
    return 0;
}

int save_tmp_sweep(void)
{
    int removed = 0;
    for (const char* dir : kSaveDirs) {
        char host[PATH_MAX];
        if (!plat_path(dir, host, sizeof(host))) continue;
        DIR* d = opendir(host);
        if (!d) continue;
        while (struct dirent* e = readdir(d)) {
            if (!is_save_tmp(e->d_name)) continue;
            std::string path = std::string(host) + "/" + e->d_name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            if (unlink(path.c_str()) == 0) {
                removed++;
                // Names in these directories may come from a host's archive.
                log_error(g_logger, __FUNCTION__, __LINE__, "removed %s/%s left by an interrupted save", dir,
                          LogPeerText(e->d_name).c_str());
            }
        }
        closedir(d);
    }
    return removed;
}

int get_deviceFreeSpace(const char* dir, uint64* freeSpace)
{
    if (!freeSpace) return -1;
    struct statvfs st;
    // No answer reads as a full disk, so callers that guard writes on free
    // space refuse them rather than act on a stale value.
    if (!dir || plat_statvfs(dir, &st) != 0) {
        *freeSpace = 0;
        return -1;
    }
    *freeSpace = (uint64)st.f_bavail * (uint64)st.f_frsize >> 20;
    return 0;
}

uint8 get_random(void)
{
    int fd = plat_open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint8 b = 0;
    if (plat_read(fd, &b, 1) != 1) b = 0;
    plat_close(fd);
    return b;
}

void save_img(void* start, uint32 size, int flags)
{
    static std::atomic<int> calls{0};
    int n = calls.fetch_add(1);
    if (n >= 50 || !start) return;
    char path[64];
    snprintf(path, sizeof(path), "/tmp/gray%d_%03d.bin", flags, n);
    FILE* f = plat_fopen(path, "wb");
    if (!f) return;
    fwrite(start, 1, size, f);
    fclose(f);
}

int get_input_dev(const char* name)
{
    if (!name) return -1;
    for (int i = 0; i < 8; i++) {
        char path[64];
        snprintf(path, sizeof(path), "/dev/input/event%d", i);
        int fd = plat_open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char devName[256] = {0};
        char phys[256] = {0};
        if (plat_ioctl(fd, EVIOCGNAME(sizeof(devName) - 1), devName) >= 0 && strcmp(devName, name) == 0) {
            if (plat_ioctl(fd, EVIOCGPHYS(sizeof(phys) - 1), phys) < 0) phys[0] = '\0';
            log_info(g_logger, __FUNCTION__, __LINE__, "Phys location is %s", phys);
            log_info(g_logger, __FUNCTION__, __LINE__, "description: %s", devName);
            return fd;
        }
        plat_close(fd);
    }
    return -1;
}

/* ---- Timers ---- */

int timerCreate(void)
{
    return timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}

int startTimer(int timerfd, int timeout)
{
    struct itimerspec its;
    memset(&its, 0, sizeof(its));
    if (timeout >= 0) {
        its.it_value.tv_sec = timeout / 1000;
        its.it_value.tv_nsec = (long)(timeout % 1000) * 1000000L;
        // A zero value would disarm the timer; 0 ms means "expire now".
        if (timeout == 0) its.it_value.tv_nsec = 1;
        its.it_interval.tv_sec = 1;
        its.it_interval.tv_nsec = (long)(timeout % 1000) * 1000000L;
    }
    if (timeout < 0 || timerfd_settime(timerfd, 0, &its, nullptr) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "start timer fail. timerfd:%d", timerfd);
        return -1;
    }
    return 0;
}

int stopTimer(int timerfd)
{
    if (timerfd < 1) return 0;
    struct itimerspec its;
    memset(&its, 0, sizeof(its));
    if (timerfd_settime(timerfd, 0, &its, nullptr) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "timerfd_settime fail\n");
        return -1;
    }
    return 0;
}

/* ---- Numbers and text ---- */

void float2hex(float f, uint32* hex)
{
    if (hex) memcpy(hex, &f, sizeof(f));
}

void hex2float(uint32 hex, float* f)
{
    if (f) memcpy(f, &hex, sizeof(hex));
}

void int2byte(uint32 val, uint8* bytes)
{
    if (bytes) memcpy(bytes, &val, sizeof(val));
}

uint32 byte2int(const uint8* bytes)
{
    uint32 v = 0;
    if (bytes) memcpy(&v, bytes, sizeof(v));
    return v;
}

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

uint8 char_to_hex(char c)
{
    if (c >= '0' && c <= '9') return (uint8)(c - '0');
    if (c >= 'A' && c <= 'F') return (uint8)(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return (uint8)(c - 'a' + 10);
    return 0;
}

int hex_string_format(char* str, char* hex_str)
{
    if (!str || !hex_str) return -1;
    size_t len = strlen(str);
    if (len % 2 != 0 || len > INT_MAX) return -1;
    // The decoder writes byte i after reading digits 2i and 2i+1, so the
    // output may overlay the input.
    int n = 0;
    if (enc_hex_decode(reinterpret_cast<const uint8_t*>(str), (int)len, reinterpret_cast<uint8_t*>(hex_str), &n) < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "must be HEX input\n");
        return -1;
    }
    hex_str[n] = '\0';
    return 0;
}

int isContinuousOnes(int num)
{
    if (num < 0) return 0;
    unsigned u = (unsigned)num;
    return (u & (u + 1)) == 0 ? 1 : 0;
}

void BubbleSort(int* arr, int as)
{
    if (!arr) return;
    for (int i = 0; i + 1 < as; i++) {
        bool swapped = false;
        for (int j = 0; j + 1 < as - i; j++) {
            if (arr[j] > arr[j + 1]) {
                int t = arr[j];
                arr[j] = arr[j + 1];
                arr[j + 1] = t;
                swapped = true;
            }
        }
        if (!swapped) break;
    }
}

/* ---- I2C ---- */

namespace {

int i2c_transfer(int fd, struct i2c_msg* msgs, unsigned n)
{
    struct i2c_rdwr_ioctl_data data;
    data.msgs = msgs;
    data.nmsgs = n;
    return plat_ioctl(fd, I2C_RDWR, &data) < 0 ? -1 : 0;
}

// Register number high byte first, then `count` bytes read back.
int i2c_read_reg16(int fd, uint16 addr, uint16 reg, uint8* out, uint16 count)
{
    uint8 regBuf[2] = {(uint8)(reg >> 8), (uint8)reg};
    struct i2c_msg msgs[2];
    msgs[0].addr = addr;
    msgs[0].flags = 0;
    msgs[0].len = 2;
    msgs[0].buf = regBuf;
    msgs[1].addr = addr;
    msgs[1].flags = I2C_M_RD;
    msgs[1].len = count;
    msgs[1].buf = out;
    return i2c_transfer(fd, msgs, 2);
}

} // namespace

int i2c_read16bit(int fd, uint16 addr, uint16 reg, uint16* val)
{
    if (!val) return -1;
    uint8 buf[2] = {0, 0};
    if (i2c_read_reg16(fd, addr, reg, buf, 2) != 0) return -1;
    *val = (uint16)(buf[0] << 8 | buf[1]);
    return 0;
}

int i2c_read08bit(int fd, uint16 addr, uint16 reg, uint8* val)
{
    if (!val) return -1;
    uint8 b = 0;
    if (i2c_read_reg16(fd, addr, reg, &b, 1) != 0) return -1;
    *val = b;
    return 0;
}

int i2c_write16bit(int fd, uint8 addr, uint8 reg, uint16 val)
{
    uint8 buf[3] = {reg, (uint8)val, (uint8)(val >> 8)};
    struct i2c_msg msg;
    msg.addr = addr;
    msg.flags = 0;
    msg.len = 3;
    msg.buf = buf;
    if (i2c_transfer(fd, &msg, 1) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "write ioctlerr");
        return -1;
    }
    return 0;
}

int i2c_read08addr08bit(int fd, uint8 addr, uint8 reg, uint8* val)
{
    if (!val || plat_ioctl(fd, I2C_SLAVE, (unsigned long)addr) < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Failed to acquire bus access and/or talk to slave");
        return 0;
    }
    if (plat_write(fd, &reg, 1) != 1) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Failed to write register address");
        return 0;
    }
    if (plat_read(fd, val, 1) != 1) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Failed to acquire bus access and/or talk to slave");
        return 0;
    }
    return 1;
}

int i2c_write08addr08bit(int fd, uint8 addr, uint8 reg, uint8 val)
{
    if (plat_ioctl(fd, I2C_SLAVE, (unsigned long)addr) < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Failed to acquire bus access and/or talk to slave");
        return 0;
    }
    uint8 buf[2] = {reg, val};
    if (plat_write(fd, buf, 2) != 2) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Failed to write register address");
        return 0;
    }
    return 1;
}

namespace {
constexpr uint8 kCpldAddr = 0x11;
// The register space, the sensor drivers and the APD task share one bus
// descriptor; selecting the slave and the register then reading must not
// interleave between them.
std::mutex g_cpldMutex;
int g_cpldFd = -1;
} // namespace

int i2c_cpld_rw(uint8 reg, uint8* readVal, uint8 writeVal, uint8 rwFlag)
{
    std::lock_guard<std::mutex> lock(g_cpldMutex);
    if (rwFlag != 0 && rwFlag != 1) {
        if (g_cpldFd >= 0) plat_close(g_cpldFd);
        g_cpldFd = -1;
        return -1;
    }
    if (g_cpldFd < 0) {
        g_cpldFd = plat_open("/dev/i2c-3", O_RDWR | O_CLOEXEC);
        if (g_cpldFd < 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "cannot open /dev/i2c-3 device");
            return 0;
        }
    }
    if (rwFlag == 0) return i2c_read08addr08bit(g_cpldFd, kCpldAddr, reg, readVal);
    return i2c_write08addr08bit(g_cpldFd, kCpldAddr, reg, writeVal);
}

/* ---- Pixels ---- */

// Both packers take pixels in pairs (three bytes per pair). A last odd pixel
// gets two bytes, as if paired with a zero pixel whose byte is left out, so
// the output never exceeds (3 x count + 1) / 2 bytes and no input is read
// past count.

void mono12_to_mono12packed(uint16* ptrIn, uint8* ptrOut, uint32 width, uint32 height)
{
    if (!ptrIn || !ptrOut) return;
    uint64 count = (uint64)width * height;
    uint64 i = 0;
    for (; i + 1 < count; i += 2) {
        uint16 p0 = ptrIn[i], p1 = ptrIn[i + 1];
        *ptrOut++ = (uint8)(p0 >> 4);
        *ptrOut++ = (uint8)((p0 & 0x0F) | (p1 & 0x0F) << 4);
        *ptrOut++ = (uint8)(p1 >> 4);
    }
    if (i < count) {
        uint16 p0 = ptrIn[i];
        *ptrOut++ = (uint8)(p0 >> 4);
        *ptrOut = (uint8)(p0 & 0x0F);
    }
}

void mono12_to_mono12p(uint16* ptrIn, uint8* ptrOut, uint32 width, uint32 height)
{
    if (!ptrIn || !ptrOut) return;
    uint64 count = (uint64)width * height;
    uint64 i = 0;
    for (; i + 1 < count; i += 2) {
        uint16 p0 = ptrIn[i], p1 = ptrIn[i + 1];
        *ptrOut++ = (uint8)p0;
        *ptrOut++ = (uint8)((p0 >> 8 & 0x0F) | (p1 & 0x0F) << 4);
        *ptrOut++ = (uint8)(p1 >> 4);
    }
    if (i < count) {
        uint16 p0 = ptrIn[i];
        *ptrOut++ = (uint8)p0;
        *ptrOut = (uint8)(p0 >> 8 & 0x0F);
    }
}
