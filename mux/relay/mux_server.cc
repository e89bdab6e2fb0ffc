/* The server link (its record codec is mux_records.cc).
 *
 * Threads and locks:
 *   gd_io + gd_timer (one group): resolve, connect, hello, the reader and its
 *     parser, the set-up bound and then the statistics timer. The parser
 *     state is used by this group only.
 *   gd_write: the writer chain (mux_writer.h), which hands the pipe's chunks
 *     to the socket.
 *   gd_ctl: _server_shutdown, run once when sem_shutdown is released.
 *   table.lock: the connection table (conn_table.h) and every use of a Conn
 *     reached through it; the data path holds it from the lookup until the
 *     bytes are queued (the connection's bytes_lock is taken inside it,
 *     never the other way).
 *   stats_lock: active, total, bytes.
 *   park_lock: the paused readers; held while they are re-armed, and taken
 *     alone (never with another of these locks). */
#include "relay/mux_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include "base/lock_guard.h"
#include "relay/conn_table.h"
#include "relay/mux_records.h"
#include "relay/mux_writer.h"
#include "process/multiplexor.h"
#include "relay/mux_conn.h"
#include "relay/mux_io.h"
#include "process/mux_init.h"
#include "log/mux_log.h"
#include "log/qxlogger.h"
#include "metrics/mux_counters.h"

using muxbase::LockGuard;

/* --- the link -------------------------------------------------------------------- */

/* The cycle's link to the IM server. */
struct ServerLink {
    MuxList link; /* in Multiplexor.servers */
    MemCx *mcx;
    Multiplexor *mux;
    ASock *sock;
    int32_t id;
    GDisp *gd_io;
    GDisp *gd_write;
    GDisp *gd_ctl;
    GDisp *gd_timer;
    GDispSem *sem_shutdown;
    ASPipe *pipe;
    MuxWriter writer; /* on gd_write */
    int32_t close_mode;
    ConnTable table; /* the link's connection numbers */
    MuxRecordParser rd;
    PRLock *stats_lock;
    int32_t active;
    int32_t total;
    int64_t bytes;
    time_t start_time;
    /* Connection set-up: resolving or connecting, then the hello exchange,
     * bounded by a timer on gd_timer (grouped with gd_io). */
    int32_t phase;
    uint32_t addr; /* resolved server address, network order */
    unsigned char hello_out[3];
    unsigned char hello_in[3];
    uint32_t hello_got;
    int32_t hello_status;
    /* Data pieces of the current read for one connection (pend_id), handed
     * to it together: consecutive records for one client leave in one write
     * instead of one per record. Used by the reader only. */
    int32_t pend_id;
    int32_t pend_n;
    /* Readers of connections paused while the outgoing pipe is too deep
     * (Conn.park); the writer re-arms them once it has drained. */
    PRLock *park_lock;
    MuxList parked;
    struct iovec pend[MUX_SERVER_PIECES];
    /* Read area of the link: one read takes whatever the server has sent,
     * up to this much, so a busy link costs few system calls. */
    char rbuf[MUX_SERVER_READ];
};

namespace {

enum { PHASE_RESOLVING = 1, PHASE_CONNECTING = 2, PHASE_HELLO = 3, PHASE_UP = 4 };

const unsigned char kHello[3] = {REC_HELLO, MUX_PROTOCOL_MAJOR, MUX_PROTOCOL_MINOR};

long _handle(const void *p) { return static_cast<long>(reinterpret_cast<intptr_t>(p)); }

void _server_reader(void *arg);
void _server_shutdown(void *arg);
void _server_stat_log(void *arg);
void _server_connected(void *arg);
void _server_getaddred(void *arg);
void _server_hello_sent(void *arg);
void _server_hello_reader(void *arg);
void _server_setup_timeout(void *arg);

/* "Cannot connect to IM Server HOST", then the port, the address tried and
 * why, for the operator. */
void _server_cannot_connect(ServerLink *link, const char *why) {
    char ip[32];
    _inet_ntoa(reinterpret_cast<const unsigned char *>(&link->addr), ip);
    qxlog(nullptr, QXLOG_ERROR, "Cannot connect to IM Server %s port %u (%s): %s", gcfg.server_host,
          unsigned(gcfg.server_port), ip, why);
}

/* Ends a failed attempt: the waiting clients are turned away by the accept
 * handler, and the next client that knocks starts a new link. */
void _server_fail(ServerLink *link) {
    Multiplexor *mux = link->mux;
    mux->server_state = SERVER_STATE_FAILED;
    server_delete(link);
    multiplexor_acceptable(mux);
}

void _server_connect(ServerLink *link) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(gcfg.server_port);
    sin.sin_addr.s_addr = link->addr;
    link->phase = PHASE_CONNECTING;
    if (ASock_Connect(link->sock, reinterpret_cast<sockaddr *>(&sin), sizeof sin, link->gd_io, _server_connected,
                      link) != 0) {
        _server_cannot_connect(link, strerror(ASock_GetLastError(link->sock)));
        _server_fail(link);
    }
}

