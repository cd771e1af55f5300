// The export writers on in-memory rows: column forms, the stop rules of the acknowledge mode,
// hostile values, and the business-number rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "account/account.h"
#include "base/error.h"
#include "base/module_state.h"
#include "base/platform/testing.h"
#include "platform/posix/posix_platform.h"
#include "results/export.h"
#include "results/results.h"

namespace taviksms {
namespace {

using db::Value;

// Rows held in memory, with the recordset semantics the writers rely on.
class MemoryRs : public db::DbRs {
 public:
  MemoryRs(std::vector<std::u16string> cols, std::vector<std::vector<Value>> rows)
      : cols_(std::move(cols)), rows_(std::move(rows)) {}
  void set_cursor_location(int) override {}
  int cursor_location() const override { return db::kUseClient; }
  void open(db::DbCmd&) override {}
  int state() const override { return open_ ? db::kStateOpen : db::kStateClosed; }
  void close() override { open_ = false; }
  std::int32_t record_count() const override {
    if (!open_) core::raise_object_closed(u"ADODB.Recordset");
    return static_cast<std::int32_t>(rows_.size());
  }
  bool eof() const override { return row_ >= rows_.size(); }
  const Value& field(std::u16string_view name) const override {
    for (std::size_t c = 0; c < cols_.size(); ++c) {
      if (cols_[c] == name) return rows_.at(row_)[c];
    }
    core::raise_item_not_found(u"ADODB.Fields");
  }
  void move_next() override { ++row_; }

