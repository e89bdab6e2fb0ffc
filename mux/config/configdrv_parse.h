/* The option-file parser shared by the props and file configuration drivers.
 * The two drivers differ only in what ends a line and how a value list
 * continues on the next line; a ConfigSyntax names those differences.
 *
 * Thread safety: the parse state lives in the caller's stack, so any number
 * of files may be parsed at once. */
#ifndef MUX_CONFIGDRV_PARSE_H
#define MUX_CONFIGDRV_PARSE_H

#include <stddef.h>

#include "config/config.h"

struct ConfigSyntax {
    /* props: a lone CR ends a line; file: only LF or CR LF do. */
    bool lone_cr_ends_line;
    /* props: a backslash before the line end continues a value list;
     * file: a line end followed by a blank does. */
    bool backslash_continuation;
    /* Function names shown in messages (func=...). */
    const char *init_func;
    const char *fetch_func;
    const char *read_func;
};

/* The two drivers' syntaxes (configdrv_props.cc, configdrv_file.cc). */
extern const ConfigSyntax configdrv_props_syntax;
extern const ConfigSyntax configdrv_file_syntax;

/* Builds a driver record for `path` with the syntax's operations; NULL with a
 * logged message when the path is missing, empty, absent or a directory. */
ConfigDriver *configdrv_init(const ConfigSyntax *syntax, const char *path,
                             int (*fetch)(ConfigDriver *, ConfigSetProc, void *));
/* Releases a driver record built by configdrv_init; NULL ignored. */
void configdrv_free(ConfigDriver *driver);
/* Maps and parses the driver's file: 0, 1 = cannot open or syntax error,
 * 2 = cannot map. */
int configdrv_fetch(const ConfigSyntax *syntax, ConfigDriver *driver, ConfigSetProc setproc,
                    void *setarg);
/* Parses `length` bytes of option text, calling setproc once per option
 * with values, in order: 0 at the end of the data, 1 after a logged syntax
 * error (the options before it have been handed over). */
int configdrv_parse(const ConfigSyntax *syntax, const char *data, size_t length,
                    ConfigSetProc setproc, void *setarg);
/* The same for text read from `path` (null: none), which the problems and
 * options handed to a ConfigDiag name; with a ConfigDiag set, a bad line is
 * reported and skipped and the rest still read. */
int configdrv_parse_named(const ConfigSyntax *syntax, const char *data, size_t length,
                          const char *path, ConfigSetProc setproc, void *setarg);
/* Stand-alone lookup of the last occurrence of `key` (see config.h). */
int configdrv_getkey(ConfigDriver *driver, const char *key, char **value);

/* Where the problems and options of the files read by one thread are, for
 * the configuration check and a reload.  While a ConfigDiag is set, every
 * message of the drivers (open, map, syntax) is also handed to `problem`
 * with its file and 1-based line (0 when it has none), and a syntax error
 * no longer ends the reading: the parse goes on at the next line, so that
 * every bad line is reported (the fetch still fails).  `problem` returning
 * non-zero keeps the message out of the log.  `option`, when given, hears
 * of every option read with the line it starts on. */
struct ConfigDiag {
    int (*problem)(void *arg, const char *path, int line, const char *message);
    void (*option)(void *arg, const char *path, int line, const char *name);
    void *arg;
};
/* Sets (NULL: ends) the calling thread's ConfigDiag; the record must live
 * until it is ended. */
void configdrv_set_diag(const ConfigDiag *diag);

#endif
