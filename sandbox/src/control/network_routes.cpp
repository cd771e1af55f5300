#include "control/network_routes.h"

#include <httplib.h>

#include <chrono>
#include <ctime>
#include <string>

#include "control/json_reply.h"
#include "control/options.h"
#include "mirrors/mirrors.h"
#include "service/text.h"
#include "sftp/sftp_server.h"
#include "tds/server.h"

namespace sandbox {

namespace {

using nlohmann::json;

std::string local_time_text(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::localtime_r(&s, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace

json latency_json(const tds::TdsServer& tds, MirrorSet& mirrors, const SftpServer& sftp) {
  return json{{"database", tds.latency().count()},
              {"mirrors", mirrors.mirror(1).latency().count()},
              {"sftp", sftp.latency().count()}};
}

void register_network_routes(httplib::Server& server, tds::TdsServer& tds, MirrorSet& mirrors,
                             SftpServer& sftp, std::function<void()> changed) {
  server.Get("/latency", [&](const httplib::Request&, httplib::Response& res) {
    send_json(res, latency_json(tds, mirrors, sftp));
  });
  // ?ms=N sets all three; ?database=N&mirrors=N&sftp=N any of them.
  server.Post("/latency", [&, changed](const httplib::Request& req, httplib::Response& res) {
    Latency l{tds.latency().count(), mirrors.mirror(1).latency().count(), sftp.latency().count()};
    bool any = false;
    for (const auto& [name, value] : req.params) {
      std::string error;
      const auto parsed = parse_latency(name == "ms" ? value : name + "=" + value, error);
      if (!parsed) return send_error(res, 400, error);
      if (name == "ms" || name == "database") l.database = parsed->database;
      if (name == "ms" || name == "mirrors") l.mirrors = parsed->mirrors;
      if (name == "ms" || name == "sftp") l.sftp = parsed->sftp;
      any = true;
    }
    if (!any) return send_error(res, 400, "ms= or database=, mirrors=, sftp= (milliseconds)");
    tds.set_latency(std::chrono::milliseconds(l.database));
    mirrors.set_latency(std::chrono::milliseconds(l.mirrors));
    sftp.set_latency(std::chrono::milliseconds(l.sftp));
    if (changed) changed();
    send_json(res, latency_json(tds, mirrors, sftp));
  });
}

void add_tds_connections(const tds::TdsServer& tds, json& out) {
  json list = json::array();
  for (const tds::ConnectionInfo& c : tds.connections()) {
    const tds::RoundTrips& r = c.round_trips;
    json entry{{"number", c.number},
               {"connection", c.session},
               {"spid", c.spid},
               {"open", c.open},
               {"state", c.state},
               {"user", to_utf8(c.user)},
               {"connected_at", local_time_text(c.connected_at)},
               {"encryption", c.encryption.empty() ? json() : json(c.encryption)},
               {"tls", c.tls_version.empty() ? json() : json(c.tls_version)},
               {"cipher", c.tls_cipher.empty() ? json() : json(c.tls_cipher)},
               {"round_trips",
                {{"total", r.total()},
                 {"prelogin", r.prelogin},
                 {"tls", r.tls},
                 {"login", r.login},
                 {"sql", r.sql},
                 {"rpc", r.rpc},
                 {"other", r.other}}}};
    if (!c.closed_because.empty()) entry["closed_because"] = c.closed_because;
    list.push_back(std::move(entry));
  }
  out["round_trips"] = tds.total_round_trips();
  out["encryption"] = std::string(tds::encryption_setting_name(tds.encryption()));
  out["connections"] = std::move(list);
}

}  // namespace sandbox
