// Service layer through the real library, each case in a child process
// (service_start changes signal handlers and the session): command words,
// "console"/"-0", detaching with setsid, and signals reaching the control
// function.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tovi/service.h"

namespace {

bool OwnSession() { return getsid(0) == getpid(); }

// The program's main: says it ran, whether it leads its own session, and
// what arguments it saw.
int ReportingMain(int argc, char **argv) {
  std::printf("ran sid=%s args=", OwnSession() ? "own" : "inherited");
  for (int i = 0; i < argc; i++) std::printf("%s%s", i ? "," : "", argv[i]);
  return 42;
}

// Writes each command code it receives; only async-signal-safe calls.
void RecordingCtrl(tovi_service_cmd cmd) {
  char c = static_cast<char>('0' + cmd);
  (void)!write(1, &c, 1);
  errno = EIO;  // must not leak into the interrupted code
}

// Mains that signal themselves: the library's handler, hang-up, stop, and
// an unknown signal; a stop taken by another thread; a write to a closed
// pipe; and, without a control function, the system's defaults.
int SignallingMain(int, char **) {
  errno = 0;
  sig_handler(SIGUSR1);
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) kill(getpid(), sig);
  return errno == 0 ? 5 : 6;
}
int WorkerSignalMain(int, char **) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // only the worker can take it
  std::thread([set] {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    kill(getpid(), SIGTERM);
    usleep(100000);
  }).join();
  return 0;
}
int PipeMain(int, char **) {
  int p[2];
  if (pipe(p) != 0) return 1;
  close(p[0]);
  ssize_t n = write(p[1], "x", 1);
  std::printf("write=%zd %s", n, errno == EPIPE ? "EPIPE" : "other");
  return 0;
}
int DefaultsMain(int, char **) {
  sig_handler(SIGHUP);  // no control function: nothing happens
  struct sigaction sa;
  for (int sig : {SIGTERM, SIGINT, SIGHUP})
    if (sigaction(sig, nullptr, &sa) != 0 || sa.sa_handler != SIG_DFL) return 10 + sig;
  std::printf("defaults;");
  std::fflush(stdout);
  kill(getpid(), SIGTERM);
  return 0;
}

struct ServiceRun {
  const char *name;
  std::vector<std::string> args;
  std::string out;  // the main's output, then "|rc=<result> <session>"
  tovi_service_start main = ReportingMain;
  tovi_service_ctrl ctrl = RecordingCtrl;
  int status = 0;
};

const ServiceRun kRuns[] = {
    {"NoArgumentsDetachesAndRunsMain", {"prog"}, "ran sid=own args=prog|rc=42 own"},
    {"ConsoleStaysInTheSession", {"prog", "-d", "console", "stop"}, "ran sid=inherited args=prog,-d,console,stop|rc=42 inherited"},
    {"DashZeroStaysInTheSession", {"prog", "-d", "-0", "stop"}, "ran sid=inherited args=prog,-d,-0,stop|rc=42 inherited"},
    {"ConsoleInCapitalsIsAnOrdinaryArgument", {"prog", "CONSOLE"}, "ran sid=own args=prog,CONSOLE|rc=42 own"},  // case matters here
    // Other platforms' manager commands, in any case: nothing runs.
    {"InstallReturnsWithoutRunning", {"prog", "-x", "install"}, "|rc=0 inherited"},
    {"UninstallReturnsWithoutRunning", {"prog", "-x", "UNINSTALL"}, "|rc=0 inherited"},
    {"PauseReturnsWithoutRunning", {"prog", "-x", "Pause"}, "|rc=0 inherited"},
    {"RefreshReturnsWithoutRunning", {"prog", "-x", "refresh"}, "|rc=0 inherited"},
    {"ResumeReturnsWithoutRunning", {"prog", "-x", "resume"}, "|rc=0 inherited"},
    {"StartReturnsWithoutRunning", {"prog", "-x", "start"}, "|rc=0 inherited"},
    {"StopReturnsWithoutRunning", {"prog", "-x", "sToP"}, "|rc=0 inherited"},
    {"MissingMainIsRefused", {"prog"}, "|rc=-1 inherited", nullptr},  // no main
    // Hang-up is refresh (4), term and int are stop (1), others nothing.
    {"HangupIsRefreshTermAndIntAreStop", {"prog", "console"}, "411|rc=5 inherited", SignallingMain},
    {"SignalTakenByAnotherThreadStillReachesControl", {"prog", "console"}, "1|rc=0 inherited", WorkerSignalMain},
    {"BrokenPipeIsAnErrorNotDeath", {"prog"}, "write=-1 EPIPE|rc=0 own", PipeMain},  // a broken pipe is an error, not death
    {"BrokenPipeIsAnErrorWithoutControlToo", {"prog"}, "write=-1 EPIPE|rc=0 own", PipeMain, nullptr},
    {"WithoutControlNoHandlersAreInstalled", {"prog"}, "defaults;", DefaultsMain, nullptr, -SIGTERM},
};

class ServiceStart : public ::testing::TestWithParam<ServiceRun> {};

TEST_P(ServiceStart, Run) {
  const ServiceRun &r = GetParam();
  auto res = ts::run_in_child([&] {
    // The child leads a process group of its own, which setsid refuses:
    // join the test's group, as a program started from a shell is (once
    // the spawner's own setpgid of the child, just after the fork, is done).
    usleep(20000);
    setpgid(0, getpgid(getppid()));
    std::vector<std::string> args = r.args;
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char name[64] = "";
    int rc = service_start("Display", name, int(args.size()), argv.data(), r.main, r.ctrl, 0);
    std::printf("|rc=%d %s", rc, OwnSession() ? "own" : "inherited");
    return 0;
  });
  EXPECT_EQ(r.status, res.status);
  EXPECT_EQ(r.out, res.out);
}

INSTANTIATE_TEST_SUITE_P(ArgumentsAndSignals, ServiceStart, ::testing::ValuesIn(kRuns),
                         [](const auto &info) { return std::string(info.param.name); });

// The stubs of other platforms' calls; a terminal on 0, 1 or 2 means not
// detached; service_exit runs the registered handlers in reverse order.
TEST(ServiceCalls, StubsDetachmentAndExitHandlers) {
  EXPECT_EQ(0, service_control(TOVI_SERVICE_STOP) | service_running() | service_starting() | service_stopping());
  EXPECT_STREQ("services not supported", service_errstr(-17));
  auto res = ts::run_in_child([] {
    std::printf("%d", service_isdetached());
    std::fflush(stdout);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 3;
    int tty = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (tty < 0) return 4;
    dup2(tty, 0);
    std::printf("%d;", service_isdetached());
    qxmsg_atexit([] { std::printf("second;"); });
    qxmsg_atexit([] { std::printf("first;"); });
    service_exit(7);
    return 0;
  });
  EXPECT_EQ(7, res.status) << res.out;
  EXPECT_EQ("10;first;second;", res.out);
}

}  // namespace
