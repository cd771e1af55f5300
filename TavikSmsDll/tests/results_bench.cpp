// Benchmark (not a test): SmsResult2 exporting 100,000 generated rows against a raw ODBC loop that
// runs the same procedure on the same connection, fetches every row and writes the same bytes;
// SmsResult1 over 10,000 rows against a raw loop of fetch, write and one acknowledgement
// statement per row; the peak memory of the 100,000-row export. Prints figures; asserts nothing.
#include <fcntl.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>
#include <taviksms_common/utf8.h>

#include "base/module_state.h"
#include "bench_figures.h"
#include "component_fixture.h"
#include "platform/odbc/odbc_session.h"

namespace {

namespace fs = std::filesystem;
using namespace taviksms::bench;
using taviksms::TavikSms;

long status_kb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  }
  return -1;
}

// A file's bytes without the two time fields of each line: generated rows carry the time of the
// call that fetched them, which differs between the two runs.
std::string without_times(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::string all(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>{});
  std::string out;
  for (std::size_t at = 0; at < all.size();) {
    std::size_t end = all.find("\r\n", at);
    if (end == std::string::npos) end = all.size();
    std::size_t cut = end;
    for (int k = 0; k < 2 && cut != std::string::npos && cut > at; ++k) {
      cut = all.rfind('\t', cut - 1);
    }
    out.append(all, at, (cut == std::string::npos || cut < at ? end : cut) - at);
    out += '\n';
    at = end + 2;
  }
  return out;
}

// One column as text the way the export writes it, from the driver's wide text.
void append_field(std::string& line, int col, SQLHSTMT st) {
  SQLWCHAR buf[4096];
  SQLLEN ind = 0;
  std::u16string text;
  for (;;) {
    SQLRETURN rc =
        SQLGetData(st, static_cast<SQLUSMALLINT>(col + 1), SQL_C_WCHAR, buf, sizeof buf, &ind);
    if (rc == SQL_NO_DATA || ind == SQL_NULL_DATA) break;
    std::size_t got = (ind == SQL_NO_TOTAL || static_cast<std::size_t>(ind) / 2 > 4095)
                          ? 4095
                          : static_cast<std::size_t>(ind) / 2;
    text.append(reinterpret_cast<const char16_t*>(buf), got);
    if (rc == SQL_SUCCESS) break;
  }
  const bool numeric = col == 0 || col == 8 || col == 10 || col == 11 || col == 12;
  if (ind == SQL_NULL_DATA) {
    if (numeric) line += '0';
    return;
  }
  if (col == 12 && text.find(u'.') != std::u16string::npos) {  // money: no trailing zeros
    while (text.back() == u'0') text.pop_back();
    if (text.back() == u'.') text.pop_back();
  }
  if ((col == 13 || col == 14) && text.size() >= 19) {  // "YYYY-MM-DD HH:MM:SS.fff"
    const std::string t = taviksms::utf::utf16_to_utf8(text);
    std::tm tm{};
    tm.tm_year = std::stoi(t.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(t.substr(5, 2)) - 1;
    tm.tm_mday = std::stoi(t.substr(8, 2));
    tm.tm_hour = std::stoi(t.substr(11, 2));
    tm.tm_min = std::stoi(t.substr(14, 2));
    tm.tm_sec = std::stoi(t.substr(17, 2));
    std::time_t secs = timegm(&tm) + (t.size() > 20 && t[20] >= '5' ? 1 : 0);
    gmtime_r(&secs, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y%m%d%H%M%S", &tm);
    line += out;
    return;
  }
  for (char16_t& c : text) {
    if (c == u'\n') c = u'|';
  }
  line += taviksms::utf::utf16_to_utf8(text);
}

bool exec(SQLHSTMT st, std::u16string sql) {
  SQLRETURN rc = SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(sql.data()),
                                static_cast<SQLINTEGER>(sql.size()));
  return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
}

// Runs `call` and returns every row's export line (and its id).
bool fetch_lines(SQLHDBC dbc, const std::u16string& call, std::vector<std::string>& lines,
                 std::vector<long>& ids) {
  SQLHSTMT st = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st))) return false;
  bool ok = exec(st, call);
  std::string line;
  while (ok && SQL_SUCCEEDED(SQLFetch(st))) {
    line.clear();
    for (int c = 0; c < 15; ++c) {
      if (c) line += '\t';
      append_field(line, c, st);
    }
    ids.push_back(std::stol(line.substr(0, line.find('\t'))));
    line += "\r\n";
    lines.push_back(line);
  }
  while (ok && SQL_SUCCEEDED(SQLMoreResults(st))) {
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  return ok;
}

bool raw_export(SQLHDBC dbc, const fs::path& out) {
  std::vector<std::string> lines;
  std::vector<long> ids;
  if (!fetch_lines(dbc, u"{call sp_result_data2('demo', '2000-01-01 00:00', '2099-12-31 23:59')}",
                   lines, ids)) {
    return false;
  }
  std::string all;
  for (const auto& l : lines) all += l;
  int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  bool ok = fd >= 0 && ::write(fd, all.data(), all.size()) == static_cast<ssize_t>(all.size());
  if (fd >= 0) ::close(fd);
  return ok;
}

