// Sensor operations table: finding a sensor's table and decoding the
// register addresses its read_reg/write_reg take.
#include "sensor/sensor.h"

#include "epcore.h"
#include "iodev.h"

V4L2SensorInfo* sensor_info_find(epcore_t* core, uint64_t id, iodev_t** dev)
{
    if (dev) *dev = nullptr;
    if (!core) return nullptr;
    iodev_t* d = epcore_iodev_find(core, id);
    if (!d || !d->priv_data) return nullptr;
    if (dev) *dev = d;
    return static_cast<V4L2SensorInfo*>(d->priv_data);
}

int sensor_reg_is_laser(uint32_t address)
{
    return (address & SENSOR_REG_LASER_FLAG) != 0;
}

uint32_t sensor_laser_index(uint32_t address)
{
    return (address >> 17) & 0xFFu;
}

uint32_t sensor_laser_reg(uint32_t address)
{
    return address & 0xFFu;
}

uint32_t sensor_laser_address(uint32_t index, uint32_t reg)
{
    return SENSOR_REG_LASER_FLAG | ((index & 0xFFu) << 17) | (reg & 0xFFu);
}
