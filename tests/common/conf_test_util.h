// Helpers for the configuration and logging tests (with test_support.h):
// the messages the default log writes to standard error, and a fresh
// default configuration cache for each test.
#ifndef CONF_TEST_UTIL_H
#define CONF_TEST_UTIL_H

#include <gtest/gtest.h>

#include "config/config.h"
#include "test_support.h"

namespace conftest {

// The message part of a default-log line on standard error:
// "[stamp] host proc[pid]: General Error: text" -> "Error: text".
inline std::vector<std::string> messages_of(const std::string &captured) {
    std::vector<std::string> out;
    for (const std::string &l : ts::lines_of(captured)) {
        size_t g = l.find(": General ");
        out.push_back(g == std::string::npos ? l : l.substr(g + 10));
    }
    return out;
}

// The messages written to standard error while `f` runs.
inline std::vector<std::string> stderr_of(const std::function<void()> &f) {
    testing::internal::CaptureStderr();
    f();
    return messages_of(testing::internal::GetCapturedStderr());
}

// A fresh default configuration cache while the test runs (the one before
// comes back after it); set() gives a key one value.
class DefaultCacheTest : public ::testing::Test {
  protected:
    void SetUp() override { config_setdefaultcache(cache); }
    void TearDown() override {
        config_setdefaultcache(saved);
        config_freecache(cache);
    }
    void set(const char *name, const char *value) {
        char *v[] = {const_cast<char *>(value), nullptr};
        config_set_values(cache, name, v, 0, 0);
    }
    ConfigCache *saved = config_getdefaultcache(), *cache = config_newcache();
};

}  // namespace conftest

#endif
