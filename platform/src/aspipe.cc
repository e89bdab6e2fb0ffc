// Byte pipes: many writers, one one-shot reader.
//
// Bytes wait in a list of blocks; an empty pipe holds none, so an idle
// connection costs only the pipe record. A write lands in the tail block
// when it fits there whole, else in a new block of its own size or of the
// pipe's block size, so one write is always contiguous. The reader gets the
// whole unread part of the head block, which joins every write that landed
// there: the server link sends many small records with one system call.
//
// A writer that builds its bytes in place can hand over a whole buffer from
// ASPipe_AllocBuf: it becomes a block of the queue as it is, without a copy.
//
// A reader that has just finished with a chunk takes the next one at once
// with ASPipe_Next, without a trip through its dispatch group; a writer may
// hand its bytes straight to the reader's destination (ASPipe_WriteThrough)
// while the pipe is empty and its reader waits, so an idle consumer costs no
// wake-up and no copy.
//
// Blocks of the common sizes are kept for reuse when freed, up to a small
// total, so that a steady stream of bytes costs neither malloc nor the page
// faults of memory handed back to the kernel and taken again.
//
// Threads: `mu` guards the blocks, the handed-out chunk and the reader. The
// chunk is chosen on the reader's group, just before its callback, so a
// read that is cancelled meanwhile never takes bytes away. The pipe is
// reference counted: a queued delivery keeps it alive.
#include <atomic>
#include <sys/uio.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "gdisp_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define PIPE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define PIPE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define PIPE_POISON(p, n) ((void)(p), (void)(n))
#define PIPE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

using namespace plat;

namespace {

struct Block {
  Block *next;
  uint32_t cap, rd, wr;
  int32_t cls;  // size class of the memory behind data, or -1
  char data[];
};

// Blocks for capacities from 4 KiB to 256 KiB get memory of the next power
// of two (their capacity stays as asked), and freed ones wait in a
// process-wide cache of at most kCacheBytes; other sizes go straight to and
// from malloc.
constexpr int kMinClassLog = 12;
constexpr int kMaxClassLog = 18;
constexpr size_t kCacheBytes = 4u << 20;

struct BlockCache {
  std::mutex mu;
  Block *free[kMaxClassLog - kMinClassLog + 1] = {};
  size_t bytes = 0;
};

// Never destroyed: pipes may still free blocks while the process exits.
BlockCache g_cache;

// The class index of a capacity, or -1 when it is not cached (small blocks
// are cheap to allocate).
int _class_of(uint32_t cap) {
  if (cap < (1u << kMinClassLog) || cap > (1u << kMaxClassLog)) return -1;
  int log = kMinClassLog;
  while ((1u << log) < cap) log++;
  return log - kMinClassLog;
}

Block *_block_alloc(uint32_t want) {
  int c = _class_of(want);
  size_t mem = c < 0 ? want : size_t(1) << (c + kMinClassLog);
  Block *b = nullptr;
  if (c >= 0) {
    std::lock_guard<std::mutex> g(g_cache.mu);
    b = g_cache.free[c];
    if (b) {
      PIPE_UNPOISON(b, sizeof(Block) + mem);
      g_cache.free[c] = b->next;
      g_cache.bytes -= mem;
    }
  }
  if (!b) b = static_cast<Block *>(std::malloc(sizeof(Block) + mem));
  if (!b) return nullptr;
  b->next = nullptr;
  b->cap = want;
  b->rd = b->wr = 0;
  b->cls = c;
  return b;
}

void _block_free(Block *b) {
  if (!b) return;
  int c = b->cls;
  if (c >= 0) {
    size_t mem = size_t(1) << (c + kMinClassLog);
    std::lock_guard<std::mutex> g(g_cache.mu);
    if (g_cache.bytes + mem <= kCacheBytes) {
      b->next = g_cache.free[c];
      g_cache.free[c] = b;
      g_cache.bytes += mem;
      // A cached block is still freed memory to the address checker.
      PIPE_POISON(b->data, mem);
      return;
    }
  }
  std::free(b);
}

}  // namespace

struct ASPipe {
  std::atomic<int> refs{1};
  std::mutex mu;
  bool deleted = false;
  uint32_t blocksize = 4096;
  Block *head = nullptr, *tail = nullptr;
  uint32_t handed = 0;              // bytes of the head block handed to the reader
  std::atomic<uint64_t> queued{0};  // bytes in the blocks, handed out or not
  Waiter reader;
  char **ppbuf = nullptr;
  uint32_t *pnlen = nullptr;
  uint64_t reader_seq = 0;  // identifies the armed read
  bool scheduled = false;   // a delivery for reader_seq is queued
};

