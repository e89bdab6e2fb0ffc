// Processes and sleeping through the real library: descriptor maps of
// process_new (also the swapped map that a naive in-order dup2 breaks),
// exit codes from process_wait (also for children the SIGCHLD reaper
// collected first), forkprocess, detachprocess, and sleeping threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tovi/thread.h"
#include "tovi_test_util.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using tovi_test::RunInChild;

// Moves descriptor from onto to (closing from), whatever numbers they have.
void MoveFd(int from, int to) {
  if (from == to) return;
  dup2(from, to);
  close(from);
}

int Shell(const char *script, const int *fds = nullptr, tovi_process *hdl = nullptr) {
  char sh[] = "/bin/sh", c[] = "-c";
  std::string body = script;
  char *args[] = {sh, c, body.data(), nullptr};
  return process_new(args, fds, hdl);
}

TEST(ProcessNew, MapsDescriptorFiveToStandardInputAndClosesIt) {
  auto res = RunInChild([] {
    int in[2];
    if (pipe(in) != 0) return 50;
    if (write(in[1], "from five\n", 10) != 10) return 51;
    close(in[1]);
    MoveFd(in[0], 5);
    const int fds[] = {5, 1, 2, -1};
    tovi_process h = 0;
    if (Shell("cat; if [ -e /proc/self/fd/5 ]; then echo five-open; else echo five-closed; fi", fds, &h) != 0)
      return 52;
    return process_wait(h);
  });
  EXPECT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("from five\nfive-closed\n", res.output);
}

