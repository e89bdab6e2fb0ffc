/* Client connections.
 *
 * Threads: _conn_reader (gd_read), the writer chain (gd_write, mux_writer.h)
 * and _conn_shutdown (gd_ctl) are one dispatch group and never overlap.
 * conn_new runs on the accept handler's thread: it builds the whole record
 * before the number is published and arms the shutdown waiter last, so no
 * callback can delete the record while conn_new still uses it.
 * conn_async_write runs on the server link's reader under table.lock; it
 * may write to the client socket itself, but only through the pipe's direct
 * path, which opens only while the writer chain waits on an empty pipe, so
 * the two never send at once and never reorder bytes.
 * Lock order where two meet: table.lock, then bytes_lock (data for a client);
 * everything else takes one lock at a time. */
#include "relay/mux_conn.h"
#include "relay/mux_io.h"
#include "relay/mux_writer.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <new>

#include "base/lock_guard.h"
#include "process/multiplexor.h"
#include "process/mux_init.h"
#include "log/mux_log.h"
#include "log/qxlogger.h"
#include "metrics/mux_counters.h"

using muxbase::LockGuard;

namespace {

long _handle(const void *p) { return static_cast<long>(reinterpret_cast<intptr_t>(p)); }

void _conn_reader(void *arg);
void _conn_shutdown(void *arg);

/* Records queued for the server need no acknowledgement. */
void _async_write_ack(void *, int) {}

/* Records read from a client are built in an area of the worker thread
 * rather than of each connection: an idle client holds no read buffer. The
 * area is pipe memory: a long run of records is handed to the server pipe
 * as it stands (no copy) and the thread takes a fresh area; a short one is
 * copied, so that small records of many clients still join in the pipe's
 * blocks and leave in one send. */
constexpr int kReadsPerWakeup = MUX_SEND_MAX / MUX_REC_MAX;
constexpr uint32_t kAreaSize = kReadsPerWakeup * MUX_REC_MAX;
constexpr uint32_t kHandOverMin = 4 * MUX_REC_MAX;

class ReadArea {
  public:
    ~ReadArea() { ASPipe_FreeBuf(area_); }
    /* The area, or a one-record fallback when memory is short. */
    unsigned char *get(uint32_t *room) {
        if (!area_) area_ = ASPipe_AllocBuf(kAreaSize);
        if (!area_) {
            *room = MUX_REC_MAX;
            return fallback_;
        }
        *room = kAreaSize;
        return reinterpret_cast<unsigned char *>(area_);
    }
    void flush(Conn *conn, unsigned char *area, uint32_t used);

