/* Loopback request/response load against two servers with the same shape:
 * two event threads, each with its own SO_REUSEPORT listening socket,
 * answering every 64-byte request with 64 bytes. One is built on korvid's
 * pumps, the other on libevent. The same client (100 connections, one
 * request in flight on each) drives both in turns, and the figures and
 * their ratio are printed at the end. */
#include <errno.h>
#include <event2/event.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/pumptest.h"
#include "epcore.h"
#include "eptcp.h"
#include "iodev.h"

namespace {

constexpr int kConnections = 100;
constexpr int kRequestSize = 64;
constexpr int kServerThreads = 2;
constexpr int kClientThreads = 2;
constexpr int kRounds = 5;
constexpr auto kWarmup = std::chrono::milliseconds(500);
constexpr auto kMeasure = std::chrono::seconds(3);

void set_nodelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

/* Reads what waits and answers each request: 0 to keep going, -1 closed. */
int serve(int fd)
{
    char buf[16 * kRequestSize];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            ssize_t off = 0;
            while (off < n) {
                ssize_t w = send(fd, buf + off, (size_t)(n - off), MSG_NOSIGNAL);
                if (w <= 0) return -1;
                off += w;
            }
            continue;
        }
        if (n == 0) return -1;
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
}

/* ---- korvid server ---- */

struct KorvidServer {
    epcore_t* core = nullptr;
};

int korvid_cb(void* cbpara, void* obj, int event, int)
{
    auto* s = static_cast<KorvidServer*>(cbpara);
    auto* dev = static_cast<iodev_t*>(obj);
    if (event == EVT_ACCEPT) {
        int r;
        while (iodev_t* c = eptcp_accept(s->core, dev, nullptr, &r, korvid_cb, s, BIND_SELECT))
            set_nodelay(iodev_fd(c));
    } else if (event == EVT_READ) {
        if (serve(iodev_fd(dev)) < 0) iodev_close(dev);
    }
    return 0;
}

struct Korvid {
    KorvidServer srv;
    /* Listens on a port of the kernel's choosing; returns it. */
    int start()
    {
        srv.core = epcore_new(65536, 1);
        mlisten_t* ml = eptcp_mlisten(srv.core, "127.0.0.1", 0, nullptr, korvid_cb, &srv);
        epcore_start_evpump(srv.core, kServerThreads);
        pumptest::wait_until([&] { return mlisten_port(ml) != 0; });
        return mlisten_port(ml);
    }
    void stop()
    {
        epcore_stop_evpump(srv.core);
        pumptest::threads_gone(srv.core);
        epcore_clean(srv.core);
    }
};

/* ---- libevent server ---- */

struct LeThread {
    event_base* base = nullptr;
    int lfd = -1;
    std::thread th;
};

void le_conn_cb(evutil_socket_t fd, short, void* arg)
{
    auto* ev = static_cast<event*>(arg);
    if (serve(fd) < 0) {
        event_free(ev);
        close(fd);
    }
}

void le_accept_cb(evutil_socket_t lfd, short, void* arg)
{
    auto* base = static_cast<event_base*>(arg);
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        set_nodelay(fd);
        event* ev = event_new(base, fd, EV_READ | EV_PERSIST, le_conn_cb, event_self_cbarg());
        event_add(ev, nullptr);
    }
}

