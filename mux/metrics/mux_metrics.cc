/* The metrics listener. One thread per process polls the shared listening
 * socket and its few scrapers; nothing it does waits on anything but poll,
 * and its only contact with the relay is reading the counters. The
 * listener's own state is the thread's alone.
 *
 * HTTP: one request per connection, answered with "Connection: close".
 * GET or HEAD of /metrics (any query) gets the counters; another path
 * 404, another method on /metrics 405, a request that is not HTTP/1.x 400,
 * a request head over kMaxRequest bytes 431, one not complete within
 * kTimeLimitMs 408; a scraper beyond kMaxScrapers gets 503 at once. */
#include "metrics/mux_metrics.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "log/qxlogger.h"
#include "metrics/mux_counters.h"
#include "process/mux_init.h"

namespace {

constexpr int kMaxScrapers = 8;
constexpr size_t kMaxRequest = 8192;
constexpr long long kTimeLimitMs = 5000;
/* After the answer: how long the rest of a request (a body, say) is read
 * and dropped, so that closing does not reset the answer away. */
constexpr long long kLingerMs = 500;
/* Reads of one scraper per wake-up, so that one that keeps sending cannot
 * keep the thread from the others. */
constexpr int kReadsPerWakeup = 16;
/* Out of descriptors, the listener rests this long rather than find its
 * socket readable again at once, forever. */
constexpr long long kAcceptRestMs = 100;
/* Connections taken per wake-up, so that a flood of them cannot keep the
 * time limits of the others from being enforced. */
constexpr int kAcceptsPerWakeup = 64;

int listen_fd = -1;
int wake_fd = -1;
std::thread *worker = nullptr;
char where[32];

long long _now_ms(void) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

/* "[a.b.c.d:]PORT" with a dotted address and a port of 0..65535. */
bool _parse_listen(const std::string &v, in_addr *addr, int *port) {
    size_t colon = v.find(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : v.substr(0, colon);
    std::string digits = colon == std::string::npos ? v : v.substr(colon + 1);
    if (inet_pton(AF_INET, host.c_str(), addr) != 1) return false;
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = atoi(digits.c_str());
    return *port <= 65535;
}

std::string _response(int code, const char *reason, const char *type, const std::string &body, bool head,
                      const char *extra = "") {
    std::string r = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Type: " + type +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n";
    if (!head) r += body;
    return r;
}

std::string _error(int code, const char *reason, const char *extra = "") {
    return _response(code, reason, "text/plain; charset=utf-8", std::string(reason) + "\n", false, extra);
}

bool _token_char(char c) { return isalnum(static_cast<unsigned char>(c)) || (c && strchr("!#$%&'*+-.^_`|~", c)); }

/* The answer to a whole request head (request line and header lines). */
std::string _answer(const std::string &head) {
    for (char c : head)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7f)
            return _error(400, "Bad Request");
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < head.size();) {
        size_t eol = head.find('\n', pos);
        std::string line = head.substr(pos, eol - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        pos = eol == std::string::npos ? head.size() : eol + 1;
    }
    std::string req = lines.empty() ? std::string() : lines[0];
    size_t sp1 = req.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : req.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || req.find(' ', sp2 + 1) != std::string::npos) return _error(400, "Bad Request");
    std::string method = req.substr(0, sp1), target = req.substr(sp1 + 1, sp2 - sp1 - 1), version = req.substr(sp2 + 1);
    bool ok =
        !method.empty() && !target.empty() && target[0] == '/' && (version == "HTTP/1.1" || version == "HTTP/1.0");
    for (char c : method) ok = ok && _token_char(c);
    /* Header lines: a name of token characters, then ":". */
    for (size_t i = 1; ok && i < lines.size(); i++) {
        if (lines[i].empty()) continue;
        size_t colon = lines[i].find(':');
        ok = colon != std::string::npos && colon > 0;
        for (size_t k = 0; ok && k < colon; k++) ok = _token_char(lines[i][k]);
    }
    if (!ok) return _error(400, "Bad Request");
    if (target.substr(0, target.find('?')) != "/metrics") return _error(404, "Not Found");
    bool head_only = method == "HEAD";
    if (method != "GET" && !head_only) return _error(405, "Method Not Allowed", "Allow: GET, HEAD\r\n");
    return _response(200, "OK", "text/plain; version=0.0.4; charset=utf-8", mux_counters_text(), head_only);
}

