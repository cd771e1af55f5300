// The session layer against the sandbox where it is easiest to get wrong: parameter bindings
// reused across procedures of different shapes, exact procedure lookup among look-alikes, unset
// parameters, an open recordset, awkward passwords, processes sharing ip1.ini, and a library
// folder the user cannot write.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include <taviksms/doctor.h>
#include <taviksms/taviksms.h>

#include "base/error.h"
#include "base/module_state.h"
#include "base/text.h"
#include "component_fixture.h"
#include "db/session.h"

namespace taviksms::test {
namespace {

using db::Value;

struct ProcShape {
  const char16_t* name;
  bool is_function;
  std::vector<std::pair<const char16_t*, bool>> params;  // name, int
};

// Every procedure and function the component calls, with its parameters.
const std::vector<ProcShape>& index_of_calls() {
  static const std::vector<ProcShape> procs = {
      {u"f_login", true, {{u"@user_id", false}, {u"@user_pw", false}}},
      {u"f_sms_janek", true, {{u"@user_id", false}}},
      {u"sp_ibgum_data", false, {{u"@user_id", false}}},
      {u"sp_addmember",
       false,
       {{u"@user_id", false},
        {u"@user_pw", false},
        {u"@recommender", false},
        {u"@tax_no", false},
        {u"@tax_ltd", false},
        {u"@tax_name", false},
        {u"@tax_jongmok", false},
        {u"@tax_upte", false},
        {u"@tax_tel", false},
        {u"@tax_fax", false},
        {u"@tax_mail", false},
        {u"@tax_juso", false},
        {u"@tax_damdang", false}}},
      {u"sp_sms_send",
       false,
       {{u"@user_id", false},
        {u"@Sub_ID", false},
        {u"@User_tel", false},
        {u"@Custom_id", false},
        {u"@Custom_nam", false},
        {u"@Custom_tel", false},
        {u"@msg", false},
        {u"@typ", true},
        {u"@n_code", false},
        {u"@YK_Time", false}}},
      {u"sp_lms_send",
       false,
       {{u"@user_id", false},
        {u"@Sub_ID", false},
        {u"@User_tel", false},
        {u"@Custom_id", false},
        {u"@Custom_nam", false},
        {u"@Custom_tel", false},
        {u"@subject", false},
        {u"@msg", false},
        {u"@YK_Time", false}}},
      {u"sp_mms_send",
       false,
       {{u"@user_id", false},
        {u"@Sub_ID", false},
        {u"@User_tel", false},
        {u"@Custom_id", false},
        {u"@Custom_nam", false},
        {u"@Custom_tel", false},
        {u"@subject", false},
        {u"@msg", false},
        {u"@fnam1", false},
        {u"@fnam2", false},
        {u"@fnam3", false},
        {u"@YK_Time", false}}},
      {u"sp_result_data1", false, {{u"@user_id", false}}},
      {u"sp_result_data2",
       false,
       {{u"@user_id", false}, {u"@fr_dtime", false}, {u"@to_dtime", false}}},
      {u"sp_result_dataV2",
       false,
       {{u"@user_id", false}, {u"@sub_id", false}, {u"@fr_dtime", false}, {u"@to_dtime", false}}},
      {u"sp_YaeyakData", false, {{u"@user_id", false}}},
      {u"sp_YaeyakDataV2", false, {{u"@user_id", false}, {u"@Sub_ID", false}}},
      {u"sp_YaeyakDelete", false, {{u"@user_id", false}, {u"@id", true}}},
  };
  return procs;
}

// A text of random length (now and then past 4000 characters, the long-text threshold), ASCII
// or Hangul.
std::u16string random_text(std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, 9);
  std::size_t len = 0;
  switch (pick(rng)) {
    case 0:
      len = 0;
      break;
    case 1:
      len = std::uniform_int_distribution<std::size_t>(3990, 6000)(rng);
      break;
    default:
      len = std::uniform_int_distribution<std::size_t>(1, 40)(rng);
  }
  std::u16string out;
  const bool hangul = pick(rng) < 3;
  for (std::size_t i = 0; i < len; ++i) {
    out.push_back(hangul ? static_cast<char16_t>(0xAC00 + rng() % 11172)
                         : static_cast<char16_t>(u'0' + rng() % 75));
  }
  return out;
}

class SessionLayerTest : public ComponentTest {
 protected:
  nlohmann::json calls_since(std::int64_t seq) {
    return sandbox().get("/calls?since=" + std::to_string(seq));
  }
};

// The parameters bound for one call are exactly the values set, whatever ran on the command
// before it: procedures with and without a return status, functions, longer and shorter lists.
TEST_F(SessionLayerTest, BindingsFollowEachProcedureInRandomSequences) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  core::ModuleState& s = core::module_state();
  db::DbCmd& cmd = *s.session.cmd;
  db::DbRs& rs = *s.session.rs;

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto& procs = index_of_calls();
  const ProcShape* current = nullptr;
  std::int64_t seq = calls_since(0).back()["seq"].get<std::int64_t>();
  for (int step = 0; step < 300; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    // Now and then the same procedure again on the kept parameters, values changed.
    if (!current || rng() % 3 != 0) {
      current = &procs[rng() % procs.size()];
      if (rng() % 4 != 0) cmd.refresh_parameters();
      cmd.set_command_text(current->name);
    }
    std::vector<Value> sent;
    for (const auto& [name, is_int] : current->params) {
      Value v;
      switch (rng() % 8) {
        case 0:
          v = Value::null();
          break;
        case 1:
          v = Value();  // never set: goes as the procedure's default or as NULL
          break;
        default:
          v = is_int ? Value::integer(static_cast<std::int32_t>(rng()))
                     : Value::text(random_text(rng));
      }
      if (v.kind() != Value::Kind::empty) cmd.parameter(name).set_value(v);
      sent.push_back(cmd.parameter(name).value());
    }
    const bool via_open = !current->is_function && rng() % 2 == 0;
    std::int32_t err = error_number([&] {
      if (via_open) {
        rs.set_cursor_location(rng() % 2 ? db::kUseClient : db::kUseServer);
        rs.open(cmd);
        if (rs.state() == db::kStateOpen) rs.close();
      } else {
        cmd.execute();
      }
    });
    EXPECT_TRUE(err == 0 || err == core::err::kProvider) << err;

    // The call itself, after the parameter description when the procedure was described anew.
    nlohmann::json log = nlohmann::json::array();
    for (auto& entry : calls_since(seq)) {
      seq = entry["seq"].get<std::int64_t>();
      if (entry["proc"] != "sp_sproc_columns") log.push_back(entry);
    }
    ASSERT_EQ(log.size(), 1u) << log.dump().substr(0, 2000);
    const nlohmann::json& call = log[0];
    EXPECT_EQ(call["proc"].get<std::string>(), utf8(current->name));
    ASSERT_EQ(call["params"].size(), current->params.size()) << call.dump().substr(0, 2000);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const auto& logged = call["params"][i];
      const char16_t* name = current->params[i].first;
      EXPECT_TRUE(core::iequals(core::utf8_to_utf16(logged["name"].get<std::string>()), name));
      if (sent[i].kind() == Value::Kind::null || sent[i].kind() == Value::Kind::empty) {
        EXPECT_TRUE(logged["null"].get<bool>()) << utf8(name);
      } else if (current->params[i].second) {
        EXPECT_EQ(logged["value"].get<std::int64_t>(), sent[i].raw_integer()) << utf8(name);
      } else {
        EXPECT_EQ(call_param(call, logged["name"].get<std::string>()), sent[i].raw_text())
            << utf8(name);
      }
    }
    if (HasFailure()) break;
  }
  // Still one healthy session; nothing above was sent as "demo".
  EXPECT_EQ(c.SmsJanek(), 100000);
  EXPECT_EQ(open_connections(), 1);
}

