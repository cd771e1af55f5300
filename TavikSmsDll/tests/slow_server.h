// A TCP relay on loopback in front of another server (the sandbox's database port), whose
// answers can be made slow: passed on at once, one byte a second, never, or cut after some
// bytes. What the client sends always reaches the server at once. The tests of the database
// deadlines put it between the component and the sandbox.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace taviksms::test {

class SlowServer {
 public:
  enum class Mode : int {
    pass,     // answers passed on as they come
    trickle,  // one byte of the answer per `interval`
    silent,   // answers kept back (the connection stays open)
    cut,      // after `cut_after` more bytes of the answer, the connection is closed
  };

  SlowServer(std::uint16_t target_port, Mode mode,
             std::chrono::milliseconds interval = std::chrono::milliseconds(1000))
      : target_(target_port), mode_(static_cast<int>(mode)), interval_(interval) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error("SlowServer: cannot listen");
    }
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~SlowServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& t : relays_) t.join();
    ::close(listener_);
  }
  SlowServer(const SlowServer&) = delete;
  SlowServer& operator=(const SlowServer&) = delete;

  std::uint16_t port() const { return port_; }
  // Takes effect on every connection, open or new, from the next byte on.
  void set_mode(Mode m, std::size_t cut_after = 0) {
    cut_after_ = cut_after;
    mode_ = static_cast<int>(m);
  }
  int connections() const { return connections_; }

 private:
  void accept_loop() {
    for (;;) {
      int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0 || stop_) {
        if (client >= 0) ::close(client);
        return;
      }
      int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(target_);
      if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(server);
        ::close(client);
        continue;
      }
      ++connections_;
      std::lock_guard<std::mutex> lock(mu_);
      relays_.emplace_back([this, client, server] { relay(client, server); });
    }
  }

  // One connection: both directions in one loop, the answers held in `pending`.
  void relay(int client, int server) {
    std::vector<char> pending;
    auto next_drip = std::chrono::steady_clock::now();
    bool open = true;
    while (open && !stop_) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      ::poll(p, 2, 20);
      char buf[65536];
      if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::read(client, buf, sizeof buf);
        if (n <= 0 || !send_all(server, buf, static_cast<std::size_t>(n))) break;
      }
      if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::read(server, buf, sizeof buf);
        if (n <= 0 && pending.empty()) break;
        if (n > 0) pending.insert(pending.end(), buf, buf + n);
      }
      switch (static_cast<Mode>(mode_.load())) {
        case Mode::pass:
          open = send_all(client, pending.data(), pending.size());
          pending.clear();
          break;
        case Mode::trickle:
          if (!pending.empty() && std::chrono::steady_clock::now() >= next_drip) {
            open = send_all(client, pending.data(), 1);
            pending.erase(pending.begin());
            next_drip = std::chrono::steady_clock::now() + interval_;
          }
          break;
        case Mode::silent:
          break;
        case Mode::cut: {
          const std::size_t n = std::min(pending.size(), cut_after_.load());
          open = send_all(client, pending.data(), n);
          pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
          cut_after_ -= n;
          if (cut_after_ == 0) open = false;
          break;
        }
      }
    }
    ::close(client);
    ::close(server);
  }

  static bool send_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
      ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }

  std::uint16_t target_;
  std::uint16_t port_ = 0;
  std::atomic<int> mode_;
  std::atomic<std::size_t> cut_after_{0};
  std::chrono::milliseconds interval_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  int listener_ = -1;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> relays_;
};

}  // namespace taviksms::test
