#include "service/stored_data.h"

#include <algorithm>

#include "service/service_impl.h"
#include "service/text.h"

namespace sandbox {

using nlohmann::json;

void MessageFilter::set_text(std::u16string_view typed) {
  text = taviksms::ascii::lowered(typed);
}

namespace {

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

const char* kind_name(std::int64_t kind) {
  return kMessageKinds[kind >= 0 && kind < 3 ? kind : 0];
}
const char* state_name(std::int64_t state) {
  return state == 1 ? "delivered" : (state == 3 ? "cancelled" : "waiting");
}

// `with_texts` false: without "msg" and "subject" (columns 9 and 8), which write_message streams.
json message_json(const Stmt& q, bool with_texts = true) {
  json m{
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
  if (!with_texts) {
    m.erase("msg");
    m.erase("subject");
  }
  return m;
}

std::u16string digits_of(std::u16string_view s) {
  std::u16string d;
  for (char16_t c : s) {
    if (c >= u'0' && c <= u'9') d.push_back(c);
  }
  return d;
}

// A filter made ready to test rows of TAVIK_MESSAGE_COLUMNS: its texts are searched in time
// linear in the text searched, however long or repetitive the pattern.
class MessageMatcher {
 public:
  explicit MessageMatcher(const MessageFilter& f)
      : f_(f), text_(f.text, true), recipient_(f.recipient, false) {}

  bool operator()(const Stmt& q) const {
    if (f_.kind && q.integer(1) != *f_.kind) return false;
    if (f_.state && q.integer(21) != *f_.state) return false;
    if (f_.reserved && (q.integer(20) != 0) != *f_.reserved) return false;
    if (f_.before && q.integer(0) >= *f_.before) return false;
    if (f_.user_key && (q.is_null(2) || comparison_key(q.text_view(2)) != *f_.user_key)) {
      return false;
    }
    if (!f_.text.empty() && !text_in(q, 5) && !text_in(q, 7) && !text_in(q, 8) && !text_in(q, 9) &&
        !text_in(q, 3)) {
      return false;
    }
    if (!f_.recipient.empty()) {
      if (q.is_null(5)) return false;
      const std::u16string_view tel = q.text_view(5);
      if (!recipient_.found_in(f_.recipient_digits ? digits_of(tel) : tel)) return false;
    }
    return true;
  }

 private:
  bool text_in(const Stmt& q, int column) const {
    return !q.is_null(column) && text_.found_in(q.text_view(column));
  }

  const MessageFilter& f_;
  TextSearch text_;
  TextSearch recipient_;
};

std::string dumped(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// One row of TAVIK_MESSAGE_COLUMNS as message_json's object, its long texts written last, a
// part at a time.
bool write_message(const JsonSink& sink, const Stmt& q) {
  std::string head = dumped(message_json(q, false));
  head.back() = ',';
  auto text = [&](int column) {
    return q.is_null(column) ? sink("null") : write_json_string(sink, q.text_view(column));
  };
  return sink(head + "\"msg\":") && text(9) && sink(",\"subject\":") && text(8) && sink("}");
}

// The rows of `q` as a JSON array written to `sink` a row at a time; false once it refused one.
bool write_rows(const JsonSink& sink, Stmt& q, json (*row)(const Stmt&)) {
  if (!sink("[")) return false;
  for (bool first = true; q.step(); first = false) {
    if (!sink((first ? "" : ",") + dumped(row(q)))) {
      q.start();
      return false;
    }
  }
  return sink("]");
}

// A list read from a snapshot (not under the service's lock) and written as it is read.
JsonListWriter query_list(ServiceState& s, const char* sql, json (*row)(const Stmt&)) {
  std::shared_ptr<ReadConnection> reader = s.readers.acquire();
  return [reader, sql, row](const JsonSink& sink) {
    reader->begin();
    const bool ok = write_rows(sink, reader->stmt(sql), row);
    reader->end();
    return ok;
  };
}

json ack_json(const Stmt& q) {
  return json{{"seq", q.integer(0)},
              {"connection", q.integer(1)},
              {"id", q.integer(2)},
              {"at", time_or_null(q, 3)},
              {"rows", q.integer(4)}};
}

json deposit_json(const Stmt& q) {
  return json{{"id", q.integer(0)},         {"user_id", text_or_null(q, 1)},
              {"kunsu", int_or_null(q, 2)}, {"ibgum", money_or_null(q, 3)},
              {"date", time_or_null(q, 4)}, {"memo", text_or_null(q, 5)}};
}

json member_json(const Stmt& q) {
  static constexpr const char* names[] = {
      "user_id",  "user_pw", "recommender", "tax_no",   "tax_ltd",  "tax_name",   "tax_jongmok",
      "tax_upte", "tax_tel", "tax_fax",     "tax_mail", "tax_juso", "tax_damdang"};
  json m{{"seq", q.integer(0)}, {"i_time", time_or_null(q, 1)}};
  for (int i = 0; i < 13; ++i) m[names[i]] = text_or_null(q, i + 2);
  return m;
}

}  // namespace

bool for_each_part(std::u16string_view text,
                   const std::function<bool(std::u16string_view part)>& write_part) {
  static constexpr std::size_t kPart = 16384;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t n = std::min(kPart, text.size() - at);
    if (at + n < text.size() && text[at + n - 1] >= 0xD800 && text[at + n - 1] <= 0xDBFF) ++n;
    if (!write_part(text.substr(at, n))) return false;
    at += n;
  }
  return true;
}

bool write_json_string(const JsonSink& sink, std::u16string_view text) {
  return sink("\"") &&
         for_each_part(text,
                       [&](std::u16string_view part) {
                         const std::string quoted = dumped(json(to_utf8(part)));
                         return sink(std::string_view(quoted).substr(1, quoted.size() - 2));
                       }) &&
         sink("\"");
}

void MessageFilter::set_recipient(std::u16string_view typed) {
  recipient = digits_of(typed);
  recipient_digits = !recipient.empty();
  if (!recipient_digits) recipient = std::u16string(trim_blanks(typed));
}

MessageList message_list(Service& service, const MessageFilter& f) {
  ServiceState& s = service.state();
  {
    std::lock_guard lock(s.db_mutex);
    s.deliver_due_messages();
  }
  // The search runs on a snapshot: however long it takes, procedures go on meanwhile.
  std::shared_ptr<ReadConnection> reader = s.readers.acquire();
  reader->begin();
  const MessageMatcher match(f);
  std::vector<std::int64_t> ids;  // newest first
  auto& q = reader->stmt(TAVIK_MESSAGE_COLUMNS "ORDER BY id DESC");
  while (q.step()) {
    if (match(q)) ids.push_back(q.integer(0));
  }
  q.start();
  MessageList list;
  list.total = static_cast<std::int64_t>(ids.size());
  if (f.limit && list.total > *f.limit) ids.resize(static_cast<std::size_t>(*f.limit));
  std::reverse(ids.begin(), ids.end());
  list.write = [reader, ids = std::move(ids)](const JsonSink& sink) {
    if (!sink("[")) return false;
    auto& one = reader->stmt(TAVIK_MESSAGE_COLUMNS "WHERE id = ?");
    bool first = true;
    for (const std::int64_t id : ids) {
      one.start().bind(1, id);
      if (!one.step()) continue;
      const bool written = (first || sink(",")) && write_message(sink, one);
      one.start();
      first = false;
      if (!written) return false;
    }
    reader->end();
    return sink("]");
  };
  return list;
}

std::int64_t delete_messages(Service& service, const MessageFilter& f) {
  MessageFilter candidates = f;
  candidates.limit.reset();
  candidates.before.reset();
  ServiceState& s = service.state();
  {
    std::lock_guard lock(s.db_mutex);
    s.deliver_due_messages();
  }
  // Found on a snapshot, then each checked again under the lock as it is deleted: the scan of
  // everything that does not match holds nobody up.
  std::vector<std::int64_t> ids;
  {
    std::shared_ptr<ReadConnection> reader = s.readers.acquire();
    reader->begin();
    const MessageMatcher match(candidates);
    auto& q = reader->stmt(TAVIK_MESSAGE_COLUMNS "ORDER BY id");
    while (q.step()) {
      if (match(q)) ids.push_back(q.integer(0));
    }
    q.start();
  }
  const MessageMatcher match(candidates);
  std::lock_guard lock(s.db_mutex);
  Transaction tx(s.store);
  std::int64_t deleted = 0;
  for (const std::int64_t id : ids) {
    auto& q = s.store.stmt(TAVIK_MESSAGE_COLUMNS "WHERE id = ?");
    q.bind(1, id);
    const bool still = q.step() && match(q);
    q.start();
    if (!still) continue;
    s.store.stmt("DELETE FROM messages WHERE id = ?").bind(1, id).run();
    ++deleted;
  }
  tx.commit();
  return deleted;
}

JsonListWriter result_list(Service& service) {
  MessageFilter delivered;
  delivered.state = 1;
  return message_list(service, delivered).write;
}

namespace {

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

}  // namespace

std::optional<json> message_detail_json(Service& service, std::int64_t id) {
  ServiceState& s = service.state();
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

CancelOutcome cancel_reservation(Service& service, std::int64_t id) {
  ServiceState& s = service.state();
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
  s.cancel_and_refund(id, key, fee);
  return CancelOutcome::Cancelled;
}

JsonListWriter ack_list(Service& service) {
  return query_list(service.state(),
                    "SELECT seq, connection, result_id, at, rows FROM acks ORDER BY seq", ack_json);
}

JsonListWriter deposit_list(Service& service) {
  return query_list(service.state(),
                    "SELECT id, user_id, kunsu, ibgum, ibgum_date, memo FROM deposits ORDER BY id",
                    deposit_json);
}

JsonListWriter member_list(Service& service) {
  return query_list(service.state(),
                    "SELECT seq, i_time, user_id, user_pw, recommender, tax_no, tax_ltd, tax_name, "
                    "tax_jongmok, tax_upte, tax_tel, tax_fax, tax_mail, tax_juso, tax_damdang "
                    "FROM members ORDER BY seq",
                    member_json);
}

json accounts_json(Service& service) {
  ServiceState& s = service.state();
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

bool set_account(Service& service, const AccountChange& change) {
  ServiceState& s = service.state();
  const std::u16string& user = change.user;
  std::lock_guard lock(s.db_mutex);
  const std::u16string key = comparison_key(user);
  auto& find = s.store.stmt("SELECT 1 FROM accounts WHERE user_key = ?");
  find.bind_text(1, key);
  const bool exists = find.step();
  find.start();
  if (!exists) {
    const std::u16string password = change.password.value_or(user + u"1234");
    s.store
        .stmt(
            "INSERT INTO accounts(user_key, user_id, password, balance, blocked) "
            "VALUES(?,?,?,?,?)")
        .bind_text(1, key)
        .bind_text(2, user)
        .bind_text(3, password)
        .bind(4, change.balance.value_or(0))
        .bind(5, change.blocked.value_or(false) ? 1 : 0)
        .run();
  } else {
    if (change.balance) {
      s.store.stmt("UPDATE accounts SET balance = ? WHERE user_key = ?")
          .bind(1, *change.balance)
          .bind_text(2, key)
          .run();
    }
    if (change.blocked) {
      s.store.stmt("UPDATE accounts SET blocked = ? WHERE user_key = ?")
          .bind(1, *change.blocked ? 1 : 0)
          .bind_text(2, key)
          .run();
    }
    if (change.password) {
      s.store.stmt("UPDATE accounts SET password = ? WHERE user_key = ?")
          .bind_text(1, *change.password)
          .bind_text(2, key)
          .run();
    }
  }

  return !exists;
}

}  // namespace sandbox
