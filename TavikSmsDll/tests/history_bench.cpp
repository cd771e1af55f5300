// Benchmark (not a test): a 10,000-row history in the real Qt window (offscreen), from the click
// on the query button to a painted grid, against a raw ODBC fetch of the same rows on the same
// connection; and the query and fill alone, without a window. Prints figures; asserts nothing.
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QDateEdit>
#include <QPushButton>
#include <QTableView>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/module_state.h"
#include "bench_figures.h"
#include "component/taviksms.h"
#include "component_fixture.h"
#include "history_fake_toolkit.h"
#include "platform/odbc/odbc_session.h"
#include "qt_window_driver.h"

namespace {

using taviksms::test::gui;
using taviksms::test::history_window;

using namespace taviksms::bench;
constexpr int kRows = 10000;
constexpr int kRuns = 7;

// The same call by hand: bound texts, every row fetched, the seven columns read as text.
int raw_fetch(SQLHDBC dbc) {
  SQLHSTMT st = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st))) return -1;
  std::u16string p[3] = {u"demo", u"2024/04/10 00:00", u"2024/04/10 23:59"};
  SQLLEN ind[3];
  for (int i = 0; i < 3; ++i) {
    ind[i] = static_cast<SQLLEN>(p[i].size() * 2);
    SQLBindParameter(st, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                     SQL_WVARCHAR, p[i].size(), 0, p[i].data(), ind[i], &ind[i]);
  }
  std::u16string sql = u"{call sp_result_data2(?,?,?)}";
  if (!SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(sql.data()),
                                    static_cast<SQLINTEGER>(sql.size())))) {
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return -1;
  }
  const char16_t* names[] = {u"user_tel", u"Custom_tel", u"Custom_nam", u"s_time",
                             u"msg",      u"Result_Msg", u"id"};
  SQLSMALLINT cols = 0;
  SQLNumResultCols(st, &cols);
  std::vector<SQLUSMALLINT> wanted;
  for (const char16_t* n : names) {
    for (SQLSMALLINT c = 1; c <= cols; ++c) {
      SQLWCHAR name[64];
      SQLSMALLINT len = 0;
      SQLColAttributeW(st, static_cast<SQLUSMALLINT>(c), SQL_DESC_NAME, name, sizeof name, &len,
                       nullptr);
      if (std::u16string(reinterpret_cast<char16_t*>(name), static_cast<std::size_t>(len / 2)) ==
          n) {
        wanted.push_back(static_cast<SQLUSMALLINT>(c));
      }
    }
  }
  std::sort(wanted.begin(), wanted.end());
  int rows = 0;
  SQLWCHAR buf[2048];
  while (SQL_SUCCEEDED(SQLFetch(st))) {
    for (SQLUSMALLINT c : wanted) {
      SQLLEN len = 0;
      SQLGetData(st, c, SQL_C_WCHAR, buf, sizeof buf, &len);
    }
    ++rows;
  }
  while (SQLMoreResults(st) == SQL_SUCCESS) {
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return rows;
}

}  // namespace

int main() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  taviksms::testing::SandboxProcess sandbox;
  const auto folder =
      std::filesystem::temp_directory_path() / ("taviksms-hbench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  {
    taviksms::test::ThreadSession session(sandbox, folder);
    sandbox.post("/clock?set=2024-04-10%2010:00:00");
    sandbox.post("/accounts?user=demo&balance=1000000");  // 10,000 messages at 20 each
    taviksms::core::TavikSms c;
    if (c.Login(u"demo", u"demo1234") != u"OK") return 1;
    std::u16string tels;
    for (int i = 0; i < kRows; ++i) {
      const std::string n = "010" + std::to_string(30000000 + i);
      tels += std::u16string(n.begin(), n.end()) + u";";
    }
    if (c.SmsSend(u"", u"0212345678", u"b", u"홍길동", tels, u"벤치마크 메시지\r\n둘째 줄", 0,
                  u"") != u"OK") {
      std::fprintf(stderr, "send failed\n");
      return 1;
    }
    sandbox.post("/clock?advance=600");

    // Query and fill alone, the window played by a recording toolkit.
    std::vector<double> fill;
    {
      taviksms::test::FakeToolkit tk;
      for (int i = 0; i < kRuns; ++i) {
        tk.script.push_back([&](taviksms::history::WindowEvents& e) {
          tk.picker[0] = tk.picker[1] = {2024, 4, 10};
          const auto t0 = Clock::now();
          e.on_query_click();
          fill.push_back(ms(Clock::now() - t0));
        });
      }
      taviksms::test::ScopedToolkit use(tk);
      c.SmsHist(u"", 0, 0, 0, 0);
      if (tk.grid->rows != kRows + 1) {
        std::fprintf(stderr, "fill gave %d rows\n", tk.grid->rows);
        return 1;
      }
    }

    // The real window: click, wait for the listing, paint it.
    std::vector<double> shown;
    std::thread driver([&] {
      while (!QCoreApplication::instance() || !gui([] { return history_window() != nullptr; })) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      gui([] {
        history_window()->findChild<QDateEdit*>("DTPicker1")->setDate(QDate(2024, 4, 10));
        history_window()->findChild<QDateEdit*>("DTPicker2")->setDate(QDate(2024, 4, 10));
      });
      std::atomic<int> resets{0};
      gui([&] {
        QObject::connect(history_window()->findChild<QTableView*>("VSFlexGrid1")->model(),
                         &QAbstractItemModel::modelReset, [&] { ++resets; });
      });
      for (int i = 0; i < kRuns; ++i) {
        const int before = resets;
        const auto t0 = Clock::now();
        gui([] { history_window()->findChild<QPushButton*>("OKButton")->click(); });
        while (resets == before) std::this_thread::yield();  // the new listing is in the model
        const int rows = gui([] {
          auto* v = history_window()->findChild<QTableView*>("VSFlexGrid1");
          v->viewport()->repaint();
          return v->model()->rowCount();
        });
        shown.push_back(ms(Clock::now() - t0));
        if (rows != kRows) std::fprintf(stderr, "window listed %d rows\n", rows);
      }
      gui([] { history_window()->close(); });
    });
    c.SmsHist(u"", 0, 0, 0, 0);
    driver.join();

    auto* dbc = static_cast<SQLHDBC>(
        taviksms::platform::odbc::native_handle(*taviksms::core::module_state().session.conn));
    std::vector<double> raw;
    for (int i = 0; i < kRuns; ++i) {
      const auto t0 = Clock::now();
      const int n = raw_fetch(dbc);
      raw.push_back(ms(Clock::now() - t0));
      if (n != kRows) {
        std::fprintf(stderr, "raw fetch gave %d rows\n", n);
        return 1;
      }
    }
    const double s = median(shown), f = median(fill), r = median(raw);
    std::printf("%d-row history, median of %d:\n", kRows, kRuns);
    std::printf("  click to painted grid (Qt, offscreen): %8.1f ms (target < 500 ms)\n", s);
    std::printf("  query and fill, no window:             %8.1f ms\n", f);
    std::printf("  raw ODBC fetch of the same rows:       %8.1f ms\n", r);
    std::printf("  ratio window / raw ODBC:               %8.2f\n", s / r);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
