// The memory window above the register pages: camera parameters, JSON
// texts, application-algorithm parameters, identity items, the user files
// and the device description package.
//
// Every read answers into the caller's buffer of `len` bytes and never past
// it: what exists is copied, the rest of the request zero-filled (hosts read
// the last chunk of a file rounded up to whole words).
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "algo/algo_app.h"
#include "algo/algo_tavo.h"
#include "common/board.h"
#include "common/common.h"
#include "common/custom.h"
#include "common/custom_internal.h"
#include "common/json_parse.h"
#include "common/persist.h"
#include "log/logger.h"
#include "peripheral/led.h"
#include "platform.h"

using namespace regspace;

namespace {

constexpr const char* kCapabilityFile = "/etc/capability.json";
constexpr const char* kFeatureCapabilityFile = "/etc/feature_capability.json";
constexpr const char* kUserBin = "/userdata/const/user.bin";
constexpr const char* kUserCustomBin = "/userdata/const/user_custom.bin";
constexpr const char* kUserIdBin = "/userdata/const/user_id.bin";
constexpr const char* kDescriptionPackage = "/oem/default/korvid.zip";
constexpr const char* kFilterFile = "/userdata/dev_filter.json";

constexpr uint32_t kUserFileSize = 131072;
constexpr uint32_t kJsonFileMax = 3072;   // capability files and filter texts served in place
constexpr uint32_t kVersionMax = 32;
constexpr uint32_t kIdentityTextMax = 127;
constexpr uint32_t kLogDataMax = 1024;
constexpr uint64_t kFilterFreeMiB = 101;
constexpr const char* kMacPrefix = "111111111111";

// One read-modify-write of a user file at a time.
std::mutex s_userFileLock;

// Copies n bytes of src into the reply of len bytes; the rest is zeroed.
void reply(uint8_t* out, uint32_t len, const void* src, size_t n)
{
    size_t k = n < len ? n : len;
    if (k) memcpy(out, src, k);
    if (k < len) memset(out + k, 0, len - k);
}

void reply_text(uint8_t* out, uint32_t len, const char* text, size_t max = SIZE_MAX)
{
    size_t n = text ? strnlen(text, max) : 0;
    reply(out, len, text, n);
}

// Reads the file from `offset` into the reply, zero-filling past its end.
// false when it cannot be opened.
bool reply_file(const char* path, uint64_t offset, uint8_t* out, uint32_t len)
{
    FILE* f = plat_fopen(path, "rb");
    if (!f) return false;
    size_t got = 0;
    if (fseeko(f, (off_t)offset, SEEK_SET) == 0) got = fread(out, 1, len, f);
    fclose(f);
    if (got < len) memset(out + got, 0, len - got);
    return true;
}

uint32_t app_algo() { return records_ready() ? get(common().enableApplationAlgo) : 0; }

void log_cam_param(const char* what, const CameraParam& p)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "%s fx:%f fy:%f cx:%f cy:%f d:%f %f %f %f %f", what, p.fx, p.fy, p.cx,
             p.cy, p.d0, p.d1, p.d2, p.d3, p.d4);
}

// An earlier export would be fetched as the current text.
void drop_filter_export()
{
    char host[PATH_MAX];
    if (!plat_path(kFilterFile, host, sizeof(host))) return;
    if (unlink(host) != 0 && errno != ENOENT)
        log_error(g_logger, __FUNCTION__, __LINE__, "can not remove %s: %s", kFilterFile, strerror(errno));
}

int read_filter(uint8_t* out, uint32_t len)
{
    auto text = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[ALGO_FILTER_TEXT_MAX]());
    if (!text) return REG_REFUSED;
    int n = 0;
    algo_TavoPlus_GetFilterString(text.get(), &n);
    if (n < 0) n = 0;
    reply(out, len, text.get(), (size_t)n);
    if ((uint32_t)n < kJsonFileMax) return REG_OK;
    // Too long for one answer: REG_REFUSED sends the host to fetch it as a
    // file, so only a file written now may be there to fetch.
    uint64 freeMiB = 0;
    get_deviceFreeSpace("/userdata", &freeMiB);
    if (freeMiB < kFilterFreeMiB) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no space in device, can not write file.");
        drop_filter_export();
        return REG_NOT_DONE;
    }
    if (put_fileAtomic(kFilterFile, text.get(), (size_t)n) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not write %s", kFilterFile);
        drop_filter_export();
        return REG_NOT_DONE;
    }
    return REG_REFUSED;
}

