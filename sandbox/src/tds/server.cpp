#include "tds/server.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/net.h"
#include "tds/connection.h"
#include "tds/packet.h"
#include "tds/tls.h"

namespace sandbox::tds {
namespace {

using Clock = std::chrono::steady_clock;

// Reads under deadlines: `first` until the current message's first byte arrives, then
// `rest_after` from that byte (never later than `first` would allow before login).
class SocketSource : public ByteSource {
 public:
  explicit SocketSource(net::Socket fd) : fd_(fd) {}

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
      net::PollFd p{fd_, POLLIN, 0};
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      const int r =
          net::poll(&p, 1, static_cast<int>(std::min<long long>(wait.count() + 1, 60000)));
      if (r < 0 && net::interrupted(net::last_error())) continue;
      if (r < 0) return false;
      if (r == 0) continue;  // the loop re-checks the deadline
      const long long n = net::receive_some(fd_, out.data() + got, out.size() - got);
      if (n > 0) {
        if (!started_) {
          started_ = true;
          deadline_ = Clock::now() + rest_;
          if (cap_at_first_) deadline_ = std::min(deadline_, first_);
        }
        got += static_cast<std::size_t>(n);
      } else if (n < 0 && net::interrupted(net::last_error())) {
        continue;
      } else {
        return false;
      }
    }
    return true;
  }

 private:
  net::Socket fd_;
  Clock::time_point first_ = Clock::time_point::max();
  Clock::time_point deadline_ = Clock::time_point::max();
  std::chrono::milliseconds rest_{0};
  bool cap_at_first_ = false;
  bool started_ = false;
};

bool send_all(net::Socket fd, std::span<const std::uint8_t> data) {
  return net::send_all(fd, data.data(), data.size());
}

// What the message reader reads: the socket itself, or, once TLS is on, the plain text of the
// TLS records that arrive on it, read a record at a time so that nothing past the last record
// is taken (after a login-only handshake the connection goes on in clear).
class ConnectionSource : public ByteSource {
 public:
  explicit ConnectionSource(SocketSource& socket) : socket_(socket) {}

  void use_tls(TlsChannel* tls) { tls_ = tls; }
  // Decrypted bytes no message has taken yet.
  bool has_unread() const { return pos_ < plain_.size(); }
  const std::string& failure() const { return failure_; }

  bool read_exact(std::span<std::uint8_t> out) override {
    if (tls_ == nullptr) return socket_.read_exact(out);
    while (plain_.size() - pos_ < out.size()) {
      if (!read_record()) return false;
    }
    std::copy_n(plain_.begin() + static_cast<std::ptrdiff_t>(pos_), out.size(), out.begin());
    pos_ += out.size();
    if (pos_ == plain_.size()) {
      plain_.clear();
      pos_ = 0;
    }
    return true;
  }

 private:
  bool read_record() {
    std::array<std::uint8_t, kTlsRecordHeader> header{};
    if (!socket_.read_exact(header)) return false;
    const std::size_t length = (std::size_t{header[3]} << 8) | header[4];
    if (length == 0 || length > kTlsMaxRecordBody) {
      failure_ = "not a TLS record where one was due";
      return false;
    }
    std::vector<std::uint8_t> body(length);
    if (!socket_.read_exact(body)) return false;
    tls_->feed(header);
    tls_->feed(body);
    if (!tls_->decrypt(plain_)) {
      failure_ = tls_->failure();
      return false;
    }
    return true;
  }

  SocketSource& socket_;
  TlsChannel* tls_ = nullptr;
  std::vector<std::uint8_t> plain_;
  std::size_t pos_ = 0;
  std::string failure_;
};

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
  const net::Listener listener = net::listen_on(host_, requested_port_, 128);
  listen_fd_ = listener.socket;
  bound_port_ = listener.port;
  try {
    wake_ = std::make_unique<net::Wakeup>();
  } catch (...) {
    net::close(listen_fd_);
    listen_fd_ = net::kNoSocket;
    throw;
  }
  started_ = true;
  acceptor_ = std::thread([this] { accept_loop(); });
}

