// Control-port routes for the database endpoint itself: its mode (a hung server, one that cannot
// take sessions) and closing every connection at once (a restart as its clients see it).
#pragma once

namespace httplib {
class Server;
}

namespace sandbox {

namespace tds {
class TdsServer;
}
class ChangeFeed;

void register_database_routes(httplib::Server& server, tds::TdsServer& tds, ChangeFeed& changes);

}  // namespace sandbox
