#include "http/guarded_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "ascii.h"

namespace sandbox {

void exclusive_listen_options(int sock) {
  int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

namespace {

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 60000));
}

// A short answer written without blocking (best effort), for refusals made outside handlers.
void refuse(int fd, int status, std::string_view reason, std::string_view text) {
  std::string body = "{\"error\":\"";
  body += text;
  body += "\"}";
  std::string out = "HTTP/1.1 " + std::to_string(status) + " ";
  out += reason;
  out += "\r\nContent-Type: application/json\r\nConnection: close\r\n";
  if (status == 503) out += "Retry-After: 1\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  [[maybe_unused]] const ssize_t n =
      ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

struct HeadFacts {
  std::string_view method;
  std::optional<std::size_t> content_length;  // nullopt: none, or not a number
  bool bad_length = false;
  bool streamed = false;  // chunked, or the client waits for 100 Continue
};

HeadFacts read_head(std::string_view head) {
  HeadFacts f;
  f.method = head.substr(0, std::min(head.find(' '), head.size()));
  std::size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    const std::size_t end = head.find('\n', pos + 1);
    const std::string_view line = head.substr(
        pos + 1, end == std::string_view::npos ? std::string_view::npos : end - pos - 1);
    pos = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (ascii_iequals(name, "Content-Length")) {
      std::size_t n = 0;
      bool ok = !value.empty() && value.size() <= 18;
      for (char ch : value) {
        if (ch < '0' || ch > '9') ok = false;
        n = n * 10 + static_cast<std::size_t>(ch - '0');
      }
      if (ok) {
        f.content_length = n;
      } else {
        f.bad_length = true;
      }
    } else if (ascii_iequals(name, "Transfer-Encoding") || (ascii_iequals(name, "Expect"))) {
      f.streamed = true;
    }
  }
  return f;
}

// The request stream a handler reads: the bytes the polling thread gathered, then the socket,
// under one deadline; writes wait at most the write timeout.
class GatheredStream : public httplib::Stream {
 public:
  GatheredStream(int fd, std::string buf, Clock::time_point read_deadline,
                 std::chrono::milliseconds write_timeout)
      : fd_(fd),
        buf_(std::move(buf)),
        read_deadline_(read_deadline),
        write_timeout_(write_timeout) {}

  bool is_readable() const override {
    if (pos_ < buf_.size()) return true;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms_until(read_deadline_, Clock::now())) > 0;
  }
  bool is_writable() const override {
    pollfd p{fd_, POLLOUT, 0};
    return ::poll(&p, 1, static_cast<int>(write_timeout_.count())) > 0;
  }
  ssize_t read(char* ptr, size_t size) override {
    if (pos_ < buf_.size()) {
      const std::size_t n = std::min(size, buf_.size() - pos_);
      std::memcpy(ptr, buf_.data() + pos_, n);
      pos_ += n;
      return static_cast<ssize_t>(n);
    }
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, ms_until(read_deadline_, Clock::now()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;  // the deadline passed
      const ssize_t n = ::recv(fd_, ptr, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }
  ssize_t write(const char* ptr, size_t size) override {
    std::size_t sent = 0;
    while (sent < size) {
      if (!is_writable()) return -1;
      const ssize_t n = ::send(fd_, ptr + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return -1;
      sent += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(sent);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) describe(a, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) describe(a, ip, port);
  }
  socket_t socket() const override { return fd_; }

  // Gathered bytes the handler did not read: the start of a pipelined next request.
  std::string leftover() const { return buf_.substr(pos_); }

 private:
  static void describe(const sockaddr_storage& a, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
      const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
      ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
      port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
      const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
      ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
      port = ntohs(v6.sin6_port);
    }
    ip = text;
  }

  int fd_;
  std::string buf_;
  std::size_t pos_ = 0;
  Clock::time_point read_deadline_;
  std::chrono::milliseconds write_timeout_;
};

// Runs httplib's per-connection task right on its accept thread: the task only registers the
// connection with the polling thread.
class InlineQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

}  // namespace

GuardedHttpServer::GuardedHttpServer(HttpLimits limits) : limits_(limits) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  new_task_queue = [] { return new InlineQueue; };
  set_payload_max_length(limits_.max_body_bytes);
  poller_ = std::thread([this] { poll_loop(); });
  const std::size_t n = std::max<std::size_t>(1, limits_.workers);
  for (std::size_t i = 0; i < n; ++i) workers_.emplace_back([this] { worker_loop(); });
}

