// What the database session's deadlines need of the operating system: a thread nobody waits for,
// and the driver's socket found and shut down. Bindings: posix/deadline_support.cpp,
// win32/deadline_support.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace taviksms::platform {

class DeadlineSupport {
 public:
  virtual ~DeadlineSupport() = default;

  // A TCP socket of this process: its descriptor and what identifies the socket itself (a
  // descriptor number may be reused once the socket is closed).
  struct SocketId {
    std::intptr_t handle = -1;
    std::uint64_t identity = 0;
    bool operator==(const SocketId&) const = default;
  };
  // The TCP sockets of this process connected to a remote `port`. Comparing the list before and
  // after a database connect finds the socket the driver opened, which is the only way to end a
  // call the driver keeps waiting in. Empty where the platform cannot tell.
  virtual std::vector<SocketId> tcp_sockets_to(std::uint16_t port);
  // Shuts the socket down (both ways) if it is still the one identified; whoever waits on it
  // returns at once. The descriptor stays open for its owner to close.
  virtual void shut_down_socket(const SocketId& socket);
  // Runs `body` on a new thread of its own that nobody waits for; the library stays loaded
  // until it has finished. False when no thread could be started (`body` did not run).
  virtual bool run_detached(std::function<void()> body);
};

}  // namespace taviksms::platform
