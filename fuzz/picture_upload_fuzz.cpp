// Picture names and FTP_Upload's checks, on a platform whose file lengths and transfers the
// input decides. Properties: the base name is the path's last part in lower case (length kept,
// no separator left); the server name is UserId + "_" + that name, or empty with it; the upload
// answers exactly by the checks in order (no file, too large, not a JPG) and transfers only a
// file that passed them, under its server name.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "base/module_state.h"
#include "base/platform/testing.h"
#include "fuzz_util.h"
#include "platform/posix/posix_platform.h"
#include "upload/picture_name.h"
#include "upload/upload.h"

namespace {

using namespace taviksms;

struct Transfer {
  int puts = 0;
  std::u16string remote;
  std::u16string local;
  bool succeeds = true;
};

class Sftp : public platform::SftpComponent {
 public:
  explicit Sftp(Transfer& t) : t_(t) {}
  void set_host(const std::u16string&) override {}
  void set_user_name(const std::u16string&) override {}
  void set_password(const std::u16string&) override {}
  void set_port(std::int32_t) override {}
  void set_remote_path(const std::u16string&) override {}
  bool connect() override { return up_ = true; }
  bool connected() const override { return up_; }
  bool put_file(const std::u16string& remote, const std::u16string& local) override {
    ++t_.puts;
    t_.remote = remote;
    t_.local = local;
    return t_.succeeds;
  }

 private:
  Transfer& t_;
  bool up_ = false;
};

class FilesFromInput : public platform::posix::PosixPlatform {
 public:
  std::int64_t length = 0;
  Transfer transfer;
  std::int64_t file_length(const std::string&) override { return length; }
  std::unique_ptr<platform::SftpComponent> new_sftp_component() override {
    return std::make_unique<Sftp>(transfer);
  }
};

bool ends_with_jpg(const std::u16string& s) {
  return s.size() >= 4 && s.compare(s.size() - 4, 4, u".jpg") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FilesFromInput p;
  platform::ScopedPlatformOverride use(p);
  FuzzedDataProvider in(data, size);
  p.length = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(-2, 33002)
                              : in.ConsumeIntegral<std::int64_t>();
  p.transfer = Transfer{};
  p.transfer.succeeds = in.ConsumeBool();
  const bool ascii = in.ConsumeBool();
  const std::vector<std::uint8_t> user_bytes =
      in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 16));
  const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
  const std::u16string user = fuzz::pick_from(user_bytes.data(), user_bytes.size(), u"abAB_1");
  const std::u16string path =
      ascii ? fuzz::pick_from(rest.data(), rest.size(), u"/\\.jJpPgGaZ \u00C4\u0130")
            : fuzz::utf16_of(rest.data(), rest.size());

  // Names.
  const std::u16string base = upload::picture_base_name(path);
  const std::size_t cut = path.find_last_of(u"/\\");
  const std::u16string last = cut == std::u16string::npos ? path : path.substr(cut + 1);
  FUZZ_CHECK(base.size() == last.size());
  FUZZ_CHECK(base.find_first_of(u"/\\") == std::u16string::npos);
  FUZZ_CHECK(base == upload::lower_case(last));
  FUZZ_CHECK(upload::lower_case(base) == base);
  for (char16_t c : base) FUZZ_CHECK(!(c >= u'A' && c <= u'Z'));
  const std::u16string server = upload::picture_server_name(user, path);
  FUZZ_CHECK(base.empty() ? server.empty() : server == user + u"_" + base);

  // The upload's checks, in their order.
  core::ModuleState& s = core::module_state();
  upload::ftp_disconnect();
  s.user_id = user;
  const std::u16string r = upload::ftp_upload(path);
  std::u16string want;
  if (p.length <= 0) {
    want = upload::kNoFile;
  } else if (p.length > upload::kMaxPictureBytes) {
    want = upload::kTooLarge;
  } else if (!ends_with_jpg(base)) {
    want = upload::kNotJpg;
  } else {
    want = p.transfer.succeeds ? u"OK" : upload::kUploadError;
  }
  FUZZ_CHECK(r == want);
  const bool checks_passed = want == u"OK" || want == upload::kUploadError;
  FUZZ_CHECK(p.transfer.puts == (checks_passed ? 1 : 0));
  if (checks_passed) {
    FUZZ_CHECK(p.transfer.remote == user + u"_" + base);
    FUZZ_CHECK(p.transfer.local == path);
  }
  upload::ftp_disconnect();
  return 0;
}
