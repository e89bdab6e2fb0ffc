// Retrying I/O. Interrupted calls and kernel shortages are retried without
// limit; everything else, EAGAIN included, ends the call with errno intact.
//
// Threads: every function is reentrant. static_iov_max is shared by all
// threads without a lock; it only ever shrinks, so a lost update merely
// costs another halving.

#include "tovi/retry.h"

#include <atomic>
#include <cerrno>

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "retry_internal.h"
#include "tovi/thread.h"

namespace {

// The largest entry count handed to one writev(). Hosts that reject a count
// with EINVAL (Linux above IOV_MAX) teach us the limit by halving.
std::atomic<int32_t> static_iov_max{8192};

// Below this many bytes a shortage is waited out instead of split.
constexpr size_t kSplitThreshold = 4096;

bool _is_shortage(int err) { return err == ENOMEM || err == ENOSR || err == ENOBUFS; }

int32_t _writev_all(int fd, struct iovec *iov, int iovcnt) {
  if (iovcnt <= 0)
    return 0;
  int iov_max = static_iov_max.load(std::memory_order_relaxed);
  struct iovec iov_saved {};
  bool saved = false;  // iov_saved holds iov[i] as it was at entry
  int32_t written = 0;
  int i = 0;
  while (i < iovcnt) {
    if (iov[i].iov_len == 0) {
      ++i;
      continue;
    }
    int n = iovcnt - i < iov_max ? iovcnt - i : iov_max;
    ssize_t r = writev(fd, iov + i, n);
    if (r == -1) {
      if (errno == EINVAL && iov_max > 10) {
        iov_max /= 2;
        static_iov_max.store(iov_max, std::memory_order_relaxed);
        continue;
      }
      if (tovi_is_transient(errno))
        continue;
      int err = errno;
      if (saved)
        iov[i] = iov_saved;
      errno = err;
      return -1;
    }
    written += static_cast<int32_t>(r);
    size_t left = static_cast<size_t>(r);
    while (left > 0 && i < iovcnt) {
      if (iov[i].iov_len > left) {
        if (!saved) {
          iov_saved = iov[i];
          saved = true;
        }
        iov[i].iov_base = static_cast<char *>(iov[i].iov_base) + left;
        iov[i].iov_len -= left;
        left = 0;
      } else {
        left -= iov[i].iov_len;
        if (saved) {
          iov[i] = iov_saved;
          saved = false;
        }
        ++i;
      }
    }
  }
  return written;
}

}  // namespace

bool tovi_is_transient(int err) { return err == EINTR || _is_shortage(err); }

extern "C" {

int32_t retry_read(int fd, void *buf, size_t nbyte) {
  for (;;) {
    ssize_t r = read(fd, buf, nbyte);
    if (r >= 0 || !tovi_is_transient(errno))
      return static_cast<int32_t>(r);
  }
}

int32_t retry_recv(int fd, void *buf, size_t nbyte) {
  for (;;) {
    ssize_t r = recv(fd, buf, nbyte, 0);
    if (r >= 0 || !tovi_is_transient(errno))
      return static_cast<int32_t>(r);
  }
}

int32_t retry_recvv(int fd, const struct iovec *iov, int iovcnt) {
  for (;;) {
    ssize_t r = readv(fd, iov, iovcnt);
    if (r >= 0 || !tovi_is_transient(errno))
      return static_cast<int32_t>(r);
  }
}

int32_t retry_write(int fd, const void *buf, size_t nbyte) {
  const char *p = static_cast<const char *>(buf);
  int32_t written = 0;
  while (nbyte > 0) {
    ssize_t r = write(fd, p, nbyte);
    if (r == -1) {
      if (tovi_is_transient(errno))
        continue;
      return -1;
    }
    p += r;
    nbyte -= static_cast<size_t>(r);
    written += static_cast<int32_t>(r);
  }
  return written;
}

int32_t retry_send(int fd, const void *buf, size_t nbyte) {
  const char *p = static_cast<const char *>(buf);
  int32_t written = 0;
  while (nbyte > 0) {
    ssize_t r = send(fd, p, nbyte, 0);
    if (r >= 0) {
      p += r;
      nbyte -= static_cast<size_t>(r);
      written += static_cast<int32_t>(r);
      continue;
    }
    if (_is_shortage(errno) && nbyte >= kSplitThreshold) {
      // Smaller requests need less socket buffer; halving is quicker than
      // waiting for the kernel to free a whole request's worth.
      size_t half = nbyte / 2;
      int32_t a = retry_send(fd, p, half);
      if (a == -1)
        return -1;
      int32_t b = retry_send(fd, p + half, nbyte - half);
      if (b == -1)
        return -1;
      return written + a + b;
    }
    if (tovi_is_transient(errno)) {
      tovi_sleep(0);  // let the kernel reclaim buffers before the next try
      continue;
    }
    return -1;
  }
  return written;
}

int32_t retry_writev(int fd, struct iovec *iov, int iovcnt) { return _writev_all(fd, iov, iovcnt); }

int32_t retry_sendv(int fd, struct iovec *iov, int iovcnt) { return _writev_all(fd, iov, iovcnt); }

}  // extern "C"
