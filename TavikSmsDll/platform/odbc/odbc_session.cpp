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
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "base/platform/platform.h"
#include "base/text.h"
#include "base/trace.h"
#include "db/row_table.h"
#include "platform/odbc/deadline.h"
#include "platform/odbc/prelogin_probe.h"

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use 16-bit SQLWCHAR");

namespace taviksms::platform::odbc {

using core::iequals;
using db::Value;

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

// An ODBC connection string with the PWD value replaced by its length. The items are read as the
// driver reads them (a braced value runs to the first "}" that ";" or the end follows, a bare one
// to the next ";"), so a password holding ";TDS_Version=" or ";PWD=", or a user name holding
// ";PWD=", hides nothing of the password.
std::string masked_conn_string(std::u16string_view odbc) {
  std::u16string out;
  std::size_t pos = 0;
  while (pos < odbc.size()) {
    const std::size_t eq = odbc.find(u'=', pos);
    if (eq == std::u16string_view::npos) {
      out += odbc.substr(pos);
      break;
    }
    std::size_t end = eq + 1;
    if (end < odbc.size() && odbc[end] == u'{') {
      std::size_t close = end;
      do {
        close = odbc.find(u'}', close + 1);
      } while (close != std::u16string_view::npos && close + 1 < odbc.size() &&
               odbc[close + 1] != u';');
      end = close == std::u16string_view::npos ? odbc.size() : close + 1;
    } else {
      end = std::min(odbc.find(u';', end), odbc.size());
    }
    const std::u16string_view key = odbc.substr(pos, eq - pos);
    std::u16string_view value = odbc.substr(eq + 1, end - eq - 1);
    out += odbc.substr(pos, eq + 1 - pos);
    if (iequals(key, u"PWD")) {
      if (value.size() >= 2 && value.front() == u'{' && value.back() == u'}') {
        value = value.substr(1, value.size() - 2);
      }
      out += core::utf8_to_utf16(trace::masked(value.size()));
    } else {
      out += value;
    }
    if (end < odbc.size()) out += u';';
    pos = end + 1;
  }
  return core::utf16_to_utf8(out);
}

std::optional<std::u16string> read_diag_text(const DiagTextReader& read) {
  // The most a message buffer can be declared to hold: its length is a 16-bit count.
  constexpr std::size_t kLargest = 32767;
  std::u16string text(1024, u'\0');
  short length = 0;
  short rc = read(text.data(), static_cast<short>(text.size()), &length);
  // Cut short: again with room for all of it. A negative length is the driver's count of a
  // message over 32,767 characters gone round: then the largest buffer takes as much as it can.
  if (rc == SQL_SUCCESS_WITH_INFO &&
      (length < 0 || static_cast<std::size_t>(length) >= text.size())) {
    const std::size_t room =
        length < 0 ? kLargest : std::min(static_cast<std::size_t>(length) + 1, kLargest);
    text.assign(room, u'\0');
    rc = read(text.data(), static_cast<short>(room), &length);
  }
  if (!SQL_SUCCEEDED(rc)) return std::nullopt;
  // The message's own length when the buffer held it all; otherwise the buffer but its NUL.
  const std::size_t kept = length >= 0 && static_cast<std::size_t>(length) < text.size()
                               ? static_cast<std::size_t>(length)
                               : text.size() - 1;
  text.resize(kept);
  const std::size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  return text;
}

// ---- ODBC plumbing ------------------------------------------------------------------------

namespace {

// What the driver answers when its own per-read limit passes; an overall deadline that passes
// answers the same.
constexpr std::u16string_view kTimeoutText = u"Timeout expired";
constexpr std::chrono::milliseconds kCutAfterCancel{1000};
// Where the platform cannot look at an idle connection's socket, a connection idle for longer
// than this is asked "SELECT 1" before a call uses it, within kAskLimit (as connection pools
// validate a connection idle for more than half a second before handing it out).
constexpr std::chrono::milliseconds kAskAfterIdle{500};
constexpr std::chrono::milliseconds kAskLimit{5000};

SQLULEN whole_seconds(std::chrono::milliseconds ms) {
  return static_cast<SQLULEN>(std::max<long long>(1, (ms.count() + 999) / 1000));
}

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

// The first diagnostic record's message as the driver chain gives it; none when there is none.
std::optional<std::u16string> first_diag_message(SQLSMALLINT type, SQLHANDLE h) {
  return read_diag_text([&](char16_t* buffer, short capacity, short* length) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    return SQLGetDiagRecW(type, h, 1, state, &native, reinterpret_cast<SQLWCHAR*>(buffer), capacity,
                          length);
  });
}

// The first diagnostic record's message, prefixes removed.
std::u16string diagnostic(SQLSMALLINT type, SQLHANDLE h) {
  const std::optional<std::u16string> msg = first_diag_message(type, h);
  if (!msg) return u"Unspecified error";
  return strip_diag_prefix(*msg);
}

// The first diagnostic record's SQLSTATE for any handle.
std::u16string diag_state(SQLSMALLINT type, SQLHANDLE h) {
  SQLWCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLWCHAR msg[2];
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLGetDiagRecW(type, h, 1, state, &native, msg, 2, &len))) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(state), 5);
}

