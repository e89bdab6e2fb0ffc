// Dispatch contexts and dispatch objects.
//
// Threads: GDispCx_DispatchLoop runs on the caller's thread, which only
// waits for the shutdown eventfd; the context's workers run the callbacks.
// Workers block the asynchronous process signals, so a signal handler runs
// on the waiting thread (or on a thread of the program), never in the middle
// of a callback.
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "asock_internal.h"
#include "gdisp_internal.h"

namespace plat {

void gdisp_ref(GDisp *gd) { gd->refs.fetch_add(1, std::memory_order_relaxed); }

void gdisp_unref(GDisp *gd) {
  if (gd->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  GDispCx *cx;
  {
    std::lock_guard<std::mutex> g(gd->mu);
    cx = gd->cx;
  }
  if (cx) {
    std::lock_guard<std::mutex> g(cx->mu);
    list_unlink<GDisp, &GDisp::cxl>(cx->objs, gd);
  }
  delete gd;
}

bool gdisp_group_of(GDisp *gd, std::optional<Strand> &out, uint32_t &ver) {
  std::lock_guard<std::mutex> g(gd->mu);
  if (!gd->strand) return false;
  out = *gd->strand;
  ver = gd->group_ver.load(std::memory_order_relaxed);
  return true;
}

}  // namespace plat

using namespace plat;

namespace {

void *_worker_main(void *p) {
  static_cast<asio::io_context *>(p)->run();
  return nullptr;
}

// Cancels the object's timer and, with `destroy`, frees it. gd->mu held.
void _timer_drop_locked(GDisp *gd, bool destroy) {
  if (!gd->timer) return;
  gd->timer->cancel();
  if (destroy) {
    delete gd->timer;
    gd->timer = nullptr;
  }
}

struct TimerFire {
  Waiter w;
  void operator()(const std::error_code &ec) {
    if (!ec) w.fire(0);  // otherwise replaced, cancelled or deleted
  }
};

int _timer_arm(GDisp *gd, uint32_t nMsecs, GDispFn fn, void *arg);

}  // namespace

GDispCx *GDispCx_New(int nPriorities, int nThreads, int nStackSize) {
  if (nThreads < 1) nThreads = 1;
  GDispCx *cx;
  try {
    cx = new GDispCx(nThreads);
  } catch (...) {
    return nullptr;
  }
  try {
    // Asio makes its reactor (epoll, eventfd, timerfd) on first use; make it
    // now, so that arming a wait later cannot fail for want of descriptors.
    for (auto &io : cx->ios) asio::steady_timer warm(*io);
  } catch (...) {
    delete cx;
    return nullptr;
  }
  cx->evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cx->evfd < 0) {
    delete cx;
    return nullptr;
  }
  cx->npriorities = nPriorities > 0 ? nPriorities : 1;
  cx->stack_size = nStackSize > 0 ? static_cast<size_t>(nStackSize) : 0;
  return cx;
}

int GDispCx_DispatchLoop(GDispCx *cx) {
  if (!cx || cx->running.exchange(true)) return -1;
  uint64_t n;
  if (read(cx->evfd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
    cx->running = false;  // shut down before it started
    return 0;
  }
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> work;
  for (auto &io : cx->ios) {
    io->restart();
    work.push_back(asio::make_work_guard(*io));
  }

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  size_t defstack = 0;
  pthread_attr_getstacksize(&attr, &defstack);
  if (cx->stack_size > defstack) pthread_attr_setstacksize(&attr, cx->stack_size);
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGPIPE})
    sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &old);  // inherited by the workers
  std::vector<pthread_t> workers;
  int rc = 0;
  for (auto &io : cx->ios) {
    pthread_t t;
    if (pthread_create(&t, &attr, _worker_main, io.get()) != 0) {
      rc = -1;
      break;
    }
    workers.push_back(t);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);

  while (rc == 0) {
    struct pollfd pfd = {cx->evfd, POLLIN, 0};
    int r = poll(&pfd, 1, -1);
    if (r < 0 && errno != EINTR) {
      rc = -1;
      break;
    }
    if (read(cx->evfd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) break;
  }
  work.clear();
  for (auto &io : cx->ios) io->stop();
  for (pthread_t t : workers) pthread_join(t, nullptr);
  cx->running = false;
  return rc;
}

void GDispCx_Shutdown(GDispCx *cx) {
  if (!cx) return;
  int saved = errno;  // signal handlers must not disturb errno
  uint64_t one = 1;
  ssize_t r = write(cx->evfd, &one, sizeof one);
  (void)r;
  errno = saved;
}

