// Start-up lines, several sandboxes at once, clean stop on signals, start-up failures, and
// garbage on every port.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <thread>

#include "endpoint_helpers.h"

namespace sandbox::test {
namespace {

TEST(Startup, PrintsEveryEndpointThenReady) {
  SandboxProcess sb;
  const std::string& out = sb.startup_output();
  std::regex shape(
      "mirror1 http://127\\.0\\.0\\.1:(\\d+)/uini/ip1\\.ini\n"
      "mirror2 http://127\\.0\\.0\\.1:(\\d+)/uini/ip1\\.ini\n"
      "mirror3 http://127\\.0\\.0\\.1:(\\d+)/uini/ip1\\.ini\n"
      "database 127\\.0\\.0\\.1:(\\d+) sms\n"
      "sftp 127\\.0\\.0\\.1:(\\d+)\n"
      "control http://127\\.0\\.0\\.1:(\\d+)\n"
      "export TAVIKSMS_MIRRORS='http://127\\.0\\.0\\.1:(\\d+);http://127\\.0\\.0\\.1:(\\d+);"
      "http://127\\.0\\.0\\.1:(\\d+)'\n"
      "ready\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, shape)) << out;
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(m[n], m[6 + n]) << "mirror " << n << " in\n" << out;
  const auto& p = sb.ports();
  std::set<std::uint16_t> distinct{p.mirror[0], p.mirror[1], p.mirror[2], p.tds, p.sftp, p.control};
  EXPECT_EQ(distinct.size(), 6u) << out;
  EXPECT_EQ(distinct.count(0), 0u) << out;
  EXPECT_TRUE(std::filesystem::is_directory(sb.data_dir() / "uploads"));
  EXPECT_TRUE(std::filesystem::exists(sb.data_dir() / "ssh_host_ed25519_key"));

  // The ini advertises the ports actually in use.
  Fetch f = curl_get(sb.mirror_url(2));
  auto ini = parse_ini(f.body);
  EXPECT_EQ(ini["sms_ip"], "127.0.0.1," + std::to_string(p.tds));
  EXPECT_EQ(ini["sftp_pt"], std::to_string(p.sftp));

  // ... and the database really answers there with the handed-out login.
  std::string masked = ini["sms_pw"], password;
  for (std::size_t i = 2; i + 1 < masked.size(); i += 2) password.push_back(masked[i]);
  RunResult tsql = run_command(
      {"tsql", "-H", "127.0.0.1", "-p", std::to_string(p.tds), "-U", ini["sms_id"], "-P", password},
      "SELECT 1\ngo\nquit\n", std::chrono::seconds(20));
  EXPECT_EQ(tsql.exit_code, 0) << tsql.out << tsql.err;
  EXPECT_NE(tsql.out.find("(1 row affected)"), std::string::npos) << tsql.out << tsql.err;

  nlohmann::json state = sb.get("/state");
  EXPECT_TRUE(state.contains("clock"));
  EXPECT_EQ(state["tds"]["total_logins"], 1);
  EXPECT_EQ(state["tds"]["port"], p.tds);
  ASSERT_EQ(state["mirrors"].size(), 3u);
  EXPECT_EQ(state["mirrors"][2]["port"], p.mirror[2]);
  EXPECT_EQ(state["sftp"]["mode"], "up");
}

// --env-file: a shell that sources the file reaches this sandbox; a file an earlier run left is
// replaced before anything is written, and a clean stop removes it.
TEST(Startup, EnvFileIsWrittenWhenReadyAndRemovedAtStop) {
  char tmpl[] = "/tmp/taviksms-envfile-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path env = std::filesystem::path(tmpl) / "sandbox.env";
  { std::ofstream(env) << "export TAVIKSMS_MIRRORS='http://127.0.0.1:1'\n"; }
  SandboxProcess sb({"--env-file", env.string()});
  const auto& p = sb.ports();
  RunResult sourced = run_command(
      {"/bin/sh", "-c", ". \"$1\" && env | grep -E '^TAVIKSMS_(MIRRORS|SANDBOX_CONTROL)=' | sort",
       "sh", env.string()},
      "", std::chrono::seconds(10));
  const std::string url = "http://127.0.0.1:";
  EXPECT_EQ(sourced.out, "TAVIKSMS_MIRRORS=" + url + std::to_string(p.mirror[0]) + ";" + url +
                             std::to_string(p.mirror[1]) + ";" + url + std::to_string(p.mirror[2]) +
                             "\nTAVIKSMS_SANDBOX_CONTROL=" + url + std::to_string(p.control) + "\n")
      << sourced.err;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmpl),
                          std::filesystem::directory_iterator()),
            1)
      << "a temporary file was left beside it";
  EXPECT_EQ(sb.stop(std::chrono::seconds(5)), 0) << sb.stderr_text();
  EXPECT_FALSE(std::filesystem::exists(env));
  std::filesystem::remove_all(tmpl);
}

