// The load generator's checking is what makes every benchmark number
// trustworthy, so it is tested against an echo peer that breaks the stream
// on purpose (drops, repeats, swaps, crosses connections, flips a byte,
// hangs up) and against the real echo server, where it must pass; and the
// side-by-side benchmark suite that drives it.
#include <mutex>
#include <random>

#include "integration_harness.h"

using namespace itest;

// Reads an integer field such as "reorder" out of the loadgen's JSON line.
long long json_number(const std::string &json, const std::string &key) {
    auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : atoll(json.c_str() + at + key.size() + 3);
}

Result loadgen(std::vector<std::string> args, int timeout_ms = 20000) { return run_bin("loadgen", args, timeout_ms); }

// ------------------------------------------------------------- faulty peer

// One output piece: bytes [from, to) of connection `conn`'s input (kSelf:
// this connection's, kFlip: this connection's with their bits changed);
// to == 0 means "pass through from here on".
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

Script same(Plan p) { return Script{p, p}; }

class FaultyEcho {
  public:
    explicit FaultyEcho(Script script) : script_(std::move(script)) {}
    ~FaultyEcho() {
        stop_ = true;
        acceptor_.join();
        for (auto &t : conns_) t.join();
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(listener_.port()); }

  private:
    // What the plan makes of the inputs so far, and whether all of it is there.
    std::pair<Bytes, bool> render(const Plan &plan, int index) {
        Bytes out;
        for (const Piece &p : plan) {
            const Bytes &in = inputs_[p.conn >= 0 ? p.conn : index];
            size_t to = p.to ? std::min(p.to, in.size()) : in.size();
            Bytes b = p.from < to ? in.substr(p.from, to - p.from) : "";
            for (char &c : b) c = p.conn == kFlip ? char(c ^ 0x5A) : c;
            out += b;
            if (p.to == 0 || in.size() < p.to) return {out, false};
        }
        return {out, true};
    }
    void serve(Stream &s, int index) {
        Bytes in, out;
        bool open = true, complete = false;
        for (size_t sent = 0; open && !stop_ && !(complete && script_.hang_up); sent = out.size()) {
            open = s.recv_some(in, 50);
            {
                std::lock_guard<std::mutex> g(mu_);
                inputs_[index] = in;
                std::tie(out, complete) = render(index == 0 ? script_.first : script_.others, index);
            }
            if (out.size() > sent && !s.send(out.substr(sent))) break;
        }
    }

    Script script_;
    Listener listener_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::map<int, Bytes> inputs_;
    std::vector<std::thread> conns_;
    std::thread acceptor_{[this] {
        for (int index = 0; !stop_;)
            if (Stream s = listener_.accept(50); s.valid())
                conns_.emplace_back([this, i = index++, s = std::move(s)]() mutable { serve(s, i); });
    }};
};

Result stream_against(const FaultyEcho &peer, int conns, const std::string &mode = "stream") {
    if (mode == "ping")
        return loadgen({"--target", peer.target(), "--mode", "ping", "--conns", std::to_string(conns), "--size", "512", "--duration", "0.3",
                        "--drain", "0.3", "--json"});
    return loadgen({"--target", peer.target(), "--mode", "stream", "--conns", std::to_string(conns), "--duration", "0.3", "--size", "1000",
                    "--window", "65536", "--drain", "0.5", "--json"});
}

// What the checker must make of a peer: `kind` is the counter that names its
// fault (null: no fault, the run passes; "mismatches": any fault will do);
// `lost` the exact lost bytes, or -1 when the other counters may count too.
struct Case {
    std::string what;
    Script script;
    int conns;
    const char *kind;
    long long lost;
    const char *mode = "stream";
};

