// File transmission. With the system's sendfilev (looked up at run time, in
// "libsendfile.so" or in the running program) header, range and trailer go
// out in one zero-copy call; without it (Linux) the file is mapped
// read-only and the three pieces go out in one writev. Linux's own sendfile
// was measured against the map in bench/runtime_bench.cc and lost on the
// hosts we run on, so it is not used. Either way one attempt reports the
// bytes sent counted from the start of the header.
//
// Threads: reentrant. sendfilev is set once under transmitfile_once.

#include "tovi/transmitfile.h"

#include <dlfcn.h>
#include <prinit.h>

#include <cerrno>
#include <climits>
#include <cstddef>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include "retry_internal.h"
#include "tovi/map.h"
#include "tovi/retry.h"

namespace {

// The host's record of one sendfilev piece. sfv_off carries a memory
// address for SFV_FD_SELF pieces, so it is as wide as a pointer here.
struct sendfilevec {
  int sfv_fd;
  unsigned int sfv_flag;
  off_t sfv_off;
  size_t sfv_len;
};
constexpr int SFV_FD_SELF = -2;

using sendfilev_fn = ssize_t (*)(int, const struct sendfilevec *, int, size_t *);

sendfilev_fn sendfilev = nullptr;
PRCallOnceType transmitfile_once;

PRStatus _transmitfile_lookup() {
  bool own = false;
  void *handle = dlopen("libsendfile.so", RTLD_LAZY | RTLD_GLOBAL);
  if (handle == nullptr) {
    handle = dlopen(nullptr, RTLD_LAZY);
    own = true;
  }
  if (handle != nullptr) {
    sendfilev = reinterpret_cast<sendfilev_fn>(dlsym(handle, "sendfilev"));
    // The library stays loaded for the life of the process: sendfilev
    // points into it.
    if (own)
      dlclose(handle);
  }
  return PR_SUCCESS;
}

size_t _len_of(const struct iovec *v) { return v ? v->iov_len : 0; }

// Keeps one attempt's total within the signed 32-bit result by sending less
// of the file range (a short attempt, which every caller handles).
uint32_t _capped_len(uint32_t len, const struct iovec *pre, const struct iovec *post) {
  unsigned long long frame = static_cast<unsigned long long>(_len_of(pre)) + _len_of(post);
  if (frame >= INT32_MAX)
    return 0;
  unsigned long long room = INT32_MAX - frame;
  return len > room ? static_cast<uint32_t>(room) : len;
}

int32_t _via_sendfilev(int fromfd, int tofd, uint32_t start, uint32_t len, const struct iovec *pre,
                       const struct iovec *post) {
  struct sendfilevec vec[3];
  int n = 0;
  if (pre && pre->iov_len)
    vec[n++] = {SFV_FD_SELF, 0, static_cast<off_t>(reinterpret_cast<uintptr_t>(pre->iov_base)), pre->iov_len};
  if (len)
    vec[n++] = {fromfd, 0, static_cast<off_t>(start), len};
  if (post && post->iov_len)
    vec[n++] = {SFV_FD_SELF, 0, static_cast<off_t>(reinterpret_cast<uintptr_t>(post->iov_base)), post->iov_len};
  if (n == 0)
    return 0;
  size_t xferred = 0;
  ssize_t r = sendfilev(tofd, vec, n, &xferred);
  // A partial transfer counts even when the call then reported an error.
  return xferred != 0 ? static_cast<int32_t>(xferred) : static_cast<int32_t>(r);
}

int32_t _via_map(int fromfd, int tofd, tovi_map **pmap, uint32_t fromsize, uint32_t start, uint32_t len,
                 const struct iovec *pre, const struct iovec *post) {
  tovi_map *local = nullptr;
  if (pmap == nullptr) {
    pmap = &local;
    if (fromsize == MAP_WHOLEFILE)
      fromsize = start + len;
  }
  struct iovec vec[3];
  int n = 0;
  if (pre)
    vec[n++] = *pre;
  if (len) {
    if (*pmap == nullptr) {
      // A mapping longer than the file would hand the kernel pages that do
      // not exist: refuse a range that ends beyond the end of the file.
      struct stat st;
      if (fstat(fromfd, &st) == 0 &&
          static_cast<unsigned long long>(start) + len > static_cast<unsigned long long>(st.st_size)) {
        errno = EINVAL;
        return -1;
      }
      *pmap = map_refresh(fromfd, nullptr, MAP_NOIDENTITY, fromsize);
      if (*pmap == nullptr)
        return -1;
    }
    // A map kept by the caller may be older and shorter than the range:
    // never hand the kernel addresses outside it.
    if (static_cast<unsigned long long>(start) + len > (*pmap)->fdlength) {
      if (local)
        map_free(local);
      errno = EINVAL;
      return -1;
    }
    const char *from = (*pmap)->base + start;
    vec[n++] = {const_cast<char *>(from), len};
    map_advise(from, len, MAP_ADV_SEQUENTIAL | MAP_ADV_WILLNEED);
  }
  if (post)
    vec[n++] = *post;
  ssize_t r = writev(tofd, vec, n);
  int err = errno;
  if (local)
    map_free(local);
  errno = err;
  return static_cast<int32_t>(r);
}

}  // namespace

