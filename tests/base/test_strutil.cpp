// String utilities: bounded copies, parsers, searches, skipping and the
// encoders with their round trips.
#include "strutil.h"

#include "memory.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <random>
#include <string.h>
#include <string>
#include <vector>

namespace {

std::string bytes_of(const void* p, int n) { return std::string(static_cast<const char*>(p), size_t(n)); }

std::string random_bytes(std::mt19937& rng, int n, const std::string& alphabet = "")
{
    std::string s(size_t(n), '\0');
    for (auto& c : s)
        c = alphabet.empty() ? char(rng() & 0xFF) : alphabet[rng() % alphabet.size()];
    return s;
}

int sign(int v) { return (v > 0) - (v < 0); }

} // namespace

TEST(StrCopy, BoundedCopiesStopAtTheRoomAndTerminate)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(str_secpy(buf, 3, "abcdef", -1), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'x'); // dstlen + 1 bytes written, no more
    EXPECT_EQ(str_secpy(buf, 7, "abcdef", 4), 4);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_STREQ(str_secat(buf, 2, "efgh", -1), "abcdef");

    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(str_ncpy(buf, "hello", 3), buf + 3);
    EXPECT_STREQ(buf, "hel");

    EXPECT_EQ(secure_memcpy(buf, 4, "abcdef", 6), 4);
    EXPECT_EQ(bytes_of(buf, 4), "abcd");
    char ov[] = "0123456789";
    EXPECT_EQ(sec_memcpy(ov + 2, ov, 5), 5); // forward overlap
    EXPECT_STREQ(ov, "0101234789");
    EXPECT_EQ(sec_memcpy(ov, ov + 3, 4), 4); // backward overlap
    EXPECT_STREQ(ov, "1234234789");
}

TEST(StrCompare, ByteAndCaselessComparisonsMatchTheirSign)
{
    struct Case {
        const char *a, *b;
        int n, cmp, ncmp, casecmp, ncasecmp;
    } cases[] = {
        {"abc", "abc", 10, 0, 0, 0, 0}, // equal strings shorter than n compare equal
        {"abc", "abd", 10, -1, -1, -1, -1},
        {"abd", "abc", 2, 1, 0, 1, 0},
        {"ab", "abc", 10, -1, -1, -1, -1},
        {"abc", "ab", 2, 1, 0, 1, 0},
        {"ABC", "abc", 3, -1, -1, 0, 0},
        {"abc", "ABD", 3, 1, 1, -1, -1},
        {"", "", 5, 0, 0, 0, 0},
        {"a", "b", 0, -1, 0, -1, 0},
        {"\xff", "a", 1, 1, 1, 1, 1}, // bytes compare unsigned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(sign(str_cmp(c.a, c.b)), c.cmp);
        EXPECT_EQ(sign(str_ncmp(c.a, c.b, c.n)), c.ncmp);
        EXPECT_EQ(sign(str_casecmp(c.a, c.b)), c.casecmp);
        EXPECT_EQ(sign(str_ncasecmp(c.a, c.b, c.n)), c.ncasecmp);
    }
    EXPECT_EQ(str_cmp(nullptr, ""), 0);
    EXPECT_LT(str_cmp(nullptr, "a"), 0);
}

TEST(StrCompare, CountedStringsOrderByBytesThenLength)
{
    char abc[] = "abc", abcd[] = "abcd", ABC[] = "ABC", nul[] = "ab\0x";
    ckstr_t a{abc, 3}, b{abcd, 4}, A{ABC, 3}, e{abc, 0}, n{nullptr, 5}, z{nul, 4}, ab{abc, 2};
    EXPECT_LT(ckstr_cmp(&a, &b), 0);
    EXPECT_GT(ckstr_cmp(&b, &a), 0);
    EXPECT_NE(ckstr_cmp(&a, &A), 0);
    EXPECT_EQ(ckstr_casecmp(&a, &A), 0);
    EXPECT_EQ(ckstr_cmp(&e, &n), 0);
    EXPECT_LT(ckstr_cmp(&e, &a), 0);
    EXPECT_LT(ckstr_cmp(&z, &a), 0); // the NUL side is smaller
    EXPECT_LT(ckstr_cmp(&ab, &a), 0);
}

