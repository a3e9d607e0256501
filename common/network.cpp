// Network configuration: the static IPv4 settings of "eth0" kept in
// "/userdata/const/net_config", the network task that applies them through
// the board's network scripts, and the kernel's view of the interface
// (address, mask, MAC, default gateway) for the bootstrap block and the
// discovery answers.
#include "common/network.h"

#include <errno.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "confile.h"
#include "log/logger.h"
#include "main/main.h"
#include "platform.h"
#include "worker.h"

// g_discover and g_flags, the control channel's discovery flags, come from
// GigE/gvcp.h.

namespace {

// A dotted quad is at most "255.255.255.255".
constexpr size_t kDottedRoom = 16;

// The stores rewrite the file in place (truncate, then write) and the
// network task reads it; neither may see the other half done.
std::mutex g_configLock;
// One network task at a time: two runs interleaving their commands would
// leave the interface with a mix of both.
std::mutex g_applyLock;
// A change stored while the task runs is folded into it: the task applies
// the stored settings once more before it ends, so the latest values win
// and no second task (nor a thread per request) is made. Both under
// g_taskLock.
std::mutex g_taskLock;
bool g_taskRunning = false;
bool g_taskAgain = false;

struct NetSettings {
    char ip[kDottedRoom];
    char mask[kDottedRoom];
    char gateway[kDottedRoom];
};

void format_dotted(uint32 value, char (&text)[kDottedRoom])
{
    snprintf(text, sizeof(text), "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFFu, (value >> 8) & 0xFFu,
             value & 0xFFu);
}

// Exactly four decimal fields of one to three digits, each at most 255,
// joined by single dots, with nothing before or after. Anything else (signs,
// blanks, hexadecimal, shell syntax, overlong text) is refused, so only the
// numbers - never the stored text - reach a command line.
bool parse_dotted(const char* text, uint32* value)
{
    if (!text) return false;
    uint32 v = 0;
    const char* p = text;
    for (int field = 0; field < 4; field++) {
        if (field > 0 && *p++ != '.') return false;
        uint32 part = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            part = part * 10 + (uint32)(*p++ - '0');
            digits++;
        }
        if (digits == 0 || digits > 3 || part > 255) return false;
        v = v << 8 | part;
    }
    if (*p != '\0') return false;
    *value = v;
    return true;
}

const char* err_text(int err, char* buf, size_t size)
{
    // The GNU strerror_r may return a static text instead of filling buf.
    return strerror_r(err, buf, size);
}

// The configuration file's manager; null (logged) when the board has none.
ConfMgmt* open_config()
{
    char host[PATH_MAX];
    ConfMgmt* conf = plat_path(NET_CONFIG_FILE, host, sizeof(host)) ? conf_mgmt_init(host) : nullptr;
    if (!conf) log_error(g_logger, __FUNCTION__, __LINE__, "file not exist %s", NET_CONFIG_FILE);
    return conf;
}

// Sets one key of the file to a dotted quad: true when stored.
bool store(const char* key, uint32 value)
{
    char text[kDottedRoom];
    format_dotted(value, text);
    std::lock_guard<std::mutex> lock(g_configLock);
    ConfMgmt* conf = open_config();
    if (!conf) return false;
    int rc = conf_set_string(conf, NET_CONFIG_SECTION, key, text);
    if (rc == 0) rc = conf_mgmt_save(conf, nullptr);
    conf_mgmt_cleanup(conf);
    if (rc != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s:%s not stored in %s (%d)", key, text, NET_CONFIG_FILE, rc);
        return false;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "%s:%s stored", key, text);
    return true;
}

// One stored setting, re-formatted from its numbers; false (logged) when
// missing or not a dotted quad.
bool read_setting(ConfMgmt* conf, const char* key, char (&out)[kDottedRoom])
{
    const char* text = conf_get_string(conf, NET_CONFIG_SECTION, key);
    uint32 value = 0;
    if (!parse_dotted(text, &value)) {
        size_t len = text ? strlen(text) : 0;
        log_error(g_logger, __FUNCTION__, __LINE__, "invalid %s \"%s\"%s in %s, network settings not applied", key,
                  LogPeerText(text, len > 40 ? 40 : len).c_str(), len > 40 ? "..." : "", NET_CONFIG_FILE);
        return false;
    }
    format_dotted(value, out);
    return true;
}

