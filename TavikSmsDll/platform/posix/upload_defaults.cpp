// The platform's picture-upload services where the OS is POSIX and the SFTP client is libssh2.
#include <sys/stat.h>

#include "base/platform/platform.h"
#include "platform/ssh/libssh2_sftp.h"

namespace taviksms::platform {

std::int64_t Platform::file_length(const std::string& ansi_path) {
  // A name holding NUL would name a different (shorter) path in the C interface.
  if (ansi_path.empty() || ansi_path.find('\0') != std::string::npos) return -1;
  struct stat st {};
  if (::stat(ansi_path.c_str(), &st) != 0) return -1;
  // Only a regular file has a length; directories, devices and pipes count as no file.
  if (!S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::unique_ptr<SftpComponent> Platform::new_sftp_component() {
  return ssh::make_sftp_component();
}

}  // namespace taviksms::platform
