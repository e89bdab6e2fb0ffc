/* Start-up of a multiplexor process: the instance's directories, the pid
 * file and its lock, the files given to the configured user, ignored
 * signals. Runs in the first thread only. */
#include "process/mux_startup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "config/config_instance.h"
#include "log/qxlogger.h"
#include "process/mux_init.h"

namespace {

/* The log directory named by "orv.log.orv_mux.url" was made by this start:
 * it then belongs to the multiplexor, and goes to its user too. */
bool made_logdir = false;

std::string _own_logdir(void) { return std::string(instance_var_dir) + "/log"; }

/* 0 when the directory is there or was made. */
int _make_dir(const char *dir, bool *made) {
    struct stat st;
    if (mkdir(dir, 0700) == 0) {
        if (made) *made = true;
        return 0;
    }
    if (errno == EEXIST && stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    qxlog(nullptr, QXLOG_ERROR, "cannot make the log directory %s: %s", dir,
          errno == EEXIST ? "not a directory" : strerror(errno));
    return -1;
}

}  // namespace

std::string mux_pidfile_path(void) { return _own_logdir() + "/mux.pid"; }

int mux_instance_open(void) {
    struct stat st;
    int rc = stat(instance_var_dir, &st);
    if (rc != 0 || !S_ISDIR(st.st_mode)) {
        qxlog(nullptr, QXLOG_ERROR, "instance directory %s (orv.instancevardir) cannot be used: %s", instance_var_dir,
              rc != 0 ? strerror(errno) : "not a directory");
        return -1;
    }
    if (_make_dir(_own_logdir().c_str(), nullptr) != 0 || (logdir && _make_dir(logdir, &made_logdir) != 0)) return -1;

    unsigned long holder = 0;
    rc = config_lockpidfile("mux", &holder);
    if (rc == EAGAIN) {
        /* The holder writes its id once its port is bound. */
        char who[48] = "a multiplexor that is starting";
        if (holder) snprintf(who, sizeof who, "multiplexor process %lu", holder);
        qxlog(nullptr, QXLOG_ERROR, "instance directory %s is in use by %s (pid file %s); stop it with -k first",
              instance_var_dir, who, mux_pidfile_path().c_str());
        return -1;
    }
    if (rc != 0) {
        qxlog(nullptr, QXLOG_ERROR, "cannot write the pid file %s: %s", mux_pidfile_path().c_str(),
              strerror(rc == 1 ? EINVAL : rc));
        return -1;
    }
    return 0;
}

void mux_instance_give(uid_t uid, gid_t gid) {
    std::vector<std::string> paths = {
        _own_logdir(), mux_pidfile_path(),
        std::string(logdir ? logdir : _own_logdir().c_str()) + "/" + (logname ? logname : "")};
    if (made_logdir) paths.push_back(logdir);
    /* What fails here shows in mux_instance_unusable. */
    for (const std::string &path : paths) {
        int r = chown(path.c_str(), uid, gid);
        (void)r;
    }
}

std::string mux_instance_unusable(bool given) {
    struct Need {
        std::string path;
        int mode;
        const char *what;
    };
    std::vector<Need> needs = {{_own_logdir(), W_OK | X_OK, "the pid file's directory"},
                               {logdir ? logdir : _own_logdir(), W_OK | X_OK, "the log directory"}};
    if (!given) {
        /* The start gives the user the pid file's directory and a log
         * directory it makes: the user must reach them. */
        struct stat st;
        needs = {{instance_var_dir, X_OK, "the instance directory"}};
        if (logdir && stat(logdir, &st) == 0 && _own_logdir() != logdir && _own_logdir() + "/" != logdir)
            needs.push_back({logdir, W_OK | X_OK, "the log directory"});
    }
    if (gcfg.ssl_enable) {
        std::string db = gcfg.ssl_config_dir ? gcfg.ssl_config_dir : "";
        if (db.rfind("sql:", 0) == 0 || db.rfind("dbm:", 0) == 0) db.erase(0, 4);
        needs.push_back({db, R_OK | X_OK, "the certificate database directory"});
        /* A database without a password needs no file. */
        if (gcfg.ssl_password_file && access(gcfg.ssl_password_file, F_OK) == 0)
            needs.push_back({gcfg.ssl_password_file, R_OK, "the password file"});
        if (gcfg.ssl_cache_dir) needs.push_back({gcfg.ssl_cache_dir, W_OK | X_OK, "the SSL session cache directory"});
    }
    for (const Need &n : needs) {
        if (faccessat(AT_FDCWD, n.path.c_str(), n.mode, AT_EACCESS) == 0) continue;
        return std::string(n.what) + " " + n.path + " is not " +
               (n.mode & W_OK    ? "writable"
                : n.mode == X_OK ? "searchable"
                                 : "readable") +
               " for this user (" + strerror(errno) +
               "); give it to the user or open it to the user, and make the directories above it searchable";
    }
    return "";
}

void mux_ignore_unused_signals(void) {
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
}
