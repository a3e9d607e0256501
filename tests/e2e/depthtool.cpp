// Test-only helper for the end-to-end scripts, which run korvid as a
// process of its own and see only what reaches the host:
//   depthtool depth RAW OUT [name=value ...]
//       runs the depth-processing stand-in on a raw frame received from the
//       camera (the bytes of RAW), with the registers it reads set to the
//       camera's values, and writes the depth image it computes to OUT as
//       16-bit little-endian samples; prints "WIDTH HEIGHT".
//       Names: sensorType, rgbSensorType, freqMode, groupAFreq,
//       groupBFreq, groupCFreq, phaseOptions, cpuId, cameraType.
//   depthtool scene W H OUT
//       writes the simulated board's scene (millimetres, rounded) at each
//       pixel of a W x H image to OUT the same way.
// Exits 0 on success, 2 on a usage or file error, 1 when no depth came out.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "algo/algo.h"
#include "bpool.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "sensor/sensor_imx570.h"
#include "simboard.h"
#include "worker.h"

namespace {

// Room for any depth image the library reports (at most 672 x 804 pixels).
constexpr size_t kLargestDepth = 1344u * 1608u * 2u;

bool read_file(const char* path, std::vector<uint8_t>* out)
{
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->insert(out->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool write_file(const char* path, const void* data, size_t size)
{
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

bpool_t* make_pool(size_t unitsize)
{
    bpool_t* p = bpool_init(nullptr);
    bpool_set_unitsize(p, (int)unitsize);
    bpool_set_allocnum(p, 2);
    return p;
}

int scene(int argc, char** argv)
{
    if (argc != 5) return 2;
    int w = atoi(argv[2]), h = atoi(argv[3]);
    if (w <= 0 || h <= 0 || w > 8192 || h > 8192) return 2;
    std::vector<uint16_t> mm((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) mm[(size_t)y * w + x] = (uint16_t)lround(sim_scene_distance_mm(x, y, w, h));
    return write_file(argv[4], mm.data(), mm.size() * 2) ? 0 : 2;
}

int depth(int argc, char** argv)
{
    if (argc < 4) return 2;
    std::vector<uint8_t> bytes;
    if (!read_file(argv[2], &bytes) || bytes.empty() || bytes.size() > (1u << 30)) return 2;

    static deviceCFG cfg{};
    static deviceRegMemAddr run{};
    SensorInfo& tof = cfg.sensor[DEV_CFG_SENSOR_TOF].info;
    struct Named {
        const char* name;
        uint32_t*   field;
    } const regs[] = {
        {"sensorType", &tof.sensorType},     {"rgbSensorType", &cfg.sensor[DEV_CFG_SENSOR_RGB].info.sensorType},
        {"freqMode", &tof.freqMode},         {"groupAFreq", &tof.groupAFreq},
        {"groupBFreq", &tof.groupBFreq},     {"groupCFreq", &tof.groupCFreq},
        {"phaseOptions", &cfg.common.phaseOptions}, {"cpuId", &run.cpuId},
        {"cameraType", &run.cameraType},
    };
    for (int i = 4; i < argc; i++) {
        const char* eq = strchr(argv[i], '=');
        bool known = false;
        for (const Named& r : regs) {
            if (eq && strlen(r.name) == (size_t)(eq - argv[i]) && strncmp(argv[i], r.name, eq - argv[i]) == 0) {
                *r.field = (uint32_t)strtoul(eq + 1, nullptr, 0);
                known = true;
            }
        }
        if (!known) {
            fprintf(stderr, "unknown register setting %s\n", argv[i]);
            return 2;
        }
    }
    cfg.common.enableDepth = 1; // only the depth stream is open
    // The phase setting the camera's capture was set up with.
    g_phaseOptions.store(tof.freqMode == 6 ? 3 : cfg.common.phaseOptions);
    g_dev_cfg = &cfg;
    g_regMemAddr = &run;

    // A core with the two pools the stand-in uses and a sender that only
    // holds its list, where the stand-in leaves what it made.
    epcore_t* core = epcore_new(65536, 1);
    core->raw = make_pool(sizeof(ImageInfo) + bytes.size());
    core->depth = make_pool(sizeof(ImageInfo) + kLargestDepth);
    worker_t* gvsp = worker_new(core);
    gvsp->workerid = gvsp->threadid = E_WORKER_ID_GVSP;
    worker_set_datafree(gvsp, frame_datafree);
    worker_thread_add(core, gvsp);

    auto* raw = static_cast<ImageInfo*>(bpool_fetch(core->raw));
    memset(raw, 0, sizeof(ImageInfo));
    raw->memType = E_MEMTYPE_RAW;
    raw->imageType = E_IMAGE_TYPE_RAW;
    raw->sensorIndex = 1;
    raw->imageSize = (uint32)bytes.size();
    memcpy(raw->imageData, bytes.data(), bytes.size());

    int rc = 1;
    algo_depth_process(core, raw);
    while (ImageInfo* img = frame_take(gvsp)) {
        if (img->imageType == E_IMAGE_TYPE_DEPTH && rc == 1) {
            rc = write_file(argv[3], img->imageData, img->imageSize) ? 0 : 2;
            if (rc == 0) printf("%u %u\n", img->width, img->height);
        }
        free_image(core, img);
    }
    worker_thread_del(core, gvsp);
    worker_free(gvsp);
    bpool_clean(core->raw);
    bpool_clean(core->depth);
    core->raw = core->depth = nullptr;
    epcore_clean(core);
    g_dev_cfg = nullptr;
    g_regMemAddr = nullptr;
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    int rc = 2;
    if (argc >= 2 && strcmp(argv[1], "depth") == 0) rc = depth(argc, argv);
    else if (argc >= 2 && strcmp(argv[1], "scene") == 0) rc = scene(argc, argv);
    if (rc == 2) fprintf(stderr, "usage: depthtool depth RAW OUT [name=value ...] | depthtool scene W H OUT\n");
    return rc;
}
