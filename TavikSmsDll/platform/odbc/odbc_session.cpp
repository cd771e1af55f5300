#include "platform/odbc/odbc_session.h"

#ifdef _WIN32
// The Windows ODBC headers use its base types without including them.
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "component/error.h"
#include "component/text.h"

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use 16-bit SQLWCHAR");

namespace taviksms::platform::odbc {

using core::iequals;
using db::Value;

// ---- pure helpers -------------------------------------------------------------------------

std::u16string strip_diag_prefix(std::u16string_view m) {
  // The chain names each component in brackets and ends with "[SQL Server]" when the text is the
  // server's: what follows is the server's message, brackets of its own included.
  while (!m.empty() && m.front() == u'[') {
    std::size_t close = m.find(u']');
    if (close == std::u16string_view::npos) break;
    const bool server = m.substr(0, close + 1) == u"[SQL Server]";
    m.remove_prefix(close + 1);
    if (server) break;
  }
  return std::u16string(m);
}

namespace {

std::u16string trim(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return std::u16string(s);
}

}  // namespace

std::u16string odbc_braced(std::u16string_view v) {
  std::u16string out = u"{";
  for (char16_t c : v) {
    out.push_back(c);
    if (c == u'}') out.push_back(u'}');
  }
  out.push_back(u'}');
  return out;
}

ConnItems parse_conn_string(std::u16string_view ado) {
  ConnItems items;
  std::size_t pos = 0;
  while (pos < ado.size()) {
    std::size_t end = ado.find(u';', pos);
    if (end == std::u16string_view::npos) end = ado.size();
    std::u16string_view item = ado.substr(pos, end - pos);
    pos = end + 1;
    std::size_t eq = item.find(u'=');
    if (eq == std::u16string_view::npos) continue;
    std::u16string key = trim(item.substr(0, eq));
    std::u16string_view value = item.substr(eq + 1);
    if (iequals(key, u"Data Source") || iequals(key, u"Server") || iequals(key, u"Address")) {
      items.data_source = trim(value);
      std::size_t comma = items.data_source.rfind(u',');
      if (comma != std::u16string::npos) {
        items.host = trim(std::u16string_view(items.data_source).substr(0, comma));
        items.port = trim(std::u16string_view(items.data_source).substr(comma + 1));
      } else {
        items.host = items.data_source;
        items.port.clear();
      }
    } else if (iequals(key, u"Initial Catalog") || iequals(key, u"Database")) {
      items.database = trim(value);
    } else if (iequals(key, u"User ID") || iequals(key, u"UID")) {
      items.user = std::u16string(value);
    } else if (iequals(key, u"Password") || iequals(key, u"PWD")) {
      items.password = std::u16string(value);
    }
  }
  return items;
}

std::u16string translate_conn_string(std::u16string_view ado) {
  const ConnItems c = parse_conn_string(ado);
  std::u16string out = u"Driver={FreeTDS};Server=" + odbc_braced(c.host) + u";";
  if (!c.port.empty()) out += u"Port=" + odbc_braced(c.port) + u";";
  out += u"Database=" + odbc_braced(c.database) + u";UID=" + odbc_braced(c.user) + u";PWD=" +
         odbc_braced(c.password) + u";TDS_Version=7.4;ClientCharset=UTF-8";
  return out;
}

namespace {
std::atomic<ConnStringTranslator> g_translator{&translate_conn_string};
}

void set_conn_string_translator(ConnStringTranslator translator) {
  g_translator = translator ? translator : &translate_conn_string;
}

ConnStringTranslator conn_string_translator() {
  return g_translator.load();
}

// ---- ODBC plumbing ------------------------------------------------------------------------

namespace {

constexpr SQLULEN kLoginTimeoutS = 15;  // the data-access library's defaults
constexpr SQLULEN kQueryTimeoutS = 30;

SQLHENV environment() {
  static SQLHENV env = [] {
    SQLHENV h = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h))) return SQLHENV{};
    SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return h;
  }();
  return env;
}

SQLWCHAR* w(std::u16string& s) {
  return reinterpret_cast<SQLWCHAR*>(s.data());
}

