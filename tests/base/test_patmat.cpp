// Pattern search: every method against a naive search on random text (exact
// and case-blind, binary bytes, matches at the ends, overlapping matches),
// segmented text, Boyer-Moore over files, and vectors built for another pattern.
#include "memory.h"
#include "patmat.h"

#include "base/tmpdir.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t fold(uint8_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

std::vector<long> naive_all(const Bytes& t, const Bytes& p, bool nocase)
{
    auto eq = [nocase](uint8_t a, uint8_t b) { return nocase ? fold(a) == fold(b) : a == b; };
    std::vector<long> all;
    for (size_t j = 0; j + p.size() <= t.size(); j++)
        if (std::equal(p.begin(), p.end(), t.begin() + (long)j, eq)) all.push_back((long)j);
    return all;
}

long off(const void* hit, const Bytes& t) { return hit ? (long)((const uint8_t*)hit - t.data()) : -1; }

// Alphabets: a small one makes many (overlapping) matches, the full byte range
// exercises binary data, the mixed-case one the string variants.
Bytes random_text(std::mt19937& rng, size_t n, int alphabet)
{
    static const char* const sets[] = {"ab", nullptr, "abAB"};
    Bytes t(n);
    for (auto& c : t) c = alphabet == 1 ? uint8_t(rng()) : uint8_t(sets[alphabet][rng() % strlen(sets[alphabet])]);
    return t;
}

Bytes pick_pattern(std::mt19937& rng, const Bytes& t, int alphabet)
{
    size_t len = 1 + rng() % 90; // beyond 64 bits the shift-and state spans words
    if (len > t.size()) len = t.size();
    int where = rng() % 4;
    if (where == 3) return random_text(rng, len, alphabet);
    size_t at = where == 0 ? 0 : where == 1 ? t.size() - len : rng() % (t.size() - len + 1);
    return Bytes(t.begin() + at, t.begin() + at + len);
}

struct Seg {
    std::vector<uint8_t*> ptrs;
    std::vector<int> lens;
    std::vector<long> starts; // total position of each segment's first byte
};

// Splits t into segments, with empty and null segments mixed in.
Seg split(std::mt19937& rng, Bytes& t)
{
    Seg s;
    auto add = [&s](uint8_t* p, size_t len, long start) {
        s.ptrs.push_back(p);
        s.lens.push_back((int)len);
        s.starts.push_back(start);
    };
    for (size_t pos = 0; pos < t.size();) {
        int kind = rng() % 5;
        if (kind == 0) {
            add(nullptr, 7, -1);
        } else if (kind == 1) {
            add(t.data() + pos, 0, -1);
        } else {
            size_t len = std::min<size_t>(1 + rng() % 40, t.size() - pos);
            add(t.data() + pos, len, (long)pos);
            pos += len;
        }
    }
    return s;
}

} // namespace

