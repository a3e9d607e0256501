// Media graph: enumeration of a simulated media node, twin links, node
// naming through sysfs, look-ups, link set-up and the link grammar.
#include "media-ctl/libmediactl.h"

#include "media-ctl/mediafixture.h"

#include <gtest/gtest.h>

using namespace mediafx;

namespace {

// Every link is held by both ends, each copy pointing at the other and
// carrying the same pads and flags.
void expect_twins_consistent(struct media_device* media)
{
    for (unsigned i = 0; i < media_get_entities_count(media); ++i) {
        struct media_entity* e = media_get_entity(media, i);
        for (unsigned j = 0; j < media_entity_get_links_count(e); ++j) {
            struct media_link* l = media_entity_get_link(e, j);
            ASSERT_NE(l->twin, nullptr);
            EXPECT_EQ(l->twin->twin, l);
            EXPECT_NE(l->twin, l);
            EXPECT_EQ(l->twin->source, l->source);
            EXPECT_EQ(l->twin->sink, l->sink);
            EXPECT_EQ(l->twin->flags, l->flags);
            EXPECT_TRUE(l->source->entity == e || l->sink->entity == e);
            EXPECT_EQ(l->source->entity->pads + l->source->index, l->source);
        }
    }
}

struct MediaGraph : ::testing::Test {
    Graph g;
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(g.install()); }
};

TEST_F(MediaGraph, EnumerationReadsEntitiesPadsLinksAndNodesThenCloses)
{
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0) << d.msgs.text;
    EXPECT_EQ(d.media->fd, -1);
    EXPECT_TRUE(d.msgs.has("Found 5 entities\n"));
    EXPECT_STREQ(media_get_info(d.media)->driver, "rkcif");
    ASSERT_EQ(media_get_entities_count(d.media), 5u);

    struct media_entity* dphy = media_get_entity_by_name(d.media, "rockchip-csi2-dphy0");
    ASSERT_NE(dphy, nullptr);
    EXPECT_STREQ(media_entity_get_devname(dphy), "/dev/v4l-subdev41");
    EXPECT_EQ(media_entity_get_pad(dphy, 0)->flags, (uint32_t)MEDIA_PAD_FL_SINK);
    EXPECT_EQ(media_entity_get_pad(dphy, 1)->flags, (uint32_t)MEDIA_PAD_FL_SOURCE);
    EXPECT_EQ(media_entity_get_pad(dphy, 2), nullptr);
    EXPECT_EQ(media_entity_get_links_count(dphy), 2u);  // one in, one out

    struct media_entity* cif = media_get_entity_by_name(d.media, "rkcif-mipi-lvds");
    EXPECT_EQ(media_entity_get_links_count(cif), 3u);
    struct media_entity* stream = media_get_entity_by_name(d.media, "stream_cif_mipi_id0");
    EXPECT_STREQ(media_entity_get_devname(stream), "/dev/video40");
    // The default entity was recorded before the array grew past it.
    EXPECT_EQ(media_get_default_entity(d.media, MEDIA_KIND_V4L), stream);
    EXPECT_EQ(media_get_default_entity(d.media, MEDIA_KIND_FB), nullptr);
    EXPECT_EQ(media_get_default_entity(d.media, 0x20001), nullptr);

    struct media_pad* src = media_entity_remote_source(media_entity_get_pad(stream, 0));
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(src->entity, cif);
    EXPECT_EQ(src->index, 1u);
    EXPECT_EQ(media_entity_remote_source(media_entity_get_pad(media_get_entity_by_name(d.media, "rkisp_mainpath"), 0)),
              nullptr);  // its only link is disabled
    EXPECT_EQ(media_entity_remote_source(src), nullptr);  // a source pad
    expect_twins_consistent(d.media);

    // A graph that is read already is not read again.
    unsigned before = g.media.requests;
    EXPECT_EQ(media_device_enumerate(d.media), 0);
    EXPECT_EQ(g.media.requests, before);
}

