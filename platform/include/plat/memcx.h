/*
 * Memory contexts: an allocator whose blocks are all freed when the context
 * is destroyed. Contexts nest: a child is destroyed with its parent.
 *
 * A context is used through the two operations at the head of its record:
 *   p = mcx->Realloc(mcx, NULL, n)   allocate n zero-filled bytes (NULL when
 *                                    no memory)
 *   mcx->Realloc(mcx, p, 0)          free p (NULL is ignored); returns NULL
 *   p = mcx->Realloc(mcx, p, n)      resize p, keeping its bytes
 *   mcx->Destroy(mcx)                free everything it and its children
 *                                    allocated, then the context itself
 * Threads: all operations of one context tree may be called from any
 * thread at the same time, except Destroy, which must not race with other
 * uses of the context being destroyed.
 */
#ifndef PLAT_MEMCX_H
#define PLAT_MEMCX_H

#include <stddef.h>

#include "plat/export.h"

PLAT_BEGIN_DECLS

typedef struct MemCx MemCx;

typedef void *(*MemCxReallocFn)(MemCx *pmcx, void *p, size_t n);
typedef void (*MemCxDestroyFn)(MemCx *pmcx);

struct MemCx {
  MemCxReallocFn Realloc; /* first operation: allocate, resize, free */
  MemCxDestroyFn Destroy; /* second operation: destroy with all it holds */
};

/* A new context; a child of pmcxParent when that is not NULL (destroyed with
 * it). nFlags: 1 = used from several threads (every context is thread-safe;
 * the flag is accepted for compatibility). NULL when out of memory. */
PLAT_EXPORT MemCx *DbllMemCx_New(MemCx *pmcxParent, int nFlags);

/* Splits pszText at each occurrence of pszSep and appends the non-empty
 * pieces, copied, to the NULL-terminated array papsz (NULL = a new array).
 * Array and copies come from pmcx, or from malloc when pmcx is NULL. Returns
 * the (possibly moved) array, or NULL when out of memory (the old array is
 * then left as it was). */
PLAT_EXPORT char **MemCx_PszArrayAppendStr(MemCx *pmcx, char **papsz, const char *pszText,
                                           const char *pszSep);

PLAT_END_DECLS

#endif