void _server_getaddred(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    if (GDisp_GetAsyncError(link->gd_io) != 0) {
        qxlog(nullptr, QXLOG_ERROR, "Error while resolving server address.");
        GDispSem_V(link->sem_shutdown);
        return;
    }
    _server_connect(link);
}

void _server_await_reply(ServerLink *link) {
    if (ASock_Readable(link->sock, link->gd_io, _server_hello_reader, link) != 0) {
        qxlog(nullptr, QXLOG_ERROR, "No reply from server %s.  Write error %d.", gcfg.server_host,
              ASock_GetLastError(link->sock));
        _server_fail(link);
    }
}

void _server_connected(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    if (int err = GDisp_GetAsyncError(link->gd_io)) {
        _server_cannot_connect(link, strerror(err));
        _server_fail(link);
        return;
    }
    link->phase = PHASE_HELLO;
    memcpy(link->hello_out, kHello, sizeof kHello);
    int n = ASock_Send(link->sock, link->hello_out, 3);
    if (n == MUX_IO_ERROR && ASock_GetLastError(link->sock) == ASOCK_ETRYAGAIN) n = 0;
    if (n < 0) {
        qxlog(nullptr, QXLOG_ERROR, "Cannot say Hello to server %s.  Write error %d.", gcfg.server_host,
              ASock_GetLastError(link->sock));
        _server_fail(link);
        return;
    }
    if (n == 3) {
        _server_await_reply(link);
        return;
    }
    /* A short send is finished in the background; the set-up timer bounds it. */
    if (ASock_AsyncWrite(link->sock, link->hello_out + n, static_cast<uint32_t>(3 - n), &link->hello_status,
                         link->gd_io, _server_hello_sent, link) != 0) {
        qxlog(nullptr, QXLOG_ERROR, "Cannot say Hello to server %s.  Write error %d.", gcfg.server_host,
              ASock_GetLastError(link->sock));
        _server_fail(link);
    }
}

void _server_hello_sent(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    if (link->hello_status != MUX_IO_DONE) {
        qxlog(nullptr, QXLOG_ERROR, "Cannot say Hello to server %s.  Write error %d.", gcfg.server_host,
              GDisp_GetAsyncError(link->gd_io));
        _server_fail(link);
        return;
    }
    _server_await_reply(link);
}

/* The reply is read to its third byte even when it comes in pieces, so that
 * none of it is taken for a record. */
void _server_hello_reader(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    int n = ASock_Recv(link->sock, link->hello_in + link->hello_got, static_cast<int>(3 - link->hello_got));
    if (n > 0) {
        link->hello_got += static_cast<uint32_t>(n);
        if (link->hello_got < 3) {
            _server_await_reply(link);
            return;
        }
    } else if (n == MUX_IO_NOTHING || (n <= MUX_IO_ERROR && ASock_GetLastError(link->sock) == ASOCK_ETRYAGAIN)) {
        _server_await_reply(link);
        return;
    } else {
        qxlog(nullptr, QXLOG_ERROR, "No reply from server %s.  Write error %d.", gcfg.server_host,
              ASock_GetLastError(link->sock));
        _server_fail(link);
        return;
    }

    GDisp_Cancel(link->gd_timer);
    link->phase = PHASE_UP;
    mux_gauge_set(MUX_LINK_UP, 1);
    mux_count(MUX_LINK_UPS);
    char ip[32];
    _inet_ntoa(reinterpret_cast<const unsigned char *>(&link->addr), ip);
    qxlog(nullptr, QXLOG_NOTICE, "Connected to server %s. Server using %d.%d protocol (port %u, address %s)",
          gcfg.server_host, static_cast<signed char>(link->hello_in[1]), static_cast<signed char>(link->hello_in[2]),
          unsigned(gcfg.server_port), ip);
    GDisp_Timer(link->gd_timer, static_cast<uint32_t>(gcfg.stat_frequency), _server_stat_log, link);
    Multiplexor *mux = link->mux;
    int32_t expected = SERVER_STATE_NONE;
    if (mux->server_state.compare_exchange_strong(expected, SERVER_STATE_UP)) multiplexor_acceptable(mux);
    ASock_Readable(link->sock, link->gd_io, _server_reader, link);
}

