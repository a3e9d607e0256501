// Board identification: the SoC from its OTP chip name, the sensors behind
// the camera interfaces and the chips that answer on the board's buses, the
// board revision; the identity items in the SoC's vendor storage; and the
// FPGA/CPLD images that drive the ToF illumination and timing.
#include "common/board.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "common/common.h"
#include "common/custom.h"
#include "common/json_parse.h"
#include "log/logger.h"
#include "media-ctl/libmediactl.h"
#include "peripheral/led.h"
#include "platform.h"
#include "sensor/sensor.h"

uint32_t g_tofSensorType = 0;
uint32_t g_rgbSensorType = 0;
uint32_t g_hardWireCheck = 0;

namespace {

constexpr const char* kOtpPath = "/sys/bus/nvmem/devices/rockchip-otp0/nvmem";
constexpr const char* kModelPath = "/proc/device-tree/model";
constexpr const char* kCpuInfoPath = "/proc/cpuinfo";
constexpr const char* kVendorPath = "/dev/vendor_storage";
constexpr const char* kCpldPath = "/dev/dev_cpld";
constexpr const char* kRtcPath = "/dev/rtc0";

constexpr uint32_t kRegMasterSlaveMode = 0x10000054;
constexpr uint32_t kRegPhaseOptions = 0x100000EC;
constexpr uint32_t kRegTofKind = 0x10002000;
constexpr uint32_t kRegDevLogic = 0x10007050;

uint32_t reg(uint32_t address)
{
    uint32_t v = 0;
    Custom_RegRead(address, &v);
    return v;
}

// ---- Sensors ----

// Sensor names carry a six-character port prefix ("m00_b_"); what follows
// names the chip. A name too short for the prefix names nothing.
const char* chip_part(const char* sensorName)
{
    return strnlen(sensorName, 6) == 6 ? sensorName + 6 : "";
}

bool names(const char* chip, const char* name) { return strncmp(chip, name, strlen(name)) == 0; }

uint32_t tof_kind_of(const char* chip)
{
    if (names(chip, "Gpixel0503")) return E_GPIXEL_0503;
    if (names(chip, "VD55H1")) return E_VD55H1;
    if (names(chip, "imx570")) return E_IMX570;
    if (names(chip, "fh8323")) return E_FH8320;
    return E_SENSOR_NONE;
}

enum class Graph { Sensor, NoSensor, Failed };

// Looks for the sensor feeding entity `entity` of media node `node`; a graph
// that cannot be used is logged.
Graph find_sensor(const char* node, const char* entity, char* sensorName)
{
    struct media_device* media = media_device_new(node);
    if (!media) {
        log_error(g_logger, __FUNCTION__, __LINE__, "media_device_new fail.");
        return Graph::Failed;
    }
    // A graph read only in part may still hold the entity.
    media_device_enumerate(media);
    Graph result = Graph::Failed;
    struct media_entity* e = media_get_entity_by_name(media, entity);
    const char* devname = e ? media_entity_get_devname(e) : nullptr;
    if (!e) {
        log_error(g_logger, __FUNCTION__, __LINE__, "media_get_entity_by_name fail.");
    } else if (!devname) {
        log_error(g_logger, __FUNCTION__, __LINE__, "media_entity_get_devname fail.");
    } else {
        char vnode[MEDIA_DEVNAME_MAX];
        snprintf(vnode, sizeof(vnode), "%s", devname);
        char subNode[SENSOR_NODE_NAME_MAX] = {};
        result = sensor_find_subdev(vnode, subNode, sensorName) == 0 ? Graph::Sensor : Graph::NoSensor;
    }
    media_device_unref(media);
    return result;
}

// The ToF and colour graphs of a CPU type; false for a type without them.
bool graphs_of(int cpu, const char** tofNode, const char** rgbNode, const char** rgbEntity)
{
    switch (cpu) {
    case E_CPU_RK3588:
        *tofNode = "/dev/media1";
        *rgbNode = "/dev/media0";
        *rgbEntity = "stream_cif_mipi_id0";
        return true;
    case E_CPU_RK3568:
        *tofNode = "/dev/media0";
        *rgbNode = "/dev/media1";
        *rgbEntity = "rkisp-isp-subdev";
        return true;
    case E_CPU_RK3576:
        *tofNode = "/dev/media0";
        *rgbNode = "/dev/media0";
        *rgbEntity = "stream_cif_mipi_id0";
        return true;
    default: return false;
    }
}

uint32_t rgb_kind_of(const char* chip, int cpu)
{
    if (names(chip, "sc230ai")) {
        log_info(g_logger, __FUNCTION__, __LINE__, "=========sc230ai========");
        if (g_dev_cfg) {
            SensorInfo& rgb = g_dev_cfg->sensor[DEV_CFG_SENSOR_RGB].info;
            // Left as it is when the tuning file has no answer.
            uint32_t mode = reg_load(rgb.enableAutoExposure);
            get_exporse_mode(&mode, cpu);
            reg_store(rgb.enableAutoExposure, mode);
            reg_store(g_dev_cfg->common.cameraRgbEncType, (uint32_t)E_CAMERA_RGB_ENC_JPEG);
        }
        return E_SMARTSENS_SC230AI;
    }
    if (names(chip, "sc2210")) {
        log_info(g_logger, __FUNCTION__, __LINE__, "=========sc2210========");
        return E_SMARTSENS_SC2210;
    }
    if (names(chip, "fh8323")) {
        log_info(g_logger, __FUNCTION__, __LINE__, "=========fh8323========");
        return E_FH8323;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "=========sc130gs========");
    return E_SMARTSENS_SC130GS;
}

// ---- Bus probes ----

struct Probe {
    int         addr;
    uint32_t    bit;
    const char* message;
};

// Opens a bus as the probes want it: short time-out, one retry; -1 when it
// cannot be opened (every chip on it then counts as silent).
int open_bus(const char* path)
{
    int fd = plat_open(path, O_RDWR);
    if (fd < 0) return -1;
    plat_ioctl(fd, I2C_TIMEOUT, 2UL);
    plat_ioctl(fd, I2C_RETRIES, 1UL);
    return fd;
}

uint32_t probe_bus(const char* path, const Probe* probes, size_t count)
{
    uint32_t word = 0;
    int fd = open_bus(path);
    for (size_t i = 0; i < count; ++i) {
        uint16 v = 0;
        if (fd < 0 || i2c_read16bit(fd, (uint16)probes[i].addr, 0, &v) != 0) {
            word |= probes[i].bit;
            log_error(g_logger, __FUNCTION__, __LINE__, "%s", probes[i].message);
        }
    }
    if (fd >= 0) plat_close(fd);
    return word;
}

uint32_t probe_buses(int cpu)
{
    static constexpr Probe kLaser[] = {{0x48, HW_CHECK_LD_TEMP_LEFT, "ld temp left error"},
                                       {0x49, HW_CHECK_LD_TEMP_RIGHT, "ld temp right error"}};
    static constexpr Probe kSensorTemp[] = {{0x48, HW_CHECK_SENSOR_TEMP, "sensor temp error"}};
    static constexpr Probe kImu[] = {{0x69, HW_CHECK_IMU, "imu error"}};
    uint32_t word = 0;
    if (cpu == E_CPU_RK3588 || cpu == E_CPU_RK3568) {
        bool rk3588 = cpu == E_CPU_RK3588;
        word |= probe_bus(rk3588 ? "/dev/i2c-6" : "/dev/i2c-2", kLaser, 2);
        word |= probe_bus(rk3588 ? "/dev/i2c-5" : "/dev/i2c-3", kSensorTemp, 1);
    }
    if (plat_access(kRtcPath, F_OK) != 0) {
        word |= HW_CHECK_RTC;
        log_error(g_logger, __FUNCTION__, __LINE__, "rtc error");
    }
    word |= probe_bus("/dev/i2c-3", kImu, 1);
    return word;
}

// ---- Vendor storage ----

// Sends one request; false (message on standard error) when the device
// cannot be opened or refuses.
bool vendor_request(int flags, unsigned long request, plat_vendor_req_t* req)
{
    int fd = plat_open(kVendorPath, flags);
    if (fd < 0) {
        fprintf(stderr, "vendor_storage open fail\n");
        return false;
    }
    int rc = plat_ioctl(fd, request, req);
    plat_close(fd);
    if (rc < 0) {
        if (request == PLAT_VENDOR_READ) fprintf(stderr, "vendor read error %d\n", rc);
        else fprintf(stderr, "vendor write error\n");
        return false;
    }
    return true;
}

void log_item(const char* what, int id, const char* data, size_t len, int prType)
{
    if (prType == 0) {
        // Items hold what hosts wrote (serial, board code).
        log_info(g_logger, __FUNCTION__, __LINE__, "vendor %s %d:%s", what, id, LogPeerText(data, len).c_str());
        return;
    }
    char hex[PLAT_VENDOR_DATA_MAX * 2 + 1] = {};
    for (size_t i = 0; i < len && i < PLAT_VENDOR_DATA_MAX; ++i)
        snprintf(hex + 2 * i, 3, "%02x", (unsigned)(uint8_t)data[i]);
    log_info(g_logger, __FUNCTION__, __LINE__, "vendor %s %d:%s", what, id, hex);
}

// ---- FPGA programming ----

// One programming at a time: the device takes a single image per open, and
// the same-mode test must see the mode the last programming recorded.
std::mutex g_fpgaLock;
// masterSlaveMode of the last successful fpga_upgrade; -1 before the first.
std::atomic<int64_t> g_lastMode{-1};

enum class Missing { Fails, Succeeds };

struct CloseFile {
    void operator()(FILE* f) const { fclose(f); }
};

// Reads the image and writes it to the programming device in one write.
// `updateLog` logs "update fpga:"; `sizeLogName` names the file in the size
// message. 0 or -1 (`missing` decides a missing image).
int program_image(const char* path, Missing missing, bool updateLog, bool sizeLogName)
{
    std::unique_ptr<FILE, CloseFile> file(plat_fopen(path, "rb"));
    if (!file) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can't open %s", path);
        return missing == Missing::Succeeds ? 0 : -1;
    }
    int dev = plat_open(kCpldPath, O_RDWR);
    if (dev < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open /dev/dev_cpld.");
        return -1;
    }
    if (updateLog) log_info(g_logger, __FUNCTION__, __LINE__, "update fpga:%s", path);
    int rc = -1;
    struct stat st;
    size_t size = fstat(fileno(file.get()), &st) == 0 && st.st_size > 0 ? (size_t)st.st_size : 0;
    std::unique_ptr<uint8_t[]> image;
    if (size == 0) {
        if (sizeLogName) log_error(g_logger, __FUNCTION__, __LINE__, "%s size is error", path);
        else log_error(g_logger, __FUNCTION__, __LINE__, "size is error");
    } else if (!(image = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]))) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
    } else if (fread(image.get(), 1, size, file.get()) != size) {
        log_error(g_logger, __FUNCTION__, __LINE__, "read %s fail", path);
    } else {
        // A write that takes less than the whole image leaves the device
        // with a broken one: that is a failure, whatever the close says.
        ssize_t n = plat_write(dev, image.get(), size);
        if (n == (ssize_t)size) rc = 0;
        else log_error(g_logger, __FUNCTION__, __LINE__, "write %s fail:%zd of %zu", path, n, size);
    }
    if (plat_close(dev) != 0) rc = -1;
    return rc;
}

