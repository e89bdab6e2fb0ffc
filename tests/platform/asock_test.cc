// Plain TCP sockets against blocking peers on 127.0.0.1: reading and bad
// arguments, background, dynamic and gathered writes, callbacks that write
// or close from inside, and accepting (also while out of descriptors). The
// server link's connect, a bind to a port in use and the byte counts of
// scattered reads and short gathered writes are checked on the wire by the
// multiplexor's own tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "plat/asock.h"
#include "plat/platlog.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::Completion;
using plattest::Dial;

namespace {

class ASockTest : public plattest::LoopTest<4> {
 protected:
  void SetUp() override {
    old_pipe_ = signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
    listener_ = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
    port_ = plattest::PortOf(listener_);
  }
  void TearDown() override {
    for (ASock *s : socks_) ASock_Delete(s, ASOCK_CLOSE_PLAIN);
    for (int fd : peers_) close(fd);
    ASock_Delete(listener_, ASOCK_CLOSE_PLAIN);
    signal(SIGPIPE, old_pipe_);
  }
  // A connected pair: our socket and the blocking peer's descriptor, both
  // closed at the end (the socket unless the test deletes it). (The peer's
  // address that an accept hands back goes out in the relay's open record.)
  ASock *Pair(int *peer, bool keep = true) {
    peers_.push_back(*peer = Dial(port_));
    ASock *s = plattest::AcceptOne(listener_);
    if (keep) socks_.push_back(s);
    return s;
  }
  // Makes the peer's close a reset.
  void ResetPeer(int fd) {
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
    peers_.erase(std::find(peers_.begin(), peers_.end(), fd));
    std::this_thread::sleep_for(20ms);
  }
  // The first result of read() other than -1 (nothing yet), bounded in time.
  static int Ready(const std::function<int()> &read) {
    int r = -1;
    ts::wait_for([&] { return (r = read()) != -1; }, 5000, 1);
    return r;
  }
  ASock *listener_ = nullptr;
  int port_ = 0;
  std::vector<ASock *> socks_;
  std::vector<int> peers_;
  sighandler_t old_pipe_;
};

// ---- reading ---------------------------------------------------------------

TEST_F(ASockTest, RecvResultsBadArgumentsAndOneShotReadinessWithTheDeletesThatDropIt) {
  int peer;
  ASock *s = Pair(&peer);
  char buf[64];
  EXPECT_EQ(ASock_Recv(s, buf, sizeof buf), -1) << "nothing to read";
  EXPECT_EQ(ASock_GetLastError(s), ASOCK_ETRYAGAIN);
  ASSERT_EQ(write(peer, "hello", 5), 5);
  struct pollfd p = {ASock_GetFd(s), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_EQ(ASock_Recv(s, buf, 0), -1) << "a zero-length read with bytes queued is not end of stream";
  EXPECT_EQ(ASock_Recv(s, buf, sizeof buf), 5);
  EXPECT_EQ(ASock_Recv(s, buf, 0), -1);
  shutdown(peer, SHUT_WR);
  EXPECT_EQ(Ready([&] { return ASock_Recv(s, buf, sizeof buf); }), 0) << "peer closed";
  EXPECT_EQ(ASock_Recv(s, buf, 0), 0) << "a zero-length read sees it too";
  s = Pair(&peer);
  ResetPeer(peer);
  EXPECT_EQ(Ready([&] { return ASock_Recv(s, buf, sizeof buf); }), -2);
  EXPECT_EQ(ASock_GetLastError(s), ECONNRESET);
  EXPECT_EQ(ASock_Recv(s, nullptr, 5), -2);
  EXPECT_EQ(ASock_GetLastError(s), EINVAL);
  // Bad arguments: a missing vector or socket, no entries, a port out of
  // range, no socket to delete.
  struct iovec iov[1] = {{buf, sizeof buf}};
  EXPECT_EQ(ASock_RecvV(s, nullptr, 1), -2);
  EXPECT_EQ(ASock_GetLastError(s), EINVAL);
  EXPECT_EQ(ASock_RecvV(s, iov, 0), -2);
  EXPECT_EQ(ASock_RecvV(nullptr, iov, 1), -2);
  EXPECT_EQ(ASock_Connect(nullptr, nullptr, 0, nullptr, Completion::Cb, nullptr), -1);
  EXPECT_EQ(ASock_NewBound(0, 70000), nullptr);
  ASock_Delete(nullptr, 0);
  // Readiness is one-shot, reports queued bytes and errors when re-armed.
  s = Pair(&peer);
  EXPECT_EQ(ASock_RecvV(s, iov, 1), -1) << "nothing to read yet";
  EXPECT_EQ(ASock_GetLastError(s), ASOCK_ETRYAGAIN);
  Completion &d = On();
  auto arm = [&] { return ASock_Readable(s, d.gd, Completion::Cb, &d); };
  ASSERT_EQ(arm(), 0);
  EXPECT_TRUE(d.Still(0));
  ASSERT_EQ(write(peer, "abcdef", 6), 6);
  ASSERT_TRUE(d.Wait(1));
  EXPECT_TRUE(d.Still(1)) << "not re-armed";
  EXPECT_EQ(ASock_Recv(s, buf, 2), 2);  // four bytes stay queued
  ASSERT_EQ(arm(), 0);
  EXPECT_TRUE(d.Wait(2)) << "queued bytes are reported";
  ResetPeer(peer);  // a read error is also the async error of the read object
  ASSERT_EQ(arm(), 0);
  ASSERT_TRUE(d.Wait(3));
  int n;
  while ((n = ASock_Recv(s, buf, sizeof buf)) > 0) {}
  EXPECT_EQ(n, -2);
  EXPECT_EQ(GDisp_GetAsyncError(d.gd), ECONNRESET);
  EXPECT_EQ(ASock_Readable(s, nullptr, Completion::Cb, &d), -1);
  // Deleting the socket drops readiness already queued.
  s = Pair(&peer, false);
  ASSERT_EQ(write(peer, "x", 1), 1);
  Completion &victim = On(), &killer = On([&](Completion &) {
    ASock_Readable(s, victim.gd, Completion::Cb, &victim);  // readable at once: queued behind us
    std::this_thread::sleep_for(20ms);
    ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  });
  GDisp_Group(killer.gd, victim.gd);
  GDisp_Timer(killer.gd, 0, Completion::Cb, &killer);
  ASSERT_TRUE(killer.Wait(1));
  EXPECT_TRUE(victim.Still(0));
  // A connection may close itself in its callback.
  s = Pair(&peer, false);
  Completion &x = On([&](Completion &self) {
    char bytes[64];
    while (ASock_Recv(s, bytes, sizeof bytes) > 0) {}
    ASock_Readable(s, self.gd, Completion::Cb, &self);  // armed again, then gone at once
    ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
    GDisp_Delete(self.gd);
  });
  ASSERT_EQ(ASock_Readable(s, x.gd, Completion::Cb, &x), 0);
  ASSERT_EQ(write(peer, "bye", 3), 3);
  ASSERT_TRUE(x.Wait(1));
  EXPECT_EQ(ts::read_n(peer, 1), "") << "our side closed";
  EXPECT_TRUE(x.Still(1));
}

// ---- writing ---------------------------------------------------------------

TEST_F(ASockTest, AsyncWriteOfManyMegabytesToASlowReaderCompletesAndItsCompletionMayStartTheNext) {
  int peer;
  ASock *s = Pair(&peer);
  std::string data = ts::pattern(16u << 20);
  Completion &w = On();
  ASSERT_EQ(ASock_AsyncWrite(s, data.data(), uint32_t(data.size()), &w.status, w.gd, Completion::Cb, &w), 0);
  EXPECT_EQ(ASock_AsyncWrite(s, data.data(), 1, &w.status, w.gd, Completion::Cb, &w), -1) << "one background write at a time";
  EXPECT_TRUE(w.Still(0, 50));  // the reader starts late and reads in small bites first
  std::string got = ts::read_n(peer, 1u << 20, 10000, 4096);
  EXPECT_TRUE(got + ts::read_n(peer, data.size() - got.size()) == data) << "bytes arrive whole and in order";
  ASSERT_TRUE(w.Wait(1));
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.err.load(), 0);
  // A completion may start the next write.
  std::string rec, want;
  std::atomic<int> failures{0};
  Completion &next = On([&](Completion &self) {
    failures += self.n > 0 && self.status != 0;
    if (self.n == 200) return;
    rec = "record " + std::to_string(self.n.load()) + "\n";
    failures += ASock_AsyncWrite(s, rec.data(), uint32_t(rec.size()), &self.status, self.gd, Completion::Cb, &self) != 0;
  });
  GDisp_Timer(next.gd, 0, Completion::Cb, &next);
  ASSERT_TRUE(next.Wait(201));
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < 200; i++) want += "record " + std::to_string(i) + "\n";
  EXPECT_EQ(ts::read_n(peer, want.size()), want);
}

