/* The configuration check: the start-up's reading of the settings, with
 * every problem reported instead of the first one ending the start. */
#include "process/mux_check.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>

#include "config/config.h"
#include "config/config_instance.h"
#include "config/configdrv_parse.h"
#include "log/qxlogger.h"
#include "plat/asock.h"
#include "process/multiplexor.h"
#include "process/mux_init.h"
#include "process/mux_startup.h"

namespace {

struct Check {
    std::string conf;
    std::map<std::string, std::pair<std::string, int>> lines; /* key: where its last occurrence is */
    int errors = 0;
    int warnings = 0;
    std::string ssl_reasons;

    void report(bool error, const std::string &path, int line, const std::string &message) {
        (error ? errors : warnings)++;
        std::string where = line > 0 ? path + ":" + std::to_string(line) : path;
        fprintf(stderr, "%s: %s: %s\n", where.c_str(), error ? "error" : "warning", message.c_str());
    }
    /* At the line of `key` when the file has it, else at the file. */
    void at_key(bool error, const char *key, const std::string &message) {
        auto it = lines.find(key);
        if (it == lines.end()) report(error, conf, 0, message);
        else report(error, it->second.first, it->second.second, message);
    }
};
Check *check = nullptr;

int _problem(void *, const char *path, int line, const char *message) {
    check->report(true, path ? path : check->conf, line, message);
    return 1;
}

void _option(void *, const char *path, int line, const char *name) { check->lines[name] = {path, line}; }

int _ssl_warn(int first, const char *message) {
    check->ssl_reasons += (check->ssl_reasons.empty() ? "" : "; ") + std::string(message);
    return first;
}

std::string _value(const char *key) {
    char *v = config_get_stringcopy(config_getdefaultcache(), key, nullptr);
    std::string out = v ? v : "";
    free(v);
    return out;
}

bool _has(const char *key) { return check->lines.count(key) != 0; }

bool _is_number(const std::string &v) {
    size_t i = v[0] == '-' ? 1 : 0;
    return i < v.size() && v[i] >= '0' && v[i] <= '9';
}

/* A directory that is there, or that the start can make (its parent is). */
void _dir_usable(const char *key, const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) check->at_key(true, key, dir + " is not a directory");
        return;
    }
    size_t cut = dir.find_last_of('/', dir.size() > 1 ? dir.size() - 2 : 0);
    std::string parent = cut == std::string::npos ? "." : cut == 0 ? "/" : dir.substr(0, cut);
    if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        check->at_key(true, key, "the log directory " + dir + " is missing and cannot be made: " + strerror(ENOENT));
}

/* Values that start but are likely not what was meant. */
void _values(void) {
    ConfigCache *c = config_getdefaultcache();
    for (const char *key :
         {"orv_mux.numinstances", "orv_mux.maxthreads", "orv_mux.maxsessions", "orv_mux.stat_frequency",
          "orv_mux.conn_rate_limit", "orv_mux.sslhandshaketimeout", "orv_mux.client_queue_max"}) {
        std::string v = _value(key);
        if (_has(key) && !v.empty() && !_is_number(v))
            check->at_key(false, key, std::string(key) + " = " + v + " is not a number; the default is used");
    }
    if (_has("orv_mux.usessl") && config_get_switch(c, "orv_mux.usessl", -1) == -1)
        check->at_key(false, "orv_mux.usessl",
                      "orv_mux.usessl = " + _value("orv_mux.usessl") + " is neither on nor off; SSL stays off");
    for (auto [key, low] : {std::pair{"orv_mux.listenport", 0}, {"orv_mux.serverport", 1}}) {
        std::string v = _value(key);
        std::string port = v.substr(v.find(':') == std::string::npos ? 0 : v.find(':') + 1);
        long n = _is_number(port) ? strtol(port.c_str(), nullptr, 10) : -1;
        if (_has(key) && (n < low || n > 65535))
            check->at_key(false, key,
                          std::string(key) + " = " + v + " has no port from " + std::to_string(low) + " to 65535");
    }
    if (_has("orv_mux.stat_frequency") && _is_number(_value("orv_mux.stat_frequency")) &&
        config_get_int(c, "orv_mux.stat_frequency", 0) < 10000)
        check->at_key(false, "orv_mux.stat_frequency", "orv_mux.stat_frequency is below 10000 and is raised to 10000");
    for (auto [key, none] : {std::pair{"orv_mux.access", "no list, every client is admitted"},
                             {"orv_mux.proxy_trusted", "no trusted source, no PROXY header is read"}}) {
        std::string text = _value(key);
        if (!_has(key)) continue;
        AccessList *list = AccessList_Parse(nullptr, text.c_str());
        std::string used = mux_access_text(list);
        AccessList_Free(list);
        size_t entries = 0, want = 0;
        for (char ch : used) entries += ch == ';';
        for (char ch : text) want += ch == ';';
        if (entries < want || entries == 0 || text.back() != ';')
            check->at_key(false, key,
                          std::string(key) +
                              " is used up to its first malformed entry: " + (used.empty() ? std::string(none) : used));
    }
    std::string severity = _value("orv.log.orv_mux.severity");
    if (!severity.empty() && strcasecmp(severity.c_str(), "Nolog") != 0) {
        bool known = false;
        for (const char *w : {"Emergency", "Alert", "Critical", "Error", "Warning", "Notice", "Information", "Debug"})
            known = known || strcasecmp(severity.c_str(), w) == 0;
        if (!known)
            check->at_key(false, "orv.log.orv_mux.severity",
                          "orv.log.orv_mux.severity = " + severity + " is not a severity; Information is used");
    }
}

