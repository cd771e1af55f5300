// The two messages before a session exists: PRELOGIN and LOGIN7.
#pragma once

#include <cstdint>
#include <span>
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

// The server's PRELOGIN answer (the payload of a type 0x04 message): VERSION, ENCRYPTION not
// supported, INSTOPT 0, empty THREADID, MARS off.
std::vector<std::uint8_t> build_prelogin_reply();

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
