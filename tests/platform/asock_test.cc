// Plain TCP sockets against blocking peers on 127.0.0.1: connecting,
// reading (also scattered into several buffers), background and gathered
// writes, callbacks that write or close from inside, and accepting (also
// while out of descriptors).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/asock.h"
#include "plat/gdisp.h"
#include "plat/platlog.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::Completion;
using plattest::Dial;
using plattest::Reset;
using plattest::RunningCx;

namespace {

class ASockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_pipe_ = signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
    listener_ = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
    ASSERT_NE(listener_, nullptr);
    port_ = plattest::PortOf(listener_);
  }
  void TearDown() override {
    for (int fd : peers_) close(fd);
    ASock_Delete(listener_, ASOCK_CLOSE_PLAIN);
    signal(SIGPIPE, old_pipe_);
  }
  // A connected pair: our socket and the blocking peer's descriptor (closed
  // at the end unless the test closes it and sets it to -1).
  ASock *Pair(int *peer) {
    *peer = Dial(port_);
    struct sockaddr_in sin = {};
    ASock *s = plattest::AcceptOne(listener_, &sin);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(sin.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    return s;
  }
  // Reads from fd until n bytes are in, the peer closes or 10 s passed.
  static std::string ReadN(int fd, size_t n, size_t bite = 65536) {
    std::string got(n, '\0');
    size_t have = 0;
    struct pollfd p = {fd, POLLIN, 0};
    for (ssize_t r; have < n && poll(&p, 1, 10000) == 1 && (r = read(fd, &got[have], std::min(bite, n - have))) > 0;)
      have += size_t(r);
    return got.substr(0, have);
  }
  // Waits (bounded) until an ASock read gives something other than -1.
  static int Recv(ASock *s, void *buf, int n) {
    int r = -1;
    ts::wait_for([&] { return (r = ASock_Recv(s, buf, n)) != -1; }, 5000, 1);
    return r;
  }

  ASock *listener_ = nullptr;
  int port_ = 0;
  std::vector<int> peers_;
  sighandler_t old_pipe_;
};

// ---- connect ---------------------------------------------------------------

TEST_F(ASockTest, ConnectReportsRefusalThroughTheAsyncErrorAndSuccessCarriesBytes) {
  RunningCx r(2);
  ASock *dead = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
  int dead_port = plattest::PortOf(dead);
  ASock_Delete(dead, ASOCK_CLOSE_PLAIN);  // nobody listens there now
  for (int port : {dead_port, port_}) {
    ASock *s = ASock_New();
    Completion d{GDisp_New(r.cx())};
    struct sockaddr_in sin = plattest::Loopback(port);
    ASSERT_EQ(ASock_Connect(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin, d.gd, Completion::Cb, &d), 0);
    ASSERT_TRUE(d.Wait(1));
    EXPECT_EQ(d.err.load(), port == dead_port ? ECONNREFUSED : 0);
    if (port == port_) {
      ASock *server = plattest::AcceptOne(listener_);
      ASSERT_NE(server, nullptr);
      EXPECT_EQ(ASock_Send(s, "\x04\x03\x00", 3), 3);
      char buf[8];
      ASSERT_EQ(Recv(server, buf, sizeof buf), 3);
      EXPECT_EQ(std::string(buf, 3), std::string("\x04\x03\x00", 3));
      ASock_Delete(server, ASOCK_CLOSE_PLAIN);
    }
    ASock_Delete(s, ASOCK_CLOSE_PLAIN);
    GDisp_Delete(d.gd);
  }
  EXPECT_EQ(ASock_Connect(nullptr, nullptr, 0, nullptr, Completion::Cb, nullptr), -1);
}

// ---- reading ---------------------------------------------------------------

