/* The metrics listener: an optional HTTP endpoint that answers
 * "GET /metrics" with the live counters (metrics/mux_counters.h) in the
 * Prometheus text format 0.0.4.
 *
 * It is off unless "orv_mux.metrics_listen" (or, below it, the
 * environment name "MetricsListen") holds [a.b.c.d:]PORT; without an
 * address it listens on 127.0.0.1 only. The socket is bound once, before
 * the processes of option -f are forked, and shared by them like the
 * client socket: whichever process takes a scrape answers it with the
 * counters of every live process of the group, each under its pid label.
 *
 * Each process serves it from a thread of its own with non-blocking
 * sockets: at most a few scrapers at once, each with a bound on the size
 * of its request and on the time it may take; a scraper cannot hold up
 * the relay, which shares nothing with this thread but the counters.
 *
 * Threads: all three calls run in the first thread of the process. */
#ifndef MUX_METRICS_MUX_METRICS_H
#define MUX_METRICS_MUX_METRICS_H

/* Before the fork: reads the setting and, when the listener is on, binds
 * it and makes the counters of `processes` processes shared. 0 (also when
 * it is off), or -1 after the reason was logged. */
#include <string>

/* The listener's setting ("orv_mux.metrics_listen" over "MetricsListen"),
 * "" for none; *name (when given) gets the name it came from. */
std::string mux_metrics_setting(const char **name);
/* The setting the listener was opened with (a reload cannot change it). */
const std::string &mux_metrics_running(void);
int mux_metrics_open(int processes);
/* After the fork, with the log open: claims this process's counters and,
 * when the listener is on, starts its thread and logs where it listens. */
void mux_metrics_start(void);
/* At the end of the process: stops the thread and closes the listener. */
void mux_metrics_stop(void);

#endif
