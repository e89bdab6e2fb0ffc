// Runtime library throughput, measured side by side in one run:
//  - a 64 MiB file to a loopback TCP socket: retry_transmitfile, the same
//    map-and-writev done by hand, the host's sendfile (the zero-copy
//    candidate transmitfile does not use while it is slower here), and a
//    plain read/write copy loop;
//  - protocol-stream line reads (prot_fgets) from memory and from a file.
// Compare the rows of one run with each other; absolute numbers depend on
// the machine.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tovi/map.h"
#include "tovi/prot.h"
#include "tovi/retry.h"
#include "tovi/transmitfile.h"

namespace {

constexpr uint32_t kFileSize = 64u << 20;

// A temporary file of kFileSize bytes, made once per process.
int big_file() {
  static int fd = [] {
    char name[] = "/tmp/rt_bench_fileXXXXXX";
    int f = mkstemp(name);
    if (f < 0) {
      perror("mkstemp");
      exit(1);
    }
    unlink(name);
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
    for (uint32_t done = 0; done < kFileSize; done += static_cast<uint32_t>(chunk.size()))
      if (write(f, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
        perror("write");
        exit(1);
      }
    return f;
  }();
  return fd;
}

// A loopback TCP connection whose far end reads and discards everything.
class Sink {
 public:
  Sink() {
    signal(SIGPIPE, SIG_IGN);
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 1) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
      perror("listen");
      exit(1);
    }
    out_ = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(out_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      perror("connect");
      exit(1);
    }
    in_ = accept(lfd, nullptr, nullptr);
    close(lfd);
    reader_ = std::thread([this] {
      std::vector<char> buf(1 << 18);
      for (;;) {
        ssize_t n = recv(in_, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        received_.fetch_add(static_cast<uint64_t>(n), std::memory_order_release);
      }
    });
  }
  ~Sink() {
    shutdown(out_, SHUT_WR);
    reader_.join();
    close(out_);
    close(in_);
  }
  int fd() const { return out_; }
  // Waits until the far end has everything sent so far.
  void settle(uint64_t sent) {
    while (received_.load(std::memory_order_acquire) < sent) std::this_thread::yield();
  }

 private:
  int out_ = -1, in_ = -1;
  std::atomic<uint64_t> received_{0};
  std::thread reader_;
};

// Runs send_once (which must send the whole file to fd) per iteration and
// counts the file's bytes once the far end has them all.
template <typename Fn>
void send_file_bench(benchmark::State &state, Fn send_once) {
  int file = big_file();
  Sink sink;
  uint64_t sent = 0;
  for (auto _ : state) {
    if (!send_once(file, sink.fd())) {
      state.SkipWithError("send failed");
      break;
    }
    sent += kFileSize;
    sink.settle(sent);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void BM_RetryTransmitfile(benchmark::State &state) {
  send_file_bench(state, [](int file, int fd) {
    return retry_transmitfile(file, fd, nullptr, MAP_WHOLEFILE, 0, kFileSize, nullptr, nullptr) ==
           static_cast<int32_t>(kFileSize);
  });
}

// What transmitfile does without sendfilev, by hand: map and one writev.
void BM_MapAndWritev(benchmark::State &state) {
  send_file_bench(state, [](int file, int fd) {
    tovi_map *map = map_refresh(file, nullptr, MAP_NOIDENTITY, kFileSize);
    if (map == nullptr) return false;
    map_advise(map->base, kFileSize, MAP_ADV_SEQUENTIAL | MAP_ADV_WILLNEED);
    struct iovec v = {const_cast<char *>(map->base), kFileSize};
    bool ok = retry_writev(fd, &v, 1) == static_cast<int32_t>(kFileSize);
    map_free(map);
    return ok;
  });
}

// The host's own zero-copy call, the candidate for the range: transmitfile
// would use it only where it beats the map above.
void BM_LinuxSendfile(benchmark::State &state) {
  send_file_bench(state, [](int file, int fd) {
    off_t off = 0;
    while (off < static_cast<off_t>(kFileSize))
      if (sendfile(fd, file, &off, kFileSize - static_cast<size_t>(off)) <= 0) return false;
    return true;
  });
}

void BM_ReadWriteLoop(benchmark::State &state) {
  std::vector<char> buf(static_cast<size_t>(state.range(0)));
  send_file_bench(state, [&buf](int file, int fd) {
    lseek(file, 0, SEEK_SET);
    int32_t n;
    while ((n = retry_read(file, buf.data(), buf.size())) > 0)
      if (retry_write(fd, buf.data(), static_cast<size_t>(n)) != n) return false;
    return n == 0;
  });
}

std::string line_text(size_t lines) {
  std::string t;
  for (size_t i = 0; i < lines; ++i)
    t += "A" + std::to_string(i) + " FETCH (FLAGS (\\Seen) UID " + std::to_string(1000 + i) +
         ")\r\n";
  return t;
}

void BM_ProtFgetsFromMemory(benchmark::State &state) {
  static const std::string text = line_text(100000);
  char line[256];
  int64_t lines = 0;
  for (auto _ : state) {
    protstream *s = prot_frombuffer(text.data(), static_cast<uint32_t>(text.size()));
    while (prot_fgets(line, sizeof line, s)) ++lines;
    prot_free(s);
  }
  state.SetItemsProcessed(lines);
}

void BM_ProtFgetsFromFile(benchmark::State &state) {
  static const std::string text = line_text(100000);
  char name[] = "/tmp/rt_bench_linesXXXXXX";
  int fd = mkstemp(name);
  unlink(name);
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    state.SkipWithError("write failed");
  char line[256];
  int64_t lines = 0;
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    protstream *s = prot_file(fd, 0);
    while (prot_fgets(line, sizeof line, s)) ++lines;
    prot_free(s);
  }
  close(fd);
  state.SetItemsProcessed(lines);
}

}  // namespace

BENCHMARK(BM_RetryTransmitfile)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_MapAndWritev)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_LinuxSendfile)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ReadWriteLoop)
    ->Arg(64 << 10)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();
BENCHMARK(BM_ProtFgetsFromMemory)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProtFgetsFromFile)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
