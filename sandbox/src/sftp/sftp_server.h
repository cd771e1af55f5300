// An upload-only SFTP server: password (or keyboard-interactive) login for one configured user,
// files land in DATA/uploads. One thread per session.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

enum class SftpMode {
  Up,
  RefuseWrites,  // opening a file for writing fails with SSH_FX_PERMISSION_DENIED
  Mute,          // new connections are accepted and never spoken to
  Drop,          // a write reaching the fault offset stores the bytes before it, then the
                 // connection is cut without an answer
  Stall,         // the same, but the connection stays open and silent until the mode changes
};

// "up", "refuse-writes", "mute", "drop", "stall".
std::optional<SftpMode> parse_sftp_mode(std::string_view text);
std::string_view sftp_mode_name(SftpMode mode);

struct SftpConfig {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: the system picks one
  std::string user;
  std::string password;
  // Holds ssh_host_ed25519_key (created when missing; ssh_host_rsa_key is used when present)
  // and uploads/.
  std::filesystem::path data_dir;
  // Idle limit for one session's handshake and requests; slow clients need a generous one.
  std::chrono::seconds session_timeout{120};
  // From connecting to a completed login: a client that connects and never speaks (or never
  // logs in) gives its slot back after this.
  std::chrono::milliseconds auth_timeout{20000};
  // Connections at once (logging in or logged in). At the cap the oldest connection still
  // logging in is cut to make room; with every slot logged in, a new one is closed at once.
  std::size_t max_sessions = 64;
};

class SftpServer {
 public:
  explicit SftpServer(SftpConfig config);
  ~SftpServer();
  SftpServer(const SftpServer&) = delete;
  SftpServer& operator=(const SftpServer&) = delete;

  // Loads or creates the host key, binds and starts accepting. Throws std::runtime_error.
  void start();
  // Closes the listener and ends every session and muted connection; returns when all threads
  // are joined.
  void stop();

  std::uint16_t port() const;
  std::filesystem::path uploads_dir() const;

  // `fault_offset` is the file offset at which Drop and Stall act (0: the first write).
  void set_mode(SftpMode mode, std::uint64_t fault_offset = 0);
  SftpMode mode() const;
  std::uint64_t fault_offset() const;

  // What the server sends reaches the client this much later (0: at once), as across a network
  // with this round-trip time. Connections made while it is 0 stay direct; the others follow
  // later changes.
  void set_latency(std::chrono::milliseconds latency);
  std::chrono::milliseconds latency() const;

  std::size_t open_sessions() const;
  std::uint64_t total_sessions() const;
  // Connections closed because max_sessions were open.
  std::uint64_t refused_sessions() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sandbox
