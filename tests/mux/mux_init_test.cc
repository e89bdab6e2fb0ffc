// Settings: the access list text and its matching rules, the environment
// names, and the host/port and log url keys.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "config/config.h"
#include "process/mux_init.h"

namespace {

uint32_t ip(const char *text) { return inet_addr(text); }

// Lists built without a memory context live for the process in the program;
// the tests give them back.
struct Owned {
    AccessList *first;
    ~Owned() {
        while (first) {
            AccessList *next = first->next;
            free(first);
            first = next;
        }
    }
    operator AccessList *() const { return first; }
};
Owned parse(const char *text) { return Owned{AccessList_Parse(nullptr, text)}; }

std::string entries(AccessList *l) {
    std::string s;
    char buf[64];
    for (; l; l = l->next) {
        snprintf(buf, sizeof buf, "%c%d.%d.%d.%d|%d.%d.%d.%d;", l->deny ? '-' : '+', l->addr[0], l->addr[1],
                 l->addr[2], l->addr[3], l->mask[0], l->mask[1], l->mask[2], l->mask[3]);
        s += buf;
    }
    return s;
}

TEST(AccessListText, ParsesEntriesInOrder) {
    Owned l = parse("+192.168.1.0|255.255.255.0;-10.0.0.0|255.0.0.0;");
    EXPECT_EQ(entries(l), "+192.168.1.0|255.255.255.0;-10.0.0.0|255.0.0.0;");
}

TEST(AccessListText, LastEntryCountsOnlyWithItsSemicolon) {
    EXPECT_EQ(entries(parse("-10.0.0.0|255.0.0.0")), "");
    EXPECT_EQ(entries(parse("")), "");
    EXPECT_EQ(entries(parse("+1.2.3.4|255.255.255.255;-5.6.7.8|255.0.0.0")),
              "+1.2.3.4|255.255.255.255;");
}

TEST(AccessListText, BadSignStopsTheListKeepingEarlierEntries) {
    EXPECT_EQ(entries(parse("+1.0.0.0|255.0.0.0;*2.0.0.0|255.0.0.0;+3.0.0.0|255.0.0.0;")),
              "+1.0.0.0|255.0.0.0;");
}

TEST(AccessListText, DottedGroupsFillMissingPartsWithZeroAndKeepLowBits) {
    Owned e{AccessList_New(nullptr, "10.1", "255.256.1.2.9", 1)};
    EXPECT_EQ(entries(e), "-10.1.0.0|255.0.1.2;");
}

TEST(AccessListCheck, NoListAdmitsEveryone) { EXPECT_EQ(AccessList_Check(nullptr, ip("1.2.3.4")), 1); }

TEST(AccessListCheck, DenyEntriesAloneAreABlockList) {
    Owned l = parse("-10.0.0.0|255.0.0.0;");
    EXPECT_EQ(AccessList_Check(l, ip("10.9.8.7")), 0);
    EXPECT_EQ(AccessList_Check(l, ip("11.0.0.1")), 1);
}

TEST(AccessListCheck, OneAllowEntryMakesAnAllowList) {
    Owned l = parse("+192.168.1.0|255.255.255.0;");
    EXPECT_EQ(AccessList_Check(l, ip("192.168.1.77")), 1);
    EXPECT_EQ(AccessList_Check(l, ip("192.168.2.1")), 0);
}

TEST(AccessListCheck, LaterAllowOverridesEarlierDeny) {
    Owned l = parse("-192.168.1.5|255.255.255.255;+192.168.1.0|255.255.255.0;");
    EXPECT_EQ(AccessList_Check(l, ip("192.168.1.5")), 1);
    EXPECT_EQ(AccessList_Check(l, ip("192.168.1.6")), 1);
    EXPECT_EQ(AccessList_Check(l, ip("10.0.0.1")), 0);
}

TEST(AccessListCheck, ZeroMaskMatchesEverything) {
    EXPECT_EQ(AccessList_Check(parse("-0.0.0.0|0.0.0.0;"), ip("8.8.8.8")), 0);
    EXPECT_EQ(AccessList_Check(parse("+1.2.3.4|0.0.0.0;"), ip("8.8.8.8")), 1);
}

// Environment names: every test sets what it needs and clears it again.
class EnvTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mux_config_init();
        for (const char *n : kNames) unsetenv(n);
    }
    void TearDown() override {
        for (const char *n : kNames) unsetenv(n);
        Owned{gcfg.access};
        gcfg.access = nullptr;
        mux_config_init();
        client_queue_max = MUX_CLIENT_QUEUE_MAX_DEFAULT;
    }
    static constexpr const char *kNames[] = {"NumForks", "NumThreads", "ListenPort", "SSLEnable", "SSLSecmodFile",
                                             "SSLCipherSpecs", "SSLCertNickname", "Access", "MUXUser", "Ignore",
                                             "ClientQueueMax"};
};

