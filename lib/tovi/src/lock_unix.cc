// Advisory locks from the current file offset to the end of the file.
// lockf locks belong to the process: threads of one process share them.
#include "tovi/lock.h"

#include <unistd.h>

extern "C" {

int tovi_lock_nonblocking(int fd) { return lockf(fd, F_TLOCK, 0); }

int tovi_unlock(int fd) { return lockf(fd, F_ULOCK, 0); }

int tovi_lock_test(int fd) { return lockf(fd, F_TEST, 0); }

}  // extern "C"
