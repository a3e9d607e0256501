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

TEST(StrCopy, BoundedCopiesAndTrims)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(str_secpy(buf, 3, "abcdef", -1), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'x'); // dstlen + 1 bytes written, no more
    EXPECT_STREQ(str_secat(buf, 2, "efgh", -1), "abcef");

    for (auto [in, out] : {std::pair{"   ", ""}, {" a b ", "a b"}, {"\t\r\nx\v\f", "x"}}) {
        char t[32];
        str_cpy(t, in);
        EXPECT_STREQ(str_trim(t), out) << in;
    }
    const char* t = " [x y] ";
    int n = 99;
    EXPECT_EQ(string_trim(t, -1, "[]", 2, &n), t + 2);
    EXPECT_EQ(n, 3);
    n = 99;
    EXPECT_EQ(string_trim(t + 5, -1, "[]", -1, &n), t + 7); // nothing left: *plen untouched
    EXPECT_EQ(n, 99);
}

TEST(StrCompare, ByteAndCaselessComparisonsMatchTheirSign)
{
    struct Case {
        const char *a, *b;
        int n, cmp, ncmp, casecmp, ncasecmp;
    } cases[] = {
        {"abc", "abc", 10, 0, 0, 0, 0}, // equal strings shorter than n compare equal
        {"abd", "abc", 2, 1, 0, 1, 0},
        {"abc", "ABD", 3, 1, 1, -1, -1},
        {"\xff", "a", 1, 1, 1, 1, 1}, // bytes compare unsigned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(sign(str_cmp(c.a, c.b)), c.cmp);
        EXPECT_EQ(sign(str_ncmp(c.a, c.b, c.n)), c.ncmp);
        EXPECT_EQ(sign(str_casecmp(c.a, c.b)), c.casecmp);
        EXPECT_EQ(sign(str_ncasecmp(c.a, c.b, c.n)), c.ncasecmp);
    }

    char abc[] = "abc", abcd[] = "abcd", ABC[] = "ABC", nul[] = "ab\0x", nul2[] = "ab\0y";
    ckstr_t a{abc, 3}, b{abcd, 4}, A{ABC, 3}, e{abc, 0}, z{nul, 4}, z2{nul2, 3};
    EXPECT_LT(ckstr_cmp(&a, &b), 0); // an equal prefix orders by length
    EXPECT_EQ(ckstr_casecmp(&a, &A), 0);
    EXPECT_LT(ckstr_cmp(&e, &a), 0);
    EXPECT_LT(ckstr_cmp(&z, &a), 0); // the NUL side is smaller
    EXPECT_EQ(ckstr_cmp(&z, &z2), 0); // a NUL on both sides ends the comparison
}

