/* Descriptor and host-name helpers. The host lookups go through the
 * platform's resolver and block the calling thread until it answers.
 * Thread safety: any thread; each call works on the caller's buffers. */
#ifndef TOVI_NETWORKS_H
#define TOVI_NETWORKS_H

#include <netdb.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* Sets (mode non-zero) or clears (mode 0) non-blocking mode: 0 when it was
 * already so, else the result of setting the flags; -1 when the flags
 * cannot be read. */
TOVI_EXPORT int nonblock(int fd, int mode);

/* Looks up name and copies the answer into buf as one self-contained block
 * (the hostent, then its name, an empty alias list, the address list and
 * the 4-byte addresses). buf must be 8-byte aligned with room for all of
 * it; its size is not checked. Returns buf as a hostent, or none. */
TOVI_EXPORT struct hostent *tovi_gethostbyname(const char *name, char *buf);

/* Reverse lookup of a 4-byte IPv4 address (type 2, AF_INET, len >= 4),
 * copied into buf as above; none for any other type or a shorter length. */
TOVI_EXPORT struct hostent *tovi_gethostbyaddr(const char *addr, int len, int type, char *buf);

TOVI_END_DECLS

#endif
