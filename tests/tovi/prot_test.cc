// Protocol streams: line and block reads, the formatted-output directives,
// the large-write path, the growing buffer, socket timeouts, protocol
// logging stamps, errors and rewind, merge and the three copy paths.
#include "rt_syscall_fakes.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "test_support.h"
#include "tovi/prot.h"

namespace {

using Sizes = std::vector<size_t>;

// prot_vprintf without the compiler's format check, for directives that
// plain printf does not know.
int vp(protstream *s, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = prot_vprintf(s, fmt, ap);
  va_end(ap);
  return r;
}

std::string collected(protstream *s) { return std::string(reinterpret_cast<char *>(s->buf), s->ptr - s->buf); }
std::string contents(int fd) { return ts::read_file("/proc/self/fd/" + std::to_string(fd)); }

// The lines prot_fgets gives with a buffer of size, "|" after each, until
// it gives none.
std::string lines(protstream *s, int size) {
  std::string out;
  char buf[64];
  for (int i = 0; i < 100 && prot_fgets(buf, size, s); i++) out += std::string(buf) + "|";
  return out;
}

// Streams on the socket pair (or anywhere else) that go with the test.
class Prot : public fakes::SocketPairTest {
 protected:
  void TearDown() override {
    for (protstream *s : made_) prot_free(s);
    close(file_);
    fakes::SocketPairTest::TearDown();
  }
  void SetUp() override {
    fakes::SocketPairTest::SetUp();
    ASSERT_GE(file_ = ts::scratch_file(content_), 0);
  }
  protstream *Keep(protstream *s) { return made_.emplace_back(s); }
  protstream *In() { return Keep(prot_socket(sv_[0], 0)); }
  protstream *Out() { return Keep(prot_socket(sv_[0], 1)); }
  void Peer(const std::string &bytes) { ASSERT_EQ(ssize_t(bytes.size()), ::send(sv_[1], bytes.data(), bytes.size(), 0)); }
  std::vector<protstream *> made_;
  std::string content_ = ts::pattern(100000);  // a file to copy ranges of
  int file_ = -1;
};

// ---- reading ----

TEST_F(Prot, LinesBySizeBlocksByFillAndReadErrors) {
  const char text[] = "abcdefghijk\nl\r\n";
  protstream *s = Keep(prot_frombuffer(text, sizeof text - 1));
  EXPECT_EQ("", lines(s, 1) + lines(s, 2));
  EXPECT_EQ("abcdefgh|ijk\n|l\r\n|", lines(s, 10));  // a line stops after its newline
  EXPECT_EQ(nullptr, prot_error(s));                 // the end of a buffer is no error
  EXPECT_EQ(1, s->eof);
  protstream *in = In();
  Peer("abcdef");
  char buf[16];
  EXPECT_EQ(0, prot_read(in, buf, 0));
  EXPECT_EQ(2, prot_read(in, buf, 2));
  EXPECT_EQ(0, memcmp(buf, "ab", 2));
  EXPECT_EQ(4, prot_read(in, buf, sizeof buf));  // only the rest of the buffer
  EXPECT_EQ(0, memcmp(buf, "cdef", 4));
  Peer("xyz");
  EXPECT_EQ('x', prot_getc(in));
  EXPECT_EQ(6u + 3u, prot_numbytes(in));
  shutdown(sv_[1], SHUT_WR);
  EXPECT_EQ(2, prot_read(in, buf, sizeof buf));
  EXPECT_EQ(0, prot_read(in, buf, sizeof buf));
  EXPECT_EQ(nullptr, prot_error(in));
  EXPECT_EQ(EOF, prot_getc(in));
  // A read error records the system's text; EAGAIN may be retried.
  protstream *sock = In(), *f = Keep(prot_file(sv_[0], 0));
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kRecv, EAGAIN);
  fakes::fail(fakes::kRead, EIO);
  EXPECT_EQ(EOF, prot_getc(sock));
  EXPECT_STREQ(strerror(EAGAIN), prot_error(sock));
  EXPECT_EQ(1, sock->retryable);
  EXPECT_EQ(EOF, prot_fill(f));
  EXPECT_STREQ(strerror(EIO), prot_error(f));
  EXPECT_EQ(0, f->retryable);
}

