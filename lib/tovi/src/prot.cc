// Protocol streams.
//
// Buffer layout of an output stream: buf .. ptr holds bytes not yet sent,
// cnt is the room left before a flush is due, and the last 4 bytes of buf
// are never used for data. A write longer than the buffer is not copied:
// it becomes the "large block" that the next flush sends as the second
// piece of one gathered write, after a short buffered head.
//
// A stream has no lock: one thread uses it at a time.

#include "tovi/prot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "retry_internal.h"
#include "tovi/retry.h"
#include "tovi/transmitfile.h"
#include "tovi/xmalloc.h"

namespace {

constexpr uint32_t kDefaultBuffer = 4096;
constexpr uint32_t kReserved = 4;           // tail bytes never used for output
constexpr int kLargeHead = 500;             // buffered head sent before a large block
constexpr uint32_t kGiveBackAbove = 20480;  // reset returns larger buffers

bool _failed(const protstream *s) { return s->error != nullptr || s->eof; }

void _empty_output(protstream *s) {
  s->ptr = s->buf;
  s->cnt = static_cast<uint32_t>(s->maxplain);
}

// Time since *log_timeptr as "<c>sec.msec<c>"; moves *log_timeptr to now.
int _stamp(protstream *s, char mark, char *out, size_t outsz) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  long sec = now.tv_sec - s->log_timeptr->tv_sec;
  long usec = now.tv_usec - s->log_timeptr->tv_usec;
  if (usec < 0) {
    usec += 1000000;
    sec -= 1;
  }
  *s->log_timeptr = now;
  return snprintf(out, outsz, "%c%ld.%03ld%c", mark, sec, usec / 1000, mark);
}

// One log entry: an optional stamp, then the pieces, in one gathered write.
// Logging is best effort: a failing log never fails the stream.
void _log(protstream *s, char mark, bool stamp, const struct iovec *pieces, int n) {
  if (s->logfd == -1)
    return;
  char st[48];
  struct iovec vec[4];
  int k = 0;
  if (stamp && s->log_timeptr)
    vec[k++] = {st, static_cast<size_t>(_stamp(s, mark, st, sizeof st))};
  for (int i = 0; i < n && k < 4; ++i)
    vec[k++] = pieces[i];
  retry_writev(s->logfd, vec, k);
}

// Enlarges a buffer_write stream's buffer by extra bytes, keeping the data.
void _grow(protstream *s, uint32_t extra) {
  size_t used = s->ptr - s->buf;
  size_t newsz = static_cast<size_t>(s->bufsz) + extra;
  if (s->bufalloced) {
    s->buf = static_cast<unsigned char *>(xrealloc(s->buf, newsz));
  } else {
    // Never realloc memory the caller lent us.
    auto *fresh = static_cast<unsigned char *>(xmalloc(newsz));
    if (used)
      memcpy(fresh, s->buf, used);
    s->buf = fresh;
    s->bufalloced = 1;
  }
  s->bufsz = static_cast<uint32_t>(newsz);
  s->ptr = s->buf + used;
}

int _socket_result(protstream *s, int r) {
  s->retryable = r == -1 && errno == EAGAIN;
  return r;
}

// The unsigned number directives: u, o, x, X, plain or after %l.
const char *_unsigned_format(char c, bool is_long) {
  switch (c) {
    case 'u':
      return is_long ? "%lu" : "%u";
    case 'o':
      return is_long ? "%lo" : "%o";
    case 'x':
      return is_long ? "%lx" : "%x";
    case 'X':
      return is_long ? "%lX" : "%X";
    default:
      return nullptr;
  }
}

// Reads exactly len bytes of fd from start into dst; false with errno set.
bool _read_range(int fd, uint32_t start, unsigned char *dst, uint32_t len) {
  if (lseek(fd, start, SEEK_SET) < 0)
    return false;
  while (len > 0) {
    int32_t n = retry_read(fd, dst, len);
    if (n <= 0) {
      if (n == 0)
        errno = ENODATA;  // the file ends before the range does
      return false;
    }
    dst += n;
    len -= static_cast<uint32_t>(n);
  }
  return true;
}

