// The handshake time limit key and the SSL layer's warning callback.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "config/config.h"
#include "process/mux_init.h"
#include "process/mux_ssl.h"

namespace {

class HandshakeLimitKey : public ::testing::Test {
  protected:
    void TearDown() override {
        if (cache) config_freecache(cache);
        instance_dir = instance_var_dir = nullptr;
    }
    int32_t read_with(const std::string &text) {
        char path[] = "/tmp/muxssl.XXXXXX";
        int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
        if (cache) config_freecache(cache);
        cache = config_newcache();
        config_adddriver(cache, nullptr, config_readdriver_propsinit(path));
        EXPECT_EQ(config_fetch(cache), 0);
        config_setdefaultcache(cache);
        unlink(path);
        mux_config_init();
        instance_dir = inst;
        instance_var_dir = var;
        ssl_handshake_timeout = -99;
        mux_read_ssl_keys();
        return ssl_handshake_timeout;
    }
    ConfigCache *cache = nullptr;
    char inst[6] = "/inst";
    char var[10] = "/inst/var";
};

TEST_F(HandshakeLimitKey, DefaultZeroValueAndNonsense) {
    EXPECT_EQ(read_with("orv_mux.usessl = yes\n"), 60);
    EXPECT_EQ(read_with("orv_mux.sslhandshaketimeout = 0\n"), 0) << "0 turns the limit off";
    EXPECT_EQ(read_with("orv_mux.sslhandshaketimeout = 7\n"), 7);
    EXPECT_EQ(read_with("orv_mux.sslhandshaketimeout = -5\n"), 60) << "a negative limit keeps the default";
}

TEST(SslWarn, HandsTheFlagBack) {
    EXPECT_EQ(asockssl_warn(1, "first warning"), 1);
    EXPECT_EQ(asockssl_warn(0, "a later one"), 0);
}

}  // namespace
