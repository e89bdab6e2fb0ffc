// Configuration cache: getters, set/flags rules, drivers and patterns,
// refresh with notifications, enumeration, key/value containers.
#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "conf_test_util.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Options = std::vector<std::pair<std::string, std::vector<std::string>>>;

// An in-memory source whose options and result the test changes between
// fetches.
struct FakeDriver {
    ConfigDriver base;  // first: the cache sees a ConfigDriver
    Options options;
    int result = 0, fetches = 0;
    static int fetch(ConfigDriver *d, ConfigSetProc setproc, void *setarg) {
        auto *f = reinterpret_cast<FakeDriver *>(d);
        for (auto &[name, values] : f->options) {
            std::vector<char *> v;
            for (auto &s : values) v.push_back(const_cast<char *>(s.c_str()));
            v.push_back(nullptr);
            setproc(setarg, name.c_str(), v.data());
        }
        return ++f->fetches, f->result;
    }
    static void free(ConfigDriver *d) { delete reinterpret_cast<FakeDriver *>(d); }
};

FakeDriver *fake(Options o) { return new FakeDriver{{FakeDriver::fetch, FakeDriver::free, nullptr}, std::move(o)}; }

// The strings of a NULL-terminated array, which is then freed.
std::vector<std::string> taken(char **arr) {
    std::vector<std::string> out;
    for (char **p = arr; p && *p; ++p) out.push_back(*p);
    config_freearray(arr);
    return out;
}

char *one[] = {const_cast<char *>("x"), nullptr};

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override { cache = config_newcache(); }
    void TearDown() override { config_freecache(cache); }
    FakeDriver *load(Options opts, const char *pattern = nullptr) {
        FakeDriver *f = fake(std::move(opts));
        config_adddriver(cache, pattern, &f->base);
        EXPECT_EQ(config_fetch(cache), 0);
        return f;
    }
    std::vector<std::string> gets(std::initializer_list<const char *> names) {
        std::vector<std::string> out;
        for (const char *n : names) out.push_back(config_get_string(cache, n, "d"));
        return out;
    }
    unsigned flags(const char *name, int want_rc = 0) {
        unsigned f = 99;
        EXPECT_EQ(config_get_flags(cache, name, &f), want_rc) << name;
        return f;
    }
    // An enumeration's names; its count agrees, and no names is no array.
    std::vector<std::string> listed(int rc, int count, char **names) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(names == nullptr, count == 0);
        std::vector<std::string> out = taken(names);
        EXPECT_EQ(count, int(out.size()));
        return out;
    }
    std::vector<std::string> keys(const char *pattern) {
        int count = -1;
        char **names = nullptr;
        int rc = config_get_keys(cache, pattern, &count, &names);
        return listed(rc, count, names);
    }
    std::vector<std::string> children(const char *prefix, int branches) {
        int count = -1;
        char **names = nullptr;
        int rc = config_get_child(cache, prefix, branches, &count, &names);
        return listed(rc, count, names);
    }
    ConfigCache *cache = nullptr;
};

// Integers take leading digits only (a sign allowed, no blank) and saturate;
// switches follow the letter table. Defaults: 1 and 9.
TEST_F(CacheTest, IntegerAndSwitchGetters) {
    // clang-format off
    const struct { const char *value; int as_int, as_switch; } rows[] = {
        {"42abc", 42, 9}, {"-7", -7, 9}, {"+7", 1, 9}, {" 5", 1, 9}, {"-x", 1, 9}, {"", 1, 9},
        {"99999999999", INT_MAX, 9}, {"-99999999999", INT_MIN, 9},
        {"0", 0, 0}, {"no", 1, 0}, {"No", 1, 0}, {"NO", 1, 0}, {"OFF", 1, 0}, {"off", 1, 0}, {"false", 1, 0},
        {"F", 1, 0}, {"1", 1, 1}, {"yes", 1, 1}, {"Y", 1, 1}, {"ON", 1, 1}, {"on", 1, 1}, {"true", 1, 1},
        {"TRUE", 1, 1}, {"Off", 1, 9}, {"On", 1, 9}, {"oN", 1, 9}, {"maybe", 1, 9}, {" 1", 1, 9}, {"O", 1, 9},
        {"o", 1, 9},
    };
    // clang-format on
    Options opts = {{"multi", {"12", "99"}}};
    for (auto &r : rows) opts.push_back({std::string("k=") + r.value, {r.value}});
    load(opts);
    for (auto &r : rows) {
        std::string k = std::string("k=") + r.value;
        EXPECT_EQ(config_get_int(cache, k.c_str(), 1), r.as_int) << "'" << r.value << "'";
        EXPECT_EQ(config_get_switch(cache, k.c_str(), 9), r.as_switch) << "'" << r.value << "'";
    }
    EXPECT_EQ(config_get_int(cache, "multi", 1), 12);
    EXPECT_EQ(config_get_int(cache, "missing", 3), 3);
    EXPECT_EQ(config_get_int(nullptr, "multi", 4), 4);
    EXPECT_EQ(config_get_switch(cache, "missing", 9), 9);
    EXPECT_EQ(config_get_switch(nullptr, "k=1", 9), 9);
}

