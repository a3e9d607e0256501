/* Serial ports of the simulated board, reachable from outside the process.
 *
 * Each port the profile lists is two pseudo-terminals joined by a relay
 * thread: korvid's end is bound to the port's board path, the outside end is
 * published as a link "<root>/.board/<port name>" (and in a line on standard
 * error), so a tool such as mbpoll can talk to the board while korvid runs.
 * The relay holds both terminal ends open itself: a peer closing its end
 * never hangs the line up, and a peer may come and go. Bytes nobody reads
 * are dropped once the terminal's queue is full, as on a wire.
 *
 * The link belongs to the process that owns the board root: it is made only
 * when that process publishes (a second start on a live root never takes
 * the running one's line away), replacing a link a killed run left, and it
 * is removed by whoever made it while it still names that process's
 * terminal, on close or on the way out of a fatal signal. */
#include "siminternal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <system_error>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

namespace {

/* One pseudo-terminal: its master, which the relay reads and writes, and
 * its terminal end, which a peer opens by path. */
struct Pty {
    int         master = -1;
    int         held = -1; /* the terminal end, held open by the relay */
    std::string path;
};

bool pty_open(Pty* p)
{
    p->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (p->master < 0 || grantpt(p->master) != 0 || unlockpt(p->master) != 0) return false;
    char name[128];
    if (ptsname_r(p->master, name, sizeof(name)) != 0) return false;
    p->path = name;
    p->held = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (p->held < 0) return false;
    // Raw until a peer sets its own line: no echo, no line editing.
    struct termios t;
    if (tcgetattr(p->held, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(p->held, TCSANOW, &t) == 0;
}

void pty_close(Pty* p)
{
    if (p->held >= 0) close(p->held);
    if (p->master >= 0) close(p->master);
    p->held = p->master = -1;
}

/* Moves what one master has to the other; bytes the far side has no room
 * for are dropped. */
void carry(int from, int to)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(from, buf, sizeof(buf));
        if (n <= 0) return; // drained (EAGAIN), or EIO while no peer is there
        for (ssize_t off = 0; off < n;) {
            ssize_t w = write(to, buf + off, (size_t)(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            off += w;
        }
    }
}

} // namespace

struct SerialPort {
    std::string       board_path;
    std::string       link;  /* host path of its link, made when published */
    pid_t             owner; /* the process that made the link: a forked child leaves it */
    std::atomic<bool> published{false};
    Pty               inside, outside;
    int               stop = -1;
    std::thread       relay;

    ~SerialPort()
    {
        halt();
        withdraw();
        if (stop >= 0) close(stop);
        pty_close(&inside);
        pty_close(&outside);
    }

    bool start()
    {
        // The relay takes no signal: the process's own signal handling
        // (blocked signals read from a descriptor) must not lose one to it.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        bool started = true;
        try {
            relay = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            started = false;
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return started;
    }

    /* Async-signal-safe: no allocation, no lock. A link that names some
     * other terminal is not this process's to remove. */
    void withdraw()
    {
        if (getpid() != owner || !published.exchange(false)) return;
        char target[PATH_MAX];
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n < 0 || (size_t)n != outside.path.size() || memcmp(target, outside.path.data(), (size_t)n) != 0) return;
        unlink(link.c_str());
    }

    void halt()
    {
        if (!relay.joinable()) return;
        uint64_t v = 1;
        ssize_t n = write(stop, &v, sizeof(v));
        relay.join();
        n = read(stop, &v, sizeof(v)); // ready for the next start
        (void)n;
    }

    void run()
    {
        for (;;) {
            pollfd p[3] = {{inside.master, POLLIN, 0}, {outside.master, POLLIN, 0}, {stop, POLLIN, 0}};
            if (poll(p, 3, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[2].revents) return;
            // Both terminal ends are held, so a master never hangs up; an
            // error there ends the line rather than spinning on it.
            if ((p[0].revents | p[1].revents) & (POLLERR | POLLHUP | POLLNVAL)) return;
            if (p[0].revents & POLLIN) carry(inside.master, outside.master);
            if (p[1].revents & POLLIN) carry(outside.master, inside.master);
        }
    }
};

namespace {

/* Every port with a relay, in any board. A fork happens with no relay
 * running: a process forked with threads may not start any (and must not
 * inherit a relay's half-copied bytes); the parent's relays start again
 * after it, the child's ports stay silent. */
std::mutex              g_ports_mu;
std::vector<SerialPort*> g_ports;

void before_fork()
{
    g_ports_mu.lock();
    for (SerialPort* s : g_ports) s->halt();
}

void after_fork_parent()
{
    for (SerialPort* s : g_ports) s->start();
    g_ports_mu.unlock();
}

void after_fork_child()
{
    g_ports.clear();
    g_ports_mu.unlock();
}

} // namespace

void install_serial_ports(Board* b)
{
    static std::once_flag forks;
    std::call_once(forks, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    for (const auto& port : words(b->profile.serial_ports, " \t")) {
        Resolved r;
        if (resolve(b->root, port.c_str(), true, &r) != 0) continue;
        auto s = std::make_unique<SerialPort>();
        s->board_path = r.board;
        s->owner = getpid();
        s->stop = eventfd(0, EFD_CLOEXEC);
        if (s->stop < 0 || !pty_open(&s->inside) || !pty_open(&s->outside)) {
            fprintf(stderr, "board: serial port %s: no pseudo-terminal (%s)\n", port.c_str(), strerror(errno));
            continue;
        }
        s->link = b->root + "/.board/" + r.board.substr(r.board.rfind('/') + 1);
        {
            std::lock_guard<std::mutex> lk(g_ports_mu);
            if (!s->start()) {
                fprintf(stderr, "board: serial port %s: no relay thread\n", port.c_str());
                continue;
            }
            g_ports.push_back(s.get());
        }
        {
            std::lock_guard<std::mutex> lk(b->mu);
            b->bindings[r.board] = s->inside.path;
        }
        b->serial_ports.push_back(s.release());
    }
}

int publish_serial_ports(Board* b)
{
    int rc = 0;
    for (SerialPort* s : b->serial_ports) {
        if (s->published.load()) continue;
        // The owner of the root is the only live user of the link: whatever
        // is there was left by a run that is gone.
        unlink(s->link.c_str());
        if (symlink(s->outside.path.c_str(), s->link.c_str()) == 0) s->published.store(true);
        else if (!rc) rc = -errno;
        fprintf(stderr, "board: serial port %s is reached at %s (%s)\n", s->board_path.c_str(),
                s->outside.path.c_str(), s->published.load() ? s->link.c_str() : "no link");
    }
    if (rc) errno = -rc;
    return rc ? -1 : 0;
}

void withdraw_serial_ports(Board* b)
{
    for (SerialPort* s : b->serial_ports) s->withdraw();
}

void close_serial_ports(Board* b)
{
    {
        std::lock_guard<std::mutex> lk(g_ports_mu);
        for (SerialPort* s : b->serial_ports) std::erase(g_ports, s);
    }
    for (SerialPort* s : b->serial_ports) delete s;
    b->serial_ports.clear();
}

} // namespace sim
