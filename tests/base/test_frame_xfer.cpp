// Frame transfers and text encodings: round trips of every encoding, the
// staging of long escapes, file loads and dumps at the size limit, and
// socket transfers over loopback socket pairs and TCP.
#include "frame.h"

#include "memory.h"
#include "strutil.h"
#include "tmpdir.h"
#include "tsock.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using testfs::Fd;
using testfs::TempDir;

namespace {

struct FrameDeleter {
    void operator()(frame_t* f) const { frame_free(f); }
};
using FramePtr = std::unique_ptr<frame_t, FrameDeleter>;

FramePtr make(const std::string& content = {})
{
    FramePtr f(frame_new(0));
    if (!content.empty()) frame_put_nlast(f.get(), content.data(), int(content.size()));
    return f;
}

std::string text_of(const frame_t* f)
{
    if (!f || f->len == 0) return {};
    return std::string(reinterpret_cast<const char*>(f->data + f->start), size_t(f->len));
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng() & 0xFF);
    return s;
}

/* Every byte value once. */
std::string all_bytes()
{
    std::string s(256, '\0');
    for (int i = 0; i < 256; i++) s[size_t(i)] = char(i);
    return s;
}

struct SocketPair {
    Fd a, b;
    explicit SocketPair(bool nonblocking = true)
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair";
            return;
        }
        a.reset(fds[0]);
        b.reset(fds[1]);
        if (nonblocking) {
            sock_nonblock_set(a, 1);
            sock_nonblock_set(b, 1);
        }
    }
};

/* A connected TCP pair over the loopback interface. */
struct TcpPair {
    Fd client, server;
    TcpPair()
    {
        Fd lst(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t sl = sizeof sa;
        if (bind(lst, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(lst, 1) != 0 ||
            getsockname(lst, reinterpret_cast<sockaddr*>(&sa), &sl) != 0) {
            ADD_FAILURE() << "listen";
            return;
        }
        client.reset(socket(AF_INET, SOCK_STREAM, 0));
        if (connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) ADD_FAILURE() << "connect";
        server.reset(accept(lst, nullptr, nullptr));
    }
};

void write_all(int fd, const std::string& s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n > 0) {
            off += size_t(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            ADD_FAILURE() << "write: " << strerror(errno);
            return;
        }
    }
}

} // namespace

/* ===================== encodings ===================== */

TEST(FrameBase64, KnownVectorsInPlaceAndIntoAnotherFrame)
{
    const std::pair<std::string, std::string> cases[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [bin, b64] : cases) {
        auto f = make(bin);
        ASSERT_EQ(frame_bin_to_base64(f.get(), nullptr), 0);
        EXPECT_EQ(text_of(f.get()), b64);
        EXPECT_EQ(f->data[f->start + f->len], 0) << "terminated";
        ASSERT_EQ(frame_base64_to_bin(f.get(), nullptr), 0);
        EXPECT_EQ(text_of(f.get()), bin);

        auto src = make(bin), dst = make("old content to be replaced");
        frame_del_first(dst.get(), 4); // content written from dst's start
        ASSERT_EQ(frame_bin_to_base64(src.get(), dst.get()), 0);
        EXPECT_EQ(text_of(dst.get()), b64);
        EXPECT_EQ(text_of(src.get()), bin) << "source kept";
        auto back = make("stale");
        ASSERT_EQ(frame_base64_to_bin(dst.get(), back.get()), 0);
        EXPECT_EQ(text_of(back.get()), bin);
    }
    EXPECT_EQ(frame_bin_to_base64(nullptr, nullptr), -1);
    EXPECT_EQ(frame_base64_to_bin(nullptr, nullptr), -1);
    auto empty = make();
    EXPECT_EQ(frame_bin_to_base64(empty.get(), nullptr), 0);
    EXPECT_EQ(empty->len, 0);
}

TEST(FrameBase64, RandomBytesRoundTripAtEveryLengthAndHeadRoom)
{
    for (int n = 1; n < 300; n++) {
        std::string bin = random_bytes(size_t(n), unsigned(n));
        auto f = make(std::string(size_t(n % 150), 'h') + bin);
        frame_del_first(f.get(), n % 150); // head room of varying size
        ASSERT_EQ(frame_bin_to_base64(f.get(), nullptr), 0);
        ASSERT_EQ(f->len, 4 * ((n + 2) / 3));
        ASSERT_EQ(frame_base64_to_bin(f.get(), nullptr), 0);
        ASSERT_EQ(text_of(f.get()), bin) << n;
    }
}

