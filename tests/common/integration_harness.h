// Integration harness: runs the real multiplexor binary against scripted
// peers on 127.0.0.1. Processes, temporary directories and files come from
// test_support.h (ts); this adds what the multiplexor's tests share.
//
//   Instance     a temporary instance directory with config/orv.conf and
//                var/log/; removed at the end.
//   MuxProcess   the multiplexor started with -c <conf> in its own process
//                group; stopped with SIGTERM when the test ends (or earlier
//                with stop()), and then its exit status and its standard
//                error (no sanitizer report) are checked.
//   Tool         a built peer program (imserver, echoserver) on an ephemeral
//                port, stopped the same way.
//   Listener, Stream, connect_to   loopback sockets with bounded reads.
//   Stream::record  one whole record read off the link: type, number, data.
//   subst, pattern, rss_kib  placeholders in texts, distinct test bytes, and
//                a process's resident size
//   Script       a table of steps: client sends X, server receives Y, server
//                replies Z, client gets W.
//   RelayFixture a multiplexor in front of a scripted IM server.
//
// Every wait is bounded; a failed expectation reports what did arrive.
#ifndef TESTS_COMMON_INTEGRATION_HARNESS_H
#define TESTS_COMMON_INTEGRATION_HARNESS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "test_support.h"

namespace itest {

using Bytes = std::string;
using Clock = ts::Clock;
using Result = ts::Result;
using std::chrono::milliseconds;
using ts::count_of;
using ts::read_file;
using ts::remaining_ms;

inline std::string build_dir() { return TOVI_BUILD_DIR; }
inline std::string bin_path(const std::string &name) { return build_dir() + "/bin/" + name; }

// ---------------------------------------------------------------- bytes

inline Bytes be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
inline uint32_t get32(const Bytes &b, size_t at) {
    return uint32_t(uint8_t(b.at(at))) << 24 | uint8_t(b.at(at + 1)) << 16 | uint8_t(b.at(at + 2)) << 8 | uint8_t(b.at(at + 3));
}
inline Bytes hello() { return Bytes("\x04\x03\x00", 3); }
inline Bytes rec_raw(uint8_t type, int32_t field) { return char(type) + be32(uint32_t(field)); }
inline Bytes rec_open(int32_t id, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return rec_raw(1, id) + Bytes{char(a), char(b), char(c), char(d)};
}
inline Bytes rec_close(int32_t id) { return rec_raw(2, id); }
inline Bytes rec_data(int32_t id, const Bytes &data) { return rec_raw(3, id) + be32(uint32_t(data.size())) + data; }
inline Bytes rec_bye() { return rec_raw(5, 0); }

// One record of the link; type -1 when no whole record came in time. `data`
// holds the client address of an open record and the bytes of a data record.
struct Record {
    int type = -1;
    int32_t id = 0;
    Bytes data;
};

// The one record reader of the tests: takes the first complete record off
// the front of `buf` into *out and returns its size, or 0 while none is
// complete (then `buf` is left alone).
inline size_t take_record(Bytes &buf, Record *out) {
    size_t size = buf.size() < 5 ? 0 : buf[0] == '\x01' ? 9 : buf[0] != '\x03' ? 5 : buf.size() < 9 ? 0 : 9 + size_t(get32(buf, 5));
    if (size == 0 || buf.size() < size) return 0;
    size_t head = buf[0] == '\x03' ? 9 : 5;
    out->type = uint8_t(buf[0]);
    out->id = int32_t(get32(buf, 1));
    out->data = buf.substr(head, size - head);
    buf.erase(0, size);
    return size;
}

inline std::string hex(const Bytes &b, size_t max = 64) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size() && i < max; i++) {
        snprintf(t, sizeof t, "%02x ", uint8_t(b[i]));
        s += t;
    }
    return b.size() > max ? s + "..." : s;
}

// `s` with every placeholder of `vars` replaced by its value.
inline std::string subst(std::string s, const std::map<std::string, std::string> &vars) {
    for (auto &[from, to] : vars)
        for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
    return s;
}

// n bytes of every value, different for each salt: a stream that is cut,
// shifted or mixed with another one does not compare equal by chance.
inline Bytes pattern(size_t n, int salt) {
    Bytes b(n, 0);
    for (size_t i = 0; i < n; i++) b[i] = char((i * 31 + size_t(salt) * 7 + i / 4093) & 0xff);
    return b;
}

