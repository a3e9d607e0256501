// Network namespaces for the start-up tests: korvid listens on fixed ports
// (9900, 9999) on every address, so each run gets a namespace of its own
// with only its loopback up, and never meets another test or the host.
#ifndef KORVID_TESTS_MAIN_NETNS_H
#define KORVID_TESTS_MAIN_NETNS_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace netns {

// Brings "lo" up in the calling thread's namespace (async-signal-safe, so a
// child may call it between fork and exec). 0 or -1.
inline int loopback_up()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, "lo", 3);
    int rc = ioctl(s, SIOCGIFFLAGS, &ifr);
    if (rc == 0) {
        ifr.ifr_flags |= IFF_UP;
        rc = ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    close(s);
    return rc == 0 ? 0 : -1;
}

// The calling thread moves into a new namespace with its loopback up, and
// back when the scope ends. Threads it starts meanwhile stay in the new one.
struct Scope {
    int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    bool ok = home >= 0 && unshare(CLONE_NEWNET) == 0 && loopback_up() == 0;
    Scope() = default;
    ~Scope()
    {
        if (home >= 0) {
            if (setns(home, CLONE_NEWNET) != 0) ADD_FAILURE() << "network namespace not restored";
            close(home);
        }
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

// A socket of `type` made in the network namespace of process `pid` (it
// keeps that namespace for its life); -1 when it cannot be made.
inline int socket_in(pid_t pid, int type)
{
    int fd = -1;
    std::thread t([&] {
        std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
        int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) return;
        if (setns(ns, CLONE_NEWNET) == 0) fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        close(ns);
    });
    t.join();
    return fd;
}

inline int tcp_socket_in(pid_t pid) { return socket_in(pid, SOCK_STREAM); }

// Connects fd to 127.0.0.1:port of its namespace: 0 or -1.
inline int connect_loopback(int fd, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

} // namespace netns

#endif
