/* Thread scheduling on the simulated board: real-time requests and CPU
 * pinnings are granted on paper (a test host seldom lets a process take
 * SCHED_RR, and may have fewer cores than the board) and counted, so tests
 * can see what a task asked for. */
#include "backend.h"
#include "simboard.h"

#include <errno.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<int> s_refuse{0};
std::mutex       s_mu;
unsigned long    s_granted = 0;
int              s_policy = 0;
int              s_priority = 0;
unsigned long    s_pinned = 0;
int              s_cpu = -1;

} // namespace

int sim_sched_request(int policy, int priority)
{
    if (s_refuse.load()) {
        errno = EPERM;
        return -1;
    }
    std::lock_guard<std::mutex> lk(s_mu);
    s_granted++;
    s_policy = policy;
    s_priority = priority;
    return 0;
}

void sim_sched_refuse(int refuse) { s_refuse.store(refuse ? 1 : 0); }

unsigned long sim_sched_granted(int* policy, int* priority)
{
    std::lock_guard<std::mutex> lk(s_mu);
    if (policy) *policy = s_policy;
    if (priority) *priority = s_priority;
    return s_granted;
}

int sim_affinity_request(int cpu)
{
    std::lock_guard<std::mutex> lk(s_mu);
    s_pinned++;
    s_cpu = cpu;
    return 0;
}

unsigned long sim_affinity_granted(int* cpu)
{
    std::lock_guard<std::mutex> lk(s_mu);
    if (cpu) *cpu = s_cpu;
    return s_pinned;
}
