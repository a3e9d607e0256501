// Media controller graph: the sensor side's view of a media device.
//
// A media_device reads the kernel's graph of one media node (device
// information, entities, pads, links), names the character device node of
// each entity through sysfs, configures links, and parses the textual
// entity, pad and link descriptions shared with the sub-device format parser
// (media-ctl/libv4l2subdev.h). The node is opened only while a request runs, and
// only through the platform seam. Nothing here starts a thread or takes a
// lock; one device is used by one thread at a time.
//
// Results are 0 (or a pointer) on success and a negative errno value (or
// NULL) on failure; every failure also sends a message to the device's debug
// handler, which by default discards it.
#ifndef KORVID_MEDIA_CTL_LIBMEDIACTL_H
#define KORVID_MEDIA_CTL_LIBMEDIACTL_H

#include <stdint.h>

#include <linux/media.h>

struct media_device;
struct media_entity;

// Entity kinds and classes as the media controller reports them.
enum {
    MEDIA_KIND_V4L = 0x10001,
    MEDIA_KIND_FB = 0x10002,
    MEDIA_KIND_ALSA = 0x10003,
    MEDIA_KIND_DVB = 0x10004,
    MEDIA_CLASS_DEVNODE = 0x10000,
    MEDIA_CLASS_SUBDEV = 0x20000,
    MEDIA_KIND_SENSOR = 0x20001,
};

// Longest entity device node path, terminating NUL included.
#define MEDIA_DEVNAME_MAX 32

struct media_pad {
    struct media_entity* entity;
    uint32_t             index;
    uint32_t             flags;  // MEDIA_PAD_FL_SINK 1, MEDIA_PAD_FL_SOURCE 2
};

// Every kernel link is held twice, by its source entity and by its sink
// entity; the two copies point at each other and always carry the same flags.
struct media_link {
    struct media_pad*  source;
    struct media_pad*  sink;
    struct media_link* twin;
    uint32_t           flags;  // MEDIA_LNK_FL_ENABLED 1, MEDIA_LNK_FL_IMMUTABLE 2
};

struct media_entity {
    struct media_device*    media;
    struct media_entity_desc info;
    struct media_pad*       pads;       // info.pads entries
    struct media_link*      links;      // max_links room, num_links used
    unsigned int            max_links;
    unsigned int            num_links;
    char                    devname[MEDIA_DEVNAME_MAX];  // "" without a device node
    int                     fd;         // open sub-device node, -1 while closed
};

// Message sink: a printf format and its arguments.
typedef void media_debug_handler_t(void* priv, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

struct media_device {
    int                      fd;        // -1 while closed
    int                      refcount;
    char*                    devnode;   // NULL for an emulated graph
    struct media_device_info info;
    struct media_entity*     entities;
    unsigned int             entities_count;
    media_debug_handler_t*   debug_handler;
    void*                    debug_priv;
    struct {
        struct media_entity* v4l;
        struct media_entity* fb;
        struct media_entity* alsa;
        struct media_entity* dvb;
    } def;  // default entity per kind
};

// ---- Life cycle ----

// A closed device on `devnode` holding one reference; NULL when memory runs out.
struct media_device* media_device_new(const char* devnode);
// A device without node whose information is a copy of `info`.
struct media_device* media_device_new_emulated(const struct media_device_info* info);
struct media_device* media_device_ref(struct media_device* media);
// Drops a reference; the last one frees the graph and closes open entities.
void media_device_unref(struct media_device* media);
// Appends an entity built from `desc` (with `desc->pads` pads and room for
// pads + links links); a default-flagged entity becomes its kind's default.
// 0 or -ENOMEM.
int media_device_add_entity(struct media_device* media, const struct media_entity_desc* desc,
                            const char* devnode);
// NULL handler: back to the one that discards everything.
void media_debug_set_handler(struct media_device* media, media_debug_handler_t* debug_handler,
                             void* debug_priv);

// Reads the whole graph; 0 at once when it is already read. The node is
// closed again on return. -EINVAL when a link names an entity or pad the
// graph does not have (the other links are kept).
int media_device_enumerate(struct media_device* media);

// ---- Look-ups ----

unsigned int         media_get_entities_count(struct media_device* media);
struct media_entity* media_get_entity(struct media_device* media, unsigned int index);
struct media_entity* media_get_entity_by_name(struct media_device* media, const char* name);
// With MEDIA_ENT_ID_FLAG_NEXT (bit 31): the first entity whose id is greater
// than the low 31 bits; otherwise the entity with that id.
struct media_entity* media_get_entity_by_id(struct media_device* media, uint32_t id);
struct media_entity* media_get_default_entity(struct media_device* media, uint32_t type);
struct media_pad*    media_entity_get_pad(struct media_entity* entity, unsigned int index);
struct media_link*   media_entity_get_link(struct media_entity* entity, unsigned int index);
unsigned int         media_entity_get_links_count(struct media_entity* entity);
const char*          media_entity_get_devname(struct media_entity* entity);  // NULL when none
const struct media_entity_desc* media_entity_get_info(struct media_entity* entity);
const struct media_device_info* media_get_info(struct media_device* media);
const char*          media_get_devnode(struct media_device* media);
// The source pad of the first enabled link ending at sink pad `pad`.
struct media_pad*    media_entity_remote_source(struct media_pad* pad);

// ---- Links ----

// Sets the flags of the existing link source -> sink (its immutable bit is
// kept); -ENOENT when there is no such link.
int media_setup_link(struct media_device* media, struct media_pad* source, struct media_pad* sink,
                     uint32_t flags);
// Disables every link that is not immutable; the first failure ends the walk.
int media_reset_links(struct media_device* media);

// ---- Text descriptions ----
// entity: NUMBER | "NAME" | 'NAME'      pad: entity ':' NUMBER
// link: pad "->" pad                    link set-up: link '[' FLAGS ']'
// Each parser skips white space and stores where it stopped in *endp.

struct media_entity* media_parse_entity(struct media_device* media, const char* p, const char** endp);
struct media_pad*    media_parse_pad(struct media_device* media, const char* p, const char** endp);
struct media_link*   media_parse_link(struct media_device* media, const char* p, const char** endp);
int media_parse_setup_link(struct media_device* media, const char* p, const char** endp);
// Comma-separated link set-ups; 0, or the first failing item's code.
int media_parse_setup_links(struct media_device* media, const char* p);
// Shows the text from `p` with a caret under `end`.
void media_print_streampos(struct media_device* media, const char* p, const char* end);

#endif