TEST_F(MediaGraph, LookupByIdWithAndWithoutTheNextFlag)
{
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0);
    const struct {
        uint32_t id;
        int      want;  // entity id found, 0 none
    } cases[] = {
        {6, 6}, {7, 0}, {0, 0},
        {MEDIA_ENT_ID_FLAG_NEXT | 0, 1}, {MEDIA_ENT_ID_FLAG_NEXT | 3, 6}, {MEDIA_ENT_ID_FLAG_NEXT | 4, 6},
        {MEDIA_ENT_ID_FLAG_NEXT | 12, 0}, {MEDIA_ENT_ID_FLAG_NEXT | 0x7FFFFFFF, 0},
    };
    for (const auto& c : cases) {
        struct media_entity* e = media_get_entity_by_id(d.media, c.id);
        if (c.want)
            EXPECT_TRUE(e && e->info.id == (uint32_t)c.want) << std::hex << c.id;
        else
            EXPECT_EQ(e, nullptr) << std::hex << c.id;
    }
    EXPECT_EQ(media_get_entity(d.media, 5), nullptr);
    EXPECT_EQ(media_get_entity_by_name(d.media, "rkcif"), nullptr);
}

TEST(MediaGraphLinks, InvalidLinksAreReportedWhileTheOthersAreKept)
{
    Graph g;
    g.media.links.push_back({6, 1, 99, 0, 1});  // no entity 99
    g.media.links.push_back({1, 3, 3, 0, 0});   // the sensor has one pad only
    ASSERT_NO_FATAL_FAILURE(g.install());
    Device d(g.media_node);
    EXPECT_EQ(media_device_enumerate(d.media), -EINVAL);
    EXPECT_EQ(d.media->fd, -1);
    EXPECT_TRUE(d.msgs.has("WARNING entity 3 link 2 from 6/1 to 99/0 is invalid!\n")) << d.msgs.text;
    EXPECT_TRUE(d.msgs.has("WARNING entity 1 link 1 from 1/3 to 3/0 is invalid!\n")) << d.msgs.text;
    EXPECT_TRUE(d.msgs.has("Unable to enumerate pads and linksfor device /dev/media40\n"));
    EXPECT_EQ(media_entity_get_links_count(media_get_entity_by_id(d.media, 6)), 3u);
    EXPECT_EQ(media_entity_get_links_count(media_get_entity_by_id(d.media, 1)), 1u);
    expect_twins_consistent(d.media);
}

TEST(MediaGraphLinks, TwinsStayConsistentWhenLinkArraysGrow)
{
    Graph g;
    // The hub reports no links of its own and one pad, so it starts with
    // room for one link and must grow for the five that reach it; its loop
    // back onto itself keeps both copies in its own array.
    // It is read second, so its loop is in its array when it grows again.
    g.media.entities.push_back({2, "hub", 0x20000, 0, {MEDIA_PAD_FL_SINK | MEDIA_PAD_FL_SOURCE}, "", 1});
    for (uint32_t src : {1u, 3u, 6u, 6u}) g.media.links.push_back({src, src == 1 ? 0u : 1u, 2, 0, 1});
    g.media.links.push_back({2, 0, 2, 0, 0});
    ASSERT_NO_FATAL_FAILURE(g.install());
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0) << d.msgs.text;
    struct media_entity* hub = media_get_entity_by_name(d.media, "hub");
    ASSERT_NE(hub, nullptr);
    EXPECT_EQ(media_entity_get_links_count(hub), 6u);
    EXPECT_GE(hub->max_links, 6u);
    expect_twins_consistent(d.media);
    // The hub's loop is held twice in its own array.
    unsigned loops = 0;
    for (unsigned j = 0; j < hub->num_links; ++j) loops += hub->links[j].source->entity == hub && hub->links[j].sink->entity == hub;
    EXPECT_EQ(loops, 2u);
}