// The first diagnostic record's SQLSTATE of a statement.
std::u16string sqlstate(SQLHSTMT st) {
  return diag_state(SQL_HANDLE_STMT, st);
}

// The first diagnostic record's message as the driver chain gives it, prefixes kept (the trace
// shows which layer spoke).
std::u16string full_diagnostic(SQLSMALLINT type, SQLHANDLE h) {
  return first_diag_message(type, h).value_or(u"(no diagnostic)");
}

// The driver a connection loaded (SQL_DRIVER_NAME, the library's file name).
std::string driver_name(SQLHDBC dbc) {
  SQLWCHAR name[256] = {};
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DRIVER_NAME, name, sizeof name, &len))) return "?";
  return core::utf16_to_utf8(reinterpret_cast<const char16_t*>(name));
}

std::atomic<DriverLibraryFinder> g_driver_finder{nullptr};

// Whether the driver manager knows a driver of this name (case-insensitive, as it looks them up).
bool driver_registered(SQLHENV env, std::u16string_view name) {
  SQLWCHAR desc[256];
  SQLWCHAR attrs[1024];
  SQLSMALLINT dlen = 0, alen = 0;
  SQLUSMALLINT dir = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDriversW(env, dir, desc, 256, &dlen, attrs, 1024, &alen))) {
    dir = SQL_FETCH_NEXT;
    std::u16string_view found(reinterpret_cast<const char16_t*>(desc));
    if (core::ascii_lower(found) == core::ascii_lower(name)) return true;
  }
  return false;
}

