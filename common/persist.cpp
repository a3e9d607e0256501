// Persistence of the register block. Start-up loads the block, applies the
// hardware corrections and keeps the parameter-group files in place; the
// group register loads and saves groups. Every block file is replaced
// atomically, and a load swaps the block only once everything it needs has
// been read, under the block lock.
#include "common/persist.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "algo/algo_tavo.h"
#include "common/board.h"
#include "common/custom.h"
#include "common/custom_default.h"
#include "common/json_parse.h"
#include "common/network.h"
#include "common/stream_ctrl.h"
#include "log/logger.h"
#include "memory.h"
#include "peripheral/led.h"
#include "platform.h"
#include "worker.h"

char g_firmwareTime[FIRMWARE_TIME_SIZE] = {};

namespace {

constexpr uint64 kSaveFreeMiB = 101;
constexpr int kFpgaAttempts = 3;
constexpr uint8 kCpldOutputIoReg = 59;
constexpr size_t kProcVersionMax = 1024;
constexpr int kUnreadKeepMax = 100;

struct GroupPaths {
    char cfg[64];
    char filter[64];
    explicit GroupPaths(int n)
    {
        snprintf(cfg, sizeof(cfg), PARAM_GROUP_FILE, n);
        snprintf(filter, sizeof(filter), PARAM_FILTER_FILE, n);
    }
};

bool file_exists(const char* path) { return plat_access(path, F_OK) == 0; }

// Set when start-up found CONFIG_FILE but could not read it: the first save
// must not replace it before it is kept aside.
std::mutex s_unreadLock;
bool s_unreadConfig = false;

void mark_unread_config(bool unread)
{
    std::lock_guard<std::mutex> hold(s_unreadLock);
    s_unreadConfig = unread;
}

// Reads up to `cap` bytes of a board file into buf: the count, or -1 when
// it cannot be opened or read.
long read_board_file(const char* path, void* buf, size_t cap)
{
    int fd = plat_open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < cap) {
        ssize_t n = plat_read(fd, static_cast<uint8*>(buf) + got, cap - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            plat_close(fd);
            return -1;
        }
        got += (size_t)n;
    }
    plat_close(fd);
    return (long)got;
}

bool enough_space()
{
    uint64 freeMiB = 0;
    get_deviceFreeSpace("/userdata", &freeMiB);
    if (freeMiB >= kSaveFreeMiB) return true;
    log_error(g_logger, __FUNCTION__, __LINE__, "no space in device, can not write file.");
    return false;
}

// Reads a block file over `rest`, what applies without the file: a short
// file (an older firmware wrote fewer fields) keeps the rest, a long one
// gives its first block. 0, or -1 when it cannot be read.
int read_block_file(const char* path, const deviceCFG& rest, deviceCFG* out)
{
    uint8 bytes[DEV_CFG_SIZE + 1];
    long got = read_board_file(path, bytes, sizeof(bytes));
    if (got < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", path);
        return -1;
    }
    *out = rest;
    memcpy(out, bytes, (size_t)got < DEV_CFG_SIZE ? (size_t)got : DEV_CFG_SIZE);
    if ((size_t)got < DEV_CFG_SIZE) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s holds %ld bytes, not %u: the rest from the defaults", path,
                  got, (unsigned)DEV_CFG_SIZE);
    } else if ((size_t)got > DEV_CFG_SIZE) {
        struct stat st;
        long long size = plat_stat(path, &st) == 0 ? (long long)st.st_size : got;
        log_error(g_logger, __FUNCTION__, __LINE__, "%s holds %lld bytes, not %u: the first %u used", path, size,
                  (unsigned)DEV_CFG_SIZE, (unsigned)DEV_CFG_SIZE);
    } else {
        log_info(g_logger, __FUNCTION__, __LINE__, "load %s, %ld bytes", path, got);
    }
    return 0;
}

// Fields of a loaded block that no host could have written take their
// defaults; one warning names them.
void check_block(deviceCFG* block, const deviceCFG& defaults, const char* from)
{
    char names[512];
    if (custom_check_cfg(block, &defaults, g_tofSensorType, g_rgbSensorType, names, sizeof(names)) > 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "%s: values no write allows, defaults taken for: %s", from,
                  names);
}

uint32 cpu_type()
{
    return g_regMemAddr ? reg_load(g_regMemAddr->cpuId) : (uint32)get_cpu_id();
}

// What applies where a block file is missing, short or damaged: the
// default block over the built-in one, or the built-in one alone.
void block_defaults(deviceCFG* out, uint32 cpuType, bool withDefaultFile)
{
    custom_default_cfg(out, g_rgbSensorType, g_tofSensorType, cpuType);
    if (!withDefaultFile || !file_exists(DEFAULT_CONFIG_FILE)) return;
    deviceCFG deflt;
    if (read_block_file(DEFAULT_CONFIG_FILE, *out, &deflt) != 0) return;
    check_block(&deflt, *out, DEFAULT_CONFIG_FILE);
    *out = deflt;
}

