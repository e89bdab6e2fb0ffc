// Protocol streams: line and block reads, the formatted-output directives,
// the large-write path, the growing buffer, socket timeouts, protocol
// logging stamps, errors and rewind, merge and the three copy paths.
#include "rt_syscall_fakes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "tovi/prot.h"

namespace {

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

std::string slurp_fd(int fd) {
  std::string out;
  char buf[65536];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  return out;
}

int temp_file() {
  char name[] = "/tmp/rt_protXXXXXX";
  int fd = mkstemp(name);
  unlink(name);
  return fd;
}

using ProtSocket = fakes::SocketPairTest;

// ---- reading ----

TEST(ProtRead, FgetsSizesAndLineEnds) {
  const char text[] = "abcdefghijk\nl\r\n";
  protstream *s = prot_frombuffer(text, sizeof text - 1);
  char buf[16];
  EXPECT_EQ(nullptr, prot_fgets(buf, 1, s));
  EXPECT_EQ(nullptr, prot_fgets(buf, 2, s));
  ASSERT_EQ(buf, prot_fgets(buf, 10, s));
  EXPECT_STREQ("abcdefgh", buf);
  EXPECT_STREQ("ijk\n", prot_fgets(buf, 10, s));  // stops after the newline
  EXPECT_STREQ("l\r\n", prot_fgets(buf, 10, s));
  EXPECT_EQ(nullptr, prot_fgets(buf, 10, s));
  EXPECT_EQ(nullptr, prot_error(s));  // the end of a buffer is no error
  EXPECT_EQ(1, s->eof);
  prot_free(s);
}

TEST_F(ProtSocket, BlockReadsTakeWhatOneFillBrings) {
  protstream *in = prot_socket(sv_[0], 0);
  ASSERT_EQ(6, ::send(sv_[1], "abcdef", 6, 0));
  char buf[16];
  EXPECT_EQ(0, prot_read(in, buf, 0));
  EXPECT_EQ(2, prot_read(in, buf, 2));
  EXPECT_EQ(0, memcmp(buf, "ab", 2));
  EXPECT_EQ(4, prot_read(in, buf, sizeof buf));  // only the rest of the buffer
  EXPECT_EQ(0, memcmp(buf, "cdef", 4));
  ASSERT_EQ(3, ::send(sv_[1], "xyz", 3, 0));
  EXPECT_EQ('x', prot_getc(in));
  EXPECT_EQ(6u + 3u, prot_numbytes(in));
  shutdown(sv_[1], SHUT_WR);
  EXPECT_EQ(2, prot_read(in, buf, sizeof buf));
  EXPECT_EQ(0, prot_read(in, buf, sizeof buf));
  EXPECT_EQ(nullptr, prot_error(in));
  EXPECT_EQ(EOF, prot_getc(in));
  prot_free(in);
}

TEST_F(ProtSocket, ReadErrorRecordsTheSystemTextAndAgainIsRetryable) {
  protstream *in = prot_socket(sv_[0], 0);
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kRecv, EAGAIN);
  EXPECT_EQ(EOF, prot_getc(in));
  EXPECT_EQ(1, in->retryable);
  EXPECT_STREQ(strerror(EAGAIN), prot_error(in));
  prot_free(in);

  protstream *f = prot_file(sv_[0], 0);
  fakes::fail(fakes::kRead, EIO);
  EXPECT_EQ(EOF, prot_fill(f));
  EXPECT_STREQ(strerror(EIO), prot_error(f));
  EXPECT_EQ(0, f->retryable);
  prot_free(f);
}

TEST_F(ProtSocket, SilentPeerIsIdleForTooLongAfterTheTimeout) {
  protstream *in = prot_socket(sv_[0], 0);
  prot_settimeout(in, 1);
  EXPECT_EQ(1, prot_gettimeout(in));
  char buf[32];
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, prot_fgets(buf, sizeof buf, in));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 10.0);
  EXPECT_STREQ("idle for too long", prot_error(in));
  prot_free(in);
}

