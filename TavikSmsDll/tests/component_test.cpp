// The component against a real sandbox: configuration fetch, database session, login, logout,
// balance, and the per-thread module state shared by instances.
#include <chrono>
#include <functional>
#include <thread>

#include <taviksms/taviksms.h>

#include "base/module_state.h"
#include "component_fixture.h"

namespace taviksms::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kFail = -12345678;
const std::u16string kWrongPassword = u"비밀번호가 일치하지 않습니다.";

// An ip1.ini for mirror mode "custom", pointing at this sandbox's database.
std::string ini_for(testing::SandboxProcess& sb, const std::string& sms_id,
                    const std::string& sms_ip, const std::string& sms_pw) {
  return "[ip]\r\nsms_id=" + sms_id + "\r\nsms_ip=" + sms_ip + "\r\nsms_pw=" + sms_pw +
         "\r\nsftp_id=smsftp\r\nsftp_ip=127.0.0.1\r\nsftp_pt=" + std::to_string(sb.ports().sftp) +
         "\r\nsftp_pw=xy\r\n";
}

std::string db_address(testing::SandboxProcess& sb) {
  return "127.0.0.1," + std::to_string(sb.ports().tds);
}

// Waits (bounded) until the sandbox reports `n` open database connections.
bool wait_open(ComponentTest& t, int n, int (ComponentTest::*open)()) {
  for (int i = 0; i < 100; ++i) {
    if ((t.*open)() == n) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class ConfigFetchTest : public ComponentTest {};

TEST_F(ConfigFetchTest, NextMirrorServesWhenOneIsDownOrAnswersAnHttpError) {
  set_mirror(1, "down");
  {
    TavikSms c;
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  }
  auto hits = mirror_hits();
  EXPECT_EQ(hits[1], 1);
  EXPECT_EQ(hits[2], 0) << "mirror 3 must not be asked once mirror 2 served";
  EXPECT_TRUE(std::filesystem::exists(ini_path()));
  // It holds the logins: only its owner may read it.
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(ini_path()).permissions() & perms::all,
            perms::owner_read | perms::owner_write);

  // An HTTP error status is a failed mirror too, not a downloaded file.
  restart_session();
  set_mirror(1, "404");
  set_mirror(2, "500");
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  hits = mirror_hits();
  EXPECT_EQ(hits[0], 1);
  EXPECT_EQ(hits[1], 2);
  EXPECT_EQ(hits[2], 1);
}

TEST_F(ConfigFetchTest, AllMirrorsFailingLeavesTheConfigurationAsItWas) {
  // A first fetch that stores values but no database address, so the next open fetches again.
  set_mirror(1, "custom", ini_for(sandbox(), "sms_app", "", testing::masked_secret("tavik2024db")));
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"False");
  const core::ModuleState before = core::module_state();
  EXPECT_EQ(before.config.db_user, u"sms_app");
  EXPECT_EQ(before.config.db_password, u"tavik2024db");

  for (int n = 1; n <= 3; ++n) set_mirror(n, "down");
  ASSERT_TRUE(std::filesystem::exists(ini_path()));  // an older local copy is not used
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"IP Download Error");
  EXPECT_EQ(c.SmsJanek(), kFail);
  const core::ModuleState& after = core::module_state();
  EXPECT_EQ(after.config.db_user, before.config.db_user);
  EXPECT_EQ(after.config.db_server, before.config.db_server);
  EXPECT_EQ(after.config.db_password, before.config.db_password);
  EXPECT_EQ(after.config.sftp_port, before.config.sftp_port);
}

TEST_F(ConfigFetchTest, LibraryFolderWhoseNameIsNotValidTextStillReceivesTheFile) {
  // Latin-1 "café": the folder's name must survive the trip through the UTF-16 core.
  const std::filesystem::path odd = folder() / std::string("caf\xE9 lib");
  std::filesystem::create_directory(odd);
  ThreadSession here(sandbox(), odd);
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_TRUE(std::filesystem::exists(odd / "ip1.ini"));
  EXPECT_EQ(c.Logout(), u"OK");
}