// A data source handing out its pieces in turn, then the empty piece; a
// piece "!" is a failure.
struct Pieces {
  explicit Pieces(const char *const *parts) : asd{}, next(parts) { asd.getBuf = GetBuf; }
  static int GetBuf(ASockDynamic *p, struct iovec *iov, WaitingFor **) {
    const char *const *&next = reinterpret_cast<Pieces *>(p)->next;
    const char *piece = *next ? *next++ : "";
    *iov = {const_cast<char *>(piece), strlen(piece)};
    return *piece == '!' ? -2 : 0;
  }
  ASockDynamic asd;
  const char *const *next;
};

TEST_F(ASockTest, DynamicWritesDrainTheSourceGatheredOnesGoInOrderAndWritesToAResetPeerFailWithoutSigpipe) {
  for (const char *end : {"", "!"}) {
    int peer;
    ASock *s = Pair(&peer);
    const char *parts[] = {"one ", "two ", "three", *end ? end : nullptr, nullptr};
    Pieces src(parts);
    Completion &w = On();
    ASSERT_EQ(ASock_AsyncWriteDynamic(s, &src.asd, &w.status, w.gd, Completion::Cb, &w), 0);
    ASSERT_TRUE(w.Wait(1));
    EXPECT_EQ(w.status, *end ? -2 : 0);
    EXPECT_EQ(w.err.load(), *end ? EIO : 0);
    EXPECT_EQ(ts::read_n(peer, 13), "one two three");
  }
  Pieces none(nullptr);
  none.asd.getBuf = nullptr;
  int status;
  EXPECT_EQ(ASock_AsyncWriteDynamic(listener_, &none.asd, &status, On().gd, Completion::Cb, nullptr), -1);
  // Writes to a reset peer report errors without SIGPIPE.
  int peer;
  ASock *s = Pair(&peer);
  ResetPeer(peer);
  int rc = 0;
  for (int i = 0; i < 100 && rc >= 0; i++) rc = ASock_Send(s, "data", 4);
  EXPECT_EQ(rc, -2);
  EXPECT_TRUE(ASock_GetLastError(s) == EPIPE || ASock_GetLastError(s) == ECONNRESET) << ASock_GetLastError(s);
  struct iovec iov[1] = {{const_cast<char *>("x"), 1}};
  EXPECT_EQ(ASock_SendV(s, iov, 1), -2) << "gathered too";
  s = Pair(&peer);
  ResetPeer(peer);
  std::vector<char> data(1 << 20, 'q');
  Completion &w = On();
  ASSERT_EQ(ASock_AsyncWrite(s, data.data(), uint32_t(data.size()), &w.status, w.gd, Completion::Cb, &w), 0);
  ASSERT_TRUE(w.Wait(1));
  EXPECT_EQ(w.status, -2);
  EXPECT_TRUE(w.err.load() == EPIPE || w.err.load() == ECONNRESET) << w.err.load();
  // A gathered write sends its buffers in order and stops when full.
  s = Pair(&peer);
  struct iovec parts[3] = {{const_cast<char *>("head "), 5}, {nullptr, 0}, {const_cast<char *>("tail"), 4}};
  ASSERT_EQ(ASock_SendV(s, parts, 3), 9);
  EXPECT_EQ(ts::read_n(peer, 9), "head tail");
  // Nobody reads: the socket fills, then a send comes back with
  // ASOCK_ETRYAGAIN (the relay's exact bytes see a short send miscounted,
  // not this).
  std::string big = ts::pattern(256 * 1024);
  struct iovec whole[1] = {{big.data(), big.size()}};
  int sent = 0;
  for (int i = 0; i < 1000 && sent >= 0; i++) sent = ASock_SendV(s, whole, 1);
  EXPECT_EQ(sent, -2);
  EXPECT_EQ(ASock_GetLastError(s), ASOCK_ETRYAGAIN);
  EXPECT_EQ(ASock_SendV(s, parts, 65), -2) << "more buffers than one call takes";
  EXPECT_EQ(ASock_SendV(s, nullptr, 1), -2);
}

