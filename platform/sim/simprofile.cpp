/* Board profiles: what a simulated board carries, and the board root a
 * profile lays out, from nothing or over the root of an earlier run.
 *
 * Hardware facts (chip id, device-tree model, kernel, sysfs skeleton) are
 * written at every start; what a board keeps across restarts (/userdata,
 * /etc settings, firmware images) is created only when missing. */
#include "confile.h"
#include "siminternal.h"
#include "strutil.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#ifndef KORVID_PROFILE_DIR
#define KORVID_PROFILE_DIR "profiles"
#endif

namespace {

const char* kKernelPrefix = "Linux version 5.10.160 (builder@korvid) (gcc version 10.3.1) #1 SMP ";

void copy_str(char* dst, size_t size, const char* src)
{
    snprintf(dst, size, "%s", src ? src : "");
}

constexpr const char* kListSeps = " \t,";

bool parse_mac(const char* s, uint8_t mac[6])
{
    unsigned v[6];
    char tail;
    if (!s || sscanf(s, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6) return false;
    for (int i = 0; i < 6; i++) {
        if (v[i] > 0xFF) return false;
        mac[i] = (uint8_t)v[i];
    }
    return true;
}

/* "RK3588" -> 'R' 'K' 0x35 0x88: the form the OTP holds the chip name in. */
bool chip_bytes(const char* chip, uint8_t out[4])
{
    if (strlen(chip) != 6) return false;
    for (int i = 0; i < 2; i++)
        if (chip[i] < 'A' || chip[i] > 'Z') return false;
    uint32_t hi, lo;
    if (str_hextou(chip + 2, 2, &hi) != 2 || str_hextou(chip + 4, 2, &lo) != 2) return false;
    out[0] = (uint8_t)chip[0];
    out[1] = (uint8_t)chip[1];
    out[2] = (uint8_t)hi;
    out[3] = (uint8_t)lo;
    return true;
}

bool has_ini_suffix(const std::string& n) { return n.size() > 4 && n.ends_with(".ini"); }

int layout_file(const std::string& root, const char* board_path, const std::string& data, bool only_if_missing)
{
    return sim::write_file(root + board_path, data.data(), data.size(), only_if_missing);
}

/* Firmware images: distinct, repeatable contents per file name. */
std::string image_bytes(const std::string& name)
{
    uint32_t x = 2166136261u;
    for (char c : name) x = (x ^ (uint8_t)c) * 16777619u;
    std::string img(8192, '\0');
    for (auto& ch : img) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        ch = (char)(x & 0xFF);
    }
    return img;
}

} // namespace