TEST(MediaGraphEnumeration, FailuresCloseTheNodeAndReturnTheErrno)
{
    const struct {
        const char* what;
        int         kind;
        unsigned    nth;
        int         err;
        int         want;
        const char* message;
    } cases[] = {
        {"open", SIM_REQ_OPEN, 1, EACCES, -EACCES, "media_device_open: Can't open media device /dev/media40\n"},
        {"device info", SIM_REQ_IOCTL, 1, EIO, -EIO, "Unable to retrieve media device information"},
        {"second entity", SIM_REQ_IOCTL, 3, EIO, -EIO, "Unable to enumerate entities for device /dev/media40"},
        {"links of the first entity", SIM_REQ_IOCTL, 8, EIO, -EIO,
         "media_enum_links: Unable to enumerate pads and links (Input/output error).\n"},
    };
    for (const auto& c : cases) {
        Graph g;
        ASSERT_NO_FATAL_FAILURE(g.install());
        ASSERT_EQ(sim_fail_nth(g.media_node.c_str(), c.kind, c.nth, c.err), 0);
        Device d(g.media_node);
        EXPECT_EQ(media_device_enumerate(d.media), c.want) << c.what;
        EXPECT_EQ(d.media->fd, -1) << c.what;
        EXPECT_TRUE(d.msgs.has(c.message)) << c.what << ": " << d.msgs.text;
    }
}

TEST(MediaGraphEnumeration, AnEntityIdThatDoesNotGrowEndsTheWalk)
{
    Graph g;
    g.media.stuck_ids = true;
    ASSERT_NO_FATAL_FAILURE(g.install());
    Device d(g.media_node);
    EXPECT_EQ(media_device_enumerate(d.media), -EINVAL);
    EXPECT_LE(g.media.requests, 10u);
    EXPECT_EQ(d.media->fd, -1);
}

TEST(MediaGraphNodes, NodesAreNamedOnlyWhenTheSysfsLinkLeadsToTheSameDevice)
{
    Graph g;
    // dvb naming; a node whose sysfs entry names another device; a name too
    // long for the entity's node path; an entity without sysfs entry.
    g.media.entities.push_back({30, "frontend", 0x10004, 0, {}, "/dev/dvb/adapter0/frontend0"});
    g.media.entities.push_back({31, "liar", 0x10001, 0, {}, "/dev/video42"});
    g.media.entities.push_back({32, "long", 0x10001, 0, {}, "/dev/video-with-a-very-long-node-name"});
    g.media.entities.push_back({33, "bare", 0x10001, 0, {}, "/dev/video43"});
    ASSERT_NO_FATAL_FAILURE(g.install());
    g.sysfs_link(sim_device_rdev("/dev/dvb/adapter0/frontend0"), "dvb0.frontend0");
    g.sysfs_link(sim_device_rdev("/dev/video42"), "video40");
    unlink(g.board.host("/sys/dev/char/" + std::to_string(major(sim_device_rdev("/dev/video43"))) + ":" +
                        std::to_string(minor(sim_device_rdev("/dev/video43"))))
               .c_str());
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0) << d.msgs.text;
    EXPECT_STREQ(media_entity_get_devname(media_get_entity_by_id(d.media, 30)), "/dev/dvb/adapter0/frontend0");
    EXPECT_EQ(media_entity_get_devname(media_get_entity_by_id(d.media, 31)), nullptr);
    EXPECT_EQ(media_entity_get_devname(media_get_entity_by_id(d.media, 32)), nullptr);
    EXPECT_EQ(media_entity_get_devname(media_get_entity_by_id(d.media, 33)), nullptr);
    EXPECT_STREQ(media_entity_get_devname(media_get_entity_by_id(d.media, 9)), "/dev/video40");
}

