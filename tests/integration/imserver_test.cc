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

// Straight to the server as a link that stops reading: the echoes of many
// reads back up (what a send does not take is kept for later), and when the
// link reads again every byte comes back to its own number in order,
// records longer than 4087 bytes split. Data for a closed number is dropped.
TEST(ImServerLink, EchoBacklogKeepsEachNumbersBytesInOrder) {
    Instance dir;
    ImServer ims("echo", dir.root());
    ASSERT_NE(ims.port(), 0);
    Stream link = connect_to(ims.port());
    ASSERT_TRUE(link.valid());
    ASSERT_TRUE(link.send(hello()));
    ASSERT_EQ(hex(link.recv_n(3)), hex(hello()));
    Bytes want[2], stream = rec_open(1, 127, 0, 0, 1) + rec_open(2, 127, 0, 0, 1);
    uint32_t seed = 7;
    while (stream.size() < (8u << 20)) {
        seed = seed * 1103515245u + 12345u;
        int id = 1 + int((seed >> 16) & 1);
        Bytes d(1 + (seed >> 8) % 6000, 0);
        for (size_t j = 0; j < d.size(); j++) d[j] = char((seed >> 3) + j * 13);
        stream += rec_data(id, d);
        want[id - 1] += d;
    }
    stream += rec_close(2) + rec_data(2, Bytes("dropped")) + rec_data(1, Bytes("last"));
    want[0] += "last";
    bool sent = false;
    std::thread writer([&] { sent = link.send(stream); });
    std::this_thread::sleep_for(milliseconds(300));
    Bytes got[2];
    auto deadline = Clock::now() + milliseconds(20000);
    while (got[0].size() < want[0].size() && Clock::now() < deadline) {
        Bytes hdr = link.recv_n(9, remaining_ms(deadline));
        ASSERT_EQ(hdr.size(), 9u);
        ASSERT_EQ(hdr[0], '\x03');
        uint32_t id = (uint32_t(uint8_t(hdr[1])) << 24) | (uint32_t(uint8_t(hdr[2])) << 16) |
                      (uint32_t(uint8_t(hdr[3])) << 8) | uint8_t(hdr[4]);
        uint32_t n = (uint32_t(uint8_t(hdr[5])) << 24) | (uint32_t(uint8_t(hdr[6])) << 16) |
                     (uint32_t(uint8_t(hdr[7])) << 8) | uint8_t(hdr[8]);
        ASSERT_TRUE(id == 1 || id == 2) << hex(hdr);
        ASSERT_LE(n, 4087u);
        got[id - 1] += link.recv_n(n, remaining_ms(deadline));
    }
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(got[0] == want[0]) << got[0].size() << " of " << want[0].size() << " bytes, or changed";
    EXPECT_TRUE(got[1] == want[1]) << got[1].size() << " of " << want[1].size() << " bytes, or changed";
    EXPECT_EQ(hex(link.recv_for(200)), "") << "nothing after the last record";
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
