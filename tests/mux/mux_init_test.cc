// Settings: the access list text and its matching rules, the environment
// names, and the configuration keys (host and port, log url, SSL and the
// handshake time limit).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "process/mux_init.h"
#include "test_support.h"

namespace {

// Lists built without a memory context live for the process in the program;
// the tests give them back.
struct Owned {
    AccessList *first;
    ~Owned() {
        while (AccessList *e = first) {
            first = e->next;
            free(e);
        }
    }
};

std::string entries(AccessList *l) {
    std::string s;
    char buf[64];
    for (; l; l = l->next) {
        snprintf(buf, sizeof buf, "%c%d.%d.%d.%d|%d.%d.%d.%d;", l->deny ? '-' : '+', l->addr[0], l->addr[1], l->addr[2], l->addr[3],
                 l->mask[0], l->mask[1], l->mask[2], l->mask[3]);
        s += buf;
    }
    return s;
}

const char *str(const char *s) { return s ? s : "(none)"; }

// The settings the tests look at, by name.
std::map<std::string, std::string> settings() {
    char listen[32];
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&gcfg.listen_addr);
    snprintf(listen, sizeof listen, "%d.%d.%d.%d:%d", a[0], a[1], a[2], a[3], gcfg.listen_port);
    std::string nicks;
    for (int i = 0; i <= MUX_MAX_NICKNAMES && gcfg.ssl_cert_nicknames[i]; i++)
        nicks += std::string(i ? "," : "") + gcfg.ssl_cert_nicknames[i];
    return {{"server", str(gcfg.server_host) + (":" + std::to_string(gcfg.server_port))},
            {"listen", listen},
            {"forks", std::to_string(gcfg.num_forks)},
            {"threads", std::to_string(gcfg.num_threads)},
            {"user", str(gcfg.user)},
            {"access", entries(gcfg.access)},
            {"ignore", std::to_string(multiplexor_ignore)},
            {"ssl", std::to_string(gcfg.ssl_enable)},
            {"ssldir", str(gcfg.ssl_config_dir)},
            {"secmod", str(gcfg.ssl_secmod_file)},
            {"password", str(gcfg.ssl_password_file)},
            {"ciphers", str(gcfg.ssl_cipher_specs)},
            {"nicks", nicks},
            {"cache", str(gcfg.ssl_cache_dir)},
            {"logdir", str(logdir)},
            {"logname", str(logname)},
            {"handshake", std::to_string(ssl_handshake_timeout)},
            {"queue", std::to_string(gcfg.client_queue_max)}};
}

// Checks the settings that `want` names, as "name=value" words.
void expect_settings(const std::string &want) {
    auto got = settings();
    std::istringstream words(want);
    for (std::string w; words >> w;) EXPECT_EQ(w.substr(0, w.find('=') + 1) + got.at(w.substr(0, w.find('='))), w);
}

const char *kEnvNames[] = {"NumForks",        "NumThreads", "ListenPort", "SSLEnable", "SSLSecmodFile", "SSLCipherSpecs",
                           "SSLCertNickname", "Access",     "MUXUser",    "Ignore",    "ClientQueueMax"};

