// Command-line options of the media-controller tool: each option lands in
// its field, device arguments are resolved, unknown options are refused.
#include "media-ctl/options.h"

#include "media-ctl/mediafixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The fields point into argv, so the arguments live until the next parse.
int parse(std::vector<std::string> args)
{
    static std::vector<std::string> kept;
    kept = std::move(args);
    auto& args_ = kept;
    media_opts = media_options{"/dev/media0", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    std::vector<char*> argv;
    for (auto& a : args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    return parse_cmdline((int)args_.size(), argv.data());
}

TEST(MediaCtlOptions, EveryOptionLandsInItsField)
{
    ASSERT_EQ(parse({"media-ctl", "-d", "3", "-e", "sensor", "-l", "1:0->3:0[1]", "-V", "1:0[fmt:Y12/8x8]", "-i", "-p",
                     "-r", "-v", "--print-dot", "--get-format", "1:0", "--get-dv", "2:0", "--set-dv", "3:0"}),
              0);
    EXPECT_STREQ(media_opts.devname, "/dev/media3");
    EXPECT_STREQ(media_opts.entity, "sensor");
    EXPECT_STREQ(media_opts.links, "1:0->3:0[1]");
    EXPECT_STREQ(media_opts.formats, "1:0[fmt:Y12/8x8]");
    EXPECT_TRUE(media_opts.interactive && media_opts.print && media_opts.reset && media_opts.verbose &&
                media_opts.print_dot);
    EXPECT_STREQ(media_opts.fmt_pad, "1:0");
    EXPECT_STREQ(media_opts.get_dv_pad, "2:0");
    EXPECT_STREQ(media_opts.dv_pad, "3:0");

    ASSERT_EQ(parse({"media-ctl", "--get-v4l2", "4:1", "--set-v4l2", "4:1[Y8/2x2]"}), 0);
    EXPECT_STREQ(media_opts.fmt_pad, "4:1");
    EXPECT_STREQ(media_opts.formats, "4:1[Y8/2x2]");
    EXPECT_STREQ(media_opts.devname, "/dev/media0");

    testing::internal::CaptureStderr();
    ASSERT_EQ(parse({"media-ctl", "-f", "1:0[Y8/2x2]"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: the -f option is deprecated and has been replaced by -V.\n");
    EXPECT_STREQ(media_opts.formats, "1:0[Y8/2x2]");
}

TEST(MediaCtlOptions, DeviceIsAPathANumberOrABus)
{
    mediafx::Graph g;
    ASSERT_NO_FATAL_FAILURE(g.install());
    const struct {
        const char* arg;
        const char* want;
    } cases[] = {
        {"/dev/media40", "/dev/media40"},
        {"12", "/dev/media12"},
        {"1234", "1234"},  // four digits are no short number
        {"platform:rkcif-fixture", "/dev/media40"},
        {"platform:none", "platform:none"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(parse({"media-ctl", "-d", c.arg}), 0);
        EXPECT_STREQ(media_opts.devname, c.want) << c.arg;
    }
}

TEST(MediaCtlOptions, UnknownOptionsAndNoArgumentsAreRefused)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse({"media-ctl", "-z"}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid option -z\nRun media-ctl -h for help.\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse({"media-ctl"}), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("interlaced-tb"), std::string::npos);  // the table names are listed
    EXPECT_NE(out.find("--known-mbus-fmts"), std::string::npos);
}

} // namespace