// The connection string naming the driver's library instead of "{FreeTDS}"; empty when the
// platform knows no library or the string names another driver.
std::u16string driver_by_path(const std::u16string& odbc) {
  static constexpr std::u16string_view kByName = u"Driver={FreeTDS};";
  DriverLibraryFinder find = g_driver_finder.load();
  if (!find || odbc.compare(0, kByName.size(), kByName) != 0) return {};
  std::string lib = find();
  if (lib.empty()) return {};
  return u"Driver=" + odbc_value(core::utf8_to_utf16(lib), true) + u";" +
         odbc.substr(kByName.size());
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

// The column kind of a non-Null cell that is not an integer.
Value::Kind text_kind(SQLSMALLINT type) {
  switch (type) {
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return Value::Kind::decimal;
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return Value::Kind::floating;
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
      return Value::Kind::datetime;
    default:
      return Value::Kind::text;
  }
}

// One column of the current row, added to `table`; `text` is scratch reused across cells.
void add_cell(SQLHSTMT st, SQLUSMALLINT col, SQLSMALLINT type, db::RowTable& table,
              std::u16string& text) {
  if (is_integer_type(type)) {
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    check(SQLGetData(st, col, SQL_C_SBIGINT, &v, sizeof v, &ind), SQL_HANDLE_STMT, st);
    if (ind == SQL_NULL_DATA) {
      table.add_null();
    } else {
      table.add_integer(v);
    }
    return;
  }
  text.clear();
  SQLWCHAR buf[2048];  // left uninitialised: the driver fills it, and this runs per cell
  constexpr std::size_t kRoom = std::size(buf) - 1;
  for (;;) {
    SQLLEN ind = 0;
    SQLRETURN rc = SQLGetData(st, col, SQL_C_WCHAR, buf, static_cast<SQLLEN>(sizeof buf), &ind);
    if (rc == SQL_NO_DATA) break;
    check(rc, SQL_HANDLE_STMT, st);
    if (ind == SQL_NULL_DATA) {
      table.add_null();
      return;
    }
    std::size_t got = (ind == SQL_NO_TOTAL || static_cast<std::size_t>(ind) / 2 > kRoom)
                          ? kRoom
                          : static_cast<std::size_t>(ind) / 2;
    if (rc == SQL_SUCCESS && text.empty()) {
      // The whole value in one piece, as almost every cell is: no copy.
      table.add_text(std::u16string_view(reinterpret_cast<const char16_t*>(buf), got));
      return;
    }
    text.append(reinterpret_cast<const char16_t*>(buf), got);
    if (rc == SQL_SUCCESS) break;
  }
  table.add_text(text);
}

// The first result that has columns, all of its rows; every later result is drained so that
// return values and errors behind the rows arrive.
struct ResultData {
  bool has_rows_result = false;
  db::RowTable table;
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
      std::vector<std::u16string> names;
      std::vector<Value::Kind> kinds;
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
        names.push_back(std::move(name));
        types[c - 1] = type;
        kinds.push_back(text_kind(type));
      }
      out.table.set_columns(std::move(names), std::move(kinds));
      std::u16string scratch;
      for (;;) {
        SQLRETURN rc = SQLFetch(st);
        if (rc == SQL_NO_DATA) break;
        check(rc, SQL_HANDLE_STMT, st);
        for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(ncols); ++c) {
          add_cell(st, c, types[c - 1], out.table, scratch);
        }
        out.table.end_row();
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
class OdbcParam;
std::string describe_call(const std::u16string& proc, const std::vector<OdbcParam*>& inputs);

class OdbcConn final : public db::DbConn {
 public:
  ~OdbcConn() override { close(); }

  void open(const std::u16string& conn_string) override {
    if (state_ == db::kStateOpen) {
      throw core::Error(core::err::runtime(3705), u"ADODB.Connection",
                        u"Operation is not allowed when the object is open.");
    }
    const std::uint16_t port = checked_port(parse_conn_string(conn_string).port);
    Platform& p = platform::current();
    const Platform::DbDeadlines limits = p.db_deadlines();
    Connected c;
    try {
      c = connect_within(conn_string_translator()(conn_string), port, limits.open);
    } catch (const core::Error&) {
      // A TLS failure reads like any other ("Unable to connect"): the trace says whether the
      // server encrypts.
      if (trace::enabled()) trace_encryption(p, conn_string, port, true);
      throw;
    }
    if (trace::enabled()) trace_encryption(p, conn_string, port, false);
    socket_ = c.socket;
    p.keep_alive(socket_);
    command_limit_ = limits.command;
    dbc_ = c.dbc;
    state_ = db::kStateOpen;
    lost_ = false;
    sends_defaults_ = true;
    last_used_ = std::chrono::steady_clock::now();
  }

  int state() const override { return state_; }
  SQLHDBC handle() const { return dbc_; }

  // The trace's line on the server's encryption (the driver cannot say what it agreed to): after
  // every failed open, and after the first successful one to each server in the process.
  static void trace_encryption(Platform& p, const std::u16string& conn_string, std::uint16_t port,
                               bool failed) {
    const ConnItems items = parse_conn_string(conn_string);
    if (!failed) {
      static std::mutex mutex;
      static std::set<std::u16string> traced;
      std::lock_guard lock(mutex);
      if (!traced.insert(items.host + u"," + core::utf8_to_utf16(std::to_string(port))).second) {
        return;
      }
    }
    const Platform::EncryptionProbe probe = p.probe_encryption(items.host, port);
    trace::emit(
        "odbc",
        "encryption: " + (probe.answer < 0 ? "no PRELOGIN answer (" + probe.problem + ")"
                                           : platform::describe_encryption_answer(probe.answer)));
  }

  // Runs `body` (an execution on `st` and the reading of its results) within the command
  // deadline (or `limit`). When it passes, the statement is cancelled; the call then fails with
  // the timeout's text and the connection is closed, since the server may still be answering on
  // it. The driver may go on waiting for the server after the cancel (it reads on until the
  // server confirms it), so a second later the connection's socket is shut down under it.
  // A failure that broke the connection (the driver finds it dead, or a connection error's
  // SQLSTATE, class 08) fails with a text that says the link was lost. Either way the link is
  // lost: the connection is closed and link_lost() says so.
  template <class Body>
  auto within_deadline(SQLHSTMT st, Body&& body, std::chrono::milliseconds limit = {}) {
    if (limit.count() == 0) limit = command_limit_;
    Deadline deadline(limit, [st] { SQLCancel(st); });
    Deadline cut(limit + kCutAfterCancel,
                 [socket = socket_] { platform::default_platform().shut_down_socket(socket); });
    try {
      auto result = body();
      last_used_ = std::chrono::steady_clock::now();
      return result;
    } catch (...) {
      cut.passed();
      last_used_ = std::chrono::steady_clock::now();
      if (!deadline.passed()) {
        if (!link_broken(st)) throw;
        const std::u16string state = sqlstate(st);
        std::u16string text = state.starts_with(u"08") ? diagnostic(SQL_HANDLE_STMT, st)
                                                       : std::u16string(db::kLinkLostText);
        lose("the request failed: SQLSTATE " + core::utf16_to_utf8(state) + " " +
             trace::quote(full_diagnostic(SQL_HANDLE_STMT, st)));
        core::raise_provider(std::move(text));
      }
    }
    lose("no answer within the deadline");
    gave_up_ = true;
    core::raise_provider(std::u16string(kTimeoutText));
  }

  bool link_lost() const override { return lost_; }
  bool gave_up() const override { return gave_up_; }

  bool check_link() override {
    if (lost_) return false;
    if (state_ != db::kStateOpen) return true;
    if (driver_finds_dead()) {
      lose("the driver finds the connection dead");
      return false;
    }
    switch (platform::current().link_state(socket_)) {
      case Platform::LinkState::closed:
        lose("closed by the server while idle");
        return false;
      case Platform::LinkState::open:
        return true;
      case Platform::LinkState::unknown:
        break;
    }
    // Nothing tells without a request: after a while idle, a trivial one, under a short limit.
    if (std::chrono::steady_clock::now() - last_used_ < kAskAfterIdle) return true;
    try {
      run_sql(u"SELECT 1", std::min(command_limit_, kAskLimit));
    } catch (const std::exception&) {
      // A failure that did not lose the link is the server's answer: the link is alive.
    }
    return !lost_;
  }

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
      SQLSetStmtAttrW(stmt_, SQL_ATTR_QUERY_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(whole_seconds(command_limit_)), 0);
    } else {
      SQLFreeStmt(stmt_, SQL_CLOSE);  // no columns are ever bound, so no SQL_UNBIND
      if (!keep) SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
    }
    binder_ = binder;
    if (kept) *kept = keep;
    return stmt_;
  }

  ResultData run_sql(std::u16string sql, std::chrono::milliseconds limit = {}) {
    SQLHSTMT st = statement();
    std::optional<trace::Span> span;
    if (trace::enabled()) span.emplace("sql", trace::quote(sql));
    return within_deadline(
        st,
        [&] {
          SQLRETURN rc = SQLExecDirectW(st, w(sql), static_cast<SQLINTEGER>(sql.size()));
          if (span && !SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            span->finish("failed: " + trace::quote(full_diagnostic(SQL_HANDLE_STMT, st)));
          }
          check(rc, SQL_HANDLE_STMT, st);
          return collect(st, rc);
        },
        limit);
  }

  // Parameter description of a procedure, asked of the server once per connection. The catalog
  // call takes names as LIKE patterns ("_" matches any character) in every schema, so the name
  // goes escaped, in the schema the calls resolve to, and only rows naming exactly that
  // procedure count.
  std::shared_ptr<const ProcMeta> describe(const std::u16string& proc) {
    std::u16string key = core::ascii_lower(proc);
    if (auto it = meta_.find(key); it != meta_.end()) return it->second;
    std::u16string schema = u"dbo";
    std::u16string bare = proc;
    if (std::size_t dot = proc.rfind(u'.'); dot != std::u16string::npos) {
      schema = proc.substr(0, dot);
      bare = proc.substr(dot + 1);
      if (std::size_t dot2 = schema.rfind(u'.'); dot2 != std::u16string::npos)
        schema.erase(0, dot2 + 1);
      if (schema.empty()) schema = u"dbo";
    }
    const std::u16string escape = search_escape();
    std::u16string name_pattern = escape_pattern(bare, escape);
    std::u16string schema_pattern = escape_pattern(schema, escape);
    SQLHSTMT st = statement();
    auto meta = std::make_shared<ProcMeta>();
    ResultData rd = within_deadline(st, [&] {
      check(SQLProcedureColumnsW(st, nullptr, 0, w(schema_pattern),
                                 static_cast<SQLSMALLINT>(schema_pattern.size()), w(name_pattern),
                                 static_cast<SQLSMALLINT>(name_pattern.size()), nullptr, 0),
            SQL_HANDLE_STMT, st);
      return collect(st, SQL_SUCCESS);
    });
    const db::RowTable& t = rd.table;
    std::vector<Value> row(t.column_count());
    std::vector<std::uint32_t> cells;
    for (std::size_t r = 0; r < t.row_count() && row.size() >= 6; ++r) {
      t.locate(r, cells);
      for (std::size_t c = 0; c < 6; ++c) t.read(r, c, cells[c], row[c]);
      auto text_of = [](const Value& v) {
        return v.kind() == Value::Kind::text ? v.raw_text() : u"";
      };
      std::u16string owner = text_of(row[1]);
      std::u16string pname = text_of(row[2]);
      bool function = false;
      if (std::size_t semi = pname.rfind(u';'); semi != std::u16string::npos) {
        function = pname.substr(semi) == u";0";
        pname.resize(semi);
      }
      if (!iequals(pname, bare) || (!owner.empty() && !iequals(owner, schema))) continue;
      if (function) meta->is_function = true;
      ParamMeta pm;
      pm.name = text_of(row[3]);
      pm.column_type = static_cast<SQLSMALLINT>(
          row[4].kind() == Value::Kind::integer ? row[4].raw_integer() : 1);
      pm.data_type = static_cast<SQLSMALLINT>(
          row[5].kind() == Value::Kind::integer ? row[5].raw_integer() : SQL_WVARCHAR);
      meta->params.push_back(std::move(pm));
    }
    if (!meta->params.empty()) meta_.emplace(std::move(key), meta);
    return meta;
  }

  // Whether an unset parameter goes as "use the procedure's default" (SQL_DEFAULT_PARAM); off
  // once the driver has refused that.
  bool sends_defaults() const { return sends_defaults_; }
  void stop_sending_defaults() { sends_defaults_ = false; }

 private:
  struct Connected {
    SQLHDBC dbc = SQL_NULL_HDBC;
    Platform::SocketId socket;  // the driver's socket, when it could be told apart
  };

  // The driver's connect, within `limit` (run_within): the driver's login limit applies to each
  // read, and a connect cannot be cancelled. Everything that may wait on the driver manager runs
  // on the connect's own thread, so the caller's wait is bounded even while another thread's
  // connect holds the manager. Connects to one port take turns (connect_turn), so the socket a
  // connect opened is the one to that port that was not there before it: a connect given up on
  // has that socket shut down under it (it then ends at once, releasing its thread and
  // descriptors), and a finished one keeps it for the command deadline and the look at the link.
  // When no driver is registered as "FreeTDS", the driver's library is tried by its path after a
  // failed connect. The trace gets each attempt, with the SQLSTATE and message of a failure.
  static Connected connect_within(std::u16string odbc, std::uint16_t port,
                                  std::chrono::milliseconds limit) {
    auto job = std::make_shared<ConnectJob>();
    job->odbc = std::move(odbc);
    job->port = port;
    job->login_timeout = limit;
    auto connect = [job] {
      std::lock_guard turn(connect_turn(job->port));
      Platform& os = platform::default_platform();
      {
        std::lock_guard lock(job->mu);
        if (job->given_up) return;  // its caller is gone: no connect at all
        job->before = os.tcp_sockets_to(job->port);
        job->started = true;
      }
      job->run();
      if (job->ok) {
        std::vector<Platform::SocketId> opened;
        for (const auto& id : os.tcp_sockets_to(job->port)) {
          if (std::find(job->before.begin(), job->before.end(), id) == job->before.end())
            opened.push_back(id);
        }
        if (opened.size() == 1) job->socket = opened.front();
      }
      std::lock_guard lock(job->mu);
      job->finished = true;
    };
    auto close_late = [job] {
      if (!job->ok) return;  // freed already
      SQLDisconnect(job->dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, job->dbc);
    };
    if (!run_within(limit, connect, close_late, [job, limit] { cut_abandoned(job, limit); })) {
      if (trace::enabled()) trace::emit("odbc", "connect: no answer within the open's deadline");
      core::raise_provider(std::u16string(kTimeoutText));
    }
    if (!job->ok) core::raise_provider(job->error);
    return {job->dbc, job->socket};
  }

  // One connect and what became of it.
  struct ConnectJob {
    std::u16string odbc;
    std::uint16_t port = 0;
    std::chrono::milliseconds login_timeout{15000};
    SQLHDBC dbc = SQL_NULL_HDBC;
    std::u16string error;
    bool ok = false;
    Platform::SocketId socket;
    std::mutex mu;  // guards the four below
    bool given_up = false;
    bool started = false;   // has the port's turn; `before` is the sockets it found then
    bool finished = false;  // the driver has answered
    std::vector<Platform::SocketId> before;

    // The driver's connect; on failure the handle is freed and `error` says why.
    void run() {
      SQLHENV env = environment();
      if (!env) {
        error = u"The ODBC driver manager could not be initialised.";
        return;
      }
      if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        error = diagnostic(SQL_HANDLE_ENV, env);
        return;
      }
      SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                         reinterpret_cast<SQLPOINTER>(whole_seconds(login_timeout)), 0);
      auto attempt = [&](std::u16string& text) {
        std::optional<trace::Span> span;
        if (trace::enabled()) span.emplace("odbc", "connect " + masked_conn_string(text));
        SQLRETURN rc =
            SQLDriverConnectW(dbc, nullptr, w(text), static_cast<SQLSMALLINT>(text.size()), nullptr,
                              0, nullptr, SQL_DRIVER_NOPROMPT);
        if (span) {
          span->finish(SQL_SUCCEEDED(rc)
                           ? "open, driver " + driver_name(dbc)
                           : "failed: SQLSTATE " +
                                 core::utf16_to_utf8(diag_state(SQL_HANDLE_DBC, dbc)) + " " +
                                 trace::quote(full_diagnostic(SQL_HANDLE_DBC, dbc)));
        }
        return rc;
      };
      SQLRETURN rc = attempt(odbc);
      // No driver registered under the name the string gives: the driver's library by its path.
      std::u16string by_path;
      if (!SQL_SUCCEEDED(rc) && !driver_registered(env, u"FreeTDS")) by_path = driver_by_path(odbc);
      if (!SQL_SUCCEEDED(rc) && !by_path.empty()) {
        if (trace::enabled()) trace::emit("odbc", "no ODBC driver registered as \"FreeTDS\"");
        // The first attempt's message is the one the caller sees if this one fails too.
        const std::u16string first = diagnostic(SQL_HANDLE_DBC, dbc);
        rc = attempt(by_path);
        if (!SQL_SUCCEEDED(rc)) error = first;
      }
      ok = SQL_SUCCEEDED(rc);
      if (!ok) {
        if (error.empty()) error = diagnostic(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      }
    }
  };

  // The turn of connects to `port` (one at a time, process-wide).
  static std::mutex& connect_turn(std::uint16_t port) {
    static std::mutex guard;
    // Never destroyed: a connect's thread may outlive static objects.
    static auto* turns = new std::map<std::uint16_t, std::unique_ptr<std::mutex>>;
    std::lock_guard lock(guard);
    std::unique_ptr<std::mutex>& turn = (*turns)[port];
    if (!turn) turn = std::make_unique<std::mutex>();
    return *turn;
  }

  // A connect given up on: the socket it opened is shut down, so the driver's wait ends at once.
  // Until the socket shows (a TCP connect still under way), it is looked for again every 100 ms,
  // for at most the open's limit; a connect still waiting for its turn will not start.
  static void cut_abandoned(const std::shared_ptr<ConnectJob>& job,
                            std::chrono::milliseconds left) {
    std::vector<Platform::SocketId> before;
    {
      std::lock_guard lock(job->mu);
      job->given_up = true;
      if (!job->started || job->finished) return;
      before = job->before;
    }
    Platform& os = platform::default_platform();
    std::vector<Platform::SocketId> opened;
    for (const auto& id : os.tcp_sockets_to(job->port)) {
      if (std::find(before.begin(), before.end(), id) == before.end()) opened.push_back(id);
    }
    if (opened.size() == 1) {
      os.shut_down_socket(opened.front());
      return;
    }
    const std::chrono::milliseconds again{100};
    if (left > again) run_later(again, [job, left, again] { cut_abandoned(job, left - again); });
  }

  // Whether the driver says the connection is dead (FreeTDS knows only after a failure).
  bool driver_finds_dead() const {
    SQLUINTEGER dead = SQL_CD_FALSE;
    return SQL_SUCCEEDED(SQLGetConnectAttrW(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
  }
  // Whether the failure just seen on `st` broke the connection.
  bool link_broken(SQLHSTMT st) const {
    return driver_finds_dead() || sqlstate(st).starts_with(u"08");
  }
  // The link is lost: the connection is closed, and the next call opens another.
  void lose(const std::string& why) {
    if (trace::enabled()) trace::emit("odbc", "link lost: " + why);
    close();
    lost_ = true;
  }

  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  bool lost_ = false;
  bool gave_up_ = false;  // lost because a deadline passed
  // When a request last came back (or the connection opened): a link idle for less than
  // kAskAfterIdle is taken as alive where nothing else can tell.
  std::chrono::steady_clock::time_point last_used_;
  std::chrono::milliseconds command_limit_{30000};
  Platform::SocketId socket_;  // the driver's socket, when it could be told apart
  std::uint64_t binder_ = 0;   // the command whose parameter bindings the statement holds
  int state_ = db::kStateClosed;
  bool sends_defaults_ = false;
  std::unordered_map<std::u16string, std::shared_ptr<const ProcMeta>> meta_;

  // The driver's escape for "_" and "%" in catalog patterns ("\\" for SQL Server's drivers).
  std::u16string search_escape() {
    SQLWCHAR buf[8] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(dbc_, SQL_SEARCH_PATTERN_ESCAPE, buf, sizeof buf, &len)))
      return u"\\";
    std::u16string e(reinterpret_cast<const char16_t*>(buf),
                     std::min<std::size_t>(static_cast<std::size_t>(len) / 2, std::size(buf) - 1));
    return e.empty() ? u"\\" : e;
  }

  static std::u16string escape_pattern(std::u16string_view name, const std::u16string& escape) {
    std::u16string out;
    for (char16_t c : name) {
      if (c == u'_' || c == u'%' || std::u16string_view(escape) == std::u16string_view(&c, 1))
        out += escape;
      out.push_back(c);
    }
    return out;
  }
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

