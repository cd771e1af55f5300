// The fault campaign: every method that talks to the database has its connection dropped at each
// of its executions in turn; uploads are dropped or stalled at several byte offsets; the sandbox
// restarts under a logged-in session, closes its connections, stops answering or refuses new
// ones; mirrors trickle or close mid-body. After each fault the method must answer promptly (a
// read as usual, anything else with a failure), the server must hold exactly the submissions that
// were executed (none twice), and the thread's next call must work without Login.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <taviksms/taviksms.h>

#include "base/module_state.h"
#include "base/platform/testing.h"
#include "base/text.h"
#include "component_fixture.h"
#include "session/db_open.h"
#include "slow_server.h"
#include "upload/upload.h"

namespace taviksms::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kJanekFailure = -12345678;
// A dropped connection is noticed at once; this only has to catch a hang.
constexpr auto kPromptAnswer = 15s;

// One method of the campaign: how to call it on a logged-in session, and which procedures store
// a submission when their execution succeeds. Methods added to the component get a row here.
struct CampaignMethod {
  std::string name;
  std::function<std::u16string(TavikSms&)> call;
  std::set<std::string> storing;  // procedures whose successful executions each store one row
  std::string file;               // the export file it writes, which a failed query leaves alone
  bool raises = false;            // its failures escape as ComError instead of a text
  bool reads = false;             // it cannot change the service: tried once more after a lost link
};

std::u16string janek_text(TavikSms& c) {
  return core::utf8_to_utf16(std::to_string(c.SmsJanek()));
}

constexpr char16_t kRaised[] = u"raised: ";

// YaeyakDelete has no handler: its failure escapes, and the campaign records it as a text.
std::u16string yaeyak_delete(TavikSms& c, std::int32_t key) {
  try {
    return c.YaeyakDelete(key);
  } catch (const ComError& e) {
    return kRaised + e.description;
  }
}

std::vector<CampaignMethod> database_methods() {
  // Three recipients, so a drop can land before, between and after submissions.
  const std::u16string tels = u"01011110001;01011110002,01011110003";
  return {
      {"Login", [](TavikSms& c) { return c.Login(u"demo", u"demo1234"); }, {}, "", false, true},
      {"SmsJanek", janek_text, {}, "", false, true},
      {"SmsSend",
       [tels](TavikSms& c) {
         return c.SmsSend(u"sub01", u"0212345678", u"c1", u"홍길동", tels, u"본문", 0, u"");
       },
       {"sp_sms_send"},
       "",
       false},
      {"LmsSend",
       [tels](TavikSms& c) {
         return c.LmsSend(u"sub01", u"0212345678", u"c1", u"홍길동", tels, u"제목", u"본문",
                          u"2406011230");
       },
       {"sp_lms_send"},
       "",
       false},
      {"MmsSend",
       [tels](TavikSms& c) {
         return c.MmsSend(u"sub01", u"0212345678", u"c1", u"홍길동", tels, u"제목", u"본문",
                          u"C:\\pics\\A.JPG", u"", u"", u"");
       },
       {"sp_mms_send"},
       "",
       false},
      {"SmsResult1", [](TavikSms& c) { return c.SmsResult1(); }, {}, "sms1.txt", false},
      {"SmsResult2",
       [](TavikSms& c) { return c.SmsResult2(u"2401010000", u"2612312359"); },
       {},
       "sms1.txt",
       false,
       true},
      {"SmsResultV2",
       [](TavikSms& c) { return c.SmsResultV2(u"sub01", u"2401010000", u"2612312359"); },
       {},
       "sms1.txt",
       false,
       true},
      {"YaeyakData", [](TavikSms& c) { return c.YaeyakData(); }, {}, "sms2.txt", false, true},
      {"YaeyakDataV2",
       [](TavikSms& c) { return c.YaeyakDataV2(u"sub01"); },
       {},
       "sms2.txt",
       false,
       true},
      {"YaeyakDelete", [](TavikSms& c) { return yaeyak_delete(c, 999999); }, {}, "", true},
      {"SmsIbgum", [](TavikSms& c) { return c.SmsIbgum(); }, {}, "sms3.txt", false, true},
      {"AddMember",
       [](TavikSms& c) {
         static int serial = 0;
         const std::u16string id = core::utf8_to_utf16("member" + std::to_string(++serial));
         return c.AddMember(id, u"pw", u"demo", u"123-45-67890", u"(주)타빅", u"홍대표",
                            u"소프트웨어", u"서비스", u"0212345678", u"", u"a@b.kr", u"서울",
                            u"담당자");
       },
       {},
       "",
       false},
  };
}

