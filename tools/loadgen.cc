// loadgen: load generator for the relay benchmarks.
//
// Drives an echo service (the plain echo server, haproxy in front of it, or
// the multiplexor in front of the reference IM server in echo mode) over
// plain TCP, or TLS 1.3 with --tls, and checks every byte that comes back.
//
// Every connection sends its own deterministic byte stream: the 8-byte word
// at stream offset 8k is an invertible mix of (run tag, connection id, k).
// So no framing is needed (a 1-byte message is as checkable as a 64 KB one),
// and when the echo departs from what was expected the receiver can decode
// the words it did get and say what went wrong: a gap that stays open (loss),
// old data again (duplication), an earlier gap filled late (reordering),
// another connection's stream (mix-up) or bytes that decode to nothing
// (corruption). Any of these, a connection that closes early, a failed
// connect or an echo that never arrives fails the run (exit status 1).
//
// One mode checks nothing on purpose: noread connections send flat out and
// never read, as a hostile or broken client would; the target is expected
// to close them, and each one it closes is replaced by a new one.
//
// With --tls every connection does a full TLS 1.3 handshake (NSS, the
// server's certificate taken unchecked: the peer is a benchmark target)
// before it counts as connected, so the measured time holds no handshakes.
// NSS keeps what the kernel did not take of a record; a zero-length write
// pushes that on and says whether any is left, so a connection waits for
// room until nothing of its own is held.
//
// Threads: each worker thread owns an epoll set and its connections outright;
// nothing is shared between workers except start-up barriers and the final
// sums, which the main thread reads after joining them.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <nspr/prerror.h>
#include <nspr/prio.h>
#include <nspr/private/pprio.h>
#include <nss/nss.h>
#include <nss/ssl.h>
#include <nss/sslproto.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <bit>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------- clock

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double cpu_seconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A refused target fails every connection alike: the first few reasons
// say enough, thousands of copies would bury the report.
std::atomic<int> g_complaints{0};

[[gnu::format(printf, 1, 2)]] void complain(const char *fmt, ...) {
    int n = g_complaints.fetch_add(1);
    if (n > 10) return;
    if (n == 10) {
        fputs("loadgen: further errors not shown\n", stderr);
        return;
    }
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fprintf(stderr, "loadgen: %s", line);
}

// ---------------------------------------------------------------- pattern

// The mix must be a bijection (so words decode) and cheap (it runs for
// every byte sent and every byte checked); a multiply by an odd constant and
// a folding shift are both invertible.
constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;

constexpr uint64_t mul_inverse(uint64_t a) {
    uint64_t x = a;  // Newton: each step doubles the correct low bits
    for (int i = 0; i < 6; i++) x *= 2 - a * x;
    return x;
}
constexpr uint64_t kInv = mul_inverse(kMul);
static_assert(kMul * kInv == 1);

inline uint64_t mix(uint64_t z) {
    z *= kMul;
    return z ^ (z >> 32);
}

inline uint64_t unmix(uint64_t z) { return (z ^ (z >> 32)) * kInv; }

// Word layout before mixing: tag (12 bits) | connection id (20) | index (32).
constexpr uint32_t kIdMask = 0xFFFFF;
uint64_t g_tag = 0xA5C;

inline uint64_t word_value(uint32_t id, uint64_t k) {
    return (g_tag << 52) | (uint64_t(id & kIdMask) << 32) | (k & 0xFFFFFFFFULL);
}

// Words travel little-endian whatever the host, so streams compare across
// machines; on little-endian hosts these are plain copies.
inline void store_word(uint8_t *p, uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(p, &w, 8);
    } else {
        for (int i = 0; i < 8; i++) p[i] = uint8_t(w >> (8 * i));
    }
}

inline uint64_t load_word(const uint8_t *p) {
    uint64_t w = 0;
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(&w, p, 8);
    } else {
        for (int i = 0; i < 8; i++) w |= uint64_t(p[i]) << (8 * i);
    }
    return w;
}

// Writes stream bytes [off, off + n) of connection id.
void fill_stream(uint32_t id, uint64_t off, uint8_t *dst, size_t n) {
    uint64_t k = off >> 3;
    size_t skip = off & 7;
    if (skip) {
        uint8_t b[8];
        store_word(b, mix(word_value(id, k++)));
        size_t take = std::min(8 - skip, n);
        memcpy(dst, b + skip, take);
        dst += take;
        n -= take;
    }
    uint64_t head = word_value(id, 0) & ~0xFFFFFFFFULL;
    for (; n >= 8; n -= 8, dst += 8, k++) store_word(dst, mix(head | (k & 0xFFFFFFFFULL)));
    if (n) {
        uint8_t b[8];
        store_word(b, mix(word_value(id, k)));
        memcpy(dst, b, n);
    }
}

// ---------------------------------------------------------------- histogram

// Log-linear buckets: 32 steps per power of two (about 3% resolution).
class Histogram {
  public:
    static constexpr int kBuckets = 64 + 59 * 32;
    void add(int64_t v) {
        if (v < 0) v = 0;
        counts_[index(uint64_t(v))]++;
        n_++;
        sum_ += double(v);
        max_ = std::max(max_, v);
    }
    void merge(const Histogram &o) {
        for (int i = 0; i < kBuckets; i++) counts_[i] += o.counts_[i];
        n_ += o.n_;
        sum_ += o.sum_;
        max_ = std::max(max_, o.max_);
    }
    uint64_t count() const { return n_; }
    int64_t max() const { return max_; }
    double mean() const { return n_ ? sum_ / double(n_) : 0; }
    int64_t percentile(double p) const {
        if (n_ == 0) return 0;
        uint64_t want = uint64_t(p / 100.0 * double(n_));
        if (want >= n_) want = n_ - 1;
        uint64_t seen = 0;
        for (int i = 0; i < kBuckets; i++) {
            seen += counts_[i];
            if (seen > want) return std::min<int64_t>(value(i), max_);
        }
        return max_;
    }

  private:
    static int index(uint64_t v) {
        if (v < 64) return int(v);
        int msb = 63 - __builtin_clzll(v);
        int shift = msb - 5;
        return shift * 32 + int(v >> shift);
    }
    static int64_t value(int i) {
        if (i < 64) return i;
        int shift = i / 32 - 1;
        uint64_t mant = uint64_t(i - shift * 32);
        return int64_t((mant << shift) + (uint64_t(1) << shift) / 2);
    }
    uint64_t counts_[kBuckets] = {};
    uint64_t n_ = 0;
    double sum_ = 0;
    int64_t max_ = 0;
};

// ---------------------------------------------------------------- options

enum class Mode { Stream, Ping, Idle, Rate, NoRead };

struct Options {
    Mode mode = Mode::Ping;
    sockaddr_in target{};
    std::string target_text;
    int conns = 1;
    int hogs = 0;
    double duration = 5;
    size_t size = 64;
    double rate = 0;  // messages per second over all pingers; 0 = closed loop
    bool oneway = false;
    size_t window = 4 << 20;
    int threads = 1;
    int sources = 1;
    double drain = 3;
    double connect_timeout = 10;
    bool json = false;
    bool tls = false;
    unsigned seed = 0xA5C;
};

