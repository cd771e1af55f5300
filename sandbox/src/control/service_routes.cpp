#include "control/service_routes.h"

#include <httplib.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "control/event_routes.h"
#include "control/json_reply.h"
#include "service/call_log.h"
#include "service/catalog.h"
#include "service/change_feed.h"
#include "service/faults.h"
#include "service/service.h"
#include "service/stored_data.h"
#include "service/text.h"

namespace sandbox {

namespace {

using nlohmann::json;

void bad_request(httplib::Response& res, const std::string& why) {
  send_error(res, 400, why);
}

std::string dumped(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Sends a list as it is written, in chunks of about 64 KiB, so that a long one never sits in
// memory whole (the content type as send_json's: no compression).
void send_list(httplib::Response& res, JsonListWriter write) {
  auto writer = std::make_shared<JsonListWriter>(std::move(write));
  res.status = 200;
  res.set_chunked_content_provider("application/json; charset=utf-8",
                                   [writer](std::size_t, httplib::DataSink& sink) {
                                     std::string pending;
                                     auto flush = [&] {
                                       const bool ok = sink.write(pending.data(), pending.size());
                                       pending.clear();
                                       return ok;
                                     };
                                     const bool ok = (*writer)([&](std::string_view piece) {
                                       pending += piece;
                                       return pending.size() < 65536 || flush();
                                     });
                                     if (!ok || (!pending.empty() && !flush())) return false;
                                     sink.done();
                                     return true;
                                   });
}

// The range of SQL Server's datetime, which the service clock must stay in.
const DateTime kClockMin = make_datetime(CivilTime{1753, 1, 1, 0, 0, 0, 0});
const DateTime kClockMax = make_datetime(CivilTime{9999, 12, 31, 23, 59, 59, 997});

constexpr std::int64_t kMaxGeneratedRows = 1000000;

// The procedure a fault names (proc=); nullptr when the name is none of the catalog's, so that a
// typo is refused instead of arming a fault that never fires.
const ProcDef* fault_target(const httplib::Request& req) {
  return find_procedure(from_utf8(req.get_param_value("proc")));
}

std::optional<std::int64_t> int_from_text(const std::string& v) {
  try {
    std::size_t used = 0;
    const long long n = std::stoll(v, &used);
    if (used != v.size()) return std::nullopt;
    return n;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::int64_t> int_param(const httplib::Request& req, const char* name) {
  if (!req.has_param(name)) return std::nullopt;
  return int_from_text(req.get_param_value(name));
}

std::string sql_type_name(SqlType t) {
  switch (t) {
    case SqlType::VarChar:
      return "varchar";
    case SqlType::NVarChar:
      return "nvarchar";
    case SqlType::Int:
      return "int";
    case SqlType::BigInt:
      return "bigint";
    case SqlType::Money:
      return "money";
    case SqlType::Decimal:
      return "decimal";
    case SqlType::DateTime:
      return "datetime";
    case SqlType::Bit:
      return "bit";
  }
  return "unknown";
}

// A value of the call log as JSON, texts aside (write_call streams those).
json param_json(const CallLog::ParamView& p) {
  json j{{"name", to_utf8(p.name)}, {"type", sql_type_name(p.type)}, {"null", p.is_null}};
  if (p.is_null) return j;
  switch (p.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
      break;
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::Bit:
      j["value"] = p.i;
      break;
    case SqlType::Money:
      j["value"] = static_cast<double>(p.i) / 10000.0;
      j["text"] = format_money(p.i);
      break;
    case SqlType::Decimal: {
      double d = static_cast<double>(p.i);
      for (int k = 0; k < p.scale; ++k) d /= 10.0;
      j["value"] = d;
      break;
    }
    case SqlType::DateTime:
      j["text"] = format_datetime(DateTime{p.i});
      break;
  }
  return j;
}

// A JSON object's text without its closing brace, to append members to.
std::string open_object(const json& j) {
  std::string text = dumped(j);
  text.pop_back();
  return text;
}

// "text" (UTF-8) and "utf16" (the exact code units as hex) of a logged text, written a part at a
// time: a parameter of megabytes never sits in memory as JSON whole.
bool write_text_members(const JsonSink& sink, std::u16string_view text) {
  return sink(",\"text\":") && write_json_string(sink, text) && sink(",\"utf16\":\"") &&
         for_each_part(text, [&](std::u16string_view part) { return sink(utf16le_hex(part)); }) &&
         sink("\"}");
}

// One call-log entry as JSON, written to `sink` a part at a time.
bool write_call(const JsonSink& sink, const CallLog::View& call) {
  const json head{
      {"seq", call.seq()},
      {"connection", call.connection()},
      {"at", call.at_ms() ? json(format_datetime(DateTime{call.at_ms()})) : json(nullptr)},
      {"proc", to_utf8(call.proc())},
      {"via", call.via_sql() ? "sql" : "rpc"},
      {"error", call.error() ? json(to_utf8(*call.error())) : json(nullptr)}};
  if (!sink(open_object(head) + ",\"params\":[")) return false;
  bool first = true;
  for (const CallLog::ParamView& p : call.params()) {
    if (!first && !sink(",")) return false;
    first = false;
    const json j = param_json(p);
    const bool text = !p.is_null && (p.type == SqlType::VarChar || p.type == SqlType::NVarChar);
    if (!(text ? sink(open_object(j)) && write_text_members(sink, p.text) : sink(dumped(j)))) {
      return false;
    }
  }
  return sink("]}");
}

// Parses the filters; an error message when one is malformed or unknown (a typo must not
// silently match everything, least of all for DELETE).
std::optional<std::string> parse_message_filter(const httplib::Request& req, MessageFilter& f,
                                                bool paging = true) {
  static constexpr std::string_view known[] = {"user",      "kind", "state", "reserved",
                                               "recipient", "q",    "limit", "before"};
  for (const auto& [name, value] : req.params) {
    const bool is_known = std::find(std::begin(known), std::end(known), name) != std::end(known) &&
                          (paging || (name != "limit" && name != "before"));
    if (!is_known) {
      return "unknown filter: " + name +
             (paging ? " (known: user, kind, state, reserved, recipient, q, limit, before)"
                     : " (known: user, kind, state, reserved, recipient, q)");
    }
  }
  for (const char* text : {"q", "recipient"}) {
    if (from_utf8(req.get_param_value(text)).size() > kMaxSearchLength) {
      return std::string(text) + ": at most " + std::to_string(kMaxSearchLength) + " characters";
    }
  }
  if (req.has_param("q")) f.set_text(from_utf8(req.get_param_value("q")));
  if (req.has_param("before")) {
    f.before = int_param(req, "before");
    if (!f.before) return "before: expected a message id";
  }
  if (req.has_param("user") && !req.get_param_value("user").empty()) {
    f.user_key = comparison_key(from_utf8(req.get_param_value("user")));
  }
  if (req.has_param("kind") && !req.get_param_value("kind").empty()) {
    const std::string k = req.get_param_value("kind");
    for (std::int64_t i = 0; i < 3; ++i) {
      if (k == kMessageKinds[i]) f.kind = i;
    }
    if (!f.kind) return "kind: expected sms, lms or mms";
  }
  if (req.has_param("state") && !req.get_param_value("state").empty()) {
    const std::string v = req.get_param_value("state");
    if (v == "waiting") {
      f.state = 0;
    } else if (v == "delivered") {
      f.state = 1;
    } else if (v == "cancelled") {
      f.state = 3;
    } else {
      return "state: expected waiting, delivered or cancelled";
    }
  }
  if (req.has_param("reserved") && !req.get_param_value("reserved").empty()) {
    const std::string v = req.get_param_value("reserved");
    if (v != "0" && v != "1") return "reserved: expected 0 or 1";
    f.reserved = v == "1";
  }
  if (req.has_param("recipient")) {
    f.set_recipient(from_utf8(req.get_param_value("recipient")));
  }
  if (req.has_param("limit")) {
    f.limit = int_param(req, "limit");
    if (!f.limit || *f.limit < 1) return "limit: expected a positive integer";
  }
  return std::nullopt;
}

json faults_json(const Faults& faults) {
  const Faults::Armed a = faults.armed();
  json raises = json::array();
  for (const auto& r : a.raises) {
    raises.push_back(json{{"proc", to_utf8(r.proc)},
                          {"message", to_utf8(r.raise.message)},
                          {"number", r.raise.number},
                          {"times", r.remaining}});
  }
  json drops = json::array();
  for (const auto& d : a.drops) {
    drops.push_back(
        json{{"proc", d.proc ? json(to_utf8(*d.proc)) : json(nullptr)}, {"after", d.remaining}});
  }
  json rows = json::array();
  for (const auto& r : a.rows) rows.push_back(json{{"proc", to_utf8(r.proc)}, {"count", r.count}});
  json acks = json::array();
  for (const auto& k : a.acks) {
    json entry{{"after", k.remaining}, {"drop", !k.raise}};
    if (k.raise) {
      entry["message"] = to_utf8(k.raise->message);
      entry["number"] = k.raise->number;
    }
    acks.push_back(std::move(entry));
  }
  return json{{"raise", std::move(raises)},
              {"drop", std::move(drops)},
              {"janek_null", a.janek_null},
              {"rows", std::move(rows)},
              {"ack", std::move(acks)}};
}

}  // namespace

void register_service_routes(httplib::Server& server, Service& service,
                             std::function<void(nlohmann::json&)> add_connections) {
  Service& s = service;
  Service* svc = &service;

  server.Get("/clock", [svc](const httplib::Request&, httplib::Response& res) {
    send_json(res, json{{"now", format_clock_text(svc->now())}});
  });
  server.Post("/clock", [svc](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("set")) {
      const auto t = parse_clock_text(req.get_param_value("set"));
      if (!t) return bad_request(res, "set: expected YYYY-MM-DD HH:MM:SS");
      svc->set_clock(*t);
    } else if (req.has_param("advance")) {
      double seconds = 0;
      try {
        std::size_t used = 0;
        const std::string v = req.get_param_value("advance");
        seconds = std::stod(v, &used);
        if (used != v.size() || !std::isfinite(seconds)) throw std::invalid_argument(v);
      } catch (...) {
        return bad_request(res, "advance: expected a number of seconds");
      }
      // Checked in double before converting: a huge step would overflow the clock.
      const double target_ms = static_cast<double>(svc->now().ms) + seconds * 1000.0;
      if (target_ms < static_cast<double>(kClockMin.ms) ||
          target_ms > static_cast<double>(kClockMax.ms)) {
        return bad_request(res, "advance: the clock must stay within 1753-01-01..9999-12-31");
      }
      svc->advance_clock(static_cast<std::int64_t>(seconds * 1000.0));
    } else {
      return bad_request(res, "expected set= or advance=");
    }
    svc->changes().bump();
    send_json(res, json{{"now", format_clock_text(svc->now())}});
  });

  server.Get("/calls", [&s](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::u16string> proc;
    if (req.has_param("proc")) proc = from_utf8(req.get_param_value("proc"));
    const auto since =
        req.has_param("since") ? int_param(req, "since") : std::optional<std::int64_t>(0);
    if (!since) return bad_request(res, "since: expected a sequence number");
    std::optional<std::int64_t> limit;
    if (req.has_param("limit")) {
      limit = int_param(req, "limit");
      if (!limit || *limit < 1) return bad_request(res, "limit: expected a positive integer");
    }
    CallLog& calls = s.calls();
    const auto name = proc ? std::optional<std::u16string_view>(*proc) : std::nullopt;
    const CallLog::Span span = calls.span(name, *since, limit.value_or(0));
    res.set_header("X-Total-Count", std::to_string(span.count));
    // Taken from the log a part at a time as it is sent, up to the newest entry now: a long log
    // never sits in memory whole, however many read it at once.
    const std::int64_t until = calls.last_seq();
    send_list(res, [&calls, proc, from = span.since_for_newest, until](const JsonSink& sink) {
      const auto wanted = proc ? std::optional<std::u16string_view>(*proc) : std::nullopt;
      if (!sink("[")) return false;
      bool first = true;
      for (std::int64_t after = from;;) {
        const auto part = calls.views(wanted, after, until, 256);
        if (part.empty()) break;
        for (const CallLog::View& call : part) {
          if (!first && !sink(",")) return false;
          if (!write_call(sink, call)) return false;
          first = false;
          after = call.seq();
        }
      }
      return sink("]");
    });
  });
  server.Delete("/calls", [&s](const httplib::Request&, httplib::Response& res) {
    s.calls().clear();
    send_json(res, json{{"ok", true}});
  });

  server.Get("/messages", [&s](const httplib::Request& req, httplib::Response& res) {
    MessageFilter filter;
    if (auto why = parse_message_filter(req, filter)) return bad_request(res, *why);
    MessageList list = message_list(s, filter);
    res.set_header("X-Total-Count", std::to_string(list.total));
    send_list(res, std::move(list.write));
  });
  server.Delete("/messages", [&s](const httplib::Request& req, httplib::Response& res) {
    MessageFilter filter;
    if (auto why = parse_message_filter(req, filter, false)) return bad_request(res, *why);
    const std::int64_t n = delete_messages(s, filter);
    s.changes().bump();
    send_json(res, json{{"ok", true}, {"deleted", n}});
  });
  server.Post("/reset", [&s](const httplib::Request&, httplib::Response& res) {
    s.reset_to_seed();
    send_json(res, json{{"ok", true}});
  });
  register_event_routes(server, s.changes());
  server.Get(R"(/messages/(-?\d+))", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto id = int_from_text(req.matches[1]);
    auto m = id ? message_detail_json(s, *id) : std::nullopt;
    if (!m) return send_json(res, json{{"error", "no message with that id"}}, 404);
    send_json(res, *m);
  });
  server.Post(R"(/messages/(-?\d+)/cancel)",
              [&s](const httplib::Request& req, httplib::Response& res) {
                const auto id = int_from_text(req.matches[1]);
                switch (id ? cancel_reservation(s, *id) : CancelOutcome::NoSuchMessage) {
                  case CancelOutcome::NoSuchMessage:
                    return send_json(res, json{{"error", "no message with that id"}}, 404);
                  case CancelOutcome::NotPending:
                    return send_json(res, json{{"error", "not a pending reservation"}}, 409);
                  case CancelOutcome::Cancelled:
                    break;
                }
                s.changes().bump();
                send_json(res, json{{"ok", true}});
              });
  server.Get("/results", [&s](const httplib::Request&, httplib::Response& res) {
    send_list(res, result_list(s));
  });
  server.Get("/acks", [&s](const httplib::Request&, httplib::Response& res) {
    send_list(res, ack_list(s));
  });
  server.Get("/deposits", [&s](const httplib::Request&, httplib::Response& res) {
    send_list(res, deposit_list(s));
  });
  server.Get("/members", [&s](const httplib::Request&, httplib::Response& res) {
    send_list(res, member_list(s));
  });
  server.Get("/accounts", [&s](const httplib::Request&, httplib::Response& res) {
    send_json(res, accounts_json(s));
  });
  server.Post("/accounts", [&s](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("user")) return bad_request(res, "user= is required");
    const std::u16string user = from_utf8(req.get_param_value("user"));
    if (trim_blanks(user).empty()) return bad_request(res, "user= must not be empty");
    std::optional<std::int64_t> balance;
    if (req.has_param("balance")) {
      balance = parse_money(req.get_param_value("balance"));
      if (!balance) return bad_request(res, "balance: expected a decimal amount");
    }
    std::optional<std::int64_t> blocked = int_param(req, "blocked");
    if (req.has_param("blocked") && !blocked) return bad_request(res, "blocked: expected 0 or 1");
    AccountChange change{user, balance, std::nullopt, std::nullopt};
    if (blocked) change.blocked = *blocked != 0;
    if (req.has_param("password")) change.password = from_utf8(req.get_param_value("password"));
    const bool created = set_account(s, change);
    s.changes().bump();
    send_json(res, json{{"ok", true}, {"created", created}});
  });

