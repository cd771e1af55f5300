// ASCII case for names the system compares without regard to case (methods, INI sections and
// keys, URL schemes): A-Z only; every other character, in any encoding, stays as it is. Shared by
// the component, its shell and the sandbox.
#pragma once

#include <string>
#include <string_view>

namespace taviksms::ascii {

template <typename Char>
constexpr Char lower(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c + ('a' - 'A')) : c;
}

template <typename Char>
constexpr bool iequals(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}
constexpr bool iequals(std::string_view a, std::string_view b) {
  return iequals<char>(a, b);
}
constexpr bool iequals(std::u16string_view a, std::u16string_view b) {
  return iequals<char16_t>(a, b);
}

template <typename Char>
std::basic_string<Char> lowered(std::basic_string_view<Char> s) {
  std::basic_string<Char> out(s);
  for (Char& c : out) c = lower(c);
  return out;
}
inline std::string lowered(std::string_view s) {
  return lowered<char>(s);
}
inline std::u16string lowered(std::u16string_view s) {
  return lowered<char16_t>(s);
}

}  // namespace taviksms::ascii
