/* The accept path of clients behind a load balancer.
 *
 * The header is taken off the socket without reading past it: each time the
 * socket is readable its bytes are peeked, and only bytes that are known to
 * belong to the header are consumed (all of them while the header is not
 * complete, exactly its rest once it is). So nothing of the client's own
 * bytes is ever taken, even when they came in the same segment, and a slow
 * sender does not make the readiness wait fire again and again.
 *
 * Release-exactly-once: a waiting client is released by its readiness
 * callback, by its time limit or at the end of the cycle; the first two run
 * on its own dispatcher and releasing deletes that dispatcher, which cancels
 * the other. */
#include "process/mux_proxy.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "base/lock_guard.h"
#include "log/qxlogger.h"
#include "metrics/mux_counters.h"
#include "process/multiplexor.h"
#include "process/mux_init.h"
#include "process/mux_proxy_header.h"

using muxbase::LockGuard;

namespace {

struct ProxyWait {
    MuxList link; /* in `waiting` */
    Multiplexor *mux;
    ASock *sock;
    GDisp *gd;
    uint32_t source;
    char source_text[16];
    size_t have; /* header bytes consumed so far, at the front of buf */
    unsigned char buf[MUX_PROXY_HEADER_MAX];
};

PRLock *_waiting_lock() {
    static PRLock *lock = PR_NewLock();
    return lock;
}
MuxList waiting = {&waiting, &waiting};

ProxyWait *_from_link(MuxList *l) {
    return reinterpret_cast<ProxyWait *>(reinterpret_cast<char *>(l) - offsetof(ProxyWait, link));
}

/* Frees the record; the socket is the caller's. */
void _release(ProxyWait *w) {
    {
        LockGuard hold(_waiting_lock());
        mux_list_unlink(&w->link);
    }
    GDisp_Delete(w->gd);
    MemCx *mcx = w->mux->mcx;
    mcx->Realloc(mcx, w, 0);
}

void _close(ProxyWait *w) {
    ASock_Delete(w->sock, ASOCK_CLOSE_PLAIN);
    _release(w);
}

void _timeout(void *arg) {
    ProxyWait *w = static_cast<ProxyWait *>(arg);
    qxlog(nullptr, QXLOG_WARNING, "[%s] PROXY header not complete within %d seconds, closing", w->source_text,
          MUX_PROXY_HEADER_SECONDS);
    _close(w);
}

void _readable(void *arg);

void _rearm(ProxyWait *w) {
    if (ASock_Readable(w->sock, w->gd, _readable, w) != 0) _close(w);
}

void _readable(void *arg) {
    ProxyWait *w = static_cast<ProxyWait *>(arg);
    int fd = ASock_GetFd(w->sock);
    ssize_t n = recv(fd, w->buf + w->have, sizeof w->buf - w->have, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return _rearm(w);
    if (n <= 0) {
        /* A connection that ends before its first byte is a balancer's
         * plain connect check, not a broken header. */
        if (n == 0 && w->have == 0) qxlog(nullptr, QXLOG_DEBUG, "[%s] closed before its PROXY header", w->source_text);
        else
            qxlog(nullptr, QXLOG_WARNING, "[%s] PROXY header cut short (%s after %zu bytes), closing", w->source_text,
                  n == 0 ? "end of stream" : strerror(errno), w->have);
        return _close(w);
    }
    MuxProxyHeader h;
    MuxProxyStatus st = mux_proxy_parse(w->buf, w->have + size_t(n), &h);
    if (st == MUX_PROXY_INVALID) {
        qxlog(nullptr, QXLOG_WARNING, "[%s] bad PROXY header (%s), closing", w->source_text, h.why);
        return _close(w);
    }
    /* What is consumed now: everything peeked while the header goes on, its
     * rest once it is complete. Peeked bytes are there to be read. */
    size_t take = st == MUX_PROXY_COMPLETE ? h.length - w->have : size_t(n);
    if (recv(fd, w->buf + w->have, take, 0) != ssize_t(take)) {
        qxlog(nullptr, QXLOG_WARNING, "[%s] PROXY header cannot be read (%s), closing", w->source_text,
              strerror(errno));
        return _close(w);
    }
    w->have += take;
    if (st == MUX_PROXY_NEED_MORE) return _rearm(w);

    Multiplexor *mux = w->mux;
    ASock *sock = w->sock;
    uint32_t client = w->source;
    char source_text[16];
    snprintf(source_text, sizeof source_text, "%s", w->source_text);
    _release(w);
    if (h.local) {
        qxlog(nullptr, QXLOG_DEBUG, "[%s] PROXY header of the balancer itself (health check), closing", source_text);
        ASock_Delete(sock, ASOCK_CLOSE_PLAIN);
        return;
    }
    if (h.family == MUX_PROXY_INET) {
        client = h.src_addr;
    } else {
        qxlog(nullptr, QXLOG_DEBUG, "[%s] PROXY header without an IPv4 client (%s), the balancer's address is used",
              source_text,
              h.family == MUX_PROXY_INET6  ? "IPv6"
              : h.family == MUX_PROXY_UNIX ? "local socket"
                                           : "unspecified");
    }
    multiplexor_admit(mux, sock, client);
}

}  // namespace

int mux_proxy_trusted(uint32_t source) {
    AccessList *trusted = gcfg.proxy_trusted.load();
    return trusted && AccessList_Check(trusted, source);
}

void mux_proxy_accept(Multiplexor *mux, ASock *sock, uint32_t source) {
    MemCx *mcx = mux->mcx;
    auto *w = static_cast<ProxyWait *>(mcx->Realloc(mcx, nullptr, sizeof(ProxyWait)));
    GDisp *gd = w ? GDisp_New(mux->gdc) : nullptr;
    if (!gd) {
        if (w) mcx->Realloc(mcx, w, 0);
        mux_count(MUX_REFUSED_NO_RESOURCES);
        ASock_Delete(sock, ASOCK_CLOSE_PLAIN);
        return;
    }
    w->mux = mux;
    w->sock = sock;
    w->gd = gd;
    w->source = source;
    w->have = 0;
    _inet_ntoa(reinterpret_cast<const unsigned char *>(&source), w->source_text);
    {
        LockGuard hold(_waiting_lock());
        mux_list_append(&waiting, &w->link);
    }
    /* The limit is armed first: it cannot fire before the readiness wait is
     * armed, while the record may be gone as soon as that wait is. */
    GDisp_Timer(gd, MUX_PROXY_HEADER_SECONDS * 1000u, _timeout, w);
    _rearm(w);
}

void mux_proxy_cycle_end(Multiplexor *mux) {
    for (;;) {
        ProxyWait *found = nullptr;
        {
            LockGuard hold(_waiting_lock());
            for (MuxList *l = waiting.next; l != &waiting && !found; l = l->next)
                if (_from_link(l)->mux == mux) found = _from_link(l);
        }
        if (!found) return;
        _close(found);
    }
}
