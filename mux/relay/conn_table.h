/* The connection table of a server link: connection numbers 1 ..
 * max_sessions, each naming at most one client (Conn) while it exists.
 *
 * Contract:
 *   - Numbers are handed out next-fit from one process-wide cursor, which
 *     survives cycles so that a number just given up is not handed out
 *     again at once (stale server records for it may still be on the way).
 *   - A number is published (conn_table_add) only once the record it names
 *     is whole, and withdrawn (conn_table_remove) before the record is
 *     freed; whoever reaches a record through the table does so under the
 *     table's lock and may use it only while holding it.
 *   - Numbers outside 1 .. max_sessions are never in the table; a server
 *     record naming one is ignored (conn_table_in_range).
 * The table lives in its link's memory context and goes with it. */
#ifndef MUX_RELAY_CONN_TABLE_H
#define MUX_RELAY_CONN_TABLE_H

#include <stdint.h>

#include <prlock.h>

#include "plat/memcx.h"

struct Conn;

struct ConnTable {
    PRLock *lock; /* the slots, the cursor, and every use of a Conn
                     reached through a slot */
    Conn **slots; /* max_sessions + 1 slots; slot 0 unused */
    int32_t max_sessions;
};

/* Empty table for numbers 1 .. max_sessions (0 when negative); false when
 * memory or the lock could not be had (the table is then empty again). */
bool conn_table_init(ConnTable *table, MemCx *mcx, int32_t max_sessions);
void conn_table_destroy(ConnTable *table, MemCx *mcx);

static inline bool conn_table_in_range(const ConnTable *table, int32_t id) {
    return id >= 1 && id <= table->max_sessions;
}

/* Publishes `conn` under the next free number and returns it, having
 * stored it in *number before the lock is let go (so that whoever finds the
 * record reads its number); -1 (logged) when every number is taken. */
int32_t conn_table_add(ConnTable *table, Conn *conn, int32_t *number);
/* Withdraws number `id` if it still names `conn`. */
void conn_table_remove(ConnTable *table, int32_t id, const Conn *conn);

/* Must hold: table->lock. The next free number with `conn` stored in its
 * slot, -1 when every number is taken (logged). */
int32_t conn_table_claim(ConnTable *table, Conn *conn);
/* Must hold: table->lock. The client number `id` names, NULL for none or
 * for a number out of range. */
static inline Conn *conn_table_find(const ConnTable *table, int32_t id) {
    return conn_table_in_range(table, id) ? table->slots[id] : nullptr;
}

#endif
