// TCP file-transfer server (port 9900).
//
// Each connection is a TcpFileConn: a small parser that collects message
// fields as they trickle in and acts only on whole ones, and the connection's
// own upload. Uploads stream into a temporary file beside the target while
// their digest is computed; the file replaces the target only once the
// digest and the type's content checks pass, so a failed upload leaves the
// previous file as it was. Downloads read the file in 2 MiB pieces and wait
// for the host's acknowledgements, each message bounded by the transfer
// time-out.
//
// No pump waits on a host: the pump parses what has arrived and answers
// without waiting; a download, and the end of an upload with its archive
// and shell work, are handed to a transfer thread, which owns the
// connection until it is done and then reads on where the transfer left
// off. A connection that sends no whole message for the transfer time-out
// is closed.
#include "server/tcp_server.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "algo/algo_app.h"
#include "algo/algo_server.h"
#include "algo/algo_tavo.h"
#include "common/custom.h"
#include "common/persist.h"
#include "epcore.h"
#include "eptcp.h"
#include "evpump.h"
#include "iodev.h"
#include "iotimer.h"
#include "log/logger.h"
#include "main/main.h"
#include "mthread.h"
#include "peripheral/led.h"
#include "platform.h"
#include "tsock.h"
#include "worker.h"
#include "server/zipcheck.h"


namespace {

constexpr int kTransferMsDefault = 10000;
constexpr int kRawFrameMsDefault = 2000;
constexpr int kRawPollMs = 10;
constexpr size_t kRecvPiece = 64 * 1024;
constexpr size_t kHeaderSize = sizeof(FileCommonHeader);
constexpr size_t kMsgHeaderSize = sizeof(FileMsgHeader);
constexpr size_t kMd5Hex = 32;
constexpr uint8 kGzipMagic0 = 0x1F;
constexpr uint8 kGzipMagic1 = 0x8B;
constexpr int kGroup = 0;  // the parameter group the transfers work on
// Transfer threads at most; further transfers wait for one of them.
constexpr int kTransferThreads = 16;
// Slice of a transfer's waits, so a stopping core is noticed.
constexpr int kWaitSliceMs = 100;

constexpr uint32 kRegCameraType = 0x10007000u;
constexpr uint32 kRegCpuId = 0x10007024u;
constexpr uint32 kRegTofSensorType = 0x10002000u;
constexpr uint32 kRegEnableApplicationAlgo = 0x1000005Cu;
constexpr uint32 kRegAvoidSetMode = 0x10000070u;
constexpr uint32 kRegSaveCfg = 0x10000014u;
constexpr uint32 kRegAvoidTmpParam = 0x1000700Cu;

const char* const kGainListFile = "/userdata/const/GainList_simp.csv";
const char* const kBuildMapsDir = "/build_maps/";

std::atomic<int> s_transferMs{kTransferMsDefault};
std::atomic<int> s_rawFrameMs{kRawFrameMsDefault};
// One raw-frame request at a time: the capture fills the one shared image.
std::mutex s_rawMutex;
// Settings uploads of one kind are taken one at a time, from the hand-over
// to the file's replacement (or the putting back): interleaved, one upload's
// text could run while another's is stored, or be put back over it.
std::mutex s_filterMutex;
std::mutex s_appSettingsMutex;

struct FileEntry {
    uint32 type;
    const char* path;
    bool upload;
    bool download;
};

constexpr FileEntry kFiles[] = {
    {HIGH_INTEGRAL_IMG, "/userdata/high.zip", true, false},
    {LOW_INTEGRAL_IMG, "/userdata/low.zip", true, false},
    {DEV_CONFIG_FILE, "/userdata/config.bin", true, false},
    {CAM_INTR_FILE, "/userdata/const/calib.json", true, false},
    {OBSTRACLE_FILE, "/userdata/obstracle.zip", true, false},
    {UPGRADE_FILE, "/userdata/update.tar.gz", true, false},
    {APD_CALIB_FILE, "/userdata/const/GainList_simp.csv", true, true},
    {DEV_LOG_FILE, "/userdata/camera_log.zip", false, true},
    {APPLATION_LOG_FILE, "/userdata/applation_log.zip", false, true},
    {TOF_RAW_IMAGE, TOF_RAW_FILE, false, true},
    {UPLOAD_MAP_FILE, "/userdata/maps.zip", true, false},
    {UPLOAD_CURRENT_MAP_FILE, "/current_maps.zip", false, true},
    {DOWNLOAD_MAP_FILE, "/maps.zip", false, true},
    {IMPORT_CUSTOM_PARAM_FILE, CUSTOM_PARAM_FILE, true, false},
    {EXPORT_CUSTOM_PARAM_FILE, MERGE_CONFIG_FILE, false, true},
    {DEVICE_FILTER_FILE, "/userdata/dev_filter.json", true, true},
    {APP_ALGO_CONFIG_FILE, "/userdata/app_algo_config.json", true, true},
    {PARAM_CAPILITY_FILE, "/etc/capability.json", false, true},
    {FUNC_CAPILITY_FILE, "/etc/feature_capability.json", false, true},
};

const char* file_path(uint32 type, bool upload)
{
    for (const auto& f : kFiles)
        if (f.type == type && (upload ? f.upload : f.download)) return f.path;
    return nullptr;
}

bool is_archive(uint32 type)
{
    return type == HIGH_INTEGRAL_IMG || type == LOW_INTEGRAL_IMG || type == OBSTRACLE_FILE || type == UPLOAD_MAP_FILE;
}

uint32 get_le32(const uint8* p) { return (uint32)p[0] | (uint32)p[1] << 8 | (uint32)p[2] << 16 | (uint32)p[3] << 24; }
void put_le32(uint8* p, uint32 v)
{
    p[0] = (uint8)v;
    p[1] = (uint8)(v >> 8);
    p[2] = (uint8)(v >> 16);
    p[3] = (uint8)(v >> 24);
}

FileCommonHeader decode_header(const uint8* p) { return {get_le32(p), get_le32(p + 4), get_le32(p + 8)}; }
void encode_header(uint8* p, const FileCommonHeader& h)
{
    put_le32(p, h.msg_reqid);
    put_le32(p + 4, h.msg_type);
    put_le32(p + 8, h.index);
}

FileMsgHeader decode_msg_header(const uint8* p)
{
    FileMsgHeader m;
    m.file_type = get_le32(p);
    m.file_lengthH = get_le32(p + 4);
    m.file_lengthL = get_le32(p + 8);
    memcpy(m.file_md5, p + 12, FILE_MD5_FIELD);
    return m;
}

void md5_hex(const uint8 digest[16], char out[kMd5Hex + 1])
{
    for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%2.2x", digest[i]);
}

int shellf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int shellf(const char* fmt, ...)
{
    char cmd[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(cmd, sizeof(cmd), fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= sizeof(cmd)) return -1;
    return plat_shell(cmd);
}

bool board_file_exists(const char* path) { return plat_access(path, F_OK) == 0; }

// Reads exactly len bytes of a board descriptor.
bool read_full(int fd, void* buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = plat_read(fd, static_cast<uint8*>(buf) + got, len - got);
        if (n > 0) got += (size_t)n;
        else if (n == 0 || errno != EINTR) return false;
    }
    return true;
}

bool pread_full(int fd, void* buf, size_t len, uint64 at)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, static_cast<uint8*>(buf) + got, len - got, (off_t)(at + got));
        if (n > 0) got += (size_t)n;
        else if (n == 0 || errno != EINTR) return false;
    }
    return true;
}

