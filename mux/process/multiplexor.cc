/* The multiplexor process: start-up and command line, the stop request (-k),
 * the process routines (fork, limits, user), the restart loop, and the accept
 * handler of a cycle.
 *
 * Threads: everything down to the restart loop runs in the first thread.
 * multiplexor_acceptable runs on the cycle's accept dispatcher, and also on
 * the server link's dispatcher right after a connect attempt ends (acceptance
 * is not armed meanwhile, so the two never overlap). multiplexor_control runs
 * in a signal handler: it only stores flags and calls GDispCx_Shutdown, which
 * is async-signal-safe.
 * Locks: Multiplexor.lock guards conns, active, total and the shutdown
 * transition; servers_lock guards servers. */
#include "process/multiplexor.h"

#include <arpa/inet.h>
#include <errno.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <string>

#include <nspr/plgetopt.h>
#include <nspr/prerror.h>

#include "base/lock_guard.h"
#include "config/config.h"
#include "config/config_instance.h"
#include "relay/mux_conn.h"
#include "process/mux_init.h"
#include "log/mux_log.h"
#include "metrics/mux_counters.h"
#include "metrics/mux_metrics.h"
#include "relay/mux_server.h"
#include "process/mux_ssl.h"
#include "process/mux_check.h"
#include "process/mux_notify.h"
#include "process/mux_proxy.h"
#include "process/mux_reload.h"
#include "process/mux_startup.h"
#include "plat/platlog.h"
#include "log/qxlogger.h"
#include "tovi/service.h"
#include "tovi/thread.h"
#include "tovi/xmalloc.h"

using muxbase::LockGuard;

std::atomic<int> mux_shutdown{0};
std::atomic<int> mux_running{0};
std::atomic<GDispCx *> gpgdc{nullptr};
Multiplexor *pp = nullptr;
MemCx *gpmcx = nullptr;
int32_t rlimit_nofile = 0;

const char *usage_text =
    "Usage:  multiplexor [options]\n"
    "Options:\n"
    "  -c   CONF_FILE  configuration file name (default: ../config/orv.conf)\n"
    "  -t   NUM       max number of threads (default: 2)\n"
    "  -b   IM Server instant messaging server name (default: localhost)\n"
    "  -p   [IP:]PORT address on which to listen (default: 9909)\n"
    "  -f   NUM       number of multiplexors (default: 1)\n"
    "  -u   USERNAME  user to run as (Default: current user)\n"
    "  -k             stop the multiplexors \n"
    "  -r             reload the configuration of the multiplexors\n"
    "  -n             check the configuration and exit (status 0: it would start)\n"
    "  -e             log to standard error instead of the log file\n"
    "  -ssl SSLPARMS  To enable SSL where SSLPARMS is:\n"
    "                 SECMODFILE CERTFILE KEYFILE KEYPASSFILE CIPHERS CERTNAME+\n"
    "                 (Maximum 16 certificate names)\n"
    "  -i             Don't save (ignore)\n"
    "  -h             display usage message\n";

namespace {

const uint16_t protocol_port = 9909;
/* Descriptors kept back for the process's own use (log, pid file, link). */
const int32_t kReservedFds = 50;
const size_t kConfPathMax = 1024;

ConfigCache *cfgcache = nullptr;
ConfigDriver *cfgrddrvr = nullptr;
const char service_display_name[] = "Instant Messaging Multiplexor";
/* Value of -I: accepted and kept, with no effect. */
char *install_option = nullptr;
/* -e: the log goes to standard error. */
bool log_to_stderr = false;
std::string confpath_used;

/* Start-up failures before the log exists go to standard error in one
 * write. */
void _startup_error(const char *fmt, const char *arg) {
    char buf[kConfPathMax + 128];
    int n = snprintf(buf, sizeof buf, fmt, arg);
    if (n < 0) return;
    if (static_cast<size_t>(n) >= sizeof buf) n = sizeof buf - 1;
    ssize_t w = write(2, buf, static_cast<size_t>(n));
    (void)w;
}

/* -h is answered before the configuration is read, so that it works
 * without one; the value of an option that takes one is not an option. */
bool _asks_for_help(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-h") == 0) return true;
        if (a[0] == '-' && a[1] && !a[2] && strchr("ctbpfuIads", a[1])) i++;
    }
    return false;
}

