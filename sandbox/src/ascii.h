// ASCII case folding, the one rule by which every part of the sandbox compares names (SQL names
// as the server's case-insensitive collation does, HTTP header names, host names, file
// extensions): A-Z fold to a-z, every other character compares exactly.
#pragma once

#include <string>
#include <string_view>

namespace sandbox {

template <typename Char>
constexpr Char ascii_lower(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <typename Char>
std::basic_string<Char> ascii_lowered(std::basic_string_view<Char> s) {
  std::basic_string<Char> out(s);
  for (Char& c : out) c = ascii_lower(c);
  return out;
}
inline std::string ascii_lowered(std::string_view s) {
  return ascii_lowered<char>(s);
}
inline std::u16string ascii_lowered(std::u16string_view s) {
  return ascii_lowered<char16_t>(s);
}

template <typename Char>
bool ascii_iequals(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}
inline bool ascii_iequals(std::string_view a, std::string_view b) {
  return ascii_iequals<char>(a, b);
}
inline bool ascii_iequals(std::u16string_view a, std::u16string_view b) {
  return ascii_iequals<char16_t>(a, b);
}

}  // namespace sandbox
