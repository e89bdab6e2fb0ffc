// Service layer through the real library, each case in a child process
// (service_start changes signal handlers and the session): command words,
// "console"/"-0", detaching with setsid, and signals reaching the control
// function.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tovi/service.h"
#include "tovi_test_util.h"

namespace {

using tovi_test::ChildResult;
using tovi_test::RunInChild;

// The program's main: says it ran, whether it leads its own session, and
// what arguments it saw.
int ReportingMain(int argc, char **argv) {
  std::printf("ran sid=%s args=", getsid(0) == getpid() ? "own" : "inherited");
  for (int i = 0; i < argc; i++) std::printf("%s%s", i ? "," : "", argv[i]);
  return 42;
}

// Writes each command code it receives; only async-signal-safe calls.
void RecordingCtrl(tovi_service_cmd cmd) {
  char c = static_cast<char>('0' + cmd);
  (void)!write(1, &c, 1);
  errno = EIO;  // must not leak into the interrupted code
}

ChildResult RunService(std::vector<std::string> args, tovi_service_start start,
                       tovi_service_ctrl ctrl) {
  return RunInChild([&] {
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char name[64] = "";
    int rc = service_start("Display", name, static_cast<int>(args.size()), argv.data(), start, ctrl, 0);
    std::printf("|rc=%d", rc);
    return 0;
  });
}

TEST(ServiceStart, NoArgumentsDetachesAndRunsMain) {
  auto res = RunService({"prog"}, ReportingMain, RecordingCtrl);
  ASSERT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("ran sid=own args=prog|rc=42", res.output);
}

TEST(ServiceStart, OrdinaryOptionsAreSkippedAndPassedOn) {
  auto res = RunService({"prog", "-c", "conf", "-p", "9909"}, ReportingMain, nullptr);
  ASSERT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("ran sid=own args=prog,-c,conf,-p,9909|rc=42", res.output);
}

TEST(ServiceStart, ConsoleAndDashZeroStayInTheSession) {
  for (const char *word : {"console", "-0"}) {
    auto res = RunService({"prog", "-d", word, "stop"}, ReportingMain, RecordingCtrl);
    ASSERT_EQ(0, res.exit_code) << res.output;
    EXPECT_EQ(std::string("ran sid=inherited args=prog,-d,") + word + ",stop|rc=42", res.output);
  }
  // Case matters for these two.
  auto res = RunService({"prog", "CONSOLE"}, ReportingMain, nullptr);
  EXPECT_EQ("ran sid=own args=prog,CONSOLE|rc=42", res.output);
}

TEST(ServiceStart, ManagerCommandWordsReturnWithoutRunning) {
  for (const char *word : {"install", "UNINSTALL", "Pause", "refresh", "resume", "start", "sToP"}) {
    auto res = RunInChild([word] {
      char prog[] = "prog", opt[] = "-x";
      char *argv[] = {prog, opt, const_cast<char *>(word), nullptr};
      int rc = service_start("D", nullptr, 3, argv, ReportingMain, RecordingCtrl, 0);
      std::printf("rc=%d sid=%s", rc, getsid(0) == getpid() ? "own" : "inherited");
      return 0;
    });
    ASSERT_EQ(0, res.exit_code) << word << ": " << res.output;
    EXPECT_EQ("rc=0 sid=inherited", res.output) << word;
  }
}

int SignallingMain(int, char **) {
  errno = 0;
  kill(getpid(), SIGHUP);
  kill(getpid(), SIGTERM);
  kill(getpid(), SIGINT);
  return errno == 0 ? 5 : 6;
}

TEST(ServiceSignals, HangupIsRefreshTermAndIntAreStop) {
  auto res = RunInChild([] {
    char prog[] = "prog";
    char *argv[] = {prog, nullptr};
    int rc = service_start("D", nullptr, 1, argv, SignallingMain, RecordingCtrl, 0);
    std::printf("|rc=%d", rc);
    return 0;
  });
  ASSERT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("411|rc=5", res.output);
}

TEST(ServiceSignals, SignalTakenByAnotherThreadStillReachesControl) {
  auto res = RunInChild([] {
    char prog[] = "prog";
    char *argv[] = {prog, nullptr};
    return service_start("D", nullptr, 1, argv,
                         [](int, char **) {
                           sigset_t set;
                           sigemptyset(&set);
                           sigaddset(&set, SIGTERM);
                           pthread_sigmask(SIG_BLOCK, &set, nullptr);  // only the worker can take it
                           std::thread worker([] {
                             sigset_t none;
                             sigemptyset(&none);
                             pthread_sigmask(SIG_SETMASK, &none, nullptr);
                             kill(getpid(), SIGTERM);
                             usleep(100000);
                           });
                           worker.join();
                           return 0;
                         },
                         RecordingCtrl, 0);
  });
  ASSERT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("1", res.output);
}

int PipeWritingMain(int, char **) {
  int p[2];
  if (pipe(p) != 0) return 1;
  close(p[0]);
  ssize_t n = write(p[1], "x", 1);
  std::printf("write=%zd %s", n, errno == EPIPE ? "EPIPE" : "other");
  close(p[1]);
  return 0;
}

TEST(ServiceSignals, BrokenPipeIsAnErrorNotDeath) {
  for (tovi_service_ctrl ctrl : {RecordingCtrl, static_cast<tovi_service_ctrl>(nullptr)}) {
    auto res = RunService({"prog"}, PipeWritingMain, ctrl);
    ASSERT_EQ(0, res.term_signal);
    EXPECT_EQ("write=-1 EPIPE|rc=0", res.output);
  }
}

TEST(ServiceSignals, WithoutControlNoHandlersAreInstalled) {
  auto res = RunService(
      {"prog"},
      [](int, char **) {
        struct sigaction sa;
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
          sigaction(sig, nullptr, &sa);
          if (sa.sa_handler != SIG_DFL) return 10 + sig;
        }
        std::printf("defaults;");
        std::fflush(stdout);
        kill(getpid(), SIGTERM);
        return 0;
      },
      nullptr);
  EXPECT_EQ(SIGTERM, res.term_signal) << res.output;
  EXPECT_EQ("defaults;", res.output);
}

