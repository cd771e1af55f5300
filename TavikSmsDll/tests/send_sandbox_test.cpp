// SmsSend, LmsSend and MmsSend against a real sandbox: which executions happen, exactly what the
// server receives, and how a failure part-way through a recipient list ends the call.
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include <taviksms/taviksms.h>

#include "base/module_state.h"
#include "component_fixture.h"

namespace taviksms::test {
namespace {

const std::u16string kRefused = u"수신거부 번호입니다.";

class SendTest : public ComponentTest {
 public:
  // The call-log entries of `proc` made since the last mark().
  nlohmann::json fresh(const std::string& proc) {
    nlohmann::json all = calls(proc);
    nlohmann::json out = nlohmann::json::array();
    for (const auto& c : all) {
      if (c["seq"].get<long>() > mark_) out.push_back(c);
    }
    return out;
  }
  void mark() {
    nlohmann::json all = calls();
    mark_ = all.empty() ? 0 : all.back()["seq"].get<long>();
  }
  std::vector<std::u16string> tels(const nlohmann::json& cs) {
    std::vector<std::u16string> out;
    for (const auto& c : cs) out.push_back(call_param(c, "@Custom_tel").value_or(u"<null>"));
    return out;
  }
  std::u16string sms(TavikSms& c, const std::u16string& tel, const std::u16string& msg = u"hi",
                     std::int32_t typ = 0, const std::u16string& yk = u"") {
    return c.SmsSend(u"sub01", u"0212345678", u"cid", u"홍길동", tel, msg, typ, yk);
  }

 private:
  long mark_ = 0;
};

TEST_F(SendTest, OneExecutionPerNonEmptyRecipientEntryInListOrder) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  using V = std::vector<std::u16string>;
  const std::size_t stored_before = sandbox().get("/messages").size();

  mark();
  EXPECT_EQ(sms(c, u""), u"OK");
  EXPECT_EQ(sms(c, u",;::;,"), u"OK");
  EXPECT_TRUE(fresh("sp_sms_send").empty());

  mark();
  EXPECT_EQ(sms(c, u"01011112222;01033334444:01055556666"), u"OK");
  EXPECT_EQ(tels(fresh("sp_sms_send")), (V{u"01011112222", u"01033334444", u"01055556666"}));

  mark();
  EXPECT_EQ(sms(c, u",01011112222,"), u"OK");
  EXPECT_EQ(tels(fresh("sp_sms_send")), (V{u"01011112222"}));

  // Blanks are part of an entry; a number listed twice is submitted twice.
  mark();
  EXPECT_EQ(sms(c, u"01011112222, 01033334444;01011112222"), u"OK");
  EXPECT_EQ(tels(fresh("sp_sms_send")), (V{u"01011112222", u" 01033334444", u"01011112222"}));

  // Only the recipient changes between the executions of one call.
  auto cs = fresh("sp_sms_send");
  for (const char* p : {"@user_id", "@Sub_ID", "@User_tel", "@Custom_id", "@Custom_nam", "@msg",
                        "@n_code", "@YK_Time"}) {
    EXPECT_EQ(call_param(cs[0], p), call_param(cs[2], p)) << p;
  }
  EXPECT_EQ(sandbox().get("/messages").size() - stored_before, 7u);
}

// An empty recipient list executes nothing and answers "OK", whatever state the shared recordset is
// in: here an earlier procedure that wrongly returned rows left it open.
TEST_F(SendTest, NoRecipientIsOkEvenWithTheRecordsetLeftOpen) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/faults/rows?proc=sp_sms_send&count=2");
  ASSERT_EQ(sms(c, u"01011112222"), u"OK");  // its rows stay in the shared recordset
  sandbox().del("/faults");
  const std::function<std::u16string(const std::u16string&)> sends[] = {
      [&](const std::u16string& tel) { return sms(c, tel); },
      [&](const std::u16string& tel) {
        return c.LmsSend(u"", u"0212345678", u"", u"", tel, u"subject", u"m", u"");
      },
      [&](const std::u16string& tel) {
        return c.MmsSend(u"", u"0212345678", u"", u"", tel, u"subject", u"m", u"", u"", u"", u"");
      },
  };
  mark();
  for (const auto& send : sends) {
    for (const std::u16string tel : {u"", u",;::;,"}) EXPECT_EQ(send(tel), u"OK") << utf8(tel);
  }
  EXPECT_TRUE(fresh("").empty()) << fresh("").dump();
}