TEST(Patmat, AllMethodsAgreeWithNaiveSearch)
{
    std::mt19937 rng(2024);
    for (int round = 0; round < 1500; round++) {
        int alphabet = round % 3;
        bool nocase = alphabet == 2;
        Bytes t = random_text(rng, 1 + rng() % 300, alphabet);
        Bytes p = pick_pattern(rng, t, alphabet);
        const int n = (int)t.size(), m = (int)p.size();
        auto all = naive_all(t, p, nocase);
        long first = all.empty() ? -1 : all.front();
        long last = all.empty() ? -1 : all.back();
        SCOPED_TRACE("round " + std::to_string(round) + " n " + std::to_string(n) + " m " + std::to_string(m));

        const char* tc = (const char*)t.data();
        const char* pc = (const char*)p.data();
        pat_bitvec_t* bv = pat_bitvec_alloc(p.data(), m, nocase ? 2 : 0);
        pat_kmpvec_t* kv = pat_kmpvec_alloc(p.data(), m, nocase ? 2 : 0, 0);
        pat_kmpvec_t* rkv = pat_kmpvec_alloc(p.data(), m, nocase ? 2 : 0, 1);
        pat_bmvec_t* bmv = pat_bmvec_alloc(p.data(), m, nocase ? 2 : 0);
        pat_sunvec_t* sv = pat_sunvec_alloc(p.data(), m, nocase ? 2 : 0);
        ASSERT_TRUE(bv && kv && rkv && bmv && sv);

        // Each search without a vector and with the prebuilt one.
        auto both = [&](auto find, auto* vec, long want) {
            ASSERT_EQ(off(find(nullptr), t), want);
            ASSERT_EQ(off(find(vec), t), want);
        };
        if (!nocase) {
            both([&](pat_bitvec_t* v) { return shift_and_find(t.data(), n, p.data(), m, v); }, bv, first);
            both([&](pat_kmpvec_t* v) { return kmp_find_bytes(t.data(), n, p.data(), m, v); }, kv, first);
            both([&](pat_kmpvec_t* v) { return kmp_rfind_bytes(t.data(), n, p.data(), m, v); }, rkv, last);
            both([&](pat_bmvec_t* v) { return bm_find_bytes(t.data(), n, p.data(), m, v); }, bmv, first);
            both([&](pat_sunvec_t* v) { return sun_find_bytes(t.data(), n, p.data(), m, v); }, sv, first);
        } else {
            both([&](pat_bitvec_t* v) { return shift_and_find_string(tc, n, pc, m, v); }, bv, first);
            both([&](pat_kmpvec_t* v) { return kmp_find_string(tc, n, pc, m, v); }, kv, first);
            both([&](pat_kmpvec_t* v) { return kmp_rfind_string(tc, n, pc, m, v); }, rkv, last);
            both([&](pat_bmvec_t* v) { return bm_find_string(tc, n, pc, m, v); }, bmv, first);
            both([&](pat_sunvec_t* v) { return sun_find_string(tc, n, pc, m, v); }, sv, first);
        }
        if (HasFatalFailure()) return;

        // The same text cut into segments.
        Seg s = split(rng, t);
        int seg = -2;
        uint8_t* hit = nocase
            ? sun_find_mstring(s.ptrs.data(), s.lens.data(), (int)s.ptrs.size(), pc, m, sv, &seg)
            : sun_find_mbytes(s.ptrs.data(), s.lens.data(), (int)s.ptrs.size(), p.data(), m,
                              round % 2 ? sv : nullptr, &seg);
        ASSERT_EQ(off(hit, t), first);
        // The match lies inside the segment reported.
        ASSERT_TRUE(!hit || (seg >= 0 && first >= s.starts[seg] && first < s.starts[seg] + s.lens[seg])) << seg;

        pat_bitvec_free(bv);
        pat_kmpvec_free(kv);
        pat_kmpvec_free(rkv);
        pat_bmvec_free(bmv);
        pat_sunvec_free(sv);
    }
}

namespace {

long at(const void* hit, const char* text) { return hit ? (long)((const char*)hit - text) : -1; }

// A temporary file removed at scope end.
struct TempFile {
    testfs::TempDir dir{"patmat"};
    std::string path = dir / "f";
    explicit TempFile(const Bytes& content) { testfs::write_file(path, std::string(content.begin(), content.end())); }
};

struct FifoDeleter {
    void operator()(arfifo_t* f) const { ar_fifo_free(f); }
};
using FifoPtr = std::unique_ptr<arfifo_t, FifoDeleter>;

std::vector<long> drain(arfifo_t* f)
{
    std::vector<long> out;
    while (ar_fifo_num(f) > 0) out.push_back((long)(intptr_t)ar_fifo_out(f));
    return out;
}

} // namespace

TEST(Patmat, KnownAnswersAndShortArguments)
{
    const char* hw = "Hello World";
    EXPECT_EQ(at(sun_find_string(hw, -1, "WORLD", -1, nullptr), hw), 6);
    EXPECT_EQ(sun_find_bytes(hw, -1, "WORLD", -1, nullptr), nullptr);
    // Sunday's last alignment must not look at the byte after the text.
    // (The heap block ends with the text, so AddressSanitizer sees any overrun.)
    EXPECT_EQ(sun_find_bytes(Bytes(4, 'a').data(), 4, "ac", 2, nullptr), nullptr);
    EXPECT_EQ(bm_find_bytes(hw, 3, "", 0, nullptr), nullptr);
    EXPECT_EQ(kmp_rfind_bytes(hw, 2, "Hel", 3, nullptr), nullptr);
    EXPECT_EQ(pat_kmpvec_alloc("", -1, 0, 0), nullptr);
}

