/* Clients behind a load balancer: connections from the trusted sources
 * ("orv_mux.proxy_trusted", environment name "ProxyTrusted") begin with a
 * PROXY protocol header (mux_proxy_header.h) that names the real client.
 * The header is read here, before the client is admitted and before any
 * SSL handshake; its bytes are consumed and never relayed, and the bytes
 * after it stay in the socket for the connection (or the handshake).
 *
 * Threads: mux_proxy_trusted and mux_proxy_accept run in the accept handler;
 * the reads and the time limit of one client run on that client's own
 * dispatcher, so they never overlap; mux_proxy_cycle_end runs in the main
 * thread after the cycle's dispatch loop has returned.
 * Locks: a list lock of this module guards the clients waiting for their
 * header; it is never held while a client is admitted or closed. */
#ifndef MUX_MUX_PROXY_H
#define MUX_MUX_PROXY_H

#include <stdint.h>

#include "relay/mux_types.h"

/* Seconds a trusted source has to send the whole header. */
#define MUX_PROXY_HEADER_SECONDS 3

extern "C" {

/* 1 when connections from `source` (IPv4, network order) must begin with a
 * PROXY header: the trusted list is set and admits it. */
int mux_proxy_trusted(uint32_t source);
/* Reads the header of a client accepted from a trusted source; takes over
 * the socket. With the header read, the client is admitted by its real
 * address (multiplexor_admit); a LOCAL header, a bad one, or none within the
 * time limit closes it. */
void mux_proxy_accept(Multiplexor *mux, ASock *sock, uint32_t source);
/* Closes the clients of `mux` still waiting for their header. */
void mux_proxy_cycle_end(Multiplexor *mux);
}

#endif