  server.Post("/faults/raise", [&s](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("proc") || !req.has_param("message")) {
      return bad_request(res, "proc= and message= are required");
    }
    const auto number =
        req.has_param("number") ? int_param(req, "number") : std::optional<std::int64_t>(50000);
    const auto times =
        req.has_param("times") ? int_param(req, "times") : std::optional<std::int64_t>(1);
    if (!number || !times || *times < 1 || *number < 1 ||
        *number > std::numeric_limits<std::int32_t>::max()) {
      return bad_request(res, "number= and times= are positive integers");
    }
    const ProcDef* def = fault_target(req);
    if (!def) return bad_request(res, "proc= names no procedure of database sms");
    s.faults().add_raise(std::u16string(def->name), from_utf8(req.get_param_value("message")),
                         static_cast<std::int32_t>(*number), *times);
    s.changes().bump();
    send_json(res, json{{"ok", true}});
  });
  server.Post("/faults/drop", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto after =
        req.has_param("after") ? int_param(req, "after") : std::optional<std::int64_t>(1);
    if (!after || *after < 1) return bad_request(res, "after= is a positive integer");
    std::optional<std::u16string> proc;
    if (req.has_param("proc")) {
      const ProcDef* def = fault_target(req);
      if (!def) return bad_request(res, "proc= names no procedure of database sms");
      proc = std::u16string(def->name);
    }
    s.faults().add_drop(*after, std::move(proc));
    s.changes().bump();
    send_json(res, json{{"ok", true}});
  });
  server.Post("/faults/ack", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto after =
        req.has_param("after") ? int_param(req, "after") : std::optional<std::int64_t>(1);
    const std::string mode = req.has_param("mode") ? req.get_param_value("mode") : "";
    if (!after || *after < 1) return bad_request(res, "after= is a positive integer");
    if (mode == "drop") {
      s.faults().add_ack_fault(*after, std::nullopt);
    } else if (mode == "raise") {
      const auto number =
          req.has_param("number") ? int_param(req, "number") : std::optional<std::int64_t>(50000);
      if (!number || *number < 1 || *number > std::numeric_limits<std::int32_t>::max()) {
        return bad_request(res, "number= is a positive integer");
      }
      std::u16string text = req.has_param("message") ? from_utf8(req.get_param_value("message"))
                                                     : u"acknowledgement refused (fault)";
      s.faults().add_ack_fault(*after,
                               Faults::Raise{std::move(text), static_cast<std::int32_t>(*number)});
    } else {
      return bad_request(res, "mode= is raise or drop");
    }
    s.changes().bump();
    send_json(res, json{{"ok", true}});
  });
  server.Post("/faults/janek-null", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto on = req.has_param("on") ? int_param(req, "on") : std::optional<std::int64_t>(1);
    if (!on) return bad_request(res, "on= is 0 or 1");
    s.faults().set_janek_null(*on != 0);
    s.changes().bump();
    send_json(res, json{{"ok", true}});
  });
  server.Post("/faults/rows", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto count = int_param(req, "count");
    if (!req.has_param("proc") || !count || *count < 0) {
      return bad_request(res, "proc= and count= (>= 0) are required");
    }
    // Rows are made as they are sent; a bound keeps one answer to a few hundred megabytes.
    if (*count > kMaxGeneratedRows) return bad_request(res, "count= is at most 1000000");
    const std::u16string proc = from_utf8(req.get_param_value("proc"));
    const ProcDef* def = find_procedure(proc);
    if (!def || def->is_function) return bad_request(res, "that is not a procedure");
    s.faults().set_rows(std::u16string(def->name), *count);
    s.changes().bump();
    send_json(res, json{{"ok", true}});
  });
  server.Get("/faults", [&s](const httplib::Request&, httplib::Response& res) {
    send_json(res, faults_json(s.faults()));
  });
  server.Delete("/faults", [&s](const httplib::Request&, httplib::Response& res) {
    s.faults().clear();
    s.changes().bump();
    send_json(res, json{{"ok", true}});
  });

  server.Get(
      "/connections", [svc, add_connections](const httplib::Request&, httplib::Response& res) {
        const auto c = svc->connection_counts();
        json out{
            {"open", c.open}, {"total_logins", c.total_logins}, {"failed_logins", c.failed_logins}};
        if (add_connections) add_connections(out);
        send_json(res, out);
      });
}

}  // namespace sandbox
