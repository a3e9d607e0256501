// A small media graph on the simulated board: one media node answering the
// media-controller requests, sub-device nodes answering pad requests (each
// one logged), video node placeholders, and the sysfs links that name them.
//
//   sensor  "m00_b_imx570 4-0010"  id 1   0x20001  pad 0 source    v4l-subdev40
//   dphy    "rockchip-csi2-dphy0"  id 3   0x20000  0 sink 1 source v4l-subdev41
//   cif     "rkcif-mipi-lvds"      id 6   0x20000  0 sink 1 source v4l-subdev42
//   stream  "stream_cif_mipi_id0"  id 9   0x10001  0 sink (default) video40
//   main    "rkisp_mainpath"       id 12  0x10001  0 sink           video41
//   links: 1:0->3:0 [3], 3:1->6:0 [1], 6:1->9:0 [1], 6:1->12:0 [0]
//
// Node numbers start at 40 so that graphs the board itself carries keep
// theirs.
#ifndef KORVID_TESTS_MEDIAFIXTURE_H
#define KORVID_TESTS_MEDIAFIXTURE_H

#include "media-ctl/libmediactl.h"
#include "platform/boardroot.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/media.h>
#include <linux/v4l2-subdev.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mediafx {

struct Entity {
    uint32_t              id;
    std::string           name;
    uint32_t              type;
    uint32_t              flags;
    std::vector<uint32_t> pads;    // pad flags
    std::string           node;    // device node, "" none
    int                   links = -1;  // reported outbound link count; -1: the real one
};

struct Link {
    uint32_t src, spad, snk, kpad, flags;
};

// The media node's model.
struct Media {
    std::vector<Entity>               entities;
    std::vector<Link>                 links;
    std::vector<struct media_link_desc> setups;  // link requests received
    int                               setup_err = 0;
    bool                              stuck_ids = false;  // ENUM_ENTITIES answers the same id again
    unsigned                          requests = 0;

    const Entity* find(uint32_t id) const
    {
        bool next = id & MEDIA_ENT_ID_FLAG_NEXT;
        id &= ~MEDIA_ENT_ID_FLAG_NEXT;
        const Entity* best = nullptr;
        for (const Entity& e : entities) {
            if (!next && e.id == id) return &e;
            if (next && (e.id > id || stuck_ids) && (!best || e.id < best->id)) best = &e;
        }
        return best;
    }
    unsigned outbound(uint32_t id) const
    {
        unsigned n = 0;
        for (const Link& l : links) n += l.src == id;
        return n;
    }

