/* Control of the simulated board, for tests and for the models of devices.
 *
 * Tests use it to look at what korvid asked of the board (the shell journal,
 * the programmed FPGA image, vendor items, the watchdog) and to break the
 * board on purpose (failed requests, absent devices, a full disk). Device
 * models plug in here: a model answers the requests on one device path, and
 * every node opened on it owns a real descriptor (an eventfd) whose
 * readiness the model controls, so poll and epoll behave as on the board.
 * Device code never includes this header. */
#ifndef KORVID_SIMBOARD_H
#define KORVID_SIMBOARD_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "aiq.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Board profile ---- */

#define SIM_I2C_MAX_DEVICES 16
#define SIM_GPIO_MAX_INPUTS 16

/* What a board carries; read from a profile file (INI). */
typedef struct SimI2cSpec_ {
    char kind[16]; /* "cpld", "temp", "imu" */
    int  bus;
    int  addr;
} sim_i2c_spec_t;

typedef struct SimProfile_ {
    char           name[64];
    char           chip[16];          /* "RK3588", "RK3568", "RK3576", or "" for no OTP */
    char           model[128];        /* device-tree model text */
    char           tof_sensor[32];    /* sensor name behind the ToF capture node, "" none */
    char           colour_sensor[32]; /* sensor name behind the colour node, "" none */
    char           cpu_serial[32];
    char           proc_version[256];
    int            rtc;               /* "/dev/rtc0" present */
    int            s40network;        /* "/etc/init.d/S40network" present */
    int            link_speed;        /* Mbit/s the PHY reports: 1000, 100, 10; 0 no PHY */
    double         temperature;       /* degrees the temperature sensors read */
    uint64_t       free_mib;          /* free space of every mount at start */
    char           mounts[128];       /* mount points, blank separated */
    char           fpga_images[512];  /* file names under /etc, blank separated */
    char           serial[64];        /* vendor items at first start */
    char           board_code[64];
    uint8_t        mac[6];
    char           ipaddress[16];     /* net_config at first start */
    char           netmask[16];
    char           gateway[16];
    int            i2c_count;
    sim_i2c_spec_t i2c[SIM_I2C_MAX_DEVICES];
    int            gpio_count;
    int            gpio_line[SIM_GPIO_MAX_INPUTS];  /* input lines and their levels */
    int            gpio_level[SIM_GPIO_MAX_INPUTS];
    int            usb_camera;        /* a USB camera on "/dev/media3" */
    char           serial_ports[128]; /* serial ports, board paths blank separated: each is a
                                         pseudo-terminal whose outside end is linked as
                                         "<root>/.board/<port name>" */
} sim_profile_t;

/* Directory searched for "NAME.ini". */
const char* sim_profile_dir(void);
/* Reads a profile by name or path; 0, or -1 (missing or unreadable file). */
int         sim_profile_load(const char* name_or_path, sim_profile_t* out);
/* Lays out the files of a board root from a profile (see plat_board_open). */
int         sim_profile_layout(const char* root, const sim_profile_t* profile);
/* The profile of the open board, NULL when none. */
const sim_profile_t* sim_profile(void);

/* ---- Shell journal ---- */

enum {
    SIM_SHELL_APPLIED = 0, /* file effects applied inside the root */
    SIM_SHELL_EVENT   = 1, /* an action on the board, recorded only */
    SIM_SHELL_REFUSED = 2, /* not something the board runs; nothing done */
    SIM_SHELL_FAILED  = 3, /* failed (injected, or a file effect that failed) */
};

typedef struct SimJournal_ {
    unsigned long seq;       /* 1, 2, ... since the board opened */
    int           kind;      /* SIM_SHELL_* */
    int           status;    /* what plat_shell returned */
    char          event[16]; /* "reboot", "process", "network", "service", "sync", "i2c",
                                "clock", "archive" (also zip and unzip applied in the root),
                                "update", "log", or "" */
    char          cmd[512];
} sim_journal_t;

/* Memory keeps the newest entries: at SIM_JOURNAL_KEPT the older half goes
 * (the journal file keeps every line). Indexes count every entry since the
 * board opened or the journal was cleared; one let go reads as missing. */