TEST(StrNumber, ParsersReportConsumedAndValue)
{
    uint32_t v = 0;
    EXPECT_EQ(str_hextou("1F", -1, &v), 2);
    EXPECT_EQ(v, 31u);
    EXPECT_EQ(str_hextou("1G", -1, &v), 1);
    EXPECT_EQ(str_atou("12345", 2, &v), 2);
    EXPECT_EQ(v, 12u);
    EXPECT_EQ(str_atou("-5", -1, &v), 0);

    struct ToInt {
        const char* text;
        int base;
        long val;
        int term; // offset of *pterm
    } to_int[] = {
        {"-12x", 10, -12, 3}, {"  +7", 10, 7, 4}, {"\t-", 10, 0, 0}, {"12ab", 10, 1311, 4}, {"101z", 2, 5, 3},
    };
    for (const auto& c : to_int) {
        char* term = nullptr;
        EXPECT_EQ(str_to_int(c.text, -1, c.base, &term), c.val) << c.text;
        EXPECT_EQ(term - c.text, c.term) << c.text;
    }
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
    std::vector<uint32_t> values = {0, 127, 128, 16383, 16384, 0xFFFFFFFFu};
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

TEST(StrTime, DateTextsBothWays)
{
    setenv("TZ", "UTC", 1);
    tzset();
    char buf[64];
    time_t t = 784111777;
    EXPECT_EQ(str_time2gmt(&t, buf, 35, 0), -1);
    EXPECT_EQ(str_datetime(&t, buf, 19, 0), -1);
    EXPECT_EQ(str_gmt2time("  sunday, 06-nov-94 08:49:37 GMT", -1, nullptr), t);
    EXPECT_EQ(str_gmt2time("94/11/06 08.49.37", -1, nullptr), t);
    EXPECT_EQ(str_gmt2time("2024", -1, nullptr), 1704067200); // 2024-01-01 00:00:00
    EXPECT_EQ(str_gmt2time("1950-01-01", -1, nullptr), 0);
    EXPECT_EQ(str_gmt2time("Sun, 06 Nov 1994", -1, nullptr), 0);

    for (time_t t2 : {time_t(0), time_t(951782400), time_t(1700000000), time_t(2000000000)}) {
        ASSERT_EQ(str_time2gmt(&t2, buf, 36, int(t2 % 3 == 0)), 0); // both formats
        EXPECT_EQ(str_gmt2time(buf, -1, nullptr), t2) << buf;
        ASSERT_EQ(str_datetime(&t2, buf, sizeof buf, 0), 0);
        EXPECT_EQ(str_gmt2time(buf, -1, nullptr), t2) << buf;
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
}

TEST(StrSkip, SkipRoutinesStopWhereDocumented)
{
    const char* t = "  key = \"a,b\" , c\\,d;e";
    int len = int(strlen(t));
    EXPECT_EQ(skipTo(t, len, ",", 1), t + 10);          // inside the quotes
    EXPECT_EQ(skipQuoteTo(t, len, ",", 1), t + 14);     // quotes passed over
    EXPECT_EQ(skipQuoteTo(t, len, "\"", 1), t + 8);     // quote in the set is found
    EXPECT_EQ(skipEscTo(t + 16, -1, ",;", -1), t + 20); // "\," passed over
    const char* e = t + len - 1; // 'e'
    EXPECT_EQ(rskipTo(e, 3, "=", 1), e - 3); // the byte before the range
    EXPECT_EQ(rskipOver(e, len, "de;", 3), e - 3);

    const char* peer = "(a(b)c)d";
    EXPECT_EQ(skipToPeer(peer, -1, '(', ')'), peer + 6);
    EXPECT_EQ(skipToPeer(peer, 5, '(', ')'), peer + 5); // unbalanced: the end
}

TEST(StrEncode, HexAndBase64Rules)
{
    uint8_t out[8];
    int n = 0;
    EXPECT_EQ(ascii_to_bin("0a1", -1, out, &n), 1); // odd last digit dropped
    EXPECT_EQ(ascii_to_bin("0a0g", -1, out, &n), -100);
    EXPECT_EQ(n, 1); // bytes before the bad digit stay

    char buf[16];
    int room = 6; // 4 chars + 2 for the line-break allowance: not above
    EXPECT_EQ(bin_to_base64("ab", 2, buf, &room), -100);
    for (auto [in, want, rc] : {std::tuple{"Zm9v\r\nYmFy", "foobar", 0}, // white space skipped
                                {"Zm9v=YmFy", "foo", 0},                 // '=' ends
                                {"Zm*9v", "foo", 1},                     // other bytes skipped and reported
                                {"Zm9vY", "foo", 1}}) {                  // a lone final symbol
        n = sizeof buf;
        EXPECT_EQ(base64_to_bin(in, -1, buf, &n), rc) << in;
        EXPECT_EQ(bytes_of(buf, n), want) << in;
    }
    n = 5; // below 3 * ceil(8 / 4)
    EXPECT_EQ(base64_to_bin("Zm9vYmFy", -1, buf, &n), -100);
    // The room exactly fits the decoded bytes: no terminator may go after them.
    char exact[4] = {'x', 'x', 'x', 'x'};
    n = 3;
    EXPECT_EQ(base64_to_bin("Zm9v", 4, exact, &n), 0);
    EXPECT_EQ(bytes_of(exact, 4), "foox");
}

TEST(StrEncode, HexAndBase64RandomRoundTrips)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 300; i++) {
        std::string b = random_bytes(rng, 1 + int(rng() % 200));
        std::vector<char> hex(2 * b.size()), back(b.size() + 4);
        ASSERT_EQ(bin_to_ascii(b.data(), int(b.size()), hex.data(), nullptr, int(i & 1)), int(hex.size()));
        ASSERT_EQ(ascii_to_bin(hex.data(), int(hex.size()), back.data(), nullptr), int(b.size()));
        ASSERT_EQ(bytes_of(back.data(), int(b.size())), b);

        int enclen = 4 * int((b.size() + 2) / 3);
        std::vector<char> enc(size_t(enclen) + 2 * ((b.size() / 3 + 18) / 19) + 8);
        int room = int(enc.size());
        ASSERT_EQ(bin_to_base64(b.data(), int(b.size()), enc.data(), &room), 0);
        ASSERT_EQ(room, enclen);
        ASSERT_EQ(enc[size_t(enclen)], 0);
        int n = int(back.size());
        ASSERT_EQ(base64_to_bin(enc.data(), enclen, back.data(), &n), 0);
        ASSERT_EQ(bytes_of(back.data(), n), b);

        // In place both ways, as the frame encoders use them.
        std::vector<uint8_t> inplace(static_cast<size_t>(enclen));
        memcpy(inplace.data(), b.data(), b.size());
        ASSERT_EQ(enc_base64(inplace.data(), int(b.size()), inplace.data()), enclen);
        ASSERT_EQ(bytes_of(inplace.data(), enclen), bytes_of(enc.data(), enclen));
        int skipped = 5;
        ASSERT_EQ(enc_base64_decode(inplace.data(), enclen, inplace.data(), &skipped), int(b.size()));
        ASSERT_EQ(skipped, 0);
        ASSERT_EQ(bytes_of(inplace.data(), int(b.size())), b);
    }
}

