/*
 * Portable system calls: file opening with a close-on-exec request folded
 * into the flags, and time conversion into the caller's buffer.
 * Thread safety: every call may be made from any thread.
 */
#ifndef TOVI_STDAPI_H
#define TOVI_STDAPI_H

#include <time.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* tovi_open() flag: the descriptor is closed on exec. */
#define TOVI_O_CLOEXEC 0x10000

/* open(path, oflag without TOVI_O_CLOEXEC, mode); the mode argument is read
 * only with O_CREAT (otherwise 0666).  Descriptor, or -1 with errno. */
TOVI_EXPORT int tovi_open(const char *path, int oflag, ...);
/* Local time of *clock into *res; returns res (none on failure). */
TOVI_EXPORT struct tm *mtlocaltime(const time_t *clock, struct tm *res);
/* UTC of *clock into *res; returns res (none on failure). */
TOVI_EXPORT struct tm *mtgmtime(const time_t *clock, struct tm *res);

TOVI_END_DECLS

#endif
