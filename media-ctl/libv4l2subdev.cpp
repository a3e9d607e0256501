// Sub-device pad requests and the pad-format description parser, over the
// media graph of libmediactl; plus the media-bus and colour name tables.
#include "media-ctl/libv4l2subdev.h"

#include "media-ctl/mediapriv.h"
#include "platform.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>

#include <linux/media-bus-format.h>
#include <linux/videodev2.h>

#include <array>
#include <string_view>

namespace {

struct CodeRow {
    const char* name;
    uint32_t    code;
};

#define ROW(n) CodeRow{#n, MEDIA_BUS_FMT_##n}
#define ALIAS(a, n) CodeRow{#a, MEDIA_BUS_FMT_##n}

constexpr std::array kPixelCodes{
    ROW(RGB444_1X12), ROW(RGB444_2X8_PADHI_BE), ROW(RGB444_2X8_PADHI_LE), ROW(RGB555_2X8_PADHI_BE),
    ROW(RGB555_2X8_PADHI_LE), ROW(RGB565_1X16), ROW(BGR565_2X8_BE), ROW(BGR565_2X8_LE), ROW(RGB565_2X8_BE),
    ROW(RGB565_2X8_LE), ROW(RGB666_1X18), ROW(RBG888_1X24), ROW(RGB666_1X24_CPADHI), ROW(RGB666_1X7X3_SPWG),
    ROW(BGR888_1X24), ROW(GBR888_1X24), ROW(RGB888_1X24), ROW(RGB888_2X12_BE), ROW(RGB888_2X12_LE),
    ROW(RGB888_1X7X4_SPWG), ROW(RGB888_1X7X4_JEIDA), ROW(ARGB8888_1X32), ROW(RGB888_1X32_PADHI),
    ROW(RGB101010_1X30), ROW(RGB121212_1X36), ROW(RGB161616_1X48), ROW(Y8_1X8), ROW(UV8_1X8), ROW(UYVY8_1_5X8),
    ROW(VYUY8_1_5X8), ROW(YUYV8_1_5X8), ROW(YVYU8_1_5X8), ROW(UYVY8_2X8), ROW(VYUY8_2X8), ROW(YUYV8_2X8),
    ROW(YVYU8_2X8), ROW(Y10_1X10), ROW(Y10_2X8_PADHI_LE), ROW(UYVY10_2X10), ROW(VYUY10_2X10), ROW(YUYV10_2X10),
    ROW(YVYU10_2X10), ROW(Y12_1X12), ROW(UYVY12_2X12), ROW(VYUY12_2X12), ROW(YUYV12_2X12), ROW(YVYU12_2X12),
    ROW(UYVY8_1X16), ROW(VYUY8_1X16), ROW(YUYV8_1X16), ROW(YVYU8_1X16), ROW(YDYUYDYV8_1X16), ROW(UYVY10_1X20),
    ROW(VYUY10_1X20), ROW(YUYV10_1X20), ROW(YVYU10_1X20), ROW(VUY8_1X24), ROW(YUV8_1X24), ROW(UYYVYY8_0_5X24),
    ROW(UYVY12_1X24), ROW(VYUY12_1X24), ROW(YUYV12_1X24), ROW(YVYU12_1X24), ROW(YUV10_1X30),
    ROW(UYYVYY10_0_5X30), ROW(AYUV8_1X32), ROW(UYYVYY12_0_5X36), ROW(YUV12_1X36), ROW(YUV16_1X48),
    ROW(UYYVYY16_0_5X48), ROW(SBGGR8_1X8), ROW(SGBRG8_1X8), ROW(SGRBG8_1X8), ROW(SRGGB8_1X8),
    ROW(SBGGR10_ALAW8_1X8), ROW(SGBRG10_ALAW8_1X8), ROW(SGRBG10_ALAW8_1X8), ROW(SRGGB10_ALAW8_1X8),
    ROW(SBGGR10_DPCM8_1X8), ROW(SGBRG10_DPCM8_1X8), ROW(SGRBG10_DPCM8_1X8), ROW(SRGGB10_DPCM8_1X8),
    ROW(SBGGR10_2X8_PADHI_BE), ROW(SBGGR10_2X8_PADHI_LE), ROW(SBGGR10_2X8_PADLO_BE), ROW(SBGGR10_2X8_PADLO_LE),
    ROW(SBGGR10_1X10), ROW(SGBRG10_1X10), ROW(SGRBG10_1X10), ROW(SRGGB10_1X10), ROW(SBGGR12_1X12),
    ROW(SGBRG12_1X12), ROW(SGRBG12_1X12), ROW(SRGGB12_1X12), ROW(SBGGR14_1X14), ROW(SGBRG14_1X14),
    ROW(SGRBG14_1X14), ROW(SRGGB14_1X14), ROW(SBGGR16_1X16), ROW(SGBRG16_1X16), ROW(SGRBG16_1X16),
    ROW(SRGGB16_1X16), ROW(JPEG_1X8), ROW(S5C_UYVY_JPEG_1X8), ROW(AHSV8888_1X32), ROW(FIXED),
    // Short names
    ALIAS(Y8, Y8_1X8), ALIAS(Y10, Y10_1X10), ALIAS(Y12, Y12_1X12), ALIAS(YUYV, YUYV8_1X16),
    ALIAS(YUYV1_5X8, YUYV8_1_5X8), ALIAS(YUYV2X8, YUYV8_2X8), ALIAS(UYVY, UYVY8_1X16),
    ALIAS(UYVY1_5X8, UYVY8_1_5X8), ALIAS(UYVY2X8, UYVY8_2X8), ALIAS(VUY24, VUY8_1X24), ALIAS(SBGGR8, SBGGR8_1X8),
    ALIAS(SGBRG8, SGBRG8_1X8), ALIAS(SGRBG8, SGRBG8_1X8), ALIAS(SRGGB8, SRGGB8_1X8), ALIAS(SBGGR10, SBGGR10_1X10),
    ALIAS(SGBRG10, SGBRG10_1X10), ALIAS(SGRBG10, SGRBG10_1X10), ALIAS(SRGGB10, SRGGB10_1X10),
    ALIAS(SBGGR10_DPCM8, SBGGR10_DPCM8_1X8), ALIAS(SGBRG10_DPCM8, SGBRG10_DPCM8_1X8),
    ALIAS(SGRBG10_DPCM8, SGRBG10_DPCM8_1X8), ALIAS(SRGGB10_DPCM8, SRGGB10_DPCM8_1X8),
    ALIAS(SBGGR12, SBGGR12_1X12), ALIAS(SGBRG12, SGBRG12_1X12), ALIAS(SGRBG12, SGRBG12_1X12),
    ALIAS(SRGGB12, SRGGB12_1X12), ALIAS(AYUV32, AYUV8_1X32), ALIAS(RBG24, RBG888_1X24),
    ALIAS(RGB32, RGB888_1X32_PADHI), ALIAS(ARGB32, ARGB8888_1X32),
};
#undef ROW
#undef ALIAS

constexpr size_t kKnownCodes = 105;  // the rows before FIXED
static_assert(kPixelCodes.size() == 136, "pixel code table rows");
static_assert(kPixelCodes[kKnownCodes].code == MEDIA_BUS_FMT_FIXED && MEDIA_BUS_FMT_FIXED == 0x0001);

constexpr std::array<uint32_t, kKnownCodes> make_known()
{
    std::array<uint32_t, kKnownCodes> out{};
    for (size_t i = 0; i < kKnownCodes; ++i) out[i] = kPixelCodes[i].code;
    return out;
}
constexpr std::array<uint32_t, kKnownCodes> kKnownCodeList = make_known();

struct NameRow {
    const char* name;
    uint32_t    value;
};

constexpr NameRow kFields[] = {
    {"any", V4L2_FIELD_ANY},          {"none", V4L2_FIELD_NONE},
    {"top", V4L2_FIELD_TOP},          {"bottom", V4L2_FIELD_BOTTOM},
    {"interlaced", V4L2_FIELD_INTERLACED}, {"seq-tb", V4L2_FIELD_SEQ_TB},
    {"seq-bt", V4L2_FIELD_SEQ_BT},    {"alternate", V4L2_FIELD_ALTERNATE},
    {"interlaced-tb", V4L2_FIELD_INTERLACED_TB}, {"interlaced-bt", V4L2_FIELD_INTERLACED_BT},
};
static_assert(V4L2_FIELD_INTERLACED_BT == 9);

constexpr NameRow kColorspaces[] = {
    {"default", 0}, {"smpte170m", 1}, {"smpte240m", 2}, {"rec709", 3}, {"470m", 5},  {"470bg", 6},
    {"jpeg", 7},    {"srgb", 8},      {"oprgb", 9},     {"bt2020", 10}, {"raw", 11}, {"dcip3", 12},
};
static_assert(V4L2_COLORSPACE_DCI_P3 == 12 && V4L2_COLORSPACE_470_SYSTEM_M == 5);

constexpr NameRow kXferFuncs[] = {
    {"default", 0}, {"709", 1}, {"srgb", 2}, {"oprgb", 3}, {"smpte240m", 4}, {"smpte2084", 7}, {"dcip3", 6}, {"none", 5},
};
static_assert(V4L2_XFER_FUNC_SMPTE2084 == 7 && V4L2_XFER_FUNC_DCI_P3 == 6);

constexpr NameRow kYcbcrEncodings[] = {
    {"default", 0}, {"601", 1}, {"709", 2}, {"xv601", 3}, {"xv709", 4}, {"bt2020", 6}, {"bt2020c", 7}, {"smpte240m", 8},
};
static_assert(V4L2_YCBCR_ENC_SMPTE240M == 8);

constexpr NameRow kQuantizations[] = {
    {"default", 0}, {"full-range", 1}, {"lim-range", 2},
};

template <size_t N>
const char* value_name(const NameRow (&table)[N], uint32_t value)
{
    for (const NameRow& r : table)
        if (r.value == value) return r.name;
    return "unknown";
}

template <size_t N>
uint32_t name_value(const NameRow (&table)[N], std::string_view name)
{
    for (const NameRow& r : table)
        if (strlen(r.name) == name.size() && strncasecmp(r.name, name.data(), name.size()) == 0) return r.value;
    return V4L2_SUBDEV_NO_VALUE;
}

uint32_t pixelcode_of(std::string_view name)
{
    for (const CodeRow& r : kPixelCodes)
        if (name == r.name) return r.code;
    return V4L2_SUBDEV_NO_VALUE;
}

int subdev_ioctl(struct media_entity* entity, unsigned long request, void* arg)
{
    int ret = v4l2_subdev_open(entity);
    if (ret < 0) return ret;
    if (plat_ioctl(entity->fd, request, arg) < 0) return errno ? -errno : -EIO;
    return 0;
}

// ---- Pad-format descriptions ----

struct PadFormat {
    struct v4l2_mbus_framefmt format;
    struct v4l2_rect          crop;
    struct v4l2_rect          compose;
    struct v4l2_fract         interval;
};

bool has_prefix(const char*& p, const char* prefix)
{
    size_t n = strlen(prefix);
    if (strncmp(p, prefix, n) != 0) return false;
    p += n;
    return true;
}

bool parse_rect(struct media_device* media, const char*& p, struct v4l2_rect& r)
{
    if (*p != '(') {
        media_dbg(media, "Expected '('\n");
        return false;
    }
    ++p;
    if (!media_text::read_s32(p, r.left) || *p != ',') {
        media_dbg(media, "Expected ','\n");
        return false;
    }
    ++p;
    if (!media_text::read_s32(p, r.top) || *p != ')') {
        media_dbg(media, "Expected ')'\n");
        return false;
    }
    ++p;
    if (*p != '/') {
        media_dbg(media, "Expected '/'\n");
        return false;
    }
    ++p;
    if (!media_text::read_u32(p, r.width) || *p != 'x') {
        media_dbg(media, "Expected 'x'\n");
        return false;
    }
    ++p;
    if (!media_text::read_u32(p, r.height)) {
        media_dbg(media, "Expected 'x'\n");
        return false;
    }
    return true;
}

bool parse_code_size(struct media_device* media, const char*& p, struct v4l2_mbus_framefmt& f)
{
    const char* code = p;
    while (*p && *p != '/' && *p != ' ') ++p;
    std::string_view name(code, (size_t)(p - code));
    uint32_t value = pixelcode_of(name);
    if (value == V4L2_SUBDEV_NO_VALUE) {
        media_dbg(media, "Invalid pixel code '%.*s'\n", (int)name.size(), name.data());
        return false;
    }
    if (*p != '/') {
        media_dbg(media, "Expected '/'\n");
        return false;
    }
    ++p;
    uint32_t width = 0, height = 0;
    if (!media_text::read_u32(p, width) || *p != 'x') {
        media_dbg(media, "Expected 'x'\n");
        return false;
    }
    ++p;
    if (!media_text::read_u32(p, height)) {
        media_dbg(media, "Expected 'x'\n");
        return false;
    }
    memset(&f, 0, sizeof(f));
    f.width = width;
    f.height = height;
    f.code = value;
    return true;
}

// A word of letters, digits and '-' naming a row of `table`.
template <size_t N>
bool parse_named(struct media_device* media, const char*& p, const NameRow (&table)[N], uint32_t& out,
                 const char* what)
{
    const char* w = p;
    while (isalnum(static_cast<unsigned char>(*p)) || *p == '-') ++p;
    std::string_view word(w, (size_t)(p - w));
    uint32_t v = name_value(table, word);
    if (v == V4L2_SUBDEV_NO_VALUE) {
        media_dbg(media, "Invalid %s value '%.*s'\n", what, (int)word.size(), word.data());
        return false;
    }
    out = v;
    return true;
}

bool parse_interval(struct media_device* media, const char*& p, struct v4l2_fract& f)
{
    uint32_t num = 0, den = 0;
    if (!media_text::read_u32(p, num)) {
        media_dbg(media, "Expected '/'\n");
        return false;
    }
    media_text::skip_ws(p);
    if (*p != '/') {
        media_dbg(media, "Expected '/'\n");
        return false;
    }
    ++p;
    media_text::skip_ws(p);
    if (!media_text::read_u32(p, den)) {
        media_dbg(media, "Expected '/'\n");
        return false;
    }
    f.numerator = num;
    f.denominator = den;
    return true;
}

/* One pad '[' properties ']'; the pad, or NULL with *endp where it stopped. */
struct media_pad* parse_pad_format(struct media_device* media, PadFormat& pf, const char* p, const char** endp)
{
    memset(&pf, 0, sizeof(pf));
    memset(&pf.crop, 0xff, sizeof(pf.crop));
    memset(&pf.compose, 0xff, sizeof(pf.compose));

