// What every test program shares: bounded waiting, temporary directories
// and whole files, and the one process spawner.
//
//   wait_for   polls a condition, bounded in time
//   TempDir    a fresh directory under /tmp, removed with its contents
//              (kept, and named on stderr, when TOVI_TEST_KEEP is set)
//   scratch_file, pattern, read_n  an unnamed file, content for it, and
//              bounded reads
//   Child      a child process in its own process group: a program run with
//              exec, or a piece of test code run in the forked child; its
//              standard output and error are captured (apart, or together
//              for code that prints to both); the whole group is killed and
//              reaped when the object goes, whatever happened
//   run        a program (or test code) run to its end, bounded in time
//   emulated   TOVI_TEST_WRAPPER is set: words that Child puts in front of
//              every compiled program of the build tree it starts (a cross
//              build sets them to the emulator that runs the target's code)
//   Thunk      a lambda behind a C callback with a void * context
#ifndef TESTS_COMMON_TEST_SUPPORT_H
#define TESTS_COMMON_TEST_SUPPORT_H

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ts {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Polls cond every step_ms for at most timeout_ms; true when it held.
inline bool wait_for(const std::function<bool()> &cond, int timeout_ms = 5000, int step_ms = 5) {
    auto deadline = Clock::now() + milliseconds(timeout_ms);
    while (!cond()) {
        if (Clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(milliseconds(step_ms));
    }
    return true;
}

// ---------------------------------------------------------------- files

inline void remove_tree(const std::string &path) {
    std::error_code ec;  // whatever cannot be removed stays
    std::filesystem::remove_all(path, ec);
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline bool write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    return bool(f.flush());
}

inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);) out.push_back(l);
    return out;
}

