#include "tds/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tds/connection.h"
#include "tds/packet.h"

namespace sandbox::tds {
namespace {

using Clock = std::chrono::steady_clock;

// Reads under deadlines: `first` until the current message's first byte arrives, then
// `rest_after` from that byte (never later than `first` would allow before login).
class SocketSource : public ByteSource {
 public:
  explicit SocketSource(int fd) : fd_(fd) {}

  void begin_message(Clock::time_point first, std::chrono::milliseconds rest, bool cap_at_first) {
    first_ = first;
    rest_ = rest;
    cap_at_first_ = cap_at_first;
    started_ = false;
  }

  // When the message being read must be in.
  Clock::time_point deadline() const { return started_ ? deadline_ : first_; }

  bool read_exact(std::span<std::uint8_t> out) override {
    std::size_t got = 0;
    while (got < out.size()) {
      const Clock::time_point deadline = started_ ? deadline_ : first_;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      pollfd p{fd_, POLLIN, 0};
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(wait.count() + 1, 60000)));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (r == 0) continue;  // the loop re-checks the deadline
      const ssize_t n = ::recv(fd_, out.data() + got, out.size() - got, 0);
      if (n > 0) {
        if (!started_) {
          started_ = true;
          deadline_ = Clock::now() + rest_;
          if (cap_at_first_) deadline_ = std::min(deadline_, first_);
        }
        got += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return false;
      }
    }
    return true;
  }

 private:
  int fd_;
  Clock::time_point first_ = Clock::time_point::max();
  Clock::time_point deadline_ = Clock::time_point::max();
  std::chrono::milliseconds rest_{0};
  bool cap_at_first_ = false;
  bool started_ = false;
};

