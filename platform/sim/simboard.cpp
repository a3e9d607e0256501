/* The simulated board: the board root, device nodes answered by in-process
 * models, faults, free space, the PHY, and the journal of shell commands.
 *
 * Nothing here reaches outside the board root. Plain files under the root
 * are opened for real; device paths registered by a model get a node whose
 * descriptor is an eventfd, so the caller holds a genuine descriptor. */
#include "fileop.h"
#include "siminternal.h"

#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/can.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

struct SimNode_ {
    int                 fd = -1; /* the eventfd the caller holds */
    sim::Device*        dev = nullptr;
    int                 flags = 0;
    void*               data = nullptr;
    std::atomic<int>    refs{1};
    bool                aborted = false;
    std::mutex          rmu;
    bool                readable = false;
};

namespace sim {

namespace {

Board* g_board = nullptr;

constexpr int      kMaxLinks = 40;
constexpr unsigned kNodeMajor = 240; /* the "local use" range */
constexpr uint64_t kDiskBytes = 16ull << 30;

std::vector<std::string> split_path(const char* p)
{
    std::vector<std::string> parts;
    std::string cur;
    for (; *p; p++) {
        if (*p == '/') {
            if (!cur.empty()) parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty()) parts.push_back(std::move(cur));
    return parts;
}

std::string join_board(const std::vector<std::string>& stack)
{
    if (stack.empty()) return "/";
    std::string s;
    for (const auto& c : stack) {
        s += '/';
        s += c;
    }
    return s;
}

} // namespace

Board* board() { return g_board; }

int resolve(const std::string& root, const char* path, bool follow_last, Resolved* out, const char* cwd)
{
    if (!path || !*path) return -ENOENT;
    std::vector<std::string> todo;
    if (path[0] != '/') todo = split_path(cwd ? cwd : "/");
    for (auto& c : split_path(path)) todo.push_back(std::move(c));

    // Work through the components front to back; links push their target's
    // components back onto the front of what is left.
    std::vector<std::string> pending(todo.rbegin(), todo.rend());
    std::vector<std::string> stack;
    int links = 0;
    while (!pending.empty()) {
        std::string c = std::move(pending.back());
        pending.pop_back();
        // Compared by length and bytes: GCC 12 at -O3 warns spuriously on
        // operator== against a literal for a moved-from string.
        if (c.size() == 1 && c[0] == '.') continue;
        if (c.size() == 2 && c[0] == '.' && c[1] == '.') {
            if (!stack.empty()) stack.pop_back();
            continue;
        }
        stack.push_back(std::move(c));
        bool last = true;
        for (const auto& rest : pending)
            if (rest != ".") {
                last = false;
                break;
            }
        if (last && !follow_last) continue;
        std::string host = root + join_board(stack);
        struct stat st;
        if (lstat(host.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        if (++links > kMaxLinks) return -ELOOP;
        char target[PATH_MAX];
        ssize_t n = readlink(host.c_str(), target, sizeof(target) - 1);
        if (n < 0) return -errno;
        target[n] = '\0';
        stack.pop_back();
        if (target[0] == '/') stack.clear();
        auto parts = split_path(target);
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) pending.push_back(*it);
    }
    out->board = join_board(stack);
    out->host = stack.empty() ? root : root + out->board;
    return 0;
}

bool resolve_board(Board* b, const char* path, bool follow_last, Resolved* out)
{
    int rc = resolve(b->root, path, follow_last, out);
    if (rc) errno = -rc;
    return rc == 0;
}

bool is_under(const std::string& board_path, const std::string& dir)
{
    return board_path.compare(0, dir.size(), dir) == 0 &&
           (board_path.size() == dir.size() || board_path[dir.size()] == '/');
}

int make_dirs(const std::string& host_dir)
{
    if (file_dir_create(host_dir.c_str(), 0) == 0) return 0;
    // The reason is that of the first folder on the way that could not be
    // made (the errno left behind is only that of the final check).
    for (size_t i = 1; i <= host_dir.size(); i++) {
        if (i < host_dir.size() && host_dir[i] != '/') continue;
        std::string dir = host_dir.substr(0, i);
        struct stat st;
        if (stat(dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
            continue;
        }
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -errno;
    }
    return -EIO;
}

int write_file(const std::string& host, const void* data, size_t len, bool only_if_missing)
{
    if (only_if_missing && access(host.c_str(), F_OK) == 0) return 0;
    size_t slash = host.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        int rc = make_dirs(host.substr(0, slash));
        if (rc) return rc;
    }
    // Write aside and rename, so a reader never sees half a file.
    std::string tmp = host + ".tmp~";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -errno;
    if (filefd_write(fd, data, (long)len) != (long)len) {
        int e = errno;
        close(fd);
        unlink(tmp.c_str());
        return -e;
    }
    close(fd);
    if (rename(tmp.c_str(), host.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return -e;
    }
    return 0;
}

namespace {

int take_fault_locked(Board* b, const std::string& path, int kind)
{
    if (b->faults.empty()) return 0; // the usual case: no key to build
    auto it = b->faults.find({path, kind});
    if (it == b->faults.end()) return 0;
    if (++it->second.seen < it->second.nth) return 0;
    int err = it->second.err;
    b->faults.erase(it);
    return err;
}

} // namespace

int take_fault(Board* b, const std::string& path, int kind)
{
    std::lock_guard<std::mutex> lk(b->mu);
    return take_fault_locked(b, path, kind);
}

Device* device_find_locked(Board* b, const std::string& board_path)
{
    auto it = b->devices.find(board_path);
    return it == b->devices.end() ? nullptr : it->second.get();
}

int device_add(Board* b, const char* path, const sim_devops_t* ops, void* model)
{
    Resolved r;
    int rc = resolve(b->root, path, false, &r);
    if (rc) return rc;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        if (b->devices.count(r.board)) return -EEXIST;
        auto d = std::make_unique<Device>();
        d->path = r.board;
        d->ops = ops;
        d->model = model;
        d->rdev = makedev(kNodeMajor, b->next_minor++);
        b->devices[r.board] = std::move(d);
    }
    // The placeholder lets existence checks on the path answer as on the board.
    rc = write_file(r.host, "", 0, true);
    if (rc) {
        // The caller keeps (and frees) a model it could not add.
        std::lock_guard<std::mutex> lk(b->mu);
        b->devices.erase(r.board);
    }
    return rc;
}

int gpio_input_level(Board* b, int line)
{
    std::lock_guard<std::mutex> lk(b->mu);
    auto it = b->gpio_inputs.find(line);
    return it == b->gpio_inputs.end() ? 0 : it->second;
}

int mii_request(Board* b, int fd, unsigned long request, void* arg)
{
    auto* ifr = static_cast<struct ifreq*>(arg);
    if (!ifr) return -EFAULT;
    // The interface itself is the kernel's (a veth in a test namespace).
    struct ifreq probe;
    memset(&probe, 0, sizeof(probe));
    memcpy(probe.ifr_name, ifr->ifr_name, IFNAMSIZ);
    probe.ifr_name[IFNAMSIZ - 1] = '\0';
    if (ioctl(fd, SIOCGIFINDEX, &probe) != 0) return -errno;
    int speed;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        speed = b->link_speed;
    }
    if (speed <= 0) return -EOPNOTSUPP;
    auto* mii = reinterpret_cast<struct mii_ioctl_data*>(&ifr->ifr_ifru);
    if (request == SIOCGMIIPHY) {
        mii->phy_id = 1;
        return 0;
    }
    if (request == SIOCSMIIREG) return 0;
    uint16_t v = 0;
    switch (mii->reg_num) {
    case MII_BMCR: v = BMCR_ANENABLE | (speed == 1000 ? BMCR_SPEED1000 : speed == 100 ? BMCR_SPEED100 : 0) | BMCR_FULLDPLX; break;
    case MII_BMSR: v = BMSR_LSTATUS | BMSR_ANEGCOMPLETE | BMSR_ANEGCAPABLE | BMSR_ESTATEN; break;
    case MII_PHYSID1: v = 0x001c; break;
    case MII_PHYSID2: v = 0xc916; break;
    case 26: /* PHY-specific status: speed in bits 4..5 */
        v = (uint16_t)((speed == 1000 ? 2 : speed == 100 ? 1 : 0) << 4);
        break;
    default: break;
    }
    mii->val_out = v;
    return 0;
}

namespace {

/* The node behind `fd`, held for one request of `kind`; NULL for a
 * descriptor that is not a node. `*err` is set when the request must fail:
 * the device has gone, or a fault is due. */
sim_node_t* acquire(Board* b, int fd, int kind, int* err)
{
    std::lock_guard<std::mutex> lk(b->mu);
    auto it = b->nodes.find(fd);
    if (it == b->nodes.end()) return nullptr;
    sim_node_t* n = it->second;
    n->refs.fetch_add(1, std::memory_order_relaxed);
    *err = n->dev->absent ? ENODEV : take_fault_locked(b, n->dev->path, kind);
    return n;
}

int finalize(sim_node_t* n)
{
    int rc = 0;
    if (n->dev->ops && n->dev->ops->close) rc = n->dev->ops->close(n->dev->model, n);
    close(n->fd);
    delete n;
    return rc;
}

int release(sim_node_t* n)
{
    if (n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) return finalize(n);
    return 0;
}

int fail(int err)
{
    errno = err;
    return -1;
}

/* One request on a descriptor: a node's goes to its model (`model`, which
 * returns >= 0 or -errno), any other descriptor to the kernel (`host`). */
template <class R, class Host, class Model>
R node_request(int fd, int kind, Host&& host, Model&& model)
{
    Board* b = g_board;
    int err = 0;
    sim_node_t* n = acquire(b, fd, kind, &err);
    if (!n) return host();
    R rc = err ? -err : model(n, n->dev->ops);
    release(n);
    return rc < 0 ? fail((int)-rc) : rc;
}

const char* sb_root(void) { return g_board ? g_board->root.c_str() : ""; }

/* A board path bound to a host path (sim_bind_path) answers with that path. */
void apply_binding(Board* b, Resolved* r)
{
    std::lock_guard<std::mutex> lk(b->mu);
    auto it = b->bindings.find(r->board);
    if (it != b->bindings.end()) r->host = it->second;
}

char* sb_path(const char* path, char* buf, size_t size)
{
    Resolved r;
    if (!resolve_board(g_board, path, true, &r)) return nullptr;
    apply_binding(g_board, &r);
    if (r.host.size() >= size) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(buf, r.host.c_str(), r.host.size() + 1);
    return buf;
}

int sb_stat(const char* path, struct stat* st)
{
    Board* b = g_board;
    Resolved r;
    if (!resolve_board(b, path, true, &r)) return -1;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        if (Device* d = device_find_locked(b, r.board)) {
            if (d->absent) return fail(ENOENT);
            memset(st, 0, sizeof(*st));
            st->st_mode = S_IFCHR | 0660;
            st->st_rdev = d->rdev;
            st->st_nlink = 1;
            return 0;
        }
    }
    apply_binding(b, &r);
    return stat(r.host.c_str(), st);
}

int sb_statvfs(const char* path, struct statvfs* st)
{
    Board* b = g_board;
    Resolved r;
    if (!resolve_board(b, path, true, &r)) return -1;
    struct stat sst;
    if (stat(r.host.c_str(), &sst) != 0) return -1;
    uint64_t freeb = b->profile.free_mib << 20;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        size_t best = 0;
        for (const auto& m : b->free_space) {
            const std::string& mp = m.first;
            bool under = mp == "/" || is_under(r.board, mp);
            if (under && mp.size() >= best) {
                best = mp.size();
                freeb = m.second;
            }
        }
    }
    const uint64_t bs = 4096;
    memset(st, 0, sizeof(*st));
    st->f_bsize = bs;
    st->f_frsize = bs;
    st->f_bfree = freeb / bs;
    st->f_bavail = freeb / bs;
    st->f_blocks = (freeb > kDiskBytes ? freeb : kDiskBytes) / bs;
    st->f_files = 1u << 20;
    st->f_ffree = 1u << 19;
    st->f_favail = 1u << 19;
    st->f_namemax = 255;
    return 0;
}

int sb_shell(const char* cmd, char* out, size_t size, int* kept)
{
    std::string text;
    int status = shell_run(g_board, cmd, out ? &text : nullptr);
    if (out) {
        size_t n = text.size() < size - 1 ? text.size() : size - 1;
        memcpy(out, text.data(), n);
        out[n] = '\0';
        if (kept) *kept = (int)n;
    }
    return status;
}

int sb_open(const char* path, int flags, mode_t mode)
{
    Board* b = g_board;
    Resolved r;
    if (!resolve_board(b, path, true, &r)) return -1;
    sim_node_t* n = nullptr;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        if (int err = take_fault_locked(b, r.board, SIM_REQ_OPEN)) return fail(err);
        Device* d = device_find_locked(b, r.board);
        if (d) {
            if (d->absent) return fail(ENOENT);
            auto node = std::make_unique<sim_node_t>();
            node->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (node->fd < 0) return -1;
            node->dev = d;
            node->flags = flags;
            b->nodes[node->fd] = node.get();
            n = node.release();
        }
    }
    if (!n) {
        apply_binding(b, &r);
        return open(r.host.c_str(), flags, mode);
    }
    int rc = n->dev->ops && n->dev->ops->open ? n->dev->ops->open(n->dev->model, n) : 0;
    if (rc < 0) {
        {
            std::lock_guard<std::mutex> lk(b->mu);
            b->nodes.erase(n->fd);
        }
        close(n->fd);
        delete n;
        return fail(-rc);
    }
    return n->fd;
}

