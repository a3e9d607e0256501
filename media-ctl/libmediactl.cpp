// Media controller graph: enumeration of a media node, entity device-node
// naming through sysfs, link set-up and the entity/pad/link text parsers.
#include "media-ctl/libmediactl.h"

#include "media-ctl/mediapriv.h"
#include "platform.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

void discard_debug(void*, const char*, ...) {}

constexpr unsigned kDefaultFlag = MEDIA_ENT_FL_DEFAULT;
constexpr uint32_t kNextFlag = MEDIA_ENT_ID_FLAG_NEXT;
constexpr uint32_t kClassMask = 0x00FF0000;

struct media_entity** default_slot(struct media_device* media, uint32_t type)
{
    switch (type) {
    case MEDIA_KIND_V4L: return &media->def.v4l;
    case MEDIA_KIND_FB: return &media->def.fb;
    case MEDIA_KIND_ALSA: return &media->def.alsa;
    case MEDIA_KIND_DVB: return &media->def.dvb;
    default: return nullptr;
    }
}

void free_entity(struct media_entity* e)
{
    free(e->pads);
    free(e->links);
    if (e->fd != -1) plat_close(e->fd);
    e->pads = nullptr;
    e->links = nullptr;
    e->fd = -1;
}

void free_entities(struct media_device* media)
{
    for (unsigned i = 0; i < media->entities_count; ++i) free_entity(&media->entities[i]);
    free(media->entities);
    media->entities = nullptr;
    media->entities_count = 0;
    media->def = {};
}

/* Appends one zeroed entity and returns it (not yet counted). Growing moves
 * the array, so every pointer into it (pad back pointers, the defaults) is
 * pointed at the new place; links point at pads, which do not move. */
struct media_entity* grow_entities(struct media_device* media)
{
    struct media_entity* old = media->entities;
    const unsigned count = media->entities_count;
    long def_index[4];
    struct media_entity** defs[4] = {&media->def.v4l, &media->def.fb, &media->def.alsa, &media->def.dvb};
    for (int k = 0; k < 4; ++k) def_index[k] = *defs[k] ? *defs[k] - old : -1;

    auto* grown = static_cast<struct media_entity*>(realloc(old, (count + 1) * sizeof(*old)));
    if (!grown) return nullptr;
    media->entities = grown;
    for (unsigned i = 0; i < count; ++i)
        for (unsigned j = 0; grown[i].pads && j < grown[i].info.pads; ++j) grown[i].pads[j].entity = &grown[i];
    for (int k = 0; k < 4; ++k) *defs[k] = def_index[k] >= 0 ? &grown[def_index[k]] : nullptr;

    struct media_entity* e = &grown[count];
    memset(e, 0, sizeof(*e));
    e->media = media;
    e->fd = -1;
    return e;
}

/* Pads and link room of a freshly described entity. */
bool alloc_entity_arrays(struct media_entity* e)
{
    const unsigned npads = e->info.pads;
    const unsigned nlinks = npads + e->info.links;
    if (npads) {
        e->pads = static_cast<struct media_pad*>(calloc(npads, sizeof(struct media_pad)));
        if (!e->pads) return false;
        for (unsigned j = 0; j < npads; ++j) {
            e->pads[j].entity = e;
            e->pads[j].index = j;
        }
    }
    if (nlinks) {
        e->links = static_cast<struct media_link*>(calloc(nlinks, sizeof(struct media_link)));
        if (!e->links) return false;
    }
    e->max_links = nlinks;
    return true;
}

void note_default(struct media_device* media, struct media_entity* e)
{
    if (!(e->info.flags & kDefaultFlag)) return;
    if (struct media_entity** slot = default_slot(media, e->info.type)) *slot = e;
}

/* The device node of an entity, from the sysfs link of its device number.
 * The node is kept only when it exists with that same number and its path
 * fits `devname`. */
