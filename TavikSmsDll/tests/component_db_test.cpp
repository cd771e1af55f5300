// The data-access objects on ODBC against the sandbox, with the operations later methods use:
// procedures with rows, both cursor locations, Command.Execute, Connection.Execute, provider
// errors without driver prefixes.
#include <taviksms/taviksms.h>

#include "base/error.h"
#include "base/module_state.h"
#include "component_fixture.h"
#include "db/session.h"

namespace taviksms::test {
namespace {

class DbSessionTest : public ComponentTest {};

TEST_F(DbSessionTest, ProceduresRowsCursorsAndErrors) {
  TavikSms c;
  // Rows with a client-side cursor: exact count, fields by name in any case, NULLs kept.
  ASSERT_NO_FATAL_FAILURE(open_deposit_rows(c, u"@USER_ID"));
  core::ModuleState& s = core::module_state();
  db::DbCmd& cmd = *s.session.cmd;
  db::DbRs& rs = *s.session.rs;
  std::int32_t count = rs.record_count();
  EXPECT_GT(count, 0);
  int seen = 0;
  bool memo_with_crlf = false;
  while (!rs.eof()) {
    EXPECT_EQ(rs.field(u"user_id").to_text(), u"demo");
    const db::Value& memo = rs.field(u"ibgum_memo");
    if (!memo.is_null() && memo.to_text().find(u"\r\n") != std::u16string::npos) {
      memo_with_crlf = true;
    }
    rs.move_next();
    ++seen;
  }
  EXPECT_EQ(seen, count);
  EXPECT_TRUE(memo_with_crlf);
  EXPECT_EQ(error_number([&] { rs.field(u"nosuchcolumn"); }), core::err::kItemNotFound);
  EXPECT_EQ(cmd.parameter(u"@return_value").value().to_int32(), 0);  // return status
  rs.close();
  EXPECT_EQ(rs.state(), db::kStateClosed);

  // A server-side cursor does not count.
  rs.set_cursor_location(db::kUseServer);
  rs.open(cmd);
  EXPECT_EQ(rs.record_count(), -1);
  rs.close();

  // Command.Execute of a procedure without rows; unset parameters go as NULL.
  cmd.refresh_parameters();
  cmd.set_command_text(u"sp_sms_send");
  cmd.parameter(u"@user_id").set_value(db::Value::text(u"demo"));
  cmd.parameter(u"@Custom_tel").set_value(db::Value::text(u"01012345678"));
  cmd.parameter(u"@msg").set_value(db::Value::text(std::u16string(5000, u'가')));
  cmd.parameter(u"@typ").set_value(db::Value::integer(0));
  cmd.parameter(u"@YK_Time").set_value(db::Value::text(u""));
  auto result = cmd.execute();
  EXPECT_EQ(result->state(), db::kStateClosed);
  auto log = calls("sp_sms_send");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(call_param(log[0], "@msg"), std::u16string(5000, u'가'));
  EXPECT_EQ(call_param(log[0], "@Sub_ID"), std::nullopt);
  EXPECT_EQ(log[0]["params"][7]["value"].get<int>(), 0);  // @typ, an int

  // A refusal raised by the procedure: the server's text, nothing of the driver chain.
  cmd.parameter(u"@Custom_tel").set_value(db::Value::text(u"12"));
  std::u16string description;
  EXPECT_EQ(error_number([&] { cmd.execute(); }, &description), core::err::kProvider);
  EXPECT_EQ(description, u"수신번호 오류: 12");
  EXPECT_EQ(error_number([&] { cmd.parameter(u"@nosuch"); }), core::err::kItemNotFound);

  // SQL text on the connection; an unknown procedure is the server's error 2812.
  auto upd = s.session.conn->execute(u"update sms_result set reply = 1 where id = 1 ;");
  EXPECT_EQ(upd->state(), db::kStateClosed);
  cmd.refresh_parameters();
  cmd.set_command_text(u"sp_nosuch");
  EXPECT_EQ(error_number([&] { rs.open(cmd); }, &description), core::err::kProvider);
  EXPECT_EQ(description, u"Could not find stored procedure 'sp_nosuch'.");

  // The connection still serves after the errors.
  EXPECT_EQ(c.SmsJanek(), 100000 - 20);
}

TEST_F(DbSessionTest, ConnectionRowsKeepNullsTextsAndTheFirstOfTwoNames) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  core::ModuleState& s = core::module_state();
  // Longer than one piece of the driver's text transfer, in characters that take two bytes.
  std::u16string long_text;
  for (int i = 0; i < 3000; ++i) long_text += i % 2 ? u"가" : u"x";
  auto rs = s.session.conn->execute(u"SELECT 7 AS a, N'둘' AS A, NULL AS b, N'' AS c, N'" +
                                    long_text + u"' AS d, -12 AS e");
  ASSERT_EQ(rs->state(), db::kStateOpen);
  ASSERT_FALSE(rs->eof());
  // Out of column order, twice over, and by a name two columns share.
  EXPECT_EQ(rs->field(u"d").to_text(), long_text);
  EXPECT_EQ(rs->field(u"b").kind(), db::Value::Kind::null);
  EXPECT_EQ(rs->field(u"c").kind(), db::Value::Kind::text);
  EXPECT_EQ(rs->field(u"c").to_text(), u"");
  EXPECT_EQ(rs->field(u"A").to_int32(), 7);
  EXPECT_EQ(rs->field(u"a").to_int32(), 7);
  EXPECT_EQ(rs->field(u"e").to_int32(), -12);
  EXPECT_EQ(rs->field(u"d").to_text(), long_text);
  rs->move_next();
  EXPECT_TRUE(rs->eof());
  EXPECT_EQ(error_number([&] { rs->field(u"a"); }), core::err::runtime(3021));
  rs->close();
  EXPECT_EQ(error_number([&] { rs->field(u"a"); }), core::err::kObjectClosed);
}

}  // namespace
}  // namespace taviksms::test