bool write_full(int fd, const void* buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, static_cast<const uint8*>(buf) + done, len - done);
        if (n > 0) done += (size_t)n;
        else if (n == 0 || errno != EINTR) return false;
    }
    return true;
}

// A whole board text file with a terminating zero; false when it could not
// be read whole.
bool read_text_file(const char* path, std::unique_ptr<uint8[]>* text, uint32* size)
{
    *size = get_fileSize(path);
    log_info(g_logger, __FUNCTION__, __LINE__, "fileSize:%d", (int)*size);
    text->reset(new (std::nothrow) uint8[(size_t)*size + 1]());
    if (!*text) return false;
    return get_fileContext(path, text->get(), *size) == *size;
}

// One upload of a connection: the temporary file beside the target and what
// is learnt from the bytes as they are written.
struct Upload {
    bool active = false;  // a start was handled and no end yet
    bool failed = false;  // the temporary file could not be made or written
    uint32 type = 0;
    char recvMd5[kMd5Hex + 1] = {};
    std::string target;   // board path
    std::string tmpBoard; // board path of the temporary file
    std::string tmpHost;  // host path of the temporary file
    int fd = -1;
    MD5Ctx md5{};
    uint64 size = 0;
    // The first bytes: the configuration block and the package's magic.
    uint8 head[DEV_CFG_SIZE] = {};

    ~Upload() { discard(); }

    void discard()
    {
        if (fd >= 0) close(fd);
        fd = -1;
        if (!tmpHost.empty()) unlink(tmpHost.c_str());
        tmpHost.clear();
        tmpBoard.clear();
        target.clear();
        active = failed = false;
        size = 0;
    }

    bool begin(uint32 fileType, const char* path, const char* digest)
    {
        discard();
        active = true;
        type = fileType;
        target = path;
        memcpy(recvMd5, digest, kMd5Hex);
        recvMd5[kMd5Hex] = '\0';
        md5_init(&md5);
        char tmp[PATH_MAX], host[PATH_MAX];
        fd = save_tmp_open(path, tmp, sizeof(tmp));
        if (fd < 0 || !plat_path(tmp, host, sizeof(host))) {
            if (fd >= 0) close(fd);
            fd = -1;
            failed = true;
            return false;
        }
        tmpBoard = tmp;
        tmpHost = host;
        return true;
    }

    void write(const uint8* data, size_t len)
    {
        if (fd < 0 || failed) return;
        if (size < sizeof(head)) {
            size_t n = len < sizeof(head) - size ? len : (size_t)(sizeof(head) - size);
            memcpy(head + size, data, n);
        }
        md5_update(&md5, data, len);
        size += len;
        if (!write_full(fd, data, len)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "write %s fail: %s", target.c_str(), strerror(errno));
            failed = true;
        }
    }

    // Flushes and closes the temporary file: true when all its bytes are on disk.
    bool finish()
    {
        if (fd < 0) return false;
        bool ok = plat_fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
        fd = -1;
        return ok && !failed;
    }

    // Renames the temporary file over the target: true when it took.
    bool commit()
    {
        if (tmpBoard.empty() || save_tmp_rename(tmpBoard.c_str(), target.c_str()) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "rename to %s fail: %s", target.c_str(), strerror(errno));
            return false;
        }
        tmpHost.clear();
        tmpBoard.clear();
        return true;
    }
};

// The two files of a parameter group as they stand, to be put back.
struct GroupFiles {
    struct Kept {
        std::string path;
        bool present = false;
        std::string bytes;
    } files[2];
    GroupFiles(const char* cfg, const char* filter)
    {
        files[0].path = cfg;
        files[1].path = filter;
        for (Kept& k : files) {
            k.present = plat_access(k.path.c_str(), F_OK) == 0;
            if (!k.present) continue;
            k.bytes.resize(get_fileSize(k.path.c_str()));
            k.bytes.resize(get_fileContext(k.path.c_str(), reinterpret_cast<uint8*>(k.bytes.data()),
                                           (uint32)k.bytes.size()));
        }
    }
    void restore()
    {
        for (Kept& k : files) {
            if (k.present) {
                put_fileAtomic(k.path.c_str(), k.bytes.data(), k.bytes.size());
            } else {
                char host[PATH_MAX];
                if (plat_path(k.path.c_str(), host, sizeof(host))) unlink(host);
            }
        }
    }
};

enum class Stage { Header, UploadStart, ChunkLen, ChunkData, Download };

// Work a pump hands to a transfer thread.
enum class Job { None, Download, UploadEnd };

uint64 now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64)ts.tv_sec * 1000u + (uint64)ts.tv_nsec / 1000000u;
}

} // namespace

struct TcpFileConn {
    // Transport: a socket device, or a sink with the fed bytes as input.
    epcore_t* core = nullptr;
    iodev_t* dev = nullptr;
    uint64_t id = 0;  // the device's id when accepted
    int fd = -1;
    TcpFileSink sink = nullptr;
    void* sinkCtx = nullptr;
    bool closed = false;

    // Bytes of the current feed not yet handled.
    const uint8* in = nullptr;
    size_t inLeft = 0;

    Stage stage = Stage::Header;
    uint8 staging[kMsgHeaderSize] = {};
    size_t have = 0;
    FileCommonHeader hdr{};
    uint32 chunkLeft = 0;

