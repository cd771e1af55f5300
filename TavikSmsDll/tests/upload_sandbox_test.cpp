// FTP_Connect, FTP_Upload and FTP_DisConnect against the sandbox's SFTP server: the file checks
// in their order, the remote name, what arrives on the server, and the connection's lifecycle.
#include <chrono>
#include <fstream>
#include <random>
#include <string>

#include <taviksms/taviksms.h>

#include "base/module_state.h"
#include "base/platform/platform.h"
#include "base/text.h"
#include "component_fixture.h"
#include "platform/ssh/libssh2_sftp.h"
#include "upload/upload.h"

namespace taviksms::test {
namespace {

namespace fs = std::filesystem;
const std::u16string kNoFile = upload::kNoFile;
const std::u16string kTooLarge = upload::kTooLarge;
const std::u16string kNotJpg = upload::kNotJpg;

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

std::string read_all(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Only backslashes separate directories in a picture's path, so on this system a host names its
// pictures relative to the current folder: the tests work inside their own folder.
class UploadTest : public ComponentTest {
 public:
  void SetUp() override {
    ComponentTest::SetUp();
    previous_cwd_ = fs::current_path();
    fs::current_path(folder());
  }
  void TearDown() override {
    fs::current_path(previous_cwd_);
    ComponentTest::TearDown();
  }
  // Writes the file in the test's folder; returns its bare name.
  fs::path write(const std::string& name, const std::string& bytes) {
    std::ofstream(folder() / name, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return name;
  }
  static std::u16string u16(const fs::path& p) { return core::utf8_to_utf16(p.string()); }
  nlohmann::json uploads() { return sandbox().get("/uploads")["files"]; }
  std::string stored(const std::string& name) {
    return read_all(sandbox().data_dir() / "uploads" / name);
  }

 private:
  fs::path previous_cwd_;
};

TEST_F(UploadTest, ChecksRunInOrderWithTheLimitInclusive) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.FTP_Upload(u16(write("exact.jpg", random_bytes(33000, 1)))), u"OK");
  EXPECT_EQ(c.FTP_Upload(u16(write("over.jpg", random_bytes(33001, 2)))), kTooLarge);
  EXPECT_EQ(c.FTP_Upload(u16(write("empty.jpg", ""))), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u16(folder() / "missing.jpg")), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u16(write("pic.jpeg", "x"))), kNotJpg);
  EXPECT_EQ(c.FTP_Upload(u16(write("pic", "x"))), kNotJpg);
  EXPECT_EQ(c.FTP_Upload(u16(write("pic.jpg.png", "x"))), kNotJpg);
  // The first failing check decides: an oversized PNG gets the size message.
  EXPECT_EQ(c.FTP_Upload(u16(write("big.png", random_bytes(40000, 3)))), kTooLarge);
  // Only the name is tested: text in a file called .JPG passes.
  EXPECT_EQ(c.FTP_Upload(u16(write("NOTE.JPG", "not a picture"))), u"OK");

  auto files = uploads();
  ASSERT_EQ(files.size(), 2u) << files.dump();
  EXPECT_EQ(files[0]["name"], "demo_exact.jpg");
  EXPECT_EQ(files[0]["size"], 33000);
  EXPECT_EQ(files[1]["name"], "demo_note.jpg");
  EXPECT_EQ(stored("demo_exact.jpg"), random_bytes(33000, 1));
}

TEST_F(UploadTest, StoredUnderUserIdAndLowerCasedBaseNameByteForByte) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  // On this file system a backslash is an ordinary character: a file literally named
  // "Pics\Photo1.JPG" has the base name "Photo1.JPG".
  std::string bytes = random_bytes(12345, 7);
  fs::path p = write("Pics\\Photo1.JPG", bytes);
  EXPECT_EQ(c.FTP_Upload(u16(p)), u"OK");
  EXPECT_EQ(stored("demo_photo1.jpg"), bytes);
  // The message names the same file.
  EXPECT_EQ(c.MmsSend(u"", u"", u"", u"", u"01011112222", u"s", u"m", u16(p), u"", u"", u""),
            u"OK");
  EXPECT_EQ(call_param(calls("sp_mms_send").at(0), "@fnam1"), u"demo_photo1.jpg");

  // Uploading again replaces the file.
  std::string second = random_bytes(100, 8);
  write("Pics\\Photo1.JPG", second);
  EXPECT_EQ(c.FTP_Upload(u16(p)), u"OK");
  EXPECT_EQ(stored("demo_photo1.jpg"), second);
}

