// Tape control: the requests made, and how their failures are reported.
// The tape ioctls are interposed (there is no drive here).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>

#include "tovi/tape.h"

namespace {
int g_tape_fd = -1;   // the descriptor that plays a drive
int g_fail_errno = 0;  // non-zero: tape requests fail with it
struct mtop g_last_op;
int g_ops = 0;
}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long req, ...) __THROW {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (g_tape_fd >= 0 && fd == g_tape_fd && (req == MTIOCGET || req == MTIOCTOP)) {
    if (req == MTIOCTOP) {
      g_last_op = *static_cast<struct mtop *>(arg);
      ++g_ops;
    }
    if (g_fail_errno) {
      errno = g_fail_errno;
      return -1;
    }
    return 0;
  }
  static auto real = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, req, arg);
}

namespace {

class Tape : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = open("/dev/null", O_RDWR);
    ASSERT_GE(fd_, 0);
    g_tape_fd = -1;
    g_fail_errno = 0;
    g_ops = 0;
  }
  void TearDown() override {
    g_tape_fd = -1;
    close(fd_);
  }
  int fd_;
};

TEST_F(Tape, OrdinaryDescriptorsAreNotTapes) {
  EXPECT_EQ(0, is_tape(fd_));
  EXPECT_EQ(0, is_tape(-1));
  EXPECT_NE(0, write_file_mark(fd_, 0));
  EXPECT_EQ(1, set_tape_position(fd_, 5));
  EXPECT_EQ(-1, rewind_off_line(fd_));
}

TEST_F(Tape, RequestsReachTheDrive) {
  g_tape_fd = fd_;
  EXPECT_EQ(1, is_tape(fd_));
  EXPECT_EQ(0, write_file_mark(fd_, 77));
  EXPECT_EQ(MTWEOF, g_last_op.mt_op);
  EXPECT_EQ(1, g_last_op.mt_count);
  EXPECT_EQ(0, set_tape_position(fd_, 1));
  EXPECT_EQ(MTFSR, g_last_op.mt_op);
  EXPECT_EQ(0, g_last_op.mt_count);
  EXPECT_EQ(0, set_tape_position(fd_, (int64_t{7} << 32) | 10));  // low 32 bits only
  EXPECT_EQ(9, g_last_op.mt_count);
  EXPECT_EQ(0, rewind_off_line(fd_));
  EXPECT_EQ(MTOFFL, g_last_op.mt_op);
  EXPECT_EQ(4, g_ops);
}

TEST_F(Tape, FailuresAreReportedByKind) {
  g_tape_fd = fd_;
  g_fail_errno = EIO;
  EXPECT_EQ(0, is_tape(fd_));
  EXPECT_EQ(EIO, write_file_mark(fd_, 0));
  EXPECT_EQ(2, set_tape_position(fd_, 3));
  EXPECT_EQ(-1, rewind_off_line(fd_));
  g_fail_errno = ENOSPC;
  EXPECT_EQ(ENOSPC, write_file_mark(fd_, 0));
  EXPECT_EQ(1, set_tape_position(fd_, 3));
}

}  // namespace