TEST(ProcessNew, SwappedDescriptorsRegressionBothSurvive) {
  // fds {1, 0, 2}: the child's input is our 1 and its output our 0.  Done
  // in index order with dup2, the second copy would read an already
  // replaced descriptor.
  auto res = RunInChild([] {
    int q[2], p[2];
    if (pipe(q) != 0 || pipe(p) != 0) return 50;
    int q_write = fcntl(q[1], F_DUPFD_CLOEXEC, 10), p_read = fcntl(p[0], F_DUPFD_CLOEXEC, 10);
    close(q[1]);
    close(p[0]);
    MoveFd(q[0], 1);  // from here on only stderr reaches the test
    MoveFd(p[1], 0);
    const int fds[] = {1, 0, 2, -1};
    tovi_process h = 0;
    char cat[] = "/bin/cat";
    char *args[] = {cat, nullptr};
    if (process_new(args, fds, &h) != 0) return 51;
    close(0);
    close(1);
    if (write(q_write, "swapped", 7) != 7) return 52;
    close(q_write);
    char buf[64];
    std::string got;
    for (int i = 0; i < 100; i++) {
      ssize_t n = read(p_read, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    std::fprintf(stderr, "%s|%d", got.c_str(), process_wait(h));
    return 0;
  });
  EXPECT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("swapped|0", res.output);
}

TEST(ProcessNew, DescriptorAskedForByNumberSurvivesCloseOnExec) {
  auto res = RunInChild([] {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    MoveFd(fd, 0);
    fcntl(0, F_SETFD, FD_CLOEXEC);
    const int fds[] = {0, 1, 2, -1};
    tovi_process h = 0;
    if (Shell("[ -e /proc/self/fd/0 ] && echo zero-open", fds, &h) != 0) return 50;
    return process_wait(h);
  });
  EXPECT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("zero-open\n", res.output);
}

TEST(ProcessNew, UnusableDescriptorEndsTheChildWithEbadf) {
  const int fds[] = {937, 1, 2, -1};
  tovi_process h = 0;
  ASSERT_EQ(0, Shell("exit 0", fds, &h));
  EXPECT_EQ(EBADF, process_wait(h));
}

TEST(ProcessNew, ProgramThatCannotRunEndsWithItsErrno) {
  char prog[] = "/nonexistent/tovi-test-program";
  char *args[] = {prog, nullptr};
  tovi_process h = 0;
  ASSERT_EQ(0, process_new(args, nullptr, &h));
  EXPECT_GT(h, 0);
  EXPECT_EQ(ENOENT, process_wait(h));
}

TEST(ProcessWait, ExitCodesAndSignals) {
  tovi_process exits3 = 0, killed = 0, exits255 = 0;
  ASSERT_EQ(0, Shell("exit 3", nullptr, &exits3));
  ASSERT_EQ(0, Shell("kill -KILL $$", nullptr, &killed));
  ASSERT_EQ(0, Shell("exit 255", nullptr, &exits255));
  EXPECT_EQ(3, process_wait(exits3));
  EXPECT_EQ(-1, process_wait(killed));
  EXPECT_EQ(255, process_wait(exits255));
  EXPECT_EQ(-1, process_wait(exits3));  // already collected
  EXPECT_EQ(-1, process_wait(1));       // not our child
}

TEST(ProcessWait, GroupIdsAreNotChildren) {
  tovi_process h = 0;
  ASSERT_EQ(0, Shell("sleep 0.2; exit 4", nullptr, &h));
  // waitpid(0) or waitpid(-1) would take whichever child ends first.
  EXPECT_EQ(-1, process_wait(0));
  EXPECT_EQ(-1, process_wait(-1));
  EXPECT_EQ(4, process_wait(h));
}

TEST(ProcessNew, MissingProgramIsRefusedWithoutForking) {
  EXPECT_EQ(-1, process_new(nullptr, nullptr, nullptr));
  EXPECT_EQ(EINVAL, errno);
  char *none[] = {nullptr};
  tovi_process h = 12345;
  EXPECT_EQ(-1, process_new(none, nullptr, &h));
  EXPECT_EQ(12345, h);
}

TEST(ProcessWait, ChildCollectedByTheReaperStillReportsItsCode) {
  tovi_process h = 0;
  ASSERT_EQ(0, Shell("exit 3", nullptr, &h));
  // Wait until the reaper has taken the child: waitpid then knows nothing.
  bool reaped = false;
  for (int i = 0; i < 200 && !reaped; i++) {
    int st;
    reaped = waitpid(h, &st, WNOHANG) < 0 && errno == ECHILD;
    if (!reaped) std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_TRUE(reaped);
  EXPECT_EQ(3, process_wait(h));
  EXPECT_EQ(-1, process_wait(h));  // a status is handed out once
}

TEST(ProcessWait, ManyChildrenEachGetTheirOwnCode) {
  std::vector<tovi_process> kids(20);
  for (int i = 0; i < 20; i++) {
    std::string script = "exit " + std::to_string(i * 7);
    ASSERT_EQ(0, Shell(script.c_str(), nullptr, &kids[i]));
  }
  std::this_thread::sleep_for(milliseconds(100));
  for (int i = 19; i >= 0; i--) EXPECT_EQ(i * 7, process_wait(kids[i])) << i;
}

TEST(ProcessFork, ForkprocessChildIgnoresBrokenPipes) {
  pid_t pid = forkprocess();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    _exit(sa.sa_handler == SIG_IGN ? 0 : 1);
  }
  EXPECT_EQ(0, process_wait(pid));
  struct sigaction sa;
  sigaction(SIGCHLD, nullptr, &sa);
  EXPECT_NE(SIG_DFL, sa.sa_handler);  // the reaper is in place
}

TEST(ProcessFork, DetachprocessEndsTheParentAndTheChildGoesOn) {
  // Orphans come back to this process, whose reaper collects them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  initthreads();
  auto res = RunInChild([] {
    pid_t before = getpid();
    // Still in the stdio buffer (stdout is a pipe): must come out once.
    std::printf("before;");
    int rc = detachprocess();
    std::printf("rc=%d moved=%d\n", rc, getpid() != before);
    return 0;
  });
  EXPECT_EQ(0, res.exit_code);
  EXPECT_EQ("before;rc=0 moved=1\n", res.output);  // only the child goes on
}

TEST(ProcessFork, ForkprocessDoesNotDoubleBufferedOutput) {
  auto res = RunInChild([] {
    std::printf("once;");
    pid_t pid = forkprocess();
    if (pid == 0) {
      std::printf("child;");
      std::fflush(stdout);
      _exit(0);
    }
    int rc = process_wait(pid);
    std::printf("parent=%d", rc);
    return 0;
  });
  EXPECT_EQ(0, res.exit_code);
  EXPECT_EQ("once;child;parent=0", res.output);
}

TEST(Sleeping, SleepBlocksOnlyTheCallingThread) {
  std::atomic<bool> done{false};
  std::atomic<int> ticks{0};
  std::thread other([&] {
    for (int i = 0; i < 5000 && !done; i++) {
      ticks++;
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  auto start = steady_clock::now();
  tovi_sleep(1);
  auto slept = steady_clock::now() - start;
  int during = ticks;
  done = true;
  other.join();
  EXPECT_GE(slept, milliseconds(990));
  EXPECT_GT(during, 50);
}

TEST(Sleeping, MicrosecondsAndZero) {
  auto start = steady_clock::now();
  tovi_usleep(200000);
  EXPECT_GE(steady_clock::now() - start, milliseconds(195));
  tovi_sleep(0);  // a yield
  tovi_usleep(0);
}

TEST(ProcessId, IsThePid) { EXPECT_EQ(getpid(), process_id()); }

}  // namespace
