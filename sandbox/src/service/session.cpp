// One client connection: login, RPC binding with SQL Server's errors, batches and sp_executesql.
#include <sqlite3.h>

#include <cstdio>
#include <limits>
#include <map>

#include "service/service_impl.h"
#include "service/sql_parser.h"
#include "service/text.h"

namespace sandbox {

namespace {

const std::u16string kDropped = u"connection dropped (fault)";

ServerMessage message(std::int32_t number, std::u16string text, std::uint8_t severity = 16,
                      std::uint8_t state = 1, std::u16string procedure = {}) {
  ServerMessage m;
  m.number = number;
  m.state = state;
  m.severity = severity;
  m.text = std::move(text);
  m.procedure = std::move(procedure);
  m.line = 1;
  return m;
}

// The procedures whose rows an export acknowledges.
bool lists_results(ProcId id) {
  return id == ProcId::sp_result_data1 || id == ProcId::sp_result_data2 ||
         id == ProcId::sp_result_dataV2;
}

StatementResult error_result(ServerMessage m) {
  StatementResult r;
  r.error = std::move(m);
  return r;
}

std::u16string type_name(SqlType t) {
  switch (t) {
    case SqlType::VarChar:
      return u"varchar";
    case SqlType::NVarChar:
      return u"nvarchar";
    case SqlType::Int:
      return u"int";
    case SqlType::BigInt:
      return u"bigint";
    case SqlType::Money:
      return u"money";
    case SqlType::Decimal:
      return u"numeric";
    case SqlType::DateTime:
      return u"datetime";
    case SqlType::Bit:
      return u"bit";
  }
  return u"sql_variant";
}

std::u16string integer_text(std::int64_t v) {
  return from_utf8(std::to_string(v));
}

std::u16string decimal_text(std::int64_t unscaled, std::uint8_t scale) {
  const bool negative = unscaled < 0;
  std::string digits = std::to_string(negative ? 0 - static_cast<std::uint64_t>(unscaled)
                                               : static_cast<std::uint64_t>(unscaled));
  if (scale > 0) {
    while (digits.size() <= scale) digits.insert(digits.begin(), '0');
    digits.insert(digits.end() - scale, '.');
  }
  return from_utf8(negative ? "-" + digits : digits);
}

// SQL Server's text-to-int conversion: blanks around, an optional sign, digits; '' is 0.
std::optional<std::int64_t> text_to_integer(std::u16string_view s) {
  s = trim_blanks(s);
  if (s.empty()) return 0;
  bool negative = false;
  if (s.front() == u'-' || s.front() == u'+') {
    negative = s.front() == u'-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 18) return std::nullopt;
  std::int64_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return std::nullopt;
    v = v * 10 + (c - u'0');
  }
  return negative ? -v : v;
}

// Converts a received value to a parameter's declared type; nullopt and `error` on failure.
std::optional<SqlValue> convert(const SqlValue& in, const ParamDef& p, const ProcDef& def,
                                ServerMessage& error) {
  const bool to_text = p.type == ParamType::NVarChar || p.type == ParamType::NVarCharMax;
  if (in.is_null)
    return SqlValue::null(to_text ? SqlType::NVarChar
                                  : (p.type == ParamType::Bit ? SqlType::Bit : SqlType::Int));
  if (to_text) {
    switch (in.type) {
      case SqlType::VarChar:
      case SqlType::NVarChar:
        return SqlValue::nvarchar(in.s);
      case SqlType::Int:
      case SqlType::BigInt:
      case SqlType::Bit:
        return SqlValue::nvarchar(integer_text(in.i));
      case SqlType::Money:
        return SqlValue::nvarchar(from_utf8(format_money(in.i, 2)));
      case SqlType::Decimal:
        return SqlValue::nvarchar(decimal_text(in.i, in.scale));
      case SqlType::DateTime: {
        const CivilTime c = to_civil(DateTime{in.i});
        char buf[40];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day,
                      c.hour, c.minute, c.second, c.millisecond);
        return SqlValue::nvarchar(from_utf8(buf));
      }
    }
  }
  const std::u16string target = p.type == ParamType::Bit ? u"bit" : u"int";
  std::optional<std::int64_t> v;
  switch (in.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
      v = text_to_integer(in.s);
      if (!v && p.type == ParamType::Bit) {
        if (iequals(trim_blanks(in.s), u"true")) v = 1;
        if (iequals(trim_blanks(in.s), u"false")) v = 0;
      }
      break;
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::Bit:
      v = in.i;
      break;
    case SqlType::Money:  // rounds half away from zero
      v = (in.i >= 0 ? in.i + 5000 : in.i - 5000) / 10000;
      break;
    case SqlType::Decimal: {  // truncates
      std::int64_t x = in.i;
      for (int k = 0; k < in.scale; ++k) x /= 10;
      v = x;
      break;
    }
    case SqlType::DateTime:
      break;
  }
  if (!v) {
    error =
        message(8114, u"Error converting data type " + type_name(in.type) + u" to " + target + u".",
                16, 5, std::u16string(def.name));
    return std::nullopt;
  }
  if (p.type == ParamType::Bit) return SqlValue::bit(*v != 0);
  if (*v < std::numeric_limits<std::int32_t>::min() ||
      *v > std::numeric_limits<std::int32_t>::max()) {
    error = message(8115, u"Arithmetic overflow error converting expression to data type int.", 16,
                    2, std::u16string(def.name));
    return std::nullopt;
  }
  return SqlValue::int32(static_cast<std::int32_t>(*v));
}

// Resolves "x", "dbo.x", "[dbo].[x]", "sms.dbo.x", "sms..x" to a procedure of this database.
const ProcDef* resolve(const std::vector<std::u16string>& parts) {
  if (parts.empty() || parts.size() > 3) return nullptr;
  if (parts.size() >= 2 && !parts[parts.size() - 2].empty() &&
      !iequals(parts[parts.size() - 2], u"dbo")) {
    return nullptr;
  }
  if (parts.size() == 3 && !parts[0].empty() && !iequals(parts[0], u"sms")) return nullptr;
  return find_procedure(parts.back());
}

std::u16string with_at(const std::u16string& name) {
  return !name.empty() && name.front() == u'@' ? name : u"@" + name;
}

using Variables = std::map<std::u16string, SqlValue>;  // keys folded

class SessionImpl final : public Session {
 public:
  explicit SessionImpl(ServiceState& state)
      : s_(state), connection_(state.next_connection.fetch_add(1)) {
    s_.open_sessions.fetch_add(1);
  }
  ~SessionImpl() override { s_.open_sessions.fetch_sub(1); }

