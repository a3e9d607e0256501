/* The simulated media-process library: buffer groups and buffers in host
 * memory, encoder contexts that keep their configuration, and an encoder
 * that turns a frame's bytes into a short packet any test can predict (the
 * coding's tag, the byte count, a checksum and the first bytes), so that a
 * picture can be followed from the camera to the stream.
 *
 * Every call is recorded, in order, with the arguments that matter; handles
 * are checked against the objects alive, so a stale or foreign handle is an
 * error rather than a wild access. Faults are injected per call name. */
#include "backend.h"
#include "plat_mpp.h"
#include "platform.h"
#include "simboard.h"

#include <fcntl.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

enum class Kind { Ctx, Group, Buffer, Cfg, Frame, Packet };

struct Obj {
    explicit Obj(Kind k) : kind(k) {}
    virtual ~Obj() = default;
    Kind kind;
};

struct Group : Obj {
    Group() : Obj(Kind::Group) {}
    uint32_t type = 0;
    long     buffers = 0; /* buffers of the group not yet put */
};

struct Buffer : Obj {
    Buffer() : Obj(Kind::Buffer) {}
    ~Buffer() override
    {
        if (ext) munmap(ext, ext_size);
        if (fd >= 0) close(fd);
    }
    Group*               group = nullptr;
    std::vector<uint8_t> bytes;
    /* An imported DMA buffer: the library's own descriptor and its mapping. */
    int      fd = -1;
    uint8_t* ext = nullptr;
    size_t   ext_size = 0;

    uint8_t* data() { return ext ? ext : bytes.data(); }
    size_t   size() const { return ext ? ext_size : bytes.size(); }
};

struct Cfg : Obj {
    Cfg() : Obj(Kind::Cfg) {}
    std::map<std::string, int64_t> values;
};

struct Packet : Obj {
    Packet() : Obj(Kind::Packet) {}
    Buffer*  buffer = nullptr;
    size_t   length = 0;
    uint32_t eos = 0;
};

struct Frame : Obj {
    Frame() : Obj(Kind::Frame) {}
    uint32_t width = 0, height = 0, hor = 0, ver = 0, fmt = 0, eos = 0;
    Buffer*  buffer = nullptr;
    Packet*  output = nullptr; /* "opkt" of its metadata */
};

struct Ctx : Obj {
    Ctx() : Obj(Kind::Ctx) {}
    bool     ready = false; /* mpp_init done */
    uint32_t coding = 0;
    Packet*  pending = nullptr; /* encoded, not yet fetched */
};

/* Configuration keys the encoder takes. */
constexpr const char* kKeys[] = {
    "prep:width",     "prep:height",     "prep:hor_stride",  "prep:ver_stride", "prep:format",
    "rc:mode",        "rc:fps_in_flex",  "rc:fps_in_num",    "rc:fps_in_denorm",
    "rc:fps_out_flex", "rc:fps_out_num", "rc:fps_out_denorm", "rc:gop",         "rc:drop_mode",
    "rc:drop_thd",    "rc:drop_gap",     "rc:bps_target",    "rc:bps_max",      "rc:bps_min",
    "rc:qp_init",     "rc:qp_max",       "rc:qp_min",        "rc:qp_max_i",     "rc:qp_min_i",
    "rc:qp_ip",       "jpeg:q_factor",   "jpeg:qf_max",      "jpeg:qf_min",     "split:mode",
    "split:arg",
};

/* Leading bytes of a frame copied into its packet. */
constexpr size_t kSampleBytes = 256;

std::mutex                          s_mu; /* guards everything below */
std::unordered_map<const void*, std::unique_ptr<Obj>> s_live;
std::vector<std::string>            s_calls;
std::map<std::string, unsigned>     s_faults; /* call -> countdown to the failing one */

void record(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void record(const char* fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    s_calls.emplace_back(line);
}

/* True when this call of `name` is the one set to fail. */
bool failing(const char* name)
{
    auto it = s_faults.find(name);
    if (it == s_faults.end()) return false;
    if (--it->second > 0) return false;
    s_faults.erase(it);
    return true;
}

template <class T>
T* as(const void* handle, Kind kind)
{
    auto it = s_live.find(handle);
    if (it == s_live.end() || it->second->kind != kind) return nullptr;
    return static_cast<T*>(it->second.get());
}

template <class T>
T* make()
{
    auto obj = std::make_unique<T>();
    T* raw = obj.get();
    s_live.emplace(raw, std::move(obj));
    return raw;
}

void drop(const void* handle) { s_live.erase(handle); }

const char* coding_tag(uint32_t coding)
{
    switch (coding) {
    case MPP_CODING_H264:  return "H264";
    case MPP_CODING_H265:  return "H265";
    case MPP_CODING_MJPEG: return "MJPG";
    case MPP_CODING_VP8:   return "VP8 ";
    default:               return nullptr;
    }
}

void put_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

/* FNV-1a over the bytes. */
uint32_t checksum(const uint8_t* p, size_t n)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 16777619u;
    return h;
}

