// Shared by the register-space tests: a simulated board, an event core that
// get_pcore() answers, a register block owned by the test, a capture of the
// main logger, sensor devices whose operations record their calls, and a
// clock the test drives.
#ifndef KORVID_TESTS_REGTEST_H
#define KORVID_TESTS_REGTEST_H

#include <mutex>
#include <string>
#include <vector>

#include "algo/algotest.h"
#include "common/custom.h"
#include "common/stream_ctrl.h"
#include "epcore.h"
#include "iodev.h"
#include "main/main.h"
#include "platform/boardroot.h"
#include "sensor/sensor.h"
#include "worker.h"

namespace regtest {

using algotest::LogCapture;
using pumptest::wait_until;

// Calls the fake sensor operations saw, as "op:device:value[:address]".
struct CallLog {
    std::mutex m;
    std::vector<std::string> calls;
    void add(const std::string& s)
    {
        std::lock_guard<std::mutex> l(m);
        calls.push_back(s);
    }
    bool has(const std::string& s)
    {
        std::lock_guard<std::mutex> l(m);
        for (auto& c : calls)
            if (c == s) return true;
        return false;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> l(m);
        return calls.size();
    }
};

inline CallLog& calls()
{
    static CallLog log;
    return log;
}

inline std::string dev_name(iodev_t* d) { return d && d->id == E_DEVICE_TOF ? "tof" : "rgb"; }
inline int op_set_fps(iodev_t* d, uint32_t v)
{
    calls().add("set_fps:" + dev_name(d) + ":" + std::to_string(v));
    return 0;
}
inline int op_other(iodev_t* d, uint32_t v, uint32_t a)
{
    calls().add("other:" + dev_name(d) + ":" + std::to_string(v) + ":" + std::to_string(a));
    return 0;
}
inline int op_vld(iodev_t* d, uint32_t v)
{
    calls().add("vld:" + dev_name(d) + ":" + std::to_string(v));
    return 0;
}
inline int op_bg_amp(iodev_t* d, uint32_t v)
{
    calls().add("bgamp:" + dev_name(d) + ":" + std::to_string(v));
    return 0;
}
inline int op_write_reg(iodev_t* d, uint32_t a, uint16_t v)
{
    calls().add("write_reg:" + dev_name(d) + ":" + std::to_string(a) + ":" + std::to_string(v));
    return 0;
}
inline int op_read_reg(iodev_t*, uint32_t a, uint16_t* v)
{
    *v = (uint16_t)(a + 1);
    return 0;
}

struct RegSpace {
    LogCapture log;
    BoardRoot board;
    epcore_t* core = epcore_new(65536, 1);
    deviceCFG cfg{};
    deviceRegMemAddr run{};
    V4L2SensorInfo tofOps{}, rgbOps{};
    std::vector<iodev_t*> devs;

    explicit RegSpace(const char* profile = "rk3588-gpixel") : board(profile)
    {
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
        gpcore = core;
        g_sdk_start_flags = 0;
        {
            std::lock_guard<std::mutex> l(calls().m);
            calls().calls.clear();
        }
        for (V4L2SensorInfo* ops : {&tofOps, &rgbOps}) {
            ops->set_fps = op_set_fps;
            ops->set_other_params = op_other;
            ops->vld_enable = op_vld;
            ops->set_background_amp = op_bg_amp;
            ops->write_reg = op_write_reg;
            ops->read_reg = op_read_reg;
        }
    }
    ~RegSpace()
    {
        // Workers started by register writes end by themselves or on quit.
        core->quit.store(1);
        wait_until([&] {
            EnterCriticalSection(&core->workerlistCS);
            int n = arr_num(core->worker_list);
            LeaveCriticalSection(&core->workerlistCS);
            return n == 0;
        });
        for (iodev_t* d : devs) {
            d->priv_data = nullptr;
            iodev_close(d);
        }
        gpcore = nullptr;
        epcore_clean(core);
        g_dev_cfg = nullptr;
        g_regMemAddr = nullptr;
    }
    RegSpace(const RegSpace&) = delete;
    RegSpace& operator=(const RegSpace&) = delete;

    iodev_t* add_device(uint64_t id, void* priv)
    {
        iodev_t* d = iodev_new(core);
        d->id = id;
        d->priv_data = priv;
        EXPECT_EQ(epcore_iodev_add(core, d), 0);
        devs.push_back(d);
        return d;
    }
    void add_sensors()
    {
        add_device(E_DEVICE_TOF, &tofOps);
        add_device(E_DEVICE_RGB, &rgbOps);
    }

    CommonCfg& common() { return cfg.common; }
    SensorInfo& tof() { return cfg.sensor[DEV_CFG_SENSOR_TOF].info; }
    SensorInfo& rgb() { return cfg.sensor[DEV_CFG_SENSOR_RGB].info; }

    uint32_t read(uint32_t address)
    {
        uint32_t v = 0xDEADBEEF;
        EXPECT_EQ(Custom_RegRead(address, &v), 0) << std::hex << address;
        return v;
    }
    int write(uint32_t address, uint32_t value)
    {
        uint32_t v = value;
        return Custom_RegWrite(address, &v);
    }
};

// An open (1) or a close (0) of the stream held at its start until the test
// lets it go, as a loaded board's waits for its capture workers; counts
// those begun and ended. Settles the stream as it goes.
struct ChangeHold {
    static inline std::atomic<bool> mayEnd{true};
    static inline std::atomic<int> begun{0};
    static inline std::atomic<bool> ended{false};
    static inline std::atomic<int> held{0};
    explicit ChangeHold(int opening = 0)
    {
        mayEnd = false;
        begun = 0;
        ended = false;
        held = opening;
        stream_ctrl_set_change_hook([](epcore_t*, int opening) {
            if (opening != held.load()) return;
            begun++;
            wait_until([] { return mayEnd.load(); });
            ended = true;
        });
    }
    ~ChangeHold()
    {
        release();
        stream_ctrl_settle();
        stream_ctrl_set_change_hook(nullptr);
    }
    static void release() { mayEnd = true; }
};

} // namespace regtest

#endif