Options g_opt;

struct Counters {
    uint64_t loss = 0, lost_bytes = 0, dup = 0, reorder = 0, mixup = 0, corrupt = 0;
    uint64_t unexpected = 0;  // bytes from a target that should send none
    uint64_t closed_early = 0, connect_failed = 0, unanswered = 0;

    uint64_t mismatches() const { return loss + dup + reorder + mixup + corrupt + unexpected; }
    uint64_t errors() const { return mismatches() + closed_early + connect_failed + unanswered; }
    void merge(const Counters &o) {
        loss += o.loss;
        lost_bytes += o.lost_bytes;
        dup += o.dup;
        reorder += o.reorder;
        mixup += o.mixup;
        corrupt += o.corrupt;
        unexpected += o.unexpected;
        closed_early += o.closed_early;
        connect_failed += o.connect_failed;
        unanswered += o.unanswered;
    }
};

// ---------------------------------------------------------------- connection

enum class Role { Stream, Ping, Idle, Rate, NoRead };

struct Pending {
    uint64_t end;   // stream offset at which this message has fully come back
    int64_t sched;  // when it was due to be sent
};

struct Conn {
    int fd = -1;
    PRFileDesc *tls = nullptr;  // owns fd once set
    bool tls_held = false;      // NSS holds bytes the kernel did not take
    uint32_t id = 0;
    Role role = Role::Ping;
    bool connected = false;
    bool want_out = false;
    int64_t t_start = 0;
    uint64_t tx_end = 0;  // bytes the connection is due to send
    uint64_t sent = 0;
    // Checker state.
    uint64_t rx = 0;  // stream offset the next received byte should carry
    uint64_t hi = 0;  // end of the furthest verified byte
    bool sync = true;
    bool foreign = false;                                // inside a run of another connection's words
    std::string carry;                                   // bytes not yet placed while out of step
    uint64_t skipped = 0;                                // bytes dropped from the front of carry meanwhile
    std::vector<std::pair<uint64_t, uint64_t>> missing;  // gaps still open
    std::deque<Pending> inflight;
};

uint64_t gap_bytes(const Conn &c) {
    uint64_t n = 0;
    for (auto &g : c.missing) n += g.second - g.first;
    return n;
}

// Removes [a, b) from the connection's open gaps; returns whether it
// overlapped any (the late bytes filled a gap).
bool fill_gaps(Conn &c, uint64_t a, uint64_t b) {
    bool hit = false;
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (auto &g : c.missing) {
        if (b <= g.first || a >= g.second) {
            out.push_back(g);
            continue;
        }
        hit = true;
        if (g.first < a) out.emplace_back(g.first, a);
        if (b < g.second) out.emplace_back(b, g.second);
    }
    c.missing.swap(out);
    return hit;
}

bool in_gap(const Conn &c, uint64_t off) {
    for (auto &g : c.missing)
        if (off >= g.first && off < g.second) return true;
    return false;
}

// ---------------------------------------------------------------- TLS

PRFileDesc *g_tls_model = nullptr;

SECStatus accept_any_certificate(void *, PRFileDesc *, PRBool, PRBool) { return SECSuccess; }

bool tls_init() {
    if (NSS_NoDB_Init(nullptr) != SECSuccess || NSS_SetDomesticPolicy() != SECSuccess) return false;
    PRFileDesc *tcp = PR_NewTCPSocket();
    g_tls_model = tcp ? SSL_ImportFD(nullptr, tcp) : nullptr;
    if (!g_tls_model) return false;
    SSLVersionRange v13{SSL_LIBRARY_VERSION_TLS_1_3, SSL_LIBRARY_VERSION_TLS_1_3};
    return SSL_OptionSet(g_tls_model, SSL_SECURITY, PR_TRUE) == SECSuccess &&
           SSL_OptionSet(g_tls_model, SSL_HANDSHAKE_AS_CLIENT, PR_TRUE) == SECSuccess &&
           SSL_OptionSet(g_tls_model, SSL_NO_CACHE, PR_TRUE) == SECSuccess &&
           SSL_VersionRangeSet(g_tls_model, &v13) == SECSuccess &&
           SSL_AuthCertificateHook(g_tls_model, accept_any_certificate, nullptr) == SECSuccess;
}

// Sets errno from the NSS error of a failed call.
void tls_errno() {
    PRErrorCode e = PR_GetError();
    errno = e == PR_WOULD_BLOCK_ERROR ? EAGAIN : e == PR_CONNECT_RESET_ERROR ? ECONNRESET : EPROTO;
}

const char *tls_error_text() {
    const char *name = PR_ErrorToName(PR_GetError());
    return name ? name : "unknown NSS error";
}

// send(2) and recv(2) on a connection, in the clear or through TLS.
ssize_t conn_send(Conn *c, const void *buf, size_t n) {
    if (!c->tls) return send(c->fd, buf, n, MSG_NOSIGNAL);
    PRInt32 w = PR_Write(c->tls, buf, PRInt32(std::min<size_t>(n, 1 << 30)));
    if (w < 0) {
        tls_errno();
        return -1;
    }
    c->tls_held = PR_Write(c->tls, buf, 0) < 0 && PR_GetError() == PR_WOULD_BLOCK_ERROR;
    return w;
}

ssize_t conn_recv(Conn *c, void *buf, size_t n) {
    if (!c->tls) return recv(c->fd, buf, n, 0);
    PRInt32 r = PR_Read(c->tls, buf, PRInt32(std::min<size_t>(n, 1 << 30)));
    if (r >= 0) return r;
    if (PR_GetError() == PR_END_OF_FILE_ERROR) return 0;
    tls_errno();
    return -1;
}

// ---------------------------------------------------------------- worker

struct Result {
    Counters ctr;
    Histogram lat;
    uint64_t rx_bytes = 0, tx_bytes = 0, msgs = 0, hog_bytes = 0;
    uint64_t done_conns = 0, peak_conns = 0, ready_conns = 0;
    uint64_t cut_conns = 0;  // noread connections the target closed
    int64_t ready_ns = 0;
};

std::atomic<int64_t> g_t0{0};

// The measured interval starts when the last worker has its connections up.
struct StartClock {
    void operator()() noexcept { g_t0.store(now_ns()); }
};
using StartBarrier = std::barrier<StartClock>;

class Worker {
  public:
    Worker(int npingers, int nhogs, uint32_t first_id, uint32_t id_stride)
        : npingers_(npingers),
          nhogs_(nhogs),
          next_id_(first_id),
          id_stride_(id_stride),
          scratch_(size_t{256} << 10),
          cmp_(size_t{64} << 10) {}
    ~Worker() {
        for (auto &c : conns_)
            if (c) close_conn(c.get());
        if (ep_ >= 0) close(ep_);
    }
    bool init() {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        return ep_ >= 0;
    }
    void run(StartBarrier &start, std::barrier<> &ready);
    Result result;

