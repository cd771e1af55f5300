// The SFTP server seen through OpenSSH's sftp (password and keyboard-interactive) and libssh2:
// byte-exact uploads, refused logins and names, the refuse-writes and mute modes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "endpoint_helpers.h"

namespace sandbox::test {
namespace {

namespace fs = std::filesystem;

class Sftp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sb_ = new SandboxProcess(); }
  static void TearDownTestSuite() {
    delete sb_;
    sb_ = nullptr;
  }
  void SetUp() override {
    sb_->post("/sftp?mode=up");
    sb_->del("/uploads");
    char tmpl[] = "/tmp/taviksms-sftp-src-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    local_ = tmpl;
  }
  void TearDown() override { fs::remove_all(local_); }

  fs::path local_file(const std::string& name, const std::string& content) {
    fs::path p = local_ / name;
    write_file(p, content);
    return p;
  }
  static nlohmann::json uploads() { return sb_->get("/uploads")["files"]; }

  static SandboxProcess* sb_;
  fs::path local_;
};
SandboxProcess* Sftp::sb_ = nullptr;

TEST_F(Sftp, OpenSshUploadsByteIdenticalWithPasswordAndKeyboardInteractive) {
  std::string big = random_bytes(300 * 1024 + 17, 42);  // several 32 KiB writes
  fs::path src = local_file("photo.jpg", big);
  RunResult r = sftp_batch(*sb_, "put " + src.string() + "\nls -l\n", sb_->sftp_password());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("photo.jpg"), std::string::npos) << "listing shows the upload";
  EXPECT_EQ(read_file(sb_->data_dir() / "uploads" / "photo.jpg"), big);

  // Again under another name via keyboard-interactive; overwriting truncates.
  std::string small = "tiny";
  fs::path src2 = local_file("second.png", small);
  r = sftp_batch(*sb_, "put " + src2.string() + " photo.jpg\nput " + src2.string() + "\n",
                 sb_->sftp_password(), "keyboard-interactive");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(read_file(sb_->data_dir() / "uploads" / "photo.jpg"), small);
  EXPECT_EQ(read_file(sb_->data_dir() / "uploads" / "second.png"), small);

  nlohmann::json files = uploads();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0]["name"], "photo.jpg");
  EXPECT_EQ(files[0]["size"], 4);
  EXPECT_EQ(files[1]["name"], "second.png");
}

TEST_F(Sftp, Libssh2UploadsAndSessionsRunAtOnce) {
  std::vector<std::string> errors(4);
  std::vector<std::string> contents;
  for (int i = 0; i < 4; ++i) contents.push_back(random_bytes(50000 + i * 1000, 100 + i));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      errors[i] = libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(),
                                 "par" + std::to_string(i) + ".bin", contents[i]);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(errors[i], "") << i;
    EXPECT_EQ(read_file(sb_->data_dir() / "uploads" / ("par" + std::to_string(i) + ".bin")),
              contents[i]);
  }
  EXPECT_GE(sb_->get("/sftp")["total_sessions"].get<int>(), 4);
}

TEST_F(Sftp, WrongLoginsAreRefused) {
  fs::path src = local_file("x.jpg", "data");
  for (const char* auth : {"password", "keyboard-interactive"}) {
    RunResult r = sftp_batch(*sb_, "put " + src.string() + "\n", "wrong-password", auth);
    EXPECT_NE(r.exit_code, 0) << auth << r.out << r.err;
    EXPECT_FALSE(r.timed_out);
  }
  RunResult other_user = sftp_batch(*sb_, "put " + src.string() + "\n", sb_->sftp_password(),
                                    "password", std::chrono::seconds(60), "someoneelse");
  EXPECT_NE(other_user.exit_code, 0);
  EXPECT_EQ(libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), "nope", "y.jpg", "d"),
            "password refused");
  EXPECT_TRUE(uploads().empty());
}

TEST_F(Sftp, NamesLeavingTheUploadFolderAreRefused) {
  fs::path src = local_file("x.jpg", "data");
  std::string escape_name = "taviksms-escape-" + std::to_string(getpid());
  for (const std::string& target : {"../" + escape_name, "/tmp/" + escape_name,
                                    std::string("sub/x.jpg"), std::string("..\\") + escape_name}) {
    RunResult r =
        sftp_batch(*sb_, "put " + src.string() + " " + target + "\n", sb_->sftp_password());
    EXPECT_NE(r.exit_code, 0) << target << "\n" << r.out << r.err;
  }
  for (const std::string& target :
       {"../" + escape_name, "/tmp/" + escape_name, std::string("a\\b.jpg"), std::string("..")}) {
    std::string error =
        libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(), target, "data");
    EXPECT_EQ(error, "open refused, sftp status 3") << target;  // SSH_FX_PERMISSION_DENIED
  }
  EXPECT_FALSE(fs::exists(sb_->data_dir() / escape_name));
  EXPECT_FALSE(fs::exists("/tmp/" + escape_name));
  EXPECT_TRUE(uploads().empty());
  // The same session still takes proper names afterwards, "./name" included.
  RunResult ok = sftp_batch(*sb_,
                            "-put " + src.string() + " ../bad\nput " + src.string() + "\nput " +
                                src.string() + " ./dot.jpg\n",
                            sb_->sftp_password());
  EXPECT_EQ(ok.exit_code, 0) << ok.out << ok.err;
  EXPECT_EQ(uploads().size(), 2u);
  EXPECT_EQ(read_file(sb_->data_dir() / "uploads" / "dot.jpg"), "data");
}