bool read_settings(NetSettings* s)
{
    std::lock_guard<std::mutex> lock(g_configLock);
    ConfMgmt* conf = open_config();
    if (!conf) return false;
    bool ok = read_setting(conf, NET_CONFIG_IPADDRESS, s->ip) && read_setting(conf, NET_CONFIG_NETMASK, s->mask) &&
              read_setting(conf, NET_CONFIG_GATEWAY, s->gateway);
    conf_mgmt_cleanup(conf);
    return ok;
}

void run(const char* cmd)
{
    // The scripts report their own trouble; the task goes on either way.
    log_info(g_logger, __FUNCTION__, __LINE__, "%s", cmd);
    plat_shell(cmd);
}

// Settings through ifupdown: the interfaces file, then a restart of the
// networking service.
void apply_ifupdown(const NetSettings& s)
{
    char text[512];
    snprintf(text, sizeof(text),
             "# interfaces(5) file used by ifup(8) and ifdown(8)\n"
             "# Include files from /etc/network/interfaces.d:\n"
             "source-directory /etc/network/interfaces.d\n"
             "# The loopback network interface\n"
             "auto lo\n"
             "iface lo inet loopback\n"
             "\n"
             "auto " NET_INTERFACE_NAME "\n"
             "iface " NET_INTERFACE_NAME " inet static\n"
             "address %s\n"
             "netmask %s\n"
             "gateway %s\n",
             s.ip, s.mask, s.gateway);
    // Replaced whole, so a power cut leaves the old settings or the new ones.
    if (put_fileAtomic(NET_INTERFACES_FILE, text, strlen(text)) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Open network file error");
        return;
    }
    run("sudo ip addr flush dev " NET_INTERFACE_NAME);
    run("systemctl restart networking");
    run("systemctl restart networking");
}

// Settings through the init script's tools, applied at once.
void apply_s40network(const NetSettings& s)
{
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "ifconfig " NET_INTERFACE_NAME " %s netmask %s", s.ip, s.mask);
    run(cmd);
    snprintf(cmd, sizeof(cmd), "route add default gw %s", s.gateway);
    run(cmd);
}

void apply_stored_settings()
{
    uint64 freeSpace = 0;
    get_deviceFreeSpace("/", &freeSpace);
    log_info(g_logger, __FUNCTION__, __LINE__, "freeSpace:%lld", (long long)freeSpace);
    if (freeSpace < NET_APPLY_MIN_FREE_MIB) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no space in device, can not write file.");
        return;
    }
    NetSettings s{};
    if (!read_settings(&s)) return;
    log_info(g_logger, __FUNCTION__, __LINE__, "apply ip:%s mask:%s gateway:%s", s.ip, s.mask, s.gateway);
    if (plat_access(NET_S40NETWORK_FILE, F_OK) == 0) apply_s40network(s);
    else apply_ifupdown(s);
}

void release_controlling_host()
{
    const uint32 zero = 0;
    Bootstrap_WriteReg(REG_PRIMARY_APPLICATION_PORT, &zero, sizeof(zero));
    Bootstrap_WriteReg(REG_PRIMARY_APPLICATION_IP_ADDRESS, &zero, sizeof(zero));
    Bootstrap_WriteReg(REG_CONTROL_CHANNEL_PRIVILEGE, &zero, sizeof(zero));
}

// NLMSG_OK with every comparison on signed counts: the macro compares the
// header's unsigned length with the signed remainder, which clang refuses.
bool nlmsg_ok(const struct nlmsghdr* nh, int len)
{
    return len >= (int)sizeof(struct nlmsghdr) && nh->nlmsg_len >= sizeof(struct nlmsghdr) &&
           (long)nh->nlmsg_len <= (long)len;
}