void name_devnode(struct media_entity* e)
{
    const uint32_t maj = e->info.dev.major;
    const uint32_t min = e->info.dev.minor;
    char dir[PATH_MAX];
    if (!plat_path("/sys/dev/char", dir, sizeof(dir))) return;
    char link[PATH_MAX + 32];
    snprintf(link, sizeof(link), "%s/%u:%u", dir, maj, min);
    char target[1024];
    ssize_t n = readlink(link, target, sizeof(target) - 1);
    if (n < 0) return;
    target[n] = '\0';
    const char* slash = strrchr(target, '/');
    const char* base = slash ? slash + 1 : target;

    char node[MEDIA_DEVNAME_MAX];
    int len;
    if (strncmp(base, "dvb", 3) == 0) {
        char rest[sizeof(target)];
        snprintf(rest, sizeof(rest), "%s", base + 3);
        char* dot = strchr(rest, '.');
        if (!dot) return;
        *dot = '/';
        len = snprintf(node, sizeof(node), "/dev/dvb/adapter%s", rest);
    } else {
        len = snprintf(node, sizeof(node), "/dev/%s", base);
    }
    if (len < 0 || (size_t)len >= sizeof(node)) return;  // cut short: not the node
    struct stat st;
    if (plat_stat(node, &st) != 0) return;
    if (major(st.st_rdev) != maj || minor(st.st_rdev) != min) return;
    memcpy(e->devname, node, (size_t)len + 1);
}

void close_node(struct media_device* media)
{
    if (media->fd != -1) plat_close(media->fd);
    media->fd = -1;
}

int open_node(struct media_device* media)
{
    if (media->fd != -1) return 0;
    const char* node = media->devnode ? media->devnode : "";
    media_dbg(media, "Opening media device %s\n", node);
    if (!media->devnode) {
        media_dbg(media, "%s: Can't open media device %s\n", "media_device_open", node);
        return -ENODEV;
    }
    media->fd = plat_open(media->devnode, O_RDWR);
    if (media->fd < 0) {
        int err = errno ? errno : EIO;
        media->fd = -1;
        media_dbg(media, "%s: Can't open media device %s\n", "media_device_open", node);
        return -err;
    }
    return 0;
}

int enum_entities(struct media_device* media)
{
    uint32_t id = 0;
    for (;;) {
        struct media_entity* e = grow_entities(media);
        if (!e) {
            media_dbg(media, "%s: Unable to enumerate entities for device %s (%s)\n", __func__, media->devnode,
                      strerror(ENOMEM));
            return -ENOMEM;
        }
        e->info.id = id | kNextFlag;
        if (plat_ioctl(media->fd, MEDIA_IOC_ENUM_ENTITIES, &e->info) < 0) {
            int err = errno;
            memset(&e->info, 0, sizeof(e->info));
            if (err == EINVAL) return 0;  // past the last entity
            media_dbg(media, "%s: Unable to enumerate entities for device %s (%s)\n", __func__, media->devnode,
                      strerror(err));
            return -err;
        }
        // Ids only grow; an answer that does not would repeat the walk forever.
        if (e->info.id <= id || (e->info.id & kNextFlag)) {
            memset(&e->info, 0, sizeof(e->info));
            media_dbg(media, "%s: Unable to enumerate entities for device %s (%s)\n", __func__, media->devnode,
                      strerror(EINVAL));
            return -EINVAL;
        }
        e->info.name[sizeof(e->info.name) - 1] = '\0';
        id = e->info.id;
        if (!alloc_entity_arrays(e)) {
            free_entity(e);
            media_dbg(media, "%s: Unable to enumerate entities for device %s (%s)\n", __func__, media->devnode,
                      strerror(ENOMEM));
            return -ENOMEM;
        }
        media->entities_count++;
        note_default(media, e);
        const uint32_t cls = e->info.type & kClassMask;
        if ((cls == MEDIA_CLASS_DEVNODE || cls == MEDIA_CLASS_SUBDEV) && (e->info.dev.major || e->info.dev.minor))
            name_devnode(e);
    }
}

struct media_entity* entity_with_id(struct media_device* media, uint32_t id)
{
    for (unsigned i = 0; i < media->entities_count; ++i)
        if (media->entities[i].info.id == id) return &media->entities[i];
    return nullptr;
}

/* Makes room for `n` more links, doubling the array. Moving the links moves
 * the far end of every twin pointer, so each moved link's twin is pointed
 * back at its new place (a link may be its own entity's twin). */
