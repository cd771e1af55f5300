// Three HTTP mirrors serving GET /uini/ip1.ini, each with a mode the control port sets.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "http/guarded_server.h"
#include "mirrors/ini.h"

namespace sandbox {

enum class MirrorMode {
  Up,
  Down,
  NotFound,
  ServerError,
  NoSmsId,
  Hang,
  Html,
  Binary,
  Custom,
  Trickle,      // the file, one byte a second
  CloseMidBody  // the file's headers and first half, then the connection closes
};

// "up", "down", "404", "500", "no-sms-id", "hang", "html", "binary", "custom", "trickle",
// "close-mid-body".
std::optional<MirrorMode> parse_mirror_mode(std::string_view text);
std::string_view mirror_mode_name(MirrorMode mode);

class Mirror {
 public:
  // `limits`: slow and idle clients, connection cap and body size (see GuardedHttpServer).
  Mirror(std::string host, std::uint16_t port, MirrorEndpoints endpoints, HttpLimits limits = {});
  ~Mirror();
  Mirror(const Mirror&) = delete;
  Mirror& operator=(const Mirror&) = delete;

  // Binds (port 0: the system picks one, kept for later reopening) and serves. Throws
  // std::runtime_error when the port cannot be bound.
  void start();
  // Closes the listener, releases hanging requests, joins every thread.
  void stop();

  std::uint16_t port() const { return port_; }

  // `down` closes the listening socket; leaving `down` binds the same port again (throws
  // std::runtime_error if that fails, the mirror then stays down).
  void set_mode(MirrorMode mode, std::string custom_body = {});
  MirrorMode mode() const;
  std::uint64_t hits() const;
  void reset_hits();
  // Each answer goes out this long after its request arrived whole (0: at once), as across a
  // network with this round-trip time.
  void set_latency(std::chrono::milliseconds latency);
  std::chrono::milliseconds latency() const;

 private:
  void open_listener();   // lifecycle_mu_ held
  void close_listener();  // lifecycle_mu_ held
  void handle(const httplib::Request& request, httplib::Response& response);
  void answer(MirrorMode mode, const std::string& custom, const httplib::Request& request,
              httplib::Response& response);

  const std::string host_;
  std::uint16_t port_;
  const MirrorEndpoints endpoints_;

  std::mutex lifecycle_mu_;  // serialises start/stop/reopen
  const HttpLimits limits_;
  std::unique_ptr<GuardedHttpServer> server_;
  std::thread thread_;

  mutable std::mutex mu_;
  std::condition_variable changed_;
  MirrorMode mode_ = MirrorMode::Up;
  std::string custom_body_;
  std::uint64_t generation_ = 0;  // bumped on every mode change: wakes hanging requests
  bool stopping_ = false;
  std::uint64_t hits_ = 0;
  std::chrono::milliseconds latency_{0};

  std::mt19937_64 rng_;
};

class MirrorSet {
 public:
  MirrorSet(std::string host, std::array<std::uint16_t, 3> ports, MirrorEndpoints endpoints,
            HttpLimits limits = {});
  void start();  // all three, or throws
  void stop();

  // n is 1..3; anything else throws std::out_of_range.
  Mirror& mirror(int n);
  const Mirror& mirror(int n) const;
  // All three alike.
  void set_latency(std::chrono::milliseconds latency);

 private:
  std::array<std::unique_ptr<Mirror>, 3> mirrors_;
};

}  // namespace sandbox
