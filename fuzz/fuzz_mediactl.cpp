// Fuzz target of the media graph's text parsers: link set-ups and pad-format
// descriptions over a small emulated graph. Nothing behind the graph can be
// opened, so every parsed item fails where it would reach a device.
#include "media-ctl/libmediactl.h"
#include "media-ctl/libv4l2subdev.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

namespace {

struct media_device* make_graph()
{
    struct media_device_info info;
    memset(&info, 0, sizeof(info));
    struct media_device* media = media_device_new_emulated(&info);
    if (!media) return nullptr;
    const struct {
        uint32_t    id;
        const char* name;
        uint32_t    type;
        uint16_t    pads;
    } entities[] = {{1, "sensor 4-0010", 0x20001, 1}, {3, "csi", 0x20000, 2}, {5, "video", 0x10001, 1}};
    for (const auto& e : entities) {
        struct media_entity_desc desc;
        memset(&desc, 0, sizeof(desc));
        desc.id = e.id;
        strncpy(desc.name, e.name, sizeof(desc.name) - 1);
        desc.type = e.type;
        desc.pads = e.pads;
        desc.links = 1;
        if (media_device_add_entity(media, &desc, "") != 0) {
            media_device_unref(media);
            return nullptr;
        }
    }
    // sensor:0 -> csi:0 -> (csi:1) -> video:0, each held by both ends.
    struct media_entity* s = media_get_entity(media, 0);
    struct media_entity* c = media_get_entity(media, 1);
    struct media_entity* v = media_get_entity(media, 2);
    s->pads[0].flags = MEDIA_PAD_FL_SOURCE;
    c->pads[0].flags = MEDIA_PAD_FL_SINK;
    c->pads[1].flags = MEDIA_PAD_FL_SOURCE;
    v->pads[0].flags = MEDIA_PAD_FL_SINK;
    const struct {
        struct media_entity* from;
        struct media_pad*    src;
        struct media_entity* to;
        struct media_pad*    snk;
    } links[] = {{s, &s->pads[0], c, &c->pads[0]}, {c, &c->pads[1], v, &v->pads[0]}};
    for (const auto& l : links) {
        struct media_link* a = &l.from->links[l.from->num_links++];
        struct media_link* b = &l.to->links[l.to->num_links++];
        a->source = b->source = l.src;
        a->sink = b->sink = l.snk;
        a->flags = b->flags = MEDIA_LNK_FL_ENABLED;
        a->twin = b;
        b->twin = a;
    }
    return media;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static struct media_device* media = make_graph();
    if (!media) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    media_parse_setup_links(media, text.c_str());
    v4l2_subdev_parse_setup_formats(media, text.c_str());
    const char* end = nullptr;
    media_parse_link(media, text.c_str(), &end);
    return 0;
}
