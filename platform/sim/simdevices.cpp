/* The simulated board's devices: vendor storage, the FPGA/CPLD programming
 * device, the I2C buses with the chips on them, the watchdog and the clock.
 *
 * Each answers the requests the device code makes of it, and no more; what
 * the hardware does inside is reduced to what those requests can observe. */
#include "platform.h"
#include "siminternal.h"

#include <chrono>
#include <errno.h>
#include <limits.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/watchdog.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

int null_open(void*, sim_node_t*) { return 0; }

/* The release entry of a model owned by its node table. */
template <typename Model> void destroy_model(void* model) { delete static_cast<Model*>(model); }

const sim_devops_t kNullOps = {null_open, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

/* Copies what fits of `src` into `buf`; returns the whole length, for the
 * caller to judge. */
size_t copy_out(const std::vector<uint8_t>& src, void* buf, size_t size)
{
    size_t n = src.size() < size ? src.size() : size;
    if (n && buf) memcpy(buf, src.data(), n);
    return src.size();
}

/* Puts a built-in model at its path; NULL (the model gone) when that fails. */
template <typename Model>
Model* install(Board* b, const char* path, const sim_devops_t* ops, Model* m)
{
    if (device_add(b, path, ops, m) == 0) return m;
    delete m;
    return nullptr;
}

} // namespace

/* ---- Vendor storage ---- */

struct Vendor {
    std::mutex                                  mu;
    std::map<uint16_t, std::vector<uint8_t>>    items;
    std::string                                 file; /* kept across restarts, like the flash */
};

namespace {

int vendor_save_locked(Vendor* v)
{
    std::string blob;
    for (const auto& kv : v->items) {
        uint16_t hdr[2] = {kv.first, (uint16_t)kv.second.size()};
        blob.append(reinterpret_cast<const char*>(hdr), sizeof(hdr));
        blob.append(reinterpret_cast<const char*>(kv.second.data()), kv.second.size());
    }
    return write_file(v->file, blob.data(), blob.size(), false);
}

bool vendor_load(Vendor* v)
{
    FILE* f = fopen(v->file.c_str(), "rb");
    if (!f) return false;
    uint16_t hdr[2];
    while (fread(hdr, sizeof(hdr), 1, f) == 1) {
        if (hdr[1] > PLAT_VENDOR_DATA_MAX) break;
        std::vector<uint8_t> data(hdr[1]);
        if (hdr[1] && fread(data.data(), 1, hdr[1], f) != hdr[1]) break;
        v->items[hdr[0]] = std::move(data);
    }
    fclose(f);
    return true;
}

/* Stores an item and saves the flash: 0, or -errno with the item as it was. */
int vendor_put_locked(Vendor* v, uint16_t id, const uint8_t* data, size_t len)
{
    auto it = v->items.find(id);
    bool had = it != v->items.end();
    std::vector<uint8_t> old;
    if (had) old.swap(it->second);
    v->items[id].assign(data, data + len);
    int rc = vendor_save_locked(v);
    if (rc == 0) return 0;
    if (had) v->items[id] = std::move(old);
    else v->items.erase(id);
    return rc;
}

int vendor_ioctl(void* model, sim_node_t*, unsigned long request, void* arg)
{
    auto* v = static_cast<Vendor*>(model);
    if (request != PLAT_VENDOR_READ && request != PLAT_VENDOR_WRITE) return -ENOTTY;
    auto* req = static_cast<plat_vendor_req_t*>(arg);
    if (!req) return -EFAULT;
    if (req->tag != PLAT_VENDOR_TAG) return -EINVAL;
    std::lock_guard<std::mutex> lk(v->mu);
    if (request == PLAT_VENDOR_READ) {
        auto it = v->items.find(req->id);
        if (it == v->items.end()) return -ENOENT;
        size_t room = req->len < PLAT_VENDOR_DATA_MAX ? req->len : PLAT_VENDOR_DATA_MAX;
        req->len = (uint16_t)copy_out(it->second, req->data, room);
        return 0;
    }
    if (req->len > PLAT_VENDOR_DATA_MAX) return -EINVAL;
    return vendor_put_locked(v, req->id, req->data, req->len) == 0 ? 0 : -EIO;
}

const sim_devops_t kVendorOps = {null_open, nullptr, vendor_ioctl, nullptr, nullptr, nullptr, destroy_model<Vendor>};

} // namespace