struct Libevent {
    std::vector<LeThread*> threads;
    /* The first thread's socket takes a port of the kernel's choosing, the
     * others share it (SO_REUSEPORT); returns it. */
    int start()
    {
        int port = 0;
        for (int i = 0; i < kServerThreads; i++) {
            auto* t = new LeThread;
            t->base = event_base_new();
            t->lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(t->lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            setsockopt(t->lfd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons((uint16_t)port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(t->lfd, (sockaddr*)&a, sizeof a);
            socklen_t al = sizeof a;
            if (port == 0 && getsockname(t->lfd, (sockaddr*)&a, &al) == 0) port = ntohs(a.sin_port);
            listen(t->lfd, 511);
            event* lev = event_new(t->base, t->lfd, EV_READ | EV_PERSIST, le_accept_cb, t->base);
            event_add(lev, nullptr);
            t->th = std::thread([t] { event_base_loop(t->base, EVLOOP_NO_EXIT_ON_EMPTY); });
            threads.push_back(t);
        }
        return port;
    }
    void stop()
    {
        for (auto* t : threads) event_base_loopbreak(t->base);
        for (auto* t : threads) {
            t->th.join();
            close(t->lfd);
            event_base_free(t->base);
            delete t;
        }
        threads.clear();
    }
};

/* ---- client ---- */

struct Conn {
    int fd;
    int got;
};

struct ClientThread {
    std::vector<Conn> conns;
    std::atomic<uint64_t> done{0};
};

void client_loop(ClientThread* ct, std::atomic<bool>* stop)
{
    int ep = epoll_create1(0);
    char req[kRequestSize];
    memset(req, 'q', sizeof req);
    for (auto& c : ct->conns) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &c;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
        send(c.fd, req, sizeof req, MSG_NOSIGNAL);
    }
    epoll_event evs[128];
    char buf[kRequestSize];
    uint64_t done = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        int n = epoll_wait(ep, evs, 128, 100);
        for (int i = 0; i < n; i++) {
            auto* c = static_cast<Conn*>(evs[i].data.ptr);
            ssize_t r = recv(c->fd, buf, (size_t)(kRequestSize - c->got), MSG_DONTWAIT);
            if (r <= 0) continue;
            c->got += (int)r;
            if (c->got == kRequestSize) {
                c->got = 0;
                done++;
                send(c->fd, req, sizeof req, MSG_NOSIGNAL);
            }
        }
        ct->done.store(done, std::memory_order_relaxed);
    }
    close(ep);
}

uint64_t total_done(std::vector<ClientThread>& cts)
{
    uint64_t n = 0;
    for (auto& ct : cts) n += ct.done.load(std::memory_order_relaxed);
    return n;
}

/* Requests per second the server answered in the measuring window. */
double drive(int port)
{
    std::vector<ClientThread> cts(kClientThreads);
    for (int i = 0; i < kConnections; i++) {
        int fd = -1;
        for (int attempt = 0; attempt < 1000 && fd < 0; attempt++)
            if ((fd = pumptest::tcp_client(port)) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fd < 0) {
            fprintf(stderr, "cannot connect to port %d\n", port);
            return 0;
        }
        set_nodelay(fd);
        cts[(size_t)(i % kClientThreads)].conns.push_back({fd, 0});
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> ths;
    for (auto& ct : cts) ths.emplace_back(client_loop, &ct, &stop);

    std::this_thread::sleep_for(kWarmup);
    uint64_t before = total_done(cts);
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kMeasure);
    uint64_t after = total_done(cts);
    auto t1 = std::chrono::steady_clock::now();
    stop = true;
    for (auto& th : ths) th.join();
    for (auto& ct : cts)
        for (auto& c : ct.conns) close(c.fd);
    return (double)(after - before) / std::chrono::duration<double>(t1 - t0).count();
}

/* One server started on a loopback port of its own, driven, and stopped. */
template <typename Server> double run_server()
{
    Server srv;
    int port = srv.start();
    double rate = drive(port);
    srv.stop();
    return rate;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

/* An argument "korvid" or "libevent" runs that server alone (profiling). */
int main(int argc, char** argv)
{
    evthread_use_pthreads();
    bool only_k = argc > 1 && strcmp(argv[1], "korvid") == 0;
    bool only_l = argc > 1 && strcmp(argv[1], "libevent") == 0;
    std::vector<double> korvid, libevent;
    for (int round = 0; round < kRounds; round++) {
        if (!only_l) korvid.push_back(run_server<Korvid>());
        if (!only_k) libevent.push_back(run_server<Libevent>());
        printf("round %d: korvid %.0f req/s, libevent %.0f req/s\n", round + 1,
               korvid.empty() ? 0.0 : korvid.back(), libevent.empty() ? 0.0 : libevent.back());
    }
    if (only_k || only_l) return 0;
    double k = median(korvid), l = median(libevent);
    printf("\n%d connections, %d-byte requests, %d server threads each (median of %d rounds)\n",
           kConnections, kRequestSize, kServerThreads, kRounds);
    printf("korvid pumps : %10.0f requests/s\n", k);
    printf("libevent     : %10.0f requests/s\n", l);
    printf("ratio korvid/libevent: %.3f\n", l > 0 ? k / l : 0.0);
    return 0;
}