    media_text::skip_ws(p);
    const char* end;
    struct media_pad* pad = media_parse_pad(media, p, &end);
    *endp = end;
    if (!pad) return nullptr;
    p = end;
    if (*p != '[') return nullptr;
    ++p;

    for (bool first = true;; first = false) {
        media_text::skip_ws(p);
        *endp = p;
        bool ok;
        if (has_prefix(p, "fmt:") || (first && isupper(static_cast<unsigned char>(*p))))
            ok = parse_code_size(media, p, pf.format);
        else if (has_prefix(p, "field:"))
            ok = parse_named(media, p, kFields, pf.format.field, "field");
        else if (has_prefix(p, "colorspace:"))
            ok = parse_named(media, p, kColorspaces, pf.format.colorspace, "colorspace");
        else if (has_prefix(p, "xfer:")) {
            uint32_t v = 0;
            ok = parse_named(media, p, kXferFuncs, v, "transfer function");
            pf.format.xfer_func = (uint16_t)v;
        } else if (has_prefix(p, "ycbcr:")) {
            uint32_t v = 0;
            ok = parse_named(media, p, kYcbcrEncodings, v, "YCbCr encoding");
            pf.format.ycbcr_enc = (uint16_t)v;
        } else if (has_prefix(p, "quantization:")) {
            uint32_t v = 0;
            ok = parse_named(media, p, kQuantizations, v, "quantization");
            pf.format.quantization = (uint16_t)v;
        } else if (has_prefix(p, "crop:") || *p == '(')
            ok = parse_rect(media, p, pf.crop);
        else if (has_prefix(p, "compose:"))
            ok = parse_rect(media, p, pf.compose);
        else if (*p == '@') {
            ++p;
            ok = parse_interval(media, p, pf.interval);
        } else
            break;
        if (!ok) {
            *endp = p;
            return nullptr;
        }
    }
    *endp = p;
    if (*p != ']') {
        media_dbg(media, "Expected ']'\n");
        return nullptr;
    }
    *endp = p + 1;
    return pad;
}

int set_format(struct media_pad* pad, struct v4l2_mbus_framefmt* format)
{
    struct media_device* media = pad->entity->media;
    if (!format->width || !format->height) return 0;
    media_dbg(media, "Setting up format %s %ux%u on pad %s/%u\n", v4l2_subdev_pixelcode_to_string(format->code),
              format->width, format->height, pad->entity->info.name, pad->index);
    int ret = v4l2_subdev_set_format(pad->entity, format, pad->index, V4L2_SUBDEV_FORMAT_ACTIVE);
    if (ret < 0) {
        media_dbg(media, "Unable to set format: %s (%d)\n", strerror(-ret), ret);
        return ret;
    }
    media_dbg(media, "Format set: %s %ux%u\n", v4l2_subdev_pixelcode_to_string(format->code), format->width,
              format->height);
    return 0;
}

int set_selection(struct media_pad* pad, unsigned target, struct v4l2_rect* rect)
{
    struct media_device* media = pad->entity->media;
    if (rect->left == -1 || rect->top == -1) return 0;
    media_dbg(media, "Setting up selection target %u rectangle (%u,%u)/%ux%u on pad %s/%u\n", target, rect->left,
              rect->top, rect->width, rect->height, pad->entity->info.name, pad->index);
    int ret = v4l2_subdev_set_selection(pad->entity, rect, pad->index, target, V4L2_SUBDEV_FORMAT_ACTIVE);
    if (ret < 0) {
        media_dbg(media, "Unable to set selection rectangle: %s (%d)\n", strerror(-ret), ret);
        return ret;
    }
    media_dbg(media, "Selection rectangle set: (%u,%u)/%ux%u\n", rect->left, rect->top, rect->width, rect->height);
    return 0;
}

int set_frame_interval(struct media_pad* pad, struct v4l2_fract* interval)
{
    struct media_device* media = pad->entity->media;
    if (interval->numerator == 0) return 0;
    media_dbg(media, "Setting up frame interval %u/%u on pad %s/%u\n", interval->numerator, interval->denominator,
              pad->entity->info.name, pad->index);
    int ret = v4l2_subdev_set_frame_interval(pad->entity, interval, pad->index);
    if (ret < 0) {
        media_dbg(media, "Unable to set frame interval: %s (%d)", strerror(-ret), ret);
        return ret;
    }
    media_dbg(media, "Frame interval set: %u/%u\n", interval->numerator, interval->denominator);
    return 0;
}

int apply_pad_format(struct media_pad* pad, PadFormat& pf)
{
    int ret;
    if (pad->flags & MEDIA_PAD_FL_SINK) {
        ret = set_format(pad, &pf.format);
        if (ret < 0) return ret;
    }
    ret = set_selection(pad, V4L2_SEL_TGT_CROP, &pf.crop);
    if (ret < 0) return ret;
    ret = set_selection(pad, V4L2_SEL_TGT_COMPOSE, &pf.compose);
    if (ret < 0) return ret;
    if (pad->flags & MEDIA_PAD_FL_SOURCE) {
        ret = set_format(pad, &pf.format);
        if (ret < 0) return ret;
    }
    ret = set_frame_interval(pad, &pf.interval);
    if (ret < 0) return ret;

    // What a source pad now sends, the sub-devices it feeds receive.
    if (pad->flags & MEDIA_PAD_FL_SOURCE) {
        struct media_entity* e = pad->entity;
        for (unsigned i = 0; i < e->num_links; ++i) {
            struct media_link* l = &e->links[i];
            if (!(l->flags & MEDIA_LNK_FL_ENABLED) || l->source != pad) continue;
            if ((l->sink->entity->info.type & 0x00FF0000) != MEDIA_CLASS_SUBDEV) continue;
            struct v4l2_mbus_framefmt remote = pf.format;
            set_format(l->sink, &remote);
            struct v4l2_fract interval = pf.interval;
            ret = set_frame_interval(l->sink, &interval);
            if (ret < 0 && ret != -EINVAL && ret != -ENOTTY) return ret;
        }
    }
    return 0;
}

} // namespace

