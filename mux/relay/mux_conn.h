/* Client connections: one Conn per accepted client, known on the server link
 * by its connection number.
 *
 * Threads: a connection's reader (gd_read), writer chain (gd_write) and
 * shutdown (gd_ctl) are one dispatch group, so they never run at the same
 * time. The server link's reader calls conn_async_write from its own
 * dispatcher, always while holding the link's table.lock, which is also
 * what conn_delete takes to take the connection out of the table: once
 * conn_delete has emptied the slot nothing else can reach the record. */
#ifndef MUX_MUX_CONN_H
#define MUX_MUX_CONN_H

#include <stdint.h>
#include <sys/uio.h>

#include "relay/mux_server.h"
#include "relay/mux_types.h"

extern "C" {

/* Takes over `sock` for a new client with address text `ip`: numbers it,
 * queues its open record and starts relaying. NULL when no number is free or
 * the record cannot be built; the caller then deletes the socket. */
Conn *conn_new(ASock *sock, const char *ip, Multiplexor *mux);
/* Queues bytes from the server for the client. Must hold: the link's
 * table.lock (the link's reader does). */
void conn_async_write(Conn *conn, MuxAckFn ack, void *ack_arg, const void *buf, uint32_t len);
/* As conn_async_write for the n pieces in turn, which reach the client with
 * as few writes as the socket allows. Must hold: the link's table.lock. */
void conn_async_writev(Conn *conn, MuxAckFn ack, void *ack_arg, const struct iovec *iov, int n);
/* Takes the connection out of the table and the cycle, logs its close line
 * and frees it. */
void conn_delete(Conn *conn);
/* Re-arms the reader of a connection that server_pause_reader paused. */
void conn_resume_reader(Conn *conn);

/* What the link tells a connection; the connection's fields are its own.
 * The server closed this number (REC_CLOSE): the connection shuts down
 * without answering with a close of its own. Must hold: the link's
 * table.lock (conn_delete may free the record once its slot is empty). */
void conn_server_closed(Conn *conn);
/* `len` bytes of the connection are about to be queued toward a peer:
 * counted before, so that its session line never lags what the peer may
 * already have. */
void conn_count_bytes(Conn *conn, uint32_t len);
/* Records of the connection were queued for the server; if it was closing,
 * the write is refused toward the caller (`ack` gets MUX_ACK_CLOSING) and
 * its shutdown is released: that is how the close record it queued last
 * moves the shutdown on. */
void conn_queued_for_server(Conn *conn, MuxAckFn ack, void *ack_arg);
/* Next free connection number (next-fit from the process-wide cursor), with
 * `conn` stored in its slot; -1 when every number is taken (conn_table_claim).
 * Must hold: the link's table.lock. */
int32_t get_conn_sd(ServerLink *server, Multiplexor *mux, Conn *conn);

}

#endif