class FaultCampaignTest : public ExportFolderTest {
 public:
  std::string file(const std::string& name) { return file_bytes(name); }
  long last_seq() {
    nlohmann::json all = calls();
    return all.empty() ? 0 : all.back()["seq"].get<long>();
  }
  nlohmann::json since(long seq) { return sandbox().get("/calls?since=" + std::to_string(seq)); }
  std::size_t stored_messages() { return sandbox().get("/messages").size(); }
};

// The test platform with the database deadlines shortened from 15 s / 30 s to 2 s / 3 s.
class ShortDeadlines : public TestPlatform {
 public:
  ShortDeadlines(const testing::SandboxProcess& s, fs::path folder)
      : TestPlatform(mirror_bases_of(s), std::move(folder), ThreadSession::short_limits()) {}
  DbDeadlines db_deadlines() override { return {2000ms, 3000ms}; }
};

// ShortDeadlines in force on the test's thread while it lives (the session stays the test's).
struct ShortDeadlinesHere {
  explicit ShortDeadlinesHere(ComponentTest& t)
      : platform(t.sandbox(), t.folder()), use(platform) {}
  ShortDeadlines platform;
  platform::ScopedPlatformOverride use;
};

class DropAtEachExecution : public FaultCampaignTest,
                            public ::testing::WithParamInterface<std::string> {};

// The connection is dropped at each execution of a method in turn. A method that only reads
// answers as it does without the fault (it is tried once more on a new connection); any other
// fails with a text that says the link was lost, and nothing after the dropped execution runs.
// Either way each stored submission is one that ran, none twice, and the next call works without
// Login.
TEST_P(DropAtEachExecution, ReadsAnswerAsUsualOthersNameTheLostLinkNothingRunsTwice) {
  CampaignMethod m;
  for (auto& candidate : database_methods()) {
    if (candidate.name == GetParam()) m = candidate;
  }
  ASSERT_TRUE(m.call) << GetParam();

  // A clean call first: how many executions the method makes, and what it answers.
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  long before = last_seq();
  const std::u16string clean = m.call(c);
  ASSERT_TRUE(clean == u"OK" || (m.name == "SmsJanek" && clean != u"-12345678")) << utf8(clean);
  const std::string clean_file = m.file.empty() ? "" : file(m.file);
  const std::size_t n = since(before).size();
  ASSERT_GE(n, 1u) << m.name << " made no execution";
  RecordProperty("executions", static_cast<int>(n));

  for (std::size_t k = 1; k <= n; ++k) {
    SCOPED_TRACE(m.name + ", drop at execution " + std::to_string(k) + " of " + std::to_string(n));
    ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    const std::size_t stored_before = stored_messages();
    // A marker in the export file: a query that fails leaves the file alone.
    if (!m.file.empty()) std::ofstream(folder() / m.file, std::ios::binary) << "marker\r\n";
    before = last_seq();
    sandbox().post("/faults/drop?after=" + std::to_string(k));

    const auto start = Clock::now();
    const std::u16string r = m.call(c);
    EXPECT_LT(Clock::now() - start, kPromptAnswer);
    const nlohmann::json log = since(before);
    if (m.reads) {
      EXPECT_EQ(r, clean) << utf8(r);
      if (!m.file.empty()) {
        EXPECT_EQ(file(m.file), clean_file) << m.file;
      }
    } else {
      const std::u16string lost =
          (m.raises ? kRaised : u"") + std::u16string(u"Communication link failure");
      EXPECT_EQ(r.substr(0, lost.size()), lost) << utf8(r);
      if (!m.file.empty()) {
        EXPECT_EQ(file(m.file), "marker\r\n") << m.file;
      }
      // Nothing ran after the dropped execution.
      ASSERT_EQ(log.size(), k) << log.dump().substr(0, 2000);
      EXPECT_FALSE(log.back()["error"].is_null());
    }

    // Every stored row is one that ran, none twice.
    std::size_t submitted = 0;
    std::set<std::u16string> recipients;
    for (const auto& e : log) {
      if (!e["error"].is_null() || !m.storing.count(e["proc"].get<std::string>())) continue;
      ++submitted;
      EXPECT_TRUE(recipients.insert(call_param(e, "@Custom_tel").value_or(u"")).second)
          << "submitted twice";
    }
    EXPECT_EQ(stored_messages() - stored_before, submitted);

    // The thread goes on without Login.
    sandbox().del("/faults");
    EXPECT_NE(c.SmsJanek(), kJanekFailure);
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, DropAtEachExecution,
                         ::testing::Values("Login", "SmsJanek", "SmsSend", "LmsSend", "MmsSend",
                                           "SmsResult1", "SmsResult2", "SmsResultV2", "YaeyakData",
                                           "YaeyakDataV2", "YaeyakDelete", "SmsIbgum", "AddMember"),
                         [](const auto& p) { return p.param; });

// The acknowledgement path of SmsResult1: five delivered results, the k-th acknowledgement
// dropped or refused. Every acknowledged id must be in the file of that call, and the rows not
// acknowledged must come again with the next call: a duplicate at worst, never a loss.
class AcknowledgementFaultTest : public FaultCampaignTest {
 public:
  std::vector<long> file_ids() {
    std::vector<long> out;
    const std::string all = file("sms1.txt");
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t end = all.find("\r\n", at);
      if (end == std::string::npos) {
        ADD_FAILURE() << "a line without CR LF";
        break;
      }
      out.push_back(std::stol(all.substr(at, all.find('\t', at) - at)));
      at = end + 2;
    }
    return out;
  }
  std::vector<long> acks_since(std::size_t& seen) {
    const nlohmann::json a = sandbox().get("/acks");
    std::vector<long> out;
    for (std::size_t i = seen; i < a.size(); ++i) out.push_back(a[i]["id"].get<long>());
    seen = a.size();
    return out;
  }
};