bool reserve_links(struct media_entity* e, unsigned n)
{
    if (e->max_links - e->num_links >= n) return true;
    unsigned cap = e->max_links ? e->max_links : 1;
    while (cap - e->num_links < n) {
        if (cap > UINT_MAX / 2) return false;
        cap *= 2;
    }
    auto* grown = static_cast<struct media_link*>(calloc(cap, sizeof(struct media_link)));
    if (!grown) return false;
    struct media_link* old = e->links;
    const unsigned used = e->num_links;
    if (used) memcpy(grown, old, used * sizeof(*old));
    const auto lo = reinterpret_cast<uintptr_t>(old);
    const auto hi = reinterpret_cast<uintptr_t>(old + used);
    for (unsigned i = 0; i < used; ++i) {
        struct media_link* twin = grown[i].twin;
        const auto t = reinterpret_cast<uintptr_t>(twin);
        if (twin && t >= lo && t < hi) twin = grown + (twin - old);
        grown[i].twin = twin;
        if (twin) twin->twin = &grown[i];
    }
    free(old);
    e->links = grown;
    e->max_links = cap;
    return true;
}

int enum_links(struct media_device* media)
{
    int ret = 0;
    for (unsigned i = 0; i < media->entities_count; ++i) {
        struct media_entity* e = &media->entities[i];
        const unsigned npads = e->info.pads;
        const unsigned nlinks = e->info.links;
        auto* pads = static_cast<struct media_pad_desc*>(calloc(npads ? npads : 1, sizeof(struct media_pad_desc)));
        auto* links = static_cast<struct media_link_desc*>(calloc(nlinks ? nlinks : 1, sizeof(struct media_link_desc)));
        struct media_links_enum req;
        memset(&req, 0, sizeof(req));
        req.entity = e->info.id;
        req.pads = pads;
        req.links = links;
        int err = (!pads || !links) ? ENOMEM : 0;
        if (!err && plat_ioctl(media->fd, MEDIA_IOC_ENUM_LINKS, &req) < 0) err = errno ? errno : EIO;
        if (err) {
            media_dbg(media, "%s: Unable to enumerate pads and links (%s).\n", "media_enum_links", strerror(err));
            free(pads);
            free(links);
            media_dbg(media, "%s: Unable to enumerate pads and linksfor device %s\n", __func__, media->devnode);
            return -err;
        }
        for (unsigned j = 0; j < npads; ++j) {
            e->pads[j].entity = e;
            e->pads[j].index = pads[j].index;
            e->pads[j].flags = pads[j].flags;
        }
        for (unsigned j = 0; j < nlinks; ++j) {
            const struct media_link_desc& d = links[j];
            struct media_entity* src = entity_with_id(media, d.source.entity);
            struct media_entity* snk = entity_with_id(media, d.sink.entity);
            // A pad index past the entity's pads is as unusable as a missing entity.
            if (!src || !snk || d.source.index >= src->info.pads || d.sink.index >= snk->info.pads) {
                media_dbg(media, "WARNING entity %u link %u from %u/%u to %u/%u is invalid!\n", i + 1, j,
                          d.source.entity, d.source.index, d.sink.entity, d.sink.index);
                if (!ret) ret = -EINVAL;
                continue;
            }
            bool room = src == snk ? reserve_links(src, 2) : reserve_links(src, 1) && reserve_links(snk, 1);
            if (!room) {
                // The graph lacks this link; the others stay usable.
                media_dbg(media, "WARNING entity %u link %u from %u/%u to %u/%u is invalid!\n", i + 1, j,
                          d.source.entity, d.source.index, d.sink.entity, d.sink.index);
                if (!ret) ret = -ENOMEM;
                continue;
            }
            struct media_link* fwd = &src->links[src->num_links++];
            struct media_link* back = &snk->links[snk->num_links++];
            fwd->source = back->source = &src->pads[d.source.index];
            fwd->sink = back->sink = &snk->pads[d.sink.index];
            fwd->flags = back->flags = d.flags;
            fwd->twin = back;
            back->twin = fwd;
        }
        free(pads);
        free(links);
    }
    if (ret) media_dbg(media, "%s: Unable to enumerate pads and linksfor device %s\n", __func__, media->devnode);
    return ret;
}

void skip_space(const char*& p)
{
    while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
}

} // namespace

// ---- Life cycle ----

struct media_device* media_device_new(const char* devnode)
{
    if (!devnode) return nullptr;
    auto* media = static_cast<struct media_device*>(calloc(1, sizeof(struct media_device)));
    if (!media) return nullptr;
    media->devnode = strdup(devnode);
    if (!media->devnode) {
        free(media);
        return nullptr;
    }
    media->fd = -1;
    media->refcount = 1;
    media->debug_handler = discard_debug;
    return media;
}

