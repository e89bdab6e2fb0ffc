// Resolver requests and GDisp_GetAddr.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "plat/asres.h"
#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::RunningCx;
using plattest::WaitFor;

namespace {

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

struct hostent *Answer(ASRes *res) {
  ASResAnswer ans;
  int rc;
  for (int i = 0; i < 1000 && (rc = ASRes_GetResult(res, &ans)) == -1; i++) ASRes_Wait(res);
  return rc == 0 ? ans.host.phe : nullptr;
}

TEST(ASResTest, LocalhostResolvesToLoopback) {
  ASRes *res = ASRes_GetHostByName("localhost");
  ASSERT_NE(res, nullptr);
  struct hostent *he = Answer(res);
  ASSERT_NE(he, nullptr);
  EXPECT_EQ(he->h_addrtype, AF_INET);
  EXPECT_EQ(he->h_length, 4);
  ASSERT_NE(he->h_addr_list[0], nullptr);
  uint32_t a;
  memcpy(&a, he->h_addr_list[0], 4);
  EXPECT_EQ(a, Loopback());
  ASSERT_NE(he->h_aliases, nullptr);
  EXPECT_EQ(he->h_aliases[0], nullptr);
  ASRes_Delete(res);
}

TEST(ASResTest, DottedAddressIsAnsweredWithoutLookup) {
  ASRes *res = ASRes_GetHostByName("127.0.0.9");
  ASSERT_NE(res, nullptr);
  ASResAnswer ans;
  ASSERT_EQ(ASRes_GetResult(res, &ans), 0) << "ready at once";
  uint32_t a;
  memcpy(&a, ans.host.phe->h_addr_list[0], 4);
  EXPECT_EQ(a, inet_addr("127.0.0.9"));
  EXPECT_EQ(ans.host.phe->h_addr_list[1], nullptr);
  ASRes_Delete(res);
}

TEST(ASResTest, ReverseLookupOfLoopbackNamesIt) {
  uint32_t a = Loopback();
  ASRes *res = ASRes_GetHostByAddr(&a);
  ASSERT_NE(res, nullptr);
  struct hostent *he = Answer(res);
  ASSERT_NE(he, nullptr);
  EXPECT_GT(strlen(he->h_name), 0u);
  ASRes_Delete(res);
}

TEST(ASResTest, DeleteWithoutWaitingJoinsTheLookup) {
  ASRes *res = ASRes_GetHostByName("localhost");
  ASSERT_NE(res, nullptr);
  ASRes_Delete(res);
}

using AddrWait = plattest::Completion;

TEST(GDispGetAddrTest, StoresNetworkOrderAddressAndReportsSuccess) {
  RunningCx r(2);
  for (const char *host : {"localhost", "127.0.0.1"}) {
    AddrWait w{GDisp_New(r.cx())};
    uint32_t addr = 0;
    ASSERT_EQ(GDisp_GetAddr(w.gd, host, &addr, AddrWait::Cb, &w), 0);
    ASSERT_TRUE(WaitFor([&] { return w.n.load() == 1; })) << host;
    EXPECT_EQ(w.err.load(), 0) << host;
    EXPECT_EQ(addr, Loopback()) << host;
    GDisp_Delete(w.gd);
  }
}

TEST(GDispGetAddrTest, EmptyNameFailsThroughTheCallback) {
  RunningCx r(2);
  AddrWait w{GDisp_New(r.cx())};
  uint32_t addr = 77;
  ASSERT_EQ(GDisp_GetAddr(w.gd, "", &addr, AddrWait::Cb, &w), 0);
  ASSERT_TRUE(WaitFor([&] { return w.n.load() == 1; }));
  EXPECT_NE(w.err.load(), 0);
  EXPECT_EQ(addr, 77u) << "untouched on failure";
  GDisp_Delete(w.gd);
}

TEST(GDispGetAddrTest, DeletedObjectGetsNoCallback) {
  RunningCx r(2);
  AddrWait w{GDisp_New(r.cx())};
  uint32_t addr = 0;
  ASSERT_EQ(GDisp_GetAddr(w.gd, "localhost", &addr, AddrWait::Cb, &w), 0);
  GDisp_Delete(w.gd);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(w.n.load(), 0);
}

}  // namespace
