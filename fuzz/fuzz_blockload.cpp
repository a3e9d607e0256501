// Fuzz target for the loading of the register block from the board's files:
// the input is the content of a damaged or hostile block file. Each input
// starts a camera twice on a board in the same state, once with the input
// as "/userdata/config.bin" and once, with no saved block, as the default
// block "/userdata/const/default_config.bin"; the second camera then loads
// parameter group 0 from the input as both of the group's files.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "algo/algo_server.h"
#include "algo/tavo_lib.h"
#include "common/custom.h"
#include "common/persist.h"
#include "fuzz/fuzzboard.h"

namespace {

fuzzboard::Board& board()
{
    static fuzzboard::Board b("rk3568-imx570");
    static bool ready = [] {
        // Group files the first start would make, so the loads below are
        // the ones under test; then the state every input starts from.
        sim_set_free_space("/userdata", 1ull << 30);
        sim_set_free_space("/", 1ull << 30);
        if (Custom_RegInit() != 0) abort();
        Custom_RegDeInit();
        unlink(b.host(CONFIG_FILE).c_str());
        b.snapshot();
        return true;
    }();
    (void)ready;
    return b;
}

void put(fuzzboard::Board& b, const char* path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(b.host(path).c_str(), "wb");
    if (!f) abort();
    if (size) fwrite(data, 1, size, f);
    fclose(f);
}

void fresh(fuzzboard::Board& b)
{
    b.restore();
    sim_set_free_space("/userdata", 1ull << 30);
    sim_set_free_space("/", 1ull << 30);
    algo_server_reset();
    tavolib_reset();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzboard::Board& b = board();

    fresh(b);
    put(b, CONFIG_FILE, data, size);
    if (Custom_RegInit() == 0) Custom_RegDeInit();

    fresh(b);
    put(b, DEFAULT_CONFIG_FILE, data, size);
    if (Custom_RegInit() == 0) {
        char path[64];
        snprintf(path, sizeof path, PARAM_GROUP_FILE, 0);
        put(b, path, data, size);
        snprintf(path, sizeof path, PARAM_FILTER_FILE, 0);
        put(b, path, data, size);
        Custom_ParamGroup(PARAM_GROUP_LOAD | 0);
        Custom_RegDeInit();
    }
    return 0;
}