TEST_F(ASockTest, RecvResultsNothingBytesClosedAndError) {
  int peer;
  ASock *s = Pair(&peer);
  char buf[16];
  EXPECT_EQ(ASock_Recv(s, buf, sizeof buf), -1) << "nothing to read";
  EXPECT_EQ(ASock_GetLastError(s), ASOCK_ETRYAGAIN);
  ASSERT_EQ(write(peer, "hello", 5), 5);
  struct pollfd p = {ASock_GetFd(s), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_EQ(ASock_Recv(s, buf, 0), -1) << "a zero-length read with bytes queued is not end of stream";
  EXPECT_EQ(ASock_Recv(s, buf, sizeof buf), 5);
  EXPECT_EQ(ASock_Recv(s, buf, 0), -1);
  close(peer);
  EXPECT_EQ(Recv(s, buf, sizeof buf), 0) << "peer closed";
  EXPECT_EQ(Recv(s, buf, 0), 0) << "a zero-length read sees it too";
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
  s = Pair(&peer);
  Reset(peer);
  EXPECT_EQ(Recv(s, buf, sizeof buf), -2);
  EXPECT_EQ(ASock_GetLastError(s), ECONNRESET);
  EXPECT_EQ(ASock_Recv(s, nullptr, 5), -2);
  EXPECT_EQ(ASock_GetLastError(s), EINVAL);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
}

TEST_F(ASockTest, ScatterReadFillsBuffersInTurnAndSeesEndOfStreamAndBadArguments) {
  int peer;
  ASock *s = Pair(&peer);
  char a[4], b[3], c[10];
  struct iovec iov[3] = {{a, 4}, {b, 3}, {c, 10}};
  auto recvv = [&](int n) {
    int got = -1;
    ts::wait_for([&] { return (got = ASock_RecvV(s, iov, n)) != -1; }, 5000, 1);
    return got;
  };
  EXPECT_EQ(ASock_RecvV(s, iov, 3), -1) << "nothing to read yet";
  ASSERT_EQ(send(peer, "0123456789", 10, 0), 10);
  ASSERT_EQ(recvv(3), 10);
  EXPECT_EQ(std::string(a, 4) + std::string(b, 3) + std::string(c, 3), "0123456789");
  ASSERT_EQ(send(peer, "abcdefghijklmnopqrstuvwxyz", 26, 0), 26);
  ASSERT_EQ(recvv(3), 17) << "more than the buffers hold: they are filled, the rest stays";
  EXPECT_EQ(std::string(a, 4) + std::string(b, 3) + std::string(c, 10), "abcdefghijklmnopq");
  ASSERT_EQ(ASock_RecvV(s, iov, 1), 4);
  EXPECT_EQ(std::string(a, 4), "rstu");
  EXPECT_EQ(ASock_RecvV(s, nullptr, 1), -2);
  EXPECT_EQ(ASock_GetLastError(s), EINVAL);
  EXPECT_EQ(ASock_RecvV(s, iov, 0), -2);
  EXPECT_EQ(ASock_RecvV(nullptr, iov, 1), -2);
  shutdown(peer, SHUT_WR);
  ASSERT_EQ(ASock_RecvV(s, iov, 3), 5);
  EXPECT_EQ(std::string(a, 4) + b[0], "vwxyz");
  EXPECT_EQ(recvv(1), 0) << "end of stream";
  Reset(peer);
  std::this_thread::sleep_for(20ms);
  int rr = ASock_RecvV(s, iov, 1);
  EXPECT_TRUE(rr == 0 || rr == -2) << rr;
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
}

TEST_F(ASockTest, ReadableIsOneShotAndReportsQueuedBytesWhenRearmed) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  Completion d{GDisp_New(r.cx())};
  ASSERT_EQ(ASock_Readable(s, d.gd, Completion::Cb, &d), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(d.n.load(), 0);
  ASSERT_EQ(write(peer, "abcdef", 6), 6);
  ASSERT_TRUE(d.Wait(1));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(d.n.load(), 1) << "not re-armed";
  char buf[64];
  EXPECT_EQ(ASock_Recv(s, buf, 2), 2);  // four bytes stay queued
  ASSERT_EQ(ASock_Readable(s, d.gd, Completion::Cb, &d), 0);
  EXPECT_TRUE(d.Wait(2)) << "queued bytes are reported";
  // A read error is also the async error of the read object.
  Reset(peer);
  ASSERT_EQ(ASock_Readable(s, d.gd, Completion::Cb, &d), 0);
  ASSERT_TRUE(d.Wait(3));
  int n;
  while ((n = ASock_Recv(s, buf, sizeof buf)) > 0) {
  }
  EXPECT_EQ(n, -2);
  EXPECT_EQ(GDisp_GetAsyncError(d.gd), ECONNRESET);
  EXPECT_EQ(ASock_Readable(s, nullptr, Completion::Cb, &d), -1);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(d.gd);
}

TEST_F(ASockTest, DeleteDropsReadinessAlreadyQueued) {
  RunningCx r(4);
  int peer;
  ASock *s = Pair(&peer);
  peers_.push_back(peer);
  ASSERT_EQ(write(peer, "x", 1), 1);
  Completion victim{GDisp_New(r.cx())};
  Completion killer{GDisp_New(r.cx()), [&](Completion &) {
                      ASock_Readable(s, victim.gd, Completion::Cb, &victim);  // readable at once: queued behind us
                      std::this_thread::sleep_for(20ms);
                      ASock_Delete(s, ASOCK_CLOSE_PLAIN);
                    }};
  GDisp_Group(killer.gd, victim.gd);
  GDisp_Timer(killer.gd, 0, Completion::Cb, &killer);
  ASSERT_TRUE(killer.Wait(1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(victim.n.load(), 0);
  GDisp_Delete(killer.gd);
  GDisp_Delete(victim.gd);
}

TEST_F(ASockTest, ConnectionMayCloseItselfInItsCallback) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  peers_.push_back(peer);
  Completion x{GDisp_New(r.cx()), [&](Completion &self) {
                 char buf[64];
                 while (ASock_Recv(s, buf, sizeof buf) > 0) {
                 }
                 ASock_Readable(s, self.gd, Completion::Cb, &self);  // armed again, then gone at once
                 ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
                 GDisp_Delete(self.gd);
               }};
  ASSERT_EQ(ASock_Readable(s, x.gd, Completion::Cb, &x), 0);
  ASSERT_EQ(write(peer, "bye", 3), 3);
  ASSERT_TRUE(x.Wait(1));
  char c;
  EXPECT_EQ(read(peer, &c, 1), 0) << "our side closed";
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(x.n.load(), 1);
}

// ---- writing ---------------------------------------------------------------

TEST_F(ASockTest, AsyncWriteOfManyMegabytesToASlowReaderCompletes) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  peers_.push_back(peer);
  std::string data = ts::pattern(16u << 20);
  Completion w{GDisp_New(r.cx())};
  ASSERT_EQ(ASock_AsyncWrite(s, data.data(), uint32_t(data.size()), &w.status, w.gd, Completion::Cb, &w), 0);
  EXPECT_EQ(ASock_AsyncWrite(s, data.data(), 1, &w.status, w.gd, Completion::Cb, &w), -1)
      << "one background write at a time";
  std::this_thread::sleep_for(50ms);  // the reader starts late and reads in small bites first
  EXPECT_EQ(w.n.load(), 0);
  std::string got = ReadN(peer, 1u << 20, 4096);
  got += ReadN(peer, data.size() - got.size());
  EXPECT_TRUE(got == data) << "bytes arrive whole and in order: " << got.size();
  ASSERT_TRUE(w.Wait(1));
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.err.load(), 0);
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
  GDisp_Delete(w.gd);
}

