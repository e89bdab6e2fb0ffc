// Dispatch contexts, objects, timers and semaphores. A shutdown from a
// signal handler (the stop request) and from a callback (the end of a
// cycle) is checked through the multiplexor's own tests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::Completion;

namespace {

// A running context whose semaphore (made for the test) goes after it.
class GDispTest : public plattest::LoopTest<8> {
 protected:
  void TearDown() override {
    r_.Stop();
    GDispSem_Delete(sem_);
  }
  GDispSem *sem_ = GDispSem_New(0);
};

// A step that arms the object's timer again until it has run `times` times.
std::function<void(Completion &)> Repeat(int times, uint32_t ms = 0, std::function<void()> step = {}) {
  return [=](Completion &self) {
    if (step) step();
    if (self.n + 1 < times) GDisp_Timer(self.gd, ms, Completion::Cb, &self);
  };
}

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

// ---- contexts ------------------------------------------------------------

TEST(GDispCxTest, ShutdownBeforeTheLoopStartsIsNotLostAndDeleteReleasesObjectsWaitsAndQueuedWork) {
  GDispCx *cx = GDispCx_New(2, 2, 65536);
  GDispCx_Shutdown(cx);
  std::atomic<int> rc{-1};
  std::thread t([&] { rc = GDispCx_DispatchLoop(cx); });
  EXPECT_TRUE(ts::wait_for([&] { return rc == 0; }, 3000));
  if (rc != 0) GDispCx_Shutdown(cx);
  t.join();
  GDispCx_Delete(cx);
  // Objects left alive, waits armed and completions queued are all released
  // with the context (the sanitizer build checks for leaks).
  cx = GDispCx_New(2, 2, 65536);
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

// ---- timers and semaphores ----------------------------------------------

TEST_F(GDispTest, TimersFireOnceAndCancelAndSemaphoresHoldReleasesACancelledWaitTakesNoneAndManyThreadsRelease) {
  Completion &once = On(), &five = On(Repeat(5, 1));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(GDisp_Timer(once.gd, 50, Completion::Cb, &once) | GDisp_Timer(five.gd, 1, Completion::Cb, &five), 0);
  ASSERT_TRUE(once.Wait(1));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);
  ASSERT_TRUE(five.Wait(5));
  EXPECT_TRUE(once.Still(1, 100) && five.Still(5, 0));
  EXPECT_EQ(GDisp_Timer(nullptr, 1, Completion::Cb, &once), -1);
  EXPECT_EQ(GDisp_Timer(once.gd, 1, nullptr, &once), -1);
  // Cancel stops a pending timer and the object stays usable.
  Completion &c = On();
  GDisp_Timer(c.gd, 50, Completion::Cb, &c);
  EXPECT_EQ(GDisp_Cancel(c.gd), 0);
  EXPECT_TRUE(c.Still(0, 120));
  GDisp_Timer(c.gd, 1, Completion::Cb, &c);
  EXPECT_TRUE(c.Wait(1));
  // An object may delete itself in its callback.
  Completion &self = On([](Completion &me) { GDisp_Delete(me.gd); });
  GDisp_Timer(self.gd, 0, Completion::Cb, &self);
  ASSERT_TRUE(self.Wait(1));
  EXPECT_TRUE(self.Still(1));
  // Semaphore releases are held for the next waits.
  Completion &w = On();
  GDispSem_V(sem_);
  GDispSem_V(sem_);
  for (int i = 1; i <= 2; i++) {
    ASSERT_EQ(GDispSem_P(sem_, w.gd, Completion::Cb, &w), 0);
    ASSERT_TRUE(w.Wait(i));
  }
  ASSERT_EQ(GDispSem_P(sem_, w.gd, Completion::Cb, &w), 0);  // nothing left
  EXPECT_TRUE(w.Still(2));
  EXPECT_EQ(GDispSem_P(sem_, w.gd, Completion::Cb, &w), -1) << "one live wait at a time";
  GDispSem_V(sem_);
  EXPECT_TRUE(w.Wait(3));
  // A cancelled wait does not consume a release.
  GDispSem_P(sem_, w.gd, Completion::Cb, &w);
  GDisp_Cancel(w.gd);
  GDispSem_V(sem_);
  EXPECT_TRUE(w.Still(3));
  GDispSem_P(sem_, w.gd, Completion::Cb, &w);  // the release was kept
  EXPECT_TRUE(w.Wait(4));
  // Releases from many threads are all delivered.
  Completion &many = On([&](Completion &self) { GDispSem_P(sem_, self.gd, Completion::Cb, &self); });
  GDispSem_P(sem_, many.gd, Completion::Cb, &many);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; i++)
    threads.emplace_back([this] {
      for (int j = 0; j < 1000; j++) GDispSem_V(sem_);
    });
  for (auto &x : threads) x.join();
  EXPECT_TRUE(many.Wait(4000, 10000)) << many.n.load();
}