// The first diagnostic record's message, prefixes removed.
std::u16string diagnostic(SQLSMALLINT type, SQLHANDLE h) {
  SQLWCHAR state[6] = {};
  SQLINTEGER native = 0;
  std::u16string msg(1024, u'\0');
  SQLSMALLINT len = 0;
  SQLRETURN rc = SQLGetDiagRecW(type, h, 1, state, &native, reinterpret_cast<SQLWCHAR*>(msg.data()),
                                static_cast<SQLSMALLINT>(msg.size()), &len);
  if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(msg.size())) {
    msg.assign(static_cast<std::size_t>(len) + 1, u'\0');
    rc = SQLGetDiagRecW(type, h, 1, state, &native, reinterpret_cast<SQLWCHAR*>(msg.data()),
                        static_cast<SQLSMALLINT>(msg.size()), &len);
  }
  if (!SQL_SUCCEEDED(rc)) return u"Unspecified error";
  msg.resize(std::min<std::size_t>(static_cast<std::size_t>(len), msg.size()));
  std::size_t nul = msg.find(u'\0');
  if (nul != std::u16string::npos) msg.resize(nul);
  return strip_diag_prefix(msg);
}

void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h) {
  if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA) return;
  if (rc == SQL_INVALID_HANDLE) core::raise_provider(u"Invalid handle");
  core::raise_provider(diagnostic(type, h));
}

bool is_integer_type(SQLSMALLINT t) {
  return t == SQL_INTEGER || t == SQL_SMALLINT || t == SQL_TINYINT || t == SQL_BIGINT ||
         t == SQL_BIT;
}

// One column of the current row.
Value get_value(SQLHSTMT st, SQLUSMALLINT col, SQLSMALLINT type) {
  if (is_integer_type(type)) {
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    check(SQLGetData(st, col, SQL_C_SBIGINT, &v, sizeof v, &ind), SQL_HANDLE_STMT, st);
    if (ind == SQL_NULL_DATA) return Value::null();
    return Value::integer(v);
  }
  std::u16string text;
  SQLWCHAR buf[2048];  // left uninitialised: the driver fills it, and this runs per cell
  constexpr std::size_t kRoom = std::size(buf) - 1;
  for (;;) {
    SQLLEN ind = 0;
    SQLRETURN rc = SQLGetData(st, col, SQL_C_WCHAR, buf, static_cast<SQLLEN>(sizeof buf), &ind);
    if (rc == SQL_NO_DATA) break;
    check(rc, SQL_HANDLE_STMT, st);
    if (ind == SQL_NULL_DATA) return Value::null();
    std::size_t got = (ind == SQL_NO_TOTAL || static_cast<std::size_t>(ind) / 2 > kRoom)
                          ? kRoom
                          : static_cast<std::size_t>(ind) / 2;
    text.append(reinterpret_cast<const char16_t*>(buf), got);
    if (rc == SQL_SUCCESS) break;
  }
  switch (type) {
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return Value::decimal(std::move(text));
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return Value::floating(std::move(text));
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
      return Value::datetime(std::move(text));
    default:
      return Value::text(std::move(text));
  }
}

// The first result that has columns, all of its rows; every later result is drained so that
// return values and errors behind the rows arrive.
struct ResultData {
  bool has_rows_result = false;
  std::vector<std::u16string> columns;
  std::vector<std::vector<Value>> rows;
};

ResultData collect(SQLHSTMT st, SQLRETURN exec_rc) {
  ResultData out;
  if (exec_rc == SQL_NO_DATA) return out;
  for (;;) {
    SQLSMALLINT ncols = 0;
    check(SQLNumResultCols(st, &ncols), SQL_HANDLE_STMT, st);
    if (ncols > 0 && !out.has_rows_result) {
      out.has_rows_result = true;
      std::vector<SQLSMALLINT> types(static_cast<std::size_t>(ncols));
      for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(ncols); ++c) {
        SQLWCHAR name_buf[256];
        SQLSMALLINT name_len = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        check(SQLDescribeColW(st, c, name_buf, static_cast<SQLSMALLINT>(std::size(name_buf)),
                              &name_len, &type, &size, &digits, &nullable),
              SQL_HANDLE_STMT, st);
        std::u16string name(
            reinterpret_cast<const char16_t*>(name_buf),
            std::min<std::size_t>(static_cast<std::size_t>(name_len), std::size(name_buf) - 1));
        out.columns.push_back(std::move(name));
        types[c - 1] = type;
      }
      for (;;) {
        SQLRETURN rc = SQLFetch(st);
        if (rc == SQL_NO_DATA) break;
        check(rc, SQL_HANDLE_STMT, st);
        std::vector<Value> row;
        row.reserve(types.size());
        for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(ncols); ++c) {
          row.push_back(get_value(st, c, types[c - 1]));
        }
        out.rows.push_back(std::move(row));
      }
    }
    SQLRETURN more = SQLMoreResults(st);
    if (more == SQL_NO_DATA) break;
    check(more, SQL_HANDLE_STMT, st);
  }
  return out;
}