int _copy_small(protstream *s, int fd, tovi_map **pmap, uint32_t start, uint32_t len, const struct iovec *post) {
  tovi_map *m = pmap ? *pmap : nullptr;
  if (m && static_cast<unsigned long long>(start) + len <= m->fdlength) {
    if (len)
      memcpy(s->ptr, m->base + start, len);
  } else if (len && !_read_range(fd, start, s->ptr, len)) {
    s->error = strerror(errno);
    return -1;
  }
  s->ptr += len;
  s->cnt -= len;
  if (post && post->iov_len) {
    memcpy(s->ptr, post->iov_base, post->iov_len);
    s->ptr += post->iov_len;
    s->cnt -= static_cast<uint32_t>(post->iov_len);
  }
  return 0;
}

int _copy_mapped(protstream *s, int fd, tovi_map **pmap, uint32_t start, uint32_t len, const struct iovec *post) {
  tovi_map *m = pmap ? *pmap : nullptr;
  bool local = false;
  if (m == nullptr) {
    m = map_refresh(fd, nullptr, MAP_NOIDENTITY, MAP_WHOLEFILE);
    if (m == nullptr) {
      s->eof = 1;
      return -1;
    }
    if (pmap)
      *pmap = m;  // the caller owns it from here
    else
      local = true;
  }
  int r;
  if (static_cast<unsigned long long>(start) + len > m->fdlength) {
    s->error = strerror(EINVAL);  // never read outside the mapping
    r = -1;
  } else {
    map_advise(m->base + start, len, MAP_ADV_SEQUENTIAL | MAP_ADV_WILLNEED);
    r = prot_write(s, m->base + start, len);
    if (post)
      r = prot_write(s, post->iov_base, static_cast<uint32_t>(post->iov_len));
  }
  if (local)
    map_free(m);
  return r;
}

int _copy_transmit(protstream *s, int fd, tovi_map **pmap, uint32_t fromsize, uint32_t start, uint32_t len,
                   const struct iovec *post) {
  struct iovec head = {s->buf, static_cast<size_t>(s->ptr - s->buf)};
  _log(s, '>', true, &head, head.iov_len ? 1 : 0);
  int r = retry_transmitfile(fd, s->fd, pmap, fromsize, start, len, head.iov_len ? &head : nullptr, post);
  int err = errno;
  if (s->logfd != -1) {
    // The log gets the range too: read back through our own buffer.
    uint32_t left = len;
    if (lseek(fd, start, SEEK_SET) >= 0) {
      while (left > 0) {
        uint32_t want = left < static_cast<uint32_t>(s->maxplain) ? left : static_cast<uint32_t>(s->maxplain);
        int32_t n = retry_read(fd, s->buf, want);
        if (n <= 0)
          break;
        struct iovec piece = {s->buf, static_cast<size_t>(n)};
        _log(s, '>', false, &piece, 1);
        left -= static_cast<uint32_t>(n);
      }
    }
    if (post && post->iov_len)
      _log(s, '>', false, post, 1);
  }
  if (r == -1) {
    s->error = strerror(err);
  } else {
    s->bytes += static_cast<uint32_t>(r);
    _empty_output(s);
  }
  errno = err;
  return r;
}

}  // namespace

