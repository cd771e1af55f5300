// UTF-8 / UTF-16 conversion at the edges, and the case-insensitive name comparison used for
// method and parameter names.
#pragma once

#include <string>
#include <string_view>

#include <taviksms_common/utf8.h>

namespace taviksms::core {

using utf::utf16_to_utf8;
using utf::utf8_to_utf16;

// Case-insensitive equality for ASCII letters; other code units compare exactly.
bool iequals(std::u16string_view a, std::u16string_view b);
std::u16string ascii_lower(std::u16string_view s);

}  // namespace taviksms::core