bool send_all(int fd, const std::vector<std::uint8_t>& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    // MSG_NOSIGNAL: a client that vanished costs its connection, never the process.
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<TdsMode> parse_tds_mode(std::string_view text) {
  if (text == "up") return TdsMode::up;
  if (text == "blackhole") return TdsMode::blackhole;
  if (text == "close-new") return TdsMode::close_new;
  return std::nullopt;
}

std::string_view tds_mode_name(TdsMode mode) {
  switch (mode) {
    case TdsMode::blackhole:
      return "blackhole";
    case TdsMode::close_new:
      return "close-new";
    case TdsMode::up:
      break;
  }
  return "up";
}

TdsServer::TdsServer(Backend& backend, std::string host, std::uint16_t port)
    : backend_(backend),
      host_(std::move(host)),
      requested_port_(port),
      max_message_bytes_(kDefaultMaxMessageBytes) {}

TdsServer::~TdsServer() {
  stop();
}

void TdsServer::start() {
  if (started_) throw std::logic_error("TdsServer::start called twice");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  const std::string port_text = std::to_string(requested_port_);
  const int gai =
      ::getaddrinfo(host_.empty() ? nullptr : host_.c_str(), port_text.c_str(), &hints, &res);
  if (gai != 0) {
    throw std::runtime_error("cannot resolve " + host_ + ": " + ::gai_strerror(gai));
  }
  std::string last_error = "no address";
  for (addrinfo* a = res; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_error = std::strerror(errno);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
      listen_fd_ = fd;
      break;
    }
    last_error = std::strerror(errno);
    ::close(fd);
  }
  ::freeaddrinfo(res);
  if (listen_fd_ < 0) {
    throw std::runtime_error("cannot listen on " + host_ + ":" + port_text + ": " + last_error);
  }
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  bound_port_ = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  if (::pipe2(wake_fds_, O_CLOEXEC) != 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  started_ = true;
  acceptor_ = std::thread([this] { accept_loop(); });
}

void TdsServer::accept_loop() {
  std::uint32_t spid_counter = 0;
  while (!stopping_.load()) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    const int r = ::poll(fds, 2, 1000);
    reap_finished();
    if (r < 0 && errno != EINTR) break;
    if (r <= 0 || fds[1].revents != 0) continue;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or a connection reset before accept: back off briefly, keep serving.
      if (errno != EINTR && errno != ECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      continue;
    }
    if (mode_.load() == TdsMode::close_new) {
      ++total_;
      ::close(fd);
      continue;
    }
    if (open_.load() >= limits_.max_connections && !evict_one_not_logged_in()) {
      // Over the cap: closed before any thread or session is spent on it.
      ++refused_;
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A client that stops reading its answer is dropped after the message deadline.
    const auto send_ms = limits_.message_timeout.count();
    const timeval send_timeout{static_cast<time_t>(send_ms / 1000),
                               static_cast<suseconds_t>(send_ms % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    // SPIDs are non-zero; start where a real server's user sessions start.
    const auto spid = static_cast<std::uint16_t>(51 + (spid_counter++ % 30000));
    std::lock_guard lock(mutex_);
    if (stopping_.load()) {
      ::close(fd);
      break;
    }
    auto live = std::make_unique<Live>();
    live->fd = fd;
    Live& ref = *live;
    live_.push_back(std::move(live));
    ++open_;
    ++total_;
    ref.thread = std::thread([this, &ref, spid] { serve(ref, spid); });
  }
}

void TdsServer::serve(Live& live, std::uint16_t spid) {
  const int fd = live.fd;  // stays open until this thread closes it below
  try {
    std::unique_ptr<Session> session = backend_.open_session();
    session->allow_row_streaming();
    Connection conn(*session);
    SocketSource source(fd);
    MessageReader reader(source, max_message_bytes_);
    // A large request holds a slot from the moment it grows large until it has run.
    struct LargeSlot {
      TdsServer& server;
      bool held = false;
      ~LargeSlot() { release(); }
      void release() {
        if (held) server.give_large_slot();
        held = false;
      }
    } large{*this};
    reader.set_large_gate(limits_.large_request_bytes, [&] {
      large.held = take_large_slot(source.deadline());
      return large.held;
    });
    std::uint8_t packet_id = 1;
    // A long answer goes out in full packets while it is built; the last packet (end of
    // message) carries what remains once it is done. Less than a packet is ever held back.
    std::vector<std::uint8_t> unsent;
    conn.stream_to([&](std::vector<std::uint8_t> part) {
      const std::size_t body = conn.packet_size() - kHeaderSize;
      std::span<const std::uint8_t> rest(part);
      while (unsent.size() + rest.size() > body) {  // a full packet, and more after it
        const std::size_t take = body - unsent.size();
        unsent.insert(unsent.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(take));
        rest = rest.subspan(take);
        const auto packet = frame_message(packet_type::kTabularResult, unsent, conn.packet_size(),
                                          spid, packet_id, false);
        unsent.clear();
        if (!send_all(fd, packet)) return false;
      }
      unsent.insert(unsent.end(), rest.begin(), rest.end());
      return true;
    });
    const Clock::time_point login_deadline = Clock::now() + limits_.login_timeout;
    for (;;) {
      Message m;
      // Before login everything must be done by the login deadline; afterwards a connection
      // may idle between requests, and each request must arrive whole in good time.
      if (conn.logged_in()) {
        source.begin_message(Clock::now() + limits_.idle_timeout, limits_.message_timeout, false);
      } else {
        source.begin_message(login_deadline, limits_.message_timeout, true);
      }
      const ReadResult r = reader.read(m);
      Reply reply;
      const std::size_t packet_size = conn.packet_size();
      if (r == ReadResult::kTooLarge) {
        reply = Connection::too_large();
      } else if (r != ReadResult::kMessage) {
        break;
      } else if (mode_.load() == TdsMode::blackhole) {
        hold_in_blackhole();  // the request is never answered
        break;
      } else {
        reply = conn.handle(m);
        if (conn.logged_in()) live.logged_in.store(true);
      }
      // Run: what it cost is freed; its answer's rest is small or was streamed.
      m = Message{};
      large.release();
      if (!reply.payload.empty()) {
        unsent.insert(unsent.end(), reply.payload.begin(), reply.payload.end());
        const auto bytes =
            frame_message(packet_type::kTabularResult, unsent, packet_size, spid, packet_id);
        unsent.clear();
        if (!send_all(fd, bytes)) break;
      }
      unsent.clear();
      if (reply.close) break;
    }
  } catch (...) {
    // A failing session or allocation ends this connection only.
  }
  {
    std::lock_guard lock(mutex_);
    ::close(live.fd);
    live.fd = -1;
  }
  --open_;
  live.finished.store(true);
}

void TdsServer::set_mode(TdsMode mode) {
  {
    std::lock_guard lock(mode_mutex_);
    mode_.store(mode);
  }
  mode_changed_.notify_all();
}

void TdsServer::hold_in_blackhole() {
  std::unique_lock lock(mode_mutex_);
  const std::uint64_t closings = closings_;
  mode_changed_.wait(lock, [&] {
    return stopping_.load() || mode_.load() != TdsMode::blackhole || closings_ != closings;
  });
}

std::size_t TdsServer::close_connections() {
  std::size_t closed = 0;
  {
    std::lock_guard lock(mutex_);
    // Each connection's thread wakes and closes its descriptor itself.
    for (auto& l : live_) {
      if (l->fd >= 0 && !l->finished.load()) {
        ::shutdown(l->fd, SHUT_RDWR);
        ++closed;
      }
    }
  }
  {
    std::lock_guard lock(mode_mutex_);
    ++closings_;  // and those held by the black hole
  }
  mode_changed_.notify_all();
  return closed;
}

bool TdsServer::take_large_slot(Clock::time_point deadline) {
  std::unique_lock lock(large_mutex_);
  const bool free = large_freed_.wait_until(lock, deadline, [&] {
    return stopping_.load() || large_in_use_ < std::max<std::size_t>(1, limits_.large_requests);
  });
  if (!free || stopping_.load()) return false;
  ++large_in_use_;
  return true;
}

void TdsServer::give_large_slot() {
  {
    std::lock_guard lock(large_mutex_);
    --large_in_use_;
  }
  large_freed_.notify_one();
}

bool TdsServer::evict_one_not_logged_in() {
  std::lock_guard lock(mutex_);
  for (auto& l : live_) {  // oldest first
    if (l->fd >= 0 && !l->logged_in.load() && !l->evicted) {
      // Its thread wakes from recv() and closes the connection itself.
      ::shutdown(l->fd, SHUT_RDWR);
      l->evicted = true;
      ++evicted_;
      return true;
    }
  }
  return false;
}

void TdsServer::reap_finished() {
  std::list<std::unique_ptr<Live>> done;
  {
    std::lock_guard lock(mutex_);
    for (auto it = live_.begin(); it != live_.end();) {
      if ((*it)->finished.load()) {
        done.push_back(std::move(*it));
        it = live_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& l : done) l->thread.join();
}

void TdsServer::stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  stopping_.store(true);
  {
    std::lock_guard lock(large_mutex_);  // a connection waiting for a large slot wakes
  }
  large_freed_.notify_all();
  {
    std::lock_guard lock(mode_mutex_);  // and one held by the black hole
  }
  mode_changed_.notify_all();
  const char byte = 1;
  [[maybe_unused]] const ssize_t w = ::write(wake_fds_[1], &byte, 1);
  acceptor_.join();
  ::close(listen_fd_);
  listen_fd_ = -1;
  std::list<std::unique_ptr<Live>> all;
  {
    std::lock_guard lock(mutex_);
    // shutdown() wakes a thread blocked in recv(); the thread itself closes the descriptor.
    for (auto& l : live_) {
      if (l->fd >= 0) ::shutdown(l->fd, SHUT_RDWR);
    }
    all.swap(live_);
  }
  for (auto& l : all) l->thread.join();
  ::close(wake_fds_[0]);
  ::close(wake_fds_[1]);
  wake_fds_[0] = wake_fds_[1] = -1;
}

}  // namespace sandbox::tds
