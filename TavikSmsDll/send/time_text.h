// The compact reservation / window time texts and their conversion to "YYYY-MM-DD HH:MM".
//
// One conversion serves both callers: a send method's reservation time (ExpandTimeText: trimmed,
// and passed on empty when nothing is left) and a result query's window bound (converted as it
// stands, untrimmed, an empty text included).
#pragma once

#include <string>
#include <string_view>

namespace taviksms::send {

// Prefixes "20" unless the text already starts with "20" (then keeps the first ten characters
// after the prefix), and lays the characters into "@@@@-@@-@@ @@:@@" from the right; positions
// left over at the left are blanks. Always sixteen characters.
//
// A text that starts with "20" and is longer than twelve characters keeps only its last twelve
// characters: the lay-in runs from the right and whatever does not fit at the left is dropped,
// so "2024060112301" gives "0240-60-11 23:01". Callers give ten or twelve characters; the rule
// only has to be fixed, and this is the one that never reads past the twelve positions.
std::u16string window_time_text(std::u16string_view t);

// ExpandTimeText: trims blanks (U+0020 only) at both ends; empty after trimming gives the empty
// text; otherwise window_time_text of the trimmed text.
std::u16string expand_time_text(std::u16string_view t);

}  // namespace taviksms::send
