// Stream sender throughput: worker 511 streaming 640x480 16-bit depth frames
// and 1280x960 colour frames to 1, 2 and 4 loopback receivers, against three
// loops of the same packets on the benchmark's own thread (the ceilings):
// one sendto per packet, sendmmsg, and segmented sends (UDP_SEGMENT).
// Figures: packets/s, MB/s, CPU per frame of the sending thread, time from
// the frame's enqueue (or the loop's first send) to the last receiver's
// trailer, and, for the sender, heap allocations (whole process) and page
// faults (its thread) per frame after a warm-up.
//
// The four sides of each size and receiver count run one after another, so
// one run compares them under the same load; the table at the end gives the
// ratios (median of the repetitions, with their range). For a fair spread:
//   bench_gvsp --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/udp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
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
#include "main/main.h"
#include "memory.h"
#include "mthread.h"
#include "platform.h"
#include "worker.h"
#include "alloc_count.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {
std::atomic<bool> g_counting{false};
}  // namespace

bool alloc_counting() { return g_counting.load(std::memory_order_relaxed); }

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDepthBytes = 640 * 480 * 2;
constexpr uint32_t kColourBytes = 1280 * 960 * 3;
constexpr uint32_t kPacketSize = 1500;
constexpr uint32_t kCut = kPacketSize - 48;  // data bytes per payload packet
constexpr uint32_t kSeg = kCut + 20;         // payload datagram
constexpr int kWarmup = 16;                  // sender frames before counting
constexpr int kMaxRun = 64;

// Trailers seen by a benchmark's receivers; the benchmark thread sleeps on
// it until every receiver has the trailer it waits for.
struct Trailers {
    std::mutex m;
    std::condition_variable cv;
};

// A loopback receiver draining its socket on its own thread, as many
// datagrams per call as are waiting; it notes the block id of every trailer.
struct Receiver {
    Trailers& t;
    int fd = -1;
    uint16_t port = 0;
    std::atomic<uint64_t> lastTrailer{0};
    std::atomic<bool> stop{false};
    std::thread th;
    explicit Receiver(Trailers& trailers) : t(trailers)
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
        std::vector<uint8_t> room((size_t)kMaxRun * 2048);
        mmsghdr m[kMaxRun];
        iovec iov[kMaxRun];
        while (!stop) {
            pollfd pf{fd, POLLIN, 0};
            if (poll(&pf, 1, 20) != 1) continue;
            for (;;) {
                for (int i = 0; i < kMaxRun; i++) {
                    iov[i] = {room.data() + (size_t)i * 2048, 2048};
                    m[i] = {};
                    m[i].msg_hdr.msg_iov = &iov[i];
                    m[i].msg_hdr.msg_iovlen = 1;
                }
                int n = recvmmsg(fd, m, kMaxRun, MSG_DONTWAIT, nullptr);
                if (n <= 0) break;
                uint64_t last = 0;
                for (int i = 0; i < n; i++) {
                    const uint8_t* b = room.data() + (size_t)i * 2048;
                    if (m[i].msg_len >= 20 && b[4] == 0x82)
                        last = (uint64_t)ntohl(*(const uint32_t*)(b + 8)) << 32 | ntohl(*(const uint32_t*)(b + 12));
                }
                if (last) {
                    std::lock_guard<std::mutex> hold(t.m);
                    lastTrailer.store(last, std::memory_order_release);
                    t.cv.notify_all();
                }
            }
        }
    }
};