void _server_setup_timeout(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    GDisp_Cancel(link->gd_io);
    switch (link->phase) {
    case PHASE_RESOLVING:
        qxlog(nullptr, QXLOG_ERROR, "Error while resolving server address.");
        GDispSem_V(link->sem_shutdown);
        return;
    case PHASE_CONNECTING: _server_cannot_connect(link, strerror(ETIMEDOUT)); break;
    default:
        qxlog(nullptr, QXLOG_ERROR, "No reply from server %s.  Write error %d.", gcfg.server_host, ETIMEDOUT);
        break;
    }
    _server_fail(link);
}

/* --- reading ------------------------------------------------------------------------ */

void _async_write_ack(void *arg, int status) {
    Conn *conn = static_cast<Conn *>(arg);
    if (!conn) return;
    qxlog(nullptr, QXLOG_INFORMATION, "conn[%d]: Write done - status %d\n", conn->id, status);
    muxlog_traffic(nullptr, "sent", "mux", "client", conn->id, nullptr, 0, 0);
}

/* Hands the gathered pieces to their connection, if it is still there. */
void _server_flush_pieces(ServerLink *link) {
    if (link->pend_n == 0) return;
    int n = link->pend_n;
    link->pend_n = 0;
    LockGuard hold(link->table.lock);
    Conn *conn = conn_table_find(&link->table, link->pend_id);
    if (!conn) return;
    for (int i = 0; i < n; i++)
        muxlog_traffic(nullptr, "recv", "server", "mux", conn->id, link->pend[i].iov_base, 0,
                       static_cast<int>(link->pend[i].iov_len));
    conn_async_writev(conn, _async_write_ack, conn, link->pend, n);
}

void _sink_data(void *arg, int32_t id, const char *chunk, uint32_t offset, uint32_t len) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    if (len == 0 || !conn_table_in_range(&link->table, id)) return;
    /* The pieces point into the read area, which stays put until the whole
     * read has been parsed and the pieces handed on. */
    if (link->pend_n > 0 && (link->pend_id != id || link->pend_n == MUX_SERVER_PIECES)) _server_flush_pieces(link);
    link->pend_id = id;
    link->pend[link->pend_n++] = {const_cast<char *>(chunk) + offset, len};
}

void _sink_close(void *arg, int32_t id) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    _server_flush_pieces(link);
    if (!conn_table_in_range(&link->table, id)) return;
    /* Told under the lock: once the slot is empty conn_delete may free the
     * record. */
    LockGuard hold(link->table.lock);
    Conn *conn = conn_table_find(&link->table, id);
    if (conn) conn_server_closed(conn);
}

void _sink_bye(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    _server_flush_pieces(link);
    qxlog(nullptr, QXLOG_ERROR, "server[%d]: Server says good bye. Scheduling multiplexor restart.\n", link->id);
}

void _sink_invalid(void *arg, int32_t type) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    _server_flush_pieces(link);
    qxlog(nullptr, QXLOG_ERROR, "server[%d]: got invalid client state(%d). Scheduling multiplexor restart.\n", link->id,
          type);
}

const MuxRecordSink kSink = {_sink_data, _sink_close, _sink_bye, _sink_invalid};

/* A link that keeps filling the read area is read again at once, a few
 * times, before waiting for readiness: the wait costs more than the read. */
constexpr int kServerReadsPerWakeup = 4;

