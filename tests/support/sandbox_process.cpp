#include "sandbox_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#ifndef TAVIKSMS_SANDBOX_EXE
#error "TAVIKSMS_SANDBOX_EXE must name the taviksms-sandbox executable"
#endif

namespace taviksms::testing {

namespace {

namespace fs = std::filesystem;
constexpr auto kReadyTimeout = std::chrono::seconds(10);

std::uint16_t port_after_colon(const std::string& line, std::size_t from) {
  std::size_t colon = line.find(':', from);
  if (colon == std::string::npos) throw std::runtime_error("no port in line: " + line);
  return static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
}

}  // namespace

nlohmann::json HttpAnswer::json() const {
  return nlohmann::json::parse(body);
}

SandboxProcess::SandboxProcess(std::vector<std::string> extra_args) : args_(extra_args) {
  for (std::size_t i = 0; i + 1 < extra_args.size(); ++i) {
    const std::string& a = extra_args[i];
    const std::string& v = extra_args[i + 1];
    if (a == "--db-user") db_user_ = v;
    if (a == "--db-password") db_password_ = v;
    if (a == "--sftp-user") sftp_user_ = v;
    if (a == "--sftp-password") sftp_password_ = v;
  }
  char pattern[] = "/tmp/taviksms-sandbox-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  temp_dir_ = pattern;
  data_dir_ = temp_dir_ / "data";
  try {
    start(extra_args);
  } catch (...) {
    stop(std::chrono::seconds(2));
    std::error_code ec;
    fs::remove_all(temp_dir_, ec);
    throw;
  }
}

SandboxProcess::~SandboxProcess() {
  stop();
  std::error_code ec;
  fs::remove_all(temp_dir_, ec);
}

void SandboxProcess::start(const std::vector<std::string>& extra_args) {
  // Ports given by the caller (a restart on the ports of an earlier sandbox) replace the
  // system-picked ones.
  const bool fixed_ports =
      std::find(extra_args.begin(), extra_args.end(), "--tds-port") != extra_args.end();
  std::vector<std::string> argv = {sandbox_executable(), "--data", data_dir_.string()};
  if (!fixed_ports) argv.insert(argv.begin() + 1, "--ephemeral");
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::string err_path = (temp_dir_ / "stderr.log").string();

  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A test binary that crashes or is killed must not leave its sandbox running. (The signal
    // follows the forking thread: create SandboxProcess on a thread that outlives it.)
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out_pipe[1], 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  stdout_fd_ = out_pipe[0];

  auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  std::string seen;
  auto fail = [&](const std::string& why) {
    throw std::runtime_error("taviksms-sandbox did not start (" + why + "); stdout:\n" + seen +
                             "\nstderr:\n" + stderr_text());
  };
  while (seen.find("\nready\n") == std::string::npos && !seen.starts_with("ready\n")) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) fail("no \"ready\" within 10 s");
    pollfd p{stdout_fd_, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) continue;
    char buf[4096];
    ssize_t got = read(stdout_fd_, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // Closed stdout: the child has exited (or is about to).
      running();
      fail("exited with status " + std::to_string(exit_status_));
    }
    seen.append(buf, static_cast<std::size_t>(got));
  }
  // Through the "ready" line: what a program waiting for the sandbox reads. Lines meant for a
  // person may follow in the same read (the Windows sandbox names its console and data folder).
  const std::size_t ready = seen.starts_with("ready\n") ? 0 : seen.find("\nready\n") + 1;
  startup_output_ = seen.substr(0, ready + 6);

  std::istringstream lines(seen);
  std::string line;
  int found = 0;
  while (std::getline(lines, line)) {
    if (line.starts_with("mirror") && line.size() > 7) {
      int n = line[6] - '1';
      if (n < 0 || n > 2) fail("bad line: " + line);
      ports_.mirror[static_cast<std::size_t>(n)] = port_after_colon(line, line.find("//"));
      ++found;
    } else if (line.starts_with("database ")) {
      ports_.tds = port_after_colon(line, 0);
      ++found;
    } else if (line.starts_with("sftp ")) {
      ports_.sftp = port_after_colon(line, 0);
      ++found;
    } else if (line.starts_with("control ")) {
      ports_.control = port_after_colon(line, line.find("//"));
      ++found;
    }
  }
  if (found != 6) fail("expected six endpoint lines");
}