std::string describe_call(const std::u16string& proc, const std::vector<OdbcParam*>& inputs) {
  std::string out = core::utf16_to_utf8(proc) + "(";
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (i) out += ", ";
    const OdbcParam& p = *inputs[i];
    out += core::utf16_to_utf8(p.name()) + "=";
    const Value& v = p.value();
    if (core::ascii_lower(p.name()) == u"@user_pw") {
      out += trace::masked(v.kind() == Value::Kind::text ? v.raw_text().size() : 0);
    } else if (v.kind() == Value::Kind::null) {
      out += "default";
    } else if (v.kind() == Value::Kind::text) {
      out += trace::quote(v.raw_text());
    } else {
      out += core::utf16_to_utf8(v.to_text());
    }
  }
  return out + ")";
}

class OdbcRs final : public db::DbRs {
 public:
  void set_cursor_location(int location) override {
    // As the data-access library does: a procedure that answers rows where none were expected
    // leaves the recordset open, and the next call's cursor setting then fails, not silently.
    if (state_ == db::kStateOpen) raise_open();
    location_ = location;
  }
  int cursor_location() const override { return location_; }
  void open(db::DbCmd& source) override;
  int state() const override { return state_; }
  void close() override {
    if (state_ != db::kStateOpen) raise_closed();
    state_ = db::kStateClosed;
    data_ = {};
    row_ = 0;
    forget_row();
    values_.clear();
  }
  std::int32_t record_count() const override {
    if (state_ != db::kStateOpen) raise_closed();
    return location_ == db::kUseClient ? static_cast<std::int32_t>(data_.table.row_count()) : -1;
  }
  bool eof() const override {
    if (state_ != db::kStateOpen) raise_closed();
    return row_ >= data_.table.row_count();
  }
  // The returned value stays valid until the cursor moves or the recordset closes.
  const Value& field(std::u16string_view name) const override {
    if (state_ != db::kStateOpen) raise_closed();
    const std::size_t c = column_index(name);
    if (row_ >= data_.table.row_count()) {
      throw core::Error(core::err::runtime(3021), u"ADODB.Field",
                        u"Either BOF or EOF is True, or the current record has been deleted. "
                        u"Requested operation requires a current record.");
    }
    if (!located_) {
      data_.table.locate(row_, cells_);
      located_ = true;
    }
    if (!read_[c]) {
      data_.table.read(row_, c, cells_[c], values_[c]);
      read_[c] = 1;
    }
    return values_[c];
  }
  void move_next() override {
    if (state_ != db::kStateOpen) raise_closed();
    if (row_ >= data_.table.row_count()) {
      throw core::Error(core::err::runtime(3021), u"ADODB.Recordset",
                        u"Either BOF or EOF is True, or the current record has been deleted. "
                        u"Requested operation requires a current record.");
    }
    ++row_;
    forget_row();
  }