void _server_reader(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    for (int round = 0; round < kServerReadsPerWakeup; round++) {
        int n = ASock_Recv(link->sock, link->rbuf, sizeof link->rbuf);
        qxlog(nullptr, QXLOG_DEBUG, "server[%d]: gdisp_read %ld dispatched. received %d bytes\n", link->id,
              _handle(link->gd_io), n);
        if (n > 0) {
            {
                LockGuard hold(link->stats_lock);
                link->bytes += n;
            }
            mux_count(MUX_SERVER_RECEIVED_BYTES, n);
            int ended = mux_record_parse(&link->rd, link->rbuf, static_cast<uint32_t>(n), &kSink, link);
            _server_flush_pieces(link);
            if (ended != 0) {
                GDispSem_V(link->sem_shutdown);
                return;
            }
            if (static_cast<size_t>(n) == sizeof link->rbuf) continue;
        } else if (n == MUX_IO_EOF || (n <= MUX_IO_ERROR && ASock_GetLastError(link->sock) != ASOCK_ETRYAGAIN)) {
            qxlog(nullptr, QXLOG_ERROR, "server[%d]: received %d bytes. Scheduling multiplexor restart.\n", link->id,
                  n);
            GDispSem_V(link->sem_shutdown);
            return;
        }
        break;
    }
    ASock_Readable(link->sock, link->gd_io, _server_reader, link);
}

/* --- writing ------------------------------------------------------------------------ */

/* Re-arms every paused reader once the pipe has drained far enough. Any
 * thread; the lock keeps a connection from being freed while it is re-armed. */
void _server_resume_readers(ServerLink *link) {
    if (ASPipe_Queued(link->pipe) > MUX_SERVER_PIPE_LOW) return;
    LockGuard hold(link->park_lock);
    while (!mux_list_empty(&link->parked)) {
        Conn *conn = reinterpret_cast<decltype(Conn::park) *>(link->parked.next)->conn;
        mux_list_unlink(&conn->park.node);
        conn_resume_reader(conn);
    }
}

/* The writer chain's hooks (mux_writer.h). */
void _server_wrote(void *owner, const MuxWriter *w) {
    ServerLink *link = static_cast<ServerLink *>(owner);
    if (w->wstatus == MUX_IO_DONE)
        muxlog_traffic(nullptr, "sent", "mux", "server", link->id, w->wbuf, MUX_REC_HEADER,
                       static_cast<int>(w->wlen) - MUX_REC_HEADER);
    else if (w->wstatus == MUX_IO_ERROR)
        qxlog(nullptr, QXLOG_DEBUG, "server[%d]: write error %d", link->id, GDisp_GetAsyncError(w->gd));
    else qxlog(nullptr, QXLOG_DEBUG, "server[%d]: unknown write error %d", link->id, w->wstatus);
}

/* A broken link is noticed by the reader; the chain goes on. */
bool _server_write_go_on(void *) { return true; }

void _server_writer_waiting(void *owner) { _server_resume_readers(static_cast<ServerLink *>(owner)); }

const MuxWriterHooks kServerWriterHooks = {nullptr, _server_wrote, _server_write_go_on, _server_writer_waiting};

/* --- statistics and shutdown ---------------------------------------------------------- */

void _server_stat_log(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    long total, active;
    long long bytes;
    {
        LockGuard hold(link->stats_lock);
        total = link->total;
        active = link->active;
        bytes = link->bytes;
    }
    qxlog(nullptr, QXLOG_NOTICE, "Server Stat: [Total=%ld] [Active=%ld] [bytes=%lld] [uptime=%lds]", total, active,
          bytes, static_cast<long>(time(nullptr) - link->start_time));
    GDisp_Timer(link->gd_timer, static_cast<uint32_t>(gcfg.stat_frequency), _server_stat_log, link);
}

void _server_shutdown(void *arg) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    qxlog(nullptr, QXLOG_DEBUG, "_server_shutdown called for IM server %s\n", gcfg.server_host);
    multiplexor_shutdown(link->mux);
}

}  // namespace

