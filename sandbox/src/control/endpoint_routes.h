// Control-port routes for the mirrors, the SFTP server, uploads and the combined state.
#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
struct Request;
}  // namespace httplib

namespace sandbox {

class MirrorSet;
class SftpServer;

// `add_state` lets the database side put its clock and connection counts into GET /state.
void register_endpoint_routes(httplib::Server& server, MirrorSet& mirrors, SftpServer& sftp,
                              std::function<void(nlohmann::json&)> add_state);

// JSON errors for unknown routes and handler exceptions, so curious clients always get JSON.
void install_json_error_handlers(httplib::Server& server);
// The reason an error answer without a body of its own gives, e.g. for a POST without a body
// length, which the HTTP library refuses before routing.
std::string http_error_reason(const httplib::Request& req, int status);

}  // namespace sandbox
