// The SSL layer of the socket library: set-up failures leave nothing
// behind, the handshake hook runs once inside the read that completes the
// handshake (and may delete the socket there), bytes held inside NSS count
// as readable, what NSS holds for a full descriptor is counted, and NSS
// shuts down once every socket is gone. (A client that leaves half-way
// through its hello is the multiplexor's SSL tests' case.)
#include <gtest/gtest.h>
#include <nss/nss.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "plat/asock.h"
#include "plat_loop.h"
#include "ssl_certdb.h"

namespace {

using plattest::Completion;
using ssltest::ssl_db;

std::vector<std::string> warnings;  // "<first flag> <message>"

int Init(const std::string &pwfile, std::vector<std::string> nicks) {
  std::vector<char *> names;
  for (auto &n : nicks) names.push_back(n.data());
  names.push_back(nullptr);
  return ASockSSL_Init(
      ssl_db().dir.c_str(), "", "", "secmod.db", pwfile.c_str(), names.data(), ssl_db().dir.c_str(),
      [](int first, const char *msg) {
        warnings.push_back(std::to_string(first) + " " + msg);
        return first;
      },
      0);
}

bool Warned(const std::string &needle) {
  for (auto &w : warnings)
    if (w.find(needle) != std::string::npos) return true;
  return false;
}

class SslLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ssl_db().ok);
    warnings.clear();
  }
  void TearDown() override {
    ASockSSL_Cleanup();
    EXPECT_FALSE(NSS_IsInitialized()) << "NSS_Shutdown did not succeed";
  }
};

TEST_F(SslLayer, HooksNeedTheRightKindOfSocketAndFailedSetUpsReportWhyAndLeaveNssDown) {
  ASock *ls = ASock_NewBound(htonl(INADDR_LOOPBACK), 0), *plain = ASock_New();
  auto bad_cert = [](void *) { return 0; };
  auto handshake = [](void *) {};
  EXPECT_EQ(ASockSSL_Enable(ls, 0), 0) << "no SSL before the set-up";
  EXPECT_EQ(ASockSSL_SetBadCertHook(ls, bad_cert, nullptr), -1);
  ASSERT_NE(Init(ssl_db().pwfile, {"Server-Cert"}), 0);
  EXPECT_NE(ASockSSL_Enable(ls, 0), 0);
  EXPECT_NE(ASockSSL_Enable(ls, 0), 0) << "enabling twice is harmless";
  EXPECT_EQ(ASockSSL_SetBadCertHook(ls, bad_cert, nullptr), 0);
  EXPECT_EQ(ASockSSL_SetHandshakeHook(ls, handshake, nullptr), -1) << "a listener has no handshake";
  EXPECT_EQ(ASockSSL_SetHandshakeHook(plain, handshake, nullptr), -1);
  ASock_Delete(plain, ASOCK_CLOSE_PLAIN);
  ASock_Delete(ls, ASOCK_CLOSE_PLAIN);
  ASockSSL_Cleanup();
  warnings.clear();
  EXPECT_EQ(Init(ssl_db().wrong_pwfile, {"Server-Cert"}), 0);
  EXPECT_TRUE(Warned("does not unlock the key database"));
  EXPECT_FALSE(NSS_IsInitialized());
  warnings.clear();
  EXPECT_EQ(Init(ssl_db().pwfile, {"Nope-1", "Nope-2"}), 0);
  EXPECT_TRUE(Warned("certificate \"Nope-1\" not found") && Warned("certificate \"Nope-2\" not found"));
  EXPECT_TRUE(Warned("no usable server certificate"));
  ASSERT_GE(warnings.size(), 2u);
  EXPECT_EQ(warnings[0][0], '1') << "the first warning of a set-up is flagged";
  EXPECT_EQ(warnings[1][0], '0');
  EXPECT_FALSE(NSS_IsInitialized());
  EXPECT_EQ(Init(ssl_db().pwfile, {}), 0);
  EXPECT_FALSE(NSS_IsInitialized());
  // Nothing of the failures stays behind: a good set-up works afterwards,
  // and a second one is refused while the first is up.
  EXPECT_NE(Init(ssl_db().plain_pwfile, {"Server-Cert", "Server-Cert-EC"}), 0);
  EXPECT_EQ(Init(ssl_db().pwfile, {"Server-Cert"}), 0);
  EXPECT_TRUE(Warned("already set up"));
}

// ------------------------------------------------------------- handshakes

std::atomic<bool> in_recv{false};