/* The end of the request head in `in` (past its blank line), or 0. */
size_t _head_end(const std::string &in) {
    size_t crlf = in.find("\r\n\r\n"), lf = in.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf + 2 <= lf)) return crlf + 4;
    return lf == std::string::npos ? 0 : lf + 2;
}

struct Scraper {
    enum Phase { Reading, Writing, Draining };
    int fd;
    Phase phase;
    long long deadline;
    std::string in;
    std::string out;
    size_t sent;
};

void _close(Scraper &s) {
    close(s.fd);
    s.fd = -1;
}

/* Sends what the socket takes; once all is out, the write side is shut and
 * the rest of the request is drained for a short while. */
void _send_more(Scraper &s) {
    while (s.sent < s.out.size()) {
        ssize_t n = send(s.fd, s.out.data() + s.sent, s.out.size() - s.sent, MSG_NOSIGNAL);
        if (n > 0) {
            s.sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        _close(s);
        return;
    }
    shutdown(s.fd, SHUT_WR);
    s.phase = Scraper::Draining;
    long long linger = _now_ms() + kLingerMs;
    if (linger < s.deadline) s.deadline = linger;
}

void _respond(Scraper &s, std::string answer) {
    s.out = std::move(answer);
    s.sent = 0;
    s.phase = Scraper::Writing;
    _send_more(s);
}

void _readable(Scraper &s) {
    char buf[4096];
    for (int round = 0; round < kReadsPerWakeup; round++) {
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) {
            _close(s);
            return;
        }
        if (s.phase == Scraper::Draining) continue;
        s.in.append(buf, static_cast<size_t>(n));
        /* Blank lines before a request are skipped, as HTTP allows. */
        size_t lead = s.in.find_first_not_of("\r\n");
        s.in.erase(0, lead == std::string::npos ? s.in.size() : lead);
        if (size_t end = _head_end(s.in)) {
            _respond(s,
                     end > kMaxRequest ? _error(431, "Request Header Fields Too Large") : _answer(s.in.substr(0, end)));
            return;
        }
        if (s.in.size() > kMaxRequest) {
            _respond(s, _error(431, "Request Header Fields Too Large"));
            return;
        }
    }
}

/* False when the process is out of descriptors or memory. */
bool _accept_all(std::vector<Scraper> &scrapers) {
    for (int round = 0; round < kAcceptsPerWakeup; round++) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        /* Nothing pending (or another process took it) */
        if (fd < 0) return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        Scraper s{fd, Scraper::Reading, _now_ms() + kTimeLimitMs, {}, {}, 0};
        if (scrapers.size() >= static_cast<size_t>(kMaxScrapers)) {
            std::string busy = _error(503, "Service Unavailable");
            ssize_t w = send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
            (void)w;
            close(fd);
            continue;
        }
        scrapers.push_back(std::move(s));
    }
    return true;
}

