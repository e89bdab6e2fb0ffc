/*
 * Advisory file locks from the descriptor's current offset to the end of the
 * file (lockf).  Locks are held per process, not per thread.
 */
#ifndef TOVI_LOCK_H
#define TOVI_LOCK_H

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* Locks without waiting: 0, or -1 (errno set) when another process holds it. */
TOVI_EXPORT int tovi_lock_nonblocking(int fd);
/* Unlocks: 0 or -1. */
TOVI_EXPORT int tovi_unlock(int fd);
/* 0 when free or locked by this process, -1 otherwise. */
TOVI_EXPORT int tovi_lock_test(int fd);

TOVI_END_DECLS

#endif
