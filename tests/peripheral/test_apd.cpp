// APD calibration file check and the lifecycle of the APD tasks.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "algo/algotest.h"
#include "peripheral/apd.h"
#include "platform/boardroot.h"

using namespace algotest;

namespace {

struct CalibFile : ::testing::Test {
    BoardRoot board;
    int check(const std::string& text)
    {
        EXPECT_TRUE(write_host_file(board.host(APD_CALIB_FILE), text));
        return check_pd_calib_data(reinterpret_cast<uint8*>(const_cast<char*>(APD_CALIB_FILE)));
    }
};

TEST_F(CalibFile, AcceptsATableOfNumbersOnly)
{
    ASSERT_EQ(board.rc, 0);
    const std::pair<std::string, int> cases[] = {
        {"temp,bias,gain\n20,150.5,30\n\n25, 151.0 ,31\n30,152,32", 1},
        {"20,150\r\n25,151\r\n", 1},
        {"", -1},
        {"temp,bias\n", -1},                       // no data line
        {"20,150,30\n25,151\n", -1},               // ragged
        {"20,150\n25,abc\n", -1},                  // not a number
        {"20\n25\n", -1},                          // one column
        {"20,nan\n", -1},
        {"20," + std::string(2000, '1') + "\n", -1}, // over-long line
    };
    for (const auto& c : cases) EXPECT_EQ(check(c.first), c.second) << c.first.substr(0, 40);
    uint8 path[] = "/userdata/const/none.csv";
    EXPECT_EQ(check_pd_calib_data(path), -2);
    EXPECT_EQ(check_pd_calib_data(nullptr), -2);
}

TEST(ApdTasks, RegulationRunsUntilStoppedAndCalibrationEndsByItself)
{
    FrameCore fc;
    fc.start(E_WORKER_ID_APD, apd_task);
    fc.start(E_WORKER_ID_APD_CURRENT_CALIB, apd_get_bias_task);
    fc.start(E_WORKER_ID_APD_AUTO_CALIB, apd_auto_calib_task);
    EXPECT_TRUE(fc.gone(E_WORKER_ID_APD_AUTO_CALIB));
    ASSERT_NE(epcore_worker_find(fc.core, E_WORKER_ID_APD), nullptr);
    worker_stop(epcore_worker_find(fc.core, E_WORKER_ID_APD));
    EXPECT_TRUE(fc.gone(E_WORKER_ID_APD));
    EXPECT_NE(epcore_worker_find(fc.core, E_WORKER_ID_APD_CURRENT_CALIB), nullptr);
    worker_stop(epcore_worker_find(fc.core, E_WORKER_ID_APD_CURRENT_CALIB));
    EXPECT_TRUE(fc.gone(E_WORKER_ID_APD_CURRENT_CALIB));
}

} // namespace
