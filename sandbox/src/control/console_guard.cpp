#include "control/console_guard.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "ascii.h"

namespace sandbox {

namespace {

// A Host value naming this machine's loopback on `port` ("127.0.0.1:P", "localhost:P",
// "[::1]:P"). Without a port the default 80 is meant.
bool is_loopback_host(std::string_view host, std::uint16_t port) {
  std::string h = ascii_lowered(host);
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

}  // namespace

std::optional<std::string> refuse_control_request(const ControlRequestFacts& facts,
                                                  std::uint16_t port) {
  if (!facts.host || !is_loopback_host(*facts.host, port)) {
    return "Host must be 127.0.0.1:" + std::to_string(port) + " (or localhost)";
  }
  if (!may_change_state(facts.method)) return std::nullopt;
  // Browsers send Origin with every POST/DELETE; tools such as curl send none.
  if (facts.origin) {
    if (ascii_lowered(*facts.origin) != "http://" + ascii_lowered(*facts.host)) {
      return "cross-origin request refused (Origin " + std::string(*facts.origin) + ")";
    }
  } else if (facts.fetch_site && *facts.fetch_site != "same-origin" &&
             *facts.fetch_site != "none") {
    return "cross-site request refused";
  }
  return std::nullopt;
}

void install_control_guard(httplib::Server& server, const std::uint16_t* port) {
  server.set_pre_routing_handler([port](const httplib::Request& req, httplib::Response& res) {
    // A repeated header is ambiguous; a value that never passes refuses it rather than guess.
    auto header = [&req](const char* name) -> std::optional<std::string> {
      if (!req.has_header(name)) return std::nullopt;
      if (req.get_header_value_count(name) != 1) return std::string("\x01");
      return req.get_header_value(name);
    };
    const auto host = header("Host");
    const auto origin = header("Origin");
    const auto fetch_site = header("Sec-Fetch-Site");
    auto view = [](const std::optional<std::string>& v) -> std::optional<std::string_view> {
      if (!v) return std::nullopt;
      return std::string_view(*v);
    };
    ControlRequestFacts facts{req.method, view(host), view(origin), view(fetch_site)};
    auto why = refuse_control_request(facts, *port);
    if (!why) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content(nlohmann::json{{"error", *why}}.dump(-1, ' ', false,
                                                         nlohmann::json::error_handler_t::replace),
                    "application/json");
    return httplib::Server::HandlerResponse::Handled;
  });
}

}  // namespace sandbox
