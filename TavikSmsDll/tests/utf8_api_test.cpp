// The C++ API in UTF-8 (<taviksms/utf8.h>): texts reach the service and come back as the UTF-16
// class carries them, and an argument that is not UTF-8 is refused, naming its parameter, before
// anything is sent.
#include <taviksms/utf8.h>

#include "component_fixture.h"

namespace taviksms::test {
namespace {

class Utf8ApiTest : public ComponentTest {};

TEST_F(Utf8ApiTest, TextsGoAndComeBackAsTheUtf16ClassCarriesThem) {
  utf8::TavikSms sms;
  EXPECT_EQ(sms.Login("demo", "wrong"), utf8(u"비밀번호가 일치하지 않습니다."));
  EXPECT_EQ(sms.Login("demo", "demo1234"), "OK");
  const std::int32_t before = sms.SmsJanek();
  EXPECT_EQ(sms.SmsSend("sub01", "0212345678", "c1", "홍길동", "01012345678;01087654321",
                        "안녕하세요 😀", 0, ""),
            "OK");
  EXPECT_EQ(sms.SmsJanek(), before - 40);
  const auto sent = calls("sp_sms_send");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(call_param(sent[0], "@msg"), u"안녕하세요 😀");
  EXPECT_EQ(call_param(sent[1], "@Custom_nam"), u"홍길동");
  // A failure text of the service in Korean.
  EXPECT_EQ(sms.SmsSend("", "0212345678", "c2", "", "01088881234", "x", 0, ""),
            utf8(u"수신거부 번호입니다."));
  EXPECT_EQ(sms.utf16().Logout(), u"OK");
}

TEST_F(Utf8ApiTest, InvalidUtf8IsRefusedNamingTheParameterAndNothingIsSent) {
  utf8::TavikSms sms;
  ASSERT_EQ(sms.Login("demo", "demo1234"), "OK");
  struct Case {
    std::string bad;
    std::string description;
  };
  const std::vector<Case> cases = {
      {"\x80", "msg: not valid UTF-8 (byte 1)"},              // a stray continuation byte
      {"ab\xC3", "msg: not valid UTF-8 (byte 3)"},            // truncated at the end
      {"a\xC3(b", "msg: not valid UTF-8 (byte 2)"},           // truncated inside
      {"\xC0\xAF", "msg: not valid UTF-8 (byte 1)"},          // overlong '/'
      {"\xE0\x80\xAF", "msg: not valid UTF-8 (byte 1)"},      // overlong, three bytes
      {"\xED\xA0\x80", "msg: not valid UTF-8 (byte 1)"},      // an encoded surrogate
      {"\xF4\x90\x80\x80", "msg: not valid UTF-8 (byte 1)"},  // above U+10FFFF
      {"\xFF", "msg: not valid UTF-8 (byte 1)"},              // never a UTF-8 byte
      {"안녕\xEC\x95", "msg: not valid UTF-8 (byte 7)"},      // after valid Korean
  };
  for (const Case& c : cases) {
    try {
      sms.SmsSend("", "0212345678", "c1", "", "01012345678", c.bad, 0, "");
      ADD_FAILURE() << c.description << ": accepted";
    } catch (const ComError& e) {
      EXPECT_EQ(e.number, static_cast<std::int32_t>(0x80070057u)) << c.description;
      EXPECT_EQ(utf8(e.description), c.description);
      EXPECT_EQ(std::string(e.what()), c.description);
    }
  }
  // Of several bad arguments the first is named; a bad argument of Login logs nothing in.
  const auto named = [&](auto call) {
    try {
      call();
    } catch (const ComError& e) {
      return utf8(e.description);
    }
    return std::string("accepted");
  };
  EXPECT_EQ(named([&] { sms.SmsSend("\xFF", "\xFF", "", "", "0101", "m", 0, "\xFF"); }),
            "SUB_ID: not valid UTF-8 (byte 1)");
  EXPECT_EQ(named([&] { sms.SmsSend("", "", "", "", "0101", "m", 0, "24\xFF"); }),
            "YK_Time: not valid UTF-8 (byte 3)");
  EXPECT_EQ(named([&] { sms.Login("demo", "demo\xC3"); }), "Passwd: not valid UTF-8 (byte 5)");
  EXPECT_EQ(named([&] { sms.FTP_Upload("/tmp/\xE9t\xE9.jpg"); }), "fnam: not valid UTF-8 (byte 6)");
  EXPECT_TRUE(calls("sp_sms_send").empty());
  EXPECT_EQ(calls("f_login").size(), 1u);
}

}  // namespace
}  // namespace taviksms::test
