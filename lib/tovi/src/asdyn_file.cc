// File source for the socket layer's dynamic writes: a file range and a
// trailer, handed out as one mapped piece (getBuf), copied into the
// caller's buffer (read), or sent straight to the socket (send).

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "retry_internal.h"
#include "tovi/asdyn.h"
#include "tovi/retry.h"
#include "tovi/transmitfile.h"
#include "tovi/xmalloc.h"

namespace {

// The record shares its name with its constructor.
using FileSource = struct asdyn_file;

FileSource *_self(ASockDynamic *pasd) { return reinterpret_cast<FileSource *>(pasd); }

// Creation preconditions are programming errors: stop whatever the build.
[[noreturn]] void _precondition_failed(const char *what) {
  fprintf(stderr, "%s: Assertion `%s' failed.\n", "asdyn_file", what);
  abort();
}

// Hands out up to n bytes of the trailer.
uint32_t _take_post(FileSource *f, unsigned char *out, uint32_t n) {
  uint32_t k = f->post.iov_len < n ? static_cast<uint32_t>(f->post.iov_len) : n;
  if (k) {
    memcpy(out, f->post.iov_base, k);
    f->post.iov_base = static_cast<char *>(f->post.iov_base) + k;
    f->post.iov_len -= k;
  }
  return k;
}

}  // namespace

extern "C" {

ASockDynamic *asdyn_file(int fromfd, uint32_t start, uint32_t len, const struct iovec *post, tovi_map **pmap,
                         uint32_t minstart, uint32_t maxsize) {
  if (!(start >= minstart))
    _precondition_failed("start >= minstart");
  if (!(static_cast<unsigned long long>(start) + len <= maxsize))
    _precondition_failed("start+len <= maxsize");
  auto *f = static_cast<FileSource *>(xmalloc(sizeof(FileSource)));
  memset(f, 0, sizeof *f);
  f->asd.getBuf = asdyn_file_getBuf;
  f->asd.getUpperBound = asdyn_file_getUpperBound;
  f->asd.read = asdyn_file_read;
  f->asd.send = asdyn_file_send;
  f->start = start;
  f->len = len;
  f->filefd = fromfd;
  if (post)
    f->post = *post;
  f->pmap = pmap ? pmap : &f->freeMap;
  f->minstart = minstart;
  f->maxsize = maxsize;
  f->wf.nNumFds = 1;
  f->wf.awffdList = &f->wffd;
  return &f->asd;
}

void asdyn_file_free(ASockDynamic *pasd) {
  if (pasd == nullptr)
    return;
  FileSource *f = _self(pasd);
  if (f->freeMap)
    map_free(f->freeMap);
  free(f);
}

int asdyn_file_getBuf(ASockDynamic *pasd, struct iovec *pIov, WaitingFor **) {
  FileSource *f = _self(pasd);
  if (f->len == 0) {
    // The trailer goes out once; after it the source yields the empty
    // piece that ends the write.
    *pIov = f->post;
    f->post.iov_len = 0;
    return 0;
  }
  if (*f->pmap == nullptr) {
    // maxsize may exceed the file: pages past its end must never reach the
    // socket layer, which may read them in user space (SSL) and fault.
    struct stat st;
    if (fstat(f->filefd, &st) != 0 ||
        static_cast<unsigned long long>(f->start) + f->len > static_cast<unsigned long long>(st.st_size))
      return -2;
    *f->pmap = map_refresh(f->filefd, nullptr, MAP_NOIDENTITY, f->maxsize);
    if (*f->pmap == nullptr)
      return -2;
  }
  // A shared map may be shorter than this range: never hand out bytes
  // outside it.
  if (static_cast<unsigned long long>(f->start) + f->len > (*f->pmap)->fdlength)
    return -2;
  pIov->iov_base = const_cast<char *>((*f->pmap)->base + f->start);
  pIov->iov_len = f->len;
  f->start += f->len;
  f->len = 0;
  return 0;
}

uint32_t asdyn_file_getUpperBound(ASockDynamic *pasd) {
  FileSource *f = _self(pasd);
  return f->len + static_cast<uint32_t>(f->post.iov_len);
}

int asdyn_file_read(ASockDynamic *pasd, void *pBuf, uint32_t nLen, WaitingFor **) {
  FileSource *f = _self(pasd);
  auto *out = static_cast<unsigned char *>(pBuf);
  if (nLen > INT_MAX)
    nLen = INT_MAX;
  uint32_t got = 0;
  if (f->len != 0) {
    off_t pos;
    do {
      pos = lseek(f->filefd, f->start, SEEK_SET);
    } while (pos < 0 && tovi_is_transient(errno));
    if (pos < 0)
      return -2;
    uint32_t want = f->len < nLen ? f->len : nLen;
    int32_t n = retry_read(f->filefd, out, want);
    if (n <= 0)
      return -2;  // a read error, or the file ends before the range
    f->start += static_cast<uint32_t>(n);
    f->len -= static_cast<uint32_t>(n);
    got = static_cast<uint32_t>(n);
    if (f->len != 0)
      return static_cast<int>(got);
  }
  return static_cast<int>(got + _take_post(f, out + got, nLen - got));
}

int asdyn_file_send(ASockDynamic *pasd, int tofd, struct iovec *pre, WaitingFor **ppwf) {
  FileSource *f = _self(pasd);
  int32_t n = transmitfile(f->filefd, tofd, f->pmap, f->maxsize, f->start, f->len, pre, &f->post);
  if (n == -1) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || tovi_is_transient(errno)) {
      f->wf.nMsecs = -1;
      f->wf.nNumFds = 1;
      f->wf.awffdList = &f->wffd;
      f->wffd.nFd = tofd;
      f->wffd.nEvents = WAITINGFOR_WRITE;
      if (ppwf)
        *ppwf = &f->wf;
      return -1;
    }
    return -2;
  }
  uint32_t left = static_cast<uint32_t>(n);
  if (pre) {
    if (left < pre->iov_len) {
      pre->iov_base = static_cast<char *>(pre->iov_base) + left;
      pre->iov_len -= left;
      return n;
    }
    left -= static_cast<uint32_t>(pre->iov_len);
    pre->iov_len = 0;
  }
  if (left < f->len) {
    f->start += left;
    f->len -= left;
  } else {
    left -= f->len;
    f->start += f->len;
    f->len = 0;
    f->post.iov_base = static_cast<char *>(f->post.iov_base) + left;
    f->post.iov_len -= left;
  }
  return n;
}

}  // extern "C"
