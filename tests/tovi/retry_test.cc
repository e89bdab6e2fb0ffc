// Retrying I/O under injected faults: which errors are retried, how short
// writes continue, how the caller's vector comes back, how the vector limit
// and the send size adapt.
#include "rt_syscall_fakes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "tovi/retry.h"

namespace {

using Retry = fakes::SocketPairTest;

TEST_F(Retry, ZeroLengthCallsMakeNoSystemCall) {
  fakes::arm(sv_[0]);
  EXPECT_EQ(0, retry_write(sv_[0], "x", 0));
  EXPECT_EQ(0, retry_send(sv_[0], "x", 0));
  struct iovec v{};
  EXPECT_EQ(0, retry_writev(sv_[0], &v, 0));
  EXPECT_TRUE(fakes::all_calls().empty());
}

TEST_F(Retry, ReadsRetryInterruptsAndShortagesButNotAgain) {
  ASSERT_EQ(3, ::send(sv_[1], "abc", 3, 0));
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kRead, EINTR);
  fakes::fail(fakes::kRead, ENOMEM);
  fakes::fail(fakes::kRead, ENOBUFS);
  char buf[8];
  EXPECT_EQ(3, retry_read(sv_[0], buf, sizeof buf));
  EXPECT_EQ(4u, fakes::calls(fakes::kRead).size());

  fakes::fail(fakes::kRecv, EAGAIN);
  errno = 0;
  EXPECT_EQ(-1, retry_recv(sv_[0], buf, sizeof buf));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_EQ(1u, fakes::calls(fakes::kRecv).size());

  fakes::fail(fakes::kReadv, ENOSR);
  ASSERT_EQ(2, ::send(sv_[1], "de", 2, 0));
  struct iovec v[2] = {{buf, 1}, {buf + 1, 7}};
  EXPECT_EQ(2, retry_recvv(sv_[0], v, 2));
  EXPECT_EQ(0, memcmp(buf, "de", 2));
}

TEST_F(Retry, EndOfStreamReadsZero) {
  char buf[4];
  close(sv_[1]);
  EXPECT_EQ(0, retry_recv(sv_[0], buf, sizeof buf));
  EXPECT_EQ(0, retry_read(sv_[0], buf, sizeof buf));
  sv_[1] = socket(AF_UNIX, SOCK_STREAM, 0);  // for TearDown to close
}

TEST_F(Retry, WriteContinuesAfterShortWritesAndTransientErrors) {
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWrite, 3);
  fakes::fail(fakes::kWrite, EINTR);
  fakes::shorten(fakes::kWrite, 4);
  fakes::fail(fakes::kWrite, ENOBUFS);
  EXPECT_EQ(10, retry_write(sv_[0], "0123456789", 10));
  auto w = fakes::calls(fakes::kWrite);
  ASSERT_EQ(5u, w.size());
  EXPECT_EQ(10u, w[0].requested);
  EXPECT_EQ(7u, w[1].requested);
  EXPECT_EQ(3u, w[4].requested);
  EXPECT_EQ("0123456789", drain());
}

TEST_F(Retry, WriteHardErrorReturnsMinusOneWithErrno) {
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWrite, 2);
  fakes::fail(fakes::kWrite, EPIPE);
  errno = 0;
  EXPECT_EQ(-1, retry_write(sv_[0], "abcdef", 6));
  EXPECT_EQ(EPIPE, errno);
  fakes::fail(fakes::kWrite, EAGAIN);
  EXPECT_EQ(-1, retry_write(sv_[0], "abcdef", 6));
  EXPECT_EQ(EAGAIN, errno);
}

TEST_F(Retry, SendSplitsInHalvesOnShortage) {
  std::string data(10000, 'q');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>('a' + i % 26);
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kSend, ENOBUFS);
  EXPECT_EQ(10000, retry_send(sv_[0], data.data(), data.size()));
  auto s = fakes::calls(fakes::kSend);
  ASSERT_EQ(3u, s.size());
  EXPECT_EQ(10000u, s[0].requested);
  EXPECT_EQ(5000u, s[1].requested);
  EXPECT_EQ(5000u, s[2].requested);
  EXPECT_EQ(data, drain());
}

TEST_F(Retry, SendSplitRepeatsUntilPiecesAreSmall) {
  std::string data(10000, 'z');
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kSend, ENOMEM);  // 10000 -> 5000 + 5000
  fakes::fail(fakes::kSend, ENOSR);   // first 5000 -> 2500 + 2500
  EXPECT_EQ(10000, retry_send(sv_[0], data.data(), data.size()));
  std::vector<size_t> sizes;
  for (auto &r : fakes::calls(fakes::kSend))
    sizes.push_back(r.requested);
  EXPECT_EQ((std::vector<size_t>{10000, 5000, 2500, 2500, 5000}), sizes);
  EXPECT_EQ(data, drain());
}

TEST_F(Retry, SendBelowSplitSizeYieldsAndRetriesWholeRest) {
  std::string data(3000, 'y');
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kSend, ENOBUFS);
  fakes::fail(fakes::kSend, EINTR);
  EXPECT_EQ(3000, retry_send(sv_[0], data.data(), data.size()));
  std::vector<size_t> sizes;
  for (auto &r : fakes::calls(fakes::kSend))
    sizes.push_back(r.requested);
  EXPECT_EQ((std::vector<size_t>{3000, 3000, 3000}), sizes);
}