void keep_detected(deviceCFG* cfg)
{
    cfg->sensor[DEV_CFG_SENSOR_RGB].info.sensorType = g_rgbSensorType;
    cfg->common.hardWareCheck = g_hardWireCheck;
    cfg->sensor[DEV_CFG_SENSOR_TOF].info.sensorType = g_tofSensorType;
}

// Makes a judged block the live one, keeping what detection found.
void replace_block(deviceCFG* block)
{
    keep_detected(block);
    RegBlockLock lock;
    reg_block_copy_in(block, sizeof(*block));
}

int load_group(int n)
{
    GroupPaths paths(n);
    // Both files are read before the block changes, so a missing, short or
    // unreadable one leaves the block as it was.
    if (!file_exists(paths.cfg)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "file not exist %s", paths.cfg);
        return -1;
    }
    deviceCFG defaults, block;
    block_defaults(&defaults, cpu_type(), true);
    if (read_block_file(paths.cfg, defaults, &block) != 0) return -1;
    if (!file_exists(paths.filter)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "file not exist %s", paths.filter);
        return -1;
    }
    // Room for the longest text, one byte more to tell a longer one, and
    // the terminator.
    uint8 text[PARAM_FILTER_MAX + 2] = {};
    long got = read_board_file(paths.filter, text, PARAM_FILTER_MAX + 1);
    if (got < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", paths.filter);
        return -1;
    }
    // The text ends at its first zero; a cut text is no filter text.
    if (strnlen(reinterpret_cast<char*>(text), (size_t)got) > PARAM_FILTER_MAX) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s holds a filter text longer than %d bytes", paths.filter,
                  PARAM_FILTER_MAX);
        return -1;
    }
    // The filter first: a text the library refuses leaves the block as it
    // was. A group saved while the library had no text carries none.
    if (text[0] && algo_TavoPlus_SetFilterString(text) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not apply %s", paths.filter);
        return -1;
    }
    check_block(&block, defaults, paths.cfg);
    replace_block(&block);
    log_info(g_logger, __FUNCTION__, __LINE__, "load param group %d", n);
    return 0;
}

int save_group(int n)
{
    if (!enough_space()) return -1;
    GroupPaths paths(n);
    auto text = std::unique_ptr<uint8[]>(new (std::nothrow) uint8[ALGO_FILTER_TEXT_MAX]());
    if (!text) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        return -1;
    }
    int len = 0;
    algo_TavoPlus_GetFilterString(text.get(), &len);
    if (len < 0) len = 0;
    // A longer text would come back cut off, no longer a valid filter text.
    if (len > PARAM_FILTER_MAX) {
        log_error(g_logger, __FUNCTION__, __LINE__, "filter text of %d bytes does not fit %s", len, paths.filter);
        return -1;
    }
    deviceCFG block;
    {
        RegBlockLock lock;
        reg_block_copy_out(&block);
    }
    if (put_fileAtomic(paths.cfg, &block, sizeof(block)) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", paths.cfg);
        return -1;
    }
    if (put_fileAtomic(paths.filter, text.get(), (size_t)len) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", paths.filter);
        return -1;
    }
    return 0;
}

// The saved block, else the default block, else the built-in one. A block
// file that exists but cannot be read (a directory in its place, an I/O
// error) counts as missing: the board starts on what it falls back on
// rather than not at all.
void load_block(deviceCFG* block, uint32 cpuType)
{
    mark_unread_config(false);
    bool saved = file_exists(CONFIG_FILE);
    const char* path = saved ? CONFIG_FILE : file_exists(DEFAULT_CONFIG_FILE) ? DEFAULT_CONFIG_FILE : nullptr;
    if (!path) {
        log_info(g_logger, __FUNCTION__, __LINE__, "no saved config, built-in defaults");
        custom_default_cfg(block, g_rgbSensorType, g_tofSensorType, cpuType);
        return;
    }
    // The saved block falls back on the default block, which falls back on
    // the built-in one.
    deviceCFG defaults;
    block_defaults(&defaults, cpuType, saved);
    if (read_block_file(path, defaults, block) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s can not be read: started on the defaults", path);
        // The reason may pass (an I/O error, a permission): what it holds
        // is still the host's, so it stays until a save would replace it.
        if (saved) mark_unread_config(true);
        *block = defaults;
        return;
    }
    check_block(block, defaults, path);
}

