// GET /events: Server-Sent Events telling the console that the service's state changed, so it
// fetches what it shows when told instead of polling (see docs/sandbox.md, "The control port").
#pragma once

namespace httplib {
class Server;
}  // namespace httplib

namespace sandbox {

class ChangeFeed;

// Streams open at once for clients other than the console's own page (tools), and, apart from
// those, for the console's page, which a tool or another site can therefore never crowd out.
// More answer 503 and the page polls instead. A page of another origin gets none (the guard).
inline constexpr int kMaxEventStreams = 4;
inline constexpr int kConsoleEventStreams = 4;

void register_event_routes(httplib::Server& server, ChangeFeed& changes);

}  // namespace sandbox
