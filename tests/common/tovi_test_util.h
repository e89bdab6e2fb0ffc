// Helpers of the runtime library's tests.
//   RunInChild  runs a piece of test code in a forked child with its standard
//               output and error captured, bounded in time; for code that
//               changes process-wide state (signal handlers, sessions,
//               counters, resource limits) or ends the process.
//   TempDir     a fresh directory under /tmp, removed with its contents.
#ifndef TESTS_COMMON_TOVI_TEST_UTIL_H
#define TESTS_COMMON_TOVI_TEST_UTIL_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <string>

#include "tovi/thread.h"

namespace tovi_test {

struct ChildResult {
  int exit_code = -1;    // 0..255 when the child exited, else -1
  int term_signal = 0;   // signal that ended the child, 0 if none
  bool timed_out = false;
  std::string output;    // standard output and error, interleaved
};

// Forks; the child runs body() with stdout and stderr on a pipe and exits
// with its result.  The child is killed after timeout_ms.
inline ChildResult RunInChild(const std::function<int()> &body, int timeout_ms = 10000) {
  ChildResult res;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return res;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return res;
  }
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    int rc = body();
    std::fflush(nullptr);
    _exit(rc);
  }
  close(out[1]);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      res.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd pfd{out[0], POLLIN, 0};
    int n = poll(&pfd, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    ssize_t got = read(out[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // every writer has gone
    res.output.append(buf, static_cast<size_t>(got));
  }
  close(out[0]);

  int status = 0;
  pid_t got;
  while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (got == pid) {
    if (WIFEXITED(status)) res.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) res.term_signal = WTERMSIG(status);
  } else {
    // The library's SIGCHLD reaper (installed by a test) took the child.
    res.exit_code = process_wait(pid);
  }
  return res;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tovi-test-XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace tovi_test

#endif
