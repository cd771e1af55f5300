#include "control/options.h"

#include <charconv>
#include <cstdio>
#include <string_view>

#include "platform/process.h"
#include "utf8_path.h"

namespace sandbox {

namespace {

std::optional<std::uint16_t> parse_port(const std::string& text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// Seconds, fractions allowed: "5", "0.5". Above zero, at most a day.
std::optional<double> parse_seconds(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !(value > 0) || value > 86400) {
    return std::nullopt;
  }
  return value;
}

// A positive count; "k" and "M" (KiB, MiB) accepted for sizes.
std::optional<std::size_t> parse_count(const std::string& text) {
  std::string digits = text;
  std::size_t scale = 1;
  if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'K')) {
    scale = 1024;
    digits.pop_back();
  } else if (!digits.empty() && digits.back() == 'M') {
    scale = 1024 * 1024;
    digits.pop_back();
  }
  unsigned long long value = 0;
  const char* end = digits.data() + digits.size();
  auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || ec != std::errc() || ptr != end || value == 0 ||
      value > (1ull << 40) / scale) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(value * scale);
}

bool is_clock_text(const std::string& t) {
  // YYYY-MM-DD HH:MM:SS with plausible field ranges.
  if (t.size() != 19) return false;
  static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd";
  for (std::size_t i = 0; i < t.size(); ++i) {
    bool digit = t[i] >= '0' && t[i] <= '9';
    if ((kShape[i] == 'd') != digit) return false;
    if (kShape[i] != 'd' && t[i] != kShape[i]) return false;
  }
  auto num = [&](std::size_t pos, std::size_t len) { return std::stoi(t.substr(pos, len)); };
  int month = num(5, 2), day = num(8, 2), hour = num(11, 2), minute = num(14, 2), sec = num(17, 2);
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
         sec <= 59;
}

std::optional<double*> seconds_option(Options::Limits& l, const std::string& name) {
  if (name == "--http-head-timeout") return &l.http_head_timeout;
  if (name == "--http-body-timeout") return &l.http_body_timeout;
  if (name == "--http-idle-timeout") return &l.http_idle_timeout;
  if (name == "--tds-login-timeout") return &l.tds_login_timeout;
  if (name == "--tds-idle-timeout") return &l.tds_idle_timeout;
  if (name == "--tds-message-timeout") return &l.tds_message_timeout;
  if (name == "--sftp-auth-timeout") return &l.sftp_auth_timeout;
  return std::nullopt;
}

std::optional<std::size_t*> count_option(Options::Limits& l, const std::string& name) {
  if (name == "--http-max-connections") return &l.http_max_connections;
  if (name == "--max-body") return &l.max_body;
  if (name == "--tds-max-connections") return &l.tds_max_connections;
  if (name == "--tds-max-message") return &l.tds_max_message;
  if (name == "--tds-large-requests") return &l.tds_large_requests;
  if (name == "--sftp-max-sessions") return &l.sftp_max_sessions;
  if (name == "--call-log-bytes") return &l.call_log_bytes;
  return std::nullopt;
}

// Milliseconds: 0 to kMaxLatencyMs.
std::optional<std::int64_t> parse_ms(std::string_view text, std::string& error) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < 0) {
    error = "expected milliseconds, got '" + std::string(text) + "'";
    return std::nullopt;
  }
  if (value > kMaxLatencyMs) {
    error = "a latency over 60 s (60000 ms) is refused, got " + std::string(text);
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<Latency> parse_latency(const std::string& text, std::string& error) {
  Latency l;
  if (text.find('=') == std::string::npos) {
    const auto ms = parse_ms(text, error);
    if (!ms) return std::nullopt;
    l.database = l.mirrors = l.sftp = *ms;
    return l;
  }
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const std::size_t eq = item.find('=');
    const std::string_view key = item.substr(0, eq);
    std::int64_t* target = key == "database"  ? &l.database
                           : key == "mirrors" ? &l.mirrors
                           : key == "sftp"    ? &l.sftp
                                              : nullptr;
    if (eq == std::string_view::npos || target == nullptr) {
      error = "expected MS or database=MS,mirrors=MS,sftp=MS, got '" + text + "'";
      return std::nullopt;
    }
    const auto ms = parse_ms(item.substr(eq + 1), error);
    if (!ms) return std::nullopt;
    *target = *ms;
  }
  return l;
}