const char* imx570_mode_name(uint32_t phaseOptions)
{
    switch (phaseOptions) {
    case 0: return "E_4_PHASE_18_FPS";
    case 1: return "E_3_PHASE_24_FPS";
    default: return "E_3_PHASE_23_8_FPS";
    }
}

const char* imx570_image(uint32_t masterSlaveMode, uint32_t devLogic, uint32_t phaseOptions)
{
    if (masterSlaveMode != 0) return "/etc/fpga_update_B.bin";
    static constexpr const char* kImages[2][3] = {
        {"/etc/fpga_update_C.bin", "/etc/fpga_update_C3ph.bin", "/etc/fpga_update_C3ph_23fps8.bin"},
        {"/etc/fpga_update_A.bin", "/etc/fpga_update_A3ph.bin", "/etc/fpga_update_A3ph_23fps8.bin"},
    };
    return kImages[devLogic != 0][phaseOptions < 2 ? phaseOptions : 2];
}

} // namespace

int get_cpu_id(void)
{
    char chip[16] = "";
    int fd = plat_open(kOtpPath, O_RDONLY);
    if (fd >= 0) {
        uint8_t id[8] = {};
        ssize_t n = plat_read(fd, id, sizeof(id));
        plat_close(fd);
        if (n >= 4) snprintf(chip, sizeof(chip), "%c%c%x%x", id[0], id[1], id[2], id[3]);
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "chipId:%s", chip);
    int cpu = E_CPU_RK3588;
    if (strncmp(chip, "RK3576", 6) == 0) cpu = E_CPU_RK3576;
    else if (strncmp(chip, "RK3568", 6) == 0) cpu = E_CPU_RK3568;
    log_info(g_logger, __FUNCTION__, __LINE__, "cpuType:%d", cpu);
    return cpu;
}

