// Which control requests the guard lets through, without a server.
#include <gtest/gtest.h>

#include "control/console_guard.h"

namespace sandbox {
namespace {

std::optional<std::string> check(std::string_view method, std::optional<std::string_view> host,
                                 std::optional<std::string_view> origin = std::nullopt,
                                 std::optional<std::string_view> site = std::nullopt,
                                 std::string_view path = "/messages") {
  return refuse_control_request(ControlRequestFacts{method, path, host, origin, site}, 18090);
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
  EXPECT_FALSE(refuse_control_request(ControlRequestFacts{"GET", "/", "localhost", {}, {}}, 80));
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
  // Any other method word is treated as a write.
  EXPECT_TRUE(check("get", "127.0.0.1:18090", "http://evil.example"));
}

// Reads from another site's page are refused too: their answers hold passwords, and some (a long
// search, the call log) cost real work. Only a visit of the console page itself is let in.
TEST(ConsoleGuard, ReadsFromAnotherSiteReachOnlyTheConsolePage) {
  struct Case {
    std::string_view method, path;
    std::optional<std::string_view> origin, site;
    bool refused;
  };
  const Case cases[] = {
      {"GET", "/messages", "http://evil.example", "cross-site", true},
      {"GET", "/calls", std::nullopt, "cross-site", true},
      {"GET", "/events", std::nullopt, "same-site", true},  // another port of this host
      {"HEAD", "/state", "null", std::nullopt, true},
      {"GET", "/console/console.js", std::nullopt, "cross-site", true},
      {"GET", "/", std::nullopt, "cross-site", false},  // a link to the console
      {"HEAD", "/", "http://evil.example", std::nullopt, false},
      {"POST", "/", std::nullopt, "cross-site", true},
      {"GET", "/messages", std::nullopt, "same-origin", false},  // the console's own reads
      {"GET", "/messages", "http://127.0.0.1:18090", std::nullopt, false},
      {"GET", "/messages", std::nullopt, "none", false},        // typed into the address bar
      {"GET", "/messages", std::nullopt, std::nullopt, false},  // curl
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check(c.method, "127.0.0.1:18090", c.origin, c.site, c.path).has_value(), c.refused)
        << c.method << " " << c.path;
  }
}

TEST(ConsoleGuard, OnlyTheConsolesOwnPageCountsAsIt) {
  EXPECT_TRUE(from_console_page(std::nullopt, "same-origin", "127.0.0.1:18090"));
  EXPECT_TRUE(from_console_page("http://127.0.0.1:18090", std::nullopt, "127.0.0.1:18090"));
  EXPECT_FALSE(from_console_page(std::nullopt, std::nullopt, "127.0.0.1:18090"));  // a tool
  EXPECT_FALSE(from_console_page(std::nullopt, "none", "127.0.0.1:18090"));
  EXPECT_FALSE(from_console_page(std::nullopt, "same-site", "127.0.0.1:18090"));
  EXPECT_FALSE(from_console_page("http://localhost:18090", std::nullopt, "127.0.0.1:18090"));
  EXPECT_FALSE(from_console_page(std::nullopt, "same-origin", std::nullopt));
}

}  // namespace
}  // namespace sandbox