TEST(StrTrim, TrimmingCutsWhiteSpaceOnly)
{
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"   ", ""}, {" a b ", "a b"}, {"\t\r\nx\v\f", "x"}, {"x", "x"}, {"", ""},
    };
    for (const auto& c : cases) {
        char buf[32];
        str_cpy(buf, c.in);
        char* p = str_trim(buf);
        EXPECT_STREQ(p, c.out) << c.in;
        EXPECT_GE(p, buf);
    }

    const char* t = " [x y] ";
    int n = -1;
    EXPECT_EQ(string_trim(t, -1, "[]", 2, &n), t + 2);
    EXPECT_EQ(n, 3);
    n = 99;
    const char* bare = " [] ";
    EXPECT_EQ(string_trim(bare, -1, "[]", -1, &n), bare + 4);
    EXPECT_EQ(n, 99); // nothing left: *plen untouched

    char s[] = "aB-z";
    EXPECT_EQ(string_toupper(s, -1), 0);
    EXPECT_STREQ(s, "AB-Z");
    EXPECT_EQ(string_tolower(s, 2), 0);
    EXPECT_STREQ(s, "ab-Z");
}

TEST(StrNumber, DigitParsersReportConsumedAndValue)
{
    struct Case {
        const char* text;
        int len;
        int (*fn)(const void*, int, uint32_t*);
        int used;
        uint32_t val;
    } cases[] = {
        {"1F", -1, str_hextou, 2, 31},     {"1G", -1, str_hextou, 1, 1},
        {"ffffffff", -1, str_hextou, 8, 0xFFFFFFFFu},
        {"123abc", -1, str_atou, 3, 123},  {"4294967295", -1, str_atou, 10, 4294967295u},
        {"12345", 2, str_atou, 2, 12},     {"-5", -1, str_atou, 0, 0},
        {"", -1, str_atou, 0, 0},
    };
    for (const auto& c : cases) {
        uint32_t v = 77;
        EXPECT_EQ(c.fn(c.text, c.len, &v), c.used) << c.text;
        EXPECT_EQ(v, c.val) << c.text;
    }
    int iv = 0;
    EXPECT_EQ(str_atoi("42;", -1, &iv), 2);
    EXPECT_EQ(iv, 42);
    EXPECT_EQ(str_hextoi("7fffffff", -1, &iv), 8);
    EXPECT_EQ(iv, 0x7fffffff);
    EXPECT_EQ(str_atoi(nullptr, 4, &iv), 0);
}

TEST(StrNumber, ToIntTakesSignBlanksAndHexLettersInAnyBase)
{
    struct Case {
        const char* text;
        int base;
        long val;
        int term; // offset of *pterm
    } cases[] = {
        {"-12x", 10, -12, 3},  {"  +7", 10, 7, 4},     {"\t-", 10, 0, 0},  {"   ", 10, 0, 0},
        {"ff", 16, 255, 2},    {"12ab", 10, 1311, 4},  {"10", 0, 10, 2},   {"777", 8, 511, 3},
        {"101z", 2, 5, 3},     {"-0", 10, 0, 2},
    };
    for (const auto& c : cases) {
        char* term = nullptr;
        EXPECT_EQ(str_to_int(c.text, -1, c.base, &term), c.val) << c.text;
        EXPECT_EQ(term - c.text, c.term) << c.text;
    }
    char* term = nullptr;
    EXPECT_EQ(str_to_int("1234", 2, 10, &term), 12);
}

