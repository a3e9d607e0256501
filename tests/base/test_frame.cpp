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
    ASSERT_GE(f->start, 0);
    ASSERT_GE(f->len, 0);
    ASSERT_LE(f->start + f->len, f->size);
    if (f->len == 0) {
        ASSERT_EQ(f->start, 0); // emptied frames are reset
    }
}

/* Restores allocation on scope exit even when an assertion fails. */
struct FailAfter {
    explicit FailAfter(long n) { kmem_fail_after(n); }
    ~FailAfter() { kmem_fail_after(-1); }
};

} // namespace

TEST(FrameGrowth, SingleByteAppendsStartMidBlockAndGrowBy128)
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
    EXPECT_EQ(f->len, 65);
    EXPECT_EQ(frame_read(f.get(), 64), '!');
    EXPECT_EQ(frame_read(f.get(), 0), 'a');
}

TEST(FrameGrowth, FirstMultiByteAllocationsRoundUpTo128)
{
    std::string b(200, 'x');
    auto f = make();
    frame_put_nlast(f.get(), b.data(), 200);
    EXPECT_EQ(f->size, 256);
    EXPECT_EQ(f->start, 0);

    auto g = make();
    frame_put_nfirst(g.get(), b.data(), 128);
    EXPECT_EQ(g->size, 256);
    EXPECT_EQ(g->start, 0); // the new bytes end exactly at the first start (128)
}

TEST(FrameGrowth, PutFirstWithoutHeadRoomMovesTheBlockUp)
{
    auto f = make(128);
    frame_put_nlast(f.get(), "abc", 3);
    ASSERT_EQ(f->start, 0);
    frame_put_first(f.get(), 'Z');
    EXPECT_EQ(f->size, 384);
    EXPECT_EQ(f->start, 255);
    EXPECT_EQ(f->data[255], 'Z');
    EXPECT_EQ(text_of(f.get()), "Zabc");
}

TEST(FrameGrowth, TailGrowthReusesLargeHeadRoom)
{
    auto f = make();
    std::string b(300, 'q');
    frame_put_nlast(f.get(), b.data(), 300); // size 384
    frame_del_first(f.get(), 200);           // start 200, len 100, tail 84
    ASSERT_EQ(f->size, 384);
    uint8_t* block = f->data;
    frame_put_nlast(f.get(), std::string(100, 'r').data(), 100); // 16 missing: moved, not grown
    EXPECT_EQ(f->data, block);
    EXPECT_EQ(f->size, 384);
    EXPECT_EQ(f->start, 184);
    EXPECT_EQ(text_of(f.get()), std::string(100, 'q') + std::string(100, 'r'));

    // Head room of 127 or less is not reused.
    auto g = make();
    frame_put_nlast(g.get(), b.data(), 128 + 100); // size 256
    frame_del_first(g.get(), 127);
    frame_put_nlast(g.get(), b.data(), 100);
    EXPECT_EQ(g->size, 384);
    EXPECT_EQ(g->start, 127);
}

TEST(FrameGrowth, HeadGrowthReusesLargeTailRoom)
{
    auto f = make(512);
    frame_put_nlast(f.get(), "hello", 5); // start 0, tail 507
    uint8_t* block = f->data;
    frame_put_nfirst(f.get(), "0123456789", 10);
    EXPECT_EQ(f->data, block);
    EXPECT_EQ(f->size, 512);
    EXPECT_EQ(text_of(f.get()), "0123456789hello");
}

TEST(FrameGrowth, ShrinkingReallocKeepsThePrefix)
{
    auto f = make();
    frame_put_nlast(f.get(), "abcdefgh", 8);
    frame_del_first(f.get(), 2);
    EXPECT_EQ(frame_realloc(f.get(), 4), f.get());
    EXPECT_EQ(f->size, 4);
    EXPECT_EQ(f->start, 0);
    EXPECT_EQ(text_of(f.get()), "cdef");
}

TEST(FrameEdit, TakingTheLastByteResetsTheFrame)
{
    auto f = make();
    frame_t other{};
    frame_put_last(f.get(), 'x');
    f->next = &other;
    EXPECT_EQ(frame_get_first(f.get()), 'x');
    EXPECT_EQ(f->start, 0);
    EXPECT_EQ(f->next, nullptr);
    EXPECT_NE(f->data, nullptr); // the block stays
    EXPECT_EQ(frame_get_last(f.get()), -1);
}

