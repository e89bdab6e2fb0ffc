// The SSL layer of the socket library: set-up failures leave nothing
// behind, the handshake hook runs once inside the read that completes the
// handshake (and may delete the socket there), bytes held inside NSS count
// as readable, what NSS holds for a full descriptor is counted, and NSS
// shuts down once every socket is gone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nss/nss.h>

#include "plat/asock.h"
#include "plat_loop.h"
#include "ssl_certdb.h"
#include "test_support.h"

namespace {

using plattest::Completion;
using plattest::RunningCx;
using plattest::WaitFor;
using ssltest::ssl_db;

std::vector<std::string> warnings;
std::vector<int> warn_flags;

int Warn(int first, const char *msg) {
  warnings.push_back(msg);
  warn_flags.push_back(first);
  return first;
}

bool Contains(const std::string &needle) {
  for (auto &w : warnings)
    if (w.find(needle) != std::string::npos) return true;
  return false;
}

int Init(const std::string &pwfile, std::vector<std::string> nicks) {
  std::vector<char *> names;
  for (auto &n : nicks) names.push_back(n.data());
  names.push_back(nullptr);
  std::string cache = ssl_db().dir;
  return ASockSSL_Init(ssl_db().dir.c_str(), "", "", "secmod.db", pwfile.c_str(), names.data(), cache.c_str(), Warn,
                       0);
}

class SslLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ssl_db().ok);
    warnings.clear();
    warn_flags.clear();
  }
  void TearDown() override {
    ASockSSL_Cleanup();
    EXPECT_FALSE(NSS_IsInitialized()) << "NSS_Shutdown did not succeed";
  }
};

TEST_F(SslLayer, FailedSetUpsReportWhyAndLeaveNssDown) {
  EXPECT_EQ(Init(ssl_db().wrong_pwfile, {"Server-Cert"}), 0);
  EXPECT_TRUE(Contains("does not unlock the key database"));
  EXPECT_FALSE(NSS_IsInitialized());

  warnings.clear();
  warn_flags.clear();
  EXPECT_EQ(Init(ssl_db().pwfile, {"Nope-1", "Nope-2"}), 0);
  EXPECT_TRUE(Contains("certificate \"Nope-1\" not found"));
  EXPECT_TRUE(Contains("certificate \"Nope-2\" not found"));
  EXPECT_TRUE(Contains("no usable server certificate"));
  ASSERT_GE(warn_flags.size(), 2u);
  EXPECT_EQ(warn_flags[0], 1) << "the first warning of a set-up is flagged";
  EXPECT_EQ(warn_flags[1], 0);
  EXPECT_FALSE(NSS_IsInitialized());

  EXPECT_EQ(Init(ssl_db().pwfile, {}), 0);
  EXPECT_FALSE(NSS_IsInitialized());

  // Nothing of the failures stays behind: a good set-up works afterwards,
  // and a second one is refused while the first is up.
  EXPECT_NE(Init(ssl_db().plain_pwfile, {"Server-Cert", "Server-Cert-EC"}), 0);
  EXPECT_EQ(Init(ssl_db().pwfile, {"Server-Cert"}), 0);
  EXPECT_TRUE(Contains("already set up"));
}

TEST_F(SslLayer, HooksNeedTheRightKindOfSocket) {
  ASock *ls = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
  ASSERT_NE(ls, nullptr);
  EXPECT_EQ(ASockSSL_Enable(ls, 0), 0) << "no SSL before the set-up";
  EXPECT_EQ(ASockSSL_SetBadCertHook(ls, [](void *) { return 0; }, nullptr), -1);
  ASSERT_NE(Init(ssl_db().pwfile, {"Server-Cert"}), 0);
  EXPECT_NE(ASockSSL_Enable(ls, 0), 0);
  EXPECT_NE(ASockSSL_Enable(ls, 0), 0) << "enabling twice is harmless";
  EXPECT_EQ(ASockSSL_SetBadCertHook(ls, [](void *) { return 0; }, nullptr), 0);
  EXPECT_EQ(ASockSSL_SetHandshakeHook(ls, [](void *) {}, nullptr), -1) << "a listener has no handshake";
  ASock *plain = ASock_New();
  EXPECT_EQ(ASockSSL_SetHandshakeHook(plain, [](void *) {}, nullptr), -1);
  ASock_Delete(plain, ASOCK_CLOSE_PLAIN);
  ASock_Delete(ls, ASOCK_CLOSE_PLAIN);
}

