// Encoding of the server's token stream.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backend.h"
#include "tds/wire.h"

namespace sandbox::tds {

namespace token {
inline constexpr std::uint8_t kReturnStatus = 0x79;
inline constexpr std::uint8_t kColMetadata = 0x81;
inline constexpr std::uint8_t kError = 0xAA;
inline constexpr std::uint8_t kInfo = 0xAB;
inline constexpr std::uint8_t kReturnValue = 0xAC;
inline constexpr std::uint8_t kLoginAck = 0xAD;
inline constexpr std::uint8_t kRow = 0xD1;
inline constexpr std::uint8_t kEnvChange = 0xE3;
inline constexpr std::uint8_t kDone = 0xFD;
inline constexpr std::uint8_t kDoneProc = 0xFE;
inline constexpr std::uint8_t kDoneInProc = 0xFF;
}  // namespace token

namespace done {
inline constexpr std::uint16_t kFinal = 0x00;
inline constexpr std::uint16_t kMore = 0x01;
inline constexpr std::uint16_t kError = 0x02;
inline constexpr std::uint16_t kCount = 0x10;
inline constexpr std::uint16_t kAttention = 0x20;
}  // namespace done

namespace envchange {
inline constexpr std::uint8_t kDatabase = 1;
inline constexpr std::uint8_t kLanguage = 2;
inline constexpr std::uint8_t kPacketSize = 4;
inline constexpr std::uint8_t kCollation = 7;
}  // namespace envchange

inline constexpr std::uint32_t kTds74 = 0x74000004;
// Korean_Wansung_CI_AS: LCID 0x0412, case-, kana- and width-insensitive, sort id 0. Clients derive
// code page 949 from the LCID.
inline constexpr std::uint8_t kCollation[5] = {0x12, 0x04, 0xD0, 0x00, 0x00};
inline constexpr char16_t kServerName[] = u"TAVIKSMS";

// How a column or value goes on the wire. Text lengths are in bytes; `plp` for (max) types.
struct WireType {
  SqlType type = SqlType::NVarChar;
  std::uint16_t max_bytes = 0;
  bool plp = false;
  std::uint8_t precision = 0;
  std::uint8_t scale = 0;
};

// varchar(n): 2n bytes (a CP949 character takes up to two), nvarchar(n): 2n bytes; beyond 8000
// bytes, or n = 0, the column is (max) and its values go as PLP.
WireType wire_type(const Column& column);
WireType wire_type(const SqlValue& value);

// Builds one response message. Every DONE, DONEPROC and DONEINPROC but the last of the message
// carries DONE_MORE; finish() applies that rule, so callers just append tokens in order.
class ResponseBuilder {
 public:
  void done(std::uint8_t token, std::uint16_t status, std::uint64_t rows = 0,
            std::uint16_t cur_cmd = 0);
  void message(const ServerMessage& m, bool is_error);
  void envchange(std::uint8_t type, std::u16string_view new_value, std::u16string_view old_value);
  void envchange_collation();
  void login_ack(std::u16string_view program, std::uint32_t tds_version,
                 const std::uint8_t (&version)[4]);
  void col_metadata(const std::vector<Column>& columns);
  void row(const std::vector<WireType>& types, const Row& row);
  void return_status(std::int32_t status);
  // A scalar function's value (status 0x02), ordinal 0, no name.
  void return_value(const SqlValue& value);
  void output_value(std::uint16_t ordinal, const RpcParam& param);

  // The statements of a SQL batch (each ends with DONE; an EXEC'd procedure's result sets with
  // DONEINPROC and the procedure with DONEPROC). `database` is the session's current database,
  // updated by any ENVCHANGE emitted.
  void batch_results(const std::vector<StatementResult>& results, std::u16string& database);
  // One RPC: result sets end with DONEINPROC, the call with [RETURNSTATUS] [RETURNVALUE] DONEPROC.
  void rpc_results(const std::vector<StatementResult>& results, std::u16string& database);

  // An ERROR token plus a DONE with the error bit.
  void error_done(const ServerMessage& m);

  bool empty() const { return w_.size() == 0; }

  // Hands the tokens built so far to `sink` whenever they pass `bytes` within a result set, so
  // that a long answer goes out while it is built. A false from `sink` (the client is gone)
  // stops the rows; stream_failed() then says so.
  void stream_to(std::size_t bytes, std::function<bool(std::vector<std::uint8_t>)> sink) {
    stream_bytes_ = bytes;
    sink_ = std::move(sink);
  }
  bool stream_failed() const { return stream_failed_; }
  std::vector<std::uint8_t> finish();

 private:
  void head(const StatementResult& st, std::u16string& database);
  void result_set(const ResultSet& rs, std::uint8_t done_token);
  void type_info(const WireType& t);
  void value(const WireType& t, const SqlValue& v);

  // Sends what is built when it is long enough (see stream_to); false once the sink failed.
  bool maybe_flush();

  WireWriter w_;
  std::vector<std::size_t> done_status_at_;  // offsets of every DONE* status field
  std::size_t stream_bytes_ = 0;
  std::function<bool(std::vector<std::uint8_t>)> sink_;
  bool stream_failed_ = false;
};

// The unit of 1/10^scale in which `v` is expressed, converted to `scale` (Money counts in 1/10^4,
// integers in units). Rounds half away from zero when reducing the scale.
std::int64_t rescale(const SqlValue& v, std::uint8_t scale);

}  // namespace sandbox::tds