inline bool has_regular_file(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

inline long rss_kib(pid_t pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = st.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(st.c_str() + at + 6);
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
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }
    // Half-close: the peer sees end of stream, we can still read.
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }
    // Closes with a reset instead of an end of stream.
    void reset() {
        linger lg = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close();
    }

    bool send(const Bytes &b) {
        auto deadline = Clock::now() + milliseconds(10000);
        for (size_t off = 0; off < b.size();) {
            ssize_t w = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (w > 0) {
                off += size_t(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR) && remaining_ms(deadline) > 0) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, remaining_ms(deadline));
            } else {
                return false;
            }
        }
        return true;
    }
    // Reads until n bytes are in or the time is up; returns what arrived.
    Bytes recv_n(size_t n, int timeout_ms = 5000) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (pending_.size() < n && fill(remaining_ms(deadline)) > 0) {}
        Bytes out = pending_.substr(0, std::min(n, pending_.size()));
        pending_.erase(0, out.size());
        return out;
    }
    // Everything that arrives within the time (for "nothing more" checks).
    Bytes recv_for(int ms) {
        auto deadline = Clock::now() + milliseconds(ms);
        while (fill(remaining_ms(deadline)) > 0) {}
        return std::exchange(pending_, Bytes());
    }
    // Appends what one read brings within the time; false once the peer has
    // closed (end of stream or reset).
    bool recv_some(Bytes &into, int ms) {
        int r = pending_.empty() ? fill(ms) : 1;
        into += std::exchange(pending_, Bytes());
        return r >= 0;
    }
    // True when the peer closed within the time; bytes that arrive first are
    // collected in *before.
    bool closed_within(int ms, Bytes *before = nullptr) {
        auto deadline = Clock::now() + milliseconds(ms);
        int r;
        while ((r = fill(remaining_ms(deadline))) > 0)
            if (before) *before = pending_;
        return r < 0;
    }
    // The next whole record off the link, from what came before and what
    // comes within the time; type -1 when none is whole by then.
    Record record(int timeout_ms = 5000) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        Record r;
        while (!take_record(pending_, &r) && fill(remaining_ms(deadline)) > 0) {}
        return r;
    }

  private:
    // 1: bytes came, 0: nothing within the time, -1: end of stream or error.
    int fill(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return 0;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        if (n <= 0) return -1;
        pending_.append(buf, size_t(n));
        return 1;
    }
    int fd_ = -1;
    Bytes pending_;
};

inline sockaddr_in loopback(uint16_t port, const char *addr = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

// Connects to 127.0.0.1:port (or `to`), from `from` (another loopback
// address) when given. Returns an invalid stream when the connection fails.
// A stingy client lets the kernel keep little for it: a small receive
// buffer and small segments (the sender's buffer grows with the segment size).
inline Stream connect_to(uint16_t port, const char *from = nullptr, const char *to = "127.0.0.1", bool stingy = false) {
    Stream s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in b = loopback(0, from ? from : "0.0.0.0"), a = loopback(port, to);
    int rcv = 4096, mss = 536;
    if (stingy) setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    if (stingy) setsockopt(s.fd(), IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    if ((from && ::bind(s.fd(), reinterpret_cast<sockaddr *>(&b), sizeof b) < 0) ||
        ::connect(s.fd(), reinterpret_cast<sockaddr *>(&a), sizeof a) < 0)
        return Stream();
    int one = 1;
    setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
  public:
    // Port 0: an ephemeral port; another port: that one (ok() tells).
    explicit Listener(uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = loopback(port);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd_, 64) == 0;
        socklen_t l = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &l);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(); }
    bool ok() const { return ok_; }
    void close() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }
    uint16_t port() const { return port_; }
    Stream accept(int timeout_ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return Stream();
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        if (c >= 0) setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return Stream(c);
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
    bool ok_ = false;
};

// A port free now and below the kernel's ephemeral range: the listeners of
// tests running beside this one all take port 0, so none of them can take it
// before the caller binds it (or expects a connection to it refused).
inline uint16_t free_port() {
    int low = 32768;
    sscanf(read_file("/proc/sys/net/ipv4/ip_local_port_range").c_str(), "%d", &low);
    for (int i = 0, span = std::min(low - 1024, 12000); span > 0 && i < 500; i++) {
        auto p = static_cast<uint16_t>(low - 1 - (getpid() * 7919 + i * 31) % span);
        if (Listener(p).ok()) return p;
    }
    return Listener().port();
}