int sb_close(int fd)
{
    Board* b = g_board;
    sim_node_t* n = nullptr;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        auto it = b->nodes.find(fd);
        if (it != b->nodes.end()) {
            n = it->second;
            b->nodes.erase(it);
        }
    }
    if (!n) return close(fd);
    int err = take_fault(b, n->dev->path, SIM_REQ_CLOSE);
    n->aborted = err != 0;
    int rc = release(n);
    if (err) return fail(err);
    if (rc < 0) return fail(-rc);
    return 0;
}

int sb_ioctl(int fd, unsigned long request, void* arg)
{
    return node_request<int>(
        fd, SIM_REQ_IOCTL,
        [&] {
            if (request == SIOCGMIIPHY || request == SIOCGMIIREG || request == SIOCSMIIREG) {
                int rc = mii_request(g_board, fd, request, arg);
                return rc < 0 ? fail(-rc) : rc;
            }
            return ioctl(fd, request, arg);
        },
        [&](sim_node_t* n, const sim_devops_t* o) {
            return o && o->ioctl ? o->ioctl(n->dev->model, n, request, arg) : -ENOTTY;
        });
}

ssize_t sb_read(int fd, void* buf, size_t count)
{
    return node_request<ssize_t>(
        fd, SIM_REQ_READ, [&] { return read(fd, buf, count); },
        [&](sim_node_t* n, const sim_devops_t* o) {
            return o && o->read ? o->read(n->dev->model, n, buf, count) : -EINVAL;
        });
}

