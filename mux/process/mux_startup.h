/* What a multiplexor process sets up before it serves, apart from its
 * settings: the instance's directories and the pid file with its lock, the
 * files handed to the configured user before the switch, and the signals
 * nothing handles yet.
 *
 * Threads: all of it runs in the first thread during start-up, before any
 * other thread exists. Failures are logged at Error; the log is not open
 * yet, so they go to standard error. */
#ifndef MUX_MUX_STARTUP_H
#define MUX_MUX_STARTUP_H

#include <sys/types.h>

#include <string>

/* "<orv.instancevardir>/log/mux.pid". */
std::string mux_pidfile_path(void);

/* The instance's variable directory must exist; its log directory and the
 * log's own directory are made when missing; then the pid file is taken:
 * locked, so that one multiplexor group runs per instance directory (it is
 * filled once the port is bound). 0, or -1 after the reason was logged. */
int mux_instance_open(void);

/* Before the switch to uid/gid: the instance's log directory, the pid file,
 * the log file, and a log directory this start made, become the user's. */
void mux_instance_give(uid_t uid, gid_t gid);

/* With the user's ids in effect: the first file or directory that the
 * process will need and cannot use, as a message for the operator, or an
 * empty string. `given`: mux_instance_give has run (the start); without it
 * (the configuration check) the directories the start gives the user only
 * need to be reachable. */
std::string mux_instance_unusable(bool given = true);

/* Ignores the signals that nothing handles yet (SIGUSR1), so that they do
 * not end the process without a word. */
void mux_ignore_unused_signals(void);

#endif
