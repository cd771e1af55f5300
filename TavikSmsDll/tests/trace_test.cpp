// The mirror override (TAVIKSMS_MIRRORS), the opt-in trace and the driver fallback: what a host
// developer sees when something fails, and that none of it changes a method's result.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <sstream>

#include "base/module_state.h"
#include "base/platform/platform.h"
#include "base/text.h"
#include "base/trace.h"
#include "component/taviksms.h"
#include "component_fixture.h"
#include "config/config_fetch.h"

namespace taviksms::test {
namespace {

using platform::parse_mirror_override;

TEST(MirrorOverride, AcceptsOneToThreeHttpBases) {
  auto o = parse_mirror_override("http://a:1;https://b.example/x/;HTTP://10.0.0.3", "T");
  ASSERT_EQ(o.problem, "");
  ASSERT_EQ(o.bases.size(), 3u);
  EXPECT_EQ(o.bases[0], u"http://a:1");
  EXPECT_EQ(o.bases[1], u"https://b.example/x");  // the fetch appends /uini/ip1.ini
  EXPECT_EQ(o.bases[2], u"HTTP://10.0.0.3");
  o = parse_mirror_override(" http://a ;\thttp://b ;", "T");  // blanks around entries trimmed
  EXPECT_EQ(o.problem, "");
  EXPECT_EQ(o.bases, (std::vector<std::u16string>{u"http://a", u"http://b"}));
  o = parse_mirror_override("http://127.0.0.1:5;", "T");
  EXPECT_EQ(o.problem, "");
  EXPECT_EQ(o.bases.size(), 1u);
  o = parse_mirror_override("http://[::1]:8080", "T");
  EXPECT_EQ(o.problem, "");
}

TEST(MirrorOverride, RefusesMalformedValuesAsAWhole) {
  for (const char* bad :
       {"", ";;", "ftp://a", "a;b;c", "http://", "http://:80", "http://a:0", "http://a:65536",
        "http://a:8x", "http://a b", "http://a;http://b;http://c;http://d", "http://u@h",
        "http://a/?q", "http://[::1", "http://a\tb"}) {
    auto o = parse_mirror_override(bad, "T");
    EXPECT_NE(o.problem, "") << bad;
    EXPECT_TRUE(o.bases.empty()) << bad;
  }
  std::string big = "http://" + std::string(10 * 1024, 'a');
  auto o = parse_mirror_override(big, "T");
  EXPECT_NE(o.problem.find("longer than"), std::string::npos);
  EXPECT_LT(o.shown.size(), 200u);  // messages never carry the whole value
}

// The Linux binding with the environment's override in force (TestPlatform fixes the mirrors).
class EnvPlatform : public platform::posix::PosixPlatform {
 public:
  explicit EnvPlatform(std::filesystem::path folder)
      : PosixPlatform(ThreadSession::short_limits()), folder_(std::move(folder)) {}
  std::u16string library_folder() override { return from_ansi(folder_.string()); }

 private:
  std::filesystem::path folder_;
};

struct ScopedEnv {
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    if (old) old_ = old;
    had_ = old != nullptr;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::string old_;
  bool had_ = false;
};

std::string read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class TraceTest : public ComponentTest {
 public:
  void SetUp() override {
    ComponentTest::SetUp();
    trace_file_ = folder() / "trace.log";
    trace::configure(trace_file_.string());
  }
  void TearDown() override {
    trace::configure("");
    ComponentTest::TearDown();
  }
  Value call(core::TavikSms& obj, const char* name, std::vector<Value> args) {
    return obj.invoke(*find_method(name), args);
  }
  std::string trace_text() { return read_all(trace_file_); }

  std::filesystem::path trace_file_;
};

TEST_F(TraceTest, WithoutARegisteredFreeTdsDriverTheLibraryPathIsUsed) {
  if (platform::posix::freetds_driver_library().empty()) GTEST_SKIP() << "no libtdsodbc.so";
  // An empty driver registry: unixODBC finds no driver named "FreeTDS". First of the ODBC tests:
  // the driver manager caches its registry within a process (CTest runs each test on its own).
  std::filesystem::create_directories(folder() / "odbc");
  std::ofstream(folder() / "odbc" / "odbcinst.ini") << "";
  std::ofstream(folder() / "odbc" / "odbc.ini") << "";
  ScopedEnv sysini("ODBCSYSINI", (folder() / "odbc").string());
  ScopedEnv instini("ODBCINSTINI", "odbcinst.ini");
  core::TavikSms sms;
  EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"OK"));
  const std::string t = trace_text();
  EXPECT_NE(t.find("no ODBC driver registered as \"FreeTDS\""), std::string::npos) << t;
  EXPECT_NE(t.find("odbc connect Driver={" + platform::posix::freetds_driver_library() + "}"),
            std::string::npos)
      << t;
}

