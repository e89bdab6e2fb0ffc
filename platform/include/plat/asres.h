/*
 * Host-name resolver. A request is started with ASRes_GetHostByName or
 * ASRes_GetHostByAddr and works in the background; the caller polls it with
 * ASRes_GetResult, may block for it with ASRes_Wait, and always releases it
 * with ASRes_Delete. Requests are independent: any thread, distinct
 * requests at once; one request is used by one thread at a time.
 */
#ifndef PLAT_ASRES_H
#define PLAT_ASRES_H

#include <netdb.h>

#include "plat/export.h"

PLAT_BEGIN_DECLS

typedef struct ASRes ASRes;

/* Host answer: phe is the resolver's own hostent (AF_INET, 4-byte addresses
 * in network order, no aliases), valid until ASRes_Delete. */
typedef struct HostAnswer {
  int nTTL; /* seconds the answer may be kept; 0 when unknown */
  struct hostent *phe;
} HostAnswer;

typedef union ASResAnswer {
  HostAnswer host;
} ASResAnswer;

/* Starts resolving a host name (or dotted IPv4 text) to IPv4 addresses.
 * NULL when no request could be made (NULL or empty name, no memory). */
PLAT_EXPORT ASRes *ASRes_GetHostByName(const char *pszName);

/* Starts resolving the 4-byte IPv4 address at pAddr (network order) to its
 * name. NULL when no request could be made. */
PLAT_EXPORT ASRes *ASRes_GetHostByAddr(const void *pAddr);

/* Blocks until the request has finished. Returns 0, or -1 for NULL. */
PLAT_EXPORT int ASRes_Wait(ASRes *pres);

/* -1 while the request is still working; 0 when it succeeded (the answer is
 * filled in); a positive error code (an EAI_ value made positive) when it
 * failed, or 1 for bad arguments. */
PLAT_EXPORT int ASRes_GetResult(ASRes *pres, ASResAnswer *pansw);

/* Releases the request and its answer, waiting for the background lookup
 * when it is still running. NULL is ignored. */
PLAT_EXPORT void ASRes_Delete(ASRes *pres);

PLAT_END_DECLS

#endif
