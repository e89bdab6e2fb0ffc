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
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace fakes {

enum Call { kRead, kRecv, kReadv, kWrite, kSend, kWritev, kAny };

struct Action {
    int err = 0;         // non-zero: fail with this errno without calling
    ssize_t limit = -1;  // >= 0: transfer at most this many bytes
};

struct Record {
    Call call;
    size_t requested;          // bytes asked for
    std::vector<size_t> lens;  // entry lengths of a vectored call
};

struct State {
    std::mutex mu;
    int fd = -1;
    int writev_max_iov = 0;  // > 0: writev with more entries fails with EINVAL
    std::deque<Action> script[kAny];
    std::vector<Record> log;
} inline state;

// Starts scripting calls on fd, with an empty script and log.
inline void arm(int fd, int writev_max_iov = 0) {
    std::lock_guard<std::mutex> g(state.mu);
    state.fd = fd;
    state.writev_max_iov = writev_max_iov;
    for (auto &q : state.script) q.clear();
    state.log.clear();
}
inline void push(Call c, Action a) {
    std::lock_guard<std::mutex> g(state.mu);
    state.script[c].push_back(a);
}
inline void fail(Call c, int err) { push(c, {err, -1}); }

// Recorded calls of one kind (kAny: all), in order; the bytes each asked
// for; the entries of each writev.
inline std::vector<Record> calls(Call c = kAny) {
    std::lock_guard<std::mutex> g(state.mu);
    std::vector<Record> out;
    for (const Record &r : state.log)
        if (c == kAny || r.call == c) out.push_back(r);
    return out;
}
inline std::vector<size_t> sizes(Call c) {
    std::vector<size_t> out;
    for (const Record &r : calls(c)) out.push_back(r.requested);
    return out;
}
inline std::vector<int> entries() {
    std::vector<int> out;
    for (const Record &r : calls(kWritev)) out.push_back(int(r.lens.size()));
    return out;
}

template <typename Fn>
Fn real(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

inline size_t total(const struct iovec *iov, int n) {
    size_t t = 0;
    for (int i = 0; i < n; ++i) t += iov[i].iov_len;
    return t;
}

// A vectored call cut to at most m bytes' worth of entries (the last one cut).
template <typename Fn>
ssize_t vcall(Fn fn, int fd, const struct iovec *iov, int n, size_t m) {
    if (m >= total(iov, n)) return fn(fd, iov, n);
    std::vector<struct iovec> cut;
    for (int i = 0; i < n && m > 0; m -= cut.back().iov_len, ++i) {
        cut.push_back(iov[i]);
        if (cut.back().iov_len > m) cut.back().iov_len = m;
    }
    return cut.empty() ? 0 : fn(fd, cut.data(), int(cut.size()));
}

// One call of kind c for n bytes (cnt entries at iov): call(m) makes the
// real call for at most m bytes.
template <typename Fn>
ssize_t intercept(Call c, int fd, size_t n, const struct iovec *iov, int cnt, Fn call) {
    Action a;
    {
        std::unique_lock<std::mutex> g(state.mu);
        if (fd < 0 || fd != state.fd) {
            g.unlock();  // never hold the lock over a call that may block
            return call(n);
        }
        if (!state.script[c].empty()) {
            a = state.script[c].front();
            state.script[c].pop_front();
        }
        if (c == kWritev && !a.err && state.writev_max_iov > 0 && cnt > state.writev_max_iov) a.err = EINVAL;
    }
    ssize_t r = -1;
    if (a.err) errno = a.err;
    else r = call(a.limit >= 0 && size_t(a.limit) < n ? size_t(a.limit) : n);
    int saved = errno;
    std::lock_guard<std::mutex> g(state.mu);
    state.log.push_back({c, n, std::vector<size_t>(cnt)});
    for (int i = 0; i < cnt; ++i) state.log.back().lens[size_t(i)] = iov[i].iov_len;
    errno = saved;
    return r;
}

// A connected AF_UNIX stream pair; sv_[0] is the end under test. SIGPIPE is
// ignored and the fault script disarmed afterwards.
class SocketPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv_));
    }
    void TearDown() override {
        arm(-1);
        close(sv_[0]);
        close(sv_[1]);
    }
    // Everything that has arrived at the peer end so far, without waiting.
    std::string drain() {
        std::string out;
        char buf[65536];
        ssize_t n;
        for (int i = 0; i < 10000 && (n = ::recv(sv_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0; ++i) out.append(buf, size_t(n));
        return out;
    }
    int sv_[2];
};

}  // namespace fakes

#define FAKES_EXPORT extern "C" __attribute__((visibility("default")))
#define FAKES_PLAIN(name, kind, ...)                      \
    static auto fn = fakes::real<decltype(&name)>(#name); \
    return fakes::intercept(fakes::kind, fd, n, nullptr, 0, [&](size_t m) { return fn(fd, buf, m __VA_OPT__(, ) __VA_ARGS__); })
#define FAKES_VECTORED(name, kind)                        \
    static auto fn = fakes::real<decltype(&name)>(#name); \
    return fakes::intercept(fakes::kind, fd, fakes::total(iov, n), iov, n, [&](size_t m) { return fakes::vcall(fn, fd, iov, n, m); })

FAKES_EXPORT ssize_t read(int fd, void *buf, size_t n) { FAKES_PLAIN(read, kRead); }
FAKES_EXPORT ssize_t recv(int fd, void *buf, size_t n, int flags) { FAKES_PLAIN(recv, kRecv, flags); }
FAKES_EXPORT ssize_t write(int fd, const void *buf, size_t n) { FAKES_PLAIN(write, kWrite); }
FAKES_EXPORT ssize_t send(int fd, const void *buf, size_t n, int flags) { FAKES_PLAIN(send, kSend, flags); }
FAKES_EXPORT ssize_t readv(int fd, const struct iovec *iov, int n) { FAKES_VECTORED(readv, kReadv); }
FAKES_EXPORT ssize_t writev(int fd, const struct iovec *iov, int n) { FAKES_VECTORED(writev, kWritev); }

#endif
