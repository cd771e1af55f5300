// The service's routes on the control port: clock, call log, stored data, accounts, faults and
// connection counts (see docs/sandbox.md, "The control port").
#pragma once

#include <functional>

#include <nlohmann/json_fwd.hpp>

namespace httplib {
class Server;
}  // namespace httplib

namespace sandbox {

class Service;

// Adds the routes; `service` must outlive `server`'s use of them. `add_connections` adds what
// the database endpoint knows of its connections to GET /connections.
void register_service_routes(httplib::Server& server, Service& service,
                             std::function<void(nlohmann::json&)> add_connections = {});

}  // namespace sandbox
