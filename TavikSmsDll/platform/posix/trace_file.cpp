// The trace file on POSIX: TAVIKSMS_TRACE from the environment, opened for appending.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

UserSetting PosixPlatform::trace_setting() const {
  const char* v = std::getenv("TAVIKSMS_TRACE");
  if (!v) return {};
  return {v, "TAVIKSMS_TRACE", {}};
}

std::unique_ptr<OutputFile> PosixPlatform::open_trace_file(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  // Not blocking: a FIFO without a reader must not stall the host.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return nullptr;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return output_file(fd);
}

}  // namespace taviksms::platform::posix
