// Dynamic data sources: the dot-stuffing pieces on the worked example, line
// limits, missing final line ends and the upper bound; the file source's
// pieces, reads and direct sends through a real non-blocking socket that
// fills up; and both drained end to end by the platform's socket layer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "plat/asock.h"
#include "plat/gdisp.h"
#include "tovi/asdyn.h"

namespace {

std::vector<std::string> pieces_of(ASockDynamic *src, int limit = 100) {
  std::vector<std::string> out;
  for (int i = 0; i < limit; ++i) {
    struct iovec v = {nullptr, 0};
    WaitingFor *wf = nullptr;
    EXPECT_EQ(0, src->getBuf(src, &v, &wf));
    if (v.iov_len == 0)
      break;
    out.emplace_back(static_cast<const char *>(v.iov_base), v.iov_len);
  }
  return out;
}

std::string joined(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &p : v)
    s += p;
  return s;
}

// ---- dot-stuffing ----

TEST(DotStuff, WorkedExampleOverlapsPiecesByTheDot) {
  const std::string text = "a\r\n.b\r\n..\r\n";
  ASockDynamic *src = asdyn_dotstuff(text.data(), text.size(), nullptr, -1);
  EXPECT_EQ(nullptr, src->read);
  EXPECT_EQ(nullptr, src->send);
  auto p = pieces_of(src);
  ASSERT_EQ(3u, p.size());
  EXPECT_EQ("a\r\n.", p[0]);
  EXPECT_EQ(".b\r\n.", p[1]);
  EXPECT_EQ("..\r\n", p[2]);
  EXPECT_EQ("a\r\n..b\r\n...\r\n", joined(p));
  // Every piece points into the caller's text: nothing was copied.
  struct iovec v;
  EXPECT_EQ(0, src->getBuf(src, &v, nullptr));
  EXPECT_EQ(0u, v.iov_len);
  asdyn_dotstuff_free(src);
}

TEST(DotStuff, LeadingDotIsDoubledToo) {
  const std::string text = ".x\r\ny\r\n";
  ASockDynamic *src = asdyn_dotstuff(text.data(), text.size(), nullptr, -1);
  auto p = pieces_of(src);
  ASSERT_EQ(2u, p.size());
  EXPECT_EQ(".", p[0]);
  EXPECT_EQ("..x\r\ny\r\n", joined(p));
  asdyn_dotstuff_free(src);
}

TEST(DotStuff, MissingFinalLineEndIsAddedBeforeTheTrailer) {
  const std::string text = "H: v\r\n\r\nbody";
  std::string end = ".\r\n";
  struct iovec post = {end.data(), end.size()};
  ASockDynamic *src = asdyn_dotstuff(text.data(), text.size(), &post, -1);
  auto p = pieces_of(src);
  ASSERT_EQ(3u, p.size());
  EXPECT_EQ("\r\n", p[1]);
  EXPECT_EQ(".\r\n", p[2]);
  EXPECT_EQ("H: v\r\n\r\nbody\r\n.\r\n", joined(p));
  EXPECT_EQ(0u, asdyn_dotstuff_getUpperBound(src));
  asdyn_dotstuff_free(src);
}

TEST(DotStuff, LineLimitCountsBodyLinesOnly) {
  const std::string text = "From: a\r\nTo: b\r\n\r\nl1\r\n.l2\r\nl3\r\nl4\r\n";
  struct {
    int limit;
    std::string want;
  } cases[] = {
      {0, "From: a\r\nTo: b\r\n\r\n"},
      {1, "From: a\r\nTo: b\r\n\r\nl1\r\n"},
      {2, "From: a\r\nTo: b\r\n\r\nl1\r\n..l2\r\n"},  // a stuffed line counts once
      {3, "From: a\r\nTo: b\r\n\r\nl1\r\n..l2\r\nl3\r\n"},
      {-1, "From: a\r\nTo: b\r\n\r\nl1\r\n..l2\r\nl3\r\nl4\r\n"},
      {99, "From: a\r\nTo: b\r\n\r\nl1\r\n..l2\r\nl3\r\nl4\r\n"},
  };
  for (const auto &c : cases) {
    ASockDynamic *src = asdyn_dotstuff(text.data(), text.size(), nullptr, c.limit);
    EXPECT_EQ(c.want, joined(pieces_of(src))) << "limit " << c.limit;
    asdyn_dotstuff_free(src);
  }
}