class SslHandshake : public SslLayer {
 protected:
  void SetUp() override {
    SslLayer::SetUp();
    ASSERT_NE(Init(ssl_db().pwfile, {"Server-Cert", "Server-Cert-EC"}), 0);
    ls_ = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
    ASSERT_NE(ASockSSL_Enable(ls_, 0), 0);
  }
  void TearDown() override {
    ASock_Delete(ls_, ASOCK_CLOSE_PLAIN);
    client_.wait_exit(15000);
    SslLayer::TearDown();
  }
  // Starts the Python client and returns the connection it makes, with the
  // handshake hook counting on hook_ (and noting whether it ran inside a
  // read of ours).
  ASock *Connect(std::vector<std::string> args) {
    std::vector<std::string> argv = {
        "/usr/bin/python3", ssltest::ssl_script("tls_client.py"), "--port", std::to_string(plattest::PortOf(ls_)), "--ca", ssl_db().ca};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(client_.spawn(argv));
    ASock *s = plattest::AcceptOne(ls_);
    hook_.status = 0;
    EXPECT_EQ(ASockSSL_SetHandshakeHook(s, Completion::Cb, &hook_), 0);
    return s;
  }
  // Reads with nMax bytes until the result is not -1 or the hook has run
  // (bounded).
  int Recv(ASock *s, char *buf, int max) {
    int r = -1;
    for (int i = 0, calls = hook_.n; i < 200 && r == -1 && hook_.n == calls; i++) {
      struct pollfd p {
        ASock_GetFd(s), POLLIN, 0
      };
      poll(&p, 1, 50);
      in_recv = true;
      r = ASock_Recv(s, buf, max);
      in_recv = false;
    }
    return r;
  }
  ASock *ls_ = nullptr;
  ts::Child client_;
  Completion hook_{nullptr, [](Completion &self) { self.status += in_recv; }};
};

TEST_F(SslHandshake, HookRunsOnceInsideTheReadAndHeldBytesAreReadable) {
  std::string big(16384, 'q'), back = "thanks for all the bytes";
  ASock *s = Connect({"--tls", "1.3", "--send", ssltest::to_hex(big), "--recv", std::to_string(back.size()), "--pieces"});
  char buf[20000];
  Recv(s, buf, 0);  // zero-length reads drive the handshake
  EXPECT_EQ(hook_.n, 1);
  EXPECT_EQ(hook_.status, 1) << "inside the read";
  // Take a little of the first record: the rest is held inside the SSL
  // layer and must count as readable, and one vector read takes all of it,
  // over as many buffers as it needs.
  ASSERT_EQ(Recv(s, buf, 100), 100);
  plattest::RunningCx cx(2);
  Completion c{GDisp_New(cx.cx())};
  ASSERT_EQ(ASock_Readable(s, c.gd, Completion::Cb, &c), 0);
  ASSERT_TRUE(c.Wait(1)) << "held bytes are not readable";
  struct iovec iov[5];
  for (int i = 0; i < 5; i++) iov[i] = {buf + size_t(i) * 4000, 4000};
  ASSERT_EQ(ASock_RecvV(s, iov, 5), int(big.size()) - 100);
  EXPECT_EQ(std::string(buf, big.size() - 100), big.substr(100));
  EXPECT_EQ(hook_.n, 1) << "the hook runs once";
  EXPECT_EQ(ASock_Recv(s, buf, sizeof buf), -1) << "nothing more until our answer";
  // Small buffers leave in one record: the client reads the answer at once.
  struct iovec out[3] = {{back.data(), 6}, {back.data() + 6, 4}, {back.data() + 10, back.size() - 10}};
  EXPECT_EQ(ASock_SendV(s, out, 3), int(back.size()));
  EXPECT_EQ(client_.wait_exit(15000), 0) << client_.err();
  EXPECT_EQ(client_.out().substr(client_.out().find('\n') + 1), ssltest::to_hex(back) + " 1\n");
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
  GDisp_Delete(c.gd);
}

// While the peer does not read, NSS keeps the part of a record that the
// descriptor did not take: the socket counts it, and once the peer reads
// the background write ends with nothing held and every byte delivered.
TEST_F(SslHandshake, BytesHeldForAFullDescriptorAreCounted) {
  ASock *s = Connect({"--tls", "1.3", "--delay", "1.5", "--recv", "-1", "--timeout", "20"});
  char b;
  Recv(s, &b, 0);
  ASSERT_EQ(hook_.n, 1);
  int small = 4096;
  setsockopt(ASock_GetFd(s), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  EXPECT_EQ(ASock_SendQueued(s), 0u);
  std::string big(1 << 20, 'z');
  plattest::RunningCx cx(2);
  Completion c{GDisp_New(cx.cx())};
  ASSERT_EQ(ASock_AsyncWrite(s, big.data(), uint32_t(big.size()), &c.status, c.gd, Completion::Cb, &c), 0);
  ASSERT_TRUE(ts::wait_for([&] { return ASock_SendQueued(s) > 0; })) << "nothing held while the peer does not read";
  EXPECT_EQ(c.n, 0);
  ASSERT_TRUE(c.Wait(1, 15000));
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(ASock_SendQueued(s), 0u);
  ASock_Delete(s, ASOCK_CLOSE_ORDERLY);
  EXPECT_EQ(client_.wait_exit(20000), 0) << client_.err();
  EXPECT_EQ(client_.out().substr(client_.out().find('\n') + 1), std::to_string(big.size()) + "\n");
  GDisp_Delete(c.gd);
}

TEST_F(SslHandshake, HookMayDeleteTheSocketInsideTheRead) {
  ASock *s = Connect({"--tls", "1.2", "--recv", "1", "--timeout", "3"});
  hook_.then = [s](Completion &) { ASock_Delete(s, ASOCK_CLOSE_PLAIN); };
  // Would hang forever if the hook ran while the read still held the
  // descriptor.
  char b;
  Recv(s, &b, 0);
  EXPECT_EQ(hook_.n, 1);
  EXPECT_NE(client_.wait_exit(15000), 0) << "the client saw its connection closed";
}

}  // namespace
