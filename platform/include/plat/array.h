/* Dynamic arrays of pointers.  The array never owns its items.
 *
 * Thread safety: none; distinct arrays are independent, a shared array needs
 * the caller's lock. */
#ifndef PLAT_ARRAY_H
#define PLAT_ARRAY_H

#include "plat/export.h"

PLAT_BEGIN_DECLS

typedef struct PlatArray PlatArray;

/* Three-way comparison of an element with the item looked for: <0, 0, >0. */
typedef int (*PlatArrayCompare)(const void *element, const void *item);

/* An empty array; aborts with the allocator's report when memory is gone, so
 * callers need not check. */
PLAT_EXPORT PlatArray *array_new(void);
/* Frees the array, not its items.  NULL is ignored. */
PLAT_EXPORT void array_delete(PlatArray *array);

/* Adds `item` at the end; returns its index. */
PLAT_EXPORT int array_append(PlatArray *array, void *item);
/* Number of items; 0 for a NULL array. */
PLAT_EXPORT int array_count(const PlatArray *array);
/* Item at the 0-based `index`, or NULL when the index is out of range. */
PLAT_EXPORT void *array_elementat(const PlatArray *array, int index);
/* Index of the first element for which compare(element, item) is 0, or -1. */
PLAT_EXPORT int array_locate(const PlatArray *array, const void *item, PlatArrayCompare compare);
/* Removes the item at `index`, moving the later ones down; returns the item,
 * or NULL when the index is out of range (nothing changes then). */
PLAT_EXPORT void *array_removeat(PlatArray *array, int index);

PLAT_END_DECLS

#endif