struct ParamMeta {
  std::u16string name;
  SQLSMALLINT column_type = SQL_PARAM_INPUT;  // SQL_RETURN_VALUE for @RETURN_VALUE
  SQLSMALLINT data_type = SQL_WVARCHAR;
};

struct ProcMeta {
  bool is_function = false;
  std::vector<ParamMeta> params;  // declared order, the return value first
};

class OdbcRs;

class OdbcConn final : public db::DbConn {
 public:
  ~OdbcConn() override { close(); }

  void open(const std::u16string& conn_string) override {
    if (state_ == db::kStateOpen) {
      throw core::Error(core::err::runtime(3705), u"ADODB.Connection",
                        u"Operation is not allowed when the object is open.");
    }
    SQLHENV env = environment();
    if (!env) core::raise_provider(u"The ODBC driver manager could not be initialised.");
    SQLHDBC dbc = SQL_NULL_HDBC;
    check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_HANDLE_ENV, env);
    SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutS),
                       0);
    std::u16string odbc = conn_string_translator()(conn_string);
    SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, w(odbc), static_cast<SQLSMALLINT>(odbc.size()),
                                     nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      std::u16string msg = diagnostic(SQL_HANDLE_DBC, dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      core::raise_provider(std::move(msg));
    }
    dbc_ = dbc;
    state_ = db::kStateOpen;
  }

  int state() const override { return state_; }
  SQLHDBC handle() const { return dbc_; }

  void close() override {
    if (stmt_) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    stmt_ = SQL_NULL_HSTMT;
    binder_ = 0;
    if (dbc_) {
      SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    dbc_ = SQL_NULL_HDBC;
    state_ = db::kStateClosed;
    meta_.clear();
  }

  std::shared_ptr<db::DbRs> execute(const std::u16string& sql) override;

  // The one statement handle, reset for a new execution. `binder` names the command about to
  // bind parameters (0: none). When the same command bound them last and nothing else used the
  // statement since, its bindings stay (*kept is set) and it rebinds only what changed: a
  // SQLBindParameter per parameter and execution is most of the client's cost of a short call.
  SQLHSTMT statement(std::uint64_t binder = 0, bool* kept = nullptr) {
    if (state_ != db::kStateOpen) core::raise_connection_closed(u"ADODB.Command");
    const bool keep = binder != 0 && binder == binder_ && stmt_;
    if (!stmt_) {
      check(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_), SQL_HANDLE_DBC, dbc_);
      SQLSetStmtAttrW(stmt_, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(kQueryTimeoutS),
                      0);
    } else {
      SQLFreeStmt(stmt_, SQL_CLOSE);  // no columns are ever bound, so no SQL_UNBIND
      if (!keep) SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
    }
    binder_ = binder;
    if (kept) *kept = keep;
    return stmt_;
  }

  ResultData run_sql(std::u16string sql) {
    SQLHSTMT st = statement();
    SQLRETURN rc = SQLExecDirectW(st, w(sql), static_cast<SQLINTEGER>(sql.size()));
    check(rc, SQL_HANDLE_STMT, st);
    return collect(st, rc);
  }

  // Parameter description of a procedure, asked of the server once per connection.
  std::shared_ptr<const ProcMeta> describe(const std::u16string& proc) {
    std::u16string key = core::ascii_lower(proc);
    if (auto it = meta_.find(key); it != meta_.end()) return it->second;
    SQLHSTMT st = statement();
    std::u16string name = proc;
    check(SQLProcedureColumnsW(st, nullptr, 0, nullptr, 0, w(name),
                               static_cast<SQLSMALLINT>(name.size()), nullptr, 0),
          SQL_HANDLE_STMT, st);
    auto meta = std::make_shared<ProcMeta>();
    ResultData rd = collect(st, SQL_SUCCESS);
    for (const auto& row : rd.rows) {
      if (row.size() < 6) continue;
      std::u16string pname = row[2].kind() == Value::Kind::text ? row[2].raw_text() : u"";
      if (pname.size() >= 2 && pname.substr(pname.size() - 2) == u";0") meta->is_function = true;
      ParamMeta pm;
      pm.name = row[3].kind() == Value::Kind::text ? row[3].raw_text() : u"";
      pm.column_type = static_cast<SQLSMALLINT>(
          row[4].kind() == Value::Kind::integer ? row[4].raw_integer() : 1);
      pm.data_type = static_cast<SQLSMALLINT>(
          row[5].kind() == Value::Kind::integer ? row[5].raw_integer() : SQL_WVARCHAR);
      meta->params.push_back(std::move(pm));
    }
    if (!meta->params.empty()) meta_.emplace(std::move(key), meta);
    return meta;
  }

 private:
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  std::uint64_t binder_ = 0;  // the command whose parameter bindings the statement holds
  int state_ = db::kStateClosed;
  std::unordered_map<std::u16string, std::shared_ptr<const ProcMeta>> meta_;
};

