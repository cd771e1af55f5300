// The fault campaign: every method that talks to the database has its connection dropped at each
// of its executions in turn; uploads are dropped or stalled at several byte offsets; the sandbox
// is killed and restarted under a logged-in session; mirrors trickle or close mid-body. After
// each fault the method must answer promptly with a failure, the server must hold exactly the
// submissions that were executed (none twice), and the next Login on the thread must work.
#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <taviksms/taviksms.h>

#include "component/module_state.h"
#include "component/text.h"
#include "component_fixture.h"
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
};

std::u16string janek_text(TavikSms& c) {
  return core::utf8_to_utf16(std::to_string(c.SmsJanek()));
}

std::vector<CampaignMethod> database_methods() {
  // Three recipients, so a drop can land before, between and after submissions.
  const std::u16string tels = u"01011110001;01011110002,01011110003";
  return {
      {"Login", [](TavikSms& c) { return c.Login(u"demo", u"demo1234"); }, {}},
      {"SmsJanek", janek_text, {}},
      {"SmsSend",
       [tels](TavikSms& c) {
         return c.SmsSend(u"sub01", u"0212345678", u"c1", u"홍길동", tels, u"본문", 0, u"");
       },
       {"sp_sms_send"}},
      {"LmsSend",
       [tels](TavikSms& c) {
         return c.LmsSend(u"sub01", u"0212345678", u"c1", u"홍길동", tels, u"제목", u"본문",
                          u"2406011230");
       },
       {"sp_lms_send"}},
      {"MmsSend",
       [tels](TavikSms& c) {
         return c.MmsSend(u"sub01", u"0212345678", u"c1", u"홍길동", tels, u"제목", u"본문",
                          u"C:\\pics\\A.JPG", u"", u"", u"");
       },
       {"sp_mms_send"}},
  };
}

class FaultCampaignTest : public ComponentTest {
 public:
  long last_seq() {
    nlohmann::json all = calls();
    return all.empty() ? 0 : all.back()["seq"].get<long>();
  }
  nlohmann::json since(long seq) { return sandbox().get("/calls?since=" + std::to_string(seq)); }
  std::size_t stored_messages() { return sandbox().get("/messages").size(); }
};

class DropAtEachExecution : public FaultCampaignTest,
                            public ::testing::WithParamInterface<std::string> {};

TEST_P(DropAtEachExecution, AnswersAFailureStoresOnlyWhatRanAndLoginWorksAgain) {
  CampaignMethod m;
  for (auto& candidate : database_methods()) {
    if (candidate.name == GetParam()) m = candidate;
  }
  ASSERT_TRUE(m.call) << GetParam();

  // A clean call first: how many executions the method makes.
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  long before = last_seq();
  const std::u16string clean = m.call(c);
  ASSERT_TRUE(clean == u"OK" || (m.name == "SmsJanek" && clean != u"-12345678")) << utf8(clean);
  const std::size_t n = since(before).size();
  ASSERT_GE(n, 1u) << m.name << " made no execution";
  RecordProperty("executions", static_cast<int>(n));

  for (std::size_t k = 1; k <= n; ++k) {
    SCOPED_TRACE(m.name + ", drop at execution " + std::to_string(k) + " of " + std::to_string(n));
    ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    const std::size_t stored_before = stored_messages();
    before = last_seq();
    sandbox().post("/faults/drop?after=" + std::to_string(k));

    const auto start = Clock::now();
    const std::u16string r = m.call(c);
    EXPECT_LT(Clock::now() - start, kPromptAnswer);
    if (m.name == "SmsJanek") {
      EXPECT_EQ(r, u"-12345678");
    } else {
      EXPECT_NE(r, u"OK");
      EXPECT_FALSE(r.empty());
    }

    // Nothing ran after the dropped execution, and every stored row is one that ran.
    const nlohmann::json log = since(before);
    ASSERT_EQ(log.size(), k) << log.dump().substr(0, 2000);
    EXPECT_FALSE(log.back()["error"].is_null());
    std::size_t submitted = 0;
    std::set<std::u16string> recipients;
    for (const auto& e : log) {
      if (!e["error"].is_null() || !m.storing.count(e["proc"].get<std::string>())) continue;
      ++submitted;
      EXPECT_TRUE(recipients.insert(call_param(e, "@Custom_tel").value_or(u"")).second)
          << "submitted twice";
    }
    EXPECT_EQ(stored_messages() - stored_before, submitted);

    // The thread recovers with the next Login.
    sandbox().del("/faults");
    EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    EXPECT_NE(c.SmsJanek(), kJanekFailure);
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, DropAtEachExecution,
                         ::testing::Values("Login", "SmsJanek", "SmsSend", "LmsSend", "MmsSend"),
                         [](const auto& p) { return p.param; });

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

// The sandbox is killed and started again on the same ports between two calls of a logged-in
// session: the calls on the dead connection fail promptly, Login opens a new one.
TEST_F(FaultCampaignTest, ServerKilledAndRestartedBetweenTwoCalls) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(c.SmsSend(u"", u"02", u"", u"", u"01000000001", u"before", 0, u""), u"OK");
  ASSERT_EQ(c.FTP_Connect(), u"OK");

  const std::vector<std::string> ports = sandbox().restart_args();
  ::kill(sandbox().pid(), SIGKILL);
  sandbox().stop();
  sandbox_ = std::make_unique<testing::SandboxProcess>(ports);
  const std::size_t fresh = stored_messages();  // the restarted server's own sample rows

  auto start = Clock::now();
  EXPECT_EQ(c.SmsJanek(), kJanekFailure);
  EXPECT_NE(c.SmsSend(u"", u"02", u"", u"", u"01000000002", u"lost", 0, u""), u"OK");
  EXPECT_LT(Clock::now() - start, kPromptAnswer);
  EXPECT_EQ(stored_messages(), fresh) << "nothing was resent to the restarted server";

  // The upload session died with the server too.
  std::ofstream(folder() / "a.jpg") << "x";
  EXPECT_EQ(c.FTP_Upload(core::utf8_to_utf16((folder() / "a.jpg").string())), upload::kUploadError);

  EXPECT_EQ(c.Logout(), u"OK");
  EXPECT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.SmsSend(u"", u"02", u"", u"", u"01000000003", u"after", 0, u""), u"OK");
  EXPECT_EQ(stored_messages(), fresh + 1);
  EXPECT_EQ(c.FTP_DisConnect(), u"OK");
  EXPECT_EQ(c.FTP_Upload(core::utf8_to_utf16((folder() / "a.jpg").string())), u"OK");
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

}  // namespace
}  // namespace taviksms::test