// Unset parameters: the driver here (FreeTDS) cannot send "default" and refuses before sending
// anything, so the call goes once, with NULL, and the connection remembers.
TEST_F(SessionLayerTest, UnsetParametersGoOnceAsNullWhereDefaultsCannotBeSent) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  db::DbCmd& cmd = *core::module_state().session.cmd;
  for (int round = 0; round < 2; ++round) {
    cmd.refresh_parameters();
    cmd.set_command_text(u"sp_YaeyakDataV2");
    cmd.parameter(u"@user_id").set_value(Value::text(u"demo"));
    auto rs = cmd.execute();
    EXPECT_EQ(rs->state(), db::kStateOpen);
  }
  auto log = calls("sp_YaeyakDataV2");
  ASSERT_EQ(log.size(), 2u);
  for (const auto& call : log) {
    EXPECT_EQ(call_param(call, "@user_id"), u"demo");
    EXPECT_EQ(call_param(call, "@Sub_ID"), std::nullopt);
    EXPECT_FALSE(call.contains("error") && !call["error"].is_null()) << call.dump();
  }
}

// A procedure that answers rows where none are expected leaves the recordset open; the next
// cursor setting is refused as the data-access library refuses it.
TEST_F(SessionLayerTest, OpenRecordsetRefusesANewCursorLocation) {
  TavikSms c;
  ASSERT_NO_FATAL_FAILURE(open_deposit_rows(c, u"@user_id"));
  db::DbRs& rs = *core::module_state().session.rs;
  std::u16string description;
  EXPECT_EQ(error_number([&] { rs.set_cursor_location(db::kUseServer); }, &description),
            core::err::runtime(3705));
  EXPECT_EQ(description, u"Operation is not allowed when the object is open.");
  EXPECT_EQ(rs.cursor_location(), db::kUseClient);
  rs.close();
  rs.set_cursor_location(db::kUseServer);
  EXPECT_EQ(rs.cursor_location(), db::kUseServer);

  // A send procedure breaking its "no row set" contract: the first recipient's call goes, the
  // second is refused before it is sent.
  sandbox().post("/faults/rows?proc=sp_sms_send&count=1");
  std::u16string r =
      c.SmsSend(u"", u"0212345678", u"", u"", u"01011112222,01033334444", u"hi", 0, u"");
  EXPECT_EQ(r, u"Operation is not allowed when the object is open.");
  EXPECT_EQ(calls("sp_sms_send").size(), 1u);
  sandbox().del("/faults");
  // The recordset stays open (a send does not close it) until the session is closed.
  EXPECT_EQ(c.SmsSend(u"", u"0212345678", u"", u"", u"01055556666", u"hi", 0, u""),
            u"Operation is not allowed when the object is open.");
  EXPECT_EQ(c.Logout(), u"OK");
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.SmsSend(u"", u"0212345678", u"", u"", u"01055556666", u"hi", 0, u""), u"OK");
  EXPECT_EQ(calls("sp_sms_send").size(), 2u);
}