int read_json_file(const char* path, uint8_t* out, uint32_t len)
{
    uint32_t size = get_fileSize(path);
    if (size >= kJsonFileMax) {
        log_error(g_logger, __FUNCTION__, __LINE__, "fileSize too big");
        return REG_REFUSED;
    }
    uint8_t buf[kJsonFileMax];
    uint32_t n = get_fileContext(path, buf, size);
    reply(out, len, buf, n);
    return REG_OK;
}

int read_algo_params(uint8_t* out, uint32_t len)
{
    char buf[ALGO_PARAM_TEXT_MAX] = {};
    switch (app_algo()) {
    case 2:
        algo_pallet_get_params(reinterpret_cast<uint8*>(buf));
        reply_text(out, len, buf, sizeof(buf));
        return REG_OK;
    case 4: {
        int rc = algo_avoid_get_params2(buf);
        if (rc != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "param too long %d", rc);
            return REG_REFUSED;
        }
        reply_text(out, len, buf, sizeof(buf));
        return REG_OK;
    }
    case 1: {
        char* text = nullptr;
        algo_avoid_get_params(&text);
        if (!text) {
            log_error(g_logger, __FUNCTION__, __LINE__, "param is NULL");
            return REG_REFUSED;
        }
        if (strlen(text) <= kJsonFileMax) {
            reply_text(out, len, text);
            return REG_OK;
        }
        log_info(g_logger, __FUNCTION__, __LINE__, "json need format");
        char compact[JSON_FORMAT_MAX + 1] = {};
        int rc = json_format(text, compact);
        if (rc != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "param too long %d", rc);
            return REG_REFUSED;
        }
        reply_text(out, len, compact, JSON_FORMAT_MAX);
        return REG_OK;
    }
    default:
        log_error(g_logger, __FUNCTION__, __LINE__, "applation alog not set");
        return REG_REFUSED;
    }
}

int read_algo_version(uint8_t* out, uint32_t len)
{
    uint8 buf[ALGO_VERSION_MAX] = {};
    int n = -1;
    switch (app_algo()) {
    case 2: n = algo_pallet_get_version(buf); break;
    case 4: n = algo_avoid_get_version2(buf); break;
    case 1: {
        const char* v = algo_avoid_get_version();
        if (!v) {
            log_error(g_logger, __FUNCTION__, __LINE__, "applation_algo_version is null");
            return REG_REFUSED;
        }
        reply_text(out, len, v, kVersionMax);
        return REG_OK;
    }
    default:
        log_error(g_logger, __FUNCTION__, __LINE__, "applation algo not set");
        return REG_REFUSED;
    }
    reply(out, len, buf, n < 0 ? 0 : ((uint32_t)n < kVersionMax ? (size_t)n : kVersionMax));
    return REG_OK;
}

int read_user_file(const char* path, const char* name, uint32_t offset, uint8_t* out, uint32_t len)
{
    if (!reply_file(path, offset, out, len)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", name);
        return REG_REFUSED;
    }
    return REG_OK;
}

int read_package(uint32_t address, uint8_t* out, uint32_t len, bool rangeTest)
{
    if (len == 0) return REG_OK;
    uint64_t offset = address - MEM_ADDR_DESCRIPTION_PACKAGE;
    if (rangeTest) {
        uint64_t size = get_fileSize(kDescriptionPackage);
        uint64_t chunks = (size + len - 1) / len;
        if (offset > chunks * len) return REG_OK;
    }
    if (!reply_file(kDescriptionPackage, offset, out, len)) memset(out, 0, len);
    return REG_OK;
}

// ---- writes ----

