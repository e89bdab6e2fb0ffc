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
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tovi/thread.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The library's reaper takes the children of the test's own spawner too.
const bool kReaperKnown = (ts::Child::reaped_status = process_wait, true);

int Shell(const std::string &script, const int *fds = nullptr, tovi_process *hdl = nullptr) {
  std::string body = script;
  char sh[] = "/bin/sh", c[] = "-c";
  char *args[] = {sh, c, body.data(), nullptr};
  return process_new(args, fds, hdl);
}

// The exit code of a shell script started with the descriptor map fds.
int Exit(const std::string &script, std::vector<int> fds) {
  fds.push_back(-1);
  tovi_process h = 0;
  return Shell(script, fds.data(), &h) == 0 ? process_wait(h) : 99;
}

// Moves descriptor from onto to (closing from).
void MoveFd(int from, int to) {
  dup2(from, to);
  close(from);
}

TEST(ProcessNew, DescriptorMapsReachTheProgramAlsoSwappedAndAMissingOneEndsTheChild) {
  // fds {5, 1, 2}: descriptor 5 becomes standard input and is closed.
  auto five = ts::run_in_child([] {
    int in[2];
    if (pipe(in) != 0 || write(in[1], "from five\n", 10) != 10) return 50;
    close(in[1]);
    MoveFd(in[0], 5);
    return Exit("cat; [ -e /proc/self/fd/5 ] && echo five-open || echo five-closed", {5, 1, 2});
  });
  EXPECT_EQ("from five\nfive-closed\n", five.out);
  // A descriptor asked for by its own number survives close-on-exec.
  auto zero = ts::run_in_child([] {
    fcntl(0, F_SETFD, FD_CLOEXEC);
    return Exit("[ -e /proc/self/fd/0 ] && echo zero-open", {0, 1, 2});
  });
  EXPECT_EQ("zero-open\n", zero.out);
  // fds {1, 0, 2}: the child's input is our 1 and its output our 0. Done
  // in index order with dup2, the second copy would read an already
  // replaced descriptor.
  auto swapped = ts::run_in_child([] {
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
    ssize_t n;
    for (int i = 0; i < 100 && (n = read(p_read, buf, sizeof buf)) > 0; i++) got.append(buf, size_t(n));
    std::fprintf(stderr, "%s|%d", got.c_str(), process_wait(h));
    return 0;
  });
  EXPECT_EQ("swapped|0", swapped.out);
  EXPECT_EQ(0, five.status | zero.status | swapped.status) << swapped.out;
  EXPECT_EQ(EBADF, Exit("exit 0", {937, 1, 2})) << "an unusable descriptor ends the child with EBADF";
  // A missing or unrunnable program.
  EXPECT_EQ(-1, process_new(nullptr, nullptr, nullptr));
  EXPECT_EQ(EINVAL, errno);
  char *none[] = {nullptr};
  tovi_process h = 12345;
  EXPECT_EQ(-1, process_new(none, nullptr, &h));
  EXPECT_EQ(12345, h);  // refused without forking
  char prog[] = "/nonexistent/tovi-test-program";
  char *args[] = {prog, nullptr};
  ASSERT_EQ(0, process_new(args, nullptr, &h));
  EXPECT_GT(h, 0);
  EXPECT_EQ(ENOENT, process_wait(h));  // the child ends with exec's errno
}

TEST(ProcessWait, ExitCodesComeOnceAlsoForChildrenTheReaperCollected) {
  std::vector<std::pair<std::string, int>> rows = {{"exit 3", 3}, {"kill -KILL $$", -1}, {"exit 255", 255}};
  for (int i = 0; i < 20; i++) rows.emplace_back("exit " + std::to_string(i * 7), i * 7);
  std::vector<tovi_process> kids(rows.size());
  for (size_t i = 0; i < rows.size(); i++) ASSERT_EQ(0, Shell(rows[i].first, nullptr, &kids[i]));
  tovi_process slow = 0;
  ASSERT_EQ(0, Shell("sleep 1; exit 4", nullptr, &slow));
  // Until the reaper has taken the quick ones, waitid (which must not take
  // them here) still knows them.
  EXPECT_TRUE(ts::wait_for([&] {
    siginfo_t info;
    for (tovi_process k : kids)
      if (waitid(P_PID, id_t(k), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return false;
    return true;
  }));
  // waitpid(0) or waitpid(-1) would take whichever child ends first.
  EXPECT_EQ(-1, process_wait(0));
  EXPECT_EQ(-1, process_wait(-1));
  EXPECT_EQ(4, process_wait(slow));
  for (size_t i = rows.size(); i-- > 0;) EXPECT_EQ(rows[i].second, process_wait(kids[i])) << rows[i].first;
  EXPECT_EQ(-1, process_wait(kids[0]));  // a status is handed out once
  EXPECT_EQ(-1, process_wait(1));        // not our child
}

TEST(ProcessFork, ForkprocessInstallsTheReaperAndDetachprocessEndsTheParent) {
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
  EXPECT_NE(SIG_DFL, sa.sa_handler);
  auto res = ts::run_in_child([] {
    std::printf("once;");  // still in the stdio buffer: must come out once
    pid_t pid = forkprocess();
    if (pid == 0) {
      std::printf("child;");
      std::fflush(stdout);
      _exit(0);
    }
    std::printf("parent=%d", process_wait(pid));
    return 0;
  });
  EXPECT_EQ("once;child;parent=0", res.out);
  // detachprocess ends the parent and the child goes on.
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // the orphan comes back to this process
  initthreads();
  ts::Child c;
  ASSERT_TRUE(c.fork_run([] {
    pid_t before = getpid();
    std::printf("before;");  // buffered: must come out once
    int rc = detachprocess();
    std::printf("rc=%d moved=%d\n", rc, getpid() != before);
    return 0;
  }));
  EXPECT_EQ(0, c.wait_exit());
  EXPECT_TRUE(ts::wait_for([&] { return c.group_size() == 0; }));
  EXPECT_EQ("before;rc=0 moved=1\n", c.out());  // only the child goes on
}

TEST(Sleeping, SleepBlocksOnlyTheCallingThread) {
  std::atomic<bool> done{false};
  std::atomic<int> ticks{0};
  std::thread other([&] {
    for (int i = 0; i < 5000 && !done; i++, ticks++) std::this_thread::sleep_for(milliseconds(1));
  });
  auto start = steady_clock::now();
  tovi_sleep(1);
  auto slept = steady_clock::now() - start;
  int during = ticks;
  done = true;
  other.join();
  EXPECT_GE(slept, milliseconds(990));
  EXPECT_GT(during, 50);
  start = steady_clock::now();
  tovi_usleep(200000);
  EXPECT_GE(steady_clock::now() - start, milliseconds(195));
  tovi_sleep(0);  // a yield
  EXPECT_EQ(getpid(), process_id());
}

}  // namespace
