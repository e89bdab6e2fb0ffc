/*
 * Process-local mutexes over NSPR locks (not recursive).
 * Thread safety: every call is safe between threads of one process.
 */
#ifndef TOVI_MUTEX_H
#define TOVI_MUTEX_H

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* The handle is the NSPR lock itself. */
typedef struct PRLock *tovi_mutex;

/* A new mutex, or none when NSPR cannot create a lock. */
TOVI_EXPORT tovi_mutex mutex_open(void);
/* Locks; 0. */
TOVI_EXPORT int mutex_hold(tovi_mutex mtx);
/* Unlocks; 0. */
TOVI_EXPORT int mutex_release(tovi_mutex mtx);
/* Trying without blocking is not supported: always -1. */
TOVI_EXPORT int mutex_try(tovi_mutex mtx);
/* No effect; 0. */
TOVI_EXPORT int mutex_spin_count(tovi_mutex mtx, int count);
/* Destroys the lock (none is ignored). */
TOVI_EXPORT void mutex_close(tovi_mutex mtx);

TOVI_END_DECLS

#endif