TEST_F(AcknowledgementFaultTest, AcknowledgedRowsAreAlwaysWrittenAndTheRestComeAgain) {
  constexpr int kRows = 5;
  TavikSms c;
  for (const char* mode : {"drop", "raise"}) {
    for (int k = 1; k <= kRows; ++k) {
      SCOPED_TRACE(std::string(mode) + " at acknowledgement " + std::to_string(k));
      ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
      ASSERT_EQ(c.SmsResult1(), u"OK");  // whatever was pending before
      std::size_t seen = sandbox().get("/acks").size();
      ASSERT_EQ(
          c.SmsSend(u"sub01", u"0212345678", u"c1", u"손님",
                    u"01011110001;01011110002;01011110003;01011110004;01011110005", u"m", 0, u""),
          u"OK");
      sandbox().post("/clock?advance=30");

      sandbox().post(std::string("/faults/ack?mode=") + mode + "&after=" + std::to_string(k) +
                     "&message=refused");
      const auto start = Clock::now();
      const std::u16string r = c.SmsResult1();
      EXPECT_LT(Clock::now() - start, kPromptAnswer);
      EXPECT_NE(r, u"OK");
      if (std::string(mode) == "raise") {
        EXPECT_EQ(r, u"refused");
      }
      const std::vector<long> first_file = file_ids();
      const std::vector<long> first_acks = acks_since(seen);
      EXPECT_EQ(first_acks.size(), static_cast<std::size_t>(k - 1));
      EXPECT_EQ(first_file.size(), static_cast<std::size_t>(k))
          << "row k is written before its ack";
      const std::set<long> in_first(first_file.begin(), first_file.end());
      for (long id : first_acks)
        EXPECT_TRUE(in_first.count(id)) << "acknowledged, not written: " << id;

      // The thread recovers, and the next call lists exactly what was not acknowledged.
      sandbox().del("/faults");
      ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
      EXPECT_EQ(c.SmsResult1(), u"OK");
      const std::vector<long> second_file = file_ids();
      const std::vector<long> second_acks = acks_since(seen);
      EXPECT_EQ(second_acks, second_file) << "each listed row acknowledged once, in order";
      std::set<long> all(first_acks.begin(), first_acks.end());
      for (long id : second_file) {
        EXPECT_TRUE(all.insert(id).second) << "acknowledged twice: " << id;
      }
      EXPECT_EQ(all.size(), static_cast<std::size_t>(kRows)) << "a result was lost";
      // The row written but not acknowledged is the duplicate: in both files.
      if (!first_file.empty()) {
        EXPECT_NE(std::find(second_file.begin(), second_file.end(), first_file.back()),
                  second_file.end());
      }
      EXPECT_EQ(c.SmsResult1(), u"OK");
      EXPECT_TRUE(file_ids().empty()) << "nothing is listed a third time";
    }
  }
}