bool raw_acknowledged(SQLHDBC dbc, const fs::path& out) {
  std::vector<std::string> lines;
  std::vector<long> ids;
  if (!fetch_lines(dbc, u"{call sp_result_data1('demo')}", lines, ids)) return false;
  int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return false;
  SQLHSTMT st = nullptr;
  bool ok = SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st));
  for (std::size_t i = 0; ok && i < lines.size(); ++i) {
    ok = ::write(fd, lines[i].data(), lines[i].size()) == static_cast<ssize_t>(lines[i].size());
    std::string sql = "update sms_result set reply = 1 where id = " + std::to_string(ids[i]) + " ;";
    ok = ok && exec(st, std::u16string(sql.begin(), sql.end()));
    while (ok && SQL_SUCCEEDED(SQLMoreResults(st))) {
    }
    SQLFreeStmt(st, SQL_CLOSE);
  }
  if (st) SQLFreeHandle(SQL_HANDLE_STMT, st);
  ::close(fd);
  return ok;
}

}  // namespace

int main() {
  taviksms::testing::SandboxProcess sandbox;
  const fs::path folder =
      fs::temp_directory_path() / ("taviksms-results-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  fs::current_path(folder);
  constexpr int kRounds = 5;
  int status = 0;
  {
    taviksms::test::ThreadSession session(sandbox, folder);
    TavikSms c;
    if (c.Login(u"demo", u"demo1234") != u"OK") return 1;
    auto* dbc = static_cast<SQLHDBC>(
        taviksms::platform::odbc::native_handle(*taviksms::core::module_state().session.conn));

    // 100,000 rows, no acknowledgement.
    sandbox.post("/faults/rows?proc=sp_result_data2&count=100000");
    const std::u16string from = u"0001010000", to = u"991231235900";
    std::vector<double> comp, raw;
    long peak_kb = 0;
    for (int r = 0; r < kRounds; ++r) {
      {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";  // resets the peak resident size
      }
      const long rss_before = status_kb("VmRSS:");
      auto t0 = Clock::now();
      if (c.SmsResult2(from, to) != u"OK") {
        std::fprintf(stderr, "SmsResult2 failed\n");
        return 1;
      }
      comp.push_back(ms(Clock::now() - t0));
      peak_kb = std::max(peak_kb, status_kb("VmHWM:") - rss_before);
      t0 = Clock::now();
      if (!raw_export(dbc, folder / "raw2.txt")) {
        std::fprintf(stderr, "raw export failed\n");
        return 1;
      }
      raw.push_back(ms(Clock::now() - t0));
    }
    const std::string ours = without_times(folder / "sms1.txt");
    const bool same = ours == without_times(folder / "raw2.txt");
    const auto bytes = fs::file_size(folder / "sms1.txt");
    double mc = median(comp), mr = median(raw);
    std::printf("SmsResult2, 100,000 rows, median of %d:   %8.1f ms\n", kRounds, mc);
    std::printf("raw ODBC fetch + write, median:         %8.1f ms\n", mr);
    std::printf("ratio SmsResult2 / raw:                  %8.3f (target <= 1.1)\n", mc / mr);
    std::printf("same bytes (times aside):                %s (%ju bytes)\n", same ? "yes" : "NO",
                static_cast<std::uintmax_t>(bytes));
    std::printf("peak memory of the export:               %8.1f MB (%.2f x the rows as text)\n",
                static_cast<double>(peak_kb) / 1024.0,
                static_cast<double>(peak_kb) * 1024.0 / static_cast<double>(bytes));
    if (!same) status = 1;

    // 10,000 rows, one acknowledgement statement each.
    sandbox.del("/faults");
    sandbox.post("/faults/rows?proc=sp_result_data1&count=10000");
    comp.clear();
    raw.clear();
    for (int r = 0; r < kRounds; ++r) {
      auto t0 = Clock::now();
      if (c.SmsResult1() != u"OK") {
        std::fprintf(stderr, "SmsResult1 failed\n");
        return 1;
      }
      comp.push_back(ms(Clock::now() - t0));
      t0 = Clock::now();
      if (!raw_acknowledged(dbc, folder / "raw1.txt")) {
        std::fprintf(stderr, "raw acknowledge loop failed\n");
        return 1;
      }
      raw.push_back(ms(Clock::now() - t0));
    }
    mc = median(comp);
    mr = median(raw);
    std::printf("SmsResult1, 10,000 rows acknowledged:    %8.1f ms\n", mc);
    std::printf("raw fetch + write + statement per row:   %8.1f ms\n", mr);
    std::printf("ratio SmsResult1 / raw:                  %8.3f (target <= 1.1)\n", mc / mr);
    std::printf(
        "same bytes (times aside):                %s\n",
        without_times(folder / "sms1.txt") == without_times(folder / "raw1.txt") ? "yes" : "NO");
  }
  fs::current_path("/");
  std::error_code ec;
  if (!std::getenv("TAVIKSMS_BENCH_KEEP")) fs::remove_all(folder, ec);
  return status;
}
