// Option-file parser: one forward pass over the mapped file, copying only
// names (into a 512-byte buffer) and values (into exactly sized strings).
// The option under construction lives in the parse state rather than in a
// process-wide slot, so parses never interfere with each other.
#include "config/configdrv_parse.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/qxlogger.h"
#include "tovi/map.h"
#include "tovi/xmalloc.h"

namespace {

constexpr size_t CONFIG_MAXNAME = 512; // names are at most 511 bytes
constexpr size_t CONFIG_SHOWLINE = 80;

struct Parser {
    const ConfigSyntax *syntax;
    const unsigned char *pos;
    size_t left;
    /* The whole file, for line numbers. */
    const unsigned char *base;
    const char *path;
};

thread_local const ConfigDiag *t_diag = nullptr;

// 1-based line of `at`; 0 without a file.
int _line_of(const Parser *ps, const unsigned char *at)
{
    if (ps == nullptr || ps->base == nullptr || at < ps->base)
        return 0;
    int line = 1;
    for (const unsigned char *p = ps->base; p < at; ++p) {
        bool lone_cr = *p == '\r' && ps->syntax->lone_cr_ends_line && !(p + 1 < at && p[1] == '\n');
        if (*p == '\n' || lone_cr)
            ++line;
    }
    return line;
}

// Every message of the drivers: to the thread's ConfigDiag with its place,
// and to the log unless the ConfigDiag keeps it.
__attribute__((format(printf, 4, 5))) void _problem(const Parser *ps, const char *path,
                                                    const unsigned char *at, const char *fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (t_diag && t_diag->problem &&
        t_diag->problem(t_diag->arg, ps ? ps->path : path, _line_of(ps, at), text) != 0)
        return;
    qxlog(nullptr, QXLOG_ERROR, "%s", text);
}

bool _is_blank(unsigned char c)
{
    return c == ' ' || c == '\t';
}

bool _is_namechar(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ';' || c == '_' || c == '*';
}

bool _is_valuechar(unsigned char c)
{
    return c != '\0' && c != '\t' && c != '\n' && c != '\r' && c != ' ' && c != '"' && c != ',' &&
           c != '\\';
}

// Message copy: at most 79 bytes, cut at the first CR or LF.
const char *_showline(const unsigned char *data, size_t length, char *buffer)
{
    size_t n = 0;
    while (n < length && n < CONFIG_SHOWLINE - 1 && data[n] != '\r' && data[n] != '\n') {
        // A NUL inside the shown text would silently cut the message short.
        buffer[n] = data[n] ? (char)data[n] : '?';
        ++n;
    }
    buffer[n] = '\0';
    return buffer;
}

// Length of the line end at p (0 when none).
size_t _line_end(const Parser &ps, const unsigned char *p, size_t left)
{
    if (left == 0)
        return 0;
    if (p[0] == '\n')
        return 1;
    if (p[0] == '\r') {
        if (ps.syntax->lone_cr_ends_line)
            return 1;
        if (left > 1 && p[1] == '\n')
            return 2;
    }
    return 0;
}

void _advance(Parser &ps, size_t n)
{
    ps.pos += n;
    ps.left -= n;
}

void _skip_blanks(Parser &ps)
{
    while (ps.left && _is_blank(*ps.pos)) _advance(ps, 1);
}

// Consumes a recognised line end and every CR and LF after it.
void _consume_line_end_run(Parser &ps, size_t endlen)
{
    _advance(ps, endlen);
    while (ps.left && (*ps.pos == '\r' || *ps.pos == '\n')) _advance(ps, 1);
}

// Consumes a continuation mark with its line-end run and following blanks;
// false (nothing consumed) when none begins here.
bool _consume_continuation(Parser &ps)
{
    if (ps.syntax->backslash_continuation) {
        if (ps.left >= 2 && ps.pos[0] == '\\' && (ps.pos[1] == '\r' || ps.pos[1] == '\n')) {
            _advance(ps, 1);
            _consume_line_end_run(ps, 0);
            _skip_blanks(ps);
            return true;
        }
        return false;
    }
    size_t endlen = _line_end(ps, ps.pos, ps.left);
    if (endlen == 0 || ps.left <= endlen || !_is_blank(ps.pos[endlen]))
        return false;
    _consume_line_end_run(ps, endlen);
    _skip_blanks(ps);
    return true;
}

bool _continuation_here(const Parser &ps)
{
    Parser probe = ps;
    return _consume_continuation(probe);
}

// Reads one value: 0 with *value set or left NULL (empty), 1 when malformed.
int _readvalue(Parser &ps, char **value)
{
    *value = nullptr;
    if (ps.left && *ps.pos == '"') {
        const unsigned char *p = ps.pos + 1;
        size_t left = ps.left - 1;
        // First pass validates and measures, second decodes: the decoded
        // value is allocated at its exact size.
        size_t outlen = 0;
        size_t i = 0;
        for (;;) {
            if (i >= left)
                return 1; // missing closing quote
            unsigned char c = p[i];
            if (c == '"')
                break;
            if (c == '\0' || c == '\t' || c == '\n' || c == '\r')
                return 1;
            if (c == '\\') {
                if (i + 1 >= left)
                    return 1;
                unsigned char e = p[i + 1];
                if (e != '"' && e != '\\' && e != 'n' && e != 'r' && e != 't')
                    return 1;
                i += 2;
            } else {
                i += 1;
            }
            ++outlen;
        }
        size_t rawlen = i;
        _advance(ps, rawlen + 2);
        if (outlen == 0)
            return 0;
        char *out = static_cast<char *>(xmalloc(outlen + 1));
        size_t o = 0;
        for (size_t k = 0; k < rawlen; ++k) {
            unsigned char c = p[k];
            if (c == '\\') {
                unsigned char e = p[++k];
                c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            }
            out[o++] = (char)c;
        }
        out[o] = '\0';
        *value = out;
        return 0;
    }
    size_t n = 0;
    while (n < ps.left && _is_valuechar(ps.pos[n])) ++n;
    if (n == 0)
        return 0;
    *value = xstrndup(reinterpret_cast<const char *>(ps.pos), n);
    _advance(ps, n);
    return 0;
}

// Reads the value list after "=" into entry; 0, or 1 after logging.
int _readvaluelist(Parser &ps, KvEntry *entry)
{
    char show[CONFIG_SHOWLINE];
    const char *func = ps.syntax->read_func;
    for (;;) {
        if (ps.left == 0)
            return 0;
        char *value = nullptr;
        if (_readvalue(ps, &value) != 0) {
            _problem(&ps, nullptr, ps.pos, "func=%s; error=error in reading value; data=%s", func,
                     _showline(ps.pos, ps.left, show));
            return 1;
        }
        if (value) {
            kvAddEntryValue(entry, value);
            std::free(value);
        }
        _skip_blanks(ps);
        if (ps.left == 0)
            return 0;
        if (*ps.pos == ',' || _continuation_here(ps)) {
            (void)_consume_continuation(ps);
            if (ps.left == 0)
                return 0;
            if (*ps.pos != ',') {
                _problem(&ps, nullptr, ps.pos,
                         "func=%s; error=invalid value list separator; data=%s", func,
                         _showline(ps.pos, ps.left, show));
                return 1;
            }
            _advance(ps, 1);
            _skip_blanks(ps);
            (void)_consume_continuation(ps);
            if (ps.left == 0)
                return 0;
            continue;
        }
        size_t endlen = _line_end(ps, ps.pos, ps.left);
        if (endlen) {
            _consume_line_end_run(ps, endlen);
            return 0;
        }
        _problem(&ps, nullptr, ps.pos, "func=%s; error=unexpected character after value; data=%s",
                 func, _showline(ps.pos, ps.left, show));
        return 1;
    }
}

// Reads one logical line.  0 with *entry (an option), 0 without (comment or
// blank line), 0 with *end (no data left), or 1 after logging an error; on
// error the position is left at the start of the line.
int _readoption(Parser &ps, KvEntry **entry, int *end)
{
    *entry = nullptr;
    *end = 0;
    if (ps.left == 0) {
        *end = 1;
        return 0;
    }
    const char *func = ps.syntax->read_func;
    char show[CONFIG_SHOWLINE];
    Parser start = ps;
    Parser cur = ps;
    unsigned char first = *cur.pos;

    if (first == '!') {
        while (cur.left) {
            size_t endlen = _line_end(cur, cur.pos, cur.left);
            if (endlen) {
                _consume_line_end_run(cur, endlen);
                break;
            }
            _advance(cur, 1);
        }
        ps = cur;
        return 0;
    }
    if (first == ' ' || first == '\t' || first == '\n' || first == '\v' || first == '\f' ||
        first == '\r') {
        _skip_blanks(cur);
        size_t endlen = _line_end(cur, cur.pos, cur.left);
        if (endlen) {
            _consume_line_end_run(cur, endlen);
            ps = cur;
            return 0;
        }
        _problem(&start, nullptr, start.pos, "func=%s; error=bad comment line; line=%s", func,
                 _showline(start.pos, start.left, show));
        return 1;
    }

    size_t namelen = 0;
    while (namelen < cur.left && _is_namechar(cur.pos[namelen])) ++namelen;
    if (namelen == 0) {
        _problem(&start, nullptr, start.pos,
                 "func=%s; error=option name contains illegal character; line=%s", func,
                 _showline(start.pos, start.left, show));
        return 1;
    }
    if (namelen == cur.left) {
        _problem(&start, nullptr, start.pos,
                 "func=%s; error=option name not followed by =value; line=%s", func,
                 _showline(start.pos, start.left, show));
        return 1;
    }
    if (namelen >= CONFIG_MAXNAME) {
        _problem(&start, nullptr, start.pos,
                 "func=%s; error=option name is too long; line=%s: maxoptionnamelength=%d", func,
                 _showline(start.pos, start.left, show), (int)CONFIG_MAXNAME);
        return 1;
    }
    char name[CONFIG_MAXNAME];
    std::memcpy(name, cur.pos, namelen);
    name[namelen] = '\0';
    for (size_t i = 0; i < namelen; ++i) {
        if (name[i] != ';')
            continue;
        if (namelen - i < 7 || std::strncmp(name + i, ";lang-", 6) != 0) {
            _problem(&start, nullptr, start.pos,
                     "func=%s; error=option name contains illegal character; line=%s", func,
                     _showline(start.pos, start.left, show));
            return 1;
        }
    }
    _advance(cur, namelen);

    KvEntry *e = kvCreateEntry(name, nullptr);
    if (e == nullptr) {
        _problem(&start, nullptr, start.pos, "func=%s; error=cannot allocate memory for result",
                 func);
        return 1;
    }
    _skip_blanks(cur);
    if (cur.left == 0 || *cur.pos != '=') {
        _problem(&start, nullptr, start.pos,
                 "func=%s; error=option name should be followed by '='; line=%s", func,
                 _showline(start.pos, start.left, show));
        kvDeleteEntry(e);
        return 1;
    }
    _advance(cur, 1);
    _skip_blanks(cur);
    if (_readvaluelist(cur, e) != 0) {
        kvDeleteEntry(e);
        return 1;
    }
    ps = cur;
    *entry = e;
    return 0;
}

// After a syntax error: on to the next line, past the lines a backslash
// continues.
void _skip_bad_line(Parser &ps)
{
    bool continued = true;
    while (continued && ps.left) {
        continued = false;
        while (ps.left && _line_end(ps, ps.pos, ps.left) == 0) {
            continued = ps.syntax->backslash_continuation && *ps.pos == '\\';
            _advance(ps, 1);
        }
        if (ps.left)
            _consume_line_end_run(ps, _line_end(ps, ps.pos, ps.left));
    }
}

struct GetkeyState {
    const char *key;
    char *value;
};

int _getkey_setproc(void *setarg, const char *name, char **values)
{
    auto *st = static_cast<GetkeyState *>(setarg);
    if (std::strcmp(name, st->key) != 0)
        return 0;
    std::free(st->value);
    st->value = values && values[0] ? xstrdup(values[0]) : nullptr;
    return 0;
}

} // namespace

