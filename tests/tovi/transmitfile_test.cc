// File transmission: header, range and trailer accounting over attempts that
// end short, transient errors, the caller's map, ranges beyond the file.
#include "rt_syscall_fakes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>
#include <vector>
#include <thread>

#include "tovi/map.h"
#include "tovi/transmitfile.h"

namespace {

class Transmit : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv_));
    char name[] = "/tmp/rt_transmitXXXXXX";
    file_ = mkstemp(name);
    ASSERT_GE(file_, 0);
    unlink(name);
    content_.resize(200000);
    for (size_t i = 0; i < content_.size(); ++i)
      content_[i] = static_cast<char>('A' + (i * 7) % 26);
    ASSERT_EQ(static_cast<ssize_t>(content_.size()), ::write(file_, content_.data(), content_.size()));
    reader_ = std::thread([this] {
      char buf[65536];
      for (;;) {
        ssize_t n = ::recv(sv_[1], buf, sizeof buf, 0);
        if (n <= 0)
          break;
        got_.append(buf, static_cast<size_t>(n));
      }
    });
  }
  void TearDown() override {
    fakes::disarm();
    finish();
    close(file_);
  }
  // Closes the sending side and returns everything the peer received.
  const std::string &finish() {
    if (reader_.joinable()) {
      shutdown(sv_[0], SHUT_WR);
      reader_.join();
      close(sv_[0]);
      close(sv_[1]);
    }
    return got_;
  }
  std::string range(size_t start, size_t len) { return content_.substr(start, len); }

  int sv_[2];
  int file_;
  std::string content_;
  std::string got_;
  std::thread reader_;
};

struct iovec vec(std::string &s) { return {s.data(), s.size()}; }

TEST_F(Transmit, NothingToSendReturnsZeroWithoutSystemCalls) {
  fakes::arm(sv_[0]);
  EXPECT_EQ(0, transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 0, 0, nullptr, nullptr));
  struct iovec empty = {nullptr, 0};
  EXPECT_EQ(0, transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 5, 0, &empty, &empty));
  EXPECT_TRUE(fakes::all_calls().empty());
  EXPECT_EQ(0, transmitfile_init());
}

TEST_F(Transmit, WholeFrameArrivesInOrder) {
  std::string head = "HEADER\r\n", tail = "\r\n.\r\n";
  struct iovec pre = vec(head), post = vec(tail);
  int32_t total = static_cast<int32_t>(head.size() + 150000 + tail.size());
  EXPECT_EQ(total, retry_transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 1000, 150000, &pre, &post));
  EXPECT_EQ(head + range(1000, 150000) + tail, finish());
  EXPECT_EQ(8u, pre.iov_len);  // the caller's header is not consumed
}

TEST_F(Transmit, PartlySentHeaderThenTrailerSplitAcrossAttempts) {
  std::string head = "0123456789", tail = "abcdef";
  struct iovec pre = vec(head), post = vec(tail);
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWritev, 3);             // attempt 1: three header bytes
  fakes::shorten(fakes::kWritev, 7 + 5000 + 2);  // attempt 2: ends in the trailer
  EXPECT_EQ(10 + 5000 + 6, retry_transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 300, 5000, &pre, &post));
  auto w = fakes::calls(fakes::kWritev);
  ASSERT_EQ(2u, w.size());
  EXPECT_EQ((std::vector<size_t>{10, 5000, 6}), w[0].lens);
  EXPECT_EQ((std::vector<size_t>{7, 5000, 6}), w[1].lens);
  auto s = fakes::calls(fakes::kSend);  // the rest of the trailer
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ(4u, s[0].requested);
  EXPECT_EQ(head + range(300, 5000) + tail, finish());
  EXPECT_EQ(10u, pre.iov_len);  // the caller's records are not consumed
  EXPECT_EQ(6u, post.iov_len);
}

TEST_F(Transmit, PartlySentHeaderWithEmptyRange) {
  std::string head = "HEAD", tail = "TAIL";
  struct iovec pre = vec(head), post = vec(tail);
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWritev, 1);
  EXPECT_EQ(8, retry_transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 0, 0, &pre, &post));
  auto w = fakes::calls(fakes::kWritev);
  ASSERT_EQ(2u, w.size());
  EXPECT_EQ((std::vector<size_t>{4, 4}), w[0].lens);
  EXPECT_EQ((std::vector<size_t>{3, 4}), w[1].lens);
  EXPECT_EQ("HEADTAIL", finish());
}