TEST_F(TraceTest, MethodCallsMirrorsKeysConnectionAndProceduresWithPasswordsMasked) {
  core::TavikSms sms;
  EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"OK"));
  EXPECT_EQ(
      call(sms, "AddMember",
           {u"m1", u"secretpw", u"", u"123-45-67890", u"", u"", u"", u"", u"", u"", u"", u"", u""}),
      Value(u"OK"));
  const std::string t = trace_text();
  EXPECT_NE(t.find("call Login(User_ID=\"demo\", Passwd=***(8)) -> \"OK\""), std::string::npos)
      << t;
  EXPECT_NE(t.find("user_pw=***(8)"), std::string::npos) << t;
  EXPECT_NE(t.find("mirror GET " + sandbox().mirror_url(1) + " -> HTTP 200"), std::string::npos)
      << t;
  EXPECT_NE(t.find("ini "), std::string::npos);
  // Which folder ip1.ini went to, and why that one.
  const std::size_t folder = t.find(" ini folder ");
  ASSERT_NE(folder, std::string::npos) << t;
  EXPECT_NE(t.substr(folder, t.find('\n', folder) - folder).find("writable"), std::string::npos)
      << t;
  EXPECT_NE(t.find("sms_id=\"" + sandbox().db_user() + "\""), std::string::npos) << t;
  EXPECT_NE(t.find("odbc connect Driver="), std::string::npos) << t;
  EXPECT_NE(t.find("-> open, driver "), std::string::npos) << t;
  // The driver cannot say what it agreed to: the server's offer, once per server.
  EXPECT_NE(t.find("odbc encryption: the server offers encryption: the login goes encrypted"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("proc f_login(@user_id=\"demo\", @user_pw=***(8))"), std::string::npos) << t;
  EXPECT_NE(t.find("proc sp_addmember("), std::string::npos) << t;
  // No password value anywhere: neither the users' nor the database's.
  EXPECT_EQ(t.find("demo1234"), std::string::npos);
  EXPECT_EQ(t.find("secretpw"), std::string::npos);
  EXPECT_EQ(t.find(sandbox().db_password()), std::string::npos);
  // Each line: time, process, thread, duration.
  std::istringstream lines(t);
  std::string line;
  const std::string process = " p" + std::to_string(::getpid()) + " t";
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.size() > 30 && line[4] == '-' && line[10] == 'T' && line[26] == 'Z' &&
                  line.compare(27, process.size(), process) == 0,
              true)
        << line;
  }
}

// Typed calls (the C++ API, the COM vtable) take the same path as late-bound ones: traced once.
TEST_F(TraceTest, TypedCallsAreTracedOnceEach) {
  core::TavikSms sms;
  EXPECT_EQ(sms.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_GE(sms.SmsJanek(), 0);
  const std::string t = trace_text();
  const auto login = t.find("call Login(User_ID=\"demo\", Passwd=***(8)) -> \"OK\"");
  EXPECT_NE(login, std::string::npos) << t;
  EXPECT_EQ(t.find("call Login(", login + 1), std::string::npos) << t;
  EXPECT_NE(t.find("call SmsJanek() -> "), std::string::npos) << t;
  EXPECT_EQ(t.find("demo1234"), std::string::npos);
}

TEST_F(TraceTest, AFailedOpenShowsTheDriversSqlstateAndMessageBehindFalse) {
  // A database password the server refuses.
  set_mirror(1, "custom",
             "[ip]\r\nsms_id=" + sandbox().db_user() + "\r\nsms_ip=127.0.0.1," +
                 std::to_string(sandbox().ports().tds) + "\r\nsms_pw=xxwxrxoxnxg\r\n");
  core::TavikSms sms;
  EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"False"));
  const std::string t = trace_text();
  EXPECT_NE(t.find("PWD=***(5)"), std::string::npos) << t;
  EXPECT_NE(t.find("failed: SQLSTATE "), std::string::npos) << t;
  EXPECT_NE(t.find("Login failed"), std::string::npos) << t;
  // Whether the server encrypts, since a failed TLS handshake reads the same.
  EXPECT_NE(t.find("odbc encryption: the server offers encryption: the login goes encrypted"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("call Login(User_ID=\"demo\", Passwd=***(8)) -> \"False\""), std::string::npos);
}

TEST_F(TraceTest, ATraceFileThatCannotBeWrittenChangesNoResult) {
  core::TavikSms sms;
  trace::configure((folder() / "no-such-folder" / "trace.log").string());
  EXPECT_NE(trace::problem(), "");
  EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"OK"));
  EXPECT_EQ(call(sms, "SmsJanek", {}).index(), 1u);
  if (std::filesystem::exists("/dev/full")) {
    trace::configure("/dev/full");
    EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"OK"));
    EXPECT_EQ(call(sms, "Logout", {}), Value(u"OK"));
    EXPECT_NE(trace::problem().find("failed"), std::string::npos) << trace::problem();
  }
}