/* ---- FPGA/CPLD programming ---- */

struct Cpld {
    std::mutex           mu;
    unsigned long        programs = 0;
    bool                 have_last = false;
    std::vector<uint8_t> last;
};

namespace {

constexpr size_t kCpldMaxImage = 64u << 20;

int cpld_open(void*, sim_node_t* node)
{
    sim_node_set_data(node, new std::vector<uint8_t>());
    return 0;
}

ssize_t cpld_write(void*, sim_node_t* node, const void* buf, size_t count)
{
    auto* img = static_cast<std::vector<uint8_t>*>(sim_node_data(node));
    if (!buf) return -EFAULT;
    if (img->size() + count > kCpldMaxImage) return -ENOSPC;
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    img->insert(img->end(), p, p + count);
    return (ssize_t)count;
}

ssize_t cpld_read(void*, sim_node_t*, void*, size_t) { return 0; }

/* The image is programmed when the device is closed after it was written. */
int cpld_close(void* model, sim_node_t* node)
{
    auto* c = static_cast<Cpld*>(model);
    auto* img = static_cast<std::vector<uint8_t>*>(sim_node_data(node));
    if (!sim_node_aborted(node) && !img->empty()) {
        std::lock_guard<std::mutex> lk(c->mu);
        c->programs++;
        c->last.swap(*img);
        c->have_last = true;
    }
    delete img;
    return 0;
}

const sim_devops_t kCpldOps = {cpld_open, cpld_close, nullptr, cpld_read, cpld_write, nullptr, destroy_model<Cpld>};

} // namespace

/* ---- Watchdog ---- */

struct Watchdog {
    std::mutex        mu;
    bool              open = false;
    bool              armed = false;
    bool              expect_close = false;
    bool              expired = false;
    int               timeout = 60;
    unsigned long     feeds = 0;
    Clock::time_point last;
};