    Upload up;
    std::unique_ptr<uint8[]> recvBuf;

    // Hand-over to a transfer thread. The thread owns the connection while
    // `busy`; the pump then only notes what it saw. Under m, which the pump
    // also holds while it parses, so the idle check never closes under it.
    std::mutex m;
    bool busy = false;
    bool readPending = false;  // input arrived while busy
    bool hangup = false;       // the pump saw the connection fail while busy
    Job job = Job::None;
    FileMsgHeader jobReq{};
    std::vector<uint8> carry;  // input after the handed-over message
    bool onThread = false;     // sends and receives may wait (bounded)
    std::atomic<uint64> lastWhole{0};  // now_ms() of the last whole message
    iotimer_t* idle = nullptr;         // under s_connsMutex
};

namespace {

int transfer_ms()
{
    return s_transferMs.load(std::memory_order_relaxed);
}

bool core_stopping(const TcpFileConn* c) { return c->core && c->core->quit.load(); }

// Waits for the socket to become ready before the deadline: false on
// time-out, failure or a stopping core. Only a transfer thread waits.
bool wait_fd(const TcpFileConn* c, short events, uint64 deadline)
{
    if (!c->onThread) return false;
    for (;;) {
        uint64 now = now_ms();
        if (now >= deadline || core_stopping(c)) return false;
        int slice = (int)std::min<uint64>(deadline - now, kWaitSliceMs);
        pollfd p{c->fd, events, 0};
        int r = poll(&p, 1, slice);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// Sends all bytes; a message the host has not taken whole within the
// transfer time-out fails, however it trickles. On a pump nothing waits: a
// host that lets the answers pile up unread fails the send.
bool conn_send(TcpFileConn* c, const void* data, size_t len)
{
    if (c->closed) return false;
    if (c->sink) return c->sink(c->sinkCtx, data, len) == 0;
    uint64 deadline = now_ms() + (uint64)transfer_ms();
    const uint8* p = static_cast<const uint8*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(c->fd, p + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_fd(c, POLLOUT, deadline)) continue;
        return false;
    }
    return true;
}

// Receives exactly len bytes for a download: the rest of the current input
// first, then the socket; the whole message must come within the transfer
// time-out.
bool conn_recv(TcpFileConn* c, void* buf, size_t len)
{
    if (c->closed) return false;
    uint8* p = static_cast<uint8*>(buf);
    size_t take = len < c->inLeft ? len : c->inLeft;
    if (take) {
        memcpy(p, c->in, take);
        c->in += take;
        c->inLeft -= take;
    }
    size_t got = take;
    if (got == len) return true;
    if (c->sink) return false;
    uint64 deadline = now_ms() + (uint64)transfer_ms();
    while (got < len) {
        ssize_t n = recv(c->fd, p + got, len - got, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            got += (size_t)n;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_fd(c, POLLIN, deadline)) continue;
        return false;
    }
    c->lastWhole.store(now_ms());
    return true;
}

void conn_close(TcpFileConn* c) { c->closed = true; }

bool answer(TcpFileConn* c, const FileCommonHeader& h, uint32 code)
{
    uint8 rsp[sizeof(FileMsgRsp)];
    encode_header(rsp, h);
    put_le32(rsp + kHeaderSize, code);
    if (conn_send(c, rsp, sizeof(rsp))) return true;
    log_error(g_logger, __FUNCTION__, __LINE__, "send answer fail, close the connection");
    conn_close(c);
    return false;
}

// The host's 12-byte header and error code: false when they did not come.
bool recv_ack(TcpFileConn* c, uint32* code)
{
    uint8 ack[sizeof(FileMsgRsp)];
    if (!conn_recv(c, ack, sizeof(ack))) return false;
    *code = get_le32(ack + kHeaderSize);
    return true;
}

void upload_start(TcpFileConn* c)
{
    FileMsgHeader m = decode_msg_header(c->staging);
    const char* path = file_path(m.file_type, true);
    if (!path) {
        c->up.discard();
        log_error(g_logger, __FUNCTION__, __LINE__, "file type %u can not be uploaded", m.file_type);
        answer(c, c->hdr, 1);
        return;
    }
    bool ok = c->up.begin(m.file_type, path, m.file_md5);
    if (!ok) log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", path);
    answer(c, c->hdr, ok ? 0 : 1);
}

// Settings an upload hands to depth processing (the filter text, type 20)
// or to the running application algorithm (type 21) before its file
// replaces the stored one: a text they refuse is refused with the upload,
// and the stored file stays the one they run on. What a text replaced is
// kept, to be put back should the file not take its place.
struct Handover {
    uint32 type = 0;
    uint32 mode = 0;   // enableApplicationAlgo, for type 21
    bool taken = false;
    std::string previous;
    bool kept = false;

    // What takes application settings in `mode` (enableApplicationAlgo):
    // an application behind the algorithm server (its id), the
    // first-generation detector, or nothing.
    static constexpr uint32 kNoTaker = 0, kDetector = 1;
    static uint32 taker_of(uint32 mode)
    {
        switch (mode) {
        case 4: return ALGO_APP_AVOID2;
        case 2: return ALGO_APP_PALLET;
        case 1: return kDetector;
        default: return kNoTaker;
        }
    }

    // 0 when the settings were taken.
    int apply(uint8* text, uint32 len)
    {
        if (type == DEVICE_FILTER_FILE) return algo_TavoPlus_SetFilterString(text);
        switch (taker_of(mode)) {
        case ALGO_APP_AVOID2: {
            int ret = algo_avoid_set_params2(text, len);
            if (ret != 0) log_error(g_logger, __FUNCTION__, __LINE__, "algo_avoid_set_params2 fail. ret:%d", ret);
            return ret;
        }
        case ALGO_APP_PALLET: return algo_pallet_set_params(text, len);
        default: return algo_avoid_set_params(text, len) == 1 ? 0 : -1;
        }
    }

    void keep_previous()
    {
        if (type == DEVICE_FILTER_FILE) {
            std::unique_ptr<uint8[]> text(new (std::nothrow) uint8[ALGO_FILTER_TEXT_MAX]());
            int len = 0;
            if (text) algo_TavoPlus_GetFilterString(text.get(), &len);
            kept = text && len > 0 && len < ALGO_FILTER_TEXT_MAX;
            if (kept) previous.assign(reinterpret_cast<char*>(text.get()), (size_t)len);
            return;
        }
        uint32 app = taker_of(mode);
        if (app == kDetector || app == kNoTaker) return;  // no settings there to keep
        int len = algo_server_get_params(app, nullptr, 0);
        if (len < 0 || len > ALGO_SERVER_PARAM_MAX) return;
        previous.assign((size_t)len + 1, '\0');
        kept = algo_server_get_params(app, previous.data(), previous.size()) == len;
        previous.resize((size_t)len);
    }

    // Hands the text of the verified upload over; false when it was refused
    // or could not be read. Type 21 without an application algorithm has no
    // taker and is stored as it comes.
    bool hand_over(const Upload& up)
    {
        type = up.type;
        if (type == APP_ALGO_CONFIG_FILE) {
            Custom_RegRead(kRegEnableApplicationAlgo, &mode);
            if (taker_of(mode) == kNoTaker) return true;
        }
        std::unique_ptr<uint8[]> text;
        uint32 size = 0;
        if (!read_text_file(up.tmpBoard.c_str(), &text, &size)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "can not read %s", up.target.c_str());
            return false;
        }
        keep_previous();
        if (apply(text.get(), size) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "settings refused: %s and the running ones kept",
                      up.target.c_str());
            return false;
        }
        taken = true;
        return true;
    }

