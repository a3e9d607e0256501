// GigE Vision bootstrap registers: the block, its defaults from the board's
// identity, bounded access for the protocol threads and the effects of the
// writable network and stream registers.
#include "GigE/bootstrap.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "GigE/bootstrap_internal.h"
#include "common/board.h"
#include "common/custom.h"
#include "common/network.h"
#include "epcore.h"
#include "log/logger.h"
#include "main/main.h"
#include "memory.h"
#include "platform.h"
#include "worker.h"

uint8* g_bootstarpReg = nullptr;

namespace {

// Every copy in or out of the block, and the block's creation and release,
// happen under this lock: hosts, the stream sender and the link-speed task
// use the block from their own threads, and multi-word text copies must not
// interleave with them.
std::mutex g_blockLock;

constexpr const char* kCodeFa = "FA31511400000000";
constexpr const char* kCodeF8 = "F831511400000000";
constexpr const char* kCodeF1 = "F131411400000000";

constexpr const char* kDefaultVersion = "V1.1.000000_260120";
constexpr const char* kVersionFile = "/etc/.device_version";
constexpr const char* kPackageName = "korvid.zip";
constexpr const char* kPackageFile = "/oem/default/korvid.zip";

constexpr uint32 kDevLogicAddress = 0x10007050u;
constexpr uint32 kTofSensorTypeAddress = 0x10002000u;
constexpr uint32 kVendorBoardCode = 26;
constexpr uint32 kVendorSerial = 1;

// Room of the text registers.
constexpr uint32 kNameRoom = 32;
constexpr uint32 kInfoRoom = 48;
constexpr uint32 kSerialRoom = 16;
constexpr uint32 kUrlRoom = 512;

constexpr uint32 kMaxTestPacket = 1500;

// Whether [address, address + length) lies inside the block.
bool fits(uint32 address, uint32 length)
{
    return address <= BOOTSTRAP_REG_SIZE && length <= BOOTSTRAP_REG_SIZE - address;
}

void put_word(uint8* block, uint32 address, uint32 value) { memcpy(block + address, &value, sizeof(value)); }

uint32 get_word(const uint8* block, uint32 address)
{
    uint32 v;
    memcpy(&v, block + address, sizeof(v));
    return v;
}

// Text registers are NUL-padded; the block is zeroed, so only the text goes in.
void put_text(uint8* block, uint32 address, const char* text, uint32 room)
{
    memcpy(block + address, text, strnlen(text, room));
}

// First line of the version file, at most 32 characters; false without the file.
bool read_device_version(char* out /* kNameRoom + 1 */)
{
    FILE* f = plat_fopen(kVersionFile, "r");
    if (!f) return false;
    uint32 n = 0;
    int c;
    while (n < kNameRoom && (c = fgetc(f)) != EOF && c != '\n') out[n++] = (char)c;
    out[n] = '\0';
    fclose(f);
    return true;
}

// A vendor-storage text of up to `room` bytes, or "" when the item cannot be read.
void read_vendor_text(int item, char* out, int room)
{
    memset(out, 0, (size_t)room + 1);
    if (rkvendor_read(item, out, room) != 0) memset(out, 0, (size_t)room + 1);
}

void queue_test_packet(uint32 value)
{
    uint32 size = std::min(value & 0xFFFFu, kMaxTestPacket);
    if (size == 0) return;
    auto* frame = static_cast<ImageInfo*>(kzalloc(sizeof(ImageInfo) + size));
    if (!frame) {
        log_error(g_logger, __FUNCTION__, __LINE__, "test packet malloc fail.");
        return;
    }
    frame->memType = 0;  // a heap frame
    frame->imageType = E_IMAGE_TYPE_TEST_PACKET;
    frame->imageSize = size;
    epcore_t* core = get_pcore();
    bool queued = core && epcore_with_worker(core, E_WORKER_ID_GVSP, [&](worker_t* wk) {
        EnterCriticalSection(&wk->datalistCS);
        lt_append(wk->data_list, frame);
        LeaveCriticalSection(&wk->datalistCS);
    });
    if (!queued) free_image(core, frame);
}

// Effects of a stored write; `value` is the word now at `address`, `ip` the
// persistent IP address in the block.
int apply_effect(uint32 address, uint32 value, uint32 ip)
{
    switch (address) {
    case REG_PERSISTENT_IP_ADDRESS: {
        if (value == 0) return BOOTSTRAP_OK;
        uint32 first = value >> 24, last = value & 0xFFu;
        if (first == 127 || first >= 224 || last == 0 || last == 255) {
            log_error(g_logger, __FUNCTION__, __LINE__, "invalid ip:0x%x", value);
            return BOOTSTRAP_REFUSED;
        }
        modifyIp(value);
        return BOOTSTRAP_OK;
    }
    case REG_PERSISTENT_NETMASK:
        if (value != 0) modifyMask(value);
        return BOOTSTRAP_OK;
    case REG_PERSISTENT_GATEWAY:
        // No gateway given: the first host of the persistent address's /24.
        modifyGateway(value != 0 ? value : ((ip & 0xFFFFFF00u) | 1u));
        return BOOTSTRAP_OK;
    case REG_STREAM_CHANNEL_PACKET_SIZE:
        queue_test_packet(value);
        return BOOTSTRAP_OK;
    default:
        return BOOTSTRAP_OK;
    }
}

}  // namespace