TEST_F(EnvTest, DefaultsStayWhenNothingIsSet) {
    multiplexor_getenv();
    EXPECT_EQ(gcfg.num_forks, 1);
    EXPECT_EQ(gcfg.num_threads, 2);
    EXPECT_EQ(gcfg.listen_port, 9909);
    EXPECT_EQ(gcfg.listen_addr, 0u);
    EXPECT_STREQ(gcfg.server_host, "localhost");
    EXPECT_STREQ(gcfg.ssl_cipher_specs, "all");
    EXPECT_STREQ(gcfg.ssl_cert_nicknames[0], "Server-Cert");
    EXPECT_EQ(gcfg.user, nullptr);
}

TEST_F(EnvTest, NumbersPortsUserAndAccess) {
    setenv("NumForks", "4", 1);
    setenv("NumThreads", "", 1);  // empty changes nothing
    setenv("ListenPort", "127.0.0.2:7001", 1);
    setenv("MUXUser", "nobody", 1);
    setenv("Access", "-10.0.0.0|255.0.0.0;", 1);
    multiplexor_getenv();
    EXPECT_EQ(gcfg.num_forks, 4);
    EXPECT_EQ(gcfg.num_threads, 2);
    EXPECT_EQ(gcfg.listen_addr, ip("127.0.0.2"));
    EXPECT_EQ(gcfg.listen_port, 7001);
    EXPECT_STREQ(gcfg.user, "nobody");
    EXPECT_EQ(AccessList_Check(gcfg.access, ip("10.1.1.1")), 0);
    EXPECT_EQ(client_queue_max, MUX_CLIENT_QUEUE_MAX_DEFAULT);
    unsetenv("Access");  // entries are never freed: read the list once
    setenv("ClientQueueMax", "65536", 1);
    multiplexor_getenv();
    EXPECT_EQ(client_queue_max, 65536);
    setenv("ClientQueueMax", "-1", 1);  // a mistake, not "no limit": kept
    multiplexor_getenv();
    EXPECT_EQ(client_queue_max, 65536);
}

TEST_F(EnvTest, SslNamesOnlyAfterSslEnableAndUnsetStoresNone) {
    setenv("SSLSecmodFile", "m.db", 1);
    multiplexor_getenv();
    EXPECT_EQ(gcfg.ssl_enable, 0);
    EXPECT_EQ(gcfg.ssl_secmod_file, nullptr);

    setenv("SSLEnable", "yes", 1);
    setenv("SSLCertNickname", "a$b$$c", 1);
    multiplexor_getenv();
    EXPECT_EQ(gcfg.ssl_enable, 1);
    EXPECT_STREQ(gcfg.ssl_secmod_file, "m.db");
    EXPECT_EQ(gcfg.ssl_cipher_specs, nullptr);
    EXPECT_STREQ(gcfg.ssl_cert_nicknames[0], "a");
    EXPECT_STREQ(gcfg.ssl_cert_nicknames[1], "b");
    EXPECT_STREQ(gcfg.ssl_cert_nicknames[2], "c");
    EXPECT_EQ(gcfg.ssl_cert_nicknames[3], nullptr);
}

TEST_F(EnvTest, MoreThanSixteenNicknamesKeepTheListTerminated) {
    std::string many;
    for (int i = 0; i < 20; i++) many += "n" + std::to_string(i) + "$";
    setenv("SSLEnable", "TRUE", 1);
    setenv("SSLCertNickname", many.c_str(), 1);
    multiplexor_getenv();
    EXPECT_STREQ(gcfg.ssl_cert_nicknames[15], "n15");
    EXPECT_EQ(gcfg.ssl_cert_nicknames[MUX_MAX_NICKNAMES], nullptr);
}

