// SQL batches, sp_executesql and sp_sproc_columns.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>

#include "service/service_impl.h"
#include "support.h"

namespace sandbox::test {
namespace {

using SqlTest = ServiceTest;

TEST_F(SqlTest, ExecuteSqlSelectsAFunction) {
  auto r =
      session_->execute_sql(u"SELECT dbo.f_login(@P1, @P2)", u"@P1 nvarchar(4000),@P2 varchar(50)",
                            {p(u"demo"), RpcParam{u"", SqlValue::varchar(u"demo1234"), false}});
  ASSERT_EQ(r.size(), 1u);
  ASSERT_FALSE(r[0].error) << to_utf8(error_text(r[0]));
  ASSERT_EQ(r[0].result_sets.size(), 1u);
  const ResultSet& rs = r[0].result_sets[0];
  ASSERT_EQ(rs.columns.size(), 1u);
  EXPECT_EQ(rs.columns[0].name, u"");
  EXPECT_EQ(rs.columns[0].type, SqlType::NVarChar);
  ASSERT_EQ(rs.rows.size(), 1u);
  EXPECT_EQ(rs.rows[0][0].s, u"");

  auto janek = session_->execute_sql(u"select dbo.f_sms_janek('demo')", u"", {});
  ASSERT_EQ(janek.at(0).result_sets.size(), 1u);
  EXPECT_EQ(janek[0].result_sets[0].columns[0].type, SqlType::Money);
  EXPECT_EQ(janek[0].result_sets[0].rows[0][0].i, 100000LL * 10000);

  // Named values and a declaration whose types hold commas.
  auto named =
      session_->execute_sql(u"SELECT dbo.f_login(@b, @a)", u"@a decimal(10,2), @b nvarchar(10)",
                            {p(u"@a", u"demo1234"), p(u"@b", u"demo")});
  ASSERT_EQ(named.at(0).result_sets.size(), 1u);
  EXPECT_EQ(named[0].result_sets[0].rows[0][0].s, u"");

  const auto calls = service_->state().calls.list(u"f_login", 0);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].via_sql);
  EXPECT_EQ(calls[0].params[1].value.type, SqlType::VarChar);  // as received

  auto junk = session_->execute_sql(u"DELETE FROM messages", u"", {});
  ASSERT_TRUE(junk.at(0).error);
  EXPECT_EQ(junk[0].error->number, 102);
  EXPECT_EQ(junk[0].error->text, u"Incorrect syntax near 'DELETE'.");
  auto unknown = session_->execute_sql(u"SELECT dbo.f_x(@P1)", u"@P1 int", {pi(u"", 1)});
  ASSERT_TRUE(unknown.at(0).error);
  EXPECT_EQ(unknown[0].error->number, 4121);
  auto too_few = session_->execute_sql(u"SELECT dbo.f_login(@P1)", u"@P1 int", {pi(u"", 1)});
  ASSERT_TRUE(too_few.at(0).error);
  EXPECT_EQ(too_few[0].error->number, 313);
}

TEST_F(SqlTest, SelectTakesNullLiteralsAsExecDoes) {
  auto r = session_->execute_batch(
      u"select NULL, dbo.f_login(NULL, NULL), dbo.f_sms_janek(null) AS bal");
  ASSERT_EQ(r.size(), 1u);
  ASSERT_FALSE(r[0].error) << to_utf8(error_text(r[0]));
  ASSERT_EQ(r[0].result_sets.size(), 1u);
  const Row& row = r[0].result_sets[0].rows.at(0);
  EXPECT_TRUE(row.at(0).is_null);
  EXPECT_EQ(row.at(1).s, u"등록되지 않은 아이디입니다.");
  EXPECT_EQ(row.at(2).i, 0);
  EXPECT_EQ(r[0].result_sets[0].columns.at(2).name, u"bal");
  const auto calls = service_->state().calls.list(u"f_login", 0);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].params.at(0).value.is_null);
  // NULL is still no function name.
  auto bad = session_->execute_batch(u"select NULL(1)");
  ASSERT_TRUE(bad.at(0).error);
  EXPECT_EQ(bad[0].error->number, 102);
}

