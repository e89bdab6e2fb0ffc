/*
 * Where the platform library reports conditions that no caller sees as a
 * result (for example a listening socket pausing because the process ran
 * out of descriptors). The program installs its own logger; by default the
 * lines go to standard error.
 */
#ifndef PLAT_PLATLOG_H
#define PLAT_PLATLOG_H

#include "plat/export.h"

PLAT_BEGIN_DECLS

/* nSeverity uses the syslog scale: 3 error, 4 warning, 5 notice, 7 debug.
 * The message has no trailing newline. May run on any thread. */
typedef void (*PlatLogHook)(int nSeverity, const char *pszMessage);

/* Installs the hook (NULL restores the standard-error default). */
PLAT_EXPORT void Plat_SetLogHook(PlatLogHook fn);

PLAT_END_DECLS

#endif