GuardedHttpServer::~GuardedHttpServer() {
  stop();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void GuardedHttpServer::stop() {
  if (stopped_) return;
  stopped_ = true;
  httplib::Server::stop();
  stopping_ = true;
  {
    std::lock_guard lock(mu_);
    // A handler blocked reading its body wakes up; its worker then closes the descriptor.
    for (int fd : in_handlers_) ::shutdown(fd, SHUT_RDWR);
  }
  work_cv_.notify_all();
  const char byte = 1;
  [[maybe_unused]] const ssize_t w = ::write(wake_[1], &byte, 1);
  if (poller_.joinable()) poller_.join();
  for (auto& t : workers_) {
    if (t.joinable()) t.join();
  }
  std::lock_guard lock(mu_);
  for (Conn& c : incoming_) close_conn(c.fd);
  for (Conn& c : work_) close_conn(c.fd);
  incoming_.clear();
  work_.clear();
}

void GuardedHttpServer::close_conn(int fd) {
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  --open_;
}

bool GuardedHttpServer::process_and_close_socket(socket_t sock) {
  if (stopping_) {
    ::close(sock);
    return false;
  }
  if (open_.load() >= limits_.max_connections &&
      waiting_count_.load() <= pending_evictions_.load()) {
    ++refused_;
    refuse(sock, 503, "Service Unavailable", "too many connections");
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return false;
  }
  // At the cap a waiting connection gives way (the polling thread picks it).
  if (open_.load() >= limits_.max_connections) ++pending_evictions_;
  ++open_;
  Conn c;
  c.fd = sock;
  c.deadline = Clock::now() + limits_.idle_timeout;
  hand_back(std::move(c));
  return true;
}

void GuardedHttpServer::hand_back(Conn c) {
  {
    std::lock_guard lock(mu_);
    incoming_.push_back(std::move(c));
  }
  const char byte = 1;
  [[maybe_unused]] const ssize_t w = ::write(wake_[1], &byte, 1);
}

GuardedHttpServer::Step GuardedHttpServer::advance(Conn& c, Clock::time_point now) {
  using Phase = Conn::Phase;
  if (c.phase == Phase::kIdle && !c.buf.empty()) {
    c.phase = Phase::kHead;
    c.deadline = now + limits_.head_timeout;
  }
  if (c.phase == Phase::kHead) {
    std::size_t end = c.buf.find("\r\n\r\n");
    std::size_t head_len = end == std::string::npos ? 0 : end + 4;
    if (end == std::string::npos) {
      end = c.buf.find("\n\n");
      head_len = end == std::string::npos ? 0 : end + 2;
    }
    if (head_len == 0) {
      if (c.buf.size() > limits_.max_head_bytes) {
        refuse(c.fd, 431, "Request Header Fields Too Large", "request head too large");
        return Step::kClose;
      }
      return Step::kKeep;
    }
    if (head_len > limits_.max_head_bytes) {
      refuse(c.fd, 431, "Request Header Fields Too Large", "request head too large");
      return Step::kClose;
    }
    const HeadFacts facts = read_head(std::string_view(c.buf).substr(0, head_len));
    if (facts.bad_length) {
      refuse(c.fd, 400, "Bad Request", "bad Content-Length");
      return Step::kClose;
    }
    // A body without a length would be read until the client closes: refused at once, saying
    // what to send instead.
    if (!facts.content_length && !facts.streamed &&
        (facts.method == "POST" || facts.method == "PUT" || facts.method == "PATCH")) {
      refuse(c.fd, 400, "Bad Request",
             std::string(facts.method) +
                 " without a body length: send an empty body with Content-Length: 0 (curl -d '')");
      return Step::kClose;
    }
    if (facts.content_length && *facts.content_length > limits_.max_body_bytes) {
      refuse(c.fd, 413, "Payload Too Large",
             "request body over " + std::to_string(limits_.max_body_bytes) + " bytes");
      return Step::kClose;
    }
    c.phase = Phase::kBody;
    c.need = facts.streamed ? head_len : head_len + facts.content_length.value_or(0);
    c.deadline = now + limits_.body_timeout;
  }
  if (c.phase == Phase::kBody && c.buf.size() >= c.need) {
    dispatch(std::move(c));
    return Step::kDispatched;
  }
  return Step::kKeep;
}

void GuardedHttpServer::dispatch(Conn c) {
  {
    std::lock_guard lock(mu_);
    in_handlers_.insert(c.fd);
    work_.push_back(std::move(c));
  }
  work_cv_.notify_one();
}

void GuardedHttpServer::poll_loop() {
  std::vector<pollfd> fds;
  char chunk[16384];
  while (!stopping_) {
    {
      std::vector<Conn> arrived;
      {
        std::lock_guard lock(mu_);
        arrived.swap(incoming_);
      }
      const auto now = Clock::now();
      for (Conn& c : arrived) {
        const int fd = c.fd;
        // A kept-alive connection may already hold the start of its next request.
        const Step step = advance(c, now);
        c.since = now;
        if (step == Step::kKeep) waiting_[fd] = std::move(c);
        if (step == Step::kClose) close_conn(fd);
      }
      evict_longest_waiting();
      waiting_count_ = waiting_.size();
    }
    fds.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    auto now = Clock::now();
    auto next = now + std::chrono::seconds(1);
    for (const auto& [fd, c] : waiting_) {
      fds.push_back({fd, POLLIN, 0});
      next = std::min(next, c.deadline);
    }
    const int r = ::poll(fds.data(), fds.size(), ms_until(next, now));
    if (r < 0 && errno != EINTR) break;
    if (stopping_) break;
    if (fds[0].revents != 0) {
      char sink[64];
      while (::read(wake_[0], sink, sizeof sink) > 0) {
      }
    }
    now = Clock::now();
    for (std::size_t i = 1; i < fds.size(); ++i) {
      const int fd = fds[i].fd;
      auto it = waiting_.find(fd);
      if (it == waiting_.end()) continue;
      Conn& c = it->second;
      Step step = Step::kKeep;
      if (fds[i].revents != 0) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
          c.buf.append(chunk, static_cast<std::size_t>(n));
          step = advance(c, now);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          step = Step::kClose;
        }
      }
      // Bytes arriving do not move the deadline: a request dripped slowly still runs out.
      if (step == Step::kKeep && c.deadline <= now) {
        // An unfinished request gets a 408; an idle connection just closes.
        if (c.phase != Conn::Phase::kIdle) refuse(fd, 408, "Request Timeout", "request too slow");
        step = Step::kClose;
      }
      if (step == Step::kClose) close_conn(fd);
      if (step != Step::kKeep) waiting_.erase(it);  // closed, or a worker's now
    }
    waiting_count_ = waiting_.size();
  }
  for (auto& [fd, c] : waiting_) close_conn(fd);
  waiting_.clear();
}

