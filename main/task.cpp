// Supervision and device-action tasks: board temperature into the ToF page,
// Ethernet link speed into the bootstrap block, the status LED, a log of
// incoming pings, reboot, process restart, and the watchdog, clock and
// update tasks. Every board access goes through the platform seam.
#include "main/task.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <linux/watchdog.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "main/task_internal.h"
#include "peripheral/led.h"
#include "platform.h"
#include "worker.h"

char g_timeCmd[64];

namespace supervision {

namespace {

constexpr uint32 kCpuIdAddress = 0x10007024;
constexpr uint32 kLdTemperatureAddress = 0x10002038;
constexpr const char* kEthernet = "eth0";
constexpr int kPhyStatusReg = 26;
constexpr unsigned kNapSliceMs = 10;
constexpr const char* kPagingFault = "handle kernel paging request at virtual";

void store_ld_temperature(float t)
{
    uint32 word = 0;
    float2hex(t, &word);
    Custom_RegWrite(kLdTemperatureAddress, &word);
}

} // namespace

float temperature_from_raw(uint16 raw)
{
    uint32 steps = (uint32)raw >> 3;
    float t = (float)steps * 0.0625f;
    return steps > 4095 ? t - 512.0f : t;
}

int read_temperature(int fd, float* temp)
{
    uint16 raw = 0;
    bool ok = i2c_read16bit(fd, kTempSensorAddr, kTempSensorReg, &raw) == 0;
    if (temp) *temp = ok ? temperature_from_raw(raw) : kNoTemperature;
    return ok ? 0 : -1;
}

float temperature_mean(int fd)
{
    // A failed reading is left out: counted as -1000 it would drag the
    // mean of the good ones to a plainly wrong temperature.
    float sum = 0.0f;
    int good = 0;
    for (int i = 0; i < kTempReadings; i++) {
        if (i > 0) wait_ms(kTempReadingGapMs);
        float t = 0.0f;
        if (read_temperature(fd, &t) == 0) {
            sum += t;
            good++;
        }
    }
    return good ? sum / (float)good : kNoTemperature;
}

const char* temperature_bus(uint32 cpuId)
{
    switch (cpuId) {
    case E_CPU_RK3568: return "/dev/i2c-2";
    case E_CPU_RK3576: return "/dev/i2c-4";
    default: return "/dev/i2c-6";
    }
}

uint32 link_speed_of(uint16 phyStatus)
{
    switch ((phyStatus >> 4) & 3) {
    case 2: return 1000;
    case 1: return 100;
    default: return 10;
    }
}

unsigned netcard_step(int sock)
{
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, kEthernet, IFNAMSIZ - 1);
    if (plat_ioctl(sock, SIOCGIFFLAGS, &ifr) < 0) return 1;
    if (!(ifr.ifr_flags & IFF_RUNNING)) return 500;
    if (plat_ioctl(sock, SIOCGMIIPHY, &ifr) < 0) return 1;
    auto* mii = reinterpret_cast<struct mii_ioctl_data*>(&ifr.ifr_ifru);
    mii->reg_num = kPhyStatusReg;
    if (plat_ioctl(sock, SIOCGMIIREG, &ifr) < 0) return 1;
    uint32 speed = link_speed_of(mii->val_out);
    Bootstrap_WriteReg(REG_LINK_SPEED, &speed, sizeof(speed));
    return 1000;
}

bool is_echo_request(const uint8* packet, size_t length)
{
    if (!packet || length < 20 || (packet[0] >> 4) != 4) return false;
    // The ICMP header follows the IP header, whose length the header gives.
    size_t ihl = (size_t)(packet[0] & 0x0F) * 4;
    if (ihl < 20 || length <= ihl) return false;
    return packet[9] == IPPROTO_ICMP && packet[ihl] == 8;
}

