/* Multiplexor settings and the client access list.
 *
 * Runs in the start-up thread only, before any dispatch context exists;
 * AccessList_Check is called later from the accept handler and only reads. */
#include "process/mux_init.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "config/config.h"
#include "tovi/xmalloc.h"

MuxConfig gcfg = {};
char *instance_dir = nullptr;
char *instance_var_dir = nullptr;
char *logdir = nullptr;
char *logname = nullptr;
std::atomic<int32_t> conn_rate_limit{0};
std::atomic<int32_t> client_queue_max{MUX_CLIENT_QUEUE_MAX_DEFAULT};
int32_t multiplexor_ignore = 0;
int32_t ssl_handshake_timeout = 60;

namespace {

char *_dup_or_null(const char *s) { return s ? xstrdup(s) : nullptr; }

char *_printf_dup(const char *fmt, const char *a, const char *b) {
    size_t n = strlen(fmt) + strlen(a) + (b ? strlen(b) : 0) + 1;
    char *out = static_cast<char *>(xmalloc(n));
    snprintf(out, n, fmt, a, b);
    return out;
}

int _is_yes(const char *v) { return v && (strcasecmp(v, "yes") == 0 || strcasecmp(v, "true") == 0); }

/* The environment value when set and not empty, else NULL (malloc'ed). */
char *_env(const char *name) {
    char *v = multiplexor_getini(nullptr, name);
    if (v && !*v) {
        free(v);
        return nullptr;
    }
    return v;
}

void _set_nicknames(MuxConfig &cfg, const char *text) {
    char **names = MemCx_PszArrayAppendStr(nullptr, nullptr, text, "$");
    if (!names) return;
    for (int i = 0; i <= MUX_MAX_NICKNAMES; i++) mux_config_replace(&cfg.ssl_cert_nicknames[i], nullptr);
    /* Names past the sixteenth are dropped so the list stays terminated. */
    for (int i = 0; names[i]; i++) {
        if (i < MUX_MAX_NICKNAMES) cfg.ssl_cert_nicknames[i] = names[i];
        else free(names[i]);
    }
    free(names);
}

}  // namespace

void mux_config_replace(char **field, char *value) {
    char *old = *field;
    *field = value;
    free(old);
}

void mux_config_defaults(MuxConfig *cfg) {
    MuxConfig &c = *cfg;
    mux_config_replace(&c.program_name, xstrdup(""));
    c.listen_addr = 0;
    c.listen_port = 9909;
    c.server_port = 9999;
    mux_config_replace(&c.server_host, xstrdup("localhost"));
    c.num_threads = 2;
    c.num_forks = 1;
    c.access = nullptr;
    c.proxy_trusted = nullptr;
    mux_config_replace(&c.user, nullptr);
    c.ssl_enable = 0;
    for (char **f : {&c.ssl_secmod_file, &c.ssl_config_dir, &c.ssl_certdb_prefix, &c.ssl_keydb_prefix,
                     &c.ssl_password_file, &c.ssl_cache_dir})
        mux_config_replace(f, nullptr);
    mux_config_replace(&c.ssl_cipher_specs, xstrdup("all"));
    for (int i = 1; i <= MUX_MAX_NICKNAMES; i++) mux_config_replace(&c.ssl_cert_nicknames[i], nullptr);
    mux_config_replace(&c.ssl_cert_nicknames[0], xstrdup("Server-Cert"));
    c.stat_frequency = 600000;
    c.client_queue_max = MUX_CLIENT_QUEUE_MAX_DEFAULT;
}

void mux_config_init(void) { mux_config_defaults(&gcfg); }

void mux_config_free(MuxConfig *cfg) {
    for (char **f : {&cfg->program_name, &cfg->server_host, &cfg->user, &cfg->ssl_secmod_file, &cfg->ssl_config_dir,
                     &cfg->ssl_certdb_prefix, &cfg->ssl_keydb_prefix, &cfg->ssl_password_file, &cfg->ssl_cipher_specs,
                     &cfg->ssl_cache_dir})
        mux_config_replace(f, nullptr);
    for (char *&nick : cfg->ssl_cert_nicknames) mux_config_replace(&nick, nullptr);
    AccessList_Free(cfg->access.exchange(nullptr));
    AccessList_Free(cfg->proxy_trusted.exchange(nullptr));
}

