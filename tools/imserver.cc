// imserver: a small reference IM server that speaks the server side of the
// multiplexor's record protocol (version 3.0).
//
// It answers the multiplexor's 3-byte hello, keeps track of the connection
// numbers opened on each link, and in
//   echo mode sends every data record back to the connection it came from;
//   chat mode collects each connection's bytes into lines and sends every
//             complete line to all connections open at that moment (on every
//             link, the sender included);
//   discard mode takes the data records and sends nothing back (the one-way
//             benchmark).
// It is what the demo, the integration tests and the benchmarks run behind
// the multiplexor. Single-threaded, plain POSIX with epoll; nothing here
// blocks, so one slow link cannot stall the others.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

enum : uint8_t { REC_OPEN = 1, REC_CLOSE = 2, REC_DATA = 3, REC_HELLO = 4, REC_BYE = 5 };

// A line longer than this is passed on in chat mode without waiting for its
// end, so that a client without newlines cannot make the server grow forever.
constexpr size_t kMaxLine = size_t{64} << 10;

struct Options {
    std::string listen_addr = "127.0.0.1";
    int port = 9999;
    enum { ECHO, CHAT, DISCARD } mode = ECHO;
    std::string port_file;
    uint8_t reply[3] = {REC_HELLO, 3, 0};
    bool verbose = false;
};

struct Link;

struct Session {
    Link *link;
    int32_t id;
    std::string line;  // chat mode: bytes of the unfinished line
};

struct Link {
    int fd = -1;
    bool hello_done = false;
    size_t hello_got = 0;
    // Record parser state: the current header is gathered in hdr until it is
    // complete; then `left` data bytes of record `id` follow.
    uint8_t hdr[9];
    size_t hdr_got = 0;
    uint32_t left = 0;
    bool in_data = false;
    // Bytes not yet written to the multiplexor: out[out_off..]. The front is
    // dropped only when the buffer runs dry or the sent part outgrows the
    // rest, so a deep backlog is not moved after every send.
    std::string out;
    size_t out_off = 0;
    bool want_write = false;
    std::map<int32_t, Session> sessions;
};

volatile sig_atomic_t g_stop = 0;
Options g_opt;
int g_epoll = -1;
std::map<int, std::unique_ptr<Link>> g_links;

void on_signal(int) { g_stop = 1; }

void usage(FILE *to) {
    fprintf(to,
            "Usage: imserver [options]\n"
            "Reference IM server for the multiplexor's record protocol.\n"
            "\n"
            "Options:\n"
            "  --mode echo|chat|discard  echo: every data record goes back to\n"
            "                    its connection (default); chat: every complete\n"
            "                    line of a client goes to all connected clients;\n"
            "                    discard: data is taken and nothing comes back\n"
            "  --listen ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
            "  --port N          port to listen on, 0 for any free port\n"
            "                    (default 9999)\n"
            "  --port-file PATH  write the port actually bound to PATH\n"
            "  --reply HHHHHH    the 3-byte hello reply in hex (default 040300)\n"
            "  --verbose         report links and sessions on standard error\n"
            "  --help            show this text\n"
            "\n"
            "The bound address is printed on standard output as\n"
            "\"imserver listening on ADDR:PORT\". SIGTERM or SIGINT stop it.\n");
}

void log_v(const char *fmt, const char *a, long b) {
    if (g_opt.verbose) {
        fprintf(stderr, fmt, a, b);
        fputc('\n', stderr);
    }
}

uint32_t get32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Write interest is added as soon as bytes wait, but dropped only when a
// writable report finds nothing left (drop_idle): a link that keeps backing
// up then costs no epoll_ctl per send.
void update_events(Link *l, bool drop_idle = false) {
    bool want = l->out.size() > l->out_off;
    if (want == l->want_write || (!want && !drop_idle)) return;
    l->want_write = want;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? uint32_t(EPOLLOUT) : 0u);
    ev.data.fd = l->fd;
    epoll_ctl(g_epoll, EPOLL_CTL_MOD, l->fd, &ev);
}