  private:
    Conn *open_conn(Role role);
    void close_conn(Conn *c);
    bool connect_all(int64_t deadline);
    void poll_once(int64_t until);
    void on_event(Conn *c, uint32_t ev);
    void on_connected(Conn *c);
    bool start_tls(Conn *c);
    void read_some(Conn *c);
    void flush(Conn *c);
    void send_msg(Conn *c, int64_t sched);
    void receive(Conn *c, const uint8_t *d, size_t n);
    size_t match(Conn *c, const uint8_t *d, size_t n);
    void accept_bytes(Conn *c, size_t n);
    bool seen_before(const Conn *c, const uint8_t *bytes, size_t n);
    void progress(Conn *c);
    void finish_conn(Conn *c);
    bool all_answered() const;
    void set_out(Conn *c, bool on);
    void run_stream_ping(StartBarrier &start);
    void run_idle(StartBarrier &start, std::barrier<> &ready);
    void run_rate(StartBarrier &start);
    void run_noread(StartBarrier &start);
    void cut(Conn *c);

    int npingers_, nhogs_;
    uint32_t next_id_, id_stride_;
    int ep_ = -1;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::vector<uint8_t> scratch_, cmp_;
    bool measuring_ = false;
    bool past_end_ = false;  // draining: echoes still checked, not counted
    bool sending_ = false;
    int64_t t_end_ = 0;
    size_t live_ = 0;
    uint32_t source_next_ = 0;
};

Conn *Worker::open_conn(Role role) {
    auto c = std::make_unique<Conn>();
    c->role = role;
    c->id = next_id_;
    next_id_ += id_stride_;
    c->t_start = now_ns();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        complain("socket: %s\n", strerror(errno));
        result.ctr.connect_failed++;
        return nullptr;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (role == Role::NoRead) {
        // Little room in the kernel for a client that never reads (the
        // sender's buffer grows with the segment size), so that what piles
        // up does so in the target.
        int rcv = 4096, mss = 536;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
        setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    }
    if (g_opt.sources > 1) {
        // Several loopback source addresses multiply the ephemeral ports
        // available for tens of thousands of short connections.
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(0x7F000001u + (source_next_++ % unsigned(g_opt.sources)));
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
            complain("bind source: %s\n", strerror(errno));
            close(fd);
            result.ctr.connect_failed++;
            return nullptr;
        }
    }
    int r = connect(fd, reinterpret_cast<const sockaddr *>(&g_opt.target), sizeof g_opt.target);
    if (r != 0 && errno != EINPROGRESS) {
        complain("connect %s: %s\n", g_opt.target_text.c_str(), strerror(errno));
        close(fd);
        result.ctr.connect_failed++;
        return nullptr;
    }
    c->fd = fd;
    Conn *raw = c.get();
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.ptr = raw;
    if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        complain("epoll_ctl: %s\n", strerror(errno));
        close(fd);
        result.ctr.connect_failed++;
        return nullptr;
    }
    raw->want_out = true;
    conns_.push_back(std::move(c));
    live_++;
    result.peak_conns = std::max<uint64_t>(result.peak_conns, live_);
    return raw;
}

void Worker::close_conn(Conn *c) {
    if (c->fd < 0) return;
    epoll_ctl(ep_, EPOLL_CTL_DEL, c->fd, nullptr);
    if (c->tls) PR_Close(c->tls);
    else close(c->fd);
    c->tls = nullptr;
    c->fd = -1;
    live_--;
}

void Worker::set_out(Conn *c, bool on) {
    if (c->want_out == on || c->fd < 0) return;
    c->want_out = on;
    epoll_event ev{};
    // A connection that never reads waits for room only (and, always, for
    // an error or hang-up).
    uint32_t in = c->role == Role::NoRead ? 0u : uint32_t(EPOLLIN);
    ev.events = on ? in | uint32_t(EPOLLOUT) : in;
    ev.data.ptr = c;
    epoll_ctl(ep_, EPOLL_CTL_MOD, c->fd, &ev);
}

// Puts NSS over a connected descriptor; on failure the connection still
// owns what it has, for close_conn.
bool Worker::start_tls(Conn *c) {
    PRFileDesc *tcp = PR_ImportTCPSocket(c->fd);
    if (!tcp) return false;
    c->tls = tcp;
    PRFileDesc *s = SSL_ImportFD(g_tls_model, tcp);
    if (!s) return false;
    c->tls = s;
    PRSocketOptionData nb;
    nb.option = PR_SockOpt_Nonblocking;
    nb.value.non_blocking = PR_TRUE;
    return PR_SetSocketOption(s, &nb) == PR_SUCCESS && SSL_ResetHandshake(s, PR_FALSE) == SECSuccess &&
           SSL_SetURL(s, "localhost") == SECSuccess;
}

// The connect has ended; with TLS, called again at each event until the
// handshake is over.
void Worker::on_connected(Conn *c) {
    if (!c->tls) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            complain("connect %s: %s\n", g_opt.target_text.c_str(), strerror(err));
            result.ctr.connect_failed++;
            close_conn(c);
            return;
        }
        if (g_opt.tls && !start_tls(c)) {
            complain("TLS on connection %u: %s\n", c->id, tls_error_text());
            result.ctr.connect_failed++;
            close_conn(c);
            return;
        }
    }
    if (c->tls && SSL_ForceHandshake(c->tls) != SECSuccess) {
        if (PR_GetError() == PR_WOULD_BLOCK_ERROR) {
            set_out(c, false);  // the server's turn
            return;
        }
        complain("TLS handshake on connection %u: %s\n", c->id, tls_error_text());
        result.ctr.connect_failed++;
        close_conn(c);
        return;
    }
    c->connected = true;
    c->want_out = true;
    set_out(c, false);
    if (c->role == Role::Idle || c->role == Role::Rate) send_msg(c, c->t_start);
    if (c->role == Role::NoRead && sending_) {
        c->tx_end = UINT64_MAX;
        flush(c);
    }
}

void Worker::send_msg(Conn *c, int64_t sched) {
    c->tx_end += g_opt.size;
    c->inflight.push_back(Pending{c->tx_end, sched});
    flush(c);
}