struct media_device* media_device_new_emulated(const struct media_device_info* info)
{
    if (!info) return nullptr;
    auto* media = static_cast<struct media_device*>(calloc(1, sizeof(struct media_device)));
    if (!media) return nullptr;
    media->fd = -1;
    media->refcount = 1;
    media->debug_handler = discard_debug;
    media->info = *info;
    return media;
}

struct media_device* media_device_ref(struct media_device* media)
{
    if (media) ++media->refcount;
    return media;
}

void media_device_unref(struct media_device* media)
{
    if (!media || --media->refcount > 0) return;
    free_entities(media);
    close_node(media);
    free(media->devnode);
    free(media);
}

int media_device_add_entity(struct media_device* media, const struct media_entity_desc* desc, const char* devnode)
{
    if (!media || !desc) return -EINVAL;
    struct media_entity* e = grow_entities(media);
    if (!e) return -ENOMEM;
    e->info = *desc;
    e->info.name[sizeof(e->info.name) - 1] = '\0';
    if (!alloc_entity_arrays(e)) {
        free_entity(e);
        return -ENOMEM;
    }
    if (devnode) snprintf(e->devname, sizeof(e->devname), "%s", devnode);
    media->entities_count++;
    note_default(media, e);
    return 0;
}

void media_debug_set_handler(struct media_device* media, media_debug_handler_t* debug_handler, void* debug_priv)
{
    if (!media) return;
    media->debug_handler = debug_handler ? debug_handler : discard_debug;
    media->debug_priv = debug_handler ? debug_priv : nullptr;
}

int media_device_enumerate(struct media_device* media)
{
    if (!media) return -EINVAL;
    if (media->entities_count) return 0;
    int ret = open_node(media);
    if (ret < 0) return ret;

    memset(&media->info, 0, sizeof(media->info));
    if (plat_ioctl(media->fd, MEDIA_IOC_DEVICE_INFO, &media->info) < 0) {
        int err = errno ? errno : EIO;
        media_dbg(media, "%s: Unable to retrieve media device information for device %s (%s)\n", __func__,
                  media->devnode, strerror(err));
        close_node(media);
        return -err;
    }

    media_dbg(media, "Enumerating entities\n");
    ret = enum_entities(media);
    if (ret < 0) {
        close_node(media);
        return ret;
    }
    media_dbg(media, "Found %u entities\n", media->entities_count);
    media_dbg(media, "Enumerating pads and links\n");
    if (media->entities_count) ret = enum_links(media);
    close_node(media);
    return ret;
}

// ---- Look-ups ----

unsigned int media_get_entities_count(struct media_device* media) { return media ? media->entities_count : 0; }

struct media_entity* media_get_entity(struct media_device* media, unsigned int index)
{
    if (!media || index >= media->entities_count) return nullptr;
    return &media->entities[index];
}

struct media_entity* media_get_entity_by_name(struct media_device* media, const char* name)
{
    if (!media || !name) return nullptr;
    for (unsigned i = 0; i < media->entities_count; ++i)
        if (strcmp(media->entities[i].info.name, name) == 0) return &media->entities[i];
    return nullptr;
}

struct media_entity* media_get_entity_by_id(struct media_device* media, uint32_t id)
{
    if (!media) return nullptr;
    const bool next = id & kNextFlag;
    id &= ~kNextFlag;
    for (unsigned i = 0; i < media->entities_count; ++i) {
        const uint32_t eid = media->entities[i].info.id;
        if (next ? eid > id : eid == id) return &media->entities[i];
    }
    return nullptr;
}

struct media_entity* media_get_default_entity(struct media_device* media, uint32_t type)
{
    if (!media) return nullptr;
    struct media_entity** slot = default_slot(media, type);
    return slot ? *slot : nullptr;
}

struct media_pad* media_entity_get_pad(struct media_entity* entity, unsigned int index)
{
    if (!entity || !entity->pads || index >= entity->info.pads) return nullptr;
    return &entity->pads[index];
}

struct media_link* media_entity_get_link(struct media_entity* entity, unsigned int index)
{
    if (!entity || index >= entity->num_links) return nullptr;
    return &entity->links[index];
}

unsigned int media_entity_get_links_count(struct media_entity* entity) { return entity ? entity->num_links : 0; }

const char* media_entity_get_devname(struct media_entity* entity)
{
    return entity && entity->devname[0] ? entity->devname : nullptr;
}

const struct media_entity_desc* media_entity_get_info(struct media_entity* entity)
{
    return entity ? &entity->info : nullptr;
}

const struct media_device_info* media_get_info(struct media_device* media) { return media ? &media->info : nullptr; }

