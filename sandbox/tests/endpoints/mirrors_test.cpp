// The mirrors seen through curl: the ini file, masked passwords, every mode, hit counts.
#include <gtest/gtest.h>

#include <thread>

#include "endpoint_helpers.h"

namespace sandbox::test {
namespace {

std::string unmask(const std::string& masked) {
  std::string real;
  for (std::size_t i = 2; i + 1 < masked.size(); i += 2) real.push_back(masked[i]);
  return real;
}

class Mirrors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sb_ = new SandboxProcess(); }
  static void TearDownTestSuite() {
    delete sb_;
    sb_ = nullptr;
  }
  void SetUp() override {
    for (int n = 1; n <= 3; ++n) {
      sb_->post("/mirrors/" + std::to_string(n) + "?mode=up");
      sb_->post("/mirrors/" + std::to_string(n) + "/reset-hits");
    }
  }
  static std::uint64_t hits(int n) {
    return sb_->get("/state")["mirrors"][n - 1]["hits"].get<std::uint64_t>();
  }
  static SandboxProcess* sb_;
};
SandboxProcess* Mirrors::sb_ = nullptr;

TEST_F(Mirrors, EachServesTheIniWithMaskedPasswordsAndFreshFiller) {
  std::set<std::string> masks;
  for (int n = 1; n <= 3; ++n) {
    for (int round = 0; round < 2; ++round) {
      Fetch f = curl_get(sb_->mirror_url(n));
      ASSERT_EQ(f.curl_exit, 0);
      ASSERT_EQ(f.status, 200);
      ASSERT_TRUE(f.body.starts_with("[ip]\r\n")) << f.body;
      auto ini = parse_ini(f.body);
      EXPECT_EQ(ini.count("<unterminated>"), 0u) << "every line ends in CR LF";
      EXPECT_EQ(ini["sms_id"], sb_->db_user());
      EXPECT_EQ(ini["sms_ip"], "127.0.0.1," + std::to_string(sb_->ports().tds));
      EXPECT_EQ(ini["sftp_id"], sb_->sftp_user());
      EXPECT_EQ(ini["sftp_ip"], "127.0.0.1");
      EXPECT_EQ(ini["sftp_pt"], std::to_string(sb_->ports().sftp));
      EXPECT_EQ(ini["sms_pw"].size(), sb_->db_password().size() * 2 + 2);
      EXPECT_EQ(unmask(ini["sms_pw"]), sb_->db_password());
      EXPECT_EQ(unmask(ini["sftp_pw"]), sb_->sftp_password());
      masks.insert(ini["sms_pw"]);
    }
  }
  EXPECT_GE(masks.size(), 5u) << "the filler must be drawn anew for each request";
  EXPECT_EQ(hits(1), 2u);
}

TEST(MirrorLogins, CommandLineLoginsAreHandedOut) {
  SandboxProcess sb({"--db-user", "alice", "--db-password", "s3cr3t!", "--sftp-user", "bob",
                     "--sftp-password", "pw"});
  auto ini = parse_ini(curl_get(sb.mirror_url(3)).body);
  EXPECT_EQ(ini["sms_id"], "alice");
  EXPECT_EQ(unmask(ini["sms_pw"]), "s3cr3t!");
  EXPECT_EQ(ini["sftp_id"], "bob");
  EXPECT_EQ(unmask(ini["sftp_pw"]), "pw");
}

TEST_F(Mirrors, DownRefusesConnectionsAndUpReopensTheSamePort) {
  sb_->post("/mirrors/2?mode=down");
  Fetch down = curl_get(sb_->mirror_url(2));
  EXPECT_EQ(down.curl_exit, 7) << "connection refused";
  EXPECT_EQ(curl_get(sb_->mirror_url(1)).status, 200) << "other mirrors unaffected";
  EXPECT_EQ(sb_->get("/state")["mirrors"][1]["mode"], "down");
  sb_->post("/mirrors/2?mode=up");
  Fetch up = curl_get(sb_->mirror_url(2));
  EXPECT_EQ(up.status, 200);
  EXPECT_EQ(hits(2), 1u) << "a refused connection is not a request";
}

