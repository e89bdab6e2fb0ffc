// SSL family of the socket layer, on NSS (server side only).
//
// One process-wide set-up (ASockSSL_Init) opens the certificate and key
// databases, unlocks the key database with the password file, finds the
// server certificates and their keys, starts the session cache and builds a
// model socket that carries all of that. A listening socket with SSL enabled
// hands every accepted descriptor to NSS through the model; from then on the
// socket's reads, writes, readiness and close go through its NSS descriptor
// (the I/O table below), and the descriptor is closed by NSS alone.
//
// Below NSS sits a thin layer of our own that watches what NSS hands to the
// descriptor: when the descriptor does not take all of a record, NSS keeps
// the rest (and reports one byte fewer than it took, so the sender comes
// back), and only this layer can tell how much it keeps (ASock_SendQueued),
// which a user needs to bound what waits for a slow peer.
//
// Threads: set-up and clean-up run in the program's start-up thread while no
// SSL socket exists. An SSL socket follows the rules of plain sockets (one
// reader and one writer at a time; NSS is full duplex). The NSS handshake
// callback only records the completion: the program's hook runs after the
// read has left the descriptor bracket (recv_done), so the hook may delete
// the socket.
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <nspr/prerror.h>
#include <nspr/prio.h>
#include <nspr/plstr.h>
#include <nspr/private/pprio.h>
#include <nss/cert.h>
#include <nss/keyhi.h>
#include <nss/nss.h>
#include <nss/pk11pub.h>
#include <nss/ssl.h>
#include <nss/sslerr.h>
#include <nss/sslproto.h>

#include "asock_internal.h"
#include "platlog_internal.h"

namespace plat {

// SSL state of one socket: of a listener (hooks to hand on) or of an SSL
// socket (its NSS descriptor and hooks).
struct SslSock {
  PRFileDesc *fd = nullptr;  // NSS descriptor; owns the OS descriptor
  std::mutex mu;             // guards the hooks
  GDispFn hs_fn = nullptr;
  void *hs_arg = nullptr;
  ASockSSLBadCertFn bad_fn = nullptr;
  void *bad_arg = nullptr;
  // Set by NSS's handshake callback inside a read; the hook runs once the
  // read has left NSS.
  std::atomic<bool> hs_completed{false};
  bool hs_reported = false;  // reader's thread only
  bool first_seen = false;   // reader's thread only: the first bytes looked like TLS
  // What NSS holds of its last hand-over to the descriptor (the send layer).
  std::atomic<uint64_t> held{0};
};

}  // namespace plat

using namespace plat;

