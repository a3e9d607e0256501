// Growable byte frame: growth and move rules, edits at both ends and inside,
// search/replace, bits, and what happens when memory runs out.
#include "frame.h"

#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <tuple>

namespace {

struct FrameDeleter {
    void operator()(frame_t* f) const { frame_free(f); }
};
using FramePtr = std::unique_ptr<frame_t, FrameDeleter>;

FramePtr make(int size = 0) { return FramePtr(frame_new(size)); }

std::string text_of(const frame_t* f)
{
    if (!f || f->len == 0) return {};
    return std::string(reinterpret_cast<const char*>(f->data + f->start), size_t(f->len));
}

void expect_sound(const frame_t* f)
{
    ASSERT_TRUE(f->start >= 0 && f->len >= 0 && f->start + f->len <= f->size);
    ASSERT_TRUE(f->len > 0 || f->start == 0) << "emptied frames are reset";
}

/* Restores allocation on scope exit even when an assertion fails. */
struct FailAfter {
    explicit FailAfter(long n) { kmem_fail_after(n); }
    ~FailAfter() { kmem_fail_after(-1); }
};

} // namespace

TEST(FrameGrowth, FirstAllocationsAndStepsOf128)
{
    auto f = make();
    EXPECT_EQ(f->data, nullptr);
    frame_put_last(f.get(), 'a');
    EXPECT_EQ(f->size, 128);
    EXPECT_EQ(f->start, 64);
    for (int i = 1; i < 64; i++) frame_put_last(f.get(), uint8_t('a' + i % 26));
    EXPECT_EQ(f->size, 128);
    frame_put_last(f.get(), '!'); // the 65th finds no tail room
    EXPECT_EQ(f->size, 256);
    EXPECT_EQ(f->start, 64);

    std::string b(200, 'x');
    auto g = make();
    frame_put_nlast(g.get(), b.data(), 200);
    EXPECT_EQ(g->size, 256);
    EXPECT_EQ(g->start, 0);
    auto h = make();
    frame_put_nfirst(h.get(), b.data(), 128);
    EXPECT_EQ(h->size, 256);
    EXPECT_EQ(h->start, 0); // the new bytes end exactly at the first start (128)

    auto t = make(100);
    frame_grow_to(t.get(), 256); // the next multiple of 128 strictly above
    EXPECT_EQ(t->size, 384);

    auto k = make(128);
    frame_put_nlast(k.get(), "abc", 3);
    frame_put_first(k.get(), 'Z'); // no head room: the block grows and moves up
    EXPECT_EQ(k->size, 384);
    EXPECT_EQ(k->start, 255);
    EXPECT_EQ(text_of(k.get()), "Zabc");
}

TEST(FrameGrowth, LargeFreeRoomIsReusedBeforeGrowing)
{
    auto f = make();
    std::string b(300, 'q');
    frame_put_nlast(f.get(), b.data(), 300); // size 384
    frame_del_first(f.get(), 200);           // start 200, len 100, tail 84
    uint8_t* block = f->data;
    frame_put_nlast(f.get(), std::string(100, 'r').data(), 100); // 16 missing: moved, not grown
    EXPECT_EQ(f->data, block);
    EXPECT_EQ(f->start, 184);
    EXPECT_EQ(text_of(f.get()), std::string(100, 'q') + std::string(100, 'r'));

    // Head room of 127 or less is not reused.
    auto g = make();
    frame_put_nlast(g.get(), b.data(), 128 + 100); // size 256
    frame_del_first(g.get(), 127);
    frame_put_nlast(g.get(), b.data(), 100);
    EXPECT_EQ(g->size, 384);
    EXPECT_EQ(g->start, 127);

    auto h = make(512);
    frame_put_nlast(h.get(), "hello", 5); // start 0, tail 507
    block = h->data;
    frame_put_nfirst(h.get(), "0123456789", 10);
    EXPECT_EQ(h->data, block);
    EXPECT_EQ(text_of(h.get()), "0123456789hello");
}

