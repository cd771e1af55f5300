// The sandbox's TDS 7.4 endpoint: accepts clients, runs each connection on its own thread
// against a Session from the Backend.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backend.h"
#include "platform/net.h"
#include "tds/login.h"

namespace sandbox::tds {

// What one client may take of the server. At the cap, the oldest connection that has not
// logged in makes room for the new one (connections that never log in cannot lock clients out);
// with every slot logged in, the new connection is closed at once. A connection that runs out
// of time is closed (no request is ever cut short while it runs).
struct TdsLimits {
  std::size_t max_connections = 256;
  // From connecting to a completed login.
  std::chrono::milliseconds login_timeout{30000};
  // Logged in, waiting for the next request.
  std::chrono::milliseconds idle_timeout{1800000};
  // From a request's first byte to its last; also how long sending an answer may stall.
  std::chrono::milliseconds message_timeout{60000};
  // Requests over large_request_bytes being read or run at once: each costs several times its
  // size while it runs, so many at once could exhaust memory. Others wait, under their message
  // deadline, for one of them to have run.
  std::size_t large_requests = 1;
  std::size_t large_request_bytes = 64 * 1024;
};

// How the endpoint treats its clients, for tests of clients that must outlive a server's trouble.
enum class TdsMode {
  up,         // serves every connection
  blackhole,  // reads no request to its end and answers nothing, new connections included; the
              // connections stay open (a hung server). Leaving the mode closes them.
  close_new,  // every new connection is closed as soon as it is accepted (a server that cannot
              // take sessions); open ones are served
};
std::optional<TdsMode> parse_tds_mode(std::string_view text);  // "up", "blackhole", "close-new"
std::string_view tds_mode_name(TdsMode mode);

class TlsContext;

// Exchanges a client waited for on one connection: every answer the server sent, by what it
// answered. A TLS handshake costs one (TLS 1.3) or two (TLS 1.2) before the login.
struct RoundTrips {
  std::uint64_t prelogin = 0;
  std::uint64_t tls = 0;    // handshake flights answered
  std::uint64_t login = 0;  // LOGIN7
  std::uint64_t sql = 0;    // SQL batches
  std::uint64_t rpc = 0;    // RPCs (procedures, sp_executesql, prepared statements)
  std::uint64_t other = 0;  // ATTENTION, refusals of unknown requests
  std::uint64_t total() const { return prelogin + tls + login + sql + rpc + other; }
};

// One connection as GET /connections shows it.
struct ConnectionInfo {
  std::uint64_t number = 0;  // accept order, from 1
  std::int64_t session = 0;  // the service's connection number (the call log's "connection")
  std::uint16_t spid = 0;
  bool open = true;
  // "prelogin" (connected), "tls-handshake", "login", "logged-in", "closed".
  std::string state = "prelogin";
  std::string encryption;  // "" before PRELOGIN, then "none", "login" or "session"
  std::string tls_version;
  std::string tls_cipher;
  std::string closed_because;  // set when the server closed it for a reason worth showing
  std::u16string user;         // the LOGIN7 name
  RoundTrips round_trips;
  std::chrono::system_clock::time_point connected_at;
};

class TdsServer {
 public:
  // Nothing is bound until start(). Port 0 asks the system for a free port.
  TdsServer(Backend& backend, std::string host, std::uint16_t port);
  ~TdsServer();  // stop()s
  TdsServer(const TdsServer&) = delete;
  TdsServer& operator=(const TdsServer&) = delete;

  // Binds, listens and starts accepting; throws std::runtime_error if the address cannot be
  // bound. Call once.
  void start();
  // Closes the listener, ends every live connection and joins all threads. Idempotent.
  void stop();

  // The bound port (the system's choice for port 0); valid after start().
  std::uint16_t port() const { return bound_port_; }
  // Connections accepted and not yet closed.
  std::size_t open_connections() const { return open_.load(); }
  // Connections accepted since start().
  std::uint64_t total_connections() const { return total_.load(); }