void hardware_check(void)
{
    int cpu = get_cpu_id();
    const char *tofNode, *rgbNode, *rgbEntity;
    if (!graphs_of(cpu, &tofNode, &rgbNode, &rgbEntity)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "media_device_new fail.");
        return;
    }

    char tofName[SENSOR_NODE_NAME_MAX] = {};
    Graph tof = find_sensor(tofNode, "stream_cif_mipi_id0", tofName);
    if (tof == Graph::Failed) return;
    uint32_t word = 0;
    if (tof == Graph::NoSensor) {
        word = HW_CHECK_NO_TOF;
        log_error(g_logger, __FUNCTION__, __LINE__, "not find tof sensor");
    }
    const char* tofChip = chip_part(tofName);
    log_info(g_logger, __FUNCTION__, __LINE__, "aaaaaaa sensorName[6]:%s", tofChip);
    g_tofSensorType = tof_kind_of(tofChip);

    char rgbName[SENSOR_NODE_NAME_MAX] = {};
    Graph rgb = find_sensor(rgbNode, rgbEntity, rgbName);
    if (rgb == Graph::Failed) return;
    if (rgb == Graph::NoSensor) {
        word |= HW_CHECK_NO_RGB;
        log_error(g_logger, __FUNCTION__, __LINE__, "not find rgb sensor");
    }
    const char* rgbChip = chip_part(rgbName);
    log_info(g_logger, __FUNCTION__, __LINE__, "bbbbbbbbbb sensorName[6]:%s", rgbChip);
    g_rgbSensorType = rgb_kind_of(rgbChip, cpu);

    word |= probe_buses(cpu);
    log_info(g_logger, __FUNCTION__, __LINE__, "hardware:0x%x", word);
    g_hardWireCheck = word;
}