// On POSIX the platform's separator cuts like the backslash, so an absolute path uploads under
// its bare name, and MmsSend names the same file.
TEST_F(UploadTest, ForwardSlashPathsAreCutAtThePlatformSeparator) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  fs::create_directory(folder() / "sub");
  write("sub/A.jpg", "abc");
  const std::u16string path = u16(folder() / "sub" / "A.jpg");
  EXPECT_EQ(c.FTP_Upload(path), u"OK");
  EXPECT_EQ(stored("demo_a.jpg"), "abc");
  EXPECT_EQ(c.MmsSend(u"", u"", u"", u"", u"01012345678", u"s", u"m", path, u"", u"", u""), u"OK");
  EXPECT_EQ(call_param(calls("sp_mms_send").back(), "@fnam1"), u"demo_a.jpg");
}

TEST_F(UploadTest, UploadBeforeAnyDatabaseMethodCannotConnect) {
  TavikSms c;
  EXPECT_EQ(c.FTP_Upload(u16(write("a.jpg", "abc"))), u"FTP Connect Error");
  EXPECT_FALSE(core::module_state().sftp.connected);
  EXPECT_EQ(core::module_state().last_result, u"FTP Connect Error");
  EXPECT_EQ(c.FTP_Connect(), u"FTP Connect Error");
  EXPECT_EQ(c.FTP_DisConnect(), u"OK");
  EXPECT_EQ(sandbox().get("/sftp")["total_sessions"], 0);
}

TEST_F(UploadTest, DisconnectReleasesAndTheNextUploadConnectsAgain) {
  TavikSms c;
  EXPECT_EQ(c.FTP_DisConnect(), u"OK");  // nothing to release
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.FTP_Connect(), u"OK");
  EXPECT_TRUE(core::module_state().sftp.connected);
  fs::path p = write("one.jpg", "1");
  EXPECT_EQ(c.FTP_Upload(u16(p)), u"OK");
  EXPECT_EQ(c.FTP_Upload(u16(p)), u"OK");
  EXPECT_EQ(sandbox().get("/sftp")["total_sessions"], 1) << "uploads reuse the connection";

  EXPECT_EQ(c.FTP_DisConnect(), u"OK");
  EXPECT_FALSE(core::module_state().sftp.connected);
  EXPECT_EQ(core::module_state().sftp.client, nullptr);
  EXPECT_EQ(c.FTP_Upload(u16(p)), u"OK");
  EXPECT_EQ(core::module_state().last_result, u"OK");  // FTP_Upload's own connect result
  EXPECT_EQ(sandbox().get("/sftp")["total_sessions"], 2);
}

TEST_F(UploadTest, RefusedPutIsUploadErrorAndTheSessionStaysUsable) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  fs::path p = write("r.jpg", "abc");
  sandbox().post("/sftp?mode=refuse-writes");
  EXPECT_EQ(c.FTP_Upload(u16(p)), u"upload Error");
  EXPECT_EQ(core::module_state().last_result, u"upload Error");
  EXPECT_TRUE(core::module_state().sftp.connected);
  sandbox().post("/sftp?mode=up");
  EXPECT_EQ(c.FTP_Upload(u16(p)), u"OK");
  EXPECT_EQ(stored("demo_r.jpg"), "abc");
}

TEST_F(UploadTest, OnceConnectedFtpConnectKeepsReportingOkUntilDisconnect) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(c.FTP_Connect(), u"OK");
  core::module_state().config.sftp_port = u"not a port";  // reconfiguring fails, the flag stays
  EXPECT_EQ(c.FTP_Connect(), u"OK");
  EXPECT_EQ(c.FTP_DisConnect(), u"OK");
  core::module_state().config.sftp_password = u"wrong";
  core::module_state().config.sftp_port =
      std::u16string(core::utf8_to_utf16(std::to_string(sandbox().ports().sftp)));
  EXPECT_EQ(c.FTP_Connect(), u"FTP Connect Error");
  EXPECT_FALSE(core::module_state().sftp.connected);
  EXPECT_NE(core::module_state().sftp.client, nullptr) << "a failed connect keeps its instance";
}

