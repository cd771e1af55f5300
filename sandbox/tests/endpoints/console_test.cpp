// The web console on the control port: its files come from the executable, uploads are served
// for thumbnails, and requests that other pages in a browser could forge are refused.
#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "endpoint_helpers.h"

namespace sandbox::test {
namespace {

using nlohmann::json;

class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() : client_("127.0.0.1", sandbox_.ports().control) {
    client_.set_connection_timeout(5);
    client_.set_read_timeout(5);
  }

  std::string own_host() const { return "127.0.0.1:" + std::to_string(sandbox_.ports().control); }

  int status(const char* method, const std::string& path, const httplib::Headers& headers) {
    httplib::Result r = method == std::string("GET") ? client_.Get(path.c_str(), headers)
                        : method == std::string("DELETE")
                            ? client_.Delete(path.c_str(), headers)
                            : client_.Post(path.c_str(), headers, "", "text/plain");
    return r ? r->status : -1;
  }

  // The service clock in seconds since its own midnight of 2024-06-01 (the fixed start below).
  long clock_seconds() {
    const std::string now = sandbox_.get("/clock")["now"];
    return std::stol(now.substr(8, 2)) * 86400 + std::stol(now.substr(11, 2)) * 3600 +
           std::stol(now.substr(14, 2)) * 60 + std::stol(now.substr(17, 2));
  }

  SandboxProcess sandbox_{{"--clock", "2024-06-01 12:00:00"}};
  httplib::Client client_;
};

TEST_F(ConsoleTest, PageAndItsFilesComeFromTheExecutableAndNeedNoNetwork) {
  auto page = client_.Get("/");
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("<meta charset=\"utf-8\">"), std::string::npos);
  // No other site may frame the page (clickjacking of its buttons) or inject scripts into it.
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
  const std::string csp = page->get_header_value("Content-Security-Policy");
  EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << csp;
  EXPECT_NE(csp.find("script-src 'self'"), std::string::npos) << csp;

