// Columns a text takes on a terminal, so tables line up under their headers: East Asian wide
// and fullwidth characters and emoji take two, combining marks, variation selectors and
// zero-width characters none, everything else one. Self-contained (no locale, no wcwidth), so
// every platform's shell aligns alike.
#pragma once

#include <string>
#include <string_view>

#include <taviksms_common/escape_controls.h>

namespace taviksms::shell {

// 0, 1 or 2 for one code point; control characters count 0 (the caller shows them otherwise).
int char_width(char32_t c);

// The sum over the code points.
int text_width(std::u32string_view text);

// Control characters escaped wherever results reach a terminal (taviksms_common).
using utf::escape_controls;

}  // namespace taviksms::shell