TEST_F(MediaGraph, SetupLinkUpdatesBothCopiesAndKeepsTheImmutableBit)
{
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0);
    struct media_entity* cif = media_get_entity_by_id(d.media, 6);
    struct media_entity* mainpath = media_get_entity_by_id(d.media, 12);
    struct media_entity* sensor = media_get_entity_by_id(d.media, 1);
    struct media_entity* dphy = media_get_entity_by_id(d.media, 3);

    ASSERT_EQ(media_setup_link(d.media, &cif->pads[1], &mainpath->pads[0], MEDIA_LNK_FL_ENABLED), 0);
    EXPECT_EQ(d.media->fd, -1);
    ASSERT_EQ(g.media.setups.size(), 1u);
    EXPECT_EQ(g.media.setups[0].source.entity, 6u);
    EXPECT_EQ(g.media.setups[0].source.flags, (uint32_t)MEDIA_PAD_FL_SOURCE);
    EXPECT_EQ(g.media.setups[0].sink.entity, 12u);
    EXPECT_EQ(g.media.setups[0].sink.flags, (uint32_t)MEDIA_PAD_FL_SINK);
    EXPECT_EQ(mainpath->links[0].flags, (uint32_t)MEDIA_LNK_FL_ENABLED);
    expect_twins_consistent(d.media);

    ASSERT_EQ(media_setup_link(d.media, &sensor->pads[0], &dphy->pads[0], 0), 0);
    EXPECT_EQ(g.media.setups.back().flags, (uint32_t)MEDIA_LNK_FL_IMMUTABLE);

    EXPECT_EQ(media_setup_link(d.media, &sensor->pads[0], &mainpath->pads[0], 1), -ENOENT);
    EXPECT_TRUE(d.msgs.has("media_setup_link: Link not found\n"));

    g.media.setup_err = EBUSY;
    EXPECT_EQ(media_setup_link(d.media, &cif->pads[1], &mainpath->pads[0], 0), -EBUSY);
    EXPECT_EQ(mainpath->links[0].flags, (uint32_t)MEDIA_LNK_FL_ENABLED);  // unchanged on failure
    EXPECT_EQ(d.media->fd, -1);
}

TEST_F(MediaGraph, ResetDisablesEveryMutableLinkOnce)
{
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0);
    ASSERT_EQ(media_reset_links(d.media), 0);
    ASSERT_EQ(g.media.setups.size(), 3u);  // the immutable sensor link is left alone
    for (const auto& s : g.media.setups) EXPECT_EQ(s.flags, 0u);
    for (unsigned i = 0; i < media_get_entities_count(d.media); ++i) {
        struct media_entity* e = media_get_entity(d.media, i);
        for (unsigned j = 0; j < e->num_links; ++j)
            EXPECT_EQ(e->links[j].flags & MEDIA_LNK_FL_ENABLED, e->links[j].flags & MEDIA_LNK_FL_IMMUTABLE ? 1u : 0u);
    }
}

TEST_F(MediaGraph, LinkGrammar)
{
    const struct {
        const char* text;
        int         want;
        size_t      setups;   // link requests sent
        const char* message;  // expected in the messages, "" none
    } cases[] = {
        {"'rkcif-mipi-lvds':1 -> \"rkisp_mainpath\":0 [1]", 0, 1, "Setting up link 6:1 -> 12:0 [1]\n"},
        {"\"rkcif-mipi-lvds':1->'rkisp_mainpath\":0[0]", 0, 1, "Setting up link 6:1 -> 12:0 [0]\n"},
        {" 6 : 1 -> 12 : 0 [1],3:1->6:0[1]", 0, 2, ""},
        {"6:1->12:0[1], 3:1->6:0[1]", 0, 2, ""},
        {"6:1->12:0[1],x", -EINVAL, 1, "no such entity 0\n"},
        {"6:1->12:0[1];", -EINVAL, 1, ""},
        {"'rkcif-mipi-lvds:1->12:0[1]", -EINVAL, 0, "missing matching '\"'\n"},
        {"'rkcif':1->12:0[1]", -EINVAL, 0, "no such entity \"rkcif\"\n"},
        {"44:1->12:0[1]", -EINVAL, 0, "no such entity 44\n"},
        {"6 1->12:0[1]", -EINVAL, 0, "Expected ':'\n"},
        {"6:->12:0[1]", -EINVAL, 0, "No pad '-1' on entity \"rkcif-mipi-lvds\""},  // a number is required
        {"6:99999999999->12:0[1]", -EINVAL, 0, "No pad"},
        {"6:2->12:0[1]", -EINVAL, 0, "No pad '2' on entity \"rkcif-mipi-lvds\". Maximum pad number is 1\n"},
        {"6:1-12:0[1]", -EINVAL, 0, "Expected '->'\n"},
        {"6:1->3:0[1]", -EINVAL, 0, "No link between \"rkcif-mipi-lvds\":1 and \"rockchip-csi2-dphy0\":0\n"},
        {"6:1->12:0 1", -EINVAL, 0, "Unable to parse link flags: expected '['.\n"},
        {"6:1->12:0[1", -EINVAL, 0, "Unable to parse link flags: expected ']'.\n"},
        {"6:1->12", -EINVAL, 0, "media_parse_setup_link: Unable to parse link\n"},
    };
    for (const auto& c : cases) {
        g.media.setups.clear();
        Device d(g.media_node);
        ASSERT_EQ(media_device_enumerate(d.media), 0);
        EXPECT_EQ(media_parse_setup_links(d.media, c.text), c.want) << c.text << "\n" << d.msgs.text;
        EXPECT_EQ(g.media.setups.size(), c.setups) << c.text;
        EXPECT_TRUE(d.msgs.has(c.message)) << c.text << "\n" << d.msgs.text;
    }
}