TEST(StrNumber, MultiByteIntegersRoundTrip)
{
    uint8_t b[5];
    EXPECT_EQ(str_uint2mbi(300, b), 2);
    EXPECT_EQ(b[0], 0x82);
    EXPECT_EQ(b[1], 0x2C);
    uint32_t v = 0;
    EXPECT_EQ(str_mbi2uint(b, 1, &v), 1); // cut short by len

    std::mt19937 rng(5);
    std::vector<uint32_t> values = {0, 1, 127, 128, 16383, 16384, 0x1FFFFF, 0x200000, 0xFFFFFFFFu};
    for (int i = 0; i < 500; i++) values.push_back(uint32_t(rng()) >> (rng() % 32));
    for (uint32_t x : values) {
        int n = str_uint2mbi(x, b);
        EXPECT_EQ(str_uint2mbi(x, nullptr), n);
        int expect = 1;
        while (expect < 5 && (x >> (7 * expect))) expect++;
        ASSERT_EQ(n, expect) << x;
        uint32_t y = 0;
        ASSERT_EQ(str_mbi2uint(b, 5, &y), n);
        ASSERT_EQ(y, x);
    }
}

TEST(StrTime, GmtTextsInBothFormats)
{
    time_t t = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
    char buf[64];
    ASSERT_EQ(str_time2gmt(&t, buf, sizeof buf, 0), 0);
    EXPECT_STREQ(buf, "Sun, 06 Nov 1994 08:49:37 GMT");
    ASSERT_EQ(str_time2gmt(&t, buf, 36, 1), 0);
    EXPECT_STREQ(buf, "Sunday, 06-Nov-1994 08:49:37 GMT");
    EXPECT_EQ(str_time2gmt(&t, buf, 35, 0), -1);
    EXPECT_EQ(str_datetime(&t, buf, 19, 0), -1);
}

TEST(StrTime, ParsingDateTexts)
{
    setenv("TZ", "UTC", 1);
    tzset();
    time_t out = 0;
    EXPECT_EQ(str_gmt2time("Sun, 06 Nov 1994 08:49:37 GMT", -1, &out), 784111777);
    EXPECT_EQ(out, 784111777);
    EXPECT_EQ(str_gmt2time("  sunday, 06-nov-94 08:49:37 GMT", -1, nullptr), 784111777);
    EXPECT_EQ(str_gmt2time("1994-11-06 08:49:37", -1, nullptr), 784111777);
    EXPECT_EQ(str_gmt2time("94/11/06 08.49.37", -1, nullptr), 784111777);
    EXPECT_EQ(str_gmt2time("2024", -1, nullptr), 1704067200); // 2024-01-01 00:00:00
    EXPECT_EQ(str_gmt2time("1950-01-01", -1, nullptr), 0);
    EXPECT_EQ(str_gmt2time("1994-13-01", -1, nullptr), 0);
    EXPECT_EQ(str_gmt2time("Xyz, 06 Nov 1994 08:49:37", -1, nullptr), 0);
    EXPECT_EQ(str_gmt2time("Sun, 06 Nov 1994", -1, nullptr), 0);

    char buf[64];
    for (time_t t : {time_t(0), time_t(951782400), time_t(1700000000), time_t(2000000000)}) {
        ASSERT_EQ(str_time2gmt(&t, buf, sizeof buf, int(t & 1)), 0);
        EXPECT_EQ(str_gmt2time(buf, -1, nullptr), t) << buf;
        ASSERT_EQ(str_datetime(&t, buf, sizeof buf, 0), 0);
        EXPECT_EQ(str_gmt2time(buf, -1, nullptr), t) << buf;
    }
}

TEST(StrSearch, AllSearchesAgreeWithStdFind)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; round++) {
        std::string text = random_bytes(rng, int(rng() % 40), "ab\xff");
        std::string pat = random_bytes(rng, 1 + int(rng() % 4), "ab\xff");
        size_t first = text.find(pat);
        const char* t = text.data();
        int len = int(text.size()), plen = int(pat.size());
        auto at = [&](const void* p) { return p ? size_t(static_cast<const char*>(p) - t) : std::string::npos; };
        ASSERT_EQ(at(str_str(t, len, pat.data(), plen)), first) << text << "/" << pat;
        ASSERT_EQ(at(str_str2(t, len, pat.data(), plen)), first);
        ASSERT_EQ(at(str_rk_find(t, len, pat.data(), plen)), first);
        ASSERT_EQ(at(str_find_bytes(t, len, pat.data(), plen)), first);
        if (len > 0) {
            int pos = int(rng() % len);
            size_t last = pos + 1 >= plen ? text.rfind(pat, size_t(pos + 1 - plen)) : std::string::npos;
            ASSERT_EQ(at(str_rfind_bytes(t, pos, pat.data(), plen)), last) << text << "/" << pat << "@" << pos;
        }
    }
    EXPECT_EQ(str_str("abc", -1, "", 0), nullptr);
    EXPECT_EQ(str_str(nullptr, 3, "a", 1), nullptr);
    EXPECT_EQ(str_str("ab", -1, "abc", -1), nullptr);
}

