// Fuzz target for the application-algorithm settings: the input is a JSON
// text as a host hands it over. For each application-algorithm mode it is
// written as the settings and as a command through the memory window, the
// zone is selected as the UDP and Modbus commands do, and the settings are
// read back (compacted when long). Half the inputs run on a board that
// keeps the avoidance zone itself, where a settings write also saves it.
// Each input starts on a board in the same state.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "algo/algo_app.h"
#include "common/custom.h"
#include "fuzz/fuzzboard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzzboard::Device d;
    d.reset();
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++) sum = sum * 31 + data[i];
    if (sum & 1) {
        reg_store(d.run.cpuId, (uint32_t)E_CPU_RK3568);
        reg_store(d.cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType, (uint32_t)E_IMX570);
    }

    std::vector<uint8_t> text(data, data + size);
    text.push_back(0);
    std::vector<uint8_t> out(3072);  // the longest memory read a host makes
    for (uint32_t mode : {4u, 2u, 1u}) {
        reg_store(d.cfg.common.enableApplationAlgo, mode);
        std::vector<uint8_t> w(text);
        Custom_MemWrite(MEM_ADDR_APP_ALGO_PARAM, w.data(), (uint32_t)size);
        algo_avoid_set_zone_index2((int)(sum % 22));
        w = text;
        Custom_MemWrite(MEM_ADDR_APP_ALGO_COMMAND, w.data(), (uint32_t)size);
        Custom_MemRead(MEM_ADDR_APP_ALGO_PARAM, out.data(), (uint32_t)out.size());
        algo_avoid_get_zone_index2();
    }
    return 0;
}
