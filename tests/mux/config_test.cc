// Configuration cache: getters, set/flags rules, drivers and patterns,
// refresh with notifications, enumeration, key/value containers.
#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "conf_test_util.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

using Options = std::vector<std::pair<std::string, std::vector<std::string>>>;

// An in-memory source whose options and result the test changes between
// fetches.
struct FakeDriver {
    ConfigDriver base; // first: the cache sees a ConfigDriver
    Options options;
    int result = 0;
    int fetches = 0;
    int *freed = nullptr;
};

int _fake_fetch(ConfigDriver *d, ConfigSetProc setproc, void *setarg)
{
    auto *f = reinterpret_cast<FakeDriver *>(d);
    ++f->fetches;
    for (auto &[name, values] : f->options) {
        std::vector<char *> v;
        for (auto &s : values)
            v.push_back(const_cast<char *>(s.c_str()));
        v.push_back(nullptr);
        if (values.empty())
            continue;
        setproc(setarg, name.c_str(), v.data());
    }
    return f->result;
}

void _fake_free(ConfigDriver *d)
{
    auto *f = reinterpret_cast<FakeDriver *>(d);
    if (f->freed)
        ++*f->freed;
    delete f;
}

FakeDriver *fake(Options opts)
{
    auto *f = new FakeDriver;
    f->base.fetch = _fake_fetch;
    f->base.free = _fake_free;
    f->base.path = nullptr;
    f->options = std::move(opts);
    return f;
}

std::vector<std::string> strings(char **arr)
{
    std::vector<std::string> out;
    for (char **p = arr; p && *p; ++p)
        out.push_back(*p);
    return out;
}

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override { cache = config_newcache(); }
    void TearDown() override { config_freecache(cache); }

    FakeDriver *load(Options opts, const char *pattern = nullptr)
    {
        FakeDriver *f = fake(std::move(opts));
        config_adddriver(cache, pattern, &f->base);
        EXPECT_EQ(config_fetch(cache), 0);
        return f;
    }

    ConfigCache *cache = nullptr;
};

TEST_F(CacheTest, IntegerGetterReadsLeadingDigitsOnly)
{
    load({{"a", {"42abc"}},
          {"b", {"-7"}},
          {"c", {"+7"}},
          {"d", {" 5"}},
          {"e", {"-x"}},
          {"f", {""}},
          {"g", {"12", "99"}},
          {"h", {"99999999999"}},
          {"i", {"-99999999999"}}});
    EXPECT_EQ(config_get_int(cache, "a", 1), 42);
    EXPECT_EQ(config_get_int(cache, "b", 1), -7);
    EXPECT_EQ(config_get_int(cache, "c", 1), 1);
    EXPECT_EQ(config_get_int(cache, "d", 1), 1);
    EXPECT_EQ(config_get_int(cache, "e", 1), 1);
    EXPECT_EQ(config_get_int(cache, "f", 1), 1);
    EXPECT_EQ(config_get_int(cache, "g", 1), 12);
    EXPECT_EQ(config_get_int(cache, "missing", 3), 3);
    EXPECT_EQ(config_get_int(nullptr, "a", 4), 4);
    // Out-of-range numbers saturate instead of wrapping.
    EXPECT_EQ(config_get_int(cache, "h", 1), 2147483647);
    EXPECT_EQ(config_get_int(cache, "i", 1), -2147483647 - 1);
}

