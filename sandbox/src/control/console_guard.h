// Who may use the control port: the console page in a browser and local tools, nobody else.
//
// The port listens on loopback, but a page from elsewhere in the developer's browser can still
// reach it: by DNS rebinding (a foreign name resolving to 127.0.0.1, which the Host header shows)
// or by a cross-site request (which the browser marks with Origin / Sec-Fetch-Site).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

class GuardedHttpServer;

struct ControlRequestFacts {
  std::string_view method;
  std::string_view path;                       // the target without its query
  std::optional<std::string_view> host;        // Host header
  std::optional<std::string_view> origin;      // Origin header
  std::optional<std::string_view> fetch_site;  // Sec-Fetch-Site header
};

// Empty when the request may proceed, else why it is refused. `port` is the control port. Every
// request needs a loopback Host naming that port; a request from a browser page must come from
// a page of this same origin, but for a plain visit of the console page itself ("/"): reads
// too, since the answers hold passwords and messages and some cost the service real work.
std::optional<std::string> refuse_control_request(const ControlRequestFacts& facts,
                                                  std::uint16_t port);

// Runs the check on each request's head, before any of its body is read: a refused request
// answers 403 with {"error": ...} and its connection closes. The port is read at each request,
// so the guard may be installed before the server is bound.
void install_control_guard(GuardedHttpServer& server, const std::uint16_t* port);

// True when a request's headers show it comes from this origin's own page (the console), as
// browsers mark every request they send.
bool from_console_page(std::optional<std::string_view> origin,
                       std::optional<std::string_view> fetch_site,
                       std::optional<std::string_view> host);

}  // namespace sandbox