// ---- accepting -------------------------------------------------------------

// Accepts every pending connection at each wakeup, then re-arms; deletes
// them at the end.
struct Acceptor {
  Acceptor(ASock *ls, Completion &c) : c(c) {
    c.then = [this, ls](Completion &self) {
      while (ASock *s = ASock_Accept(ls, nullptr, nullptr, 0, 0)) {
        std::lock_guard<std::mutex> g(mu);
        socks.push_back(s);
      }
      ASock_Acceptable(ls, self.gd, Completion::Cb, &self);
    };
    EXPECT_EQ(ASock_Acceptable(ls, c.gd, Completion::Cb, &c), 0);
  }
  ~Acceptor() {
    for (ASock *s : socks) ASock_Delete(s, ASOCK_CLOSE_PLAIN);
  }
  size_t Accepted() {
    std::lock_guard<std::mutex> g(mu);
    return socks.size();
  }
  Completion &c;
  std::mutex mu;
  std::vector<ASock *> socks;
};

std::mutex g_log_mu;
std::vector<std::string> g_log;

TEST_F(ASockTest, AcceptTakesEveryPendingConnectionAndUnderDescriptorExhaustionBacksOffAndRecovers) {
  Plat_SetLogHook([](int sev, const char *msg) {
    std::lock_guard<std::mutex> g(g_log_mu);
    g_log.push_back(std::to_string(sev) + " " + msg);
  });
  Acceptor a(listener_, On());
  // Ordinary connections first: each wakeup takes every pending one, and
  // nothing of the accept path is made for the first time while
  // descriptors are short (the sanitizers need descriptors of their own for
  // that).
  for (int i = 0; i < 5; i++) peers_.push_back(Dial(port_));
  ASSERT_TRUE(ts::wait_for([&] { return a.Accepted() == 5; }));
  EXPECT_EQ(ASock_Accept(listener_, nullptr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(ASock_GetLastError(listener_), ASOCK_ETRYAGAIN);
  int peer = peers_.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct rlimit old, low;
  getrlimit(RLIMIT_NOFILE, &old);
  low = old;
  low.rlim_cur = std::min<rlim_t>(256, old.rlim_cur);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> hogs;
  for (int fd; hogs.size() < 4096 && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) hogs.push_back(fd);
  struct sockaddr_in sin = plattest::Loopback(port_);
  ASSERT_EQ(connect(peer, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin), 0);
  int wakeups = a.c.n.load();
  long cpu = std::clock();  // the process's time, in microseconds
  std::this_thread::sleep_for(500ms);
  cpu = std::clock() - cpu;
  wakeups = a.c.n.load() - wakeups;
  size_t accepted = a.Accepted();
  for (int fd : hogs) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(accepted, 5u) << "no descriptor to accept with";
  EXPECT_GE(wakeups, 1);
  EXPECT_LE(wakeups, 20) << "the acceptor spins while out of descriptors";
  EXPECT_LT(cpu, 250000L) << "busy while waiting for descriptors";
  EXPECT_TRUE(ts::wait_for([&] { return a.Accepted() == 6; }, 3000)) << "recovers by itself";
  r_.Stop();
  Plat_SetLogHook(nullptr);
  std::lock_guard<std::mutex> g(g_log_mu);
  ASSERT_EQ(g_log.size(), 2u) << "one line when it starts, one when it ends";
  EXPECT_EQ(g_log[0].rfind("3 accept: out of descriptors", 0), 0u) << g_log[0];
  EXPECT_EQ(g_log[1].rfind("5 accept: descriptors available again", 0), 0u) << g_log[1];
}

}  // namespace
