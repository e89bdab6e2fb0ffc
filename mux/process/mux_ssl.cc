/* Client SSL: set-up, the per-client handshake and its time limit.
 *
 * Release-exactly-once: a context is released by trigger_handshake when the
 * handshake ends there (completion seen, client closed, read error), by the
 * completion hook when trigger_handshake stopped driving first
 * (release_by_hook), by the time limit, or at the end of the cycle. All of
 * these run on the context's own dispatcher (or after the loop has ended),
 * and releasing deletes that dispatcher, which cancels whatever else was
 * armed on it.
 * Locks: each context's lock guards its two flags; hs_list_lock guards the
 * list of contexts. Neither is held while the other is taken, nor while a
 * context is released. */
#include "process/mux_ssl.h"

#include <stddef.h>
#include <stdio.h>

#include <string>

#include "base/lock_guard.h"
#include "process/multiplexor.h"
#include "relay/mux_conn.h"
#include "process/mux_init.h"
#include "log/qxlogger.h"
#include "metrics/mux_counters.h"

using muxbase::LockGuard;

namespace {

PRLock *hs_list_lock = nullptr;
MuxList hs_list = {&hs_list, &hs_list};
/* Contexts in hs_list, and whether the refusal at the limit has been
 * logged since the count was last below it; under hs_list_lock. */
int32_t hs_count = 0;
bool hs_full_logged = false;

/* Handshakes that may be under way at once even when fewer sessions are
 * allowed: a small process still takes a burst of clients. */
const int32_t kMinHandshakes = 1024;

/* Largest time limit the dispatcher's millisecond timer can hold. */
const int32_t kMaxHandshakeSeconds = 4000000;

ssl_handshake_context *_from_link(MuxList *l) {
    return reinterpret_cast<ssl_handshake_context *>(reinterpret_cast<char *>(l) -
                                                     offsetof(ssl_handshake_context, link));
}

/* Ends a handshake that went nowhere: the socket and the context go. */
void _ssl_abandon(ssl_handshake_context *context) {
    mux_count(MUX_REFUSED_HANDSHAKE);
    ASock_Delete(context->sock, ASOCK_CLOSE_PLAIN);
    context->sock = nullptr;
    ssl_handshake_context_delete(context);
}

void _ssl_handshake_done(void *arg) {
    ssl_handshake_context *context = static_cast<ssl_handshake_context *>(arg);
    int32_t by_hook;
    {
        LockGuard hold(context->lock);
        context->handshake_done = 1;
        by_hook = context->release_by_hook;
    }
    qxlog(nullptr, QXLOG_DEBUG, "SSL Handshake completed");
    mux_count(MUX_HANDSHAKES_COMPLETED);
    if (!conn_new(context->sock, context->peer_addr, context->mux)) {
        mux_count(MUX_REFUSED_NO_RESOURCES);
        ASock_Delete(context->sock, ASOCK_CLOSE_PLAIN);
    }
    if (by_hook) ssl_handshake_context_delete(context);
}

int _BadClientCertHook(void *) {
    qxlog(nullptr, QXLOG_WARNING, "[] bad cert, accepting anyway");
    return 0;
}

/* A client that never finishes its handshake would hold a descriptor
 * forever without counting against the session limit. */
void _ssl_handshake_timeout(void *arg) {
    ssl_handshake_context *context = static_cast<ssl_handshake_context *>(arg);
    {
        LockGuard hold(context->lock);
        if (context->handshake_done) return;
    }
    qxlog(nullptr, QXLOG_WARNING, "[%s] SSL handshake not completed within %d seconds, closing", context->peer_addr,
          static_cast<int>(ssl_handshake_timeout));
    mux_count(MUX_HANDSHAKES_TIMED_OUT);
    _ssl_abandon(context);
}

}  // namespace

