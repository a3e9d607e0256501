// Stream sender throughput: worker 511 streaming 640x480 16-bit depth frames
// and 1280x960 colour frames to 1, 2 and 4 loopback receivers, against a
// plain sendto loop of the same packets (the ceiling). Figures: packets/s,
// bytes/s, sender CPU per frame and enqueue-to-last-trailer latency.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "GigE/gvsp.h"
#include "GigE/gvsp_codec.h"
#include "bpool.h"
#include "common/custom.h"
#include "epcore.h"
#include "mthread.h"
#include "main/main.h"
#include "memory.h"
#include "platform.h"
#include "worker.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDepthBytes = 640 * 480 * 2;
constexpr uint32_t kColourBytes = 1280 * 960 * 3;
constexpr uint32_t kPacketSize = 1500;

// A loopback receiver draining its socket on its own thread; it notes the
// block id of every trailer it sees.
struct Receiver {
    int fd = -1;
    uint16_t port = 0;
    std::atomic<uint64_t> lastTrailer{0};
    std::atomic<bool> stop{false};
    std::thread th;
    Receiver()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 64 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr*)&a, sizeof(a));
        socklen_t l = sizeof(a);
        getsockname(fd, (sockaddr*)&a, &l);
        port = ntohs(a.sin_port);
        th = std::thread([this] { run(); });
    }
    ~Receiver()
    {
        stop = true;
        th.join();
        close(fd);
    }
    void run()
    {
        uint8_t buf[9000];
        while (!stop) {
            pollfd pf{fd, POLLIN, 0};
            if (poll(&pf, 1, 20) != 1) continue;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n >= 20 && buf[4] == 0x82) {
                uint64_t id = (uint64_t)ntohl(*(uint32_t*)(buf + 8)) << 32 | ntohl(*(uint32_t*)(buf + 12));
                lastTrailer.store(id, std::memory_order_release);
            }
        }
    }
};

bool wait_trailers(std::vector<std::unique_ptr<Receiver>>& rx, uint64_t block)
{
    auto end = Clock::now() + std::chrono::seconds(2);
    for (auto& r : rx)
        while (r->lastTrailer.load(std::memory_order_acquire) < block)
            if (Clock::now() > end) return false;
    return true;
}

// CPU time (ms) of the thread named "gvsp" so far, from /proc.
double sender_cpu_ms()
{
    DIR* d = opendir("/proc/self/task");
    if (!d) return 0;
    double ms = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        char comm[32] = {};
        if (FILE* f = fopen((base + "/comm").c_str(), "r")) {
            if (!fgets(comm, sizeof(comm), f)) comm[0] = 0;
            fclose(f);
        }
        if (strncmp(comm, "gvsp", 4) != 0) continue;
        // Nanoseconds on the CPU where the kernel keeps them; clock ticks else.
        if (FILE* f = fopen((base + "/schedstat").c_str(), "r")) {
            unsigned long long ns = 0;
            bool ok = fscanf(f, "%llu", &ns) == 1;
            fclose(f);
            if (ok) {
                ms = (double)ns / 1e6;
                continue;
            }
        }
        if (FILE* f = fopen((base + "/stat").c_str(), "r")) {
            char line[1024] = {};
            if (fgets(line, sizeof(line), f)) {
                const char* p = strrchr(line, ')');
                unsigned long ut = 0, st = 0;
                // Fields after the name: state, then 10 numbers before utime, stime.
                if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
                    ms = (double)(ut + st) * 1000.0 / (double)sysconf(_SC_CLK_TCK);
            }
            fclose(f);
        }
    }
    closedir(d);
    return ms;
}

double thread_cpu_ms()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1000.0 + (double)ts.tv_nsec / 1e6;
}