namespace {

constexpr int kMaxCerts = 16;

struct ServerCert {
  CERTCertificate *cert;
  SECKEYPrivateKey *key;
};

// Process-wide state of the layer; start-up thread only, read-only while
// sockets exist.
struct SslLayer {
  bool up = false;
  ASockSSLWarnFn warn = nullptr;
  int warned = 0;
  std::string password;
  std::vector<ServerCert> certs;
  PRFileDesc *model = nullptr;
  bool sid_cache = false;
};

SslLayer g;

void _warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void _warn(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (g.warn) g.warn(g.warned++ == 0, line);
  else plat_log(4, "%s", line);
}

// "NAME (code)" of the current NSPR/NSS error.
std::string _err_text() {
  PRErrorCode e = PR_GetError();
  const char *name = PR_ErrorToName(e);
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s, %d", name ? name : "unknown error", static_cast<int>(e));
  return buf;
}

// The error number an NSPR failure is reported as: the OS error where there
// is one, else the NSS code itself (negative, so it never reads as "try
// again").
int _errno_of(PRErrorCode e) {
  switch (e) {
    case PR_WOULD_BLOCK_ERROR:
      return EAGAIN;
    case PR_CONNECT_RESET_ERROR:
      return ECONNRESET;
    case PR_NOT_CONNECTED_ERROR:
      return ENOTCONN;
    case PR_BAD_DESCRIPTOR_ERROR:
      return EBADF;
    case PR_OUT_OF_MEMORY_ERROR:
      return ENOMEM;
    case PR_IO_ERROR:
    case PR_SOCKET_SHUTDOWN_ERROR: {
      int os = static_cast<int>(PR_GetOSError());
      return os > 0 ? os : EPIPE;
    }
    default:
      return e < 0 ? static_cast<int>(e) : EIO;
  }
}

// ---- password -------------------------------------------------------------

char *_password_cb(PK11SlotInfo *, PRBool retry, void *) {
  // NSS asks again after a wrong answer; the same answer would loop.
  if (retry || g.password.empty()) return nullptr;
  return PL_strdup(g.password.c_str());
}

// First line of the password file, without its line end; false when it
// cannot be read.
bool _read_password_line(const char *path, std::string &out) {
  FILE *f = path ? std::fopen(path, "re") : nullptr;
  if (!f) return false;
  char buf[1024];
  bool ok = std::fgets(buf, sizeof buf, f) != nullptr;
  std::fclose(f);
  if (!ok) buf[0] = 0;
  size_t n = std::strlen(buf);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r')) buf[--n] = 0;
  out.assign(buf, n);
  return true;
}

// Logs in to the key database when it has a password. The line may be
// "TOKEN:password" (TOKEN "internal" or the token's own name) or the
// password alone.
bool _login(const char *password_file) {
  PK11SlotInfo *slot = PK11_GetInternalKeySlot();
  if (!slot) {
    _warn("SSL: no internal key slot (%s)", _err_text().c_str());
    return false;
  }
  bool ok = true;
  if (PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr)) {
    std::string line;
    if (!_read_password_line(password_file, line)) {
      _warn("SSL: cannot read the password file %s (%s)", password_file ? password_file : "(none)",
            std::strerror(errno));
      PK11_FreeSlot(slot);
      return false;
    }
    std::vector<std::string> candidates;
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string token = line.substr(0, colon);
      const char *name = PK11_GetTokenName(slot);
      if (strcasecmp(token.c_str(), "internal") == 0 || (name && token == name))
        candidates.push_back(line.substr(colon + 1));
    }
    candidates.push_back(line);  // a password that itself holds a colon
    ok = false;
    for (const std::string &pw : candidates) {
      if (PK11_CheckUserPassword(slot, const_cast<char *>(pw.c_str())) == SECSuccess) {
        g.password = pw;
        ok = true;
        break;
      }
    }
    if (!ok) _warn("SSL: the password in %s does not unlock the key database", password_file);
  }
  PK11_FreeSlot(slot);
  return ok;
}

// ---- set-up ---------------------------------------------------------------

void _release_layer() {
  if (g.model) PR_Close(g.model);
  g.model = nullptr;
  for (ServerCert &c : g.certs) {
    SECKEY_DestroyPrivateKey(c.key);
    CERT_DestroyCertificate(c.cert);
  }
  g.certs.clear();
  if (g.sid_cache) SSL_ShutdownServerSessionIDCache();
  g.sid_cache = false;
  SSL_ClearSessionCache();
  std::fill(g.password.begin(), g.password.end(), '\0');
  g.password.clear();
}

bool _find_certs(char **nicknames) {
  for (int i = 0; nicknames && nicknames[i] && i < kMaxCerts; i++) {
    const char *nick = nicknames[i];
    if (!*nick) break;
    CERTCertificate *cert = PK11_FindCertFromNickname(nick, nullptr);
    // A missed nickname leaves a stale error code behind: the pointer tells.
    if (!cert) {
      _warn("SSL: certificate \"%s\" not found", nick);
      continue;
    }
    SECKEYPrivateKey *key = PK11_FindKeyByAnyCert(cert, nullptr);
    if (!key) {
      _warn("SSL: no private key for certificate \"%s\" (%s)", nick, _err_text().c_str());
      CERT_DestroyCertificate(cert);
      continue;
    }
    if (SSL_ConfigServerCert(g.model, cert, key, nullptr, 0) != SECSuccess) {
      _warn("SSL: certificate \"%s\" cannot serve (%s)", nick, _err_text().c_str());
      SECKEY_DestroyPrivateKey(key);
      CERT_DestroyCertificate(cert);
      continue;
    }
    g.certs.push_back({cert, key});
  }
  if (g.certs.empty()) _warn("SSL: no usable server certificate");
  return !g.certs.empty();
}