/* --- settings store --------------------------------------------------------- */

char *multiplexor_getini(MemCx *mcx, const char *name) {
    const char *v = getenv(name);
    if (!v) return nullptr;
    size_t n = strlen(v) + 1;
    char *out = static_cast<char *>(mcx ? mcx->Realloc(mcx, nullptr, n) : xmalloc(n));
    if (out) memcpy(out, v, n);
    return out;
}

void multiplexor_getinibase(char *buffer) { buffer[0] = 0; }

void multiplexor_setini(const char *, const char *) {}

void multiplexor_killenv(void) {}

void multiplexor_setenv(void) {
    char buf[64];
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&gcfg.listen_addr);
    if (gcfg.listen_addr) snprintf(buf, sizeof buf, "%d.%d.%d.%d:%d", a[0], a[1], a[2], a[3], gcfg.listen_port);
    else snprintf(buf, sizeof buf, "%d", gcfg.listen_port);
    multiplexor_setini("ListenPort", buf);
    if (gcfg.num_forks) {
        snprintf(buf, sizeof buf, "%d", gcfg.num_forks);
        multiplexor_setini("NumForks", buf);
    }
    if (gcfg.num_threads) {
        snprintf(buf, sizeof buf, "%d", gcfg.num_threads);
        multiplexor_setini("NumThreads", buf);
    }
    if (multiplexor_ignore) multiplexor_setini("Ignore", "True");
    std::string access = mux_access_text(gcfg.access);
    if (!access.empty()) multiplexor_setini("Access", access.c_str());
}

void multiplexor_getenv(void) { mux_getenv_into(&gcfg); }

void mux_getenv_into(MuxConfig *cfg) {
    char *v;
    if ((v = _env("NumForks"))) {
        cfg->num_forks = atoi(v);
        free(v);
    }
    if ((v = _env("NumThreads"))) {
        cfg->num_threads = atoi(v);
        free(v);
    }
    if ((v = _env("ListenPort"))) {
        if (const char *host = mux_split_hostport(v, &cfg->listen_port)) cfg->listen_addr = inet_addr(host);
        free(v);
    }
    if ((v = _env("SSLEnable"))) {
        if (_is_yes(v)) {
            cfg->ssl_enable = 1;
            /* Each of these is stored whether set or not: unset gives none. */
            mux_config_replace(&cfg->ssl_secmod_file, multiplexor_getini(nullptr, "SSLSecmodFile"));
            mux_config_replace(&cfg->ssl_config_dir, multiplexor_getini(nullptr, "SSLConfigDir"));
            mux_config_replace(&cfg->ssl_certdb_prefix, multiplexor_getini(nullptr, "SSLCertFile"));
            mux_config_replace(&cfg->ssl_keydb_prefix, multiplexor_getini(nullptr, "SSLKeyFile"));
            mux_config_replace(&cfg->ssl_password_file, multiplexor_getini(nullptr, "SSLKeyPasswd"));
            mux_config_replace(&cfg->ssl_cipher_specs, multiplexor_getini(nullptr, "SSLCipherSpecs"));
            if (char *nick = multiplexor_getini(nullptr, "SSLCertNickname")) {
                _set_nicknames(*cfg, nick);
                free(nick);
            }
        }
        free(v);
    }
    if ((v = _env("Ignore"))) {
        if (_is_yes(v)) multiplexor_ignore = 1;
        free(v);
    }
    if ((v = _env("Access"))) {
        AccessList_Free(cfg->access.exchange(AccessList_Parse(nullptr, v)));
        free(v);
    }
    if ((v = _env("ProxyTrusted"))) {
        AccessList_Free(cfg->proxy_trusted.exchange(AccessList_Parse(nullptr, v)));
        free(v);
    }
    if ((v = _env("MUXUser"))) mux_config_replace(&cfg->user, v);
    if ((v = _env("ClientQueueMax"))) {
        mux_set_client_queue_max(cfg, atoi(v));
        free(v);
    }
}

