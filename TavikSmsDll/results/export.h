// The export files: the line rules every one of them follows, ExportRecord (the fifteen-field
// line of sms1.txt and sms2.txt), the five-field deposit line of sms3.txt, and the file slot
// through which the lines reach the disk.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/module_state.h"
#include "base/platform/platform.h"
#include "db/call.h"
#include "db/session.h"

namespace taviksms::results {

// A numeric column's text: Null "0"; a whole number without decimals ("20.0000" is "20");
// a fractional one with `decimal_separator` in place of the point; no grouping.
void append_numeric(std::u16string& out, const db::Value& v, std::u16string_view decimal_separator);
// A text column's text: Null empty, anything else its text unchanged.
void append_text(std::u16string& out, const db::Value& v);
// A date-time column as "YYYYMMDDHHMMSS" (rounded to the second); Null empty. A text that is
// not a date-time is written as it stands.
void append_datetime(std::u16string& out, const db::Value& v);

// Every line feed becomes "|"; carriage returns and tabs stay.
void replace_line_feeds(std::u16string& line, std::size_t from = 0);

// ExportRecord of DbRs's current row: fifteen fields, tab-separated, no tab after the last,
// line feeds replaced. Appended to `line` (cleared first).
void export_record(const db::DbRs& rs, std::u16string_view decimal_separator, std::u16string& line);
// The deposit line: User_ID, kunsu, ibgum, "20" + Ibgum_date, ibgum_memo, each followed by a tab.
void deposit_record(const db::DbRs& rs, std::u16string_view decimal_separator,
                    std::u16string& line);

// An export file in the module's one file slot: created (or emptied) in the current directory
// when constructed, released on every exit. Lines are converted to the ANSI code page and end
// with CR LF. write_line() may keep bytes in a buffer; flush() hands them to the operating system.
class ExportFile {
 public:
  ExportFile(core::ModuleState& s, platform::Platform& p, const std::u16string& name);
  ~ExportFile();  // flushes what is buffered and releases the slot; errors are swallowed
  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;

  void write_line(std::u16string_view line);
  void flush();
  // Flushes and closes; raises when either fails.
  void close();

 private:
  core::ModuleState& s_;
  platform::Platform& p_;
  std::shared_ptr<platform::OutputFile> file_;
  std::string buffer_;
};

// The export loop of every export file: `name` opened in the file slot, then for each of DbRs's
// rows write_row(rs, decimal_separator, file) (which writes the row's line, and may act once it
// has written it), then DbRs and the file closed. Raises on any failure; the file is released on
// every exit.
template <typename WriteRow>
void export_rows(core::ModuleState& s, const std::u16string& name, WriteRow&& write_row) {
  platform::Platform& p = platform::current();
  ExportFile file(s, p, name);
  const std::u16string sep = p.decimal_separator();
  db::DbRs& rs = db::rs(s);
  const std::int32_t n = rs.record_count();
  for (std::int32_t i = 1; i <= n; ++i) {
    write_row(rs, std::u16string_view(sep), file);
    if (i < rs.record_count()) rs.move_next();
  }
  db::close_if_open(s);
  file.close();
}

}  // namespace taviksms::results
