// The link's life: connect failures, the hello, and everything that ends a
// cycle and starts the next one.
#include "integration_harness.h"

using namespace itest;

class Restart : public RelayFixture {};

// What the server does to end a cycle (no bytes: it closes the link), and
// the reason the multiplexor logs.
struct CycleEnd { const char *name; Bytes sent; const char *reason; };
void PrintTo(const CycleEnd &row, std::ostream *os) { *os << row.name; }

class CycleEnds : public RelayFixture, public ::testing::WithParamInterface<CycleEnd> {};

// Every client of the cycle is closed, the old link too, without a record;
// nothing after the ending record is acted on; the next client makes a new
// link, and the cursor stays on the last number handed out, which is free
// again in the new cycle's table.
TEST_P(CycleEnds, EveryClientIsClosedWithoutRecordsAndTheNextCycleServes) {
    ASSERT_NO_FATAL_FAILURE(start_with_clients(2));
    if (GetParam().sent.empty()) link.close();
    else ASSERT_TRUE(link.send(GetParam().sent + rec_data(1, "never")));
    script({client_closed(0), client_closed(1)});
    Bytes before;
    if (link.valid()) { EXPECT_TRUE(link.closed_within(3000, &before)); }
    EXPECT_EQ(hex(before), "") << "no close records go out when a cycle ends";
    EXPECT_TRUE(inst.wait_log(std::string("server[1]: ") + GetParam().reason + " Scheduling multiplexor restart.\n"));
    EXPECT_TRUE(inst.wait_log("_server_shutdown called for IM server 127.0.0.1"));
    EXPECT_TRUE(inst.wait_log("Restarting the multiplexor", 2));
    link.close();
    ASSERT_NO_FATAL_FAILURE(add_client(2));
    script({client_sends(2, "again"), server_gets(rec_data(2, "again"))});
}

INSTANTIATE_TEST_SUITE_P(Restart, CycleEnds,
                         ::testing::Values(CycleEnd{"InvalidType", rec_raw(0x06, 1), "got invalid client state(6)."},
                                           CycleEnd{"InvalidTypeShownSigned", rec_raw(0xff, 0),
                                                    "got invalid client state(-1)."},
                                           CycleEnd{"HelloTypeInsideTheStream", Bytes("\x04\x03\x00\x00\x00", 5),
                                                    "got invalid client state(4)."},
                                           CycleEnd{"GoodBye", rec_bye(), "Server says good bye."},
                                           CycleEnd{"LostLink", "", "received 0 bytes."}),
                         [](const auto &info) { return std::string(info.param.name); });

// The link goes while client readers are paused because it stopped
// reading: the cycle still ends, every client is closed, and the next
// cycle works.
TEST_F(Restart, LostLinkWhileClientReadersArePausedRestarts) {
    ASSERT_NO_FATAL_FAILURE(start_with_clients(2));
    const Bytes big(16u << 20, 'x');
    std::thread writers[2];
    for (int i = 0; i < 2; i++) writers[i] = std::thread([&, i] { clients[i].send(big); });
    std::this_thread::sleep_for(milliseconds(800));
    link.close();
    script({client_closed(0), client_closed(1)});
    for (auto &w : writers) w.join();
    EXPECT_TRUE(inst.wait_log("Restarting the multiplexor", 2));
    ASSERT_NO_FATAL_FAILURE(add_client(2));
    script({client_sends(2, "again"), server_gets(rec_data(2, "again"))});
}

TEST_F(Restart, ServerDownThenUp) {
    uint16_t port = server.port();
    server.close();  // nobody listens there now
    ASSERT_NO_FATAL_FAILURE(start());
    Stream c = connect_to(mux.port());
    ASSERT_TRUE(c.valid());
    EXPECT_TRUE(c.closed_within(5000)) << "a client that knocks while the server is down is closed";
    EXPECT_TRUE(inst.wait_log("Cannot connect to IM Server 127.0.0.1"));
    std::this_thread::sleep_for(milliseconds(300));
    Listener again(port);
    ASSERT_TRUE(again.ok());
    clients.push_back(connect_to(mux.port()));
    link = again.accept();
    ASSERT_TRUE(link.valid()) << "the next client starts a new attempt";
    script({server_gets(hello()), server_sends(hello()), server_gets(rec_open(1, 127, 0, 0, 1)), client_sends(0, "up"),
            server_gets(rec_data(1, "up"))});
    EXPECT_EQ(count_of(inst.log(), "Restarting the multiplexor"), 1) << "a failed connect is no restart";
}

// A server that never replies to the hello is dropped, with the clients
// that waited for it: one that holds the link silently at the 30-second
// set-up bound, no later, one that closes it at once. The next attempt
// reads a reply that comes in pieces whole, and takes none of it for
// records.
TEST_F(Restart, ServerThatNeverRepliesIsDroppedAndTheReplyIsReadWhole) {
    ASSERT_NO_FATAL_FAILURE(start());
    Stream c = connect_to(mux.port());
    link = server.accept();
    ASSERT_EQ(hex(link.recv_n(3)), hex(hello()));
    auto t0 = Clock::now();
    EXPECT_TRUE(link.closed_within(40000));
    EXPECT_GE(Clock::now() - t0, milliseconds(29000));
    EXPECT_TRUE(inst.wait_log("No reply from server 127.0.0.1.  Write error 110."));
    EXPECT_TRUE(c.closed_within(5000));
    std::this_thread::sleep_for(milliseconds(300));
    c = connect_to(mux.port());
    link = server.accept();
    ASSERT_EQ(hex(link.recv_n(3)), hex(hello()));
    link.close();
    EXPECT_TRUE(c.closed_within(5000));
    EXPECT_TRUE(inst.wait_log("No reply from server 127.0.0.1.  Write error"));
    // Clients already queued when the attempt failed are turned away too; let
    // that pass before the next one knocks.
    std::this_thread::sleep_for(milliseconds(300));
    clients.push_back(connect_to(mux.port()));
    link = server.accept();
    ASSERT_EQ(hex(link.recv_n(3)), hex(hello()));
    for (char b : Bytes("\x07\xff\xfe", 3)) {
        ASSERT_TRUE(link.send(Bytes(1, b)));
        std::this_thread::sleep_for(milliseconds(150));
    }
    script({server_gets(rec_open(1, 127, 0, 0, 1)), server_sends(rec_data(1, "clean")), client_gets(0, "clean")});
    EXPECT_TRUE(inst.wait_log("Connected to server 127.0.0.1. Server using -1.-2 protocol"));
    EXPECT_EQ(inst.log().find("invalid client state"), std::string::npos);
}

TEST_F(Restart, ServerHostNameIsResolved) {
    inst.set("orv_mux.serverport", "localhost:" + std::to_string(server.port()));
    ASSERT_NO_FATAL_FAILURE(start_with_clients(1));
    EXPECT_TRUE(inst.wait_log("Connected to server localhost. Server using 3.0 protocol"));
}
