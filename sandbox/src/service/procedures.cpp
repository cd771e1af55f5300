// The bodies of the procedures: validations in the documented order, charges, results.
#include <cstdio>

#include "service/service_impl.h"
#include "service/text.h"

namespace sandbox {

namespace {

const std::u16string kUnknownUser = u"등록되지 않은 아이디입니다.";
const std::u16string kWrongPassword = u"비밀번호가 일치하지 않습니다.";
const std::u16string kBlocked = u"사용이 중지된 아이디입니다.";
const std::u16string kBadNumber = u"수신번호 오류: ";
const std::u16string kRefusedNumber = u"수신거부 번호입니다.";
const std::u16string kNoBalance = u"잔액이 부족합니다.";
const std::u16string kIdTaken = u"이미 사용중인 아이디입니다.";
const std::u16string kIdEmpty = u"아이디를 입력하세요.";
const std::u16string kDelivered = u"성공";
const std::u16string kDateConversion =
    u"Conversion failed when converting date and/or time from character string.";

constexpr std::int64_t kDeliveryDelayMs = 10000;

StatementResult fail(const ProcDef& def, std::u16string text, std::int32_t number = 50000) {
  StatementResult r;
  r.error = procedure_error(def, number, std::move(text));
  return r;
}

struct Account {
  std::u16string password;
  bool has_password = false;
  std::int64_t balance = 0;
  bool blocked = false;
};

std::optional<Account> find_account(Store& store, const std::u16string& key) {
  auto& q = store.stmt("SELECT password, balance, blocked FROM accounts WHERE user_key = ?");
  q.bind_text(1, key);
  if (!q.step()) return std::nullopt;
  Account a;
  a.has_password = !q.is_null(0);
  a.password = q.text(0);
  a.balance = q.integer(1);
  a.blocked = q.integer(2) != 0;
  q.start();
  return a;
}

std::u16string user_key(const std::u16string* user) {
  return user ? comparison_key(*user) : std::u16string();
}

// The recipient's digits, or nullopt when it is not 8 to 15 digits once blanks, "-" and a
// leading "+" are removed.
std::optional<std::u16string> recipient_digits(const std::u16string* tel) {
  if (!tel) return std::nullopt;
  std::u16string digits;
  bool seen_digit = false;
  bool seen_plus = false;
  for (char16_t c : *tel) {
    if (c == u' ' || c == u'-') continue;
    if (c == u'+' && !seen_digit && !seen_plus) {
      seen_plus = true;
      continue;
    }
    if (c < u'0' || c > u'9') return std::nullopt;
    seen_digit = true;
    digits.push_back(c);
  }
  if (digits.size() < 8 || digits.size() > 15) return std::nullopt;
  return digits;
}

bool magic(const std::u16string& digits, std::u16string_view prefix) {
  return digits.size() == 11 && digits.compare(0, 7, prefix) == 0;
}

enum class Kind : std::int64_t { Sms = 0, Lms = 1, Mms = 2 };

// SELECT list matching result_columns(); `s_time_expr` differs for reservations.
#define RESULT_SELECT(s_time_expr, code_expr, msg_expr)                                      \
  "SELECT id, user_id, sub_id, user_tel, custom_tel, custom_id, custom_nam, msg, " code_expr \
  ", " msg_expr ", typ, kun2, fee, i_time, " s_time_expr " FROM messages "

using RowOf = Row (*)(const Stmt& q, const std::vector<Column>& columns);

// The current row of `q`, a value per column in the column's type.
Row row_of(const Stmt& q, const std::vector<Column>& columns) {
  Row row;
  row.reserve(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    row.push_back(q.value(static_cast<int>(i), columns[i].type));
  }
  return row;
}

// The rows of `q`: all of them now, or, with `reader` (the connection `q` belongs to), the first
// now (so the set is what the store held at the call) and the others as they are sent.
ResultSet read_rows(Stmt& q, const std::vector<Column>& columns,
                    const std::shared_ptr<ReadConnection>& reader, RowOf convert) {
  ResultSet rs;
  rs.columns = columns;
  if (!reader) {
    while (q.step()) rs.rows.push_back(convert(q, columns));
    return rs;
  }
  auto more = std::make_shared<bool>(q.step());
  rs.next_row = [reader, &q, columns, convert, more](Row& row) {
    if (!*more) return false;
    row = convert(q, columns);
    *more = q.step();
    if (!*more) q.start();
    return true;
  };
  return rs;
}

// A deposit row: its date as "yy-mm-dd" text.
Row deposit_row(const Stmt& q, const std::vector<Column>&) {
  Row row;
  row.push_back(q.value(0, SqlType::VarChar));
  row.push_back(q.value(1, SqlType::Int));
  row.push_back(q.value(2, SqlType::Money));
  if (q.is_null(3)) {
    row.push_back(SqlValue::null(SqlType::VarChar));
  } else {
    const CivilTime c = to_civil(DateTime{q.integer(3)});
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d", c.year % 100, c.month, c.day);
    row.push_back(SqlValue::varchar(from_utf8(buf)));
  }
  row.push_back(q.value(4, SqlType::NVarChar));
  return row;
}

struct Window {
  DateTime from;
  DateTime to;  // inclusive
};

// nullopt: conversion error; a NULL bound makes the window empty.
std::optional<std::optional<Window>> parse_window(const std::u16string* from,
                                                  const std::u16string* to) {
  std::optional<DateTime> f;
  std::optional<DateTime> t;
  if (from) {
    f = parse_datetime(trim_blanks(*from));
    if (!f) return std::nullopt;
  }
  if (to) {
    t = parse_datetime(trim_blanks(*to));
    if (!t) return std::nullopt;
  }
  if (!f || !t) return std::optional<Window>();
  // A bound given to the minute takes in that whole minute.
  const std::int64_t end = t->ms % 60000 == 0 ? t->ms + 59999 : t->ms;
  return std::optional<Window>(Window{*f, DateTime{end}});
}

class Runner {
 public:
  Runner(ServiceState& state, const ProcArgs& args, std::int64_t connection, bool stream_rows)
      : s_(state),
        store_(state.store),
        a_(args),
        def_(*args.def),
        connection_(connection),
        stream_rows_(stream_rows) {}