// What the trace quotes from outside (a server's message, ip1.ini's values, a refused override)
// reaches the file with its control characters escaped, so a terminal showing it obeys none.
TEST_F(TraceTest, ControlCharactersFromOutsideAreEscaped) {
  const std::string hostile = "\x1b]0;owned\x07\x1b[2J\r\xc2\x9b";
  const std::string shown = "\\u001B]0;owned\\u0007\\u001B[2J\\r\\u009B";
  std::string served = "[ip]\r\nsms_id=" + sandbox().db_user() + "\r\nsms_ip=127.0.0.1," +
                       std::to_string(sandbox().ports().tds) +
                       "\r\nsms_pw=" + testing::masked_secret(sandbox().db_password()) +
                       "\r\nsftp_ip=" + hostile + "\r\n";
  set_mirror(1, "custom", served);
  sandbox().post("/faults/raise?proc=sp_ibgum_data&message=" + testing::url_encode(hostile));
  core::TavikSms sms;
  EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"OK"));
  EXPECT_EQ(call(sms, "SmsIbgum", {}), Value(core::utf8_to_utf16(hostile)));  // the result as sent
  {
    EnvPlatform env_platform(folder());
    platform::ScopedPlatformOverride use(env_platform);
    ScopedEnv mirrors("TAVIKSMS_MIRRORS", "http://a\x1b[2J\x07");
    env_platform.mirror_bases();
  }
  const std::string t = trace_text();
  EXPECT_EQ(t.find_first_of("\x1b\x07\r"), std::string::npos) << t;
  EXPECT_EQ(t.find("\xc2\x9b"), std::string::npos) << t;
  EXPECT_NE(t.find("sftp_ip=\"" + shown), std::string::npos) << t;        // ip1.ini
  EXPECT_NE(t.find("SmsIbgum() -> \"" + shown), std::string::npos) << t;  // the server's text
  EXPECT_NE(t.find("\"http://a\\u001B[2J\\u0007\" holds"), std::string::npos) << t;  // override
}

// A trace file that is a pipe costs the host the trace, never a wait or its life: a reader that
// stalls (the pipe fills) and a reader that has gone (SIGPIPE) each end the trace.
TEST_F(TraceTest, APipeThatStallsOrLosesItsReaderEndsTheTraceNotTheHost) {
  const std::string fifo = (folder() / "trace.fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string line(4096, 'x');
  for (const bool reader_gone : {false, true}) {
    SCOPED_TRACE(reader_gone ? "reader gone" : "reader stalled");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    trace::configure(fifo);
    ASSERT_EQ(trace::problem(), "");
    if (reader_gone) ::close(reader);
    // Far more than a pipe holds (64 KiB), on a thread of its own: a write that waits is seen as
    // a timeout, and then drained so the test can end.
    auto writing = std::async(std::launch::async, [&] {
      for (int i = 0; i < 64; ++i) trace::emit("test", line);
    });
    const bool finished = writing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(finished);
    if (!finished && !reader_gone) {
      std::string sink(1 << 16, '\0');
      while (writing.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        (void)::read(reader, sink.data(), sink.size());
      }
    }
    writing.get();
    EXPECT_NE(trace::problem().find(reader_gone ? "has gone" : "nobody reads"), std::string::npos)
        << trace::problem();
    if (!reader_gone) ::close(reader);
  }
  core::TavikSms sms;
  EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"OK"));
}

// The environment's mirror list replaces the build's. One that is set but cannot be used means
// no download at all, from the built-in addresses neither: "IP Download Error", and the trace
// says why.
TEST_F(TraceTest, TheEnvironmentsMirrorListReplacesTheBuiltInOneAndABadOneAsksNoMirror) {
  restart_session();
  session_.reset();
  class Counting : public EnvPlatform {
   public:
    using EnvPlatform::EnvPlatform;
    int download_to_file(const std::string& url, const std::string& path) override {
      urls.push_back(url);
      return EnvPlatform::download_to_file(url, path);
    }
    std::vector<std::string> urls;
  } env_platform(folder());
  platform::ScopedPlatformOverride use(env_platform);
  struct Case {
    std::string value;
    std::vector<std::string> asked;  // none: refused
    std::string why;
  };
  const std::string second = sandbox().mirror_base(2);
  for (const Case& k : {
           // Mirror 1 refuses connections: the second address serves.
           Case{" http://127.0.0.1:1 ; " + second + " ;",
                {"http://127.0.0.1:1/uini/ip1.ini", sandbox().mirror_url(2)},
                ""},
           Case{"http://a;http://b;http://c;http://d", {}, "more than three addresses"},
           Case{"http://127.0.0.1:1 x;" + second, {}, "holds a blank"},
           Case{"ftp://" + second.substr(7), {}, "does not start with http://"},
           Case{second + "/" + std::string(2000, 'x'), {}, "longer than 1024 bytes"},
       }) {
    SCOPED_TRACE(k.value.substr(0, 60));
    ScopedEnv mirrors("TAVIKSMS_MIRRORS", k.value);
    core::module_state() = core::ModuleState{};
    env_platform.urls.clear();
    core::TavikSms sms;
    EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}),
              Value(k.asked.empty() ? u"IP Download Error" : u"OK"));
    EXPECT_EQ(env_platform.urls, k.asked);
    const std::string t = trace_text();
    if (k.asked.empty()) {
      EXPECT_NE(t.find(k.why), std::string::npos) << t;
      EXPECT_NE(t.find("; no mirror is asked"), std::string::npos) << t;
    } else {
      EXPECT_NE(t.find("mirrors override from TAVIKSMS_MIRRORS"), std::string::npos) << t;
    }
  }
}

