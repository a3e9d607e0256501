// Sub-device pads: the pad-format grammar applied to a simulated graph
// (order of requests, propagation to linked sub-devices, failures), the
// request fall-backs, and the name tables.
#include "media-ctl/libv4l2subdev.h"

#include "media-ctl/mediafixture.h"

#include <linux/media-bus-format.h>

#include <gtest/gtest.h>

#include <set>

using namespace mediafx;

namespace {

struct SubdevGraph : ::testing::Test {
    Graph g;
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(g.install()); }
};

using Log = std::vector<std::string>;

TEST_F(SubdevGraph, FormatGrammar)
{
    const struct {
        const char* text;
        int         want;
        Log         requests;
        const char* message;  // expected among the messages, "" none
    } cases[] = {
        // A source pad's format reaches the sub-device at the other end of its enabled link.
        {"'m00_b_imx570 4-0010':0[fmt:Y12_1X12/1920x1440]", 0,
         {"fmt v4l-subdev40:0 0x2013 1920x1440 field 0 cs 0", "fmt v4l-subdev41:0 0x2013 1920x1440 field 0 cs 0"},
         "Format set: Y12_1X12 1920x1440\n"},
        // Mixed quotes, the short code without "fmt:", names in any case.
        {"\"m00_b_imx570 4-0010':0 [Y12/640x480 field:INTERLACED-TB colorspace:srgb]", 0,
         {"fmt v4l-subdev40:0 0x2013 640x480 field 8 cs 8", "fmt v4l-subdev41:0 0x2013 640x480 field 8 cs 8"}, ""},
        // Crop only: no format is set.
        {"'rockchip-csi2-dphy0':0[crop:(0,0)/640x480]", 0, {"sel v4l-subdev41:0 0 (0,0)/640x480"},
         "Setting up selection target 0 rectangle (0,0)/640x480 on pad rockchip-csi2-dphy0/0\n"},
        // A sink pad takes its format before the rectangles; no propagation from a sink.
        {"3:0[fmt:SBGGR10/800x600 (8,8)/320x240 compose:(0,0)/320x240 @1 / 30]", 0,
         {"fmt v4l-subdev41:0 0x3007 800x600 field 0 cs 0", "sel v4l-subdev41:0 0 (8,8)/320x240",
          "sel v4l-subdev41:0 256 (0,0)/320x240", "ival v4l-subdev41:0 1/30"},
         "Frame interval set: 1/30\n"},
        // Video nodes at the far end are not sub-devices.
        {"6:1[fmt:Y12/1280x720 xfer:709 ycbcr:bt2020 quantization:lim-range]", 0,
         {"fmt v4l-subdev42:1 0x2013 1280x720 field 0 cs 0"}, ""},
        // Comma-separated items, each propagating.
        {"1:0[fmt:Y12/64x48], 3:1 [fmt:Y10/64x48]", 0,
         {"fmt v4l-subdev40:0 0x2013 64x48 field 0 cs 0", "fmt v4l-subdev41:0 0x2013 64x48 field 0 cs 0",
          "fmt v4l-subdev41:1 0x200a 64x48 field 0 cs 0", "fmt v4l-subdev42:0 0x200a 64x48 field 0 cs 0"},
         ""},
        // Pixel codes are matched exactly.
        {"1:0[fmt:y12_1x12/64x48]", -EINVAL, {}, "Invalid pixel code 'y12_1x12'\n"},
        {"1:0[field:bogus fmt:Y12/1x1]", -EINVAL, {}, "Invalid field value 'bogus'\n"},
        {"1:0[colorspace:none]", -EINVAL, {}, "Invalid colorspace value 'none'\n"},
        {"1:0[xfer:pq]", -EINVAL, {}, "Invalid transfer function value 'pq'\n"},
        {"1:0[ycbcr:rgb]", -EINVAL, {}, "Invalid YCbCr encoding value 'rgb'\n"},
        {"1:0[quantization:half]", -EINVAL, {}, "Invalid quantization value 'half'\n"},
        {"1:0[fmt:Y12/64-48]", -EINVAL, {}, "Expected 'x'\n"},
        {"1:0[fmt:Y12/64x48", -EINVAL, {}, "Expected ']'\n"},
        {"1:0[crop:0,0/4x4]", -EINVAL, {}, "Expected '('\n"},
        {"1:0[(0;0)/4x4]", -EINVAL, {}, "Expected ','\n"},
        {"1:0[(0,0/4x4]", -EINVAL, {}, "Expected ')'\n"},
        {"1:0[(0,0)4x4]", -EINVAL, {}, "Expected '/'\n"},
        {"1:0[@1-30]", -EINVAL, {}, "Expected '/'\n"},
        // Only the first property may leave out "fmt:".
        {"1:0[field:none Y12/8x8]", -EINVAL, {}, "Expected ']'\n"},
        {"1:0 fmt:Y12/64x48", -EINVAL, {}, "Unable to parse format\n"},
        {"1:9[fmt:Y12/64x48]", -EINVAL, {}, "No pad '9' on entity \"m00_b_imx570 4-0010\""},
        // Items before a failure stay applied.
        {"1:0[fmt:Y12/64x48], 1:0[fmt:nope/1x1]", -EINVAL,
         {"fmt v4l-subdev40:0 0x2013 64x48 field 0 cs 0", "fmt v4l-subdev41:0 0x2013 64x48 field 0 cs 0"},
         "Invalid pixel code 'nope'\n"},
        {"1:0[fmt:Y12/64x48] junk", -EINVAL,
         {"fmt v4l-subdev40:0 0x2013 64x48 field 0 cs 0", "fmt v4l-subdev41:0 0x2013 64x48 field 0 cs 0"}, ""},
    };
    for (const auto& c : cases) {
        g.log.clear();
        Device d(g.media_node);
        ASSERT_EQ(media_device_enumerate(d.media), 0);
        EXPECT_EQ(v4l2_subdev_parse_setup_formats(d.media, c.text), c.want) << c.text << "\n" << d.msgs.text;
        EXPECT_EQ(g.log, c.requests) << c.text;
        EXPECT_TRUE(d.msgs.has(c.message)) << c.text << "\n" << d.msgs.text;
    }
}

