// Portable system calls for Unix.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdarg>

#include "tovi/stdapi.h"

extern "C" {

// The close-on-exec request is turned into O_CLOEXEC so that the descriptor
// is never open without it: a fork and exec in another thread between the
// open and a later fcntl would otherwise inherit it.
int tovi_open(const char *path, int oflag, ...) {
  mode_t mode = 0666;
  if (oflag & O_CREAT) {
    va_list ap;
    va_start(ap, oflag);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  int sysflags = oflag & ~TOVI_O_CLOEXEC;
  if (oflag & TOVI_O_CLOEXEC)
    sysflags |= O_CLOEXEC;
  return open(path, sysflags, mode);
}

struct tm *mtlocaltime(const time_t *clock, struct tm *res) {
  if (clock == nullptr || res == nullptr)
    return nullptr;
  return localtime_r(clock, res);
}

struct tm *mtgmtime(const time_t *clock, struct tm *res) {
  if (clock == nullptr || res == nullptr)
    return nullptr;
  return gmtime_r(clock, res);
}

}  // extern "C"
