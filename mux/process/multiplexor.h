/* The multiplexor process: entry and command line, the restart loop that
 * runs one cycle (Multiplexor) after another, and the accept handler.
 *
 * Threads: the start-up routines and the restart loop run in the process's
 * first thread; multiplexor_acceptable runs on a worker of the cycle's
 * dispatch context; multiplexor_control runs inside a signal handler and
 * only sets flags and shuts the context down. */
#ifndef MUX_MULTIPLEXOR_H
#define MUX_MULTIPLEXOR_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include "relay/mux_types.h"
#include "tovi/service.h"

/* The process is stopping / the dispatch loop is running. */
extern std::atomic<int> mux_shutdown;
extern std::atomic<int> mux_running;
/* The current cycle's dispatch context, read by the signal handler. */
extern std::atomic<GDispCx *> gpgdc;

extern "C" {

/* The current cycle and its memory context. */
extern Multiplexor *pp;
extern MemCx *gpmcx;
/* Soft descriptor limit after crank_rlimit. */
extern int32_t rlimit_nofile;
extern const char *usage_text;

/* The configuration file of this process (-c, or the default). */
const char *mux_config_path(void);

/* Everything main() does; returns the exit status. */
int multiplexor_entry(int argc, char **argv);

int multiplexor_main(int argc, char **argv);
int multiplexor_cmdline(int argc, char **argv);
int mux_cmdline_into(MuxConfig *cfg, int argc, char **argv);
void usage(const char *program_name);
int multiplexor_kill(void);
/* -r: SIGHUP to the process group named by the pid file, with the checks of
 * -k; 0 or an error number. */
int multiplexor_reload(void);
void multiplexor_setcwd(void);
/* Control function of the service layer: TOVI_SERVICE_STOP stops the
 * process, TOVI_SERVICE_REFRESH asks for a reload (mux_reload.h); every
 * other word is ignored. Safe in a signal handler. */
void multiplexor_control(tovi_service_cmd code);
void go_fork_yourself(void);
void crank_rlimit(void);
void be_the_user(void);

Multiplexor *multiplexor_new(ASock *listen_sock, GDispCx *gdc);
void multiplexor_start(Multiplexor *mux);
void multiplexor_acceptable(void *mux);
/* Admits an accepted client by its address (IPv4, network order) or closes
 * it: the access list, the server link, the session limit, then the SSL
 * handshake or the connection. Takes over the socket. */
void multiplexor_admit(Multiplexor *mux, ASock *sock, uint32_t client);
void multiplexor_shutdown(Multiplexor *mux);
void multiplexor_delete(Multiplexor *mux);
}

/* What one reading of the settings gives beside MuxConfig. */
struct MuxLoaded {
    int32_t conn_rate_limit;
    int32_t ssl_handshake_timeout;
};

/* Reads every setting the way start-up does, into `cfg` (which holds the
 * built-in defaults): environment names, configuration keys of the default
 * cache, the command line, the SSL keys. 0, or -1 after the usage text when
 * the command line is refused. */
int mux_settings_load(MuxConfig *cfg, MuxLoaded *out, int argc, char **argv);

/* Four network-order bytes as "%d.%d.%d.%d" into buf (at least 16 bytes). */
static inline char *_inet_ntoa(const unsigned char *address_bytes, char *buf) {
    snprintf(buf, 16, "%d.%d.%d.%d", address_bytes[0], address_bytes[1], address_bytes[2], address_bytes[3]);
    return buf;
}

#endif