ssize_t sb_write(int fd, const void* buf, size_t count)
{
    return node_request<ssize_t>(
        fd, SIM_REQ_WRITE, [&] { return write(fd, buf, count); },
        [&](sim_node_t* n, const sim_devops_t* o) {
            return o && o->write ? o->write(n->dev->model, n, buf, count) : -EINVAL;
        });
}

void* sb_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    int err = 0;
    sim_node_t* n = acquire(g_board, fd, SIM_REQ_MMAP, &err);
    if (!n) return mmap(addr, length, prot, flags, fd, offset);
    int memfd = -1;
    off_t memoff = 0;
    int rc = err ? -err
                 : n->dev->ops && n->dev->ops->mmap
                       ? n->dev->ops->mmap(n->dev->model, n, length, offset, &memfd, &memoff)
                       : -ENODEV;
    void* p = MAP_FAILED;
    if (rc >= 0) p = mmap(addr, length, prot, flags, memfd, memoff);
    else errno = -rc;
    int e = errno;
    release(n);
    errno = e;
    return p;
}

int sb_fstat(int fd, struct stat* st)
{
    Board* b = g_board;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        auto it = b->nodes.find(fd);
        if (it != b->nodes.end()) {
            memset(st, 0, sizeof(*st));
            st->st_mode = S_IFCHR | 0660;
            st->st_rdev = it->second->dev->rdev;
            st->st_nlink = 1;
            return 0;
        }
    }
    return fstat(fd, st);
}