TEST(DotStuff, UpperBoundCoversTheWorstCase) {
  std::string text(300, 'x');
  ASockDynamic *src = asdyn_dotstuff(text.data(), 300, nullptr, -1);
  EXPECT_EQ(402u, asdyn_dotstuff_getUpperBound(src));
  asdyn_dotstuff_free(src);
  std::string tail = "\r\n.\r\n";
  struct iovec post = {tail.data(), tail.size()};
  src = asdyn_dotstuff(text.data(), 0x20000000u, &post, -1);  // never scanned
  EXPECT_EQ(2147483647u, asdyn_dotstuff_getUpperBound(src));
  asdyn_dotstuff_free(src);
  // Only dots: the bound holds for the real output.
  std::string dots;
  for (int i = 0; i < 100; ++i)
    dots += ".\r\n";
  src = asdyn_dotstuff(dots.data(), dots.size(), &post, -1);
  uint32_t bound = asdyn_dotstuff_getUpperBound(src);
  std::string out = joined(pieces_of(src, 1000));
  EXPECT_EQ(400u + tail.size(), out.size());
  EXPECT_LE(out.size(), bound);
  asdyn_dotstuff_free(src);
}

TEST(DotStuff, EmptyTextGivesOnlyTheTrailerOnce) {
  std::string tail = "END";
  struct iovec post = {tail.data(), tail.size()};
  ASockDynamic *src = asdyn_dotstuff("", 0, &post, -1);
  EXPECT_EQ(3u, asdyn_dotstuff_getUpperBound(src));
  EXPECT_EQ(std::vector<std::string>{"END"}, pieces_of(src));
  EXPECT_TRUE(pieces_of(src).empty());
  asdyn_dotstuff_free(src);
}

// ---- file source ----

class FileSource : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    char name[] = "/tmp/rt_asdynXXXXXX";
    fd_ = mkstemp(name);
    ASSERT_GE(fd_, 0);
    unlink(name);
    content_.resize(4 << 20);
    for (size_t i = 0; i < content_.size(); ++i)
      content_[i] = static_cast<char>('a' + (i / 7) % 26);
    ASSERT_EQ(static_cast<ssize_t>(content_.size()), write(fd_, content_.data(), content_.size()));
  }
  void TearDown() override { close(fd_); }
  uint32_t size() const { return static_cast<uint32_t>(content_.size()); }
  int fd_;
  std::string content_;
};

TEST_F(FileSource, GetBufHandsOutTheMappedRangeThenTheTrailerOnce) {
  std::string tail = "<tail>";
  struct iovec post = {tail.data(), tail.size()};
  ASockDynamic *src = asdyn_file(fd_, 100, 5000, &post, nullptr, 0, size());
  EXPECT_EQ(5006u, src->getUpperBound(src));
  auto p = pieces_of(src);
  ASSERT_EQ(2u, p.size());
  EXPECT_EQ(content_.substr(100, 5000), p[0]);
  EXPECT_EQ(tail, p[1]);
  EXPECT_EQ(0u, src->getUpperBound(src));
  asdyn_file_free(src);  // releases the map it made
}

TEST_F(FileSource, SharedMapIsKeptByTheCaller) {
  tovi_map *map = nullptr;
  ASockDynamic *a = asdyn_file(fd_, 0, 10, nullptr, &map, 0, size());
  ASockDynamic *b = asdyn_file(fd_, 20, 10, nullptr, &map, 0, size());
  EXPECT_EQ(content_.substr(0, 10), joined(pieces_of(a)));
  tovi_map *first = map;
  EXPECT_EQ(content_.substr(20, 10), joined(pieces_of(b)));
  EXPECT_EQ(first, map);
  asdyn_file_free(a);
  asdyn_file_free(b);
  ASSERT_NE(nullptr, map);
  map_free(map);
}

TEST_F(FileSource, EmptyRangeGivesOnlyTheTrailer) {
  std::string tail = "T";
  struct iovec post = {tail.data(), 1};
  ASockDynamic *src = asdyn_file(fd_, 10, 0, &post, nullptr, 0, size());
  EXPECT_EQ(std::vector<std::string>{"T"}, pieces_of(src));
  asdyn_file_free(src);
}

