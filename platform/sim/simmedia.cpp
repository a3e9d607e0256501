/* Media graphs of the simulated board: which media, video and sub-device
 * nodes a board carries (from its chip and sensors), the media device's
 * requests, the sysfs character-device links that name a node from its
 * device number, and the camera part of the test control API. */
#include "simcam.h"
#include "simaiq.h"

#include <filesystem>
#include <linux/version.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sim {

namespace {

std::atomic<Hub*> g_hub{nullptr};

/* ---- Media device requests ---- */

Entity* entity_by_id(Media* m, uint32_t id)
{
    for (auto& e : m->ents)
        if (e->id == id) return e.get();
    return nullptr;
}

uint32_t out_links(const Media* m, const Entity* e)
{
    uint32_t n = 0;
    for (const auto& l : m->links) n += l.src == e;
    return n;
}

bool busy(const Entity* e) { return e->video && e->video->streaming; }

int media_ioctl(void* model, sim_node_t*, unsigned long request, void* arg)
{
    auto* m = static_cast<Media*>(model);
    std::lock_guard<std::mutex> lk(m->hub->mu);
    if (!arg) return -EFAULT;
    switch (request) {
    case MEDIA_IOC_DEVICE_INFO:
        *static_cast<media_device_info*>(arg) = m->info;
        return 0;
    case MEDIA_IOC_ENUM_ENTITIES: {
        auto* d = static_cast<media_entity_desc*>(arg);
        Entity* e = nullptr;
        if (d->id & MEDIA_ENT_ID_FLAG_NEXT) {
            uint32_t after = d->id & ~MEDIA_ENT_ID_FLAG_NEXT;
            for (auto& x : m->ents)
                if (x->id > after && (!e || x->id < e->id)) e = x.get();
        } else {
            e = entity_by_id(m, d->id);
        }
        if (!e) return -EINVAL;
        memset(d, 0, sizeof(*d));
        d->id = e->id;
        snprintf(d->name, sizeof(d->name), "%s", e->name.c_str());
        d->type = e->type;
        d->flags = e->flags;
        d->pads = (uint16_t)e->pads.size();
        d->links = (uint16_t)out_links(m, e);
        if (!e->node.empty()) {
            d->dev.major = major(e->rdev);
            d->dev.minor = minor(e->rdev);
        }
        return 0;
    }
    case MEDIA_IOC_ENUM_LINKS: {
        auto* le = static_cast<media_links_enum*>(arg);
        Entity* e = entity_by_id(m, le->entity);
        if (!e) return -EINVAL;
        if (le->pads) {
            for (size_t i = 0; i < e->pads.size(); i++) {
                memset(&le->pads[i], 0, sizeof(le->pads[i]));
                le->pads[i].entity = e->id;
                le->pads[i].index = (uint16_t)i;
                le->pads[i].flags = e->pads[i];
            }
        }
        if (le->links) {
            size_t k = 0;
            for (const auto& l : m->links) {
                if (l.src != e) continue;
                media_link_desc& d = le->links[k++];
                memset(&d, 0, sizeof(d));
                d.source.entity = l.src->id;
                d.source.index = l.src_pad;
                d.source.flags = MEDIA_PAD_FL_SOURCE;
                d.sink.entity = l.sink->id;
                d.sink.index = l.sink_pad;
                d.sink.flags = MEDIA_PAD_FL_SINK;
                d.flags = l.flags;
            }
        }
        return 0;
    }
    case MEDIA_IOC_SETUP_LINK: {
        auto* d = static_cast<media_link_desc*>(arg);
        Entity* src = entity_by_id(m, d->source.entity);
        Entity* sink = entity_by_id(m, d->sink.entity);
        if (!src || !sink) return -EINVAL;
        for (auto& l : m->links) {
            if (l.src != src || l.sink != sink || l.src_pad != d->source.index || l.sink_pad != d->sink.index)
                continue;
            // Only the enabled bit may change, and never on an immutable link.
            if ((l.flags & ~MEDIA_LNK_FL_ENABLED) != (d->flags & ~MEDIA_LNK_FL_ENABLED)) return -EINVAL;
            if (l.flags & MEDIA_LNK_FL_IMMUTABLE) return l.flags == d->flags ? 0 : -EINVAL;
            if (l.flags != d->flags && (busy(src) || busy(sink))) return -EBUSY;
            l.flags = d->flags;
            return 0;
        }
        return -EINVAL;
    }
    default: return -ENOTTY;
    }
}

int media_open(void*, sim_node_t*) { return 0; }

const sim_devops_t kMediaOps = {media_open, nullptr, media_ioctl, nullptr, nullptr, nullptr, hub_release};

/* ---- Building the graphs ---- */

namespace fs = std::filesystem;

struct Builder {
    Hub*        h;
    Media*      m = nullptr;
    std::string plat; /* sysfs device directory of the graph's nodes */
    uint32_t    next_id = 1;
    int*        videos = nullptr;
    int*        subdevs = nullptr;

