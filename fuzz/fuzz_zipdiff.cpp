// Differential fuzz target for the archive check and the board's unpacker:
// the input is an archive. Whatever the check accepts is read by the
// simulated board's unzip reader, whose every entry must then be safe (a
// relative name without "..", no link), and unpacked by the board's unzip
// command, after which nothing new may be outside the directory it was
// unpacked into, nor outside the board.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz/fuzzboard.h"
#include "platform.h"
#include "server/zipcheck.h"
#include "simzip.h"

namespace {

constexpr const char* kArchive = "/userdata/upload.zip";
constexpr const char* kInto = "/userdata/unpacked";

bool safe_name(const sim::ZipEntry& e)
{
    const std::string& n = e.name;
    if (e.is_link() || n.empty() || n.find('\0') != std::string::npos) return false;
    if (n[0] == '/' || n[0] == '\\' || (n.size() >= 2 && n[1] == ':')) return false;
    size_t start = 0;
    for (size_t i = 0; i <= n.size(); i++) {
        if (i == n.size() || n[i] == '/' || n[i] == '\\') {
            if (i - start == 2 && n.compare(start, 2, "..") == 0) return false;
            start = i + 1;
        }
    }
    return true;
}

fuzzboard::Board& board()
{
    static fuzzboard::Board b("rk3588-gpixel");
    static bool ready = [] {
        b.snapshot();
        return true;
    }();
    (void)ready;
    return b;
}

[[noreturn]] void broken(const char* what, const std::string& name)
{
    fprintf(stderr, "archive accepted by the check: %s: \"%s\"\n", what, name.c_str());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzboard::Board& b = board();
    if (zip_check_buffer(data, size) != ZIP_CHECK_OK) return 0;
    std::string archive(reinterpret_cast<const char*>(data), size);
    std::vector<sim::ZipEntry> entries;
    if (sim::zip_read(archive, &entries))
        for (const auto& e : entries)
            if (!safe_name(e)) broken("the unpacker reads an unsafe entry", e.name);

    b.restore();
    FILE* f = fopen(b.host(kArchive).c_str(), "wb");
    if (!f) abort();
    if (size) fwrite(data, 1, size, f);
    fclose(f);
    char cmd[128];
    snprintf(cmd, sizeof cmd, "unzip -o %s -d %s/", kArchive, kInto);
    plat_shell(cmd);
    if (!b.nothing_outside()) broken("something was written outside the board", "");
    const std::string into = std::string(kInto) + "/";
    for (const auto& p : b.new_paths())
        if (p != kArchive && p != kInto && p.compare(0, into.size(), into) != 0) broken("unpacked outside its directory", p);
    return 0;
}
