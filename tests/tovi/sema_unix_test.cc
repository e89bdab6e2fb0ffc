// Semaphores through the real library: initial counts, producers and
// consumers across threads, and waits that a signal interrupts.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tovi/sema.h"

namespace {

using std::chrono::milliseconds;

std::atomic<int> usr1_seen{0};

TEST(Sema, StartCountIsAvailableWaitsBlockProducersBalanceConsumersASignalDoesNotEndAWaitAndBadHandlesAreErrors) {
  tovi_sema sem = nullptr;
  ASSERT_EQ(0, tovi_sema_init(&sem, 10, 2));
  EXPECT_EQ(0, tovi_sema_wait(&sem) | tovi_sema_wait(&sem));
  std::atomic<int> consumed{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; c++)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; i++) consumed += tovi_sema_wait(&sem) == 0;
    });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(0, consumed.load()) << "the start count is used up";
  for (int p = 0; p < 4; p++)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; i++) ASSERT_EQ(0, tovi_sema_post(&sem));
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(4000, consumed.load());
  EXPECT_EQ(0, tovi_sema_destroy(&sem));
  EXPECT_EQ(nullptr, sem);
  // A signal during a wait does not end it.
  struct sigaction sa {};
  sa.sa_handler = [](int) { usr1_seen++; };
  sigemptyset(&sa.sa_mask);  // no SA_RESTART: sem_wait sees EINTR
  ASSERT_EQ(0, sigaction(SIGUSR1, &sa, nullptr));
  ASSERT_EQ(0, tovi_sema_init(&sem, 1, 0));
  std::atomic<int> result{99};
  std::thread waiter([&] { result = tovi_sema_wait(&sem); });
  for (int i = 0; i < 200 && usr1_seen < 3; i++) {
    std::this_thread::sleep_for(milliseconds(10));
    pthread_kill(waiter.native_handle(), SIGUSR1);
  }
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(99, result.load());  // still waiting
  EXPECT_EQ(0, tovi_sema_post(&sem));
  waiter.join();
  EXPECT_EQ(0, result.load());
  EXPECT_EQ(0, tovi_sema_destroy(&sem));
  signal(SIGUSR1, SIG_DFL);
  // A missing handle is an error; a failed init leaves none behind.
  EXPECT_EQ(-1, tovi_sema_init(nullptr, 1, 1));
  EXPECT_EQ(EINVAL, errno);
  tovi_sema none = nullptr;
  for (auto *fn : {tovi_sema_wait, tovi_sema_post, tovi_sema_destroy}) EXPECT_EQ(-2, fn(&none) + fn(nullptr));
  tovi_sema bad = reinterpret_cast<tovi_sema>(0x1);
  EXPECT_EQ(-1, tovi_sema_init(&bad, 1, unsigned(SEM_VALUE_MAX) + 1u));
  EXPECT_EQ(nullptr, bad);  // no invalid handle is left behind
}

}  // namespace
