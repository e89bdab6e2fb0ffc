// The relay end to end: the real multiplexor between plain TCP clients and a
// scripted IM server, checking the exact bytes on both sides.
#include "integration_harness.h"

namespace itest {
namespace {

class Relay : public RelayFixture {};

TEST_F(Relay, HelloOpenDataAndOneCloseExactBytes) {
    ASSERT_NO_FATAL_FAILURE(start());
    clients.push_back(connect_to(mux.port()));
    link = server.accept();
    ASSERT_TRUE(link.valid());
    script({
        server_gets(Bytes("\x04\x03\x00", 3)),
        server_quiet(),  // no client is taken before the reply
        server_sends(Bytes("\x04\x03\x00", 3)),
        server_gets(rec_open(1, 127, 0, 0, 1)),
        client_sends(0, "abc"),
        server_gets(rec_data(1, "abc")),
        server_sends(rec_data(1, "xyz")),
        client_gets(0, "xyz"),
        client_closes(0),
        server_gets(rec_close(1)),
        server_quiet(),
    });
    EXPECT_TRUE(inst.wait_log("[127.0.0.1][1]: client closed. [time=0s] [bytes=29] [total=1] [active=0]"))
        << "open 9 + data 12 + to the client 3 + close 5";
    std::string log = inst.log();
    EXPECT_NE(log.find("Connected to server 127.0.0.1. Server using 3.0 protocol"), std::string::npos);
    EXPECT_NE(log.find("[127.0.0.1][1]: client started. [total=0] [active=0]"), std::string::npos);
    EXPECT_NE(log.find("Multiplexor started.  Protocol version 3.0"), std::string::npos);
}

TEST_F(Relay, OpenRecordCarriesTheClientAddress) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    ASSERT_NO_FATAL_FAILURE(add_client(2, "127.0.0.2"));
    script({
        client_sends(1, "from two"),
        server_gets(rec_data(2, "from two")),
        server_sends(rec_data(2, "back") + rec_data(1, "one")),
        client_gets(1, "back"),
        client_gets(0, "one"),
    });
    EXPECT_TRUE(inst.wait_log("[127.0.0.2][2]: client started. [total=1] [active=1]"));
}

TEST_F(Relay, ClientBytesAreCutIntoRecordsOfAtMost4087) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    Bytes big;
    for (int i = 0; i < 20000; i++) big += char('a' + i % 23);
    ASSERT_TRUE(clients[0].send(big));
    Bytes got;
    int records = 0;
    while (got.size() < big.size()) {
        Bytes hdr = link.recv_n(9);
        ASSERT_EQ(hdr.size(), 9u) << "after " << got.size() << " bytes";
        ASSERT_EQ(hex(hdr.substr(0, 5)), hex(Bytes("\x03\x00\x00\x00\x01", 5)));
        uint32_t n = (uint8_t(hdr[5]) << 24) | (uint8_t(hdr[6]) << 16) | (uint8_t(hdr[7]) << 8) | uint8_t(hdr[8]);
        ASSERT_GE(n, 1u);
        ASSERT_LE(n, 4087u);
        got += link.recv_n(n);
        records++;
    }
    EXPECT_EQ(got, big);
    EXPECT_GE(records, 5);
}

TEST_F(Relay, ServerCloseClosesTheClientWithoutAnswer) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    ASSERT_NO_FATAL_FAILURE(add_client(2));
    script({
        server_sends(rec_close(1)),
        client_closed(0),
        server_quiet(),
        server_sends(rec_data(1, "late") + rec_data(2, "still here")),
        client_gets(1, "still here"),
        client_sends(1, "ok"),
        server_gets(rec_data(2, "ok")),
    });
    EXPECT_TRUE(inst.wait_log("[127.0.0.1][1]: client closed. [time=0s] [bytes=9] [total=2] [active=1]"));
}

