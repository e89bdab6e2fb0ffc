/* Configuration cache: sorted options with value lists and flags, filled by
 * configuration drivers and read through typed getters.
 *
 * Thread safety: every getter, config_set_values, config_fetch,
 * config_refresh and the enumeration calls take the cache's reader/writer
 * lock and may be called from any thread.  config_adddriver,
 * config_setoption and the default-cache accessors take no lock: set-up only.
 * config_get_string lends a pointer into the cache that stays valid only until
 * the option is changed or refreshed; use config_get_stringcopy for
 * refreshable options read while refreshes can happen.
 *
 * String arrays are NULL-terminated arrays of separately allocated strings,
 * freed with config_freearray.  "copy" getters return memory the caller
 * frees with free(); the others lend memory owned by the cache. */
#ifndef MUX_CONFIG_H
#define MUX_CONFIG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Entry flag: the option keeps its value across a refresh and refuses
 * config_set_values changes unless the same call clears the flag. */
#define CONFIG_FLAG_NOTREFRESHABLE 1u

/* Cache option: config_get_string on a refreshable option is a programming
 * error (logged, then the process stops). */
#define CONFIG_CACHE_CHECK 1u

/* config_set_values: leave the values alone, change only flags. */
#define CONFIG_VALUES_UNCHANGED ((char **)-1)

typedef struct ConfigCache ConfigCache;
typedef struct ConfigNotify ConfigNotify;
typedef struct ConfigDriver ConfigDriver;

/* Receiver of one option from a driver: `values` is NULL-terminated and still
 * owned by the driver (copy what you keep).  The result is ignored. */
typedef int (*ConfigSetProc)(void *setarg, const char *name, char **values);

/* A configuration source.  The cache owns a driver once it is added and
 * releases it through `free`.  Drivers with data of their own beyond `path`
 * embed this record as their first member. */
struct ConfigDriver {
    /* Reads the whole source, calling setproc once per option that has at
     * least one value, in source order; 0 = success. */
    int (*fetch)(ConfigDriver *driver, ConfigSetProc setproc, void *setarg);
    void (*free)(ConfigDriver *driver);
    char *path;
};

/* Called after each successful refresh, in registration order. */
typedef int (*ConfigNotifyProc)(void *arg, ConfigCache *cache);

/* Called by config_scan_config for each matching entry; non-zero stops the
 * scan and becomes its result.  Must not write to the same cache. */
typedef int (*ConfigScanProc)(ConfigCache *cache, const char *name, char **values, unsigned flags,
                              void *arg);

/* --- cache life cycle ---------------------------------------------------- */

/* Empty cache with 100 entry and 5 driver slots; NULL when its lock cannot be
 * created (logged). */
ConfigCache *config_newcache(void);
/* Frees entries, drivers, pending notifications and the cache; NULL ignored.
 * Does not clear the default-cache global. */
void config_freecache(ConfigCache *cache);
void config_setoption(ConfigCache *cache, unsigned clearbits, unsigned setbits);
/* Appends a driver (owned from now on); only names matching a non-empty
 * wildmat `pattern` are accepted from it. */
void config_adddriver(ConfigCache *cache, const char *pattern, ConfigDriver *driver);
/* Fetches every driver not fetched yet; 0, or the failing driver's code
 * (1 = cannot open or syntax error, 2 = cannot map). */
int config_fetch(ConfigCache *cache);
/* New cache read from one file with the file driver; NULL on any failure. */
ConfigCache *config_newcache_fromfile(const char *path, const char *pattern);
/* Re-reads every driver; 0 = success (notifications called), 1 = failure
 * (old entries untouched). */
int config_refresh(ConfigCache *cache);

void config_setdefaultcache(ConfigCache *cache);
ConfigCache *config_getdefaultcache(void);

/* Registers proc(arg, cache) for after each successful refresh; the handle,
 * when asked for, can be given to config_refresh_notify_cancel. */