    static int ioctl(void* model, sim_node_t*, unsigned long request, void* arg)
    {
        auto* m = static_cast<Media*>(model);
        m->requests++;
        switch (request) {
        case MEDIA_IOC_DEVICE_INFO: {
            auto* info = static_cast<struct media_device_info*>(arg);
            memset(info, 0, sizeof(*info));
            snprintf(info->driver, sizeof(info->driver), "rkcif");
            snprintf(info->model, sizeof(info->model), "rkcif-mipi-lvds");
            snprintf(info->bus_info, sizeof(info->bus_info), "platform:rkcif-fixture");
            info->media_version = 0x060100;
            return 0;
        }
        case MEDIA_IOC_ENUM_ENTITIES: {
            auto* d = static_cast<struct media_entity_desc*>(arg);
            const Entity* e = m->find(d->id);
            if (!e) return -EINVAL;
            memset(d, 0, sizeof(*d));
            d->id = e->id;
            snprintf(d->name, sizeof(d->name), "%s", e->name.c_str());
            d->type = e->type;
            d->flags = e->flags;
            d->pads = (uint16_t)e->pads.size();
            d->links = (uint16_t)(e->links >= 0 ? (unsigned)e->links : m->outbound(e->id));
            if (!e->node.empty()) {
                dev_t rdev = sim_device_rdev(e->node.c_str());
                d->dev.major = major(rdev);
                d->dev.minor = minor(rdev);
            }
            return 0;
        }
        case MEDIA_IOC_ENUM_LINKS: {
            auto* req = static_cast<struct media_links_enum*>(arg);
            const Entity* e = m->find(req->entity);
            if (!e) return -EINVAL;
            for (size_t i = 0; req->pads && i < e->pads.size(); ++i)
                req->pads[i] = {e->id, (uint16_t)i, e->pads[i], {0}};
            unsigned room = e->links >= 0 ? (unsigned)e->links : m->outbound(e->id);
            unsigned n = 0;
            for (const Link& l : m->links) {
                if (l.src != e->id || n >= room || !req->links) continue;
                struct media_link_desc& d = req->links[n++];
                memset(&d, 0, sizeof(d));
                d.source = {l.src, (uint16_t)l.spad, MEDIA_PAD_FL_SOURCE, {0}};
                d.sink = {l.snk, (uint16_t)l.kpad, MEDIA_PAD_FL_SINK, {0}};
                d.flags = l.flags;
            }
            return 0;
        }
        case MEDIA_IOC_SETUP_LINK: {
            auto* d = static_cast<struct media_link_desc*>(arg);
            m->setups.push_back(*d);
            if (m->setup_err) return -m->setup_err;
            for (Link& l : m->links)
                if (l.src == d->source.entity && l.spad == d->source.index && l.snk == d->sink.entity &&
                    l.kpad == d->sink.index)
                    l.flags = d->flags;
            return 0;
        }
        default: return -ENOTTY;
        }
    }
};

// One sub-device node's model; requests go to a shared log.
struct Subdev {
    std::string                                 name;
    std::vector<std::string>*                   log = nullptr;
    std::map<uint32_t, struct v4l2_mbus_framefmt> formats;
    uint32_t                                    max_width = 0;  // the driver narrows wider formats
    bool                                        no_selection = false;
    int                                         interval_err = 0;

    void note(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char buf[256];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        log->push_back(buf);
    }

    static int ioctl(void* model, sim_node_t*, unsigned long request, void* arg)
    {
        auto* s = static_cast<Subdev*>(model);
        switch (request) {
        case VIDIOC_SUBDEV_S_FMT: {
            auto* f = static_cast<struct v4l2_subdev_format*>(arg);
            if (s->max_width && f->format.width > s->max_width) f->format.width = s->max_width;
            s->formats[f->pad] = f->format;
            s->note("fmt %s:%u 0x%04x %ux%u field %u cs %u", s->name.c_str(), f->pad, f->format.code,
                    f->format.width, f->format.height, f->format.field, f->format.colorspace);
            return 0;
        }
        case VIDIOC_SUBDEV_G_FMT: {
            auto* f = static_cast<struct v4l2_subdev_format*>(arg);
            f->format = s->formats[f->pad];
            return 0;
        }
        case VIDIOC_SUBDEV_S_SELECTION: {
            if (s->no_selection) return -ENOTTY;
            auto* sel = static_cast<struct v4l2_subdev_selection*>(arg);
            s->note("sel %s:%u %u (%d,%d)/%ux%u", s->name.c_str(), sel->pad, sel->target, sel->r.left, sel->r.top,
                    sel->r.width, sel->r.height);
            return 0;
        }
        case VIDIOC_SUBDEV_S_CROP: {
            auto* c = static_cast<struct v4l2_subdev_crop*>(arg);
            s->note("crop %s:%u (%d,%d)/%ux%u", s->name.c_str(), c->pad, c->rect.left, c->rect.top, c->rect.width,
                    c->rect.height);
            return 0;
        }
        case VIDIOC_SUBDEV_S_FRAME_INTERVAL: {
            if (s->interval_err) return -s->interval_err;
            auto* fi = static_cast<struct v4l2_subdev_frame_interval*>(arg);
            s->note("ival %s:%u %u/%u", s->name.c_str(), fi->pad, fi->interval.numerator, fi->interval.denominator);
            return 0;
        }
        default: return -ENOTTY;
        }
    }
};