bool _build_model() {
  PRFileDesc *tcp = PR_NewTCPSocket();
  if (!tcp) return false;
  g.model = SSL_ImportFD(nullptr, tcp);
  if (!g.model) {
    PR_Close(tcp);
    return false;
  }
  SSLVersionRange range = {SSL_LIBRARY_VERSION_TLS_1_2, SSL_LIBRARY_VERSION_TLS_1_3};
  // Client certificates are asked for but not required: the bad-certificate
  // hook of the listener decides about those that fail verification.
  return SSL_OptionSet(g.model, SSL_SECURITY, PR_TRUE) == SECSuccess &&
         SSL_OptionSet(g.model, SSL_HANDSHAKE_AS_SERVER, PR_TRUE) == SECSuccess &&
         SSL_OptionSet(g.model, SSL_HANDSHAKE_AS_CLIENT, PR_FALSE) == SECSuccess &&
         SSL_OptionSet(g.model, SSL_REQUEST_CERTIFICATE, PR_TRUE) == SECSuccess &&
         SSL_OptionSet(g.model, SSL_REQUIRE_CERTIFICATE, PR_FALSE) == SECSuccess &&
         SSL_OptionSet(g.model, SSL_ENABLE_FDX, PR_TRUE) == SECSuccess &&
         SSL_OptionSet(g.model, SSL_ENABLE_SESSION_TICKETS, PR_TRUE) == SECSuccess &&
         SSL_OptionSet(g.model, SSL_ENABLE_RENEGOTIATION, SSL_RENEGOTIATE_NEVER) == SECSuccess &&
         SSL_VersionRangeSet(g.model, &range) == SECSuccess;
}

// ---- the send layer below NSS -------------------------------------------------

// NSS hands its records to the descriptor with one send after another, each
// of what is still unsent, until the descriptor takes everything or would
// block; whatever the last of these did not take, NSS keeps (and the next
// send of NSS's starts with it). So what NSS holds is what the last send
// here left over.
PRDescIdentity g_layer_id = PR_INVALID_IO_LAYER;
PRIOMethods g_layer_methods;

PRInt32 _layer_note(PRFileDesc *fd, PRInt32 asked, PRInt32 r) {
  auto *ss = reinterpret_cast<SslSock *>(fd->secret);
  if (ss && asked >= 0) {
    if (r >= 0) ss->held.store(static_cast<uint64_t>(asked - r), std::memory_order_relaxed);
    else if (PR_GetError() == PR_WOULD_BLOCK_ERROR)
      ss->held.store(static_cast<uint64_t>(asked), std::memory_order_relaxed);
  }
  return r;
}

PRInt32 _layer_send(PRFileDesc *fd, const void *buf, PRInt32 amount, PRIntn flags,
                    PRIntervalTime timeout) {
  return _layer_note(fd, amount, fd->lower->methods->send(fd->lower, buf, amount, flags, timeout));
}

PRInt32 _layer_write(PRFileDesc *fd, const void *buf, PRInt32 amount) {
  return _layer_note(fd, amount, fd->lower->methods->write(fd->lower, buf, amount));
}

PRStatus _layer_close(PRFileDesc *fd) {
  fd->secret = nullptr;
  return PR_GetDefaultIOMethods()->close(fd);
}

// The layer on top of `tcp` (which then names the whole stack), or false.
bool _push_layer(PRFileDesc *tcp, SslSock *ss) {
  if (g_layer_id == PR_INVALID_IO_LAYER) return false;
  PRFileDesc *layer = PR_CreateIOLayerStub(g_layer_id, &g_layer_methods);
  if (!layer) return false;
  layer->secret = reinterpret_cast<PRFilePrivate *>(ss);
  if (PR_PushIOLayer(tcp, PR_TOP_IO_LAYER, layer) != PR_SUCCESS) {
    layer->secret = nullptr;
    layer->dtor(layer);
    return false;
  }
  return true;
}

// ---- SSL socket I/O ---------------------------------------------------------

// Reads and writes reach NSS through these two, never inlined: NSS is built
// without frame pointers, so a sanitizer stack taken inside it skips both
// NSS and the frame that called it, and shows the caller's caller. This way
// such a stack names _ssl_recv or _ssl_send (tests/tsan.supp relies on it
// to set apart NSS's own lock ordering).
__attribute__((noinline)) PRInt32 _nss_recv(PRFileDesc *fd, void *buf, PRInt32 n) {
  return PR_Recv(fd, buf, n, 0, PR_INTERVAL_NO_WAIT);
}