class OdbcParam final : public db::DbParameter {
 public:
  // `m` lives in a ProcMeta that the owning command keeps alive.
  explicit OdbcParam(const ParamMeta& m) : meta_(&m) {}
  const std::u16string& name() const override { return meta_->name; }
  const Value& value() const override { return value_; }
  void set_value(Value v) override { value_ = std::move(v); }
  const ParamMeta& meta() const { return *meta_; }

 private:
  const ParamMeta* meta_;
  Value value_;
};

class OdbcRs final : public db::DbRs {
 public:
  void set_cursor_location(int location) override { location_ = location; }
  int cursor_location() const override { return location_; }
  void open(db::DbCmd& source) override;
  int state() const override { return state_; }
  void close() override {
    if (state_ != db::kStateOpen) raise_closed();
    state_ = db::kStateClosed;
    data_ = {};
    row_ = 0;
  }
  std::int32_t record_count() const override {
    if (state_ != db::kStateOpen) raise_closed();
    return location_ == db::kUseClient ? static_cast<std::int32_t>(data_.rows.size()) : -1;
  }
  bool eof() const override {
    if (state_ != db::kStateOpen) raise_closed();
    return row_ >= data_.rows.size();
  }
  const Value& field(std::u16string_view name) const override {
    if (state_ != db::kStateOpen) raise_closed();
    for (std::size_t c = 0; c < data_.columns.size(); ++c) {
      if (!iequals(data_.columns[c], name)) continue;
      if (row_ >= data_.rows.size()) {
        throw core::Error(core::err::runtime(3021), u"ADODB.Field",
                          u"Either BOF or EOF is True, or the current record has been deleted. "
                          u"Requested operation requires a current record.");
      }
      return data_.rows[row_][c];
    }
    core::raise_item_not_found(u"ADODB.Fields");
  }
  void move_next() override {
    if (state_ != db::kStateOpen) raise_closed();
    if (row_ >= data_.rows.size()) {
      throw core::Error(core::err::runtime(3021), u"ADODB.Recordset",
                        u"Either BOF or EOF is True, or the current record has been deleted. "
                        u"Requested operation requires a current record.");
    }
    ++row_;
  }

  // Takes over a finished result; the recordset is open only when the result had columns.
  void attach(ResultData data) {
    data_ = std::move(data);
    row_ = 0;
    state_ = data_.has_rows_result ? db::kStateOpen : db::kStateClosed;
  }

 private:
  [[noreturn]] static void raise_closed() { core::raise_object_closed(u"ADODB.Recordset"); }
  int location_ = db::kUseServer;
  int state_ = db::kStateClosed;
  ResultData data_;
  std::size_t row_ = 0;
};

class OdbcCmd final : public db::DbCmd {
 public:
  void set_active_connection(std::shared_ptr<db::DbConn> conn) override {
    conn_ = std::dynamic_pointer_cast<OdbcConn>(conn);
    if (conn && !conn_) core::raise_type_mismatch();
    stale_ = true;
  }
  void set_command_type(int type) override { type_ = type; }
  int command_type() const override { return type_; }
  void set_command_text(std::u16string text) override {
    if (text != text_) stale_ = true;
    text_ = std::move(text);
  }
  const std::u16string& command_text() const override { return text_; }

