// Shared by the capture tests: the simulated rk3588-gpixel board with its
// register space, an event core with frame pools, the ToF capture node in
// stepped mode, and helpers to open the Gpixel sensor and feed it frames.
#ifndef KORVID_TESTS_CAPTURERIG_H
#define KORVID_TESTS_CAPTURERIG_H

#include <dirent.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "GigE/gvcp.h"
#include "common/regtest.h"
#include "common/stream_ctrl.h"
#include "sensor/sensor_raw.h"
#include "sensor/v4l2_capture.h"
#include "platform/camera.h"
#include "simboard.h"

namespace capturerig {

using pumptest::wait_until;

constexpr const char* kVideo = "/dev/video4";
constexpr const char* kSensor = "m01_b_Gpixel0503 5-0010";
constexpr int kSingleBytes = 1920 * 1440 * 2;
constexpr int kExposureBytes = 1920 * 2880 * 2;

inline int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

// Workers registered with the core, task and stand-in alike.
inline int worker_count(epcore_t* core)
{
    EnterCriticalSection(&core->workerlistCS);
    int n = arr_num(core->worker_list);
    LeaveCriticalSection(&core->workerlistCS);
    return n;
}

// A registered worker with no thread: only its data list is used.
inline worker_t* stand_in(epcore_t* core, uint64_t id)
{
    worker_t* wk = worker_new(core);
    wk->workerid = wk->threadid = id;
    worker_set_datafree(wk, frame_datafree);
    worker_thread_add(core, wk);
    return wk;
}

// Frames waiting on a worker's data list.
inline int listed(worker_t* wk)
{
    EnterCriticalSection(&wk->datalistCS);
    int n = lt_num(wk->data_list);
    LeaveCriticalSection(&wk->datalistCS);
    return n;
}

struct Rig {
    regtest::RegSpace r;
    std::vector<worker_t*> fakes;
    iodev_t* dev = nullptr;
    int epfd = -1;

    // Raw units of `rawRoom` data bytes.
    explicit Rig(int rawRoom = kSingleBytes, int rawUnits = 3)
    {
        epcore_t* c = r.core;
        c->raw = algotest::make_pool((int)sizeof(ImageInfo) + rawRoom, rawUnits);
        c->rgb = algotest::make_pool((int)sizeof(ImageInfo) + 64, 2);
        c->depth = algotest::make_pool(algotest::FrameCore::kDepthUnit, 4);
        c->applation_algo = algotest::make_pool((int)sizeof(ImageInfo) + 64, 2);
        c->applation_algo_result = algotest::make_pool(204, 4);
        r.run.cpuId = E_CPU_RK3588;
        r.tof().sensorType = E_GPIXEL_0503;
        r.rgb().sensorType = E_SENSOR_NONE;
        g_permit_conn_user_count = 1;
        stream_ctrl_reset();
        sensor_tof_reset();
        g_lost_raw = 0;
        sim_camera_set_mode(kVideo, SIM_CAMERA_STEPPED);
    }
    ~Rig()
    {
        close_sensor();
        epcore_t* c = r.core;
        c->quit.store(1);
        // Task workers end on quit; stand-ins are taken out by hand.
        EXPECT_TRUE(wait_until([&] { return workers() == (int)fakes.size(); }));
        for (worker_t* wk : fakes) worker_thread_del(c, wk), worker_free(wk);
        for (bpool_t** p : pools()) bpool_clean(*p), *p = nullptr;
        stream_ctrl_reset();
        sim_faults_clear();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    std::vector<bpool_t**> pools()
    {
        epcore_t* c = r.core;
        return {&c->raw, &c->rgb, &c->depth, &c->applation_algo, &c->applation_algo_result};
    }
    int fetched()
    {
        int n = 0;
        for (bpool_t** p : pools()) n += bpool_fetched_num(*p);
        return n;
    }
    int workers() { return capturerig::worker_count(r.core); }
    worker_t* fake_worker(uint64_t id)
    {
        fakes.push_back(capturerig::stand_in(r.core, id));
        return fakes.back();
    }
    int listed(worker_t* wk) { return capturerig::listed(wk); }
    void drain(worker_t* wk)
    {
        while (ImageInfo* img = frame_take(wk)) free_image(r.core, img);
    }

    // Opens the sensor as the capture task does and starts streaming, the
    // sensor running as the task's start sequence leaves it.
    bool open_sensor()
    {
        if (sensor_tof_init(r.core, E_DEVICE_TOF, &dev) != 0) return false;
        run_tof_sensor();
        epfd = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        epoll_ctl(epfd, EPOLL_CTL_ADD, dev->fd, &ev);
        return sensor_start_capturing(dev) == 0;
    }
    void close_sensor()
    {
        if (epfd >= 0) close(epfd), epfd = -1;
        if (!dev) return;
        sensor_stop_capturing(dev);
        g_ctrlFd = -1;
        sensor_uninit(dev);
        dev = nullptr;
    }
    V4L2SensorInfo* info() { return static_cast<V4L2SensorInfo*>(dev->priv_data); }
    // One frame from the sensor, then the device's callback as the capture
    // loop would run it.
    int frame()
    {
        sim_camera_step(kVideo, 1);
        return dev->callback(r.core, dev, EVT_READ, dev->fdtype);
    }
    int dual_frame()
    {
        sim_camera_step(kVideo, 2);
        return dev->callback(r.core, dev, epfd, dev->fdtype);
    }

    unsigned sensor_reg(unsigned addr)
    {
        unsigned v = 0;
        sim_sensor_get_reg(kSensor, addr, &v);
        return v;
    }
    // Writes of sensor register `addr` since the log was last cleared.
    int writes_of(unsigned addr)
    {
        int n = 0;
        for (size_t i = 0, count = sim_sensor_log_count(kSensor); i < count; i++) {
            sim_sensor_write_t w;
            if (sim_sensor_log_get(kSensor, i, &w) == 0 && w.kind == SIM_SENSOR_REG && w.addr == addr) n++;
        }
        return n;
    }
    // Sensor register writes since the log was cleared, as "addr=value".
    std::vector<std::string> reg_writes()
    {
        std::vector<std::string> out;
        for (size_t i = 0, count = sim_sensor_log_count(kSensor); i < count; i++) {
            sim_sensor_write_t w;
            if (sim_sensor_log_get(kSensor, i, &w) == 0 && w.kind == SIM_SENSOR_REG)
                out.push_back(std::to_string(w.addr) + "=" + std::to_string(w.value));
        }
        return out;
    }
};

} // namespace capturerig

#endif