  // Takes over a finished result; the recordset is open only when the result had columns.
  void attach(ResultData data) {
    data_ = std::move(data);
    row_ = 0;
    values_.assign(data_.table.column_count(), Value{});
    read_.assign(data_.table.column_count(), 0);
    forget_row();
    next_column_ = 0;
    std::vector<std::u16string> lowered;
    for (const auto& n : data_.table.columns()) lowered.push_back(core::ascii_lower(n));
    std::sort(lowered.begin(), lowered.end());
    unique_names_ = std::adjacent_find(lowered.begin(), lowered.end()) == lowered.end();
    state_ = data_.has_rows_result ? db::kStateOpen : db::kStateClosed;
  }

 private:
  [[noreturn]] static void raise_closed() { core::raise_object_closed(u"ADODB.Recordset"); }
  [[noreturn]] static void raise_open() {
    throw core::Error(core::err::runtime(3705), u"ADODB.Recordset",
                      u"Operation is not allowed when the object is open.");
  }

  // Callers read a row's fields mostly in column order, so the column after the last one found
  // is tried first; not when two columns share a name, where the first of them is the one.
  std::size_t column_index(std::u16string_view name) const {
    const auto& names = data_.table.columns();
    if (unique_names_ && next_column_ < names.size() && iequals(names[next_column_], name)) {
      return next_column_++;
    }
    for (std::size_t c = 0; c < names.size(); ++c) {
      if (iequals(names[c], name)) {
        next_column_ = c + 1;
        return c;
      }
    }
    core::raise_item_not_found(u"ADODB.Fields");
  }

