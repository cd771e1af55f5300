#include "control/database_routes.h"

#include <httplib.h>

#include <string>

#include "control/json_reply.h"
#include "service/change_feed.h"
#include "tds/server.h"

namespace sandbox {

void register_database_routes(httplib::Server& server, tds::TdsServer& tds, ChangeFeed& changes) {
  server.Post("/tds", [&tds, &changes](const httplib::Request& req, httplib::Response& res) {
    const auto mode = tds::parse_tds_mode(req.get_param_value("mode"));
    if (!mode) return send_error(res, 400, "mode must be up, blackhole or close-new");
    tds.set_mode(*mode);
    changes.bump();
    send_json(res, nlohmann::json{{"mode", std::string(tds::tds_mode_name(tds.mode()))}});
  });
  server.Post("/connections/close",
              [&tds, &changes](const httplib::Request&, httplib::Response& res) {
                const std::size_t closed = tds.close_connections();
                changes.bump();
                send_json(res, nlohmann::json{{"closed", closed}});
              });
}

}  // namespace sandbox