void Worker::flush(Conn *c) {
    // What NSS still holds goes first; a connection that failed meanwhile
    // fails at its next read.
    if (c->tls_held && (conn_send(c, "", 0) < 0 || c->tls_held)) {
        set_out(c, true);
        return;
    }
    while (c->fd >= 0 && c->sent < c->tx_end) {
        uint64_t n = c->tx_end - c->sent;
        if (c->role == Role::NoRead) n = std::min<uint64_t>(n, g_opt.size);
        if (c->role == Role::Stream) {
            // --size shapes the pingers' messages; the hogs beside them
            // write in large pieces, as a bulk transfer would.
            n = std::min<uint64_t>(n, g_opt.mode == Mode::Ping ? 65536 : g_opt.size);
            if (!g_opt.oneway) {
                // Bounded outstanding echo, so a relay that queues without
                // limit cannot make this process (or the relay) swell.
                uint64_t out = c->sent - c->hi;
                if (out >= g_opt.window) break;
                n = std::min<uint64_t>(n, g_opt.window - out);
            }
        }
        n = std::min<uint64_t>(n, scratch_.size());
        fill_stream(c->id, c->sent, scratch_.data(), n);
        ssize_t w = conn_send(c, scratch_.data(), n);
        if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                set_out(c, true);
                return;
            }
            if (errno == EINTR) continue;
            if (c->role == Role::NoRead) return cut(c);
            complain("send on connection %u: %s\n", c->id, strerror(errno));
            result.ctr.closed_early++;
            finish_conn(c);
            return;
        }
        c->sent += uint64_t(w);
        if (measuring_ && !past_end_ && (c->role == Role::Stream || c->role == Role::NoRead))
            result.tx_bytes += uint64_t(w);
        if (size_t(w) < n || c->tls_held) {
            set_out(c, true);
            return;
        }
    }
    set_out(c, false);
}

size_t Worker::match(Conn *c, const uint8_t *d, size_t n) {
    size_t done = 0;
    while (done < n) {
        size_t k = std::min(n - done, cmp_.size());
        fill_stream(c->id, c->rx + done, cmp_.data(), k);
        if (memcmp(cmp_.data(), d + done, k) != 0) {
            for (size_t i = 0; i < k; i++)
                if (cmp_[i] != d[done + i]) return done + i;
        }
        done += k;
    }
    return n;
}

void Worker::accept_bytes(Conn *c, size_t n) {
    uint64_t a = c->rx, b = c->rx + n;
    if (a < c->hi && !c->missing.empty()) fill_gaps(*c, a, std::min(b, c->hi));
    c->rx = b;
    if (b > c->hi) {
        uint64_t grown = b - c->hi;
        c->hi = b;
        if (measuring_ && !past_end_) {
            if (c->role == Role::Stream && g_opt.mode == Mode::Ping) result.hog_bytes += grown;
            else result.rx_bytes += grown;
        }
        progress(c);
    }
}

// Feeds received bytes through the checker: verified bytes advance the
// stream; on the first byte that differs, the bytes are held until two
// consecutive words decode to one stream, and what they decode to names the
// fault.
void Worker::receive(Conn *c, const uint8_t *d, size_t n) {
    std::string hold;
    for (;;) {
        if (c->sync) {
            size_t ok = match(c, d, n);
            if (ok > 0) accept_bytes(c, ok);
            if (ok == n) return;
            d += ok;
            n -= ok;
            c->sync = false;
            c->foreign = false;
        }
        c->carry.append(reinterpret_cast<const char *>(d), n);
        const uint8_t *s = reinterpret_cast<const uint8_t *>(c->carry.data());
        size_t len = c->carry.size(), pos = 0;
        bool found = false;
        uint64_t off = 0;
        while (len - pos >= 16) {
            uint64_t v1 = unmix(load_word(s + pos)), v2 = unmix(load_word(s + pos + 8));
            if ((v1 >> 52) != g_tag || (v2 >> 52) != g_tag || ((v1 ^ v2) >> 32) != 0 ||
                uint32_t(v2) != uint32_t(v1) + 1) {
                pos++;
                continue;
            }
            uint32_t id = uint32_t(v1 >> 32) & kIdMask;
            if (id != (c->id & kIdMask)) {
                if (!c->foreign) result.ctr.mixup++;
                c->foreign = true;
                pos += 8;
                continue;
            }
            // Unwrap the 32-bit word index to the one nearest where we are.
            uint64_t base = c->rx >> 3;
            uint64_t k = (base & ~0xFFFFFFFFULL) | uint32_t(v1);
            if (k > base + 0x80000000ULL && k >= 0x100000000ULL) k -= 0x100000000ULL;
            else if (k + 0x80000000ULL < base) k += 0x100000000ULL;
            off = k << 3;
            // A piece rarely starts on a word boundary: the bytes just before
            // the first whole word may be ours too, so extend it backwards.
            uint8_t before[15];
            size_t most = size_t(std::min<uint64_t>({pos, sizeof before, off}));
            fill_stream(c->id, off - most, before, most);
            size_t back = 0;
            while (back < most && s[pos - 1 - back] == before[most - 1 - back]) back++;
            pos -= back;
            off -= back;
            found = true;
            break;
        }
        if (!found) {
            // Keep only what a later word might still complete.
            if (len > 15) {
                c->carry.erase(0, len - 15);
                c->skipped += len - 15;
            }
            return;
        }
        uint64_t unplaced = c->skipped + pos;  // bytes before our piece
        if (off == c->rx + unplaced) {
            // Our stream resumes where it should: the skipped bytes were
            // overwritten in place (counted already if they were foreign).
            if (!c->foreign) result.ctr.corrupt++;
            if (off > c->hi) {
                c->rx = c->hi;
                accept_bytes(c, size_t(off - c->hi));
            }
        } else {
            if (c->foreign && off == c->rx) {
                // Another connection's bytes were inserted; ours carry on.
            } else if (off > c->hi) {
                c->missing.emplace_back(c->hi, off);
            } else if (off < c->hi) {
                if (in_gap(*c, off)) result.ctr.reorder++;
                else result.ctr.dup++;
            }
            // Bytes too few to hold a whole word were slipped in ahead of
            // the piece: old bytes of ours again, or bytes from nowhere.
            if (unplaced > 0 && !c->foreign) {
                if (c->skipped == 0 && pos >= 4 && seen_before(c, s, pos)) result.ctr.dup++;
                else result.ctr.corrupt++;
            }
        }
        c->rx = off;
        c->sync = true;
        c->foreign = false;
        c->skipped = 0;
        hold.assign(c->carry, pos, std::string::npos);
        c->carry.clear();
        d = reinterpret_cast<const uint8_t *>(hold.data());
        n = hold.size();
        if (n == 0) return;
    }
}

// Whether bytes[0, n) occur in the last megabyte this connection received.
bool Worker::seen_before(const Conn *c, const uint8_t *bytes, size_t n) {
    n = std::min<size_t>(n, 16);
    uint64_t from = c->hi > (1u << 20) ? c->hi - (1u << 20) : 0;
    const size_t chunk = cmp_.size() - 16;
    for (uint64_t at = from; at < c->hi; at += chunk) {
        size_t len = size_t(std::min<uint64_t>(cmp_.size(), c->hi - at));
        fill_stream(c->id, at, cmp_.data(), len);
        if (len >= n && memmem(cmp_.data(), len, bytes, n)) return true;
    }
    return false;
}

