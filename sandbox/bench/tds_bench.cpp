// Throughput of the sandbox's database over real TDS on loopback, measured with the FreeTDS ODBC
// driver: sp_sms_send calls per second on one connection, and the time to stream a 100,000-row
// sp_result_data2. Prints figures; asserts nothing.
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sandbox_process.h"

namespace {

using Clock = std::chrono::steady_clock;

void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char* what) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  SQLCHAR state[6] = {}, text[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &len);
  std::fprintf(stderr, "%s failed: %s %s\n", what, state, text);
  std::exit(1);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  taviksms::testing::SandboxProcess sandbox;
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLHSTMT stmt = nullptr;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  std::string conn =
      "Driver={FreeTDS};Server=127.0.0.1;Port=" + std::to_string(sandbox.ports().tds) +
      ";Database=sms;UID=" + sandbox.db_user() + ";PWD=" + sandbox.db_password() +
      ";TDS_Version=7.4;ClientCharset=UTF-8";
  check(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(conn.data()), SQL_NTS, nullptr, 0,
                         nullptr, SQL_DRIVER_NOPROMPT),
        SQL_HANDLE_DBC, dbc, "connect");
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);

  // Ten parameters bound once, in declared order, as the component binds them.
  std::vector<std::string> text = {
      "demo", "sub01", "0212345678", "cust", "name", "01012345678", "benchmark message", "",
      "",     ""};
  std::vector<SQLLEN> lengths(10);
  SQLINTEGER typ = 0;
  SQLUSMALLINT column = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 7) {
      lengths[i] = 0;
      check(SQLBindParameter(stmt, column++, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &typ,
                             0, &lengths[i]),
            SQL_HANDLE_STMT, stmt, "bind");
      continue;
    }
    lengths[i] = static_cast<SQLLEN>(text[i].size());
    check(SQLBindParameter(stmt, column++, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                           text[i].size() + 1, 0, text[i].data(), 0, &lengths[i]),
          SQL_HANDLE_STMT, stmt, "bind");
  }
  sandbox.post("/accounts?user=demo&balance=100000000");
  const int calls = 5000;
  auto start = Clock::now();
  for (int i = 0; i < calls; ++i) {
    SQLCHAR sql[] = "{call sp_sms_send(?,?,?,?,?,?,?,?,?,?)}";
    check(SQLExecDirect(stmt, sql, SQL_NTS), SQL_HANDLE_STMT, stmt, "sp_sms_send");
    while (SQLMoreResults(stmt) == SQL_SUCCESS) {
    }
    SQLFreeStmt(stmt, SQL_CLOSE);
  }
  double elapsed = seconds_since(start);
  std::printf("sp_sms_send: %d calls on one connection in %.3f s = %.0f calls/s\n", calls, elapsed,
              calls / elapsed);
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);

  sandbox.post("/faults/rows?proc=sp_result_data2&count=100000");
  start = Clock::now();
  SQLCHAR query[] = "{call sp_result_data2('demo', '2000-01-01 00:00', '2099-12-31 23:59')}";
  check(SQLExecDirect(stmt, query, SQL_NTS), SQL_HANDLE_STMT, stmt, "sp_result_data2");
  long rows = 0;
  SQLWCHAR msg[512];
  SQLLEN ind = 0;
  while (SQLFetch(stmt) == SQL_SUCCESS) {
    SQLGetData(stmt, 8, SQL_C_WCHAR, msg, sizeof msg, &ind);
    ++rows;
  }
  elapsed = seconds_since(start);
  std::printf("sp_result_data2: streamed %ld rows (15 columns) in %.3f s\n", rows, elapsed);
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return 0;
}
