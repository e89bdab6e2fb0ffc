/* Retrying I/O: reads and writes that survive interrupted calls and
 * transient kernel shortages (EINTR, ENOMEM, ENOSR, ENOBUFS).
 *
 * Every call returns the bytes transferred or -1 with errno as the system
 * set it. EAGAIN is not transient: on a non-blocking descriptor it ends the
 * call. Reentrant; the only shared state is the process-wide vector limit of
 * retry_writev, which only shrinks. */
#ifndef TOVI_RETRY_H
#define TOVI_RETRY_H

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* One successful read(); may be short, 0 at end of file. */
TOVI_EXPORT int32_t retry_read(int fd, void *buf, size_t nbyte);
/* One successful recv() without flags; 0 when the peer closed. */
TOVI_EXPORT int32_t retry_recv(int fd, void *buf, size_t nbyte);
/* One successful readv(). */
TOVI_EXPORT int32_t retry_recvv(int fd, const struct iovec *iov, int iovcnt);

/* All nbyte bytes written, or -1 (bytes already written are not reported). */
TOVI_EXPORT int32_t retry_write(int fd, const void *buf, size_t nbyte);
/* All nbyte bytes sent without flags, or -1. Buffer shortage with 4096 or
 * more bytes to go splits the rest in halves instead of sleeping. */
TOVI_EXPORT int32_t retry_send(int fd, const void *buf, size_t nbyte);
/* Every byte of the vector written, or -1. The entries are adjusted in place
 * while writing and hold their original values again on return; the vector
 * must not be touched by another thread during the call. */
TOVI_EXPORT int32_t retry_writev(int fd, struct iovec *iov, int iovcnt);
/* Same as retry_writev, for sockets. */
TOVI_EXPORT int32_t retry_sendv(int fd, struct iovec *iov, int iovcnt);

TOVI_END_DECLS

#endif
