// echoserver: the plain echo server the relay benchmarks measure against.
//
// It stands for the physical limit of the machine: a client talking to it
// directly pays only for its own sockets and one echo. So it is kept as
// lean as a simple server can be: one epoll loop per thread, each thread
// with its own listening socket on the shared port (SO_REUSEPORT lets the
// kernel spread the connections), no locks, one read buffer per thread, and
// per connection only a small record; memory for unsent bytes is taken only
// while a client does not read its echo, and reading from that client stops
// until the backlog is gone, so a slow reader cannot make the server grow.
//
// Threads: the main thread waits for SIGINT or SIGTERM and then wakes every
// worker through one eventfd; each worker owns its listener, its epoll set
// and its connections outright.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

struct Options {
    std::string listen_addr = "127.0.0.1";
    int port = 9998;
    int threads = 0;  // 0: one per processor
    bool discard = false;
    std::string port_file;
};

Options g_opt;
int g_stop_fd = -1;

struct Client {
    int fd;
    // Echo bytes the client has not taken yet; allocated only while needed.
    std::unique_ptr<char[]> backlog;
    size_t off = 0, len = 0;
};

class Worker {
  public:
    explicit Worker(int listen_fd) : listen_fd_(listen_fd), buf_(size_t{256} << 10) {}
    ~Worker() {
        for (auto &kv : clients_) close(kv.first);
        if (ep_ >= 0) close(ep_);
        if (listen_fd_ >= 0) close(listen_fd_);
    }
    bool init() {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        if (ep_ < 0) return false;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = listen_fd_;
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, listen_fd_, &ev) != 0) return false;
        ev.data.fd = g_stop_fd;
        return epoll_ctl(ep_, EPOLL_CTL_ADD, g_stop_fd, &ev) == 0;
    }
    void run();

  private:
    void accept_all();
    void drop(int fd);
    void on_readable(Client &c);
    void on_writable(Client &c);
    bool send_all(Client &c, const char *p, size_t n);
    void watch(Client &c, uint32_t events);

    int listen_fd_;
    int ep_ = -1;
    std::vector<char> buf_;
    std::unordered_map<int, Client> clients_;
};

void Worker::run() {
    epoll_event evs[256];
    for (;;) {
        int n = epoll_wait(ep_, evs, 256, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("echoserver: epoll_wait");
            return;
        }
        for (int i = 0; i < n; i++) {
            int fd = evs[i].data.fd;
            if (fd == g_stop_fd) return;
            if (fd == listen_fd_) {
                accept_all();
                continue;
            }
            auto it = clients_.find(fd);
            if (it == clients_.end()) continue;
            Client &c = it->second;
            if (evs[i].events & EPOLLOUT) {
                on_writable(c);
            } else if (evs[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                on_readable(c);
            }
        }
    }
}

void Worker::accept_all() {
    for (;;) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) fprintf(stderr, "echoserver: accept: %s\n", strerror(errno));
            return;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        clients_.emplace(fd, Client{fd, nullptr, 0, 0});
    }
}

void Worker::drop(int fd) {
    epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    clients_.erase(fd);
}

void Worker::watch(Client &c, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = c.fd;
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
}

// Returns false when the client is gone (and dropped).
bool Worker::send_all(Client &c, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(c.fd, p, n, MSG_NOSIGNAL);
        if (w > 0) {
            p += w;
            n -= size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.backlog.reset(new char[n]);
            memcpy(c.backlog.get(), p, n);
            c.off = 0;
            c.len = n;
            watch(c, EPOLLOUT);  // stop reading until the client catches up
            return true;
        }
        drop(c.fd);
        return false;
    }
    return true;
}