// ---- Node ----

int v4l2_subdev_open(struct media_entity* entity)
{
    if (!entity) return -EINVAL;
    if (entity->fd != -1) return 0;
    int fd = plat_open(entity->devname, O_RDWR);
    if (fd < 0) return errno ? -errno : -EIO;
    entity->fd = fd;
    return 0;
}

void v4l2_subdev_close(struct media_entity* entity)
{
    if (!entity) return;
    if (entity->fd != -1) plat_close(entity->fd);
    entity->fd = -1;
}

// ---- Pad requests ----

int v4l2_subdev_get_format(struct media_entity* entity, struct v4l2_mbus_framefmt* format, unsigned int pad,
                           enum v4l2_subdev_format_whence which)
{
    if (!format) return -EINVAL;
    struct v4l2_subdev_format req;
    memset(&req, 0, sizeof(req));
    req.pad = pad;
    req.which = which;
    int ret = subdev_ioctl(entity, VIDIOC_SUBDEV_G_FMT, &req);
    if (ret < 0) return ret;
    *format = req.format;
    return 0;
}

int v4l2_subdev_set_format(struct media_entity* entity, struct v4l2_mbus_framefmt* format, unsigned int pad,
                           enum v4l2_subdev_format_whence which)
{
    if (!format) return -EINVAL;
    struct v4l2_subdev_format req;
    memset(&req, 0, sizeof(req));
    req.pad = pad;
    req.which = which;
    req.format = *format;
    int ret = subdev_ioctl(entity, VIDIOC_SUBDEV_S_FMT, &req);
    if (ret < 0) return ret;
    *format = req.format;
    return 0;
}