TEST_F(ProtSocket, TimeoutDoesNotFireWhenDataArrives) {
  protstream *in = prot_socket(sv_[0], 0);
  prot_settimeout(in, 5);
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::send(sv_[1], "late\n", 5, 0);
  });
  char buf[32];
  EXPECT_STREQ("late\n", prot_fgets(buf, sizeof buf, in));
  peer.join();
  prot_free(in);
}

TEST_F(ProtSocket, FlushOnReadSendsThePartnerFirst) {
  protstream *out = prot_socket(sv_[0], 1);
  protstream *in = prot_socket(sv_[0], 0);
  prot_setflushonread(in, out);
  prot_puts("QUESTION\r\n", out);
  EXPECT_EQ("", drain(sv_[1]));
  std::thread peer([&] {
    char q[16];
    ssize_t n = ::recv(sv_[1], q, sizeof q, 0);
    if (n == 10)
      ::send(sv_[1], "ANSWER\r\n", 8, 0);
  });
  char buf[32];
  EXPECT_STREQ("ANSWER\r\n", prot_fgets(buf, sizeof buf, in));
  peer.join();
  prot_free(in);
  prot_free(out);
}

// ---- formatted output ----

TEST(ProtPrintf, ThreeBytesFromNumberPercentAndText) {
  protstream *s = prot_tobuffer();
  EXPECT_EQ(0, prot_printf(s, "%d%%%s", 5, "x"));
  EXPECT_EQ("5%x", collected(s));
  prot_free(s);
}

TEST(ProtPrintf, EveryDirective) {
  protstream *s = prot_tobuffer();
  EXPECT_EQ(0, prot_printf(s, "[%c|%d|%u|%o|%x|%X|%s]", 'Q', -42, 4000000000u, 8u, 255u, 255u, "txt"));
  EXPECT_EQ("[Q|-42|4000000000|10|ff|FF|txt]", collected(s));
  prot_resetbuf(s);
  EXPECT_EQ(0, prot_printf(s, "%ld %lu %lo %lx %lX", -7L, 7UL, 8UL, 171UL, 171UL));
  EXPECT_EQ("-7 7 10 ab AB", collected(s));
  prot_resetbuf(s);
  EXPECT_EQ(0, prot_printf(s, "no directives at all"));
  EXPECT_EQ("no directives at all", collected(s));
  prot_free(s);
}

TEST(ProtPrintf, LongWithUnknownLetterIsSignedAndConsumesIt) {
  protstream *s = prot_tobuffer();
  EXPECT_EQ(0, vp(s, "<%lq>", -123456789012L));
  EXPECT_EQ("<-123456789012>", collected(s));
  prot_resetbuf(s);
  EXPECT_EQ(0, vp(s, "end %l", 9L));  // the terminator is never consumed
  EXPECT_EQ("end 9", collected(s));
  prot_free(s);
}

TEST(ProtPrintfDeathTest, UnknownDirectiveStopsTheProcess) {
  protstream *s = prot_tobuffer();
  EXPECT_DEATH(vp(s, "%5d", 1), "");
  prot_free(s);
}

// ---- writing ----

TEST_F(ProtSocket, LargeWriteGoesOutBehindA500ByteHead) {
  protstream *out = prot_socket(sv_[0], 1);
  std::string small(100, 's'), large(10000, 'L');
  fakes::arm(sv_[0]);
  ASSERT_EQ(0, prot_write(out, small.data(), 100));
  ASSERT_EQ(0, prot_write(out, large.data(), 10000));
  auto w = fakes::calls(fakes::kWritev);
  ASSERT_EQ(1u, w.size());
  // 100 buffered + 396 more copied: the buffer piece stays under 500 bytes
  // with the 4 reserved bytes counted.
  EXPECT_EQ((std::vector<size_t>{496, 10000 - 396}), w[0].lens);
  EXPECT_EQ(small + large, drain(sv_[1]));
  EXPECT_EQ(10100u, prot_numbytes(out));
  prot_free(out);
}

