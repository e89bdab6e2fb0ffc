/* Scoped holds of the runtime library's mutexes and of NSPR reader/writer
 * locks, so that every early return releases what it took. */
#ifndef MUX_MUTEX_GUARD_H
#define MUX_MUTEX_GUARD_H

#include <prrwlock.h>

#include "tovi/mutex.h"

namespace muxguard {

/* Holds `mtx` for the scope; a null mutex (a handle that could not create
 * one) makes the guard a no-op. */
class MutexGuard {
  public:
    explicit MutexGuard(tovi_mutex mtx) : mtx_(mtx)
    {
        if (mtx_)
            mutex_hold(mtx_);
    }
    ~MutexGuard()
    {
        if (mtx_)
            mutex_release(mtx_);
    }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

  private:
    tovi_mutex mtx_;
};

/* Holds a reader/writer lock for reading or writing for the scope. */
class RWLockGuard {
  public:
    enum Mode { Read, Write };
    RWLockGuard(PRRWLock *lock, Mode mode) : lock_(lock)
    {
        if (mode == Read)
            PR_RWLock_Rlock(lock_);
        else
            PR_RWLock_Wlock(lock_);
    }
    ~RWLockGuard() { PR_RWLock_Unlock(lock_); }
    RWLockGuard(const RWLockGuard &) = delete;
    RWLockGuard &operator=(const RWLockGuard &) = delete;

  private:
    PRRWLock *lock_;
};

} // namespace muxguard

#endif
