// File system paths to and from the text the sandbox keeps and shows: UTF-8 on Windows (where
// paths are UTF-16), the bytes as they are on POSIX (where a name may hold any bytes).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sandbox {

inline std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

inline std::filesystem::path path_of(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace sandbox
