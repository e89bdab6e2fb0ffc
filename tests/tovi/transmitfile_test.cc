// File transmission: header, range and trailer accounting over attempts that
// end short, transient errors, the caller's map, ranges beyond the file.
#include "rt_syscall_fakes.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tovi/map.h"
#include "tovi/transmitfile.h"

namespace {

using Sizes = std::vector<size_t>;

// A file of 200000 bytes and a peer that collects everything sent to it.
class Transmit : public fakes::SocketPairTest {
 protected:
  void SetUp() override {
    fakes::SocketPairTest::SetUp();
    ASSERT_GE(file_ = ts::scratch_file(content_), 0);
    reader_ = std::thread([this] {
      char buf[65536];
      ssize_t n;
      while ((n = ::recv(sv_[1], buf, sizeof buf, 0)) > 0) got_.append(buf, size_t(n));
    });
  }
  void TearDown() override {
    finish();
    close(file_);
    fakes::SocketPairTest::TearDown();
  }
  // Ends the sending side and returns everything the peer received.
  const std::string &finish() {
    if (reader_.joinable()) {
      shutdown(sv_[0], SHUT_WR);
      reader_.join();
    }
    return got_;
  }
  std::string content_ = ts::pattern(200000);
  int file_ = -1;
  std::string got_;
  std::thread reader_;
};

TEST_F(Transmit, NothingToSendOrARangeOutsideTheMapOrFileMakesNoCallAndTheCallersMapIsMadeOnceAndKept) {
  fakes::arm(sv_[0]);
  struct iovec empty = {nullptr, 0};
  EXPECT_EQ(0, transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 0, 0, nullptr, nullptr));
  EXPECT_EQ(0, transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 5, 0, &empty, &empty));
  EXPECT_TRUE(fakes::calls().empty());
  EXPECT_EQ(0, transmitfile_init());
  // A range outside the caller's shorter map or the file is refused.
  tovi_map *map = map_refresh(file_, nullptr, MAP_NOIDENTITY, 4096);
  EXPECT_EQ(-1, transmitfile(file_, sv_[0], &map, MAP_WHOLEFILE, 4000, 200, nullptr, nullptr));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, transmitfile(file_, sv_[0], nullptr, 250000, 199000, 5000, nullptr, nullptr));  // past the file's end
  EXPECT_TRUE(fakes::calls(fakes::kWritev).empty());
  map_free(map);
  // The caller's map is made once and kept, also to a plain file.
  std::string head = "H:", tail = ":T";
  struct iovec pre = {head.data(), 2}, post = {tail.data(), 2};
  map = nullptr;
  fakes::arm(sv_[0]);
  fakes::push(fakes::kWritev, {0, 1000});
  fakes::push(fakes::kWritev, {0, 1000});
  EXPECT_EQ(2 + 50000 + 2, retry_transmitfile(file_, sv_[0], &map, MAP_WHOLEFILE, 7, 50000, &pre, &post));
  EXPECT_EQ(3u, fakes::calls(fakes::kWritev).size());
  EXPECT_EQ(content_.size(), map->fdlength);  // all ones: the whole file
  EXPECT_EQ(1, map->refcount);
  tovi_map *kept = map;
  EXPECT_EQ(10, transmitfile(file_, sv_[0], &map, MAP_WHOLEFILE, 0, 10, nullptr, nullptr));
  EXPECT_EQ(kept, map);
  map_free(map);
  EXPECT_EQ(head + content_.substr(7, 50000) + tail + content_.substr(0, 10), finish());
  int out = ts::scratch_file();
  EXPECT_EQ(104, retry_transmitfile(file_, out, nullptr, MAP_WHOLEFILE, 50, 100, &pre, &post));
  EXPECT_EQ(10, transmitfile(file_, out, nullptr, MAP_WHOLEFILE, 0, 10, nullptr, nullptr));  // a map of its own
  EXPECT_EQ(head + content_.substr(50, 100) + tail + content_.substr(0, 10), ts::read_file("/proc/self/fd/" + std::to_string(out)));
  close(out);
}

// One retry_transmitfile of header (none when null), range and trailer
// under a script of writev results: the result, errno, the entries of each
// writev, the sends of a trailer's rest, and the bytes the peer got.
struct Attempts {
  const char *name, *head, *tail;
  uint32_t start, len;
  std::vector<fakes::Action> script;
  int32_t result;
  int err;
  std::vector<Sizes> writevs;
  Sizes sends;
};

// clang-format off
const Attempts kAttempts[] = {
    {"WholeFrameArrivesInOrder", "HEADER\r\n", "\r\n.\r\n", 1000, 150000, {}, 8 + 150000 + 5, 0, {{8, 150000, 5}}, {}},
    {"PartlySentHeaderThenTrailerSplitAcrossAttempts", "0123456789", "abcdef", 300, 5000, {{0, 3}, {0, 7 + 5000 + 2}},
     10 + 5000 + 6, 0, {{10, 5000, 6}, {7, 5000, 6}}, {4}},
    {"PartlySentHeaderWithEmptyRange", "HEAD", "TAIL", 0, 0, {{0, 1}}, 8, 0, {{4, 4}, {3, 4}}, {}},
    {"ShortRangeContinuesFromWhereItStopped", nullptr, "END", 10, 20000, {{0, 1234}, {EINTR}, {ENOBUFS}, {ENOMEM}},
     20003, 0, {{20000, 3}, {18766, 3}, {18766, 3}, {18766, 3}, {18766, 3}}, {}},
    {"EmptyHeaderKeepsItsPlaceInTheVector", "", ":T", 0, 10, {}, 12, 0, {{0, 10, 2}}, {}},
    {"AgainEndsTheCall", nullptr, nullptr, 0, 100, {{EAGAIN}}, -1, EAGAIN, {{100}}, {}},
    {"NoProgressIsAnErrorNotASpin", nullptr, nullptr, 0, 100, {{0, 0}}, -1, EIO, {{100}}, {}},
    {"RangeBeyondTheEndOfTheFileIsRefused", nullptr, nullptr, 199000, 5000, {}, -1, EINVAL, {}, {}},
};
// clang-format on

class TransmitAttempts : public Transmit, public ::testing::WithParamInterface<Attempts> {};

TEST_P(TransmitAttempts, Case) {
  const Attempts &c = GetParam();
  std::string head = c.head ? c.head : "", tail = c.tail ? c.tail : "";
  struct iovec pre = {head.data(), head.size()}, post = {tail.data(), tail.size()};
  fakes::arm(sv_[0]);
  for (auto a : c.script) fakes::push(fakes::kWritev, a);
  errno = 0;
  EXPECT_EQ(c.result,
            retry_transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, c.start, c.len, c.head ? &pre : nullptr, c.tail ? &post : nullptr));
  EXPECT_EQ(c.err, c.err ? errno : 0);
  std::vector<Sizes> writevs;
  for (auto &r : fakes::calls(fakes::kWritev)) writevs.push_back(r.lens);
  EXPECT_EQ(c.writevs, writevs);
  EXPECT_EQ(c.sends, fakes::sizes(fakes::kSend));
  EXPECT_EQ(head.size(), pre.iov_len);  // the caller's records are not consumed
  EXPECT_EQ(tail.size(), post.iov_len);
  EXPECT_EQ(c.result > 0 ? head + content_.substr(c.start, c.len) + tail : "", finish());
}

INSTANTIATE_TEST_SUITE_P(Faults, TransmitAttempts, ::testing::ValuesIn(kAttempts),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