#define SIM_JOURNAL_KEPT 4096

size_t sim_journal_count(void);
int    sim_journal_get(size_t index, sim_journal_t* out); /* 0 or -1 */
/* Index of the first entry at or after `from` whose command contains `text`
 * (or whose event is `text`); -1 when none. */
long   sim_journal_find(const char* text, size_t from);
/* As sim_journal_find, waiting up to timeout_ms for such an entry. */
long   sim_journal_wait(const char* text, size_t from, int timeout_ms);
void   sim_journal_clear(void);
/* Host path of the journal file under the root. */
const char* sim_journal_file(void);

/* ---- File syncs and renames ----
 * plat_fsync and plat_rename are recorded in order, one line each: "fsync
 * PATH", the board path the descriptor's file has at that moment, and
 * "rename FROM TO" (board paths as given). The latest 4096 are kept. */
size_t sim_fileop_count(void);
/* Copies entry `index` into out (terminated, cut to size): 0 or -1. */
int    sim_fileop_get(size_t index, char* out, size_t size);
void   sim_fileop_clear(void);

/* ---- Faults ---- */

enum {
    SIM_REQ_OPEN = 0,
    SIM_REQ_CLOSE,
    SIM_REQ_IOCTL,
    SIM_REQ_READ,
    SIM_REQ_WRITE,
    SIM_REQ_MMAP,
    SIM_REQ_SHELL,  /* path ignored */
    SIM_REQ_RENAME, /* path: the file renamed, by its old name */
    SIM_REQ_KINDS
};

/* The nth request of `kind` on `path` from now on (1: the next) fails with
 * `err`. Open and rename requests may name any board path, the other kinds a
 * device node. */
int  sim_fail_nth(const char* path, int kind, unsigned nth, int err);
/* A device that is absent cannot be opened, its board path is gone, and the
 * nodes still open on it fail every request with ENODEV. */
int  sim_set_absent(const char* path, int absent);
/* Free bytes of the file system mounted at `mount` (created when new). */
int  sim_set_free_space(const char* mount, uint64_t bytes);
int  sim_fill_disk(const char* mount);
void sim_faults_clear(void);

/* ---- Board facts ---- */

int sim_set_link_speed(int mbps);               /* 0: the PHY does not answer */
int sim_gpio_set_input(int line, int level);    /* level a line reads once exported */
/* Binds a board path to a host path outside the root (a serial line's
 * pseudo-terminal): plat_path, plat_open and plat_stat of that board path
 * answer with the host path. host_path NULL removes the binding. Only the
 * test side makes bindings; links inside the root never leave it. */
int sim_bind_path(const char* board_path, const char* host_path);

/* ---- Thread scheduling ---- */

/* plat_sched_setscheduler is granted (the host's own scheduling is left
 * alone) unless refused here; a refusal fails with EPERM. */
void          sim_sched_refuse(int refuse);
/* Requests granted since the process started, and the policy and priority
 * of the last one (either pointer may be NULL). */
unsigned long sim_sched_granted(int* policy, int* priority);
/* plat_sched_setaffinity is granted on paper for CPUs 0..1023 (the host's
 * own affinity is left alone): the pinnings granted since the process
 * started, and the CPU of the last one (the pointer may be NULL). */
unsigned long sim_affinity_granted(int* cpu);

/* ---- I2C ---- */

enum {
    SIM_I2C_REG8  = 0, /* 8-bit register numbers and values, auto-increment */
    SIM_I2C_REG16 = 1, /* 16-bit register numbers, 16-bit big-endian values */
    /* A camera speaking framed messages: write 0x20 0x30 0x02 reg(2) value(2);
     * read request 0x21 0x30 0x02 reg(2), then 5 bytes with the value in the
     * fourth. Registers as for SIM_I2C_REG16. */
    SIM_I2C_FRAMED = 2,
};

int sim_i2c_add(int bus, int addr, int kind);
int sim_i2c_remove(int bus, int addr);
int sim_i2c_set_absent(int bus, int addr, int absent);
/* The next `attempts` transfer attempts to the device lose arbitration; the
 * bus retries a transfer as often as I2C_RETRIES allows. */
