// Scatter reads and gather writes of plain sockets: bytes land in the
// buffers in order, short results are reported as such, errors and end of
// stream read as ASock_Recv / ASock_Send report them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "plat/asock.h"

using namespace std::chrono_literals;

namespace {

class ASockVector : public ::testing::Test {
 protected:
  void SetUp() override {
    old_pipe_ = signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
    listener_ = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
    ASSERT_NE(listener_, nullptr);
    struct sockaddr_in sin = {};
    socklen_t l = sizeof sin;
    getsockname(ASock_GetFd(listener_), reinterpret_cast<struct sockaddr *>(&sin), &l);
    peer_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(peer_, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin), 0);
    for (int i = 0; i < 1000 && !s_; i++) {
      s_ = ASock_Accept(listener_, nullptr, nullptr, 0, 0);
      if (!s_) std::this_thread::sleep_for(1ms);
    }
    ASSERT_NE(s_, nullptr);
  }
  void TearDown() override {
    if (s_) ASock_Delete(s_, ASOCK_CLOSE_PLAIN);
    if (peer_ >= 0) close(peer_);
    ASock_Delete(listener_, ASOCK_CLOSE_PLAIN);
    signal(SIGPIPE, old_pipe_);
  }
  // Reads from the peer until `n` bytes are in or 5 s have passed.
  std::string PeerRead(size_t n) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + 5s;
    char buf[65536];
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      ssize_t r = recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
      if (r > 0) got.append(buf, static_cast<size_t>(r));
      else if (r == 0) break;
      else std::this_thread::sleep_for(1ms);
    }
    return got;
  }
  // Waits until the socket has `n` bytes to read (bounded).
  void AwaitBytes(size_t n) {
    char buf[1 << 16];
    for (int i = 0; i < 5000; i++) {
      ssize_t r = recv(ASock_GetFd(s_), buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
      if (r >= static_cast<ssize_t>(n)) return;
      std::this_thread::sleep_for(1ms);
    }
  }

  ASock *listener_ = nullptr;
  ASock *s_ = nullptr;
  int peer_ = -1;
  sighandler_t old_pipe_;
};

TEST_F(ASockVector, ScatterReadFillsBuffersInTurnAndReportsTheTotal) {
  char a[4], b[3], c[10];
  struct iovec iov[3] = {{a, 4}, {b, 3}, {c, 10}};
  EXPECT_EQ(ASock_RecvV(s_, iov, 3), -1) << "nothing to read yet";
  ASSERT_EQ(send(peer_, "0123456789", 10, 0), 10);
  AwaitBytes(10);
  ASSERT_EQ(ASock_RecvV(s_, iov, 3), 10);
  EXPECT_EQ(std::string(a, 4), "0123");
  EXPECT_EQ(std::string(b, 3), "456");
  EXPECT_EQ(std::string(c, 3), "789");

  // More than the buffers hold: they are filled, the rest stays.
  ASSERT_EQ(send(peer_, "abcdefghijklmnopqrstuvwxyz", 26, 0), 26);
  AwaitBytes(26);
  ASSERT_EQ(ASock_RecvV(s_, iov, 3), 17);
  EXPECT_EQ(std::string(a, 4) + std::string(b, 3) + std::string(c, 10), "abcdefghijklmnopq");
  ASSERT_EQ(ASock_RecvV(s_, iov, 1), 4);
  EXPECT_EQ(std::string(a, 4), "rstu");

  EXPECT_EQ(ASock_RecvV(s_, nullptr, 1), -2);
  EXPECT_EQ(ASock_GetLastError(s_), EINVAL);
  EXPECT_EQ(ASock_RecvV(s_, iov, 0), -2);
  EXPECT_EQ(ASock_RecvV(nullptr, iov, 1), -2);
}

TEST_F(ASockVector, ScatterReadSeesEndOfStreamAndReset) {
  char a[8];
  struct iovec iov[1] = {{a, 8}};
  ASSERT_EQ(send(peer_, "xy", 2, 0), 2);
  shutdown(peer_, SHUT_WR);
  AwaitBytes(2);
  EXPECT_EQ(ASock_RecvV(s_, iov, 1), 2);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ASock_RecvV(s_, iov, 1), 0) << "end of stream";
  struct linger lg = {1, 0};
  setsockopt(peer_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(peer_);
  peer_ = -1;
  std::this_thread::sleep_for(20ms);
  int r = ASock_RecvV(s_, iov, 1);
  EXPECT_TRUE(r == 0 || r == -2) << r;
}

TEST_F(ASockVector, GatherWriteSendsBuffersInOrderAndStopsShortWhenFull) {
  struct iovec iov[3] = {{const_cast<char *>("head "), 5}, {nullptr, 0}, {const_cast<char *>("tail"), 4}};
  ASSERT_EQ(ASock_SendV(s_, iov, 3), 9);
  EXPECT_EQ(PeerRead(9), "head tail");

  // Nobody reads: the socket fills, a send comes back short, then with
  // ASOCK_ETRYAGAIN; nothing is sent twice or skipped.
  std::string big(256 * 1024, 0);
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>('a' + (i * 7) % 26);
  size_t sent = 0;
  int r = 0;
  for (int i = 0; i < 1000; i++) {
    struct iovec one[2] = {{&big[sent % big.size()], big.size() - sent % big.size()}, {&big[0], sent % big.size()}};
    r = ASock_SendV(s_, one, 2);
    if (r < 0) break;
    sent += static_cast<size_t>(r);
  }
  EXPECT_EQ(r, -2);
  EXPECT_EQ(ASock_GetLastError(s_), ASOCK_ETRYAGAIN);
  std::string got = PeerRead(sent);
  ASSERT_EQ(got.size(), sent);
  for (size_t i = 0; i < sent; i++)
    ASSERT_EQ(got[i], big[i % big.size()]) << "at " << i;

  struct linger lg = {1, 0};
  setsockopt(peer_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(peer_);
  peer_ = -1;
  std::this_thread::sleep_for(20ms);
  int e = ASock_SendV(s_, iov, 1);
  EXPECT_EQ(e, -2) << "a reset peer is an error, not SIGPIPE";
  EXPECT_NE(ASock_GetLastError(s_), 0);
  EXPECT_EQ(ASock_SendV(s_, iov, 65), -2) << "more buffers than one call takes";
}

}  // namespace
