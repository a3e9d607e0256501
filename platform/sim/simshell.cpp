/* The simulated board's shell: it never runs anything on the host.
 *
 * A command line is parsed (words, quotes, redirections, pipes, && || ;) and
 * each command is either applied as a file effect inside the board root
 * (echo into a file, dd of zeros, rm, cp, cat, cd, zip, unzip), recorded as
 * an action on the board (reboot, killall, ip, systemctl, sync, ...), or
 * refused. Every line goes to the journal. */
#include "fileop.h"
#include "siminternal.h"
#include "simzip.h"

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <map>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr int      kRefused = 127;
constexpr uint64_t kMaxDdBytes = 256ull << 20;
constexpr size_t   kMaxZipBytes = 256u << 20; /* an archive, and all it unpacks to */
constexpr int      kMaxZipDepth = 32;         /* directories walked, linked ones included */

struct Word {
    std::string text;
    bool        glob = false; /* holds an unquoted * ? or [ */
};

struct Redir {
    int         fd = 1;
    bool        append = false;
    std::string target;
};

struct Cmd {
    std::vector<Word>  argv;
    std::vector<Redir> redirs;
};

struct Item {
    std::vector<Cmd> pipeline;
    std::string      op; /* what joins it to the next item: "&&", "||", ";" or "" */
};

/* Returns false on syntax the board's commands never use (substitutions,
 * subshells, background jobs): such lines are refused whole. */
bool parse(const char* s, std::vector<Item>* items)
{
    items->clear();
    items->emplace_back();
    Cmd cur;
    Word w;
    bool in_word = false;
    Redir* want_target = nullptr;
    Redir pending;

    auto finish_word = [&]() {
        if (!in_word) return;
        if (want_target) {
            want_target->target = w.text;
            cur.redirs.push_back(*want_target);
            want_target = nullptr;
        } else {
            cur.argv.push_back(w);
        }
        w = Word();
        in_word = false;
    };
    auto finish_cmd = [&]() -> bool {
        finish_word();
        if (want_target) return false;
        if (cur.argv.empty() && cur.redirs.empty()) return false;
        items->back().pipeline.push_back(std::move(cur));
        cur = Cmd();
        return true;
    };

    for (const char* p = s; *p;) {
        char c = *p;
        if (c == ' ' || c == '\t' || c == '\n') {
            finish_word();
            p++;
        } else if (c == '#' && !in_word) {
            break;
        } else if (c == '\'') {
            const char* e = strchr(p + 1, '\'');
            if (!e) return false;
            w.text.append(p + 1, (size_t)(e - p - 1));
            in_word = true;
            p = e + 1;
        } else if (c == '"') {
            p++;
            in_word = true;
            for (;; p++) {
                if (!*p) return false;
                if (*p == '"') break;
                if (*p == '$' || *p == '`') return false;
                if (*p == '\\' && (p[1] == '"' || p[1] == '\\' || p[1] == '$' || p[1] == '`')) p++;
                w.text += *p;
            }
            p++;
        } else if (c == '\\') {
            if (!p[1]) return false;
            w.text += p[1];
            in_word = true;
            p += 2;
        } else if (c == '$' || c == '`' || c == '(' || c == ')' || c == '<') {
            return false;
        } else if (c == '>') {
            pending = Redir();
            if (in_word && !w.glob && (w.text == "1" || w.text == "2")) {
                pending.fd = w.text[0] - '0';
                w = Word();
                in_word = false;
            } else {
                finish_word();
            }
            if (want_target) return false;
            p++;
            if (*p == '>') {
                pending.append = true;
                p++;
            }
            if (*p == '&') { // 2>&1 and the like: nothing to write anywhere
                p++;
                while (*p >= '0' && *p <= '9') p++;
                continue;
            }
            want_target = &pending;
        } else if (c == '|' || c == '&' || c == ';') {
            std::string op(1, c);
            if ((c == '|' || c == '&') && p[1] == c) op += c;
            if (op == "&") return false; // no background jobs
            if (!finish_cmd()) return false;
            p += op.size();
            if (op == "|") continue;
            items->back().op = op;
            items->emplace_back();
        } else {
            if (c == '*' || c == '?' || c == '[') w.glob = true;
            w.text += c;
            in_word = true;
            p++;
        }
    }
    finish_word();
    if (want_target) return false;
    if (!cur.argv.empty() || !cur.redirs.empty()) items->back().pipeline.push_back(std::move(cur));
    if (items->back().pipeline.empty()) {
        // A trailing ";" is fine; a dangling "&&", "||" or "|" is not.
        if (items->size() > 1 && (*items)[items->size() - 2].op != ";") return false;
        items->pop_back();
    }
    return !items->empty();
}