/* Says which option or value the command line got wrong; the usage text
 * follows. */
__attribute__((format(printf, 1, 2))) void _bad_option(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "multiplexor: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
}

[[noreturn]] void _user_failed(const char *why) {
    qxlog(nullptr, QXLOG_ERROR, "cannot run as user %s: %s", gcfg.user, why);
    config_releasepidfile("mux");
    exit(1);
}

}  // namespace

/* --- start-up ------------------------------------------------------------------- */

void multiplexor_setcwd(void) {}

void usage(const char *) { fprintf(stderr, "%s", usage_text); }

int multiplexor_entry(int argc, char **argv) {
    multiplexor_setcwd();
    char confpath[kConfPathMax];
    snprintf(confpath, sizeof confpath, "%s", "../config/orv.conf");
    const char *prog = argc > 0 ? argv[0] : "multiplexor";
    if (_asks_for_help(argc, argv)) {
        printf("%s", usage_text);
        return 0;
    }

    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-c") != 0) continue;
        if (i + 1 >= argc) {
            usage(prog);
            return -1;
        }
        if (strlen(argv[i + 1]) >= sizeof confpath) {
            fprintf(stderr, "ERROR: configuration file name longer than %zu bytes\n", sizeof confpath - 1);
            usage(prog);
            return -1;
        }
        snprintf(confpath, sizeof confpath, "%s", argv[i + 1]);
    }
    confpath_used = confpath;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "-n") == 0) return mux_check_run(confpath, argc, argv);

    mux_config_init();
    cfgcache = config_newcache();
    if (cfgcache) config_setdefaultcache(cfgcache);
    cfgrddrvr = cfgcache ? config_readdriver_propsinit(confpath) : nullptr;
    int rc = 1;
    if (cfgcache && cfgrddrvr) {
        config_adddriver(cfgcache, nullptr, cfgrddrvr);
        rc = config_fetch(cfgcache);
    }
    if (!cfgcache || !cfgrddrvr || rc != 0) {
        _startup_error("FATAL: Configuration initialization failed. (%s)\n", confpath);
        return rc;
    }

    instance_dir = config_get_stringcopy(cfgcache, "orv.instancedir", nullptr);
    if (!instance_dir) {
        _startup_error("ERROR: option orv.instancedir not found in %s\n", confpath);
        return -1;
    }
    instance_var_dir = config_get_stringcopy(cfgcache, "orv.instancevardir", nullptr);
    if (!instance_var_dir) {
        _startup_error("ERROR: option orv.instancevardir not found in %s\n", confpath);
        return -1;
    }
    config_setinstancedir(instance_var_dir);
    parse_logurl();

    for (int i = 1; i < argc; i++) {
        if (strcasecmp(argv[i], "-k") == 0) return multiplexor_kill();
        if (strcasecmp(argv[i], "-r") == 0) return multiplexor_reload();
    }

    char display[sizeof service_display_name];
    memcpy(display, service_display_name, sizeof display);
    char scratch[256] = "";
    return service_start(display, scratch, argc, argv, multiplexor_main, multiplexor_control, 0);
}

int multiplexor_cmdline(int argc, char **argv) { return mux_cmdline_into(&gcfg, argc, argv); }