// Uploads: a 33,000-byte picture, its transfer cut or stalled at several offsets.
class UploadFaultTest : public FaultCampaignTest {
 public:
  void SetUp() override {
    FaultCampaignTest::SetUp();
    std::mt19937 gen(7);
    picture_.resize(33000);
    for (char& ch : picture_) ch = static_cast<char>(gen() & 0xFF);
    path_ = folder() / "pic.jpg";
    std::ofstream(path_, std::ios::binary)
        .write(picture_.data(), static_cast<std::streamsize>(picture_.size()));
  }
  std::u16string path() const { return core::utf8_to_utf16(path_.string()); }
  std::optional<std::string> stored() {
    fs::path p = sandbox().data_dir() / "uploads" / "demo_pic.jpg";
    if (!fs::exists(p)) return std::nullopt;
    std::ifstream f(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }

  std::string picture_;
  fs::path path_;
};

TEST_F(UploadFaultTest, DroppedOrStalledTransfersFailPromptlyAndTheNextConnectionWorks) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  for (const char* mode : {"drop", "stall"}) {
    for (std::uint64_t offset : {0ull, 1ull, 16384ull, 32768ull, 32999ull}) {
      SCOPED_TRACE(std::string(mode) + " at " + std::to_string(offset));
      sandbox().del("/uploads");
      ASSERT_EQ(c.FTP_DisConnect(), u"OK");
      sandbox().post(std::string("/sftp?mode=") + mode + "&offset=" + std::to_string(offset));
      ASSERT_EQ(c.FTP_Connect(), u"OK");

      const auto start = Clock::now();
      EXPECT_EQ(c.FTP_Upload(path()), upload::kUploadError);
      // A stall costs the client's 10 s transfer wait and a short one for closing, no more.
      EXPECT_LT(Clock::now() - start, 14s);

      // What the server kept is a prefix of the picture, never the whole of it.
      auto kept = stored();
      if (kept) {
        EXPECT_LE(kept->size(), offset);
        EXPECT_EQ(*kept, picture_.substr(0, kept->size()));
      }

      sandbox().post("/sftp?mode=up");
      ASSERT_EQ(c.FTP_DisConnect(), u"OK");
      ASSERT_EQ(c.FTP_Connect(), u"OK");
      EXPECT_EQ(c.FTP_Upload(path()), u"OK");
      EXPECT_EQ(stored(), picture_);
      EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    }
  }
}

// The sandbox restarts (stopped, or killed) on its data folder and ports between two calls of a
// logged-in session, as a hosted server restarts for a patch: the next calls open the session
// again by themselves and answer as usual, and the send runs once. The upload session died with
// the server too; FTP_Connect starts a new one.
TEST_F(FaultCampaignTest, ServerRestartedBetweenTwoCalls) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed" : "stopped");
    const std::int32_t balance = c.SmsJanek();
    ASSERT_NE(balance, kJanekFailure);
    ASSERT_EQ(c.FTP_Connect(), u"OK");
    sandbox().restart(kill);
    const std::size_t stored = stored_messages();

    const auto start = Clock::now();
    EXPECT_EQ(c.SmsJanek(), balance);
    EXPECT_EQ(c.SmsSend(u"", u"02", u"", u"", u"01000000002", u"after", 0, u""), u"OK");
    EXPECT_LT(Clock::now() - start, kPromptAnswer);
    EXPECT_EQ(stored_messages(), stored + 1) << "sent once";
    EXPECT_EQ(calls("sp_sms_send").size(), 1u);
    EXPECT_EQ(c.SmsJanek(), balance - 20);

    std::ofstream(folder() / "a.jpg") << "x";
    const std::u16string picture = core::utf8_to_utf16((folder() / "a.jpg").string());
    EXPECT_EQ(c.FTP_Upload(picture), upload::kUploadError);
    EXPECT_EQ(c.FTP_DisConnect(), u"OK");
    EXPECT_EQ(c.FTP_Upload(picture), u"OK");
  }
}