struct EventName {
    const char* cmd;
    const char* event;
};

constexpr EventName kEvents[] = {
    {"reboot", "reboot"},     {"shutdown", "reboot"},   {"poweroff", "reboot"}, {"halt", "reboot"},
    {"killall", "process"},   {"kill", "process"},      {"pkill", "process"},   {"ip", "network"},
    {"ifconfig", "network"},  {"route", "network"},     {"ifup", "network"},    {"ifdown", "network"},
    {"udhcpc", "network"},    {"ethtool", "network"},   {"systemctl", "service"}, {"service", "service"},
    {"sync", "sync"},         {"i2ctransfer", "i2c"},   {"i2cset", "i2c"},      {"i2cget", "i2c"},
    {"i2cdetect", "i2c"},     {"hwclock", "clock"},     {"date", "clock"},      {"zip", "archive"},
    {"unzip", "archive"},     {"tar", "archive"},       {"gzip", "archive"},    {"update", "update"},
    {"dmesg", "log"},
};

const char* event_of(const std::string& name)
{
    for (const auto& e : kEvents)
        if (name == e.cmd) return e.event;
    return nullptr;
}

std::string base_name(const std::string& s)
{
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

struct Ctx {
    Board*       b;
    std::string  cwd = "/";
    std::string  oldcwd = "/";
    std::string* out; /* NULL: output discarded */
    int          kind = SIM_SHELL_APPLIED;
    std::string  event;
};

int rank(int kind)
{
    switch (kind) {
    case SIM_SHELL_APPLIED: return 0;
    case SIM_SHELL_EVENT: return 1;
    case SIM_SHELL_FAILED: return 2;
    default: return 3;
    }
}

void note(Ctx& c, int kind, const char* event = nullptr)
{
    if (rank(kind) > rank(c.kind)) c.kind = kind;
    if (event && c.event.empty()) c.event = event;
}

bool resolve_in(Ctx& c, const std::string& path, bool follow, Resolved* r)
{
    return resolve(c.b->root, path.c_str(), follow, r, c.cwd.c_str()) == 0;
}

/* Expands a word the way sh would, within one directory of the root. */
std::vector<std::string> expand(Ctx& c, const Word& w)
{
    if (!w.glob) return {w.text};
    size_t slash = w.text.rfind('/');
    std::string dir = slash == std::string::npos ? "" : w.text.substr(0, slash + 1);
    std::string pat = slash == std::string::npos ? w.text : w.text.substr(slash + 1);
    if (dir.find_first_of("*?[") != std::string::npos) return {w.text};
    Resolved r;
    if (!resolve_in(c, dir.empty() ? "." : dir, true, &r)) return {w.text};
    std::vector<std::string> hits;
    if (DIR* d = opendir(r.host.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' && pat[0] != '.') continue;
            if (fnmatch(pat.c_str(), e->d_name, 0) == 0) hits.push_back(dir + e->d_name);
        }
        closedir(d);
    }
    if (hits.empty()) return {w.text};
    std::sort(hits.begin(), hits.end());
    return hits;
}

bool read_host(const std::string& host, std::string* data)
{
    int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) data->append(buf, (size_t)n);
    close(fd);
    return n == 0;
}

bool write_host(const std::string& host, const std::string& data, bool append)
{
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0) return false;
    bool ok = filefd_write(fd, data.data(), (long)data.size()) == (long)data.size();
    return close(fd) == 0 && ok;
}

