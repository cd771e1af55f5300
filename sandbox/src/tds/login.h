// The two messages before a session exists: PRELOGIN and LOGIN7.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "backend.h"

namespace sandbox::tds {

namespace encryption {
inline constexpr std::uint8_t kOff = 0x00;
inline constexpr std::uint8_t kOn = 0x01;
inline constexpr std::uint8_t kNotSupported = 0x02;
inline constexpr std::uint8_t kRequired = 0x03;
}  // namespace encryption

struct Prelogin {
  std::uint8_t encryption = encryption::kOff;  // the client's ENCRYPTION option (off if absent)
};

// Throws ProtocolError on a malformed option table.
Prelogin parse_prelogin(std::span<const std::uint8_t> payload);

// The server's PRELOGIN answer (the payload of a type 0x04 message): VERSION, ENCRYPTION as
// given, INSTOPT 0, empty THREADID, MARS off.
std::vector<std::uint8_t> build_prelogin_reply(
    std::uint8_t encryption_answer = encryption::kNotSupported);

// What the server offers: nothing (it answers "not supported"), encryption for whoever wants it
// (SQL Server's default: every server has a certificate, a self-signed one when none was
// configured), or encryption required of every client.
enum class EncryptionSetting { kOff, kOffered, kRequired };
// What a connection agreed to: no TLS, TLS for the login message only (the client said "off" to
// a server that offers it), or TLS for the whole session.
enum class Encryption { kNone, kLogin, kSession };

struct EncryptionAgreement {
  bool refuse = false;  // close the connection without an answer
  std::uint8_t answer = encryption::kNotSupported;
  Encryption encryption = Encryption::kNone;
};

// The PRELOGIN ENCRYPTION negotiation. A client that answers "not supported" to a server that
// requires encryption still gets the answer "required", and is closed when it goes on in clear.
EncryptionAgreement agree_encryption(EncryptionSetting server, std::uint8_t client);

// "off", "offered", "required" and back.
std::optional<EncryptionSetting> parse_encryption_setting(std::string_view text);
std::string_view encryption_setting_name(EncryptionSetting setting);
// "none", "login", "session".
std::string_view encryption_name(Encryption encryption);

struct Login7 {
  std::uint32_t tds_version = 0;
  std::uint32_t packet_size = 0;  // requested by the client; 0 means the server's default
  bool integrated_security = false;
  LoginRequest request;
};

// Throws ProtocolError when the fixed part or an offset/length pair is out of bounds.
Login7 parse_login7(std::span<const std::uint8_t> payload);

// Undoes the client's password scrambling (it swapped each byte's nibbles, then XORed 0xA5).
std::u16string unscramble_password(std::span<const std::uint8_t> bytes);

}  // namespace sandbox::tds