  void allow_row_streaming() override { stream_rows_ = true; }
  std::int64_t connection_id() const override { return connection_; }

  LoginResult login(const LoginRequest& request) override {
    s_.total_logins.fetch_add(1);
    LoginResult r;
    if (!iequals(request.user, s_.db_user) || request.password != s_.db_password) {
      s_.failed_logins.fetch_add(1);
      r.error = message(18456, u"Login failed for user '" + request.user + u"'.", 14, 1);
      return r;
    }
    if (!request.database.empty() && !iequals(request.database, u"sms")) {
      s_.failed_logins.fetch_add(1);
      r.error = message(4060,
                        u"Cannot open database \"" + request.database +
                            u"\" requested by the login. The login failed.",
                        11, 1);
      return r;
    }
    r.database = u"sms";
    return r;
  }

  StatementResult call_rpc(const std::u16string& name,
                           const std::vector<RpcParam>& params) override {
    const auto parts = split_object_name(name);
    if (parts && parts->size() <= 3 && iequals(parts->back(), u"sp_executesql") &&
        (parts->size() < 2 || (*parts)[parts->size() - 2].empty() ||
         iequals((*parts)[parts->size() - 2], u"sys") ||
         iequals((*parts)[parts->size() - 2], u"dbo"))) {
      return executesql_by_name(params);
    }
    const ProcDef* def = parts ? resolve(*parts) : nullptr;
    if (!def) return unknown_procedure(name, params, false);
    return execute(*def, params, false);
  }

  std::vector<StatementResult> execute_sql(const std::u16string& statement,
                                           const std::u16string& declaration,
                                           const std::vector<RpcParam>& params) override {
    const auto names = parse_declaration_names(declaration);
    Variables vars;
    std::size_t position = 0;
    for (const auto& p : params) {
      std::u16string name;
      if (!p.name.empty()) {
        name = with_at(p.name);
      } else if (position < names.size()) {
        name = names[position];
      }
      ++position;
      if (!name.empty()) vars[comparison_key(name)] = p.value;
    }
    return run_batch(statement, &vars);
  }

  std::vector<StatementResult> execute_batch(const std::u16string& sql) override {
    return run_batch(sql, nullptr);
  }