/* Removes a host path without ever following a link out of it. */
bool remove_tree(const std::string& host)
{
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return unlink(host.c_str()) == 0;
    bool ok = true;
    if (DIR* d = opendir(host.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            ok = remove_tree(host + "/" + e->d_name) && ok;
        }
        closedir(d);
    }
    return rmdir(host.c_str()) == 0 && ok;
}

/* A free path of the board's own (beside the root's tree, on its file
 * system) where a sysfs node is put together; what a killed process of the
 * same id left there is cleared. */
std::string staging_dir(const Board* b)
{
    static std::atomic<unsigned> s_seq{0};
    std::string path =
        b->root + "/.board/sysfs-" + std::to_string((long)getpid()) + "-" + std::to_string(s_seq.fetch_add(1));
    remove_tree(path);
    return path;
}

/* Sysfs files for lines and PWM channels appear only when exported. */
int sysfs_effect(Ctx& c, const Resolved& r, const std::string& text, bool* handled)
{
    *handled = false;
    std::string dir = r.board.substr(0, r.board.rfind('/'));
    std::string file = r.board.substr(r.board.rfind('/') + 1);
    bool gpio = dir == "/sys/class/gpio";
    bool pwm = dir.compare(0, 21, "/sys/class/pwm/pwmchi") == 0 && dir.find('/', 15) == std::string::npos;
    if ((!gpio && !pwm) || (file != "export" && file != "unexport")) {
        // A line driven as an input refuses values, as the kernel does.
        if (file == "value" && is_under(r.board, "/sys/class/gpio")) {
            std::string dirn;
            Resolved dr;
            if (resolve_in(c, dir + "/direction", true, &dr) && read_host(dr.host, &dirn) &&
                dirn.compare(0, 2, "in") == 0) {
                *handled = true;
                return 1;
            }
        }
        return 0;
    }
    *handled = true;
    long n;
    if (!parse_long(text, &n) || n < 0) return 1;
    std::string node = gpio ? dir + "/gpio" + std::to_string(n) : dir + "/pwm" + std::to_string(n);
    Resolved nr;
    if (!resolve_in(c, node, false, &nr)) return 1;
    bool exists = access(nr.host.c_str(), F_OK) == 0;
    if (file == "unexport") return exists && remove_tree(nr.host) ? 0 : 1;
    if (exists) return 1; // busy
    // The kernel makes a node whole, and a process killed in the middle of
    // its export must not leave it without its files (the next export would
    // find it busy and its files could not be written): it is built aside
    // and renamed into place.
    std::string aside = staging_dir(c.b);
    if (make_dirs(aside) != 0 || make_dirs(nr.host.substr(0, nr.host.rfind('/'))) != 0) return 1;
    // A new line is an input reading its wired level; a new channel is off.
    std::string level = gpio ? std::to_string(gpio_input_level(c.b, (int)n)) + "\n" : "";
    const std::pair<const char*, std::string> gpio_files[] = {
        {"direction", "in\n"}, {"value", level}, {"active_low", "0\n"}, {"edge", "none\n"}};
    const std::pair<const char*, std::string> pwm_files[] = {
        {"period", "0\n"}, {"duty_cycle", "0\n"}, {"polarity", "normal\n"}, {"enable", "0\n"}};
    bool made = true;
    for (const auto& f : gpio ? gpio_files : pwm_files)
        made = write_host(aside + "/" + f.first, f.second, false) && made;
    if (!made || rename(aside.c_str(), nr.host.c_str()) != 0) {
        remove_tree(aside);
        return 1;
    }
    return 0;
}

