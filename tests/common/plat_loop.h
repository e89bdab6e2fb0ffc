// Test helpers for the platform library: a dispatch context whose loop runs
// on a thread of the test, the one completion record every callback of a
// test goes through, and loopback connections.
#ifndef TESTS_COMMON_PLAT_LOOP_H
#define TESTS_COMMON_PLAT_LOOP_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <thread>
#include <utility>

#include "plat/asock.h"
#include "plat/gdisp.h"
#include "test_support.h"

namespace plattest {

// Counts callbacks: at each it notes the object's async error, then runs
// `then` (re-arm, read, delete...) inside the callback. `status` receives
// the result of a background write.
struct Completion {
    explicit Completion(GDisp *g = nullptr, std::function<void(Completion &)> t = {}) : gd(g), then(std::move(t)) {}
    GDisp *gd;
    std::function<void(Completion &)> then;
    int status = 12345;
    std::atomic<int> n{0};
    std::atomic<int> err{-1};
    static void Cb(void *p) {
        auto *c = static_cast<Completion *>(p);
        c->err = GDisp_GetAsyncError(c->gd);
        if (c->then) c->then(*c);
        c->n++;
    }
    // Waits (bounded) until at least `count` callbacks have run.
    bool Wait(int count, int timeout_ms = 5000) {
        return ts::wait_for([&] { return n.load() >= count; }, timeout_ms, 1);
    }
    // After a pause, whether exactly `count` callbacks have run.
    bool Still(int count, int pause_ms = 30) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        return n.load() == count;
    }
};

// A context with its loop running on a background thread; the destructor
// shuts it down and deletes it.
class RunningCx {
  public:
    explicit RunningCx(int threads = 4) : cx_(GDispCx_New(2, threads, 65536)) {
        thread_ = std::thread([this] { GDispCx_DispatchLoop(cx_); });
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

  private:
    GDispCx *cx_;
    std::thread thread_;
};

// A fixture with a context running on `threads` workers. On() makes a
// completion record on a new object of it; the objects go with the
// context, which goes before the records.
template <int threads = 4>
class LoopTest : public ::testing::Test {
  protected:
    Completion &On(std::function<void(Completion &)> then = {}) { return done_.emplace_back(GDisp_New(r_.cx()), std::move(then)); }
    std::deque<Completion> done_;
    RunningCx r_{threads};
};

inline struct sockaddr_in Loopback(int port) {
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

inline int PortOf(ASock *s) {
    struct sockaddr_in sin = {};
    socklen_t l = sizeof sin;
    getsockname(ASock_GetFd(s), reinterpret_cast<struct sockaddr *>(&sin), &l);
    return ntohs(sin.sin_port);
}

// A blocking client connected to 127.0.0.1:port, or -1.
inline int Dial(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sin = Loopback(port);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) == 0) return fd;
    close(fd);
    return -1;
}

// The next connection of a listening socket, waiting for it (bounded).
inline ASock *AcceptOne(ASock *listener) {
    struct pollfd p = {ASock_GetFd(listener), POLLIN, 0};
    return poll(&p, 1, 5000) == 1 ? ASock_Accept(listener, nullptr, nullptr, 0, 0) : nullptr;
}

}  // namespace plattest

#endif
