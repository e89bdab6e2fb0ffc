// Service layer for Unix, where no service manager exists: the program is
// detached from its terminal and signals stand in for manager commands.
// The control function is written once, before the handlers that read it
// are installed; the handlers run in whatever thread takes the signal.
#include "tovi/service.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tovi/thread.h"

namespace {

std::atomic<tovi_service_ctrl> ctrl_func{nullptr};
static_assert(std::atomic<tovi_service_ctrl>::is_always_lock_free,
              "the control function is read inside a signal handler");

void _set_handler(int sig, void (*handler)(int)) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

// Command words of other platforms' service managers: here they ask for
// nothing, so the program must not start.
bool _is_manager_word(const char *arg) {
  static const char *const words[] = {"install", "uninstall", "pause", "refresh", "resume", "start", "stop"};
  for (const char *w : words)
    if (strcasecmp(arg, w) == 0)
      return true;
  return false;
}

// The handler installed is this private one: a program that defines a
// function of its own named sig_handler would otherwise have its function
// installed in place of the library's.
void _sig_handler(int sig) {
  int saved = errno;  // the interrupted code may be about to read errno
  tovi_service_ctrl ctrl = ctrl_func.load(std::memory_order_acquire);
  if (ctrl) {
    if (sig == SIGHUP)
      ctrl(TOVI_SERVICE_REFRESH);
    else if (sig == SIGINT || sig == SIGTERM)
      ctrl(TOVI_SERVICE_STOP);
  }
  errno = saved;
}

}  // namespace

extern "C" {

void sig_handler(int sig) { _sig_handler(sig); }

int service_start(const char * /*display*/, char * /*name*/, int argc, char **argv, tovi_service_start start,
                  tovi_service_ctrl ctrl, int /*can_pause*/) {
  if (start == nullptr) {
    errno = EINVAL;
    return -1;
  }
  _set_handler(SIGPIPE, SIG_IGN);

  if (ctrl) {
    ctrl_func.store(ctrl, std::memory_order_release);
    initthreads();
    _set_handler(SIGTERM, _sig_handler);
    _set_handler(SIGINT, _sig_handler);
    _set_handler(SIGHUP, _sig_handler);
  }

  bool console = false;
  for (int i = 1; i < argc && argv[i]; i++) {
    if (std::strcmp(argv[i], "console") == 0 || std::strcmp(argv[i], "-0") == 0) {
      console = true;
      break;
    }
    if (_is_manager_word(argv[i]))
      return 0;
  }
  // A new session: no terminal signals, and one process group that a later
  // stop request can signal as a whole.
  if (!console)
    (void)setsid();

  return start(argc, argv);
}

int service_control(tovi_service_cmd /*cmd*/) { return 0; }
int service_running(void) { return 0; }
int service_starting(void) { return 0; }
int service_stopping(void) { return 0; }

const char *service_errstr(int /*err*/) { return "services not supported"; }

void service_exit(int code) { std::exit(code); }

int service_isdetached(void) { return !isatty(0) && !isatty(1) && !isatty(2) ? 1 : 0; }

void qxmsg_atexit(void (*func)(void)) {
  if (std::atexit(func) != 0)
    std::abort();
}

}  // extern "C"