/* Sends a command's standard output where its redirection says. */
int emit(Ctx& c, const Cmd& cmd, const std::string& text)
{
    const Redir* to = nullptr;
    for (const auto& r : cmd.redirs)
        if (r.fd == 1) to = &r;
    if (!to) {
        if (c.out) c.out->append(text);
        return 0;
    }
    if (to->target == "/dev/null") return 0;
    Resolved r;
    if (!resolve_in(c, to->target, true, &r)) return 1;
    if (is_under(r.board, "/sys")) {
        bool handled;
        std::string value = text;
        while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
        int rc = sysfs_effect(c, r, value, &handled);
        if (handled) return rc;
        // Sysfs has only the files the kernel made.
        struct stat st;
        if (stat(r.host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 1;
    }
    return write_host(r.host, text, to->append) ? 0 : 1;
}

int do_echo(Ctx& c, const Cmd& cmd)
{
    size_t i = 1;
    bool newline = true;
    if (i < cmd.argv.size() && cmd.argv[i].text == "-n") {
        newline = false;
        i++;
    }
    std::string text;
    for (; i < cmd.argv.size(); i++) {
        if (!text.empty()) text += ' ';
        text += cmd.argv[i].text;
    }
    if (newline) text += '\n';
    return emit(c, cmd, text);
}

int do_cat(Ctx& c, const Cmd& cmd)
{
    std::string text;
    int status = 0;
    for (size_t i = 1; i < cmd.argv.size(); i++) {
        for (const auto& path : expand(c, cmd.argv[i])) {
            Resolved r;
            if (!resolve_in(c, path, true, &r) || !read_host(r.host, &text)) status = 1;
        }
    }
    int rc = emit(c, cmd, text);
    return rc ? rc : status;
}

bool dd_size(const std::string& s, uint64_t* v)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(s.c_str(), &end, 10);
    if (errno || end == s.c_str()) return false;
    uint64_t mul = 1;
    std::string suf = end;
    if (suf == "" || suf == "c") mul = 1;
    else if (suf == "K" || suf == "k" || suf == "KiB") mul = 1024;
    else if (suf == "M" || suf == "MiB") mul = 1024 * 1024;
    else if (suf == "G" || suf == "GiB") mul = 1024 * 1024 * 1024;
    else if (suf == "kB") mul = 1000;
    else if (suf == "MB") mul = 1000 * 1000;
    else if (suf == "b") mul = 512;
    else return false;
    if (x > UINT64_MAX / mul) return false;
    *v = x * mul;
    return true;
}

/* Only zero fill is a harmless effect; anything else is refused. */
int do_dd(Ctx& c, const Cmd& cmd)
{
    std::string in, of;
    uint64_t bs = 512, count = 0;
    bool have_count = false;
    for (size_t i = 1; i < cmd.argv.size(); i++) {
        const std::string& a = cmd.argv[i].text;
        size_t eq = a.find('=');
        if (eq == std::string::npos) return -1;
        std::string k = a.substr(0, eq), v = a.substr(eq + 1);
        if (k == "if") in = v;
        else if (k == "of") of = v;
        else if (k == "bs") {
            if (!dd_size(v, &bs) || bs == 0) return -1;
        } else if (k == "count") {
            if (!dd_size(v, &count)) return -1;
            have_count = true;
        } else if (k != "status" && k != "conv") {
            return -1;
        }
    }
    if (in != "/dev/zero" || of.empty() || !have_count) return -1;
    if (count > kMaxDdBytes / bs) return -1;
    Resolved r;
    if (!resolve_in(c, of, true, &r)) return 1;
    return write_host(r.host, std::string((size_t)(bs * count), '\0'), false) ? 0 : 1;
}

int do_rm(Ctx& c, const Cmd& cmd)
{
    bool recursive = false, force = false;
    std::vector<const Word*> paths;
    bool opts = true;
    for (size_t i = 1; i < cmd.argv.size(); i++) {
        const std::string& a = cmd.argv[i].text;
        if (opts && a == "--") {
            opts = false;
        } else if (opts && a.size() > 1 && a[0] == '-') {
            for (size_t k = 1; k < a.size(); k++) {
                if (a[k] == 'r' || a[k] == 'R') recursive = true;
                else if (a[k] == 'f') force = true;
                else return -1;
            }
        } else {
            paths.push_back(&cmd.argv[i]);
        }
    }
    int status = 0;
    for (const Word* w : paths) {
        for (const auto& path : expand(c, *w)) {
            Resolved r;
            if (!resolve_in(c, path, false, &r)) {
                status = 1;
                continue;
            }
            if (r.board == "/") { // the root itself is the board, not a file on it
                status = 1;
                continue;
            }
            struct stat st;
            if (lstat(r.host.c_str(), &st) != 0) {
                if (!force) status = 1;
                continue;
            }
            if (S_ISDIR(st.st_mode) && !recursive) {
                status = 1;
                continue;
            }
            if (!remove_tree(r.host)) status = 1;
        }
    }
    return status;
}

int do_cp(Ctx& c, const Cmd& cmd)
{
    std::vector<std::string> args;
    for (size_t i = 1; i < cmd.argv.size(); i++) {
        const std::string& a = cmd.argv[i].text;
        if (a == "-f") continue;
        if (a.size() > 1 && a[0] == '-') return -1;
        for (auto& p : expand(c, cmd.argv[i])) args.push_back(p);
    }
    if (args.size() < 2) return 1;
    Resolved dst;
    if (!resolve_in(c, args.back(), true, &dst)) return 1;
    bool into = file_is_dir(dst.host.c_str());
    if (args.size() > 2 && !into) return 1;
    int status = 0;
    for (size_t i = 0; i + 1 < args.size(); i++) {
        Resolved src;
        std::string data;
        if (!resolve_in(c, args[i], true, &src) || !read_host(src.host, &data)) {
            status = 1;
            continue;
        }
        // The joined name is resolved like any other path: a link under the
        // directory must not carry the write out of the root.
        Resolved to = dst;
        if (into && !resolve_in(c, dst.board + "/" + base_name(src.board), true, &to)) {
            status = 1;
            continue;
        }
        if (to.host == src.host || !write_host(to.host, data, false)) status = 1;
    }
    return status;
}

/* The components of a path, split at '/' (and '\\' when `backslash`). */
std::vector<std::string> components(const std::string& path, bool backslash)
{
    std::vector<std::string> parts(1);
    for (char ch : path) {
        if (ch == '/' || (backslash && ch == '\\')) parts.emplace_back();
        else parts.back() += ch;
    }
    return parts;
}

/* The name zip stores for a path: relative, without "." or climbing "..". */
std::string entry_name(const std::string& path)
{
    std::vector<std::string> keep;
    for (auto& p : components(path, false)) {
        if (p.empty() || p == ".") continue;
        if (p == "..") {
            if (!keep.empty()) keep.pop_back();
            continue;
        }
        keep.push_back(std::move(p));
    }
    std::string name;
    for (const auto& p : keep) name += (name.empty() ? "" : "/") + p;
    return name;
}

bool inside(const std::string& board_path, const std::string& dir)
{
    return dir == "/" || is_under(board_path, dir);
}

/* An archive small enough for the board to hold in memory. */
bool read_archive(const std::string& host, std::string* data)
{
    struct stat st;
    return stat(host.c_str(), &st) == 0 && (uint64_t)st.st_size <= kMaxZipBytes && read_host(host, data);
}

struct ZipJob {
    explicit ZipJob(Ctx& ctx) : c(ctx) {}
    Ctx&                          c;
    bool                          recurse = false;
    bool                          update = false;
    std::string                   archive; /* host path: never added to itself */
    std::vector<ZipEntry>         entries;
    std::map<std::string, size_t> index;
    size_t                        bytes = 0;
    bool                          too_big = false;
};

void zip_put(ZipJob& j, ZipEntry e)
{
    auto it = j.index.find(e.name);
    if (it == j.index.end()) {
        j.index[e.name] = j.entries.size();
        j.entries.push_back(std::move(e));
        return;
    }
    // -u replaces an entry only with something newer.
    if (j.update && e.stamp() <= j.entries[it->second].stamp()) return;
    j.entries[it->second] = std::move(e);
}

/* Adds a file, or a directory and (with -r) what lies below it. Links are
 * followed as zip does, each through the resolver, so they stay in the root. */
void zip_add(ZipJob& j, const std::string& name, const Resolved& r, int depth)
{
    struct stat st;
    if (r.host == j.archive || stat(r.host.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
        std::string data;
        if ((uint64_t)st.st_size > kMaxZipBytes - j.bytes) j.too_big = true;
        else if (read_host(r.host, &data) && data.size() <= kMaxZipBytes - j.bytes) {
            j.bytes += data.size();
            zip_put(j, zip_stored(name, std::move(data), st.st_mode, st.st_mtime));
        }
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    if (!name.empty()) zip_put(j, zip_stored(name + "/", "", st.st_mode, st.st_mtime));
    if (!j.recurse || depth >= kMaxZipDepth) return;
    std::vector<std::string> kids;
    if (DIR* d = opendir(r.host.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) kids.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(kids.begin(), kids.end());
    for (const auto& k : kids) {
        Resolved kr;
        if (resolve_in(j.c, r.board + "/" + k, true, &kr)) zip_add(j, name.empty() ? k : name + "/" + k, kr, depth + 1);
    }
}

/* zip [-r] [-u] [-q] ARCHIVE PATH...: stored entries, as Info-ZIP's exit codes. */
int do_zip(Ctx& c, const Cmd& cmd)
{
    ZipJob j(c);
    std::string archive;
    std::vector<const Word*> inputs;
    for (size_t i = 1; i < cmd.argv.size(); i++) {
        const std::string& a = cmd.argv[i].text;
        if (a.size() > 1 && a[0] == '-') {
            for (size_t k = 1; k < a.size(); k++) {
                if (a[k] == 'r') j.recurse = true;
                else if (a[k] == 'u') j.update = true;
                else if (a[k] != 'q') return -1;
            }
        } else if (archive.empty()) {
            archive = a;
        } else {
            inputs.push_back(&cmd.argv[i]);
        }
    }
    if (archive.empty()) return -1; // an archive on standard output: nothing the board asks for
    if (base_name(archive).find('.') == std::string::npos) archive += ".zip";
    Resolved ar;
    if (!resolve_in(c, archive, true, &ar)) return 15;
    j.archive = ar.host;
    std::string old;
    if (read_archive(ar.host, &old)) {
        if (!zip_read(old, &j.entries)) return 3;
        for (size_t i = 0; i < j.entries.size(); i++) j.index[j.entries[i].name] = i;
        j.bytes = old.size();
    } else if (access(ar.host.c_str(), F_OK) == 0) {
        return 15;
    }
    bool matched = false;
    for (const Word* w : inputs) {
        for (const auto& path : expand(c, *w)) {
            Resolved r;
            struct stat st;
            if (!resolve_in(c, path, true, &r) || stat(r.host.c_str(), &st) != 0) continue; // not matched
            matched = true;
            zip_add(j, entry_name(path), r, 0);
        }
    }
    if (j.too_big) return 4;
    if (!matched) return 12; // nothing to do
    std::string bytes;
    if (!zip_write(j.entries, &bytes)) return 4;
    if (!file_is_dir(ar.host.substr(0, ar.host.rfind('/')).c_str())) return 15;
    return write_file(ar.host, bytes.data(), bytes.size(), false) == 0 ? 0 : 15;
}

/* An entry unzip may write: no link, no absolute name, no "..". */
bool safe_entry(const ZipEntry& e)
{
    if (e.is_link() || e.name.empty() || e.name.find('\0') != std::string::npos) return false;
    if (e.name[0] == '/' || e.name[0] == '\\') return false;
    for (const auto& p : components(e.name, true))
        if (p == "..") return false;
    return true;
}

/* Writes one extracted file as a new file: a link in its place is replaced,
 * never followed. 0 written, 1 failed; an existing file without -o stays. */
int place_file(const std::string& host, const std::string& data, bool overwrite)
{
    if (make_dirs(host.substr(0, host.rfind('/'))) != 0) return 1;
    struct stat st;
    if (lstat(host.c_str(), &st) == 0) {
        if (!overwrite) return 0;
        if (S_ISDIR(st.st_mode) || unlink(host.c_str()) != 0) return 1;
    }
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    bool ok = filefd_write(fd, data.data(), (long)data.size()) == (long)data.size();
    return close(fd) == 0 && ok ? 0 : 1;
}

/* unzip [-o] [-q] ARCHIVE [-d DIR]. Entries that would land outside DIR are
 * skipped (status 1); corrupt ones are not written (status 2). */
int do_unzip(Ctx& c, const Cmd& cmd)
{
    bool overwrite = false;
    std::string archive, exdir = ".";
    for (size_t i = 1; i < cmd.argv.size(); i++) {
        const std::string& a = cmd.argv[i].text;
        if (a == "-d") {
            if (++i == cmd.argv.size()) return -1;
            exdir = cmd.argv[i].text;
        } else if (a.size() > 1 && a[0] == '-') {
            for (size_t k = 1; k < a.size(); k++) {
                if (a[k] == 'o') overwrite = true;
                else if (a[k] != 'q') return -1;
            }
        } else if (archive.empty()) {
            archive = a;
        } else {
            return -1; // picking members is not something the board does
        }
    }
    if (archive.empty()) return -1;
    Resolved ar, d;
    std::string bytes;
    std::vector<ZipEntry> entries;
    if (!resolve_in(c, archive, true, &ar) || !read_archive(ar.host, &bytes) || !zip_read(bytes, &entries)) return 9;
    bytes.clear();
    if (!resolve_in(c, exdir, true, &d) || make_dirs(d.host) != 0) return 3;
    int status = 0;
    size_t left = kMaxZipBytes;
    for (const auto& e : entries) {
        Resolved r;
        if (!safe_entry(e) || !resolve_in(c, d.board + "/" + e.name, e.is_dir(), &r) || !inside(r.board, d.board) ||
            (r.board == d.board && !e.is_dir())) {
            status = std::max(status, 1);
            continue;
        }
        if (e.is_dir()) {
            if (make_dirs(r.host) != 0) status = std::max(status, 1);
            continue;
        }
        std::string data;
        if (!zip_contents(e, left, &data)) {
            status = 2;
            continue;
        }
        left -= data.size();
        if (place_file(r.host, data, overwrite) != 0) status = std::max(status, 1);
    }
    return status;
}

int do_cd(Ctx& c, const Cmd& cmd)
{
    std::string to = cmd.argv.size() > 1 ? cmd.argv[1].text : "/";
    if (to == "-") to = c.oldcwd;
    Resolved r;
    if (!resolve_in(c, to, true, &r) || !file_is_dir(r.host.c_str())) return 1;
    c.oldcwd = c.cwd;
    c.cwd = r.board;
    return 0;
}

/* i2ctransfer [-f] [-y] BUS wN@ADDR BYTES... rN@ADDR ...: goes to the bus model. */
int do_i2ctransfer(Ctx& c, const Cmd& cmd)
{
    size_t i = 1;
    while (i < cmd.argv.size() && cmd.argv[i].text.size() > 1 && cmd.argv[i].text[0] == '-') i++;
    if (i >= cmd.argv.size()) return 1;
    std::string busw = cmd.argv[i++].text;
    if (busw.compare(0, 4, "i2c-") == 0) busw = busw.substr(4);
    long bus;
    if (!parse_long(busw, &bus) || bus < 0) return 1;
    std::vector<I2cMsg> msgs;
    int addr = -1;
    while (i < cmd.argv.size()) {
        const std::string& m = cmd.argv[i++].text;
        if (m.empty() || (m[0] != 'w' && m[0] != 'r')) return 1;
        size_t at = m.find('@');
        long len, a = addr;
        if (!parse_long(m.substr(1, at == std::string::npos ? std::string::npos : at - 1), &len) || len < 0 ||
            len > 8192)
            return 1;
        if (at != std::string::npos && !parse_long(m.substr(at + 1), &a)) return 1;
        if (a < 0 || a > 0x7F) return 1;
        addr = (int)a;
        I2cMsg msg;
        msg.addr = addr;
        msg.read = m[0] == 'r';
        if (msg.read) {
            msg.data.resize((size_t)len);
        } else {
            for (long k = 0; k < len; k++) {
                long v;
                if (i >= cmd.argv.size() || !parse_long(cmd.argv[i++].text, &v) || v < 0 || v > 255) return 1;
                msg.data.push_back((uint8_t)v);
            }
        }
        msgs.push_back(std::move(msg));
    }
    if (msgs.empty() || i2c_bus_transfer(c.b, (int)bus, msgs) != 0) return 1;
    std::string text;
    for (const auto& m : msgs) {
        if (!m.read) continue;
        for (uint8_t v : m.data) {
            char hex[8];
            snprintf(hex, sizeof(hex), "%s0x%02x", text.empty() ? "" : " ", v);
            text += hex;
        }
    }
    if (!text.empty()) text += '\n';
    return emit(c, cmd, text);
}

int run_cmd(Ctx& c, Cmd cmd)
{
    while (!cmd.argv.empty() && cmd.argv[0].text == "sudo") cmd.argv.erase(cmd.argv.begin());
    if (cmd.argv.empty()) {
        note(c, SIM_SHELL_REFUSED);
        return kRefused;
    }
    std::string name = base_name(cmd.argv[0].text);
    int rc = -1;
    if (name == "echo") rc = do_echo(c, cmd);
    else if (name == "cat") rc = do_cat(c, cmd);
    else if (name == "dd") rc = do_dd(c, cmd);
    else if (name == "rm") rc = do_rm(c, cmd);
    else if (name == "cp") rc = do_cp(c, cmd);
    else if (name == "cd") rc = do_cd(c, cmd);
    else if (name == "zip") rc = do_zip(c, cmd);
    else if (name == "unzip") rc = do_unzip(c, cmd);
    else if (name == "true") rc = 0;
    else if (const char* ev = event_of(name)) {
        note(c, SIM_SHELL_EVENT, ev);
        return name == "i2ctransfer" ? do_i2ctransfer(c, cmd) : 0;
    }
    if (rc < 0) {
        note(c, SIM_SHELL_REFUSED);
        return kRefused;
    }
    bool archive = name == "zip" || name == "unzip";
    note(c, rc == 0 ? SIM_SHELL_APPLIED : SIM_SHELL_FAILED, archive ? "archive" : nullptr);
    return rc;
}

int run_pipeline(Ctx& c, const std::vector<Cmd>& pl)
{
    if (pl.size() == 1) return run_cmd(c, pl[0]);
    // A pipeline is only ever a board action feeding a filter (dmesg | grep):
    // recorded, with nothing to show.
    std::string name = pl[0].argv.empty() ? "" : base_name(pl[0].argv[0].text);
    if (name == "sudo" && pl[0].argv.size() > 1) name = base_name(pl[0].argv[1].text);
    if (const char* ev = event_of(name)) {
        note(c, SIM_SHELL_EVENT, ev);
        return 0;
    }
    note(c, SIM_SHELL_REFUSED);
    return kRefused;
}

} // namespace

int shell_run(Board* b, const char* cmd, std::string* out)
{
    Ctx c;
    c.b = b;
    c.out = out;
    int status;
    if (int err = take_fault(b, "", SIM_REQ_SHELL)) {
        (void)err;
        journal_add(b, SIM_SHELL_FAILED, "", 1 << 8, cmd);
        return 1 << 8;
    }
    std::vector<Item> items;
    if (!parse(cmd, &items)) {
        status = kRefused;
        c.kind = SIM_SHELL_REFUSED;
    } else {
        status = 0;
        std::string prev;
        for (const auto& it : items) {
            if ((prev == "&&" && status != 0) || (prev == "||" && status == 0)) {
                prev = it.op;
                continue;
            }
            status = run_pipeline(c, it.pipeline);
            prev = it.op;
        }
    }
    int wait_status = (status & 0xFF) << 8;
    journal_add(b, c.kind, c.event.c_str(), wait_status, cmd);
    return wait_status;
}

} // namespace sim