TEST_F(SubdevGraph, ParseFailureShowsWhereTheFormatStopped)
{
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0);
    EXPECT_EQ(v4l2_subdev_parse_setup_formats(d.media, "1:0[fmt:Y12/64x48], 1:0[fmt:Y12/8y8]"), -EINVAL);
    // The caret stands under the 'y', counted from the start of the failing item.
    EXPECT_TRUE(d.msgs.has("\n 1:0[fmt:Y12/8y8]\n" + std::string(14, ' ') + "^\nUnable to parse format\n"))
        << d.msgs.text;
}

TEST_F(SubdevGraph, TheDriversAdjustedFormatIsReportedAndPropagated)
{
    g.subdev("v4l-subdev40")->max_width = 1024;
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0);
    ASSERT_EQ(v4l2_subdev_parse_setup_formats(d.media, "1:0[fmt:Y12/1920x1080]"), 0);
    EXPECT_TRUE(d.msgs.has("Setting up format Y12_1X12 1920x1080 on pad m00_b_imx570 4-0010/0\n"));
    EXPECT_TRUE(d.msgs.has("Format set: Y12_1X12 1024x1080\n"));
    EXPECT_EQ(g.log.back(), "fmt v4l-subdev41:0 0x2013 1024x1080 field 0 cs 0");

    struct v4l2_mbus_framefmt f {};
    struct media_entity* dphy = media_get_entity_by_id(d.media, 3);
    ASSERT_EQ(v4l2_subdev_get_format(dphy, &f, 0, V4L2_SUBDEV_FORMAT_ACTIVE), 0);
    EXPECT_EQ(f.width, 1024u);
    EXPECT_EQ(f.code, (uint32_t)MEDIA_BUS_FMT_Y12_1X12);
    // The node opened by the first request stays open until closed.
    int fd = dphy->fd;
    EXPECT_GE(fd, 0);
    EXPECT_EQ(v4l2_subdev_open(dphy), 0);
    EXPECT_EQ(dphy->fd, fd);
    v4l2_subdev_close(dphy);
    EXPECT_EQ(dphy->fd, -1);
    // An entity without node cannot be opened.
    struct media_entity* mainpath = media_get_entity_by_id(d.media, 12);
    mainpath->devname[0] = '\0';
    EXPECT_EQ(v4l2_subdev_open(mainpath), -ENOENT);
    EXPECT_EQ(mainpath->fd, -1);
}

TEST_F(SubdevGraph, CropFallsBackToTheOlderRequestOnlyForCrop)
{
    g.subdev("v4l-subdev41")->no_selection = true;
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0);
    EXPECT_EQ(v4l2_subdev_parse_setup_formats(d.media, "3:0[crop:(2,2)/10x10]"), 0);
    EXPECT_EQ(g.log, Log{"crop v4l-subdev41:0 (2,2)/10x10"});
    EXPECT_EQ(v4l2_subdev_parse_setup_formats(d.media, "3:0[compose:(0,0)/10x10]"), -ENOTTY);
    EXPECT_TRUE(d.msgs.has("Unable to set selection rectangle: ")) << d.msgs.text;
}

