// The SFTP client on Windows: libssh2 (platform/ssh/) when the build has one (TAVIKSMS_HAVE_SFTP).
#include "platform/win32/win32_platform.h"
#if TAVIKSMS_HAVE_SFTP
#include "platform/ssh/libssh2_sftp.h"
#endif

namespace taviksms::platform::win32 {

std::unique_ptr<SftpComponent> Win32Platform::new_sftp_component() {
#if TAVIKSMS_HAVE_SFTP
  return ssh::make_sftp_component();
#else
  return nullptr;
#endif
}

}  // namespace taviksms::platform::win32
