// Text and time helpers of the service: UTF-16/UTF-8, SQL Server's case-insensitive comparison,
// naive date-times, money.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <taviksms_common/ascii.h>
#include "backend.h"

namespace sandbox {

// UTF-8 for logs and JSON; a lone surrogate becomes U+FFFD.
std::string to_utf8(std::u16string_view s);
// Invalid UTF-8 becomes U+FFFD.
std::u16string from_utf8(std::string_view s);
// The exact code units as little-endian hex ("640065006d006f00").
std::string utf16le_hex(std::u16string_view s);

// Comparison under a case-insensitive collation (ASCII letters fold; everything else exact).
inline bool iequals(std::u16string_view a, std::u16string_view b) {
  return taviksms::ascii::iequals(a, b);
}
// The key that makes two user ids equal when SQL Server would: ASCII case folded, trailing
// blanks dropped (string comparison pads with blanks).
std::u16string comparison_key(std::u16string_view s);
std::u16string_view trim_blanks(std::u16string_view s);

// Finds one text in others in time linear in their length (Knuth-Morris-Pratt), however the
// pattern repeats itself: a long pattern over long texts costs no more than reading them. With
// `fold`, ASCII letters match in either case.
class TextSearch {
 public:
  TextSearch(std::u16string_view pattern, bool fold);
  bool found_in(std::u16string_view text) const;

 private:
  char16_t unit(char16_t c) const { return fold_ ? taviksms::ascii::lower(c) : c; }
  std::u16string pattern_;
  std::vector<std::size_t> border_;  // border_[i]: longest proper border of pattern_[0..i]
  bool fold_;
};

// Civil date-time <-> milliseconds since 1970-01-01 (no time zone).
struct CivilTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};
std::int64_t days_from_civil(int y, int m, int d);
DateTime make_datetime(const CivilTime& c);
CivilTime to_civil(DateTime t);
// "YYYY-MM-DD HH:MM:SS".
std::string format_datetime(DateTime t);
// "YYYY-MM-DD HH:MM[:SS[.fff]]", also with "/" between the date parts. Nothing else.
std::optional<DateTime> parse_datetime(std::u16string_view s);
std::optional<DateTime> parse_datetime(std::string_view s);

// Money is held in ten-thousandths; "20.0000" style text with `decimals` digits after the point.
std::string format_money(std::int64_t ten_thousandths, int decimals = 4);
// "123", "-4.5", "100000.00"; at most four decimals.
std::optional<std::int64_t> parse_money(std::string_view s);

}  // namespace sandbox
