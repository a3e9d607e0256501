// The GVCP request handler of a simulated camera for the GVCP fuzz targets.
// The register space and the bootstrap block are loaded on a simulated
// board; answers are collected instead of sent. Register writes that start
// device actions (reboot, upgrade, factory reset, restart, stream start,
// saves, parameter groups) are answered as not implemented so a run stays a
// parse of requests; everything else reaches the register space as a
// host's write would. reset() puts everything a request can change back as
// it was, so every input starts from the same state.
#ifndef KORVID_FUZZ_GVCPFUZZ_H
#define KORVID_FUZZ_GVCPFUZZ_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "common/custom.h"
#include "epcore.h"
#include "fuzz/fuzzboard.h"
#include "iodev.h"
#include "main/main.h"
#include "worker.h"

namespace gvcpfuzz {

struct Answer {
    std::string to;  // address it went to
    uint16_t port;
    std::vector<uint8_t> bytes;
};

class Device {
public:
    Device() : regs_("rk3588-gpixel")
    {
        core_ = epcore_new(65536, 1);
        if (!core_) abort();
        gpcore = core_;
        GVCP_SetEndpoints("127.0.0.1", 0, "127.0.0.1");
        regs_.board.snapshot();
        self() = this;
    }
    ~Device()
    {
        settle();
        if (dev_) GVCP_IodevClose(dev_);
        Bootstrap_RegDeInit();
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // A fresh camera: board files, register block, bootstrap block, the
    // handler's per-host state and the connected hosts as after start-up.
    void reset()
    {
        settle();
        if (dev_) GVCP_IodevClose(dev_);
        dev_ = nullptr;
        regs_.reset();
        // Saves are skipped for want of space: the run writes no block files.
        sim_set_free_space("/userdata", 0);
        g_permit_conn_user_count.store(1);
        g_discover.store(0);
        g_flags.store(0);
        if (Bootstrap_RegInit() != 0) abort();
        GVCPPrivData* priv = GVCP_PrivNew();
        dev_ = iodev_new(core_);
        if (!priv || !dev_) abort();
        priv->send_to = sink;
        priv->write_reg = guarded_write;
        dev_->id = E_DEVICE_GVCP;
        dev_->priv_data = priv;
        if (epcore_iodev_add(core_, dev_) != 0) abort();
        answers.clear();
    }

    // One datagram from ip:port; its answers are appended to `answers`.
    int decode(const char* ip, uint16_t port, const uint8_t* data, size_t size)
    {
        snprintf(dev_->remote_ip, sizeof dev_->remote_ip, "%s", ip);
        dev_->remote_port = port;
        return GVCP_Decode(dev_, data, (int)size);
    }

    std::vector<Answer> answers;

private:
    static Device*& self()
    {
        static Device* d = nullptr;
        return d;
    }

    static int sink(iodev_t* dev, const void* buf, int len)
    {
        if (buf && len > 0) {
            const uint8_t* p = static_cast<const uint8_t*>(buf);
            self()->answers.push_back({dev->remote_ip, dev->remote_port, std::vector<uint8_t>(p, p + len)});
        }
        return len;
    }

    static int guarded_write(uint32_t address, uint32_t* value)
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

    // A forced address starts the network task, which journals its commands
    // on the board: let it finish before the board is put back.
    void settle()
    {
        for (int i = 0; i < 2000 && epcore_worker_find(core_, E_WORKER_ID_IP); i++) usleep(1000);
    }

    fuzzboard::Device regs_;
    epcore_t* core_ = nullptr;
    iodev_t* dev_ = nullptr;
};

} // namespace gvcpfuzz

#endif
