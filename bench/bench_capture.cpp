// ToF capture on the simulated rk3588-gpixel board with its sensor paced at
// 30 frames per second: the time from a frame becoming ready on the capture
// node to its hand-over at the depth intake worker (dequeue, per-frame
// sensor programming, copy into a pool frame, one-slot hand-over, requeue),
// and the heap allocations made on the capture thread per frame.
//
// Allocations are counted by wrapping malloc, calloc and realloc (which also
// serve operator new); the count includes what the simulated board itself
// allocates while it answers the capture's requests.
#include <benchmark/benchmark.h>

#include <ftw.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>

#include "bpool.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "main/main.h"
#include "platform.h"
#include "sensor/sensor_raw.h"
#include "sensor/v4l2_capture.h"
#include "simboard.h"
#include "worker.h"
#include "alloc_count.h"

namespace {

thread_local bool t_counting = false;

int64_t mono_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

} // namespace

bool alloc_counting() { return t_counting; }

namespace {

void BM_CaptureToHandover(benchmark::State& state)
{
    char root[] = "/tmp/korvid-bench-capture-XXXXXX";
    if (!mkdtemp(root) || plat_board_open(root, "rk3588-gpixel") != 0) {
        state.SkipWithError("no simulated board");
        return;
    }
    static deviceCFG cfg{};
    static deviceRegMemAddr run{};
    cfg = deviceCFG{};
    run = deviceRegMemAddr{};
    g_dev_cfg = &cfg;
    g_regMemAddr = &run;
    cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType = E_GPIXEL_0503;
    cfg.sensor[DEV_CFG_SENSOR_TOF].info.nInteA = 400;
    cfg.sensor[DEV_CFG_SENSOR_TOF].info.nPulseH = 100;
    epcore_t* core = epcore_new(65536, 1);
    gpcore = core;
    core->raw = bpool_init(nullptr);
    bpool_set_unitsize(core->raw, (int)sizeof(ImageInfo) + 1920 * 1440 * 2);
    bpool_set_allocnum(core->raw, 4);
    worker_t* algo = worker_new(core);
    algo->workerid = algo->threadid = E_WORKER_ID_ALGO;
    worker_thread_add(core, algo);

    iodev_t* dev = nullptr;
    sim_camera_set_mode("/dev/video4", SIM_CAMERA_PACED);
    if (sensor_tof_init(core, E_DEVICE_TOF, &dev) != 0 || sensor_tof_start_capturing(dev) != 0) {
        state.SkipWithError("sensor set-up failed");
        return;
    }
    // Run control on, as the driver's start sequence leaves it: the sensor
    // takes no frame before.
    sim_sensor_set_reg("m01_b_Gpixel0503 5-0010", 0, 1);
    core->streamon = 1;
    g_lost_raw = 1;
    unsigned long frames = 0, allocs = 0, allocating = 0;
    for (auto _ : state) {
        pollfd p{dev->fd, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) {
            state.SkipWithError("no frame within a second");
            break;
        }
        int64_t ready = mono_ns();
        unsigned long before = g_allocs.load();
        t_counting = true;
        sensor_capture_raw(core, dev, EVT_READ, dev->fdtype);
        t_counting = false;
        int64_t done = mono_ns();
        unsigned long made = g_allocs.load() - before;
        allocs += made;
        allocating += made != 0;
        ImageInfo* img = frame_take(algo);
        if (img) {
            frames++;
            free_image(core, img);
        }
        state.SetIterationTime((double)(done - ready) / 1e9);
    }
    state.counters["frames"] = (double)frames;
    // Frames on which anything was allocated (the once-a-second rate log).
    state.counters["allocating_frames"] = (double)allocating;
    state.counters["allocs_per_frame"] = frames ? (double)allocs / (double)frames : 0;
    sensor_tof_stop_capturing(dev);
    sensor_uninit(dev);
    g_ctrlFd = -1;
    worker_thread_del(core, algo);
    worker_free(algo);
    bpool_clean(core->raw);
    core->raw = nullptr;
    gpcore = nullptr;
    epcore_clean(core);
    g_dev_cfg = nullptr;
    g_regMemAddr = nullptr;
    plat_board_close();
    nftw(root, [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

BENCHMARK(BM_CaptureToHandover)->UseManualTime()->Iterations(150)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
