/* Asynchronous dynamic buffers: data sources that the socket layer drains
 * piece by piece (ASockDynamic), so large outputs are never copied into one
 * buffer first.
 *  - asdyn_file: a byte range of an open file plus a trailer, handed out as
 *    one mapped piece, read into the caller's buffer, or sent straight to
 *    the socket with transmitfile;
 *  - asdyn_dotstuff: CR LF mail text with every line that begins with "."
 *    sent with a second ".", optionally cut after some body lines, plus a
 *    trailer.
 * Table results: 0 (or a byte count) success, -1 wait as *ppwf says, -2
 * failure. A source belongs to the one socket operation that drives it.
 */
#ifndef TOVI_ASDYN_H
#define TOVI_ASDYN_H

#include <stdint.h>
#include <sys/uio.h>

#include "plat/asockdyn.h"
#include "plat/waitfor.h"
#include "tovi/export.h"
#include "tovi/map.h"

TOVI_BEGIN_DECLS

struct asdyn_file {
  ASockDynamic asd;  /* the table; a source is passed as &asd */
  uint32_t start;    /* file offset of the next byte of the range */
  uint32_t len;      /* bytes of the range still to go */
  int filefd;        /* the source file (the caller's) */
  struct iovec post; /* trailer still to go */
  tovi_map **pmap;   /* where the map is kept: the caller's, or &freeMap */
  tovi_map *freeMap; /* map owned by the source */
  uint32_t minstart; /* lowest allowed start (checked at creation) */
  uint32_t maxsize;  /* size of the file to map */
  WaitingFor wf;     /* wait request handed back on -1 */
  WaitingForFd wffd;
};

struct asdyn_dotstuff {
  ASockDynamic asd;
  const unsigned char *buf; /* next byte of the caller's text */
  uint32_t len;             /* bytes of the text still to scan */
  struct iovec post;        /* trailer, handed out once at the end */
  int linelimit;            /* body lines to send; -1 all */
  int thisline;             /* -2 headers, 0 the empty line, then body line number */
  int nocrlf;               /* the last line had no line end: CR LF is added */
  struct iovec unreadbuf;   /* piece handed out before anything else */
};

/* File source over len bytes of fromfd from start, then a copy of *post
 * (none: no trailer). pmap (or none) lets sources share a map. Stops the
 * process when start < minstart or start + len > maxsize. Free with
 * asdyn_file_free, which keeps fromfd and a map in *pmap. */
TOVI_EXPORT ASockDynamic *asdyn_file(int fromfd, uint32_t start, uint32_t len, const struct iovec *post,
                                     tovi_map **pmap, uint32_t minstart, uint32_t maxsize);
TOVI_EXPORT void asdyn_file_free(ASockDynamic *pasd);
TOVI_EXPORT int asdyn_file_getBuf(ASockDynamic *pasd, struct iovec *pIov, WaitingFor **ppwf);
TOVI_EXPORT uint32_t asdyn_file_getUpperBound(ASockDynamic *pasd);
TOVI_EXPORT int asdyn_file_read(ASockDynamic *pasd, void *pBuf, uint32_t nLen, WaitingFor **ppwf);
TOVI_EXPORT int asdyn_file_send(ASockDynamic *pasd, int tofd, struct iovec *pre, WaitingFor **ppwf);

/* Dot-stuffing source over the caller's len bytes (which must outlive it),
 * then a copy of *post; linelimit body lines (-1: all). */
TOVI_EXPORT ASockDynamic *asdyn_dotstuff(const void *buf, uint32_t len, const struct iovec *post, int linelimit);
TOVI_EXPORT void asdyn_dotstuff_free(ASockDynamic *pasd);
TOVI_EXPORT int asdyn_dotstuff_getBuf(ASockDynamic *pasd, struct iovec *pIov, WaitingFor **ppwf);
TOVI_EXPORT uint32_t asdyn_dotstuff_getUpperBound(ASockDynamic *pasd);

TOVI_END_DECLS

#endif
