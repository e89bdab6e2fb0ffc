// Asynchronous TCP sockets: creation, readiness waits, accept with back-off
// on descriptor exhaustion, connect, reads, writes and background writes.
#include <algorithm>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "asock_internal.h"
#include "platlog_internal.h"

using namespace plat;

namespace {

// How long a listening socket rests after running out of descriptors before
// it reports readiness again.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

class SockRef {
 public:
  explicit SockRef(ASock *s) : s_(s) { s_->refs.fetch_add(1, std::memory_order_relaxed); }
  SockRef(SockRef &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  SockRef(const SockRef &) = delete;
  SockRef &operator=(const SockRef &) = delete;
  SockRef &operator=(SockRef &&) = delete;
  ~SockRef() {
    if (s_ && s_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete s_;
  }
  ASock *operator->() const { return s_; }
  ASock *get() const { return s_; }

 private:
  ASock *s_;
};

void _sock_unref(ASock *s) {
  if (s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete s;
}

// Descriptor I/O happens only between these two; false once closed.
bool _io_enter(ASock *s) {
  s->inflight.fetch_add(1, std::memory_order_seq_cst);
  if (s->closed.load(std::memory_order_seq_cst)) {
    s->inflight.fetch_sub(1, std::memory_order_seq_cst);
    return false;
  }
  return true;
}

void _io_leave(ASock *s) { s->inflight.fetch_sub(1, std::memory_order_seq_cst); }

// Checks the arguments of a direct read or write and enters the bracket.
bool _direct_io_begin(ASock *s, const void *buf, int n) {
  if (n < 0 || (!buf && n > 0)) {
    s->last_error.store(EINVAL);
    return false;
  }
  if (!_io_enter(s)) {
    s->last_error.store(EBADF);
    return false;
  }
  return true;
}

// ---- plain descriptor I/O ------------------------------------------------

int _plain_recv(ASock *s, void *buf, int max) {
  ssize_t r;
  if (max == 0) {
    // A zero-length read would look like end of stream; peek instead so
    // that only a real close reports 0.
    char c;
    do r = recv(s->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    if (r > 0) {
      errno = EAGAIN;
      return -1;
    }
  } else {
    do r = recv(s->fd, buf, static_cast<size_t>(max), MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
  }
  if (r >= 0) return static_cast<int>(r);
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? -1 : -2;
}

int _plain_send(ASock *s, const void *buf, int len) {
  ssize_t r;
  do r = send(s->fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
  while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : static_cast<int>(r);
}

bool _plain_pending(ASock *) { return false; }

void _plain_close(ASock *s, int mode) {
  if (s->fd >= 0) {
    if (mode == ASOCK_CLOSE_ABORT) plat::asock_set_abort(s->fd);
    close(s->fd);
  }
  s->fd = -1;
}

// ---- binding to a context -------------------------------------------------

// The object's context and the io_context it runs on.
struct GdHome {
  GDispCx *cx;
  asio::io_context *io;
};

GdHome _gd_cx(GDisp *gd) {
  std::lock_guard<std::mutex> g(gd->mu);
  if (!gd->strand) return {nullptr, nullptr};
  return {gd->cx, &gd->strand->get_inner_executor().context()};
}

// Drops the Asio objects (their pending waits end as aborted) and leaves
// the descriptor open. s->mu held.
void _unbind_locked(ASock *s) {
  if (s->as) {
    asio::error_code ec;
    s->as->release(ec);
    delete s->as;
    s->as = nullptr;
  }
  if (s->backoff) {
    s->backoff->cancel();
    delete s->backoff;
    s->backoff = nullptr;
  }
  if (GDispCx *cx = s->cx) {
    std::lock_guard<std::mutex> g(cx->mu);
    list_unlink<ASock, &ASock::cxl>(cx->socks, s);
    s->cx = nullptr;
  }
}

// Makes sure the socket has an Asio object on the context of `home`; a
// socket already bound there stays on its io_context, whichever object of
// the context waits next. s->mu held.
bool _bind_locked(ASock *s, GdHome home) {
  GDispCx *cx = home.cx;
  if (!cx || !home.io) return false;
  if (s->cx == cx && s->as) return true;
  _unbind_locked(s);
  asio::ip::tcp::socket *as;
  try {
    as = new asio::ip::tcp::socket(*home.io);
  } catch (...) {
    return false;
  }
  asio::error_code ec;
  as->assign(asio::ip::tcp::v4(), s->fd, ec);
  if (ec) {
    as->release(ec);
    delete as;
    return false;
  }
  s->as = as;
  s->cx = cx;
  std::lock_guard<std::mutex> g(cx->mu);
  list_push<ASock, &ASock::cxl>(cx->socks, s);
  return true;
}

// Readiness reported: run the waiter unless the socket was deleted.
struct ReadyFire {
  SockRef s;
  Waiter w;
  void operator()(const std::error_code &ec) {
    if (ec == asio::error::operation_aborted || s->closed.load()) return;
    w.fire(ec ? ec.value() : 0);
  }
};

// Arms a one-shot readiness wait of `what` on the socket. s->mu held.
bool _arm_wait_locked(ASock *s, asio::socket_base::wait_type what, Waiter &&w) {
  GDisp *gd = w.gd.get();
  if (!_bind_locked(s, _gd_cx(gd))) return false;
  auto h = on_group(gd, ReadyFire{SockRef(s), std::move(w)});
  if (!h) return false;
  try {
    s->as->async_wait(what, std::move(*h));
  } catch (...) {
    return false;
  }
  return true;
}

ASock *_sock_wrap(int fd) {
  auto *s = new (std::nothrow) ASock;
  if (!s) return nullptr;
  s->fd = fd;
  return s;
}

// ---- background writes -----------------------------------------------------

void _write_step(ASock *s, bool on_group);

struct WriteReady {
  SockRef s;
  void operator()(const std::error_code &ec) {
    if (ec == asio::error::operation_aborted || s->closed.load()) {
      s->w.waiter = Waiter();  // the socket is gone: nobody is told
      s->wbusy.store(false);
      return;
    }
    _write_step(s.get(), true);
  }
};

void _write_finish(ASock *s, bool on_group, int status, int err) {
  Waiter w = std::move(s->w.waiter);
  int *pst = s->w.pst;
  s->w.pasd = nullptr;
  s->wbusy.store(false);  // fn may start the next write
  auto store = [pst, status] { *pst = status; };
  if (on_group) {
    w.fire(err, store);
  } else {
    GDisp *gd = w.gd.get();
    run_on_group(gd, [w = std::move(w), store, err]() mutable { w.fire(err, store); });
  }
}

// Waits for the socket to take bytes again; false when it cannot.
bool _write_wait(ASock *s) {
  std::lock_guard<std::mutex> g(s->mu);
  if (s->closed.load()) return false;
  GDisp *gd = s->w.waiter.gd.get();
  if (!_bind_locked(s, _gd_cx(gd))) return false;
  auto h = on_group(gd, WriteReady{SockRef(s)});
  if (!h) return false;
  try {
    s->as->async_wait(asio::socket_base::wait_write, std::move(*h));
  } catch (...) {
    return false;
  }
  return true;
}

// Next bytes to send: false when everything is out (or on failure, with
// *err set).
bool _write_next(ASock *s, const char **p, uint32_t *n, int *err) {
  WriteOp &w = s->w;
  if (!w.pasd) {
    *p = w.buf + w.off;
    *n = w.len - w.off;
    return *n > 0;
  }
  if (w.piece.iov_len == 0) {
    WaitingFor *pwf = nullptr;
    int r = w.pasd->getBuf(w.pasd, &w.piece, &pwf);
    if (r == -1) {
      *err = EAGAIN;  // the source waits for this socket to be writable
      return false;
    }
    if (r < 0) {
      *err = EIO;
      return false;
    }
    if (w.piece.iov_len == 0) return false;
  }
  *p = static_cast<const char *>(w.piece.iov_base);
  *n = static_cast<uint32_t>(w.piece.iov_len);
  return true;
}

void _write_advance(ASock *s, uint32_t n) {
  WriteOp &w = s->w;
  if (!w.pasd) {
    w.off += n;
  } else {
    w.piece.iov_base = static_cast<char *>(w.piece.iov_base) + n;
    w.piece.iov_len -= n;
  }
}

void _write_step(ASock *s, bool on_group) {
  for (;;) {
    const char *p;
    uint32_t n;
    int err = 0;
    if (!_write_next(s, &p, &n, &err)) {
      if (err == EAGAIN) {
        if (_write_wait(s)) return;
        err = EBADF;
      }
      if (err) return _write_finish(s, on_group, -2, err);
      return _write_finish(s, on_group, 0, 0);
    }
    if (!_io_enter(s)) return _write_finish(s, on_group, -2, EBADF);
    int chunk = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
    int r = s->io->send(s, p, chunk);
    int e = errno;
    _io_leave(s);
    if (r > 0) {
      _write_advance(s, static_cast<uint32_t>(r));
      continue;
    }
    if (r < 0 && (e == EAGAIN || e == EWOULDBLOCK)) {
      if (_write_wait(s)) return;
      e = EBADF;
    }
    s->last_error.store(r < 0 ? e : EIO);
    return _write_finish(s, on_group, -2, r < 0 ? e : EIO);
  }
}

int _start_write(ASock *s, int *pst, GDisp *gd, GDispFn fn, void *arg) {
  s->w.pst = pst;
  s->w.waiter = Waiter(gd, fn, arg);
  _write_step(s, false);
  return 0;
}

}  // namespace

namespace plat {

const ASockIo plain_io = {_plain_recv, _plain_send, _plain_pending, nullptr, _plain_close, nullptr};

void asock_set_abort(int fd) {
  struct linger lg = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

void asock_detach_all(GDispCx *cx) {
  std::vector<ASock *> socks;
  {
    std::lock_guard<std::mutex> g(cx->mu);
    for (ASock *s = cx->socks; s; s = s->cxl.next) {
      s->refs.fetch_add(1);
      socks.push_back(s);
    }
  }
  for (ASock *s : socks) {
    {
      std::lock_guard<std::mutex> g(s->mu);
      if (s->cx == cx) _unbind_locked(s);
    }
    _sock_unref(s);
  }
}

}  // namespace plat

// ---- public interface ---------------------------------------------------------

ASock *ASock_NewBound(uint32_t nAddr, int nPort) {
  if (nPort < 0 || nPort > 65535) return nullptr;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(nPort));
  sin.sin_addr.s_addr = nAddr;
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    int err = errno;  // the caller reports why
    close(fd);
    errno = err;
    return nullptr;
  }
  ASock *s = _sock_wrap(fd);
  if (!s) {
    close(fd);
    return nullptr;
  }
  return s;
}

ASock *ASock_New(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  // Writers hand over whole chunks of queued records; Nagle would only
  // delay the last one.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ASock *s = _sock_wrap(fd);
  if (!s) close(fd);
  return s;
}

void ASock_Delete(ASock *s, int nMode) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->mu);
    if (s->closed.exchange(true)) return;
    _unbind_locked(s);
    s->read_gd.reset();
  }
  while (s->inflight.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  s->io->close(s, nMode);
  _sock_unref(s);
}

int ASock_Acceptable(ASock *ls, GDisp *gd, GDispFn fn, void *arg) {
  if (!ls || !gd || !fn) return -1;
  Waiter w(gd, fn, arg);
  std::lock_guard<std::mutex> g(ls->mu);
  if (ls->closed.load()) return -1;
  if (!ls->backoff_on.load())
    return _arm_wait_locked(ls, asio::socket_base::wait_read, std::move(w)) ? 0 : -1;
  // Out of descriptors: pending connections keep the socket readable, so a
  // readiness wait would fire at once, forever. Rest first.
  GdHome home = _gd_cx(gd);
  if (!_bind_locked(ls, home)) return -1;
  try {
    if (!ls->backoff) ls->backoff = new asio::steady_timer(*home.io);
    ls->backoff->expires_after(kAcceptBackoff);
    auto h = on_group(gd, ReadyFire{SockRef(ls), std::move(w)});
    if (!h) return -1;
    ls->backoff->async_wait(std::move(*h));
  } catch (...) {
    return -1;
  }
  return 0;
}

ASock *ASock_Accept(ASock *ls, struct sockaddr *pAddr, int *pnAddrLen, int, int) {
  if (!ls) return nullptr;
  struct sockaddr_storage ss;
  for (int tries = 0; tries < 16; tries++) {
    socklen_t sl = sizeof ss;
    if (!_io_enter(ls)) {
      ls->last_error.store(EBADF);
      return nullptr;
    }
    int fd = accept4(ls->fd, reinterpret_cast<struct sockaddr *>(&ss), &sl,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    int e = errno;
    _io_leave(ls);
    if (fd >= 0) {
      ls->backoff_on.store(false);
      if (ls->episode.exchange(false))
        plat_log(5, "accept: descriptors available again, accepting connections");
      ASock *s = _sock_wrap(fd);
      if (!s) {
        close(fd);
        ls->last_error.store(ENOMEM);
        return nullptr;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (ls->ssl && !asock_ssl_accept(ls, s)) {
        delete s;  // its descriptor is closed; that client is gone
        continue;
      }
      if (pAddr && pnAddrLen && *pnAddrLen > 0) {
        size_t n = std::min(static_cast<size_t>(*pnAddrLen), static_cast<size_t>(sl));
        std::memcpy(pAddr, &ss, n);
        *pnAddrLen = static_cast<int>(n);
      }
      return s;
    }
    switch (e) {
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
        continue;  // that connection is gone; try the next one
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        ls->backoff_on.store(true);
        if (!ls->episode.exchange(true))
          plat_log(3, "accept: out of descriptors or memory (%s); pausing accepts",
                   std::strerror(e));
        break;
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        ls->backoff_on.store(false);  // nothing pending: a plain wait cannot spin
        break;
      default:
        break;
    }
    ls->last_error.store(e == EWOULDBLOCK ? EAGAIN : e);
    return nullptr;
  }
  ls->last_error.store(EAGAIN);
  return nullptr;
}

int ASock_Connect(ASock *s, const struct sockaddr *pAddr, int nAddrLen, GDisp *gd, GDispFn fn,
                  void *arg) {
  if (!s || !pAddr || nAddrLen <= 0 || !gd || !fn) return -1;
  Waiter w(gd, fn, arg);
  if (!_io_enter(s)) return -1;
  int r = connect(s->fd, pAddr, static_cast<socklen_t>(nAddrLen));
  int e = errno;
  _io_leave(s);
  if (r == 0 || (e != EINPROGRESS && e != EINTR)) {
    int err = r == 0 ? 0 : e;
    if (err) s->last_error.store(err);
    run_on_group(gd, [w = std::move(w), err]() mutable { w.fire(err); });
    return 0;
  }
  struct ConnectDone {
    SockRef s;
    Waiter w;
    void operator()(const std::error_code &ec) {
      if (ec == asio::error::operation_aborted || s->closed.load()) return;
      int err = ec ? ec.value() : 0;
      socklen_t l = sizeof err;
      if (!ec && _io_enter(s.get())) {
        if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0) err = errno;
        _io_leave(s.get());
      }
      if (err) s->last_error.store(err);
      w.fire(err);
    }
  };
  std::lock_guard<std::mutex> g(s->mu);
  if (s->closed.load() || !_bind_locked(s, _gd_cx(gd))) return -1;
  auto h = on_group(gd, ConnectDone{SockRef(s), std::move(w)});
  if (!h) return -1;
  try {
    s->as->async_wait(asio::socket_base::wait_write, std::move(*h));
  } catch (...) {
    return -1;
  }
  return 0;
}

int ASock_Readable(ASock *s, GDisp *gd, GDispFn fn, void *arg) {
  if (!s || !gd || !fn) return -1;
  Waiter w(gd, fn, arg);
  std::lock_guard<std::mutex> g(s->mu);
  if (s->closed.load()) return -1;
  if (s->read_gd.get() != gd) s->read_gd = GdRef(gd);
  if (s->io->pending(s)) {
    run_on_group(gd, [s = SockRef(s), w = std::move(w)]() mutable {
      if (!s->closed.load()) w.fire(0);
    });
    return 0;
  }
  return _arm_wait_locked(s, asio::socket_base::wait_read, std::move(w)) ? 0 : -1;
}

namespace {

int _recv_result(ASock *s, int r, int e) {
  if (r >= 0) return r;
  if (r == -1) {
    s->last_error.store(EAGAIN);
    return -1;
  }
  s->last_error.store(e);
  std::lock_guard<std::mutex> g(s->mu);
  if (s->read_gd) s->read_gd->async_error.store(e, std::memory_order_relaxed);
  return -2;
}

}  // namespace

namespace {

// Reads into the buffers one after another, each as one read of the
// socket's I/O, for as long as each is filled whole: a TLS record is larger
// than one buffer, and its rest is already decrypted. What was read counts,
// and a failure after it shows on the next read. The layer's hook runs
// once, after the bracket: what it calls may delete the socket. n >= 1; the
// caller has checked the buffers but the first.
int _recv_buffers(ASock *s, const struct iovec *iov, int n) {
  if (!_direct_io_begin(s, iov[0].iov_base, static_cast<int>(iov[0].iov_len))) return -2;
  int r = 0, e = 0, got = 0;
  for (int i = 0; i < n; i++) {
    int len = static_cast<int>(iov[i].iov_len);
    if (len == 0 && got > 0) continue;
    r = s->io->recv(s, iov[i].iov_base, len);
    e = errno;
    if (r > 0) got += r;
    if (r < len || len == 0) break;
  }
  _io_leave(s);
  if (got > 0) r = got;
  if (s->io->recv_done) {
    SockRef keep(s);  // the SSL handshake hook may delete the socket
    s->io->recv_done(s);
    return _recv_result(s, r, e);
  }
  return _recv_result(s, r, e);
}

}  // namespace

int ASock_Recv(ASock *s, void *pBuf, int nMax) {
  if (!s) return -2;
  if (nMax < 0) {
    s->last_error.store(EINVAL);
    return -2;
  }
  struct iovec one = {pBuf, static_cast<size_t>(nMax)};
  return _recv_buffers(s, &one, 1);
}

int ASock_Send(ASock *s, const void *pBuf, int nLen) {
  if (!s || !_direct_io_begin(s, pBuf, nLen)) return -2;
  if (nLen == 0) {
    _io_leave(s);
    return 0;
  }
  int r = s->io->send(s, pBuf, nLen);
  int e = errno;
  _io_leave(s);
  if (r >= 0) return r;
  s->last_error.store(e == EWOULDBLOCK ? EAGAIN : e);
  return -2;
}

namespace {

constexpr int kMaxIov = 64;
// Largest payload of one TLS record.
constexpr size_t kLayerRecord = 16384;

// Checks the arguments of a vector read or write; the total length, or -1.
long _iov_total(ASock *s, const struct iovec *iov, int n) {
  if (!iov || n <= 0 || n > kMaxIov) {
    s->last_error.store(EINVAL);
    return -1;
  }
  long total = 0;
  for (int i = 0; i < n; i++) {
    if (!iov[i].iov_base && iov[i].iov_len) {
      s->last_error.store(EINVAL);
      return -1;
    }
    total += static_cast<long>(iov[i].iov_len);
    if (total > (1L << 30)) {
      s->last_error.store(EINVAL);
      return -1;
    }
  }
  return total;
}

// One recvmsg or sendmsg of the vector on a plain socket, retried on EINTR:
// the byte count, -1 with errno in *err when the call failed, or -2 (with
// *err EBADF) when the socket is being closed and nothing was called.
ssize_t _msg_io(ASock *s, const struct iovec *iov, int n, bool send, int *err) {
  if (!_io_enter(s)) {
    *err = EBADF;
    return -2;
  }
  struct msghdr mh;
  std::memset(&mh, 0, sizeof mh);
  mh.msg_iov = const_cast<struct iovec *>(iov);
  mh.msg_iovlen = static_cast<size_t>(n);
  ssize_t r;
  do
    r = send ? sendmsg(s->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT) : recvmsg(s->fd, &mh, MSG_DONTWAIT);
  while (r < 0 && errno == EINTR);
  *err = errno;
  _io_leave(s);
  return r;
}

}  // namespace

int ASock_RecvV(ASock *s, const struct iovec *pIov, int nIov) {
  if (!s) return -2;
  long total = _iov_total(s, pIov, nIov);
  if (total < 0) return -2;
  if (total == 0) return ASock_Recv(s, nullptr, 0);
  if (s->io != &plain_io) {
    int i = 0;
    while (pIov[i].iov_len == 0) i++;
    return _recv_buffers(s, pIov + i, nIov - i);
  }
  int e = 0;
  ssize_t r = _msg_io(s, pIov, nIov, false, &e);
  if (r >= 0) return static_cast<int>(r);
  if (r == -2) {
    s->last_error.store(EBADF);
    return -2;
  }
  return _recv_result(s, (e == EAGAIN || e == EWOULDBLOCK) ? -1 : -2, e);
}

int ASock_SendV(ASock *s, const struct iovec *pIov, int nIov) {
  if (!s) return -2;
  long total = _iov_total(s, pIov, nIov);
  if (total < 0) return -2;
  if (total == 0) return 0;
  if (s->io != &plain_io) {
    // A layer with its own framing makes one record of each send: small
    // buffers are gathered into full records first.
    static thread_local char gather[kLayerRecord];
    int sent = 0;
    int i = 0;
    size_t off = 0;  // into pIov[i]
    for (;;) {
      while (i < nIov && off == pIov[i].iov_len) {
        i++;
        off = 0;
      }
      if (i == nIov) return sent;
      const char *p = static_cast<const char *>(pIov[i].iov_base) + off;
      size_t len = pIov[i].iov_len - off;
      if (len < sizeof gather && i + 1 < nIov) {
        size_t fill = 0;
        while (i < nIov && fill < sizeof gather) {
          size_t k = std::min(pIov[i].iov_len - off, sizeof gather - fill);
          std::memcpy(gather + fill, static_cast<const char *>(pIov[i].iov_base) + off, k);
          fill += k;
          off += k;
          if (off == pIov[i].iov_len) {
            i++;
            off = 0;
          }
        }
        p = gather;
        len = fill;
      } else {
        off += len;
      }
      int r = ASock_Send(s, p, static_cast<int>(len));
      if (r < 0) return sent > 0 ? sent : r;
      sent += r;
      if (static_cast<size_t>(r) < len) return sent;
    }
  }
  int e = 0;
  ssize_t r = _msg_io(s, pIov, nIov, true, &e);
  if (r >= 0) return static_cast<int>(r);
  s->last_error.store(e == EWOULDBLOCK ? EAGAIN : e);
  return -2;
}

int ASock_AsyncWrite(ASock *s, const void *pBuf, uint32_t nLen, int *pnStatus, GDisp *gd,
                     GDispFn fn, void *arg) {
  if (!s || !pnStatus || !gd || !fn || (!pBuf && nLen > 0)) return -1;
  if (s->closed.load() || s->wbusy.exchange(true)) return -1;
  s->w.buf = static_cast<const char *>(pBuf);
  s->w.len = nLen;
  s->w.off = 0;
  s->w.pasd = nullptr;
  return _start_write(s, pnStatus, gd, fn, arg);
}

int ASock_AsyncWriteDynamic(ASock *s, ASockDynamic *pasd, int *pnStatus, GDisp *gd, GDispFn fn,
                            void *arg) {
  if (!s || !pasd || !pasd->getBuf || !pnStatus || !gd || !fn) return -1;
  if (s->closed.load() || s->wbusy.exchange(true)) return -1;
  s->w.buf = nullptr;
  s->w.len = s->w.off = 0;
  s->w.pasd = pasd;
  s->w.piece = {nullptr, 0};
  return _start_write(s, pnStatus, gd, fn, arg);
}

int ASock_GetLastError(ASock *s) { return s ? s->last_error.load() : EINVAL; }

int ASock_GetFd(ASock *s) { return s ? s->fd : -1; }

uint64_t ASock_SendQueued(ASock *s) {
  if (!s || s->closed.load() || !s->io->queued) return 0;
  return s->io->queued(s);
}
