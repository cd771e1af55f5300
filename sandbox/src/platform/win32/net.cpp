// The socket primitives on Windows (Winsock 2).
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <windows.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include "platform/net.h"

namespace sandbox::net {

void startup() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  });
}

int last_error() {
  return ::WSAGetLastError();
}

std::string error_text(int error) {
  switch (error) {  // the ones a user meets, in the words used on every platform
    case WSAEADDRINUSE:
      return "address already in use";
    case WSAEACCES:
      return "permission denied";
    case WSAEADDRNOTAVAIL:
      return "address not available";
    default:
      break;
  }
  char text[512] = {};
  const DWORD n =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  return out.empty() ? "socket error " + std::to_string(error) : out;
}

bool interrupted(int error) {
  return error == WSAEINTR;
}

bool would_block(int error) {
  return error == WSAEWOULDBLOCK;
}

bool address_in_use(int error) {
  return error == WSAEADDRINUSE || error == WSAEACCES;  // WSAEACCES: held exclusively
}

namespace {

void not_inherited(Socket s) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

Socket open_stream_socket(int family) {
  const Socket s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s != kNoSocket) not_inherited(s);
  return s;
}

Socket accept(Socket listener) {
  const Socket s = ::accept(listener, nullptr, nullptr);
  if (s != kNoSocket) not_inherited(s);
  return s;
}

void close(Socket s) {
  if (s != kNoSocket) ::closesocket(s);
}

void shutdown_both(Socket s) {
  ::shutdown(s, SD_BOTH);
}

void shutdown_send(Socket s) {
  ::shutdown(s, SD_SEND);
}

void set_listen_options(Socket s) {
  const BOOL yes = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
}

void set_nonblocking(Socket s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}

void set_nodelay(Socket s) {
  const BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void set_send_timeout(Socket s, std::chrono::milliseconds timeout) {
  const DWORD ms = static_cast<DWORD>(timeout.count());
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

int poll(PollFd* fds, std::size_t count, int timeout_ms) {
  return ::WSAPoll(fds, static_cast<ULONG>(count), timeout_ms);
}

long long send_some(Socket s, const void* data, std::size_t size, bool) {
  return ::send(s, static_cast<const char*>(data),
                static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
}

long long receive_some(Socket s, void* data, std::size_t size, bool) {
  return ::recv(s, static_cast<char*>(data), static_cast<int>(std::min<std::size_t>(size, INT_MAX)),
                0);
}

bool socket_pair(Socket ends[2]) {
  // Two ends of a loopback connection, made through a listener of its own that accepts only the
  // one connection it expects.
  const Socket listener = open_stream_socket(AF_INET);
  if (listener == kNoSocket) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  Socket client = kNoSocket;
  Socket server = kNoSocket;
  set_listen_options(listener);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
      ::listen(listener, 1) == 0) {
    client = open_stream_socket(AF_INET);
    if (client != kNoSocket &&
        ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      server = accept(listener);
    }
  }
  close(listener);
  sockaddr_in client_end{};
  sockaddr_in peer{};
  int client_len = sizeof client_end;
  int peer_len = sizeof peer;
  const bool matched =
      server != kNoSocket &&
      ::getsockname(client, reinterpret_cast<sockaddr*>(&client_end), &client_len) == 0 &&
      ::getpeername(server, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0 &&
      client_end.sin_port == peer.sin_port && client_end.sin_addr.s_addr == peer.sin_addr.s_addr;
  if (!matched) {
    close(client);
    close(server);
    return false;
  }
  set_nodelay(client);
  set_nodelay(server);
  ends[0] = server;
  ends[1] = client;
  return true;
}

}  // namespace sandbox::net