TEST_F(Relay, RecordsSplitOneBytePerRead) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    Bytes rec = rec_data(1, "piecewise") + rec_close(1);
    for (char c : rec) {
        ASSERT_TRUE(link.send(Bytes(1, c)));
        std::this_thread::sleep_for(milliseconds(3));
    }
    script({client_gets(0, "piecewise"), client_closed(0), server_quiet()});
}

TEST_F(Relay, SeveralRecordsInOneReadAndZeroLength) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    ASSERT_NO_FATAL_FAILURE(add_client(2));
    script({
        server_sends(rec_data(1, "a") + rec_data(2, "") + rec_data(2, "b") + rec_open(9, 1, 2, 3, 4) +
                     rec_data(1, "c")),
        client_gets(0, "ac"),
        client_gets(1, "b"),
        client_quiet(0),
    });
}

TEST_F(Relay, UnknownAndOutOfRangeNumbersAreDropped) {
    inst.set("orv_mux.maxsessions", "5");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    script({
        server_sends(rec_data(4, "no one") + rec_data(0, "zero") + rec_data(-3, "neg") + rec_data(6, "too big") +
                     rec_data(0x7fffffff, "huge") + rec_close(0) + rec_close(-1) + rec_close(99999) +
                     rec_close(4) + rec_data(1, "ok")),
        client_gets(0, "ok"),
        client_quiet(0),
        client_sends(0, "alive"),
        server_gets(rec_data(1, "alive")),
    });
    EXPECT_EQ(count_of(inst.log(), "Restarting the multiplexor"), 1);
}

TEST_F(Relay, ClientCloseAfterDataSendsExactlyOneClose) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    // Server data keeps flowing to the client while it closes.
    ASSERT_TRUE(link.send(rec_data(1, Bytes(3000, 'x'))));
    ASSERT_TRUE(clients[0].send("last words"));
    clients[0].close();
    ASSERT_TRUE(link.send(rec_data(1, Bytes(3000, 'y'))));
    script({server_gets(rec_data(1, "last words")), server_gets(rec_close(1))});
    ASSERT_TRUE(link.send(rec_data(1, "after")));
    Bytes rest = link.recv_for(500);
    EXPECT_EQ(count_of(rest, rec_close(1)), 0) << hex(rest);
    EXPECT_EQ(rest, "");
}

TEST_F(Relay, ManyClientsInterleaveOnlyAtRecordBoundaries) {
    ASSERT_NO_FATAL_FAILURE(start());
    const int n = 8;
    for (int i = 0; i < n; i++) ASSERT_NO_FATAL_FAILURE(add_client(i + 1));
    std::vector<std::thread> ts;
    for (int i = 0; i < n; i++)
        ts.emplace_back([&, i] {
            for (int k = 0; k < 50; k++) clients[size_t(i)].send(Bytes(100, char('A' + i)));
        });
    for (auto &t : ts) t.join();
    std::map<int32_t, size_t> per;
    size_t total = 0;
    while (total < size_t(n) * 5000) {
        Bytes hdr = link.recv_n(9);
        ASSERT_EQ(hdr.size(), 9u);
        ASSERT_EQ(hdr[0], '\x03');
        int32_t id = int32_t((uint8_t(hdr[1]) << 24) | (uint8_t(hdr[2]) << 16) | (uint8_t(hdr[3]) << 8) |
                             uint8_t(hdr[4]));
        uint32_t len = (uint8_t(hdr[5]) << 24) | (uint8_t(hdr[6]) << 16) | (uint8_t(hdr[7]) << 8) | uint8_t(hdr[8]);
        Bytes d = link.recv_n(len);
        ASSERT_EQ(d, Bytes(len, char('A' + id - 1))) << "record of " << id << " mixed with another";
        per[id] += len;
        total += len;
    }
    for (int i = 1; i <= n; i++) EXPECT_EQ(per[i], 5000u);
}

}  // namespace
}  // namespace itest