__attribute__((noinline)) PRInt32 _nss_send(PRFileDesc *fd, const void *buf, PRInt32 n) {
  return PR_Send(fd, buf, n, 0, PR_INTERVAL_NO_WAIT);
}

// Whether a socket whose handshake is done has seen its peer close: the
// handshake is over, so a zero-length NSS read proves nothing; peek at the
// descriptor as for plain sockets.
int _ssl_probe_closed(ASock *s) {
  if (SSL_DataPending(s->ssl->fd) > 0) {
    errno = EAGAIN;
    return -1;
  }
  char c;
  ssize_t r;
  do r = recv(s->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  while (r < 0 && errno == EINTR);
  if (r == 0) return 0;
  if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -2;
  errno = EAGAIN;
  return -1;
}

// Before NSS reads anything: a TLS handshake begins with a handshake record
// (22) of version 3.x. Anything else (an HTTP request, say) would be taken
// for a record header with a long length, and NSS would wait for the rest.
// 1 to go on, 0 peer closed, -1 nothing yet, -2 (errno set) not TLS or an
// error.
int _ssl_first_bytes(ASock *s) {
  unsigned char b[2];
  ssize_t r;
  do r = recv(s->fd, b, sizeof b, MSG_PEEK | MSG_DONTWAIT);
  while (r < 0 && errno == EINTR);
  if (r == 0) return 0;
  if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
  if (b[0] != 0x16 || (r == 2 && b[1] != 0x03)) {
    errno = ASOCK_ENOTSSL;
    return -2;
  }
  s->ssl->first_seen = true;
  return 1;
}

int _ssl_recv(ASock *s, void *buf, int max) {
  SslSock *ss = s->ssl;
  bool was_done = ss->hs_completed.load(std::memory_order_acquire);
  if (max == 0 && was_done) return _ssl_probe_closed(s);
  if (!ss->first_seen && !was_done) {
    int r = _ssl_first_bytes(s);
    if (r < 1) {
      if (r == -1) errno = EAGAIN;
      return r;
    }
  }
  char dummy;
  PRInt32 r = _nss_recv(ss->fd, max ? buf : &dummy, max);
  if (r > 0) return r;
  if (r == 0) {
    if (max > 0) return 0;  // close-notify or end of stream
    // A zero-length read during the handshake: 0 means the handshake is
    // complete, not that the peer has gone.
    errno = EAGAIN;
    return -1;
  }
  PRErrorCode e = PR_GetError();
  if (e == PR_WOULD_BLOCK_ERROR) {
    errno = EAGAIN;
    return -1;
  }
  if (e == PR_END_OF_FILE_ERROR) return 0;
  errno = _errno_of(e);
  return -2;
}

int _ssl_send(ASock *s, const void *buf, int len) {
  PRInt32 r = _nss_send(s->ssl->fd, buf, len);
  if (r >= 0) return r;
  errno = _errno_of(PR_GetError());
  return -1;
}

bool _ssl_pending(ASock *s) { return s->ssl && s->ssl->fd && SSL_DataPending(s->ssl->fd) > 0; }

uint64_t _ssl_queued(ASock *s) { return s->ssl ? s->ssl->held.load(std::memory_order_relaxed) : 0; }

void _ssl_close(ASock *s, int mode) {
  if (mode == ASOCK_CLOSE_ABORT && s->fd >= 0) asock_set_abort(s->fd);
  // NSS closes the OS descriptor; an orderly close sends close-notify when
  // the handshake has finished (the descriptor is non-blocking, so this
  // never waits on the peer).
  if (s->ssl) {
    if (s->ssl->fd) PR_Close(s->ssl->fd);
    delete s->ssl;
    s->ssl = nullptr;
  }
  s->fd = -1;
}

void _ssl_recv_done(ASock *s) {
  SslSock *ss = s->ssl;
  if (!ss || ss->hs_reported || !ss->hs_completed.load(std::memory_order_acquire)) return;
  ss->hs_reported = true;
  GDispFn fn;
  void *arg;
  {
    std::lock_guard<std::mutex> l(ss->mu);
    fn = ss->hs_fn;
    arg = ss->hs_arg;
  }
  if (fn) fn(arg);
}

const ASockIo ssl_io = {_ssl_recv,   _ssl_send,  _ssl_pending,
                        _ssl_queued, _ssl_close, _ssl_recv_done};

// A listener keeps plain I/O (it only accepts); its close also frees the SSL
// settings it carries.
int _listen_recv(ASock *s, void *b, int n) { return plain_io.recv(s, b, n); }
int _listen_send(ASock *s, const void *b, int n) { return plain_io.send(s, b, n); }
bool _listen_pending(ASock *) { return false; }
void _listen_close(ASock *s, int mode) {
  delete s->ssl;
  s->ssl = nullptr;
  plain_io.close(s, mode);
}

const ASockIo ssl_listen_io = {_listen_recv, _listen_send,  _listen_pending,
                               nullptr,      _listen_close, nullptr};

void _handshake_cb(PRFileDesc *, void *arg) {
  static_cast<SslSock *>(arg)->hs_completed.store(true, std::memory_order_release);
}

SECStatus _bad_cert_cb(void *arg, PRFileDesc *) {
  SslSock *ss = static_cast<SslSock *>(arg);
  ASockSSLBadCertFn fn;
  void *a;
  {
    std::lock_guard<std::mutex> l(ss->mu);
    fn = ss->bad_fn;
    a = ss->bad_arg;
  }
  if (!fn) return SECFailure;
  return fn(a) == 0 ? SECSuccess : SECFailure;
}

}  // namespace