TEST(FrameBase64, DecodingSkipsBreaksAndStopsAtPad)
{
    auto f = make("Zm9v\r\nYm Fy=Zm9v");
    ASSERT_EQ(frame_base64_to_bin(f.get(), nullptr), 0);
    EXPECT_EQ(text_of(f.get()), "foobar");
    auto pad = make("====");
    ASSERT_EQ(frame_base64_to_bin(pad.get(), nullptr), 0);
    EXPECT_EQ(pad->len, 0);
    EXPECT_EQ(pad->start, 0) << "emptied frames are reset";
}

TEST(FrameHex, AppendsUpperCaseDigitsAndDecodesPairs)
{
    auto bytes = make(std::string("\x00\xab\x7f", 3));
    auto text = make("x=");
    ASSERT_EQ(frame_bin_to_ascii(bytes.get(), text.get()), 0);
    EXPECT_EQ(text_of(text.get()), "x=00AB7F");

    const struct {
        const char* in;
        int result;
        std::string out;
    } cases[] = {
        {"0a1B", 0, "\x0a\x1b"},
        {"0a1", 0, "\x0a"},
        {"0g", -100, ""},
        {"0A1g", -100, "\x0a"}, // bytes before the bad digit stay
        {"ffFF", 0, "\xff\xff"},
    };
    for (const auto& c : cases) {
        auto t = make(c.in), b = make();
        EXPECT_EQ(frame_ascii_to_bin(t.get(), b.get()), c.result) << c.in;
        EXPECT_EQ(text_of(b.get()), c.out) << c.in;
    }

    std::string bin = all_bytes() + random_bytes(5000, 7);
    auto b = make(bin), t = make(), back = make();
    ASSERT_EQ(frame_bin_to_ascii(b.get(), t.get()), 0);
    ASSERT_EQ(frame_ascii_to_bin(t.get(), back.get()), 0);
    EXPECT_EQ(text_of(back.get()), bin);

    auto empty = make();
    EXPECT_EQ(frame_bin_to_ascii(empty.get(), t.get()), -1);
    EXPECT_EQ(frame_bin_to_ascii(b.get(), nullptr), -2);
    EXPECT_EQ(frame_ascii_to_bin(empty.get(), t.get()), -1);
    EXPECT_EQ(frame_ascii_to_bin(t.get(), nullptr), -2);
}

TEST(FrameHex, AppendingAFramesOwnHexToItself)
{
    auto f = make("\x12\x34");
    ASSERT_EQ(frame_bin_to_ascii(f.get(), f.get()), 0);
    EXPECT_EQ(text_of(f.get()), "\x12\x34"
                                "1234");
}

TEST(FrameEscapes, FirstOutputAllocatesHalfRoomedBlock)
{
    auto f = make();
    EXPECT_EQ(frame_html_escape("<", -1, f.get()), 4);
    EXPECT_EQ(f->size, 128);
    EXPECT_EQ(f->start, 64);
    EXPECT_EQ(text_of(f.get()), "&lt;");
}

TEST(FrameEscapes, JsonAndSlashRoundTripsAndCounts)
{
    std::string all = all_bytes();
    auto esc = make(), back = make();
    int n = frame_json_escape(all.data(), int(all.size()), esc.get());
    EXPECT_EQ(n, esc->len);
    EXPECT_EQ(frame_json_escape(all.data(), int(all.size()), nullptr), n) << "count only";
    EXPECT_EQ(frame_json_unescape(esc->data + esc->start, esc->len, back.get()), 256);
    EXPECT_EQ(text_of(back.get()), all);
    EXPECT_EQ(frame_json_escape("\"\x01", 2, nullptr), 8);

    const char* set = "\"'\\\n\t";
    auto s = make(), u = make();
    const std::string src = "say \"hi\"\tto 'me'\\ \x01 end\n";
    int m = frame_slash_add(src.data(), -1, set, -1, s.get());
    EXPECT_EQ(text_of(s.get()), "say \\\"hi\\\"\\tto \\'me\\'\\\\ \\u0001 end\\n");
    EXPECT_EQ(m, s->len);
    frame_slash_strip(s->data + s->start, s->len, set, -1, u.get());
    EXPECT_EQ(text_of(u.get()), src);

    auto plain = make();
    EXPECT_EQ(frame_slash_add("a\"b", 3, nullptr, 0, plain.get()), 3) << "no set: unchanged";
    EXPECT_EQ(text_of(plain.get()), "a\"b");
    EXPECT_EQ(frame_slash_add("abc", 3, set, -1, nullptr), 0);
    EXPECT_EQ(frame_slash_strip(nullptr, 3, set, -1, plain.get()), 0);
}