void mux_set_client_queue_max(MuxConfig *cfg, int32_t bytes) {
    /* A negative bound is a mistake, not a wish for none: keep the current. */
    if (bytes >= 0) cfg->client_queue_max = bytes;
}

/* --- configuration keys ------------------------------------------------------ */

const char *mux_split_hostport(char *text, uint16_t *port) {
    char *colon = strchr(text, ':');
    if (colon) *colon = 0;
    *port = static_cast<uint16_t>(atoi(colon ? colon + 1 : text));
    return colon ? text : nullptr;
}

void parse_hostport(void) { mux_hostport_into(&gcfg); }

void mux_hostport_into(MuxConfig *cfg) {
    char *v = config_get_stringcopy(config_getdefaultcache(), "orv_mux.serverport", "localhost:9999");
    if (!v) return;
    if (const char *host = mux_split_hostport(v, &cfg->server_port))
        mux_config_replace(&cfg->server_host, xstrdup(host));
    free(v);
}

void parse_listenport(void) { mux_listenport_into(&gcfg); }

void mux_listenport_into(MuxConfig *cfg) {
    char *v = config_get_stringcopy(config_getdefaultcache(), "orv_mux.listenport", "localhost:9909");
    if (!v) return;
    mux_split_hostport(v, &cfg->listen_port);
    free(v);
}

void parse_logurl(void) {
    if (mux_logurl_read(&logdir, &logname) != 0) {
        printf("ERROR: Multiplexor log url has invalid value in config file.\n");
        fflush(stdout);
        exit(-1);
    }
}

int mux_logurl_read(char **dir, char **name) {
    char *v = config_get_stringcopy(config_getdefaultcache(), "orv.log.orv_mux.url", "mux.log");
    if (!v) v = xstrdup("mux.log");
    char *slash = strrchr(v, '/');
    if (slash) {
        if (!slash[1]) {
            free(v);
            return -1;
        }
        mux_config_replace(name, xstrdup(slash + 1));
        slash[1] = 0;
        mux_config_replace(dir, v);
    } else {
        mux_config_replace(dir, _printf_dup("%s/log", instance_var_dir ? instance_var_dir : ".", nullptr));
        mux_config_replace(name, v);
    }
    return 0;
}

void mux_read_ssl_keys(void) { mux_ssl_keys_into(&gcfg, &ssl_handshake_timeout); }

void mux_ssl_keys_into(MuxConfig *cfg, int32_t *handshake_timeout) {
    ConfigCache *c = config_getdefaultcache();
    cfg->ssl_enable = config_get_switch(c, "orv_mux.usessl", 0);
    const char *dir = config_get_string(c, "orv_mux.secconfigdir", "");
    if (dir && *dir) mux_config_replace(&cfg->ssl_config_dir, xstrdup(dir));
    else mux_config_replace(&cfg->ssl_config_dir, _printf_dup("%s/config", instance_dir ? instance_dir : ".", nullptr));
    mux_config_replace(&cfg->ssl_secmod_file, config_get_stringcopy(c, "orv_mux.secmodfile", "secmod.db"));
    mux_config_replace(&cfg->ssl_certdb_prefix, config_get_stringcopy(c, "orv_mux.certdbprefix", ""));
    mux_config_replace(&cfg->ssl_keydb_prefix, config_get_stringcopy(c, "orv_mux.keydbprefix", ""));
    const char *pw = config_get_string(c, "orv_mux.keystorepasswordfile", "sslpassword.conf");
    if (pw && pw[0] == '/') mux_config_replace(&cfg->ssl_password_file, xstrdup(pw));
    else mux_config_replace(&cfg->ssl_password_file, _printf_dup("%s/%s", cfg->ssl_config_dir, pw ? pw : ""));
    mux_config_replace(&cfg->ssl_cipher_specs, _dup_or_null(config_get_string(c, "orv_mux.cipherspecs", "all")));
    const char *nick = config_get_string(c, "orv_mux.certnickname", "");
    if (nick && *nick) mux_config_replace(&cfg->ssl_cert_nicknames[0], xstrdup(nick));
    mux_config_replace(&cfg->ssl_cache_dir, config_get_stringcopy(c, "orv_mux.sslcache", instance_var_dir));
    /* A negative limit is a mistake, not a wish for none: keep the default. */
    int32_t limit = config_get_int(c, "orv_mux.sslhandshaketimeout", 60);
    *handshake_timeout = limit < 0 ? 60 : limit;
}

