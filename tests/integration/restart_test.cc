// The link's life: connect failures, the hello, and a link lost while
// client readers wait for it (the server's faults that end a cycle are in
// the fault matrix).
#include "integration_harness.h"

using namespace itest;

class Restart : public RelayFixture {};

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
    ASSERT_NO_FATAL_FAILURE(add_client(3));
    script({client_sends(2, "again"), server_gets(rec_data(3, "again"))});
}

// A failed connect says where it went and is no restart; SIGUSR1 is
// ignored. A server that never replies to the hello is dropped, with the
// clients that waited for it: one that holds the link silently at the
// 30-second set-up bound, no later, one that closes it at once. The next
// attempt reads a reply that comes in pieces whole, and takes none of it
// for records.
TEST_F(Restart, ServerThatNeverRepliesIsDroppedAndTheReplyIsReadWhole) {
    uint16_t port = server.port();
    server.close();  // nobody listens there now
    ASSERT_NO_FATAL_FAILURE(start());
    mux.signal(SIGUSR1);
    Stream c = connect_to(mux.port());
    EXPECT_TRUE(c.closed_within(5000)) << "a client that knocks while the server is down is closed";
    EXPECT_TRUE(inst.wait_log("Cannot connect to IM Server 127.0.0.1 port " + std::to_string(port) + " (127.0.0.1): Connection refused"));
    Listener again(port);
    ASSERT_TRUE(again.ok());
    // Clients already queued when an attempt failed are turned away too; let
    // that pass before the next one knocks, which starts a new attempt.
    auto knock = [&](Stream &client) {
        std::this_thread::sleep_for(milliseconds(300));
        client = connect_to(mux.port());
        link = again.accept();
        ASSERT_TRUE(link.valid()) << "the next client starts a new attempt";
        ASSERT_EQ(hex(link.recv_n(3)), hex(hello()));
    };
    ASSERT_NO_FATAL_FAILURE(knock(c));
    auto t0 = Clock::now();
    EXPECT_TRUE(link.closed_within(40000));
    EXPECT_GE(Clock::now() - t0, milliseconds(29000));
    EXPECT_TRUE(inst.wait_log("No reply from server 127.0.0.1.  Write error 110."));
    EXPECT_TRUE(c.closed_within(5000));
    ASSERT_NO_FATAL_FAILURE(knock(c));
    link.close();
    EXPECT_TRUE(c.closed_within(5000));
    EXPECT_TRUE(inst.wait_log("No reply from server 127.0.0.1.  Write error", 2));
    ASSERT_NO_FATAL_FAILURE(knock(clients.emplace_back()));
    for (char b : Bytes("\x07\xff\xfe", 3)) {
        ASSERT_TRUE(link.send(Bytes(1, b)));
        std::this_thread::sleep_for(milliseconds(150));
    }
    script({server_gets(rec_open(1, 127, 0, 0, 1)), server_sends(rec_data(1, "clean")), client_gets(0, "clean")});
    EXPECT_TRUE(inst.wait_log("Connected to server 127.0.0.1. Server using -1.-2 protocol"));
    EXPECT_EQ(inst.log().find("invalid client state"), std::string::npos);
    EXPECT_EQ(count_of(inst.log(), "Restarting the multiplexor"), 1) << "a failed set-up is no restart";
}
