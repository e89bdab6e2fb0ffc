// The relay under bursts: runs of client records read at once, client-bound
// bytes sent straight from the server link or through the client's queue
// when its socket is full, and the byte counts that come out of both; the
// reference server's discard mode.
#include "integration_harness.h"

namespace itest {
namespace {

class RelayBurst : public RelayFixture {};

uint32_t be32(const Bytes &b, size_t at) {
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
           (uint32_t(uint8_t(b[at + 2])) << 8) | uint8_t(b[at + 3]);
}

Bytes pattern(size_t n, int salt) {
    Bytes b(n, 0);
    for (size_t i = 0; i < n; i++) b[i] = char((i * 7 + size_t(salt) * 13 + i / 251) & 0xff);
    return b;
}

// A client that sends far more than one record at once: every record holds
// at most 4087 bytes, the bytes come through intact, and the close line
// counts exactly the records that went out (headers included).
TEST_F(RelayBurst, LongBurstBecomesRecordsOfAtMost4087AndIsCountedExactly) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    const Bytes big = pattern(300000, 1);
    std::thread writer([&] { clients[0].send(big); });
    Bytes got;
    uint64_t on_link = 9;  // the open record
    int records = 0;
    while (got.size() < big.size()) {
        Bytes hdr = link.recv_n(9);
        ASSERT_EQ(hdr.size(), 9u) << "after " << got.size() << " bytes";
        ASSERT_EQ(hex(hdr.substr(0, 5)), hex(Bytes("\x03\x00\x00\x00\x01", 5)));
        uint32_t n = be32(hdr, 5);
        ASSERT_GE(n, 1u);
        ASSERT_LE(n, 4087u);
        Bytes d = link.recv_n(n);
        ASSERT_EQ(d.size(), n);
        got += d;
        on_link += 9 + n;
        records++;
    }
    writer.join();
    ASSERT_TRUE(got == big) << "bytes changed on the way";
    EXPECT_GE(records, 74);
    clients[0].close();
    ASSERT_EQ(hex(link.recv_n(5)), hex(rec_close(1)));
    on_link += 5;
    EXPECT_TRUE(inst.wait_log("[127.0.0.1][1]: client closed. [time=", 1, 10000));
    EXPECT_NE(inst.log().find("[bytes=" + std::to_string(on_link) + "]"), std::string::npos)
        << "expected " << on_link << " bytes in:\n"
        << inst.log();
}

// One client does not read for a while, so its socket fills and the rest
// must wait in its queue; another keeps getting small pieces meanwhile, each
// straight from the link. Both streams arrive whole and in order, and the
// slow client's later bytes never overtake its queued ones.
TEST_F(RelayBurst, FullClientSocketQueuesWithoutReorderingWhileOthersFlow) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    ASSERT_NO_FATAL_FAILURE(add_client(2));
    const Bytes slow = pattern(3 * 1024 * 1024, 2);
    Bytes quick_all;
    std::thread feeder([&] {
        size_t off = 0;
        int k = 0;
        while (off < slow.size()) {
            size_t n = std::min<size_t>(slow.size() - off, size_t(20000 + (k % 5) * 9000));
            Bytes piece = pattern(50 + size_t(k % 7), k + 100);
            link.send(rec_data(1, slow.substr(off, n)) + rec_data(2, piece));
            quick_all += piece;
            off += n;
            k++;
        }
    });
    // The quick client reads all along; the slow one only after a pause.
    Bytes quick_got;
    auto deadline = Clock::now() + milliseconds(400);
    while (Clock::now() < deadline) quick_got += clients[1].recv_for(20);
    feeder.join();
    Bytes slow_got = clients[0].recv_n(slow.size(), 20000);
    quick_got += clients[1].recv_n(quick_all.size() - quick_got.size(), 10000);
    ASSERT_EQ(slow_got.size(), slow.size());
    EXPECT_TRUE(slow_got == slow) << "the queued bytes were reordered or changed";
    EXPECT_TRUE(quick_got == quick_all);
    EXPECT_EQ(hex(clients[0].recv_for(200)), "");
}

long rss_kib(pid_t pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = st.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(st.c_str() + at + 6);
}

