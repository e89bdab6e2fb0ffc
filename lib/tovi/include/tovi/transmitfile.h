/* File transmission: a byte range of an open file sent to a descriptor
 * (normally a socket), framed by an optional header and trailer, without
 * passing the file through a user-space buffer where the host allows it.
 *
 * pmap points to a map pointer the caller keeps between calls (and releases
 * with map_free), or is none: then a map needed by the call is made for the
 * call only. fromsize is the size to map, all ones when not given. pre and
 * post may be none. Results are bytes sent or -1 with errno.
 *
 * Thread safety: reentrant; a map pointer shared between calls must be used
 * by one thread at a time. */
#ifndef TOVI_TRANSMITFILE_H
#define TOVI_TRANSMITFILE_H

#include <stdint.h>
#include <sys/uio.h>

#include "tovi/export.h"
#include "tovi/map.h"

TOVI_BEGIN_DECLS

/* Looks up the system's sendfilev once per process; returns 0. */
TOVI_EXPORT int transmitfile_init(void);

/* One transmission attempt of header, file range and trailer: the bytes sent
 * (may be short, counted from the start of the header) or -1. */
TOVI_EXPORT int32_t transmitfile(int fromfd, int tofd, tovi_map **pmap, uint32_t fromsize, uint32_t start, uint32_t len,
                                 const struct iovec *pre, const struct iovec *post);

/* All of header, file range and trailer sent, retrying interrupted calls and
 * kernel shortages: the total, or -1 (bytes already sent are not reported). */
TOVI_EXPORT int32_t retry_transmitfile(int fromfd, int tofd, tovi_map **pmap, uint32_t fromsize, uint32_t start,
                                       uint32_t len, const struct iovec *pre, const struct iovec *post);

TOVI_END_DECLS

#endif