namespace plat {

bool asock_ssl_accept(ASock *ls, ASock *s) {
  auto *ss = new (std::nothrow) SslSock;
  PRFileDesc *tcp = ss ? PR_ImportTCPSocket(s->fd) : nullptr;
  if (!tcp) {
    plat_log(3, "SSL: cannot take over an accepted connection (%s)", _err_text().c_str());
    delete ss;
    close(s->fd);
    s->fd = -1;
    return false;
  }
  if (!_push_layer(tcp, ss)) {
    plat_log(3, "SSL: cannot take over an accepted connection (%s)", _err_text().c_str());
    delete ss;
    PR_Close(tcp);
    s->fd = -1;
    return false;
  }
  PRFileDesc *fd = g.model ? SSL_ImportFD(g.model, tcp) : nullptr;
  if (!fd) {
    plat_log(3, "SSL: cannot start SSL on an accepted connection (%s)", _err_text().c_str());
    delete ss;
    PR_Close(tcp);
    s->fd = -1;
    return false;
  }
  ss->fd = fd;
  {
    std::lock_guard<std::mutex> l(ls->ssl->mu);
    ss->bad_fn = ls->ssl->bad_fn;
    ss->bad_arg = ls->ssl->bad_arg;
  }
  PRSocketOptionData nb;
  nb.option = PR_SockOpt_Nonblocking;
  nb.value.non_blocking = PR_TRUE;
  if (SSL_ResetHandshake(fd, PR_TRUE) != SECSuccess || PR_SetSocketOption(fd, &nb) != PR_SUCCESS ||
      SSL_HandshakeCallback(fd, _handshake_cb, ss) != SECSuccess ||
      SSL_BadCertHook(fd, _bad_cert_cb, ss) != SECSuccess) {
    plat_log(3, "SSL: cannot set up an accepted connection (%s)", _err_text().c_str());
    PR_Close(fd);
    delete ss;
    s->fd = -1;
    return false;
  }
  s->ssl = ss;
  s->io = &ssl_io;
  return true;
}

}  // namespace plat

// ---- public interface ---------------------------------------------------------

