#include "results/export.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>

#include <taviksms_common/export_columns.h>

#include "base/error.h"

namespace taviksms::results {

namespace {

// A list of export_columns as the names DbRs's fields are looked up by.
template <std::size_t N>
std::array<std::u16string, N> field_names(const std::array<std::string_view, N>& columns) {
  std::array<std::u16string, N> out;
  for (std::size_t c = 0; c < N; ++c) out[c].assign(columns[c].begin(), columns[c].end());
  return out;
}

const std::array<std::u16string, 15>& result_fields() {
  static const auto fields = field_names(export_columns::kResult);
  return fields;
}

const std::array<std::u16string, 5>& deposit_fields() {
  static const auto fields = field_names(export_columns::kDeposit);
  return fields;
}

enum class Kind : std::uint8_t { numeric, text, datetime };
constexpr std::array<Kind, 15> kExportKinds = {
    Kind::numeric, Kind::text,    Kind::text,    Kind::text,     Kind::text,
    Kind::text,    Kind::text,    Kind::text,    Kind::numeric,  Kind::text,
    Kind::numeric, Kind::numeric, Kind::numeric, Kind::datetime, Kind::datetime};

bool digits_at(std::u16string_view s, std::size_t pos, std::size_t n, unsigned& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < u'0' || s[i] > u'9') return false;
    out = out * 10 + static_cast<unsigned>(s[i] - u'0');
  }
  return true;
}

// "YYYY-MM-DD HH:MM:SS[.fff]" (the driver's form; "/" accepted too) to fourteen digits, rounded
// to the nearest second. False when the text has another shape.
bool compact_datetime(std::u16string_view t, std::u16string& out) {
  unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  if (!digits_at(t, 0, 4, y) || t.size() < 19 || !(t[4] == u'-' || t[4] == u'/') || t[7] != t[4] ||
      t[10] != u' ' || t[13] != u':' || t[16] != u':' || !digits_at(t, 5, 2, mo) ||
      !digits_at(t, 8, 2, d) || !digits_at(t, 11, 2, h) || !digits_at(t, 14, 2, mi) ||
      !digits_at(t, 17, 2, sec)) {
    return false;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 59) return false;
  bool round_up = false;
  if (t.size() > 19) {
    if (t[19] != u'.' || t.size() == 20) return false;
    for (std::size_t i = 20; i < t.size(); ++i) {
      if (t[i] < u'0' || t[i] > u'9') return false;
    }
    round_up = t[20] >= u'5';
  }
  // The calendar is <chrono>'s; a day past the month's end (31 for a 30-day month) counts on
  // into the next month.
  namespace chr = std::chrono;
  const chr::sys_days date{chr::year{static_cast<int>(y)} / chr::month{mo} / chr::day{d}};
  std::int64_t secs =
      std::int64_t{date.time_since_epoch().count()} * 86400 + h * 3600 + mi * 60 + sec + round_up;
  // A value that rounds past 9999-12-31 23:59:59 (the largest datetime, .997, is a common
  // "never") keeps that last second: the host's date formatting has no year 10000, and a year
  // 0000 would read as the earliest time instead of the latest.
  constexpr chr::sys_days kLastDay{chr::year{9999} / chr::December / chr::day{31}};
  secs = std::min(secs, std::int64_t{kLastDay.time_since_epoch().count()} * 86400 + 86399);
  std::int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
  std::int64_t rest = secs - days * 86400;
  const chr::year_month_day ymd{chr::sys_days{chr::days{days}}};
  const std::int64_t yy = static_cast<int>(ymd.year());
  const unsigned mm = static_cast<unsigned>(ymd.month());
  const unsigned dd = static_cast<unsigned>(ymd.day());
  const auto put = [&](std::int64_t v, int width) {
    char16_t buf[8];
    for (int i = width - 1; i >= 0; --i) {
      buf[i] = static_cast<char16_t>(u'0' + v % 10);
      v /= 10;
    }
    out.append(buf, static_cast<std::size_t>(width));
  };
  put(yy, 4);
  put(mm, 2);
  put(dd, 2);
  put(rest / 3600, 2);
  put(rest / 60 % 60, 2);
  put(rest % 60, 2);
  return true;
}