namespace {

void wd_check_locked(Watchdog* w)
{
    if (w->armed && Clock::now() - w->last > std::chrono::seconds(w->timeout)) w->expired = true;
}

void wd_feed_locked(Watchdog* w)
{
    wd_check_locked(w);
    w->last = Clock::now();
    w->feeds++;
}

int wd_open(void* model, sim_node_t*)
{
    auto* w = static_cast<Watchdog*>(model);
    std::lock_guard<std::mutex> lk(w->mu);
    if (w->open) return -EBUSY; // one opener at a time, as the kernel allows
    wd_check_locked(w);
    w->open = true;
    w->armed = true;
    w->expect_close = false;
    w->last = Clock::now();
    return 0;
}

int wd_close(void* model, sim_node_t*)
{
    auto* w = static_cast<Watchdog*>(model);
    std::lock_guard<std::mutex> lk(w->mu);
    wd_check_locked(w);
    w->open = false;
    // Without the magic character the timer keeps running and the board resets.
    if (w->expect_close) w->armed = false;
    return 0;
}

ssize_t wd_write(void* model, sim_node_t*, const void* buf, size_t count)
{
    auto* w = static_cast<Watchdog*>(model);
    if (count == 0) return 0;
    if (!buf) return -EFAULT;
    std::lock_guard<std::mutex> lk(w->mu);
    w->expect_close = memchr(buf, 'V', count) != nullptr;
    wd_feed_locked(w);
    return (ssize_t)count;
}

int wd_ioctl(void* model, sim_node_t*, unsigned long request, void* arg)
{
    auto* w = static_cast<Watchdog*>(model);
    int* iv = static_cast<int*>(arg);
    std::lock_guard<std::mutex> lk(w->mu);
    switch (request) {
    case WDIOC_KEEPALIVE:
        wd_feed_locked(w);
        return 0;
    case WDIOC_SETTIMEOUT:
        if (!iv) return -EFAULT;
        if (*iv < 1 || *iv > 3600) return -EINVAL;
        wd_check_locked(w);
        w->timeout = *iv;
        w->last = Clock::now();
        return 0;
    case WDIOC_GETTIMEOUT:
        if (!iv) return -EFAULT;
        *iv = w->timeout;
        return 0;
    case WDIOC_GETTIMELEFT: {
        if (!iv) return -EFAULT;
        auto used = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - w->last).count();
        *iv = used >= w->timeout ? 0 : (int)(w->timeout - used);
        return 0;
    }
    case WDIOC_GETSTATUS:
    case WDIOC_GETBOOTSTATUS:
        if (!iv) return -EFAULT;
        *iv = 0;
        return 0;
    case WDIOC_GETSUPPORT: {
        auto* info = static_cast<struct watchdog_info*>(arg);
        if (!info) return -EFAULT;
        memset(info, 0, sizeof(*info));
        info->options = WDIOF_SETTIMEOUT | WDIOF_MAGICCLOSE | WDIOF_KEEPALIVEPING;
        snprintf(reinterpret_cast<char*>(info->identity), sizeof(info->identity), "board watchdog");
        return 0;
    }
    case WDIOC_SETOPTIONS:
        if (!iv) return -EFAULT;
        if (*iv & WDIOS_DISABLECARD) w->armed = false;
        if (*iv & WDIOS_ENABLECARD) {
            w->armed = true;
            w->last = Clock::now();
        }
        return 0;
    default:
        return -ENOTTY;
    }
}

const sim_devops_t kWatchdogOps = {wd_open, wd_close, wd_ioctl, nullptr, wd_write, nullptr, destroy_model<Watchdog>};

} // namespace

/* ---- I2C ---- */

struct I2cChip {
    int                          kind = SIM_I2C_REG8;
    bool                         absent = false;
    unsigned                     busy = 0;
    unsigned                     ptr = 0;
    uint8_t                      r8[256] = {};
    bool                         ro[256] = {};
    std::map<unsigned, uint16_t> r16;
    unsigned long                transfers = 0;
    unsigned long                attempts = 0;
};

struct I2cBus {
    std::mutex              mu;
    std::map<int, I2cChip>  chips;
    int                     timeout = 100; /* 10 ms units */
    int                     retries = 0;
};

