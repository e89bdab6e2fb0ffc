// Allocation guards through the real library: zero sizes, copies, the
// throttled out-of-memory report, and the wait-and-retry loop under a
// forced shortage (a tight address-space limit in a child process).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>

#include "test_support.h"
#include "tovi/xmalloc.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(Xmalloc, ZeroSizesGiveNoneCallocZeroesReallocKeepsAndCopiesAreExact) {
  EXPECT_EQ(nullptr, xmalloc(0));
  EXPECT_EQ(nullptr, fs_get(0));
  EXPECT_EQ(nullptr, xcalloc(0, 16));
  EXPECT_EQ(nullptr, xcalloc(16, 0));
  // The blocks must be freed here: the leak checker of the sanitizer build
  // reports them otherwise.
  EXPECT_EQ(nullptr, xrealloc(xmalloc(32), 0));
  void *p = fs_get(10);
  ASSERT_NE(nullptr, p);
  fs_give(&p);
  EXPECT_EQ(nullptr, p);
  fs_give(&p);  // giving back none again is harmless
  fs_give(nullptr);
  auto *z = static_cast<unsigned char *>(xcalloc(100, 7));
  EXPECT_EQ(std::string(700, '\0'), std::string(reinterpret_cast<char *>(z), 700));
  std::memset(z, 'q', 700);
  z = static_cast<unsigned char *>(xrealloc(z, 100000));
  EXPECT_EQ(std::string(700, 'q'), std::string(reinterpret_cast<char *>(z), 700));
  free(z);
  char *dup = xstrdup("dup");
  EXPECT_STREQ("dup", dup);
  free(dup);
  // Short strings are padded with zeros; an unterminated buffer is never
  // read past len (the address sanitizer build catches an over-read).
  char *copy = xstrndup("abc", 5);
  EXPECT_EQ(0, std::memcmp("abc\0\0", copy, 6));
  free(copy);
  char *raw = static_cast<char *>(malloc(4));
  std::memcpy(raw, "wxyz", 4);
  for (size_t len : {4, 2, 0}) {
    copy = xstrndup(raw, len);
    EXPECT_EQ(std::string(raw, len), copy);
    free(copy);
  }
  free(raw);
}

// The report counter lives for the whole process, so the case runs in a
// fresh child whose counter starts where this (never failing) process left
// it: at zero.
TEST(XmallocReports, EveryHundredthShortageIsReportedAndImpossibleRequestsStopLoudly) {
  auto res = ts::run_in_child([] {
    static int call;
    errno = ENOMEM;
    memory_error("malloc", 4096);  // the first: the default callback reports it
    set_nomemory_cb([](const char *what, unsigned int sz) { std::printf("%s/%u@%d ", what, sz, call); });
    const char *kinds[] = {"malloc", "calloc", "realloc", "mmap"};
    for (call = 2; call <= 250; call++) memory_error(kinds[call % 4], unsigned(call));
    set_nomemory_cb(nullptr);
    for (; call <= 350; call++) memory_error("malloc", 1);  // the 301st is silenced
    return 0;
  });
  EXPECT_EQ(0, res.status);
  EXPECT_EQ("malloc failed for 4096 bytes: " + std::string(strerror(ENOMEM)) + "\ncalloc/101@101 calloc/201@201 ", res.out);
  // Impossible requests stop loudly instead of waiting.
  for (int kind = 0; kind < 2; kind++) {
    auto res = ts::run_in_child([kind] {
      void *p = kind ? static_cast<void *>(xstrndup("x", SIZE_MAX)) : xcalloc(SIZE_MAX / 2, 3);
      std::printf("returned %p\n", p);
      return 0;
    });
    EXPECT_EQ(-SIGABRT, res.status) << res.out;
    EXPECT_NE(std::string::npos, res.out.find(kind ? "malloc failed for 4294967295 bytes" : "calloc failed for 4294967295 bytes"))
        << res.out;
    EXPECT_EQ(std::string::npos, res.out.find("returned")) << res.out;
  }
}

// Shortage for real: the child's address space is capped below what it
// asks for; the report callback lifts the cap, so the guarded call must
// report once, wait a second, retry and come back with the memory. (The
// three allocators share the loop; what each one does is checked above.)
TEST(XmallocShortage, ReportsWaitsAndRetriesUntilMemoryComes) {
  if (kSanitized) GTEST_SKIP() << "sanitizer runtimes reserve the address space a cap needs";
  if (ts::emulated()) GTEST_SKIP() << "the emulator does not apply an address-space limit to its program";
  auto res = ts::run_in_child([] {
    static struct rlimit saved;
    constexpr size_t kBig = 256u << 20;
    getrlimit(RLIMIT_AS, &saved);
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    struct rlimit tight = saved;
    tight.rlim_cur = pages * size_t(sysconf(_SC_PAGESIZE)) + (32u << 20);
    if (setrlimit(RLIMIT_AS, &tight) != 0) return 90;
    set_nomemory_cb([](const char *what, unsigned int sz) {
      std::printf("%s %u;", what, sz);
      setrlimit(RLIMIT_AS, &saved);
    });
    auto start = std::chrono::steady_clock::now();
    auto *p = static_cast<unsigned char *>(xmalloc(kBig));
    p[kBig - 1] = 1;
    std::printf("%s", std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(900) ? "waited" : "no wait");
    return 0;
  });
  EXPECT_EQ(0, res.status) << res.out;
  EXPECT_EQ("malloc 268435456;waited", res.out);
}

}  // namespace
