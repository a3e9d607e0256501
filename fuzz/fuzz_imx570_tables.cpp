// Fuzz target for the IMX570's table files and embedded rows: the input is
// cut at its first two NUL bytes into the frequency, clock and phase tables
// of a simulated board (files a host can upload), which are loaded and
// joined for a few frequency requests; the input's bytes also stand in for
// the embedded rows of a two-group buffer.
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/custom.h"
#include "platform.h"
#include "sensor/sensor_imx570.h"

namespace {

struct Board {
    std::string root;
    deviceCFG cfg{};
    deviceRegMemAddr run{};
    Board()
    {
        char tmpl[] = "/tmp/korvid-fuzz-imx570-XXXXXX";
        if (!mkdtemp(tmpl) || plat_board_open(tmpl, "rk3568-imx570") != 0) abort();
        root = tmpl;
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
        cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType = E_IMX570;
    }
    ~Board()
    {
        g_dev_cfg = nullptr;
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Board& b = board();
    const uint8_t* parts[3] = {data, data, data};
    size_t lens[3] = {0, 0, 0};
    size_t start = 0;
    int part = 0;
    for (size_t i = 0; i <= size && part < 3; i++) {
        if (i == size || (data[i] == 0 && part < 2)) {
            parts[part] = data + start;
            lens[part] = i - start;
            part++;
            start = i + 1;
        }
    }
    const bool three = size && (data[0] & 1);
    g_phaseOptions.store(three ? 1 : 0);
    b.put(three ? IMX570_FREQ_FILE_3PH : IMX570_FREQ_FILE_4PH, parts[0], lens[0]);
    b.put(IMX570_IMXCK_FILE, parts[1], lens[1]);
    b.put(three ? IMX570_PHASE_FILE_3PH : IMX570_PHASE_FILE_4PH, parts[2], lens[2]);
    frequencyAllInfoDeinit(getFrequencyAllInfo());
    if (getFrequencyAllInfo()) {
        static const uint32_t kModes[] = {0, 1, 2, 5};
        static const uint32_t kFreqs[][3] = {{150, 149, 148}, {100, 3, 50}, {3, 3, 3}, {120, 20, 48}, {2, 200, 0}};
        for (uint32_t mode : kModes) {
            b.cfg.sensor[DEV_CFG_SENSOR_TOF].info.freqMode = mode;
            for (const auto& f : kFreqs) {
                uint32_t list[3] = {f[0], f[1], f[2]};
                sensor_imx570_set_all_frequcncy(nullptr, list);
            }
        }
    }
    frequencyAllInfoDeinit(getFrequencyAllInfo());

    // Embedded rows: two groups of four 640 x 483 blocks, filled from the input.
    // Only the embedded rows are read: those of group 0's first block and
    // row 1 of group 1's first block.
    static std::vector<uint16_t> rows((size_t)8 * 640 * 483);
    if (size) {
        size_t k = 0;
        for (size_t block : {(size_t)0, (size_t)4})
            for (size_t i = (block * 483 + 480) * 640; i < (block * 483 + 483) * 640; i++, k++)
                rows[i] = (uint16_t)(data[k % size] | data[(k + 1) % size] << 8);
    }
    uint16_t out[3] = {(uint16_t)(size > 1 && data[1] == 11 ? 11 : 0), 0, 0};
    sensor_imx570_ebd_parse(rows.data() + 640 * 480, 4, out);
    return 0;
}