std::string usage_text() {
  return "usage: taviksms-sandbox --data DIR [options]\n"
         "  --data DIR              state folder (database, uploads, host key)\n"
         "  --reset                 delete the database first and seed it again\n"
         "  --mirror-ports A,B,C    the three HTTP mirrors (default 18081,18082,18083)\n"
         "  --tds-port N            the database (default 11433)\n"
         "  --sftp-port N           the SFTP server (default 12222)\n"
         "  --control-port N        the control port (default 18090)\n"
         "  --ephemeral             every port 0: the system picks free ones\n"
         "  --db-user U             database login handed out by ip1.ini (default sms_app)\n"
         "  --db-password P         its password (default tavik2024db)\n"
         "  --sftp-user U           SFTP login handed out by ip1.ini (default smsftp)\n"
         "  --sftp-password P       its password (default tavik2024ftp)\n"
         "  --clock \"YYYY-MM-DD HH:MM:SS\"  start the service clock here\n"
         "  --env-file PATH         once every port listens, write there the lines a shell\n"
         "                          sources to reach this sandbox (TAVIKSMS_MIRRORS and\n"
         "                          TAVIKSMS_SANDBOX_CONTROL); removed again at a clean stop\n"
         "  --decoy-procedures      the parameter catalog also lists spXsmsXsend and\n"
         "                          legacy.sp_sms_send (clients must look procedures up exactly)\n"
         "  --tds-encryption M      what the database offers in PRELOGIN: offered (as SQL Server:\n"
         "                          login or whole session encrypted, as the client asks; the\n"
         "                          default), required (every client encrypts), off (no TLS)\n"
         "  --tds-certificate FILE  PEM certificate (and key) for it (default: a self-signed one\n"
         "                          made at start-up)\n"
         "  --tds-key FILE          its private key, when not in the certificate file\n"
         "  --tds-tls-max V         newest TLS version of the handshake: 1.2 (as SQL Server\n"
         "                          speaks TDS 7; the default) or 1.3\n"
         "  --latency MS            answers of the database, the mirrors and SFTP go out MS\n"
         "                          milliseconds late, as across a network with that round-trip\n"
         "                          time (at most 60000); or database=MS,mirrors=MS,sftp=MS\n"
         "limits (what one client may take; times in seconds, sizes in bytes, k/M allowed):\n"
         "  --http-head-timeout S   a request head must be in S after its first byte (10)\n"
         "  --http-body-timeout S   its body S after the head (30)\n"
         "  --http-idle-timeout S   a connection with no request begun closes after S (5)\n"
         "  --http-max-connections N  per HTTP listener; more are answered 503 (128)\n"
         "  --max-body N            control port request bodies; larger ones get 413 (1M)\n"
         "  --tds-max-connections N database connections; more are closed at once (256)\n"
         "  --tds-login-timeout S   connect to completed login (30)\n"
         "  --tds-idle-timeout S    a logged-in connection idle this long closes (1800)\n"
         "  --tds-message-timeout S a request's first byte to its last (60)\n"
         "  --tds-max-message N     one request, all its packets; larger ones get an error\n"
         "                          and the connection closes (8M)\n"
         "  --tds-large-requests N  requests over 64 KiB read or run at once; others wait (1)\n"
         "  --sftp-max-sessions N   SFTP connections at once; more are closed (64)\n"
         "  --sftp-auth-timeout S   connect to completed SFTP login (20)\n"
         "  --call-log-bytes N      the call log drops its oldest entries beyond this (64M)\n"
         "  --help                  this text\n"
         "  --version               the version\n" +
         host::usage_note();
}

