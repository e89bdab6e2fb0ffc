/* Records of the configuration cache, shared by the cache, its drivers and
 * their tests.  Not for other modules: they use the functions of config.h. */
#ifndef MUX_CONFIG_INTERNAL_H
#define MUX_CONFIG_INTERNAL_H

#include "config/config.h"
#include "tovi/mutex.h"

struct PRRWLock;

struct ConfigEntry {
    char *name;
    char **values;  /* NULL when the option has no values */
    unsigned flags; /* CONFIG_FLAG_NOTREFRESHABLE; other bits kept as given */
    int driver;     /* slot whose fetch set the values; -1 = set by the program */
};

struct ConfigDriverSlot {
    ConfigDriver *driver; /* owned */
    char *pattern;        /* owned wildmat pattern, or NULL */
    int fetched;
};

struct ConfigNotify {
    ConfigNotify *next;
    ConfigNotify *prev;
    ConfigNotifyProc proc;
    void *arg;
    ConfigCache *cache;
};

struct ConfigCache {
    int nconfig;
    int maxconfig;
    ConfigEntry *configlist; /* sorted by strcmp, unique names */
    int ndrivers;
    int maxdrivers;
    ConfigDriverSlot *drivers;
    PRRWLock *lock;
    ConfigNotify notifylist; /* circular list head */
    tovi_mutex notifymutex;
    unsigned options;
};

/* Copy of a NULL-terminated string array (NULL gives NULL). */
char **config_duplicatearray(char **array);

#endif
