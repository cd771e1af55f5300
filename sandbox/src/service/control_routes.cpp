#include "service/control_routes.h"

#include <httplib.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "service/event_routes.h"
#include "service/service_impl.h"
#include "service/text.h"

namespace sandbox {

namespace {

using nlohmann::json;

void reply(httplib::Response& res, const json& body, int status = 200) {
  res.status = status;
  // Stored text is UTF-16 turned into UTF-8 (never invalid); replace rather than throw anyway.
  // With the charset named, the HTTP library does not compress the answer: it would use Brotli
  // at its slowest setting for a browser, about 2.5 s for a list of 500 messages, on every poll.
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

void bad_request(httplib::Response& res, const std::string& why) {
  reply(res, json{{"error", why}}, 400);
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

json param_json(const CallRecord::Param& p) {
  json j{
      {"name", to_utf8(p.name)}, {"type", sql_type_name(p.value.type)}, {"null", p.value.is_null}};
  if (p.value.is_null) return j;
  const SqlValue& v = p.value;
  switch (v.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
      j["text"] = to_utf8(v.s);
      j["utf16"] = utf16le_hex(v.s);
      break;
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::Bit:
      j["value"] = v.i;
      break;
    case SqlType::Money:
      j["value"] = static_cast<double>(v.i) / 10000.0;
      j["text"] = format_money(v.i);
      break;
    case SqlType::Decimal: {
      double d = static_cast<double>(v.i);
      for (int k = 0; k < v.scale; ++k) d /= 10.0;
      j["value"] = d;
      break;
    }
    case SqlType::DateTime:
      j["text"] = format_datetime(DateTime{v.i});
      break;
  }
  return j;
}

json call_json(const CallRecord& r) {
  json params = json::array();
  for (const auto& p : r.params) params.push_back(param_json(p));
  return json{{"seq", r.seq},
              {"connection", r.connection},
              {"at", r.at_ms ? json(format_datetime(DateTime{r.at_ms})) : json(nullptr)},
              {"proc", to_utf8(r.proc)},
              {"via", r.via_sql ? "sql" : "rpc"},
              {"params", std::move(params)},
              {"error", r.error ? json(to_utf8(*r.error)) : json(nullptr)}};
}

json text_or_null(const Stmt& q, int column) {
  return q.is_null(column) ? json(nullptr) : json(to_utf8(q.text(column)));
}
json int_or_null(const Stmt& q, int column) {
  return q.is_null(column) ? json(nullptr) : json(q.integer(column));
}
json money_or_null(const Stmt& q, int column) {
  return q.is_null(column) ? json(nullptr) : json(static_cast<double>(q.integer(column)) / 10000.0);
}
json time_or_null(const Stmt& q, int column) {
  return q.is_null(column) ? json(nullptr) : json(format_datetime(DateTime{q.integer(column)}));
}

// The columns every message query reads, in the order message_json expects.
#define TAVIK_MESSAGE_COLUMNS                                                                     \
  "SELECT id, kind, user_id, sub_id, user_tel, custom_tel, custom_id, custom_nam, subject, msg, " \
  "typ, n_code, fnam1, fnam2, fnam3, yk_time, kun2, fee, i_time, due, reserved, state, s_time, "  \
  "result_code, result_msg, reply, connection FROM messages "

constexpr const char* kKinds[] = {"sms", "lms", "mms"};

const char* kind_name(std::int64_t kind) {
  return kKinds[kind >= 0 && kind < 3 ? kind : 0];
}
const char* state_name(std::int64_t state) {
  return state == 1 ? "delivered" : (state == 3 ? "cancelled" : "waiting");
}

json message_json(const Stmt& q) {
  return json{
      {"id", q.integer(0)},
      {"kind", kind_name(q.integer(1))},
      {"user_id", text_or_null(q, 2)},
      {"sub_id", text_or_null(q, 3)},
      {"user_tel", text_or_null(q, 4)},
      {"custom_tel", text_or_null(q, 5)},
      {"custom_id", text_or_null(q, 6)},
      {"custom_nam", text_or_null(q, 7)},
      {"subject", text_or_null(q, 8)},
      {"msg", text_or_null(q, 9)},
      {"typ", int_or_null(q, 10)},
      {"n_code", text_or_null(q, 11)},
      {"fnam1", text_or_null(q, 12)},
      {"fnam2", text_or_null(q, 13)},
      {"fnam3", text_or_null(q, 14)},
      {"yk_time", text_or_null(q, 15)},
      {"kun2", int_or_null(q, 16)},
      {"fee", money_or_null(q, 17)},
      {"i_time", time_or_null(q, 18)},
      {"due", time_or_null(q, 19)},
      {"reserved", q.integer(20) != 0},
      {"state", state_name(q.integer(21))},
      {"s_time", time_or_null(q, 22)},
      {"result_code", int_or_null(q, 23)},
      {"result_msg", text_or_null(q, 24)},
      {"reply", q.integer(25)},
      {"connection", int_or_null(q, 26)},
  };
}

// Filters of GET /messages; an unset one matches everything.
struct MessageFilter {
  std::optional<std::u16string> user_key;
  std::optional<std::int64_t> kind;
  std::optional<std::int64_t> state;
  std::optional<bool> reserved;
  std::u16string recipient;  // digits only when it holds digits, else the text as typed
  bool recipient_digits = false;
  std::optional<std::int64_t> limit;
  std::u16string text;                 // folded search text over recipient, name, text, sub-account
  std::optional<std::int64_t> before;  // only ids below this ("load more")

  // ASCII letters folded to lower case; other characters compare exactly.
  static std::u16string folded(std::u16string s) {
    for (char16_t& c : s) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
  }
  bool text_in(const Stmt& q, int column) const {
    return !q.is_null(column) && folded(q.text(column)).find(text) != std::u16string::npos;
  }

  static std::u16string digits(std::u16string_view s) {
    std::u16string d;
    for (char16_t c : s) {
      if (c >= u'0' && c <= u'9') d.push_back(c);
    }
    return d;
  }

  bool matches(const Stmt& q) const {
    if (kind && q.integer(1) != *kind) return false;
    if (state && q.integer(21) != *state) return false;
    if (reserved && (q.integer(20) != 0) != *reserved) return false;
    if (before && q.integer(0) >= *before) return false;
    if (!text.empty() && !text_in(q, 5) && !text_in(q, 7) && !text_in(q, 8) && !text_in(q, 9) &&
        !text_in(q, 3)) {
      return false;
    }
    if (user_key && (q.is_null(2) || comparison_key(q.text(2)) != *user_key)) return false;
    if (!recipient.empty()) {
      if (q.is_null(5)) return false;
      const std::u16string tel = recipient_digits ? digits(q.text(5)) : q.text(5);
      if (tel.find(recipient) == std::u16string::npos) return false;
    }
    return true;
  }
};

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
  if (req.has_param("q")) f.text = MessageFilter::folded(from_utf8(req.get_param_value("q")));
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
      if (k == kKinds[i]) f.kind = i;
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
    const std::u16string r = from_utf8(req.get_param_value("recipient"));
    f.recipient = MessageFilter::digits(r);
    f.recipient_digits = !f.recipient.empty();
    if (!f.recipient_digits) f.recipient = std::u16string(trim_blanks(r));
  }
  if (req.has_param("limit")) {
    f.limit = int_param(req, "limit");
    if (!f.limit || *f.limit < 1) return "limit: expected a positive integer";
  }
  return std::nullopt;
}

// Messages in id order; with a limit, the newest that match. `total` counts every match, also
// those past the limit, so a list can say how many there are.
json messages_json(ServiceState& s, const MessageFilter& f, std::int64_t& total) {
  std::lock_guard lock(s.db_mutex);
  s.deliver_due_messages();
  auto& q = s.store.stmt(TAVIK_MESSAGE_COLUMNS "ORDER BY id DESC");
  json out = json::array();
  total = 0;
  while (q.step()) {
    if (!f.matches(q)) continue;
    ++total;
    if (!f.limit || static_cast<std::int64_t>(out.size()) < *f.limit)
      out.push_back(message_json(q));
  }
  q.start();
  std::reverse(out.begin(), out.end());
  return out;
}

// Deletes the messages that match, in one transaction; returns how many.
std::int64_t delete_messages(ServiceState& s, const MessageFilter& f) {
  std::lock_guard lock(s.db_mutex);
  s.deliver_due_messages();
  std::vector<std::int64_t> ids;
  auto& q = s.store.stmt(TAVIK_MESSAGE_COLUMNS "ORDER BY id");
  while (q.step()) {
    if (f.matches(q)) ids.push_back(q.integer(0));
  }
  q.start();
  Transaction tx(s.store);
  for (const std::int64_t id : ids) {
    s.store.stmt("DELETE FROM messages WHERE id = ?").bind(1, id).run();
  }
  tx.commit();
  return static_cast<std::int64_t>(ids.size());
}

json results_json(ServiceState& s) {
  std::lock_guard lock(s.db_mutex);
  s.deliver_due_messages();
  auto& q = s.store.stmt(TAVIK_MESSAGE_COLUMNS "WHERE state = 1 ORDER BY id");
  json out = json::array();
  while (q.step()) out.push_back(message_json(q));
  return out;
}

// A text parameter as the call log shows it: UTF-8 for reading, the exact UTF-16 in hex.
json stored_param_json(std::u16string_view name, const Stmt& q, int column, ParamType type) {
  const bool is_int = type == ParamType::Int || type == ParamType::Bit;
  json j{
      {"name", to_utf8(name)}, {"type", is_int ? "int" : "nvarchar"}, {"null", q.is_null(column)}};
  if (q.is_null(column)) return j;
  if (is_int) {
    j["value"] = q.integer(column);
  } else {
    const std::u16string v = q.text(column);
    j["text"] = to_utf8(v);
    j["utf16"] = utf16le_hex(v);
  }
  return j;
}

// One message with its send procedure's parameters in declared order, as stored.
std::optional<json> message_detail_json(ServiceState& s, std::int64_t id) {
  std::lock_guard lock(s.db_mutex);
  s.deliver_due_messages();
  auto& q = s.store.stmt(TAVIK_MESSAGE_COLUMNS "WHERE id = ?");
  q.bind(1, id);
  if (!q.step()) return std::nullopt;
  json m = message_json(q);
  static constexpr ProcId procs[] = {ProcId::sp_sms_send, ProcId::sp_lms_send, ProcId::sp_mms_send};
  const std::int64_t kind = q.integer(1);
  const ProcDef& def = procedure(procs[kind >= 0 && kind < 3 ? kind : 0]);
  // Where each parameter is kept (column of TAVIK_MESSAGE_COLUMNS).
  static const std::pair<std::u16string_view, int> columns[] = {
      {u"@user_id", 2},   {u"@Sub_ID", 3},     {u"@User_tel", 4}, {u"@Custom_tel", 5},
      {u"@Custom_id", 6}, {u"@Custom_nam", 7}, {u"@subject", 8},  {u"@msg", 9},
      {u"@typ", 10},      {u"@n_code", 11},    {u"@fnam1", 12},   {u"@fnam2", 13},
      {u"@fnam3", 14},    {u"@YK_Time", 15}};
  json params = json::array();
  for (const ParamDef& p : def.params) {
    for (const auto& [name, column] : columns) {
      if (iequals(name, p.name)) params.push_back(stored_param_json(p.name, q, column, p.type));
    }
  }
  q.start();
  m["proc"] = to_utf8(def.name);
  m["params"] = std::move(params);
  return m;
}

enum class CancelOutcome { Cancelled, NoSuchMessage, NotPending };

// Cancels a reservation that is not yet due, refunding it, as the service's own cancel does.
CancelOutcome cancel_reservation(ServiceState& s, std::int64_t id) {
  std::lock_guard lock(s.db_mutex);
  s.deliver_due_messages();
  auto& q = s.store.stmt("SELECT fee, user_key, reserved, state, due FROM messages WHERE id = ?");
  q.bind(1, id);
  if (!q.step()) return CancelOutcome::NoSuchMessage;
  const std::int64_t fee = q.opt_integer(0).value_or(0);
  const std::u16string key = q.text(1);
  const bool pending = q.integer(2) != 0 && q.integer(3) == 0 && q.integer(4) > s.clock.now().ms;
  q.start();
  if (!pending) return CancelOutcome::NotPending;
  Transaction tx(s.store);
  s.store.stmt("UPDATE messages SET state = 3 WHERE id = ?").bind(1, id).run();
  s.store.stmt("UPDATE accounts SET balance = balance + ? WHERE user_key = ?")
      .bind(1, fee)
      .bind_text(2, key)
      .run();
  tx.commit();
  return CancelOutcome::Cancelled;
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

json acks_json(ServiceState& s) {
  std::lock_guard lock(s.db_mutex);
  auto& q = s.store.stmt("SELECT seq, connection, result_id, at, rows FROM acks ORDER BY seq");
  json out = json::array();
  while (q.step()) {
    out.push_back(json{{"seq", q.integer(0)},
                       {"connection", q.integer(1)},
                       {"id", q.integer(2)},
                       {"at", time_or_null(q, 3)},
                       {"rows", q.integer(4)}});
  }
  return out;
}

json deposits_json(ServiceState& s) {
  std::lock_guard lock(s.db_mutex);
  auto& q =
      s.store.stmt("SELECT id, user_id, kunsu, ibgum, ibgum_date, memo FROM deposits ORDER BY id");
  json out = json::array();
  while (q.step()) {
    out.push_back(json{{"id", q.integer(0)},
                       {"user_id", text_or_null(q, 1)},
                       {"kunsu", int_or_null(q, 2)},
                       {"ibgum", money_or_null(q, 3)},
                       {"date", time_or_null(q, 4)},
                       {"memo", text_or_null(q, 5)}});
  }
  return out;
}

json members_json(ServiceState& s) {
  std::lock_guard lock(s.db_mutex);
  auto& q = s.store.stmt(
      "SELECT seq, i_time, user_id, user_pw, recommender, tax_no, tax_ltd, tax_name, tax_jongmok, "
      "tax_upte, tax_tel, tax_fax, tax_mail, tax_juso, tax_damdang FROM members ORDER BY seq");
  static constexpr const char* names[] = {
      "user_id",  "user_pw", "recommender", "tax_no",   "tax_ltd",  "tax_name",   "tax_jongmok",
      "tax_upte", "tax_tel", "tax_fax",     "tax_mail", "tax_juso", "tax_damdang"};
  json out = json::array();
  while (q.step()) {
    json m{{"seq", q.integer(0)}, {"i_time", time_or_null(q, 1)}};
    for (int i = 0; i < 13; ++i) m[names[i]] = text_or_null(q, i + 2);
    out.push_back(std::move(m));
  }
  return out;
}

json accounts_json(ServiceState& s) {
  std::lock_guard lock(s.db_mutex);
  auto& q = s.store.stmt(
      "SELECT a.user_id, a.password, a.balance, a.blocked, a.user_key FROM accounts a "
      "ORDER BY a.user_id");
  json out = json::array();
  std::vector<std::u16string> keys;
  while (q.step()) {
    out.push_back(json{{"user_id", text_or_null(q, 0)},
                       {"password", text_or_null(q, 1)},
                       {"balance", money_or_null(q, 2)},
                       {"blocked", q.integer(3) != 0},
                       {"sub_accounts", json::array()}});
    keys.push_back(q.text(4));
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto& sub = s.store.stmt("SELECT sub_id FROM sub_accounts WHERE user_key = ? ORDER BY sub_id");
    sub.bind_text(1, keys[i]);
    while (sub.step()) out[i]["sub_accounts"].push_back(to_utf8(sub.text(0)));
  }
  return out;
}

}  // namespace

void register_service_routes(httplib::Server& server, Service& service) {
  ServiceState& s = service.state();
  Service* svc = &service;

  server.Get("/clock", [svc](const httplib::Request&, httplib::Response& res) {
    reply(res, json{{"now", format_clock_text(svc->now())}});
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
    svc->state().changes.bump();
    reply(res, json{{"now", format_clock_text(svc->now())}});
  });

  server.Get("/calls", [&s](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::u16string> proc;
    if (req.has_param("proc")) proc = from_utf8(req.get_param_value("proc"));
    const auto since =
        req.has_param("since") ? int_param(req, "since") : std::optional<std::int64_t>(0);
    if (!since) return bad_request(res, "since: expected a sequence number");
    json out = json::array();
    const auto records =
        s.calls.list(proc ? std::optional<std::u16string_view>(*proc) : std::nullopt, *since);
    for (const auto& r : records) out.push_back(call_json(r));
    reply(res, out);
  });
  server.Delete("/calls", [&s](const httplib::Request&, httplib::Response& res) {
    s.calls.clear();
    reply(res, json{{"ok", true}});
  });

  server.Get("/messages", [&s](const httplib::Request& req, httplib::Response& res) {
    MessageFilter filter;
    if (auto why = parse_message_filter(req, filter)) return bad_request(res, *why);
    std::int64_t total = 0;
    json list = messages_json(s, filter, total);
    res.set_header("X-Total-Count", std::to_string(total));
    reply(res, list);
  });
  server.Delete("/messages", [&s](const httplib::Request& req, httplib::Response& res) {
    MessageFilter filter;
    if (auto why = parse_message_filter(req, filter, false)) return bad_request(res, *why);
    const std::int64_t n = delete_messages(s, filter);
    s.changes.bump();
    reply(res, json{{"ok", true}, {"deleted", n}});
  });
  server.Post("/reset", [&s](const httplib::Request&, httplib::Response& res) {
    s.reset_to_seed();
    reply(res, json{{"ok", true}});
  });
  register_event_routes(server, s);
  server.Get(R"(/messages/(-?\d+))", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto id = int_from_text(req.matches[1]);
    auto m = id ? message_detail_json(s, *id) : std::nullopt;
    if (!m) return reply(res, json{{"error", "no message with that id"}}, 404);
    reply(res, *m);
  });
  server.Post(R"(/messages/(-?\d+)/cancel)",
              [&s](const httplib::Request& req, httplib::Response& res) {
                const auto id = int_from_text(req.matches[1]);
                switch (id ? cancel_reservation(s, *id) : CancelOutcome::NoSuchMessage) {
                  case CancelOutcome::NoSuchMessage:
                    return reply(res, json{{"error", "no message with that id"}}, 404);
                  case CancelOutcome::NotPending:
                    return reply(res, json{{"error", "not a pending reservation"}}, 409);
                  case CancelOutcome::Cancelled:
                    break;
                }
                s.changes.bump();
                reply(res, json{{"ok", true}});
              });
  server.Get("/results", [&s](const httplib::Request&, httplib::Response& res) {
    reply(res, results_json(s));
  });
  server.Get("/acks",
             [&s](const httplib::Request&, httplib::Response& res) { reply(res, acks_json(s)); });
  server.Get("/deposits", [&s](const httplib::Request&, httplib::Response& res) {
    reply(res, deposits_json(s));
  });
  server.Get("/members", [&s](const httplib::Request&, httplib::Response& res) {
    reply(res, members_json(s));
  });
  server.Get("/accounts", [&s](const httplib::Request&, httplib::Response& res) {
    reply(res, accounts_json(s));
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
    std::lock_guard lock(s.db_mutex);
    const std::u16string key = comparison_key(user);
    auto& find = s.store.stmt("SELECT 1 FROM accounts WHERE user_key = ?");
    find.bind_text(1, key);
    const bool exists = find.step();
    find.start();
    if (!exists) {
      const std::u16string password =
          req.has_param("password") ? from_utf8(req.get_param_value("password")) : user + u"1234";
      s.store
          .stmt(
              "INSERT INTO accounts(user_key, user_id, password, balance, blocked) "
              "VALUES(?,?,?,?,?)")
          .bind_text(1, key)
          .bind_text(2, user)
          .bind_text(3, password)
          .bind(4, balance.value_or(0))
          .bind(5, blocked.value_or(0) != 0 ? 1 : 0)
          .run();
    } else {
      if (balance) {
        s.store.stmt("UPDATE accounts SET balance = ? WHERE user_key = ?")
            .bind(1, *balance)
            .bind_text(2, key)
            .run();
      }
      if (blocked) {
        s.store.stmt("UPDATE accounts SET blocked = ? WHERE user_key = ?")
            .bind(1, *blocked != 0 ? 1 : 0)
            .bind_text(2, key)
            .run();
      }
      if (req.has_param("password")) {
        s.store.stmt("UPDATE accounts SET password = ? WHERE user_key = ?")
            .bind_text(1, from_utf8(req.get_param_value("password")))
            .bind_text(2, key)
            .run();
      }
    }
    s.changes.bump();
    reply(res, json{{"ok", true}, {"created", !exists}});
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
    s.faults.add_raise(std::u16string(def->name), from_utf8(req.get_param_value("message")),
                       static_cast<std::int32_t>(*number), *times);
    s.changes.bump();
    reply(res, json{{"ok", true}});
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
    s.faults.add_drop(*after, std::move(proc));
    s.changes.bump();
    reply(res, json{{"ok", true}});
  });
  server.Post("/faults/ack", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto after =
        req.has_param("after") ? int_param(req, "after") : std::optional<std::int64_t>(1);
    const std::string mode = req.has_param("mode") ? req.get_param_value("mode") : "";
    if (!after || *after < 1) return bad_request(res, "after= is a positive integer");
    if (mode == "drop") {
      s.faults.add_ack_fault(*after, std::nullopt);
    } else if (mode == "raise") {
      const auto number =
          req.has_param("number") ? int_param(req, "number") : std::optional<std::int64_t>(50000);
      if (!number || *number < 1 || *number > std::numeric_limits<std::int32_t>::max()) {
        return bad_request(res, "number= is a positive integer");
      }
      std::u16string text = req.has_param("message") ? from_utf8(req.get_param_value("message"))
                                                     : u"acknowledgement refused (fault)";
      s.faults.add_ack_fault(*after,
                             Faults::Raise{std::move(text), static_cast<std::int32_t>(*number)});
    } else {
      return bad_request(res, "mode= is raise or drop");
    }
    s.changes.bump();
    reply(res, json{{"ok", true}});
  });
  server.Post("/faults/janek-null", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto on = req.has_param("on") ? int_param(req, "on") : std::optional<std::int64_t>(1);
    if (!on) return bad_request(res, "on= is 0 or 1");
    s.faults.set_janek_null(*on != 0);
    s.changes.bump();
    reply(res, json{{"ok", true}});
  });
  server.Post("/faults/rows", [&s](const httplib::Request& req, httplib::Response& res) {
    const auto count = int_param(req, "count");
    if (!req.has_param("proc") || !count || *count < 0) {
      return bad_request(res, "proc= and count= (>= 0) are required");
    }
    // The whole answer is built in memory (about 1.4 KB a row); more would risk the machine.
    if (*count > kMaxGeneratedRows) return bad_request(res, "count= is at most 1000000");
    const std::u16string proc = from_utf8(req.get_param_value("proc"));
    const ProcDef* def = find_procedure(proc);
    if (!def || def->is_function) return bad_request(res, "that is not a procedure");
    s.faults.set_rows(std::u16string(def->name), *count);
    s.changes.bump();
    reply(res, json{{"ok", true}});
  });
  server.Get("/faults", [&s](const httplib::Request&, httplib::Response& res) {
    reply(res, faults_json(s.faults));
  });
  server.Delete("/faults", [&s](const httplib::Request&, httplib::Response& res) {
    s.faults.clear();
    s.changes.bump();
    reply(res, json{{"ok", true}});
  });

  server.Get("/connections", [svc](const httplib::Request&, httplib::Response& res) {
    const auto c = svc->connection_counts();
    reply(res, json{{"open", c.open},
                    {"total_logins", c.total_logins},
                    {"failed_logins", c.failed_logins}});
  });
}

}  // namespace sandbox