void GuardedHttpServer::evict_longest_waiting() {
  while (pending_evictions_.load() > 0) {
    auto victim = waiting_.end();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (victim == waiting_.end() || it->second.since < victim->second.since) victim = it;
    }
    if (victim == waiting_.end()) {
      pending_evictions_ = 0;  // nobody waits: the new connections stay, over the cap briefly
      return;
    }
    if (victim->second.phase != Conn::Phase::kIdle) {
      refuse(victim->first, 503, "Service Unavailable", "too many connections");
    }
    close_conn(victim->first);
    waiting_.erase(victim);
    --pending_evictions_;
  }
}

void GuardedHttpServer::worker_loop() {
  for (;;) {
    Conn c;
    {
      std::unique_lock lock(mu_);
      work_cv_.wait(lock, [&] { return stopping_ || !work_.empty(); });
      if (stopping_) return;
      c = std::move(work_.front());
      work_.pop_front();
    }
    const int fd = c.fd;
    GatheredStream stream(
        fd, std::move(c.buf), Clock::now() + limits_.body_timeout,
        std::chrono::milliseconds(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
    bool closed = false;
    bool ok = false;
    try {
      ok = process_request(stream, stopping_.load(), closed, nullptr);
    } catch (...) {
      ok = false;
    }
    {
      std::lock_guard lock(mu_);
      in_handlers_.erase(fd);
    }
    if (ok && !closed && !stopping_) {
      Conn next;
      next.fd = fd;
      next.buf = stream.leftover();
      next.deadline = Clock::now() + limits_.idle_timeout;
      hand_back(std::move(next));
    } else {
      close_conn(fd);
    }
  }
}

}  // namespace sandbox
