// The file cache: pack geometry, window movement, reads by position and in
// sequence, scanners, caller sources, loader threads and pack units.
#include "filecache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

#include "base/tmpdir.h"

using testfs::TempDir;
using testfs::write_file;

namespace {

std::string random_text(size_t n, unsigned seed, const char* alphabet = nullptr)
{
    std::mt19937 rng(seed);
    std::string s(n, 0);
    size_t al = alphabet ? strlen(alphabet) : 0;
    for (auto& c : s) c = alphabet ? alphabet[rng() % al] : (char)(rng() & 0xFF);
    return s;
}

struct Cache {
    file_cache_t* c;
    Cache(int packnum, int packsize) : c(file_cache_init(packnum, packsize)) {}
    ~Cache() { file_cache_clean(c); }
    operator file_cache_t*() const { return c; }
};

// A caller's source over a string, counting how often each pack is read.
struct MemSource {
    std::string data;
    std::atomic<int> calls{0};
    std::atomic<bool> fail{false};
    static long read(void* self, void* buf, long* len, int64_t offset)
    {
        auto* m = (MemSource*)self;
        m->calls++;
        if (m->fail) return -1;
        if (offset >= (int64_t)m->data.size()) return 0;
        long n = std::min<long>(*len, (long)(m->data.size() - offset));
        memcpy(buf, m->data.data() + offset, (size_t)n);
        *len = n;
        return n;
    }
};

std::string read_all(file_cache_t* c, long chunk)
{
    std::string out;
    std::vector<char> buf((size_t)chunk);
    long n;
    while ((n = file_cache_read(c, buf.data(), chunk, 0)) > 0) out.append(buf.data(), (size_t)n);
    return out;
}

} // namespace

TEST(FileCache, PackGeometryFollowsTheFileSize)
{
    TempDir dir;
    write_file(dir / "a", std::string(20000, 'a'));
    write_file(dir / "b", std::string(16384, 'b'));
    Cache c(4, 8192);
    ASSERT_NE(c.c, nullptr);
    ASSERT_EQ(file_cache_setfile(c, (dir / "a").c_str(), 0), 0);
    EXPECT_EQ(c.c->packtotal, 3);
    EXPECT_EQ(c.c->residual, 3616);
    EXPECT_EQ(file_cache_filesize(c), 20000);
    ASSERT_EQ(file_cache_setfile(c, (dir / "b").c_str(), 0), 0);
    EXPECT_EQ(c.c->packtotal, 2);
    EXPECT_EQ(c.c->residual, 8192);
    EXPECT_EQ(file_cache_setfile(c, (dir / "missing").c_str(), 0), -100);

    Cache d(2, 0); // default pack size
    EXPECT_EQ(file_cache_packsize(d), 8192);
}

TEST(FileCache, PositionsBeyondTheEnd)
{
    TempDir dir;
    std::string data = random_text(5000, 1);
    write_file(dir / "f", data);
    Cache c(4, 1024);
    ASSERT_EQ(file_cache_setfile(c, (dir / "f").c_str(), 0), 0);
    EXPECT_EQ(file_cache_at(c, 5000), -1);
    EXPECT_EQ(file_cache_at(c, -1), -1);
    EXPECT_EQ(file_cache_seek(c, 5010), 4999);
    EXPECT_EQ(file_cache_readpos(c), 4999);
    char b[4];
    EXPECT_EQ(file_cache_read(c, b, 4, 0), 1);
    EXPECT_EQ(b[0], data[4999]);
    EXPECT_TRUE(file_cache_eof(c));
    EXPECT_EQ(file_cache_read(c, b, 4, 0), -200);
}

TEST(FileCache, SequentialReadSlidesTheWindowOverTheWholeFile)
{
    TempDir dir;
    std::string data = random_text(100003, 2);
    write_file(dir / "f", data);
    for (float ratio : {0.0f, 0.1f, 0.5f, 1.0f}) {
        Cache c(4, 1000);
        ASSERT_EQ(file_cache_set_prefix_ratio(c, ratio), 0);
        ASSERT_EQ(file_cache_setfile(c, (dir / "f").c_str(), 0), 0);
        EXPECT_LT(c.c->prefix, 4) << ratio; // the read position's pack stays in the window
        EXPECT_TRUE(read_all(c, 777) == data) << ratio;
    }
}

