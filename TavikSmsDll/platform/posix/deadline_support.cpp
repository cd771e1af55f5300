// What the database deadlines and the link's watch need on Linux: the process's sockets read from
// /proc/self/fd, shutdown(2), a look at a socket with poll(2) and a peek, keep-alive options.
// Detached threads are the portable default.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
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

namespace {

// The descriptor of `socket` while it is still that socket; -1 once it was closed (its number
// perhaps reused): then it is not ours to touch.
int still_the_socket(const DeadlineSupport::SocketId& socket) {
  struct stat st {};
  const int fd = static_cast<int>(socket.handle);
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_ino) != socket.identity) {
    return -1;
  }
  return fd;
}

}  // namespace

void PosixPlatform::shut_down_socket(const SocketId& socket) {
  const int fd = still_the_socket(socket);
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

PosixPlatform::LinkState PosixPlatform::link_state(const SocketId& socket) {
  const int fd = still_the_socket(socket);
  if (fd < 0) return LinkState::unknown;
  pollfd p{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return LinkState::open;
  if (ready < 0) return LinkState::unknown;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return LinkState::closed;
  // Readable: the end of the stream (0), a reset (an error), or bytes the server sent unasked,
  // which only a request can make sense of.
  char byte = 0;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return LinkState::closed;
  if (n < 0)
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? LinkState::open
                                                                     : LinkState::closed;
  return LinkState::unknown;
}

void PosixPlatform::keep_alive(const SocketId& socket) {
  const int fd = still_the_socket(socket);
  if (fd < 0) return;
  const int on = 1, idle = 30, interval = 5, probes = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

}  // namespace taviksms::platform::posix