// Keys read through the default configuration cache, from a real file.
class KeysTest : public ::testing::Test {
  protected:
    void load(const std::string &text) {
        char path[] = "/tmp/muxinit.XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
        cache = config_newcache();
        config_adddriver(cache, nullptr, config_readdriver_propsinit(path));
        ASSERT_EQ(config_fetch(cache), 0);
        config_setdefaultcache(cache);
        unlink(path);
        mux_config_init();
    }
    void TearDown() override {
        config_setdefaultcache(nullptr);
        config_freecache(cache);
        mux_config_init();
    }
    ConfigCache *cache = nullptr;
};

TEST_F(KeysTest, HostAndPort) {
    load("orv_mux.serverport = \"im.example:7777\"\norv_mux.listenport = \"localhost:7000\"\n");
    parse_hostport();
    parse_listenport();
    EXPECT_STREQ(gcfg.server_host, "im.example");
    EXPECT_EQ(gcfg.server_port, 7777);
    EXPECT_EQ(gcfg.listen_port, 7000);
    EXPECT_EQ(gcfg.listen_addr, 0u) << "the host part of the listen key is not used";
}

TEST_F(KeysTest, PortAloneKeepsTheHost) {
    load("orv_mux.serverport = 8888\n");
    parse_hostport();
    EXPECT_STREQ(gcfg.server_host, "localhost");
    EXPECT_EQ(gcfg.server_port, 8888);
}

TEST_F(KeysTest, DefaultsWhenAbsent) {
    load("other.key = 1\n");
    parse_hostport();
    parse_listenport();
    EXPECT_STREQ(gcfg.server_host, "localhost");
    EXPECT_EQ(gcfg.server_port, 9999);
    EXPECT_EQ(gcfg.listen_port, 9909);
}

TEST_F(KeysTest, LogUrlWithAndWithoutDirectory) {
    load("orv.log.orv_mux.url = \"/var/tmp/logs/m.log\"\n");
    parse_logurl();
    EXPECT_STREQ(logdir, "/var/tmp/logs/");
    EXPECT_STREQ(logname, "m.log");
    config_freecache(cache);
    char var[] = "/inst/var";
    instance_var_dir = var;
    load("x = 1\n");
    parse_logurl();
    EXPECT_STREQ(logdir, "/inst/var/log");
    EXPECT_STREQ(logname, "mux.log");
    instance_var_dir = nullptr;
}

TEST_F(KeysTest, LogUrlEndingInSlashStopsTheProcess) {
    load("orv.log.orv_mux.url = \"/var/tmp/\"\n");
    EXPECT_EXIT(parse_logurl(), ::testing::ExitedWithCode(255),
                "")
        << "prints \"ERROR: Multiplexor log url has invalid value in config file.\"";
}

TEST_F(KeysTest, SslKeysDefaultsAndPasswordPlacement) {
    char inst[] = "/inst";
    char var[] = "/inst/var";
    instance_dir = inst;
    instance_var_dir = var;
    load("orv_mux.usessl = yes\n");
    mux_read_ssl_keys();
    EXPECT_EQ(gcfg.ssl_enable, 1);
    EXPECT_STREQ(gcfg.ssl_config_dir, "/inst/config");
    EXPECT_STREQ(gcfg.ssl_secmod_file, "secmod.db");
    EXPECT_STREQ(gcfg.ssl_password_file, "/inst/config/sslpassword.conf");
    EXPECT_STREQ(gcfg.ssl_cipher_specs, "all");
    EXPECT_STREQ(gcfg.ssl_cert_nicknames[0], "Server-Cert");
    EXPECT_STREQ(gcfg.ssl_cache_dir, "/inst/var");
    config_freecache(cache);
    load("orv_mux.keystorepasswordfile = /etc/pw\norv_mux.certnickname = Mine\n");
    mux_read_ssl_keys();
    EXPECT_EQ(gcfg.ssl_enable, 0);
    EXPECT_STREQ(gcfg.ssl_password_file, "/etc/pw");
    EXPECT_STREQ(gcfg.ssl_cert_nicknames[0], "Mine");
    instance_dir = instance_var_dir = nullptr;
}

}  // namespace