    // The file did not replace the stored one: what the text replaced runs
    // again.
    void undo()
    {
        if (!taken || !kept) return;
        if (apply(reinterpret_cast<uint8*>(previous.data()), (uint32)previous.size()) != 0)
            log_error(g_logger, __FUNCTION__, __LINE__, "can not restore the settings of file type %u", type);
        taken = false;
    }

    // After avoidance settings were taken on an RK3568 IMX570 board: the zone
    // follows the IO lines, and the default zone is stored and saved.
    void zone_follow_up() const
    {
        if (!taken || type != APP_ALGO_CONFIG_FILE || (mode != 4 && mode != 1)) return;
        uint32 cpuId = 0, sensorType = 0;
        Custom_RegRead(kRegCpuId, &cpuId);
        Custom_RegRead(kRegTofSensorType, &sensorType);
        if (sensorType != E_IMX570 || cpuId != E_CPU_RK3568) return;
        bool second = mode == 4;
        uint32 zone = (uint32)(second ? algo_avoid_get_zone_index2() : algo_avoid_get_zone_index());
        int lines = LED_AvoidIOSettingGet();
        if (lines != 0) {
            int ret = second ? algo_avoid_set_zone_index2(lines - 1) : algo_avoid_set_zone_index(lines - 1);
            log_info(g_logger, __FUNCTION__, __LINE__, "AVOID IO selected:%d ret:%d", lines - 1, ret);
        }
        Custom_RegWrite(kRegAvoidSetMode, &zone);
        log_info(g_logger, __FUNCTION__, __LINE__, "AVOID default setting:%d", (int)zone);
        Custom_RegWrite(kRegSaveCfg, &zone);
        uint32 none = 0xFFFF;
        Custom_RegWrite(kRegAvoidTmpParam, &none);
    }
};

// Content checks of a verified upload before it replaces its target: 0
// accepted, 1 refused.
uint32 vet_upload(Upload& up)
{
    if (up.type == UPGRADE_FILE && (up.size < 2 || up.head[0] != kGzipMagic0 || up.head[1] != kGzipMagic1)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s is not a gzip package", up.target.c_str());
        return 1;
    }
    if (up.type == DEV_CONFIG_FILE && up.size < DEV_CFG_SIZE) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s holds %llu bytes, not %u", up.target.c_str(),
                  (unsigned long long)up.size, DEV_CFG_SIZE);
        return 1;
    }
    if (is_archive(up.type)) {
        int fd = open(up.tmpHost.c_str(), O_RDONLY | O_CLOEXEC);
        int verdict = fd >= 0 ? zip_check_fd(fd) : ZIP_CHECK_UNREADABLE;
        if (fd >= 0) close(fd);
        if (verdict != ZIP_CHECK_OK) {
            log_error(g_logger, __FUNCTION__, __LINE__, "archive %s refused: %d", up.target.c_str(), verdict);
            return 1;
        }
    }
    return 0;
}

void upload_end(TcpFileConn* c)
{
    Upload& up = c->up;
    if (!up.active) {
        log_error(g_logger, __FUNCTION__, __LINE__, "end of upload without a start");
        return;
    }
    bool written = up.finish();
    log_info(g_logger, __FUNCTION__, __LINE__, "fileName:%s", up.target.c_str());
    uint8 digest[16];
    md5_final(&up.md5, digest);
    char strMd5[kMd5Hex + 1];
    md5_hex(digest, strMd5);
    log_info(g_logger, __FUNCTION__, __LINE__, "str_md5:%s recv_md5:%s", strMd5, LogPeerText(up.recvMd5).c_str());
    if (!written || strncasecmp(strMd5, up.recvMd5, kMd5Hex) != 0) {
        if (written) log_error(g_logger, __FUNCTION__, __LINE__, "md5 not match, %s kept", up.target.c_str());
        up.discard();
        answer(c, c->hdr, 1);
        return;
    }
    uint32 code = vet_upload(up);
    if (code == 0 && up.type == DEV_CONFIG_FILE && Custom_KeepUnreadConfig() != 0) code = 1;
    Handover settings;
    {
        std::unique_lock<std::mutex> oneAtATime;
        if (code == 0 && (up.type == DEVICE_FILTER_FILE || up.type == APP_ALGO_CONFIG_FILE)) {
            std::mutex& kind = up.type == DEVICE_FILTER_FILE ? s_filterMutex : s_appSettingsMutex;
            oneAtATime = std::unique_lock<std::mutex>(kind);
            if (!settings.hand_over(up)) code = 1;
        }
        if (code == 0 && !up.commit()) {
            code = 1;
            settings.undo();
        }
    }
    uint32 type = up.type;
    std::string target = up.target;
    deviceCFG block;
    memcpy(&block, up.head, sizeof(block));
    up.discard();

    if (code == 0 && type == DEV_CONFIG_FILE) {
        if (g_dev_cfg) Custom_BlockReplace(&block);
        else code = 1;
    }
    if (code == 0 && type == IMPORT_CUSTOM_PARAM_FILE && custom_paramGroupParse() < 0) code = 1;
    bool answered = answer(c, c->hdr, code);
    if (code != 0) return;
    // The settings were taken with the file: what goes with them follows.
    settings.zone_follow_up();
    if (!answered) return;

    if (is_archive(type)) {
        if (type == UPLOAD_MAP_FILE) shellf("unzip -o %s -d %s", target.c_str(), VISLOC_CONFIG_DIR);
        else shellf("unzip -o %s -d /userdata/", target.c_str());
        plat_shell("sync");
    }
}

