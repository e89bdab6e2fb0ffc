/* Scoped holds of the runtime library's mutexes and of NSPR reader/writer
 * locks, so that every early return releases what it took. */
#ifndef MUX_MUTEX_GUARD_H
#define MUX_MUTEX_GUARD_H

#include <prrwlock.h>

#include "tovi/mutex.h"

// NSPR is not built with ThreadSanitizer, so the ordering its locks give is
// invisible to it; in TSan builds the guard states it explicitly.
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define MUXGUARD_TSAN_ACQUIRE(addr) __tsan_acquire(static_cast<void *>(addr))
#define MUXGUARD_TSAN_RELEASE(addr) __tsan_release(static_cast<void *>(addr))
#else
#define MUXGUARD_TSAN_ACQUIRE(addr) ((void)0)
#define MUXGUARD_TSAN_RELEASE(addr) ((void)0)
#endif

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
        MUXGUARD_TSAN_ACQUIRE(lock_);
    }
    ~RWLockGuard()
    {
        MUXGUARD_TSAN_RELEASE(lock_);
        PR_RWLock_Unlock(lock_);
    }
    RWLockGuard(const RWLockGuard &) = delete;
    RWLockGuard &operator=(const RWLockGuard &) = delete;

  private:
    PRRWLock *lock_;
};

} // namespace muxguard

#endif
