// The service's routes on the control port: clock, call log, stored data, accounts, faults and
// connection counts (see docs/sandbox.md, "The control port").
#pragma once

namespace httplib {
class Server;
}  // namespace httplib

namespace sandbox {

class Service;

// Adds the routes; `service` must outlive `server`'s use of them.
void register_service_routes(httplib::Server& server, Service& service);

}  // namespace sandbox
