#include "service/text.h"

#include <chrono>
#include <cstdio>

#include <taviksms_common/utf8.h>

namespace sandbox {

std::string to_utf8(std::u16string_view s) {
  return taviksms::utf::utf16_to_utf8(s);
}

std::u16string from_utf8(std::string_view s) {
  return taviksms::utf::utf8_to_utf16(s);
}

std::string utf16le_hex(std::u16string_view s) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() * 4);
  for (char16_t c : s) {
    const unsigned lo = c & 0xFF;
    const unsigned hi = (c >> 8) & 0xFF;
    out.push_back(digits[lo >> 4]);
    out.push_back(digits[lo & 15]);
    out.push_back(digits[hi >> 4]);
    out.push_back(digits[hi & 15]);
  }
  return out;
}

std::u16string comparison_key(std::u16string_view s) {
  while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
  return taviksms::ascii::lowered(s);
}

std::u16string_view trim_blanks(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

TextSearch::TextSearch(std::u16string_view pattern, bool fold)
    : pattern_(fold ? taviksms::ascii::lowered(pattern) : std::u16string(pattern)),
      border_(pattern_.size(), 0),
      fold_(fold) {
  for (std::size_t i = 1, k = 0; i < pattern_.size(); ++i) {
    while (k > 0 && pattern_[i] != pattern_[k]) k = border_[k - 1];
    if (pattern_[i] == pattern_[k]) ++k;
    border_[i] = k;
  }
}

bool TextSearch::found_in(std::u16string_view text) const {
  if (pattern_.empty()) return true;
  for (std::size_t i = 0, k = 0; i < text.size(); ++i) {
    const char16_t c = unit(text[i]);
    while (k > 0 && c != pattern_[k]) k = border_[k - 1];
    if (c == pattern_[k] && ++k == pattern_.size()) return true;
  }
  return false;
}

// The calendar is <chrono>'s (proleptic Gregorian, days since 1970-01-01).
std::int64_t days_from_civil(int y, int m, int d) {
  namespace chr = std::chrono;
  const chr::sys_days date{chr::year{y} / chr::month{static_cast<unsigned>(m)} /
                           chr::day{static_cast<unsigned>(d)}};
  return date.time_since_epoch().count();
}

DateTime make_datetime(const CivilTime& c) {
  const std::int64_t days = days_from_civil(c.year, c.month, c.day);
  return DateTime{((days * 24 + c.hour) * 60 + c.minute) * 60000 + c.second * 1000 + c.millisecond};
}

CivilTime to_civil(DateTime t) {
  std::int64_t ms = t.ms;
  std::int64_t days = ms >= 0 ? ms / 86400000 : (ms - 86399999) / 86400000;
  std::int64_t rest = ms - days * 86400000;
  CivilTime c;
  c.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  c.second = static_cast<int>(rest % 60);
  rest /= 60;
  c.minute = static_cast<int>(rest % 60);
  c.hour = static_cast<int>(rest / 60);
  const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{days}}};
  c.year = static_cast<int>(ymd.year());
  c.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  c.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  return c;
}

std::string format_datetime(DateTime t) {
  const CivilTime c = to_civil(t);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour,
                c.minute, c.second);
  return buf;
}

namespace {

int days_in_month(int y, int m) {
  namespace chr = std::chrono;
  const chr::year_month_day_last last{chr::year{y} / chr::month{static_cast<unsigned>(m)} /
                                      chr::last};
  return static_cast<int>(static_cast<unsigned>(last.day()));
}

template <typename Char>
std::optional<DateTime> parse_datetime_impl(std::basic_string_view<Char> s) {
  std::size_t pos = 0;
  auto digits = [&](std::size_t n, int& out) {
    if (pos + n > s.size()) return false;
    int v = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const Char c = s[pos + k];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    out = v;
    pos += n;
    return true;
  };
  auto literal = [&](char c) {
    if (pos >= s.size() || s[pos] != static_cast<Char>(c)) return false;
    ++pos;
    return true;
  };
  CivilTime c;
  if (!digits(4, c.year)) return std::nullopt;
  if (pos >= s.size() || (s[pos] != '-' && s[pos] != '/')) return std::nullopt;
  const char sep = static_cast<char>(s[pos++]);
  if (!digits(2, c.month) || !literal(sep) || !digits(2, c.day)) return std::nullopt;
  if (!literal(' ') || !digits(2, c.hour) || !literal(':') || !digits(2, c.minute)) {
    return std::nullopt;
  }
  if (pos < s.size()) {
    if (!literal(':') || !digits(2, c.second)) return std::nullopt;
    if (pos < s.size()) {
      if (!literal('.')) return std::nullopt;
      std::size_t n = 0;
      int ms = 0;
      while (pos < s.size() && n < 3 && s[pos] >= '0' && s[pos] <= '9') {
        ms = ms * 10 + (s[pos++] - '0');
        ++n;
      }
      if (n == 0 || pos != s.size()) return std::nullopt;
      while (n++ < 3) ms *= 10;
      c.millisecond = ms;
    }
  }
  if (c.year < 1753 || c.month < 1 || c.month > 12 || c.day < 1 ||
      c.day > days_in_month(c.year, c.month) || c.hour > 23 || c.minute > 59 || c.second > 59) {
    return std::nullopt;
  }
  return make_datetime(c);
}

}  // namespace

std::optional<DateTime> parse_datetime(std::u16string_view s) {
  return parse_datetime_impl(s);
}
std::optional<DateTime> parse_datetime(std::string_view s) {
  return parse_datetime_impl(s);
}

std::string format_money(std::int64_t v, int decimals) {
  const bool negative = v < 0;
  const std::uint64_t a =
      negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::string out = std::to_string(a / 10000);
  if (decimals > 0) {
    char frac[8];
    std::snprintf(frac, sizeof frac, "%04u", static_cast<unsigned>(a % 10000));
    out += '.';
    out.append(frac, static_cast<std::size_t>(decimals > 4 ? 4 : decimals));
  }
  return negative ? "-" + out : out;
}

std::optional<std::int64_t> parse_money(std::string_view s) {
  if (s.empty()) return std::nullopt;
  bool negative = false;
  std::size_t pos = 0;
  if (s[0] == '-' || s[0] == '+') {
    negative = s[0] == '-';
    pos = 1;
  }
  std::int64_t whole = 0;
  std::size_t whole_digits = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    if (whole > 922337203685476LL / 10) return std::nullopt;
    whole = whole * 10 + (s[pos++] - '0');
    ++whole_digits;
  }
  std::int64_t frac = 0;
  std::size_t frac_digits = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (frac_digits == 4) return std::nullopt;
      frac = frac * 10 + (s[pos++] - '0');
      ++frac_digits;
    }
  }
  if (pos != s.size() || (whole_digits == 0 && frac_digits == 0)) return std::nullopt;
  for (std::size_t k = frac_digits; k < 4; ++k) frac *= 10;
  const std::int64_t v = whole * 10000 + frac;
  return negative ? -v : v;
}

}  // namespace sandbox
