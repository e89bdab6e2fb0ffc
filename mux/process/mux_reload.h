/* Reloading a running multiplexor: SIGHUP (sent by -r to the whole process
 * group) re-reads the configuration and puts in force, for the clients
 * accepted from then on, what can change while the process serves: the
 * access list, pacing, the statistics period, the log's settings and snoop;
 * the log file is opened again, so a log moved away by a rotation is let
 * go. Settings that only a restart can change keep their running values and
 * one Warning line names them. A file that cannot be read keeps the running
 * configuration; the reasons are logged. One Notice line tells what
 * changed.
 *
 * Threads: mux_reload_request runs in a signal handler and only writes one
 * byte to a pipe; the reload itself runs on a thread of its own, which
 * mux_reload_start creates and mux_reload_stop joins (both on the main
 * thread, after the processes have forked, before and after the restart
 * loop). Clients and the server link never wait for it: it reads the file
 * with the configuration cache's write lock held (readers of the cache wait
 * only for the re-read of the file), and publishes each new value with one
 * atomic store. */
#ifndef MUX_MUX_RELOAD_H
#define MUX_MUX_RELOAD_H

/* From a signal handler: asks for a reload. A request before the reload
 * thread runs is kept and served when it starts. Async-signal-safe. */
void mux_reload_request(void);

/* Starts this process's reload thread. argc/argv: the process's command
 * line, which a reload applies over the file again as start-up did. 0, or
 * -1 when the thread cannot be made (logged; SIGHUP then does nothing). */
int mux_reload_start(int argc, char **argv);

/* Ends the reload thread (a reload under way finishes first). */
void mux_reload_stop(void);

/* One reload, as the reload thread runs it: 0 when the re-read file is in
 * force, 1 when it was refused. */
int mux_reload(void);

/* Called on the reload thread after every successful reload, once the new
 * values are in force and logged: the one place where other parts of the
 * process that follow the configuration re-read their settings. */
void mux_reload_applied(void);

#endif