int mux_cmdline_into(MuxConfig *cfg, int argc, char **argv) {
    const char *prog = argc > 0 ? argv[0] : "multiplexor";
    /* NSPR reports a missing value like an unknown letter, which ends the
     * parse with success; an option that needs a value must not be last. */
    if (argc > 1) {
        const char *last = argv[argc - 1];
        for (const char *o : {"-t", "-b", "-p", "-f", "-u", "-I", "-a", "-d", "-s"}) {
            if (strcmp(last, o) == 0) {
                _bad_option("option %s needs a value", o);
                usage(prog);
                return -1;
            }
        }
    }
    PLOptState *opt = PL_CreateOptState(argc, argv, "u:c:t:d:a:b:p:hif:s:kI:rne");
    if (!opt) {
        usage(prog);
        return -1;
    }
    int ok = 1;
    while (ok && PL_GetNextOpt(opt) == PL_OPT_OK) {
        const char *v = opt->value;
        switch (opt->option) {
        case 'c':
        case 'k':
        case 'i':
        case 'r':
        case 'n': break;
        case 'e':
            if (cfg == &gcfg) log_to_stderr = true;
            break;
        case 't':
        case 'f': {
            if (!v || atoi(v) < 0) {
                _bad_option("bad value for -%c: %s (want a number, 0 or more)", opt->option, v ? v : "");
                ok = 0;
                break;
            }
            if (opt->option == 't') cfg->num_threads = atoi(v);
            else cfg->num_forks = atoi(v);
            break;
        }
        case 'b':
            if (!v) ok = 0;
            else mux_config_replace(&cfg->server_host, xstrdup(v));
            break;
        case 'u':
            if (!v) ok = 0;
            else mux_config_replace(&cfg->user, xstrdup(v));
            break;
        case 'I':
            if (v && cfg == &gcfg) mux_config_replace(&install_option, xstrdup(v));
            break;
        case 'p': {
            if (!v) {
                ok = 0;
                break;
            }
            const char *port = v;
            uint32_t addr = cfg->listen_addr;
            if (const char *colon = strchr(v, ':')) {
                std::string host(v, static_cast<size_t>(colon - v));
                addr = inet_addr(host.c_str());
                if (addr == INADDR_NONE) {
                    _bad_option("bad value for -p: %s (want [a.b.c.d:]PORT with a dotted IPv4 address)", v);
                    ok = 0;
                    break;
                }
                port = colon + 1;
            }
            int n = atoi(port);
            if (n < 1 || n > 65535) {
                _bad_option("bad value for -p: %s (want [a.b.c.d:]PORT with a PORT from 1 to 65535)", v);
                ok = 0;
                break;
            }
            cfg->listen_addr = addr;
            cfg->listen_port = static_cast<uint16_t>(n);
            break;
        }
        default: /* -h, -a, -d, -s, and a plain word (option 0) */
            if (opt->option == 0) _bad_option("unexpected argument %s", v ? v : "");
            else if (opt->option == 's')
                _bad_option("-s%s is not an option: client SSL is set with orv_mux.usessl", v ? v : "");
            else if (opt->option != 'h') _bad_option("-%c is not an option", opt->option);
            ok = 0;
            break;
        }
    }
    PL_DestroyOptState(opt);
    if (!ok) {
        usage(prog);
        return -1;
    }
    return 0;
}

const char *mux_config_path(void) { return confpath_used.c_str(); }

namespace {

/* -k and -r: `sig` to the process group named by the pid file, when a live
 * multiplexor holds the file; `done` (with the pid) is logged on success. */
int _signal_group(int sig, const char *done) {
    muxlog_init(logname, "mux", 0);
    unsigned long pid = 0;
    errno = 0;
    int rc = config_readpidfile("mux", &pid, nullptr, 0);
    /* 2 is both "no number in the file" and ENOENT from the open; errno
     * tells the two apart. */
    bool missing = rc == ENOENT && errno == ENOENT;
    int result;
    /* 0 or 1 would make kill() hit our own group or every process. */
    if (rc == 0 && pid <= 1) rc = 2;
    if (rc != 0) {
        /* Above 2 the code is the error of the failed open; a file without a
         * usable number (or no instance directory) is an invalid argument,
         * never a stale errno and never success. */
        result = missing || rc > 2 ? rc : EINVAL;
        const char *text = PR_ErrorToString(result, 0);
        qxlog(nullptr, QXLOG_ERROR, "Error reading multiplexor pidfile - %s\n", text);
        printf("Error reading multiplexor pidfile - %s\n", text);
    } else if ((rc = config_checkpidfile("mux")) != 0) {
        /* Nobody holds the pid file: its process is gone, and its id may
         * now name someone else's group. */
        result = rc == 1 ? EINVAL : rc;
        const char *text = PR_ErrorToString(result, 0);
        qxlog(nullptr, QXLOG_ERROR, "stale multiplexor pidfile - no multiplexor holds it (pid %lu): %s\n", pid, text);
        printf("stale multiplexor pidfile - no multiplexor holds it (pid %lu): %s\n", pid, text);
    } else if (kill(-static_cast<pid_t>(pid), sig) != 0) {
        result = errno;
        const char *text = PR_ErrorToString(result, 0);
        qxlog(nullptr, QXLOG_ERROR, "failed to signal multiplexor - %s\n", text);
        printf("failed to signal multiplexor - %s\n", text);
    } else {
        qxlog(nullptr, QXLOG_NOTICE, done, static_cast<int>(pid));
        result = 0;
    }
    fflush(stdout);
    muxlog_uninit();
    return result;
}

}  // namespace