  void refresh_parameters() override {
    open_connection();
    params_.clear();
    stale_ = true;
  }

  db::DbParameter& parameter(std::u16string_view name) override {
    ensure_params();
    for (auto& p : params_) {
      if (iequals(p.name(), name)) return p;
    }
    core::raise_item_not_found(u"ADODB.Parameters");
  }

  std::shared_ptr<db::DbRs> execute() override {
    auto rs = std::make_shared<OdbcRs>();
    rs->attach(run());
    return rs;
  }

  // Runs the command and stores the return value into @RETURN_VALUE.
  ResultData run() {
    OdbcConn& conn = open_connection();
    ensure_params();
    if (type_ != db::kCmdStoredProc) return conn.run_sql(text_);

    OdbcParam* ret = nullptr;
    std::vector<OdbcParam*> inputs;
    for (auto& p : params_) {
      if (p.meta().column_type == SQL_RETURN_VALUE) {
        ret = &p;
      } else {
        inputs.push_back(&p);
      }
    }
    std::u16string sql;
    std::u16string marks;
    for (std::size_t i = 0; i < inputs.size(); ++i) marks += i ? u",?" : u"?";
    if (is_function_) {
      std::u16string name = text_.find(u'.') == std::u16string::npos ? u"dbo." + text_ : text_;
      sql = u"SELECT " + name + u"(" + marks + u")";
    } else {
      sql = u"{" + std::u16string(ret ? u"? = " : u"") + u"call " + text_ +
            (inputs.empty() ? u"" : u"(" + marks + u")") + u"}";
    }

    bool kept = false;
    SQLHSTMT st = conn.statement(id_, &kept);
    const bool with_status = !is_function_ && ret;
    const std::size_t count = inputs.size() + (with_status ? 1 : 0);
    if (!kept || bound_.size() != count) {
      // Fresh bindings; the buffers are sized once here, so the addresses bound stay valid while
      // the bindings are kept.
      if (kept) SQLFreeStmt(st, SQL_RESET_PARAMS);
      bound_.assign(count, Binding{});
      texts_.assign(inputs.size(), std::u16string());
      ints_.assign(inputs.size(), 0);
      ind_.assign(inputs.size() + 1, 0);
    }
    SQLINTEGER& status = status_;
    status = 0;
    std::vector<SQLLEN>& ind = ind_;
    SQLUSMALLINT n = 1;
    if (with_status) {
      ind[0] = 0;
      bind(st, n++, Binding{SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, &status}, &ind[0]);
    }
    for (std::size_t i = 0; i < inputs.size(); ++i)
      bind_input(st, n++, *inputs[i], texts_[i], ints_[i], ind[i + 1]);

    SQLRETURN rc = SQLExecDirectW(st, w(sql), static_cast<SQLINTEGER>(sql.size()));
    check(rc, SQL_HANDLE_STMT, st);
    ResultData data = collect(st, rc);
    if (is_function_) {
      // The function's value is the statement's one cell; it is not a row set of the call.
      Value v = (!data.rows.empty() && !data.rows[0].empty()) ? data.rows[0][0] : Value::null();
      if (ret) ret->set_value(std::move(v));
      return ResultData{};
    }
    if (ret) ret->set_value(ind[0] == SQL_NULL_DATA ? Value::null() : Value::integer(status));
    return data;
  }

 private:
  OdbcConn& open_connection() {
    if (!conn_ || conn_->state() != db::kStateOpen) core::raise_connection_closed(u"ADODB.Command");
    return *conn_;
  }

  void ensure_params() {
    if (!stale_) return;
    OdbcConn& conn = open_connection();
    params_.clear();
    is_function_ = false;
    if (!text_.empty() && type_ == db::kCmdStoredProc) {
      meta_ = conn.describe(text_);
      is_function_ = meta_->is_function;
      params_.reserve(meta_->params.size());
      for (const auto& pm : meta_->params) params_.emplace_back(pm);
    }
    stale_ = false;
  }

  // One parameter's binding as last given to the driver.
  struct Binding {
    SQLSMALLINT io = 0;
    SQLSMALLINT c_type = 0;
    SQLSMALLINT sql_type = 0;
    SQLULEN size = 0;
    SQLPOINTER data = nullptr;
    bool operator==(const Binding&) const = default;
  };

