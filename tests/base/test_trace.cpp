// The trace log: entries, line counting, rollover, the process-wide log and
// the hex dump.
#include "trace.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/tmpdir.h"

using testfs::TempDir;
using testfs::read_file;

namespace {

std::string dump(const void* data, int start, int count, int margin)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* fp = open_memstream(&buf, &len);
    printOctet(fp, data, start, count, margin);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
}

// The text with every digit replaced by '9', to compare time stamps by shape.
std::string shape(std::string s)
{
    for (auto& c : s)
        if (c >= '0' && c <= '9') c = '9';
    return s;
}

} // namespace

TEST(TraceLog, EntriesAndTheProcessWideLog)
{
    ASSERT_EQ(g_trace_log, nullptr);
    trlogfile(g_trace_log, 1, nullptr, __LINE__, "no log yet: nothing happens\n");
    TempDir dir;
    trlog_t* log = trlog_init((dir / "t.log").c_str(), 0);
    trlog_t* other = trlog_init((dir / "o.log").c_str(), 0);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(g_trace_log, log); // only the first becomes the process-wide log
    trlog_clean(other);
    EXPECT_EQ(g_trace_log, log);

    trlogfile(log, 0, "file.c", 12, "plain %s\n", "entry");
    trlogfile(log, 1, nullptr, 34, "timed %d\n", 7);
    trlogfile(log, 1, "src.c", 56, "placed\n");
    EXPECT_EQ(trlog_line(log), 3);
    EXPECT_EQ(shape(read_file(dir / "t.log")), "plain entry\n"
                                                "9999-99-99 99:99:99 timed 9\n"
                                                "9999-99-99 99:99:99 src.c:99 placed\n");
    trlog_clean(nullptr); // the process-wide one
    EXPECT_EQ(g_trace_log, nullptr);
}

TEST(TraceLog, CountsExistingLinesAndRollsOver)
{
    TempDir dir;
    std::string path = dir / "r.log";
    testfs::write_file(path, "old1\nold2\nold3\n");
    trlog_t* log = trlog_init(path.c_str(), 1);
    EXPECT_EQ(trlog_line(log), 3);
    trlogfile(log, 0, nullptr, 0, "new4\n");
    EXPECT_EQ(trlog_rollover(log, 2), 0);
    EXPECT_EQ(trlog_line(log), 2);
    trlogfile(log, 0, nullptr, 0, "new5\n"); // the log is writable again
    EXPECT_EQ(read_file(path), "old3\nnew4\nnew5\n");
    EXPECT_EQ(trlog_rollover(log, 10), 0);
    EXPECT_EQ(trlog_line(log), 0); // not below 0
    EXPECT_EQ(trlog_rollover(log, 0), -2);
    trlog_clean(log);
}

TEST(TraceLog, ConcurrentWritersKeepLinesWhole)
{
    TempDir dir;
    trlog_t* log = trlog_init((dir / "c.log").c_str(), 0);
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++)
        th.emplace_back([log, t] {
            for (int i = 0; i < 200; i++) trlogfile(log, 1, "w.c", t, "thread %d line %d\n", t, i);
        });
    for (auto& x : th) x.join();
    EXPECT_EQ(trlog_line(log), 800);
    std::istringstream text(read_file(dir / "c.log"));
    size_t lines = 0;
    for (std::string line; std::getline(text, line); lines++) {
        line = shape(line);
        while (line.size() > 1 && line.substr(line.size() - 2) == "99") line.pop_back();
        EXPECT_EQ(line, "9999-99-99 99:99:99 w.c:9 thread 9 line 9");
    }
    EXPECT_EQ(lines, 800u);
    trlog_clean(log);
}

TEST(PrintOctet, SeventeenBytesMakeTwoLines)
{
    EXPECT_EQ(dump("AB\0\x7F" "EFGHIJKLMNOPQ", 0, 17, 2),
              "  0x0000   41 42 00 7F 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50     AB..EFGHIJKLMNOP\n"
              "  0x0001   51                                                  Q               \n");
    // A negative margin counts as none; missing bytes leave blank columns.
    EXPECT_EQ(dump("0123456789", 8, 2, -5),
              "0x0000   38 39 " + std::string(14 * 3, ' ') + "    89" + std::string(14, ' ') + "\n");
}
