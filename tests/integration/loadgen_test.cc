// The load generator's checking is what makes every benchmark number
// trustworthy, so it is tested against an echo peer that breaks the stream
// on purpose (drops, repeats, swaps, crosses connections, flips a byte,
// hangs up) and against the real echo server, where it must pass.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

struct RunResult {
    int status = -1;  // exit status, or -1 when killed for running too long
    std::string out;
    double seconds = 0;
};

// Starts a program with its standard output on a pipe; env entries are
// added to its environment.
pid_t spawn(const std::vector<std::string> &args, int &out_fd, const std::vector<std::string> &env = {}) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        for (auto &e : env) putenv(strdup(e.c_str()));
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    out_fd = pipefd[0];
    return pid;
}

// Runs a program with a hard time limit; its standard output is returned.
RunResult run_program(const std::vector<std::string> &args, double limit_s,
                      const std::vector<std::string> &env = {}) {
    RunResult r;
    int pipefd[2];
    auto t0 = Clock::now();
    pid_t pid = spawn(args, pipefd[0], env);
    if (pid < 0) return r;
    auto deadline = t0 + std::chrono::duration<double>(limit_s);
    char buf[4096];
    for (;;) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) break;
        pollfd p{pipefd[0], POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        ssize_t n = read(pipefd[0], buf, sizeof buf);
        if (n <= 0) break;
        r.out.append(buf, size_t(n));
    }
    close(pipefd[0]);
    int st = 0;
    if (Clock::now() >= deadline) kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (WIFEXITED(st) && Clock::now() < deadline + std::chrono::seconds(1)) r.status = WEXITSTATUS(st);
    return r;
}

// Sends sig to a child and reaps it; SIGKILL when it is still there after
// the grace time. Returns the wait status, or -1 when it had to be killed.
int stop_child(pid_t pid, int sig, double grace_s) {
    kill(pid, sig);
    auto deadline = Clock::now() + std::chrono::duration<double>(grace_s);
    int st = 0;
    while (Clock::now() < deadline) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return st;
        if (r < 0) return -1;
        usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return -1;
}

// Reads an integer field such as "reorder" out of the loadgen's JSON line.
long long json_number(const std::string &json, const std::string &key) {
    auto at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return atoll(json.c_str() + at + key.size() + 3);
}

const std::string kLoadgen = std::string(TOVI_BUILD_DIR) + "/bin/loadgen";
const std::string kEchoServer = std::string(TOVI_BUILD_DIR) + "/bin/echoserver";

// ------------------------------------------------------------- faulty peer

// One output piece: bytes [from, to) of connection `conn`'s input
// (kSelf = this connection); to == 0 means "pass through from here on".
// kFlip sends bytes [from, to) of this connection with their bits changed.
struct Piece {
    int conn;
    size_t from, to;
};
constexpr int kSelf = -1, kFlip = -2;
using Plan = std::vector<Piece>;

// What the peer sends back on its first and on every later connection.
struct Script {
    Plan first, others;
    bool hang_up = false;  // close once the plan is sent
};

const Script kClean{{{kSelf, 0, 0}}, {{kSelf, 0, 0}}};

Script same(Plan p) { return Script{p, p}; }

