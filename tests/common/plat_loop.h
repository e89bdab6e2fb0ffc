// Test helpers for the platform library: a dispatch context whose loop runs
// on a thread of the test, and bounded waiting for conditions.
#ifndef TESTS_COMMON_PLAT_LOOP_H
#define TESTS_COMMON_PLAT_LOOP_H

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "plat/gdisp.h"

namespace plattest {

// Polls cond every millisecond for at most `limit`; true when it held.
inline bool WaitFor(const std::function<bool()> &cond,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Counts callbacks and notes the object's async error at each; `status`
// receives the result of a background write.
struct Completion {
  GDisp *gd = nullptr;
  int status = 12345;
  std::atomic<int> n{0};
  std::atomic<int> err{-1};
  static void Cb(void *p) {
    auto *c = static_cast<Completion *>(p);
    c->err = GDisp_GetAsyncError(c->gd);
    c->n++;
  }
};

// A context with its loop running on a background thread; the destructor
// shuts it down and deletes it.
class RunningCx {
 public:
  explicit RunningCx(int threads = 4) : cx_(GDispCx_New(2, threads, 65536)) {
    thread_ = std::thread([this] {
      rc_ = GDispCx_DispatchLoop(cx_);
      done_ = true;
    });
  }
  RunningCx(const RunningCx &) = delete;
  RunningCx &operator=(const RunningCx &) = delete;
  ~RunningCx() {
    Stop();
    GDispCx_Delete(cx_);
  }
  void Stop() {
    if (thread_.joinable()) {
      GDispCx_Shutdown(cx_);
      thread_.join();
    }
  }
  GDispCx *cx() const { return cx_; }
  bool done() const { return done_; }
  int rc() const { return rc_; }

 private:
  GDispCx *cx_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  int rc_ = -99;
};

}  // namespace plattest

#endif
