/*
 * Events: a condition variable with its own mutex.  An event keeps no state:
 * a set while nobody waits is lost and a waiter may wake without a set, so
 * callers check their own condition after waking.
 * Thread safety: every call is safe between threads of one process.
 */
#ifndef TOVI_EVENT_H
#define TOVI_EVENT_H

#include <stdint.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

typedef struct event *tovi_event;

/* event_wait() timeout meaning "no limit". */
#define TOVI_EVENT_FOREVER ((uint32_t)-1)

/* A new event, or none. */
TOVI_EXPORT tovi_event event_open(void);
/* Wakes one thread waiting in event_wait(); 0. */
TOVI_EXPORT int event_set(tovi_event evt);
/* Waits for event_set() or msec milliseconds; NSPR's result (0 or -1). */
TOVI_EXPORT int event_wait(tovi_event evt, uint32_t msec);
/* Destroys the event (none is ignored). */
TOVI_EXPORT void event_close(tovi_event evt);

TOVI_END_DECLS

#endif
