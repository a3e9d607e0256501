// Fuzz target for the UDP command port: the input is one datagram as the
// receiver takes it (at most 1023 bytes), handled first on an RK3568 board
// with the IMX570 ToF sensor (zone held and saved in the register space,
// saves written to the simulated board's /userdata) and then on an RK3588
// board (zone handed to the avoidance application). The receiver's clock
// moves 100 ms per input, so some saves pass the throttle and some do not;
// save acknowledgements are queued to a stand-in sender and released.
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "algo/algo_server.h"
#include "bpool.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "main/main.h"
#include "platform.h"
#include "server/udp_server.h"
#include "simboard.h"
#include "worker.h"

namespace {

uint32 s_now = 0;
uint32 fuzz_now() { return s_now; }

struct Board {
    std::string root;
    deviceCFG cfg{};
    deviceRegMemAddr run{};
    epcore_t* core = nullptr;
    worker_t* sender = nullptr;
    UdpCmdState state{};

    Board()
    {
        char tmpl[] = "/tmp/korvid-fuzz-udp-XXXXXX";
        if (!mkdtemp(tmpl) || plat_board_open(tmpl, "rk3568-imx570") != 0) abort();
        root = tmpl;
        sim_set_free_space("/userdata", 1ull << 30);
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
        core = epcore_new(65536, 1);
        core->applation_algo_result = bpool_init(nullptr);
        bpool_set_unitsize(core->applation_algo_result, (int)sizeof(ImageInfo) + 100);
        bpool_set_allocnum(core->applation_algo_result, 4);
        gpcore = core;
        sender = worker_new(core);
        sender->workerid = sender->threadid = E_WORKER_ID_UDP_SEND;
        worker_set_datafree(sender, frame_datafree);
        worker_thread_add(core, sender);
        udp_server_set_clock(fuzz_now);
    }
    ~Board()
    {
        udp_server_set_clock(nullptr);
        worker_thread_del(core, sender);
        worker_free(sender);
        bpool_clean(core->applation_algo_result);
        core->applation_algo_result = nullptr;
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
    // What the sender would take and release.
    void drain()
    {
        while (ImageInfo* img = frame_take(sender)) free_image(core, img);
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
    // The receiver's buffer: 1023 bytes at most, zero past the datagram.
    int len = size > 1023 ? 1023 : (int)size;
    s_now += 100;
    b.board_is(E_CPU_RK3568, E_IMX570);
    udp_server_handle(b.core, &b.state, data, len);
    b.drain();
    b.board_is(E_CPU_RK3588, E_IMX570);
    udp_server_handle(b.core, &b.state, data, len);
    b.drain();
    return 0;
}