void _serve(void) {
    std::vector<Scraper> scrapers;
    std::vector<pollfd> fds;
    long long rest_until = 0;
    for (;;) {
        long long now = _now_ms();
        int timeout = -1;
        bool resting = now < rest_until;
        if (resting) timeout = static_cast<int>(rest_until - now);
        fds.assign({{wake_fd, POLLIN, 0}, {resting ? -1 : listen_fd, POLLIN, 0}});
        for (const Scraper &s : scrapers) {
            fds.push_back({s.fd, static_cast<short>(s.phase == Scraper::Writing ? POLLOUT : POLLIN), 0});
            long long left = s.deadline > now ? s.deadline - now : 0;
            if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
        }
        if ((poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) || fds[0].revents) break;
        now = _now_ms();
        for (size_t i = 0; i < scrapers.size(); i++) {
            Scraper &s = scrapers[i];
            short ev = fds[i + 2].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR)) {
                if (s.phase == Scraper::Writing) _send_more(s);
                else _readable(s);
            } else if (ev & POLLOUT) {
                _send_more(s);
            }
            if (s.fd >= 0 && now >= s.deadline) {
                if (s.phase == Scraper::Reading) {
                    std::string late = _error(408, "Request Timeout");
                    ssize_t w = send(s.fd, late.data(), late.size(), MSG_NOSIGNAL);
                    (void)w;
                }
                _close(s);
            }
        }
        std::erase_if(scrapers, [](const Scraper &s) { return s.fd < 0; });
        if ((fds[1].revents & POLLIN) && !_accept_all(scrapers)) rest_until = now + kAcceptRestMs;
    }
    for (Scraper &s : scrapers) _close(s);
}

/* The listener's setting as the start read it. */
std::string running_setting;

}  // namespace

std::string mux_metrics_setting(const char **name) {
    const char *key = config_get_string(config_getdefaultcache(), "orv_mux.metrics_listen", nullptr);
    char *env = multiplexor_getini(nullptr, "MetricsListen");
    std::string value = key ? key : env ? env : "";
    if (name) *name = !key && env ? "MetricsListen" : "orv_mux.metrics_listen";
    free(env);
    return value;
}

const std::string &mux_metrics_running(void) { return running_setting; }

int mux_metrics_open(int processes) {
    const char *name;
    std::string value = mux_metrics_setting(&name);
    running_setting = value;
    if (value.empty()) return 0;

    in_addr addr;
    int port;
    if (!_parse_listen(value, &addr, &port)) {
        qxlog(nullptr, QXLOG_ERROR, "bad value for %s: %s (want [a.b.c.d:]PORT with a PORT from 0 to 65535)", name,
              value.c_str());
        return -1;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = addr;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    socklen_t len = sizeof sin;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
        int err = errno;
        qxlog(nullptr, QXLOG_ERROR, "cannot listen for metrics on %s (%s): %s", value.c_str(), name, strerror(err));
        if (fd >= 0) close(fd);
        return -1;
    }
    if (mux_counters_share(processes) != 0) {
        qxlog(nullptr, QXLOG_ERROR, "cannot share the metrics among the processes: %s", strerror(errno));
        close(fd);
        return -1;
    }
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sin.sin_addr, ip, sizeof ip);
    snprintf(where, sizeof where, "%s:%u", ip, unsigned(ntohs(sin.sin_port)));
    listen_fd = fd;
    return 0;
}

void mux_metrics_start(void) {
    if (mux_counters_claim() != 0) qxlog(nullptr, QXLOG_WARNING, "metrics: no slot left for this process's counters");
    if (listen_fd < 0) return;
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    /* Signals stay with the threads that handle them. */
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        if (wake_fd >= 0) worker = new std::thread(_serve);
    } catch (...) { worker = nullptr; }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!worker) {
        qxlog(nullptr, QXLOG_ERROR, "metrics: cannot start the listener on %s: %s", where, strerror(errno));
        return;
    }
    qxlog(nullptr, QXLOG_NOTICE, "metrics: listening on http://%s/metrics", where);
}

void mux_metrics_stop(void) {
    if (worker) {
        uint64_t one = 1;
        ssize_t w = write(wake_fd, &one, sizeof one);
        (void)w;
        worker->join();
        delete worker;
        worker = nullptr;
    }
    if (wake_fd >= 0) close(wake_fd);
    if (listen_fd >= 0) close(listen_fd);
    wake_fd = listen_fd = -1;
}