// Each fault must be named as what it is, and as nothing else, whether or
// not it starts and ends on the stream's 8-byte words; whatever the fault
// and wherever it falls, it never passes unnoticed; a clean peer passes; and
// every run ends on time: a lost message in a closed loop stalls its
// connection, and the run must report it rather than wait for its echo.
TEST(LoadgenChecking, EachFaultIsNamedAsItselfInTime) {
    // clang-format off
    std::vector<Case> cases = {
        {"clean", same({{kSelf, 0, 0}}), 2, nullptr, 0},
        {"100 bytes dropped", same({{kSelf, 0, 4096}, {kSelf, 4196, 0}}), 1, "loss", 100},
        {"3 bytes dropped off-word", same({{kSelf, 0, 4099}, {kSelf, 4102, 0}}), 1, "loss", 3},
        {"256 bytes again", same({{kSelf, 0, 8192}, {kSelf, 4096, 4352}, {kSelf, 8192, 0}}), 1, "dup", 0},
        {"5 bytes again off-word", same({{kSelf, 0, 8192}, {kSelf, 4101, 4106}, {kSelf, 8192, 0}}), 1, "dup", 0},
        {"two pieces swapped", same({{kSelf, 0, 4096}, {kSelf, 4608, 8192}, {kSelf, 4096, 4608}, {kSelf, 8192, 0}}), 1,
         "reorder", 0},
        {"two pieces swapped off-word",
         same({{kSelf, 0, 4100}, {kSelf, 4613, 8190}, {kSelf, 4100, 4613}, {kSelf, 8190, 0}}), 1, "reorder", 0},
        {"another connection's bytes", Script{{{kSelf, 0, 4096}, {1, 0, 256}, {kSelf, 4096, 0}}, {{kSelf, 0, 0}}}, 2,
         "mixup", 0},
        {"another connection's bytes off-word",
         Script{{{kSelf, 0, 4100}, {1, 3, 300}, {kSelf, 4100, 0}}, {{kSelf, 0, 0}}}, 2, "mixup", 0},
        {"one byte flipped", same({{kSelf, 0, 5000}, {kFlip, 5000, 5001}, {kSelf, 5001, 0}}), 1, "corrupt", 0},
        {"300 bytes flipped", same({{kSelf, 0, 5003}, {kFlip, 5003, 5303}, {kSelf, 5303, 0}}), 1, "corrupt", 0},
        {"hang-up", Script{{{kSelf, 0, 4096}}, {{kSelf, 0, 4096}}, true}, 1, "closed_early", -1},
        {"100 bytes dropped in a closed loop", same({{kSelf, 0, 4096}, {kSelf, 4196, 0}}), 1, "loss", -1, "ping"},
    };
    // clang-format on
    std::mt19937 rng(20261206);
    auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    for (int round = 0; round < 8; round++) {
        size_t at = pick(1000, 60000), len = pick(1, 300);
        // clang-format off
        const Plan plans[] = {
            {{kSelf, 0, at}, {kSelf, at + len, 0}},                               // drop
            {{kSelf, 0, at + len}, {kSelf, at, at + len}, {kSelf, at + len, 0}},  // repeat
            {{kSelf, 0, at}, {kSelf, at + len, at + 2 * len}, {kSelf, at, at + len}, {kSelf, at + 2 * len, 0}},  // swap
            {{kSelf, 0, at}, {kFlip, at, at + len}, {kSelf, at + len, 0}},        // flip
        };
        // clang-format on
        cases.push_back({"random fault " + std::to_string(round % 4) + " of " + std::to_string(len) + " bytes at " + std::to_string(at),
                         same(plans[round % 4]), 1, "mismatches", -1});
    }
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        FaultyEcho peer(c.script);
        auto t0 = Clock::now();
        Result r = stream_against(peer, c.conns, c.mode);
        EXPECT_LT(Clock::now() - t0, milliseconds(5000));
        EXPECT_EQ(r.status, c.kind ? 1 : 0) << r.out;
        EXPECT_NE(r.out.find(c.kind ? "\"ok\":false" : "\"ok\":true"), std::string::npos) << r.out;
        for (const char *k : {"loss", "dup", "reorder", "mixup", "corrupt", "closed_early"})
            if (c.lost >= 0 && !(c.kind && std::string(k) == c.kind)) { EXPECT_EQ(json_number(r.out, k), 0) << k; }
        if (c.kind) { EXPECT_GE(json_number(r.out, c.kind), 1) << c.kind << " in " << r.out; }
        if (c.lost >= 0) { EXPECT_EQ(json_number(r.out, "lost_bytes"), c.lost) << r.out; }
        if (!c.kind) { EXPECT_GT(json_number(r.out, "rx_bytes"), 8192) << r.out; }
    }
}