namespace {
// Decoders on one call shape, for the table below.
int strip_x(const char* in, char* out, int room) { return string_strip(in, -1, "x", 1, out, room); }
int json_dec(const char* in, char* out, int room) { return json_strip(in, -1, out, room); }
int uri_dec(const char* in, char* out, int room) { return uri_decode(in, -1, out, room); }
} // namespace

TEST(StrEscape, DecodersFollowTheirRules)
{
    // What the round trips below cannot reach: escapes the encoders never write.
    struct Case {
        int (*dec)(const char*, char*, int);
        const char* in;
        std::string out;
    } cases[] = {
        {strip_x, "a\\\"b", "a\\\"b"},  // decoded quote not in the set: both kept
        {strip_x, "\\u0041z", "Az"},    // numbers are written whatever the set
        {strip_x, "a\\x", "ax"},        // fewer than three bytes from the backslash: a letter
        {strip_x, "\\uzz", "\\uzz"},    // 'u' without digits stands for itself
        {strip_x, "\\u1234", "\x34\x12"}, {strip_x, "end\\", "end\\"},
        {json_dec, "\\/", "/"},         {json_dec, "\\x41\\x4142", "ABA"}, {json_dec, "\\65\\0x", {"A\0x", 3}},
        {json_dec, "\\x10000z", "z"},   {json_dec, "a\\qb", "ab"},        {json_dec, "ab\\u", "ab"},
        {uri_dec, "a%2", "a"},          {uri_dec, "a+b", "a b"},          {uri_dec, "%zz", "zz"},
        {uri_dec, "%4gx", "x"},
    };
    for (const auto& c : cases) {
        char out[64];
        EXPECT_EQ(bytes_of(out, c.dec(c.in, out, sizeof out)), c.out) << c.in;
        if (c.dec != strip_x) { // string_strip has no counting mode
            EXPECT_EQ(c.dec(c.in, nullptr, 0), int(c.out.size())) << c.in;
        }
    }
}