void Worker::progress(Conn *c) {
    int64_t t = 0;
    while (!c->inflight.empty() && c->inflight.front().end <= c->hi) {
        if (t == 0) t = now_ns();
        Pending p = c->inflight.front();
        c->inflight.pop_front();
        // Messages due before the end keep their latency even when they
        // come back while draining: dropping them would hide the tail.
        if (c->role == Role::Ping && measuring_ && p.sched < t_end_) {
            result.lat.add(t - p.sched);
            if (!past_end_) result.msgs++;
        }
        if (c->role == Role::Rate) {
            if (t < t_end_) {
                result.lat.add(t - c->t_start);
                result.done_conns++;
            }
            close_conn(c);
            return;
        }
    }
    if (c->role == Role::Ping && g_opt.rate <= 0 && sending_ && c->inflight.empty()) send_msg(c, now_ns());
    if (c->role == Role::Stream && sending_) flush(c);
}

void Worker::read_some(Conn *c) {
    for (int round = 0; round < 4 && c->fd >= 0; round++) {
        ssize_t r = conn_recv(c, scratch_.data(), scratch_.size());
        if (r > 0) {
            if (g_opt.oneway && c->role == Role::Stream) {
                // Nothing should come back from a discarding target.
                result.ctr.unexpected += uint64_t(r);
                continue;
            }
            receive(c, scratch_.data(), size_t(r));
            if (size_t(r) < scratch_.size()) return;
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) complain("recv on connection %u: %s\n", c->id, strerror(errno));
        result.ctr.closed_early++;
        finish_conn(c);
        return;
    }
}

// Tallies what never came back and closes the connection.
void Worker::finish_conn(Conn *c) {
    if (!c->carry.empty() && !c->foreign) result.ctr.corrupt++;
    c->carry.clear();
    if (!c->missing.empty()) {
        result.ctr.loss += c->missing.size();
        result.ctr.lost_bytes += gap_bytes(*c);
        c->missing.clear();
    }
    if (!(g_opt.oneway && c->role == Role::Stream) && c->sent > c->hi) {
        result.ctr.loss++;
        result.ctr.lost_bytes += c->sent - c->hi;
        c->hi = c->sent;
    }
    c->inflight.clear();
    close_conn(c);
}

