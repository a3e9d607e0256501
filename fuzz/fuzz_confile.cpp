// Feeds arbitrary bytes to the INI reader as a configuration file, then looks
// up, changes and writes back what it read.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "confile.h"

namespace {

// The file lives in memory and is reached by its descriptor's path, so a
// run leaves nothing behind, however it ends.
const std::string& scratch_file()
{
    static const std::string path = [] {
        int fd = memfd_create("fuzz_confile", MFD_CLOEXEC);
        if (fd < 0) abort();
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = scratch_file();
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) return 0;
    fwrite(data, 1, size, fp);
    fclose(fp);

    ConfMgmt* conf = conf_mgmt_init(path.c_str());
    if (!conf) return 0;
    // Probe the keys the device reads from its own files.
    static const char* const kSects[] = {nullptr, "eth0", "network", "logger", "camera"};
    static const char* const kKeys[] = {"ipaddress", "netmask", "gateway", "level", "mode"};
    for (const char* s : kSects) {
        for (const char* k : kKeys) {
            (void)conf_get_string(conf, s, k);
            (void)conf_get_int(conf, s, k);
            (void)conf_get_hexlong(conf, s, k);
            (void)conf_get_double(conf, s, k);
            (void)conf_set_string(conf, s, k, "10.0.0.1");
        }
    }
    (void)conf_mgmt_save(conf, path.c_str());
    conf_mgmt_cleanup(conf);
    return 0;
}
