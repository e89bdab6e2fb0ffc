/* Service manager notifications through libsystemd's sd_notify, when the
 * build found it (MUX_HAVE_SYSTEMD). */
#include "process/mux_notify.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#ifdef MUX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

std::atomic<pid_t> reporter{0};

void _notify(const char *state) {
#ifdef MUX_HAVE_SYSTEMD
    if (reporter.load() == getpid()) (void)sd_notify(0, state);
#else
    (void)state;
#endif
}

}  // namespace

void mux_notify_init(void) { reporter = getpid(); }

void mux_notify_ready(void) { _notify("READY=1"); }

void mux_notify_reloading(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char state[64];
    snprintf(
        state, sizeof state, "RELOADING=1\nMONOTONIC_USEC=%llu",
        static_cast<unsigned long long>(ts.tv_sec) * 1000000ull + static_cast<unsigned long long>(ts.tv_nsec) / 1000u);
    _notify(state);
}

void mux_notify_stopping(void) { _notify("STOPPING=1"); }
