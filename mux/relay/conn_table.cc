/* The connection table (conn_table.h). */
#include "relay/conn_table.h"

#include "base/lock_guard.h"
#include "log/qxlogger.h"

using muxbase::LockGuard;

namespace {

/* Process-wide numbering cursor; survives cycles so numbers keep rotating. */
int32_t curr_id = 1;

}  // namespace

bool conn_table_init(ConnTable *table, MemCx *mcx, int32_t max_sessions) {
    table->max_sessions = max_sessions < 0 ? 0 : max_sessions;
    table->lock = PR_NewLock();
    table->slots = static_cast<Conn **>(
        mcx->Realloc(mcx, nullptr, sizeof(Conn *) * (static_cast<size_t>(table->max_sessions) + 1))); // NOLINT(bugprone-sizeof-expression): a table of pointers
    if (table->lock && table->slots) return true;
    conn_table_destroy(table, mcx);
    return false;
}

void conn_table_destroy(ConnTable *table, MemCx *mcx) {
    if (table->lock) PR_DestroyLock(table->lock);
    if (table->slots) mcx->Realloc(mcx, table->slots, 0);
    table->lock = nullptr;
    table->slots = nullptr;
}

int32_t conn_table_claim(ConnTable *table, Conn *conn) {
    int32_t max = table->max_sessions;
    int32_t start = curr_id;
    for (curr_id = start; curr_id <= max; curr_id++) {
        if (!table->slots[curr_id]) {
            table->slots[curr_id] = conn;
            return curr_id;
        }
    }
    for (curr_id = 1; curr_id < start && curr_id <= max; curr_id++) {
        if (!table->slots[curr_id]) {
            table->slots[curr_id] = conn;
            return curr_id;
        }
    }
    qxlog(nullptr, QXLOG_ERROR, "No more conn descriptors\n");
    return -1;
}

int32_t conn_table_add(ConnTable *table, Conn *conn, int32_t *number) {
    LockGuard hold(table->lock);
    int32_t id = conn_table_claim(table, conn);
    if (id > 0) *number = id;
    return id;
}

void conn_table_remove(ConnTable *table, int32_t id, const Conn *conn) {
    LockGuard hold(table->lock);
    if (conn_table_in_range(table, id) && table->slots[id] == conn) table->slots[id] = nullptr;
}