bool SandboxProcess::running() {
  if (pid_ <= 0 || exited_) return false;
  int status = 0;
  pid_t w = waitpid(pid_, &status, WNOHANG);
  if (w == 0) return true;
  exited_ = true;
  if (w == pid_) {
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                     : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
  }
  return false;
}

int SandboxProcess::stop(std::chrono::milliseconds grace) {
  if (pid_ > 0 && running()) {
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + grace;
    while (running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (running()) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
      exited_ = true;
      exit_status_ = -1;
    }
  }
  if (stdout_fd_ >= 0) {
    close(stdout_fd_);
    stdout_fd_ = -1;
  }
  return exit_status_;
}

std::string SandboxProcess::stderr_text() const {
  std::ifstream in(temp_dir_ / "stderr.log", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> SandboxProcess::restart_args() const {
  return {"--mirror-ports",
          std::to_string(ports_.mirror[0]) + "," + std::to_string(ports_.mirror[1]) + "," +
              std::to_string(ports_.mirror[2]),
          "--tds-port",
          std::to_string(ports_.tds),
          "--sftp-port",
          std::to_string(ports_.sftp),
          "--control-port",
          std::to_string(ports_.control)};
}

void SandboxProcess::restart(bool kill) {
  if (kill && pid_ > 0 && running()) ::kill(pid_, SIGKILL);
  stop();
  std::vector<std::string> args = args_;
  if (std::find(args.begin(), args.end(), "--tds-port") == args.end()) {
    const std::vector<std::string> ports = restart_args();
    args.insert(args.end(), ports.begin(), ports.end());
  }
  pid_ = -1;
  exited_ = false;
  exit_status_ = -1;
  start(args);
}

std::string SandboxProcess::mirror_base(int n) const {
  if (n < 1 || n > 3) throw std::out_of_range("mirror number must be 1 to 3");
  return "http://127.0.0.1:" + std::to_string(ports_.mirror[static_cast<std::size_t>(n - 1)]);
}

std::string SandboxProcess::mirror_url(int n) const {
  return mirror_base(n) + "/uini/ip1.ini";
}

std::string SandboxProcess::control_base() const {
  return "http://127.0.0.1:" + std::to_string(ports_.control);
}

HttpAnswer SandboxProcess::request(const std::string& method, const std::string& path,
                                   const std::string& body) {
  httplib::Client client("127.0.0.1", ports_.control);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(30, 0);
  client.set_write_timeout(10, 0);
  if (method != "GET" && method != "POST" && method != "DELETE") {
    throw std::invalid_argument("request: method must be GET, POST or DELETE");
  }
  httplib::Result r = method == "GET"    ? client.Get(path)
                      : method == "POST" ? client.Post(path, body, "text/plain")
                                         : client.Delete(path);
  HttpAnswer answer;
  if (r) {
    answer.status = r->status;
    answer.body = r->body;
  }
  return answer;
}

nlohmann::json SandboxProcess::checked(const std::string& method, const std::string& path,
                                       const std::string& body) {
  HttpAnswer a = request(method, path, body);
  if (a.status < 200 || a.status > 299) {
    throw std::runtime_error(method + " " + path + " answered " + std::to_string(a.status) + ": " +
                             a.body);
  }
  try {
    return a.json();
  } catch (const std::exception&) {
    throw std::runtime_error(method + " " + path + " answered no JSON: " + a.body);
  }
}

nlohmann::json SandboxProcess::get(const std::string& path) {
  return checked("GET", path, "");
}
nlohmann::json SandboxProcess::post(const std::string& path, const std::string& body) {
  return checked("POST", path, body);
}
nlohmann::json SandboxProcess::del(const std::string& path) {
  return checked("DELETE", path, "");
}

std::string sandbox_executable() {
  const char* chosen = std::getenv("TAVIKSMS_SANDBOX_EXE");
  return chosen != nullptr && *chosen != '\0' ? chosen : TAVIKSMS_SANDBOX_EXE;
}

bool sandbox_under_wine() {
  const char* exe = std::getenv("TAVIKSMS_SANDBOX_WINE_EXE");
  return exe != nullptr && *exe != '\0';
}

std::string masked_secret(const std::string& pw) {
  std::string out = "Qz";
  for (char c : pw) {
    out += c;
    out += '#';
  }
  return out;
}

std::string url_encode(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
        c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace taviksms::testing