TEST_F(Retry, SendFailureInsideASplitReturnsMinusOne) {
  std::string data(10000, 'z');
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kSend, ENOBUFS);
  fakes::shorten(fakes::kSend, 5000);
  fakes::fail(fakes::kSend, ECONNRESET);
  EXPECT_EQ(-1, retry_send(sv_[0], data.data(), data.size()));
  EXPECT_EQ(ECONNRESET, errno);
}

TEST_F(Retry, WritevSkipsEmptyEntries) {
  char five[] = "hello";
  struct iovec v[3] = {{nullptr, 0}, {five, 5}, {nullptr, 0}};
  fakes::arm(sv_[0]);
  EXPECT_EQ(5, retry_writev(sv_[0], v, 3));
  auto w = fakes::calls(fakes::kWritev);
  ASSERT_EQ(1u, w.size());
  EXPECT_EQ(2, w[0].iovcnt);
  EXPECT_EQ("hello", drain());
}

TEST_F(Retry, ShortWritevInsideAnEntryContinuesThereAndRestoresVector) {
  char a[] = "AAAA", b[] = "BBBBBB", c[] = "CC";
  struct iovec v[3] = {{a, 4}, {b, 6}, {c, 2}};
  struct iovec orig[3];
  memcpy(orig, v, sizeof v);
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWritev, 6);  // ends two bytes into the second entry
  fakes::fail(fakes::kWritev, EINTR);
  fakes::shorten(fakes::kWritev, 1);  // still inside the second entry
  EXPECT_EQ(12, retry_writev(sv_[0], v, 3));
  auto w = fakes::calls(fakes::kWritev);
  ASSERT_EQ(4u, w.size());
  EXPECT_EQ(12u, w[0].requested);
  EXPECT_EQ(6u, w[1].requested);
  EXPECT_EQ(2, w[1].iovcnt);
  EXPECT_EQ(5u, w[3].requested);
  EXPECT_EQ(0, memcmp(orig, v, sizeof v));
  EXPECT_EQ("AAAABBBBBBCC", drain());
}

TEST_F(Retry, WritevHardErrorRestoresAdvancedEntry) {
  char a[] = "AAAA", b[] = "BBBBBB";
  struct iovec v[2] = {{a, 4}, {b, 6}};
  struct iovec orig[2];
  memcpy(orig, v, sizeof v);
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWritev, 7);
  fakes::fail(fakes::kWritev, EPIPE);
  EXPECT_EQ(-1, retry_sendv(sv_[0], v, 2));
  EXPECT_EQ(EPIPE, errno);
  EXPECT_EQ(0, memcmp(orig, v, sizeof v));
}

TEST_F(Retry, WritevEntryLimitHalvesToSixteenAndStaysThere) {
  std::vector<std::string> bufs(40);
  std::vector<struct iovec> v(40);
  std::string want;
  for (size_t i = 0; i < v.size(); ++i) {
    bufs[i] = std::string(1 + i % 3, static_cast<char>('a' + i % 26));
    v[i] = {bufs[i].data(), bufs[i].size()};
    want += bufs[i];
  }
  fakes::arm(sv_[0]);
  fakes::limit_writev_entries(16);
  EXPECT_EQ(static_cast<int32_t>(want.size()), retry_writev(sv_[0], v.data(), 40));
  std::vector<int> counts;
  for (auto &r : fakes::calls(fakes::kWritev))
    counts.push_back(r.iovcnt);
  // Limits 8192 .. 32 are each rejected once (nine calls), then three
  // writes of 16, 16 and 8 entries.
  ASSERT_EQ(12u, counts.size());
  EXPECT_EQ(40, counts[0]);
  EXPECT_EQ((std::vector<int>{16, 16, 8}), std::vector<int>(counts.end() - 3, counts.end()));
  EXPECT_EQ(want, drain());

  // The next call starts at the learned limit: no EINVAL round trips.
  fakes::arm(sv_[0]);
  fakes::limit_writev_entries(16);
  EXPECT_EQ(static_cast<int32_t>(want.size()), retry_writev(sv_[0], v.data(), 40));
  counts.clear();
  for (auto &r : fakes::calls(fakes::kWritev))
    counts.push_back(r.iovcnt);
  EXPECT_EQ((std::vector<int>{16, 16, 8}), counts);
}

TEST_F(Retry, WritevEinvalAtEightIsFinal) {
  std::vector<std::string> bufs(20, "x");
  std::vector<struct iovec> v(20);
  for (size_t i = 0; i < v.size(); ++i)
    v[i] = {bufs[i].data(), 1};
  fakes::arm(sv_[0]);
  fakes::limit_writev_entries(4);
  EXPECT_EQ(-1, retry_writev(sv_[0], v.data(), 20));
  EXPECT_EQ(EINVAL, errno);
  auto w = fakes::calls(fakes::kWritev);
  EXPECT_EQ(8, w.back().iovcnt);
}

TEST_F(Retry, WritevLargeVectorOnTheRealKernelLimit) {
  // Linux refuses more than IOV_MAX (1024) entries: the halving finds it.
  // A reader keeps the socket from filling up whatever limit is current.
  std::vector<struct iovec> v(3000);
  char byte = 'k';
  for (auto &e : v)
    e = {&byte, 1};
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    while (got.size() < 3000) {
      ssize_t n = ::recv(sv_[1], buf, sizeof buf, 0);
      if (n <= 0)
        break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(3000, retry_writev(sv_[0], v.data(), 3000));
  reader.join();
  EXPECT_EQ(std::string(3000, 'k'), got);
}

}  // namespace
