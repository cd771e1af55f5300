// The procedures' behaviour: answers, refusals in order, charges, clock-driven delivery,
// acknowledgements, reservations, windows, seed data, exact storage of text.
#include "service/service_impl.h"
#include "support.h"

namespace sandbox::test {
namespace {

using ProcedureTest = ServiceTest;

constexpr std::int64_t kWon = 10000;

TEST_F(ProcedureTest, FLoginAnswers) {
  auto answer = [&](std::u16string user, std::u16string pw) {
    auto r = rpc(u"f_login", {p(u"@user_id", user), p(u"@user_pw", pw)});
    EXPECT_EQ(r.return_status, 0);
    return r.function_value ? r.function_value->s : u"(none)";
  };
  EXPECT_EQ(answer(u"demo", u"demo1234"), u"");
  EXPECT_EQ(answer(u"DEMO", u"demo1234"), u"");  // ids compare case-insensitively
  EXPECT_EQ(answer(u"nobody", u"x"), u"등록되지 않은 아이디입니다.");
  EXPECT_EQ(answer(u"demo", u"DEMO1234"), u"비밀번호가 일치하지 않습니다.");
  EXPECT_EQ(answer(u"blocked", u"blocked1234"), u"사용이 중지된 아이디입니다.");
}

TEST_F(ProcedureTest, BalanceAndCharges) {
  EXPECT_EQ(balance(u"demo"), 100000 * kWon);
  EXPECT_EQ(balance(u"poor"), 30 * kWon);
  EXPECT_EQ(balance(u"nobody"), 0);
  EXPECT_FALSE(sms(u"demo", u"010-1234-5678").error);
  EXPECT_EQ(balance(u"demo"), (100000 - 20) * kWon);
  auto lms = rpc(u"sp_lms_send", {p(u"demo"), p(u"sub01"), p(u"02"), p(u"C"), p(u"N"),
                                  p(u"01012345678"), p(u"subject"), p(u"body"), p(u"")});
  EXPECT_FALSE(lms.error) << to_utf8(error_text(lms));
  EXPECT_EQ(lms.return_status, 0);
  EXPECT_TRUE(lms.result_sets.empty());
  auto mms = rpc(u"sp_mms_send",
                 {p(u"demo"), p(u"sub01"), p(u"02"), p(u"C"), p(u"N"), p(u"+82 10 1234 5678"),
                  p(u"subject"), p(u"body"), p(u"demo_a.jpg"), p(u""), p(u""), p(u"")});
  EXPECT_FALSE(mms.error) << to_utf8(error_text(mms));
  EXPECT_EQ(balance(u"demo"), (100000 - 20 - 50 - 200) * kWon);
}

TEST_F(ProcedureTest, SendRefusalsComeInTheDocumentedOrder) {
  auto expect_refusal = [&](const StatementResult& r, std::int32_t number, std::u16string text) {
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->number, number);
    EXPECT_EQ(r.error->severity, 16);
    EXPECT_EQ(r.error->state, 1);
    EXPECT_EQ(r.error->procedure, u"sp_sms_send");
    EXPECT_EQ(r.error->text, text);
    EXPECT_FALSE(r.return_status);
  };
  // Every check after the first would also fail; the first one wins.
  expect_refusal(sms(u"nobody", u"12", u"m", u"garbage"), 50000, u"등록되지 않은 아이디입니다.");
  expect_refusal(sms(u"blocked", u"12", u"m", u"garbage"), 50000, u"사용이 중지된 아이디입니다.");
  expect_refusal(sms(u"demo", u"010-12", u"m", u"garbage"), 50000, u"수신번호 오류: 010-12");
  expect_refusal(sms(u"demo", u"0101234567890123"), 50000, u"수신번호 오류: 0101234567890123");
  expect_refusal(sms(u"demo", u"010 8888 1234", u"m", u"garbage"), 50000, u"수신거부 번호입니다.");
  expect_refusal(sms(u"poor", u"01012345678", u"m", u"2024-13-01 10:00"), 241,
                 u"Conversion failed when converting date and/or time from character string.");
  EXPECT_FALSE(sms(u"poor", u"01012345678").error);  // 30 - 20 leaves 10
  expect_refusal(sms(u"poor", u"01012345678"), 50000, u"잔액이 부족합니다.");
  EXPECT_EQ(balance(u"poor"), 10 * kWon);
  EXPECT_EQ(balance(u"demo"), 100000 * kWon);  // refusals cost nothing
}

TEST_F(ProcedureTest, MagicNumbersAndClockDrivenDelivery) {
  auto unacknowledged = [&] {
    auto r = rpc(u"sp_result_data1", {p(u"@user_id", u"demo")});
    EXPECT_EQ(r.result_sets.size(), 1u);
    return r.result_sets.empty() ? ResultSet{} : r.result_sets[0];
  };
  const auto seeded = unacknowledged().rows.size();
  EXPECT_EQ(seeded, 4u);
  ASSERT_FALSE(sms(u"demo", u"01012345678").error);
  ASSERT_FALSE(sms(u"demo", u"010-9999-0042").error);
  ASSERT_FALSE(sms(u"demo", u"01077771234").error);
  EXPECT_EQ(unacknowledged().rows.size(), seeded);  // not delivered yet

  service_->advance_clock(9000);
  EXPECT_EQ(unacknowledged().rows.size(), seeded);
  service_->advance_clock(1500);
  const ResultSet rs = unacknowledged();
  ASSERT_EQ(rs.rows.size(), seeded + 2);  // 0107777 is never delivered
  const std::size_t ok = seeded;
  const std::size_t failed = seeded + 1;
  EXPECT_EQ(cell(rs, ok, u"result_code").i, 0);
  EXPECT_EQ(cell(rs, ok, u"Result_Msg").s, u"성공");
  EXPECT_EQ(cell(rs, ok, u"Custom_tel").s, u"01012345678");
  EXPECT_EQ(cell(rs, ok, u"fee2").i, 20 * kWon);
  EXPECT_EQ(cell(rs, ok, u"kun2").i, 1);
  // The clock runs on from its start while the test runs.
  EXPECT_GE(cell(rs, ok, u"i_time").i, at(2024, 6, 1, 12, 0).ms);
  EXPECT_LT(cell(rs, ok, u"i_time").i, at(2024, 6, 1, 12, 0, 30).ms);
  EXPECT_EQ(cell(rs, ok, u"s_time").i, cell(rs, ok, u"i_time").i);  // s_time is the due time
  EXPECT_EQ(cell(rs, failed, u"result_code").i, 42);
  EXPECT_EQ(cell(rs, failed, u"Result_Msg").s, u"전송실패(0042)");

  // The acknowledgement statement, as the component sends it.
  const auto id = cell(rs, ok, u"id").i;
  auto ack = session_->execute_batch(u"update sms_result set reply = 1 where id = " +
                                     from_utf8(std::to_string(id)) + u" ;");
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_FALSE(ack[0].error);
  EXPECT_EQ(ack[0].rows_affected, 1);
  EXPECT_EQ(unacknowledged().rows.size(), seeded + 1);
  auto none = session_->execute_batch(u"UPDATE sms_result SET reply=1 WHERE id=999999");
  EXPECT_EQ(none.at(0).rows_affected, 0);
}

TEST_F(ProcedureTest, ReservationsListCancelRefundAndDeliver) {
  auto list = [&](std::vector<RpcParam> params, bool by_sub) {
    auto r = rpc(by_sub ? u"sp_YaeyakDataV2" : u"sp_YaeyakData", std::move(params));
    EXPECT_EQ(r.result_sets.size(), 1u) << to_utf8(error_text(r));
    return r.result_sets.empty() ? ResultSet{} : r.result_sets[0];
  };
  EXPECT_EQ(list({p(u"demo")}, false).rows.size(), 1u);  // the seeded 2030 reservation
  ASSERT_FALSE(sms(u"demo", u"01012345678", u"later", u"2024-06-01 13:00", u"sub02").error);
  ASSERT_FALSE(sms(u"demo", u"01012345678", u"past", u"2024-05-01 13:00").error);  // sent now
  const ResultSet all = list({p(u"demo")}, false);
  ASSERT_EQ(all.rows.size(), 2u);
  EXPECT_EQ(cell(all, 0, u"msg").s, u"later");
  EXPECT_EQ(cell(all, 0, u"s_time").i, at(2024, 6, 1, 13, 0).ms);
  EXPECT_EQ(list({p(u"@user_id", u"demo"), p(u"@Sub_ID", u"sub02")}, true).rows.size(), 1u);
  EXPECT_EQ(list({p(u"@user_id", u"demo"), p(u"@Sub_ID", u"sub01")}, true).rows.size(), 1u);

  const auto id = static_cast<std::int32_t>(cell(all, 0, u"id").i);
  const auto before = balance(u"demo");
  EXPECT_FALSE(rpc(u"sp_YaeyakDelete", {p(u"poor"), pi(u"", id)}).error);  // not poor's: ignored
  EXPECT_EQ(list({p(u"demo")}, false).rows.size(), 2u);
  auto del = rpc(u"sp_YaeyakDelete", {p(u"@user_id", u"demo"), pi(u"@id", id)});
  EXPECT_FALSE(del.error);
  EXPECT_EQ(del.return_status, 0);
  EXPECT_EQ(balance(u"demo"), before + 20 * kWon);
  EXPECT_EQ(list({p(u"demo")}, false).rows.size(), 1u);
  EXPECT_FALSE(rpc(u"sp_YaeyakDelete", {p(u"demo"), pi(u"", id)}).error);  // twice: ignored
  EXPECT_EQ(balance(u"demo"), before + 20 * kWon);

  // A reservation is delivered ten seconds after its time.
  ASSERT_FALSE(sms(u"demo", u"01012345678", u"at one", u"2024-06-01 13:00").error);
  service_->set_clock(at(2024, 6, 1, 13, 0, 9));
  EXPECT_EQ(list({p(u"demo")}, false).rows.size(), 1u);  // due: no longer pending
  auto results = rpc(u"sp_result_data1", {p(u"demo")}).result_sets.at(0);
  for (const auto& row : results.rows) EXPECT_NE(row[7].s, u"at one");
  service_->advance_clock(1000);
  results = rpc(u"sp_result_data1", {p(u"demo")}).result_sets.at(0);
  ASSERT_FALSE(results.rows.empty());
  EXPECT_EQ(cell(results, results.rows.size() - 1, u"msg").s, u"at one");
  EXPECT_EQ(cell(results, results.rows.size() - 1, u"s_time").i, at(2024, 6, 1, 13, 0).ms);
}

TEST_F(ProcedureTest, ResultWindowsAndSeedData) {
  auto window = [&](std::u16string from, std::u16string to) {
    return rpc(u"sp_result_data2",
               {p(u"@user_id", u"demo"), p(u"@fr_dtime", from), p(u"@to_dtime", to)});
  };
  const auto march = window(u"2024-03-01 00:00", u"2024/03/31 23:59");
  ASSERT_EQ(march.result_sets.size(), 1u);
  const ResultSet& rs = march.result_sets[0];
  ASSERT_EQ(rs.columns.size(), 15u);
  EXPECT_EQ(rs.columns[0].name, u"id");
  EXPECT_EQ(rs.columns[14].name, u"s_time");
  EXPECT_EQ(rs.columns[1].type, SqlType::VarChar);
  EXPECT_EQ(rs.columns[12].type, SqlType::Money);
  EXPECT_EQ(rs.rows.size(), 6u);  // five results and the reservation's submission
  bool null_name = false, null_fee = false, null_s_time = false, lf_tab = false;
  bool sub01 = false, sub02 = false;
  for (std::size_t i = 0; i < rs.rows.size(); ++i) {
    null_name |= cell(rs, i, u"Custom_nam").is_null;
    null_fee |= cell(rs, i, u"fee2").is_null;
    null_s_time |= cell(rs, i, u"s_time").is_null && !cell(rs, i, u"result_code").is_null;
    lf_tab |= cell(rs, i, u"msg").s.find(u'\n') != std::u16string::npos &&
              cell(rs, i, u"msg").s.find(u'\t') != std::u16string::npos;
    sub01 |= cell(rs, i, u"SUB_ID").s == u"sub01";
    sub02 |= cell(rs, i, u"SUB_ID").s == u"sub02";
  }
  EXPECT_TRUE(null_name && null_fee && null_s_time && lf_tab && sub01 && sub02);

  // The end minute is inclusive: the first seeded result was sent at 10:00:10.
  EXPECT_EQ(window(u"2024-03-04 10:00", u"2024-03-04 10:00").result_sets.at(0).rows.size(), 1u);
  EXPECT_EQ(window(u"2024-03-04 09:00", u"2024-03-04 09:59").result_sets.at(0).rows.size(), 0u);
  const auto by_sub = rpc(u"sp_result_dataV2", {p(u"demo"), p(u"sub02"), p(u"2024-03-01 00:00"),
                                                p(u"2024-03-31 23:59")});
  EXPECT_EQ(by_sub.result_sets.at(0).rows.size(), 2u);
  const auto bad = window(u"  24-03-01 00:00", u"2024-03-31 23:59");
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.error->number, 241);