class DecoyProcedureTest : public SessionLayerTest {
  std::vector<std::string> sandbox_args() const override { return {"--decoy-procedures"}; }
};

// spXsmsXsend matches the pattern sp_sms_send, legacy.sp_sms_send has the very name: neither's
// parameters may join the description of dbo.sp_sms_send.
TEST_F(DecoyProcedureTest, ProcedureIsLookedUpExactly) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  db::DbCmd& cmd = *core::module_state().session.cmd;
  cmd.refresh_parameters();
  cmd.set_command_text(u"sp_sms_send");
  for (const char16_t* foreign : {u"@decoy_id", u"@decoy_text", u"@legacy_phone", u"@legacy_flag"})
    EXPECT_EQ(error_number([&] { cmd.parameter(foreign); }), core::err::kItemNotFound);
  EXPECT_EQ(c.SmsSend(u"s1", u"0212345678", u"id", u"nam", u"01012345678", u"msg", 0, u""), u"OK");
  auto log = calls("sp_sms_send");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["params"].size(), 10u) << log[0].dump();
  EXPECT_FALSE(log[0].contains("error") && !log[0]["error"].is_null()) << log[0].dump();
  EXPECT_EQ(call_param(log[0], "@Custom_tel"), u"01012345678");
  // The decoys are really listed: the unescaped pattern in every schema finds three procedures.
  auto rs = core::module_state().session.conn->execute(
      u"exec sp_sproc_columns @procedure_name = 'sp_sms_send'");
  std::set<std::u16string> found;
  for (; !rs->eof(); rs->move_next()) {
    found.insert(rs->field(u"PROCEDURE_OWNER").to_text() + u"." +
                 rs->field(u"PROCEDURE_NAME").to_text());
  }
  EXPECT_EQ(found, (std::set<std::u16string>{u"dbo.spXsmsXsend;1", u"dbo.sp_sms_send;1",
                                             u"legacy.sp_sms_send;1"}));
}

// Database passwords that need quoting in an ODBC connection string.
class PasswordTest : public SessionLayerTest, public ::testing::WithParamInterface<std::string> {
  std::vector<std::string> sandbox_args() const override { return {"--db-password", GetParam()}; }
};

TEST_P(PasswordTest, LoginWorksWithThePasswordAsServed) {
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(core::module_state().config.db_password, core::utf8_to_utf16(GetParam()));
  EXPECT_EQ(total_logins() - sandbox().get("/connections")["failed_logins"].get<int>(), 1);
}