  private:
    char *area_ = nullptr;
    unsigned char fallback_[MUX_REC_MAX];
};

thread_local ReadArea t_read_area;

/* The pipe's direct path: whatever the client socket takes at once. */
int _conn_send_now(void *arg, const struct iovec *iov, int n) {
    Conn *conn = static_cast<Conn *>(arg);
    return ASock_SendV(conn->sock, iov, n);
}

/* Bytes waiting for the client: in its pipe and inside its socket. */
uint64_t _conn_queued(Conn *conn) { return ASPipe_Queued(conn->pipe) + ASock_SendQueued(conn->sock); }

/* A client that lets more than its bound wait is closed as if it had
 * closed itself (one close record to the server), with a reset, so that
 * neither we nor the kernel keep its bytes. From the server link's reader.
 * Must hold: the link's table.lock. */
void _conn_over_limit(Conn *conn, uint64_t queued) {
    {
        LockGuard hold(conn->state_lock);
        if (conn->state != CONN_WORK && conn->state != CONN_NEW) return;
        conn->state = CONN_CLOSING;
    }
    conn->close_mode = ASOCK_CLOSE_ABORT;
    qxlog(nullptr, QXLOG_WARNING, "[%s][%d]: client queue over limit, closing. [queued=%llu] [limit=%lld]", conn->ip,
          conn->id, static_cast<unsigned long long>(queued), static_cast<long long>(conn->queue_max));
    GDispSem_V(conn->sem_shutdown);
}

void ReadArea::flush(Conn *conn, unsigned char *area, uint32_t used) {
    if (used == 0) return;
    char *buf = reinterpret_cast<char *>(area);
    if (buf == area_ && used >= kHandOverMin) {
        area_ = nullptr;
        server_async_write_records(conn, _async_write_ack, nullptr, buf, used, 1);
    } else {
        server_async_write_records(conn, _async_write_ack, nullptr, buf, used, 0);
    }
}

void _conn_flush(Conn *conn, unsigned char *area, uint32_t used) { t_read_area.flush(conn, area, used); }

/* An internal consistency failure: logged, then the process stops. */
[[noreturn]] void _conn_assert_failed(const char *what) {
    qxlog(nullptr, QXLOG_CRITICAL, "assertion failed: %s", what);
    abort();
}

void _conn_set_state(Conn *conn, int32_t state) {
    LockGuard hold(conn->state_lock);
    if (conn->state == CONN_DELETED) _conn_assert_failed("conn->state != CONN_DELETED");
    conn->state = state;
}

void _conn_rearm(Conn *conn) {
    qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: gdisp_read %ld scheduled\n", conn->id, _handle(conn->gd_read));
    ASock_Readable(conn->sock, conn->gd_read, _conn_reader, conn);
}

void _conn_reader_done(Conn *conn, const char *how) {
    conn->reader_done = 1;
    qxlog(nullptr, QXLOG_DEBUG, how, conn->id, _handle(conn->gd_read));
    GDispSem_V(conn->sem_shutdown);
}

/* Pacing reads one clock for the decision and the wait: time() may lag the
 * precise clock by a tick, which would turn the end of a pause into a burst
 * of one-millisecond postponements. */
long long _now_ms(void) {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

/* Milliseconds until the clock (in whole seconds) has moved `limit` seconds
 * past the last forwarded read. */
uint32_t _pace_wait_ms(const Conn *conn, int32_t limit, long long now_ms) {
    long long wait = (static_cast<long long>(conn->last_read) + limit) * 1000 - now_ms;
    return wait < 1 ? 1 : static_cast<uint32_t>(wait + 1);
}

void _conn_reader(void *arg) {
    Conn *conn = static_cast<Conn *>(arg);
    int32_t state = conn->state;
    qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: gdisp_read %ld dispatched reader state %d\n", conn->id,
          _handle(conn->gd_read), state);
    switch (state) {
    case CONN_NEW: qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: (_conn_reader) state %d\n", conn->id, state); return;
    case CONN_CLOSING: _conn_reader_done(conn, "conn[%d]: gdisp_read %ld closing\n"); return;
    case CONN_WORK: break;
    default: return;
    }

    /* Flow toward the server: while the link is behind, the bytes stay in
     * the socket and TCP slows the client; the link re-arms this reader. */
    if (server_pause_reader(conn)) return;

    /* Pacing: the bytes stay in the socket and the reader sleeps on a timer
     * for the rest of the interval, rather than re-arming a readability wait
     * that would fire again at once. */
    int32_t limit = conn->rate_limit;
    long long now_ms = _now_ms();
    if (limit > 0 && now_ms / 1000 - conn->last_read < limit) {
        qxlog(nullptr, QXLOG_NOTICE, "conn[%d]: gdisp_read %ld scheduled. conn limit exceeded.\n", conn->id,
              _handle(conn->gd_read));
        GDisp_Timer(conn->gd_read, _pace_wait_ms(conn, limit, now_ms), _conn_reader, conn);
        return;
    }

    /* One read fills as many record areas as the client has bytes for (up
     * to the bound) and the records go to the server in one piece: one
     * system call, one readiness wait and one queue operation for many
     * records. A paced client gets one record per read. */
    uint32_t room;
    unsigned char *area = t_read_area.get(&room);
    int slots = limit != 0 ? 1 : static_cast<int>(room / MUX_REC_MAX);
    struct iovec iov[kReadsPerWakeup];
    for (int i = 0; i < slots; i++)
        iov[i] = {area + static_cast<size_t>(i) * MUX_REC_MAX + MUX_REC_HEADER, MUX_REC_MAX_DATA};
    int n = ASock_RecvV(conn->sock, iov, slots);
    if (n > 0) {
        state = conn->state;
        if (state == CONN_WORK) {
            /* Every 4087 bytes of the read are one record, each in place
             * behind its header, exactly as so many single reads. */
            uint32_t used = 0;
            for (uint32_t left = static_cast<uint32_t>(n); left > 0;) {
                uint32_t k = left < MUX_REC_MAX_DATA ? left : MUX_REC_MAX_DATA;
                unsigned char *rec = area + used;
                qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: (_conn_reader) conn_work state, received size %d\n", conn->id,
                      static_cast<int>(k));
                muxlog_traffic(nullptr, "recv", "client", "mux", conn->id, rec, MUX_REC_HEADER, static_cast<int>(k));
                used += mux_record_data_header(rec, conn->id, k);
                left -= k;
            }
            _conn_flush(conn, area, used);
            mux_count(MUX_CLIENT_RECEIVED_BYTES, n);
            if (limit != 0) conn->last_read = static_cast<time_t>(_now_ms() / 1000);
            _conn_rearm(conn);
        } else if (state == CONN_CLOSING) {
            /* The shutdown began meanwhile: these bytes are dropped. */
            _conn_reader_done(conn, "conn[%d]: gdisp_read %ld closing\n");
        } else {
            qxlog(nullptr, QXLOG_ERROR, "conn[%d]: (_conn_reader) invalid state\n", conn->id);
            _conn_assert_failed("conn->state == CONN_WORK || conn->state == CONN_CLOSING");
        }
        return;
    }
    qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: (_conn_reader) conn_work state, received size %d\n", conn->id, n);
    muxlog_traffic(nullptr, "recv", "client", "mux", conn->id, area, MUX_REC_HEADER, n);
    if (n == MUX_IO_NOTHING) {
        qxlog(nullptr, QXLOG_ERROR, "conn[%d]: reader invoked when nothing to read\n", conn->id);
        _conn_rearm(conn);
        return;
    }
    if (n == MUX_IO_EOF) {
        conn->reader_done = 1;
        qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: gdisp_read %ld closing (_conn_reader)\n", conn->id,
              _handle(conn->gd_read));
        _conn_set_state(conn, CONN_CLOSING);
        GDispSem_V(conn->sem_shutdown);
        return;
    }
    int err = ASock_GetLastError(conn->sock);
    if (err == ASOCK_ETRYAGAIN) {
        _conn_rearm(conn);
        return;
    }
    conn->reader_done = 1;
    qxlog(nullptr, QXLOG_DEBUG, "conn[%d]: gdisp_read %ld - error %d / -%x - closing reader\n", conn->id,
          _handle(conn->gd_read), err, err + MUX_LOG_ERROR_BIAS);
    _conn_set_state(conn, CONN_CLOSING);
    GDispSem_V(conn->sem_shutdown);
}