TEST(Startup, TwoSandboxesRunSideBySide) {
  SandboxProcess a;
  SandboxProcess b({"--clock", "2024-03-01 09:00:00"});
  EXPECT_TRUE(b.get("/state")["clock"].get<std::string>().starts_with("2024-03-01 09:0"));
  EXPECT_FALSE(a.get("/state")["clock"].get<std::string>().starts_with("2024-03-01"));
  EXPECT_NE(a.ports().control, b.ports().control);
  EXPECT_NE(a.data_dir(), b.data_dir());
  a.post("/mirrors/1?mode=404");
  EXPECT_EQ(curl_get(a.mirror_url(1)).status, 404);
  EXPECT_EQ(curl_get(b.mirror_url(1)).status, 200);
  EXPECT_EQ(b.get("/state")["mirrors"][0]["mode"], "up");
}

TEST(Startup, SignalsStopCleanlyEvenWithBusyEndpoints) {
  for (int sig : {SIGTERM, SIGINT}) {
    SandboxProcess sb;
    // A hanging mirror request, a muted SFTP connection and a half-open SSH handshake must not
    // hold the process up.
    sb.post("/mirrors/3?mode=hang");
    RunResult hung;
    std::thread client([&] {
      hung = run_command({"curl", "-s", "--max-time", "20", sb.mirror_url(3)}, "",
                         std::chrono::seconds(30));
    });
    std::thread ssh_client(
        [&] { send_raw(sb.ports().sftp, "SSH-2.0-test\r\n", std::chrono::milliseconds(3000)); });
    for (int i = 0; i < 200 && sb.get("/state")["mirrors"][2]["hits"] == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(sb.pid(), sig);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sb.running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(sb.running()) << "still running 5 s after signal " << sig;
    int status = sb.stop(std::chrono::seconds(1));
    client.join();
    ssh_client.join();
    EXPECT_EQ(status, 0) << "signal " << sig << ", stderr: " << sb.stderr_text();
    EXPECT_NE(hung.exit_code, 28) << "the hanging request outlived the sandbox";
  }
}

TEST(Startup, FailuresPrintOneLineAndExitOne) {
  SandboxProcess holder;
  auto exe = sandbox_executable();
  char tmpl[] = "/tmp/taviksms-startup-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  std::string taken = std::to_string(holder.ports().control);
  // Each failure names what to do about it: a port in use its option.
  struct Case {
    std::vector<std::string> argv;
    std::string says;
    bool linux_only = false;
  };
  const std::vector<Case> cases = {
      {{exe, "--data", dir, "--mirror-ports", "0,0,0", "--tds-port", "0", "--sftp-port", "0",
        "--control-port", taken},
       "port " + taken + " (control) is in use"},
      {{exe, "--data", dir, "--mirror-ports", "0," + taken + ",0", "--tds-port", "0", "--sftp-port",
        "0", "--control-port", "0"},
       "port " + taken +
           " (mirror2) is in use: another program, perhaps another sandbox, "
           "listens there. Choose another with --mirror-ports A,B,C, or start "
           "with --ephemeral for free ports"},
      {{exe, "--data", dir, "--mirror-ports", "0,0,0", "--tds-port", "0", "--sftp-port", taken,
        "--control-port", "0"},
       "port " + taken + " (sftp) is in use"},
      {{exe, "--data", dir, "--mirror-ports", "0,0,0", "--tds-port", taken, "--sftp-port", "0",
        "--control-port", "0"},
       "with --tds-port N"},
      {{exe, "--data", "/etc/hostname/inside-a-file", "--ephemeral"}, "cannot create"},
      {{exe, "--ephemeral"}, "--data DIR is required", true},
      {{exe, "--data", dir, "--ephemeral", "--no-such-option"}, "unknown option"},
      {{exe, "--data", dir, "--ephemeral", "--env-file", "/etc/hostname/inside-a-file"},
       "inside-a-file"},
  };
  for (const auto& [argv, says, linux_only] : cases) {
    if (linux_only && sandbox_under_wine()) {
      std::cout << "not against the Windows sandbox, which without --data uses "
                   "%LOCALAPPDATA%\\TavikSms\\sandbox (sandbox/tests/wine/first_start_test.sh): "
                << says << "\n";
      continue;
    }
    RunResult r = run_command(argv, "", std::chrono::seconds(20));
    std::string joined;
    for (const auto& a : argv) joined += a + " ";
    EXPECT_FALSE(r.timed_out) << joined;
    EXPECT_EQ(r.exit_code, 1) << joined << "\n" << r.out << r.err;
    EXPECT_EQ(r.out.find("ready"), std::string::npos) << joined;
    ASSERT_FALSE(r.err.empty()) << joined;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << joined << ": " << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << joined << ": " << r.err;
  }
  std::filesystem::remove_all(dir);
  EXPECT_EQ(curl_get(holder.mirror_url(1)).status, 200);  // the holder never noticed

  RunResult help = run_command({exe, "--help"}, "", std::chrono::seconds(10));
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("--mirror-ports"), std::string::npos);
  RunResult version = run_command({exe, "--version"}, "", std::chrono::seconds(10));
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "taviksms-sandbox " TAVIKSMS_PROJECT_VERSION "\n");
}

