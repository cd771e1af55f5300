// The export line writer on random rows: every column a random Value of any kind (Null, never
// assigned, integer, decimal, floating, date-time, text with line feeds, tabs, CR, NUL, lone
// surrogates). Properties: neither line ever holds a line feed; the fifteen-field line holds
// exactly fourteen tabs of its own (plus those inside the values), the deposit line's five
// fields are each followed by a tab; a Null numeric is "0", a Null text or date-time empty; an
// integer is its plain decimal form; a driver date-time becomes fourteen digits.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "db/session.h"
#include "db/value.h"
#include "fuzz_util.h"
#include "results/export.h"

using taviksms::db::Value;
namespace results = taviksms::results;

namespace {

constexpr std::array<std::u16string_view, 15> kColumns = {
    u"id",        u"User_ID",    u"SUB_ID", u"user_tel",    u"Custom_tel",
    u"Custom_id", u"Custom_nam", u"msg",    u"result_code", u"Result_Msg",
    u"typ",       u"kun2",       u"fee2",   u"i_time",      u"s_time"};
constexpr std::array<char, 15> kKinds = {'n', 't', 't', 't', 't', 't', 't', 't',
                                         'n', 't', 'n', 'n', 'n', 'd', 'd'};
constexpr std::array<std::u16string_view, 5> kDepositColumns = {u"User_ID", u"kunsu", u"ibgum",
                                                                u"Ibgum_date", u"ibgum_memo"};

// One row of named Values.
class RowRs : public taviksms::db::DbRs {
 public:
  std::vector<std::pair<std::u16string_view, Value>> cols;
  void set_cursor_location(int) override {}
  int cursor_location() const override { return 3; }
  void open(taviksms::db::DbCmd&) override {}
  int state() const override { return 1; }
  void close() override {}
  std::int32_t record_count() const override { return 1; }
  bool eof() const override { return false; }
  const Value& field(std::u16string_view name) const override {
    for (const auto& c : cols) {
      if (c.first == name) return c.second;
    }
    std::abort();  // the writer asked for a column that no export has
  }
  void move_next() override {}
};

// Reads the input as a stream of choices.
class Source {
 public:
  Source(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
  std::uint8_t byte() { return i_ < n_ ? d_[i_++] : 0; }
  std::u16string text(std::u16string_view alphabet) {
    std::size_t len = byte() % 24;
    std::u16string out;
    for (std::size_t k = 0; k < len; ++k) {
      const std::uint8_t b = byte();
      if (b >= 0xF0 && i_ + 1 < n_) {  // any code unit now and then
        out.push_back(static_cast<char16_t>(byte() | (byte() << 8)));
      } else {
        out.push_back(alphabet[b % alphabet.size()]);
      }
    }
    return out;
  }
  bool last_well_formed = false;  // the last value() was a date-time as the driver gives it
  Value value() {
    last_well_formed = false;
    switch (byte() % 8) {
      case 0:
        return Value::null();
      case 1:
        return Value();
      case 2: {
        std::int64_t v = 0;
        for (int k = 0; k < 8; ++k) v = (v << 8) | byte();
        return Value::integer(v);
      }
      case 3:
        return Value::decimal(text(u"0123456789.-"));
      case 4:
        return Value::floating(text(u"0123456789.-eE+"));
      case 5:
        return Value::datetime(text(u"0123456789-/ :."));
      case 6: {
        // A well-formed driver date-time, sometimes with a fraction.
        char buf[40];
        const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                                    1900 + byte() % 200, 1 + byte() % 12, 1 + byte() % 28,
                                    byte() % 24, byte() % 60, byte() % 60, byte() * 4 % 1000);
        std::u16string t(buf, buf + (byte() & 1 ? n : 19));
        last_well_formed = true;
        return Value::datetime(t);
      }
      default:
        return Value::text(text(u"ab가\t\n\r |0"));
    }
  }

 private:
  const std::uint8_t* d_;
  std::size_t n_;
  std::size_t i_ = 0;
};

std::size_t count(std::u16string_view s, char16_t c) {
  std::size_t n = 0;
  for (char16_t x : s) n += x == c;
  return n;
}

// The field's own form, as the writer appends it (line feeds not yet replaced).
std::u16string form(const Value& v, char kind, std::u16string_view sep) {
  std::u16string out;
  if (kind == 'n') results::append_numeric(out, v, sep);
  if (kind == 't') results::append_text(out, v);
  if (kind == 'd') results::append_datetime(out, v);
  return out;
}

bool all_digits(std::u16string_view s) {
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return false;
  }
  return true;
}

