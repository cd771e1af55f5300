#include "http/guarded_server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include <taviksms_common/ascii.h>
#include "platform/net.h"

namespace sandbox {

void exclusive_listen_options(socket_t sock) {
  net::set_listen_options(sock);
}

namespace {

using Clock = std::chrono::steady_clock;

// What a closing connection may still send to be dropped before it is cut off.
constexpr std::size_t kMaxDroppedBytes = 256 * 1024;

int ms_until(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 60000));
}

// `text` as the inside of a JSON string: quotes, backslashes and control bytes escaped, bytes
// past ASCII replaced (a refusal may quote what a client sent).
std::string json_text(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (b < 0x20) {
      out += "\\u00";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += b < 0x80 ? ch : '?';
    }
  }
  return out;
}

// A short answer written without blocking (best effort), for refusals made outside handlers.
// The connection closes after it.
void refuse(net::Socket fd, int status, std::string_view reason, std::string_view text) {
  const std::string body = "{\"error\":\"" + json_text(text) + "\"}";
  std::string out = "HTTP/1.1 " + std::to_string(status) + " ";
  out += reason;
  out += "\r\nContent-Type: application/json; charset=utf-8\r\nConnection: close\r\n";
  if (status == 503) out += "Retry-After: 1\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  net::send_some(fd, out.data(), out.size(), true);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// The head's lines after the request line, each as name and value.
template <typename Fn>
void for_each_header(std::string_view head, Fn fn) {
  std::size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    const std::size_t end = head.find('\n', pos + 1);
    const std::string_view line = head.substr(
        pos + 1, end == std::string_view::npos ? std::string_view::npos : end - pos - 1);
    pos = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    fn(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
}

struct HeadFacts {
  std::string_view method;
  std::optional<std::size_t> content_length;  // nullopt: none
  std::optional<std::string> bad;             // why the head's framing is refused
  bool chunked = false;
  bool expect_continue = false;  // "Expect: 100-continue": the client waits before its body
};

HeadFacts read_head(std::string_view head) {
  HeadFacts f;
  f.method = head.substr(0, std::min(head.find(' '), head.size()));
  int lengths = 0;
  for_each_header(head, [&](std::string_view name, std::string_view value) {
    if (taviksms::ascii::iequals(name, "Content-Length")) {
      std::size_t n = 0;
      bool ok = !value.empty() && value.size() <= 18 && ++lengths == 1;
      for (char ch : value) {
        if (ch < '0' || ch > '9') ok = false;
        n = n * 10 + static_cast<std::size_t>(ch - '0');
      }
      if (ok) {
        f.content_length = n;
      } else {
        f.bad = "bad Content-Length";
      }
    } else if (taviksms::ascii::iequals(name, "Transfer-Encoding")) {
      // Only chunked is understood; anything else would leave the body's end unknown.
      if (!taviksms::ascii::iequals(value, "chunked") || f.chunked) {
        f.bad = "Transfer-Encoding other than chunked";
      }
      f.chunked = true;
    } else if (taviksms::ascii::iequals(name, "Expect")) {
      f.expect_continue = taviksms::ascii::iequals(value, "100-continue");
    }
  });
  // Both would let two parsers disagree on where the body ends.
  if (f.chunked && f.content_length) f.bad = "both Content-Length and Transfer-Encoding";
  return f;
}

// Where the head ends (the length of the head with its blank line), or 0 when it has not yet.
std::size_t head_length(std::string_view buf) {
  const std::size_t crlf = buf.find("\r\n\r\n");
  const std::size_t lf = buf.find("\n\n");
  if (crlf == std::string_view::npos && lf == std::string_view::npos) return 0;
  if (lf < crlf) return lf + 2;
  return crlf + 4;
}

// Removes the head's Expect lines: the polling thread answered them, the handler must not again.
void drop_expect_lines(std::string& buf, std::size_t& head_len) {
  std::size_t pos = buf.find('\n');
  while (pos != std::string::npos && pos + 1 < head_len) {
    const std::size_t start = pos + 1;
    const std::size_t end = buf.find('\n', start);
    if (end == std::string::npos || end >= head_len) return;
    const std::string_view line(buf.data() + start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        taviksms::ascii::iequals(trim(line.substr(0, colon)), "Expect")) {
      buf.erase(start, end + 1 - start);
      head_len -= end + 1 - start;
      continue;  // pos still ends the line before
    }
    pos = end;
  }
}

// Methods whose body the HTTP library reads before the handler runs; it leaves any other
// method's body unread.
bool library_reads_body(std::string_view method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE" ||
         method == "PRI";
}

// The request stream a handler reads: exactly the bytes of one request, gathered by the polling
// thread (past them it reads an end of stream, never the socket); writes wait at most the write
// timeout.
class GatheredStream : public httplib::Stream {
 public:
  GatheredStream(net::Socket fd, std::string_view request, std::chrono::milliseconds write_timeout)
      : fd_(fd), request_(request), write_timeout_(write_timeout) {}

  bool is_readable() const override { return pos_ < request_.size(); }
  bool is_writable() const override {
    net::PollFd p{fd_, POLLOUT, 0};
    return net::poll(&p, 1, static_cast<int>(write_timeout_.count())) > 0;
  }
  ssize_t read(char* ptr, size_t size) override {
    const std::size_t n = std::min(size, request_.size() - pos_);
    std::memcpy(ptr, request_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    std::size_t sent = 0;
    while (sent < size) {
      if (!is_writable()) return -1;
      const long long n = net::send_some(fd_, ptr + sent, size - sent, true);
      if (n < 0 && (net::interrupted(net::last_error()) || net::would_block(net::last_error()))) {
        continue;
      }
      if (n <= 0) return -1;
      sent += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(sent);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    net::peer_address(fd_, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    net::local_address(fd_, ip, port);
  }
  socket_t socket() const override { return fd_; }

  // True when the handler read the request to its end.
  bool read_whole() const { return pos_ == request_.size(); }

 private:
  net::Socket fd_;
  std::string_view request_;
  std::size_t pos_ = 0;
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

GuardedHttpServer::GuardedHttpServer(HttpLimits limits)
    : limits_(limits), wake_(std::make_unique<net::Wakeup>()) {
  new_task_queue = [] { return new InlineQueue; };
  set_payload_max_length(limits_.max_body_bytes);
  poller_ = std::thread([this] { poll_loop(); });
  const std::size_t n = std::max<std::size_t>(1, limits_.workers);
  for (std::size_t i = 0; i < n; ++i) workers_.emplace_back([this] { worker_loop(); });
}

GuardedHttpServer::~GuardedHttpServer() {
  stop();
}

void GuardedHttpServer::stop() {
  if (stopped_) return;
  stopped_ = true;
  httplib::Server::stop();
  stopping_ = true;
  {
    std::lock_guard lock(mu_);
    // A handler blocked reading its body wakes up; its worker then closes the descriptor.
    for (const net::Socket fd : in_handlers_) net::shutdown_both(fd);
  }
  work_cv_.notify_all();
  wake_->signal();
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

std::string_view RequestHead::method() const {
  return head_.substr(0, std::min(head_.find(' '), head_.size()));
}

std::string_view RequestHead::path() const {
  const std::size_t start = std::min(head_.find(' '), head_.size());
  std::string_view target = head_.substr(std::min(start + 1, head_.size()));
  target = target.substr(0, target.find_first_of(" \r\n"));
  return target.substr(0, target.find('?'));
}

std::vector<std::string_view> RequestHead::values(std::string_view name) const {
  std::vector<std::string_view> out;
  for_each_header(head_, [&](std::string_view n, std::string_view value) {
    if (taviksms::ascii::iequals(n, name)) out.push_back(value);
  });
  return out;
}

void GuardedHttpServer::begin_closing(Conn& c, Clock::time_point now) {
  if (c.phase != Conn::Phase::kClosing) net::shutdown_send(c.fd);
  c.phase = Conn::Phase::kClosing;
  c.need = 0;  // counts the bytes dropped
  c.buf.clear();
  c.chunking.reset();
  c.deadline = now + std::chrono::seconds(1);
}

void GuardedHttpServer::close_conn(net::Socket fd) {
  net::shutdown_both(fd);
  net::close(fd);
  --open_;
}

bool GuardedHttpServer::process_and_close_socket(socket_t sock) {
  if (stopping_) {
    net::close(sock);
    return false;
  }
  if (open_.load() >= limits_.max_connections &&
      waiting_count_.load() <= pending_evictions_.load()) {
    ++refused_;
    refuse(sock, 503, "Service Unavailable", "too many connections");
    net::shutdown_both(sock);
    net::close(sock);
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
  wake_->signal();
}

GuardedHttpServer::Step GuardedHttpServer::advance(Conn& c, Clock::time_point now) {
  using Phase = Conn::Phase;
  if (c.phase == Phase::kClosing) return Step::kKeep;
  if (c.phase == Phase::kIdle && !c.buf.empty()) {
    c.phase = Phase::kHead;
    c.deadline = now + limits_.head_timeout;
  }
  if (c.phase == Phase::kHead) {
    const std::size_t head_len = head_length(c.buf);
    if (head_len > limits_.max_head_bytes ||
        (head_len == 0 && c.buf.size() > limits_.max_head_bytes)) {
      refuse(c.fd, 431, "Request Header Fields Too Large", "request head too large");
      return Step::kLinger;
    }
    if (head_len == 0) return Step::kKeep;
    const Step step = start_body(c, head_len, now);
    if (step != Step::kKeep) return step;
  }
  if (c.phase == Phase::kBody && c.chunking && !scan_chunks(c)) return Step::kLinger;
  if (c.phase == Phase::kBody && !c.chunking && c.buf.size() >= c.need) {
    dispatch(std::move(c));
    return Step::kDispatched;
  }
  return Step::kKeep;
}

GuardedHttpServer::Step GuardedHttpServer::start_body(Conn& c, std::size_t head_len,
                                                      Clock::time_point now) {
  const std::string_view head = std::string_view(c.buf).substr(0, head_len);
  const HeadFacts facts = read_head(head);
  if (facts.bad) {
    refuse(c.fd, 400, "Bad Request", *facts.bad);
    return Step::kLinger;
  }
  // A body without a length would be read until the client closes: refused at once, saying
  // what to send instead.
  if (!facts.content_length && !facts.chunked &&
      (facts.method == "POST" || facts.method == "PUT" || facts.method == "PATCH")) {
    refuse(c.fd, 400, "Bad Request",
           std::string(facts.method) +
               " without a body length: send an empty body with Content-Length: 0 (curl -d '')");
    return Step::kLinger;
  }
  // Before any of the body is read: a refused request's body is never looked at.
  if (admission_) {
    if (auto why = admission_(RequestHead(head))) {
      refuse(c.fd, 403, "Forbidden", *why);
      return Step::kLinger;
    }
  }
  if (facts.content_length && *facts.content_length > limits_.max_body_bytes) {
    refuse(c.fd, 413, "Payload Too Large",
           "request body over " + std::to_string(limits_.max_body_bytes) + " bytes");
    return Step::kLinger;
  }
  const bool has_body = facts.chunked || facts.content_length.value_or(0) > 0;
  c.body_for_handler = library_reads_body(facts.method);
  std::size_t length = head_len;
  if (facts.expect_continue) {
    drop_expect_lines(c.buf, length);
    if (has_body) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      net::send_some(c.fd, kContinue.data(), kContinue.size(), true);
    }
  }
  c.phase = Conn::Phase::kBody;
  c.deadline = now + limits_.body_timeout;
  if (facts.chunked) {
    c.chunking = Chunking{};
    c.chunking->scan = length;
  } else {
    c.need = length + facts.content_length.value_or(0);
  }
  return Step::kKeep;
}

bool GuardedHttpServer::scan_chunks(Conn& c) {
  using At = Chunking::At;
  Chunking& k = *c.chunking;
  static constexpr std::size_t kMaxLine = 1024;  // a size line with its extensions, a trailer
  auto malformed = [&] {
    refuse(c.fd, 400, "Bad Request", "malformed chunked body");
    return false;
  };
  for (;;) {
    if (k.at == At::kData) {
      const std::size_t have = c.buf.size() - k.scan;
      if (have < k.left) return true;
      k.scan += k.left;
      k.left = 0;
      if (c.buf.compare(k.scan - 2, 2, "\r\n") != 0) return malformed();
      k.at = At::kSizeLine;
      continue;
    }
    const std::size_t eol = c.buf.find("\r\n", k.scan);
    if (eol == std::string::npos) {
      return c.buf.size() - k.scan <= kMaxLine ? true : malformed();
    }
    const std::string_view line(c.buf.data() + k.scan, eol - k.scan);
    if (line.size() > kMaxLine) return malformed();
    k.scan = eol + 2;
    if (k.at == At::kTrailer) {
      if (!line.empty()) continue;
      // The body is complete: the request is the bytes up to here.
      c.need = k.scan;
      c.chunking.reset();
      return true;
    }
    std::size_t size = 0;
    std::size_t digits = 0;
    for (const char ch : line) {
      const int v = ch >= '0' && ch <= '9'   ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
      if (v < 0) break;
      if (++digits > 8) return malformed();
      size = size * 16 + static_cast<std::size_t>(v);
    }
    if (digits == 0) return malformed();
    k.decoded += size;
    // The framing may cost more than the body (one-byte chunks): bounded as well.
    if (k.decoded > limits_.max_body_bytes || k.scan > 2 * limits_.max_body_bytes + 65536) {
      refuse(c.fd, 413, "Payload Too Large",
             "request body over " + std::to_string(limits_.max_body_bytes) + " bytes");
      return false;
    }
    if (size == 0) {
      k.at = At::kTrailer;
    } else {
      k.at = At::kData;
      k.left = size + 2;
    }
  }
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
  std::vector<net::PollFd> fds;
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
        const net::Socket fd = c.fd;
        // A kept-alive connection may already hold the start of its next request.
        Step step = advance(c, now);
        c.since = now;
        if (step == Step::kLinger || c.phase == Conn::Phase::kClosing) {
          begin_closing(c, now);
          step = Step::kKeep;
        }
        if (step == Step::kKeep) waiting_[fd] = std::move(c);
        if (step == Step::kClose) close_conn(fd);
      }
      evict_longest_waiting();
      waiting_count_ = waiting_.size();
    }
    fds.clear();
    fds.push_back({wake_->socket(), POLLIN, 0});
    auto now = Clock::now();
    auto next = now + std::chrono::seconds(1);
    for (const auto& [fd, c] : waiting_) {
      fds.push_back({fd, POLLIN, 0});
      next = std::min(next, c.deadline);
    }
    const int r = net::poll(fds.data(), fds.size(), ms_until(next, now));
    if (r < 0 && !net::interrupted(net::last_error())) break;
    if (stopping_) break;
    if (fds[0].revents != 0) wake_->drain();
    now = Clock::now();
    for (std::size_t i = 1; i < fds.size(); ++i) {
      const net::Socket fd = fds[i].fd;
      auto it = waiting_.find(fd);
      if (it == waiting_.end()) continue;
      Conn& c = it->second;
      Step step = Step::kKeep;
      if (fds[i].revents != 0) {
        const long long n = net::receive_some(fd, chunk, sizeof chunk, true);
        if (n > 0 && c.phase != Conn::Phase::kClosing) {
          c.buf.append(chunk, static_cast<std::size_t>(n));
          step = advance(c, now);
        } else if (n > 0) {
          // Dropped; a client that goes on sending much more is cut off (reset) instead.
          c.need += static_cast<std::size_t>(n);
          if (c.need > kMaxDroppedBytes) step = Step::kClose;
        } else if (n == 0 || (n < 0 && !net::would_block(net::last_error()) &&
                              !net::interrupted(net::last_error()))) {
          step = Step::kClose;
        }
      }
      // Bytes arriving do not move the deadline: a request dripped slowly still runs out.
      if (step == Step::kKeep && c.deadline <= now) {
        // An unfinished request gets a 408; an idle or closing connection just closes.
        const bool unfinished = c.phase == Conn::Phase::kHead || c.phase == Conn::Phase::kBody;
        if (unfinished) refuse(fd, 408, "Request Timeout", "request too slow");
        step = unfinished ? Step::kLinger : Step::kClose;
      }
      if (step == Step::kLinger) {
        begin_closing(c, now);
        step = Step::kKeep;
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
    const Conn::Phase phase = victim->second.phase;
    if (phase == Conn::Phase::kHead || phase == Conn::Phase::kBody) {
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
    const net::Socket fd = c.fd;
    // A request with a body the library will not read is answered with the connection closed.
    const bool unread_body = !c.body_for_handler && c.need > head_length(c.buf);
    GatheredStream stream(
        fd, std::string_view(c.buf).substr(0, c.need),
        std::chrono::milliseconds(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
    bool closed = false;
    bool ok = false;
    try {
      ok = process_request(stream, stopping_.load() || unread_body, closed, nullptr);
    } catch (...) {
      ok = false;
    }
    {
      std::lock_guard lock(mu_);
      in_handlers_.erase(fd);
    }
    // Answered before its body was read (refused, or a library error): the rest of the body
    // must never be taken for a next request, so the connection ends here.
    if (ok && !closed && !stopping_ && !unread_body && stream.read_whole()) {
      Conn next;
      next.fd = fd;
      next.buf = c.buf.substr(c.need);  // the start of a pipelined next request, if any
      next.deadline = Clock::now() + limits_.idle_timeout;
      hand_back(std::move(next));
    } else if (!stopping_) {
      // Closed once what the client still sends has been dropped (see Conn::Phase::kClosing).
      Conn closing;
      closing.fd = fd;
      closing.phase = Conn::Phase::kClosing;
      hand_back(std::move(closing));
    } else {
      close_conn(fd);
    }
  }
}

}  // namespace sandbox