namespace {

int selection_request(struct media_entity* entity, struct v4l2_rect* rect, unsigned int pad, unsigned int target,
                      enum v4l2_subdev_format_whence which, bool set)
{
    if (!rect) return -EINVAL;
    struct v4l2_subdev_selection sel;
    memset(&sel, 0, sizeof(sel));
    sel.which = which;
    sel.pad = pad;
    sel.target = target;
    if (set) sel.r = *rect;
    int ret = subdev_ioctl(entity, set ? VIDIOC_SUBDEV_S_SELECTION : VIDIOC_SUBDEV_G_SELECTION, &sel);
    if (ret == 0) {
        *rect = sel.r;
        return 0;
    }
    if (ret != -ENOTTY || target != V4L2_SEL_TGT_CROP) return ret;

    // Drivers older than selections know crop only.
    struct v4l2_subdev_crop crop;
    memset(&crop, 0, sizeof(crop));
    crop.which = which;
    crop.pad = pad;
    if (set) crop.rect = *rect;
    ret = subdev_ioctl(entity, set ? VIDIOC_SUBDEV_S_CROP : VIDIOC_SUBDEV_G_CROP, &crop);
    if (ret < 0) return ret;
    *rect = crop.rect;
    return 0;
}

int interval_request(struct media_entity* entity, struct v4l2_fract* interval, unsigned int pad, bool set)
{
    if (!interval) return -EINVAL;
    struct v4l2_subdev_frame_interval req;
    memset(&req, 0, sizeof(req));
    req.pad = pad;
    if (set) req.interval = *interval;
    int ret = subdev_ioctl(entity, set ? VIDIOC_SUBDEV_S_FRAME_INTERVAL : VIDIOC_SUBDEV_G_FRAME_INTERVAL, &req);
    if (ret < 0) return ret;
    *interval = req.interval;
    return 0;
}

} // namespace

