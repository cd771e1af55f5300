#include "control/event_routes.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "control/console_guard.h"
#include "control/json_reply.h"
#include "service/change_feed.h"

namespace sandbox {

namespace {

using namespace std::chrono_literals;

// One "change" event; its data is the change counter, which only grows.
std::string change_event(std::int64_t version) {
  return "event: change\ndata: " + std::to_string(version) + "\n\n";
}

// Holds one of the stream slots for as long as the stream's provider lives.
class StreamSlot {
 public:
  explicit StreamSlot(std::atomic<int>& open) : open_(open) {}
  ~StreamSlot() { --open_; }
  StreamSlot(const StreamSlot&) = delete;
  StreamSlot& operator=(const StreamSlot&) = delete;

 private:
  std::atomic<int>& open_;
};

}  // namespace

void register_event_routes(httplib::Server& server, ChangeFeed& changes) {
  // Each open stream keeps one of the control port's worker threads: bound how many, in two
  // pools so that the console's page always finds one of its own.
  auto open_console = std::make_shared<std::atomic<int>>(0);
  auto open_other = std::make_shared<std::atomic<int>>(0);
  server.Get("/events", [&changes, open_console, open_other](const httplib::Request& req,
                                                             httplib::Response& res) {
    auto header = [&req](const char* name) -> std::optional<std::string> {
      if (req.get_header_value_count(name) != 1) return std::nullopt;
      return req.get_header_value(name);
    };
    const auto origin = header("Origin");
    const auto fetch_site = header("Sec-Fetch-Site");
    const auto host = header("Host");
    const bool console = from_console_page(origin, fetch_site, host);
    std::atomic<int>& open = console ? *open_console : *open_other;
    const int cap = console ? kConsoleEventStreams : kMaxEventStreams;
    if (++open > cap) {
      --open;
      send_error(res, 503,
                 "too many event streams open (at most " + std::to_string(cap) + "); poll instead");
      return;
    }
    auto slot = std::make_shared<StreamSlot>(open);
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    auto seen = std::make_shared<std::int64_t>(-1);
    auto quiet_since = std::make_shared<std::chrono::steady_clock::time_point>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [&changes, slot, seen, quiet_since](std::size_t, httplib::DataSink& sink) {
          if (*seen < 0) {
            // The first event at once: the page then knows the stream works and fetches.
            *seen = changes.version();
            *quiet_since = std::chrono::steady_clock::now();
            const std::string first = "retry: 1000\n\n" + change_event(*seen);
            return sink.write(first.data(), first.size());
          }
          // Short waits, so a stopping server is noticed between them.
          const std::int64_t now = changes.wait(*seen, 500ms);
          if (now != *seen) {
            *seen = now;
            *quiet_since = std::chrono::steady_clock::now();
            const std::string event = change_event(now);
            return sink.write(event.data(), event.size());
          }
          // A comment now and then finds a closed connection and keeps proxies from timing out.
          if (std::chrono::steady_clock::now() - *quiet_since > 15s) {
            *quiet_since = std::chrono::steady_clock::now();
            static constexpr char ping[] = ": ping\n\n";
            return sink.write(ping, sizeof ping - 1);
          }
          return true;
        });
  });
}

}  // namespace sandbox