class FaultyEcho {
  public:
    explicit FaultyEcho(Script script) : script_(std::move(script)) {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(lfd_, 64);
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~FaultyEcho() {
        stop_ = true;
        cv_.notify_all();
        acceptor_.join();
        for (auto &t : conns_) t.join();
        close(lfd_);
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    void accept_loop() {
        int index = 0;
        while (!stop_) {
            pollfd p{lfd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval tv{0, 50000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            conns_.emplace_back([this, fd, index] { serve(fd, index); });
            index++;
        }
    }

    void serve(int fd, int index) {
        const Plan &pieces = index == 0 ? script_.first : script_.others;
        size_t at = 0;       // current piece
        size_t done = 0;     // bytes of it already sent
        size_t in_len = 0;   // bytes of my input so far
        char buf[8192];
        while (!stop_) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n == 0) break;
            if (n > 0) {
                std::lock_guard<std::mutex> g(mu_);
                input_[index].append(buf, size_t(n));
                in_len = input_[index].size();
                cv_.notify_all();
            }
            // Send every piece whose bytes are here.
            while (at < pieces.size()) {
                Piece p = pieces[at];
                std::string chunk;
                {
                    std::unique_lock<std::mutex> g(mu_);
                    if (p.conn == kFlip) {
                        if (in_len < p.to) break;
                        chunk = input_[index].substr(p.from, p.to - p.from);
                        for (char &ch : chunk) ch = char(ch ^ 0x5A);
                        at++;
                    } else {
                        int src = p.conn == kSelf ? index : p.conn;
                        if (p.conn >= 0)  // wait briefly for the other connection
                            cv_.wait_for(g, std::chrono::seconds(2),
                                         [&] { return stop_ || input_[src].size() >= p.to; });
                        const std::string &in = input_[src];
                        size_t from = p.from + done;
                        size_t to = p.to == 0 ? in.size() : std::min(p.to, in.size());
                        if (to > from) chunk = in.substr(from, to - from);
                        done += chunk.size();
                        if (p.to != 0 && p.from + done >= p.to) {
                            at++;
                            done = 0;
                        }
                    }
                }
                if (!chunk.empty() && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) {
                    at = pieces.size();
                    break;
                }
                if (chunk.empty()) break;
            }
            if (at == pieces.size() && script_.hang_up) break;
        }
        close(fd);
    }

    Script script_;
    int lfd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> conns_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::map<int, std::string> input_;
};

RunResult stream_against(const FaultyEcho &peer, int conns) {
    return run_program({kLoadgen, "--target", peer.target(), "--mode", "stream", "--conns",
                        std::to_string(conns), "--duration", "0.3", "--size", "1000", "--window",
                        "65536", "--drain", "0.5", "--json"},
                       20);
}

// ------------------------------------------------------------- tests

class LoadgenChecking : public ::testing::Test {
  protected:
    void expect_only(const RunResult &r, const std::string &kind) {
        ASSERT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("\"ok\":false"), std::string::npos) << r.out;
        for (const char *k : {"loss", "dup", "reorder", "mixup", "corrupt", "closed_early"}) {
            if (k == kind) EXPECT_GE(json_number(r.out, k), 1) << k << " in " << r.out;
            else EXPECT_EQ(json_number(r.out, k), 0) << k << " in " << r.out;
        }
    }
};

TEST_F(LoadgenChecking, CleanPeerPasses) {
    FaultyEcho peer(kClean);
    RunResult r = stream_against(peer, 2);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(json_number(r.out, "mismatches"), 0) << r.out;
    EXPECT_GT(json_number(r.out, "rx_bytes"), 8192) << r.out;
}

// Each fault must be named as what it is, and as nothing else, whether or
// not it starts and ends on the stream's 8-byte words.
TEST_F(LoadgenChecking, EachFaultIsNamedAsItself) {
    const struct {
        const char *what;
        Script script;
        int conns;
        const char *kind;
        long long lost;  // exact lost bytes expected
    } cases[] = {
        {"100 bytes dropped", same({{kSelf, 0, 4096}, {kSelf, 4196, 0}}), 1, "loss", 100},
        {"3 bytes dropped off-word", same({{kSelf, 0, 4099}, {kSelf, 4102, 0}}), 1, "loss", 3},
        {"256 bytes again", same({{kSelf, 0, 8192}, {kSelf, 4096, 4352}, {kSelf, 8192, 0}}), 1, "dup", 0},
        {"5 bytes again off-word", same({{kSelf, 0, 8192}, {kSelf, 4101, 4106}, {kSelf, 8192, 0}}), 1, "dup", 0},
        {"two pieces swapped",
         same({{kSelf, 0, 4096}, {kSelf, 4608, 8192}, {kSelf, 4096, 4608}, {kSelf, 8192, 0}}), 1, "reorder", 0},
        {"two pieces swapped off-word",
         same({{kSelf, 0, 4100}, {kSelf, 4613, 8190}, {kSelf, 4100, 4613}, {kSelf, 8190, 0}}), 1, "reorder", 0},
        {"another connection's bytes",
         Script{{{kSelf, 0, 4096}, {1, 0, 256}, {kSelf, 4096, 0}}, {{kSelf, 0, 0}}}, 2, "mixup", 0},
        {"another connection's bytes off-word",
         Script{{{kSelf, 0, 4100}, {1, 3, 300}, {kSelf, 4100, 0}}, {{kSelf, 0, 0}}}, 2, "mixup", 0},
        {"one byte flipped", same({{kSelf, 0, 5000}, {kFlip, 5000, 5001}, {kSelf, 5001, 0}}), 1, "corrupt", 0},
        {"300 bytes flipped", same({{kSelf, 0, 5003}, {kFlip, 5003, 5303}, {kSelf, 5303, 0}}), 1, "corrupt", 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        FaultyEcho peer(c.script);
        RunResult r = stream_against(peer, c.conns);
        expect_only(r, c.kind);
        EXPECT_EQ(json_number(r.out, "lost_bytes"), c.lost) << r.out;
    }
}

// Whatever the fault and wherever it falls, it must never pass unnoticed.
TEST_F(LoadgenChecking, RandomFaultsNeverPass) {
    std::mt19937 rng(20261206);
    auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    for (int round = 0; round < 8; round++) {
        size_t at = pick(1000, 60000);
        size_t len = pick(1, 300);
        Plan plan;
        std::string what;
        switch (round % 4) {
        case 0:
            what = "drop";
            plan = {{kSelf, 0, at}, {kSelf, at + len, 0}};
            break;
        case 1:
            what = "repeat";
            plan = {{kSelf, 0, at + len}, {kSelf, at, at + len}, {kSelf, at + len, 0}};
            break;
        case 2:
            what = "swap";
            plan = {{kSelf, 0, at}, {kSelf, at + len, at + 2 * len}, {kSelf, at, at + len}, {kSelf, at + 2 * len, 0}};
            break;
        default:
            what = "flip";
            plan = {{kSelf, 0, at}, {kFlip, at, at + len}, {kSelf, at + len, 0}};
            break;
        }
        SCOPED_TRACE(what + " of " + std::to_string(len) + " bytes at " + std::to_string(at));
        FaultyEcho peer(same(plan));
        RunResult r = stream_against(peer, 1);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_GE(json_number(r.out, "mismatches"), 1) << r.out;
    }
}

TEST_F(LoadgenChecking, HangUpIsClosedEarly) {
    FaultyEcho peer(Script{{{kSelf, 0, 4096}}, {{kSelf, 0, 4096}}, true});
    RunResult r = stream_against(peer, 1);
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_GE(json_number(r.out, "closed_early"), 1) << r.out;
}

// A lost message in a closed loop stalls the connection: the run must still
// end on time and report it rather than wait for an echo that never comes.
TEST_F(LoadgenChecking, LossInClosedLoopEndsOnTime) {
    FaultyEcho peer(same({{kSelf, 0, 4096}, {kSelf, 4196, 0}}));
    RunResult r = run_program({kLoadgen, "--target", peer.target(), "--mode", "ping", "--conns", "1",
                               "--size", "512", "--duration", "0.3", "--drain", "0.3", "--json"},
                              20);
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_GE(json_number(r.out, "loss"), 1) << r.out;
    EXPECT_LT(r.seconds, 5) << r.out;
}

TEST_F(LoadgenChecking, RefusedConnectFails) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);  // bound, never listening
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    std::string target = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    for (const char *mode : {"ping", "connrate", "idle"}) {
        RunResult r = run_program({kLoadgen, "--target", target, "--mode", mode, "--conns", "2",
                                   "--duration", "0.2", "--drain", "0.2", "--json"},
                                  20);
        EXPECT_EQ(r.status, 1) << mode << ": " << r.out;
        EXPECT_GE(json_number(r.out, "connect_failed"), 1) << mode << ": " << r.out;
    }
    close(fd);
}

