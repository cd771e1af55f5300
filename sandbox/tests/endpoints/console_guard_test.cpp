// Which control requests the guard lets through, without a server.
#include <gtest/gtest.h>

#include "control/console_guard.h"

namespace sandbox {
namespace {

std::optional<std::string> check(std::string_view method, std::optional<std::string_view> host,
                                 std::optional<std::string_view> origin = std::nullopt,
                                 std::optional<std::string_view> site = std::nullopt) {
  return refuse_control_request(ControlRequestFacts{method, host, origin, site}, 18090);
}

TEST(ConsoleGuard, HostMustBeLoopbackOnThisPort) {
  EXPECT_FALSE(check("GET", "127.0.0.1:18090"));
  EXPECT_FALSE(check("GET", "localhost:18090"));
  EXPECT_FALSE(check("GET", "[::1]:18090"));
  EXPECT_TRUE(check("GET", std::nullopt));
  EXPECT_TRUE(check("GET", ""));
  EXPECT_TRUE(check("GET", "127.0.0.1"));  // port 80 implied
  EXPECT_TRUE(check("GET", "127.0.0.1:18091"));
  EXPECT_TRUE(check("GET", "127.0.0.1:018090x"));
  EXPECT_TRUE(check("GET", "127.0.0.1:99999999999"));
  EXPECT_TRUE(check("GET", "127.0.0.2:18090"));
  EXPECT_TRUE(check("GET", "evil.localhost:18090"));
  EXPECT_TRUE(check("GET", "[::1]"));
  EXPECT_TRUE(check("GET", "::1:18090"));
  EXPECT_TRUE(check("GET", "127.0.0.1:"));
  // A port-80 sandbox accepts the bare names browsers then send.
  EXPECT_FALSE(refuse_control_request(ControlRequestFacts{"GET", "localhost", {}, {}}, 80));
}

TEST(ConsoleGuard, WritesFromABrowserMustComeFromTheSameOrigin) {
  for (std::string_view method : {"POST", "DELETE", "PUT", "PATCH"}) {
    EXPECT_FALSE(check(method, "127.0.0.1:18090")) << method;  // curl, tests
    EXPECT_FALSE(check(method, "127.0.0.1:18090", "http://127.0.0.1:18090")) << method;
    EXPECT_FALSE(check(method, "localhost:18090", "http://LOCALHOST:18090")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", "http://localhost:18090")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", "null")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", "http://127.0.0.1:8080")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", "https://127.0.0.1:18090")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", "http://127.0.0.1:18090/")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", "")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", std::nullopt, "cross-site")) << method;
    EXPECT_TRUE(check(method, "127.0.0.1:18090", std::nullopt, "same-site")) << method;
    EXPECT_FALSE(check(method, "127.0.0.1:18090", std::nullopt, "same-origin")) << method;
    EXPECT_FALSE(check(method, "127.0.0.1:18090", std::nullopt, "none")) << method;
  }
  // Reads change nothing; the browser keeps their answers from other origins.
  EXPECT_FALSE(check("GET", "127.0.0.1:18090", "http://evil.example", "cross-site"));
  EXPECT_FALSE(check("HEAD", "127.0.0.1:18090", "http://evil.example"));
  // Any other method word is treated as a write.
  EXPECT_TRUE(check("get", "127.0.0.1:18090", "http://evil.example"));
}

}  // namespace
}  // namespace sandbox