TEST_F(SendTest, EveryParameterArrivesExactlyInItsPlace) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  std::u16string long_msg;
  for (int i = 0; i < 10000; ++i)
    long_msg += (i % 3 == 0) ? u'가' : static_cast<char16_t>(u'a' + i % 26);
  mark();
  ASSERT_EQ(c.SmsSend(u"sub01", u"02-1234-5678", u"고객7", u"김철수", u"01011112222",
                      u"안녕하세요\r\n테스트", 7, u" 2406011230 "),
            u"OK");
  ASSERT_EQ(c.LmsSend(u"sub02", u"0212345678", u"", u"", u"01033334444", u"제목", long_msg, u""),
            u"OK");
  ASSERT_EQ(c.MmsSend(u"", u"0212345678", u"c", u"n", u"01055556666", u"", u"그림", u"",
                      u"D:\\사진\\Photo1.JPG", u"", u"202406011230"),
            u"OK");

  auto sms_calls = fresh("sp_sms_send");
  ASSERT_EQ(sms_calls.size(), 1u);
  const auto& s = sms_calls[0];
  std::vector<std::string> names;
  for (const auto& p : s["params"]) names.push_back(p["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"@user_id", "@Sub_ID", "@User_tel", "@Custom_id",
                                             "@Custom_nam", "@Custom_tel", "@msg", "@typ",
                                             "@n_code", "@YK_Time"}));
  EXPECT_EQ(call_param(s, "@user_id"), u"demo");
  EXPECT_EQ(call_param(s, "@Sub_ID"), u"sub01");
  EXPECT_EQ(call_param(s, "@User_tel"), u"02-1234-5678");
  EXPECT_EQ(call_param(s, "@Custom_id"), u"고객7");
  EXPECT_EQ(call_param(s, "@Custom_nam"), u"김철수");
  EXPECT_EQ(call_param(s, "@msg"), u"안녕하세요\r\n테스트");
  EXPECT_EQ(call_param(s, "@n_code"), u"");  // empty, not NULL
  EXPECT_EQ(call_param(s, "@YK_Time"), u"2024-06-01 12:30");
  for (const auto& p : s["params"]) {
    if (p["name"] == "@typ") {
      EXPECT_EQ(p["value"].get<std::int64_t>(), 7) << p.dump();
    }
  }

  auto lms_calls = fresh("sp_lms_send");
  ASSERT_EQ(lms_calls.size(), 1u);
  EXPECT_EQ(call_param(lms_calls[0], "@subject"), u"제목");
  EXPECT_EQ(call_param(lms_calls[0], "@msg"), long_msg);
  EXPECT_EQ(call_param(lms_calls[0], "@YK_Time"), u"");
  EXPECT_EQ(call_param(lms_calls[0], "@Custom_id"), u"");
  EXPECT_EQ(lms_calls[0]["params"].size(), 9u);

  auto mms_calls = fresh("sp_mms_send");
  ASSERT_EQ(mms_calls.size(), 1u);
  const auto& m = mms_calls[0];
  EXPECT_EQ(m["params"].size(), 12u);
  EXPECT_EQ(call_param(m, "@fnam1"), u"");
  // The name FTP_Upload stores the picture under: lower case.
  EXPECT_EQ(call_param(m, "@fnam2"), u"demo_photo1.jpg");
  EXPECT_EQ(call_param(m, "@fnam3"), u"");
  EXPECT_EQ(call_param(m, "@msg"), u"그림");
  EXPECT_EQ(call_param(m, "@YK_Time"), u"2024-06-01 12:30");
  EXPECT_EQ(c.SmsJanek(), 100000 - 20 - 50 - 200);
}

