/* Records shared by the multiplexor's modules: the process settings
 * (MuxConfig), the access list, one cycle (Multiplexor), one client (Conn)
 * and the server link (ServerLink).
 *
 * Locks and what they guard. Two are held together only on the path of
 * server data to a client: table.lock, then that Conn's bytes_lock.
 *   Multiplexor.lock          conns, active, total, shutdown changes
 *   Multiplexor.servers_lock  servers
 *   Conn.state_lock           the reader's and the shutdown's state changes
 *   Conn.bytes_lock           Conn.bytes
 *   ServerLink.table.lock     the connection table, the numbering cursor,
 *                             and every use of a Conn reached through it
 *   ServerLink.stats_lock     ServerLink active, total, bytes
 * Flags read without a lock (state, the done flags, server_state, shutdown)
 * are atomics. */
#ifndef MUX_MUX_TYPES_H
#define MUX_MUX_TYPES_H

#include <stdint.h>
#include <sys/uio.h>
#include <time.h>

#include <atomic>

#include <nspr/prlock.h>

#include "relay/conn_table.h"
#include "relay/mux_records.h"
#include "relay/mux_writer.h"
#include "plat/asock.h"
#include "plat/gdisp.h"
#include "plat/memcx.h"

/* Circular doubly-linked list node; a head is empty (and a node unlinked)
 * when it points at itself. Conn and ServerLink begin with one. */
struct MuxList {
    MuxList *next;
    MuxList *prev;
};

static inline void mux_list_init(MuxList *head) { head->next = head->prev = head; }
static inline int mux_list_empty(const MuxList *head) { return head->next == head; }
static inline void mux_list_append(MuxList *head, MuxList *node) {
    node->prev = head->prev;
    node->next = head;
    head->prev->next = node;
    head->prev = node;
}
static inline void mux_list_unlink(MuxList *node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = node->prev = node;
}

/* One entry of the client access list; entries are chained in the order they
 * were read and never freed. */
struct AccessList {
    AccessList *next;
    unsigned char addr[4]; /* network order, first octet first */
    unsigned char mask[4];
    int32_t deny;          /* 0 = allow ("+"), 1 = deny ("-") */
};

#define MUX_MAX_NICKNAMES 16

/* Process-wide settings (the global gcfg); strings live for the process.
 * A reload replaces `access` and `stat_frequency` while workers read them,
 * so those two are atomics; every other field is fixed once start-up is
 * done. */
struct MuxConfig {
    char *program_name;
    uint32_t listen_addr; /* network order; 0 = all interfaces */
    uint16_t listen_port;
    uint16_t server_port;
    char *server_host;
    int32_t num_threads;
    int32_t num_forks;
    std::atomic<AccessList *> access;
    char *user;
    int32_t ssl_enable;
    char *ssl_secmod_file;
    char *ssl_config_dir;
    char *ssl_certdb_prefix;
    char *ssl_keydb_prefix;
    char *ssl_password_file;
    char *ssl_cipher_specs;
    char *ssl_cert_nicknames[MUX_MAX_NICKNAMES + 1]; /* ends at an empty slot */
    char *ssl_cache_dir;
    std::atomic<int32_t> stat_frequency; /* milliseconds, never below 10000 */
    /* Bytes that may wait for one client, as read; what new clients get is
     * the global client_queue_max, which start-up and a reload set from it. */
    int32_t client_queue_max;
};

struct ServerLink;

/* Multiplexor.server_state: whether the cycle has a link to the server. */
enum {
    SERVER_STATE_FAILED = -1, /* the last attempt failed */
    SERVER_STATE_NONE = 0,    /* none yet, or an attempt is under way */
    SERVER_STATE_UP = 1       /* the link is up */
};

/* One cycle of a process. Allocated from its own memory context, which the
 * restart loop destroys after multiplexor_delete. */
