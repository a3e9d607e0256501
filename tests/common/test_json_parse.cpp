// Capability files, the tuning files' exposure switch, parameter-text
// compaction and the avoidance zone index, on a simulated board.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "algo/algotest.h"
#include "common/json_parse.h"
#include "platform/boardroot.h"

namespace {

using ojson = nlohmann::ordered_json;

constexpr const char* kCap = "/etc/capability.json";
constexpr const char* kFeat = "/etc/feature_capability.json";
constexpr const char* kShg = "/etc/iqfiles/sc230ai_CMK-OT1980-PX1_SHG102.json";
constexpr const char* kLs = "/etc/iqfiles/sc230ai_CMK-OT1980-PX1_LS6116.json";

// A board with 101 MiB free, the test's registers and a log capture.
struct JsonBoard : ::testing::Test {
    algotest::LogCapture log;
    algotest::Registers regs;
    BoardRoot board;
    void SetUp() override
    {
        ASSERT_EQ(board.rc, 0);
        ASSERT_EQ(sim_set_free_space("/", 101ull << 20), 0);
    }
    void put(const char* path, const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(board.host(path)).parent_path());
        ASSERT_TRUE(write_host_file(board.host(path), text));
    }
    std::string get(const char* path) { return read_host_file(board.host(path)); }
    // A capability file of one entry, pretty-printed as shipped.
    void put_entry(const char* path, const std::string& entry)
    {
        put(path, ojson::parse("{\"version\": 2, \"capability_list\": [" + entry + "]}").dump(4));
    }
    std::string entry_of(const char* path) { return ojson::parse(get(path))["capability_list"][0].dump(); }
};

// A tuning file in the 3A library's layout with the switch under `scene`.
std::string tuning(const char* scene, const char* op)
{
    ojson doc = ojson::parse(R"({"sensor_calib": {"resolution": {"name": "1920x1080"}}, "main_scene": [{"name": "normal",
        "sub_scene": [{"name": "day", "zzz_first": 1, "scene": {"ae_calib": {"CommCtrl": {"Enable": 1,
        "AecOpType": "x", "HistStatsMode": "AE_HIST_MODE_Y"}}}}]}], "comment": "réglage été"})");
    auto& sub = doc["main_scene"][0]["sub_scene"][0];
    sub["scene"]["ae_calib"]["CommCtrl"]["AecOpType"] = op;
    ojson renamed;
    for (auto& [k, v] : sub.items()) renamed[k == "scene" ? scene : k] = v;
    sub = renamed;
    return doc.dump(2); // shipped with another indent than the rewrite uses
}

struct CapCase {
    uint32_t rgb, tof, cam, board;
    const char* in;
    const char* out;
};