TEST_F(CacheTest, StringGettersSetValuesAndFlags) {
    load({{"multi", {"one", "two", "three"}}, {"Case", {"upper"}}, {"case", {"lower"}}});
    EXPECT_THAT(gets({"multi", "Case", "case", "CASE"}), ElementsAre("one", "upper", "lower", "d"));
    EXPECT_STREQ(config_get_string(nullptr, "multi", "d"), "d");
    for (auto [name, def, want] : {std::tuple{"multi", "d", "one"}, {"missing", "d", "d"}}) {
        char *copy = config_get_stringcopy(cache, name, def);
        EXPECT_STREQ(copy, want);
        free(copy);
    }
    EXPECT_EQ(config_get_stringcopy(cache, "missing", nullptr), nullptr);
    EXPECT_THAT(taken(config_get_multistringcopy(cache, "multi")), ElementsAre("one", "two", "three"));
    EXPECT_EQ(config_get_multistringcopy(cache, "missing"), nullptr);
    EXPECT_EQ(config_get_multistringcopy(nullptr, "multi"), nullptr);
    // Set values and flags.
    EXPECT_EQ(config_set_values(cache, "opt", one, 0, 0), 0);
    EXPECT_THAT(gets({"opt"}), ElementsAre("x"));
    // An empty array keeps the name without values.
    char *empty[] = {nullptr};
    EXPECT_EQ(config_set_values(cache, "opt", empty, 0, 0), 0);
    EXPECT_THAT(gets({"opt"}), ElementsAre("d"));
    EXPECT_EQ(flags("opt"), 0u);
    EXPECT_EQ(flags("nope", 2), 0u);
    unsigned f;
    EXPECT_EQ(config_get_flags(nullptr, "opt", &f), 1);
    // A flags-only change leaves the values alone; other bits are kept as given.
    EXPECT_EQ(config_set_values(cache, "opt", one, 0, 0), 0);
    EXPECT_EQ(config_set_values(cache, "opt", CONFIG_VALUES_UNCHANGED, 0, 0x30), 0);
    EXPECT_EQ(flags("opt"), 0x30u);
    EXPECT_THAT(gets({"opt"}), ElementsAre("x"));
    // Not refreshable: changes are refused unless the same call lifts the flag.
    char *b[] = {const_cast<char *>("b"), nullptr};
    EXPECT_EQ(config_set_values(cache, "locked", one, 0, CONFIG_FLAG_NOTREFRESHABLE), 0);
    EXPECT_THAT(conftest::stderr_of([&] { EXPECT_EQ(config_set_values(cache, "locked", b, 0, 0), 1); }),
                ElementsAre("Error: func=_config_set; error=not permitted to modify nonrefreshable configuration "
                            "option"));
    EXPECT_THAT(gets({"locked"}), ElementsAre("x"));
    EXPECT_EQ(config_set_values(cache, "locked", b, CONFIG_FLAG_NOTREFRESHABLE, 0), 0);
    EXPECT_THAT(gets({"locked"}), ElementsAre("b"));
    EXPECT_EQ(flags("locked"), 0u);
}

TEST_F(CacheTest, LaterDriverWinsPatternsLimitADriverAndAFailureStopsTheFetch) {
    FakeDriver *first = fake({{"x", {"1"}}, {"y", {"1"}}, {"dup", {"a"}}, {"dup", {"b"}}});
    FakeDriver *second = fake({{"x", {"2"}}, {"other.y", {"2"}}, {"z", {"2"}}});
    FakeDriver *bad = fake({{"a", {"1"}}}), *later = fake({{"b", {"1"}}});
    bad->result = 2;
    config_adddriver(cache, "", &first->base);  // empty pattern = everything
    config_adddriver(cache, "x", &second->base);
    config_adddriver(cache, nullptr, &bad->base);
    config_adddriver(cache, nullptr, &later->base);
    EXPECT_EQ(config_fetch(cache), 2);
    EXPECT_THAT(gets({"x", "y", "z", "other.y", "dup", "a"}), ElementsAre("2", "1", "d", "d", "b", "1"));
    EXPECT_EQ(later->fetches, 0);
    // Drivers already fetched, the failed one included, are not read again.
    EXPECT_EQ(config_fetch(cache), 0);
    EXPECT_THAT((std::vector{first->fetches, second->fetches, bad->fetches, later->fetches}), ElementsAre(1, 1, 1, 1));
}