struct Multiplexor {
    MemCx *mcx;
    ASock *listen_sock; /* owned by multiplexor_main, outlives the cycle */
    MuxList conns;
    PRLock *lock;
    MuxList servers;
    PRLock *servers_lock;
    ServerLink *server;
    GDispCx *gdc;
    GDisp *accept_gd;
    int32_t active;
    int32_t total;
    int32_t max_sessions;
    std::atomic<int32_t> server_state; /* SERVER_STATE_* */
    std::atomic<int32_t> shutdown;
    /* New clients are being turned away because the server link is far
     * behind (logged once per episode). */
    std::atomic<int32_t> refusing;
};

enum {
    CONN_NEW = 1,
    CONN_CLOSING = 2,
    CONN_WORK = 3,
    CONN_DELETED = -1
};

/* One client. Its three dispatchers form one group, so its own callbacks
 * run one at a time; the server link reaches it only under table.lock. */
struct Conn {
    MuxList link; /* in Multiplexor.conns */
    MemCx *mcx;
    ServerLink *server;
    Multiplexor *mux;
    ASock *sock;
    int32_t id;
    GDisp *gd_read;
    GDisp *gd_write;
    GDisp *gd_ctl;
    GDispSem *sem_shutdown;
    ASPipe *pipe;
    MuxWriter writer; /* on gd_write */
    std::atomic<int32_t> writer_done;
    std::atomic<int32_t> reader_done;
    std::atomic<int32_t> state;
    PRLock *state_lock;
    int32_t close_mode;
    char *ip;
    time_t start_time;
    time_t last_read;
    /* Pacing of this client (conn_rate_limit when it was accepted): a
     * reload paces the clients accepted after it. */
    int32_t rate_limit;
    PRLock *bytes_lock;
    int64_t bytes;
    /* The close record went out / the server closed this number: together
     * they make sure a close that starts at the client always reaches the
     * server exactly once, and one the server asked for never echoes. */
    int32_t close_sent;
    std::atomic<int32_t> server_closed;
    /* Listed in ServerLink.parked while its reader waits for the link to
     * drain (linked to itself otherwise); guarded by the link's park_lock. */
    struct {
        MuxList node; /* first: the list leads back to the record */
        Conn *conn;
    } park;
    /* The reader builds its records in an area of its worker thread: an
     * idle client holds no read buffer. */
    /* Most bytes that may wait for this client (its pipe and what its
     * socket's SSL layer holds), taken from client_queue_max when the
     * connection is made; 0 = no limit. */
    int64_t queue_max;
};

/* The cycle's link to the IM server. */
struct ServerLink {
    MuxList link; /* in Multiplexor.servers */
    MemCx *mcx;
    Multiplexor *mux;
    ASock *sock;
    int32_t id;
    GDisp *gd_io;
    GDisp *gd_write;
    GDisp *gd_ctl;
    GDisp *gd_timer;
    GDispSem *sem_shutdown;
    ASPipe *pipe;
    MuxWriter writer; /* on gd_write */
    int32_t close_mode;
    ConnTable table; /* the link's connection numbers */
    MuxRecordParser rd;
    PRLock *stats_lock;
    int32_t active;
    int32_t total;
    int64_t bytes;
    time_t start_time;
    /* Connection set-up: resolving or connecting, then the hello exchange,
     * bounded by a timer on gd_timer (grouped with gd_io). */
    int32_t phase;
    uint32_t addr; /* resolved server address, network order */
    unsigned char hello_out[3];
    unsigned char hello_in[3];
    uint32_t hello_got;
    int32_t hello_status;
    /* Data pieces of the current read for one connection (pend_id), handed
     * to it together: consecutive records for one client leave in one write
     * instead of one per record. Used by the reader only. */
    int32_t pend_id;
    int32_t pend_n;
    /* Readers of connections paused while the outgoing pipe is too deep
     * (Conn.park); the writer re-arms them once it has drained. */
    PRLock *park_lock;
    MuxList parked;
    struct iovec pend[MUX_SERVER_PIECES];
    /* Read area of the link: one read takes whatever the server has sent,
     * up to this much, so a busy link costs few system calls. */
    char rbuf[MUX_SERVER_READ];
};

#endif
