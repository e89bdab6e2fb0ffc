/* The connection table (conn_table.h). */
#include "relay/conn_table.h"

#include "base/lock_guard.h"
#include "log/qxlogger.h"

using muxbase::LockGuard;

namespace {

/* Process-wide numbering cursor: the number after the one last handed out.
 * It survives cycles so numbers keep rotating. */
int32_t curr_id = 1;

}  // namespace

bool conn_table_init(ConnTable *table, MemCx *mcx, int32_t max_sessions) {
    table->max_sessions = max_sessions < 0 ? 0 : max_sessions;
    table->lock = PR_NewLock();
    // NOLINTNEXTLINE(bugprone-sizeof-expression): a table of pointers
    size_t bytes = sizeof(Conn *) * (static_cast<size_t>(table->max_sessions) + 1);
    table->slots = static_cast<Conn **>(mcx->Realloc(mcx, nullptr, bytes));
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
    /* From the cursor up to the end, then from 1 up to the number last
     * handed out: a number just given up comes back only once the cursor
     * has gone round, since the server may still be sending for it. */
    for (int pass = 0; pass < 2; pass++) {
        int32_t to = pass == 0 ? max : (start - 1 < max ? start - 1 : max);
        for (int32_t id = pass == 0 ? start : 1; id <= to; id++) {
            if (!table->slots[id]) {
                table->slots[id] = conn;
                curr_id = id + 1;
                return id;
            }
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