// Keeps the gateway of the first IPv4 default route (0.0.0.0/0) of the main
// table that has one.
void take_default_route(const struct nlmsghdr* nh, bool* found, uint32* gateway)
{
    if (nh->nlmsg_len < NLMSG_LENGTH(sizeof(struct rtmsg))) return;
    const struct rtmsg* rt = static_cast<const struct rtmsg*>(NLMSG_DATA(nh));
    if (rt->rtm_family != AF_INET) return;
    uint32 table = rt->rtm_table;
    uint32 dst = 0, gw = 0;
    int len = (int)RTM_PAYLOAD(nh);
    for (const struct rtattr* a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        size_t payload = RTA_PAYLOAD(a);
        switch (a->rta_type) {
        case RTA_DST:
            if (payload >= sizeof(dst)) memcpy(&dst, RTA_DATA(a), sizeof(dst));
            break;
        case RTA_GATEWAY:
            if (payload >= sizeof(gw)) memcpy(&gw, RTA_DATA(a), sizeof(gw));
            break;
        case RTA_TABLE:
            if (payload >= sizeof(table)) memcpy(&table, RTA_DATA(a), sizeof(table));
            break;
        default:
            break;
        }
    }
    if (table != RT_TABLE_MAIN || dst != 0 || rt->rtm_dst_len != 0) return;
    if (!*found && gw != 0) {
        *gateway = ntohl(gw);
        *found = true;
    }
}

}  // namespace

void modifyIp(uint32 ipaddress) { store(NET_CONFIG_IPADDRESS, ipaddress); }

void modifyMask(uint32 mask) { store(NET_CONFIG_NETMASK, mask); }

void modifyGateway(uint32 gateway)
{
    if (!store(NET_CONFIG_GATEWAY, gateway)) return;
    epcore_t* core = get_pcore();
    std::lock_guard<std::mutex> lock(g_taskLock);
    if (g_taskRunning) {
        g_taskAgain = true;
        return;
    }
    int rc = core ? worker_create(core, E_WORKER_ID_IP, IP_Task) : -1;
    if (rc != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "network task not started: %d", rc);
        return;
    }
    g_taskRunning = true;
}

void modifyMode(uint32) {}

void* IP_Task(void* vwker)
{
    worker_t* wk = static_cast<worker_t*>(vwker);
    set_task_name("ip_task");
    {
        std::lock_guard<std::mutex> lock(g_applyLock);
        g_discover = 1;
        for (bool again = true; again;) {
            {
                std::lock_guard<std::mutex> task(g_taskLock);
                g_taskAgain = false;
            }
            release_controlling_host();
            wait_ms(100);
            apply_stored_settings();
            std::lock_guard<std::mutex> task(g_taskLock);
            again = g_taskAgain;
            // Cleared under the lock that a store tests: a change stored
            // after this starts a task of its own.
            if (!again) {
                g_taskRunning = false;
                g_discover = 0;
                g_flags = 0;
            }
        }
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end ip task");
    worker_destory(wk);
    return nullptr;
}

int GetLocalInfo(uint32* ipAddress, uint32* mask, uint32* macAddressH, uint32* macAddressL)
{
    char ebuf[128];
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "socket: %s", err_text(errno, ebuf, sizeof(ebuf)));
        return -1;
    }
    struct ifreq list[16];
    struct ifconf ifc {};
    ifc.ifc_len = sizeof(list);
    ifc.ifc_req = list;
    if (ioctl(fd, SIOCGIFCONF, &ifc) < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "SIOCGIFCONF: %s", err_text(errno, ebuf, sizeof(ebuf)));
        close(fd);
        return -1;
    }
    int rc = 0;
    for (int i = ifc.ifc_len / (int)sizeof(struct ifreq) - 1; i >= 0; i--) {
        if (strncmp(list[i].ifr_name, NET_INTERFACE_NAME, IFNAMSIZ) != 0) continue;
        struct ifreq req {};
        memcpy(req.ifr_name, NET_INTERFACE_NAME, sizeof(NET_INTERFACE_NAME));
        struct Query {
            unsigned long request;
            const char* name;
        } const queries[] = {
            {SIOCGIFFLAGS, "SIOCGIFFLAGS"},
            {SIOCGIFHWADDR, "SIOCGIFHWADDR"},
            {SIOCGIFADDR, "SIOCGIFADDR"},
            {SIOCGIFNETMASK, "SIOCGIFNETMASK"},
        };
        uint8 mac[6] = {};
        uint32 addr = 0, netmask = 0;
        for (const Query& q : queries) {
            if (ioctl(fd, q.request, &req) < 0) {
                log_error(g_logger, __FUNCTION__, __LINE__, "%s %s: %s", q.name, NET_INTERFACE_NAME,
                          err_text(errno, ebuf, sizeof(ebuf)));
                rc = -1;
                break;
            }
            struct sockaddr_in sin;
            switch (q.request) {
            case SIOCGIFHWADDR:
                memcpy(mac, req.ifr_hwaddr.sa_data, sizeof(mac));
                break;
            case SIOCGIFADDR:
                memcpy(&sin, &req.ifr_addr, sizeof(sin));
                addr = ntohl(sin.sin_addr.s_addr);
                break;
            case SIOCGIFNETMASK:
                memcpy(&sin, &req.ifr_netmask, sizeof(sin));
                netmask = ntohl(sin.sin_addr.s_addr);
                break;
            default:
                break;
            }
        }
        if (rc == 0) {
            if (ipAddress) *ipAddress = addr;
            if (mask) *mask = netmask;
            if (macAddressH) *macAddressH = (uint32)mac[0] << 8 | mac[1];
            if (macAddressL) *macAddressL = (uint32)mac[2] << 24 | (uint32)mac[3] << 16 | (uint32)mac[4] << 8 | mac[5];
        }
        break;
    }
    close(fd);
    return rc;
}