TEST_F(Transmit, ShortRangeContinuesFromWhereItStopped) {
  std::string tail = "END";
  struct iovec post = vec(tail);
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWritev, 1234);
  fakes::fail(fakes::kWritev, EINTR);
  fakes::fail(fakes::kWritev, ENOBUFS);
  fakes::fail(fakes::kWritev, ENOMEM);
  EXPECT_EQ(20003, retry_transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 10, 20000, nullptr, &post));
  auto w = fakes::calls(fakes::kWritev);
  ASSERT_EQ(5u, w.size());
  EXPECT_EQ((std::vector<size_t>{20000 - 1234, 3}), w[4].lens);
  EXPECT_EQ(range(10, 20000) + tail, finish());
}

TEST_F(Transmit, HardErrorAndAgainEndTheCall) {
  fakes::arm(sv_[0]);
  fakes::fail(fakes::kWritev, EAGAIN);
  errno = 0;
  EXPECT_EQ(-1, retry_transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 0, 100, nullptr, nullptr));
  EXPECT_EQ(EAGAIN, errno);
  fakes::fail(fakes::kWritev, ECONNRESET);
  EXPECT_EQ(-1, transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 0, 100, nullptr, nullptr));
  EXPECT_EQ(ECONNRESET, errno);
  EXPECT_EQ(2u, fakes::calls(fakes::kWritev).size());
}

TEST_F(Transmit, CallersMapIsMadeOnceAndKept) {
  std::string head = "H:", tail = ":T";
  struct iovec pre = vec(head), post = vec(tail);
  tovi_map *map = nullptr;
  fakes::arm(sv_[0]);
  fakes::shorten(fakes::kWritev, 1000);
  fakes::shorten(fakes::kWritev, 1000);
  EXPECT_EQ(2 + 50000 + 2, retry_transmitfile(file_, sv_[0], &map, MAP_WHOLEFILE, 7, 50000, &pre, &post));
  EXPECT_EQ(3u, fakes::calls(fakes::kWritev).size());
  ASSERT_NE(nullptr, map);
  EXPECT_EQ(content_.size(), map->fdlength);  // all ones: the whole file
  EXPECT_EQ(1, map->refcount);
  tovi_map *kept = map;
  EXPECT_EQ(10, transmitfile(file_, sv_[0], &map, MAP_WHOLEFILE, 0, 10, nullptr, nullptr));
  EXPECT_EQ(kept, map);
  map_free(map);
  EXPECT_EQ(head + range(7, 50000) + tail + range(0, 10), finish());
}

TEST_F(Transmit, EmptyHeaderKeepsItsPlaceInTheVector) {
  std::string tail = ":T";
  struct iovec empty = {nullptr, 0}, post = vec(tail);
  fakes::arm(sv_[0]);
  EXPECT_EQ(10 + 2, transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 0, 10, &empty, &post));
  auto wv = fakes::calls(fakes::kWritev);
  ASSERT_EQ(1u, wv.size());
  EXPECT_EQ((std::vector<size_t>{0, 10, 2}), wv[0].lens);
  EXPECT_EQ(range(0, 10) + tail, finish());
}

TEST_F(Transmit, MapFallbackRefusesRangeOutsideCallersMap) {
  tovi_map *map = map_refresh(file_, nullptr, MAP_NOIDENTITY, 4096);
  ASSERT_NE(nullptr, map);
  fakes::arm(sv_[0]);
  EXPECT_EQ(-1, transmitfile(file_, sv_[0], &map, MAP_WHOLEFILE, 4000, 200, nullptr, nullptr));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_TRUE(fakes::calls(fakes::kWritev).empty());
  map_free(map);
}

TEST_F(Transmit, RangeBeyondTheEndOfTheFileIsRefused) {
  fakes::arm(sv_[0]);
  EXPECT_EQ(-1, retry_transmitfile(file_, sv_[0], nullptr, MAP_WHOLEFILE, 199000, 5000, nullptr, nullptr));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, transmitfile(file_, sv_[0], nullptr, 250000, 199000, 5000, nullptr, nullptr));
  EXPECT_TRUE(fakes::calls(fakes::kWritev).empty());
  EXPECT_EQ("", finish());
}

TEST_F(Transmit, ToAPlainFile) {
  char name[] = "/tmp/rt_transmit_outXXXXXX";
  int out = mkstemp(name);
  ASSERT_GE(out, 0);
  unlink(name);
  std::string head = "<", tail = ">";
  struct iovec pre = vec(head), post = vec(tail);
  EXPECT_EQ(102, retry_transmitfile(file_, out, nullptr, MAP_WHOLEFILE, 50, 100, &pre, &post));
  std::string back(102, '\0');
  EXPECT_EQ(102, pread(out, back.data(), back.size(), 0));
  EXPECT_EQ("<" + range(50, 100) + ">", back);
  close(out);
}

}  // namespace