namespace bootstrap {

const char* default_board_code(int cpuType, uint32 tofSensorType)
{
    if (cpuType == E_CPU_RK3568) return tofSensorType == E_IMX570 ? kCodeFa : kCodeF8;
    return kCodeF1;
}

bool vendor_text_usable(const char* text) { return strlen(text) > 9; }

uint32 hardware_variant(const char* code)
{
    uint32 variant;
    if (strnlen(code, 4) == 4 && code[2] == '3' && code[3] == '1') {
        variant = E_2024_06_BEHIND;
    } else {
        bool ok = strnlen(code, 4) == 4;
        char yc = ok ? code[2] : '?', mc = ok ? code[3] : '?';
        int year = yc - '0';
        int month;
        if (mc >= 'a' && mc <= 'c') month = 10 + (mc - 'a');
        else if (mc >= 'A' && mc <= 'C') month = 10 + (mc - 'A');
        else if (mc >= '1' && mc <= '9') month = mc - '0';
        else ok = false;
        if (!ok) {
            log_error(g_logger, __FUNCTION__, __LINE__, "error string");
            year = 4;
            month = 6;
        }
        // The code is a host's text (vendor storage): escaped, its characters too.
        log_info(g_logger, __FUNCTION__, __LINE__, "dev id:%s,%d:%s,%d:%s,%d?%d,", LogPeerText(code).c_str(), year,
                 LogPeerText(&yc, 1).c_str(), month, LogPeerText(&mc, 1).c_str(), year * 12 + month, 54);
        variant = year * 12 + month < 54 ? E_2024_06_BEFOR : E_2024_06_BEHIND;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "dev logic:%s",
             variant == E_2024_06_BEFOR ? "E_2024_06_BEFOR" : "E_2024_06_BEHIND");
    return variant;
}

}  // namespace bootstrap