TEST_F(ProtSocket, FullBufferHeadIsNotCopiedOnLargeWrites) {
  protstream *out = prot_socket(sv_[0], 1);
  std::string head(600, 'h'), large(5000, 'L');
  fakes::arm(sv_[0]);
  ASSERT_EQ(0, prot_write(out, head.data(), head.size()));
  ASSERT_EQ(0, prot_write(out, large.data(), large.size()));
  auto w = fakes::calls(fakes::kWritev);
  ASSERT_EQ(1u, w.size());
  EXPECT_EQ((std::vector<size_t>{600, 5000}), w[0].lens);
  EXPECT_EQ(head + large, drain(sv_[1]));
  prot_free(out);
}

TEST_F(ProtSocket, PutcFlushesWhenTheBufferFills) {
  protstream *out = prot_socket(sv_[0], 1);
  unsigned char small[16];
  ASSERT_EQ(0, prot_setbuf(out, small, sizeof small));  // 12 usable bytes
  for (int i = 0; i < 11; ++i)
    ASSERT_EQ(0, prot_putc('a' + i, out));
  EXPECT_EQ("", drain(sv_[1]));
  ASSERT_EQ(0, prot_putc('l', out));
  EXPECT_EQ("abcdefghijkl", drain(sv_[1]));
  ASSERT_EQ(0, prot_write(out, "0123456789ABCDEF", 16));  // bufsz: copied through
  ASSERT_EQ(0, prot_flush(out));
  EXPECT_EQ("0123456789ABCDEF", drain(sv_[1]));
  prot_free(out);
}

TEST(ProtBuffer, CollectsWritesFarLargerThanItsBuffer) {
  protstream *s = prot_tobuffer();
  std::string want;
  for (int round = 0; round < 3; ++round) {
    std::string a(10000 + round, static_cast<char>('a' + round));
    std::string b(50, static_cast<char>('A' + round));
    std::string c(70000, static_cast<char>('0' + round));
    ASSERT_EQ(0, prot_write(s, a.data(), a.size()));
    ASSERT_EQ(0, prot_write(s, b.data(), b.size()));
    ASSERT_EQ(0, prot_puts(c.c_str(), s));
    for (int i = 0; i < 5000; ++i)
      ASSERT_EQ(0, prot_putc('.', s));
    want += a + b + c + std::string(5000, '.');
  }
  ASSERT_EQ(0, prot_flush(s));
  EXPECT_EQ(want, collected(s));
  // Resetting gives the grown buffer back.
  prot_resetbuf(s);
  EXPECT_EQ(4096u, s->bufsz);
  EXPECT_EQ(0, prot_puts("again", s));
  EXPECT_EQ("again", collected(s));
  prot_free(s);
}

TEST(ProtBuffer, LentBufferIsCopiedNotReallocated) {
  protstream *s = prot_tobuffer();
  static unsigned char lent[64];
  ASSERT_EQ(0, prot_setbuf(s, lent, sizeof lent));
  std::string big(300, 'b');
  ASSERT_EQ(0, prot_puts("head:", s));
  ASSERT_EQ(0, prot_write(s, big.data(), big.size()));
  EXPECT_EQ("head:" + big, collected(s));
  EXPECT_NE(lent, s->buf);
  EXPECT_EQ(1, s->bufalloced);
  prot_free(s);
}

TEST(ProtBuffer, SetbufRules) {
  protstream *s = prot_tobuffer();
  EXPECT_EQ(-1, prot_setbuf(s, nullptr, 4));
  EXPECT_EQ(0, prot_setbuf(s, nullptr, 2048));  // smaller: the 4096 stays
  EXPECT_EQ(4096u, s->bufsz);
  EXPECT_EQ(0, prot_setbuf(s, nullptr, 0));
  EXPECT_EQ(nullptr, s->buf);
  prot_free(s);
  const char text[] = "unread";
  protstream *in = prot_frombuffer(text, 6);
  unsigned char other[32];
  EXPECT_EQ(-1, prot_setbuf(in, other, sizeof other));
  prot_free(in);
  prot_free(nullptr);
}

