/*
 * ASockDynamic: a data source that the socket layer drains piece by piece
 * (ASock_AsyncWriteDynamic). Concrete sources begin with this record and
 * are passed around as a pointer to it.
 *
 * Results of the table functions: 0 (or a byte count) = success; -1 = would
 * block, with the wait request stored through ppwf; -2 = failure.
 */
#ifndef PLAT_ASOCKDYN_H
#define PLAT_ASOCKDYN_H

#include <stdint.h>
#include <sys/uio.h>

#include "plat/waitfor.h"

typedef struct ASockDynamic ASockDynamic;

struct ASockDynamic {
  /* Next piece into *pIov; a piece of length 0 means the end. The piece
   * stays valid until the next call. */
  int (*getBuf)(ASockDynamic *pasd, struct iovec *pIov, WaitingFor **ppwf);
  /* An upper bound of the bytes still to come. */
  uint32_t (*getUpperBound)(ASockDynamic *pasd);
  /* Copies up to nLen bytes into pBuf: the count, or -2. May be NULL. */
  int (*read)(ASockDynamic *pasd, void *pBuf, uint32_t nLen, WaitingFor **ppwf);
  /* Sends directly to tofd, pre (may be NULL) first: bytes sent, -1 (wait as
   * *ppwf says) or -2. May be NULL. */
  int (*send)(ASockDynamic *pasd, int tofd, struct iovec *pre, WaitingFor **ppwf);
  void (*reserved1)(void);
  void (*reserved2)(void);
  void (*reserved3)(void);
  void *reserved4;
  void *reserved5;
};

#endif
