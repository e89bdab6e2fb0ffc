// Allocation guards through the real library: zero sizes, copies, the
// throttled out-of-memory report, and the wait-and-retry loop under a
// forced shortage (a tight address-space limit in a child process).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tovi/xmalloc.h"
#include "tovi_test_util.h"

namespace {

using tovi_test::RunInChild;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

size_t CountLines(const std::string &text, const std::string &line) {
  size_t count = 0;
  for (size_t pos = 0; (pos = text.find(line, pos)) != std::string::npos; pos += line.size())
    count++;
  return count;
}

TEST(XmallocZero, ZeroSizesReturnNone) {
  EXPECT_EQ(nullptr, xmalloc(0));
  EXPECT_EQ(nullptr, fs_get(0));
  EXPECT_EQ(nullptr, xcalloc(0, 16));
  EXPECT_EQ(nullptr, xcalloc(16, 0));
  // The block must be freed here: the leak checker of the sanitizer build
  // reports it otherwise.
  void *p = xmalloc(32);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(nullptr, xrealloc(p, 0));
}

TEST(XmallocCopies, CallocZeroesAndReallocKeepsContents) {
  auto *z = static_cast<unsigned char *>(xcalloc(100, 7));
  ASSERT_NE(nullptr, z);
  for (int i = 0; i < 700; i++) ASSERT_EQ(0, z[i]) << i;
  std::memset(z, 'q', 700);
  z = static_cast<unsigned char *>(xrealloc(z, 100000));
  ASSERT_NE(nullptr, z);
  for (int i = 0; i < 700; i++) ASSERT_EQ('q', z[i]) << i;
  free(z);
}

TEST(XmallocCopies, StrndupPadsShortStringsWithZeros) {
  char *copy = xstrndup("abc", 5);
  ASSERT_NE(nullptr, copy);
  const char want[6] = {'a', 'b', 'c', 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(want, copy, 6));
  free(copy);
}

TEST(XmallocCopies, StrndupCutsAndNeverReadsPastLen) {
  // An unterminated buffer: only len bytes may be read (the address
  // sanitizer build catches an over-read).
  char *raw = static_cast<char *>(malloc(4));
  std::memcpy(raw, "wxyz", 4);
  char *copy = xstrndup(raw, 4);
  EXPECT_STREQ("wxyz", copy);
  free(copy);
  copy = xstrndup(raw, 2);
  EXPECT_STREQ("wx", copy);
  free(copy);
  copy = xstrndup(raw, 0);
  EXPECT_STREQ("", copy);
  free(copy);
  free(raw);
}

TEST(XmallocCopies, FsGiveClearsTheCallersPointer) {
  void *p = fs_get(10);
  ASSERT_NE(nullptr, p);
  fs_give(&p);
  EXPECT_EQ(nullptr, p);
  fs_give(&p);  // giving back none again is harmless
  EXPECT_EQ(nullptr, p);
}

// The report counter lives for the whole process, so each case runs in a
// fresh child whose counter starts where this (never failing) process left
// it: at zero.
TEST(XmallocReports, DefaultCallbackReportsEveryHundredth) {
  auto res = RunInChild([] {
    for (int i = 0; i < 250; i++) {
      errno = ENOMEM;
      memory_error("malloc", 4096);
    }
    return 0;
  });
  ASSERT_EQ(0, res.exit_code) << res.output;
  const std::string line = "malloc failed for 4096 bytes: " + std::string(strerror(ENOMEM)) + "\n";
  EXPECT_EQ(3u, CountLines(res.output, line)) << res.output;
  EXPECT_EQ(3 * line.size(), res.output.size()) << res.output;
}

TEST(XmallocReports, ReportsComeOnTheFirst101stAnd201stCall) {
  auto res = RunInChild([] {
    static int calls;
    static int reported_at[8];
    static int reports;
    set_nomemory_cb([](const char *what, unsigned int sz) {
      if (reports < 8) reported_at[reports++] = calls;
      std::printf("%s/%u ", what, sz);
    });
    const char *kinds[] = {"malloc", "calloc", "realloc", "mmap"};
    for (calls = 1; calls <= 250; calls++) memory_error(kinds[calls % 4], static_cast<unsigned>(calls));
    for (int i = 0; i < reports; i++) std::printf("@%d", reported_at[i]);
    return 0;
  });
  ASSERT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("calloc/1 calloc/101 calloc/201 @1@101@201", res.output);
}

TEST(XmallocReports, NoCallbackSilencesReports) {
  auto res = RunInChild([] {
    set_nomemory_cb(nullptr);
    for (int i = 0; i < 150; i++) memory_error("malloc", 1);
    set_nomemory_cb(nomemory_defaultcb);
    memory_error("malloc", 2);  // the 151st: not a report turn
    return 0;
  });
  ASSERT_EQ(0, res.exit_code);
  EXPECT_EQ("", res.output);
}

TEST(XmallocReports, ImpossibleCallocStopsLoudly) {
  auto res = RunInChild([] {
    void *p = xcalloc(SIZE_MAX / 2, 3);
    std::printf("returned %p\n", p);
    return 0;
  });
  EXPECT_EQ(SIGABRT, res.term_signal) << res.output;
  EXPECT_NE(std::string::npos, res.output.find("calloc failed for 4294967295 bytes")) << res.output;
  EXPECT_EQ(std::string::npos, res.output.find("returned")) << res.output;
}

// Shortage for real: the child's address space is capped below what it
// asks for; the report callback lifts the cap, so the guarded call must
// report once, wait a second, retry and come back with the memory.
size_t VirtualSize() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// kind: 0 malloc, 1 calloc, 2 realloc.
int AllocateUnderShortage(int kind) {
  static struct rlimit saved;
  static char seen[64];
  static unsigned int seen_size;
  constexpr size_t kBig = 256u << 20;
  getrlimit(RLIMIT_AS, &saved);
  void *old = kind == 2 ? xmalloc(16) : nullptr;
  if (old) std::memcpy(old, "keep", 5);
  struct rlimit tight = saved;
  tight.rlim_cur = VirtualSize() + (32u << 20);
  if (setrlimit(RLIMIT_AS, &tight) != 0) return 90;
  set_nomemory_cb([](const char *what, unsigned int sz) {
    std::snprintf(seen, sizeof seen, "%s", what);
    seen_size = sz;
    setrlimit(RLIMIT_AS, &saved);
  });
  auto start = std::chrono::steady_clock::now();
  unsigned char *p = nullptr;
  if (kind == 0) p = static_cast<unsigned char *>(xmalloc(kBig));
  if (kind == 1) p = static_cast<unsigned char *>(xcalloc(kBig / 4, 4));
  if (kind == 2) p = static_cast<unsigned char *>(xrealloc(old, kBig));
  auto waited = std::chrono::steady_clock::now() - start;
  if (p == nullptr) return 91;
  if (kind == 1 && (p[0] != 0 || p[kBig - 1] != 0)) return 92;
  if (kind == 2 && std::memcmp(p, "keep", 5) != 0) return 93;
  p[kBig - 1] = 1;
  std::printf("%s %u %s", seen, seen_size,
              waited >= std::chrono::milliseconds(900) ? "waited" : "did-not-wait");
  free(p);
  return 0;
}

class XmallocShortage : public ::testing::TestWithParam<int> {};

TEST_P(XmallocShortage, ReportsWaitsAndRetriesUntilMemoryComes) {
  if (kSanitized) GTEST_SKIP() << "sanitizer runtimes reserve the address space a cap needs";
  const int kind = GetParam();
  auto res = RunInChild([kind] { return AllocateUnderShortage(kind); });
  ASSERT_EQ(0, res.exit_code) << res.output;
  const char *names[] = {"malloc", "calloc", "realloc"};
  EXPECT_EQ(std::string(names[kind]) + " 268435456 waited", res.output);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, XmallocShortage, ::testing::Values(0, 1, 2));

}  // namespace