// Board V2.3 output lines: the CAN/RS485 switch and the output IO mode.
void board_v23_outputs(const CommonCfg& c)
{
    LED_Control(GPIO_CAN_RS485_SWITCH, c.canRsSw != 0 ? 1 : 0);
    uint8 reg = 0;
    i2c_cpld_rw(kCpldOutputIoReg, &reg, 0, 0);
    reg &= 3;
    if (c.outputIoMode) reg += 12;
    i2c_cpld_rw(kCpldOutputIoReg, nullptr, reg, 1);
    log_info(g_logger, __FUNCTION__, __LINE__, "set outputIoMode:%d,canRsSw:%d", (int)c.outputIoMode, (int)c.canRsSw);
}

void free_records()
{
    RegBlockLock lock;
    deviceCFG* cfg = g_dev_cfg;
    deviceRegMemAddr* run = g_regMemAddr;
    g_dev_cfg = nullptr;
    g_regMemAddr = nullptr;
    kfree(cfg);
    kfree(run);
}

} // namespace

int Custom_KeepUnreadConfig(void)
{
    std::lock_guard<std::mutex> hold(s_unreadLock);
    if (!s_unreadConfig) return 0;
    struct stat st;
    if (plat_stat(CONFIG_FILE, &st) != 0) {
        if (errno == ENOENT) {
            s_unreadConfig = false;  // gone meanwhile: nothing left to keep
            return 0;
        }
    } else if (S_ISDIR(st.st_mode)) {
        return 0;  // a save cannot replace a directory: it fails by itself
    }
    for (int n = 1; n <= kUnreadKeepMax; n++) {
        char kept[64];
        snprintf(kept, sizeof(kept), "%s.unread-%d", CONFIG_FILE, n);
        if (plat_access(kept, F_OK) == 0) continue;
        if (plat_rename(CONFIG_FILE, kept) != 0) break;
        log_error(g_logger, __FUNCTION__, __LINE__, "%s could not be read at start: kept as %s before the save",
                  CONFIG_FILE, kept);
        s_unreadConfig = false;
        return 0;
    }
    log_error(g_logger, __FUNCTION__, __LINE__, "%s could not be read at start and can not be kept aside: not saved",
              CONFIG_FILE);
    return -1;
}

int Custom_RegInit(void)
{
    auto* cfg = static_cast<deviceCFG*>(kzalloc(sizeof(deviceCFG)));
    if (!cfg) {
        log_error(g_logger, __FUNCTION__, __LINE__, "g_dev_cfg malloc fail.");
        return -1;
    }
    auto* run = static_cast<deviceRegMemAddr*>(kzalloc(sizeof(deviceRegMemAddr)));
    if (!run) {
        log_error(g_logger, __FUNCTION__, __LINE__, "g_regMemAddr malloc fail.");
        kfree(cfg);
        return -1;
    }
    g_dev_cfg = cfg;
    g_regMemAddr = run;

    get_firmwareTime();
    uint32 cpuType = (uint32)get_cpu_id();
    run->cpuId = cpuType;
    hardware_check();

    // A save cut short by a kill or power loss leaves its temporary file.
    save_tmp_sweep();
    deviceCFG block;
    load_block(&block, cpuType);
    {
        RegBlockLock lock;
        reg_block_copy_in(&block, sizeof(block));
    }

    algo_TavoPlus_SetFilterString(nullptr);
    int level = 0;
    algo_TavoPlus_GetMCIlevel(&level);
    run->MCILevel = level;
    if (block.common.customParamGroup == 0) Custom_ParamGroup(0);
    for (int n = 1; n <= PARAM_GROUP_MAX; n++) {
        GroupPaths paths(n);
        if (!file_exists(paths.cfg)) Custom_ParamGroup((uint32)n);
    }

    HardwareFacts hw{g_rgbSensorType, g_tofSensorType, g_hardWireCheck, cpuType, 0};
    if (cpuType == E_CPU_RK3568) hw.boardVersion = (uint32)compare_hardware_version();
    custom_fix_cfg(&block, run, &hw);
    {
        RegBlockLock lock;
        reg_block_copy_in(&block, sizeof(block));
    }
    if (cpuType == E_CPU_RK3568) {
        if (hw.boardVersion == E_BOARD_VERSION_NONE)
            log_error(g_logger, __FUNCTION__, __LINE__, "ERROR:the hardware does not match the firmware.");
        else if (hw.boardVersion == E_BOARD_VERSION_V2_3)
            board_v23_outputs(block.common);
    }
    g_tof_fps.store(block.sensor[DEV_CFG_SENSOR_TOF].info.fps);

    Custom_AdaptWidthHeigthInit();
    uint32 rgbKind = reg_load(g_dev_cfg->sensor[DEV_CFG_SENSOR_RGB].info.sensorType);
    uint32 tofKind = reg_load(g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info.sensorType);
    uint32 cameraType = reg_load(run->cameraType);
    modify_capability(rgbKind, tofKind, cameraType);
    modify_feature_capability(rgbKind, tofKind, cameraType);
    write_cameraType2File(cameraType);

    if (reg_load(run->devBoardVersion) == E_BOARD_VERSION_V2_3) {
        for (int i = 0; i < kFpgaAttempts; i++) {
            if (fpga_upgrade_V23() == 0) {
                log_info(g_logger, __FUNCTION__, __LINE__, "fpga update success.");
                break;
            }
            log_error(g_logger, __FUNCTION__, __LINE__, "fpga update fail.");
        }
    }
    return 0;
}