int ping_receive(int sock, int waitMs)
{
    struct pollfd p = {sock, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return 0;
    uint8 buf[1500];
    struct sockaddr_in from;
    socklen_t fromLen = sizeof(from);
    memset(&from, 0, sizeof(from));
    ssize_t n = recvfrom(sock, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &fromLen);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        log_error(g_logger, __FUNCTION__, __LINE__, "recvfrom");
        return -1;
    }
    if (!is_echo_request(buf, (size_t)n)) return 0;
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
    log_info(g_logger, __FUNCTION__, __LINE__, "Received ICMP ECHO request from %s", ip);
    return 1;
}

int watchdog_check(iodev_t* pdev, const char* dmesgText, bool* shortened)
{
    if (!pdev) return -1;
    if (dmesgText && strstr(dmesgText, kPagingFault)) {
        if (shortened && !*shortened) {
            int timeout = 1;
            plat_ioctl(pdev->fd, WDIOC_SETTIMEOUT, &timeout);
            *shortened = true;
        }
        log_info(g_logger, __FUNCTION__, __LINE__, "kernel coredump do not need feed watchdog");
        return 0;
    }
    return feed_watchdog(pdev) == 0 ? 1 : 0;
}

bool running(worker_t* wk) { return !wk->quit.load() && !wk->epcore->quit.load(); }

bool nap(worker_t* wk, unsigned ms)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (running(wk)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return true;
        wait_ms((unsigned long)std::min<long long>(left, kNapSliceMs));
    }
    return false;
}

} // namespace supervision

using namespace supervision;

namespace {

// The controlling host gives up the control channel: its port, address and
// privilege are cleared.
void release_controlling_host()
{
    const uint32 zero = 0;
    Bootstrap_WriteReg(REG_PRIMARY_APPLICATION_PORT, &zero, sizeof(zero));
    Bootstrap_WriteReg(REG_PRIMARY_APPLICATION_IP_ADDRESS, &zero, sizeof(zero));
    Bootstrap_WriteReg(REG_CONTROL_CHANNEL_PRIVILEGE, &zero, sizeof(zero));
}

// On and off for one period of the given half length: false when told to quit.
bool blink(worker_t* wk, uint32 gpio)
{
    unsigned half = wk->epcore->streamon.load() ? 500 : 1000;
    LED_Control(gpio, 1);
    if (!nap(wk, half)) return false;
    LED_Control(gpio, 0);
    return nap(wk, half);
}

} // namespace

void* REBOOT_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("reboot");
    g_discover = 1; // no discovery answers while the board goes down
    release_controlling_host();
    wait_ms(100);
    plat_shell("reboot");
    worker_destory(wk);
    return nullptr;
}

void* ReinitProcess_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("reinit");
    wait_ms(100);
    plat_shell("killall -9 korvid");
    worker_destory(wk);
    return nullptr;
}

void* temp_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("temp");
    uint32 cpu = 0;
    Custom_RegRead(kCpuIdAddress, &cpu);
    const char* bus = temperature_bus(cpu);
    int fd = plat_open(bus, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", bus);
        store_ld_temperature(kNoTemperature);
        worker_destory(wk);
        return nullptr;
    }
    plat_ioctl(fd, I2C_TIMEOUT, 2UL);
    plat_ioctl(fd, I2C_RETRIES, 1UL);
    while (running(wk)) {
        store_ld_temperature(temperature_mean(fd));
        if (!nap(wk, 400)) break;
    }
    plat_close(fd);
    log_info(g_logger, __FUNCTION__, __LINE__, "end temp task");
    worker_destory(wk);
    return nullptr;
}

void* netcard_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("netcard");
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "netcard socket fail.");
        worker_destory(wk);
        return nullptr;
    }
    while (running(wk)) {
        if (!nap(wk, netcard_step(sock))) break;
    }
    close(sock);
    log_info(g_logger, __FUNCTION__, __LINE__, "end network task");
    worker_destory(wk);
    return nullptr;
}

void* led_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("led");
    while (running(wk) && blink(wk, GPIO_STATUS_LED)) {
    }
    worker_destory(wk);
    return nullptr;
}