TEST_F(LoadgenChecking, UsageErrorsExitWithTwo) {
    EXPECT_EQ(run_program({kLoadgen, "--mode", "ping"}, 10).status, 2);
    EXPECT_EQ(run_program({kLoadgen, "--target", "127.0.0.1:1", "--mode", "bogus"}, 10).status, 2);
    EXPECT_EQ(run_program({kLoadgen, "--target", "nohost", "--mode", "ping"}, 10).status, 2);
    EXPECT_EQ(run_program({kLoadgen, "--target", "127.0.0.1:1", "--conns", "0"}, 10).status, 2);
    EXPECT_EQ(run_program({kLoadgen, "--target", "127.0.0.1:1", "--mode", "ping", "--oneway"}, 10).status, 2);
}

// ------------------------------------------------------------- echo server

class AgainstEchoServer : public ::testing::Test {
  protected:
    void SetUp() override {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            execl(kEchoServer.c_str(), kEchoServer.c_str(), "--port", "0", "--threads", "2", (char *)nullptr);
            _exit(127);
        }
        close(out[1]);
        // The first line names the port: "echoserver listening on ADDR:PORT".
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1)
            line += c;
        close(out[0]);
        auto colon = line.rfind(':');
        ASSERT_NE(colon, std::string::npos) << line;
        target_ = "127.0.0.1:" + std::to_string(atoi(line.c_str() + colon + 1));
    }
    void TearDown() override {
        if (pid_ > 0) {
            int st = stop_child(pid_, SIGTERM, 2);
            EXPECT_NE(st, -1) << "echoserver ignored SIGTERM";
            EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << "echoserver status " << st;
        }
    }
    RunResult loadgen(std::vector<std::string> extra) {
        std::vector<std::string> args{kLoadgen, "--target", target_, "--duration", "0.3", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_program(args, 30);
    }
    pid_t pid_ = -1;
    std::string target_;
};

