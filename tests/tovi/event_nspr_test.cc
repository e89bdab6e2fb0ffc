// Events through the real library: waking a waiting thread, timeouts, and
// a set that nobody waits for being lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tovi/event.h"

namespace {

using std::chrono::milliseconds;

TEST(Event, SetWakesAWaitingThreadAndAWaitEndsAfterItsTimeoutForgettingEarlierSets) {
  tovi_event evt = event_open();
  std::atomic<bool> go{false}, woke{false};
  std::thread waiter([&] {
    // Spurious wake-ups are allowed: wait until the condition holds.
    for (int i = 0; i < 1000 && !go; i++) EXPECT_EQ(0, event_wait(evt, TOVI_EVENT_FOREVER));
    woke = true;
  });
  std::this_thread::sleep_for(milliseconds(20));
  go = true;
  // A set made before the waiter waits is lost, so keep setting (bounded).
  for (int i = 0; i < 500 && !woke; i++) {
    EXPECT_EQ(0, event_set(evt));
    std::this_thread::sleep_for(milliseconds(10));
  }
  waiter.join();
  EXPECT_TRUE(woke);
  event_close(evt);
  // A wait ends after its timeout; sets nobody waited for are forgotten.
  evt = event_open();
  EXPECT_EQ(0, event_set(evt));  // nobody waits: lost
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, event_wait(evt, 150));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(140));
  event_close(evt);
  EXPECT_EQ(-1, event_set(nullptr));
  EXPECT_EQ(-1, event_wait(nullptr, 1));
  event_close(nullptr);
}

}  // namespace