TEST(FrameEdit, EdgesOfTakingTruncatingAndFormatting)
{
    auto f = make();
    frame_t other{};
    frame_put_last(f.get(), 'x');
    f->next = &other;
    EXPECT_EQ(frame_get_first(f.get()), 'x'); // the last byte: the frame is reset
    EXPECT_EQ(f->next, nullptr);
    EXPECT_NE(f->data, nullptr); // the block stays

    frame_append(f.get(), "0123456789");
    frame_trunc(f.get(), 0);
    EXPECT_EQ(f->len, 10);
    frame_setn(f.get(), 8, "XYZ", 3); // never extends the content
    EXPECT_STREQ(frame_string(f.get()), "01234567XY");
    char buf[16] = {};
    EXPECT_EQ(frame_getn(f.get(), 0, buf, 16), 10); // more than the content: all of it, then reset
    EXPECT_EQ(f->len, 0);
    EXPECT_EQ(f->start, 0);

    frame_append(f.get(), "abcdefgh");
    frame_del_first(f.get(), 2);
    EXPECT_EQ(frame_realloc(f.get(), 4), f.get()); // shrinking keeps the prefix
    EXPECT_EQ(f->size, 4);
    EXPECT_EQ(text_of(f.get()), "cdef");

    auto g = make();
    frame_appendf(g.get(), "%d-%s", 42, "x");
    std::string longer(300, 'L');
    frame_appendf(g.get(), "|%s|", longer.c_str());
    frame_prependf(g.get(), "%05d:", 7);
    EXPECT_EQ(text_of(g.get()), "00007:42-x|" + longer + "|");
    std::string huge(5000, 'H'); // past the local format buffer
    frame_insertf(g.get(), 6, "<%s>", huge.c_str());
    EXPECT_EQ(text_of(g.get()), "00007:<" + huge + ">42-x|" + longer + "|");
}

TEST(FrameEdit, BytesFromTheFrameItselfSurviveGrowth)
{
    auto f = make();
    frame_put_nlast(f.get(), std::string(128, 'a').data(), 128); // full block
    frame_put_nlast(f.get(), f->data + f->start, f->len);        // grows while reading itself
    EXPECT_EQ(text_of(f.get()), std::string(256, 'a'));
    frame_putn(f.get(), 10, f->data + f->start, 200);
    EXPECT_EQ(f->len, 456);
    frame_put_nfirst(f.get(), f->data + f->start + 1, 300);
    EXPECT_EQ(f->len, 756);
    EXPECT_EQ(frame_replace(f.get(), 0, 1, f->data + f->start, 500), 0);
    EXPECT_EQ(text_of(f.get()), std::string(1255, 'a'));
}