int v4l2_subdev_get_selection(struct media_entity* entity, struct v4l2_rect* rect, unsigned int pad,
                              unsigned int target, enum v4l2_subdev_format_whence which)
{
    return selection_request(entity, rect, pad, target, which, false);
}

int v4l2_subdev_set_selection(struct media_entity* entity, struct v4l2_rect* rect, unsigned int pad,
                              unsigned int target, enum v4l2_subdev_format_whence which)
{
    return selection_request(entity, rect, pad, target, which, true);
}

int v4l2_subdev_get_frame_interval(struct media_entity* entity, struct v4l2_fract* interval, unsigned int pad)
{
    return interval_request(entity, interval, pad, false);
}

int v4l2_subdev_set_frame_interval(struct media_entity* entity, struct v4l2_fract* interval, unsigned int pad)
{
    return interval_request(entity, interval, pad, true);
}

int v4l2_subdev_get_dv_timings_caps(struct media_entity* entity, struct v4l2_dv_timings_cap* caps)
{
    if (!caps) return -EINVAL;
    const uint32_t pad = caps->pad;
    memset(caps, 0, sizeof(*caps));
    caps->pad = pad;
    return subdev_ioctl(entity, VIDIOC_SUBDEV_DV_TIMINGS_CAP, caps);
}

