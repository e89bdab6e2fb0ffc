/* The server link: one TCP connection per cycle to the IM server, carrying
 * every client's traffic as records (mux_records.h).
 *
 * Threads: the link's callbacks run on four dispatchers of the cycle's
 * context: gd_io (resolve, connect, hello, reader; grouped with gd_timer,
 * which bounds the set-up and then logs the statistics), gd_write (the
 * writer chain) and gd_ctl (shutdown). server_async_write may be called from
 * any connection's callbacks. */
#ifndef MUX_MUX_SERVER_H
#define MUX_MUX_SERVER_H

#include <stdint.h>

#include "relay/mux_records.h"
#include "relay/mux_types.h"

/* Acknowledgement passed along with queued bytes: called with
 * MUX_ACK_CLOSING (relay/mux_io.h) when the connection was already closing. */
typedef void (*MuxAckFn)(void *arg, int status);

/* Longest time from server_new until the hello reply is in, milliseconds. */
#define MUX_SERVER_SETUP_MS 30000

/* Block size of the link's outgoing pipe: records queued while a send is on
 * its way join in blocks this large, and a block goes out in one send. The
 * pipe holds no block while it is empty. */
#define MUX_SERVER_PIPE_BLOCK MUX_SEND_MAX

/* Flow toward the server. The link's outgoing pipe has no limit of its own;
 * instead, while more than MUX_SERVER_PIPE_HIGH bytes wait in it, client
 * readers pause before reading (the bytes stay in their sockets, so TCP
 * slows the clients down) until the link has drained to MUX_SERVER_PIPE_LOW.
 * A slow server thus costs a bounded amount of memory. */
#define MUX_SERVER_PIPE_HIGH (256u << 10)
#define MUX_SERVER_PIPE_LOW (64u << 10)
/* Open and close records still go out while readers are paused; while more
 * than this waits for the link, new clients are turned away, so that
 * clients that connect and leave again cannot grow it without end. */
#define MUX_SERVER_PIPE_REFUSE (uint64_t{4} * MUX_SERVER_PIPE_HIGH)

extern "C" {

/* Builds the link, makes it mux->server and starts resolving/connecting.
 * When the attempt ends (hello answered or failed) it calls
 * multiplexor_acceptable(mux). NULL when the link cannot be built. */
ServerLink *server_new(Multiplexor *mux);
/* Unlinks the link from mux->servers and frees it with its memory context. */
void server_delete(ServerLink *link);
/* Queues one whole record for the server on behalf of `conn`, counting its
 * bytes; a closing connection's record still goes out, and its shutdown is
 * released. */
void server_async_write(Conn *conn, MuxAckFn ack, void *ack_arg, const void *buf, uint32_t len);
/* As server_async_write for several whole records of `conn` back to back in
 * buf (each logged as it would be alone): they are queued in one piece and
 * counted once, so a reader that drained many records at a time pays one
 * queue operation for them. With `give` set, buf came from ASPipe_AllocBuf
 * and is handed over as it is, without a copy (and freed in every case). */
void server_async_write_records(Conn *conn, MuxAckFn ack, void *ack_arg, char *buf, uint32_t len, int give);
/* For the reader of `conn`, before it reads: 1 when the link is behind; the
 * reader must then return without re-arming, and conn_resume_reader is
 * called once the link has drained. 0 to read now. */
int server_pause_reader(Conn *conn);
/* Takes `conn` off the paused readers (conn_delete). */
void server_forget_reader(Conn *conn);

/* What a connection asks of its link (the link's fields are the link's own).
 * True while more than MUX_SERVER_PIPE_REFUSE waits for the server: new
 * clients are then turned away. */
bool server_refuses_clients(ServerLink *link);
/* Numbers `conn` in the link's table (the number is stored in *number before
 * it is published) and counts it among the link's clients: the number, or -1
 * when none is free. */
int32_t server_attach(ServerLink *link, Conn *conn, int32_t *number);
/* Takes `conn` off the paused readers, the link's count and the table:
 * afterwards nothing on the link can reach it (conn_delete). */
void server_detach(ServerLink *link, Conn *conn);
}

#endif