int sim_i2c_set_busy(int bus, int addr, unsigned attempts);
int sim_i2c_set_reg(int bus, int addr, unsigned reg, unsigned value);
int sim_i2c_get_reg(int bus, int addr, unsigned reg, unsigned* value);
/* Register 0 of a temperature sensor: 1/16 degree steps in bits 15..3. */
int sim_i2c_set_temperature(int bus, int addr, double celsius);
/* Transfers the device answered, and attempts made on it. */
int sim_i2c_stats(int bus, int addr, unsigned long* transfers, unsigned long* attempts);
/* The bus's I2C_TIMEOUT (10 ms units) and I2C_RETRIES as last set. */
int sim_i2c_bus_settings(int bus, int* timeout, int* retries);

/* ---- Vendor storage ---- */

int sim_vendor_get(unsigned id, void* buf, size_t size); /* item length, or -1 when missing */
int sim_vendor_set(unsigned id, const void* data, size_t len);

/* ---- FPGA/CPLD programming device ---- */

/* Images programmed since the board opened; the last one's bytes. */
unsigned long sim_cpld_programs(void);
long          sim_cpld_image(void* buf, size_t size); /* its length, -1 when none */

/* ---- Watchdog ---- */

typedef struct SimWatchdog_ {
    int           open;
    int           armed;       /* running: closed without the magic 'V', or open */
    int           timeout;     /* seconds */
    unsigned long feeds;
    int           expired;     /* armed and not fed within its timeout: the board would reset */
} sim_watchdog_t;

int sim_watchdog_state(sim_watchdog_t* out);

/* ---- CAN bus and production-test fixture ----
 *
 * plat_socket(PF_CAN, SOCK_RAW, CAN_RAW) opens a node on the board's CAN
 * bus, whose board path is SIM_CAN_BUS: sim_fail_nth on that path fails the
 * socket's creation (SIM_REQ_OPEN), its interface index, binding and options
 * (SIM_REQ_IOCTL, in the order made), reads and writes. The only interface
 * is "can0" (index SIM_CAN_IFINDEX). Reads never block: an empty socket
 * answers EAGAIN. The fixture sits on the bus and on the output/input
 * lines: it answers every data frame it receives, and the output lines set
 * through the ToF sensor's CPLD word come back inverted on the input lines.
 * Without a fixture (the default) nothing answers and the inputs read 0. */
#define SIM_CAN_BUS     "/.board/can0"
#define SIM_CAN_IFINDEX 3

typedef struct SimCanFixture_ {
    int      answers;    /* answers every data frame */
    uint32_t answer_id;  /* identifier of its answers; 0: the frame's identifier + 0x80 */
    uint8_t  first_byte; /* first data byte of its answers; the others are the frame's */
    int      loopback;   /* output lines come back inverted on the input lines */
} sim_can_fixture_t;

/* NULL: no fixture. 0, or -1 without a board. */
int sim_can_set_fixture(const sim_can_fixture_t* fixture);

typedef struct SimCanFrame_ {
    uint32_t id;
    uint8_t  len;
    uint8_t  data[8];
} sim_can_frame_t;

typedef struct SimCanState_ {
    int           sockets;      /* CAN sockets open now */
    unsigned long sent;         /* frames written to the bus */
    unsigned long answered;     /* answers the fixture gave */
    int           bound;        /* interface index the last socket bound to, 0 none */
    int           fd_frames;    /* options of the last socket bound */
    int           loopback;
    int           recv_own;
    int           timestamping;
    uint32_t      outputs;      /* output lines as last set */
} sim_can_state_t;

int sim_can_state(sim_can_state_t* out); /* 0, or -1 without a board */
/* The nth frame written to the bus (0: the first) of the first 1024: 0, or -1. */
int sim_can_sent_frame(size_t index, sim_can_frame_t* out);

/* ---- Device models ---- */

typedef struct SimNode_ sim_node_t;

/* Requests on one device path. Results: >= 0, or -errno. Missing entries
 * answer ENOTTY (ioctl), EINVAL (read, write), ENODEV (mmap). */
