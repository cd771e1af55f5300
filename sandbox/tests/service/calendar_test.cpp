// The service's date arithmetic (std::chrono's calendar) against a day-by-day count over the
// whole datetime range, 1753 to 9999, with its own leap-year rule.
#include <gtest/gtest.h>

#include <string>

#include "service/text.h"

namespace sandbox {
namespace {

bool leap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

TEST(Calendar, EveryDayFrom1753To9999FollowsTheDayBefore) {
  static const int kLength[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  CivilTime c{1753, 1, 1, 12, 30, 15, 250};
  std::int64_t expected = make_datetime(c).ms;
  int mismatches = 0;
  while (c.year <= 9999) {
    const DateTime t = make_datetime(c);
    const CivilTime back = to_civil(t);
    const bool same = t.ms == expected && back.year == c.year && back.month == c.month &&
                      back.day == c.day && back.hour == 12 && back.millisecond == 250;
    if (!same && ++mismatches <= 5) {
      ADD_FAILURE() << c.year << "-" << c.month << "-" << c.day << " gave " << t.ms << ", expected "
                    << expected << "; back " << back.year << "-" << back.month << "-" << back.day;
    }
    expected += 86400000;
    const int length = c.month == 2 && leap(c.year) ? 29 : kLength[c.month - 1];
    if (++c.day > length) {
      c.day = 1;
      if (++c.month > 12) {
        c.month = 1;
        ++c.year;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
  EXPECT_EQ(days_from_civil(2000, 3, 1), 11017);
  EXPECT_EQ(format_datetime(make_datetime(CivilTime{1969, 12, 31, 23, 59, 59, 999})),
            "1969-12-31 23:59:59");
}

TEST(Calendar, TheLastDayOfFebruaryFollowsTheLeapYearRule) {
  EXPECT_TRUE(parse_datetime(u"2000-02-29 00:00:00").has_value());
  EXPECT_TRUE(parse_datetime(u"2024-02-29 00:00:00").has_value());
  EXPECT_FALSE(parse_datetime(u"1900-02-29 00:00:00").has_value());
  EXPECT_FALSE(parse_datetime(u"2023-02-29 00:00:00").has_value());
  EXPECT_FALSE(parse_datetime(u"2024-04-31 00:00:00").has_value());
  EXPECT_TRUE(parse_datetime(u"9999-12-31 23:59:59").has_value());
  EXPECT_FALSE(parse_datetime(u"1752-12-31 23:59:59").has_value());
}

}  // namespace
}  // namespace sandbox