void zone_follow_up(bool second)
{
    int zone = second ? algo_avoid_get_zone_index2() : algo_avoid_get_zone_index();
    int io = LED_AvoidIOSettingGet();
    if (io != 0) {
        int ret = second ? algo_avoid_set_zone_index2(io - 1) : algo_avoid_set_zone_index(io - 1);
        log_info(g_logger, __FUNCTION__, __LINE__, "AVOID IO selected:%d ret:%d", io - 1, ret);
    }
    uint32_t v = (uint32_t)zone;
    Custom_RegWrite(0x10000070, &v);
    log_info(g_logger, __FUNCTION__, __LINE__, "AVOID default setting:%d", zone);
    v = 1;
    Custom_RegWrite(0x10000014, &v);
    v = 0xFFFF;
    Custom_RegWrite(0x1000700C, &v);
}

bool zone_board()
{
    return records_ready() && get(run().cpuId) == E_CPU_RK3568 && get(tof().sensorType) == E_IMX570;
}

int write_algo_params(std::string& text)
{
    uint8* t = reinterpret_cast<uint8*>(text.data());
    uint32 n = (uint32)strlen(text.c_str());
    switch (app_algo()) {
    case 2:
        algo_pallet_set_params(t, n);
        return REG_OK;
    case 4:
        if (algo_avoid_set_params2(t, n) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "algo_avoid_set_params2 fail.");
            return REG_ALGO_FAIL;
        }
        if (zone_board()) zone_follow_up(true);
        return REG_OK;
    case 1:
        if (algo_avoid_set_params(t, n) != 1) {
            log_error(g_logger, __FUNCTION__, __LINE__, "algo_avoid_set_params fail.");
            return REG_ALGO_FAIL;
        }
        if (zone_board()) zone_follow_up(false);
        return REG_OK;
    default:
        log_error(g_logger, __FUNCTION__, __LINE__, "applation algo not set");
        return REG_NOT_IMPLEMENTED;
    }
}

// Identity text of the host, at most kIdentityTextMax characters, terminated.
void identity_text(const uint8_t* value, uint32_t len, char (&buf)[kIdentityTextMax + 1])
{
    memset(buf, 0, sizeof(buf));
    uint32_t n = len < kIdentityTextMax ? len : kIdentityTextMax;
    if (n) memcpy(buf, value, n);
}

int write_identity(int item, const uint8_t* value, uint32_t len)
{
    char buf[kIdentityTextMax + 1];
    identity_text(value, len, buf);
    rkvendor_write(item, buf, (int)strlen(buf));
    return REG_OK;
}

// The MAC item is the fixed prefix 11 11 11 11 11 11 followed by the host's
// hexadecimal text converted to bytes.
int write_mac(const uint8_t* value, uint32_t len)
{
    char host[kIdentityTextMax + 1];
    identity_text(value, len, host);
    char hex[sizeof(kMacPrefix) + 12 + sizeof(host)];
    int chars = snprintf(hex, sizeof(hex), "%s%s", kMacPrefix, host);
    if (chars < 0 || hex_string_format(hex, hex) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "mac must be hex text");
        return REG_REFUSED;
    }
    rkvendor_write(PLAT_VENDOR_MAC, hex, chars / 2);
    return REG_OK;
}

int patch_user_file(const char* path, const char* name, uint32_t offset, const uint8_t* value, uint32_t len)
{
    if ((uint64_t)offset + len > kUserFileSize) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s patch past its end: %u+%u", name, offset, len);
        return REG_REFUSED;
    }
    std::lock_guard<std::mutex> lock(s_userFileLock);
    auto buf = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kUserFileSize]());
    if (!buf) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        return REG_REFUSED;
    }
    FILE* f = plat_fopen(path, "rb");
    if (!f) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", name);
        return REG_REFUSED;
    }
    size_t got = fread(buf.get(), 1, kUserFileSize, f);
    (void)got;
    fclose(f);
    if (len) memcpy(buf.get() + offset, value, len);
    if (put_fileAtomic(path, buf.get(), kUserFileSize) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can not open %s", name);
        return REG_REFUSED;
    }
    return REG_OK;
}