TEST(StrSkip, SkipRoutinesStopWhereDocumented)
{
    const char* t = "  key = \"a,b\" , c\\,d;e";
    int len = int(strlen(t));
    EXPECT_EQ(skipOver(t, len, " ", 1), t + 2);
    EXPECT_EQ(skipTo(t, len, "=", 1), t + 6);
    EXPECT_EQ(skipTo(t, len, "#", 1), t + len);
    EXPECT_EQ(skipTo(t, len, ",", 1), t + 10);          // inside the quotes
    EXPECT_EQ(skipQuoteTo(t, len, ",", 1), t + 14);     // quotes passed over
    EXPECT_EQ(skipQuoteTo(t, len, "\"", 1), t + 8);     // quote in the set is found
    EXPECT_EQ(skipEscTo(t + 16, -1, ",;", -1), t + 20); // "\," passed over
    EXPECT_EQ(skipOver(nullptr, 3, " ", 1), nullptr);

    const char* e = t + len - 1; // 'e'
    EXPECT_EQ(rskipTo(e, len, "=", 1), t + 6);
    EXPECT_EQ(rskipTo(e, 3, "=", 1), e - 3); // the byte before the range
    EXPECT_EQ(rskipOver(t + 4, 2, "ey", 2), t + 2);
    EXPECT_EQ(rskipOver(e, len, "de;", 3), e - 3);

    const char* peer = "(a(b)c)d";
    EXPECT_EQ(skipToPeer(peer, -1, '(', ')'), peer + 6);
    const char* open = "(a(b)";
    EXPECT_EQ(skipToPeer(open, -1, '(', ')'), open + 5);
    EXPECT_EQ(skipToPeer(peer + 1, -1, '(', ')'), peer + 1);
}

TEST(StrEncode, HexTextBothWays)
{
    const uint8_t bin[] = {0x0A, 0x1B, 0xFF, 0x00};
    char asc[16];
    int n = 0;
    EXPECT_EQ(bin_to_ascii(bin, 4, asc, &n, 1), 8);
    EXPECT_EQ(bytes_of(asc, 8), "0A1BFF00");

    uint8_t out[8];
    EXPECT_EQ(ascii_to_bin("0a1", -1, out, &n), 1); // odd last digit dropped
    EXPECT_EQ(ascii_to_bin("0g", -1, out, &n), -100);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(ascii_to_bin("0a0g", -1, out, &n), -100);
    EXPECT_EQ(n, 1); // bytes before the bad digit stay

    std::mt19937 rng(3);
    for (int i = 0; i < 200; i++) {
        std::string b = random_bytes(rng, 1 + int(rng() % 50));
        std::vector<char> a(2 * b.size());
        ASSERT_EQ(bin_to_ascii(b.data(), int(b.size()), a.data(), nullptr, int(i & 1)), int(a.size()));
        std::vector<char> back(b.size());
        ASSERT_EQ(ascii_to_bin(a.data(), int(a.size()), back.data(), nullptr), int(b.size()));
        ASSERT_EQ(bytes_of(back.data(), int(back.size())), b);
    }
}

