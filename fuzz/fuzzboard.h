// A simulated board for fuzz targets whose inputs must each start from the
// same state, so that a finding replays alone. The board root sits a few
// levels down a sandbox directory of its own: whatever appears in the
// sandbox beside the path to the root was written outside the board. A
// snapshot of the root (and of the vendor-storage items) taken after set-up
// is put back before every input.
#ifndef KORVID_FUZZ_FUZZBOARD_H
#define KORVID_FUZZ_FUZZBOARD_H

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "algo/algo_server.h"
#include "algo/tavo_lib.h"
#include "common/common.h"
#include "common/custom.h"
#include "platform.h"
#include "simboard.h"

namespace fuzzboard {

namespace fs = std::filesystem;

class Board {
public:
    explicit Board(const char* profile)
    {
        char tmpl[] = "/tmp/korvid-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        sandbox_ = tmpl;
        root_ = sandbox_;
        for (const char* level : kLevels) {
            root_ = root_ + "/" + level;
            if (mkdir(root_.c_str(), 0755) != 0) abort();
        }
        if (plat_board_open(root_.c_str(), profile) != 0) abort();
    }
    ~Board()
    {
        plat_board_close();
        std::error_code ec;
        fs::remove_all(sandbox_, ec);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    const std::string& root() const { return root_; }
    std::string host(const std::string& boardPath) const { return root_ + boardPath; }

    // Takes the state restore() puts back: call once set-up is done.
    void snapshot()
    {
        files_.clear();
        walk(root_, [&](const std::string& path, const struct stat& st) {
            Entry e{st.st_mode, {}, st.st_ino, st.st_ctim};
            if (S_ISREG(st.st_mode)) e.data = read_all(path);
            else if (S_ISLNK(st.st_mode)) e.data = fs::read_symlink(path).string();
            files_[path] = e;
        });
        vendor_.clear();
        for (unsigned id : {PLAT_VENDOR_SERIAL, PLAT_VENDOR_BOARD_CODE, PLAT_VENDOR_MAC}) {
            std::string v(PLAT_VENDOR_DATA_MAX, '\0');
            int n = sim_vendor_get(id, v.data(), v.size());
            if (n >= 0) vendor_.push_back({id, v.substr(0, (size_t)n)});
        }
    }

    // Puts the root back as the snapshot found it, the board's own records
    // (journal, faults) emptied.
    void restore()
    {
        std::vector<std::string> extra;
        walk(root_, [&](const std::string& path, const struct stat& st) {
            auto it = files_.find(path);
            if (it == files_.end() || (it->second.mode & S_IFMT) != (st.st_mode & S_IFMT)) extra.push_back(path);
        });
        std::error_code ec;
        for (const auto& p : extra) fs::remove_all(p, ec);
        for (auto& [path, e] : files_) {
            struct stat st;
            bool present = lstat(path.c_str(), &st) == 0;
            if (S_ISDIR(e.mode)) {
                if (!present) mkdir(path.c_str(), e.mode & 07777);
                else if ((st.st_mode & 07777) != (e.mode & 07777)) chmod(path.c_str(), e.mode & 07777);
            } else if (S_ISLNK(e.mode)) {
                if (!present) symlink(e.data.c_str(), path.c_str());
            } else if (S_ISREG(e.mode)) {
                if (present && st.st_ino == e.ino && st.st_ctim.tv_sec == e.ctime.tv_sec &&
                    st.st_ctim.tv_nsec == e.ctime.tv_nsec)
                    continue;
                unlink(path.c_str());
                int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, e.mode & 07777);
                if (fd < 0) abort();
                if (!e.data.empty() && write(fd, e.data.data(), e.data.size()) != (ssize_t)e.data.size()) abort();
                fchmod(fd, e.mode & 07777);
                close(fd);
                if (lstat(path.c_str(), &st) == 0) e.ino = st.st_ino, e.ctime = st.st_ctim;
            }
        }
        for (const auto& [id, v] : vendor_) {
            std::string now(PLAT_VENDOR_DATA_MAX, '\0');
            int n = sim_vendor_get(id, now.data(), now.size());
            if (n < 0 || now.compare(0, (size_t)n, v) != 0 || (size_t)n != v.size()) sim_vendor_set(id, v.data(), v.size());
        }
        sim_journal_clear();
        sim_faults_clear();
    }

