// The CANopen node task and its PDO output under worker id 526.
#include <gtest/gtest.h>

#include "algo/algo.h"
#include "algo/algotest.h"
#include "canopen/canopen.h"

using namespace algotest;

namespace {

TEST(CanopenNode, OwnsThePdoOutputOnBoardsOtherThanCpuType0)
{
    Registers regs;
    FrameCore fc;
    reg_store(regs.run.cpuId, (uint32_t)E_CPU_RK3568);
    fc.start(E_WORKER_ID_STD_CANOPEN, std_canopen_task);
    ASSERT_TRUE(wait_until([&] { return epcore_worker_find(fc.core, E_WORKER_ID_RS485) != nullptr; }));

    // Records posted to 526 are taken and returned to their pool.
    for (int i = 0; i < 20; i++) ASSERT_EQ(algo_avoid_rs485_2(fc.core, i, ALGO_NO_EXTRA_CODE), 0);
    EXPECT_TRUE(wait_until([&] { return fc.fetched() == 0; }));

    // The CAN/IO test stops the node: its output goes with it.
    worker_stop(epcore_worker_find(fc.core, E_WORKER_ID_STD_CANOPEN));
    EXPECT_TRUE(fc.gone(E_WORKER_ID_STD_CANOPEN));
    EXPECT_TRUE(fc.gone(E_WORKER_ID_RS485));
}

TEST(CanopenNode, LeavesWorker526ToModbusOnCpuType0)
{
    Registers regs;
    FrameCore fc;
    worker_t* modbus = fc.fake_worker(E_WORKER_ID_RS485);
    fc.start(E_WORKER_ID_STD_CANOPEN, std_canopen_task);
    worker_stop(epcore_worker_find(fc.core, E_WORKER_ID_STD_CANOPEN));
    EXPECT_TRUE(fc.gone(E_WORKER_ID_STD_CANOPEN));
    EXPECT_EQ(epcore_worker_find(fc.core, E_WORKER_ID_RS485), modbus);
    EXPECT_EQ(modbus->quit.load(), 0);
}

} // namespace