int compare_hardware_version(void)
{
    static constexpr uint32 kLines[4] = {42, 43, 38, 40};
    uint32 code = 0;
    for (uint32 line : kLines) {
        uint32 level = 0;
        LED_GetStatus(line, &level);
        code = code * 2 + (level ? 1 : 0);
    }

    char model[101] = {};
    FILE* f = plat_fopen(kModelPath, "rb");
    if (f) {
        size_t n = fread(model, 1, sizeof(model) - 1, f);
        model[n] = '\0';
        fclose(f);
    }

    // The board name starts at character 14; only as many characters as a
    // name has (both have eight) are compared, so the text is cut there.
    constexpr size_t kNameAt = 14;
    constexpr size_t kNameLen = 8;
    struct Board {
        const char* name;
        uint32      code;
        int         version;
    };
    static constexpr Board kBoards[] = {{"Tavo Boa", 0, E_BOARD_VERSION_V1_1}, {"TavoV2.3", 1, E_BOARD_VERSION_V2_3}};
    if (strlen(model) < kNameAt + kNameLen) {
        log_error(g_logger, __FUNCTION__, __LINE__, "board model info error:%d,%s", (int)code, model);
        return E_BOARD_VERSION_NONE;
    }
    model[kNameAt + kNameLen] = '\0';
    log_info(g_logger, __FUNCTION__, __LINE__, "board info select:%s", model + kNameAt);
    for (const Board& b : kBoards)
        if (strcmp(model + kNameAt, b.name) == 0 && code == b.code) return b.version;
    log_error(g_logger, __FUNCTION__, __LINE__, "board model info error:%d,%s", (int)code, model);
    return E_BOARD_VERSION_NONE;
}

int rkvendor_read(int vendor_id, char* data, int size)
{
    if (!data || size < 0) return -1;
    plat_vendor_req_t req{};
    req.tag = PLAT_VENDOR_TAG;
    req.id = (uint16_t)vendor_id;
    req.len = PLAT_VENDOR_DATA_MAX;
    if (!vendor_request(O_RDONLY, PLAT_VENDOR_READ, &req)) return -1;
    // A driver that claims more than its buffer holds is not believed.
    if (req.len > PLAT_VENDOR_DATA_MAX) {
        fprintf(stderr, "vendor read error %d\n", (int)req.len);
        return -1;
    }
    if (req.len > size) {
        log_error(g_logger, __FUNCTION__, __LINE__, "vendor storage: param size is lower then read size %ld\n",
                  (long)req.len);
        return -1;
    }
    memcpy(data, req.data, req.len);
    return 0;
}