// Echo replies of one read, sent with one sendmsg before the next read:
// the data pieces point into the read buffer, so only what the socket does
// not take at once is copied into the link's backlog.
struct EchoBatch {
    static constexpr int kMax = 256;
    Link *link = nullptr;  // the link being parsed, in echo mode
    int n = 0;
    uint8_t hdr[kMax][9];
    iovec iov[2 * kMax];
};
EchoBatch g_batch;

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Sends the gathered replies; false when the link broke.
bool flush_batch() {
    Link *l = g_batch.link;
    if (!l || g_batch.n == 0) return true;
    int cnt = 2 * g_batch.n;
    g_batch.n = 0;
    msghdr mh{};
    mh.msg_iov = g_batch.iov;
    mh.msg_iovlen = static_cast<size_t>(cnt);
    ssize_t w;
    do { w = sendmsg(l->fd, &mh, MSG_NOSIGNAL); } while (w < 0 && errno == EINTR);
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    size_t skip = w > 0 ? static_cast<size_t>(w) : 0;
    for (int i = 0; i < cnt; i++) {
        const iovec &v = g_batch.iov[i];
        if (skip >= v.iov_len) {
            skip -= v.iov_len;
            continue;
        }
        l->out.append(static_cast<const char *>(v.iov_base) + skip, v.iov_len - skip);
        skip = 0;
    }
    update_events(l);
    return true;
}

void queue_data(Link *l, int32_t id, const char *data, size_t len) {
    // Records from the server may carry any length; split only to keep each
    // record a sensible size for the multiplexor's 4096-byte reads.
    while (len > 0) {
        size_t n = len > 4087 ? 4087 : len;
        if (g_batch.link == l && g_batch.n == EchoBatch::kMax) flush_batch();
        bool batched = g_batch.link == l && l->out.size() == l->out_off;
        uint8_t copied[9];
        uint8_t *h = batched ? g_batch.hdr[g_batch.n] : copied;
        h[0] = REC_DATA;
        put32(h + 1, static_cast<uint32_t>(id));
        put32(h + 5, static_cast<uint32_t>(n));
        if (batched) {
            g_batch.iov[2 * size_t(g_batch.n)] = {h, 9};
            g_batch.iov[2 * size_t(g_batch.n) + 1] = {const_cast<char *>(data), n};
            g_batch.n++;
        } else {
            l->out.append(reinterpret_cast<const char *>(h), 9);
            l->out.append(data, n);
        }
        data += n;
        len -= n;
    }
    update_events(l);
}

void broadcast(const char *data, size_t len) {
    for (auto &[fd, link] : g_links)
        for (auto &[id, s] : link->sessions) queue_data(link.get(), id, data, len);
}

void on_data(Link *l, int32_t id, const char *data, size_t len) {
    auto it = l->sessions.find(id);
    if (it == l->sessions.end()) return;  // data for a number that is not open
    if (g_opt.mode == Options::DISCARD) return;
    if (g_opt.mode == Options::ECHO) {
        queue_data(l, id, data, len);
        return;
    }
    Session &s = it->second;
    s.line.append(data, len);
    size_t start = 0;
    for (;;) {
        size_t nl = s.line.find('\n', start);
        if (nl == std::string::npos) break;
        std::string one = s.line.substr(start, nl + 1 - start);
        start = nl + 1;
        broadcast(one.data(), one.size());
        // broadcast() may not touch s.line; sessions are not erased here.
    }
    s.line.erase(0, start);
    if (s.line.size() >= kMaxLine) {
        std::string chunk;
        chunk.swap(s.line);
        broadcast(chunk.data(), chunk.size());
    }
}

void close_link(Link *l) {
    log_v("link %s closed (fd %ld)", "", l->fd);
    epoll_ctl(g_epoll, EPOLL_CTL_DEL, l->fd, nullptr);
    close(l->fd);
    g_links.erase(l->fd);
}