ServerLink *server_new(Multiplexor *mux) {
    MemCx *mcx = DbllMemCx_New(mux->mcx, 1);
    if (!mcx) return nullptr;
    ServerLink *link = static_cast<ServerLink *>(mcx->Realloc(mcx, nullptr, sizeof(ServerLink)));
    if (!link) {
        mcx->Destroy(mcx);
        return nullptr;
    }
    link->mcx = mcx;
    link->mux = mux;
    mux_list_init(&link->link);
    link->sock = ASock_New();
    link->id = 1;
    link->gd_io = GDisp_New(mux->gdc);
    link->gd_write = GDisp_New(mux->gdc);
    link->gd_ctl = GDisp_New(mux->gdc);
    link->gd_timer = GDisp_New(mux->gdc);
    link->sem_shutdown = GDispSem_New(0);
    link->pipe = ASPipe_New(MUX_SERVER_PIPE_BLOCK);
    link->stats_lock = PR_NewLock();
    link->park_lock = PR_NewLock();
    mux_list_init(&link->parked);
    bool table = conn_table_init(&link->table, mcx, mux->max_sessions);
    if (!link->sock || !link->gd_io || !link->gd_write || !link->gd_ctl || !link->gd_timer || !link->sem_shutdown ||
        !link->pipe || !link->stats_lock || !link->park_lock || !table) {
        qxlog(nullptr, QXLOG_ERROR, "Cannot connect to IM Server %s port %u: out of resources for the link",
              gcfg.server_host, unsigned(gcfg.server_port));
        /* Not linked yet: give back what was made. */
        ASock_Delete(link->sock, ASOCK_CLOSE_PLAIN);
        GDisp_Delete(link->gd_io);
        GDisp_Delete(link->gd_write);
        GDisp_Delete(link->gd_ctl);
        GDisp_Delete(link->gd_timer);
        GDispSem_Delete(link->sem_shutdown);
        ASPipe_Delete(link->pipe);
        if (link->stats_lock) PR_DestroyLock(link->stats_lock);
        if (table) conn_table_destroy(&link->table, mcx);
        if (link->park_lock) PR_DestroyLock(link->park_lock);
        mcx->Destroy(mcx);
        return nullptr;
    }
    mux->server = link;
    GDisp_SetPriority(link->gd_write, 2);
    GDisp_Group(link->gd_io, link->gd_timer);
    link->close_mode = ASOCK_CLOSE_PLAIN;
    link->start_time = time(nullptr);
    link->active = link->total = 0;
    link->bytes = 0;
    link->pend_id = 0;
    link->pend_n = 0;
    mux_record_parser_init(&link->rd);

    GDispSem_P(link->sem_shutdown, link->gd_ctl, _server_shutdown, link);
    mux_writer_init(&link->writer, link->sock, link->pipe, link->gd_write, &kServerWriterHooks, link);
    mux_writer_start(&link->writer);
    {
        LockGuard hold(mux->servers_lock);
        mux_list_append(&mux->servers, &link->link);
    }
    /* The statistics timer starts once the link is up; until then this timer
     * bounds resolving, connecting and the hello exchange together. */
    GDisp_Timer(link->gd_timer, MUX_SERVER_SETUP_MS, _server_setup_timeout, link);

    in_addr_t a = inet_addr(gcfg.server_host);
    if (a != INADDR_NONE) {
        link->addr = a;
        _server_connect(link);
    } else {
        link->phase = PHASE_RESOLVING;
        if (GDisp_GetAddr(link->gd_io, gcfg.server_host, &link->addr, _server_getaddred, link) != 0) {
            qxlog(nullptr, QXLOG_ERROR, "Error while resolving server address.");
            GDispSem_V(link->sem_shutdown);
        }
    }
    return link;
}

void server_delete(ServerLink *link) {
    if (!link) return;
    Multiplexor *mux = link->mux;
    {
        LockGuard hold(mux->servers_lock);
        mux_list_unlink(&link->link);
    }
    if (link->phase == PHASE_UP) {
        mux_gauge_set(MUX_LINK_UP, 0);
        mux_count(MUX_LINK_DOWNS);
    } else {
        mux_count(MUX_LINK_FAILURES);
    }
    ASock_Delete(link->sock, link->close_mode);
    link->sock = nullptr;
    GDispSem_Delete(link->sem_shutdown);
    link->sem_shutdown = nullptr;
    /* At the end of a cycle the dispatch context goes with all its objects. */
    if (!mux->shutdown) {
        GDisp_Delete(link->gd_io);
        GDisp_Delete(link->gd_write);
        GDisp_Delete(link->gd_ctl);
        GDisp_Delete(link->gd_timer);
    }
    link->gd_io = link->gd_write = link->gd_ctl = link->gd_timer = nullptr;
    ASPipe_Delete(link->pipe);
    link->pipe = nullptr;
    PR_DestroyLock(link->stats_lock);
    PR_DestroyLock(link->park_lock);
    MemCx *mcx = link->mcx;
    conn_table_destroy(&link->table, mcx);
    mcx->Realloc(mcx, link, 0);
    mcx->Destroy(mcx);
}

