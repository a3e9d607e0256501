// Event objects, System V IPC and lock-file mutexes. (The critical sections are
// exercised under TSan by the threaded tests of the FIFO and the buffer pool.)
#include "mthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <signal.h>
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
} // namespace

TEST(EventObj, SetBeforeWaitIsForgottenAndSetDuringWaitIsReturned)
{
    void* ev = event_create();
    ASSERT_NE(ev, nullptr);
    event_set(ev, 5);
    EXPECT_EQ(event_wait(ev, 30), -1);
    for (int val : {7, -1, 0, 3}) {
        std::atomic<bool> done{false};
        std::atomic<int> got{-2};
        std::thread waiter([&] {
            got = event_wait(ev, 10000);
            done = true;
        });
        // A poke made before the waiter sleeps is lost by design, so poke with
        // the same value until the waiter has returned.
        while (!done.load()) {
            if (val == 3) event_signal(ev, val); else event_set(ev, val);
            std::this_thread::yield();
        }
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

TEST(SysVIpc, SecondInitOpensWhatTheFirstMade)
{
    TempPath tp;
    int created = -1, shmid, sem = ipc_sem_init(tp.path, 'k', &created);
    ASSERT_GE(sem, 0);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(ipc_sem_init(tp.path, 'k', &created), sem);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(ipc_sem_clean(sem), 0);

    void* shm = nullptr;
    ASSERT_GE(shmid = ipc_shm_init(tp.path, 'm', 4096, &shm, &created), 0);
    EXPECT_EQ(created, 1);
    static_cast<char*>(shm)[4095] = 'x';
    EXPECT_EQ(ipc_shm_detach(shm), 0);
    EXPECT_EQ(ipc_shm_clean(shmid), 0);
}

TEST(FileMutex, ReportsTheHoldingProcess)
{
    TempPath tp;
    EXPECT_EQ(file_mutex_locked(tp.path), 0);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) { // holds the lock until killed
        FileMutex* fm = file_mutex_init(tp.path);
        char c = fm && file_mutex_lock(fm) == 0 ? '1' : '0';
        if (write(ready[1], &c, 1) == 1) pause();
        _exit(2);
    }
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, '1');
    EXPECT_EQ(file_mutex_locked(tp.path), child);
    kill(child, SIGKILL); // its lock goes with it
    waitpid(child, nullptr, 0);
    EXPECT_EQ(file_mutex_locked(tp.path), 0);
    close(ready[0]);
    close(ready[1]);

    FileMutex* fm = file_mutex_init(tp.path);
    ASSERT_NE(fm, nullptr);
    EXPECT_EQ(file_mutex_lock(fm), 0);
    EXPECT_EQ(file_mutex_unlock(fm), 0);
    EXPECT_EQ(file_mutex_destroy(fm), 0);
    EXPECT_NE(access(tp.path, F_OK), 0); // the lock file is removed
}