 private:
  std::vector<std::u16string> cols_;
  std::vector<std::vector<Value>> rows_;
  std::size_t row_ = 0;
  bool open_ = true;
};

class RecordingConn : public db::DbConn {
 public:
  void open(const std::u16string&) override {}
  int state() const override { return db::kStateOpen; }
  void close() override {}
  std::shared_ptr<db::DbRs> execute(const std::u16string& sql) override {
    statements.push_back(sql);
    return nullptr;
  }
  std::vector<std::u16string> statements;
};

// Files in memory; the decimal separator of a comma locale.
class MemoryFiles : public platform::posix::PosixPlatform {
 public:
  struct File : platform::OutputFile {
    explicit File(std::string* d) : data(d) {}
    void write(std::string_view b) override { data->append(b); }
    void close() override {}
    std::string* data;
  };
  std::unique_ptr<platform::OutputFile> create_output_file(const std::u16string& name) override {
    std::string& d = files[name];
    d.clear();
    return std::make_unique<File>(&d);
  }
  std::u16string decimal_separator() override { return u","; }
  std::map<std::u16string, std::string> files;
};

const std::vector<std::u16string> kColumns = {
    u"id",        u"User_ID",    u"SUB_ID", u"user_tel",    u"Custom_tel",
    u"Custom_id", u"Custom_nam", u"msg",    u"result_code", u"Result_Msg",
    u"typ",       u"kun2",       u"fee2",   u"i_time",      u"s_time"};

std::vector<Value> row(Value id, std::u16string msg = u"m") {
  return {id,
          Value::text(u"u"),
          Value::text(u"s"),
          Value::text(u"t"),
          Value::text(u"c"),
          Value::text(u"i"),
          Value::null(),
          Value::text(std::move(msg)),
          Value::integer(0),
          Value::text(u"ok"),
          Value::integer(0),
          Value::integer(1),
          Value::decimal(u"12.5000"),
          Value::datetime(u"2024-03-03 14:05:09"),
          Value::null()};
}

class WriterTest : public ::testing::Test {
 public:
  void SetUp() override { core::module_state() = core::ModuleState{}; }
  void TearDown() override { core::module_state() = core::ModuleState{}; }
  core::ModuleState& load(std::vector<std::vector<Value>> rows,
                          std::vector<std::u16string> cols = kColumns) {
    core::ModuleState& s = core::module_state();
    s.session.rs = std::make_shared<MemoryRs>(std::move(cols), std::move(rows));
    conn = std::make_shared<RecordingConn>();
    s.session.conn = conn;
    return s;
  }
  std::u16string write(int mode) {
    try {
      return results::result_write(core::module_state(), mode);
    } catch (const core::Error& e) {
      return e.description();
    }
  }
  MemoryFiles files;
  platform::ScopedPlatformOverride use{files};
  std::shared_ptr<RecordingConn> conn;
};

TEST(ExportForms, NumbersDatesAndNullForms) {
  const auto num = [](const Value& v, std::u16string_view sep = u".") {
    std::u16string out;
    results::append_numeric(out, v, sep);
    return out;
  };
  EXPECT_EQ(num(Value::null()), u"0");
  EXPECT_EQ(num(Value::integer(-2147483648LL)), u"-2147483648");
  EXPECT_EQ(num(Value::decimal(u"20.0000")), u"20");
  EXPECT_EQ(num(Value::decimal(u"12.5000"), u","), u"12,5");
  EXPECT_EQ(num(Value::decimal(u"-0.2500"), u","), u"-0,25");
  EXPECT_EQ(num(Value::decimal(u"1234567.0000")), u"1234567") << "no grouping";

  const auto when = [](const Value& v) {
    std::u16string out;
    results::append_datetime(out, v);
    return out;
  };
  EXPECT_EQ(when(Value::datetime(u"2024-03-03 14:05:09")), u"20240303140509");
  EXPECT_EQ(when(Value::datetime(u"2024-03-03 14:05:09.000")), u"20240303140509");
  EXPECT_EQ(when(Value::datetime(u"2024-12-31 23:59:59.500")), u"20250101000000");
  EXPECT_EQ(when(Value::datetime(u"2024-02-28 23:59:59.997")), u"20240229000000");
  EXPECT_EQ(when(Value::null()), u"");
  EXPECT_EQ(when(Value::text(u"not a date")), u"not a date");
  // The range's edges: the earliest datetime, and the latest, which rounds to no later second.
  EXPECT_EQ(when(Value::datetime(u"1753-01-01 00:00:00")), u"17530101000000");
  EXPECT_EQ(when(Value::datetime(u"1753-01-01 00:00:00.000")), u"17530101000000");
  EXPECT_EQ(when(Value::datetime(u"9999-12-31 23:59:59")), u"99991231235959");
  EXPECT_EQ(when(Value::datetime(u"9999-12-31 23:59:59.997")), u"99991231235959");
  EXPECT_EQ(when(Value::datetime(u"9999-12-31 23:59:59.998")), u"99991231235959");
  EXPECT_EQ(when(Value::datetime(u"9999-12-31 23:59:58.500")), u"99991231235959");

  std::u16string line = u"a\nb\r\nc\td";
  results::replace_line_feeds(line);
  EXPECT_EQ(line, u"a|b\r|c\td");
}

TEST(ExportForms, BusinessNumberRule) {
  EXPECT_EQ(core::normalize_tax_no(u"123-45-67890"), u"1234567890");
  EXPECT_EQ(core::normalize_tax_no(u"123-45-67890-99"), u"1234567890");
  EXPECT_EQ(core::normalize_tax_no(u"1234567890"), u"1234567890");
  EXPECT_EQ(core::normalize_tax_no(u"123-45"), u"12345");
  EXPECT_EQ(core::normalize_tax_no(u"12-345-67890"), u"12-345-67890");
  EXPECT_EQ(core::normalize_tax_no(u""), u"");
}

TEST_F(WriterTest, AcknowledgeModeWritesEachLineBeforeItsStatement) {
  load({row(Value::integer(7)), row(Value::decimal(u"8.0000"))});
  EXPECT_EQ(write(1), u"OK");
  EXPECT_EQ(files.files[u"sms1.txt"],
            "7\tu\ts\tt\tc\ti\t\tm\t0\tok\t0\t1\t12,5\t20240303140509\t\r\n"
            "8\tu\ts\tt\tc\ti\t\tm\t0\tok\t0\t1\t12,5\t20240303140509\t\r\n");
  EXPECT_EQ(conn->statements,
            (std::vector<std::u16string>{u"update sms_result set reply = 1 where id = 7 ;",
                                         u"update sms_result set reply = 1 where id = 8 ;"}));
  EXPECT_EQ(core::module_state().session.rs->state(), db::kStateClosed);
  EXPECT_FALSE(core::module_state().export_file) << "the slot is free again";
}

TEST_F(WriterTest, AnUnusableIdStopsTheExportBeforeThatRow) {
  struct Case {
    Value bad;
    std::u16string error;
  };
  const Case cases[] = {{Value::null(), u"Invalid use of Null"},
                        {Value::decimal(u"2147483648"), u"Overflow"},
                        {Value::text(u"abc"), u"Type mismatch"}};
  for (const auto& c : cases) {
    load({row(Value::integer(1)), row(c.bad), row(Value::integer(3))});
    EXPECT_EQ(write(1), c.error);
    EXPECT_EQ(conn->statements.size(), 1u) << "only row 1 is acknowledged";
    EXPECT_EQ(files.files[u"sms1.txt"].find("\r\n") + 2, files.files[u"sms1.txt"].size())
        << "only row 1 is written";
    EXPECT_FALSE(core::module_state().export_file);
  }
  // Outside the acknowledge mode the id is only written.
  load({row(Value::null()), row(Value::text(u"abc"))});
  EXPECT_EQ(write(2), u"OK");
  EXPECT_TRUE(conn->statements.empty());
  EXPECT_EQ(files.files[u"sms1.txt"].substr(0, 2), "0\t");
}

TEST_F(WriterTest, HostileValuesAreWrittenAsTheRulesSay) {
  std::u16string huge(1 << 20, u'가');
  std::u16string nul = u"a";
  nul.push_back(u'\0');
  nul += u"b";
  std::u16string lone = u"x";
  lone.push_back(static_cast<char16_t>(0xD800));
  load({row(Value::integer(1), huge), row(Value::integer(2), nul), row(Value::integer(3), lone)});
  EXPECT_EQ(write(0), u"OK");
  const std::string& f = files.files[u"sms1.txt"];
  EXPECT_GT(f.size(), 3u << 20);
  EXPECT_NE(f.find(std::string("\ta\0b\t", 5)), std::string::npos) << "NUL is data";
  EXPECT_EQ(std::count(f.begin(), f.end(), '\n'), 3);

  // A missing column fails at the first row; the file slot is released.
  std::vector<std::u16string> fewer(kColumns.begin(), kColumns.end() - 1);
  std::vector<Value> short_row = row(Value::integer(1));
  short_row.pop_back();
  load({short_row}, fewer);
  EXPECT_EQ(write(1),
            u"Item cannot be found in the collection corresponding to the requested "
            u"name or ordinal.");
  EXPECT_EQ(files.files[u"sms1.txt"], "");
  EXPECT_FALSE(core::module_state().export_file);
  load({row(Value::integer(4))});
  EXPECT_EQ(write(0), u"OK") << "the next export works";
}

TEST_F(WriterTest, ReservationFileCountsBeyondSixteenBits) {
  std::vector<std::vector<Value>> rows;
  for (int i = 1; i <= 32769; ++i) rows.push_back(row(Value::integer(i)));
  load(std::move(rows));
  EXPECT_EQ(results::yaeyak_data_text(), u"OK");
  const std::string& f = files.files[u"sms2.txt"];
  EXPECT_EQ(std::count(f.begin(), f.end(), '\n'), 32769);
  EXPECT_EQ(core::module_state().session.rs->state(), db::kStateClosed);
}

}  // namespace
}  // namespace taviksms