// The process-wide pieces the sender needs: a simulated board, the
// register space, the bootstrap block and frame pools.
struct World {
    std::string root;
    deviceCFG cfg{};
    deviceRegMemAddr run{};
    epcore_t* core = nullptr;
    World()
    {
        char tmpl[] = "/tmp/korvid-bench-gvsp-XXXXXX";
        if (!mkdtemp(tmpl) || plat_board_open(tmpl, "rk3588-gpixel") != 0) abort();
        root = tmpl;
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
        core = epcore_new(65536, 1);
        gpcore = core;
        if (Bootstrap_RegInit() != 0) abort();
        for (auto [pool, unit] : {std::pair{&core->depth, kDepthBytes}, std::pair{&core->rgb, kColourBytes}}) {
            *pool = bpool_init(nullptr);
            bpool_set_unitsize(*pool, (int)(sizeof(ImageInfo) + unit));
            bpool_set_allocnum(*pool, 4);
        }
        put(REG_CONTROL_CHANNEL_PRIVILEGE, 2);
        put(REG_STREAM_CHANNEL_DEST_ADDRESS, 0x7F000001);
        put(REG_STREAM_CHANNEL_PORT, 9);
        put(REG_STREAM_CHANNEL_SRC_PORT, 0);
    }
    // The sender is stopped after every run; the board root goes with the process.
    ~World()
    {
        plat_board_close();
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    static void put(uint32_t a, uint32_t v) { Bootstrap_WriteReg(a, &v, 4); }
};

World& world()
{
    static World w;
    return w;
}

void set_users(epcore_t* core, std::vector<std::unique_ptr<Receiver>>& rx)
{
    EnterCriticalSection(&core->userCS);
    while (void* u = lt_rm_head(core->user_info)) kfree(u);
    for (size_t i = 0; i < rx.size(); i++) {
        auto* u = static_cast<UserInfo*>(kzalloc(sizeof(UserInfo)));
        snprintf(u->user_ip, sizeof(u->user_ip), "127.0.0.1");
        u->user_port = (uint16_t)(50000 + i);
        snprintf(u->dest_ip, sizeof(u->dest_ip), "127.0.0.1");
        u->dest_port = rx[i]->port;
        lt_append(core->user_info, u);
    }
    LeaveCriticalSection(&core->userCS);
}

uint32_t frame_bytes(int kind) { return kind == 0 ? kDepthBytes : kColourBytes; }
uint64_t packets_per_frame(uint32_t bytes) { return 2 + (bytes + kPacketSize - 49) / (kPacketSize - 48); }

void BM_GvspSender(benchmark::State& state)
{
    World& w = world();
    const int kind = (int)state.range(0);
    std::vector<std::unique_ptr<Receiver>> rx;
    for (int i = 0; i < state.range(1); i++) rx.push_back(std::make_unique<Receiver>());
    set_users(w.core, rx);
    if (worker_create(w.core, E_WORKER_ID_GVSP, GVSP_Task) != 0) abort();
    worker_t* wk = nullptr;
    while (!(wk = epcore_worker_find(w.core, E_WORKER_ID_GVSP)) || !wk->pdev) std::this_thread::yield();

    const uint32_t bytes = frame_bytes(kind);
    bpool_t* pool = kind == 0 ? w.core->depth : w.core->rgb;
    uint64_t block = 0, lost = 0;
    double latencyUs = 0;
    double cpu0 = sender_cpu_ms();
    for (auto _ : state) {
        auto* f = static_cast<ImageInfo*>(bpool_fetch(pool));
        memset(f, 0, sizeof(ImageInfo));
        f->memType = kind == 0 ? E_MEMTYPE_DEPTH : E_MEMTYPE_RGB;
        f->imageType = kind == 0 ? E_IMAGE_TYPE_DEPTH : E_IMAGE_TYPE_RGB;
        f->width = kind == 0 ? 640 : 1280;
        f->height = kind == 0 ? 480 : 960;
        f->imageSize = bytes;
        auto t0 = Clock::now();
        // Queued as the producers queue: appended, then the sender woken.
        EnterCriticalSection(&wk->datalistCS);
        lt_append(wk->data_list, f);
        event_signal(wk->ioevent, 1);
        LeaveCriticalSection(&wk->datalistCS);
        block++;
        if (!wait_trailers(rx, block)) lost++;
        latencyUs += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    double cpu = sender_cpu_ms() - cpu0;
    worker_stop(wk);
    while (epcore_worker_find(w.core, E_WORKER_ID_GVSP)) std::this_thread::yield();

    const double frames = (double)state.iterations();
    const double pkts = frames * (double)packets_per_frame(bytes) * (double)rx.size();
    state.SetBytesProcessed((int64_t)(frames * bytes * rx.size()));
    state.counters["packets/s"] = benchmark::Counter(pkts, benchmark::Counter::kIsRate);
    state.counters["latency_us"] = latencyUs / frames;
    state.counters["cpu_ms/frame"] = cpu / frames;
    state.counters["lost"] = (double)lost;
}

// The same packets from a plain loop: one sendto per packet per receiver.
void BM_PlainSendto(benchmark::State& state)
{
    const int kind = (int)state.range(0);
    std::vector<std::unique_ptr<Receiver>> rx;
    for (int i = 0; i < state.range(1); i++) rx.push_back(std::make_unique<Receiver>());
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<sockaddr_in> to(rx.size());
    for (size_t i = 0; i < rx.size(); i++) {
        to[i].sin_family = AF_INET;
        to[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to[i].sin_port = htons(rx[i]->port);
    }
    const uint32_t bytes = frame_bytes(kind);
    std::vector<uint8_t> data(bytes, 0x5A);
    const uint32_t cut = kPacketSize - 48;
    uint8_t buf[kPacketSize];
    uint64_t block = 0, lost = 0;
    double latencyUs = 0;
    auto send_all = [&](const void* p, size_t n) {
        for (auto& a : to) sendto(fd, p, n, 0, (sockaddr*)&a, sizeof(a));
    };
    double cpu = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        double c0 = thread_cpu_ms();
        block++;
        gvsp::ImageLeaderPacket leader{};
        gvsp::put_header(leader.header, gvsp::DATA_LEADER_FORMAT, block, 0);
        send_all(&leader, sizeof(leader));
        uint32_t id = 0;
        for (uint32_t off = 0; off < bytes; off += cut) {
            uint32_t n = std::min(cut, bytes - off);
            gvsp::GVSPHeader h{};
            gvsp::put_header(h, gvsp::DATA_PAYLOAD_FORMAT, block, ++id);
            memcpy(buf, &h, sizeof(h));
            memcpy(buf + 20, data.data() + off, n);
            send_all(buf, 20 + n);
        }
        gvsp::ImageTrailPacket trail{};
        gvsp::put_header(trail.header, gvsp::DATA_TRAILER_FORMAT, block, id + 1);
        send_all(&trail, sizeof(trail));
        cpu += thread_cpu_ms() - c0;
        if (!wait_trailers(rx, block)) lost++;
        latencyUs += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    close(fd);
    const double frames = (double)state.iterations();
    state.SetBytesProcessed((int64_t)(frames * bytes * rx.size()));
    state.counters["packets/s"] =
        benchmark::Counter(frames * (double)packets_per_frame(bytes) * (double)rx.size(), benchmark::Counter::kIsRate);
    state.counters["latency_us"] = latencyUs / frames;
    state.counters["cpu_ms/frame"] = cpu / frames;
    state.counters["lost"] = (double)lost;
}

void args(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"colour", "receivers"});
    for (int kind : {0, 1})
        for (int n : {1, 2, 4}) b->Args({kind, n});
    b->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_GvspSender)->Apply(args);
BENCHMARK(BM_PlainSendto)->Apply(args);

}  // namespace

BENCHMARK_MAIN();