void append_decimal_text(std::u16string& out, std::u16string text, std::u16string_view sep) {
  std::size_t point = text.find(u'.');
  if (point != std::u16string::npos && sep != u".") text.replace(point, 1, sep);
  out += text;
}

}  // namespace

void append_numeric(std::u16string& out, const db::Value& v, std::u16string_view sep) {
  switch (v.kind()) {
    case db::Value::Kind::null:
      out += u'0';
      return;
    case db::Value::Kind::empty:
      return;
    case db::Value::Kind::integer:
      out += v.to_text();
      return;
    case db::Value::Kind::decimal:
    case db::Value::Kind::floating:
      append_decimal_text(out, v.to_text(), sep);
      return;
    default:
      out += v.to_text();
      return;
  }
}

void append_text(std::u16string& out, const db::Value& v) {
  if (v.is_null() || v.kind() == db::Value::Kind::empty) return;
  if (v.kind() == db::Value::Kind::text) {
    out += v.raw_text();
    return;
  }
  out += v.to_text();
}

void append_datetime(std::u16string& out, const db::Value& v) {
  if (v.is_null() || v.kind() == db::Value::Kind::empty) return;
  if ((v.kind() == db::Value::Kind::datetime || v.kind() == db::Value::Kind::text) &&
      compact_datetime(v.raw_text(), out)) {
    return;
  }
  out += v.to_text();
}

void replace_line_feeds(std::u16string& line, std::size_t from) {
  for (std::size_t i = from; i < line.size(); ++i) {
    if (line[i] == u'\n') line[i] = u'|';
  }
}

void export_record(const db::DbRs& rs, std::u16string_view sep, std::u16string& line) {
  line.clear();
  const auto& fields = result_fields();
  for (std::size_t c = 0; c < fields.size(); ++c) {
    if (c > 0) line += u'\t';
    const db::Value& v = rs.field(fields[c]);
    switch (kExportKinds[c]) {
      case Kind::numeric:
        append_numeric(line, v, sep);
        break;
      case Kind::text:
        append_text(line, v);
        break;
      case Kind::datetime:
        append_datetime(line, v);
        break;
    }
  }
  replace_line_feeds(line);
}

void deposit_record(const db::DbRs& rs, std::u16string_view sep, std::u16string& line) {
  // User_ID, kunsu, ibgum, Ibgum_date, ibgum_memo.
  const auto& field = deposit_fields();
  line.clear();
  append_text(line, rs.field(field[0]));
  line += u'\t';
  append_numeric(line, rs.field(field[1]), sep);
  line += u'\t';
  append_numeric(line, rs.field(field[2]), sep);
  line += u'\t';
  // The server keeps a two-digit year: "20" + "24-03-02" is the four-digit form.
  const db::Value& date = rs.field(field[3]);
  if (!date.is_null()) {
    line += u"20";
    append_text(line, date);
  }
  line += u'\t';
  append_text(line, rs.field(field[4]));
  line += u'\t';
  replace_line_feeds(line);
}

ExportFile::ExportFile(core::ModuleState& s, platform::Platform& p, const std::u16string& name)
    : s_(s), p_(p) {
  if (s_.export_file) core::raise_file_error(55);
  file_ = p_.create_output_file(name);
  s_.export_file = file_;
}

ExportFile::~ExportFile() {
  try {
    flush();
  } catch (...) {
  }
  try {
    if (file_) file_->close();
  } catch (...) {
  }
  if (s_.export_file == file_) s_.export_file.reset();
}

void ExportFile::write_line(std::u16string_view line) {
  buffer_ += p_.to_ansi(line);
  buffer_ += "\r\n";
  if (buffer_.size() >= (1u << 16)) flush();
}

void ExportFile::flush() {
  if (buffer_.empty() || !file_) return;
  std::string pending;
  pending.swap(buffer_);
  file_->write(pending);
}

void ExportFile::close() {
  flush();
  std::shared_ptr<platform::OutputFile> f = std::move(file_);
  if (s_.export_file == f) s_.export_file.reset();
  if (f) f->close();
}

}  // namespace taviksms::results