/* Bytes of a picture in the buffer, from its strides and format; 0 when the
 * format is not one the encoder takes. */
size_t picture_bytes(const Frame& f)
{
    uint32_t base = f.fmt & MPP_FMT_BASE_MASK;
    if (base != MPP_FMT_YUV420SP && base != MPP_FMT_YUV420P) return 0;
    return (size_t)f.hor * f.ver * 3 / 2;
}

int ctl(mpp_ctx_t handle, uint32_t cmd, void* param)
{
    std::lock_guard<std::mutex> lk(s_mu);
    record("control 0x%x", (unsigned)cmd);
    Ctx* c = as<Ctx>(handle, Kind::Ctx);
    if (!c || failing("control")) return -1;
    switch (cmd) {
    case MPP_CMD_SET_OUTPUT_TIMEOUT:
    case MPP_CMD_ENC_SET_SEI_CFG:
    case MPP_CMD_ENC_SET_HEADER_MODE:
        return param ? 0 : -1;
    case MPP_CMD_ENC_SET_CFG:
        return as<Cfg>(param, Kind::Cfg) ? 0 : -1;
    case MPP_CMD_ENC_GET_HDR_SYNC: {
        Packet* p = as<Packet>(param, Kind::Packet);
        if (!c->ready || !p || !p->buffer || p->buffer->size() < 8) return -1;
        memcpy(p->buffer->data(), coding_tag(c->coding), 4);
        memcpy(p->buffer->data() + 4, "HDR ", 4);
        p->length = 8;
        return 0;
    }
    default:
        return -1;
    }
}

int put_frame(mpp_ctx_t handle, mpp_frame_t frame)
{
    std::lock_guard<std::mutex> lk(s_mu);
    record("encode_put_frame");
    Ctx* c = as<Ctx>(handle, Kind::Ctx);
    Frame* f = as<Frame>(frame, Kind::Frame);
    if (!c || !c->ready || !f || failing("encode_put_frame")) return -1;
    Buffer* in = as<Buffer>(f->buffer, Kind::Buffer);
    Packet* out = as<Packet>(f->output, Kind::Packet);
    Buffer* room = out ? as<Buffer>(out->buffer, Kind::Buffer) : nullptr;
    size_t n = picture_bytes(*f);
    if (!in || !room || n == 0 || f->width > f->hor || f->height > f->ver || in->size() < n) return -1;
    size_t len = sim_mpp_packet(c->coding, in->data(), n, nullptr, 0);
    if (room->size() < len) return -1;
    sim_mpp_packet(c->coding, in->data(), n, room->data(), room->size());
    out->length = len;
    out->eos = f->eos;
    c->pending = out;
    return 0;
}

int get_packet(mpp_ctx_t handle, mpp_packet_t* packet)
{
    std::lock_guard<std::mutex> lk(s_mu);
    record("encode_get_packet");
    if (packet) *packet = nullptr;
    Ctx* c = as<Ctx>(handle, Kind::Ctx);
    if (!c || !packet) return -1;
    // The pending packet may have been released by its owner meanwhile.
    Packet* p = as<Packet>(c->pending, Kind::Packet);
    c->pending = nullptr;
    if (!p || failing("encode_get_packet")) return -1;
    *packet = reinterpret_cast<mpp_packet_t>(p);
    return 0;
}

int reset(mpp_ctx_t handle)
{
    std::lock_guard<std::mutex> lk(s_mu);
    record("reset");
    Ctx* c = as<Ctx>(handle, Kind::Ctx);
    if (!c) return -1;
    c->pending = nullptr;
    return 0;
}

// Off the simulated board there is no encoder behind these calls: a real
// board must not stream made-up packets.
bool on_sim_board()
{
    if (plat_board_simulated() == 1) return true;
    errno = ENOSYS;
    return false;
}

