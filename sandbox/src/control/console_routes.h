// The web console: GET / and its files, served from the executable itself.
#pragma once

namespace httplib {
class Server;
}

namespace sandbox {

void register_console_routes(httplib::Server& server);

}  // namespace sandbox
