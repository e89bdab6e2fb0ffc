// Dot-stuffing source: CR LF mail text handed out in pieces of the
// caller's buffer. A line that begins with "." ends the current piece just
// after that dot, and the next piece starts at the same dot, so the dot
// goes out twice without copying a byte.

#include <cstdlib>
#include <cstring>

#include "tovi/asdyn.h"
#include "tovi/xmalloc.h"

namespace {

// The record shares its name with its constructor.
using DotStuff = struct asdyn_dotstuff;

DotStuff *_self(ASockDynamic *pasd) { return reinterpret_cast<DotStuff *>(pasd); }

char kCrlf[] = "\r\n";

}  // namespace

extern "C" {

ASockDynamic *asdyn_dotstuff(const void *buf, uint32_t len, const struct iovec *post, int linelimit) {
  auto *d = static_cast<DotStuff *>(xmalloc(sizeof(DotStuff)));
  memset(d, 0, sizeof *d);
  d->asd.getBuf = asdyn_dotstuff_getBuf;
  d->asd.getUpperBound = asdyn_dotstuff_getUpperBound;
  d->buf = static_cast<const unsigned char *>(buf);
  d->len = len;
  if (post)
    d->post = *post;
  d->linelimit = linelimit;
  d->thisline = -2;
  // A dot at the very start has no earlier piece to end: it goes out alone
  // first, and the first scanned piece begins with the same dot.
  if (len && d->buf[0] == '.')
    d->unreadbuf = {const_cast<unsigned char *>(d->buf), 1};
  return &d->asd;
}

void asdyn_dotstuff_free(ASockDynamic *pasd) { free(pasd); }

int asdyn_dotstuff_getBuf(ASockDynamic *pasd, struct iovec *pIov, WaitingFor **) {
  DotStuff *d = _self(pasd);
  if (d->unreadbuf.iov_len) {
    *pIov = d->unreadbuf;
    d->unreadbuf.iov_len = 0;
    return 0;
  }
  const unsigned char *start = d->buf;
  const unsigned char *p = d->buf;
  while (d->len != 0) {
    const void *nl = memchr(p, '\n', d->len);
    uint32_t linelen = nl ? static_cast<uint32_t>(static_cast<const unsigned char *>(nl) - p + 1) : d->len;
    if (!nl)
      d->nocrlf = 1;
    if (d->thisline < 0) {
      if (linelen >= 2 && p[0] == '\r' && p[1] == '\n')
        d->thisline = 0;  // the empty line that ends the headers
    } else {
      d->thisline++;
    }
    if (p[0] == '.' && p != start) {
      d->buf = p;
      if (d->thisline > 0)
        d->thisline--;  // the next piece counts this line again
      pIov->iov_base = const_cast<unsigned char *>(start);
      pIov->iov_len = static_cast<size_t>(p - start) + 1;
      return 0;
    }
    p += linelen;
    d->len -= linelen;
    if (d->thisline == d->linelimit)
      d->len = 0;  // the rest of the text is dropped
  }
  d->buf = p;
  if (p != start) {
    pIov->iov_base = const_cast<unsigned char *>(start);
    pIov->iov_len = static_cast<size_t>(p - start);
    return 0;
  }
  if (d->nocrlf) {
    d->nocrlf = 0;
    *pIov = {kCrlf, 2};
    return 0;
  }
  *pIov = d->post;
  d->post.iov_len = 0;
  return 0;
}

uint32_t asdyn_dotstuff_getUpperBound(ASockDynamic *pasd) {
  DotStuff *d = _self(pasd);
  if (d->len > 0x1FFFFFFFu)
    return 2147483647u;
  // Worst case: every line a lone "." (3 bytes become 4).
  return static_cast<uint32_t>(d->unreadbuf.iov_len) + d->len * 4 / 3 + ((d->len || d->nocrlf) ? 2 : 0) +
         static_cast<uint32_t>(d->post.iov_len);
}

}  // extern "C"
