// `taviksms doctor` against the sandbox's failure modes: one line per check, the cause and a hint
// for each failure, and a non-zero exit when any check fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sandbox_process.h"

namespace {

using taviksms::testing::masked_secret;
using taviksms::testing::RunResult;
using taviksms::testing::SandboxProcess;

class DoctorTest : public ::testing::Test {
 public:
  void SetUp() override { sandbox_ = std::make_unique<SandboxProcess>(); }

  std::string mirrors() const {
    return sandbox_->mirror_base(1) + ";" + sandbox_->mirror_base(2) + ";" +
           sandbox_->mirror_base(3);
  }
  RunResult doctor(std::vector<std::string> env = {}) {
    bool has_mirrors = false;
    for (const auto& e : env) has_mirrors = has_mirrors || e.rfind("TAVIKSMS_MIRRORS=", 0) == 0;
    if (!has_mirrors) env.push_back("TAVIKSMS_MIRRORS=" + mirrors());
    return taviksms::testing::run_command({TAVIKSMS_SHELL_EXE, "doctor"}, "",
                                          std::chrono::seconds(60), env);
  }
  std::string ini(const std::string& db_pw, const std::string& sftp_pw, bool with_sftp = true) {
    std::string s = "[ip]\r\nsms_id=" + sandbox_->db_user() + "\r\nsms_ip=127.0.0.1," +
                    std::to_string(sandbox_->ports().tds) + "\r\nsms_pw=" + masked_secret(db_pw) +
                    "\r\n";
    if (with_sftp) {
      s += "sftp_id=" + sandbox_->sftp_user() +
           "\r\nsftp_ip=127.0.0.1\r\nsftp_pt=" + std::to_string(sandbox_->ports().sftp) +
           "\r\nsftp_pw=" + masked_secret(sftp_pw) + "\r\n";
    }
    return s;
  }
  void all_mirrors_serve(const std::string& body) {
    for (int n = 1; n <= 3; ++n)
      sandbox_->post("/mirrors/" + std::to_string(n) + "?mode=custom", body);
  }
  // The line of one check ("ok    name ..." or "FAIL  name ..."), with its hint line if any.
  static std::string line(const RunResult& r, const std::string& name) {
    std::size_t at = r.out.find("  " + name + " ");
    if (at == std::string::npos) return "";
    at = r.out.rfind('\n', at);
    at = at == std::string::npos ? 0 : at + 1;
    std::size_t end = r.out.find('\n', at);
    if (r.out.compare(end + 1, 12, "      hint: ") == 0) end = r.out.find('\n', end + 1);
    return r.out.substr(at, end - at);
  }