TEST(StrEncode, Base64KnownVectorsAndRoomRules)
{
    char buf[16];
    int room = sizeof buf;
    ASSERT_EQ(bin_to_base64("fooba", 5, buf, &room), 0);
    EXPECT_STREQ(buf, "Zm9vYmE=");
    EXPECT_EQ(room, 8);
    room = 6; // 4 chars + 2 for the line-break allowance: not above
    EXPECT_EQ(bin_to_base64("ab", 2, buf, &room), -100);
    room = 7;
    EXPECT_EQ(bin_to_base64("ab", 2, buf, &room), 0);

    struct Case {
        const char *in, *out;
        int rc;
    } cases[] = {
        {"Zm9v\r\nYmFy", "foobar", 0}, // white space skipped
        {"Zm9v=YmFy", "foo", 0},        // '=' ends
        {"Zm*9v", "foo", 1},            // other bytes skipped and reported
        {"Zm9vY", "foo", 1},            // a lone final symbol
    };
    for (const auto& c : cases) {
        int n = sizeof buf;
        EXPECT_EQ(base64_to_bin(c.in, -1, buf, &n), c.rc) << c.in;
        EXPECT_EQ(bytes_of(buf, n), c.out) << c.in;
    }
    int n = 5; // below 3 * ceil(8 / 4)
    EXPECT_EQ(base64_to_bin("Zm9vYmFy", -1, buf, &n), -100);
}

TEST(StrEncode, Base64DecodeNeverWritesPastTheRoom)
{
    // The room exactly fits the decoded bytes: no terminator may go after them.
    char buf[4] = {'x', 'x', 'x', 'x'};
    int n = 3;
    EXPECT_EQ(base64_to_bin("Zm9v", 4, buf, &n), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(bytes_of(buf, 4), "foox");
    n = 4;
    EXPECT_EQ(base64_to_bin("Zm9v", 4, buf, &n), 0);
    EXPECT_EQ(bytes_of(buf, 4), std::string("foo\0", 4));
}

TEST(StrEncode, Base64RandomRoundTripAndInPlace)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 300; i++) {
        std::string b = random_bytes(rng, 1 + int(rng() % 200));
        int enclen = 4 * int((b.size() + 2) / 3);
        std::vector<char> enc(size_t(enclen) + 2 * ((b.size() / 3 + 18) / 19) + 8);
        int room = int(enc.size());
        ASSERT_EQ(bin_to_base64(b.data(), int(b.size()), enc.data(), &room), 0);
        ASSERT_EQ(room, enclen);
        ASSERT_EQ(enc[size_t(enclen)], 0);

        std::vector<uint8_t> inplace(static_cast<size_t>(enclen));
        memcpy(inplace.data(), b.data(), b.size());
        ASSERT_EQ(enc_base64(inplace.data(), int(b.size()), inplace.data()), enclen);
        ASSERT_EQ(bytes_of(inplace.data(), enclen), bytes_of(enc.data(), enclen));

        std::vector<char> dec(b.size() + 4);
        int n = int(dec.size());
        ASSERT_EQ(base64_to_bin(enc.data(), enclen, dec.data(), &n), 0);
        ASSERT_EQ(bytes_of(dec.data(), n), b);
        int skipped = 5;
        ASSERT_EQ(enc_base64_decode(inplace.data(), enclen, inplace.data(), &skipped), int(b.size()));
        ASSERT_EQ(skipped, 0);
        ASSERT_EQ(bytes_of(inplace.data(), int(b.size())), b);
    }
}

TEST(StrEscape, BackslashEscapesFollowTheSet)
{
    char out[64];
    const char set[] = "\"\n\\";
    int n = string_escape("a\"b\nc\x01\\", -1, set, -1, out, sizeof out);
    EXPECT_EQ(bytes_of(out, n), "a\\\"b\\nc\\u0001\\\\");
    n = string_escape("a\tb", -1, nullptr, 0, out, sizeof out); // no set: unchanged
    EXPECT_EQ(bytes_of(out, n), "a\tb");
    n = string_escape("ab\"", -1, set, -1, out, 3); // the escape does not fit: stop before it
    EXPECT_EQ(bytes_of(out, n), "ab");

    struct Case {
        const char *in, *set, *out;
    } strips[] = {
        {"a\\\"b", "\"", "a\"b"},
        {"a\\\"b", "x", "a\\\"b"},       // decoded quote not in the set: both kept
        {"\\n\\t", "\n", "\n\\t"},
        {"\\u0041z", "x", "Az"},         // numbers are written whatever the set
        {"\\x4", "x", "\x04"},
        {"a\\x", "q", "a\\x"},           // fewer than three bytes from the backslash
        {"\\x41", "x", "A"},
        {"\\uzz", "u", "uzz"},           // 'u' without digits stands for itself
        {"end\\", "\\", "end\\"},
        {"\\u1234", "x", "\x34\x12"},
    };
    for (const auto& c : strips) {
        n = string_strip(c.in, -1, c.set, -1, out, sizeof out);
        EXPECT_EQ(bytes_of(out, n), c.out) << c.in;
    }
    char* d = string_strip_dup("q\\\"q", -1, "\"", 1);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "q\"q");
    kfree(d);
}

