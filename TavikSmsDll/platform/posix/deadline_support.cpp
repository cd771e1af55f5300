// What the database deadlines need on Linux: the process's sockets read from /proc/self/fd, and
// shutdown(2). Detached threads are the portable default.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

std::vector<Platform::SocketId> PosixPlatform::tcp_sockets_to(std::uint16_t port) {
  std::vector<SocketId> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return out;
  while (const dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == ::dirfd(dir)) continue;
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
      continue;
    std::uint16_t peer_port = 0;
    if (peer.ss_family == AF_INET) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    } else if (peer.ss_family == AF_INET6) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    } else {
      continue;
    }
    if (peer_port == port) out.push_back(SocketId{fd, static_cast<std::uint64_t>(st.st_ino)});
  }
  ::closedir(dir);
  return out;
}

void PosixPlatform::shut_down_socket(const SocketId& socket) {
  struct stat st {};
  const int fd = static_cast<int>(socket.handle);
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_ino) != socket.identity) {
    return;  // closed meanwhile, perhaps reused: not ours to touch
  }
  ::shutdown(fd, SHUT_RDWR);
}

}  // namespace taviksms::platform::posix
