/* Reload of the running configuration on SIGHUP.
 *
 * Threads: mux_reload_request runs in a signal handler; the reload thread
 * runs mux_reload; start and stop run on the main thread. What a reload
 * changes while workers read it is published by atomic stores (gcfg.access,
 * gcfg.proxy_trusted, gcfg.stat_frequency, conn_rate_limit) or guarded by
 * the log writer (the log's settings, the reopen). An access list that is
 * replaced is kept: the accept handler may still be walking it. */
#include "process/mux_reload.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/config.h"
#include "config/configdrv_parse.h"
#include "log/mux_log.h"
#include "log/qxlogger.h"
#include "metrics/mux_metrics.h"
#include "process/multiplexor.h"
#include "process/mux_init.h"
#include "process/mux_notify.h"

namespace {

std::atomic<int> wake_fd{-1}; /* write end of the pipe, for the handler */
std::atomic<int> pending{0};  /* a request came before the thread ran */
int read_fd = -1;
std::thread *worker = nullptr;
int saved_argc = 0;
char **saved_argv = nullptr;
/* Access lists that were replaced: never freed, never leaked. */
std::vector<AccessList *> *retired = nullptr;

/* The log keys a reload reports when they change (mux_log applies them). */
const char *const kLogKeys[] = {
    "orv.log.orv_mux.severity",      "orv.log.orv_mux.snoop",      "orv.log.orv_mux.logfacility",
    "orv.log.orv_mux.rollovertime",  "orv.log.orv_mux.expirytime", "orv.log.orv_mux.maxlogfilesize",
    "orv.log.orv_mux.maxlogfiles",   "orv.log.orv_mux.maxlogsize", "orv.log.orv_mux.minfreediskspace",
    "orv.log.orv_mux.flushinterval", "orv.log.orv_mux.buffersize",
};
using Values = std::vector<std::optional<std::string>>;

struct Problem {
    std::string path;
    int line;
    std::string message;
};

int _collect(void *arg, const char *path, int line, const char *message) {
    static_cast<std::vector<Problem> *>(arg)->push_back({path ? path : "", line, message});
    return 1; /* logged by the reload, with its place */
}

std::string _show(const std::optional<std::string> &v) { return v ? *v : "(unset)"; }
std::string _show(const char *s) { return s ? s : "(none)"; }
std::string _num(long v) { return std::to_string(v); }

std::string _join(const std::vector<std::string> &parts) {
    std::string out;
    for (const std::string &p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

Values _log_values(void) {
    Values out;
    for (const char *key : kLogKeys) {
        char *v = config_get_stringcopy(config_getdefaultcache(), key, nullptr);
        out.push_back(v ? std::optional<std::string>(v) : std::nullopt);
        free(v);
    }
    return out;
}

std::string _ssl_text(const MuxConfig &c, int32_t handshake_timeout) {
    std::string t = std::to_string(c.ssl_enable) + "|" + std::to_string(handshake_timeout);
    for (const char *s : {c.ssl_secmod_file, c.ssl_config_dir, c.ssl_certdb_prefix, c.ssl_keydb_prefix,
                          c.ssl_password_file, c.ssl_cipher_specs, c.ssl_cache_dir})
        t += "|" + _show(s);
    for (const char *n : c.ssl_cert_nicknames) t += "|" + _show(n);
    return t;
}

/* The settings only a restart changes, as "what (keys)" for each one whose
 * re-read value differs from the running one. */
std::vector<std::string> _fixed_changes(const MuxConfig &fresh, const MuxLoaded &loaded) {
    struct Fixed {
        const char *what;
        std::function<std::string(const MuxConfig &, int32_t)> text;
    };
    const Fixed fixed[] = {
        {"listening address (orv_mux.listenport)",
         [](const MuxConfig &c, int32_t) { return _num(c.listen_addr) + ":" + _num(c.listen_port); }},
        {"server address (orv_mux.serverport)",
         [](const MuxConfig &c, int32_t) { return _show(c.server_host) + ":" + _num(c.server_port); }},
        {"threads (orv_mux.maxthreads)", [](const MuxConfig &c, int32_t) { return _num(c.num_threads); }},
        {"processes (orv_mux.numinstances)", [](const MuxConfig &c, int32_t) { return _num(c.num_forks); }},
        {"user (orv.user)", [](const MuxConfig &c, int32_t) { return _show(c.user); }},
        {"SSL (orv_mux.usessl and the SSL keys)", _ssl_text},
    };
    std::vector<std::string> out;
    for (const Fixed &f : fixed)
        if (f.text(fresh, loaded.ssl_handshake_timeout) != f.text(gcfg, ssl_handshake_timeout)) out.push_back(f.what);
    char *dir = nullptr, *name = nullptr;
    if (mux_logurl_read(&dir, &name) != 0 || _show(dir) != _show(logdir) || _show(name) != _show(logname))
        out.push_back("log file (orv.log.orv_mux.url)");
    free(dir);
    free(name);
    if (mux_metrics_setting(nullptr) != mux_metrics_running())
        out.push_back("metrics listener (orv_mux.metrics_listen)");
    for (auto [key, running] : {std::pair{"orv.instancedir", instance_dir}, {"orv.instancevardir", instance_var_dir}}) {
        char *v = config_get_stringcopy(config_getdefaultcache(), key, nullptr);
        if (_show(v) != _show(running)) out.push_back(std::string("instance directory (") + key + ")");
        free(v);
    }
    return out;
}

/* Puts in force what a running process can change; says what changed. */
void _apply(MuxConfig &fresh, const MuxLoaded &loaded, std::vector<std::string> *changed) {
    for (auto [what, running, read] :
         {std::tuple{"access list (orv_mux.access) ", &gcfg.access, &fresh.access},
          {"trusted PROXY sources (orv_mux.proxy_trusted) ", &gcfg.proxy_trusted, &fresh.proxy_trusted}}) {
        std::string was = mux_access_text(*running), now = mux_access_text(*read);
        if (was == now) continue;
        if (!retired) retired = new std::vector<AccessList *>;
        retired->push_back(running->exchange(read->exchange(nullptr)));
        changed->push_back(what + (was.empty() ? "(none)" : was) + " -> " + (now.empty() ? "(none)" : now));
    }
    if (int32_t old = conn_rate_limit.exchange(loaded.conn_rate_limit); old != loaded.conn_rate_limit)
        changed->push_back("orv_mux.conn_rate_limit " + _num(old) + " -> " + _num(loaded.conn_rate_limit));
    if (int32_t old = gcfg.stat_frequency.exchange(fresh.stat_frequency); old != fresh.stat_frequency)
        changed->push_back("orv_mux.stat_frequency " + _num(old) + " -> " + _num(fresh.stat_frequency));
    /* The bound of what waits for one client holds for the clients accepted
     * from now on; those connected keep the one they got. */
    if (int32_t old = client_queue_max.exchange(fresh.client_queue_max); old != fresh.client_queue_max)
        changed->push_back("orv_mux.client_queue_max " + _num(old) + " -> " + _num(fresh.client_queue_max));
}

void _worker(void) {
    for (;;) {
        char buf[64];
        ssize_t n = read(read_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        /* Requests that came together are served by one reload. */
        if (n <= 0 || memchr(buf, 'q', static_cast<size_t>(n))) return;
        pending = 0;
        mux_reload();
    }
}

void _wake(char c) {
    int fd = wake_fd.load();
    if (fd < 0) return;
    ssize_t w = write(fd, &c, 1); /* a full pipe already holds a request */
    (void)w;
}

}  // namespace

void mux_reload_request(void) {
    pending = 1;
    _wake('r');
}

int mux_reload_start(int argc, char **argv) {
    saved_argc = argc;
    saved_argv = argv;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        qxlog(nullptr, QXLOG_ERROR, "cannot make the reload thread's pipe: %s", strerror(errno));
        return -1;
    }
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    read_fd = p[0];
    try {
        worker = new std::thread(_worker);
    } catch (const std::exception &e) {
        qxlog(nullptr, QXLOG_ERROR, "cannot start the reload thread: %s", e.what());
        close(p[0]);
        close(p[1]);
        read_fd = -1;
        return -1;
    }
    wake_fd = p[1];
    if (pending) _wake('r');
    return 0;
}

void mux_reload_stop(void) {
    if (!worker) return;
    int fd = wake_fd.load();
    /* The pipe may be full of requests: the end is told by a blocking write. */
    fcntl(fd, F_SETFL, 0);
    char q = 'q';
    while (write(fd, &q, 1) < 0 && errno == EINTR) {}
    worker->join();
    delete worker;
    worker = nullptr;
    /* The pipe stays open: a handler that read the descriptor a moment ago
     * must never write into one the process has since reused. */
    wake_fd = -1;
}

int mux_reload(void) {
    mux_notify_reloading();
    /* First, and whatever the file holds: a log moved away by a rotation is
     * let go, and the lines of this reload go to the new file. */
    muxlog_reopen();
    const char *path = mux_config_path();
    Values log_before = _log_values();
    std::vector<Problem> problems;
    ConfigDiag diag{_collect, nullptr, &problems};
    configdrv_set_diag(&diag);
    int rc = config_refresh(config_getdefaultcache());
    configdrv_set_diag(nullptr);
    if (rc != 0) {
        for (const Problem &p : problems) {
            if (p.line > 0)
                qxlog(nullptr, QXLOG_ERROR, "configuration reload: %s:%d: %s", p.path.c_str(), p.line,
                      p.message.c_str());
            else qxlog(nullptr, QXLOG_ERROR, "configuration reload: %s: %s", p.path.c_str(), p.message.c_str());
        }
        qxlog(nullptr, QXLOG_ERROR,
              "configuration reload failed: %s is not used; the running configuration stays in force", path);
        mux_notify_ready();
        return 1;
    }

    MuxConfig fresh{};
    mux_config_defaults(&fresh);
    MuxLoaded loaded{};
    /* The command line was accepted at start-up and is the same now. */
    (void)mux_settings_load(&fresh, &loaded, saved_argc, saved_argv);
    std::vector<std::string> restart = _fixed_changes(fresh, loaded);
    std::vector<std::string> changed;
    _apply(fresh, loaded, &changed);
    mux_config_free(&fresh);

    muxlog_refresh();
    Values log_after = _log_values();
    for (size_t i = 0; i < log_after.size(); i++)
        if (log_after[i] != log_before[i])
            changed.push_back(std::string(kLogKeys[i]) + " " + _show(log_before[i]) + " -> " + _show(log_after[i]));
    if (!restart.empty())
        qxlog(nullptr, QXLOG_WARNING, "configuration reload: only a restart changes the %s; running values kept",
              _join(restart).c_str());
    qxlog(nullptr, QXLOG_NOTICE, "configuration reloaded from %s: %s", path,
          changed.empty() ? "nothing changed" : _join(changed).c_str());
    mux_reload_applied();
    mux_notify_ready();
    return 0;
}

void mux_reload_applied(void) {}