// The IM server stops reading while two clients push 24 MB each: the
// multiplexor stops reading them too once 256 KiB wait for the link,
// instead of holding all of it (the bound leaves room for what the
// sanitizer builds add), and when the server reads again every
// paused reader comes back: both streams arrive whole and in order, each
// followed by its close record.
TEST_F(RelayBurst, SlowServerPausesClientReadersAndLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    ASSERT_NO_FATAL_FAILURE(add_client(2));
    const size_t kEach = 24u << 20;
    const Bytes data[2] = {pattern(kEach, 5), pattern(kEach, 6)};
    long rss0 = rss_kib(mux.pid());
    ASSERT_GT(rss0, 0);
    bool sent[2] = {false, false};
    std::thread writers[2];
    for (int i = 0; i < 2; i++)
        writers[i] = std::thread([&, i] {
            sent[i] = clients[i].send(data[i]);
            clients[i].shutdown_write();
        });
    std::this_thread::sleep_for(milliseconds(1500));
    long grown = rss_kib(mux.pid()) - rss0;
    EXPECT_LT(grown, 16 * 1024) << "KiB held while the server did not read";

    Bytes got[2];
    int closes = 0;
    auto deadline = Clock::now() + milliseconds(30000);
    while (closes < 2 && Clock::now() < deadline) {
        Bytes hdr = link.recv_n(5, remaining_ms(deadline));
        ASSERT_EQ(hdr.size(), 5u) << "after " << got[0].size() << " + " << got[1].size() << " bytes";
        uint32_t id = be32(hdr, 1);
        ASSERT_TRUE(id == 1 || id == 2) << hex(hdr);
        if (hdr[0] == '\x02') {
            EXPECT_EQ(got[id - 1].size(), kEach) << "close record of " << id << " before its data";
            closes++;
            continue;
        }
        ASSERT_EQ(hdr[0], '\x03') << hex(hdr);
        Bytes len = link.recv_n(4, remaining_ms(deadline));
        ASSERT_EQ(len.size(), 4u);
        uint32_t n = be32(len, 0);
        ASSERT_LE(n, 4087u);
        Bytes d = link.recv_n(n, remaining_ms(deadline));
        ASSERT_EQ(d.size(), n);
        got[id - 1] += d;
    }
    for (auto &w : writers) w.join();
    EXPECT_TRUE(sent[0] && sent[1]);
    EXPECT_EQ(closes, 2);
    EXPECT_TRUE(got[0] == data[0]) << "client 1's stream changed (" << got[0].size() << " bytes)";
    EXPECT_TRUE(got[1] == data[1]) << "client 2's stream changed (" << got[1].size() << " bytes)";
}

// The server closes a client whose reader is paused for the link: the
// connection goes, and its place among the paused readers with it, so the
// drain re-arms nothing freed. One worker thread, so that the next client's
// record takes the freed memory at once.
TEST_F(RelayBurst, ServerClosingAPausedClientForgetsItsReader) {
    ASSERT_NO_FATAL_FAILURE(start({"-t", "1"}));
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    std::thread writer([&] { clients[0].send(pattern(24u << 20, 7)); });
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(link.send(rec_close(1)));
    EXPECT_TRUE(clients[0].closed_within(10000));
    writer.join();
    Bytes opens;
    for (int32_t id = 1; id <= 6; id++) {
        clients.push_back(connect_to(mux.port()));
        opens += rec_open(id, 127, 0, 0, 1);
    }
    ASSERT_TRUE(inst.wait_log("client started.", 7));
    Bytes backlog = link.recv_for(3000);
    ASSERT_GE(backlog.size(), opens.size());
    EXPECT_EQ(hex(backlog.substr(backlog.size() - opens.size())), hex(opens));
    script({client_sends(6, "after"), server_gets(rec_data(6, "after"))});
}

// The reference server in discard mode takes records and answers nothing but
// the hello, so a one-way stream through the multiplexor measures the relay
// alone.
TEST(ImServerDiscard, TakesDataAndSendsNothingBack) {
    Instance dir;  // only for its temporary folder
    std::string port_file = dir.root() + "/imserver.port";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 1);
        std::string bin = bin_path("imserver");
        execl(bin.c_str(), bin.c_str(), "--mode", "discard", "--port", "0", "--port-file", port_file.c_str(),
              nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    setpgid(pid, pid);
    uint16_t port = 0;
    for (int i = 0; i < 500 && port == 0; i++) {
        port = uint16_t(atoi(read_file(port_file).c_str()));
        if (!port) std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_NE(port, 0);
    {
        Stream s = connect_to(port);
        ASSERT_TRUE(s.valid());
        ASSERT_TRUE(s.send(hello()));
        EXPECT_EQ(hex(s.recv_n(3)), hex(hello()));
        ASSERT_TRUE(s.send(rec_open(1, 127, 0, 0, 1) + rec_data(1, pattern(100000, 3)) + rec_data(1, "tail")));
        EXPECT_EQ(hex(s.recv_for(300)), "") << "discard mode answered";
        ASSERT_TRUE(s.send(rec_close(1)));
        EXPECT_EQ(hex(s.recv_for(100)), "");
        EXPECT_TRUE(s.send(rec_open(2, 127, 0, 0, 1))) << "the link stays open";
    }
    kill(-pid, SIGTERM);
    int st = 0;
    for (int i = 0; i < 300 && waitpid(pid, &st, WNOHANG) == 0; i++) std::this_thread::sleep_for(milliseconds(10));
    if (waitpid(pid, &st, WNOHANG) == 0) {
        kill(-pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

}  // namespace
}  // namespace itest
