// Resolver requests and GDisp_GetAddr.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "plat/asres.h"
#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::Completion;

namespace {

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// The answer of a request, waiting for it (bounded).
struct hostent *Answer(ASRes *res) {
  ASResAnswer ans;
  int rc;
  for (int i = 0; i < 1000 && (rc = ASRes_GetResult(res, &ans)) == -1; i++) ASRes_Wait(res);
  return rc == 0 ? ans.host.phe : nullptr;
}

uint32_t FirstAddr(const struct hostent *he) {
  uint32_t a = 0;
  if (he && he->h_addr_list[0]) memcpy(&a, he->h_addr_list[0], 4);
  return a;
}

TEST(ASResTest, LocalhostResolvesToLoopbackForwardAndBackAndADottedAddressWithoutALookup) {
  ASRes *res = ASRes_GetHostByName("localhost");
  struct hostent *he = Answer(res);
  EXPECT_EQ(he->h_addrtype, AF_INET);
  EXPECT_EQ(he->h_length, 4);
  EXPECT_EQ(FirstAddr(he), Loopback());
  EXPECT_EQ(he->h_aliases[0], nullptr);
  ASRes_Delete(res);
  uint32_t a = Loopback();
  res = ASRes_GetHostByAddr(&a);
  he = Answer(res);
  EXPECT_GT(strlen(he->h_name), 0u);
  ASRes_Delete(res);
  ASRes_Delete(ASRes_GetHostByName("localhost"));  // deleted without waiting: the lookup is joined
  // A dotted address is answered without a lookup.
  ASRes *dotted = ASRes_GetHostByName("127.0.0.9");
  ASResAnswer ready;
  ASSERT_EQ(ASRes_GetResult(dotted, &ready), 0) << "ready at once";
  EXPECT_EQ(FirstAddr(ready.host.phe), inet_addr("127.0.0.9"));
  EXPECT_EQ(ready.host.phe->h_addr_list[1], nullptr);
  ASRes_Delete(dotted);
}

// A name that resolves reaches its callback through the server link (the
// multiplexor's relay tests); here a failure and a deleted object.
TEST(GDispGetAddrTest, FailureComesThroughTheCallbackAndADeletedObjectGetsNone) {
  plattest::RunningCx r(2);
  Completion bad{GDisp_New(r.cx())};
  uint32_t addr = 77;
  ASSERT_EQ(GDisp_GetAddr(bad.gd, "", &addr, Completion::Cb, &bad), 0);
  ASSERT_TRUE(bad.Wait(1));
  EXPECT_NE(bad.err.load(), 0);
  EXPECT_EQ(addr, 77u) << "left untouched";
  GDisp_Delete(bad.gd);
  Completion w{GDisp_New(r.cx())};
  ASSERT_EQ(GDisp_GetAddr(w.gd, "localhost", &addr, Completion::Cb, &w), 0);
  GDisp_Delete(w.gd);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(w.n.load(), 0);
  EXPECT_EQ(GDisp_GetAddr(nullptr, "localhost", &addr, Completion::Cb, &w), -1);
}

}  // namespace