TEST_F(Mirrors, ErrorAndContentModes) {
  sb_->post("/mirrors/1?mode=404");
  Fetch f = curl_get(sb_->mirror_url(1));
  EXPECT_EQ(f.status, 404);
  EXPECT_NE(f.body.find("<html"), std::string::npos);

  sb_->post("/mirrors/1?mode=500");
  f = curl_get(sb_->mirror_url(1));
  EXPECT_EQ(f.status, 500);
  EXPECT_NE(f.body.find("<html"), std::string::npos);

  sb_->post("/mirrors/1?mode=no-sms-id");
  f = curl_get(sb_->mirror_url(1));
  EXPECT_EQ(f.status, 200);
  auto ini = parse_ini(f.body);
  EXPECT_EQ(ini.count("sms_id"), 0u);
  EXPECT_EQ(ini["sftp_pt"], std::to_string(sb_->ports().sftp));
  EXPECT_EQ(unmask(ini["sms_pw"]), sb_->db_password());

  sb_->post("/mirrors/1?mode=html");
  f = curl_get(sb_->mirror_url(1));
  EXPECT_EQ(f.status, 200);
  EXPECT_NE(f.body.find("<html"), std::string::npos);
  EXPECT_EQ(f.body.find("sms_ip"), std::string::npos);

  sb_->post("/mirrors/1?mode=binary");
  f = curl_get(sb_->mirror_url(1));
  Fetch g = curl_get(sb_->mirror_url(1));
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(f.body.size(), 4096u);
  EXPECT_NE(f.body.find('\0'), std::string::npos);
  EXPECT_NE(f.body, g.body);

  std::string custom = "[ip]\r\nsms_id=x\r\nsms_ip=10.0.0.1\r\n\xea\xb0\x80 odd line\n";
  sb_->post("/mirrors/1?mode=custom", custom);
  f = curl_get(sb_->mirror_url(1));
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(f.body, custom);

  EXPECT_EQ(hits(1), 7u);
  EXPECT_EQ(hits(2), 0u);
}

TEST_F(Mirrors, HangHoldsTheRequestUntilTheModeChanges) {
  sb_->post("/mirrors/3?mode=hang");
  Fetch timed_out = curl_get(sb_->mirror_url(3), 1);
  EXPECT_EQ(timed_out.curl_exit, 28);

  // A request waiting in `hang` goes on once the mode changes.
  Fetch released;
  std::thread waiter([&] { released = curl_get(sb_->mirror_url(3), 20); });
  for (int i = 0; i < 500 && hits(3) < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(hits(3), 2u);
  sb_->post("/mirrors/3?mode=up");
  waiter.join();
  EXPECT_EQ(released.curl_exit, 0);
  EXPECT_EQ(released.status, 200);
  EXPECT_TRUE(released.body.starts_with("[ip]\r\n"));
}

TEST_F(Mirrors, TrickleSendsOneByteASecondAndCloseMidBodyCutsTheFile) {
  sb_->post("/mirrors/2?mode=trickle");
  Fetch slow = curl_get(sb_->mirror_url(2), 3);
  EXPECT_EQ(slow.curl_exit, 28);  // timed out
  EXPECT_GE(slow.body.size(), 1u);
  EXPECT_LE(slow.body.size(), 4u);
  EXPECT_TRUE(std::string("[ip]\r\n").starts_with(slow.body)) << slow.body;

  sb_->post("/mirrors/2?mode=close-mid-body");
  Fetch cut = curl_get(sb_->mirror_url(2));
  EXPECT_EQ(cut.curl_exit, 18);  // partial file: fewer bytes than announced
  EXPECT_TRUE(cut.body.starts_with("[ip]\r\n")) << cut.body;
  sb_->post("/mirrors/2?mode=up");
  Fetch whole = curl_get(sb_->mirror_url(2));
  EXPECT_EQ(whole.curl_exit, 0);
  EXPECT_GT(whole.body.size(), cut.body.size());
  EXPECT_LT(cut.body.size(), whole.body.size() / 2 + 2);
}

TEST_F(Mirrors, EveryRequestCountsAsAHitAndResetClearsIt) {
  for (const char* path : {"/uini/ip1.ini", "/", "/favicon.ico", "/uini/ip1.ini?x=1"}) {
    curl_get(sb_->mirror_base(2) + path);
  }
  EXPECT_EQ(curl_get(sb_->mirror_base(2) + "/other").status, 404);
  EXPECT_EQ(hits(2), 5u);
  nlohmann::json reset = sb_->post("/mirrors/2/reset-hits");
  EXPECT_EQ(reset["hits"], 0);
  EXPECT_EQ(hits(2), 0u);
  sb_->post("/mirrors/2?mode=500");
  curl_get(sb_->mirror_url(2));
  EXPECT_EQ(hits(2), 1u) << "error answers count too";
}

TEST_F(Mirrors, ControlRejectsBadMirrorRequests) {
  EXPECT_EQ(sb_->request("POST", "/mirrors/4?mode=up").status, 404);
  EXPECT_EQ(sb_->request("POST", "/mirrors/0?mode=up").status, 404);
  auto bad = sb_->request("POST", "/mirrors/1?mode=sideways");
  EXPECT_EQ(bad.status, 400);
  EXPECT_TRUE(bad.json().contains("error"));
  EXPECT_EQ(sb_->request("POST", "/mirrors/1").status, 400);
  EXPECT_EQ(sb_->get("/state")["mirrors"][0]["mode"], "up");
  EXPECT_EQ(sb_->request("GET", "/no/such/route").status, 404);
}

}  // namespace
}  // namespace sandbox::test
