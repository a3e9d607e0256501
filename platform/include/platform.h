/* The one seam between korvid and the board it runs on.
 *
 * Device code reaches the platform only through these calls: board paths,
 * shell commands, device nodes, free space and socket requests the host
 * cannot answer (the PHY's MII registers). On the board they pass straight
 * through to the kernel; on an ordinary host the simulated board answers
 * them under a board root directory, never touching the host's own paths,
 * devices, processes or network settings.
 *
 * Calls mirror their POSIX counterparts: -1 (or NULL, MAP_FAILED) with errno
 * set on failure. No call throws. */
#ifndef KORVID_PLATFORM_H
#define KORVID_PLATFORM_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Board selection (once, at start, before any other thread runs) ---- */

/* `root` NULL: the real board (only in a build made for the board).
 * Otherwise the simulated board under the directory `root`, laid out from
 * the board profile `profile` (a profile name such as "rk3588-gpixel", or
 * the path of a profile file; NULL: "rk3588-gpixel"). Files a board keeps
 * across restarts (/userdata, vendor storage) are created only when missing.
 * Returns 0, or -1 with errno (EINVAL: no such profile or no board root).
 * Nothing a running owner of the same root published is touched. */
int         plat_board_open(const char* root, const char* profile);
/* Takes "--board-root DIR" and "--board NAME" (also "--board-root=DIR",
 * "--board=NAME") out of argv and opens the board they name. A build for the
 * board without --board-root runs on the real board; the simulated build
 * needs --board-root. Returns 0 or -1, with a message on standard error that
 * names what failed: an unknown profile with the profiles there are, a board
 * root with the path and the reason it cannot be used. */
int         plat_board_args(int* argc, char** argv);
/* Closes every node still open and forgets the board; the root stays. */
void        plat_board_close(void);
int         plat_board_simulated(void);  /* 1 simulated, 0 real, -1 none open */
const char* plat_board_root(void);       /* host directory of the board root, "" on the board */
/* Called by the process that owns the board (it holds the single-instance
 * lock): publishes what outside tools reach the board through. On the
 * simulated board each serial port's outside end is linked as
 * "<root>/.board/<port name>", replacing a link an earlier run left. 0, or
 * -1 with errno. */
int         plat_board_publish(void);
/* Takes back what plat_board_publish published, as plat_board_close does: a
 * link is removed while it still names this process's terminal.
 * Async-signal-safe, for the way out of a fatal signal. */
void        plat_board_withdraw(void);

/* ---- Paths ---- */

/* The host path of a board path such as "/userdata/config.bin". In
 * simulation every path, symbolic links and ".." included, stays inside the
 * board root. Returns buf, or NULL with errno (ENAMETOOLONG, ENODEV). */
char* plat_path(const char* path, char* buf, size_t size);
FILE* plat_fopen(const char* path, const char* mode);
int   plat_access(const char* path, int mode);
int   plat_stat(const char* path, struct stat* st);
/* Free space as the board's file systems report it (f_bavail x f_frsize). */
int   plat_statvfs(const char* path, struct statvfs* st);

/* ---- Shell ---- */

/* Runs a shell command line; the result is that of system(3). */
int plat_shell(const char* cmd);
/* The same, keeping up to size-1 bytes of its standard output in `out`
 * (always terminated). Returns the byte count kept, or -1. */
int plat_shell_output(const char* cmd, char* out, size_t size);

/* ---- Descriptors and device nodes ----
 * Any descriptor may be passed; descriptors of device nodes opened through
 * plat_open are answered by the board. A node's descriptor is a real one:
 * it can be polled and added to epoll, and readiness follows the device. */
int     plat_open(const char* path, int flags, ...);   /* mode_t with O_CREAT */
int     plat_close(int fd);
/* A node's descriptor answers as a character device with the node's number. */
int     plat_fstat(int fd, struct stat* st);
/* One argument as for ioctl(2): a pointer, or an integer passed as unsigned long. */
int     plat_ioctl(int fd, unsigned long request, ...);
ssize_t plat_read(int fd, void* buf, size_t count);
ssize_t plat_write(int fd, const void* buf, size_t count);
/* Flushes a file to the board's storage, as fsync(2). */
int     plat_fsync(int fd);
/* Replaces `to` with `from` in one step, as rename(2); both board paths. */
int     plat_rename(const char* from, const char* to);
void*   plat_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int     plat_munmap(void* addr, size_t length);
int     plat_poll(struct pollfd* fds, nfds_t nfds, int timeout);

/* ---- Sockets the host may not carry (SocketCAN) ----
 * As socket(2), bind(2) and setsockopt(2). On the simulated board a PF_CAN
 * socket is a node on the board's CAN bus (read and written with plat_read
 * and plat_write, closed with plat_close, its interface index asked with
 * plat_ioctl); any other socket is the host's own. */
int     plat_socket(int domain, int type, int protocol);
int     plat_bind(int fd, const struct sockaddr* addr, socklen_t len);
int     plat_setsockopt(int fd, int level, int name, const void* value, socklen_t len);

/* ---- Thread scheduling ---- */

/* Sets the calling thread's scheduling policy (SCHED_RR, SCHED_FIFO, ...) and
 * priority, as pthread_setschedparam(3) on the board. 0, or -1 with errno. */
int     plat_sched_setscheduler(int policy, int priority);
/* Pins the calling thread to CPU `cpu` (0..1023), as pthread_setaffinity_np(3)
 * on the board; any other number is an empty set, refused with EINVAL.
 * 0, or -1 with errno. */
int     plat_sched_setaffinity(int cpu);

/* ---- Vendor storage ("/dev/vendor_storage") ---- */

#define PLAT_VENDOR_TAG      0x56524551u
#define PLAT_VENDOR_DATA_MAX 1024
#define PLAT_VENDOR_READ     _IOW('v', 0x01, unsigned int)
#define PLAT_VENDOR_WRITE    _IOW('v', 0x02, unsigned int)

/* Items */
#define PLAT_VENDOR_SERIAL     1
#define PLAT_VENDOR_MAC        3
#define PLAT_VENDOR_BOARD_CODE 26

/* Read: `len` is the room in `data` on the way in and the item's length on
 * the way out. Write: `len` bytes of `data` become the item. */
typedef struct PlatVendorReq_ {
    uint32_t tag; /* PLAT_VENDOR_TAG */
    uint16_t id;
    uint16_t len;
    uint8_t  data[PLAT_VENDOR_DATA_MAX];
} plat_vendor_req_t;

#ifdef __cplusplus
}
#endif

#endif
