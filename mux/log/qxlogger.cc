// Log writer.
//
// Threads: qxlog/qxlogv run on any thread.  A handle's `lock` (created at
// configuration) is held from opening the file through the status check,
// creation header, maintenance (rollover, expiry, pruning) and the write
// itself, so a rollover can never close the descriptor under another
// thread's write, and each line is one write(2) on an O_APPEND descriptor:
// lines from threads or processes sharing the file never overwrite or split
// each other.  A configuration of a handle that has its lock (a refresh
// while other threads log) applies the options under it, and the two fields
// every message reads before any lock (loglevel, syslogfacility) are read
// and written atomically; qxlog_reopen closes the file under the lock.
// Close and setoptions are unguarded: start-up and shut-down only.
// Formatting uses stack buffers only.
#include "log/qxlogger.h"
#include "log/qxlogger_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <prprf.h>

#include "config/config.h"
#include "config/config_instance.h"
#include "base/lock_guard.h"
#include "tovi/mutex.h"
#include "tovi/stdapi.h"
#include "tovi/thread.h"
#include "tovi/xmalloc.h"

using muxbase::LockGuard;

namespace {

constexpr size_t QXLOG_WORKBUF = 3072;
constexpr size_t QXLOG_MAREA = 1024;
constexpr size_t QXLOG_STAMP = 40;
constexpr size_t QXLOG_PATH = 1024;

constexpr uint32_t DEF_ROLLOVERTIME = 86400;
constexpr uint32_t DEF_EXPIRYTIME = 604800;
constexpr uint32_t DEF_MAXLOGFILESIZE = 2097152;
constexpr uint32_t DEF_MAXLOGFILES = 10;
constexpr uint32_t DEF_MAXLOGSIZE = 20971520;
constexpr uint32_t DEF_MINFREEDISKSPACE = 5242880;
constexpr int32_t DEF_FLUSHINTERVAL = 60;

const char *const qxlog_levels[] = {"Emergency", "Alert",  "Critical",    "Error",
                                    "Warning",   "Notice", "Information", "Debug"};
const int syslog_levels[] = {LOG_EMERG,   LOG_ALERT,  LOG_CRIT, LOG_ERR,
                             LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG};
const char *const qxlog_facilities[] = {"General",  "LDAP",  "Network", "User",   "Account",
                                        "Protocol", "Stats", "Store",   "Unknown"};

struct SyslogFacility {
    const char *name;
    int value;
};
const SyslogFacility syslog_facilities[] = {
    {"none", -1},           {"", -1},
    {"user", LOG_USER},     {"mail", LOG_MAIL},
    {"daemon", LOG_DAEMON}, {"local0", LOG_LOCAL0},
    {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2},
    {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},
    {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6},
    {"local7", LOG_LOCAL7},
};

const LogHandle initial_template = {
    nullptr,
    nullptr,
    0,
    0,
    nullptr,
    nullptr,
    0,
    0,
    -1,
    0,
    QXLOG_NOTICE,
    DEF_ROLLOVERTIME,
    DEF_EXPIRYTIME,
    DEF_MAXLOGFILESIZE,
    DEF_MAXLOGFILES,
    DEF_MAXLOGSIZE,
    -1,
    DEF_MINFREEDISKSPACE,
    DEF_FLUSHINTERVAL,
    0,
    nullptr,
    nullptr,
    0,
};

LogHandle initial_settings = initial_template;
LogHandle default_log = initial_template;
char host[256];
unsigned log_options;
bool syslog_opened;
// openlog keeps the identity pointer: it must outlive every handle.
char syslog_ident[256];
std::once_flag init_once;

void default_cleanup()
{
    qxlog_close(&default_log);
    if (syslog_opened) {
        closelog();
        syslog_opened = false;
    }
}

void _default_init_once()
{
    char name[256];
    std::strcpy(host, "localhost");
    if (gethostname(name, sizeof(name) - 1) == 0) {
        name[sizeof(name) - 1] = '\0';
        char *dot = std::strchr(name, '.');
        if (dot)
            *dot = '\0';
        if (name[0])
            std::strcpy(host, name);
    }
    initial_settings.pid = (int32_t)process_id();
    initial_settings.euid = (uint32_t)geteuid();
    default_log = initial_settings;
    std::atexit(default_cleanup);
}

void default_init()
{
    std::call_once(init_once, _default_init_once);
}

LogHandle *_resolve(LogHandle *log)
{
    if (log == nullptr) {
        default_init();
        return &default_log;
    }
    return log;
}

void _replace(char **field, const char *value)
{
    char *copy = value ? xstrdup(value) : nullptr;
    std::free(*field);
    *field = copy;
}

void _set_once(char **field, const char *value)
{
    if (*field == nullptr && value != nullptr)
        *field = xstrdup(value);
}

uint32_t _u32_or(const char *value, uint32_t def)
{
    uint32_t v = value ? (uint32_t)std::atoi(value) : 0;
    return v ? v : def;
}

const char *_errtext(int err, char *buf, size_t len)
{
    const char *t = strerror_r(err, buf, len);
    return t ? t : "unknown error";
}

// Replaces "%m" (not preceded by an escaping "%") with the error text.
// Returns true when at least one replacement happened.
bool _expand_m(const char *format, int err, char *area)
{
    char errbuf[256];
    const char *etext = nullptr;
    size_t o = 0;
    size_t run = 0; // consecutive "%" just before the current character
    bool replaced = false;
    for (const char *p = format; *p && o < QXLOG_MAREA - 1; ++p) {
        if (p[0] == '%' && p[1] == 'm' && run % 2 == 0) {
            if (etext == nullptr)
                etext = _errtext(err, errbuf, sizeof(errbuf));
            size_t n = std::strlen(etext);
            if (n > QXLOG_MAREA - 1 - o)
                n = QXLOG_MAREA - 1 - o;
            std::memcpy(area + o, etext, n);
            o += n;
            ++p;
            run = 0;
            replaced = true;
            continue;
        }
        run = (*p == '%') ? run + 1 : 0;
        area[o++] = *p;
    }
    area[o] = '\0';
    return replaced;
}

void _deliver(LogHandle *log, const char *line, size_t len)
{
    if (len == 0)
        return;
    if (log->fd >= 0 && write(log->fd, line, len) >= 0)
        return;
    if (!(log_options & QXLOG_OPT_NOSTDERR)) {
        ssize_t r = write(STDERR_FILENO, line, len);
        (void)r;
    }
}

// loglevel and syslogfacility: read by every message without a lock.
int32_t _get(const int32_t &field)
{
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

void _put(int32_t &field, int32_t value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

bool _logpath(const LogHandle *log, char *path)
{
    int n = std::snprintf(path, QXLOG_PATH, "%s/%s", log->logdir, log->servicename);
    return n > 0 && (size_t)n < QXLOG_PATH;
}

// Parses "<service>.<seq>.<time>" and nothing more.
bool _rolled_name(const char *name, const char *service, uint32_t *seq, uint32_t *t)
{
    size_t sl = std::strlen(service);
    if (std::strncmp(name, service, sl) != 0 || name[sl] != '.')
        return false;
    const char *p = name + sl + 1;
    if (*p < '0' || *p > '9')
        return false;
    char *end;
    unsigned long s = std::strtoul(p, &end, 10);
    if (*end != '.' || end[1] < '0' || end[1] > '9')
        return false;
    unsigned long tv = std::strtoul(end + 1, &end, 10);
    if (*end != '\0')
        return false;
    *seq = (uint32_t)s;
    *t = (uint32_t)tv;
    return true;
}

struct RolledFile {
    uint32_t seq;
    uint32_t size;
    std::string path;
};

// Rolls the current file over when due and expires and prunes rolled-over
// files.  Returns true when it closed the current file.  Called with the
// handle's lock held.
bool _maintain(LogHandle *log, bool rollover_request, uint32_t now, const struct stat &st)
{
    uint32_t size = (uint32_t)st.st_size;
    if (!rollover_request && !(size > log->maxlogfilesize) &&
        !((uint32_t)(now - log->created) > log->rollovertime))
        return false;

    char path[QXLOG_PATH];
    if (!_logpath(log, path))
        return false;
    struct stat pst;
    if (stat(path, &pst) == 0 && pst.st_ino == st.st_ino && pst.st_dev == st.st_dev) {
        DIR *dir = opendir(log->logdir);
        if (dir == nullptr)
            return false;
        uint32_t count = 0;
        uint32_t total = size;
        uint32_t lowest = UINT32_MAX;
        std::vector<RolledFile> kept;
        while (struct dirent *de = readdir(dir)) {
            uint32_t seq, t;
            if (!_rolled_name(de->d_name, log->servicename, &seq, &t))
                continue;
            std::string fpath = std::string(log->logdir) + "/" + de->d_name;
            if (seq > log->lastseq)
                log->lastseq = seq;
            if (log->lastseq - seq + 1 >= log->maxlogfiles) {
                unlink(fpath.c_str());
                continue;
            }
            // An expiry time beyond the clock's age means nothing can be that
            // old; the unsigned difference would otherwise wrap and expire all.
            if (log->expirytime <= now && t <= now - log->expirytime) {
                unlink(fpath.c_str());
                continue;
            }
            struct stat fst;
            if (stat(fpath.c_str(), &fst) != 0)
                continue;
            uint32_t fsize = (uint32_t)fst.st_size;
            if (seq < lowest && total + fsize > log->maxlogsize) {
                unlink(fpath.c_str());
                continue;
            }
            ++count;
            total += fsize;
            if (seq < lowest)
                lowest = seq;
            kept.push_back({seq, fsize, std::move(fpath)});
        }
        while ((total > log->maxlogsize || count >= log->maxlogfiles) && !kept.empty()) {
            size_t low = 0;
            for (size_t i = 1; i < kept.size(); ++i)
                if (kept[i].seq < kept[low].seq)
                    low = i;
            struct stat fst;
            if (stat(kept[low].path.c_str(), &fst) != 0)
                break;
            unlink(kept[low].path.c_str());
            --count;
            uint32_t fsize = (uint32_t)fst.st_size;
            total = total > fsize ? total - fsize : 0;
            kept.erase(kept.begin() + (long)low);
        }
        closedir(dir);
        log->lastseq += 1;
        char rolled[QXLOG_PATH + 32];
        std::snprintf(rolled, sizeof(rolled), "%s.%u.%lu", path, log->lastseq,
                      (unsigned long)log->created);
        rename(path, rolled);
    }
    close(log->fd);
    log->fd = -1;
    log->created = 0;
    return true;
}

size_t _prefix(char *out, size_t room, const char *stamp, const LogHandle *log, unsigned flags)
{
    int n = std::snprintf(out, room, "[%s] %s %s[%ld]: %s %s: ", stamp, host,
                          log->processname ? log->processname : "", (long)log->pid,
                          qxlog_facilities[(flags >> 3) & 7], qxlog_levels[flags & 7]);
    if (n < 0)
        return 0;
    return (size_t)n < room ? (size_t)n : room - 1;
}

// Opens the file when needed, writes the creation header into a new file and
// runs maintenance.  Returns false when the line can only go to stderr (no
// open file).  Called with the handle's lock held.
bool _prepare_file(LogHandle *log, const char *format, unsigned flags, uint32_t now,
                   const char *stamp)
{
    bool may_roll = true;
    for (;;) {
        if (log->fd < 0) {
            char path[QXLOG_PATH];
            if (!_logpath(log, path))
                return false;
            log->fd = tovi_open(path, O_RDWR | O_CREAT | O_APPEND | TOVI_O_CLOEXEC, 0666);
            if (log->fd < 0)
                return false;
        }
        struct stat st;
        if (fstat(log->fd, &st) != 0)
            return true;
        bool header = false;
        if (st.st_size == 0) {
            char path[QXLOG_PATH];
            if (_logpath(log, path))
                config_set_file_ownership(log->serveruid, log->servergid, path, 0);
            log->created = now;
            if (!(flags & QXLOG_RAW)) {
                char hdr[512];
                int n = std::snprintf(hdr, sizeof(hdr),
                                      "[%s] %s %s[%ld]: %s %s: Log created (%lu)\n", stamp, host,
                                      log->processname ? log->processname : "", (long)log->pid,
                                      qxlog_facilities[0], qxlog_levels[6], (unsigned long)now);
                if (n > 0) {
                    ssize_t r =
                        write(log->fd, hdr, (size_t)n < sizeof(hdr) ? (size_t)n : sizeof(hdr) - 1);
                    (void)r;
                }
                header = true;
            }
        } else if (log->created == 0) {
            log->created = (uint32_t)st.st_ctime;
            char head[256];
            ssize_t n = pread(log->fd, head, sizeof(head) - 1, 0);
            if (n > 0) {
                head[n] = '\0';
                const char *paren = std::strchr(head, '(');
                if (paren)
                    log->created = (uint32_t)std::strtoul(paren + 1, nullptr, 10);
            }
            if (log->created > now)
                log->created = now;
        }
        if (header || !may_roll)
            return true;
        // A rename that keeps failing must not make every line loop: one
        // reopen per message at most.
        may_roll = false;
        if (!_maintain(log, format == nullptr, now, st))
            return true;
        if (format == nullptr)
            return false;
    }
}

} // namespace

char *qxlog_gettimestamp(const time_t *when, char *buf)
{
    struct tm tm;
    if (mtlocaltime(when, &tm) == nullptr) {
        std::strcpy(buf, "??:??:?? +0000");
        return buf;
    }
    // tm_gmtoff is the offset in force at `when`, daylight saving included.
    long offset = tm.tm_gmtoff;
    char tod[16];
    std::strftime(tod, sizeof(tod), "%T", &tm);
    long aoff = offset < 0 ? -offset : offset;
    std::snprintf(buf, QXLOG_STAMP, "%s %c%02d%02d", tod, offset >= 0 ? '+' : '-',
                  (int)(aoff / 3600), (int)((aoff % 3600) / 60));
    return buf;
}

LogHandle *qxlog_open(void)
{
    default_init();
    auto *log = static_cast<LogHandle *>(std::malloc(sizeof(LogHandle)));
    if (log == nullptr)
        return nullptr;
    *log = initial_settings;
    log->pid = (int32_t)process_id();
    log->euid = (uint32_t)geteuid();
    return log;
}

void qxlog_config(LogHandle *log, LogConfig options)
{
    default_init();
    log = _resolve(log);
    // A warning is logged once the lock is let go: it may go to this handle.
    std::string bad_facility;
    {
        LockGuard guard(log->lock);
        for (LogConfigPair *p = options; p && p->option; ++p) {
            const char *w = p->option;
            const char *v = p->value;
            if (strcasecmp(w, "logdir") == 0) {
                if (log->logdir == nullptr && v) {
                    log->logdir = xstrdup(v);
                    mkdir(log->logdir, 0700);
                }
            } else if (strcasecmp(w, "servicename") == 0) {
                _set_once(&log->servicename, v);
            } else if (strcasecmp(w, "processname") == 0) {
                _set_once(&log->processname, v);
            } else if (strcasecmp(w, "loglevel") == 0) {
                if (v && strcasecmp(v, "Nolog") == 0) {
                    _put(log->loglevel, -1);
                    break;
                }
                int level = QXLOG_INFORMATION;
                for (int i = 0; i < 8; ++i)
                    if (v && strcasecmp(v, qxlog_levels[i]) == 0)
                        level = i;
                _put(log->loglevel, level);
            } else if (strcasecmp(w, "logfacility") == 0) {
                log->logfacility = 0;
                for (int i = 0; i < 9; ++i)
                    if (v && strcasecmp(v, qxlog_facilities[i]) == 0)
                        log->logfacility = i;
            } else if (strcasecmp(w, "rollovertime") == 0) {
                log->rollovertime = _u32_or(v, DEF_ROLLOVERTIME);
            } else if (strcasecmp(w, "expirytime") == 0) {
                log->expirytime = _u32_or(v, DEF_EXPIRYTIME);
            } else if (strcasecmp(w, "maxlogfilesize") == 0) {
                log->maxlogfilesize = _u32_or(v, DEF_MAXLOGFILESIZE);
            } else if (strcasecmp(w, "maxlogfiles") == 0) {
                log->maxlogfiles = _u32_or(v, DEF_MAXLOGFILES);
            } else if (strcasecmp(w, "maxlogsize") == 0) {
                log->maxlogsize = _u32_or(v, DEF_MAXLOGSIZE);
            } else if (strcasecmp(w, "minfreediskspace") == 0) {
                log->minfreediskspace = _u32_or(v, DEF_MINFREEDISKSPACE);
            } else if (strcasecmp(w, "flushinterval") == 0) {
                int n = v ? std::atoi(v) : 0;
                log->flushinterval = n > 0 ? n : DEF_FLUSHINTERVAL;
            } else if (strcasecmp(w, "buffersize") == 0) {
                log->buffersize = v ? std::atoi(v) : 0;
            } else if (strcasecmp(w, "serveruid") == 0) {
                _replace(&log->serveruid, v ? v
                                            : config_get_string(config_getdefaultcache(),
                                                                "local.serveruid", nullptr));
            } else if (strcasecmp(w, "servergid") == 0) {
                _replace(&log->servergid, v ? v
                                            : config_get_string(config_getdefaultcache(),
                                                                "local.servergid", nullptr));
            } else if (strcasecmp(w, "syslogfacility") == 0) {
                bool found = false;
                for (const SyslogFacility &f : syslog_facilities) {
                    if (v && strcasecmp(v, f.name) == 0) {
                        _put(log->syslogfacility, f.value);
                        found = true;
                        break;
                    }
                }
                if (!found)
                    bad_facility = std::string(log->servicename ? log->servicename : "?") + "." +
                                   w + ": " + (v ? v : "");
            }
        }
    }
    if (!bad_facility.empty())
        qxlog(nullptr, QXLOG_WARNING, "invalid value for option logfile.%s ", bad_facility.c_str());
    if (log->syslogfacility >= 0) {
        if (!syslog_opened) {
            std::snprintf(syslog_ident, sizeof(syslog_ident), "%s",
                          log->processname ? log->processname : "Vantrel");
            openlog(syslog_ident, LOG_PID, log->syslogfacility);
            syslog_opened = true;
        }
    } else if (log->servicename && !log->nolock && log->lock == nullptr) {
        log->lock = mutex_open();
    }
}

void qxlog_setoptions(unsigned options)
{
    log_options = options;
}

void qxlog(LogHandle *log, unsigned flags, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    qxlogv(log, flags, format, args);
    va_end(args);
}

void qxlogv(LogHandle *log, unsigned flags, const char *format, va_list args)
{
    int saved_errno = errno;
    log = _resolve(log);
    if (log->euid == 0)
        flags |= QXLOG_PRIVILEGED;
    const int32_t syslogfacility = _get(log->syslogfacility);
    if ((int)(flags & 7) > _get(log->loglevel) && syslogfacility < 0)
        return;

    char work[QXLOG_WORKBUF];
    char *line = work;
    size_t room = QXLOG_WORKBUF;
    if (format) {
        char area[QXLOG_MAREA];
        if (_expand_m(format, saved_errno, area)) {
            size_t n = std::strlen(area) + 1;
            std::memcpy(work, area, n);
            format = work;
            line = work + n;
            room = QXLOG_WORKBUF - n;
        }
    }

    if (syslogfacility >= 0) {
        if (format == nullptr)
            return;
        int cut = (int)(room > 20 ? room - 20 : 0);
        int n =
            std::snprintf(line, room, "%s: %.*s", qxlog_facilities[(flags >> 3) & 7], cut, format);
        if (n > 0) {
            size_t len = std::strlen(line);
            if (len && line[len - 1] == '\n')
                line[len - 1] = '\0';
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        vsyslog(syslog_levels[flags & 7] | syslogfacility, line, args);
#pragma GCC diagnostic pop
        return;
    }

    uint32_t now = (uint32_t)time(nullptr);
    char stamp[QXLOG_STAMP] = "";
    if (!(flags & QXLOG_RAW)) {
        time_t t = (time_t)now;
        qxlog_gettimestamp(&t, stamp);
    }

    // Formatting needs nothing from the file: do it before taking the lock.
    size_t len = 0;
    if (format && !(flags & QXLOG_RAW)) {
        len = _prefix(line, room, stamp, log, flags);
        if (room - len > 2) {
            PR_vsnprintf(line + len, (PRUint32)(room - len - 2), format, args);
            len += std::strlen(line + len);
        }
        if (len > room - 3)
            len = room - 3;
        if (len == 0 || line[len - 1] != '\n')
            line[len++] = '\n';
        line[len] = '\0';
    } else if (format) {
        if (PR_vsnprintf(line, (PRUint32)room, format, args) == (PRUint32)-1)
            line[0] = '\0';
        len = std::strlen(line);
    }

    LockGuard guard(log->logdir && log->servicename ? log->lock : nullptr);
    if (log->logdir && log->servicename)
        (void)_prepare_file(log, format, flags, now, stamp);
    if (format == nullptr)
        return;
    _deliver(log, line, len);
}

void qxlog_flush(LogHandle *log)
{
    if (log == nullptr)
        default_init();
}

void qxlog_rollover(LogHandle *log)
{
    qxlog(log, 0, nullptr);
}

void qxlog_reopen(LogHandle *log)
{
    log = _resolve(log);
    LockGuard guard(log->lock);
    if (log->fd >= 0)
        close(log->fd);
    log->fd = -1;
    log->created = 0;
}

void qxlog_close(LogHandle *log)
{
    if (log == nullptr)
        return;
    if (log->lock)
        mutex_close(log->lock);
    if (log->fd >= 0)
        close(log->fd);
    std::free(log->servicename);
    std::free(log->processname);
    std::free(log->logdir);
    std::free(log->serveruid);
    std::free(log->servergid);
    if (log == &default_log)
        default_log = initial_settings;
    else
        std::free(log);
}

void qxlog_freelogconfig(LogConfig options)
{
    if (options == nullptr)
        return;
    for (LogConfigPair *p = options; p->option; ++p) {
        std::free(p->option);
        std::free(p->value);
    }
    std::free(options);
}