TEST_F(Prot, ReadFlushesThePartnerFirstAndTimesOutOnlyOnASilentPeer) {
  protstream *out = Out(), *in = In();
  prot_setflushonread(in, out);
  prot_settimeout(in, 1);
  prot_puts("QUESTION\r\n", out);
  EXPECT_EQ("", drain());
  std::thread peer([&] {
    char q[16];
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (::recv(sv_[1], q, sizeof q, 0) == 10) Peer("ANSWER\r\n");
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ("ANSWER\r\n|", lines(in, 32));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  peer.join();
  EXPECT_GE(waited, 1.0) << "the timeout fired only after a second of silence";
  EXPECT_LT(waited, 10.0);
  EXPECT_STREQ("idle for too long", prot_error(in));
}

// ---- formatted output ----

TEST_F(Prot, PrintfEveryDirective) {
  protstream *s = Keep(prot_tobuffer());
  EXPECT_EQ(0, prot_printf(s, "%d%%%s[%c|%d|%u|%o|%x|%X|%s]%ld %lu %lo %lx %lX", 5, "x", 'Q', -42, 4000000000u, 8u, 255u, 255u, "txt", -7L,
                           7UL, 8UL, 171UL, 171UL));
  // After %l an unknown letter means signed and is consumed; the terminator
  // never is.
  EXPECT_EQ(0, vp(s, "<%lq>end %l", -(LONG_MAX / 7), 9L));  // all of a long, whatever its width
  EXPECT_EQ("5%x[Q|-42|4000000000|10|ff|FF|txt]-7 7 10 ab AB<" + std::to_string(-(LONG_MAX / 7)) + ">end 9", collected(s));
  EXPECT_DEATH(vp(s, "%5d", 1), "") << "a directive the stream does not know stops the process";
}

// ---- writing, errors and rewind ----

TEST_F(Prot, LargeWriteGoesBehindAShortHeadAndABufferCollectsWritesFarLargerThanItself) {
  // 100 buffered + 396 more copied: the buffer piece stays under 500 bytes
  // with the 4 reserved bytes counted. A head of 600 is not copied to.
  const struct {
    size_t head, large;
    Sizes lens;
  } rows[] = {{100, 10000, {496, 10000 - 396}}, {600, 5000, {600, 5000}}};
  for (auto &r : rows) {
    protstream *out = Out();
    std::string head(r.head, 'h'), large = ts::pattern(r.large);
    fakes::arm(sv_[0]);
    ASSERT_EQ(0, prot_write(out, head.data(), uint32_t(head.size())) | prot_write(out, large.data(), uint32_t(r.large)));
    ASSERT_EQ(1u, fakes::calls(fakes::kWritev).size());
    EXPECT_EQ(r.lens, fakes::calls(fakes::kWritev)[0].lens);
    EXPECT_EQ(head + large, drain());
    EXPECT_EQ(r.head + r.large, prot_numbytes(out));
  }
  // A collecting stream takes writes far larger than its buffer; reset gives it back, merge moves it.
  protstream *s = Keep(prot_tobuffer());
  std::string want;
  for (int round = 0; round < 3; ++round) {
    std::string a(10000 + round, char('a' + round)), b(50, char('A' + round)), c(70000, char('0' + round));
    ASSERT_EQ(0, prot_write(s, a.data(), uint32_t(a.size())) | prot_write(s, b.data(), uint32_t(b.size())) | prot_puts(c.c_str(), s));
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(0, prot_putc('.', s));
    want += a + b + c + std::string(5000, '.');
  }
  ASSERT_EQ(0, prot_flush(s));
  EXPECT_EQ(want, collected(s));
  prot_resetbuf(s);
  EXPECT_EQ(0, prot_puts("again", s));
  EXPECT_EQ("again", collected(s));
  // Merging moves the source's bytes; an empty source writes nothing.
  protstream *dest = Keep(prot_tobuffer()), *src = s;
  prot_resetbuf(src);
  EXPECT_EQ(0, prot_merge(dest, src));
  EXPECT_EQ("", collected(dest));
  prot_puts("moved", src);
  EXPECT_EQ(0, prot_merge(dest, src));
  EXPECT_EQ("moved", collected(dest) + collected(src));
}

TEST_F(Prot, SetbufRulesPutcFlushingAFullBufferAndRewindAfterAFailedFlushOrOnInput) {
  protstream *out = Out();
  unsigned char small[16];
  ASSERT_EQ(0, prot_setbuf(out, small, sizeof small));  // 12 usable bytes
  for (int i = 0; i < 11; ++i) ASSERT_EQ(0, prot_putc('a' + i, out));
  EXPECT_EQ("", drain());
  ASSERT_EQ(0, prot_putc('l', out));
  EXPECT_EQ("abcdefghijkl", drain());
  ASSERT_EQ(0, prot_write(out, "0123456789ABCDEF", 16) | prot_flush(out));  // bufsz: copied through
  EXPECT_EQ("0123456789ABCDEF", drain());
  // A collecting stream copies a lent buffer, never reallocates it.
  protstream *s = Keep(prot_tobuffer());
  static unsigned char lent[64];
  ASSERT_EQ(0, prot_setbuf(s, lent, sizeof lent));
  std::string big(300, 'b');
  ASSERT_EQ(0, prot_puts("head:", s) | prot_write(s, big.data(), uint32_t(big.size())));
  EXPECT_EQ("head:" + big, collected(s));
  EXPECT_NE(lent, s->buf);
  EXPECT_EQ(1, s->bufalloced);
  s = Keep(prot_tobuffer());
  EXPECT_EQ(-1, prot_setbuf(s, nullptr, 4));    // no room beyond the reserved bytes
  EXPECT_EQ(0, prot_setbuf(s, nullptr, 2048));  // smaller: the 4096 stays
  EXPECT_EQ(4096u, s->bufsz);
  EXPECT_EQ(0, prot_setbuf(s, nullptr, 0));
  EXPECT_EQ(nullptr, s->buf);
  const char text[] = "unread";
  EXPECT_EQ(-1, prot_setbuf(Keep(prot_frombuffer(text, 6)), lent, sizeof lent));
  prot_free(nullptr);
  // Rewind starts over after a failed flush and on input, but not on a socket.
  int fd = ts::scratch_file(), in_fd = ts::scratch_file("line1\n");
  protstream *f = Keep(prot_file(fd, 1)), *in = Keep(prot_file(in_fd, 0)), *sock = Out();
  fakes::arm(fd);
  fakes::fail(fakes::kWritev, EIO);
  ASSERT_EQ(0, prot_puts("lost", f));
  EXPECT_EQ(EOF, prot_flush(f));
  EXPECT_EQ(1, f->eof);
  EXPECT_EQ(EOF, prot_puts("refused", f) & prot_putc('x', f) & prot_flush(f));
  EXPECT_EQ(1u, fakes::calls(fakes::kWritev).size());  // nothing more was tried
  ASSERT_EQ(0, prot_rewind(f));
  EXPECT_EQ(nullptr, prot_error(f));
  std::string want;
  for (int i = 0; i < 5000; ++i) {  // more than a buffer: the room count is sound
    want += char('0' + i % 10);
    ASSERT_EQ(0, prot_putc(want.back(), f));
  }
  ASSERT_EQ(0, prot_flush(f));
  EXPECT_EQ(want, contents(fd));
  EXPECT_EQ("line1\n|", lines(in, 16));
  ASSERT_EQ(0, prot_rewind(in));
  EXPECT_EQ("line1\n|", lines(in, 16));
  EXPECT_EQ(-1, prot_rewind(sock));
  EXPECT_STREQ(strerror(ESPIPE), prot_error(sock));
  EXPECT_EQ(EOF, prot_puts("x", sock));
  close(fd);
  close(in_fd);
}

// ---- protocol log ----

TEST_F(Prot, LogHasTheBytesAndStampsOnFillAndFlushOnceATimeIsSet) {
  int log = ts::scratch_file();
  protstream *in = In(), *out = Out();
  prot_setlog(in, log);
  prot_setlog(out, log);
  struct timeval mark;
  char buf[8];
  for (int stamped = 0; stamped < 2; ++stamped) {
    if (stamped) {
      prot_setlogtime(in, &mark);
      prot_setlogtime(out, &mark);
      mark.tv_sec -= 2;  // not quite two seconds have "passed": the microseconds borrow
      mark.tv_usec = 999999;
    }
    Peer("hello");
    EXPECT_EQ(5, prot_read(in, buf, sizeof buf));
    ASSERT_EQ(0, prot_puts("reply", out) | prot_flush(out));
  }
  std::string logged = contents(log);
  EXPECT_TRUE(std::regex_match(logged, std::regex("helloreply<1\\.[0-9]{3}<hello>0\\.0[0-9]{2}>reply"))) << logged;
  close(log);
}

// ---- file copies ----

TEST_F(Prot, CopyBuffersSmallRangesHandsLargeOnesToTransmitWithTheHeaderAndOnAFileKeepsTheMap) {
  protstream *out = Out();
  int log = ts::scratch_file();
  prot_setlog(out, log);
  std::string tail = "\r\n.\r\n", got, small = "[" + content_.substr(10, 20) + tail, want = "HDR " + content_.substr(5000, 60000) + tail;
  struct iovec post = {tail.data(), tail.size()};
  prot_puts("[", out);
  EXPECT_EQ(0, prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 10, 20, &post));
  EXPECT_EQ("", drain());
  prot_flush(out);
  EXPECT_EQ(small, drain());
  prot_puts("HDR ", out);
  std::thread reader([&] { got = ts::read_n(sv_[1], want.size()); });
  fakes::arm(sv_[0]);
  EXPECT_EQ(int(want.size()), prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 5000, 60000, &post));
  reader.join();
  EXPECT_EQ(want, got);
  ASSERT_EQ(1u, fakes::calls(fakes::kWritev).size());  // buffered header, range, trailer
  EXPECT_EQ((Sizes{4, 60000, 5}), fakes::calls(fakes::kWritev)[0].lens);
  EXPECT_EQ(out->buf, out->ptr);  // the header left the buffer
  EXPECT_EQ(small + want, contents(log));
  // A range past the end of the file is a short read; a failed stream then
  // copies nothing.
  EXPECT_EQ(-1, prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 99990, 20, nullptr));
  EXPECT_STREQ(strerror(ENODATA), prot_error(out));
  fakes::arm(sv_[0]);
  EXPECT_EQ(EOF, prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 0, 90000, nullptr));
  EXPECT_TRUE(fakes::calls().empty());
  // A file stream writes the range from a map that the caller keeps.
  int dst = ts::scratch_file();
  protstream *file = Keep(prot_file(dst, 1));
  tovi_map *map = nullptr;
  EXPECT_EQ(0, prot_copy(file, file_, &map, MAP_WHOLEFILE, 100, 50000, &post));
  EXPECT_EQ(100000u, map->fdlength);
  EXPECT_EQ(0, prot_copy(file, file_, &map, MAP_WHOLEFILE, 0, 30000, nullptr));  // reuses it
  prot_flush(file);
  EXPECT_EQ(content_.substr(100, 50000) + tail + content_.substr(0, 30000), contents(dst));
  map_free(map);
  close(dst);
  close(log);
}

}  // namespace