void check_form(const Value& v, char kind, const std::u16string& f, bool well_formed) {
  if (v.is_null()) FUZZ_CHECK(f == (kind == 'n' ? u"0" : u""));
  if (kind == 'n' && v.kind() == Value::Kind::integer) {
    const std::string want = std::to_string(v.raw_integer());
    FUZZ_CHECK(f == std::u16string(want.begin(), want.end()));
  }
  if (kind == 'd' && well_formed) {
    FUZZ_CHECK(f.size() == 14 && all_digits(f));
    // The same date and time to the second, unless the fraction rounded it up.
    const std::u16string& t = v.raw_text();
    const std::u16string plain = t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2) +
                                 t.substr(11, 2) + t.substr(14, 2) + t.substr(17, 2);
    if (t.size() == 19 || t[20] < u'5') FUZZ_CHECK(f == plain);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Source src(data, size);
  const std::u16string sep = (src.byte() & 1) ? u"," : u".";
  RowRs rs;
  std::array<Value, 15> values;
  std::array<bool, 15> well_formed{};
  for (std::size_t c = 0; c < kColumns.size(); ++c) {
    values[c] = src.value();
    well_formed[c] = src.last_well_formed;
    rs.cols.emplace_back(kColumns[c], values[c]);
  }
  std::array<Value, 5> deposit;
  // "User_ID" is a column of both lines: the deposit line reads the same one.
  deposit[0] = values[1];
  for (std::size_t c = 1; c < kDepositColumns.size(); ++c) {
    deposit[c] = src.value();
    rs.cols.emplace_back(kDepositColumns[c], deposit[c]);
  }

  // A value the conversion refuses (for example a decimal that is no number) raises; the writer
  // then stops the export, which is its documented answer. Anything else must hold the rules.
  std::u16string line;
  bool refused = false;
  try {
    results::export_record(rs, sep, line);
  } catch (const taviksms::core::Error&) {
    refused = true;
  }
  if (!refused) {
    FUZZ_CHECK(line.find(u'\n') == std::u16string::npos);
    std::u16string joined;
    std::size_t inner_tabs = 0;
    for (std::size_t c = 0; c < kColumns.size(); ++c) {
      const std::u16string f = form(values[c], kKinds[c], sep);
      check_form(values[c], kKinds[c], f, well_formed[c]);
      inner_tabs += count(f, u'\t');
      if (c > 0) joined += u'\t';
      joined += f;
    }
    FUZZ_CHECK(count(line, u'\t') == 14 + inner_tabs);
    for (char16_t& ch : joined) {
      if (ch == u'\n') ch = u'|';
    }
    FUZZ_CHECK(line == joined);
    // Without tabs in the values, splitting at tabs gives back fifteen fields.
    if (inner_tabs == 0) {
      std::size_t fields = 1 + count(line, u'\t');
      FUZZ_CHECK(fields == 15);
    }
  }

  std::u16string dline;
  refused = false;
  try {
    results::deposit_record(rs, sep, dline);
  } catch (const taviksms::core::Error&) {
    refused = true;
  }
  if (!refused) {
    FUZZ_CHECK(dline.find(u'\n') == std::u16string::npos);
    FUZZ_CHECK(!dline.empty() && dline.back() == u'\t');
    // Five fields, each followed by a tab: walking the line by the fields' own forms lands on a
    // tab after each of them.
    const std::array<char, 5> kinds = {'t', 'n', 'n', 'x', 't'};
    std::size_t pos = 0;
    for (std::size_t c = 0; c < 5; ++c) {
      std::u16string f;
      if (kinds[c] == 'x') {
        if (!deposit[c].is_null()) f = u"20" + form(deposit[c], 't', sep);
      } else {
        f = form(deposit[c], kinds[c], sep);
      }
      for (char16_t& ch : f) {
        if (ch == u'\n') ch = u'|';
      }
      FUZZ_CHECK(dline.compare(pos, f.size(), f) == 0);
      pos += f.size();
      FUZZ_CHECK(pos < dline.size() && dline[pos] == u'\t');
      ++pos;
    }
    FUZZ_CHECK(pos == dline.size());
  }
  return 0;
}
