// The platform's picture-upload services on Windows: file lengths through the ANSI file API, and
// the libssh2 SFTP client when the build has one (TAVIKSMS_HAVE_SFTP).
#include <windows.h>

#include "base/platform/platform.h"
#if TAVIKSMS_HAVE_SFTP
#include "platform/ssh/libssh2_sftp.h"
#endif

namespace taviksms::platform {

std::int64_t Platform::file_length(const std::string& ansi_path) {
  if (ansi_path.empty() || ansi_path.find('\0') != std::string::npos) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(ansi_path.c_str(), GetFileExInfoStandard, &data)) return -1;
  // Only a regular file has a length; folders and devices count as no file.
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::unique_ptr<SftpComponent> Platform::new_sftp_component() {
#if TAVIKSMS_HAVE_SFTP
  return ssh::make_sftp_component();
#else
  return nullptr;
#endif
}

}  // namespace taviksms::platform