// The command keeps its parameter bindings from execution to execution and rebinds only what
// changed: values that grow, shrink to empty, switch procedure or interleave with other calls on
// the connection must all arrive exactly.
TEST_F(SendTest, KeptBindingsNeverLeakAValueIntoTheNextExecution) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  mark();
  const std::u16string long_msg(4500, u'긴');
  // Values grow (past the size first bound, and past the buffer's capacity), shrink to empty,
  // and another command uses the statement in between.
  EXPECT_EQ(sms(c, u"01012345;0101234567890", u"hi", 7), u"OK");
  EXPECT_EQ(sms(c, u"01012345678", long_msg, 8), u"OK");
  EXPECT_EQ(sms(c, u"01099990001", u"", -1), u"OK");
  EXPECT_GE(c.SmsJanek(), 0);
  EXPECT_EQ(c.LmsSend(u"", u"02", u"", u"", u"01012345678", u"제목", u"x", u""), u"OK");
  EXPECT_EQ(sms(c, u"01055556666", u"short", 3, u"2406011230"), u"OK");

  const auto sent = fresh("sp_sms_send");
  ASSERT_EQ(sent.size(), 5u);
  const std::vector<std::u16string> expect_tel = {u"01012345", u"0101234567890", u"01012345678",
                                                  u"01099990001", u"01055556666"};
  EXPECT_EQ(tels(sent), expect_tel);
  const std::vector<std::u16string> expect_msg = {u"hi", u"hi", long_msg, u"", u"short"};
  const std::vector<int> expect_typ = {7, 7, 8, -1, 3};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(call_param(sent[i], "@msg"), expect_msg[i]) << "execution " << i;
    EXPECT_EQ(sent[i]["params"][7]["value"], expect_typ[i]) << "execution " << i;
  }
  EXPECT_EQ(call_param(sent[3], "@YK_Time"), u"");
  EXPECT_EQ(call_param(sent[4], "@YK_Time"), u"2024-06-01 12:30");
  const auto lms = fresh("sp_lms_send");
  ASSERT_EQ(lms.size(), 1u);
  EXPECT_EQ(call_param(lms[0], "@msg"), u"x");
  EXPECT_EQ(call_param(lms[0], "@Sub_ID"), u"");
}

TEST_F(SendTest, ServerErrorForTheSecondOfThreeEndsTheLoop) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  // The service refuses the magic number: the first is submitted, the third never tried.
  mark();
  EXPECT_EQ(sms(c, u"01011112222;01088881234;01033334444"), kRefused);
  EXPECT_EQ(tels(fresh("sp_sms_send")),
            (std::vector<std::u16string>{u"01011112222", u"01088881234"}));
  EXPECT_EQ(c.SmsJanek(), 100000 - 20);

  // The same for a long message; and a refusal raised by the procedure (a fault) is the result.
  mark();
  EXPECT_EQ(c.LmsSend(u"", u"", u"", u"", u"01011112222:01088880000;01033334444", u"s", u"m", u""),
            kRefused);
  EXPECT_EQ(fresh("sp_lms_send").size(), 2u);
  // The server's text exactly, even when it starts with a bracketed word like a driver prefix.
  sandbox().post("/faults/raise?proc=sp_lms_send&times=1&message=" +
                 testing::url_encode("[안내] 잠시 후 다시 시도하세요 [x]") + "&number=50000");
  EXPECT_EQ(c.LmsSend(u"", u"", u"", u"", u"01011112222", u"s", u"m", u""),
            u"[안내] 잠시 후 다시 시도하세요 [x]");
  EXPECT_EQ(c.LmsSend(u"", u"", u"", u"", u"01011112222", u"s", u"m", u""), u"OK");
  // A rejection of one recipient leaves the session usable.
  EXPECT_EQ(c.MmsSend(u"", u"", u"", u"", u"01055556666", u"s", u"m", u"", u"", u"", u""), u"OK");
}

TEST_F(SendTest, SendingBeforeAnyLoginOpensTheConnectionAndSendsAnEmptyUser) {
  TavikSms c;
  EXPECT_EQ(sms(c, u"01011112222"), u"등록되지 않은 아이디입니다.");
  EXPECT_EQ(c.MmsSend(u"", u"", u"", u"", u"01011112222", u"", u"", u"C:\\Pics\\Photo1.JPG", u"",
                      u"", u""),
            u"등록되지 않은 아이디입니다.");
  auto sms_calls = calls("sp_sms_send");
  ASSERT_EQ(sms_calls.size(), 1u);
  EXPECT_EQ(call_param(sms_calls[0], "@user_id"), u"");
  auto mms_calls = calls("sp_mms_send");
  ASSERT_EQ(mms_calls.size(), 1u);
  EXPECT_EQ(call_param(mms_calls[0], "@fnam1"), u"_photo1.jpg");
  // Not logged in: each call opened the connection itself.
  EXPECT_FALSE(core::module_state().logged_in);
  EXPECT_EQ(total_logins(), 2);
}

