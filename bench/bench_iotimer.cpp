/* Timers armed and cancelled on one pump: from the pump's own thread (no
 * wake-up needed) and from another thread (each change wakes the pump). */
#include <benchmark/benchmark.h>

#include <vector>

#include "epcore.h"
#include "evpump.h"
#include "iotimer.h"
#include "mthread.h"

namespace {

int never(void*, void*, int, int) { return 0; }

/* A pump registered under the calling thread, which plays its loop. */
struct OwnPump {
    epcore_t* core = epcore_new(65536, 1);
    evpump_t* pump = evpump_new(core);
    OwnPump()
    {
        pump->threadid = get_threadid();
        evpump_thread_add(core, pump);
    }
    ~OwnPump()
    {
        evpump_thread_del(core, pump);
        evpump_recycle(pump);
        epcore_clean(core);
    }
};

void BM_TimerArmCancelOnPumpThread(benchmark::State& state)
{
    OwnPump p;
    for (auto _ : state) {
        iotimer_t* t = iotimer_start(p.core, 1000, 0, nullptr, never, nullptr);
        iotimer_stop(t);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerArmCancelOnPumpThread);

/* Many pending timers at once: the tree is deeper. */
void BM_TimerArmThenCancelBatchOnPumpThread(benchmark::State& state)
{
    OwnPump p;
    const int n = (int)state.range(0);
    std::vector<iotimer_t*> ts((size_t)n);
    for (auto _ : state) {
        for (int i = 0; i < n; i++) ts[(size_t)i] = iotimer_start(p.core, 1000 + (i * 7919) % 5000, 0, nullptr, never, nullptr);
        for (int i = 0; i < n; i++) iotimer_stop(ts[(size_t)i]);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TimerArmThenCancelBatchOnPumpThread)->Arg(1000)->Arg(10000);

void BM_TimerArmCancelFromOtherThread(benchmark::State& state)
{
    epcore_t* core = epcore_new(65536, 1);
    epcore_start_evpump(core, 1);
    while (!evpump_thread_select(core)) {}
    for (auto _ : state) {
        iotimer_t* t = iotimer_start(core, 1000, 0, nullptr, never, nullptr);
        iotimer_stop(t);
    }
    state.SetItemsProcessed(state.iterations());
    epcore_stop_evpump(core);
    while (core->threadnum.load() > 0) {}
    epcore_clean(core);
}
BENCHMARK(BM_TimerArmCancelFromOtherThread)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