// Whether the address lies in one of the blocks hosts only read.
bool read_only(uint32_t address)
{
    static constexpr struct {
        uint32_t start, size;
    } kBlocks[] = {
        {MEM_ADDR_ALGO_VERSION, kVersionMax},
        {MEM_ADDR_RGB_CAM_PARAM, sizeof(CameraParam)},
        {MEM_ADDR_TOF_CAM_PARAM, sizeof(CameraParam)},
        {MEM_ADDR_EXTRIN_PARAM, sizeof(CameraExtrinParam)},
        {MEM_ADDR_CAPABILITY_JSON, kJsonFileMax},
        {MEM_ADDR_APP_ALGO_VERSION, kVersionMax},
        {MEM_ADDR_FIRMWARE_TIME, FIRMWARE_TIME_SIZE},
        {MEM_ADDR_FEATURE_CAPABILITY, kJsonFileMax},
        {MEM_ADDR_CAMERA_ORIGINAL, sizeof(CameraOriginalInfo)},
    };
    for (const auto& b : kBlocks)
        if (address >= b.start && address - b.start < b.size) return true;
    return address >= MEM_ADDR_DESCRIPTION_PACKAGE &&
           (uint64_t)(address - MEM_ADDR_DESCRIPTION_PACKAGE) < get_fileSize(kDescriptionPackage);
}

// A write no block takes changes nothing, and says why.
int refuse_write(uint32_t address, uint32_t len)
{
    bool protect = read_only(address);
    log_error(g_logger, __FUNCTION__, __LINE__, "memory write of %u bytes at %x refused: %s", len, address,
              protect ? "read only" : "no block there");
    return protect ? REG_WRITE_PROTECT : REG_INVALID_ADDRESS;
}

} // namespace

int Custom_MemRead(uint32_t address, uint8_t* value, uint32_t len)
{
    if (!value && len) return REG_REFUSED;
    switch (address) {
    case MEM_ADDR_ALGO_VERSION:
        reply_text(value, len, algo_TavoPlus_GetLibVersion(), kVersionMax);
        return REG_OK;
    case MEM_ADDR_RGB_CAM_PARAM:
    case MEM_ADDR_TOF_CAM_PARAM: {
        CameraParam p{};
        if (address == MEM_ADDR_RGB_CAM_PARAM) algo_TavoPlus_getRGBCamParam(&p);
        else algo_TavoPlus_getTOFCamParam(&p);
        log_cam_param(address == MEM_ADDR_RGB_CAM_PARAM ? "rgb" : "tof", p);
        reply(value, len, &p, sizeof(p));
        return REG_OK;
    }
    case MEM_ADDR_EXTRIN_PARAM: {
        CameraExtrinParam p{};
        algo_TavoPlus_getExtrinParam(&p);
        log_info(g_logger, __FUNCTION__, __LINE__, "extrinsic r:%f %f %f %f %f %f %f %f %f t:%f %f %f", p.r00, p.r01,
                 p.r02, p.r10, p.r11, p.r12, p.r20, p.r21, p.r22, p.Tx, p.Ty, p.Tz);
        reply(value, len, &p, sizeof(p));
        return REG_OK;
    }
    case MEM_ADDR_FILTER_JSON: return read_filter(value, len);
    case MEM_ADDR_CAPABILITY_JSON: return read_json_file(kCapabilityFile, value, len);
    case MEM_ADDR_FEATURE_CAPABILITY: return read_json_file(kFeatureCapabilityFile, value, len);
    case MEM_ADDR_APP_ALGO_PARAM: return read_algo_params(value, len);
    case MEM_ADDR_APP_ALGO_VERSION: return read_algo_version(value, len);
    case MEM_ADDR_FIRMWARE_TIME:
        // user.bin ends exactly here: the text is all there is to read.
        reply_text(value, len, g_firmwareTime, FIRMWARE_TIME_SIZE);
        return REG_OK;
    case MEM_ADDR_CAMERA_ORIGINAL: {
        CameraOriginalInfo info{};
        algo_TavoPlus_getCameraOriginalInfo(&info);
        reply(value, len, &info, sizeof(info));
        return REG_OK;
    }
    case MEM_ADDR_USER_ID_BIN:
        if (get_fileSize(kUserIdBin) == 0) return REG_REFUSED;
        return read_user_file(kUserIdBin, "user_id.bin", 0, value, len);
    default: break;
    }
    if (address >= MEM_ADDR_USER_BIN && address < MEM_ADDR_USER_BIN + MEM_USER_FILE_SPAN)
        return read_user_file(kUserBin, "user.bin", address - MEM_ADDR_USER_BIN, value, len);
    if (address >= MEM_ADDR_USER_CUSTOM_BIN && address < MEM_ADDR_USER_ID_BIN)
        return read_user_file(kUserCustomBin, "user_custom.bin", address - MEM_ADDR_USER_CUSTOM_BIN, value, len);
    if (address >= MEM_ADDR_DESCRIPTION_PACKAGE) return read_package(address, value, len, true);
    return REG_OK;
}

