// Hostile input: huge and odd texts through the database session, broken configuration files,
// a mirror that never answers, a database that drops the connection mid-call.
#include <chrono>

#include <taviksms/taviksms.h>

#include "base/module_state.h"
#include "component_fixture.h"

namespace taviksms::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kFail = -12345678;
const std::u16string kUnknownUser = u"등록되지 않은 아이디입니다.";

class BadInputTest : public ComponentTest {};

TEST_F(BadInputTest, OddUserIdsTravelExactlyAndGetTheServersAnswer) {
  std::u16string with_nul(u"de\0mo", 5);
  std::u16string lone{u'a', 0xD800, u'b', 0xDFFF};
  std::u16string korean = u"한국사용자";
  std::u16string huge(1 << 20, u'x');
  huge[12345] = u'한';
  TavikSms c;
  for (const auto& id : {with_nul, lone, korean, huge}) {
    sandbox().del("/calls");
    EXPECT_EQ(c.Login(id, id), kUnknownUser) << utf8(id.substr(0, 20));
    auto log = calls("f_login");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(call_param(log[0], "@user_id"), id);
    EXPECT_EQ(call_param(log[0], "@user_pw"), id);
    EXPECT_EQ(c.SmsJanek(), 0);
  }
  // A valid id with a 1 MB password of odd characters is simply a wrong password.
  std::u16string pw = huge + with_nul + lone;
  EXPECT_EQ(c.Login(u"demo", pw), u"비밀번호가 일치하지 않습니다.");
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
}

TEST_F(BadInputTest, ConfigurationThatIsHtmlOrBinaryIsADownloadError) {
  for (const char* mode : {"html", "binary"}) {
    restart_session();
    for (int n = 1; n <= 3; ++n) set_mirror(n, mode);
    TavikSms c;
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"IP Download Error") << mode;
    EXPECT_EQ(c.SmsJanek(), kFail);
  }
  // A configuration value with bytes that are not valid text does not upset the reader.
  restart_session();
  for (int n = 2; n <= 3; ++n) set_mirror(n, "down");
  static const char kOdd[] = "[ip]\nsms_id=\xFF\xFE\x00zz\nsms_ip=\x80\n";
  set_mirror(1, "custom", std::string(kOdd, sizeof kOdd - 1));
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"False");
}

TEST_F(BadInputTest, AHangingMirrorCostsAtMostTheDownloadTimeout) {
  set_mirror(1, "hang");
  TavikSms c;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 8s) << "bounded by the 2 s test limit, with slack";
  EXPECT_EQ(mirror_hits()[1], 1);
}

TEST_F(BadInputTest, DatabaseDroppingTheConnectionMidCall) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  // A read whose connection drops is tried once more, and only once.
  sandbox().post("/faults/drop?after=1&proc=f_sms_janek");
  EXPECT_EQ(c.SmsJanek(), 100000);
  sandbox().post("/faults/drop?after=1&proc=f_sms_janek");
  sandbox().post("/faults/drop?after=2&proc=f_sms_janek");
  EXPECT_EQ(c.SmsJanek(), kFail);
  EXPECT_TRUE(core::module_state().logged_in);
  EXPECT_EQ(c.SmsJanek(), 100000);  // the session opened again, without Login

  // So is Login's check.
  sandbox().post("/faults/drop?after=1&proc=f_login");
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/faults/drop?after=1&proc=f_login");
  sandbox().post("/faults/drop?after=2&proc=f_login");
  std::u16string r = c.Login(u"demo", u"demo1234");
  EXPECT_EQ(r.rfind(u"Communication link failure", 0), 0u) << utf8(r);
  EXPECT_FALSE(core::module_state().logged_in);
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.SmsJanek(), 100000);
}

}  // namespace
}  // namespace taviksms::test
