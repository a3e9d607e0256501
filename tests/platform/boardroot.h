// A simulated board under a fresh temporary root, closed and removed at the end.
#ifndef KORVID_TESTS_BOARDROOT_H
#define KORVID_TESTS_BOARDROOT_H

#include "platform.h"
#include "simboard.h"

#include <string>
#include <vector>

#include "base/tmpdir.h"

using testfs::TempDir;

struct BoardRoot {
    TempDir tmp{"korvid-board"};
    int     rc;
    explicit BoardRoot(const char* profile = "rk3588-gpixel") { rc = plat_board_open(tmp.path.c_str(), profile); }
    ~BoardRoot() { plat_board_close(); }
    BoardRoot(const BoardRoot&) = delete;
    BoardRoot& operator=(const BoardRoot&) = delete;

    // Host path of a board path, for checking what landed where.
    std::string host(const std::string& board_path) const { return std::string(plat_board_root()) + board_path; }
};

// The files renamed onto `target` since the record was cleared, as
// "synced" when the board saw the source synced before its rename and
// "unsynced" otherwise, in order.
inline std::vector<std::string> renames_onto(const std::string& target)
{
    std::vector<std::string> out;
    std::vector<std::string> synced;
    char line[1024];
    for (size_t i = 0; sim_fileop_get(i, line, sizeof(line)) == 0; i++) {
        std::string op(line);
        if (op.rfind("fsync ", 0) == 0) {
            synced.push_back(op.substr(6));
            continue;
        }
        if (op.rfind("rename ", 0) != 0) continue;
        size_t gap = op.find(' ', 7);
        std::string from = op.substr(7, gap - 7), to = op.substr(gap + 1);
        if (to != target) continue;
        bool was = false;
        for (const auto& s : synced) was = was || s == from;
        out.push_back(was ? "synced" : "unsynced");
    }
    return out;
}

inline std::string read_host_file(const std::string& path) { return testfs::read_file(path); }
inline bool write_host_file(const std::string& path, const std::string& data) { return testfs::write_file(path, data); }

#endif
