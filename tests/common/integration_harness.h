// Integration harness: runs the real multiplexor binary against scripted
// peers on 127.0.0.1.
//
//   Instance   a temporary instance directory with config/orv.conf and
//              var/log/; removed at the end.
//   MuxProcess the multiplexor started with -c <conf>, in its own process
//              group (it detaches with setsid); killed with its whole group
//              when the test ends, whatever happened.
//   FakeServer a scripted IM server: accepts the multiplexor's link and
//              checks or sends exact bytes.
//   Client     a plain TCP client, optionally bound to another loopback
//              address (127.0.0.2) before connecting.
//   Script     a table of steps: client sends X, server receives Y, server
//              replies Z, client gets W.
//
// Every wait is bounded; a failed expectation reports what did arrive.
#ifndef TESTS_COMMON_INTEGRATION_HARNESS_H
#define TESTS_COMMON_INTEGRATION_HARNESS_H

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace itest {

using Bytes = std::string;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::string build_dir() { return TOVI_BUILD_DIR; }
inline std::string bin_path(const std::string &name) { return build_dir() + "/bin/" + name; }

// ---------------------------------------------------------------- bytes

inline void put32(Bytes &b, uint32_t v) {
    b.push_back(char(v >> 24));
    b.push_back(char(v >> 16));
    b.push_back(char(v >> 8));
    b.push_back(char(v));
}
inline Bytes hello() { return Bytes("\x04\x03\x00", 3); }
inline Bytes rec_open(int32_t id, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    Bytes r(1, '\x01');
    put32(r, uint32_t(id));
    r += char(a);
    r += char(b);
    r += char(c);
    r += char(d);
    return r;
}
inline Bytes rec_close(int32_t id) {
    Bytes r(1, '\x02');
    put32(r, uint32_t(id));
    return r;
}
inline Bytes rec_data(int32_t id, const Bytes &data) {
    Bytes r(1, '\x03');
    put32(r, uint32_t(id));
    put32(r, uint32_t(data.size()));
    return r + data;
}
inline Bytes rec_bye() { return Bytes("\x05\x00\x00\x00\x00", 5); }
inline Bytes rec_raw(uint8_t type, int32_t field) {
    Bytes r(1, char(type));
    put32(r, uint32_t(field));
    return r;
}

inline std::string hex(const Bytes &b, size_t max = 64) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size() && i < max; i++) {
        snprintf(t, sizeof t, "%02x ", uint8_t(b[i]));
        s += t;
    }
    if (b.size() > max) s += "...";
    return s;
}

inline int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// ---------------------------------------------------------------- sockets

// A connected socket with bounded reads.
class Stream {
  public:
    Stream() = default;
    explicit Stream(int fd) : fd_(fd) {}
    Stream(Stream &&o) noexcept : fd_(std::exchange(o.fd_, -1)), pending_(std::move(o.pending_)) {}
    Stream &operator=(Stream &&o) noexcept {
        close();
        fd_ = std::exchange(o.fd_, -1);
        pending_ = std::move(o.pending_);
        return *this;
    }
    ~Stream() { close(); }
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Half-close: the peer sees end of stream, we can still read.
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }

    bool send(const Bytes &b) {
        size_t off = 0;
        auto deadline = Clock::now() + milliseconds(10000);
        while (off < b.size()) {
            ssize_t w = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (w > 0) {
                off += size_t(w);
                continue;
            }
            if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                if (remaining_ms(deadline) == 0) return false;
                ::poll(&p, 1, remaining_ms(deadline));
                continue;
            }
            return false;
        }
        return true;
    }

    // Reads until n bytes are in or the time is up; returns what arrived.
    Bytes recv_n(size_t n, int timeout_ms = 5000) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (pending_.size() < n) {
            if (!fill(deadline)) break;
        }
        size_t k = std::min(n, pending_.size());
        Bytes out = pending_.substr(0, k);
        pending_.erase(0, k);
        return out;
    }
    // Everything that arrives within the time (for "nothing more" checks).
    Bytes recv_for(int ms) {
        auto deadline = Clock::now() + milliseconds(ms);
        while (fill(deadline)) {
        }
        Bytes out;
        out.swap(pending_);
        return out;
    }
    // True when the peer closed (end of stream or reset) within the time;
    // bytes that arrive first are collected in *before.
    bool closed_within(int ms, Bytes *before = nullptr) {
        auto deadline = Clock::now() + milliseconds(ms);
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, remaining_ms(deadline));
            if (r <= 0) return false;
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n == 0) return true;
            if (n < 0) return errno != EAGAIN && errno != EINTR;
            pending_.append(buf, size_t(n));
            if (before) *before = pending_;
        }
    }

  private:
    bool fill(Clock::time_point deadline) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r <= 0) return false;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        pending_.append(buf, size_t(n));
        return true;
    }
    int fd_ = -1;
    Bytes pending_;
};

