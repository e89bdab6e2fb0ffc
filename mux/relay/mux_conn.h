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

#include <time.h>

#include <atomic>

#include <prlock.h>

#include "plat/asock.h"
#include "plat/gdisp.h"
#include "plat/memcx.h"
#include "relay/mux_server.h"
#include "relay/mux_types.h"
#include "relay/mux_writer.h"

enum { CONN_NEW = 1, CONN_CLOSING = 2, CONN_WORK = 3, CONN_DELETED = -1 };

/* One client. Its three dispatchers form one group, so its own callbacks
 * run one at a time; the server link reaches it only under table.lock and
 * writes none of its fields (it calls the conn_* functions below).
 * Locks: state_lock guards the reader's and the shutdown's state changes,
 * bytes_lock guards bytes (taken inside the link's table.lock on the data
 * path, never the other way). The state and the done flags are atomics,
 * read without a lock. */
struct Conn {
    MuxList link; /* in Multiplexor.conns */
    MemCx *mcx;
    ServerLink *server;
    Multiplexor *mux;
    ASock *sock;
    int32_t id;
    GDisp *gd_read;
    GDisp *gd_write;
    GDisp *gd_ctl;
    GDispSem *sem_shutdown;
    ASPipe *pipe;
    MuxWriter writer; /* on gd_write */
    std::atomic<int32_t> writer_done;
    std::atomic<int32_t> reader_done;
    std::atomic<int32_t> state;
    PRLock *state_lock;
    int32_t close_mode;
    char *ip;
    time_t start_time;
    time_t last_read;
    /* Pacing of this client (conn_rate_limit when it was accepted): a
     * reload paces the clients accepted after it. */
    int32_t rate_limit;
    PRLock *bytes_lock;
    int64_t bytes;
    /* The close record went out / the server closed this number: together
     * they make sure a close that starts at the client always reaches the
     * server exactly once, and one the server asked for never echoes. */
    int32_t close_sent;
    std::atomic<int32_t> server_closed;
    /* Listed in ServerLink.parked while its reader waits for the link to
     * drain (linked to itself otherwise); guarded by the link's park_lock. */
    struct {
        MuxList node; /* first: the list leads back to the record */
        Conn *conn;
    } park;
    /* The reader builds its records in an area of its worker thread: an
     * idle client holds no read buffer. */
    /* Most bytes that may wait for this client (its pipe and what its
     * socket's SSL layer holds), taken from client_queue_max when the
     * connection is made; 0 = no limit. */
    int64_t queue_max;
};

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
