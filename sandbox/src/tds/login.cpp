#include "tds/login.h"

#include "tds/wire.h"

namespace sandbox::tds {
namespace {

constexpr std::uint8_t kOptVersion = 0x00;
constexpr std::uint8_t kOptEncryption = 0x01;
constexpr std::uint8_t kOptInstOpt = 0x02;
constexpr std::uint8_t kOptThreadId = 0x03;
constexpr std::uint8_t kOptMars = 0x04;
constexpr std::uint8_t kOptTerminator = 0xFF;

constexpr std::size_t kLogin7FixedSize = 72;        // up to and including the Database pair
constexpr std::uint8_t kIntegratedSecurity = 0x80;  // OptionFlags2 fIntSecurity

}  // namespace

Prelogin parse_prelogin(std::span<const std::uint8_t> payload) {
  Prelogin p;
  WireReader r(payload);
  // The option table is a list of (token, offset BE16, length BE16) ended by 0xFF.
  for (int i = 0; i < 256; ++i) {
    const std::uint8_t token = r.u8();
    if (token == kOptTerminator) return p;
    const std::uint16_t offset = r.u16be();
    const std::uint16_t length = r.u16be();
    if (static_cast<std::size_t>(offset) + length > payload.size()) {
      throw ProtocolError("PRELOGIN option outside the message");
    }
    if (token == kOptEncryption && length >= 1) p.encryption = payload[offset];
  }
  throw ProtocolError("PRELOGIN option table not terminated");
}

EncryptionAgreement agree_encryption(EncryptionSetting server, std::uint8_t client) {
  using namespace encryption;
  if (client > kRequired) return {true};  // no such value
  const bool wants = client == kOn || client == kRequired;
  switch (server) {
    case EncryptionSetting::kOff:
      // A client that insists gets nothing to talk to; any other goes on in clear.
      if (client == kRequired) return {true};
      return {false, kNotSupported, Encryption::kNone};
    case EncryptionSetting::kOffered:
      if (wants) return {false, kOn, Encryption::kSession};
      if (client == kOff) return {false, kOff, Encryption::kLogin};
      return {false, kNotSupported, Encryption::kNone};
    case EncryptionSetting::kRequired:
      return {false, wants ? kOn : kRequired, Encryption::kSession};
  }
  return {true};
}

std::optional<EncryptionSetting> parse_encryption_setting(std::string_view text) {
  for (auto s :
       {EncryptionSetting::kOff, EncryptionSetting::kOffered, EncryptionSetting::kRequired}) {
    if (text == encryption_setting_name(s)) return s;
  }
  return std::nullopt;
}

std::string_view encryption_setting_name(EncryptionSetting setting) {
  switch (setting) {
    case EncryptionSetting::kOff:
      return "off";
    case EncryptionSetting::kOffered:
      return "offered";
    case EncryptionSetting::kRequired:
      return "required";
  }
  return "off";
}

std::string_view encryption_name(Encryption encryption) {
  switch (encryption) {
    case Encryption::kNone:
      return "none";
    case Encryption::kLogin:
      return "login";
    case Encryption::kSession:
      return "session";
  }
  return "none";
}

std::vector<std::uint8_t> build_prelogin_reply(std::uint8_t encryption_answer) {
  struct Option {
    std::uint8_t token;
    std::vector<std::uint8_t> data;
  };
  const Option options[] = {
      {kOptVersion, {16, 0, 0x10, 0x00, 0, 0}},  // 16.0.4096, sub-build 0
      {kOptEncryption, {encryption_answer}},
      {kOptInstOpt, {0}},
      {kOptThreadId, {}},
      {kOptMars, {0}},
  };
  const std::size_t table = std::size(options) * 5 + 1;
  WireWriter w;
  std::size_t offset = table;
  for (const Option& o : options) {
    w.u8(o.token);
    w.u16be(static_cast<std::uint16_t>(offset));
    w.u16be(static_cast<std::uint16_t>(o.data.size()));
    offset += o.data.size();
  }
  w.u8(kOptTerminator);
  for (const Option& o : options) w.bytes(o.data);
  return w.take();
}

std::u16string unscramble_password(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> plain(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t x = bytes[i] ^ 0xA5;
    plain[i] = static_cast<std::uint8_t>((x << 4) | (x >> 4));
  }
  WireReader r(plain);
  return r.ucs2(plain.size() / 2);
}

Login7 parse_login7(std::span<const std::uint8_t> payload) {
  if (payload.size() < kLogin7FixedSize) throw ProtocolError("LOGIN7 too short");
  WireReader r(payload);
  Login7 login;
  const std::uint32_t declared = r.u32le();
  if (declared > payload.size()) throw ProtocolError("LOGIN7 length exceeds the message");
  login.tds_version = r.u32le();
  login.packet_size = r.u32le();
  r.seek(25);  // OptionFlags2
  login.integrated_security = (r.u8() & kIntegratedSecurity) != 0;

  // Variable fields: (offset, length in characters) pairs relative to the start of LOGIN7.
  auto field = [&](std::size_t at) -> std::pair<std::size_t, std::size_t> {
    r.seek(at);
    const std::size_t off = r.u16le();
    const std::size_t chars = r.u16le();
    if (off + 2 * chars > payload.size()) throw ProtocolError("LOGIN7 field outside the message");
    return {off, chars};
  };
  auto text = [&](std::size_t at) {
    auto [off, chars] = field(at);
    WireReader f(payload.subspan(off, 2 * chars));
    return f.ucs2(chars);
  };
  login.request.host_name = text(36);
  login.request.user = text(40);
  {
    auto [off, chars] = field(44);
    login.request.password = unscramble_password(payload.subspan(off, 2 * chars));
  }
  login.request.app_name = text(48);
  login.request.database = text(68);
  return login;
}

}  // namespace sandbox::tds
