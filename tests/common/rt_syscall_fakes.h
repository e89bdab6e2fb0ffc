// Fault injection for the runtime library's I/O: the test program defines
// the system calls libtovi makes, so its calls (through the PLT) land here
// first. Calls on the one armed descriptor follow a script of results
// (fail with an errno, or transfer at most N bytes) and are recorded; every
// other call, and armed calls once the script is empty, go to the real
// function. Include this header in exactly one source file of a test
// program.
#ifndef TESTS_COMMON_RT_SYSCALL_FAKES_H
#define TESTS_COMMON_RT_SYSCALL_FAKES_H

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace fakes {

enum Call { kRead, kRecv, kReadv, kWrite, kSend, kWritev, kNumCalls };

struct Action {
  int err = 0;         // non-zero: fail with this errno without calling
  ssize_t limit = -1;  // >= 0: transfer at most this many bytes
};

struct Record {
  Call call;
  size_t requested;  // bytes asked for
  int iovcnt;        // entries of a vectored call, else 0
  ssize_t result;
  std::vector<size_t> lens;  // entry lengths of a vectored call
};

struct State {
  std::mutex mu;
  int fd = -1;
  int writev_max_iov = 0;  // > 0: writev with more entries fails with EINVAL
  std::deque<Action> script[kNumCalls];
  std::vector<Record> log;
};

inline State &state() {
  static State s;
  return s;
}

// Start scripting calls on fd, with an empty script and log.
inline void arm(int fd) {
  State &s = state();
  std::lock_guard<std::mutex> g(s.mu);
  s.fd = fd;
  s.writev_max_iov = 0;
  for (auto &q : s.script)
    q.clear();
  s.log.clear();
}

inline void disarm() { arm(-1); }

inline void fail(Call c, int err, int times = 1) {
  std::lock_guard<std::mutex> g(state().mu);
  for (int i = 0; i < times; ++i)
    state().script[c].push_back(Action{err, -1});
}

inline void shorten(Call c, ssize_t limit) {
  std::lock_guard<std::mutex> g(state().mu);
  state().script[c].push_back(Action{0, limit});
}

inline void limit_writev_entries(int n) {
  std::lock_guard<std::mutex> g(state().mu);
  state().writev_max_iov = n;
}

// Recorded calls of one kind, in order.
inline std::vector<Record> calls(Call c) {
  std::lock_guard<std::mutex> g(state().mu);
  std::vector<Record> out;
  for (const Record &r : state().log)
    if (r.call == c)
      out.push_back(r);
  return out;
}

inline std::vector<Record> all_calls() {
  std::lock_guard<std::mutex> g(state().mu);
  return state().log;
}

template <typename Fn>
Fn real(const char *name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

inline size_t iov_total(const struct iovec *iov, int n) {
  size_t t = 0;
  for (int i = 0; i < n; ++i)
    t += iov[i].iov_len;
  return t;
}

// Decides one armed call: returns false when the call is not scripted.
inline bool next(int fd, Call c, Action *a) {
  State &s = state();
  std::lock_guard<std::mutex> g(s.mu);
  if (fd != s.fd || fd < 0)
    return false;
  if (!s.script[c].empty()) {
    *a = s.script[c].front();
    s.script[c].pop_front();
  } else {
    *a = Action{};
  }
  return true;
}

inline ssize_t note(Call c, size_t requested, int iovcnt, ssize_t result, const struct iovec *iov = nullptr) {
  int saved = errno;
  {
    std::lock_guard<std::mutex> g(state().mu);
    Record r{c, requested, iovcnt, result, {}};
    for (int i = 0; iov && i < iovcnt; ++i)
      r.lens.push_back(iov[i].iov_len);
    state().log.push_back(r);
  }
  errno = saved;
  return result;
}

inline size_t clamp(size_t n, const Action &a) {
  return a.limit >= 0 && static_cast<size_t>(a.limit) < n ? static_cast<size_t>(a.limit) : n;
}

// Copies at most limit bytes' worth of entries into out (the last one cut).
inline int cut_iov(const struct iovec *iov, int n, size_t limit, std::vector<struct iovec> *out) {
  for (int i = 0; i < n && limit > 0; ++i) {
    struct iovec e = iov[i];
    if (e.iov_len > limit)
      e.iov_len = limit;
    limit -= e.iov_len;
    out->push_back(e);
  }
  return static_cast<int>(out->size());
}

}  // namespace fakes

namespace fakes {

// A connected AF_UNIX stream pair; sv_[0] is the end under test. SIGPIPE is
// ignored and the fault script disarmed afterwards.
class SocketPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv_));
  }
  void TearDown() override {
    disarm();
    close(sv_[0]);
    close(sv_[1]);
  }
  // Everything that has arrived at fd so far, without waiting.
  std::string drain(int fd) {
    std::string out;
    char buf[65536];
    for (int i = 0; i < 10000; ++i) {
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0)
        break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  std::string drain() { return drain(sv_[1]); }
  int sv_[2];
};

}  // namespace fakes