  std::unique_ptr<SandboxProcess> sandbox_;
};

TEST_F(DoctorTest, EveryCheckPassesAgainstAWorkingSandbox) {
  RunResult r = doctor();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  for (const char* name :
       {"mirror list", "mirror 1", "mirror 2", "mirror 3", "ip1.ini keys", "ODBC driver",
        "database login", "database TLS", "SFTP login", "ip1.ini folder"}) {
    EXPECT_EQ(line(r, name).rfind("ok    ", 0), 0u) << name << "\n" << r.out;
  }
  EXPECT_NE(line(r, "mirror 1").find("HTTP 200"), std::string::npos);
  EXPECT_NE(r.out.find("all checks passed"), std::string::npos);
}

// What the server offers about encryption, and what it means for the connection; a server the
// driver cannot finish TLS with fails the login, and the hint points at TLS.
TEST_F(DoctorTest, TheServersEncryptionIsShown) {
  const struct {
    std::vector<std::string> args;
    const char* tls;
    bool login_ok;
  } cases[] = {
      {{"--tds-encryption", "off"}, "the server offers no encryption", true},
      {{}, "the login goes encrypted (TLS), the rest of the session in clear", true},
      {{"--tds-encryption", "required"}, "the whole session is encrypted (TLS)", true},
      {{"--tds-tls-max", "1.3"}, "the server offers encryption", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tls);
    sandbox_ = std::make_unique<SandboxProcess>(c.args);
    RunResult r = doctor();
    EXPECT_EQ(line(r, "database TLS").rfind("ok    ", 0), 0u) << r.out;
    EXPECT_NE(line(r, "database TLS").find(c.tls), std::string::npos) << r.out;
    EXPECT_EQ(line(r, "database login").rfind("ok    ", 0) == 0, c.login_ok) << r.out;
    EXPECT_EQ(line(r, "database login").find("a failed TLS handshake") != std::string::npos,
              !c.login_ok)
        << r.out;
  }
  // Nothing that speaks TDS at the port.
  all_mirrors_serve("[ip]\r\nsms_id=a\r\nsms_ip=127.0.0.1," +
                    std::to_string(sandbox_->ports().control) + "\r\nsms_pw=xx\r\n");
  RunResult r = doctor();
  EXPECT_NE(line(r, "database TLS").find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(line(r, "database TLS").find("no PRELOGIN answer"), std::string::npos) << r.out;
}

TEST_F(DoctorTest, EachFailingMirrorIsNamedWithItsErrorOrStatus) {
  sandbox_->post("/mirrors/1?mode=down");
  // The second mirror's whole address, as the sandbox prints it, where its base belongs.
  const std::string whole = sandbox_->mirror_base(2) + "/uini/ip1.ini";
  RunResult r = doctor({"TAVIKSMS_MIRRORS=" + sandbox_->mirror_base(1) + ";" + whole + ";" +
                        sandbox_->mirror_base(3)});
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_NE(line(r, "mirror 1").find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(line(r, "mirror 1").find("error: "), std::string::npos) << r.out;
  EXPECT_NE(line(r, "mirror 1").find("hint: "), std::string::npos) << r.out;
  EXPECT_NE(line(r, "mirror 2").find("HTTP 404"), std::string::npos) << r.out;
  EXPECT_TRUE(line(r, "mirror 2")
                  .ends_with("hint: the address already ends in /uini/ip1.ini, which the "
                             "component adds itself: give the mirror's base address, e.g. " +
                             sandbox_->mirror_base(2)))
      << r.out;
  EXPECT_EQ(line(r, "mirror 3").rfind("ok    ", 0), 0u) << r.out;
  // The third mirror's file is the one checked, as the component would use it.
  EXPECT_EQ(line(r, "database login").rfind("ok    ", 0), 0u) << r.out;
}

// A mirror that answers 200 with something that is not the configuration fails, and its line says
// what it served; the component's file comes from the next mirror.
TEST_F(DoctorTest, AMirrorServingSomethingElseFailsAndSaysWhatItServed) {
  sandbox_->post("/mirrors/1?mode=html");
  sandbox_->post("/mirrors/2?mode=custom", "");
  RunResult r = doctor();
  EXPECT_EQ(r.exit_code, 1) << r.out;
  const std::string first = line(r, "mirror 1"), second = line(r, "mirror 2");
  EXPECT_EQ(first.rfind("FAIL  ", 0), 0u) << r.out;
  EXPECT_NE(first.find("HTTP 200"), std::string::npos) << r.out;
  EXPECT_NE(first.find("not ip1.ini (no sms_id in its [ip] section); it begins \"<!DOCTYPE html>"),
            std::string::npos)
      << r.out;
  EXPECT_NE(first.find("hint: the mirror answers with something that is not the configuration"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(second.rfind("FAIL  ", 0), 0u) << r.out;
  EXPECT_NE(second.find("not ip1.ini: an empty body"), std::string::npos) << r.out;
  EXPECT_EQ(line(r, "mirror 3").rfind("ok    ", 0), 0u) << r.out;
  EXPECT_EQ(line(r, "ip1.ini keys").rfind("ok    ", 0), 0u) << r.out;
  EXPECT_EQ(line(r, "database login").rfind("ok    ", 0), 0u) << r.out;
}

TEST_F(DoctorTest, NoMirrorServingFailsTheKeysAndTheLoginsWithoutTryingThem) {
  for (int n = 1; n <= 3; ++n) sandbox_->post("/mirrors/" + std::to_string(n) + "?mode=500");
  RunResult r = doctor();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(line(r, "ip1.ini keys").find("no mirror served ip1.ini"), std::string::npos) << r.out;
  EXPECT_NE(line(r, "ip1.ini keys").find("IP Download Error"), std::string::npos) << r.out;
  EXPECT_NE(line(r, "database login").find("not tried"), std::string::npos) << r.out;
  // Mirrors that answer with an error status are there: nothing is said of starting them.
  EXPECT_EQ(r.out.find("start taviksms-sandbox"), std::string::npos) << r.out;
  // Local addresses where nothing listens: most likely the sandbox is not running.
  r = doctor({"TAVIKSMS_MIRRORS=http://127.0.0.1:1;http://localhost:1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(line(r, "ip1.ini keys")
                .find("nothing answers at these local addresses: start "
                      "taviksms-sandbox"),
            std::string::npos)
      << r.out;
}

TEST_F(DoctorTest, MissingKeysAndARefusedDatabaseLoginShowTheServersMessage) {
  all_mirrors_serve(ini("wrong-password", "", false));
  RunResult r = doctor();
  EXPECT_EQ(r.exit_code, 1);
  const std::string keys = line(r, "ip1.ini keys");
  EXPECT_NE(keys.find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(keys.find("missing or empty: sftp_id sftp_ip sftp_pt sftp_pw"), std::string::npos)
      << r.out;
  const std::string db = line(r, "database login");
  EXPECT_NE(db.find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(db.find("Login failed"), std::string::npos) << r.out;
  EXPECT_NE(db.find("\"False\""), std::string::npos) << r.out;
  EXPECT_EQ(db.find("wrong-password"), std::string::npos);  // no password in the output
  EXPECT_NE(line(r, "SFTP login").find("not tried"), std::string::npos) << r.out;
}

TEST_F(DoctorTest, ARefusedSftpLoginFails) {
  all_mirrors_serve(ini(sandbox_->db_password(), "not-the-password"));
  RunResult r = doctor();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(line(r, "database login").rfind("ok    ", 0), 0u) << r.out;
  EXPECT_NE(line(r, "SFTP login").find("could not connect or authenticate"), std::string::npos)
      << r.out;
  EXPECT_NE(line(r, "SFTP login").find("FTP Connect Error"), std::string::npos) << r.out;
}

TEST_F(DoctorTest, AMalformedOverrideIsRefusedAndNamed) {
  for (const std::string& bad : {std::string("http://a;http://b;http://c;http://d"),
                                 std::string("ftp://h"), "http://" + std::string(10240, 'x')}) {
    // No mirror is asked then, the built-in ones neither.
    RunResult r = doctor({"TAVIKSMS_MIRRORS=" + bad});
    EXPECT_EQ(r.exit_code, 1);
    const std::string l = line(r, "mirror list");
    EXPECT_EQ(l.rfind("FAIL  ", 0), 0u) << r.out;
    EXPECT_NE(l.find("no mirror is asked"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("mirror 1"), std::string::npos) << r.out;
    EXPECT_LT(l.size(), 600u);  // a 10 KB value is not echoed whole
  }
}

TEST_F(DoctorTest, ControlCharactersInWhatTheChecksMeetAreShownEscaped) {
  // A refused override and ip1.ini's values reach the lines escaped, never as terminal commands.
  std::string served = ini(sandbox_->db_password(), sandbox_->sftp_password());
  served.replace(served.find("sftp_ip=127.0.0.1"), 17, "sftp_ip=\x1b]0;owned\x07\x1b[2J");
  all_mirrors_serve(served);
  RunResult r = doctor({"TAVIKSMS_MIRRORS=http://a\x1b[31m\r\x9b"});
  EXPECT_EQ(r.out.find_first_of("\x1b\x07\r\x9b"), std::string::npos) << r.out;
  EXPECT_NE(line(r, "mirror list").find("http://a\\u001B[31m\\r\\x9B"), std::string::npos) << r.out;
  r = doctor();
  EXPECT_EQ(r.out.find_first_of("\x1b\x07"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\\u001B]0;owned\\u0007\\u001B[2J"), std::string::npos) << r.out;

  // The doctor takes no options: said so, rather than taken for a script's name.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"doctor", "-x"}, {"-x", "doctor"}}) {
    std::vector<std::string> argv{TAVIKSMS_SHELL_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult bad = taviksms::testing::run_command(argv);
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("doctor takes no options"), std::string::npos) << bad.err;
  }
}

// A driver registered under "FreeTDS" whose library cannot be loaded: the login's hint names the
// driver, not the credentials, which were never tried.
TEST_F(DoctorTest, ADriverThatCannotBeLoadedIsNamedInTheLoginsHint) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("taviksms-doctor-lib-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "odbcinst.ini")
      << "[FreeTDS]\nDriver=" << (dir / "libtdsodbc.so").string() << "\n";
  std::ofstream(dir / "odbc.ini") << "";
  RunResult r = doctor({"ODBCSYSINI=" + dir.string(), "ODBCINSTINI=odbcinst.ini"});
  std::filesystem::remove_all(dir);
  EXPECT_EQ(r.exit_code, 1);
  const std::string login = line(r, "database login");
  EXPECT_EQ(login.rfind("FAIL  ", 0), 0u) << r.out;
  EXPECT_NE(login.find("Can't open lib"), std::string::npos) << r.out;
  EXPECT_NE(login.find("hint: the ODBC driver could not be loaded"), std::string::npos) << r.out;
  EXPECT_EQ(login.find("check sms_ip"), std::string::npos) << r.out;
}

TEST_F(DoctorTest, AnUnwritableTraceAndAMissingDriverRegistrationAreReported) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("taviksms-doctor-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "odbcinst.ini") << "";
  std::ofstream(dir / "odbc.ini") << "";
  RunResult r = doctor({"TAVIKSMS_TRACE=" + (dir / "missing" / "t.log").string(),
                        "ODBCSYSINI=" + dir.string(), "ODBCINSTINI=odbcinst.ini"});
  std::filesystem::remove_all(dir);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(line(r, "trace").find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(line(r, "trace").find("cannot open"), std::string::npos) << r.out;
  const std::string driver = line(r, "ODBC driver");
  EXPECT_NE(driver.find("not registered as \"FreeTDS\""), std::string::npos) << r.out;
  // Found by its library path, the login still works.
  EXPECT_EQ(line(r, "database login").rfind("ok    ", 0), 0u) << r.out;
}

}  // namespace