constexpr size_t kFileOpsKept = 4096;

void record_fileop(Board* b, std::string line)
{
    std::lock_guard<std::mutex> lk(b->fmu);
    if (b->fileops.size() >= kFileOpsKept) b->fileops.pop_front();
    b->fileops.push_back(std::move(line));
}

// The board path of an open file, its host path when outside the root.
std::string fd_board_path(Board* b, int fd)
{
    char link[64], host[PATH_MAX];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, host, sizeof(host) - 1);
    if (n < 0) return "?";
    host[n] = '\0';
    std::string h(host);
    if (h == b->root) return "/";
    if (h.compare(0, b->root.size(), b->root) == 0 && h.size() > b->root.size() && h[b->root.size()] == '/')
        return h.substr(b->root.size());
    return h;
}

int sb_fsync(int fd)
{
    Board* b = g_board;
    int rc = fsync(fd);
    int e = errno;
    record_fileop(b, "fsync " + fd_board_path(b, fd));
    errno = e;
    return rc;
}

int sb_rename(const char* from, const char* to)
{
    Board* b = g_board;
    // A rename acts on the names themselves: final links are not followed.
    Resolved rf, rt;
    if (!resolve_board(b, from, false, &rf) || !resolve_board(b, to, false, &rt)) return -1;
    if (int err = take_fault(b, rf.board, SIM_REQ_RENAME)) {
        errno = err;
        return -1;
    }
    int rc = rename(rf.host.c_str(), rt.host.c_str());
    int e = errno;
    if (rc == 0) record_fileop(b, "rename " + rf.board + " " + rt.board);
    errno = e;
    return rc;
}