// ---------------------------------------------------------------- instance

// A temporary instance: <root>/config/orv.conf, <root>/var/log/.
class Instance {
  public:
    Instance() {
        dir_.mkdirs("config");
        dir_.mkdirs("var/log");
        // Traffic for the tests goes to loopback only, on ports from 0.
        keys_ = {{"orv.instancedir", root()},
                 {"orv.instancevardir", var()},
                 {"orv_mux.listenport", "0"},
                 {"orv_mux.serverport", "127.0.0.1:1"},
                 {"orv.log.orv_mux.severity", "Debug"}};
    }
    void set(const std::string &key, const std::string &value) { keys_[key] = value; }
    void unset(const std::string &key) { keys_.erase(key); }
    void server_port(uint16_t port) { set("orv_mux.serverport", "127.0.0.1:" + std::to_string(port)); }
    // Writes the configuration file and returns its path.
    std::string write_config() {
        std::string text;
        for (auto &[k, v] : keys_) text += k + " = \"" + v + "\"\n";
        ts::write_file(conf_path(), text);
        return conf_path();
    }
    std::string conf_path() const { return dir_ / "config/orv.conf"; }
    std::string root() const { return dir_.path(); }
    std::string var() const { return dir_ / "var"; }
    std::string log_path() const { return var() + "/log/mux.log"; }
    std::string pid_path() const { return var() + "/log/mux.pid"; }
    std::string log() const { return read_file(log_path()); }
    // The live log after the files it rolled over into, so that a line is
    // found even when the log rolls over between its writing and the look.
    std::string all_logs() const {
        std::map<unsigned long, std::string> rolled;  // by sequence number
        for (const std::string &name : ts::list_dir(var() + "/log"))
            if (name.rfind("mux.log.", 0) == 0) rolled[strtoul(name.c_str() + 8, nullptr, 10)] = name;
        std::string text;
        for (auto &[seq, name] : rolled) text += read_file(var() + "/log/" + name);
        return text + log();
    }
    bool wait_log(const std::string &needle, int count = 1, int timeout_ms = 5000) const {
        return ts::wait_for([&] { return count_of(all_logs(), needle) >= count; }, timeout_ms, 20);
    }

  private:
    ts::TempDir dir_{"muxit"};
    std::map<std::string, std::string> keys_;
};

// ---------------------------------------------------------------- processes

// The first sanitizer report in a program's output (from its line on), or "".
inline std::string sanitizer_report(const std::string &text) {
    size_t at = std::min(text.find("Sanitizer"), text.find("runtime error:"));
    return at == std::string::npos ? "" : text.substr(text.rfind('\n', at) + 1, 4000);
}

// The multiplexor's environment names, removed from what its tests inherit.
inline std::vector<std::string> mux_env_names() {
    return {"NumForks", "NumThreads", "ListenPort",     "SSLEnable",     "Access",
            "MUXUser",  "Ignore",     "ClientQueueMax", "MetricsListen", "ProxyTrusted"};
}

// Runs bin/<name> with `args` to its end, without the multiplexor's
// environment names; a sanitizer report fails the test.
inline Result run_bin(const std::string &name, std::vector<std::string> args, int timeout_ms = 10000) {
    args.insert(args.begin(), bin_path(name));
    Result r = ts::run(args, timeout_ms, {}, mux_env_names());
    EXPECT_EQ(sanitizer_report(r.err + r.out), "");
    return r;
}
inline Result run_multiplexor(const std::vector<std::string> &args) { return run_bin("multiplexor", args); }

// Processes other than this one whose /proc/<pid>/<file> holds `needle`.
inline std::vector<pid_t> procs_with(const std::string &file, const std::string &needle) {
    std::vector<pid_t> found;
    for (const std::string &p : ts::list_dir("/proc"))
        if (pid_t pid = atoi(p.c_str());
            pid > 1 && pid != getpid() && read_file("/proc/" + p + "/" + file).find(needle) != std::string::npos)
            found.push_back(pid);
    return found;
}

