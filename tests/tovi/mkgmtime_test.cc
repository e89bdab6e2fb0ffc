// UTC broken-down time back to a time value, and zone offsets east and west
// of UTC, across the turn of the year.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "tovi/stdapi.h"
#include "tovi/timeconv.h"

namespace {

struct tm make_tm(int year, int mon, int mday, int hour, int min, int sec) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

TEST(Mkgmtime, KnownInstantsAndFieldsOutOfRange) {
  const struct {
    struct tm t;
    long long want;
    // clang-format off
  } rows[] = {
      {make_tm(1970, 1, 1, 0, 0, 0), 0},
      {make_tm(1999, 12, 31, 23, 59, 59), 946684799},
      {make_tm(2000, 2, 29, 12, 0, 0), 951825600},  // leap day of a century leap year
      {make_tm(1969, 12, 31, 23, 59, 0), -60},
      {make_tm(2038, 1, 19, 3, 14, 7), 2147483647LL},  // the last second of a signed 32-bit time
      {make_tm(2038, 1, 19, 3, 14, 8), sizeof(time_t) > 4 ? 2147483648LL : -1},  // none past it there
      {make_tm(2001, 1, 32, 0, 0, 0), -1},             // no such day...
      {make_tm(2001, 1, 1, 0, 60, 0), -1},             // ...minute
      {make_tm(2001, 2, 29, 0, 0, 0), -1},             // ...leap day
  };
  // clang-format on
  for (auto r : rows) EXPECT_EQ(r.want, static_cast<long long>(mkgmtime(&r.t))) << r.want;
  for (long long n : {1LL, 86399LL, 1000000000LL, 1234567890LL, -1000000000LL, 2147483647LL, 4102444800LL}) {
    time_t v = static_cast<time_t>(n);
    if (v != n) continue;  // beyond a 32-bit time
    struct tm t;
    ASSERT_NE(nullptr, mtgmtime(&v, &t));
    EXPECT_EQ(v, mkgmtime(&t)) << v;
  }
}

// The offset of local time in zone at when; gmtoff_of leaves its tm as it
// found it.
long offset_in(const char *zone, time_t when) {
  setenv("TZ", zone, 1);
  tzset();
  struct tm local;
  EXPECT_NE(nullptr, mtlocaltime(&when, &local));
  struct tm before = local;
  long off = gmtoff_of(&local, when);
  EXPECT_EQ(0, memcmp(&before, &local, sizeof local));
  return off;
}

TEST(ZoneOffset, EastAndWestAcrossNewYearHalfHoursAndDaylightSaving) {
  // 31 December 1999 23:30 UTC is 1 January 2000 00:30 one hour east.
  struct tm local = make_tm(2000, 1, 1, 0, 30, 0);
  local.tm_yday = 0;
  EXPECT_EQ(3600, gmtoff_of(&local, 946683000));
  const struct {
    const char *zone;
    time_t when;
    long want;
  } rows[] = {
      {"CET-1", 946683000, 3600},
      {"EST5", 946692000, -5 * 3600},  // 1 January 02:00 UTC is still 31 December
      {"IST-5:30", 1000000000, 5 * 3600 + 1800},
      {"NST3:30", 1000000000, -(3 * 3600 + 1800)},
      {"UTC0", 1000000000, 0},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1704067200, 3600},  // January
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1719792000, 7200},  // July
  };
  const char *tz = getenv("TZ");
  const std::string saved = tz ? tz : "";
  const bool had = tz != nullptr;
  for (auto &r : rows) EXPECT_EQ(r.want, offset_in(r.zone, r.when)) << r.zone;
  had ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
