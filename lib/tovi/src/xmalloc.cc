// Guarded allocation.  A shortage is not an error here: the caller waits,
// retrying once a second, until memory comes back, and the shortage is
// reported (throttled) through a replaceable callback.  The counter and the
// callback are process-wide; relaxed atomics are enough because a skipped
// or repeated report of a throttled diagnostic does no harm.
#include "tovi/xmalloc.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tovi/thread.h"

namespace {

std::atomic<nomemory_cb> nomem_cb{nomemory_defaultcb};
std::atomic<unsigned int> times{0};

// Runs alloc() until it yields memory; every failure is counted and the
// caller's thread sleeps a second before the next attempt.
template <typename Alloc>
void *_guarded(const char *what, size_t sz, Alloc alloc) {
  for (;;) {
    if (void *p = alloc())
      return p;
    memory_error(what, static_cast<unsigned int>(sz));
    tovi_sleep(1);
  }
}

// A request whose size does not even fit in size_t can never be met, so
// waiting for memory would hang the caller for ever: stop loudly instead.
[[noreturn]] void _impossible(const char *what) {
  errno = ENOMEM;
  memory_error(what, ~0u);
  std::fprintf(stderr, "%s: request larger than the address space\n", what);
  std::abort();
}

}  // namespace

extern "C" {

void *xmalloc(size_t size) {
  if (size == 0)
    return nullptr;
  return _guarded("malloc", size, [size] { return std::malloc(size); });
}

void *fs_get(size_t size) { return xmalloc(size); }

void *xcalloc(size_t num, size_t size) {
  if (num == 0 || size == 0)
    return nullptr;
  size_t total;
  if (__builtin_mul_overflow(num, size, &total))
    _impossible("calloc");
  return _guarded("calloc", total, [num, size] { return std::calloc(num, size); });
}

void *xrealloc(void *ptr, size_t size) {
  if (size == 0) {
    std::free(ptr);
    return nullptr;
  }
  // realloc leaves ptr intact when it fails, so the same block is retried.
  return _guarded("realloc", size, [ptr, size] { return std::realloc(ptr, size); });
}

char *xstrdup(const char *str) {
  size_t n = std::strlen(str) + 1;
  return static_cast<char *>(std::memcpy(xmalloc(n), str, n));
}

char *xstrndup(const char *str, size_t len) {
  if (len == SIZE_MAX)
    _impossible("malloc");
  char *copy = static_cast<char *>(xmalloc(len + 1));
  // strncpy stops reading at the terminator and zero-fills the rest.
  std::strncpy(copy, str, len);
  copy[len] = '\0';
  return copy;
}

void fs_give(void **ptr) {
  if (ptr == nullptr)
    return;
  std::free(*ptr);
  *ptr = nullptr;
}

void set_nomemory_cb(nomemory_cb cb) { nomem_cb.store(cb, std::memory_order_relaxed); }

void memory_error(const char *what, unsigned int sz) {
  unsigned int seen = times.fetch_add(1, std::memory_order_relaxed);
  if (seen % 100 != 0)
    return;
  if (nomemory_cb cb = nomem_cb.load(std::memory_order_relaxed))
    cb(what, sz);
}

void nomemory_defaultcb(const char *what, unsigned int sz) {
  int err = errno;
  char errbuf[128];
  // GNU strerror_r: thread-safe, returns the text (maybe not in errbuf).
  const char *text = strerror_r(err, errbuf, sizeof errbuf);
  std::fprintf(stderr, "%s failed for %u bytes: %s\n", what, sz, text);
  errno = err;
}

}  // extern "C"
