// Helpers for the TDS tests: building client messages the way clients do, and walking the
// server's token stream.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "tds/packet.h"
#include "tds/wire.h"

namespace sandbox::tds::testing {

using Bytes = std::vector<std::uint8_t>;

// The client side of password scrambling: swap each byte's nibbles, then XOR 0xA5.
inline Bytes scramble(std::u16string_view password) {
  Bytes out;
  for (char16_t c : password) {
    for (std::uint8_t b : {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)}) {
      out.push_back(static_cast<std::uint8_t>(((b << 4) | (b >> 4)) ^ 0xA5));
    }
  }
  return out;
}

struct LoginFields {
  std::u16string host = u"client-host";
  std::u16string user = u"u";
  std::u16string password = u"p";
  std::u16string app = u"tests";
  std::u16string server = u"127.0.0.1";
  std::u16string library = u"lib";
  std::u16string language;
  std::u16string database;
  std::uint32_t packet_size = 4096;
};

// A TDS 7.4 LOGIN7 with the 94-byte fixed part.
inline Bytes login7(const LoginFields& f) {
  WireWriter w;
  w.u32le(0);  // length, patched below
  w.u32le(0x74000004);
  w.u32le(f.packet_size);
  w.u32le(7);  // client program version
  w.u32le(1234);
  w.u32le(0);
  w.u8(0xE0);
  w.u8(0x03);
  w.u8(0);
  w.u8(0);
  w.u32le(0);
  w.u32le(0x409);
  const std::u16string* fields[] = {&f.host, &f.user,    nullptr,     &f.app,     &f.server,
                                    nullptr, &f.library, &f.language, &f.database};
  const Bytes pw = scramble(f.password);
  std::size_t offset = 94;
  Bytes data;
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    std::size_t chars = 0;
    if (i == 2) {
      chars = f.password.size();
      data.insert(data.end(), pw.begin(), pw.end());
    } else if (fields[i] != nullptr) {
      chars = fields[i]->size();
      for (char16_t c : *fields[i]) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
      }
    }
    w.u16le(static_cast<std::uint16_t>(offset));
    w.u16le(static_cast<std::uint16_t>(chars));
    offset += 2 * chars;
  }
  for (int i = 0; i < 6; ++i) w.u8(0);     // client id
  for (int i = 0; i < 4; ++i) w.u16le(0);  // SSPI, AtchDBFile
  w.u16le(0);                              // ChangePassword offset
  w.u16le(0);
  w.u32le(0);  // cbSSPILong
  w.bytes(data);
  Bytes b = w.take();
  const auto n = static_cast<std::uint32_t>(b.size());
  for (int i = 0; i < 4; ++i)
    b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
  return b;
}

inline Bytes prelogin(std::uint8_t encryption) {
  // VERSION (6 bytes) and ENCRYPTION (1 byte).
  return {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00,
          0x01, 0xFF, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, encryption};
}

inline void all_headers(WireWriter& w) {
  // Transaction descriptor header, as clients send it.
  w.u32le(22);
  w.u32le(18);
  w.u16le(2);
  w.u64le(0);
  w.u32le(1);
}

inline Bytes sql_batch(std::u16string_view sql) {
  WireWriter w;
  all_headers(w);
  w.ucs2(sql);
  return w.take();
}

inline std::u16string ascii_u16(const std::string& s) {
  return {s.begin(), s.end()};
}

inline Bytes hex(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

inline const Bytes kColl = {0x12, 0x04, 0xD0, 0x00, 0x00};

// Builds an RPC request: calls separated the way TDS 7.2+ clients separate them.
class RpcBuilder {
 public:
  RpcBuilder() { testing::all_headers(w_); }
  RpcBuilder& call(std::u16string_view name) {
    sep();
    w_.us_varchar(name);
    w_.u16le(0);
    return *this;
  }
  RpcBuilder& call_id(std::uint16_t id) {
    sep();
    w_.u16le(0xFFFF);
    w_.u16le(id);
    w_.u16le(0);
    return *this;
  }
  // A parameter: name, status, then raw TYPE_INFO + value bytes.
  RpcBuilder& param(std::u16string_view name, std::uint8_t status, const Bytes& type_and_value) {
    w_.b_varchar(name);
    w_.u8(status);
    w_.bytes(type_and_value);
    return *this;
  }
  RpcBuilder& p(const Bytes& type_and_value) { return param(u"", 0, type_and_value); }
  Bytes bytes() const { return w_.buffer(); }

 private:
  void sep() {
    if (calls_++ > 0) w_.u8(0xFF);
  }
  WireWriter w_;
  int calls_ = 0;
};

inline Bytes ucs2_bytes(std::u16string_view s) {
  WireWriter w;
  w.ucs2(s);
  return w.take();
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

// One walked token: its type and, for the ones tests look at, its decoded fields.
struct Token {
  std::uint8_t type = 0;
  std::uint16_t status = 0;   // DONE*
  std::uint64_t rows = 0;     // DONE*
  std::int32_t number = 0;    // ERROR/INFO number, RETURNSTATUS value
  std::u16string text;        // ERROR/INFO message, ENVCHANGE new value (as text)
  std::uint8_t env_type = 0;  // ENVCHANGE
  Bytes body;                 // the token's bytes after the token byte
  // ROW / RETURNVALUE: each value's data without its length prefix (PLP chunks joined);
  // nullopt for NULL.
  std::vector<std::optional<Bytes>> values;
  std::vector<std::uint8_t> wire_types;    // COLMETADATA / RETURNVALUE: each column's type byte
  std::vector<std::uint16_t> max_lengths;  // COLMETADATA: each column's max length field
};

// Walks a response. COLMETADATA is understood for the types the server emits, so ROW tokens can
// be delimited; anything unknown fails the walk (returns false).
bool walk_tokens(const Bytes& payload, std::vector<Token>& out);

// Splits a framed byte stream back into (type, payload) after checking every header.
struct Framed {
  std::uint8_t type = 0;
  Bytes payload;
  std::size_t packets = 0;
  std::size_t largest_packet = 0;
};
bool unframe(const Bytes& stream, std::vector<Framed>& out);

}  // namespace sandbox::tds::testing
