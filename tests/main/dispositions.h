// korvid's start-up changes process-wide signal dispositions; a test that
// starts korvid in-process keeps one of these for its run to put them back.
#ifndef KORVID_TESTS_MAIN_DISPOSITIONS_H
#define KORVID_TESTS_MAIN_DISPOSITIONS_H

#include <signal.h>

struct Dispositions {
    static constexpr int kSigs[] = {SIGCHLD, SIGTSTP, SIGTTOU, SIGPIPE, SIGTTIN};
    struct sigaction saved[5];
    Dispositions()
    {
        for (int i = 0; i < 5; i++) sigaction(kSigs[i], nullptr, &saved[i]);
    }
    ~Dispositions()
    {
        for (int i = 0; i < 5; i++) sigaction(kSigs[i], &saved[i], nullptr);
    }
};

#endif