TEST(FrameEscapes, LongOutputCrossesTheStagingBufferIntact)
{
    // Units of six bytes land on both sides of every 4 KiB flush.
    std::string src;
    for (int i = 0; i < 3000; i++) src += (i % 3 == 0) ? '\x01' : (i % 3 == 1) ? '"' : 'a';
    std::vector<char> ref(size_t(json_escape(src.data(), int(src.size()), nullptr, 0)));
    json_escape(src.data(), int(src.size()), ref.data(), int(ref.size()));
    auto f = make("head:");
    int n = frame_json_escape(src.data(), int(src.size()), f.get());
    ASSERT_EQ(size_t(n), ref.size());
    EXPECT_EQ(text_of(f.get()), "head:" + std::string(ref.begin(), ref.end()));

    auto h = make();
    std::string amps(2000, '&');
    EXPECT_EQ(frame_html_escape(amps.data(), int(amps.size()), h.get()), 10000);
    EXPECT_EQ(frame_html_escape(amps.data(), int(amps.size()), nullptr), 10000);
    EXPECT_EQ(h->len, 10000);
    EXPECT_EQ(text_of(h.get()).find_first_not_of("&amp;"), std::string::npos);
}

TEST(FrameEscapes, EscapingAFramesOwnContentIntoItself)
{
    // The source lies in the block that the growth replaces.
    auto f = make(std::string(3000, '"'));
    int n = frame_json_escape(f->data + f->start, f->len, f.get());
    EXPECT_EQ(n, 6000);
    std::string expect(3000, '"');
    for (int i = 0; i < 3000; i++) expect += "\\\"";
    EXPECT_EQ(text_of(f.get()), expect);
}

TEST(FrameUri, EncodeDecodeAndTheDefaultSet)
{
    auto f = make();
    const char* url = "http://h/a b?c=1&d=%#\x7f\xc3";
    int n = frame_uri_encode(f.get(), url, int(strlen(url)), nullptr);
    EXPECT_EQ(text_of(f.get()), "http://h/a%20b%3Fc=1&d=%25%23%7F%C3");
    EXPECT_EQ(n, f->len);
    EXPECT_EQ(frame_uri_encode(nullptr, url, int(strlen(url)), nullptr), n);
    EXPECT_EQ(frame_uri_encode(f.get(), url, 0, nullptr), 0);

    const struct {
        const char* in;
        std::string out;
    } cases[] = {
        {"a%2", "a"}, {"a+b%41%62", "a bAb"}, {"%zq", "zq"}, {"%4zq", "q"}, {"%", ""}, {"x%4", "x"},
    };
    for (const auto& c : cases) {
        auto d = make();
        EXPECT_EQ(frame_uri_decode(d.get(), c.in, -1), int(c.out.size())) << c.in;
        EXPECT_EQ(text_of(d.get()), c.out) << c.in;
    }
    EXPECT_EQ(frame_uri_decode(nullptr, "a", 1), -1);
    EXPECT_EQ(frame_uri_decode(f.get(), nullptr, 1), -2);

    // Escaping everything but the unreserved bytes makes any input decode back.
    std::string bin = all_bytes() + random_bytes(3000, 3);
    auto e = make(), d = make();
    frame_uri_encode(e.get(), bin.data(), int(bin.size()), uri_escape_vector(2));
    EXPECT_EQ(frame_uri_decode(d.get(), e->data + e->start, e->len), int(bin.size()));
    EXPECT_EQ(text_of(d.get()), bin);
}

TEST(FrameHtml, EscapesTheFourMarkupCharacters)
{
    auto f = make();
    const std::string expect = "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;";
    EXPECT_EQ(frame_html_escape("<a href=\"x\">&</a>", -1, f.get()), int(expect.size()));
    EXPECT_EQ(text_of(f.get()), expect);
    EXPECT_EQ(frame_html_escape("", -1, f.get()), 0);
}