int rkvendor_write(int vendor_id, const char* data, int size)
{
    if (size > PLAT_VENDOR_DATA_MAX) {
        fprintf(stderr, "vendor storage input data overflow\n");
        return -1;
    }
    if (size < 0 || (size > 0 && !data)) return -1;
    plat_vendor_req_t req{};
    req.tag = PLAT_VENDOR_TAG;
    req.id = (uint16_t)vendor_id;
    req.len = (uint16_t)size;
    if (size > 0) memcpy(req.data, data, (size_t)size);
    return vendor_request(O_RDWR, PLAT_VENDOR_WRITE, &req) ? 0 : -1;
}

int vendor_storage_read(int cmd, int pr_type, char* output)
{
    if (!output) return -1;
    char item[PLAT_VENDOR_DATA_MAX + 1] = {};
    if (rkvendor_read(cmd, item, PLAT_VENDOR_DATA_MAX) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "vendor read %d fail", cmd);
        return -1;
    }
    size_t len = strnlen(item, PLAT_VENDOR_DATA_MAX);
    log_item("read", cmd, item, len, pr_type);
    memcpy(output, item, len + 1);
    return 0;
}

int vendor_storage_write(int cmd, char* num, int pr_type)
{
    if (!num) return -1;
    size_t len = strnlen(num, PLAT_VENDOR_DATA_MAX + 1);
    int rc = rkvendor_write(cmd, num, (int)len);
    if (rc != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "vendor write %d fail", cmd);
        return -1;
    }
    log_item("write", cmd, num, len, pr_type);
    return 0;
}

void get_cpuSerial(char* serial)
{
    if (!serial) return;
    constexpr size_t kSerialLen = 16;
    memset(serial, 0, kSerialLen);
    FILE* f = plat_fopen(kCpuInfoPath, "r");
    if (!f) return;
    char line[256];
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, "Serial", 6) != 0) continue;
        const char* p = strchr(line, ':');
        if (!p) continue;
        ++p;
        while (*p == ' ' || *p == '\t') ++p;
        size_t n = strcspn(p, "\r\n");
        memcpy(serial, p, n < kSerialLen ? n : kSerialLen);
        break;
    }
    fclose(f);
}

int fpga_upgrade(void)
{
    std::lock_guard<std::mutex> lock(g_fpgaLock);
    uint32_t tofKind = reg(kRegTofKind);
    uint32_t phaseOptions = reg(kRegPhaseOptions);
    if (tofKind != E_IMX570) {
        int rc = program_image("/etc/fpga_update.bin", Missing::Fails, true, true);
        if (rc == 0) g_lastMode.store(0);
        return rc;
    }
    uint32_t mode = reg(kRegMasterSlaveMode);
    const char* image = imx570_image(mode, reg(kRegDevLogic), phaseOptions);
    if ((int64_t)mode == g_lastMode.load()) {
        log_info(g_logger, __FUNCTION__, __LINE__, "same mode,cpld updated:%s,%d,imx570 now in %s", image,
                 (int)phaseOptions, imx570_mode_name(phaseOptions));
        return 0;
    }
    int rc = program_image(image, Missing::Fails, true, true);
    if (rc == 0) g_lastMode.store(mode);
    return rc;
}

int fpga_upgrade_V23(void)
{
    std::lock_guard<std::mutex> lock(g_fpgaLock);
    return program_image("/etc/fpga_update_V23.bin", Missing::Fails, true, true);
}

int fpga_upgrade_sipm(void)
{
    std::lock_guard<std::mutex> lock(g_fpgaLock);
    uint32_t phaseOptions = reg(kRegPhaseOptions);
    const char* image = phaseOptions ? "/etc/fpga_update_sipm.bin" : "/etc/fpga_update_sipm_4Ph.bin";
    log_info(g_logger, __FUNCTION__, __LINE__, "sipm calib program is:%s,%d", image, (int)phaseOptions);
    return program_image(image, Missing::Succeeds, false, true);
}

int fpga_upgrade_name(const char* fileName)
{
    if (!fileName) return -1;
    std::lock_guard<std::mutex> lock(g_fpgaLock);
    return program_image(fileName, Missing::Succeeds, false, false);
}
