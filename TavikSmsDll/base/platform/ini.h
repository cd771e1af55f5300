// The seam's INI reader, for ip1.ini. Bindings: posix/ini.cpp (a reader of its own with the
// Windows one's behaviour), win32/ini.cpp (GetPrivateProfileStringA).
#pragma once

#include <cstddef>
#include <string>

namespace taviksms::platform {

class ProfileReader {
 public:
  virtual ~ProfileReader() = default;

  // Reads `key` of `section` from the INI file `path` into a buffer of `buffer_size` bytes, the
  // way the Windows profile reader does: at most buffer_size-1 bytes, `def` when the file or key
  // is missing.
  virtual std::string read_profile_string(const std::string& section, const std::string& key,
                                          const std::string& def, std::size_t buffer_size,
                                          const std::string& path) = 0;
};

}  // namespace taviksms::platform