TEST(ProtMerge, EmptySourceWritesNothing) {
  protstream *dest = prot_tobuffer();
  protstream *src = prot_tobuffer();
  EXPECT_EQ(0, prot_merge(dest, src));
  EXPECT_EQ("", collected(dest));
  prot_puts("moved", src);
  EXPECT_EQ(0, prot_merge(dest, src));
  EXPECT_EQ("moved", collected(dest));
  EXPECT_EQ("", collected(src));
  prot_free(src);
  prot_free(dest);
}

// ---- errors and rewind ----

TEST(ProtRewind, AfterAFailedFlushWritingWorksAgain) {
  int fd = temp_file();
  protstream *s = prot_file(fd, 1);
  fakes::arm(fd);
  fakes::fail(fakes::kWritev, EIO);
  ASSERT_EQ(0, prot_puts("lost", s));
  EXPECT_EQ(EOF, prot_flush(s));
  EXPECT_EQ(1, s->eof);
  EXPECT_EQ(EOF, prot_puts("refused", s));
  EXPECT_EQ(EOF, prot_putc('x', s));
  EXPECT_EQ(EOF, prot_flush(s));
  EXPECT_EQ(1u, fakes::calls(fakes::kWritev).size());  // nothing more was tried
  ASSERT_EQ(0, prot_rewind(s));
  EXPECT_EQ(nullptr, prot_error(s));
  for (int i = 0; i < 5000; ++i)  // more than a buffer: the room count is sound
    ASSERT_EQ(0, prot_putc('0' + i % 10, s));
  ASSERT_EQ(0, prot_flush(s));
  std::string want;
  for (int i = 0; i < 5000; ++i)
    want += static_cast<char>('0' + i % 10);
  EXPECT_EQ(want, slurp_fd(fd));
  fakes::disarm();
  prot_free(s);
  close(fd);
}

TEST_F(ProtSocket, RewindOfASocketFailsWithTheSystemText) {
  protstream *s = prot_socket(sv_[0], 1);
  EXPECT_EQ(-1, prot_rewind(s));
  EXPECT_STREQ(strerror(ESPIPE), prot_error(s));
  EXPECT_EQ(EOF, prot_puts("x", s));
  prot_free(s);
}

TEST(ProtRewind, InputStartsOverFromTheBeginning) {
  int fd = temp_file();
  ASSERT_EQ(6, ::write(fd, "line1\n", 6));
  lseek(fd, 0, SEEK_SET);
  protstream *s = prot_file(fd, 0);
  char buf[16];
  EXPECT_STREQ("line1\n", prot_fgets(buf, sizeof buf, s));
  EXPECT_EQ(nullptr, prot_fgets(buf, sizeof buf, s));
  ASSERT_EQ(0, prot_rewind(s));
  EXPECT_STREQ("line1\n", prot_fgets(buf, sizeof buf, s));
  prot_free(s);
  close(fd);
}

// ---- protocol log ----

TEST_F(ProtSocket, LogStampsOnFillAndFlush) {
  int log = temp_file();
  protstream *in = prot_socket(sv_[0], 0);
  protstream *out = prot_socket(sv_[0], 1);
  struct timeval mark;
  prot_setlog(in, log);
  prot_setlog(out, log);
  prot_setlogtime(in, &mark);
  prot_setlogtime(out, &mark);
  mark.tv_sec -= 2;  // two seconds and a bit have "passed"
  ASSERT_EQ(5, ::send(sv_[1], "hello", 5, 0));
  EXPECT_EQ('h', prot_getc(in));
  prot_puts("reply", out);
  ASSERT_EQ(0, prot_flush(out));
  std::string logged = slurp_fd(log);
  EXPECT_TRUE(std::regex_match(logged, std::regex("<2\\.0[0-9]{2}<hello>0\\.0[0-9]{2}>reply"))) << logged;
  prot_free(in);
  prot_free(out);
  close(log);
}

TEST_F(ProtSocket, LogWithoutTimeHasOnlyTheBytes) {
  int log = temp_file();
  protstream *in = prot_socket(sv_[0], 0);
  protstream *out = prot_socket(sv_[0], 1);
  prot_setlog(in, log);
  prot_setlog(out, log);
  ASSERT_EQ(3, ::send(sv_[1], "abc", 3, 0));
  EXPECT_EQ('a', prot_getc(in));
  prot_puts("xyz", out);
  prot_flush(out);
  EXPECT_EQ("abcxyz", slurp_fd(log));
  prot_free(in);
  prot_free(out);
  close(log);
}

