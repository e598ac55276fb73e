// The one conversion between automation dates and the calendar, pinned at
// the edges: the first and last day of the range and what lies just
// outside, the day count running back before 30 December 1899, and the
// rounding of the time of day.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "quillon/component/date.h"
#include "quillon/component/variant.h"

namespace quillon::com {
namespace {

// "YYYY-MM-DD HH:MM:SS.ffffff", or "out of range".
std::string Text(std::optional<DateTime> time) {
  if (!time) return "out of range";
  const auto day = std::chrono::floor<std::chrono::days>(*time);
  const std::chrono::year_month_day ymd{day};
  const std::chrono::hh_mm_ss clock{*time - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%06d",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
  return text;
}

std::string Number(double date) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10f", date);
  return text;
}

std::string PartsText(const DateParts& p) {
  char text[64];
  std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d", p.year, p.month, p.day, p.hour, p.minute,
                p.second);
  return text;
}

DateTime At(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0, int micros = 0) {
  using namespace std::chrono;
  return sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss} +
         microseconds{micros};
}

TEST(Dates, DayCountsBecomeClockTimes) {
  struct Case {
    DATE date;
    const char* text;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0.0, "1899-12-30 00:00:00.000000"},
      {1.5, "1899-12-31 12:00:00.000000"},
      {-1.25, "1899-12-29 06:00:00.000000"},           // back a day, forward 6 hours
      {-1.75, "1899-12-29 18:00:00.000000"},
      {-0.5, "1899-12-30 12:00:00.000000"},            // day 0 either way
      {-1.9999999999, "1899-12-29 23:59:59.999991"},   // counts forward from 29 Dec
      {45351.5, "2024-02-29 12:00:00.000000"},
      {-657434.0, "0100-01-01 00:00:00.000000"},       // the first day
      {-657434.5, "0100-01-01 12:00:00.000000"},
      {-657434.99999, "0100-01-01 23:59:59.136000"},
      {-657435.0, "out of range"},                     // 31 December 99
      {-657436.5, "out of range"},
      {2958465.0, "9999-12-31 00:00:00.000000"},       // the last day
      {2958465.5, "9999-12-31 12:00:00.000000"},
      {2958465.99999999, "9999-12-31 23:59:59.999200"},  // to 100 µs this far out
      {2958465.9999999999, "out of range"},            // rounds into the year 10000
      {2958466.0, "out of range"},
      {nan, "out of range"},
      {inf, "out of range"},
      {-inf, "out of range"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(DateToTime(c.date)), c.text) << Number(c.date);
  }
}

TEST(Dates, ClockTimesBecomeDayCounts) {
  struct Case {
    DateTime time;
    std::optional<DATE> date;
  };
  const Case cases[] = {
      {At(1899, 12, 30), 0.0},
      {At(1899, 12, 29, 6), -1.25},
      {At(1899, 12, 28, 18), -2.75},
      {At(1899, 12, 30, 6), 0.25},
      {At(100, 1, 1), -657434.0},
      {At(100, 1, 1, 12), -657434.5},
      {At(9999, 12, 31, 12), 2958465.5},
      {At(99, 12, 31, 23, 59, 59), std::nullopt},
      {At(10000, 1, 1), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.time));
    EXPECT_EQ(TimeToDate(c.time), c.date);
  }
}

// Whole microseconds near 1899; the finest decimal unit a double holds far
// out (100 µs in the years 100 and 9999).
TEST(Dates, TimesSurviveTheRoundTripToTheUnitADoubleHolds) {
  const DateTime times[] = {
      At(100, 1, 1, 0, 0, 0, 100),    At(100, 1, 1, 23, 59, 59, 999900),
      At(1899, 12, 29, 23, 59, 59, 999999), At(1899, 12, 30, 0, 0, 0, 1),
      At(2024, 2, 29, 13, 45, 10, 123456), At(9999, 12, 31, 23, 59, 59, 999000),
  };
  for (DateTime t : times) {
    SCOPED_TRACE(Text(t));
    const std::optional<DATE> date = TimeToDate(t);
    ASSERT_TRUE(date);
    EXPECT_EQ(Text(DateToTime(*date)), Text(t));
  }
}

// The runtime's date parts (coercions to and from text) use the same
// conversion and agree with it at the edges.
TEST(Dates, PartsFollowTheSameConversion) {
  struct Case {
    DATE date;
    bool in_range;
    DateParts parts;
    DATE back;  // the parts' own date
  };
  const Case cases[] = {
      {-657434.5, true, {100, 1, 1, 12, 0, 0}, -657434.5},
      {-657435.0, false, {}, 0},
      // 29 December 23:59:59.99999 is 30 December to the second.
      {-1.9999999999, true, {1899, 12, 30, 0, 0, 0}, 0.0},
      {2958465.5, true, {9999, 12, 31, 12, 0, 0}, 2958465.5},
      {2958465.99999999, false, {}, 0},  // 23:59:59.9992 is the year 10000 to the second
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Number(c.date));
    DateParts p{};
    ASSERT_EQ(DateToParts(c.date, &p), c.in_range);
    if (!c.in_range) continue;
    EXPECT_EQ(PartsText(p), PartsText(c.parts));
    DATE back = 0;
    ASSERT_TRUE(PartsToDate(p, &back));
    EXPECT_EQ(back, c.back);
  }
  DATE unchanged = 7;
  EXPECT_FALSE(PartsToDate(DateParts{99, 12, 31, 0, 0, 0}, &unchanged));
  EXPECT_FALSE(PartsToDate(DateParts{2024, 4, 31, 0, 0, 0}, &unchanged));
  EXPECT_EQ(unchanged, 7);
}

// A day without a time takes a shorter way to its parts; it must land on
// the same day as any other time, up to both ends of the range.
TEST(Dates, WholeDaysHaveTheSamePartsAsAnyTime) {
  std::vector<DATE> days = {-657435.0, -657434.0, -657433.0, -2.0,     -1.0,
                            -0.0,      0.0,       1.0,       60.0,     61.0,
                            45351.0,   2958464.0, 2958465.0, 2958466.0};
  for (DATE d = -657436.0; d < 2958467.0; d += 997.0) days.push_back(d);
  for (const DATE d : days) {
    SCOPED_TRACE(Number(d));
    const std::optional<DateTime> time = DateToTime(d);
    DateParts p{};
    ASSERT_EQ(DateToParts(d, &p), time.has_value());
    if (!time) continue;
    const auto day = std::chrono::floor<std::chrono::days>(*time);
    ASSERT_EQ(*time, day);
    const std::chrono::year_month_day ymd{day};
    EXPECT_EQ(PartsText(p), PartsText(DateParts{static_cast<int>(ymd.year()),
                                                static_cast<int>(unsigned{ymd.month()}),
                                                static_cast<int>(unsigned{ymd.day()}), 0, 0, 0}));
    DATE back = 7;
    ASSERT_TRUE(PartsToDate(p, &back));
    EXPECT_EQ(back, d);
  }
}

}  // namespace
}  // namespace quillon::com
