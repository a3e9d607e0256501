/* Shared inside the simulated board: its state, path resolution inside the
 * root, and the entry points of the shell runner and the device models. */
#ifndef KORVID_SIMINTERNAL_H
#define KORVID_SIMINTERNAL_H

#include "backend.h"
#include "simboard.h"

#include <atomic>
#include <errno.h>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

struct I2cBus;
struct Vendor;
struct Cpld;
struct Watchdog;
struct SerialPort;

struct Device {
    std::string         path; /* board path */
    const sim_devops_t* ops = nullptr;
    void*               model = nullptr;
    dev_t               rdev = 0;
    bool                absent = false;
};

struct Fault {
    unsigned nth = 0;  /* the request that fails, counted from 1 */
    unsigned seen = 0;
    int      err = 0;
};

struct Board {
    std::string   root; /* canonical host directory, no trailing slash */
    sim_profile_t profile{};

    std::mutex mu; /* guards the members below */
    std::map<std::string, std::unique_ptr<Device>> devices;
    std::unordered_map<int, sim_node_t*>            nodes;
    std::map<std::pair<std::string, int>, Fault>     faults;
    std::map<std::string, uint64_t>                  free_space; /* mount -> bytes */
    std::map<int, int>                               gpio_inputs;
    std::map<std::string, std::string>               bindings; /* board path -> host path */
    int                                              link_speed = 0;
    unsigned                                         next_minor = 0;

    /* Built-in models (owned by their devices, released by ops->destroy). */
    std::map<int, I2cBus*> i2c;
    Vendor*                vendor = nullptr;
    Cpld*                  cpld = nullptr;
    Watchdog*              watchdog = nullptr;
    std::vector<SerialPort*> serial_ports;

    std::mutex               fmu; /* guards the file record */
    std::deque<std::string>  fileops;

    std::mutex                 jmu; /* guards the journal */
    std::condition_variable    jcv;
    std::vector<sim_journal_t> journal;  /* the newest entries, at most SIM_JOURNAL_KEPT */
    size_t                     jdropped = 0; /* older entries let go: indexes stay those since the clear */
    unsigned long              jseq = 0;
    std::string                journal_path;
};

/* The open board, NULL when none. Set before the backend is published and
 * cleared after it is withdrawn, so seam calls never see it change. */
Board* board();

struct Resolved {
    std::string board; /* normalised board path, "/..." */
    std::string host;  /* root + board */
};

/* Resolves a board path inside the root: "." and ".." are taken lexically
 * after every symbolic link met so far has been followed, absolute link
 * targets restart at the root, and ".." never climbs above it. A relative
 * path starts at `cwd`. `follow_last` false leaves a final link unresolved.
 * 0 or -errno (ENOENT for an empty path, ELOOP). */
int resolve(const std::string& root, const char* path, bool follow_last, Resolved* out,
            const char* cwd = "/");

/* As resolve() on the open board's root: true, or false with errno set. */
bool resolve_board(Board* b, const char* path, bool follow_last, Resolved* out);
/* True when a normalised board path is `dir` or lies below it. */
bool is_under(const std::string& board_path, const std::string& dir);

/* Creates a host directory and its parents: 0 or -errno. */
int make_dirs(const std::string& host_dir);
/* Writes a host file whole (aside, then renamed), its directories made: 0 or -errno. */
int write_file(const std::string& host, const void* data, size_t len, bool only_if_missing);

/* A whole number in C notation (0x.. hex, 0.. octal) and nothing else. */
bool parse_long(const std::string& s, long* v);
/* The words of a text, split at any of `seps`. */
std::vector<std::string> words(const char* s, const char* seps);
/* The file a profile argument names: a name is a file of the profile
 * folder, a path (with '/' or ".ini") the file itself. */
std::string profile_file(const char* name);
/* The names of the profile folder's profiles, sorted, comma-separated. */
std::string profile_names();

/* Fault bookkeeping: 0, or the errno the request must fail with. Takes mu. */
int take_fault(Board* b, const std::string& path, int kind);

/* Device registry (mu taken inside). */
int  device_add(Board* b, const char* path, const sim_devops_t* ops, void* model);
Device* device_find_locked(Board* b, const std::string& board_path);

/* The shell runner; returns the system(3)-style status. */
int shell_run(Board* b, const char* cmd, std::string* out);
void journal_add(Board* b, int kind, const char* event, int status, const char* cmd);

/* Built-in models, installed from the profile at start. */
void install_models(Board* b);
/* The profile's serial ports, each a pseudo-terminal pair with a relay;
 * closed (links removed, relays stopped) by close_serial_ports. The links
 * are made by publish_serial_ports, once the process owns the board root,
 * and removed by withdraw_serial_ports (async-signal-safe). */
void install_serial_ports(Board* b);
int  publish_serial_ports(Board* b);
void withdraw_serial_ports(Board* b);
void close_serial_ports(Board* b);
/* Media, video and sensor sub-device nodes for the profile's cameras. */
void install_cameras(Board* b);
/* An I2C transfer as i2ctransfer would make it; 0 or -errno. */
struct I2cMsg {
    int                  addr;
    bool                 read;
    std::vector<uint8_t> data;
};
int i2c_bus_transfer(Board* b, int bus, std::vector<I2cMsg>& msgs);
/* Every chip answers again and none is busy. */
void i2c_faults_clear(Board* b);
/* Answers SIOCGMIIPHY, SIOCGMIIREG and SIOCSMIIREG on a socket. */
int mii_request(Board* b, int fd, unsigned long request, void* arg);

/* A freshly exported sysfs line: the level an input line reads. */
int gpio_input_level(Board* b, int line);

/* Socket requests a socket model answers through its ioctl entry. */
constexpr unsigned long kSockBind = 0x534B0001ul;
constexpr unsigned long kSockSetOpt = 0x534B0002ul;
struct SockRequest {
    const void* addr; /* kSockBind: the address */
    unsigned    addrlen;
    int         level; /* kSockSetOpt: the option */
    int         name;
    const void* value;
    unsigned    len;
};
/* The CAN bus, with the production-test fixture on it, at SIM_CAN_BUS. */
void install_can(Board* b);
/* A CPLD line word as the fixture on the board's lines sees it: an output
 * word (low half 0x202) sets the output lines, the input word 0x102 gets the
 * input lines as its answer. */
void can_fixture_lines(uint32_t* word);

} // namespace sim

#endif