/* --- access list --------------------------------------------------------------- */

namespace {

void _dotted(const char *text, unsigned char out[4]) {
    memset(out, 0, 4);
    const char *p = text;
    for (int i = 0; i < 4 && p; i++) {
        out[i] = static_cast<unsigned char>(atoi(p));
        p = strchr(p, '.');
        if (p) p++;
    }
}

}  // namespace

AccessList *AccessList_New(MemCx *mcx, const char *address_text, const char *mask_text, int32_t deny) {
    AccessList *e = static_cast<AccessList *>(mcx ? mcx->Realloc(mcx, nullptr, sizeof(AccessList))
                                                  : xcalloc(1, sizeof(AccessList)));
    if (!e) return nullptr;
    e->next = nullptr;
    _dotted(address_text, e->addr);
    _dotted(mask_text, e->mask);
    e->deny = deny ? 1 : 0;
    return e;
}

AccessList *AccessList_Parse(MemCx *mcx, const char *text) {
    AccessList *first = nullptr, *last = nullptr;
    /* A view that moves on entry by entry: what remains is never copied. */
    std::string_view rest = text ? text : "";
    for (;;) {
        size_t semi = rest.find(';');
        size_t bar = rest.find('|');
        if (semi == std::string::npos || bar == std::string::npos) break;
        /* Cut at both marks: the address runs to the "|", the mask from there
         * to the ";" (or, when the ";" comes first, to the next one). */
        std::string entry(rest.substr(0, std::min(semi, bar)));
        std::string_view tail = rest.substr(bar + 1);
        std::string mask(tail.substr(0, tail.find(';')));
        int deny;
        if (!entry.empty() && entry[0] == '+') deny = 0;
        else if (!entry.empty() && entry[0] == '-') deny = 1;
        else break;
        AccessList *e = AccessList_New(mcx, entry.c_str() + 1, mask.c_str(), deny);
        if (!e) break;
        if (last) last->next = e;
        else first = e;
        last = e;
        rest.remove_prefix(semi + 1);
    }
    return first;
}

int AccessList_Check(AccessList *first, uint32_t client) {
    if (!first) return 1;
    unsigned char c[4];
    memcpy(c, &client, 4);
    int refused = 0;
    for (AccessList *e = first; e; e = e->next) {
        bool match = true;
        for (int i = 0; i < 4; i++)
            if ((e->addr[i] ^ c[i]) & e->mask[i]) match = false;
        if (match && !e->deny) return 1;
        /* A deny match, or an allow entry that does not match, refuses unless
         * a later allow entry matches. */
        if (match || !e->deny) refused = 1;
    }
    return !refused;
}

void AccessList_Free(AccessList *first) {
    while (first) {
        AccessList *next = first->next;
        free(first);
        first = next;
    }
}

std::string mux_access_text(const AccessList *first) {
    std::string text;
    char buf[64];
    for (const AccessList *e = first; e; e = e->next) {
        snprintf(buf, sizeof buf, "%c%d.%d.%d.%d|%d.%d.%d.%d;", e->deny ? '-' : '+', e->addr[0], e->addr[1], e->addr[2],
                 e->addr[3], e->mask[0], e->mask[1], e->mask[2], e->mask[3]);
        text += buf;
    }
    return text;
}