 private:
  StatementResult executesql_by_name(const std::vector<RpcParam>& params) {
    if (params.empty() || params[0].value.is_null) {
      return error_result(message(201,
                                  u"Procedure or function 'sp_executesql' expects parameter "
                                  u"'@statement', which was not supplied.",
                                  16, 4, u"sp_executesql"));
    }
    std::u16string declaration;
    std::vector<RpcParam> rest;
    if (params.size() > 1) declaration = params[1].value.s;
    for (std::size_t i = 2; i < params.size(); ++i) rest.push_back(params[i]);
    auto results = execute_sql(params[0].value.s, declaration, rest);
    // One RPC answers as one statement: merge what the statements produced.
    StatementResult merged;
    for (auto& r : results) {
      for (auto& rs : r.result_sets) merged.result_sets.push_back(std::move(rs));
      for (auto& info : r.infos) merged.infos.push_back(std::move(info));
      if (r.error && !merged.error) merged.error = r.error;
      if (r.rows_affected) merged.rows_affected = r.rows_affected;
      merged.drop_connection = merged.drop_connection || r.drop_connection;
    }
    merged.return_status = merged.error ? std::nullopt : std::optional<std::int32_t>(0);
    return merged;
  }

  StatementResult unknown_procedure(const std::u16string& written,
                                    const std::vector<RpcParam>& params, bool via_sql) {
    ServerMessage m = message(2812, u"Could not find stored procedure '" + written + u"'.", 16, 62);
    std::vector<CallParam> logged;
    for (const auto& p : params) logged.push_back(CallParam{p.name, &p.value});
    s_.calls.append(connection_, written, via_sql, logged, m.text);
    return error_result(std::move(m));
  }

  // Binds, logs and runs one procedure execution (RPC or EXEC).
  StatementResult execute(const ProcDef& def, const std::vector<RpcParam>& given, bool via_sql) {
    std::vector<int> slot(given.size(), -1);
    std::vector<std::u16string> given_names(given.size());
    std::optional<ServerMessage> error;
    ProcArgs args;
    args.def = &def;
    args.values.resize(def.params.size());
    std::vector<bool> supplied(def.params.size(), false);
    std::vector<bool> defaulted(def.params.size(), false);  // flagged "use the default"

    bool named_seen = false;
    std::size_t positional = 0;
    for (std::size_t i = 0; i < given.size() && !error; ++i) {
      const RpcParam& g = given[i];
      if (g.name.empty()) {
        if (named_seen) {
          error = message(119,
                          u"Must pass parameter number " +
                              integer_text(static_cast<std::int64_t>(i + 1)) +
                              u" and subsequent parameters as '@name = value'. After the form "
                              u"'@name = value' has been used, all subsequent parameters must be "
                              u"passed in the form '@name = value'.",
                          15, 1, std::u16string(def.name));
          break;
        }
        if (positional >= def.params.size()) {
          error = message(8144,
                          u"Procedure or function " + std::u16string(def.name) +
                              u" has too many arguments specified.",
                          16, 2, std::u16string(def.name));
          break;
        }
        slot[i] = static_cast<int>(positional++);
        given_names[i] = std::u16string(def.params[static_cast<std::size_t>(slot[i])].name);
      } else {
        named_seen = true;
        const std::u16string name = with_at(g.name);
        given_names[i] = g.name;
        const int index = def.param_index(name);
        if (index < 0) {
          error = message(
              8145, name + u" is not a parameter for procedure " + std::u16string(def.name) + u".",
              16, 2, std::u16string(def.name));
          break;
        }
        if (supplied[static_cast<std::size_t>(index)]) {
          error = message(8143, u"Parameter '" + name + u"' was supplied multiple times.", 16, 1,
                          std::u16string(def.name));
          break;
        }
        slot[i] = index;
      }
      supplied[static_cast<std::size_t>(slot[i])] = true;
      if (g.is_default) defaulted[static_cast<std::size_t>(slot[i])] = true;
    }
    if (!error) {
      for (std::size_t k = 0; k < def.params.size(); ++k) {
        if ((!supplied[k] || defaulted[k]) && !def.params[k].has_default) {
          error = message(201,
                          u"Procedure or function '" + std::u16string(def.name) +
                              u"' expects parameter '" + std::u16string(def.params[k].name) +
                              u"', which was not supplied.",
                          16, 4, std::u16string(def.name));
          break;
        }
      }
    }
    if (!error) {
      for (std::size_t i = 0; i < given.size(); ++i) {
        if (given[i].is_default) continue;  // the default, as if left out
        ServerMessage conversion_error;
        const ParamDef& p = def.params[static_cast<std::size_t>(slot[i])];
        auto v = convert(given[i].value, p, def, conversion_error);
        if (!v) {
          error = conversion_error;
          break;
        }
        args.values[static_cast<std::size_t>(slot[i])] = std::move(*v);
      }
    }

    // The log lists the parameters in declared order, then any it could not place.
    std::vector<CallParam> logged;
    logged.reserve(given.size());
    for (std::size_t k = 0; k < def.params.size(); ++k) {
      for (std::size_t i = 0; i < given.size(); ++i) {
        if (slot[i] == static_cast<int>(k) && !given[i].is_default)
          logged.push_back(CallParam{given_names[i], &given[i].value});
      }
    }
    for (std::size_t i = 0; i < given.size(); ++i) {
      if (slot[i] < 0) logged.push_back(CallParam{given_names[i], &given[i].value});
    }
    return finish(def, args, std::move(error), logged, via_sql);
  }

