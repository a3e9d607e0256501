// Application algorithms and their result records.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include <nlohmann/json.hpp>

#include "algo/algo.h"
#include "algo/algo_server.h"
#include "algo/algotest.h"
#include "platform/boardroot.h"

using namespace algotest;

namespace {

struct Results : ::testing::Test {
    LogCapture log;
    Registers regs;
    FrameCore fc;
    const uint8* record(worker_t* wk) { return fc.head(wk)->imageData; }
};

TEST_F(Results, RecordsStayOneDeepWithTheirByteOrders)
{
    worker_t* out = fc.fake_worker(E_WORKER_ID_RS485);
    EXPECT_EQ(algo_avoid_rs485(fc.core, 3, ALGO_NO_EXTRA_CODE), 0);
    EXPECT_EQ(algo_avoid_rs485(fc.core, 0x0102, 0x5A), 0);
    EXPECT_EQ(fc.listed(out), 1);
    EXPECT_EQ(bpool_fetched_num(fc.core->applation_algo_result), 1); // the first went back

    ImageInfo* img = fc.head(out);
    EXPECT_EQ(img->memType, (uint32)E_MEMTYPE_APPLATION_RESULT);
    EXPECT_EQ(img->imageType, (uint32)E_IMAGE_TYPE_AVOID);
    EXPECT_EQ(img->imageSize, sizeof(RS485Info));
    const uint8 want[] = {0xAC, 0xED, 4, 16, 0x5A, 0x00, 0x01, 0x02}; // result big-endian
    EXPECT_EQ(memcmp(img->imageData, want, sizeof(want)), 0);

    EXPECT_EQ(algo_avoid_rs485_2(fc.core, 7, ALGO_NO_EXTRA_CODE), 0);
    EXPECT_EQ(fc.head(out)->imageType, (uint32)E_IMAGE_TYPE_AVOID2);
    const uint8 want2[] = {0, 0, 0, 7};
    EXPECT_EQ(memcmp(record(out) + 4, want2, 4), 0);

    RS485Info in{};
    in.result = 1;
    in.yaw = 0.25f;
    in.middleLegWidth = 90;
    EXPECT_EQ(algo_pallet_rs485(fc.core, &in), 0);
    EXPECT_EQ(fc.head(out)->imageType, (uint32)E_IMAGE_TYPE_PALLET);
    RS485Info want3 = in; // fields in processor order, the header filled in
    want3.header[0] = 0xAC;
    want3.header[1] = 0xED;
    want3.length = RS485_LENGTH_PALLET;
    want3.cmd = RS485_CMD_PALLET;
    EXPECT_EQ(memcmp(record(out), &want3, sizeof(want3)), 0);
    EXPECT_EQ(fc.listed(out), 1);
    EXPECT_EQ(bpool_fetched_num(fc.core->applation_algo_result), 1);
}

TEST_F(Results, WithoutReceiverOrUnitNothingIsKept)
{
    EXPECT_EQ(algo_avoid_rs485(fc.core, 1, ALGO_NO_EXTRA_CODE), -2);
    EXPECT_EQ(algo_avoid_socket(fc.core, 1, 2), -2);
    EXPECT_EQ(fc.fetched(), 0);

    fc.fake_worker(E_WORKER_ID_RS485);
    bpool_t* pool = fc.core->applation_algo_result;
    fc.core->applation_algo_result = nullptr;
    EXPECT_EQ(algo_pallet_rs485(fc.core, nullptr), -1);
    EXPECT_TRUE(log.has("no mem"));
    fc.core->applation_algo_result = pool;
}

TEST_F(Results, SocketCounterRollsThroughAllByteValues)
{
    worker_t* out = fc.fake_worker(E_WORKER_ID_UDP_SEND);
    int prev = -1;
    for (int i = 0; i < 300; i++) { // past 255: the counter wraps to 0
        ASSERT_EQ(algo_avoid_socket(fc.core, 0x1234, 0x21), 0);
        ASSERT_EQ(fc.listed(out), 1);
        const uint8* r = record(out);
        const uint8 fixed[] = {0xAC, 0xED, 0x04, 0x10, 0x21};
        ASSERT_EQ(memcmp(r, fixed, sizeof(fixed)), 0);
        ASSERT_EQ(r[6] << 8 | r[7], 0x1234);
        ASSERT_TRUE(prev < 0 || r[5] == (uint8)(prev + 1)) << prev;
        prev = r[5];
    }
    EXPECT_EQ(bpool_fetched_num(fc.core->applation_algo_result), 1);

    ASSERT_EQ(algo_avoid_socket(fc.core, 0x00010203, ALGO_NO_EXTRA_CODE), 0);
    const uint8 plain[] = {0xAC, 0xED, 0x04, 0x10, 0x00, 0x01, 0x02, 0x03};
    EXPECT_EQ(memcmp(record(out), plain, 8), 0);
}

struct Server : ::testing::Test {
    LogCapture log;
    Server() { algo_server_reset(); }
    ~Server() override { algo_server_reset(); }
};

TEST_F(Server, ZoneIndexRoundTripsThroughTheAvoidanceApplication)
{
    EXPECT_EQ(algo_avoid_get_zone_index2(), 0);
    EXPECT_EQ(algo_avoid_set_zone_index2(7), 0);
    EXPECT_TRUE(log.has("{\"SetZoneIndex\": 7}"));
    EXPECT_EQ(algo_avoid_get_zone_index2(), 7);
    EXPECT_NE(algo_avoid_set_zone_index2(20), 0);
    EXPECT_EQ(algo_avoid_get_zone_index2(), 7);

    uint8 bad[] = "{\"ZoneIndex\":";
    uint8 noZone[] = "{\"Zones\":[]}";
    EXPECT_NE(algo_avoid_set_params2(bad, sizeof(bad) - 1), 0);
    EXPECT_EQ(algo_avoid_set_params2(noZone, sizeof(noZone) - 1), 0);
    EXPECT_EQ(algo_avoid_get_zone_index2(), 0);
    char out[ALGO_PARAM_TEXT_MAX];
    EXPECT_EQ(algo_avoid_get_params2(out), 0);
    EXPECT_STREQ(out, "{\"Zones\":[]}");
}

TEST_F(Server, PalletParametersAreNeverCut)
{
    uint8 params[] = "{\"PalletType\":2}";
    EXPECT_EQ(algo_pallet_set_params(params, sizeof(params) - 1), 0);
    uint8 buf[ALGO_PARAM_TEXT_MAX];
    EXPECT_EQ(algo_pallet_get_params(buf), (int)sizeof(params) - 1);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "{\"PalletType\":2}");
    std::string big = "{\"pad\":\"" + std::string(4000, 'x') + "\"}";
    EXPECT_EQ(algo_pallet_set_params(reinterpret_cast<uint8*>(big.data()), (uint32)big.size()), 0);
    EXPECT_EQ(algo_pallet_get_params(buf), -1); // never cut, never past the buffer
    EXPECT_EQ(buf[0], 0);
    EXPECT_TRUE(log.has("param too long 4010"));
}

