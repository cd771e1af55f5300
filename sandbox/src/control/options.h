// taviksms-sandbox's command line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tds/login.h"

namespace sandbox {

// Added round-trip time, in milliseconds, per endpoint (0: none). At most kMaxLatencyMs.
struct Latency {
  std::int64_t database = 0;
  std::int64_t mirrors = 0;
  std::int64_t sftp = 0;
};
inline constexpr std::int64_t kMaxLatencyMs = 60000;

// "MS" (every endpoint) or "database=MS,mirrors=MS,sftp=MS" (any of them; the rest 0). nullopt
// with `error` set when the text is not one of these or a value is out of range.
std::optional<Latency> parse_latency(const std::string& text, std::string& error);

struct Options {
  std::filesystem::path data_dir;
  bool reset = false;
  std::array<std::uint16_t, 3> mirror_ports{18081, 18082, 18083};
  std::uint16_t tds_port = 11433;
  std::uint16_t sftp_port = 12222;
  std::uint16_t control_port = 18090;
  bool ephemeral = false;  // already applied: every port above is 0
  std::string db_user = "sms_app";
  std::string db_password = "tavik2024db";
  std::string sftp_user = "smsftp";
  std::string sftp_password = "tavik2024ftp";
  std::optional<std::string> clock;  // "YYYY-MM-DD HH:MM:SS", checked
  bool decoy_procedures = false;
  // What the database offers in PRELOGIN, and the certificate it uses (empty: one made at
  // start-up).
  tds::EncryptionSetting tds_encryption = tds::EncryptionSetting::kOffered;
  std::string tds_certificate;
  std::string tds_key;
  bool tds_tls13 = false;  // also TLS 1.3 inside PRELOGIN
  Latency latency;
  // Where to write the shell lines that point a program at this sandbox (empty: nowhere).
  std::filesystem::path env_file;
  bool help = false;
  bool version = false;

  // What one client may take (see docs/sandbox.md). Times in seconds.
  struct Limits {
    double http_head_timeout = 10;           // a request's first byte .. end of its head
    double http_body_timeout = 30;           // end of its head .. end of its body
    double http_idle_timeout = 5;            // open with no request begun
    std::size_t http_max_connections = 128;  // per HTTP listener (each mirror, control port)
    std::size_t max_body = 1u << 20;         // control port request bodies (mirrors: 64 KiB)
    std::size_t tds_max_connections = 256;
    double tds_login_timeout = 30;           // connect .. login done
    double tds_idle_timeout = 1800;          // logged in, between requests
    double tds_message_timeout = 60;         // a request's first byte .. its last
    std::size_t tds_max_message = 8u << 20;  // one request, all its packets
    std::size_t tds_large_requests = 1;      // requests over 64 KiB being read or run at once
    std::size_t sftp_max_sessions = 64;
    double sftp_auth_timeout = 20;  // connect .. login done
    std::size_t call_log_bytes = 64u << 20;
  } limits;
};

struct ParsedOptions {
  std::optional<Options> options;  // set on success
  std::string error;               // one line, set on failure
};

// `args` excludes the program name. Accepts "--name value" and "--name=value".
ParsedOptions parse_options(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace sandbox