  StatementResult run() {
    switch (def_.id) {
      case ProcId::f_login:
        return f_login();
      case ProcId::f_sms_janek:
        return f_sms_janek();
      case ProcId::sp_sms_send:
        return send(Kind::Sms);
      case ProcId::sp_lms_send:
        return send(Kind::Lms);
      case ProcId::sp_mms_send:
        return send(Kind::Mms);
      case ProcId::sp_result_data1:
        return result_data1();
      case ProcId::sp_result_data2:
      case ProcId::sp_result_dataV2:
        return result_data2();
      case ProcId::sp_YaeyakData:
      case ProcId::sp_YaeyakDataV2:
        return yaeyak_data();
      case ProcId::sp_YaeyakDelete:
        return yaeyak_delete();
      case ProcId::sp_ibgum_data:
        return ibgum_data();
      case ProcId::sp_addmember:
        return addmember();
      case ProcId::sp_sproc_columns: {
        StatementResult r;
        r.result_sets.push_back(describe_procedures(a_, s_.config.decoy_procedures));
        return r;
      }
    }
    return fail(def_, u"not implemented");
  }

 private:
  // A statement whose rows the procedure answers: on a snapshot of the store when the rows are
  // streamed (they are read after the call, without the lock), else on the store itself.
  Stmt& query(const char* sql) {
    if (!stream_rows_) return store_.stmt(sql);
    if (!reader_) {
      reader_ = s_.readers.acquire();
      reader_->begin();
    }
    return reader_->stmt(sql);
  }
  ResultSet rows(Stmt& q, const std::vector<Column>& columns, RowOf convert = row_of) {
    return read_rows(q, columns, reader_, convert);
  }

