// Feeds arbitrary datagrams to the GVCP request handler as they would come
// from one of three hosts on loopback. The register space and the bootstrap
// block are loaded on a simulated board under /tmp; answers go to a sink.
// Register writes that start device actions (reboot, upgrade, factory
// reset, restart, stream start, saves, parameter groups) are answered as
// not implemented so the run stays a parse of requests; everything else
// reaches the register space as a host's write would.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "main/main.h"
#include "platform.h"
#include "simboard.h"
#include "worker.h"

namespace {

deviceCFG s_cfg;
deviceRegMemAddr s_run;
size_t s_sent;

int sink(iodev_t*, const void* buf, int len)
{
    if (buf && len > 0) s_sent += (size_t)len;
    return len;
}

int guarded_write(uint32_t address, uint32_t* value)
{
    switch (address) {
    case 0x10000000:  // stream start and stop
    case 0x10000008:  // reboot
    case 0x1000000C:  // upgrade
    case 0x10000010:  // factory reset
    case 0x10000014:  // saves
    case 0x10000018:
    case 0x10000040:
    case 0x10000068:  // work mode: stream start and stop
    case 0x10000094:  // parameter groups
    case 0x100000F0:  // process restart
        return REG_NOT_IMPLEMENTED;
    default:
        return Custom_RegWrite(address, value);
    }
}

iodev_t* channel()
{
    static iodev_t* dev = [] {
        static char root[] = "/tmp/korvid-fuzz-gvcp-XXXXXX";
        if (!mkdtemp(root) || plat_board_open(root, "rk3588-gpixel") != 0) abort();
        atexit([] {
            // A forced address starts the network task, which journals its
            // commands on the board: let it finish before the board goes.
            for (int i = 0; i < 2000 && gpcore && epcore_worker_find(gpcore, E_WORKER_ID_IP); i++) usleep(5000);
            plat_board_close();
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        });
        // Saves are skipped for want of space: the run writes no block files.
        sim_set_free_space("/userdata", 0);
        g_dev_cfg = &s_cfg;
        g_regMemAddr = &s_run;
        epcore_t* core = epcore_new(65536, 1);
        gpcore = core;
        if (Bootstrap_RegInit() != 0) abort();
        GVCP_SetEndpoints("127.0.0.1", 0, "127.0.0.1");
        GVCPPrivData* priv = GVCP_PrivNew();
        iodev_t* d = iodev_new(core);
        if (!priv || !d) abort();
        priv->send_to = sink;
        priv->write_reg = guarded_write;
        d->id = E_DEVICE_GVCP;
        d->priv_data = priv;
        if (epcore_iodev_add(core, d) != 0) abort();
        strcpy(d->remote_ip, "127.0.0.1");
        return d;
    }();
    return dev;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    iodev_t* dev = channel();
    if (size >= GVCP_BUF_SIZE) return 0;  // the task receives at most 4095 bytes
    // One of three hosts, so per-host state (repeats, control) is reached.
    strcpy(dev->remote_ip, "127.0.0.1");
    dev->remote_port = (uint16_t)(50000 + size % 3);
    GVCP_Decode(dev, data, (int)size);
    return 0;
}
