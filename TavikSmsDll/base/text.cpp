#include "base/text.h"

#include <cstdint>

namespace taviksms::core {

namespace {
char16_t lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}
}  // namespace

bool iequals(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::u16string ascii_lower(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = lower(c);
  return out;
}

}  // namespace taviksms::core
