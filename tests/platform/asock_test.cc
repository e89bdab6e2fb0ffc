// Plain TCP sockets against blocking peers on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
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
using plattest::RunningCx;
using plattest::WaitFor;

namespace {

struct sockaddr_in Loop(int port) {
  struct sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sin;
}

int PortOf(ASock *s) {
  struct sockaddr_in sin = {};
  socklen_t l = sizeof sin;
  getsockname(ASock_GetFd(s), reinterpret_cast<struct sockaddr *>(&sin), &l);
  return ntohs(sin.sin_port);
}

// A blocking client connected to the listening socket.
int Dial(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sin = Loop(port);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Makes the peer's close a reset.
void Reset(int fd) {
  struct linger lg = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(fd);
}

class ASockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_pipe_ = signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
    listener_ = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
    ASSERT_NE(listener_, nullptr);
    port_ = PortOf(listener_);
  }
  void TearDown() override {
    ASock_Delete(listener_, ASOCK_CLOSE_PLAIN);
    signal(SIGPIPE, old_pipe_);
  }
  // A connected pair: our socket and the blocking peer's descriptor.
  ASock *Pair(int *peer) {
    *peer = Dial(port_);
    EXPECT_GE(*peer, 0);
    struct sockaddr_in sin = {};
    int len = sizeof sin;
    ASock *s = nullptr;
    for (int i = 0; i < 1000 && !s; i++) {
      s = ASock_Accept(listener_, reinterpret_cast<struct sockaddr *>(&sin), &len, 0, 0);
      if (!s) std::this_thread::sleep_for(1ms);
    }
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(sin.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    return s;
  }

  ASock *listener_ = nullptr;
  int port_ = 0;
  sighandler_t old_pipe_;
};

using Done = plattest::Completion;

// ---- connect ------------------------------------------------------------------

TEST_F(ASockTest, ConnectFailureIsReportedThroughAsyncError) {
  RunningCx r(2);
  ASock *dead = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
  int port = PortOf(dead);
  ASock_Delete(dead, ASOCK_CLOSE_PLAIN);  // nobody listens there now
  ASock *s = ASock_New();
  Done d;
  d.gd = GDisp_New(r.cx());
  struct sockaddr_in sin = Loop(port);
  ASSERT_EQ(ASock_Connect(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin, d.gd, Done::Cb, &d), 0);
  ASSERT_TRUE(WaitFor([&] { return d.n.load() == 1; }));
  EXPECT_EQ(d.err.load(), ECONNREFUSED);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(d.gd);
}

TEST_F(ASockTest, ConnectSuccessThenSendAndRecv) {
  RunningCx r(2);
  ASock *s = ASock_New();
  Done d;
  d.gd = GDisp_New(r.cx());
  struct sockaddr_in sin = Loop(port_);
  ASSERT_EQ(ASock_Connect(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin, d.gd, Done::Cb, &d), 0);
  ASSERT_TRUE(WaitFor([&] { return d.n.load() == 1; }));
  EXPECT_EQ(d.err.load(), 0);
  ASock *server = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (server = ASock_Accept(listener_, nullptr, nullptr, 0, 0)); }));
  EXPECT_EQ(ASock_Send(s, "\x04\x03\x00", 3), 3);
  char buf[8];
  int n = -1;
  ASSERT_TRUE(WaitFor([&] { return (n = ASock_Recv(server, buf, sizeof buf)) != -1; }));
  ASSERT_EQ(n, 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x04\x03\x00", 3));
  ASock_Delete(server, ASOCK_CLOSE_PLAIN);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(d.gd);
}

// ---- reading --------------------------------------------------------------------

