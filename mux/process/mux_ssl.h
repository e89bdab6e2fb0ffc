/* Client SSL of the multiplexor: the process-wide set-up of the socket
 * library's SSL layer and, for every admitted client, the handshake that
 * runs before the client becomes a connection (conn_new).
 *
 * Threads: mux_ssl_setup, mux_ssl_cycle_end and mux_ssl_cleanup run in the
 * main thread (the last two while no dispatch loop runs); mux_ssl_accept
 * runs in the accept handler; trigger_handshake, the completion hook and
 * the time limit run on the client's own dispatcher `gd`, so for one client
 * they never overlap. The completion hook runs inside trigger_handshake's
 * zero-length read, on the same thread. */
#ifndef MUX_MUX_SSL_H
#define MUX_MUX_SSL_H

#include <stdint.h>

#include "relay/mux_types.h"

extern "C" {

/* One client whose handshake is under way. Allocated from the cycle's
 * memory context; released exactly once (see trigger_handshake). */
struct ssl_handshake_context {
    ASock *sock;
    Multiplexor *mux;
    char peer_addr[32];
    int32_t handshake_done;  /* under lock */
    int32_t release_by_hook; /* under lock */
    GDisp *gd;
    PRLock *lock;
    MuxList link; /* in the list of handshakes under way */
};

/* A context with both flags clear, or NULL (the caller deletes the
 * socket). */
ssl_handshake_context *ssl_handshake_context_new(Multiplexor *mux, ASock *sock, const char *peer_addr);
/* Deletes gd and lock and gives the memory back; the socket is left alone. */
void ssl_handshake_context_delete(ssl_handshake_context *context);
/* Readiness callback of the client socket: drives the handshake. */
void trigger_handshake(void *context);
/* Warning callback of the SSL layer: logs at Warning, returns `first`. */
int asockssl_warn(int first, const char *message);

/* Once per process after the log is open: initialises the SSL layer and
 * enables SSL on the listening socket. 0; on failure -1 after it has logged
 * "SSL Init failed" or "SSL_Enable failed", written the same with the SSL
 * layer's reasons to standard error, and set mux_shutdown. */
int mux_ssl_setup(ASock *listen_sock);
/* Starts the handshake of an admitted client; takes over the socket. */
void mux_ssl_accept(Multiplexor *mux, ASock *sock, const char *peer_addr);
/* After a cycle's dispatch loop has returned: closes the clients still in
 * their handshake and releases their contexts. */
void mux_ssl_cycle_end(Multiplexor *mux);
/* At process end, after the listening socket is deleted. */
void mux_ssl_cleanup(void);
}

#endif