TEST_F(AgainstEchoServer, EveryModePasses) {
    const std::vector<std::vector<std::string>> runs = {
        {"--mode", "stream", "--conns", "4", "--size", "4088"},
        {"--mode", "stream", "--conns", "1", "--size", "65536", "--threads", "2"},
        {"--mode", "ping", "--conns", "50", "--size", "1"},
        {"--mode", "ping", "--conns", "50", "--rate", "2000", "--hogs", "1", "--threads", "2"},
        {"--mode", "connrate", "--conns", "4", "--sources", "4"},
    };
    for (auto &extra : runs) {
        RunResult r = loadgen(extra);
        std::string what = extra[1] + " " + extra[3];
        EXPECT_EQ(r.status, 0) << what << ": " << r.out;
        EXPECT_EQ(json_number(r.out, "mismatches"), 0) << what << ": " << r.out;
        EXPECT_NE(r.out.find("\"ok\":true"), std::string::npos) << what << ": " << r.out;
    }
}

TEST_F(AgainstEchoServer, IdleAnnouncesReadyThenEchoesAgain) {
    RunResult r = loadgen({"--mode", "idle", "--conns", "300"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("ready 300\n", 0), 0u) << r.out;  // first line, before the report
    EXPECT_EQ(json_number(r.out, "msgs"), 300) << r.out;
}

TEST_F(AgainstEchoServer, OpenLoopKeepsItsRate) {
    RunResult r = loadgen({"--mode", "ping", "--conns", "20", "--rate", "1000"});
    EXPECT_EQ(r.status, 0) << r.out;
    // 0.3 s at 1000/s: the schedule, not the echo, sets the count.
    long long n = json_number(r.out, "count");
    EXPECT_GE(n, 290) << r.out;
    EXPECT_LE(n, 301) << r.out;
}

// ------------------------------------------------------------- the suite

// Processes whose environment carries the mark: everything the suite
// started (its children inherit the environment), the suite included.
std::vector<pid_t> marked_processes(const std::string &mark) {
    std::vector<pid_t> found;
    DIR *d = opendir("/proc");
    if (!d) return found;
    while (dirent *e = readdir(d)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/environ", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::string env = ss.str();
        if (env.find(mark + '\0') != std::string::npos) found.push_back(pid);
    }
    closedir(d);
    return found;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class SideBySideSuite : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/benchsuite.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        mark_ = "BENCH_SUITE_TEST_MARK=" + std::to_string(getpid()) + "-" + dir_.substr(dir_.rfind('.') + 1);
    }
    void TearDown() override {
        for (pid_t p : marked_processes(mark_)) {  // never leave anything behind
            ADD_FAILURE() << "process " << p << " outlived the suite";
            kill(p, SIGKILL);
        }
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    std::vector<std::string> suite(const std::string &build, std::vector<std::string> extra) {
        std::vector<std::string> a{"/usr/bin/python3", std::string(TOVI_SOURCE_DIR) + "/bench/sidebyside.py",
                                   "--build", build, "--reps", "1", "--duration", "0.3"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    bool wait_gone(double seconds) {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (!marked_processes(mark_).empty()) {
            if (Clock::now() > deadline) return false;
            usleep(50000);
        }
        return true;
    }
    std::string dir_, mark_;
};

TEST_F(SideBySideSuite, WritesResultsTableAndLeavesNothingRunning) {
    std::string out = dir_ + "/RESULTS.md";
    RunResult r = run_program(
        suite(TOVI_BUILD_DIR, {"--targets", "direct,haproxy", "--scenarios", "closed1000", "--out", out}), 120,
        {mark_});
    EXPECT_EQ(r.status, 0) << r.out;
    std::string res = slurp(out);
    EXPECT_NE(res.find("| scenario | metric | direct | haproxy | ours | ours/haproxy | ours/direct |"),
              std::string::npos) << res;
    EXPECT_NE(res.find("| 1,000 clients, 64 B, closed loop | messages/s"), std::string::npos) << res;
    for (const char *k : {"- date: ", "- machine: ", "- commit: ", "mismatches: 0, always | 0 in all runs | yes"})
        EXPECT_NE(res.find(k), std::string::npos) << k << " in " << res;
    EXPECT_TRUE(wait_gone(5));
}

TEST_F(SideBySideSuite, MissingTargetIsSkippedAndReported) {
    // A build folder with the load generator and the echo server only.
    std::string bin = dir_ + "/build/bin";
    ASSERT_EQ(system(("mkdir -p '" + bin + "'").c_str()), 0);
    for (const char *p : {"loadgen", "echoserver"})
        ASSERT_EQ(symlink((std::string(TOVI_BUILD_DIR) + "/bin/" + p).c_str(), (bin + "/" + p).c_str()), 0);
    RunResult r = run_program(
        suite(dir_ + "/build", {"--targets", "direct,ours", "--scenarios", "size1", "--out", dir_ + "/R.md"}),
        120, {mark_});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("target ours skipped: missing"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("| missing |"), std::string::npos) << r.out;
}

TEST_F(SideBySideSuite, InterruptStopsEveryProcessItStarted) {
    int out = -1;
    pid_t pid = spawn(suite(TOVI_BUILD_DIR, {"--targets", "haproxy", "--scenarios", "idle", "--duration", "30",
                                             "--out", dir_ + "/R.md"}),
                      out, {mark_});
    ASSERT_GT(pid, 0);
    // Wait until the load generator runs against haproxy and its echo server.
    bool busy = false;
    for (int i = 0; i < 400 && !busy; i++) {
        usleep(50000);
        for (pid_t p : marked_processes(mark_))
            if (slurp("/proc/" + std::to_string(p) + "/cmdline").find("loadgen") != std::string::npos) busy = true;
    }
    EXPECT_TRUE(busy) << "the load generator never started";
    EXPECT_GE(marked_processes(mark_).size(), 4u);  // suite, echoserver, haproxy, loadgen
    int st = stop_child(pid, SIGINT, 15);
    EXPECT_NE(st, -1) << "the suite did not stop on SIGINT";
    EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 130) << "status " << st;
    close(out);
    EXPECT_TRUE(wait_gone(5));
    EXPECT_NE(access((dir_ + "/R.md").c_str(), F_OK), 0) << "an interrupted run wrote results";
}

}  // namespace
