// Sockets as the sandbox's servers use them, the same on every platform: the socket type, poll,
// non-blocking sends and receives, a connected pair, a wake-up for polling loops and listening
// sockets. One file per platform implements the primitives (platform/posix/net.cpp,
// platform/win32/net.cpp); net.cpp builds the rest on them.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace sandbox::net {

#ifdef _WIN32
using Socket = SOCKET;
inline constexpr Socket kNoSocket = INVALID_SOCKET;
using PollFd = WSAPOLLFD;
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
using PollFd = pollfd;
#endif

// Sockets may be used (WSAStartup on Windows). Once per process, before any other call.
void startup();

// The calling thread's last socket error (errno, WSAGetLastError) and what it means.
int last_error();
std::string error_text(int error);
bool interrupted(int error);  // EINTR: try again
bool would_block(int error);  // nothing to read, or no room to write, right now
bool address_in_use(int error);

// A stream socket of `family` not inherited by child processes; kNoSocket on failure.
Socket open_stream_socket(int family);
// Accepts a connection (not inherited by child processes); kNoSocket on failure.
Socket accept(Socket listener);
void close(Socket s);
// Ends both directions (a thread blocked in recv on it wakes up), or only the sending one.
void shutdown_both(Socket s);
void shutdown_send(Socket s);
// Before bind: the port may be bound again at once after a close, but never while another
// socket holds it (Windows lets SO_REUSEADDR take a port in use, so it gets SO_EXCLUSIVEADDRUSE).
void set_listen_options(Socket s);
void set_nonblocking(Socket s);
void set_nodelay(Socket s);
// A send blocked for this long fails.
void set_send_timeout(Socket s, std::chrono::milliseconds timeout);

// poll(2) over sockets; -1 with last_error() on failure.
int poll(PollFd* fds, std::size_t count, int timeout_ms);
// One send or receive, never raising SIGPIPE; with `dont_wait` they return -1 (would_block)
// rather than wait (on Windows, where a socket cannot be asked that per call, they are meant to
// follow a poll that found the socket ready). 0 from receive: the peer closed.
long long send_some(Socket s, const void* data, std::size_t size, bool dont_wait = false);
long long receive_some(Socket s, void* data, std::size_t size, bool dont_wait = false);
// Sends everything (interrupted calls are retried); false when the connection fails.
bool send_all(Socket s, const void* data, std::size_t size);

// Two connected stream sockets (a UNIX socket pair; on Windows two ends of a loopback TCP
// connection); false on failure.
bool socket_pair(Socket ends[2]);

// The address of either end of a connection as text and port.
bool peer_address(Socket s, std::string& ip, int& port);
bool local_address(Socket s, std::string& ip, int& port);

// Wakes a thread waiting in poll(): poll `socket()` for reading, `signal()` from anywhere,
// `drain()` after waking.
class Wakeup {
 public:
  Wakeup();  // throws std::runtime_error when no socket pair can be made
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  Socket socket() const { return ends_[0]; }
  void signal();
  void drain();

 private:
  Socket ends_[2] = {kNoSocket, kNoSocket};
};

// A listening TCP socket on `host` (a numeric address or a name) and `port` (0: the system picks
// one). Throws ListenError.
struct Listener {
  Socket socket = kNoSocket;
  std::uint16_t port = 0;  // the bound port
};
class ListenError : public std::runtime_error {
 public:
  ListenError(const std::string& what, bool in_use) : std::runtime_error(what), in_use_(in_use) {}
  bool in_use() const { return in_use_; }

 private:
  bool in_use_;
};
Listener listen_on(const std::string& host, std::uint16_t port, int backlog);

// Whether another socket holds `port` on `host` now, tried with a listener of its own (for
// servers whose listener says only that it failed).
bool port_in_use(const std::string& host, std::uint16_t port);

}  // namespace sandbox::net
