// The control port's answers: JSON, also for errors ({"error": "..."}).
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>

namespace sandbox {

inline void send_json(httplib::Response& res, const nlohmann::json& body, int status = 200) {
  res.status = status;
  // Stored text is UTF-16 turned into UTF-8 (never invalid), and names that may hold other bytes
  // are escaped before they get here; a stray byte is replaced rather than turned into a 500.
  // With the charset named, the HTTP library does not compress the answer: it would use Brotli
  // at its slowest setting for a browser, about 2.5 s for a list of 500 messages, on every poll.
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

inline void send_error(httplib::Response& res, int status, const std::string& message) {
  send_json(res, nlohmann::json{{"error", message}}, status);
}

}  // namespace sandbox