int sb_publish(void) { return g_board ? publish_serial_ports(g_board) : 0; }

void sb_withdraw(void)
{
    if (Board* b = g_board) withdraw_serial_ports(b);
}

void sb_shutdown(void)
{
    Board* b = g_board;
    if (!b) return;
    g_board = nullptr;
    close_serial_ports(b);
    for (auto& kv : b->nodes) finalize(kv.second);
    b->nodes.clear();
    for (auto& kv : b->devices)
        if (kv.second->ops && kv.second->ops->destroy) kv.second->ops->destroy(kv.second->model);
    delete b;
}

const plat_backend_t kSim = {
    1,        sb_root,  sb_path,  sb_stat,  sb_statvfs, sb_shell,    sb_open,  sb_close,
    sb_ioctl, sb_read,  sb_write, sb_mmap,  sb_shutdown, sb_fstat,   sb_fsync, sb_rename,
    sb_publish, sb_withdraw,
};

} // namespace
} // namespace sim

using sim::Board;

namespace {

__attribute__((format(printf, 3, 4))) void say(char* why, size_t size, const char* fmt, ...)
{
    if (!why || size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, size, fmt, ap);
    va_end(ap);
}

} // namespace

const plat_backend_t* sim_backend_start(const char* root, const char* profile, char* why, size_t why_size)
{
    say(why, why_size, "%s", "");
    auto b = std::make_unique<Board>();
    // The profile first: nothing is made for a board that cannot be.
    if (sim_profile_load(profile, &b->profile) != 0) {
        std::string file = sim::profile_file(profile);
        if (file != profile && access(file.c_str(), F_OK) != 0)
            say(why, why_size, "no board profile \"%s\"; the profiles are %s", profile, sim::profile_names().c_str());
        else
            say(why, why_size, "board profile %s: %s", file.c_str(),
                access(file.c_str(), R_OK) != 0 ? strerror(errno) : "not a profile");
        errno = EINVAL;
        return nullptr;
    }
    if (!root || !*root) {
        say(why, why_size, "no board root");
        errno = EINVAL;
        return nullptr;
    }
    // Settle where the root really is before anything is written there: the
    // host's own root (however spelt) is never a board root.
    int rc = sim::make_dirs(root);
    if (rc) {
        say(why, why_size, "board root %s cannot be made: %s", root, strerror(-rc));
        errno = -rc;
        return nullptr;
    }
    char canon[PATH_MAX];
    if (!realpath(root, canon)) {
        int e = errno;
        say(why, why_size, "board root %s: %s", root, strerror(e));
        errno = e;
        return nullptr;
    }
    if (strcmp(canon, "/") == 0) {
        say(why, why_size, "board root %s is the host's own root", root);
        errno = EINVAL;
        return nullptr;
    }
    b->root = canon;
    if (access(canon, W_OK) != 0) {
        int e = errno;
        say(why, why_size, "board root %s cannot be written: %s", canon, strerror(e));
        errno = e;
        return nullptr;
    }
    if (sim_profile_layout(canon, &b->profile) != 0) {
        int e = errno;
        say(why, why_size, "board root %s cannot be laid out: %s", canon, strerror(e));
        errno = e;
        return nullptr;
    }
    b->link_speed = b->profile.link_speed;
    for (int i = 0; i < b->profile.gpio_count; i++) b->gpio_inputs[b->profile.gpio_line[i]] = b->profile.gpio_level[i];
    b->free_space["/"] = b->profile.free_mib << 20;
    for (const auto& mount : sim::words(b->profile.mounts, " \t")) {
        sim::Resolved r;
        if (sim::resolve(b->root, mount.c_str(), false, &r) == 0) b->free_space[r.board] = b->profile.free_mib << 20;
    }
    b->journal_path = b->root + "/.board/journal";
    sim::make_dirs(b->root + "/.board");
    sim::g_board = b.release();
    sim::install_models(sim::g_board);
    sim::install_serial_ports(sim::g_board);
    return &sim::kSim;
}