int ASockSSL_Init(const char *pszConfigDir, const char *pszCertPrefix, const char *pszKeyPrefix,
                  const char *pszSecmod, const char *pszPasswordFile, char **papszNicknames,
                  const char *pszCacheDir, ASockSSLWarnFn fnWarn, int) {
  g.warn = fnWarn;
  g.warned = 0;
  if (g.up) {
    _warn("SSL: the SSL layer is already set up");
    return 0;
  }
  if (!pszConfigDir || !*pszConfigDir) {
    _warn("SSL: no certificate database directory given");
    return 0;
  }
  // Databases are opened in the SQL format unless the name says otherwise.
  std::string dir = pszConfigDir;
  if (dir.find(':') == std::string::npos) dir = "sql:" + dir;
  if (NSS_Initialize(
          dir.c_str(), pszCertPrefix ? pszCertPrefix : "", pszKeyPrefix ? pszKeyPrefix : "",
          pszSecmod && *pszSecmod ? pszSecmod : "secmod.db", NSS_INIT_READONLY) != SECSuccess) {
    _warn("SSL: cannot open the certificate databases in %s (%s)", pszConfigDir,
          _err_text().c_str());
    return 0;
  }
  PK11_SetPasswordFunc(_password_cb);
  if (g_layer_id == PR_INVALID_IO_LAYER) {
    g_layer_id = PR_GetUniqueIdentity("tovi-send-layer");
    g_layer_methods = *PR_GetDefaultIOMethods();
    g_layer_methods.send = _layer_send;
    g_layer_methods.write = _layer_write;
    g_layer_methods.close = _layer_close;
  }
  bool ok = NSS_SetDomesticPolicy() == SECSuccess;
  if (!ok) _warn("SSL: cannot set the cipher policy (%s)", _err_text().c_str());
  ok = ok && _login(pszPasswordFile);
  if (ok && !_build_model()) {
    _warn("SSL: cannot build the server socket model (%s)", _err_text().c_str());
    ok = false;
  }
  ok = ok && _find_certs(papszNicknames);
  if (ok) {
    // The session cache lives in memory mapped from a file that NSS makes
    // (and unlinks at once) in the cache directory. It is the kind of cache
    // that processes could share, but the set-up runs in each process after
    // the fork, so each process has its own.
    const char *cache = pszCacheDir && *pszCacheDir ? pszCacheDir : nullptr;
    if (SSL_ConfigMPServerSIDCache(0, 0, 0, cache) != SECSuccess) {
      _warn("SSL: cannot set up the session cache in %s (%s)",
            cache ? cache : "the default directory", _err_text().c_str());
      ok = false;
    } else {
      g.sid_cache = true;
    }
  }
  if (!ok) {
    _release_layer();
    if (NSS_Shutdown() != SECSuccess) _warn("SSL: NSS_Shutdown failed (%s)", _err_text().c_str());
    return 0;
  }
  g.up = true;
  return 1;
}

int ASockSSL_Enable(ASock *psock, int) {
  if (!psock || !g.up) return 0;
  std::lock_guard<std::mutex> l(psock->mu);
  if (psock->closed.load()) return 0;
  if (psock->io == &ssl_listen_io) return 1;  // enabled already (a later cycle)
  if (psock->io != &plain_io) return 0;
  auto *ss = new (std::nothrow) SslSock;
  if (!ss) return 0;
  psock->ssl = ss;
  psock->io = &ssl_listen_io;
  return 1;
}

int ASockSSL_SetBadCertHook(ASock *psock, ASockSSLBadCertFn fn, void *arg) {
  if (!psock || !psock->ssl) return -1;
  std::lock_guard<std::mutex> l(psock->ssl->mu);
  psock->ssl->bad_fn = fn;
  psock->ssl->bad_arg = arg;
  return 0;
}

int ASockSSL_SetHandshakeHook(ASock *psock, GDispFn fn, void *arg) {
  if (!psock || !psock->ssl || psock->io != &ssl_io) return -1;
  std::lock_guard<std::mutex> l(psock->ssl->mu);
  psock->ssl->hs_fn = fn;
  psock->ssl->hs_arg = arg;
  return 0;
}

void ASockSSL_Cleanup(void) {
  if (!g.up) return;
  g.up = false;
  _release_layer();
  // Fails (busy) while an SSL socket, certificate or key is still held.
  if (NSS_Shutdown() != SECSuccess) {
    std::string why = _err_text();
    _warn("SSL: NSS_Shutdown failed (%s)", why.c_str());
    plat_log(3, "SSL: NSS_Shutdown failed (%s)", why.c_str());
  }
  g.warn = nullptr;
}