TEST_F(FileSource, ReadFillsSmallBuffersAcrossRangeAndTrailer) {
  std::string tail = "0123456789";
  struct iovec post = {tail.data(), tail.size()};
  ASockDynamic *src = asdyn_file(fd_, 7, 5, &post, nullptr, 0, size());
  char buf[4];
  std::string got;
  std::vector<int> counts;
  for (int i = 0; i < 20; ++i) {
    int n = src->read(src, buf, sizeof buf, nullptr);
    ASSERT_GE(n, 0);
    if (n == 0)
      break;
    counts.push_back(n);
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(content_.substr(7, 5) + tail, got);
  // 4 from the file; 1 file + 3 trailer; then the trailer in pieces.
  EXPECT_EQ((std::vector<int>{4, 4, 4, 3}), counts);
  asdyn_file_free(src);
}

TEST_F(FileSource, GetBufRefusesARangePastTheEndOfTheFile) {
  ASockDynamic *src = asdyn_file(fd_, size() - 10, 20, nullptr, nullptr, 0, size() + 4096);
  struct iovec v = {nullptr, 0};
  EXPECT_EQ(-2, src->getBuf(src, &v, nullptr));
  EXPECT_EQ(0u, v.iov_len);
  asdyn_file_free(src);
}

TEST_F(FileSource, ReadPastTheEndOfTheFileFails) {
  ASockDynamic *src = asdyn_file(fd_, size() - 3, 10, nullptr, nullptr, 0, size() + 100);
  char buf[64];
  EXPECT_EQ(3, src->read(src, buf, sizeof buf, nullptr));
  EXPECT_EQ(-2, src->read(src, buf, sizeof buf, nullptr));
  asdyn_file_free(src);
  src = asdyn_file(-1, 0, 10, nullptr, nullptr, 0, 10);
  EXPECT_EQ(-2, src->read(src, buf, sizeof buf, nullptr));
  struct iovec v;
  EXPECT_EQ(-2, src->getBuf(src, &v, nullptr));
  asdyn_file_free(src);
}

TEST_F(FileSource, SendOnAFullSocketAsksToWaitForWritable) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  ASSERT_EQ(0, fcntl(sv[0], F_SETFL, O_NONBLOCK));
  std::string head = "HEAD:", tail = ":TAIL";
  struct iovec post = {tail.data(), tail.size()};
  struct iovec pre = {head.data(), head.size()};
  ASockDynamic *src = asdyn_file(fd_, 0, size(), &post, nullptr, 0, size());
  std::string got;
  char buf[65536];
  int waits = 0;
  bool pre_pending = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (src->getUpperBound(src) > 0 && std::chrono::steady_clock::now() < deadline) {
    WaitingFor *wf = nullptr;
    int n = src->send(src, sv[0], pre_pending ? &pre : nullptr, &wf);
    if (pre.iov_len == 0)
      pre_pending = false;
    if (n == -1) {
      ++waits;
      ASSERT_NE(nullptr, wf);
      EXPECT_EQ(-1, wf->nMsecs);
      ASSERT_EQ(1, wf->nNumFds);
      EXPECT_EQ(sv[0], wf->awffdList[0].nFd);
      EXPECT_EQ(2, wf->awffdList[0].nEvents);
      // Make room, as the peer would.
      ssize_t r = recv(sv[1], buf, sizeof buf, 0);
      ASSERT_GT(r, 0);
      got.append(buf, static_cast<size_t>(r));
      continue;
    }
    ASSERT_GT(n, 0);
  }
  EXPECT_GT(waits, 0) << "the socket never filled up";
  shutdown(sv[0], SHUT_WR);
  ssize_t r;
  while ((r = recv(sv[1], buf, sizeof buf, 0)) > 0)
    got.append(buf, static_cast<size_t>(r));
  EXPECT_EQ(head + content_ + tail, got);
  asdyn_file_free(src);
  close(sv[0]);
  close(sv[1]);
}

TEST_F(FileSource, SendToAClosedPeerFails) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  close(sv[1]);
  ASockDynamic *src = asdyn_file(fd_, 0, 100, nullptr, nullptr, 0, size());
  WaitingFor *wf = nullptr;
  EXPECT_EQ(-2, src->send(src, sv[0], nullptr, &wf));
  EXPECT_EQ(nullptr, wf);
  asdyn_file_free(src);
  close(sv[0]);
}

