// NSPR is not built with ThreadSanitizer, and the test suppressions keep
// TSan from watching the calls NSPR makes, so the ordering that NSPR locks
// provide is invisible to it.  These annotations tell it, in TSan builds
// only, that taking a lock acquires what the last unlock released.
#ifndef TOVI_SRC_NSPR_TSAN_H
#define TOVI_SRC_NSPR_TSAN_H

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define TOVI_TSAN_ACQUIRE(addr) __tsan_acquire(static_cast<void *>(addr))
#define TOVI_TSAN_RELEASE(addr) __tsan_release(static_cast<void *>(addr))
#else
#define TOVI_TSAN_ACQUIRE(addr) ((void)0)
#define TOVI_TSAN_RELEASE(addr) ((void)0)
#endif

#endif