/* The writer chain's hooks (mux_writer.h). */
bool _conn_may_write(void *owner) { return static_cast<Conn *>(owner)->state == CONN_WORK; }

void _conn_wrote(void *owner, const MuxWriter *w) {
    Conn *conn = static_cast<Conn *>(owner);
    if (w->wstatus == MUX_IO_DONE) {
        qxlog(nullptr, QXLOG_DEBUG, "[%s][%d]: wrote [bytes=%ld]", conn->ip, conn->id, static_cast<long>(w->wlen));
        muxlog_traffic(nullptr, "sent", "mux", "client", conn->id, w->wbuf, 0, static_cast<int>(w->wlen));
    } else if (w->wstatus == MUX_IO_ERROR) {
        qxlog(nullptr, QXLOG_DEBUG, "[%s][%d]: write error %d", conn->ip, conn->id, GDisp_GetAsyncError(w->gd));
    } else {
        qxlog(nullptr, QXLOG_DEBUG, "[%s][%d]: unknown write error %d", conn->ip, conn->id, w->wstatus);
    }
}

/* After a background write: a closing client's writing side is done. */
bool _conn_write_go_on(void *owner) {
    Conn *conn = static_cast<Conn *>(owner);
    int32_t state = conn->state;
    if (state == CONN_CLOSING) {
        conn->writer_done = 1;
        GDispSem_V(conn->sem_shutdown);
    }
    return state == CONN_WORK;
}

