// taviksms-sandbox: the mirrors, the database (TDS), the SFTP server and the control port in one
// process. Prints its endpoints, then "ready"; SIGINT/SIGTERM (on Windows Ctrl-C and closing the
// console window) stop it cleanly.
#include <httplib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/address_lines.h"
#include "control/console_guard.h"
#include "control/console_routes.h"
#include "control/database_routes.h"
#include "control/endpoint_routes.h"
#include "control/event_routes.h"
#include "control/listen_errors.h"
#include "control/network_routes.h"
#include "control/options.h"
#include "control/service_routes.h"
#include "http/guarded_server.h"
#include "mirrors/mirrors.h"
#include "platform/process.h"
#include "service/change_feed.h"
#include "service/service.h"
#include "sftp/sftp_server.h"
#include "tds/server.h"
#include "tds/tls.h"
#include "utf8_path.h"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHost = "127.0.0.1";

void prepare_data_dir(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error("cannot create " + path_text(dir) + ": " + ec.message());
  fs::path probe = dir / ".write-probe";
  {
    std::ofstream out(probe);
    if (!out || !(out << "x") || !out.flush()) {
      throw std::runtime_error("folder not writable: " + path_text(dir));
    }
  }
  fs::remove(probe, ec);
}

// The control port's HTTP server, run on its own thread.
class ControlServer {
 public:
  explicit ControlServer(const HttpLimits& limits) : server_(limits) {
    // A client that stops reading its answer gives up its worker after this.
    server_.set_write_timeout(3, 0);
    // An answer's header and body go out in separate writes; without this each answer waits
    // for the client's delayed acknowledgement (about 40 ms), and the console's fetches add up.
    server_.set_tcp_nodelay(true);
    server_.set_socket_options(exclusive_listen_options);
    install_json_error_handlers(server_);
    install_control_guard(server_, &port_);
  }
  ~ControlServer() { stop(); }
  GuardedHttpServer& http() { return server_; }

  std::uint16_t start(std::uint16_t port) {
    int bound = port == 0 ? server_.bind_to_any_port(kHost)
                          : (server_.bind_to_port(kHost, port) ? port : -1);
    if (bound <= 0) {
      throw std::runtime_error("cannot listen on control port " + std::to_string(port));
    }
    port_ = static_cast<std::uint16_t>(bound);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only takes effect once the accept loop runs.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return static_cast<std::uint16_t>(bound);
  }
  void stop() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
  }

 private:
  GuardedHttpServer server_;
  std::uint16_t port_ = 0;  // set before the server thread starts
  std::thread thread_;
};

std::chrono::milliseconds to_ms(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000.0 + 0.5));
}

HttpLimits http_limits(const Options::Limits& l, std::size_t max_body, std::size_t workers) {
  HttpLimits h;
  h.head_timeout = to_ms(l.http_head_timeout);
  h.body_timeout = to_ms(l.http_body_timeout);
  h.idle_timeout = to_ms(l.http_idle_timeout);
  h.max_connections = l.http_max_connections;
  h.max_body_bytes = max_body;
  h.workers = workers;
  return h;
}

// The database's certificate: the one given, or one made now. A file that cannot be used stops
// the start-up, saying why.
std::shared_ptr<const tds::TlsContext> tds_certificate(const Options& options) {
  if (options.tds_encryption == tds::EncryptionSetting::kOff) return nullptr;
  const tds::TlsMax max = options.tds_tls13 ? tds::TlsMax::k13 : tds::TlsMax::k12;
  if (!options.tds_certificate.empty()) {
    return tds::TlsContext::from_files(options.tds_certificate, options.tds_key, max);
  }
  return tds::TlsContext::self_signed(max);
}

