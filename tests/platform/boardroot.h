// A simulated board under a fresh temporary root, closed and removed at the end.
#ifndef KORVID_TESTS_BOARDROOT_H
#define KORVID_TESTS_BOARDROOT_H

#include "platform.h"
#include "simboard.h"

#include <string>

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

inline std::string read_host_file(const std::string& path) { return testfs::read_file(path); }
inline bool write_host_file(const std::string& path, const std::string& data) { return testfs::write_file(path, data); }

#endif