    std::string host(const std::string& p) const { return h->b->root + p; }

    void put(const std::string& p, const std::string& text) const { write_file(host(p), text.data(), text.size(), false); }

    void link_char(const std::string& sys_dir, dev_t rdev) const
    {
        char num[32];
        snprintf(num, sizeof(num), "%u:%u", major(rdev), minor(rdev));
        make_dirs(host("/sys/dev/char"));
        std::string l = host(std::string("/sys/dev/char/") + num);
        unlink(l.c_str());
        // Relative, as the kernel makes them: "../../devices/...".
        if (symlink((std::string("../..") + sys_dir.substr(4)).c_str(), l.c_str()) != 0) return;
        put(sys_dir + "/dev", std::string(num) + "\n");
    }

    /* Registers a node at `path` for `model` and lays out its sysfs side. */
    dev_t node(const std::string& path, const sim_devops_t* ops, void* model, const std::string& dir,
               const std::string& name)
    {
        if (device_add(h->b, path.c_str(), ops, model) != 0) return 0;
        h->refs.fetch_add(1);
        dev_t rdev = sim_device_rdev(path.c_str());
        std::string sys = dir + "/" + path.substr(path.rfind('/') + 1);
        make_dirs(host(sys));
        put(sys + "/name", name + "\n");
        std::string dev_link = host(sys + "/device");
        unlink(dev_link.c_str());
        if (symlink("../..", dev_link.c_str()) != 0) return rdev; // the node works without it
        link_char(sys, rdev);
        return rdev;
    }

    void begin(const std::string& path, const char* driver, const std::string& model, const std::string& platdir)
    {
        h->media.push_back(std::make_unique<Media>());
        m = h->media.back().get();
        m->hub = h;
        m->path = path;
        plat = "/sys/devices/platform/" + platdir;
        snprintf(m->info.driver, sizeof(m->info.driver), "%s", driver);
        snprintf(m->info.model, sizeof(m->info.model), "%s", model.c_str());
        snprintf(m->info.bus_info, sizeof(m->info.bus_info), "platform:%s", platdir.c_str());
        m->info.media_version = KERNEL_VERSION(5, 10, 160);
        m->info.driver_version = KERNEL_VERSION(5, 10, 160);
        make_dirs(host(plat));
        std::string sys = plat + path.substr(path.rfind('/'));
        make_dirs(host(sys));
        if (device_add(h->b, path.c_str(), &kMediaOps, m) == 0) {
            h->refs.fetch_add(1);
            link_char(sys, sim_device_rdev(path.c_str()));
        }
    }

    Entity* add(const std::string& name, uint32_t type, uint32_t flags, std::vector<uint32_t> pads)
    {
        m->ents.push_back(std::make_unique<Entity>());
        Entity* e = m->ents.back().get();
        // Pads and links share the id space with entities, so entity ids
        // have gaps, as on the board.
        e->id = next_id;
        next_id += 1 + (uint32_t)pads.size();
        e->name = name;
        e->type = type;
        e->flags = flags;
        e->pads = std::move(pads);
        return e;
    }

    Entity* video(const std::string& name, uint32_t flags, bool mplane, std::vector<uint32_t> formats, bool sink = true)
    {
        Entity* e = add(name, MEDIA_ENT_F_IO_V4L, flags, {sink ? (uint32_t)MEDIA_PAD_FL_SINK : (uint32_t)MEDIA_PAD_FL_SOURCE});
        h->videos.push_back(std::make_unique<Video>());
        Video* v = h->videos.back().get();
        v->hub = h;
        v->ent = e;
        v->mplane = mplane;
        v->formats = std::move(formats);
        v->path = "/dev/video" + std::to_string((*videos)++);
        e->video = v;
        e->node = v->path;
        e->rdev = node(v->path, &kVideoOps, v, plat + "/video4linux", name);
        if (!e->rdev) e->node.clear();
        return e;
    }

