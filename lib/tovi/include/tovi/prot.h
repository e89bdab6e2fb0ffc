/* Protocol streams: buffered, one-direction byte streams over a descriptor,
 * a socket or memory, with character, line, block and formatted operations,
 * protocol logging with time stamps and zero-copy file copies to sockets.
 *
 * A stream records its first error (prot_error) and then does nothing more:
 * fill, flush, write, copy and formatted output return EOF until a
 * successful prot_rewind.
 *
 * Thread safety: none; one thread uses a stream at a time (a flush-on-read
 * partner is flushed on the reading thread). */
#ifndef TOVI_PROT_H
#define TOVI_PROT_H

#include <stdarg.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/uio.h>

#include "tovi/export.h"
#include "tovi/map.h"

TOVI_BEGIN_DECLS

#ifndef EOF
#define EOF (-1)
#endif

struct protstream;

/* Reads into, or writes from, buf: bytes moved, 0 at end, -1 on error. */
typedef int (*prot_iofunc)(struct protstream *s, void *buf, uint32_t sz);
/* Gathered write of the whole vector: bytes written or -1. */
typedef int (*prot_iovfunc)(struct protstream *s, struct iovec *vec, int cnt);

typedef struct protstream {
  unsigned char *buf;             /* the buffer */
  uint32_t bufsz;                 /* size of buf */
  int bufalloced;                 /* 1 when the stream owns buf */
  unsigned char *ptr;             /* input: next byte; output: next free byte */
  uint32_t cnt;                   /* input: bytes left; output: room before a flush */
  const unsigned char *lrgptr;    /* output: large block sent after buf by the next flush */
  uint32_t lrgsz;                 /* its length, 0 when none */
  int fd;                         /* descriptor, -1 when none */
  int output;                     /* 1 output, 0 input */
  int logfd;                      /* protocol log, -1 for none */
  struct timeval *log_timeptr;    /* stamps are measured from here, then moved on */
  prot_iofunc iofunc;             /* read (input) or write (output) function */
  prot_iovfunc iovfunc;           /* gathered write, or none */
  void *iorock;                   /* caller context of the functions */
  int maxplain;                   /* usable buffer size (bufsz - 4) */
  const char *error;              /* first error, or none */
  int eof;                        /* end of stream or a failed write seen */
  int retryable;                  /* the last socket call failed with EAGAIN */
  int read_timeout;               /* seconds a socket read waits; 0 = no limit */
  struct protstream *flushonread; /* flushed before each fill, or none */
  uint32_t bytes;                 /* bytes read by fills plus bytes flushed */
} protstream;

/* Constructors: none when the record or buffer cannot be had. Free with
 * prot_free. */
TOVI_EXPORT protstream *prot_new(prot_iofunc func, prot_iovfunc vfunc, void *rock, int output);
/* Output stream collecting everything written in its growing buffer. */
TOVI_EXPORT protstream *prot_tobuffer(void);
/* Input stream over the caller's sz bytes, which must outlive it. */
TOVI_EXPORT protstream *prot_frombuffer(const void *buf, uint32_t sz);
TOVI_EXPORT protstream *prot_file(int fd, int output);
TOVI_EXPORT protstream *prot_socket(int fd, int output);
/* Frees the buffer if the stream owns it, then the record; none ignored. */
TOVI_EXPORT void prot_free(protstream *s);

/* Replaces the buffer (none: allocate sz bytes; sz 0: no buffer). Pending
 * output is flushed first; unread input makes it fail. 0 or -1. */
TOVI_EXPORT int prot_setbuf(protstream *s, unsigned char *buf, uint32_t sz);
/* Empties the buffer (and gives back one grown past 20480 bytes). 0. */
TOVI_EXPORT int prot_resetbuf(protstream *s);
TOVI_EXPORT void prot_setlog(protstream *s, int fd);
/* Stamps log entries with the time since *ptr, which is set to now. */
TOVI_EXPORT void prot_setlogtime(protstream *s, struct timeval *ptr);
TOVI_EXPORT void prot_setiofunc(protstream *s, prot_iofunc func, prot_iovfunc vfunc, void *rock);
TOVI_EXPORT void prot_settimeout(protstream *s, int seconds);
TOVI_EXPORT int prot_gettimeout(protstream *s);
TOVI_EXPORT void prot_setflushonread(protstream *s, protstream *flushs);
TOVI_EXPORT const char *prot_error(protstream *s);
TOVI_EXPORT uint32_t prot_numbytes(protstream *s);

/* Next byte (0-255) or EOF. */
TOVI_EXPORT int prot_getc(protstream *s);
/* Refills the buffer: its first byte, or EOF. */
TOVI_EXPORT int prot_fill(protstream *s);
/* Up to size bytes from one buffer's worth: the count, 0 at end. */
TOVI_EXPORT int prot_read(protstream *s, void *buf, uint32_t size);
/* A line of at most size - 2 bytes (newline kept) plus NUL; none at end. */
TOVI_EXPORT char *prot_fgets(char *buf, int size, protstream *s);

/* Appends one byte: 0 or EOF (a due flush failed). */
TOVI_EXPORT int prot_putc(int c, protstream *s);
/* Sends what is buffered: 0 or EOF. */
TOVI_EXPORT int prot_flush(protstream *s);
/* Appends len bytes; blocks longer than the buffer go out uncopied. 0/EOF. */
TOVI_EXPORT int prot_write(protstream *s, const void *buf, uint32_t len);
TOVI_EXPORT int prot_puts(const char *str, protstream *s);
/* %% %c %d %u %o %x %X %s %ld %lu %lo %lx %lX; no widths or flags. 0/EOF. */
TOVI_EXPORT int prot_printf(protstream *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
TOVI_EXPORT int prot_vprintf(protstream *s, const char *fmt, va_list args);
/* len bytes of file fd from start, then the trailer post (or none): small
 * ranges are buffered, socket streams hand the range (after what is
 * buffered) to retry_transmitfile, others write it from a map kept in
 * *pmap when pmap is given. 0, the write or transmit result, or -1. */
TOVI_EXPORT int prot_copy(protstream *s, int fd, tovi_map **pmap, uint32_t fromsize, uint32_t start, uint32_t len,
                          const struct iovec *post);
/* Writes src's buffered bytes to dest and empties src: write result or 0. */
TOVI_EXPORT int prot_merge(protstream *dest, protstream *src);
/* Seeks fd to 0 and clears error and end of stream: 0 or -1. */
TOVI_EXPORT int prot_rewind(protstream *s);

/* The stream functions the constructors install. */
TOVI_EXPORT int file_read(protstream *s, void *buf, uint32_t sz);
TOVI_EXPORT int file_write(protstream *s, void *buf, uint32_t sz);
TOVI_EXPORT int file_writev(protstream *s, struct iovec *vec, int cnt);
TOVI_EXPORT int socket_read(protstream *s, void *buf, uint32_t sz);
TOVI_EXPORT int socket_write(protstream *s, void *buf, uint32_t sz);
TOVI_EXPORT int socket_writev(protstream *s, struct iovec *vec, int cnt);
TOVI_EXPORT int eof_read(protstream *s, void *buf, uint32_t sz);
TOVI_EXPORT int buffer_write(protstream *s, void *buf, uint32_t sz);

TOVI_END_DECLS

#endif