// Parses what arrived from one multiplexor. Returns false when the link must
// be dropped (an invalid record type).
bool parse(Link *l, const uint8_t *p, size_t n) {
    while (n > 0) {
        if (!l->hello_done) {
            size_t take = 3 - l->hello_got;
            if (take > n) take = n;
            l->hello_got += take;
            p += take;
            n -= take;
            if (l->hello_got == 3) {
                l->hello_done = true;
                l->out.append(reinterpret_cast<const char *>(g_opt.reply), 3);
                update_events(l);
            }
            continue;
        }
        if (l->in_data) {
            size_t take = l->left < n ? l->left : n;
            int32_t id = static_cast<int32_t>(get32(l->hdr + 1));
            if (take > 0) on_data(l, id, reinterpret_cast<const char *>(p), take);
            p += take;
            n -= take;
            l->left -= static_cast<uint32_t>(take);
            if (l->left == 0) {
                l->in_data = false;
                l->hdr_got = 0;
            }
            continue;
        }
        l->hdr[l->hdr_got++] = *p++;
        n--;
        size_t need;
        switch (l->hdr[0]) {
        case REC_OPEN: need = 9; break;
        case REC_CLOSE: need = 5; break;
        case REC_DATA: need = 9; break;
        default: fprintf(stderr, "imserver: invalid record type %d, dropping link\n", l->hdr[0]); return false;
        }
        if (l->hdr_got < need) continue;
        int32_t id = static_cast<int32_t>(get32(l->hdr + 1));
        switch (l->hdr[0]) {
        case REC_OPEN:
            l->sessions[id] = Session{l, id, std::string()};
            /* The client's address, as the multiplexor tells it, and the
             * link it came on: what a test of several multiplexors checks. */
            if (g_opt.verbose)
                fprintf(stderr, "open %ld from %u.%u.%u.%u on link fd %d\n", long(id), l->hdr[5], l->hdr[6], l->hdr[7],
                        l->hdr[8], l->fd);
            l->hdr_got = 0;
            break;
        case REC_CLOSE:
            l->sessions.erase(id);
            log_v("close %s%ld", "", id);
            l->hdr_got = 0;
            break;
        case REC_DATA:
            l->left = get32(l->hdr + 5);
            l->in_data = l->left > 0;
            if (!l->in_data) l->hdr_got = 0;
            break;
        }
    }
    return true;
}

void on_writable(Link *l);

