/* Log writer: one log file (or syslog) per handle, one line per message.
 *
 * A NULL handle everywhere means the process-wide default log.
 * Thread safety: qxlog/qxlogv may be called from any thread on the same
 * handle; each line is delivered with one write after a seek to the end, so
 * lines never mix.  qxlog_config and qxlog_reopen may run while other
 * threads log (a reload); qxlog_close and qxlog_setoptions are for start-up
 * and shut-down only. */
#ifndef MUX_QXLOGGER_H
#define MUX_QXLOGGER_H

#include <stdarg.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Severity codes: the low three bits of the flags of qxlog. */
enum {
    QXLOG_EMERGENCY = 0,
    QXLOG_ALERT = 1,
    QXLOG_CRITICAL = 2,
    QXLOG_ERROR = 3,
    QXLOG_WARNING = 4,
    QXLOG_NOTICE = 5,
    QXLOG_INFORMATION = 6,
    QXLOG_DEBUG = 7
};

/* Facility code: bits 3-5 of the flags ((code & 7) << 3). */
#define QXLOG_FACILITY(code) (((unsigned)(code)&7u) << 3)
/* Set by the writer itself for handles created with effective uid 0. */
#define QXLOG_PRIVILEGED 0x100u
/* No time stamp, prefix, added newline or creation header. */
#define QXLOG_RAW 0x200u

/* qxlog_setoptions: lines that cannot reach their file are not copied to
 * standard error. */
#define QXLOG_OPT_NOSTDERR 1u

typedef struct LogHandle LogHandle;

/* One option of a log configuration: a word such as "logdir" or "loglevel"
 * and its value.  A list ends with a pair whose `option` is NULL.  Lists made
 * by config_getlogconfig own their strings (qxlog_freelogconfig); lists built
 * on the stack may borrow them.  The writer copies what it keeps. */
typedef struct LogConfigPair {
    char *option;
    char *value;
} LogConfigPair;
typedef LogConfigPair *LogConfig;

/* A new, unconfigured handle; NULL when memory runs out. */
LogHandle *qxlog_open(void);
/* Applies the option pairs (logdir, servicename and processname keep their
 * first value) and sets up the output. */
void qxlog_config(LogHandle *log, LogConfig options);
/* Process-wide option bits (QXLOG_OPT_NOSTDERR). */
void qxlog_setoptions(unsigned options);
/* Formats (NSPR syntax plus "%m" for the error text of errno) and writes one
 * message.  A NULL format asks for a rollover of the file. */
void qxlog(LogHandle *log, unsigned flags, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void qxlogv(LogHandle *log, unsigned flags, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
/* "HH:MM:SS +hhmm" of `when` in local time into buf (at least 40 bytes). */
char *qxlog_gettimestamp(const time_t *when, char *buf);
void qxlog_flush(LogHandle *log);
/* Rolls the current file over now. */
void qxlog_rollover(LogHandle *log);
/* Lets the current file go: the next line opens the file at the handle's
 * path again (a new one, with its creation header, when the old one was
 * moved away).  Safe while other threads log. */
void qxlog_reopen(LogHandle *log);
/* Ends a handle; the default log is reset to unconfigured and stays usable. */
void qxlog_close(LogHandle *log);
/* Frees an owned LogConfig list with its strings; NULL ignored. */
void qxlog_freelogconfig(LogConfig options);

#ifdef __cplusplus
}
#endif

#endif