TEST_F(SqlTest, BatchStatementsOfClientLibraries) {
  auto r = session_->execute_batch(
      u"SET TEXTSIZE 2147483647;\nset nocount on\nuse [sms]\nBEGIN TRAN\n"
      u"IF @@TRANCOUNT > 0 COMMIT TRAN\nCOMMIT TRANSACTION;\nSELECT @@VERSION\nSELECT 1");
  ASSERT_EQ(r.size(), 8u);
  for (const auto& s : r) EXPECT_FALSE(s.error) << to_utf8(s.error->text);
  EXPECT_EQ(r[2].new_database, u"sms");
  ASSERT_EQ(r[6].result_sets.size(), 1u);
  EXPECT_NE(r[6].result_sets[0].rows[0][0].s.find(u"sandbox"), std::u16string::npos);
  EXPECT_EQ(r[7].result_sets.at(0).rows.at(0).at(0).i, 1);

  EXPECT_EQ(session_->execute_batch(u"  -- nothing to run\n").size(), 1u);
  auto use_other = session_->execute_batch(u"USE master");
  EXPECT_EQ(use_other.at(0).error->number, 911);
  auto commit = session_->execute_batch(u"COMMIT");
  EXPECT_EQ(commit.at(0).error->number, 3902);
}

TEST_F(SqlTest, BatchExecWithLiterals) {
  auto r = session_->execute_batch(
      u"exec sp_sms_send N'demo', 'sub01', '02', 'C''1', N'이름', '01012345678', "
      u"N'it''s\n두 줄', 3, '', ''\n"
      u"EXECUTE @rv = dbo.sp_ibgum_data @user_id = N'demo'; exec sp_ibgum_data demo");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_FALSE(r[0].error) << to_utf8(error_text(r[0]));
  EXPECT_EQ(r[0].return_status, 0);
  EXPECT_EQ(r[1].result_sets.at(0).rows.size(), 3u);
  EXPECT_EQ(r[2].result_sets.at(0).rows.size(), 3u);
  const auto calls = service_->state().calls.list(u"sp_sms_send", 0);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].via_sql);
  EXPECT_EQ(calls[0].params[3].value.s, u"C'1");
  EXPECT_EQ(calls[0].params[3].value.type, SqlType::VarChar);
  EXPECT_EQ(calls[0].params[4].value.type, SqlType::NVarChar);
  EXPECT_EQ(calls[0].params[6].value.s, u"it's\n두 줄");
  EXPECT_EQ(calls[0].params[7].value.type, SqlType::Int);
  EXPECT_EQ(calls[0].params[7].value.i, 3);

  auto func = session_->execute_batch(u"select dbo.f_login('demo','demo1234') AS answer");
  ASSERT_EQ(func.at(0).result_sets.size(), 1u);
  EXPECT_EQ(func[0].result_sets[0].columns[0].name, u"answer");
  EXPECT_EQ(func[0].result_sets[0].rows[0][0].s, u"");

  auto missing = session_->execute_batch(u"exec sp_nothing 1");
  EXPECT_EQ(missing.at(0).error->number, 2812);
  EXPECT_EQ(missing[0].error->text, u"Could not find stored procedure 'sp_nothing'.");
  auto unclosed = session_->execute_batch(u"exec sp_ibgum_data 'demo");
  EXPECT_EQ(unclosed.at(0).error->number, 105);
  // A syntax error anywhere fails the whole batch before anything runs.
  auto broken = session_->execute_batch(u"exec sp_sms_send 'demo'\nSELECT FROM x");
  ASSERT_EQ(broken.size(), 1u);
  EXPECT_EQ(broken[0].error->number, 102);
  EXPECT_EQ(broken[0].error->text, u"Incorrect syntax near 'FROM'.");
  EXPECT_EQ(broken[0].error->line, 2);
  EXPECT_EQ(service_->state().calls.list(u"sp_sms_send", 0).size(), 1u);
  auto other_table = session_->execute_batch(u"update messages set reply = 1 where id = 1");
  EXPECT_EQ(other_table.at(0).error->number, 208);
}

// The procedure names (without ";n") an sp_sproc_columns pattern selects.
std::set<std::u16string> procedures_matching(Session& session, const std::u16string& pattern) {
  std::set<std::u16string> names;
  auto r = session.call_rpc(u"sp_sproc_columns", {p(pattern)});
  EXPECT_FALSE(r.error) << to_utf8(r.error->text);
  if (r.result_sets.empty()) return names;
  const ResultSet& rs = r.result_sets[0];
  for (std::size_t i = 0; i < rs.rows.size(); ++i) {
    const std::u16string name = rs.rows[i][2].s;
    names.insert(name.substr(0, name.find(u';')));
  }
  return names;
}