  StatementResult f_login() {
    StatementResult r;
    const auto account = find_account(store_, user_key(a_.text(u"@user_id")));
    const std::u16string* pw = a_.text(u"@user_pw");
    std::u16string answer;
    if (!account) {
      answer = kUnknownUser;
    } else if (!pw || !account->has_password || *pw != account->password) {
      answer = kWrongPassword;
    } else if (account->blocked) {
      answer = kBlocked;
    }
    r.function_value = SqlValue::nvarchar(std::move(answer));
    return r;
  }

  StatementResult f_sms_janek() {
    StatementResult r;
    if (s_.faults.janek_null()) {
      r.function_value = SqlValue::null(SqlType::Money);
      return r;
    }
    const auto account = find_account(store_, user_key(a_.text(u"@user_id")));
    r.function_value = SqlValue::money(account ? account->balance : 0);
    return r;
  }

  StatementResult send(Kind kind) {
    const std::u16string* user = a_.text(u"@user_id");
    const std::u16string key = user_key(user);
    const auto account = find_account(store_, key);
    if (!account) return fail(def_, kUnknownUser);
    if (account->blocked) return fail(def_, kBlocked);
    const std::u16string* tel = a_.text(u"@Custom_tel");
    const auto digits = recipient_digits(tel);
    if (!digits) return fail(def_, kBadNumber + (tel ? *tel : std::u16string()));
    if (magic(*digits, u"0108888")) return fail(def_, kRefusedNumber);

    const DateTime now = s_.clock.now();
    DateTime due = now;
    bool reserved = false;
    const std::u16string* yk = a_.text(u"@YK_Time");
    if (yk && !trim_blanks(*yk).empty()) {
      const auto when = parse_datetime(trim_blanks(*yk));
      if (!when) return fail(def_, kDateConversion, 241);
      if (when->ms > now.ms) {
        due = *when;
        reserved = true;
      }
    }
    const std::int64_t price =
        kind == Kind::Sms ? kPriceSms : (kind == Kind::Lms ? kPriceLms : kPriceMms);
    if (account->balance < price) return fail(def_, kNoBalance);

    std::optional<std::int64_t> plan_code = 0;
    std::u16string plan_msg = kDelivered;
    if (magic(*digits, u"0109999")) {
      const std::u16string code = digits->substr(7);
      plan_code = std::stoll(to_utf8(code));
      plan_msg = u"전송실패(" + code + u")";
    } else if (magic(*digits, u"0107777")) {
      plan_code.reset();
    }

    std::optional<std::int64_t> typ;
    if (kind == Kind::Sms) {
      typ = a_.integer(u"@typ");
    } else {
      typ = kind == Kind::Lms ? kTypLms : kTypMms;
    }

    Transaction tx(store_);
    store_.stmt("UPDATE accounts SET balance = balance - ? WHERE user_key = ?")
        .bind(1, price)
        .bind_text(2, key)
        .run();
    auto& ins = store_.stmt(
        "INSERT INTO messages(kind, user_key, user_id, sub_id, sub_key, user_tel, custom_tel, "
        "custom_id, custom_nam, subject, msg, typ, n_code, fnam1, fnam2, fnam3, yk_time, kun2, "
        "fee, i_time, due, reserved, state, plan_code, plan_msg, connection) "
        "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,1,?,?,?,?,0,?,?,?)");
    const std::u16string* sub = a_.text(u"@Sub_ID");
    ins.bind(1, static_cast<std::int64_t>(kind))
        .bind_text(2, key)
        .bind_text(3, user)
        .bind_text(4, sub)
        .bind_text(5, user_key(sub))
        .bind_text(6, a_.text(u"@User_tel"))
        .bind_text(7, tel)
        .bind_text(8, a_.text(u"@Custom_id"))
        .bind_text(9, a_.text(u"@Custom_nam"))
        .bind_text(10, a_.text(u"@subject"))
        .bind_text(11, a_.text(u"@msg"))
        .bind_opt(12, typ)
        .bind_text(13, a_.text(u"@n_code"))
        .bind_text(14, a_.text(u"@fnam1"))
        .bind_text(15, a_.text(u"@fnam2"))
        .bind_text(16, a_.text(u"@fnam3"))
        .bind_text(17, yk)
        .bind(18, price)
        .bind(19, now.ms)
        .bind(20, due.ms)
        .bind(21, reserved ? 1 : 0)
        .bind_opt(22, plan_code)
        .bind_text(23, plan_code ? &plan_msg : nullptr)
        .bind(24, connection_)
        .run();
    tx.commit();
    return StatementResult{};
  }