/* ---- Control API ---- */

using sim::g_board;

const sim_profile_t* sim_profile(void) { return g_board ? &g_board->profile : nullptr; }

int sim_fail_nth(const char* path, int kind, unsigned nth, int err)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = g_board;
        if (!b || kind < 0 || kind >= SIM_REQ_KINDS || nth == 0 || err <= 0) {
            errno = EINVAL;
            return -1;
        }
        sim::Resolved r;
        if (kind != SIM_REQ_SHELL && !sim::resolve_board(b, path, true, &r)) return -1;
        std::lock_guard<std::mutex> lk(b->mu);
        sim::Fault f;
        f.nth = nth;
        f.err = err;
        b->faults[{r.board, kind}] = f;
        return 0;
    });
}

int sim_set_absent(const char* path, int absent)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = g_board;
        if (!b) {
            errno = ENODEV;
            return -1;
        }
        sim::Resolved r;
        if (!sim::resolve_board(b, path, false, &r)) return -1;
        {
            std::lock_guard<std::mutex> lk(b->mu);
            sim::Device* d = sim::device_find_locked(b, r.board);
            if (!d) {
                errno = ENOENT;
                return -1;
            }
            d->absent = absent != 0;
        }
        if (absent) unlink(r.host.c_str());
        else sim::write_file(r.host, "", 0, true);
        return 0;
    });
}

int sim_set_free_space(const char* mount, uint64_t bytes)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = g_board;
        if (!b || !mount) {
            errno = EINVAL;
            return -1;
        }
        sim::Resolved r;
        if (!sim::resolve_board(b, mount, true, &r)) return -1;
        std::lock_guard<std::mutex> lk(b->mu);
        b->free_space[r.board] = bytes;
        return 0;
    });
}

int sim_fill_disk(const char* mount) { return sim_set_free_space(mount, 0); }

void sim_faults_clear(void)
{
    fenced(0, [&] {
        Board* b = g_board;
        if (!b) return 0;
        std::vector<std::string> back;
        {
            std::lock_guard<std::mutex> lk(b->mu);
            b->faults.clear();
            for (auto& kv : b->devices) {
                if (kv.second->absent) back.push_back(b->root + kv.first);
                kv.second->absent = false;
            }
        }
        for (const auto& host : back) sim::write_file(host, "", 0, true);
        sim::i2c_faults_clear(b);
        return 0;
    });
}

int sim_set_link_speed(int mbps)
{
    Board* b = g_board;
    if (!b || (mbps != 0 && mbps != 10 && mbps != 100 && mbps != 1000)) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> lk(b->mu);
    b->link_speed = mbps;
    return 0;
}