extern "C" {

protstream *prot_new(prot_iofunc func, prot_iovfunc vfunc, void *rock, int output) {
  auto *s = static_cast<protstream *>(xcalloc(1, sizeof(protstream)));
  if (s == nullptr)
    return nullptr;
  s->output = output;
  s->iofunc = func;
  s->iovfunc = vfunc;
  s->iorock = rock;
  s->fd = -1;
  s->logfd = -1;
  if (prot_setbuf(s, nullptr, kDefaultBuffer) != 0) {
    free(s);
    return nullptr;
  }
  return s;
}

protstream *prot_tobuffer(void) { return prot_new(buffer_write, nullptr, nullptr, 1); }

protstream *prot_frombuffer(const void *buf, uint32_t sz) {
  auto *s = static_cast<protstream *>(xcalloc(1, sizeof(protstream)));
  if (s == nullptr)
    return nullptr;
  // Input streams never write into buf: the caller's bytes stay as they are.
  s->buf = static_cast<unsigned char *>(const_cast<void *>(buf));
  s->bufsz = sz;
  s->ptr = s->buf;
  s->cnt = sz;
  s->maxplain = static_cast<int>(sz);
  s->iofunc = eof_read;
  s->fd = -1;
  s->logfd = -1;
  return s;
}

protstream *prot_file(int fd, int output) {
  protstream *s = output ? prot_new(file_write, file_writev, nullptr, 1) : prot_new(file_read, nullptr, nullptr, 0);
  if (s)
    s->fd = fd;
  return s;
}

protstream *prot_socket(int fd, int output) {
  protstream *s = prot_file(fd, output);
  if (s) {
    if (output)
      prot_setiofunc(s, socket_write, socket_writev, s->iorock);
    else
      prot_setiofunc(s, socket_read, nullptr, s->iorock);
  }
  return s;
}

void prot_free(protstream *s) {
  if (s == nullptr)
    return;
  if (s->bufalloced)
    free(s->buf);
  free(s);
}

int prot_setbuf(protstream *s, unsigned char *buf, uint32_t sz) {
  if (s->output) {
    if ((s->ptr != s->buf || s->lrgsz) && prot_flush(s) == EOF)
      return -1;
  } else if (s->cnt != 0) {
    return -1;
  }
  if (sz == 0) {
    if (s->bufalloced)
      free(s->buf);
    s->buf = s->ptr = nullptr;
    s->cnt = s->bufsz = 0;
    s->bufalloced = 0;
    return 0;
  }
  // A buffer must leave room beyond its 4 reserved bytes, or the room
  // count would wrap and writes would run past its end.
  if (sz <= kReserved) {
    errno = EINVAL;
    return -1;
  }
  if (s->bufalloced) {
    if (buf == nullptr && s->bufsz >= sz)
      return 0;
    free(s->buf);
    s->buf = nullptr;
    s->bufalloced = 0;
  }
  if (buf == nullptr) {
    buf = static_cast<unsigned char *>(xmalloc(sz));
    if (buf == nullptr)
      return -1;
    s->bufalloced = 1;
  }
  s->buf = s->ptr = buf;
  s->bufsz = sz;
  s->maxplain = static_cast<int>(sz - kReserved);
  s->cnt = s->output ? sz - kReserved : 0;
  return 0;
}

int prot_resetbuf(protstream *s) {
  s->ptr = s->buf;
  s->cnt = 0;
  s->lrgptr = nullptr;
  s->lrgsz = 0;
  // A collecting buffer that grew large goes back to the default size.
  if (s->bufalloced && s->bufsz > kGiveBackAbove) {
    prot_setbuf(s, nullptr, 0);
    prot_setbuf(s, nullptr, kDefaultBuffer);
  }
  if (s->output)
    _empty_output(s);
  return 0;
}

void prot_setlog(protstream *s, int fd) { s->logfd = fd; }

void prot_setlogtime(protstream *s, struct timeval *ptr) {
  s->log_timeptr = ptr;
  if (ptr)
    gettimeofday(ptr, nullptr);
}

void prot_setiofunc(protstream *s, prot_iofunc func, prot_iovfunc vfunc, void *rock) {
  s->iofunc = func;
  s->iovfunc = vfunc;
  s->iorock = rock;
}

void prot_settimeout(protstream *s, int seconds) { s->read_timeout = seconds; }

int prot_gettimeout(protstream *s) { return s->read_timeout; }

void prot_setflushonread(protstream *s, protstream *flushs) { s->flushonread = flushs; }

const char *prot_error(protstream *s) { return s->error; }

uint32_t prot_numbytes(protstream *s) { return s->bytes; }

int prot_getc(protstream *s) {
  if (s->cnt != 0) {
    s->cnt--;
    return *s->ptr++;
  }
  return prot_fill(s);
}

int prot_putc(int c, protstream *s) {
  if (_failed(s) || !s->output)
    return EOF;
  *s->ptr++ = static_cast<unsigned char>(c);
  if (--s->cnt == 0)
    return prot_flush(s);
  return 0;
}

int prot_fill(protstream *s) {
  if (_failed(s))
    return EOF;
  if (s->flushonread)
    prot_flush(s->flushonread);
  int n = s->iofunc(s, s->buf, s->bufsz);
  if (n > 0) {
    s->bytes += static_cast<uint32_t>(n);
    s->cnt = static_cast<uint32_t>(n - 1);
    s->ptr = s->buf + 1;
    struct iovec piece = {s->buf, static_cast<size_t>(n)};
    _log(s, '<', true, &piece, 1);
    return s->buf[0];
  }
  if (n != 0 && s->error == nullptr)
    s->error = strerror(errno);
  s->eof = 1;
  return EOF;
}

int prot_read(protstream *s, void *buf, uint32_t size) {
  if (size == 0)
    return 0;
  auto *out = static_cast<unsigned char *>(buf);
  if (s->cnt == 0) {
    int c = prot_fill(s);
    if (c == EOF)
      return 0;
    *out++ = static_cast<unsigned char>(c);
    size--;
    uint32_t n = size < s->cnt ? size : s->cnt;
    memcpy(out, s->ptr, n);
    s->ptr += n;
    s->cnt -= n;
    return static_cast<int>(n + 1);
  }
  uint32_t n = size < s->cnt ? size : s->cnt;
  memcpy(out, s->ptr, n);
  s->ptr += n;
  s->cnt -= n;
  return static_cast<int>(n);
}

char *prot_fgets(char *buf, int size, protstream *s) {
  if (size < 2)
    return nullptr;
  int n = 0;
  while (n < size - 2) {
    int c = prot_getc(s);
    if (c == EOF)
      break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n')
      break;
  }
  if (n == 0)
    return nullptr;
  buf[n] = '\0';
  return buf;
}

int prot_flush(protstream *s) {
  if (_failed(s))
    return EOF;
  if (!s->output) {
    s->cnt = 0;
    s->ptr = s->buf;
    return 0;
  }
  size_t used = s->ptr - s->buf;
  if (used == 0 && s->lrgsz == 0)
    return 0;
  struct iovec pieces[2];
  int n = 0;
  if (used)
    pieces[n++] = {s->buf, used};
  if (s->lrgsz)
    pieces[n++] = {const_cast<unsigned char *>(s->lrgptr), s->lrgsz};
  _log(s, '>', true, pieces, n);
  uint32_t total = static_cast<uint32_t>(used + s->lrgsz);
  if (s->iovfunc) {
    if (s->iovfunc(s, pieces, n) == -1) {
      s->eof = 1;
      return EOF;
    }
  } else {
    for (int i = 0; i < n; ++i) {
      if (s->iofunc(s, pieces[i].iov_base, static_cast<uint32_t>(pieces[i].iov_len)) !=
          static_cast<int>(pieces[i].iov_len)) {
        s->eof = 1;
        return EOF;
      }
    }
  }
  s->bytes += total;
  if (s->iofunc != buffer_write)
    _empty_output(s);
  s->lrgptr = nullptr;
  s->lrgsz = 0;
  if (s->log_timeptr)
    gettimeofday(s->log_timeptr, nullptr);
  return 0;
}

int prot_write(protstream *s, const void *buf, uint32_t len) {
  if (_failed(s) || !s->output)
    return EOF;
  auto *data = static_cast<const unsigned char *>(buf);
  if (len <= s->bufsz) {
    while (len >= s->cnt) {
      if (s->iofunc == buffer_write) {
        s->lrgptr = data;
        s->lrgsz = len;
        return prot_flush(s);
      }
      memcpy(s->ptr, data, s->cnt);
      s->ptr += s->cnt;
      data += s->cnt;
      len -= s->cnt;
      s->cnt = 0;
      if (prot_flush(s) == EOF)
        return EOF;
    }
    if (len)
      memcpy(s->ptr, data, len);
    s->ptr += len;
    s->cnt -= len;
    return 0;
  }
  // A short head rides along in the same gathered send as the block.
  int k = kLargeHead - static_cast<int>(s->bufsz - s->cnt);
  if (static_cast<int>(s->cnt) < k)
    k = static_cast<int>(s->cnt);
  if (k > 0) {
    memcpy(s->ptr, data, static_cast<size_t>(k));
    s->ptr += k;
    s->cnt -= static_cast<uint32_t>(k);
    data += k;
    len -= static_cast<uint32_t>(k);
  }
  s->lrgptr = data;
  s->lrgsz = len;
  return prot_flush(s);
}

int prot_puts(const char *str, protstream *s) { return prot_write(s, str, static_cast<uint32_t>(strlen(str))); }

int prot_printf(protstream *s, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int r = prot_vprintf(s, fmt, args);
  va_end(args);
  return r;
}

int prot_vprintf(protstream *s, const char *fmt, va_list args) {
  char num[30];
  const char *pct;
  while ((pct = strchr(fmt, '%')) != nullptr) {
    prot_write(s, fmt, static_cast<uint32_t>(pct - fmt));
    const char *next = pct + 2;
    int n = -1;
    switch (pct[1]) {
      case '%':
        prot_putc('%', s);
        break;
      case 'c':
        prot_putc(va_arg(args, int), s);
        break;
      case 'd':
        n = snprintf(num, sizeof num, "%d", va_arg(args, int));
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        n = snprintf(num, sizeof num, _unsigned_format(pct[1], false), va_arg(args, unsigned int));
        break;
      case 's': {
        const char *str = va_arg(args, const char *);
        if (str == nullptr)
          str = "(null)";
        prot_write(s, str, static_cast<uint32_t>(strlen(str)));
        break;
      }
      case 'l': {
        long v = va_arg(args, long);
        const char *lfmt = _unsigned_format(pct[2], true);
        if (lfmt)
          n = snprintf(num, sizeof num, lfmt, static_cast<unsigned long>(v));
        else
          n = snprintf(num, sizeof num, "%ld", v);
        // The character after %l is consumed, but never the terminator.
        if (pct[2] != '\0')
          next = pct + 3;
        break;
      }
      default:
        // A directive this stream does not know is a programming error.
        abort();
    }
    if (n > 0)
      prot_write(s, num, static_cast<uint32_t>(n));
    fmt = next;
  }
  prot_write(s, fmt, static_cast<uint32_t>(strlen(fmt)));
  return _failed(s) ? EOF : 0;
}

int prot_copy(protstream *s, int fd, tovi_map **pmap, uint32_t fromsize, uint32_t start, uint32_t len,
              const struct iovec *post) {
  if (_failed(s))
    return EOF;
  size_t postlen = post ? post->iov_len : 0;
  // Strictly smaller: the copy must leave room, or the next putc would
  // find no space and wrap the room count.
  if (s->output && postlen < s->cnt && len < s->cnt - postlen)
    return _copy_small(s, fd, pmap, start, len, post);
  if (s->iofunc != socket_write)
    return _copy_mapped(s, fd, pmap, start, len, post);
  return _copy_transmit(s, fd, pmap, fromsize, start, len, post);
}

int prot_merge(protstream *dest, protstream *src) {
  if (src->ptr == src->buf)
    return 0;
  int r = prot_write(dest, src->buf, static_cast<uint32_t>(src->ptr - src->buf));
  if (r != EOF)
    prot_resetbuf(src);
  return r;
}

int prot_rewind(protstream *s) {
  prot_flush(s);
  if (lseek(s->fd, 0, SEEK_SET) < 0) {
    s->error = strerror(errno);
    return -1;
  }
  // Whatever a failed flush left behind is dropped: writing starts again
  // at the beginning, with the whole buffer as room.
  s->ptr = s->buf;
  s->cnt = s->output ? static_cast<uint32_t>(s->maxplain) : 0;
  s->lrgptr = nullptr;
  s->lrgsz = 0;
  s->error = nullptr;
  s->eof = 0;
  return 0;
}

int file_read(protstream *s, void *buf, uint32_t sz) { return retry_read(s->fd, buf, sz); }

int file_write(protstream *s, void *buf, uint32_t sz) { return retry_write(s->fd, buf, sz); }

int file_writev(protstream *s, struct iovec *vec, int cnt) { return retry_writev(s->fd, vec, cnt); }

int socket_read(protstream *s, void *buf, uint32_t sz) {
  if (s->read_timeout) {
    struct pollfd pfd = {s->fd, POLLIN, 0};
    int ms = s->read_timeout > INT_MAX / 1000 ? INT_MAX : s->read_timeout * 1000;
    int r;
    do {
      r = poll(&pfd, 1, ms);
    } while (r == -1 && tovi_is_transient(errno));
    if (r == 0) {
      s->error = "idle for too long";
      return 0;
    }
  }
  return _socket_result(s, retry_recv(s->fd, buf, sz));
}

int socket_write(protstream *s, void *buf, uint32_t sz) { return _socket_result(s, retry_send(s->fd, buf, sz)); }

int socket_writev(protstream *s, struct iovec *vec, int cnt) { return _socket_result(s, retry_sendv(s->fd, vec, cnt)); }

int eof_read(protstream *, void *, uint32_t) { return 0; }

int buffer_write(protstream *s, void *buf, uint32_t sz) {
  if (buf == s->buf) {
    // A flush of our own buffer: the data is already where it belongs;
    // only make room when it is full.
    if (s->cnt == 0) {
      _grow(s, kDefaultBuffer);
      s->cnt = kDefaultBuffer;
      s->maxplain += static_cast<int>(kDefaultBuffer);
    }
    return static_cast<int>(sz);
  }
  if (s->cnt <= sz) {
    _grow(s, sz + kDefaultBuffer);
    memcpy(s->ptr, buf, sz);
    s->ptr += sz;
    s->cnt = kDefaultBuffer;
    s->maxplain += static_cast<int>(sz + kDefaultBuffer);
  } else {
    memcpy(s->ptr, buf, sz);
    s->ptr += sz;
    s->cnt -= sz;
  }
  return static_cast<int>(sz);
}

}  // extern "C"