// ---- file copies ----

class ProtCopy : public ProtSocket {
 protected:
  void SetUp() override {
    ProtSocket::SetUp();
    file_ = temp_file();
    content_.resize(100000);
    for (size_t i = 0; i < content_.size(); ++i)
      content_[i] = static_cast<char>('a' + i % 23);
    ASSERT_EQ(100000, ::write(file_, content_.data(), content_.size()));
  }
  void TearDown() override {
    close(file_);
    ProtSocket::TearDown();
  }
  int file_;
  std::string content_;
};

TEST_F(ProtCopy, SmallRangeIsBufferedWithoutFlushing) {
  protstream *out = prot_socket(sv_[0], 1);
  std::string tail = "!\r\n";
  struct iovec post = {tail.data(), tail.size()};
  prot_puts("[", out);
  EXPECT_EQ(0, prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 10, 20, &post));
  EXPECT_EQ("", drain(sv_[1]));
  prot_flush(out);
  EXPECT_EQ("[" + content_.substr(10, 20) + tail, drain(sv_[1]));
  // A range past the end of the file is a short read.
  EXPECT_EQ(-1, prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 99990, 20, nullptr));
  EXPECT_NE(nullptr, prot_error(out));
  prot_free(out);
}

TEST_F(ProtCopy, SocketStreamHandsTheRangeToTransmitWithBufferedHeader) {
  protstream *out = prot_socket(sv_[0], 1);
  int log = temp_file();
  prot_setlog(out, log);
  std::string tail = "\r\n.\r\n";
  struct iovec post = {tail.data(), tail.size()};
  prot_puts("HDR ", out);
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    while (got.size() < 4 + 60000 + tail.size()) {
      ssize_t n = ::recv(sv_[1], buf, sizeof buf, 0);
      if (n <= 0)
        break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  fakes::arm(sv_[0]);
  EXPECT_EQ(static_cast<int>(4 + 60000 + tail.size()),
            prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 5000, 60000, &post));
  reader.join();
  EXPECT_EQ("HDR " + content_.substr(5000, 60000) + tail, got);
  auto w = fakes::calls(fakes::kWritev);  // buffered header, range, trailer
  ASSERT_EQ(1u, w.size());
  EXPECT_EQ((std::vector<size_t>{4, 60000, 5}), w[0].lens);
  EXPECT_EQ(out->buf, out->ptr);  // the header left the buffer
  EXPECT_EQ("HDR " + content_.substr(5000, 60000) + tail, slurp_fd(log));
  prot_free(out);
  close(log);
}

TEST_F(ProtCopy, FileStreamWritesTheRangeFromAMapTheCallerKeeps) {
  int dst = temp_file();
  protstream *out = prot_file(dst, 1);
  tovi_map *map = nullptr;
  std::string tail = "<end>";
  struct iovec post = {tail.data(), tail.size()};
  EXPECT_EQ(0, prot_copy(out, file_, &map, MAP_WHOLEFILE, 100, 50000, &post));
  ASSERT_NE(nullptr, map);
  EXPECT_EQ(100000u, map->fdlength);
  EXPECT_EQ(0, prot_copy(out, file_, &map, MAP_WHOLEFILE, 0, 30000, nullptr));  // reuses it
  prot_flush(out);
  EXPECT_EQ(content_.substr(100, 50000) + tail + content_.substr(0, 30000), slurp_fd(dst));
  map_free(map);
  prot_free(out);
  close(dst);
}

TEST_F(ProtCopy, FailedStreamCopiesNothing) {
  protstream *out = prot_socket(sv_[0], 1);
  out->error = "earlier";
  fakes::arm(sv_[0]);
  EXPECT_EQ(EOF, prot_copy(out, file_, nullptr, MAP_WHOLEFILE, 0, 90000, nullptr));
  EXPECT_TRUE(fakes::all_calls().empty());
  prot_free(out);
}

}  // namespace