namespace {

/* The pipe's direct path; the bytes are shown as the writer shows a chunk
 * (here, while they still exist). */
int _server_send_now(void *arg, const struct iovec *iov, int n) {
    ServerLink *link = static_cast<ServerLink *>(arg);
    int sent = ASock_SendV(link->sock, iov, n);
    if (sent > 0 && n == 1)
        muxlog_traffic(nullptr, "sent", "mux", "server", link->id, iov[0].iov_base, MUX_REC_HEADER,
                       sent - MUX_REC_HEADER);
    return sent;
}

/* Queues whole records of one connection in one piece and counts them. */
void _server_queue(Conn *conn, MuxAckFn ack, void *ack_arg, const void *buf, uint32_t len, bool give) {
    ServerLink *link = conn->server;
    /* Counted before they are queued: once queued the server may have them
     * and the client's close (with its session line) may follow at once. */
    conn_count_bytes(conn, len);
    {
        LockGuard hold(link->stats_lock);
        link->bytes += len;
    }
    mux_count(MUX_SERVER_SENT_BYTES, len);
    if (give) {
        /* A long run goes straight to the socket while the link's writer
         * waits on an empty pipe: no wake-up of the writer, and what the
         * socket does not take is queued without a copy. */
        char *run = static_cast<char *>(const_cast<void *>(buf));
        ASPipe_WriteBufThrough(link->pipe, run, len, _server_send_now, link);
    } else {
        ASPipe_Write(link->pipe, buf, len);
    }
    conn_queued_for_server(conn, ack, ack_arg);
}

}  // namespace

void server_async_write(Conn *conn, MuxAckFn ack, void *ack_arg, const void *buf, uint32_t len) {
    if (!conn || conn->state == CONN_DELETED) return;
    qxlog(nullptr, QXLOG_INFORMATION, "conn[%d]: writing %d bytes", conn->id, static_cast<int>(len));
    mux_count(MUX_SERVER_SENT_RECORDS);
    _server_queue(conn, ack, ack_arg, buf, len, false);
}

void server_async_write_records(Conn *conn, MuxAckFn ack, void *ack_arg, char *buf, uint32_t len, int give) {
    if (!conn || conn->state == CONN_DELETED || len == 0) {
        if (give) ASPipe_FreeBuf(buf);
        return;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(buf);
    int64_t records = 0;
    for (uint32_t off = 0; off < len; records++) {
        uint32_t size = mux_record_size(p + off, len - off);
        if (size > len - off) size = len - off;
        qxlog(nullptr, QXLOG_INFORMATION, "conn[%d]: writing %d bytes", conn->id, static_cast<int>(size));
        off += size;
    }
    mux_count(MUX_SERVER_SENT_RECORDS, records);
    _server_queue(conn, ack, ack_arg, buf, len, give != 0);
}

int server_pause_reader(Conn *conn) {
    ServerLink *link = conn->server;
    if (ASPipe_Queued(link->pipe) <= MUX_SERVER_PIPE_HIGH) return 0;
    {
        LockGuard hold(link->park_lock);
        mux_list_append(&link->parked, &conn->park.node);
    }
    mux_count(MUX_READER_PAUSES);
    qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: server link behind, reader paused", conn->id);
    /* The writer may have drained the pipe before this reader was listed. */
    _server_resume_readers(link);
    return 1;
}

/* Declared with the connections (mux_conn.h), where it has always been. */
int32_t get_conn_sd(ServerLink *server, Multiplexor *, Conn *conn) { return conn_table_claim(&server->table, conn); }

bool server_refuses_clients(ServerLink *link) { return ASPipe_Queued(link->pipe) > MUX_SERVER_PIPE_REFUSE; }

int32_t server_attach(ServerLink *link, Conn *conn, int32_t *number) {
    int32_t id = conn_table_add(&link->table, conn, number);
    if (id <= 0) return id;
    LockGuard hold(link->stats_lock);
    link->active += 1;
    link->total += 1;
    return id;
}

void server_detach(ServerLink *link, Conn *conn) {
    server_forget_reader(conn);
    {
        LockGuard hold(link->stats_lock);
        link->active -= 1;
    }
    conn_table_remove(&link->table, conn->id, conn);
}

void server_forget_reader(Conn *conn) {
    ServerLink *link = conn->server;
    LockGuard hold(link->park_lock);
    mux_list_unlink(&conn->park.node); /* a node linked to itself stays so */
}
