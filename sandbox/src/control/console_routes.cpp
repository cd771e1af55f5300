#include "control/console_routes.h"

#include <httplib.h>

#include <string>
#include <string_view>

#include "control/console_files.h"

namespace sandbox {

namespace {

std::string content_type(std::string_view name) {
  auto ends_with = [name](std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
  };
  if (ends_with(".html")) return "text/html; charset=utf-8";
  if (ends_with(".css")) return "text/css; charset=utf-8";
  if (ends_with(".js")) return "text/javascript; charset=utf-8";
  if (ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

void serve(httplib::Response& res, const console::EmbeddedFile& file) {
  // Nothing but this origin's own files runs in the page; no other site may frame it.
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                 "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Cache-Control", "no-cache");
  res.set_content(std::string(file.data), content_type(file.name).c_str());
}

}  // namespace

void register_console_routes(httplib::Server& server) {
  for (const auto& file : console::embedded_files()) {
    const std::string path = file.name == "index.html" ? "/" : "/console/" + std::string(file.name);
    server.Get(path,
               [&file](const httplib::Request&, httplib::Response& res) { serve(res, file); });
    // Browsers ask for /favicon.ico whatever the page names.
    if (file.name == "icon.svg") {
      server.Get("/favicon.ico",
                 [&file](const httplib::Request&, httplib::Response& res) { serve(res, file); });
    }
  }
}

}  // namespace sandbox
