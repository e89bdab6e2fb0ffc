// Case tables and the beautifier. The tables are constant data built at
// compile time, shared read-only by every process.

#include "tovi/msgutil.h"

#include <cstring>

#include "tovi/xmalloc.h"

namespace {

constexpr unsigned char _lower(int c) { return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }
constexpr unsigned char _upper(int c) { return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); }

char *_convert(char *str, const unsigned char *table) {
  for (unsigned char *p = reinterpret_cast<unsigned char *>(str); *p; ++p)
    *p = table[*p];
  return str;
}

}  // namespace

// Every byte value through f, as an initializer list.
#define TOVI_X4(f, n) f(n), f((n) + 1), f((n) + 2), f((n) + 3)
#define TOVI_X16(f, n) TOVI_X4(f, n), TOVI_X4(f, (n) + 4), TOVI_X4(f, (n) + 8), TOVI_X4(f, (n) + 12)
#define TOVI_X256(f)                                                                                             \
  TOVI_X16(f, 0), TOVI_X16(f, 16), TOVI_X16(f, 32), TOVI_X16(f, 48), TOVI_X16(f, 64), TOVI_X16(f, 80),           \
      TOVI_X16(f, 96), TOVI_X16(f, 112), TOVI_X16(f, 128), TOVI_X16(f, 144), TOVI_X16(f, 160), TOVI_X16(f, 176), \
      TOVI_X16(f, 192), TOVI_X16(f, 208), TOVI_X16(f, 224), TOVI_X16(f, 240)

extern "C" {

const unsigned char convert_to_lowercase[256] = {TOVI_X256(_lower)};
const unsigned char convert_to_uppercase[256] = {TOVI_X256(_upper)};

char *lcase(char *str) { return _convert(str, convert_to_lowercase); }

char *ucase(char *str) { return _convert(str, convert_to_uppercase); }

char *beautify_copy(char *dst, const char *src) {
  for (const unsigned char *s = reinterpret_cast<const unsigned char *>(src); *s; ++s) {
    unsigned char c = *s & 0x7f;
    if (c >= 0x20 && c < 0x7f) {
      *dst++ = static_cast<char>(c);
    } else {
      *dst++ = '^';
      *dst++ = c == 0x7f ? '?' : static_cast<char>(c + 64);
    }
  }
  *dst = '\0';
  return dst;
}

char *beautify_string(const char *src, char *beautybuf, size_t beautysize) {
  size_t needed = 2 * strlen(src) + 1;
  if (beautysize < needed) {
    if (beautysize != 0) {
      beautysize *= 2;
      if (beautysize < needed)
        beautysize = needed;
      beautybuf = static_cast<char *>(xrealloc(beautybuf, beautysize));
    } else {
      beautysize = needed < 4096 ? 4096 : needed;
      beautybuf = static_cast<char *>(xmalloc(beautysize));
    }
  }
  if (beautybuf == nullptr)
    return const_cast<char *>("");
  beautify_copy(beautybuf, src);
  return beautybuf;
}

}  // extern "C"
