// Platform layer throughput: callbacks dispatched through one object and
// through many, byte pipes with small and page-sized writes, and an echo
// over loopback driven by ASock_AsyncWrite next to a plain blocking echo
// measured in the same run (the ratio is the figure to watch).
#include <arpa/inet.h>
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "plat/asock.h"
#include "plat/gdisp.h"

namespace {

class Loop {
 public:
  explicit Loop(int threads) : cx_(GDispCx_New(2, threads, 65536)) {
    t_ = std::thread([this] { GDispCx_DispatchLoop(cx_); });
  }
  ~Loop() {
    GDispCx_Shutdown(cx_);
    t_.join();
    GDispCx_Delete(cx_);
  }
  GDispCx *cx() const { return cx_; }

 private:
  GDispCx *cx_;
  std::thread t_;
};

class Latch {
 public:
  void Reset(int n) {
    std::lock_guard<std::mutex> g(mu_);
    left_ = n;
  }
  void Down() {
    std::lock_guard<std::mutex> g(mu_);
    if (--left_ == 0) cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [this] { return left_ <= 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int left_ = 0;
};

// ---- callbacks ----------------------------------------------------------------

struct Chain {
  GDisp *gd;
  int left;
  Latch *done;
  static void Cb(void *p) {
    auto *c = static_cast<Chain *>(p);
    if (--c->left > 0) GDisp_Timer(c->gd, 0, Cb, c);
    else c->done->Down();
  }
};

void BM_Callbacks(benchmark::State &state) {
  const int objects = static_cast<int>(state.range(0));
  constexpr int kPerObject = 20000;
  Loop loop(2);
  std::vector<Chain> chains(objects);
  Latch done;
  for (auto &c : chains) c.gd = GDisp_New(loop.cx());
  for (auto _ : state) {
    done.Reset(objects);
    for (auto &c : chains) {
      c.left = kPerObject;
      c.done = &done;
      GDisp_Timer(c.gd, 0, Chain::Cb, &c);
    }
    done.Wait();
  }
  state.SetItemsProcessed(state.iterations() * objects * kPerObject);
  for (auto &c : chains) GDisp_Delete(c.gd);
}
BENCHMARK(BM_Callbacks)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- pipes ----------------------------------------------------------------------

struct Drain {
  Drain(ASPipe *p, GDisp *g, Latch *l) : pipe(p), gd(g), done(l) {}
  ASPipe *pipe;
  GDisp *gd;
  char *buf = nullptr;
  uint32_t len = 0;
  std::atomic<uint64_t> got{0};
  uint64_t want = 0;
  Latch *done;
  static void Cb(void *p) {
    auto *d = static_cast<Drain *>(p);
    uint64_t total = d->got.fetch_add(d->len) + d->len;
    ASPipe_Read(d->pipe, &d->buf, &d->len, d->gd, Cb, d);
    if (total == d->want) d->done->Down();
  }
};

void BM_PipeThroughput(benchmark::State &state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  const uint64_t per_iter = 16u << 20;
  Loop loop(2);
  ASPipe *pipe = ASPipe_New(16384);
  Latch done;
  Drain d(pipe, GDisp_New(loop.cx()), &done);
  ASPipe_Read(pipe, &d.buf, &d.len, d.gd, Drain::Cb, &d);
  std::vector<char> rec(size, 'r');
  for (auto _ : state) {
    done.Reset(1);
    d.want += per_iter;
    for (uint64_t sent = 0; sent < per_iter; sent += size) ASPipe_Write(pipe, rec.data(), size);
    done.Wait();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * per_iter));
  GDisp_Delete(d.gd);
  ASPipe_Delete(pipe);
}
BENCHMARK(BM_PipeThroughput)->Arg(64)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- echo -----------------------------------------------------------------------

// Echo server on the platform layer: read, then write back in the background.
struct AsyncEcho {
  ASock *s;
  GDisp *gd;
  std::vector<char> buf = std::vector<char>(65536);
  int status = 0;
  static void Readable(void *p) {
    auto *e = static_cast<AsyncEcho *>(p);
    int n = ASock_Recv(e->s, e->buf.data(), static_cast<int>(e->buf.size()));
    if (n > 0) {
      ASock_AsyncWrite(e->s, e->buf.data(), static_cast<uint32_t>(n), &e->status, e->gd, Written,
                       e);
    } else if (n == -1) {
      ASock_Readable(e->s, e->gd, Readable, e);
    }
  }
  static void Written(void *p) {
    auto *e = static_cast<AsyncEcho *>(p);
    if (e->status == 0) ASock_Readable(e->s, e->gd, Readable, e);
  }
};

int Dial(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Sends `total` bytes in 16 KiB blocks and reads them back; seconds taken.
double Pump(int fd, size_t total) {
  std::vector<char> out(16384, 'e'), in(65536);
  auto t0 = std::chrono::steady_clock::now();
  std::thread reader([&] {
    size_t got = 0;
    while (got < total) {
      ssize_t n = read(fd, in.data(), in.size());
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  });
  for (size_t sent = 0; sent < total;) {
    ssize_t n = write(fd, out.data(), std::min(out.size(), total - sent));
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  reader.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_EchoAsyncWriteVsBlocking(benchmark::State &state) {
  constexpr size_t kBytes = 32u << 20;
  Loop loop(2);
  ASock *ls = ASock_NewBound(htonl(INADDR_LOOPBACK), 0);
  struct sockaddr_in sin = {};
  socklen_t l = sizeof sin;
  getsockname(ASock_GetFd(ls), reinterpret_cast<struct sockaddr *>(&sin), &l);
  int port = ntohs(sin.sin_port);

  int afd = Dial(port);
  ASock *as = nullptr;
  while (!(as = ASock_Accept(ls, nullptr, nullptr, 0, 0))) std::this_thread::yield();
  AsyncEcho echo{as, GDisp_New(loop.cx())};
  ASock_Readable(as, echo.gd, AsyncEcho::Readable, &echo);

  // The blocking echo: one thread, read then write all.
  int bfd = Dial(port);
  ASock *bs = nullptr;
  while (!(bs = ASock_Accept(ls, nullptr, nullptr, 0, 0))) std::this_thread::yield();
  int bsfd = ASock_GetFd(bs);
  fcntl(bsfd, F_SETFL, fcntl(bsfd, F_GETFL) & ~O_NONBLOCK);
  std::thread blocking([bsfd] {
    std::vector<char> buf(65536);
    for (;;) {
      ssize_t n = recv(bsfd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        ssize_t w = send(bsfd, buf.data() + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
        if (w <= 0) return;
        off += w;
      }
    }
  });

  double t_async = 0, t_block = 0;
  for (auto _ : state) {
    t_async += Pump(afd, kBytes);
    t_block += Pump(bfd, kBytes);
  }
  double mb = static_cast<double>(kBytes) * static_cast<double>(state.iterations()) / 1e6;
  state.counters["async_MBps"] = mb / t_async;
  state.counters["blocking_MBps"] = mb / t_block;
  state.counters["ratio"] = t_block / t_async;
  shutdown(bfd, SHUT_WR);
  blocking.join();
  close(afd);
  close(bfd);
  GDisp_Delete(echo.gd);
  ASock_Delete(as, ASOCK_CLOSE_PLAIN);
  ASock_Delete(bs, ASOCK_CLOSE_PLAIN);
  ASock_Delete(ls, ASOCK_CLOSE_PLAIN);
}
BENCHMARK(BM_EchoAsyncWriteVsBlocking)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace

BENCHMARK_MAIN();
