// Socket record of the socket layer. Not installed.
//
// A socket owns one descriptor. Its Asio object exists only while a wait is
// armed on some context: it is created on the context of the dispatch
// object a wait is armed on and moved (released and re-assigned) when a
// wait arrives from another context, which is how a listening socket
// outlives the dispatch contexts of the program's cycles.
//
// The I/O functions go through `io`: plain sockets use the system calls;
// the SSL layer installs its own table that reads and writes through the
// NSS descriptor kept in `ssl`, reports bytes NSS holds already decrypted
// through `pending` and encrypted bytes it holds for want of room in the
// descriptor through `queued`, and closes through NSS. A listening socket with SSL
// enabled keeps its SSL settings in `ssl` too; sockets accepted from it are
// handed to asock_ssl_accept before anyone sees them.
//
// Threads: `mu` guards the Asio object, the back-off timer, the context
// links and read_gd; descriptor I/O is bracketed by io_enter/io_leave so
// that ASock_Delete never closes a descriptor (whose number could be
// reused at once) while another thread is in a system call on it.
#ifndef PLAT_ASOCK_INTERNAL_H
#define PLAT_ASOCK_INTERNAL_H

#include <sys/uio.h>

#include <atomic>
#include <mutex>

#include "gdisp_internal.h"
#include "plat/asock.h"

namespace plat {

struct ASockIo {
  // > 0 bytes, 0 peer closed, -1 nothing now (errno EAGAIN), -2 error (errno)
  int (*recv)(ASock *s, void *buf, int max);
  // >= 0 bytes sent, -1 with errno (EAGAIN when the socket is full)
  int (*send)(ASock *s, const void *buf, int len);
  // bytes already held inside the layer (readable without a wait)
  bool (*pending)(ASock *s);
  // bytes taken for sending but not yet given to the descriptor (may be
  // null: none)
  uint64_t (*queued)(ASock *s);
  // closes the descriptor
  void (*close)(ASock *s, int mode);
  // runs after a read has left the descriptor bracket (may be null): what
  // it calls may delete the socket
  void (*recv_done)(ASock *s);
};

struct SslSock;  // asock_ssl.cc

// Turns a socket accepted from an SSL listener into an SSL socket. On
// failure its descriptor is closed (s->fd is -1) and false is returned.
bool asock_ssl_accept(ASock *listener, ASock *s);

extern const ASockIo plain_io;

// Makes the close of `fd` a reset (SO_LINGER with no time).
void asock_set_abort(int fd);

struct WriteOp {
  const char *buf = nullptr;
  uint32_t len = 0, off = 0;
  ASockDynamic *pasd = nullptr;  // data source instead of buf
  struct iovec piece = {nullptr, 0};
  int *pst = nullptr;
  Waiter waiter;
};

void asock_detach_all(GDispCx *cx);

}  // namespace plat

struct ASock {
  int fd = -1;
  const plat::ASockIo *io = &plat::plain_io;
  plat::SslSock *ssl = nullptr;  // SSL state (listener or SSL socket)

  std::atomic<int> refs{1};
  std::atomic<bool> closed{false};
  std::atomic<int> inflight{0};
  std::atomic<int> last_error{0};

  std::mutex mu;
  GDispCx *cx = nullptr;
  asio::ip::tcp::socket *as = nullptr;
  asio::steady_timer *backoff = nullptr;
  plat::GdRef read_gd;     // where a failed ASock_Recv records its error
  plat::Links<ASock> cxl;  // in cx->socks, under cx->mu

  // Accept ran out of descriptors: `backoff_on` delays the next readiness
  // report; `episode` lasts until an accept succeeds again (for the log).
  std::atomic<bool> backoff_on{false};
  std::atomic<bool> episode{false};

  std::atomic<bool> wbusy{false};
  plat::WriteOp w;
};

#endif
