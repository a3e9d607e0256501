// Frame transfers and text encodings: round trips of the encodings, staging
// of long escapes, file loads at the size limit, and socket transfers over
// loopback socket pairs and TCP.
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
#include <sys/socket.h>
#include <sys/stat.h>

#include <memory>
#include <random>
#include <string>
#include <thread>

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
    frame_put_nlast(f.get(), content.data(), int(content.size()));
    return f;
}

std::string text_of(const frame_t* f)
{
    return f->len ? std::string(reinterpret_cast<const char*>(f->data + f->start), size_t(f->len)) : "";
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng());
    return s;
}

void write_all(int fd, const std::string& s)
{
    for (size_t off = 0; off < s.size();) {
        ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n > 0) {
            off += size_t(n);
        } else if (errno != EINTR && errno != EAGAIN) {
            ADD_FAILURE() << strerror(errno);
            return;
        }
    }
}

struct SocketPair {
    Fd a, b;
    explicit SocketPair(bool nonblocking = true)
    {
        int fds[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a.reset(fds[0]);
        b.reset(fds[1]);
        sock_nonblock_set(a, nonblocking);
        sock_nonblock_set(b, nonblocking);
    }
};

/* A connected pair over the TCP loopback. */
struct TcpPair {
    Fd client, server;
    TcpPair()
    {
        Fd lst(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t sl = sizeof sa;
        auto* p = reinterpret_cast<sockaddr*>(&sa);
        EXPECT_TRUE(bind(lst, p, sl) == 0 && listen(lst, 1) == 0 && getsockname(lst, p, &sl) == 0);
        client.reset(socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(connect(client, p, sl), 0);
        server.reset(accept(lst, nullptr, nullptr));
    }
};

} // namespace

/* ===================== encodings ===================== */

TEST(FrameEncoding, Base64VectorsInPlaceAndIntoAnotherFrame)
{
    const std::pair<std::string, std::string> cases[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"fooba", "Zm9vYmE="}, {std::string("\xff\xfe\0", 3), "//4A"}};
    for (const auto& [bin, b64] : cases) {
        auto f = make("head room" + bin);
        frame_del_first(f.get(), 9); // written from the content's start
        ASSERT_EQ(frame_bin_to_base64(f.get(), nullptr), 0);
        EXPECT_EQ(text_of(f.get()), b64);
        EXPECT_EQ(f->data[f->start + f->len], 0) << "terminated";
        auto back = make("replaced");
        ASSERT_EQ(frame_base64_to_bin(f.get(), back.get()), 0);
        EXPECT_EQ(text_of(back.get()), bin);
    }
    auto f = make("Zm9v\r\nYm Fy=Zm9v"); // breaks and spaces skipped, '=' ends
    ASSERT_EQ(frame_base64_to_bin(f.get(), nullptr), 0);
    EXPECT_EQ(text_of(f.get()), "foobar");
}

TEST(FrameEncoding, HexAppendsUpperCaseAndDecodesPairs)
{
    auto bytes = make(std::string("\0\xab\x7f", 3));
    ASSERT_EQ(frame_bin_to_ascii(bytes.get(), bytes.get()), 0) << "onto itself";
    EXPECT_EQ(text_of(bytes.get()), std::string("\0\xab\x7f", 3) + "00AB7F");
    const struct { const char* in; int result; std::string out; } cases[] = {
        {"0a1B", 0, "\x0a\x1b"}, {"0a1", 0, "\x0a"}, {"0g", -100, ""}, {"0A1g", -100, "\x0a"}};
    for (const auto& c : cases) {
        auto t = make(c.in), b = make("<");
        EXPECT_EQ(frame_ascii_to_bin(t.get(), b.get()), c.result) << c.in;
        EXPECT_EQ(text_of(b.get()), "<" + c.out) << c.in;
    }
}

TEST(FrameEncoding, EscapesAppendCountAndDecodeBack)
{
    auto f = make();
    EXPECT_EQ(frame_html_escape("<a href=\"x\">&", -1, f.get()), 33);
    EXPECT_EQ(text_of(f.get()), "&lt;a href=&quot;x&quot;&gt;&amp;");

    const char* set = "\"'\\\n\t";
    const std::string src = "say \"hi\"\tto 'me'\\ \x01 end\n";
    auto s = make(), u = make();
    EXPECT_EQ(frame_slash_add(src.data(), -1, set, -1, s.get()), s->len);
    EXPECT_EQ(text_of(s.get()), "say \\\"hi\\\"\\tto \\'me\\'\\\\ \\u0001 end\\n");
    frame_slash_strip(s->data + s->start, s->len, set, -1, u.get());
    EXPECT_EQ(text_of(u.get()), src);
}

TEST(FrameEncoding, LongEscapesCrossTheStagingBufferIntact)
{
    // Six-byte units land on both sides of every 4 KiB flush.
    std::string src;
    for (int i = 0; i < 9000; i++) src += "\x01\"a"[i % 3];
    std::string ref(size_t(json_escape(src.data(), int(src.size()), nullptr, 0)), '\0');
    json_escape(src.data(), int(src.size()), ref.data(), int(ref.size()));
    auto f = make("head:");
    EXPECT_EQ(frame_json_escape(src.data(), int(src.size()), f.get()), int(ref.size()));
    EXPECT_EQ(text_of(f.get()), "head:" + ref);
    // Unescaping the frame's own content into it: the growth replaces the
    // block the source lies in.
    auto g = make(ref); // less than 128 bytes of tail room
    EXPECT_EQ(frame_json_unescape(g->data + g->start, g->len, g.get()), 9000);
    EXPECT_EQ(text_of(g.get()), ref + src);
}

TEST(FrameEncoding, UriDefaultSetAndDecodingRules)
{
    auto f = make();
    const char* url = "http://h/a b?c=1&d=%#\x7f\xc3";
    int n = frame_uri_encode(f.get(), url, int(strlen(url)), nullptr);
    EXPECT_EQ(text_of(f.get()), "http://h/a%20b%3Fc=1&d=%25%23%7F%C3");
    EXPECT_EQ(frame_uri_encode(nullptr, url, int(strlen(url)), nullptr), n);
    const std::pair<const char*, std::string> cases[] = {
        {"a%2", "a"}, {"a+b%41%62", "a bAb"}, {"%zq", "zq"}, {"%4zq", "q"}, {"x%", "x"}};
    for (const auto& [in, out] : cases) {
        auto d = make();
        EXPECT_EQ(frame_uri_decode(d.get(), in, -1), int(out.size())) << in;
        EXPECT_EQ(text_of(d.get()), out) << in;
    }
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
    f.reset();
    ASSERT_EQ(ftruncate(fd, FRAME_FILE_MAX + 1), 0);
    auto g = make("kept");
    EXPECT_EQ(frame_file_load(g.get(), path.c_str()), -100);
    EXPECT_EQ(text_of(g.get()), "kept");
}

TEST(FrameFile, LoadAppendsAndDumpWrites)
{
    TempDir dir;
    std::string in = dir / "in", out = dir / "out";
    ASSERT_TRUE(testfs::write_file(in, "file body"));
    ASSERT_EQ(chmod(in.c_str(), 0444), 0);
    auto f = make("head|");
    EXPECT_EQ(frame_file_load(f.get(), in.c_str()), 9);
    EXPECT_EQ(frame_file_dump(f.get(), out.c_str()), 14);
    EXPECT_EQ(testfs::read_file(out), "head|file body");
    EXPECT_EQ(frame_file_load(f.get(), (dir / "missing").c_str()), -2);
    EXPECT_EQ(frame_file_dump(f.get(), (dir / "no/dir").c_str()), -1);
}

TEST(FrameFile, WritesReportAFullDisk)
{
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not present";
    auto f = make("bytes that never reach the disk");
    EXPECT_EQ(frame_file_dump(f.get(), "/dev/full"), -1);
    FILE* fp = fopen("/dev/full", "wb");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(frame_file_write(f.get(), fp, -1), -1);
    fclose(fp);
}

TEST(FrameFile, StreamAndDescriptorTransfersAtPositions)
{
    TempDir dir;
    std::string path = dir / "pos";
    ASSERT_TRUE(testfs::write_file(path, "0123456789"));
    FILE* fp = fopen(path.c_str(), "rb+");
    ASSERT_NE(fp, nullptr);
    auto f = make("<"), w = make("AB");
    EXPECT_EQ(frame_file_read(f.get(), fp, 3, 4), 4);
    EXPECT_EQ(frame_file_read(f.get(), fp, -1, 100), 3) << "on from where it stood";
    EXPECT_EQ(text_of(f.get()), "<3456789");
    EXPECT_EQ(frame_file_read(f.get(), fp, 0, FRAME_FILE_MAX + 1), -100);
    EXPECT_EQ(frame_file_write(w.get(), fp, 8), 2);
    fclose(fp);
    Fd fd(open(path.c_str(), O_RDWR));
    EXPECT_EQ(frame_filefd_write(w.get(), fd, 0), 2);
    EXPECT_EQ(frame_filefd_read(f.get(), fd, 7, 5), 3);
    EXPECT_EQ(text_of(f.get()), "<34567897AB");
    EXPECT_EQ(testfs::read_file(path), "AB234567AB");
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Fd pr(p[0]), pw(p[1]);
    EXPECT_EQ(frame_filefd_read(f.get(), pr, 0, 1), -101) << "a pipe cannot seek";
}

/* ===================== sockets ===================== */

TEST(FrameTcp, RecvTakesWhatWaitsAndTimesOutOnAnySocket)
{
    SocketPair sp;
    std::string data = random_bytes(60000, 11);
    write_all(sp.b, data);
    auto f = make("prefix");
    int got = -1;
    EXPECT_EQ(frame_tcp_recv(f.get(), sp.a, 1000, &got), 60000);
    EXPECT_EQ(got, 60000);
    EXPECT_EQ(text_of(f.get()), "prefix" + data);
    for (bool nonblocking : {true, false}) { // a blocking socket must not outlast the limit
        SocketPair idle(nonblocking);
        EXPECT_EQ(frame_tcp_recv(f.get(), idle.a, 30, &got), 0);
        EXPECT_EQ(got, 0);
    }
}

TEST(FrameTcp, RecvWaitsForLateDataThenReportsClose)
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

TEST(FrameTcp, SendDeliversAllAndTimesOutWhenNobodyReads)
{
    TcpPair tp;
    std::string data = random_bytes(3 << 20, 5), received;
    auto f = make(data);
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; received.size() < data.size() && (n = read(tp.server, buf, sizeof buf)) > 0;)
            received.append(buf, size_t(n));
    });
    int sent = 0;
    EXPECT_EQ(frame_tcp_send(f.get(), tp.client, 0, &sent), int(data.size()));
    reader.join();
    EXPECT_TRUE(received == data);
    EXPECT_EQ(f->len, int(data.size())) << "the content stays";
    for (bool nonblocking : {true, false}) {
        SocketPair sp(nonblocking);
        auto big = make(std::string(8 << 20, 'z'));
        EXPECT_EQ(frame_tcp_send(big.get(), sp.a, 30, &sent), 0);
        EXPECT_GT(sent, 0);
    }
}

