// The SFTP client on POSIX: libssh2 (platform/ssh/).
#include "platform/posix/posix_platform.h"
#include "platform/ssh/libssh2_sftp.h"

namespace taviksms::platform::posix {

std::unique_ptr<SftpComponent> PosixPlatform::new_sftp_component() {
  return ssh::make_sftp_component();
}

}  // namespace taviksms::platform::posix