ssl_handshake_context *ssl_handshake_context_new(Multiplexor *mux, ASock *sock, const char *peer_addr) {
    MemCx *mcx = mux->mcx;
    auto *context = static_cast<ssl_handshake_context *>(mcx->Realloc(mcx, nullptr, sizeof(ssl_handshake_context)));
    if (!context) return nullptr;
    context->sock = sock;
    context->mux = mux;
    snprintf(context->peer_addr, sizeof context->peer_addr, "%s", peer_addr ? peer_addr : "");
    context->handshake_done = 0;
    context->release_by_hook = 0;
    context->gd = GDisp_New(mux->gdc);
    context->lock = PR_NewLock();
    if (!context->gd || !context->lock) {
        if (context->gd) GDisp_Delete(context->gd);
        if (context->lock) PR_DestroyLock(context->lock);
        mcx->Realloc(mcx, context, 0);
        return nullptr;
    }
    LockGuard hold(hs_list_lock);
    mux_list_append(&hs_list, &context->link);
    hs_count++;
    return context;
}

void ssl_handshake_context_delete(ssl_handshake_context *context) {
    {
        LockGuard hold(hs_list_lock);
        mux_list_unlink(&context->link);
        hs_count--;
    }
    GDisp_Delete(context->gd);
    PR_DestroyLock(context->lock);
    MemCx *mcx = context->mux->mcx;
    mcx->Realloc(mcx, context, 0);
}

void trigger_handshake(void *arg) {
    ssl_handshake_context *context = static_cast<ssl_handshake_context *>(arg);
    qxlog(nullptr, QXLOG_DEBUG, "Triggering SSL handshake");
    int32_t done, by_hook;
    {
        LockGuard hold(context->lock);
        done = context->handshake_done;
        by_hook = context->release_by_hook;
    }
    if (done) {
        if (!by_hook) ssl_handshake_context_delete(context);
        qxlog(nullptr, QXLOG_DEBUG, "trigger_handshake: handshake Already complete");
        return;
    }

    char buffer[1];
    int result = ASock_Recv(context->sock, buffer, 0);

    /* Decided under the lock, acted on after it: releasing the context
     * destroys the lock. */
    enum { kComplete, kClosed, kFailed, kAgain, kStalled } outcome;
    {
        LockGuard hold(context->lock);
        if (context->handshake_done) {
            outcome = kComplete;
            by_hook = context->release_by_hook;
        } else if (result == 0) {
            outcome = kClosed;
        } else if (result == -2) {
            outcome = kFailed;
        } else if (result == -1) {
            outcome = kAgain;
        } else {
            outcome = kStalled;
            context->release_by_hook = 1;
        }
    }
    switch (outcome) {
    case kComplete:
        if (!by_hook) ssl_handshake_context_delete(context);
        qxlog(nullptr, QXLOG_DEBUG, "trigger_handshake: Handshake complete");
        return;
    case kClosed:
        qxlog(nullptr, QXLOG_WARNING, "trigger_handshake: Connection closed by client");
        mux_count(MUX_HANDSHAKES_FAILED);
        _ssl_abandon(context);
        return;
    case kFailed: {
        int err = GDisp_GetAsyncError(context->gd);
        /* A client that speaks something else (an HTTP request, say) is
         * told apart by its first bytes, before the SSL layer waits for a
         * record that will never be complete. */
        if (err == ASOCK_ENOTSSL)
            qxlog(nullptr, QXLOG_WARNING, "[%s] SSL handshake: first bytes are not TLS, closing", context->peer_addr);
        else qxlog(nullptr, QXLOG_WARNING, "trigger_handshake: Error %d occurred when reading", err);
        mux_count(MUX_HANDSHAKES_FAILED);
        _ssl_abandon(context);
        return;
    }
    case kAgain:
        qxlog(nullptr, QXLOG_DEBUG, "trigger_handshake: Try again");
        if (ASock_Readable(context->sock, context->gd, trigger_handshake, context) != 0) _ssl_abandon(context);
        return;
    case kStalled:
        /* Nothing drives the handshake from here on; the hook (or the time
         * limit) releases the context. */
        qxlog(nullptr, QXLOG_WARNING, "trigger_handshake: unexpected ASock_Recv result %d", result);
        return;
    }
}

namespace {
/* The SSL layer's warnings during the set-up, for standard error when the
 * set-up fails (set-up runs in the first thread, before any worker). */
std::string *setup_reasons = nullptr;

int _ssl_setup_failed(const char *what) {
    qxlog(nullptr, QXLOG_ERROR, "%s", what);
    fprintf(stderr, "multiplexor: %s%s%s\n", what, setup_reasons->empty() ? "" : ": ", setup_reasons->c_str());
    mux_shutdown = 1;
    delete setup_reasons;
    setup_reasons = nullptr;
    return -1;
}
}  // namespace