const char* media_get_devnode(struct media_device* media) { return media ? media->devnode : nullptr; }

struct media_pad* media_entity_remote_source(struct media_pad* pad)
{
    if (!pad || !(pad->flags & MEDIA_PAD_FL_SINK)) return nullptr;
    struct media_entity* e = pad->entity;
    for (unsigned i = 0; i < e->num_links; ++i) {
        const struct media_link& l = e->links[i];
        if ((l.flags & MEDIA_LNK_FL_ENABLED) && l.sink == pad) return l.source;
    }
    return nullptr;
}

// ---- Links ----

int media_setup_link(struct media_device* media, struct media_pad* source, struct media_pad* sink, uint32_t flags)
{
    if (!media || !source || !sink) return -EINVAL;
    int ret = open_node(media);
    if (ret < 0) return ret;

    struct media_entity* se = source->entity;
    struct media_link* link = nullptr;
    for (unsigned i = 0; i < se->num_links; ++i) {
        struct media_link* l = &se->links[i];
        if (l->source->entity == se && l->source->index == source->index && l->sink->entity == sink->entity &&
            l->sink->index == sink->index) {
            link = l;
            break;
        }
    }
    if (!link) {
        media_dbg(media, "%s: Link not found\n", __func__);
        close_node(media);
        return -ENOENT;
    }

    struct media_link_desc req;
    memset(&req, 0, sizeof(req));
    req.source.entity = se->info.id;
    req.source.index = (uint16_t)source->index;
    req.source.flags = MEDIA_PAD_FL_SOURCE;
    req.sink.entity = sink->entity->info.id;
    req.sink.index = (uint16_t)sink->index;
    req.sink.flags = MEDIA_PAD_FL_SINK;
    req.flags = flags | (link->flags & MEDIA_LNK_FL_IMMUTABLE);
    if (plat_ioctl(media->fd, MEDIA_IOC_SETUP_LINK, &req) < 0) {
        int err = errno ? errno : EIO;
        media_dbg(media, "%s: Unable to setup link (%s)\n", __func__, strerror(err));
        ret = -err;
    } else {
        link->flags = req.flags;
        if (link->twin) link->twin->flags = req.flags;
    }
    close_node(media);
    return ret;
}

int media_reset_links(struct media_device* media)
{
    if (!media) return -EINVAL;
    for (unsigned i = 0; i < media->entities_count; ++i) {
        struct media_entity* e = &media->entities[i];
        for (unsigned j = 0; j < e->num_links; ++j) {
            struct media_link* l = &e->links[j];
            if ((l->flags & MEDIA_LNK_FL_IMMUTABLE) || l->source->entity != e) continue;
            int ret = media_setup_link(media, l->source, l->sink, l->flags & ~MEDIA_LNK_FL_ENABLED);
            if (ret < 0) return ret;
        }
    }
    return 0;
}

// ---- Text descriptions ----

namespace media_text {

bool read_u32(const char*& p, uint32_t& out)
{
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    uint64_t v = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (uint64_t)(*p - '0');
        if (v > UINT32_MAX) return false;
        ++p;
    }
    out = (uint32_t)v;
    return true;
}

bool read_s32(const char*& p, int32_t& out)
{
    bool neg = *p == '-';
    const char* q = neg ? p + 1 : p;
    uint32_t v;
    if (!read_u32(q, v) || v > (neg ? 2147483648u : 2147483647u)) return false;
    out = neg ? (int32_t)(0 - (int64_t)v) : (int32_t)v;
    p = q;
    return true;
}

void skip_ws(const char*& p) { skip_space(p); }

} // namespace media_text

struct media_entity* media_parse_entity(struct media_device* media, const char* p, const char** endp)
{
    const char* dummy;
    if (!endp) endp = &dummy;
    *endp = p;
    if (!media || !p) return nullptr;
    skip_space(p);
    struct media_entity* entity;
    if (*p == '"' || *p == '\'') {
        const char* name = p + 1;
        const char* close = strpbrk(name, "\"'");
        if (!close) {
            media_dbg(media, "missing matching '\"'\n");
            *endp = p;
            return nullptr;
        }
        const size_t len = (size_t)(close - name);
        entity = nullptr;
        for (unsigned i = 0; i < media->entities_count; ++i) {
            const char* n = media->entities[i].info.name;
            if (strlen(n) == len && memcmp(n, name, len) == 0) {
                entity = &media->entities[i];
                break;
            }
        }
        if (!entity) {
            media_dbg(media, "no such entity \"%.*s\"\n", (int)len, name);
            *endp = p;
            return nullptr;
        }
        p = close + 1;
    } else {
        uint32_t id = 0;
        const char* q = p;
        entity = media_text::read_u32(q, id) ? media_get_entity_by_id(media, id) : nullptr;
        if (!entity) {
            media_dbg(media, "no such entity %d\n", (int)id);
            *endp = p;
            return nullptr;
        }
        p = q;
    }
    skip_space(p);
    *endp = p;
    return entity;
}