  StatementResult result_data1() {
    s_.deliver_due_messages();
    auto& q = query(
        RESULT_SELECT("s_time", "result_code",
                      "result_msg") "WHERE user_key = ? AND state = 1 AND reply = 0 ORDER BY id");
    q.bind_text(1, user_key(a_.text(u"@user_id")));
    StatementResult r;
    r.result_sets.push_back(rows(q, result_columns()));
    return r;
  }

  StatementResult result_data2() {
    const auto window = parse_window(a_.text(u"@fr_dtime"), a_.text(u"@to_dtime"));
    if (!window) return fail(def_, kDateConversion, 241);
    StatementResult r;
    if (!*window) {
      r.result_sets.push_back(ResultSet{result_columns(), {}, {}});
      return r;
    }
    s_.deliver_due_messages();
    const bool by_sub = def_.id == ProcId::sp_result_dataV2;
    auto& q = by_sub ? query(RESULT_SELECT("s_time", "result_code", "result_msg")
                                   "WHERE user_key = ? AND state <> 3 AND "
                                   "coalesce(s_time, i_time) BETWEEN ? AND ? AND sub_key = ? "
                                   "ORDER BY id")
                     : query(RESULT_SELECT("s_time", "result_code", "result_msg")
                                   "WHERE user_key = ? AND state <> 3 AND "
                                   "coalesce(s_time, i_time) BETWEEN ? AND ? ORDER BY id");
    q.bind_text(1, user_key(a_.text(u"@user_id")))
        .bind(2, (*window)->from.ms)
        .bind(3, (*window)->to.ms);
    if (by_sub) {
      const std::u16string* sub = a_.text(u"@sub_id");
      if (!sub) {
        r.result_sets.push_back(ResultSet{result_columns(), {}, {}});
        return r;
      }
      q.bind_text(4, user_key(sub));
    }
    r.result_sets.push_back(rows(q, result_columns()));
    return r;
  }

  StatementResult yaeyak_data() {
    s_.deliver_due_messages();
    const bool by_sub = def_.id == ProcId::sp_YaeyakDataV2;
    auto& q = by_sub ? query(RESULT_SELECT(
                           "due", "NULL",
                           "NULL") "WHERE user_key = ? AND reserved = 1 AND state = 0 AND due > ? "
                                   "AND sub_key = ? ORDER BY due, id")
                     : query(RESULT_SELECT(
                           "due", "NULL",
                           "NULL") "WHERE user_key = ? AND reserved = 1 AND state = 0 AND due > ? "
                                   "ORDER BY due, id");
    q.bind_text(1, user_key(a_.text(u"@user_id"))).bind(2, s_.clock.now().ms);
    StatementResult r;
    if (by_sub) {
      const std::u16string* sub = a_.text(u"@Sub_ID");
      if (!sub) {
        r.result_sets.push_back(ResultSet{result_columns(), {}, {}});
        return r;
      }
      q.bind_text(3, user_key(sub));
    }
    r.result_sets.push_back(rows(q, result_columns()));
    return r;
  }

  StatementResult yaeyak_delete() {
    const auto id = a_.integer(u"@id");
    if (!id) return StatementResult{};
    s_.deliver_due_messages();
    const std::u16string key = user_key(a_.text(u"@user_id"));
    auto& q = store_.stmt(
        "SELECT fee FROM messages WHERE id = ? AND user_key = ? AND reserved = 1 AND state = 0 "
        "AND due > ?");
    q.bind(1, *id).bind_text(2, key).bind(3, s_.clock.now().ms);
    if (!q.step()) return StatementResult{};
    const std::int64_t fee = q.opt_integer(0).value_or(0);
    q.start();
    s_.cancel_and_refund(*id, key, fee);
    return StatementResult{};
  }

