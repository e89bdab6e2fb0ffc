/* Shell-style pattern matching over option names and other dotted words.
 *
 * Thread safety: pure function, safe from any thread. */
#ifndef PLAT_WILDMAT_H
#define PLAT_WILDMAT_H

#include "plat/export.h"

PLAT_BEGIN_DECLS

/* Non-zero when `text` matches `pattern` as a whole.  "*" matches any run of
 * characters (dots included), "?" any one character, "[set]" one character
 * of the set: ranges "a-z", negation "[!...]" or "[^...]", a "]" right after
 * the opening bracket (or its negation) stands for itself.  A backslash makes
 * the next pattern character literal.  Both arguments must be non-null. */
PLAT_EXPORT int wildmat(const char *text, const char *pattern);

PLAT_END_DECLS

#endif