TEST_F(JsonBoard, CapabilityRulesChangeOnlyListedMembersInPlace)
{
    const CapCase cases[] = {
        {3, 300, 6002, 1,
         R"({"rgb_width": {"max": 640, "support": 1}, "trigger_mode": {"support": 1}, "io_out_hardware_mode": {"support": 1}})",
         R"({"rgb_width":{"max":1920,"support":1},"trigger_mode":{"support":1,"max":2},"io_out_hardware_mode":{"support":0}})"},
        {0, 300, 6, 2, R"({"io_out_mode": {"min": 5, "support": 9}, "io_out_hardware_mode": {}, "rgb_height": {}})",
         R"({"io_out_mode":{"min":1,"support":1},"io_out_hardware_mode":{"support":1},"rgb_height":{"max":960}})"},
        {7, 300, 2005, 2, R"({"io_out_mode": {"min": 5}, "trigger_mode": {"max": 9}, "tof_width": {"max": 1}, "rgb_width": {"max": 3}})",
         R"({"io_out_mode":{"min":0,"support":0},"trigger_mode":{"max":1},"tof_width":{"max":320},"rgb_width":{"max":3}})"},
        {3, 300, 1007, 1, R"({"first_exposure": {"max": 1}, "min_3d_auto_exposure": {}, "tof_gain": {"support": 1}})",
         R"({"first_exposure":{"max":4000},"min_3d_auto_exposure":{"max":4000},"tof_gain":{"support":0}})"},
        {3, 100, 4, 1, R"({"tof_fps": {"max": 60}, "first_exposure": {"max": 1}, "trigger_mode": {"support": 1}, "tof_height": {}})",
         R"({"tof_fps":{"max":30,"min":6},"first_exposure":{"max":3000},"trigger_mode":{"support":0},"tof_height":{"max":480}})"},
        {3, 100, 22, 1, R"({"tof_width": {}, "tof_freqmode": {}, "3d_freq_mode": {"support": 0}})",
         R"({"tof_width":{"max":320},"tof_freqmode":{"max":3},"3d_freq_mode":{"support":2}})"},
        {3, 200, 6002, 1, R"({"tof_width": {}, "tof_height": {}, "second_exposure": {"max": 1}, "trigger_mode": {"support": 1}})",
         R"({"tof_width":{"max":672},"tof_height":{"max":804},"second_exposure":{"max":60000000},"trigger_mode":{"support":1}})"},
    };
    for (const auto& c : cases) {
        regs.run.devBoardVersion = c.board;
        put_entry(kCap, c.in);
        modify_capability(c.rgb, c.tof, c.cam);
        EXPECT_EQ(entry_of(kCap), c.out) << c.rgb << "/" << c.tof << "/" << c.cam << " " << c.in;
    }
}

