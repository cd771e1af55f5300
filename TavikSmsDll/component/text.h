// UTF-8 / UTF-16 conversion at the edges, and the case-insensitive name comparison used for
// method and parameter names.
#pragma once

#include <string>
#include <string_view>

namespace taviksms::core {

// Invalid or truncated sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view s);
// Lone surrogates become U+FFFD (encoded EF BF BD).
std::string utf16_to_utf8(std::u16string_view s);

// Case-insensitive equality for ASCII letters; other code units compare exactly.
bool iequals(std::u16string_view a, std::u16string_view b);
std::u16string ascii_lower(std::u16string_view s);

}  // namespace taviksms::core