// ---- bad input ----

TEST_F(UploadTest, PathsThatAreNotRegularFilesOrNotNamesAreNoFile) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  fs::create_directory(folder() / "dir.jpg");
  EXPECT_EQ(c.FTP_Upload(u16(folder() / "dir.jpg")), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u"/dev/null"), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u"/dev/zero"), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u"/dev/urandom.jpg"), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u16(folder()) + u"/" + std::u16string(4000, u'a') + u".jpg"), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u""), kNoFile);
  // A NUL would cut the name short to an existing file; it must not.
  write("real.jpg", "abc");
  EXPECT_EQ(c.FTP_Upload(u"real.jpg" + std::u16string(1, u'\0') + u"x.jpg"), kNoFile);
  EXPECT_EQ(c.FTP_Upload(std::u16string(1, char16_t(0xD800)) + u".jpg"), kNoFile);
  // A name on disk that is not UTF-8 (EUC-KR "가") cannot be named from a UTF-8 host.
  write(std::string("\xB0\xA1.jpg"), "abc");
  EXPECT_EQ(c.FTP_Upload(u"가.jpg"), kNoFile);
  EXPECT_EQ(c.FTP_Upload(u"\uFFFD.jpg"), kNoFile);
  EXPECT_TRUE(uploads().empty());
}

TEST_F(UploadTest, KoreanNamesTravelAsUtf8) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.FTP_Upload(u16(write("사진 1.JPG", "abc"))), u"OK");
  EXPECT_EQ(uploads()[0]["name"], "demo_사진 1.jpg");
}

// Names that are not valid in the code set (UTF-8 here): x\xfe.jpg and x\xff.jpg would both be
// stored as demo_x\uFFFD.jpg, the second replacing the first, while MmsSend names each by its
// own byte. They are refused; a folder with such a name does not matter.
TEST_F(UploadTest, NamesWithUndecodableBytesAreRefusedNotMerged) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  platform::Platform& p = platform::current();
  for (const char* bad : {"x\xfe.jpg", "x\xff.jpg", "\xc3.jpg"}) {
    SCOPED_TRACE(bad);
    write(bad, "picture");
    EXPECT_EQ(c.FTP_Upload(p.from_ansi(bad)), std::u16string(upload::kUploadError));
  }
  EXPECT_TRUE(uploads().empty());
  fs::create_directory(folder() / "d\xfe");
  write("d\xfe/ok.jpg", "fine");
  EXPECT_EQ(c.FTP_Upload(p.from_ansi("d\xfe/ok.jpg")), u"OK");
  ASSERT_EQ(uploads().size(), 1u);
  EXPECT_EQ(uploads()[0]["name"], "demo_ok.jpg");
  EXPECT_EQ(stored("demo_ok.jpg"), "fine");
}

// A platform whose SFTP client gives up after one second, so a mute server is cheap to test.
class QuickSftpPlatform : public TestPlatform {
 public:
  using TestPlatform::TestPlatform;
  std::unique_ptr<platform::SftpComponent> new_sftp_component() override {
    return platform::ssh::make_sftp_component(platform::ssh::SftpLimits{1000, 1000});
  }
};

TEST_F(UploadTest, MuteServerIsBoundedByTheConnectTimeout) {
  QuickSftpPlatform quick(mirror_bases_of(sandbox()), folder(), ThreadSession::short_limits());
  platform::ScopedPlatformOverride guard(quick);
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/sftp?mode=mute");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.FTP_Upload(u16(write("m.jpg", "abc"))), u"FTP Connect Error");
  auto took = std::chrono::steady_clock::now() - start;
  // Two Connect attempts of at most one second each, plus slack; never an open-ended wait.
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(c.FTP_DisConnect(), u"OK");
  sandbox().post("/sftp?mode=up");
  EXPECT_EQ(c.FTP_Upload(u16(write("m.jpg", "abc"))), u"OK");
}

}  // namespace
}  // namespace taviksms::test