TEST(StrEscape, BackslashEscapeRoundTripOverRandomBytes)
{
    std::mt19937 rng(9);
    for (int i = 0; i < 300; i++) {
        // Any set without letters and with the backslash survives escape + strip.
        const std::string extra = "\"'/\n\t\r\b\f\x01\x1f;:!#";
        std::string set = "\\";
        for (int k = int(rng() % 6); k > 0; k--) set += extra[rng() % extra.size()];
        std::string in = random_bytes(rng, int(rng() % 60), "abu x\\\"'/\n\t\x01\x1f;#\xc3\xa9");
        std::vector<char> esc(in.size() * 6 + 1), back(in.size() + 1);
        int n = string_escape(in.data(), int(in.size()), set.data(), int(set.size()), esc.data(), int(esc.size()));
        int m = string_strip(esc.data(), n, set.data(), int(set.size()), back.data(), int(back.size()));
        ASSERT_EQ(bytes_of(back.data(), m), in) << "set " << set;
    }
}

TEST(StrEscape, JsonEscapeAndUnescape)
{
    EXPECT_EQ(json_escape("\"\x01", 2, nullptr, 0), 8);
    char out[64];
    int n = json_escape("a\"\\\b\t\n\f\r\x1f\xc3", -1, out, sizeof out);
    EXPECT_EQ(bytes_of(out, n), "a\\\"\\\\\\b\\t\\n\\f\\r\\u001F\xc3");
    n = json_escape("ab\n", -1, out, 3);
    EXPECT_EQ(bytes_of(out, n), "ab");

    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"a\\nb", "a\nb"},          {"\\\"\\\\\\'", "\"\\'"},     {"\\/", "/"},
        {"\\u0041\\u00e9", "A\xe9"}, {"\\u1234", "\x34\x12"},     {"\\x41\\x4142", "ABA"},
        {"\\65\\0x", std::string("A\0x", 3)},                     {"\\x10000z", "z"},
        {"a\\qb", "ab"},            {"a\\uzz", "azz"},            {"ab\\u", "ab"},
        {"ab\\", "ab\\"},           {"\\r\\t\\b\\f", "\r\t\b\f"},
    };
    for (const auto& c : cases) {
        n = json_strip(c.in, -1, out, sizeof out);
        EXPECT_EQ(bytes_of(out, n), c.out) << c.in;
        EXPECT_EQ(json_strip(c.in, -1, nullptr, 0), int(c.out.size())) << c.in;
    }
    char* d = json_strip_dup("x\\ty", -1);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "x\ty");
    kfree(d);

    std::mt19937 rng(13);
    for (int i = 0; i < 300; i++) {
        std::string in = random_bytes(rng, int(rng() % 80));
        int need = json_escape(in.data(), int(in.size()), nullptr, 0);
        std::vector<char> esc(size_t(need) + 1), back(in.size() + 1);
        ASSERT_EQ(json_escape(in.data(), int(in.size()), esc.data(), int(esc.size())), need);
        int m = json_strip(esc.data(), need, back.data(), int(back.size()));
        ASSERT_EQ(bytes_of(back.data(), m), in);
    }
}