void* ping_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("ping");
    int sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (sock < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "socket");
        worker_destory(wk);
        return nullptr;
    }
    struct sockaddr_in any;
    memset(&any, 0, sizeof(any));
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock, reinterpret_cast<struct sockaddr*>(&any), sizeof(any)) < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "bind");
        close(sock);
        worker_destory(wk);
        return nullptr;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "Listening for ICMP packets...");
    // Receives wait a bounded time so the task sees its quit flag.
    while (running(wk)) {
        if (ping_receive(sock, 100) < 0 && !nap(wk, 100)) break;
    }
    close(sock);
    worker_destory(wk);
    return nullptr;
}

int watchdog_init(void* vpcore, uint32 type, iodev_t** ppdev)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    int fd = plat_open("/dev/watchdog", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "not support watchdog.");
        return -1;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "fd:%d", fd);
    int timeout = 40;
    plat_ioctl(fd, WDIOC_SETTIMEOUT, &timeout);
    iodev_t* dev = iodev_new(core);
    if (dev) {
        dev->fd = fd;
        dev->id = type;
        dev->subdevFd = -1;
        dev->fdtype = IODEV_FILE;
        dev->iostate = IOSTATE_READY;
        dev->cbpara = core;
        if (epcore_iodev_add(core, dev) != 0) {
            dev->fd = -1;
            iodev_discard(dev);
            dev = nullptr;
        }
    }
    if (!dev) {
        // Nobody would feed it: stop it rather than let the board reset.
        plat_write(fd, "V", 1);
        plat_close(fd);
        log_error(g_logger, __FUNCTION__, __LINE__, "watchdog device add fail.");
        return -1;
    }
    *ppdev = dev;
    log_info(g_logger, __FUNCTION__, __LINE__, "pdev:%p", static_cast<void*>(dev));
    return 0;
}

int feed_watchdog(iodev_t* pdev)
{
    if (!pdev || pdev->fd < 0) return -1;
    const uint8 zero = 0;
    return plat_write(pdev->fd, &zero, 1) == 1 ? 0 : -1;
}

int close_watchdog(iodev_t* pdev)
{
    if (!pdev) return -1;
    // The node is the board's: it is closed through the seam, and the
    // device record must not close the number again.
    EnterCriticalSection(&pdev->fdCS);
    int fd = pdev->fd;
    __atomic_store_n(&pdev->fd, -1, __ATOMIC_RELAXED);
    LeaveCriticalSection(&pdev->fdCS);
    if (fd >= 0) {
        plat_write(fd, "V", 1);
        plat_close(fd);
    }
    iodev_close(pdev);
    return fd >= 0 ? 0 : -1;
}

void* watchdog_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("watchdog");
    iodev_t* dev = nullptr;
    if (watchdog_init(wk->epcore, E_DEVICE_WATCHDOG, &dev) == 0) {
        bool shortened = false;
        char text[2048 + 1];
        while (running(wk)) {
            text[0] = '\0';
            plat_shell_output("dmesg | grep \"handle kernel paging request at virtual\" ", text, sizeof(text));
            watchdog_check(dev, text, &shortened);
            if (!blink(wk, GPIO_WATCHDOG_LED)) break;
        }
        close_watchdog(dev);
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end watchdog task");
    worker_destory(wk);
    return nullptr;
}

void* TimeStamp_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("timestamp");
    char cmd[sizeof(g_timeCmd) + 1] = {};
    memcpy(cmd, g_timeCmd, sizeof(g_timeCmd));
    log_info(g_logger, __FUNCTION__, __LINE__, "set time:%s", cmd);
    if (cmd[0]) plat_shell(cmd);
    plat_shell("hwclock -w");
    memset(g_timeCmd, 0, sizeof(g_timeCmd));
    worker_destory(wk);
    return nullptr;
}

void* UPDATE_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("update");
    wait_ms(100);
    plat_shell("/usr/bin/update ota /userdata/update.img");
    worker_destory(wk);
    return nullptr;
}

int sensor_tof_get_sensor_temperature(int fd, float* temp) { return read_temperature(fd, temp); }

int sensor_tof_get_ld_temperature(int fd, float* temp, float*) { return read_temperature(fd, temp); }

void cpld_heartbeats(uint32 delayMs) { wait_ms((unsigned long)delayMs * 100ul); }
