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

namespace httplib {
class Server;
}

namespace sandbox {

struct ControlRequestFacts {
  std::string_view method;
  std::optional<std::string_view> host;        // Host header
  std::optional<std::string_view> origin;      // Origin header
  std::optional<std::string_view> fetch_site;  // Sec-Fetch-Site header
};

// Empty when the request may proceed, else why it is refused. `port` is the control port. Every
// request needs a loopback Host naming that port; a request that can change state (anything but
// GET, HEAD and OPTIONS) coming from a browser must come from a page of this same origin.
std::optional<std::string> refuse_control_request(const ControlRequestFacts& facts,
                                                  std::uint16_t port);

// Runs the check before routing: a refused request answers 403 with {"error": ...}. The port is
// read at each request, so the guard may be installed before the server is bound.
void install_control_guard(httplib::Server& server, const std::uint16_t* port);

}  // namespace sandbox
