// Non-blocking mode and host lookups. The lookups run against a scripted
// resolver that the test program puts in front of the platform's (same
// names, found first; the platform's own is tested on its own).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "plat/asres.h"
#include "tovi/networks.h"

namespace {

struct FakeResolver {
  bool on = false;
  int pending = 0;  // GetResult answers -1 this many times first
  int result = 0;   // then this
  struct hostent he;
  char bytes[3][4] = {{10, 0, 0, 1}, {10, 0, 0, 2}, {char(192), char(168), 1, 9}};
  char *addrs[4] = {};
  char *aliases[2] = {const_cast<char *>("alias.example"), nullptr};
  int made = 0, waited = 0, deleted = 0;
} fake;

ASRes *const kToken = reinterpret_cast<ASRes *>(0x1234);

}  // namespace

// Each call goes to the platform's resolver until the test turns the fake on.
#define FAKE(ret, name, params, args, ...)                                                \
  extern "C" __attribute__((visibility("default"))) ret name params {                     \
    if (!fake.on) return reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name)) args; \
    __VA_ARGS__                                                                           \
  }
FAKE(ASRes *, ASRes_GetHostByName, (const char *name), (name), return ++fake.made, kToken;)
FAKE(ASRes *, ASRes_GetHostByAddr, (const void *addr), (addr), return ++fake.made, kToken;)
FAKE(int, ASRes_Wait, (ASRes * res), (res), return ++fake.waited, 0;)
FAKE(void, ASRes_Delete, (ASRes * res), (res), ++fake.deleted;)
FAKE(int, ASRes_GetResult, (ASRes * res, ASResAnswer *answer), (res, answer), {
  if (fake.pending > 0) return --fake.pending, -1;
  if (fake.result == 0) answer->host.phe = &fake.he;
  return fake.result;
})

namespace {

TEST(HostLookup, AddressesAreCopiedIntoTheCallersBlockInOrderAndEveryRequestIsReleased) {
  for (int i = 0; i < 3; ++i) fake.addrs[i] = fake.bytes[i];
  fake.he = {const_cast<char *>("three.example.org"), fake.aliases, AF_INET, 4, fake.addrs};
  alignas(8) char block[1024];
  memset(block, 0x5a, sizeof block);
  auto Inside = [&](const void *p) { return p >= block && p < block + sizeof block; };
  fake.on = true;
  fake.pending = 2;
  struct hostent *he = tovi_gethostbyname("three.example.org", block);
  ASSERT_EQ(reinterpret_cast<struct hostent *>(block), he);
  EXPECT_EQ(2, fake.waited);
  EXPECT_EQ(1, fake.deleted);
  // Everything lives inside the caller's block, the lists 8-aligned; the
  // aliases are dropped.
  ASSERT_TRUE(Inside(he->h_name) && Inside(he->h_aliases) && Inside(he->h_addr_list));
  EXPECT_STREQ("three.example.org", he->h_name);
  EXPECT_EQ(0u, (reinterpret_cast<uintptr_t>(he->h_aliases) | reinterpret_cast<uintptr_t>(he->h_addr_list)) % 8);
  EXPECT_EQ(nullptr, he->h_aliases[0]);
  memset(fake.bytes, 0, sizeof fake.bytes);  // the copy does not depend on the record any more
  const char *want[] = {"\x0a\x00\x00\x01", "\x0a\x00\x00\x02", "\xc0\xa8\x01\x09"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Inside(he->h_addr_list[i])) << i;
    EXPECT_EQ(0, memcmp(he->h_addr_list[i], want[i], 4)) << i;
  }
  EXPECT_EQ(nullptr, he->h_addr_list[3]);
  EXPECT_EQ(AF_INET, he->h_addrtype);
  EXPECT_EQ(4, he->h_length);
  // A failed answer releases its request too; a reverse lookup checks the
  // type and length before it asks.
  fake.result = 2;
  EXPECT_EQ(nullptr, tovi_gethostbyname("x", block));
  EXPECT_EQ(2, fake.deleted);
  fake.result = 0;
  const char addr[4] = {10, 0, 0, 1};
  EXPECT_EQ(nullptr, tovi_gethostbyaddr(addr, 4, AF_INET6, block));
  EXPECT_EQ(nullptr, tovi_gethostbyaddr(addr, 3, AF_INET, block));
  EXPECT_EQ(2, fake.made);
  EXPECT_EQ(reinterpret_cast<struct hostent *>(block), tovi_gethostbyaddr(addr, 4, AF_INET, block));
  EXPECT_EQ(3, fake.made);
  EXPECT_EQ(3, fake.deleted);
  fake.on = false;
}

TEST(Nonblock, SetsAndClearsAndReportsNoChange) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  EXPECT_EQ(0, nonblock(sv[0], 0));  // already blocking
  EXPECT_EQ(0, nonblock(sv[0], 1));
  char c;
  EXPECT_EQ(-1, read(sv[0], &c, 1));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_EQ(0, nonblock(sv[0], 7));  // already set
  EXPECT_EQ(0, nonblock(sv[0], 0));
  EXPECT_FALSE(fcntl(sv[0], F_GETFL) & O_NONBLOCK);
  close(sv[0]);
  close(sv[1]);
  EXPECT_EQ(-1, nonblock(sv[0], 1));
}

}  // namespace
