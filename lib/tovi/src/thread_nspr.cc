// Sleeping, process id and child processes.
//
// Every routine that forks installs the SIGCHLD reaper first, so children
// never linger as zombies.  Because the reaper collects every child, it
// also notes each child's wait status in a small lock-free ring; a later
// process_wait() for a child that the reaper got to first reads the status
// from there instead of failing.  The ring is written only by the handler
// (which may run in any thread, several at once) and read by process_wait.
#include "tovi/thread.h"

#include <fcntl.h>
#include <prinit.h>
#include <prinrval.h>
#include <prthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct ReapedChild {
  std::atomic<pid_t> pid{0};  // 0 while free or being written
  std::atomic<int> status{0};
};

constexpr unsigned kReapedSlots = 64;
ReapedChild reaped[kReapedSlots];
std::atomic<unsigned> reaped_next{0};
// Handlers between their waitpid() and the ring write; process_wait()
// waits for them before it concludes a child is unknown.
std::atomic<int> reaping{0};

static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the reaper runs in a signal handler");

void _note_reaped(pid_t pid, int status) {
  ReapedChild &slot = reaped[reaped_next.fetch_add(1, std::memory_order_relaxed) % kReapedSlots];
  slot.pid.store(0, std::memory_order_relaxed);
  slot.status.store(status, std::memory_order_relaxed);
  slot.pid.store(pid, std::memory_order_release);
}

// Takes the newest status noted for pid out of the ring.
bool _take_reaped(pid_t pid, int *status) {
  unsigned end = reaped_next.load(std::memory_order_acquire);
  for (unsigned n = 0; n < kReapedSlots; n++) {
    ReapedChild &slot = reaped[(end - 1 - n) % kReapedSlots];
    pid_t expected = pid;
    if (slot.pid.load(std::memory_order_acquire) != pid)
      continue;
    int st = slot.status.load(std::memory_order_relaxed);
    if (slot.pid.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
      *status = st;
      return true;
    }
  }
  return false;
}

void sigchld_handler(int) {
  int saved = errno;
  reaping.fetch_add(1, std::memory_order_acq_rel);
  for (;;) {
    int status;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      _note_reaped(pid, status);
      continue;
    }
    if (pid < 0 && errno == EINTR)
      continue;
    break;  // 0: children left but none exited; ECHILD or other: none left
  }
  reaping.fetch_sub(1, std::memory_order_acq_rel);
  errno = saved;
}

void _ignore_sigpipe() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
}

PRCallOnceType initted;

PRStatus _install_reaper() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = sigchld_handler;
  sigemptyset(&sa.sa_mask);
  // Stopped children are not news for the reaper; SA_RESTART keeps the
  // rest of the process from seeing EINTR for every exiting child.
  sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigaction(SIGCHLD, &sa, nullptr);
  return PR_SUCCESS;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
// Every source is first copied above the target range so that a target
// overwritten early (a swap such as {1, 0}) is still read correctly.
constexpr int kMaxMappedFds = 256;

void _map_descriptors(const int *fds) {
  int n = 0;
  while (n < kMaxMappedFds && fds[n] != -1)
    n++;
  int copies[kMaxMappedFds];
  for (int i = 0; i < n; i++) {
    copies[i] = -1;
    if (fds[i] == i) {
      // Asked for by name: make sure it survives the exec.
      int fl = fcntl(i, F_GETFD);
      if (fl < 0 || fcntl(i, F_SETFD, fl & ~FD_CLOEXEC) < 0)
        _exit(errno);
      continue;
    }
    copies[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, n);
    if (copies[i] < 0)
      _exit(errno);
  }
  for (int i = 0; i < n; i++)
    if (copies[i] >= 0 && dup2(copies[i], i) < 0)
      _exit(errno);
  for (int i = 0; i < n; i++) {
    if (copies[i] < 0)
      continue;
    close(copies[i]);
    if (fds[i] >= n)
      close(fds[i]);  // lower ones were replaced by dup2
  }
}

}  // namespace

extern "C" {

void tovi_sleep(unsigned int sec) {
  // NSPR intervals are 32-bit tick counts; sleep long spans in pieces.
  constexpr unsigned int kChunk = 3600;
  do {
    unsigned int now = sec < kChunk ? sec : kChunk;
    PR_Sleep(PR_SecondsToInterval(now));
    sec -= now;
  } while (sec > 0);
}

void tovi_usleep(unsigned int usec) { PR_Sleep(PR_MicrosecondsToInterval(usec)); }

pid_t process_id(void) { return getpid(); }

void initthreads(void) { PR_CallOnce(&initted, _install_reaper); }

int process_new(char *const args[], const int *fds, tovi_process *hdl) {
  if (args == nullptr || args[0] == nullptr) {
    errno = EINVAL;
    return -1;
  }
  initthreads();
  pid_t pid = fork();
  if (pid < 0)
    return -1;
  if (pid == 0) {
    _ignore_sigpipe();
    if (fds && fds[0] != -1)
      _map_descriptors(fds);
    execv(args[0], args);
    _exit(errno);
  }
  if (hdl)
    *hdl = pid;
  return 0;
}

int process_wait(tovi_process hdl) {
  // waitpid would take 0 and negative ids as "any child of a group".
  if (hdl <= 0) {
    errno = ECHILD;
    return -1;
  }
  int status;
  pid_t got;
  while ((got = waitpid(hdl, &status, 0)) < 0 && errno == EINTR) {
  }
  if (got < 0 && errno == ECHILD) {
    // Maybe the reaper took it: let handlers that are mid-way finish.
    for (int spins = 0; reaping.load(std::memory_order_acquire) > 0 && spins < 100000; spins++)
      sched_yield();
    if (_take_reaped(hdl, &status))
      got = hdl;
  }
  if (got != hdl || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

int detachprocess(void) {
  initthreads();
  // Output still buffered would otherwise be written by both processes.
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid > 0)
    std::exit(0);
  return pid < 0 ? -1 : 0;
}

pid_t forkprocess(void) {
  initthreads();
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0)
    _ignore_sigpipe();
  return pid;
}

}  // extern "C"