int multiplexor_kill(void) { return _signal_group(SIGTERM, "multiplexor process %d terminated\n"); }

int multiplexor_reload(void) { return _signal_group(SIGHUP, "multiplexor process %d asked to reload\n"); }

void multiplexor_control(tovi_service_cmd code) {
    if (code == TOVI_SERVICE_REFRESH) mux_reload_request();
    if (code != TOVI_SERVICE_STOP) return;
    mux_shutdown = 1;
    /* Shut the context down whether or not its loop runs yet: a shutdown
     * before the loop makes it return at once, so no stop is lost. */
    if (GDispCx *g = gpgdc.load()) GDispCx_Shutdown(g);
}

void go_fork_yourself(void) {
    for (int i = 1; i < gcfg.num_forks; i++) {
        if (fork() == 0) break;
    }
}

void crank_rlimit(void) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max = 32768;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0 && getrlimit(RLIMIT_NOFILE, &rl) == 0) {
            rl.rlim_cur = rl.rlim_max;
            setrlimit(RLIMIT_NOFILE, &rl);
        }
    }
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
        rlimit_nofile = rl.rlim_cur > 0x7fffffff ? 0x7fffffff : static_cast<int32_t>(rl.rlim_cur);
    /* Unlimited on this system is RLIM_INFINITY, not the 32-bit maximum,
     * which would cap a 64-bit address space at 2 GiB. */
    for (int res : {RLIMIT_AS, RLIMIT_DATA}) {
        if (getrlimit(res, &rl) == 0) {
            rl.rlim_cur = rl.rlim_max = RLIM_INFINITY;
            setrlimit(res, &rl);
        }
    }
}

void be_the_user(void) {
    if (!gcfg.user || !*gcfg.user) return;
    /* Running on with the old privileges after a failed switch would be
     * worse than not running at all. */
    passwd *pw = getpwnam(gcfg.user);
    if (!pw) _user_failed("no such user");
    mux_instance_give(pw->pw_uid, pw->pw_gid);
    if (setgid(pw->pw_gid) != 0 || initgroups(pw->pw_name, pw->pw_gid) != 0) _user_failed(strerror(errno));
    /* The user's access is tried with its ids in effect while the start can
     * still be undone as the superuser. */
    if (geteuid() == 0 && pw->pw_uid != 0) {
        if (seteuid(pw->pw_uid) != 0) _user_failed(strerror(errno));
        std::string why = mux_instance_unusable();
        if (seteuid(0) != 0) _user_failed(strerror(errno));
        if (!why.empty()) _user_failed(why.c_str());
    }
    if (setuid(pw->pw_uid) != 0) _user_failed(strerror(errno));
}

/* --- the restart loop ---------------------------------------------------------------- */

int mux_settings_load(MuxConfig *cfg, MuxLoaded *out, int argc, char **argv) {
    mux_config_replace(&cfg->program_name, xstrdup(argc > 0 ? argv[0] : "multiplexor"));
    cfg->listen_port = protocol_port;
    mux_getenv_into(cfg);
    mux_hostport_into(cfg);
    mux_listenport_into(cfg);

    ConfigCache *c = config_getdefaultcache();
    cfg->num_forks = config_get_int(c, "orv_mux.numinstances", cfg->num_forks);
    cfg->num_threads = config_get_int(c, "orv_mux.maxthreads", cfg->num_threads);
    mux_config_replace(&cfg->user, config_get_stringcopy(c, "orv.user", cfg->user));
    cfg->stat_frequency = config_get_int(c, "orv_mux.stat_frequency", cfg->stat_frequency);
    if (cfg->stat_frequency < 10000) cfg->stat_frequency = 10000;
    out->conn_rate_limit = config_get_int(c, "orv_mux.conn_rate_limit", 0);
    /* The access list in the file replaces the one of the environment. */
    if (char *access = config_get_stringcopy(c, "orv_mux.access", nullptr)) {
        AccessList_Free(cfg->access.exchange(AccessList_Parse(nullptr, access)));
        free(access);
    }
    if (char *trusted = config_get_stringcopy(c, "orv_mux.proxy_trusted", nullptr)) {
        AccessList_Free(cfg->proxy_trusted.exchange(AccessList_Parse(nullptr, trusted)));
        free(trusted);
    }
    mux_set_client_queue_max(cfg, config_get_int(c, "orv_mux.client_queue_max", cfg->client_queue_max));

    if (mux_cmdline_into(cfg, argc, argv) != 0) return -1;
    /* A context without workers would accept and never serve. */
    if (cfg->num_threads < 1) cfg->num_threads = 1;
    mux_ssl_keys_into(cfg, &out->ssl_handshake_timeout);
    return 0;
}

