#include "tds/response_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tds/cp949.h"
#include "tds/datetime.h"

namespace sandbox::tds {
namespace {

constexpr std::uint16_t kMaxNonPlpBytes = 8000;
constexpr std::uint16_t kPlpMarker = 0xFFFF;
constexpr std::uint64_t kPlpNull = 0xFFFFFFFFFFFFFFFFULL;
constexpr std::uint16_t kCurCmdSelect = 0xC1;
constexpr std::size_t kMaxMessageChars = 4000;  // keeps the token's 16-bit length valid

std::uint8_t decimal_bytes(std::uint8_t precision) {
  if (precision <= 9) return 5;
  if (precision <= 19) return 9;
  if (precision <= 28) return 13;
  return 17;
}

std::uint8_t source_scale(const SqlValue& v) {
  switch (v.type) {
    case SqlType::Decimal:
      return v.scale;
    case SqlType::Money:
      return 4;
    default:
      return 0;
  }
}

// Cuts CP949 text to at most `limit` bytes without splitting a double-byte character.
void cut_cp949(std::vector<std::uint8_t>& b, std::size_t limit) {
  if (b.size() <= limit) return;
  std::size_t i = 0;
  while (i < b.size()) {
    const std::size_t n = b[i] >= 0x81 ? 2 : 1;
    if (i + n > limit) break;
    i += n;
  }
  b.resize(i);
}

std::vector<std::uint8_t> text_bytes(const WireType& t, const SqlValue& v) {
  if (t.type == SqlType::VarChar) {
    auto b = utf16_to_cp949(v.s);
    if (!t.plp) cut_cp949(b, t.max_bytes);
    return b;
  }
  std::vector<std::uint8_t> b;
  b.reserve(v.s.size() * 2);
  for (char16_t c : v.s) {
    b.push_back(static_cast<std::uint8_t>(c));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (!t.plp && b.size() > t.max_bytes) b.resize(t.max_bytes & ~std::size_t{1});
  return b;
}

}  // namespace

std::int64_t rescale(const SqlValue& v, std::uint8_t scale) {
  std::int64_t x = v.i;
  int diff = static_cast<int>(scale) - static_cast<int>(source_scale(v));
  for (; diff > 0; --diff) x *= 10;
  if (diff < 0) {
    std::int64_t div = 1;
    for (; diff < 0; ++diff) div *= 10;
    const std::int64_t q = x / div;
    const std::int64_t r = x % div;
    x = q + (std::llabs(r) * 2 >= div ? (x < 0 ? -1 : 1) : 0);
  }
  return x;
}

WireType wire_type(const Column& c) {
  WireType t;
  t.type = c.type;
  switch (c.type) {
    case SqlType::VarChar:
      if (c.max_length == 0) {
        t.plp = true;
      } else {
        t.max_bytes = static_cast<std::uint16_t>(
            std::min<std::uint64_t>(std::uint64_t{c.max_length} * 2, kMaxNonPlpBytes));
      }
      break;
    case SqlType::NVarChar:
      if (c.max_length == 0 || c.max_length > kMaxNonPlpBytes / 2) {
        t.plp = true;
      } else {
        t.max_bytes = static_cast<std::uint16_t>(c.max_length * 2);
      }
      break;
    case SqlType::Decimal:
      t.precision = c.precision == 0 ? 38 : std::min<std::uint8_t>(c.precision, 38);
      t.scale = std::min(c.scale, t.precision);
      break;
    default:
      break;
  }
  return t;
}

WireType wire_type(const SqlValue& v) {
  WireType t;
  t.type = v.type;
  switch (v.type) {
    case SqlType::VarChar:
      t.plp = !v.is_null && utf16_to_cp949(v.s).size() > kMaxNonPlpBytes;
      t.max_bytes = t.plp ? 0 : kMaxNonPlpBytes;
      break;
    case SqlType::NVarChar:
      t.plp = v.s.size() * 2 > kMaxNonPlpBytes;
      t.max_bytes = t.plp ? 0 : kMaxNonPlpBytes;
      break;
    case SqlType::Decimal:
      t.precision = v.precision == 0 ? 38 : std::min<std::uint8_t>(v.precision, 38);
      t.scale = std::min(v.scale, t.precision);
      break;
    default:
      break;
  }
  return t;
}

void ResponseBuilder::done(std::uint8_t tok, std::uint16_t status, std::uint64_t rows,
                           std::uint16_t cur_cmd) {
  w_.u8(tok);
  done_status_at_.push_back(w_.size());
  w_.u16le(status);
  w_.u16le(cur_cmd);
  w_.u64le(rows);
}

void ResponseBuilder::message(const ServerMessage& m, bool is_error) {
  w_.u8(is_error ? token::kError : token::kInfo);
  const std::size_t len_at = w_.size();
  w_.u16le(0);
  w_.u32le(static_cast<std::uint32_t>(m.number));
  w_.u8(m.state);
  w_.u8(m.severity);
  w_.us_varchar(std::u16string_view(m.text).substr(0, kMaxMessageChars));
  w_.b_varchar(kServerName);
  w_.b_varchar(m.procedure);
  w_.u32le(static_cast<std::uint32_t>(m.line));
  w_.patch_u16le(len_at, static_cast<std::uint16_t>(w_.size() - len_at - 2));
}

void ResponseBuilder::envchange(std::uint8_t type, std::u16string_view new_value,
                                std::u16string_view old_value) {
  w_.u8(token::kEnvChange);
  const std::size_t len_at = w_.size();
  w_.u16le(0);
  w_.u8(type);
  w_.b_varchar(new_value);
  w_.b_varchar(old_value);
  w_.patch_u16le(len_at, static_cast<std::uint16_t>(w_.size() - len_at - 2));
}

void ResponseBuilder::envchange_collation() {
  w_.u8(token::kEnvChange);
  w_.u16le(1 + 1 + sizeof kCollation + 1);
  w_.u8(envchange::kCollation);
  w_.u8(sizeof kCollation);
  w_.bytes(kCollation);
  w_.u8(0);
}

void ResponseBuilder::login_ack(std::u16string_view program, std::uint32_t tds_version,
                                const std::uint8_t (&version)[4]) {
  w_.u8(token::kLoginAck);
  const std::size_t len_at = w_.size();
  w_.u16le(0);
  w_.u8(1);  // interface: SQL
  w_.u32be(tds_version);
  w_.b_varchar(program);
  w_.bytes(version);
  w_.patch_u16le(len_at, static_cast<std::uint16_t>(w_.size() - len_at - 2));
}

void ResponseBuilder::type_info(const WireType& t) {
  switch (t.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
      w_.u8(t.type == SqlType::VarChar ? 0xA7 : 0xE7);
      w_.u16le(t.plp ? kPlpMarker : t.max_bytes);
      w_.bytes(kCollation);
      break;
    case SqlType::Int:
      w_.u8(0x26);
      w_.u8(4);
      break;
    case SqlType::BigInt:
      w_.u8(0x26);
      w_.u8(8);
      break;
    case SqlType::Money:
      w_.u8(0x6E);
      w_.u8(8);
      break;
    case SqlType::Decimal:
      w_.u8(0x6A);
      w_.u8(decimal_bytes(t.precision));
      w_.u8(t.precision);
      w_.u8(t.scale);
      break;
    case SqlType::DateTime:
      w_.u8(0x6F);
      w_.u8(8);
      break;
    case SqlType::Bit:
      w_.u8(0x68);
      w_.u8(1);
      break;
  }
}

void ResponseBuilder::value(const WireType& t, const SqlValue& v) {
  switch (t.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar: {
      if (t.plp) {
        if (v.is_null) {
          w_.u64le(kPlpNull);
          return;
        }
        // In chunks, each free to go out before the next is built: a text of megabytes never
        // sits in the answer whole.
        static constexpr std::size_t kChunk = 32 * 1024;
        if (t.type == SqlType::NVarChar) {
          w_.u64le(v.s.size() * 2);
          for (std::size_t at = 0; at < v.s.size(); at += kChunk / 2) {
            const std::size_t n = std::min(kChunk / 2, v.s.size() - at);
            w_.u32le(static_cast<std::uint32_t>(n * 2));
            for (std::size_t i = at; i < at + n; ++i) w_.u16le(v.s[i]);
            maybe_flush();
          }
        } else {
          const auto b = text_bytes(t, v);
          w_.u64le(b.size());
          for (std::size_t at = 0; at < b.size(); at += kChunk) {
            const std::size_t n = std::min(kChunk, b.size() - at);
            w_.u32le(static_cast<std::uint32_t>(n));
            w_.bytes(std::span(b).subspan(at, n));
            maybe_flush();
          }
        }
        w_.u32le(0);
        return;
      }
      if (v.is_null) {
        w_.u16le(0xFFFF);
        return;
      }
      const auto b = text_bytes(t, v);
      w_.u16le(static_cast<std::uint16_t>(b.size()));
      w_.bytes(b);
      return;
    }
    default:
      break;
  }
  if (v.is_null) {
    w_.u8(0);
    return;
  }
  switch (t.type) {
    case SqlType::Int:
      w_.u8(4);
      w_.u32le(static_cast<std::uint32_t>(rescale(v, 0)));
      break;
    case SqlType::BigInt:
      w_.u8(8);
      w_.u64le(static_cast<std::uint64_t>(rescale(v, 0)));
      break;
    case SqlType::Money: {
      const auto x = static_cast<std::uint64_t>(rescale(v, 4));
      w_.u8(8);
      w_.u32le(static_cast<std::uint32_t>(x >> 32));
      w_.u32le(static_cast<std::uint32_t>(x));
      break;
    }
    case SqlType::Decimal: {
      const std::int64_t x = rescale(v, t.scale);
      const std::uint8_t len = decimal_bytes(t.precision);
      std::uint64_t mag = x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
      w_.u8(len);
      w_.u8(x < 0 ? 0 : 1);
      for (std::uint8_t i = 1; i < len; ++i) {
        w_.u8(static_cast<std::uint8_t>(mag));
        mag >>= 8;
      }
      break;
    }
    case SqlType::DateTime: {
      const DatetimeWire d = to_datetime(v.i);
      w_.u8(8);
      w_.u32le(static_cast<std::uint32_t>(d.days));
      w_.u32le(d.ticks);
      break;
    }
    case SqlType::Bit:
      w_.u8(1);
      w_.u8(v.i != 0 ? 1 : 0);
      break;
    default:
      break;
  }
}

void ResponseBuilder::col_metadata(const std::vector<Column>& columns) {
  w_.u8(token::kColMetadata);
  w_.u16le(static_cast<std::uint16_t>(columns.size()));
  for (const Column& c : columns) {
    w_.u32le(0);                   // user type
    w_.u16le(c.nullable ? 1 : 0);  // flags: fNullable
    type_info(wire_type(c));
    w_.b_varchar(c.name);
  }
}

void ResponseBuilder::row(const std::vector<WireType>& types, const Row& r) {
  w_.u8(token::kRow);
  for (std::size_t i = 0; i < types.size(); ++i) {
    value(types[i], i < r.size() ? r[i] : SqlValue::null(types[i].type));
  }
}

void ResponseBuilder::return_status(std::int32_t status) {
  w_.u8(token::kReturnStatus);
  w_.u32le(static_cast<std::uint32_t>(status));
}

void ResponseBuilder::return_value(const SqlValue& v) {
  const WireType t = wire_type(v);
  w_.u8(token::kReturnValue);
  w_.u16le(0);  // ordinal
  w_.u8(0);     // no name
  w_.u8(0x02);  // status: user-defined function value
  w_.u32le(0);  // user type
  w_.u16le(1);  // flags: nullable
  type_info(t);
  value(t, v);
}

void ResponseBuilder::output_value(std::uint16_t ordinal, const RpcParam& param) {
  const WireType t = wire_type(param.value);
  w_.u8(token::kReturnValue);
  w_.u16le(ordinal);
  w_.u8(static_cast<std::uint8_t>(param.name.size()));
  for (char16_t c : param.name) w_.u16le(c);
  w_.u8(0x01);  // status: output parameter
  w_.u32le(0);  // user type
  w_.u16le(1);  // flags: nullable
  type_info(t);
  value(t, param.value);
}

void ResponseBuilder::result_set(const ResultSet& rs, std::uint8_t done_token) {
  col_metadata(rs.columns);
  std::vector<WireType> types;
  types.reserve(rs.columns.size());
  for (const Column& c : rs.columns) types.push_back(wire_type(c));
  std::uint64_t count = 0;
  for (const Row& r : rs.rows) {
    row(types, r);
    ++count;
    if (!maybe_flush()) break;
  }
  if (rs.next_row && !stream_failed_) {
    for (Row r; rs.next_row(r); r.clear()) {
      row(types, r);
      ++count;
      if (!maybe_flush()) break;
    }
  }
  done(done_token, done::kCount, count, kCurCmdSelect);
}

bool ResponseBuilder::maybe_flush() {
  if (stream_failed_) return false;
  if (!sink_ || w_.size() < stream_bytes_) return true;
  // Every DONE already built has more tokens after it: the rows still to come.
  auto& b = w_.buffer();
  for (const std::size_t at : done_status_at_) b[at] |= done::kMore;
  done_status_at_.clear();
  stream_failed_ = !sink_(w_.take());
  return !stream_failed_;
}

void ResponseBuilder::head(const StatementResult& st, std::u16string& database) {
  if (st.new_database) {
    envchange(envchange::kDatabase, *st.new_database, database);
    database = *st.new_database;
  }
  for (const ServerMessage& m : st.infos) message(m, false);
}

namespace {

std::uint16_t final_status(const StatementResult& st) {
  return static_cast<std::uint16_t>((st.error ? done::kError : 0) |
                                    (st.rows_affected ? done::kCount : 0));
}

bool has_sets(const StatementResult& st) {
  return std::any_of(st.result_sets.begin(), st.result_sets.end(),
                     [](const ResultSet& rs) { return !rs.columns.empty(); });
}

}  // namespace

void ResponseBuilder::batch_results(const std::vector<StatementResult>& results,
                                    std::u16string& database) {
  if (results.empty()) done(token::kDone, done::kFinal);
  for (const StatementResult& st : results) {
    head(st, database);
    const bool exec = st.return_status || st.function_value;
    for (const ResultSet& rs : st.result_sets) {
      if (!rs.columns.empty()) result_set(rs, exec ? token::kDoneInProc : token::kDone);
    }
    if (st.error) message(*st.error, true);
    const std::uint64_t rows = static_cast<std::uint64_t>(st.rows_affected.value_or(0));
    if (exec) {
      if (st.return_status) return_status(*st.return_status);
      if (st.function_value) return_value(*st.function_value);
      done(token::kDoneProc, final_status(st), rows);
    } else if (!has_sets(st) || st.error || st.rows_affected) {
      done(token::kDone, final_status(st), rows);
    }
  }
}

void ResponseBuilder::rpc_results(const std::vector<StatementResult>& results,
                                  std::u16string& database) {
  if (results.empty()) done(token::kDoneProc, done::kFinal);
  for (std::size_t k = 0; k < results.size(); ++k) {
    const StatementResult& st = results[k];
    head(st, database);
    for (const ResultSet& rs : st.result_sets) {
      if (!rs.columns.empty()) result_set(rs, token::kDoneInProc);
    }
    if (st.error) message(*st.error, true);
    const std::uint64_t rows = static_cast<std::uint64_t>(st.rows_affected.value_or(0));
    if (k + 1 == results.size() || st.return_status || st.function_value) {
      if (st.return_status) return_status(*st.return_status);
      for (std::size_t i = 0; i < st.output_values.size(); ++i) {
        output_value(static_cast<std::uint16_t>(i), st.output_values[i]);
      }
      if (st.function_value) return_value(*st.function_value);
      done(token::kDoneProc, final_status(st), rows);
    } else if (!has_sets(st) || st.error || st.rows_affected) {
      done(token::kDoneInProc, final_status(st), rows);
    }
  }
}

void ResponseBuilder::error_done(const ServerMessage& m) {
  message(m, true);
  done(token::kDone, done::kError);
}

std::vector<std::uint8_t> ResponseBuilder::finish() {
  auto& b = w_.buffer();
  for (std::size_t i = 0; i < done_status_at_.size(); ++i) {
    const std::size_t at = done_status_at_[i];
    if (i + 1 < done_status_at_.size()) {
      b[at] |= done::kMore;
    } else {
      b[at] &= static_cast<std::uint8_t>(~done::kMore);
    }
  }
  done_status_at_.clear();
  return w_.take();
}

}  // namespace sandbox::tds