typedef struct SimDevOps_ {
    int     (*open)(void* model, sim_node_t* node);
    int     (*close)(void* model, sim_node_t* node); /* the node goes away either way */
    int     (*ioctl)(void* model, sim_node_t* node, unsigned long request, void* arg);
    ssize_t (*read)(void* model, sim_node_t* node, void* buf, size_t count);
    ssize_t (*write)(void* model, sim_node_t* node, const void* buf, size_t count);
    /* Shared buffers: the model names a descriptor (a memfd it keeps) and the
     * offset in it; the seam maps it for the caller, who unmaps it. */
    int     (*mmap)(void* model, sim_node_t* node, size_t length, off_t offset, int* memfd, off_t* memoff);
    void    (*destroy)(void* model); /* when the board closes */
} sim_devops_t;

/* Adds a model at a board path; its node placeholder appears in the root.
 * 0, or -1 (EEXIST when the path has a model). */
int   sim_device_add(const char* path, const sim_devops_t* ops, void* model);
void* sim_device_model(const char* path);
dev_t sim_device_rdev(const char* path);

int   sim_node_fd(const sim_node_t* node);
int   sim_node_flags(const sim_node_t* node);  /* open flags */
void* sim_node_data(const sim_node_t* node);
void  sim_node_set_data(sim_node_t* node, void* data);
/* Set when the node's close was failed on purpose: models that act on close
 * (programming an image) must then not act. */
int   sim_node_aborted(const sim_node_t* node);
/* Readable (POLLIN) while set. */
void  sim_node_set_readable(sim_node_t* node, int readable);


/* ---- Cameras: media, video and sensor sub-device nodes ----
 *
 * Laid out at plat_board_open from the profile's chip and sensors. Media
 * nodes by chip: RK3588 "/dev/media0" colour camera interface, "/dev/media1"
 * ToF camera interface, "/dev/media2" ISP; RK3568 "/dev/media0" ToF camera
 * interface, "/dev/media1" ISP with the colour sensor; RK3576 "/dev/media0"
 * with both sensors (ToF first). A USB camera (profile USB_CAMERA=yes) is
 * "/dev/media3". Capture entities: "stream_cif_mipi_id0".."3",
 * "rkisp_mainpath", "rkisp_selfpath", "Webcam gadget: UVC Camera"; bridges
 * "rockchip-csi2-dphyN", "rockchip-mipi-csi2", "rkisp-isp-subdev". Sensor
 * entities: "m01_b_<ToF sensor> <bus>-0010" (bus 5 on RK3588, else 3) and
 * "m00_b_<colour sensor> 4-0030". Video nodes "/dev/videoN" and sub-devices
 * "/dev/v4l-subdevN" are numbered in graph order; "/sys/dev/char/MAJ:MIN"
 * links to each node's directory (named as the node), whose "device" link
 * leads to the directory holding its "mediaN". Functions taking `sensor`
 * accept the entity name or the sub-device path. */

enum {
    SIM_CAMERA_PACED   = 0, /* frames at the sensor's rate (the default) */
    SIM_CAMERA_STEPPED = 1, /* frames only through sim_camera_step */
};

/* Faults of a video node, as a mask. */
enum {
    SIM_CAMERA_TIMEOUT  = 1, /* the sensor stops delivering: no frame, the node never readable */
    SIM_CAMERA_SHORT    = 2, /* frames arrive with half their bytes */
    SIM_CAMERA_REQBUFS2 = 4, /* REQBUFS grants at most 2 buffers */
    SIM_CAMERA_BAD_INDEX = 8, /* DQBUF names a buffer past the last one */
    SIM_CAMERA_SMALL_FORMAT = 16, /* VIDIOC_S_FMT grants half the height asked */
    SIM_CAMERA_SHORT_BUFFERS = 32, /* buffers hold three quarters of a frame (QUERYBUF's length, bytes filled) */
    SIM_CAMERA_OVERFULL = 64, /* DQBUF reports more bytes used than the buffer holds */
    SIM_CAMERA_BROKEN = 128, /* stuck in error: STREAMON and DQBUF fail with EIO, the node always reads ready */
};
/* VIDIOC_EXPBUF gives a buffer as a descriptor of its own (a DMA buffer),
 * which plat_mmap maps from offset 0 and plat_close closes. */