int Bootstrap_RegInit(void)
{
    auto* block = static_cast<uint8*>(kzalloc(BOOTSTRAP_REG_SIZE));
    if (!block) {
        log_error(g_logger, __FUNCTION__, __LINE__, "bootstarpReg malloc fail.");
        return -1;
    }

    int cpuType = get_cpu_id();
    uint32 tofSensor = 0;
    if (cpuType == E_CPU_RK3568) Custom_RegRead(kTofSensorTypeAddress, &tofSensor);
    const char* defaultCode = bootstrap::default_board_code(cpuType, tofSensor);

    put_word(block, REG_GIGE_VERSION, 0x00020001u);
    put_word(block, REG_DEVICE_MODE, 0x80000001u);
    put_word(block, REG_NETWORK_INTERFACE_CAPABILITY, 7);
    put_word(block, REG_NETWORK_INTERFACE_CONFIG, 7);
    put_text(block, REG_MODEL_NAME, "korvid", kNameRoom);
    put_text(block, REG_MANUFACTURER_NAME, "Vornak", kNameRoom);

    char version[kNameRoom + 1];
    if (!read_device_version(version)) snprintf(version, sizeof(version), "%s", kDefaultVersion);
    put_text(block, REG_DEVICE_VERSION, version, kNameRoom);
    log_info(g_logger, __FUNCTION__, __LINE__, "dev version:%s", LogPeerText(version).c_str());

    char code[PLAT_VENDOR_DATA_MAX + 1];
    read_vendor_text(kVendorBoardCode, code, PLAT_VENDOR_DATA_MAX);
    if (!bootstrap::vendor_text_usable(code)) snprintf(code, sizeof(code), "%s", defaultCode);
    put_text(block, REG_MANUFACTURER_INFO, code, kInfoRoom);

    uint32 variant = bootstrap::hardware_variant(code);
    Custom_RegWrite(kDevLogicAddress, &variant);

    char serial[128 + 1];
    read_vendor_text(kVendorSerial, serial, 128);
    if (!bootstrap::vendor_text_usable(serial)) {
        memset(serial, 0, sizeof(serial));
        get_cpuSerial(serial);
    }
    put_text(block, REG_SERIAL_NUMBER, serial, kSerialRoom);

    char url[kUrlRoom];
    snprintf(url, sizeof(url), "Local:%s;%X;%X", kPackageName, MEM_ADDR_DESCRIPTION_PACKAGE,
             get_fileSize(kPackageFile));
    put_text(block, REG_FIRST_URL, url, kUrlRoom);
    put_text(block, REG_SENCOND_URL, kPackageName, kUrlRoom);

    put_word(block, REG_NETWORK_INTERFACE_NUM, 1);
    put_word(block, REG_LINK_SPEED, 1000);
    put_word(block, REG_STREAM_CHANNEL_NUM, 1);
    put_word(block, REG_GVSP_CAPABILITY, 0x80000000u);
    put_word(block, REG_GVCP_CAPABILITY, 0xF8600007u);
    put_word(block, REG_HEARTBEAT_TIMEOUT, 5000);
    put_word(block, REG_TIMESTAMP_TICK_FREQUENCY_HIGH, 0);
    put_word(block, REG_TIMESTAMP_TICK_FREQUENCY_LOW, 100000000u);
    put_word(block, REG_GVSP_CONFIGURATION, 0x40000000u);
    put_word(block, REG_STREAM_CHANNEL_SRC_PORT, 3959);
    put_word(block, REG_STREAM_CHANNEL_CAPABILITY, 0x80000007u);
    put_word(block, REG_STREAM_CHANNEL_CONFIGURATION, 0x80000007u);
    put_word(block, REG_CONTROL_CHANNEL_PRIVILEGE, 0);
    put_word(block, REG_PRIMARY_APPLICATION_IP_ADDRESS, 0);

    uint32 ip = 0, mask = 0, macH = 0, macL = 0;
    GetLocalInfo(&ip, &mask, &macH, &macL);
    put_word(block, REG_MAC_ADDRESS_HIGH, macH);
    put_word(block, REG_MAC_ADDRESS_LOW, macL);

    char serialText[kSerialRoom + 1] = {};
    memcpy(serialText, serial, strnlen(serial, kSerialRoom));
    // Serial and board code are what a host wrote (vendor storage).
    log_info(g_logger, __FUNCTION__, __LINE__, "dev serial:%s", LogPeerText(serialText).c_str());
    log_info(g_logger, __FUNCTION__, __LINE__, "dev vender:%s", LogPeerText(code).c_str());
    log_info(g_logger, __FUNCTION__, __LINE__, "dev mac:%x%x", macH, macL);

    // Published whole: no reader ever sees a half-built block.
    uint8* old;
    {
        std::lock_guard<std::mutex> hold(g_blockLock);
        old = g_bootstarpReg;
        g_bootstarpReg = block;
    }
    kfree(old);
    return 0;
}

void Bootstrap_RegDeInit(void)
{
    uint8* old;
    {
        std::lock_guard<std::mutex> hold(g_blockLock);
        old = g_bootstarpReg;
        g_bootstarpReg = nullptr;
    }
    kfree(old);
}

int Bootstrap_ReadReg(uint32 address, void* buffer, uint32 length)
{
    if (length == 0) return BOOTSTRAP_OK;
    if (!buffer) return BOOTSTRAP_REFUSED;
    {
        std::lock_guard<std::mutex> hold(g_blockLock);
        if (g_bootstarpReg && fits(address, length)) {
            memcpy(buffer, g_bootstarpReg + address, length);
            return BOOTSTRAP_OK;
        }
    }
    // Nothing of the caller's buffer goes to a host unset.
    memset(buffer, 0, length);
    log_error(g_logger, __FUNCTION__, __LINE__, "bootstrap read refused, address:0x%x length:%u", address, length);
    return BOOTSTRAP_NOT_IMPLEMENTED;
}

int Bootstrap_WriteReg(uint32 address, const void* buffer, uint32 length)
{
    if (length == 0) return BOOTSTRAP_OK;
    if (!buffer) return BOOTSTRAP_REFUSED;
    uint32 value = 0, ip = 0;
    {
        std::lock_guard<std::mutex> hold(g_blockLock);
        if (!g_bootstarpReg || !fits(address, length)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "bootstrap write refused, address:0x%x length:%u", address,
                      length);
            return BOOTSTRAP_NOT_IMPLEMENTED;
        }
        memcpy(g_bootstarpReg + address, buffer, length);
        if (fits(address, sizeof(value))) value = get_word(g_bootstarpReg, address);
        ip = get_word(g_bootstarpReg, REG_PERSISTENT_IP_ADDRESS);
    }
    return apply_effect(address, value, ip);
}

uint32 Bootstrap_HeartbeatTimeout(void)
{
    uint32 timeout = 0;
    Bootstrap_ReadReg(REG_HEARTBEAT_TIMEOUT, &timeout, sizeof(timeout));
    return timeout == 0 || timeout > 999999 ? 5000 : timeout;
}