TEST(FrameEdit, TruncateAndTakeRanges)
{
    auto f = make();
    frame_append(f.get(), "0123456789");
    frame_trunc(f.get(), 0);
    EXPECT_EQ(f->len, 10);
    frame_trunc(f.get(), 8);
    EXPECT_EQ(text_of(f.get()), "01234567");
    frame_empty(f.get());

    frame_append(f.get(), "abcdef");
    char buf[16] = {};
    EXPECT_EQ(frame_getn(f.get(), 2, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "cd");
    EXPECT_EQ(frame_get_nlast(f.get(), buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "bef");
    EXPECT_EQ(frame_readn(f.get(), 0, buf, 10), 1);
    EXPECT_EQ(frame_getn(f.get(), 0, buf, 10), 1); // more than the content: all of it, then reset
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(f->len, 0);
    EXPECT_EQ(f->start, 0);
}

TEST(FrameEdit, InsertSetAndFormattedText)
{
    auto f = make();
    frame_append(f.get(), "ad");
    frame_insert(f.get(), 1, "bc");
    frame_prepend(f.get(), ">");
    frame_put(f.get(), 99, '<');
    frame_put(f.get(), 0, '[');
    frame_put(f.get(), 2, '_');
    EXPECT_EQ(text_of(f.get()), "[>_abcd<");
    frame_set(f.get(), 0, '{');
    frame_setn(f.get(), 6, "XYZ", 3); // never extends the content
    EXPECT_EQ(text_of(f.get()), "{>_abcXY");
    frame_append_nbytes(f.get(), '.', 3);
    EXPECT_STREQ(frame_string(f.get()), "{>_abcXY...");

    auto g = make();
    frame_appendf(g.get(), "%d-%s", 42, "x");
    std::string longer(300, 'L');
    frame_appendf(g.get(), "|%s|", longer.c_str());
    frame_prependf(g.get(), "%05d:", 7);
    EXPECT_EQ(text_of(g.get()), "00007:42-x|" + longer + "|");
    std::string huge(5000, 'H');
    frame_insertf(g.get(), 6, "<%s>", huge.c_str());
    EXPECT_EQ(text_of(g.get()), "00007:<" + huge + ">42-x|" + longer + "|");
    frame_prependf(g.get(), "%s", huge.c_str());
    EXPECT_EQ(text_of(g.get()).substr(0, 5001), huge + "0");
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
        case 5: {
            int k = 1 + rnd(200);
            frame_del_first(f.get(), k);
            model.erase(0, size_t(k));
            break;
        }
        case 6: {
            int k = 1 + rnd(200);
            frame_del_last(f.get(), k);
            model.resize(size_t(std::max(0, len - k)));
            break;
        }
        case 7:
            if (pos < len) {
                int k = 1 + rnd(100);
                frame_del(f.get(), pos, k);
                model.erase(size_t(pos), size_t(k));
            }
            break;
        case 8: {
            int k = rnd(50), r = std::min(rnd(50), n);
            int rc = frame_replace(f.get(), pos, k, bytes.data(), r);
            if (len == 0) {
                ASSERT_EQ(rc, -1);
            } else {
                ASSERT_EQ(rc, 0);
                model.replace(size_t(pos), size_t(k), bytes, 0, size_t(r));
            }
            break;
        }
        case 9:
            if (len > 0) {
                char buf[400];
                int got = frame_get_nfirst(f.get(), buf, n);
                ASSERT_EQ(std::string(buf, size_t(got)), model.substr(0, size_t(got)));
                model.erase(0, size_t(got));
            }
            break;
        case 10:
            if (len > 0) {
                int at = rnd(len);
                ASSERT_EQ(frame_get(f.get(), at), uint8_t(model[size_t(at)]));
                model.erase(size_t(at), 1);
            }
            break;
        case 11: frame_append_nbytes(f.get(), uint8_t(bytes[0]), n % 40 + 1); model.append(size_t(n % 40 + 1), bytes[0]); break;
        default:
            if (len > 1) {
                std::string pat = model.substr(size_t(rnd(len - 1)), 2);
                std::string rep = bytes.substr(0, size_t(rnd(4)));
                int rc = frame_search_replace(f.get(), 0, -1, pat.data(), 2, rep.data(), int(rep.size()), step & 1);
                int count = 0;
                if (step & 1) { // backward: each search looks before the last replacement
                    size_t end = model.size();
                    while (end >= 2) {
                        size_t at = model.rfind(pat, end - 2);
                        if (at == std::string::npos) break;
                        model.replace(at, 2, rep);
                        count++;
                        end = at;
                    }
                } else {
                    size_t at = 0;
                    while ((at = model.find(pat, at)) != std::string::npos) {
                        model.replace(at, 2, rep);
                        at += rep.size();
                        count++;
                    }
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
    s[5] = 'A';
    s[6] = 'B';
    s[95] = 'A';
    s[96] = 'B';
    frame_put_nlast(f.get(), s.data(), 100);
    EXPECT_EQ(frame_search(f.get(), 0, -1, "AB", 2, 0), 5);
    EXPECT_EQ(frame_search(f.get(), 90, -1, "AB", 2, 0), 95); // only the last 10 bytes
    EXPECT_EQ(frame_search(f.get(), 0, -1, "AB", 2, 1), 95);
    EXPECT_EQ(frame_search(f.get(), 0, 96, "AB", 2, 1), 5);   // 95..96 is not inside the range
    EXPECT_EQ(frame_search(f.get(), 0, -1, "B", 1, 1), 96);
    EXPECT_EQ(frame_search(f.get(), 7, 80, "A", 1, 0), -100);
    EXPECT_EQ(frame_search(f.get(), 100, -1, "A", 1, 0), -1);
    EXPECT_EQ(frame_search(f.get(), 0, -1, "", 0, 0), -2);
    EXPECT_EQ(frame_search(f.get(), 98, -1, "AB.", 3, 0), -3);
    EXPECT_EQ(frame_search_string(f.get(), 0, -1, "B.", 0), 6);
}

TEST(FrameSearch, ReplaceDoesNotRescanInsertedBytes)
{
    auto f = make();
    frame_append(f.get(), "aaa");
    EXPECT_EQ(frame_search_string_replace(f.get(), 0, -1, "a", "aa", 2, 0), 3);
    EXPECT_EQ(text_of(f.get()), "aaaaaa");
    EXPECT_EQ(frame_search_string_replace(f.get(), 0, -1, "aa", "b", 1, 1), 3);
    EXPECT_EQ(text_of(f.get()), "bbb");
    EXPECT_EQ(frame_search_string_replace(f.get(), 1, 1, "b", "xyz", 3, 0), 1);
    EXPECT_EQ(text_of(f.get()), "bxyzb");
    EXPECT_EQ(frame_search_string_replace(f.get(), 0, -1, "q", "z", 1, 0), -100);
    EXPECT_EQ(frame_search_string_replace(f.get(), 0, -1, "b", "z", -1, 0), -2);
    EXPECT_EQ(frame_search_string_replace(f.get(), 0, 2, "bxy", "z", 1, 0), -2);
    EXPECT_EQ(frame_search_string_replace(f.get(), 9, -1, "b", "z", 1, 0), -1);
    EXPECT_EQ(frame_search_string_replace(f.get(), 0, -1, "b", nullptr, 0, 0), 2);
    EXPECT_EQ(text_of(f.get()), "xyz");
    EXPECT_EQ(frame_search_string_replace(f.get(), 0, -1, "xyz", "", 0, 0), 1);
    EXPECT_EQ(f->len, 0);
}

TEST(FrameBits, BitAccessAndShifts)
{
    auto f = make();
    const uint8_t two[] = {0x00, 0x40};
    frame_put_nlast(f.get(), two, 2);
    EXPECT_EQ(frame_bit_get(f.get(), 9), 1);
    EXPECT_EQ(frame_bit_get(f.get(), 8), 0);
    EXPECT_EQ(frame_bit_get(f.get(), 16), -1);
    EXPECT_EQ(frame_bit_set(f.get(), 0, 1), 0);
    EXPECT_EQ(frame_bit_set(f.get(), 9, 0), 0);
    EXPECT_EQ(text_of(f.get()), std::string("\x80\x00", 2));

    struct Case {
        std::string in;
        int offset;
        bool left;
        std::string out;
    } cases[] = {
        {"\x12\x34", 4, true, "\x01\x23\x40"},
        {"\x12\x34", 4, false, "\x01\x23\x40"},
        {std::string("\x01\x80", 2), 1, true, "\x03"},   // a zero last byte is removed
        {std::string("\x80", 1), 1, true, "\x01"},
        {std::string("\x01", 1), 1, false, "\x80"},      // a zero first byte is removed
        {std::string("\x12\x34", 2), 16, true, "\x12\x34"},
        {std::string("\xF0\x0F", 2), 9, false, std::string("\x78\x07\x80", 3)},
    };
    for (const auto& c : cases) {
        auto g = make();
        frame_put_nlast(g.get(), c.in.data(), int(c.in.size()));
        EXPECT_EQ(c.left ? frame_bit_shift_left(g.get(), c.offset) : frame_bit_shift_right(g.get(), c.offset), 0);
        EXPECT_EQ(text_of(g.get()), c.out);
    }
}

TEST(FrameAccess, StringStripDupAttachAndChains)
{
    auto f = make();
    frame_append(f.get(), " \t hi there \r\n");
    frame_strip(f.get());
    EXPECT_STREQ(frame_string(f.get()), "hi there");
    FramePtr d(frame_dup(f.get()));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 8);
    EXPECT_EQ(d->start, 0);
    EXPECT_EQ(text_of(d.get()), "hi there");
    frame_append(f.get(), "   ");
    frame_prepend(f.get(), "\n");
    frame_strip(f.get());
    EXPECT_EQ(text_of(f.get()), "hi there");

    auto* buf = static_cast<char*>(kalloc(6));
    memcpy(buf, "abcde", 6);
    EXPECT_EQ(frame_attach(f.get(), buf, 5), 5);
    EXPECT_EQ(text_of(f.get()), "abcde");

    // A chain is released whole (LeakSanitizer checks the links).
    frame_p head = frame_new(16);
    head->next = frame_new(0);
    frame_put_last(head->next, 1);
    head->next->next = frame_new(64);
    frame_delete(&head);
    EXPECT_EQ(head, nullptr);
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
