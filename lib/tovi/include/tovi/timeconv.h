/* Time conversion beyond the system's: UTC broken-down time back to a time
 * value, and the zone offset of a local broken-down time.
 * Thread safety: both may be called from any thread (they convert through
 * the caller's buffers). */
#ifndef TOVI_TIMECONV_H
#define TOVI_TIMECONV_H

#include <time.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* Seconds east of UTC of the local time *tm that corresponds to intime;
 * *tm is left as it was. */
TOVI_EXPORT long gmtoff_of(struct tm *tm, time_t intime);

/* The time whose UTC form has the year, month, day, hour and minute of *tmp,
 * plus its seconds; -1 when no time has those fields (a field out of its
 * normal range). Weekday, day of year and daylight flag are ignored. */
TOVI_EXPORT time_t mkgmtime(struct tm *tmp);

TOVI_END_DECLS

#endif