void GDispCx_Delete(GDispCx *cx) {
  if (!cx) return;
  if (cx->running.load()) {
    GDispCx_Shutdown(cx);
    while (cx->running.load()) std::this_thread::yield();
  }
  addrops_detach_all(cx);
  asock_detach_all(cx);

  // Orphan every object still alive: its strand and timer belong to the
  // io_context, which goes next. Memory of objects still referenced (by a
  // semaphore, a pipe, a socket) stays valid until the last reference.
  std::vector<GDisp *> objs;
  {
    std::lock_guard<std::mutex> g(cx->mu);
    for (GDisp *gd = cx->objs; gd; gd = gd->cxl.next) {
      gdisp_ref(gd);
      objs.push_back(gd);
    }
    for (GDisp *gd : objs) gd->cxl = {};
    cx->objs = nullptr;
  }
  for (GDisp *gd : objs) {
    bool drop_owner;
    {
      std::lock_guard<std::mutex> g(gd->mu);
      gd->gen.fetch_add(1, std::memory_order_acq_rel);
      _timer_drop_locked(gd, true);
      gd->strand.reset();
      gd->cx = nullptr;
      drop_owner = !gd->owner_gone;
      gd->owner_gone = true;
    }
    if (drop_owner) gdisp_unref(gd);
  }
  // Queued handlers are destroyed with the io_context and drop their
  // references; the pins go after, when no strand is left to touch.
  close(cx->evfd);
  delete cx;
  for (GDisp *gd : objs) gdisp_unref(gd);
}

GDisp *GDisp_New(GDispCx *cx) {
  if (!cx) return nullptr;
  auto *gd = new (std::nothrow) GDisp;
  if (!gd) return nullptr;
  try {
    gd->strand.emplace(asio::make_strand(cx->pick()));
  } catch (...) {
    delete gd;
    return nullptr;
  }
  gd->cx = cx;
  std::lock_guard<std::mutex> g(cx->mu);
  list_push<GDisp, &GDisp::cxl>(cx->objs, gd);
  return gd;
}

int GDisp_Group(GDisp *a, GDisp *b) {
  if (!a || !b) return -1;
  if (a == b) return 0;
  std::optional<Strand> s;
  uint32_t ver;
  if (!gdisp_group_of(a, s, ver)) return -1;
  std::lock_guard<std::mutex> g(b->mu);
  if (!b->strand || b->cx != a->cx) return -1;
  *b->strand = *s;
  b->group_ver.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

int GDisp_SetPriority(GDisp *gd, int nPriority) {
  if (!gd || nPriority < 1) return -1;
  gd->priority.store(nPriority, std::memory_order_relaxed);
  return 0;
}

int GDisp_Cancel(GDisp *gd) {
  if (!gd) return -1;
  std::lock_guard<std::mutex> g(gd->mu);
  gd->gen.fetch_add(1, std::memory_order_acq_rel);
  _timer_drop_locked(gd, false);
  return 0;
}

void GDisp_Delete(GDisp *gd) {
  if (!gd) return;
  {
    std::lock_guard<std::mutex> g(gd->mu);
    if (gd->owner_gone) return;  // already released with its context
    gd->owner_gone = true;
    gd->gen.fetch_add(1, std::memory_order_acq_rel);
    _timer_drop_locked(gd, true);
  }
  gdisp_unref(gd);
}

int GDisp_GetAsyncError(GDisp *gd) {
  return gd ? gd->async_error.load(std::memory_order_relaxed) : EINVAL;
}

int GDisp_Timer(GDisp *gd, uint32_t nMsecs, GDispFn fn, void *arg) {
  if (!gd || !fn) return -1;
  try {
    return _timer_arm(gd, nMsecs, fn, arg);
  } catch (...) {
    return -1;  // C callers: no exception may cross this line
  }
}

namespace {

int _timer_arm(GDisp *gd, uint32_t nMsecs, GDispFn fn, void *arg) {
  Waiter w(gd, fn, arg);
  if (nMsecs == 0) {
    run_on_group(gd, [w = std::move(w)]() mutable { w.fire(0); });
    return 0;
  }
  std::lock_guard<std::mutex> g(gd->mu);
  if (!gd->strand || !gd->cx) return -1;
  if (!gd->timer) {
    gd->timer = new asio::steady_timer(gd->strand->get_inner_executor().context());
  }
  // One timer per object: arming again replaces the pending one.
  gd->timer->expires_after(std::chrono::milliseconds(nMsecs));
  uint32_t ver = gd->group_ver.load(std::memory_order_relaxed);
  gd->timer->async_wait(asio::bind_executor(
      *gd->strand, GroupHandler<TimerFire>{GdRef(gd), ver, TimerFire{std::move(w)}}));
  return 0;
}

}  // namespace