TEST_F(TraceTest, AProxyInTheEnvironmentIsNotUsedForLoopback) {
  // A proxy that accepts nothing: a mirror on 127.0.0.1 must be reached directly.
  ScopedEnv a("http_proxy", "http://127.0.0.1:1");
  ScopedEnv b("all_proxy", "http://127.0.0.1:1");
  ScopedEnv c("no_proxy", "");
  core::TavikSms sms;
  EXPECT_EQ(call(sms, "Login", {u"demo", u"demo1234"}), Value(u"OK"));
  EXPECT_NE(trace_text().find(" -> HTTP 200"), std::string::npos) << trace_text();
}

TEST(UserCacheFolder, WithoutAPasswordEntryComesFromXdgCacheHomeThenHome) {
  using platform::posix::cache_base_from;
  EXPECT_EQ(cache_base_from("/home/u/", "/x", "/h"), "/home/u/.cache");  // the entry wins
  EXPECT_EQ(cache_base_from(nullptr, "/x/cache/", "/h"), "/x/cache");
  EXPECT_EQ(cache_base_from(nullptr, nullptr, "/h"), "/h/.cache");
  EXPECT_EQ(cache_base_from(nullptr, "relative", "/h"), "/h/.cache");
  EXPECT_EQ(cache_base_from("", "", "relative"), "");
}

// When the library's folder is not writable, the folder check names every folder really tried and
// why each failed, so its hint leads somewhere (also for a user whose home does not exist, such as
// nobody's /nonexistent); the environment's folders are offered only where they would count.
TEST(UserCacheFolder, TheFolderCheckNamesTheFoldersTried) {
  class FolderPlatform : public platform::posix::PosixPlatform {
   public:
    FolderPlatform(std::string lib, std::string base)
        : lib_(std::move(lib)), base_(std::move(base)) {}
    std::u16string library_folder() override { return from_ansi(lib_); }
    std::string user_cache_base() override { return base_; }

   private:
    std::string lib_, base_;
  };
  const std::string lib = "/nonexistent-taviksms/lib";
  const auto writable =
      std::filesystem::temp_directory_path() / ("taviksms-cache-" + std::to_string(::getpid()));
  struct Case {
    std::string base;
    bool ok;
    std::vector<std::string> in_text, in_hint;
  };
  const Case cases[] = {
      {"", false, {lib, "no per-user folder is known"}, {lib, "XDG_CACHE_HOME"}},
      {"/nonexistent/.cache",
       false,
       {lib, "/nonexistent/.cache/taviksms cannot be created: No such file or directory"},
       {lib, "/nonexistent/.cache/taviksms", "password database"}},
      {writable.string(), true, {(writable / "taviksms").string(), "per-user folder"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base);
    FolderPlatform p(lib, c.base);
    const platform::Platform::Report r = p.config_folder_report();
    EXPECT_EQ(r.ok, c.ok) << r.text;
    for (const auto& words : c.in_text) EXPECT_NE(r.text.find(words), std::string::npos) << r.text;
    for (const auto& words : c.in_hint) EXPECT_NE(r.hint.find(words), std::string::npos) << r.hint;
    EXPECT_EQ(p.config_folder(), p.from_ansi(c.ok ? (writable / "taviksms").string() : lib));
  }
  std::filesystem::remove_all(writable);
}

TEST(NoProxy, LoopbackIsAlwaysExceptedAndTheEnvironmentsListKept) {
  ScopedEnv lower("no_proxy", ".corp.example");
  EXPECT_EQ(platform::posix::no_proxy_list(), "127.0.0.1,localhost,::1,.corp.example");
}

}  // namespace
}  // namespace taviksms::test