int GetDefaultGateway(uint32* gateway)
{
    char ebuf[128];
    int fd = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Socket Creation: %s", err_text(errno, ebuf, sizeof(ebuf)));
        return -1;
    }
    // The kernel answers a dump at once; the limit only bounds a broken one.
    struct timeval tv {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    struct {
        struct nlmsghdr nh;
        struct rtmsg rt;
    } req {};
    req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(struct rtmsg));
    req.nh.nlmsg_type = RTM_GETROUTE;
    req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.nh.nlmsg_seq = 0;
    req.nh.nlmsg_pid = (uint32)getpid();
    req.rt.rtm_family = AF_INET;
    if (send(fd, &req, req.nh.nlmsg_len, 0) != (ssize_t)req.nh.nlmsg_len) {
        log_error(g_logger, __FUNCTION__, __LINE__, "Write To Socket Failed: %s", err_text(errno, ebuf, sizeof(ebuf)));
        close(fd);
        return -1;
    }

    // Each datagram is taken whole and parsed on its own, so a route table
    // of any size is read without running out of room.
    alignas(struct nlmsghdr) char buf[8192];
    bool found = false, done = false;
    uint32 gw = 0;
    int rc = 0;
    while (!done && rc == 0) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "Read From Socket Failed: %s",
                      n < 0 ? err_text(errno, ebuf, sizeof(ebuf)) : "no data");
            rc = -1;
            break;
        }
        if ((size_t)n > sizeof(buf)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "Error in recieved packet: %zd bytes", n);
            rc = -1;
            break;
        }
        int len = (int)n;
        const struct nlmsghdr* nh = reinterpret_cast<const struct nlmsghdr*>(buf);
        for (; nlmsg_ok(nh, len); nh = NLMSG_NEXT(nh, len)) {
            if (nh->nlmsg_type == NLMSG_DONE) {
                done = true;
                break;
            }
            if (nh->nlmsg_type == NLMSG_ERROR) {
                log_error(g_logger, __FUNCTION__, __LINE__, "Error in recieved packet");
                rc = -1;
                break;
            }
            if (nh->nlmsg_type == RTM_NEWROUTE) take_default_route(nh, &found, &gw);
            if (!(nh->nlmsg_flags & NLM_F_MULTI)) {
                done = true;
                break;
            }
        }
        if (!done && rc == 0 && len > 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "Error in recieved packet");
            rc = -1;
        }
    }
    close(fd);
    if (rc == 0 && gateway) *gateway = gw;
    return rc;
}