namespace {

constexpr size_t kI2cMaxMsg = 8192;

void chip_write(I2cChip& c, const std::vector<uint8_t>& d)
{
    if (d.empty()) return;
    if (c.kind == SIM_I2C_FRAMED) {
        // Anything but a well-formed request is ignored, as the camera does.
        if (d.size() < 5 || d[1] != 0x30 || d[2] != 0x02) return;
        unsigned r = (unsigned)(d[3] << 8 | d[4]);
        if (d[0] == 0x20 && d.size() == 7) c.r16[r] = (uint16_t)(d[5] << 8 | d[6]);
        if (d[0] == 0x21 && d.size() == 5) c.ptr = r;
        return;
    }
    if (c.kind == SIM_I2C_REG16) {
        if (d.size() == 1) {
            c.ptr = d[0];
            return;
        }
        c.ptr = (unsigned)(d[0] << 8 | d[1]);
        for (size_t i = 2; i + 1 < d.size(); i += 2) c.r16[c.ptr++ & 0xFFFF] = (uint16_t)(d[i] << 8 | d[i + 1]);
        return;
    }
    // Data bytes fill the registers from the one named; a read that follows
    // starts at the named register again.
    c.ptr = d[0];
    for (size_t i = 1; i < d.size(); i++) {
        unsigned r = (d[0] + i - 1) & 0xFF;
        if (!c.ro[r]) c.r8[r] = d[i];
    }
}

void chip_read(I2cChip& c, std::vector<uint8_t>& d)
{
    if (c.kind == SIM_I2C_FRAMED) {
        uint16_t v = c.r16.count(c.ptr & 0xFFFF) ? c.r16[c.ptr & 0xFFFF] : 0;
        const uint8_t answer[5] = {0x21, 0x30, 0x02, (uint8_t)v, 0};
        for (size_t i = 0; i < d.size(); i++) d[i] = i < 5 ? answer[i] : 0;
        return;
    }
    if (c.kind == SIM_I2C_REG16) {
        unsigned p = c.ptr;
        for (size_t i = 0; i < d.size(); i++) {
            uint16_t v = c.r16.count(p & 0xFFFF) ? c.r16[p & 0xFFFF] : 0;
            d[i] = (i % 2 == 0) ? (uint8_t)(v >> 8) : (uint8_t)v;
            if (i % 2 == 1) p++;
        }
        return;
    }
    for (auto& b : d) {
        b = c.r8[c.ptr & 0xFF];
        c.ptr = (c.ptr + 1) & 0xFF;
    }
}

/* One combined transfer: every addressed chip must answer; a chip that
 * loses arbitration makes the bus try again, up to its retry count. */
int bus_transfer(I2cBus* bus, std::vector<I2cMsg>& msgs)
{
    std::lock_guard<std::mutex> lk(bus->mu);
    for (const auto& m : msgs) {
        auto it = bus->chips.find(m.addr);
        if (it == bus->chips.end() || it->second.absent) return -ENXIO;
    }
    if (msgs.empty()) return 0;
    I2cChip& first = bus->chips[msgs[0].addr];
    for (int attempt = 0; attempt <= bus->retries; attempt++) {
        first.attempts++;
        if (first.busy > 0) {
            first.busy--;
            continue;
        }
        for (auto& m : msgs) {
            I2cChip& c = bus->chips[m.addr];
            if (m.read) chip_read(c, m.data);
            else chip_write(c, m.data);
        }
        first.transfers++;
        return 0;
    }
    return -EAGAIN;
}

struct I2cClient {
    int addr = 0;
};

int i2c_open(void*, sim_node_t* node)
{
    sim_node_set_data(node, new I2cClient());
    return 0;
}

int i2c_close(void*, sim_node_t* node)
{
    delete static_cast<I2cClient*>(sim_node_data(node));
    return 0;
}

int i2c_ioctl(void* model, sim_node_t* node, unsigned long request, void* arg)
{
    auto* bus = static_cast<I2cBus*>(model);
    auto* cl = static_cast<I2cClient*>(sim_node_data(node));
    unsigned long val = (unsigned long)(uintptr_t)arg;
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if (val > 0x7F) return -EINVAL;
        cl->addr = (int)val;
        return 0;
    case I2C_TENBIT:
        return val ? -EINVAL : 0;
    case I2C_PEC:
        return 0;
    case I2C_TIMEOUT: {
        if (val > INT_MAX) return -EINVAL;
        std::lock_guard<std::mutex> lk(bus->mu);
        bus->timeout = (int)val;
        return 0;
    }
    case I2C_RETRIES: {
        if (val > INT_MAX) return -EINVAL;
        std::lock_guard<std::mutex> lk(bus->mu);
        bus->retries = (int)val;
        return 0;
    }
    case I2C_FUNCS:
        if (!arg) return -EFAULT;
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
        return 0;
    case I2C_RDWR: {
        auto* rd = static_cast<struct i2c_rdwr_ioctl_data*>(arg);
        if (!rd || (!rd->msgs && rd->nmsgs)) return -EFAULT;
        if (rd->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) return -EINVAL;
        std::vector<I2cMsg> msgs(rd->nmsgs);
        for (unsigned i = 0; i < rd->nmsgs; i++) {
            const struct i2c_msg& m = rd->msgs[i];
            if (m.len > kI2cMaxMsg || (m.flags & I2C_M_TEN) || m.addr > 0x7F) return -EINVAL;
            if (m.len && !m.buf) return -EFAULT;
            msgs[i].addr = m.addr;
            msgs[i].read = (m.flags & I2C_M_RD) != 0;
            msgs[i].data.assign(m.buf, m.buf + m.len);
        }
        int rc = bus_transfer(bus, msgs);
        if (rc) return rc;
        for (unsigned i = 0; i < rd->nmsgs; i++)
            if (msgs[i].read && rd->msgs[i].len) memcpy(rd->msgs[i].buf, msgs[i].data.data(), rd->msgs[i].len);
        return (int)rd->nmsgs;
    }
    default:
        return -ENOTTY;
    }
}

