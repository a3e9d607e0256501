// Helpers shared by the register-space modules (custom, custom_write,
// custom_mem): word access by address, the fields the rules consult, the
// sensor tables and the worker registry.
#ifndef KORVID_COMMON_CUSTOM_INTERNAL_H
#define KORVID_COMMON_CUSTOM_INTERNAL_H

#include <stdint.h>

#include "common/custom.h"
#include "sensor/sensor.h"

namespace regspace {

// Where an address lands: the word it names, or null outside every record
// and for an address that is not a word's.
// The common and colour areas span offsets 0..0x3FF of their pages; the
// ToF area likewise; the run-time record its 31 words.
uint32_t* word_at(uint32_t address);

inline uint32_t page_of(uint32_t address) { return address & REG_PAGE_MASK; }
inline uint32_t offset_of(uint32_t address) { return address & REG_OFFSET_MASK; }

// The word of `cfg` an aligned address of the common, colour or ToF page
// inside its area names.
inline uint32_t* block_word(deviceCFG* cfg, uint32_t address)
{
    return reinterpret_cast<uint32_t*>(cfg) +
           ((page_of(address) - REG_PAGE_COMMON) / 0x1000u * DEV_CFG_AREA_SIZE + offset_of(address)) / 4;
}

inline uint32_t load(const uint32_t* w) { return reg_load(*w); }
inline void store(uint32_t* w, uint32_t v) { reg_store(*w, v); }

// Fields the rules consult; the caller has checked that the records exist.
inline CommonCfg& common() { return g_dev_cfg->common; }
inline SensorInfo& rgb() { return g_dev_cfg->sensor[DEV_CFG_SENSOR_RGB].info; }
inline SensorInfo& tof() { return g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info; }
inline deviceRegMemAddr& run() { return *g_regMemAddr; }
template <typename T> inline T get(const T& f) { return reg_load(f); }
template <typename T> inline void set(T& f, T v) { reg_store(f, v); }

inline bool records_ready() { return g_dev_cfg != nullptr && g_regMemAddr != nullptr; }

// "reg address not implemented!." and REG_NOT_IMPLEMENTED.
int not_implemented();
// Logs the address and answers REG_BAD_ALIGNMENT: an address inside a word
// names no register, whatever page it is on.
int misaligned(uint32_t address);

// A sensor's operations table on the core's device; null when missing.
V4L2SensorInfo* sensor(uint64_t id, iodev_t** dev);

// Worker registry of the core (nothing happens without a core).
bool worker_running(uint64_t id);
// 0 created, -1 no core or creation failed.
int  worker_start(uint64_t id, void* (*fn)(void*));
void worker_halt(uint64_t id);
// Stops the worker and waits, bounded, until it has left the registry.
bool worker_halt_wait(uint64_t id);

// Start/stop pacing clock.
uint32_t now_ms();
void     sleep_ms(unsigned long ms);

}  // namespace regspace

#endif