TEST_F(CacheTest, RefreshKeepsProtectedAndProgramValuesAndNotifies) {
    FakeDriver *f = load({{"plain", {"old"}}, {"gone", {"old"}}, {"locked", {"old"}}, {"program", {"old"}}, {"x", {"1"}}});
    config_set_values(cache, "locked", CONFIG_VALUES_UNCHANGED, 0, CONFIG_FLAG_NOTREFRESHABLE | 0x40);
    config_set_values(cache, "program", one, 0, 0);
    config_set_values(cache, "onlyprogram", one, 0, 0);
    std::vector<std::string> calls;
    ts::Thunk<int, ConfigCache *> a{[&](ConfigCache *c) {
        calls.push_back(config_get_string(c, "x", "-"));
        return 7;
    }};
    ts::Thunk<int, ConfigCache *> b{[&](ConfigCache *) {
        calls.push_back("b");
        return 0;
    }};
    ConfigNotify *ha = nullptr;
    config_refresh_notify(cache, a.first, &a, &ha);
    config_refresh_notify(cache, b.first, &b, nullptr);  // freed with the cache
    f->options = {{"plain", {"new"}}, {"locked", {"new"}}, {"program", {"new"}}, {"fresh", {"new"}}, {"x", {"2"}}};
    conftest::stderr_of([&] { EXPECT_EQ(config_refresh(cache), 0); });
    // Gone from the source: still known, no values, default returned.
    EXPECT_THAT(gets({"plain", "fresh", "locked", "program", "onlyprogram", "gone"}), ElementsAre("new", "new", "old", "x", "x", "d"));
    EXPECT_EQ(flags("gone"), 0u);
    EXPECT_EQ(flags("locked"), CONFIG_FLAG_NOTREFRESHABLE | 0x40);
    EXPECT_THAT(calls, ElementsAre("2", "b"));
    // A program value survives a second refresh too; a cancelled
    // notification is not called.
    config_refresh_notify_cancel(ha);
    calls.clear();
    EXPECT_EQ(config_refresh(cache), 0);
    EXPECT_THAT(gets({"program"}), ElementsAre("x"));
    EXPECT_THAT(calls, ElementsAre("b"));
    // A failed refresh changes nothing and notifies nobody.
    calls.clear();
    f->options = {{"plain", {"newer"}}};
    f->result = 1;
    EXPECT_EQ(config_refresh(cache), 1);
    EXPECT_THAT(gets({"plain", "fresh"}), ElementsAre("new", "new"));
    EXPECT_THAT(calls, IsEmpty());
}

TEST_F(CacheTest, ReadersDuringRefreshSeeOldOrNewNeverGarbage) {
    FakeDriver *f = load({{"n", {"1"}}});
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        for (int i = 0; i < 200000 && !stop; ++i) {
            char *v = config_get_stringcopy(cache, "n", "missing");
            if (std::string(v) != "1" && std::string(v) != "2") ++bad;
            free(v);
        }
    });
    for (int i = 0; i < 200; ++i) {
        f->options = {{"n", {i % 2 ? "1" : "2"}}};
        EXPECT_EQ(config_refresh(cache), 0);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
}

TEST_F(CacheTest, ScanVisitsMatchingNamesInOrderAndStopsOnNonZero) {
    load({{"b.x", {"1"}}, {"a.x", {"2"}}, {"stop", {"3"}}, {"z", {"4"}}});
    std::vector<std::string> seen;
    ts::Thunk<int, ConfigCache *, const char *, char **, unsigned> scan{[&](ConfigCache *, const char *name, char **values, unsigned fl) {
        seen.push_back(std::string(name) + "=" + (values ? values[0] : "-") + "/" + std::to_string(fl));
        return name == std::string("stop") ? 5 : 0;
    }};
    EXPECT_EQ(config_scan_config(cache, "*.x", scan.last, &scan), 0);
    EXPECT_THAT(seen, ElementsAre("a.x=2/0", "b.x=1/0"));
    seen.clear();
    EXPECT_EQ(config_scan_config(cache, nullptr, scan.last, &scan), 5);
    EXPECT_THAT(seen, ElementsAre("a.x=2/0", "b.x=1/0", "stop=3/0"));
    EXPECT_EQ(config_scan_config(nullptr, nullptr, scan.last, &scan), 1);
}