TEST(FileCache, OffsetStartsTheCachedRangeInsideTheFile)
{
    TempDir dir;
    std::string data = random_text(10000, 3);
    write_file(dir / "f", data);
    Cache c(3, 512);
    ASSERT_EQ(file_cache_setfile(c, (dir / "f").c_str(), 2500), 0);
    EXPECT_EQ(file_cache_offset(c), 2500);
    EXPECT_EQ(file_cache_filesize(c), 7500);
    EXPECT_EQ(file_cache_at(c, 0), (uint8_t)data[2500]);
    EXPECT_TRUE(read_all(c, 4096) == data.substr(2500));
}

TEST(FileCache, RandomAccessAgreesWithTheFile)
{
    TempDir dir;
    std::string data = random_text(50000, 4);
    write_file(dir / "f", data);
    Cache c(5, 600);
    ASSERT_EQ(file_cache_setfile(c, (dir / "f").c_str(), 0), 0);
    std::mt19937 rng(5);
    for (int i = 0; i < 3000; i++) {
        int64_t pos = rng() % data.size();
        ASSERT_EQ(file_cache_at(c, pos), (uint8_t)data[pos]) << pos;
    }
    // Seeks backwards and forwards, then read on from there.
    for (int i = 0; i < 50; i++) {
        int64_t pos = rng() % data.size();
        ASSERT_EQ(file_cache_seek(c, pos), pos);
        char buf[1500];
        long n = file_cache_read(c, buf, sizeof(buf), 0);
        long want = std::min<long>(sizeof(buf), (long)(data.size() - pos));
        ASSERT_EQ(n, want);
        ASSERT_EQ(memcmp(buf, data.data() + pos, (size_t)n), 0);
    }
}

TEST(FileCache, SeekLoadsTheWindowAndReportsWhatIsThere)
{
    MemSource src;
    src.data = random_text(10000, 6);
    Cache c(4, 1000);
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, (int64_t)src.data.size(), MemSource::read), 0);
    EXPECT_EQ(file_cache_filled(c), 0);
    EXPECT_EQ(file_cache_ptr(c), nullptr);
    char b[10];
    EXPECT_EQ(file_cache_read(c, b, 10, 1), 0); // nothing loaded yet and told not to wait
    EXPECT_EQ(file_cache_buffering_size(c, 3000), 0);
    int pct = -1;
    EXPECT_EQ(file_cache_buffering_ratio(c, &pct), 0);
    EXPECT_EQ(pct, 0);

    EXPECT_EQ(file_cache_seek(c, 1500), 1500);
    EXPECT_EQ(file_cache_filled(c), 1);
    int packs = 0;
    // The window: packs 1..4 (prefix 0), read position in pack 1.
    EXPECT_EQ(file_cache_len(c, &packs), 3500);
    EXPECT_EQ(packs, 4);
    ASSERT_NE(file_cache_ptr(c), nullptr);
    EXPECT_EQ(*file_cache_ptr(c), (uint8_t)src.data[1500]);
    EXPECT_EQ(file_cache_buffering_ratio(c, &pct), 100);
    EXPECT_EQ(file_cache_load_all(c), 0); // nothing left to load
    EXPECT_EQ(file_cache_load_one(c), 0);
    EXPECT_EQ(src.calls.load(), 4);
    EXPECT_EQ(file_cache_read(c, b, 10, 1), 10);
    EXPECT_EQ(memcmp(b, src.data.data() + 1500, 10), 0);
}

TEST(FileCache, EachPackIsReadOnceDuringASequentialPass)
{
    MemSource src;
    src.data = random_text(64000, 7);
    Cache c(8, 1000);
    file_cache_set_prefix_ratio(c, 0.25f);
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, (int64_t)src.data.size(), MemSource::read), 0);
    EXPECT_TRUE(read_all(c, 300) == src.data);
    EXPECT_EQ(src.calls.load(), 64);
    EXPECT_EQ(c.c->totalread, 64000);
}

TEST(FileCache, AFailingSourceGivesNoBytes)
{
    MemSource src;
    src.data = random_text(5000, 8);
    src.fail = true;
    Cache c(4, 1000);
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, 5000, MemSource::read), 0);
    EXPECT_EQ(file_cache_at(c, 10), -200);
    char b[10];
    EXPECT_EQ(file_cache_read(c, b, 10, 0), 0);
    EXPECT_GT(c.c->failread, 0);
    src.fail = false; // the pack went back to empty: the next access loads it
    EXPECT_EQ(file_cache_at(c, 10), (uint8_t)src.data[10]);
}