  const auto deposits = rpc(u"sp_ibgum_data", {p(u"demo")});
  ASSERT_EQ(deposits.result_sets.size(), 1u);
  const ResultSet& d = deposits.result_sets[0];
  ASSERT_EQ(d.rows.size(), 3u);
  EXPECT_EQ(cell(d, 0, u"Ibgum_date").s, u"24-03-02");
  EXPECT_EQ(cell(d, 0, u"User_ID").s, u"demo");
  EXPECT_EQ(cell(d, 0, u"ibgum").i, 100000 * kWon);
  EXPECT_EQ(cell(d, 1, u"ibgum_memo").s.find(u"\r\n") != std::u16string::npos, true);
  EXPECT_TRUE(cell(d, 2, u"ibgum_memo").is_null);
  EXPECT_EQ(rpc(u"sp_ibgum_data", {p(u"poor")}).result_sets.at(0).rows.size(), 0u);
}

TEST_F(ProcedureTest, AddMember) {
  std::vector<RpcParam> params;
  params.push_back(p(u"newbie"));
  params.push_back(p(u"pw1"));
  for (int i = 0; i < 11; ++i) params.push_back(p(u"v" + from_utf8(std::to_string(i))));
  auto r = rpc(u"sp_addmember", params);
  EXPECT_FALSE(r.error) << to_utf8(error_text(r));
  EXPECT_EQ(rpc(u"f_login", {p(u"newbie"), p(u"pw1")}).function_value->s, u"");
  EXPECT_EQ(balance(u"newbie"), 0);
  auto taken = rpc(u"sp_addmember", params);
  ASSERT_TRUE(taken.error);
  EXPECT_EQ(taken.error->text, u"이미 사용중인 아이디입니다.");
  params[0] = p(u"");
  auto empty = rpc(u"sp_addmember", params);
  ASSERT_TRUE(empty.error);
  EXPECT_EQ(empty.error->text, u"아이디를 입력하세요.");
  params.pop_back();
  auto missing = rpc(u"sp_addmember", params);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->number, 201);
}