TEST_F(CacheTest, GetKeysMatchesBothWaysAndGetChildListsLeavesAndBranches) {
    Options o = {{"store.partition.a.path", {"/a"}},
                 {"store.partition.*.path", {"/star"}},
                 {"store.other", {"x"}},
                 {"local.x", {"y"}},
                 {"logfile.default.logdir", {"d"}},
                 {"logfile.default.loglevel", {"l"}},
                 {"logfile.default.sub.x", {"x"}},
                 {"logfile.default.sub.y", {"y"}},
                 {"logfile.defaultx.z", {"z"}},
                 {"logfile.default", {"self"}},
                 {"top", {"1"}},
                 {"other", {"1"}},
                 {"a.b", {"1"}}};
    for (int i = 100; i < 145; ++i)  // many distinct names: leaves p.c<i>, branches p.b<i>
        for (std::string leaf : {"", ".leaf", ".leaf2"})
            o.push_back({"p." + std::string(leaf.empty() ? "c" : "b") + std::to_string(i) + leaf, {"v"}});
    load(o);
    // All names, sorted, each once.
    std::vector<std::string> all = keys(nullptr);
    EXPECT_EQ(all.size(), o.size());
    EXPECT_TRUE(std::adjacent_find(all.begin(), all.end(), std::greater_equal<>()) == all.end());
    // The stored pattern-like name matches the concrete text.
    EXPECT_THAT(keys("store.partition.b.path"), ElementsAre("store.partition.*.path"));
    EXPECT_THAT(keys("store.partition.*.path"), ElementsAre("store.partition.*.path", "store.partition.a.path"));
    EXPECT_THAT(keys("nothing*"), IsEmpty());
    int count = -1;
    char **names = nullptr;
    config_get_keys(nullptr, nullptr, &count, &names);
    EXPECT_EQ(count, 0);
    EXPECT_THAT(children("logfile.default", 0), ElementsAre("logdir", "loglevel"));
    EXPECT_THAT(children("logfile.default.", 1), ElementsAre("sub"));
    EXPECT_THAT(children(nullptr, 0), ElementsAre("other", "top"));
    EXPECT_THAT(children("", 1), ElementsAre("a", "local", "logfile", "p", "store"));
    EXPECT_THAT(children("none", 0), IsEmpty());
    EXPECT_EQ(children("p", 0).size(), 45u);
    EXPECT_EQ(children("p", 1).size(), 45u);
}

void _unsafe_access() {
    ConfigCache *c = config_newcache();
    config_set_values(c, "safe", one, 0, CONFIG_FLAG_NOTREFRESHABLE);
    config_set_values(c, "unsafe", one, 0, 0);
    config_setoption(c, 0, CONFIG_CACHE_CHECK);
    if (std::string(config_get_string(c, "safe", "d")) == "x") config_get_string(c, "unsafe", "d");
}

TEST(ConfigCacheDeath, CacheCheckStopsOnUnsafeAccess) {
    // The threadsafe style runs the test program again with exec, which an
    // emulated program cannot do without the emulator.
    GTEST_FLAG_SET(death_test_style, ts::emulated() ? "fast" : "threadsafe");
    EXPECT_DEATH(_unsafe_access(), "Critical: func=config_get_string; error=unsafe access of configuration option; option=unsafe");
    config_freecache(nullptr);
}

TEST(KvContainers, EntriesAndListsOwnTheirContents) {
    KvEntry *e = kvCreateEntry("key", "v1");
    kvAddEntryValue(e, "v2");
    kvAddEntryValue(nullptr, "ignored");
    char *key = nullptr;
    char **values = nullptr;
    kvGetEntryKeyValues(e, &key, &values);
    EXPECT_STREQ(key, "key");
    EXPECT_THAT(std::vector<std::string>(values, values + 2), ElementsAre("v1", "v2"));
    EXPECT_EQ(values[2], nullptr);
    kvGetEntryKeyValues(e, nullptr, nullptr);
    KvEntry *bare = kvCreateEntry(nullptr, nullptr);
    EXPECT_TRUE(bare->key == nullptr && bare->values == nullptr);
    char *src[] = {const_cast<char *>("a"), const_cast<char *>("b"), nullptr};
    KvEntry *e2 = kvCreateEntry2("k2", src);
    EXPECT_NE(e2->values, src);
    EXPECT_THAT(std::vector<std::string>(e2->values, e2->values + 2), ElementsAre("a", "b"));
    KvList *list = kvCreateList(e);
    kvAddListEntry(list, bare);
    kvAddListEntry(list, e2);
    for (int i = 0; i < 10; ++i) kvAddListEntry(list, kvCreateEntry(("x" + std::to_string(i)).c_str(), "v"));
    KvEntry **entries = kvGetListEntries(list);
    EXPECT_EQ(list->count, 13);
    EXPECT_EQ(std::tuple(entries[0], entries[2], entries[13]), std::tuple(e, e2, nullptr));
    kvDeleteList(list);
    KvList *empty = kvCreateList(nullptr);
    EXPECT_EQ(empty->count, 0);
    EXPECT_EQ(kvGetListEntries(empty)[0], nullptr);
    kvDeleteList(empty);
    kvDeleteList(nullptr);
    kvDeleteEntry(nullptr);
}

}  // namespace