TEST(FrameTcp, NonBlockingCallsNeverWaitEvenOnBlockingSockets)
{
    for (bool nonblocking : {true, false}) {
        SocketPair sp(nonblocking);
        auto f = make();
        int got = -1, err = -1;
        EXPECT_EQ(frame_tcp_nbzc_recv(f.get(), sp.a, &got, &err), 0);
        EXPECT_EQ(err, EAGAIN);
        EXPECT_EQ(frame_tcp_nb_recv(f.get(), sp.a, &got, &err), 0);
        write_all(sp.b, "abc");
        EXPECT_EQ(frame_tcp_nbzc_recv(f.get(), sp.a, &got, &err), 3);
        EXPECT_EQ(text_of(f.get()), "abc");
        auto big = make(std::string(8 << 20, 'q'));
        int n = frame_tcp_nb_send(big.get(), sp.a, &got);
        EXPECT_TRUE(n > 0 && n < big->len && n == got) << n;
    }
    SocketPair sp;
    auto f = make("x");
    sp.b.reset(); // the peer is gone: an error, not a signal
    EXPECT_EQ(frame_tcp_nb_send(f.get(), sp.a, nullptr), -30);
}

TEST(FrameTcp, NbRecvAfterPeerClosedAppendsDataThenReportsClose)
{
    SocketPair sp, drop;
    std::string data = random_bytes(3000, 2);
    write_all(sp.b, data);
    sp.b.reset();
    auto f = make();
    int got = -1;
    EXPECT_EQ(frame_tcp_nb_recv(f.get(), sp.a, &got, nullptr), -20);
    EXPECT_EQ(got, 3000);
    EXPECT_EQ(text_of(f.get()), data);
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
    struct Job { int fd; std::string out; int last; } job{sp.a, {}, 0};
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
    EXPECT_TRUE(job.out == data);
}

TEST(FrameTcp, ReceiveBufferExhaustionIsAnError)
{
    SocketPair sp;
    write_all(sp.b, "data");
    int r = 0, err = 0;
    std::thread t([&] { // a fresh thread has no receive buffer yet
        kmem_fail_after(0);
        r = frame_tcp_nb_recv(nullptr, sp.a, nullptr, &err);
        kmem_fail_after(-1);
    });
    t.join();
    EXPECT_EQ(r, -30);
    EXPECT_EQ(err, ENOMEM);
}