// ------------------------------------------------------------- handshakes

struct HookState {
  std::atomic<int> calls{0};
  std::atomic<int> inside_recv{0};
  ASock *delete_me = nullptr;
};

std::atomic<bool> in_recv{false};

void Hook(void *arg) {
  auto *h = static_cast<HookState *>(arg);
  h->calls++;
  if (in_recv) h->inside_recv++;
  if (h->delete_me) ASock_Delete(h->delete_me, ASOCK_CLOSE_PLAIN);
}

class SslHandshake : public SslLayer {
 protected:
  void SetUp() override {
    SslLayer::SetUp();
    ASSERT_NE(Init(ssl_db().pwfile, {"Server-Cert", "Server-Cert-EC"}), 0);
    ls = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
    ASSERT_NE(ls, nullptr);
    ASSERT_NE(ASockSSL_Enable(ls, 0), 0);
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(ASock_GetFd(ls), reinterpret_cast<sockaddr *>(&a), &l);
    port = ntohs(a.sin_port);
  }
  void TearDown() override {
    ASock_Delete(ls, ASOCK_CLOSE_PLAIN);
    if (client.valid()) client.wait_for(std::chrono::seconds(15));
    SslLayer::TearDown();
  }
  // Runs the Python client; its exit status comes back through `client`.
  void StartClient(const std::string &args) {
    std::string cmd = "/usr/bin/python3 '" + ssltest::ssl_script("tls_client.py") + "' --port " +
                      std::to_string(port) + " --ca '" + ssl_db().ca + "' " + args + " >/dev/null 2>&1";
    client = std::async(std::launch::async, [cmd] { return system(cmd.c_str()); });
  }
  ASock *AcceptOne() {
    pollfd p{ASock_GetFd(ls), POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return nullptr;
    return ASock_Accept(ls, nullptr, nullptr, 0, 0);
  }
  // Drives the handshake with zero-length reads until the hook has run.
  bool Handshake(ASock *s, HookState &h) {
    for (int i = 0; i < 200 && h.calls == 0; i++) {
      pollfd p{ASock_GetFd(s), POLLIN, 0};
      poll(&p, 1, 50);
      char b;
      in_recv = true;
      int r = ASock_Recv(s, &b, 0);
      in_recv = false;
      if (h.calls) return true;
      if (r != -1) return false;
    }
    return h.calls > 0;
  }
  ASock *ls = nullptr;
  uint16_t port = 0;
  std::future<int> client;
};

TEST_F(SslHandshake, HookRunsOnceInsideTheReadAndHeldBytesAreReadable) {
  std::string big(16384, 'q');
  std::string back = "thanks for all the bytes";
  StartClient("--tls 1.3 --send " + ssltest::to_hex(big) + " --recv " + std::to_string(back.size()));
  ASock *s = AcceptOne();
  ASSERT_NE(s, nullptr);
  HookState h;
  ASSERT_EQ(ASockSSL_SetHandshakeHook(s, Hook, &h), 0);
  ASSERT_TRUE(Handshake(s, h));
  EXPECT_EQ(h.calls, 1);
  EXPECT_EQ(h.inside_recv, 1);

  // Wait until the first bytes can be read, then take a little: the rest of
  // the record is held inside the SSL layer and must count as readable.
  char buf[20000];
  int got = 0;
  for (int i = 0; i < 100 && got <= 0; i++) {
    pollfd p{ASock_GetFd(s), POLLIN, 0};
    poll(&p, 1, 50);
    got = ASock_Recv(s, buf, 100);
  }
  ASSERT_EQ(got, 100);
  RunningCx cx(2);
  Completion c;
  c.gd = GDisp_New(cx.cx());
  size_t total = 100;
  while (total < big.size()) {
    int before = c.n;
    ASSERT_EQ(ASock_Readable(s, c.gd, Completion::Cb, &c), 0);
    ASSERT_TRUE(WaitFor([&] { return c.n > before; })) << "stalled with " << total << " bytes read";
    int r = ASock_Recv(s, buf, sizeof buf);
    if (r == -1) continue;
    ASSERT_GT(r, 0);
    EXPECT_EQ(std::string(buf, size_t(r)), std::string(size_t(r), 'q'));
    total += size_t(r);
  }
  EXPECT_EQ(total, big.size());
  EXPECT_EQ(h.calls, 1) << "the hook runs once";
  EXPECT_EQ(ASock_Send(s, back.data(), int(back.size())), int(back.size()));
  EXPECT_EQ(client.get(), 0);
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
  GDisp_Delete(c.gd);
}

// While the peer does not read, NSS keeps the part of a record that the
// descriptor did not take: the socket counts it, and once the peer reads
// the background write ends with nothing held and every byte delivered.
TEST_F(SslHandshake, BytesHeldForAFullDescriptorAreCounted) {
  auto reader = std::async(std::launch::async, [this] {
    return ts::run({"/usr/bin/python3", ssltest::ssl_script("tls_client.py"), "--port", std::to_string(port), "--ca",
                    ssl_db().ca, "--tls", "1.3", "--delay", "1.5", "--recv", "-1"},
                   20000);
  });
  ASock *s = AcceptOne();
  ASSERT_NE(s, nullptr);
  HookState h;
  ASSERT_EQ(ASockSSL_SetHandshakeHook(s, Hook, &h), 0);
  ASSERT_TRUE(Handshake(s, h));
  int small = 4096;
  setsockopt(ASock_GetFd(s), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  EXPECT_EQ(ASock_SendQueued(s), 0u);
  std::string big(1 << 20, 'z');
  RunningCx cx(2);
  Completion c;
  c.gd = GDisp_New(cx.cx());
  ASSERT_EQ(ASock_AsyncWrite(s, big.data(), uint32_t(big.size()), &c.status, c.gd, Completion::Cb, &c), 0);
  ASSERT_TRUE(WaitFor([&] { return ASock_SendQueued(s) > 0; })) << "nothing held while the peer does not read";
  EXPECT_EQ(c.n, 0);
  ASSERT_TRUE(WaitFor([&] { return c.n == 1; }, std::chrono::milliseconds(15000)));
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(ASock_SendQueued(s), 0u);
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
  ts::Result r = reader.get();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), std::to_string(big.size()) + "\n");
  GDisp_Delete(c.gd);
}

