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

TEST(Mkgmtime, KnownInstants) {
  struct tm t = make_tm(1970, 1, 1, 0, 0, 0);
  EXPECT_EQ(0, mkgmtime(&t));
  t = make_tm(1999, 12, 31, 23, 59, 59);
  EXPECT_EQ(946684799, mkgmtime(&t));
  t = make_tm(2000, 2, 29, 12, 0, 0);  // leap day of a century leap year
  EXPECT_EQ(951825600, mkgmtime(&t));
  t = make_tm(1969, 12, 31, 23, 59, 0);
  EXPECT_EQ(-60, mkgmtime(&t));
  t = make_tm(2038, 1, 19, 3, 14, 8);  // past the signed 32-bit end
  EXPECT_EQ(2147483648LL, static_cast<long long>(mkgmtime(&t)));
}

TEST(Mkgmtime, RoundTripsThroughUtcConversion) {
  for (time_t v : {time_t{1}, time_t{86399}, time_t{1000000000}, time_t{1234567890}, time_t{4102444800}}) {
    struct tm t;
    ASSERT_NE(nullptr, mtgmtime(&v, &t));
    EXPECT_EQ(v, mkgmtime(&t)) << v;
  }
}

TEST(Mkgmtime, OutOfRangeFieldsHaveNoTime) {
  struct tm t = make_tm(2001, 1, 32, 0, 0, 0);
  EXPECT_EQ(-1, mkgmtime(&t));
  t = make_tm(2001, 1, 1, 0, 60, 0);
  EXPECT_EQ(-1, mkgmtime(&t));
  t = make_tm(2001, 2, 29, 0, 0, 0);
  EXPECT_EQ(-1, mkgmtime(&t));
}

class ZoneOffset : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *tz = getenv("TZ");
    had_ = tz != nullptr;
    if (had_)
      saved_ = tz;
  }
  void TearDown() override {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
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
  bool had_ = false;
  std::string saved_;
};

TEST_F(ZoneOffset, OneHourEastAcrossNewYear) {
  // 31 December 1999 23:30 UTC is 1 January 2000 00:30 one hour east.
  struct tm local = make_tm(2000, 1, 1, 0, 30, 0);
  local.tm_yday = 0;
  EXPECT_EQ(3600, gmtoff_of(&local, 946683000));
  EXPECT_EQ(3600, offset_in("CET-1", 946683000));
}

TEST_F(ZoneOffset, FiveHoursWestAcrossNewYear) {
  // 1 January 2000 02:00 UTC is still 31 December at 21:00 five hours west.
  EXPECT_EQ(-5 * 3600, offset_in("EST5", 946692000));
}

TEST_F(ZoneOffset, HalfHourZonesAndUtc) {
  EXPECT_EQ(5 * 3600 + 1800, offset_in("IST-5:30", 1000000000));
  EXPECT_EQ(-(3 * 3600 + 1800), offset_in("NST3:30", 1000000000));
  EXPECT_EQ(0, offset_in("UTC0", 1000000000));
}

TEST_F(ZoneOffset, DaylightSavingChangesTheOffset) {
  // Central Europe: +1 in January, +2 in July.
  EXPECT_EQ(3600, offset_in("CET-1CEST,M3.5.0,M10.5.0/3", 1704067200));
  EXPECT_EQ(7200, offset_in("CET-1CEST,M3.5.0,M10.5.0/3", 1719792000));
}

}  // namespace
