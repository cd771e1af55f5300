#include "endpoint_helpers.h"

#include <arpa/inet.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

namespace sandbox::test {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

Fetch curl_get(const std::string& url, int max_time) {
  char tmpl[] = "/tmp/taviksms-curl-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd >= 0) close(fd);
  RunResult r = taviksms::testing::run_command(
      {"curl", "-s", "--max-time", std::to_string(max_time), "-o", tmpl, "-w", "%{http_code}", url},
      "", std::chrono::seconds(max_time + 10));
  Fetch f;
  f.curl_exit = r.exit_code;
  f.status = r.out.empty() ? 0 : std::atoi(r.out.c_str());
  f.body = read_file(tmpl);
  fs::remove(tmpl);
  return f;
}

std::map<std::string, std::string> parse_ini(const std::string& body) {
  std::map<std::string, std::string> out;
  std::size_t pos = 0;
  while (pos < body.size()) {
    std::size_t end = body.find("\r\n", pos);
    if (end == std::string::npos) {
      out["<unterminated>"] = body.substr(pos);
      break;
    }
    std::string line = body.substr(pos, end - pos);
    pos = end + 2;
    if (line.empty() || line[0] == '[') continue;
    std::size_t eq = line.find('=');
    out[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
  }
  return out;
}

RunResult sftp_batch(const SandboxProcess& sandbox, const std::string& commands,
                     const std::string& password, const std::string& auth,
                     std::chrono::seconds timeout, const std::string& user) {
  // sftp -b turns BatchMode on, which forbids password prompts; an earlier -o wins in ssh.
  return taviksms::testing::run_command(
      {"sshpass",
       "-e",
       "sftp",
       "-o",
       "BatchMode=no",
       "-b",
       "-",
       "-P",
       std::to_string(sandbox.ports().sftp),
       "-o",
       "StrictHostKeyChecking=no",
       "-o",
       "UserKnownHostsFile=/dev/null",
       "-o",
       "PreferredAuthentications=" + auth,
       "-o",
       "PubkeyAuthentication=no",
       "-o",
       "ConnectTimeout=10",
       "-o",
       "NumberOfPasswordPrompts=1",
       (user.empty() ? sandbox.sftp_user() : user) + "@127.0.0.1"},
      commands, timeout, {"SSHPASS=" + password});
}

namespace {

int connect_local(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool send_raw(std::uint16_t port, const std::string& bytes, std::chrono::milliseconds linger) {
  int fd = connect_local(port);
  if (fd < 0) return false;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  auto deadline = std::chrono::steady_clock::now() + linger;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      char buf[4096];
      if (recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
  }
  close(fd);
  return true;
}

std::string libssh2_upload(std::uint16_t port, const std::string& user, const std::string& password,
                           const std::string& remote_name, const std::string& content) {
  static const int init = libssh2_init(0);
  if (init != 0) return "libssh2_init failed";
  int fd = connect_local(port);
  if (fd < 0) return "connect failed";
  LIBSSH2_SESSION* session = libssh2_session_init();
  libssh2_session_set_blocking(session, 1);
  libssh2_session_set_timeout(session, 20000);
  std::string error;
  LIBSSH2_SFTP* sftp = nullptr;
  LIBSSH2_SFTP_HANDLE* handle = nullptr;
  if (libssh2_session_handshake(session, fd) != 0) {
    error = "handshake failed";
  } else if (libssh2_userauth_password(session, user.c_str(), password.c_str()) != 0) {
    error = "password refused";
  } else if ((sftp = libssh2_sftp_init(session)) == nullptr) {
    error = "sftp init failed";
  } else if ((handle = libssh2_sftp_open(sftp, remote_name.c_str(),
                                         LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC,
                                         0644)) == nullptr) {
    error = "open refused, sftp status " + std::to_string(libssh2_sftp_last_error(sftp));
  } else {
    std::size_t done = 0;
    while (done < content.size()) {
      ssize_t n = libssh2_sftp_write(handle, content.data() + done, content.size() - done);
      if (n <= 0) {
        error = "write failed";
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    if (libssh2_sftp_close(handle) != 0 && error.empty()) error = "close failed";
  }
  if (sftp != nullptr) libssh2_sftp_shutdown(sftp);
  libssh2_session_disconnect(session, "bye");
  libssh2_session_free(session);
  close(fd);
  return error;
}

}  // namespace sandbox::test