int asockssl_warn(int first, const char *message) {
    qxlog(nullptr, QXLOG_WARNING, "%s", message);
    if (setup_reasons) *setup_reasons += (setup_reasons->empty() ? "" : "; ") + std::string(message);
    return first;
}

int mux_ssl_setup(ASock *listen_sock) {
    setup_reasons = new std::string;
    if (!hs_list_lock) hs_list_lock = PR_NewLock();
    if (!hs_list_lock ||
        !ASockSSL_Init(gcfg.ssl_config_dir, gcfg.ssl_certdb_prefix, gcfg.ssl_keydb_prefix, gcfg.ssl_secmod_file,
                       gcfg.ssl_password_file, gcfg.ssl_cert_nicknames, gcfg.ssl_cache_dir, asockssl_warn, 0))
        return _ssl_setup_failed("SSL Init failed");
    qxlog(nullptr, QXLOG_INFORMATION, "SSL Initialized");
    int ok = ASockSSL_Enable(listen_sock, 0);
    ASockSSL_SetBadCertHook(listen_sock, _BadClientCertHook, nullptr);
    if (!ok) return _ssl_setup_failed("SSL_Enable failed");
    qxlog(nullptr, QXLOG_INFORMATION, "SSL Enabled");
    delete setup_reasons;
    setup_reasons = nullptr;
    return 0;
}

void mux_ssl_accept(Multiplexor *mux, ASock *sock, const char *peer_addr) {
    /* A handshake under way costs a descriptor and the SSL layer's state
     * (some 25 KiB) without counting as a session: at most as many as
     * sessions are allowed (and never fewer than kMinHandshakes) may be
     * under way at once. */
    int32_t limit = mux->max_sessions > kMinHandshakes ? mux->max_sessions : kMinHandshakes;
    bool full, log_it = false;
    {
        LockGuard hold(hs_list_lock);
        full = hs_count >= limit;
        if (!full) hs_full_logged = false;
        else if (!hs_full_logged) log_it = hs_full_logged = true;
    }
    if (full) {
        if (log_it)
            qxlog(nullptr, QXLOG_WARNING, "[%s] %d SSL handshakes under way, closing new clients until one ends",
                  peer_addr, static_cast<int>(limit));
        ASock_Delete(sock, ASOCK_CLOSE_PLAIN);
        return;
    }
    ssl_handshake_context *context = ssl_handshake_context_new(mux, sock, peer_addr);
    if (!context) {
        mux_count(MUX_REFUSED_NO_RESOURCES);
        ASock_Delete(sock, ASOCK_CLOSE_PLAIN);
        return;
    }
    ASockSSL_SetHandshakeHook(sock, _ssl_handshake_done, context);
    /* The limit is armed first: it cannot fire within the first second,
     * while the context may be gone as soon as the readiness wait is. */
    int32_t seconds = ssl_handshake_timeout;
    if (seconds > kMaxHandshakeSeconds) seconds = kMaxHandshakeSeconds;
    if (seconds > 0) GDisp_Timer(context->gd, static_cast<uint32_t>(seconds) * 1000u, _ssl_handshake_timeout, context);
    if (ASock_Readable(sock, context->gd, trigger_handshake, context) != 0) _ssl_abandon(context);
}

void mux_ssl_cycle_end(Multiplexor *mux) {
    if (!hs_list_lock) return;
    for (;;) {
        ssl_handshake_context *found = nullptr;
        {
            LockGuard hold(hs_list_lock);
            for (MuxList *l = hs_list.next; l != &hs_list; l = l->next) {
                if (_from_link(l)->mux == mux) {
                    found = _from_link(l);
                    break;
                }
            }
        }
        if (!found) return;
        /* After a completed handshake the socket belongs to its Conn. */
        if (!found->handshake_done) ASock_Delete(found->sock, ASOCK_CLOSE_PLAIN);
        ssl_handshake_context_delete(found);
    }
}

void mux_ssl_cleanup(void) { ASockSSL_Cleanup(); }
