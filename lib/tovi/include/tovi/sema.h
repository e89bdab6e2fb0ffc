/*
 * Counting semaphores between the threads of one process.  The results are
 * the platform's: 0 on success, -1 with errno set on failure.
 */
#ifndef TOVI_SEMA_H
#define TOVI_SEMA_H

#include <semaphore.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

typedef sem_t *tovi_sema;

/* Allocates a semaphore with count start and stores it in *sp (none on
 * failure); max is not used. */
TOVI_EXPORT int tovi_sema_init(tovi_sema *sp, unsigned int max, unsigned int start);
/* Destroys and frees *sp and sets it to none. */
TOVI_EXPORT int tovi_sema_destroy(tovi_sema *sp);
/* Waits until the count is positive and decrements it. */
TOVI_EXPORT int tovi_sema_wait(tovi_sema *sp);
/* Increments the count, waking one waiter. */
TOVI_EXPORT int tovi_sema_post(tovi_sema *sp);

TOVI_END_DECLS

#endif