int multiplexor_main(int argc, char **argv) {
    MuxLoaded loaded;
    if (mux_settings_load(&gcfg, &loaded, argc, argv) != 0) return -1;
    conn_rate_limit = loaded.conn_rate_limit;
    client_queue_max = gcfg.client_queue_max;
    ssl_handshake_timeout = loaded.ssl_handshake_timeout;
    mux_ignore_unused_signals();

    if (mux_instance_open() != 0) return -1;
    ASock *listen_sock = ASock_NewBound(gcfg.listen_addr, gcfg.listen_port);
    if (!listen_sock) {
        int err = errno;
        char addr[32];
        _inet_ntoa(reinterpret_cast<const unsigned char *>(&gcfg.listen_addr), addr);
        qxlog(nullptr, QXLOG_ERROR, "cannot bind to port %d on %s: %s", gcfg.listen_port, addr, strerror(err));
        config_releasepidfile("mux");
        return -1;
    }
    if (mux_metrics_open(gcfg.num_forks) != 0) {
        ASock_Delete(listen_sock, ASOCK_CLOSE_PLAIN);
        config_releasepidfile("mux");
        return -1;
    }
    if (int rc = config_writepidfile("mux", "ready")) {
        qxlog(nullptr, QXLOG_ERROR, "cannot write the pid file %s: %s", mux_pidfile_path().c_str(),
              strerror(rc == 1 ? EINVAL : rc));
        ASock_Delete(listen_sock, ASOCK_CLOSE_PLAIN);
        config_releasepidfile("mux");
        return -1;
    }
    service_running();
    mux_notify_init();

    go_fork_yourself();
    crank_rlimit();
    be_the_user();

    muxlog_use_stderr(log_to_stderr);
    muxlog_init(logname, "mux", 0);
    Plat_SetLogHook([](int severity, const char *message) { qxlog(nullptr, unsigned(severity) & 7u, "%s", message); });
    qxlog(nullptr, QXLOG_NOTICE, "Multiplexor started.  Protocol version %d.%d", MUX_PROTOCOL_MAJOR,
          MUX_PROTOCOL_MINOR);
    mux_metrics_start();

    /* A set-up that cannot serve ends the process with a failure status, so
     * that a supervisor does not take it for a clean stop. */
    int status = 0;
    if (gcfg.ssl_enable && mux_ssl_setup(listen_sock) != 0) status = 1;
    mux_reload_start(argc, argv);

    bool ready = false;
    while (!mux_shutdown) {
        qxlog(nullptr, QXLOG_NOTICE, "Restarting the multiplexor");
        mux_count(MUX_CYCLES);
        GDispCx *gdc = GDispCx_New(2, gcfg.num_threads, 65536);
        if (!gdc) {
            qxlog(nullptr, QXLOG_ERROR, "cannot create the dispatch context");
            break;
        }
        gpgdc = gdc;
        pp = multiplexor_new(listen_sock, gdc);
        if (pp) multiplexor_start(pp);
        if (pp && !ready) {
            mux_notify_ready();
            ready = true;
        }
        if (!mux_shutdown) {
            mux_running = 1;
            GDispCx_DispatchLoop(gdc);
            mux_running = 0;
        }
        if (pp) {
            pp->shutdown = 1;
            mux_ssl_cycle_end(pp);
            mux_proxy_cycle_end(pp);
            multiplexor_delete(pp);
        }
        gpgdc = nullptr;
        GDispCx_Delete(gdc);
        if (gpmcx) gpmcx->Destroy(gpmcx);
        gpmcx = nullptr;
        pp = nullptr;
    }

    mux_notify_stopping();
    mux_reload_stop();
    mux_metrics_stop();
    ASock_Delete(listen_sock, ASOCK_CLOSE_PLAIN);
    if (gcfg.ssl_enable) mux_ssl_cleanup();
    config_releasepidfile("mux");
    qxlog(nullptr, QXLOG_NOTICE, "exiting");
    muxlog_uninit();
    return status;
}

