// The relay end to end: the real multiplexor between plain TCP clients and a
// scripted IM server, checking the exact bytes on both sides, the session
// and snoop lines, and bursts that fill the client sockets or the link.
#include <regex>

#include "integration_harness.h"

using namespace itest;

class Relay : public RelayFixture {};

TEST_F(Relay, OneSessionExactBytesWithItsLogAndSnoopLines) {
    inst.set("orv.log.orv_mux.snoop", "TRUE");
    ASSERT_NO_FATAL_FAILURE(start());
    clients.push_back(connect_to(mux.port()));
    link = server.accept();
    ASSERT_TRUE(link.valid());
    // No client is taken before the reply to the hello.
    script({server_gets(hello()), server_quiet(), server_sends(hello()), server_gets(rec_open(1, 127, 0, 0, 1)), client_sends(0, "abc"),
            server_gets(rec_data(1, "abc")), server_sends(rec_data(1, "xyz")), client_gets(0, "xyz"), client_closes(0),
            server_gets(rec_close(1)), server_quiet()});
    // Open 9 + data 12 + to the client 3 + close 5.
    // The time is whole seconds: a session may cross a second's boundary.
    ASSERT_TRUE(inst.wait_log("[127.0.0.1][1]: client closed. [time="));
    EXPECT_TRUE(std::regex_search(inst.log(), std::regex(R"(\[127\.0\.0\.1\]\[1\]: client closed\. \[time=[01]s\] )"
                                                         R"(\[bytes=29\] \[total=1\] \[active=0\]\n)")))
        << inst.log();
    for (const char *line : {"Multiplexor started.  Protocol version 3.0", "General Debug: SNOOP recv client -> mux [1] abc\n",
                             "General Debug: SNOOP recv server -> mux [1] xyz\n", "General Debug: SNOOP sent mux -> client [1] xyz\n"})
        EXPECT_TRUE(inst.wait_log(line)) << line;
    // Every line of the file is whole: a stamp, the host, "mux[pid]".
    for (const std::string &line : ts::lines_of(inst.log()))
        EXPECT_TRUE(line.rfind("[", 0) == 0 && line.find(" mux[") != std::string::npos) << line;
}

// The server's host name is resolved.
TEST_F(Relay, OpenRecordCarriesTheClientAddress) {
    inst.set("orv_mux.serverport", "localhost:" + std::to_string(server.port()));
    ASSERT_NO_FATAL_FAILURE(start_with_clients(1));
    ASSERT_NO_FATAL_FAILURE(add_client(2, "127.0.0.2"));
    script({client_sends(1, "from two"), server_gets(rec_data(2, "from two")), server_sends(rec_data(2, "back") + rec_data(1, "one")),
            client_gets(1, "back"), client_gets(0, "one")});
    EXPECT_TRUE(inst.wait_log("[127.0.0.2][2]: client started. [total=1] [active=1]"));
    EXPECT_TRUE(inst.wait_log("Connected to server localhost. Server using 3.0 protocol"));
}

// Records from the server reach their clients however the reads cut them
// (a byte per read, several records in one, zero-length ones: the link's
// parser keeps its state between reads); numbers that are not a client's
// are dropped; a close record closes its client without an answer, and
// what comes for it later is dropped. A client that closes while server
// data still flows to it sends exactly one close, after its last bytes.
TEST_F(Relay, ServerRecordsReachTheirClientsAndOnlyThemAndAFullClientSocketQueuesInOrder) {
    inst.set("orv_mux.maxsessions", "5");
    ASSERT_NO_FATAL_FAILURE(start_with_clients(2));
    auto bytewise = [&](const Bytes &b) {
        for (char c : b) link.send(Bytes(1, c)), std::this_thread::sleep_for(milliseconds(3));
    };
    bytewise(rec_data(1, "piecewise"));
    script({client_gets(0, "piecewise"),
            server_sends(rec_data(1, "a") + rec_data(2, "") + rec_data(2, "b") + rec_open(9, 1, 2, 3, 4) + rec_data(1, "c")),
            client_gets(0, "ac"), client_gets(1, "b"), client_quiet(0),
            server_sends(rec_data(4, "no one") + rec_data(0, "zero") + rec_data(-3, "neg") + rec_data(6, "too big") +
                         rec_data(0x7fffffff, "huge") + rec_close(0) + rec_close(-1) + rec_close(99999) + rec_close(4) + rec_data(1, "ok")),
            client_gets(0, "ok"), client_quiet(0), client_sends(0, "alive"), server_gets(rec_data(1, "alive"))});
    bytewise(rec_close(1));
    script({client_closed(0), server_quiet(), server_sends(rec_data(1, "late") + rec_data(2, "still here")), client_gets(1, "still here"),
            client_sends(1, "ok"), server_gets(rec_data(2, "ok"))});
    // Open 9 + to the client 9 + 2 + 2 + data 14.
    EXPECT_TRUE(inst.wait_log("[127.0.0.1][1]: client closed. [time="));
    EXPECT_NE(inst.log().find("s] [bytes=36] [total=2] [active=1]"), std::string::npos) << inst.log();
    ASSERT_TRUE(link.send(rec_data(2, Bytes(3000, 'x'))));
    ASSERT_TRUE(clients[1].send("last words"));
    clients[1].close();
    ASSERT_TRUE(link.send(rec_data(2, Bytes(3000, 'y'))));
    script({server_gets(rec_data(2, "last words")), server_gets(rec_close(2)), server_sends(rec_data(2, "after")), server_quiet()});
    EXPECT_EQ(count_of(inst.log(), "Restarting the multiplexor"), 1);
    // One client does not read for a while, so its socket fills and the rest
    // must wait in its queue; another keeps getting small pieces meanwhile,
    // each straight from the link. Both streams arrive whole and in order,
    // and the slow client's later bytes never overtake its queued ones.
    ASSERT_NO_FATAL_FAILURE(add_client(3));
    ASSERT_NO_FATAL_FAILURE(add_client(4));
    const Bytes slow = pattern(3 * 1024 * 1024, 2);
    Bytes quick_all, quick_got;
    std::thread feeder([&] {
        for (size_t off = 0, k = 0; off < slow.size(); k++) {
            size_t n = std::min<size_t>(slow.size() - off, 20000 + (k % 5) * 9000);
            Bytes piece = pattern(50 + k % 7, int(k) + 100);
            link.send(rec_data(3, slow.substr(off, n)) + rec_data(4, piece));
            quick_all += piece;
            off += n;
        }
    });
    // The quick client reads all along; the slow one only after a pause.
    for (auto end = Clock::now() + milliseconds(400); Clock::now() < end;) quick_got += clients[3].recv_for(20);
    feeder.join();
    Bytes slow_got = clients[2].recv_n(slow.size(), 20000);
    quick_got += clients[3].recv_n(quick_all.size() - quick_got.size(), 10000);
    ASSERT_EQ(slow_got.size(), slow.size());
    EXPECT_TRUE(slow_got == slow) << "the queued bytes were reordered or changed";
    EXPECT_TRUE(quick_got == quick_all);
    EXPECT_EQ(hex(clients[2].recv_for(200)), "");
}