TEST(FrameTime, AppendsNineteenCharactersOfLocalTime)
{
    auto f = make("at ");
    time_t zero = 0;
    ASSERT_EQ(frame_add_time(f.get(), &zero), 0);
    EXPECT_EQ(text_of(f.get()), "at 0000-00-00 00:00:00");

    time_t t = 1700000000;
    char ref[32];
    ASSERT_EQ(str_datetime(&t, ref, sizeof ref, 0), 0);
    auto g = make();
    ASSERT_EQ(frame_add_time(g.get(), &t), 0);
    EXPECT_EQ(text_of(g.get()), ref);
    ASSERT_EQ(frame_add_time(g.get(), nullptr), 0);
    EXPECT_EQ(g->len, 38);
    EXPECT_EQ(frame_add_time(nullptr, &t), -1);
}

/* ===================== files ===================== */

TEST(FrameFile, LoadAcceptsExactly64MiBAndRefusesOneByteMore)
{
    TempDir dir;
    std::string path = dir / "big";
    Fd fd(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(ftruncate(fd, FRAME_FILE_MAX), 0);
    auto f = make();
    EXPECT_EQ(frame_file_load(f.get(), path.c_str()), FRAME_FILE_MAX);
    EXPECT_EQ(f->len, FRAME_FILE_MAX);
    f.reset();
    ASSERT_EQ(ftruncate(fd, FRAME_FILE_MAX + 1), 0);
    auto g = make("kept");
    EXPECT_EQ(frame_file_load(g.get(), path.c_str()), -100);
    EXPECT_EQ(text_of(g.get()), "kept");
}

TEST(FrameFile, LoadAppendsAndDumpWritesTheContent)
{
    TempDir dir;
    std::string in = dir / "in", out = dir / "out";
    ASSERT_TRUE(testfs::write_file(in, "file body"));
    auto f = make("head|");
    EXPECT_EQ(frame_file_load(f.get(), in.c_str()), 9);
    EXPECT_EQ(text_of(f.get()), "head|file body");
    EXPECT_EQ(frame_file_dump(f.get(), out.c_str()), 14);
    EXPECT_EQ(testfs::read_file(out), "head|file body");

    EXPECT_EQ(frame_file_load(f.get(), (dir / "missing").c_str()), -2);
    EXPECT_EQ(frame_file_load(nullptr, in.c_str()), -1);
    EXPECT_EQ(frame_file_load(f.get(), nullptr), -1);
    auto empty = make();
    EXPECT_EQ(frame_file_dump(empty.get(), out.c_str()), -1);
    EXPECT_EQ(frame_file_dump(f.get(), (dir / "no/such/dir").c_str()), -1);
}

TEST(FrameFile, LoadReadsFilesItMayNotWrite)
{
    TempDir dir;
    std::string path = dir / "ro";
    ASSERT_TRUE(testfs::write_file(path, "read only"));
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    auto f = make();
    EXPECT_EQ(frame_file_load(f.get(), path.c_str()), 9);
    // Root may write any plain file; a read-only sysfs attribute refuses it too.
    const char* sys = "/sys/devices/system/cpu/online";
    if (access(sys, R_OK) != 0) GTEST_SKIP() << sys << " not present";
    auto g = make();
    EXPECT_GT(frame_file_load(g.get(), sys), 0);
    EXPECT_EQ(text_of(g.get()).back(), '\n');
}

TEST(FrameFile, DumpReportsAFullDisk)
{
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not present";
    auto f = make("bytes that never reach the disk");
    EXPECT_EQ(frame_file_dump(f.get(), "/dev/full"), -1);
    FILE* fp = fopen("/dev/full", "wb");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(frame_file_write(f.get(), fp, -1), -1);
    fclose(fp);
}

TEST(FrameFile, StreamAndDescriptorReadsAndWritesAtPositions)
{
    TempDir dir;
    std::string path = dir / "pos";
    ASSERT_TRUE(testfs::write_file(path, "0123456789"));

    FILE* fp = fopen(path.c_str(), "rb+");
    ASSERT_NE(fp, nullptr);
    auto f = make("<");
    EXPECT_EQ(frame_file_read(f.get(), fp, 3, 4), 4);
    EXPECT_EQ(frame_file_read(f.get(), fp, -1, 100), 3) << "continues where it stood";
    EXPECT_EQ(text_of(f.get()), "<3456789");
    EXPECT_EQ(frame_file_read(f.get(), fp, -1, 10), 0) << "end of file";
    EXPECT_EQ(frame_file_read(f.get(), fp, 0, FRAME_FILE_MAX + 1), -100);
    EXPECT_EQ(frame_file_read(nullptr, fp, 0, 1), -1);
    auto w = make("AB");
    EXPECT_EQ(frame_file_write(w.get(), fp, 8), 2);
    fclose(fp);
    EXPECT_EQ(testfs::read_file(path), "01234567AB");

    Fd fd(open(path.c_str(), O_RDWR));
    auto g = make();
    EXPECT_EQ(frame_filefd_read(g.get(), fd, 8, 5), 2);
    EXPECT_EQ(text_of(g.get()), "AB");
    EXPECT_EQ(frame_filefd_write(w.get(), fd, 0), 2);
    EXPECT_EQ(testfs::read_file(path), "AB234567AB");
    EXPECT_EQ(frame_filefd_read(g.get(), -1, 0, 1), -1);
    EXPECT_EQ(frame_filefd_write(w.get(), -1, 0), -1);
    EXPECT_EQ(frame_filefd_read(g.get(), fd, 0, FRAME_FILE_MAX + 1), -100);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Fd pr(p[0]), pw(p[1]);
    EXPECT_EQ(frame_filefd_read(g.get(), pr, 0, 1), -101) << "a pipe cannot seek";
    EXPECT_EQ(frame_filefd_write(w.get(), pw, 0), -101);
}

/* ===================== sockets ===================== */

TEST(FrameTcp, RecvAppendsWhatWaitsStraightIntoTheTail)
{
    SocketPair sp;
    std::string data = random_bytes(60000, 11);
    write_all(sp.b, data);
    auto f = make("prefix");
    int got = -1;
    EXPECT_EQ(frame_tcp_recv(f.get(), sp.a, 1000, &got), int(data.size()));
    EXPECT_EQ(got, int(data.size()));
    EXPECT_EQ(text_of(f.get()), "prefix" + data);

    EXPECT_EQ(frame_tcp_recv(f.get(), -1, 10, &got), -70);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(frame_tcp_recv(nullptr, sp.a, 10, &got), 0);
}

TEST(FrameTcp, RecvTimesOutOnBlockingAndNonBlockingSockets)
{
    for (bool nonblocking : {true, false}) {
        SocketPair sp(nonblocking);
        auto f = make();
        int got = -1;
        EXPECT_EQ(frame_tcp_recv(f.get(), sp.a, 30, &got), 0) << nonblocking;
        EXPECT_EQ(got, 0);
        EXPECT_EQ(f->len, 0);
    }
}

TEST(FrameTcp, RecvWaitsForDataThatComesLaterAndReportsClose)
{
    TcpPair tp;
    std::thread writer([&] { write_all(tp.client, "late bytes"); });
    auto f = make();
    int got = 0;
    EXPECT_EQ(frame_tcp_recv(f.get(), tp.server, 0, &got), 10);
    writer.join();
    EXPECT_EQ(text_of(f.get()), "late bytes");
    tp.client.reset();
    EXPECT_EQ(frame_tcp_recv(f.get(), tp.server, 5000, &got), -20);
}

TEST(FrameTcp, SendDeliversTheWholeContentAndKeepsIt)
{
    TcpPair tp;
    std::string data = random_bytes(3 << 20, 5);
    auto f = make(data);
    std::string received;
    std::thread reader([&] {
        char buf[65536];
        while (received.size() < data.size()) {
            ssize_t n = read(tp.server, buf, sizeof buf);
            if (n <= 0) break;
            received.append(buf, size_t(n));
        }
    });
    int sent = 0;
    EXPECT_EQ(frame_tcp_send(f.get(), tp.client, 0, &sent), int(data.size()));
    reader.join();
    EXPECT_EQ(sent, int(data.size()));
    EXPECT_EQ(received == data, true);
    EXPECT_EQ(f->len, int(data.size())) << "the content stays";
}

TEST(FrameTcp, SendTimesOutWhenNobodyReads)
{
    for (bool nonblocking : {true, false}) {
        SocketPair sp(nonblocking);
        auto f = make(std::string(8 << 20, 'z'));
        int sent = -1;
        EXPECT_EQ(frame_tcp_send(f.get(), sp.a, 30, &sent), 0) << nonblocking;
        EXPECT_GT(sent, 0);
        EXPECT_LT(sent, f->len);
    }
    auto f = make("x");
    EXPECT_EQ(frame_tcp_send(f.get(), -1, 10, nullptr), -70);
}

TEST(FrameTcp, NonBlockingReceivesNeverWait)
{
    // Blocking descriptors included: the non-blocking calls must still return.
    for (bool nonblocking : {true, false}) {
        SocketPair sp(nonblocking);
        auto f = make();
        int got = -1, err = -1;
        EXPECT_EQ(frame_tcp_nbzc_recv(f.get(), sp.a, &got, &err), 0);
        EXPECT_EQ(err, EAGAIN);
        EXPECT_EQ(frame_tcp_nb_recv(f.get(), sp.a, &got, &err), 0);
        write_all(sp.b, "abc");
        EXPECT_EQ(frame_tcp_nbzc_recv(f.get(), sp.a, &got, &err), 3);
        EXPECT_EQ(got, 3);
        EXPECT_EQ(text_of(f.get()), "abc");
    }
    SocketPair sp;
    EXPECT_EQ(frame_tcp_nbzc_recv(nullptr, sp.a, nullptr, nullptr), -2);
    auto f = make();
    EXPECT_EQ(frame_tcp_nbzc_recv(f.get(), -1, nullptr, nullptr), -1);
    EXPECT_EQ(frame_tcp_nb_recv(f.get(), -1, nullptr, nullptr), -1);
}

TEST(FrameTcp, NbRecvAfterPeerClosedAppendsDataThenReportsClose)
{
    SocketPair sp;
    std::string data = random_bytes(3000, 2);
    write_all(sp.b, data);
    sp.b.reset();
    auto f = make();
    int got = -1;
    EXPECT_EQ(frame_tcp_nb_recv(f.get(), sp.a, &got, nullptr), -20);
    EXPECT_EQ(got, 3000);
    EXPECT_EQ(text_of(f.get()), data);

    SocketPair drop;
    write_all(drop.b, data);
    EXPECT_EQ(frame_tcp_nb_recv(nullptr, drop.a, &got, nullptr), 3000) << "read and dropped";
    EXPECT_EQ(sock_unread_data(drop.a), 0);
}

TEST(FrameTcp, NbRecvRunsOnASmallWorkerStack)
{
    // The 512 KiB receive buffer must not live on the caller's stack.
    SocketPair sp(false);
    std::string data = random_bytes(1 << 20, 9);
    std::thread writer([&] {
        write_all(sp.b, data);
        sp.b.reset();
    });
    struct Job {
        int fd;
        std::string out;
        int last = 0;
    } job{sp.a, {}, 0};
    auto run = [](void* p) -> void* {
        auto* j = static_cast<Job*>(p);
        FramePtr f(frame_new(0));
        while (j->last >= 0 && sock_read_ready(j->fd, 5000) > 0)
            j->last = frame_tcp_nb_recv(f.get(), j->fd, nullptr, nullptr);
        j->out = text_of(f.get());
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t th;
    int rc = pthread_create(&th, &attr, run, &job);
    pthread_attr_destroy(&attr);
    if (rc == 0) pthread_join(th, nullptr);
    writer.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(job.last, -20);
    EXPECT_EQ(job.out == data, true);
}

TEST(FrameTcp, NbSendStopsWhenTheSocketIsFullAndKeepsTheContent)
{
    SocketPair sp;
    auto small = make("hello");
    int sent = -1;
    EXPECT_EQ(frame_tcp_nb_send(small.get(), sp.a, &sent), 5);
    EXPECT_EQ(sent, 5);
    auto big = make(std::string(8 << 20, 'q'));
    int n = frame_tcp_nb_send(big.get(), sp.a, &sent);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, big->len);
    EXPECT_EQ(n, sent);
    EXPECT_EQ(big->len, 8 << 20);
    EXPECT_EQ(frame_tcp_nb_send(big.get(), -1, &sent), -1);
    auto empty = make();
    EXPECT_EQ(frame_tcp_nb_send(empty.get(), sp.a, &sent), 0);

    sp.b.reset(); // the peer is gone: an error, not a signal
    EXPECT_EQ(frame_tcp_nb_send(small.get(), sp.a, &sent), -30);
}

TEST(FrameTcp, ReceiveBufferExhaustionIsAnError)
{
    SocketPair sp;
    write_all(sp.b, "data");
    int r = 0, err = 0;
    // A fresh thread has no receive buffer yet, so its first one fails to come.
    std::thread t([&] {
        kmem_fail_after(0);
        r = frame_tcp_nb_recv(nullptr, sp.a, nullptr, &err);
        kmem_fail_after(-1);
    });
    t.join();
    EXPECT_EQ(r, -30);
    EXPECT_EQ(err, ENOMEM);
}