  StatementResult ibgum_data() {
    auto& q = query(
        "SELECT user_id, kunsu, ibgum, ibgum_date, memo FROM deposits WHERE user_key = ? "
        "ORDER BY ibgum_date, id");
    q.bind_text(1, user_key(a_.text(u"@user_id")));
    StatementResult r;
    r.result_sets.push_back(rows(q, deposit_columns(), deposit_row));
    return r;
  }

  StatementResult addmember() {
    const std::u16string* user = a_.text(u"@user_id");
    if (!user || trim_blanks(*user).empty()) return fail(def_, kIdEmpty);
    const std::u16string key = comparison_key(*user);
    if (find_account(store_, key)) return fail(def_, kIdTaken);
    Transaction tx(store_);
    auto& ins = store_.stmt(
        "INSERT INTO members(i_time, user_id, user_pw, recommender, tax_no, tax_ltd, tax_name, "
        "tax_jongmok, tax_upte, tax_tel, tax_fax, tax_mail, tax_juso, tax_damdang) "
        "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    ins.bind(1, s_.clock.now().ms);
    for (std::size_t i = 0; i < def_.params.size(); ++i) {
      ins.bind_text(static_cast<int>(i) + 2, a_.text(def_.params[i].name));
    }
    ins.run();
    store_
        .stmt(
            "INSERT INTO accounts(user_key, user_id, password, balance, blocked) "
            "VALUES(?,?,?,0,0)")
        .bind_text(1, key)
        .bind_text(2, *user)
        .bind_text(3, a_.text(u"@user_pw"))
        .run();
    tx.commit();
    return StatementResult{};
  }

  ServiceState& s_;
  Store& store_;
  const ProcArgs& a_;
  const ProcDef& def_;
  std::int64_t connection_;
  bool stream_rows_;
  std::shared_ptr<ReadConnection> reader_;
};

}  // namespace

StatementResult ServiceState::run_procedure(const ProcArgs& args, std::int64_t connection,
                                            bool stream_rows) {
  std::unique_lock lock(db_mutex, std::defer_lock);
  // The parameter catalog is built from constant tables: it needs no database, so one client's
  // catalog query never holds up another's calls.
  if (args.def->id != ProcId::sp_sproc_columns) lock.lock();
  try {
    return Runner(*this, args, connection, stream_rows).run();
  } catch (const std::exception& e) {
    return fail(*args.def, u"sandbox: " + from_utf8(e.what()));
  }
}

void ServiceState::deliver_due_messages() {
  store
      .stmt(
          "UPDATE messages SET state = 1, s_time = due, result_code = plan_code, "
          "result_msg = plan_msg WHERE state = 0 AND plan_code IS NOT NULL AND due <= ?")
      .bind(1, clock.now().ms - kDeliveryDelayMs)
      .run();
}

void ServiceState::cancel_and_refund(std::int64_t id, const std::u16string& user_key,
                                     std::int64_t fee) {
  Transaction tx(store);
  store.stmt("UPDATE messages SET state = 3 WHERE id = ?").bind(1, id).run();
  store.stmt("UPDATE accounts SET balance = balance + ? WHERE user_key = ?")
      .bind(1, fee)
      .bind_text(2, user_key)
      .run();
  tx.commit();
}

std::int64_t ServiceState::acknowledge(std::int64_t result_id, std::int64_t connection,
                                       std::int64_t listed_in) {
  std::lock_guard lock(db_mutex);
  std::int64_t rows = 0;
  if (listed_in == generation.load()) {
    store.stmt("UPDATE messages SET reply = 1 WHERE id = ?").bind(1, result_id).run();
    rows = store.changes();
  }
  store.stmt("INSERT INTO acks(connection, result_id, at, rows) VALUES(?,?,?,?)")
      .bind(1, connection)
      .bind(2, result_id)
      .bind(3, clock.now().ms)
      .bind(4, rows)
      .run();
  return rows;
}

namespace {

// Digits of v, zero-padded to `width`, appended to out (no locale, no allocation beyond out).
void append_number(std::u16string& out, std::int64_t v, std::size_t width) {
  char16_t buf[24];
  std::size_t n = 0;
  do {
    buf[n++] = static_cast<char16_t>(u'0' + v % 10);
    v /= 10;
  } while (v > 0 && n < 24);
  while (n < width && n < 24) buf[n++] = u'0';
  while (n > 0) out.push_back(buf[--n]);
}

SqlValue text_value(SqlType type, std::u16string_view prefix, std::int64_t n, std::size_t width) {
  SqlValue v;
  v.type = type;
  v.is_null = false;
  v.s.reserve(prefix.size() + 12);
  v.s.append(prefix);
  append_number(v.s, n, width);
  return v;
}

// Row `i` (from 0) of the generated rows in the columns of `def`.
Row generated_row(const ProcDef& def, std::int64_t i, DateTime now) {
  static const SqlValue user = SqlValue::varchar(u"demo");
  static const SqlValue sub = SqlValue::varchar(u"sub01");
  static const SqlValue sender = SqlValue::varchar(u"0212345678");
  static const SqlValue name = SqlValue::nvarchar(u"수신자");
  static const SqlValue ok = SqlValue::nvarchar(kDelivered);
  static const SqlValue fee = SqlValue::money(kPriceSms);
  static const SqlValue zero = SqlValue::int32(0);
  static const SqlValue one = SqlValue::int32(1);
  Row row;
  row.reserve(def.columns.size());
  if (def.id == ProcId::sp_ibgum_data) {
    row.push_back(user);
    row.push_back(SqlValue::int32(static_cast<std::int32_t>(i % 1000 + 1)));
    row.push_back(SqlValue::money((i % 1000 + 1) * kPriceSms));
    const CivilTime c = to_civil(DateTime{now.ms - i * 60000});
    SqlValue date = text_value(SqlType::VarChar, u"", c.year % 100, 2);
    date.s.push_back(u'-');
    append_number(date.s, c.month, 2);
    date.s.push_back(u'-');
    append_number(date.s, c.day, 2);
    row.push_back(std::move(date));
    row.push_back(text_value(SqlType::NVarChar, u"generated deposit ", i + 1, 1));
    return row;
  }
  const std::int64_t n = i + 1;
  row.push_back(SqlValue::int32(static_cast<std::int32_t>(n)));
  row.push_back(user);
  row.push_back(sub);
  row.push_back(sender);
  row.push_back(text_value(SqlType::VarChar, u"010", i % 100000000, 8));
  row.push_back(text_value(SqlType::NVarChar, u"G", n, 7));
  row.push_back(name);
  row.push_back(text_value(SqlType::NVarChar, u"generated message ", n, 1));
  row.push_back(zero);
  row.push_back(ok);
  row.push_back(zero);
  row.push_back(one);
  row.push_back(fee);
  row.push_back(SqlValue::datetime(DateTime{now.ms - i * 1000}));
  row.push_back(SqlValue::datetime(DateTime{now.ms - i * 1000 + kDeliveryDelayMs}));
  return row;
}

}  // namespace

ResultSet ServiceState::generated_rows(const ProcDef& def, std::int64_t count, DateTime now,
                                       bool stream_rows) {
  ResultSet rs;
  rs.columns = def.columns;
  if (count <= 0 || def.columns.empty()) return rs;
  if (stream_rows) {
    auto next = std::make_shared<std::int64_t>(0);
    rs.next_row = [&def, count, now, next](Row& row) {
      if (*next >= count) return false;
      row = generated_row(def, (*next)++, now);
      return true;
    };
    return rs;
  }
  rs.rows.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) rs.rows.push_back(generated_row(def, i, now));
  return rs;
}

}  // namespace sandbox