  void forget_row() {
    located_ = false;
    std::fill(read_.begin(), read_.end(), 0);
  }

  int location_ = db::kUseServer;
  int state_ = db::kStateClosed;
  ResultData data_;
  std::size_t row_ = 0;
  // The current row, decoded column by column as its fields are read.
  mutable std::vector<Value> values_;
  mutable std::vector<unsigned char> read_;
  mutable std::vector<std::uint32_t> cells_;
  mutable bool located_ = false;
  mutable std::size_t next_column_ = 0;
  bool unique_names_ = false;
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
    if (!kept || slots_generation_ != params_generation_) {
      // Fresh bindings: one slot per declared parameter, made once for this description, so
      // the addresses bound stay valid while the bindings are kept.
      if (kept) SQLFreeStmt(st, SQL_RESET_PARAMS);
      slots_ = std::vector<Slot>(params_.size());
      slots_generation_ = params_generation_;
    }
    const bool with_status = !is_function_ && ret;
    SQLUSMALLINT n = 1;
    if (with_status) {
      Slot& s = slots_[slot_of(*ret)];
      s.i32 = 0;
      s.ind = 0;
      bind(st, n++, s, Binding{SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, &s.i32});
    }
    for (OdbcParam* p : inputs) bind_input(st, n++, *p, slots_[slot_of(*p)], conn);