// The table's entries, fenced like every other call.
int api_control(mpp_ctx_t c, uint32_t cmd, void* param) { return fenced(-1, [&] { return ctl(c, cmd, param); }); }
int api_put(mpp_ctx_t c, mpp_frame_t f) { return fenced(-1, [&] { return put_frame(c, f); }); }
int api_get(mpp_ctx_t c, mpp_packet_t* p) { return fenced(-1, [&] { return get_packet(c, p); }); }
int api_reset(mpp_ctx_t c) { return fenced(-1, [&] { return reset(c); }); }

mpp_api_t* api()
{
    static mpp_api_t table{api_control, api_put, api_get, api_reset};
    return &table;
}

int set_cfg(mpp_enc_cfg_t handle, const char* type, const char* key, int64_t value)
{
    std::lock_guard<std::mutex> lk(s_mu);
    record("%s %s %lld", type, key ? key : "(null)", (long long)value);
    Cfg* c = as<Cfg>(handle, Kind::Cfg);
    if (!c || !key) return -1;
    if (std::none_of(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return strcmp(k, key) == 0; }))
        return -1;
    c->values[key] = value;
    return 0;
}

} // namespace

extern "C" {

int mpp_create(mpp_ctx_t* ctx, mpp_api_t** mpi)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_create");
        if (!ctx || !mpi || failing("mpp_create") || !on_sim_board()) return -1;
        *ctx = reinterpret_cast<mpp_ctx_t>(make<Ctx>());
        *mpi = api();
        return 0;
    });
}

int mpp_init(mpp_ctx_t ctx, int kind, uint32_t coding)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_init %d 0x%x", kind, (unsigned)coding);
        Ctx* c = as<Ctx>(ctx, Kind::Ctx);
        // Only the encoder is simulated.
        if (!c || c->ready || kind != MPP_CTX_ENC || !coding_tag(coding) || failing("mpp_init")) return -1;
        c->ready = true;
        c->coding = coding;
        return 0;
    });
}

int mpp_destroy(mpp_ctx_t ctx)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_destroy");
        if (!as<Ctx>(ctx, Kind::Ctx)) return -1;
        drop(ctx);
        return 0;
    });
}

int mpp_buffer_group_get(mpp_buffer_group_t* group, uint32_t type, uint32_t mode)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_buffer_group_get %u %u", (unsigned)type, (unsigned)mode);
        if (!group || failing("mpp_buffer_group_get") || !on_sim_board()) return -1;
        Group* g = make<Group>();
        g->type = type;
        *group = reinterpret_cast<mpp_buffer_group_t>(g);
        return 0;
    });
}

int mpp_buffer_group_put(mpp_buffer_group_t group)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_buffer_group_put");
        Group* g = as<Group>(group, Kind::Group);
        // A group goes only after its buffers.
        if (!g || g->buffers != 0) return -1;
        drop(group);
        return 0;
    });
}

int mpp_buffer_get(mpp_buffer_group_t group, mpp_buffer_t* buffer, size_t size, const char* tag)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_buffer_get %zu %s", size, tag ? tag : "");
        Group* g = as<Group>(group, Kind::Group);
        if (!g || !buffer || size == 0 || failing("mpp_buffer_get")) return -1;
        Buffer* b = make<Buffer>();
        b->group = g;
        b->bytes.assign(size, 0);
        g->buffers++;
        *buffer = reinterpret_cast<mpp_buffer_t>(b);
        return 0;
    });
}

int mpp_buffer_import(mpp_buffer_t* buffer, const mpp_buffer_info_t* info)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_buffer_import %zu %d", info ? info->size : (size_t)0, info ? info->index : -1);
        if (!buffer || !info || info->type != MPP_BUFFER_TYPE_EXT_DMA || info->fd < 0 || info->size == 0 ||
            failing("mpp_buffer_import"))
            return -1;
        // The descriptor must name memory at least as large as announced.
        struct stat st;
        if (fstat(info->fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size < info->size) return -1;
        int fd = fcntl(info->fd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return -1;
        void* p = mmap(nullptr, info->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            close(fd);
            return -1;
        }
        Buffer* b = make<Buffer>();
        b->fd = fd;
        b->ext = static_cast<uint8_t*>(p);
        b->ext_size = info->size;
        *buffer = reinterpret_cast<mpp_buffer_t>(b);
        return 0;
    });
}

void* mpp_buffer_get_ptr(mpp_buffer_t buffer)
{
    return fenced<void*>(nullptr, [&]() -> void* {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_buffer_get_ptr");
        Buffer* b = as<Buffer>(buffer, Kind::Buffer);
        return b ? b->data() : nullptr;
    });
}

