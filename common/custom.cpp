// Device register space: the two records behind the register pages, word
// access by address, the read rules, the sensor pass-through and the lock
// that whole-block loads and saves share.
//
// Words are read and written lock-free with relaxed atomic accesses; hosts,
// field buses and internal tasks reach them from their own threads.
#include "common/custom.h"

#include <string.h>

#include <mutex>

#include "common/common.h"
#include "common/custom_internal.h"
#include "epcore.h"
#include "log/logger.h"
#include "main/main.h"
#include "sensor/sensor_imx570.h"
#include "worker.h"

// Set when the register space is initialised; null before, so that code
// running without it can tell.
deviceCFG*        g_dev_cfg    = nullptr;
deviceRegMemAddr* g_regMemAddr = nullptr;

std::atomic<uint8_t>  g_sdk_start_flags{0};
std::atomic<uint32_t> g_tof_fps{0};

namespace {

std::mutex s_blockLock;

uint32_t system_now() { return get_tickcount(); }
void     system_sleep(unsigned long ms) { wait_ms(ms); }

std::atomic<uint32_t (*)(void)>      s_now{system_now};
std::atomic<void (*)(unsigned long)> s_sleep{system_sleep};

constexpr uint32_t kWords = DEV_CFG_SIZE / 4;
constexpr int kHaltPollMs = 1;
constexpr int kHaltPolls = 1000;

uint32_t* block_words() { return reinterpret_cast<uint32_t*>(g_dev_cfg); }

// Input lines as hosts see them: 0 and 3 exchanged.
uint32_t swap_lines(uint32_t lines)
{
    if (lines == 0) return 3;
    if (lines == 3) return 0;
    return lines;
}

} // namespace

namespace regspace {

uint32_t* word_at(uint32_t address)
{
    uint32_t off = offset_of(address);
    // An offset inside a word names no field.
    if (off & 3u) return nullptr;
    switch (page_of(address)) {
    case REG_PAGE_COMMON:
    case REG_PAGE_RGB:
    case REG_PAGE_TOF:
        if (!g_dev_cfg || off >= DEV_CFG_AREA_SIZE) return nullptr;
        return block_word(g_dev_cfg, address);
    case REG_PAGE_RUNTIME:
        if (!g_regMemAddr || off >= REG_MEM_ADDR_SIZE) return nullptr;
        return reinterpret_cast<uint32_t*>(g_regMemAddr) + off / 4;
    default:
        return nullptr;
    }
}

int misaligned(uint32_t address)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "reg address 0x%08x not aligned.", address);
    return REG_BAD_ALIGNMENT;
}

int not_implemented()
{
    log_error(g_logger, __FUNCTION__, __LINE__, "reg address not implemented!.");
    return REG_NOT_IMPLEMENTED;
}

V4L2SensorInfo* sensor(uint64_t id, iodev_t** dev) { return sensor_info_find(get_pcore(), id, dev); }

bool worker_running(uint64_t id)
{
    epcore_t* core = get_pcore();
    return core && epcore_worker_find(core, id) != nullptr;
}

int worker_start(uint64_t id, void* (*fn)(void*))
{
    epcore_t* core = get_pcore();
    return core && worker_create(core, id, fn) == 0 ? 0 : -1;
}

void worker_halt(uint64_t id)
{
    epcore_worker_stop(get_pcore(), id);
}

bool worker_halt_wait(uint64_t id)
{
    worker_halt(id);
    for (int i = 0; i < kHaltPolls; i++) {
        if (!worker_running(id)) return true;
        wait_ms(kHaltPollMs);
    }
    return !worker_running(id);
}

uint32_t now_ms() { return s_now.load()(); }
void     sleep_ms(unsigned long ms) { s_sleep.load()(ms); }

}  // namespace regspace

using namespace regspace;

void custom_set_clock(uint32_t (*now)(void), void (*sleep)(unsigned long))
{
    s_now.store(now ? now : system_now);
    s_sleep.store(sleep ? sleep : system_sleep);
}

uint32_t* get_device_cfg(void) { return block_words(); }

deviceRegMemAddr* get_reg_mem_addr(void) { return g_regMemAddr; }

void reg_block_lock(void) { s_blockLock.lock(); }
void reg_block_unlock(void) { s_blockLock.unlock(); }

void reg_block_copy_out(deviceCFG* out)
{
    if (!out) return;
    uint32_t* dst = reinterpret_cast<uint32_t*>(out);
    for (uint32_t i = 0; i < kWords; i++) dst[i] = g_dev_cfg ? reg_load(block_words()[i]) : 0;
}

void reg_block_copy_in(const void* data, size_t len)
{
    if (!g_dev_cfg) return;
    const uint8_t* src = static_cast<const uint8_t*>(data);
    if (!src) len = 0;
    for (uint32_t i = 0; i < kWords; i++) {
        uint8_t bytes[4] = {};
        for (size_t b = 0; b < 4; b++)
            if (i * 4 + b < len) bytes[b] = src[i * 4 + b];
        uint32_t w;
        memcpy(&w, bytes, 4);
        reg_store(block_words()[i], w);
    }
}

int Custom_RegRead(uint32_t address, uint32_t* value)
{
    if (!value) return REG_NOT_IMPLEMENTED;
    if (address & 3u) {
        *value = 0;
        return misaligned(address);
    }
    uint32_t page = page_of(address);
    uint32_t* w = word_at(address);
    if (!w || !records_ready()) {
        *value = 0;
        return not_implemented();
    }
    *value = load(w);
    if (page == REG_PAGE_COMMON) {
        switch (address) {
        case 0x10000050: Custom_SensorRegReadWrite(address, value, 0); break;
        case 0x1000001C: *value = get(run().enableRaw); break;
        case 0x10000088:
            // While an application algorithm runs, its capability bits answer.
            if (get(common().enableApplationAlgo)) *value = get(run().cpuId) == E_CPU_RK3568 ? 0x70u : 0u;
            break;
        case 0x10000094: *value &= ~0x10000u; break;
        case 0x10000054:
            if (get(run().cameraType) == E_CAMERA_Tavo) *value = 0;
            break;
        default: break;
        }
    } else if (address == 0x10002094) {
        *value = get(run().enableDepthCalib);
    } else if (address == 0x10007070) {
        uint32_t lines = 0;
        if (sensor_imx570_gpio_control(-1, 1, &lines) != 0) *value = swap_lines(lines);
    }
    return REG_OK;
}

int Custom_SensorRegReadWrite(uint32_t address, uint32_t* value, uint32_t operation)
{
    (void)address;
    if (!value || !records_ready()) return REG_REFUSED;
    uint32_t which = get(common().whichSensorSelect);
    uint32_t target = get(common().sensorAddress);
    if (which == 2) {
        // A pass-through onto itself would never end.
        if (target == 0x10000050) {
            log_error(g_logger, __FUNCTION__, __LINE__, "pass-through onto itself refused");
            return REG_REFUSED;
        }
        if (operation == 1) Custom_RegWrite(target, value);
        else Custom_RegRead(target, value);
        return REG_OK;
    }
    iodev_t* dev = nullptr;
    SensorOpsGuard sensorGuard;
    V4L2SensorInfo* ops = sensor(which == 0 ? E_DEVICE_TOF : E_DEVICE_RGB, &dev);
    if (!ops) return REG_OK;
    if (operation == 1) {
        if (ops->write_reg) ops->write_reg(dev, target, (uint16_t)(*value & 0xFFFF));
    } else {
        uint16_t v = 0;
        if (ops->read_reg) ops->read_reg(dev, target, &v);
        *value = v;
    }
    return REG_OK;
}
