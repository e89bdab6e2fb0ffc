// Events: an NSPR condition variable bound to its own mutex.  There is no
// "signalled" state, so a set with no waiter is lost; see tovi/event.h.
#include "tovi/event.h"

#include <prcvar.h>
#include <prinrval.h>
#include <prlock.h>

#include <cstdlib>

#include "nspr_tsan.h"
#include "tovi/mutex.h"

struct event {
  tovi_mutex mtx;
  PRCondVar *cvar;
};

namespace {

// NSPR intervals are 32-bit tick counts (up to 100000 ticks a second), so a
// long timeout is cut to an hour; waking early is allowed for an event.
constexpr uint32_t kMaxWaitMs = 3600u * 1000u;

PRIntervalTime _interval(uint32_t msec) {
  if (msec == TOVI_EVENT_FOREVER)
    return PR_INTERVAL_NO_TIMEOUT;
  return PR_MillisecondsToInterval(msec < kMaxWaitMs ? msec : kMaxWaitMs);
}

}  // namespace

extern "C" {

tovi_event event_open(void) {
  auto *evt = static_cast<event *>(std::malloc(sizeof(event)));
  if (evt == nullptr)
    return nullptr;
  evt->mtx = mutex_open();
  evt->cvar = evt->mtx ? PR_NewCondVar(evt->mtx) : nullptr;
  if (evt->cvar == nullptr) {
    mutex_close(evt->mtx);
    std::free(evt);
    return nullptr;
  }
  return evt;
}

int event_set(tovi_event evt) {
  if (evt == nullptr)
    return -1;
  mutex_hold(evt->mtx);
  PRStatus st = PR_NotifyCondVar(evt->cvar);
  mutex_release(evt->mtx);
  return st == PR_SUCCESS ? 0 : -1;
}

int event_wait(tovi_event evt, uint32_t msec) {
  if (evt == nullptr)
    return -1;
  mutex_hold(evt->mtx);
  TOVI_TSAN_RELEASE(evt->mtx);  // the wait gives the lock up meanwhile
  PRStatus st = PR_WaitCondVar(evt->cvar, _interval(msec));
  TOVI_TSAN_ACQUIRE(evt->mtx);
  mutex_release(evt->mtx);
  return st == PR_SUCCESS ? 0 : -1;
}

void event_close(tovi_event evt) {
  if (evt == nullptr)
    return;
  PR_DestroyCondVar(evt->cvar);
  mutex_close(evt->mtx);
  std::free(evt);
}

}  // extern "C"