// The IM server stops reading while two clients push 24 MB each: the
// multiplexor stops reading them too once 256 KiB wait for the link,
// instead of holding all of it (the bound leaves room for what the
// sanitizer builds add), and when the server reads again every
// paused reader comes back: both streams arrive whole and in order, in
// records of at most 4087 bytes, each followed by its close record, and
// each close line counts exactly the records that went out.
TEST_F(Relay, SlowServerPausesClientReadersAndLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(start_with_clients(2));
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
    EXPECT_LT(rss_kib(mux.pid()) - rss0, 16 * 1024) << "KiB held while the server did not read";
    Bytes got[2];
    uint64_t on_link[2] = {9, 9};  // the open records
    int closes = 0;
    for (auto deadline = Clock::now() + milliseconds(30000); closes < 2 && Clock::now() < deadline;) {
        Record r = link.record(remaining_ms(deadline));
        ASSERT_TRUE((r.type == 2 || r.type == 3) && (r.id == 1 || r.id == 2))
            << r.type << " " << r.id << " after " << got[0].size() << " + " << got[1].size() << " bytes";
        if (r.type == 2) {
            EXPECT_EQ(got[r.id - 1].size(), kEach) << "close record of " << r.id << " before its data";
            closes++, on_link[r.id - 1] += 5;
            continue;
        }
        ASSERT_LE(r.data.size() - 1, 4086u) << "an empty or too long record";
        got[r.id - 1] += r.data;
        on_link[r.id - 1] += 9 + r.data.size();
    }
    for (auto &w : writers) w.join();
    EXPECT_TRUE(sent[0] && sent[1]);
    EXPECT_EQ(closes, 2);
    EXPECT_TRUE(got[0] == data[0]) << "client 1's stream changed (" << got[0].size() << " bytes)";
    EXPECT_TRUE(got[1] == data[1]) << "client 2's stream changed (" << got[1].size() << " bytes)";
    for (int i = 0; i < 2; i++) {
        clients[i].close();
        EXPECT_TRUE(inst.wait_log("[127.0.0.1][" + std::to_string(i + 1) + "]: client closed. [time=")) << i;
    }
    for (uint64_t n : on_link) EXPECT_NE(inst.all_logs().find("s] [bytes=" + std::to_string(n) + "] [total=2]"), std::string::npos) << n;
}

// The server closes a client whose reader is paused for the link: the
// connection goes, and its place among the paused readers with it, so the
// drain re-arms nothing freed. One worker thread, so that the next client's
// record takes the freed memory at once.
TEST_F(Relay, ServerClosingAPausedClientForgetsItsReader) {
    ASSERT_NO_FATAL_FAILURE(start({"-t", "1"}));
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    std::thread writer([&] { clients[0].send(pattern(24u << 20, 7)); });
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(link.send(rec_close(1)));
    EXPECT_TRUE(clients[0].closed_within(10000));
    writer.join();
    Bytes opens;
    for (int32_t id = 2; id <= 7; id++) {
        clients.push_back(connect_to(mux.port()));
        opens += rec_open(id, 127, 0, 0, 1);
    }
    ASSERT_TRUE(inst.wait_log("client started.", 7));
    Bytes backlog = link.recv_for(3000);
    ASSERT_GE(backlog.size(), opens.size());
    EXPECT_EQ(hex(backlog.substr(backlog.size() - opens.size())), hex(opens));
    script({client_sends(6, "after"), server_gets(rec_data(7, "after"))});
}
