// File opening and time conversion through the real library: the
// close-on-exec request, modes and flags that reach the system, and
// conversions into the caller's buffer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tovi/stdapi.h"

namespace {

TEST(OpenFiles, FlagsReachTheSystemTheResultIsThatOfOpenAndTheModeIsUsedOnlyWhenCreating) {
  ts::TempDir tmp;
  ASSERT_EQ(0, symlink((tmp / "x").c_str(), (tmp / "link").c_str()));
  // The close-on-exec bit is also the system's O_DIRECTORY here: passed on,
  // it would make opening a plain file fail with ENOTDIR.
  const struct {
    const char *name;
    int flags, err;
    // clang-format off
  } rows[] = {
      {"x", O_WRONLY | O_CREAT, 0},
      {"x", O_WRONLY | O_CREAT | O_EXCL | TOVI_O_CLOEXEC, EEXIST},
      {"none", O_RDONLY, ENOENT},
      {"y", O_RDWR | O_CREAT | TOVI_O_CLOEXEC, 0},
      {"x", O_RDONLY | TOVI_O_CLOEXEC, 0},
      {"link", O_RDONLY | O_NOFOLLOW, ELOOP},  // flags above 16 bits still apply
      {"x", O_WRONLY | O_SYNC, 0},
  };
  // clang-format on
  for (auto &r : rows) {
    errno = 0;
    int fd = tovi_open((tmp / r.name).c_str(), r.flags, 0644);
    EXPECT_EQ(r.err, fd < 0 ? errno : 0) << r.name << " " << r.flags;
    if (fd < 0) continue;
    EXPECT_EQ(r.flags & TOVI_O_CLOEXEC ? FD_CLOEXEC : 0, fcntl(fd, F_GETFD) & FD_CLOEXEC) << r.flags;
    EXPECT_EQ(r.flags & O_SYNC, fcntl(fd, F_GETFL) & O_SYNC) << "O_SYNC weakened to O_DSYNC";
    close(fd);
  }
  // The mode is used only when creating.
  std::string made = tmp / "made";
  auto res = ts::run_in_child([&] {
    umask(0);
    int fd = tovi_open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | TOVI_O_CLOEXEC, 0640);
    close(fd);
    close(tovi_open(made.c_str(), O_RDONLY, 0777));  // without O_CREAT the argument is ignored
    struct stat st;
    std::printf("%o", fd >= 0 && stat(made.c_str(), &st) == 0 ? st.st_mode & 07777 : 0);
    return 0;
  });
  EXPECT_EQ("640", res.out);
}

TEST(TimeConversion, ThreadsConvertIntoTheirOwnBuffersAndNeedSomethingToConvertAndAPlace) {
  time_t zero = 0;
  struct tm tm;
  EXPECT_EQ(nullptr, mtgmtime(nullptr, &tm));
  EXPECT_EQ(nullptr, mtgmtime(&zero, nullptr));
  EXPECT_EQ(nullptr, mtlocaltime(nullptr, &tm));
  EXPECT_EQ(nullptr, mtlocaltime(&zero, nullptr));
  // Threads convert into their own buffers.
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; t++)
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < 2000; i++) {
        time_t when = time_t(t) * 86400 * 31 + i * 3600;
        struct tm tm;
        if (mtgmtime(&when, &tm) != &tm || tm.tm_hour != i % 24 || tm.tm_yday != (t * 31 + i / 24) % 365) bad[t]++;
      }
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(std::vector<int>(4, 0), bad);
}

}  // namespace
