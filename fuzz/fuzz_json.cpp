// Fuzz target for the JSON readers: the input is installed as the capability,
// feature-capability and tuning files of a simulated board and run through
// the routines that rewrite and read them, then handed as text to the
// parameter compaction and the zone-index reader.
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "common/custom.h"
#include "common/json_parse.h"
#include "platform.h"
#include "simboard.h"

namespace {

struct Board {
    std::string root;
    deviceRegMemAddr run{};
    Board()
    {
        char tmpl[] = "/tmp/korvid-fuzz-json-XXXXXX";
        if (!mkdtemp(tmpl) || plat_board_open(tmpl, "rk3588-gpixel") != 0) abort();
        root = tmpl;
        mkdir((root + "/etc").c_str(), 0755);
        mkdir((root + "/etc/iqfiles").c_str(), 0755);
        sim_set_free_space("/", 101ull << 20);
        g_regMemAddr = &run;
    }
    ~Board()
    {
        g_regMemAddr = nullptr;
        plat_board_close();
        nftw(root.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    void put(const char* path, const uint8_t* data, size_t size)
    {
        FILE* f = fopen((root + path).c_str(), "wb");
        if (!f) abort();
        if (size) fwrite(data, 1, size, f);
        fclose(f);
    }
};

Board& board()
{
    static Board b;
    return b;
}

// Register values and sensor kinds the rules distinguish.
constexpr uint32_t kRgb[] = {0, 3, 7};
constexpr uint32_t kTof[] = {100, 200, 300, 0};
constexpr uint32_t kCam[] = {4, 5, 6, 22, 23, 1006, 1007, 2005, 6002};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Board& b = board();
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++) sum = sum * 31 + data[i];
    uint32_t rgb = kRgb[sum % 3], tof = kTof[(sum / 3) % 4], cam = kCam[(sum / 12) % 9];
    b.run.devBoardVersion = (sum >> 8) & 3;

    b.put("/etc/capability.json", data, size);
    modify_capability(rgb, tof, cam);
    b.put("/etc/feature_capability.json", data, size);
    modify_feature_capability(rgb, tof, cam);
    int value = 0;
    get_feature_capability("cmd_soft_trigger", &value);

    for (int cpu = 0; cpu < 2; cpu++) {
        b.put(cpu ? "/etc/iqfiles/sc230ai_CMK-OT1980-PX1_LS6116.json" : "/etc/iqfiles/sc230ai_CMK-OT1980-PX1_SHG102.json",
              data, size);
        uint32_t mode = 2;
        get_exporse_mode(&mode, cpu);
        modify_exporse_mode(sum & 1, cpu);
        get_exporse_mode(&mode, cpu);
    }

    std::string text(reinterpret_cast<const char*>(data), size);
    char out[JSON_FORMAT_MAX + 1];
    json_format(text.data(), out);
    int zone = 0;
    get_avoid_zone_index2(text.data(), &zone);
    return 0;
}
