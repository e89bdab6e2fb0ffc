/* Text helpers: case conversion through tables, and printable copies of
 * strings with control characters shown as caret sequences.
 * Thread safety: stateless; buffers belong to the caller. */
#ifndef TOVI_MSGUTIL_H
#define TOVI_MSGUTIL_H

#include <stddef.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* Indexed by a byte: A-Z to a-z (resp. a-z to A-Z), every other byte,
 * including those above 127, to itself. */
TOVI_EXPORT extern const unsigned char convert_to_lowercase[256];
TOVI_EXPORT extern const unsigned char convert_to_uppercase[256];

/* Lower-cases (upper-cases) the string in place; returns it. */
TOVI_EXPORT char *lcase(char *str);
TOVI_EXPORT char *ucase(char *str);

/* Printable copy of src into dst, which must hold 2 * strlen(src) + 1
 * bytes: the top bit is cleared, control characters become "^" and the
 * character plus 64, DEL becomes "^?". Returns the terminating NUL in dst. */
TOVI_EXPORT char *beautify_copy(char *dst, const char *src);

/* The same into the caller's growing buffer beautybuf of beautysize bytes
 * (none and 0 at first): enlarged with xrealloc (or allocated with at least
 * 4096 bytes) when too small. Returns the buffer, which the caller keeps and
 * frees; its new size is not reported back. */
TOVI_EXPORT char *beautify_string(const char *src, char *beautybuf, size_t beautysize);

TOVI_END_DECLS

#endif
