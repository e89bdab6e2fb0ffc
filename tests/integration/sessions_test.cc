// Who gets in and how fast: connection numbering, the session limit, pacing
// and the statistics line (the access list applied at accept time is seen
// by the metrics' and the reload's tests).
#include "integration_harness.h"

using namespace itest;

class Sessions : public RelayFixture {};

class SessionLimit : public RelayFixture, public ::testing::WithParamInterface<int> {};

// Numbers are handed out next-fit: the cursor moves on from the last number
// handed out, so a freed lower number waits until the search wraps around
// to it, and the highest number is used too. With the limit reached the
// next client is closed and never reaches the server; the accept loop
// pauses a second after a refusal, so a client that knocks at once is only
// handled after it.
TEST_P(SessionLimit, NextFitNumbersUpToTheLimitThenRefusesTheNextClientWithItsMessageAndPauses) {
    inst.set("orv_mux.maxsessions", std::to_string(GetParam()));
    ASSERT_NO_FATAL_FAILURE(start());
    if (GetParam() > 0) {
        ASSERT_NO_FATAL_FAILURE(add_clients(2));
        script({client_closes(0), server_gets(rec_close(1))});
        ASSERT_TRUE(inst.wait_log("[127.0.0.1][1]: client closed."));
        ASSERT_NO_FATAL_FAILURE(add_client(3));
        // From 3: taken, wrap: 1.
        ASSERT_NO_FATAL_FAILURE(add_client(1));
        script({client_closes(1), server_gets(rec_close(2))});
        ASSERT_TRUE(inst.wait_log("[127.0.0.1][2]: client closed."));
        // From 1: taken, then 2.
        ASSERT_NO_FATAL_FAILURE(add_client(2));
    }
    Stream refused = connect_to(mux.port());
    auto t0 = Clock::now();
    if (!link.valid()) { ASSERT_NO_FATAL_FAILURE(accept_link()); }
    EXPECT_TRUE(refused.closed_within(5000));
    EXPECT_TRUE(inst.wait_log("Reached MAX Sessions allowed on this multiplexor " + std::to_string(GetParam()) + "\n"));
    EXPECT_EQ(hex(link.recv_for(300)), "") << "a refused client never reaches the server";
    Stream next = connect_to(mux.port());
    EXPECT_TRUE(next.closed_within(5000));
    EXPECT_GE(Clock::now() - t0, milliseconds(900));
    if (GetParam() > 0) script({client_sends(4, "still served"), server_gets(rec_data(2, "still served"))});
}

INSTANTIATE_TEST_SUITE_P(Sessions, SessionLimit, ::testing::Values(3, 0));

TEST_F(Sessions, PacingDelaysReadsByTheIntervalWithoutSpinning) {
    inst.set("orv_mux.conn_rate_limit", "2");
    ASSERT_NO_FATAL_FAILURE(start());
    auto t0 = Clock::now();
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    ASSERT_TRUE(clients[0].send("first"));
    // Forwarded once the clock in whole seconds has moved on by 2.
    ASSERT_EQ(link.recv_n(14, 5000), rec_data(1, "first"));
    auto t1 = Clock::now();
    EXPECT_GE(t1 - t0, milliseconds(990));
    EXPECT_LE(t1 - t0, milliseconds(3500));
    ASSERT_TRUE(clients[0].send("second"));
    ASSERT_EQ(link.recv_n(15, 5000), rec_data(1, "second"));
    EXPECT_GE(Clock::now() - t1, milliseconds(990));
    // One line per postponement, not one per spin of a busy loop.
    int lines = count_of(inst.log(), "scheduled. conn limit exceeded.");
    EXPECT_GE(lines, 2);
    EXPECT_LE(lines, 4);
}

TEST_F(Sessions, StatisticsLineAtTheRaisedMinimumPeriod) {
    inst.set("orv_mux.stat_frequency", "5000");  // below the floor: 10000
    ASSERT_NO_FATAL_FAILURE(start());
    auto t0 = Clock::now();
    ASSERT_NO_FATAL_FAILURE(add_clients(2));
    script({client_closes(0), server_gets(rec_close(1)), server_sends(rec_data(2, "hey")), client_gets(1, "hey")});
    // Queued to the server: two opens and a close (23); received: 12.
    ASSERT_TRUE(inst.wait_log("Server Stat: [Total=2] [Active=1] [bytes=35] [uptime=", 1, 15000));
    EXPECT_GE(Clock::now() - t0, milliseconds(9500));
    EXPECT_EQ(count_of(inst.log(), "Server Stat:"), 1);
}
