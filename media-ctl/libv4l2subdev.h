// Sub-device pads: formats, selection rectangles, frame intervals and
// digital-video timings of one media entity's sub-device node, the parser
// that applies a textual pad-format description to a graph, and the name
// tables of media-bus pixel codes, fields, colour spaces, transfer
// functions, YCbCr encodings and quantizations.
//
// Every operation opens the entity's node first (once; it stays open until
// v4l2_subdev_close or the device's last unref) and returns 0 or a negative
// errno value.
#ifndef KORVID_MEDIA_CTL_LIBV4L2SUBDEV_H
#define KORVID_MEDIA_CTL_LIBV4L2SUBDEV_H

#include <stdint.h>

#include <linux/v4l2-subdev.h>

#include "media-ctl/libmediactl.h"

// Name-to-value conversions answer this for a name that has no row.
#define V4L2_SUBDEV_NO_VALUE UINT32_MAX

int  v4l2_subdev_open(struct media_entity* entity);
void v4l2_subdev_close(struct media_entity* entity);

// `which`: V4L2_SUBDEV_FORMAT_TRY 0 or V4L2_SUBDEV_FORMAT_ACTIVE 1. Set
// hands back the format as the driver adjusted it.
int v4l2_subdev_get_format(struct media_entity* entity, struct v4l2_mbus_framefmt* format, unsigned int pad,
                           enum v4l2_subdev_format_whence which);
int v4l2_subdev_set_format(struct media_entity* entity, struct v4l2_mbus_framefmt* format, unsigned int pad,
                           enum v4l2_subdev_format_whence which);

// Crop (target 0) falls back to the older crop requests on a driver that
// does not know selections.
int v4l2_subdev_get_selection(struct media_entity* entity, struct v4l2_rect* rect, unsigned int pad,
                              unsigned int target, enum v4l2_subdev_format_whence which);
int v4l2_subdev_set_selection(struct media_entity* entity, struct v4l2_rect* rect, unsigned int pad,
                              unsigned int target, enum v4l2_subdev_format_whence which);

int v4l2_subdev_get_frame_interval(struct media_entity* entity, struct v4l2_fract* interval, unsigned int pad);
int v4l2_subdev_set_frame_interval(struct media_entity* entity, struct v4l2_fract* interval, unsigned int pad);

// `caps->pad` is the caller's; the timing records are cleared first (set
// sends the caller's timings).
int v4l2_subdev_get_dv_timings_caps(struct media_entity* entity, struct v4l2_dv_timings_cap* caps);
int v4l2_subdev_query_dv_timings(struct media_entity* entity, struct v4l2_dv_timings* timings);
int v4l2_subdev_get_dv_timings(struct media_entity* entity, struct v4l2_dv_timings* timings);
int v4l2_subdev_set_dv_timings(struct media_entity* entity, struct v4l2_dv_timings* timings);

// Applies comma-separated pad formats:
//   pad '[' property... ']'
//   property: fmt:CODE/WxH (or CODE/WxH first) | field:F | colorspace:C |
//             xfer:X | ycbcr:Y | quantization:Q | crop:RECT | RECT |
//             compose:RECT | @N/D          RECT: (LEFT,TOP)/WxH
// 0, -EINVAL for text that does not parse, or the first failing request's
// code; items applied before a failure stay applied.
int v4l2_subdev_parse_setup_formats(struct media_device* media, const char* p);

// Name tables. Unknown values give "unknown"; unknown names give
// V4L2_SUBDEV_NO_VALUE. Pixel codes are matched exactly, the other names
// without regard to case.
const char* v4l2_subdev_pixelcode_to_string(uint32_t code);
uint32_t    v4l2_subdev_string_to_pixelcode(const char* string);
const char* v4l2_subdev_field_to_string(uint32_t field);
uint32_t    v4l2_subdev_string_to_field(const char* string);
const char* v4l2_subdev_colorspace_to_string(uint32_t colorspace);
uint32_t    v4l2_subdev_string_to_colorspace(const char* string);
const char* v4l2_subdev_xfer_func_to_string(uint32_t xfer_func);
uint32_t    v4l2_subdev_string_to_xfer_func(const char* string);
const char* v4l2_subdev_ycbcr_encoding_to_string(uint32_t ycbcr_enc);
uint32_t    v4l2_subdev_string_to_ycbcr_encoding(const char* string);
const char* v4l2_subdev_quantization_to_string(uint32_t quantization);
uint32_t    v4l2_subdev_string_to_quantization(const char* string);
// The known pixel codes (alias rows left out); *length receives their count.
const uint32_t* v4l2_subdev_pixelcode_list(unsigned int* length);

#endif