// The server closes every connection while the session idles (an idle timeout, a firewall that
// forgets the connection, an administrator): the next call of every kind answers as usual
// without Login, and runs its requests once.
TEST_F(FaultCampaignTest, ConnectionsClosedByTheServerWhileIdleAreOpenedAgainByTheNextCall) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  for (const auto& m : database_methods()) {
    SCOPED_TRACE(m.name);
    EXPECT_GE(sandbox().post("/connections/close")["closed"].get<int>(), 1);
    const std::size_t stored = stored_messages();
    const long before = last_seq();
    const std::u16string r = m.call(c);
    EXPECT_TRUE(r == u"OK" || (m.name == "SmsJanek" && r != u"-12345678")) << utf8(r);
    std::size_t submitted = 0;
    for (const auto& e : since(before)) {
      EXPECT_TRUE(e["error"].is_null()) << e.dump();
      submitted += m.storing.count(e["proc"].get<std::string>());
    }
    EXPECT_EQ(submitted, m.storing.empty() ? 0u : 3u) << "each recipient once";
    EXPECT_EQ(stored_messages() - stored, submitted);
  }
}

// A database that stops answering but keeps its connections open: the call ends at the command
// deadline, nothing it sent is sent again, and once the server answers again the next call opens
// a new connection by itself.
TEST_F(FaultCampaignTest, AServerThatStopsAnsweringCostsTheDeadlineAndTheNextCallReconnects) {
  ShortDeadlinesHere shortened(*this);
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const std::int32_t balance = c.SmsJanek();
  struct Case {
    const char* name;
    std::function<std::u16string()> call;
    std::u16string failed;
  };
  for (const Case& k :
       {Case{"SmsJanek", [&] { return janek_text(c); }, u"-12345678"},
        Case{"SmsSend",
             [&] { return c.SmsSend(u"", u"02", u"", u"", u"01000000009", u"m", 0, u""); },
             u"Timeout expired"}}) {
    SCOPED_TRACE(k.name);
    const std::size_t stored = stored_messages();
    sandbox().post("/tds?mode=blackhole");
    auto start = Clock::now();
    EXPECT_EQ(k.call(), k.failed);
    EXPECT_GE(Clock::now() - start, 2500ms);
    EXPECT_LT(Clock::now() - start, 6s) << "the command's deadline is 3 s";
    sandbox().post("/tds?mode=up");
    start = Clock::now();
    EXPECT_EQ(c.SmsJanek(), balance);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(stored_messages(), stored) << "the request held by the server is not sent again";
  }
}

// A server that closes every new connection at once: each call fails promptly after one attempt
// to open the session again (no loop, no growing delay, no thread left behind), and the calls
// after it try again. So does a call whose reopening the server's restart cuts short.
TEST_F(FaultCampaignTest, AServerRefusingSessionsCostsOneAttemptPerCallAndARestartMidOpenOneCall) {
  ShortDeadlinesHere shortened(*this);
  auto threads = [] {
    return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{});
  };
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const std::int32_t balance = c.SmsJanek();
  const auto threads_before = threads();
  sandbox().post("/tds?mode=close-new");
  sandbox().post("/connections/close");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const auto accepted = sandbox().get("/state")["tds"]["total_connections"].get<int>();
    const auto start = Clock::now();
    EXPECT_EQ(c.SmsJanek(), kJanekFailure);
    EXPECT_EQ(c.SmsSend(u"", u"02", u"", u"", u"01000000009", u"m", 0, u""), u"False");
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(sandbox().get("/state")["tds"]["total_connections"].get<int>(), accepted + 2)
        << "one attempt per call";
  }
  EXPECT_LE(threads(), threads_before + 1) << "the watchdog's thread at most";
  sandbox().post("/tds?mode=up");
  EXPECT_EQ(c.SmsJanek(), balance);

  // The server goes down while the session is being opened again, and comes back after.
  sandbox().post("/tds?mode=blackhole");
  sandbox().post("/connections/close");
  std::thread kill([pid = sandbox().pid()] {
    std::this_thread::sleep_for(500ms);
    ::kill(pid, SIGKILL);
  });
  const auto start = Clock::now();
  EXPECT_EQ(c.SmsJanek(), kJanekFailure);
  EXPECT_LT(Clock::now() - start, 3s) << "the open's deadline is 2 s";
  kill.join();
  sandbox().restart();  // on this thread: the sandbox ends with the thread that started it
  EXPECT_EQ(c.SmsJanek(), balance);
}