const MuxWriterHooks kConnWriterHooks = {_conn_may_write, _conn_wrote, _conn_write_go_on, nullptr};

void _conn_shutdown(void *arg) {
    Conn *conn = static_cast<Conn *>(arg);
    if (conn->mux->shutdown) return;
    _conn_set_state(conn, CONN_CLOSING);
    /* A close that did not come from the server is reported to it exactly
     * once, whatever else finished the writing side first. Queueing the
     * record on a closing connection releases this waiter again. */
    if (!conn->server_closed && !conn->close_sent) {
        conn->close_sent = 1;
        GDispSem_P(conn->sem_shutdown, conn->gd_ctl, _conn_shutdown, conn);
        unsigned char rec[MUX_REC_CLOSE_SIZE];
        server_async_write(conn, _async_write_ack, nullptr, rec, mux_record_close(rec, conn->id));
        return;
    }
    if (!conn->writer_done) {
        GDispSem_P(conn->sem_shutdown, conn->gd_ctl, _conn_shutdown, conn);
        return;
    }
    if (!conn->reader_done) GDisp_Cancel(conn->gd_read);
    _conn_set_state(conn, CONN_DELETED);
    if (!conn->mux->shutdown) conn_delete(conn);
}

/* Gives back a record that never became a connection (the socket stays the
 * caller's). */
void _conn_discard(Conn *conn) {
    GDisp_Delete(conn->gd_read);
    GDisp_Delete(conn->gd_write);
    GDisp_Delete(conn->gd_ctl);
    GDispSem_Delete(conn->sem_shutdown);
    ASPipe_Delete(conn->pipe);
    if (conn->state_lock) PR_DestroyLock(conn->state_lock);
    if (conn->bytes_lock) PR_DestroyLock(conn->bytes_lock);
    MemCx *mcx = conn->mcx;
    mcx->Destroy(mcx);
}

}  // namespace