extern "C" {

int transmitfile_init(void) {
  PR_CallOnce(&transmitfile_once, _transmitfile_lookup);
  return 0;
}

int32_t transmitfile(int fromfd, int tofd, tovi_map **pmap, uint32_t fromsize, uint32_t start, uint32_t len,
                     const struct iovec *pre, const struct iovec *post) {
  transmitfile_init();
  if (_len_of(pre) == 0 && len == 0 && _len_of(post) == 0)
    return 0;
  len = _capped_len(len, pre, post);
  if (sendfilev)
    return _via_sendfilev(fromfd, tofd, start, len, pre, post);
  return _via_map(fromfd, tofd, pmap, fromsize, start, len, pre, post);
}

int32_t retry_transmitfile(int fromfd, int tofd, tovi_map **pmap, uint32_t fromsize, uint32_t start, uint32_t len,
                           const struct iovec *pre, const struct iovec *post) {
  // One map for all attempts, released before returning.
  tovi_map *mapbuf = nullptr;
  if (pmap == nullptr)
    pmap = &mapbuf;
  struct iovec prebuf;
  int32_t written = 0;
  int32_t n;
  for (;;) {
    n = transmitfile(fromfd, tofd, pmap, fromsize, start, len, pre, post);
    if (n == -1) {
      if (tovi_is_transient(errno))
        continue;
      int err = errno;
      if (mapbuf)
        map_free(mapbuf);
      errno = err;
      return -1;
    }
    if (n == 0 && (_len_of(pre) != 0 || len != 0 || _len_of(post) != 0)) {
      // No progress and no error: another attempt would spin for ever.
      if (mapbuf)
        map_free(mapbuf);
      errno = EIO;
      return -1;
    }
    written += n;
    if (pre) {
      if (static_cast<int32_t>(pre->iov_len) > n) {
        prebuf.iov_base = static_cast<char *>(pre->iov_base) + n;
        prebuf.iov_len = pre->iov_len - static_cast<size_t>(n);
        pre = &prebuf;
        continue;
      }
      n -= static_cast<int32_t>(pre->iov_len);
      pre = nullptr;
    }
    if (len <= static_cast<uint32_t>(n)) {
      n -= static_cast<int32_t>(len);  // trailer bytes already sent
      break;
    }
    start += static_cast<uint32_t>(n);
    len -= static_cast<uint32_t>(n);
  }
  if (mapbuf)
    map_free(mapbuf);
  if (!post || post->iov_len <= static_cast<size_t>(n))
    return written;
  int32_t r = retry_send(tofd, static_cast<const char *>(post->iov_base) + n, post->iov_len - static_cast<size_t>(n));
  if (r == -1)
    return -1;
  return written + r;
}

}  // extern "C"
