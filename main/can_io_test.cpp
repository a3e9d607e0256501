// CAN and IO production test. Started by writing 1000 to its register; the
// fixture loops the output lines back inverted to the inputs and answers CAN
// frames. The CANopen node is stopped while the test owns the bus, and the
// taken-over registers and the node come back on every way out, a failed
// CAN set-up included (the result register then keeps 1000).
#include "main/can_io_test.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/net_tstamp.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <string>

#include "canopen/canopen.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "platform.h"
#include "sensor/sensor_imx570.h"
#include "worker.h"

namespace {

constexpr uint32_t kRegTofStream = 0x100020E4;
constexpr uint32_t kRegCanBaudrate = 0x1000008C;
constexpr uint32_t kRegCanNodeid = 0x100000D0;
constexpr uint32_t kRegCanIoTest = 0x10007064;
constexpr uint32_t kDefaultBaudrate = 250000;

// enableApplicationAlgo, outputControlMode, outputIoMode, canRsSw: saved,
// then set for the test (no algorithm, user control of the lines, the
// fixture's line mode, the transceiver on CAN).
constexpr uint32_t kTakenRegs[4] = {0x1000005C, 0x100000AC, 0x10000114, 0x10000118};
constexpr uint32_t kTestValues[4] = {0, 1, 1, 1};

constexpr int kStopPolls = 1000;
constexpr uint32_t kTxBase = 0x180;
constexpr uint32_t kRxBase = 0x200;
constexpr uint32_t kFramesBeforePass = 51; // a pass needs at least 50 frames sent
constexpr uint32_t kFrameLimit = 102;      // 101 frames without an answer fail
constexpr uint8_t kAnswerByte = 0x40;

constexpr uint32_t kResultCan = 1;
constexpr uint32_t kResultIo = 2;

uint32_t reg_get(uint32_t address)
{
    uint32_t v = 0;
    Custom_RegRead(address, &v);
    return v;
}

void reg_put(uint32_t address, uint32_t value) { Custom_RegWrite(address, &value); }

bool canopen_running(epcore_t* core) { return epcore_worker_find(core, E_WORKER_ID_STD_CANOPEN) != nullptr; }

void canopen_stop(epcore_t* core)
{
    epcore_worker_stop(core, E_WORKER_ID_STD_CANOPEN);
    for (int i = 0; i < kStopPolls; i++) {
        if (!canopen_running(core)) {
            log_info(g_logger, __FUNCTION__, __LINE__, "closed canopen_task");
            return;
        }
        wait_ms(1);
    }
    log_error(g_logger, __FUNCTION__, __LINE__, "can't close canopen_task");
}

// Outputs k = 0..3 must read back as 3 - k. A line request that fails
// gives no reading, and so no pass.
bool io_loopback()
{
    static const char* const kFormats[4] = {"output:0,read:%d,%s", "output:1,read:%d,%s",
                                            "output:2,read:%d,%s", "output:3,read:%d,%s"};
    bool all = true;
    for (uint32_t k = 0; k < 4; k++) {
        uint32_t out = k;
        bool set = sensor_imx570_gpio_control(-1, 0, &out) == 1;
        wait_ms(5);
        uint32_t in = 0;
        bool got = sensor_imx570_gpio_control(-1, 1, &in) == 1;
        bool ok = set && got && in == 3 - k;
        log_info(g_logger, __FUNCTION__, __LINE__, kFormats[k], (int)in, ok ? "OK" : "ERROR");
        all = all && ok;
        wait_ms(5);
    }
    return all;
}

// The socket is the board's node: it is closed through the seam, and the
// device record must not close the number again.
void can_close(iodev_t* dev)
{
    EnterCriticalSection(&dev->fdCS);
    int fd = dev->fd;
    __atomic_store_n(&dev->fd, -1, __ATOMIC_RELAXED);
    LeaveCriticalSection(&dev->fdCS);
    if (fd >= 0) plat_close(fd);
    iodev_close(dev);
}

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "CAN socket can't set to non-blocking mode.");
        return;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "CAN socket is set to non-blocking mode.");
}

void log_frame_data(const CanIoFrame& f)
{
    std::string text;
    char one[32];
    for (int i = 0; i < f.len; i++) {
        snprintf(one, sizeof(one), "recv_frame.data[i]:%x ", f.data[i]);
        text += one;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "%s", text.c_str());
}

// Sends frame n, waits 10 ms and looks at one frame, until an answer has
// been seen and at least 50 frames went out, or 101 went out unanswered.
bool can_exchange(int fd, uint32_t nodeid)
{
    const uint32_t tx = nodeid + kTxBase;
    const uint32_t rx = nodeid + kRxBase;
    bool seen = false;
    for (uint32_t n = 1;; n++) {
        if (n >= kFrameLimit) {
            log_error(g_logger, __FUNCTION__, __LINE__, "CAN can't recv any message,ERROR");
            return false;
        }
        if (n >= kFramesBeforePass && seen) {
            log_info(g_logger, __FUNCTION__, __LINE__, "CAN recv,OK");
            return true;
        }
        struct can_frame out;
        memset(&out, 0, sizeof(out));
        out.can_id = tx;
        out.len = CAN_MAX_DLEN;
        out.data[0] = out.data[1] = (uint8_t)n;
        for (int w = 0; w < 3; w++) {
            out.data[2 + 2 * w] = (uint8_t)(n & 0xFF);
            out.data[3 + 2 * w] = (uint8_t)(n >> 8);
        }
        plat_write(fd, &out, sizeof(out));
        wait_ms(10);
        uint8_t buf[CANFD_MTU];
        ssize_t got = plat_read(fd, buf, sizeof(buf));
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) log_error(g_logger, __FUNCTION__, __LINE__, "can read");
            continue;
        }
        CanIoFrame f;
        if (can_io_frame_parse(buf, (size_t)got, &f) != 0 || f.id != rx) continue;
        log_frame_data(f);
        if (can_io_frame_answers(&f, rx)) {
            seen = true;
            log_info(g_logger, __FUNCTION__, __LINE__, "recv right!!!!");
        }
    }
}

