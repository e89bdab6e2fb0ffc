/* Records shared by the multiplexor's modules: the process settings
 * (MuxConfig), the access list and one cycle (Multiplexor). A client (Conn,
 * relay/mux_conn.h) and the server link (ServerLink, private to
 * relay/mux_server.cc) are each described by their own module; here they are
 * names only.
 *
 * Locks of the records here (docs/architecture.md has the whole table):
 *   Multiplexor.lock          conns, active, total, shutdown changes
 *   Multiplexor.servers_lock  servers
 * Flags read without a lock (server_state, shutdown, refusing) are atomics. */
#ifndef MUX_MUX_TYPES_H
#define MUX_MUX_TYPES_H

#include <stdint.h>
#include <sys/uio.h>
#include <time.h>

#include <atomic>

#include <nspr/prlock.h>

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
    int32_t deny; /* 0 = allow ("+"), 1 = deny ("-") */
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
    /* Sources whose connections begin with a PROXY header (none: off). */
    std::atomic<AccessList *> proxy_trusted;
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

struct Conn;
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

#endif
