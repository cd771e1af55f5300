// The INI reader on Windows: the kernel's profile reader.
#include <windows.h>

#include <vector>

#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

std::string Win32Platform::read_profile_string(const std::string& section, const std::string& key,
                                               const std::string& def, std::size_t buffer_size,
                                               const std::string& path) {
  if (buffer_size == 0) return {};
  std::vector<char> buffer(buffer_size, '\0');
  DWORD got = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer.data(),
                                       static_cast<DWORD>(buffer_size), path.c_str());
  if (got >= buffer_size) got = static_cast<DWORD>(buffer_size - 1);
  return std::string(buffer.data(), got);
}

}  // namespace taviksms::platform::win32
