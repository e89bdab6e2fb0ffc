/* The one scoped lock hold of the multiplexor: an NSPR lock (PRLock, which
 * is also what a runtime-library tovi_mutex is) or an NSPR reader/writer lock
 * held for reading or writing, released on every way out of the scope.
 *
 * The "must hold" convention: a function that expects its caller to hold a
 * lock says so in a line "Must hold: <record>.<lock>." of its comment (in
 * its header, or above it for a file-local one) and never takes that lock
 * itself; a function without such a line takes what it needs and returns
 * with nothing held. Where two locks are held at once, the module's lock
 * table gives the order (docs/architecture.md lists them all).
 *
 * NSPR is not built with ThreadSanitizer, so the ordering its locks give is
 * invisible to it; in TSan builds the guard states it explicitly, for every
 * kind of lock it holds. */
#ifndef MUX_BASE_LOCK_GUARD_H
#define MUX_BASE_LOCK_GUARD_H

#include <prlock.h>
#include <prrwlock.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define MUXBASE_TSAN_ACQUIRE(addr) __tsan_acquire(static_cast<void *>(addr))
#define MUXBASE_TSAN_RELEASE(addr) __tsan_release(static_cast<void *>(addr))
#else
#define MUXBASE_TSAN_ACQUIRE(addr) ((void)0)
#define MUXBASE_TSAN_RELEASE(addr) ((void)0)
#endif

namespace muxbase {

class LockGuard {
  public:
    enum Mode { Read, Write };

    /* Holds `lock` for the scope; a null lock (a handle that could not
     * create one) makes the guard a no-op. */
    explicit LockGuard(PRLock *lock) : lock_(lock)
    {
        if (lock_) {
            PR_Lock(lock_);
            MUXBASE_TSAN_ACQUIRE(lock_);
        }
    }
    /* Holds `lock` for reading or for writing for the scope. */
    LockGuard(PRRWLock *lock, Mode mode) : rw_(lock)
    {
        if (mode == Read)
            PR_RWLock_Rlock(rw_);
        else
            PR_RWLock_Wlock(rw_);
        MUXBASE_TSAN_ACQUIRE(rw_);
    }
    ~LockGuard()
    {
        if (lock_) {
            MUXBASE_TSAN_RELEASE(lock_);
            PR_Unlock(lock_);
        } else if (rw_) {
            MUXBASE_TSAN_RELEASE(rw_);
            PR_RWLock_Unlock(rw_);
        }
    }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

  private:
    PRLock *lock_ = nullptr;
    PRRWLock *rw_ = nullptr;
};

} // namespace muxbase

#endif
