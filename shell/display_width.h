// Columns a text takes on a terminal, so tables line up under their headers: East Asian wide
// and fullwidth characters and emoji take two, combining marks, variation selectors and
// zero-width characters none, everything else one. Self-contained (no locale, no wcwidth), so
// every platform's shell aligns alike.
#pragma once

#include <string>
#include <string_view>

namespace taviksms::shell {

// 0, 1 or 2 for one code point; control characters count 0 (the caller shows them otherwise).
int char_width(char32_t c);

// The sum over the code points.
int text_width(std::u32string_view text);

// UTF-8 text with every control character but the tab (C0, DEL and C1) written in the shell's
// escape notation (\r, \n, \uXXXX) and every byte that is no UTF-8 as \xHH, so that nothing
// shown can move the cursor or reach a terminal as a command. The rest passes as it is.
std::string escape_controls(std::string_view utf8);

}  // namespace taviksms::shell
