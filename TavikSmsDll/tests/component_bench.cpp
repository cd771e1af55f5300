// Benchmark (not a test): the cost of SmsJanek against the sandbox compared with a raw ODBC loop
// running the same "SELECT dbo.f_sms_janek(?)" on the same connection, and the time of a first
// Login (configuration fetch + connect + credential check). Prints figures; asserts nothing.
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>

#include "base/module_state.h"
#include "bench_figures.h"
#include "component_fixture.h"
#include "platform/odbc/odbc_session.h"
#include "session/db_open.h"

namespace {

using namespace taviksms::bench;
using taviksms::TavikSms;

// One raw call: bind, execute, fetch the one value as text, drain.
bool raw_janek(SQLHDBC dbc, std::u16string& user) {
  SQLHSTMT st = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st))) return false;
  SQLLEN ind = static_cast<SQLLEN>(user.size() * 2);
  SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, user.size() ? user.size() : 1,
                   0, user.data(), ind, &ind);
  std::u16string sql = u"SELECT dbo.f_sms_janek(?)";
  SQLRETURN rc = SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(sql.data()),
                                static_cast<SQLINTEGER>(sql.size()));
  bool ok = SQL_SUCCEEDED(rc) && SQL_SUCCEEDED(SQLFetch(st));
  SQLWCHAR buf[64];
  SQLLEN len = 0;
  ok = ok && SQL_SUCCEEDED(SQLGetData(st, 1, SQL_C_WCHAR, buf, sizeof buf, &len));
  while (SQLMoreResults(st) == SQL_SUCCESS) {
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return ok;
}

}  // namespace

int main() {
  taviksms::testing::SandboxProcess sandbox;
  std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("taviksms-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  constexpr int kCalls = 1000;
  {
    taviksms::test::ThreadSession session(sandbox, folder);

    // First Login on a fresh thread state, several times over.
    std::vector<double> first;
    for (int i = 0; i < 21; ++i) {
      taviksms::core::db_close();
      taviksms::core::module_state() = taviksms::core::ModuleState{};
      TavikSms c;
      auto t0 = Clock::now();
      std::u16string r = c.Login(u"demo", u"demo1234");
      first.push_back(us(Clock::now() - t0));
      if (r != u"OK") {
        std::fprintf(stderr, "Login failed\n");
        return 1;
      }
    }

    TavikSms c;
    if (c.Login(u"demo", u"demo1234") != u"OK") return 1;
    auto* dbc = static_cast<SQLHDBC>(
        taviksms::platform::odbc::native_handle(*taviksms::core::module_state().session.conn));
    std::u16string user = u"demo";
    // Warm both paths, then alternate blocks of 100 so drift hits both alike.
    for (int i = 0; i < 50; ++i) {
      c.SmsJanek();
      raw_janek(dbc, user);
    }
    std::vector<double> comp, raw;
    for (int block = 0; block < kCalls / 100; ++block) {
      for (int i = 0; i < 100; ++i) {
        auto t0 = Clock::now();
        std::int32_t v = c.SmsJanek();
        comp.push_back(us(Clock::now() - t0));
        if (v != 100000) {
          std::fprintf(stderr, "unexpected balance %d\n", v);
          return 1;
        }
      }
      for (int i = 0; i < 100; ++i) {
        auto t0 = Clock::now();
        if (!raw_janek(dbc, user)) return 1;
        raw.push_back(us(Clock::now() - t0));
      }
    }
    double mc = median(comp), mr = median(raw);
    std::printf("SmsJanek median over %d calls:      %8.1f us\n", kCalls, mc);
    std::printf("raw ODBC median over %d calls:      %8.1f us\n", kCalls, mr);
    std::printf("ratio SmsJanek / raw ODBC:            %8.3f (target <= 1.1)\n", mc / mr);
    std::printf(
        "first Login (fetch+connect+check): first %.1f ms, median of %zu %.1f ms "
        "(target < 50 ms)\n",
        first[0] / 1000.0, first.size(), median(first) / 1000.0);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