TEST_F(SubdevGraph, IntervalOfALinkedSubdeviceFailsTheCallOnlyForRealErrors)
{
    const struct {
        int err;
        int want;
    } cases[] = {{ENOTTY, 0}, {EINVAL, 0}, {EIO, -EIO}};
    for (const auto& c : cases) {
        g.log.clear();
        g.subdev("v4l-subdev41")->interval_err = c.err;
        Device d(g.media_node);
        ASSERT_EQ(media_device_enumerate(d.media), 0);
        EXPECT_EQ(v4l2_subdev_parse_setup_formats(d.media, "1:0[fmt:Y12/8x8 @1/25]"), c.want) << c.err;
        EXPECT_EQ(g.log, (Log{"fmt v4l-subdev40:0 0x2013 8x8 field 0 cs 0", "ival v4l-subdev40:0 1/25",
                              "fmt v4l-subdev41:0 0x2013 8x8 field 0 cs 0"}))
            << c.err;
    }
}

TEST(SubdevNames, TablesConvertBothWays)
{
    const uint32_t none = V4L2_SUBDEV_NO_VALUE;
    const struct {
        uint32_t (*to_value)(const char*);
        const char* name;
        uint32_t    want;
    } names[] = {
        {v4l2_subdev_string_to_field, "interlaced-tb", 8},
        {v4l2_subdev_string_to_field, "INTERLACED-TB", 8},
        {v4l2_subdev_string_to_field, "any", 0},
        {v4l2_subdev_string_to_field, "interlaced-", none},
        {v4l2_subdev_string_to_pixelcode, "Y12_1X12", MEDIA_BUS_FMT_Y12_1X12},
        {v4l2_subdev_string_to_pixelcode, "Y12", MEDIA_BUS_FMT_Y12_1X12},
        {v4l2_subdev_string_to_pixelcode, "y12_1x12", none},
        {v4l2_subdev_string_to_pixelcode, "SRGGB10_DPCM8", MEDIA_BUS_FMT_SRGGB10_DPCM8_1X8},
        {v4l2_subdev_string_to_pixelcode, "ARGB32", MEDIA_BUS_FMT_ARGB8888_1X32},
        {v4l2_subdev_string_to_pixelcode, "FIXED", 0x0001},
        {v4l2_subdev_string_to_colorspace, "DCIP3", 12},
        {v4l2_subdev_string_to_colorspace, "470m", 5},
        {v4l2_subdev_string_to_xfer_func, "smpte2084", 7},
        {v4l2_subdev_string_to_xfer_func, "none", 5},
        {v4l2_subdev_string_to_ycbcr_encoding, "bt2020c", 7},
        {v4l2_subdev_string_to_quantization, "Full-Range", 1},
        {v4l2_subdev_string_to_quantization, "", none},
    };
    for (const auto& c : names) EXPECT_EQ(c.to_value(c.name), c.want) << c.name;

    const struct {
        const char* (*to_name)(uint32_t);
        uint32_t    value;
        const char* want;
    } values[] = {
        {v4l2_subdev_pixelcode_to_string, MEDIA_BUS_FMT_Y12_1X12, "Y12_1X12"},  // the full name, not the alias
        {v4l2_subdev_pixelcode_to_string, 0xdead, "unknown"},
        {v4l2_subdev_field_to_string, 9, "interlaced-bt"},
        {v4l2_subdev_field_to_string, 10, "unknown"},
        {v4l2_subdev_colorspace_to_string, 4, "unknown"},
        {v4l2_subdev_xfer_func_to_string, 6, "dcip3"},
        {v4l2_subdev_ycbcr_encoding_to_string, 5, "unknown"},
        {v4l2_subdev_quantization_to_string, 2, "lim-range"},
    };
    for (const auto& c : values) EXPECT_STREQ(c.to_name(c.value), c.want) << c.value;

    unsigned length = 0;
    const uint32_t* list = v4l2_subdev_pixelcode_list(&length);
    ASSERT_EQ(length, 105u);
    EXPECT_EQ(list[0], (uint32_t)MEDIA_BUS_FMT_RGB444_1X12);
    EXPECT_EQ(list[104], (uint32_t)MEDIA_BUS_FMT_AHSV8888_1X32);
    std::set<uint32_t> distinct(list, list + length);
    EXPECT_EQ(distinct.size(), 105u);
    for (unsigned i = 0; i < length; ++i) EXPECT_STRNE(v4l2_subdev_pixelcode_to_string(list[i]), "unknown");
}

} // namespace
