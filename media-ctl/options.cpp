// Command-line options of the media-controller tool, with its usage text.
#include "media-ctl/options.h"

#include "media-ctl/libmediactl.h"
#include "media-ctl/libv4l2subdev.h"
#include "platform.h"

#include <ctype.h>
#include <dirent.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

struct media_options media_opts = {"/dev/media0", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

namespace {

enum {
    OPT_PRINT_DOT = 256,
    OPT_GET_FORMAT,
    OPT_SET_DV,
    OPT_GET_DV,
    OPT_LIST_KNOWN_MBUS_FMTS,
    OPT_VERSION,
};

const struct option kLongOptions[] = {
    {"device", required_argument, nullptr, 'd'},
    {"entity", required_argument, nullptr, 'e'},
    {"set-format", required_argument, nullptr, 'f'},
    {"set-v4l2", required_argument, nullptr, 'V'},
    {"get-format", required_argument, nullptr, OPT_GET_FORMAT},
    {"get-v4l2", required_argument, nullptr, OPT_GET_FORMAT},
    {"get-dv", required_argument, nullptr, OPT_GET_DV},
    {"set-dv", required_argument, nullptr, OPT_SET_DV},
    {"help", no_argument, nullptr, 'h'},
    {"interactive", no_argument, nullptr, 'i'},
    {"links", required_argument, nullptr, 'l'},
    {"known-mbus-fmts", no_argument, nullptr, OPT_LIST_KNOWN_MBUS_FMTS},
    {"print-dot", no_argument, nullptr, OPT_PRINT_DOT},
    {"print-topology", no_argument, nullptr, 'p'},
    {"reset", no_argument, nullptr, 'r'},
    {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

char g_devname[PATH_MAX];

void print_names(const char* title, const char* (*to_name)(uint32_t), uint32_t last)
{
    printf("\t%s:", title);
    for (uint32_t v = 0; v <= last; ++v) {
        const char* name = to_name(v);
        if (strcmp(name, "unknown") != 0) printf(" %s", name);
    }
    printf("\n");
}

void usage(const char* argv0)
{
    printf("%s [options]\n", argv0);
    printf("-d, --device dev\tMedia device name (default: %s)\n", "/dev/media0");
    printf("\t\t\tA number below 1000 selects /dev/mediaN, other text the media device of that bus\n");
    printf("-e, --entity name\tPrint the device name associated with the given entity\n");
    printf("-V, --set-v4l2 v4l2\tComma-separated list of formats to setup\n");
    printf("    --get-v4l2 pad\tPrint the active format on a given pad\n");
    printf("    --get-dv pad\tQuery the DV timings on a given pad\n");
    printf("    --set-dv pad\tConfigure DV timings on a given pad\n");
    printf("-h, --help\t\tShow verbose help and exit\n");
    printf("-i, --interactive\tModify links interactively\n");
    printf("-l, --links links\tComma-separated list of link descriptors to setup\n");
    printf("    --known-mbus-fmts\tList known media bus formats and their numeric values\n");
    printf("-p, --print-topology\tPrint the device topology\n");
    printf("    --print-dot\t\tPrint the device topology as a dot graph\n");
    printf("-r, --reset\t\tReset all links to inactive\n");
    printf("-v, --verbose\t\tBe verbose\n");
    printf("    --version\t\tShow the version and exit\n");
    printf("\n");
    printf("Links and formats are defined as\n");
    printf("\tlinks           = link { ',' link } ;\n");
    printf("\tlink            = pad '->' pad '[' flags ']' ;\n");
    printf("\tpad             = entity ':' pad-number ;\n");
    printf("\tentity          = entity-number | ( '\"' entity-name '\"' ) ;\n");
    printf("\n");
    printf("\tv4l2            = pad '[' v4l2-properties ']' ;\n");
    printf("\tv4l2-properties = v4l2-property { ' ' v4l2-property } ;\n");
    printf("\tv4l2-property   = v4l2-mbusfmt | v4l2-crop | v4l2-interval\n");
    printf("\t                | v4l2-compose | v4l2-interval | v4l2-field\n");
    printf("\t                | v4l2-colorspace | v4l2-xfer | v4l2-ycbcr\n");
    printf("\t                | v4l2-quant ;\n");
    printf("\tv4l2-mbusfmt    = 'fmt:' fcc '/' size ;\n");
    printf("\tv4l2-crop       = 'crop:' rectangle ;\n");
    printf("\tv4l2-compose    = 'compose:' rectangle ;\n");
    printf("\tv4l2-interval   = '@' numerator '/' denominator ;\n");
    printf("\tv4l2-field      = 'field:' v4l2-field-name ;\n");
    printf("\tv4l2-colorspace = 'colorspace:' v4l2-colorspace-name ;\n");
    printf("\tv4l2-xfer       = 'xfer:' v4l2-xfer-name ;\n");
    printf("\tv4l2-ycbcr      = 'ycbcr:' v4l2-ycbcr-name ;\n");
    printf("\tv4l2-quant      = 'quantization:' v4l2-quant-name ;\n");
    printf("\n");
    printf("\trectangle       = '(' left ',' top, ')' '/' size ;\n");
    printf("\tsize            = width 'x' height ;\n");
    printf("\n");
    printf("where the fields are\n");
    printf("\tentity-number   Entity numeric identifier\n");
    printf("\tentity-name     Entity name (string)\n");
    printf("\tpad-number      Pad numeric identifier\n");
    printf("\tflags           Link flags (0: inactive, 1: active)\n");
    printf("\tfcc             Format FourCC\n");
    printf("\twidth           Image width in pixels\n");
    printf("\theight          Image height in pixels\n");
    printf("\tnumerator       Frame interval numerator\n");
    printf("\tdenominator     Frame interval denominator\n");
    print_names("v4l2-field-name", v4l2_subdev_field_to_string, 9);
    print_names("v4l2-colorspace-name", v4l2_subdev_colorspace_to_string, 12);
    print_names("v4l2-xfer-name", v4l2_subdev_xfer_func_to_string, 7);
    print_names("v4l2-quant-name", v4l2_subdev_quantization_to_string, 2);
    print_names("v4l2-ycbcr-encoding", v4l2_subdev_ycbcr_encoding_to_string, 8);
}

void list_known_mbus_formats()
{
    unsigned int count = 0;
    const uint32_t* codes = v4l2_subdev_pixelcode_list(&count);
    for (unsigned i = 0; i < count; ++i) {
        const char* name = v4l2_subdev_pixelcode_to_string(codes[i]);
        int pad = 24 - (int)strlen(name);
        printf("%s %*c 0x%4.4x\n", name, pad > 1 ? pad : 1, ' ', codes[i]);
    }
}

// The "/dev/media*" node whose bus information is `bus_info`.
const char* media_node_of_bus(const char* bus_info)
{
    char dev[PATH_MAX];
    if (!plat_path("/dev", dev, sizeof(dev))) return nullptr;
    DIR* d = opendir(dev);
    if (!d) return nullptr;
    const char* found = nullptr;
    while (struct dirent* ent = readdir(d)) {
        if (strncmp(ent->d_name, "media", 5) != 0) continue;
        char node[PATH_MAX];
        snprintf(node, sizeof(node), "/dev/%s", ent->d_name);
        struct media_device* media = media_device_new(node);
        if (!media) continue;
        media_device_enumerate(media);
        bool match = strncmp(media_get_info(media)->bus_info, bus_info, sizeof(media->info.bus_info)) == 0;
        media_device_unref(media);
        if (match) {
            snprintf(g_devname, sizeof(g_devname), "%s", node);
            found = g_devname;
            break;
        }
    }
    closedir(d);
    return found;
}

const char* device_argument(const char* arg)
{
    struct stat st;
    if (plat_stat(arg, &st) == 0) return arg;
    if (isdigit(static_cast<unsigned char>(arg[0])) && strlen(arg) < 4) {
        snprintf(g_devname, sizeof(g_devname), "/dev/media%s", arg);
        return g_devname;
    }
    const char* node = media_node_of_bus(arg);
    return node ? node : arg;
}

} // namespace

int parse_cmdline(int argc, char** argv)
{
    if (argc == 1) {
        usage(argv[0]);
        return 1;
    }
    optind = 0;  // a fresh scan for every call
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "d:e:f:hil:prvV:", kLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'd': media_opts.devname = device_argument(optarg); break;
        case 'e': media_opts.entity = optarg; break;
        case 'f':
            fprintf(stderr, "Warning: the -f option is deprecated and has been replaced by -V.\n");
            media_opts.formats = optarg;
            break;
        case 'V': media_opts.formats = optarg; break;
        case 'h':
            usage(argv[0]);
            exit(0);
        case 'i': media_opts.interactive = 1; break;
        case 'l': media_opts.links = optarg; break;
        case 'p': media_opts.print = 1; break;
        case 'r': media_opts.reset = 1; break;
        case 'v': media_opts.verbose = 1; break;
        case OPT_PRINT_DOT: media_opts.print_dot = 1; break;
        case OPT_GET_FORMAT: media_opts.fmt_pad = optarg; break;
        case OPT_GET_DV: media_opts.get_dv_pad = optarg; break;
        case OPT_SET_DV: media_opts.dv_pad = optarg; break;
        case OPT_LIST_KNOWN_MBUS_FMTS:
            list_known_mbus_formats();
            exit(0);
        case OPT_VERSION:
            printf("%s (korvid)\n", argv[0]);
            exit(0);
        default:
            fprintf(stderr, "Invalid option -%c\n", optopt ? optopt : '?');
            fprintf(stderr, "Run %s -h for help.\n", argv[0]);
            return 1;
        }
    }
    return 0;
}
