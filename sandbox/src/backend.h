// The seam between the TDS server (src/tds) and the service that answers it (src/service).
//
// The TDS layer decodes requests into these types and encodes the answers on the wire; it knows
// nothing about procedures. The service knows nothing about packets or tokens. Text is UTF-16, as
// it travels in TDS and as the component holds it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

// The column and parameter types the sandbox speaks. Wire forms: VarChar BIGVARCHAR (0xA7, text
// in the server collation's code page, CP949), NVarChar NVARCHAR (0xE7, UCS-2), Int INTN(4),
// BigInt INTN(8), Money MONEYN(8), Decimal DECIMALN, DateTime DATETIMN(8), Bit BITN.
enum class SqlType : std::uint8_t { VarChar, NVarChar, Int, BigInt, Money, Decimal, DateTime, Bit };

// A naive date and time (SQL Server's datetime has no time zone): milliseconds since
// 1970-01-01 00:00:00.000 of the service's own clock.
struct DateTime {
  std::int64_t ms = 0;
  friend bool operator==(const DateTime&, const DateTime&) = default;
};

// One value. `i` holds Int/BigInt/Bit, Money as ten-thousandths, Decimal unscaled (with `scale`),
// DateTime as DateTime::ms; `s` holds the text types.
struct SqlValue {
  SqlType type = SqlType::NVarChar;
  bool is_null = true;
  std::int64_t i = 0;
  std::uint8_t precision = 0;  // Decimal only
  std::uint8_t scale = 0;      // Decimal only
  std::u16string s;

  static SqlValue null(SqlType t) { return SqlValue{t, true, 0, 0, 0, {}}; }
  static SqlValue nvarchar(std::u16string v) {
    return SqlValue{SqlType::NVarChar, false, 0, 0, 0, std::move(v)};
  }
  static SqlValue varchar(std::u16string v) {
    return SqlValue{SqlType::VarChar, false, 0, 0, 0, std::move(v)};
  }
  static SqlValue int32(std::int32_t v) { return SqlValue{SqlType::Int, false, v, 0, 0, {}}; }
  static SqlValue int64(std::int64_t v) { return SqlValue{SqlType::BigInt, false, v, 0, 0, {}}; }
  static SqlValue money(std::int64_t ten_thousandths) {
    return SqlValue{SqlType::Money, false, ten_thousandths, 0, 0, {}};
  }
  static SqlValue decimal(std::int64_t unscaled, std::uint8_t precision, std::uint8_t scale) {
    return SqlValue{SqlType::Decimal, false, unscaled, precision, scale, {}};
  }
  static SqlValue datetime(DateTime t) {
    return SqlValue{SqlType::DateTime, false, t.ms, 0, 0, {}};
  }
  static SqlValue bit(bool v) { return SqlValue{SqlType::Bit, false, v ? 1 : 0, 0, 0, {}}; }
};

// Result-set column. max_length counts characters for text (0 means "max"), precision/scale for
// Decimal.
struct Column {
  std::u16string name;
  SqlType type = SqlType::NVarChar;
  std::uint32_t max_length = 0;
  std::uint8_t precision = 0;
  std::uint8_t scale = 0;
  bool nullable = true;
};

using Row = std::vector<SqlValue>;

struct ResultSet {
  std::vector<Column> columns;
  std::vector<Row> rows;
  // After `rows`, the rows this yields until it returns false (when set): a long set is read
  // while it is sent, so it never sits in memory whole. Only for a session that was asked to
  // (Session::allow_row_streaming); it runs on the caller's thread after the call returned.
  std::function<bool(Row& next)> next_row;
};

// An ERROR (severity >= 11) or INFO token, with SQL Server's own numbers and texts.
struct ServerMessage {
  std::int32_t number = 0;
  std::uint8_t state = 1;
  std::uint8_t severity = 16;  // the token's "class"
  std::u16string text;
  std::u16string procedure;  // empty for batches
  std::int32_t line = 1;
};

struct RpcParam {
  std::u16string name;  // "@name", or empty when sent by position
  SqlValue value;
  bool output = false;      // status flag 0x01 (by reference)
  bool is_default = false;  // status flag 0x02: the procedure's default, the value is ignored
};

// What one statement (an RPC, or one statement of a batch) produced, in wire order:
// infos, result sets (each ends with DONE/DONEINPROC carrying its row count), then the error if
// any, the return status, the function value, and the final DONE/DONEPROC.
struct StatementResult {
  std::vector<ServerMessage> infos;
  std::vector<ResultSet> result_sets;
  std::optional<ServerMessage> error;          // ERROR token; the final DONE* carries the error bit
  std::optional<std::int32_t> return_status;   // RETURNSTATUS (procedures called by RPC)
  std::optional<SqlValue> function_value;      // RETURNVALUE, status 0x02 (functions called by RPC)
  std::vector<RpcParam> output_values;         // RETURNVALUE, status 0x01 (output parameters)
  std::optional<std::int64_t> rows_affected;   // DONE_COUNT for INSERT/UPDATE/DELETE
  std::optional<std::u16string> new_database;  // ENVCHANGE type 1 after USE
  bool drop_connection = false;  // fault injection: close the socket without answering
};

struct LoginRequest {
  std::u16string user;
  std::u16string password;  // already unscrambled
  std::u16string database;  // may be empty
  std::u16string app_name;
  std::u16string host_name;
};

struct LoginResult {
  std::optional<ServerMessage> error;  // set: login refused (e.g. 18456), the connection closes
  std::u16string database;             // the database the session starts in
};

// One client connection's session. Used by one thread at a time (the connection's thread).
class Session {
 public:
  virtual ~Session() = default;
  // The caller reads ResultSet::next_row as well as ResultSet::rows; without this call every
  // row comes in `rows`.
  virtual void allow_row_streaming() {}
  // The number the service gives this connection in its call log (0: none).
  virtual std::int64_t connection_id() const { return 0; }
  virtual LoginResult login(const LoginRequest& request) = 0;
  // A SQL batch: one StatementResult per statement, in order.
  virtual std::vector<StatementResult> execute_batch(const std::u16string& sql) = 0;
  // An RPC by name ("x", "dbo.x", "[dbo].[x]", "sms.dbo.x") with parameters by name or position.
  // The TDS layer maps ProcID 10 and the name "sp_executesql" to execute_sql instead.
  virtual StatementResult call_rpc(const std::u16string& name,
                                   const std::vector<RpcParam>& params) = 0;
  // sp_executesql: the statement, its parameter declaration text ("@P1 varchar(50),..."), and
  // the parameter values in declaration order.
  virtual std::vector<StatementResult> execute_sql(const std::u16string& statement,
                                                   const std::u16string& declaration,
                                                   const std::vector<RpcParam>& params) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::unique_ptr<Session> open_session() = 0;
};

}  // namespace sandbox
