/* Reports to the service manager (systemd's notification socket, named by
 * NOTIFY_SOCKET) when the multiplexor is ready, reloading and stopping.
 * Built without libsystemd, or started without NOTIFY_SOCKET, every call
 * does nothing.
 *
 * Only the process that mux_notify_init ran in reports: the processes it
 * forks share its listening socket and follow its reloads and stops, and a
 * service manager hears from the main process only.
 * Threads: any; each call is one datagram. */
#ifndef MUX_MUX_NOTIFY_H
#define MUX_MUX_NOTIFY_H

/* Makes the calling process the one that reports (before it forks). */
void mux_notify_init(void);
/* "READY=1": the port is bound and the first cycle accepts; after a reload,
 * the configuration is in force again. */
void mux_notify_ready(void);
/* "RELOADING=1" with the monotonic time, before a reload. */
void mux_notify_reloading(void);
/* "STOPPING=1", once the stop has begun. */
void mux_notify_stopping(void);

#endif