int Custom_GetXML(uint32_t address, uint8_t* value, uint32_t len)
{
    if (!value && len) return REG_REFUSED;
    if (address < MEM_ADDR_DESCRIPTION_PACKAGE) return REG_OK;
    return read_package(address, value, len, false);
}

int Custom_MemWrite(uint32_t address, uint8_t* value, uint32_t len)
{
    if (!value && len) return REG_REFUSED;
    // Host data may be binary: never read past its length.
    log_info(g_logger, __FUNCTION__, __LINE__, "address:%x %s", address,
             LogPeerText(value, len < kLogDataMax ? len : kLogDataMax).c_str());
    // Past the top of the address space nothing is mapped.
    if ((uint64_t)address + len > UINT32_MAX + 1ull) return refuse_write(address, len);
    std::string text(value ? reinterpret_cast<const char*>(value) : "", value ? len : 0);
    switch (address) {
    case MEM_ADDR_FILTER_JSON:
        // A text depth processing refuses leaves the filter as it was.
        return algo_TavoPlus_SetFilterString(reinterpret_cast<uint8*>(text.data())) == 0 ? REG_OK : REG_ALGO_FAIL;
    case MEM_ADDR_APP_ALGO_PARAM: return write_algo_params(text);
    case MEM_ADDR_MAC: return write_mac(value, len);
    case MEM_ADDR_SERIAL: return write_identity(PLAT_VENDOR_SERIAL, value, len);
    case MEM_ADDR_BOARD_CODE: return write_identity(PLAT_VENDOR_BOARD_CODE, value, len);
    case MEM_ADDR_USER_ID_BIN:
        if (put_fileAtomic(kUserIdBin, value, len) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "can not open user_id.bin");
            return REG_REFUSED;
        }
        return REG_OK;
    case MEM_ADDR_APP_ALGO_COMMAND:
        switch (uint32_t algo = app_algo()) {
        case 4: return algo_avoid_set_cmd2(reinterpret_cast<uint8*>(text.data()));
        case 2: return algo_pallet_set_cmd(reinterpret_cast<uint8*>(text.data()));
        default:
            // Nothing takes the command: answered as the parameter block is
            // without an application.
            if (algo == 0) log_error(g_logger, __FUNCTION__, __LINE__, "applation algo not set");
            else log_error(g_logger, __FUNCTION__, __LINE__, "applation algo %u takes no command", algo);
            return REG_NOT_IMPLEMENTED;
        }
    default: break;
    }
    // user.bin ends where the firmware time begins: that text is only read.
    if (address >= MEM_ADDR_USER_BIN && address < MEM_ADDR_USER_BIN + MEM_USER_FILE_SPAN)
        return patch_user_file(kUserBin, "user.bin", address - MEM_ADDR_USER_BIN, value, len);
    if (address >= MEM_ADDR_USER_CUSTOM_BIN && address < MEM_ADDR_USER_ID_BIN)
        return patch_user_file(kUserCustomBin, "user_custom.bin", address - MEM_ADDR_USER_CUSTOM_BIN, value, len);
    return refuse_write(address, len);
}