int run(const Options& options) {
  const std::shared_ptr<const tds::TlsContext> certificate = tds_certificate(options);
  prepare_data_dir(options.data_dir);
  // A file left by an earlier run would name its ports to whoever waits for this one's.
  if (!options.env_file.empty()) remove_stale_file(options.env_file);
  const Options::Limits& limits = options.limits;

  ServiceConfig service_config;
  service_config.data_dir = options.data_dir;
  service_config.db_user = options.db_user;
  service_config.db_password = options.db_password;
  service_config.reset = options.reset;
  service_config.decoy_procedures = options.decoy_procedures;
  service_config.call_log_bytes = limits.call_log_bytes;
  if (options.clock) {
    service_config.clock_start = parse_clock_text(*options.clock);
    if (!service_config.clock_start) throw std::runtime_error("bad --clock " + *options.clock);
  }
  Service service(service_config);
  tds::TdsServer tds(service, kHost, options.tds_port);
  tds::TdsLimits tds_limits;
  tds_limits.max_connections = limits.tds_max_connections;
  tds_limits.login_timeout = to_ms(limits.tds_login_timeout);
  tds_limits.idle_timeout = to_ms(limits.tds_idle_timeout);
  tds_limits.message_timeout = to_ms(limits.tds_message_timeout);
  tds_limits.large_requests = limits.tds_large_requests;
  tds.set_limits(tds_limits);
  tds.set_max_message_bytes(limits.tds_max_message);
  tds.set_encryption(options.tds_encryption, certificate);
  tds.set_latency(std::chrono::milliseconds(options.latency.database));
  start_listening(ListenerPorts{"database", "--tds-port N", {options.tds_port}},
                  [&] { tds.start(); });
  const std::uint16_t tds_port = tds.port();

  SftpConfig sftp_config;
  sftp_config.host = kHost;
  sftp_config.port = options.sftp_port;
  sftp_config.user = options.sftp_user;
  sftp_config.password = options.sftp_password;
  sftp_config.data_dir = options.data_dir;
  sftp_config.max_sessions = limits.sftp_max_sessions;
  sftp_config.auth_timeout = to_ms(limits.sftp_auth_timeout);
  SftpServer sftp(sftp_config);
  sftp.set_latency(std::chrono::milliseconds(options.latency.sftp));
  start_listening(ListenerPorts{"sftp", "--sftp-port N", {options.sftp_port}},
                  [&] { sftp.start(); });

  MirrorEndpoints endpoints;
  endpoints.db_host = kHost;
  endpoints.db_port = tds_port;
  endpoints.db_user = options.db_user;
  endpoints.db_password = options.db_password;
  endpoints.sftp_host = kHost;
  endpoints.sftp_port = sftp.port();
  endpoints.sftp_user = options.sftp_user;
  endpoints.sftp_password = options.sftp_password;
  // The mirrors' handlers may hang or trickle on purpose (their failure modes): more workers.
  MirrorSet mirrors(kHost, options.mirror_ports, endpoints, http_limits(limits, 64 * 1024, 16));
  mirrors.set_latency(std::chrono::milliseconds(options.latency.mirrors));
  start_listening(
      ListenerPorts{"mirror",
                    "--mirror-ports A,B,C",
                    {options.mirror_ports.begin(), options.mirror_ports.end()}},
      [&] { mirrors.start(); }, [&] { mirrors.stop(); });

  // Eight workers for requests, and one for each event stream, which holds its worker.
  ControlServer control(
      http_limits(limits, limits.max_body, 8 + kMaxEventStreams + kConsoleEventStreams));
  register_console_routes(control.http());
  register_service_routes(control.http(), service,
                          [&tds](nlohmann::json& out) { add_tds_connections(tds, out); });
  register_network_routes(control.http(), tds, mirrors, sftp,
                          [&service] { service.changes().bump(); });
  register_database_routes(control.http(), tds, service.changes());
  register_endpoint_routes(
      control.http(), mirrors, sftp,
      [&service, &tds, &mirrors, &sftp, certificate](nlohmann::json& state) {
        state["clock"] = format_clock_text(service.now());
        state["latency"] = latency_json(tds, mirrors, sftp);
        Service::ConnectionCounts counts = service.connection_counts();
        state["tds"] = {{"port", tds.port()},
                        {"mode", std::string(tds::tds_mode_name(tds.mode()))},
                        {"open_connections", tds.open_connections()},
                        {"total_connections", tds.total_connections()},
                        {"refused_connections", tds.refused_connections()},
                        {"evicted_connections", tds.evicted_connections()},
                        {"encryption", std::string(tds::encryption_setting_name(tds.encryption()))},
                        {"certificate", certificate ? certificate->description() : std::string()},
                        {"round_trips", tds.total_round_trips()},
                        {"open_sessions", counts.open},
                        {"total_logins", counts.total_logins},
                        {"failed_logins", counts.failed_logins}};
      });
  std::uint16_t control_port = 0;
  start_listening(ListenerPorts{"control", "--control-port N", {options.control_port}},
                  [&] { control_port = control.start(options.control_port); });

  std::string lines;
  for (int n = 1; n <= 3; ++n) {
    lines += "mirror" + std::to_string(n) + " http://" + kHost + ":" +
             std::to_string(mirrors.mirror(n).port()) + "/uini/ip1.ini\n";
  }
  lines += std::string("database ") + kHost + ":" + std::to_string(tds_port) + " sms\n";
  lines += std::string("sftp ") + kHost + ":" + std::to_string(sftp.port()) + "\n";
  lines += std::string("control http://") + kHost + ":" + std::to_string(control_port) + "\n";
  const std::array<std::uint16_t, 3> mirror_ports{
      mirrors.mirror(1).port(), mirrors.mirror(2).port(), mirrors.mirror(3).port()};
  lines += mirrors_line(kHost, mirror_ports);
  if (!options.env_file.empty()) {
    write_file_atomically(options.env_file, env_file_text(kHost, mirror_ports, control_port));
  }
  lines += "ready\n";
  std::fwrite(lines.data(), 1, lines.size(), stdout);
  std::fflush(stdout);
  host::announce_ready(control_port, options.data_dir);

  host::wait_for_stop();

  // Outside in: no new control requests, then the endpoints, then the database.
  control.stop();
  mirrors.stop();
  sftp.stop();
  tds.stop();
  if (!options.env_file.empty()) {
    std::error_code ignored;
    fs::remove(options.env_file, ignored);
  }
  return 0;
}

}  // namespace
}  // namespace sandbox

int main(int argc, char** argv) {
  sandbox::host::prepare_process();
  sandbox::ParsedOptions parsed = sandbox::parse_options(sandbox::host::arguments(argc, argv));
  if (!parsed.options) {
    std::fprintf(stderr, "taviksms-sandbox: %s\n", parsed.error.c_str());
    sandbox::host::start_failed();
    return 1;
  }
  if (parsed.options->help) {
    std::fputs(sandbox::usage_text().c_str(), stdout);
    return 0;
  }
  if (parsed.options->version) {
    std::fputs("taviksms-sandbox " TAVIKSMS_SANDBOX_VERSION "\n", stdout);
    return 0;
  }
  try {
    const int status = sandbox::run(*parsed.options);
    sandbox::host::stopped();
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "taviksms-sandbox: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "taviksms-sandbox: start-up failed\n");
  }
  sandbox::host::start_failed();
  return 1;
}