// Inodes of the sockets a process holds open.
inline std::vector<std::string> socket_inodes(pid_t pid) {
    std::vector<std::string> out;
    std::string fddir = "/proc/" + std::to_string(pid) + "/fd/";
    for (const std::string &fd : ts::list_dir(fddir)) {
        char target[256];
        ssize_t n = readlink((fddir + fd).c_str(), target, sizeof target - 1);
        if (n > 9 && strncmp(target, "socket:[", 8) == 0) out.emplace_back(target + 8, size_t(n) - 9);
    }
    return out;
}

// The listening port of a process, found through its socket inodes in
// /proc, so the multiplexor can bind port 0 and tests need no fixed ports.
// `other`: a port of another listener of the process, never the answer.
inline uint16_t listening_port_of(pid_t pid, uint16_t other = 0) {
    std::vector<std::string> inodes = socket_inodes(pid);
    std::vector<std::string> lines = ts::lines_of(read_file("/proc/net/tcp"));
    for (size_t i = 1; i < lines.size(); i++) {
        std::istringstream ls(lines[i]);
        std::string sl, local, remote, st, q, tr, retr, uid, tmo, inode;
        ls >> sl >> local >> remote >> st >> q >> tr >> retr >> uid >> tmo >> inode;
        uint16_t port = uint16_t(strtoul(local.substr(local.find(':') + 1).c_str(), nullptr, 16));
        if (st == "0A" && port != other && std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) return port;
    }
    return 0;
}

// qemu-i386 brings a thread back from a signal handler on the thread pointer
// of the thread started last (docs/portability.md): what a multiplexor does
// after it has taken a signal is chance there, natively it is not.
#if defined(__i386__)
inline const bool kSignalsLoseThreads = ts::emulated();
#else
inline const bool kSignalsLoseThreads = false;
#endif
inline const char kSignalsLoseThreadsWhy[] = "under qemu-i386 a thread returns from a signal handler with another thread's thread pointer";

class MuxProcess {
  public:
    MuxProcess() = default;
    MuxProcess(const MuxProcess &) = delete;
    ~MuxProcess() { stop(); }

