// Conversion between UTF-16 and code page 949, the code page of the server collation
// (Korean_Wansung_CI_AS) in which varchar data travels.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sandbox::tds {

// Characters code page 949 cannot hold (and lone surrogates) become '?', as SQL Server stores
// them in a varchar column.
std::vector<std::uint8_t> utf16_to_cp949(std::u16string_view text);

// Byte sequences that are not valid code page 949 become U+FFFD, one per offending byte.
std::u16string cp949_to_utf16(std::span<const std::uint8_t> bytes);

// Bytes as ISO-8859-1 characters: how binary parameter values are handed on.
std::u16string latin1_to_utf16(std::span<const std::uint8_t> bytes);

}  // namespace sandbox::tds
