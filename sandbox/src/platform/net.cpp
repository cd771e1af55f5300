#include "platform/net.h"

#include <cstring>

namespace sandbox::net {

bool send_all(Socket s, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  std::size_t sent = 0;
  while (sent < size) {
    const long long n = send_some(s, bytes + sent, size - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && interrupted(last_error())) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

namespace {

bool describe(const sockaddr_storage& a, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  } else {
    return false;
  }
  ip = text;
  return true;
}

}  // namespace

bool peer_address(Socket s, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  return ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) == 0 && describe(a, ip, port);
}

bool local_address(Socket s, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  return ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0 && describe(a, ip, port);
}

Wakeup::Wakeup() {
  if (!socket_pair(ends_)) throw std::runtime_error("cannot make a wake-up socket pair");
  set_nonblocking(ends_[0]);
  set_nonblocking(ends_[1]);
}

Wakeup::~Wakeup() {
  close(ends_[0]);
  close(ends_[1]);
}

void Wakeup::signal() {
  const char byte = 1;
  // A full buffer already holds a wake-up.
  send_some(ends_[1], &byte, 1, true);
}

void Wakeup::drain() {
  char sink[64];
  while (receive_some(ends_[0], sink, sizeof sink, true) > 0) {
  }
}

Listener listen_on(const std::string& host, std::uint16_t port, int backlog) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  const std::string port_text = std::to_string(port);
  const int gai =
      ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port_text.c_str(), &hints, &res);
  if (gai != 0) {
    throw ListenError("cannot resolve " + host + ": " + ::gai_strerror(gai), false);
  }
  Listener l;
  std::string last_error_text = "no address";
  bool in_use = false;
  for (addrinfo* a = res; a != nullptr; a = a->ai_next) {
    const Socket s = open_stream_socket(a->ai_family);
    if (s == kNoSocket) {
      last_error_text = error_text(last_error());
      continue;
    }
    set_listen_options(s);
    if (::bind(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen)) == 0 &&
        ::listen(s, backlog) == 0) {
      l.socket = s;
      break;
    }
    const int error = last_error();
    last_error_text = error_text(error);
    in_use = address_in_use(error);
    close(s);
  }
  ::freeaddrinfo(res);
  if (l.socket == kNoSocket) {
    throw ListenError("cannot listen on " + host + ":" + port_text + ": " + last_error_text,
                      in_use);
  }
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(l.socket, reinterpret_cast<sockaddr*>(&addr), &len);
  l.port = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return l;
}

bool port_in_use(const std::string& host, std::uint16_t port) {
  try {
    close(listen_on(host, port, 1).socket);
    return false;
  } catch (const ListenError& e) {
    return e.in_use();
  }
}

}  // namespace sandbox::net
