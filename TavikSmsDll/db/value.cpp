#include "db/value.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "base/error.h"

namespace taviksms::db {

namespace {

bool is_blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// Drops trailing fractional zeros and a bare point: "100000.0000" -> "100000", "2.50" -> "2.5".
std::u16string trim_decimal(std::u16string s) {
  if (s.find(u'.') == std::u16string::npos || s.find_first_of(u"eE") != std::u16string::npos) {
    return s;
  }
  while (!s.empty() && s.back() == u'0') s.pop_back();
  if (!s.empty() && s.back() == u'.') s.pop_back();
  if (s.empty() || s == u"-") return u"0";
  if (s.size() > 1 && s[0] == u'.') s.insert(0, 1, u'0');
  if (s.size() > 2 && s[0] == u'-' && s[1] == u'.') s.insert(1, 1, u'0');
  return s;
}

}  // namespace

bool round_half_even_to_int32(std::u16string_view text, std::int32_t& out, bool& overflow) {
  overflow = false;
  std::size_t b = 0, e = text.size();
  while (b < e && is_blank(text[b])) ++b;
  while (e > b && is_blank(text[e - 1])) --e;
  std::u16string_view t = text.substr(b, e - b);
  if (t.empty()) return false;

  std::size_t i = 0;
  bool negative = false;
  if (t[i] == u'+' || t[i] == u'-') negative = t[i++] == u'-';
  std::string int_digits, frac_digits;
  while (i < t.size() && t[i] >= u'0' && t[i] <= u'9') int_digits += static_cast<char>(t[i++]);
  if (i < t.size() && t[i] == u'.') {
    ++i;
    while (i < t.size() && t[i] >= u'0' && t[i] <= u'9') frac_digits += static_cast<char>(t[i++]);
  }
  if (int_digits.empty() && frac_digits.empty()) return false;

  if (i < t.size()) {
    // An exponent: leave exactness to the floating-point path, whose default rounding mode
    // (to nearest) already sends halves to the even neighbour.
    if (t[i] != u'e' && t[i] != u'E') return false;
    std::string ascii;
    for (char16_t c : t) {
      if (c > 0x7F) return false;
      ascii += static_cast<char>(c);
    }
    char* end = nullptr;
    double d = std::strtod(ascii.c_str(), &end);
    if (end != ascii.c_str() + ascii.size() || !std::isfinite(d)) return false;
    double r = std::nearbyint(d);
    if (r < -2147483648.0 || r > 2147483647.0) {
      overflow = true;
      return false;
    }
    out = static_cast<std::int32_t>(r);
    return true;
  }

  // Exact decimal path.
  std::size_t nz = int_digits.find_first_not_of('0');
  int_digits = nz == std::string::npos ? std::string() : int_digits.substr(nz);
  if (int_digits.size() > 10) {
    overflow = true;
    return false;
  }
  std::int64_t mag = int_digits.empty() ? 0 : std::stoll(int_digits);
  // Compare the fraction with one half: first digit decides unless it is exactly 5.
  if (!frac_digits.empty()) {
    int first = frac_digits[0] - '0';
    bool rest_nonzero = frac_digits.find_first_not_of('0', 1) != std::string::npos;
    if (first > 5 || (first == 5 && rest_nonzero) ||
        (first == 5 && !rest_nonzero && (mag % 2) == 1)) {
      ++mag;
    }
  }
  std::int64_t v = negative ? -mag : mag;
  if (v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max()) {
    overflow = true;
    return false;
  }
  out = static_cast<std::int32_t>(v);
  return true;
}

std::u16string Value::to_text() const {
  switch (kind_) {
    case Kind::empty:
      return {};
    case Kind::null:
      core::raise_invalid_use_of_null();
    case Kind::integer: {
      std::string a = std::to_string(i_);
      return std::u16string(a.begin(), a.end());
    }
    case Kind::decimal:
    case Kind::floating:
      return trim_decimal(s_);
    case Kind::datetime:
    case Kind::text:
      return s_;
  }
  return s_;
}

std::int32_t Value::to_int32() const {
  switch (kind_) {
    case Kind::empty:
      return 0;
    case Kind::null:
      core::raise_invalid_use_of_null();
    case Kind::integer:
      if (i_ < std::numeric_limits<std::int32_t>::min() ||
          i_ > std::numeric_limits<std::int32_t>::max()) {
        core::raise_overflow();
      }
      return static_cast<std::int32_t>(i_);
    case Kind::decimal:
    case Kind::floating:
    case Kind::text: {
      std::int32_t out = 0;
      bool overflow = false;
      if (round_half_even_to_int32(s_, out, overflow)) return out;
      if (overflow) core::raise_overflow();
      core::raise_type_mismatch();
    }
    case Kind::datetime:
      core::raise_type_mismatch();
  }
  core::raise_type_mismatch();
}

}  // namespace taviksms::db