// The access list text gives the entries up to the last semicolon or a bad
// sign, and their verdicts; then the settings from the environment names
// and the configuration keys.
TEST(AccessList, TextVerdictsEnvironmentNamesAndConfigurationKeys) {
    const std::pair<const char *, const char *> texts[] = {
        {"+192.168.1.0|255.255.255.0;-10.0.0.0|255.0.0.0;", "+192.168.1.0|255.255.255.0;-10.0.0.0|255.0.0.0;"},
        {"-10.0.0.0|255.0.0.0", ""},
        {"", ""},
        {"+1.2.3.4|255.255.255.255;-5.6.7.8|255.0.0.0", "+1.2.3.4|255.255.255.255;"},
        {"+1.0.0.0|255.0.0.0;*2.0.0.0|255.0.0.0;+3.0.0.0|255.0.0.0;", "+1.0.0.0|255.0.0.0;"},
    };
    for (auto &[text, want] : texts) EXPECT_EQ(entries(Owned{AccessList_Parse(nullptr, text)}.first), want) << text;
    // Missing dotted groups are zero; a group keeps its low eight bits.
    EXPECT_EQ(entries(Owned{AccessList_New(nullptr, "10.1", "255.256.1.2.9", 1)}.first), "-10.1.0.0|255.0.1.2;");
    // Deny entries block and one allow entry makes an allow list: a list,
    // the clients it admits and those it refuses.
    const std::tuple<const char *, const char *, const char *> checks[] = {
        {"", "1.2.3.4", ""},
        {"-10.0.0.0|255.0.0.0;", "11.0.0.1", "10.9.8.7"},
        {"+192.168.1.0|255.255.255.0;", "192.168.1.77", "192.168.2.1"},
        // A later allow wins.
        {"-192.168.1.5|255.255.255.255;+192.168.1.0|255.255.255.0;", "192.168.1.5 192.168.1.6", "10.0.0.1"},
        {"-0.0.0.0|0.0.0.0;", "", "8.8.8.8"},
        {"+1.2.3.4|0.0.0.0;", "8.8.8.8", ""},
    };
    for (auto &[list, admitted, refused] : checks) {
        Owned l{AccessList_Parse(nullptr, list)};
        for (auto [clients, want] : {std::pair{admitted, 1}, {refused, 0}}) {
            std::istringstream words(clients);
            for (std::string c; words >> c;) EXPECT_EQ(AccessList_Check(l.first, inet_addr(c.c_str())), want) << list << " " << c;
        }
    }
    // The environment names.
    std::string many;
    for (int i = 0; i < 20; i++) many += "n" + std::to_string(i) + "$";
    // clang-format off
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{}, "forks=1 threads=2 listen=0.0.0.0:9909 server=localhost:9999 ciphers=all nicks=Server-Cert user=(none) "
             "access= ignore=0 queue=1048576"},
        {{"ClientQueueMax=65536"}, "queue=65536"},
        {{"ClientQueueMax=0"}, "queue=0"},         // no bound
        {{"ClientQueueMax=-1"}, "queue=1048576"},  // a mistake, not "no bound": the default stays
        {{"NumForks=4", "NumThreads=", "ListenPort=127.0.0.2:7001", "MUXUser=nobody", "Access=-10.0.0.0|255.0.0.0;",
          "Ignore=yes"},
         "forks=4 threads=2 listen=127.0.0.2:7001 user=nobody access=-10.0.0.0|255.0.0.0; ignore=1"},
        // The SSL names count only after SSLEnable, and then an unset one stores none.
        {{"SSLSecmodFile=m.db", "ListenPort=7002"}, "ssl=0 secmod=(none) listen=0.0.0.0:7002"},
        {{"SSLEnable=yes", "SSLSecmodFile=m.db", "SSLCertNickname=a$b$$c"},
         "ssl=1 secmod=m.db ciphers=(none) nicks=a,b,c"},
        {{"SSLEnable=TRUE", "SSLCertNickname=" + many}, "nicks=n0,n1,n2,n3,n4,n5,n6,n7,n8,n9,n10,n11,n12,n13,n14,n15"},
    };
    // clang-format on
    for (auto &[env, want] : rows) {
        SCOPED_TRACE(::testing::PrintToString(env));
        mux_config_init();
        multiplexor_ignore = 0;
        for (const char *n : kEnvNames) unsetenv(n);
        for (const std::string &e : env) setenv(e.substr(0, e.find('=')).c_str(), e.substr(e.find('=') + 1).c_str(), 1);
        multiplexor_getenv();
        expect_settings(want);
        Owned{gcfg.access.exchange(nullptr)};
    }
    for (const char *n : kEnvNames) unsetenv(n);
    // Keys read through the default configuration cache, from a real file.
    // clang-format off
    const std::pair<const char *, const char *> keys[] = {
        {"orv_mux.serverport = \"im.example:7777\"\norv_mux.listenport = \"localhost:7000\"\n",
         "server=im.example:7777 listen=0.0.0.0:7000"},  // the listen host is not used
        {"orv_mux.serverport = 8888\n", "server=localhost:8888"},
        {"other.key = 1\n",
         "server=localhost:9999 listen=0.0.0.0:9909 logdir=/inst/var/log logname=mux.log ssl=0 handshake=60"},
        {"orv.log.orv_mux.url = \"/var/tmp/logs/m.log\"\n", "logdir=/var/tmp/logs/ logname=m.log"},
        {"orv_mux.usessl = yes\n", "ssl=1 ssldir=/inst/config secmod=secmod.db password=/inst/config/sslpassword.conf "
                                   "ciphers=all nicks=Server-Cert cache=/inst/var handshake=60"},
        {"orv_mux.keystorepasswordfile = /etc/pw\norv_mux.certnickname = Mine\n", "ssl=0 password=/etc/pw nicks=Mine"},
        {"orv_mux.secconfigdir = /db\norv_mux.keystorepasswordfile = pw.conf\norv_mux.sslcache = /c\n",
         "ssldir=/db password=/db/pw.conf cache=/c"},
        {"orv_mux.sslhandshaketimeout = 0\n", "handshake=0"},  // 0 turns the limit off
        {"orv_mux.sslhandshaketimeout = 7\n", "handshake=7"},
        {"orv_mux.sslhandshaketimeout = -5\n", "handshake=60"},  // a negative limit keeps the default
    };
    // clang-format on
    static char inst[] = "/inst", var[] = "/inst/var";
    instance_dir = inst;
    instance_var_dir = var;
    ts::TempDir dir;
    for (auto &[text, want] : keys) {
        SCOPED_TRACE(text);
        ts::write_file(dir / "c.conf", text);
        ConfigCache *cache = config_newcache();
        config_adddriver(cache, nullptr, config_readdriver_propsinit((dir / "c.conf").c_str()));
        ASSERT_EQ(config_fetch(cache), 0);
        config_setdefaultcache(cache);
        mux_config_init();
        parse_hostport();
        parse_listenport();
        parse_logurl();
        mux_read_ssl_keys();
        expect_settings(want);
        config_setdefaultcache(nullptr);
        config_freecache(cache);
    }
    instance_dir = instance_var_dir = nullptr;
    mux_config_init();
}

}  // namespace