/* A failed mapping is sim_fail_nth(video, SIM_REQ_MMAP, ...). */

int sim_camera_set_mode(const char* video, int mode);
int sim_camera_set_faults(const char* video, unsigned faults);
/* Lets `count` frame times pass now on a streaming node, whatever its mode:
 * each makes a frame while its sensor runs (or one a trigger waits for),
 * which fills the oldest queued buffer (a frame finding none is lost).
 * Returns the frames delivered, or -1 (ENODEV: no such node). */
int sim_camera_step(const char* video, unsigned count);
/* Frames made since the node began streaming (delivered or lost). */
long sim_camera_frames(const char* video);

/* What sensor models were told, in order. */
enum {
    SIM_SENSOR_REG = 0,    /* sensor register: addr, value */
    SIM_SENSOR_LASER,      /* laser driver: addr = index << 8 | register */
    SIM_SENSOR_CPLD,       /* CPLD register through the sub-device */
    SIM_SENSOR_CPLD_WORD,  /* CPLD control word: value */
    SIM_SENSOR_BLOCK,      /* integration block word: addr = 0..3 */
    SIM_SENSOR_VLD,        /* laser enable: value */
    SIM_SENSOR_SYNC,       /* synchronisation mode: value */
    SIM_SENSOR_CTRL,       /* control: addr = id, value */
    SIM_SENSOR_TRIGGER,    /* hardware trigger: addr = request number, value */
};

typedef struct SimSensorWrite_ {
    unsigned long seq; /* 1, 2, ... per sensor */
    int           kind;
    uint32_t      addr;
    uint32_t      value;
} sim_sensor_write_t;

/* Set (non-empty) in the environment when a board opens, the log is also
 * appended to "<root>/.board/sensors.log", with the frames each sensor
 * delivers, for a harness that runs korvid as a process of its own. */
#define SIM_SENSOR_LOG_ENV "KORVID_SIM_SENSOR_LOG"

size_t sim_sensor_log_count(const char* sensor);
int    sim_sensor_log_get(const char* sensor, size_t index, sim_sensor_write_t* out);
/* Index of the first write of `kind` to `addr` at or after `from`; -1 none. */
long   sim_sensor_log_find(const char* sensor, int kind, uint32_t addr, size_t from);
void   sim_sensor_log_clear(const char* sensor);
/* A sensor register as the sensor holds it (-1: no such sensor). */
int    sim_sensor_get_reg(const char* sensor, unsigned addr, unsigned* value);
int    sim_sensor_set_reg(const char* sensor, unsigned addr, unsigned value);
/* A pulse on the sensor's hardware trigger line: in its trigger mode it
 * takes one frame, otherwise nothing happens (-1: no such sensor). */
int    sim_sensor_trigger(const char* sensor);
/* The frequency group at `position` of the IMX570's frames is delivered as
 * group `index` (its embedded index and its data); -1 restores its own. */
int    sim_sensor_group_index(const char* sensor, int position, int index);

typedef struct SimSensorState_ {
    char     entity[32];
    char     subdev[32];   /* "/dev/v4l-subdevN", "" for none */
    char     media[32];
    uint32_t code;         /* active pad format */
    uint32_t width, height;
    uint32_t fourcc;       /* of its frames */
    double   fps;          /* as its registers set it */
    double   mod_mhz[3];   /* modulation frequencies (ToF) */
} sim_sensor_state_t;

int sim_sensor_state(const char* sensor, sim_sensor_state_t* out);

/* ---- ISP 3A library ----
 *
 * The stand-in library answers the seam's 3A calls (aiq.h) and records each
 * one. It knows the sensor entities of the board's media graphs; an instance
 * goes init -> prepare -> start -> stop -> deinit, and a call out of that
 * order fails (-1) without effect. A new instance's exposure record is
 * automatic with the library's own limits. Every call is forgotten when a
 * board opens. */

