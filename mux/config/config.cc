// Configuration cache.
//
// Locking: `lock` (NSPR reader/writer lock) guards configlist and the driver
// slots.  Getters read under it; fetch, set_values, refresh and freecache
// write under it.  A refresh holds the old cache's write lock and then takes
// the fresh cache's lock inside config_fetch: old before fresh, never the
// other way.  `notifymutex` guards notifylist and serialises notification
// calls, which run after the write lock is released.
#include "config/config.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <prrwlock.h>

#include "config/config_internal.h"
#include "base/lock_guard.h"
#include "plat/wildmat.h"
#include "log/qxlogger.h"
#include "tovi/mutex.h"
#include "tovi/xmalloc.h"

using muxbase::LockGuard;

namespace {

constexpr int CONFIG_ENTRY_STEP = 100;
constexpr int CONFIG_DRIVER_STEP = 5;
constexpr int CONFIG_CHILD_STEP = 20;

ConfigCache *config_defaultcache = nullptr;

[[noreturn]] void _config_assert_failed(const char *expr)
{
    std::fprintf(stderr, "assertion failed: %s\n", expr);
    std::abort();
}

#define CONFIG_ASSERT(cond)               \
    do {                                  \
        if (!(cond))                      \
            _config_assert_failed(#cond); \
    } while (0)

// Binary search; returns the entry index when found, else the index at which
// `name` would be inserted to keep the table sorted.
int _config_getindex(ConfigCache *cache, const char *name, int *found)
{
    CONFIG_ASSERT(cache);
    if (found)
        *found = 0;
    int low = 0;
    int high = cache->nconfig;
    while (low < high) {
        int middle = (low + high) / 2;
        int cmp = std::strcmp(name, cache->configlist[middle].name);
        if (cmp == 0) {
            if (found)
                *found = 1;
            return middle;
        }
        if (cmp < 0)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

void _config_deleteentryvalue(ConfigEntry *entry, int keepname)
{
    config_freearray(entry->values);
    entry->values = nullptr;
    if (!keepname) {
        std::free(entry->name);
        entry->name = nullptr;
        entry->flags = 0;
        entry->driver = -1;
    }
}

// Finds or inserts `name`; returns its index.
int _config_insert(ConfigCache *cache, const char *name)
{
    int found = 0;
    int idx = _config_getindex(cache, name, &found);
    if (found)
        return idx;
    if (cache->nconfig == cache->maxconfig) {
        cache->maxconfig += CONFIG_ENTRY_STEP;
        cache->configlist = static_cast<ConfigEntry *>(
            xrealloc(cache->configlist, sizeof(ConfigEntry) * (size_t)cache->maxconfig));
    }
    std::memmove(&cache->configlist[idx + 1], &cache->configlist[idx],
                 sizeof(ConfigEntry) * (size_t)(cache->nconfig - idx));
    ConfigEntry *e = &cache->configlist[idx];
    e->name = xstrdup(name);
    e->values = nullptr;
    e->flags = 0;
    e->driver = -1;
    cache->nconfig++;
    return idx;
}

// Must be called with the write lock held.  Clearing comes before the
// not-refreshable check and setting after it, so one call can lift the flag
// and change the values, or change them and then protect them.
int _config_set(ConfigCache *cache, const char *name, char **values, unsigned clear, unsigned set,
                int driver)
{
    if (values != CONFIG_VALUES_UNCHANGED && values != nullptr && values[0] == nullptr)
        values = nullptr;
    int idx = _config_insert(cache, name);
    ConfigEntry *e = &cache->configlist[idx];
    if (clear)
        e->flags &= ~clear;
    if (values != CONFIG_VALUES_UNCHANGED) {
        if (e->flags & CONFIG_FLAG_NOTREFRESHABLE) {
            qxlog(nullptr, QXLOG_ERROR,
                  "func=_config_set; error=not permitted to modify nonrefreshable "
                  "configuration option");
            return 1;
        }
        _config_deleteentryvalue(e, 1);
        e->values = config_duplicatearray(values);
        e->driver = driver;
    }
    if (set)
        e->flags |= set;
    return 0;
}

struct FetchContext {
    ConfigCache *cache;
    int slot;
};

int fetch_setconfig_proc(void *context, const char *name, char **values)
{
    auto *ctx = static_cast<FetchContext *>(context);
    ConfigDriverSlot *slot = &ctx->cache->drivers[ctx->slot];
    if (slot->pattern && !wildmat(name, slot->pattern))
        return 0;
    (void)_config_set(ctx->cache, name, values, 0, 0, ctx->slot);
    return 0;
}

// With the write lock held.
int _config_fetch_locked(ConfigCache *cache)
{
    int result = 0;
    for (int i = 0; i < cache->ndrivers && result == 0; ++i) {
        ConfigDriverSlot *slot = &cache->drivers[i];
        if (slot->fetched)
            continue;
        // Marked before the call so that a failing source is not retried by
        // a later fetch.
        slot->fetched = 1;
        FetchContext ctx{cache, i};
        result = slot->driver->fetch(slot->driver, fetch_setconfig_proc, &ctx);
    }
    return result;
}

void _config_freeentries(ConfigCache *cache)
{
    for (int i = 0; i < cache->nconfig; ++i) _config_deleteentryvalue(&cache->configlist[i], 0);
    std::free(cache->configlist);
    cache->configlist = nullptr;
    cache->nconfig = 0;
    cache->maxconfig = 0;
}

// First value of `name` with the read lock held, or null.
const char *_config_firstvalue(ConfigCache *cache, const char *name)
{
    int found = 0;
    int idx = _config_getindex(cache, name, &found);
    if (!found || cache->configlist[idx].values == nullptr)
        return nullptr;
    return cache->configlist[idx].values[0];
}

void _config_addchild(char ***names, int *count, int *capacity, const char *child, size_t len)
{
    for (int i = 0; i < *count; ++i)
        if (std::strlen((*names)[i]) == len && std::memcmp((*names)[i], child, len) == 0)
            return;
    if (*capacity <= *count + 1) {
        *capacity += CONFIG_CHILD_STEP;
        *names = static_cast<char **>(xrealloc(*names, sizeof(char *) * (size_t)(*capacity + 1)));
    }
    (*names)[(*count)++] = xstrndup(child, len);
    (*names)[*count] = nullptr;
}

} // namespace

char **config_duplicatearray(char **array)
{
    if (array == nullptr)
        return nullptr;
    size_t n = 0;
    while (array[n]) ++n;
    auto **copy = static_cast<char **>(xmalloc(sizeof(char *) * (n + 1)));
    for (size_t i = 0; i < n; ++i) copy[i] = xstrdup(array[i]);
    copy[n] = nullptr;
    return copy;
}

void config_freearray(char **array)
{
    if (array == nullptr)
        return;
    for (char **p = array; *p; ++p) std::free(*p);
    std::free(array);
}

ConfigCache *config_newcache(void)
{
    auto *cache = static_cast<ConfigCache *>(xcalloc(1, sizeof(ConfigCache)));
    cache->lock = PR_NewRWLock(0, nullptr);
    if (cache->lock == nullptr) {
        qxlog(nullptr, QXLOG_ERROR, "func=config_newcache; error=cannot create lock");
        std::free(cache);
        return nullptr;
    }
    cache->notifymutex = mutex_open();
    if (cache->notifymutex == nullptr) {
        // Not in the original list of failures, but a cache without its
        // notification mutex would crash at the first refresh.
        qxlog(nullptr, QXLOG_ERROR, "func=config_newcache; error=cannot create lock");
        PR_DestroyRWLock(cache->lock);
        std::free(cache);
        return nullptr;
    }
    cache->notifylist.next = &cache->notifylist;
    cache->notifylist.prev = &cache->notifylist;
    cache->maxconfig = CONFIG_ENTRY_STEP;
    cache->configlist =
        static_cast<ConfigEntry *>(xcalloc((size_t)cache->maxconfig, sizeof(ConfigEntry)));
    cache->maxdrivers = CONFIG_DRIVER_STEP;
    cache->drivers = static_cast<ConfigDriverSlot *>(
        xcalloc((size_t)cache->maxdrivers, sizeof(ConfigDriverSlot)));
    cache->options = 0;
    return cache;
}

void config_freecache(ConfigCache *cache)
{
    if (cache == nullptr)
        return;
    {
        LockGuard guard(cache->lock, LockGuard::Write);
        _config_freeentries(cache);
        for (int i = 0; i < cache->ndrivers; ++i) {
            ConfigDriver *d = cache->drivers[i].driver;
            if (d && d->free)
                d->free(d);
            std::free(cache->drivers[i].pattern);
        }
        std::free(cache->drivers);
        cache->drivers = nullptr;
        cache->ndrivers = 0;
    }
    PR_DestroyRWLock(cache->lock);
    ConfigNotify *n = cache->notifylist.next;
    while (n != &cache->notifylist) {
        ConfigNotify *next = n->next;
        std::free(n);
        n = next;
    }
    mutex_close(cache->notifymutex);
    std::free(cache);
}

void config_setoption(ConfigCache *cache, unsigned clearbits, unsigned setbits)
{
    if (cache == nullptr)
        return;
    cache->options = (cache->options & ~clearbits) | setbits;
}

void config_adddriver(ConfigCache *cache, const char *pattern, ConfigDriver *driver)
{
    if (cache->ndrivers == cache->maxdrivers) {
        cache->maxdrivers += CONFIG_DRIVER_STEP;
        cache->drivers = static_cast<ConfigDriverSlot *>(
            xrealloc(cache->drivers, sizeof(ConfigDriverSlot) * (size_t)cache->maxdrivers));
    }
    ConfigDriverSlot *slot = &cache->drivers[cache->ndrivers++];
    slot->driver = driver;
    slot->pattern = (pattern && *pattern) ? xstrdup(pattern) : nullptr;
    slot->fetched = 0;
}

int config_fetch(ConfigCache *cache)
{
    LockGuard guard(cache->lock, LockGuard::Write);
    return _config_fetch_locked(cache);
}

ConfigCache *config_newcache_fromfile(const char *path, const char *pattern)
{
    ConfigCache *cache = config_newcache();
    if (cache == nullptr)
        return nullptr;
    ConfigDriver *driver = config_readdriver_fileinit(path);
    if (driver == nullptr) {
        config_freecache(cache);
        return nullptr;
    }
    config_adddriver(cache, pattern, driver);
    if (config_fetch(cache) != 0) {
        config_freecache(cache);
        return nullptr;
    }
    return cache;
}

int config_refresh(ConfigCache *cache)
{
    ConfigCache *fresh = config_newcache();
    if (fresh == nullptr) {
        qxlog(nullptr, QXLOG_ERROR, "func=config_refresh; error=cannot get new cache");
        return 1;
    }
    int result;
    {
        LockGuard guard(cache->lock, LockGuard::Write);
        // The fresh cache borrows the driver table for the re-read.
        ConfigDriverSlot *own_drivers = fresh->drivers;
        fresh->drivers = cache->drivers;
        fresh->ndrivers = cache->ndrivers;
        fresh->maxdrivers = cache->maxdrivers;
        for (int i = 0; i < fresh->ndrivers; ++i) fresh->drivers[i].fetched = 0;

        result = config_fetch(fresh) != 0 ? 1 : 0;
        if (result == 0) {
            // fresh is private to this call: no need for its lock here.
            for (int i = 0; i < cache->nconfig; ++i) {
                ConfigEntry *old = &cache->configlist[i];
                (void)_config_set(fresh, old->name, CONFIG_VALUES_UNCHANGED, ~0u, old->flags, -1);
                if (!(old->flags & CONFIG_FLAG_NOTREFRESHABLE) && old->driver >= 0) {
                    _config_deleteentryvalue(old, 0);
                    continue;
                }
                int idx = _config_getindex(fresh, old->name, nullptr);
                _config_deleteentryvalue(&fresh->configlist[idx], 0);
                fresh->configlist[idx] = *old;
                old->name = nullptr;
                old->values = nullptr;
            }
            std::free(cache->configlist);
            cache->configlist = fresh->configlist;
            cache->nconfig = fresh->nconfig;
            cache->maxconfig = fresh->maxconfig;
            fresh->configlist = nullptr;
            fresh->nconfig = 0;
            fresh->maxconfig = 0;
        }
        fresh->drivers = own_drivers;
        fresh->ndrivers = 0;
        fresh->maxdrivers = CONFIG_DRIVER_STEP;
    }
    config_freecache(fresh);
    if (result == 0) {
        LockGuard guard(cache->notifymutex);
        for (ConfigNotify *n = cache->notifylist.next; n != &cache->notifylist; n = n->next)
            (void)n->proc(n->arg, cache);
    }
    return result;
}

void config_setdefaultcache(ConfigCache *cache)
{
    config_defaultcache = cache;
}

ConfigCache *config_getdefaultcache(void)
{
    return config_defaultcache;
}

void config_refresh_notify(ConfigCache *cache, ConfigNotifyProc proc, void *arg,
                           ConfigNotify **handle)
{
    auto *n = static_cast<ConfigNotify *>(xcalloc(1, sizeof(ConfigNotify)));
    n->proc = proc;
    n->arg = arg;
    n->cache = cache;
    {
        LockGuard guard(cache->notifymutex);
        n->prev = cache->notifylist.prev;
        n->next = &cache->notifylist;
        n->prev->next = n;
        cache->notifylist.prev = n;
    }
    if (handle)
        *handle = n;
}

void config_refresh_notify_cancel(ConfigNotify *handle)
{
    if (handle == nullptr)
        return;
    {
        LockGuard guard(handle->cache->notifymutex);
        handle->prev->next = handle->next;
        handle->next->prev = handle->prev;
    }
    std::free(handle);
}

int config_set_values(ConfigCache *cache, const char *name, char **values, unsigned clearflags,
                      unsigned setflags)
{
    if (cache == nullptr || name == nullptr)
        return 1;
    LockGuard guard(cache->lock, LockGuard::Write);
    return _config_set(cache, name, values, clearflags, setflags, -1);
}

int config_get_flags(ConfigCache *cache, const char *name, unsigned *flags)
{
    *flags = 0;
    if (cache == nullptr)
        return 1;
    LockGuard guard(cache->lock, LockGuard::Read);
    int found = 0;
    int idx = _config_getindex(cache, name, &found);
    if (!found)
        return 2;
    *flags = cache->configlist[idx].flags;
    return 0;
}

const char *config_get_string(ConfigCache *cache, const char *name, const char *def)
{
    if (cache == nullptr)
        return def;
    int found = 0;
    int idx;
    const char *value = nullptr;
    unsigned flags = 0;
    {
        LockGuard guard(cache->lock, LockGuard::Read);
        idx = _config_getindex(cache, name, &found);
        if (found) {
            flags = cache->configlist[idx].flags;
            if (cache->configlist[idx].values)
                value = cache->configlist[idx].values[0];
        }
    }
    if (!found)
        return def;
    if ((cache->options & CONFIG_CACHE_CHECK) && !(flags & CONFIG_FLAG_NOTREFRESHABLE)) {
        qxlog(nullptr, QXLOG_CRITICAL,
              "func=config_get_string; error=unsafe access of configuration option; option=%s",
              name);
        _config_assert_failed(
            "!(cache->options & CONFIG_CACHE_CHECK) || "
            "(cache->configlist[idx].flags & CONFIG_FLAG_NOTREFRESHABLE)");
    }
    return value ? value : def;
}

char *config_get_stringcopy(ConfigCache *cache, const char *name, const char *def)
{
    if (cache != nullptr) {
        LockGuard guard(cache->lock, LockGuard::Read);
        const char *v = _config_firstvalue(cache, name);
        if (v)
            return xstrdup(v);
    }
    return def ? xstrdup(def) : nullptr;
}

char **config_get_multistringcopy(ConfigCache *cache, const char *name)
{
    if (cache == nullptr)
        return nullptr;
    LockGuard guard(cache->lock, LockGuard::Read);
    int found = 0;
    int idx = _config_getindex(cache, name, &found);
    if (!found)
        return nullptr;
    return config_duplicatearray(cache->configlist[idx].values);
}

int config_get_int(ConfigCache *cache, const char *name, int def)
{
    if (cache == nullptr)
        return def;
    LockGuard guard(cache->lock, LockGuard::Read);
    const char *v = _config_firstvalue(cache, name);
    if (v == nullptr)
        return def;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!(digit(v[0]) || (v[0] == '-' && digit(v[1]))))
        return def;
    // Leading digits as atoi reads them, but clamped: a value beyond the int
    // range must not wrap into an unrelated (possibly negative) number.
    long long n = std::strtoll(v, nullptr, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return (int)n;
}

int config_get_switch(ConfigCache *cache, const char *name, int def)
{
    if (cache == nullptr)
        return def;
    LockGuard guard(cache->lock, LockGuard::Read);
    const char *v = _config_firstvalue(cache, name);
    if (v == nullptr)
        return def;
    char c0 = v[0];
    char c1 = c0 ? v[1] : '\0';
    if (c0 == '0' || c0 == 'n' || c0 == 'N')
        return 0;
    if ((c0 == 'O' && c1 == 'F') || (c0 == 'o' && c1 == 'f'))
        return 0;
    if (c0 == 'f' || c0 == 'F')
        return 0;
    if (c0 == '1' || c0 == 'y' || c0 == 'Y')
        return 1;
    if ((c0 == 'O' && c1 == 'N') || (c0 == 'o' && c1 == 'n'))
        return 1;
    if (c0 == 't' || c0 == 'T')
        return 1;
    return def;
}

int config_scan_config(ConfigCache *cache, const char *pattern, ConfigScanProc proc, void *arg)
{
    if (cache == nullptr)
        return 1;
    LockGuard guard(cache->lock, LockGuard::Read);
    for (int i = 0; i < cache->nconfig; ++i) {
        ConfigEntry *e = &cache->configlist[i];
        if (pattern && !wildmat(e->name, pattern))
            continue;
        int r = proc(cache, e->name, e->values, e->flags, arg);
        if (r != 0)
            return r;
    }
    return 0;
}

int config_get_keys(ConfigCache *cache, const char *pattern, int *count, char ***names)
{
    *count = 0;
    *names = nullptr;
    if (cache == nullptr)
        return 0;
    LockGuard guard(cache->lock, LockGuard::Read);
    int n = 0;
    char **result = nullptr;
    for (int i = 0; i < cache->nconfig; ++i) {
        const char *name = cache->configlist[i].name;
        if (pattern && !wildmat(name, pattern) && !wildmat(pattern, name))
            continue;
        if (result == nullptr)
            result =
                static_cast<char **>(xmalloc(sizeof(char *) * (size_t)(cache->nconfig - i + 1)));
        result[n++] = xstrdup(name);
    }
    if (result)
        result[n] = nullptr;
    *count = n;
    *names = result;
    return 0;
}

int config_get_child(ConfigCache *cache, const char *prefix, int branches, int *count,
                     char ***names)
{
    *count = 0;
    *names = nullptr;
    if (cache == nullptr)
        return 0;
    if (prefix == nullptr)
        prefix = "";
    size_t plen = std::strlen(prefix);
    bool needdot = plen > 0 && prefix[plen - 1] != '.';
    char **result = nullptr;
    int n = 0;
    int capacity = 0;
    {
        LockGuard guard(cache->lock, LockGuard::Read);
        for (int i = 0; i < cache->nconfig; ++i) {
            const char *name = cache->configlist[i].name;
            if (std::strncmp(name, prefix, plen) != 0 || name[plen] == '\0')
                continue;
            const char *rest = name + plen;
            if (needdot) {
                if (*rest != '.')
                    continue;
                ++rest;
            }
            const char *dot = std::strchr(rest, '.');
            if ((dot != nullptr) != (branches != 0))
                continue;
            size_t len = dot ? (size_t)(dot - rest) : std::strlen(rest);
            _config_addchild(&result, &n, &capacity, rest, len);
        }
    }
    if (n == 0)
        return 0;
    result = static_cast<char **>(xrealloc(result, sizeof(char *) * (size_t)(n + 1)));
    *count = n;
    *names = result;
    return 0;
}

// --- key/value containers ---------------------------------------------------

KvEntry *kvCreateEntry(const char *key, const char *value)
{
    auto *e = static_cast<KvEntry *>(xcalloc(1, sizeof(KvEntry)));
    if (key)
        e->key = xstrdup(key);
    if (value)
        kvAddEntryValue(e, value);
    return e;
}

KvEntry *kvCreateEntry2(const char *key, char **values)
{
    auto *e = static_cast<KvEntry *>(xcalloc(1, sizeof(KvEntry)));
    if (key)
        e->key = xstrdup(key);
    e->values = config_duplicatearray(values);
    return e;
}

void kvDeleteEntry(KvEntry *entry)
{
    if (entry == nullptr)
        return;
    config_freearray(entry->values);
    std::free(entry->key);
    std::free(entry);
}

void kvAddEntryValue(KvEntry *entry, const char *value)
{
    if (entry == nullptr || value == nullptr)
        return;
    size_t n = 0;
    if (entry->values)
        while (entry->values[n]) ++n;
    auto **grown = static_cast<char **>(xmalloc(sizeof(char *) * (n + 2)));
    if (n)
        std::memcpy(grown, entry->values, sizeof(char *) * n);
    grown[n] = xstrdup(value);
    grown[n + 1] = nullptr;
    std::free(entry->values);
    entry->values = grown;
}

void kvGetEntryKeyValues(KvEntry *entry, char **key, char ***values)
{
    if (key)
        *key = entry ? entry->key : nullptr;
    if (values)
        *values = entry ? entry->values : nullptr;
}

KvList *kvCreateList(KvEntry *entry)
{
    auto *list = static_cast<KvList *>(xcalloc(1, sizeof(KvList)));
    list->entries = static_cast<KvEntry **>(xcalloc(1, sizeof(KvEntry *)));
    if (entry)
        kvAddListEntry(list, entry);
    return list;
}

void kvAddListEntry(KvList *list, KvEntry *entry)
{
    if (list == nullptr)
        return;
    if (list->count == list->size) {
        list->size += 5;
        auto **grown =
            static_cast<KvEntry **>(xmalloc(sizeof(KvEntry *) * (size_t)(list->size + 1)));
        if (list->count)
            std::memcpy(grown, list->entries, sizeof(KvEntry *) * (size_t)list->count);
        std::free(list->entries);
        list->entries = grown;
    }
    list->entries[list->count++] = entry;
    list->entries[list->count] = nullptr;
}

KvEntry **kvGetListEntries(KvList *list)
{
    return list ? list->entries : nullptr;
}

void kvDeleteList(KvList *list)
{
    if (list == nullptr)
        return;
    for (int i = 0; i < list->count; ++i) kvDeleteEntry(list->entries[i]);
    std::free(list->entries);
    std::free(list);
}
