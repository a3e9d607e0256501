// Feeds arbitrary bytes to the frame decoders (Base64, hexadecimal text,
// percent-encoding, JSON and backslash escapes), then checks that every
// encoding of the same bytes decodes back to them and that counting gives
// the lengths that appending does.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "frame.h"
#include "strutil.h"

namespace {

struct Frame {
    frame_t* f = frame_new(0);
    Frame() = default;
    Frame(const uint8_t* p, int n) { frame_put_nlast(f, p, n); }
    ~Frame() { frame_free(f); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    const uint8_t* bytes() const { return f->data ? f->data + f->start : nullptr; }
    std::string str() const { return f->len ? std::string(reinterpret_cast<const char*>(bytes()), size_t(f->len)) : std::string(); }
};

void check(bool ok)
{
    if (!ok) abort();
}

void decoders(const uint8_t* data, int n)
{
    {
        Frame in(data, n), out;
        frame_base64_to_bin(in.f, out.f);
        frame_base64_to_bin(in.f, nullptr);
        check(in.str() == out.str());
    }
    {
        Frame in(data, n), out;
        int r = frame_ascii_to_bin(in.f, out.f);
        check(r == 0 || r == -100 || (n == 0 && r == -1));
        check(out.f->len <= n / 2);
    }
    {
        Frame out;
        int r = frame_uri_decode(out.f, data, n);
        check(r == out.f->len && r <= n);
    }
    {
        Frame out;
        int r = frame_json_unescape(data, n, out.f);
        check(r == out.f->len && r == frame_json_unescape(data, n, nullptr));
    }
    {
        // The escape set comes from the first bytes.
        int setlen = n > 0 ? data[0] % 6 : 0;
        if (setlen > n - 1) setlen = n > 0 ? n - 1 : 0;
        Frame out;
        int r = frame_slash_strip(data, n, data + 1, setlen, out.f);
        check(r == out.f->len && r <= n);
    }
}

void round_trips(const uint8_t* data, int n)
{
    const std::string want(reinterpret_cast<const char*>(data), size_t(n));
    {
        Frame in(data, n), text, back;
        check(frame_bin_to_base64(in.f, text.f) == 0 && text.f->len == 4 * ((n + 2) / 3));
        check(frame_base64_to_bin(text.f, back.f) == 0 && back.str() == want);
        check(frame_bin_to_base64(in.f, nullptr) == 0 && frame_base64_to_bin(in.f, nullptr) == 0);
        check(in.str() == want);
    }
    {
        Frame in(data, n), text, back;
        check(frame_bin_to_ascii(in.f, text.f) == 0 && text.f->len == 2 * n);
        check(frame_ascii_to_bin(text.f, back.f) == 0 && back.str() == want);
    }
    for (int type : {1, 2}) { // sets that escape '+' and '%'
        const uint32_t* vec = uri_escape_vector(type);
        Frame text, back;
        int len = frame_uri_encode(text.f, data, n, vec);
        check(len == text.f->len && len == frame_uri_encode(nullptr, data, n, vec));
        check(frame_uri_decode(back.f, text.bytes(), text.f->len) == n && back.str() == want);
    }
    {
        Frame text, back;
        int len = frame_json_escape(data, n, text.f);
        check(len == text.f->len && len == frame_json_escape(data, n, nullptr));
        check(frame_json_unescape(text.bytes(), text.f->len, back.f) == n && back.str() == want);
    }
    {
        // Backslash escapes decode back when the set holds the backslash and
        // none of the letters that stand for other bytes.
        std::string set = "\\";
        for (int i = 1; i < n && i <= (data[0] % 8); i++)
            if (!strchr("uxbfnrt", data[i]) || data[i] == 0) set += char(data[i]);
        Frame text, back;
        int len = frame_slash_add(data, n, set.data(), int(set.size()), text.f);
        check(len == text.f->len);
        frame_slash_strip(text.bytes(), text.f->len, set.data(), int(set.size()), back.f);
        check(back.str() == want);
    }
    {
        Frame text;
        int len = frame_html_escape(data, n, text.f);
        check(len == text.f->len && len == frame_html_escape(data, n, nullptr) && len >= n);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536) return 0;
    decoders(data, int(size));
    if (size > 0) round_trips(data, int(size));
    return 0;
}