void Worker::on_event(Conn *c, uint32_t ev) {
    if (c->fd < 0) return;
    if (!c->connected) {
        if (c->tls || (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) on_connected(c);
        return;
    }
    if (c->role == Role::NoRead) {
        if (ev & (EPOLLERR | EPOLLHUP)) cut(c);
        else if (ev & EPOLLOUT) flush(c);
        return;
    }
    if (ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) read_some(c);
    if (c->fd >= 0 && (ev & EPOLLOUT)) flush(c);
}

// epoll_pwait2 waits to the nanosecond but came with Linux 5.11; where the
// kernel (or an emulator, or a seccomp filter) lacks it, epoll_wait waits
// the same time rounded up to whole milliseconds.
std::atomic<bool> g_have_pwait2{true};

void Worker::poll_once(int64_t until) {
    epoll_event evs[256];
    int64_t wait = std::max<int64_t>(0, until - now_ns());
    int n = -1;
    if (g_have_pwait2.load(std::memory_order_relaxed)) {
        timespec ts{time_t(wait / 1000000000), long(wait % 1000000000)};
        n = epoll_pwait2(ep_, evs, 256, &ts, nullptr);
        if (n < 0 && (errno == ENOSYS || errno == EPERM)) g_have_pwait2.store(false, std::memory_order_relaxed);
    }
    if (!g_have_pwait2.load(std::memory_order_relaxed))
        n = epoll_wait(ep_, evs, 256, int(std::min<int64_t>((wait + 999999) / 1000000, 1000000)));
    for (int i = 0; i < n; i++) on_event(static_cast<Conn *>(evs[i].data.ptr), evs[i].events);
}

bool Worker::connect_all(int64_t deadline) {
    for (;;) {
        bool pending = false;
        for (auto &c : conns_)
            if (c->fd >= 0 && !c->connected) pending = true;
        if (!pending) return true;
        if (now_ns() >= deadline) {
            for (auto &c : conns_)
                if (c->fd >= 0 && !c->connected) {
                    result.ctr.connect_failed++;
                    close_conn(c.get());
                }
            complain("connections not established within %.1f s\n", g_opt.connect_timeout);
            return false;
        }
        poll_once(std::min(deadline, now_ns() + 100000000));
    }
}

bool Worker::all_answered() const {
    for (auto &c : conns_) {
        if (c->fd < 0) continue;
        if (g_opt.oneway && c->role == Role::Stream) continue;
        if (c->hi < c->sent || !c->carry.empty() || !c->missing.empty()) return false;
    }
    return true;
}

void Worker::run(StartBarrier &start, std::barrier<> &ready) {
    switch (g_opt.mode) {
    case Mode::Stream:
    case Mode::Ping: run_stream_ping(start); break;
    case Mode::Idle: run_idle(start, ready); break;
    case Mode::Rate: run_rate(start); break;
    case Mode::NoRead: run_noread(start); break;
    }
}

void Worker::run_stream_ping(StartBarrier &start) {
    Role main_role = g_opt.mode == Mode::Stream ? Role::Stream : Role::Ping;
    for (int i = 0; i < npingers_; i++) open_conn(main_role);
    for (int i = 0; i < nhogs_; i++) open_conn(Role::Stream);
    connect_all(now_ns() + int64_t(g_opt.connect_timeout * 1e9));
    start.arrive_and_wait();

    int64_t t0 = g_t0.load();
    t_end_ = t0 + int64_t(g_opt.duration * 1e9);
    measuring_ = sending_ = true;
    std::vector<Conn *> pingers;
    for (auto &c : conns_) {
        if (c->fd < 0) continue;
        if (c->role == Role::Stream) {
            c->tx_end = UINT64_MAX;
            flush(c.get());
        } else {
            pingers.push_back(c.get());
        }
    }
    // Open loop: message j of this worker is due at t0 + j / rate, whatever
    // has come back, so time spent queueing shows in the latency.
    double share = npingers_ > 0 ? double(npingers_) / double(g_opt.conns) : 0;
    double period = g_opt.rate > 0 && share > 0 ? 1e9 / (g_opt.rate * share) : 0;
    uint64_t j = 0;
    if (period == 0)
        for (Conn *c : pingers) send_msg(c, now_ns());
    for (;;) {
        int64_t t = now_ns();
        if (t >= t_end_) break;
        int64_t until = t_end_;
        if (period > 0 && !pingers.empty()) {
            int64_t due;
            while ((due = t0 + int64_t(double(j) * period)) <= t && due < t_end_) {
                Conn *c = pingers[j % pingers.size()];
                if (c->fd >= 0) send_msg(c, due);
                j++;
            }
            until = std::min(until, due);
        }
        poll_once(until);
    }
    sending_ = false;
    past_end_ = true;
    for (auto &c : conns_)
        if (c->role == Role::Stream && c->fd >= 0) c->tx_end = c->sent;
    int64_t drain_end = now_ns() + int64_t(g_opt.drain * 1e9);
    while (!all_answered() && now_ns() < drain_end) poll_once(std::min(drain_end, now_ns() + 50000000));
    measuring_ = false;
    for (auto &c : conns_)
        if (c->fd >= 0) finish_conn(c.get());
}

void Worker::run_idle(StartBarrier &start, std::barrier<> &ready) {
    // Establish in bounded batches so the target's listen queue is not the
    // thing being measured, then echo once on each.
    int64_t t_begin = now_ns();
    int64_t deadline = t_begin + int64_t(g_opt.connect_timeout * 1e9);
    int opened = 0;
    const int kBatch = 256;
    for (;;) {
        int busy = 0;
        for (auto &c : conns_)
            if (c->fd >= 0 && (!c->connected || c->hi < c->sent)) busy++;
        while (busy < kBatch && opened < npingers_) {
            if (open_conn(Role::Idle)) busy++;
            opened++;
        }
        if (busy == 0 && opened >= npingers_) break;
        if (now_ns() >= deadline) {
            complain("idle connections not ready within %.1f s\n", g_opt.connect_timeout);
            for (auto &c : conns_)
                if (c->fd >= 0 && (!c->connected || c->hi < c->sent)) finish_conn(c.get());
            break;
        }
        poll_once(std::min(deadline, now_ns() + 100000000));
    }
    result.ready_ns = now_ns() - t_begin;
    for (auto &c : conns_)
        if (c->fd >= 0) result.ready_conns++;
    ready.arrive_and_wait();  // the main thread announces "ready" here
    start.arrive_and_wait();
    // Hold: anything arriving now is a fault (the checker will say which),
    // and a connection the target drops counts as closed early.
    int64_t hold_end = g_t0.load() + int64_t(g_opt.duration * 1e9);
    while (now_ns() < hold_end) poll_once(hold_end);
    // A second echo on every connection proves each is still relayed.
    for (auto &c : conns_)
        if (c->fd >= 0) send_msg(c.get(), now_ns());
    int64_t drain_end = now_ns() + int64_t(std::max(g_opt.drain, 1.0) * 1e9);
    while (!all_answered() && now_ns() < drain_end) poll_once(std::min(drain_end, now_ns() + 50000000));
    for (auto &c : conns_)
        if (c->fd >= 0) {
            result.msgs += c->inflight.empty() ? 1 : 0;
            finish_conn(c.get());
        }
}

void Worker::run_rate(StartBarrier &start) {
    start.arrive_and_wait();
    t_end_ = g_t0.load() + int64_t(g_opt.duration * 1e9);
    measuring_ = sending_ = true;
    std::vector<Conn *> slots(size_t(npingers_), nullptr);
    uint64_t failures_in_row = 0;
    for (;;) {
        int64_t t = now_ns();
        bool running = t < t_end_;
        bool any = false;
        for (auto &s : slots) {
            if (s && s->fd >= 0) {
                // A connection that takes longer than the drain time to
                // complete its echo is abandoned and counted.
                if (t - s->t_start > int64_t(g_opt.drain * 1e9)) {
                    result.ctr.unanswered++;
                    s->sent = s->hi;  // counted once, as unanswered
                    finish_conn(s);
                } else {
                    any = true;
                    continue;
                }
            }
            s = nullptr;
            if (!running) continue;
            uint64_t before = result.ctr.connect_failed;
            s = open_conn(Role::Rate);
            if (result.ctr.connect_failed > before) {
                // Do not spin on a target that refuses everything.
                if (++failures_in_row > 100) running = false;
            } else {
                failures_in_row = 0;
            }
            if (s) any = true;
        }
        // Finished connections are closed; forget them so memory stays flat.
        if (conns_.size() > 4 * slots.size() + 64) {
            std::erase_if(conns_, [](const std::unique_ptr<Conn> &c) { return c->fd < 0; });
        }
        if (!running && !any) break;
        if (!running && t > t_end_ + int64_t(g_opt.drain * 1e9)) break;
        poll_once(std::min(running ? t_end_ : t + 50000000, t + 50000000));
    }
    measuring_ = false;
    for (auto &c : conns_)
        if (c->fd >= 0) finish_conn(c.get());
}

// The target closed a connection that does not read: what it is expected
// to do; not an error.
void Worker::cut(Conn *c) {
    if (sending_) result.cut_conns++;
    close_conn(c);
}

void Worker::run_noread(StartBarrier &start) {
    for (int i = 0; i < npingers_; i++) open_conn(Role::NoRead);
    connect_all(now_ns() + int64_t(g_opt.connect_timeout * 1e9));
    start.arrive_and_wait();
    t_end_ = g_t0.load() + int64_t(g_opt.duration * 1e9);
    measuring_ = sending_ = true;
    for (auto &c : conns_)
        if (c->fd >= 0) {
            c->tx_end = UINT64_MAX;
            flush(c.get());
        }
    while (now_ns() < t_end_) {
        poll_once(std::min(t_end_, now_ns() + 100000000));
        // Every connection the target closed is replaced by a new one.
        std::erase_if(conns_, [](const std::unique_ptr<Conn> &c) { return c->fd < 0; });
        for (size_t n = conns_.size(); n < size_t(npingers_) && now_ns() < t_end_; n++)
            if (!open_conn(Role::NoRead)) break;
    }
    sending_ = measuring_ = false;
    for (auto &c : conns_) close_conn(c.get());
}

// ---------------------------------------------------------------- main

void usage(FILE *to) {
    fprintf(to,
            "Usage: loadgen --target HOST:PORT --mode MODE [options]\n"
            "Drives an echo service and checks every byte that comes back.\n"
            "\n"
            "Modes:\n"
            "  stream    N connections send flat out (--oneway: the target\n"
            "            discards, nothing may come back); reports MB/s\n"
            "  ping      N connections exchange messages: closed loop, or with\n"
            "            --rate an open loop whose latency counts from each\n"
            "            message's scheduled send time; reports p50..p99.9\n"
            "  idle      N connections held open after one echo; prints\n"
            "            \"ready N\" once all are up, holds for --duration,\n"
            "            then echoes once more on each\n"
            "  connrate  N concurrent loops of connect, one echo, close\n"
            "  noread    N connections send --size pieces flat out and never\n"
            "            read; each one the target closes is replaced; reports\n"
            "            how many it closed (nothing is checked)\n"
            "\n"
            "Options:\n"
            "  -t, --target HOST:PORT   IPv4 address and port of the target\n"
            "  -m, --mode MODE          stream, ping, idle, connrate or noread\n"
            "                           (default ping)\n"
            "  -c, --conns N            connections (default 1)\n"
            "  -d, --duration SEC       measured time, or hold time in idle (default 5)\n"
            "  -s, --size BYTES         message size, or write size in stream (default 64)\n"
            "  -r, --rate MSG/S         open-loop rate over all connections (ping)\n"
            "      --hogs N             ping: N more connections streaming flat out\n"
            "      --oneway             stream: send only\n"
            "      --window BYTES       stream: most unechoed bytes per connection\n"
            "                           (default 4194304)\n"
            "  -T, --threads N          worker threads (default 1)\n"
            "      --sources N          bind to 127.0.0.1 .. 127.0.0.N in turn\n"
            "      --drain SEC          wait for outstanding echoes (default 3)\n"
            "      --connect-timeout SEC  (default 10)\n"
            "      --seed N             tag of this run's byte streams\n"
            "      --tls                TLS 1.3 (the server's certificate is not\n"
            "                           checked); not in noread mode\n"
            "      --json               one JSON object on standard output\n"
            "  -h, --help               this text\n"
            "\n"
            "Exit status: 0 when every byte came back intact, 1 on any loss,\n"
            "duplication, reordering, mix-up, corruption, early close, failed\n"
            "connect or missing echo, 2 on a usage error.\n");
}

bool parse_target(const std::string &text, sockaddr_in &out) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.empty() || host == "localhost") host = "127.0.0.1";
    char *end = nullptr;
    long p = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 1 || p > 65535) return false;
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(uint16_t(p));
    return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