// Socket options of the test's CAN socket, each with its failure message.
struct CanOption {
    int level;
    int name;
    int value;
    const char* failure;
};

constexpr CanOption kCanOptions[] = {
    {SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1, "switch the socket into CAN FD mode fail."},
    {SOL_CAN_RAW, CAN_RAW_LOOPBACK, 0, "switch off loopback fail."},
    {SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, 0, "switch off loopback fail."},
    {SOL_SOCKET, SO_TIMESTAMPING,
     SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_RAW_HARDWARE,
     "setsockopt SO_TIMESTAMPING is not supported by your Linux kernel"},
};

// The set-up failure's message, or null when the socket is bound and set.
const char* can_socket_setup(int fd)
{
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", "can0");
    if (plat_ioctl(fd, SIOCGIFINDEX, &ifr) < 0) return "can ioctl";
    struct sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (plat_bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) return "can bind";
    for (const CanOption& o : kCanOptions)
        if (plat_setsockopt(fd, o.level, o.name, &o.value, sizeof(o.value)) < 0) return o.failure;
    return nullptr;
}

} // namespace

int can_io_frame_parse(const void* bytes, size_t size, CanIoFrame* out)
{
    if (!bytes || !out) return -1;
    if (size == CAN_MTU) {
        struct can_frame cf;
        memcpy(&cf, bytes, sizeof(cf));
        if (cf.len > CAN_MAX_DLEN) return -1;
        out->id = cf.can_id;
        out->len = cf.len;
        memcpy(out->data, cf.data, cf.len);
        return 0;
    }
    if (size == CANFD_MTU) {
        struct canfd_frame ff;
        memcpy(&ff, bytes, sizeof(ff));
        if (ff.len > CANFD_MAX_DLEN) return -1;
        out->id = ff.can_id;
        out->len = ff.len;
        memcpy(out->data, ff.data, ff.len);
        return 0;
    }
    return -1;
}

int can_io_frame_answers(const CanIoFrame* frame, uint32_t rxid)
{
    return frame && frame->id == rxid && !(frame->id & (CAN_RTR_FLAG | CAN_ERR_FLAG)) && frame->len >= 1 &&
           frame->data[0] == kAnswerByte;
}

int canopen_init(void* vpcore, uint32_t etype, iodev_t** ppdev)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    plat_shell("ip link set can0 down");
    uint32_t baud = reg_get(kRegCanBaudrate);
    if (baud == 0) baud = kDefaultBaudrate;
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "ip link set can0 type can bitrate %d", (int)baud);
    plat_shell(cmd);
    log_info(g_logger, __FUNCTION__, __LINE__, "cmdBuf:%s", cmd);
    plat_shell("ip link set can0 up");

    int fd = plat_socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, " can socket error.");
        return -1;
    }
    if (const char* failure = can_socket_setup(fd)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s", failure);
        plat_close(fd);
        return -1;
    }
    iodev_t* dev = iodev_new(core);
    if (dev) {
        dev->fd = fd;
        dev->id = etype;
        dev->subdevFd = -1;
        dev->fdtype = IODEV_RAW_SOCKET;
        dev->family = PF_CAN;
        dev->socktype = SOCK_RAW;
        dev->protocol = CAN_RAW;
        dev->iostate = IOSTATE_READY;
        dev->cbpara = core;
        if (epcore_iodev_add(core, dev) != 0) {
            dev->fd = -1;
            iodev_discard(dev);
            dev = nullptr;
        }
    }
    if (!dev) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can iodev new fail.");
        plat_close(fd);
        return -1;
    }
    *ppdev = dev;
    return 0;
}

void* dev_can_io_test_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    set_task_name("dev_can_io_test_task");
    log_info(g_logger, __FUNCTION__, __LINE__, "============test task===========");
    if (!core->streamon.load()) {
        reg_put(kRegTofStream, 1);
        log_info(g_logger, __FUNCTION__, __LINE__, "open stream");
        wait_ms(100);
    }

    uint32_t saved[4];
    for (int i = 0; i < 4; i++) saved[i] = reg_get(kTakenRegs[i]);
    log_info(g_logger, __FUNCTION__, __LINE__, "testing...");
    for (int i = 0; i < 4; i++) reg_put(kTakenRegs[i], kTestValues[i]);
    canopen_stop(core);

    uint32_t result = io_loopback() ? kResultIo : 0;
    iodev_t* dev = nullptr;
    if (canopen_init(core, E_DEVICE_CAN, &dev) != 0) {
        // The register keeps 1000: the test did not run to its end.
        log_error(g_logger, __FUNCTION__, __LINE__, "canopen_init fail.");
    } else {
        set_nonblocking(dev->fd);
        if (can_exchange(dev->fd, reg_get(kRegCanNodeid))) result |= kResultCan;
        log_info(g_logger, __FUNCTION__, __LINE__, "test done,result:%d", (int)result);
        reg_put(kRegCanIoTest, result);
    }

    for (int i = 0; i < 4; i++) reg_put(kTakenRegs[i], saved[i]);
    if (dev) can_close(dev);
    if (!core->quit.load() && !canopen_running(core)) worker_create(core, E_WORKER_ID_STD_CANOPEN, std_canopen_task);
    log_info(g_logger, __FUNCTION__, __LINE__, "============end===========");
    worker_destory(wk);
    return nullptr;
}