// A mirror that answers 200 with something that is not the configuration (no sms_id in [ip]) is a
// failed mirror, as an HTTP error status is: the next one is asked. When none serves one, the
// result is "IP Download Error", nothing is stored, and the next call fetches again.
TEST_F(ConfigFetchTest, AFileWithoutSmsIdIsAFailedMirror) {
  struct Served {
    const char* mode;
    std::string body;
  };
  const Served cases[] = {{"no-sms-id", ""}, {"html", ""}, {"binary", ""}, {"custom", ""}};
  for (const Served& served : cases) {
    SCOPED_TRACE(served.mode);
    restart_session();
    for (int n = 1; n <= 3; ++n) set_mirror(n, "up");
    for (int n = 1; n <= 3; ++n) sandbox().post("/mirrors/" + std::to_string(n) + "/reset-hits");
    set_mirror(1, served.mode, served.body);
    TavikSms c;
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    EXPECT_EQ(mirror_hits(), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(c.SmsJanek(), 100000);

    restart_session();
    for (int n = 1; n <= 3; ++n) set_mirror(n, served.mode, served.body);
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"IP Download Error");
    EXPECT_TRUE(core::module_state().config.db_server.empty());
    EXPECT_TRUE(core::module_state().config.db_user.empty());
    EXPECT_EQ(mirror_hits(), (std::vector<int>{2, 2, 1}));
    set_mirror(3, "up");
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");  // fetched again, from the third
  }
  // Only this thread's own files were ever written: ip1.ini, and no download left behind.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder())) {
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"ip1.ini"});
}

TEST_F(ConfigFetchTest, ValuesKeep79BytesAndPasswordsAreUnmasked) {
  std::string long_id(100, 'u');
  set_mirror(
      1, "custom",
      ini_for(sandbox(), long_id, db_address(sandbox()), testing::masked_secret("tavik2024db")));
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"False");  // no such database login
  EXPECT_EQ(core::module_state().config.db_user, std::u16string(79, u'u'));
  EXPECT_EQ(core::module_state().config.db_password, u"tavik2024db");
  EXPECT_EQ(core::module_state().config.sftp_password, u"");  // "xy": two characters hide nothing

  // Quoted values lose their quotes; the masked password opens the database.
  restart_session();
  set_mirror(1, "custom",
             ini_for(sandbox(), "\"sms_app\"", "  \"" + db_address(sandbox()) + "\"  ",
                     testing::masked_secret("tavik2024db")));
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.SmsJanek(), 100000);
}

TEST_F(ConfigFetchTest, WrongDatabasePasswordGivesFalse) {
  set_mirror(1, "custom",
             ini_for(sandbox(), "sms_app", db_address(sandbox()), testing::masked_secret("nope")));
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"False");
  EXPECT_EQ(c.SmsJanek(), kFail);
  // A wrong but non-empty server address is not fetched again.
  EXPECT_EQ(mirror_hits()[0], 1);
}

TEST_F(ConfigFetchTest, EmptyDbServerAfterAGoodFetchFetchesAgain) {
  set_mirror(1, "custom", ini_for(sandbox(), "sms_app", "", testing::masked_secret("tavik2024db")));
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"False");
  EXPECT_EQ(c.SmsJanek(), kFail);
  EXPECT_EQ(mirror_hits()[0], 2);
  set_mirror(1, "up");
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(mirror_hits()[0], 3);
  EXPECT_EQ(c.SmsJanek(), 100000);
  EXPECT_EQ(mirror_hits()[0], 3);
}

class SessionTest : public ComponentTest {};

TEST_F(SessionTest, RejectedLoginReturnsTheServersMessageAndTheNextCallReopens) {
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"wrong"), kWrongPassword);
  EXPECT_FALSE(core::module_state().logged_in);
  int logins = total_logins();
  sandbox().del("/calls");
  EXPECT_EQ(c.SmsJanek(), 100000);  // the rejected user's balance, on a fresh connection
  EXPECT_EQ(total_logins(), logins + 1);
  auto log = calls("f_sms_janek");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(call_param(log[0], "@user_id"), u"demo");
  EXPECT_EQ(c.SmsJanek(), 100000);
  EXPECT_EQ(total_logins(), logins + 2) << "LoggedIn stays false, so every call reopens";
}

