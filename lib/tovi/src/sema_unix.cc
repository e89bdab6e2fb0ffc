// Counting semaphores for the threads of one process (unnamed POSIX
// semaphores on the heap).  Results follow the platform: 0, or -1 and errno.
#include "tovi/sema.h"

#include <cerrno>
#include <cstdlib>

extern "C" {

int tovi_sema_init(tovi_sema *sp, unsigned int /*max*/, unsigned int start) {
  if (sp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  *sp = nullptr;
  auto *sem = static_cast<sem_t *>(std::malloc(sizeof(sem_t)));
  if (sem == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  if (sem_init(sem, 0, start) != 0) {
    int err = errno;
    std::free(sem);
    errno = err;
    return -1;
  }
  *sp = sem;
  return 0;
}

int tovi_sema_destroy(tovi_sema *sp) {
  if (sp == nullptr || *sp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int rc = sem_destroy(*sp);
  std::free(*sp);
  *sp = nullptr;
  return rc;
}

int tovi_sema_wait(tovi_sema *sp) {
  if (sp == nullptr || *sp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // A signal handler (SA_RESTART or not) interrupts sem_wait; that is not
  // a reason to report that the count was taken or failed.
  int rc;
  while ((rc = sem_wait(*sp)) != 0 && errno == EINTR) {
  }
  return rc;
}

int tovi_sema_post(tovi_sema *sp) {
  if (sp == nullptr || *sp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return sem_post(*sp);
}

}  // extern "C"
