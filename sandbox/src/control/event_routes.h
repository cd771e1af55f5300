// GET /events: Server-Sent Events telling the console that the service's state changed, so it
// fetches what it shows when told instead of polling (see docs/sandbox.md, "The control port").
#pragma once

namespace httplib {
class Server;
}  // namespace httplib

namespace sandbox {

class ChangeFeed;

// At most this many streams are open at once; more answer 503 and the page polls instead.
inline constexpr int kMaxEventStreams = 4;

void register_event_routes(httplib::Server& server, ChangeFeed& changes);

}  // namespace sandbox
