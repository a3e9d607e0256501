// Sensor operations table: finding a sensor's table and decoding the
// register addresses its read_reg/write_reg take; and the media graph
// look-ups that lead from a capture node to its sensor and media node.
#include "sensor/sensor.h"

#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "media-ctl/libmediactl.h"
#include "platform.h"

#include <ctype.h>
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <mutex>

namespace {
std::recursive_mutex s_sensorOpsMu;
} // namespace

void sensor_ops_lock(void) { s_sensorOpsMu.lock(); }
void sensor_ops_unlock(void) { s_sensorOpsMu.unlock(); }

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

// ---- Media graph look-ups ----

namespace {

void copy_name(char* dst, const char* src)
{
    snprintf(dst, SENSOR_NODE_NAME_MAX, "%s", src);
}

} // namespace

int sensor_find_subdev(const char* vnode, char* sub_node, char* sensorName)
{
    if (!vnode || !sub_node || !sensorName) return -1;
    for (int n = 0; n < 64; ++n) {
        char node[32];
        snprintf(node, sizeof(node), "/dev/media%d", n);
        struct stat st;
        if (plat_stat(node, &st) != 0) {
            usleep(1000);
            continue;
        }
        struct media_device* media = media_device_new(node);
        if (!media) continue;
        // A graph read only in part still names its nodes and entities.
        media_device_enumerate(media);
        bool holds_node = false;
        const unsigned count = media_get_entities_count(media);
        for (unsigned i = 0; i < count && !holds_node; ++i) {
            const char* devname = media_entity_get_devname(media_get_entity(media, i));
            holds_node = devname && strcmp(devname, vnode) == 0;
        }
        if (holds_node) {
            for (unsigned i = 0; i < count; ++i) {
                struct media_entity* e = media_get_entity(media, i);
                const struct media_entity_desc* info = media_entity_get_info(e);
                if (info->type != MEDIA_KIND_SENSOR) continue;
                log_info(g_logger, __FUNCTION__, __LINE__, "sensorName:%s", info->name);
                copy_name(sensorName, info->name);
                const char* devname = media_entity_get_devname(e);
                copy_name(sub_node, devname ? devname : "");
                media_device_unref(media);
                return 0;
            }
        }
        media_device_unref(media);
    }
    return -1;
}

int sensor_find_media_device(int fd, char* media_device)
{
    if (!media_device) return -1;
    struct stat st;
    if (plat_fstat(fd, &st) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "failed to stat file\n");
        return -1;
    }
    char board_dir[64];
    snprintf(board_dir, sizeof(board_dir), "/sys/dev/char/%u:%u/device", major(st.st_rdev), minor(st.st_rdev));
    char dir[PATH_MAX];
    if (!plat_path(board_dir, dir, sizeof(dir))) return -1;
    DIR* d = opendir(dir);
    if (!d) return -1;
    int ret = -1;
    while (struct dirent* ent = readdir(d)) {
        const char* name = ent->d_name;
        if (strncmp(name, "media", 5) != 0 || !isdigit(static_cast<unsigned char>(name[5]))) continue;
        int len = snprintf(media_device, SENSOR_NODE_NAME_MAX, "/dev/%s", name);
        if (len > 0 && len < SENSOR_NODE_NAME_MAX) {
            ret = 0;
            break;
        }
        media_device[0] = '\0';  // a name too long for the caller is no answer
    }
    closedir(d);
    return ret;
}
