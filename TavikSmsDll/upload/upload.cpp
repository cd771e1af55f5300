#include "upload/upload.h"

#include <exception>

#include "base/error.h"
#include "base/module_state.h"
#include "db/value.h"
#include "upload/picture_name.h"

namespace taviksms::upload {

namespace {

using core::ModuleState;

// The instance, created on first use; a platform that cannot make one fails the step as the
// runtime does when an object cannot be created.
platform::SftpComponent& client(ModuleState& s) {
  if (!s.sftp.client) {
    auto component = platform::current().new_sftp_component();
    if (!component) {
      throw core::Error(core::err::runtime(429), u"TavikSmsDll",
                        u"ActiveX component can't create object");
    }
    s.sftp.client = std::make_shared<SftpSession>(std::move(component));
  }
  return s.sftp.client->component();
}

// Errors ignored: a failing step is abandoned and the next one runs.
template <typename Step>
void step(Step&& f) {
  try {
    f();
  } catch (...) {
  }
}

}  // namespace

std::u16string ftp_connect() {
  ModuleState& s = core::module_state();
  step([&] { client(s).set_host(s.config.sftp_host); });
  step([&] { client(s).set_user_name(s.config.sftp_user); });
  step([&] { client(s).set_password(s.config.sftp_password); });
  step([&] {
    std::int32_t port = 0;
    bool overflow = false;
    if (!db::round_half_even_to_int32(s.config.sftp_port, port, overflow)) {
      if (overflow) core::raise_overflow();
      core::raise_type_mismatch();
    }
    client(s).set_port(port);
  });
  step([&] { client(s).set_remote_path(u"."); });
  // A connect that failed is tried once more before the state is polled.
  step([&] { client(s).connect(); });
  step([&] { client(s).connect(); });
  for (int poll = 0; poll < 2; ++poll) {
    bool up = false;
    step([&] { up = client(s).connected(); });
    if (up) {
      s.sftp.connected = true;
      break;
    }
  }
  if (s.sftp.connected) return u"OK";
  s.sftp.connected = false;
  s.last_result = kConnectError;
  return kConnectError;
}

std::u16string ftp_upload(const std::u16string& fnam) {
  ModuleState& s = core::module_state();
  try {
    platform::Platform& p = platform::current();
    std::string local = p.to_ansi(fnam);
    std::int64_t length = p.file_length(local);
    if (length <= 0) return kNoFile;
    // Read again for the size test, as the check is a separate step of its own.
    length = p.file_length(local);
    if (length < 0 || length > kMaxPictureBytes) return kTooLarge;
    std::u16string name = picture_base_name(fnam);
    if (name.size() < 4 || name.compare(name.size() - 4, 4, u".jpg") != 0) return kNotJpg;
    // A name holding a byte the code set cannot decode has no text the server can store it
    // under: it would become U+FFFD there (two such names one file) while MmsSend names the
    // byte itself. Such a picture is not uploaded.
    if (has_undecodable_character(name)) {
      s.last_result = kUploadError;
      return kUploadError;
    }
    if (!s.sftp.connected) s.last_result = ftp_connect();
    if (!s.sftp.connected) return kConnectError;
    bool put = false;
    std::u16string remote = s.user_id + u"_" + name;
    step([&] { put = client(s).put_file(remote, fnam); });
    if (put) return u"OK";
    s.last_result = kUploadError;
    return kUploadError;
  } catch (...) {
    // Only a failing conversion or allocation gets here; the method still must not fail.
    s.last_result = kUploadError;
    return kUploadError;
  }
}

std::u16string ftp_disconnect() {
  ModuleState& s = core::module_state();
  s.sftp.client.reset();
  s.sftp.connected = false;
  return u"OK";
}

}  // namespace taviksms::upload