int mpp_buffer_put(mpp_buffer_t buffer)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_buffer_put");
        Buffer* b = as<Buffer>(buffer, Kind::Buffer);
        if (!b) return -1;
        if (Group* g = as<Group>(b->group, Kind::Group)) g->buffers--;
        drop(buffer);
        return 0;
    });
}

int mpp_enc_cfg_init(mpp_enc_cfg_t* cfg)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_enc_cfg_init");
        if (!cfg || failing("mpp_enc_cfg_init")) return -1;
        *cfg = reinterpret_cast<mpp_enc_cfg_t>(make<Cfg>());
        return 0;
    });
}

int mpp_enc_cfg_deinit(mpp_enc_cfg_t cfg)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_enc_cfg_deinit");
        if (!as<Cfg>(cfg, Kind::Cfg)) return -1;
        drop(cfg);
        return 0;
    });
}

int mpp_enc_cfg_set_s32(mpp_enc_cfg_t cfg, const char* key, int32_t value)
{
    return fenced(-1, [&] { return set_cfg(cfg, "s32", key, value); });
}

int mpp_enc_cfg_set_u32(mpp_enc_cfg_t cfg, const char* key, uint32_t value)
{
    return fenced(-1, [&] { return set_cfg(cfg, "u32", key, value); });
}

int mpp_frame_init(mpp_frame_t* frame)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_frame_init");
        if (!frame || failing("mpp_frame_init")) return -1;
        *frame = reinterpret_cast<mpp_frame_t>(make<Frame>());
        return 0;
    });
}

int mpp_frame_deinit(mpp_frame_t* frame)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_frame_deinit");
        if (!frame || !as<Frame>(*frame, Kind::Frame)) return -1;
        drop(*frame);
        *frame = nullptr;
        return 0;
    });
}

} // extern "C"

namespace {

/* Setters of one frame field: recorded with the value. */
template <class F>
void frame_set(mpp_frame_t frame, const char* name, uint32_t value, F apply)
{
    fenced(0, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("%s %u", name, (unsigned)value);
        if (Frame* f = as<Frame>(frame, Kind::Frame)) apply(*f);
        return 0;
    });
}

} // namespace

extern "C" {

void mpp_frame_set_width(mpp_frame_t frame, uint32_t v)
{
    frame_set(frame, "mpp_frame_set_width", v, [v](Frame& f) { f.width = v; });
}
void mpp_frame_set_height(mpp_frame_t frame, uint32_t v)
{
    frame_set(frame, "mpp_frame_set_height", v, [v](Frame& f) { f.height = v; });
}
void mpp_frame_set_hor_stride(mpp_frame_t frame, uint32_t v)
{
    frame_set(frame, "mpp_frame_set_hor_stride", v, [v](Frame& f) { f.hor = v; });
}
void mpp_frame_set_ver_stride(mpp_frame_t frame, uint32_t v)
{
    frame_set(frame, "mpp_frame_set_ver_stride", v, [v](Frame& f) { f.ver = v; });
}
void mpp_frame_set_fmt(mpp_frame_t frame, uint32_t v)
{
    frame_set(frame, "mpp_frame_set_fmt", v, [v](Frame& f) { f.fmt = v; });
}
void mpp_frame_set_eos(mpp_frame_t frame, uint32_t v)
{
    frame_set(frame, "mpp_frame_set_eos", v, [v](Frame& f) { f.eos = v; });
}

void mpp_frame_set_buffer(mpp_frame_t frame, mpp_buffer_t buffer)
{
    fenced(0, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_frame_set_buffer");
        if (Frame* f = as<Frame>(frame, Kind::Frame)) f->buffer = as<Buffer>(buffer, Kind::Buffer);
        return 0;
    });
}

/* A frame's metadata lives and dies with the frame: its handle is the frame's. */
mpp_meta_t mpp_frame_get_meta(mpp_frame_t frame)
{
    return fenced<mpp_meta_t>(nullptr, [&]() -> mpp_meta_t {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_frame_get_meta");
        return as<Frame>(frame, Kind::Frame) ? reinterpret_cast<mpp_meta_t>(frame) : nullptr;
    });
}

int mpp_meta_set_packet(mpp_meta_t meta, uint32_t key, mpp_packet_t packet)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        char k[5] = {(char)(key >> 24), (char)(key >> 16), (char)(key >> 8), (char)key, 0};
        record("mpp_meta_set_packet %s", k);
        Frame* f = as<Frame>(meta, Kind::Frame);
        Packet* p = as<Packet>(packet, Kind::Packet);
        if (!f || !p || key != MPP_META_KEY_OUTPUT_PACKET) return -1;
        f->output = p;
        return 0;
    });
}