  // Every file the page refers to is served here, and none of them reaches for another host.
  std::regex ref(R"re((?:src|href)="([^"]+)")re");
  int refs = 0;
  for (auto it = std::sregex_iterator(page->body.begin(), page->body.end(), ref);
       it != std::sregex_iterator(); ++it) {
    const std::string target = (*it)[1];
    ASSERT_EQ(target.rfind("/", 0), 0u) << target;
    ASSERT_NE(target.rfind("//", 0), 0u) << target;
    auto file = client_.Get(target.c_str());
    ASSERT_TRUE(file) << target;
    EXPECT_EQ(file->status, 200) << target;
    // An SVG names its XML namespace by a URL, which is never fetched.
    const std::string body =
        std::regex_replace(file->body, std::regex(R"(xmlns="http://www\.w3\.org/2000/svg")"), "");
    EXPECT_EQ(body.find("http://"), std::string::npos) << target;
    EXPECT_EQ(body.find("https://"), std::string::npos) << target;
    EXPECT_EQ(file->get_header_value("X-Content-Type-Options"), "nosniff") << target;
    ++refs;
  }
  EXPECT_GE(refs, 2);
  auto script = client_.Get("/console/console.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_EQ(client_.Get("/console/missing.js")->status, 404);
}

TEST_F(ConsoleTest, ForeignHostNamesAreRefusedAgainstDnsRebinding) {
  const std::string port = std::to_string(sandbox_.ports().control);
  // A rebound name reaches 127.0.0.1 but still says its own name in Host: even reads are refused,
  // since the answers hold passwords and messages.
  for (const std::string& host : std::vector<std::string>{
           "attacker.example:" + port, "attacker.example", "127.0.0.1.attacker.example:" + port,
           "127.0.0.1:1" + port, "localhost.:" + port, "127.0.0.1:" + port + "x"}) {
    EXPECT_EQ(status("GET", "/state", {{"Host", host}}), 403) << host;
    EXPECT_EQ(status("GET", "/", {{"Host", host}}), 403) << host;
  }
  const long before = clock_seconds();
  EXPECT_EQ(status("POST", "/clock?advance=3600", {{"Host", "attacker.example:" + port}}), 403);
  EXPECT_LT(clock_seconds() - before, 600);

  auto refused = client_.Get("/accounts", {{"Host", "attacker.example:" + port}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->body.find("demo1234"), std::string::npos);
  EXPECT_TRUE(json::parse(refused->body).contains("error"));

  // The loopback names of this very port are the console's own.
  for (const std::string& host : std::vector<std::string>{"127.0.0.1:" + port, "localhost:" + port,
                                                          "LOCALHOST:" + port, "[::1]:" + port}) {
    EXPECT_EQ(status("GET", "/state", {{"Host", host}}), 200) << host;
  }
}

TEST_F(ConsoleTest, CrossSiteWritesAreRefusedAndChangeNothing) {
  const std::string own = "http://" + own_host();
  const std::string other_port = "http://127.0.0.1:" + std::to_string(sandbox_.ports().mirror[0]);
  write_file(sandbox_.data_dir() / "uploads" / "keep.jpg", "picture");

  // Each refused write leaves the state as it was.
  for (const std::string& origin : std::vector<std::string>{
           "http://attacker.example", "null", other_port,
           "http://localhost:" + own_host().substr(10), "https://" + own_host()}) {
    const long before = clock_seconds();
    EXPECT_EQ(status("POST", "/clock?advance=3600", {{"Origin", origin}}), 403) << origin;
    EXPECT_LT(clock_seconds() - before, 600) << origin;
    EXPECT_EQ(status("POST", "/mirrors/1?mode=down", {{"Origin", origin}}), 403) << origin;
    EXPECT_EQ(status("DELETE", "/uploads", {{"Origin", origin}}), 403) << origin;
    EXPECT_EQ(status("POST", "/accounts?user=demo&balance=0", {{"Origin", origin}}), 403);
    EXPECT_EQ(status("DELETE", "/messages", {{"Origin", origin}}), 403) << origin;
    EXPECT_EQ(status("POST", "/reset", {{"Origin", origin}}), 403) << origin;
  }
  EXPECT_EQ(sandbox_.get("/messages").size(), 6u);
  EXPECT_EQ(sandbox_.get("/mirrors")[0]["mode"], "up");
  EXPECT_EQ(sandbox_.get("/uploads")["files"].size(), 1u);
  for (const auto& a : sandbox_.get("/accounts")) {
    if (a["user_id"] == "demo") {
      EXPECT_DOUBLE_EQ(a["balance"].get<double>(), 100000.0);
    }
  }

  // A browser that marks the request cross-site without an Origin is refused too, and so is an
  // ambiguous pair of Origin headers.
  EXPECT_EQ(status("POST", "/clock?advance=3600", {{"Sec-Fetch-Site", "cross-site"}}), 403);
  EXPECT_EQ(status("POST", "/clock?advance=3600", {{"Sec-Fetch-Site", "same-site"}}), 403);
  EXPECT_EQ(status("POST", "/clock?advance=1", {{"Origin", own}, {"Origin", "null"}}), 403);

  // The console itself, and tools that send no Origin, may write.
  EXPECT_EQ(
      status("POST", "/mirrors/2?mode=down", {{"Origin", own}, {"Sec-Fetch-Site", "same-origin"}}),
      200);
  EXPECT_EQ(sandbox_.get("/mirrors")[1]["mode"], "down");
  EXPECT_EQ(status("POST", "/mirrors/2?mode=up", {}), 200);
  // Another page's reads are refused as well (they can cost real work); a link to the console
  // page itself still opens it.
  EXPECT_EQ(status("GET", "/state", {{"Origin", "http://attacker.example"}}), 403);
  EXPECT_EQ(status("GET", "/", {{"Sec-Fetch-Site", "cross-site"}}), 200);
}

// One raw request, the whole answer (the connection is closed by the server).
std::string raw_exchange(std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, n);
  }
  ::close(fd);
  return answer;
}

TEST_F(ConsoleTest, ErrorsSayWhy) {
  // A POST without a body length is refused before routing; the answer says what to send.
  const std::string answer = raw_exchange(
      sandbox_.ports().control,
      "POST /clock?advance=1 HTTP/1.1\r\nHost: " + own_host() + "\r\nConnection: close\r\n\r\n");
  EXPECT_NE(answer.find("400"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Content-Length: 0"), std::string::npos) << answer;
  // An unknown filter is named instead of being ignored.
  auto r = client_.Get("/messages?stat=waiting");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  EXPECT_NE(json::parse(r->body)["error"].get<std::string>().find("stat"), std::string::npos);
}

TEST_F(ConsoleTest, ListensOnLoopbackOnly) {
  // /proc/net/tcp lists listening sockets (state 0A) with their local address in hex.
  std::ifstream tcp("/proc/net/tcp");
  ASSERT_TRUE(tcp);
  std::ostringstream wanted;
  wanted << std::uppercase << std::hex << sandbox_.ports().control;
  std::string port_hex = wanted.str();
  while (port_hex.size() < 4) port_hex = "0" + port_hex;
  std::string line;
  int listeners = 0;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, st;
    fields >> slot >> local >> remote >> st;
    if (st != "0A" || local.size() < 5 || local.substr(local.size() - 4) != port_hex) continue;
    EXPECT_EQ(local, "0100007F:" + port_hex);
    ++listeners;
  }
  EXPECT_EQ(listeners, 1);
}

TEST_F(ConsoleTest, UploadsAreServedExactlyAndNothingElseIs) {
  std::string picture = "\xFF\xD8\xFF\xE0";
  picture += random_bytes(5000, 7);
  picture += std::string("\0\0end", 5);
  ASSERT_EQ(libssh2_upload(sandbox_.ports().sftp, sandbox_.sftp_user(), sandbox_.sftp_password(),
                           "사진 1.JPG", picture),
            "");
  auto got = client_.Get("/uploads/%EC%82%AC%EC%A7%84%201.JPG");
  ASSERT_TRUE(got);
  ASSERT_EQ(got->status, 200);
  EXPECT_EQ(got->body, picture);
  EXPECT_EQ(got->get_header_value("Content-Type"), "image/jpeg");
  EXPECT_EQ(got->get_header_value("X-Content-Type-Options"), "nosniff");

  // The database and the host key sit next to the uploads folder; a link inside it is not
  // followed either.
  std::filesystem::create_symlink(sandbox_.data_dir() / "sandbox.sqlite3",
                                  sandbox_.data_dir() / "uploads" / "link.jpg");
  for (const std::string path :
       {"/uploads/..%2Fsandbox.sqlite3", "/uploads/../sandbox.sqlite3", "/uploads/%2E%2E",
        "/uploads/link.jpg", "/uploads/none.jpg", "/uploads/..%5Cssh_host_ed25519_key"}) {
    if (path == "/uploads/link.jpg" && sandbox_under_wine()) {
      std::cout << "not against the Windows sandbox: Wine shows a Unix link as the file it "
                   "names (Windows' own links are reparse points, which it refuses)\n";
      continue;
    }
    auto r = client_.Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 404) << path;
    EXPECT_EQ(r->body.find("SQLite"), std::string::npos) << path;
  }
}

}  // namespace
}  // namespace sandbox::test