// ---- groups --------------------------------------------------------------

TEST_F(GDispTest, CallbacksOfOneGroupNeverOverlapAlsoWhenTheGroupFormsAfterAWaitOrATimerWasArmed) {
  Exclusive ex;
  constexpr int kObjs = 6, kRounds = 500;
  std::vector<Completion *> c;
  for (int i = 0; i < kObjs; i++) {
    c.push_back(&On(Repeat(kRounds, 0, [&] { ex.Enter(); })));
    ASSERT_EQ(i ? GDisp_Group(c[0]->gd, c[i]->gd) : 0, 0);
  }
  for (auto *x : c) GDisp_Timer(x->gd, 0, Completion::Cb, x);
  ASSERT_TRUE(ts::wait_for([&] { return ex.total.load() == kObjs * kRounds; }, 20000));
  EXPECT_EQ(ex.overlaps.load(), 0);
  // A wait armed before its object joined a group still runs serialised with
  // that group.
  Exclusive late;
  constexpr int kLate = 2000;
  Completion &first = On(Repeat(kLate, 0, [&] { late.Enter(); })), &second = On([&](Completion &self) {
    late.Enter();
    GDispSem_P(sem_, self.gd, Completion::Cb, &self);
  });
  ASSERT_EQ(GDispSem_P(sem_, second.gd, Completion::Cb, &second), 0);  // armed first
  ASSERT_EQ(GDisp_Group(first.gd, second.gd), 0);                      // grouped later
  GDisp_Timer(first.gd, 0, Completion::Cb, &first);
  for (int i = 0; i < kLate; i++) GDispSem_V(sem_);
  ASSERT_TRUE(ts::wait_for([&] { return late.total.load() == 2 * kLate; }, 20000));
  EXPECT_EQ(late.overlaps.load(), 0);
  EXPECT_EQ(GDisp_Group(first.gd, nullptr), -1);
  // A timer armed before its object joined a busy group fires inside that
  // group's order, not beside it.
  std::atomic<int> inside{0}, overlapped{0};
  Completion &busy = On(Repeat(60, 0, [&] {
    inside++;  // a chain of callbacks that each stay a while
    std::this_thread::sleep_for(2ms);
    inside--;
  }));
  Completion &probe = On([&](Completion &) { overlapped += inside.load() != 0; });
  ASSERT_EQ(GDisp_Timer(probe.gd, 30, Completion::Cb, &probe), 0);
  ASSERT_EQ(GDisp_Group(busy.gd, probe.gd), 0);
  GDisp_Timer(busy.gd, 0, Completion::Cb, &busy);
  ASSERT_TRUE(busy.Wait(60) && probe.Wait(1));
  EXPECT_EQ(overlapped.load(), 0);
}

// ---- cancel and delete with a completion already queued ------------------

class QueuedCompletionTest : public GDispTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QueuedCompletionTest, CallbackNeverRuns) {
  const bool delete_it = GetParam();
  Completion &victim = On(), &killer = On([&](Completion &) {
    GDispSem_V(sem_);  // the victim's completion is queued on this very group, behind us
    std::this_thread::sleep_for(5ms);
    if (delete_it) GDisp_Delete(victim.gd);
    else GDisp_Cancel(victim.gd);
  });
  GDisp_Group(killer.gd, victim.gd);
  ASSERT_EQ(GDispSem_P(sem_, victim.gd, Completion::Cb, &victim), 0);
  GDisp_Timer(killer.gd, 0, Completion::Cb, &killer);
  ASSERT_TRUE(killer.Wait(1));
  EXPECT_TRUE(victim.Still(0, 50));
  if (!delete_it) {  // a cancelled object takes new waits
    GDisp_Timer(victim.gd, 0, Completion::Cb, &victim);
    EXPECT_TRUE(victim.Wait(1));
  }
}

INSTANTIATE_TEST_SUITE_P(CancelAndDelete, QueuedCompletionTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Delete" : "Cancel"; });

}  // namespace