// A parameter object of n members, pretty-printed (4 spaces).
std::string pretty_params(int n)
{
    nlohmann::ordered_json doc;
    doc["ZoneIndex"] = 2;
    for (int i = 0; i < n; i++) doc[std::string("k").append(std::to_string(1000 + i))] = 0;
    return doc.dump(4);
}

TEST_F(Server, LongParametersAreCompactedOrSpilledToTheFile)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    std::string fits = pretty_params(300); // compact form below 3072
    ASSERT_GE(fits.size(), 3072u);
    ASSERT_EQ(algo_avoid_set_params2(reinterpret_cast<uint8*>(fits.data()), (uint32)fits.size()), 0);
    char out[ALGO_PARAM_TEXT_MAX];
    EXPECT_EQ(algo_avoid_get_params2(out), 0);
    EXPECT_TRUE(log.has("json need format"));
    EXPECT_EQ(std::string(out), nlohmann::ordered_json::parse(fits).dump());
    EXPECT_EQ(algo_avoid_get_zone_index2(), 2);

    std::string big = pretty_params(400); // compact form above 3072
    ASSERT_EQ(algo_avoid_set_params2(reinterpret_cast<uint8*>(big.data()), (uint32)big.size()), 0);
    EXPECT_EQ(algo_avoid_get_params2(out), -1);
    std::string spilled = nlohmann::ordered_json::parse(big).dump();
    EXPECT_TRUE(log.has("param too long " + std::to_string(spilled.size())));
    EXPECT_EQ(read_host_file(board.host("/userdata/app_algo_config.json")), spilled);
}

} // namespace