#define FAKES_EXPORT __attribute__((visibility("default")))

extern "C" {

FAKES_EXPORT ssize_t read(int fd, void *buf, size_t n) {
  static auto fn = fakes::real<ssize_t (*)(int, void *, size_t)>("read");
  fakes::Action a;
  if (!fakes::next(fd, fakes::kRead, &a))
    return fn(fd, buf, n);
  if (a.err) {
    errno = a.err;
    return fakes::note(fakes::kRead, n, 0, -1);
  }
  return fakes::note(fakes::kRead, n, 0, fn(fd, buf, fakes::clamp(n, a)));
}

FAKES_EXPORT ssize_t recv(int fd, void *buf, size_t n, int flags) {
  static auto fn = fakes::real<ssize_t (*)(int, void *, size_t, int)>("recv");
  fakes::Action a;
  if (!fakes::next(fd, fakes::kRecv, &a))
    return fn(fd, buf, n, flags);
  if (a.err) {
    errno = a.err;
    return fakes::note(fakes::kRecv, n, 0, -1);
  }
  return fakes::note(fakes::kRecv, n, 0, fn(fd, buf, fakes::clamp(n, a), flags));
}

FAKES_EXPORT ssize_t readv(int fd, const struct iovec *iov, int n) {
  static auto fn = fakes::real<ssize_t (*)(int, const struct iovec *, int)>("readv");
  fakes::Action a;
  if (!fakes::next(fd, fakes::kReadv, &a))
    return fn(fd, iov, n);
  size_t total = fakes::iov_total(iov, n);
  if (a.err) {
    errno = a.err;
    return fakes::note(fakes::kReadv, total, n, -1);
  }
  return fakes::note(fakes::kReadv, total, n, fn(fd, iov, n));
}

FAKES_EXPORT ssize_t write(int fd, const void *buf, size_t n) {
  static auto fn = fakes::real<ssize_t (*)(int, const void *, size_t)>("write");
  fakes::Action a;
  if (!fakes::next(fd, fakes::kWrite, &a))
    return fn(fd, buf, n);
  if (a.err) {
    errno = a.err;
    return fakes::note(fakes::kWrite, n, 0, -1);
  }
  return fakes::note(fakes::kWrite, n, 0, fn(fd, buf, fakes::clamp(n, a)));
}

FAKES_EXPORT ssize_t send(int fd, const void *buf, size_t n, int flags) {
  static auto fn = fakes::real<ssize_t (*)(int, const void *, size_t, int)>("send");
  fakes::Action a;
  if (!fakes::next(fd, fakes::kSend, &a))
    return fn(fd, buf, n, flags);
  if (a.err) {
    errno = a.err;
    return fakes::note(fakes::kSend, n, 0, -1);
  }
  return fakes::note(fakes::kSend, n, 0, fn(fd, buf, fakes::clamp(n, a), flags));
}

FAKES_EXPORT ssize_t writev(int fd, const struct iovec *iov, int n) {
  static auto fn = fakes::real<ssize_t (*)(int, const struct iovec *, int)>("writev");
  fakes::Action a;
  if (!fakes::next(fd, fakes::kWritev, &a))
    return fn(fd, iov, n);
  size_t total = fakes::iov_total(iov, n);
  int max_iov;
  {
    std::lock_guard<std::mutex> g(fakes::state().mu);
    max_iov = fakes::state().writev_max_iov;
  }
  if (a.err == 0 && max_iov > 0 && n > max_iov)
    a.err = EINVAL;
  if (a.err) {
    errno = a.err;
    return fakes::note(fakes::kWritev, total, n, -1, iov);
  }
  if (a.limit < 0)
    return fakes::note(fakes::kWritev, total, n, fn(fd, iov, n), iov);
  std::vector<struct iovec> cut;
  int m = fakes::cut_iov(iov, n, static_cast<size_t>(a.limit), &cut);
  return fakes::note(fakes::kWritev, total, n, m ? fn(fd, cut.data(), m) : 0, iov);
}

}  // extern "C"

#endif