bool parse_number(const char *s, double lo, double hi, double &out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(s, &end);
    if (!*s || *end || errno || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

int parse_args(int argc, char **argv) {
    bool have_target = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](double lo, double hi, double &out) {
            if (i + 1 >= argc || !parse_number(argv[i + 1], lo, hi, out)) {
                fprintf(stderr, "loadgen: %s wants a number between %g and %g\n", a.c_str(), lo, hi);
                return false;
            }
            i++;
            return true;
        };
        double v = 0;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-t" || a == "--target") {
            if (i + 1 >= argc || !parse_target(argv[i + 1], g_opt.target)) {
                fprintf(stderr, "loadgen: --target wants IPv4:PORT\n");
                return 2;
            }
            g_opt.target_text = argv[++i];
            have_target = true;
        } else if (a == "-m" || a == "--mode") {
            std::string m = i + 1 < argc ? argv[++i] : "";
            if (m == "stream") g_opt.mode = Mode::Stream;
            else if (m == "ping") g_opt.mode = Mode::Ping;
            else if (m == "idle") g_opt.mode = Mode::Idle;
            else if (m == "connrate") g_opt.mode = Mode::Rate;
            else if (m == "noread") g_opt.mode = Mode::NoRead;
            else {
                fprintf(stderr, "loadgen: unknown mode \"%s\"\n", m.c_str());
                return 2;
            }
        } else if (a == "-c" || a == "--conns") {
            if (!value(1, 1000000, v)) return 2;
            g_opt.conns = int(v);
        } else if (a == "--hogs") {
            if (!value(0, 1000, v)) return 2;
            g_opt.hogs = int(v);
        } else if (a == "-d" || a == "--duration") {
            if (!value(0.01, 86400, v)) return 2;
            g_opt.duration = v;
        } else if (a == "-s" || a == "--size") {
            if (!value(1, 16 << 20, v)) return 2;
            g_opt.size = size_t(v);
        } else if (a == "-r" || a == "--rate") {
            if (!value(0, 1e9, v)) return 2;
            g_opt.rate = v;
        } else if (a == "--oneway") {
            g_opt.oneway = true;
        } else if (a == "--window") {
            if (!value(1, double(1ULL << 40), v)) return 2;
            g_opt.window = size_t(v);
        } else if (a == "-T" || a == "--threads") {
            if (!value(1, 256, v)) return 2;
            g_opt.threads = int(v);
        } else if (a == "--sources") {
            if (!value(1, 250, v)) return 2;
            g_opt.sources = int(v);
        } else if (a == "--drain") {
            if (!value(0, 3600, v)) return 2;
            g_opt.drain = v;
        } else if (a == "--connect-timeout") {
            if (!value(0.01, 3600, v)) return 2;
            g_opt.connect_timeout = v;
        } else if (a == "--seed") {
            if (!value(0, 4095, v)) return 2;
            g_opt.seed = unsigned(v);
        } else if (a == "--json") {
            g_opt.json = true;
        } else if (a == "--tls") {
            g_opt.tls = true;
        } else {
            fprintf(stderr, "loadgen: unknown argument \"%s\"\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (!have_target) {
        fprintf(stderr, "loadgen: --target is required\n");
        usage(stderr);
        return 2;
    }
    if (g_opt.oneway && g_opt.mode != Mode::Stream) {
        fprintf(stderr, "loadgen: --oneway applies to stream mode only\n");
        return 2;
    }
    if (g_opt.tls && g_opt.mode == Mode::NoRead) {
        fprintf(stderr, "loadgen: --tls does not apply to noread mode\n");
        return 2;
    }
    if (g_opt.hogs > 0 && g_opt.mode != Mode::Ping) {
        fprintf(stderr, "loadgen: --hogs applies to ping mode only\n");
        return 2;
    }
    if (g_opt.threads > g_opt.conns + (g_opt.hogs > 0 ? 1 : 0)) g_opt.threads = g_opt.conns + (g_opt.hogs > 0 ? 1 : 0);
    return -1;
}

void raise_fd_limit(int want) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    rlim_t need = rlim_t(want);
    if (rl.rlim_cur >= need) return;
    if (rl.rlim_max < need) {
        rlimit up{need, need};
        if (setrlimit(RLIMIT_NOFILE, &up) == 0) return;
    }
    rl.rlim_cur = std::min(rl.rlim_max, need);
    setrlimit(RLIMIT_NOFILE, &rl);
}

const char *mode_name(Mode m) {
    switch (m) {
    case Mode::Stream: return "stream";
    case Mode::Ping: return "ping";
    case Mode::Idle: return "idle";
    case Mode::Rate: return "connrate";
    case Mode::NoRead: return "noread";
    }
    return "?";
}