  // Binds parameter n unless the statement already holds exactly this binding; the indicator's
  // value is read at execution, so a kept binding sees the new length.
  void bind(SQLHSTMT st, SQLUSMALLINT n, const Binding& b, SQLLEN* ind) {
    Binding& last = bound_[n - 1];
    if (last == b && last.data != nullptr) return;
    last = Binding{};  // a failed bind leaves nothing to trust
    const SQLLEN buffer_length = b.c_type == SQL_C_WCHAR ? *ind : 0;
    check(SQLBindParameter(st, n, b.io, b.c_type, b.sql_type, b.size, 0, b.data,
                           buffer_length < 0 ? 0 : buffer_length, ind),
          SQL_HANDLE_STMT, st);
    last = b;
  }

  void bind_input(SQLHSTMT st, SQLUSMALLINT n, const OdbcParam& p, std::u16string& text,
                  SQLINTEGER& i32, SQLLEN& ind) {
    const Value& v = p.value();
    bool int_param = is_integer_type(p.meta().data_type);
    // A non-null pointer even for an empty text, so the driver sees a value of length 0.
    static SQLWCHAR empty = 0;
    if (v.kind() == Value::Kind::empty || v.kind() == Value::Kind::null) {
      ind = SQL_NULL_DATA;
      if (int_param) {
        bind(st, n, Binding{SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, &i32}, &ind);
      } else {
        bind(st, n, Binding{SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, &empty}, &ind);
      }
      return;
    }
    if (int_param) {
      i32 = v.to_int32();
      ind = 0;
      bind(st, n, Binding{SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, &i32}, &ind);
      return;
    }
    // Copied into the command's own buffer: its address stays the same from call to call (the
    // capacity only grows), so a kept binding stays valid.
    if (v.kind() == Value::Kind::text) {
      text.assign(v.raw_text());
    } else {
      text.assign(v.to_text());
    }
    ind = static_cast<SQLLEN>(text.size() * sizeof(SQLWCHAR));
    SQLULEN chars = text.empty() ? 1 : text.size();
    SQLSMALLINT sql_type = text.size() > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
    SQLPOINTER data =
        text.empty() ? static_cast<SQLPOINTER>(&empty) : static_cast<SQLPOINTER>(text.data());
    bind(st, n, Binding{SQL_PARAM_INPUT, SQL_C_WCHAR, sql_type, chars, data}, &ind);
  }

  static std::uint64_t next_id() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
  }

  std::shared_ptr<OdbcConn> conn_;
  std::uint64_t id_ = next_id();  // identifies this command's bindings on the statement
  std::vector<Binding> bound_;    // per bound parameter, in bind order
  std::vector<std::u16string> texts_;
  std::vector<SQLINTEGER> ints_;
  std::vector<SQLLEN> ind_;
  SQLINTEGER status_ = 0;
  int type_ = 0;
  std::u16string text_;
  std::shared_ptr<const ProcMeta> meta_;  // what params_ point into
  std::vector<OdbcParam> params_;
  bool stale_ = true;
  bool is_function_ = false;
};

void OdbcRs::open(db::DbCmd& source) {
  if (state_ == db::kStateOpen) {
    throw core::Error(core::err::runtime(3705), u"ADODB.Recordset",
                      u"Operation is not allowed when the object is open.");
  }
  auto* cmd = dynamic_cast<OdbcCmd*>(&source);
  if (!cmd) core::raise_type_mismatch();
  attach(cmd->run());
}

std::shared_ptr<db::DbRs> OdbcConn::execute(const std::u16string& sql) {
  auto rs = std::make_shared<OdbcRs>();
  rs->attach(run_sql(sql));
  return rs;
}

}  // namespace

std::shared_ptr<db::DbConn> make_connection() {
  return std::make_shared<OdbcConn>();
}
std::shared_ptr<db::DbCmd> make_command() {
  return std::make_shared<OdbcCmd>();
}
std::shared_ptr<db::DbRs> make_recordset() {
  return std::make_shared<OdbcRs>();
}

void* native_handle(const db::DbConn& conn) {
  const auto* c = dynamic_cast<const OdbcConn*>(&conn);
  return c ? c->handle() : nullptr;
}

}  // namespace taviksms::platform::odbc
