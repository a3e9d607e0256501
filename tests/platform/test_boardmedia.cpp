// Media graphs of the simulated board, read through plat_ioctl as the media
// controller module reads them: entities one after the other, pads and
// links, node names from device numbers, link set-up.
#include "platform/boardroot.h"
#include "platform/camera.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <dirent.h>
#include <map>

namespace {

struct Graph {
    media_device_info                          info{};
    std::vector<media_entity_desc>             ents;
    std::map<uint32_t, std::vector<media_link_desc>> links;
    int                                        end_errno = 0;

    const media_entity_desc* find(const std::string& name) const
    {
        for (const auto& e : ents)
            if (name == e.name) return &e;
        return nullptr;
    }
};

Graph enumerate(int fd)
{
    Graph g;
    EXPECT_EQ(plat_ioctl(fd, MEDIA_IOC_DEVICE_INFO, &g.info), 0);
    uint32_t id = 0;
    for (;;) {
        media_entity_desc d{};
        d.id = id | MEDIA_ENT_ID_FLAG_NEXT;
        if (plat_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &d) != 0) {
            g.end_errno = errno;
            break;
        }
        EXPECT_GT(d.id, id);
        id = d.id;
        g.ents.push_back(d);
        std::vector<media_pad_desc> pads(d.pads);
        std::vector<media_link_desc> links(d.links);
        media_links_enum le{};
        le.entity = d.id;
        le.pads = pads.data();
        le.links = links.data();
        EXPECT_EQ(plat_ioctl(fd, MEDIA_IOC_ENUM_LINKS, &le), 0);
        for (const auto& l : links) EXPECT_EQ(l.source.entity, d.id);
        g.links[d.id] = links;
    }
    return g;
}

// The node a device number names: the last part of its /sys/dev/char link.
std::string node_of(uint32_t maj, uint32_t min)
{
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof(link), "/sys/dev/char/%u:%u", maj, min);
    std::string host = std::string(plat_board_root()) + link;
    ssize_t n = readlink(host.c_str(), target, sizeof(target) - 1);
    if (n <= 0) return "";
    target[n] = '\0';
    std::string t = target;
    return "/dev/" + t.substr(t.rfind('/') + 1);
}

struct ProfileGraph {
    const char* profile;
    const char* media;
    const char* capture;  // entity the drivers look up
    const char* sensor;   // first sensor entity, "" none
    size_t      entities;
};

const ProfileGraph kGraphs[] = {
    {"rk3588-gpixel", "/dev/media1", "stream_cif_mipi_id0", "m01_b_Gpixel0503 5-0010", 7},
    {"rk3588-gpixel", "/dev/media0", "stream_cif_mipi_id0", "m00_b_sc130gs 4-0030", 7},
    {"rk3588-gpixel", "/dev/media2", "rkisp_mainpath", "", 5},
    {"rk3568-imx570", "/dev/media0", "stream_cif_mipi_id0", "m01_b_imx570 3-0010", 7},
    {"rk3568-imx570", "/dev/media1", "rkisp-isp-subdev", "m00_b_sc230ai 4-0030", 7},
    {"rk3568-v23", "/dev/media0", "stream_cif_mipi_id0", "m01_b_Gpixel0503 3-0010", 7},
    {"rk3588-vd55h1", "/dev/media1", "stream_cif_mipi_id0", "m01_b_VD55H1 5-0010", 7},
    {"rk3588-vd55h1", "/dev/media0", "stream_cif_mipi_id0", "m00_b_sc2210 4-0030", 7},
};

} // namespace