void config_refresh_notify(ConfigCache *cache, ConfigNotifyProc proc, void *arg,
                           ConfigNotify **handle);
void config_refresh_notify_cancel(ConfigNotify *handle);

/* --- setting and reading options ----------------------------------------- */

/* Sets values (copied; NULL or an empty array = no values;
 * CONFIG_VALUES_UNCHANGED = keep them) after clearing `clearflags`, then sets
 * `setflags`.  1 when the entry is not refreshable and values were given. */
int config_set_values(ConfigCache *cache, const char *name, char **values, unsigned clearflags,
                      unsigned setflags);
/* 0 and the flags when found; 1 without cache; 2 for an unknown name. */
int config_get_flags(ConfigCache *cache, const char *name, unsigned *flags);
/* First value, borrowed; `def` when unknown or valueless. */
const char *config_get_string(ConfigCache *cache, const char *name, const char *def);
/* Copy of the first value, else a copy of `def`, else NULL. */
char *config_get_stringcopy(ConfigCache *cache, const char *name, const char *def);
/* Copy of all values, or NULL. */
char **config_get_multistringcopy(ConfigCache *cache, const char *name);
/* atoi of a first value that starts with a digit or "-" and a digit; else def. */
int config_get_int(ConfigCache *cache, const char *name, int def);
/* 0 or 1 from the first letters (0/n/N/of/OF/f/F, 1/y/Y/on/ON/t/T); else def. */
int config_get_switch(ConfigCache *cache, const char *name, int def);

/* --- enumeration ----------------------------------------------------------- */

/* Calls proc for each entry matching `pattern` (NULL = all) in name order;
 * returns the first non-zero result, 0, or 1 without cache. */
int config_scan_config(ConfigCache *cache, const char *pattern, ConfigScanProc proc, void *arg);
/* Names that match `pattern` or that, read as patterns, match it; always 0. */
int config_get_keys(ConfigCache *cache, const char *pattern, int *count, char ***names);
/* Distinct next components below `prefix`: leaves (branches 0) or sub-trees
 * (branches non-zero); always 0. */
int config_get_child(ConfigCache *cache, const char *prefix, int branches, int *count,
                     char ***names);
void config_freearray(char **array);

/* --- configuration file drivers -------------------------------------------- */

/* Driver for a properties file (CR or LF end lines; "\" + line end continues
 * a value list).  NULL with a logged message when the path is missing, empty,
 * absent or a directory. */
ConfigDriver *config_readdriver_propsinit(const char *path);
/* Same syntax, but lines end in LF or CR LF and a line starting with a blank
 * continues a value list. */
ConfigDriver *config_readdriver_fileinit(const char *path);
/* One option looked up without a cache: 0 and a malloc'ed copy of the last
 * occurrence's first value (NULL when absent); 1 when the driver cannot be
 * created; 2 when the file cannot be read or parsed (value untouched). */
int configdrvr_props_getkey(const char *path, const char *key, char **value);
int configdrvr_file_getkey(const char *path, const char *key, char **value);

/* --- key/value containers --------------------------------------------------- */

typedef struct KvEntry {
    char *key;     /* owned, or NULL */
    char **values; /* owned string array, or NULL */
} KvEntry;

typedef struct KvList {
    int size; /* allocated slots */
    int count;
    KvEntry **entries; /* NULL-terminated, room for size + 1; owns the entries */
} KvList;

KvEntry *kvCreateEntry(const char *key, const char *value);
KvEntry *kvCreateEntry2(const char *key, char **values);
void kvDeleteEntry(KvEntry *entry);
void kvAddEntryValue(KvEntry *entry, const char *value);
void kvGetEntryKeyValues(KvEntry *entry, char **key, char ***values);
KvList *kvCreateList(KvEntry *entry);
void kvAddListEntry(KvList *list, KvEntry *entry);
KvEntry **kvGetListEntries(KvList *list);
void kvDeleteList(KvList *list);

#ifdef __cplusplus
}
#endif

#endif