TEST_F(SendTest, ConfigurationFailureIsTheResultAndNothingIsSent) {
  for (int n = 1; n <= 3; ++n) set_mirror(n, "down");
  TavikSms c;
  EXPECT_EQ(sms(c, u"01011112222"), u"IP Download Error");
  EXPECT_EQ(c.LmsSend(u"", u"", u"", u"", u"01011112222", u"", u"", u""), u"IP Download Error");
  EXPECT_TRUE(calls("sp_sms_send").empty());
}

// ---- bad input ----

TEST_F(SendTest, TenThousandRecipientsAreTenThousandExecutions) {
  sandbox().post("/accounts?user=demo&balance=1000000");
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  std::u16string list;
  for (int i = 0; i < 10000; ++i) {
    std::string n = std::to_string(10000000 + i);
    list += u"010";
    list += std::u16string(n.begin(), n.end());
    list += (i % 3 == 0) ? u";" : (i % 3 == 1) ? u":" : u",";
  }
  mark();
  EXPECT_EQ(sms(c, list), u"OK");
  auto cs = fresh("sp_sms_send");
  ASSERT_EQ(cs.size(), 10000u);
  EXPECT_EQ(call_param(cs[9999], "@Custom_tel"), u"01010009999");
  EXPECT_EQ(sms(c, std::u16string(10000, u';')), u"OK");
  EXPECT_EQ(c.SmsJanek(), 1000000 - 10000 * 20);
}

TEST_F(SendTest, ExtremeTypAndOddCharactersTravelUnchanged) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  std::u16string nul_text = std::u16string(u"a") + u'\0' + u"b";
  std::u16string lone = std::u16string(u"x") + char16_t(0xD800) + u"y" + char16_t(0xDC00);
  mark();
  EXPECT_EQ(sms(c, u"01011112222", nul_text, std::numeric_limits<std::int32_t>::min()), u"OK");
  EXPECT_EQ(sms(c, u"01011112222", lone, std::numeric_limits<std::int32_t>::max()), u"OK");
  auto cs = fresh("sp_sms_send");
  ASSERT_EQ(cs.size(), 2u);
  EXPECT_EQ(call_param(cs[0], "@msg"), nul_text);
  EXPECT_EQ(call_param(cs[1], "@msg"), lone);
  std::vector<std::int64_t> typs;
  for (const auto& call : cs) {
    for (const auto& p : call["params"]) {
      if (p["name"] == "@typ") typs.push_back(p["value"].get<std::int64_t>());
    }
  }
  EXPECT_EQ(typs, (std::vector<std::int64_t>{std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max()}));
  // A NUL inside a recipient entry is part of the entry (the service rejects the number).
  std::u16string bad_tel = std::u16string(u"0101111") + u'\0' + u"2222";
  EXPECT_NE(sms(c, bad_tel), u"OK");
}

TEST_F(SendTest, ConnectionDroppingMidLoopEndsTheCallWithAnErrorText) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/faults/drop?after=2&proc=sp_sms_send");
  mark();
  auto start = std::chrono::steady_clock::now();
  std::u16string r = sms(c, u"01011112222;01033334444;01055556666");
  EXPECT_EQ(r.rfind(u"Communication link failure", 0), 0u) << utf8(r);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  auto cs = fresh("sp_sms_send");
  ASSERT_EQ(cs.size(), 2u);  // the second was logged as dropped, the third never sent
  EXPECT_TRUE(cs[0]["error"].is_null());
  EXPECT_FALSE(cs[1]["error"].is_null());
  nlohmann::json messages = sandbox().get("/messages");
  int sent = 0;
  for (const auto& m : messages) {
    if (m.value("kind", "") == "sms" && m.dump().find("01011112222") != std::string::npos) ++sent;
  }
  EXPECT_EQ(sent, 1);
  // The next call opens the session again by itself.
  EXPECT_EQ(sms(c, u"01011112222"), u"OK");
}

}  // namespace
}  // namespace taviksms::test