Conn *conn_new(ASock *sock, const char *ip, Multiplexor *mux) {
    ServerLink *link = mux->server;
    if (!link) return nullptr;
    if (server_refuses_clients(link)) {
        if (!mux->refusing.exchange(1))
            qxlog(nullptr, QXLOG_WARNING, "[%s]: server link behind, closing new clients until it catches up",
                  ip ? ip : "");
        return nullptr;
    }
    mux->refusing = 0;
    MemCx *mcx = DbllMemCx_New(mux->mcx, 1);
    if (!mcx) return nullptr;
    void *mem = mcx->Realloc(mcx, nullptr, sizeof(Conn));
    if (!mem) {
        mcx->Destroy(mcx);
        return nullptr;
    }
    Conn *conn = new (mem) Conn();
    conn->mcx = mcx;
    conn->mux = mux;
    conn->server = link;
    mux_list_init(&conn->link);
    mux_list_init(&conn->park.node);
    conn->park.conn = conn;
    conn->sock = sock;

    /* Everything the server side may touch exists before the number is
     * published: stale data for a reused number can arrive at any time. */
    conn->gd_read = GDisp_New(mux->gdc);
    conn->gd_write = GDisp_New(mux->gdc);
    conn->gd_ctl = GDisp_New(mux->gdc);
    conn->sem_shutdown = GDispSem_New(0);
    conn->pipe = ASPipe_New(4096);
    conn->state_lock = PR_NewLock();
    conn->bytes_lock = PR_NewLock();
    size_t iplen = strlen(ip ? ip : "") + 1;
    conn->ip = static_cast<char *>(mcx->Realloc(mcx, nullptr, iplen));
    if (!conn->gd_read || !conn->gd_write || !conn->gd_ctl || !conn->sem_shutdown || !conn->pipe || !conn->state_lock ||
        !conn->bytes_lock || !conn->ip) {
        qxlog(nullptr, QXLOG_ERROR, "Multiplexor reached max sessions\n");
        _conn_discard(conn);
        return nullptr;
    }
    GDisp_Group(conn->gd_ctl, conn->gd_write);
    GDisp_Group(conn->gd_ctl, conn->gd_read);
    memcpy(conn->ip, ip ? ip : "", iplen);
    conn->writer_done = 0;
    conn->reader_done = 0;
    conn->state = CONN_NEW;
    mux_writer_init(&conn->writer, sock, conn->pipe, conn->gd_write, &kConnWriterHooks, conn);
    conn->close_mode = ASOCK_CLOSE_ORDERLY;
    conn->start_time = conn->last_read = static_cast<time_t>(_now_ms() / 1000);
    conn->rate_limit = conn_rate_limit;
    conn->bytes = 0;
    conn->queue_max = client_queue_max;

    int32_t id = server_attach(link, conn, &conn->id);
    if (id <= 0) {
        qxlog(nullptr, QXLOG_ERROR, "Multiplexor reached max sessions\n");
        _conn_discard(conn);
        return nullptr;
    }

    /* Counted before the server can hear of it, so that counts in log lines
     * never lag what the server has been told. */
    int32_t total, active;
    {
        LockGuard hold(mux->lock);
        total = mux->total;
        active = mux->active;
        mux_list_append(&mux->conns, &conn->link);
        mux->active += 1;
        mux->total += 1;
    }
    mux_count(MUX_SESSIONS_TOTAL);
    mux_count(MUX_SESSIONS_ACTIVE);

    unsigned char rec[MUX_REC_OPEN_SIZE];
    in_addr_t addr = inet_addr(conn->ip); /* text that does not convert gives FF FF FF FF */
    server_async_write(conn, _async_write_ack, nullptr, rec,
                       mux_record_open(rec, id, reinterpret_cast<const unsigned char *>(&addr)));
    conn->state = CONN_WORK;
    qxlog(nullptr, QXLOG_NOTICE, "[%s][%d]: client started. [total=%d] [active=%d]", conn->ip, id, total, active);

    mux_writer_start(&conn->writer);
    ASock_Readable(conn->sock, conn->gd_read, _conn_reader, conn);
    GDispSem_P(conn->sem_shutdown, conn->gd_ctl, _conn_shutdown, conn);
    return conn;
}

void conn_async_write(Conn *conn, MuxAckFn ack, void *ack_arg, const void *buf, uint32_t len) {
    struct iovec one = {const_cast<void *>(buf), len};
    conn_async_writev(conn, ack, ack_arg, &one, 1);
}