void TdsServer::accept_loop() {
  std::uint32_t spid_counter = 0;
  while (!stopping_.load()) {
    net::PollFd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_->socket(), POLLIN, 0}};
    const int r = net::poll(fds, 2, 1000);
    reap_finished();
    if (r < 0 && !net::interrupted(net::last_error())) break;
    if (r <= 0 || fds[1].revents != 0) continue;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const net::Socket fd = net::accept(listen_fd_);
    if (fd == net::kNoSocket) {
      // Out of descriptors or a connection reset before accept: back off briefly, keep serving.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (mode_.load() == TdsMode::close_new) {
      ++total_;
      net::close(fd);
      continue;
    }
    if (open_.load() >= limits_.max_connections && !evict_one_not_logged_in()) {
      // Over the cap: closed before any thread or session is spent on it.
      ++refused_;
      net::close(fd);
      continue;
    }
    net::set_nodelay(fd);
    // A client that stops reading its answer is dropped after the message deadline.
    net::set_send_timeout(fd, limits_.message_timeout);
    // SPIDs are non-zero; start where a real server's user sessions start.
    const auto spid = static_cast<std::uint16_t>(51 + (spid_counter++ % 30000));
    std::lock_guard lock(mutex_);
    if (stopping_.load()) {
      net::close(fd);
      break;
    }
    auto live = std::make_unique<Live>();
    live->fd = fd;
    live->info.number = ++accepted_;
    live->info.spid = spid;
    live->info.connected_at = std::chrono::system_clock::now();
    Live& ref = *live;
    live_.push_back(std::move(live));
    ++open_;
    ++total_;
    ref.thread = std::thread([this, &ref] { serve(ref); });
  }
}

namespace {

// What a client message's answer counts as.
std::uint64_t RoundTrips::*round_trip_kind(std::uint8_t type) {
  switch (type) {
    case packet_type::kPrelogin:
      return &RoundTrips::prelogin;
    case packet_type::kLogin7:
      return &RoundTrips::login;
    case packet_type::kSqlBatch:
      return &RoundTrips::sql;
    case packet_type::kRpc:
      return &RoundTrips::rpc;
    default:
      return &RoundTrips::other;
  }
}

}  // namespace

bool TdsServer::wait_until(Clock::time_point when) const {
  for (;;) {
    if (stopping_.load()) return false;
    const auto now = Clock::now();
    if (now >= when) return true;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(when - now, std::chrono::milliseconds(50)));
  }
}

