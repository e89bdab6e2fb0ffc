// Dynamic data sources: the dot-stuffing pieces on the worked example, line
// limits, missing final line ends and the upper bound; the file source's
// pieces, reads and direct sends through a real non-blocking socket that
// fills up. (How the socket layer drains a source is its own test.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "test_support.h"
#include "tovi/asdyn.h"

namespace {

using Pieces = std::vector<std::string>;

Pieces pieces_of(ASockDynamic *src, int limit = 1000) {
  Pieces out;
  struct iovec v;
  for (int i = 0; i < limit && src->getBuf(src, &v, nullptr) == 0 && v.iov_len; ++i)
    out.emplace_back(static_cast<const char *>(v.iov_base), v.iov_len);
  return out;
}

std::string joined(const Pieces &v) {
  std::string s;
  for (const auto &p : v) s += p;
  return s;
}

// ---- dot-stuffing ----

TEST(DotStuff, DotsAreDoubledByOverlappingPiecesLineLimitsCountBodyLinesAndTheBoundCoversTheWorstCase) {
  const std::string mail = "From: a\r\nTo: b\r\n\r\nl1\r\n.l2\r\nl3\r\nl4\r\n", head = "From: a\r\nTo: b\r\n\r\n";
  const struct {
    std::string text;
    const char *post;  // trailer, or none
    int limit;
    Pieces want;  // the pieces; one piece: only the text they join to
  } rows[] = {
      // Each piece ends just after a leading dot and the next starts at it.
      {"a\r\n.b\r\n..\r\n", nullptr, -1, {"a\r\n.", ".b\r\n.", "..\r\n"}},
      {".x\r\ny\r\n", nullptr, -1, {".", ".x\r\ny\r\n"}},
      {"H: v\r\n\r\nbody", ".\r\n", -1, {"H: v\r\n\r\nbody", "\r\n", ".\r\n"}},  // line end added
      {"", "END", -1, {"END"}},
      {mail, nullptr, 0, {head}},
      {mail, nullptr, 1, {head + "l1\r\n"}},
      {mail, nullptr, 2, {head + "l1\r\n..l2\r\n"}},  // a stuffed line counts once
      {mail, nullptr, 3, {head + "l1\r\n..l2\r\nl3\r\n"}},
      {mail, nullptr, -1, {head + "l1\r\n..l2\r\nl3\r\nl4\r\n"}},
      {mail, nullptr, 99, {head + "l1\r\n..l2\r\nl3\r\nl4\r\n"}},
  };
  for (auto &r : rows) {
    std::string post = r.post ? r.post : "";
    struct iovec pv = {post.data(), post.size()};
    ASockDynamic *src = asdyn_dotstuff(r.text.data(), uint32_t(r.text.size()), r.post ? &pv : nullptr, r.limit);
    Pieces got = pieces_of(src);
    EXPECT_EQ(r.want, r.want.size() > 1 ? got : Pieces{joined(got)}) << r.text << " limit " << r.limit;
    EXPECT_TRUE(pieces_of(src).empty()) << "the trailer goes out once";
    EXPECT_EQ(0u, asdyn_dotstuff_getUpperBound(src));
    asdyn_dotstuff_free(src);
  }
  // The upper bound covers the worst case.
  std::string text(300, 'x'), tail = "\r\n.\r\n", dots;
  struct iovec post = {tail.data(), tail.size()};
  ASockDynamic *src = asdyn_dotstuff(text.data(), 300, nullptr, -1);
  EXPECT_EQ(402u, asdyn_dotstuff_getUpperBound(src));
  asdyn_dotstuff_free(src);
  src = asdyn_dotstuff(text.data(), 0x20000000u, &post, -1);  // never scanned
  EXPECT_EQ(2147483647u, asdyn_dotstuff_getUpperBound(src));
  asdyn_dotstuff_free(src);
  for (int i = 0; i < 100; ++i) dots += ".\r\n";  // only dots: the bound holds for the real output
  src = asdyn_dotstuff(dots.data(), uint32_t(dots.size()), &post, -1);
  uint32_t bound = asdyn_dotstuff_getUpperBound(src);
  std::string out = joined(pieces_of(src));
  EXPECT_EQ(400u + tail.size(), out.size());
  EXPECT_LE(out.size(), bound);
  asdyn_dotstuff_free(src);
}

// ---- file source ----

// A 4 MiB file; Src() makes sources over it that go with the test.
class FileSource : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_GE(fd_ = ts::scratch_file(content_), 0);
  }
  void TearDown() override {
    for (ASockDynamic *s : made_) asdyn_file_free(s);
    close(fd_);
  }
  // A source over len bytes from start, then tail (none when null); the
  // file is taken to be maxsize bytes (0: its size).
  ASockDynamic *Src(uint32_t start, uint32_t len, const char *tail = nullptr, tovi_map **map = nullptr, uint32_t maxsize = 0, int fd = -2) {
    std::string &t = tails_.emplace_back(tail ? tail : "");
    struct iovec post = {t.data(), t.size()};
    return made_.emplace_back(asdyn_file(fd == -2 ? fd_ : fd, start, len, tail ? &post : nullptr, map, 0, maxsize ? maxsize : size()));
  }
  uint32_t size() const { return uint32_t(content_.size()); }
  std::string content_ = ts::pattern(4 << 20);
  int fd_ = -1;
  std::deque<std::string> tails_;
  std::vector<ASockDynamic *> made_;
};