TEST_F(CacheTest, SwitchGetterFollowsTheLetterTable)
{
    const std::vector<std::pair<std::string, int>> table = {
        {"0", 0},  {"no", 0},   {"No", 0},    {"NO", 0},  {"OFF", 0}, {"off", 0},  {"false", 0},
        {"F", 0},  {"1", 1},    {"yes", 1},   {"Y", 1},   {"ON", 1},  {"on", 1},   {"true", 1},
        {"TRUE", 1}, {"Off", 9}, {"On", 9},    {"oN", 9},  {"maybe", 9}, {"", 9},   {" 1", 9},
        {"O", 9},  {"o", 9}};
    Options opts;
    for (size_t i = 0; i < table.size(); ++i)
        opts.push_back({"k" + std::to_string(i), {table[i].first}});
    load(opts);
    for (size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(config_get_switch(cache, ("k" + std::to_string(i)).c_str(), 9), table[i].second)
            << "value '" << table[i].first << "'";
    EXPECT_EQ(config_get_switch(cache, "missing", 9), 9);
    EXPECT_EQ(config_get_switch(nullptr, "k0", 9), 9);
}

TEST_F(CacheTest, StringGettersSeeFirstValueAndCopiesAreOwned)
{
    load({{"multi", {"one", "two", "three"}}, {"Case", {"upper"}}, {"case", {"lower"}}});
    EXPECT_STREQ(config_get_string(cache, "multi", "d"), "one");
    EXPECT_STREQ(config_get_string(cache, "Case", "d"), "upper");
    EXPECT_STREQ(config_get_string(cache, "case", "d"), "lower");
    EXPECT_STREQ(config_get_string(cache, "CASE", "d"), "d");
    EXPECT_STREQ(config_get_string(nullptr, "multi", "d"), "d");

    char *copy = config_get_stringcopy(cache, "multi", "d");
    EXPECT_STREQ(copy, "one");
    free(copy);
    copy = config_get_stringcopy(cache, "missing", "d");
    EXPECT_STREQ(copy, "d");
    free(copy);
    EXPECT_EQ(config_get_stringcopy(cache, "missing", nullptr), nullptr);

    char **all = config_get_multistringcopy(cache, "multi");
    EXPECT_THAT(strings(all), ElementsAre("one", "two", "three"));
    config_freearray(all);
    EXPECT_EQ(config_get_multistringcopy(cache, "missing"), nullptr);
    EXPECT_EQ(config_get_multistringcopy(nullptr, "multi"), nullptr);
    config_freearray(nullptr);
}

TEST_F(CacheTest, SetValuesEmptyArrayKeepsNameWithoutValues)
{
    char *vals[] = {const_cast<char *>("x"), nullptr};
    EXPECT_EQ(config_set_values(cache, "opt", vals, 0, 0), 0);
    EXPECT_STREQ(config_get_string(cache, "opt", "d"), "x");
    char *empty[] = {nullptr};
    EXPECT_EQ(config_set_values(cache, "opt", empty, 0, 0), 0);
    EXPECT_STREQ(config_get_string(cache, "opt", "d"), "d");
    unsigned flags = 99;
    EXPECT_EQ(config_get_flags(cache, "opt", &flags), 0);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(config_get_flags(cache, "nope", &flags), 2);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(config_get_flags(nullptr, "opt", &flags), 1);
    // A flags-only change leaves the values alone; other bits are kept as given.
    EXPECT_EQ(config_set_values(cache, "opt", vals, 0, 0), 0);
    EXPECT_EQ(config_set_values(cache, "opt", CONFIG_VALUES_UNCHANGED, 0, 0x30), 0);
    EXPECT_EQ(config_get_flags(cache, "opt", &flags), 0);
    EXPECT_EQ(flags, 0x30u);
    EXPECT_STREQ(config_get_string(cache, "opt", "d"), "x");
}

TEST_F(CacheTest, NotRefreshableRefusesChangesUnlessLiftedInTheSameCall)
{
    char *a[] = {const_cast<char *>("a"), nullptr};
    char *b[] = {const_cast<char *>("b"), nullptr};
    EXPECT_EQ(config_set_values(cache, "opt", a, 0, CONFIG_FLAG_NOTREFRESHABLE), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_set_values(cache, "opt", b, 0, 0), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(conftest::messages_of(err),
                ElementsAre("Error: func=_config_set; error=not permitted to modify "
                            "nonrefreshable configuration option"));
    EXPECT_STREQ(config_get_string(cache, "opt", "d"), "a");
    EXPECT_EQ(config_set_values(cache, "opt", b, CONFIG_FLAG_NOTREFRESHABLE, 0), 0);
    EXPECT_STREQ(config_get_string(cache, "opt", "d"), "b");
    unsigned flags = 0;
    config_get_flags(cache, "opt", &flags);
    EXPECT_EQ(flags, 0u);
}

TEST_F(CacheTest, LaterDriverWinsAndPatternsLimitADriver)
{
    FakeDriver *first = fake({{"x", {"1"}}, {"y", {"1"}}, {"dup", {"a"}}, {"dup", {"b"}}});
    FakeDriver *second = fake({{"x", {"2"}}, {"other.y", {"2"}}, {"z", {"2"}}});
    config_adddriver(cache, "", &first->base); // empty pattern = everything
    config_adddriver(cache, "x", &second->base);
    EXPECT_EQ(config_fetch(cache), 0);
    EXPECT_STREQ(config_get_string(cache, "x", "d"), "2");
    EXPECT_STREQ(config_get_string(cache, "y", "d"), "1");
    EXPECT_STREQ(config_get_string(cache, "z", "d"), "d");
    EXPECT_STREQ(config_get_string(cache, "other.y", "d"), "d");
    EXPECT_STREQ(config_get_string(cache, "dup", "d"), "b");
    // Already fetched drivers are not read again.
    EXPECT_EQ(config_fetch(cache), 0);
    EXPECT_EQ(first->fetches, 1);
}

TEST_F(CacheTest, FailingDriverStopsFetchAndIsNotRetried)
{
    FakeDriver *bad = fake({{"a", {"1"}}});
    bad->result = 2;
    FakeDriver *never = fake({{"b", {"1"}}});
    config_adddriver(cache, nullptr, &bad->base);
    config_adddriver(cache, nullptr, &never->base);
    EXPECT_EQ(config_fetch(cache), 2);
    EXPECT_STREQ(config_get_string(cache, "a", "d"), "1"); // set before the failure
    EXPECT_EQ(never->fetches, 0);
    EXPECT_EQ(config_fetch(cache), 0);
    EXPECT_EQ(bad->fetches, 1);
    EXPECT_EQ(never->fetches, 1);
}

TEST_F(CacheTest, ManyDriversAndEntriesGrowTheirTables)
{
    int freed = 0;
    for (int i = 0; i < 12; ++i) {
        Options o;
        for (int k = 0; k < 30; ++k)
            o.push_back({"d" + std::to_string(i) + ".k" + std::to_string(k), {std::to_string(k)}});
        FakeDriver *f = fake(o);
        f->freed = &freed;
        config_adddriver(cache, nullptr, &f->base);
    }
    EXPECT_EQ(config_fetch(cache), 0);
    int count = 0;
    char **names = nullptr;
    config_get_keys(cache, nullptr, &count, &names);
    EXPECT_EQ(count, 360);
    for (int i = 1; i < count; ++i)
        EXPECT_LT(std::string(names[i - 1]), std::string(names[i]));
    config_freearray(names);
    EXPECT_EQ(config_get_int(cache, "d11.k29", -1), 29);
    config_freecache(cache);
    cache = nullptr;
    EXPECT_EQ(freed, 12);
}

struct NotifyLog {
    std::vector<std::string> calls;
};

int _notify_a(void *arg, ConfigCache *c)
{
    static_cast<NotifyLog *>(arg)->calls.push_back(std::string("a:") +
                                                   config_get_string(c, "x", "none"));
    return 7;
}

int _notify_b(void *arg, ConfigCache *)
{
    static_cast<NotifyLog *>(arg)->calls.push_back("b");
    return 0;
}

TEST_F(CacheTest, RefreshKeepsProtectedAndProgramValuesAndNotifies)
{
    FakeDriver *f = load({{"plain", {"old"}},
                          {"gone", {"old"}},
                          {"locked", {"old"}},
                          {"program", {"old"}},
                          {"x", {"1"}}});
    config_set_values(cache, "locked", CONFIG_VALUES_UNCHANGED, 0, CONFIG_FLAG_NOTREFRESHABLE | 0x40);
    char *pv[] = {const_cast<char *>("mine"), nullptr};
    config_set_values(cache, "program", pv, 0, 0);
    config_set_values(cache, "onlyprogram", pv, 0, 0);

    NotifyLog log;
    ConfigNotify *ha = nullptr;
    config_refresh_notify(cache, _notify_a, &log, &ha);
    config_refresh_notify(cache, _notify_b, &log, nullptr); // freed with the cache

    f->options = {{"plain", {"new"}}, {"locked", {"new"}}, {"program", {"new"}},
                  {"fresh", {"new"}}, {"x", {"2"}}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_refresh(cache), 0);
    testing::internal::GetCapturedStderr();

    EXPECT_STREQ(config_get_string(cache, "plain", "d"), "new");
    EXPECT_STREQ(config_get_string(cache, "fresh", "d"), "new");
    EXPECT_STREQ(config_get_string(cache, "locked", "d"), "old");
    EXPECT_STREQ(config_get_string(cache, "program", "d"), "mine");
    EXPECT_STREQ(config_get_string(cache, "onlyprogram", "d"), "mine");
    // Gone from the source: still known, no values, default returned.
    EXPECT_STREQ(config_get_string(cache, "gone", "d"), "d");
    unsigned flags = 0;
    EXPECT_EQ(config_get_flags(cache, "gone", &flags), 0);
    EXPECT_EQ(config_get_flags(cache, "locked", &flags), 0);
    EXPECT_EQ(flags, CONFIG_FLAG_NOTREFRESHABLE | 0x40);
    EXPECT_THAT(log.calls, ElementsAre("a:2", "b"));

    // A program value survives a second refresh too; a cancelled
    // notification is not called.
    config_refresh_notify_cancel(ha);
    log.calls.clear();
    EXPECT_EQ(config_refresh(cache), 0);
    EXPECT_STREQ(config_get_string(cache, "program", "d"), "mine");
    EXPECT_THAT(log.calls, ElementsAre("b"));
}

TEST_F(CacheTest, FailedRefreshLeavesEverythingAndNotifiesNobody)
{
    FakeDriver *f = load({{"a", {"1"}}, {"b", {"1"}}});
    NotifyLog log;
    config_refresh_notify(cache, _notify_b, &log, nullptr);
    f->options = {{"a", {"2"}}};
    f->result = 1;
    EXPECT_EQ(config_refresh(cache), 1);
    EXPECT_STREQ(config_get_string(cache, "a", "d"), "1");
    EXPECT_STREQ(config_get_string(cache, "b", "d"), "1");
    EXPECT_TRUE(log.calls.empty());
}

TEST_F(CacheTest, ReadersDuringRefreshSeeOldOrNewNeverGarbage)
{
    FakeDriver *f = load({{"n", {"1"}}});
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        for (int i = 0; i < 200000 && !stop; ++i) {
            char *v = config_get_stringcopy(cache, "n", "missing");
            std::string s = v;
            free(v);
            if (s != "1" && s != "2")
                ++bad;
        }
    });
    for (int i = 0; i < 200; ++i) {
        f->options = {{"n", {i % 2 ? "1" : "2"}}};
        ASSERT_EQ(config_refresh(cache), 0);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
}

int _scan_collect(ConfigCache *, const char *name, char **values, unsigned flags, void *arg)
{
    auto *out = static_cast<std::vector<std::string> *>(arg);
    out->push_back(std::string(name) + "=" + (values ? values[0] : "-") + "/" +
                   std::to_string(flags));
    return name == std::string("stop") ? 5 : 0;
}

TEST_F(CacheTest, ScanVisitsMatchingNamesInOrderAndStopsOnNonZero)
{
    load({{"b.x", {"1"}}, {"a.x", {"2"}}, {"stop", {"3"}}, {"z", {"4"}}});
    std::vector<std::string> seen;
    EXPECT_EQ(config_scan_config(cache, "*.x", _scan_collect, &seen), 0);
    EXPECT_THAT(seen, ElementsAre("a.x=2/0", "b.x=1/0"));
    seen.clear();
    EXPECT_EQ(config_scan_config(cache, nullptr, _scan_collect, &seen), 5);
    EXPECT_THAT(seen, ElementsAre("a.x=2/0", "b.x=1/0", "stop=3/0"));
    EXPECT_EQ(config_scan_config(nullptr, nullptr, _scan_collect, &seen), 1);
}

TEST_F(CacheTest, GetKeysMatchesBothWays)
{
    load({{"store.partition.a.path", {"/a"}},
          {"store.partition.*.path", {"/star"}},
          {"store.other", {"x"}},
          {"local.x", {"y"}}});
    int count = 0;
    char **names = nullptr;
    EXPECT_EQ(config_get_keys(cache, "store.partition.b.path", &count, &names), 0);
    // The stored pattern-like name matches the concrete text.
    EXPECT_THAT(strings(names), ElementsAre("store.partition.*.path"));
    EXPECT_EQ(count, 1);
    config_freearray(names);
    config_get_keys(cache, "store.partition.*.path", &count, &names);
    EXPECT_THAT(strings(names), ElementsAre("store.partition.*.path", "store.partition.a.path"));
    config_freearray(names);
    config_get_keys(cache, "nothing*", &count, &names);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(names, nullptr);
    config_get_keys(nullptr, nullptr, &count, &names);
    EXPECT_EQ(count, 0);
}

TEST_F(CacheTest, GetChildListsLeavesAndBranches)
{
    load({{"logfile.default.logdir", {"d"}},
          {"logfile.default.loglevel", {"l"}},
          {"logfile.default.sub.x", {"x"}},
          {"logfile.default.sub.y", {"y"}},
          {"logfile.defaultx.z", {"z"}},
          {"logfile.default", {"self"}},
          {"top", {"1"}},
          {"other", {"1"}},
          {"a.b", {"1"}}});
    int count = 0;
    char **names = nullptr;
    config_get_child(cache, "logfile.default", 0, &count, &names);
    EXPECT_THAT(strings(names), ElementsAre("logdir", "loglevel"));
    EXPECT_EQ(count, 2);
    config_freearray(names);
    config_get_child(cache, "logfile.default.", 1, &count, &names);
    EXPECT_THAT(strings(names), ElementsAre("sub"));
    config_freearray(names);
    config_get_child(cache, nullptr, 0, &count, &names);
    EXPECT_THAT(strings(names), ElementsAre("other", "top"));
    config_freearray(names);
    config_get_child(cache, "", 1, &count, &names);
    EXPECT_THAT(strings(names), ElementsAre("a", "logfile"));
    config_freearray(names);
    config_get_child(cache, "none", 0, &count, &names);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(names, nullptr);
}

TEST_F(CacheTest, GetChildCollectsManyDistinctNames)
{
    Options o;
    for (int i = 0; i < 45; ++i) {
        o.push_back({"p.c" + std::to_string(100 + i), {"v"}});
        o.push_back({"p.b" + std::to_string(100 + i) + ".leaf", {"v"}});
        o.push_back({"p.b" + std::to_string(100 + i) + ".leaf2", {"v"}});
    }
    load(o);
    int count = 0;
    char **names = nullptr;
    config_get_child(cache, "p", 0, &count, &names);
    EXPECT_EQ(count, 45);
    EXPECT_EQ(names[45], nullptr);
    config_freearray(names);
    config_get_child(cache, "p", 1, &count, &names);
    EXPECT_EQ(count, 45);
    config_freearray(names);
}

void _unsafe_access()
{
    ConfigCache *c = config_newcache();
    char *v[] = {const_cast<char *>("v"), nullptr};
    config_set_values(c, "safe", v, 0, CONFIG_FLAG_NOTREFRESHABLE);
    config_set_values(c, "unsafe", v, 0, 0);
    config_setoption(c, 0, CONFIG_CACHE_CHECK);
    if (std::string(config_get_string(c, "safe", "d")) == "v")
        config_get_string(c, "unsafe", "d");
}

TEST(ConfigCacheDeath, CacheCheckStopsOnUnsafeAccess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(_unsafe_access(),
                 "Critical: func=config_get_string; error=unsafe access of configuration option; "
                 "option=unsafe");
}

TEST(ConfigDefault, SetAndGetDefaultCache)
{
    ConfigCache *saved = config_getdefaultcache();
    ConfigCache *c = config_newcache();
    config_setdefaultcache(c);
    EXPECT_EQ(config_getdefaultcache(), c);
    config_freecache(c);
    config_setdefaultcache(saved);
    config_freecache(nullptr);
}

TEST(KvContainers, EntriesAndListsOwnTheirContents)
{
    KvEntry *e = kvCreateEntry("key", "v1");
    kvAddEntryValue(e, "v2");
    kvAddEntryValue(nullptr, "ignored");
    char *key = nullptr;
    char **values = nullptr;
    kvGetEntryKeyValues(e, &key, &values);
    EXPECT_STREQ(key, "key");
    EXPECT_THAT(strings(values), ElementsAre("v1", "v2"));
    kvGetEntryKeyValues(e, nullptr, nullptr);

    KvEntry *bare = kvCreateEntry(nullptr, nullptr);
    EXPECT_EQ(bare->key, nullptr);
    EXPECT_EQ(bare->values, nullptr);

    char *src[] = {const_cast<char *>("a"), const_cast<char *>("b"), nullptr};
    KvEntry *e2 = kvCreateEntry2("k2", src);
    EXPECT_NE(e2->values, src);
    EXPECT_THAT(strings(e2->values), ElementsAre("a", "b"));

    KvList *list = kvCreateList(e);
    EXPECT_EQ(list->count, 1);
    EXPECT_EQ(list->size, 5);
    kvAddListEntry(list, bare);
    kvAddListEntry(list, e2);
    for (int i = 0; i < 10; ++i)
        kvAddListEntry(list, kvCreateEntry(("x" + std::to_string(i)).c_str(), "v"));
    EXPECT_EQ(list->count, 13);
    EXPECT_EQ(list->size, 15);
    KvEntry **entries = kvGetListEntries(list);
    EXPECT_EQ(entries[0], e);
    EXPECT_EQ(entries[2], e2);
    EXPECT_EQ(entries[13], nullptr);
    kvDeleteList(list);

    KvList *empty = kvCreateList(nullptr);
    EXPECT_EQ(empty->count, 0);
    EXPECT_EQ(empty->size, 0);
    EXPECT_EQ(kvGetListEntries(empty)[0], nullptr);
    kvDeleteList(empty);
    kvDeleteList(nullptr);
    kvDeleteEntry(nullptr);
}

} // namespace
