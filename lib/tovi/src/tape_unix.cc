// Magnetic-tape requests through the system's tape ioctls.

#include "tovi/tape.h"

#include <sys/ioctl.h>

#include <cerrno>

#if __has_include(<sys/mtio.h>)
#include <sys/mtio.h>
#define TOVI_HAVE_MTIO 1
#endif

namespace {

#ifdef TOVI_HAVE_MTIO
int _mtop(int fd, short op, int count) {
  struct mtop mt {};
  mt.mt_op = op;
  mt.mt_count = count;
  return ioctl(fd, MTIOCTOP, &mt);
}
#else
enum { MTWEOF, MTFSR, MTOFFL };
int _mtop(int, short, int) {
  errno = ENOTTY;
  return -1;
}
#endif

}  // namespace

extern "C" {

int is_tape(int fd) {
#ifdef TOVI_HAVE_MTIO
  struct mtget status;
  return ioctl(fd, MTIOCGET, &status) == 0 ? 1 : 0;
#else
  (void)fd;
  return 0;
#endif
}

int write_file_mark(int fd, int option) {
  (void)option;
  return _mtop(fd, MTWEOF, 1) == 0 ? 0 : errno;
}

int set_tape_position(int fd, int64_t blknb) {
  int32_t count = static_cast<int32_t>(static_cast<uint32_t>(blknb) - 1);
  if (_mtop(fd, MTFSR, count) == 0)
    return 0;
  return errno == EIO ? 2 : 1;
}

int rewind_off_line(int fd) { return _mtop(fd, MTOFFL, 1) == 0 ? 0 : -1; }

}  // extern "C"
