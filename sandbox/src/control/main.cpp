// taviksms-sandbox: the mirrors, the database (TDS), the SFTP server and the control port in one
// process. Prints its endpoints, then "ready"; SIGINT/SIGTERM stop it cleanly.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
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

#include "control/console_guard.h"
#include "control/console_routes.h"
#include "control/endpoint_routes.h"
#include "control/options.h"
#include "mirrors/http_listen.h"
#include "mirrors/mirrors.h"
#include "service/control_routes.h"
#include "service/service.h"
#include "sftp/sftp_server.h"
#include "tds/server.h"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHost = "127.0.0.1";

void prepare_data_dir(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error("cannot create " + dir.string() + ": " + ec.message());
  fs::path probe = dir / ".write-probe";
  {
    std::ofstream out(probe);
    if (!out || !(out << "x") || !out.flush()) {
      throw std::runtime_error("folder not writable: " + dir.string());
    }
  }
  fs::remove(probe, ec);
}

// The control port's HTTP server, run on its own thread.
class ControlServer {
 public:
  ControlServer() {
    // cpp-httplib's stop() waits for open connections; these limits bound that wait.
    server_.set_read_timeout(3, 0);
    server_.set_write_timeout(3, 0);
    server_.set_keep_alive_timeout(1);
    // An answer's header and body go out in separate writes; without this each answer waits
    // for the client's delayed acknowledgement (about 40 ms), and the console's fetches add up.
    server_.set_tcp_nodelay(true);
    server_.set_socket_options(exclusive_listen_options);
    install_json_error_handlers(server_);
    install_control_guard(server_, &port_);
  }
  ~ControlServer() { stop(); }
  httplib::Server& http() { return server_; }

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
  httplib::Server server_;
  std::uint16_t port_ = 0;  // set before the server thread starts
  std::thread thread_;
};

int run(const Options& options, const sigset_t& stop_signals) {
  prepare_data_dir(options.data_dir);

  ServiceConfig service_config;
  service_config.data_dir = options.data_dir;
  service_config.db_user = options.db_user;
  service_config.db_password = options.db_password;
  service_config.reset = options.reset;
  service_config.decoy_procedures = options.decoy_procedures;
  if (options.clock) {
    service_config.clock_start = parse_clock_text(*options.clock);
    if (!service_config.clock_start) throw std::runtime_error("bad --clock " + *options.clock);
  }
  Service service(service_config);
  tds::TdsServer tds(service, kHost, options.tds_port);
  tds.start();
  const std::uint16_t tds_port = tds.port();

  SftpConfig sftp_config;
  sftp_config.host = kHost;
  sftp_config.port = options.sftp_port;
  sftp_config.user = options.sftp_user;
  sftp_config.password = options.sftp_password;
  sftp_config.data_dir = options.data_dir;
  SftpServer sftp(sftp_config);
  sftp.start();

  MirrorEndpoints endpoints;
  endpoints.db_host = kHost;
  endpoints.db_port = tds_port;
  endpoints.db_user = options.db_user;
  endpoints.db_password = options.db_password;
  endpoints.sftp_host = kHost;
  endpoints.sftp_port = sftp.port();
  endpoints.sftp_user = options.sftp_user;
  endpoints.sftp_password = options.sftp_password;
  MirrorSet mirrors(kHost, options.mirror_ports, endpoints);
  mirrors.start();

  ControlServer control;
  register_console_routes(control.http());
  register_service_routes(control.http(), service);
  register_endpoint_routes(control.http(), mirrors, sftp, [&service, &tds](nlohmann::json& state) {
    state["clock"] = format_clock_text(service.now());
    Service::ConnectionCounts counts = service.connection_counts();
    state["tds"] = {{"port", tds.port()},
                    {"open_connections", tds.open_connections()},
                    {"total_connections", tds.total_connections()},
                    {"open_sessions", counts.open},
                    {"total_logins", counts.total_logins},
                    {"failed_logins", counts.failed_logins}};
  });
  const std::uint16_t control_port = control.start(options.control_port);

  std::string lines;
  for (int n = 1; n <= 3; ++n) {
    lines += "mirror" + std::to_string(n) + " http://" + kHost + ":" +
             std::to_string(mirrors.mirror(n).port()) + "/uini/ip1.ini\n";
  }
  lines += std::string("database ") + kHost + ":" + std::to_string(tds_port) + " sms\n";
  lines += std::string("sftp ") + kHost + ":" + std::to_string(sftp.port()) + "\n";
  lines += std::string("control http://") + kHost + ":" + std::to_string(control_port) + "\n";
  lines += "ready\n";
  std::fwrite(lines.data(), 1, lines.size(), stdout);
  std::fflush(stdout);

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }

  // Outside in: no new control requests, then the endpoints, then the database.
  control.stop();
  mirrors.stop();
  sftp.stop();
  tds.stop();
  return 0;
}

}  // namespace
}  // namespace sandbox

int main(int argc, char** argv) {
  // Every thread inherits this mask, so the signals wait for sigwait in main.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args(argv + 1, argv + argc);
  sandbox::ParsedOptions parsed = sandbox::parse_options(args);
  if (!parsed.options) {
    std::fprintf(stderr, "taviksms-sandbox: %s\n", parsed.error.c_str());
    return 1;
  }
  if (parsed.options->help) {
    std::fputs(sandbox::usage_text().c_str(), stdout);
    return 0;
  }
  try {
    return sandbox::run(*parsed.options, stop_signals);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "taviksms-sandbox: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "taviksms-sandbox: start-up failed\n");
  }
  return 1;
}
