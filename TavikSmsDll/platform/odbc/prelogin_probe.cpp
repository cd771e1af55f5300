#include "platform/odbc/prelogin_probe.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

namespace taviksms::platform::odbc {

namespace {

constexpr std::uint8_t kPrelogin = 0x12;
constexpr std::uint8_t kOptEncryption = 0x01;
constexpr std::uint8_t kOptTerminator = 0xFF;
constexpr std::size_t kHeader = 8;

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void close_socket(Socket s) {
  ::closesocket(s);
}
int last_error() {
  return ::WSAGetLastError();
}
bool in_progress(int e) {
  return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
int wait_for(Socket s, short events, int ms) {
  WSAPOLLFD p{s, events, 0};
  return ::WSAPoll(&p, 1, ms);
}
void set_non_blocking(Socket s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}
std::string error_text(int e) {
  return "socket error " + std::to_string(e);
}
// Winsock counts its users: each probe takes its own reference.
struct Winsock {
  bool ok;
  Winsock() {
    WSADATA data;
    ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (ok) ::WSACleanup();
  }
};
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void close_socket(Socket s) {
  ::close(s);
}
int last_error() {
  return errno;
}
bool in_progress(int e) {
  return e == EINPROGRESS;
}
int wait_for(Socket s, short events, int ms) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, ms);
}
void set_non_blocking(Socket s) {
  ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
}
std::string error_text(int e) {
  return std::strerror(e);
}
#endif

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::vector<std::uint8_t> prelogin_probe_request() {
  // The packet header (26 bytes in all, end of message), then the option table: VERSION (6
  // bytes at 11), ENCRYPTION (1 byte at 17), terminator; then the data: version 12.0, "off".
  return {kPrelogin,      0x01, 0x00, 0x1A, 0x00,           0x00, 0x01, 0x00, 0x00,
          0x00,           0x0B, 0x00, 0x06, kOptEncryption, 0x00, 0x11, 0x00, 0x01,
          kOptTerminator, 0x0C, 0x00, 0x00, 0x00,           0x00, 0x00, 0x00};
}

int prelogin_encryption_answer(std::span<const std::uint8_t> payload) {
  for (std::size_t pos = 0; pos < payload.size() && pos < 5 * 64;) {
    const std::uint8_t token = payload[pos];
    if (token == kOptTerminator) return -1;
    if (pos + 5 > payload.size()) return -1;
    const std::size_t offset = (std::size_t{payload[pos + 1]} << 8) | payload[pos + 2];
    const std::size_t length = (std::size_t{payload[pos + 3]} << 8) | payload[pos + 4];
    if (token == kOptEncryption) {
      if (length < 1 || offset >= payload.size()) return -1;
      return payload[offset];
    }
    pos += 5;
  }
  return -1;
}

DataAccess::EncryptionProbe probe_encryption(const std::string& host, std::uint16_t port,
                                             std::chrono::milliseconds limit) {
#ifdef _WIN32
  Winsock winsock;
  if (!winsock.ok) return {-1, "Winsock could not be started"};
#endif
  const Clock::time_point deadline = Clock::now() + limit;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    return {-1, "the name " + host + " does not resolve"};
  }
  Socket s = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (s == kNoSocket) {
    ::freeaddrinfo(found);
    return {-1, "no socket: " + error_text(last_error())};
  }
  set_non_blocking(s);
  std::string problem;
  if (::connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0 &&
      !in_progress(last_error())) {
    problem = "cannot connect: " + error_text(last_error());
  }
  ::freeaddrinfo(found);
  if (problem.empty()) {
    if (wait_for(s, POLLOUT, ms_left(deadline)) <= 0) {
      problem = "no connection within " + std::to_string(limit.count()) + " ms";
    } else {
      int error = 0;
      socklen_t len = sizeof error;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
      if (error != 0) problem = "cannot connect: " + error_text(error);
    }
  }
  const std::vector<std::uint8_t> request = prelogin_probe_request();
  if (problem.empty() &&
      ::send(s, reinterpret_cast<const char*>(request.data()), static_cast<int>(request.size()),
             0) != static_cast<int>(request.size())) {
    problem = "cannot send PRELOGIN: " + error_text(last_error());
  }
  // One packet is enough: the answer is a few dozen bytes.
  std::vector<std::uint8_t> answer;
  while (problem.empty()) {
    const std::size_t wanted =
        answer.size() < kHeader ? kHeader : (std::size_t{answer[2]} << 8 | answer[3]);
    if (wanted < kHeader) {
      problem = "not a TDS answer";
      break;
    }
    if (answer.size() >= wanted) break;
    if (wait_for(s, POLLIN, ms_left(deadline)) <= 0) {
      problem = "no PRELOGIN answer within " + std::to_string(limit.count()) + " ms";
      break;
    }
    char buf[512];
    const auto n =
        ::recv(s, buf, static_cast<int>(std::min(sizeof buf, wanted - answer.size())), 0);
    if (n <= 0) {
      problem = "the server closed the connection without a PRELOGIN answer";
      break;
    }
    answer.insert(answer.end(), buf, buf + n);
  }
  close_socket(s);
  if (!problem.empty()) return {-1, problem};
  if (answer[0] != 0x04) return {-1, "not a TDS answer"};
  const int value = prelogin_encryption_answer(std::span(answer).subspan(kHeader));
  if (value < 0) return {-1, "the PRELOGIN answer names no encryption"};
  return {value, {}};
}

}  // namespace taviksms::platform::odbc
