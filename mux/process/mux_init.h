/* Multiplexor settings: the process-wide MuxConfig (gcfg), the environment
 * names that fill it, the configuration keys read by the start-up routines,
 * and the client access list.
 *
 * Settings come in four layers, each overriding the one before: built-in
 * defaults, environment names (multiplexor_getenv), configuration keys, and
 * the command line.
 * The *_into forms fill any MuxConfig, so that a reload or the configuration
 * check can read every setting again the way start-up did without touching
 * the running one; the plain forms fill gcfg.
 * Thread safety: the plain forms run in the single start-up thread; the
 * *_into forms on a record of the caller's may run on any one thread while
 * others serve; AccessList_Check only reads a finished list. */
#ifndef MUX_MUX_INIT_H
#define MUX_MUX_INIT_H

#include <stdint.h>

#include <string>

#include "relay/mux_types.h"

/* Minimum number of seconds between two forwarded reads of one client;
 * 0 or less turns pacing off. */
extern std::atomic<int32_t> conn_rate_limit;
/* Most bytes that may wait for one client ("orv_mux.client_queue_max",
 * environment name "ClientQueueMax", default 1 MiB): a client with more
 * waiting is closed. 0 = no limit. Each connection takes the value in force
 * when it is made. */
extern std::atomic<int32_t> client_queue_max;
#define MUX_CLIENT_QUEUE_MAX_DEFAULT 1048576

extern "C" {

extern MuxConfig gcfg;

/* Paths found by main: instance directories, and the multiplexor log's
 * directory and file name (from "orv.log.orv_mux.url"). */
extern char *instance_dir;
extern char *instance_var_dir;
extern char *logdir;
extern char *logname;

/* Set by option -i and the environment name "Ignore"; has no effect here. */
extern int32_t multiplexor_ignore;

/* Puts heap copies of the built-in defaults into gcfg, so that every later
 * layer can free what it replaces. Called once, first thing. */
void mux_config_init(void);
void mux_config_defaults(MuxConfig *cfg);
/* Frees a MuxConfig's strings and access list (a scratch record, not gcfg). */
void mux_config_free(MuxConfig *cfg);
/* Replaces a gcfg string, freeing the old one; takes ownership of `value`. */
void mux_config_replace(char **field, char *value);

/* --- settings store (the environment on this platform) -------------------- */

/* Copy of the environment value (from mcx, or malloc when mcx is NULL), or
 * NULL when unset. */
char *multiplexor_getini(MemCx *mcx, const char *name);
/* Base name of the settings store: empty here. */
void multiplexor_getinibase(char *buffer);
/* Write side of the store: nothing is stored on this platform. */
void multiplexor_setini(const char *name, const char *value);
void multiplexor_killenv(void);
void multiplexor_setenv(void);
/* Reads the environment names into gcfg. */
void multiplexor_getenv(void);
/* Sets cfg->client_queue_max; a negative value changes nothing. */
void mux_set_client_queue_max(MuxConfig *cfg, int32_t bytes);
void mux_getenv_into(MuxConfig *cfg);

/* --- configuration keys ---------------------------------------------------- */

/* "[host:]port", as "ListenPort", "orv_mux.listenport" and
 * "orv_mux.serverport" give it: cuts `text` at its first ":" and returns the
 * host part (NULL without a ":"); the port is atoi of the rest (or of the
 * whole), cut to 16 bits, without range check. */
const char *mux_split_hostport(char *text, uint16_t *port);

/* "orv_mux.serverport" ("host:port" or "port") into server_host/server_port. */
void parse_hostport(void);
void mux_hostport_into(MuxConfig *cfg);
/* The port of "orv_mux.listenport" into listen_port (the host part is not
 * used). */
void parse_listenport(void);
void mux_listenport_into(MuxConfig *cfg);
/* "orv.log.orv_mux.url" into logdir and logname; a url ending in "/" stops
 * the process with status 255. */
void parse_logurl(void);
/* The same into *dir and *name (replacing what they hold); -1, with both
 * left alone, for a url ending in "/". */
int mux_logurl_read(char **dir, char **name);
/* The SSL keys, read after the command line. */
void mux_read_ssl_keys(void);
void mux_ssl_keys_into(MuxConfig *cfg, int32_t *handshake_timeout);
/* Seconds a client may take to complete its SSL handshake
 * ("orv_mux.sslhandshaketimeout", default 60); 0 = no limit. */
extern int32_t ssl_handshake_timeout;

/* --- access list ------------------------------------------------------------ */

/* A new entry from dotted texts ("10.1" is 10.1.0.0); from mcx, or
 * zero-filled calloc memory when mcx is NULL. */
AccessList *AccessList_New(MemCx *mcx, const char *address_text, const char *mask_text, int32_t deny);
/* 1 when `client` (IPv4, network order as received) may connect, else 0. */
int AccessList_Check(AccessList *first, uint32_t client);
/* Entries of an access-list text ("+a.b.c.d|m.m.m.m;-...;"): the first, or
 * NULL when the text holds no complete entry. */
AccessList *AccessList_Parse(MemCx *mcx, const char *text);
/* Frees a list made without a memory context; NULL ignored. */
void AccessList_Free(AccessList *first);
}

/* The list in the text form of the environment name "Access" ("" for none). */
std::string mux_access_text(const AccessList *first);

#endif