ConfigDriver *configdrv_init(const ConfigSyntax *syntax, const char *path,
                             int (*fetch)(ConfigDriver *, ConfigSetProc, void *))
{
    if (path == nullptr || *path == '\0') {
        _problem(nullptr, nullptr, nullptr, "func=%s; error=need config file path",
                 syntax->init_func);
        return nullptr;
    }
    struct stat st;
    if (stat(path, &st) != 0 || S_ISDIR(st.st_mode)) {
        _problem(nullptr, path, nullptr, "func=%s; filename=%s; error=file doesn't exist",
                 syntax->init_func, path);
        return nullptr;
    }
    auto *d = static_cast<ConfigDriver *>(xcalloc(1, sizeof(ConfigDriver)));
    d->fetch = fetch;
    d->free = configdrv_free;
    d->path = xstrdup(path);
    return d;
}

void configdrv_free(ConfigDriver *driver)
{
    if (driver == nullptr)
        return;
    std::free(driver->path);
    std::free(driver);
}

int configdrv_fetch(const ConfigSyntax *syntax, ConfigDriver *driver, ConfigSetProc setproc,
                    void *setarg)
{
    int fd = open(driver->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const char *why = std::strerror(errno);
        _problem(nullptr, driver->path, nullptr,
                 "func=%s; error=unable to open config file; file=%s; syserror=%s",
                 syntax->fetch_func, driver->path, why);
        return 1;
    }
    struct stat st;
    tovi_map *map = nullptr;
    if (fstat(fd, &st) == 0) {
        if ((uint64_t)st.st_size < (uint64_t)MAP_WHOLEFILE)
            map = map_refresh(fd, nullptr, 0, (uint32_t)st.st_size);
        else
            errno = EFBIG;
    }
    if (map == nullptr) {
        const char *why = std::strerror(errno);
        _problem(nullptr, driver->path, nullptr,
                 "func=%s; error=unable to map config file; file=%s; syserr=%s", syntax->fetch_func,
                 driver->path, why);
        close(fd);
        return 2;
    }
    int result =
        configdrv_parse_named(syntax, map->base, map->fdlength, driver->path, setproc, setarg);
    map_free(map);
    close(fd);
    return result;
}