INSTANTIATE_TEST_SUITE_P(Quoting, PasswordTest,
                         ::testing::Values("pa}ss", "pa;ss", " pass", "}{pa}}ss", "pass "),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           return "case" + std::to_string(param.index);
                         });

}  // namespace
}  // namespace taviksms::test

namespace taviksms::test {
namespace {

testing::RunResult login_process(const testing::SandboxProcess& sb, const std::string& folder,
                                 const std::vector<std::string>& extra = {}) {
  std::vector<std::string> argv = {TAVIKSMS_LOGIN_PROCESS_EXE, sb.mirror_base(1), sb.mirror_base(2),
                                   sb.mirror_base(3), folder};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return testing::run_command(argv, "", std::chrono::seconds(60));
}

std::vector<std::string> folder_entries(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.push_back(e.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Hosts that share the library's folder share its ip1.ini: downloads and reads of one process
// must not meet another's.
TEST_F(SessionLayerTest, ProcessesSharingTheFolderEachReadAWholeFile) {
  constexpr int kProcesses = 24;
  constexpr int kRounds = 20;
  int failures = 0;
  std::string first_failure;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<testing::RunResult> results(kProcesses);
    std::vector<std::thread> threads;
    for (int i = 0; i < kProcesses; ++i) {
      threads.emplace_back([&, i] { results[i] = login_process(sandbox(), folder().string()); });
    }
    for (auto& t : threads) t.join();
    for (const auto& r : results) {
      if (r.exit_code == 0 && r.out.starts_with("OK\n")) continue;
      if (failures++ == 0) first_failure = r.out + r.err;
    }
  }
  EXPECT_EQ(failures, 0) << first_failure;
  // Every download came from mirror 1: no write or rename failed over to the others.
  EXPECT_EQ(mirror_hits(), (std::vector<int>{kProcesses * kRounds, 0, 0}));
  EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{"ip1.ini"});
}

// A data source's port beyond 65535 is refused, not taken modulo 65536 (which would reach the
// sandbox's own port here); so are 0 and a port that is not a number.
TEST_F(SessionLayerTest, OutOfRangeDatabasePortFailsTheOpen) {
  {
    TavikSms c;
    ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    c.Logout();
  }
  std::ifstream f(ini_path(), std::ios::binary);
  const std::string ini((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const std::size_t comma = ini.find(',', ini.find("sms_ip="));
  const std::size_t end = ini.find_first_of("\r\n", comma);
  const long port = std::stol(ini.substr(comma + 1, end - comma - 1));
  const int logins = total_logins();
  for (const std::string& bad :
       {std::to_string(port + 65536), std::string("0"), std::string("x1")}) {
    SCOPED_TRACE(bad);
    std::string changed = ini;
    changed.replace(comma + 1, end - comma - 1, bad);
    set_mirror(1, "custom", changed);
    restart_session();
    TavikSms c;
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"False");
  }
  EXPECT_EQ(total_logins(), logins) << "no login reached the server";
  set_mirror(1, "custom", ini);
  restart_session();
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
}

// The database connection probes a silent peer: TCP keep-alive after 30 s of silence, every 5 s,
// three times.
TEST_F(SessionLayerTest, TheDatabaseConnectionKeepsItselfAlive) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  platform::posix::PosixPlatform os;
  const auto sockets = os.tcp_sockets_to(sandbox().ports().tds);
  ASSERT_EQ(sockets.size(), 1u);
  const int fd = static_cast<int>(sockets[0].handle);
  for (const auto& [level, option, expected] :
       {std::tuple<int, int, int>{SOL_SOCKET, SO_KEEPALIVE, 1},
        {IPPROTO_TCP, TCP_KEEPIDLE, 30},
        {IPPROTO_TCP, TCP_KEEPINTVL, 5},
        {IPPROTO_TCP, TCP_KEEPCNT, 3}}) {
    int value = -1;
    socklen_t len = sizeof value;
    ASSERT_EQ(::getsockopt(fd, level, option, &value, &len), 0);
    EXPECT_EQ(value, expected) << option;
  }
}

// Fetches do not queue behind each other: with every mirror hanging, each thread's fetch costs
// its own three download limits (2 s each in the tests' session), however many run at once.
TEST_F(SessionLayerTest, HangingMirrorsCostEachThreadItsOwnDownloadsOnly) {
  for (int n = 1; n <= 3; ++n) set_mirror(n, "hang");
  constexpr int kThreads = 4;
  std::vector<double> seconds(kThreads);
  std::vector<std::u16string> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ThreadSession own(sandbox(), folder());
      const auto start = std::chrono::steady_clock::now();
      TavikSms c;
      results[i] = c.Login(u"demo", u"demo1234");
      seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
  }
  for (auto& t : threads) t.join();
  for (int n = 1; n <= 3; ++n) set_mirror(n, "up");
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], u"IP Download Error");
    EXPECT_LT(seconds[i], 10.0) << "thread " << i << " waited for the others' downloads";
  }
  EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{}) << "no download left behind";

  // And a fetch that works puts a whole ip1.ini in place and leaves nothing else.
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{"ip1.ini"});
}