TEST(BoardMedia, EachProfileCarriesTheGraphsItsDriversLookUp)
{
    for (const auto& pg : kGraphs) {
        SCOPED_TRACE(std::string(pg.profile) + " " + pg.media);
        BoardRoot b(pg.profile);
        ASSERT_EQ(b.rc, 0);
        int fd = plat_open(pg.media, O_RDWR);
        ASSERT_GE(fd, 0);
        Graph g = enumerate(fd);
        EXPECT_EQ(g.end_errno, EINVAL); // the end of the list
        EXPECT_EQ(g.ents.size(), pg.entities);
        EXPECT_STRNE(g.info.driver, "");
        EXPECT_EQ(std::string(g.info.bus_info).rfind("platform:", 0), 0u);

        const media_entity_desc* cap = g.find(pg.capture);
        ASSERT_NE(cap, nullptr);
        // A capture entity has a node, and its device number names it.
        ASSERT_TRUE(cap->dev.major || cap->dev.minor);
        std::string node = node_of(cap->dev.major, cap->dev.minor);
        struct stat st;
        ASSERT_EQ(plat_stat(node.c_str(), &st), 0) << node;
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(major(st.st_rdev), cap->dev.major);
        EXPECT_EQ(minor(st.st_rdev), cap->dev.minor);

        // The first sensor of the graph is the one the drivers pick.
        const media_entity_desc* first = nullptr;
        for (const auto& e : g.ents)
            if (e.type == MEDIA_ENT_F_CAM_SENSOR && !first) first = &e;
        if (pg.sensor[0]) {
            ASSERT_NE(first, nullptr);
            EXPECT_STREQ(first->name, pg.sensor);
            EXPECT_EQ(first->pads, 1);
            std::string sub = node_of(first->dev.major, first->dev.minor);
            EXPECT_EQ(sub.rfind("/dev/v4l-subdev", 0), 0u) << sub;
        } else {
            EXPECT_EQ(first, nullptr);
        }
        plat_close(fd);
    }
}

TEST(BoardMedia, EntityLookupByIdAndNextIdFlag)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    int fd = plat_open("/dev/media1", O_RDWR);
    ASSERT_GE(fd, 0);
    Graph g = enumerate(fd);
    ASSERT_GE(g.ents.size(), 3u);
    // Ids have gaps (pads share their space): bit 31 finds the next one up.
    for (size_t i = 0; i + 1 < g.ents.size(); i++) {
        media_entity_desc d{};
        d.id = (g.ents[i].id + 1) | MEDIA_ENT_ID_FLAG_NEXT;
        if (g.ents[i].id + 1 < g.ents[i + 1].id) {
            ASSERT_EQ(plat_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &d), 0);
            EXPECT_EQ(d.id, g.ents[i + 1].id);
        }
        d = media_entity_desc{};
        d.id = g.ents[i].id; // without the flag: that very entity
        ASSERT_EQ(plat_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &d), 0);
        EXPECT_STREQ(d.name, g.ents[i].name);
    }
    media_entity_desc d{};
    d.id = (g.ents.back().id) | MEDIA_ENT_ID_FLAG_NEXT;
    EXPECT_EQ(plat_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &d), -1);
    EXPECT_EQ(errno, EINVAL);
    d.id = g.ents.front().id + 1; // an id that is a pad's, not an entity's
    EXPECT_EQ(plat_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &d), -1);
    media_links_enum le{};
    le.entity = 9999;
    EXPECT_EQ(plat_ioctl(fd, MEDIA_IOC_ENUM_LINKS, &le), -1);
    EXPECT_EQ(errno, EINVAL);
    plat_close(fd);
}