namespace sim {

std::string profile_file(const char* name)
{
    std::string n = name ? name : "";
    if (n.find('/') != std::string::npos || has_ini_suffix(n)) return n;
    return std::string(sim_profile_dir()) + "/" + n + ".ini";
}

std::string profile_names()
{
    std::vector<std::string> names;
    if (DIR* d = opendir(sim_profile_dir())) {
        while (const dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (has_ini_suffix(n)) names.push_back(n.substr(0, n.size() - 4));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out.empty() ? std::string("(none in ") + sim_profile_dir() + ")" : out;
}

bool parse_long(const std::string& s, long* v)
{
    char* end = nullptr;
    errno = 0;
    long x = strtol(s.c_str(), &end, 0);
    if (errno || end == s.c_str() || *end) return false;
    *v = x;
    return true;
}

std::vector<std::string> words(const char* s, const char* seps)
{
    // The longest profile list (512 bytes) holds at most 256 words.
    constexpr int kMaxWords = 256;
    void* list[kMaxWords];
    int   lens[kMaxWords];
    int   n = string_tokenize(s, -1, seps, -1, list, lens, kMaxWords);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++) out.emplace_back(static_cast<const char*>(list[i]), (size_t)lens[i]);
    return out;
}

} // namespace sim

const char* sim_profile_dir(void) { return KORVID_PROFILE_DIR; }

int sim_profile_load(const char* name_or_path, sim_profile_t* out)
{
    return fenced<int>(-1, [&]() -> int {
        if (!name_or_path || !*name_or_path || !out) {
            errno = EINVAL;
            return -1;
        }
        std::string path = sim::profile_file(name_or_path);
        std::unique_ptr<ConfMgmt, int (*)(ConfMgmt*)> guard(conf_mgmt_init(path.c_str()), conf_mgmt_cleanup);
        ConfMgmt* conf = guard.get();
        if (!conf) {
            errno = ENOENT;
            return -1;
        }
        memset(out, 0, sizeof(*out));
        auto str = [&](const char* sect, const char* key, const char* def) {
            const char* v = conf_get_string(conf, sect, key);
            return v ? v : def;
        };
        std::string base = path.substr(path.rfind('/') + 1); // npos + 1: the whole path
        if (has_ini_suffix(base)) base.resize(base.size() - 4);
        copy_str(out->name, sizeof(out->name), str("BOARD", "NAME", base.c_str()));
        copy_str(out->chip, sizeof(out->chip), str("BOARD", "CHIP", ""));
        copy_str(out->model, sizeof(out->model), str("BOARD", "MODEL", ""));
        copy_str(out->tof_sensor, sizeof(out->tof_sensor), str("BOARD", "TOF_SENSOR", ""));
        copy_str(out->colour_sensor, sizeof(out->colour_sensor), str("BOARD", "COLOUR_SENSOR", ""));
        copy_str(out->cpu_serial, sizeof(out->cpu_serial), str("BOARD", "CPU_SERIAL", "0000000000000000"));
        snprintf(out->proc_version, sizeof(out->proc_version), "%s%s", kKernelPrefix,
                 str("BOARD", "KERNEL_BUILT", "Mon Jan 19 10:20:30 CST 2026"));
        out->rtc = conf_get_bool(conf, "BOARD", "RTC");
        out->s40network = conf_get_bool(conf, "BOARD", "S40NETWORK");
        out->usb_camera = conf_get_bool(conf, "BOARD", "USB_CAMERA");
        int speed = conf_get_int(conf, "BOARD", "LINK_SPEED");
        out->link_speed = speed < 0 ? 1000 : speed;
        const char* temp = conf_get_string(conf, "BOARD", "TEMPERATURE");
        out->temperature = temp ? conf_get_double(conf, "BOARD", "TEMPERATURE") : 35.0;
        const char* fm = conf_get_string(conf, "BOARD", "FREE_MIB");
        out->free_mib = fm ? strtoull(fm, nullptr, 0) : 4096;
        copy_str(out->mounts, sizeof(out->mounts), str("BOARD", "MOUNTS", "/ /userdata /oem"));
        copy_str(out->fpga_images, sizeof(out->fpga_images), str("BOARD", "FPGA_IMAGES", ""));
        copy_str(out->serial_ports, sizeof(out->serial_ports), str("BOARD", "SERIAL_PORTS", ""));
        for (const auto& g : sim::words(conf_get_string(conf, "BOARD", "GPIO_INPUTS"), kListSeps)) {
            size_t colon = g.find(':');
            long line, level;
            if (colon == std::string::npos || !sim::parse_long(g.substr(0, colon), &line) ||
                !sim::parse_long(g.substr(colon + 1), &level) || out->gpio_count >= SIM_GPIO_MAX_INPUTS)
                continue;
            out->gpio_line[out->gpio_count] = (int)line;
            out->gpio_level[out->gpio_count] = level ? 1 : 0;
            out->gpio_count++;
        }
        for (const auto& d : sim::words(conf_get_string(conf, "I2C", "DEVICES"), kListSeps)) {
            // kind@bus:addr
            size_t at = d.find('@'), colon = d.find(':');
            long bus, addr;
            if (at == std::string::npos || colon == std::string::npos || colon < at ||
                !sim::parse_long(d.substr(at + 1, colon - at - 1), &bus) || !sim::parse_long(d.substr(colon + 1), &addr) ||
                out->i2c_count >= SIM_I2C_MAX_DEVICES)
                continue;
            sim_i2c_spec_t& s = out->i2c[out->i2c_count++];
            copy_str(s.kind, sizeof(s.kind), d.substr(0, at).c_str());
            s.bus = (int)bus;
            s.addr = (int)addr;
        }
        copy_str(out->serial, sizeof(out->serial), str("VENDOR", "SERIAL", ""));
        copy_str(out->board_code, sizeof(out->board_code), str("VENDOR", "BOARD_CODE", ""));
        if (!parse_mac(conf_get_string(conf, "VENDOR", "MAC"), out->mac)) {
            static const uint8_t kMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
            memcpy(out->mac, kMac, sizeof(kMac));
        }
        copy_str(out->ipaddress, sizeof(out->ipaddress), str("NETWORK", "IPADDRESS", "192.168.100.82"));
        copy_str(out->netmask, sizeof(out->netmask), str("NETWORK", "NETMASK", "255.255.0.0"));
        copy_str(out->gateway, sizeof(out->gateway), str("NETWORK", "GATEWAY", "192.168.100.1"));
        return 0;
    });
}

int sim_profile_layout(const char* root_arg, const sim_profile_t* p)
{
    return fenced<int>(-1, [&]() -> int {
        if (!root_arg || !*root_arg || !p) {
            errno = EINVAL;
            return -1;
        }
        std::string root = root_arg;
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        static const char* const kDirs[] = {
            "",          "/dev",          "/etc",           "/etc/network",   "/etc/init.d", "/userdata",
            "/userdata/const", "/oem",    "/oem/default",   "/tmp",           "/var/log",    "/proc/device-tree",
            "/sys/bus/nvmem/devices/rockchip-otp0", "/sys/class/gpio", "/sys/class/pwm/pwmchip0",
            "/sys/class/pwm/pwmchip1", "/.board",
        };
        for (const char* d : kDirs) {
            int rc = sim::make_dirs(root + d);
            if (rc) {
                errno = -rc;
                return -1;
            }
        }
        int rc = 0;
        auto put = [&](const char* path, const std::string& data, bool only_if_missing) {
            int r = layout_file(root, path, data, only_if_missing);
            if (r && !rc) rc = r;
        };

        // Hardware facts: the same at every start of this board.
        const char* otp = "/sys/bus/nvmem/devices/rockchip-otp0/nvmem";
        uint8_t id[4];
        if (chip_bytes(p->chip, id)) {
            std::string nv(64, '\0');
            memcpy(&nv[0], id, 4);
            static const uint8_t kRest[4] = {0x91, 0xfe, 0x21, 0x41};
            memcpy(&nv[4], kRest, 4);
            put(otp, nv, false);
        } else {
            unlink((root + otp).c_str());
        }
        put("/proc/device-tree/model", std::string(p->model) + '\0', false);
        put("/proc/version", std::string(p->proc_version) + "\n", false);
        put("/proc/cpuinfo",
            std::string("processor\t: 0\nBogoMIPS\t: 48.00\nHardware\t: Rockchip\nSerial\t\t: ") + p->cpu_serial + "\n",
            false);
        put("/sys/class/gpio/export", "", true);
        put("/sys/class/gpio/unexport", "", true);
        for (const char* chip : {"/sys/class/pwm/pwmchip0", "/sys/class/pwm/pwmchip1"}) {
            put((std::string(chip) + "/export").c_str(), "", true);
            put((std::string(chip) + "/unexport").c_str(), "", true);
            put((std::string(chip) + "/npwm").c_str(), "1\n", true);
        }
        if (p->s40network) put("/etc/init.d/S40network", "#!/bin/sh\n", true);
        else unlink((root + "/etc/init.d/S40network").c_str());
        if (!p->rtc) unlink((root + "/dev/rtc0").c_str());
        put("/.board/profile", std::string(p->name) + "\n", false);
#ifdef KORVID_GENICAM_ZIP
        // Factory content: the device's GenICam description package.
        {
            std::ifstream zip(KORVID_GENICAM_ZIP, std::ios::binary);
            if (zip) put("/oem/default/korvid.zip", std::string(std::istreambuf_iterator<char>(zip), {}), false);
        }
#endif

        // What a fresh board has; later starts keep what korvid made of it.
        put("/etc/spdlog.conf",
            "[SPDLOG]\nFILE_NAME=/var/log/camera.log\nFILE_SIZE=20\nROTATE_NUM=10\n\n"
            "[SPDLOG_RUNTIME]\nFILE_NAME=/var/log/camera_runtime.log\nFILE_SIZE=20\nROTATE_NUM=10\n",
            true);
        put("/userdata/const/net_config",
            std::string("[IPCONFIG]\nIPADDRESS=") + p->ipaddress + "\nNETMASK=" + p->netmask + "\nGATEWAY=" + p->gateway +
                "\n",
            true);
        put("/etc/resolv.conf", std::string("nameserver ") + p->gateway + "\n", true);
        if (strcmp(p->tof_sensor, "Gpixel0503") == 0) {
            // The factory frequency table: per pair of modulation frequencies
            // (MHz) the clock settings that give them exactly on this sensor,
            // 24 MHz x div_n / (divider of div_i and div_b) / (opt + 3).
            put("/userdata/const/support_freq.csv",
                "f1,f2,div_i,div_b,div_n,freq0_opt,freq1_opt\n"
                "96,60,3,0,40,2,5\n"
                "100,60,3,0,25,0,2\n"
                "112,64,2,0,56,1,4\n"
                "120,75,3,0,50,2,5\n",
                true);
        }
        for (const auto& img : sim::words(p->fpga_images, kListSeps)) {
            if (img.find('/') != std::string::npos || img == "." || img == "..") continue;
            put(("/etc/" + img).c_str(), image_bytes(img), true);
        }
        if (strcmp(p->tof_sensor, "imx570") == 0) {
            // The IMX570's tables: one group per frequency from the phase
            // setting's limit down to 3 MHz, all on one sensor clock; the
            // third column is the frequency the simulated sensor runs at.
            auto freqs = [](int limit) {
                std::string t;
                for (int f = limit; f >= 3; f--)
                    t += std::to_string(f) + ",120," + std::to_string(f) + ",1\n";
                return t;
            };
            put("/userdata/const/freq.csv", freqs(150), true);
            put("/userdata/const/3freq.csv", freqs(100), true);
            put("/userdata/const/phase.csv", "1,0,16\n1,64,16\n1,128,16\n1,192,16\n", true);
            put("/userdata/const/3phase.csv", "1,0,16\n1,85,16\n1,170,16\n", true);
            put("/userdata/const/imxck.csv", "120,6,300\n96,4,240\n", true);
        }
        if (rc) {
            errno = -rc;
            return -1;
        }
        return 0;
    });
}
