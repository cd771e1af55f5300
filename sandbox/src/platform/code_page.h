// Code page 949 (Unified Hangul Code), in which varchar data travels, converted by the system:
// iconv on POSIX (platform/posix/code_page.cpp), Windows' code page 949
// (platform/win32/code_page.cpp). What cannot be converted is replaced the same way on both.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox::code_page {

// A character CP949 cannot hold becomes '?' (a surrogate pair counts as one character).
std::vector<std::uint8_t> utf16_to_cp949(std::u16string_view text);

// A byte that starts no valid character becomes U+FFFD; the next byte is read afresh.
std::u16string cp949_to_utf16(std::span<const std::uint8_t> bytes);

}  // namespace sandbox::code_page