void Worker::on_readable(Client &c) {
    // A few reads per wake-up, then back to the loop so that one busy
    // client cannot starve the others of this thread.
    for (int round = 0; round < 4; round++) {
        ssize_t r = recv(c.fd, buf_.data(), buf_.size(), 0);
        if (r > 0) {
            if (!g_opt.discard && !send_all(c, buf_.data(), size_t(r))) return;
            if (c.len > 0 || size_t(r) < buf_.size()) return;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        drop(c.fd);
        return;
    }
}

void Worker::on_writable(Client &c) {
    while (c.len > 0) {
        ssize_t w = send(c.fd, c.backlog.get() + c.off, c.len, MSG_NOSIGNAL);
        if (w > 0) {
            c.off += size_t(w);
            c.len -= size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        drop(c.fd);
        return;
    }
    c.backlog.reset();
    c.off = 0;
    watch(c, EPOLLIN);
}

int open_listener(const sockaddr_in &addr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 4096) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void usage(FILE *to) {
    fprintf(to,
            "Usage: echoserver [options]\n"
            "Sends every byte it receives back to the connection it came from.\n"
            "\n"
            "Options:\n"
            "  --listen ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
            "  --port N          port to listen on, 0 for any free port (default 9998)\n"
            "  --port-file PATH  write the port actually bound to PATH\n"
            "  --threads N       worker threads (default: one per processor)\n"
            "  --discard         read and drop everything instead of echoing\n"
            "  --help            show this text\n"
            "\n"
            "The bound address is printed on standard output as\n"
            "\"echoserver listening on ADDR:PORT\". SIGTERM or SIGINT stop it.\n");
}

bool parse_args(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "echoserver: %s wants a value\n", a.c_str());
                return nullptr;
            }
            return argv[++i];
        };
        auto number = [&](long lo, long hi, int &out) {
            const char *v = value();
            if (!v) return false;
            char *end = nullptr;
            long n = strtol(v, &end, 10);
            if (!*v || *end || n < lo || n > hi) {
                fprintf(stderr, "echoserver: %s wants a number from %ld to %ld\n", a.c_str(), lo, hi);
                return false;
            }
            out = int(n);
            return true;
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        } else if (a == "--listen") {
            const char *v = value();
            if (!v) return false;
            g_opt.listen_addr = v;
        } else if (a == "--port") {
            if (!number(0, 65535, g_opt.port)) return false;
        } else if (a == "--threads") {
            if (!number(1, 256, g_opt.threads)) return false;
        } else if (a == "--port-file") {
            const char *v = value();
            if (!v) return false;
            g_opt.port_file = v;
        } else if (a == "--discard") {
            g_opt.discard = true;
        } else {
            fprintf(stderr, "echoserver: unknown argument \"%s\"\n", a.c_str());
            return false;
        }
    }
    return true;
}

void raise_fd_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (!parse_args(argc, argv)) {
        usage(stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();
    int nthreads = g_opt.threads > 0 ? g_opt.threads : int(std::max(1u, std::thread::hardware_concurrency()));

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(g_opt.port));
    if (inet_pton(AF_INET, g_opt.listen_addr.c_str(), &addr.sin_addr) != 1) {
        fprintf(stderr, "echoserver: not an IPv4 address: %s\n", g_opt.listen_addr.c_str());
        return 2;
    }

    // The signals are taken by sigwait in the main thread only; block them
    // before any worker exists so that the workers inherit the mask.
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);

    g_stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_stop_fd < 0) {
        perror("echoserver: eventfd");
        return 1;
    }
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < nthreads; t++) {
        int fd = open_listener(addr);
        if (fd < 0) {
            fprintf(stderr, "echoserver: cannot listen on %s:%d: %s\n", g_opt.listen_addr.c_str(),
                    int(ntohs(addr.sin_port)), strerror(errno));
            return 1;
        }
        if (t == 0 && addr.sin_port == 0) {
            // The other listeners join the port the kernel chose.
            socklen_t len = sizeof addr;
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        }
        workers.push_back(std::make_unique<Worker>(fd));
        if (!workers.back()->init()) {
            perror("echoserver: epoll");
            return 1;
        }
    }
    int port = ntohs(addr.sin_port);
    if (!g_opt.port_file.empty()) {
        std::string tmp = g_opt.port_file + ".tmp";
        FILE *f = fopen(tmp.c_str(), "w");
        if (!f || fprintf(f, "%d\n", port) < 0 || fclose(f) != 0 || rename(tmp.c_str(), g_opt.port_file.c_str()) != 0) {
            fprintf(stderr, "echoserver: cannot write %s: %s\n", g_opt.port_file.c_str(), strerror(errno));
            return 1;
        }
    }
    printf("echoserver listening on %s:%d\n", g_opt.listen_addr.c_str(), port);
    fflush(stdout);

    std::vector<std::thread> threads;
    for (auto &w : workers) threads.emplace_back([&w] { w->run(); });
    int sig = 0;
    while (sigwait(&stop_set, &sig) != 0) {}
    uint64_t one = 1;
    if (write(g_stop_fd, &one, sizeof one) != sizeof one) perror("echoserver: eventfd write");
    for (auto &t : threads) t.join();
    workers.clear();
    close(g_stop_fd);
    return 0;
}