TEST(StrEscape, UriEncodeSetsPerType)
{
    struct Case {
        int type;
        const char *in, *out;
    } cases[] = {
        {0, "a b/c:d&e?#%+", "a%20b/c:d&e%3F%23%25+"},
        {1, "a&b+c;d/e", "a%26b%2Bc%3Bd/e"},
        {2, "aZ09-._~ /&", "aZ09-._~%20%2F%26"},
        {3, "\"'#% ?&", "%22%27%23%25%20?&"},
        {4, "\"'#% ?", "%22%27#%%20?"},
        {5, "a b%c\"#", "a%20b%25c\"#"},
        {6, "\x01\x7f", "%01\x7f"},
        {0, "\x7f\xe9\n", "%7F%E9%0A"},
    };
    for (const auto& c : cases) {
        char out[64];
        int n = uri_encode(c.in, -1, out, sizeof out, c.type);
        EXPECT_EQ(bytes_of(out, n), c.out) << c.type << " " << c.in;
        EXPECT_EQ(uri_encode(c.in, -1, nullptr, 0, c.type), n);
    }
    char small[4];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(uri_encode("ab c", -1, small, 3, 0), 6); // the whole length is reported
    EXPECT_EQ(bytes_of(small, 4), "abxx");             // no partial escape
}

TEST(StrEscape, UriDecodeRulesAndRoundTrip)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a%2", "a"},   {"a%2fb", "a/b"}, {"a+b", "a b"}, {"%zz", "zz"},
        {"%4gx", "x"},  {"%", ""},        {"%41%4A%4a", "AJJ"},
    };
    for (const auto& c : cases) {
        char out[32];
        int n = uri_decode(c.in, -1, out, 31);
        EXPECT_EQ(n, int(strlen(c.out))) << c.in;
        EXPECT_STREQ(out, c.out) << c.in;
    }
    char out[4];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(uri_decode("abcdef", -1, out, 3), 6);
    EXPECT_EQ(bytes_of(out, 4), std::string("abc\0", 4));

    std::mt19937 rng(17);
    for (int type : {1, 2}) { // the types that escape both '+' and '%'
        for (int i = 0; i < 200; i++) {
            std::string in = random_bytes(rng, int(rng() % 60));
            int need = uri_encode(in.data(), int(in.size()), nullptr, 0, type);
            std::vector<char> enc(size_t(need) + 1), dec(in.size() + 1);
            ASSERT_EQ(uri_encode(in.data(), int(in.size()), enc.data(), need, type), need);
            ASSERT_EQ(uri_decode(enc.data(), need, dec.data(), int(in.size())), int(in.size()));
            ASSERT_EQ(bytes_of(dec.data(), int(in.size())), in);
        }
    }
}