namespace {

void _pipe_unref(ASPipe *p) {
  if (p->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  for (Block *b = p->head; b;) {
    Block *n = b->next;
    _block_free(b);
    b = n;
  }
  delete p;
}

void _deliver(ASPipe *p, uint64_t seq);

// Queues a delivery when a live reader waits and bytes are there. p->mu
// held; returns the object to post on, or NULL.
GDisp *_want_delivery_locked(ASPipe *p) {
  if (p->scheduled || !p->head || !p->reader.armed()) return nullptr;
  p->scheduled = true;
  p->refs.fetch_add(1, std::memory_order_relaxed);
  return p->reader.gd.get();
}

// Reference taken by _want_delivery_locked, dropped with the queued task
// (run or destroyed unrun with its context).
class PipeRef {
 public:
  explicit PipeRef(ASPipe *p) : p_(p) {}
  PipeRef(PipeRef &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PipeRef(const PipeRef &) = delete;
  PipeRef &operator=(const PipeRef &) = delete;
  PipeRef &operator=(PipeRef &&) = delete;
  ~PipeRef() {
    if (p_) _pipe_unref(p_);
  }
  ASPipe *get() const { return p_; }

 private:
  ASPipe *p_;
};

void _post_delivery(ASPipe *p, GDisp *gd, uint64_t seq) {
  run_on_group(gd, [pr = PipeRef(p), seq] { _deliver(pr.get(), seq); });
}

void _deliver(ASPipe *p, uint64_t seq) {
  Waiter w;
  char *chunk = nullptr;
  uint32_t len = 0;
  char **ppbuf = nullptr;
  uint32_t *pnlen = nullptr;
  {
    std::lock_guard<std::mutex> g(p->mu);
    if (p->deleted || seq != p->reader_seq || !p->reader.armed()) {
      p->scheduled = false;
      return;
    }
    p->scheduled = false;
    w = std::move(p->reader);
    if (!w.live() || !p->head) return;
    Block *b = p->head;
    chunk = b->data + b->rd;
    len = p->handed = b->wr - b->rd;
    ppbuf = p->ppbuf;
    pnlen = p->pnlen;
  }
  bool ran = w.fire(0, [&] {
    *ppbuf = chunk;
    *pnlen = len;
  });
  if (!ran) {
    // Cancelled from another thread meanwhile: the bytes stay queued.
    std::lock_guard<std::mutex> g(p->mu);
    if (seq == p->reader_seq) p->handed = 0;
  }
}

// Releases the chunk handed out last. p->mu held.
void _consume_locked(ASPipe *p) {
  if (!p->handed) return;
  Block *b = p->head;
  b->rd += p->handed;
  p->queued.fetch_sub(p->handed, std::memory_order_relaxed);
  p->handed = 0;
  if (b->rd == b->wr) {
    p->head = b->next;
    if (!p->head) p->tail = nullptr;
    _block_free(b);
  }
}

}  // namespace

ASPipe *ASPipe_New(uint32_t nCapacity) {
  auto *p = new (std::nothrow) ASPipe;
  if (!p) return nullptr;
  p->blocksize = nCapacity ? nCapacity : 4096;
  return p;
}

namespace {

// Appends the bytes of iov[0..n), from byte `skip` on, as one contiguous
// piece. p->mu held; false when no memory is left (nothing was queued).
bool _append_locked(ASPipe *p, const struct iovec *iov, int n, uint32_t skip, uint32_t rest) {
  Block *t = p->tail;
  if (!t || t->cap - t->wr < rest) {
    uint32_t cap = rest > p->blocksize ? rest : p->blocksize;
    Block *b = _block_alloc(cap);
    if (!b) return false;
    if (t) t->next = b;
    else p->head = b;
    p->tail = t = b;
  }
  for (int i = 0; i < n; i++) {
    uint32_t len = static_cast<uint32_t>(iov[i].iov_len);
    if (skip >= len) {
      skip -= len;
      continue;
    }
    std::memcpy(t->data + t->wr, static_cast<const char *>(iov[i].iov_base) + skip, len - skip);
    t->wr += len - skip;
    p->queued.fetch_add(len - skip, std::memory_order_relaxed);
    skip = 0;
  }
  return true;
}

int _write(ASPipe *p, const struct iovec *iov, int n, ASPipeSendFn send, void *arg) {
  if (!p || !iov || n < 0) return -1;
  uint64_t total = 0;
  for (int i = 0; i < n; i++) {
    if (!iov[i].iov_base && iov[i].iov_len) return -1;
    total += iov[i].iov_len;
  }
  if (total > UINT32_MAX / 2) return -1;
  uint32_t len = static_cast<uint32_t>(total);
  if (len == 0) return 0;
  uint32_t taken = 0;
  GDisp *post = nullptr;
  uint64_t seq;
  {
    std::lock_guard<std::mutex> g(p->mu);
    if (p->deleted) return -1;
    // Only an empty pipe whose reader waits, with nothing handed out or on
    // its way, can pass bytes on directly: then nobody else is sending to
    // the destination, and the bytes cannot overtake queued ones.
    if (send && !p->head && !p->handed && !p->scheduled && p->reader.live()) {
      int r = send(arg, iov, n);
      if (r > 0) taken = static_cast<uint32_t>(r) > len ? len : static_cast<uint32_t>(r);
      if (taken == len) return static_cast<int>(taken);
    }
    if (!_append_locked(p, iov, n, taken, len - taken)) {
      // The destination has the first bytes already; the rest cannot be
      // kept: report the loss rather than a short queue.
      return -1;
    }
    post = _want_delivery_locked(p);
    seq = p->reader_seq;
  }
  if (post) _post_delivery(p, post, seq);
  return static_cast<int>(taken);
}

}  // namespace

namespace {

Block *_block_of(char *data) { return reinterpret_cast<Block *>(data - offsetof(Block, data)); }

}  // namespace

char *ASPipe_AllocBuf(uint32_t nCapacity) {
  if (nCapacity == 0) return nullptr;
  Block *b = _block_alloc(nCapacity);
  return b ? b->data : nullptr;
}

void ASPipe_FreeBuf(char *pBuf) {
  if (pBuf) _block_free(_block_of(pBuf));
}

namespace {

int _write_buf(ASPipe *p, char *pBuf, uint32_t nLen, ASPipeSendFn send, void *arg) {
  if (!pBuf) return -1;
  Block *b = _block_of(pBuf);
  if (!p || nLen == 0 || nLen > b->cap) {
    _block_free(b);
    return nLen == 0 && p ? 0 : -1;
  }
  uint32_t taken = 0;
  GDisp *post = nullptr;
  uint64_t seq;
  {
    std::lock_guard<std::mutex> g(p->mu);
    if (p->deleted) {
      _block_free(b);
      return -1;
    }
    // The same direct path as _write: the block is queued only with what
    // the destination did not take.
    if (send && !p->head && !p->handed && !p->scheduled && p->reader.live()) {
      struct iovec one = {pBuf, nLen};
      int r = send(arg, &one, 1);
      if (r > 0) taken = static_cast<uint32_t>(r) > nLen ? nLen : static_cast<uint32_t>(r);
      if (taken == nLen) {
        _block_free(b);
        return static_cast<int>(taken);
      }
    }
    b->next = nullptr;
    b->rd = taken;
    b->wr = nLen;
    p->queued.fetch_add(nLen - taken, std::memory_order_relaxed);
    if (p->tail) p->tail->next = b;
    else p->head = b;
    p->tail = b;
    post = _want_delivery_locked(p);
    seq = p->reader_seq;
  }
  if (post) _post_delivery(p, post, seq);
  return static_cast<int>(taken);
}

}  // namespace

int ASPipe_WriteBuf(ASPipe *p, char *pBuf, uint32_t nLen) {
  return _write_buf(p, pBuf, nLen, nullptr, nullptr) < 0 ? -1 : 0;
}

int ASPipe_WriteBufThrough(ASPipe *p, char *pBuf, uint32_t nLen, ASPipeSendFn fnSend, void *arg) {
  if (!fnSend) {
    ASPipe_FreeBuf(pBuf);
    return -1;
  }
  return _write_buf(p, pBuf, nLen, fnSend, arg);
}

int ASPipe_Write(ASPipe *p, const void *pBuf, uint32_t nLen) {
  struct iovec one = {const_cast<void *>(pBuf), nLen};
  return _write(p, &one, 1, nullptr, nullptr) < 0 ? -1 : 0;
}

int ASPipe_WriteThrough(ASPipe *p, const struct iovec *pIov, int nIov, ASPipeSendFn fnSend,
                        void *arg) {
  if (!fnSend) return -1;
  return _write(p, pIov, nIov, fnSend, arg);
}

int ASPipe_Read(ASPipe *p, char **ppBuf, uint32_t *pnLen, GDisp *gd, GDispFn fn, void *arg) {
  if (!p || !ppBuf || !pnLen || !gd || !fn) return -1;
  Waiter w(gd, fn, arg);
  Waiter stale;
  GDisp *post = nullptr;
  uint64_t seq;
  {
    std::lock_guard<std::mutex> g(p->mu);
    if (p->deleted || p->reader.live()) return -1;
    _consume_locked(p);
    stale = std::move(p->reader);
    p->reader = std::move(w);
    p->ppbuf = ppBuf;
    p->pnlen = pnLen;
    seq = ++p->reader_seq;
    p->scheduled = false;  // a delivery still queued for an old read is void
    post = _want_delivery_locked(p);
  }
  if (post) _post_delivery(p, post, seq);
  return 0;
}

int ASPipe_Next(ASPipe *p, char **ppBuf, uint32_t *pnLen) {
  if (!p || !ppBuf || !pnLen) return -1;
  std::lock_guard<std::mutex> g(p->mu);
  if (p->deleted || p->reader.live()) return -1;
  _consume_locked(p);
  if (!p->head) return 0;
  Block *b = p->head;
  *ppBuf = b->data + b->rd;
  *pnLen = p->handed = b->wr - b->rd;
  return 1;
}

uint64_t ASPipe_Queued(ASPipe *p) { return p ? p->queued.load(std::memory_order_relaxed) : 0; }

void ASPipe_Delete(ASPipe *p) {
  if (!p) return;
  Waiter w;
  {
    std::lock_guard<std::mutex> g(p->mu);
    if (p->deleted) return;
    p->deleted = true;
    w = std::move(p->reader);
  }
  _pipe_unref(p);
}
