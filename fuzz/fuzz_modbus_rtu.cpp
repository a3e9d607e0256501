// Fuzz target for the Modbus RTU slave: the input is one request frame as
// the line delivers it (slave address first, at most 256 bytes), handled
// with a pallet result record waiting in each application mode the reads
// serve and with none, on an RK3568 board with the IMX570 ToF sensor (zone
// held in the register space) and on an RK3588 board (zone handed to the
// avoidance application). Answers go to a sink that checks their length.
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "algo/algo_app.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "main/main.h"
#include "modbus/modbus_task.h"
#include "platform.h"
#include "simboard.h"

namespace {

struct Board {
    std::string root;
    deviceCFG cfg{};
    deviceRegMemAddr run{};
    epcore_t* core = nullptr;
    alignas(8) uint8_t record[sizeof(ImageInfo) + sizeof(RS485Info)] = {};

    Board()
    {
        char tmpl[] = "/tmp/korvid-fuzz-modbus-XXXXXX";
        if (!mkdtemp(tmpl) || plat_board_open(tmpl, "rk3568-imx570") != 0) abort();
        root = tmpl;
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
        core = epcore_new(65536, 1);
        gpcore = core;
        auto* img = reinterpret_cast<ImageInfo*>(record);
        img->imageSize = sizeof(RS485Info);
        RS485Info r{};
        r.result = 0x11223344;
        r.x = 1.5f;
        r.height = 700;
        memcpy(img->imageData, &r, sizeof(r));
    }
    ~Board()
    {
        gpcore = nullptr;
        epcore_clean(core);
        g_dev_cfg = nullptr;
        g_regMemAddr = nullptr;
        plat_board_close();
        nftw(root.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    void board_is(uint32 cpu, uint32 tofKind)
    {
        reg_store(run.cpuId, cpu);
        reg_store(cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType, tofKind);
    }
    ImageInfo* rec() { return reinterpret_cast<ImageInfo*>(record); }
};

Board& board()
{
    static Board b;
    return b;
}

int check_answer(void*, const uint8* answer, int length)
{
    // An answer and its CRC always fit one RTU frame.
    if (length < 3 || length > MODBUS_RTU_FRAME_MAX - 2 || answer[0] == 0) abort();
    return length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Board& b = board();
    if (size > MODBUS_RTU_FRAME_MAX) size = MODBUS_RTU_FRAME_MAX;
    const ModbusRtuSink sink{check_answer, nullptr};
    const uint32 boards[2][2] = {{E_CPU_RK3568, E_IMX570}, {E_CPU_RK3588, E_IMX570}};
    for (const auto& bd : boards) {
        b.board_is(bd[0], bd[1]);
        for (uint32 mode : {2u, 4u}) {
            reg_store(b.cfg.common.enableApplationAlgo, mode);
            modbus_rtu_handle(data, (int)size, b.rec(), &sink);
        }
        modbus_rtu_handle(data, (int)size, nullptr, &sink);
    }
    return 0;
}