void Custom_RegDeInit(void) { free_records(); }

void Custom_BlockReplace(deviceCFG* block)
{
    if (!block) return;
    // A block a host sends is judged like one read from a file.
    deviceCFG defaults;
    block_defaults(&defaults, cpu_type(), true);
    check_block(block, defaults, "new block");
    replace_block(block);
}

int Custom_ParamGroup(uint32 value)
{
    bool load = value >= PARAM_GROUP_LOAD;
    uint32 n = load ? (value & 0xFFFFu) : value;
    // Group files are a fixed set; any other number would fill the disk.
    if (n > PARAM_GROUP_MAX) {
        log_error(g_logger, __FUNCTION__, __LINE__, "param group %u out of range 0..%d", n, PARAM_GROUP_MAX);
        return -1;
    }
    if (!g_dev_cfg) return -1;
    return load ? load_group((int)n) : save_group((int)n);
}

void get_firmwareTime(void)
{
    memset(g_firmwareTime, 0, sizeof(g_firmwareTime));
    char text[kProcVersionMax + 1] = {};
    long got = read_board_file("/proc/version", text, kProcVersionMax);
    if (got <= 0) return;
    const char* smp = strstr(text, "SMP");
    if (!smp || strnlen(smp, 4) < 4) return;
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    if (!strptime(smp + 4, "%a %b %d %H:%M:%S CST %Y", &tm)) return;
    snprintf(g_firmwareTime, sizeof(g_firmwareTime), "%d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    log_info(g_logger, __FUNCTION__, __LINE__, "firmewareTime:%s", g_firmwareTime);
}

const char* camera_type_name(uint32 cameraType)
{
    switch (cameraType) {
    case E_CAMERA_Tavo: return "Tavo";
    case E_CAMERA_TavoPlus: return "TavoPlus";
    case E_CAMERA_TavoGrand: return "TavoGrand";
    case E_CAMERA_CalvoUltraGpixel0503: return "CalvoUltraGpixel0503";
    case E_CAMERA_CalvoUltraIMX570: return "CalvoUltraIMX570";
    case E_CAMERA_TavoV1: return "TavoV1";
    case E_CAMERA_TavoPlusV1_1: return "TavoPlusV1_1";
    case E_CAMERA_CalvoUltraV1_1: return "CalvoUltraV1_1";
    case E_CAMERA_DelvoPlus: return "DelvoPlus";
    default: return "unknow";
    }
}

void write_cameraType2File(uint32 cameraType)
{
    const char* name = camera_type_name(cameraType);
    if (put_fileAtomic(CAMERA_TYPE_FILE, name, strlen(name)) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open " CAMERA_TYPE_FILE);
        return;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "this camera is %s", name);
}

void* RECOVERY_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("recovery");
    // No discovery answers while the board is reset; the controlling host is
    // released: its port, address and privilege are cleared.
    g_discover = 1;
    const uint32 zero = 0;
    Bootstrap_WriteReg(REG_PRIMARY_APPLICATION_PORT, &zero, sizeof(zero));
    Bootstrap_WriteReg(REG_PRIMARY_APPLICATION_IP_ADDRESS, &zero, sizeof(zero));
    Bootstrap_WriteReg(REG_CONTROL_CHANNEL_PRIVILEGE, &zero, sizeof(zero));
    plat_shell("rm -rf /oem/default/filter.json");
    modifyIp(0xC0A86452u);      // 192.168.100.82
    modifyMask(0xFFFF0000u);    // 255.255.0.0
    modifyGateway(0xC0A86401u); // 192.168.100.1, and the settings are applied
    wait_ms(100);
    static const char* const kFactoryFiles[] = {
        "rm -rf /userdata/const/config*.bin",
        "rm -rf /userdata/const/newconfig*.cfg",
        "rm -rf /userdata/const/filterJson*.bin",
        "cp /userdata/const/default_config.bin /userdata/config.bin",
        "cp /userdata/const/default_newconfig.cfg /userdata/newconfig.cfg",
        "cp /userdata/const/filter.json /userdata/default/filter.json",
    };
    for (const char* cmd : kFactoryFiles) plat_shell(cmd);
    plat_shell("reboot");
    worker_destory(wk);
    return nullptr;
}