TEST_F(FileSource, PreconditionsStopTheProcess) {
  EXPECT_DEATH(asdyn_file(fd_, 5, 1, nullptr, nullptr, 10, 100), "asdyn_file.*start >= minstart");
  EXPECT_DEATH(asdyn_file(fd_, 50, 60, nullptr, nullptr, 0, 100), "asdyn_file.*start\\+len <= maxsize");
}

// ---- drained by the socket layer ----

struct Drain {
  GDispCx *cx = nullptr;
  int status = 99;
  std::atomic<bool> done{false};
};

void on_written(void *arg) {
  auto *d = static_cast<Drain *>(arg);
  d->done = true;
  GDispCx_Shutdown(d->cx);
}

// Sends src through ASock_AsyncWriteDynamic on an accepted socket and
// returns what a plain client received (reading until want bytes came or
// the peer went quiet for five seconds, so an endless source shows up as
// extra bytes).
std::string drain_through_socket_layer(ASockDynamic *src, size_t want, int *status) {
  Drain d;
  d.cx = GDispCx_New(2, 1, 65536);
  EXPECT_NE(nullptr, d.cx);
  ASock *listener = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
  EXPECT_NE(nullptr, listener);
  struct sockaddr_in addr {};
  socklen_t alen = sizeof addr;
  getsockname(ASock_GetFd(listener), reinterpret_cast<struct sockaddr *>(&addr), &alen);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(0, connect(client, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr));
  struct pollfd pfd = {ASock_GetFd(listener), POLLIN, 0};
  EXPECT_EQ(1, poll(&pfd, 1, 5000));
  struct sockaddr_in peer;
  int plen = sizeof peer;
  ASock *conn = ASock_Accept(listener, reinterpret_cast<struct sockaddr *>(&peer), &plen, 0, 0);
  EXPECT_NE(nullptr, conn);
  GDisp *gd = GDisp_New(d.cx);
  EXPECT_EQ(0, ASock_AsyncWriteDynamic(conn, src, &d.status, gd, on_written, &d));
  std::thread loop([&] { GDispCx_DispatchLoop(d.cx); });
  std::string got;
  char buf[65536];
  struct pollfd cp = {client, POLLIN, 0};
  for (int i = 0; i < 100000 && got.size() < want && poll(&cp, 1, 5000) == 1; ++i) {
    ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n <= 0)
      break;
    got.append(buf, static_cast<size_t>(n));
  }
  // The completion callback ends the loop; a source that never ends would
  // keep it running, so give it five seconds and then stop it ourselves.
  for (int i = 0; i < 500 && !d.done; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(d.done) << "the write never completed";
  if (!d.done)
    GDispCx_Shutdown(d.cx);
  loop.join();
  cp.events = POLLIN;
  if (poll(&cp, 1, 200) == 1) {  // nothing may follow the trailer
    ssize_t n = recv(client, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0)
      got.append(buf, static_cast<size_t>(n));
  }
  *status = d.status;
  ASock_Delete(conn, 0);
  ASock_Delete(listener, 0);
  GDisp_Delete(gd);
  GDispCx_Delete(d.cx);
  close(client);
  return got;
}

TEST_F(FileSource, SocketLayerDrainsRangeAndTrailerAndStops) {
  std::string tail = "\r\n.\r\n";
  struct iovec post = {tail.data(), tail.size()};
  ASockDynamic *src = asdyn_file(fd_, 1000, 1 << 20, &post, nullptr, 0, size());
  int status = 0;
  std::string want = content_.substr(1000, 1 << 20) + tail;
  std::string got = drain_through_socket_layer(src, want.size(), &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(want, got);
  asdyn_file_free(src);
}

TEST(DotStuffSocket, SocketLayerDrainsStuffedText) {
  std::string text = "Subject: x\r\n\r\n.hidden\r\nplain\r\n..two";
  std::string tail = ".\r\n";
  struct iovec post = {tail.data(), tail.size()};
  ASockDynamic *src = asdyn_dotstuff(text.data(), text.size(), &post, -1);
  int status = 0;
  std::string want = "Subject: x\r\n\r\n..hidden\r\nplain\r\n...two\r\n.\r\n";
  std::string got = drain_through_socket_layer(src, want.size(), &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(want, got);
  asdyn_dotstuff_free(src);
}

}  // namespace