TEST_F(ASockTest, WritesToAResetPeerReportErrorsWithoutSigpipe) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer), *s2;
  Reset(peer);
  std::this_thread::sleep_for(20ms);
  int rc = 0;
  for (int i = 0; i < 100 && rc >= 0; i++) rc = ASock_Send(s, "data", 4);
  EXPECT_EQ(rc, -2);
  EXPECT_TRUE(ASock_GetLastError(s) == EPIPE || ASock_GetLastError(s) == ECONNRESET) << ASock_GetLastError(s);
  struct iovec iov[1] = {{const_cast<char *>("x"), 1}};
  EXPECT_EQ(ASock_SendV(s, iov, 1), -2) << "gathered too";
  s2 = Pair(&peer);
  Reset(peer);
  std::this_thread::sleep_for(20ms);
  std::vector<char> data(1 << 20, 'q');
  Completion w{GDisp_New(r.cx())};
  ASSERT_EQ(ASock_AsyncWrite(s2, data.data(), uint32_t(data.size()), &w.status, w.gd, Completion::Cb, &w), 0);
  ASSERT_TRUE(w.Wait(1));
  EXPECT_EQ(w.status, -2);
  EXPECT_TRUE(w.err.load() == EPIPE || w.err.load() == ECONNRESET) << w.err.load();
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  ASock_Delete(s2, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(w.gd);
}