TEST(FrameEdit, RandomEditsMatchAStringModel)
{
    std::mt19937 rng(1234);
    auto f = make();
    std::string model;
    auto rnd = [&](int n) { return n > 0 ? int(rng() % unsigned(n)) : 0; };
    for (int step = 0; step < 20000; step++) {
        std::string bytes(size_t(1 + rnd(300)), '\0');
        for (auto& c : bytes) c = char('a' + rnd(3));
        int n = int(bytes.size());
        int len = int(model.size());
        int pos = rnd(len + 1);
        switch (rnd(13)) {
        case 0: frame_put_first(f.get(), uint8_t(bytes[0])); model.insert(0, 1, bytes[0]); break;
        case 1: frame_put_last(f.get(), uint8_t(bytes[0])); model += bytes[0]; break;
        case 2: frame_put_nfirst(f.get(), bytes.data(), n); model.insert(0, bytes); break;
        case 3: frame_put_nlast(f.get(), bytes.data(), n); model += bytes; break;
        case 4: frame_putn(f.get(), pos, bytes.data(), n); model.insert(size_t(pos), bytes); break;
        case 5: frame_del_first(f.get(), 1 + pos % 200); model.erase(0, size_t(1 + pos % 200)); break;
        case 6: frame_del_last(f.get(), 1 + pos % 200); model.resize(size_t(std::max(0, len - 1 - pos % 200))); break;
        case 7:
            frame_del(f.get(), pos, n % 100 + 1); // pos == len: nothing to delete
            if (pos < len) model.erase(size_t(pos), size_t(n % 100 + 1));
            break;
        case 8: {
            int k = rnd(50), r = std::min(rnd(50), n);
            ASSERT_EQ(frame_replace(f.get(), pos, k, bytes.data(), r), len == 0 ? -1 : 0);
            if (len > 0) model.replace(size_t(pos), size_t(k), bytes, 0, size_t(r));
            break;
        }
        case 9: {
            char buf[400];
            int got = frame_get_nfirst(f.get(), buf, n);
            ASSERT_EQ(got, len == 0 ? -1 : std::min(n, len));
            if (len > 0) model.erase(0, size_t(got));
            break;
        }
        case 10:
            ASSERT_EQ(frame_get(f.get(), pos), pos < len ? uint8_t(model[size_t(pos)]) : -1);
            if (pos < len) model.erase(size_t(pos), 1);
            break;
        case 11:
            frame_append_nbytes(f.get(), uint8_t(bytes[0]), n % 40 + 1);
            model.append(size_t(n % 40 + 1), bytes[0]);
            break;
        default:
            if (len > 1) {
                std::string pat = model.substr(size_t(rnd(len - 1)), 2);
                std::string rep = bytes.substr(0, size_t(rnd(4)));
                bool back = step & 1;
                int rc = frame_search_replace(f.get(), 0, -1, pat.data(), 2, rep.data(), int(rep.size()), back);
                // Forward the search goes on after the new bytes; backward it
                // looks before the last replacement.
                auto next = [&](size_t at) {
                    return back ? (at < 2 ? std::string::npos : model.rfind(pat, at - 2)) : model.find(pat, at);
                };
                int count = 0;
                for (size_t at = next(back ? model.size() : 0); at != std::string::npos;
                     at = next(back ? at : at + rep.size())) {
                    model.replace(at, 2, rep);
                    count++;
                }
                ASSERT_EQ(rc, count);
            }
            break;
        }
        if (model.size() > 20000) {
            frame_empty(f.get());
            model.clear();
        }
        expect_sound(f.get());
        ASSERT_EQ(text_of(f.get()), model) << "step " << step;
    }
}

TEST(FrameSearch, RangesAndResultCodes)
{
    auto f = make();
    std::string s(100, '.');
    s.replace(5, 2, "AB");
    s.replace(95, 2, "AB");
    frame_put_nlast(f.get(), s.data(), 100);
    EXPECT_EQ(frame_search(f.get(), 90, -1, "AB", 2, 0), 95); // only the last 10 bytes
    EXPECT_EQ(frame_search(f.get(), 0, 96, "AB", 2, 1), 5);   // 95..96 is not inside the range
    EXPECT_EQ(frame_search(f.get(), 0, -1, "B", 1, 1), 96);
    EXPECT_EQ(frame_search(f.get(), 7, 80, "A", 1, 0), -100);
    EXPECT_EQ(frame_search(f.get(), 100, -1, "A", 1, 0), -1);
    EXPECT_EQ(frame_search(f.get(), 0, -1, "", 0, 0), -2);
    EXPECT_EQ(frame_search(f.get(), 98, -1, "AB.", 3, 0), -3);

    auto g = make();
    frame_append(g.get(), "aaa");
    EXPECT_EQ(frame_search_string_replace(g.get(), 0, -1, "a", "aa", 2, 0), 3); // no rescan of new bytes
    EXPECT_EQ(text_of(g.get()), "aaaaaa");
    EXPECT_EQ(frame_search_string_replace(g.get(), 0, -1, "q", "z", 1, 0), -100);
    EXPECT_EQ(frame_search_string_replace(g.get(), 0, -1, "a", "z", -1, 0), -2);
    EXPECT_EQ(frame_search_string_replace(g.get(), 0, -1, "aaaaaa", "", 0, 0), 1);
    EXPECT_EQ(g->len, 0);
}