// A server error whose message is empty, or reads "OK", never becomes a result that reads as
// success: it is "Unspecified error", through every rule a method may have.
TEST_F(SessionTest, AServerErrorWithoutAUsableMessageNeverReadsAsSuccess) {
  struct Case {
    const char* proc;
    std::function<std::u16string(TavikSms&)> call;
  };
  const Case cases[] = {
      {"f_login", [](TavikSms& c) { return c.Login(u"demo", u"demo1234"); }},
      {"sp_sms_send",
       [](TavikSms& c) {
         return c.SmsSend(u"", u"0212345678", u"", u"", u"01011112222", u"m", 0, u"");
       }},
      {"sp_ibgum_data", [](TavikSms& c) { return c.SmsIbgum(); }},
      {"sp_YaeyakDelete",
       [](TavikSms& c) {
         try {
           return c.YaeyakDelete(6);
         } catch (const ComError& e) {
           return e.description;  // no handler: the error escapes, with the same text
         }
       }},
  };
  for (const std::string message : {"", "OK"}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(k.proc) + " raising \"" + message + "\"");
      TavikSms c;
      if (std::string(k.proc) != "f_login") ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
      sandbox().post(std::string("/faults/raise?proc=") + k.proc + "&message=" + message);
      EXPECT_EQ(k.call(c), u"Unspecified error");
      if (std::string(k.proc) == "f_login") EXPECT_FALSE(core::module_state().logged_in);
    }
  }
}

TEST_F(SessionTest, LoginAlwaysBuildsAFreshConnectionAndLogoutClosesIt) {
  TavikSms c;
  EXPECT_EQ(c.Logout(), u"OK");  // without a login
  EXPECT_EQ(mirror_hits()[0], 0);
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(total_logins(), 2);
  EXPECT_TRUE(wait_open(*this, 1, &ComponentTest::open_connections)) << "the first was released";
  EXPECT_EQ(c.SmsJanek(), 100000);
  EXPECT_EQ(total_logins(), 2);
  EXPECT_EQ(c.Logout(), u"OK");
  EXPECT_TRUE(wait_open(*this, 0, &ComponentTest::open_connections));
  EXPECT_EQ(c.Logout(), u"OK");
  // The configuration survives the logout: no second download.
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(mirror_hits()[0], 1);
}

TEST_F(SessionTest, BalanceConversion) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/faults/janek-null?on=1");
  EXPECT_EQ(c.SmsJanek(), kFail);
  sandbox().post("/faults/janek-null?on=0");
  EXPECT_EQ(c.SmsJanek(), 100000);
  const std::pair<const char*, std::int32_t> cases[] = {
      {"2.5", 2}, {"3.5", 4}, {"-2.5", -2}, {"7.5001", 8}, {"3000000000", kFail}};
  for (const auto& [balance, expected] : cases) {
    sandbox().post(std::string("/accounts?user=demo&balance=") + balance);
    EXPECT_EQ(c.SmsJanek(), expected) << balance;
  }
}

TEST_F(SessionTest, CallsBeforeAnyLoginSendAnEmptyUserId) {
  TavikSms c;
  EXPECT_EQ(c.SmsJanek(), 0);  // the balance of no user
  auto log = calls("f_sms_janek");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(call_param(log[0], "@user_id"), u"");
  EXPECT_FALSE(core::module_state().logged_in);
}

class ModuleStateTest : public ComponentTest {};

TEST_F(ModuleStateTest, ASecondInstanceEndsTheLoggedInStateForTheFirst) {
  TavikSms a;
  ASSERT_EQ(a.Login(u"demo", u"demo1234"), u"OK");
  int logins = total_logins();
  TavikSms b;
  EXPECT_EQ(a.SmsJanek(), 100000);
  EXPECT_EQ(total_logins(), logins + 1) << "the first instance had to reopen";
}