TEST_F(SslHandshake, HookMayDeleteTheSocket) {
  StartClient("--tls 1.2 --recv 1 --timeout 3");
  ASock *s = AcceptOne();
  ASSERT_NE(s, nullptr);
  HookState h;
  h.delete_me = s;
  ASSERT_EQ(ASockSSL_SetHandshakeHook(s, Hook, &h), 0);
  // Would hang forever if the hook ran while the read still held the
  // descriptor.
  ASSERT_TRUE(Handshake(s, h));
  EXPECT_EQ(h.calls, 1);
  EXPECT_NE(client.get(), 0) << "the client saw its connection closed";
}

TEST_F(SslHandshake, PeerClosingDuringTheHandshakeReadsAsClosed) {
  ASock *s;
  {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    s = AcceptOne();
    ASSERT_NE(s, nullptr);
    // The first bytes of a hello, then the client is gone.
    ASSERT_EQ(write(fd, "\x16\x03\x01\x02\x00\x01", 6), 6);
    close(fd);
  }
  int r = -1;
  for (int i = 0; i < 100 && r == -1; i++) {
    pollfd p{ASock_GetFd(s), POLLIN, 0};
    poll(&p, 1, 50);
    char b;
    r = ASock_Recv(s, &b, 0);
  }
  EXPECT_EQ(r, 0);
  ASock_Delete(s, ASOCK_CLOSE_PLAIN);
}

}  // namespace
