#include "tds/request_decoder.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "tds/cp949.h"
#include "tds/datetime.h"

namespace sandbox::tds {
namespace {

constexpr std::uint64_t kPlpNull = 0xFFFFFFFFFFFFFFFFULL;
constexpr std::uint64_t kPlpUnknownLength = 0xFFFFFFFFFFFFFFFEULL;
constexpr std::uint16_t kUnlimited = 0xFFFF;
constexpr std::uint8_t kStatusByRef = 0x01;
constexpr std::uint8_t kStatusDefault = 0x02;

void skip_all_headers(WireReader& r) {
  const std::uint32_t total = r.u32le();
  if (total < 4 || total - 4 > r.remaining()) throw ProtocolError("ALL_HEADERS length is wrong");
  r.skip(total - 4);
}

[[noreturn]] void unsupported(std::uint8_t type) {
  static const char* hex = "0123456789ABCDEF";
  std::string t = "0x";
  t += hex[type >> 4];
  t += hex[type & 15];
  throw ProtocolError(
      "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol "
      "stream is incorrect. Data type " +
          t + " is unknown.",
      8009);
}

std::int64_t signed_le(std::span<const std::uint8_t> b) {
  std::uint64_t v = 0;
  for (std::size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
  const unsigned bits = static_cast<unsigned>(b.size() * 8);
  if (bits < 64 && (v >> (bits - 1)) & 1) v |= ~std::uint64_t{0} << bits;
  return static_cast<std::int64_t>(v);
}

SqlValue int_value(std::span<const std::uint8_t> b) {
  if (b.size() == 1) return SqlValue::int32(b[0]);  // tinyint is unsigned
  if (b.size() == 8) return SqlValue::int64(signed_le(b));
  return SqlValue::int32(static_cast<std::int32_t>(signed_le(b)));
}

SqlValue money_value(std::span<const std::uint8_t> b) {
  if (b.size() == 4) return SqlValue::money(signed_le(b));
  // MONEY: the high 32 bits first, then the low 32 bits.
  const std::uint64_t hi = static_cast<std::uint32_t>(signed_le(b.subspan(0, 4)));
  const std::uint64_t lo = static_cast<std::uint32_t>(signed_le(b.subspan(4, 4)));
  return SqlValue::money(static_cast<std::int64_t>((hi << 32) | lo));
}

SqlValue datetime_value(std::span<const std::uint8_t> b) {
  if (b.size() == 4) {  // smalldatetime: days, minutes
    const auto days = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    const auto minutes = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
    return SqlValue::datetime(DateTime{from_datetime(days, std::uint32_t{minutes} * 60 * 300)});
  }
  const auto days = static_cast<std::int32_t>(signed_le(b.subspan(0, 4)));
  const auto ticks = static_cast<std::uint32_t>(signed_le(b.subspan(4, 4)));
  return SqlValue::datetime(DateTime{from_datetime(days, ticks)});
}

SqlValue float_value(double d) {
  if (!std::isfinite(d)) throw ProtocolError("Float parameter is not a finite number.", 8114);
  // Decimal with at most 6 fractional digits, as few as represent the value.
  for (int scale = 6; scale >= 0; --scale) {
    const double scaled = std::round(d * std::pow(10.0, scale));
    if (std::fabs(scaled) < 9.2e18) {
      auto unscaled = static_cast<std::int64_t>(scaled);
      int s = scale;
      while (s > 0 && unscaled % 10 == 0) {
        unscaled /= 10;
        --s;
      }
      return SqlValue::decimal(unscaled, 38, static_cast<std::uint8_t>(s));
    }
  }
  throw ProtocolError("Arithmetic overflow error converting float to data type numeric.", 8115);
}

SqlValue float_bytes(std::span<const std::uint8_t> b) {
  if (b.size() == 4) {
    const auto bits = static_cast<std::uint32_t>(signed_le(b));
    float f;
    static_assert(sizeof f == 4);
    std::memcpy(&f, &bits, 4);
    return float_value(f);
  }
  const auto bits = static_cast<std::uint64_t>(signed_le(b));
  double d;
  std::memcpy(&d, &bits, 8);
  return float_value(d);
}

SqlValue decimal_value(std::span<const std::uint8_t> b, std::uint8_t precision,
                       std::uint8_t scale) {
  if (b.empty()) throw ProtocolError("decimal value without a sign byte");
  const bool positive = b[0] != 0;
  auto mag = b.subspan(1);
  std::uint64_t m = 0;
  for (std::size_t i = mag.size(); i-- > 0;) {
    if (i >= 8 && mag[i] != 0) {
      throw ProtocolError("Arithmetic overflow error converting numeric to data type numeric.",
                          8115);
    }
    if (i < 8) m = (m << 8) | mag[i];
  }
  const std::uint64_t limit =
      positive ? static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
  if (m > limit) {
    throw ProtocolError("Arithmetic overflow error converting numeric to data type numeric.", 8115);
  }
  const std::int64_t v = positive ? static_cast<std::int64_t>(m)
                                  : static_cast<std::int64_t>(0 - m);  // two's complement wrap
  return SqlValue::decimal(v, precision, scale);
}

std::span<const std::uint8_t> byte_len_value(WireReader& r, std::initializer_list<std::size_t> ok) {
  const std::uint8_t len = r.u8();
  if (len == 0) return {};
  for (std::size_t n : ok) {
    if (n == len) return r.bytes(len);
  }
  throw ProtocolError("invalid value length for the parameter's type");
}

// PLP: total length (or null / unknown), then chunks ended by a zero-length chunk.
std::optional<std::vector<std::uint8_t>> read_plp(WireReader& r) {
  const std::uint64_t total = r.u64le();
  if (total == kPlpNull) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (;;) {
    const std::uint32_t chunk = r.u32le();
    if (chunk == 0) break;
    auto b = r.bytes(chunk);
    out.insert(out.end(), b.begin(), b.end());
  }
  if (total != kPlpUnknownLength && total != out.size()) {
    throw ProtocolError("PLP value length does not match its chunks");
  }
  return out;
}

enum class TextKind { kCp949, kUcs2, kBinary };

SqlValue text_value(std::optional<std::span<const std::uint8_t>> bytes, TextKind kind) {
  const SqlType type = kind == TextKind::kUcs2 ? SqlType::NVarChar : SqlType::VarChar;
  if (!bytes) return SqlValue::null(type);
  switch (kind) {
    case TextKind::kCp949:
      return SqlValue::varchar(cp949_to_utf16(*bytes));
    case TextKind::kBinary:
      return SqlValue::varchar(latin1_to_utf16(*bytes));
    case TextKind::kUcs2: {
      if (bytes->size() % 2 != 0) throw ProtocolError("odd byte count in UCS-2 text");
      WireReader t(*bytes);
      return SqlValue::nvarchar(t.ucs2(bytes->size() / 2));
    }
  }
  return SqlValue::null(type);
}

SqlValue ushort_len_text(WireReader& r, TextKind kind, bool collation) {
  const std::uint16_t max_len = r.u16le();
  if (collation) r.skip(5);
  if (max_len == kUnlimited) {
    auto plp = read_plp(r);
    if (!plp) return text_value(std::nullopt, kind);
    return text_value(std::span<const std::uint8_t>(*plp), kind);
  }
  const std::uint16_t len = r.u16le();
  if (len == 0xFFFF) return text_value(std::nullopt, kind);
  return text_value(r.bytes(len), kind);
}

SqlValue long_len_text(WireReader& r, TextKind kind, bool collation) {
  r.u32le();  // maximum length
  if (collation) r.skip(5);
  const std::uint32_t len = r.u32le();
  if (len == 0xFFFFFFFF) return text_value(std::nullopt, kind);
  return text_value(r.bytes(len), kind);
}

}  // namespace

SqlValue decode_param_value(WireReader& r) {
  const std::uint8_t type = r.u8();
  switch (type) {
    case 0x1F:  // NULLTYPE
      return SqlValue::null(SqlType::NVarChar);
    case 0x30:  // INT1
      return int_value(r.bytes(1));
    case 0x34:  // INT2
      return int_value(r.bytes(2));
    case 0x38:  // INT4
      return int_value(r.bytes(4));
    case 0x7F:  // INT8
      return int_value(r.bytes(8));
    case 0x32:  // BIT
      return SqlValue::bit(r.u8() != 0);
    case 0x3C:  // MONEY
      return money_value(r.bytes(8));
    case 0x7A:  // SMALLMONEY
      return money_value(r.bytes(4));
    case 0x3D:  // DATETIME
      return datetime_value(r.bytes(8));
    case 0x3A:  // SMALLDATETIME
      return datetime_value(r.bytes(4));
    case 0x3B:  // REAL
      return float_bytes(r.bytes(4));
    case 0x3E:  // FLOAT
      return float_bytes(r.bytes(8));
    case 0x26: {  // INTN
      const std::uint8_t max = r.u8();
      auto b = byte_len_value(r, {1, 2, 4, 8});
      if (b.empty()) return SqlValue::null(max == 8 ? SqlType::BigInt : SqlType::Int);
      return int_value(b);
    }
    case 0x68: {  // BITN
      r.u8();
      auto b = byte_len_value(r, {1});
      return b.empty() ? SqlValue::null(SqlType::Bit) : SqlValue::bit(b[0] != 0);
    }
    case 0x6D: {  // FLTN
      r.u8();
      auto b = byte_len_value(r, {4, 8});
      return b.empty() ? SqlValue::null(SqlType::Decimal) : float_bytes(b);
    }
    case 0x6E: {  // MONEYN
      r.u8();
      auto b = byte_len_value(r, {4, 8});
      return b.empty() ? SqlValue::null(SqlType::Money) : money_value(b);
    }
    case 0x6F: {  // DATETIMN
      r.u8();
      auto b = byte_len_value(r, {4, 8});
      return b.empty() ? SqlValue::null(SqlType::DateTime) : datetime_value(b);
    }
    case 0x6A:    // DECIMALN
    case 0x6C: {  // NUMERICN
      r.u8();
      const std::uint8_t precision = r.u8();
      const std::uint8_t scale = r.u8();
      if (precision < 1 || precision > 38 || scale > precision) {
        throw ProtocolError("invalid decimal precision or scale");
      }
      // Clients size the magnitude by precision (FreeTDS sends e.g. 15 bytes), so any length
      // from a sign plus one byte up to 17 is taken.
      const std::uint8_t len = r.u8();
      if (len == 1 || len > 17) throw ProtocolError("invalid decimal value length");
      auto b = r.bytes(len);
      if (b.empty()) {
        SqlValue v = SqlValue::null(SqlType::Decimal);
        v.precision = precision;
        v.scale = scale;
        return v;
      }
      return decimal_value(b, precision, scale);
    }
    case 0x28: {  // DATEN
      auto b = byte_len_value(r, {3});
      if (b.empty()) return SqlValue::null(SqlType::DateTime);
      return SqlValue::datetime(
          DateTime{from_datetime2(static_cast<std::uint32_t>(signed_le(b)) & 0xFFFFFF, 0, 0)});
    }
    case 0x2A: {  // DATETIME2N
      const std::uint8_t scale = r.u8();
      if (scale > 7) throw ProtocolError("invalid datetime2 scale");
      const std::size_t time_len = scale <= 2 ? 3 : scale <= 4 ? 4 : 5;
      auto b = byte_len_value(r, {time_len + 3});
      if (b.empty()) return SqlValue::null(SqlType::DateTime);
      const auto units = static_cast<std::uint64_t>(signed_le(b.subspan(0, time_len))) &
                         ((std::uint64_t{1} << (8 * time_len)) - 1);
      const auto days = static_cast<std::uint32_t>(signed_le(b.subspan(time_len, 3))) & 0xFFFFFF;
      return SqlValue::datetime(DateTime{from_datetime2(days, units, scale)});
    }
    case 0xA7:  // BIGVARCHAR
    case 0xAF:  // BIGCHAR
      return ushort_len_text(r, TextKind::kCp949, true);
    case 0xE7:  // NVARCHAR
    case 0xEF:  // NCHAR
      return ushort_len_text(r, TextKind::kUcs2, true);
    case 0xA5:  // BIGVARBINARY
    case 0xAD:  // BIGBINARY
      return ushort_len_text(r, TextKind::kBinary, false);
    case 0x23:  // TEXT
      return long_len_text(r, TextKind::kCp949, true);
    case 0x63:  // NTEXT
      return long_len_text(r, TextKind::kUcs2, true);
    case 0x22:  // IMAGE
      return long_len_text(r, TextKind::kBinary, false);
    default:
      unsupported(type);
  }
}

std::u16string decode_sql_batch(std::span<const std::uint8_t> payload) {
  WireReader r(payload);
  skip_all_headers(r);
  if (r.remaining() % 2 != 0) throw ProtocolError("odd byte count in SQL batch text");
  return r.ucs2(r.remaining() / 2);
}

std::vector<RpcCall> decode_rpc(std::span<const std::uint8_t> payload) {
  WireReader r(payload);
  skip_all_headers(r);
  std::vector<RpcCall> calls;
  while (!r.at_end()) {
    RpcCall call;
    const std::uint16_t name_len = r.u16le();
    if (name_len == 0xFFFF) {
      call.proc_id = r.u16le();
      if (call.proc_id == 0) throw ProtocolError("RPC ProcID 0");
    } else {
      call.name = r.ucs2(name_len);
      if (call.name.empty()) throw ProtocolError("RPC without a procedure name");
    }
    call.option_flags = r.u16le();
    while (!r.at_end()) {
      const std::uint8_t next = r.peek_u8();
      // Batch separators between RPCs (0x80 before TDS 7.2, 0xFF after; 0xFE is "no exec").
      if (next == 0x80 || next == 0xFF || next == 0xFE) {
        r.u8();
        break;
      }
      RpcParam p;
      p.name = r.b_varchar();
      const std::uint8_t status = r.u8();
      p.output = (status & kStatusByRef) != 0;
      p.is_default = (status & kStatusDefault) != 0;
      p.value = decode_param_value(r);
      call.params.push_back(std::move(p));
    }
    calls.push_back(std::move(call));
  }
  if (calls.empty()) throw ProtocolError("RPC request without a call");
  return calls;
}

std::u16string proc_id_name(std::uint16_t proc_id) {
  static const char* const names[] = {"",
                                      "sp_cursor",
                                      "sp_cursoropen",
                                      "sp_cursorprepare",
                                      "sp_cursorexecute",
                                      "sp_cursorprepexec",
                                      "sp_cursorunprepare",
                                      "sp_cursorfetch",
                                      "sp_cursoroption",
                                      "sp_cursorclose",
                                      "sp_executesql",
                                      "sp_prepare",
                                      "sp_execute",
                                      "sp_prepexec",
                                      "sp_prepexecrpc",
                                      "sp_unprepare"};
  if (proc_id > 0 && proc_id < std::size(names)) return ascii_to_u16(names[proc_id]);
  return ascii_to_u16("procedure id " + std::to_string(proc_id));
}

}  // namespace sandbox::tds