/* --- one cycle ------------------------------------------------------------------------ */

Multiplexor *multiplexor_new(ASock *listen_sock, GDispCx *gdc) {
    if (!listen_sock) {
        qxlog(nullptr, QXLOG_ERROR, "Multiplexor cannot bind to port %d", gcfg.listen_port);
        return nullptr;
    }
    gpmcx = DbllMemCx_New(nullptr, 1);
    if (!gpmcx) return nullptr;
    void *mem = gpmcx->Realloc(gpmcx, nullptr, sizeof(Multiplexor));
    if (!mem) return nullptr;
    Multiplexor *mux = new (mem) Multiplexor();
    mux->mcx = gpmcx;
    mux->gdc = gdc;
    mux->listen_sock = listen_sock;
    mux->accept_gd = GDisp_New(gdc);
    mux_list_init(&mux->conns);
    mux_list_init(&mux->servers);
    mux->lock = PR_NewLock();
    mux->servers_lock = PR_NewLock();
    mux->active = mux->total = 0;
    mux->server_state = SERVER_STATE_NONE;
    if (!mux->accept_gd || !mux->lock || !mux->servers_lock) {
        if (mux->lock) PR_DestroyLock(mux->lock);
        if (mux->servers_lock) PR_DestroyLock(mux->servers_lock);
        return nullptr;
    }

    int32_t max = config_get_int(config_getdefaultcache(), "orv_mux.maxsessions", 6000);
    if (max + kReservedFds >= rlimit_nofile) {
        printf("===============================================================================\n");
        printf("WARNING: You need to set the per-process file descriptor limit");
        printf("    Suggested rlim_fd_max setting : %d\n", max + kReservedFds);
        printf("    Current rlim_fd_max setting   : %d\n", rlimit_nofile);
        printf("On Tamrix, add or change the rlim_fd_max setting in /etc/system\n");
        printf(
            "On Linux, check /proc/sys/fs/file-max and the descriptors value for either csh limit or sh "
            "ulimit command\n");
        printf("===============================================================================\n");
        fflush(stdout);
        qxlog(nullptr, QXLOG_WARNING,
              "Not enough file descriptors to support %u sessions per process; recommend %u sessions per process.",
              static_cast<unsigned>(max), static_cast<unsigned>(rlimit_nofile - kReservedFds));
        max = rlimit_nofile - kReservedFds;
    }
    mux->max_sessions = max < 0 ? 0 : max;
    mux_gauge_set(MUX_SESSIONS_LIMIT, mux->max_sessions);
    qxlog(nullptr, QXLOG_NOTICE, "Max Sessions: %d", mux->max_sessions);
    return mux;
}

void multiplexor_start(Multiplexor *mux) {
    ASock_Acceptable(mux->listen_sock, mux->accept_gd, multiplexor_acceptable, mux);
}

