// Dispatch semaphores: a count plus at most one armed wait.
//
// Threads: `mu` guards count and waiter. A release that finds a live wait
// hands the unit straight to it; a release that finds none (or only a
// cancelled one) is counted for the next GDispSem_P.
#include <mutex>
#include <new>

#include "gdisp_internal.h"

using namespace plat;

struct GDispSem {
  std::mutex mu;
  int count = 0;
  Waiter waiter;
};

namespace {

void _deliver(Waiter &&w) {
  GDisp *gd = w.gd.get();
  run_on_group(gd, [w = std::move(w)]() mutable { w.fire(0); });
}

}  // namespace

GDispSem *GDispSem_New(int nCount) {
  if (nCount < 0) return nullptr;
  auto *sem = new (std::nothrow) GDispSem;
  if (sem) sem->count = nCount;
  return sem;
}

int GDispSem_P(GDispSem *sem, GDisp *gd, GDispFn fn, void *arg) {
  if (!sem || !gd || !fn) return -1;
  Waiter w(gd, fn, arg);
  Waiter stale;
  {
    std::lock_guard<std::mutex> g(sem->mu);
    if (sem->waiter.live()) return -1;
    stale = std::move(sem->waiter);
    if (sem->count == 0) {
      sem->waiter = std::move(w);
      return 0;
    }
    sem->count--;
  }
  _deliver(std::move(w));
  return 0;
}

int GDispSem_V(GDispSem *sem) {
  if (!sem) return -1;
  Waiter w;
  {
    std::lock_guard<std::mutex> g(sem->mu);
    if (!sem->waiter.live()) {
      w = std::move(sem->waiter);  // a cancelled wait does not take the unit
      sem->count++;
      return 0;
    }
    w = std::move(sem->waiter);
  }
  _deliver(std::move(w));
  return 0;
}

void GDispSem_Delete(GDispSem *sem) { delete sem; }