TEST_F(SqlTest, SprocColumnsPatterns) {
  using Set = std::set<std::u16string>;
  const Set all = procedures_matching(*session_, u"%");
  ASSERT_GT(all.size(), 10u);
  auto where = [&](auto keep) {
    Set out;
    for (const auto& n : all)
      if (keep(n)) out.insert(n);
    return out;
  };
  auto count_a = [](const std::u16string& n) {
    return std::count_if(n.begin(), n.end(), [](char16_t c) { return c == u'a' || c == u'A'; });
  };
  EXPECT_EQ(procedures_matching(*session_, u"%login"), Set{u"f_login"});
  EXPECT_EQ(procedures_matching(*session_, u"F_LOG%"), Set{u"f_login"});
  EXPECT_EQ(procedures_matching(*session_, u"sp[_]sms[_]send"), Set{u"sp_sms_send"});
  EXPECT_EQ(procedures_matching(*session_, u"sp_[lm]ms_send"),
            (Set{u"sp_lms_send", u"sp_mms_send"}));
  EXPECT_EQ(procedures_matching(*session_, u"sp\\_%\\_send"),
            (Set{u"sp_sms_send", u"sp_lms_send", u"sp_mms_send"}));
  // Backtracking: the last % must give characters back for "2" to match at the end.
  EXPECT_EQ(procedures_matching(*session_, u"%data%2"),
            (Set{u"sp_result_data2", u"sp_result_dataV2", u"sp_YaeyakDataV2"}));
  EXPECT_EQ(procedures_matching(*session_, u"%a%a%"),
            where([&](const std::u16string& n) { return count_a(n) >= 2; }));
  EXPECT_EQ(procedures_matching(*session_, u"%a%a%a%a%"),
            (Set{u"sp_YaeyakData", u"sp_YaeyakDataV2"}));
  EXPECT_EQ(procedures_matching(*session_, u"%________________"),
            where([](const std::u16string& n) { return n.size() >= 16; }));
  EXPECT_EQ(procedures_matching(*session_, u"_______"),
            where([](const std::u16string& n) { return n.size() == 7; }));
  // An unclosed "[" is a plain character; a trailing "\" too.
  EXPECT_TRUE(procedures_matching(*session_, u"sp[sms_send").empty());
  EXPECT_TRUE(procedures_matching(*session_, u"f_login\\").empty());
  EXPECT_TRUE(procedures_matching(*session_, u"%login%x").empty());
}