void TdsServer::serve(Live& live) {
  const net::Socket fd = live.fd;  // stays open until this thread closes it below
  const std::uint16_t spid = live.info.spid;
  auto update = [&live](auto&& change) {
    std::lock_guard lock(live.info_mutex);
    change(live.info);
  };
  std::string closed_because;
  try {
    std::unique_ptr<Session> session = backend_.open_session();
    session->allow_row_streaming();
    update([&](ConnectionInfo& i) { i.session = session->connection_id(); });
    Connection conn(*session, encryption_);
    SocketSource socket(fd);
    ConnectionSource source(socket);
    std::unique_ptr<TlsChannel> tls;
    bool encrypt_answers = false;
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
      large.held = take_large_slot(socket.deadline());
      return large.held;
    });

    // Every answer goes out no earlier than `answer_due` (its request's arrival plus the
    // latency), and its first bytes count one round trip of the kind its request was.
    Clock::time_point answer_due;
    std::uint64_t RoundTrips::*answering = nullptr;
    auto request_arrived = [&](std::uint64_t RoundTrips::*kind) {
      answer_due = Clock::now() + latency();
      answering = kind;
    };
    auto send = [&](std::span<const std::uint8_t> bytes) {
      if (answering != nullptr) {
        if (!wait_until(answer_due)) return false;
        update([&](ConnectionInfo& i) { ++(i.round_trips.*answering); });
        ++round_trips_;
        answering = nullptr;
      }
      if (!encrypt_answers) return send_all(fd, bytes);
      return tls->encrypt(bytes) && send_all(fd, tls->take_output());
    };

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
        if (!send(packet)) return false;
      }
      unsent.insert(unsent.end(), rest.begin(), rest.end());
      return true;
    });

    const Clock::time_point login_deadline = Clock::now() + limits_.login_timeout;
    // The TLS handshake, its records carried in PRELOGIN packets both ways. Anything else from
    // the client (a login in clear, say) ends the connection.
    auto handshake = [&]() {
      update([](ConnectionInfo& i) { i.state = "tls-handshake"; });
      tls = std::make_unique<TlsChannel>(*certificate_);
      for (;;) {
        socket.begin_message(login_deadline, limits_.message_timeout, true);
        std::array<std::uint8_t, kHeaderSize> raw{};
        if (!socket.read_exact(raw)) {
          closed_because = "the TLS handshake did not go on";
          return false;
        }
        const PacketHeader h = parse_header(raw);
        if (h.type != packet_type::kPrelogin || h.length < kHeaderSize) {
          // A TLS record (content type 20-23, version 3.x) where a packet was due: the client
          // thinks the handshake is over while the server still waits for its last message.
          const bool tls_record = raw[0] >= 20 && raw[0] <= 23 && raw[1] == 3;
          closed_because =
              h.type == packet_type::kLogin7 ? "a login in clear after agreeing to encrypt"
              : tls_record ? "TLS records outside PRELOGIN packets before the client finished "
                             "the handshake"
                           : "a message other than the TLS handshake after PRELOGIN";
          return false;
        }
        std::vector<std::uint8_t> body(h.length - kHeaderSize);
        if (!socket.read_exact(body)) {
          closed_because = "the TLS handshake did not go on";
          return false;
        }
        request_arrived(&RoundTrips::tls);
        tls->feed(body);
        const TlsChannel::Step step = tls->handshake();
        const std::vector<std::uint8_t> out = tls->take_output();
        // An alert about a failure goes back too, so the client can say why.
        if (!out.empty() && !send(frame_message(packet_type::kPrelogin, out, kDefaultPacketSize,
                                                spid, packet_id))) {
          return false;
        }
        if (step == TlsChannel::Step::kFailed) {
          closed_because = tls->failure();
          return false;
        }
        if (step == TlsChannel::Step::kDone) break;
      }
      update([&](ConnectionInfo& i) {
        i.tls_version = tls->version();
        i.tls_cipher = tls->cipher();
        i.state = "login";
      });
      source.use_tls(tls.get());
      encrypt_answers = conn.encryption() == Encryption::kSession;
      return true;
    };

    for (;;) {
      Message m;
      // Before login everything must be done by the login deadline; afterwards a connection
      // may idle between requests, and each request must arrive whole in good time.
      if (conn.logged_in()) {
        socket.begin_message(Clock::now() + limits_.idle_timeout, limits_.message_timeout, false);
      } else {
        socket.begin_message(login_deadline, limits_.message_timeout, true);
      }
      const ReadResult r = reader.read(m);
      if (r == ReadResult::kMessage && conn.encryption() == Encryption::kLogin && tls) {
        // Login-only encryption: this message came encrypted and must be the login; the client
        // drops TLS after it, and so does the server.
        source.use_tls(nullptr);
        if (m.type != packet_type::kLogin7 || source.has_unread()) {
          closed_because = "a message other than the login under login-only encryption";
          break;
        }
        tls.reset();
      }
      if (r != ReadResult::kMessage && r != ReadResult::kTooLarge && !source.failure().empty()) {
        closed_because = source.failure();
      }
      Reply reply;
      const std::size_t packet_size = conn.packet_size();
      if (r == ReadResult::kTooLarge) {
        request_arrived(&RoundTrips::other);
        reply = Connection::too_large();
      } else if (r != ReadResult::kMessage) {
        break;
      } else if (mode_.load() == TdsMode::blackhole) {
        hold_in_blackhole();  // the request is never answered
        break;
      } else {
        request_arrived(round_trip_kind(m.type));
        reply = conn.handle(m);
        if (conn.logged_in()) live.logged_in.store(true);
      }
      // Run: what it cost is freed; its answer's rest is small or was streamed.
      const std::uint8_t type = m.type;
      m = Message{};
      large.release();
      if (!reply.payload.empty()) {
        unsent.insert(unsent.end(), reply.payload.begin(), reply.payload.end());
        const auto bytes =
            frame_message(packet_type::kTabularResult, unsent, packet_size, spid, packet_id);
        unsent.clear();
        if (!send(bytes)) break;
      }
      unsent.clear();
      if (type == packet_type::kPrelogin) {
        update([&](ConnectionInfo& i) {
          i.encryption = encryption_name(conn.encryption());
          if (reply.close) i.closed_because = "PRELOGIN refused";
        });
      } else if (type == packet_type::kLogin7) {
        update([&](ConnectionInfo& i) {
          i.user = conn.login_user();
          if (conn.logged_in()) i.state = "logged-in";
          if (reply.close && !conn.logged_in()) i.closed_because = "login refused";
        });
      }
      if (reply.close) break;
      if (type == packet_type::kPrelogin && conn.encryption() != Encryption::kNone &&
          !handshake()) {
        break;
      }
    }
  } catch (...) {
    // A failing session or allocation ends this connection only.
  }
  {
    std::lock_guard lock(mutex_);
    net::close(live.fd);
    live.fd = net::kNoSocket;
    std::lock_guard info_lock(live.info_mutex);
    live.info.open = false;
    live.info.state = "closed";
    if (live.info.closed_because.empty()) live.info.closed_because = closed_because;
    closed_.push_back(live.info);
    if (closed_.size() > kClosedKept) closed_.pop_front();
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
      if (l->fd != net::kNoSocket && !l->finished.load()) {
        net::shutdown_both(l->fd);
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

std::vector<ConnectionInfo> TdsServer::connections() const {
  std::vector<ConnectionInfo> out;
  std::lock_guard lock(mutex_);
  out.assign(closed_.begin(), closed_.end());
  for (const auto& l : live_) {
    std::lock_guard info_lock(l->info_mutex);
    if (l->info.open) out.push_back(l->info);
  }
  std::sort(out.begin(), out.end(),
            [](const ConnectionInfo& a, const ConnectionInfo& b) { return a.number < b.number; });
  return out;
}

void TdsServer::set_encryption(EncryptionSetting setting,
                               std::shared_ptr<const TlsContext> certificate) {
  if (setting != EncryptionSetting::kOff && !certificate) {
    throw std::logic_error("TdsServer: encryption without a certificate");
  }
  encryption_ = setting;
  certificate_ = std::move(certificate);
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
    if (l->fd != net::kNoSocket && !l->logged_in.load() && !l->evicted) {
      // Its thread wakes from recv() and closes the connection itself.
      net::shutdown_both(l->fd);
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
  wake_->signal();
  acceptor_.join();
  net::close(listen_fd_);
  listen_fd_ = net::kNoSocket;
  std::list<std::unique_ptr<Live>> all;
  {
    std::lock_guard lock(mutex_);
    // shutdown() wakes a thread blocked in recv(); the thread itself closes the descriptor.
    for (auto& l : live_) {
      if (l->fd != net::kNoSocket) net::shutdown_both(l->fd);
    }
    all.swap(live_);
  }
  for (auto& l : all) l->thread.join();
  wake_.reset();
}

}  // namespace sandbox::tds
