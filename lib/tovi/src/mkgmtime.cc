// UTC broken-down time to a time value by binary search over the time type:
// each trial is converted with mtgmtime and compared field by field, so the
// result agrees with the host's own UTC conversion, leap rules included.

#include <limits>

#include "tovi/stdapi.h"
#include "tovi/timeconv.h"

namespace {

int tmcomp(const struct tm *atmp, const struct tm *btmp) {
  int result;
  if ((result = atmp->tm_year - btmp->tm_year) == 0 && (result = atmp->tm_mon - btmp->tm_mon) == 0 &&
      (result = atmp->tm_mday - btmp->tm_mday) == 0 && (result = atmp->tm_hour - btmp->tm_hour) == 0 &&
      (result = atmp->tm_min - btmp->tm_min) == 0)
    result = atmp->tm_sec - btmp->tm_sec;
  return result;
}

}  // namespace

extern "C" time_t mkgmtime(struct tm *tmp) {
  struct tm yourtm = *tmp;
  int saved_seconds = yourtm.tm_sec;
  yourtm.tm_sec = 0;

  int bits = std::numeric_limits<time_t>::digits;
  time_t t = std::numeric_limits<time_t>::is_signed ? 0 : static_cast<time_t>(1) << bits;
  for (;;) {
    struct tm mytm;
    int dir;
    // A 64-bit time reaches years the host cannot express: such a trial
    // lies beyond every wanted date, in the direction of its sign.
    if (mtgmtime(&t, &mytm) == nullptr)
      dir = t > 0 ? 1 : -1;
    else
      dir = tmcomp(&mytm, &yourtm);
    if (dir == 0) {
      // The seconds may carry a time near the end of the type past it
      // (2038-01-19 03:14:08 with 32 bits): no time has these fields then.
      if (saved_seconds > 0 && t > std::numeric_limits<time_t>::max() - saved_seconds)
        return -1;
      if (saved_seconds < 0 && t < std::numeric_limits<time_t>::min() - saved_seconds)
        return -1;
      return t + saved_seconds;
    }
    if (bits < 0)
      return -1;
    --bits;
    if (bits < 0)
      --t;
    else if (dir > 0)
      t -= static_cast<time_t>(1) << bits;
    else
      t += static_cast<time_t>(1) << bits;
  }
}
