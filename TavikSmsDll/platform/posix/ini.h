// An INI reader with the Windows profile reader's observable behaviour: section and key names
// compared case-insensitively, the first matching section and key win, blanks around names and
// values trimmed, one pair of surrounding quotes (" or ') removed, the value cut to
// buffer_size - 1 bytes, the default for a missing section or key.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace taviksms::platform::posix {

std::string profile_lookup(std::string_view content, std::string_view section, std::string_view key,
                           std::string_view def, std::size_t buffer_size);

}  // namespace taviksms::platform::posix
