// The connection table's contract: next-fit numbering from the rotating
// cursor, the number stored before it is published, withdrawal only by the
// record a number names, and nothing found outside 1 .. max_sessions.
#include <gtest/gtest.h>

#include <string>

#include "relay/conn_table.h"

namespace {

// One step on a table of three numbers, in order: add record `who` (and
// expect `want` as its number), remove number `want` on behalf of `who`, or
// look `want` up (and expect `who`, -1 for none).
struct Step {
    char op;
    int who;
    int32_t want;
};

TEST(ConnTable, NextFitWithdrawAndRange) {
    MemCx *mcx = DbllMemCx_New(nullptr, 1);
    ConnTable table;
    ASSERT_TRUE(conn_table_init(&table, mcx, 3));
    alignas(Conn *) char records[6][8];
    auto conn = [&](int who) { return who < 0 ? nullptr : reinterpret_cast<Conn *>(records[who]); };
    // clang-format off
    const Step steps[] = {
        {'a', 0, 1}, {'r', 0, 1},                                         // 1 given up at once
        {'a', 1, 2}, {'f', 1, 2}, {'f', -1, 1},                           // is not handed out again
        {'a', 2, 3},                                                      // the cursor moves on past 1
        {'a', 3, 1},                                                      // and wraps
        {'a', 4, -1},                                                     // full
        {'r', 4, 2}, {'f', 1, 2},                                         // not 4's number: stays
        {'f', -1, 0}, {'f', -1, 4}, {'f', -1, -1},                        // out of range
        {'r', 1, 2}, {'a', 5, 2},
    };
    // clang-format on
    for (const Step &s : steps) {
        SCOPED_TRACE(std::string(1, s.op) + " " + std::to_string(s.who) + " " + std::to_string(s.want));
        if (s.op == 'a') {
            int32_t number = -7;
            EXPECT_EQ(conn_table_add(&table, conn(s.who), &number), s.want);
            EXPECT_EQ(number, s.want > 0 ? s.want : -7);
        } else if (s.op == 'r') {
            conn_table_remove(&table, s.want, conn(s.who));
        } else {
            EXPECT_EQ(conn_table_find(&table, s.want), conn(s.who));
            EXPECT_EQ(conn_table_in_range(&table, s.want), s.want >= 1 && s.want <= 3);
        }
    }
    conn_table_destroy(&table, mcx);
    mcx->Destroy(mcx);
}

}  // namespace