void report(const Result &r, double secs, double cpu) {
    const Counters &e = r.ctr;
    double mb = 1e6;
    double rx_rate = secs > 0 ? double(r.rx_bytes) / secs : 0;
    double tx_rate = secs > 0 ? double(r.tx_bytes) / secs : 0;
    double msg_rate = secs > 0 ? double(r.msgs) / secs : 0;
    double conn_rate = secs > 0 ? double(r.done_conns) / secs : 0;
    double hog_rate = secs > 0 ? double(r.hog_bytes) / secs : 0;
    auto us = [&](double p) { return double(r.lat.percentile(p)) / 1e3; };
    bool ok = e.errors() == 0;
    if (g_opt.json) {
        printf(
            "{\"mode\":\"%s\",\"target\":\"%s\",\"conns\":%d,\"hogs\":%d,\"size\":%zu,"
            "\"rate\":%.0f,\"oneway\":%s,\"seconds\":%.3f,"
            "\"rx_bytes\":%llu,\"tx_bytes\":%llu,\"rx_mb_s\":%.3f,\"tx_mb_s\":%.3f,"
            "\"msgs\":%llu,\"msg_rate\":%.1f,\"hog_mb_s\":%.3f,"
            "\"conns_done\":%llu,\"conn_rate\":%.1f,\"ready_s\":%.3f,\"cut\":%llu,"
            "\"lat_us\":{\"count\":%llu,\"mean\":%.1f,\"p50\":%.1f,\"p90\":%.1f,"
            "\"p99\":%.1f,\"p999\":%.1f,\"max\":%.1f},"
            "\"errors\":{\"loss\":%llu,\"lost_bytes\":%llu,\"dup\":%llu,\"reorder\":%llu,"
            "\"mixup\":%llu,\"corrupt\":%llu,\"unexpected\":%llu,\"closed_early\":%llu,\"connect_failed\":%llu,"
            "\"unanswered\":%llu},\"mismatches\":%llu,\"cpu_s\":%.3f,\"ok\":%s}\n",
            mode_name(g_opt.mode), g_opt.target_text.c_str(), g_opt.conns, g_opt.hogs, g_opt.size, g_opt.rate,
            g_opt.oneway ? "true" : "false", secs, (unsigned long long)r.rx_bytes, (unsigned long long)r.tx_bytes,
            rx_rate / mb, tx_rate / mb, (unsigned long long)r.msgs, msg_rate, hog_rate / mb,
            (unsigned long long)r.done_conns, conn_rate, double(r.ready_ns) / 1e9, (unsigned long long)r.cut_conns,
            (unsigned long long)r.lat.count(), r.lat.mean() / 1e3, us(50), us(90), us(99), us(99.9),
            double(r.lat.max()) / 1e3, (unsigned long long)e.loss, (unsigned long long)e.lost_bytes,
            (unsigned long long)e.dup, (unsigned long long)e.reorder, (unsigned long long)e.mixup,
            (unsigned long long)e.corrupt, (unsigned long long)e.unexpected, (unsigned long long)e.closed_early,
            (unsigned long long)e.connect_failed, (unsigned long long)e.unanswered, (unsigned long long)e.mismatches(),
            cpu, ok ? "true" : "false");
    } else {
        printf("mode %s, target %s, %d connections, %zu-byte messages, %.2f s\n", mode_name(g_opt.mode),
               g_opt.target_text.c_str(), g_opt.conns, g_opt.size, secs);
        if (g_opt.mode == Mode::Stream) printf("  sent %.1f MB/s, echoed %.1f MB/s\n", tx_rate / mb, rx_rate / mb);
        if (g_opt.mode == Mode::Ping) {
            printf("  %.0f messages/s, %.1f MB/s echoed\n", msg_rate, rx_rate / mb);
            if (g_opt.hogs) printf("  streaming connections: %.1f MB/s\n", hog_rate / mb);
        }
        if (g_opt.mode == Mode::Rate) printf("  %.0f connections/s\n", conn_rate);
        if (g_opt.mode == Mode::NoRead)
            printf("  sent %.1f MB/s; %llu connections closed by the target\n", tx_rate / mb,
                   (unsigned long long)r.cut_conns);
        if (g_opt.mode == Mode::Idle)
            printf("  %llu connections ready in %.2f s, %llu answered after the hold\n",
                   (unsigned long long)r.ready_conns, double(r.ready_ns) / 1e9, (unsigned long long)r.msgs);
        if (r.lat.count())
            printf("  latency us: p50 %.1f  p90 %.1f  p99 %.1f  p99.9 %.1f  max %.1f  (%llu samples)\n", us(50), us(90),
                   us(99), us(99.9), double(r.lat.max()) / 1e3, (unsigned long long)r.lat.count());
        printf(
            "  mismatches %llu (loss %llu / %llu bytes, duplication %llu, reordering %llu, "
            "mix-up %llu, corruption %llu, unexpected %llu); closed early %llu, "
            "connect failed %llu, unanswered %llu\n",
            (unsigned long long)e.mismatches(), (unsigned long long)e.loss, (unsigned long long)e.lost_bytes,
            (unsigned long long)e.dup, (unsigned long long)e.reorder, (unsigned long long)e.mixup,
            (unsigned long long)e.corrupt, (unsigned long long)e.unexpected, (unsigned long long)e.closed_early,
            (unsigned long long)e.connect_failed, (unsigned long long)e.unanswered);
        printf("  loadgen cpu %.2f s\n", cpu);
        printf("%s\n", ok ? "PASS" : "FAIL");
    }
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    int rc = parse_args(argc, argv);
    if (rc >= 0) return rc;
    g_tag = g_opt.seed & 0xFFF;
    signal(SIGPIPE, SIG_IGN);
    if (g_opt.tls && !tls_init()) {
        fprintf(stderr, "loadgen: cannot set up TLS: %s\n", tls_error_text());
        return 1;
    }
    raise_fd_limit(g_opt.conns + g_opt.hogs + 256);

    int nthreads = g_opt.threads;
    std::vector<std::unique_ptr<Worker>> workers;
    // With several threads the hogs get one to themselves, so that what the
    // pingers see is the target's fairness and not this process's.
    int ping_threads = g_opt.hogs > 0 && nthreads > 1 ? nthreads - 1 : nthreads;
    for (int t = 0; t < nthreads; t++) {
        int np = t < ping_threads ? g_opt.conns / ping_threads + (t < g_opt.conns % ping_threads ? 1 : 0) : 0;
        int nh = ping_threads == nthreads ? g_opt.hogs / nthreads + (t < g_opt.hogs % nthreads ? 1 : 0)
                                          : (t == nthreads - 1 ? g_opt.hogs : 0);
        // Ids interleave across workers so each connection's id is unique.
        workers.push_back(std::make_unique<Worker>(np, nh, uint32_t(t + 1), uint32_t(nthreads)));
        if (!workers.back()->init()) {
            fprintf(stderr, "loadgen: epoll_create1: %s\n", strerror(errno));
            return 1;
        }
    }

    double cpu0 = cpu_seconds();
    std::barrier<> ready(nthreads + 1);
    StartBarrier start(nthreads + 1);
    std::vector<std::thread> threads;
    for (auto &w : workers) threads.emplace_back([&w, &start, &ready] { w->run(start, ready); });
    if (g_opt.mode == Mode::Idle) {
        ready.arrive_and_wait();
        uint64_t up = 0;
        for (auto &w : workers) up += w->result.ready_conns;
        // Scripts sample the target's memory once they see this line.
        printf("ready %llu\n", (unsigned long long)up);
        fflush(stdout);
    }
    start.arrive_and_wait();
    for (auto &t : threads) t.join();
    double secs = g_opt.duration;

    Result total;
    for (auto &w : workers) {
        total.ctr.merge(w->result.ctr);
        total.lat.merge(w->result.lat);
        total.rx_bytes += w->result.rx_bytes;
        total.tx_bytes += w->result.tx_bytes;
        total.msgs += w->result.msgs;
        total.hog_bytes += w->result.hog_bytes;
        total.done_conns += w->result.done_conns;
        total.peak_conns += w->result.peak_conns;
        total.ready_conns += w->result.ready_conns;
        total.cut_conns += w->result.cut_conns;
        total.ready_ns = std::max(total.ready_ns, w->result.ready_ns);
    }
    report(total, secs, cpu_seconds() - cpu0);
    return total.ctr.errors() == 0 ? 0 : 1;
}