TEST(BoardMedia, CaptureNodeLeadsToItsMediaNodeThroughSysfs)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    int media = plat_open("/dev/media1", O_RDWR);
    Graph g = enumerate(media);
    plat_close(media);
    const media_entity_desc* cap = g.find("stream_cif_mipi_id0");
    ASSERT_NE(cap, nullptr);
    int fd = plat_open(node_of(cap->dev.major, cap->dev.minor).c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    // fstat of the open node gives its number; its sysfs "device" directory
    // holds the media node.
    struct stat st;
    ASSERT_EQ(plat_fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    char dir[64], host[PATH_MAX];
    snprintf(dir, sizeof(dir), "/sys/dev/char/%u:%u/device", major(st.st_rdev), minor(st.st_rdev));
    ASSERT_NE(plat_path(dir, host, sizeof(host)), nullptr);
    DIR* d = opendir(host);
    ASSERT_NE(d, nullptr);
    std::string found;
    while (dirent* e = readdir(d))
        if (strncmp(e->d_name, "media", 5) == 0 && isdigit((unsigned char)e->d_name[5])) found = e->d_name;
    closedir(d);
    EXPECT_EQ(found, "media1");
    plat_close(fd);
}

TEST(BoardMedia, LinkSetupRoutesTheOtherSensorAndRefusesImmutableLinks)
{
    // An RK3576 carries both sensors on its one camera graph.
    TempDir dir;
    std::string ini = dir.path + "/two-sensors.ini";
    ASSERT_TRUE(write_host_file(ini, "[BOARD]\nCHIP=RK3576\nTOF_SENSOR=VD55H1\nCOLOUR_SENSOR=sc2210\n"));
    BoardRoot b(ini.c_str());
    ASSERT_EQ(b.rc, 0);
    int fd = plat_open("/dev/media0", O_RDWR);
    Graph g = enumerate(fd);
    const media_entity_desc* csi = g.find("rockchip-mipi-csi2");
    const media_entity_desc* d0 = g.find("rockchip-csi2-dphy0");
    const media_entity_desc* d1 = g.find("rockchip-csi2-dphy1");
    const media_entity_desc* id0 = g.find("stream_cif_mipi_id0");
    ASSERT_TRUE(csi && d0 && d1 && id0);
    auto setup = [&](const media_entity_desc* src, uint16_t sp, const media_entity_desc* sink, uint16_t kp,
                     uint32_t flags) {
        media_link_desc l{};
        l.source.entity = src->id;
        l.source.index = sp;
        l.sink.entity = sink->id;
        l.sink.index = kp;
        l.flags = flags;
        return plat_ioctl(fd, MEDIA_IOC_SETUP_LINK, &l) == 0 ? 0 : errno;
    };
    EXPECT_EQ(setup(csi, 1, id0, 0, MEDIA_LNK_FL_IMMUTABLE), EINVAL); // immutable stays enabled
    EXPECT_EQ(setup(csi, 1, id0, 0, MEDIA_LNK_FL_IMMUTABLE | MEDIA_LNK_FL_ENABLED), 0);
    EXPECT_EQ(setup(d0, 1, id0, 0, MEDIA_LNK_FL_ENABLED), EINVAL);       // no such link

    // Bridges take selection rectangles (sensors answer ENOTTY, see the sensor tests).
    int sd = plat_open(node_of(csi->dev.major, csi->dev.minor).c_str(), O_RDWR);
    ASSERT_GE(sd, 0);
    v4l2_subdev_selection sel{};
    sel.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    sel.target = V4L2_SEL_TGT_COMPOSE;
    sel.r = {8, 4, 640, 480};
    ASSERT_EQ(plat_ioctl(sd, VIDIOC_SUBDEV_S_SELECTION, &sel), 0);
    sel.r = {};
    ASSERT_EQ(plat_ioctl(sd, VIDIOC_SUBDEV_G_SELECTION, &sel), 0);
    EXPECT_EQ(sel.r.left, 8);
    EXPECT_EQ(sel.r.height, 480u);
    plat_close(sd);

    {
        Capture c("/dev/video0");
        ASSERT_EQ(c.format().fmt.pix_mp.width, 1344u); // the VD55H1 feeds the node
    }
    EXPECT_EQ(setup(d0, 1, csi, 0, 0), 0);
    EXPECT_EQ(setup(d1, 1, csi, 0, MEDIA_LNK_FL_ENABLED), 0);
    Graph after = enumerate(fd);
    EXPECT_EQ(after.links[d1->id][0].flags & MEDIA_LNK_FL_ENABLED, (uint32_t)MEDIA_LNK_FL_ENABLED);
    Capture c("/dev/video0");
    v4l2_format f = c.format();
    EXPECT_EQ(f.fmt.pix_mp.width, 1920u);
    EXPECT_EQ(f.fmt.pix_mp.pixelformat, (uint32_t)V4L2_PIX_FMT_GREY);
    plat_close(fd);
}
