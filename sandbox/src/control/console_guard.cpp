#include "control/console_guard.h"

#include <vector>

#include <taviksms_common/ascii.h>
#include "http/guarded_server.h"

namespace sandbox {

namespace {

// A Host value naming this machine's loopback on `port` ("127.0.0.1:P", "localhost:P",
// "[::1]:P"). Without a port the default 80 is meant.
bool is_loopback_host(std::string_view host, std::uint16_t port) {
  std::string h = taviksms::ascii::lowered(host);
  std::string name = h;
  std::string port_text;
  const auto colon = h.rfind(':');
  const auto bracket = h.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    name = h.substr(0, colon);
    port_text = h.substr(colon + 1);
  }
  if (name != "127.0.0.1" && name != "localhost" && name != "[::1]") return false;
  if (port_text.empty()) return port == 80;
  if (port_text.size() > 5) return false;
  unsigned value = 0;
  for (char c : port_text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value == port;
}

bool may_change_state(std::string_view method) {
  return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

// Where a browser says a request comes from (Origin, else Sec-Fetch-Site): this origin's own
// page, another page, or no page at all (a tool such as curl, or an address typed in).
enum class Sender { kNoPage, kOwnPage, kOtherPage };

Sender sender(std::optional<std::string_view> origin, std::optional<std::string_view> fetch_site,
              std::string_view host) {
  if (origin) {
    return taviksms::ascii::lowered(*origin) == "http://" + taviksms::ascii::lowered(host)
               ? Sender::kOwnPage
               : Sender::kOtherPage;
  }
  if (!fetch_site || *fetch_site == "none") return Sender::kNoPage;
  return *fetch_site == "same-origin" ? Sender::kOwnPage : Sender::kOtherPage;
}

}  // namespace

std::optional<std::string> refuse_control_request(const ControlRequestFacts& facts,
                                                  std::uint16_t port) {
  if (!facts.host || !is_loopback_host(*facts.host, port)) {
    return "Host must be 127.0.0.1:" + std::to_string(port) + " (or localhost)";
  }
  if (sender(facts.origin, facts.fetch_site, *facts.host) != Sender::kOtherPage) {
    return std::nullopt;
  }
  // A link to the console from elsewhere opens it; the page is static and reads nothing itself.
  if (!may_change_state(facts.method) && facts.path == "/") return std::nullopt;
  if (facts.origin) {
    return "cross-origin request refused (Origin " + std::string(*facts.origin) + ")";
  }
  return "cross-site request refused";
}

bool from_console_page(std::optional<std::string_view> origin,
                       std::optional<std::string_view> fetch_site,
                       std::optional<std::string_view> host) {
  return host && sender(origin, fetch_site, *host) == Sender::kOwnPage;
}

void install_control_guard(GuardedHttpServer& server, const std::uint16_t* port) {
  server.set_admission_check([port](const RequestHead& head) {
    // A repeated header is ambiguous; a value that never passes refuses it rather than guess.
    std::vector<std::string_view> values[3] = {head.values("Host"), head.values("Origin"),
                                               head.values("Sec-Fetch-Site")};
    std::optional<std::string_view> one[3];
    for (int i = 0; i < 3; ++i) {
      if (values[i].size() == 1) one[i] = values[i][0];
      if (values[i].size() > 1) one[i] = "\x01";
    }
    return refuse_control_request(
        ControlRequestFacts{head.method(), head.path(), one[0], one[1], one[2]}, *port);
  });
}

}  // namespace sandbox