/* A plain read or write: one message to the address the descriptor selected. */
ssize_t client_transfer(void* model, sim_node_t* node, uint8_t* buf, size_t count, bool read)
{
    auto* cl = static_cast<I2cClient*>(sim_node_data(node));
    if (count > kI2cMaxMsg) count = kI2cMaxMsg;
    if (count && !buf) return -EFAULT;
    std::vector<I2cMsg> msgs(1);
    msgs[0].addr = cl->addr;
    msgs[0].read = read;
    if (read) msgs[0].data.resize(count);
    else msgs[0].data.assign(buf, buf + count);
    int rc = bus_transfer(static_cast<I2cBus*>(model), msgs);
    if (rc) return rc;
    if (read && count) memcpy(buf, msgs[0].data.data(), count);
    return (ssize_t)count;
}

ssize_t i2c_read(void* model, sim_node_t* node, void* buf, size_t count)
{
    return client_transfer(model, node, static_cast<uint8_t*>(buf), count, true);
}

ssize_t i2c_write(void* model, sim_node_t* node, const void* buf, size_t count)
{
    return client_transfer(model, node, static_cast<uint8_t*>(const_cast<void*>(buf)), count, false);
}

const sim_devops_t kI2cOps = {i2c_open, i2c_close, i2c_ioctl, i2c_read, i2c_write, nullptr, destroy_model<I2cBus>};

I2cBus* bus_find(Board* b, int bus)
{
    std::lock_guard<std::mutex> lk(b->mu);
    auto it = b->i2c.find(bus);
    return it == b->i2c.end() ? nullptr : it->second;
}

std::string i2c_path(int bus) { return "/dev/i2c-" + std::to_string(bus); }

I2cBus* bus_get(Board* b, int num)
{
    if (I2cBus* bus = bus_find(b, num)) return bus;
    auto* bus = install(b, i2c_path(num).c_str(), &kI2cOps, new I2cBus());
    if (!bus) return nullptr;
    std::lock_guard<std::mutex> lk(b->mu);
    b->i2c[num] = bus;
    return bus;
}

/* Runs `f` on a bus under its lock; -1 with errno ENODEV when there is none. */
template <class F>
int with_bus(int bus, F&& f)
{
    Board* b = board();
    I2cBus* bs = b ? bus_find(b, bus) : nullptr;
    if (!bs) {
        errno = ENODEV;
        return -1;
    }
    std::lock_guard<std::mutex> lk(bs->mu);
    return f(*bs);
}

/* Runs `f` on a chip under its bus lock; -1 with errno when there is none. */
template <class F>
int with_chip(int bus, int addr, F&& f)
{
    return with_bus(bus, [&](I2cBus& bs) {
        auto it = bs.chips.find(addr);
        if (it == bs.chips.end()) {
            errno = ENXIO;
            return -1;
        }
        return f(it->second);
    });
}

uint16_t temperature_raw(double celsius)
{
    long steps = lround(celsius / 0.0625);
    return (uint16_t)((steps & 0x1FFF) << 3);
}

} // namespace

