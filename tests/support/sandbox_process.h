// A real taviksms-sandbox as a child process for integration tests, and a helper to run other
// programs (tsql, curl, sftp, python3) with a time limit.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace taviksms::testing {

struct RunResult {
  int exit_code = -1;  // the program's status; 128 + signal when killed by a signal
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs argv (PATH is searched) in its own process group, feeds `stdin_text`, collects both
// outputs. Past `timeout` the whole group gets SIGKILL and timed_out is set. `extra_env` holds
// "NAME=value" entries added to (or replacing in) the environment. Throws std::runtime_error
// if the program cannot be started at all.
RunResult run_command(const std::vector<std::string>& argv, const std::string& stdin_text = "",
                      std::chrono::milliseconds timeout = std::chrono::seconds(30),
                      const std::vector<std::string>& extra_env = {});

struct SandboxPorts {
  std::array<std::uint16_t, 3> mirror{};  // mirror[0] is mirror1
  std::uint16_t tds = 0;
  std::uint16_t sftp = 0;
  std::uint16_t control = 0;
};

// An HTTP answer from the control port, whatever its status.
struct HttpAnswer {
  int status = 0;  // 0: no answer (connection failed)
  std::string body;
  nlohmann::json json() const;  // parses body; throws if it is not JSON
};

class SandboxProcess {
 public:
  // Starts `taviksms-sandbox --ephemeral --data <fresh temp dir>/data <extra_args...>` and waits
  // (at most 10 s) for "ready". With "--tds-port" among extra_args, --ephemeral is left out: the
  // caller names every port (restart_args() of an earlier sandbox does). Throws std::runtime_error
  // with the output seen on failure. The child gets SIGTERM if the creating thread dies, so a
  // crashed test leaves no sandbox.
  explicit SandboxProcess(std::vector<std::string> extra_args = {});
  // Stops the child (see stop()) and removes the temp dir.
  ~SandboxProcess();
  SandboxProcess(const SandboxProcess&) = delete;
  SandboxProcess& operator=(const SandboxProcess&) = delete;

  const SandboxPorts& ports() const { return ports_; }
  const std::filesystem::path& data_dir() const { return data_dir_; }
  pid_t pid() const { return pid_; }
  // Everything printed up to and including "ready".
  const std::string& startup_output() const { return startup_output_; }

  // The port options that start another sandbox on exactly this one's ports.
  std::vector<std::string> restart_args() const;
  // Stops the sandbox (SIGTERM, or SIGKILL with `kill`) and starts it again on the same data
  // folder, ports and options, as a hosted server restarts for a patch: what it stored stays,
  // every connection ends. Throws as the constructor does.
  void restart(bool kill = false);

  std::string mirror_base(int n) const;  // "http://127.0.0.1:P", n = 1..3
  std::string mirror_url(int n) const;   // mirror_base(n) + "/uini/ip1.ini"
  std::string control_base() const;      // "http://127.0.0.1:P"

  // The logins in effect (the defaults unless overridden by extra_args).
  const std::string& db_user() const { return db_user_; }
  const std::string& db_password() const { return db_password_; }
  const std::string& sftp_user() const { return sftp_user_; }
  const std::string& sftp_password() const { return sftp_password_; }

  // Control port. get/post/del throw std::runtime_error unless the answer is 2xx JSON;
  // request() returns any answer.
  nlohmann::json get(const std::string& path);
  nlohmann::json post(const std::string& path, const std::string& body = "");
  nlohmann::json del(const std::string& path);
  HttpAnswer request(const std::string& method, const std::string& path,
                     const std::string& body = "");

  // True while the child has not exited.
  bool running();
  // SIGTERM, then up to `grace` for the exit, then SIGKILL. Returns the exit status, or
  // 128 + signal, or -1 if it had to be killed. Idempotent (later calls return the same).
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
  // Whatever the child wrote to standard error so far.
  std::string stderr_text() const;

  // The free function above, for tests that prefer SandboxProcess::run_command.
  static RunResult run_command(const std::vector<std::string>& argv,
                               const std::string& stdin_text = "",
                               std::chrono::milliseconds timeout = std::chrono::seconds(30),
                               const std::vector<std::string>& extra_env = {}) {
    return testing::run_command(argv, stdin_text, timeout, extra_env);
  }

 private:
  void start(const std::vector<std::string>& extra_args);
  nlohmann::json checked(const std::string& method, const std::string& path,
                         const std::string& body);

  std::vector<std::string> args_;  // the options it was started with
  std::filesystem::path temp_dir_;
  std::filesystem::path data_dir_;
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  bool exited_ = false;
  int exit_status_ = -1;
  SandboxPorts ports_;
  std::string startup_output_;
  std::string db_user_ = "sms_app";
  std::string db_password_ = "tavik2024db";
  std::string sftp_user_ = "smsftp";
  std::string sftp_password_ = "tavik2024ftp";
};

// The sandbox program the tests start: $TAVIKSMS_SANDBOX_EXE when set (another build, or a
// wrapper that runs the Windows sandbox under Wine), else the one built beside the tests.
std::string sandbox_executable();
// True when that is the Windows sandbox run under Wine ($TAVIKSMS_SANDBOX_WINE_EXE is set).
bool sandbox_under_wine();

// `pw` in the masked form ip1.ini holds (the service's sms_pw and sftp_pw): two fillers, then each
// character followed by a filler.
std::string masked_secret(const std::string& pw);

// `s` as a query value: letters, digits and "-_." as they are, every other byte as %XX.
std::string url_encode(const std::string& s);

}  // namespace taviksms::testing