  // A procedure that returns no rows made to answer `count` rows of one int column "id".
  static ResultSet stray_rows(std::int64_t count) {
    ResultSet rs;
    Column id;
    id.name = u"id";
    id.type = SqlType::Int;
    rs.columns.push_back(id);
    for (std::int64_t i = 1; i <= count; ++i)
      rs.rows.push_back(Row{SqlValue::int32(static_cast<std::int32_t>(i))});
    return rs;
  }

  // Faults, the body, the log. `error` is a binding error found before.
  StatementResult finish(const ProcDef& def, const ProcArgs& args,
                         std::optional<ServerMessage> error, const std::vector<CallParam>& logged,
                         bool via_sql) {
    if (s_.faults.take_drop(def.name)) {
      s_.calls.append(connection_, def.name, via_sql, logged, kDropped);
      StatementResult r;
      r.drop_connection = true;
      return r;
    }
    StatementResult r;
    if (error) {
      r.error = std::move(error);
    } else if (auto raise = s_.faults.take_raise(def.name)) {
      r.error = procedure_error(def, raise->number, raise->message);
    } else if (auto rows = s_.faults.rows(def.name); rows && !def.columns.empty()) {
      r.result_sets.push_back(
          ServiceState::generated_rows(def, *rows, s_.clock.now(), stream_rows_));
    } else if (rows) {
      r.result_sets.push_back(stray_rows(*rows));
    } else {
      // Read before the call: a reset racing with it makes the listing count as older, which
      // only refuses acknowledgements, never lets a wrong one through.
      const std::int64_t generation = s_.generation.load();
      r = s_.run_procedure(args, connection_, stream_rows_);
      if (lists_results(def.id) && !r.error) listed_in_ = generation;
    }
    std::optional<std::u16string> error_text;
    if (r.error) error_text = r.error->text;
    s_.calls.append(connection_, def.name, via_sql, logged, error_text);
    if (!r.error) r.return_status = 0;
    return r;
  }

  // ---- batches ----

  std::vector<StatementResult> run_batch(std::u16string_view sql, const Variables* vars) {
    std::vector<StatementResult> out;
    auto parsed = parse_sql_batch(sql);
    if (auto* e = std::get_if<SqlParseError>(&parsed)) {
      ServerMessage m = message(e->number, e->text, 15, 1);
      m.line = e->line;
      out.push_back(error_result(std::move(m)));
      return out;
    }
    for (const auto& st : std::get<std::vector<SqlStatement>>(parsed)) {
      StatementResult r = run_statement(st, vars);
      if (r.error) r.error->line = st.line;
      const bool drop = r.drop_connection;
      out.push_back(std::move(r));
      if (drop) break;
    }
    if (out.empty()) out.emplace_back();  // an empty batch still gets its DONE
    return out;
  }

  std::optional<SqlValue> variable(const std::u16string& name, const Variables* vars,
                                   std::optional<ServerMessage>& error) {
    if (vars) {
      const auto it = vars->find(comparison_key(name));
      if (it != vars->end()) return it->second;
    }
    error = message(137, u"Must declare the scalar variable \"" + name + u"\".", 15, 2);
    return std::nullopt;
  }