    std::optional<trace::Span> span;
    if (trace::enabled()) span.emplace("proc", describe_call(text_, inputs));
    ResultData data = conn.within_deadline(st, [&] {
      SQLRETURN rc = SQLExecDirectW(st, w(sql), static_cast<SQLINTEGER>(sql.size()));
      if (span && !SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        span->finish("failed: SQLSTATE " + core::utf16_to_utf8(sqlstate(st)) + " " +
                     trace::quote(full_diagnostic(SQL_HANDLE_STMT, st)));
      }
      if (rc == SQL_ERROR && conn.sends_defaults() && sqlstate(st) == u"07S01") {
        // The driver cannot send "default" (FreeTDS refuses before sending anything): unset
        // parameters go as NULL on this connection from now on.
        conn.stop_sending_defaults();
        for (Slot& s : slots_) {
          if (s.ind == SQL_DEFAULT_PARAM) s.ind = SQL_NULL_DATA;
        }
        rc = SQLExecDirectW(st, w(sql), static_cast<SQLINTEGER>(sql.size()));
      }
      check(rc, SQL_HANDLE_STMT, st);
      return collect(st, rc);
    });
    if (is_function_) {
      // The function's value is the statement's one cell; it is not a row set of the call.
      const db::RowTable& t = data.table;
      Value v = (t.row_count() > 0 && t.column_count() > 0) ? t.value(0, 0) : Value::null();
      if (ret) ret->set_value(std::move(v));
      return ResultData{};
    }
    if (with_status) {
      const Slot& s = slots_[slot_of(*ret)];
      ret->set_value(s.ind == SQL_NULL_DATA ? Value::null() : Value::integer(s.i32));
    }
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
    ++params_generation_;
    stale_ = false;
  }

  std::size_t slot_of(const OdbcParam& p) const {
    return static_cast<std::size_t>(&p - params_.data());
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

  // One declared parameter's buffers and the binding the driver holds for it. The driver reads
  // `ind` (and the data) at execution, so a kept binding sees new values and lengths.
  struct Slot {
    Binding bound;
    std::u16string text;
    SQLINTEGER i32 = 0;
    SQLLEN ind = 0;
  };

  // Binds parameter n to slot `s` unless the statement already holds exactly this binding.
  void bind(SQLHSTMT st, SQLUSMALLINT n, Slot& s, const Binding& b) {
    if (s.bound == b && s.bound.data != nullptr) return;
    s.bound = Binding{};  // a failed bind leaves nothing to trust
    const SQLLEN buffer_length =
        b.c_type == SQL_C_WCHAR ? static_cast<SQLLEN>(b.size * sizeof(SQLWCHAR)) : 0;
    check(SQLBindParameter(st, n, b.io, b.c_type, b.sql_type, b.size, 0, b.data, buffer_length,
                           &s.ind),
          SQL_HANDLE_STMT, st);
    s.bound = b;
  }

  void bind_input(SQLHSTMT st, SQLUSMALLINT n, const OdbcParam& p, Slot& s, OdbcConn& conn) {
    const Value& v = p.value();
    const bool int_param = is_integer_type(p.meta().data_type);
    // A non-null pointer even for an empty text, so the driver sees a value of length 0.
    static SQLWCHAR empty = 0;
    if (v.kind() == Value::Kind::empty || v.kind() == Value::Kind::null) {
      // Never set: the procedure's own default, where the driver can send that.
      s.ind = v.kind() == Value::Kind::empty && conn.sends_defaults() ? SQL_DEFAULT_PARAM
                                                                      : SQL_NULL_DATA;
      if (int_param) {
        bind(st, n, s, Binding{SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, &s.i32});
      } else {
        bind(st, n, s, Binding{SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, &empty});
      }
      return;
    }
    if (int_param) {
      s.i32 = v.to_int32();
      s.ind = 0;
      bind(st, n, s, Binding{SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, &s.i32});
      return;
    }
    // Copied into the slot's own buffer: its address changes only when the text outgrows it,
    // and then the binding differs and is made again.
    if (v.kind() == Value::Kind::text) {
      s.text.assign(v.raw_text());
    } else {
      s.text.assign(v.to_text());
    }
    s.ind = static_cast<SQLLEN>(s.text.size() * sizeof(SQLWCHAR));
    const SQLULEN chars = s.text.empty() ? 1 : s.text.size();
    const SQLSMALLINT sql_type = s.text.size() > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
    SQLPOINTER data =
        s.text.empty() ? static_cast<SQLPOINTER>(&empty) : static_cast<SQLPOINTER>(s.text.data());
    bind(st, n, s, Binding{SQL_PARAM_INPUT, SQL_C_WCHAR, sql_type, chars, data});
  }

  static std::uint64_t next_id() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
  }

  std::shared_ptr<OdbcConn> conn_;
  std::uint64_t id_ = next_id();  // identifies this command's bindings on the statement
  std::vector<Slot> slots_;       // one per element of params_, in the same order
  std::uint64_t slots_generation_ = 0;
  std::uint64_t params_generation_ = 0;  // counts descriptions of params_
  int type_ = 0;
  std::u16string text_;
  std::shared_ptr<const ProcMeta> meta_;  // what params_ point into
  std::vector<OdbcParam> params_;
  bool stale_ = true;
  bool is_function_ = false;
};

void OdbcRs::open(db::DbCmd& source) {
  if (state_ == db::kStateOpen) raise_open();
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

namespace taviksms::platform::odbc {
void set_driver_library_finder(DriverLibraryFinder finder) {
  g_driver_finder = finder;
}

bool driver_registered(std::u16string_view name) {
  SQLHENV env = environment();
  return env && driver_registered(env, name);
}
}  // namespace taviksms::platform::odbc
