/*
 * Shared read-only file maps: a whole file as memory, described by a
 * reference-counted record.  A map is created with one reference by
 * map_refresh() or map_open() and released with map_free(); sub-maps share
 * their parent's mapping and keep it alive.
 *
 * Thread safety: a map record has one owner at a time; distinct maps may be
 * used from different threads.
 */
#ifndef TOVI_MAP_H
#define TOVI_MAP_H

#include <stdint.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

typedef struct tovi_map {
  const char *base;          /* mapped bytes; none for an empty map */
  uint32_t length;           /* bytes mapped (file length plus any slack) */
  uint32_t fdlength;         /* bytes of file data behind base */
  int32_t flags;             /* MAP_* flags given at creation */
  int32_t refcount;          /* 1 at creation; each sub-map adds one */
  struct tovi_map *submapof; /* parent of a sub-map, else none */
  uint32_t device;           /* file identity; 0 when not recorded */
  uint32_t inode;
} tovi_map;

/* Map flags. */
#define MAP_WRITABLE 1   /* map read-write instead of read-only */
#define MAP_NOIDENTITY 2 /* record no device/inode, no extra fstat */
#define MAP_SLOP 4       /* round the length up with slack; keep larger maps */

/* Advice flags of map_advise(). */
#define MAP_ADV_NORMAL 1
#define MAP_ADV_RANDOM 2
#define MAP_ADV_SEQUENTIAL 4
#define MAP_ADV_WILLNEED 8 /* read ahead over at most 96 KiB */
#define MAP_ADV_DONTNEED 16

/* A new length of all ones: map the file's current size. */
#define MAP_WHOLEFILE ((uint32_t)-1)

/* Maps fd, reusing or replacing oldmap (which is consumed: its reference
 * moves to the result or is released).  none on failure. */
TOVI_EXPORT tovi_map *map_refresh(int fd, tovi_map *oldmap, int32_t flags, uint32_t newlen);
/* Opens path (with tempfd: "/tmp/.<path>") with openflags and maps it; size
 * all ones maps the current size, otherwise a writable open sets the length.
 * The descriptor goes to *tempfd when given, else it is closed. */
TOVI_EXPORT tovi_map *map_open(const char *path, uint32_t size, int openflags, int *tempfd);
/* Drops one reference; the last one unmaps and frees. */
TOVI_EXPORT void map_free(tovi_map *map);
/* length bytes at offset inside map, sharing its mapping; none when outside. */
TOVI_EXPORT tovi_map *map_submap(tovi_map *map, uint32_t offset, uint32_t length);
/* Access advice for a mapped range; ranges under two pages are skipped. */
TOVI_EXPORT void map_advise(const void *base, uint32_t len, int flag);

TOVI_END_DECLS

#endif
