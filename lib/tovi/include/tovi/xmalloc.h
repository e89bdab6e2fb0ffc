/*
 * Guarded allocation: for a non-zero size these calls never return none.
 * When the system allocator fails they report through the out-of-memory
 * callback (one report in a hundred) and retry once a second until the
 * memory comes.  A zero size returns none, so callers that may ask for
 * nothing must accept none.  Memory is released with free() or fs_give().
 *
 * Thread safety: every call may be made from any thread.
 */
#ifndef TOVI_XMALLOC_H
#define TOVI_XMALLOC_H

#include <stddef.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* Receives the out-of-memory reports: the failing call ("malloc", "calloc",
 * "realloc", "mmap") and the bytes it asked for. */
typedef void (*nomemory_cb)(const char *what, unsigned int sz);

/* malloc, retried until it succeeds; none when size is 0. */
TOVI_EXPORT void *xmalloc(size_t size);
/* Zeroed memory for num * size bytes; none when either is 0. */
TOVI_EXPORT void *xcalloc(size_t num, size_t size);
/* realloc of ptr; size 0 frees ptr and returns none. */
TOVI_EXPORT void *xrealloc(void *ptr, size_t size);
/* Copy of a string (which must not be none), owned by the caller. */
TOVI_EXPORT char *xstrdup(const char *str);
/* len + 1 bytes: at most len bytes of str, zero-padded, terminator at len. */
TOVI_EXPORT char *xstrndup(const char *str, size_t len);
/* Same as xmalloc. */
TOVI_EXPORT void *fs_get(size_t size);
/* Frees *ptr and sets it to none. */
TOVI_EXPORT void fs_give(void **ptr);

/* Replaces the report callback; none silences the reports (not the wait). */
TOVI_EXPORT void set_nomemory_cb(nomemory_cb cb);
/* Counts one shortage; the 1st, 101st, 201st ... call reports it. */
TOVI_EXPORT void memory_error(const char *what, unsigned int sz);
/* Default report: "<what> failed for <sz> bytes: <strerror(errno)>" on stderr. */
TOVI_EXPORT void nomemory_defaultcb(const char *what, unsigned int sz);

TOVI_END_DECLS

#endif
