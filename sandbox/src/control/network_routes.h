// Control-port routes for how the endpoints meet the network: the latency each adds to its
// answers, and the database's connections (encryption and round trips).
#pragma once

#include <functional>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
}  // namespace httplib

namespace sandbox {

class MirrorSet;
class SftpServer;
namespace tds {
class TdsServer;
}  // namespace tds

// GET /latency and POST /latency. `changed` runs after every change (the console's feed).
void register_network_routes(httplib::Server& server, tds::TdsServer& tds, MirrorSet& mirrors,
                             SftpServer& sftp, std::function<void()> changed);

// {"database": MS, "mirrors": MS, "sftp": MS}, as GET /latency answers.
nlohmann::json latency_json(const tds::TdsServer& tds, MirrorSet& mirrors, const SftpServer& sftp);

// The "connections" list and "round_trips" total of GET /connections.
void add_tds_connections(const tds::TdsServer& tds, nlohmann::json& out);

}  // namespace sandbox
