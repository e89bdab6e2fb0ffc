/*
 * Service layer: one portable entry for a server program.  service_start()
 * ignores SIGPIPE, turns SIGTERM/SIGINT into TOVI_SERVICE_STOP and SIGHUP
 * into TOVI_SERVICE_REFRESH for the control function, detaches from the
 * terminal unless "console" or "-0" is given, and runs the program's main.
 *
 * The control function runs inside a signal handler, in whatever thread
 * receives the signal: it may only set flags and make async-signal-safe calls.
 */
#ifndef TOVI_SERVICE_H
#define TOVI_SERVICE_H

#include "tovi/export.h"

TOVI_BEGIN_DECLS

typedef enum tovi_service_cmd_enum {
  TOVI_SERVICE_START = 0,
  TOVI_SERVICE_STOP = 1,
  TOVI_SERVICE_PAUSE = 2,
  TOVI_SERVICE_RESUME = 3,
  TOVI_SERVICE_REFRESH = 4
} tovi_service_cmd;

typedef int (*tovi_service_start)(int argc, char **argv);
typedef void (*tovi_service_ctrl)(tovi_service_cmd cmd);

/* Runs start(argc, argv) as a service and returns its result, or 0 when a
 * service-manager command word ("stop", "install", ...) was given.  ctrl may
 * be none (no signal handlers then).  display, name and can_pause are unused
 * on this platform. */
TOVI_EXPORT int service_start(const char *display, char *name, int argc, char **argv, tovi_service_start start,
                              tovi_service_ctrl ctrl, int can_pause);
/* No service manager here: these return 0 and do nothing. */
TOVI_EXPORT int service_control(tovi_service_cmd cmd);
TOVI_EXPORT int service_running(void);
TOVI_EXPORT int service_starting(void);
TOVI_EXPORT int service_stopping(void);
/* Always "services not supported". */
TOVI_EXPORT const char *service_errstr(int err);
/* exit(code). */
TOVI_EXPORT void service_exit(int code);
/* 1 when none of descriptors 0, 1, 2 is a terminal, else 0. */
TOVI_EXPORT int service_isdetached(void);
/* atexit(func); aborts the process when that fails. */
TOVI_EXPORT void qxmsg_atexit(void (*func)(void));
/* Handler of SIGTERM, SIGINT and SIGHUP installed by service_start(). */
TOVI_EXPORT void sig_handler(int sig);

TOVI_END_DECLS

#endif