int i2c_bus_transfer(Board* b, int bus, std::vector<I2cMsg>& msgs)
{
    I2cBus* bs;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        auto it = b->i2c.find(bus);
        Device* d = device_find_locked(b, i2c_path(bus));
        if (it == b->i2c.end() || !d || d->absent) return -ENODEV;
        bs = it->second;
    }
    return bus_transfer(bs, msgs);
}

void i2c_faults_clear(Board* b)
{
    std::vector<I2cBus*> buses;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        for (auto& kv : b->i2c) buses.push_back(kv.second);
    }
    for (I2cBus* bus : buses) {
        std::lock_guard<std::mutex> lk(bus->mu);
        for (auto& kv : bus->chips) {
            kv.second.absent = false;
            kv.second.busy = 0;
        }
    }
}

void install_models(Board* b)
{
    const sim_profile_t& p = b->profile;

    auto* v = new Vendor();
    v->file = b->root + "/.board/vendor_storage";
    if (!vendor_load(v)) {
        // A board's first start: the items the factory wrote.
        if (p.serial[0]) v->items[PLAT_VENDOR_SERIAL].assign(p.serial, p.serial + strlen(p.serial));
        if (p.board_code[0])
            v->items[PLAT_VENDOR_BOARD_CODE].assign(p.board_code, p.board_code + strlen(p.board_code));
        v->items[PLAT_VENDOR_MAC].assign(p.mac, p.mac + sizeof(p.mac));
        vendor_save_locked(v);
    }
    b->vendor = install(b, "/dev/vendor_storage", &kVendorOps, v);
    b->cpld = install(b, "/dev/dev_cpld", &kCpldOps, new Cpld());
    b->watchdog = install(b, "/dev/watchdog", &kWatchdogOps, new Watchdog());
    install_can(b);

    if (p.rtc) device_add(b, "/dev/rtc0", &kNullOps, nullptr);

    for (int i = 0; i < p.i2c_count; i++) {
        const sim_i2c_spec_t& s = p.i2c[i];
        bool temp = strcmp(s.kind, "temp") == 0;
        int kind = temp ? SIM_I2C_REG16 : strcmp(s.kind, "fh8320") == 0 ? SIM_I2C_FRAMED : SIM_I2C_REG8;
        if (sim_i2c_add(s.bus, s.addr, kind) != 0) continue;
        if (temp) {
            sim_i2c_set_temperature(s.bus, s.addr, p.temperature);
        } else if (strcmp(s.kind, "imu") == 0) {
            // The IMU's chip id answers at register 0 and cannot be overwritten.
            with_chip(s.bus, s.addr, [](I2cChip& ch) {
                ch.r8[0] = 0x24;
                ch.ro[0] = true;
                return 0;
            });
        }
    }
    install_cameras(b);
}

} // namespace sim

using sim::Board;

int sim_i2c_add(int bus, int addr, int kind)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = sim::board();
        if (!b || bus < 0 || addr < 0 || addr > 0x7F || (kind < SIM_I2C_REG8 || kind > SIM_I2C_FRAMED)) {
            errno = EINVAL;
            return -1;
        }
        sim::I2cBus* bs = sim::bus_get(b, bus);
        if (!bs) return -1;
        std::lock_guard<std::mutex> lk(bs->mu);
        if (bs->chips.count(addr)) {
            errno = EEXIST;
            return -1;
        }
        bs->chips[addr].kind = kind;
        return 0;
    });
}

int sim_i2c_remove(int bus, int addr)
{
    return sim::with_bus(bus, [&](sim::I2cBus& bs) {
        if (bs.chips.erase(addr)) return 0;
        errno = ENXIO;
        return -1;
    });
}

int sim_i2c_set_absent(int bus, int addr, int absent)
{
    return sim::with_chip(bus, addr, [&](sim::I2cChip& c) {
        c.absent = absent != 0;
        return 0;
    });
}

int sim_i2c_set_busy(int bus, int addr, unsigned attempts)
{
    return sim::with_chip(bus, addr, [&](sim::I2cChip& c) {
        c.busy = attempts;
        return 0;
    });
}