TEST_F(Sftp, RefuseWritesModeDeniesOpeningForWrite) {
  sb_->post("/sftp?mode=refuse-writes");
  EXPECT_EQ(sb_->get("/state")["sftp"]["mode"], "refuse-writes");
  fs::path src = local_file("r.jpg", "data");
  RunResult r = sftp_batch(*sb_, "put " + src.string() + "\n", sb_->sftp_password());
  EXPECT_NE(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(
      libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(), "r.jpg", "data"),
      "open refused, sftp status 3");
  EXPECT_TRUE(uploads().empty());
  sb_->post("/sftp?mode=up");
  EXPECT_EQ(
      libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(), "r.jpg", "data"),
      "");
}

TEST_F(Sftp, MuteModeAcceptsAndNeverSpeaksThenRecovers) {
  sb_->post("/sftp?mode=mute");
  fs::path src = local_file("m.jpg", "data");
  // ConnectTimeout also bounds the wait for the server's banner.
  RunResult r = taviksms::testing::run_command(
      {"sshpass", "-e", "sftp", "-o", "BatchMode=no", "-b", "-", "-P",
       std::to_string(sb_->ports().sftp), "-o", "StrictHostKeyChecking=no", "-o",
       "UserKnownHostsFile=/dev/null", "-o", "ConnectTimeout=2", sb_->sftp_user() + "@127.0.0.1"},
      "put " + src.string() + "\n", std::chrono::seconds(20), {"SSHPASS=" + sb_->sftp_password()});
  EXPECT_NE(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("imed out"), std::string::npos) << r.err;
  EXPECT_TRUE(uploads().empty());

  sb_->post("/sftp?mode=up");
  EXPECT_EQ(
      libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(), "m.jpg", "data"),
      "");
  EXPECT_EQ(uploads().size(), 1u);
}

TEST_F(Sftp, DropModeKeepsTheBytesBeforeTheOffsetAndCutsTheConnection) {
  const std::string content = random_bytes(100000, 5);
  for (std::uint64_t offset : {0ull, 1ull, 40000ull, 99999ull}) {
    SCOPED_TRACE(offset);
    sb_->del("/uploads");
    sb_->post("/sftp?mode=drop&offset=" + std::to_string(offset));
    EXPECT_EQ(sb_->get("/sftp")["offset"], offset);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(
        libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(), "d.jpg", content),
        "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(read_file(sb_->data_dir() / "uploads" / "d.jpg"), content.substr(0, offset));
  }
  sb_->post("/sftp?mode=up");
  EXPECT_EQ(
      libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(), "d.jpg", content),
      "");
  EXPECT_EQ(read_file(sb_->data_dir() / "uploads" / "d.jpg"), content);
}

TEST_F(Sftp, StallModeHoldsTheTransferUntilTheModeChanges) {
  const std::string content = random_bytes(50000, 6);
  sb_->post("/sftp?mode=stall&offset=20000");
  std::string result = "(still running)";
  std::atomic<bool> done{false};
  std::thread upload([&] {
    result =
        libssh2_upload(sb_->ports().sftp, sb_->sftp_user(), sb_->sftp_password(), "s.jpg", content);
    done = true;
  });
  const fs::path stored = sb_->data_dir() / "uploads" / "s.jpg";
  for (int i = 0; i < 500 && !(fs::exists(stored) && fs::file_size(stored) == 20000); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(done) << "the write past the offset must not be answered";
  EXPECT_EQ(read_file(stored), content.substr(0, 20000));
  sb_->post("/sftp?mode=up");
  upload.join();
  EXPECT_NE(result, "") << "a released stall ends the connection";
  EXPECT_EQ(sb_->get("/sftp")["mode"], "up");
}

TEST_F(Sftp, ControlRejectsUnknownMode) {
  EXPECT_EQ(sb_->request("POST", "/sftp?mode=drop&offset=-1").status, 400);
  EXPECT_EQ(sb_->request("POST", "/sftp?mode=drop&offset=x").status, 400);
  EXPECT_EQ(sb_->request("POST", "/sftp?mode=slow").status, 400);
  EXPECT_EQ(sb_->get("/sftp")["mode"], "up");
}

}  // namespace
}  // namespace sandbox::test