// The configuration download: a trickling mirror costs at most the total download limit (2 s
// in the tests' session), one that closes mid-body counts as failed; neither leaves a partial
// ip1.ini behind.
TEST_F(FaultCampaignTest, TricklingAndTruncatingMirrorsAreFailedSources) {
  for (const char* mode : {"trickle", "close-mid-body"}) {
    SCOPED_TRACE(mode);
    restart_session();
    std::error_code ec;
    fs::remove(ini_path(), ec);
    set_mirror(1, mode);
    TavikSms c;
    auto start = Clock::now();
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    EXPECT_LT(Clock::now() - start, 8s);

    restart_session();
    fs::remove(ini_path(), ec);
    for (int n = 1; n <= 3; ++n) set_mirror(n, mode);
    TavikSms d;
    start = Clock::now();
    EXPECT_EQ(d.Login(u"demo", u"demo1234"), u"IP Download Error");
    EXPECT_LT(Clock::now() - start, 15s) << "three sources, each bounded by the 2 s limit";
    EXPECT_FALSE(fs::exists(ini_path()));
    for (int n = 1; n <= 3; ++n) set_mirror(n, "up");
  }
}

// ---- sessions sharing one folder -------------------------------------------------------------

// The test platform whose export files check, as they are closed, that the file on disk holds
// exactly what they wrote: another writer that emptied or overwrote it meanwhile is counted.
class CheckedExports : public TestPlatform {
 public:
  CheckedExports(const testing::SandboxProcess& s, fs::path folder, std::atomic<int>& spoilt)
      : TestPlatform(mirror_bases_of(s), folder, ThreadSession::short_limits()),
        folder_(std::move(folder)),
        spoilt_(spoilt) {}
  std::unique_ptr<platform::OutputFile> create_output_file(const std::u16string& name) override {
    return std::make_unique<File>(TestPlatform::create_output_file(name),
                                  folder_ / core::utf16_to_utf8(name), spoilt_);
  }

 private:
  struct File : platform::OutputFile {
    File(std::unique_ptr<platform::OutputFile> f, fs::path p, std::atomic<int>& s)
        : inner(std::move(f)), path(std::move(p)), spoilt(s) {}
    void write(std::string_view bytes) override {
      inner->write(bytes);
      written.append(bytes);
    }
    void close() override {
      std::ifstream in(path, std::ios::binary);
      const std::string now{std::istreambuf_iterator<char>(in), {}};
      if (now != written) ++spoilt;
      inner->close();
    }
    std::unique_ptr<platform::OutputFile> inner;
    fs::path path;
    std::atomic<int>& spoilt;
    std::string written;
  };
  fs::path folder_;
  std::atomic<int>& spoilt_;
};

// Three sessions of one host export into the same folder over and over. An export either runs
// whole ("OK": its rows acknowledged, its file as it wrote it when it closes) or meets another's
// open file and fails before reading a row ("Permission denied": nothing acknowledged).
TEST_F(FaultCampaignTest, SessionsExportingIntoOneFolderNeverLoseAcknowledgedRows) {
  constexpr int kRows = 1500;
  constexpr int kThreads = 3;
  constexpr int kRounds = 6;
  sandbox().post("/faults/rows?proc=sp_result_data1&count=" + std::to_string(kRows));
  const std::size_t acks_before = sandbox().get("/acks").size();
  std::atomic<int> spoilt{0};
  std::vector<std::vector<std::u16string>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ThreadSession own(sandbox(), folder());
      CheckedExports checked(sandbox(), folder(), spoilt);
      platform::ScopedPlatformOverride use(checked);
      TavikSms c;
      if (c.Login(u"demo", u"demo1234") != u"OK") return;
      for (int r = 0; r < kRounds; ++r) results[t].push_back(c.SmsResult1());
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(spoilt.load(), 0) << "exports whose file another session changed under them";
  int ok = 0, refused = 0;
  for (const auto& rs : results) {
    EXPECT_EQ(rs.size(), static_cast<std::size_t>(kRounds));
    for (const auto& r : rs) {
      if (r == u"OK") {
        ++ok;
      } else {
        EXPECT_EQ(r, u"Permission denied");
        ++refused;
      }
    }
  }
  EXPECT_GT(ok, 0);
  EXPECT_EQ(sandbox().get("/acks").size() - acks_before, static_cast<std::size_t>(ok) * kRows)
      << ok << " exports answered OK, " << refused << " were refused";
  const std::string bytes = file("sms1.txt");
  std::size_t lines = 0, start = 0;
  long expected_id = 1;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "a cut line";
    EXPECT_EQ(std::stol(bytes.substr(start, bytes.find('\t', start) - start)), expected_id++);
    ++lines;
    start = end + 2;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kRows)) << "the file left is one whole export";
}

// ---- a database that answers slowly ---------------------------------------------------------