int v4l2_subdev_query_dv_timings(struct media_entity* entity, struct v4l2_dv_timings* timings)
{
    if (!timings) return -EINVAL;
    memset(timings, 0, sizeof(*timings));
    return subdev_ioctl(entity, VIDIOC_SUBDEV_QUERY_DV_TIMINGS, timings);
}

int v4l2_subdev_get_dv_timings(struct media_entity* entity, struct v4l2_dv_timings* timings)
{
    if (!timings) return -EINVAL;
    memset(timings, 0, sizeof(*timings));
    return subdev_ioctl(entity, VIDIOC_SUBDEV_G_DV_TIMINGS, timings);
}

int v4l2_subdev_set_dv_timings(struct media_entity* entity, struct v4l2_dv_timings* timings)
{
    if (!timings) return -EINVAL;
    return subdev_ioctl(entity, VIDIOC_SUBDEV_S_DV_TIMINGS, timings);
}

// ---- Descriptions ----

int v4l2_subdev_parse_setup_formats(struct media_device* media, const char* p)
{
    if (!media || !p) return -EINVAL;
    for (;;) {
        media_text::skip_ws(p);
        PadFormat pf;
        const char* end;
        struct media_pad* pad = parse_pad_format(media, pf, p, &end);
        if (!pad) {
            media_print_streampos(media, p, end);
            media_dbg(media, "Unable to parse format\n");
            return -EINVAL;
        }
        int ret = apply_pad_format(pad, pf);
        if (ret < 0) return ret;
        p = end;
        media_text::skip_ws(p);
        if (*p != ',') return *p ? -EINVAL : 0;
        ++p;
    }
}