// Waits for the capture to fill the raw image and writes it to TOF_RAW_FILE.
bool take_raw_frame()
{
    std::lock_guard<std::mutex> g(s_rawMutex);
    g_raw_flags.store(1, std::memory_order_release);
    int left = s_rawFrameMs.load(std::memory_order_relaxed);
    while (g_raw_flags.load(std::memory_order_acquire) != 0) {
        if (left <= 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "no raw frame captured");
            return false;
        }
        int step = left < kRawPollMs ? left : kRawPollMs;
        wait_ms((unsigned long)step);
        left -= step;
    }
    shellf("rm -rf %s ", TOF_RAW_FILE);
    FILE* fp = plat_fopen(TOF_RAW_FILE, "ab");
    if (!fp) return true;  // the download finds no file and ends there
    uint32 size = std::min<uint32>(g_raw_image_size.load(std::memory_order_acquire), RAW_IMAGE_MAX);
    fwrite(g_raw_image, 1, size, fp);
    fflush(fp);
    fclose(fp);
    return true;
}

// Builds the file a download type announces: false when there is nothing
// to send.
bool prepare_download(uint32 type, const char* path)
{
    switch (type) {
    case DEV_LOG_FILE:
        shellf("rm -rf %s", path);
        shellf("zip -r -u %s /var/log/camera* /var/log/data_process.* /var/log/syslog*", path);
        log_info(g_logger, __FUNCTION__, __LINE__, "fileSize:%d", (int)get_fileSize(path));
        return true;
    case APPLATION_LOG_FILE:
        shellf("rm -rf %s ", path);
        shellf("zip -r -u %s /logs/", path);
        return true;
    case TOF_RAW_IMAGE:
        return take_raw_frame();
    case UPLOAD_CURRENT_MAP_FILE:
        shellf("rm -rf %s ", path);
        shellf("cd %s && zip -r -u %s * && cd -", VISLOC_CONFIG_DIR, path);
        return true;
    case DOWNLOAD_MAP_FILE:
        shellf("rm -rf %s ", path);
        shellf("zip -r -u %s %s", path, kBuildMapsDir);
        return true;
    case EXPORT_CUSTOM_PARAM_FILE: {
        uint32 cameraType = 0;
        Custom_RegRead(kRegCameraType, &cameraType);
        uint8 bytes[4];
        put_le32(bytes, cameraType);
        if (put_fileContext(CAMERA_TYPE_BIN, bytes, sizeof(bytes)) != 0)
            log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", CAMERA_TYPE_BIN);
        shellf("cat %s " PARAM_GROUP_FILE " " PARAM_FILTER_FILE " > %s", CAMERA_TYPE_BIN, kGroup, kGroup, path);
        return true;
    }
    default:
        return true;
    }
}

// Digest and size of an open board file.
bool digest_fd(int fd, uint64 size, char hex[kMd5Hex + 1])
{
    MD5Ctx ctx;
    md5_init(&ctx);
    uint8 buf[16384];
    for (uint64 at = 0; at < size;) {
        size_t n = size - at < sizeof(buf) ? (size_t)(size - at) : sizeof(buf);
        if (!pread_full(fd, buf, n, at)) return false;
        md5_update(&ctx, buf, n);
        at += n;
    }
    uint8 digest[16];
    md5_final(&ctx, digest);
    md5_hex(digest, hex);
    return true;
}

struct BoardFd {
    int fd;
    explicit BoardFd(int f) : fd(f) {}
    ~BoardFd()
    {
        if (fd >= 0) plat_close(fd);
    }
};

// Sends one data chunk and takes the host's answer: false when the transfer
// ends (the connection is closed when it failed).
bool send_chunk(TcpFileConn* c, const uint8* data, uint32 len)
{
    uint8 head[kHeaderSize + 4];
    encode_header(head, {0, FILE_MSG_DATA, 0});
    put_le32(head + kHeaderSize, len);
    uint32 code = 0;
    if (!conn_send(c, head, sizeof(head)) || !conn_send(c, data, len) || !recv_ack(c, &code)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "send chunk fail, close the connection");
        conn_close(c);
        return false;
    }
    if (code != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "msg_errcode:%d", (int)code);
        return false;
    }
    return true;
}