// A pattern of 40 % used to take 2^40 steps under the database lock and freeze every client.
TEST_F(SqlTest, SprocColumnsManyWildcardsAnswerWhileOthersAreServed) {
  const std::u16string many(40, u'%');
  struct Shared {
    std::atomic<bool> done{false};
    std::set<std::u16string> none, login;
  };
  auto shared = std::make_shared<Shared>();
  auto catalog = service_->open_session();
  LoginRequest login{u"sms_app", u"tavik2024db", u"", u"test", u"host"};
  ASSERT_FALSE(catalog->login(login).error);
  std::thread hostile([shared, many, s = std::move(catalog)]() mutable {
    for (int i = 0; i < 20; ++i) {
      shared->none = procedures_matching(*s, many + u"x");
      shared->login = procedures_matching(*s, many + u"l" + many + u"gin" + many);
    }
    shared->done = true;
  });
  // Meanwhile another client's balance queries go on, on a thread of their own: with the
  // database lock held by the matcher they would block, and this thread must still see that.
  struct Served {
    std::atomic<int> calls{0};
    std::atomic<int> wrong{0};
    std::atomic<bool> done{false};
  };
  auto served = std::make_shared<Served>();
  std::thread client([this, shared, served] {
    do {
      auto janek = rpc(u"f_sms_janek", {p(u"@user_id", u"demo")});
      if (!janek.function_value || janek.function_value->i != 100000LL * 10000) ++served->wrong;
      ++served->calls;
    } while (!shared->done);
    served->done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(shared->done && served->done) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!(shared->done && served->done)) {
    // Stuck in the matcher or behind its lock: the threads cannot be joined, so end here.
    ADD_FAILURE() << "sp_sproc_columns with 40 % did not answer within 30 s (other client served "
                  << served->calls << " calls meanwhile)";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  hostile.join();
  client.join();
  EXPECT_GE(served->calls, 1);
  EXPECT_EQ(served->wrong, 0);
  EXPECT_TRUE(shared->none.empty());
  EXPECT_EQ(shared->login, std::set<std::u16string>{u"f_login"});
}

TEST_F(SqlTest, SprocColumnsLayout) {
  auto r = rpc(u"sp_sproc_columns", {p(u"@procedure_name", u"sp_sms_send"), pi(u"@ODBCVer", 3)});
  ASSERT_FALSE(r.error) << to_utf8(error_text(r));
  ASSERT_EQ(r.result_sets.size(), 1u);
  const ResultSet& rs = r.result_sets[0];
  ASSERT_EQ(rs.columns.size(), 20u);
  EXPECT_EQ(rs.columns[0].name, u"PROCEDURE_QUALIFIER");
  EXPECT_EQ(rs.columns[3].name, u"COLUMN_NAME");
  EXPECT_EQ(rs.columns[17].name, u"ORDINAL_POSITION");
  EXPECT_EQ(rs.columns[19].name, u"SS_DATA_TYPE");
  ASSERT_EQ(rs.rows.size(), 11u);
  const char16_t* expected[] = {u"@RETURN_VALUE", u"@user_id",    u"@Sub_ID",     u"@User_tel",
                                u"@Custom_id",    u"@Custom_nam", u"@Custom_tel", u"@msg",
                                u"@typ",          u"@n_code",     u"@YK_Time"};
  for (std::size_t i = 0; i < rs.rows.size(); ++i) {
    EXPECT_EQ(cell(rs, i, u"COLUMN_NAME").s, expected[i]);
    EXPECT_EQ(cell(rs, i, u"PROCEDURE_NAME").s, u"sp_sms_send;1");
    EXPECT_EQ(cell(rs, i, u"PROCEDURE_QUALIFIER").s, u"sms");
    EXPECT_EQ(cell(rs, i, u"PROCEDURE_OWNER").s, u"dbo");
    EXPECT_EQ(cell(rs, i, u"ORDINAL_POSITION").i, static_cast<std::int64_t>(i));
    EXPECT_EQ(cell(rs, i, u"COLUMN_TYPE").i, i == 0 ? 5 : 1);
  }
  EXPECT_EQ(cell(rs, 0, u"DATA_TYPE").i, 4);
  EXPECT_EQ(cell(rs, 1, u"DATA_TYPE").i, -9);
  EXPECT_EQ(cell(rs, 1, u"PRECISION").i, 4000);
  EXPECT_EQ(cell(rs, 7, u"DATA_TYPE").i, -10);  // nvarchar(max)
  EXPECT_EQ(cell(rs, 8, u"TYPE_NAME").s, u"int");

  auto janek = rpc(u"sp_sproc_columns", {p(u"f\\_sms\\_janek"), pnull(u""), pnull(u"")});
  const ResultSet& j = janek.result_sets.at(0);
  ASSERT_EQ(j.rows.size(), 2u);
  EXPECT_EQ(cell(j, 0, u"PROCEDURE_NAME").s, u"f_sms_janek;0");
  EXPECT_EQ(cell(j, 0, u"DATA_TYPE").i, 3);
  EXPECT_EQ(cell(j, 0, u"TYPE_NAME").s, u"money");
  EXPECT_EQ(cell(j, 0, u"SCALE").i, 4);

  auto login =
      rpc(u"sp_sproc_columns", {p(u"@procedure_name", u"f_login"), p(u"@procedure_owner", u"dbo")});
  EXPECT_EQ(cell(login.result_sets.at(0), 0, u"TYPE_NAME").s, u"nvarchar");
  EXPECT_EQ(rpc(u"sp_sproc_columns", {p(u"nothing")}).result_sets.at(0).rows.size(), 0u);
  EXPECT_EQ(rpc(u"sp_sproc_columns", {p(u"f_login"), p(u"guest")}).result_sets.at(0).rows.size(),
            0u);
  auto all = rpc(u"sp_sproc_columns", {p(u"%")});
  EXPECT_GT(all.result_sets.at(0).rows.size(), 60u);
}

}  // namespace
}  // namespace sandbox::test
