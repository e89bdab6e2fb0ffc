// The reference IM server behind the real multiplexor: echo mode under many
// clients (no byte lost, reordered or mixed up), chat mode, and --help.
#include "integration_harness.h"

namespace itest {
namespace {

// Starts bin/imserver in its own process group on an ephemeral port.
class ImServer {
  public:
    explicit ImServer(const std::string &mode, const std::string &dir) {
        port_file_ = dir + "/imserver.port";
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            std::string bin = bin_path("imserver");
            execl(bin.c_str(), bin.c_str(), "--mode", mode.c_str(), "--port", "0", "--port-file",
                  port_file_.c_str(), nullptr);
            _exit(127);
        }
        setpgid(pid_, pid_);
        auto deadline = Clock::now() + milliseconds(5000);
        while (Clock::now() < deadline && port_ == 0) {
            port_ = uint16_t(atoi(read_file(port_file_).c_str()));
            if (!port_) std::this_thread::sleep_for(milliseconds(10));
        }
    }
    ~ImServer() {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
    }
    uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string port_file_;
};

class WithImServer : public ::testing::Test {
  protected:
    void start(const std::string &mode) {
        ims = std::make_unique<ImServer>(mode, inst.root());
        ASSERT_NE(ims->port(), 0);
        inst.server_port(ims->port());
        inst.set("orv.log.orv_mux.severity", "Notice");
        inst.write_config();
        ASSERT_TRUE(mux.start(inst));
        ASSERT_NE(mux.wait_port(inst.pid_path()), 0) << mux.err();
    }
    Instance inst;
    std::unique_ptr<ImServer> ims;
    MuxProcess mux;
};

TEST_F(WithImServer, EchoKeepsEveryClientsBytesInOrder) {
    ASSERT_NO_FATAL_FAILURE(start("echo"));
    const int kClients = 120, kThreads = 4, kRounds = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; t++) {
        ts.emplace_back([&, t] {
            std::vector<Stream> cs;
            for (int i = t; i < kClients; i += kThreads) cs.push_back(connect_to(mux.port()));
            uint32_t seed = 12345u + uint32_t(t);
            for (int r = 0; r < kRounds && failures == 0; r++) {
                std::vector<Bytes> sent(cs.size());
                for (size_t k = 0; k < cs.size(); k++) {
                    seed = seed * 1103515245u + 12345u;
                    size_t len = 1 + (seed >> 8) % 9000;
                    Bytes b(len, 0);
                    int who = t + int(k) * kThreads;
                    for (size_t j = 0; j < len; j++) b[j] = char((who * 31 + r * 7 + int(j)) & 0xff);
                    sent[k] = b;
                    if (!cs[k].send(b)) failures++;
                }
                for (size_t k = 0; k < cs.size(); k++)
                    if (cs[k].recv_n(sent[k].size(), 10000) != sent[k]) failures++;
            }
        });
    }
    for (auto &t : ts) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(inst.wait_log("client started. [total=119]"));
}

TEST_F(WithImServer, ChatSendsEveryLineToEveryone) {
    ASSERT_NO_FATAL_FAILURE(start("chat"));
    Stream a = connect_to(mux.port());
    Stream b = connect_to(mux.port());
    ASSERT_TRUE(inst.wait_log("client started.", 2));
    ASSERT_TRUE(a.send("hello "));
    ASSERT_TRUE(a.send("there\nand"));
    EXPECT_EQ(b.recv_n(12), "hello there\n");
    EXPECT_EQ(a.recv_n(12), "hello there\n");
    ASSERT_TRUE(b.send("hi\n"));
    EXPECT_EQ(a.recv_n(3), "hi\n");
    EXPECT_EQ(b.recv_n(3), "hi\n");
    a.close();
    ASSERT_TRUE(inst.wait_log("client closed."));
    ASSERT_TRUE(b.send("alone\n"));
    EXPECT_EQ(b.recv_n(6), "alone\n") << "an unfinished line of a closed client is dropped";
}

TEST(ImServerProgram, HelpAndBadArguments) {
    Result r = run_program({bin_path("imserver"), "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: imserver [options]\n", 0), 0u);
    EXPECT_NE(r.out.find("--mode echo|chat"), std::string::npos);
    r = run_program({bin_path("imserver"), "--mode", "shout"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown mode \"shout\""), std::string::npos);
}

}  // namespace
}  // namespace itest