TEST_F(ProcedureTest, TextIsStoredAndLoggedExactly) {
  std::u16string odd = u"a";
  odd.push_back(static_cast<char16_t>(0xD800));  // lone high surrogate
  odd.push_back(u'\0');
  odd += u"z\xDC00";  // lone low surrogate
  std::u16string long_text(10000, u'가');
  long_text[9999] = u'끝';
  ASSERT_FALSE(sms(u"demo", u"01012345678", odd).error);
  ASSERT_FALSE(sms(u"demo", u"01012345678", long_text, u"", odd).error);
  service_->advance_clock(11000);
  const auto rs = rpc(u"sp_result_data1", {p(u"demo")}).result_sets.at(0);
  ASSERT_GE(rs.rows.size(), 2u);
  EXPECT_EQ(cell(rs, rs.rows.size() - 2, u"msg").s, odd);
  EXPECT_EQ(cell(rs, rs.rows.size() - 1, u"msg").s, long_text);
  EXPECT_EQ(cell(rs, rs.rows.size() - 1, u"SUB_ID").s, odd);

  const auto calls = service_->state().calls.list(u"sp_sms_send", 0);
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[0].params.size(), 10u);
  EXPECT_EQ(calls[0].params[6].name, u"@msg");
  EXPECT_EQ(calls[0].params[6].value.s, odd);
  EXPECT_EQ(calls[1].params[6].value.s, long_text);
  EXPECT_EQ(to_utf8(odd), "a\xEF\xBF\xBD" + std::string(1, '\0') + "z\xEF\xBF\xBD");
  EXPECT_EQ(utf16le_hex(odd), "610000d800007a0000dc");
}

TEST_F(ProcedureTest, StateSurvivesReopeningAndResetSeedsAgain) {
  ASSERT_FALSE(sms(u"demo", u"01012345678").error);
  session_.reset();
  service_.reset();
  ServiceConfig config;
  config.data_dir = dir_;
  config.clock_start = at(2024, 6, 1, 12, 0);
  service_ = std::make_unique<Service>(config);
  session_ = open_logged_in();
  EXPECT_EQ(balance(u"demo"), (100000 - 20) * kWon);
  session_.reset();
  service_.reset();
  config.reset = true;
  service_ = std::make_unique<Service>(config);
  session_ = open_logged_in();
  EXPECT_EQ(balance(u"demo"), 100000 * kWon);
}

}  // namespace
}  // namespace sandbox::test
