// Shared helpers for the endpoint tests: real clients (curl, OpenSSH sftp, libssh2, raw sockets)
// against a SandboxProcess.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sandbox_process.h"

namespace sandbox::test {

using taviksms::testing::run_command;
using taviksms::testing::RunResult;
using taviksms::testing::sandbox_executable;
using taviksms::testing::sandbox_under_wine;
using taviksms::testing::SandboxProcess;

struct Fetch {
  int curl_exit = -1;  // 0 ok, 7 connection refused, 28 timed out
  int status = 0;
  std::string body;
};

// curl -s GET of `url`, at most `max_time` seconds.
Fetch curl_get(const std::string& url, int max_time = 10);

// key=value lines of an ini body (section lines skipped); requires CR LF line ends.
std::map<std::string, std::string> parse_ini(const std::string& body);

// OpenSSH sftp in batch mode with the password fed by sshpass. `auth` is the
// PreferredAuthentications value ("password" or "keyboard-interactive").
RunResult sftp_batch(const SandboxProcess& sandbox, const std::string& commands,
                     const std::string& password, const std::string& auth = "password",
                     std::chrono::seconds timeout = std::chrono::seconds(60),
                     const std::string& user = "");

// Upload with libssh2 (the library the component uses). Returns "" on success, else what failed.
std::string libssh2_upload(std::uint16_t port, const std::string& user, const std::string& password,
                           const std::string& remote_name, const std::string& content);

// Connects to 127.0.0.1:port, sends `bytes`, reads whatever comes back for up to `linger`, closes.
// Returns false if the connection could not be made.
bool send_raw(std::uint16_t port, const std::string& bytes,
              std::chrono::milliseconds linger = std::chrono::milliseconds(300));

std::string random_bytes(std::size_t n, std::uint64_t seed);
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);

}  // namespace sandbox::test