int configdrv_parse(const ConfigSyntax *syntax, const char *data, size_t length,
                    ConfigSetProc setproc, void *setarg)
{
    return configdrv_parse_named(syntax, data, length, nullptr, setproc, setarg);
}

int configdrv_parse_named(const ConfigSyntax *syntax, const char *data, size_t length,
                          const char *path, ConfigSetProc setproc, void *setarg)
{
    const unsigned char *base = reinterpret_cast<const unsigned char *>(data);
    Parser ps{syntax, base, length, base, path};
    int result = 0;
    for (;;) {
        KvEntry *entry = nullptr;
        int end = 0;
        const unsigned char *at = ps.pos;
        if (_readoption(ps, &entry, &end) != 0) {
            result = 1;
            if (t_diag == nullptr)
                break;
            _skip_bad_line(ps);
            continue;
        }
        if (end)
            break;
        if (entry == nullptr)
            continue;
        if (t_diag && t_diag->option)
            t_diag->option(t_diag->arg, path, _line_of(&ps, at), entry->key);
        if (entry->values && entry->values[0])
            (void)setproc(setarg, entry->key, entry->values);
        kvDeleteEntry(entry);
    }
    return result;
}

void configdrv_set_diag(const ConfigDiag *diag)
{
    t_diag = diag;
}

int configdrv_getkey(ConfigDriver *driver, const char *key, char **value)
{
    if (driver == nullptr)
        return 1;
    GetkeyState st{key, nullptr};
    int r = driver->fetch(driver, _getkey_setproc, &st);
    driver->free(driver);
    if (r != 0) {
        std::free(st.value);
        return 2;
    }
    *value = st.value;
    return 0;
}
