// Mutexes are bare NSPR locks: the handle is the PRLock itself.
#include "tovi/mutex.h"

#include <prlock.h>

#include "nspr_tsan.h"

extern "C" {

tovi_mutex mutex_open(void) { return PR_NewLock(); }

int mutex_hold(tovi_mutex mtx) {
  if (mtx == nullptr)
    return -1;
  PR_Lock(mtx);
  TOVI_TSAN_ACQUIRE(mtx);
  return 0;
}

int mutex_release(tovi_mutex mtx) {
  if (mtx == nullptr)
    return -1;
  TOVI_TSAN_RELEASE(mtx);
  PR_Unlock(mtx);
  return 0;
}

// NSPR has no try-lock; callers must treat this as "not taken".
int mutex_try(tovi_mutex /*mtx*/) { return -1; }

int mutex_spin_count(tovi_mutex /*mtx*/, int /*count*/) { return 0; }

void mutex_close(tovi_mutex mtx) {
  if (mtx)
    PR_DestroyLock(mtx);
}

}  // extern "C"