int sim_i2c_set_reg(int bus, int addr, unsigned reg, unsigned value)
{
    return fenced<int>(-1, [&]() -> int {
        return sim::with_chip(bus, addr, [&](sim::I2cChip& c) {
            if (c.kind != SIM_I2C_REG8) c.r16[reg & 0xFFFF] = (uint16_t)value;
            else c.r8[reg & 0xFF] = (uint8_t)value;
            return 0;
        });
    });
}

int sim_i2c_get_reg(int bus, int addr, unsigned reg, unsigned* value)
{
    return fenced<int>(-1, [&]() -> int {
        if (!value) {
            errno = EINVAL;
            return -1;
        }
        return sim::with_chip(bus, addr, [&](sim::I2cChip& c) {
            if (c.kind != SIM_I2C_REG8) *value = c.r16.count(reg & 0xFFFF) ? c.r16[reg & 0xFFFF] : 0;
            else *value = c.r8[reg & 0xFF];
            return 0;
        });
    });
}

int sim_i2c_set_temperature(int bus, int addr, double celsius)
{
    return fenced<int>(-1, [&]() -> int {
        return sim::with_chip(bus, addr, [&](sim::I2cChip& c) {
            if (c.kind != SIM_I2C_REG16) {
                errno = EINVAL;
                return -1;
            }
            c.r16[0] = sim::temperature_raw(celsius);
            return 0;
        });
    });
}

int sim_i2c_stats(int bus, int addr, unsigned long* transfers, unsigned long* attempts)
{
    return sim::with_chip(bus, addr, [&](sim::I2cChip& c) {
        if (transfers) *transfers = c.transfers;
        if (attempts) *attempts = c.attempts;
        return 0;
    });
}

int sim_i2c_bus_settings(int bus, int* timeout, int* retries)
{
    return sim::with_bus(bus, [&](sim::I2cBus& bs) {
        if (timeout) *timeout = bs.timeout;
        if (retries) *retries = bs.retries;
        return 0;
    });
}

int sim_vendor_get(unsigned id, void* buf, size_t size)
{
    Board* b = sim::board();
    if (!b || !b->vendor) return -1;
    std::lock_guard<std::mutex> lk(b->vendor->mu);
    auto it = b->vendor->items.find((uint16_t)id);
    return it == b->vendor->items.end() ? -1 : (int)sim::copy_out(it->second, buf, size);
}

int sim_vendor_set(unsigned id, const void* data, size_t len)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = sim::board();
        if (!b || !b->vendor || len > PLAT_VENDOR_DATA_MAX || (len && !data) || id > 0xFFFF) {
            errno = EINVAL;
            return -1;
        }
        std::lock_guard<std::mutex> lk(b->vendor->mu);
        int rc = sim::vendor_put_locked(b->vendor, (uint16_t)id, static_cast<const uint8_t*>(data), len);
        if (rc) errno = -rc;
        return rc ? -1 : 0;
    });
}

unsigned long sim_cpld_programs(void)
{
    Board* b = sim::board();
    if (!b || !b->cpld) return 0;
    std::lock_guard<std::mutex> lk(b->cpld->mu);
    return b->cpld->programs;
}

long sim_cpld_image(void* buf, size_t size)
{
    Board* b = sim::board();
    if (!b || !b->cpld) return -1;
    std::lock_guard<std::mutex> lk(b->cpld->mu);
    return b->cpld->have_last ? (long)sim::copy_out(b->cpld->last, buf, size) : -1;
}

int sim_watchdog_state(sim_watchdog_t* out)
{
    Board* b = sim::board();
    if (!b || !b->watchdog || !out) return -1;
    sim::Watchdog* w = b->watchdog;
    std::lock_guard<std::mutex> lk(w->mu);
    sim::wd_check_locked(w);
    out->open = w->open;
    out->armed = w->armed;
    out->timeout = w->timeout;
    out->feeds = w->feeds;
    out->expired = w->expired;
    return 0;
}