inline const sim_devops_t kMediaOps = {nullptr, nullptr, Media::ioctl, nullptr, nullptr, nullptr, nullptr};
inline const sim_devops_t kSubdevOps = {nullptr, nullptr, Subdev::ioctl, nullptr, nullptr, nullptr, nullptr};
inline const sim_devops_t kPlainOps = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// Messages a media device sends to its debug handler.
struct Messages {
    std::string text;
    static void sink(void* priv, const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char buf[1024];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        static_cast<Messages*>(priv)->text += buf;
    }
    bool has(const std::string& s) const { return text.find(s) != std::string::npos; }
};

// The graph of the header comment, installed on a fresh board. The models
// outlive the board (declared first, destroyed last).
struct Graph {
    Media                                media;
    std::vector<std::unique_ptr<Subdev>> subdevs;
    std::vector<std::string>             log;
    BoardRoot                            board;
    std::string                          media_node = "/dev/media40";

    Graph()
    {
        media.entities = {
            {1, "m00_b_imx570 4-0010", 0x20001, 0, {MEDIA_PAD_FL_SOURCE}, "/dev/v4l-subdev40"},
            {3, "rockchip-csi2-dphy0", 0x20000, 0, {MEDIA_PAD_FL_SINK, MEDIA_PAD_FL_SOURCE}, "/dev/v4l-subdev41"},
            {6, "rkcif-mipi-lvds", 0x20000, 0, {MEDIA_PAD_FL_SINK, MEDIA_PAD_FL_SOURCE}, "/dev/v4l-subdev42"},
            {9, "stream_cif_mipi_id0", 0x10001, MEDIA_ENT_FL_DEFAULT, {MEDIA_PAD_FL_SINK}, "/dev/video40"},
            {12, "rkisp_mainpath", 0x10001, 0, {MEDIA_PAD_FL_SINK}, "/dev/video41"},
        };
        media.links = {{1, 0, 3, 0, 3}, {3, 1, 6, 0, 1}, {6, 1, 9, 0, 1}, {6, 1, 12, 0, 0}};
    }

    // Adds the models and sysfs links; call after changing the graph.
    void install()
    {
        ASSERT_EQ(board.rc, 0);
        ASSERT_EQ(sim_device_add(media_node.c_str(), &kMediaOps, &media), 0);
        for (const Entity& e : media.entities) {
            if (e.node.empty()) continue;
            if ((e.type & 0x00FF0000) == 0x20000) {
                auto s = std::make_unique<Subdev>();
                s->name = e.node.substr(e.node.rfind('/') + 1);
                s->log = &log;
                ASSERT_EQ(sim_device_add(e.node.c_str(), &kSubdevOps, s.get()), 0);
                subdevs.push_back(std::move(s));
            } else {
                ASSERT_EQ(sim_device_add(e.node.c_str(), &kPlainOps, nullptr), 0);
            }
            sysfs_link(sim_device_rdev(e.node.c_str()), e.node.substr(e.node.rfind('/') + 1));
        }
    }

    // "/sys/dev/char/MAJ:MIN" -> a device directory whose last part is `name`.
    void sysfs_link(dev_t rdev, const std::string& name)
    {
        std::string dir = board.host("/sys/dev/char");
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        ASSERT_FALSE(ec);
        std::string link = dir + "/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
        unlink(link.c_str());
        ASSERT_EQ(symlink(("../../devices/platform/rkcif/video4linux/" + name).c_str(), link.c_str()), 0);
    }

    Subdev* subdev(const std::string& name)
    {
        for (auto& s : subdevs)
            if (s->name == name) return s.get();
        return nullptr;
    }
};

// A media device on the graph's node, reporting into `msgs`; released at the end.
struct Device {
    struct media_device* media;
    Messages             msgs;
    explicit Device(const std::string& node) : media(media_device_new(node.c_str()))
    {
        media_debug_set_handler(media, Messages::sink, &msgs);
    }
    ~Device() { media_device_unref(media); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
};

} // namespace mediafx

#endif