TEST(FileCache, ScannersAgreeWithAPlainModel)
{
    TempDir dir;
    std::string data = random_text(30000, 9, "ab;\\\"' xyz");
    write_file(dir / "f", data);
    Cache c(4, 700);
    ASSERT_EQ(file_cache_setfile(c, (dir / "f").c_str(), 0), 0);
    std::mt19937 rng(10);
    auto in = [](const char* set, char ch) { return strchr(set, ch) != nullptr && ch != 0; };
    for (int k = 0; k < 400; k++) {
        int64_t pos = rng() % data.size();
        int64_t limit = (k % 3 == 0) ? -1 : (int64_t)(rng() % 9000);
        const char* set = (k % 2) ? "z" : ";x";
        int64_t end = limit < 0 ? (int64_t)data.size() : std::min<int64_t>(data.size(), pos + limit);
        int64_t low = limit < 0 ? 0 : std::max<int64_t>(0, pos - limit + 1);

        int64_t to = end, over = end, rto = low - 1, rover = low - 1;
        for (int64_t i = pos; i < end; i++)
            if (in(set, data[i])) { to = i; break; }
        for (int64_t i = pos; i < end; i++)
            if (!in("ab", data[i])) { over = i; break; }
        for (int64_t i = pos; i >= low; i--)
            if (in(set, data[i])) { rto = i; break; }
        for (int64_t i = pos; i >= low; i--)
            if (!in("ab", data[i])) { rover = i; break; }
        int64_t esc = end;
        for (int64_t i = pos; i < end; i++) {
            if (in(set, data[i])) { esc = i; break; }
            if (data[i] == '\\') i++;
        }
        ASSERT_EQ(file_cache_skip_to(c, pos, limit, set, -1), to);
        ASSERT_EQ(file_cache_skip_over(c, pos, limit, "ab", 2), over);
        ASSERT_EQ(file_cache_rskip_to(c, pos, limit, set, -1), rto);
        ASSERT_EQ(file_cache_rskip_over(c, pos, limit, "ab", 2), rover);
        ASSERT_EQ(file_cache_skip_esc_to(c, pos, limit, set, -1), esc);
    }
    EXPECT_EQ(file_cache_skip_to(c, 5, -1, nullptr, 0), 5);
}

TEST(FileCache, QuoteScannerPassesQuotedRunsAndEscapes)
{
    MemSource src;
    //          0123456789012345678901234
    src.data = "a\"b;c\\\"d;\"e\\;f';'g;h";
    Cache c(2, 4); // runs cross several tiny packs
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, (int64_t)src.data.size(), MemSource::read), 0);
    EXPECT_EQ(file_cache_skip_quote_to(c, 0, -1, ";", 1), 18);
    EXPECT_EQ(file_cache_skip_esc_to(c, 0, -1, ";", 1), 3);
    EXPECT_EQ(file_cache_skip_quote_to(c, 0, 10, ";", 1), 10);
    EXPECT_EQ(file_cache_skip_quote_to(c, 0, -1, "\";", 2), 1); // a quote in the set stops
}

TEST(FileCache, ReaderWaitsForAPackAnotherThreadIsLoading)
{
    struct Gate {
        std::string data = random_text(8000, 11);
        std::mutex m;
        std::condition_variable cv;
        bool entered = false, open = false;
        static long read(void* self, void* buf, long* len, int64_t offset)
        {
            auto* g = (Gate*)self;
            std::unique_lock<std::mutex> lk(g->m);
            g->entered = true;
            g->cv.notify_all();
            g->cv.wait(lk, [g] { return g->open; });
            long n = std::min<long>(*len, (long)(g->data.size() - offset));
            memcpy(buf, g->data.data() + offset, (size_t)n);
            return n;
        }
    } gate;
    Cache c(4, 1000);
    ASSERT_EQ(file_cache_setcdn(c, &gate, 0, 8000, Gate::read), 0);
    std::thread loader([&] { EXPECT_EQ(file_cache_load_one(c), 1); });
    {
        std::unique_lock<std::mutex> lk(gate.m);
        gate.cv.wait(lk, [&] { return gate.entered; });
    }
    std::atomic<int> got{-999};
    std::thread reader([&] { got = file_cache_at(c, 5); });
    {
        std::lock_guard<std::mutex> lk(gate.m);
        gate.open = true;
        gate.cv.notify_all();
    }
    loader.join();
    reader.join();
    EXPECT_EQ(got.load(), (uint8_t)gate.data[5]);
}

