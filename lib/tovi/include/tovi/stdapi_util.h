/* Portable system-call helpers: synchronisation levels, a reentrant
 * tokenizer, directory trees, descriptor limits, file copies, file
 * synchronisation and region locks.
 * Thread safety: any thread, as far as the underlying system calls are;
 * the region locks move the descriptor's file position. */
#ifndef TOVI_STDAPI_UTIL_H
#define TOVI_STDAPI_UTIL_H

#include <sys/types.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* Synchronisation levels of sync_file(). */
#define TOVI_SYNC_NONE 0
#define TOVI_SYNC_DATA 1
#define TOVI_SYNC_FULL 2

/* "none" 0, "datasync" 1, "sync" 2 (any case), a leading digit as atoi;
 * none and anything else 0. */
TOVI_EXPORT int sync_string2level(const char *str);
/* The name of a level, or "unknown". */
TOVI_EXPORT const char *sync_level2string(int level);

/* Next token of s (none: continue where *store says) delimited by any
 * character of ct; the delimiter after it is overwritten with NUL. */
TOVI_EXPORT char *tovi_strtok(char *s, const char *ct, char **store);

/* Creates path1 and any missing parents with mode; existing directories are
 * fine. 0, or -1 with errno of the mkdir that failed. */
TOVI_EXPORT int tovi_mkdir(const char *path1, mode_t mode);

/* The soft limit on open descriptors, or 64 when it cannot be read. */
TOVI_EXPORT unsigned int getmaxfd(void);
/* Sets the soft descriptor limit to fd, capped at the hard limit. */
TOVI_EXPORT int setmaxfd(unsigned int fd);

/* Copies from to a new file to (mode 0666; failing if it exists when check
 * is non-zero). 0, or -1 with a partly written copy removed. */
TOVI_EXPORT int copy_file(const char *from, const char *to, int check);

/* 1 when path begins with a slash. */
TOVI_EXPORT int path_is_absolute(const char *path);

/* Level 0 nothing, 1 fdatasync (fsync when that fails), else fsync. */
TOVI_EXPORT int sync_file(int fd, int level);

/* Seek fd to start, then lockf size bytes: try to lock without waiting,
 * unlock, or test. lockf's result, or the negative seek result. */
TOVI_EXPORT int tovi_lock_region(int fd, off_t start, off_t size);
TOVI_EXPORT int tovi_unlock_region(int fd, off_t start, off_t size);
TOVI_EXPORT int tovi_lock_region_test(int fd, off_t start, off_t size);

TOVI_END_DECLS

#endif