// taviksms doctor asks every mirror; while one of them hangs, a host's fetch into the same folder
// is not held up: the doctor takes the folder's lock only to put its chosen file in place.
TEST_F(SessionLayerTest, DoctorWaitingForAHangingMirrorHoldsUpNoFetch) {
  set_mirror(2, "hang");
  std::thread doctor([&] {
    ThreadSession own(sandbox(), folder());
    const std::vector<DoctorCheck> checks = doctor_checks();
    ASSERT_GE(checks.size(), 3u);
    EXPECT_TRUE(checks[0].ok) << checks[0].detail;
    EXPECT_FALSE(checks[1].ok) << checks[1].detail;
  });
  // The doctor is waiting for mirror 2 (hits count the request when it arrives).
  for (int i = 0; i < 500 && mirror_hits()[1] == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(mirror_hits()[1], 1);
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  // Done while the doctor still waits for mirror 2: it has not asked mirror 3 yet.
  EXPECT_EQ(mirror_hits()[2], 0) << "the fetch waited for the doctor's downloads";
  doctor.join();
  set_mirror(2, "up");
  EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{"ip1.ini"});
}

// A system-wide install: the library's folder is not writable, ip1.ini goes to the user's
// cache folder instead; a writable library folder keeps it.
TEST_F(SessionLayerTest, UnwritableLibraryFolderUsesTheUsersCacheFolder) {
  const std::filesystem::path lib = folder() / "lib";
  const std::filesystem::path cache = folder() / "cache";
  std::filesystem::create_directories(lib);
  std::filesystem::create_directories(cache);
  std::vector<std::string> as_user;
  if (geteuid() == 0) {
    // Root writes anywhere: the host runs as an ordinary user (nobody) instead.
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(chmod(folder().c_str(), 0755), 0);
    ASSERT_EQ(chown(cache.c_str(), kNobody, kNobody), 0);
    as_user = {std::to_string(kNobody)};
  }
  ASSERT_EQ(chmod(lib.c_str(), 0555), 0);
  std::vector<std::string> extra = {cache.string()};
  extra.insert(extra.end(), as_user.begin(), as_user.end());
  auto r = login_process(sandbox(), lib.string(), extra);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "OK\n" + (cache / "taviksms").string() + "\n");
  EXPECT_TRUE(std::filesystem::exists(cache / "taviksms" / "ip1.ini"));
  EXPECT_TRUE(folder_entries(lib).empty());

  // Writable again: the library's folder comes first.
  ASSERT_EQ(chmod(lib.c_str(), 0777), 0);
  r = login_process(sandbox(), lib.string(), extra);
  EXPECT_EQ(r.out, "OK\n" + lib.string() + "\n") << r.err;
  EXPECT_EQ(folder_entries(lib), std::vector<std::string>{"ip1.ini"});
  EXPECT_EQ(mirror_hits(), (std::vector<int>{2, 0, 0}));
}

// The user's cache folder comes from the password database, whatever the environment says.
TEST(UserCacheFolder, FromThePasswordDatabaseNotTheEnvironment) {
  const struct passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  const char* home = getenv("HOME");
  const std::string saved = home ? home : "";
  setenv("HOME", "/elsewhere", 1);
  setenv("XDG_CACHE_HOME", "/elsewhere/cache", 1);
  platform::posix::PosixPlatform p;
  const std::string base = p.user_cache_base();
  if (home) setenv("HOME", saved.c_str(), 1);
  unsetenv("XDG_CACHE_HOME");
  std::string expected = pw->pw_dir;
  if (expected.size() > 1 && expected.back() == '/') expected.pop_back();
  EXPECT_EQ(base, expected + "/.cache");
}

}  // namespace
}  // namespace taviksms::test