void download(TcpFileConn* c, const FileMsgHeader& req)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "customParamIndex:%d", kGroup);
    uint32 type = req.file_type;
    bool ok = true;
    if (type == APD_CALIB_FILE) {
        ok = board_file_exists(kGainListFile);
    } else if (type == EXPORT_CUSTOM_PARAM_FILE) {
        char cfg[64], filter[64];
        snprintf(cfg, sizeof(cfg), PARAM_GROUP_FILE, kGroup);
        snprintf(filter, sizeof(filter), PARAM_FILTER_FILE, kGroup);
        ok = board_file_exists(cfg) && board_file_exists(filter);
    }
    // The file is made, opened and digested before the answer: a download
    // with nothing to send is refused (1) before anything is announced, and
    // the connection stays for the host's next request.
    const char* path = ok ? file_path(type, false) : nullptr;
    if (ok && !path) {
        log_error(g_logger, __FUNCTION__, __LINE__, "file type %u can not be downloaded", type);
        ok = false;
    }
    ok = ok && prepare_download(type, path);
    BoardFd file(ok ? plat_open(path, O_RDONLY | O_CLOEXEC) : -1);
    struct stat st{};
    if (ok && (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || (uint64)st.st_size > UINT32_MAX)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", path);
        ok = false;
    }
    uint32 size = ok ? (uint32)st.st_size : 0;
    char hex[kMd5Hex + 1];
    if (ok && !digest_fd(file.fd, size, hex)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not read %s", path);
        ok = false;
    }
    if (!answer(c, c->hdr, ok ? 0 : 1) || !ok) return;

    uint8 announce[kHeaderSize + kMsgHeaderSize];
    encode_header(announce, {0, 0, 0});
    uint8* m = announce + kHeaderSize;
    put_le32(m, type);
    put_le32(m + 4, req.file_lengthH);
    put_le32(m + 8, size);
    memcpy(m + 12, req.file_md5, FILE_MD5_FIELD);
    memcpy(m + 12, hex, kMd5Hex + 1);
    if (type == DEV_LOG_FILE) log_info(g_logger, __FUNCTION__, __LINE__, "fileMsgHeader.file_md5:%s", hex);
    uint32 ack = 0;
    if (!conn_send(c, announce, sizeof(announce)) || !recv_ack(c, &ack)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "announce %s fail, close the connection", path);
        conn_close(c);
        return;
    }
    if (ack != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "msg_errcode:%d", (int)ack);
        return;
    }

    uint32 piece = size < FILE_CHUNK_SIZE ? size : FILE_CHUNK_SIZE;
    std::unique_ptr<uint8[]> buf(new (std::nothrow) uint8[piece ? piece : 1]);
    if (!buf) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        return;
    }
    uint32 at = 0;
    for (; size - at >= FILE_CHUNK_SIZE; at += FILE_CHUNK_SIZE) {
        if (!pread_full(file.fd, buf.get(), FILE_CHUNK_SIZE, at)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "can not read %s", path);
            conn_close(c);
            return;
        }
        if (!send_chunk(c, buf.get(), FILE_CHUNK_SIZE)) return;
    }
    uint32 rest = size - at;
    if (rest) {
        log_info(g_logger, __FUNCTION__, __LINE__, "fileMsgData.msg_len:%d", (int)rest);
        if (!pread_full(file.fd, buf.get(), rest, at)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "can not read %s", path);
            conn_close(c);
            return;
        }
        if (!send_chunk(c, buf.get(), rest)) return;
    }
    uint8 end[kHeaderSize];
    encode_header(end, {0, FILE_MSG_UPLOAD_END, 0});
    if (!conn_send(c, end, sizeof(end))) {
        conn_close(c);
        return;
    }
    if (type == DOWNLOAD_MAP_FILE) shellf("rm -rf %s ", "/build_maps/*");
}

// Moves up to `need` bytes of the input into the staging area: true when
// the field is whole.
bool collect(TcpFileConn* c, size_t need)
{
    size_t n = need - c->have < c->inLeft ? need - c->have : c->inLeft;
    memcpy(c->staging + c->have, c->in, n);
    c->in += n;
    c->inLeft -= n;
    c->have += n;
    if (c->have < need) return false;
    c->have = 0;
    return true;
}

void on_header(TcpFileConn* c)
{
    c->hdr = decode_header(c->staging);
    c->stage = Stage::Header;
    c->lastWhole.store(now_ms());
    switch (c->hdr.msg_type) {
    case FILE_MSG_UPLOAD_START: c->stage = Stage::UploadStart; break;
    case FILE_MSG_DATA: c->stage = Stage::ChunkLen; break;
    case FILE_MSG_UPLOAD_END:
        // Digest, archive and shell work: on a transfer thread.
        if (c->sink) upload_end(c);
        else c->job = Job::UploadEnd;
        break;
    case FILE_MSG_DOWNLOAD: c->stage = Stage::Download; break;
    default: answer(c, c->hdr, 0); break;
    }
}

// Handles what the input holds, one field at a time.
void step(TcpFileConn* c)
{
    switch (c->stage) {
    case Stage::Header:
        if (collect(c, kHeaderSize)) on_header(c);
        break;
    case Stage::UploadStart:
        if (!collect(c, kMsgHeaderSize)) break;
        c->stage = Stage::Header;
        c->lastWhole.store(now_ms());
        upload_start(c);
        break;
    case Stage::Download:
        if (!collect(c, kMsgHeaderSize)) break;
        c->stage = Stage::Header;
        c->lastWhole.store(now_ms());
        if (c->sink) {
            download(c, decode_msg_header(c->staging));
        } else {
            c->jobReq = decode_msg_header(c->staging);
            c->job = Job::Download;
        }
        break;
    case Stage::ChunkLen: {
        if (!collect(c, 4)) break;
        uint32 len = get_le32(c->staging);
        if (len > FILE_MSG_LEN_MAX) {
            // What follows is the chunk, not a header: nothing more can be
            // read from this connection.
            log_error(g_logger, __FUNCTION__, __LINE__, "too long msgLen:0x%x", len);
            conn_close(c);
            break;
        }
        c->chunkLeft = len;
        c->stage = Stage::ChunkData;
        if (len == 0) {
            c->stage = Stage::Header;
            answer(c, c->hdr, 0);
        }
        break;
    }
    case Stage::ChunkData: {
        size_t n = c->chunkLeft < c->inLeft ? c->chunkLeft : c->inLeft;
        if (c->up.active) c->up.write(c->in, n);
        c->in += n;
        c->inLeft -= n;
        c->chunkLeft -= (uint32)n;
        if (c->chunkLeft == 0) {
            c->stage = Stage::Header;
            c->lastWhole.store(now_ms());
            answer(c, c->hdr, 0);
        }
        break;
    }
    }
}

// Handles the input up to a message that is handed over; what follows that
// message is kept for the transfer thread.
int feed(TcpFileConn* c, const uint8* data, size_t len)
{
    if (c->closed) return -ENETDOWN;
    c->in = data;
    c->inLeft = len;
    while (!c->closed && c->job == Job::None && c->inLeft > 0) step(c);
    if (c->job != Job::None && c->inLeft > 0) c->carry.insert(c->carry.end(), c->in, c->in + c->inLeft);
    c->in = nullptr;
    c->inLeft = 0;
    return c->closed ? -ENETDOWN : 0;
}

// Connections by device id. A connection is parsed only on the pump that
// owns it, or by the transfer thread it was handed to; the lock guards the
// table and the idle timers.
std::mutex s_connsMutex;
std::unordered_map<uint64_t, std::shared_ptr<TcpFileConn>> s_conns;

using ConnRef = std::shared_ptr<TcpFileConn>;

int tcp_idle_check(void* vpcore, void* vtimer, int event, int fdtype);

// Starts the connection's idle timer for `ms`. Under s_connsMutex.
void arm_idle(TcpFileConn* c, uint64_t id, int ms)
{
    c->idle = iotimer_start(c->core, ms, 0, reinterpret_cast<void*>((uintptr_t)id), tcp_idle_check, c->core);
}