    // True while the sandbox holds nothing but the path down to the root.
    bool nothing_outside() const
    {
        std::string dir = sandbox_;
        for (const char* level : kLevels) {
            DIR* d = opendir(dir.c_str());
            if (!d) return false;
            bool clean = true;
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, level)) clean = false;
            closedir(d);
            if (!clean) return false;
            dir = dir + "/" + level;
        }
        return true;
    }

    // Board paths that the snapshot does not hold.
    std::vector<std::string> new_paths() const
    {
        std::vector<std::string> found;
        walk(root_, [&](const std::string& path, const struct stat&) {
            if (!files_.count(path)) found.push_back(path.substr(root_.size()));
        });
        return found;
    }

    // Files of the root named like a temporary file beside a target
    // ("<name>.XXXXXX"), other than those whose base name is in `named`.
    std::vector<std::string> temporary_files(const std::set<std::string>& named = {}) const
    {
        std::vector<std::string> found;
        walk(root_, [&](const std::string& path, const struct stat& st) {
            if (!S_ISREG(st.st_mode) || files_.count(path)) return;
            std::string board = path.substr(root_.size());
            if (named.count(path.substr(path.rfind('/') + 1))) return;
            // Saves write "<target>" SAVE_TMP_MARK "XXXXXX" and rename it over the target.
            size_t mark = path.rfind(SAVE_TMP_MARK);
            if (mark == std::string::npos || path.size() - mark != sizeof(SAVE_TMP_MARK) - 1 + 6 ||
                path.find('/', mark) != std::string::npos)
                return;
            for (size_t i = mark + sizeof(SAVE_TMP_MARK) - 1; i < path.size(); i++)
                if (!isalnum((unsigned char)path[i])) return;
            found.push_back(board);
        });
        return found;
    }

private:
    // Escapes of up to three ".." land in the sandbox.
    static constexpr const char* kLevels[] = {"a", "b", "c", "root"};

    struct Entry {
        mode_t mode;
        std::string data;  // a file's bytes, a link's target
        ino_t ino;
        struct timespec ctime;
    };

    template <typename F>
    void walk(const std::string& dir, F&& f) const
    {
        DIR* d = opendir(dir.c_str());
        if (!d) return;
        std::vector<std::string> names;
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
        for (const auto& n : names) {
            std::string path = dir + "/" + n;
            if (path == root_ + "/.board") continue;  // the board's own records
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) continue;
            f(path, st);
            if (S_ISDIR(st.st_mode)) walk(path, f);
        }
    }

public:
    // The whole of a host file, "" when it cannot be read.
    static std::string read_all(const std::string& path)
    {
        std::string out;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return out;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
        close(fd);
        return out;
    }

private:
    std::string sandbox_, root_;
    std::map<std::string, Entry> files_;
    std::vector<std::pair<unsigned, std::string>> vendor_;
};

// A board with an empty register block in force and the algorithm
// service's state, for targets that drive the register space; reset()
// starts each input from the same state.
struct Device {
    Board board;
    deviceCFG cfg{};
    deviceRegMemAddr run{};

    explicit Device(const char* profile = "rk3568-imx570") : board(profile)
    {
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
        board.snapshot();
    }
    ~Device()
    {
        g_dev_cfg = nullptr;
        g_regMemAddr = nullptr;
    }
    void reset()
    {
        board.restore();
        sim_set_free_space("/userdata", 1ull << 30);
        sim_set_free_space("/", 1ull << 30);
        memset(&cfg, 0, sizeof cfg);
        memset(&run, 0, sizeof run);
        algo_server_reset();
        tavolib_reset();
    }
};

} // namespace fuzzboard

#endif