TEST(StrEscape, HtmlEscapeCountsTheWholeText)
{
    char out[64];
    int n = html_escape("<a href=\"x\">&</a>", -1, out, sizeof out);
    EXPECT_EQ(bytes_of(out, n), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
    EXPECT_EQ(html_escape("a<b", -1, out, 3), 6);
    EXPECT_EQ(out[0], 'a');
}

TEST(StrEncodeCore, DrainingSinkHandsOnEveryUnitWhole)
{
    struct Collect {
        std::string got;
        int fail_after = -1;
    } col;
    auto drain = [](encsink_t* s) -> int {
        auto* c = static_cast<Collect*>(s->ctx);
        if (c->fail_after == 0) return -1;
        if (c->fail_after > 0) c->fail_after--;
        c->got.append(reinterpret_cast<char*>(s->buf), size_t(s->used));
        return 0;
    };
    std::mt19937 rng(21);
    std::string in = random_bytes(rng, 500);
    uint8_t stage[16];
    encsink_t s;
    encsink_init(&s, stage, sizeof stage);
    s.drain = drain;
    s.drain_above = 9; // room for a 6-byte unit is always left
    s.ctx = &col;
    enc_json_escape(reinterpret_cast<const uint8_t*>(in.data()), int(in.size()), &s);
    int moved = encsink_finish(&s);
    EXPECT_EQ(moved, int(col.got.size()));
    EXPECT_EQ(moved, json_escape(in.data(), int(in.size()), nullptr, 0));
    std::vector<char> back(in.size());
    ASSERT_EQ(json_strip(col.got.data(), moved, back.data(), int(back.size())), int(in.size()));
    EXPECT_EQ(bytes_of(back.data(), int(back.size())), in);

    Collect failing;
    failing.fail_after = 2;
    encsink_init(&s, stage, sizeof stage);
    s.drain = drain;
    s.drain_above = 9;
    s.ctx = &failing;
    enc_html_escape(reinterpret_cast<const uint8_t*>(in.data()), int(in.size()), &s);
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(encsink_finish(&s), int(failing.got.size()));
}

TEST(StrOther, ValueByKeyReadsPlainAndQuotedValues)
{
    void* v = nullptr;
    int n = -1;
    const char* t = "name=\"a b\";x";
    EXPECT_EQ(str_value_by_key(t, -1, "name", &v, &n), 3);
    EXPECT_EQ(v, t + 6);
    EXPECT_EQ(str_value_by_key("name= a", -1, "name", &v, &n), 0);
    const char* u = "a=1, port \t=8080;b=2";
    EXPECT_EQ(str_value_by_key(u, -1, "port", &v, &n), 4);
    EXPECT_EQ(bytes_of(v, n), "8080");
    EXPECT_EQ(str_value_by_key("k='x\\'y'", -1, "k", &v, &n), 4); // backslash passes the quote
    EXPECT_EQ(str_value_by_key("k=\"open", -1, "k", &v, &n), 4);   // unterminated: to the end
    EXPECT_EQ(str_value_by_key(u, -1, "nokey", &v, &n), -100);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(str_value_by_key("port 8080", -1, "port", &v, &n), -101);
}

TEST(StrOther, TokenizeHonoursQuotes)
{
    void* list[4];
    int lens[4];
    const char* t = "a, \"b,c\" d";
    ASSERT_EQ(string_tokenize(t, -1, nullptr, 0, list, lens, 4), 3);
    EXPECT_EQ(bytes_of(list[0], lens[0]), "a");
    EXPECT_EQ(bytes_of(list[1], lens[1]), "\"b,c\"");
    EXPECT_EQ(bytes_of(list[2], lens[2]), "d");
    EXPECT_EQ(list[3], nullptr);
    EXPECT_EQ(string_tokenize(t, -1, nullptr, 0, list, lens, 2), 2);
    EXPECT_EQ(string_tokenize(";;x;;y;", -1, ";", 1, list, lens, 4), 2);
    EXPECT_EQ(bytes_of(list[1], lens[1]), "y");
    EXPECT_EQ(string_tokenize("", -1, nullptr, 0, list, lens, 4), 0);
    EXPECT_EQ(string_tokenize("a b", -1, "", 0, list, lens, 4), 0);
    EXPECT_EQ(string_tokenize("a b", -1, nullptr, 0, list, lens, 0), 0);
}

TEST(StrOther, RandomStringsUseTheirAlphabet)
{
    const char* plain = "123456789abcdefghkmnpqrstuvwxyz"; // no look-alike characters
    char buf[400];
    ASSERT_EQ(GetRandStr(buf, sizeof buf, 20), int(sizeof buf));
    for (char ch : buf) ASSERT_NE(strchr(plain, ch), nullptr);
    for (int i = 0; i < 20; i++) {
        GetRandStr(buf, 8, 2);
        EXPECT_TRUE(isalpha((unsigned char)buf[0])) << "a name starts with a letter";
    }
}

TEST(StrOther, CharsetConversionPassesBadBytesThrough)
{
    char out[16];
    int n = sizeof out;
    EXPECT_EQ(conv_charset("UTF-8", "ISO-8859-1", "a\xc3\xa9z", -1, out, &n), 4);
    EXPECT_EQ(bytes_of(out, n), "a\xe9z");
    n = sizeof out;
    EXPECT_EQ(conv_charset("UTF-8", "ISO-8859-1", "a\xffz", -1, out, &n), 3);
    EXPECT_EQ(bytes_of(out, n), "a\xffz");
    n = 2;
    EXPECT_EQ(conv_charset("ISO-8859-1", "UTF-8", "\xe9\xe9", 2, out, &n), 1); // output full
    EXPECT_EQ(bytes_of(out, n), "\xc3\xa9");
    n = sizeof out;
    EXPECT_EQ(conv_charset("NO-SUCH-SET", "UTF-8", "a", -1, out, &n), -100);
}
