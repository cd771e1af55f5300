// UTF-8 / UTF-16 conversion at the edges, the case-insensitive name comparison used for method
// and parameter names, and the one reading of a TCP port written as text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <taviksms_common/ascii.h>
#include <taviksms_common/utf8.h>

namespace taviksms::core {

using utf::utf16_to_utf8;
using utf::utf8_to_utf16;

// Case-insensitive equality for ASCII letters; other code units compare exactly.
using ascii::iequals;
inline std::u16string ascii_lower(std::u16string_view s) {
  return ascii::lowered(s);
}

// A TCP port as text: one to five decimal digits naming 1 to 65535; nothing otherwise.
template <typename Char>
std::optional<std::uint16_t> parse_port(std::basic_string_view<Char> text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  long value = 0;
  for (Char c : text) {
    if (c < Char('0') || c > Char('9')) return std::nullopt;
    value = value * 10 + (c - Char('0'));
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace taviksms::core
