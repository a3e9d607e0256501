// Lines of the asynchronous loggers reach their files on pool threads: wait
// for them by polling the file (bounded) while asking for a flush.
#ifndef KORVID_TESTS_LOGWAIT_H
#define KORVID_TESTS_LOGWAIT_H

#include <spdlog/spdlog.h>

#include <string>

#include "base/pumptest.h"
#include "platform/boardroot.h"

inline bool wait_for_log(const char* logger, const std::string& path, const std::string& text)
{
    return pumptest::wait_until([&] {
        if (auto l = spdlog::get(logger)) l->flush();
        return read_host_file(path).find(text) != std::string::npos;
    });
}

#endif