TEST_F(JsonBoard, CapabilityFileIsRewrittenCompactWithItsModeAndNoLeftovers)
{
    // An object list is walked like an array; an unchanged file still goes compact.
    std::string doc = R"({"b": 1, "capability_list": {"one": {"rgb_width": {"max": 2}}, "two": [1]}, "a": "é"})";
    put(kCap, ojson::parse(doc).dump(4));
    chmod(board.host(kCap).c_str(), 0640);
    modify_capability(9, 999, 6002);
    EXPECT_EQ(get(kCap), ojson::parse(doc).dump());
    modify_capability(3, 999, 6002);
    EXPECT_EQ(get(kCap), R"({"b":1,"capability_list":{"one":{"rgb_width":{"max":1920}},"two":[1]},"a":"é"})");
    struct stat st;
    ASSERT_EQ(stat(board.host(kCap).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    for (const auto& e : std::filesystem::directory_iterator(board.host("/etc")))
        EXPECT_EQ(e.path().filename().string().find("capability.json."), std::string::npos) << e.path();
}

TEST_F(JsonBoard, AnErrorOrTooLittleSpaceLeavesEveryFileAsItWas)
{
    const char* typeError = R"({"capability_list": [{"tof_width": {"max": 1}}, {"rgb_width": 5}]})";
    put(kCap, typeError);
    modify_capability(3, 300, 6002);
    EXPECT_EQ(get(kCap), typeError);
    EXPECT_TRUE(log.has("/etc/capability.json parse error:"));
    put(kFeat, "{\"capability_list\": [{\"a\": 1},");
    modify_feature_capability(0, 100, 6002);
    EXPECT_EQ(get(kFeat), "{\"capability_list\": [{\"a\": 1},");
    EXPECT_TRUE(log.has("/etc/feature_capability.json parse error:"));

    put_entry(kCap, R"({"rgb_width": {"max": 1}})");
    put_entry(kFeat, R"({"cmd_soft_trigger": 1})");
    put(kLs, tuning("scene_isp21", "RK_AIQ_OP_MODE_AUTO"));
    std::string cap = get(kCap), feat = get(kFeat), ls = get(kLs);
    ASSERT_EQ(sim_set_free_space("/", 100ull << 20), 0);
    modify_capability(3, 100, 6002);
    modify_feature_capability(3, 100, 6002);
    EXPECT_EQ(modify_exporse_mode(0, 1), 0);
    EXPECT_EQ(get(kCap), cap);
    EXPECT_EQ(get(kFeat), feat);
    EXPECT_EQ(get(kLs), ls);
    EXPECT_TRUE(log.has("no space in device, can not write file."));

    std::filesystem::remove(board.host(kCap));
    modify_capability(3, 100, 6002);
    EXPECT_TRUE(log.has("file not exist"));
    EXPECT_EQ(get(kCap), "<missing>");
}

TEST_F(JsonBoard, FeatureRulesAndLookup)
{
    const CapCase cases[] = {
        {0, 100, 6002, 2, R"({"enable_3d_auto_exposure": 1, "x": 5, "cmd_soft_trigger": 1, "enable_multi_freqhdr": 0})",
         R"({"enable_3d_auto_exposure":0,"x":5,"cmd_soft_trigger":0,"enable_multi_freqhdr":2})"},
        {0, 300, 6002, 2, R"({"enable_term_resistor": 0, "cmd_soft_trigger": 1})", R"({"enable_term_resistor":1,"cmd_soft_trigger":1})"},
        {0, 200, 2005, 1, R"({"cmd_soft_trigger": 1, "enable_multi_freqhdr": 0})", R"({"cmd_soft_trigger":0,"enable_multi_freqhdr":0})"},
    };
    for (const auto& c : cases) {
        regs.run.devBoardVersion = c.board;
        put_entry(kFeat, c.in);
        modify_feature_capability(c.rgb, c.tof, c.cam);
        EXPECT_EQ(entry_of(kFeat), c.out) << c.tof << "/" << c.cam;
    }

    put(kFeat, R"({"capability_list": [{"a": 1}, {"b": 2, "c": "x", "d": 1e300}, {"b": 3}]})");
    const std::pair<const char*, int> lookups[] = {{"a", 1}, {"b", 2}, {"z", -1000}, {"c", -1000}, {"d", -1000}};
    for (auto [name, want] : lookups) {
        int v = 77;
        get_feature_capability(name, &v);
        EXPECT_EQ(v, want) << name;
    }
    std::filesystem::remove(board.host(kFeat));
    int v = 77;
    get_feature_capability("a", &v);
    EXPECT_EQ(v, -1000);
    EXPECT_TRUE(log.has("/etc/feature_capability.json not exist"));
}

TEST_F(JsonBoard, ExposureSwitchLivesInTheTuningFileOfTheCpuType)
{
    put(kShg, tuning("scene_isp30", "RK_AIQ_OP_MODE_MANUAL"));
    put(kLs, tuning("scene_isp21", "RK_AIQ_OP_MODE_AUTO"));
    std::string shg = get(kShg);

    EXPECT_EQ(modify_exporse_mode(0, 1), 0);
    ojson want = ojson::parse(tuning("scene_isp21", "RK_AIQ_OP_MODE_MANUAL"));
    EXPECT_EQ(get(kLs), want.dump(4, ' ', false)); // 4 spaces, "réglage été" as it is
    EXPECT_EQ(get(kShg), shg);
    uint32_t mode = 9;
    get_exporse_mode(&mode, 1);
    EXPECT_EQ(mode, 0u);
    EXPECT_EQ(modify_exporse_mode(7, 0), 0);
    get_exporse_mode(&mode, 0);
    EXPECT_EQ(mode, 1u);

    std::string ls = get(kLs);
    mode = 9;
    EXPECT_EQ(modify_exporse_mode(1, 2), 0); // no tuning file for CPU type 2
    get_exporse_mode(&mode, 2);
    EXPECT_EQ(mode, 9u);
    EXPECT_EQ(get(kLs), ls);

    // The switch under the other CPU type's scene: no "scene_isp21" path.
    std::string wrongScene = tuning("scene_isp30", "RK_AIQ_OP_MODE_AUTO");
    put(kLs, wrongScene);
    mode = 9;
    get_exporse_mode(&mode, 1);
    EXPECT_EQ(mode, 9u);
    EXPECT_EQ(modify_exporse_mode(0, 1), 0);
    EXPECT_EQ(get(kLs), wrongScene);
    EXPECT_TRUE(log.has(std::string(kLs) + " parse error:"));
}

// Compact JSON of exactly n characters: {"p":"xxx..."}.
std::string compact_of(size_t n) { return "{\"p\":\"" + std::string(n - 8, 'x') + "\"}"; }

TEST_F(JsonBoard, JsonFormatFillsTerminatesSpillsOrFails)
{
    char out[JSON_FORMAT_MAX + 2];
    memset(out, '#', sizeof(out));
    std::string pretty = ojson::parse(compact_of(3072)).dump(4) + std::string(1500, ' ');
    EXPECT_EQ(json_format(pretty.data(), out), 0);
    EXPECT_EQ(std::string(out), compact_of(3072));
    EXPECT_EQ(out[JSON_FORMAT_MAX + 1], '#');
    memset(out, '#', sizeof(out));
    std::string big = compact_of(3073);
    EXPECT_EQ(json_format(big.data(), out), 3073);
    EXPECT_EQ(get("/userdata/app_algo_config.json"), big);
    EXPECT_EQ(out[0], '#');

    char broken[] = "{\"a\": [1, 2";
    EXPECT_LT(json_format(broken, out), 0);
    EXPECT_TRUE(log.has("/userdata/app_algo_config.json parse error:"));
    // The parser quotes the bytes before its error point: a host's, escaped.
    char unreadable[] = "{\"a\": \"\x7f\xc3\xa9\xff\"}";
    EXPECT_LT(json_format(unreadable, out), 0);
    EXPECT_TRUE(log.has("\\x7f\\xc3\\xa9\\xff"));
    // Nesting deep enough to exhaust the stack when serialised is refused.
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_LT(json_format(deep.data(), out), 0);
    // 128 levels of arrays or objects are read; a 129th is refused.
    auto arrays = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    auto objects = [](int n) {
        std::string s;
        for (int i = 1; i < n; i++) s += "{\"a\":";
        return s + "{}" + std::string(n - 1, '}');
    };
    for (std::string nested : {arrays(128), objects(128)}) {
        EXPECT_EQ(json_format(nested.data(), out), 0) << nested[0];
        EXPECT_EQ(std::string(out), nested);
    }
    for (std::string deeper : {arrays(129), objects(129)}) EXPECT_LT(json_format(deeper.data(), out), 0) << deeper[0];
    memset(out, '#', sizeof(out));
    char small[] = "{ \"a\" : 1 }";
    ASSERT_EQ(sim_set_free_space("/", 100ull << 20), 0);
    EXPECT_LT(json_format(small, out), 0);
    EXPECT_EQ(out[0], '#');
}

TEST(ZoneIndex, OnlyAnIntMemberSetsTheIndex)
{
    algotest::LogCapture log;
    char good[] = "{\"ZoneIndex\": 3}";
    int zone = -5;
    get_avoid_zone_index2(good, &zone);
    EXPECT_EQ(zone, 3);
    EXPECT_TRUE(log.has("*zoneIndex:3"));
    char other[] = "{\"zone\": 3}", text[] = "{\"ZoneIndex\": \"3\"}", broken[] = "{\"ZoneIndex\": ",
         huge[] = "{\"ZoneIndex\": 1e300}", wide[] = "{\"ZoneIndex\": 1099511627776}";
    for (char* s : {other, text, broken, huge, wide}) {
        zone = -5;
        get_avoid_zone_index2(s, &zone);
        EXPECT_EQ(zone, -5) << s;
        EXPECT_TRUE(log.has(std::string(s) + " parse error:")) << s;
    }
    // The text is named in the error as it is logged anywhere: escaped.
    char raw[] = "{\"ZoneIndex\": \"\x7f\xc3\xa9\"}";
    get_avoid_zone_index2(raw, &zone);
    EXPECT_TRUE(log.has("{\"ZoneIndex\": \"\\x7f\\xc3\\xa9\"} parse error:"));
}

} // namespace
