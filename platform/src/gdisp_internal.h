// Internals of the dispatch layer shared by its modules (objects, sockets,
// semaphores, pipes, resolver). Not installed.
//
// Threads: a context runs one io_context per worker thread, each with its
// own epoll set, so a callback never hands the rest of a readiness report to
// another thread. Every object lives on one of them (new objects take turns;
// a grouped object moves to its group's), and so do the waits of a socket
// (on the io_context of the object that armed its first wait).
//
// A dispatch object's group is an Asio strand. Every completion is
// delivered on the strand of the object's *current* group: a handler that
// finds the group changed since it was queued re-posts itself, so a group
// formed after a wait was armed still serialises that wait's callback.
//
// Lifetime: objects are reference counted. The owner holds one reference
// (dropped by GDisp_Delete); every armed wait holds one through its Waiter.
// Cancel and delete bump the generation; a Waiter whose generation is old
// is stale and its callback is never run.
#ifndef PLAT_GDISP_INTERNAL_H
#define PLAT_GDISP_INTERNAL_H

#include <asio.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "plat/gdisp.h"

struct ASock;
struct ASRes;

namespace plat {

using Strand = asio::strand<asio::io_context::executor_type>;

struct AddrOp;

// Links of an intrusive list of one of the context's registries; the
// caller holds cx->mu.
template <class T>
struct Links {
  T *prev = nullptr, *next = nullptr;
};

template <class T, Links<T> T::*L>
void list_push(T *&head, T *x) {
  (x->*L).prev = nullptr;
  (x->*L).next = head;
  if (head) (head->*L).prev = x;
  head = x;
}

template <class T, Links<T> T::*L>
void list_unlink(T *&head, T *x) {
  Links<T> &l = x->*L;
  if (l.prev) (l.prev->*L).next = l.next;
  else head = l.next;
  if (l.next) (l.next->*L).prev = l.prev;
  l.prev = l.next = nullptr;
}

}  // namespace plat

namespace plat {

// An io_context run by one thread, whose services can be shut down on their
// own: handlers still queued on one io_context may hold strands of another,
// so every io_context of a dispatch context is shut down (its handlers
// destroyed) before the first one is destroyed.
class IoContext : public asio::io_context {
 public:
  IoContext() : asio::io_context(1) {}
  void shut_down() { shutdown(); }
};

}  // namespace plat

struct GDispCx {
  explicit GDispCx(int threads) {
    for (int i = 0; i < threads; i++) ios.push_back(std::make_unique<plat::IoContext>());
  }
  ~GDispCx() {
    for (auto &io : ios) io->shut_down();
  }
  // The io_context for a new object: each in turn.
  asio::io_context &pick() {
    return *ios[next.fetch_add(1, std::memory_order_relaxed) % ios.size()];
  }

  std::vector<std::unique_ptr<plat::IoContext>> ios;  // one per worker
  std::atomic<unsigned> next{0};
  int evfd = -1;  // GDispCx_Shutdown writes here (signal-safe)
  size_t stack_size = 0;
  int npriorities = 2;
  std::atomic<bool> running{false};

  // Guards the three registries below: everything that must be detached
  // before the io_context can be destroyed.
  std::mutex mu;
  GDisp *objs = nullptr;            // every object whose memory is alive
  ASock *socks = nullptr;           // sockets with an Asio object on this context
  plat::AddrOp *addrops = nullptr;  // host lookups in flight
};

struct GDisp {
  std::atomic<int> refs{1};
  std::atomic<uint32_t> gen{0};        // bumped by cancel and delete
  std::atomic<uint32_t> group_ver{0};  // bumped when the object changes group
  std::atomic<int> async_error{0};
  std::atomic<int> priority{1};

  std::mutex mu;                       // guards strand, timer, cx, owner_gone
  std::optional<plat::Strand> strand;  // empty once the context is deleted
  asio::steady_timer *timer = nullptr;
  uint32_t timer_seq = 0;
  GDispCx *cx = nullptr;
  bool owner_gone = false;

  plat::Links<GDisp> cxl;  // in cx->objs, under cx->mu
};