int sim_bind_path(const char* board_path, const char* host_path)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = g_board;
        if (!b || !board_path || (host_path && host_path[0] != '/')) {
            errno = EINVAL;
            return -1;
        }
        sim::Resolved r;
        if (!sim::resolve_board(b, board_path, true, &r)) return -1;
        std::lock_guard<std::mutex> lk(b->mu);
        if (host_path) b->bindings[r.board] = host_path;
        else b->bindings.erase(r.board);
        return 0;
    });
}

int sim_gpio_set_input(int line, int level)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = g_board;
        if (!b || line < 0) {
            errno = EINVAL;
            return -1;
        }
        std::lock_guard<std::mutex> lk(b->mu);
        b->gpio_inputs[line] = level ? 1 : 0;
        return 0;
    });
}

int sim_device_add(const char* path, const sim_devops_t* ops, void* model)
{
    return fenced<int>(-1, [&]() -> int {
        Board* b = g_board;
        if (!b || !path) {
            errno = EINVAL;
            return -1;
        }
        int rc = sim::device_add(b, path, ops, model);
        if (rc) {
            errno = -rc;
            return -1;
        }
        return 0;
    });
}

namespace {

/* The device at a board path, NULL when none. Devices live as long as the
 * board, and their model and number never change. */
sim::Device* device_at(const char* path)
{
    return fenced<sim::Device*>(nullptr, [&]() -> sim::Device* {
        Board* b = g_board;
        sim::Resolved r;
        if (!b || !path || sim::resolve(b->root, path, false, &r) != 0) return nullptr;
        std::lock_guard<std::mutex> lk(b->mu);
        return sim::device_find_locked(b, r.board);
    });
}

} // namespace

void* sim_device_model(const char* path)
{
    sim::Device* d = device_at(path);
    return d ? d->model : nullptr;
}

dev_t sim_device_rdev(const char* path)
{
    sim::Device* d = device_at(path);
    return d ? d->rdev : 0;
}

int   sim_node_fd(const sim_node_t* node) { return node->fd; }
int   sim_node_flags(const sim_node_t* node) { return node->flags; }
void* sim_node_data(const sim_node_t* node) { return node->data; }
void  sim_node_set_data(sim_node_t* node, void* data) { node->data = data; }
int   sim_node_aborted(const sim_node_t* node) { return node->aborted; }

void sim_node_set_readable(sim_node_t* node, int readable)
{
    std::lock_guard<std::mutex> lk(node->rmu);
    bool want = readable != 0;
    if (want == node->readable) return;
    uint64_t v = 1;
    if (want) {
        if (write(node->fd, &v, sizeof(v)) != (ssize_t)sizeof(v)) return;
    } else if (read(node->fd, &v, sizeof(v)) != (ssize_t)sizeof(v)) {
        return;
    }
    node->readable = want;
}

/* ---- Journal ---- */

namespace sim {

void journal_add(Board* b, int kind, const char* event, int status, const char* cmd)
{
    sim_journal_t e;
    memset(&e, 0, sizeof(e));
    e.kind = kind;
    e.status = status;
    snprintf(e.event, sizeof(e.event), "%s", event ? event : "");
    snprintf(e.cmd, sizeof(e.cmd), "%s", cmd);
    static const char* const kKinds[] = {"applied", "event", "refused", "failed"};
    {
        std::lock_guard<std::mutex> lk(b->jmu);
        e.seq = ++b->jseq;
        if (b->journal.size() >= SIM_JOURNAL_KEPT) {
            b->journal.erase(b->journal.begin(), b->journal.begin() + SIM_JOURNAL_KEPT / 2);
            b->jdropped += SIM_JOURNAL_KEPT / 2;
        }
        b->journal.push_back(e);
        // The file lets a harness outside the process follow the board too.
        FILE* f = fopen(b->journal_path.c_str(), "a");
        if (f) {
            fprintf(f, "%lu %s%s%s %d %s\n", e.seq, kKinds[kind], e.event[0] ? ":" : "", e.event, status, e.cmd);
            fclose(f);
        }
    }
    b->jcv.notify_all();
}

} // namespace sim