TEST_F(MediaGraph, ParsersReportWhereTheyStoppedAndShowIt)
{
    Device d(g.media_node);
    ASSERT_EQ(media_device_enumerate(d.media), 0);
    const char* text = "'rkcif-mipi-lvds' : 1 ->x";
    const char* end = nullptr;
    EXPECT_EQ(media_parse_entity(d.media, text, &end), media_get_entity_by_id(d.media, 6));
    EXPECT_EQ(end, text + 18);  // past the name and the blank after it
    struct media_pad* pad = media_parse_pad(d.media, text, &end);
    ASSERT_NE(pad, nullptr);
    EXPECT_EQ(pad->index, 1u);
    EXPECT_STREQ(end, "->x");
    EXPECT_EQ(media_parse_link(d.media, text, &end), nullptr);
    EXPECT_STREQ(end, "x");

    d.msgs.text.clear();
    media_print_streampos(d.media, "6:1->12:9[1]", nullptr);
    d.msgs.text.clear();
    const char* line = "6:1->12:9[1]";
    media_print_streampos(d.media, line, line + 8);
    EXPECT_EQ(d.msgs.text, "\n 6:1->12:9[1]\n         ^\n");
}

TEST(MediaGraphEmulated, EntitiesAddedByHandFormAGraph)
{
    struct media_device_info info {};
    snprintf(info.model, sizeof(info.model), "emulated");
    struct media_device* media = media_device_new_emulated(&info);
    ASSERT_NE(media, nullptr);
    EXPECT_STREQ(media_get_info(media)->model, "emulated");
    EXPECT_EQ(media_get_devnode(media), nullptr);
    EXPECT_EQ(media_device_ref(media), media);

    struct media_entity_desc desc {};
    for (uint32_t id = 1; id <= 6; ++id) {
        desc.id = id;
        snprintf(desc.name, sizeof(desc.name), "entity-%u", id);
        desc.type = 0x10002;
        desc.flags = id == 2 ? MEDIA_ENT_FL_DEFAULT : 0;
        desc.pads = 2;
        ASSERT_EQ(media_device_add_entity(media, &desc, id == 1 ? "/dev/fb0-with-a-name-longer-than-the-room" : nullptr),
                  0);
    }
    struct media_entity* fb = media_get_default_entity(media, MEDIA_KIND_FB);
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(fb, media_get_entity(media, 1));
    EXPECT_EQ(media_get_entity(media, 1)->pads[1].entity, media_get_entity(media, 1));
    EXPECT_EQ(strlen(media_get_entity(media, 0)->devname), 31u);
    EXPECT_EQ(media_entity_get_devname(media_get_entity(media, 2)), nullptr);
    // Nothing to open behind an emulated graph.
    EXPECT_EQ(media_setup_link(media, &fb->pads[1], &fb->pads[0], 1), -ENODEV);
    media_device_unref(media);
    media_device_unref(media);
}

} // namespace
