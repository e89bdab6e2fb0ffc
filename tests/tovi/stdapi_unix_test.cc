// File opening and time conversion through the real library: the
// close-on-exec request seen from a program started with execv, modes,
// flags that reach the system, and conversions into the caller's buffer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tovi/stdapi.h"
#include "tovi/thread.h"
#include "tovi_test_util.h"

namespace {

using tovi_test::RunInChild;

class OpenFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    dir_ = tmp_.path();
  }
  tovi_test::TempDir tmp_;
  std::string dir_;
};

TEST_F(OpenFiles, CloseOnExecDescriptorIsNotInheritedByExecv) {
  std::string path = dir_ + "/f";
  int keep = tovi_open(path.c_str(), O_RDWR | O_CREAT, 0600);
  int gone = tovi_open(path.c_str(), O_RDONLY | TOVI_O_CLOEXEC);
  ASSERT_GE(keep, 0);
  ASSERT_GE(gone, 0);
  EXPECT_EQ(0, fcntl(keep, F_GETFD) & FD_CLOEXEC);
  EXPECT_NE(0, fcntl(gone, F_GETFD) & FD_CLOEXEC);

  // The started program tells by its exit code which descriptors it has.
  std::string script = "c=0; [ -e /proc/self/fd/" + std::to_string(gone) + " ] && c=$((c+1)); " +
                       "[ -e /proc/self/fd/" + std::to_string(keep) + " ] && c=$((c+2)); exit $c";
  char sh[] = "/bin/sh", c[] = "-c";
  char *args[] = {sh, c, script.data(), nullptr};
  tovi_process h = 0;
  ASSERT_EQ(0, process_new(args, nullptr, &h));
  EXPECT_EQ(2, process_wait(h));
  close(keep);
  close(gone);
}

TEST_F(OpenFiles, ModeIsUsedOnlyWhenCreating) {
  auto res = RunInChild([this] {
    umask(0);
    std::string made = dir_ + "/made";
    int fd = tovi_open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | TOVI_O_CLOEXEC, 0640);
    if (fd < 0) return 50;
    close(fd);
    struct stat st;
    stat(made.c_str(), &st);
    // Without O_CREAT an extra argument is ignored.
    fd = tovi_open(made.c_str(), O_RDONLY, 0777);
    if (fd < 0) return 51;
    close(fd);
    struct stat after;
    stat(made.c_str(), &after);
    return (st.st_mode & 07777) == 0640 && (after.st_mode & 07777) == 0640 ? 0 : 52;
  });
  EXPECT_EQ(0, res.exit_code) << res.output;
}

TEST_F(OpenFiles, ResultAndErrnoAreThoseOfOpen) {
  std::string path = dir_ + "/x";
  int fd = tovi_open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  errno = 0;
  EXPECT_EQ(-1, tovi_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | TOVI_O_CLOEXEC, 0644));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(-1, tovi_open((dir_ + "/none").c_str(), O_RDONLY));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(OpenFiles, CloseOnExecBitIsNotAnOpenFlag) {
  // Here the bit's value is also the system's O_DIRECTORY, which would make
  // opening a plain file fail with ENOTDIR if it were passed on.
  std::string path = dir_ + "/plain";
  int fd = tovi_open(path.c_str(), O_RDWR | O_CREAT | TOVI_O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  close(fd);
  fd = tovi_open(path.c_str(), O_RDONLY | TOVI_O_CLOEXEC);
  ASSERT_GE(fd, 0) << strerror(errno);
  close(fd);
}

TEST_F(OpenFiles, SystemFlagsAboveSixteenBitsStillApply) {
  std::string target = dir_ + "/target", link = dir_ + "/link";
  int fd = tovi_open(target.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  EXPECT_EQ(-1, tovi_open(link.c_str(), O_RDONLY | O_NOFOLLOW));
  EXPECT_EQ(ELOOP, errno);
  fd = tovi_open(target.c_str(), O_WRONLY | O_SYNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(O_SYNC, fcntl(fd, F_GETFL) & O_SYNC);  // not weakened to O_DSYNC
  close(fd);
}

TEST(TimeConversion, EpochInUtc) {
  time_t zero = 0;
  struct tm tm;
  std::memset(&tm, 0x7f, sizeof tm);
  ASSERT_EQ(&tm, mtgmtime(&zero, &tm));
  EXPECT_EQ(70, tm.tm_year);
  EXPECT_EQ(0, tm.tm_mon);
  EXPECT_EQ(1, tm.tm_mday);
  EXPECT_EQ(0, tm.tm_hour);
  EXPECT_EQ(0, tm.tm_min);
  EXPECT_EQ(0, tm.tm_sec);
  EXPECT_EQ(4, tm.tm_wday);  // a Thursday
  EXPECT_EQ(0, tm.tm_yday);
  EXPECT_EQ(0, tm.tm_isdst);
}

TEST(TimeConversion, LocalTimeFollowsTheZone) {
  auto res = RunInChild([] {
    setenv("TZ", "IST-5:30", 1);
    tzset();
    time_t zero = 0;
    struct tm tm;
    if (mtlocaltime(&zero, &tm) != &tm) return 50;
    std::printf("%d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
    return 0;
  });
  ASSERT_EQ(0, res.exit_code);
  EXPECT_EQ("1970-01-01 05:30:00", res.output);
}

TEST(TimeConversion, ThreadsConvertIntoTheirOwnBuffers) {
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; t++)
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < 2000; i++) {
        time_t when = static_cast<time_t>(t) * 86400 * 31 + i * 3600;
        struct tm tm;
        mtgmtime(&when, &tm);
        if (tm.tm_hour != i % 24 || tm.tm_yday != (t * 31 + i / 24) % 365) bad[t]++;
      }
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(std::vector<int>(4, 0), bad);
}

}  // namespace