TEST_F(ASockTest, GatherWriteSendsBuffersInOrderAndStopsShortWhenFull) {
  int peer;
  ASock *s = Pair(&peer);
  peers_.push_back(peer);
  struct iovec iov[3] = {{const_cast<char *>("head "), 5}, {nullptr, 0}, {const_cast<char *>("tail"), 4}};
  ASSERT_EQ(ASock_SendV(s, iov, 3), 9);
  EXPECT_EQ(ReadN(peer, 9), "head tail");
  // Nobody reads: the socket fills, a send comes back short, then with
  // ASOCK_ETRYAGAIN; nothing is sent twice or skipped.
  std::string big = ts::pattern(256 * 1024), want;
  int sent = 0;
  for (int i = 0; i < 1000 && sent >= 0; i++) {
    size_t at = want.size() % big.size();
    struct iovec two[2] = {{&big[at], big.size() - at}, {&big[0], at}};
    if ((sent = ASock_SendV(s, two, 2)) > 0) want += (big.substr(at) + big.substr(0, at)).substr(0, size_t(sent));
  }
  EXPECT_EQ(sent, -2);
  EXPECT_EQ(ASock_GetLastError(s), ASOCK_ETRYAGAIN);
  EXPECT_TRUE(ReadN(peer, want.size()) == want);
  EXPECT_EQ(ASock_SendV(s, iov, 65), -2) << "more buffers than one call takes";
  EXPECT_EQ(ASock_SendV(s, nullptr, 1), -2);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
}

// Each completion starts the next write from inside its callback.
TEST_F(ASockTest, CompletionMayStartTheNextWrite) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  peers_.push_back(peer);
  std::string rec, want;
  std::atomic<int> failures{0};
  Completion c{GDisp_New(r.cx()), [&](Completion &self) {
                 if (self.n > 0 && self.status != 0) failures++;
                 if (self.n == 200) return;
                 rec = "record " + std::to_string(self.n.load()) + "\n";
                 if (ASock_AsyncWrite(s, rec.data(), uint32_t(rec.size()), &self.status, self.gd, Completion::Cb,
                                      &self) != 0)
                   failures++;
               }};
  GDisp_Timer(c.gd, 0, Completion::Cb, &c);
  ASSERT_TRUE(c.Wait(201));
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < 200; i++) want += "record " + std::to_string(i) + "\n";
  EXPECT_EQ(ReadN(peer, want.size()), want);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(c.gd);
}

// ---- accepting -------------------------------------------------------------

// Accepts every pending connection at each wakeup, then re-arms.
struct Acceptor {
  Acceptor(ASock *ls, GDispCx *cx) {
    c.gd = GDisp_New(cx);
    c.then = [this, ls](Completion &self) {
      while (ASock *s = ASock_Accept(ls, nullptr, nullptr, 0, 0)) {
        std::lock_guard<std::mutex> g(mu);
        socks.push_back(s);
      }
      ASock_Acceptable(ls, self.gd, Completion::Cb, &self);
    };
    EXPECT_EQ(ASock_Acceptable(ls, c.gd, Completion::Cb, &c), 0);
  }
  // The connections taken so far, deleted at the end.
  size_t Accepted() {
    std::lock_guard<std::mutex> g(mu);
    return socks.size();
  }
  ~Acceptor() {
    for (ASock *s : socks) ASock_Delete(s, ASOCK_CLOSE_PLAIN);
    GDisp_Delete(c.gd);
  }
  std::mutex mu;
  std::vector<ASock *> socks;
  Completion c;
};