    // Starts bin/multiplexor -c <conf> <args>. The environment gets `env`
    // (NAME=value) on top of ours, minus the multiplexor's own names.
    bool start(const Instance &inst, const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {}) {
        std::vector<std::string> argv = {bin_path("multiplexor"), "-c", inst.conf_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        return started_ = child_.spawn(argv, env, mux_env_names());
    }
    pid_t pid() const { return child_.pid(); }

    // Waits until the process has bound its port and written its pid file,
    // and returns the port (0 on failure). Until the pid file is there the
    // child may not have run exec yet and still holds our own sockets.
    uint16_t wait_port(const std::string &pid_path, int timeout_ms = 5000, uint16_t other = 0) {
        std::string want = std::to_string(pid()) + "\n";
        ts::wait_for(
            [&] {
                if (read_file(pid_path).rfind(want, 0) == 0) port_ = listening_port_of(pid(), other);
                return port_ != 0 || !running();
            },
            timeout_ms, 10);
        return running() ? port_ : 0;
    }
    uint16_t port() const { return port_; }
    bool running() { return child_.running(); }
    // Waits for the first process to end; its status, or INT32_MIN on timeout.
    // A status seen here is the test's to check: stop() does not check it again.
    int wait_exit(int timeout_ms = 5000) {
        int st = child_.wait_exit(timeout_ms);
        observed_ = observed_ || st != INT32_MIN;
        return st;
    }
    void signal(int sig) { child_.signal(sig); }
    // Standard error and output collected so far.
    std::string err() { return child_.err(); }
    std::string out() { return child_.out(); }
    // Processes in the multiplexor's process group (forked ones included).
    int group_size() { return child_.group_size(); }
    // Stops the whole group with SIGTERM and checks how it ended: exit status
    // `want` (unless the test has seen the process end already) and no
    // sanitizer report on its standard error or output. Once; later calls
    // and the destructor do nothing.
    void stop(int want = 0) {
        if (!started_ || stopped_) return;
        stopped_ = true;
        if (child_.running()) kill(-pid(), SIGTERM);
        int st = child_.wait_exit(10000);
        // Dead of SIGSEGV or SIGABRT after the stop signal, where that is the emulator's doing.
        bool lost = !observed_ && kSignalsLoseThreads && (st == -SIGSEGV || st == -SIGABRT);
        if (!observed_ && !lost) { EXPECT_EQ(st, want) << "exit status of the multiplexor; standard error:\n" << err(); }
        ts::wait_for([&] { return group_size() == 0; }, 10000, 10);
        EXPECT_EQ(sanitizer_report(err() + out()), "");
        child_.kill_group();
        if (lost) GTEST_SKIP() << kSignalsLoseThreadsWhy << ": the multiplexor died after SIGTERM:\n" << err();
    }

  private:
    ts::Child child_;
    uint16_t port_ = 0;
    bool started_ = false, stopped_ = false, observed_ = false;
};

// A built peer program, given --port 0 and a port file; stopped with SIGTERM
// when it goes, expecting exit status 0 and no sanitizer report.
class Tool {
  public:
    Tool(const std::string &name, const std::vector<std::string> &args) {
        std::string port_file = dir_ / "port";
        std::vector<std::string> argv = {bin_path(name), "--port", "0", "--port-file", port_file};
        argv.insert(argv.end(), args.begin(), args.end());
        if (child_.spawn(argv)) ts::wait_for([&] { return (port_ = uint16_t(atoi(read_file(port_file).c_str()))) || !child_.running(); });
    }
    ~Tool() {
        child_.signal(SIGTERM);
        EXPECT_EQ(child_.wait_exit(5000), 0) << child_.err();
        EXPECT_EQ(sanitizer_report(child_.err()), "");
    }
    uint16_t port() const { return port_; }
    std::string err() { return child_.err(); }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    ts::TempDir dir_{"muxtool"};
    ts::Child child_;
    uint16_t port_ = 0;
};

// ---------------------------------------------------------------- script

// One step of a conversation between clients, the multiplexor and the fake
// IM server. `who` is the client's index.
//   ClientSends   client `who` sends bytes
//   ServerGets    the link delivers exactly these bytes next
//   ServerSends   the fake server sends bytes on the link
//   ClientGets    client `who` receives exactly these bytes next
//   ClientCloses  client `who` closes its socket
//   ClientClosed  client `who` sees end of stream (nothing before it)
//   ServerQuiet   nothing arrives on the link for a while
//   ClientQuiet   nothing arrives at client `who` for a while
struct Step {
    enum Kind { ClientSends, ServerGets, ServerSends, ClientGets, ClientCloses, ClientClosed, ServerQuiet, ClientQuiet };
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
inline void run_script(Stream &link, std::vector<Stream> &clients, const std::vector<Step> &steps, int quiet_ms = 300) {
    int n = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE("script step " + std::to_string(++n));
        Stream &peer =
            s.kind == Step::ServerGets || s.kind == Step::ServerSends || s.kind == Step::ServerQuiet ? link : clients.at(size_t(s.who));
        Bytes got, before;
        switch (s.kind) {
        case Step::ClientSends:
        case Step::ServerSends: ASSERT_TRUE(peer.send(s.bytes)); break;
        case Step::ServerGets:
        case Step::ClientGets:
            got = peer.recv_n(s.bytes.size());
            ASSERT_EQ(hex(got, 200), hex(s.bytes, 200));
            ASSERT_EQ(got, s.bytes);
            break;
        case Step::ClientCloses: peer.close(); break;
        case Step::ClientClosed:
            ASSERT_TRUE(peer.closed_within(5000, &before));
            ASSERT_EQ(hex(before), "");
            break;
        case Step::ServerQuiet:
        case Step::ClientQuiet: ASSERT_EQ(hex(peer.recv_for(quiet_ms)), ""); break;
        }
    }
}

// A multiplexor in front of a scripted IM server, with helpers for the usual
// opening: the first client makes the link, the hello is answered, the open
// record arrives. The multiplexor is stopped in TearDown, while its clients
// and its link are still there.
class RelayFixture : public ::testing::Test {
  protected:
    void SetUp() override { inst.server_port(server.port()); }
    void TearDown() override { mux.stop(); }

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
        if (!link.valid()) { ASSERT_NO_FATAL_FAILURE(accept_link()); }
        uint32_t a = inet_addr(from ? from : "127.0.0.1");
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&a);
        ASSERT_EQ(hex(link.recv_n(9)), hex(rec_open(id, b[0], b[1], b[2], b[3])));
    }
    // Clients with numbers 1 to n, from 127.0.0.1.
    void add_clients(int n) {
        for (int id = 1; id <= n; id++) ASSERT_NO_FATAL_FAILURE(add_client(id));
    }
    // Starts the multiplexor and connects n clients.
    void start_with_clients(int n) {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(add_clients(n));
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