TEST(FrameBits, BitAccessAndShifts)
{
    auto f = make();
    frame_put_nlast(f.get(), "\x00\x40", 2);
    EXPECT_EQ(frame_bit_get(f.get(), 9), 1);
    EXPECT_EQ(frame_bit_get(f.get(), 16), -1);
    EXPECT_EQ(frame_bit_set(f.get(), 0, 1), 0);
    EXPECT_EQ(frame_bit_set(f.get(), 9, 0), 0);
    EXPECT_EQ(text_of(f.get()), std::string("\x80\x00", 2));

    using Shift = std::tuple<std::string, int, bool, std::string>; // in, offset, left, out
    for (auto [in, offset, left, out] : {Shift{"\x12\x34", 4, true, "\x01\x23\x40"},
                                         {"\x12\x34", 4, false, "\x01\x23\x40"},
                                         {"\x01\x80", 1, true, "\x03"}, // a zero last byte is removed
                                         {"\x01", 1, false, "\x80"},     // a zero first byte is removed
                                         {"\x12\x34", 16, true, "\x12\x34"},
                                         {"\xF0\x0F", 9, false, "\x78\x07\x80"}}) {
        auto g = make();
        frame_put_nlast(g.get(), in.data(), int(in.size()));
        EXPECT_EQ(left ? frame_bit_shift_left(g.get(), offset) : frame_bit_shift_right(g.get(), offset), 0);
        EXPECT_EQ(text_of(g.get()), out);
    }
}

TEST(FrameAccess, StripAndPrintWorkOnTheContentOnly)
{
    auto f = make();
    frame_append(f.get(), " \t hi there \r\n");
    frame_strip(f.get());
    EXPECT_STREQ(frame_string(f.get()), "hi there");

    // The dump covers the content from start, cut at its end.
    char* out = nullptr;
    size_t outlen = 0;
    FILE* fp = open_memstream(&out, &outlen);
    frame_print(f.get(), fp, 3, 100, 1);
    fclose(fp);
    EXPECT_EQ(std::string(out, outlen), " 0x0000   74 68 65 72 65 " + std::string(11 * 3 + 4, ' ') + "there" +
                                            std::string(11, ' ') + "\n");
    free(out);

    frame_empty(f.get());
    frame_append(f.get(), " \n ");
    frame_strip(f.get()); // all white space: reset
    EXPECT_EQ(f->len, 0);
    EXPECT_EQ(f->start, 0);
}

TEST(FrameMemory, FailedGrowthKeepsContentAndRefusesTheAddition)
{
    auto f = make(256);
    frame_put_nlast(f.get(), std::string(256, 'k').data(), 256); // no head or tail room left
    ASSERT_EQ(f->size, 256);
    const std::string before = text_of(f.get());
    const int size = f->size, start = f->start;
    const uint8_t* block = f->data;
    {
        FailAfter fail(0);
        frame_put_nlast(f.get(), std::string(300, 'x').data(), 300);
        frame_put_last(f.get(), 'x');
        frame_put_first(f.get(), 'x');
        frame_put_nfirst(f.get(), "xy", 2);
        frame_putn(f.get(), 5, std::string(300, 'x').data(), 300);
        frame_put(f.get(), 5, 'x');
        frame_append_nbytes(f.get(), 'x', 400);
        frame_appendf(f.get(), "%0400d", 1);
        frame_insertf(f.get(), 3, "%s", "x");
        EXPECT_EQ(frame_replace(f.get(), 0, 1, std::string(400, 'x').data(), 400), -1);
        EXPECT_EQ(frame_search_string_replace(f.get(), 0, -1, "k", "xx", 2, 0), 0);
        frame_grow(f.get(), 1000);
        frame_grow_to(f.get(), 5000);
        frame_grow_head(f.get(), 1000);
        EXPECT_EQ(frame_realloc(f.get(), 8), f.get());
        EXPECT_EQ(frame_dup(f.get()), nullptr);
        EXPECT_EQ(frame_new(10), nullptr);
    }
    EXPECT_EQ(f->data, block);
    EXPECT_EQ(f->size, size);
    EXPECT_EQ(f->start, start);
    EXPECT_EQ(text_of(f.get()), before);

    // Once memory is back, the same addition works.
    frame_put_nlast(f.get(), std::string(300, 'x').data(), 300);
    EXPECT_EQ(text_of(f.get()), before + std::string(300, 'x'));

    auto g = make();
    {
        FailAfter fail(0);
        frame_put_last(g.get(), 'a');
        frame_put_nlast(g.get(), "abc", 3);
        frame_appendf(g.get(), "%d", 5);
    }
    EXPECT_EQ(g->data, nullptr);
    EXPECT_EQ(g->size, 0);
    EXPECT_EQ(g->len, 0);
}
