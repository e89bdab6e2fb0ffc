// Retrying I/O under injected faults: which errors are retried, how short
// writes continue, how the caller's vector comes back, how the vector limit
// and the send size adapt.
#include "rt_syscall_fakes.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tovi/retry.h"

namespace {

using namespace fakes;
using Retry = SocketPairTest;
using Sizes = std::vector<size_t>;

// One write or send of `size` bytes under a script of faults: the result,
// errno, and the bytes asked for at each call.
struct WriteCase {
  const char *name;
  Call call;
  size_t size;
  std::vector<Action> script;
  int32_t result;
  int err;
  Sizes asked;
};

// clang-format off
const WriteCase kWrites[] = {
    {"WriteContinuesAfterShortWritesAndTransientErrors", kWrite, 10, {{0, 3}, {EINTR}, {0, 4}, {ENOBUFS}}, 10, 0,
     {10, 7, 7, 3, 3}},
    {"WriteHardErrorAfterAShortWrite", kWrite, 6, {{0, 2}, {EPIPE}}, -1, EPIPE, {6, 4}},
    {"WriteAgainIsNotRetried", kWrite, 6, {{EAGAIN}}, -1, EAGAIN, {6}},
    {"SendSplitsInHalvesOnShortage", kSend, 10000, {{ENOBUFS}}, 10000, 0, {10000, 5000, 5000}},
    {"SendSplitRepeatsUntilPiecesAreSmall", kSend, 10000, {{ENOMEM}, {ENOSR}}, 10000, 0,
     {10000, 5000, 2500, 2500, 5000}},
    {"SendBelowSplitSizeRetriesTheWholeRest", kSend, 3000, {{ENOBUFS}, {EINTR}}, 3000, 0, {3000, 3000, 3000}},
    {"SendShortageAtTheSplitSizeSplits", kSend, 4096, {{ENOBUFS}}, 4096, 0, {4096, 2048, 2048}},
    {"SendFailureInTheFirstHalfFails", kSend, 10000, {{ENOBUFS}, {ECONNRESET}}, -1, ECONNRESET, {10000, 5000}},
    {"SendFailureInTheSecondHalfFails", kSend, 10000, {{ENOBUFS}, {0, 5000}, {EPIPE}}, -1, EPIPE,
     {10000, 5000, 5000}},
    {"SendHardErrorIsNotRetried", kSend, 100, {{EPIPE}}, -1, EPIPE, {100}},
};
// clang-format on

class RetryWrites : public Retry, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(RetryWrites, Case) {
  const WriteCase &c = GetParam();
  std::string data = ts::pattern(c.size);
  arm(sv_[0]);
  for (auto a : c.script) push(c.call, a);
  errno = 0;
  int32_t r = c.call == kWrite ? retry_write(sv_[0], data.data(), c.size) : retry_send(sv_[0], data.data(), c.size);
  EXPECT_EQ(c.result, r);
  EXPECT_EQ(c.err, c.err ? errno : 0);
  EXPECT_EQ(c.asked, sizes(c.call));
  std::string got = drain();  // all of it, or what went before the failure
  EXPECT_EQ(r > 0 ? data : data.substr(0, got.size()), got);
}

INSTANTIATE_TEST_SUITE_P(Faults, RetryWrites, ::testing::ValuesIn(kWrites), [](const auto &info) { return std::string(info.param.name); });

// A gathered write of parts under a script: the caller's vector must come
// back exactly as it was handed in.
int32_t Gathered(std::vector<std::string> parts, const std::vector<Action> &script, int fd, bool send = false) {
  std::vector<struct iovec> v, orig;
  for (auto &p : parts) v.push_back({p.empty() ? nullptr : p.data(), p.size()});
  orig = v;
  for (auto a : script) push(kWritev, a);
  int32_t r = send ? retry_sendv(fd, v.data(), int(v.size())) : retry_writev(fd, v.data(), int(v.size()));
  int err = errno;
  EXPECT_EQ(0, memcmp(orig.data(), v.data(), v.size() * sizeof v[0])) << "vector not restored";
  errno = err;
  return r;
}

TEST_F(Retry, ZeroLengthCallsMakeNoCallReadsRetryShortagesAndWritevContinuesRestoresTheVectorAndLearnsItsLimit) {
  arm(sv_[0]);
  struct iovec none {};
  EXPECT_EQ(0, retry_write(sv_[0], "x", 0) | retry_send(sv_[0], "x", 0) | retry_writev(sv_[0], &none, 0));
  EXPECT_TRUE(calls().empty());
  // Reads retry interrupts and shortages but not EAGAIN; the end reads zero.
  ASSERT_EQ(3, ::send(sv_[1], "abc", 3, 0));
  for (int err : {EINTR, ENOMEM, ENOBUFS}) fail(kRead, err);
  char buf[8];
  EXPECT_EQ(3, retry_read(sv_[0], buf, sizeof buf));
  EXPECT_EQ(4u, calls(kRead).size());
  fail(kRecv, EAGAIN);
  errno = 0;
  EXPECT_EQ(-1, retry_recv(sv_[0], buf, sizeof buf));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_EQ(1u, calls(kRecv).size());
  fail(kReadv, ENOSR);
  ASSERT_EQ(2, ::send(sv_[1], "de", 2, 0));
  struct iovec halves[2] = {{buf, 1}, {buf + 1, 7}};
  EXPECT_EQ(2, retry_recvv(sv_[0], halves, 2));
  EXPECT_EQ(0, memcmp(buf, "de", 2));
  shutdown(sv_[1], SHUT_WR);
  EXPECT_EQ(0, retry_recv(sv_[0], buf, sizeof buf));
  EXPECT_EQ(0, retry_read(sv_[0], buf, sizeof buf));
  EXPECT_EQ(0, retry_recvv(sv_[0], halves, 2));
  // A gathered write skips empty entries, continues inside an entry and
  // gives the caller's vector back as it was, also on a hard error.
  arm(sv_[0]);
  EXPECT_EQ(5, Gathered({"", "hello", ""}, {}, sv_[0]));
  EXPECT_EQ(std::vector<int>{2}, entries());
  EXPECT_EQ("hello", drain());
  arm(sv_[0]);
  // Ends two bytes into the second entry, then an interrupt, then one more
  // byte still inside it.
  EXPECT_EQ(12, Gathered({"AAAA", "BBBBBB", "CC"}, {{0, 6}, {EINTR}, {0, 1}}, sv_[0]));
  EXPECT_EQ((Sizes{12, 6, 6, 5}), sizes(kWritev));
  EXPECT_EQ((std::vector<int>{3, 2, 2, 2}), entries());
  EXPECT_EQ("AAAABBBBBBCC", drain());
  // A hard error restores the advanced entry too.
  errno = 0;
  EXPECT_EQ(-1, Gathered({"AAAA", "BBBBBB"}, {{0, 7}, {EPIPE}}, sv_[0], true));
  EXPECT_EQ(EPIPE, errno);
  EXPECT_EQ("AAAABBB", drain()) << "what went before the error";
  // The entry limit is learned by halving and kept. It is process-wide and
  // only shrinks, so it is walked down in order: the kernel's own limit
  // first, then scripted ones.
  std::vector<struct iovec> v(3000);
  char byte = 'k';
  for (auto &e : v) e = {&byte, 1};
  std::string got;
  std::thread reader([&] { got = ts::read_n(sv_[1], 3000); });
  arm(sv_[0]);
  EXPECT_EQ(3000, retry_writev(sv_[0], v.data(), 3000));  // Linux takes at most 1024 entries
  reader.join();
  EXPECT_EQ(std::string(3000, 'k'), got);
  EXPECT_EQ((std::vector<int>{3000, 3000, 2048, 1024, 1024, 952}), entries());

  std::vector<std::string> parts;
  std::string want;
  for (int i = 0; i < 40; ++i) want += parts.emplace_back(1 + i % 3, char('a' + i % 26));
  arm(sv_[0], 16);
  EXPECT_EQ(int32_t(want.size()), Gathered(parts, {}, sv_[0]));
  EXPECT_EQ((std::vector<int>{40, 40, 40, 40, 40, 32, 16, 16, 8}), entries());
  EXPECT_EQ(want, drain());
  arm(sv_[0], 16);  // the next call starts at the learned limit
  EXPECT_EQ(int32_t(want.size()), Gathered(parts, {}, sv_[0]));
  EXPECT_EQ((std::vector<int>{16, 16, 8}), entries());
  EXPECT_EQ(want, drain());
  arm(sv_[0], 4);  // EINVAL at eight entries is final
  EXPECT_EQ(-1, Gathered(parts, {}, sv_[0]));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ((std::vector<int>{16, 8}), entries());
}

}  // namespace
