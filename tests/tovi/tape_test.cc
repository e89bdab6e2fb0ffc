// Tape control: the requests made, and how their failures are reported.
// The tape ioctls are interposed (there is no drive here).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <string>

#include "tovi/tape.h"

namespace {
int g_tape_fd = -1;    // the descriptor that plays a drive
int g_fail_errno = 0;  // non-zero: tape requests fail with it
std::string g_ops;     // "op:count " of each request the drive got
}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long req, ...) __THROW {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (g_tape_fd >= 0 && fd == g_tape_fd && (req == MTIOCGET || req == MTIOCTOP)) {
    if (req == MTIOCTOP) {
      auto *op = static_cast<struct mtop *>(arg);
      g_ops += std::to_string(op->mt_op) + ":" + std::to_string(op->mt_count) + " ";
    }
    errno = g_fail_errno;
    return g_fail_errno ? -1 : 0;
  }
  static auto real = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, req, arg);
}

namespace {

std::string Op(int op, int count) { return std::to_string(op) + ":" + std::to_string(count) + " "; }

TEST(Tape, RequestsReachTheDriveAndFailuresAreReportedByKind) {
  int fd = open("/dev/null", O_RDWR);
  const struct {
    bool drive;
    int fail;
    std::string want;  // is_tape, write_file_mark, set_tape_position, rewind_off_line
  } rows[] = {
      {false, 0, "0 25 1 -1"},  // an ordinary descriptor: ENOTTY
      {true, 0, "1 0 0 0"},
      {true, EIO, "0 5 2 -1"},
      {true, ENOSPC, "0 28 1 -1"},
  };
  for (auto &r : rows) {
    g_tape_fd = r.drive ? fd : -1;
    g_fail_errno = r.fail;
    std::string got = std::to_string(is_tape(fd));
    got += " " + std::to_string(write_file_mark(fd, 77));
    got += " " + std::to_string(set_tape_position(fd, 3));
    got += " " + std::to_string(rewind_off_line(fd));
    EXPECT_EQ(r.want, got);
  }
  g_fail_errno = 0;
  g_ops.clear();
  g_tape_fd = fd;
  EXPECT_EQ(0, write_file_mark(fd, 77));                         // one mark, whatever the option
  EXPECT_EQ(0, set_tape_position(fd, 1));                        // forward to the record before
  EXPECT_EQ(0, set_tape_position(fd, (int64_t{7} << 32) | 10));  // low 32 bits only
  EXPECT_EQ(0, rewind_off_line(fd));
  EXPECT_EQ(Op(MTWEOF, 1) + Op(MTFSR, 0) + Op(MTFSR, 9) + Op(MTOFFL, 1), g_ops);
  g_tape_fd = -1;
  close(fd);
}

}  // namespace