ParsedOptions parse_options(const std::vector<std::string>& args) {
  Options o;
  bool have_data = false;
  auto fail = [](std::string message) { return ParsedOptions{std::nullopt, std::move(message)}; };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inline_value;
    if (auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    auto flag = [&]() -> bool { return !inline_value.has_value(); };
    std::string value;
    auto take_value = [&]() -> bool {
      if (inline_value) {
        value = *inline_value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };

    if (name == "--help" || name == "-h") {
      o.help = true;
      return ParsedOptions{o, {}};
    } else if (name == "--version") {
      o.version = true;
      return ParsedOptions{o, {}};
    } else if (name == "--reset" && flag()) {
      o.reset = true;
    } else if (name == "--decoy-procedures" && flag()) {
      o.decoy_procedures = true;
    } else if (name == "--ephemeral" && flag()) {
      o.ephemeral = true;
    } else if (name == "--tds-encryption" || name == "--tds-certificate" || name == "--tds-key" ||
               name == "--tds-tls-max" || name == "--latency") {
      if (!take_value()) return fail(name + " needs a value");
      if (name == "--tds-tls-max") {
        if (value != "1.2" && value != "1.3") return fail("--tds-tls-max: expected 1.2 or 1.3");
        o.tds_tls13 = value == "1.3";
      } else if (name == "--tds-encryption") {
        const auto setting = tds::parse_encryption_setting(value);
        if (!setting) return fail("--tds-encryption: expected off, offered or required");
        o.tds_encryption = *setting;
      } else if (name == "--latency") {
        std::string error;
        const auto latency = parse_latency(value, error);
        if (!latency) return fail("--latency: " + error);
        o.latency = *latency;
      } else {
        if (value.empty()) return fail(name + " needs a file");
        (name == "--tds-key" ? o.tds_key : o.tds_certificate) = value;
      }
    } else if (auto seconds = seconds_option(o.limits, name)) {
      if (!take_value()) return fail(name + " needs a value");
      auto v = parse_seconds(value);
      if (!v) return fail(name + ": expected seconds above 0, got '" + value + "'");
      **seconds = *v;
    } else if (auto count = count_option(o.limits, name)) {
      if (!take_value()) return fail(name + " needs a value");
      auto v = parse_count(value);
      if (!v) return fail(name + ": expected a positive number, got '" + value + "'");
      **count = *v;
    } else if (name == "--data" || name == "--mirror-ports" || name == "--tds-port" ||
               name == "--sftp-port" || name == "--control-port" || name == "--db-user" ||
               name == "--db-password" || name == "--sftp-user" || name == "--sftp-password" ||
               name == "--clock" || name == "--env-file") {
      if (!take_value()) return fail(name + " needs a value");
      if (name == "--data") {
        if (value.empty()) return fail("--data needs a folder");
        o.data_dir = path_of(value);
        have_data = true;
      } else if (name == "--mirror-ports") {
        std::size_t start = 0;
        for (int k = 0; k < 3; ++k) {
          std::size_t comma = value.find(',', start);
          if ((k < 2) == (comma == std::string::npos)) {
            return fail("--mirror-ports needs three ports A,B,C");
          }
          auto port = parse_port(
              value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
          if (!port) return fail("--mirror-ports: bad port in '" + value + "'");
          o.mirror_ports[static_cast<std::size_t>(k)] = *port;
          start = comma + 1;
        }
      } else if (name == "--tds-port" || name == "--sftp-port" || name == "--control-port") {
        auto port = parse_port(value);
        if (!port) return fail(name + ": bad port '" + value + "'");
        (name == "--tds-port"    ? o.tds_port
         : name == "--sftp-port" ? o.sftp_port
                                 : o.control_port) = *port;
      } else if (name == "--db-user") {
        o.db_user = value;
      } else if (name == "--db-password") {
        o.db_password = value;
      } else if (name == "--sftp-user") {
        o.sftp_user = value;
      } else if (name == "--sftp-password") {
        o.sftp_password = value;
      } else if (name == "--env-file") {
        if (value.empty()) return fail("--env-file needs a file name");
        o.env_file = value;
      } else {
        if (!is_clock_text(value)) return fail("--clock needs \"YYYY-MM-DD HH:MM:SS\"");
        o.clock = value;
      }
    } else {
      return fail("unknown option '" + args[i] + "' (see --help)");
    }
  }
  if (!have_data) {
    const auto fallback = host::default_data_dir();  // Windows: the user's local app data
    if (!fallback) return fail("--data DIR is required (see --help)");
    o.data_dir = *fallback;
  }
  if (!o.tds_key.empty() && o.tds_certificate.empty()) {
    return fail("--tds-key needs --tds-certificate");
  }
  if (o.ephemeral) {
    o.mirror_ports = {0, 0, 0};
    o.tds_port = o.sftp_port = o.control_port = 0;
  }
  return ParsedOptions{o, {}};
}

}  // namespace sandbox