TEST(FileCache, LoaderThreadAndReaderShareTheCache)
{
    MemSource src;
    src.data = random_text(200000, 12);
    Cache c(6, 2000);
    file_cache_set_prefix_ratio(c, 0.34f);
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, (int64_t)src.data.size(), MemSource::read), 0);
    std::atomic<bool> done{false};
    std::thread loader([&] {
        while (!done) {
            if (file_cache_load_all(c) == 0) std::this_thread::yield();
        }
    });
    std::string out = read_all(c, 1234);
    done = true;
    loader.join();
    EXPECT_TRUE(out == src.data);
}

TEST(FileCache, CallerBufferAndItsChecks)
{
    static uint8_t buf[4096];
    Cache c(0, 512);
    ASSERT_NE(c.c, nullptr);
    EXPECT_EQ(file_cache_setbuf(c, buf, 256, 512), -4);
    ASSERT_EQ(file_cache_setbuf(c, buf, 4096, 0), 0);
    EXPECT_EQ(file_cache_packnum(c), 8);
    MemSource src;
    src.data = random_text(30000, 13);
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, (int64_t)src.data.size(), MemSource::read), 0);
    EXPECT_TRUE(read_all(c, 1000) == src.data);
}

TEST(FileCache, RecvGivesUpAfterItsWait)
{
    MemSource src;
    src.data = random_text(3000, 14);
    Cache c(2, 1000);
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, 3000, MemSource::read), 0);
    char b[2000];
    EXPECT_EQ(file_cache_recv(c, b, 2000, 50), 2000);
    EXPECT_EQ(memcmp(b, src.data.data(), 2000), 0);
    EXPECT_EQ(file_cache_recv(c, b, 2000, 50), 1000);
    EXPECT_EQ(file_cache_recv(c, b, 2000, 50), -200);
}

TEST(FilePack, UnitsBindAtMostFiveTimesAndOnlyOnce)
{
    Cache c(1, 64);
    file_pack_t* p = (file_pack_t*)arr_value(c.c->pack_list, 0);
    ASSERT_NE(p, nullptr);
    int units[6];
    for (int i = 0; i < 5; i++) EXPECT_EQ(file_pack_bind_unit(p, &units[i]), 0);
    EXPECT_EQ(file_pack_bind_unit(p, &units[5]), -200);
    EXPECT_EQ(file_pack_bind_unit(p, &units[2]), -100);
    EXPECT_EQ(file_pack_unbind_unit(p, &units[2]), 0);
    EXPECT_EQ(file_pack_unbind_unit(p, &units[2]), -100);
    EXPECT_EQ(file_pack_bind_unit(p, &units[5]), 0);
    EXPECT_EQ(p->unitnum, 5);
    EXPECT_EQ(file_pack_unbind_all(p), 0);
    EXPECT_EQ(p->unitnum, 0);
}

TEST(FilePack, StateChangesAndReload)
{
    MemSource src;
    src.data = random_text(100, 15);
    Cache c(1, 64);
    ASSERT_EQ(file_cache_setcdn(c, &src, 0, 100, MemSource::read), 0);
    file_pack_t* p = (file_pack_t*)arr_value(c.c->pack_list, 0);
    EXPECT_EQ(file_pack_size(p), 64);
    EXPECT_EQ(file_pack_reload(p), 0);
    EXPECT_EQ(file_pack_len(p), 64);
    EXPECT_EQ(memcmp(file_pack_buf(p), src.data.data(), 64), 0);
    EXPECT_EQ(file_pack_exit_load(p), 0);
    EXPECT_EQ(file_pack_len(p), 0);
    EXPECT_EQ(file_pack_ready_notify(p), 0);

    // A pack filled by the caller and marked loaded is served as is.
    memset(file_pack_buf(p), 'Z', 64);
    EXPECT_EQ(file_pack_state_to(p, 3), 0);
    EXPECT_EQ(file_cache_at(c, 3), 'Z');
    int before = src.calls;
    EXPECT_EQ(file_cache_at(c, 70), (uint8_t)src.data[70]); // the last pack: 36 bytes
    EXPECT_EQ(src.calls, before + 1);
    EXPECT_EQ(file_pack_size(p), 36);
}
