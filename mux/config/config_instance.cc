// Instance files and settings derived from the default configuration cache.
// Stateless apart from the instance directory override, which is set once at
// start-up before other threads exist.
#include "config/config_instance.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/config.h"
#include "tovi/lock.h"
#include "tovi/thread.h"
#include "tovi/xmalloc.h"

namespace {

constexpr size_t CONFIG_PATHLEN = 1024;
constexpr size_t CONFIG_KEYLEN = 1024;
constexpr size_t CONFIG_LOGKEYLEN = 512;
constexpr size_t CONFIG_LOGPREFIXLEN = 128;
constexpr char PARTITION_PATTERN[] = "store.partition.*.path";
constexpr char PARTITION_PREFIX[] = "store.partition.";

const char *_instancedir = nullptr;
// This process's descriptor of its locked pid file (shared with the
// processes forked after it was taken), or -1.
int _pidfile_fd = -1;

// Forms "<instancedir>/log/<name>.pid"; 1 without instance directory, ENAMETOOLONG
// when the path does not fit (rather than touching a truncated name).
int _pidfile_path(const char *name, char *path)
{
    const char *dir = config_getinstancedir();
    if (dir == nullptr)
        return 1;
    int n = std::snprintf(path, CONFIG_PATHLEN, "%s/log/%s.pid", dir, name ? name : "");
    if (n < 0 || (size_t)n >= CONFIG_PATHLEN)
        return ENAMETOOLONG;
    return 0;
}

// Partition name of a "store.partition.<name>...path" key, as a copy.
char *_partition_name(const char *key)
{
    const char *start = key + sizeof(PARTITION_PREFIX) - 1;
    const char *dot = std::strchr(start, '.');
    return dot ? xstrndup(start, (size_t)(dot - start)) : xstrdup(start);
}

// Locks the whole file on its open file description (inherited by fork,
// unlike a process's own lockf lock): 0 or the errno.
int _lock_open_file(int fd, short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 0 : errno;
}

bool _same_file(int fd, const char *path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool _is_partition_key(const char *key)
{
    return std::strncmp(key, PARTITION_PREFIX, sizeof(PARTITION_PREFIX) - 1) == 0;
}

} // namespace

void config_setinstancedir(const char *dir)
{
    _instancedir = dir;
}

const char *config_getinstancedir(void)
{
    if (_instancedir)
        return _instancedir;
    return config_get_string(config_getdefaultcache(), "local.instancedir", nullptr);
}

int config_readpidfile(const char *name, unsigned long *pid, char *text, size_t textsize)
{
    char path[CONFIG_PATHLEN];
    int r = _pidfile_path(name, path);
    if (r)
        return r;
    FILE *f = std::fopen(path, "re");
    if (f == nullptr)
        return errno;
    int result = std::fscanf(f, "%lu", pid) == 1 ? 0 : 2;
    if (text && textsize > 0) {
        // The word is read with the caller's bound: a longer word is cut,
        // never written past the buffer.
        text[0] = '\0';
        if (result == 0) {
            int c;
            do c = std::fgetc(f);
            while (c != EOF &&
                   (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'));
            size_t n = 0;
            while (c != EOF &&
                   !(c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')) {
                if (n + 1 < textsize)
                    text[n++] = (char)c;
                c = std::fgetc(f);
            }
            text[n] = '\0';
        }
    }
    std::fclose(f);
    return result;
}

int config_writepidfile(const char *name, const char *text)
{
    char path[CONFIG_PATHLEN];
    int r = _pidfile_path(name, path);
    if (r)
        return r;
    FILE *f = std::fopen(path, "we");
    if (f == nullptr)
        return errno;
    std::fprintf(f, "%lu\n", (unsigned long)process_id());
    if (text)
        std::fprintf(f, "%s\n", text);
    // A pid file that did not reach the disk must not be reported as written:
    // the stop command would then find nothing to signal.
    int bad = std::ferror(f);
    int closed = std::fclose(f);
    if (bad || closed != 0) {
        int err = errno ? errno : EIO;
        unlink(path);
        return err;
    }
    ConfigCache *cache = config_getdefaultcache();
    (void)config_set_file_ownership(config_get_string(cache, "local.serveruid", nullptr),
                                    config_get_string(cache, "local.servergid", nullptr), path, 0);
    return 0;
}

int config_removepidfile(const char *name)
{
    char path[CONFIG_PATHLEN];
    int r = _pidfile_path(name, path);
    if (r)
        return r;
    if (unlink(path) != 0 && errno != ENOENT)
        return errno;
    return 0;
}

int config_lockpidfile(const char *name, unsigned long *holder)
{
    if (holder)
        *holder = 0;
    char path[CONFIG_PATHLEN];
    int r = _pidfile_path(name, path);
    if (r)
        return r;
    // A holder that ends may remove the file between our open and our lock;
    // the file then locked is not the one at the path, so try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return errno;
        int err = _lock_open_file(fd, F_WRLCK);
        if (err == EAGAIN || err == EACCES) {
            char buf[32] = "";
            ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
            if (holder && n > 0)
                *holder = std::strtoul(buf, nullptr, 10);
            close(fd);
            return EAGAIN;
        }
        if (err == 0 && !_same_file(fd, path)) {
            close(fd);
            continue;
        }
        if (err == 0 && ftruncate(fd, 0) != 0)
            err = errno;
        if (err) {
            close(fd);
            return err;
        }
        if (_pidfile_fd >= 0)
            close(_pidfile_fd);
        _pidfile_fd = fd;
        return 0;
    }
    return EAGAIN;
}

int config_checkpidfile(const char *name)
{
    char path[CONFIG_PATHLEN];
    int r = _pidfile_path(name, path);
    if (r)
        return r;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    // The holder's lock is on another open file, so it shows as another
    // owner's even when the holder is this very process.
    int result = tovi_lock_test(fd) == 0 ? ESRCH : (errno == EACCES || errno == EAGAIN) ? 0 : errno;
    close(fd);
    return result;
}

int config_releasepidfile(const char *name)
{
    char path[CONFIG_PATHLEN];
    int r = _pidfile_path(name, path);
    if (r)
        return r;
    if (_pidfile_fd >= 0) {
        close(_pidfile_fd);
        _pidfile_fd = -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    // A shared lock of our own is granted only when no process of the group
    // still holds the file; several last ones may get it, and one unlink wins.
    int result = 0;
    if (_lock_open_file(fd, F_RDLCK) == 0 && _same_file(fd, path) && unlink(path) != 0 &&
        errno != ENOENT)
        result = errno;
    close(fd);
    return result;
}

int config_set_file_ownership(const char *user, const char *group, const char *path, int fd)
{
    if (user == nullptr || group == nullptr)
        return 0;
    // Re-entrant lookups: log files are created from worker threads.
    char pwbuf[4096];
    char grbuf[4096];
    struct passwd pw;
    struct passwd *pwp = nullptr;
    struct group gr;
    struct group *grp = nullptr;
    if (getpwnam_r(user, &pw, pwbuf, sizeof(pwbuf), &pwp) != 0 || pwp == nullptr)
        return 0;
    if (getgrnam_r(group, &gr, grbuf, sizeof(grbuf), &grp) != 0 || grp == nullptr)
        return 0;
    if (path)
        return chown(path, pwp->pw_uid, grp->gr_gid);
    return fchown(fd, pwp->pw_uid, grp->gr_gid);
}

int config_checkservice(const char *service)
{
    char key[CONFIG_KEYLEN];
    ConfigCache *cache = config_getdefaultcache();
    std::snprintf(key, sizeof(key), "service.%s.enable", service);
    if (config_get_switch(cache, key, 1))
        return 2;
    std::snprintf(key, sizeof(key), "service.%s.enablesslport", service);
    return config_get_switch(cache, key, 0) ? 2 : 1;
}

void config_scanpartition(ConfigPartitionProc proc)
{
    ConfigCache *cache = config_getdefaultcache();
    int count = 0;
    char **keys = nullptr;
    config_get_keys(cache, PARTITION_PATTERN, &count, &keys);
    for (int i = 0; i < count; ++i) {
        // The symmetric match can return keys outside the partition tree
        // (a stored name that is itself a pattern); they have no name to give.
        if (!_is_partition_key(keys[i]))
            continue;
        char *value = config_get_stringcopy(cache, keys[i], nullptr);
        if (value == nullptr)
            continue;
        char *pname = _partition_name(keys[i]);
        proc(pname, value);
        std::free(pname);
        std::free(value);
    }
    config_freearray(keys);
}

void config_retpartitions(int *count, char ***names, char ***paths)
{
    *count = 0;
    ConfigCache *cache = config_getdefaultcache();
    int nkeys = 0;
    char **keys = nullptr;
    config_get_keys(cache, PARTITION_PATTERN, &nkeys, &keys);
    if (nkeys == 0)
        return;
    *names = static_cast<char **>(xcalloc((size_t)nkeys, sizeof(char *)));
    *paths = static_cast<char **>(xcalloc((size_t)nkeys, sizeof(char *)));
    for (int i = 0; i < nkeys; ++i) {
        if (!_is_partition_key(keys[i]))
            continue;
        char *value = config_get_stringcopy(cache, keys[i], nullptr);
        char *pname = _partition_name(keys[i]);
        if (value && *value && *pname) {
            (*names)[*count] = pname;
            (*paths)[*count] = value;
            ++*count;
        } else {
            std::free(value);
            std::free(pname);
        }
    }
    config_freearray(keys);
}

LogConfig config_getlogconfig(const char *service, const char *processname)
{
    if (service == nullptr || *service == '\0')
        service = "default";
    char prefix[CONFIG_LOGPREFIXLEN];
    int plen = std::snprintf(prefix, sizeof(prefix), "logfile.%s", service);
    ConfigCache *cache = config_getdefaultcache();
    int count = 0;
    char **opts = nullptr;
    // A cut prefix would name some other service's options.
    if (plen < 0 || (size_t)plen >= sizeof(prefix) ||
        config_get_child(cache, prefix, 0, &count, &opts) != 0 || count == 0) {
        qxlog(nullptr, QXLOG_ERROR,
              "func=configmsg_getlogconfig; error=logfile configuration options do not exist; "
              "service=%s",
              prefix);
        config_freearray(opts);
        return nullptr;
    }
    auto *pairs = static_cast<LogConfigPair *>(xcalloc((size_t)count + 3, sizeof(LogConfigPair)));
    int n = 0;
    pairs[n].option = xstrdup("servicename");
    pairs[n++].value = xstrdup(service);
    if (processname) {
        pairs[n].option = xstrdup("processname");
        pairs[n++].value = xstrdup(processname);
    }
    for (int i = 0; i < count; ++i) {
        char key[CONFIG_LOGKEYLEN];
        int kl = std::snprintf(key, sizeof(key), "%s.%s", prefix, opts[i]);
        if (kl < 0 || (size_t)kl >= sizeof(key))
            continue;
        char *value = config_get_stringcopy(cache, key, nullptr);
        if (value == nullptr)
            continue;
        if (std::strcmp(opts[i], "logdir") == 0 && std::strncmp(value, "INSTANCEDIR", 11) == 0 &&
            (value[11] == '/' || value[11] == '\\')) {
            const char *dir = config_getinstancedir();
            if (dir == nullptr) {
                std::free(value);
                qxlog_freelogconfig(pairs);
                config_freearray(opts);
                return nullptr;
            }
            size_t len = std::strlen(dir) + std::strlen(value + 11) + 1;
            char *joined = static_cast<char *>(xmalloc(len));
            std::snprintf(joined, len, "%s%s", dir, value + 11);
            std::free(value);
            value = joined;
        }
        pairs[n].option = xstrdup(opts[i]);
        pairs[n++].value = value;
    }
    config_freearray(opts);
    return pairs;
}

int config_initlog(const char *service, const char *processname)
{
    LogConfig cfg = config_getlogconfig(service, processname);
    if (cfg == nullptr)
        return -1;
    qxlog_config(nullptr, cfg);
    qxlog_freelogconfig(cfg);
    return 0;
}