namespace {

enum Admission { kAdmit, kRefuse, kFull };

/* The access list (when `by_list`), the server link and the session limit;
 * a refusal is counted and logged here. */
Admission _admissible(Multiplexor *mux, uint32_t client, bool by_list) {
    if (by_list && !AccessList_Check(gcfg.access, client)) {
        mux_count(MUX_REFUSED_ACCESS_LIST);
        return kRefuse;
    }
    if (mux->server_state == SERVER_STATE_NONE) {
        mux_count(MUX_REFUSED_SERVER_DOWN);
        return kRefuse;
    }
    int32_t active;
    {
        LockGuard hold(mux->lock);
        active = mux->active;
    }
    if (active + 1 > mux->max_sessions) {
        qxlog(nullptr, QXLOG_ERROR, "Reached MAX Sessions allowed on this multiplexor %d\n", mux->max_sessions);
        mux_count(MUX_REFUSED_SESSION_LIMIT);
        return kFull;
    }
    return kAdmit;
}

/* An admitted client goes to its SSL handshake or becomes a connection. */
void _hand_on(Multiplexor *mux, ASock *sock, uint32_t client) {
    char ip[32];
    _inet_ntoa(reinterpret_cast<const unsigned char *>(&client), ip);
    if (gcfg.ssl_enable) {
        mux_ssl_accept(mux, sock, ip);
        return;
    }
    if (!conn_new(sock, ip, mux)) {
        mux_count(MUX_REFUSED_NO_RESOURCES);
        ASock_Delete(sock, ASOCK_CLOSE_PLAIN);
    }
}

}  // namespace

void multiplexor_admit(Multiplexor *mux, ASock *sock, uint32_t client) {
    /* No pause at the limit here: this runs on a worker, not in the accept
     * loop that the pause is there to slow down. */
    if (mux->shutdown || _admissible(mux, client, true) != kAdmit) {
        ASock_Delete(sock, ASOCK_CLOSE_PLAIN);
        return;
    }
    _hand_on(mux, sock, client);
}

void multiplexor_acceptable(void *arg) {
    Multiplexor *mux = static_cast<Multiplexor *>(arg);
    int32_t state = mux->server_state;
    if (state == SERVER_STATE_FAILED) {
        mux->server_state = SERVER_STATE_NONE;
    } else if (state == SERVER_STATE_NONE) {
        /* The first client to knock makes the link; it and any others wait in
         * the listen queue until the attempt ends and calls back here. When
         * the link cannot even be built, they are turned away below. */
        if (server_new(mux)) return;
    }

    while (!mux->shutdown) {
        sockaddr_in sin{};
        int len = sizeof sin;
        ASock *sock = ASock_Accept(mux->listen_sock, reinterpret_cast<sockaddr *>(&sin), &len, 0, 0);
        if (!sock) {
            int err = ASock_GetLastError(mux->listen_sock);
            bool starved = err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
            if (mux_gauge_change(MUX_ACCEPT_PAUSED, starved) && starved) mux_count(MUX_ACCEPT_PAUSES);
            break;
        }
        uint32_t client = sin.sin_addr.s_addr;
        /* A balancer's connection is judged by the client it names, once
         * its header is read; the refusals that need no name come first. */
        bool proxied = mux_proxy_trusted(client);
        Admission a = _admissible(mux, client, !proxied);
        if (a != kAdmit) {
            ASock_Delete(sock, ASOCK_CLOSE_PLAIN);
            if (a == kFull) tovi_sleep(1);
            continue;
        }
        if (proxied) mux_proxy_accept(mux, sock, client);
        else _hand_on(mux, sock, client);
    }
    ASock_Acceptable(mux->listen_sock, mux->accept_gd, multiplexor_acceptable, mux);
}

void multiplexor_shutdown(Multiplexor *mux) {
    qxlog(nullptr, QXLOG_DEBUG, "shutdown request received (multiplexor_shutdown)\n");
    bool first = false;
    {
        LockGuard hold(mux->lock);
        if (!mux->shutdown) {
            mux->shutdown = 1;
            first = true;
        }
    }
    if (first && !mux_shutdown) {
        if (GDispCx *g = gpgdc.load()) GDispCx_Shutdown(g);
    }
}

void multiplexor_delete(Multiplexor *mux) {
    if (!mux->shutdown) return;
    qxlog(nullptr, QXLOG_DEBUG, "delete request received (multiplexor_delete)\n");
    while (!mux_list_empty(&mux->conns)) conn_delete(reinterpret_cast<Conn *>(mux->conns.next));
    while (!mux_list_empty(&mux->servers)) server_delete(reinterpret_cast<ServerLink *>(mux->servers.next));
    PR_DestroyLock(mux->lock);
    mux->lock = nullptr;
    PR_DestroyLock(mux->servers_lock);
    mux->servers_lock = nullptr;
    mux->accept_gd = nullptr;
}
