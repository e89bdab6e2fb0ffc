// The reference IM server: behind the real multiplexor in echo mode under
// many clients (no byte lost, reordered or mixed up) and in chat mode; as a
// link of its own with a backlog of echoes and in discard mode; --help.
#include <atomic>

#include "integration_harness.h"

using namespace itest;

class WithImServer : public RelayFixture {
  protected:
    void start_with(const std::string &mode) {
        ims = std::make_unique<Tool>("imserver", std::vector<std::string>{"--mode", mode});
        ASSERT_NE(ims->port(), 0);
        inst.server_port(ims->port());
        inst.set("orv.log.orv_mux.severity", "Notice");
        ASSERT_NO_FATAL_FAILURE(start());
    }
    std::unique_ptr<Tool> ims;
};

TEST_F(WithImServer, EchoKeepsEveryClientsBytesInOrder) {
    ASSERT_NO_FATAL_FAILURE(start_with("echo"));
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
                    sent[k].resize(1 + (seed >> 8) % 9000);
                    int who = t + int(k) * kThreads;
                    for (size_t j = 0; j < sent[k].size(); j++) sent[k][j] = char((who * 31 + r * 7 + int(j)) & 0xff);
                    if (!cs[k].send(sent[k])) failures++;
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
    ASSERT_NO_FATAL_FAILURE(start_with("chat"));
    Stream a = connect_to(mux.port()), b = connect_to(mux.port());
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

// Straight to the server as a link: the hello is answered, and then
// `stream` goes out.
Stream link_to(const Tool &ims) {
    Stream link = connect_to(ims.port());
    EXPECT_TRUE(link.valid() && link.send(hello()));
    EXPECT_EQ(hex(link.recv_n(3)), hex(hello()));
    return link;
}

// A link that stops reading: the echoes of many reads back up (what a send
// does not take is kept for later), and when the link reads again every
// byte comes back to its own number in order, records longer than 4087
// bytes split. Data for a closed number is dropped.
TEST(ImServerLink, EchoBacklogKeepsEachNumbersBytesInOrder) {
    Tool ims("imserver", {"--mode", "echo"});
    Stream link = link_to(ims);
    Bytes want[2], stream = rec_open(1, 127, 0, 0, 1) + rec_open(2, 127, 0, 0, 1);
    for (uint32_t seed = 7; stream.size() < (8u << 20);) {
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
    for (auto end = Clock::now() + milliseconds(20000); got[0].size() < want[0].size() && Clock::now() < end;) {
        Record r = link.record(remaining_ms(end));
        ASSERT_TRUE(r.type == 3 && (r.id == 1 || r.id == 2)) << r.type << " " << r.id;
        ASSERT_LE(r.data.size(), 4087u);
        got[r.id - 1] += r.data;
    }
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(got[0] == want[0]) << got[0].size() << " of " << want[0].size() << " bytes, or changed";
    EXPECT_TRUE(got[1] == want[1]) << got[1].size() << " of " << want[1].size() << " bytes, or changed";
    EXPECT_EQ(hex(link.recv_for(200)), "") << "nothing after the last record";
}

// Discard mode takes records and answers nothing but the hello, so a
// one-way stream through the multiplexor measures the relay alone.
TEST(ImServerLink, DiscardTakesDataAndSendsNothingBack) {
    Tool ims("imserver", {"--mode", "discard"});
    Stream link = link_to(ims);
    ASSERT_TRUE(link.send(rec_open(1, 127, 0, 0, 1) + rec_data(1, Bytes(100000, 'd')) + rec_data(1, "tail")));
    EXPECT_EQ(hex(link.recv_for(300)), "") << "discard mode answered";
    ASSERT_TRUE(link.send(rec_close(1)));
    EXPECT_EQ(hex(link.recv_for(100)), "");
    EXPECT_TRUE(link.send(rec_open(2, 127, 0, 0, 1))) << "the link stays open";
}

TEST(ImServerProgram, HelpAndBadArguments) {
    Result r = run_bin("imserver", {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: imserver [options]\n", 0), 0u);
    EXPECT_NE(r.out.find("--mode echo|chat"), std::string::npos);
    r = run_bin("imserver", {"--mode", "shout"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown mode \"shout\""), std::string::npos);
}
