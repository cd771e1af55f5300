// The socket primitives on POSIX.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"

namespace sandbox::net {

void startup() {}

int last_error() {
  return errno;
}

std::string error_text(int error) {
  return std::strerror(error);
}

bool interrupted(int error) {
  return error == EINTR;
}

bool would_block(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

bool address_in_use(int error) {
  return error == EADDRINUSE;
}

Socket open_stream_socket(int family) {
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

Socket accept(Socket listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

void close(Socket s) {
  if (s >= 0) ::close(s);
}

void shutdown_both(Socket s) {
  ::shutdown(s, SHUT_RDWR);
}

void shutdown_send(Socket s) {
  ::shutdown(s, SHUT_WR);
}

void set_listen_options(Socket s) {
  const int yes = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void set_nonblocking(Socket s) {
  ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
}

void set_nodelay(Socket s) {
  const int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_send_timeout(Socket s, std::chrono::milliseconds timeout) {
  const auto ms = timeout.count();
  const timeval t{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

int poll(PollFd* fds, std::size_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}

long long send_some(Socket s, const void* data, std::size_t size, bool dont_wait) {
  // MSG_NOSIGNAL: a client that vanished costs its connection, never the process.
  return ::send(s, data, size, MSG_NOSIGNAL | (dont_wait ? MSG_DONTWAIT : 0));
}

long long receive_some(Socket s, void* data, std::size_t size, bool dont_wait) {
  return ::recv(s, data, size, dont_wait ? MSG_DONTWAIT : 0);
}

bool socket_pair(Socket ends[2]) {
  return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0;
}

}  // namespace sandbox::net