inline int count_of(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// Names in a directory, sorted, without "." and "..".
inline std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

// An unnamed file under /tmp holding content, positioned at its start; it
// goes with its last descriptor. -1 when it cannot be made.
inline int scratch_file(const std::string &content = "") {
    int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 && (::write(fd, content.data(), content.size()) != ssize_t(content.size()) || lseek(fd, 0, SEEK_SET) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What fd gives until n bytes came, it ends, or timeout_ms pass without a
// byte; read at most `bite` bytes at a time.
inline std::string read_n(int fd, size_t n, int timeout_ms = 10000, size_t bite = 65536) {
    std::string got;
    std::vector<char> buf(bite);
    struct pollfd p = {fd, POLLIN, 0};
    for (ssize_t r; got.size() < n && poll(&p, 1, timeout_ms) == 1 && (r = ::read(fd, buf.data(), std::min(bite, n - got.size()))) > 0;)
        got.append(buf.data(), size_t(r));
    return got;
}

// n letters without a short period: a range taken from the wrong offset
// does not compare equal by chance.
inline std::string pattern(size_t n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; i++) s[i] = char('a' + (i + i / 26 + i / 676 + i / 17576) % 26);
    return s;
}

class TempDir {
  public:
    explicit TempDir(const char *prefix = "tovi-test") {
        std::string tmpl = std::string("/tmp/") + prefix + ".XXXXXX";
        if (mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        if (path_.empty()) return;
        if (getenv("TOVI_TEST_KEEP")) fprintf(stderr, "kept %s\n", path_.c_str());
        else remove_tree(path_);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Makes <dir>/<name> (and its parents) and returns its path.
    std::string mkdirs(const std::string &name) const {
        std::string p = path_;
        std::istringstream parts(name);
        for (std::string part; std::getline(parts, part, '/');)
            if (!part.empty()) mkdir((p += "/" + part).c_str(), 0755);
        return p;
    }

  private:
    std::string path_;
};

// ---------------------------------------------------------------- processes

inline bool emulated() { return getenv("TOVI_TEST_WRAPPER") && *getenv("TOVI_TEST_WRAPPER"); }

// argv behind the wrapper's words when argv[0] is an ELF file of the build
// tree (scripts there run as they are); argv itself otherwise.
inline std::vector<std::string> wrapped(const std::vector<std::string> &argv) {
    char magic[4] = {};
    if (!emulated() || argv.empty() || argv[0].rfind(TOVI_BUILD_DIR "/", 0) != 0 ||
        !std::ifstream(argv[0], std::ios::binary).read(magic, 4) ||
        memcmp(magic,
               "\x7f"
               "ELF",
               4) != 0)
        return argv;
    std::vector<std::string> all;
    std::istringstream words(getenv("TOVI_TEST_WRAPPER"));
    for (std::string w; words >> w;) all.push_back(w);
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
}

class Child {
  public:
    enum Output { Apart, Together };  // stderr on its own pipe, or into stdout's

    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { kill_group(); }

    // Runs argv[0] with exec (behind the wrapper, above). `env` (NAME=value)
    // is added to the environment after the names in `unset` are removed
    // from it. Standard input is /dev/null.
    bool spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {}, const std::vector<std::string> &unset = {},
               Output mode = Apart) {
        return start(
            [&, all = wrapped(argv)]() -> int {
                for (auto &n : unset) unsetenv(n.c_str());
                for (auto &e : env) putenv(strdup(e.c_str()));
                std::vector<char *> av;
                for (auto &a : all) av.push_back(const_cast<char *>(a.c_str()));
                av.push_back(nullptr);
                execv(av[0], av.data());
                return 127;
            },
            mode);
    }
    // Runs body in the forked child, which then exits with its result.
    bool fork_run(const std::function<int()> &body, Output mode = Together) { return start(body, mode); }

    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0 || exited_) return false;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == 0 || (r < 0 && errno != ECHILD)) return true;
        if (r == pid_) {
            note_exit(st);
        } else {
            // A SIGCHLD reaper of the code under test took the child first.
            exited_ = true;
            status_ = reaped_status ? reaped_status(pid_) : -1;
        }
        return false;
    }
    // Where a reaper of the code under test keeps the statuses it took
    // (for example process_wait); null: such a child ends with status -1.
    static inline int (*reaped_status)(pid_t) = nullptr;
    // The exit status (0..255), -signal when a signal ended it, or INT32_MIN
    // while it still runs when the time is up.
    int wait_exit(int timeout_ms = 5000) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (running()) {
            if (remaining_ms(deadline) == 0) return INT32_MIN;
            drain();
            std::this_thread::sleep_for(milliseconds(5));
        }
        drain();
        return status_;
    }
    int status() const { return status_; }
    bool exited() const { return exited_; }
    void signal(int sig) {
        if (pid_ > 0 && !exited_) kill(pid_, sig);
    }
    // Standard output and error collected so far.
    const std::string &out() { return drain(), out_; }
    const std::string &err() { return drain(), err_; }
    // Live processes of the child's process group (forked ones included).
    int group_size() const {
        int n = 0;
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(pid_ > 0 ? "/proc" : "", ec)) {
            if (!isdigit(e.path().filename().c_str()[0])) continue;
            std::string st = read_file(e.path().string() + "/stat");
            size_t rp = st.rfind(')');
            char state;
            int ppid, pgrp;
            n += rp != std::string::npos && sscanf(st.c_str() + rp + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && pgrp == pid_ &&
                 state != 'Z';
        }
        return n;
    }
    // Kills the whole group, reaps the child and waits (bounded) until
    // reparented members are gone too.
    void kill_group() {
        if (pid_ > 0) {
            // A coverage run keeps the counters of a process only when it
            // ends on its own: ask first (bounded).
            if (getenv("TOVI_COVERAGE")) {
                kill(-pid_, SIGTERM);
                wait_for([&] { return group_size() == 0; }, 3000, 10);
            }
            kill(-pid_, SIGKILL);
            if (!exited_) {
                int st;
                if (waitpid(pid_, &st, 0) == pid_) note_exit(st);
            }
            wait_for([&] { return group_size() == 0; }, 2000);
            drain();
        }
        for (int *fd : {&out_fd_, &err_fd_})
            if (*fd >= 0) ::close(std::exchange(*fd, -1));
        pid_ = -1;
    }

  private:
    bool start(const std::function<int()> &body, Output mode) {
        int po[2], pe[2] = {-1, -1};
        if (pipe2(po, O_CLOEXEC) != 0) return false;
        if (mode == Apart && pipe2(pe, O_CLOEXEC) != 0) return false;
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
            dup2(po[1], 1);
            dup2(mode == Apart ? pe[1] : po[1], 2);
            int rc = body();
            fflush(nullptr);
            _exit(rc);
        }
        if (pid_ > 0) setpgid(pid_, pid_);
        ::close(po[1]);
        if (pe[1] >= 0) ::close(pe[1]);
        out_fd_ = po[0];
        err_fd_ = pe[0];
        for (int fd : {out_fd_, err_fd_})
            if (fd >= 0) fcntl(fd, F_SETFL, O_NONBLOCK);
        exited_ = false;
        status_ = INT32_MIN;
        return pid_ > 0;
    }
    void note_exit(int st) {
        exited_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    }
    void drain() {
        char buf[4096];
        ssize_t n;
        while (out_fd_ >= 0 && (n = ::read(out_fd_, buf, sizeof buf)) > 0) out_.append(buf, size_t(n));
        while (err_fd_ >= 0 && (n = ::read(err_fd_, buf, sizeof buf)) > 0) err_.append(buf, size_t(n));
    }

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    bool exited_ = false;
    int status_ = INT32_MIN;
};

struct Result {
    bool exited = false;     // false: still running when the time was up (then killed)
    int status = INT32_MIN;  // exit status, or -signal
    std::string out, err;
};

// What a started child left when it ended or its time was up.
inline Result result_of(Child &c, bool started, int timeout_ms) {
    Result r;
    if (!started) return r;
    r.status = c.wait_exit(timeout_ms);
    r.exited = c.exited();
    r.out = c.out();
    r.err = c.err();
    return r;
}

// Runs a program to its end, bounded in time.
inline Result run(const std::vector<std::string> &argv, int timeout_ms = 10000, const std::vector<std::string> &env = {},
                  const std::vector<std::string> &unset = {}) {
    Child c;
    return result_of(c, c.spawn(argv, env, unset), timeout_ms);
}

// Runs test code in a forked child to its end (output and error together in
// `out`), bounded in time: for code that changes process-wide state or ends
// the process.
inline Result run_in_child(const std::function<int()> &body, int timeout_ms = 10000) {
    Child c;
    return result_of(c, c.fork_run(body), timeout_ms);
}

// A C callback that takes its context as a void * made from a lambda: pass
// &thunk as the context and Thunk::first (context first) or Thunk::last
// (context last) as the function.
template <class R, class... A>
struct Thunk {
    std::function<R(A...)> fn;
    static R first(void *t, A... a) { return static_cast<Thunk *>(t)->fn(a...); }
    static R last(A... a, void *t) { return static_cast<Thunk *>(t)->fn(a...); }
};

}  // namespace ts

#endif