TEST(StrEscape, EncodersStopBeforeAUnitThatDoesNotFit)
{
    char out[8];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(string_escape("ab\"", -1, "\"", -1, out, 3), 2);
    EXPECT_EQ(json_escape("ab\n", -1, out, 3), 2);
    EXPECT_EQ(uri_encode("ab c", -1, out, 3, 0), 6); // the whole length is reported
    EXPECT_EQ(html_escape("a<b", -1, out, 3), 6);
    EXPECT_EQ(bytes_of(out, 4), "abxx");              // no partial escape
    EXPECT_EQ(uri_decode("abcdef", -1, out, 3), 6);
    EXPECT_EQ(bytes_of(out, 4), std::string("abc\0", 4)); // and a terminator after the room

    EXPECT_EQ(json_escape("\"\x01", 2, nullptr, 0), 8);
    char big[64];
    int n = uri_encode("a b/c:d&e?#%+\xe9", -1, big, sizeof big, 0);
    EXPECT_EQ(bytes_of(big, n), "a%20b/c:d&e%3F%23%25+%E9");
    n = html_escape("<a href=\"x\">&</a>", -1, big, sizeof big);
    EXPECT_EQ(bytes_of(big, n), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
}

TEST(StrEscape, EscapeThenUnescapeGivesTheInputBack)
{
    std::mt19937 rng(9);
    for (int i = 0; i < 300; i++) {
        std::string in = random_bytes(rng, int(rng() % 60), i % 2 ? "" : "abu x\\\"'/\n\t\x01\x1f;#\xc3\xa9");
        std::vector<char> esc(in.size() * 6 + 1), back(in.size() + 1);
        auto got = [&](int len) { return bytes_of(back.data(), len); };
        // Any set without letters and with the backslash survives escape + strip.
        std::string set = "\\";
        for (int k = int(rng() % 6); k > 0; k--) set += "\"'/\n\t\r\b\f\x01\x1f;:!#"[rng() % 15];
        int n = string_escape(in.data(), int(in.size()), set.data(), int(set.size()), esc.data(), int(esc.size()));
        ASSERT_EQ(got(string_strip(esc.data(), n, set.data(), int(set.size()), back.data(), int(in.size()))), in);

        n = json_escape(in.data(), int(in.size()), esc.data(), int(esc.size()));
        ASSERT_EQ(n, json_escape(in.data(), int(in.size()), nullptr, 0));
        for (int k = 0; k < n; k++) ASSERT_GE(uint8_t(esc[size_t(k)]), 32) << "control byte left unescaped";
        ASSERT_EQ(got(json_strip(esc.data(), n, back.data(), int(in.size()))), in);

        int type = 1 + i % 2; // the types that escape both '+' and '%'
        n = uri_encode(in.data(), int(in.size()), esc.data(), int(esc.size()), type);
        ASSERT_EQ(got(uri_decode(esc.data(), n, back.data(), int(in.size()))), in);
    }
}

TEST(StrEncodeCore, DrainingSinkHandsOnEveryUnitWhole)
{
    struct Collect {
        std::string got;
        int drains_left; // then the drain fails
    };
    std::mt19937 rng(21);
    std::string in = random_bytes(rng, 500);
    uint8_t stage[16];
    auto run = [&](Collect* c, void (*enc)(const uint8_t*, int, encsink_t*)) {
        encsink_t s;
        encsink_init(&s, stage, sizeof stage);
        s.drain_above = 9; // room for a 6-byte unit is always left
        s.ctx = c;
        s.drain = [](encsink_t* k) -> int {
            auto* col = static_cast<Collect*>(k->ctx);
            if (col->drains_left-- == 0) return -1;
            col->got.append(reinterpret_cast<char*>(k->buf), size_t(k->used));
            return 0;
        };
        enc(reinterpret_cast<const uint8_t*>(in.data()), int(in.size()), &s);
        int moved = encsink_finish(&s);
        EXPECT_EQ(moved, int(c->got.size()));
        return s.stopped;
    };
    Collect all{"", 1 << 20}, failing{"", 2};
    EXPECT_FALSE(run(&all, enc_json_escape));
    std::vector<char> back(in.size());
    ASSERT_EQ(json_strip(all.got.data(), int(all.got.size()), back.data(), int(back.size())), int(in.size()));
    EXPECT_EQ(bytes_of(back.data(), int(back.size())), in);
    EXPECT_TRUE(run(&failing, enc_html_escape));
}

TEST(StrOther, KeyValuesAndTokensHonourQuotes)
{
    void* v = nullptr;
    int n = -1;
    const char* t = "name=\"a b\";x";
    EXPECT_EQ(str_value_by_key(t, -1, "name", &v, &n), 3);
    EXPECT_EQ(v, t + 6);
    EXPECT_EQ(str_value_by_key("name= a", -1, "name", &v, &n), 0);
    EXPECT_EQ(str_value_by_key("a=1, port \t=8080;b=2", -1, "port", &v, &n), 4);
    EXPECT_EQ(bytes_of(v, n), "8080");
    EXPECT_EQ(str_value_by_key("k='x\\'y'", -1, "k", &v, &n), 4); // backslash passes the quote
    EXPECT_EQ(str_value_by_key("a=1", -1, "nokey", &v, &n), -100);
    EXPECT_EQ(str_value_by_key("port 8080", -1, "port", &v, &n), -101);

    void* list[4];
    int lens[4];
    t = "a, \"b,c\" d";
    ASSERT_EQ(string_tokenize(t, -1, nullptr, 0, list, lens, 4), 3);
    EXPECT_EQ(bytes_of(list[0], lens[0]), "a");
    EXPECT_EQ(bytes_of(list[1], lens[1]), "\"b,c\"");
    EXPECT_EQ(bytes_of(list[2], lens[2]), "d");
    EXPECT_EQ(string_tokenize(t, -1, nullptr, 0, list, lens, 2), 2);
    EXPECT_EQ(string_tokenize(";;x;;y;", -1, ";", 1, list, lens, 4), 2);
}

TEST(StrOther, RandomStringsAndCharsetConversion)
{
    const char* plain = "123456789abcdefghkmnpqrstuvwxyz"; // no look-alike characters
    char buf[400];
    ASSERT_EQ(GetRandStr(buf, sizeof buf, 20), int(sizeof buf));
    for (char ch : buf) ASSERT_NE(strchr(plain, ch), nullptr);
    GetRandStr(buf, 8, 2);
    EXPECT_TRUE(isalpha((unsigned char)buf[0])) << "a name starts with a letter";

    char out[16];
    int n = sizeof out;
    EXPECT_EQ(conv_charset("UTF-8", "ISO-8859-1", "a\xc3\xa9\xffz", -1, out, &n), 5);
    EXPECT_EQ(bytes_of(out, n), "a\xe9\xffz"); // a bad byte passes through
    n = 2;
    EXPECT_EQ(conv_charset("ISO-8859-1", "UTF-8", "\xe9\xe9", 2, out, &n), 1); // output full
    EXPECT_EQ(bytes_of(out, n), "\xc3\xa9");
    EXPECT_EQ(conv_charset("NO-SUCH-SET", "UTF-8", "a", -1, out, &n), -100);
}