TEST(Robustness, GarbageOnEveryPortLeavesTheSandboxServing) {
  SandboxProcess sb;
  const auto& p = sb.ports();
  std::vector<std::string> junk = {
      random_bytes(4096, 1),
      std::string("\0\0\0\0GET", 7),
      "GET /uini/ip1.ini HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "POST /no-such-route HTTP/1.1\r\nContent-Length: 5\r\n\r\nab",  // short body
      "SSH-2.0-junk\r\n" + random_bytes(2048, 2),
      std::string(70000, 'A') + "\r\n\r\n",
      "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",  // a TLS ClientHello start
  };
  std::vector<std::uint16_t> ports = {p.mirror[0], p.mirror[1], p.mirror[2], p.sftp, p.control};
  std::vector<std::thread> senders;
  std::atomic<int> failed_connects{0};
  for (std::uint16_t port : ports) {
    senders.emplace_back([&junk, &failed_connects, port] {
      for (const auto& bytes : junk) {
        if (!send_raw(port, bytes, std::chrono::milliseconds(100))) ++failed_connects;
      }
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(failed_connects, 0);
  EXPECT_TRUE(sb.running()) << sb.stderr_text();
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(curl_get(sb.mirror_url(n)).status, 200);
  EXPECT_EQ(sb.get("/state")["mirrors"][0]["mode"], "up");
  EXPECT_EQ(libssh2_upload(p.sftp, sb.sftp_user(), sb.sftp_password(), "after-junk.bin", "ok"), "");
  EXPECT_EQ(sb.stop(), 0);
}

}  // namespace
}  // namespace sandbox::test
