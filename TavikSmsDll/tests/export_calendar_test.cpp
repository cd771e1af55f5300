// The export's date-times ("YYYYMMDDHHMMSS", rounded to the second) across the calendar's edges:
// leap years, month and year ends, a day past the month's end, dates before 1970.
#include <gtest/gtest.h>

#include <string>

#include "db/value.h"
#include "results/export.h"

namespace taviksms {
namespace {

std::u16string when(std::u16string_view text) {
  std::u16string out;
  results::append_datetime(out, db::Value::datetime(std::u16string(text)));
  return out;
}

TEST(ExportCalendar, RoundingCarriesAcrossDaysMonthsAndYears) {
  EXPECT_EQ(when(u"1900-02-28 23:59:59.500"), u"19000301000000");  // 1900 is not a leap year
  EXPECT_EQ(when(u"2000-02-28 23:59:59.500"), u"20000229000000");  // 2000 is
  EXPECT_EQ(when(u"2100-02-28 23:59:59.900"), u"21000301000000");
  EXPECT_EQ(when(u"2023-04-30 23:59:59.5"), u"20230501000000");
  EXPECT_EQ(when(u"1999-12-31 23:59:59.5"), u"20000101000000");
  EXPECT_EQ(when(u"1969-12-31 23:59:59.5"), u"19700101000000");
  EXPECT_EQ(when(u"1753-01-01 00:00:00.4"), u"17530101000000");
  EXPECT_EQ(when(u"2024/07/15 08:09:10.49"), u"20240715080910");
}

TEST(ExportCalendar, ADayPastTheMonthsEndCountsOnIntoTheNextMonth) {
  EXPECT_EQ(when(u"2023-02-29 12:00:00"), u"20230301120000");
  EXPECT_EQ(when(u"2023-02-31 12:00:00"), u"20230303120000");
  EXPECT_EQ(when(u"2024-04-31 00:00:00"), u"20240501000000");
  EXPECT_EQ(when(u"2024-12-31 23:59:59"), u"20241231235959");
}

}  // namespace
}  // namespace taviksms