TEST(Patmat, VectorForAnotherPatternIsNotMisused)
{
    // Built for a longer pattern: using its tables with "ab" would read past them.
    pat_bmvec_t* bm = pat_bmvec_alloc("abcdefgh", -1, 0);
    pat_kmpvec_t* kmp = pat_kmpvec_alloc("aAb", -1, 0, 0); // exact, not case-blind
    pat_kmpvec_t* fwd = pat_kmpvec_alloc("ab", -1, 0, 0);  // forward, not reverse
    pat_sunvec_t* sun = pat_sunvec_alloc("zz", -1, 0);
    const char* t = "xxaaAbab";
    EXPECT_EQ(at(bm_find_bytes(t, -1, "ab", -1, bm), t), 6);
    EXPECT_EQ(at(kmp_find_string(t, -1, "aAb", -1, kmp), t), 3);
    EXPECT_EQ(at(kmp_rfind_bytes(t, -1, "ab", -1, fwd), t), 6);
    EXPECT_EQ(at(sun_find_bytes(t, -1, "Ab", -1, sun), t), 4);
    pat_bmvec_free(bm);
    pat_kmpvec_free(kmp);
    pat_kmpvec_free(fwd);
    pat_sunvec_free(sun);
}

TEST(Patmat, SevenBitShiftAndVectors)
{
    // Types 1 and 2 cover bytes below 127 only.
    EXPECT_EQ(pat_bitvec_alloc("a\xC3", -1, 2), nullptr);
    EXPECT_EQ(pat_bitvec_alloc("a\x7F", -1, 1), nullptr);
    pat_bitvec_t* v1 = pat_bitvec_alloc("ab", -1, 1);
    ASSERT_NE(v1, nullptr);
    const char* t = "a\xFF" "ab\x80";
    EXPECT_EQ(at(shift_and_find(t, -1, "ab", -1, v1), t), 2); // high text bytes match nothing
    pat_bitvec_free(v1);
}

TEST(Patmat, SegmentedTextAddressing)
{
    uint8_t a[] = {'h', 'e'}, b[] = {'l', 'l', 'o'}, c[] = {'!'};
    uint8_t* segs[] = {a, nullptr, b, c, c};
    int lens[] = {2, 5, 3, 0, 1};
    mstr_t m;
    ASSERT_EQ(mstr_init(&m, segs, lens, 5), &m);
    EXPECT_EQ(mstr_len(&m), 6);
    int seg = -1;
    EXPECT_EQ(mstr_p(&m, 5, &seg), c);
    EXPECT_EQ(seg, 4); // neither the null nor the empty segment counts
    EXPECT_EQ(mstr_char(&m, 6, nullptr), -2);

    // A match spanning three segments points into the first of them.
    EXPECT_EQ(sun_find_mstring(segs, lens, 5, "ELLO!", -1, nullptr, &seg), a + 1);
    EXPECT_EQ(seg, 0);
}

TEST(Patmat, FileSearchCollectsEveryMatchIntoTheFifo)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 30; round++) {
        bool nocase = round % 2;
        Bytes t = random_text(rng, 200 + rng() % 3000, nocase ? 2 : 0);
        Bytes p = pick_pattern(rng, t, nocase ? 2 : 0);
        if (p.size() > 12) p.resize(1 + rng() % 12); // short patterns: many overlapping hits
        TempFile f(t);
        long from = rng() % (t.size() - p.size() + 1);
        std::vector<long> want;
        for (long o : naive_all(t, p, nocase))
            if (o >= from) want.push_back(o);

        FifoPtr fifo(ar_fifo_new(0));
        int64_t r = bm_find_file(f.path.c_str(), from, p.data(), (int)p.size(), nocase, nullptr, fifo.get());
        EXPECT_EQ(r, want.empty() ? -1 : want.front());
        EXPECT_EQ(drain(fifo.get()), want);

        // Without a FIFO the search stops at the first match; a prebuilt vector gives the same.
        pat_bmvec_t* v = pat_bmvec_alloc(p.data(), (int)p.size(), nocase ? 2 : 0);
        EXPECT_EQ(bm_find_file(f.path.c_str(), from, p.data(), (int)p.size(), nocase, v, nullptr), r);
        fbuf_t* fb = fbuf_init(f.path.c_str(), 8);
        ASSERT_NE(fb, nullptr);
        EXPECT_EQ(bm_find_filebuf(fb, from, p.data(), (int)p.size(), nocase, v, nullptr), r);
        fbuf_free(fb);
        pat_bmvec_free(v);
    }
}

