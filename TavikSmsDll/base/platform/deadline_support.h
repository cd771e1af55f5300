// What the database session's deadlines and its watch on the link need of the operating system: a
// thread nobody waits for, and the driver's socket found, looked at, kept alive and shut down.
// Bindings: posix/deadline_support.cpp, win32/deadline_support.cpp.
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
  // What a look at an idle connection's socket tells, without sending anything: `closed` when
  // the peer closed or reset it or it failed (a keep-alive probe that went unanswered included),
  // `open` when nothing is waiting on it, `unknown` when the platform cannot look, the socket is
  // no longer the one identified, or the peer sent something unasked.
  enum class LinkState : std::uint8_t { unknown, open, closed };
  virtual LinkState link_state(const SocketId& socket);
  // Turns TCP keep-alive on for the socket (if it is still the one identified), probing after
  // 30 s of silence every 5 s, three times: a peer gone without a word (a router that dropped the
  // connection, a server switched off) shows as `closed` within a minute. Nothing where the
  // platform cannot reach the socket.
  virtual void keep_alive(const SocketId& socket);
  // Runs `body` on a new thread of its own that nobody waits for; the library stays loaded
  // until it has finished. False when no thread could be started (`body` did not run).
  virtual bool run_detached(std::function<void()> body);
};

}  // namespace taviksms::platform