// ---- Name tables ----

const char* v4l2_subdev_pixelcode_to_string(uint32_t code)
{
    for (const CodeRow& r : kPixelCodes)
        if (r.code == code) return r.name;
    return "unknown";
}

uint32_t v4l2_subdev_string_to_pixelcode(const char* string)
{
    return string ? pixelcode_of(string) : V4L2_SUBDEV_NO_VALUE;
}

const char* v4l2_subdev_field_to_string(uint32_t field) { return value_name(kFields, field); }
uint32_t v4l2_subdev_string_to_field(const char* string)
{
    return string ? name_value(kFields, string) : V4L2_SUBDEV_NO_VALUE;
}

const char* v4l2_subdev_colorspace_to_string(uint32_t colorspace) { return value_name(kColorspaces, colorspace); }
uint32_t v4l2_subdev_string_to_colorspace(const char* string)
{
    return string ? name_value(kColorspaces, string) : V4L2_SUBDEV_NO_VALUE;
}

const char* v4l2_subdev_xfer_func_to_string(uint32_t xfer_func) { return value_name(kXferFuncs, xfer_func); }
uint32_t v4l2_subdev_string_to_xfer_func(const char* string)
{
    return string ? name_value(kXferFuncs, string) : V4L2_SUBDEV_NO_VALUE;
}

const char* v4l2_subdev_ycbcr_encoding_to_string(uint32_t ycbcr_enc) { return value_name(kYcbcrEncodings, ycbcr_enc); }
uint32_t v4l2_subdev_string_to_ycbcr_encoding(const char* string)
{
    return string ? name_value(kYcbcrEncodings, string) : V4L2_SUBDEV_NO_VALUE;
}

const char* v4l2_subdev_quantization_to_string(uint32_t quantization)
{
    return value_name(kQuantizations, quantization);
}
uint32_t v4l2_subdev_string_to_quantization(const char* string)
{
    return string ? name_value(kQuantizations, string) : V4L2_SUBDEV_NO_VALUE;
}

const uint32_t* v4l2_subdev_pixelcode_list(unsigned int* length)
{
    if (length) *length = (unsigned)kKnownCodeList.size();
    return kKnownCodeList.data();
}