TEST_F(ASockTest, RecvResultsNothingBytesClosedAndError) {
  int peer;
  ASock *s = Pair(&peer);
  char buf[16];
  EXPECT_EQ(ASock_Recv(s, buf, sizeof buf), -1) << "nothing to read";
  EXPECT_EQ(ASock_GetLastError(s), ASOCK_ETRYAGAIN);
  ASSERT_EQ(write(peer, "hello", 5), 5);
  int n = -1;
  ASSERT_TRUE(WaitFor([&] { return (n = ASock_Recv(s, buf, sizeof buf)) != -1; }));
  EXPECT_EQ(n, 5);
  EXPECT_EQ(ASock_Recv(s, buf, 0), -1) << "zero-length read is not end of stream";
  close(peer);
  ASSERT_TRUE(WaitFor([&] { return (n = ASock_Recv(s, buf, sizeof buf)) != -1; }));
  EXPECT_EQ(n, 0) << "peer closed";
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);

  s = Pair(&peer);
  Reset(peer);
  ASSERT_TRUE(WaitFor([&] { return (n = ASock_Recv(s, buf, sizeof buf)) != -1; }));
  EXPECT_EQ(n, -2);
  EXPECT_EQ(ASock_GetLastError(s), ECONNRESET);
  EXPECT_EQ(ASock_Recv(s, nullptr, 5), -2);
  EXPECT_EQ(ASock_GetLastError(s), EINVAL);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
}

