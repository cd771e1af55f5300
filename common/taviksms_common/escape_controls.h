// Text shown to a person (a terminal, a trace file, a doctor line) with nothing in it that could
// move the cursor or reach a terminal as a command: shared by the component's trace and the shell.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace taviksms::utf {

namespace detail {

// The length of the UTF-8 sequence at the start of `s`, 0 when it is not a valid one.
inline std::size_t utf8_sequence(std::string_view s) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return n;
}

}  // namespace detail

// UTF-8 text with every control character but the tab (C0, DEL and C1) written in escape
// notation (\r, \n, \uXXXX) and every byte that is no UTF-8 as \xHH. The rest passes as it is, so
// escaping an escaped text changes nothing.
inline std::string escape_controls(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  // A backslash, 'u' and four hex digits, or 'x' and two.
  const auto escape = [&out](char kind, unsigned code) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '\\';
    out += kind;
    for (int shift = kind == 'u' ? 12 : 4; shift >= 0; shift -= 4)
      out += kHex[(code >> shift) & 0xF];
  };
  while (!utf8.empty()) {
    const std::size_t n = detail::utf8_sequence(utf8);
    const auto c = static_cast<unsigned char>(utf8[0]);
    if (n == 0) {
      escape('x', c);  // a byte that is no UTF-8 (a terminal may take 0x9B as a command)
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      escape('u', c);
    } else if (c == 0xC2 && static_cast<unsigned char>(utf8[1]) <= 0x9F) {
      escape('u', static_cast<unsigned char>(utf8[1]));  // U+0080..U+009F: C1 controls
    } else {
      out.append(utf8.substr(0, n));
    }
    utf8.remove_prefix(n == 0 ? 1 : n);
  }
  return out;
}

}  // namespace taviksms::utf