size_t sim_journal_count(void)
{
    Board* b = g_board;
    if (!b) return 0;
    std::lock_guard<std::mutex> lk(b->jmu);
    return b->jdropped + b->journal.size();
}

int sim_journal_get(size_t index, sim_journal_t* out)
{
    Board* b = g_board;
    if (!b || !out) return -1;
    std::lock_guard<std::mutex> lk(b->jmu);
    if (index < b->jdropped || index - b->jdropped >= b->journal.size()) return -1;
    *out = b->journal[index - b->jdropped];
    return 0;
}

namespace {

long journal_find_locked(Board* b, const char* text, size_t from)
{
    for (size_t i = from > b->jdropped ? from - b->jdropped : 0; i < b->journal.size(); i++) {
        const sim_journal_t& e = b->journal[i];
        if (strcmp(e.event, text) == 0 || strstr(e.cmd, text)) return (long)(b->jdropped + i);
    }
    return -1;
}

} // namespace

long sim_journal_find(const char* text, size_t from)
{
    Board* b = g_board;
    if (!b || !text) return -1;
    std::lock_guard<std::mutex> lk(b->jmu);
    return journal_find_locked(b, text, from);
}

long sim_journal_wait(const char* text, size_t from, int timeout_ms)
{
    Board* b = g_board;
    if (!b || !text) return -1;
    std::unique_lock<std::mutex> lk(b->jmu);
    long at = -1;
    b->jcv.wait_for(lk, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                    [&] { return (at = journal_find_locked(b, text, from)) >= 0; });
    return at;
}

void sim_journal_clear(void)
{
    Board* b = g_board;
    if (!b) return;
    std::lock_guard<std::mutex> lk(b->jmu);
    b->journal.clear();
    b->jdropped = 0;
}

size_t sim_fileop_count(void)
{
    Board* b = g_board;
    if (!b) return 0;
    std::lock_guard<std::mutex> lk(b->fmu);
    return b->fileops.size();
}

int sim_fileop_get(size_t index, char* out, size_t size)
{
    Board* b = g_board;
    if (!b || !out || size == 0) return -1;
    std::lock_guard<std::mutex> lk(b->fmu);
    if (index >= b->fileops.size()) return -1;
    snprintf(out, size, "%s", b->fileops[index].c_str());
    return 0;
}

void sim_fileop_clear(void)
{
    Board* b = g_board;
    if (!b) return;
    std::lock_guard<std::mutex> lk(b->fmu);
    b->fileops.clear();
}

const char* sim_journal_file(void) { return g_board ? g_board->journal_path.c_str() : ""; }

/* ---- Sockets ---- */

int sim_socket_open(int domain, int type, int protocol)
{
    if (domain != PF_CAN) return socket(domain, type, protocol);
    if ((type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) != SOCK_RAW || protocol != CAN_RAW) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    return sim::sb_open(SIM_CAN_BUS, O_RDWR | ((type & SOCK_NONBLOCK) ? O_NONBLOCK : 0), 0);
}

namespace {

int socket_request(int fd, unsigned long request, sim::SockRequest* rq, int (*host)(int, const sim::SockRequest*))
{
    return sim::node_request<int>(
        fd, SIM_REQ_IOCTL, [&] { return host(fd, rq); },
        [&](sim_node_t* n, const sim_devops_t* o) {
            return o && o->ioctl ? o->ioctl(n->dev->model, n, request, rq) : -ENOTSOCK;
        });
}

} // namespace

int sim_socket_bind(int fd, const struct sockaddr* addr, socklen_t len)
{
    sim::SockRequest rq{addr, len, 0, 0, nullptr, 0};
    return socket_request(fd, sim::kSockBind, &rq, [](int s, const sim::SockRequest* r) {
        return bind(s, static_cast<const struct sockaddr*>(r->addr), (socklen_t)r->addrlen);
    });
}

int sim_socket_setopt(int fd, int level, int name, const void* value, socklen_t len)
{
    sim::SockRequest rq{nullptr, 0, level, name, value, len};
    return socket_request(fd, sim::kSockSetOpt, &rq, [](int s, const sim::SockRequest* r) {
        return setsockopt(s, r->level, r->name, r->value, (socklen_t)r->len);
    });
}
