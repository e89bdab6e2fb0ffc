// Shell-style matcher used for option-name patterns.  Iterative with a single
// backtrack point for the last "*": a later "*" can always absorb whatever an
// earlier one would have, so O(len(text) * len(pattern)) in the worst case
// and no recursion on hostile patterns.
#include "plat/wildmat.h"

namespace {

// Matches one bracketed set starting just after "[".  On return *end points
// after the closing "]".  A set without a closing bracket is taken as a
// literal "[" so that malformed patterns still behave predictably.
bool _wildmat_set(unsigned char c, const char *p, const char **end, bool *valid) {
  bool negate = false;
  if (*p == '!' || *p == '^') {
    negate = true;
    ++p;
  }
  bool matched = false;
  bool first = true;
  while (*p != '\0' && (first || *p != ']')) {
    first = false;
    unsigned char lo = (unsigned char)*p;
    if (lo == '\\' && p[1] != '\0') lo = (unsigned char)*++p;
    ++p;
    unsigned char hi = lo;
    if (p[0] == '-' && p[1] != '\0' && p[1] != ']') {
      hi = (unsigned char)p[1];
      p += 2;
      if (hi == '\\' && *p != '\0') hi = (unsigned char)*p++;
    }
    if (lo <= c && c <= hi) matched = true;
  }
  if (*p != ']') {
    *valid = false;
    return false;
  }
  *valid = true;
  *end = p + 1;
  return matched != negate;
}

}  // namespace

int wildmat(const char *text, const char *pattern) {
  const char *t = text;
  const char *p = pattern;
  const char *star_p = nullptr;  // pattern position after the last "*"
  const char *star_t = nullptr;  // text position that "*" currently absorbs up to

  for (;;) {
    if (*p == '*') {
      while (*p == '*') ++p;
      if (*p == '\0') return 1;
      star_p = p;
      star_t = t;
      continue;
    }
    if (*t == '\0') {
      if (*p == '\0') return 1;
      return 0;  // text exhausted but pattern is not: no "*" can help
    }
    bool ok = false;
    const char *next = p + 1;
    if (*p == '?') {
      ok = true;
    } else if (*p == '[') {
      bool valid = false;
      ok = _wildmat_set((unsigned char)*t, p + 1, &next, &valid);
      if (!valid) {
        ok = (*t == '[');
        next = p + 1;
      }
    } else if (*p == '\\' && p[1] != '\0') {
      ok = (*t == p[1]);
      next = p + 2;
    } else if (*p != '\0') {
      ok = (*t == *p);
    }
    if (ok) {
      ++t;
      p = next;
      continue;
    }
    if (star_p == nullptr) return 0;
    // Let the last "*" absorb one more character and retry from there.
    p = star_p;
    t = ++star_t;
  }
}
