// Log hook of the platform library.
#include <atomic>
#include <cstdio>

#include "plat/platlog.h"
#include "platlog_internal.h"

namespace {

void _stderr_hook(int nSeverity, const char *pszMessage) {
  std::fprintf(stderr, "toviplat[%d]: %s\n", nSeverity, pszMessage);
}

std::atomic<PlatLogHook> g_hook{_stderr_hook};

}  // namespace

void Plat_SetLogHook(PlatLogHook fn) { g_hook.store(fn ? fn : _stderr_hook); }

namespace plat {

void plat_log(int severity, const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  g_hook.load()(severity, line);
}

}  // namespace plat