struct media_pad* media_parse_pad(struct media_device* media, const char* p, const char** endp)
{
    const char* dummy;
    if (!endp) endp = &dummy;
    const char* end;
    struct media_entity* entity = media_parse_entity(media, p, &end);
    *endp = end;
    if (!entity) return nullptr;
    p = end;
    if (*p != ':') {
        media_dbg(media, "Expected ':'\n");
        *endp = p;
        return nullptr;
    }
    ++p;
    skip_space(p);
    uint32_t pad = 0;
    const char* q = p;
    if (!media_text::read_u32(q, pad) || pad >= entity->info.pads) {
        media_dbg(media, "No pad '%d' on entity \"%s\". Maximum pad number is %d\n", q == p ? -1 : (int)pad,
                  entity->info.name, (int)entity->info.pads - 1);
        *endp = p;
        return nullptr;
    }
    p = q;
    skip_space(p);
    *endp = p;
    return &entity->pads[pad];
}

struct media_link* media_parse_link(struct media_device* media, const char* p, const char** endp)
{
    const char* dummy;
    if (!endp) endp = &dummy;
    const char* end;
    struct media_pad* source = media_parse_pad(media, p, &end);
    *endp = end;
    if (!source) return nullptr;
    if (end[0] != '-' || end[1] != '>') {
        media_dbg(media, "Expected '->'\n");
        return nullptr;
    }
    struct media_pad* sink = media_parse_pad(media, end + 2, &end);
    *endp = end;
    if (!sink) return nullptr;
    struct media_entity* e = source->entity;
    for (unsigned i = 0; i < e->num_links; ++i)
        if (e->links[i].source == source && e->links[i].sink == sink) return &e->links[i];
    media_dbg(media, "No link between \"%s\":%d and \"%s\":%d\n", source->entity->info.name, (int)source->index,
              sink->entity->info.name, (int)sink->index);
    return nullptr;
}

int media_parse_setup_link(struct media_device* media, const char* p, const char** endp)
{
    const char* dummy;
    if (!endp) endp = &dummy;
    *endp = p;
    if (!media || !p) return -EINVAL;
    const char* end;
    struct media_link* link = media_parse_link(media, p, &end);
    *endp = end;
    if (!link) {
        media_dbg(media, "%s: Unable to parse link\n", __func__);
        return -EINVAL;
    }
    p = end;
    if (*p != '[') {
        media_dbg(media, "Unable to parse link flags: expected '['.\n");
        return -EINVAL;
    }
    ++p;
    uint32_t flags = 0;
    if (!media_text::read_u32(p, flags) || *p != ']') {
        media_dbg(media, "Unable to parse link flags: expected ']'.\n");
        *endp = p;
        return -EINVAL;
    }
    *endp = p + 1;
    media_dbg(media, "Setting up link %u:%u -> %u:%u [%u]\n", link->source->entity->info.id, link->source->index,
              link->sink->entity->info.id, link->sink->index, flags);
    return media_setup_link(media, link->source, link->sink, flags);
}

int media_parse_setup_links(struct media_device* media, const char* p)
{
    if (!media || !p) return -EINVAL;
    const char* end;
    for (;;) {
        int ret = media_parse_setup_link(media, p, &end);
        if (ret < 0) {
            media_print_streampos(media, p, end);
            return ret;
        }
        if (*end != ',') return *end ? -EINVAL : 0;
        p = end + 1;
    }
}

void media_print_streampos(struct media_device* media, const char* p, const char* end)
{
    if (!media || !p) return;
    const size_t len = strlen(p);
    size_t pos = end && end >= p ? (size_t)(end - p) + 1 : 1;
    pos = std::min(pos, len);
    media_dbg(media, "\n");
    media_dbg(media, " %s\n", p);
    media_dbg(media, " %*s\n", (int)pos, "^");
}