  StatementResult run_statement(const SqlStatement& st, const Variables* vars) {
    using K = SqlStatement::Kind;
    StatementResult r;
    switch (st.kind) {
      case K::Noop:
        return r;
      case K::Use:
        if (!iequals(st.database, u"sms")) {
          return error_result(
              message(911,
                      u"Database '" + st.database +
                          u"' does not exist. Make sure that the name is entered correctly.",
                      16, 1));
        }
        r.new_database = u"sms";
        return r;
      case K::BeginTran:
        ++trancount_;
        return r;
      case K::Commit:
        if (trancount_ == 0) {
          return error_result(message(
              3902, u"The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.", 16,
              1));
        }
        --trancount_;
        return r;
      case K::Rollback:
        if (trancount_ == 0) {
          return error_result(message(
              3903, u"The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.", 16,
              1));
        }
        trancount_ = 0;
        return r;
      case K::Ack:
        if (auto fault = s_.faults.take_ack_fault()) {
          if (!fault->raise) {
            r.drop_connection = true;
            return r;
          }
          return error_result(message(fault->raise->number, fault->raise->message, 16, 1));
        }
        r.rows_affected = s_.acknowledge(st.ack_id, connection_, listed_in_);
        return r;
      case K::Fail:
        return error_result(message(st.fail_number, st.fail_text, 16, 1));
      case K::Exec:
        return run_exec(st, vars);
      case K::Select:
        return run_select(st, vars);
    }
    return r;
  }

  StatementResult run_exec(const SqlStatement& st, const Variables* vars) {
    std::vector<RpcParam> params;
    for (const auto& a : st.args) {
      RpcParam p;
      p.name = a.name;
      p.output = a.output;
      if (a.value.kind == SqlExpr::Kind::Variable) {
        std::optional<ServerMessage> error;
        auto v = variable(a.value.name, vars, error);
        if (!v) return error_result(std::move(*error));
        p.value = std::move(*v);
      } else if (a.value.kind == SqlExpr::Kind::Literal) {
        p.value = a.value.literal;
      } else {
        std::optional<ServerMessage> error;
        auto v = sys_variable(a.value.name, error);
        if (!v) return error_result(std::move(*error));
        p.value = std::move(*v);
      }
      params.push_back(std::move(p));
    }
    const ProcDef* def = resolve(st.proc_parts);
    if (!def) return unknown_procedure(st.proc_written, params, true);
    StatementResult r = execute(*def, params, true);
    if (def->is_function && r.function_value) {
      // Shown as a one-cell result, so that a person at a SQL prompt sees the answer.
      ResultSet rs;
      rs.columns.push_back(function_column(*def, u""));
      rs.rows.push_back(Row{std::move(*r.function_value)});
      r.function_value.reset();
      r.result_sets.push_back(std::move(rs));
    }
    return r;
  }

  static Column function_column(const ProcDef& def, std::u16string name) {
    Column c;
    c.name = std::move(name);
    if (def.returns == ReturnType::Money) {
      c.type = SqlType::Money;
      c.precision = 19;
      c.scale = 4;
    } else if (def.returns == ReturnType::NVarChar200) {
      c.type = SqlType::NVarChar;
      c.max_length = 200;
    } else {
      c.type = SqlType::Int;
    }
    return c;
  }

  std::optional<SqlValue> sys_variable(const std::u16string& name,
                                       std::optional<ServerMessage>& error) {
    if (iequals(name, u"@@VERSION")) {
      return SqlValue::nvarchar(u"taviksms-sandbox 0.1 (TDS 7.4 over SQLite " +
                                from_utf8(SQLITE_VERSION) + u")");
    }
    if (iequals(name, u"@@SPID")) return SqlValue::int32(static_cast<std::int32_t>(connection_));
    if (iequals(name, u"@@TRANCOUNT")) return SqlValue::int32(trancount_);
    if (iequals(name, u"@@SERVERNAME")) return SqlValue::nvarchar(u"TAVIKSMS-SANDBOX");
    error = message(137, u"Must declare the scalar variable \"" + name + u"\".", 15, 2);
    return std::nullopt;
  }

  struct Evaluated {
    Column column;
    SqlValue value;
  };