// The component reaches the database through a SlowServer: ip1.ini names the relay's port.
class SlowDatabaseTest : public FaultCampaignTest {
 public:
  void SetUp() override {
    FaultCampaignTest::SetUp();
    {
      TavikSms c;
      ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");  // fetches the sandbox's own ip1.ini
      c.Logout();
    }
    std::string ini = file_bytes_at(ini_path());
    const std::size_t at = ini.find("sms_ip=");
    ASSERT_NE(at, std::string::npos) << ini;
    const std::size_t comma = ini.find(',', at);
    const std::size_t end = ini.find_first_of("\r\n", comma);
    const auto port = static_cast<std::uint16_t>(std::stoi(ini.substr(comma + 1, end - comma - 1)));
    relay_ = std::make_unique<SlowServer>(port, SlowServer::Mode::pass);
    ini.replace(comma + 1, end - comma - 1, std::to_string(relay_->port()));
    set_mirror(1, "custom", ini);
    platform_ = std::make_unique<ShortDeadlines>(sandbox(), folder());
    use_ = std::make_unique<platform::ScopedPlatformOverride>(*platform_);
    core::module_state() = core::ModuleState{};
  }
  void TearDown() override {
    core::db_close();
    use_.reset();
    relay_.reset();
    FaultCampaignTest::TearDown();
  }
  static std::string file_bytes_at(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  static double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  std::unique_ptr<SlowServer> relay_;
  std::unique_ptr<ShortDeadlines> platform_;
  std::unique_ptr<platform::ScopedPlatformOverride> use_;
};

// The open: a server that never answers its login, and one that answers a byte a second, both
// fail the open ("False") at its deadline, not at the driver's limit for one read.
TEST_F(SlowDatabaseTest, OpenEndsAtItsDeadline) {
  for (auto mode : {SlowServer::Mode::silent, SlowServer::Mode::trickle}) {
    SCOPED_TRACE(mode == SlowServer::Mode::silent ? "never answers" : "a byte a second");
    relay_->set_mode(mode);
    TavikSms c;
    const auto start = Clock::now();
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"False");
    EXPECT_GE(since(start), 1.5);
    EXPECT_LT(since(start), 5.0) << "the open's deadline is 2 s";
  }
  relay_->set_mode(SlowServer::Mode::pass);
  TavikSms c;
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK") << "a prompt server is reached again";
}

// Eight threads of one host open at once against a server that answers a byte a second: each
// open ends at its own deadline, and none leaves a thread or a descriptor behind while the
// server goes on trickling.
TEST_F(SlowDatabaseTest, OpensOfManyThreadsEachEndAtTheirDeadlineAndLeaveNothingBehind) {
  auto count = [](const char* dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator{});
  };
  const auto threads_before = count("/proc/self/task");
  const auto fds_before = count("/proc/self/fd");
  relay_->set_mode(SlowServer::Mode::trickle);
  // The configuration (naming the relay), fetched once for all threads.
  EXPECT_EQ(TavikSms().Login(u"demo", u"demo1234"), u"False");
  const core::Configuration config = core::module_state().config;
  ASSERT_FALSE(config.db_server.empty());
  constexpr int kThreads = 8;
  std::vector<std::u16string> results(kThreads);
  std::vector<double> took(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ShortDeadlines own(sandbox(), folder());
      platform::ScopedPlatformOverride use(own);
      core::module_state() = core::ModuleState{};
      core::module_state().config = config;
      const auto start = Clock::now();
      {
        TavikSms c;
        results[t] = c.Login(u"demo", u"demo1234");
      }
      took[t] = since(start);
      core::db_close();
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(results[t], u"False") << t;
    EXPECT_LT(took[t], 5.0) << "thread " << t << ": the open's deadline is 2 s";
  }
  // What the abandoned opens held is let go at once, though the server still trickles.
  const auto settle = Clock::now() + 3s;
  while (Clock::now() < settle &&
         (count("/proc/self/task") > threads_before + 1 || count("/proc/self/fd") > fds_before)) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_LE(count("/proc/self/task"), threads_before + 1) << "the watchdog's thread at most";
  EXPECT_LE(count("/proc/self/fd"), fds_before);
  relay_->set_mode(SlowServer::Mode::pass);
}