struct Receivers {
    Trailers t;
    std::vector<std::unique_ptr<Receiver>> rx;
    explicit Receivers(int n)
    {
        for (int i = 0; i < n; i++) rx.push_back(std::make_unique<Receiver>(t));
    }
    // Sleeps until every receiver has the trailer of `block`; false after 2 s.
    bool wait(uint64_t block)
    {
        std::unique_lock<std::mutex> hold(t.m);
        return t.cv.wait_for(hold, std::chrono::seconds(2), [&] {
            for (auto& r : rx)
                if (r->lastTrailer.load(std::memory_order_acquire) < block) return false;
            return true;
        });
    }
    std::vector<sockaddr_in> addresses() const
    {
        std::vector<sockaddr_in> to(rx.size());
        for (size_t i = 0; i < rx.size(); i++) {
            to[i] = {};
            to[i].sin_family = AF_INET;
            to[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to[i].sin_port = htons(rx[i]->port);
        }
        return to;
    }
};

// CPU time (ms) and minor page faults of the thread named "gvsp", from /proc.
struct ThreadUse {
    double cpuMs = 0;
    unsigned long minflt = 0;
};

ThreadUse sender_use()
{
    ThreadUse use;
    DIR* d = opendir("/proc/self/task");
    if (!d) return use;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char path[320], comm[32] = {};
        snprintf(path, sizeof(path), "/proc/self/task/%s/comm", e->d_name);
        if (FILE* f = fopen(path, "r")) {
            if (!fgets(comm, sizeof(comm), f)) comm[0] = 0;
            fclose(f);
        }
        if (strncmp(comm, "gvsp", 4) != 0) continue;
        snprintf(path, sizeof(path), "/proc/self/task/%s/schedstat", e->d_name);
        if (FILE* f = fopen(path, "r")) {
            unsigned long long ns = 0;
            if (fscanf(f, "%llu", &ns) == 1) use.cpuMs = (double)ns / 1e6;
            fclose(f);
        }
        snprintf(path, sizeof(path), "/proc/self/task/%s/stat", e->d_name);
        if (FILE* f = fopen(path, "r")) {
            char line[1024] = {};
            if (fgets(line, sizeof(line), f)) {
                // Fields after the name: state, ppid, pgrp, session, tty, tpgid, flags, minflt.
                if (const char* p = strrchr(line, ')'))
                    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %lu", &use.minflt) != 1) use.minflt = 0;
            }
            fclose(f);
        }
    }
    closedir(d);
    return use;
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

void set_users(epcore_t* core, const Receivers& rx)
{
    EnterCriticalSection(&core->userCS);
    while (void* u = lt_rm_head(core->user_info)) kfree(u);
    for (size_t i = 0; i < rx.rx.size(); i++) {
        auto* u = static_cast<UserInfo*>(kzalloc(sizeof(UserInfo)));
        snprintf(u->user_ip, sizeof(u->user_ip), "127.0.0.1");
        u->user_port = (uint16_t)(50000 + i);
        snprintf(u->dest_ip, sizeof(u->dest_ip), "127.0.0.1");
        u->dest_port = rx.rx[i]->port;
        lt_append(core->user_info, u);
    }
    LeaveCriticalSection(&core->userCS);
}

uint32_t frame_bytes(int kind) { return kind == 0 ? kDepthBytes : kColourBytes; }
uint32_t payload_packets(uint32_t bytes) { return (bytes + kCut - 1) / kCut; }
uint64_t packets_per_frame(uint32_t bytes) { return 2 + payload_packets(bytes); }

// Results of every run, for the closing table.
struct Result {
    double pps, cpuMs, latencyUs;
};
std::map<std::string, std::vector<Result>>& results()
{
    static std::map<std::string, std::vector<Result>> r;
    return r;
}

const char* side_name(int side)
{
    static const char* names[] = {"sendto", "sendmmsg", "segmented", "sender"};
    return names[side];
}

std::string key(int side, int kind, int receivers)
{
    return std::string(side_name(side)) + "/" + (kind == 0 ? "depth" : "colour") + "/" + std::to_string(receivers);
}

void report(benchmark::State& state, int side, int kind, size_t receivers, double cpuMs, double latencyUs,
            double lost, double seconds)
{
    const uint32_t bytes = frame_bytes(kind);
    const double frames = (double)state.iterations();
    const double pkts = frames * (double)packets_per_frame(bytes) * (double)receivers;
    state.SetBytesProcessed((int64_t)(frames * bytes * receivers));
    state.counters["packets/s"] = benchmark::Counter(pkts, benchmark::Counter::kIsRate);
    state.counters["latency_us"] = latencyUs / frames;
    state.counters["cpu_ms/frame"] = cpuMs / frames;
    state.counters["lost"] = lost;
    results()[key(side, kind, (int)receivers)].push_back({pkts / seconds, cpuMs / frames, latencyUs / frames});
}

// The block's headers, as the sender makes them.
struct Headers {
    gvsp::ImageLeaderPacket leader{};
    gvsp::ImageTrailPacket trail{};
    std::vector<gvsp::GVSPHeader> payload;
    Headers(uint64_t block, uint32_t bytes, int kind) : payload(payload_packets(bytes))
    {
        gvsp::put_header(leader.header, gvsp::DATA_LEADER_FORMAT, block, 0);
        leader.reserved1 = kind == 0 ? E_IMAGE_TYPE_DEPTH : E_IMAGE_TYPE_RGB;
        leader.payloadType.set(gvsp::GVSP_PAYLOAD_TYPE_IMAGE);
        leader.sizeX.set(kind == 0 ? 640 : 1280);
        leader.sizeY.set(kind == 0 ? 480 : 960);
        for (uint32_t i = 0; i < payload.size(); i++)
            gvsp::put_header(payload[i], gvsp::DATA_PAYLOAD_FORMAT, block, i + 1);
        gvsp::put_header(trail.header, gvsp::DATA_TRAILER_FORMAT, block, (uint32_t)payload.size() + 1);
        trail.payloadType.set(gvsp::GVSP_PAYLOAD_TYPE_IMAGE);
        trail.sizeY.set(kind == 0 ? 480 : 960);
    }
};

// ---- The ceilings: loops of the same packets on this thread ----

enum Side { kSendto, kMmsg, kSegmented, kSender };

// Payload packets as iovec pairs (header, slice of the data).
std::vector<iovec> payload_iov(Headers& h, std::vector<uint8_t>& data)
{
    std::vector<iovec> iov;
    for (uint32_t i = 0; i < h.payload.size(); i++) {
        uint32_t off = i * kCut;
        iov.push_back({&h.payload[i], sizeof(gvsp::GVSPHeader)});
        iov.push_back({data.data() + off, std::min<size_t>(kCut, data.size() - off)});
    }
    return iov;
}

void send_loop(int side, int fd, const std::vector<sockaddr_in>& to, uint64_t block, uint32_t bytes, int kind,
               std::vector<uint8_t>& data)
{
    Headers h(block, bytes, kind);
    for (auto& a : to) sendto(fd, &h.leader, sizeof(h.leader), 0, (sockaddr*)&a, sizeof(a));
    const uint32_t n = (uint32_t)h.payload.size();
    if (side == kSendto) {
        // As the sender did before runs: the packet built in a buffer, one call each.
        uint8_t buf[kPacketSize];
        for (uint32_t i = 0; i < n; i++) {
            uint32_t off = i * kCut, len = std::min(kCut, bytes - off);
            memcpy(buf, &h.payload[i], 20);
            memcpy(buf + 20, data.data() + off, len);
            for (auto& a : to) sendto(fd, buf, 20 + len, 0, (sockaddr*)&a, sizeof(a));
        }
    } else if (side == kMmsg) {
        // Every payload packet of the block in as few calls as the kernel takes.
        std::vector<iovec> iov = payload_iov(h, data);
        std::vector<mmsghdr> m(n);
        for (auto& a : to) {
            for (uint32_t i = 0; i < n; i++) {
                m[i] = {};
                m[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&a);
                m[i].msg_hdr.msg_namelen = sizeof(a);
                m[i].msg_hdr.msg_iov = &iov[2 * i];
                m[i].msg_hdr.msg_iovlen = 2;
            }
            for (uint32_t done = 0; done < n;) {
                int k = sendmmsg(fd, m.data() + done, std::min(n - done, 1024u), 0);
                done += k > 0 ? (uint32_t)k : 1;
            }
        }
    } else {
        std::vector<iovec> iov = payload_iov(h, data);
        const uint32_t per = std::min<uint32_t>(65507 / kSeg, 64);
        for (uint32_t i = 0; i < n; i += per) {
            uint32_t k = std::min(per, n - i);
            for (auto& a : to) {
                union {
                    char buf[CMSG_SPACE(sizeof(uint16_t))];
                    cmsghdr align;
                } ctl{};
                msghdr m{};
                m.msg_name = const_cast<sockaddr_in*>(&a);
                m.msg_namelen = sizeof(a);
                m.msg_iov = &iov[2 * i];
                m.msg_iovlen = 2 * k;
                m.msg_control = ctl.buf;
                m.msg_controllen = sizeof(ctl.buf);
                cmsghdr* c = CMSG_FIRSTHDR(&m);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                uint16_t seg = kSeg;
                memcpy(CMSG_DATA(c), &seg, sizeof(seg));
                sendmsg(fd, &m, 0);
            }
        }
    }
    for (auto& a : to) sendto(fd, &h.trail, sizeof(h.trail), 0, (sockaddr*)&a, sizeof(a));
}

void BM_Loop(benchmark::State& state, int side, int kind, int receivers)
{
    Receivers rx(receivers);
    const std::vector<sockaddr_in> to = rx.addresses();
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const uint32_t bytes = frame_bytes(kind);
    std::vector<uint8_t> data(bytes, 0x5A);
    uint64_t block = 0;
    double latencyUs = 0, cpu = 0, lost = 0;
    auto start = Clock::now();
    for (auto _ : state) {
        auto t0 = Clock::now();
        double c0 = thread_cpu_ms();
        send_loop(side, fd, to, ++block, bytes, kind, data);
        cpu += thread_cpu_ms() - c0;
        if (!rx.wait(block)) lost++;
        latencyUs += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    report(state, side, kind, rx.rx.size(), cpu, latencyUs, lost, seconds);
}

// ---- The sender ----

ImageInfo* make_frame(bpool_t* pool, int kind)
{
    auto* f = static_cast<ImageInfo*>(bpool_fetch(pool));
    memset(f, 0, sizeof(ImageInfo));
    f->memType = kind == 0 ? E_MEMTYPE_DEPTH : E_MEMTYPE_RGB;
    f->imageType = kind == 0 ? E_IMAGE_TYPE_DEPTH : E_IMAGE_TYPE_RGB;
    f->width = kind == 0 ? 640 : 1280;
    f->height = kind == 0 ? 480 : 960;
    f->imageSize = frame_bytes(kind);
    return f;
}

void BM_Sender(benchmark::State& state, int kind, int receivers)
{
    World& w = world();
    Receivers rx(receivers);
    set_users(w.core, rx);
    if (worker_create(w.core, E_WORKER_ID_GVSP, GVSP_Task) != 0) abort();
    worker_t* wk = nullptr;
    while (!(wk = epcore_worker_find(w.core, E_WORKER_ID_GVSP)) || !wk->pdev) std::this_thread::yield();

    bpool_t* pool = kind == 0 ? w.core->depth : w.core->rgb;
    uint64_t block = 0;
    // Queued as the producers queue: appended while the sender cannot end,
    // then the sender woken.
    auto queue = [&] {
        ImageInfo* f = make_frame(pool, kind);
        epcore_with_worker(w.core, E_WORKER_ID_GVSP, [&](worker_t* sender) {
            EnterCriticalSection(&sender->datalistCS);
            lt_append(sender->data_list, f);
            event_signal(sender->ioevent, 1);
            LeaveCriticalSection(&sender->datalistCS);
        });
        return ++block;
    };
    // The pool and the sender's tables reach their working size first.
    for (int i = 0; i < kWarmup; i++) rx.wait(queue());

    double latencyUs = 0, lost = 0;
    const ThreadUse use0 = sender_use();
    const unsigned long allocs0 = g_allocs.load();
    g_counting = true;
    auto start = Clock::now();
    for (auto _ : state) {
        auto t0 = Clock::now();
        if (!rx.wait(queue())) lost++;
        latencyUs += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    g_counting = false;
    const ThreadUse use = sender_use();
    const unsigned long allocs = g_allocs.load() - allocs0;
    worker_stop(wk);
    while (epcore_worker_find(w.core, E_WORKER_ID_GVSP)) std::this_thread::yield();

    const double frames = (double)state.iterations();
    state.counters["allocs/frame"] = (double)allocs / frames;
    state.counters["faults/frame"] = (double)(use.minflt - use0.minflt) / frames;
    report(state, kSender, kind, rx.rx.size(), use.cpuMs - use0.cpuMs, latencyUs, lost, seconds);
}

// ---- The closing table ----

struct Spread {
    double median = 0, lo = 0, hi = 0;
};

Spread spread(std::vector<double> v)
{
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

// Ratio of two sides, run by run (the i-th runs of both), so that a ratio
// compares runs made close together.
Spread ratio(const std::string& a, const std::string& b, double Result::*field)
{
    auto& ra = results()[a];
    auto& rb = results()[b];
    std::vector<double> v;
    for (size_t i = 0; i < std::min(ra.size(), rb.size()); i++) v.push_back(ra[i].*field / rb[i].*field);
    return spread(v);
}

void print_table()
{
    printf("\nratios (median [min-max] over %zu runs)\n", results()[key(kSender, 0, 1)].size());
    printf("%-10s %-3s %-22s %-22s %-22s %-22s %-22s\n", "size", "rx", "sender/sendto pps", "sender/segmented pps",
           "sendmmsg/sendto pps", "segmented/sendto pps", "sender/sendto cpu");
    for (int kind : {0, 1})
        for (int n : {1, 2, 4}) {
            auto show = [](Spread s) {
                char buf[32];
                snprintf(buf, sizeof(buf), "%.2f [%.2f-%.2f]", s.median, s.lo, s.hi);
                return std::string(buf);
            };
            printf("%-10s %-3d %-22s %-22s %-22s %-22s %-22s\n", kind == 0 ? "depth" : "colour", n,
                   show(ratio(key(kSender, kind, n), key(kSendto, kind, n), &Result::pps)).c_str(),
                   show(ratio(key(kSender, kind, n), key(kSegmented, kind, n), &Result::pps)).c_str(),
                   show(ratio(key(kMmsg, kind, n), key(kSendto, kind, n), &Result::pps)).c_str(),
                   show(ratio(key(kSegmented, kind, n), key(kSendto, kind, n), &Result::pps)).c_str(),
                   show(ratio(key(kSender, kind, n), key(kSendto, kind, n), &Result::cpuMs)).c_str());
        }
}

}  // namespace

int main(int argc, char** argv)
{
    // Every side of one size and receiver count next to each other; a fixed
    // frame count per run so that every run is one measurement.
    for (int kind : {0, 1})
        for (int n : {1, 2, 4}) {
            const int frames = kind == 0 ? 300 : 60;
            for (int side : {kSendto, kMmsg, kSegmented, kSender}) {
                std::string name = "BM_" + key(side, kind, n);
                auto* b = side == kSender
                              ? benchmark::RegisterBenchmark(name.c_str(), BM_Sender, kind, n)
                              : benchmark::RegisterBenchmark(name.c_str(), BM_Loop, side, kind, n);
                b->Iterations(frames)->UseRealTime()->Unit(benchmark::kMillisecond);
            }
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_table();
    return 0;
}