// The connection of an accepted device (`fresh`: made anew at the accept);
// null for a device whose connection is gone.
ConnRef conn_of(epcore_t* core, iodev_t* dev, bool fresh)
{
    uint64_t id = iodev_id(dev);
    std::lock_guard<std::mutex> g(s_connsMutex);
    if (!fresh) {
        auto it = s_conns.find(id);
        return it != s_conns.end() && it->second->dev == dev ? it->second : nullptr;
    }
    // Ids are never reused within a core: a connection still under this id
    // was left by an earlier core, whose timers went with it.
    auto& slot = s_conns[id];
    slot = std::make_shared<TcpFileConn>();
    slot->core = core;
    slot->dev = dev;
    slot->id = id;
    slot->fd = iodev_fd(dev);
    slot->lastWhole.store(now_ms());
    arm_idle(slot.get(), id, transfer_ms());
    return slot;
}

ConnRef conn_find(uint64_t id)
{
    std::lock_guard<std::mutex> g(s_connsMutex);
    auto it = s_conns.find(id);
    return it == s_conns.end() ? nullptr : it->second;
}

void conn_forget(iodev_t* dev)
{
    ConnRef gone;
    {
        std::lock_guard<std::mutex> g(s_connsMutex);
        auto it = s_conns.find(iodev_id(dev));
        if (it == s_conns.end() || it->second->dev != dev) return;
        gone = std::move(it->second);
        s_conns.erase(it);
        if (gone->idle) iotimer_stop(gone->idle);
        gone->idle = nullptr;
    }
}

int close_device(iodev_t* dev)
{
    conn_forget(dev);
    iodev_close(dev);
    return -ENETDOWN;
}

// Closes a connection's device from a thread other than its pump's: only
// while the device is still the one accepted under that id.
void close_conn(TcpFileConn* c)
{
    c->closed = true;
    if (epcore_iodev_find(c->core, c->id) == c->dev) close_device(c->dev);
}

void new_conn(epcore_t* core, iodev_t* conn) { conn_of(core, conn, true); }

// Takes what the socket holds until it would block, a message is handed
// over or the connection ends: 0, or -ENETDOWN when it is to be closed.
int drain(TcpFileConn* c)
{
    if (!c->recvBuf) {
        c->recvBuf.reset(new (std::nothrow) uint8[kRecvPiece]);
        if (!c->recvBuf) return -ENETDOWN;
    }
    while (c->job == Job::None && !c->closed) {
        int got = 0;
        int r = tcp_nb_recv(c->fd, c->recvBuf.get(), (int)kRecvPiece, &got);
        if (got > 0 && feed(c, c->recvBuf.get(), (size_t)got) != 0) return -ENETDOWN;
        if (r < 0) return -ENETDOWN;
        if (got == 0) return 0;
    }
    return c->closed ? -ENETDOWN : 0;
}

// ---- Transfer threads ----

std::mutex s_poolMutex;
std::deque<ConnRef> s_poolQueue;
int s_poolThreads = 0;

// Runs the handed-over message, then reads on like the pump would, until
// nothing more is there; the connection goes back to its pump after.
void run_transfer(TcpFileConn* c)
{
    c->onThread = true;
    for (;;) {
        Job job = c->job;
        c->job = Job::None;
        std::vector<uint8> input = std::move(c->carry);
        c->carry.clear();
        c->in = input.data();
        c->inLeft = input.size();
        if (job == Job::Download) download(c, c->jobReq);
        else if (job == Job::UploadEnd) upload_end(c);
        // `input` outlives the call, and feed keeps what it leaves in carry.
        if (!c->closed && c->inLeft > 0) feed(c, c->in, c->inLeft);
        c->in = nullptr;
        c->inLeft = 0;
        if (c->job != Job::None) continue;
        if (!c->closed && drain(c) != 0) c->closed = true;
        if (c->job != Job::None) continue;
        std::lock_guard<std::mutex> g(c->m);
        if (!c->closed && !c->hangup && c->readPending) {
            c->readPending = false;
            continue;
        }
        c->onThread = false;
        // Closed here while still owned: the pump only notes events of a
        // busy connection, so the close cannot race its parsing.
        if (c->closed || c->hangup) close_conn(c);
        c->busy = false;
        return;
    }
}

void* transfer_main(void* arg)
{
    auto* core = static_cast<epcore_t*>(arg);
    set_task_name("tcp_transfer");
    for (;;) {
        ConnRef c;
        {
            std::lock_guard<std::mutex> g(s_poolMutex);
            if (s_poolQueue.empty()) {
                s_poolThreads--;
                break;
            }
            c = std::move(s_poolQueue.front());
            s_poolQueue.pop_front();
        }
        run_transfer(c.get());
    }
    epcore_thread_leave(core);
    return nullptr;
}

// Gives a busy connection to a transfer thread; false when no thread could
// be had for it.
bool hand_over(const ConnRef& c)
{
    std::lock_guard<std::mutex> g(s_poolMutex);
    s_poolQueue.push_back(c);
    if (s_poolThreads >= kTransferThreads) return true;
    epcore_thread_enter(c->core);
    int rc = thread_start_detached(transfer_main, c->core);
    if (rc == 0) {
        s_poolThreads++;
        return true;
    }
    epcore_thread_leave(c->core);
    // Another thread still serves the queue; without one the transfer fails.
    if (s_poolThreads > 0) return true;
    s_poolQueue.pop_back();
    log_error(g_logger, __FUNCTION__, __LINE__, "no transfer thread: %s", strerror(rc));
    return false;
}

// The idle timer of a connection (any pump): closes one that sent no whole
// message for the transfer time-out while no transfer runs, else waits on.
int tcp_idle_check(void* vpcore, void* vtimer, int event, int fdtype)
{
    (void)vpcore;
    (void)event;
    (void)fdtype;
    uint64_t id = (uint64_t)reinterpret_cast<uintptr_t>(iotimer_para(static_cast<iotimer_t*>(vtimer)));
    ConnRef c = conn_find(id);
    if (!c) return 0;
    int limit = transfer_ms();
    int next = limit;
    {
        std::lock_guard<std::mutex> g(c->m);
        uint64 quiet = now_ms() - c->lastWhole.load();
        if (!c->busy && !c->closed && quiet >= (uint64)limit) {
            log_error(g_logger, __FUNCTION__, __LINE__, "no whole message in %d ms, close fd %d", limit, c->fd);
            close_conn(c.get());
            return 0;
        }
        if (!c->busy && quiet < (uint64)limit) next = (int)((uint64)limit - quiet);
    }
    std::lock_guard<std::mutex> g(s_connsMutex);
    auto it = s_conns.find(id);
    if (it != s_conns.end() && it->second == c && c->idle == vtimer) arm_idle(c.get(), id, next);
    return 0;
}

} // namespace

