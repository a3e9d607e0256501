// A simulated board under a fresh temporary root, closed and removed at the end.
#ifndef KORVID_TESTS_BOARDROOT_H
#define KORVID_TESTS_BOARDROOT_H

#include "platform.h"
#include "simboard.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

inline int board_rm_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

inline void board_rm_tree(const std::string& dir)
{
    if (!dir.empty()) nftw(dir.c_str(), board_rm_entry, 16, FTW_DEPTH | FTW_PHYS);
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/korvid-board-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    ~TempDir() { board_rm_tree(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

struct BoardRoot {
    TempDir tmp;
    int     rc;
    explicit BoardRoot(const char* profile = "rk3588-gpixel") { rc = plat_board_open(tmp.path.c_str(), profile); }
    ~BoardRoot() { plat_board_close(); }
    BoardRoot(const BoardRoot&) = delete;
    BoardRoot& operator=(const BoardRoot&) = delete;

    // Host path of a board path, for checking what landed where.
    std::string host(const std::string& board_path) const { return std::string(plat_board_root()) + board_path; }
};

inline std::string read_host_file(const std::string& path)
{
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

inline bool write_host_file(const std::string& path, const std::string& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

#endif
