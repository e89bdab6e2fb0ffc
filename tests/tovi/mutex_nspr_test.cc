// Mutexes through the real library: mutual exclusion between threads and
// the calls that are deliberately inert.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tovi/mutex.h"

namespace {

TEST(Mutex, GuardsACounterAcrossThreadsAndTryNeverClaimsIt) {
  tovi_mutex mtx = mutex_open();
  EXPECT_EQ(-1, mutex_try(mtx));  // even unlocked: a caller must not think it holds it
  EXPECT_EQ(0, mutex_spin_count(mtx, 4000));
  long counter = 0;  // a plain variable: the mutex alone protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; i++) {
        ASSERT_EQ(0, mutex_hold(mtx));
        long seen = counter;
        counter = seen + 1;
        ASSERT_EQ(0, mutex_release(mtx));
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(80000, counter);
  mutex_close(mtx);
}

}  // namespace