TEST(Patmat, FileSearchAcrossMappedWindows)
{
    // 3 MiB of zeros with the pattern straddling the 2 MiB mark and at the very end.
    Bytes t(3 << 20, 0);
    const char pat[] = "needle";
    memcpy(t.data() + (2 << 20) - 3, pat, 6);
    memcpy(t.data() + t.size() - 6, pat, 6);
    TempFile f(t);
    FifoPtr fifo(ar_fifo_new(0));
    EXPECT_EQ(bm_find_file(f.path.c_str(), 0, pat, -1, 0, nullptr, fifo.get()), (2 << 20) - 3);
    EXPECT_EQ(drain(fifo.get()), (std::vector<long>{(2 << 20) - 3, (long)t.size() - 6}));
    EXPECT_EQ(bm_find_file(f.path.c_str(), (2 << 20) - 2, "NEEDLE", -1, 1, nullptr, nullptr), (long)t.size() - 6);
}

TEST(Patmat, FileSearchErrors)
{
    TempFile f(Bytes{'a', 'b', 'c', 'd'});
    const char* path = f.path.c_str();
    EXPECT_EQ(bm_find_file("/nonexistent/patmat", 0, "a", 1, 0, nullptr, nullptr), -2);
    // Range errors: offset at or past the end, or a pattern longer than the file.
    EXPECT_EQ(bm_find_file(path, 4, "a", 1, 0, nullptr, nullptr), -3);
    EXPECT_EQ(bm_find_file(path, -1, "a", 1, 0, nullptr, nullptr), -3);
    EXPECT_EQ(bm_find_file(path, 0, "abcde", 5, 0, nullptr, nullptr), -3);
    // Fewer bytes left than the pattern needs: no match, not an error.
    EXPECT_EQ(bm_find_file(path, 2, "bcd", 3, 0, nullptr, nullptr), -1);
    EXPECT_EQ(bm_find_file(path, 3, "cd", 2, 0, nullptr, nullptr), -1);
    EXPECT_EQ(bm_find_file(path, 0, "d", 1, 0, nullptr, nullptr), 3); // last byte of the file
    EXPECT_EQ(bm_find_file(path, 2, "cd", 2, 0, nullptr, nullptr), 2); // exactly enough room
    fbuf_t* fb = fbuf_init(path, 8);
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(bm_find_filebuf(fb, 4, "a", 1, 0, nullptr, nullptr), -2);
    EXPECT_EQ(bm_find_filebuf(fb, 0, "abcde", 5, 0, nullptr, nullptr), -2);
    EXPECT_EQ(bm_find_filebuf(fb, 2, "bcd", 3, 0, nullptr, nullptr), -1);
    kmem_fail_after(0);
    int64_t r = bm_find_filebuf(fb, 0, "ab", 2, 0, nullptr, nullptr);
    kmem_fail_after(-1);
    EXPECT_EQ(r, -3); // no vector
    fbuf_free(fb);
}

TEST(Patmat, FileSearchReportsAFifoThatCannotGrow)
{
    TempFile f(Bytes(100, 'a'));
    fbuf_t* fb = fbuf_init(f.path.c_str(), 8);
    ASSERT_NE(fb, nullptr);
    FifoPtr fifo(ar_fifo_new(8));
    pat_bmvec_t* v = pat_bmvec_alloc("a", 1, 0);
    kmem_fail_after(0); // the ninth match needs the FIFO to grow
    int64_t r = bm_find_filebuf(fb, 0, "a", 1, 0, v, fifo.get());
    kmem_fail_after(-1);
    EXPECT_EQ(r, -100); // a cut-short list is never reported as complete
    EXPECT_EQ(ar_fifo_num(fifo.get()), 8);
    pat_bmvec_free(v);
    fbuf_free(fb);
}