TEST_F(ModuleStateTest, DestroyingAnInstanceClosesTheSharedConnection) {
  TavikSms a;
  {
    TavikSms b;
    ASSERT_EQ(b.Login(u"demo", u"demo1234"), u"OK");
  }
  EXPECT_TRUE(wait_open(*this, 0, &ComponentTest::open_connections));
  EXPECT_TRUE(core::module_state().logged_in);  // left as it was
  EXPECT_EQ(a.SmsJanek(), kFail);
  EXPECT_EQ(a.SmsJanek(), kFail) << "still logged in, so it does not reopen";
  EXPECT_EQ(a.SmsSend(u"", u"", u"", u"", u"01011112222", u"x", 0, u""),
            u"The connection cannot be used to perform this operation. It is either closed or "
            u"invalid in this context.");  // as the reference says
  // The late-bound path reports the same; a new Login recovers.
  Value args[] = {std::u16string(u"demo"), std::u16string(u"demo1234")};
  EXPECT_EQ(std::get<std::u16string>(a.invoke("login", args)), u"OK");
  EXPECT_EQ(a.SmsJanek(), 100000);
}

TEST_F(ModuleStateTest, ThreadsHoldIndependentSessions) {
  struct Outcome {
    std::u16string login;
    std::int32_t janek = 0;
    std::int32_t janek_after_other_logout = 0;
  };
  Outcome demo, poor;
  std::atomic<int> stage{0};
  auto worker = [&](Outcome& out, const std::u16string& user, const std::u16string& pw,
                    bool logs_out) {
    ThreadSession session(sandbox(), folder());
    TavikSms c;
    out.login = c.Login(user, pw);
    out.janek = c.SmsJanek();
    stage.fetch_add(1);
    for (int i = 0; i < 500 && stage.load() < 2; ++i) std::this_thread::sleep_for(10ms);
    if (logs_out) {
      c.Logout();
      stage.fetch_add(1);
    } else {
      for (int i = 0; i < 500 && stage.load() < 3; ++i) std::this_thread::sleep_for(10ms);
      out.janek_after_other_logout = c.SmsJanek();
    }
  };
  std::thread t1(worker, std::ref(demo), u"demo", u"demo1234", true);
  std::thread t2(worker, std::ref(poor), u"poor", u"poor1234", false);
  t1.join();
  t2.join();
  EXPECT_EQ(demo.login, u"OK");
  EXPECT_EQ(poor.login, u"OK");
  EXPECT_EQ(demo.janek, 100000);
  EXPECT_EQ(poor.janek, 30);
  EXPECT_EQ(poor.janek_after_other_logout, 30) << "one thread's logout leaves the other's session";
  EXPECT_FALSE(core::module_state().logged_in) << "the test thread's own state is untouched";
}

TEST_F(ModuleStateTest, EscapingErrorsAndDispatch) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/faults/raise?proc=sp_YaeyakDelete&message=refused");
  try {
    c.YaeyakDelete(6);
    FAIL() << "YaeyakDelete has no handler: the provider error must escape";
  } catch (const ComError& e) {
    EXPECT_EQ(static_cast<std::uint32_t>(e.number), 0x80040E14u);
    EXPECT_EQ(e.description, u"refused");
  }
  EXPECT_EQ(&methods().back(), find_method("AddMember")) << "the table ends with the last method";
  EXPECT_EQ(std::string(methods()[3].name), "Login");
  EXPECT_EQ(find_method("SMSJANEK"), &methods()[5]);
  Value none[1] = {std::u16string(u"x")};
  EXPECT_THROW(c.invoke("NoSuchMethod", {}), ComError);
  EXPECT_THROW(c.invoke("Logout", none), ComError);  // wrong argument count
  std::exception_ptr from_other_thread;
  std::thread([&] {
    try {
      c.Logout();
    } catch (...) {
      from_other_thread = std::current_exception();
    }
  }).join();
  EXPECT_TRUE(from_other_thread) << "an instance answers only on its own thread";
}

}  // namespace
}  // namespace taviksms::test