    Entity* subdev(const std::string& name, uint32_t type, std::vector<uint32_t> pads, Sensor* s = nullptr,
                   const std::string& dir = "")
    {
        Entity* e = add(name, type, 0, std::move(pads));
        h->subdevs.push_back(std::make_unique<Subdev>());
        Subdev* sd = h->subdevs.back().get();
        sd->hub = h;
        sd->ent = e;
        sd->path = "/dev/v4l-subdev" + std::to_string((*subdevs)++);
        e->subdev = sd;
        e->sensor = s;
        e->node = sd->path;
        e->rdev = node(sd->path, &kSubdevOps, sd, (dir.empty() ? plat : dir) + "/video4linux", name);
        if (!e->rdev) e->node.clear();
        return e;
    }

    void link(Entity* a, uint16_t ap, Entity* b, uint16_t bp, uint32_t flags)
    {
        m->links.push_back(Link{a, ap, b, bp, flags});
    }

    Entity* sensor(Sensor* s, int bus, int addr)
    {
        char dir[64];
        snprintf(dir, sizeof(dir), "/sys/devices/platform/i2c-%d/%d-%04x", bus, bus, addr);
        make_dirs(host(dir));
        return subdev(s->entity, MEDIA_ENT_F_CAM_SENSOR, {MEDIA_PAD_FL_SOURCE}, s, dir);
    }
};

struct Placed {
    Sensor* s;
    int     bus, addr;
};

std::vector<uint32_t> cif_formats(const std::vector<Placed>& sensors)
{
    uint32_t first = sensors.empty() ? V4L2_PIX_FMT_Y12 : fourcc_of_code(sensors[0].s->fmt.code);
    return {first ? first : V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y10, V4L2_PIX_FMT_GREY,
            V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_Y16};
}

/* Camera interface: sensors -> D-PHYs -> MIPI CSI-2 -> four stream nodes.
 * Only the first sensor's D-PHY link is enabled. */
void build_cif(Builder& bd, const std::string& media, const std::string& platdir, const std::vector<Placed>& sensors)
{
    bd.begin(media, "rkcif", platdir, platdir);
    std::vector<Entity*> streams;
    for (int i = 0; i < 4; i++)
        streams.push_back(bd.video("stream_cif_mipi_id" + std::to_string(i), i == 0 ? MEDIA_ENT_FL_DEFAULT : 0, true,
                                   cif_formats(sensors)));
    Entity* csi = bd.subdev("rockchip-mipi-csi2", MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN,
                            {MEDIA_PAD_FL_SINK, MEDIA_PAD_FL_SOURCE, MEDIA_PAD_FL_SOURCE, MEDIA_PAD_FL_SOURCE,
                             MEDIA_PAD_FL_SOURCE});
    for (int i = 0; i < 4; i++) bd.link(csi, (uint16_t)(i + 1), streams[(size_t)i], 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
    for (size_t k = 0; k < sensors.size(); k++) {
        Entity* dphy = bd.subdev("rockchip-csi2-dphy" + std::to_string(k), MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN,
                                 {MEDIA_PAD_FL_SINK, MEDIA_PAD_FL_SOURCE});
        Entity* se = bd.sensor(sensors[k].s, sensors[k].bus, sensors[k].addr);
        bd.link(se, 0, dphy, 0, MEDIA_LNK_FL_ENABLED);
        bd.link(dphy, 1, csi, 0, k == 0 ? MEDIA_LNK_FL_ENABLED : 0);
    }
}

/* Image signal processor: sensor -> D-PHY -> ISP -> main and self paths. */
void build_isp(Builder& bd, const std::string& media, const std::string& platdir, const std::vector<Placed>& sensors)
{
    bd.begin(media, "rkisp-vir", platdir, platdir);
    Entity* isp = bd.subdev("rkisp-isp-subdev", MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN,
                            {MEDIA_PAD_FL_SINK, MEDIA_PAD_FL_SINK, MEDIA_PAD_FL_SOURCE, MEDIA_PAD_FL_SOURCE});
    std::vector<uint32_t> yuv = {V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420};
    Entity* main = bd.video("rkisp_mainpath", MEDIA_ENT_FL_DEFAULT, true, yuv);
    Entity* self = bd.video("rkisp_selfpath", 0, true, yuv);
    Entity* stats = bd.video("rkisp-statistics", 0, false, {v4l2_fourcc('R', 'K', '1', 'S')});
    Entity* params = bd.video("rkisp-input-params", 0, false, {v4l2_fourcc('R', 'K', '1', 'P')}, false);
    bd.link(isp, 2, main, 0, MEDIA_LNK_FL_ENABLED);
    bd.link(isp, 2, self, 0, MEDIA_LNK_FL_ENABLED);
    bd.link(isp, 3, stats, 0, MEDIA_LNK_FL_ENABLED);
    bd.link(params, 0, isp, 1, MEDIA_LNK_FL_ENABLED);
    for (size_t k = 0; k < sensors.size(); k++) {
        Entity* dphy = bd.subdev("rockchip-csi2-dphy" + std::to_string(k + 1), MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN,
                                 {MEDIA_PAD_FL_SINK, MEDIA_PAD_FL_SOURCE});
        Entity* se = bd.sensor(sensors[k].s, sensors[k].bus, sensors[k].addr);
        bd.link(se, 0, dphy, 0, MEDIA_LNK_FL_ENABLED);
        bd.link(dphy, 1, isp, 0, k == 0 ? MEDIA_LNK_FL_ENABLED : 0);
    }
}

/* A USB camera: its camera terminal feeds the one video node. */
void build_uvc(Builder& bd, const std::string& media, Sensor* s)
{
    bd.begin(media, "uvcvideo", "UVC Camera", "usb-uvc-camera");
    Entity* v = bd.video("Webcam gadget: UVC Camera", MEDIA_ENT_FL_DEFAULT, false, {V4L2_PIX_FMT_MJPEG});
    Entity* cam = bd.add("UVC Camera", MEDIA_ENT_F_CAM_SENSOR, 0, {MEDIA_PAD_FL_SOURCE});
    cam->sensor = s;
    bd.link(cam, 0, v, 0, MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
    // Its controls are the video node's.
    for (uint32_t id : {0x00980900u, 0x00980913u, 0x00980914u, 0x00980915u, 0x009A0901u, 0x009A0902u}) s->ctrls[id] = 0;
    v->video->ctrls = &s->ctrls;
}

/* Node files and links left by an earlier run (maybe another profile). */
void clear_old(const std::string& root)
{
    std::error_code ec;
    fs::remove_all(root + "/sys/dev/char", ec);
    fs::remove_all(root + "/sys/devices/platform", ec);
    for (auto it = fs::directory_iterator(root + "/dev", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string n = it->path().filename().string();
        if (n.starts_with("video") || n.starts_with("v4l-subdev") || n.starts_with("media")) {
            std::error_code e2;
            fs::remove(it->path(), e2);
        }
    }
}

Hub* hub() { return g_hub.load(std::memory_order_acquire); }

} // namespace

void videos_wake_locked()
{
    Hub* h = hub();
    if (!h) return;
    for (auto& v : h->videos) v->cv.notify_all();
}

Media* media_of(Hub* h, const Entity* e)
{
    for (auto& m : h->media)
        for (auto& x : m->ents)
            if (x.get() == e) return m.get();
    return nullptr;
}

namespace {

Sensor* walk_back(Media* m, Entity* e, int depth)
{
    if (e->sensor) return e->sensor;
    if (depth > 8) return nullptr;
    for (auto& l : m->links) {
        if (l.sink != e || !(l.flags & MEDIA_LNK_FL_ENABLED)) continue;
        if (Sensor* s = walk_back(m, l.src, depth + 1)) return s;
    }
    return nullptr;
}

} // namespace

Sensor* source_sensor(Media* m, Entity* e) { return m && e ? walk_back(m, e, 0) : nullptr; }

std::string isp_sensor_of(const std::string& video)
{
    Hub* h = hub();
    if (!h) return "";
    std::lock_guard<std::mutex> lk(h->mu);
    for (auto& v : h->videos) {
        if (v->path != video || !v->ent->name.starts_with("rkisp")) continue;
        Sensor* s = source_sensor(media_of(h, v->ent), v->ent);
        return s ? s->entity : "";
    }
    return "";
}

void hub_release(void* model)
{
    (void)model;
    Hub* h = hub();
    if (!h || h->refs.fetch_sub(1) != 1) return;
    g_hub.store(nullptr, std::memory_order_release);
    for (auto& v : h->videos) {
        if (v->pacer.joinable()) {
            {
                std::lock_guard<std::mutex> lk(h->mu);
                v->stop = true;
            }
            v->cv.notify_all();
            v->pacer.join();
        }
        video_release_memory(v.get());
    }
    delete h;
}

void install_cameras(Board* b)
{
    const sim_profile_t& p = b->profile;
    aiq_reset();
    clear_old(b->root);
    // A bare board (no camera of any kind) carries no capture graphs, so a
    // test may place its own media devices there.
    if (!p.tof_sensor[0] && !p.colour_sensor[0] && !p.usb_camera) return;
    auto* h = new Hub();
    h->b = b;
    // Held by the installer until every node is in, so a failed device
    // cannot free the hub half built.
    h->refs.store(1);
    g_hub.store(h, std::memory_order_release);

    int cpu = strcmp(p.chip, "RK3568") == 0 ? 1 : strcmp(p.chip, "RK3576") == 0 ? 2 : 0;
    auto make = [&](const char* kind, const char* prefix, int bus, int addr) -> Sensor* {
        if (!kind[0]) return nullptr;
        Sensor* s = make_sensor(kind, b->root);
        if (!s) return nullptr;
        char name[64];
        snprintf(name, sizeof(name), "%s%s %d-%04x", prefix, kind, bus, addr);
        s->entity = name;
        s->temperature = p.temperature;
        h->sensors.emplace_back(s);
        return s;
    };
    int tof_bus = cpu == 0 ? 5 : 3;
    Sensor* tof = make(p.tof_sensor, "m01_b_", tof_bus, 0x10);
    Sensor* col = make(p.colour_sensor, "m00_b_", 4, 0x30);
    std::vector<Placed> none, tofs, cols;
    if (tof) tofs.push_back({tof, tof_bus, 0x10});
    if (col) cols.push_back({col, 4, 0x30});
    bool isp_colour = col && col->kind == "sc230ai";
    // The monochrome colour-port camera takes its frame sync from the ToF sensor.
    if (col && tof && col->kind == "sc130gs") col->sync_source = tof;

    int videos = 0, subdevs = 0;
    Builder bd{h, nullptr, "", 1, &videos, &subdevs};
    {
        std::lock_guard<std::mutex> lk(h->mu);
        if (cpu == 0) {
            build_cif(bd, "/dev/media0", "rkcif-mipi-lvds", isp_colour ? none : cols);
            build_cif(bd, "/dev/media1", "rkcif-mipi-lvds1", tofs);
            build_isp(bd, "/dev/media2", "rkisp0-vir0", isp_colour ? cols : none);
        } else if (cpu == 1) {
            build_cif(bd, "/dev/media0", "rkcif-mipi-lvds", tofs);
            build_isp(bd, "/dev/media1", "rkisp-vir0", cols);
        } else {
            std::vector<Placed> both = tofs;
            both.insert(both.end(), cols.begin(), cols.end());
            build_cif(bd, "/dev/media0", "rkcif-mipi-lvds", both);
        }
        if (p.usb_camera) {
            Sensor* uvc = make("uvc", "", 0, 0);
            if (uvc) {
                uvc->entity = "UVC Camera";
                build_uvc(bd, "/dev/media3", uvc);
            }
        }
    }
    hub_release(nullptr);
}

} // namespace sim

/* ---- Control API ---- */

namespace {

using sim::Hub;

std::string board_path(const char* path)
{
    sim::Board* b = sim::board();
    sim::Resolved r;
    if (!b || !path || sim::resolve(b->root, path, false, &r) != 0) return "";
    return r.board;
}

/* Runs `f` on the video node at `path` under the hub lock. */
template <class F> int with_video(const char* path, F&& f)
{
    return fenced<int>(-1, [&]() -> int {
        Hub* h = sim::hub();
        std::string bp = board_path(path);
        if (h)
            for (auto& v : h->videos)
                if (v->path == bp) {
                    std::unique_lock<std::mutex> lk(h->mu);
                    return f(v.get(), lk);
                }
        errno = ENODEV;
        return -1;
    });
}

template <class R, class F> R with_sensor(const char* name, R failure, F&& f)
{
    return fenced<R>(failure, [&]() -> R {
        Hub* h = sim::hub();
        if (h && name) {
            std::string bp = name[0] == '/' ? board_path(name) : "";
            std::lock_guard<std::mutex> lk(h->mu);
            for (auto& m : h->media)
                for (auto& e : m->ents)
                    if (e->sensor && (e->name == name || (!bp.empty() && e->node == bp)))
                        return f(e->sensor, e.get(), m.get());
        }
        errno = ENODEV;
        return failure;
    });
}

} // namespace

int sim_camera_set_mode(const char* video, int mode)
{
    if (mode != SIM_CAMERA_PACED && mode != SIM_CAMERA_STEPPED) {
        errno = EINVAL;
        return -1;
    }
    return with_video(video, [&](sim::Video* v, std::unique_lock<std::mutex>&) {
        v->mode = mode;
        sim::video_start_pacer_locked(v);
        return 0;
    });
}

int sim_camera_set_faults(const char* video, unsigned faults)
{
    return with_video(video, [&](sim::Video* v, std::unique_lock<std::mutex>&) {
        v->faults = faults;
        return 0;
    });
}

int sim_camera_step(const char* video, unsigned count)
{
    return with_video(video, [&](sim::Video* v, std::unique_lock<std::mutex>&) {
        int n = 0;
        for (unsigned i = 0; i < count; i++) n += sim::video_emit_locked(v);
        return n;
    });
}

long sim_camera_frames(const char* video)
{
    long n = -1;
    with_video(video, [&](sim::Video* v, std::unique_lock<std::mutex>&) {
        n = v->frames;
        return 0;
    });
    return n;
}

size_t sim_sensor_log_count(const char* sensor)
{
    return with_sensor<size_t>(sensor, 0, [](sim::Sensor* s, sim::Entity*, sim::Media*) { return s->log.size(); });
}

int sim_sensor_log_get(const char* sensor, size_t index, sim_sensor_write_t* out)
{
    return with_sensor<int>(sensor, -1, [&](sim::Sensor* s, sim::Entity*, sim::Media*) {
        if (!out || index >= s->log.size()) return -1;
        *out = s->log[index];
        return 0;
    });
}

long sim_sensor_log_find(const char* sensor, int kind, uint32_t addr, size_t from)
{
    return with_sensor<long>(sensor, -1, [&](sim::Sensor* s, sim::Entity*, sim::Media*) {
        for (size_t i = from; i < s->log.size(); i++)
            if (s->log[i].kind == kind && s->log[i].addr == addr) return (long)i;
        return -1L;
    });
}

void sim_sensor_log_clear(const char* sensor)
{
    with_sensor<int>(sensor, 0, [](sim::Sensor* s, sim::Entity*, sim::Media*) {
        s->log.clear();
        return 0;
    });
}

int sim_sensor_get_reg(const char* sensor, unsigned addr, unsigned* value)
{
    return with_sensor<int>(sensor, -1, [&](sim::Sensor* s, sim::Entity*, sim::Media*) {
        if (value) *value = s->reg(addr);
        return 0;
    });
}

int sim_sensor_set_reg(const char* sensor, unsigned addr, unsigned value)
{
    return with_sensor<int>(sensor, -1, [&](sim::Sensor* s, sim::Entity*, sim::Media*) {
        s->write_reg(addr, (uint8_t)value, false);
        return 0;
    });
}

int sim_sensor_trigger(const char* sensor)
{
    return with_sensor<int>(sensor, -1, [&](sim::Sensor* s, sim::Entity*, sim::Media*) {
        s->trigger();
        return 0;
    });
}

int sim_sensor_group_index(const char* sensor, int position, int index)
{
    return with_sensor<int>(sensor, -1, [&](sim::Sensor* s, sim::Entity*, sim::Media*) {
        if (position < 0 || position >= 3) return -1;
        s->group_index[position] = index;
        s->cache_key.clear();
        return 0;
    });
}

int sim_sensor_state(const char* sensor, sim_sensor_state_t* out)
{
    return with_sensor<int>(sensor, -1, [&](sim::Sensor* s, sim::Entity* e, sim::Media* m) {
        if (!out) return -1;
        memset(out, 0, sizeof(*out));
        snprintf(out->entity, sizeof(out->entity), "%s", e->name.c_str());
        snprintf(out->subdev, sizeof(out->subdev), "%s", e->node.c_str());
        snprintf(out->media, sizeof(out->media), "%s", m->path.c_str());
        out->code = s->fmt.code;
        out->width = s->fmt.width;
        out->height = s->fmt.height;
        out->fourcc = s->fourcc();
        out->fps = s->fps();
        for (int g = 0; g < 3; g++) out->mod_mhz[g] = s->mod_hz(g) / 1e6;
        return 0;
    });
}
