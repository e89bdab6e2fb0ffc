// Reporting through the program's log hook (plat/platlog.h).
#ifndef PLAT_PLATLOG_INTERNAL_H
#define PLAT_PLATLOG_INTERNAL_H

#include <cstdarg>

namespace plat {

void plat_log(int severity, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace plat

#endif