int mpp_packet_init_with_buffer(mpp_packet_t* packet, mpp_buffer_t buffer)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_packet_init_with_buffer");
        Buffer* b = as<Buffer>(buffer, Kind::Buffer);
        if (!packet || !b || failing("mpp_packet_init_with_buffer")) return -1;
        Packet* p = make<Packet>();
        p->buffer = b;
        p->length = b->size();
        *packet = reinterpret_cast<mpp_packet_t>(p);
        return 0;
    });
}

int mpp_packet_deinit(mpp_packet_t* packet)
{
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_packet_deinit");
        if (!packet || !as<Packet>(*packet, Kind::Packet)) return -1;
        drop(*packet);
        *packet = nullptr;
        return 0;
    });
}

void mpp_packet_set_length(mpp_packet_t packet, size_t length)
{
    fenced(0, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_packet_set_length %zu", length);
        Packet* p = as<Packet>(packet, Kind::Packet);
        Buffer* b = p ? as<Buffer>(p->buffer, Kind::Buffer) : nullptr;
        if (b) p->length = std::min(length, b->size());
        return 0;
    });
}

void* mpp_packet_get_pos(mpp_packet_t packet)
{
    return fenced<void*>(nullptr, [&]() -> void* {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_packet_get_pos");
        Packet* p = as<Packet>(packet, Kind::Packet);
        Buffer* b = p ? as<Buffer>(p->buffer, Kind::Buffer) : nullptr;
        return b ? b->data() : nullptr;
    });
}

size_t mpp_packet_get_length(mpp_packet_t packet)
{
    return fenced<size_t>(0, [&]() -> size_t {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_packet_get_length");
        Packet* p = as<Packet>(packet, Kind::Packet);
        return p && as<Buffer>(p->buffer, Kind::Buffer) ? p->length : 0;
    });
}

uint32_t mpp_packet_get_eos(mpp_packet_t packet)
{
    return fenced<uint32_t>(0, [&]() -> uint32_t {
        std::lock_guard<std::mutex> lk(s_mu);
        record("mpp_packet_get_eos");
        Packet* p = as<Packet>(packet, Kind::Packet);
        return p ? p->eos : 0;
    });
}

/* ---- Test control (simboard.h) ---- */

size_t sim_mpp_call_count(void)
{
    std::lock_guard<std::mutex> lk(s_mu);
    return s_calls.size();
}

int sim_mpp_call_get(size_t index, char* buf, size_t size)
{
    std::lock_guard<std::mutex> lk(s_mu);
    if (index >= s_calls.size() || !buf || size == 0) return -1;
    snprintf(buf, size, "%s", s_calls[index].c_str());
    return 0;
}

long sim_mpp_call_find(const char* text, size_t from)
{
    std::lock_guard<std::mutex> lk(s_mu);
    if (!text) return -1;
    for (size_t i = from; i < s_calls.size(); i++)
        if (s_calls[i].compare(0, strlen(text), text) == 0) return (long)i;
    return -1;
}

void sim_mpp_clear(void)
{
    std::lock_guard<std::mutex> lk(s_mu);
    s_calls.clear();
    s_faults.clear();
}

int sim_mpp_fail_nth(const char* call, unsigned nth)
{
    if (!call || nth == 0) return -1;
    return fenced(-1, [&] {
        std::lock_guard<std::mutex> lk(s_mu);
        s_faults[call] = nth;
        return 0;
    });
}

long sim_mpp_live(void)
{
    std::lock_guard<std::mutex> lk(s_mu);
    return (long)s_live.size();
}

size_t sim_mpp_packet(uint32_t coding, const void* data, size_t len, void* out, size_t room)
{
    const char* tag = coding_tag(coding);
    if (!tag || (!data && len)) return 0;
    size_t sample = std::min(len, kSampleBytes);
    size_t total = SIM_MPP_PACKET_HEADER + sample;
    if (!out || room < total) return total;
    auto* p = static_cast<uint8_t*>(out);
    const auto* src = static_cast<const uint8_t*>(data);
    memcpy(p, tag, 4);
    put_le32(p + 4, (uint32_t)len);
    put_le32(p + 8, checksum(src, len));
    if (sample) memcpy(p + SIM_MPP_PACKET_HEADER, src, sample);
    return total;
}

} // extern "C"