TEST_F(FileSource, GetBufAndReadHandOutTheRangeThenTheTrailerOnceKeepTheCallersMapAndFailPastTheEnd) {
  ASockDynamic *src = Src(100, 5000, "<tail>");
  EXPECT_EQ(5006u, src->getUpperBound(src));
  EXPECT_EQ((Pieces{content_.substr(100, 5000), "<tail>"}), pieces_of(src));
  EXPECT_EQ(0u, src->getUpperBound(src));
  EXPECT_EQ(Pieces{"T"}, pieces_of(Src(10, 0, "T"))) << "an empty range: only the trailer";
  // A shared map is kept by the caller.
  tovi_map *map = nullptr;
  EXPECT_EQ(content_.substr(0, 10), joined(pieces_of(Src(0, 10, nullptr, &map))));
  tovi_map *first = map;
  EXPECT_EQ(content_.substr(20, 10), joined(pieces_of(Src(20, 10, nullptr, &map))));
  EXPECT_EQ(first, map);
  map_free(map);  // the caller's: the sources never free it (a double free shows in the sanitizer build)
  // Reads fill small buffers across the range and the trailer.
  src = Src(7, 5, "0123456789");
  char buf[4];
  std::string got;
  std::vector<int> counts;
  for (int i = 0, n; i < 20 && (n = src->read(src, buf, sizeof buf, nullptr)) > 0; ++i) {
    counts.push_back(n);
    got.append(buf, size_t(n));
  }
  EXPECT_EQ(content_.substr(7, 5) + "0123456789", got);
  // 4 from the file; 1 file + 3 trailer; then the trailer in pieces.
  EXPECT_EQ((std::vector<int>{4, 4, 4, 3}), counts);
  // Ranges past the end of the file fail.
  ASockDynamic *past = Src(size() - 10, 20, nullptr, nullptr, size() + 4096);
  struct iovec none = {nullptr, 0};
  EXPECT_EQ(-2, past->getBuf(past, &none, nullptr));
  EXPECT_EQ(0u, none.iov_len);
  past = Src(size() - 3, 10, nullptr, nullptr, size() + 100);
  char rest[64];
  EXPECT_EQ(3, past->read(past, rest, sizeof rest, nullptr));
  EXPECT_EQ(-2, past->read(past, rest, sizeof rest, nullptr));
  past = Src(0, 10, nullptr, nullptr, 10, -1);  // no file at all
  EXPECT_EQ(-2, past->read(past, rest, sizeof rest, nullptr));
  EXPECT_EQ(-2, past->getBuf(past, &none, nullptr));
}

TEST_F(FileSource, SendOnAFullSocketAsksToWaitForWritableToAClosedPeerFailsAndBadRangesStopTheProcess) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  ASSERT_EQ(0, fcntl(sv[0], F_SETFL, O_NONBLOCK));
  std::string head = "HEAD:", got;
  struct iovec pre = {head.data(), head.size()};
  ASockDynamic *src = Src(0, size(), ":TAIL");
  char buf[65536];
  int waits = 0;
  for (int i = 0; i < 100000 && src->getUpperBound(src) > 0; ++i) {
    WaitingFor *wf = nullptr;
    int n = src->send(src, sv[0], pre.iov_len ? &pre : nullptr, &wf);
    if (n != -1) {
      ASSERT_GT(n, 0);
      continue;
    }
    ++waits;
    EXPECT_EQ(-1, wf->nMsecs);
    ASSERT_EQ(1, wf->nNumFds);
    EXPECT_EQ(sv[0], wf->awffdList[0].nFd);
    EXPECT_EQ(WAITINGFOR_WRITE, wf->awffdList[0].nEvents);
    ssize_t r = recv(sv[1], buf, sizeof buf, 0);  // make room, as the peer would
    ASSERT_GT(r, 0);
    got.append(buf, size_t(r));
  }
  EXPECT_GT(waits, 0) << "the socket never filled up";
  shutdown(sv[0], SHUT_WR);
  got += ts::read_n(sv[1], SIZE_MAX);  // to the end
  EXPECT_EQ(head + content_ + ":TAIL", got);
  close(sv[1]);
  src = Src(0, 100);
  WaitingFor *wf = nullptr;
  EXPECT_EQ(-2, src->send(src, sv[0], nullptr, &wf));
  EXPECT_EQ(nullptr, wf);
  close(sv[0]);
  // Broken preconditions stop the process.
  EXPECT_DEATH(asdyn_file(fd_, 5, 1, nullptr, nullptr, 10, 100), "asdyn_file.*start >= minstart");
  EXPECT_DEATH(asdyn_file(fd_, 50, 60, nullptr, nullptr, 0, 100), "asdyn_file.*start\\+len <= maxsize");
}

}  // namespace
