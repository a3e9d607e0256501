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
    explicit MemSource(std::string d) : data(std::move(d)) {}
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

// A cache over a temporary file holding `data`, from `offset` on.
struct OverFile {
    TempDir dir;
    std::string data;
    Cache c;
    OverFile(std::string d, int packnum, int packsize, int64_t offset = 0, float ratio = 0.1f)
        : data(std::move(d)), c(packnum, packsize)
    {
        write_file(dir / "f", data);
        file_cache_set_prefix_ratio(c, ratio);
        EXPECT_EQ(file_cache_setfile(c, (dir / "f").c_str(), offset), 0);
    }
};

// A cache over a MemSource.
struct OverSource {
    MemSource src;
    Cache c;
    OverSource(std::string d, int packnum, int packsize, float ratio = 0.1f)
        : src(std::move(d)), c(packnum, packsize)
    {
        file_cache_set_prefix_ratio(c, ratio);
        EXPECT_EQ(file_cache_setcdn(c, &src, 0, (int64_t)src.data.size(), MemSource::read), 0);
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

TEST(FileCache, PackGeometryAndPositionsBeyondTheEnd)
{
    OverFile a(std::string(20000, 'a'), 4, 8192);
    EXPECT_EQ(a.c.c->packtotal, 3);
    EXPECT_EQ(a.c.c->residual, 3616);
    OverFile b(std::string(16384, 'b'), 4, 8192);
    EXPECT_EQ(b.c.c->packtotal, 2);
    EXPECT_EQ(b.c.c->residual, 8192);
    EXPECT_EQ(file_cache_setfile(b.c, (b.dir / "missing").c_str(), 0), -100);

    OverFile f(random_text(5000, 1), 4, 1024);
    EXPECT_EQ(file_cache_at(f.c, 5000), -1);
    EXPECT_EQ(file_cache_seek(f.c, 5010), 4999);
    char buf[4];
    EXPECT_EQ(file_cache_read(f.c, buf, 4, 0), 1);
    EXPECT_EQ(buf[0], f.data[4999]);
    EXPECT_TRUE(file_cache_eof(f.c));
    EXPECT_EQ(file_cache_read(f.c, buf, 4, 0), -200);
}

TEST(FileCache, SequentialReadSlidesTheWindowOverTheWholeFile)
{
    std::string data = random_text(100003, 2);
    for (float ratio : {0.0f, 0.1f, 0.5f, 1.0f}) {
        OverFile f(data, 4, 1000, 0, ratio);
        EXPECT_LT(f.c.c->prefix, 4) << ratio; // the read position's pack stays in the window
        EXPECT_TRUE(read_all(f.c, 777) == data) << ratio;
    }
    OverFile f(data, 3, 512, 2500); // the cached range starts inside the file
    EXPECT_EQ(file_cache_filesize(f.c), 100003 - 2500);
    EXPECT_TRUE(read_all(f.c, 4096) == data.substr(2500));
}

TEST(FileCache, RandomAccessAgreesWithTheFile)
{
    OverFile f(random_text(50000, 4), 5, 600);
    const std::string& data = f.data;
    std::mt19937 rng(5);
    for (int i = 0; i < 3000; i++) {
        int64_t pos = rng() % data.size();
        ASSERT_EQ(file_cache_at(f.c, pos), (uint8_t)data[pos]) << pos;
    }
    // Seeks backwards and forwards, then read on from there.
    for (int i = 0; i < 50; i++) {
        int64_t pos = rng() % data.size();
        ASSERT_EQ(file_cache_seek(f.c, pos), pos);
        char buf[1500];
        long n = file_cache_read(f.c, buf, sizeof(buf), 0);
        ASSERT_EQ(n, std::min<long>(sizeof(buf), (long)(data.size() - pos)));
        ASSERT_EQ(memcmp(buf, data.data() + pos, (size_t)n), 0);
    }
}

TEST(FileCache, SeekLoadsTheWindowAndReportsWhatIsThere)
{
    OverSource o(random_text(10000, 6), 4, 1000, 0.0f);
    file_cache_t* c = o.c;
    char b[10];
    EXPECT_EQ(file_cache_read(c, b, 10, 1), 0); // nothing loaded yet and told not to wait
    EXPECT_EQ(file_cache_buffering_size(c, 3000), 0);
    EXPECT_EQ(file_cache_buffering_ratio(c, nullptr), 0);

    EXPECT_EQ(file_cache_seek(c, 1500), 1500);
    EXPECT_EQ(file_cache_filled(c), 1);
    int packs = 0;
    // The window: packs 1..4 (prefix 0), read position in pack 1.
    EXPECT_EQ(file_cache_len(c, &packs), 3500);
    EXPECT_EQ(packs, 4);
    ASSERT_NE(file_cache_ptr(c), nullptr);
    EXPECT_EQ(*file_cache_ptr(c), (uint8_t)o.src.data[1500]);
    EXPECT_EQ(file_cache_buffering_ratio(c, nullptr), 100);
    EXPECT_EQ(file_cache_load_all(c), 0); // nothing left to load
    EXPECT_EQ(o.src.calls.load(), 4);
}

TEST(FileCache, EachPackIsReadOnceDuringASequentialPass)
{
    OverSource o(random_text(64000, 7), 8, 1000, 0.25f);
    EXPECT_TRUE(read_all(o.c, 300) == o.src.data);
    EXPECT_EQ(o.src.calls.load(), 64);
}

TEST(FileCache, AFailingSourceGivesNoBytes)
{
    OverSource o(random_text(5000, 8), 4, 1000);
    o.src.fail = true;
    EXPECT_EQ(file_cache_at(o.c, 10), -200);
    char b[10];
    EXPECT_EQ(file_cache_read(o.c, b, 10, 0), 0);
    o.src.fail = false; // the pack went back to empty: the next access loads it
    EXPECT_EQ(file_cache_at(o.c, 10), (uint8_t)o.src.data[10]);
}

TEST(FileCache, ScannersAgreeWithAPlainModel)
{
    OverFile f(random_text(30000, 9, "ab;\\\"' xyz"), 4, 700);
    const std::string& data = f.data;
    std::mt19937 rng(10);
    auto in = [](const char* set, char ch) { return strchr(set, ch) != nullptr && ch != 0; };
    for (int k = 0; k < 400; k++) {
        int64_t pos = rng() % data.size();
        int64_t limit = (k % 3 == 0) ? -1 : (int64_t)(rng() % (k % 3 == 1 ? 16 : 9000));
        const char* set = (k % 2) ? "z" : ";x";
        int64_t end = limit < 0 ? (int64_t)data.size() : std::min<int64_t>(data.size(), pos + limit);
        int64_t low = limit < 0 ? 0 : std::max<int64_t>(0, pos - limit + 1);
        int64_t to = pos, over = pos, rto = pos, rover = pos, esc = pos;
        while (to < end && !in(set, data[to])) to++;
        while (over < end && in("ab", data[over])) over++;
        while (rto >= low && !in(set, data[rto])) rto--;
        while (rover >= low && in("ab", data[rover])) rover--;
        while (esc < end && !in(set, data[esc])) esc += data[esc] == '\\' ? 2 : 1;
        ASSERT_EQ(file_cache_skip_to(f.c, pos, limit, set, -1), to);
        ASSERT_EQ(file_cache_skip_over(f.c, pos, limit, "ab", 2), over);
        ASSERT_EQ(file_cache_rskip_to(f.c, pos, limit, set, -1), rto);
        ASSERT_EQ(file_cache_rskip_over(f.c, pos, limit, "ab", 2), rover);
        ASSERT_EQ(file_cache_skip_esc_to(f.c, pos, limit, set, -1), std::min(esc, end));
    }
}

TEST(FileCache, QuoteScannerPassesQuotedRunsAndEscapes)
{
    //            0123456789012345678901234
    OverSource o("a\"b;c\\\"d;\"e\\;f';'g;h", 2, 4); // runs cross several tiny packs
    EXPECT_EQ(file_cache_skip_quote_to(o.c, 0, -1, ";", 1), 18);
    EXPECT_EQ(file_cache_skip_quote_to(o.c, 0, 10, ";", 1), 10);
    EXPECT_EQ(file_cache_skip_quote_to(o.c, 0, -1, "\";", 2), 1); // a quote in the set stops
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
    OverSource o(random_text(200000, 12), 6, 2000, 0.34f);
    std::atomic<bool> done{false};
    std::thread loader([&] {
        while (!done) {
            if (file_cache_load_all(o.c) == 0) std::this_thread::yield();
        }
    });
    std::string out = read_all(o.c, 1234);
    done = true;
    loader.join();
    EXPECT_TRUE(out == o.src.data);
}

TEST(FileCache, CallerBufferAndTimedReceive)
{
    static uint8_t buf[4096];
    Cache c(0, 512);
    ASSERT_NE(c.c, nullptr);
    EXPECT_EQ(file_cache_setbuf(c, buf, 256, 512), -4);
    ASSERT_EQ(file_cache_setbuf(c, buf, 4096, 1000), 0);
    EXPECT_EQ(file_cache_packnum(c), 4);
    MemSource src(random_text(3000, 14));
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
    int units[6];
    for (int i = 0; i < 5; i++) EXPECT_EQ(file_pack_bind_unit(p, &units[i]), 0);
    EXPECT_EQ(file_pack_bind_unit(p, &units[5]), -200);
    EXPECT_EQ(file_pack_bind_unit(p, &units[2]), -100);
    EXPECT_EQ(file_pack_unbind_unit(p, &units[2]), 0);
    EXPECT_EQ(file_pack_bind_unit(p, &units[5]), 0);
}

TEST(FilePack, ACallerFilledPackIsServedAsIs)
{
    OverSource o(random_text(100, 15), 1, 64);
    file_pack_t* p = (file_pack_t*)arr_value(o.c.c->pack_list, 0);
    memset(file_pack_buf(p), 'Z', 64);
    EXPECT_EQ(file_pack_state_to(p, 3), 0);
    EXPECT_EQ(file_cache_at(o.c, 3), 'Z');
    EXPECT_EQ(o.src.calls, 0);
    EXPECT_EQ(file_cache_at(o.c, 70), (uint8_t)o.src.data[70]); // the last pack: 36 bytes
    EXPECT_EQ(file_pack_size(p), 36);
    EXPECT_EQ(file_pack_reload(p), 0);
    EXPECT_EQ(o.src.calls, 2);
}
