/* The multiplexor's log channels: configures the default log from the
 * "orv.log.orv_mux.*" keys, keeps a list of extra handles, and writes the
 * traffic snoop.
 *
 * Thread safety: muxlog_traffic may be called from any thread; the refresh
 * calls and muxlog_reopen from one thread at a time while others log;
 * everything else is for the main thread at start-up and shut-down. */
#ifndef MUX_MUX_LOG_H
#define MUX_MUX_LOG_H

#include "log/qxlogger.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Directory of the multiplexor log, set by the program from
 * "orv.log.orv_mux.url" before muxlog_init.  A weak NULL definition lives in
 * mux_log.cc so the log channels link without the program; the program's own
 * definition takes precedence. */
extern char *logdir;

/* Initialises once: configures the default log with `servicename` (the log
 * file name) and `processname`, and switches standard-error copies on or off.
 * Returns the extra handle it registered, or NULL (also when already
 * initialised). */
LogHandle *muxlog_init(const char *servicename, const char *processname, int use_stderr);
/* Closes every extra handle; the default log stays configured. */
void muxlog_uninit(void);
/* A new configured handle added to the list; before muxlog_init it
 * initialises the module instead and returns NULL (the default log). */
LogHandle *muxlog_open(const char *servicename, const char *processname);
/* Closes and forgets a handle opened here; others are left alone. */
void muxlog_close(LogHandle *handle);
/* Hands one option pair to the writer for `handle`. */
void muxlog_config(LogHandle *handle, const char *word, const char *value);
/* Re-reads the settings for every listed handle, then the default log. */
void muxlog_refresh(void);
/* all != 0: muxlog_refresh(); 0: the default log only. */
void muxlog_refresh_choice(int all);
/* Before muxlog_init: the default log writes every line to standard error
 * (for a service manager's journal) instead of a file in logdir. */
void muxlog_use_stderr(int on);
/* Every handle lets its file go; the next line opens it again (log
 * rotation by moving the file away). */
void muxlog_reopen(void);
/* Whether lines that cannot reach their file go to standard error. */
void muxlog_stderr(int on);
/* Snoop line at Debug, only when debug severity and snoop are both on:
 * "SNOOP <direction> <source> -> <destination> [<id>] <data>". */
void muxlog_traffic(LogHandle *handle, const char *direction, const char *source,
                    const char *destination, int id, const void *data, int offset, int length);

#ifdef __cplusplus
}
#endif

#endif
