/* File helpers shared by the tests: a private temporary directory removed
 * with everything in it, whole-file reads and writes, and an owned
 * descriptor closed at the end of its scope. A test file takes the names
 * it uses with using-declarations. */
#ifndef KORVID_TEST_TMPDIR_H
#define KORVID_TEST_TMPDIR_H

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace testfs {

struct TempDir {
    std::string path;
    explicit TempDir(const char* tag = "korvid")
    {
        std::string tmpl = std::string("/tmp/") + tag + "-XXXXXX";
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~TempDir()
    {
        if (path.empty()) return;
        nftw(path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

/* The whole file, or "<missing>" when it cannot be opened. */
inline std::string read_file(const std::string& path)
{
    std::string s;
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) s.append(buf, n);
    fclose(fp);
    return s;
}

/* Writes the file whole; a failure is also reported as a test failure. */
inline bool write_file(const std::string& path, const std::string& data)
{
    FILE* fp = fopen(path.c_str(), "wb");
    bool ok = fp && fwrite(data.data(), 1, data.size(), fp) == data.size();
    if (fp && fclose(fp) != 0) ok = false;
    if (!ok) ADD_FAILURE() << "cannot write " << path;
    return ok;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0) close(fd);
        fd = f;
    }
    operator int() const { return fd; }
};

} // namespace testfs

#endif
