// Dispatch contexts, objects, timers and semaphores.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::RunningCx;
using plattest::WaitFor;

namespace {

struct Counter {
  std::atomic<int> n{0};
  static void Cb(void *p) { static_cast<Counter *>(p)->n++; }
};

// ---- contexts ----------------------------------------------------------------

TEST(GDispCxTest, ShutdownBeforeLoopStartsIsNotLost) {
  GDispCx *cx = GDispCx_New(2, 2, 65536);
  ASSERT_NE(cx, nullptr);
  GDispCx_Shutdown(cx);
  std::atomic<bool> done{false};
  int rc = -1;
  std::thread t([&] {
    rc = GDispCx_DispatchLoop(cx);
    done = true;
  });
  EXPECT_TRUE(WaitFor([&] { return done.load(); }, 3000ms));
  if (!done) GDispCx_Shutdown(cx);
  t.join();
  EXPECT_EQ(rc, 0);
  GDispCx_Delete(cx);
}

GDispCx *g_signal_cx;
void OnSigusr1(int) { GDispCx_Shutdown(g_signal_cx); }

TEST(GDispCxTest, ShutdownFromSignalHandlerEndsLoop) {
  RunningCx r(2);
  g_signal_cx = r.cx();
  struct sigaction sa = {}, old = {};
  sa.sa_handler = OnSigusr1;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  // Let the loop start, then signal the process as a whole.
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
  EXPECT_TRUE(WaitFor([&] { return r.done(); }, 3000ms));
  r.Stop();
  EXPECT_EQ(r.rc(), 0);
  sigaction(SIGUSR1, &old, nullptr);
}

struct ShutdownArg {
  GDispCx *cx;
  std::thread::id tid;
};
void ShutdownCb(void *p) {
  auto *a = static_cast<ShutdownArg *>(p);
  a->tid = std::this_thread::get_id();
  GDispCx_Shutdown(a->cx);
}

TEST(GDispCxTest, ShutdownFromCallbackEndsLoopAndCallbacksRunOnWorkers) {
  RunningCx r(2);
  GDisp *gd = GDisp_New(r.cx());
  ShutdownArg a{r.cx(), {}};
  ASSERT_EQ(GDisp_Timer(gd, 10, ShutdownCb, &a), 0);
  EXPECT_TRUE(WaitFor([&] { return r.done(); }, 3000ms));
  r.Stop();
  EXPECT_NE(a.tid, std::thread::id());
  EXPECT_NE(a.tid, std::this_thread::get_id());
  GDisp_Delete(gd);
}

// Objects left alive, waits armed and completions queued are all released
// with the context (the sanitizer build checks for leaks).
TEST(GDispCxTest, DeleteReleasesObjectsWaitsAndQueuedWork) {
  GDispCx *cx = GDispCx_New(2, 2, 65536);
  GDisp *a = GDisp_New(cx);
  GDisp *b = GDisp_New(cx);
  GDisp_Group(a, b);
  Counter c;
  GDisp_Timer(a, 60000, Counter::Cb, &c);  // far away
  GDisp_Timer(b, 0, Counter::Cb, &c);      // queued, never run
  GDispSem *sem = GDispSem_New(0);
  GDispSem_P(sem, b, Counter::Cb, &c);
  uint32_t addr = 0;
  GDisp_GetAddr(a, "127.0.0.1", &addr, Counter::Cb, &c);
  GDispCx_Delete(cx);  // loop never ran
  EXPECT_EQ(c.n.load(), 0);
  // The semaphore outlives the context; releasing it must not touch the
  // context any more.
  EXPECT_EQ(GDispSem_V(sem), 0);
  GDispSem_Delete(sem);
}

// ---- timers -------------------------------------------------------------------

TEST(GDispTimerTest, FiresOnceAfterItsPeriod) {
  RunningCx r;
  GDisp *gd = GDisp_New(r.cx());
  Counter c;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(GDisp_Timer(gd, 50, Counter::Cb, &c), 0);
  ASSERT_TRUE(WaitFor([&] { return c.n.load() == 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(c.n.load(), 1);
  GDisp_Delete(gd);
}

struct Rearm {
  GDisp *gd;
  std::atomic<int> n{0};
  int limit;
  static void Cb(void *p) {
    auto *r = static_cast<Rearm *>(p);
    if (++r->n < r->limit) GDisp_Timer(r->gd, 1, Cb, r);
  }
};

TEST(GDispTimerTest, CallbackRearmsExplicitly) {
  RunningCx r;
  Rearm ra;
  ra.gd = GDisp_New(r.cx());
  ra.limit = 5;
  GDisp_Timer(ra.gd, 1, Rearm::Cb, &ra);
  ASSERT_TRUE(WaitFor([&] { return ra.n.load() == 5; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ra.n.load(), 5);
  GDisp_Delete(ra.gd);
}

TEST(GDispTimerTest, CancelStopsPendingTimerAndObjectStaysUsable) {
  RunningCx r;
  GDisp *gd = GDisp_New(r.cx());
  Counter c;
  GDisp_Timer(gd, 50, Counter::Cb, &c);
  EXPECT_EQ(GDisp_Cancel(gd), 0);
  std::this_thread::sleep_for(120ms);
  EXPECT_EQ(c.n.load(), 0);
  GDisp_Timer(gd, 1, Counter::Cb, &c);
  EXPECT_TRUE(WaitFor([&] { return c.n.load() == 1; }));
  GDisp_Delete(gd);
}

// ---- groups ---------------------------------------------------------------

// Records overlapping callbacks of one group.
struct Exclusive {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> total{0};
  void Enter() {
    if (inside.fetch_add(1) != 0) overlaps++;
    // Stay a little so that a concurrent callback would be seen.
    for (int i = 0; i < 200; i++) asm volatile("" ::: "memory");
    inside.fetch_sub(1);
    total++;
  }
};

struct Spinner {
  Exclusive *ex;
  GDisp *gd;
  int left;
  static void Cb(void *p) {
    auto *s = static_cast<Spinner *>(p);
    s->ex->Enter();
    if (--s->left > 0) GDisp_Timer(s->gd, 0, Cb, s);
  }
};

TEST(GDispGroupTest, CallbacksOfOneGroupNeverOverlap) {
  RunningCx r(8);
  Exclusive ex;
  constexpr int kObjs = 6, kRounds = 500;
  GDisp *gds[kObjs];
  Spinner sp[kObjs];
  for (int i = 0; i < kObjs; i++) {
    gds[i] = GDisp_New(r.cx());
    if (i) {
      ASSERT_EQ(GDisp_Group(gds[0], gds[i]), 0);
    }
    sp[i] = {&ex, gds[i], kRounds};
  }
  for (int i = 0; i < kObjs; i++) GDisp_Timer(gds[i], 0, Spinner::Cb, &sp[i]);
  ASSERT_TRUE(WaitFor([&] { return ex.total.load() == kObjs * kRounds; }, 20000ms));
  EXPECT_EQ(ex.overlaps.load(), 0);
  for (GDisp *gd : gds) GDisp_Delete(gd);
}

struct SemSpinner {
  Exclusive *ex;
  GDisp *gd;
  GDispSem *sem;
  static void Cb(void *p) {
    auto *s = static_cast<SemSpinner *>(p);
    s->ex->Enter();
    GDispSem_P(s->sem, s->gd, Cb, s);
  }
};

// A wait armed before its object joined a group still runs serialised with
// that group.
TEST(GDispGroupTest, GroupFormedAfterWaitWasArmedSerialises) {
  RunningCx r(8);
  Exclusive ex;
  constexpr int kRounds = 2000;
  GDisp *a = GDisp_New(r.cx());
  GDisp *b = GDisp_New(r.cx());
  GDispSem *sem = GDispSem_New(0);
  SemSpinner ss{&ex, b, sem};
  ASSERT_EQ(GDispSem_P(sem, b, SemSpinner::Cb, &ss), 0);  // armed first
  ASSERT_EQ(GDisp_Group(a, b), 0);                          // grouped later
  Spinner sp{&ex, a, kRounds};
  GDisp_Timer(a, 0, Spinner::Cb, &sp);
  for (int i = 0; i < kRounds; i++) GDispSem_V(sem);
  ASSERT_TRUE(WaitFor([&] { return ex.total.load() == 2 * kRounds; }, 20000ms));
  EXPECT_EQ(ex.overlaps.load(), 0);
  GDisp_Delete(a);
  GDisp_Delete(b);
  GDispSem_Delete(sem);
}

// Keeps its group busy: a chain of callbacks that each stay a while.
struct Busy {
  GDisp *gd;
  int left;
  std::atomic<int> inside{0};
  std::atomic<bool> finished{false};
  static void Cb(void *p) {
    auto *b = static_cast<Busy *>(p);
    b->inside++;
    std::this_thread::sleep_for(2ms);
    b->inside--;
    if (--b->left > 0) GDisp_Timer(b->gd, 0, Cb, b);
    else b->finished = true;
  }
};

struct Probe {
  Busy *busy;
  std::atomic<int> ran{0};
  std::atomic<int> overlapped{0};
  static void Cb(void *p) {
    auto *pr = static_cast<Probe *>(p);
    if (pr->busy->inside.load() != 0) pr->overlapped++;
    pr->ran++;
  }
};

// A timer armed before its object joined a busy group fires inside that
// group's order, not beside it.
TEST(GDispGroupTest, TimerArmedBeforeGroupingRunsInTheGroup) {
  RunningCx r(4);
  Busy busy{GDisp_New(r.cx()), 60};
  GDisp *b = GDisp_New(r.cx());
  Probe probe{&busy};
  ASSERT_EQ(GDisp_Timer(b, 30, Probe::Cb, &probe), 0);
  ASSERT_EQ(GDisp_Group(busy.gd, b), 0);
  GDisp_Timer(busy.gd, 0, Busy::Cb, &busy);
  ASSERT_TRUE(WaitFor([&] { return busy.finished.load() && probe.ran.load() == 1; }));
  EXPECT_EQ(probe.overlapped.load(), 0);
  GDisp_Delete(b);
  GDisp_Delete(busy.gd);
}

// ---- cancel and delete with a completion already queued --------------------

struct Victim {
  GDisp *killer, *victim;
  GDispSem *sem;
  bool delete_it;
  std::atomic<int> victim_ran{0};
  std::atomic<bool> killer_done{false};
  static void VictimCb(void *p) { static_cast<Victim *>(p)->victim_ran++; }
  static void KillerCb(void *p) {
    auto *v = static_cast<Victim *>(p);
    // The victim's completion is queued on this very group, behind us.
    GDispSem_V(v->sem);
    std::this_thread::sleep_for(5ms);
    if (v->delete_it) {
      GDisp_Delete(v->victim);
    } else {
      GDisp_Cancel(v->victim);
    }
    v->killer_done = true;
  }
};

class QueuedCompletionTest : public ::testing::TestWithParam<bool> {};

TEST_P(QueuedCompletionTest, CallbackNeverRuns) {
  RunningCx r(4);
  Victim v;
  v.killer = GDisp_New(r.cx());
  v.victim = GDisp_New(r.cx());
  v.sem = GDispSem_New(0);
  v.delete_it = GetParam();
  GDisp_Group(v.killer, v.victim);
  ASSERT_EQ(GDispSem_P(v.sem, v.victim, Victim::VictimCb, &v), 0);
  GDisp_Timer(v.killer, 0, Victim::KillerCb, &v);
  ASSERT_TRUE(WaitFor([&] { return v.killer_done.load(); }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(v.victim_ran.load(), 0);
  if (!v.delete_it) {
    // A cancelled object takes new waits.
    GDisp_Timer(v.victim, 0, Victim::VictimCb, &v);
    EXPECT_TRUE(WaitFor([&] { return v.victim_ran.load() == 1; }));
    GDisp_Delete(v.victim);
  }
  GDisp_Delete(v.killer);
  GDispSem_Delete(v.sem);
}

INSTANTIATE_TEST_SUITE_P(CancelAndDelete, QueuedCompletionTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Delete" : "Cancel"; });

struct SelfDelete {
  GDisp *gd;
  std::atomic<int> n{0};
  static void Cb(void *p) {
    auto *s = static_cast<SelfDelete *>(p);
    s->n++;
    GDisp_Delete(s->gd);  // the object goes inside its own callback
  }
};

TEST(GDispDeleteTest, ObjectMayDeleteItselfInItsCallback) {
  RunningCx r;
  SelfDelete s;
  s.gd = GDisp_New(r.cx());
  GDisp_Timer(s.gd, 0, SelfDelete::Cb, &s);
  ASSERT_TRUE(WaitFor([&] { return s.n.load() == 1; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(s.n.load(), 1);
}

// ---- semaphores -----------------------------------------------------------

TEST(GDispSemTest, ReleasesWithoutWaitAreHeldForNextWaits) {
  RunningCx r;
  GDisp *gd = GDisp_New(r.cx());
  GDispSem *sem = GDispSem_New(0);
  Counter c;
  GDispSem_V(sem);
  GDispSem_V(sem);
  ASSERT_EQ(GDispSem_P(sem, gd, Counter::Cb, &c), 0);
  ASSERT_TRUE(WaitFor([&] { return c.n.load() == 1; }));
  ASSERT_EQ(GDispSem_P(sem, gd, Counter::Cb, &c), 0);
  ASSERT_TRUE(WaitFor([&] { return c.n.load() == 2; }));
  ASSERT_EQ(GDispSem_P(sem, gd, Counter::Cb, &c), 0);  // nothing left
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(c.n.load(), 2);
  EXPECT_EQ(GDispSem_P(sem, gd, Counter::Cb, &c), -1) << "one live wait at a time";
  GDispSem_V(sem);
  EXPECT_TRUE(WaitFor([&] { return c.n.load() == 3; }));
  GDispSem_Delete(sem);
  GDisp_Delete(gd);
}

TEST(GDispSemTest, CancelledWaitDoesNotConsumeARelease) {
  RunningCx r;
  GDisp *gd = GDisp_New(r.cx());
  GDispSem *sem = GDispSem_New(0);
  Counter c;
  GDispSem_P(sem, gd, Counter::Cb, &c);
  GDisp_Cancel(gd);
  GDispSem_V(sem);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(c.n.load(), 0);
  GDispSem_P(sem, gd, Counter::Cb, &c);  // the release was kept
  EXPECT_TRUE(WaitFor([&] { return c.n.load() == 1; }));
  GDispSem_Delete(sem);
  GDisp_Delete(gd);
}

TEST(GDispSemTest, ReleasesFromManyThreadsAreAllDelivered) {
  RunningCx r(4);
  GDisp *gd = GDisp_New(r.cx());
  GDispSem *sem = GDispSem_New(0);
  struct Taker {
    GDispSem *sem;
    GDisp *gd;
    std::atomic<int> n{0};
    static void Cb(void *p) {
      auto *t = static_cast<Taker *>(p);
      t->n++;
      GDispSem_P(t->sem, t->gd, Cb, t);
    }
  } t{sem, gd};
  GDispSem_P(sem, gd, Taker::Cb, &t);
  std::vector<std::thread> th;
  for (int i = 0; i < 4; i++)
    th.emplace_back([sem] {
      for (int j = 0; j < 1000; j++) GDispSem_V(sem);
    });
  for (auto &x : th) x.join();
  EXPECT_TRUE(WaitFor([&] { return t.n.load() == 4000; }, 10000ms)) << t.n.load();
  r.Stop();  // the last callback may still be re-arming
  GDispSem_Delete(sem);
  GDisp_Delete(gd);
}

}  // namespace