void conn_async_writev(Conn *conn, MuxAckFn ack, void *ack_arg, const struct iovec *iov, int n) {
    if (!conn) return;
    int32_t state = conn->state;
    if (state == CONN_NEW || state == CONN_WORK) {
        /* Counted before they are queued: once queued the client may have
         * them and its close (with its session line) may follow at once. */
        uint32_t len = 0;
        for (int i = 0; i < n; i++) len += static_cast<uint32_t>(iov[i].iov_len);
        mux_count(MUX_CLIENT_SENT_BYTES, len);
        conn_count_bytes(conn, len);
        /* While the client's writer waits on an empty pipe the bytes go to
         * the socket from here: no copy, no wake-up of the writer. */
        int sent = ASPipe_WriteThrough(conn->pipe, iov, n, _conn_send_now, conn);
        if (sent > 0) {
            qxlog(nullptr, QXLOG_DEBUG, "[%s][%d]: wrote [bytes=%ld]", conn->ip, conn->id, static_cast<long>(sent));
            int left = sent;
            for (int i = 0; i < n && left > 0; i++) {
                int piece = static_cast<int>(iov[i].iov_len) < left ? static_cast<int>(iov[i].iov_len) : left;
                muxlog_traffic(nullptr, "sent", "mux", "client", conn->id, iov[i].iov_base, 0, piece);
                left -= piece;
            }
        }
        if (conn->queue_max > 0) {
            uint64_t queued = _conn_queued(conn);
            if (queued > static_cast<uint64_t>(conn->queue_max)) _conn_over_limit(conn, queued);
        }
    } else if (state == CONN_CLOSING) {
        /* Data for a closing client is dropped and hastens its shutdown. */
        if (ack) ack(ack_arg, MUX_ACK_CLOSING);
        conn->writer_done = 1;
        GDispSem_V(conn->sem_shutdown);
    }
}

void conn_resume_reader(Conn *conn) { _conn_rearm(conn); }

void conn_server_closed(Conn *conn) {
    conn->server_closed = 1;
    conn->writer_done = 1;
    GDispSem_V(conn->sem_shutdown);
}

void conn_count_bytes(Conn *conn, uint32_t len) {
    LockGuard hold(conn->bytes_lock);
    conn->bytes += len;
}

void conn_queued_for_server(Conn *conn, MuxAckFn ack, void *ack_arg) {
    if (conn->state == CONN_CLOSING) {
        if (ack) ack(ack_arg, MUX_ACK_CLOSING);
        conn->writer_done = 1;
        qxlog(nullptr, QXLOG_INFORMATION, "conn[%d]: Connection closing - write request aborted", conn->id);
        GDispSem_V(conn->sem_shutdown);
    }
}

void conn_delete(Conn *conn) {
    ServerLink *link = conn->server;
    Multiplexor *mux = conn->mux;
    server_detach(link, conn);
    int32_t total, active;
    {
        LockGuard hold(mux->lock);
        total = mux->total;
        active = mux->active - 1;
        mux_list_unlink(&conn->link);
        mux->active -= 1;
    }
    mux_count(MUX_SESSIONS_ACTIVE, -1);
    long long bytes;
    {
        LockGuard hold(conn->bytes_lock);
        bytes = conn->bytes;
    }
    qxlog(nullptr, QXLOG_NOTICE, "[%s][%d]: client closed. [time=%lds] [bytes=%lld] [total=%d] [active=%d]", conn->ip,
          conn->id, static_cast<long>(_now_ms() / 1000 - conn->start_time), bytes, total, active);
    /* At the end of a cycle the dispatch context goes with all its objects. */
    if (!mux->shutdown) {
        GDisp_Delete(conn->gd_read);
        GDisp_Delete(conn->gd_write);
        GDisp_Delete(conn->gd_ctl);
    }
    conn->gd_read = conn->gd_write = conn->gd_ctl = nullptr;
    GDispSem_Delete(conn->sem_shutdown);
    conn->sem_shutdown = nullptr;
    /* The socket goes first: a background write may still point into the
     * pipe's current chunk. */
    ASock_Delete(conn->sock, conn->close_mode);
    conn->sock = nullptr;
    ASPipe_Delete(conn->pipe);
    conn->pipe = nullptr;
    PR_DestroyLock(conn->bytes_lock);
    PR_DestroyLock(conn->state_lock);
    MemCx *mcx = conn->mcx;
    conn->~Conn();
    mcx->Destroy(mcx);
}