  // One select-list expression. A dropped connection shows as drop = true.
  std::optional<Evaluated> evaluate(const SqlExpr& e, const Variables* vars,
                                    std::optional<ServerMessage>& error, bool& drop) {
    Evaluated out;
    switch (e.kind) {
      case SqlExpr::Kind::Literal:
        out.value = e.literal;
        break;
      case SqlExpr::Kind::Variable: {
        auto v = variable(e.name, vars, error);
        if (!v) return std::nullopt;
        out.value = std::move(*v);
        break;
      }
      case SqlExpr::Kind::SysVariable: {
        auto v = sys_variable(e.name, error);
        if (!v) return std::nullopt;
        out.value = std::move(*v);
        break;
      }
      case SqlExpr::Kind::Call:
        return call_function(e, vars, error, drop);
    }
    out.column.type = out.value.type;
    out.column.precision = out.value.precision;
    out.column.scale = out.value.scale;
    if (out.value.type == SqlType::VarChar || out.value.type == SqlType::NVarChar) {
      out.column.max_length =
          static_cast<std::uint32_t>(out.value.s.size() > 0 ? out.value.s.size() : 1);
      if (out.column.max_length > 4000) out.column.max_length = 0;
    }
    if (out.value.type == SqlType::Money) {
      out.column.precision = 19;
      out.column.scale = 4;
    }
    return out;
  }

  std::optional<Evaluated> call_function(const SqlExpr& e, const Variables* vars,
                                         std::optional<ServerMessage>& error, bool& drop) {
    if (e.parts.size() == 1) {
      error =
          message(195, u"'" + e.name + u"' is not a recognized built-in function name.", 15, 10);
      return std::nullopt;
    }
    const ProcDef* def = resolve(e.parts);
    if (!def || !def->is_function) {
      error = message(4121,
                      u"Cannot find either column \"" + e.parts.front() +
                          u"\" or the user-defined function or aggregate \"" + e.name +
                          u"\", or the name is ambiguous.",
                      16, 1);
      return std::nullopt;
    }
    std::vector<SqlValue> values;
    for (const auto& a : e.args) {
      auto v = evaluate(a, vars, error, drop);
      if (!v) return std::nullopt;
      values.push_back(std::move(v->value));
    }
    ProcArgs args;
    args.def = def;
    args.values.resize(def->params.size());
    std::vector<CallParam> logged;
    for (std::size_t i = 0; i < values.size(); ++i) {
      logged.push_back(CallParam{i < def->params.size() ? def->params[i].name : u"", &values[i]});
    }
    std::optional<ServerMessage> bind_error;
    if (values.size() < def->params.size()) {
      bind_error = message(
          313,
          u"An insufficient number of arguments were supplied for the procedure or function " +
              e.name + u".",
          16, 3);
    } else if (values.size() > def->params.size()) {
      bind_error = message(
          8144, u"Procedure or function " + e.name + u" has too many arguments specified.", 16, 2);
    } else {
      for (std::size_t i = 0; i < values.size(); ++i) {
        ServerMessage conversion_error;
        auto v = convert(values[i], def->params[i], *def, conversion_error);
        if (!v) {
          bind_error = conversion_error;
          break;
        }
        args.values[i] = std::move(*v);
      }
    }
    StatementResult r = finish(*def, args, std::move(bind_error), logged, true);
    if (r.drop_connection) {
      drop = true;
      return std::nullopt;
    }
    if (r.error) {
      error = std::move(r.error);
      return std::nullopt;
    }
    Evaluated out;
    out.column = function_column(*def, u"");
    out.value = r.function_value.value_or(SqlValue::null(out.column.type));
    return out;
  }

  StatementResult run_select(const SqlStatement& st, const Variables* vars) {
    ResultSet rs;
    Row row;
    for (const auto& item : st.items) {
      std::optional<ServerMessage> error;
      bool drop = false;
      auto v = evaluate(item.expr, vars, error, drop);
      if (drop) {
        StatementResult r;
        r.drop_connection = true;
        return r;
      }
      if (!v) return error_result(std::move(*error));
      v->column.name = item.alias;
      rs.columns.push_back(std::move(v->column));
      row.push_back(std::move(v->value));
    }
    rs.rows.push_back(std::move(row));
    StatementResult r;
    r.result_sets.push_back(std::move(rs));
    return r;
  }

  ServiceState& s_;
  std::int64_t connection_;
  bool stream_rows_ = false;  // long row sets are read while they are sent
  // The reset generation in which this session last listed results (or began).
  std::int64_t listed_in_ = s_.generation.load();
  std::int32_t trancount_ = 0;
};

}  // namespace

std::unique_ptr<Session> make_session(ServiceState& state) {
  return std::make_unique<SessionImpl>(state);
}

}  // namespace sandbox
