// Zone offset of a local time, from the difference between it and the UTC
// form of the same instant (the host's tm has no offset field everywhere).

#include <time.h>

#include "tovi/stdapi.h"
#include "tovi/timeconv.h"

extern "C" long gmtoff_of(struct tm *tm, time_t intime) {
  struct tm local = *tm;
  struct tm gmt {};
  if (mtgmtime(&intime, &gmt) == nullptr)
    return 0;
  long offset = local.tm_yday - gmt.tm_yday;
  // Day-of-year wraps at the turn of the year: 0 against 364/365 is one day.
  if (offset > 1)
    offset = -24;
  else if (offset < -1)
    offset = 24;
  else
    offset *= 24;
  offset += local.tm_hour - gmt.tm_hour;
  offset *= 60;
  offset += local.tm_min - gmt.tm_min;
  *tm = local;
  return offset * 60;
}