TEST(LoadgenChecking, RefusedConnectFailsAndUsageErrorsExitWithTwo) {
    std::string target = "127.0.0.1:" + std::to_string(free_port());  // nobody listens: refused
    for (const char *mode : {"ping", "connrate", "idle"}) {
        Result r = loadgen({"--target", target, "--mode", mode, "--conns", "2", "--duration", "0.2", "--drain", "0.2", "--json"});
        EXPECT_EQ(r.status, 1) << mode << ": " << r.out;
        EXPECT_GE(json_number(r.out, "connect_failed"), 1) << mode << ": " << r.out;
    }
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{{"--mode", "ping"},
                                                                              {"--target", "127.0.0.1:1", "--mode", "bogus"},
                                                                              {"--target", "nohost", "--mode", "ping"},
                                                                              {"--target", "127.0.0.1:1", "--conns", "0"},
                                                                              {"--target", "127.0.0.1:1", "--mode", "ping", "--oneway"}})
        EXPECT_EQ(loadgen(bad, 10000).status, 2) << ::testing::PrintToString(bad);
}

// ------------------------------------------------------------- echo server

// Every mode passes against the real echo server; some rows check one more
// number of the report: idle announces "ready N" first and sees every
// connection echo again, and the open loop keeps its rate (0.3 s at 1000/s:
// the schedule, not the echo, sets the count).
TEST(AgainstEchoServer, EveryModePasses) {
    Tool echo("echoserver", {"--threads", "2"});
    ASSERT_NE(echo.port(), 0);
    // clang-format off
    const struct { std::vector<std::string> args; const char *key, *first; long long low, high; } rows[] = {
        {{"--mode", "stream", "--conns", "4", "--size", "4088"}, "", "", 0, 0},
        {{"--mode", "stream", "--conns", "1", "--size", "65536", "--threads", "2"}, "", "", 0, 0},
        {{"--mode", "ping", "--conns", "50", "--size", "1"}, "", "", 0, 0},
        {{"--mode", "ping", "--conns", "50", "--rate", "2000", "--hogs", "1", "--threads", "2"}, "", "", 0, 0},
        {{"--mode", "connrate", "--conns", "4", "--sources", "4"}, "", "", 0, 0},
        {{"--mode", "idle", "--conns", "300"}, "msgs", "ready 300\n", 300, 300},
        {{"--mode", "ping", "--conns", "20", "--rate", "1000"}, "count", "", 290, 301},
    };
    // clang-format on
    for (auto &row : rows) {
        std::vector<std::string> args = {"--target", echo.target(), "--duration", "0.3", "--json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Result r = loadgen(args, 30000);
        SCOPED_TRACE(row.args[1] + " " + row.args[3] + ": " + r.out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(json_number(r.out, "mismatches"), 0);
        EXPECT_NE(r.out.find("\"ok\":true"), std::string::npos);
        EXPECT_EQ(r.out.rfind(row.first, 0), 0u);
        if (*row.key) { EXPECT_GE(json_number(r.out, row.key), row.low); }
        if (*row.key) { EXPECT_LE(json_number(r.out, row.key), row.high); }
    }
}

// A client that stops reading: the server stops reading it too, keeps what
// a send did not take, and once the client reads again every byte comes
// back in order.
TEST(AgainstEchoServer, ClientThatStopsReadingGetsEveryByteBackInOrder) {
    Tool echo("echoserver", {});
    Stream c = connect_to(echo.port());
    Bytes sent(8u << 20, 0);
    for (size_t i = 0; i < sent.size(); i++) sent[i] = char(i * 7 + i / 4099);
    bool ok = false;
    std::thread writer([&] { ok = c.send(sent); });
    std::this_thread::sleep_for(milliseconds(300));
    Bytes got = c.recv_n(sent.size(), 20000);
    writer.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes, or changed";
}

// ------------------------------------------------------------- the suite

class SideBySideSuite : public ::testing::Test {
  protected:
    // Processes whose environment carries the mark: everything the suite
    // started (its children inherit the environment).
    std::vector<pid_t> marked() { return procs_with("environ", mark + '\0'); }
    void SetUp() override {
        if (ts::emulated()) GTEST_SKIP() << "the suite starts the build's programs itself, and times them";
    }
    void TearDown() override {
        for (pid_t p : marked()) {  // never leave anything behind
            ADD_FAILURE() << "process " << p << " outlived the suite";
            kill(p, SIGKILL);
        }
    }
    std::vector<std::string> suite(const std::string &build, std::vector<std::string> extra) {
        std::vector<std::string> a{"/usr/bin/python3", std::string(TOVI_SOURCE_DIR) + "/bench/sidebyside.py",
                                   "--build",          build,
                                   "--reps",           "1",
                                   "--duration",       "0.3"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    bool gone() {
        return ts::wait_for([&] { return marked().empty(); }, 5000, 50);
    }
    ts::TempDir dir{"benchsuite"};
    std::string mark = "BENCH_SUITE_TEST_MARK=" + dir.path();
};

// A build folder with the load generator and the echo server only: the
// multiplexor's target is skipped and reported, the others run and the
// results table is written; nothing is left running.
TEST_F(SideBySideSuite, WritesResultsTableSkipsAMissingTargetAndLeavesNothingRunning) {
    std::string bin = dir.mkdirs("build/bin");
    for (const char *p : {"loadgen", "echoserver"}) ASSERT_EQ(symlink(bin_path(p).c_str(), (bin + "/" + p).c_str()), 0);
    Result r = ts::run(suite(dir / "build", {"--targets", "direct,haproxy,ours", "--scenarios", "closed1000", "--out", dir / "R.md"}),
                       120000, {mark});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char *k : {"target ours skipped: missing", "| missing |"})
        EXPECT_NE(r.out.find(k), std::string::npos) << k << " in " << r.out;
    std::string res = read_file(dir / "R.md");
    for (const char *k :
         {"| scenario | metric | direct | haproxy | ours | ours/haproxy | ours/direct |", "| 1,000 clients, 64 B, closed loop | messages/s",
          "- date: ", "- machine: ", "- commit: ", "mismatches: 0, always | 0 in all runs | yes"})
        EXPECT_NE(res.find(k), std::string::npos) << k << " in " << res;
    EXPECT_TRUE(gone());
}

TEST_F(SideBySideSuite, InterruptStopsEveryProcessItStarted) {
    ts::Child s;
    ASSERT_TRUE(
        s.spawn(suite(TOVI_BUILD_DIR, {"--targets", "haproxy", "--scenarios", "idle", "--duration", "30", "--out", dir / "R"}), {mark}));
    // Wait until the load generator runs against haproxy and its echo server.
    EXPECT_TRUE(ts::wait_for(
        [&] {
            for (pid_t p : marked())
                if (read_file("/proc/" + std::to_string(p) + "/cmdline").find("loadgen") != std::string::npos) return true;
            return false;
        },
        20000, 50))
        << "the load generator never started";
    EXPECT_GE(marked().size(), 4u);  // suite, echoserver, haproxy, loadgen
    s.signal(SIGINT);
    EXPECT_EQ(s.wait_exit(15000), 130) << "the suite did not stop on SIGINT";
    EXPECT_TRUE(gone());
    EXPECT_NE(access((dir / "R").c_str(), F_OK), 0) << "an interrupted run wrote results";
}