void on_readable(Link *l) {
    // 15 records of 4096: an echo of one read fits one segment of the
    // loopback's 64 KiB MTU, with no short segment trailing each send.
    static uint8_t buf[61440];
    for (int i = 0; i < 16; i++) {  // bounded, so one busy link cannot starve others
        ssize_t r = recv(l->fd, buf, sizeof buf, 0);
        if (r > 0) {
            if (g_opt.mode == Options::ECHO) g_batch.link = l;
            bool ok = parse(l, buf, static_cast<size_t>(r)) && flush_batch();
            g_batch.link = nullptr;
            g_batch.n = 0;
            if (!ok) {
                close_link(l);
                return;
            }
            // Replies leave at once rather than after the next readiness
            // report: fewer wake-ups, and the backlog stays small.
            int fd = l->fd;
            if (l->out.size() > l->out_off) on_writable(l);
            if (!g_links.count(fd)) return;
            if (static_cast<size_t>(r) < sizeof buf) return;
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (r < 0 && errno == EINTR) continue;
        close_link(l);
        return;
    }
}

void on_writable(Link *l) {
    while (l->out.size() > l->out_off) {
        ssize_t w = send(l->fd, l->out.data() + l->out_off, l->out.size() - l->out_off, MSG_NOSIGNAL);
        if (w > 0) {
            l->out_off += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        close_link(l);
        return;
    }
    if (l->out_off == l->out.size()) {
        l->out.clear();
        l->out_off = 0;
    } else if (l->out_off > l->out.size() / 2) {
        l->out.erase(0, l->out_off);
        l->out_off = 0;
    }
    update_events(l);
}

bool parse_args(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "imserver: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        } else if (a == "--mode") {
            const char *v = value("--mode");
            if (!v) return false;
            if (strcmp(v, "echo") == 0) g_opt.mode = Options::ECHO;
            else if (strcmp(v, "chat") == 0) g_opt.mode = Options::CHAT;
            else if (strcmp(v, "discard") == 0) g_opt.mode = Options::DISCARD;
            else {
                fprintf(stderr, "imserver: unknown mode \"%s\"\n", v);
                return false;
            }
        } else if (a == "--listen") {
            const char *v = value("--listen");
            if (!v) return false;
            g_opt.listen_addr = v;
        } else if (a == "--port") {
            const char *v = value("--port");
            if (!v) return false;
            char *end;
            long p = strtol(v, &end, 10);
            if (*v == 0 || *end != 0 || p < 0 || p > 65535) {
                fprintf(stderr, "imserver: bad port \"%s\"\n", v);
                return false;
            }
            g_opt.port = static_cast<int>(p);
        } else if (a == "--port-file") {
            const char *v = value("--port-file");
            if (!v) return false;
            g_opt.port_file = v;
        } else if (a == "--reply") {
            const char *v = value("--reply");
            if (!v) return false;
            unsigned b[3];
            if (strlen(v) != 6 || sscanf(v, "%2x%2x%2x", &b[0], &b[1], &b[2]) != 3) {
                fprintf(stderr, "imserver: --reply wants 6 hex digits\n");
                return false;
            }
            for (int k = 0; k < 3; k++) g_opt.reply[k] = static_cast<uint8_t>(b[k]);
        } else if (a == "--verbose") {
            g_opt.verbose = true;
        } else {
            fprintf(stderr, "imserver: unknown argument \"%s\"\n", a.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (!parse_args(argc, argv)) {
        usage(stderr);
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (lfd < 0) {
        perror("imserver: socket");
        return 1;
    }
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(g_opt.port));
    if (inet_pton(AF_INET, g_opt.listen_addr.c_str(), &sin.sin_addr) != 1) {
        fprintf(stderr, "imserver: bad listen address \"%s\"\n", g_opt.listen_addr.c_str());
        return 2;
    }
    if (bind(lfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0 || listen(lfd, 128) < 0) {
        fprintf(stderr, "imserver: cannot listen on %s:%d: %s\n", g_opt.listen_addr.c_str(), g_opt.port,
                strerror(errno));
        return 1;
    }
    socklen_t sl = sizeof sin;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &sl);
    int port = ntohs(sin.sin_port);
    if (!g_opt.port_file.empty()) {
        std::string tmp = g_opt.port_file + ".tmp";
        FILE *f = fopen(tmp.c_str(), "w");
        if (!f || fprintf(f, "%d\n", port) < 0 || fclose(f) != 0 || rename(tmp.c_str(), g_opt.port_file.c_str()) != 0) {
            fprintf(stderr, "imserver: cannot write %s\n", g_opt.port_file.c_str());
            return 1;
        }
    }
    printf("imserver listening on %s:%d (%s mode)\n", g_opt.listen_addr.c_str(), port,
           g_opt.mode == Options::CHAT      ? "chat"
           : g_opt.mode == Options::DISCARD ? "discard"
                                            : "echo");
    fflush(stdout);

    g_epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    epoll_ctl(g_epoll, EPOLL_CTL_ADD, lfd, &ev);

    std::vector<epoll_event> evs(256);
    while (!g_stop) {
        int n = epoll_wait(g_epoll, evs.data(), static_cast<int>(evs.size()), 500);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("imserver: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; i++) {
            int fd = evs[i].data.fd;
            if (fd == lfd) {
                for (;;) {
                    int c = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0) break;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    auto link = std::make_unique<Link>();
                    link->fd = c;
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    epoll_ctl(g_epoll, EPOLL_CTL_ADD, c, &cev);
                    g_links[c] = std::move(link);
                    log_v("link %s accepted (fd %ld)", "", c);
                }
                continue;
            }
            auto it = g_links.find(fd);
            if (it == g_links.end()) continue;
            Link *l = it->second.get();
            if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                on_readable(l);
                if (!g_links.count(fd)) continue;
            }
            if (evs[i].events & EPOLLOUT) {
                on_writable(l);
                if (g_links.count(fd)) update_events(l, true);
            }
        }
    }
    for (auto &[fd, link] : g_links) close(fd);
    close(lfd);
    close(g_epoll);
    return 0;
}