namespace plat {

void gdisp_ref(GDisp *gd);
void gdisp_unref(GDisp *gd);

// Owning reference to a dispatch object.
class GdRef {
 public:
  GdRef() = default;
  explicit GdRef(GDisp *gd) : gd_(gd) {
    if (gd_) gdisp_ref(gd_);
  }
  GdRef(GdRef &&o) noexcept : gd_(std::exchange(o.gd_, nullptr)) {}
  GdRef &operator=(GdRef &&o) noexcept {
    if (this != &o) {
      reset();
      gd_ = std::exchange(o.gd_, nullptr);
    }
    return *this;
  }
  GdRef(const GdRef &) = delete;
  GdRef &operator=(const GdRef &) = delete;
  ~GdRef() { reset(); }
  void reset() {
    if (gd_) gdisp_unref(std::exchange(gd_, nullptr));
  }
  GDisp *get() const { return gd_; }
  GDisp *operator->() const { return gd_; }
  explicit operator bool() const { return gd_ != nullptr; }

 private:
  GDisp *gd_ = nullptr;
};

// One armed callback.
struct Waiter {
  GdRef gd;
  uint32_t gen = 0;
  GDispFn fn = nullptr;
  void *arg = nullptr;

  Waiter() = default;
  Waiter(GDisp *g, GDispFn f, void *a)
      : gd(g), gen(g->gen.load(std::memory_order_acquire)), fn(f), arg(a) {}
  Waiter(Waiter &&) noexcept = default;
  Waiter &operator=(Waiter &&) noexcept = default;

  bool armed() const { return static_cast<bool>(gd); }
  bool live() const { return gd && gd->gen.load(std::memory_order_acquire) == gen; }
  // Runs the callback if the wait is still live: first `before` (which may
  // store results into the caller's memory), then the async error, then
  // fn(arg). Must run on the object's group. Consumes the waiter; false
  // when the wait had been cancelled and nothing ran.
  template <class Before>
  bool fire(int err, Before &&before) {
    if (!live()) {
      gd.reset();
      return false;
    }
    before();
    gd->async_error.store(err, std::memory_order_relaxed);
    GDispFn f = fn;
    void *a = arg;
    GdRef keep = std::move(gd);
    f(a);
    return true;
  }
  bool fire(int err) {
    return fire(err, [] {});
  }
};

// Copies the object's current strand; false once its context is gone.
bool gdisp_group_of(GDisp *gd, std::optional<Strand> &out, uint32_t &ver);

template <class F>
bool run_on_group(GDisp *gd, F f);

// Handler posted to a strand: follows a change of group before running.
template <class F>
struct GroupTask {
  GdRef gd;
  uint32_t ver;
  F f;
  void operator()() {
    if (gd->group_ver.load(std::memory_order_acquire) != ver) {
      GDisp *g = gd.get();
      run_on_group(g, std::move(f));
      return;
    }
    f();
  }
};

// Runs f() on the object's current group. Dropped (destroyed unrun, false)
// when the context has been deleted or memory is short.
template <class F>
bool run_on_group(GDisp *gd, F f) {
  std::optional<Strand> s;
  uint32_t ver = 0;
  if (!gdisp_group_of(gd, s, ver)) return false;
  try {
    asio::post(*s, GroupTask<F>{GdRef(gd), ver, std::move(f)});
  } catch (...) {
    return false;  // out of memory: the task is dropped, never half-run
  }
  return true;
}

// Completion handler for Asio waits: runs f(ec) on the object's group.
template <class F>
struct GroupHandler {
  GdRef gd;
  uint32_t ver;
  F f;
  void operator()(const std::error_code &ec) {
    if (gd->group_ver.load(std::memory_order_acquire) != ver) {
      GDisp *g = gd.get();
      run_on_group(g, [f = std::move(f), ec]() mutable { f(ec); });
      return;
    }
    f(ec);
  }
};

// Binds f to the object's current strand for an Asio async operation;
// std::nullopt when the context has been deleted.
template <class F>
auto on_group(GDisp *gd, F f) -> std::optional<asio::executor_binder<GroupHandler<F>, Strand>> {
  std::optional<Strand> s;
  uint32_t ver = 0;
  if (!gdisp_group_of(gd, s, ver)) return std::nullopt;
  return asio::bind_executor(*s, GroupHandler<F>{GdRef(gd), ver, std::move(f)});
}

// Host lookup registry hooks (gdisp_addr.cc).
void addrops_detach_all(GDispCx *cx);

}  // namespace plat

#endif