TEST(ServiceSignals, HandlerIgnoresOtherSignalsAndMissingControl) {
  auto res = RunInChild([] {
    sig_handler(SIGUSR1);  // no control function yet: nothing happens
    char prog[] = "prog", console[] = "console";
    char *argv[] = {prog, console, nullptr};
    service_start("D", nullptr, 2, argv, [](int, char **) { return 0; }, RecordingCtrl, 0);
    sig_handler(SIGUSR1);
    sig_handler(SIGHUP);
    return 0;
  });
  ASSERT_EQ(0, res.exit_code);
  EXPECT_EQ("4", res.output);
}

TEST(ServiceStart, MissingMainIsRefused) {
  auto res = RunInChild([] {
    char prog[] = "prog";
    char *argv[] = {prog, nullptr};
    std::printf("%d", service_start("D", nullptr, 1, argv, nullptr, RecordingCtrl, 0));
    return 0;
  });
  EXPECT_EQ("-1", res.output);
}

TEST(ServiceCalls, PlatformStubsAndErrorText) {
  EXPECT_EQ(0, service_control(TOVI_SERVICE_STOP));
  EXPECT_EQ(0, service_running());
  EXPECT_EQ(0, service_starting());
  EXPECT_EQ(0, service_stopping());
  EXPECT_STREQ("services not supported", service_errstr(0));
  EXPECT_STREQ("services not supported", service_errstr(-17));
}

TEST(ServiceCalls, DetachedMeansNoTerminalOnZeroOneTwo) {
  auto res = RunInChild([] {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    std::printf("%d", service_isdetached());
    std::fflush(stdout);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 3;
    int tty = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (tty < 0) return 4;
    dup2(tty, 0);
    std::printf("%d", service_isdetached());
    return 0;
  });
  ASSERT_EQ(0, res.exit_code) << res.output;
  EXPECT_EQ("10", res.output);
}

TEST(ServiceCalls, ExitRunsRegisteredHandlers) {
  auto res = RunInChild([] {
    qxmsg_atexit([] { std::printf("second;"); });
    qxmsg_atexit([] { std::printf("first;"); });
    service_exit(7);
    return 0;
  });
  EXPECT_EQ(7, res.exit_code);
  EXPECT_EQ("first;second;", res.output);
}

}  // namespace