void _user(void) {
    if (!gcfg.user || !*gcfg.user) return;
    passwd *pw = getpwnam(gcfg.user);
    if (!pw) {
        check->at_key(true, "orv.user", std::string("cannot run as user ") + gcfg.user + ": no such user");
        return;
    }
    /* What the process uses as the user, the way the start finds it. */
    if (geteuid() != 0 || pw->pw_uid == 0) return;
    std::string why;
    if (initgroups(pw->pw_name, pw->pw_gid) == 0 && setegid(pw->pw_gid) == 0 && seteuid(pw->pw_uid) == 0) {
        why = mux_instance_unusable(false);
        if (seteuid(0) != 0 || setegid(0) != 0) why = strerror(errno);
    }
    if (!why.empty()) check->at_key(true, "orv.user", std::string("cannot run as user ") + gcfg.user + ": " + why);
}

void _ssl(void) {
    if (!gcfg.ssl_enable) return;
    if (ASockSSL_Init(gcfg.ssl_config_dir, gcfg.ssl_certdb_prefix, gcfg.ssl_keydb_prefix, gcfg.ssl_secmod_file,
                      gcfg.ssl_password_file, gcfg.ssl_cert_nicknames, gcfg.ssl_cache_dir, _ssl_warn, 0))
        ASockSSL_Cleanup();
    else check->at_key(true, "orv_mux.usessl", "SSL Init failed: " + check->ssl_reasons);
}

}  // namespace

int mux_check_run(const char *confpath, int argc, char **argv) {
    Check state;
    check = &state;
    state.conf = confpath;
    ConfigDiag diag{_problem, _option, nullptr};
    configdrv_set_diag(&diag);
    mux_config_init();
    ConfigCache *cache = config_newcache();
    if (cache) config_setdefaultcache(cache);
    ConfigDriver *driver = cache ? config_readdriver_propsinit(confpath) : nullptr;
    if (cache && driver) {
        config_adddriver(cache, nullptr, driver);
        config_fetch(cache);
    }
    configdrv_set_diag(nullptr);
    if (!cache || !driver) {
        if (state.errors == 0) state.report(true, confpath, 0, "the configuration cannot be read");
    } else {
        instance_dir = config_get_stringcopy(cache, "orv.instancedir", nullptr);
        instance_var_dir = config_get_stringcopy(cache, "orv.instancevardir", nullptr);
        if (!instance_dir) state.report(true, confpath, 0, "option orv.instancedir not found");
        if (!instance_var_dir) state.report(true, confpath, 0, "option orv.instancevardir not found");
        struct stat st;
        int rc = instance_var_dir ? stat(instance_var_dir, &st) : 0;
        if (instance_var_dir && (rc != 0 || !S_ISDIR(st.st_mode)))
            state.at_key(
                true, "orv.instancevardir",
                std::string("instance directory ") + instance_var_dir +
                    " (orv.instancevardir) cannot be used: " + (rc != 0 ? strerror(errno) : "not a directory"));
        if (instance_dir && instance_var_dir) {
            config_setinstancedir(instance_var_dir);
            if (mux_logurl_read(&logdir, &logname) != 0)
                state.at_key(true, "orv.log.orv_mux.url", "Multiplexor log url has invalid value (it ends in \"/\")");
            else if (_has("orv.log.orv_mux.url")) _dir_usable("orv.log.orv_mux.url", logdir);
            MuxLoaded loaded{};
            if (mux_settings_load(&gcfg, &loaded, argc, argv) != 0) {
                state.report(true, "command line", 0, "refused (see above)");
            } else {
                _values();
                _user();
                _ssl();
            }
        }
    }
    if (state.errors) {
        fprintf(stderr, "%s: %d error%s: the multiplexor would not start\n", confpath, state.errors,
                state.errors == 1 ? "" : "s");
        return 1;
    }
    printf("%s: configuration ok%s\n", confpath, state.warnings ? " (with warnings)" : "");
    return 0;
}