  // Connections refused because the cap was reached with every slot logged in, and connections
  // closed before login to make room for a new one.
  std::uint64_t refused_connections() const { return refused_.load(); }
  std::uint64_t evicted_connections() const { return evicted_.load(); }

  TdsMode mode() const { return mode_.load(); }
  void set_mode(TdsMode mode);
  // Closes every open connection at once, as a restart of the server ends them all; returns how
  // many there were. Clients see their connection closed by the server.
  std::size_t close_connections();

  // Upper bound of one client message (all its packets together); larger ones get an ERROR and
  // the connection closes. Default 8 MiB. Set before start().
  void set_max_message_bytes(std::size_t bytes) { max_message_bytes_ = bytes; }
  // Set before start().
  void set_limits(const TdsLimits& limits) { limits_ = limits; }
  // What PRELOGIN offers, and the certificate for it (required unless `setting` is kOff).
  // Set before start(); throws std::logic_error when the certificate is missing.
  void set_encryption(EncryptionSetting setting, std::shared_ptr<const TlsContext> certificate);
  EncryptionSetting encryption() const { return encryption_; }

  // Every answer (each TLS handshake flight too) goes out this long after its request arrived
  // whole, as across a network with this round-trip time. At most a minute; any time.
  void set_latency(std::chrono::milliseconds latency) { latency_ms_.store(latency.count()); }
  std::chrono::milliseconds latency() const {
    return std::chrono::milliseconds(latency_ms_.load());
  }

  // The open connections and the latest closed ones (at most kClosedKept), in accept order.
  std::vector<ConnectionInfo> connections() const;
  static constexpr std::size_t kClosedKept = 32;
  // Round trips of every connection since start().
  std::uint64_t total_round_trips() const { return round_trips_.load(); }

 private:
  struct Live {
    net::Socket fd = net::kNoSocket;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::atomic<bool> logged_in{false};
    bool evicted = false;
    mutable std::mutex info_mutex;  // guards info (the connection's thread writes it)
    ConnectionInfo info;
  };
  class Transport;

  // Waits (until `deadline`) for one of the large-request slots; false when none came free.
  bool take_large_slot(std::chrono::steady_clock::time_point deadline);
  void give_large_slot();

  void accept_loop();
  void serve(Live& live);
  // Sleeps until `when`, waking early for stop(); false when stopping.
  bool wait_until(std::chrono::steady_clock::time_point when) const;
  void reap_finished();
  // Holds a connection that met the black hole until the mode changes, its connections are
  // closed or the server stops.
  void hold_in_blackhole();
  // Closes the oldest connection that has not logged in; false when there is none.
  bool evict_one_not_logged_in();

  Backend& backend_;
  std::string host_;
  std::uint16_t requested_port_;
  std::uint16_t bound_port_ = 0;
  std::size_t max_message_bytes_;
  TdsLimits limits_;
  EncryptionSetting encryption_ = EncryptionSetting::kOff;
  std::shared_ptr<const TlsContext> certificate_;
  std::atomic<std::int64_t> latency_ms_{0};
  std::atomic<std::uint64_t> round_trips_{0};
  std::uint64_t accepted_ = 0;  // accept loop only
  net::Socket listen_fd_ = net::kNoSocket;
  std::unique_ptr<net::Wakeup> wake_;  // wakes the accept loop for stop()
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  bool stopped_ = false;

  mutable std::mutex mutex_;  // guards live_ and every Live::fd
  std::list<std::unique_ptr<Live>> live_;
  std::list<ConnectionInfo> closed_;  // the latest closed connections, guarded by mutex_
  std::atomic<std::size_t> open_{0};
  std::atomic<std::uint64_t> total_{0};
  std::atomic<std::uint64_t> refused_{0};
  std::atomic<std::uint64_t> evicted_{0};

  std::atomic<TdsMode> mode_{TdsMode::up};
  std::mutex mode_mutex_;
  std::condition_variable mode_changed_;
  std::uint64_t closings_ = 0;  // close_connections() calls so far (guarded by mode_mutex_)

  std::mutex large_mutex_;
  std::condition_variable large_freed_;
  std::size_t large_in_use_ = 0;
};

}  // namespace sandbox::tds
