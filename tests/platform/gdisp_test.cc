// Dispatch contexts, objects, timers and semaphores.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::Completion;
using plattest::RunningCx;

namespace {

// Arms the timer of c's object again until c has run `times` times.
void Rearm(Completion &c, int times, uint32_t ms = 0) {
  c.then = [times, ms](Completion &self) {
    if (self.n + 1 < times) GDisp_Timer(self.gd, ms, Completion::Cb, &self);
  };
}

// ---- contexts ------------------------------------------------------------

TEST(GDispCxTest, ShutdownBeforeTheLoopStartsIsNotLost) {
  GDispCx *cx = GDispCx_New(2, 2, 65536);
  ASSERT_NE(cx, nullptr);
  GDispCx_Shutdown(cx);
  std::atomic<int> rc{-1};
  std::thread t([&] { rc = GDispCx_DispatchLoop(cx); });
  EXPECT_TRUE(ts::wait_for([&] { return rc == 0; }, 3000));
  if (rc != 0) GDispCx_Shutdown(cx);
  t.join();
  GDispCx_Delete(cx);
}

GDispCx *g_signal_cx;

TEST(GDispCxTest, ShutdownFromASignalHandlerEndsTheLoop) {
  RunningCx r(2);
  g_signal_cx = r.cx();
  struct sigaction sa = {}, old = {};
  sa.sa_handler = [](int) { GDispCx_Shutdown(g_signal_cx); };
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  std::this_thread::sleep_for(20ms);  // let the loop start, then signal the process as a whole
  ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
  EXPECT_TRUE(ts::wait_for([&] { return r.done(); }, 3000));
  r.Stop();
  EXPECT_EQ(r.rc(), 0);
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(GDispCxTest, ShutdownFromACallbackEndsTheLoopAndCallbacksRunOnWorkers) {
  RunningCx r(2);
  std::thread::id tid;
  Completion c{GDisp_New(r.cx()), [&](Completion &) {
                 tid = std::this_thread::get_id();
                 GDispCx_Shutdown(r.cx());
               }};
  ASSERT_EQ(GDisp_Timer(c.gd, 10, Completion::Cb, &c), 0);
  EXPECT_TRUE(ts::wait_for([&] { return r.done(); }, 3000));
  r.Stop();
  EXPECT_NE(tid, std::thread::id());
  EXPECT_NE(tid, std::this_thread::get_id());
  GDisp_Delete(c.gd);
}

// Objects left alive, waits armed and completions queued are all released
// with the context (the sanitizer build checks for leaks).
TEST(GDispCxTest, DeleteReleasesObjectsWaitsAndQueuedWork) {
  GDispCx *cx = GDispCx_New(2, 2, 65536);
  GDisp *a = GDisp_New(cx), *b = GDisp_New(cx);
  GDisp_Group(a, b);
  Completion c;
  GDisp_Timer(a, 60000, Completion::Cb, &c);  // far away
  GDisp_Timer(b, 0, Completion::Cb, &c);      // queued, never run
  GDispSem *sem = GDispSem_New(0);
  GDispSem_P(sem, b, Completion::Cb, &c);
  uint32_t addr = 0;
  GDisp_GetAddr(a, "127.0.0.1", &addr, Completion::Cb, &c);
  GDispCx_Delete(cx);  // the loop never ran
  EXPECT_EQ(c.n.load(), 0);
  // The semaphore outlives the context; releasing it must not touch the
  // context any more.
  EXPECT_EQ(GDispSem_V(sem), 0);
  GDispSem_Delete(sem);
}

// ---- timers --------------------------------------------------------------

TEST(GDispTimerTest, FiresOnceAfterItsPeriodAndOnlyAnExplicitRearmRepeatsIt) {
  RunningCx r;
  Completion once{GDisp_New(r.cx())}, five{GDisp_New(r.cx())};
  Rearm(five, 5, 1);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(GDisp_Timer(once.gd, 50, Completion::Cb, &once), 0);
  ASSERT_EQ(GDisp_Timer(five.gd, 1, Completion::Cb, &five), 0);
  ASSERT_TRUE(once.Wait(1));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);
  ASSERT_TRUE(five.Wait(5));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(once.n.load(), 1);
  EXPECT_EQ(five.n.load(), 5);
  EXPECT_EQ(GDisp_Timer(nullptr, 1, Completion::Cb, &once), -1);
  EXPECT_EQ(GDisp_Timer(once.gd, 1, nullptr, &once), -1);
  GDisp_Delete(once.gd);
  GDisp_Delete(five.gd);
}

TEST(GDispTimerTest, CancelStopsAPendingTimerAndTheObjectStaysUsable) {
  RunningCx r;
  Completion c{GDisp_New(r.cx())};
  GDisp_Timer(c.gd, 50, Completion::Cb, &c);
  EXPECT_EQ(GDisp_Cancel(c.gd), 0);
  std::this_thread::sleep_for(120ms);
  EXPECT_EQ(c.n.load(), 0);
  GDisp_Timer(c.gd, 1, Completion::Cb, &c);
  EXPECT_TRUE(c.Wait(1));
  GDisp_Delete(c.gd);
}

// ---- groups --------------------------------------------------------------

// Records overlapping callbacks of one group.
struct Exclusive {
  std::atomic<int> inside{0}, overlaps{0}, total{0};
  void Enter() {
    if (inside.fetch_add(1) != 0) overlaps++;
    for (int i = 0; i < 200; i++) asm volatile("" ::: "memory");  // stay long enough to be seen
    inside.fetch_sub(1);
    total++;
  }
};

TEST(GDispGroupTest, CallbacksOfOneGroupNeverOverlap) {
  RunningCx r(8);
  Exclusive ex;
  constexpr int kObjs = 6, kRounds = 500;
  Completion c[kObjs];
  for (int i = 0; i < kObjs; i++) {
    c[i].gd = GDisp_New(r.cx());
    ASSERT_EQ(i ? GDisp_Group(c[0].gd, c[i].gd) : 0, 0);
    c[i].then = [&ex](Completion &self) {
      ex.Enter();
      if (self.n + 1 < kRounds) GDisp_Timer(self.gd, 0, Completion::Cb, &self);
    };
  }
  for (auto &x : c) GDisp_Timer(x.gd, 0, Completion::Cb, &x);
  ASSERT_TRUE(ts::wait_for([&] { return ex.total.load() == kObjs * kRounds; }, 20000));
  EXPECT_EQ(ex.overlaps.load(), 0);
  for (auto &x : c) GDisp_Delete(x.gd);
}

// A wait armed before its object joined a group still runs serialised with
// that group.
TEST(GDispGroupTest, GroupFormedAfterAWaitWasArmedSerialises) {
  RunningCx r(8);
  Exclusive ex;
  constexpr int kRounds = 2000;
  GDispSem *sem = GDispSem_New(0);
  Completion a{GDisp_New(r.cx()), [&](Completion &self) {
                 ex.Enter();
                 if (self.n + 1 < kRounds) GDisp_Timer(self.gd, 0, Completion::Cb, &self);
               }};
  Completion b{GDisp_New(r.cx()), [&](Completion &self) {
                 ex.Enter();
                 GDispSem_P(sem, self.gd, Completion::Cb, &self);
               }};
  ASSERT_EQ(GDispSem_P(sem, b.gd, Completion::Cb, &b), 0);  // armed first
  ASSERT_EQ(GDisp_Group(a.gd, b.gd), 0);                     // grouped later
  GDisp_Timer(a.gd, 0, Completion::Cb, &a);
  for (int i = 0; i < kRounds; i++) GDispSem_V(sem);
  ASSERT_TRUE(ts::wait_for([&] { return ex.total.load() == 2 * kRounds; }, 20000));
  EXPECT_EQ(ex.overlaps.load(), 0);
  EXPECT_EQ(GDisp_Group(a.gd, nullptr), -1);
  GDisp_Delete(a.gd);
  GDisp_Delete(b.gd);
  GDispSem_Delete(sem);
}

// A timer armed before its object joined a busy group fires inside that
// group's order, not beside it.
TEST(GDispGroupTest, TimerArmedBeforeGroupingRunsInTheGroup) {
  RunningCx r(4);
  std::atomic<int> inside{0}, overlapped{0};
  Completion busy{GDisp_New(r.cx()), [&](Completion &self) {
                    inside++;  // a chain of callbacks that each stay a while
                    std::this_thread::sleep_for(2ms);
                    inside--;
                    if (self.n + 1 < 60) GDisp_Timer(self.gd, 0, Completion::Cb, &self);
                  }};
  Completion probe{GDisp_New(r.cx()), [&](Completion &) { overlapped += inside.load() != 0; }};
  ASSERT_EQ(GDisp_Timer(probe.gd, 30, Completion::Cb, &probe), 0);
  ASSERT_EQ(GDisp_Group(busy.gd, probe.gd), 0);
  GDisp_Timer(busy.gd, 0, Completion::Cb, &busy);
  ASSERT_TRUE(busy.Wait(60) && probe.Wait(1));
  EXPECT_EQ(overlapped.load(), 0);
  GDisp_Delete(probe.gd);
  GDisp_Delete(busy.gd);
}

// ---- cancel and delete with a completion already queued ------------------

class QueuedCompletionTest : public ::testing::TestWithParam<bool> {};

TEST_P(QueuedCompletionTest, CallbackNeverRuns) {
  const bool delete_it = GetParam();
  RunningCx r(4);
  GDispSem *sem = GDispSem_New(0);
  Completion victim{GDisp_New(r.cx())};
  Completion killer{GDisp_New(r.cx()), [&](Completion &) {
                      GDispSem_V(sem);  // the victim's completion is queued on this very group, behind us
                      std::this_thread::sleep_for(5ms);
                      if (delete_it) GDisp_Delete(victim.gd);
                      else GDisp_Cancel(victim.gd);
                    }};
  GDisp_Group(killer.gd, victim.gd);
  ASSERT_EQ(GDispSem_P(sem, victim.gd, Completion::Cb, &victim), 0);
  GDisp_Timer(killer.gd, 0, Completion::Cb, &killer);
  ASSERT_TRUE(killer.Wait(1));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(victim.n.load(), 0);
  if (!delete_it) {  // a cancelled object takes new waits
    GDisp_Timer(victim.gd, 0, Completion::Cb, &victim);
    EXPECT_TRUE(victim.Wait(1));
    GDisp_Delete(victim.gd);
  }
  GDisp_Delete(killer.gd);
  GDispSem_Delete(sem);
}

INSTANTIATE_TEST_SUITE_P(CancelAndDelete, QueuedCompletionTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Delete" : "Cancel"; });

TEST(GDispDeleteTest, ObjectMayDeleteItselfInItsCallback) {
  RunningCx r;
  Completion c{GDisp_New(r.cx()), [](Completion &self) { GDisp_Delete(self.gd); }};
  GDisp_Timer(c.gd, 0, Completion::Cb, &c);
  ASSERT_TRUE(c.Wait(1));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(c.n.load(), 1);
}

// ---- semaphores ----------------------------------------------------------

TEST(GDispSemTest, ReleasesWithoutAWaitAreHeldForTheNextWaits) {
  RunningCx r;
  Completion c{GDisp_New(r.cx())};
  GDispSem *sem = GDispSem_New(0);
  GDispSem_V(sem);
  GDispSem_V(sem);
  for (int i = 1; i <= 2; i++) {
    ASSERT_EQ(GDispSem_P(sem, c.gd, Completion::Cb, &c), 0);
    ASSERT_TRUE(c.Wait(i));
  }
  ASSERT_EQ(GDispSem_P(sem, c.gd, Completion::Cb, &c), 0);  // nothing left
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(c.n.load(), 2);
  EXPECT_EQ(GDispSem_P(sem, c.gd, Completion::Cb, &c), -1) << "one live wait at a time";
  GDispSem_V(sem);
  EXPECT_TRUE(c.Wait(3));
  GDispSem_Delete(sem);
  GDisp_Delete(c.gd);
}

TEST(GDispSemTest, CancelledWaitDoesNotConsumeARelease) {
  RunningCx r;
  Completion c{GDisp_New(r.cx())};
  GDispSem *sem = GDispSem_New(0);
  GDispSem_P(sem, c.gd, Completion::Cb, &c);
  GDisp_Cancel(c.gd);
  GDispSem_V(sem);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(c.n.load(), 0);
  GDispSem_P(sem, c.gd, Completion::Cb, &c);  // the release was kept
  EXPECT_TRUE(c.Wait(1));
  GDispSem_Delete(sem);
  GDisp_Delete(c.gd);
}

TEST(GDispSemTest, ReleasesFromManyThreadsAreAllDelivered) {
  RunningCx r(4);
  GDispSem *sem = GDispSem_New(0);
  Completion c{GDisp_New(r.cx()), [&](Completion &self) { GDispSem_P(sem, self.gd, Completion::Cb, &self); }};
  GDispSem_P(sem, c.gd, Completion::Cb, &c);
  std::vector<std::thread> th;
  for (int i = 0; i < 4; i++)
    th.emplace_back([sem] {
      for (int j = 0; j < 1000; j++) GDispSem_V(sem);
    });
  for (auto &x : th) x.join();
  EXPECT_TRUE(c.Wait(4000, 10000)) << c.n.load();
  r.Stop();  // the last callback may still be re-arming
  GDispSem_Delete(sem);
  GDisp_Delete(c.gd);
}

}  // namespace