enum {
    SIM_AIQ_BOUND_SENSOR = 0, /* text "bound_sensor <video node>" */
    SIM_AIQ_PREINIT_SCENE,    /* "preinit_scene <sensor> <main scene> <sub scene>" */
    SIM_AIQ_INIT,             /* "init <sensor> <iq directory>" */
    SIM_AIQ_PREPARE,          /* "prepare <width>x<height> <working mode>" */
    SIM_AIQ_START,            /* "start" */
    SIM_AIQ_STOP,             /* "stop <keep>" */
    SIM_AIQ_DEINIT,           /* "deinit" */
    SIM_AIQ_GET_EXP,          /* "get_exp", attr: the record handed out */
    SIM_AIQ_SET_EXP,          /* "set_exp", attr: the record written */
};

typedef struct SimAiqCall_ {
    unsigned long       seq;    /* 1, 2, ... since the board opened */
    int                 kind;   /* SIM_AIQ_* */
    int                 status; /* 0 done, -1 refused */
    char                text[160];
    plat_aiq_exp_attr_t attr;
} sim_aiq_call_t;

size_t sim_aiq_count(void);
int    sim_aiq_get(size_t index, sim_aiq_call_t* out); /* 0 or -1 */
/* Index of the first call of `kind` at or after `from`, waiting up to
 * timeout_ms for one; -1 when none came. */
long   sim_aiq_wait(int kind, size_t from, int timeout_ms);
void   sim_aiq_clear(void);
/* Instances that exist (initialised, not yet deinitialised) and of those
 * the ones started and not stopped. */
int    sim_aiq_instances(int* running);

/* The scene the ToF sensors look at, per pixel (x, y) of a w x h depth
 * image: distance along the ray in millimetres and reflectivity (0..1). */
double sim_scene_distance_mm(int x, int y, int w, int h);
double sim_scene_reflectivity(int x, int y, int w, int h);
/* The chart the colour sensors look at: luma (16..235) at pixel (x, y) of a
 * w x h frame numbered `seq` from the start of streaming. A 10-bit grey
 * frame carries it times 4. */
int sim_chart_luma(int x, int y, int w, int h, unsigned seq);

/* ---- Media-process library (hardware encoder, plat_mpp.h) ----
 *
 * Every call is recorded in order as one line: the call's name and the
 * arguments that matter, e.g. "mpp_init 1 0x7", "s32 prep:width 1920",
 * "u32 rc:drop_thd 20", "control 0x320001", "mpp_meta_set_packet opkt".
 * The encoder makes of the stride product x 3/2 bytes of a frame's buffer
 * the packet sim_mpp_packet describes. */

/* Bytes before the copied picture bytes: the coding's tag ("H264", "H265",
 * "MJPG", "VP8 "), the picture's byte count and its FNV-1a checksum (both
 * 32-bit little-endian). Up to 256 leading picture bytes follow. */
#define SIM_MPP_PACKET_HEADER 12

size_t sim_mpp_call_count(void);
int    sim_mpp_call_get(size_t index, char* buf, size_t size); /* 0 or -1 */
/* Index of the first call at or after `from` that begins with `text`; -1 none. */
long   sim_mpp_call_find(const char* text, size_t from);
/* Forgets the recorded calls and the injected faults. */
void   sim_mpp_clear(void);
/* The nth call from now (1: the next) of the function `call` fails: a
 * library function's name, or "control", "encode_put_frame",
 * "encode_get_packet" (no packet comes back). */
int    sim_mpp_fail_nth(const char* call, unsigned nth);
/* mpp_buffer_import ("mpp_buffer_import <size> <index>") takes a descriptor
 * of at least `size` bytes, such as a video node's VIDIOC_EXPBUF export; the
 * buffer maps it and holds a duplicate until mpp_buffer_put. */
/* Contexts, groups, buffers, configurations, frames and packets alive. */
long   sim_mpp_live(void);
/* The packet the encoder makes of `len` picture bytes in `coding`: its
 * length, written to `out` when `room` holds it; 0 for an unknown coding. */
size_t sim_mpp_packet(uint32_t coding, const void* data, size_t len, void* out, size_t room);

#ifdef __cplusplus
}
#endif

#endif