// Connects to 127.0.0.1:port, from `from` (another loopback address) when
// given. Returns an invalid stream when the connection fails.
inline Stream connect_to(uint16_t port, const char *from = nullptr, const char *to = "127.0.0.1") {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Stream();
    if (from) {
        sockaddr_in b{};
        b.sin_family = AF_INET;
        inet_pton(AF_INET, from, &b.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&b), sizeof b) < 0) {
            ::close(fd);
            return Stream();
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, to, &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        ::close(fd);
        return Stream();
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return Stream(fd);
}

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
  public:
    // Port 0: an ephemeral port; another port: that one (ok() tells).
    explicit Listener(uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd_, 64) == 0;
        socklen_t l = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &l);
        port_ = ntohs(a.sin_port);
    }
    bool ok() const { return ok_; }
    ~Listener() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    uint16_t port() const { return port_; }
    Stream accept(int timeout_ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return Stream();
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return Stream();
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return Stream(c);
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
    bool ok_ = false;
};

// ---------------------------------------------------------------- files

inline void remove_tree(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (d) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            std::string p = path + "/" + n;
            struct stat st;
            if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_tree(p);
            else unlink(p.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline int count_of(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// A temporary instance: <root>/config/orv.conf, <root>/var/log/.
class Instance {
  public:
    Instance() {
        char tmpl[] = "/tmp/muxit.XXXXXX";
        root_ = mkdtemp(tmpl);
        mkdir((root_ + "/config").c_str(), 0700);
        mkdir((root_ + "/var").c_str(), 0700);
        mkdir((root_ + "/var/log").c_str(), 0700);
        // Traffic for the tests goes to loopback only, on ports from 0.
        set("orv.instancedir", root_);
        set("orv.instancevardir", root_ + "/var");
        set("orv_mux.listenport", "0");
        set("orv_mux.serverport", "127.0.0.1:1");
        set("orv.log.orv_mux.severity", "Debug");
    }
    ~Instance() {
        if (getenv("MUXIT_KEEP")) {
            fprintf(stderr, "kept instance %s\n", root_.c_str());
            return;
        }
        remove_tree(root_);
    }
    void set(const std::string &key, const std::string &value) { keys_[key] = value; }
    void unset(const std::string &key) { keys_.erase(key); }
    void server_port(uint16_t port) { set("orv_mux.serverport", "127.0.0.1:" + std::to_string(port)); }
    // Writes the configuration file and returns its path.
    std::string write_config() {
        std::ofstream f(conf_path());
        for (auto &[k, v] : keys_) f << k << " = \"" << v << "\"\n";
        return conf_path();
    }
    std::string conf_path() const { return root_ + "/config/orv.conf"; }
    std::string root() const { return root_; }
    std::string var() const { return root_ + "/var"; }
    std::string log_path() const { return var() + "/log/mux.log"; }
    std::string pid_path() const { return var() + "/log/mux.pid"; }
    std::string log() const { return read_file(log_path()); }
    bool wait_log(const std::string &needle, int count = 1, int timeout_ms = 5000) const {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            if (count_of(log(), needle) >= count) return true;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return count_of(log(), needle) >= count;
    }

  private:
    std::string root_;
    std::map<std::string, std::string> keys_;
};

// ---------------------------------------------------------------- processes

struct Result {
    bool exited = false;  // false: still running when the time was up
    int status = -1;      // exit status when exited normally, else -signal
    std::string out, err;
};

// Runs a program to its end (bounded), capturing standard output and error.
inline Result run_program(const std::vector<std::string> &args, int timeout_ms = 10000,
                          const std::vector<std::string> &env = {}) {
    Result res;
    int po[2], pe[2];
    if (pipe2(po, O_CLOEXEC) || pipe2(pe, O_CLOEXEC)) return res;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(po[1], 1);
        dup2(pe[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        for (auto &e : env) putenv(strdup(e.c_str()));
        std::vector<char *> av;
        for (auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(127);
    }
    setpgid(pid, pid);
    ::close(po[1]);
    ::close(pe[1]);
    auto deadline = Clock::now() + milliseconds(timeout_ms);
    pollfd fds[2] = {{po[0], POLLIN, 0}, {pe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && remaining_ms(deadline) > 0) {
        if (::poll(fds, 2, remaining_ms(deadline)) <= 0) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            } else {
                (i == 0 ? res.out : res.err).append(buf, size_t(n));
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int st;
    while (remaining_ms(deadline) > 0) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            res.exited = true;
            res.status = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            return res;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return res;
}

// The listening port of a process, found through its socket inodes in
// /proc, so the multiplexor can bind port 0 and tests need no fixed ports.
// `other`: a port of another listener of the process, never the answer.
inline uint16_t listening_port_of(pid_t pid, uint16_t other = 0) {
    std::vector<std::string> inodes;
    std::string fddir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *d = opendir(fddir.c_str())) {
        while (dirent *e = readdir(d)) {
            char target[256];
            ssize_t n = readlink((fddir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = 0;
            if (strncmp(target, "socket:[", 8) == 0) inodes.emplace_back(target + 8, strlen(target) - 9);
        }
        closedir(d);
    }
    std::istringstream tcp(read_file("/proc/net/tcp"));
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream ls(line);
        std::string sl, local, remote, st, q, tr, retr, uid, tmo, inode;
        ls >> sl >> local >> remote >> st >> q >> tr >> retr >> uid >> tmo >> inode;
        if (st != "0A") continue;
        uint16_t port = uint16_t(strtoul(local.substr(local.find(':') + 1).c_str(), nullptr, 16));
        for (auto &i : inodes)
            if (i == inode && port != other) return port;
    }
    return 0;
}

class MuxProcess {
  public:
    MuxProcess() = default;
    MuxProcess(const MuxProcess &) = delete;
    ~MuxProcess() { kill_all(); }

    // Starts bin/multiplexor -c <conf> <args>. The environment gets `env`
    // (NAME=value) on top of ours, minus the multiplexor's own names.
    bool start(const Instance &inst, const std::vector<std::string> &args = {},
               const std::vector<std::string> &env = {}) {
        std::string conf = inst.conf_path();
        int pe[2], po[2];
        if (pipe2(pe, O_CLOEXEC) || pipe2(po, O_CLOEXEC)) return false;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(pe[1], 2);
            dup2(po[1], 1);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            for (const char *n : {"NumForks", "NumThreads", "ListenPort", "SSLEnable", "Access", "MUXUser", "Ignore"})
                unsetenv(n);
            for (auto &e : env) putenv(strdup(e.c_str()));
            std::vector<std::string> all = {bin_path("multiplexor"), "-c", conf};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char *> av;
            for (auto &a : all) av.push_back(const_cast<char *>(a.c_str()));
            av.push_back(nullptr);
            execv(av[0], av.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
        ::close(pe[1]);
        ::close(po[1]);
        err_fd_ = pe[0];
        out_fd_ = po[0];
        fcntl(err_fd_, F_SETFL, O_NONBLOCK);
        fcntl(out_fd_, F_SETFL, O_NONBLOCK);
        return pid_ > 0;
    }
    pid_t pid() const { return pid_; }

    // Waits until the process has bound its port and written its pid file,
    // and returns the port (0 on failure). Until the pid file is there the
    // child may not have run exec yet and still holds our own sockets.
    uint16_t wait_port(const std::string &pid_path, int timeout_ms = 5000, uint16_t other = 0) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        std::string want = std::to_string(pid_) + "\n";
        while (Clock::now() < deadline) {
            if (!running()) return 0;
            if (read_file(pid_path).rfind(want, 0) == 0)
                if (uint16_t p = listening_port_of(pid_, other)) return port_ = p;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return 0;
    }
    uint16_t port() const { return port_; }

    bool running() {
        if (pid_ <= 0 || exited_) return false;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            return false;
        }
        return true;
    }
    // Waits for the first process to end; its status, or INT32_MIN on timeout.
    int wait_exit(int timeout_ms = 5000) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            if (!running()) return exited_ ? status_ : INT32_MIN;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return running() ? INT32_MIN : status_;
    }
    void signal(int sig) {
        if (pid_ > 0 && !exited_) kill(pid_, sig);
    }
    // Standard error and output collected so far.
    std::string err() {
        drain(err_fd_, err_);
        return err_;
    }
    std::string out() {
        drain(out_fd_, out_);
        return out_;
    }
    // Processes in the multiplexor's process group (forked ones included).
    int group_size() {
        int n = 0;
        if (DIR *d = opendir("/proc")) {
            while (dirent *e = readdir(d)) {
                if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
                std::string st = read_file(std::string("/proc/") + e->d_name + "/stat");
                size_t rp = st.rfind(')');
                if (rp == std::string::npos) continue;
                char state;
                int ppid, pgrp;
                if (sscanf(st.c_str() + rp + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && pgrp == pid_ &&
                    state != 'Z')
                    n++;
            }
            closedir(d);
        }
        return n;
    }
    // Every process of the group is gone (forked children included).
    bool group_gone() { return group_size() == 0; }
    void kill_all() {
        if (pid_ > 0) {
            // A coverage run keeps the counters of a process only when it
            // ends on its own: ask first (bounded).
            if (getenv("TOVI_COVERAGE")) {
                kill(-pid_, SIGTERM);
                for (int i = 0; i < 300 && !group_gone(); i++) std::this_thread::sleep_for(milliseconds(10));
            }
            kill(-pid_, SIGKILL);
            if (!exited_) {
                int st;
                waitpid(pid_, &st, 0);
                exited_ = true;
            }
            // Forked children are reparented; wait (bounded) until the group is empty.
            for (int i = 0; i < 200 && !group_gone(); i++) std::this_thread::sleep_for(milliseconds(10));
        }
        if (err_fd_ >= 0) ::close(err_fd_);
        if (out_fd_ >= 0) ::close(out_fd_);
        err_fd_ = out_fd_ = -1;
        pid_ = -1;
    }

  private:
    static void drain(int fd, std::string &into) {
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) into.append(buf, size_t(n));
    }
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string out_;
    bool exited_ = false;
    int status_ = -1;
    int err_fd_ = -1;
    std::string err_;
    uint16_t port_ = 0;
};

// ---------------------------------------------------------------- script

// One step of a conversation between clients, the multiplexor and the fake
// IM server. `who` is the client's index.
struct Step {
    enum Kind {
        ClientSends,    // client `who` sends bytes
        ServerGets,     // the link delivers exactly these bytes next
        ServerSends,    // the fake server sends bytes on the link
        ClientGets,     // client `who` receives exactly these bytes next
        ClientCloses,   // client `who` closes its socket
        ClientClosed,   // client `who` sees end of stream (nothing before it)
        ServerQuiet,    // nothing arrives on the link for a while
        ClientQuiet,    // nothing arrives at client `who` for a while
    };
    Kind kind;
    int who;
    Bytes bytes;
};

inline Step client_sends(int who, Bytes b) { return {Step::ClientSends, who, std::move(b)}; }
inline Step server_gets(Bytes b) { return {Step::ServerGets, 0, std::move(b)}; }
inline Step server_sends(Bytes b) { return {Step::ServerSends, 0, std::move(b)}; }
inline Step client_gets(int who, Bytes b) { return {Step::ClientGets, who, std::move(b)}; }
inline Step client_closes(int who) { return {Step::ClientCloses, who, {}}; }
inline Step client_closed(int who) { return {Step::ClientClosed, who, {}}; }
inline Step server_quiet() { return {Step::ServerQuiet, 0, {}}; }
inline Step client_quiet(int who) { return {Step::ClientQuiet, who, {}}; }

// Runs the steps in order with gtest assertions; stops at the first failure.
inline void run_script(Stream &link, std::vector<Stream> &clients, const std::vector<Step> &steps,
                       int quiet_ms = 300) {
    int n = 0;
    for (const Step &s : steps) {
        n++;
        SCOPED_TRACE("script step " + std::to_string(n));
        switch (s.kind) {
        case Step::ClientSends:
            ASSERT_TRUE(clients.at(size_t(s.who)).send(s.bytes));
            break;
        case Step::ServerGets: {
            Bytes got = link.recv_n(s.bytes.size());
            ASSERT_EQ(hex(got, 200), hex(s.bytes, 200));
            ASSERT_EQ(got, s.bytes);
            break;
        }
        case Step::ServerSends:
            ASSERT_TRUE(link.send(s.bytes));
            break;
        case Step::ClientGets: {
            Bytes got = clients.at(size_t(s.who)).recv_n(s.bytes.size());
            ASSERT_EQ(hex(got, 200), hex(s.bytes, 200));
            ASSERT_EQ(got, s.bytes);
            break;
        }
        case Step::ClientCloses:
            clients.at(size_t(s.who)).close();
            break;
        case Step::ClientClosed: {
            Bytes before;
            ASSERT_TRUE(clients.at(size_t(s.who)).closed_within(5000, &before));
            ASSERT_EQ(hex(before), "");
            break;
        }
        case Step::ServerQuiet:
            ASSERT_EQ(hex(link.recv_for(quiet_ms)), "");
            break;
        case Step::ClientQuiet:
            ASSERT_EQ(hex(clients.at(size_t(s.who)).recv_for(quiet_ms)), "");
            break;
        }
    }
}

// A multiplexor in front of a scripted IM server, with helpers for the usual
// opening: the first client makes the link, the hello is answered, the open
// record arrives.
class RelayFixture : public ::testing::Test {
  protected:
    void SetUp() override { inst.server_port(server.port()); }

    void start(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {}) {
        inst.write_config();
        ASSERT_TRUE(mux.start(inst, args, env));
        ASSERT_NE(mux.wait_port(inst.pid_path()), 0) << mux.err();
    }
    // Accepts the link and answers the hello with `reply`.
    void accept_link(const Bytes &reply = hello()) {
        link = server.accept();
        ASSERT_TRUE(link.valid()) << "the multiplexor did not connect to the IM server";
        ASSERT_EQ(hex(link.recv_n(3)), hex(hello()));
        ASSERT_TRUE(link.send(reply));
    }
    // Connects client number clients.size() (0-based) and expects its open
    // record with connection number `id`.
    void add_client(int32_t id, const char *from = nullptr) {
        clients.push_back(connect_to(mux.port(), from));
        ASSERT_TRUE(clients.back().valid());
        if (!link.valid()) accept_link();
        uint32_t a = inet_addr(from ? from : "127.0.0.1");
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&a);
        ASSERT_EQ(hex(link.recv_n(9)), hex(rec_open(id, b[0], b[1], b[2], b[3])));
    }
    void script(const std::vector<Step> &steps) { run_script(link, clients, steps); }

    Instance inst;
    Listener server;
    MuxProcess mux;
    Stream link;
    std::vector<Stream> clients;
};

}  // namespace itest

#endif
