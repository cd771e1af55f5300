// Benchmark (not a test): SmsSend to 1,000 recipients against the same 1,000 executions of
// "sp_sms_send" as a raw ODBC loop on the same connection, and FTP_Upload of a 33,000-byte
// picture on an open SFTP session. Prints figures; asserts nothing.
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>

#include "base/module_state.h"
#include "bench_figures.h"
#include "component_fixture.h"
#include "platform/odbc/odbc_session.h"

namespace {

using namespace taviksms::bench;
using taviksms::TavikSms;

std::u16string number(int i) {
  std::string n = "010" + std::to_string(20000000 + i);
  return std::u16string(n.begin(), n.end());
}

// The component's execution, done by hand: the same call text and parameter types, bound once,
// executed once per recipient with only the recipient's buffer changing, results drained.
bool raw_loop(SQLHDBC dbc, const std::vector<std::u16string>& tels) {
  SQLHSTMT st = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st))) return false;
  std::array<std::u16string, 9> text = {u"demo", u"sub01", u"0212345678", u"cid", u"홍길동",
                                        u"",     u"bench", u"",           u""};
  std::array<SQLLEN, 11> ind{};
  SQLINTEGER status = 0, typ = 0;
  std::u16string tel(32, u'\0');
  auto bind_text = [&](SQLUSMALLINT n, std::u16string& s, SQLLEN& i) {
    i = static_cast<SQLLEN>(s.size() * 2);
    static SQLWCHAR empty = 0;
    SQLPOINTER p = s.empty() ? static_cast<SQLPOINTER>(&empty) : static_cast<SQLPOINTER>(s.data());
    return SQL_SUCCEEDED(SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                          s.empty() ? 1 : s.size(), 0, p, i, &i));
  };
  bool ok = SQL_SUCCEEDED(SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                           &status, 0, &ind[0]));
  for (SQLUSMALLINT n = 0; n < 5; ++n) ok = ok && bind_text(n + 2, text[n], ind[n + 1]);
  ind[6] = 0;
  ok = ok && SQL_SUCCEEDED(SQLBindParameter(st, 7, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 32,
                                            0, tel.data(), 64, &ind[6]));
  ok = ok && bind_text(8, text[6], ind[7]);
  ind[8] = 0;
  ok = ok && SQL_SUCCEEDED(SQLBindParameter(st, 9, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                            &typ, 0, &ind[8]));
  ok = ok && bind_text(10, text[7], ind[9]) && bind_text(11, text[8], ind[10]);
  std::u16string sql = u"{? = call sp_sms_send(?,?,?,?,?,?,?,?,?,?)}";
  for (const auto& t : tels) {
    if (!ok) break;
    std::copy(t.begin(), t.end(), tel.begin());
    ind[6] = static_cast<SQLLEN>(t.size() * 2);
    SQLRETURN rc = SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(sql.data()),
                                  static_cast<SQLINTEGER>(sql.size()));
    ok = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
    while (ok && SQL_SUCCEEDED(SQLMoreResults(st))) {
    }
    SQLFreeStmt(st, SQL_CLOSE);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return ok;
}

}  // namespace

int main() {
  taviksms::testing::SandboxProcess sandbox;
  std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                 ("taviksms-send-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  constexpr int kRecipients = 1000;
  constexpr int kRounds = 7;
  int status = 0;
  {
    taviksms::test::ThreadSession session(sandbox, folder);
    sandbox.post("/accounts?user=demo&balance=100000000");
    TavikSms c;
    if (c.Login(u"demo", u"demo1234") != u"OK") return 1;
    std::vector<std::u16string> tels;
    std::u16string list;
    for (int i = 0; i < kRecipients; ++i) {
      tels.push_back(number(i));
      list += (i ? u";" : u"") + number(i);
    }
    auto* dbc = static_cast<SQLHDBC>(
        taviksms::platform::odbc::native_handle(*taviksms::core::module_state().session.conn));

    // Warm both paths, then alternate so drift on the shared machine hits both alike.
    c.SmsSend(u"sub01", u"0212345678", u"cid", u"홍길동", list.substr(0, 12 * 50), u"bench", 0,
              u"");
    raw_loop(dbc, std::vector<std::u16string>(tels.begin(), tels.begin() + 50));
    std::vector<double> comp, raw;
    for (int r = 0; r < kRounds; ++r) {
      auto t0 = Clock::now();
      std::u16string res =
          c.SmsSend(u"sub01", u"0212345678", u"cid", u"홍길동", list, u"bench", 0, u"");
      comp.push_back(ms(Clock::now() - t0));
      if (res != u"OK") {
        std::fprintf(stderr, "SmsSend failed\n");
        return 1;
      }
      t0 = Clock::now();
      if (!raw_loop(dbc, tels)) {
        std::fprintf(stderr, "raw loop failed\n");
        return 1;
      }
      raw.push_back(ms(Clock::now() - t0));
    }
    double mc = median(comp), mr = median(raw);
    std::printf("SmsSend to %d recipients, median of %d: %8.1f ms\n", kRecipients, kRounds, mc);
    std::printf("raw ODBC loop of %d executions, median:  %8.1f ms\n", kRecipients, mr);
    std::printf("ratio SmsSend / raw ODBC:                  %8.3f (target <= 1.1)\n", mc / mr);

    // FTP_Upload of 33,000 bytes on an open session (the connection made beforehand).
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    {
      std::ofstream f("bench.jpg", std::ios::binary);
      std::string bytes(33000, '\0');
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
      f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    if (c.FTP_Connect() != u"OK") {
      std::fprintf(stderr, "FTP_Connect failed\n");
      status = 1;
    } else {
      std::vector<double> up;
      for (int i = 0; i < 31; ++i) {
        auto t0 = Clock::now();
        std::u16string res = c.FTP_Upload(u"bench.jpg");
        up.push_back(ms(Clock::now() - t0));
        if (res != u"OK") {
          std::fprintf(stderr, "FTP_Upload failed\n");
          status = 1;
          break;
        }
      }
      std::printf(
          "FTP_Upload of 33,000 bytes, open session: median %.2f ms, max %.2f ms over %zu "
          "(target < 20 ms)\n",
          median(up), *std::max_element(up.begin(), up.end()), up.size());
    }
    c.FTP_DisConnect();
    std::filesystem::current_path(previous);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return status;
}