TEST_F(ASockTest, ReadableIsOneShotAndReportsQueuedBytesWhenRearmed) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  Done d;
  d.gd = GDisp_New(r.cx());
  ASSERT_EQ(ASock_Readable(s, d.gd, Done::Cb, &d), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(d.n.load(), 0);
  ASSERT_EQ(write(peer, "abcdef", 6), 6);
  ASSERT_TRUE(WaitFor([&] { return d.n.load() == 1; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(d.n.load(), 1) << "not re-armed";
  char buf[2];
  EXPECT_EQ(ASock_Recv(s, buf, 2), 2);  // four bytes stay queued
  ASSERT_EQ(ASock_Readable(s, d.gd, Done::Cb, &d), 0);
  EXPECT_TRUE(WaitFor([&] { return d.n.load() == 2; })) << "queued bytes are reported";
  // A read error is also the async error of the read object.
  Reset(peer);
  ASSERT_EQ(ASock_Readable(s, d.gd, Done::Cb, &d), 0);
  ASSERT_TRUE(WaitFor([&] { return d.n.load() == 3; }));
  char big[64];
  int n;
  while ((n = ASock_Recv(s, big, sizeof big)) > 0) {
  }
  EXPECT_EQ(n, -2);
  EXPECT_EQ(GDisp_GetAsyncError(d.gd), ECONNRESET);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(d.gd);
}

struct DeleteInGroup {
  ASock *s;
  GDisp *a, *b;
  Done *d;
  std::atomic<bool> done{false};
  static void Cb(void *p) {
    auto *x = static_cast<DeleteInGroup *>(p);
    ASock_Readable(x->s, x->b, Done::Cb, x->d);  // readable at once: queued behind us
    std::this_thread::sleep_for(20ms);
    ASock_Delete(x->s, ASOCK_CLOSE_PLAIN);
    x->done = true;
  }
};

TEST_F(ASockTest, DeleteDropsReadinessAlreadyQueued) {
  RunningCx r(4);
  int peer;
  ASock *s = Pair(&peer);
  ASSERT_EQ(write(peer, "x", 1), 1);
  Done d;
  DeleteInGroup x{s, GDisp_New(r.cx()), GDisp_New(r.cx()), &d};
  d.gd = x.b;
  GDisp_Group(x.a, x.b);
  GDisp_Timer(x.a, 0, DeleteInGroup::Cb, &x);
  ASSERT_TRUE(WaitFor([&] { return x.done.load(); }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(d.n.load(), 0);
  close(peer);
  GDisp_Delete(x.a);
  GDisp_Delete(x.b);
}

// ---- writing --------------------------------------------------------------------

using WriteDone = plattest::Completion;

TEST_F(ASockTest, AsyncWriteOfManyMegabytesToSlowReaderCompletes) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  constexpr size_t kSize = 16u << 20;
  std::vector<unsigned char> data(kSize);
  for (size_t i = 0; i < kSize; i++) data[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
  WriteDone w;
  w.gd = GDisp_New(r.cx());
  ASSERT_EQ(ASock_AsyncWrite(s, data.data(), kSize, &w.status, w.gd, WriteDone::Cb, &w), 0);
  EXPECT_EQ(ASock_AsyncWrite(s, data.data(), 1, &w.status, w.gd, WriteDone::Cb, &w), -1)
      << "one background write at a time";
  // The reader starts late and reads in small bites.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(w.n.load(), 0);
  size_t got = 0;
  bool same = true;
  std::vector<unsigned char> buf(256 * 1024);
  auto end = std::chrono::steady_clock::now() + 30s;
  while (got < kSize && std::chrono::steady_clock::now() < end) {
    ssize_t n = read(peer, buf.data(), got < (1u << 20) ? 4096 : buf.size());
    if (n <= 0) break;
    same = same && memcmp(buf.data(), data.data() + got, static_cast<size_t>(n)) == 0;
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(got, kSize);
  EXPECT_TRUE(same) << "bytes arrive whole and in order";
  ASSERT_TRUE(WaitFor([&] { return w.n.load() == 1; }));
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.err.load(), 0);
  close(peer);
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
  GDisp_Delete(w.gd);
}

TEST_F(ASockTest, WritesToResetPeerReportErrorsWithoutSigpipe) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  Reset(peer);
  std::this_thread::sleep_for(20ms);
  int rc = 0;
  for (int i = 0; i < 100 && rc >= 0; i++) rc = ASock_Send(s, "data", 4);
  EXPECT_EQ(rc, -2);
  int e = ASock_GetLastError(s);
  EXPECT_TRUE(e == EPIPE || e == ECONNRESET) << e;

  ASock *s2 = Pair(&peer);
  Reset(peer);
  std::this_thread::sleep_for(20ms);
  std::vector<char> data(1 << 20, 'q');
  WriteDone w;
  w.gd = GDisp_New(r.cx());
  ASSERT_EQ(ASock_AsyncWrite(s2, data.data(), static_cast<uint32_t>(data.size()), &w.status, w.gd,
                             WriteDone::Cb, &w),
            0);
  ASSERT_TRUE(WaitFor([&] { return w.n.load() == 1; }));
  EXPECT_EQ(w.status, -2);
  EXPECT_TRUE(w.err.load() == EPIPE || w.err.load() == ECONNRESET) << w.err.load();
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  ASock_Delete(s2, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(w.gd);
}

// A data source handing out three pieces.
struct Pieces {
  ASockDynamic asd;
  int next;
  static int GetBuf(ASockDynamic *p, struct iovec *iov, WaitingFor **) {
    auto *x = reinterpret_cast<Pieces *>(p);
    static const char *parts[] = {"one ", "two ", "three", ""};
    const char *s = parts[x->next < 3 ? x->next++ : 3];
    iov->iov_base = const_cast<char *>(s);
    iov->iov_len = strlen(s);
    return 0;
  }
};

TEST_F(ASockTest, AsyncWriteDynamicDrainsTheSource) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  Pieces src = {};
  src.asd.getBuf = Pieces::GetBuf;
  WriteDone w;
  w.gd = GDisp_New(r.cx());
  ASSERT_EQ(ASock_AsyncWriteDynamic(s, &src.asd, &w.status, w.gd, WriteDone::Cb, &w), 0);
  ASSERT_TRUE(WaitFor([&] { return w.n.load() == 1; }));
  EXPECT_EQ(w.status, 0);
  char buf[32];
  ssize_t n = read(peer, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "one two three");
  close(peer);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(w.gd);
}

// Each completion starts the next write from inside its callback.
struct WriteChain {
  WriteChain(ASock *sock, GDisp *g, int n) : s(sock), gd(g), limit(n) {}
  ASock *s;
  GDisp *gd;
  int status = 0;
  int next = 0;
  int limit;
  std::string rec;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  static void Cb(void *p) {
    auto *c = static_cast<WriteChain *>(p);
    if (c->next > 0 && c->status != 0) c->failures++;
    if (c->next == c->limit) {
      c->done = true;
      return;
    }
    c->rec = "record " + std::to_string(c->next++) + "\n";
    if (ASock_AsyncWrite(c->s, c->rec.data(), static_cast<uint32_t>(c->rec.size()), &c->status, c->gd,
                         Cb, c) != 0)
      c->failures++;
  }
};

TEST_F(ASockTest, CompletionMayStartTheNextWrite) {
  RunningCx r(2);
  int peer;
  ASock *s = Pair(&peer);
  WriteChain c(s, GDisp_New(r.cx()), 200);
  GDisp_Timer(c.gd, 0, WriteChain::Cb, &c);
  ASSERT_TRUE(WaitFor([&] { return c.done.load(); }));
  EXPECT_EQ(c.failures.load(), 0);
  std::string want, got;
  for (int i = 0; i < 200; i++) want += "record " + std::to_string(i) + "\n";
  char buf[4096];
  while (got.size() < want.size()) {
    ssize_t n = read(peer, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, want);
  close(peer);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  GDisp_Delete(c.gd);
}

// A connection that closes itself from inside its own read callback.
struct SelfClose {
  ASock *s;
  GDisp *gd;
  std::atomic<int> calls{0};
  static void Cb(void *p) {
    auto *x = static_cast<SelfClose *>(p);
    x->calls++;
    char buf[64];
    while (ASock_Recv(x->s, buf, sizeof buf) > 0) {
    }
    ASock_Readable(x->s, x->gd, Cb, x);  // armed again, then gone at once
    ASock_Delete(x->s, ASOCK_CLOSE_ORDERLY);
    GDisp_Delete(x->gd);
  }
};

TEST_F(ASockTest, ConnectionMayCloseItselfInItsCallback) {
  RunningCx r(2);
  int peer;
  SelfClose x{Pair(&peer), nullptr};
  x.gd = GDisp_New(r.cx());
  ASSERT_EQ(ASock_Readable(x.s, x.gd, SelfClose::Cb, &x), 0);
  ASSERT_EQ(write(peer, "bye", 3), 3);
  ASSERT_TRUE(WaitFor([&] { return x.calls.load() == 1; }));
  char c;
  EXPECT_EQ(read(peer, &c, 1), 0) << "our side closed";
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(x.calls.load(), 1);
  close(peer);
}

// ---- accepting ------------------------------------------------------------------

struct Acceptor {
  Acceptor(ASock *l, GDisp *g) : ls(l), gd(g) {}
  ASock *ls;
  GDisp *gd;
  std::atomic<int> wakeups{0};
  std::atomic<int> accepted{0};
  std::mutex mu;
  std::vector<ASock *> socks;
  static void Cb(void *p) {
    auto *a = static_cast<Acceptor *>(p);
    a->wakeups++;
    while (ASock *s = ASock_Accept(a->ls, nullptr, nullptr, 0, 0)) {
      std::lock_guard<std::mutex> g(a->mu);
      a->socks.push_back(s);
      a->accepted++;
    }
    ASock_Acceptable(a->ls, a->gd, Cb, a);
  }
  void Close() {
    for (ASock *s : socks) ASock_Delete(s, ASOCK_CLOSE_PLAIN);
    socks.clear();
  }
};

TEST_F(ASockTest, AcceptableRearmsAndAcceptTakesEveryPendingConnection) {
  RunningCx r(2);
  Acceptor a(listener_, GDisp_New(r.cx()));
  ASSERT_EQ(ASock_Acceptable(listener_, a.gd, Acceptor::Cb, &a), 0);
  std::vector<int> peers;
  for (int i = 0; i < 5; i++) peers.push_back(Dial(port_));
  EXPECT_TRUE(WaitFor([&] { return a.accepted.load() == 5; }));
  EXPECT_EQ(ASock_Accept(listener_, nullptr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(ASock_GetLastError(listener_), ASOCK_ETRYAGAIN);
  r.Stop();
  a.Close();
  for (int fd : peers) close(fd);
  GDisp_Delete(a.gd);
}

// The listening socket outlives the contexts of a program's cycles.
TEST_F(ASockTest, ListeningSocketMovesToTheNextContext) {
  std::vector<int> peers;
  std::vector<std::unique_ptr<RunningCx>> kept;
  for (int cycle = 0; cycle < 3; cycle++) {
    auto r = std::make_unique<RunningCx>(2);
    Acceptor a(listener_, GDisp_New(r->cx()));
    ASSERT_EQ(ASock_Acceptable(listener_, a.gd, Acceptor::Cb, &a), 0);
    peers.push_back(Dial(port_));
    EXPECT_TRUE(WaitFor([&] { return a.accepted.load() == 1; })) << "cycle " << cycle;
    r->Stop();
    a.Close();
    if (cycle == 1) {
      GDisp_Delete(a.gd);
      r.reset();  // context deleted before the next cycle
    } else {
      kept.push_back(std::move(r));  // left alive until the end
    }
  }
  for (int fd : peers) close(fd);
}

std::mutex g_log_mu;
std::vector<std::string> g_log;
void CaptureLog(int sev, const char *msg) {
  std::lock_guard<std::mutex> g(g_log_mu);
  g_log.push_back(std::to_string(sev) + " " + msg);
}

TEST_F(ASockTest, AcceptUnderDescriptorExhaustionBacksOffAndRecovers) {
  RunningCx r(2);
  {
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log.clear();
  }
  Plat_SetLogHook(CaptureLog);
  Acceptor a(listener_, GDisp_New(r.cx()));
  ASSERT_EQ(ASock_Acceptable(listener_, a.gd, Acceptor::Cb, &a), 0);
  // One ordinary connection first, so that nothing of the accept path is
  // made for the first time while descriptors are short (the sanitizers
  // need descriptors of their own for that).
  int first = Dial(port_);
  ASSERT_TRUE(WaitFor([&] { return a.accepted.load() == 1; }));
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(peer, 0);

  struct rlimit old;
  getrlimit(RLIMIT_NOFILE, &old);
  struct rlimit low = old;
  low.rlim_cur = 256 < old.rlim_cur ? 256 : old.rlim_cur;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> hogs;
  for (int i = 0; i < 4096; i++) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    hogs.push_back(fd);
  }
  struct sockaddr_in sin = Loop(port_);
  ASSERT_EQ(connect(peer, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin), 0);
  int wakeups0 = a.wakeups.load();
  struct rusage ru0, ru1;
  getrusage(RUSAGE_SELF, &ru0);
  std::this_thread::sleep_for(500ms);
  getrusage(RUSAGE_SELF, &ru1);
  int wakeups = a.wakeups.load() - wakeups0;
  int accepted = a.accepted.load();
  for (int fd : hogs) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);

  EXPECT_EQ(accepted, 1) << "no descriptor to accept with";
  EXPECT_GE(wakeups, 1);
  EXPECT_LE(wakeups, 20) << "the acceptor spins while out of descriptors";
  auto cpu_us = [](const struct rusage &u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
  };
  EXPECT_LT(cpu_us(ru1) - cpu_us(ru0), 250000L) << "busy while waiting for descriptors";
  EXPECT_TRUE(WaitFor([&] { return a.accepted.load() == 2; }, 3000ms)) << "recovers by itself";
  r.Stop();
  Plat_SetLogHook(nullptr);
  {
    std::lock_guard<std::mutex> g(g_log_mu);
    ASSERT_EQ(g_log.size(), 2u) << "one line when it starts, one when it ends";
    EXPECT_EQ(g_log[0].rfind("3 accept: out of descriptors", 0), 0u) << g_log[0];
    EXPECT_EQ(g_log[1].rfind("5 accept: descriptors available again", 0), 0u) << g_log[1];
  }
  a.Close();
  close(peer);
  close(first);
  GDisp_Delete(a.gd);
}

TEST(ASockBindTest, PortInUseGivesNoSocket) {
  ASock *a = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ASock_NewBound(htonl(INADDR_LOOPBACK), PortOf(a)), nullptr);
  EXPECT_EQ(ASock_NewBound(0, 70000), nullptr);
  ASock_Delete(a, ASOCK_CLOSE_PLAIN);
  ASock_Delete(nullptr, 0);
}

}  // namespace