int tcp_pump(void* vpcore, void* vobj, int event, int fdtype)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    iodev_t* dev = static_cast<iodev_t*>(vobj);
    switch (event) {
    case EVT_ACCEPT:
        if (fdtype != IODEV_TCP_LISTEN || !core || !dev) return -1;
        tcp_accept_all(core, dev, tcp_pump, vpcore, new_conn);
        return 0;
    case EVT_READ:
        tcp_file_parse(core, dev);
        return 0;
    case EVT_INVALID: {
        // Error or hang-up with nothing to read: nothing more will come.
        if (fdtype != IODEV_TCP_ACCEPTED || !dev) return 0;
        ConnRef c = conn_find(iodev_id(dev));
        if (c && c->dev == dev) {
            std::lock_guard<std::mutex> g(c->m);
            if (c->busy) {
                c->hangup = true;  // the transfer thread closes it
                return 0;
            }
            c->closed = true;
            close_device(dev);
            return 0;
        }
        close_device(dev);
        return 0;
    }
    default:
        return 0;
    }
}

int tcp_file_parse(epcore_t* core, iodev_t* dev)
{
    if (!core || !dev) return -1;
    ConnRef c = conn_of(core, dev, false);
    if (!c) return -1;
    std::unique_lock<std::mutex> g(c->m);
    if (c->busy) {
        c->readPending = true;
        return 0;
    }
    if (c->closed) return -ENETDOWN;  // closed by its idle timer
    if (drain(c.get()) != 0) {
        c->closed = true;
        return close_device(dev);
    }
    if (c->job == Job::None) return 0;
    c->busy = true;
    if (hand_over(c)) return 0;
    c->busy = false;
    c->job = Job::None;
    c->closed = true;
    return close_device(dev);
}

int tcp_send_file(epcore_t* core, iodev_t* dev, FileCommonHeader* header)
{
    if (!core || !dev || !header) return -1;
    ConnRef c = conn_of(core, dev, false);
    if (!c) return -1;
    // Runs on the caller's thread, which may wait: bounded like a transfer.
    c->onThread = true;
    uint8 req[kMsgHeaderSize];
    bool got = conn_recv(c.get(), req, sizeof(req));
    if (got) {
        c->hdr = *header;
        download(c.get(), decode_msg_header(req));
    }
    c->onThread = false;
    if (!got || c->closed) return close_device(dev);
    return 0;
}

int custom_paramGroupParse(void)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "customParamIndex:%d", kGroup);
    BoardFd file(plat_open(CUSTOM_PARAM_FILE, O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) {
        Custom_ParamGroup(PARAM_GROUP_LOAD | kGroup);
        return 0;
    }
    struct stat st;
    uint64 size = fstat(file.fd, &st) == 0 ? (uint64)st.st_size : 0;
    if (size <= DEV_CFG_SIZE) {
        log_error(g_logger, __FUNCTION__, __LINE__, "fileSize error");
        return -1;
    }
    // Without room for the camera type and the whole block nothing is taken.
    if (size < sizeof(uint32) + DEV_CFG_SIZE) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no room for the camera type and the block: %llu bytes",
                  (unsigned long long)size);
        return -1;
    }
    uint8 word[4];
    uint32 cameraType = 0;
    Custom_RegRead(kRegCameraType, &cameraType);
    if (!read_full(file.fd, word, sizeof(word)) || get_le32(word) != cameraType) {
        log_error(g_logger, __FUNCTION__, __LINE__, "camera type not match.");
        return -1;
    }
    // The group load takes at most PARAM_FILTER_MAX bytes of text: a longer
    // one would be cut there and refused, so nothing of it is stored.
    size_t textLen = (size_t)(size - sizeof(uint32) - DEV_CFG_SIZE);
    if (textLen > PARAM_FILTER_MAX) {
        log_error(g_logger, __FUNCTION__, __LINE__, "filter text of %zu bytes, more than %d", textLen,
                  PARAM_FILTER_MAX);
        return -1;
    }
    char cfgPath[64], filterPath[64];
    snprintf(cfgPath, sizeof(cfgPath), PARAM_GROUP_FILE, kGroup);
    snprintf(filterPath, sizeof(filterPath), PARAM_FILTER_FILE, kGroup);
    // The group as it was, put back when the imported one cannot be loaded.
    GroupFiles before(cfgPath, filterPath);
    uint8 block[DEV_CFG_SIZE];
    if (!read_full(file.fd, block, sizeof(block)) || put_fileAtomic(cfgPath, block, sizeof(block)) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not write %s", cfgPath);
        before.restore();
        return -1;
    }
    // The filter text and four zero bytes after it.
    std::unique_ptr<uint8[]> text(new (std::nothrow) uint8[textLen + 4]());
    if (!text) return 0;
    if (!read_full(file.fd, text.get(), textLen) || put_fileAtomic(filterPath, text.get(), textLen + 4) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not write %s", filterPath);
        before.restore();
        return -1;
    }
    if (Custom_ParamGroup(PARAM_GROUP_LOAD | kGroup) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "imported group can not be loaded");
        before.restore();
        return -1;
    }
    return 0;
}

void tcp_file_set_timeouts(int transferMs, int rawFrameMs)
{
    s_transferMs.store(transferMs > 0 ? transferMs : kTransferMsDefault);
    s_rawFrameMs.store(rawFrameMs > 0 ? rawFrameMs : kRawFrameMsDefault);
}

TcpFileConn* tcp_file_conn_new(TcpFileSink sink, void* ctx)
{
    if (!sink) return nullptr;
    auto* c = new (std::nothrow) TcpFileConn();
    if (!c) return nullptr;
    c->sink = sink;
    c->sinkCtx = ctx;
    return c;
}

int tcp_file_conn_feed(TcpFileConn* conn, const uint8* data, size_t len)
{
    if (!conn || (!data && len)) return -1;
    return feed(conn, data, len);
}

void tcp_file_conn_free(TcpFileConn* conn) { delete conn; }
