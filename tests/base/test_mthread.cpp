// Critical sections, event objects, System V IPC and lock-file mutexes.
#include "mthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "base/tmpdir.h"

namespace {
// An existing file in a private directory, for keys and lock files.
struct TempPath {
    testfs::TempDir dir{"korvid-mthread"};
    std::string name = dir / "key";
    const char* path = name.c_str();
    TempPath() { testfs::write_file(name, ""); }
};

// A poke made before the waiter sleeps is lost by design, so poke with the same
// value until the waiter has returned; the wait ends on the first poke it sees.
void poke_until_done(void* ev, int val, std::atomic<bool>& done, bool signal)
{
    while (!done.load()) {
        if (signal) event_signal(ev, val); else event_set(ev, val);
        std::this_thread::yield();
    }
}
} // namespace

TEST(CriticalSection, GuardsASharedCounter)
{
    CRITICAL_SECTION cs;
    ASSERT_EQ(InitializeCriticalSection(&cs), 0);
    long counter = 0;
    std::thread t[4];
    for (auto& th : t)
        th = std::thread([&] {
            for (int i = 0; i < 10000; i++) {
                EnterCriticalSection(&cs);
                counter++;
                LeaveCriticalSection(&cs);
            }
        });
    for (auto& th : t) th.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(DeleteCriticalSection(&cs), 0);
}

TEST(EventObj, SetBeforeWaitIsForgotten)
{
    void* ev = event_create();
    ASSERT_NE(ev, nullptr);
    event_set(ev, 5);
    EXPECT_EQ(event_wait(ev, 30), -1);
    event_destroy(ev);
}

TEST(EventObj, SetOrSignalDuringWaitReturnsTheValue)
{
    void* ev = event_create();
    for (int val : {7, -1, 0, 3}) {
        std::atomic<bool> done{false};
        std::atomic<int> got{-2};
        std::thread waiter([&] {
            got = event_wait(ev, 10000);
            done = true;
        });
        poke_until_done(ev, val, done, val == 3);
        waiter.join();
        EXPECT_EQ(got.load(), val);
    }
    event_destroy(ev);
}

TEST(EventObj, DeadlineCarriesMicrosecondsIntoSeconds)
{
    // Start the wait late in a wall-clock second so that ms + us overflow the
    // nanosecond field; without the carry the wait fails at once.
    void* ev = event_create();
    struct timeval tv;
    do {
        gettimeofday(&tv, nullptr);
    } while (tv.tv_usec < 950000);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(event_wait(ev, 100), -1);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 90);
    event_destroy(ev);
}

TEST(SysVIpc, SemaphoreAndSharedMemoryLifecycle)
{
    TempPath tp;
    int created = -1;
    int sem = ipc_sem_init(tp.path, 'k', &created);
    ASSERT_GE(sem, 0);
    EXPECT_EQ(created, 1);
    int created2 = -1;
    EXPECT_EQ(ipc_sem_init(tp.path, 'k', &created2), sem);
    EXPECT_EQ(created2, 0);
    EXPECT_EQ(ipc_sem_wait(sem), 0);
    EXPECT_EQ(ipc_sem_signal(sem), 0);
    EXPECT_EQ(ipc_sem_clean(sem), 0);
    EXPECT_EQ(ipc_sem_init("/nonexistent/korvid", 'k', &created), -100);

    void* shm = nullptr;
    EXPECT_EQ(ipc_shm_init(tp.path, 'm', 0, &shm, &created), -1);
    int shmid = ipc_shm_init(tp.path, 'm', 4096, &shm, &created);
    ASSERT_GE(shmid, 0);
    EXPECT_EQ(created, 1);
    static_cast<char*>(shm)[0] = 'x';
    EXPECT_EQ(ipc_shm_detach(shm), 0);
    EXPECT_EQ(ipc_shm_clean(shmid), 0);
}

TEST(FileMutex, ReportsTheHoldingProcess)
{
    TempPath tp;
    EXPECT_EQ(file_mutex_locked(tp.path), 0);

    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileMutex* fm = file_mutex_init(tp.path);
        int ok = fm && file_mutex_lock(fm) == 0;
        char c = ok ? '1' : '0';
        if (write(ready[1], &c, 1) != 1) _exit(2);
        if (read(release[0], &c, 1) < 0) _exit(3);
        _exit(ok ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1');
    EXPECT_EQ(file_mutex_locked(tp.path), child);
    ASSERT_EQ(write(release[1], "x", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(file_mutex_locked(tp.path), 0);

    FileMutex* fm = file_mutex_init(tp.path);
    ASSERT_NE(fm, nullptr);
    EXPECT_EQ(file_mutex_lock(fm), 0);
    EXPECT_EQ(file_mutex_unlock(fm), 0);
    EXPECT_EQ(file_mutex_destroy(fm), 0);
    EXPECT_NE(access(tp.path, F_OK), 0); // the lock file is removed
    close(ready[0]); close(ready[1]); close(release[0]); close(release[1]);
}