TEST_F(ASockTest, AcceptableRearmsAndAcceptTakesEveryPendingConnection) {
  RunningCx r(2);
  Acceptor a(listener_, r.cx());
  for (int i = 0; i < 5; i++) peers_.push_back(Dial(port_));
  EXPECT_TRUE(ts::wait_for([&] { return a.Accepted() == 5; }));
  EXPECT_EQ(ASock_Accept(listener_, nullptr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(ASock_GetLastError(listener_), ASOCK_ETRYAGAIN);
  r.Stop();
}

// The listening socket outlives the contexts of a program's cycles.
TEST_F(ASockTest, ListeningSocketMovesToTheNextContext) {
  std::vector<std::unique_ptr<RunningCx>> kept;
  std::vector<std::unique_ptr<Acceptor>> acceptors;  // go before their contexts
  for (int cycle = 0; cycle < 3; cycle++) {
    auto r = std::make_unique<RunningCx>(2);
    auto a = std::make_unique<Acceptor>(listener_, r->cx());
    peers_.push_back(Dial(port_));
    EXPECT_TRUE(ts::wait_for([&] { return a->Accepted() == 1; })) << "cycle " << cycle;
    r->Stop();
    if (cycle == 1) continue;  // this context goes, with its objects, before the next cycle
    acceptors.push_back(std::move(a));  // these stay alive until the end
    kept.push_back(std::move(r));
  }
}

std::mutex g_log_mu;
std::vector<std::string> g_log;

TEST_F(ASockTest, AcceptUnderDescriptorExhaustionBacksOffAndRecovers) {
  RunningCx r(2);
  Plat_SetLogHook([](int sev, const char *msg) {
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log.push_back(std::to_string(sev) + " " + msg);
  });
  Acceptor a(listener_, r.cx());
  // One ordinary connection first, so that nothing of the accept path is
  // made for the first time while descriptors are short (the sanitizers
  // need descriptors of their own for that).
  peers_.push_back(Dial(port_));
  ASSERT_TRUE(ts::wait_for([&] { return a.Accepted() == 1; }));
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  peers_.push_back(peer);
  struct rlimit old, low;
  getrlimit(RLIMIT_NOFILE, &old);
  low = old;
  low.rlim_cur = 256 < old.rlim_cur ? 256 : old.rlim_cur;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> hogs;
  for (int fd; hogs.size() < 4096 && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) hogs.push_back(fd);
  struct sockaddr_in sin = plattest::Loopback(port_);
  ASSERT_EQ(connect(peer, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin), 0);
  int wakeups0 = a.c.n.load();
  struct rusage ru0, ru1;
  getrusage(RUSAGE_SELF, &ru0);
  std::this_thread::sleep_for(500ms);
  getrusage(RUSAGE_SELF, &ru1);
  int wakeups = a.c.n.load() - wakeups0;
  size_t accepted = a.Accepted();
  for (int fd : hogs) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(accepted, 1u) << "no descriptor to accept with";
  EXPECT_GE(wakeups, 1);
  EXPECT_LE(wakeups, 20) << "the acceptor spins while out of descriptors";
  auto cpu_us = [](const struct rusage &u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
  };
  EXPECT_LT(cpu_us(ru1) - cpu_us(ru0), 250000L) << "busy while waiting for descriptors";
  EXPECT_TRUE(ts::wait_for([&] { return a.Accepted() == 2; }, 3000)) << "recovers by itself";
  r.Stop();
  Plat_SetLogHook(nullptr);
  std::lock_guard<std::mutex> g(g_log_mu);
  ASSERT_EQ(g_log.size(), 2u) << "one line when it starts, one when it ends";
  EXPECT_EQ(g_log[0].rfind("3 accept: out of descriptors", 0), 0u) << g_log[0];
  EXPECT_EQ(g_log[1].rfind("5 accept: descriptors available again", 0), 0u) << g_log[1];
}

TEST(ASockBindTest, PortInUseGivesNoSocket) {
  ASock *a = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ASock_NewBound(htonl(INADDR_LOOPBACK), plattest::PortOf(a)), nullptr);
  EXPECT_EQ(ASock_NewBound(0, 70000), nullptr);
  ASock_Delete(a, ASOCK_CLOSE_PLAIN);
  ASock_Delete(nullptr, 0);
}

}  // namespace