// The service moves (a failover): its old address answers no more and the mirrors name the new
// one. The next call, finding the session's link lost and the old address dead, fetches ip1.ini
// again and opens the session at the new address.
TEST_F(SlowDatabaseTest, AfterAFailoverTheNextCallFollowsTheMirrorsToTheNewAddress) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");  // through the relay
  const std::int32_t balance = c.SmsJanek();
  ASSERT_NE(balance, kJanekFailure);
  relay_.reset();       // the old address: its connections closed, nothing listens
  set_mirror(1, "up");  // ip1.ini names the sandbox itself
  EXPECT_EQ(c.SmsJanek(), balance);
  EXPECT_EQ(c.SmsSend(u"", u"02", u"", u"", u"01000000007", u"m", 0, u""), u"OK");
}

// Where the platform cannot look at the socket (as on Windows), a session idle for more than
// half a second is asked a trivial question before a call uses it: a connection the server
// closed meanwhile is replaced before anything is sent. One closed within that half second is
// met by the call's first request: a read is tried once more, a send fails naming the lost
// link and is not repeated; the call after it opens the session again.
TEST_F(SlowDatabaseTest, WhereTheSocketCannotBeSeenAnIdleSessionIsAskedFirst) {
  class Blind : public ShortDeadlines {
   public:
    using ShortDeadlines::ShortDeadlines;
    LinkState link_state(const SocketId&) override { return LinkState::unknown; }
  } blind(sandbox(), folder());
  platform::ScopedPlatformOverride use(blind);
  set_mirror(1, "up");  // straight to the sandbox
  core::module_state() = core::ModuleState{};
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const std::int32_t balance = c.SmsJanek();

  sandbox().post("/connections/close");
  std::this_thread::sleep_for(700ms);
  const std::size_t stored = stored_messages();
  EXPECT_EQ(c.SmsSend(u"", u"02", u"", u"", u"01000000005", u"m", 0, u""), u"OK");
  EXPECT_EQ(stored_messages(), stored + 1);

  sandbox().post("/connections/close");
  EXPECT_EQ(c.SmsJanek(), balance - 20);
  sandbox().post("/connections/close");
  const std::u16string r = c.SmsSend(u"", u"02", u"", u"", u"01000000006", u"m", 0, u"");
  EXPECT_EQ(r.rfind(u"Communication link failure", 0), 0u) << utf8(r);
  EXPECT_EQ(stored_messages(), stored + 1) << "not repeated";
  EXPECT_EQ(c.SmsJanek(), balance - 20);
}

// A command: a server that stops answering, one that answers a byte a second, and one that
// closes the connection in the middle of the rows. The first two fail at the command deadline
// with the timeout's text, the third at once; the connection is closed and the next Login works.
TEST_F(SlowDatabaseTest, CommandsEndAtTheirDeadline) {
  struct Case {
    const char* name;
    SlowServer::Mode mode;
    std::size_t cut_after;
  };
  for (const Case& k : {Case{"never answers", SlowServer::Mode::silent, 0},
                        Case{"a byte a second", SlowServer::Mode::trickle, 0},
                        Case{"closes mid-row", SlowServer::Mode::cut, 3000}}) {
    SCOPED_TRACE(k.name);
    relay_->set_mode(SlowServer::Mode::pass);
    TavikSms c;
    ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    sandbox().post("/faults/rows?proc=sp_result_data2&count=200");
    const std::size_t acks = sandbox().get("/acks").size();
    fs::remove(folder() / "sms1.txt");
    relay_->set_mode(k.mode, k.cut_after);
    auto start = Clock::now();
    const std::u16string r = c.SmsResult2(u"2401010000", u"2612312359");
    const double took = since(start);
    if (k.mode == SlowServer::Mode::cut) {
      EXPECT_NE(r, u"OK");
      EXPECT_LT(took, 2.0);
    } else {
      EXPECT_EQ(r, u"Timeout expired");
      EXPECT_GE(took, 2.5);
      EXPECT_LT(took, 6.0) << "the command's deadline is 3 s";
    }
    EXPECT_FALSE(fs::exists(folder() / "sms1.txt")) << "a failed query writes no file";
    // The session is closed: the next call fails at once instead of meeting the same server.
    start = Clock::now();
    EXPECT_EQ(c.SmsJanek(), kJanekFailure);
    EXPECT_LT(since(start), 5.0);
    sandbox().del("/faults");
    EXPECT_EQ(sandbox().get("/acks").size(), acks);
    relay_->set_mode(SlowServer::Mode::pass);
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    EXPECT_EQ(c.SmsResult2(u"2401010000", u"2612312359"), u"OK");
  }
}

}  // namespace
}  // namespace taviksms::test
