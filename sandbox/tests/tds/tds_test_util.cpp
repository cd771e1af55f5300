#include "tds_test_util.h"

namespace sandbox::tds::testing {
namespace {

struct Col {
  std::uint8_t type = 0;
  std::uint16_t max = 0;
};

Col read_type_info(WireReader& r) {
  Col c;
  c.type = r.u8();
  switch (c.type) {
    case 0xA7:
    case 0xE7:
      c.max = r.u16le();
      r.skip(5);
      break;
    case 0x26:
    case 0x6E:
    case 0x6F:
    case 0x68:
      c.max = r.u8();
      break;
    case 0x6A:
      c.max = r.u8();
      r.skip(2);
      break;
    default:
      throw ProtocolError("unexpected type in response");
  }
  return c;
}

std::optional<Bytes> read_value(WireReader& r, const Col& c) {
  if (c.type == 0xA7 || c.type == 0xE7) {
    if (c.max == 0xFFFF) {
      const std::uint64_t total = r.u64le();
      if (total == ~std::uint64_t{0}) return std::nullopt;
      Bytes out;
      for (;;) {
        const std::uint32_t n = r.u32le();
        if (n == 0) break;
        auto b = r.bytes(n);
        out.insert(out.end(), b.begin(), b.end());
      }
      if (out.size() != total) throw ProtocolError("PLP total mismatch");
      return out;
    }
    const std::uint16_t n = r.u16le();
    if (n == 0xFFFF) return std::nullopt;
    auto b = r.bytes(n);
    return Bytes(b.begin(), b.end());
  }
  const std::uint8_t n = r.u8();
  if (n == 0) return std::nullopt;
  auto b = r.bytes(n);
  return Bytes(b.begin(), b.end());
}

}  // namespace

bool walk_tokens(const Bytes& payload, std::vector<Token>& out) {
  WireReader r(payload);
  std::vector<Col> cols;
  try {
    while (!r.at_end()) {
      Token t;
      t.type = r.u8();
      const std::size_t start = r.position();
      switch (t.type) {
        case 0xFD:
        case 0xFE:
        case 0xFF:
          t.status = r.u16le();
          r.u16le();
          t.rows = r.u64le();
          break;
        case 0x79:
          t.number = static_cast<std::int32_t>(r.u32le());
          break;
        case 0xAA:
        case 0xAB: {
          const std::uint16_t len = r.u16le();
          const std::size_t end = r.position() + len;
          t.number = static_cast<std::int32_t>(r.u32le());
          r.u8();
          r.u8();
          t.text = r.us_varchar();
          r.seek(end);
          break;
        }
        case 0xE3: {
          const std::uint16_t len = r.u16le();
          const std::size_t end = r.position() + len;
          t.env_type = r.u8();
          if (t.env_type != 7) t.text = r.b_varchar();
          r.seek(end);
          break;
        }
        case 0xAD:
          r.skip(r.u16le());
          break;
        case 0x81: {
          const std::uint16_t n = r.u16le();
          cols.clear();
          for (std::uint16_t i = 0; i < n; ++i) {
            r.u32le();
            r.u16le();
            cols.push_back(read_type_info(r));
            t.wire_types.push_back(cols.back().type);
            t.max_lengths.push_back(cols.back().max);
            r.b_varchar();
          }
          break;
        }
        case 0xD1:
          for (const Col& c : cols) t.values.push_back(read_value(r, c));
          break;
        case 0xAC: {
          r.u16le();
          r.b_varchar();
          t.status = r.u8();
          r.u32le();
          r.u16le();
          const Col c = read_type_info(r);
          t.wire_types.push_back(c.type);
          t.values.push_back(read_value(r, c));
          break;
        }
        default:
          return false;
      }
      auto span = r.data().subspan(start, r.position() - start);
      t.body.assign(span.begin(), span.end());
      out.push_back(std::move(t));
    }
  } catch (const ProtocolError&) {
    return false;
  }
  return true;
}

bool unframe(const Bytes& stream, std::vector<Framed>& out) {
  std::size_t pos = 0;
  Framed cur;
  while (pos < stream.size()) {
    if (stream.size() - pos < kHeaderSize) return false;
    const std::size_t len = (stream[pos + 2] << 8) | stream[pos + 3];
    const std::uint16_t spid = static_cast<std::uint16_t>((stream[pos + 4] << 8) | stream[pos + 5]);
    if (len < kHeaderSize || pos + len > stream.size() || spid == 0) return false;
    if (cur.packets > 0 && cur.type != stream[pos]) return false;
    cur.type = stream[pos];
    cur.payload.insert(cur.payload.end(), stream.begin() + static_cast<std::ptrdiff_t>(pos + 8),
                       stream.begin() + static_cast<std::ptrdiff_t>(pos + len));
    ++cur.packets;
    cur.largest_packet = std::max(cur.largest_packet, len);
    const bool eom = stream[pos + 1] & kStatusEom;
    pos += len;
    if (eom) {
      out.push_back(std::move(cur));
      cur = Framed{};
    }
  }
  return cur.packets == 0;
}

}  // namespace sandbox::tds::testing
