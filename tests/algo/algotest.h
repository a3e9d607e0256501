// Shared by the depth-processing, peripheral, IMU and CANopen tests: a core
// with the five frame pools, stand-in workers that only hold a data list,
// a register block owned by the test, and a capture of the main logger.
#ifndef KORVID_TESTS_ALGOTEST_H
#define KORVID_TESTS_ALGOTEST_H

#include <memory>
#include <string>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include "bpool.h"
#include "common/common.h"
#include "common/custom.h"
#include "base/pumptest.h"
#include "epcore.h"
#include "log/logger.h"
#include "worker.h"

namespace algotest {

using pumptest::wait_until;

// Routes g_logger to an in-memory sink; set it up before any worker starts.
struct LogCapture {
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink =
        std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096);
    std::shared_ptr<spdlog::logger> logger = std::make_shared<spdlog::logger>("capture", sink);
    LoggerPtr saved = g_logger;
    LogCapture()
    {
        logger->set_level(spdlog::level::trace);
        g_logger = logger.get();
    }
    ~LogCapture() { g_logger = saved; }
    bool has(const std::string& text)
    {
        for (const auto& line : sink->last_formatted())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    size_t count(const std::string& text)
    {
        size_t n = 0;
        for (const auto& line : sink->last_formatted()) n += line.find(text) != std::string::npos;
        return n;
    }
};

// A register block for the test; the globals point at it while it lives.
struct Registers {
    deviceCFG cfg{};
    deviceRegMemAddr run{};
    Registers()
    {
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
    }
    ~Registers()
    {
        g_dev_cfg = nullptr;
        g_regMemAddr = nullptr;
    }
    SensorInfo& tof() { return cfg.sensor[DEV_CFG_SENSOR_TOF].info; }
};

inline bpool_t* make_pool(int unitsize, int batch)
{
    bpool_t* p = bpool_init(nullptr);
    bpool_set_unitsize(p, unitsize);
    bpool_set_allocnum(p, batch);
    return p;
}

// A core with small frame pools. On teardown every task worker is asked to
// stop and awaited, stand-in workers are drained into their pools, and the
// pools and core are released.
struct FrameCore {
    static constexpr int kDepthUnit = (int)sizeof(ImageInfo) + 672 * 804 * 2;
    static constexpr int kRawUnit = (int)sizeof(ImageInfo) + 640 * 480 * 2 * 4;
    epcore_t* core = epcore_new(65536, 1);
    std::vector<worker_t*> fakes;
    std::vector<uint64_t> tasks;

    FrameCore()
    {
        core->raw = make_pool(kRawUnit, 2);
        core->rgb = make_pool((int)sizeof(ImageInfo) + 4096, 4);
        core->depth = make_pool(kDepthUnit, 4);
        core->applation_algo = make_pool((int)sizeof(ImageInfo) + 4096, 4);
        core->applation_algo_result = make_pool(204, 16);
    }
    ~FrameCore()
    {
        stop_tasks();
        for (worker_t* wk : fakes) {
            worker_thread_del(core, wk);
            worker_free(wk);
        }
        for (bpool_t* p : {core->raw, core->rgb, core->depth, core->applation_algo, core->applation_algo_result})
            bpool_clean(p);
        core->raw = core->rgb = core->depth = core->applation_algo = core->applation_algo_result = nullptr;
        epcore_clean(core);
    }

    // A registered worker with no thread: only its data list is used.
    worker_t* fake_worker(uint64_t id)
    {
        worker_t* wk = worker_new(core);
        wk->workerid = wk->threadid = id;
        worker_set_datafree(wk, frame_datafree);
        worker_thread_add(core, wk);
        fakes.push_back(wk);
        return wk;
    }
    void start(uint64_t id, void* (*fn)(void*))
    {
        worker_create(core, id, fn);
        tasks.push_back(id);
    }
    bool gone(uint64_t id) { return wait_until([&] { return epcore_worker_find(core, id) == nullptr; }); }
    void stop_tasks()
    {
        core->quit.store(1);
        for (uint64_t id : tasks) gone(id);
        // Tasks started by tasks.
        for (uint64_t id : {E_WORKER_ID_GVCP, E_WORKER_ID_ALGO2, E_WORKER_ID_RS485}) {
            bool fake = false;
            for (worker_t* wk : fakes) fake = fake || wk->workerid == id;
            if (!fake) gone(id);
        }
    }
    int listed(worker_t* wk)
    {
        EnterCriticalSection(&wk->datalistCS);
        int n = lt_num(wk->data_list);
        LeaveCriticalSection(&wk->datalistCS);
        return n;
    }
    // The frame at the head of the list, left there.
    ImageInfo* head(worker_t* wk)
    {
        EnterCriticalSection(&wk->datalistCS);
        auto* img = static_cast<ImageInfo*>(lt_first(wk->data_list));
        LeaveCriticalSection(&wk->datalistCS);
        return img;
    }
    ImageInfo* frame(bpool_t* pool, uint32 memType, uint32 imageType)
    {
        auto* img = static_cast<ImageInfo*>(bpool_fetch(pool));
        memset(img, 0, sizeof(ImageInfo));
        img->memType = memType;
        img->imageType = imageType;
        return img;
    }
    int fetched()
    {
        int n = 0;
        for (bpool_t* p : {core->raw, core->rgb, core->depth, core->applation_algo, core->applation_algo_result})
            n += bpool_fetched_num(p);
        return n;
    }
};

} // namespace algotest

#endif
